"""The main window: working folder, widgets, resources, closing and clean-up."""

import errno
import gc
import os
import tkinter
import weakref
from pathlib import Path

import customtkinter
import pytest

from lumivar import protocol

from conftest import WORKBOOK, moves_home
from support import (
    END_SIGNALS,
    MARKER,
    WINDOW,
    Recorder,
    Service,
    Session,
    Ticks,
    host_objects,
    idle,
    os_error,
    raiser,
    refusing,
    signals,
)


def test_window_title_size_and_widgets(session):
    seen = {}

    def script(s):
        yield from idle(s)
        app = s.app
        seen["title"] = app.title()
        seen["resizable"] = app.resizable()
        box = s.textbox
        seen["box"] = (box.cget("width"), box.cget("height"), box.cget("corner_radius"))
        seen["labels"] = sorted(w.cget("text") for w in s.widgets(customtkinter.CTkLabel) if w.cget("text"))
        seen["menu"] = [m.get() for m in s.widgets(customtkinter.CTkOptionMenu)]
        seen["entries"] = len(s.widgets(customtkinter.CTkEntry))
        seen["buttons"] = len(s.widgets(customtkinter.CTkButton))
        seen["output"] = [(b.cget("width"), b.cget("text")) for b in s.button("輸出檢索報告")]
        seen["columns"] = [app.grid_columnconfigure(c)["weight"] for c in (0, 1, 2)]
        seen["size"] = (app.winfo_width(), app.winfo_height())

    queues, events, _ = host_objects()
    assert session.run(queues, events, script) is None
    assert seen["title"] == WINDOW["TITLE"]
    assert seen["resizable"] == (False, False)
    assert seen["box"] == (700, 300, 0)
    assert seen["labels"] == sorted([WINDOW["TITLE"], protocol.TEMPLATE_PATH, protocol.PATENT_PATH])
    assert seen["menu"] == ["暫時用不到"]
    assert seen["entries"] == 2
    # two logo buttons, the output button and seven icon buttons
    assert seen["buttons"] == 10
    assert seen["output"] == [(140, "輸出檢索報告")]
    assert seen["columns"] == [1, 1, 1]
    assert seen["size"][0] >= 720 and seen["size"][1] >= 450


def test_first_run_creates_folders_and_copies_the_workbook_later_runs_keep_the_users_copy(
    session, gui_module, monkeypatch, home, capsys
):
    queues, events, _ = host_objects()
    session.run(queues, events, idle)
    user_copy = home / "tarnwick" / "Lumivar" / "檢索專利公開號.xlsx"
    shipped = gui_module._platform.resource("\\格式範本\\檢索專利公開號.xlsx")
    assert user_copy.read_bytes() == Path(shipped).read_bytes()
    assert int(user_copy.stat().st_mtime) == int(os.stat(shipped).st_mtime)

    user_copy.write_bytes(b"the user's own numbers")
    again = Session(gui_module, monkeypatch)
    again.run(*host_objects()[:2], idle)
    assert user_copy.read_bytes() == b"the user's own numbers"
    assert capsys.readouterr().out == ""


def test_closing_sends_the_three_end_signals_in_order(session):
    queues, events, log = host_objects()
    assert session.run(queues, events, idle) is None
    signals = [
        entry for entry in log if entry[0] != f"event:{protocol.BUSY}" and entry[0] != f"queue:{protocol.RECEIPTS}"
    ]
    assert signals == [("queue:end", "put", None), ("event:end", "set"), (f"queue:{protocol.REQUESTS}", "put", None)]


def test_a_failing_end_signal_reaches_the_host_and_stops_the_rest(session):
    queues, events, log = host_objects(fail={"event:end": ("set",)})
    with pytest.raises(RuntimeError, match="event:end.set refused"):
        session.run(queues, events, idle)
    assert (f"queue:{protocol.REQUESTS}", "put", None) not in log


def test_first_tick_comes_500_ms_after_the_loop_starts(gui_module, monkeypatch, home):
    s = Session(gui_module, monkeypatch, tick_ms=None)

    def script(s):
        yield Ticks(2)

    s.run(*host_objects()[:2], script)
    first_after = [ms for ms, func in s.after_calls if func is s.commands["aa"]]
    assert first_after[:2] == [500, 500]
    assert s.tick_times[0] - s.loop_started_at >= 0.45
    assert s.tick_times[1] - s.tick_times[0] >= 0.45


