"""What the report shows and how it looks: its columns, summary lines, fonts,
fills, borders, widths and print setup.

The writers only render what is decided here. A column is one record
(`Column`); which columns a report has is compose's.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from datetime import date
from typing import NamedTuple

from .. import protocol
from .ooxml import MAX_WIDTH
from .publications import Publication
from .text import display_width, has_cjk

TITLE = "檢索報告"

# ---------------------------------------------------------------- the look

CELL_SIZE = 12
TITLE_SIZE = 16
BASE_FONT_SIZE = 11  # the workbook's own default font, which Excel measures widths by
BASE_ROW_HEIGHT = 15
# Excel accepts font sizes from 1 to 409 points.
MIN_SIZE, MAX_SIZE = 1.0, 409.0

# Font kinds and fills (the writers give each its own style).
LATIN, CJK, HEAD, LINK, TITLE_FONT = "latin", "cjk", "head", "link", "title"
AUTO = "auto"  # by the text: CJK where it has any
PLAIN, BAD, REPEAT = "plain", "bad", "repeat"
FILL_COLOURS = {BAD: "FFFFC7CE", REPEAT: "FFD9D9D9"}
HEAD_COLOUR = "FFDDEBF7"
LINK_COLOUR = "FF0563C1"
BORDER_COLOUR = "FFA6A6A6"
BORDER_STYLE = "thin"

# Print setup: A4 portrait, one page wide, the header row on every page.
MARGINS = dict(left=0.5, right=0.5, top=0.75, bottom=0.75, header=0.3, footer=0.3)
PAPER_SIZE = 9  # A4
ORIENTATION = "portrait"
PAGE_NUMBERS = "第 &P 頁，共 &N 頁"
FOOTER = f"&C{PAGE_NUMBERS}"
FREEZE_UP_TO = 20  # a header further down is not frozen: the panes would fill the screen


# ---------------------------------------------------------------- the columns


# Cell formats beyond the plain one.
DATE, WRAP = "date", "wrap"
DATE_FORMAT = "yyyy-mm-dd"
PORTRAIT_WIDTH = 100  # column widths a portrait A4 page holds across at 100 %
# A wrapped text's row: each line this many times the font size, the row
# this much more, and a line holding this share of the column (words wrap whole).
LINE_HEIGHT, ROW_PADDING, WORD_WRAP = 1.3, 3.0, 0.9


class Cell(NamedTuple):
    value: object  # str, int, float or a date; None leaves the cell empty
    font: str = LATIN
    fill: str = PLAIN
    link: str | None = None
    format: str = ""  # "", DATE or WRAP


@dataclass(frozen=True)
class Column:
    """One column of the table: its header, what its cells hold and how they look."""

    header: str
    value: Callable[[Publication], object] | None  # entry → str, int or None; None for the serial number
    font: str = LATIN  # LATIN, CJK, LINK or AUTO
    max_width: int | None = None  # in characters; a longer text wraps past it in Excel, not the page
    address: Callable[[Publication], str | None] | None = None  # where the cell links to, if anywhere
    digits: bool = False  # digits kept as text: Excel's "number stored as text" mark is off
    format: str = ""  # "", DATE or WRAP
    named_at: int | None = None  # the offset of the template's own header cell for it, which stays

    @property
    def link(self) -> bool:
        return self.address is not None


def column_offset(test: Callable[[Column], bool], columns: tuple[Column, ...]) -> int | None:
    """The 0-based offset of the first column that passes `test`, or None."""
    return next((i for i, column in enumerate(columns) if test(column)), None)


def header_cells(columns: tuple[Column, ...]) -> list[Cell]:
    return [Cell(column.header, HEAD, HEAD) for column in columns]


class Line(str):
    """A summary line; `link`, the address its cell links to (the line is its short label)."""

    link: str | None

    def __new__(cls, text: str, link: str | None = None) -> Line:
        line = super().__new__(cls, text)
        line.link = link
        return line


# ---------------------------------------------------------------- sizes


def size_ratio(value: object) -> float | None:
    """The text size ratio, or None when it is not a positive finite number."""
    try:
        ratio = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        return None
    if not math.isfinite(ratio) or ratio <= 0:
        return None
    return ratio


def font_size(base: float, ratio: float) -> float:
    """base × ratio, to the nearest half point (halves round up), within Excel's range."""
    size = math.floor(min(base * ratio, MAX_SIZE) * 2 + 0.5) / 2
    return min(max(size, MIN_SIZE), MAX_SIZE)


def width_for(characters: int, size: float) -> float:
    """A column width, in Excel's units, that shows `characters` at a font size."""
    return min(MAX_WIDTH, round((characters * 1.1 + 3) * size / BASE_FONT_SIZE, 2))


def least_width_for(characters: int, size: float) -> float:
    """The narrowest width that still shows `characters` whole (bold included)."""
    return min(MAX_WIDTH, round(characters * 1.1 * size / BASE_FONT_SIZE + 1, 2))


@dataclass(frozen=True)
class Style:
    ratio: float
    cjk_font: str
    latin_font: str

    @property
    def cell_size(self) -> float:
        return font_size(CELL_SIZE, self.ratio)

    @property
    def title_size(self) -> float:
        return font_size(TITLE_SIZE, self.ratio)


