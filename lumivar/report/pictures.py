"""Pictures anchored in cells: the drawing parts a sheet's pictures need,
for a new workbook and for a template's sheet alike.

A sheet shows pictures through one drawing part (xl/drawings/drawingN.xml),
which the sheet names by a <drawing r:id> and its relationships; the drawing
names each image (xl/media/imageN.png) by its own relationships. Each
picture is a oneCellAnchor: its top left corner in its cell, its size its
own, so it moves with its row and never stretches over the next when the
row is as high as the picture. A template sheet that has a drawing already
(pictures, charts, shapes) keeps it: ours are appended to it, with ids and
names that never clash with what it holds.
"""

from __future__ import annotations

import posixpath
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from xml.sax.saxutils import quoteattr

from lxml import etree

from .drawings import Thumbnail
from .layout import PICTURE_PAD, PICTURE_ROW
from .ooxml import PKG_REL, REL, STRICT_MAIN, STRICT_REL, local, parse, relative, serialize
from .schema import make
from .sheetxml import xml_chars

DRAWING_TYPE = "application/vnd.openxmlformats-officedocument.drawing+xml"
PNG_TYPE = "image/png"
XDR = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"
DML = "http://schemas.openxmlformats.org/drawingml/2006/main"
STRICT_XDR = "http://purl.oclc.org/ooxml/drawingml/spreadsheetDrawing"
STRICT_DML = "http://purl.oclc.org/ooxml/drawingml/main"

EMU = 9525  # English metric units a pixel (at 96 dpi)
PAD = PICTURE_PAD  # pixels between the cell's edges and its picture
ROW_HEIGHT = PICTURE_ROW  # points: a row that holds a thumbnail whole


@dataclass(frozen=True)
class Picture:
    row: int  # the sheet's row, from 1
    column: int  # the sheet's column, from 1
    image: Thumbnail
    name: str  # what it shows, for a screen reader ("EP1000000A1")


@dataclass
class Drawing:
    """What a sheet's pictures add to a package."""

    part: str  # the drawing part
    parts: dict[str, bytes]  # every part to write: the drawing, its relationships, the images
    relationship: tuple[str, str, str] | None  # (id, type, target) the sheet's relationships add; None: it has it
    overrides: dict[str, str] = field(default_factory=dict)  # part → content type
    defaults: dict[str, str] = field(default_factory=dict)  # extension → content type

    @property
    def element(self) -> str | None:
        """The sheet's <drawing> element, where the sheet needs one (it has none yet)."""
        if self.relationship is None:
            return None
        return f"<drawing r:id={quoteattr(self.relationship[0])}/>"


def column_width(pictures: Iterable[Picture]) -> float:
    """The width (in Excel's character units) of a column that holds the widest picture whole."""
    widest = max((p.image.width for p in pictures), default=0)
    return round((widest + 2 * PAD + 5) / 7, 1) if widest else 0.0


def _free(taken: set[str], pattern: str) -> Iterator[str]:
    """Part names of a pattern ("xl/media/image{}.png") that the package does not hold."""
    number = 1
    while True:
        name = pattern.format(number)
        if name.lower() not in taken:
            taken.add(name.lower())
            yield name
        number += 1


