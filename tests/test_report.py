"""A report run: the "輸出檢索報告" button sends one request to the worker, and
the progress monitor animates the button and shows the worker's messages, one
per timer tick, until the completion marker arrives.

Every test runs the real window. The monitor is watched from inside the event
loop: at the end of each tick, when the monitor schedules the next one, the
output button's label and the text box content are noted. Expectations are
counted in those ticks, never in wall-clock time.
"""

import collections
import contextlib
import multiprocessing
import queue
import threading
import types

import pytest

from lumivar import host, protocol

import fakes
from support import (
    BUSY,
    DONE,
    ERROR_LINE,
    HEADER,
    IDLE,
    MARKER,
    OLD,
    HostPanic,
    Session,
    StandIns,
    Stepper,
    Unsayable,
    click,
    host_objects,
    logged_errors,
    output_button,
    recording_textbox,
    red_text,
)

# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------


class TickLog:
    """Notes what the progress monitor of a running window shows after each tick.

    The monitor ends every tick by scheduling the next one with `after`; this
    class stands in front of the window's `after` and notes, at that moment,
    the output button's label (read from the widget itself) and the text box
    content. `at(n, action)` runs `action` right after the n-th note, that is
    between two ticks, exactly. With `refuse_rearm_at = n` the n-th scheduling
    (and every later one) raises.
    """

    def __init__(self, s):
        self.s = s
        (self.button,) = s.button(IDLE)
        self.snaps = []
        self.periods = set()
        self.actions = collections.defaultdict(list)
        self.refuse_rearm_at = None
        original = s.app.after

        def after(ms, func=None, *args):
            if func is not None and func is s.commands.get("aa"):
                self.snaps.append((self.button.cget("text"), s.text()))
                self.periods.add(ms)
                for action in self.actions.pop(len(self.snaps), ()):
                    action()
                if self.refuse_rearm_at is not None and len(self.snaps) >= self.refuse_rearm_at:
                    raise RuntimeError("the timer refused the next tick")
            return original(ms, func, *args)

        s.app.after = after

    def mark(self):
        """The number of ticks seen so far."""
        return len(self.snaps)

    def at(self, n, action):
        self.actions[n].append(action)

    def until(self, n):
        """Waits (as a script step) until n ticks have been seen."""
        return lambda: len(self.snaps) >= n

    def press(self):
        """Presses the output button through its widget; returns the tick mark."""
        mark = self.mark()
        self.button.invoke()
        return mark


def watched(body):
    """A session script: waits for the window to show, then runs
    `body(s, watch)`."""

    def script(s):
        watch = TickLog(s)
        yield lambda: s.app.winfo_ismapped()
        yield from body(s, watch)

    return script


def expected_snaps(start_text, steps):
    """(label, text) after each tick, from (label, text added on that tick) steps."""
    text = start_text
    result = []
    for label, added in steps:
        text += added
        result.append((label, text))
    return result


def shown(message):
    return DONE if message == MARKER else f"{message}\n"


def calls(log, name, op):
    return [entry for entry in log if entry[:2] == (name, op)]


def default_request(template, patents):
    return [
        (protocol.TEMPLATE_PATH, template),
        (protocol.PATENT_PATH, patents),
        (protocol.SIZE_RATIO, 1),
        (protocol.CJK_FONT, "標楷體"),
        (protocol.LATIN_FONT, "Calibri"),
    ]


class Unprintable:
    def __str__(self):
        raise ValueError("this message has no text")


@pytest.fixture
def driven(gui_module, monkeypatch, home):
    """Makes a Session after replacing some of the module's names (the entry
    table or button bar classes must be replaced before the session records
    them)."""
    made = []

    def make(**names):
        for name, value in names.items():
            monkeypatch.setattr(gui_module, name, value)
        s = Session(gui_module, monkeypatch)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


def recording_parameters(gui_module, made):
    real = gui_module.Parameters

    def make():
        pp = real()
        made.append(pp)
        return pp

    return make


@pytest.mark.parametrize(
    "messages, labels, text",
    [
        ([], [BUSY[0], BUSY[1], BUSY[2], BUSY[0]], HEADER),
        (["第一行", MARKER], [BUSY[0], BUSY[1], IDLE], HEADER + "第一行\n" + DONE),
        ([MARKER, "遲到的訊息"], [BUSY[0], IDLE, IDLE], HEADER + DONE + "遲到的訊息\n"),
    ],
    ids=["busy", "run", "after the marker"],
)
def test_the_press_and_tick_rules_without_a_window(gui_module, messages, labels, text):
    queues, events = host.make_channels()
    owner = types.SimpleNamespace(
        parameters={protocol.SIZE_RATIO: 1, protocol.CJK_FONT: "標楷體", protocol.LATIN_FONT: "Calibri"}
    )
    widgets = StandIns()
    run = gui_module._ReportRun(queues, events, owner, widgets, widgets, widgets)
    run.start(widgets)
    run.press()
    assert list(queues[protocol.REQUESTS].get_nowait()) == list(protocol.REQUEST_KEYS)
    for message in messages:
        queues[protocol.RECEIPTS].put(message)
    seen = []
    for _ in labels:
        run.tick()
        seen.append(widgets.label)
    assert (seen, widgets.text) == (labels, text)
    assert events[protocol.BUSY].is_set() == (MARKER not in messages)
    assert widgets.timers == [500] * (len(labels) + 1)


