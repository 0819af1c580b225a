"""Robustness: every failure the six areas promise to survive, hostile host
objects, a soak, and the user's own files.

Each failure-handling row of the six areas, and the test that provokes it.
Rows already provoked by another file are referenced, not repeated.

Start-up (loading the module)

| Row | Covered by |
|---|---|
| a missing toolkit is handled by its guard: at most one install command, one message, one wait per toolkit | test_startup.py::test_missing_tkinter_that_cannot_be_installed_asks_once_then_guards_customtkinter, test_startup.py::test_missing_toolkit_installed_by_its_command_loads_silently, test_robustness.py::test_an_install_command_that_cannot_run_gives_the_message_and_the_wait_once |
| an error while printing the message or reading the line is not caught: the load fails | test_startup.py::test_standard_input_at_end_of_file_fails_the_load, test_robustness.py::test_a_message_that_cannot_be_printed_fails_the_load |
| a toolkit still missing after its guard does not stop start-up; its first later use fails with a name error | test_startup.py::test_missing_tkinter_that_cannot_be_installed_asks_once_then_guards_customtkinter (start-up goes on), test_robustness.py::test_a_toolkit_missing_after_its_guard_fails_the_window_with_a_name_error |
| any other failing step (platform module, imaging library, common package, a missing member, a raising model) ends the load with that error and shows nothing | test_startup.py::test_failed_start_up_leaves_no_module_and_a_later_load_runs_again, test_robustness.py::test_a_failing_start_up_step_ends_the_load_with_its_error_and_shows_nothing |

Main window

| Row | Covered by |
|---|---|
| step 1, each folder: any failure ignored, nothing printed | test_robustness.py::test_folder_and_workbook_failures_at_window_start |
| step 2, starter workbook: an ordinary error prints "檢索專利公開號.xlsx --> " + its text, the copy stays missing, the window opens | test_window.py::test_each_missing_resource_prints_its_line_and_the_window_still_opens[檢索專利公開號.xlsx-True-True], test_robustness.py::test_folder_and_workbook_failures_at_window_start |
| step 5, icon: an ordinary error prints its text, default icon | test_window.py::test_each_missing_resource_prints_its_line_and_the_window_still_opens[logo.ico-True-True] |
| step 8, logo band: an ordinary error prints its text, the rest of the band is left out | test_window.py::test_each_missing_resource_prints_its_line_and_the_window_still_opens[logo.png-False-False], [logo(僅文字).png-True-False] |
| any other step: the error reaches the host at once; later steps, the end signals included, do not run | test_window.py::test_a_failing_end_signal_reaches_the_host_and_stops_the_rest, test_robustness.py::test_a_failing_step_of_the_window_reaches_the_host_and_the_next_window_works |
| errors inside commands and ticks never end the event loop | test_robustness.py::test_hostile_host_objects_behave_as_the_reference_window_says, test_robustness.py::test_any_host_arguments_keep_the_timer_and_end_as_the_reference_says |

Output command

| Row | Covered by |
|---|---|
| steps 1-2 (event, table entry or parameter missing, a call failing): to the logger, no request, text box untouched | test_report.py::test_a_failure_before_the_request_is_built_goes_to_the_logger_and_sends_nothing, test_robustness.py::test_hostile_host_objects_behave_as_the_reference_window_says |
| step 3 (send, clear or header fails): the red line and the error text, completes normally | test_report.py::test_a_failure_while_sending_or_preparing_the_box_adds_a_red_line_and_the_error |
| step 4 itself fails: to the logger, step 5 skipped | test_robustness.py::test_a_failing_error_report_goes_to_the_logger_and_skips_the_tag |
| step 5 (tag configuration): silently ignored | test_robustness.py::test_a_failing_tag_configuration_is_ignored |

Progress monitor

| Row | Covered by |
|---|---|
| label step: a missing event key, a button the bar does not know, a failing cget, configure or is_set: silent, label unchanged | test_report.py::test_a_failing_step_of_a_tick_is_silent_and_the_ticks_go_on[is_set-raises], [cget-raises], test_robustness.py::test_a_failing_label_step_leaves_the_label_and_the_messages_go_on |
| message step: a missing queue key, a failing empty, get or insert: silent; a message already taken is lost | test_report.py::test_a_failing_step_of_a_tick_is_silent_and_the_ticks_go_on[empty-raises], test_report.py::test_a_message_without_text_is_lost_and_the_next_one_shows_on_the_next_tick, test_robustness.py::test_a_failing_message_step_loses_at_most_the_message_taken |
| the completion text cannot be written: the event stays set, the animation goes on | test_report.py::test_when_the_completion_cannot_be_written_the_run_goes_on |
| the re-arm fails: to the logger, polling stops | test_report.py::test_a_failing_rearm_stops_the_polling_and_is_logged, test_robustness.py::test_hostile_host_objects_behave_as_the_reference_window_says |

Toolbar commands

| Row | Covered by |
|---|---|
| copyright notice: folder errors silent, copy and open errors on standard output only, never raises | test_toolbar.py::test_copyright_without_a_notice_to_open_prints_exactly_two_lines, test_robustness.py::test_copyright_notice_failures_are_printed_and_never_raise |
| file pickers: a cancelled dialog changes nothing; errors of the dialog or of the table's set go to the logger | test_toolbar.py::test_file_picker_fills_only_its_own_entry_and_cancel_keeps_the_text, test_toolbar.py::test_an_error_of_a_toolbar_command_reaches_the_logger_and_the_window_goes_on[file-dialog], test_robustness.py::test_a_path_the_table_refuses_goes_to_the_logger |
| working folder: a file manager that cannot start goes to the logger | test_toolbar.py::test_an_error_of_a_toolbar_command_reaches_the_logger_and_the_window_goes_on[file-manager] |
| web page: the first error leads to the http retry, an error of the retry goes to the logger | test_toolbar.py::test_web_page_over_https_and_over_http_only_after_an_https_error, test_toolbar.py::test_an_error_of_a_toolbar_command_reaches_the_logger_and_the_window_goes_on[http-retry] |
| clear: an error of delete_all goes to the logger | test_toolbar.py::test_an_error_of_a_toolbar_command_reaches_the_logger_and_the_window_goes_on[clear] |

Settings dialog

| Row | Covered by |
|---|---|
| unreadable ratio text: the integer 1, no message | test_settings.py::test_confirmed_ratio_is_stored_and_hinted_by_the_next_dialog |
| an error while building the dialog goes to the logger; widgets made before it stay | test_robustness.py::test_a_failure_while_building_the_dialog_is_logged_and_earlier_widgets_stay |
| errors storing the fonts escape the confirm command to the toolkit; the ratio stays written | test_robustness.py::test_a_font_that_cannot_be_stored_reaches_the_toolkit_and_the_ratio_stays |

Beyond the rows:

| What | Covered by |
|---|---|
| hostile host objects (wrong types, missing keys, methods that raise or answer oddly, messages of any type, a 5 MB message), many cases in one window, checked step by step against a reference transcription of the output command and the monitor tick | test_robustness.py::test_hostile_host_objects_behave_as_the_reference_window_says |
| hostile host arguments, one window per case, the end signals checked against the reference | test_robustness.py::test_any_host_arguments_keep_the_timer_and_end_as_the_reference_says |
| GUI called with the wrong arguments | test_robustness.py::test_gui_called_with_the_wrong_arguments_raises_a_type_error_and_opens_nothing |
| a text message of a subclass gets exactly one line break (a known fault: expected to fail until mended) | test_robustness.py::test_a_text_message_of_a_subclass_is_shown_with_exactly_one_line_break |
| 10,000 messages through a spawned worker's queue, all shown, in order | test_robustness.py::test_ten_thousand_messages_from_a_spawned_worker_are_all_shown_in_order |
| 30 windows on the same host objects, each sending its end signals | test_robustness.py::test_thirty_windows_on_the_same_host_objects_each_run_and_each_send_the_end_signals |

Every test here runs with an edited user copy of the starter workbook and an
existing local copy of the copyright notice in its home folder, and checks
afterwards that neither was touched (the fixture `users_files`).

Two limits of the toolkit, not of the window, shape the generated messages:
Tk's text widget cuts a text at a NUL character, and it needs minutes to lay
out one line of a megabyte; the generated texts hold no NUL and the 5 MB
message is made of lines.
"""
import collections
import errno
import json
import logging
import multiprocessing
import os
import subprocess
import sys
import textwrap
import tkinter
import types

