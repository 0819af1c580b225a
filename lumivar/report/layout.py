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
from .drawings import HEIGHT as PICTURE_PIXELS
from .drawings import Thumbnail
from .ooxml import MAX_WIDTH
from .publications import Publication
from .text import display_width, has_cjk, is_cjk

TITLE = "檢索報告"

# ---------------------------------------------------------------- the look

CELL_SIZE = 12
TITLE_SIZE = 16
BASE_FONT_SIZE = 11  # the workbook's own default font, which Excel measures widths by
BASE_FONT = "Arial"  # its metrics wherever the report is opened (Liberation or Nimbus Sans where Arial is missing)
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

# Print setup: A4, the header row on every page, at a readable size (see `scale_for`).
MARGINS = dict(left=0.5, right=0.5, top=0.75, bottom=0.75, header=0.3, footer=0.3)
PAPER_SIZE = 9  # A4
ORIENTATION = "portrait"
# Paper sizes (width, height in mm) by Excel's paperSize code; any other is taken for A4.
PAPERS = {1: (215.9, 279.4), 5: (215.9, 355.6), 8: (297.0, 420.0), 9: (210.0, 297.0), 11: (148.0, 210.0)}
PAPERS |= {12: (257.0, 364.0), 13: (182.0, 257.0)}
# A column width unit on paper, in mm, as LibreOffice lays it out: wider
# than Excel (1.85 mm, and 1.3 mm a column), so a table that fits by this
# measure fits in both. A new report's unit is its own style sheet's; a
# template's is its default font's (Calibri 11 is drawn wider where the font
# is missing and another stands in for it, as on a machine without Office).
UNIT_MM, TEMPLATE_UNIT_MM = 2.152, 2.469
# The least print scale, in per cent: 12-point text printed at 9.6 points or
# more; in a template, whose columns are its own, at 70 % where it has room.
SCALE_FLOOR, TEMPLATE_FLOOR = 80, 70
MIN_WRAP = 12  # characters a wrapped column keeps on a line, however narrow the page
PAGE_NUMBERS = "第 &P 頁，共 &N 頁"
FOOTER = f"&C{PAGE_NUMBERS}"
FREEZE_UP_TO = 20  # a header further down is not frozen: the panes would fill the screen


# ---------------------------------------------------------------- the columns


# Cell formats beyond the plain one; PICTURE marks an empty cell a picture is anchored in.
DATE, WRAP, PICTURE = "date", "wrap", "picture"
PICTURE_PAD = 3  # pixels between a cell's edges and its picture
PICTURE_ROW = (PICTURE_PIXELS + 2 * PICTURE_PAD) * 0.75  # points: a row that holds a thumbnail whole
DATE_FORMAT = "yyyy-mm-dd"
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
    picture: Callable[[Publication], Thumbnail | None] | None = None  # the drawing anchored in its cell

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
    return min(MAX_WIDTH, round((characters * 1.1 + 1.5) * size / BASE_FONT_SIZE, 2))


def least_width_for(characters: int, size: float) -> float:
    """The narrowest width that still shows `characters` whole (bold included)."""
    return min(MAX_WIDTH, round(characters * 1.1 * size / BASE_FONT_SIZE + 1, 2))


def room_mm(paper: int | None, landscape: bool, left: float, right: float) -> float:
    """The printable width of a page, in mm, between margins given in inches."""
    width, height = PAPERS.get(paper or PAPER_SIZE, PAPERS[PAPER_SIZE])
    return max(1.0, (height if landscape else width) - (left + right) * 25.4)


def scale_for(widths: list[float], room: float, unit: float = UNIT_MM) -> int:
    """The print scale, in whole per cent from 10 to 100, at which columns
    of `widths` fit `room` mm across, a width unit `unit` mm on paper."""
    needed = sum(widths) * unit
    if needed <= room:
        return 100
    return max(10, math.floor(room / needed * 100))


