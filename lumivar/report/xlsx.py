"""A new report workbook, written as a stream of Office Open XML.

Each part is written straight into the zip, the table one row at a time, so
100,000 rows cost little time and memory. Every text is an inline string
cell: nothing from the user's file can become a formula. Elements follow the
order the schema requires; Excel asks to repair a workbook otherwise.
"""
from __future__ import annotations

import re
import zipfile
from typing import IO
from xml.sax.saxutils import escape, quoteattr

from . import layout
from .layout import Cell, Style, Table
from .ooxml import column_name

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
FOOTER = "&amp;C第 &amp;P 頁，共 &amp;N 頁"

# Characters XML 1.0 cannot hold.
_ILLEGAL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def xml_text(text: str) -> str:
    if text.isprintable() and not ("&" in text or "<" in text or ">" in text):
        return text  # the usual case, without a copy
    return escape(_ILLEGAL.sub("", text))


_COLUMNS = [column_name(i) for i in range(len(layout.HEADERS))]


class Styles:
    """The fonts, fills and cell formats the report uses, numbered from
    `font_base`, `fill_base`, `border_base` and `xf_base` (a template's own
    come first)."""

    FONTS = (layout.LATIN, layout.CJK, layout.HEAD, layout.LINK, layout.TITLE_FONT)
    FILLS = (layout.PLAIN, layout.BAD, layout.REPEAT, layout.HEAD)

    def __init__(self, style: Style, font_base=0, fill_base=0, border_base=0, xf_base=0):
        self.style = style
        self.bases = (font_base, fill_base, border_base, xf_base)
        self.xfs: list[tuple[str, str, bool, str]] = []  # font, fill, bordered, alignment
        self._index: dict[tuple[str, str, bool], int] = {}
        for font in self.FONTS:
            for fill in self.FILLS:
                for bordered in (False, True):
                    key = (font, fill, bordered)
                    self._index[key] = xf_base + len(self.xfs)
                    align = "center" if font == layout.HEAD else ""
                    self.xfs.append((font, fill, bordered, align))

    def xf(self, cell: Cell, bordered: bool = True) -> int:
        return self._index[(cell.font, cell.fill, bordered)]

    def font_xml(self, kind: str) -> str:
        s = self.style
        size = s.title_size if kind == layout.TITLE_FONT else s.cell_size
        name = s.latin_font if kind in (layout.LATIN, layout.LINK) else s.cjk_font
        bold = "<b/>" if kind in (layout.HEAD, layout.TITLE_FONT) else ""
        link = f'<u/><color rgb="{layout.LINK_COLOUR}"/>' if kind == layout.LINK else ""
        return f"<font>{bold}{link}<sz val=\"{size:g}\"/><name val={quoteattr(name)}/></font>"

    def fill_xml(self, kind: str) -> str:
        colour = layout.HEAD_COLOUR if kind == layout.HEAD else layout.FILL_COLOURS.get(kind)
        if colour is None:
            return '<fill><patternFill patternType="none"/></fill>'
        return f'<fill><patternFill patternType="solid"><fgColor rgb="{colour}"/><bgColor indexed="64"/></patternFill></fill>'

    BORDERS = (
        "<border><left/><right/><top/><bottom/><diagonal/></border>",
        '<border><left style="thin"><color rgb="FFA6A6A6"/></left><right style="thin"><color rgb="FFA6A6A6"/></right>'
        '<top style="thin"><color rgb="FFA6A6A6"/></top><bottom style="thin"><color rgb="FFA6A6A6"/></bottom>'
        "<diagonal/></border>",
    )

    def xf_xml(self, font: str, fill: str, bordered: bool, align: str) -> str:
        font_base, fill_base, border_base, _ = self.bases
        f = font_base + self.FONTS.index(font)
        fi = fill_base + self.FILLS.index(fill)
        b = border_base + (1 if bordered else 0)
        alignment = f'<alignment horizontal="{align}" vertical="center"/>' if align else '<alignment vertical="center"/>'
        return (
            f'<xf numFmtId="0" fontId="{f}" fillId="{fi}" borderId="{b}" xfId="0" applyFont="1" '
            f'applyFill="1" applyBorder="1" applyAlignment="1">{alignment}</xf>'
        )

    def parts(self) -> tuple[list[str], list[str], list[str], list[str]]:
        return (
            [self.font_xml(k) for k in self.FONTS],
            [self.fill_xml(k) for k in self.FILLS],
            list(self.BORDERS),
            [self.xf_xml(*xf) for xf in self.xfs],
        )


def cell_xml(ref: str, cell: Cell, xf: int) -> str:
    value = cell.value
    if value is None:
        return f'<c r="{ref}" s="{xf}"/>'
    if isinstance(value, int):
        return f'<c r="{ref}" s="{xf}"><v>{value}</v></c>'
    text = str(value)
    space = ' xml:space="preserve"' if text != text.strip() else ""
    return f'<c r="{ref}" s="{xf}" t="inlineStr"><is><t{space}>{xml_text(text)}</t></is></c>'


def row_xml(number: int, cells: list[tuple[int, str]], attributes: str = "") -> str:
    return f'<row r="{number}"{attributes}>' + "".join(xml for _, xml in cells) + "</row>"