import customtkinter
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import fakes
from conftest import (BUSY, DONE, ERROR_LINE, HEADER, IDLE, LOGGER, MARKER, OLD, ON_WINDOWS, Recorder, Session, Ticks,
                      host_objects, idle, moves_home)
from lumivar import protocol

REFUSED_TICK = "the timer refused the next tick"
WORKBOOK = "檢索專利公開號.xlsx"
NOTICE = "版權宣告.pdf"


# ---------------------------------------------------------------- helpers

def logged_errors(caplog):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno >= logging.ERROR]


def red_text(box):
    ranges = box.tag_ranges("red_tag")
    return [box.get(ranges[i], ranges[i + 1]) for i in range(0, len(ranges), 2)]


def os_error(code, path=None):
    return str(OSError(code, os.strerror(code), *([str(path)] if path is not None else [])))


def signals(log):
    return [entry for entry in log if entry[0] in ("queue:end", "event:end") or entry[:2] == (f"queue:{protocol.REQUESTS}", "put")]


END_SIGNALS = [("queue:end", "put", None), ("event:end", "set"), (f"queue:{protocol.REQUESTS}", "put", None)]


class Service:
    """A module double: the named attributes replaced, every other one the real module's."""

    def __init__(self, real, **replaced):
        self._real = real
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(self._real, name)


def refusing(calls, name, error):
    """A function that notes its call in `calls` and raises `error`."""

    def call(*args, **kwargs):
        calls.append((name,) + args)
        raise error

    return call