# ---------------------------------------------------------------------------
# The request
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "template, patents",
    [
        pytest.param("", "", id="both-empty"),
        pytest.param("  C:/報告/範本 一.xlsx  ", "\tD:\\no\\such\\檢索專利公開號.xlsx ", id="spaces-kept-missing-file"),
        pytest.param("C:\\tarnwick\\Lumivar\\範本.xlsx", "relative/專利.xlsx", id="backslashes-and-relative"),
    ],
)
def test_a_press_sends_one_request_with_the_paths_as_typed_and_the_default_parameters(session, template, patents):
    queues, events, log = host_objects()

    def body(s, watch):
        s.set_table.set(protocol.TEMPLATE_PATH, template)
        s.set_table.set(protocol.PATENT_PATH, patents)
        watch.press()
        yield watch.until(watch.mark() + 1)

    session.run(queues, events, watched(body))
    request, closing = queues[protocol.REQUESTS].items
    assert closing is None
    assert list(request.items()) == default_request(template, patents)
    assert type(request[protocol.SIZE_RATIO]) is int
    # the busy event is raised before the request leaves
    assert log.index((f"event:{protocol.BUSY}", "set")) < log.index((f"queue:{protocol.REQUESTS}", "put", request))


def test_each_press_reads_the_report_parameters_afresh_into_a_new_request(session, gui_module, monkeypatch):
    made = []
    monkeypatch.setattr(gui_module, "Parameters", recording_parameters(gui_module, made))
    queues, events, _ = host_objects()

    def body(s, watch):
        s.set_table.set(protocol.TEMPLATE_PATH, "a.xlsx")
        s.set_table.set(protocol.PATENT_PATH, "b.xlsx")
        watch.press()
        (pp,) = made
        changed = dict(pp.parameters)
        changed.update(
            {
                protocol.SIZE_RATIO: 1.25,
                protocol.CJK_FONT: "新細明體",
                protocol.LATIN_FONT: "Times New Roman",
                "顯示日期": False,
            }
        )
        pp.parameters = changed
        s.set_table.set(protocol.PATENT_PATH, "c.xlsx")
        watch.press()
        yield watch.until(watch.mark() + 1)

    session.run(queues, events, watched(body))
    first, second, _ = queues[protocol.REQUESTS].items
    assert first is not second
    assert list(first.items()) == default_request("a.xlsx", "b.xlsx")
    assert list(second.items()) == [
        (protocol.TEMPLATE_PATH, "a.xlsx"),
        (protocol.PATENT_PATH, "c.xlsx"),
        (protocol.SIZE_RATIO, 1.25),
        (protocol.CJK_FONT, "新細明體"),
        (protocol.LATIN_FONT, "Times New Roman"),
    ]


# ---------------------------------------------------------------------------
# The text box at the press
# ---------------------------------------------------------------------------


def test_a_press_replaces_the_old_content_and_its_red_lines_with_the_header(session):
    queues, events, _ = host_objects()
    seen = {}

    def body(s, watch):
        s.textbox.insert("end", OLD)
        s.textbox.insert("end", ERROR_LINE, "red_tag")
        watch.press()
        seen["text"] = s.text()
        seen["red"] = red_text(s.textbox)
        seen["header tags"] = s.textbox.tag_names("1.0")
        yield watch.until(watch.mark() + 1)

    session.run(queues, events, watched(body))
    assert seen == {"text": HEADER, "red": [], "header tags": ()}


# ---------------------------------------------------------------------------
# One run, tick by tick: label animation and messages
# ---------------------------------------------------------------------------

RUNS = {
    "messages-then-marker": (
        ["讀取檢索專利公開號.xlsx", "TW I123456 B", "US 2023/0001234 A1", "產生報告", MARKER],
        [
            ("輸出中.", "讀取檢索專利公開號.xlsx\n"),
            ("輸出中..", "TW I123456 B\n"),
            ("輸出中...", "US 2023/0001234 A1\n"),
            ("輸出中.", "產生報告\n"),
            ("輸出中..", DONE),
            (IDLE, ""),
            (IDLE, ""),
        ],
    ),
    "marker-first": ([MARKER], [("輸出中.", DONE), (IDLE, ""), (IDLE, "")]),
    "messages-after-the-marker": (
        [MARKER, "之後 1", "之後 2"],
        [("輸出中.", DONE), (IDLE, "之後 1\n"), (IDLE, "之後 2\n"), (IDLE, "")],
    ),
    "integer-message": ([3, MARKER], [("輸出中.", "3\n"), ("輸出中..", DONE), (IDLE, "")]),
    "look-alike-markers": (
        [f" {MARKER} ", MARKER + "\n", MARKER[:-1], MARKER],
        [
            ("輸出中.", f" {MARKER} \n"),
            ("輸出中..", MARKER + "\n\n"),
            ("輸出中...", MARKER[:-1] + "\n"),
            ("輸出中.", DONE),
            (IDLE, ""),
        ],
    ),
    "two-markers": ([MARKER, MARKER], [("輸出中.", DONE), (IDLE, DONE), (IDLE, "")]),
    "line-breaks-inside-a-message": (
        ["第一行\n第二行", "", MARKER],
        [("輸出中.", "第一行\n第二行\n"), ("輸出中..", "\n"), ("輸出中...", DONE), (IDLE, "")],
    ),
}


