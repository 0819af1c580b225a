"""The host program: starts the report worker, shows the window, cleans up.

The window (the compiled module GUI) runs in this process and blocks until
the user closes it. The queues and events it is given are this process's own
(queue.Queue, threading.Event). A relay thread passes each request to the
report worker, a separate process, over a pipe that belongs to that worker
alone, and the worker's messages back to the window.

A worker can die at any moment (killed by the user or the system). Its pipe
dies with it, so nothing it leaves half-read or half-written can block the
next worker: a request in progress ends with a message and the completion
marker, and the next request is served by a new worker. Requests waiting in
the window's queue are never lost.
"""

from __future__ import annotations

import logging
import multiprocessing
import multiprocessing.connection
import multiprocessing.reduction
import pickle
import queue
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from . import crashes, protocol
from .messages import MessageQueue, reason

# How long the worker gets to finish after the window closed, and how much
# longer when it is saving a report then (so that report lands whole).
STOP_TIMEOUT = 3.0
SAVE_GRACE = 10.0
# A worker that dies sooner than this after starting is restarted with a delay,
# so a worker that cannot start does not spin.
QUICK_DEATH = 5.0
MAX_RESTART_DELAY = 5.0

Target = Callable[[Any], Any]  # the worker's main, given its end of the pipe
log = logging.getLogger("lumivar.host")
_CLOSED = object()  # the relay's own word that the window has closed


def _default_target() -> Target:
    from . import worker

    return worker.main


def make_channels() -> tuple[dict[str, Any], dict[str, Any]]:
    """The window's queues and events, in this process."""
    queues = {protocol.REQUESTS: queue.Queue(), protocol.RECEIPTS: MessageQueue(), protocol.END: queue.Queue()}
    events = {protocol.BUSY: threading.Event(), protocol.END: threading.Event()}
    return queues, events


# What the window shows when a request cannot reach the worker, or the relay fails.
UNSENDABLE = "請求無法傳給檢索報告程式 (請求中有無法傳送的資料)，請再執行一次"
RELAY_FAULT = "檢索報告程式發生內部錯誤，這次的檢索報告未完成，請再執行一次"


def death_message(exitcode: int | None) -> str:
    return f"檢索報告程式意外停止 (結束代碼 {exitcode})，已重新啟動，請再執行一次"


def crash_message(exitcode: int | None) -> str:
    """A worker that died while reading a file: the file, not a retry, is the cure."""
    return (
        f"讀取檔案時檢索報告程式意外停止 (結束代碼 {exitcode})：檔案可能已損壞或過大，"
        "請在 Excel 中開啟並另存新檔後再試；已重新啟動"
    )


# What reading a dead worker's pipe can raise: the end of the pipe, a message
# cut short, or the rest of one that cannot be unpickled.
_BROKEN = (EOFError, OSError, pickle.UnpicklingError, ValueError, TypeError, AttributeError, ImportError, IndexError)


class Worker:
    """One worker process and the host's end of its pipe."""

    def __init__(self, context, target: Target):
        self.conn, child = context.Pipe()
        try:
            self.process = context.Process(target=target, args=(child,), name="lumivar-worker", daemon=True)
            self.process.start()
        except BaseException:
            self.conn.close()
            raise
        finally:
            child.close()
        self.started_at = time.monotonic()
        self.saving = False

    def alive(self) -> bool:
        return self.process.is_alive()

    def notice(self, message) -> bool:
        """Takes note of the worker's saving notices; true for one of them."""
        if isinstance(message, tuple) and message in (protocol.SAVING, protocol.SAVED):
            self.saving = message == protocol.SAVING
            return True
        return False

    def stop(self, timeout: float, grace: float = SAVE_GRACE) -> None:
        """Asks the worker to leave once its request is done; after `timeout`
        (`grace` more when it is saving a report then) it is ended."""
        try:
            self.conn.send(None)  # the worker's signal to leave
        except _BROKEN:
            pass
        deadline = time.monotonic() + timeout
        extended = False
        waiting_on = [self.conn, self.process.sentinel]
        while self.process.is_alive():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                if self.saving and not extended:
                    deadline, extended = time.monotonic() + grace, True
                    continue
                break
            ready = multiprocessing.connection.wait(waiting_on, remaining)
            if self.conn in ready:
                try:
                    self.notice(self.conn.recv())  # the window is gone: only the notices matter
                except _BROKEN:
                    waiting_on = [self.process.sentinel]
        if self.process.is_alive():
            self.process.terminate()
            self.process.join(2.0)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.conn.close()


