"""Files that stopped a report worker.

While the worker's reader works on a file, a mark names it (by its bytes,
not its name). A worker that dies then leaves its mark behind; the host,
which sees it die, records the file, so that the same file sent again is
answered at once instead of stopping the next worker too. Light enough for
the host to import: no reader, no XML.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from pathlib import Path

MAX_KNOWN = 200


def _folder() -> Path:
    return Path(tempfile.gettempdir()) / f"lumivar-{getattr(os, 'getuid', lambda: 'user')()}"


def _mark(pid: int) -> Path:
    return _folder() / f"reading-{pid}"


def _known() -> Path:
    return _folder() / "crashed"


def known(mark: str) -> bool:
    try:
        return mark in _known().read_text().split()
    except OSError:
        return False


@contextlib.contextmanager
def reading(mark: str) -> Iterator[None]:
    """This process reads the file `mark` names, for as long as the block runs."""
    written = False
    with contextlib.suppress(OSError):
        _folder().mkdir(mode=0o700, exist_ok=True)
        _mark(os.getpid()).write_text(mark)
        written = True
    try:
        yield
    finally:
        if written:
            with contextlib.suppress(OSError):
                _mark(os.getpid()).unlink()


def note_crash(pid: int | None) -> bool:
    """After worker `pid` died: records the file it was reading, if any; true then."""
    if pid is None:
        return False
    try:
        mark = _mark(pid).read_text().strip()
        _mark(pid).unlink()
    except OSError:
        return False
    with contextlib.suppress(OSError):
        marks = _known().read_text().split() if _known().exists() else []
        _known().write_text("\n".join((marks + [mark])[-MAX_KNOWN:]))
    return True