class Stepper:
    """Runs the progress monitor one tick at a time from a test script.

    It stands in front of the window's `after`: while it holds the timer, the
    monitor's re-arm is counted but not scheduled, so the script decides when
    each tick runs and nothing else takes a message in between. `tick()`
    returns how many times that tick re-armed the monitor (1 is the promise).
    `release()` lets the timer drive the monitor again.
    """

    def __init__(self, s):
        self.s = s
        self.rearms = 0
        self.periods = set()
        self.hold = True
        self.refuse = False
        real_after = s.app.after

        def after(ms, func=None, *args):
            if func is not None and func is s.commands.get("aa"):
                if self.refuse:
                    raise RuntimeError(REFUSED_TICK)
                self.rearms += 1
                self.periods.add(ms)
                if self.hold:
                    return "held"
            return real_after(ms, func, *args)

        s.app.after = after

    def start(self):
        """Script steps: waits until the tick scheduled by the window has run
        (its re-arm is held, so none follows) and the window is shown."""
        yield lambda: self.s.ticks >= 1
        yield from idle(self.s)

    def tick(self, refuse=False):
        before = self.rearms
        self.refuse = refuse
        try:
            self.s.commands["aa"]()
        finally:
            self.refuse = False
        return self.rearms - before

    def release(self, ticks=2):
        """Script steps: hands the monitor back to the timer and waits for
        `ticks` timer-driven ticks."""
        self.hold = False
        self.tick()
        yield Ticks(ticks)


class RecordingTextbox(customtkinter.CTkTextbox):
    """The real text box; `refuse` maps a method name to a function of its
    text argument that returns the error to raise, or None to carry on.
    Calls of tag_config are noted."""

    refuse = {}
    tag_calls = []

    def _check(self, method, text):
        answer = type(self).refuse.get(method, lambda text: None)(text)
        if answer:
            raise answer

    def insert(self, index, text, tags=None):
        self._check("insert", text)
        return super().insert(index, text, tags)

    def delete(self, index1, index2=None):
        self._check("delete", index1)
        return super().delete(index1, index2)

    def tag_config(self, tagName, **kwargs):
        type(self).tag_calls.append((tagName, kwargs))
        self._check("tag_config", tagName)
        return super().tag_config(tagName, **kwargs)


def recording_textbox(s, monkeypatch, refuse=None):
    """Puts RecordingTextbox in place of the toolkit's text box, for this window."""
    monkeypatch.setattr(RecordingTextbox, "refuse", dict(refuse or {}))
    monkeypatch.setattr(RecordingTextbox, "tag_calls", [])
    monkeypatch.setattr(s.module.customtkinter, "CTkTextbox", RecordingTextbox, raising=False)
    return RecordingTextbox


class HostPanic(BaseException):
    """Raised by a host object: not an ordinary error (not an Exception)."""


# ---------------------------------------------------------------- the user's data

USER_FILES = {
    ("tarnwick", "Lumivar", WORKBOOK): b"PK\x03\x04 the user's own publication numbers, edited",
    ("tarnwick", "temp", "Lumivar", NOTICE): b"%PDF-1.4 the notice, annotated by the user",
}


@pytest.fixture(autouse=True)
def users_files(home):
    """An edited user copy of the starter workbook and an existing local copy
    of the copyright notice in the test's home; afterwards both must be
    exactly as they were: same bytes, same file, same modification time."""
    made = {}
    for pieces, content in USER_FILES.items():
        path = home.joinpath(*pieces)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
        os.utime(path, ns=(1_600_000_000_000_000_000, 1_600_000_000_000_000_000))
        made[path] = (content, path.stat().st_ino, path.stat().st_mtime_ns)
    yield made
    for path, (content, inode, mtime) in made.items():
        now = path.stat()
        assert (path.read_bytes(), now.st_ino, now.st_mtime_ns) == (content, inode, mtime), f"{path} was touched"


# ---------------------------------------------------------------- start-up

# Runs in a fresh interpreter: prepares the case, loads GUI and writes what
# happened into the file named by argv[2]. Start-up's own output is what
# remains on standard output.
LOADER = textwrap.dedent(
    """
    import json, os, sys
    case, report = sys.argv[1], sys.argv[2]
    sys.path[:0] = sys.argv[3:]  # an embedded Windows Python ignores PYTHONPATH
    result = {}

    def note(**kw):
        result.update(kw)
        with open(report, "w", encoding="utf-8") as f:
            json.dump(result, f)

    if case in ("install-cannot-run", "print-fails"):
        import tkinter
        sys.modules["customtkinter"] = None          # missing, and no installer helps
        def system(command):
            result.setdefault("commands", []).append(command)
            raise OSError("no command shell")
        os.system = system
    if case == "print-fails":
        class Console:
            def write(self, text):
                raise OSError("the console is gone")
            def flush(self):
                pass
        sys.stdout = Console()
    if case in ("pil-missing", "webbrowser-missing", "subprocess-missing"):
        import customtkinter                         # the toolkits themselves load
        sys.modules[{"pil-missing": "PIL.Image", "webbrowser-missing": "webbrowser",
                     "subprocess-missing": "subprocess"}[case]] = None
    try:
        import GUI
    except BaseException as e:
        note(error=[type(e).__name__, str(e)], loaded="GUI" in sys.modules)
        raise SystemExit(0)
    note(loaded=True, no=vars(GUI).get("no", "<unbound>"), names=[n for n in vars(GUI) if not n.startswith("_")])
    if case == "install-cannot-run":
        try:
            GUI.GUI({}, {})
        except BaseException as e:
            note(gui=[type(e).__name__, str(e)])
    """
)

