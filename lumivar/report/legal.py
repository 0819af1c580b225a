"""A document's legal status (法律狀態), derived from its INPADOC legal events
as OPS's legal service gives them (`legal/publication/docdb/{reference}`).

INPADOC gathers the offices' gazettes; it is not their register, so every
state here is derived (推定) and the event that decided it is named. The
state is one of a closed set of words, decided from the events' codes, never
from their "+"/"−" marks (which say whether an event is good news for the
applicant: in the recorded EP1000000A1 answer "+" marks an examination report
and fee payments, "−" a lapse in one state). For an EP document the status
text of its latest STAA event (the European Patent Register's own status)
decides; a granted EP patent lapsed in some of its designated states says
which. With no event that tells, the state is 無法律狀態資料, never a guess.

What INPADOC holds for Taiwan: TIPO's post-grant gazette events, by the
codes below (a certificate issued for a granted invention GD4A or utility
model GD4K, renewal fees paid KB4A/KB4K, lapse for unpaid fees MM4A/MM4K,
expiry of the term MK4A/MK4K, abandonment MA4A/MA4K, revocation MC4A/MC4K);
nothing of an application's examination, and no design events. A pending
TW application, or a utility model or design without those events, has no
legal status data.
"""

from __future__ import annotations

import datetime as dt
import re
from dataclasses import dataclass

from .ooxml import local, parse

PENDING, IN_FORCE, EXPIRED, LAPSED, WITHDRAWN, REFUSED, NO_DATA = (
    "審查中",
    "有效",
    "屆期",
    "失效",
    "撤回",
    "駁回",
    "無法律狀態資料",
)
STATES = (PENDING, IN_FORCE, EXPIRED, LAPSED, WITHDRAWN, REFUSED, NO_DATA)
DERIVED = "推定"
MAX_EVENTS = 2000  # of one document: an EP patent with fees paid in 38 states for 20 years has some 800
MAX_TEXT = 300  # characters of one event's text kept

# What an event says of the right, by office and INPADOC code. GRANTED and
# FEE both mean in force; an event not listed says nothing of the state.
GRANTED, FEE = "granted", "fee"
CODES: dict[str, dict[str, str]] = {
    # TIPO's post-grant events (see above).
    "TW": {
        "GD4A": GRANTED,
        "GD4K": GRANTED,
        "KB4A": FEE,
        "KB4K": FEE,
        "MM4A": LAPSED,
        "MM4K": LAPSED,
        "MK4A": EXPIRED,
        "MK4K": EXPIRED,
        "MA4A": WITHDRAWN,
        "MA4K": WITHDRAWN,
        "MC4A": LAPSED,  # revoked
        "MC4K": LAPSED,
    },
    # CNIPA's gazette (its older C-codes and the current ones).
    "CN": {
        "C06": PENDING,
        "PB01": PENDING,
        "C10": PENDING,
        "SE01": PENDING,
        "C14": GRANTED,
        "GR01": GRANTED,
        "C17": LAPSED,
        "CF01": LAPSED,  # termination for an unpaid annual fee
        "EXPY": EXPIRED,
        "C02": WITHDRAWN,
        "WD01": WITHDRAWN,  # deemed withdrawn after publication
        "C12": REFUSED,
        "RJ01": REFUSED,
    },
    # The USPTO's status and fee events.
    "US": {
        "STPP": PENDING,
        "STCV": PENDING,  # an appeal
        "STCF": GRANTED,  # "PATENTED CASE"
        "MAFP": FEE,
        "FPAY": FEE,
        "STCB": WITHDRAWN,  # abandoned
        "STCH": LAPSED,  # "PATENT EXPIRED DUE TO NONPAYMENT OF MAINTENANCE FEES"
        "LAPS": LAPSED,
        "FP": LAPSED,
        "EXP": EXPIRED,
    },
    "JP": {"A521": PENDING, "A131": PENDING, "R150": GRANTED, "R250": FEE, "LAPS": LAPSED, "EXPY": EXPIRED},
    "KR": {
        "A201": PENDING,
        "E902": PENDING,
        "E701": GRANTED,
        "GRNT": GRANTED,
        "PR1001": FEE,
        "PC1903": LAPSED,
        "PC1801": EXPIRED,
        "E601": REFUSED,
    },
    # The EPO's own events, for an EP document whose answer has no STAA event.
    "EP": {
        "17P": PENDING,
        "17Q": PENDING,
        "26N": GRANTED,  # no opposition filed
        "PLBE": GRANTED,
        "18D": WITHDRAWN,  # deemed to be withdrawn
        "18W": WITHDRAWN,
        "18R": REFUSED,
    },
}
# The European Patent Register's status texts (STAA's free text), by what they say.
_EP_STATUS = (
    (re.compile(r"WITHDRAWN"), WITHDRAWN),  # "THE APPLICATION HAS BEEN WITHDRAWN", "… IS DEEMED TO BE WITHDRAWN"
    (re.compile(r"REFUSED"), REFUSED),
    (re.compile(r"REVOKED"), LAPSED),
    (re.compile(r"GRANTED|NO OPPOSITION|OPPOSITION|MAINTAINED|LIMITED|UNITARY EFFECT"), GRANTED),
    (re.compile(r"PUBLISHED|PUBLICATION|EXAMINATION|GRANT OF PATENT IS INTENDED|APPEAL"), PENDING),
)
# A national office's event that a European patent ended in its state ("GB: EUROPEAN PATENT CEASED …", "BE: LAPSED").
_NATIONAL_END = re.compile(r"([A-Z]{2}): .*(?:LAPSE|CEASED|EXPIR|TRANSLATION NOT FILED|NULL AND VOID)")


