"""What the report shows: the summary lines, the table and their looks.

The writers only render these rows; every decision about text, fonts,
colours and widths is made here.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from datetime import datetime
from typing import Iterator, NamedTuple

from .. import protocol
from .numbers import STATUS_BAD, STATUS_REPEAT, Publication

TITLE = "檢索報告"
HEADERS = ("序號", "公開號", "標準公開號", "國別", "號碼", "種類", "狀態")
ID_COLUMN = 2  # 0-based: the standard ID, the link to the public page
DIGITS_COLUMN = 4  # the number's digits, kept as text

CELL_SIZE = 12
TITLE_SIZE = 16
# Excel accepts font sizes from 1 to 409 points and column widths up to 255.
MIN_SIZE, MAX_SIZE = 1.0, 409.0
MAX_WIDTH = 255.0
MAX_TEXT_WIDTH = 40

# Font kinds and fills (the writers give each its own style).
LATIN, CJK, HEAD, LINK, TITLE_FONT = "latin", "cjk", "head", "link", "title"
PLAIN, BAD, REPEAT = "plain", "bad", "repeat"
FILL_COLOURS = {BAD: "FFFFC7CE", REPEAT: "FFD9D9D9"}
HEAD_COLOUR = "FFDDEBF7"
LINK_COLOUR = "FF0563C1"


def size_ratio(value: object) -> float | None:
    """The text size ratio, or None when it is not a positive finite number."""
    try:
        ratio = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        return None
    if not math.isfinite(ratio) or ratio <= 0:
        return None
    return ratio


def font_size(base: float, ratio: float) -> float:
    """base × ratio, to the nearest half point (halves round up), within Excel's range."""
    size = math.floor(min(base * ratio, MAX_SIZE) * 2 + 0.5) / 2
    return min(max(size, MIN_SIZE), MAX_SIZE)


def _is_cjk(ch: str) -> bool:
    code = ord(ch)
    return (
        0x1100 <= code <= 0x11FF  # Hangul Jamo
        or 0x2E80 <= code <= 0x2FDF  # radicals
        or 0x3000 <= code <= 0x303F  # CJK punctuation
        or 0x3040 <= code <= 0x30FF  # kana
        or 0x3100 <= code <= 0x31BF  # bopomofo, Hangul compatibility
        or 0x31F0 <= code <= 0x4DBF  # kana extension, extension A
        or 0x4E00 <= code <= 0x9FFF  # unified ideographs
        or 0xAC00 <= code <= 0xD7AF  # Hangul syllables
        or 0xF900 <= code <= 0xFAFF  # compatibility ideographs
        or 0xFE30 <= code <= 0xFE4F  # compatibility forms
        or 0xFF00 <= code <= 0xFFEF  # full-width forms
        or 0x20000 <= code <= 0x3FFFF  # extensions B and later
    )


def has_cjk(text: str) -> bool:
    return not text.isascii() and any(_is_cjk(ch) for ch in text)


def display_width(text: str) -> int:
    """Columns a text takes in a cell: CJK characters count double."""
    if text.isascii():
        return len(text)
    return sum(2 if _is_cjk(ch) else 1 for ch in text)


@dataclass(frozen=True)
class Style:
    ratio: float
    cjk_font: str
    latin_font: str

    @property
    def cell_size(self) -> float:
        return font_size(CELL_SIZE, self.ratio)

    @property
    def title_size(self) -> float:
        return font_size(TITLE_SIZE, self.ratio)


class Cell(NamedTuple):
    value: object  # str or int; None leaves the cell empty
    font: str = LATIN
    fill: str = PLAIN
    link: str | None = None


def text_cell(text: str, fill: str = PLAIN) -> Cell:
    return Cell(text, CJK if has_cjk(text) else LATIN, fill)


@dataclass
class Table:
    publications: list[Publication]
    made: datetime
    source: str  # the list's file name and where in it the numbers were

    @property
    def counts(self) -> str:
        total = len(self.publications)
        bad = sum(1 for p in self.publications if p.status == STATUS_BAD)
        repeats = sum(1 for p in self.publications if p.status == STATUS_REPEAT)
        distinct = total - bad - repeats
        return f"共 {total} 筆: 可辨識 {distinct} 件公開 (另有重複 {repeats} 筆)，格式不符 {bad} 筆"

    def summary(self) -> list[str]:
        return [f"製表日期: {self.made:%Y-%m-%d}", f"專利檔案: {self.source}", self.counts]

    def header(self) -> list[Cell]:
        return [Cell(text, HEAD, HEAD) for text in HEADERS]

    def rows(self) -> Iterator[list[Cell]]:
        for index, item in enumerate(self.publications, start=1):
            fill = BAD if item.status == STATUS_BAD else REPEAT if item.status == STATUS_REPEAT else PLAIN
            yield [
                Cell(index, LATIN, fill),
                text_cell(item.text, fill),
                Cell(item.id, LINK, fill, item.address) if item.id else Cell(None, LATIN, fill),
                Cell(item.country, LATIN, fill),
                Cell(item.number, LATIN, fill),
                Cell(item.kind, LATIN, fill),
                text_cell(item.status, fill),
            ]

    def widths(self, style: Style) -> list[float]:
        """Column widths fitted to the content, in Excel's units, at the text size."""
        widest = [display_width(h) for h in HEADERS]
        widest[0] = max(widest[0], len(str(len(self.publications))))
        for item in self.publications:
            widest[1] = max(widest[1], display_width(item.text))
            if item.id:
                widest[2] = max(widest[2], len(item.id))
                widest[4] = max(widest[4], len(item.number or ""))
                widest[5] = max(widest[5], len(item.kind or ""))
        widest[1] = min(widest[1], MAX_TEXT_WIDTH)  # a stray long cell wraps, not the whole page
        scale = style.cell_size / 11
        return [min(MAX_WIDTH, round((w * 1.1 + 3) * scale, 2)) for w in widest]


def progress(index: int, total: int, item: Publication) -> str:
    return f"{index}/{total} {item.text}"


def ratio_note(value: object) -> str:
    try:
        shown = f"{float(value) * 100:g}%"  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        shown = str(value)[:40]
    return f"文字大小比例 {shown} 無法使用，改以 {protocol.DEFAULT_RATIO * 100}% 輸出"
