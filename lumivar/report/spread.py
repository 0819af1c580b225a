"""Where a workbook's values lie, found before a reader allocates for them.

python-calamine makes a dense table of a sheet from its first to its last
value, and sizes some of them from what the file says of itself (a legacy
sheet's DIMENSIONS, a binary sheet's BrtWsDim). A small file can ask for
billions of cells that way. Each format is read here as a stream of its own
records, in bounded pieces, and every sheet's spread is checked against the
limit first: .xlsx (sheetrows), OpenDocument (content.xml), binary .xlsb
(its records) and legacy .xls (the BIFF records of its compound file).
"""

from __future__ import annotations

import struct
from collections.abc import Iterator
from typing import IO

from .ooxml import MAX_CELLS, Package, iterparse, local
from .sheetrows import CellScan

TABLE = "urn:oasis:names:tc:opendocument:xmlns:table:1.0"
OFFICE = "urn:oasis:names:tc:opendocument:xmlns:office:1.0"
MAX_REPEAT = 1 << 31  # what a repeat count may say before it is nonsense


# ---------------------------------------------------------------- OpenDocument


def ods_spreads(package: Package) -> Iterator[tuple[str, CellScan]]:
    """(sheet name, where its values lie) of each table of an .ods."""
    with package.open("content.xml") as stream:
        name, scan, row = "", CellScan(), 0
        column = 0
        for event, element in iterparse(stream, events=("start", "end")):
            kind = local(element.tag)
            if event == "start":
                if kind == "table":
                    name, scan, row = element.get(f"{{{TABLE}}}name", ""), CellScan(), 0
                elif kind == "table-row":
                    column = 0
                continue
            if kind in ("table-cell", "covered-table-cell"):
                repeat = _repeat(element, "number-columns-repeated")
                if element.get(f"{{{OFFICE}}}value-type") or "".join(element.itertext()).strip():
                    scan.add(row, column)
                    scan.add(row, column + repeat - 1)
                column += repeat
            elif kind == "table-row":
                repeat = _repeat(element, "number-rows-repeated")
                if scan.bottom == row and repeat > 1:  # a value in a repeated row is in each of them
                    scan.add(row + repeat - 1, scan.left)
                row += repeat
                if scan.extent > MAX_CELLS:  # its spread only grows: the rest need not be read
                    yield name, scan
                    return
            elif kind == "table":
                yield name, scan
            if kind in ("table-cell", "covered-table-cell", "table-row"):
                element.clear(keep_tail=True)


def _repeat(element, attribute: str) -> int:
    text = element.get(f"{{{TABLE}}}{attribute}", "1")
    return min(int(text), MAX_REPEAT) if text.isascii() and text.isdigit() and int(text) > 0 else 1


# ---------------------------------------------------------------- binary workbook (.xlsb)

_XLSB_CELLS = set(range(1, 12))  # BrtCellBlank … BrtFmlaError: a Cell with its column first
_XLSB_SHORT = set(range(12, 19))  # BrtShortBlank … BrtShortIsst: the column after the last
_BRT_ROW, _BRT_DIMENSION = 0, 148
_KEPT = 1 << 20  # bytes of a record read; the rest is skipped in pieces of this size


def xlsb_spread(stream: IO[bytes]) -> CellScan:
    """Where a binary sheet's values lie, and the extent it claims for itself."""
    scan = CellScan()
    row = column = -1
    for kind, data in _xlsb_records(stream):
        if kind == _BRT_ROW and len(data) >= 4:
            row, column = struct.unpack_from("<I", data)[0], -1
        elif kind in _XLSB_CELLS and len(data) >= 4:
            column = struct.unpack_from("<I", data)[0]
            if kind != 1:
                scan.add(row, column)
        elif kind in _XLSB_SHORT:
            column += 1
            if kind != 12:
                scan.add(row, column)
        elif kind == _BRT_DIMENSION and len(data) >= 16:
            first_row, last_row, first_column, last_column = struct.unpack_from("<4I", data)
            scan.add(first_row, first_column)
            scan.add(last_row, last_column)
    return scan


def _xlsb_records(stream: IO[bytes]) -> Iterator[tuple[int, bytes]]:
    while True:
        kind = _varint(stream, 2)
        if kind is None:
            return
        size = _varint(stream, 4)
        if size is None:
            return
        data = stream.read(min(size, _KEPT))  # what a record says lies at its start
        rest = size - len(data)
        while rest > 0 and (skipped := len(stream.read(min(rest, _KEPT)))):
            rest -= skipped
        yield kind, data


def _varint(stream: IO[bytes], most: int) -> int | None:
    value = 0
    for i in range(most):
        byte = stream.read(1)
        if not byte:
            return None
        value |= (byte[0] & 0x7F) << (7 * i)
        if not byte[0] & 0x80:
            break
    return value


