"""Publication numbers as people write them, and their standard IDs.

The standard ID is the one Google Patents uses for a publication's page:
country, number and kind code with no separators ("US20200123456A1"). Each
office writes its numbers its own way ("US 2020/0123456 A1", "WO 01/12345
A1", "KR 10-2019-0123456 A", "JP H10-123456 A"); the rules per office below
turn those into the ID.
"""
from __future__ import annotations

import functools
import re
import unicodedata
from dataclasses import dataclass

from .text import MAX_ENTRY, shown

STATUS_OK = "格式正確"
STATUS_BAD = "格式不符"
STATUS_REPEAT = "重複"

PAGE = "https://patents.google.com/patent/{}"

# Offices that publish patent documents: ISO 3166 countries and the regional
# offices (EP, WO, EA, AP, OA, GC, EM).
OFFICES = frozenset(
    """AD AE AF AG AL AM AO AP AR AT AU AZ BA BB BD BE BF BG BH BJ BN BO BR BW BY BZ CA CD CF CG CH CI
    CL CM CN CO CR CS CU CY CZ DD DE DJ DK DM DO DZ EA EC EE EG EM EP ES FI FR GA GB GC GD GE GH GM GN
    GQ GR GT GW HK HN HR HU ID IE IL IN IQ IR IS IT JM JO JP KE KG KH KM KN KP KR KW KZ LA LB LC LI LK
    LR LS LT LU LV LY MA MC MD ME MG MK ML MN MO MR MT MW MX MY MZ NA NE NG NI NL NO NZ OA OM PA PE PG
    PH PK PL PT PY QA RO RS RU RW SA SC SD SE SG SI SK SL SM SN SU SV SY SZ TD TG TH TJ TM TN TR TT TW
    TZ UA UG US UY UZ VC VE VN WO YU ZA ZM ZW""".split()
)
# Letters that belong to the number itself: Taiwan's I/M/D, US reissues,
# designs, plants and SIRs, Japan's era years (Heisei, Showa).
PREFIXES = ("RE", "PP", "RX", "AI", "D", "H", "I", "M", "S", "T", "X")

_INVISIBLE = dict.fromkeys(map(ord, "\u200b\u200c\u200d\u2060\ufeff\u00ad"), None)
_DASHES = re.compile(r"[\u2010-\u2015\u2212\ufe58\ufe63]")
_NUMBER = re.compile(
    r"(?P<cc>[A-Z]{2})[\s\-]*"
    r"(?:(?P<prefix>" + "|".join(PREFIXES) + r")[\s\-]*)?"
    r"(?P<digits>\d(?:[\d\s,./\-]*\d)?)"
    r"(?:[\s\-]*(?P<kind>[A-Z]\d?))?"
)
# A cell that may hold several numbers: a list separator, or two runs of
# two letters (two country codes, or a prefix such as RE) apart.
_LETTERS = r"[A-Za-z\uff21-\uff3a\uff41-\uff5a]{2}"
_MAYBE_SEVERAL = re.compile(rf"[;；、\r\n]|{_LETTERS}.*[\s,，]\s*{_LETTERS}")


@dataclass(frozen=True)
class Publication:
    text: str  # as the user wrote it, on one line (shortened if very long)
    country: str | None = None
    number: str | None = None
    kind: str | None = None
    repeat: bool = False

    @property
    def id(self) -> str | None:
        """The standard ID; None for text that is no publication number."""
        return f"{self.country}{self.number}{self.kind or ''}" if self.country else None

    @property
    def status(self) -> str:
        if not self.country:
            return STATUS_BAD
        return STATUS_REPEAT if self.repeat else STATUS_OK

    @property
    def address(self) -> str | None:
        return PAGE.format(self.id) if self.country else None


def fold(text: str) -> str:
    """Full-width forms, other scripts' decimal digits, NBSP, zero-width
    spaces, dashes, case and a leading apostrophe (Excel's text marker)
    folded away: an ID and its link hold ASCII only."""
    folded = text
    if not text.isascii():
        folded = unicodedata.normalize("NFKC", text).translate(_INVISIBLE)
        folded = "".join(str(unicodedata.decimal(ch)) if ch.isdecimal() else ch for ch in folded)
    folded = _DASHES.sub("-", folded).strip().upper()
    return folded.lstrip("'").strip()


def _groups(digits: str) -> list[str]:
    return [g for g in re.split(r"[\s,./\-]+", digits) if g]