def text_cell(text: str, fill: str = PLAIN) -> Cell:
    return Cell(text, CJK if has_cjk(text) else LATIN, fill)


def _fill(item: Publication) -> str:
    return BAD if item.bad else REPEAT if item.repeat_of is not None else PLAIN


# ---------------------------------------------------------------- the table


@dataclass
class Table:
    """Entries and the columns they are shown in; an entry's 序號 is its place."""

    publications: list[Publication]
    columns: tuple[Column, ...]
    _widths: dict = field(default_factory=dict, compare=False, repr=False)  # computed once per look

    def rows(self) -> Iterator[list[Cell]]:
        columns = [(c.value, c.address, c.font, c.format) for c in self.columns]
        for index, item in enumerate(self.publications, start=1):
            fill = _fill(item)
            cells = []
            for value_of, address_of, font, column_form in columns:
                value = index if value_of is None else value_of(item)
                if value == "":
                    value = None  # nothing to say: an empty cell
                # A date column's other values keep their own look: a number
                # in the date format would be a date it never was, or ####.
                form = column_form if column_form != DATE or isinstance(value, date) else ""
                address = address_of(item) if address_of is not None and value is not None else None
                if address:
                    cells.append(Cell(value, LINK, fill, address, form))
                elif font in (AUTO, LINK):
                    cjk = isinstance(value, str) and has_cjk(value)
                    cells.append(Cell(value, CJK if cjk else LATIN, fill, None, form))
                else:
                    cells.append(Cell(value, font, fill, None, form))
            yield cells

    def wide(self, style: Style) -> bool:
        """Whether the table is wider than a portrait page holds."""
        return sum(self.widths(style)) > PORTRAIT_WIDTH

    def widths(self, style: Style, fit=width_for) -> list[float]:
        """Column widths fitted to the content, in Excel's units, at the text
        size; with `fit=least_width_for`, the least that cuts nothing."""
        key = (style, fit, self.columns)
        if key not in self._widths:
            self._widths[key] = self._fitted(style, fit)
        return self._widths[key]

    def _fitted(self, style: Style, fit) -> list[float]:
        return [fit(characters, style.cell_size) for characters in self.characters()]

    def characters(self) -> list[int]:
        """Per column, the characters its widest cell shows on a line: a text
        longer than the column's max_width wraps (or runs on) past it."""
        key = ("characters", self.columns)
        if key not in self._widths:
            found = []
            for column in self.columns:
                if column.value is None:
                    texts = [str(len(self.publications))]
                elif column.format == DATE:
                    texts = [DATE_FORMAT]
                else:
                    texts = [str(v) for v in map(column.value, self.publications) if v is not None]
                widest = max(display_width(column.header), _widest(texts))
                found.append(widest if column.max_width is None else min(widest, column.max_width))
            self._widths[key] = found
        return self._widths[key]

    def heights(self, style: Style) -> Callable[[list[Cell]], float | None]:
        """A row's height as its wrapped texts need it (see `row_height`)."""
        wrapped = [(i, n) for i, (c, n) in enumerate(zip(self.columns, self.characters())) if c.format == WRAP]
        size = style.cell_size
        return (lambda cells: row_height(cells, wrapped, size)) if wrapped else (lambda cells: None)


def row_height(cells: list[Cell], wrapped: list[tuple[int, int]], size: float) -> float | None:
    """The height, in points, of a row whose wrapped texts (`wrapped`: their
    columns and the characters a line holds) take more than one line; None
    when one line holds them. Excel fits such a row itself, but LibreOffice
    keeps it one line high and the text runs into the rows below."""
    lines = 1
    for column, room in wrapped:
        text = cells[column].value
        if not isinstance(text, str) or ("\n" not in text and display_width(text) <= room):
            continue  # the column is as wide as this text: one line
        room = max(1, int(room * WORD_WRAP))
        lines = max(lines, sum(max(1, math.ceil(display_width(part) / room)) for part in text.split("\n")))
    return round(lines * size * LINE_HEIGHT + ROW_PADDING, 1) if lines > 1 else None


def _widest(texts: list[str]) -> int:
    if "".join(texts).isascii():  # the usual case, without a call per text
        return max(map(len, texts), default=0)
    return max(map(display_width, set(texts)), default=0)


def links_note(publications: list[Publication], room: int) -> str | None:
    """What the user is told when there are more links than a sheet can hold."""
    linked = [i for i, item in enumerate(publications, start=1) if item.address]
    if len(linked) <= room:
        return None
    first = linked[max(room, 0)]
    return f"有 {len(linked):,} 個連結，超過 Excel 一個工作表能有的 {room:,} 個；第 {first:,} 筆起的標準公開號不加連結"


def progress(index: int, total: int, item: Publication) -> str:
    return f"{index}/{total} {item.text}"


def ratio_note(value: object) -> str:
    try:
        shown = f"{float(value) * 100:g}%"  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        shown = str(value)[:40]
    return f"文字大小比例 {shown} 無法使用，改以 {protocol.DEFAULT_RATIO * 100}% 輸出"
