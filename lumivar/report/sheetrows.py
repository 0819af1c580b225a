"""A worksheet's rows and cells as a stream, read by the parser.

Rows and cells without a reference lie after the one before, as Excel reads
them. Each row is cleared once it has been looked at, so a sheet of any
length takes the memory of one row.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO

from .ooxml import MAX_CELLS, MAX_COLUMN, MAX_ROW, Element, column_name, iterparse, local, pull_parser, split_ref


def items(stream: IO[bytes], tag: str) -> Iterator[Element]:
    """Each element of a kind (a shared string's "si"), cleared once the next
    is taken, so a part of any length takes the memory of one."""
    for _, item in iterparse(stream, tag=f"{{*}}{tag}"):
        yield item
        item.clear(keep_tail=True)
        while item.getprevious() is not None:
            del item.getparent()[0]


def rows(stream: IO[bytes]) -> Iterator[tuple[int, Element]]:
    """(1-based row number, row element) of each row of a sheet, in order; the
    element is valid until the next one is taken."""
    number = 0
    for row in items(stream, "row"):
        if local(row.getparent().tag) == "sheetData":
            number = row_number(row, number)
            yield number, row


def row_number(row, previous: int) -> int:
    """A row's number: its own, or the one after the row before."""
    given = row.get("r")
    return int(given) if given and given.isascii() and given.isdigit() else previous + 1


_COLUMNS: dict[str, int] = {}


def _column(letters: str) -> int | None:
    """0-based column of a reference's letters; None for what is no column."""
    found = _COLUMNS.get(letters)
    if found is None:
        place = split_ref(f"{letters}1")
        if place is None:
            return None
        found = _COLUMNS.setdefault(letters, place[1]) if len(_COLUMNS) < 20_000 else place[1]
    return found


def _next_column(ref: str | None, digits: str, column: int) -> int:
    """A cell's column: its reference's, when that names its own row; else the one after."""
    if ref:
        letters = ref.rstrip("0123456789")
        given = _column(letters) if ref[len(letters) :] == digits else None
        if given is not None:
            return given
    return column + 1


def cells(row: Element, number: int) -> Iterator[tuple[int, Element]]:
    """(0-based column, cell element) of a row's cells."""
    column = -1
    digits = str(number)
    for cell in row:
        if not isinstance(cell.tag, str) or not cell.tag.endswith("c") or local(cell.tag) != "c":
            continue
        column = _next_column(cell.get("r"), digits, column)
        yield column, cell


def has_value(cell) -> bool:
    """A value, an inline string or a formula; a styled empty cell has none."""
    for part in cell:
        tag = part.tag
        if not isinstance(tag, str):
            continue
        if tag.endswith("v"):
            if part.text and local(tag) == "v":
                return True
        elif local(tag) in ("is", "f"):
            return True
    return False


def text_of(element) -> str:
    """A string item's text: its runs joined, phonetic runs (rPh) left out."""
    return "".join(t.text or "" for t in element.iter("{*}t") if local(t.getparent().tag) != "rPh")


@dataclass
class CellScan:
    """Where a sheet's values lie, and its cells that hold no usable value."""

    top: int = -1
    bottom: int = -1
    left: int = -1
    right: int = -1
    errors: list[tuple[int, int]] = field(default_factory=list)  # (row, column), 0-based
    formulas: list[tuple[int, int]] = field(default_factory=list)  # without a cached result
    beyond: bool = False  # past Excel's grid or its cells' limit: no reader need go on

    @property
    def extent(self) -> int:
        if self.top < 0:
            return 0
        return (self.bottom - self.top + 1) * (self.right - self.left + 1)

    @property
    def far_cell(self) -> str:
        return f"{column_name(self.right)}{self.bottom + 1}"

    def add(self, row: int, column: int) -> None:
        if self.top < 0:
            self.top = self.bottom = row
            self.left = self.right = column
            return
        self.top, self.bottom = min(self.top, row), max(self.bottom, row)
        self.left, self.right = min(self.left, column), max(self.right, column)

    def special(self, column: int, first: int) -> tuple[list[int], list[int]]:
        """1-based rows of the error and formula cells of one column from row `first` (0-based) on."""

        def pick(found):
            return [r + 1 for r, c in found if c == column and r >= first]

        return pick(self.errors), pick(self.formulas)


def _kinds(cell) -> tuple[bool, bool, bool]:
    """(has a value, has a formula, has a result) of a cell: its children's names, once."""
    formula = result = inline = False
    for part in cell:
        tag = part.tag
        if not isinstance(tag, str):
            continue
        name = tag[tag.rfind("}") + 1 :]
        if name == "v":
            result = result or bool(part.text)
        elif name == "f":
            formula = True
        elif name == "is":
            inline = True
    return formula or result or inline, formula, result


_PIECE = 1 << 16  # bytes fed to the parser at a time


def _fed_rows(stream: IO[bytes]) -> Iterator[tuple[str, Element]]:
    """("end", row) of each row read whole; ("long", row) for a row that has
    already more cells than Excel's longest, before the parser reads on: the
    tree holds at most one such row, however long the file says it is."""
    parser = pull_parser(events=("start", "end"), tag="{*}row")
    open_row = None
    while True:
        data = stream.read(_PIECE)
        if data:
            parser.feed(data)
        else:
            parser.close()
        for event, row in parser.read_events():
            open_row = row if event == "start" else None
            if event == "end":
                yield event, row
        if not data:
            return
        if open_row is not None and len(open_row) > MAX_COLUMN:
            yield "long", open_row
            return


def scan(stream: IO[bytes], limit: int = 100_000) -> CellScan:
    """Where a sheet's values lie (so a reader that makes a dense table can be
    refused a huge one), and which cells are errors or formulas without a
    result, up to `limit` of each.

    The scan stops as soon as the answer is known: the values already spread
    over more than MAX_CELLS, or the sheet goes past Excel's grid (a row
    after row 1,048,576, a row of more than 16,384 cells, a cell right of
    XFD) or holds more than MAX_CELLS cells in all; those are `beyond`. So a
    sheet of a million rows without references is refused in about a second.

    The job's hottest loop, so rows(), cells() and has_value() are written out
    here: a cell holding one value is told at a glance, and read rows leave
    the tree in batches rather than one by one."""
    found = CellScan()
    top = bottom = left = right = -1
    number = records = kept = 0
    for event, row in _fed_rows(stream):
        parent = row.getparent()
        tag = parent.tag
        if not (tag[-10:] == "}sheetData" or tag == "sheetData"):
            continue
        given = row.get("r")
        number = int(given) if given and given.isascii() and given.isdigit() else number + 1
        if number > MAX_ROW or event == "long":
            found.add(number - 1, MAX_COLUMN if event == "long" else max(left, 0))
            found.beyond = True
            break
        size = len(row)
        if size:
            records += size
            digits = str(number)
            letters = -len(digits)
            column = -1
            first = last = -1
            for cell in row:
                tag = cell.tag
                if tag.__class__ is not str or not (tag[-2:] == "}c" or tag == "c"):
                    continue
                ref = cell.get("r")
                if ref is None:
                    column += 1
                else:  # "B7" in row 7: its letters' column, as found before
                    given = _COLUMNS.get(ref[:letters]) if ref.endswith(digits) else None
                    column = given if given is not None else _next_column(ref, digits, column)
                size = len(cell)
                if size == 0:
                    continue  # styled, empty
                part = cell[0]
                kind = part.tag[-3:] if size == 1 else ""
                if kind[1:] == "}v":
                    if not part.text:
                        continue
                    error, formula = cell.get("t") == "e", False
                elif kind == "}is":
                    error = formula = False
                else:
                    value, formula, result = _kinds(cell)
                    if not value:
                        continue
                    error, formula = cell.get("t") == "e", formula and not result
                if first < 0 or column < first:
                    first = column
                if column > last:
                    last = column
                if error:
                    if len(found.errors) < limit:
                        found.errors.append((number - 1, column))
                elif formula and len(found.formulas) < limit:
                    found.formulas.append((number - 1, column))
            if first >= 0:
                if top < 0:
                    top = bottom = number - 1
                    left, right = first, last
                top, bottom = min(top, number - 1), max(bottom, number - 1)
                left, right = min(left, first), max(right, last)
                if (bottom - top + 1) * (right - left + 1) > MAX_CELLS:
                    break
            if column >= MAX_COLUMN or records > MAX_CELLS:
                found.add(number - 1, column)
                found.beyond = True
                break
        row.clear(keep_tail=True)
        kept += 1
        if kept == 4096:
            # Rows the parser has read past this one are not yet seen: only those before it go.
            del parent[: parent.index(row)]
            kept = 0
    if top >= 0:
        found.add(top, left)
        found.add(bottom, right)
    return found