def test_thirty_windows_leave_nothing_alive(gui_module, monkeypatch, home):
    refs = []
    queues, events, _ = host_objects()
    roots_tracked = len(customtkinter.AppearanceModeTracker.app_list)
    for _ in range(30):
        boxes = []

        def script(s, boxes=boxes):
            yield from idle(s)
            boxes.append(weakref.ref(s.textbox))

        # Each session patches the module afresh and is undone after its call,
        # so the test itself keeps no window alive.
        with pytest.MonkeyPatch.context() as mp:
            s = Session(gui_module, mp)
            s.run(queues, events, script)
        refs += [weakref.ref(s.app), weakref.ref(s.set_table), weakref.ref(s.set_button)] + boxes
        del s
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    assert alive == []
    assert len(customtkinter.AppearanceModeTracker.app_list) == roots_tracked


@pytest.mark.parametrize(
    "missing, expect_logo, expect_text_logo",
    [
        ("logo.png", False, False),
        ("logo(僅文字).png", True, False),
        ("logo.ico", True, True),
        ("檢索專利公開號.xlsx", True, True),
    ],
)
def test_each_missing_resource_prints_its_line_and_the_window_still_opens(
    module_copy, monkeypatch, home, capsys, missing, expect_logo, expect_text_logo
):
    folder, load = module_copy
    module = load(missing)
    s = Session(module, monkeypatch)
    seen = {}

    def script(s):
        yield from idle(s)
        logo_band = [w for w in s.widgets(customtkinter.CTkButton) if w.cget("state") == "disabled"]
        seen["images"] = [w.cget("image").cget("size") for w in logo_band]
        seen["title"] = [w for w in s.widgets(customtkinter.CTkLabel) if w.cget("text") == WINDOW["TITLE"]]
        seen["menu"] = len(s.widgets(customtkinter.CTkOptionMenu))
        seen["icons"] = len([b for b in s.widgets(customtkinter.CTkButton) if b.cget("state") != "disabled"])

    s.run(*host_objects()[:2], script)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1
    path = str(folder / "格式範本" / missing)
    assert lines[0].endswith(repr(path)) or path in lines[0]  # an OSError, or Tk's own words
    if missing.endswith(".xlsx"):
        assert lines[0].startswith(WINDOW["WORKBOOK_PREFIX"])
        assert not (home / "tarnwick" / "Lumivar" / missing).exists()
    expected = ([(50, 50)] if expect_logo else []) + ([(120, 30)] if expect_text_logo else [])
    assert seen["images"] == expected
    assert len(seen["title"]) == (1 if expect_text_logo else 0)
    assert seen["menu"] == 1 and seen["icons"] == 8


def test_a_closed_windows_timers_do_not_fire_in_the_next_window(gui_module, home, capfd):
    gc.collect()  # windows of earlier tests go first, not inside this one
    gc.disable()
    try:
        for _ in range(2):
            with pytest.MonkeyPatch.context() as mp:
                s = Session(gui_module, mp)

                def script(s):
                    yield Ticks(3)
                    yield 150  # the toolkit's own timers (scaling, appearance) are pending too

                s.run(*host_objects()[:2], script)
    finally:
        gc.enable()
    assert "invalid command name" not in capfd.readouterr().err


def test_a_console_that_cannot_show_chinese_gets_the_line_escaped(module_copy, monkeypatch, home):
    # A Windows console or pipe in a Western code page: the line must not
    # raise out of GUI(...), or no window opens and no end signal is sent.
    import io
    import sys

    folder, load = module_copy
    module = load("檢索專利公開號.xlsx")
    console = io.TextIOWrapper(io.BytesIO(), encoding="cp1252")
    monkeypatch.setattr(sys, "stdout", console)
    queues, events, log = host_objects()
    s = Session(module, monkeypatch)
    s.run(queues, events, idle)
    console.flush()
    line = console.buffer.getvalue().decode("cp1252").splitlines()[0]
    assert line.startswith("\\u6aa2\\u7d22\\u5c08\\u5229\\u516c\\u958b\\u865f.xlsx --> ")
    path = repr(str(folder / "格式範本" / "檢索專利公開號.xlsx"))
    assert line.endswith(path.encode("cp1252", "backslashreplace").decode("cp1252"))
    assert ("event:end", "set") in log


