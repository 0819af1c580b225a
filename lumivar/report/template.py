"""The report written into the user's template workbook, keeping it whole.

A template is the office's own report form: letterhead, logo, page header,
notes, print setup. The report is the template's own package with only the
parts the table needs changed (template_parts): the table's sheet, its
relationships, the styles the table adds, the workbook's defined names and
active sheet, and the content types (of the parts it adds, and when a macro
workbook or a template becomes a plain workbook). Every other part is copied
as it is, once its prolog is seen to declare no DTD.

Where the table goes is placement's; merging its rows into the sheet is
splice's. What the template itself sets (print titles, frozen panes, a
filter, a footer, column widths) it keeps; the report adds these only where
it sets nothing.
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from lxml import etree

from . import detailsheet, layout, ooxml, pictures, placement, sheetrows, splice
from . import template_parts as parts
from .compose import Report
from .detailsheet import Detail
from .files import ReportError, open_checked
from .layout import Cell, Style, Table
from .ooxml import (
    CONTENT_TYPES_PART,
    MAIN,
    MAX_ROW,
    MAX_SHEET,
    REL,
    RELS_TYPE,
    STRICT_MAIN,
    STRICT_REL,
    STYLES_TYPE,
    TOO_LARGE,
    WORKSHEET_TYPE,
    Package,
    column_name,
    damaged,
    faults,
    kind_of,
    open_package,
    rels_part,
)
from .packager import Data, copy_package, encoded
from .placement import MARKER, Block
from .schema import child_or_make
from .sheetxml import block_rows, cell_xml, hyperlink_elements, link_address

WHAT = "範本檔案"


@dataclass
class Template:
    package: Package
    path: Path
    book_part: str
    macros: bool
    found: placement.Found


# ---------------------------------------------------------------- opening


def load(path: Path) -> Template:
    """The template, opened once: checked and read from the same open file."""
    handle = open_checked(path, WHAT)
    try:
        if kind_of(handle, path, WHAT) != "zip":
            raise ReportError(f"{WHAT}必須是 .xlsx、.xlsm 或 .xltx 活頁簿 (舊版 .xls 請用 Excel 另存為 .xlsx): {path}")
        package = open_package(handle, path, WHAT)
    except BaseException:
        handle.close()
        raise
    try:
        with faults(damaged(WHAT, path)):
            return _load(package, path)
    except BaseException:
        package.close()
        raise


def _load(package: Package, path: Path) -> Template:
    parts.check_prologs(package)  # before any part is read
    if package.is_ods:
        raise ReportError(f"{WHAT}是 OpenDocument (.ods) 檔，請用 Excel 或 LibreOffice 另存為 .xlsx: {path}")
    book_part = package.workbook_part
    if book_part is None:
        raise ReportError(f"{WHAT}不是 Excel 活頁簿 (壓縮檔中沒有活頁簿): {path}")
    if book_part.lower().endswith(".bin"):
        raise ReportError(f"{WHAT}是二進位活頁簿 (.xlsb)，請另存為 .xlsx: {path}")
    visible = [
        (i, name, part)
        for i, (name, part, state) in enumerate(package.sheets())
        if state == "visible" and part and package.name(part) is not None
    ]
    if not visible:
        raise ReportError(f"{WHAT}中沒有可見的工作表: {path}")
    for strings in package.related(book_part, "sharedStrings")[:1]:
        if package.size(strings) > MAX_SHEET:  # a form's texts are a few kilobytes; this many take minutes to read
            raise ReportError(f"{TOO_LARGE}: {WHAT}中的文字超過 {MAX_SHEET // 2**20} MB: {path}")
    macros = bool(package.related(book_part, "vbaProject"))
    return Template(package, path, book_part, macros, placement.where(package, book_part, visible))


# ---------------------------------------------------------------- writing


def write_into(
    template: Template, stream: IO[bytes], report: Report, rows: Iterable[list[Cell]], style: Style, emit
) -> None:
    """Writes the report: the template's package with the client's table
    added; `rows` are its rows as they are to be taken. The package stays
    open: whoever loaded the template closes it."""
    with faults(damaged(WHAT, template.path, "無法寫入檢索結果")):
        _write(template, stream, report, rows, style, emit)


def _block(t: Template, table: Table, lines: list[str], skeleton, emit) -> Block:
    """Where the table goes: at the marker, or below the form's content; never
    over the template's content (moved below it, and the user told why)."""
    found, count = t.found, len(table.publications)
    package, part = t.package, found.sheet_part
    if found.marker:
        block = Block(
            count,
            lines,
            marker_row=found.header_row or found.marker[0],
            first_column=found.marker[1],
            columns=table.columns,
        )
        keep = {(found.header_row, found.marker[1] + i) for i in range(len(found.header) + 1)} | {found.marker}
        columns = block.columns()  # moving rows keeps the columns
        if found.summary:
            keep.add(found.summary)  # the summary's own marker: emptied where the summary cannot go
            columns = range(min(columns.start, found.summary[1]), max(columns.stop, found.summary[1] + 1))
        content = placement.obstacles(package, part, skeleton, columns)
        block, kinds = placement.clear_place(block, content, keep=keep)
        if kinds:
            emit(
                f"範本中「{MARKER}」處的{'、'.join(sorted(kinds))}會被檢索結果蓋過；"
                f"檢索結果改從第 {block.header_row} 列開始"
            )
        return _summary_placed(block, found, content, emit)
    columns = Block(count, lines, columns=table.columns).columns()
    last = max(
        [placement.last_used_row(package, part, skeleton, package.related(part, "drawing"))]
        + [area[2] for _, area in placement.obstacles(package, part, skeleton, columns, values=False)]
    )
    top = last + 2 if last else 1
    if not lines:  # the summary is on a sheet of its own
        return Block(count, lines, marker_row=top, columns=table.columns)
    block = Block(count, lines, top=top, columns=table.columns)
    if found.summary:
        # The summary at its marker, the table below the form and the summary; else the summary above the table.
        at = found.summary
        beside = Block(count, lines, marker_row=max(top, at[0] + len(lines) + 1), columns=table.columns)
        blocked = placement.summary_blocked(
            len(lines), at, placement.obstacles(package, part, skeleton, range(at[1], at[1] + 1)), beside.areas()[0]
        )
        if blocked is None:
            return beside.with_lines_at(at)
        emit(placement.summary_moved(blocked, len(lines), block.lines_row))
    return block