@pytest.mark.parametrize("messages, steps", list(RUNS.values()), ids=list(RUNS))
def test_a_run_shows_one_message_per_tick_and_the_idle_label_one_tick_after_the_marker(session, messages, steps):
    queues, events, log = host_objects()
    seen = {}

    def body(s, watch):
        pressed = watch.press()
        for message in messages:
            queues[protocol.RECEIPTS].put(message)
        yield watch.until(pressed + len(steps))
        seen["snaps"] = watch.snaps[pressed : pressed + len(steps)]

    session.run(queues, events, watched(body))
    assert seen["snaps"] == expected_snaps(HEADER, steps)
    # one get per message: the queue is only read when it reports a message
    assert len(calls(log, f"queue:{protocol.RECEIPTS}", "get")) == len(messages)
    assert len(calls(log, f"event:{protocol.BUSY}", "clear")) == messages.count(MARKER)
    assert not events[protocol.BUSY]._set


def test_ten_messages_put_at_once_appear_one_per_tick_in_order_and_the_label_cycles_on(session):
    queues, events, _ = host_objects()
    messages = [f"第 {i} 筆專利" for i in range(1, 11)]
    seen = {}

    def body(s, watch):
        pressed = watch.press()
        for message in messages:
            queues[protocol.RECEIPTS].put(message)
        yield watch.until(pressed + 13)
        seen["snaps"] = watch.snaps[pressed : pressed + 13]
        seen["periods"] = watch.periods

    session.run(queues, events, watched(body))
    # after the tenth message the queue stays empty and the animation goes on
    steps = [(BUSY[i % 3], messages[i] + "\n" if i < 10 else "") for i in range(13)]
    assert seen["snaps"] == expected_snaps(HEADER, steps)
    assert events[protocol.BUSY]._set
    assert seen["periods"] == {500}


@pytest.mark.parametrize(
    "busy, after_change",
    [
        pytest.param(True, "輸出中.", id="while-busy-the-cycle-restarts"),
        pytest.param(False, IDLE, id="while-idle-the-idle-label-returns"),
    ],
)
def test_a_label_changed_by_someone_else_is_replaced_on_the_next_tick(session, busy, after_change):
    queues, events, _ = host_objects()
    seen = {}

    def body(s, watch):
        start = watch.press() if busy else watch.mark()
        watch.at(start + 2, lambda: s.set_button.configure(IDLE, text="別的文字"))
        yield watch.until(start + 3)
        seen["labels"] = [label for label, _ in watch.snaps[start : start + 3]]

    session.run(queues, events, watched(body))
    before = ["輸出中.", "輸出中.."] if busy else [IDLE, IDLE]
    assert seen["labels"] == before + [after_change]


@pytest.mark.parametrize(
    "answers, label",
    [
        pytest.param([False, True], "輸出中..", id="set-again-between-the-queries-label-kept"),
        pytest.param([False, False], IDLE, id="still-clear-at-the-second-query-idle-label"),
    ],
)
def test_an_idle_tick_asks_the_busy_event_twice_before_showing_the_idle_label(session, answers, label):
    queues, events, log = host_objects()
    seen = {}

    def body(s, watch):
        pressed = watch.press()
        watch.at(pressed + 2, lambda: events[protocol.BUSY].answers.extend(answers))
        yield watch.until(pressed + 4)
        seen["labels"] = [lab for lab, _ in watch.snaps[pressed : pressed + 4]]

    session.run(queues, events, watched(body))
    # the fourth tick sees the event set again and animates on from the label it finds
    following = {"輸出中..": "輸出中...", IDLE: "輸出中."}[label]
    assert seen["labels"] == ["輸出中.", "輸出中..", label, following]


# ---------------------------------------------------------------------------
# A second press during a run
# ---------------------------------------------------------------------------


def test_a_second_press_during_a_run_sends_again_and_restarts_the_text_box(session):
    queues, events, log = host_objects()
    seen = {}

    def body(s, watch):
        first = watch.press()
        queues[protocol.RECEIPTS].put("第一次 1")
        queues[protocol.RECEIPTS].put("第一次 2")
        yield watch.until(first + 2)
        seen["before"] = s.text()
        second = watch.press()
        queues[protocol.RECEIPTS].put("第二次 1")
        queues[protocol.RECEIPTS].put(MARKER)
        yield watch.until(second + 3)
        seen["snaps"] = watch.snaps[second : second + 3]
        seen["busy ticks before"] = second - first

    session.run(queues, events, watched(body))
    assert seen["before"] == HEADER + "第一次 1\n第一次 2\n"
    # the animation simply goes on through the second press
    n = seen["busy ticks before"]
    assert seen["snaps"] == expected_snaps(HEADER, [(BUSY[n % 3], "第二次 1\n"), (BUSY[(n + 1) % 3], DONE), (IDLE, "")])
    first, second, closing = queues[protocol.REQUESTS].items
    assert first == second and first is not second and closing is None
    assert len(calls(log, f"event:{protocol.BUSY}", "set")) == 2


