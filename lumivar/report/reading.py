"""Reading the user's list of publication numbers from any workbook.

Workbooks come from Excel, LibreOffice, WPS and web exports: .xlsx, .xlsm,
.xltx, .xlsb, legacy .xls and .ods, told apart by their content, not their
name. python-calamine reads them all. The list is found where it is: the
visible sheet with the most cells that look like publication numbers, and in
it the column with the most; rows above the first such cell are titles.

Sizes are checked before anything is read, so no file, however odd, takes
unbounded time or memory.
"""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path

import python_calamine

from ..messages import readable
from . import files, publications, sheetrows, spread, textlists
from .files import ReportError, open_checked
from .ooxml import MAX_CELLS, MAX_FILE, TOO_LARGE, Package, column_name, damaged, faults, kind_of, open_package
from .text import MAX_ENTRY

# Limits well above any real list.
MAX_ENTRIES = 200_000
MAX_ROWS_LISTED = 20

_DIGIT = re.compile(r"\d")  # any script's: the number rules fold them to ASCII


@dataclass
class ListRead:
    entries: list[str]
    sheet: str  # "" for a text list
    column: int  # 0-based
    first_row: int  # 1-based, as the user sees rows
    last_row: int
    notes: list[str] = field(default_factory=list)
    search: str | None = None  # the search's address a Google Patents export names
    header: list[str] = field(default_factory=list)  # the list's other columns, by their headers
    values: list[tuple] = field(default_factory=list)  # each entry's values of those columns
    across: bool = False  # the numbers lie along one line of a text list (first_row), not down a column
    rows: list[int] = field(default_factory=list)  # each entry's row (1-based, as the summary counts them)

    @property
    def summary(self) -> str:
        first, last = self.first_row, self.last_row
        rows = f"第 {first}–{last} 列" if last > first else f"第 {first} 列"
        if self.across:
            return f"讀取文字檔 {rows}: {len(self.entries)} 筆"
        where = f"「{self.sheet}」工作表" if self.sheet else "文字檔"
        return f"讀取{where} {column_name(self.column)} 欄 {rows}: {len(self.entries)} 筆"

    def place(self, file_name: str) -> str:
        """Where the numbers were, for the report's summary."""
        if self.across:
            return f"{readable(file_name)} 第 {self.first_row} 列"
        sheet = f"「{self.sheet}」工作表" if self.sheet else ""
        return f"{readable(file_name)}{sheet} {column_name(self.column)} 欄"


def _could_be_number(value: object) -> bool:
    # A quick look before the full rules: text of a number's length, with a digit.
    return (
        value.__class__ is str
        and 4 <= len(value) <= 4 * MAX_ENTRY
        and _DIGIT.search(value) is not None
        and (publications.looks_like_number(value) or len(publications.split_cell(value)) > 1)
    )


# ---------------------------------------------------------------- reading


@dataclass
class _Sheet:
    index: int
    name: str
    score: int
    column: int
    first: int  # 0-based row of the first number in that column


def read_list(path: Path, what: str = "專利檔案") -> ListRead:
    """The entries of the user's list, and where they were found. The file
    is opened once: checked, measured and read from the same open file."""
    try:
        return _read_list(path, what)
    except ReportError as error:
        text = str(error)
        if text == readable(text):
            raise
        raise ReportError(readable(text)) from error


def _read_list(path: Path, what: str) -> ListRead:
    handle = open_checked(path, what)
    package: Package | None = None
    try:
        if os.fstat(handle.fileno()).st_size > MAX_FILE:
            raise ReportError(f"{TOO_LARGE}: {what}超過 {MAX_FILE // 2**20} MB: {path}")
        kind = kind_of(handle, path, what, text=True)
        if kind == "text":
            return _read_text(handle, path, what)
        active, sheets = 0, None
        if kind == "zip":
            package = open_package(handle, path, what)
            with faults(damaged(what, path), f"{what}: {path}"):
                active = _check_package(package, path, what)
            if not package.is_ods and not (package.workbook_part or "").lower().endswith(".bin"):
                sheets = package  # its sheets' XML, scanned as each is read
        else:
            with faults(f"{what}已損壞或格式無法辨識，無法開啟: {path}", f"{what}: {path}"):
                for scan in spread.xls_spreads(handle):
                    _check_spread(scan, "", what, path)
        with files.reader_watched(handle, path, what):
            return _read(handle, path, what, sheets, active)
    finally:
        if package is not None:
            package.close()
        handle.close()


