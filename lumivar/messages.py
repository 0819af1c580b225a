"""The window's message queue: the worker's progress lines, batched.

The window takes at most one message per 500 ms tick. A worker that sends a
line per publication number would keep "完成" waiting for minutes after the
report is written, so while the window has not taken a message yet, further
lines are joined into it ("\n" between them): each tick shows everything that
arrived since the last one. The completion marker always travels alone,
after the batch before it; nothing is lost or reordered.

A batch is capped so that one tick's insert stays quick, and each line is
shortened to a length the text box shows without stalling. The command
line prints the job's messages through the same cut (fit_for_display).
"""

from __future__ import annotations

import collections
import queue
import re
import threading
from typing import TypeGuard

from . import protocol

# Longer lines are shown as their start, "…" and their length.
MAX_LINE = 300
SHOWN_OF_LONG_LINE = 200
# One message (one tick's insert) holds at most this many characters.
MAX_BATCH = 256 * 1024


# A file name's bytes that are no UTF-8 come as lone surrogates (Linux keeps
# them so); no pipe to a console or the window's module takes those.
_SURROGATE = re.compile("[\ud800-\udfff]")


def readable(text: str) -> str:
    """The text with a replacement character for each lone surrogate (the
    text itself when it has none)."""
    return _SURROGATE.sub("\ufffd", text) if _SURROGATE.search(text) else text


def reason(error: BaseException) -> str:
    """The cause of an error in the user's words, never a Python class name
    or a Python error's own text (the system's description of an OS error is
    the system's words, in the system's language)."""
    if isinstance(error, PermissionError):
        # What Windows says of a workbook that is open in Excel.
        return "沒有存取權限，或檔案正在其他程式 (例如 Excel) 中開啟；請關閉該檔案後再試一次"
    if isinstance(error, OSError) and isinstance(error.strerror, str) and error.strerror.strip():
        return readable(" ".join(error.strerror.split()))
    if isinstance(error, MemoryError):
        return "記憶體不足"
    return "內部錯誤"


def shorten(line: str) -> str:
    """A line fit for the text box: at most about MAX_LINE characters."""
    if len(line) <= MAX_LINE:
        return line
    return f"{line[:SHOWN_OF_LONG_LINE]}…（共 {len(line):,} 字）"


def fit_for_display(message: object) -> object:
    """Each line of a text message shortened and readable; other objects as they are."""
    if not isinstance(message, str):
        return message
    if not message.isascii():
        message = readable(message)
    if len(message) <= MAX_LINE:
        return message
    return "\n".join(shorten(line) for line in message.split("\n"))


class _Batch:
    __slots__ = ("lines", "size")

    def __init__(self, line: str):
        self.lines = [line]
        self.size = len(line)

    def takes(self, line: str) -> bool:
        return self.size + len(line) + 1 <= MAX_BATCH

    def add(self, line: str) -> None:
        self.lines.append(line)
        self.size += len(line) + 1


class MessageQueue:
    """`put`, `empty` and `get` as queue.Queue offers them; text messages
    put while earlier ones wait are joined into one."""

    def __init__(self) -> None:
        self._items: collections.deque[object] = collections.deque()
        self._ready = threading.Condition(threading.Lock())

    def put(self, message: object, block: bool = True, timeout: float | None = None) -> None:
        message = fit_for_display(message)
        with self._ready:
            tail = self._items[-1] if self._items else None
            if not self._joins(message):
                self._items.append(message)
            elif isinstance(tail, _Batch) and tail.takes(message):
                tail.add(message)
            else:
                self._items.append(_Batch(message))
            self._ready.notify()

    def empty(self) -> bool:
        with self._ready:
            return not self._items

    def get(self, block: bool = True, timeout: float | None = None) -> object:
        with self._ready:
            if not block:
                timeout = 0
            if not self._ready.wait_for(lambda: self._items, timeout):
                raise queue.Empty
            item = self._items.popleft()
        return "\n".join(item.lines) if isinstance(item, _Batch) else item

    def get_nowait(self) -> object:
        return self.get(block=False)

    @staticmethod
    def _joins(message: object) -> TypeGuard[str]:
        # The marker, and objects that are not text, keep a message of their own.
        return isinstance(message, str) and message != protocol.DONE
