"""The order of the parts' elements, and edits that keep it.

Excel refuses or "repairs" a part whose children are out of the schema's
order, where LibreOffice, openpyxl and calamine read on; a repair can drop
the user's content. These sequences are the complex types of the ECMA-376
transitional schema (sml.xsd, ECMA-376-4) that the report writes
or edits; both writers and the template editor place elements by them, and
the tests hold every written part to them.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TypeVar

from lxml import etree

from .ooxml import local


def _sequence(text: str) -> tuple[str, ...]:
    return tuple(text.split())


ORDER: dict[str, tuple[str, ...]] = {
    # CT_Worksheet
    "worksheet": _sequence(
        "sheetPr dimension sheetViews sheetFormatPr cols sheetData sheetCalcPr sheetProtection protectedRanges "
        "scenarios autoFilter sortState dataConsolidate customSheetViews mergeCells phoneticPr conditionalFormatting "
        "dataValidations hyperlinks printOptions pageMargins pageSetup headerFooter rowBreaks colBreaks "
        "customProperties cellWatches ignoredErrors smartTags drawing legacyDrawing legacyDrawingHF drawingHF picture "
        "oleObjects controls webPublishItems tableParts extLst"
    ),
    # CT_Stylesheet
    "styleSheet": _sequence(
        "numFmts fonts fills borders cellStyleXfs cellXfs cellStyles dxfs tableStyles colors extLst"
    ),
    # CT_Workbook
    "workbook": _sequence(
        "fileVersion fileSharing workbookPr workbookProtection bookViews sheets functionGroups externalReferences "
        "definedNames calcPr oleSize customWorkbookViews pivotCaches smartTagPr smartTagTypes webPublishing "
        "fileRecoveryPr webPublishObjects extLst"
    ),
    "sheetPr": _sequence("tabColor outlinePr pageSetUpPr"),  # CT_SheetPr
    "sheetViews": _sequence("sheetView extLst"),  # CT_SheetViews
    "sheetView": _sequence("pane selection pivotSelection extLst"),  # CT_SheetView
    "headerFooter": _sequence("oddHeader oddFooter evenHeader evenFooter firstHeader firstFooter"),  # CT_HeaderFooter
    "ignoredErrors": _sequence("ignoredError extLst"),  # CT_IgnoredErrors
    "row": _sequence("c extLst"),  # CT_Row
    "c": _sequence("f v is extLst"),  # CT_Cell
    "is": _sequence("t r rPh phoneticPr"),  # CT_Rst
    "xf": _sequence("alignment protection extLst"),  # CT_Xf
    "border": _sequence("start end left right top bottom diagonal vertical horizontal"),  # CT_Border
    "patternFill": _sequence("fgColor bgColor"),  # CT_PatternFill
    # (CT_Font is a choice of any order, so it has no entry.)
}


def child(parent, name: str):
    return next((c for c in parent if local(c.tag) == name), None)


def element_like(parent, tag: str, /, **attributes):
    """A new element in the parent's namespace (not yet placed)."""
    namespace = etree.QName(parent).namespace
    element = etree.Element(f"{{{namespace}}}{tag}" if namespace else tag)
    for key, value in attributes.items():
        element.set(key, str(value))
    return element


def place(parent, element) -> None:
    """Puts `element` among `parent`'s children where the schema wants it:
    after every sibling of its own or an earlier kind."""
    order = ORDER.get(local(parent.tag))
    name = local(element.tag)
    if order is None or name not in order:
        parent.append(element)
        return
    rank = order.index(name)
    for index, existing in enumerate(parent):
        other = local(existing.tag)
        if other in order and order.index(other) > rank:
            parent.insert(index, element)
            return
    parent.append(element)


def make(parent, tag: str, /, **attributes):
    """A new child in the parent's namespace, where the schema wants it."""
    element = element_like(parent, tag, **attributes)
    place(parent, element)
    return element


def child_or_make(parent, tag: str):
    """The parent's child of that name, made where the schema wants it if missing."""
    found = child(parent, tag)
    return found if found is not None else make(parent, tag)


_Piece = TypeVar("_Piece")


def in_order(part: str, pieces: Mapping[str, _Piece]) -> list[_Piece]:
    """A new part's pieces, keyed by their element's name, in the schema's order."""
    unknown = set(pieces) - set(ORDER[part])
    if unknown:
        raise ValueError(f"not children of {part}: {sorted(unknown)}")
    return [pieces[name] for name in ORDER[part] if name in pieces]
