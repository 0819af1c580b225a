"""The user's paths, the messages about files, and saving a report safely."""

from __future__ import annotations

import contextlib
import hashlib
import os
import re
import stat
import tempfile
from collections.abc import Callable, Iterator
from datetime import datetime
from pathlib import Path
from typing import IO

from .. import crashes, protocol
from .errors import ReportError, reason
from .text import one_line

PART_PATTERN = "~lumivar-*.xlsx.part"
# A report's own name (report_name), and what a save without hard links
# reserves it with until the report takes it: an empty file.
REPORT_NAME = re.compile(r"檢索報告_\d{8}_\d{6}(?:_\d+)?\.xlsx")
TOO_LARGE_TO_WRITE = "檢索報告過大，記憶體不足以寫入；請減少清單的筆數或欄位後再試"
# Longest name of one path part on Windows and the usual Linux file systems.
MAX_NAME = 255


def user_path(text: str, folder: Path | None = None) -> Path:
    """The file the user meant by a path typed or pasted into an entry.

    Pasted paths often carry stray spaces or quotes; those are dropped only
    when the text as given names nothing. A bare file name means a file in
    the working folder, where the window puts the starter workbook.
    """
    candidates = [text]
    stripped = text.strip()
    candidates.append(stripped)
    if len(stripped) >= 2 and stripped[0] == stripped[-1] and stripped[0] in "\"'":
        candidates.append(stripped[1:-1].strip())
    paths = []
    for candidate in candidates:
        if not candidate:
            continue
        expanded = os.path.expanduser(candidate)
        if "/" not in expanded and "\\" not in expanded and not (len(expanded) > 1 and expanded[1] == ":"):
            paths.append((folder or protocol.working_folder()) / expanded)
        else:
            paths.append(protocol.native_path(expanded))
    for path in paths:
        if _exists(path):
            return path
    return paths[-1] if paths else Path(text)


def _exists(path: Path) -> bool:
    try:
        return path.exists()
    except (OSError, ValueError):  # e.g. a NUL character pasted into the entry
        return False


def check_file(path: Path, what: str) -> os.stat_result:
    """The file's status; refuses what is not a regular file without opening it."""
    too_long = [part for part in path.parts if len(part) > MAX_NAME]
    if too_long:
        raise ReportError(f"{what}的路徑中有名稱過長 (超過 {MAX_NAME} 字元): {one_line(too_long[0])[:60]}…")
    try:
        status = os.stat(path)
    except FileNotFoundError:
        raise ReportError(f"找不到{what}: {path}") from None
    except (OSError, ValueError) as error:
        if isinstance(error, ValueError) or not isinstance(error, PermissionError):
            raise ReportError(f"找不到{what}: {path}") from None
        raise ReportError(f"無法讀取{what}: {path} ({reason(error)})") from None
    if stat.S_ISDIR(status.st_mode):
        raise ReportError(f"{what}是資料夾，不是檔案: {path}")
    if not stat.S_ISREG(status.st_mode):
        raise ReportError(f"{what}不是一般檔案 (可能是裝置或管線): {path}")
    return status


def open_checked(path: Path, what: str) -> IO[bytes]:
    """The user's file, opened once for all that is checked and read of it:
    refused as it is refused by check_file, never opened when it is no
    regular file, and refused when what was opened is not what was checked."""
    status = check_file(path, what)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    try:
        handle = os.fdopen(os.open(path, flags), "rb")
    except OSError as error:
        raise ReportError(f"無法讀取{what}: {path} ({reason(error)})") from error
    opened = os.fstat(handle.fileno())
    swapped = bool(opened.st_ino and status.st_ino) and (opened.st_dev, opened.st_ino) != (status.st_dev, status.st_ino)
    if not stat.S_ISREG(opened.st_mode) or swapped:
        handle.close()
        raise ReportError(f"{what}在檢查後被換成了別的檔案，請再試一次: {path}")
    return handle


# ---------------------------------------------------------------- files that stopped a reader


def fingerprint(handle: IO[bytes]) -> str:
    """The same bytes give the same text, whatever the file's name."""
    handle.seek(0, 2)
    size = handle.tell()
    digest = hashlib.sha256(str(size).encode())
    for at in (0, max(0, size - (1 << 16))):
        handle.seek(at)
        digest.update(handle.read(1 << 16))
    return digest.hexdigest()


@contextlib.contextmanager
def reader_watched(handle: IO[bytes], path: Path, what: str) -> Iterator[None]:
    """Marks a file as being read for as long as the reader works on it;
    refuses at once a file that stopped a reader before."""
    mark = fingerprint(handle)
    if crashes.known(mark):
        raise ReportError(
            f"{what}先前讀取時讓程式意外停止，可能已損壞或過大；請在 Excel 中開啟並另存新檔後再試: {path}"
        )
    with crashes.reading(mark):
        yield


def ensure_folder(folder: Path) -> Path:
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ReportError(f"無法建立工作資料夾: {folder} ({reason(error)})") from error
    if not folder.is_dir():
        raise ReportError(f"無法建立工作資料夾: {folder} (已有同名檔案)")
    return folder