# Stand-ins for the common package, each failing one way; `REAL` is the real one.
BROKEN_COMMON_PACKAGE = {
    "widget-model-raises": """
def Customtkinter_Model():
    raise RuntimeError("the widget model cannot be made")
""",
    "member-missing": """
class Customtkinter_Model:
    Entry_Table = Set_Table = CTkCalendar = object
""",
    "error-model-raises": """
Customtkinter_Model = REAL.Customtkinter_Model
def Try_Except_Model():
    raise LookupError("no error logger here")
""",
    "wrapper-missing": """
Customtkinter_Model = REAL.Customtkinter_Model
class Try_Except_Model:
    pass
""",
}


def run_loader(tmp_path, case, stdin_text="", package=None):
    report = tmp_path / "report.json"
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    paths = []
    if package is not None:
        folder = tmp_path / "common"
        (folder / "tarnwick通用模組").mkdir(parents=True)
        # The stand-in loads the real package beside itself, under the same name.
        (folder / "tarnwick通用模組" / "__init__.py").write_text(textwrap.dedent(
            f"""
            import importlib, sys
            _self = sys.modules.pop(__name__)
            _path = list(sys.path)
            sys.path[:] = [p for p in _path if p != {str(folder)!r}]
            try:
                REAL = importlib.import_module(__name__)
            finally:
                sys.path[:] = _path
                sys.modules[__name__] = _self
            """) + package)
        paths.append(str(folder))
    result = subprocess.run([sys.executable, "-c", LOADER, case, str(report), *paths], input=stdin_text,
                            capture_output=True, text=True, encoding="utf-8", env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(report.read_text(encoding="utf-8")), result.stdout


@pytest.mark.parametrize("case, package, error", [
    pytest.param("pil-missing", None, ["ModuleNotFoundError", "import of PIL.Image halted; None in sys.modules"],
                 id="imaging-library-missing"),
    pytest.param("webbrowser-missing", None, ["ModuleNotFoundError", "import of webbrowser halted; None in sys.modules"],
                 id="platform-module-missing"),
    pytest.param("subprocess-missing", None, ["ModuleNotFoundError", "import of subprocess halted; None in sys.modules"],
                 id="process-module-missing"),
    pytest.param("common", "widget-model-raises", ["RuntimeError", "the widget model cannot be made"],
                 id="widget-model-raises"),
    pytest.param("common", "member-missing",
                 ["AttributeError", "'Customtkinter_Model' object has no attribute 'Set_Button'"], id="member-missing"),
    pytest.param("common", "error-model-raises", ["LookupError", "no error logger here"], id="error-model-raises"),
    pytest.param("common", "wrapper-missing",
                 ["AttributeError", "'Try_Except_Model' object has no attribute 'try_except_log'"], id="wrapper-missing"),
])
def test_a_failing_start_up_step_ends_the_load_with_its_error_and_shows_nothing(tmp_path, case, package, error):
    result, stdout = run_loader(tmp_path, case, package=BROKEN_COMMON_PACKAGE.get(package))
    assert result == {"error": error, "loaded": False}
    assert stdout == ""


def test_an_install_command_that_cannot_run_gives_the_message_and_the_wait_once(tmp_path):
    result, stdout = run_loader(tmp_path, "install-cannot-run", stdin_text="whatever\nnot read\n")
    assert stdout == "請安裝 py -m pip install customtkinter\n"
    assert result["commands"] == ["py -m pip install customtkinter"]
    assert result["no"] == "whatever"
    # start-up went on past the missing toolkit
    assert result["names"][-2:] == ["Parameters", "GUI"] and "customtkinter" not in result["names"]


def test_a_toolkit_missing_after_its_guard_fails_the_window_with_a_name_error(tmp_path, home):
    result, _ = run_loader(tmp_path, "install-cannot-run", stdin_text="\n")
    assert result["gui"] == ["NameError", "name 'customtkinter' is not defined"]
    # the working folder and the starter workbook come before the toolkit is first needed
    assert (home / "tarnwick" / "Lumivar" / WORKBOOK).is_file()


def test_a_message_that_cannot_be_printed_fails_the_load(tmp_path):
    result, _ = run_loader(tmp_path, "print-fails", stdin_text="never read\n")
    # the line is never waited for: the load ends at the message
    assert result == {"commands": ["py -m pip install customtkinter"],
                      "error": ["OSError", "the console is gone"], "loaded": False}


# ---------------------------------------------------------------- main window

def output_button(s):
    """The output button, found by its command rather than by its label."""
    (button,) = [b for b in s.widgets(customtkinter.CTkButton)
                 if getattr(getattr(b.cget("command"), "__wrapped__", None), "__name__", "") == "button_event_001"]
    return button


def copyright_button(s):
    (button,) = [b for b in s.widgets(customtkinter.CTkButton)
                 if getattr(b.cget("command"), "__name__", "") == "button_event_003_B"]
    return button


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
    mp.setattr(gui, "shutil", Service(gui.shutil, copy2=refusing(calls, "copy2", OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)))))
    return [f"{WORKBOOK} --> " + os_error(errno.ENOSPC)], "copy2"


