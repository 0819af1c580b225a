"""The package layer: Office Open XML packages as Excel reads them.

Namespaces, part names, Excel's hard limits and ours, the one hardened XML
parser, relationships and their targets, what kind of file a workbook is,
and opening a package within its limits. Everything above it (reading the
list, writing into a template, writing a new workbook) goes through here.

Part names are matched without regard to case (LibreOffice opens packages
whose names differ only in case), and elements by their local names, so
Strict Open XML workbooks, whose namespaces differ, read as well.
"""

from __future__ import annotations

import codecs
import contextlib
import datetime as dt
import posixpath
import re
import struct
import zipfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any, TypeAlias

from lxml import etree

from .errors import ReportError, reason

# An lxml element or tree: lxml brings no type hints, so what is asked of one is checked by use.
Element: TypeAlias = Any

# ---------------------------------------------------------------- namespaces and types

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STRICT_MAIN = "http://purl.oclc.org/ooxml/spreadsheetml/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
STRICT_REL = "http://purl.oclc.org/ooxml/officeDocument/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
CONTENT_TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
XML_DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'

SML = "application/vnd.openxmlformats-officedocument.spreadsheetml"
SHEET_MAIN_TYPE = f"{SML}.sheet.main+xml"
WORKSHEET_TYPE = f"{SML}.worksheet+xml"
STYLES_TYPE = f"{SML}.styles+xml"
RELS_TYPE = "application/vnd.openxmlformats-package.relationships+xml"
# Main parts that stop being what they were once the report is written from them.
BECOMES_WORKBOOK = (".sheet.macroEnabled.main+xml", ".template.macroEnabled.main+xml", ".template.main+xml")

CONTENT_TYPES_PART = "[Content_Types].xml"

# ---------------------------------------------------------------- limits

# Excel's own: a sheet's size, a cell's text, a font's name, a column's width.
MAX_ROW = 1_048_576
MAX_COLUMN = 16_384
MAX_CELL_TEXT = 32_767
MAX_FONT_NAME = 31
MAX_WIDTH = 255.0
MAX_LINKS = 65_530  # hyperlinks in one worksheet
EXCEL_EPOCH = dt.datetime(1899, 12, 30)  # day 0 of the serial numbers dates are stored as
# Excel counts 1900 as a leap year (as Lotus 1-2-3 did): serial 60 is a
# 29 February that never was, and the days before it are one serial higher
# than their distance from EXCEL_EPOCH.
FAKE_LEAP_DAY = 60

# Ours, well above any real list or template.
MAX_FILE = 200 * 1024 * 1024  # bytes of a workbook that is no zip package
MAX_UNPACKED = 400 * 1024 * 1024  # bytes of a package's parts together
MAX_PARTS = 20_000
MAX_SHEET = 100 * 1024 * 1024  # bytes of a template sheet's XML
MAX_CELLS = 8_000_000  # cells between a sheet's first and last value, of any list

TOO_LARGE = "檔案過大或內容異常"

# ---------------------------------------------------------------- parsing

# No DTDs, no entities, no network, the parser's own size guards on. Comments
# and processing instructions are kept: a template's parts come back whole.
_HARDENED = dict(resolve_entities=False, no_network=True, load_dtd=False, huge_tree=False)
_PARSER = etree.XMLParser(**_HARDENED)

# What a damaged package raises on the way: a missing part, a broken zip
# entry, XML that does not parse, a value that is no number.
FAULTS = (KeyError, ValueError, etree.XMLSyntaxError, zipfile.BadZipFile, EOFError)


def parse(data: bytes):
    return no_dtd(etree.fromstring(data, _PARSER))


def no_dtd(root):
    """A package part may not declare a DTD (Open Packaging Conventions): one
    that does is damaged, whatever its entities would have said."""
    if root is not None and root.getroottree().docinfo.doctype:
        raise ValueError("a package part with a DTD")
    return root


def iterparse(source: IO[bytes], events=("end",), tag=None):
    """A stream of elements, with the parser's hardening."""
    return etree.iterparse(source, events=events, tag=tag, **_HARDENED)


def pull_parser(events=("end",), tag=None):
    """A parser fed by the caller, piece by piece, with the parser's hardening:
    between pieces the caller may look at an element not yet closed."""
    return etree.XMLPullParser(events=events, tag=tag, **_HARDENED)


def serialize(root) -> bytes:
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True)


def local(tag: object) -> str:
    """An element's name without its namespace; "" for comments and instructions."""
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def attribute(element, name: str, default: str = "") -> str:
    """An attribute by its local name, whatever namespace it carries (r:id)."""
    value = element.get(name)
    if value is not None:
        return value
    return next((v for k, v in element.attrib.items() if local(k) == name), default)


