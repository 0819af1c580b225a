"""Representative drawings (代表圖): an image checked before it is used,
reduced to a thumbnail, and kept in a bounded cache on disk.

An image comes from OPS's images inquiry (the first page's clipping) or from
a list's Google Patents "representative figure link", and only from that
service's own host. Whatever comes is untrusted: it must be a real PNG,
JPEG, GIF or TIFF of at most 2 MB and 4,000 × 4,000 pixels (a small file
that claims more pixels is a decompression bomb), and it is decoded only
once those hold. The thumbnail, a PNG about 150 pixels high, is what the
report embeds and what the cache keeps.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import os
import re
import tempfile
import urllib.parse
from dataclasses import dataclass
from pathlib import Path

from PIL import Image, UnidentifiedImageError

FIGURE_HOST = "patentimages.storage.googleapis.com"  # Google Patents' images; not any storage bucket
FORMATS = ("PNG", "JPEG", "GIF", "TIFF")
MAX_BYTES = 2 * 1024 * 1024
MAX_SIDE = 4000  # pixels, either way
HEIGHT = 150  # pixels of a thumbnail
MAX_WIDTH = 320  # pixels: a wide drawing is made lower rather than its column wider
MAX_DRAWINGS = 500  # a report's
CACHE_BYTES = 256 * 1024 * 1024  # the thumbnails kept on disk; the least recently used go first
FOLDER = "drawings"

TOO_BIG = "圖檔過大"
NOT_AN_IMAGE = "不是可用的圖檔"


class BadImage(ValueError):
    """An image that cannot be used: the text says why, in the user's words."""


@dataclass(frozen=True)
class Thumbnail:
    png: bytes
    width: int  # pixels
    height: int


def figure_address(link: object) -> str | None:
    """A list's figure link as it may be fetched: https, Google Patents' image
    host itself, no user, no other port; None for any other address."""
    if not isinstance(link, str) or len(link) > 2000 or not link.isprintable() or any(c.isspace() for c in link):
        return None
    try:
        parts = urllib.parse.urlsplit(link.strip())
        port = parts.port
    except ValueError:
        return None
    if parts.scheme != "https" or parts.hostname != FIGURE_HOST or parts.username or parts.password:
        return None
    segments = parts.path.split("/")[1:]
    if port not in (None, 443) or not segments or not all(re.fullmatch(r"[\w.~%-]+", s) for s in segments):
        return None
    if any(s.strip(".") == "" for s in segments):
        return None  # "." and "..": the path is the host's, as written
    return f"https://{FIGURE_HOST}{parts.path}"


def thumbnail(data: bytes) -> Thumbnail:
    """The thumbnail of an image, or BadImage saying why it cannot be used."""
    if len(data) > MAX_BYTES:
        raise BadImage(TOO_BIG)
    try:
        with Image.open(io.BytesIO(data), formats=FORMATS) as image:
            # The size its header claims, checked before a pixel is decoded: within MAX_SIDE
            # (far below Pillow's own bomb limit) a small file cannot unpack into much memory.
            width, height = image.size
            if width > MAX_SIDE or height > MAX_SIDE or width < 1 or height < 1:
                raise BadImage(TOO_BIG)
            scale = min(1.0, HEIGHT / height, MAX_WIDTH / width)
            size = (max(1, round(width * scale)), max(1, round(height * scale)))
            if image.format == "JPEG":
                image.draft("RGB", size)  # decoded at a fraction of its size where it can be
            image.seek(0)  # a GIF's or TIFF's first frame
            image.load()
            small = _flattened(image).resize(size, Image.Resampling.LANCZOS, reducing_gap=3.0)
    except BadImage:
        raise
    except Image.DecompressionBombError as error:  # Pillow's own limit, met before ours on a larger claim
        raise BadImage(TOO_BIG) from error
    except UnidentifiedImageError as error:
        raise BadImage(NOT_AN_IMAGE) from error
    except Exception as error:  # a decoder's fault on a damaged file: any of its kinds
        raise BadImage(NOT_AN_IMAGE) from error
    out = io.BytesIO()
    small.save(out, "PNG", optimize=True)
    return Thumbnail(out.getvalue(), *small.size)


def _flattened(image: Image.Image) -> Image.Image:
    """Grey or colour on white: a clipping's transparency would show the cell behind it."""
    if image.mode in ("1", "L"):
        return image.convert("L")
    if image.mode in ("RGBA", "LA", "PA") or (image.mode == "P" and "transparency" in image.info):
        rgba = image.convert("RGBA")
        white = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
        return Image.alpha_composite(white, rgba).convert("RGB")
    return image.convert("RGB")


def read_thumbnail(data: bytes) -> Thumbnail | None:
    """A cached thumbnail as this module writes it (a PNG within the thumbnail's
    bounds); None for anything else."""
    if not data.startswith(b"\x89PNG\r\n\x1a\n") or len(data) > MAX_BYTES:
        return None
    try:
        with Image.open(io.BytesIO(data), formats=("PNG",)) as image:
            width, height = image.size
    except Exception:  # a damaged file in the cache is none
        return None
    if not (0 < width <= MAX_WIDTH and 0 < height <= HEIGHT):
        return None
    return Thumbnail(data, width, height)


class Drawings:
    """The thumbnails on disk, beside the data cache, by what they are of
    (a publication, a figure link): at most CACHE_BYTES together, the least
    recently used dropped first. A cache, never a failure: what cannot be
    read or written is as none."""

    def __init__(self, folder: Path, limit: int = CACHE_BYTES):
        self.folder = folder / FOLDER
        self.limit = limit

    def _path(self, key: str) -> Path:
        return self.folder / (hashlib.sha256(key.encode()).hexdigest()[:40] + ".png")

    def get(self, key: str) -> Thumbnail | None:
        path = self._path(key)
        try:
            with open(path, "rb") as handle:
                found = read_thumbnail(handle.read(MAX_BYTES + 1))
            if found is not None:
                os.utime(path)  # used now: the last to go
        except OSError:
            return None
        return found

    def put(self, key: str, made: Thumbnail) -> None:
        with contextlib.suppress(OSError):
            self.folder.mkdir(parents=True, exist_ok=True)
            handle, temporary = tempfile.mkstemp(dir=self.folder, suffix=".part")
            try:
                with os.fdopen(handle, "wb") as out:
                    out.write(made.png)
                os.replace(temporary, self._path(key))
            except OSError:
                with contextlib.suppress(OSError):
                    os.unlink(temporary)

    def trim(self) -> None:
        """Drops the least recently used thumbnails until the rest are within the limit."""
        try:
            files = []
            for entry in os.scandir(self.folder):
                if entry.is_file() and entry.name.endswith((".png", ".part")):
                    info = entry.stat()
                    files.append((info.st_mtime, info.st_size, entry.path))
        except OSError:
            return
        total = sum(size for _, size, _ in files)
        for _, size, path in sorted(files):
            if total <= self.limit:
                break
            with contextlib.suppress(OSError):
                os.unlink(path)
                total -= size
