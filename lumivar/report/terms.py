"""A document's expected expiry (預估屆期): its office's term for its type of
right, counted from the date the office counts it from, and ended on the day
that office's register writes.

Each rule below names the law it follows, checked against the office's own
published text. An office and type with no rule here (JP and KR designs, US
plant patents and reissues, WO applications, which are no patents, …) gives
no date rather than a guess; so does a date a rule needs and the data lacks.
"""

from __future__ import annotations

import calendar
import datetime as dt
import re
from collections.abc import Iterable
from dataclasses import dataclass

INVENTION, UTILITY, DESIGN = "invention", "utility", "design"
DERIVED = "推定"

# How an office writes the last day of a term of N years from day F.
# "day before": the term counts F itself, so it ends the day before F's
# anniversary (or, with no such day in that month, on its last day);
# "anniversary": the term counts from the day after F, so it ends on the
# anniversary itself (or the month's last day). A term of 20 years from
# 2012-03-05 ends 2032-03-04 in the first way and 2032-03-05 in the second.
DAY_BEFORE, ANNIVERSARY = "day before", "anniversary"
ENDS = {
    # TIPO: 專利法第 52 條第 3 項「自申請日起算二十年屆滿」, 民法第 121 條第 2 項 (the day
    # before the anniversary, or the month's last day); TIPO's own example: filed
    # 94-09-13, in force to 114-09-12.
    "TW": DAY_BEFORE,
    # CNIPA: 专利法第 42 条「均自申请日起计算」; 专利审查指南 第五部分第九章 2.1: a
    # utility model filed 1999-09-06 runs 1999-09-06 to 2009-09-05 (it terminates on
    # 2009-09-06, the register's 期满终止日; the term's last day is shown).
    "CN": DAY_BEFORE,
    # JPO: 特許法第 67 条「特許出願の日から二十年をもつて終了する」with 第 3 条 (the first
    # day not counted, ended the day before the anniversary of the day after): filed
    # 2006-06-09, ends 2026-06-09.
    "JP": ANNIVERSARY,
    # KIPO: 특허법 제 88 조「특허출원일 후 20년이 되는 날까지」: the anniversary itself.
    "KR": ANNIVERSARY,
    # EPO: Art. 63(1) EPC, 20 years from the date of filing, computed by Rule 131(2)
    # and (4) EPC: the day after the event starts it, the same-numbered day ends it.
    "EP": ANNIVERSARY,
    # USPTO: 35 U.S.C. 154(a)(2) "ending 20 years from the date on which the
    # application ... was filed"; the USPTO's patent term calculator gives the
    # anniversary (filed 2010-04-09, expires 2030-04-09); designs likewise from grant
    # (35 U.S.C. 173).
    "US": ANNIVERSARY,
}

# Types of right by the office's kind codes (WIPO ST.16 as each office uses it).
_KINDS = {
    "TW": {"A": INVENTION, "B": INVENTION, "U": UTILITY, "S": DESIGN},
    "CN": {"A": INVENTION, "B": INVENTION, "C": INVENTION, "U": UTILITY, "Y": UTILITY, "S": DESIGN, "D": DESIGN},
    "JP": {"A": INVENTION, "B": INVENTION, "C": INVENTION, "U": UTILITY, "Y": UTILITY, "S": DESIGN},
    "KR": {"A": INVENTION, "B": INVENTION, "U": UTILITY, "Y": UTILITY, "S": DESIGN},
    "EP": {"A": INVENTION, "B": INVENTION},
    "US": {"A": INVENTION, "B": INVENTION, "S": DESIGN},
}
_TW_PREFIXES = {"I": INVENTION, "M": UTILITY, "D": DESIGN}

TW_DESIGN_AMENDED = dt.date(2019, 11, 1)  # 專利法第 135 條 (15 years), in force 2019-11-01
US_GATT = dt.date(1995, 6, 8)  # 35 U.S.C. 154(c): the greater of 20 years from filing and 17 from grant before it
US_DESIGN_15 = dt.date(2015, 5, 13)  # 35 U.S.C. 173 as amended by the PLTIA: 15 years, 14 before
CN_DESIGN_15 = dt.date(2021, 6, 1)  # 专利法第 42 条 (2020 amendment): 15 years for applications filed from then


@dataclass(frozen=True)
class Claim:
    """A priority or parent application a document names (DOCDB's priority claims)."""

    country: str
    kind: str  # DOCDB's application kind: A, P (a US provisional), W (a PCT application), …
    filed: dt.date
    linkage: str = ""  # DOCDB's priority-linkage-type: W (PCT), 1 (continuation), 2 (CIP), 3 (divisional), …


