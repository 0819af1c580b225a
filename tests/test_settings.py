"""The settings dialog: the two fonts and the text-size ratio of the report."""

import gc
import logging
import math
import weakref

import customtkinter
import pytest
from PIL import Image

from lumivar import protocol

from support import WINDOW, Session, Ticks, host_objects, idle, logged_errors, raiser

FONTS = list(WINDOW["FONT_CHOICES"])
TITLE, LATIN, CJK, RATIO = (WINDOW[k] for k in ("SETTINGS_TITLE", "LATIN_FONT_LABEL", "CJK_FONT_LABEL", "RATIO_LABEL"))


# ---------------------------------------------------------------- helpers


def dialogs(s):
    return s.widgets(customtkinter.CTkToplevel)


def open_dialog(s, opener=None):
    """Opens one more settings dialog and waits until it is shown; yields from a script."""
    before = set(dialogs(s))
    (opener or s.commands["button_event_004"])()
    (top,) = [t for t in dialogs(s) if t not in before]
    yield lambda: top.winfo_ismapped()
    top.update_idletasks()
    return Dialog(top)


class Dialog:
    """The controls of one dialog, found as a user sees them: top to bottom."""

    def __init__(self, top):
        self.top = top
        kids = sorted(top.winfo_children(), key=lambda w: (w.winfo_y(), w.winfo_x()))
        self.order = [
            type(w).__name__
            + ":"
            + (w.cget("text") if isinstance(w, (customtkinter.CTkLabel, customtkinter.CTkButton)) else "")
            for w in kids
        ]
        self.english, self.chinese = [w for w in kids if isinstance(w, customtkinter.CTkOptionMenu)]
        (self.entry,) = [w for w in kids if isinstance(w, customtkinter.CTkEntry)]
        (self.confirm,) = [w for w in kids if isinstance(w, customtkinter.CTkButton)]

    def type(self, text):
        self.entry.delete(0, "end")
        if text:
            self.entry.insert(0, text)


def ratio_case(text, stored, hint):
    return pytest.param(text, stored, hint, id=repr(text))


# ---------------------------------------------------------------- the dialog


class AttributeRecordingToplevel(customtkinter.CTkToplevel):
    """The real dialog window, noting its window-manager requests: without a
    window manager on the test display Tk cannot report -topmost back."""

    requests = []

    def attributes(self, *args, **kwargs):
        type(self).requests.append(args)
        return super().attributes(*args, **kwargs)

    wm_attributes = attributes


def test_dialog_shows_the_current_settings_above_the_main_window(session, gui_module, parameters_made, monkeypatch):
    monkeypatch.setattr(AttributeRecordingToplevel, "requests", [])
    monkeypatch.setattr(gui_module.customtkinter, "CTkToplevel", AttributeRecordingToplevel)
    seen = {}

    def script(s):
        yield from idle(s)
        d = yield from open_dialog(s)
        top = d.top
        seen["title"] = top.title()
        seen["size"] = (top.winfo_width(), top.winfo_height())
        seen["topmost"] = [
            bool(args[1]) for args in AttributeRecordingToplevel.requests if len(args) >= 2 and args[0] == "-topmost"
        ]
        seen["modal"] = s.app.grab_current()
        seen["order"] = d.order
        seen["menus"] = [(m.get(), list(m.cget("values"))) for m in (d.english, d.chinese)]
        seen["entry"] = (d.entry.get(), d.entry.cget("placeholder_text"))
        seen["parameters"] = dict(parameters_made[0].parameters)
        seen["main window"] = s.app.winfo_viewable()

    session.run(*host_objects()[:2], script)
    assert seen["title"] == TITLE
    assert seen["size"] == (300, 330)
    assert seen["topmost"] and seen["topmost"][-1] is True
    assert seen["modal"] is None
    assert seen["order"] == [
        f"CTkLabel:{LATIN}",
        "CTkOptionMenu:",
        f"CTkLabel:{CJK}",
        "CTkOptionMenu:",
        f"CTkLabel:{RATIO}",
        "CTkEntry:",
        "CTkButton:確認",
    ]
    assert seen["menus"] == [("Calibri", FONTS), ("標楷體", FONTS)]
    assert seen["entry"] == ("", "100")
    # Opening writes nothing.
    assert seen["parameters"] == dict(type(parameters_made[0])().parameters)
    assert seen["main window"] == 1


