"""Shared fixtures and fakes for the test suite.

Every test process gets its own HOME before customtkinter is imported: the
toolkit copies its fonts into ~/.fonts on import, and off Windows the product
maps its working folders below the home folder.

The suite also runs on Windows (scripts/test --windows: a Windows CPython
under wine). There the product's paths are the real C:/tarnwick/..., so
the tests that use them run only in wine's throwaway prefix.
"""
import importlib.machinery
import importlib.util
import os
import shutil
import sys
import tempfile
from pathlib import Path

SUITE_HOME = os.environ["HOME"] = tempfile.mkdtemp(prefix="lumivar-test-home-")

import pytest  # noqa: E402

from window_driver import Recorder, ToolkitProxy, command_name, host_objects  # noqa: E402,F401
from lumivar import protocol

ON_WINDOWS = sys.platform == "win32"


def _under_wine():
    if not ON_WINDOWS:
        return False
    import ctypes

    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


UNDER_WINE = _under_wine()
not_on_windows = pytest.mark.skipif(ON_WINDOWS, reason="checks the mapping of the Windows paths on other platforms")
only_on_windows = pytest.mark.skipif(not ON_WINDOWS, reason="needs Windows (scripts/test --windows)")
moves_home = pytest.mark.skipif(ON_WINDOWS, reason="moves the home folder, which stands for drive C: only off Windows")


def pytest_configure(config):
    if not ON_WINDOWS and not os.environ.get("DISPLAY"):
        raise pytest.UsageError("the tests open real windows: set DISPLAY (scripts/test starts Xvfb)")
    if UNDER_WINE:
        _retry_tcl_start()


def _retry_tcl_start():
    """Under wine, now and then one read of Tcl's init.tcl fails with no error
    code (about once in 300 new roots; Windows itself does not do this), and
    the root is not made. Such a start is tried again."""
    import tkinter

    create = tkinter.Tk.__init__

    def init(self, *args, **kwargs):
        for attempt in range(3):
            try:
                return create(self, *args, **kwargs)
            except tkinter.TclError as error:
                if "init.tcl" not in str(error) or attempt == 2:
                    raise

    tkinter.Tk.__init__ = init


def pytest_unconfigure(config):
    shutil.rmtree(SUITE_HOME, ignore_errors=True)