def _summary_placed(block: Block, found: placement.Found, obstacles, emit) -> Block:
    """The summary a client reads first: at a {{檢索摘要}} cell where its
    rows are free there, else directly above the header where those rows are
    empty, else below the table. Each line in a cell of its own: never one
    the table or the template's content takes."""
    if not block.lines:  # the summary is on a sheet of its own
        return block
    if found.summary is not None:
        blocked = placement.summary_blocked(len(block.lines), found.summary, obstacles, block.areas()[0])
        if blocked is None:
            return block.with_lines_at(found.summary)
        emit(placement.summary_moved(blocked, len(block.lines), block.lines_row))
        return block
    above = block.lines_above()
    if above is not None and not any(placement.meets(above, area) for _, area in obstacles if area[:2] != found.marker):
        return block.with_lines_at((above[0], block.first_column))
    return block


def _detail(t: Template, report: Report, emit) -> tuple[Detail, str, str]:
    """The detail sheet, added to the template's package: a sheet name, a part
    name and a relationship id that none of the template's own has."""
    package = t.package
    placement.columns_within_sheet(report.detail, 0, emit, detailsheet.NAME)
    name = detailsheet.sheet_name(name for name, _, _ in package.sheets())
    part = detailsheet.part_name(t.book_part, (info.filename for info in package.infos))
    rid = parts.fresh_id(package.relationships(t.book_part), "rIdLumivarDetail")
    return Detail(report.detail, report.bookkeeping, name), part, rid


def _apart(t: Template, lines: list[str]):
    """(part, skeleton, cell, what stands in the way or None) of a
    {{檢索摘要}} on another sheet than the table's (a cover sheet's): the
    summary goes there where its rows there are free."""
    if t.found.summary_apart is None:
        return None
    part, at = t.found.summary_apart
    sheet = splice.skeleton(t.package, part)
    content = placement.obstacles(t.package, part, sheet, range(at[1], at[1] + 1))
    return part, sheet, at, placement.summary_blocked(len(lines), at, content)


