"""Where the report's rows go: in a new workbook from the top, in a template
at its "{{檢索結果}}" marker or below the form's content; and the rows and
columns the block of summary lines, header and table takes there.
"""

from __future__ import annotations

from collections.abc import Iterator, Set
from dataclasses import dataclass

from . import compose, layout
from .ooxml import MAX_COLUMN, MAX_ROW, MAX_SHEET, Package, column_name, iterparse, local, parse, ranges
from .publications import Publication
from .schema import child
from .sheetrows import cells, has_value, rows, text_of
from .sheetxml import link_address

MARKER = "{{檢索結果}}"
SUMMARY_MARKER = "{{檢索摘要}}"
EMU_PER_ROW = 190_500  # a default row's height (15 points) in a drawing's units


class Block:
    """The rows the report adds: the summary lines, the header and the table.

    Without a marker the summary comes first (from row `top`), then a blank
    row, the header and the table. At a marker the header takes the marker's
    row and the summary follows the table after a blank row, unless
    `lines_at` (row, column) puts it elsewhere (above the header)."""

    def __init__(
        self,
        count: int,
        lines: list[str],
        *,
        top: int = 1,
        title: bool = False,
        marker_row: int | None = None,
        first_column: int = 0,
        lines_at: tuple[int, int] | None = None,
        columns: tuple | None = None,
    ):
        self.count = count
        self.table_columns = columns or ()
        self.first_column = first_column
        self.lines = ([layout.TITLE] if title else []) + lines
        self.title = title
        self.lines_column = first_column
        if marker_row is None:
            self.lines_row = top
            self.header_row = top + len(self.lines) + 1
        else:
            self.header_row = marker_row
            self.lines_row = marker_row + count + 2
            if lines_at is not None:
                self.lines_row, self.lines_column = lines_at
        self.table_last_row = self.header_row + count
        self.last_row = max(self.table_last_row, self.lines_row + len(self.lines) - 1) if lines else self.table_last_row
        self.letters = [column_name(c) for c in self.columns()]

    @property
    def top_row(self) -> int:
        return min(self.lines_row, self.header_row) if self.lines else self.header_row

    def areas(self) -> list[tuple[int, int, int, int]]:
        """The table's cells and the summary's (when it has lines here), as (top, left, bottom, right)."""
        lines = (self.lines_row, self.lines_column, self.lines_row + len(self.lines) - 1, self.lines_column)
        return [(self.header_row, self.first_column, self.table_last_row, self.last_column)] + [lines] * bool(
            self.lines
        )

    def lines_above(self) -> tuple[int, int, int, int] | None:
        """Where the summary goes above the header, a blank row between; None without room."""
        top = self.header_row - len(self.lines) - 1
        return (top, self.first_column, self.header_row - 1, self.last_column) if top >= 1 else None

    @property
    def last_column(self) -> int:
        return self.first_column + len(self.table_columns) - 1

    def columns(self) -> range:
        return range(self.first_column, self.last_column + 1)

    def links(self, publications: list[Publication], room: int) -> Iterator[tuple[str, str]]:
        """(cell, address) of each link of the summary and the table, row by
        row, at most `room` of them (Excel keeps no more in one sheet); an
        address that is no link's stays the cell's text."""
        letters = column_name(self.lines_column)
        for i, line in enumerate(self.lines):
            address = link_address(getattr(line, "link", None))
            if address and room > 0:
                room -= 1
                yield f"{letters}{self.lines_row + i}", address
        linked = [(self.letters[i], c.address) for i, c in enumerate(self.table_columns) if c.address]
        for i, item in enumerate(publications, start=1):
            for letters, address_of in linked:
                address = link_address(address_of(item))
                if address:
                    if room <= 0:
                        return
                    room -= 1
                    yield f"{letters}{self.header_row + i}", address

    def table_ref(self) -> str:
        return f"{self.letters[0]}{self.header_row}:{self.letters[-1]}{self.table_last_row}"

    def digits_ref(self) -> str | None:
        offset = layout.column_offset(lambda c: c.digits, self.table_columns)
        if offset is None:
            return None
        column = self.letters[offset]
        return f"{column}{self.header_row + 1}:{column}{max(self.table_last_row, self.header_row + 1)}"

    def with_lines_at(self, at: tuple[int, int]) -> Block:
        return Block(
            self.count,
            self.lines,
            marker_row=self.header_row,
            first_column=self.first_column,
            lines_at=at,
            columns=self.table_columns,
        )

    def moved_to(self, header_row: int) -> Block:
        """The same block with its header at `header_row`, the summary after the table."""
        return Block(
            self.count, self.lines, marker_row=header_row, first_column=self.first_column, columns=self.table_columns
        )

    def overlaps(self, area: tuple[int, int, int, int]) -> bool:
        """Whether a (top, left, bottom, right) range meets the cells the block writes."""
        return any(meets(area, own) for own in self.areas())

    def area_ref(self) -> str:
        """Every cell the block takes, summary lines included."""
        return f"${self.letters[0]}${self.top_row}:${self.letters[-1]}${self.last_row}"