@dataclass(frozen=True)
class Expiry:
    day: dt.date
    basis: str  # what it is counted from, for the detail sheet
    derived: bool = False  # a guess the data cannot settle (term adjustments, a parent not named)

    @property
    def shown(self) -> str:
        return f"{self.day:%Y-%m-%d}（{DERIVED}）" if self.derived else f"{self.day:%Y-%m-%d}"


@dataclass(frozen=True)
class Rule:
    """One office's term for one type of right, for applications filed from `since` (inclusive) up to `until`."""

    office: str
    right: str
    years: int
    since: dt.date = dt.date.min
    until: dt.date = dt.date.max
    from_grant: bool = False


# The terms, by office, type and filing date; the first rule that fits applies.
RULES = (
    # 專利法第 52 條第 3 項 (20 years), in force since 1994-01-23.
    Rule("TW", INVENTION, 20, since=dt.date(1994, 1, 23)),
    # 專利法第 114 條 (10 years) since the 2003 amendment in force 2004-07-01; older
    # utility models kept their 12 years (第 148 條) and have all ended.
    Rule("TW", UTILITY, 10, since=dt.date(2004, 7, 1)),
    # (Taiwan's designs: see _tw_design.)
    # 专利法第 42 条: inventions 20 years, utility models 10, since the 1992 amendment (in force 1993-01-01).
    Rule("CN", INVENTION, 20, since=dt.date(1993, 1, 1)),
    Rule("CN", UTILITY, 10, since=dt.date(1993, 1, 1)),
    Rule("CN", DESIGN, 15, since=CN_DESIGN_15),
    Rule("CN", DESIGN, 10, since=dt.date(1993, 1, 1), until=CN_DESIGN_15),
    # 特許法第 67 条 (20 years from filing) for applications filed from 1995-07-01.
    Rule("JP", INVENTION, 20, since=dt.date(1995, 7, 1)),
    # 実用新案法第 15 条: 10 years from filing, for applications filed from 2005-04-01 (6 before).
    Rule("JP", UTILITY, 10, since=dt.date(2005, 4, 1)),
    # 특허법 제 88 조: 20 years from filing, since 1997-07-01 (before, 15 from publication).
    Rule("KR", INVENTION, 20, since=dt.date(1997, 7, 1)),
    # 실용신안법 제 22 조: 10 years from filing, for applications filed from 2006-10-01.
    Rule("KR", UTILITY, 10, since=dt.date(2006, 10, 1)),
    # Art. 63(1) EPC.
    Rule("EP", INVENTION, 20),
    # 35 U.S.C. 154(a)(2); before 1995-06-08 the greater of this and 17 years from grant (see _us).
    Rule("US", INVENTION, 20),
    # 35 U.S.C. 173: designs 15 years from grant, 14 for applications filed before 2015-05-13.
    Rule("US", DESIGN, 15, since=US_DESIGN_15, from_grant=True),
    Rule("US", DESIGN, 14, until=US_DESIGN_15, from_grant=True),
)


def right_of(country: str, number: str, kind: str | None) -> str | None:
    """The type of right a publication is of (invention, utility model, design), None when its number does not say."""
    if country == "TW" and number[:1] in _TW_PREFIXES:
        return _TW_PREFIXES[number[0]]
    if country == "US":
        if re.match(r"(?:PP|RE|H|T|X|AI|RX)\d", number):
            return None  # plants, reissues, SIRs, defensive publications: no term of their own here
        if number.startswith("D"):
            return DESIGN
    if not kind:
        return None
    return _KINDS.get(country, {}).get(kind[:1])


def _years_later(day: dt.date, years: int) -> dt.date:
    """The same day `years` later; the month's last day where it has no such day (29 February)."""
    year = day.year + years
    return dt.date(year, day.month, min(day.day, calendar.monthrange(year, day.month)[1]))


def end_of_term(office: str, start: dt.date, years: int) -> dt.date:
    """The last day of a term of `years` from `start` as the office writes it."""
    later = _years_later(start, years)
    if ENDS.get(office, ANNIVERSARY) == DAY_BEFORE and later.day == start.day:
        return later - dt.timedelta(days=1)
    return later  # no same-numbered day: the month's last day, in either way of counting


def _rule(office: str, right: str, filed: dt.date) -> Rule | None:
    return next(
        (r for r in RULES if r.office == office and r.right == right and r.since <= filed < r.until),
        None,
    )


