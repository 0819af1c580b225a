"""Publication numbers as people write them, and their standard IDs.

The standard ID is the one Google Patents uses for a publication's page:
country, number and kind code with no separators ("US20200123456A1"). Each
office writes its numbers its own way ("US 2020/0123456 A1", "WO 01/12345
A1", "KR 10-2019-0123456 A", "JP H10-123456 A"); the rules per office below
turn those into the ID.
"""

from __future__ import annotations

import dataclasses
import functools
import re
import unicodedata
from collections.abc import Callable
from dataclasses import dataclass, field

from .text import MAX_ENTRY, shown

STATUS_BAD = "格式不符"
STATUS_REPEAT = "重複"
STATUS_APPLICATION = "申請號，非公開號"
# What the status column adds to an entry; the summary counts entries by them.
NOTE_CORRECTED = "已更正為 {}"
NOTE_NO_KIND = "美國公開案無 {} 種類碼"
NOTE_RESOLVED = "申請號，已對應其公開號"  # an application's number, listed as its first publication
NOTE_UNRESOLVED = "查無對應的公開號"
NOTE_NO_DATA = "查無書目資料"
NOTE_KIND_CHOSEN = "未註明種類碼，以最早公開的 {} 為準（另有 {}）"  # the data source holds several kinds of the number

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
    application: bool = False  # an application's number: named, never linked
    note: str = ""  # what was assumed or found wrong, for the user to see
    reason: str = ""  # why the text is no number
    repeat_of: int | None = None  # the 序號 of the earlier entry of the same document
    extra: tuple = ()  # the list's other values on the entry's row, as the report carries them
    family: str | None = None  # its simple family (DOCDB family-id), where the data source or the list names it

    # Worked out once, when the entry is made (the writers ask for them per cell).
    id: str | None = field(init=False, repr=False, compare=False)  # the standard ID of a publication
    address: str | None = field(init=False, repr=False, compare=False)  # its public page
    identity: str | None = field(init=False, repr=False, compare=False)  # one text per document

    def __post_init__(self) -> None:
        publication = self.country and not self.application
        standard = f"{self.country}{self.number}{self.kind or ''}" if publication else None
        object.__setattr__(self, "id", standard)
        object.__setattr__(self, "address", PAGE.format(standard) if standard else None)
        # A PCT application's number names its own office ("PCT/US2019/012345").
        written = self.number if self.number and self.number.startswith("PCT/") else f"{self.country}{self.number}"
        identity = f"{STATUS_APPLICATION} {written}" if self.application else standard
        object.__setattr__(self, "identity", identity if self.country else None)

    @property
    def bad(self) -> bool:
        return not self.country

    @property
    def status(self) -> str:
        """Empty for an ordinary entry: it speaks only when there is something to say."""
        if self.bad:
            return f"{STATUS_BAD}：{self.reason}"
        own = self.note
        if self.application:
            own = f"{STATUS_APPLICATION}；{self.note}" if self.note else STATUS_APPLICATION
        if self.repeat_of is not None:  # what was assumed of a repeat is said too: it was read the same way
            repeat = f"{STATUS_REPEAT}（同序號 {self.repeat_of}）"
            return f"{repeat}；{own}" if own else repeat
        return own

    def noted(self, note: str) -> bool:
        """Whether the entry carries one of the notes above."""
        return note.split("{")[0] in self.note


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


# ---------------------------------------------------------------- the forms offices use

Parts = tuple  # (country, number, kind, application, note, reason): Publication's fields after its text

