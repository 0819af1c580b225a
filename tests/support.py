"""Test support: the window driver, the host doubles and the other shared
fakes of the suite; the benchmark (bench/harness.py) drives its windows with
the same pieces.

Only the module's global names are replaced by a driver; everything else is
the real toolkit and the real common package. The host's side is either the
reference host's own channels (lumivar.host.make_channels) or Recorder
doubles that log every call and refuse on request.

The toolkit and the window module are imported only by what opens a window
(or reads the window's texts), so the report's tests run without a display.
"""

import collections
import datetime
import functools
import hashlib
import logging
import os
import subprocess
import sys
import time
from pathlib import Path

from lumivar import protocol

ON_WINDOWS = sys.platform == "win32"
# Set by scripts/test, which always starts a display: there a window test
# without one is a fault of the run and fails instead of being skipped.
NEEDS_DISPLAY = "LUMIVAR_TESTS_NEED_DISPLAY"
NO_DISPLAY = "opens a real window: no DISPLAY is set (scripts/test starts Xvfb)"

MARKER = protocol.DONE
# The window's own texts, as it exports them (test_protocol.py pins them once),
# read from the module on first use.
WINDOW_TEXTS = {
    "DONE": "DONE_LINE",
    "HEADER": "HEADER",
    "IDLE": "IDLE_LABEL",
    "BUSY": "BUSY_LABELS",
    "ERROR_LINE": "ERROR_LINE",
}


def __getattr__(name):
    if name == "WINDOW":
        import GUI

        return GUI._protocol["WINDOW"]
    if name in WINDOW_TEXTS:
        return __getattr__("WINDOW")[WINDOW_TEXTS[name]]
    if name == "RecordingTextbox":
        return _recording_textbox_class()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def has_display():
    return ON_WINDOWS or bool(os.environ.get("DISPLAY"))


def need_display():
    """Called by whatever opens a real window: without a display the test is
    skipped, or fails where the run promised one."""
    if has_display():
        return
    import pytest

    if os.environ.get(NEEDS_DISPLAY):
        pytest.fail(f"{NO_DISPLAY}, though {NEEDS_DISPLAY} says this run has one", pytrace=False)
    pytest.skip(NO_DISPLAY)


LOGGER = "tarnwick通用模組"
OLD = "上一次的訊息\n"
REFUSED_TICK = "the timer refused the next tick"

# ---------------------------------------------------------------------------
# The window
# ---------------------------------------------------------------------------

COMMAND_NAMES = (
    "button_event_001",
    "button_event_003",
    "button_event_004",
    "button_event_005",
    "button_event_006",
    "button_event_007",
    "button_event_008",
    "aa",
)


class ToolkitProxy:
    """Stands in for the customtkinter module: everything is the real toolkit's
    except CTk, which is the driver's own subclass."""

    def __init__(self, real, ctk_class):
        self._real = real
        self.CTk = ctk_class

    def __getattr__(self, name):
        return getattr(self._real, name)


def command_name(handler):
    """The name under which a driver knows a handler given to try_except_log."""
    name = getattr(handler, "__name__", None)
    return name if name in COMMAND_NAMES else None


def drain(queues, events):
    """What the host's worker does after a window has closed."""
    for q in queues.values():
        while not q.empty():
            q.get_nowait()
    for e in events.values():
        e.clear()


def cancel_pending(app):
    """Cancels every pending Tcl timer of the window's interpreter, so none of
    them fires in the loop of a later window."""
    try:
        pending = app.tk.splitlist(app.tk.call("after", "info"))
    except Exception:
        return
    # Only the timers: their Python callbacks stay registered with the widgets
    # that made them, which delete them when they are destroyed.
    for after_id in pending:
        try:
            app.tk.call("after", "cancel", after_id)
        except Exception:
            pass


