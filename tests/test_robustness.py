"""Hostile host objects and a soak: whatever the host hands the window, the
window behaves as a reference transcription of the output command and the
monitor tick says, and it stands up to long runs.

Every test here runs with an edited user copy of the starter workbook and an
existing local copy of the copyright notice in its home folder, and checks
afterwards that neither was touched (the fixture `users_files`).

Two limits of the toolkit, not of the window, shape the generated messages:
Tk's text widget cuts a text at a NUL character, and it needs minutes to lay
out one line of a megabyte; the generated texts hold no NUL and the 5 MB
message is made of lines.
"""

import collections
import logging
import multiprocessing

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from lumivar import protocol

import fakes
from support import (
    BUSY,
    DONE,
    END_SIGNALS,
    ERROR_LINE,
    HEADER,
    IDLE,
    LOGGER,
    MARKER,
    REFUSED_TICK,
    HostPanic,
    RecordingTextbox,
    Session,
    Stepper,
    Ticks,
    Unsayable,
    host_objects,
    idle,
    recording_textbox,
    red_text,
    signals,
)

pytestmark = pytest.mark.usefixtures("users_files")


# ---------------------------------------------------------------- hostile host objects

#
# A generated case is plain data: which host objects the two mappings hold,
# how each method of each object answers, call after call (as it should, with
# an odd object, by raising, or by doing its work and then raising), which
# messages the worker sends, and a list of steps (presses of the output
# button, monitor ticks, a tick whose re-arm the timer refuses, a message
# arriving). Every object is built twice from the data: once for the real
# window and once for a reference window, a transcription into Python of the
# output command, one monitor tick and the end signals. After every step the
# calls the host objects received, the text box, its red lines, the button
# label, the tag configuration, what escaped to the logger or to the caller
# and the re-arms of the monitor must be the same in both.


class EqRaises:
    """An answer that cannot be compared."""

    def __eq__(self, other):
        raise ValueError("cannot compare")

    __ne__ = __eq__
    __hash__ = object.__hash__

    def __repr__(self):
        return "EqRaises()"


class BoolRaises:
    """An answer whose comparisons give something without a truth value."""

    def __bool__(self):
        raise ValueError("no truth value")

    def __eq__(self, other):
        return BoolRaises()

    __ne__ = __eq__
    __hash__ = object.__hash__

    def __repr__(self):
        return "BoolRaises()"


ODD_VALUES = {
    "True": lambda: True,
    "False": lambda: False,
    "0": lambda: 0,
    "1": lambda: 1,
    "None": lambda: None,
    "empty text": lambda: "",
    "text": lambda: "yes",
    "list": lambda: [],
    "busy label": lambda: BUSY[0],
    "EqRaises": EqRaises,
    "BoolRaises": BoolRaises,
}

ERRORS = {
    "ValueError": ValueError,
    "RuntimeError": RuntimeError,
    "KeyError": KeyError,
    "OSError": OSError,
    "ZeroDivisionError": ZeroDivisionError,
    "Unsayable": Unsayable,
    "HostPanic": HostPanic,
    "SystemExit": SystemExit,
}


def make_value(name):
    return ODD_VALUES[name]()


def make_error(recipe):
    name, text = recipe
    return ERRORS[name](text)


class Unprintable:
    """A message whose text conversion raises."""

    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise make_error(self.error)

    def __repr__(self):
        return f"Unprintable({self.error!r})"


class Uncomparable:
    """A message whose != raises."""

    def __init__(self, error):
        self.error = error

    def __ne__(self, other):
        raise make_error(self.error)

    def __str__(self):
        return "uncomparable"


class LikeTheMarker:
    """Not a text, but equal to the completion marker."""

    def __eq__(self, other):
        return other == MARKER

    def __ne__(self, other):
        return other != MARKER

    __hash__ = object.__hash__

    def __str__(self):
        return "like the marker"


class TextlessText:
    """A message whose text conversion gives no text."""

    def __str__(self):
        return 5


class PlainText(str):
    """A text subclass that changes nothing."""


