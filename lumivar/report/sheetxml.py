"""The worksheet XML the report itself writes, shared by both writers: its
cells and rows, its links and their relationships.

These are plain strings from a closed vocabulary (the template's own XML
goes through the parser, never through here). Every text is an inline
string cell: nothing from the user's file can become a formula. `p` is the
sheet's prefix for its main namespace ("" or "x:"), so rows fit a template
sheet that writes its elements prefixed.
"""

from __future__ import annotations

import datetime as dt
import re
from bisect import bisect_right
from collections.abc import Iterable, Iterator
from itertools import accumulate
from typing import TYPE_CHECKING
from urllib.parse import urlsplit
from xml.sax.saxutils import escape, quoteattr

from . import layout
from .layout import Cell
from .ooxml import MAX_CELL_TEXT, REL, column_name, serial_of
from .text import has_cjk, script_runs

if TYPE_CHECKING:  # placement and styles use this module's texts themselves
    from .placement import Block
    from .styles import Styles

MAX_LINK = 2_079  # characters of a link's address Excel keeps
MAX_ROW_HEIGHT = 409.0  # points: Excel's tallest row

# Characters XML 1.0 cannot hold (lone surrogates would not even encode).
_ILLEGAL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
# Text that reads like Excel's own escape of a character (_x000D_): its
# underscore is escaped in turn, as Excel writes it, so it shows as typed.
_ESCAPE_LIKE = re.compile("_(x[0-9A-Fa-f]{4}_)")


def xml_chars(text: str) -> str:
    """The text without the characters XML 1.0 cannot hold: every text the
    report writes passes here, or an XML part of the report is no XML."""
    return text if text.isprintable() else _ILLEGAL.sub("", text)


def xml_text(text: str) -> str:
    if text.isprintable() and not ("&" in text or "<" in text or ">" in text or "_x" in text):
        return text  # the usual case, without a copy
    return escape(_ESCAPE_LIKE.sub(r"_x005F_\1", xml_chars(text)))


def xml_attribute(text: str) -> str:
    """A text as a quoted attribute value."""
    return quoteattr(xml_chars(text))


def link_address(address: object) -> str | None:
    """The address a cell may link to: a web page's, whole (within Excel's
    2,079 characters), with no space, control or invisible character; None
    for any other, whose cell is then written as plain text."""
    if not isinstance(address, str) or not address.startswith(("https://", "http://")):
        return None
    if not address.isprintable() or " " in address or _units(address) > MAX_LINK:
        return None
    try:
        parts = urlsplit(address)
        _ = parts.port  # read for its check
    except ValueError:  # a broken [IPv6] host, a port that is no number
        return None
    return address if parts.hostname else None


def _units(text: str) -> int:
    """A text's length as Excel counts it, in UTF-16 units."""
    return len(text) if text.isascii() else len(text.encode("utf-16-le")) // 2


def fit_cell(text: str) -> str:
    """Text within Excel's 32,767 characters of a cell (counted as Excel
    counts them, in UTF-16 units), shortened with "…" past that."""
    if len(text) <= MAX_CELL_TEXT // 2:
        return text
    units = list(accumulate(2 if ord(ch) > 0xFFFF else 1 for ch in text))
    if units[-1] <= MAX_CELL_TEXT:
        return text
    return text[: bisect_right(units, MAX_CELL_TEXT - 1)] + "…"


def _number(value: object) -> str:
    """A cell's number as Excel stores it; a date as its serial day."""
    if isinstance(value, dt.date):
        serial = serial_of(value)  # Excel's own count, its fictitious 29 February 1900 included
        return str(int(serial)) if serial.is_integer() else repr(serial)
    if isinstance(value, float):
        return repr(value) if value == value and abs(value) != float("inf") else "0"
    return str(value)


def _t(text: str, p: str) -> str:
    space = ' xml:space="preserve"' if text != text.strip() else ""
    return f"<{p}t{space}>{xml_text(text)}</{p}t>"