# Typed text, the ratio stored, the next dialog's hint.
RATIOS = [
    ratio_case("", 1, "100"),
    ratio_case("150", 1.5, "150.0"),
    ratio_case(" 1_2_0 ", 1.2, "120.0"),
    ratio_case("\u3000１５０\n", 1.5, "150.0"),  # full-width digits, ideographic space
    ratio_case("+50", 0.5, "50.0"),
    ratio_case(".5", 0.005, "0.5"),
    ratio_case("110", 1.1, "110.00000000000001"),
    ratio_case("1E18", 1e16, "1e+18"),
    ratio_case("abc", 1, "100"),
    ratio_case("1__20", 1, "100"),
    ratio_case("150%", 1, "100"),
    # Stored as typed, without a range check: the report job decides what it can use.
    ratio_case("0", 0.0, "0.0"),
    ratio_case("-0", -0.0, "-0.0"),
    ratio_case("-50", -0.5, "-50.0"),
    ratio_case("inf", math.inf, "inf"),
    ratio_case("-Infinity", -math.inf, "-inf"),
    ratio_case("nan", math.nan, "nan"),
    ratio_case("1e400", math.inf, "inf"),  # reads as infinity
    ratio_case("5e-324", 0.0, "0.0"),  # a positive text whose ratio is zero
]
# The dialog's own part: the entry read, the hint written back.
DIALOG_RATIOS = [c for c in RATIOS if c.values[0] in ("", "150", "abc", "-0", "nan", "1E18")]


@pytest.mark.parametrize("text, stored, hint", RATIOS)
def test_a_typed_percentage_is_read_as_a_ratio_without_a_window(gui_module, text, stored, hint):
    # repr tells -0.0 from 0.0 and matches NaN, and 1 from 1.0.
    assert repr(gui_module._ratio_from_text(text)) == repr(stored)


@pytest.mark.parametrize("text, stored, hint", DIALOG_RATIOS)
def test_confirmed_ratio_is_stored_and_hinted_by_the_next_dialog(session, parameters_made, text, stored, hint):
    seen = {}

    def script(s):
        yield from idle(s)
        pp = parameters_made[0].parameters
        pp[protocol.SIZE_RATIO] = 0.75  # a value held before: confirming always replaces it
        d = yield from open_dialog(s)
        d.type(text)
        d.confirm.invoke()
        seen["stored"] = pp[protocol.SIZE_RATIO]
        nxt = yield from open_dialog(s)
        seen["hint"] = nxt.entry.cget("placeholder_text")

    session.run(*host_objects()[:2], script)
    # repr tells -0.0 from 0.0 and matches NaN, and 1 from 1.0.
    assert repr(seen["stored"]) == repr(stored)
    assert seen["hint"] == hint


def test_a_ratio_whose_reading_fails_in_any_way_is_stored_as_1(session, parameters_made):
    class Interrupting(str):
        def __float__(self):
            raise KeyboardInterrupt

    seen = {}

    def script(s):
        yield from idle(s)
        d = yield from open_dialog(s)
        d.entry.get = lambda *args: Interrupting("150")
        d.confirm.invoke()
        seen["stored"] = parameters_made[0].parameters[protocol.SIZE_RATIO]

    session.run(*host_objects()[:2], script)
    assert seen["stored"] == 1 and type(seen["stored"]) is int