def big_message():
    """5 MB of text, in lines (one line that long takes Tk minutes to lay out)."""
    line = "第 {:06d} 行 TW I123456 B 專利公開號 " + "x" * 60 + "\n"
    text, n = [], 0
    size = 0
    while size < 5 * 1024 * 1024:
        piece = line.format(n)
        text.append(piece)
        size += len(piece.encode())
        n += 1
    return "".join(text)


BIG = big_message()

MESSAGE_KINDS = {
    "text": lambda arg: arg,
    "plain text subclass": PlainText,
    "int": lambda arg: arg,
    "float": lambda arg: arg,
    "bytes": lambda arg: arg,
    "None": lambda arg: None,
    "tuple": tuple,
    "marker": lambda arg: MARKER,
    "look-alike": lambda arg: arg,
    "unprintable": Unprintable,
    "uncomparable": Uncomparable,
    "BoolRaises": lambda arg: BoolRaises(),
    "like the marker": lambda arg: LikeTheMarker(),
    "textless": lambda arg: TextlessText(),
    "5 MB": lambda arg: BIG,
}


def make_message(recipe):
    kind, arg = recipe
    return MESSAGE_KINDS[kind](arg)


def stable(value):
    """A comparable record of an argument the window passed to a host object."""
    if type(value) is dict:
        return ("dict", tuple((key, repr(item)) for key, item in value.items()))
    return repr(value)


NORMAL = {
    "put": lambda d, item: d.items.append(item),
    "get": lambda d: d.items.pop(0),
    "empty": lambda d: not d.items,
    "set": lambda d: setattr(d, "flag", True),
    "clear": lambda d: setattr(d, "flag", False),
    "is_set": lambda d: d.flag,
}


class HostDouble:
    """A queue or event built from a plan. `plan` maps an operation to the
    answers of its successive calls (cycled): ("normal",), ("return", value),
    ("raise", error) or ("take", error), which does the work and then raises.
    `attrs` may make an operation absent or a non-callable value."""

    def __init__(self, name, recipe, log):
        plan, attrs = recipe
        self._name, self._plan, self._attrs, self._log = name, plan, attrs, log
        self._calls = collections.Counter()
        self.items = []
        self.flag = False

    def __getattr__(self, op):
        if op not in NORMAL:
            raise AttributeError(op)
        attr = self._attrs.get(op, "method")
        if attr == "absent":
            raise AttributeError(f"'HostDouble' object has no attribute '{op}'")
        if attr != "method":
            return make_value(attr[1])
        return lambda *args: self._call(op, *args)

    def _call(self, op, *args):
        self._log.append((self._name, op) + tuple(stable(a) for a in args))
        answers = self._plan.get(op) or [("normal",)]
        answer = answers[self._calls[op] % len(answers)]
        self._calls[op] += 1
        if answer[0] == "return":
            return make_value(answer[1])
        if answer[0] == "raise":
            raise make_error(answer[1])
        result = NORMAL[op](self, *args)
        if answer[0] == "take":
            raise make_error(answer[1])
        return result


class RaisingMapping:
    def __init__(self, error):
        self.error = error

    def __getitem__(self, key):
        raise make_error(self.error)


NOT_MAPPINGS = {
    "int": lambda: 3,
    "list": lambda: [protocol.RECEIPTS, protocol.END],
    "text": lambda: "X",
    "None": lambda: None,
    "tuple": lambda: ("end",),
    "set": lambda: {"end"},
    "bytes": lambda: b"end",
}

QUEUE_KEYS = (protocol.REQUESTS, protocol.RECEIPTS, protocol.END)
EVENT_KEYS = (protocol.BUSY, protocol.END)


def build_mapping(recipe, kind, log):
    """The host's mapping from its data, and the doubles in it by key."""
    form, content = recipe
    if form == "not a mapping":
        return NOT_MAPPINGS[content](), {}
    if form == "raising":
        return RaisingMapping(content), {}
    mapping, doubles = {}, {}
    for key, entry in content.items():
        if entry[0] == "double":
            mapping[key] = doubles[key] = HostDouble(f"{kind}:{key}", entry[1], log)
        else:
            mapping[key] = make_value(entry[1])
    return mapping, doubles


def make_parameters(recipe):
    if recipe is None:
        return None
    return {key: (make_value(value[1]) if value[0] == "odd" else value[1]) for key, value in recipe.items()}