def _number(country: str, prefix: str, digits: str, kind: str) -> tuple[str, str] | None:
    """The office's own form of the number and the kind code; None when it
    cannot be one."""
    groups = _groups(digits)
    joined = "".join(groups)
    if any("," in part for part in re.split(r"[\s./\-]+", digits)):
        # Thousands separators only: 10,123,456.
        if not re.fullmatch(r"\d{1,3}(?:,\d{3})+", re.sub(r"[\s./\-]", "", digits)):
            return None
    if country == "US" and not prefix:
        if len(groups) == 2 and re.fullmatch(r"(19|20)\d\d", groups[0]) and len(groups[1]) <= 7:
            joined = groups[0] + groups[1].zfill(7)  # US 2020/123456 A1
    elif country == "WO" and not prefix:
        if len(groups) == 2 and len(groups[0]) in (2, 4):
            year = groups[0] if len(groups[0]) == 4 else _century(groups[0]) + groups[0]
            joined = year + groups[1].zfill(6)  # WO 01/12345 A1
        elif len(joined) == 7:  # WO0112345: the same, written together
            joined = _century(joined[:2]) + joined[:2] + joined[2:].zfill(6)
    elif country == "KR" and not prefix:
        if len(groups) == 3 and groups[0] in ("10", "20") and re.fullmatch(r"(19|20)\d\d", groups[1]):
            joined = groups[1] + groups[2].zfill(7)  # KR 10-2019-0123456 A
        elif len(joined) == 13 and joined[:2] in ("10", "20") and joined[2:4] in ("19", "20"):
            joined = joined[2:]
    elif country == "JP" and not prefix:
        if len(groups) == 2 and re.fullmatch(r"(19|20)\d\d", groups[0]):
            joined = groups[0] + groups[1].zfill(6)  # JP 2020-123456 A
    if country == "US" and prefix == "RE" and kind == "E":
        kind = "E1"  # the ID Google Patents gives reissues
    if len(prefix + joined) < 4:
        return None
    return prefix + joined, kind


def _century(year: str) -> str:
    return "19" if int(year) >= 50 else "20"


def _match(folded: str) -> re.Match[str] | None:
    match = _NUMBER.fullmatch(folded)
    if match and match["cc"] in OFFICES:
        return match
    return None


@functools.lru_cache(maxsize=1 << 16)  # finding the list asks of every cell what writing asks again
def _parts(text: str) -> tuple[str, str, str | None] | None:
    """(country, number, kind) of a publication number; None for other text."""
    if len(text) > 4 * MAX_ENTRY:
        return None
    match = _match(fold(text))
    if not match:
        return None
    made = _number(match["cc"], match["prefix"] or "", match["digits"], match["kind"] or "")
    if made is None:
        return None
    return match["cc"], made[0], made[1] or None


def forget() -> None:
    """Lets go of what one job's list taught the number rules."""
    _parts.cache_clear()


def parse(text: str) -> Publication:
    """One entry of the list: a publication, or text listed as 格式不符."""
    parts = _parts(text)
    return Publication(shown(text), *parts) if parts else Publication(shown(text))


def looks_like_number(text: str) -> bool:
    return _parts(text) is not None


def split_cell(text: str) -> list[str]:
    """The entries of one cell: one, or one per number when the cell holds
    two or more complete numbers between separators."""
    if len(text) > 4 * MAX_ENTRY or not _MAYBE_SEVERAL.search(text) or looks_like_number(text):
        return [text]
    parts = [p for p in re.split(r"[;；、\r\n]+", text) if p.strip()]
    pieces: list[str] = []
    for part in parts:
        pieces.extend(_split_run(part) if not looks_like_number(part) else [part])
    if len(pieces) >= 2 and all(looks_like_number(p) for p in pieces):
        return [p.strip() for p in pieces]
    return [text]


def _split_run(part: str) -> list[str]:
    """A run of numbers separated by commas or spaces: cut where the next
    number's country code begins."""
    folded = fold(part)
    starts = [m.start() for m in re.finditer(r"(?<![A-Z])[A-Z]{2}(?=[\s\-]*(?:[A-Z]{1,2}[\s\-]*)?\d)", folded)]
    if len(starts) < 2 or len(folded) != len(part.strip().upper().lstrip("'").strip()):
        return [part]
    cuts = starts + [len(folded)]
    source = part.strip().lstrip("'").strip()
    return [source[a:b].strip(" ,，\t") for a, b in zip(cuts, cuts[1:])]


def mark_repeats(items: list[Publication]) -> list[Publication]:
    """Later entries whose ID equals an earlier one's are marked 重複."""
    seen: set[str] = set()
    marked = []
    for item in items:
        if item.id is not None and item.id in seen:
            item = Publication(item.text, item.country, item.number, item.kind, repeat=True)
        elif item.id is not None:
            seen.add(item.id)
        marked.append(item)
    return marked
