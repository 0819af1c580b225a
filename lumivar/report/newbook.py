"""A new report workbook: the client's sheet (the title, the summary and the
table) and the detail sheet (書目明細) beside it.

Each part is written straight into the zip, the table one row at a time, so
100,000 rows cost little time and memory. Each part's elements are put in
the schema's order by `schema.in_order`.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from typing import IO
from xml.sax.saxutils import escape, quoteattr

from . import detailsheet, layout, ooxml, pictures
from .compose import Report
from .detailsheet import Detail
from .layout import Cell, Style, Table
from .ooxml import (
    CONTENT_TYPES,
    MAIN,
    PKG_REL,
    REL,
    RELS_TYPE,
    SHEET_MAIN_TYPE,
    STYLES_TYPE,
    WORKSHEET_TYPE,
    XML_DECLARATION,
    absolute_ref,
)
from .packager import encoded, put, writer
from .placement import Block, columns_within_sheet
from .schema import in_order
from .sheetxml import block_rows, cell_xml, hyperlink_elements, link_relationships, row_xml
from .styles import Styles, new_stylesheet

SHEET = "xl/worksheets/sheet1.xml"
DETAIL_SHEET = "xl/worksheets/sheet2.xml"
DECLARATION = XML_DECLARATION.decode()


def _flat(pieces: Iterable) -> Iterator[str]:
    for piece in pieces:
        if isinstance(piece, str):
            yield piece
        else:
            yield from _flat(piece)


def _sheet(
    block: Block,
    table: Table,
    rows: Iterable[list[Cell]],
    styles: Styles,
    style: Style,
    links: list[tuple[str, str, str]],
    legend: Sequence[str] = (),
    drawing: str | None = None,
) -> Iterator[str]:
    header = block.header_row
    last = block.last_row + 1 + len(legend) if legend else block.last_row  # a blank row, then the legend
    below = f"A{header + 1}"
    margins = " ".join(f'{side}="{value:g}"' for side, value in layout.MARGINS.items())
    orientation, scale = page_setup(table, style)
    widths = table.widths(style)
    pieces: dict[str, object] = {
        "dimension": f'<dimension ref="A1:{block.letters[-1]}{last}"/>',
        "sheetViews": '<sheetViews><sheetView tabSelected="1" workbookViewId="0">'
        f'<pane ySplit="{header}" topLeftCell="{below}" activePane="bottomLeft" state="frozen"/>'
        f'<selection pane="bottomLeft" activeCell="{below}" sqref="{below}"/></sheetView></sheetViews>',
        "sheetFormatPr": f'<sheetFormatPr defaultRowHeight="{layout.BASE_ROW_HEIGHT}"/>',
        "cols": "<cols>"
        + "".join(f'<col min="{i}" max="{i}" width="{w:g}" customWidth="1"/>' for i, w in enumerate(widths, start=1))
        + "</cols>",
        "sheetData": [
            "<sheetData>",
            (row_xml(*row) for row in block_rows(block, rows, styles, table.heights(style))),
            legend_rows(legend, block.last_row + 2, styles),
            "</sheetData>",
        ],
        "autoFilter": f'<autoFilter ref="{block.table_ref()}"/>',
        "pageMargins": f"<pageMargins {margins}/>",
        "pageSetup": f'<pageSetup paperSize="{layout.PAPER_SIZE}" scale="{scale}" orientation="{orientation}"/>',
        "headerFooter": f"<headerFooter><oddFooter>{escape(layout.FOOTER)}</oddFooter></headerFooter>",
    }
    if block.digits_ref():
        pieces["ignoredErrors"] = (
            f'<ignoredErrors><ignoredError sqref="{block.digits_ref()}" numberStoredAsText="1"/></ignoredErrors>'
        )
    if drawing:
        pieces["drawing"] = drawing
    if links:
        # Taken when the rows have been written: the links' list is made as they are.
        pieces["hyperlinks"] = [
            "<hyperlinks>",
            hyperlink_elements([(ref, rid) for ref, rid, _ in links]),
            "</hyperlinks>",
        ]
    yield f'{DECLARATION}<worksheet xmlns="{MAIN}" xmlns:r="{REL}">'
    yield from _flat(in_order("worksheet", pieces))
    yield "</worksheet>"


def legend_rows(legend: Sequence[str], first: int, styles: Styles) -> Iterator[str]:
    """The categories' legend below the table, a line a row from `first`."""
    for number, line in enumerate(legend, start=first):
        cell = layout.text_cell(line)
        yield row_xml(number, [(0, cell_xml(f"A{number}", cell, styles.xf(cell, False), "", styles))])


def page_setup(table: Table, style: Style) -> tuple[str, int]:
    """Portrait where the table fits a portrait page at full size, else
    landscape at the scale it fits at (its long texts wrapped narrower
    rather than the page shrunk below a readable size)."""
    left, right = layout.MARGINS["left"], layout.MARGINS["right"]
    if layout.scale_for(table.widths(style), layout.room_mm(layout.PAPER_SIZE, False, left, right)) == 100:
        return layout.ORIENTATION, 100
    return "landscape", table.fit(style, layout.room_mm(layout.PAPER_SIZE, True, left, right), layout.SCALE_FLOOR)