def meets(a: tuple[int, int, int, int], b: tuple[int, int, int, int]) -> bool:
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


def columns_within_sheet(table, first_column: int, emit, what: str = "檢索結果") -> None:
    """The table's columns up to the sheet's last (XFD) from `first_column`;
    those past it are left out, and the user told how many."""
    room = MAX_COLUMN - first_column
    if len(table.columns) > room:
        emit(
            f"{what}有 {len(table.columns):,} 欄，超過工作表的最後一欄 (XFD)；"
            f"最後 {len(table.columns) - room:,} 欄未列入檢索報告"
        )
        table.columns = table.columns[:room]


# ---------------------------------------------------------------- the marker


@dataclass
class SharedStrings:
    """What the search for the markers and a template's header needs of the
    shared strings, read in one pass: which are markers, and the first texts."""

    markers: bytearray  # by index: 0, or 1 + the place in MARKERS of the marker it is
    texts: list[str]  # the first HEADER_STRINGS, each shortened to HEADER_TEXT (a header's names come first)

    def marker(self, index: int) -> str | None:
        kind = self.markers[index] if index < len(self.markers) else 0
        return MARKERS[kind - 1] if kind else None


MARKERS = (MARKER, SUMMARY_MARKER)
HEADER_STRINGS = 100_000
HEADER_TEXT = 255  # characters of a text kept: no column's name is longer
_BATCH = 1024  # items read between two clearings of those done


def shared_strings(package: Package, book_part: str) -> SharedStrings:
    """The markers and the first texts, in one pass that keeps little per
    item: a part of millions of strings costs seconds, not minutes."""
    found = SharedStrings(bytearray(), [])
    for part in package.related(book_part, "sharedStrings")[:1]:
        with package.open(part) as stream:
            for index, (_, item) in enumerate(iterparse(stream, tag="{*}si")):
                text = _item_text(item).strip()
                if index < HEADER_STRINGS:
                    found.texts.append(text[:HEADER_TEXT])
                if text in MARKERS:
                    found.markers.extend(bytes(index + 1 - len(found.markers)))
                    found.markers[index] = MARKERS.index(text) + 1
                item.clear(keep_tail=True)
                if index % _BATCH == 0:  # the items done go, a batch at a time
                    while item.getprevious() is not None:
                        del item.getparent()[0]
    return found


def _item_text(item) -> str:
    """A shared string's text; at a glance for the usual one, a single <t>."""
    if len(item) == 1:
        only = item[0]
        tag = only.tag
        if isinstance(tag, str) and (tag == "t" or tag.endswith("}t")) and not len(only):
            return only.text or ""
    return text_of(item)


def _string(cell, shared: SharedStrings) -> str:
    """A string cell's text, inline or shared; "" for any other cell."""
    kind = cell.get("t")
    if kind == "inlineStr":
        inline = child(cell, "is")
        return text_of(inline).strip() if inline is not None else ""
    if kind == "s":
        value = child(cell, "v")
        index = (value.text or "").strip() if value is not None else ""
        if index.isascii() and index.isdigit():
            at = int(index)
            return shared.marker(at) or (shared.texts[at] if at < len(shared.texts) else "")
    return ""


def find_markers(package: Package, part: str, shared: SharedStrings) -> dict[str, tuple[int, int]]:
    """Marker → (1-based row, 0-based column) of the first cell of each in a
    sheet. Found however it is written: a shared or an inline string, in runs
    or with character references."""
    found: dict[str, tuple[int, int]] = {}
    with package.open(part) as stream:
        for number, row in rows(stream):
            for column, cell in cells(row, number):
                text = _string(cell, shared)
                if text in MARKERS and number <= MAX_ROW and column < MAX_COLUMN:
                    found.setdefault(text, (number, column))
    return found


