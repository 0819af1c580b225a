"""The parts of an Office Open XML package, found as Excel finds them.

Part names are matched without regard to case (LibreOffice opens packages
whose names differ only in case), and elements by their local names, so
Strict Open XML workbooks, whose namespaces differ, read as well.
"""
from __future__ import annotations

import posixpath
import re
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

from lxml import etree

_PARSER = etree.XMLParser(resolve_entities=False, no_network=True, huge_tree=False, remove_comments=True)


def local(tag: object) -> str:
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def parse_xml(data: bytes):
    return etree.fromstring(data, _PARSER)


class Package:
    def __init__(self, path: Path):
        self.zip = zipfile.ZipFile(path)
        self.infos = self.zip.infolist()
        self._names = {info.filename.lower().lstrip("/"): info.filename for info in self.infos}
        self._sheets: list[tuple[str, str | None, str]] | None = None

    def close(self) -> None:
        self.zip.close()

    def name(self, part: str) -> str | None:
        """The package's own spelling of a part name, or None."""
        return self._names.get(part.lower().lstrip("/"))

    def read(self, part: str) -> bytes:
        name = self.name(part)
        if name is None:
            raise KeyError(part)
        return self.zip.read(name)

    @property
    def is_ods(self) -> bool:
        name = self.name("mimetype")
        return name is not None and self.zip.read(name).strip().startswith(b"application/vnd.oasis.opendocument")

    def relationships(self, part: str) -> dict[str, tuple[str, str, str]]:
        """Id → (type's last word, target part or address, target mode) of a part's relationships."""
        folder, base = posixpath.split(part)
        rels = self.name(posixpath.join(folder, "_rels", base + ".rels"))
        if rels is None:
            return {}
        found = {}
        for element in parse_xml(self.zip.read(rels)):
            if local(element.tag) != "Relationship":
                continue
            target = element.get("Target", "")
            mode = element.get("TargetMode", "Internal")
            if mode != "External":
                target = posixpath.normpath(
                    target.lstrip("/") if target.startswith("/") else posixpath.join(folder, target)
                )
            found[element.get("Id", "")] = (element.get("Type", "").rsplit("/", 1)[-1], target, mode)
        return found

    @property
    def workbook_part(self) -> str | None:
        for kind, target, _ in self.relationships("").values():
            if kind == "officeDocument" and self.name(target) is not None:
                return target
        return None

    def workbook(self):
        return parse_xml(self.read(self.workbook_part or ""))

    def sheets(self) -> list[tuple[str, str | None, str]]:
        """(name, worksheet part or None, state) in the workbook's order."""
        if self._sheets is None:
            part = self.workbook_part or ""
            rels = self.relationships(part)
            self._sheets = []
            for element in self.workbook().iter():
                if local(element.tag) != "sheet":
                    continue
                rid = next((v for k, v in element.attrib.items() if local(k) == "id"), "")
                kind, target, _ = rels.get(rid, ("", "", ""))
                self._sheets.append(
                    (element.get("name", ""), target if kind == "worksheet" else None, element.get("state", "visible"))
                )
        return self._sheets

    def active_tab(self) -> int:
        for element in self.workbook().iter():
            if local(element.tag) == "workbookView":
                try:
                    return int(element.get("activeTab", "0"))
                except ValueError:
                    return 0
        return 0


# ---------------------------------------------------------------- a sheet's cells at a glance

REF = re.compile(rb'\br="([A-Z]{1,3})([0-9]{1,7})"')
ROW_NUMBER = re.compile(rb'\br="([0-9]{1,7})"')
# Cells whose content starts with a value, an inline string or a formula: (column, row).
_FILLED = re.compile(rb'<(?:\w+:)?c\b[^>]*?\br="([A-Z]{1,3})([0-9]{1,7})"[^>]*?(?<!/)>(?=<(?:\w+:)?(?:v>[^<]|is\b|f\b))')
# Error cells, and formulas followed by no value or an empty one.
_ERROR = re.compile(rb'<(?:\w+:)?c\b[^>]*?\br="([A-Z]{1,3})([0-9]{1,7})"[^>]*?\bt="e"')
_ERROR_BEFORE = re.compile(rb'<(?:\w+:)?c\b[^>]*?\bt="e"[^>]*?\br="([A-Z]{1,3})([0-9]{1,7})"')
_NO_RESULT = re.compile(
    rb'<(?:\w+:)?c\b[^>]*?\br="([A-Z]{1,3})([0-9]{1,7})"[^>]*?(?<!/)>'
    rb'<(?:\w+:)?f\b[^>]*?(?:/>|>[^<]*</(?:\w+:)?f>)(?:<(?:\w+:)?v\s*/>|<(?:\w+:)?v>\s*</(?:\w+:)?v>)?</(?:\w+:)?c>'
)
_ROW_END = re.compile(rb"</(?:\w+:)?row>|<(?:\w+:)?row\b[^>]*/>")
# Any referenced cell, empty ones too: a first, quick look at the spread.
_ANY = re.compile(rb'<(?:\w+:)?c r="([A-Z]{1,3})([0-9]{1,7})"')
_CHUNK = 1 << 22