@dataclass(frozen=True)
class Event:
    code: str
    description: str
    day: str  # the gazette's date, "YYYY-MM-DD"; "" unknown
    text: str = ""  # its free text ("STATUS: NO OPPOSITION FILED WITHIN TIME LIMIT")
    country: str = ""  # the state it concerns (Ref Country Code), for a European patent's national events
    states: str = ""  # designated states, for AK
    kind: str = ""  # kind code of the document it refers to, for AK

    def named(self) -> str:
        """ "2011-11-30 PG25（GB）LAPSED IN A CONTRACTING STATE …"; a status event by its status text."""
        where = f"（{self.country}）" if self.country else ""
        said = self.text if self.code == "STAA" and self.text else self.description
        return f"{self.day} {self.code}{where or ' '}{said}".strip()

    def row(self) -> list[str]:
        return [self.code, self.description, self.day, self.text, self.country, self.states, self.kind]

    @classmethod
    def of_row(cls, row: object) -> Event | None:
        if not isinstance(row, list) or len(row) != 7 or not all(isinstance(v, str) for v in row):
            return None
        return cls(*row)


@dataclass(frozen=True)
class Status:
    state: str
    event: Event | None = None  # the one that decided it
    lapsed_in: tuple[str, ...] = ()  # a granted EP patent's states where it ended

    @property
    def shown(self) -> str:
        """For the client's table: the state, and where a European patent ended."""
        return f"{self.state}；{'、'.join(self.lapsed_in)} {LAPSED}" if self.lapsed_in else self.state

    @property
    def detail(self) -> str:
        """For the detail sheet: labelled as derived, with the deciding event."""
        if self.state == NO_DATA:
            return NO_DATA
        because = f"（{self.event.named()}）" if self.event else ""
        return f"{DERIVED}：{self.shown}{because}"


# ---------------------------------------------------------------- the answer


def _clean(text: str | None) -> str:
    return " ".join((text or "").split())[:MAX_TEXT]


def _field(legal, number: str) -> str:
    """An event's field by its number (L007EP: the gazette's date), in any office's name for it."""
    for element in legal.iter():
        name = local(element.tag)
        if len(name) == 6 and name.startswith("L" + number):
            return _clean(element.text)
    return ""