def _clear(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


@pytest.fixture
def home(tmp_path, monkeypatch):
    """The folder that stands for drive C: in the product's paths, with no
    tarnwick folder in it: a fresh home folder, or on Windows drive C: itself."""
    if not ON_WINDOWS:
        folder = tmp_path / "home"
        folder.mkdir()
        monkeypatch.setenv("HOME", str(folder))
        yield folder
        return
    if not UNDER_WINE:
        pytest.skip("replaces C:\\tarnwick: runs only in a throwaway wine prefix (scripts/test --windows)")
    drive = Path("C:/")
    _clear(drive / "tarnwick")
    yield drive
    _clear(drive / "tarnwick")


@pytest.fixture
def ctk_root():
    """A real customtkinter root window, destroyed after the test."""
    import customtkinter

    root = customtkinter.CTk()
    root.geometry("600x400")
    yield root
    try:
        root.destroy()
    except Exception:
        pass
    # customtkinter keeps every root in its trackers; let this one go.
    if root in customtkinter.AppearanceModeTracker.app_list:
        customtkinter.AppearanceModeTracker.app_list.remove(root)
    customtkinter.ScalingTracker.window_dpi_scaling_dict.pop(root, None)


def pump(root, ms=0):
    """Runs the Tk event loop for about `ms` milliseconds of Tk time."""
    done = []
    root.after(ms, lambda: done.append(True))
    while not done:
        root.update()


def click(widget):
    """A real mouse click on the middle of `widget`, through the system's input:
    the X server here (xdotool), Windows' own input queue there (SendInput)."""
    widget.update_idletasks()
    x = widget.winfo_rootx() + widget.winfo_width() // 2
    y = widget.winfo_rooty() + widget.winfo_height() // 2
    if ON_WINDOWS:
        import ctypes

        user32 = ctypes.windll.user32
        user32.SetCursorPos(x, y)
        down, up = 0x0002, 0x0004  # MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP
        user32.mouse_event(down, 0, 0, 0, 0)
        user32.mouse_event(up, 0, 0, 0, 0)
        return
    import subprocess

    outside = widget.winfo_screenwidth() - 1, widget.winfo_screenheight() - 1
    subprocess.run(["xdotool", "mousemove", "--sync", *map(str, outside),
                    "mousemove", "--sync", str(x), str(y), "click", "1"], check=True, timeout=20)


# The window's own texts, as the tests compare them.
MARKER = protocol.DONE
DONE = "\n完成"
HEADER = "檢索專利如下:\n\n"
IDLE = "輸出檢索報告"
BUSY = ("輸出中.", "輸出中..", "輸出中...")
ERROR_LINE = "button_event_001函數出現錯誤\n"
LOGGER = "tarnwick通用模組"
OLD = "上一次的訊息\n"


# ---------------------------------------------------------------------------
# Driving the real window of GUI(...)
# ---------------------------------------------------------------------------

class Session:
    """One call of GUI(...) under test control.

    The test's script is a generator that runs inside the window's event loop.
    It yields what it waits for next: an int (milliseconds of Tk time), a
    ``Ticks(n)`` (n more monitor ticks) or a callable (until it returns true).
    When the script ends the window is closed as a user would close it.
    """

    def __init__(self, module, monkeypatch, tick_ms=20):
        import customtkinter

        self.module = module
        self.tick_ms = tick_ms
        self.app = None
        self.set_table = None
        self.set_button = None
        self.commands = {}
        self.after_calls = []
        self.ticks = 0
        self.loop_started_at = None
        self.tick_times = []
        self.errors = []
        self._script = None
        self._waiting_ticks = None
        self._waiting_until = None
        session = self

        class DrivenCTk(customtkinter.CTk):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                session.app = self

            def after(self, ms, func=None, *args):
                session.after_calls.append((ms, func))
                if func is not None and func is session.commands.get("aa") and session.tick_ms is not None:
                    ms = session.tick_ms
                return super().after(ms, func, *args)

            def mainloop(self, *args, **kwargs):
                import time

                session.loop_started_at = time.monotonic()
                super().after(0, session._advance)
                return super().mainloop(*args, **kwargs)

        real_set_table = module.Set_Table
        real_set_button = module.Set_Button
        real_wrap = module.try_except_log

        def recording_set_table(master):
            session.set_table = real_set_table(master)
            return session.set_table

        def recording_set_button():
            session.set_button = real_set_button()
            return session.set_button

        def recording_wrap(handler):
            wrapped = real_wrap(handler)
            # Each command carries its own name; anything else is numbered.
            name = command_name(handler)
            if name is None or name in session.commands:
                name = f"extra{len(session.commands)}"

            if name == "aa":
                def tick():
                    import time

                    wrapped()
                    session.ticks += 1
                    session.tick_times.append(time.monotonic())
                    if session._waiting_ticks is not None:
                        session._waiting_ticks -= 1
                        if session._waiting_ticks <= 0:
                            session._waiting_ticks = None
                            session.app.after_idle(session._advance)
                call = tick
            else:
                call = wrapped
            session.commands[name] = call
            return call

        monkeypatch.setattr(module, "customtkinter", ToolkitProxy(customtkinter, DrivenCTk))
        monkeypatch.setattr(module, "Set_Table", recording_set_table)
        monkeypatch.setattr(module, "Set_Button", recording_set_button)
        monkeypatch.setattr(module, "try_except_log", recording_wrap)

    # -- widgets -----------------------------------------------------------
    def widgets(self, kind=None, root=None):
        found = []
        stack = [root or self.app]
        while stack:
            w = stack.pop()
            for child in w.winfo_children():
                stack.append(child)
                if kind is None or isinstance(child, kind):
                    found.append(child)
        return found

    @property
    def textbox(self):
        import customtkinter

        (box,) = self.widgets(customtkinter.CTkTextbox)
        return box

    def text(self):
        return self.textbox.get("1.0", "end-1c")

    def label(self):
        return self.set_button.cget("輸出檢索報告", "text")

    def button(self, text):
        import customtkinter

        return [b for b in self.widgets(customtkinter.CTkButton) if b.cget("text") == text]

    # -- running -----------------------------------------------------------
    def run(self, queues, events, script=None, timeout=60):
        """Calls GUI(queues, events) and drives it with `script`; returns GUI's result."""
        self._script = script(self) if script else iter(())
        self._deadline_ms = int(timeout * 1000)
        self.result = self.module.GUI(queues, events)
        if self.errors:
            raise self.errors[0]
        return self.result

    def close(self):
        if self.app is not None:
            try:
                self.app.destroy()
            except Exception:
                pass

    def _advance(self):
        if self.app is None:
            return
        if self._deadline_ms is not None:
            self.app.after(self._deadline_ms, self._timeout)
            self._deadline_ms = None
        try:
            step = next(self._script)
        except StopIteration:
            self.close()
            return
        except BaseException as e:  # a failed check inside the loop: report it after GUI returns
            self.errors.append(e)
            self.close()
            return
        if isinstance(step, Ticks):
            self._waiting_ticks = step.n
        elif callable(step):
            self._waiting_until = step
            self._poll_until()
        else:
            self.app.after(int(step), self._advance)

    def _poll_until(self):
        try:
            done = self._waiting_until()
        except BaseException as e:
            self.errors.append(e)
            self.close()
            return
        if done:
            self._waiting_until = None
            self._advance()
        else:
            self.app.after(5, self._poll_until)

    def _timeout(self):
        self.errors.append(TimeoutError("the test script did not finish in time"))
        self.close()


def idle(s):
    """A session script step: waits until the window shows and has laid itself out."""
    yield lambda: s.app.winfo_ismapped()
    s.app.update_idletasks()


class Ticks:
    def __init__(self, n=1):
        self.n = n


@pytest.fixture
def module_copy(tmp_path, gui_module):
    """A second load of the module file, from a folder whose data files a test may remove."""
    folder = tmp_path / "module"
    folder.mkdir()
    base = os.path.dirname(os.path.abspath(gui_module.__file__))
    target = folder / os.path.basename(gui_module.__file__)
    shutil.copy2(gui_module.__file__, target)
    shutil.copytree(os.path.join(base, "格式範本"), folder / "格式範本")

    def load(*missing):
        for name in missing:
            (folder / "格式範本" / name).unlink()
        loader = importlib.machinery.ExtensionFileLoader("copy_of.GUI", str(target))
        spec = importlib.util.spec_from_file_location("copy_of.GUI", str(target), loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        return module

    return folder, load


@pytest.fixture
def parameters_made(gui_module, monkeypatch):
    """The report parameters object each window makes."""
    made = []
    real = gui_module.Parameters

    def recording():
        made.append(real())
        return made[-1]

    monkeypatch.setattr(gui_module, "Parameters", recording)
    return made


@pytest.fixture
def gui_module():
    import GUI

    return GUI


@pytest.fixture
def session(gui_module, monkeypatch, home):
    s = Session(gui_module, monkeypatch)
    yield s
    s.close()