# ---------------------------------------------------------------------------
# The request cannot be sent, or the text box cannot be prepared
# ---------------------------------------------------------------------------


class _Raising:
    def __init__(self, text):
        self.text = text

    def __call__(self, *args, **kwargs):
        raise RuntimeError(self.text)


def _refuse_put(s, queues):
    queues[protocol.REQUESTS].fail.add("put")
    return lambda: queues[protocol.REQUESTS].fail.discard("put")


def _remove_request_queue(s, queues):
    request_queue = queues.pop(protocol.REQUESTS)
    return lambda: queues.__setitem__(protocol.REQUESTS, request_queue)


def _refuse_clearing(s, queues):
    s.textbox.delete = _Raising("the text box cannot be cleared")
    return lambda: delattr(s.textbox, "delete")


def _refuse_header(s, queues):
    real_insert = s.textbox.insert

    def insert(index, text, tags=None):
        if text == HEADER:
            raise RuntimeError("the header cannot be written")
        return real_insert(index, text, tags)

    s.textbox.insert = insert
    return lambda: delattr(s.textbox, "insert")


@pytest.mark.parametrize(
    "breakage, error_text, sent, kept",
    [
        pytest.param(_refuse_put, f"queue:{protocol.REQUESTS}.put refused", False, OLD, id="put-raises"),
        pytest.param(_remove_request_queue, repr(protocol.REQUESTS), False, OLD, id="no-request-queue"),
        pytest.param(_refuse_clearing, "the text box cannot be cleared", True, OLD, id="clearing-fails"),
        pytest.param(_refuse_header, "the header cannot be written", True, "", id="header-fails"),
    ],
)
def test_a_failure_while_sending_or_preparing_the_box_adds_a_red_line_and_the_error(
    session, caplog, breakage, error_text, sent, kept
):
    queues, events, log = host_objects()
    seen = {}

    def body(s, watch):
        s.textbox.insert("end", OLD)
        undo = breakage(s, queues)
        pressed = watch.press()
        undo()
        seen["busy after the press"] = events[protocol.BUSY]._set
        yield watch.until(pressed + 2)
        seen["labels"] = [label for label, _ in watch.snaps[pressed : pressed + 2]]
        seen["text"] = s.text()
        seen["red"] = red_text(s.textbox)
        seen["red colour"] = s.textbox.tag_cget("red_tag", "foreground")

    session.run(queues, events, watched(body))
    assert seen["text"] == kept + ERROR_LINE + error_text + "\n"
    assert seen["red"] == [ERROR_LINE]
    assert seen["red colour"] == "red"
    assert logged_errors(caplog) == []
    requests = [item for item in queues[protocol.REQUESTS].items if item is not None]
    assert len(requests) == (1 if sent else 0)
    # a request on its way keeps the animation; one that never left stops it
    assert seen["busy after the press"] is sent
    assert seen["labels"] == (["輸出中.", "輸出中.."] if sent else [IDLE, IDLE])


def test_a_refused_press_during_a_running_report_leaves_that_report_busy(session):
    queues, events, log = host_objects()
    seen = {}

    def body(s, watch):
        watch.press()  # a report is under way
        undo = _refuse_put(s, queues)
        pressed = watch.press()  # the second request never leaves
        undo()
        seen["busy after the press"] = events[protocol.BUSY]._set
        yield watch.until(pressed + 2)
        seen["labels"] = [label for label, _ in watch.snaps[pressed : pressed + 2]]

    session.run(queues, events, watched(body))
    assert seen == {"busy after the press": True, "labels": ["輸出中.", "輸出中.."]}
    assert [op for name, op, *_ in log if name == f"event:{protocol.BUSY}" and op in ("set", "clear")] == ["set", "set"]


def _parameters_without(gui_module, key):
    real = gui_module.Parameters

    def make():
        pp = real()
        parameters = dict(pp.parameters)
        del parameters[key]
        pp.parameters = parameters
        return pp

    return make


def _unreadable_table(gui_module):
    class UnreadableTable(gui_module.Set_Table):
        def get(self, name):
            raise RuntimeError("the entry table cannot be read")

    return UnreadableTable