# -- strategies

SAFE_TEXT = st.text(alphabet=st.characters(blacklist_characters="\x00", blacklist_categories=("Cs",)), max_size=12)
ENTRY_TEXT = st.text(alphabet=st.characters(blacklist_categories=("Cs", "Cc")), max_size=12)
ERROR_RECIPES = st.tuples(st.sampled_from(sorted(ERRORS)), st.sampled_from(["", "refused", "拒絕了", "a\nb"]))
ODD = st.sampled_from(sorted(ODD_VALUES))


def answers(fixed):
    one = st.one_of(
        st.just(("normal",)),
        st.tuples(st.just("return"), ODD),
        st.tuples(st.just("raise"), ERROR_RECIPES),
        st.tuples(st.just("take"), ERROR_RECIPES),
    )
    return st.lists(one, min_size=1, max_size=1 if fixed else 3)


def double_recipes(fixed=False):
    plan = st.dictionaries(st.sampled_from(sorted(NORMAL)), answers(fixed), max_size=3)
    attrs = st.one_of(
        st.just({}),
        st.dictionaries(
            st.sampled_from(sorted(NORMAL)), st.one_of(st.just("absent"), st.tuples(st.just("value"), ODD)), max_size=1
        ),
    )
    return st.tuples(plan, attrs)


def mapping_recipes(keys, fixed=False):
    entry = st.one_of(
        st.tuples(st.just("double"), double_recipes(fixed)),
        st.tuples(st.just("double"), st.just(({}, {}))),  # a well-behaved one
        st.tuples(st.just("value"), ODD),
        st.none(),  # the key is missing
    )
    dict_form = st.fixed_dictionaries({key: entry for key in keys}).map(
        lambda d: ("dict", {key: value for key, value in d.items() if value is not None})
    )
    return st.one_of(
        dict_form,
        dict_form,
        dict_form,
        st.tuples(st.just("not a mapping"), st.sampled_from(sorted(NOT_MAPPINGS))),
        st.tuples(st.just("raising"), ERROR_RECIPES),
    )


MESSAGES = st.one_of(
    st.tuples(st.just("text"), SAFE_TEXT),
    st.tuples(st.just("plain text subclass"), SAFE_TEXT),
    st.tuples(st.just("int"), st.integers()),
    st.tuples(st.just("float"), st.floats()),
    st.tuples(st.just("bytes"), st.binary(max_size=8)),
    st.tuples(st.just("None"), st.none()),
    st.tuples(st.just("tuple"), st.lists(st.integers(), max_size=3)),
    st.tuples(st.just("marker"), st.none()),
    st.tuples(st.just("look-alike"), st.sampled_from([" " + MARKER, MARKER + "\n", MARKER[:-1], MARKER * 2])),
    st.tuples(st.just("unprintable"), ERROR_RECIPES),
    st.tuples(st.just("uncomparable"), ERROR_RECIPES),
    st.tuples(st.just("BoolRaises"), st.none()),
    st.tuples(st.just("like the marker"), st.none()),
    st.tuples(st.just("textless"), st.none()),
    st.tuples(st.just("5 MB"), st.none()),
)

PARAMETER_VALUE = st.one_of(
    st.tuples(st.just("plain"), st.one_of(SAFE_TEXT, st.integers(), st.floats())), st.tuples(st.just("odd"), ODD)
)
PARAMETERS = st.one_of(
    st.none(),
    st.fixed_dictionaries(
        {}, optional={key: PARAMETER_VALUE for key in (protocol.SIZE_RATIO, protocol.CJK_FONT, protocol.LATIN_FONT)}
    ),
    st.just(
        {
            protocol.SIZE_RATIO: ("plain", 1),
            protocol.CJK_FONT: ("plain", "標楷體"),
            protocol.LATIN_FONT: ("plain", "Calibri"),
        }
    ),
)

STEPS = st.lists(
    st.one_of(
        st.just(("press",)),
        st.just(("tick",)),
        st.just(("tick",)),
        st.just(("tick",)),
        st.just(("tick, re-arm refused",)),
        st.tuples(st.just("message"), MESSAGES),
    ),
    min_size=1,
    max_size=12,
)