def damaged(what: str, path: object, doing: str = "無法開啟") -> str:
    """The user's message for a damaged file: what it is, what could not be done."""
    return f"{what}已損壞，{doing}: {path}"


@contextlib.contextmanager
def faults(message: str, too_large: str | None = None) -> Iterator[None]:
    """Turns any fault of a damaged package into the user's `message`; where
    `too_large` names the file, memory running out says it is too large."""
    try:
        yield
    except ReportError:
        raise
    except MemoryError as error:
        if too_large is None:
            raise
        raise ReportError(f"{TOO_LARGE}: {too_large}") from error
    except (*FAULTS, OSError) as error:
        if too_large is not None and over_limits(error):
            raise ReportError(f"{TOO_LARGE}: {too_large}") from error
        raise ReportError(message) from error


def over_limits(error: BaseException) -> bool:
    """Whether the parser stopped at one of its size guards (a text over
    10 MB, elements nested too deep), not at a fault of the XML. Entities
    that expand too far are a DTD's doing, and a part with one is damaged."""
    if not isinstance(error, etree.XMLSyntaxError) or "entit" in str(error).lower():
        return False
    # libxml2 before 2.12 (Windows' lxml wheels) says so in words, not by its code.
    said = str(error).lower()
    return error.code == etree.ErrorTypes.ERR_RESOURCE_LIMIT or "huge text node" in said or "excessive depth" in said


# ---------------------------------------------------------------- dates as Excel counts them


def date_of_serial(serial: float) -> dt.datetime:
    """The moment an Excel serial number stands for (serial 60, the day that
    never was, is taken as 28 February, as readers of Excel's files do)."""
    return EXCEL_EPOCH + dt.timedelta(days=serial + 1 if serial < FAKE_LEAP_DAY else serial)


def serial_of(moment: dt.date) -> float:
    """The serial number Excel stores for a date (or a moment)."""
    if not isinstance(moment, dt.datetime):
        moment = dt.datetime.combine(moment, dt.time())
    serial = (moment - EXCEL_EPOCH).total_seconds() / 86400
    return serial - 1 if serial < FAKE_LEAP_DAY + 1 else serial


# ---------------------------------------------------------------- cell references


def number_of(text: str | None) -> float | None:
    """An attribute's number (a width, a height); None when it holds none."""
    try:
        return float(text) if text else None
    except ValueError:
        return None


def column_name(index: int) -> str:
    """Excel's letters for a 0-based column: 0 → A, 26 → AA."""
    letters = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(65 + rest) + letters
    return letters


def split_ref(ref: str) -> tuple[int, int] | None:
    """(1-based row, 0-based column) of a cell reference such as "B7" or "$B$7"; None for other text."""
    ref = ref.replace("$", "")
    letters = ref.rstrip("0123456789")
    digits = ref[len(letters) :]
    if not (1 <= len(letters) <= 3 and letters.isascii() and letters.isalpha() and letters.isupper()):
        return None
    if not (digits.isascii() and digits.isdigit() and len(digits) <= 7):
        return None
    column = 0
    for ch in letters:
        column = column * 26 + ord(ch) - 64
    return int(digits), column - 1


def ranges(sqref: str) -> Iterator[tuple[int, int, int, int]]:
    """(top, left, bottom, right) of each range in a reference list ("A1:B3 D5")."""
    for item in sqref.replace(",", " ").split():
        corners = [split_ref(corner) for corner in item.split("!")[-1].split(":")[:2]]
        first, last = corners[0], corners[-1]
        if first is None or last is None:
            continue
        yield min(first[0], last[0]), min(first[1], last[1]), max(first[0], last[0]), max(first[1], last[1])


def absolute_ref(ref: str) -> str:
    """ "A1:G9" → "$A$1:$G$9"."""
    out = []
    for corner in ref.split(":"):
        letters = corner.rstrip("0123456789")
        out.append(f"${letters}${corner[len(letters) :]}")
    return ":".join(out)


# ---------------------------------------------------------------- the package


def rels_part(part: str) -> str:
    """The relationships part of a part ("" is the package itself)."""
    folder, base = posixpath.split(part)
    return posixpath.join(folder, "_rels", base + ".rels")


def resolve(source: str, target: str) -> str:
    """A relationship's internal target as a part name, from the part that holds it."""
    if target.startswith("/"):
        return posixpath.normpath(target.lstrip("/"))
    return posixpath.normpath(posixpath.join(posixpath.dirname(source), target)).lstrip("/")


