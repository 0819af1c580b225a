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

# One cell: its attributes, then either "/>" or its content up to "</c>".
_CELL = re.compile(rb"<(?:\w+:)?(c|row)\b((?:[^>/]|/(?!>))*)(/>|>)")
_CELL_END = re.compile(rb"</(?:\w+:)?c>")
REF = re.compile(rb'\br="([A-Z]{1,3})([0-9]{1,7})"')
ROW_NUMBER = re.compile(rb'\br="([0-9]{1,7})"')
_TYPE = re.compile(rb'\bt="(\w+)"')
# A value that is not empty (a formula's <v></v> holds no result), or an inline string.
_VALUE = re.compile(rb"<(?:\w+:)?v>[^<]|<(?:\w+:)?is\b")
_CHUNK = 1 << 20


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
    """Reads a worksheet's XML once, as a stream: where its values lie (so
    a reader that makes a dense table can be refused a huge one) and which
    cells are errors or formulas without a result. None for a sheet that is
    not a worksheet part of this package."""
    part = next((p for n, p, _ in package.sheets() if n == sheet_name), None)
    if part is None or package.name(part) is None:
        return None
    scan = CellScan()
    row, column = -1, -1
    buffer = b""
    with package.zip.open(package.name(part)) as stream:
        while True:
            chunk = stream.read(_CHUNK)
            buffer += chunk
            position = 0
            while True:
                match = _CELL.search(buffer, position)
                if match is None:
                    break
                attributes = match.group(2)
                if match.group(1) == b"row":
                    number = ROW_NUMBER.search(attributes)
                    row = int(number.group(1)) - 1 if number else row + 1
                    column = -1
                    position = match.end()
                    continue
                content = b""
                if match.group(3) == b">":
                    end = _CELL_END.search(buffer, match.end())
                    if end is None:
                        break  # the rest of this cell is in the next chunk
                    content = buffer[match.end() : end.start()]
                    position = end.end()
                else:
                    position = match.end()
                ref = REF.search(attributes)
                if ref:
                    column, row = column_index(ref.group(1)), int(ref.group(2)) - 1
                else:
                    column += 1
                has_value = _VALUE.search(content) is not None
                has_formula = b"<f" in content or b":f>" in content or b":f " in content
                kind = _TYPE.search(attributes)
                if kind and kind.group(1) == b"e":
                    if len(scan.errors) < limit:
                        scan.errors.append((row, column))
                elif has_formula and not has_value:
                    if len(scan.formulas) < limit:
                        scan.formulas.append((row, column))
                elif has_value:
                    scan.add(row, column)
            buffer = buffer[position:]
            if not chunk:
                break
            if len(buffer) > 64 * _CHUNK:
                raise ValueError("a cell larger than the limit")
    return scan