def census(app):
    """How many widgets of each class the window holds, Tk's own ones included."""
    counts = {}
    stack = [app]
    while stack:
        w = stack.pop()
        children = w.winfo_children()
        stack.extend(children)
        for child in children:
            name = type(child).__name__
            counts[name] = counts.get(name, 0) + 1
    return dict(sorted(counts.items()))


class Session:
    """One call of GUI(...) under test control.

    The test's script is a generator that runs inside the window's event loop.
    It yields what it waits for next: an int (milliseconds of Tk time), a
    ``Ticks(n)`` (n more monitor ticks) or a callable (until it returns true).
    When the script ends the window is closed as a user would close it.
    """

    def __init__(self, module, monkeypatch, tick_ms=20):
        import customtkinter

        need_display()
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
    outside = widget.winfo_screenwidth() - 1, widget.winfo_screenheight() - 1
    subprocess.run(
        ["xdotool", "mousemove", "--sync", *map(str, outside), "mousemove", "--sync", str(x), str(y), "click", "1"],
        check=True,
        timeout=20,
    )


@functools.cache
def _recording_textbox_class():
    """RecordingTextbox, made on first use: it is the toolkit's own text box."""
    import customtkinter

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

    return RecordingTextbox


def recording_textbox(s, monkeypatch, refuse=None):
    """Puts RecordingTextbox in place of the toolkit's text box, for this window."""
    RecordingTextbox = _recording_textbox_class()
    monkeypatch.setattr(RecordingTextbox, "refuse", dict(refuse or {}))
    monkeypatch.setattr(RecordingTextbox, "tag_calls", [])
    monkeypatch.setattr(s.module.customtkinter, "CTkTextbox", RecordingTextbox, raising=False)
    return RecordingTextbox


def logged_errors(caplog):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno >= logging.ERROR]


def red_text(box):
    ranges = box.tag_ranges("red_tag")
    return [box.get(ranges[i], ranges[i + 1]) for i in range(0, len(ranges), 2)]


def output_button(s):
    """The output button, found by its command rather than by its label."""
    import customtkinter

    (button,) = [
        b
        for b in s.widgets(customtkinter.CTkButton)
        if getattr(getattr(b.cget("command"), "__wrapped__", None), "__name__", "") == "button_event_001"
    ]
    return button


# ---------------------------------------------------------------------------
# The host
# ---------------------------------------------------------------------------


class StandIns:
    """The entry table, the button bar, the text box and the timer of a report
    run as plain objects, for the press and tick rules without a window."""

    def __init__(self, template="t.xlsx", patents="p.xlsx"):
        self.paths = {protocol.TEMPLATE_PATH: template, protocol.PATENT_PATH: patents}
        self.label = __getattr__("IDLE")
        self.text = ""
        self.timers = []

    def get(self, name):  # the entry table
        return self.paths[name]

    def cget(self, name, option):  # the button bar
        return self.label

    def configure(self, name, text):
        self.label = text

    def insert(self, index, text, *tags):  # the text box
        self.text += text

    def delete(self, first, last):
        self.text = ""

    def tag_config(self, *args, **kwargs):
        pass

    def after(self, ms, command):  # the timer
        self.timers.append(ms)


class Recorder:
    """A queue and event double that records the calls made on it.

    Refusals: the operations named in `fail` raise on every call (a set that a
    test may change while the window runs); `plan[op]` holds answers for the
    next calls of `op`, each None (carry on), "raise" (raise before acting) or
    "take" (a get() takes its item, then raises). A refused call raises
    `error`, or RuntimeError("<name>.<op> refused"). `answers` are is_set()
    results given in advance, as if the worker changed the event between two
    queries.
    """

    def __init__(self, name, log, fail=(), error=None):
        self.name = name
        self.log = log
        self.fail = set(fail)
        self.plan = collections.defaultdict(list)
        self.error = error
        self.answers = []
        self.items = []
        self._set = False

    def _call(self, op, *args):
        self.log.append((self.name, op) + args)
        answer = self.plan[op].pop(0) if self.plan[op] else None
        if op in self.fail or answer == "raise":
            raise self.error or RuntimeError(f"{self.name}.{op} refused")
        return answer

    def put(self, item):
        self._call("put", item)
        self.items.append(item)

    def empty(self):
        self._call("empty")
        return not self.items

    def get(self):
        taken = self._call("get") == "take"
        item = self.items.pop(0)
        if taken:
            raise RuntimeError(f"{self.name}.get lost its message")
        return item

    def set(self):
        self._call("set")
        self._set = True

    def clear(self):
        self._call("clear")
        self._set = False

    def is_set(self):
        self._call("is_set")
        return self.answers.pop(0) if self.answers else self._set