def report_name(stamp: datetime, attempt: int) -> str:
    suffix = "" if attempt == 1 else f"_{attempt}"
    return f"檢索報告_{stamp:%Y%m%d_%H%M%S}{suffix}.xlsx"


# ---------------------------------------------------------------- temporary reports


@contextlib.contextmanager
def _owned(path: Path) -> Iterator[None]:
    """Marks a temporary report as this process's while it exists. Windows
    refuses to remove a file its writer has open; elsewhere a shared lock
    tells a starting worker that the file is not left over."""
    try:
        import fcntl
    except ImportError:
        yield
        return
    with open(path, "rb") as holder:
        with contextlib.suppress(OSError):
            fcntl.flock(holder.fileno(), fcntl.LOCK_SH | fcntl.LOCK_NB)
        yield


def remove_leftovers(folder: Path) -> int:
    """Removes the temporary reports a killed worker left in `folder`, none
    that a running worker still writes, and the empty files by which a
    worker killed while claiming a name reserved it; returns how many
    temporary reports went."""
    try:
        candidates = list(folder.glob(PART_PATTERN))
    except OSError:
        return 0
    try:
        import fcntl
    except ImportError:  # Windows refuses while its writer has it open, and reserves no names
        removed = 0
        for path in candidates:
            with contextlib.suppress(OSError):
                path.unlink()
                removed += 1
        return removed
    stale, live = [], False
    try:
        for path in candidates:
            try:
                handle = open(path, "rb")
            except OSError:
                live = True  # not ours to judge
                continue
            try:
                fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)  # refused while held
            except OSError:
                handle.close()
                live = True
                continue
            stale.append((path, handle))  # held until it is gone, so no one takes it meanwhile
        if stale and not live:
            # A reservation lives only while its writer's temporary report
            # does: with none of those left, an empty report is a leftover.
            _remove_reservations(folder)
        removed = 0
        for path, _ in stale:
            with contextlib.suppress(OSError):
                path.unlink()
                removed += 1
        return removed
    finally:
        for _, handle in stale:
            handle.close()


def _remove_reservations(folder: Path) -> None:
    try:
        names = [entry for entry in os.scandir(folder) if REPORT_NAME.fullmatch(entry.name)]
    except OSError:
        return
    for entry in names:
        with contextlib.suppress(OSError):
            if entry.stat(follow_symlinks=False).st_size == 0 and entry.is_file(follow_symlinks=False):
                os.unlink(entry.path)


def _claim(written: Path, path: Path) -> None:
    """Gives the finished file `written` the name `path`, never replacing a
    file of that name (FileExistsError then). The name only ever holds a
    whole report."""
    if os.name == "nt":
        os.rename(written, path)  # refuses an existing target on Windows
        return
    try:
        os.link(written, path)  # refuses an existing target
    except FileExistsError:
        raise
    except OSError:
        # No hard links here (some shared drives): reserve the name with an
        # empty file, then move the finished report onto it. A worker killed
        # in between leaves the empty file; the next one removes it
        # (remove_leftovers).
        with open(path, "xb"):
            pass
        try:
            os.replace(written, path)
        except BaseException:
            with contextlib.suppress(OSError):
                path.unlink()
            raise


def save_new(
    write: Callable[[object], None],
    folder: Path,
    stamp: datetime,
    notify: Callable[[object], object] = lambda notice: None,
    attempts: int = 10_000,
) -> Path:
    """Saves a report (written by `write(stream)`) under the first free report
    name; an existing file is never touched.

    The report is written whole under a temporary name first and only then
    given its own, so a worker stopped in the middle, even killed, leaves no
    partial file under a report's name. `notify` hears when saving starts and
    ends, so the host can let a save under way finish.
    """
    notify(protocol.SAVING)
    try:
        try:
            handle, temporary = tempfile.mkstemp(prefix="~lumivar-", suffix=".xlsx.part", dir=folder)
        except OSError as error:
            raise ReportError(f"無法寫入檢索報告: {folder} ({reason(error)})") from error
        written = Path(temporary)
        try:
            with _owned(written):
                try:
                    with os.fdopen(handle, "wb") as stream:
                        write(stream)
                    # A new file's ordinary permissions, not the temporary file's 0600.
                    umask = os.umask(0)
                    os.umask(umask)
                    os.chmod(written, 0o666 & ~umask)
                except ReportError:
                    raise
                except OSError as error:
                    raise ReportError(f"無法寫入檢索報告: {folder} ({reason(error)})") from error
                except MemoryError as error:
                    raise ReportError(TOO_LARGE_TO_WRITE) from error
                for attempt in range(1, attempts + 1):
                    path = folder / report_name(stamp, attempt)
                    try:
                        _claim(written, path)
                    except FileExistsError:
                        continue
                    except OSError as error:
                        raise ReportError(f"無法寫入檢索報告: {path} ({reason(error)})") from error
                    return path
                raise ReportError(f"無法寫入檢索報告: {folder} 中已有太多同名檔案")
        finally:
            with contextlib.suppress(OSError):
                written.unlink()
    finally:
        notify(protocol.SAVED)