HOST_CASES = st.tuples(
    mapping_recipes(QUEUE_KEYS),
    mapping_recipes(EVENT_KEYS),
    st.tuples(ENTRY_TEXT, ENTRY_TEXT),
    PARAMETERS,
    st.lists(MESSAGES, max_size=5),
    STEPS,
)

# A well-behaved host whose worker sends one message of every kind, the 5 MB one among them.
EVERY_KIND_OF_MESSAGE = (
    ("dict", {key: ("double", ({}, {})) for key in QUEUE_KEYS}),
    ("dict", {key: ("double", ({}, {})) for key in EVENT_KEYS}),
    ("C:/範本.xlsx", "專利.xlsx"),
    {
        protocol.SIZE_RATIO: ("plain", 1),
        protocol.CJK_FONT: ("plain", "標楷體"),
        protocol.LATIN_FONT: ("plain", "Calibri"),
    },
    [
        ("text", "第一筆"),
        ("5 MB", None),
        ("int", 3),
        ("unprintable", ("ValueError", "")),
        ("float", float("nan")),
        ("bytes", b"\x00\xff"),
        ("uncomparable", ("HostPanic", "")),
        ("textless", None),
        ("look-alike", MARKER + "\n"),
        ("plain text subclass", "子類"),
        ("None", None),
        ("tuple", [1, 2]),
    ],
    [("press",)]
    + [("tick",)] * 12
    + [
        ("message", ("like the marker", None)),
        ("tick",),
        ("tick",),
        ("message", ("marker", None)),
        ("tick",),
        ("tick, re-arm refused",),
        ("tick",),
    ],
)


class ReferenceWindow:
    """The output command, one monitor tick and the end signals, transcribed
    from their descriptions (with the busy event withdrawn when the request of
    a press that raised it does not reach its queue), on stand-in widgets."""

    def __init__(self, queues, events, table, parameters):
        self.Q, self.E, self.table, self.parameters = queues, events, table, parameters
        self.text = ""
        self.red = []
        self.label = IDLE
        self.tag_calls = []
        self.rearms = 0

    # stand-in text box
    def insert(self, text, tag=None):
        start = len(self.text)
        self.text += text
        if tag is not None:
            self.red.append((start, len(self.text)))

    def red_texts(self):
        merged = []
        for start, end in self.red:
            if merged and merged[-1][1] == start:
                merged[-1] = (merged[-1][0], end)
            elif end > start:
                merged.append((start, end))
        return [self.text[a:b] for a, b in merged]

    # the wrapper around every command and the monitor
    @staticmethod
    def run(command, *args):
        try:
            command(*args)
        except Exception as e:
            return [("logged", e)]
        except BaseException as e:
            return [("raised", e)]
        return []

    def press(self):
        busy = self.E[protocol.RECEIPTS]
        was_busy = False
        try:
            was_busy = bool(busy.is_set())
        except Exception:
            pass
        busy.set()
        sent = False

        def withdraw():
            if not sent and not was_busy:
                try:
                    busy.clear()
                except BaseException:
                    pass

        try:
            sss = {}
            sss[protocol.TEMPLATE_PATH] = self.table[0]
            sss[protocol.PATENT_PATH] = self.table[1]
            parameters = self.parameters
            sss[protocol.SIZE_RATIO] = parameters[protocol.SIZE_RATIO]
            sss[protocol.CJK_FONT] = parameters[protocol.CJK_FONT]
            sss[protocol.LATIN_FONT] = parameters[protocol.LATIN_FONT]
        except BaseException:
            withdraw()
            raise
        error = None
        try:
            try:
                self.Q[protocol.REQUESTS].put(sss)
                sent = True
                self.text, self.red = "", []
                self.insert(HEADER)
            except Exception as e:
                error = e
        except BaseException:
            withdraw()
            raise
        if error is not None:
            withdraw()
            self.insert(ERROR_LINE, "red_tag")
            self.insert(str(error) + "\n")
        self.tag_calls.append(("red_tag", {"foreground": "red"}))

    def tick(self, refuse_rearm=False):
        try:
            busy = self.E[protocol.RECEIPTS]
            if busy.is_set() == True:  # noqa: E712 - compared with true, as described
                if self.label == BUSY[0]:
                    self.label = BUSY[1]
                elif self.label == BUSY[1]:
                    self.label = BUSY[2]
                elif self.label == BUSY[2]:
                    self.label = BUSY[0]
                else:
                    self.label = BUSY[0]
            elif busy.is_set() == False:  # noqa: E712
                self.label = IDLE
        except BaseException:
            pass
        try:
            messages = self.Q[protocol.RECEIPTS]
            if messages.empty() == False:  # noqa: E712
                PAPN = messages.get()
                if PAPN != MARKER:
                    self.insert(str(PAPN) + "\n")
                else:
                    self.insert(DONE)
                    self.E[protocol.RECEIPTS].clear()
        except BaseException:
            pass
        if refuse_rearm:
            raise RuntimeError(REFUSED_TICK)
        self.rearms += 1

    def close(self):
        self.Q[protocol.END].put(None)
        self.E[protocol.END].set()
        self.Q[protocol.REQUESTS].put(None)