def test_menu_choices_are_stored_under_their_own_keys(session, parameters_made):
    seen = {}

    def script(s):
        yield from idle(s)
        d = yield from open_dialog(s)
        d.english.set("Brush Script MT")
        d.chinese.set("新細明體")
        d.type("90")
        d.confirm.invoke()
        seen["parameters"] = dict(parameters_made[0].parameters)
        nxt = yield from open_dialog(s)
        seen["next"] = (nxt.english.get(), nxt.chinese.get())

    session.run(*host_objects()[:2], script)
    p = seen["parameters"]
    assert (p[protocol.LATIN_FONT], p[protocol.CJK_FONT], p[protocol.SIZE_RATIO]) == (
        "Brush Script MT",
        "新細明體",
        0.9,
    )
    assert seen["next"] == ("Brush Script MT", "新細明體")
    # The other parameters stay as they were.
    assert [p[k] for k in ("顯示免用統一發票章", "顯示負責人章", "顯示日期")] == [False, False, True]


def test_dialog_stays_open_and_confirms_again(session, parameters_made):
    seen = []

    def script(s):
        yield from idle(s)
        pp = parameters_made[0].parameters
        d = yield from open_dialog(s)
        for text, english, chinese in (
            ("150", "微軟正黑體", "Calibri"),
            ("", "新細明體", "標楷體"),
            ("80", "Calibri", "微軟正黑體"),
        ):
            d.type(text)
            d.english.set(english)
            d.chinese.set(chinese)
            d.confirm.invoke()
            yield 20
            seen.append(
                (
                    pp[protocol.SIZE_RATIO],
                    pp[protocol.LATIN_FONT],
                    pp[protocol.CJK_FONT],
                    d.top.winfo_exists() and d.top.winfo_ismapped(),
                    len(dialogs(s)),
                )
            )

    session.run(*host_objects()[:2], script)
    assert seen == [
        (1.5, "微軟正黑體", "Calibri", 1, 1),
        (1, "新細明體", "標楷體", 1, 1),
        (0.8, "Calibri", "微軟正黑體", 1, 1),
    ]
    assert type(seen[1][0]) is int


def test_two_dialogs_each_write_their_own_values(session, parameters_made):
    seen = []

    def script(s):
        yield from idle(s)
        pp = parameters_made[0].parameters
        first = yield from open_dialog(s)
        second = yield from open_dialog(s)
        seen.append(first.top is not second.top and len(dialogs(s)) == 2)
        first.type("120")
        first.english.set("標楷體")
        second.type("200")
        second.chinese.set("新細明體")
        second.confirm.invoke()
        seen.append((pp[protocol.SIZE_RATIO], pp[protocol.LATIN_FONT], pp[protocol.CJK_FONT]))
        first.confirm.invoke()
        seen.append((pp[protocol.SIZE_RATIO], pp[protocol.LATIN_FONT], pp[protocol.CJK_FONT]))

    session.run(*host_objects()[:2], script)
    assert seen == [True, (2.0, "Calibri", "新細明體"), (1.2, "標楷體", "標楷體")]


def test_a_request_after_confirming_carries_the_new_values(session, parameters_made):
    queues, events, _ = host_objects()

    def script(s):
        yield from idle(s)
        s.set_table.set(protocol.TEMPLATE_PATH, "/t/範本.xlsx")
        s.set_table.set(protocol.PATENT_PATH, "/t/專利.xlsx")
        s.commands["button_event_001"]()
        d = yield from open_dialog(s)
        d.type("125")
        d.english.set("新細明體")
        d.chinese.set("微軟正黑體")
        d.confirm.invoke()
        s.commands["button_event_001"]()

    session.run(queues, events, script)
    requests = [item for item in queues[protocol.REQUESTS].items if item is not None]
    assert [list(r.items()) for r in requests] == [
        [
            (protocol.TEMPLATE_PATH, "/t/範本.xlsx"),
            (protocol.PATENT_PATH, "/t/專利.xlsx"),
            (protocol.SIZE_RATIO, 1),
            (protocol.CJK_FONT, "標楷體"),
            (protocol.LATIN_FONT, "Calibri"),
        ],
        [
            (protocol.TEMPLATE_PATH, "/t/範本.xlsx"),
            (protocol.PATENT_PATH, "/t/專利.xlsx"),
            (protocol.SIZE_RATIO, 1.25),
            (protocol.CJK_FONT, "微軟正黑體"),
            (protocol.LATIN_FONT, "新細明體"),
        ],
    ]