def narrowed(
    characters: list[int],
    wrapped: list[bool],
    size: float,
    room: float,
    floor: int,
    fixed=None,
    beside: float = 0,
    unit: float = UNIT_MM,
) -> list[int]:
    """The characters a line of each column holds, the wrapped columns
    narrowed (the widest first, none below MIN_WRAP) until the columns fit
    `room` at `floor` per cent, or can narrow no more. `fixed`: widths,
    by column, that are not the table's to change (a template's); `beside`,
    the width of other columns printed with them."""
    fixed = fixed or {}
    found = list(characters)
    widths = [fixed[i] if i in fixed else width_for(n, size) for i, n in enumerate(found)]
    excess = sum(widths) + beside - room * 100 / floor / unit
    while excess > 0:
        free = [i for i, n in enumerate(found) if wrapped[i] and i not in fixed and n > MIN_WRAP]
        if not free:
            break
        widest = max(free, key=lambda i: found[i])
        found[widest] -= 1
        narrower = width_for(found[widest], size)
        excess -= widths[widest] - narrower
        widths[widest] = narrower
    return found


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
    link = getattr(text, "link", None)  # a summary line that is a link's label
    return Cell(str(text), LINK, fill, link) if link else Cell(text, CJK if has_cjk(text) else LATIN, fill)


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
        columns = [(c.value, c.address, c.font, c.format, c.picture) for c in self.columns]
        for index, item in enumerate(self.publications, start=1):
            fill = _fill(item)
            cells: list[Cell] = []
            for value_of, address_of, font, column_form, picture in columns:
                value = index if value_of is None else value_of(item)
                if value == "":
                    value = None  # nothing to say: an empty cell
                # A date column's other values keep their own look: a number
                # in the date format would be a date it never was, or ####.
                form = column_form if column_form != DATE or isinstance(value, date) else ""
                if picture is not None and picture(item) is not None:
                    form = PICTURE
                address = address_of(item) if address_of is not None and value is not None else None
                if address:
                    cells.append(Cell(value, LINK, fill, address, form))
                elif font in (AUTO, LINK):
                    cjk = isinstance(value, str) and has_cjk(value)
                    cells.append(Cell(value, CJK if cjk else LATIN, fill, None, form))
                else:
                    cells.append(Cell(value, font, fill, None, form))
            yield cells

    def fit(
        self,
        style: Style,
        room: float,
        floor: int,
        fixed: dict[int, float] | None = None,
        beside: float = 0,
        unit: float = UNIT_MM,
    ) -> int:
        """The print scale at which the table fits `room` mm across, its
        wrapped columns narrowed where the scale would be below `floor`
        (their rows then as high as their lines); `fixed`, the widths by
        column that stay as they are (a template's own); `beside`, the width
        of the columns printed beside the table; `unit`, a width unit on
        paper. The widths and the heights follow from here on."""
        fixed = fixed or {}
        size = style.cell_size
        found = list(self.characters())
        for i, width in fixed.items():  # a line of a template's column holds what its width shows
            found[i] = max(1, math.floor((width * BASE_FONT_SIZE / size - 1.5) / 1.1))
        widths = [fixed.get(i, w) for i, w in enumerate(width_for(n, size) for n in found)]
        if scale_for(widths + [beside], room, unit) < floor:
            wrapped = [c.format == WRAP for c in self.columns]
            found = narrowed(found, wrapped, size, room, floor, fixed, beside, unit)
            widths = [fixed.get(i, w) for i, w in enumerate(width_for(n, size) for n in found)]
        self._widths.clear()
        self._widths[("characters", self.columns)] = found
        return scale_for(widths + [beside], room, unit)

    def least(self, style: Style) -> list[float]:
        """Per column, the least width that cuts no word of a wrapped text and
        no other text: a narrower column wraps, but never within a word or number."""
        size = style.cell_size
        return [least_width_for(n, size) for n in self.words()]

    def words(self) -> list[int]:
        """Per column, the widest piece of text a line cannot break: a wrapped
        column's longest word (CJK text breaks between any two characters),
        any other column's whole text."""
        found = []
        for column, characters in zip(self.columns, self.characters()):
            if column.format != WRAP or column.value is None:
                found.append(characters)
                continue
            texts = {v for v in map(column.value, self.publications) if isinstance(v, str)}
            found.append(max([_longest_word(t) for t in texts] + [_longest_word(column.header)], default=0))
        return found

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
                if column.picture is not None:
                    widest = max((p.width for p in map(column.picture, self.publications) if p), default=0)
                    # Characters of the cell size as wide as the widest picture (about 7 pixels a width unit).
                    units = (widest + 2 * PICTURE_PAD + 5) / 7
                    texts = ["0" * math.ceil((units * BASE_FONT_SIZE / CELL_SIZE - 1.5) / 1.1)] if widest else []
                    texts += [str(v) for v in map(column.value or (lambda item: None), self.publications) if v]
                elif column.value is None:
                    texts = [str(len(self.publications))]
                elif column.format == DATE:
                    # A date cell shows as its format; a text in a date column ("2033-03-05（推定）") as written.
                    texts = [DATE_FORMAT] + [v for v in map(column.value, self.publications) if isinstance(v, str)]
                else:
                    texts = [str(v) for v in map(column.value, self.publications) if v is not None]
                widest = max(display_width(column.header), _widest(texts))
                found.append(widest if column.max_width is None else min(widest, column.max_width))
            self._widths[key] = found
        return self._widths[key]

    def heights(self, style: Style) -> Callable[[list[Cell]], float | None]:
        """A row's height as its wrapped texts need it (see `row_height`), and as
        high as a picture anchored in it."""
        wrapped = [(i, n) for i, (c, n) in enumerate(zip(self.columns, self.characters())) if c.format == WRAP]
        size = style.cell_size
        if any(c.picture for c in self.columns):
            return lambda cells: _with_picture(cells, row_height(cells, wrapped, size) if wrapped else None)
        return (lambda cells: row_height(cells, wrapped, size)) if wrapped else (lambda cells: None)

    def pictures(self, first_row: int, first_column: int) -> Iterator[tuple[int, int, Thumbnail, str]]:
        """(row, column, picture, what it is of) of the pictures in the table's
        cells, its first row and column at `first_row` and `first_column`."""
        for offset, column in enumerate(self.columns):
            if column.picture is None:
                continue
            for index, item in enumerate(self.publications):
                made = column.picture(item)
                if made is not None:
                    yield first_row + index, first_column + offset, made, item.id or item.text


def _with_picture(cells: list[Cell], height: float | None) -> float | None:
    if any(c.format == PICTURE for c in cells):
        return max(height or 0.0, PICTURE_ROW)
    return height


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


def _longest_word(text: str) -> int:
    longest = run = 0
    for ch in text:
        if ch.isspace() or is_cjk(ch):
            longest, run = max(longest, run, 2 if is_cjk(ch) else 0), 0
        else:
            run += 1
    return max(longest, run)


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
    return f"有 {len(linked):,} 個連結，超過 Excel 一個工作表能有的 {room:,} 個；第 {first:,} 筆起的公開號不加連結"


def progress(index: int, total: int, item: Publication) -> str:
    return f"{index}/{total} {item.text}"


def ratio_note(value: object) -> str:
    try:
        shown = f"{float(value) * 100:g}%"  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        shown = str(value)[:40]
    return f"文字大小比例 {shown} 無法使用，改以 {protocol.DEFAULT_RATIO * 100}% 輸出"