def _summary_sheet(
    package: Package, part: str, sheet, at: tuple[int, int], lines: list[str], styles
) -> tuple[dict[str, Data], dict[str, str]]:
    """The summary's own sheet: its lines from the marker down (the marker
    emptied where there are none), a link on a line's label; unselected, as
    the report opens on the table's sheet alone. Its other content as it is."""
    main = etree.QName(sheet).namespace or ""
    rel_ns = STRICT_REL if main == STRICT_MAIN else REL
    r, declaration = parts.declaring(sheet, rel_ns)
    p = splice.prefix_of(sheet)
    for view in sheet.iter("{*}sheetView"):
        view.attrib.pop("tabSelected", None)
    row, column = at
    ours, addresses = [], []
    for number, line in enumerate(lines, start=row):
        ref, cell = f"{column_name(column)}{number}", layout.text_cell(line)
        ours.append((number, [(column, cell_xml(ref, cell, styles.xf(cell, False), p, styles))], None))
        address = link_address(getattr(line, "link", None))
        if address:
            addresses.append((ref, address))
    links, link_rels = parts.link_ids(iter(addresses), set(package.relationships(part)))
    if links:  # written in when the sheet is
        child_or_make(sheet, "hyperlinks").append(etree.Comment(splice.LINKS_HERE))
    rows = splice.merged_rows(package, part, iter(ours), p, main, blank=() if lines else [at])
    replaced: dict[str, Data] = {
        part: splice.sheet_pieces(sheet, rows, hyperlink_elements(links, p, r), declaration if links else "")
    }
    added = {}
    if link_rels:
        replaced[rels_part(part)] = parts.sheet_rels(package, part, link_rels, rel_ns)
        if package.name(rels_part(part)) is None:
            added[rels_part(part)] = RELS_TYPE
    return replaced, added


def _markers_left(found: placement.Found, block: Block) -> list[tuple[int, int]]:
    """The markers whose places the report does not take, to be emptied."""
    left = []
    if found.marker and found.marker[0] != block.header_row:
        left.append(found.marker)
    if found.summary and found.summary != (block.lines_row, block.lines_column):
        left.append(found.summary)
    return left


def _own_header_kept(rows, block: Block, table: Table, t: Template):
    """The report's rows without the header cells the template writes itself:
    where the table's header is still on their row, its cells stay, and a
    column of its header that had to move (公開號 put before it) takes the
    style of the cell that named it."""
    found = t.found
    own = [(block.first_column + i, c.named_at) for i, c in enumerate(table.columns) if c.named_at is not None]
    if not own or block.header_row != found.header_row:
        yield from rows
        return
    styles = _header_styles(t.package, found.sheet_part, found.header_row)
    kept = {column for column, at in own if column == block.first_column + at}
    moved = {column: styles.get(block.first_column + at) for column, at in own if column not in kept}
    for number, cells, height in rows:
        if number == block.header_row:
            cells = [(column, _styled(xml, moved.get(column))) for column, xml in cells if column not in kept]
        yield number, cells, height


def _header_styles(package, part: str, row: int) -> dict[int, str]:
    """The style of each cell on the template's header row, by column."""
    with package.open(part) as stream:
        for number, element in sheetrows.rows(stream):
            if number == row:
                return {column: cell.get("s") for column, cell in sheetrows.cells(element, number) if cell.get("s")}
            if number > row:
                break
    return {}


def _styled(xml: str, style: str | None) -> str:
    return re.sub(r' s="\d+"', f' s="{style}"', xml, count=1) if style else xml