def test_gear_button_of_the_top_band_opens_the_dialog(session, gui_module, parameters_made, caplog):
    seen = {}

    def gear(s):
        with Image.open(gui_module._platform.resource("\\格式範本\\設定.png")) as icon:
            wanted = icon.tobytes()
        found = [
            b
            for b in s.widgets(customtkinter.CTkButton)
            if isinstance(b.cget("image"), customtkinter.CTkImage)
            and b.cget("image").cget("light_image").tobytes() == wanted
        ]
        (button,) = found
        return button

    def script(s):
        yield from idle(s)
        button = gear(s)
        d = yield from open_dialog(s, button.invoke)
        seen["title"] = d.top.title()
        d.type("175")
        d.confirm.invoke()
        seen["ratio"] = parameters_made[0].parameters[protocol.SIZE_RATIO]
        again = yield from open_dialog(s, button.invoke)
        seen["hint"] = again.entry.cget("placeholder_text")
        seen["count"] = len(dialogs(s))

    with caplog.at_level(logging.ERROR, logger="tarnwick通用模組"):
        session.run(*host_objects()[:2], script)
    assert seen == {"title": TITLE, "ratio": 1.75, "hint": "175.0", "count": 2}
    assert caplog.records == []


def test_closed_dialogs_and_window_leave_nothing_alive(gui_module, monkeypatch, home):
    refs = []

    def script(s):
        yield from idle(s)
        for close_first in (True, False):
            d = yield from open_dialog(s)
            d.type("130")
            d.confirm.invoke()
            refs.extend(weakref.ref(w) for w in (d.top, d.entry, d.english, d.chinese, d.confirm))
            if close_first:
                d.top.destroy()  # as the window frame's close button does
                yield 20
            del d

    with pytest.MonkeyPatch.context() as mp:
        s = Session(gui_module, mp)
        s.run(*host_objects()[:2], script)
    refs.append(weakref.ref(s.app))
    del s
    gc.collect()
    assert [r() for r in refs if r() is not None] == []
    assert customtkinter.AppearanceModeTracker.app_list == []


# Failures this area survives; the user's files stay untouched.


def _without_english_font(s, mp, pp):
    del pp.parameters[protocol.LATIN_FONT]
    return KeyError(protocol.LATIN_FONT), [f"CTkLabel:{LATIN}", "CTkOptionMenu"]


def _ratio_that_cannot_be_scaled(s, mp, pp):
    pp.parameters[protocol.SIZE_RATIO] = None
    return (
        TypeError("unsupported operand type(s) for *: 'NoneType' and 'int'"),
        [f"CTkLabel:{LATIN}", "CTkOptionMenu", f"CTkLabel:{CJK}", "CTkOptionMenu", f"CTkLabel:{RATIO}"],
    )


def _entry_that_cannot_be_made(s, mp, pp):
    error = RuntimeError("no entry today")
    mp.setattr(s.module.customtkinter, "CTkEntry", raiser(error), raising=False)
    return error, [f"CTkLabel:{LATIN}", "CTkOptionMenu", f"CTkLabel:{CJK}", "CTkOptionMenu", f"CTkLabel:{RATIO}"]