def parse_legal(body: bytes) -> dict[str, list[Event]]:
    """DOCDB key of each family member ("EP.1000000.A1") → its legal events, in the answer's order."""
    root = parse(body)
    found: dict[str, list[Event]] = {}
    for member in root.iter("{http://ops.epo.org}family-member"):
        ids = [
            d
            for d in member.iterfind("{*}publication-reference/{*}document-id")
            if d.get("document-id-type") == "docdb"
        ]
        if not ids:
            continue
        key = ".".join(_clean(ids[0].findtext(f"{{*}}{part}")) for part in ("country", "doc-number", "kind"))
        events = found.setdefault(key, [])
        for legal in member.iterfind("{http://ops.epo.org}legal"):
            if len(events) >= MAX_EVENTS:
                break
            day = _field(legal, "007")
            events.append(
                Event(
                    code=_clean(legal.get("code")) or _field(legal, "008"),
                    description=_clean(legal.get("desc")),
                    day=day if re.fullmatch(r"\d{4}-\d\d-\d\d", day) else "",
                    text=_field(legal, "510"),
                    country=_field(legal, "501"),
                    states=_field(legal, "507"),
                    kind=_field(legal, "506"),
                )
            )
    return found


def events_of(reference: str, members: dict[str, list[Event]]) -> list[Event] | None:
    """The events of the document asked (a DOCDB key): its own member, else one of the same number
    (INPADOC keeps events by application, and answers for the family's publication it holds); None
    when the answer has no member for it."""
    if reference in members:
        return members[reference]
    number = reference.rsplit(".", 1)[0] if reference.count(".") == 2 else reference
    same = [events for key, events in members.items() if key.rsplit(".", 1)[0] == number]
    return same[0] if same else None


# ---------------------------------------------------------------- the state


def _latest(events: list[Event]) -> list[Event]:
    """Events by their dates, the undated first; the answer's order among events of one date."""
    return sorted(events, key=lambda e: e.day)


def decide(country: str, events: list[Event] | None, today: dt.date, expires: dt.date | None = None) -> Status:
    """The state the events say, the deciding event with it; a right in force whose expected
    expiry has passed has expired (屆期)."""
    if not events:
        return Status(NO_DATA)
    status = _european(events) if country == "EP" else None
    if status is None:
        status = _by_codes(CODES.get(country, {}), events)
    if status.state == IN_FORCE and expires is not None and expires < today:
        return Status(EXPIRED, status.event)
    return status


def _by_codes(codes: dict[str, str], events: list[Event]) -> Status:
    deciding = None
    for event in _latest(events):
        if event.code in codes:
            deciding = event
    if deciding is None:
        return Status(NO_DATA)
    said = codes[deciding.code]
    return Status(IN_FORCE if said in (GRANTED, FEE) else said, deciding)


def _european(events: list[Event]) -> Status | None:
    """An EP document's state from its latest STAA status; a granted patent's national ends counted."""
    statuses = [e for e in _latest(events) if e.code == "STAA" and e.text]
    said = None
    if statuses:
        text = statuses[-1].text.upper()
        said = next((state for pattern, state in _EP_STATUS if pattern.search(text)), None)
    if said is None:
        by_codes = _by_codes(CODES["EP"], events)
        if by_codes.state == NO_DATA and any(e.code in ("PG25", "PGFP") for e in events):
            by_codes = Status(IN_FORCE, next(e for e in _latest(events) if e.code in ("PG25", "PGFP")))
        if by_codes.state != IN_FORCE:
            return by_codes
        deciding = by_codes.event
    else:
        deciding = statuses[-1]
        if said != GRANTED:
            return Status(said, deciding)
    return _states(events, deciding)


def _states(events: list[Event], deciding: Event | None) -> Status:
    """A granted European patent: in force where it has not ended; ended everywhere, lapsed."""
    designated = [s for e in events if e.code == "AK" for s in e.states.split() if re.fullmatch(r"[A-Z]{2}", s)]
    designated = list(dict.fromkeys(designated))
    ended: dict[str, Event] = {}
    for event in _latest(events):
        state = event.country if event.code == "PG25" else None
        if state is None:
            national = _NATIONAL_END.match(event.description)
            state = national[1] if national else None
        if state:
            ended[state] = event
        elif event.code == "PGRI" and event.country:
            ended.pop(event.country, None)  # reinstated in that state
    if designated and all(s in ended for s in designated):
        return Status(LAPSED, max((ended[s] for s in designated), key=lambda e: e.day))
    lapsed = tuple(s for s in designated if s in ended) or tuple(ended)
    return Status(IN_FORCE, deciding, lapsed)


def shown_expiry(status: Status) -> bool:
    """Whether an expected expiry means anything: not once an event says the right ended or never was."""
    return status.state in (PENDING, IN_FORCE, NO_DATA)
