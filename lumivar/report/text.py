"""Text as the report shows it: on one line, shortened, measured in the
columns it takes (CJK characters count double)."""

from __future__ import annotations

from ..messages import readable

# A cell longer than this is no publication number; it is shown shortened.
MAX_ENTRY = 100


def one_line(text: str) -> str:
    """Text fit for one message line and one cell: no control characters, and
    a file name's bytes that are no UTF-8 shown as the replacement character."""
    joined = " ".join(str(text).split())
    if joined.isprintable():
        return joined
    return "".join(ch if ch.isprintable() else " " for ch in readable(joined))


def shown(text: str, limit: int = MAX_ENTRY) -> str:
    line = one_line(text)
    return line if len(line) <= limit else f"{line[:limit]}…"


def is_cjk(ch: str) -> bool:
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
    return not text.isascii() and any(is_cjk(ch) for ch in text)


def display_width(text: str) -> int:
    """Columns a text takes in a cell: CJK characters count double."""
    if text.isascii():
        return len(text)
    return sum(2 if is_cjk(ch) else 1 for ch in text)


def script_runs(text: str) -> list[tuple[str, bool]]:
    """The text cut where it turns from CJK to Latin letters, digits and
    punctuation or back: (run, is CJK). Spaces stay with the run before."""
    runs: list[tuple[str, bool]] = []
    for ch in text:
        cjk = is_cjk(ch)
        if runs and (runs[-1][1] == cjk or ch == " "):
            runs[-1] = (runs[-1][0] + ch, runs[-1][1])
        else:
            runs.append((ch, cjk))
    return runs