def _anchor(picture: Picture, number: int, rid: str, xdr: str, dml: str, rel: str) -> etree._Element:
    x = f"{{{xdr}}}"
    a = f"{{{dml}}}"
    anchor = etree.Element(f"{x}oneCellAnchor", nsmap={"xdr": xdr, "a": dml, "r": rel})
    start = etree.SubElement(anchor, f"{x}from")
    for tag, value in (("col", picture.column - 1), ("colOff", PAD * EMU), ("row", picture.row - 1)):
        etree.SubElement(start, f"{x}{tag}").text = str(value)
    etree.SubElement(start, f"{x}rowOff").text = str(PAD * EMU)
    cx, cy = str(picture.image.width * EMU), str(picture.image.height * EMU)
    etree.SubElement(anchor, f"{x}ext", cx=cx, cy=cy)
    pic = etree.SubElement(anchor, f"{x}pic")
    names = etree.SubElement(pic, f"{x}nvPicPr")
    label = xml_chars(picture.name)[:200]
    etree.SubElement(names, f"{x}cNvPr", id=str(number), name=f"代表圖 {number}", descr=label)
    locks = etree.SubElement(names, f"{x}cNvPicPr")
    etree.SubElement(locks, f"{a}picLocks", noChangeAspect="1")
    fill = etree.SubElement(pic, f"{x}blipFill")
    etree.SubElement(fill, f"{a}blip").set(f"{{{rel}}}embed", rid)
    etree.SubElement(etree.SubElement(fill, f"{a}stretch"), f"{a}fillRect")
    shape = etree.SubElement(pic, f"{x}spPr")
    frame = etree.SubElement(shape, f"{a}xfrm")
    etree.SubElement(frame, f"{a}off", x="0", y="0")
    etree.SubElement(frame, f"{a}ext", cx=cx, cy=cy)
    etree.SubElement(etree.SubElement(shape, f"{a}prstGeom", prst="rect"), f"{a}avLst")
    etree.SubElement(anchor, f"{x}clientData")
    return anchor


def _relationships(root, rel_ns: str, items: list[tuple[str, str, str]]) -> bytes:
    namespace = etree.QName(root).namespace or PKG_REL
    for rid, kind, target in items:
        etree.SubElement(root, f"{{{namespace}}}Relationship", Id=rid, Type=f"{rel_ns}/{kind}", Target=target)
    return serialize(root)


def _ids(taken: Iterable[str]) -> Iterator[str]:
    used = set(taken)
    number = 1
    while True:
        rid = f"rId{number}"
        if rid not in used:
            used.add(rid)
            yield rid
        number += 1


def drawing(
    pictures: list[Picture],
    sheet_part: str,
    names: Iterable[str],
    sheet_ids: Iterable[str] = (),
    *,
    existing: tuple[str, bytes, bytes | None] | None = None,
    strict: bool = False,
    shared: dict[bytes, str] | None = None,
) -> Drawing:
    """The parts that show `pictures` on the sheet `sheet_part` of a package
    holding the parts `names`, whose sheet relationships use `sheet_ids`;
    `existing`: the sheet's own drawing (its part, its XML, its relationships'
    XML or None), which keeps all it holds and gains ours; `shared`, the
    images written already (image → part), which another drawing names
    again rather than the package holding them twice."""
    taken = {n.lower() for n in names}
    rel_ns = STRICT_REL if strict else REL
    media = _free(taken, "xl/media/image{}.png")
    if existing is None:
        part = next(_free(taken, "xl/drawings/drawing{}.xml"))
        xdr, dml = (STRICT_XDR, STRICT_DML) if strict else (XDR, DML)
        root = etree.Element(f"{{{xdr}}}wsDr", nsmap={"xdr": xdr, "a": dml})
        rels_root = etree.Element(f"{{{PKG_REL}}}Relationships", nsmap={None: PKG_REL})
        first = 1
        relationship = (next(_ids(sheet_ids)), f"{rel_ns}/drawing", relative(sheet_part, part))
    else:
        part, xml, rels_xml = existing
        root = parse(xml)
        xdr = etree.QName(root).namespace or XDR
        dml = STRICT_DML if xdr == STRICT_XDR else DML
        rel_ns = STRICT_REL if xdr == STRICT_XDR else rel_ns
        rels_root = parse(rels_xml) if rels_xml else etree.Element(f"{{{PKG_REL}}}Relationships", nsmap={None: PKG_REL})
        # Shape ids are unique within a drawing: ours follow the highest it uses.
        used = [int(e.get("id")) for e in root.iter() if local(e.tag) == "cNvPr" and (e.get("id") or "").isdigit()]
        first = max(used, default=1) + 1
        relationship = None
    drawing_ids = _ids(e.get("Id", "") for e in rels_root if local(e.tag) == "Relationship")
    images, added = {}, []
    shared = {} if shared is None else shared
    for offset, picture in enumerate(pictures):
        rid = next(drawing_ids)
        name = shared.get(picture.image.png)
        if name is None:
            name = shared[picture.image.png] = next(media)
            images[name] = picture.image.png
        added.append((rid, "image", posixpath.relpath(name, posixpath.dirname(part))))
        root.append(_anchor(picture, first + offset, rid, xdr, dml, rel_ns))
    parts = {part: serialize(root), **images}
    parts[_rels(part)] = _relationships(rels_root, rel_ns, added)
    return Drawing(
        part,
        parts,
        relationship,
        overrides={part: DRAWING_TYPE} if existing is None else {},
        defaults={"png": PNG_TYPE},
    )