class Block:
    """The rows the report adds: the summary lines, the header and the table.

    Without a marker the summary comes first (from row `top`), then a blank
    row, the header and the table. At a marker the header takes the marker's
    row and the summary follows the table after a blank row."""

    def __init__(self, table: Table, *, top: int = 1, title: bool = False, marker_row: int | None = None,
                 first_column: int = 0):
        self.table = table
        self.first_column = first_column
        self.lines = ([layout.TITLE] if title else []) + table.summary()
        self.title = title
        count = len(table.publications)
        if marker_row is None:
            self.lines_row = top
            self.header_row = top + len(self.lines) + 1
            self.last_row = self.header_row + count
        else:
            self.header_row = marker_row
            self.lines_row = marker_row + count + 2
            self.last_row = self.lines_row + len(self.lines) - 1
        self.table_last_row = self.header_row + count
        self.letters = [column_name(c) for c in self.columns()]

    @property
    def top_row(self) -> int:
        return min(self.lines_row, self.header_row)

    def columns(self) -> range:
        return range(self.first_column, self.first_column + len(layout.HEADERS))

    def _cells(self, number: int, cells: list[Cell], styles: Styles, bordered: bool = True):
        return [
            (column, cell_xml(f"{letters}{number}", cell, styles.xf(cell, bordered)))
            for column, letters, cell in zip(self.columns(), self.letters, cells)
        ]

    def rows(self, styles: Styles, emit):
        """(row number, [(column, cell XML)]) in row order; each table row is announced by `emit`."""
        if self.lines_row < self.header_row:
            yield from self._summary(styles)
        yield self.header_row, self._cells(self.header_row, self.table.header(), styles)
        total = len(self.table.publications)
        for index, cells in enumerate(self.table.rows(), start=1):
            emit(layout.progress(index, total, self.table.publications[index - 1]))
            yield self.header_row + index, self._cells(self.header_row + index, cells, styles)
        if self.lines_row > self.header_row:
            yield from self._summary(styles)

    def _summary(self, styles: Styles):
        for i, line in enumerate(self.lines):
            cell = Cell(line, layout.TITLE_FONT) if self.title and i == 0 else layout.text_cell(line)
            yield self.lines_row + i, self._cells(self.lines_row + i, [cell], styles, bordered=False)

    def links(self) -> list[tuple[str, str]]:
        column = column_name(self.first_column + layout.ID_COLUMN)
        return [
            (f"{column}{self.header_row + i}", item.address)
            for i, item in enumerate(self.table.publications, start=1)
            if item.address
        ]

    def table_ref(self) -> str:
        first, last = column_name(self.first_column), column_name(self.first_column + len(layout.HEADERS) - 1)
        return f"{first}{self.header_row}:{last}{self.table_last_row}"

    def digits_ref(self) -> str:
        column = column_name(self.first_column + layout.DIGITS_COLUMN)
        return f"{column}{self.header_row + 1}:{column}{max(self.table_last_row, self.header_row + 1)}"


def hyperlink_elements(links: list[tuple[str, str]], prefix: str = "", r: str = "r", declare: str = ""):
    """A sheet's <hyperlink> elements for (cell, relationship id) pairs, in the
    sheet's prefix; `declare` names the relationship namespace where the sheet
    does not."""
    local = f' xmlns:{r}="{declare}"' if declare else ""
    for ref, rid in links:
        yield f'<{prefix}hyperlink ref="{ref}" {r}:id="{rid}"{local}/>'


def link_relationships(links: list[tuple[str, str]], rel_ns: str = REL, prefix: str = ""):
    """The relationships of (relationship id, address) pairs."""
    for rid, address in links:
        yield (f'<{prefix}Relationship Id="{rid}" Type="{rel_ns}/hyperlink" Target={quoteattr(address)} '
               'TargetMode="External"/>')


def print_setup_xml() -> str:
    return (
        '<pageMargins left="0.5" right="0.5" top="0.75" bottom="0.75" header="0.3" footer="0.3"/>'
        '<pageSetup paperSize="9" orientation="portrait" fitToWidth="1" fitToHeight="0"/>'
        f"<headerFooter><oddFooter>{FOOTER}</oddFooter></headerFooter>"
    )