# Applications' numbers: recognised, named as such, never linked.
_APPLICATIONS: tuple[tuple[re.Pattern[str], Callable[[re.Match[str]], tuple[str, str]]], ...] = (
    (re.compile(r"(?:CN|ZL)?\s*(\d{8}(?:\d{4})?)\.([\dX])"), lambda m: ("CN", f"{m[1]}.{m[2]}")),
    (re.compile(r"EP\s*(\d{2})\s*(\d{3})\s*(\d{3})\s*\.\s*(\d)"), lambda m: ("EP", f"{m[1]}{m[2]}{m[3]}.{m[4]}")),
    (re.compile(r"(?:US\s*)?(\d{2})/(\d{3}),?(\d{3})"), lambda m: ("US", f"{m[1]}/{m[2]},{m[3]}")),
    # A PCT application, filed with a receiving office and handled by WIPO: its number is one whole
    # (PCT/US2019/012345, before 2004 PCT/GB02/04635).
    (
        re.compile(r"PCT\s*/\s*([A-Z]{2})\s*(\d{4}|\d{2})\s*/\s*(\d{6}|\d{5})"),
        lambda m: ("WO", f"PCT/{m[1]}{m[2]}/{m[3]}"),
    ),
    (re.compile(r"(?:TW\s*)?(1\d{8})"), lambda m: ("TW", m[1])),  # ROC year and serial
    (re.compile(r"特願\s*(\d{4})\s*-\s*(\d{1,6})"), lambda m: ("JP", f"{m[1]}-{m[2].zfill(6)}")),
)
# What offices write without a country code: Taiwan's certificate numbers,
# Japan's and Korea's own forms. (pattern, country, number, kind)
_TW_KINDS = {"I": "B", "M": "U", "D": "S"}
_SHORTHAND: tuple[tuple[re.Pattern[str], Callable[[re.Match[str]], tuple[str, str, str]]], ...] = (
    (
        re.compile(r"(?:TW\s*)?(?:發明|新型|設計)?第?\s*([IMD])\s*(\d{6})\s*號?\s*([A-Z]\d?)?"),
        lambda m: ("TW", m[1] + m[2], m[3] or _TW_KINDS[m[1]]),
    ),
    (re.compile(r"(?:JP\s*)?特開\s*(\d{4})\s*-\s*(\d{1,6})"), lambda m: ("JP", m[1] + m[2].zfill(6), "A")),
    (
        re.compile(r"(?:JP\s*)?特開\s*([平昭])\s*(\d{1,2})\s*-\s*(\d{1,6})"),
        lambda m: ("JP", ("H" if m[1] == "平" else "S") + m[2].zfill(2) + m[3].zfill(6), "A"),
    ),
    (re.compile(r"(?:JP\s*)?特表\s*(\d{4})\s*-\s*(\d{1,6})"), lambda m: ("JP", m[1] + m[2].zfill(6), "A")),
    (re.compile(r"(?:JP\s*)?再表\s*(\d{4})\s*[-/]\s*(\d{1,6})"), lambda m: ("JP", "WO" + m[1] + m[2].zfill(6), "A1")),
    (re.compile(r"(?:JP\s*)?特許第?\s*(\d{7})\s*[号號]?"), lambda m: ("JP", m[1], "B2")),
    (
        re.compile(r"(?:JP\s*)?(?:実用新案登録|實用新案登錄|実用新案登錄|實用新案登録)第?\s*(\d{7})\s*[号號]?"),
        lambda m: ("JP", m[1], "U"),
    ),
    (
        re.compile(r"(?:KR\s*)?(10|20)\s*-\s*((?:19|20)\d\d)\s*-\s*(\d{7})"),
        lambda m: ("KR", m[2] + m[3], "A" if m[1] == "10" else "U"),
    ),
    (re.compile(r"(?:KR\s*)?(10|20)\s*-\s*(\d{7})"), lambda m: ("KR", m[1] + m[2], "B1" if m[1] == "10" else "Y1")),
)
US_PUBLICATION_KINDS = ("A1", "A2", "A9")
# What may be one of the forms above: most entries are the standard form and skip them.
_SPECIAL = re.compile(r"[特再実實發新設第号號]|\.\s*[\dX]$|^\d|^[IMD]\s*\d|^PCT|^US\s*\d\d/|^(?:TW|CN|ZL|JP|KR)\s*\d")


def _bad(reason: str) -> Parts:
    return None, None, None, False, "", reason


