"""The host program: starts the report worker, shows the window, cleans up.

The window (the compiled module GUI) blocks until the user closes it. The
worker runs in its own process, started before the window so that it is
ready by the time the first request arrives. A watchdog notices a worker
that dies, tells the window when a run was in progress, and starts a new
worker on the same queues.
"""
from __future__ import annotations

import multiprocessing
import multiprocessing.connection
import sys
import threading
import time
from typing import Any, Callable, Mapping

from . import protocol

# How long the worker gets to finish after the window closed.
STOP_TIMEOUT = 10.0
# A worker that dies sooner than this after starting is restarted with a delay,
# so a worker that cannot start does not spin.
QUICK_DEATH = 5.0
MAX_RESTART_DELAY = 5.0

Target = Callable[[Mapping[str, Any], Mapping[str, Any]], Any]


def _default_target() -> Target:
    from . import worker

    return worker.run


def make_channels(context) -> tuple[dict[str, Any], dict[str, Any]]:
    queues = {
        protocol.REQUESTS: context.Queue(),
        protocol.RECEIPTS: context.Queue(),
        protocol.END: context.Queue(),
    }
    events = {
        protocol.BUSY: context.Event(),
        protocol.END: context.Event(),
    }
    return queues, events


def death_message(exitcode: int | None) -> str:
    return f"檢索報告程式意外停止 (結束代碼 {exitcode})，已重新啟動，請再執行一次"


class Supervisor:
    """Keeps one worker process running until the window closes."""

    def __init__(self, context, queues, events, target: Target, *, poll: float = 0.2):
        self._context = context
        self._queues = queues
        self._events = events
        self._target = target
        self._poll = poll
        self._lock = threading.Lock()
        self._process = None
        self._started_at = 0.0
        self._thread: threading.Thread | None = None
        self.exitcodes: list[int | None] = []  # of the workers that died
        self.starts = 0

    @property
    def process(self):
        with self._lock:
            return self._process

    def _spawn(self) -> None:
        process = self._context.Process(
            target=self._target,
            args=(self._queues, self._events),
            name="lumivar-worker",
            daemon=True,
        )
        process.start()
        with self._lock:
            self._process = process
            self._started_at = time.monotonic()
            self.starts += 1

    def start(self) -> None:
        self._spawn()
        self._thread = threading.Thread(target=self._watch, name="lumivar-watchdog", daemon=True)
        self._thread.start()

    def _watch(self) -> None:
        end = self._events[protocol.END]
        busy = self._events[protocol.BUSY]
        receipts = self._queues[protocol.RECEIPTS]
        quick_deaths = 0
        while not end.is_set():
            process = self.process
            if process is None:
                return
            if not multiprocessing.connection.wait([process.sentinel], timeout=self._poll):
                continue
            process.join()
            # A worker also leaves on its own when the window says goodbye;
            # give the end event a moment to catch up before calling it a death.
            if end.is_set() or (process.exitcode == 0 and end.wait(0.5)):
                return
            self.exitcodes.append(process.exitcode)
            if busy.is_set():
                receipts.put(death_message(process.exitcode))
                receipts.put(protocol.DONE)
            if time.monotonic() - self._started_at < QUICK_DEATH:
                quick_deaths += 1
            else:
                quick_deaths = 0
            delay = 0.0 if quick_deaths <= 1 else min(0.5 * 2 ** (quick_deaths - 2), MAX_RESTART_DELAY)
            if end.wait(delay):
                return
            self._restart(receipts, end)

    def _restart(self, receipts, end) -> None:
        while not end.is_set():
            try:
                self._spawn()
                return
            except Exception as error:  # out of processes or memory: say so, try again later
                receipts.put(f"無法重新啟動檢索報告程式 ({type(error).__name__}: {error})")
                if end.wait(MAX_RESTART_DELAY):
                    return

    def stop(self, timeout: float = STOP_TIMEOUT) -> int | None:
        """Ends the watchdog, then the worker: waits `timeout`, then terminates it."""
        self._events[protocol.END].set()
        if self._thread is not None:
            self._thread.join()
        process = self.process
        if process is None:
            return None
        process.join(timeout)
        if process.is_alive():
            process.terminate()
            process.join(2.0)
        if process.is_alive():
            process.kill()
            process.join()
        return process.exitcode


def _discard(queues: Mapping[str, Any]) -> None:
    # Nobody reads these any more; do not let unread items hold up the exit.
    for q in queues.values():
        try:
            q.close()
            q.cancel_join_thread()
        except Exception:
            pass


def serve(target: Target | None = None, *, stop_timeout: float = STOP_TIMEOUT, context=None) -> int:
    """Runs the program; returns the exit status."""
    context = context or multiprocessing.get_context("spawn")
    queues, events = make_channels(context)
    supervisor = Supervisor(context, queues, events, target or _default_target())
    try:
        supervisor.start()
    except Exception as error:
        print(f"lumivar: 無法啟動檢索報告程式: {error}", file=sys.stderr)
        supervisor.stop(0)
        _discard(queues)
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
        supervisor.stop(stop_timeout)
        _discard(queues)
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