def _existence_test_fails(gui, mp, tmp_path, home, calls):
    copy = home / "tarnwick" / "Lumivar" / WORKBOOK
    path = Service(os.path, lexists=refusing(calls, "lexists", PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(copy))))
    mp.setattr(gui, "os", Service(os, path=path))
    mp.setattr(gui, "shutil", Service(gui.shutil, copy2=refusing(calls, "copy2", AssertionError("no copy may be made"))))
    return [f"{WORKBOOK} --> " + os_error(errno.EACCES, copy)], "lexists"


@pytest.mark.parametrize("arrange", [
    pytest.param(_home_below_a_file, marks=moves_home, id="home-below-a-file"),
    pytest.param(_home_missing, marks=moves_home, id="home-missing"),
    pytest.param(_mkdir_denied, id="mkdir-denied"),
    pytest.param(_mkdir_raises_anything, id="mkdir-raises-anything"),
    pytest.param(_copy_fails, marks=moves_home, id="copy-fails"),
    pytest.param(_existence_test_fails, id="existence-test-fails"),
])
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


def _raiser(error):
    def call(*args, **kwargs):
        raise error
    return call


def _fail_global(name):
    def arrange(gui, mp, queues, events):
        error = RuntimeError(f"{name} cannot be made")
        mp.setattr(gui, name, _raiser(error))
        return Session(gui, mp), error
    return arrange


def _fail_toolkit(name):
    def arrange(gui, mp, queues, events):
        error = RuntimeError(f"{name} cannot be made")
        s = Session(gui, mp)
        mp.setattr(s.module.customtkinter, name, _raiser(error), raising=False)
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


@pytest.mark.parametrize("arrange, sent", list(WINDOW_STEP_FAILURES.values()), ids=list(WINDOW_STEP_FAILURES))
def test_a_failing_step_of_the_window_reaches_the_host_and_the_next_window_works(gui_module, home, capsys, arrange, sent):
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


# ---------------------------------------------------------------- output command

class Unsayable(Exception):
    """An error whose text cannot be made."""

    def __str__(self):
        raise ValueError("this error has no text")


@pytest.mark.parametrize("put_error, refuse, logged", [
    pytest.param(Unsayable(), {}, (ValueError, "this error has no text"), id="error-text-cannot-be-made"),
    pytest.param(RuntimeError("the queue refused"), {"insert": lambda t: t == ERROR_LINE and RuntimeError("no red line")},
                 (RuntimeError, "no red line"), id="red-line-refused"),
])
def test_a_failing_error_report_goes_to_the_logger_and_skips_the_tag(gui_module, monkeypatch, home, caplog,
                                                                       put_error, refuse, logged):
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
    assert seen == {"result": None, "text": expected_text, "red": [ERROR_LINE] if refuse == {} else [],
                    "tags": [], "rearms": [1, 1], "label": IDLE}
    (record,) = logged_errors(caplog)
    assert (type(record.exc_info[1]), str(record.exc_info[1])) == logged
    assert [e for e in log if e[0] == f"event:{protocol.BUSY}" and e[1] in ("set", "clear")] == [
        (f"event:{protocol.BUSY}", "set"), (f"event:{protocol.BUSY}", "clear")]


@pytest.mark.parametrize("error", [RuntimeError("no tags today"), HostPanic("not even an ordinary error")],
                         ids=["ordinary-error", "any-class"])
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
    expected = HEADER if send == "sent" else OLD + ERROR_LINE + "queue:起始數據.put refused\n"
    assert seen == {"result": None, "text": expected, "tags": [("red_tag", {"foreground": "red"})]}
    assert logged_errors(caplog) == []
    assert len([item for item in queues[protocol.REQUESTS].items if item is not None]) == (1 if send == "sent" else 0)


# ---------------------------------------------------------------- progress monitor

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
    assert seen == {"labels": [label] * 4, "texts": ["一\n", "一\n二\n", "一\n二\n" + DONE, "一\n二\n" + DONE],
                    "rearms": [1, 1, 1, 1]}
    assert logged_errors(caplog) == []


MESSAGE_STEP_FAILURES = {
    # (refusals of the message queue's get, texts the box refuses, text after each tick)
    "no-message-queue": (None, None, [HEADER] * 4),
    "get-refuses-and-keeps-the-message": (
        [None, "raise", None, None, None], None,
        [HEADER + "一\n", HEADER + "一\n", HEADER + "一\n二\n", HEADER + "一\n二\n三\n", HEADER + "一\n二\n三\n" + DONE]),
    "get-takes-the-message-and-fails": (
        [None, "take", None, None], None,
        [HEADER + "一\n", HEADER + "一\n", HEADER + "一\n三\n", HEADER + "一\n三\n" + DONE]),
    "box-refuses-a-message": (
        None, "二\n",
        [HEADER + "一\n", HEADER + "一\n", HEADER + "一\n三\n", HEADER + "一\n三\n" + DONE]),
}


@pytest.mark.parametrize("refusals, refused_text, texts", list(MESSAGE_STEP_FAILURES.values()), ids=list(MESSAGE_STEP_FAILURES))
def test_a_failing_message_step_loses_at_most_the_message_taken(gui_module, monkeypatch, home, caplog,
                                                                 refusals, refused_text, texts):
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


# ---------------------------------------------------------------- toolbar commands