# ---------------------------------------------------------------- legacy workbook (.xls)

_BOF, _EOF, _DIMENSIONS = 0x0809, 0x000A, 0x0200
_CELLS = {0x0006, 0x00FD, 0x0203, 0x027E, 0x0205, 0x0204, 0x00D6}  # formula, text, number, RK, bool, label
_MULTIPLE = 0x00BD  # MULRK: a row's run of numbers
_FREE = (0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC)


def xls_spreads(handle: IO[bytes]) -> Iterator[CellScan]:
    """Where each sheet of a legacy workbook puts its values, and the extent
    its DIMENSIONS record claims; in the workbook stream's order."""
    data = _workbook_stream(handle)
    open_streams: list[CellScan] = []  # a chart's substream may sit inside a sheet's
    at = 0
    while at + 4 <= len(data):
        kind, size = struct.unpack_from("<HH", data, at)
        body = data[at + 4 : at + 4 + size]
        at += 4 + size
        if kind == _BOF:
            open_streams.append(CellScan())
            continue
        if not open_streams:
            continue
        scan = open_streams[-1]
        if kind == _EOF:
            open_streams.pop()
            if scan.top >= 0:
                yield scan
        elif kind in _CELLS and len(body) >= 4:
            scan.add(*struct.unpack_from("<HH", body))
        elif kind == _MULTIPLE and len(body) >= 6:
            row, first = struct.unpack_from("<HH", body)
            scan.add(row, first)
            scan.add(row, struct.unpack_from("<H", body, len(body) - 2)[0])
        elif kind == _DIMENSIONS and len(body) >= 12:
            first_row, last_row, first_column, last_column = struct.unpack_from("<IIHH", body)
            if last_row > first_row and last_column > first_column:
                scan.add(first_row, first_column)
                scan.add(last_row - 1, last_column - 1)


def _workbook_stream(handle: IO[bytes]) -> bytes:
    """The "Workbook" (or "Book") stream of a compound file, read by its own
    sector chains; a broken file raises ValueError."""
    handle.seek(0)
    header = handle.read(512)
    if len(header) < 512 or header[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
        raise ValueError("not a compound file")
    shift, mini_shift = struct.unpack_from("<HH", header, 0x1E)
    if shift not in (9, 12) or mini_shift != 6:
        raise ValueError("an odd sector size")
    sector = 1 << shift
    fat_count, directory_start = struct.unpack_from("<II", header, 0x2C)
    cutoff, mini_fat_start, _, difat_start, difat_count = struct.unpack_from("<IIIII", header, 0x38)
    handle.seek(0, 2)
    sectors = max(0, handle.tell() // sector - 1)

    def read_sector(n: int) -> bytes:
        if n >= sectors:
            raise ValueError("a sector past the end")
        handle.seek((n + 1) * sector)
        return handle.read(sector)

    fat_sectors = [n for n in struct.unpack_from("<109I", header, 0x4C) if n not in _FREE]
    next_difat = difat_start
    for _ in range(min(difat_count, sectors)):
        if next_difat in _FREE:
            break
        difat = struct.unpack(f"<{sector // 4}I", read_sector(next_difat))
        fat_sectors += [n for n in difat[:-1] if n not in _FREE]
        next_difat = difat[-1]
    fat: list[int] = []
    for n in fat_sectors[:fat_count]:
        fat += struct.unpack(f"<{sector // 4}I", read_sector(n))

    def chain(start: int, table: list[int]) -> Iterator[int]:
        n, seen = start, 0
        while n not in _FREE:
            if n >= len(table) or seen > len(table):
                raise ValueError("a broken sector chain")
            yield n
            n, seen = table[n], seen + 1

    directory = b"".join(read_sector(n) for n in chain(directory_start, fat))
    entries = [directory[i : i + 128] for i in range(0, len(directory) - 127, 128)]
    if not entries:
        raise ValueError("no directory")
    root_start = struct.unpack_from("<I", entries[0], 116)[0]
    for entry in entries:
        length = min(struct.unpack_from("<H", entry, 64)[0], 64)
        name = entry[: max(0, length - 2)].decode("utf-16-le", "replace")
        if entry[66] != 2 or name not in ("Workbook", "Book"):
            continue
        start, size = struct.unpack_from("<II", entry, 116)
        if size >= cutoff:
            return b"".join(read_sector(n) for n in chain(start, fat))[:size]
        mini_fat: list[int] = []
        for n in chain(mini_fat_start, fat):
            mini_fat += struct.unpack(f"<{sector // 4}I", read_sector(n))
        mini_stream = b"".join(read_sector(n) for n in chain(root_start, fat))
        return b"".join(mini_stream[n * 64 : n * 64 + 64] for n in chain(start, mini_fat))[:size]
    raise ValueError("no workbook stream")
