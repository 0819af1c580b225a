"""Driving the real window of GUI(...): what the test suite (conftest's
Session) and the benchmark (bench/harness.py) share.

Only the module's global names are replaced by a driver; everything else is
the real toolkit and the real common package. The host's side comes in two
forms: the real queue.Queue/threading.Event a host passes, and Recorder
doubles that log every call and refuse on request.
"""
import collections
import queue
import threading

from lumivar import protocol

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


def host_channels():
    """What a host passes: a real queue or event under every key the window uses."""
    queues = {k: queue.Queue() for k in (protocol.REQUESTS, protocol.RECEIPTS, protocol.END)}
    events = {k: threading.Event() for k in (protocol.BUSY, protocol.END)}
    return queues, events


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


# ---------------------------------------------------------------------------
# The host
# ---------------------------------------------------------------------------

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
    queues = {k: Recorder(f"queue:{k}", log, fail.get(f"queue:{k}", ()))
              for k in (protocol.REQUESTS, protocol.RECEIPTS, protocol.END)}
    events = {k: Recorder(f"event:{k}", log, fail.get(f"event:{k}", ())) for k in (protocol.BUSY, protocol.END)}
    return queues, events, log