@pytest.mark.parametrize(
    "names, events_without_busy, error",
    [
        pytest.param(
            lambda gui: {"Parameters": _parameters_without(gui, protocol.LATIN_FONT)},
            False,
            (KeyError, repr(protocol.LATIN_FONT)),
            id="a-report-parameter-missing",
        ),
        pytest.param(
            lambda gui: {"Set_Table": _unreadable_table(gui)},
            False,
            (RuntimeError, "the entry table cannot be read"),
            id="entry-table-fails",
        ),
        pytest.param(lambda gui: {}, True, (KeyError, repr(protocol.BUSY)), id="no-busy-event"),
    ],
)
def test_a_failure_before_the_request_is_built_goes_to_the_logger_and_sends_nothing(
    driven, gui_module, caplog, names, events_without_busy, error
):
    s = driven(**names(gui_module))
    queues, events, log = host_objects()
    if events_without_busy:
        del events[protocol.BUSY]
    seen = {}

    def body(s, watch):
        s.textbox.insert("end", OLD)
        pressed = watch.press()
        yield watch.until(pressed + 2)
        seen["snaps"] = watch.snaps[pressed : pressed + 2]

    s.run(queues, events, watched(body))
    assert seen["snaps"] == [(IDLE, OLD), (IDLE, OLD)]
    assert queues[protocol.REQUESTS].items == [None]
    (record,) = logged_errors(caplog)
    kind, text = error
    assert isinstance(record.exc_info[1], kind) and str(record.exc_info[1]) == text
    if not events_without_busy:
        # raised at the start of the press, withdrawn when the request could not be built
        ops = [entry[1] for entry in log if entry[0] == f"event:{protocol.BUSY}" and entry[1] in ("set", "clear")]
        assert ops == ["set", "clear"]


# ---------------------------------------------------------------------------
# Stand-alone trial (the module run as the main program)
# ---------------------------------------------------------------------------


def test_standalone_trial_with_placeholder_mappings_logs_the_press_and_keeps_polling(
    session, gui_module, monkeypatch, caplog
):
    monkeypatch.setattr(gui_module, "__name__", "__main__")
    seen = {}

    def body(s, watch):
        s.textbox.insert("end", OLD)
        pressed = watch.press()
        yield watch.until(pressed + 3)
        seen["snaps"] = watch.snaps[pressed : pressed + 3]

    assert session.run("X", "X", watched(body)) is None
    assert seen["snaps"] == [(IDLE, OLD)] * 3
    (record,) = logged_errors(caplog)
    assert isinstance(record.exc_info[1], TypeError)


def test_standalone_trial_with_working_mappings_sends_nothing(session, gui_module, monkeypatch):
    monkeypatch.setattr(gui_module, "__name__", "__main__")
    queues, events, log = host_objects()
    seen = {}

    def body(s, watch):
        watch.press()
        seen["text"] = s.text()
        yield watch.until(watch.mark() + 1)

    session.run(queues, events, watched(body))
    assert seen["text"] == HEADER
    assert [entry for entry in log if entry[1] == "put"] == []


# ---------------------------------------------------------------------------
# Messages that cannot be shown, and a completion that cannot be written
# ---------------------------------------------------------------------------


def test_a_message_without_text_is_lost_and_the_next_one_shows_on_the_next_tick(session, caplog):
    queues, events, log = host_objects()
    seen = {}

    def body(s, watch):
        pressed = watch.press()
        for message in ("之前", Unprintable(), "之後", MARKER):
            queues[protocol.RECEIPTS].put(message)
        yield watch.until(pressed + 5)
        seen["snaps"] = watch.snaps[pressed : pressed + 5]

    session.run(queues, events, watched(body))
    assert seen["snaps"] == expected_snaps(
        HEADER, [("輸出中.", "之前\n"), ("輸出中..", ""), ("輸出中...", "之後\n"), ("輸出中.", DONE), (IDLE, "")]
    )
    assert queues[protocol.RECEIPTS].items == []
    assert logged_errors(caplog) == []


def test_when_the_completion_cannot_be_written_the_run_goes_on(session):
    queues, events, _ = host_objects()
    seen = {}

    def body(s, watch):
        real_insert = s.textbox.insert

        def insert(index, text, tags=None):
            if text == DONE:
                raise RuntimeError("the text box refused the completion")
            return real_insert(index, text, tags)

        s.textbox.insert = insert
        pressed = watch.press()
        queues[protocol.RECEIPTS].put(MARKER)
        queues[protocol.RECEIPTS].put("之後")
        yield watch.until(pressed + 3)
        seen["snaps"] = watch.snaps[pressed : pressed + 3]
        del s.textbox.insert

    session.run(queues, events, watched(body))
    assert seen["snaps"] == expected_snaps(HEADER, [("輸出中.", ""), ("輸出中..", "之後\n"), ("輸出中...", "")])
    assert events[protocol.BUSY]._set


# ---------------------------------------------------------------------------
# Failing steps of a tick do not stop the monitor
# ---------------------------------------------------------------------------


def _faltering_buttons(gui_module):
    class FalteringButtons(gui_module.Set_Button):
        refusing = False

        def cget(self, name, option):
            if FalteringButtons.refusing:
                raise RuntimeError("the button bar cannot be read")
            return super().cget(name, option)

    return FalteringButtons