def headers_near(
    package: Package, part: str, marker: tuple[int, int], shared: SharedStrings
) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The template's own header for the table, read in one pass: the texts
    right of the marker in its row, and those from the marker's column on in
    the row below; each up to the first empty cell."""
    row_number, first = marker
    names: dict[int, dict[int, str]] = {row_number: {}, row_number + 1: {}}
    with package.open(part) as stream:
        for number, row in rows(stream):
            if number > row_number + 1:
                break
            if number in names:
                names[number] = {column: text for column, cell in cells(row, number) if (text := _string(cell, shared))}

    def run(texts: dict[int, str], start: int) -> tuple[str, ...]:
        found: list[str] = []
        while start + len(found) in texts:
            found.append(texts[start + len(found)])
        return tuple(found)

    return run(names[row_number], first + 1), run(names[row_number + 1], first)


# ---------------------------------------------------------------- the form's content


def last_used_row(package: Package, part: str, skeleton, drawings: list[str]) -> int:
    """The last row holding a value, a merged area or a picture; 0 for none.
    Styled empty cells do not count."""
    last = 0
    with package.open(part) as stream:
        for number, row in rows(stream):
            if number > last and any(has_value(cell) for _, cell in cells(row, number)):
                last = number
    merges = child(skeleton, "mergeCells")
    for merge in merges if merges is not None else ():
        for _, _, bottom, _ in ranges(merge.get("ref", "")):
            last = max(last, bottom)
    for drawing in drawings:
        last = max(last, _drawing_bottom(parse(package.read(drawing))))
    return last


def _drawing_bottom(root) -> int:
    """The last row a drawing's pictures reach, 1-based."""
    last = 0
    for anchor in root:
        kind = local(anchor.tag)
        if kind == "twoCellAnchor":
            row = _anchor_row(anchor, "to")
            if row is not None:
                last = max(last, row + 1)
        elif kind == "oneCellAnchor":
            row = _anchor_row(anchor, "from")
            extent = child(anchor, "ext")
            height = extent.get("cy", "") if extent is not None else ""
            if row is not None and height.isdigit():
                last = max(last, row + 1 + -(-int(height) // EMU_PER_ROW))
    return last


def _anchor_row(anchor, corner: str) -> int | None:
    found = child(anchor, corner)
    row = child(found, "row") if found is not None else None
    text = (row.text or "").strip() if row is not None else ""
    return int(text) if text.isdigit() else None


# What the table must stay clear of, by the name the user knows it by.
TABLE, MERGED, FORMULA, LINK, VALIDATION, FORMAT, CONTENT = (
    "表格",
    "合併儲存格",
    "公式",
    "超連結",
    "資料驗證",
    "設定格式化的條件",
    "內容",
)
Area = tuple[int, int, int, int]  # top, left, bottom, right: 1-based rows, 0-based columns


def obstacles(package: Package, part: str, skeleton, columns: range, values: bool = True) -> list[tuple[str, Area]]:
    """The template's content in or across `columns` that the table's cells
    must not cover: Excel Tables (empty rows included), merged ranges,
    formulas (shared and array ranges too), links, data validations,
    conditional formats and (with `values`) every cell holding something, with
    its formula's shared or array range. Rules over whole columns bound nothing."""
    found: list[tuple[str, Area]] = []
    left, right = columns.start, columns.stop - 1

    def add(kind: str, sqref: str) -> None:
        for area in ranges(sqref):
            if area[1] <= right and area[3] >= left and area[2] < MAX_ROW:
                found.append((kind, area))

    for table in package.related(part, "table"):
        add(TABLE, parse(package.read(table)).get("ref", ""))
    held = (
        (MERGED, "mergeCells", "mergeCell", "ref"),
        (LINK, "hyperlinks", "hyperlink", "ref"),
        (VALIDATION, "dataValidations", "dataValidation", "sqref"),
    )
    for kind, holder, item, key in held:
        for element in skeleton.iterchildren():
            if local(element.tag) == holder:
                for one in element:
                    if local(one.tag) == item:
                        add(kind, one.get(key, ""))
    for element in skeleton:
        if local(element.tag) == "conditionalFormatting":
            add(FORMAT, element.get("sqref", ""))
    if not values:  # the cells, their formulas' ranges with them, are the last used row's
        return found
    with package.open(part) as stream:
        for number, row in rows(stream):
            for column, cell in cells(row, number):
                if not left <= column <= right or not has_value(cell):
                    continue
                formula = child(cell, "f")
                found.append((FORMULA if formula is not None else CONTENT, (number, column, number, column)))
                if formula is not None and formula.get("ref"):
                    add(FORMULA, formula.get("ref"))
    return found


def clear_place(block: Block, found: list[tuple[str, Area]], keep: Set[tuple[int, int]] = frozenset()):
    """The block moved down, if need be, to the first rows where it covers
    none of `found` (`keep`: the marker's own cell and the template's header
    beside it, whose texts the header may take, though not a merged range
    they start); and the kinds of content that made it move."""
    moved: set[str] = set()
    while True:
        hits = [
            (kind, area)
            for kind, area in found
            if block.overlaps(area) and not (kind == CONTENT and area[:2] in keep and area[:2] == area[2:])
        ]
        if not hits:
            return block, moved
        moved.update(kind for kind, _ in hits)
        block = block.moved_to(max(area[2] for _, area in hits) + 1)


def summary_blocked(
    needed: int, at: tuple[int, int], found: list[tuple[str, Area]], table: Area | None = None
) -> tuple[int, str] | None:
    """Whether `needed` summary lines fit from the {{檢索摘要}} cell at `at`
    down: None where that many rows there are free (none holds the
    template's content, the marker's own cell being the first line's and a
    merged range allowed to start at a line's cell, nor a cell of the
    `table` or a row of it left of them); else how many are free, and what
    stands in the way."""
    row, column = at
    for free in range(needed):
        number = row + free
        cell = (number, column, number, column)
        if table is not None and table[0] <= number <= table[2] and column <= table[3]:
            return free, "檢索結果的標題列" if number == table[0] else "檢索結果"
        if number > MAX_ROW:
            return free, "工作表的最後一列"
        for kind, area in found:
            if (
                meets(area, cell)
                and not (kind == CONTENT and area == (row, column, row, column))
                and not (kind == MERGED and area[:2] == (number, column))
            ):
                return free, kind
    return None


def summary_moved(blocked: tuple[int, str], needed: int, row: int, sheet: str | None = None) -> str:
    """The line that tells the user why the summary is not at its marker, and
    where it is (on the table's `sheet`, when the marker is on another)."""
    free, why = blocked
    there = f"改放在「{sheet}」工作表第 {row} 列起" if sheet else f"改從第 {row} 列開始"
    if free == 0:
        return f"範本中「{SUMMARY_MARKER}」處有{why}；檢索摘要{there}"
    return (
        f"範本中「{SUMMARY_MARKER}」處只有 {free} 列空位，放不下 {needed} 列的檢索摘要 (下方有{why})；檢索摘要{there}"
    )


@dataclass
class Found:
    """Where a template wants the table."""

    sheet_index: int
    sheet_name: str
    sheet_part: str
    marker: tuple[int, int] | None  # (1-based row, 0-based column)
    summary: tuple[int, int] | None = None  # where a {{檢索摘要}} cell puts the summary
    header: tuple[str, ...] = ()  # the template's own column names: right of the marker, or on the row below it
    header_row: int = 0  # the row the table's header takes: the marker's, or its own header's below it
    summary_apart: tuple[str, tuple[int, int]] | None = None  # (part, cell) of a {{檢索摘要}} on another sheet


def where(package: Package, book_part: str, visible: list[tuple[int, str, str]]) -> Found:
    """The first visible sheet holding the marker, else the first visible
    sheet; the summary's marker on that sheet, else on the first other
    visible sheet that holds one (a cover sheet's)."""
    shared = shared_strings(package, book_part)
    markers = {}
    for index, _, part in visible:
        if package.size(part) > MAX_SHEET:  # refused when written to, if it is the table's
            continue
        markers[index] = find_markers(package, part, shared)
        if MARKER in markers[index]:
            break
    table = next((index for index, found in markers.items() if MARKER in found), visible[0][0])
    index, name, part = next(sheet for sheet in visible if sheet[0] == table)
    found = markers.get(index, {})
    apart = None
    if SUMMARY_MARKER not in found:
        for other, _, other_part in visible:
            if other == index or package.size(other_part) > MAX_SHEET:
                continue
            if other not in markers:
                markers[other] = find_markers(package, other_part, shared)
            if SUMMARY_MARKER in markers[other]:
                apart = (other_part, markers[other][SUMMARY_MARKER])
                break
    if MARKER not in found:
        # No table marker: the table goes below the form, the summary still where the template asks.
        return Found(index, name, part, None, found.get(SUMMARY_MARKER), summary_apart=apart)
    row = found[MARKER][0]
    header, below = headers_near(package, part, found[MARKER], shared)
    if header or not any(map(compose.names_a_column, below)):
        below = ()  # what lies under the marker is no header of the report's columns
    return Found(
        index,
        name,
        part,
        found[MARKER],
        found.get(SUMMARY_MARKER),
        header or below,
        header_row=row + 1 if below else row,
        summary_apart=apart,
    )