class Relay:
    """Serves the window's requests with one worker at a time."""

    def __init__(self, context, queues, events, target: Target, *, poll: float = 0.1):
        self._context = context
        self._requests = queues[protocol.REQUESTS]
        self._receipts = queues[protocol.RECEIPTS]
        self._end = events[protocol.END]
        self._target = target
        self._poll = poll
        self._worker: Worker | None = None
        self._quick_deaths = 0
        self._thread: threading.Thread | None = None

    def start(self) -> None:
        """Starts the first worker (so it is ready for the first request), then
        the relay; a worker that cannot be started at all raises here."""
        self._worker = Worker(self._context, self._target)
        self._thread = threading.Thread(target=self._run, name="lumivar-relay", daemon=True)
        self._thread.start()

    def stop(self, timeout: float = STOP_TIMEOUT) -> None:
        self._end.set()
        self._requests.put(None)
        if self._thread is not None:
            self._thread.join()
        if self._worker is not None:
            self._worker.stop(timeout)
            self._worker = None

    # -- the relay thread

    def _run(self) -> None:
        while True:
            request = self._next_request()
            if request is _CLOSED:
                return
            try:
                self._serve(request)
            except Exception:  # a fault of ours: this run ends, the relay goes on
                log.exception("relay: a request could not be served")
                self._receipts.put(RELAY_FAULT)
                self._receipts.put(protocol.DONE)

    def _next_request(self):
        """The next request; _CLOSED once the window has closed. Meanwhile a
        worker that dies is replaced, without a word."""
        while not self._end.is_set():
            if self._worker is not None and not self._worker.alive():
                self._bury()
            if self._worker is None and not self._start_worker():
                return _CLOSED
            try:
                request = self._requests.get(timeout=self._poll)
            except queue.Empty:
                continue
            if request is None:
                # The window's last word, after it set the end event (its
                # documented order); before that it is no request at all.
                if self._end.is_set():
                    return _CLOSED
                log.warning("relay: None on the request queue while the window is open; ignored")
                continue
            return request
        return _CLOSED

    def _serve(self, request) -> None:
        try:
            data = bytes(multiprocessing.reduction.ForkingPickler.dumps(request))
        except Exception:  # nothing a worker could take: say so, end the run
            log.warning("relay: a request no pipe can carry", exc_info=True)
            self._receipts.put(UNSENDABLE)
            self._receipts.put(protocol.DONE)
            return
        while True:
            if self._worker is None and not self._start_worker():
                return
            worker = self._worker
            assert worker is not None  # the one there was, or the one just started
            try:
                worker.conn.send_bytes(data)
                break
            except _BROKEN:  # died before it could take the request: the next one takes it
                self._bury()
        while not self._end.is_set():
            ready = multiprocessing.connection.wait([worker.conn, worker.process.sentinel], self._poll)
            if worker.conn in ready:
                try:
                    message = worker.conn.recv()
                except _BROKEN:
                    break
                if self._forward(worker, message):
                    return
            elif ready:  # the process ended; its last messages may still be in the pipe
                if not self._drain(worker):
                    break
                return
        if self._end.is_set():
            return
        worker.process.join()
        if crashes.note_crash(worker.process.pid):
            self._receipts.put(crash_message(worker.process.exitcode))
        else:
            self._receipts.put(death_message(worker.process.exitcode))
        self._receipts.put(protocol.DONE)
        self._bury()

    def _drain(self, worker: Worker) -> bool:
        """Passes on what a dead worker left in its pipe; true when that held the marker."""
        try:
            while worker.conn.poll():
                if self._forward(worker, worker.conn.recv()):
                    return True
        except _BROKEN:
            pass
        return False

    def _forward(self, worker: Worker, message) -> bool:
        """Passes a worker's message to the window; true for the completion marker."""
        if worker.notice(message):
            return False
        self._receipts.put(message)
        return isinstance(message, str) and message == protocol.DONE

    def _bury(self) -> None:
        worker, self._worker = self._worker, None
        assert worker is not None  # buried only once seen dead, by the relay thread that alone replaces it
        worker.process.join()
        worker.conn.close()
        if time.monotonic() - worker.started_at < QUICK_DEATH:
            self._quick_deaths += 1
        else:
            self._quick_deaths = 0

    def _start_worker(self) -> bool:
        """Starts a worker, after a delay if the last ones died at once; false
        when the window closed meanwhile."""
        n = self._quick_deaths
        delay = 0.0 if n <= 1 else min(0.5 * 2 ** (n - 2), MAX_RESTART_DELAY)
        while not self._end.wait(delay):
            try:
                self._worker = Worker(self._context, self._target)
                return True
            except Exception as error:  # out of processes or memory: say so, try again later
                log.warning("relay: a worker could not be started", exc_info=True)
                self._receipts.put(f"無法啟動檢索報告程式 ({reason(error)})，稍後自動重試")
                delay = MAX_RESTART_DELAY
        return False


def serve(target: Target | None = None, *, stop_timeout: float = STOP_TIMEOUT, context=None) -> int:
    """Runs the program; returns the exit status."""
    context = context or multiprocessing.get_context("spawn")
    queues, events = make_channels()
    relay = Relay(context, queues, events, target or _default_target())
    try:
        relay.start()
    except Exception as error:
        print(f"lumivar: 無法啟動檢索報告程式: {error}", file=sys.stderr)
        relay.stop(0)
        return 1
    status = 0
    try:
        try:
            import GUI
        except ImportError as error:
            print(f"lumivar: 找不到視窗模組 GUI，請重新安裝 Lumivar ({error})", file=sys.stderr)
            return 1
        try:
            GUI.GUI(queues, events)
        except Exception as error:
            print(f"lumivar: 視窗發生錯誤: {type(error).__name__}: {error}", file=sys.stderr)
            status = 1
    finally:
        relay.stop(stop_timeout)
    return status


def main(argv: list[str] | None = None) -> int:
    multiprocessing.freeze_support()
    args = sys.argv[1:] if argv is None else argv
    if args in (["--version"], ["-V"]):
        from . import __version__

        print(f"lumivar {__version__}")
        return 0
    if args:
        print("usage: lumivar [--version]", file=sys.stderr)
        return 2
    try:
        return serve()
    except KeyboardInterrupt:
        return 130
