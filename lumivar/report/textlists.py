"""Lists kept as text: CSV, TSV and tab-separated "Unicode text", as Google
Patents, Espacenet and Excel on a Traditional Chinese Windows write them.

The encoding (UTF-8 with or without its mark, UTF-16 with its mark, Big5 as
cp950) and the delimiter (comma, semicolon, tab) are found from the content.
A Google Patents export's first line, "search URL:,https://…", is the
search's source, not the header. The rows read like a sheet's, so the list
is found in them as in any workbook; a list pasted onto one line is a list
all the same, its numbers read across the line.

Only the decoded text is kept: its rows are parsed again each time they are
walked (the parser is quick), so a list of millions of cells never becomes
millions of objects at once.
"""

from __future__ import annotations

import codecs
import csv
import itertools
import re
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from . import publications
from .files import ReportError
from .ooxml import MAX_CELL_TEXT, MAX_CELLS, TOO_LARGE
from .text import MAX_ENTRY

MAX_TEXT = 50 * 1024 * 1024  # bytes of a text list
DELIMITERS = (",", ";", "\t")
SEARCH_LINE = "search url:"


@dataclass
class TextSheet:
    """A text list's rows, shaped as a reader's sheet (start, iter_rows)."""

    text: str  # the list's text, "\n" between its lines
    begin: int  # where its rows start in `text` (after a search line)
    mark: str  # the delimiter
    source: str | None = None  # the search's address, from a Google Patents export
    start: tuple[int, int] = (0, 0)
    across: int | None = None  # the line of a one-line list, whose fields and numbers are its rows
    pieces: list[str] | None = None  # those rows' values

    def iter_rows(self) -> Iterator[list[str]]:
        if self.pieces is not None:
            return ([piece] for piece in self.pieces)
        return records(self.text, self.begin, self.mark)  # as written, spaces and all: what is used is stripped


def decoded(data: bytes, what: str, path: Path) -> str:
    """The text of a list, in whichever encoding it was saved."""
    for mark, encoding in (
        (codecs.BOM_UTF8, "utf-8-sig"),
        (codecs.BOM_UTF16_LE, "utf-16"),
        (codecs.BOM_UTF16_BE, "utf-16"),
    ):
        if data.startswith(mark):
            try:
                return data.decode(encoding)
            except UnicodeDecodeError:
                break
    else:
        if b"\x00" not in data:
            for encoding in ("utf-8", "cp950"):
                try:
                    return data.decode(encoding)
                except UnicodeDecodeError:
                    continue
    raise ReportError(f"{what}是文字檔，但編碼無法辨識 (請存成 UTF-8 或 Big5 的 CSV): {path}")


def lines(text: str, begin: int = 0) -> Iterator[str]:
    """The lines of `text` from `begin`, each with its "\\n"."""
    find, end = text.find, len(text)
    while begin < end:
        stop = find("\n", begin)
        if stop < 0:
            yield text[begin:]
            return
        yield text[begin : stop + 1]
        begin = stop + 1


def _fields_of_any_length() -> None:
    # The csv module refuses a field over 131,072 characters (in English, as
    # an error of its own); the text is bounded already, and a long field is
    # judged here. Raised for the whole process: no reader needs it lower.
    if csv.field_size_limit() <= MAX_TEXT:
        csv.field_size_limit(MAX_TEXT + 1)


def records(text: str, begin: int, mark: str) -> Iterator[list[str]]:
    return csv.reader(lines(text, begin), delimiter=mark)


def delimiter(sample: list[str]) -> str:
    """The delimiter the first lines agree on most: commas, semicolons or tabs."""

    def score(mark: str) -> tuple[int, int]:
        counts = [len(next(csv.reader([line], delimiter=mark), [])) - 1 for line in sample if line.strip()]
        counts = [c for c in counts if c > 0]
        return (len(counts), min(counts, default=0))

    return max(DELIMITERS, key=score)


NO_DELIMITER = "\x1f"  # a character no list's text holds: each line is one field


def _numbers_only(line: str) -> bool:
    text = line.strip()
    return publications.looks_like_number(text) or len(publications.split_cell(text)) > 1


def one_number_a_line(sample: list[str]) -> bool:
    """Whether the first lines are a list of numbers, one line each (a
    heading above them or not): the commas of "US 9,231,827 B2" and the
    "; " between two numbers on a line are then no delimiter."""
    filled = [line for line in sample if line.strip()]
    body = filled[1:] if filled and not _numbers_only(filled[0]) else filled
    return bool(body) and all(map(_numbers_only, body))


# A number's pieces, between the separators a pasted list puts between numbers
# (a comma before a digit is a thousands separator: US 10,123,456 B2).
_TOKEN = re.compile(r"(?:[^\s;；、，,]|,(?=\d))+")
_LONGEST = 8  # pieces of the most spaced-out number form, "DE 10 2019 123 456 A1" has 6