def describe_widgets(top):
    return [
        type(w).__name__ + (":" + w.cget("text") if isinstance(w, customtkinter.CTkLabel) else "")
        for w in top.winfo_children()
    ]


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "arrange",
    [_without_english_font, _ratio_that_cannot_be_scaled, _entry_that_cannot_be_made],
    ids=["english-font-missing", "ratio-cannot-be-scaled", "entry-cannot-be-made"],
)
def test_a_failure_while_building_the_dialog_is_logged_and_earlier_widgets_stay(
    gui_module, monkeypatch, home, caplog, parameters_made, arrange
):
    s = Session(gui_module, monkeypatch)
    seen = {}

    def script(s):
        yield from idle(s)
        error, widgets = arrange(s, monkeypatch, parameters_made[0])
        seen["expected"] = (type(error), error.args, widgets)
        seen["result"] = s.commands["button_event_004"]()
        tops = s.widgets(customtkinter.CTkToplevel)
        seen["dialogs"] = [(t.title(), describe_widgets(t)) for t in tops]
        yield Ticks(2)  # the main window goes on

    s.run(*host_objects()[:2], script)
    kind, args, widgets = seen["expected"]
    assert (seen["result"], seen["dialogs"]) == (None, [(TITLE, widgets)])
    (record,) = logged_errors(caplog)
    assert (type(record.exc_info[1]), record.exc_info[1].args) == (kind, args)


class RefusingParameters(dict):
    """Report parameters that refuse to store one key."""

    def __init__(self, values, refused):
        super().__init__(values)
        self.refused = refused

    def __setitem__(self, key, value):
        if key == self.refused:
            raise RuntimeError(f"{key} cannot be stored")
        super().__setitem__(key, value)


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "refused, unreadable_menu, stored_chinese",
    [
        pytest.param(protocol.CJK_FONT, False, "標楷體", id="chinese-font-refused"),
        pytest.param(protocol.LATIN_FONT, False, "新細明體", id="english-font-refused"),
        pytest.param(None, True, "標楷體", id="chinese-menu-unreadable"),
    ],
)
def test_a_font_that_cannot_be_stored_reaches_the_toolkit_and_the_ratio_stays(
    gui_module, monkeypatch, home, caplog, parameters_made, refused, unreadable_menu, stored_chinese
):
    s = Session(gui_module, monkeypatch)
    reported = []
    seen = {}

    def script(s):
        yield from idle(s)
        pp = parameters_made[0]
        pp.parameters = RefusingParameters(pp.parameters, refused)
        s.app.report_callback_exception = lambda kind, value, trace: reported.append(value)
        s.commands["button_event_004"]()
        (top,) = s.widgets(customtkinter.CTkToplevel)
        yield lambda: top.winfo_ismapped()
        entry = [w for w in top.winfo_children() if isinstance(w, customtkinter.CTkEntry)][0]
        english, chinese = [w for w in top.winfo_children() if isinstance(w, customtkinter.CTkOptionMenu)]
        (confirm,) = [w for w in top.winfo_children() if isinstance(w, customtkinter.CTkButton)]
        entry.insert(0, "150")
        english.set("Brush Script MT")
        chinese.set("新細明體")
        if unreadable_menu:
            chinese.get = raiser(RuntimeError("the menu cannot be read"))
        s.app.after_idle(confirm.invoke)  # the toolkit runs the command, as on a click
        yield lambda: reported
        seen["parameters"] = {
            k: pp.parameters[k] for k in (protocol.SIZE_RATIO, protocol.CJK_FONT, protocol.LATIN_FONT)
        }
        seen["open"] = top.winfo_exists()

    s.run(*host_objects()[:2], script)
    (error,) = reported
    expected = "the menu cannot be read" if unreadable_menu else f"{refused} cannot be stored"
    assert (type(error), str(error)) == (RuntimeError, expected)
    assert seen == {
        "parameters": {protocol.SIZE_RATIO: 1.5, protocol.CJK_FONT: stored_chinese, protocol.LATIN_FONT: "Calibri"},
        "open": 1,
    }
    assert logged_errors(caplog) == []