class Processes:
    """The subprocess module with a recording Popen, which may refuse; on
    Windows its startfile stands in for os.startfile."""

    def __init__(self, error=None):
        self.started = []
        self.files = []  # opened with their program: by the opener here, os.startfile on Windows
        self.error = error

    def Popen(self, *args, **kwargs):
        self.started.append(args)
        if isinstance(args[0], list) and args[0][:1] == ["xdg-open"]:
            self.files.append(args[0][1])
        if self.error is not None:
            raise self.error
        return types.SimpleNamespace(args=args)

    def startfile(self, path):
        self.files.append(path)
        if self.error is not None:
            raise self.error

    def __getattr__(self, name):
        return getattr(subprocess, name)


def _fresh_home(tmp_path, monkeypatch):
    fresh = tmp_path / "fresh"
    (fresh / "tarnwick").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(fresh))
    return fresh / "tarnwick" / "temp" / "Lumivar" / NOTICE


def _folders_refused(gui, mp, tmp_path, home, calls, processes):
    mp.setattr(gui, "os", Service(os, mkdir=refusing(calls, "mkdir", RuntimeError("no folders today"))))
    local = home / "tarnwick" / "temp" / "Lumivar" / NOTICE
    return [], [local], ["mkdir", "mkdir"]


def _copy_refused(gui, mp, tmp_path, home, calls, processes):
    local = _fresh_home(tmp_path, mp)
    mp.setattr(gui, "shutil", Service(gui.shutil, copy2=refusing(calls, "copy2", OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)))))
    return ["版權宣告 --> " + os_error(errno.ENOSPC), "無法打開檔案: " + os_error(errno.ENOENT, local)], [], ["copy2"]


def _opener_refused(gui, mp, tmp_path, home, calls, processes):
    processes.error = PermissionError(errno.EACCES, os.strerror(errno.EACCES), "xdg-open")
    local = home / "tarnwick" / "temp" / "Lumivar" / NOTICE
    return ["無法打開檔案: " + os_error(errno.EACCES, "xdg-open")], [local], []


def _temp_is_a_file(gui, mp, tmp_path, home, calls, processes):
    local = _fresh_home(tmp_path, mp)
    local.parent.parent.write_text("a file where the temporary folder belongs")
    return ["版權宣告 --> " + os_error(errno.ENOTDIR, local), "無法打開檔案: " + os_error(errno.ENOENT, local)], [], []


def _existence_test_refused(gui, mp, tmp_path, home, calls, processes):
    local = home / "tarnwick" / "temp" / "Lumivar" / NOTICE
    error = PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(local))
    mp.setattr(gui, "os", Service(os, path=Service(os.path, lexists=refusing(calls, "lexists", error))))
    mp.setattr(gui, "shutil", Service(gui.shutil, copy2=refusing(calls, "copy2", AssertionError("no copy may be made"))))
    return ["版權宣告 --> " + os_error(errno.EACCES, local)], [local], ["lexists"]


@pytest.mark.parametrize("arrange", [
    pytest.param(_folders_refused, id="folders-refused"),
    pytest.param(_copy_refused, marks=moves_home, id="copy-refused"),
    pytest.param(_opener_refused, id="opener-refused"),
    pytest.param(_temp_is_a_file, marks=moves_home, id="temp-is-a-file"),
    pytest.param(_existence_test_refused, id="existence-test-refused"),
])
def test_copyright_notice_failures_are_printed_and_never_raise(gui_module, monkeypatch, tmp_path, home, capsys, caplog, arrange):
    processes = Processes()
    monkeypatch.setattr(gui_module, "subprocess", processes)
    if ON_WINDOWS:
        monkeypatch.setattr(os, "startfile", processes.startfile)
    s = Session(gui_module, monkeypatch)
    calls = []
    seen = {}

    def script(s):
        yield from idle(s)
        capsys.readouterr()
        # the failure is arranged once the window runs: only the command meets it
        seen["expected"] = arrange(gui_module, monkeypatch, tmp_path, home, calls, processes)
        seen["result"] = copyright_button(s).invoke()
        seen["lines"] = capsys.readouterr().out.splitlines()
        seen["dialogs"] = s.widgets(customtkinter.CTkToplevel)
        yield Ticks(1)

    s.run(*host_objects()[:2], script)
    lines, opened, provoked = seen["expected"]
    assert (seen["result"], seen["lines"], seen["dialogs"]) == (None, lines, [])
    assert processes.files == [str(path) for path in opened]
    if not ON_WINDOWS:
        assert processes.started == [(["xdg-open", str(path)],) for path in opened]
    assert [c[0] for c in calls] == provoked
    assert logged_errors(caplog) == []