def describe(escaped):
    return [(kind, type(e), e.args) for kind, e in escaped]


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.ERROR)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def error_log():
    handler = Collect()
    logger = logging.getLogger(LOGGER)
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


def run_real(call, error_log):
    """Calls a command of the real window: what it logged and what it raised."""
    before = len(error_log.records)
    raised = []
    try:
        call()
    except BaseException as e:
        raised.append(("raised", e))
    return [("logged", r.exc_info[1]) for r in error_log.records[before:]] + raised


class Switch:
    """The mapping the window was given; it hands every lookup to the case
    being checked, so one window serves many generated cases. A lookup in it
    fails exactly as a lookup in the case's own object does."""

    def __init__(self, current):
        self.current = current

    def __getitem__(self, key):
        return self.current[key]


def check_case(s, stepper, pp, error_log, switches, case):
    queue_recipe, event_recipe, table, parameter_recipe, messages, steps = case
    real_log, ref_log = [], []
    real_q, real_doubles = build_mapping(queue_recipe, "queue", real_log)
    real_e, _ = build_mapping(event_recipe, "event", real_log)
    ref_q, ref_doubles = build_mapping(queue_recipe, "queue", ref_log)
    ref_e, _ = build_mapping(event_recipe, "event", ref_log)
    for doubles in (real_doubles, ref_doubles):
        if protocol.RECEIPTS in doubles:
            doubles[protocol.RECEIPTS].items.extend(make_message(m) for m in messages)

    # the real window, brought to the reference's starting point
    s.textbox.delete("1.0", "end")
    s.set_button.configure(IDLE, text=IDLE)
    s.set_table.set(protocol.TEMPLATE_PATH, table[0])
    s.set_table.set(protocol.PATENT_PATH, table[1])
    pp.parameters = make_parameters(parameter_recipe)
    RecordingTextbox.tag_calls.clear()
    switches[0].current, switches[1].current = real_q, real_e
    ref = ReferenceWindow(ref_q, ref_e, table, make_parameters(parameter_recipe))

    for number, step in enumerate(steps):
        rearms = None
        if step[0] == "press":
            real = run_real(s.commands["button_event_001"], error_log)
            expected = ref.run(ref.press)
        elif step[0] == "message":
            for doubles in (real_doubles, ref_doubles):
                if protocol.RECEIPTS in doubles:
                    doubles[protocol.RECEIPTS].items.append(make_message(step[1]))
            real = expected = []
        else:
            refuse = step[0] == "tick, re-arm refused"
            before, rearms_before = stepper.rearms, ref.rearms
            real = run_real(lambda refuse=refuse: stepper.tick(refuse), error_log)
            expected = ref.run(ref.tick, refuse)
            rearms = (stepper.rearms - before, ref.rearms - rearms_before)
        where = f"step {number} {step[0]}"
        assert describe(real) == describe(expected), where
        assert real_log == ref_log, where
        assert s.text() == ref.text, where
        assert red_text(s.textbox) == ref.red_texts(), where
        assert s.set_button.cget(IDLE, "text") == ref.label, where
        assert RecordingTextbox.tag_calls == ref.tag_calls, where
        if rearms is not None:
            # the monitor re-arms itself once per tick, unless the timer refused
            assert rearms[0] == rearms[1] == (0 if step[0] == "tick, re-arm refused" else 1), where


