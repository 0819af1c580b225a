"""The detail sheet (書目明細): every entry with every detail, one row each,
for the searcher; the client's sheet keeps only what a client reads.

The same sheet in a new workbook and in a template: the bookkeeping lines at
its head, a blank row, then the table under a filter, its header frozen and
printed on every page, in the report's styles (the styles part the client's
table uses). Which columns it holds is the composition's; here is how it is
written, and a name and a part for it that clash with nothing of a template.
"""

from __future__ import annotations

import posixpath
import unicodedata
from collections.abc import Iterable, Iterator
from xml.sax.saxutils import escape

from . import layout
from .layout import Cell, Style, Table
from .ooxml import MAIN, REL, XML_DECLARATION, absolute_ref, rels_part
from .placement import Block
from .schema import in_order
from .sheetxml import block_rows, hyperlink_elements, row_xml

NAME = "書目明細"
DECLARATION = XML_DECLARATION.decode()


class Detail:
    """The detail sheet of one report: `table` under its `lines`, named `name`."""

    def __init__(self, table: Table, lines: Iterable[str], name: str = NAME):
        self.table = table
        self.name = name
        self.block = Block(len(table.publications), list(lines), top=1, columns=table.columns)

    @property
    def quoted(self) -> str:
        return "'" + self.name.replace("'", "''") + "'"

    def links(self, room: int) -> list[tuple[str, str]]:
        """(cell, address) of its links, at most `room` (Excel keeps no more in a sheet)."""
        return list(self.block.links(self.table.publications, room))

    def defined_names(self) -> list[tuple[str, bool, str]]:
        """(name, hidden, formula) of the names Excel keeps for its filter and print titles."""
        header = self.block.header_row
        return [
            ("_xlnm._FilterDatabase", True, f"{self.quoted}!{absolute_ref(self.block.table_ref())}"),
            # Its 序號 on every page too: a page of its later columns still says whose they are.
            ("_xlnm.Print_Titles", False, f"{self.quoted}!$A:$A,{self.quoted}!${header}:${header}"),
        ]

    def pieces(
        self,
        rows: Iterable[list[Cell]],
        styles,
        style: Style,
        links: list[tuple[str, str]],
        main: str = MAIN,
        rel: str = REL,
        drawing: str | None = None,
    ) -> Iterator[str]:
        """The sheet's XML as it is written, `rows` taken one at a time;
        `links` are (cell, relationship id), `main` and `rel` the namespaces
        of the workbook's flavour (Strict or transitional); `drawing`, its
        <drawing> element where it shows pictures."""
        block, table = self.block, self.table
        header = block.header_row
        below = f"A{header + 1}"
        # A header far down is not frozen: the panes would fill the screen.
        pane = (
            f'<pane ySplit="{header}" topLeftCell="{below}" activePane="bottomLeft" state="frozen"/>'
            f'<selection pane="bottomLeft" activeCell="{below}" sqref="{below}"/>'
            if header <= layout.FREEZE_UP_TO
            else ""
        )
        margins = " ".join(f'{side}="{value:g}"' for side, value in layout.MARGINS.items())
        widths = table.widths(style)
        pieces: dict[str, object] = {
            "dimension": f'<dimension ref="A1:{block.letters[-1]}{block.last_row}"/>',
            # Not selected: the report opens on the client's table alone.
            "sheetViews": f'<sheetViews><sheetView workbookViewId="0">{pane}</sheetView></sheetViews>',
            "sheetFormatPr": f'<sheetFormatPr defaultRowHeight="{layout.BASE_ROW_HEIGHT}"/>',
            "cols": "<cols>"
            + "".join(
                f'<col min="{i}" max="{i}" width="{w:g}" customWidth="1"/>' for i, w in enumerate(widths, start=1)
            )
            + "</cols>",
            "sheetData": [
                "<sheetData>",
                (row_xml(*row) for row in block_rows(block, rows, styles, table.heights(style))),
                "</sheetData>",
            ],
            "autoFilter": f'<autoFilter ref="{block.table_ref()}"/>',
            "pageMargins": f"<pageMargins {margins}/>",
            # Every detail is wide: printed across as many pages as it takes, never shrunk, an
            # entry's pages one after another.
            "pageSetup": f'<pageSetup paperSize="{layout.PAPER_SIZE}" pageOrder="overThenDown" '
            'orientation="landscape"/>',
            "headerFooter": f"<headerFooter><oddFooter>{escape(layout.FOOTER)}</oddFooter></headerFooter>",
        }
        if block.digits_ref():
            pieces["ignoredErrors"] = (
                f'<ignoredErrors><ignoredError sqref="{block.digits_ref()}" numberStoredAsText="1"/></ignoredErrors>'
            )
        if links:
            pieces["hyperlinks"] = ["<hyperlinks>", hyperlink_elements(links), "</hyperlinks>"]
        if drawing:
            pieces["drawing"] = drawing
        yield f'{DECLARATION}<worksheet xmlns="{main}" xmlns:r="{rel}">'
        yield from _flat(in_order("worksheet", pieces))
        yield "</worksheet>"


def _flat(pieces: Iterable) -> Iterator[str]:
    for piece in pieces:
        if isinstance(piece, str):
            yield piece
        else:
            yield from _flat(piece)


def _folded(name: str) -> str:
    # Excel tells sheet names apart without regard to case; width folded too, to be safe.
    return unicodedata.normalize("NFKC", name).casefold()


def sheet_name(taken: Iterable[str]) -> str:
    """NAME, else "NAME (2)", "NAME (3)"… as Excel names a copy: the first
    no sheet in `taken` has. Within Excel's 31 characters and free of the
    characters it refuses in a sheet's name (\\ / ? * [ ] :) by its making."""
    folded = {_folded(t) for t in taken}
    name, n = NAME, 1
    while _folded(name) in folded:
        n += 1
        name = f"{NAME} ({n})"
    return name


def part_name(book_part: str, taken: Iterable[str]) -> str:
    """A worksheet part beside the workbook's that the package holds neither
    as a part nor as a part's relationships (names compared as the package
    compares them, without regard to case)."""
    lowered = {t.lower().lstrip("/") for t in taken}
    folder = posixpath.join(posixpath.dirname(book_part), "worksheets")
    n = 1
    while True:
        part = posixpath.join(folder, f"sheet{n}.xml")
        if part.lower() not in lowered and rels_part(part).lower() not in lowered:
            return part
        n += 1