def host_objects(log=None, fail=None):
    """Queue and event doubles for the keys the window uses."""
    log = [] if log is None else log
    fail = fail or {}
    queues = {
        k: Recorder(f"queue:{k}", log, fail.get(f"queue:{k}", ()))
        for k in (protocol.REQUESTS, protocol.RECEIPTS, protocol.END)
    }
    events = {k: Recorder(f"event:{k}", log, fail.get(f"event:{k}", ())) for k in (protocol.BUSY, protocol.END)}
    return queues, events, log


def signals(log):
    return [
        entry
        for entry in log
        if entry[0] in ("queue:end", "event:end") or entry[:2] == (f"queue:{protocol.REQUESTS}", "put")
    ]


END_SIGNALS = [("queue:end", "put", None), ("event:end", "set"), (f"queue:{protocol.REQUESTS}", "put", None)]


# ---------------------------------------------------------------------------
# Other doubles
# ---------------------------------------------------------------------------


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


class HostPanic(BaseException):
    """Raised by a host object: not an ordinary error (not an Exception)."""


def os_error(code, path=None):
    return str(OSError(code, os.strerror(code), *([str(path)] if path is not None else [])))


def raiser(error):
    def call(*args, **kwargs):
        raise error

    return call


class Unsayable(Exception):
    """An error whose text cannot be made."""

    def __str__(self):
        raise ValueError("this error has no text")


# ---------------------------------------------------------------------------
# Requests and workbooks
# ---------------------------------------------------------------------------

# A report job at a fixed moment, and the report name it then gives.
FROZEN = datetime.datetime(2024, 5, 6, 7, 8, 9)
FROZEN_NAME = "檢索報告_20240506_070809.xlsx"


def run_job(request, **kwargs):
    """(report path or None, messages) of one request."""
    from lumivar.report import job

    messages = []
    path = job.handle_request(request, messages.append, now=lambda: FROZEN, **kwargs)
    return path, messages


def make_request(patents, template="", ratio=1, cjk="標楷體", latin="Calibri"):
    return {
        protocol.TEMPLATE_PATH: str(template),
        protocol.PATENT_PATH: str(patents),
        protocol.SIZE_RATIO: ratio,
        protocol.CJK_FONT: cjk,
        protocol.LATIN_FONT: latin,
    }


def make_patents(path, values, header="公開號", sheet_title=None):
    """A patent workbook whose first sheet's first column holds `values`."""
    import openpyxl  # only the tests that make workbooks need it

    book = openpyxl.Workbook()
    sheet = book.active
    if sheet_title:
        sheet.title = sheet_title
    if header is not None:
        sheet.append([header])
    for value in values:
        sheet.append([value])
    book.save(path)
    return path


def python_c(code, *argv):
    """The command that runs `code` in a new interpreter on the lumivar this
    process imported (the source tree's or the installed one); set on its
    path, since an embedded Windows Python ignores PYTHONPATH."""
    root = str(Path(protocol.__file__).resolve().parent.parent)
    return [sys.executable, "-c", f"import sys; sys.path[:0] = [{root!r}]\n{code}", *argv]


def python_m(module, *argv):
    """`python -m module argv`, as python_c runs it."""
    return python_c(f"import runpy; runpy.run_module({module!r}, run_name='__main__', alter_sys=True)", *argv)


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()