def test_hostile_host_objects_behave_as_the_reference_window_says(
    gui_module, monkeypatch, home, parameters_made, error_log
):
    s = Session(gui_module, monkeypatch)
    recording_textbox(s, monkeypatch)
    benign_queues, benign_events, benign_log = host_objects()
    switches = (Switch(benign_queues), Switch(benign_events))
    checked = []
    seen = {}

    def script(s):
        stepper = Stepper(s)
        yield from stepper.start()
        pp = parameters_made[0]

        @settings(max_examples=30, deadline=None, database=None, suppress_health_check=list(HealthCheck))
        @given(case=HOST_CASES)
        @example(case=EVERY_KIND_OF_MESSAGE)
        def check(case):
            check_case(s, stepper, pp, error_log, switches, case)
            checked.append(case)

        try:
            check()
        finally:
            # back to a working host (also when a case failed, so that the
            # window closes normally and the failure is the one reported)
            switches[0].current, switches[1].current = benign_queues, benign_events
        # the timer still drives the monitor
        s.textbox.delete("1.0", "end")
        benign_queues[protocol.RECEIPTS].put("還在")
        yield from stepper.release(3)
        seen["after"] = s.text()
        seen["periods"] = stepper.periods

    s.run(*switches, script, timeout=900)
    assert len(checked) >= 30
    assert EVERY_KIND_OF_MESSAGE in checked
    assert seen == {"after": "還在\n", "periods": {500}}
    assert signals(benign_log) == END_SIGNALS


HOST_ARGUMENTS = st.tuples(
    mapping_recipes(QUEUE_KEYS, fixed=True), mapping_recipes(EVENT_KEYS, fixed=True), st.lists(MESSAGES, max_size=3)
)

DEFAULT_PARAMETERS = {protocol.SIZE_RATIO: 1, protocol.CJK_FONT: "標楷體", protocol.LATIN_FONT: "Calibri"}


@settings(max_examples=20, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(case=HOST_ARGUMENTS)
def test_any_host_arguments_keep_the_timer_and_end_as_the_reference_says(gui_module, home, error_log, case):
    # Each case gets a window of its own: the mappings are GUI's arguments
    # themselves, and the end signals go to them. Every method answers the
    # same way on every call, so what the timer's ticks did before the end
    # cannot change how the end goes.
    queue_recipe, event_recipe, messages = case
    real_log, ref_log = [], []
    queues, doubles = build_mapping(queue_recipe, "queue", real_log)
    events, _ = build_mapping(event_recipe, "event", real_log)
    if protocol.RECEIPTS in doubles:
        doubles[protocol.RECEIPTS].items.extend(make_message(m) for m in messages)
    seen = {}
    with pytest.MonkeyPatch.context() as mp:
        s = Session(gui_module, mp)

        def script(s):
            yield from idle(s)
            seen["press"] = run_real(s.commands["button_event_001"], error_log)
            yield Ticks(2)  # the timer keeps driving the monitor through whatever the host does
            seen["mark"] = len(real_log)

        try:
            s.run(queues, events, script, timeout=30)
            outcome = []
        except BaseException as e:  # the end signals are not guarded: whatever they raise reaches the host
            outcome = [("raised", e)]
    assert s.errors == [] and "mark" in seen
    ref_queues, _ = build_mapping(queue_recipe, "queue", ref_log)
    ref_events, _ = build_mapping(event_recipe, "event", ref_log)
    ref = ReferenceWindow(ref_queues, ref_events, ("", ""), dict(DEFAULT_PARAMETERS))
    assert describe(seen["press"]) == describe(ref.run(ref.press))
    mark = len(ref_log)
    expected = ref.run(ref.close)
    assert real_log[seen["mark"] :] == ref_log[mark:]
    assert [(type(e), e.args) for _, e in outcome] == [(type(e), e.args) for _, e in expected]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (({},), {}),
        (({}, {}, {}), {}),
        (({},), {"Event_All_variable": {}, "extra": 1}),
        ((), {"queues": {}, "events": {}}),
    ],
    ids=["none", "one", "three", "unknown-keyword", "wrong-names"],
)
def test_gui_called_with_the_wrong_arguments_raises_a_type_error_and_opens_nothing(session, args, kwargs):
    with pytest.raises(TypeError):
        session.module.GUI(*args, **kwargs)
    assert session.app is None and session.set_button is None