BLOCK_FAILURES = {
    # the label stays while its step fails; messages go on
    "is_set-raises": (
        "event",
        [("輸出中.", "一\n"), ("輸出中.", "二\n"), ("輸出中.", "三\n"), ("輸出中..", DONE), (IDLE, "")],
    ),
    "cget-raises": (
        "buttons",
        [("輸出中.", "一\n"), ("輸出中.", "二\n"), ("輸出中.", "三\n"), ("輸出中..", DONE), (IDLE, "")],
    ),
    # the messages wait while their step fails; the label goes on
    "empty-raises": (
        "queue",
        [
            ("輸出中.", "一\n"),
            ("輸出中..", ""),
            ("輸出中...", ""),
            ("輸出中.", "二\n"),
            ("輸出中..", "三\n"),
            ("輸出中...", DONE),
            (IDLE, ""),
        ],
    ),
}


@pytest.mark.parametrize("failing, steps", list(BLOCK_FAILURES.values()), ids=list(BLOCK_FAILURES))
def test_a_failing_step_of_a_tick_is_silent_and_the_ticks_go_on(driven, gui_module, caplog, failing, steps):
    buttons = _faltering_buttons(gui_module)
    s = driven(Set_Button=buttons)
    queues, events, log = host_objects()

    def refuse(on):
        if failing == "buttons":
            buttons.refusing = on
        else:
            target = events[protocol.BUSY] if failing == "event" else queues[protocol.RECEIPTS]
            op = "is_set" if failing == "event" else "empty"
            (target.fail.add if on else target.fail.discard)(op)

    seen = {}

    def body(s, watch):
        pressed = watch.press()
        for message in ("一", "二", "三", MARKER):
            queues[protocol.RECEIPTS].put(message)
        watch.at(pressed + 1, lambda: refuse(True))
        watch.at(pressed + 3, lambda: refuse(False))
        yield watch.until(pressed + len(steps))
        seen["snaps"] = watch.snaps[pressed : pressed + len(steps)]

    s.run(queues, events, watched(body))
    assert seen["snaps"] == expected_snaps(HEADER, steps)
    assert logged_errors(caplog) == []


def test_a_failing_rearm_stops_the_polling_and_is_logged(session, caplog):
    queues, events, _ = host_objects()
    seen = {}

    def body(s, watch):
        pressed = watch.press()
        watch.refuse_rearm_at = pressed + 2
        yield watch.until(pressed + 2)
        ticks = s.ticks
        queues[protocol.RECEIPTS].put("不會出現")
        yield 300  # fifteen tick periods
        seen["extra ticks"] = s.ticks - ticks
        seen["label"] = watch.button.cget("text")
        seen["text"] = s.text()

    session.run(queues, events, watched(body))
    assert seen == {"extra ticks": 0, "label": "輸出中..", "text": HEADER}
    (record,) = logged_errors(caplog)
    assert str(record.exc_info[1]) == "the timer refused the next tick"


# ---------------------------------------------------------------------------
# A whole run with a real worker beside the window
# ---------------------------------------------------------------------------

WORKER_MESSAGES = ["讀取 檢索專利公開號.xlsx", "TW I123456 B 完成", 42, "第一行\n第二行", MARKER]


@contextlib.contextmanager
def host_with_worker(kind, messages):
    """The host's queues and events, and the report worker double running on
    them: in a spawned process (multiprocessing queues and events, or a
    Manager's proxies) or in a thread (queue.Queue, threading.Event)."""
    with contextlib.ExitStack() as stack:
        if kind == "threading":
            make_queue, make_event = queue.Queue, threading.Event
        else:
            context = multiprocessing.get_context("spawn")
            if kind == "manager":
                manager = stack.enter_context(context.Manager())
                make_queue, make_event = manager.Queue, manager.Event
            else:
                make_queue, make_event = context.Queue, context.Event
        queues = {key: make_queue() for key in (protocol.REQUESTS, protocol.RECEIPTS, protocol.END)}
        events = {key: make_event() for key in (protocol.BUSY, protocol.END)}
        recorded, ready = make_queue(), make_event()
        args = (dict(queues, recorded=recorded), events, messages, ready)
        if kind == "threading":
            worker = threading.Thread(target=fakes.report_worker, args=args, daemon=True)
        else:
            worker = context.Process(target=fakes.report_worker, args=args)
        worker.start()
        host = types.SimpleNamespace(queues=queues, events=events, recorded=recorded, ready=ready, worker=worker)
        try:
            yield host
        finally:
            worker.join(timeout=30)
            if kind != "threading" and worker.is_alive():
                worker.terminate()
                worker.join()