def relative(source: str, part: str) -> str:
    """The target that names `part` from `source`'s relationships."""
    return posixpath.relpath(part, posixpath.dirname(source) or ".")


class Package:
    """A zip package; given an open file, it owns that file from then on."""

    def __init__(self, source: Path | IO[bytes]):
        self._file = None if isinstance(source, Path) else source
        self.zip = zipfile.ZipFile(source)
        self.infos = self.zip.infolist()
        self._names = {info.filename.lower().lstrip("/"): info.filename for info in self.infos}
        self._sheets: list[tuple[str, str | None, str]] | None = None

    def close(self) -> None:
        self.zip.close()
        if self._file is not None:
            self._file.close()

    def name(self, part: str) -> str | None:
        """The package's own spelling of a part name, or None."""
        return self._names.get(part.lower().lstrip("/"))

    def size(self, part: str) -> int:
        name = self.name(part)
        if name is None:
            raise KeyError(part)
        return self.zip.getinfo(name).file_size

    def read(self, part: str) -> bytes:
        name = self.name(part)
        if name is None:
            raise KeyError(part)
        return self.zip.read(name)

    def open(self, part: str) -> IO[bytes]:
        name = self.name(part)
        if name is None:
            raise KeyError(part)
        return self.zip.open(name)

    @property
    def is_ods(self) -> bool:
        name = self.name("mimetype")
        return name is not None and self.zip.read(name).strip().startswith(b"application/vnd.oasis.opendocument")

    def relationships(self, part: str) -> dict[str, tuple[str, str, str]]:
        """Id → (type's last word, target part or address, target mode) of a part's relationships."""
        rels = self.name(rels_part(part))
        if rels is None:
            return {}
        found = {}
        for element in parse(self.zip.read(rels)):
            if local(element.tag) != "Relationship":
                continue
            target = element.get("Target", "")
            mode = element.get("TargetMode", "Internal")
            if mode != "External":
                target = resolve(part, target)
            found[element.get("Id", "")] = (element.get("Type", "").rsplit("/", 1)[-1], target, mode)
        return found

    def related(self, part: str, kind: str) -> list[str]:
        """The internal parts of one kind a part relates to, that the package holds."""
        return [
            t
            for k, t, mode in self.relationships(part).values()
            if k == kind and mode != "External" and self.name(t) is not None
        ]

    @property
    def workbook_part(self) -> str | None:
        found = self.related("", "officeDocument")
        return found[0] if found else None

    def workbook(self):
        return parse(self.read(self.workbook_part or ""))

    def sheets(self) -> list[tuple[str, str | None, str]]:
        """(name, worksheet part or None, state) in the workbook's order."""
        if self._sheets is None:
            part = self.workbook_part or ""
            rels = self.relationships(part)
            self._sheets = []
            for element in self.workbook().iter("{*}sheet"):
                kind, target, _ = rels.get(attribute(element, "id"), ("", "", ""))
                self._sheets.append(
                    (element.get("name", ""), target if kind == "worksheet" else None, element.get("state", "visible"))
                )
        return self._sheets

    def sheets_of_binary(self) -> list[tuple[str, str, str]]:
        """(name, sheet part, state) of a binary workbook's worksheets, from its
        relationships (its workbook part itself is binary)."""
        book = self.workbook_part or ""
        return [
            (posixpath.basename(t), t, "visible")
            for k, t, mode in self.relationships(book).values()
            if k == "worksheet" and mode != "External" and self.name(t) is not None
        ]

    def active_tab(self) -> int:
        for element in self.workbook().iter("{*}workbookView"):
            try:
                return int(element.get("activeTab", "0"))
            except ValueError:
                return 0
        return 0


# ---------------------------------------------------------------- what the file is and opening it


