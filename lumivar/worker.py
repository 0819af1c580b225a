"""The offline report worker: serves the window's requests.

Runs in its own process so a slow or failing report never freezes the
window. Each request is one report job (lumivar.report), whose messages go
back to the host; every outcome ends with the completion marker.
"""

from __future__ import annotations

import gc
import os
import signal
import sys
from collections.abc import Callable
from datetime import datetime

from . import protocol
from .report import files
from .report.job import Clock, ListenerGone, handle_request


def serve(conn, *, now: Clock = datetime.now, between: Callable[[], None] = lambda: None) -> None:
    """Serves the requests that arrive on `conn`, sending each message back
    on it, until None arrives or the host is gone; `between` runs after each."""
    try:
        while (request := conn.recv()) is not None:
            handle_request(request, conn.send, now=now, notify=conn.send)
            between()
    except (EOFError, OSError, KeyboardInterrupt, ListenerGone):
        # The host is gone (its end of the pipe closed), or Ctrl+C reached us
        # too: either way the host does the shutting down.
        pass


def give_back_memory() -> None:
    """A large job's memory goes back to the system while the worker waits."""
    gc.collect()
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            ctypes.CDLL("libc.so.6").malloc_trim(0)
        except (OSError, AttributeError):
            pass


def main(conn) -> None:
    """The worker process: Ctrl+C is the host's to handle; temporary reports
    a killed worker left are removed; the process ends without running
    finalizers, so nothing half-done prints a traceback on the console."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    files.remove_leftovers(protocol.working_folder())
    try:
        serve(conn, between=give_back_memory)
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)