@pytest.mark.parametrize("kind", ["multiprocessing", "manager", "threading"])
def test_a_clicked_report_run_through_a_real_worker(session, kind):
    texts = [HEADER + "".join(shown(m) for m in WORKER_MESSAGES[:k]) for k in range(len(WORKER_MESSAGES) + 1)]
    complete = texts[-1]
    seen = {}

    with host_with_worker(kind, WORKER_MESSAGES) as host:

        def body(s, watch):
            s.set_table.set(protocol.TEMPLATE_PATH, " C:/範本/報告格式.xlsx")
            s.set_table.set(protocol.PATENT_PATH, "C:\\tarnwick\\Lumivar\\檢索專利公開號.xlsx")
            yield lambda: watch.button.winfo_viewable()
            click(watch.button)
            yield host.ready.is_set
            seen["ready at"] = watch.mark()
            yield lambda: [text for _, text in watch.snaps].count(complete) >= 2
            seen["snaps"] = list(watch.snaps)

        session.run(host.queues, host.events, watched(body), timeout=40)
        request = host.recorded.get(timeout=30)
        closing = host.recorded.get(timeout=30)
        seen["busy at the end"] = host.events[protocol.BUSY].is_set()
    if kind != "threading":
        assert host.worker.exitcode == 0
    assert not host.worker.is_alive()

    assert list(request.items()) == default_request(
        " C:/範本/報告格式.xlsx", "C:\\tarnwick\\Lumivar\\檢索專利公開號.xlsx"
    )
    assert closing == {protocol.REQUESTS: None, "end event set before it": True, protocol.END: None}

    # every tick shows at most one more message, in order; once the worker has
    # delivered them all, exactly one per tick
    snaps = seen["snaps"]
    counts = [0 if text == "" else texts.index(text) for _, text in snaps]
    assert all(0 <= b - a <= 1 for a, b in zip(counts, counts[1:]))
    from_ready = counts[max(seen["ready at"] - 1, 0) :]
    assert from_ready == [min(from_ready[0] + i, len(WORKER_MESSAGES)) for i in range(len(from_ready))]
    # busy until the marker is shown, idle from the tick after
    done = counts.index(len(WORKER_MESSAGES))
    assert snaps[done][0] in BUSY
    assert {label for label, _ in snaps[done + 1 :]} == {IDLE}
    assert seen["busy at the end"] is False


# Failures this area survives; the user's files stay untouched.


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "put_error, refuse, logged",
    [
        pytest.param(Unsayable(), {}, (ValueError, "this error has no text"), id="error-text-cannot-be-made"),
        pytest.param(
            RuntimeError("the queue refused"),
            {"insert": lambda t: t == ERROR_LINE and RuntimeError("no red line")},
            (RuntimeError, "no red line"),
            id="red-line-refused",
        ),
    ],
)
def test_a_failing_error_report_goes_to_the_logger_and_skips_the_tag(
    gui_module, monkeypatch, home, caplog, put_error, refuse, logged
):
    s = Session(gui_module, monkeypatch)
    box = recording_textbox(s, monkeypatch, refuse)
    queues, events, log = host_objects()
    queues[protocol.REQUESTS].error = put_error
    queues[protocol.REQUESTS].plan["put"] = ["raise"]
    seen = {}

    def script(s):
        stepper = Stepper(s)
        yield from stepper.start()
        s.textbox.insert("end", OLD)
        box.tag_calls.clear()
        seen["result"] = s.commands["button_event_001"]()
        seen["text"] = s.text()
        seen["red"] = red_text(s.textbox)
        seen["tags"] = list(box.tag_calls)
        seen["rearms"] = [stepper.tick(), stepper.tick()]
        seen["label"] = output_button(s).cget("text")
        yield from stepper.release()

    s.run(queues, events, script)
    expected_text = OLD + ERROR_LINE if refuse == {} else OLD
    assert seen == {
        "result": None,
        "text": expected_text,
        "red": [ERROR_LINE] if refuse == {} else [],
        "tags": [],
        "rearms": [1, 1],
        "label": IDLE,
    }
    (record,) = logged_errors(caplog)
    assert (type(record.exc_info[1]), str(record.exc_info[1])) == logged
    assert [e for e in log if e[0] == f"event:{protocol.BUSY}" and e[1] in ("set", "clear")] == [
        (f"event:{protocol.BUSY}", "set"),
        (f"event:{protocol.BUSY}", "clear"),
    ]


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "error",
    [RuntimeError("no tags today"), HostPanic("not even an ordinary error")],
    ids=["ordinary-error", "any-class"],
)
@pytest.mark.parametrize("send", ["sent", "refused"])
def test_a_failing_tag_configuration_is_ignored(gui_module, monkeypatch, home, caplog, error, send):
    s = Session(gui_module, monkeypatch)
    box = recording_textbox(s, monkeypatch, {"tag_config": lambda tag: error})
    queues, events, log = host_objects()
    if send == "refused":
        queues[protocol.REQUESTS].plan["put"] = ["raise"]
    seen = {}

    def script(s):
        stepper = Stepper(s)
        yield from stepper.start()
        s.textbox.insert("end", OLD)
        seen["result"] = s.commands["button_event_001"]()
        seen["text"] = s.text()
        seen["tags"] = list(box.tag_calls)
        yield from stepper.release()

    s.run(queues, events, script)
    expected = HEADER if send == "sent" else OLD + ERROR_LINE + f"queue:{protocol.REQUESTS}.put refused\n"
    assert seen == {"result": None, "text": expected, "tags": [("red_tag", {"foreground": "red"})]}
    assert logged_errors(caplog) == []
    assert len([item for item in queues[protocol.REQUESTS].items if item is not None]) == (1 if send == "sent" else 0)


def _bar_that_knows_another_name(gui):
    class Bar(gui.Set_Button):
        def add_button(self, *args, **kwargs):
            if kwargs.get("button_name") == IDLE:
                kwargs["button_name"] = "舊的名字"
            return super().add_button(*args, **kwargs)

    return Bar