def _read_text(handle, path: Path, what: str) -> ListRead:
    sheet = textlists.read_text_list(handle, path, what, MAX_ENTRIES)
    found = _score(sheet, 0, "")
    if found is None:
        raise ReportError(f"在{what}中找不到公開號: {path}")
    read = _take(sheet, found, None)
    read.search = sheet.source
    if sheet.across is not None:
        read.across, read.first_row, read.last_row = True, sheet.across, sheet.across
    return read


def _check_package(package: Package, path: Path, what: str) -> int:
    """Checks what calamine will make of a zip workbook; its active sheet."""
    if package.is_ods:
        for name, scan in spread.ods_spreads(package):
            _check_spread(scan, name, what, path)
        return 0
    book = package.workbook_part
    if book is None:
        raise ReportError(f"{what}不是 Excel 活頁簿 (壓縮檔中沒有活頁簿): {path}")
    if book.lower().endswith(".bin"):
        for name, part, _ in package.sheets_of_binary():
            with package.open(part) as stream:
                _check_spread(spread.xlsb_spread(stream), name, what, path)
        return 0
    for strings in package.related(book, "sharedStrings"):
        with package.open(strings) as stream:  # the parser refuses a text past its 10 MB, in pieces
            for _ in sheetrows.items(stream, "si"):
                pass
    return package.active_tab()


def _check_spread(scan, name: str, what: str, path: Path) -> None:
    if scan.extent > MAX_CELLS or scan.beyond:
        sheet = f"的「{name}」工作表" if name else ""
        raise ReportError(
            f"{TOO_LARGE}: {what}{sheet}的內容分布過廣 (最遠到 {scan.far_cell})，"
            f"請刪除清單以外的儲存格後再試一次: {path}"
        )


def _open_book(handle, path: Path, what: str):
    try:
        handle.seek(0)
        return python_calamine.CalamineWorkbook.from_filelike(handle)
    except python_calamine.PasswordError as error:
        raise ReportError(f"{what}有密碼保護，請先移除密碼再試一次: {path}") from error
    except MemoryError as error:
        raise ReportError(f"{TOO_LARGE}: {what}: {path}") from error
    except Exception as error:  # calamine's own errors: a damaged or unknown file
        raise ReportError(f"{what}已損壞或格式無法辨識，無法開啟: {path}") from error


def _load_sheet(book, index: int, name: str, what: str, path: Path):
    try:
        return book.get_sheet_by_index(index)
    except MemoryError as error:
        raise ReportError(f"{TOO_LARGE}: {what}的「{name}」工作表: {path}") from error
    except Exception as error:
        raise ReportError(damaged(f"{what}的「{name}」工作表", path, "無法讀取")) from error