# Failures this area survives; the user's files stay untouched.


def _home_below_a_file(gui, mp, tmp_path, home, calls):
    (tmp_path / "plain-file").write_text("not a folder")
    new_home = tmp_path / "plain-file" / "home"
    mp.setenv("HOME", str(new_home))
    copy = new_home / "tarnwick" / "Lumivar" / WORKBOOK
    return [f"{WORKBOOK} --> " + os_error(errno.ENOTDIR, copy)], None


def _home_missing(gui, mp, tmp_path, home, calls):
    new_home = tmp_path / "gone" / "home"
    mp.setenv("HOME", str(new_home))
    copy = new_home / "tarnwick" / "Lumivar" / WORKBOOK
    return [f"{WORKBOOK} --> " + os_error(errno.ENOENT, copy)], None


def _mkdir_denied(gui, mp, tmp_path, home, calls):
    mp.setattr(gui, "os", Service(os, mkdir=refusing(calls, "mkdir", PermissionError(errno.EACCES, "denied"))))
    return [], "mkdir"


class NotAnOrdinaryError(BaseException):
    """Derived from BaseException only: folder creation ignores even this."""


def _mkdir_raises_anything(gui, mp, tmp_path, home, calls):
    mp.setattr(gui, "os", Service(os, mkdir=refusing(calls, "mkdir", NotAnOrdinaryError("the disk is on fire"))))
    return [], "mkdir"


def _copy_fails(gui, mp, tmp_path, home, calls):
    mp.setenv("HOME", str(tmp_path / "fresh"))
    (tmp_path / "fresh").mkdir()
    mp.setattr(
        gui,
        "shutil",
        Service(gui.shutil, copy2=refusing(calls, "copy2", OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)))),
    )
    return [f"{WORKBOOK} --> " + os_error(errno.ENOSPC)], "copy2"


def _existence_test_fails(gui, mp, tmp_path, home, calls):
    copy = home / "tarnwick" / "Lumivar" / WORKBOOK
    path = Service(
        os.path, lexists=refusing(calls, "lexists", PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(copy)))
    )
    mp.setattr(gui, "os", Service(os, path=path))
    mp.setattr(
        gui, "shutil", Service(gui.shutil, copy2=refusing(calls, "copy2", AssertionError("no copy may be made")))
    )
    return [f"{WORKBOOK} --> " + os_error(errno.EACCES, copy)], "lexists"


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "arrange",
    [
        pytest.param(_home_below_a_file, marks=moves_home, id="home-below-a-file"),
        pytest.param(_home_missing, marks=moves_home, id="home-missing"),
        pytest.param(_mkdir_denied, id="mkdir-denied"),
        pytest.param(_mkdir_raises_anything, id="mkdir-raises-anything"),
        pytest.param(_copy_fails, marks=moves_home, id="copy-fails"),
        pytest.param(_existence_test_fails, id="existence-test-fails"),
    ],
)
def test_folder_and_workbook_failures_at_window_start(gui_module, monkeypatch, tmp_path, home, capsys, arrange):
    calls = []
    lines, provoked = arrange(gui_module, monkeypatch, tmp_path, home, calls)
    s = Session(gui_module, monkeypatch)
    queues, events, log = host_objects()
    seen = {}

    def script(s):
        yield from idle(s)
        yield Ticks(2)  # the monitor runs (a stopped one fails the wait)
        seen["lines"] = capsys.readouterr().out.splitlines()

    assert s.run(queues, events, script) is None
    assert seen == {"lines": lines}
    assert signals(log) == END_SIGNALS
    if provoked == "mkdir":
        native = gui_module._platform.native_path
        assert calls == [("mkdir", native("C:/tarnwick/")), ("mkdir", native("C:/tarnwick/Lumivar/"))]
    elif provoked is not None:
        assert [c[0] for c in calls] == [provoked]
    if arrange is _copy_fails:
        assert (tmp_path / "fresh" / "tarnwick" / "Lumivar").is_dir()
        assert not (tmp_path / "fresh" / "tarnwick" / "Lumivar" / WORKBOOK).exists()


def _fail_global(name):
    def arrange(gui, mp, queues, events):
        error = RuntimeError(f"{name} cannot be made")
        mp.setattr(gui, name, raiser(error))
        return Session(gui, mp), error

    return arrange