def numbers_in(text: str, most: int) -> list[str] | None:
    """The numbers of a long run of them ("EP1234567A1 EP1234568A1 …", a
    list pasted onto one line), at most `most` + 1; None when the run holds
    anything that is no number.

    Each number is the longest run of pieces that reads as one; a piece
    that starts with an office's code starts the next number, so the usual
    forms are each read once. The pieces are taken as they come: a run of
    any length holds only the next few at a time."""
    pieces = _TOKEN.finditer(text)
    window: list[tuple[int, int, bool]] = []  # (start, end, starts a number) of the next pieces
    found: list[str] = []
    while len(found) <= most:
        for piece in itertools.islice(pieces, _LONGEST - len(window)):
            a, b = piece.span()
            window.append((a, b, text[a : a + 2].upper() in publications.OFFICES))
        if not window:
            return found
        stop = next((j for j in range(1, len(window)) if window[j][2]), len(window))
        for j in range(stop, 0, -1):
            candidate = text[window[0][0] : window[j - 1][1]]
            if publications.looks_like_number(candidate):
                found.append(candidate)
                del window[:j]
                break
        else:
            return None
    return found


def read_text_list(handle: IO[bytes], path: Path, what: str, most: int) -> TextSheet:
    """The list's rows; `most`: the entries a list may hold."""
    handle.seek(0, 2)
    if handle.tell() > MAX_TEXT:
        raise ReportError(f"{TOO_LARGE}: {what}超過 {MAX_TEXT // 2**20} MB: {path}")
    handle.seek(0)
    _fields_of_any_length()
    text = decoded(handle.read(), what, path)
    if "\r" in text:  # Windows' and old Macs' line ends, also inside quoted fields
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    first = next(lines(text), "")
    source, begin, offset = None, 0, 0
    if first.lstrip().lower().startswith(SEARCH_LINE):
        fields = next(csv.reader([first.strip()]), [])
        source = next((f.strip() for f in fields[1:] if f.strip()), None)
        begin, offset = len(first), 1
    sample = [line for line, _ in zip(lines(text, begin), range(20))]
    mark = NO_DELIMITER if one_number_a_line(sample) else delimiter(sample)
    sheet = TextSheet(text, begin, mark, source, (offset, 0))
    only, long_line = _survey(sheet, offset, path, what)
    if only is not None:
        line, fields = only
        # Read as a whole first: a delimiter found in "US 10,123,456 B2 US …" is no delimiter.
        sheet.pieces = numbers_in(text[begin:].strip(), most) or _across(fields, line, most, path, what)
        sheet.across = line
    elif long_line is not None:
        raise ReportError(_too_long(what, long_line, path))
    return sheet


def _survey(sheet: TextSheet, offset: int, path: Path, what: str):
    """Checks a list's size in one pass; (line, fields) of its one line when it
    has only one that holds several fields or a long one, and the first
    line with a field longer than a cell holds."""
    cells = 0
    filled: list[tuple[int, list[str]]] = []
    long_line = None
    reader = csv.reader(lines(sheet.text, sheet.begin), delimiter=sheet.mark)
    line = 0
    try:
        for row in reader:
            at, line = line + 1 + offset, reader.line_num
            cells += len(row)
            if cells > MAX_CELLS:
                raise ReportError(f"{TOO_LARGE}: {what}的儲存格超過 {MAX_CELLS:,} 個: {path}")
            if len(filled) < 2 and "".join(row).strip():
                filled.append((at, row))
            if long_line is None and row and max(map(len, row)) > MAX_CELL_TEXT:
                long_line = at
    except csv.Error as error:
        raise ReportError(f"{what}是文字檔，但第 {line + 1 + offset} 列無法讀取: {path}") from error
    if len(filled) == 1:
        at, row = filled[0]
        if len(row) > 1 or max(map(len, row)) > 4 * MAX_ENTRY:
            return (at, row), long_line
    return None, long_line


def _across(fields: list[str], line: int, most: int, path: Path, what: str) -> list[str]:
    """A one-line list's rows: its fields, a long one cut into its numbers."""
    pieces: list[str] = []
    for value in fields:
        value = value.strip()
        if len(pieces) > most:
            break
        if len(value) <= 4 * MAX_ENTRY:
            if value:
                pieces.append(value)
            continue
        numbers = numbers_in(value, most - len(pieces))
        if numbers is not None:
            pieces.extend(numbers)
        elif len(value) > MAX_CELL_TEXT:
            raise ReportError(_too_long(what, line, path))
        else:
            pieces.append(value)
    return pieces


def _too_long(what: str, line: int, path: Path) -> str:
    return f"{what}第 {line} 列有超過 {MAX_CELL_TEXT:,} 字的欄位 (可能是引號沒有成對)，請檢查該列後再試一次: {path}"