@pytest.mark.parametrize("command, entry", [("button_event_006", protocol.TEMPLATE_PATH), ("button_event_007", protocol.PATENT_PATH)])
def test_a_path_the_table_refuses_goes_to_the_logger(gui_module, monkeypatch, home, caplog, command, entry):
    error = RuntimeError("the table refused the path")

    class Table(gui_module.Set_Table):
        refusing = False

        def set(self, name, text):
            if Table.refusing:
                raise error
            return super().set(name, text)

    monkeypatch.setattr(gui_module, "Set_Table", Table)
    chosen = []
    dialog = types.SimpleNamespace(askopenfilename=lambda **options: chosen.append(options) or "/選了/這個.xlsx")
    monkeypatch.setattr(gui_module, "tkinter", Service(tkinter, filedialog=dialog))
    s = Session(gui_module, monkeypatch)
    seen = {}

    def script(s):
        yield from idle(s)
        s.set_table.set(entry, "舊的.xlsx")
        Table.refusing = True
        seen["result"] = s.commands[command]()
        Table.refusing = False
        seen["kept"] = s.set_table.get(entry)
        yield Ticks(1)  # the window goes on

    s.run(*host_objects()[:2], script)
    assert seen == {"result": None, "kept": "舊的.xlsx"}
    assert chosen == [{"title": "選擇檔案"}]
    (record,) = logged_errors(caplog)
    assert record.exc_info[1] is error


# ---------------------------------------------------------------- settings dialog

def _without_english_font(s, mp, pp):
    del pp.parameters[protocol.LATIN_FONT]
    return KeyError(protocol.LATIN_FONT), ["CTkLabel:英文字體設定", "CTkOptionMenu"]


def _ratio_that_cannot_be_scaled(s, mp, pp):
    pp.parameters[protocol.SIZE_RATIO] = None
    return (TypeError("unsupported operand type(s) for *: 'NoneType' and 'int'"),
            ["CTkLabel:英文字體設定", "CTkOptionMenu", "CTkLabel:中文字體設定", "CTkOptionMenu", "CTkLabel:文字大小比例"])


def _entry_that_cannot_be_made(s, mp, pp):
    error = RuntimeError("no entry today")
    mp.setattr(s.module.customtkinter, "CTkEntry", _raiser(error), raising=False)
    return error, ["CTkLabel:英文字體設定", "CTkOptionMenu", "CTkLabel:中文字體設定", "CTkOptionMenu", "CTkLabel:文字大小比例"]


def describe_widgets(top):
    return [type(w).__name__ + (":" + w.cget("text") if isinstance(w, customtkinter.CTkLabel) else "")
            for w in top.winfo_children()]


@pytest.mark.parametrize("arrange", [_without_english_font, _ratio_that_cannot_be_scaled, _entry_that_cannot_be_made],
                         ids=["english-font-missing", "ratio-cannot-be-scaled", "entry-cannot-be-made"])
def test_a_failure_while_building_the_dialog_is_logged_and_earlier_widgets_stay(
        gui_module, monkeypatch, home, caplog, parameters_made, arrange):
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
    assert (seen["result"], seen["dialogs"]) == (None, [("設定", widgets)])
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


@pytest.mark.parametrize("refused, unreadable_menu, stored_chinese", [
    pytest.param(protocol.CJK_FONT, False, "標楷體", id="chinese-font-refused"),
    pytest.param(protocol.LATIN_FONT, False, "新細明體", id="english-font-refused"),
    pytest.param(None, True, "標楷體", id="chinese-menu-unreadable"),
])
def test_a_font_that_cannot_be_stored_reaches_the_toolkit_and_the_ratio_stays(
        gui_module, monkeypatch, home, caplog, parameters_made, refused, unreadable_menu, stored_chinese):
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
            chinese.get = _raiser(RuntimeError("the menu cannot be read"))
        s.app.after_idle(confirm.invoke)  # the toolkit runs the command, as on a click
        yield lambda: reported
        seen["parameters"] = {k: pp.parameters[k] for k in (protocol.SIZE_RATIO, protocol.CJK_FONT, protocol.LATIN_FONT)}
        seen["open"] = top.winfo_exists()

    s.run(*host_objects()[:2], script)
    (error,) = reported
    expected = "the menu cannot be read" if unreadable_menu else f"{refused} cannot be stored"
    assert (type(error), str(error)) == (RuntimeError, expected)
    assert seen == {"parameters": {protocol.SIZE_RATIO: 1.5, protocol.CJK_FONT: stored_chinese, protocol.LATIN_FONT: "Calibri"}, "open": 1}
    assert logged_errors(caplog) == []


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
    "True": lambda: True, "False": lambda: False, "0": lambda: 0, "1": lambda: 1, "None": lambda: None,
    "empty text": lambda: "", "text": lambda: "yes", "list": lambda: [], "busy label": lambda: BUSY[0],
    "EqRaises": EqRaises, "BoolRaises": BoolRaises,
}