def _fail_toolkit(name):
    def arrange(gui, mp, queues, events):
        error = RuntimeError(f"{name} cannot be made")
        s = Session(gui, mp)
        mp.setattr(s.module.customtkinter, name, raiser(error), raising=False)
        return s, error

    return arrange


def _fail_fourth_button(gui, mp, queues, events):
    error = RuntimeError("the fourth button cannot be made")

    class Bar(gui.Set_Button):
        made = 0

        def add_button(self, *args, **kwargs):
            Bar.made += 1
            if Bar.made == 4:
                raise error
            return super().add_button(*args, **kwargs)

    mp.setattr(gui, "Set_Button", Bar)
    return Session(gui, mp), error


def _fail_window_method(method):
    def arrange(gui, mp, queues, events):
        error = RuntimeError(f"the window refused {method}")
        s = Session(gui, mp)
        driven = s.module.customtkinter.CTk

        class Refusing(driven):
            def after(self, ms, func=None, *args):
                if method == "after" and func is not None and func is s.commands.get("aa"):
                    raise error
                return super().after(ms, func, *args)

            def mainloop(self, *args, **kwargs):
                if method == "mainloop":
                    raise error
                return super().mainloop(*args, **kwargs)

        mp.setattr(s.module.customtkinter, "CTk", Refusing, raising=False)
        return s, error

    return arrange


def _refuse_signal(key, kind):
    def arrange(gui, mp, queues, events):
        mapping = queues if kind == "queue" else events
        log = mapping[key].log
        mapping[key] = Recorder(f"{kind}:{key}", log, fail=("put", "set"))
        return Session(gui, mp), RuntimeError(f"{kind}:{key}.{'put' if kind == 'queue' else 'set'} refused")

    return arrange


def _no_end_event(gui, mp, queues, events):
    del events[protocol.END]
    return Session(gui, mp), KeyError(protocol.END)


WINDOW_STEP_FAILURES = {
    "report-parameters": (_fail_global("Parameters"), []),
    "button-bar": (_fail_global("Set_Button"), []),
    "entry-table": (_fail_global("Set_Table"), []),
    "command-wrapper": (_fail_global("try_except_log"), []),
    "main-window": (_fail_toolkit("CTk"), []),
    "message-box": (_fail_toolkit("CTkTextbox"), []),
    "a-button": (_fail_fourth_button, []),
    "option-menu": (_fail_toolkit("CTkOptionMenu"), []),
    "first-tick": (_fail_window_method("after"), []),
    "event-loop": (_fail_window_method("mainloop"), []),
    "end-queue": (_refuse_signal(protocol.END, "queue"), END_SIGNALS[:1]),
    "request-queue-end-marker": (_refuse_signal(protocol.REQUESTS, "queue"), END_SIGNALS),
    "no-end-event": (_no_end_event, END_SIGNALS[:1]),
}


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize("arrange, sent", list(WINDOW_STEP_FAILURES.values()), ids=list(WINDOW_STEP_FAILURES))
def test_a_failing_step_of_the_window_reaches_the_host_and_the_next_window_works(
    gui_module, home, capsys, arrange, sent
):
    queues, events, log = host_objects()
    with pytest.MonkeyPatch.context() as mp:
        s, error = arrange(gui_module, mp, queues, events)
        with pytest.raises(type(error)) as raised:
            s.run(queues, events, idle)
        made = s.app
    assert type(raised.value) is type(error) and raised.value.args == error.args
    assert signals(log) == sent
    if made is not None:
        with pytest.raises(tkinter.TclError):
            made.winfo_exists()  # the window does not outlive the call
    assert capsys.readouterr().out == ""

    # The module is left as it was: the next call builds and runs a whole window.
    queues, events, log = host_objects()
    with pytest.MonkeyPatch.context() as mp:
        again = Session(gui_module, mp)

        def script(s):
            yield from idle(s)
            s.commands["button_event_001"]()
            queues[protocol.RECEIPTS].put(MARKER)
            yield Ticks(2)

        again.run(queues, events, script)
    assert signals(log)[-3:] == END_SIGNALS
    assert len([item for item in queues[protocol.REQUESTS].items if item is not None]) == 1
    assert events[protocol.BUSY]._set is False  # the marker was shown and the run ended