# ---------------------------------------------------------------- soak


@pytest.mark.window  # its worker starts before the window
def test_ten_thousand_messages_from_a_spawned_worker_are_all_shown_in_order(gui_module, monkeypatch, home):
    context = multiprocessing.get_context("spawn")
    queues = {key: context.Queue() for key in QUEUE_KEYS}
    events = {key: context.Event() for key in EVENT_KEYS}
    recorded, ready = context.Queue(), context.Event()
    messages = [f"第 {i} 筆 TW{i:07d} B" for i in range(10_000)] + [MARKER]
    worker = context.Process(
        target=fakes.report_worker, args=(dict(queues, recorded=recorded), events, messages, ready, 300)
    )
    worker.start()
    s = Session(gui_module, monkeypatch, tick_ms=1)
    seen = {}

    def script(s):
        yield from idle(s)
        s.set_table.set(protocol.PATENT_PATH, "一萬筆.xlsx")
        s.commands["button_event_001"]()
        ticks = s.ticks
        yield lambda: not events[protocol.BUSY].is_set()
        seen["ticks"] = s.ticks - ticks
        seen["text"] = s.text()
        yield Ticks(1)
        seen["label"] = s.label()

    try:
        s.run(queues, events, script, timeout=300)
        request = recorded.get(timeout=60)
        closing = recorded.get(timeout=60)
    finally:
        worker.join(timeout=60)
        if worker.is_alive():
            worker.terminate()
            worker.join()
    assert worker.exitcode == 0
    assert request[protocol.PATENT_PATH] == "一萬筆.xlsx"
    assert seen["text"] == HEADER + "".join(m + "\n" for m in messages[:-1]) + DONE
    assert seen["ticks"] >= len(messages)  # one message per tick at most
    assert seen["label"] == IDLE
    assert closing == {protocol.REQUESTS: None, "end event set before it": True, protocol.END: None}


class CountingEvent:
    """A host event that counts how often it was set."""

    def __init__(self, event):
        self.event = event
        self.sets = 0

    def set(self):
        self.sets += 1
        self.event.set()

    def __getattr__(self, name):
        return getattr(self.event, name)


def test_thirty_windows_on_the_same_host_objects_each_run_and_each_send_the_end_signals(gui_module, home):
    import queue

    context = multiprocessing.get_context("spawn")
    queues = {key: context.Queue() for key in QUEUE_KEYS}
    events = {protocol.BUSY: context.Event(), protocol.END: CountingEvent(context.Event())}
    seen = []
    for k in range(30):
        with pytest.MonkeyPatch.context() as mp:
            s = Session(gui_module, mp)

            def script(s, k=k):
                yield from idle(s)
                s.set_table.set(protocol.PATENT_PATH, f"第{k}次.xlsx")
                s.commands["button_event_001"]()
                queues[protocol.RECEIPTS].put(f"第 {k} 次的訊息")
                queues[protocol.RECEIPTS].put(MARKER)
                yield lambda: not events[protocol.BUSY].is_set()
                yield Ticks(1)
                seen.append((s.text(), s.label()))

            assert s.run(queues, events, script) is None
    assert seen == [(HEADER + f"第 {k} 次的訊息\n" + DONE, IDLE) for k in range(30)]
    requests = [queues[protocol.REQUESTS].get(timeout=10) for _ in range(60)]
    assert [r[protocol.PATENT_PATH] for r in requests[0::2]] == [f"第{k}次.xlsx" for k in range(30)]
    assert requests[1::2] == [None] * 30
    assert [queues[protocol.END].get(timeout=10) for _ in range(30)] == [None] * 30
    for q in queues.values():
        with pytest.raises(queue.Empty):
            q.get(timeout=0.2)
    assert events[protocol.END].sets == 30