def column_name(index: int) -> str:
    """Excel's letters for a 0-based column: 0 → A, 26 → AA."""
    letters = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(65 + rest) + letters
    return letters


def column_index(letters: bytes) -> int:
    index = 0
    for ch in letters:
        index = index * 26 + ch - 64
    return index - 1


@dataclass
class CellScan:
    """Where a sheet's values lie, and its cells that hold no usable value."""

    top: int = -1
    bottom: int = -1
    left: int = -1
    right: int = -1
    errors: list[tuple[int, int]] = field(default_factory=list)  # (row, column), 0-based
    formulas: list[tuple[int, int]] = field(default_factory=list)  # without a cached result

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
        pick = lambda cells: [r + 1 for r, c in cells if c == column and r >= first]  # noqa: E731
        return pick(self.errors), pick(self.formulas)


def scan_cells(package: Package, sheet_name: str, limit: int = 100_000) -> CellScan | None:
    """Reads a worksheet's XML once, as a stream of whole rows: where its
    values lie (so a reader that makes a dense table can be refused a huge
    one) and which cells are errors or formulas without a result. None for a
    sheet that is not a worksheet part of this package.

    Cells without a reference lie next to the one before: they cannot spread
    a sheet, so only referenced cells are placed."""
    part = next((p for n, p, _ in package.sheets() if n == sheet_name), None)
    if part is None or package.name(part) is None:
        return None
    scan = CellScan()
    buffer = b""
    with package.zip.open(package.name(part)) as stream:
        while True:
            chunk = stream.read(_CHUNK)
            buffer += chunk
            ends = [m.end() for m in _ROW_END.finditer(buffer, max(0, len(buffer) - _CHUNK - 64))] if chunk else []
            cut = ends[-1] if ends else (len(buffer) if not chunk else 0)
            if cut:
                _scan_rows(buffer[:cut], scan, limit)
                buffer = buffer[cut:]
            if not chunk:
                break
            if len(buffer) > 16 * _CHUNK:
                raise ValueError("a row larger than the limit")
    return scan


def _spread(cells: list[tuple[bytes, bytes]], scan: CellScan) -> None:
    if cells:
        rows = list(map(int, (r for _, r in cells)))
        columns = [column_index(c) for c in {c for c, _ in cells}]
        scan.add(min(rows) - 1, min(columns))
        scan.add(max(rows) - 1, max(columns))


def _scan_rows(data: bytes, scan: CellScan, limit: int) -> None:
    quick = CellScan()
    _spread(_ANY.findall(data), quick)
    if quick.extent <= 1_000_000 and b"<c " not in data.replace(b"<c r=", b""):
        # Written as Excel and LibreOffice write (r first): empty cells widen it only a little.
        if quick.top >= 0:
            scan.add(quick.top, quick.left)
            scan.add(quick.bottom, quick.right)
    else:
        _spread(_FILLED.findall(data), scan)
    checks = ((b't="e"', (_ERROR, _ERROR_BEFORE), scan.errors), (b"f", (_NO_RESULT,), scan.formulas))
    for needle, patterns, found in checks:
        if needle == b"f" and b"<f" not in data and b":f" not in data:
            continue
        if needle != b"f" and needle not in data:
            continue
        for pattern in patterns:
            if len(found) < limit:
                found.extend((int(r) - 1, column_index(c)) for c, r in pattern.findall(data)[: limit - len(found)])