def expiry(
    country: str,
    number: str,
    kind: str | None,
    filed: dt.date | None,
    *,
    granted: dt.date | None = None,
    claims: Iterable[Claim] = (),
) -> Expiry | None:
    """The expected expiry of a publication from its filing date (DOCDB's),
    its grant date where its term counts from it, and the applications it
    names; None where no rule here applies or a date it needs is unknown."""
    right = right_of(country, number, kind)
    if right is None or filed is None:
        return None
    claims = list(claims)
    start, basis, derived = _start(country, filed, claims)
    rule = _rule(country, right, start)
    if country == "TW" and right == DESIGN:
        return _tw_design(start, basis, derived)
    if rule is None:
        return None
    if rule.from_grant:
        if granted is None:
            return None
        return Expiry(end_of_term(country, granted, rule.years), f"自核准日 {granted:%Y-%m-%d} 起 {rule.years} 年")
    day = end_of_term(country, start, rule.years)
    text = f"{basis} {start:%Y-%m-%d} 起 {rule.years} 年"
    if country == "US":
        return _us(day, start, text, granted)
    return Expiry(day, text, derived)


def _start(country: str, filed: dt.date, claims: list[Claim]) -> tuple[dt.date, str, bool]:
    """The day a term counts from, what it is, and whether it is a guess.

    A national or regional phase of a PCT application counts from the
    international filing date; a divisional application from its parent's
    (EPC Art. 76(1), 专利法实施细则第 43 条, 特許法第 44 条第 2 項, 專利法第 34 條第
    2 項), which DOCDB names as a priority claim of linkage 3 where it knows
    it; in the US the earliest non-provisional US or PCT application the
    document claims (35 U.S.C. 154(a)(2): 120, 121, 365(c)), never a
    provisional or a foreign priority (154(a)(3))."""
    if country == "US":
        counted = [c.filed for c in claims if (c.country == "US" and c.kind not in ("P", "")) or c.kind == "W"]
        start = min([filed, *counted])
        return start, "自最早的美國或 PCT 申請日" if start < filed else "自申請日", False
    international = [c.filed for c in claims if c.kind == "W" or c.linkage == "W"]
    parents = [c.filed for c in claims if c.linkage in ("3", "D") and c.country == country]
    if parents:
        return min(parents), "自母案申請日", False
    if international and min(international) <= filed:
        return min(international), "自國際申請日", False
    # An earlier application of the same office named without its linkage may be the parent
    # of a divisional or a domestic priority: the term is counted from this filing, as a guess.
    unsure = any(c.country == country and c.kind != "W" and c.filed < filed for c in claims)
    return filed, "自申請日", unsure


def _tw_design(filed: dt.date, basis: str, derived: bool) -> Expiry | None:
    """Taiwan's designs: 15 years (專利法第 135 條 as amended in 2019, in force 2019-11-01), also for
    those filed earlier whose 12 years had not ended by then (第 157 條之 4); 12 years for the others."""
    if filed < dt.date(2004, 7, 1):
        return None
    twelve = end_of_term("TW", filed, 12)
    years = 15 if twelve >= TW_DESIGN_AMENDED else 12
    return Expiry(end_of_term("TW", filed, years), f"{basis} {filed:%Y-%m-%d} 起 {years} 年", derived)


def _us(day: dt.date, start: dt.date, text: str, granted: dt.date | None) -> Expiry | None:
    """A US utility patent: always a guess, its term adjustments and disclaimers being unknown; for an
    application filed before 1995-06-08 the greater of 20 years from filing and 17 from grant."""
    if start < US_GATT:
        if granted is None:
            return None
        seventeen = end_of_term("US", granted, 17)
        if seventeen > day:
            return Expiry(seventeen, f"自核准日 {granted:%Y-%m-%d} 起 17 年", True)
    return Expiry(day, text, True)


def parse_claims(text: str) -> list[Claim]:
    """Claims as data.py keeps them: "US.96495207.A.20071227.;US.2008086599.W.20081212.W"."""
    found = []
    for item in text.split(";") if text else ():
        parts = item.split(".")
        if len(parts) != 5:
            continue
        day = parse_day(parts[3])
        if day is not None:
            found.append(Claim(parts[0], parts[2], day, parts[4]))
    return found


def parse_day(text: str | None) -> dt.date | None:
    """A date as DOCDB writes it (20120305) or as ISO (2012-03-05); None for anything else."""
    digits = (text or "").replace("-", "")
    if not re.fullmatch(r"\d{8}", digits):
        return None
    try:
        return dt.date(int(digits[:4]), int(digits[4:6]), int(digits[6:]))
    except ValueError:
        return None
