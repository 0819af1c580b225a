"""Lists kept as text: CSV, TSV and tab-separated "Unicode text", as Google
Patents, Espacenet and Excel on a Traditional Chinese Windows write them.

The encoding (UTF-8 with or without its mark, UTF-16 with its mark, Big5 as
cp950) and the delimiter (comma, semicolon, tab) are found from the content.
A Google Patents export's first line, "search URL:,https://…", is the
search's source, not the header. The rows read like a sheet's, so the list
is found in them as in any workbook.
"""

from __future__ import annotations

import codecs
import csv
import io
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from .files import ReportError
from .ooxml import MAX_CELLS, TOO_LARGE

MAX_TEXT = 50 * 1024 * 1024  # bytes of a text list
DELIMITERS = (",", ";", "\t")
SEARCH_LINE = "search url:"


@dataclass
class TextSheet:
    """A text list's rows, shaped as a reader's sheet (start, iter_rows)."""

    rows: list[list[str]]
    source: str | None = None  # the search's address, from a Google Patents export
    start: tuple[int, int] = (0, 0)

    def iter_rows(self) -> Iterator[list[str]]:
        return iter(self.rows)


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


def delimiter(lines: list[str]) -> str:
    """The delimiter the first lines agree on most: commas, semicolons or tabs."""

    def score(mark: str) -> tuple[int, int]:
        counts = [len(next(csv.reader([line], delimiter=mark), [])) - 1 for line in lines if line.strip()]
        counts = [c for c in counts if c > 0]
        return (len(counts), min(counts, default=0))

    return max(DELIMITERS, key=score)


def read_text_list(handle: IO[bytes], path: Path, what: str) -> TextSheet:
    handle.seek(0, 2)
    if handle.tell() > MAX_TEXT:
        raise ReportError(f"{TOO_LARGE}: {what}超過 {MAX_TEXT // 2**20} MB: {path}")
    handle.seek(0)
    text = decoded(handle.read(), what, path)
    stream = io.StringIO(text, newline=None)
    first = stream.readline()
    source = None
    if first.lstrip().lower().startswith(SEARCH_LINE):
        fields = next(csv.reader([first.strip()]), [])
        source = next((f.strip() for f in fields[1:] if f.strip()), None)
    else:
        stream.seek(0)
    at = stream.tell()
    sample = [stream.readline() for _ in range(20)]
    stream.seek(at)
    rows: list[list[str]] = []
    cells = 0
    for row in csv.reader(stream, delimiter=delimiter(sample)):
        cells += len(row)
        if cells > MAX_CELLS:
            raise ReportError(f"{TOO_LARGE}: {what}的儲存格超過 {MAX_CELLS:,} 個: {path}")
        rows.append([value.strip() for value in row])
    # The search line is the first row a spreadsheet program shows: the rows count from it.
    return TextSheet(rows, source, (1, 0) if source is not None else (0, 0))