def _workbook(block: Block, detail: Detail) -> bytes:
    name = layout.TITLE
    quoted = "'" + name.replace("'", "''") + "'"
    header = block.header_row
    hidden = ' hidden="1"'
    names = "".join(
        f'<definedName name="{defined}" localSheetId="1"{hidden if hides else ""}>{escape(text)}</definedName>'
        for defined, hides, text in detail.defined_names()
    )
    pieces = {
        # Opens on the client's table.
        "bookViews": '<bookViews><workbookView activeTab="0"/></bookViews>',
        "sheets": f'<sheets><sheet name={quoteattr(name)} sheetId="1" r:id="rId1"/>'
        f'<sheet name={quoteattr(detail.name)} sheetId="2" r:id="rId3"/></sheets>',
        "definedNames": '<definedNames><definedName name="_xlnm._FilterDatabase" localSheetId="0" hidden="1">'
        f"{quoted}!{absolute_ref(block.table_ref())}</definedName>"
        f'<definedName name="_xlnm.Print_Titles" localSheetId="0">{quoted}!${header}:${header}'
        f"</definedName>{names}</definedNames>",
    }
    return (
        f'{DECLARATION}<workbook xmlns="{MAIN}" xmlns:r="{REL}">'
        + "".join(in_order("workbook", pieces))
        + "</workbook>"
    ).encode("utf-8")


def _relationships(items: Iterable[str]) -> bytes:
    return (f'{DECLARATION}<Relationships xmlns="{PKG_REL}">' + "".join(items) + "</Relationships>").encode("utf-8")


def write_new(stream: IO[bytes], report: Report, rows: Iterable[list[Cell]], style: Style, emit) -> None:
    """The report as a new workbook; `rows` are the client's table's rows as they are to be taken."""
    table = report.client
    columns_within_sheet(table, 0, emit)
    room = ooxml.MAX_LINKS
    note = layout.links_note(table.publications, room)
    if note:
        emit(note)
    columns_within_sheet(report.detail, 0, emit, detailsheet.NAME)
    detail = Detail(report.detail, report.bookkeeping)
    # One style sheet for both sheets: the formats either table uses.
    styles = Styles.for_new_workbook(style, {c.format for c in table.columns + report.detail.columns})
    block = Block(len(table.publications), report.summary, top=1, title=True, columns=table.columns)
    numbered = enumerate(block.links(table.publications, room), start=1)
    links = [(ref, f"rId{n}", address) for n, (ref, address) in numbered]
    detail_links = [(ref, f"rId{n}", address) for n, (ref, address) in enumerate(detail.links(room), start=1)]
    # Each sheet's pictures in a drawing of its own, ids and names beside what is written.
    taken = {SHEET, DETAIL_SHEET, "xl/styles.xml", "xl/workbook.xml"}
    drawings: list[pictures.Drawing | None] = []
    shared: dict[bytes, str] = {}  # a drawing shown on both sheets is one image of the package
    for part, placed, used in (
        (SHEET, pictures.of_table(table, block), links),
        (DETAIL_SHEET, pictures.of_table(report.detail, detail.block), detail_links),
    ):
        made = pictures.drawing(placed, part, taken, [rid for _, rid, _ in used], shared=shared) if placed else None
        taken |= set(made.parts) if made else set()
        drawings.append(made)
    shown, listed = drawings
    with writer(stream) as package:
        put(
            package,
            SHEET,
            encoded(_sheet(block, table, rows, styles, style, links, report.legend, shown.element if shown else None)),
        )
        put(
            package,
            "xl/worksheets/_rels/sheet1.xml.rels",
            _relationships(
                [
                    *link_relationships([(rid, address) for _, rid, address in links]),
                    *([pictures.relationship_xml(shown.relationship)] if shown and shown.relationship else []),
                ]
            ),
        )
        detail_pieces = detail.pieces(
            report.detail.rows(),
            styles,
            style,
            [(ref, rid) for ref, rid, _ in detail_links],
            drawing=listed.element if listed else None,
        )
        put(package, DETAIL_SHEET, encoded(detail_pieces))
        put(
            package,
            "xl/worksheets/_rels/sheet2.xml.rels",
            _relationships(
                [
                    *link_relationships([(rid, address) for _, rid, address in detail_links]),
                    *([pictures.relationship_xml(listed.relationship)] if listed and listed.relationship else []),
                ]
            ),
        )
        for made in drawings:
            for name, data in (made.parts if made else {}).items():
                put(package, name, data)
        put(package, "xl/styles.xml", new_stylesheet(styles))
        put(package, "xl/workbook.xml", _workbook(block, detail))
        put(
            package,
            "xl/_rels/workbook.xml.rels",
            _relationships(
                [
                    f'<Relationship Id="rId1" Type="{REL}/worksheet" Target="worksheets/sheet1.xml"/>',
                    f'<Relationship Id="rId2" Type="{REL}/styles" Target="styles.xml"/>',
                    f'<Relationship Id="rId3" Type="{REL}/worksheet" Target="worksheets/sheet2.xml"/>',
                ]
            ),
        )
        put(
            package,
            "_rels/.rels",
            _relationships([f'<Relationship Id="rId1" Type="{REL}/officeDocument" Target="xl/workbook.xml"/>']),
        )
        types = (
            f'{DECLARATION}<Types xmlns="{CONTENT_TYPES}">'
            f'<Default Extension="rels" ContentType="{RELS_TYPE}"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            f'<Override PartName="/xl/workbook.xml" ContentType="{SHEET_MAIN_TYPE}"/>'
            f'<Override PartName="/{SHEET}" ContentType="{WORKSHEET_TYPE}"/>'
            f'<Override PartName="/{DETAIL_SHEET}" ContentType="{WORKSHEET_TYPE}"/>'
            f'<Override PartName="/xl/styles.xml" ContentType="{STYLES_TYPE}"/></Types>'
        ).encode()
        if any(drawings):
            overrides = {part: kind for made in drawings if made for part, kind in made.overrides.items()}
            types = pictures.with_types(types, {"png": pictures.PNG_TYPE}, overrides)
        put(package, "[Content_Types].xml", types)