ERRORS = {
    "ValueError": ValueError, "RuntimeError": RuntimeError, "KeyError": KeyError, "OSError": OSError,
    "ZeroDivisionError": ZeroDivisionError, "Unsayable": Unsayable,
    "HostPanic": HostPanic, "SystemExit": SystemExit,
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
    "text": lambda arg: arg, "plain text subclass": PlainText, "int": lambda arg: arg, "float": lambda arg: arg,
    "bytes": lambda arg: arg, "None": lambda arg: None, "tuple": tuple, "marker": lambda arg: MARKER,
    "look-alike": lambda arg: arg, "unprintable": Unprintable, "uncomparable": Uncomparable,
    "BoolRaises": lambda arg: BoolRaises(), "like the marker": lambda arg: LikeTheMarker(),
    "textless": lambda arg: TextlessText(), "5 MB": lambda arg: BIG,
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


NOT_MAPPINGS = {"int": lambda: 3, "list": lambda: [protocol.RECEIPTS, protocol.END], "text": lambda: "X", "None": lambda: None,
                "tuple": lambda: ("end",), "set": lambda: {"end"}, "bytes": lambda: b"end"}

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
    attrs = st.one_of(st.just({}), st.dictionaries(
        st.sampled_from(sorted(NORMAL)), st.one_of(st.just("absent"), st.tuples(st.just("value"), ODD)), max_size=1))
    return st.tuples(plan, attrs)


def mapping_recipes(keys, fixed=False):
    entry = st.one_of(
        st.tuples(st.just("double"), double_recipes(fixed)),
        st.tuples(st.just("double"), st.just(({}, {}))),  # a well-behaved one
        st.tuples(st.just("value"), ODD),
        st.none(),                                         # the key is missing
    )
    dict_form = st.fixed_dictionaries({key: entry for key in keys}).map(
        lambda d: ("dict", {key: value for key, value in d.items() if value is not None}))
    return st.one_of(
        dict_form, dict_form, dict_form,
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

PARAMETER_VALUE = st.one_of(st.tuples(st.just("plain"), st.one_of(SAFE_TEXT, st.integers(), st.floats())),
                            st.tuples(st.just("odd"), ODD))
PARAMETERS = st.one_of(
    st.none(),
    st.fixed_dictionaries({}, optional={key: PARAMETER_VALUE for key in (protocol.SIZE_RATIO, protocol.CJK_FONT, protocol.LATIN_FONT)}),
    st.just({protocol.SIZE_RATIO: ("plain", 1), protocol.CJK_FONT: ("plain", "標楷體"), protocol.LATIN_FONT: ("plain", "Calibri")}),
)

STEPS = st.lists(st.one_of(
    st.just(("press",)), st.just(("tick",)), st.just(("tick",)), st.just(("tick",)),
    st.just(("tick, re-arm refused",)), st.tuples(st.just("message"), MESSAGES),
), min_size=1, max_size=12)

HOST_CASES = st.tuples(mapping_recipes(QUEUE_KEYS), mapping_recipes(EVENT_KEYS), st.tuples(ENTRY_TEXT, ENTRY_TEXT),
                       PARAMETERS, st.lists(MESSAGES, max_size=5), STEPS)

# A well-behaved host whose worker sends one message of every kind, the 5 MB one among them.
EVERY_KIND_OF_MESSAGE = (
    ("dict", {key: ("double", ({}, {})) for key in QUEUE_KEYS}),
    ("dict", {key: ("double", ({}, {})) for key in EVENT_KEYS}),
    ("C:/範本.xlsx", "專利.xlsx"),
    {protocol.SIZE_RATIO: ("plain", 1), protocol.CJK_FONT: ("plain", "標楷體"), protocol.LATIN_FONT: ("plain", "Calibri")},
    [("text", "第一筆"), ("5 MB", None), ("int", 3), ("unprintable", ("ValueError", "")), ("float", float("nan")),
     ("bytes", b"\x00\xff"), ("uncomparable", ("HostPanic", "")), ("textless", None), ("look-alike", MARKER + "\n"),
     ("plain text subclass", "子類"), ("None", None), ("tuple", [1, 2])],
    [("press",)] + [("tick",)] * 12 + [("message", ("like the marker", None)), ("tick",), ("tick",),
                                       ("message", ("marker", None)), ("tick",), ("tick, re-arm refused",), ("tick",)],
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
            real = run_real(lambda: stepper.tick(refuse), error_log)
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


def test_hostile_host_objects_behave_as_the_reference_window_says(gui_module, monkeypatch, home, parameters_made, error_log):
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


HOST_ARGUMENTS = st.tuples(mapping_recipes(QUEUE_KEYS, fixed=True), mapping_recipes(EVENT_KEYS, fixed=True),
                           st.lists(MESSAGES, max_size=3))

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
    assert real_log[seen["mark"]:] == ref_log[mark:]
    assert [(type(e), e.args) for _, e in outcome] == [(type(e), e.args) for _, e in expected]


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (({},), {}), (({}, {}, {}), {}), (({},), {"Event_All_variable": {}, "extra": 1}),
    ((), {"queues": {}, "events": {}}),
], ids=["none", "one", "three", "unknown-keyword", "wrong-names"])
def test_gui_called_with_the_wrong_arguments_raises_a_type_error_and_opens_nothing(session, args, kwargs):
    with pytest.raises(TypeError):
        session.module.GUI(*args, **kwargs)
    assert session.app is None and session.set_button is None


# ---------------------------------------------------------------- soak

def test_ten_thousand_messages_from_a_spawned_worker_are_all_shown_in_order(gui_module, monkeypatch, home):
    context = multiprocessing.get_context("spawn")
    queues = {key: context.Queue() for key in QUEUE_KEYS}
    events = {key: context.Event() for key in EVENT_KEYS}
    recorded, ready = context.Queue(), context.Event()
    messages = [f"第 {i} 筆 TW{i:07d} B" for i in range(10_000)] + [MARKER]
    worker = context.Process(target=fakes.report_worker,
                             args=(dict(queues, recorded=recorded), events, messages, ready, 300))
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