def kind_of(handle: IO[bytes], path: Path, what: str, text: bool = False) -> str:
    """ "zip", "xls", or (where `text`) "text"; refuses what is no workbook, naming it."""
    try:
        handle.seek(0)
        head = handle.read(2048)
    except OSError as error:
        raise ReportError(f"無法讀取{what}: {path} ({reason(error)})") from error
    if not head:
        raise ReportError(f"{what}是空的檔案: {path}")
    if head.startswith(b"PK\x03\x04") or head.startswith(b"PK\x05\x06"):
        return "zip"
    if head.startswith(b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"):
        if _is_encrypted(handle):
            raise ReportError(f"{what}有密碼保護，請先移除密碼再試一次: {path}")
        return "xls"
    start = head.lstrip(b"\xef\xbb\xbf").lstrip()
    if start[:1] == b"<" and (b"<html" in start.lower() or b"<table" in start.lower()):
        raise ReportError(f"{what}是網頁 (HTML) 檔，不是 Excel 活頁簿；請用 Excel 開啟後另存為 .xlsx: {path}")
    if head.startswith((b"\xff\xfe", b"\xfe\xff")) or _is_text(head):
        if text:
            return "text"
        raise ReportError(f"{what}是文字檔 (CSV)，不是 Excel 活頁簿；請用 Excel 開啟後另存為 .xlsx: {path}")
    raise ReportError(f"{what}不是 Excel 活頁簿 (.xlsx、.xls、.ods): {path}")


_CONTROL = re.compile(r"[\x00-\x08\x0b\x0e-\x1f\x7f]")


def _is_text(head: bytes) -> bool:
    """Text in UTF-8 or Big5 without control characters: a list kept as text,
    also one pasted onto one line with only spaces between its numbers."""
    if b"\x00" in head:
        return False
    if b"," in head or b"\t" in head or b";" in head or b"\n" in head:
        return True
    for encoding in ("utf-8", "cp950"):
        try:
            decoded = codecs.getincrementaldecoder(encoding)().decode(head)  # a character cut at the end is no fault
        except UnicodeDecodeError:
            continue
        return not _CONTROL.search(decoded)
    return False


def _is_encrypted(handle: IO[bytes]) -> bool:
    """An Office file with a password is an OLE2 file holding these streams."""
    try:
        handle.seek(0)
        data = handle.read(1 << 20)
    except OSError:
        return False
    return any(name.encode("utf-16-le") in data for name in ("EncryptionInfo", "EncryptedPackage"))


def zip_entries(handle: IO[bytes]) -> tuple[int, int]:
    """(entries, bytes) of a zip's central directory, from its end record,
    before anything reads the directory itself; (0, 0) when there is none."""
    handle.seek(0, 2)
    size = handle.tell()
    handle.seek(max(0, size - (1 << 16) - 22))
    tail = handle.read()
    at = tail.rfind(b"PK\x05\x06")
    if at < 0 or at + 22 > len(tail):
        return 0, 0
    entries, directory = struct.unpack_from("<HI", tail, at + 10)
    if (entries == 0xFFFF or directory == 0xFFFFFFFF) and at >= 20 and tail[at - 20 : at - 16] == b"PK\x06\x07":
        (offset,) = struct.unpack_from("<Q", tail, at - 12)
        handle.seek(offset)
        record = handle.read(56)
        if record[:4] == b"PK\x06\x06" and len(record) == 56:
            entries, directory = struct.unpack_from("<QQ", record, 32)
    return entries, directory


def open_package(handle: IO[bytes], path: Path, what: str) -> Package:
    """A zip workbook opened from its open file, its part count, unpacked
    size and part names within the limits."""
    with faults(damaged(what, path)):
        entries, directory = zip_entries(handle)
    if entries > MAX_PARTS or directory > MAX_PARTS * 1024:
        raise ReportError(f"{TOO_LARGE}: {what}含有超過 {MAX_PARTS:,} 個項目: {path}")
    with faults(damaged(what, path)):
        handle.seek(0)
        package = Package(handle)
    infos = package.infos
    if len(infos) > MAX_PARTS or sum(info.file_size for info in infos) > MAX_UNPACKED:
        package.close()
        raise ReportError(f"{TOO_LARGE}: {what}解開後超過 {MAX_UNPACKED // 2**20} MB: {path}")
    # The names as stored: on Windows zipfile turns a stored "\\" into "/".
    if not all(is_part_name(info.orig_filename) for info in infos):
        # "a/x/../b" is "a/b" to a reader that resolves it and another part to
        # one that does not: what is checked would not be what is read.
        package.close()
        raise ReportError(damaged(what, path, "壓縮檔中有不合規格的項目名稱，無法開啟"))
    if len({info.filename.lower().lstrip("/") for info in infos}) < len(infos):
        # Readers disagree on which of two parts of one name counts.
        package.close()
        raise ReportError(damaged(what, path, "壓縮檔中有同名的項目，無法開啟"))
    return package


def is_part_name(name: str) -> bool:
    """A zip entry's name as packages name their parts: relative, "/" between
    segments, no segment empty or ending in a dot ("." and ".." among them).
    A folder's own entry (its name ending in "/"), which zip tools add, passes."""
    segments = name.removesuffix("/").split("/")
    return "\\" not in name and all(segment and not segment.endswith(".") for segment in segments)