def _rels(part: str) -> str:
    folder, base = posixpath.split(part)
    return posixpath.join(folder, "_rels", base + ".rels")


def relationships_xml(items: Iterable[tuple[str, str, str]]) -> bytes:
    """A new relationships part of (id, full type, target) items."""
    root = etree.Element(f"{{{PKG_REL}}}Relationships", nsmap={None: PKG_REL})
    for rid, kind, target in items:
        etree.SubElement(root, f"{{{PKG_REL}}}Relationship", Id=rid, Type=kind, Target=target)
    return serialize(root)


def with_types(content_types: bytes, defaults: dict[str, str], overrides: dict[str, str]) -> bytes:
    """[Content_Types].xml with a Default for each extension it lacks and an Override for each part."""
    root = parse(content_types)
    namespace = etree.QName(root).namespace
    have = {(e.get("Extension") or "").lower() for e in root if local(e.tag) == "Default"}
    named = {(e.get("PartName") or "").lower() for e in root if local(e.tag) == "Override"}
    first_override = next((i for i, e in enumerate(root) if local(e.tag) == "Override"), len(root))
    for extension, kind in defaults.items():
        if extension.lower() not in have:
            # Defaults before Overrides, as Excel writes them.
            root.insert(first_override, etree.Element(f"{{{namespace}}}Default", Extension=extension, ContentType=kind))
            first_override += 1
    for part, kind in overrides.items():
        if "/" + part.lower() not in named:
            etree.SubElement(root, f"{{{namespace}}}Override", PartName="/" + part, ContentType=kind)
    return serialize(root)


def existing(package, sheet_part: str) -> tuple[str, bytes, bytes | None] | None:
    """A template sheet's own drawing (its part, XML and relationships' XML), where it has one."""
    found = package.related(sheet_part, "drawing")
    if not found:
        return None
    part = found[0]
    rels = package.name(_rels(part))
    return part, package.read(part), package.read(rels) if rels else None


def attach(sheet, rid: str) -> None:
    """Gives a sheet's XML (a template's, as lxml) its <drawing r:id>, where the schema wants it."""
    rel = STRICT_REL if etree.QName(sheet).namespace == STRICT_MAIN else REL
    make(sheet, "drawing").set(f"{{{rel}}}id", rid)


def of_table(table, block) -> list[Picture]:
    """The pictures of a table's cells where a writer's block puts the table (its first column 0-based)."""
    found = table.pictures(block.header_row + 1, block.first_column + 1)
    return [Picture(row, column, image, name) for row, column, image, name in found]


def relationship_xml(relationship: tuple[str, str, str], prefix: str = "") -> str:
    """A sheet's relationship to its drawing, as its relationships part writes it."""
    rid, kind, target = relationship
    return f"<{prefix}Relationship Id={quoteattr(rid)} Type={quoteattr(kind)} Target={quoteattr(target)}/>"