def _bar_that_refuses_configure(gui):
    class Bar(gui.Set_Button):
        def configure(self, name, **options):
            raise RuntimeError("the button bar refused the label")

    return Bar


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize("case", ["no-busy-event", "unknown-button", "configure-refused"])
def test_a_failing_label_step_leaves_the_label_and_the_messages_go_on(gui_module, monkeypatch, home, caplog, case):
    if case == "unknown-button":
        monkeypatch.setattr(gui_module, "Set_Button", _bar_that_knows_another_name(gui_module))
    if case == "configure-refused":
        monkeypatch.setattr(gui_module, "Set_Button", _bar_that_refuses_configure(gui_module))
    s = Session(gui_module, monkeypatch)
    queues, events, log = host_objects()
    if case == "no-busy-event":
        del events[protocol.BUSY]
    seen = {"labels": [], "texts": [], "rearms": []}

    def script(s):
        stepper = Stepper(s)
        yield from stepper.start()
        button = output_button(s)
        if case == "no-busy-event":
            button.configure(text="別的文字")  # an idle tick would put the idle label back
        else:
            events[protocol.BUSY].set()  # busy: a working tick would animate the label
        for message in ("一", "二", MARKER):
            queues[protocol.RECEIPTS].put(message)
        for _ in range(4):
            seen["rearms"].append(stepper.tick())
            seen["labels"].append(button.cget("text"))
            seen["texts"].append(s.text())
        yield from stepper.release()

    s.run(queues, events, script)
    label = "別的文字" if case == "no-busy-event" else IDLE
    assert seen == {
        "labels": [label] * 4,
        "texts": ["一\n", "一\n二\n", "一\n二\n" + DONE, "一\n二\n" + DONE],
        "rearms": [1, 1, 1, 1],
    }
    assert logged_errors(caplog) == []


MESSAGE_STEP_FAILURES = {
    # (refusals of the message queue's get, texts the box refuses, text after each tick)
    "no-message-queue": (None, None, [HEADER] * 4),
    "get-refuses-and-keeps-the-message": (
        [None, "raise", None, None, None],
        None,
        [
            HEADER + "一\n",
            HEADER + "一\n",
            HEADER + "一\n二\n",
            HEADER + "一\n二\n三\n",
            HEADER + "一\n二\n三\n" + DONE,
        ],
    ),
    "get-takes-the-message-and-fails": (
        [None, "take", None, None],
        None,
        [HEADER + "一\n", HEADER + "一\n", HEADER + "一\n三\n", HEADER + "一\n三\n" + DONE],
    ),
    "box-refuses-a-message": (
        None,
        "二\n",
        [HEADER + "一\n", HEADER + "一\n", HEADER + "一\n三\n", HEADER + "一\n三\n" + DONE],
    ),
}


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "refusals, refused_text, texts", list(MESSAGE_STEP_FAILURES.values()), ids=list(MESSAGE_STEP_FAILURES)
)
def test_a_failing_message_step_loses_at_most_the_message_taken(
    gui_module, monkeypatch, home, caplog, refusals, refused_text, texts
):
    s = Session(gui_module, monkeypatch)
    recording_textbox(s, monkeypatch, {"insert": lambda t: t == refused_text and RuntimeError("no room for it")})
    queues, events, log = host_objects()
    if refusals is None and refused_text is None:
        del queues[protocol.RECEIPTS]
    seen = {"labels": [], "texts": [], "rearms": []}

    def script(s):
        stepper = Stepper(s)
        yield from stepper.start()
        if protocol.RECEIPTS in queues:
            queues[protocol.RECEIPTS].plan["get"] = list(refusals or [])
            for message in ("一", "二", "三", MARKER):
                queues[protocol.RECEIPTS].put(message)
        s.commands["button_event_001"]()
        for _ in texts:
            seen["rearms"].append(stepper.tick())
            seen["labels"].append(output_button(s).cget("text"))
            seen["texts"].append(s.text())
        yield from stepper.release()

    s.run(queues, events, script)
    # the label step is untouched by the message step's failures (the marker,
    # when shown, comes on the last tick: the label turns idle on the next one)
    labels = [BUSY[i % 3] for i in range(len(texts))]
    assert seen == {"labels": labels, "texts": texts, "rearms": [1] * len(texts)}
    assert logged_errors(caplog) == []


class JoinsItsOwnWay(str):
    """A text message whose own + does not append what it is given."""

    def __add__(self, other):
        return JoinsItsOwnWay("接不上")


@pytest.mark.usefixtures("users_files")
def test_a_text_message_of_a_subclass_is_shown_with_exactly_one_line_break(session):
    queues, events, _ = host_objects()
    seen = {}

    def script(s):
        stepper = Stepper(s)
        yield from stepper.start()
        for message in (JoinsItsOwnWay("第一筆"), "第二筆"):
            queues[protocol.RECEIPTS].put(message)
        stepper.tick()
        stepper.tick()
        seen["text"] = s.text()
        yield from stepper.release()

    session.run(queues, events, script)
    assert seen["text"] == "第一筆\n第二筆\n"