def _write(t: Template, stream: IO[bytes], report: Report, rows: Iterable[list[Cell]], style: Style, emit) -> None:
    package, found, table = t.package, t.found, report.client
    placement.columns_within_sheet(table, found.marker[1] if found.marker else 0, emit)
    if package.size(found.sheet_part) > MAX_SHEET:
        raise ReportError(f"{TOO_LARGE}: {WHAT}的「{found.sheet_name}」工作表過大: {t.path}")
    if t.macros:
        emit("範本含有巨集；檢索報告為不含巨集的 .xlsx 活頁簿")
    skeleton = splice.skeleton(package, found.sheet_part)
    main = etree.QName(skeleton).namespace or ""
    rel_ns = STRICT_REL if main == STRICT_MAIN else REL
    r, declaration = parts.declaring(skeleton, rel_ns)
    p = splice.prefix_of(skeleton)

    # The legend follows the summary, where the template has room for them.
    lines = report.summary + report.legend
    apart = _apart(t, lines)
    block = _block(t, table, [] if apart and apart[3] is None else lines, skeleton, emit)
    if apart and apart[3] is not None:
        emit(placement.summary_moved(apart[3], len(lines), block.lines_row, found.sheet_name))
    if block.last_row > MAX_ROW:
        raise ReportError(
            f"檢索結果超出工作表的範圍 (最後一列 {MAX_ROW:,})，請減少公開號的數量或在範本中把標記移到較上方: {t.path}"
        )

    # One style sheet for both sheets: the formats either table uses.
    formats = {c.format for c in table.columns + report.detail.columns}
    styles_part, styles_xml, styles = parts.stylesheet(package, t.book_part, style, formats, main == STRICT_MAIN)
    room = ooxml.MAX_LINKS - sum(1 for _ in skeleton.iter("{*}hyperlink"))
    note = layout.links_note(table.publications, room)
    if note:
        emit(note)
    links, link_rels = parts.link_ids(
        block.links(table.publications, room), set(package.relationships(found.sheet_part))
    )
    parts.edit_sheet(skeleton, block, table, style, bool(links), emit)
    # The pictures of both sheets, in the names and ids the package leaves free.
    taken = {info.filename for info in package.infos}
    shared: dict[bytes, str] = {}  # a drawing shown on both sheets is one image of the package
    shown = _drawing(package, found.sheet_part, pictures.of_table(table, block), taken, main, link_rels, shared)
    if shown is not None and shown.relationship is not None:
        pictures.attach(skeleton, shown.relationship[0])
    ours = _own_header_kept(block_rows(block, rows, styles, table.heights(style), p), block, table, t)
    link_xml = hyperlink_elements(links, p, r)
    replaced: dict[str, Data] = {
        found.sheet_part: splice.sheet_pieces(
            skeleton,
            splice.merged_rows(
                package,
                found.sheet_part,
                ours,
                p,
                main,
                shown=range(block.top_row, block.last_row + 1),
                blank=_markers_left(found, block),
            ),
            link_xml,
            declaration if links else "",
        ),
        styles_part: styles_xml,
    }
    added = {styles_part: STYLES_TYPE} if package.name(styles_part) is None else {}
    more = [shown.relationship] if shown is not None and shown.relationship is not None else []
    if link_rels or more:
        replaced[rels_part(found.sheet_part)] = parts.sheet_rels(package, found.sheet_part, link_rels, rel_ns, more)
        if package.name(rels_part(found.sheet_part)) is None:
            added[rels_part(found.sheet_part)] = RELS_TYPE
    detail, detail_part, detail_rid = _detail(t, report, emit)
    detail_links, detail_rels = parts.link_ids(detail.links(ooxml.MAX_LINKS), set())
    taken.add(detail_part)
    listed = _drawing(
        package, detail_part, pictures.of_table(report.detail, detail.block), taken, main, detail_rels, shared
    )
    replaced[detail_part] = encoded(
        detail.pieces(
            report.detail.rows(), styles, style, detail_links, main or MAIN, rel_ns, listed.element if listed else None
        )
    )
    added[detail_part] = WORKSHEET_TYPE
    more = [listed.relationship] if listed is not None and listed.relationship is not None else []
    if detail_rels or more:
        replaced[rels_part(detail_part)] = parts.sheet_rels(package, detail_part, detail_rels, rel_ns, more)
        added[rels_part(detail_part)] = RELS_TYPE
    for made in (shown, listed):
        if made is not None:
            replaced.update(made.parts)
            added.update(made.overrides)
            added[rels_part(made.part)] = RELS_TYPE
    book, removed = parts.workbook(
        package, t.book_part, found.sheet_index, found.sheet_name, block, t.macros, emit, (detail, detail_rid)
    )
    signed = parts.signatures(package)
    if signed:
        emit("範本有數位簽章；加入檢索結果後簽章不再成立，檢索報告中已移除簽章")
        removed |= signed
        package_rels = parts.rels_without(package, "", signed)
        assert package_rels is not None  # they name the signature's origin, which goes: they change
        replaced["_rels/.rels"] = package_rels
    replaced[t.book_part] = book
    replaced.update(parts.other_sheets_unselected(package, found.sheet_index))
    if apart:  # after those: its own rewrite unselects it too
        part, sheet, at, blocked = apart
        summary, summary_added = _summary_sheet(package, part, sheet, at, lines if blocked is None else [], styles)
        replaced.update(summary)
        added.update(summary_added)
    book_rels = parts.rels_without(
        package, t.book_part, removed, styles_part, rel_ns, ((detail_rid, "worksheet", detail_part),)
    )
    if book_rels is not None:
        replaced[rels_part(t.book_part)] = book_rels
    types = parts.content_types(package, removed, added)
    if shown is not None or listed is not None:  # the images by their extension, as Excel types them
        types = pictures.with_types(types, {"png": pictures.PNG_TYPE}, {})
    replaced[CONTENT_TYPES_PART] = types
    copy_package(package, stream, replaced, removed)


def _drawing(
    package: Package, part: str, placed: list, taken: set[str], main: str, ids, shared: dict[bytes, str]
) -> pictures.Drawing | None:
    """A sheet's pictures: in its own drawing, kept whole, where it has one; the names they take added to
    `taken`, the images written to `shared` (the other sheet's drawing names them again)."""
    if not placed:
        return None
    sheet_ids = set(package.relationships(part)) | {rid for rid, _ in ids}
    own = pictures.existing(package, part) if package.name(part) is not None else None
    made = pictures.drawing(placed, part, taken, sheet_ids, existing=own, strict=main == STRICT_MAIN, shared=shared)
    taken |= set(made.parts)
    return made
