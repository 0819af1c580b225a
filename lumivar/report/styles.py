"""The report's fonts, fills, borders and cell formats, as style sheet XML.

A new workbook's style sheet is written whole; into a template's, the same
items are appended after the template's own, so its numbers stay valid.
"""

from __future__ import annotations

from . import layout
from .layout import Cell, Style
from .ooxml import MAIN, STRICT_MAIN, XML_DECLARATION
from .sheetxml import xml_attribute

# What every style sheet starts with: the default font, the two fills Excel
# reserves, no border and the default formats.
DEFAULTS = {
    "fonts": ['<font><sz val="11"/><name val="Calibri"/></font>'],
    "fills": ['<fill><patternFill patternType="none"/></fill>', '<fill><patternFill patternType="gray125"/></fill>'],
    "cellStyleXfs": ['<xf numFmtId="0" fontId="0" fillId="0" borderId="0"/>'],
    "cellXfs": ['<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>'],
}


def _side(name: str) -> str:
    return f'<{name} style="{layout.BORDER_STYLE}"><color rgb="{layout.BORDER_COLOUR}"/></{name}>'


def borders(strict: bool = False) -> list[str]:
    """No border, and the table's thin one. Strict Open XML names a cell's
    sides by the direction of writing, start and end, where the transitional
    form has left and right."""
    sides = ("start", "end", "top", "bottom") if strict else ("left", "right", "top", "bottom")
    return [
        "<border>" + "".join(f"<{side}/>" for side in sides) + "<diagonal/></border>",
        "<border>" + "".join(_side(side) for side in sides) + "<diagonal/></border>",
    ]