def cell_xml(ref: str, cell: Cell, xf: int, p: str = "", styles: Styles | None = None) -> str:
    """A cell; a text that mixes CJK and Latin is written as rich-text runs,
    each in the font of its script, when `styles` is given."""
    value = cell.value
    if value is None:
        return f'<{p}c r="{ref}" s="{xf}"/>'
    kind = type(value)
    if kind is int:
        return f'<{p}c r="{ref}" s="{xf}"><{p}v>{value}</{p}v></{p}c>'
    if type(value) is str and value.isascii() and len(value) <= MAX_CELL_TEXT:  # the usual cell: one run, no cut
        return f'<{p}c r="{ref}" s="{xf}" t="inlineStr"><{p}is>{_t(value, p)}</{p}is></{p}c>'
    if kind is not str and isinstance(value, (dt.date, float, int)) and not isinstance(value, bool):
        return f'<{p}c r="{ref}" s="{xf}"><{p}v>{_number(value)}</{p}v></{p}c>'
    text = fit_cell(str(value))
    runs = script_runs(text) if styles is not None and cell.font != layout.LINK and not text.isascii() else []
    if styles is not None and len(runs) > 1:
        body = "".join(f"<{p}r>{styles.run_properties(cell.font, cjk, p)}{_t(run, p)}</{p}r>" for run, cjk in runs)
    else:
        body = _t(text, p)
    return f'<{p}c r="{ref}" s="{xf}" t="inlineStr"><{p}is>{body}</{p}is></{p}c>'


def row_height(height: float | None) -> float | None:
    """A row's height within what Excel takes."""
    return min(height, MAX_ROW_HEIGHT) if height else None


def row_xml(number: int, cells: list[tuple[int, str]], height: float | None = None, p: str = "") -> str:
    height = row_height(height)
    tall = f' ht="{height:g}"' if height else ""  # no customHeight: Excel still fits the row itself
    return f'<{p}row r="{number}"{tall}>' + "".join(xml for _, xml in cells) + f"</{p}row>"


Row = tuple[int, list[tuple[int, str]], "float | None"]  # number, [(column, cell XML)], height


def block_rows(
    block: Block, rows: Iterable[list[Cell]], styles: Styles, height=lambda cells: None, p: str = ""
) -> Iterator[Row]:
    """(row number, [(column, cell XML)], height) of the report's rows in row
    order: the summary lines, the header and the table's `rows` as they come,
    each as high as `height` says; a summary line beside a table row shares
    its row."""

    def cells(number: int, values: list[Cell], bordered: bool = True) -> list[tuple[int, str]]:
        return [
            (column, cell_xml(f"{letters}{number}", cell, styles.xf(cell, bordered), p, styles))
            for column, letters, cell in zip(block.columns(), block.letters, map(_unlinked, values))
        ]

    lines_letters = column_name(block.lines_column)
    summary = {}
    for i, line in enumerate(block.lines):
        cell = Cell(line, layout.TITLE_FONT) if block.title and i == 0 else layout.text_cell(line)
        number = block.lines_row + i
        summary[number] = [
            (block.lines_column, cell_xml(f"{lines_letters}{number}", cell, styles.xf(cell, False), p, styles))
        ]

    def table():
        yield block.header_row, cells(block.header_row, layout.header_cells(block.table_columns)), None
        yield from ((n, cells(n, values), height(values)) for n, values in enumerate(rows, start=block.header_row + 1))

    pending = sorted(summary)
    for number, row_cells, tall in table():
        while pending and pending[0] < number:
            yield pending[0], summary.pop(pending.pop(0)), None
        if pending and pending[0] == number:
            pending.pop(0)
            row_cells = sorted(row_cells + summary.pop(number))
        yield number, row_cells, tall
    for number in pending:
        yield number, summary[number], None


def _unlinked(cell: Cell) -> Cell:
    """A link cell whose address is no link's (Block.links leaves it out) looks like the text it is."""
    if cell.font != layout.LINK or link_address(cell.link) is not None:
        return cell
    text = isinstance(cell.value, str) and has_cjk(cell.value)
    return cell._replace(font=layout.CJK if text else layout.LATIN, link=None)


def hyperlink_elements(links: list[tuple[str, str]], p: str = "", r: str = "r") -> Iterator[str]:
    """A sheet's <hyperlink> elements for (cell, relationship id) pairs, `r`
    the sheet's prefix of the relationship namespace."""
    for ref, rid in links:
        yield f'<{p}hyperlink ref="{ref}" {r}:id="{rid}"/>'


def link_relationships(links: list[tuple[str, str]], rel_ns: str = REL, p: str = "") -> Iterator[str]:
    """The relationships of (relationship id, address) pairs."""
    for rid, address in links:
        yield (
            f'<{p}Relationship Id="{rid}" Type="{rel_ns}/hyperlink" Target={xml_attribute(address)} '
            'TargetMode="External"/>'
        )
