"""Representative drawings: every image checked before it is decoded, reduced
to a thumbnail, fetched only from Google Patents' own image host, and kept in
a cache of bounded size."""

import io
import os

import pytest
from PIL import Image

from lumivar.report import drawings

from ops_server import clipping, oversized


def image(form: str, size=(800, 1000), mode="L") -> bytes:
    out = io.BytesIO()
    Image.new(mode, size, 200).save(out, form)
    return out.getvalue()


USABLE = [("PNG", "1"), ("JPEG", "RGB"), ("GIF", "P"), ("TIFF", "L"), ("PNG", "RGBA")]


@pytest.mark.parametrize("form, mode", USABLE, ids=[f"{f} {m}" for f, m in USABLE])
def test_a_real_image_becomes_a_thumbnail_about_150_pixels_high(form, mode):
    made = drawings.thumbnail(image(form, mode=mode))
    assert (made.width, made.height) == (120, 150)
    with Image.open(io.BytesIO(made.png)) as back:
        assert (back.format, back.size) == ("PNG", (120, 150)) and back.mode in ("L", "RGB")
    wide = drawings.thumbnail(image("PNG", size=(3000, 500)))
    assert (wide.width, wide.height) == (drawings.MAX_WIDTH, 53)  # lower, not wider than its column
    small = drawings.thumbnail(image("PNG", size=(60, 40)))
    assert (small.width, small.height) == (60, 40)  # never enlarged


def _truncated() -> bytes:
    whole = clipping()
    return whole[: len(whole) // 2]


REFUSED = [  # (case, bytes, why)
    ("more pixels than any drawing needs (a decompression bomb)", oversized(), drawings.TOO_BIG),
    ("far more pixels than Pillow's own limit", image("PNG", size=(20000, 20000), mode="1"), drawings.TOO_BIG),
    ("over 2 MB", b"\x89PNG\r\n\x1a\n" + os.urandom(drawings.MAX_BYTES), drawings.TOO_BIG),
    ("a PNG signature and nothing after it", b"\x89PNG\r\n\x1a\n" + b"\0" * 400, drawings.NOT_AN_IMAGE),
    ("cut off halfway", _truncated(), drawings.NOT_AN_IMAGE),
    ("an image of a kind not taken (BMP)", image("BMP"), drawings.NOT_AN_IMAGE),
    ("a web page", b"<!DOCTYPE html><html><body>Not Found</body></html>", drawings.NOT_AN_IMAGE),
]


@pytest.mark.parametrize("data, why", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_an_image_that_cannot_be_used_is_refused_saying_why(data, why):
    with pytest.raises(drawings.BadImage) as refused:
        drawings.thumbnail(data)
    assert str(refused.value) == why


FIGURES = [  # (a list's figure link, what is fetched; None: nothing)
    ("https://patentimages.storage.googleapis.com/6f/2b/aa/0c8e4f/US9000001-D00000.png", True),
    ("https://patentimages.storage.googleapis.com:443/6f/US9000001-D00000.png", True),
    ("http://patentimages.storage.googleapis.com/6f/US9000001-D00000.png", None),  # not https
    ("https://storage.googleapis.com/patentimages/6f/US9000001-D00000.png", None),  # any other bucket
    ("https://patentimages.storage.googleapis.com.example.net/6f/x.png", None),
    ("https://user@patentimages.storage.googleapis.com/6f/x.png", None),
    ("https://patentimages.storage.googleapis.com:8443/6f/x.png", None),
    ("https://patentimages.storage.googleapis.com/6f/../../x.png", None),
    ("https://patentimages.storage.googleapis.com/", None),
    ("https://127.0.0.1/6f/x.png", None),
    ("file:///etc/passwd", None),
    (12345, None),
]


@pytest.mark.parametrize("link, fetched", FIGURES, ids=[str(link) for link, _ in FIGURES])
def test_a_figure_is_fetched_only_from_google_patents_image_host(link, fetched):
    found = drawings.figure_address(link)
    if fetched:
        assert found.startswith("https://patentimages.storage.googleapis.com/") and ":443" not in found
    else:
        assert found is None


def test_the_cache_keeps_what_was_made_within_its_size_the_least_recently_used_going_first(tmp_path):
    made = [drawings.thumbnail(clipping(variant=n)) for n in range(4)]
    size = max(len(m.png) for m in made)
    cache = drawings.Drawings(tmp_path, limit=3 * size)
    for n, thumbnail in enumerate(made):
        cache.put(f"ops:EP.{n}.A1", thumbnail)
        os.utime(cache._path(f"ops:EP.{n}.A1"), (1000 + n, 1000 + n))
    assert cache.get("ops:EP.0.A1") == made[0]  # used now: the last to go
    cache.trim()
    assert [cache.get(f"ops:EP.{n}.A1") is not None for n in range(4)] == [True, False, True, True]
    cache._path("ops:EP.2.A1").write_bytes(b"\x89PNG\r\n\x1a\n damaged")
    assert cache.get("ops:EP.2.A1") is None and cache.get("ops:never") is None