class Styles:
    """The fonts, fills and cell formats the report uses, numbered from
    `font_base`, `fill_base`, `border_base` and `xf_base` (a template's own
    come first)."""

    FONTS = (layout.LATIN, layout.CJK, layout.HEAD, layout.LINK, layout.TITLE_FONT)
    FILLS = (layout.PLAIN, layout.BAD, layout.REPEAT, layout.HEAD)

    def __init__(
        self,
        style: Style,
        font_base=0,
        fill_base=0,
        border_base=0,
        xf_base=0,
        formats=(),
        date_format_id: int = 164,
        strict: bool = False,
    ):
        self.style = style
        self.strict = strict
        self.bases = (font_base, fill_base, border_base, xf_base)
        self.date_format_id = date_format_id
        self.formats = tuple(f for f in (layout.DATE, layout.WRAP) if f in formats)
        self.xfs: list[tuple[str, str, bool, str, str]] = []  # font, fill, bordered, alignment, format
        self._index: dict[tuple[str, str, bool, str], int] = {}
        # The plain formats first, then each cell format the table uses: the
        # numbers of the plain ones do not depend on the columns a list has.
        for form in ("", *self.formats):
            for font in self.FONTS:
                for fill in self.FILLS:
                    for bordered in (False, True):
                        self._index[(font, fill, bordered, form)] = xf_base + len(self.xfs)
                        # A date starts where a text beside it in its column does ("2033-03-05（推定）").
                        align = "center" if font == layout.HEAD else "left" if form == layout.DATE else ""
                        self.xfs.append((font, fill, bordered, align, form))

    @classmethod
    def for_new_workbook(cls, style: Style, formats=(), strict: bool = False) -> Styles:
        """After a new style sheet's defaults: one font, two fills, one format."""
        return cls(style, font_base=1, fill_base=2, border_base=0, xf_base=1, formats=formats, strict=strict)

    def xf(self, cell: Cell, bordered: bool = True) -> int:
        return self._index[(cell.font, cell.fill, bordered, cell.format if cell.format in self.formats else "")]

    def number_formats(self) -> list[str]:
        """The number formats the report adds to a style sheet."""
        if layout.DATE not in self.formats:
            return []
        return [f'<numFmt numFmtId="{self.date_format_id}" formatCode="{layout.DATE_FORMAT}"/>']

    def font_xml(self, kind: str) -> str:
        s = self.style
        size = s.title_size if kind == layout.TITLE_FONT else s.cell_size
        name = s.latin_font if kind in (layout.LATIN, layout.LINK) else s.cjk_font
        bold = "<b/>" if kind in (layout.HEAD, layout.TITLE_FONT) else ""
        link = f'<u/><color rgb="{layout.LINK_COLOUR}"/>' if kind == layout.LINK else ""
        return f'<font>{bold}{link}<sz val="{size:g}"/><name val={xml_attribute(name)}/></font>'

    def run_properties(self, kind: str, cjk: bool, p: str = "") -> str:
        """A rich-text run's font: the cell's size and weight, in the Chinese
        or the Latin font as the run's script asks."""
        s = self.style
        size = s.title_size if kind == layout.TITLE_FONT else s.cell_size
        bold = f"<{p}b/>" if kind in (layout.HEAD, layout.TITLE_FONT) else ""
        name = s.cjk_font if cjk else s.latin_font
        return f'<{p}rPr>{bold}<{p}sz val="{size:g}"/><{p}rFont val={xml_attribute(name)}/></{p}rPr>'

    def fill_xml(self, kind: str) -> str:
        colour = layout.HEAD_COLOUR if kind == layout.HEAD else layout.FILL_COLOURS.get(kind)
        if colour is None:
            return '<fill><patternFill patternType="none"/></fill>'
        return (
            f'<fill><patternFill patternType="solid"><fgColor rgb="{colour}"/><bgColor indexed="64"/>'
            "</patternFill></fill>"
        )

    def xf_xml(self, font: str, fill: str, bordered: bool, align: str, form: str = "") -> str:
        font_base, fill_base, border_base, _ = self.bases
        f = font_base + self.FONTS.index(font)
        fi = fill_base + self.FILLS.index(fill)
        b = border_base + (1 if bordered else 0)
        horizontal = f' horizontal="{align}"' if align else ""
        wrap = ' wrapText="1"' if form == layout.WRAP else ""
        alignment = f'<alignment{horizontal} vertical="center"{wrap}/>'
        number = f'numFmtId="{self.date_format_id}"' if form == layout.DATE else 'numFmtId="0"'
        applied = ' applyNumberFormat="1"' if form == layout.DATE else ""
        return (
            f'<xf {number} fontId="{f}" fillId="{fi}" borderId="{b}" xfId="0" applyFont="1" '
            f'applyFill="1" applyBorder="1" applyAlignment="1"{applied}>{alignment}</xf>'
        )

    def parts(self) -> dict[str, list[str]]:
        """The items to add, by the style sheet list they go in."""
        return {
            "fonts": [self.font_xml(k) for k in self.FONTS],
            "fills": [self.fill_xml(k) for k in self.FILLS],
            "borders": borders(self.strict),
            "cellXfs": [self.xf_xml(*xf) for xf in self.xfs],
        }


def new_stylesheet(styles: Styles) -> bytes:
    """A new workbook's style sheet: the defaults, then the report's items."""
    parts = styles.parts()
    # The default font sets the width unit: Arial's metrics are the same wherever the report is opened.
    base_font = f'<font><sz val="{layout.BASE_FONT_SIZE}"/><name val="{layout.BASE_FONT}"/></font>'
    fonts = [base_font] + parts["fonts"]
    fills = DEFAULTS["fills"] + parts["fills"]
    xfs = DEFAULTS["cellXfs"] + parts["cellXfs"]

    def listed(name: str, items: list[str]) -> str:
        return f'<{name} count="{len(items)}">{"".join(items)}</{name}>'

    numbers = listed("numFmts", styles.number_formats()) if styles.number_formats() else ""
    return XML_DECLARATION + (
        f'<styleSheet xmlns="{STRICT_MAIN if styles.strict else MAIN}">'
        + numbers
        + listed("fonts", fonts)
        + listed("fills", fills)
        + listed("borders", parts["borders"])
        + listed("cellStyleXfs", DEFAULTS["cellStyleXfs"])
        + listed("cellXfs", xfs)
        + '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
        "</styleSheet>"
    ).encode("utf-8")