def write_new(stream: IO[bytes], table: Table, style: Style, emit) -> None:
    """A workbook of one sheet: the title, the summary and the table."""
    styles = Styles(style, font_base=1, fill_base=2, border_base=0, xf_base=1)
    block = Block(table, top=1, title=True)
    widths = table.widths(style)
    header = block.header_row
    sheet_name = layout.TITLE
    with zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED, compresslevel=5) as package:
        with package.open("xl/worksheets/sheet1.xml", "w", force_zip64=True) as part:
            out = _Buffered(part)
            out.write(
                f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<worksheet xmlns="{MAIN}" xmlns:r="{REL}">'
                '<sheetPr><pageSetUpPr fitToPage="1"/></sheetPr>'
                f'<dimension ref="A1:{column_name(len(layout.HEADERS) - 1)}{block.last_row}"/>'
                '<sheetViews><sheetView tabSelected="1" workbookViewId="0">'
                f'<pane ySplit="{header}" topLeftCell="A{header + 1}" activePane="bottomLeft" state="frozen"/>'
                f'<selection pane="bottomLeft" activeCell="A{header + 1}" sqref="A{header + 1}"/>'
                "</sheetView></sheetViews>"
                '<sheetFormatPr defaultRowHeight="15"/><cols>'
                + "".join(
                    f'<col min="{i}" max="{i}" width="{w:g}" customWidth="1"/>' for i, w in enumerate(widths, start=1)
                )
                + "</cols><sheetData>"
            )
            for number, cells in block.rows(styles, emit):
                out.write(row_xml(number, cells))
            numbered = [(ref, f"rId{n}", address) for n, (ref, address) in enumerate(block.links(), start=1)]
            out.write(f'</sheetData><autoFilter ref="{block.table_ref()}"/>')
            if numbered:
                out.write("<hyperlinks>")
                for element in hyperlink_elements([(ref, rid) for ref, rid, _ in numbered]):
                    out.write(element)
                out.write("</hyperlinks>")
            out.write(
                print_setup_xml() +
                f'<ignoredErrors><ignoredError sqref="{block.digits_ref()}" numberStoredAsText="1"/></ignoredErrors>'
                "</worksheet>"
            )
            out.flush()
        rels = "".join(link_relationships([(rid, address) for _, rid, address in numbered]))
        package.writestr(
            "xl/worksheets/_rels/sheet1.xml.rels",
            f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="{PKG_REL}">{rels}</Relationships>',
        )
        fonts, fills, borders, xfs = styles.parts()
        package.writestr("xl/styles.xml", styles_xml(style, fonts, fills, borders, xfs))
        quoted = "'" + sheet_name.replace("'", "''") + "'"
        package.writestr(
            "xl/workbook.xml",
            f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<workbook xmlns="{MAIN}" xmlns:r="{REL}">'
            '<bookViews><workbookView activeTab="0"/></bookViews>'
            f'<sheets><sheet name={quoteattr(sheet_name)} sheetId="1" r:id="rId1"/></sheets>'
            f'<definedNames><definedName name="_xlnm._FilterDatabase" localSheetId="0" hidden="1">'
            f"{quoted}!{absolute_ref(block.table_ref())}</definedName>"
            f'<definedName name="_xlnm.Print_Titles" localSheetId="0">{quoted}!${header}:${header}</definedName>'
            "</definedNames></workbook>",
        )
        package.writestr(
            "xl/_rels/workbook.xml.rels",
            f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="{PKG_REL}">'
            f'<Relationship Id="rId1" Type="{REL}/worksheet" Target="worksheets/sheet1.xml"/>'
            f'<Relationship Id="rId2" Type="{REL}/styles" Target="styles.xml"/></Relationships>',
        )
        package.writestr(
            "_rels/.rels",
            f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="{PKG_REL}">'
            f'<Relationship Id="rId1" Type="{REL}/officeDocument" Target="xl/workbook.xml"/></Relationships>',
        )
        ct = "application/vnd.openxmlformats-officedocument.spreadsheetml"
        package.writestr(
            "[Content_Types].xml",
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            f'<Override PartName="/xl/workbook.xml" ContentType="{ct}.sheet.main+xml"/>'
            f'<Override PartName="/xl/worksheets/sheet1.xml" ContentType="{ct}.worksheet+xml"/>'
            f'<Override PartName="/xl/styles.xml" ContentType="{ct}.styles+xml"/></Types>',
        )


def absolute_ref(ref: str) -> str:
    return ":".join(re.sub(r"([A-Z]+)(\d+)", r"$\1$\2", part) for part in ref.split(":"))


def styles_xml(style: Style, fonts: list[str], fills: list[str], borders: list[str], xfs: list[str]) -> str:
    base_font = f'<font><sz val="11"/><name val={quoteattr(style.latin_font)}/></font>'
    base_fill = '<fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill>'
    # The workbook's own defaults come first (font 0, fills 0 and 1, border 0, format 0).
    return (
        f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<styleSheet xmlns="{MAIN}">'
        f'<fonts count="{len(fonts) + 1}">{base_font}{"".join(fonts)}</fonts>'
        f'<fills count="{len(fills) + 2}">{base_fill}{"".join(fills)}</fills>'
        f'<borders count="{len(borders)}">{"".join(borders)}</borders>'
        '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
        f'<cellXfs count="{len(xfs) + 1}"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>{"".join(xfs)}</cellXfs>'
        '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
        "</styleSheet>"
    )


class _Buffered:
    """Collects small writes into large ones for the zip stream."""

    def __init__(self, part: IO[bytes], size: int = 1 << 18):
        self.part, self.size, self.pieces, self.length = part, size, [], 0

    def write(self, text: str) -> None:
        self.pieces.append(text)
        self.length += len(text)
        if self.length >= self.size:
            self.flush()

    def flush(self) -> None:
        if self.pieces:
            self.part.write("".join(self.pieces).encode("utf-8"))
            self.pieces, self.length = [], 0