def _read(handle, path: Path, what: str, package: Package | None, active: int) -> ListRead:
    try:
        return _read_book(handle, path, what, package, active)
    except (ReportError, KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # a reader's panic (not an Exception): the file, not a retry
        raise ReportError(f"{what}已損壞或內容異常，讀取程式無法處理: {path}") from error


def _read_book(handle, path: Path, what: str, package: Package | None, active: int) -> ListRead:
    book = _open_book(handle, path, what)
    try:
        try:
            sheets = book.sheets_metadata
        except Exception as error:
            raise ReportError(damaged(what, path, "無法讀取工作表")) from error
        visible = [
            (index, meta.name)
            for index, meta in enumerate(sheets)
            if meta.visible == python_calamine.SheetVisibleEnum.Visible
            and meta.typ == python_calamine.SheetTypeEnum.WorkSheet
        ]
        if not visible:
            raise ReportError(f"{what}中沒有可見的工作表: {path}")
        scans = {}
        best: _Sheet | None = None
        best_sheet = None  # the best so far stays loaded: a one-sheet list is loaded once
        for index, name in visible:
            if package is not None:
                scans[index] = _prescan(package, name, what, path)
            sheet = _load_sheet(book, index, name, what, path)
            found = _score(sheet, index, name)
            if found and (
                best is None
                or found.score > best.score
                or (found.score == best.score and index == active and best.index != active)
            ):
                best, best_sheet = found, sheet
            del sheet
        if best is None:
            names = "、".join(f"「{name}」" for _, name in visible)
            raise ReportError(f"在{what}的{names}工作表中找不到公開號: {path}")
        return _take(best_sheet, best, scans.get(best.index))
    finally:
        book.close()


def _prescan(package: Package, name: str, what: str, path: Path):
    part = next((p for n, p, _ in package.sheets() if n == name), None)
    if part is None or package.name(part) is None:
        return None
    sheet = f"{what}的「{name}」工作表"
    with faults(damaged(sheet, path, "無法讀取"), f"{sheet}: {path}"):
        with package.open(part) as stream:
            scan = sheetrows.scan(stream)
    _check_spread(scan, name, what, path)
    return scan


# What is judged first, to count the likeliest column first: the first rows, within so many cells.
SAMPLE_ROWS = 200
SAMPLE_CELLS = 20_000


def _score(sheet, index: int, name: str) -> _Sheet | None:
    """The column with the most numbers (ties: the leftmost), and its count.

    The number rules are slow beside a glance at a row's length, so the
    likeliest column (the most numbers among the first rows) is counted
    first, alone; then the others, together in one more pass, each given up
    as soon as it can no longer beat it, and none counted that cannot: no
    column holds more numbers than the rows that reach it. A list's own
    column is counted once and the others hardly at all; at worst each cell
    is judged once, as a single pass over them all would."""
    top = sheet.start[0] if sheet.start else 0
    left = sheet.start[1] if sheet.start else 0
    lengths: dict[int, int] = {}
    sample: list[Sequence[object]] = []  # each a row's first cells: a calamine sheet's or a text list's
    budget = SAMPLE_CELLS
    for row in sheet.iter_rows():
        lengths[len(row)] = lengths.get(len(row), 0) + 1
        if budget > 0 and len(sample) < SAMPLE_ROWS:
            sample.append(row[:budget])
            budget -= len(sample[-1])
    bounds = [0] * max(lengths, default=0)  # bounds[c]: the rows that reach column c
    reaching = 0
    for c in reversed(range(len(bounds))):
        reaching += lengths.get(c + 1, 0)
        bounds[c] = reaching
    if not bounds:
        return None
    likely = [0] * len(bounds)
    for row in sample:
        for c, value in enumerate(row):
            if _could_be_number(value):
                likely[c] += 1
    lead = max(range(len(bounds)), key=lambda c: (likely[c], bounds[c], -c))
    best = _best(sheet, [lead], bounds, None, name)
    rivals = [c for c in range(len(bounds)) if c != lead and (best is None or (bounds[c], -c) > best[:2])]
    best = _best(sheet, rivals, bounds, best, name) if rivals else best
    if best is None:
        return None
    return _Sheet(index, name, best[0], left - best[1], top + best[2])


def _best(sheet, columns: list[int], bounds: list[int], best: tuple | None, name: str) -> tuple | None:
    """(numbers, -column, first row) of whichever of `columns` (in order) beats
    `best`, or `best`; one pass over the rows, a column given up once even
    a number in each row still to come would not beat `best`."""
    hits = [0] * len(columns)  # -1: given up
    unread = [bounds[c] for c in columns]
    first = [-1] * len(columns)
    live = list(range(len(columns)))
    for r, row in enumerate(sheet.iter_rows()):
        length, dropped = len(row), False
        for k in live:
            c = columns[k]
            if c >= length:
                break
            unread[k] -= 1
            if _could_be_number(row[c]):
                hits[k] += 1
                if first[k] < 0:
                    first[k] = r
                if hits[k] > MAX_ENTRIES:  # no need to read on
                    where = f"「{name}」工作表" if name else "文字檔"
                    raise ReportError(f"{TOO_LARGE}: {where}超過 {MAX_ENTRIES:,} 筆公開號")
            elif best is not None and (hits[k] + unread[k], -c) < best[:2]:
                hits[k], dropped = -1, True
        if dropped:
            live = [k for k in live if hits[k] >= 0]
            if not live:
                break
    for k in live:
        if hits[k] > 0 and (best is None or (hits[k], -columns[k]) > best[:2]):
            best = (hits[k], -columns[k], first[k])
    return best


def _cell_text(value: object) -> str | None:
    """The text of an entry cell; None for what is never an entry (dates,
    numbers, yes/no values; errors come back from calamine as empty text)."""
    if isinstance(value, str):
        return value.strip() or None
    return None


def _take(sheet, found: _Sheet, scan) -> ListRead:
    top = sheet.start[0] if sheet.start else 0
    left = sheet.start[1] if sheet.start else 0
    entries: list[str] = []
    rows: list[int] = []
    values: list[tuple] = []
    header: dict[int, str] = {}  # column → its header, for the columns the report carries along
    skipped: list[int] = []
    last = found.first
    for r, row in enumerate(sheet.iter_rows()):
        at = top + r
        if at == found.first - 1:
            header = _header(row, left, found.column)
        if at < found.first or found.column - left >= len(row):
            continue
        value = row[found.column - left]
        text = _cell_text(value)
        if text is None:
            if not (isinstance(value, str)):
                skipped.append(at + 1)
            continue
        pieces = publications.split_cell(text)
        entries.extend(pieces)
        rows.extend([at + 1] * len(pieces))
        if header:
            carried = tuple(_kept(row[c - left]) if 0 <= c - left < len(row) else None for c in header)
            values.extend([carried] * len(pieces))  # each number of a cell gets the row's other values
        last = at
        if len(entries) > MAX_ENTRIES:
            raise ReportError(f"{TOO_LARGE}: 清單超過 {MAX_ENTRIES:,} 筆公開號")
    read = ListRead(
        entries,
        found.name,
        found.column,
        found.first + 1,
        last + 1,
        header=list(header.values()),
        values=values,
        rows=rows,
    )
    errors, formulas = ([], []) if scan is None else scan.special(found.column, found.first)
    skipped = sorted(set(skipped) | set(errors))
    if skipped:
        read.notes.append(f"略過 {len(skipped)} 個不是公開號的儲存格 (日期、數字、是非值或錯誤值): {_rows(skipped)}")
    if formulas:
        read.notes.append(
            f"{len(formulas)} 個公式沒有計算結果，已略過 (請在 Excel 中開啟並存檔後再試): {_rows(formulas)}"
        )
    return read


def _kept(value: object) -> object:
    """A value carried along, without the spaces around a text (a text list's fields keep them)."""
    return value.strip() if value.__class__ is str else value


def _header(row, left: int, number_column: int) -> dict[int, str]:
    """The header of the row above the first number: the other columns' names,
    when the number's own column is named too (a row of text, not data)."""
    cells = {left + c: v.strip() for c, v in enumerate(row) if isinstance(v, str) and v.strip()}
    named = cells.get(number_column)
    if named is None or publications.looks_like_number(named):
        return {}
    return {c: name for c, name in sorted(cells.items()) if c != number_column}


def _rows(rows: list[int]) -> str:
    listed = "、".join(str(r) for r in rows[:MAX_ROWS_LISTED])
    more = f" 等 {len(rows)} 列" if len(rows) > MAX_ROWS_LISTED else ""
    return f"第 {listed} 列{more}"
