"""Writing a package: parts into the zip as they are made, a template's parts
copied as they are."""

from __future__ import annotations

import shutil
import zipfile
from collections.abc import Iterable, Iterator
from typing import IO

from .ooxml import Package

Data = bytes | Iterable[bytes]
CHUNK = 1 << 18


def writer(stream: IO[bytes]) -> zipfile.ZipFile:
    return zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED, compresslevel=5)


def put(out: zipfile.ZipFile, target: zipfile.ZipInfo | str, data: Data) -> None:
    """One part: bytes, or pieces written as they come, in large writes. A
    part named by a string takes the package's date and compression."""
    if isinstance(target, zipfile.ZipInfo):
        target.compress_type = zipfile.ZIP_DEFLATED
    if isinstance(data, bytes):
        out.writestr(target, data)
        return
    with out.open(target, "w", force_zip64=True) as part:
        for batch in batches(data):
            part.write(b"".join(batch))


def copy_package(package: Package, stream: IO[bytes], replaced: dict[str, Data], removed: set[str]) -> None:
    """Every part of the template as it is, but those replaced or removed;
    new parts after them."""
    own = {package.name(name) or name: data for name, data in replaced.items()}
    with writer(stream) as out:
        for info in package.infos:
            if info.filename in removed or info.is_dir():
                continue
            target = zipfile.ZipInfo(info.filename, date_time=info.date_time)
            target.compress_type = zipfile.ZIP_DEFLATED
            target.external_attr = info.external_attr
            if info.filename in own:
                put(out, target, own.pop(info.filename))
                continue
            with package.zip.open(info) as source, out.open(target, "w", force_zip64=True) as copy:
                shutil.copyfileobj(source, copy, 1 << 20)
        for name, data in own.items():
            put(out, name, data)


def batches(pieces: Iterable) -> Iterator[list]:
    """Pieces gathered into lists of about CHUNK, for large writes."""
    pending: list = []
    size = 0
    for piece in pieces:
        pending.append(piece)
        size += len(piece)
        if size >= CHUNK:
            yield pending
            pending, size = [], 0
    yield pending


def encoded(pieces: Iterable[str]) -> Iterator[bytes]:
    """Text pieces as UTF-8, in large writes."""
    for batch in batches(pieces):
        yield "".join(batch).encode("utf-8")