@functools.lru_cache(maxsize=1 << 16)  # finding the list asks of every cell what writing asks again
def _parts(text: str) -> Parts:
    """What a written entry is: a publication (with what was assumed), an
    application, or no number and why."""
    if len(text) > 4 * MAX_ENTRY:
        return _bad("文字過長")
    folded = fold(text)
    special = _SPECIAL.search(folded) is not None
    for pattern, read in _APPLICATIONS if special else ():
        found = pattern.fullmatch(folded)
        if found:
            return *read(found), None, True, "", ""
    for pattern, spell in _SHORTHAND if special else ():
        found = pattern.fullmatch(folded)
        if found:
            return *spell(found), False, "", ""
    match = _NUMBER.fullmatch(folded)
    if match is None or match["cc"] not in OFFICES:
        return _bad(_why(folded, match))
    made = _number(match["cc"], match["prefix"] or "", match["digits"], match["kind"] or "")
    if made is None:
        return _bad("號碼的位數或分隔不符")
    return _checked(match["cc"], made[0], made[1] or None)


def _why(folded: str, match: re.Match[str] | None) -> str:
    if match is not None:
        return f"無此國別或機構代碼 {match['cc']}"
    if not any(ch.isdigit() for ch in folded):
        return "不含號碼"
    if folded[:1].isdigit():
        return "缺少國別代碼"
    return "無法辨識的號碼格式"


def _checked(country: str, number: str, kind: str | None) -> Parts:
    """The office's own form of a number read as meant: the DOCDB form of US
    publications widened, a digit 1 for Taiwan's I corrected, a kind code the
    office never gives named."""
    note = ""
    if country == "US" and number.isdigit() and number[:2] in ("19", "20"):
        if len(number) == 10 and kind in (None, *US_PUBLICATION_KINDS):
            number = number[:4] + "0" + number[4:]  # DOCDB's year and six digits: the page has seven
        if len(number) == 11 and kind not in (None, *US_PUBLICATION_KINDS):
            note, kind = NOTE_NO_KIND.format(kind), None
    elif country == "TW" and len(number) == 7 and number.startswith("1") and kind in (None, "B"):
        number, kind = "I" + number[1:], "B"
        note = NOTE_CORRECTED.format(f"TW{number}{kind}")
    elif country == "TW" and number[:1] in _TW_KINDS and number[1:].isdigit() and kind is None:
        kind = _TW_KINDS[number[0]]
    return country, number, kind, False, note, ""


def forget() -> None:
    """Lets go of what one job's list taught the number rules."""
    _parts.cache_clear()


def parse(text: str) -> Publication:
    """One entry of the list: a publication, an application, or text listed as 格式不符."""
    return Publication(shown(text), *_parts(text))


def of_reference(country: str, number: str, kind: str | None) -> Publication:
    """A publication a data source names by its parts (DOCDB's "EP", "1000000",
    "A1"), read as the office's own form: a US publication's number widened."""
    return Publication(f"{country}{number}{kind or ''}", *_checked(country, number, kind or None))


# Kinds that publish a search report or a correction alone (WO and EP A3, EP's
# A4, A8/A9 and B8/B9): the document a number means only when nothing else is.
_LATE_KINDS = re.compile(r"A[3-9]|[A-Z][89]")


def _kind_rank(kind: str) -> int:
    if kind in ("A1", "A2"):
        return 0  # the application published, with or without its search report
    if kind == "A":
        return 1
    if _LATE_KINDS.fullmatch(kind):
        return 4
    return 3 if kind[:1] in ("B", "C") else 2  # a grant comes after the publication it follows


def first_publication(held: dict[str, str]) -> list[str]:
    """The kinds published under one number (kind → its date as DOCDB writes
    it, "" unknown), the one a number written without its kind means first:
    the earliest publication (A1 or A2, else A) before any grant, and a
    search report or a correction published alone last."""
    return sorted(held, key=lambda kind: (_kind_rank(kind), held[kind] or "99999999", kind))


def looks_like_number(text: str) -> bool:
    return _parts(text)[0] is not None


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
    """A later entry of a document already listed, however it is written, is
    marked as repeating the first (its 序號)."""
    first: dict[str, int] = {}
    marked = []
    for index, item in enumerate(items, start=1):
        identity = item.identity
        if identity is not None and identity in first:
            item = dataclasses.replace(item, repeat_of=first[identity])
        elif identity is not None:
            first[identity] = index
        marked.append(item)
    return marked
