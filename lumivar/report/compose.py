"""What the report says, composed for its two readers: the client's table,
summary and legend on the report's sheet; every detail of every entry on the
detail sheet, with the bookkeeping at its head.

This is the one place the client's columns are chosen (`CLIENT_COLUMNS`,
`_client_columns`); the writers render what is decided here.
"""

from __future__ import annotations

import dataclasses
import re
import unicodedata
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import datetime
from operator import attrgetter

from . import fields, layout, publications
from .drawings import Thumbnail
from .layout import AUTO, LINK, WRAP, Column, Table
from .publications import NOTE_CORRECTED, NOTE_NO_DATA, NOTE_NO_KIND, NOTE_RESOLVED, Publication

# The client's columns, in this order, each shown only where some entry has a
# value (序號 and 公開號 always). 法律狀態, 預估屆期 and 代表圖 have their places
# for the data that will fill them.
CLIENT_COLUMNS = (
    "序號",
    "類別",
    "公開號",
    "公開日",
    "法律狀態",
    "預估屆期",
    "專利名稱",
    "申請人",
    "IPC",
    "相關請求項",
    "備註",
    "說明",
    "代表圖",
)
SERIAL, CATEGORY, NUMBER, PUBLISHED, LEGAL, EXPIRY, TITLE = CLIENT_COLUMNS[:7]
APPLICANT, IPC, CLAIMS, REMARKS, NOTES, DRAWING = CLIENT_COLUMNS[7:]
# The detail sheet's own columns before the list's: the number's mechanics.
LIST_ROW, WRITTEN, STANDARD, COUNTRY, DIGITS, KIND = "清單列", "公開號", "標準公開號", "國別", "號碼", "種類"
# What templates call the number and the report's notes (those made for earlier reports: 狀態).
NUMBER_NAMES = (NUMBER, "公開/公告號", "公告號", "專利號", "證書號", "publicationnumber", "patentnumber", "id")
NOTES_NAMES = (NOTES, "狀態", "附註", "status")

# Bounded widths, in characters a line holds, so the client's table prints at
# a readable size; a longer text wraps and its row grows.
WIDE, MIDDLE, NARROW = 30, 20, 14
DRAWING_LABEL = "代表圖"


@dataclass
class Report:
    """The report's content, decided before any writer runs."""

    client: Table  # the client's table, its final columns and order
    detail: Table  # every entry with every detail: the same entries, the same 序號
    summary: list[str]  # the client's summary lines
    bookkeeping: list[str]  # what was read and how, for the window and the detail sheet's head
    legend: list[str]  # the categories used, for below the client's table
    made: datetime
    notes: list[str] = dataclasses.field(default_factory=list)  # lines for the window about the composition


# ---------------------------------------------------------------- categories

# ST.14's categories: the three of relevance, strongest first, and the flags beside them.
RELEVANCE = "XYA"
FLAGS = "PEDLOT&"
SHOWN_ORDER = "PEXYADLOT&"  # as search reports write a combination: "P,X", "X,Y"
MEANINGS = {
    "X": "特別相關之文獻，單獨即可使請求項之發明不具新穎性或進步性",
    "Y": "特別相關之文獻，與另一篇以上同類文獻組合時，可使請求項之發明不具進步性",
    "A": "界定一般技術背景之文獻，非特別相關",
    "P": "中間文獻：公開於申請日與所主張之優先權日之間",
    "E": "申請日當天或之後始公開之較早專利文獻",
    "D": "申請人於申請案中引用之文獻",
    "L": "基於其他理由引用之文獻（如可能對優先權主張產生疑義，或為確定另一文獻之公開日）",
    "O": "涉及口頭揭露、使用、展示等非書面揭露之文獻",
    "T": "申請日或優先權日之後公開、與申請案不衝突，為理解發明之原理或理論而引用之文獻",
    "&": "同一專利家族之文獻",
}
_SEPARATORS = re.compile(r"[\s,，、/／;；+＋]+")


def category(value: object) -> str | None:
    """A category as the offices write it ("X", "P,X", "X,Y"), however the
    list wrote it (full-width, lower case, "X/Y", "PX"); None for what is none."""
    if not isinstance(value, str):
        return None
    text = _SEPARATORS.sub("", unicodedata.normalize("NFKC", value)).upper()
    if not text or any(ch not in SHOWN_ORDER for ch in text):
        return None
    return ",".join(ch for ch in SHOWN_ORDER if ch in text)


def strongest(shown: str | None) -> str | None:
    """The strongest of X, Y and A a category names: its entry is ordered and counted by it."""
    return next((c for c in RELEVANCE if shown and c in shown.split(",")), None)


def legend(used: list[str]) -> list[str]:
    """One line per category used, in the order the offices list them, under a heading."""
    letters = {ch for shown in used for ch in shown.split(",")}
    lines = [f"{ch}：{MEANINGS[ch]}" for ch in RELEVANCE + FLAGS if ch in letters]
    return ["類別說明："] + lines if lines else []


# ---------------------------------------------------------------- the search


def search_line(address: str) -> layout.Line:
    """The search as what it asks (its terms, countries and dates), its address on the line."""
    parts = urllib.parse.urlsplit(address)
    if parts.hostname != "patents.google.com":
        return layout.Line("檢索來源：檢索連結", address)
    query = urllib.parse.parse_qs(parts.query)
    said = []
    terms = [t.strip() for t in query.get("q", []) if t.strip()]
    if terms:
        said.append("檢索式 " + " AND ".join(terms))
    for key, name in (("assignee", "申請人"), ("inventor", "發明人")):
        if query.get(key):
            said.append(f"{name} {'、'.join(query[key])}")
    countries = [c for value in query.get("country", []) for c in value.split(",") if c]
    if countries:
        said.append("國別 " + "、".join(countries))
    for key, word in (("after", "起"), ("before", "前")):
        for value in query.get(key, []):
            kind, _, day = value.partition(":")
            kinds = {"priority": "優先權日", "filing": "申請日", "publication": "公開日"}
            if re.fullmatch(r"\d{8}", day):
                said.append(f"{kinds.get(kind, '日期')} {day[:4]}-{day[4:6]}-{day[6:]} {word}")
    text = "；".join(said) if said else "全部"
    return layout.Line(f"檢索來源：Google Patents（{text}）", address)


# ---------------------------------------------------------------- the client's values


def first_applicant(value: object) -> object:
    """The first applicant, with how many more there are ("甲公司 等 3 名")."""
    if not isinstance(value, str):
        return value
    names = applicants(value)
    if len(names) <= 1:
        return value
    return f"{names[0]} 等 {len(names)} 名"


_NAME_BREAKS = re.compile(r"\s*[;；\n、]\s*")
# What follows a comma in one organisation's name ("Co., Ltd."), never a name of its own.
_LEGAL_FORM = re.compile(
    r"(?:ltd|limited|inc|incorporated|corp|corporation|co|llc|plc|gmbh|ag|kg|sa|s\.a|nv|n\.v|bv|b\.v|"
    r"spa|s\.p\.a|srl|oy|ab|as|a/s|kk|k\.k|lp|llp|pte|pty|sas|se)\.?(?:\W.*)?",
    re.IGNORECASE,
)


def applicants(value: str) -> list[str]:
    """The names an applicant cell holds: split at ；, ;, 、 and line breaks,
    and at commas between names (a comma before a legal form stays in its name)."""
    names: list[str] = []
    for part in _NAME_BREAKS.split(value.strip()):
        start = len(names)
        for piece in (p.strip() for p in part.split(",")):
            if not piece:
                continue
            if len(names) > start and _LEGAL_FORM.fullmatch(piece):
                names[-1] = f"{names[-1]}, {piece}"
            else:
                names.append(piece)
    return names


_CLASS_BREAKS = re.compile(r"\s*[;；,，\n]\s*")


def first_class(value: object) -> object:
    """The first IPC class of a cell that holds several."""
    if not isinstance(value, str):
        return value
    classes = [c for c in _CLASS_BREAKS.split(value.strip()) if c]
    return classes[0] if classes else None


def _held(column: Column) -> Callable[[Publication], object]:
    """What a column of values reads of an entry: only the serial number's column reads nothing."""
    assert column.value is not None
    return column.value


def _mapped(column: Column, how: Callable[[object], object], **changes) -> Column:
    get = _held(column)
    return dataclasses.replace(column, value=lambda item: how(get(item)), **changes)


def _label(address_of):
    return lambda item: DRAWING_LABEL if address_of(item) else None


# ---------------------------------------------------------------- composing


def _list_row(item: Publication) -> object:
    return item.extra[0] if item.extra else None


def compose(
    entries: list[Publication],
    header: list[str],
    values: list[tuple],
    *,
    rows: list[int],
    made: datetime,
    place: str,
    search: str | None = None,
    data_line: str | None = None,
    derived_line: str | None = None,
    named: tuple[str, ...] = (),
    beside_marker: bool = False,
    drawings: Mapping[str, Thumbnail] | None = None,
) -> Report:
    """The report of a list's entries (as the data step left them: `header`
    and `values` the list's other columns, `rows` each entry's row of the
    list), made at `made`; `place` says where the numbers were read,
    `search` is the search's address a list names, `data_line` the data
    source's line, `derived_line` what its legal status and expiry were
    derived from, said under it where the client's table shows them;
    `named`, the columns a template's header names, in its order: from the
    table's first column, or (`beside_marker`) right of the marker's cell,
    which is the 序號's as it always was; `drawings`, the representative
    drawings by the publications' standard IDs."""
    carried, converted = fields.carried(header, values, offset=1)
    each_row: list[int | None] = [*rows, *[None] * (len(entries) - len(rows))]
    converted = converted or [()] * len(entries)
    entries = [dataclasses.replace(e, extra=(row, *extra)) for e, row, extra in zip(entries, each_row, converted)]
    by_name = {c.name: c.column for c in carried}
    shown = by_name.get(CATEGORY)
    if shown is not None:
        # Ordered X, Y, A, then the rest, the list's order within each.
        rank: dict[str | None, int] = {c: i for i, c in enumerate(RELEVANCE)}
        held = _held(shown)
        entries.sort(key=lambda e: rank.get(strongest(category(held(e))), len(RELEVANCE)))
    entries = publications.mark_repeats(entries)
    at = next((1 + i for i, c in enumerate(carried) if c.name == CATEGORY), None)
    entries, lines, numbers = families(entries, shown, at)
    picture = _picture(drawings)
    columns, notes = _client_columns(by_name, lines, named, beside_marker, picture)
    client = Table(lines, columns)
    entries, serial = _serials_of_lines(entries, numbers)
    detail = Table(entries, _detail_columns(carried, serial, picture))
    # Counted by the client's lines: a family's once, by the strongest category of its members.
    used = [category(_held(shown)(e)) for e in _documents(lines)] if shown else []
    families_ = len(_documents(lines)) if lines is not entries else None
    # A client reads 有效 as a fact: the summary says it was derived.
    derived = derived_line if {c.header for c in columns} & {LEGAL, EXPIRY} else None
    return Report(
        client,
        detail,
        summary=_summary(entries, made, search, [data_line, derived], [c for c in used if c], families_),
        bookkeeping=[f"專利檔案：{place}", _tally(entries, families_)],
        legend=legend([c for c in used if c]),
        made=made,
        notes=notes,
    )


# ---------------------------------------------------------------- families


def families(
    entries: list[Publication], shown: Column | None, at: int | None
) -> tuple[list[Publication], list[Publication], list[int] | None]:
    """The detail sheet's entries, each family's members together, the
    client's lines: one per family (the member the list names first, the
    others it names said in its notes, its category the strongest of
    theirs), every other entry as it is, and each detail entry's line (its
    序號 in the client's table); `entries` itself twice and None where no two
    documents are of one family. `at`: where an entry's category is in its `extra`."""
    if not any(e.family for e in entries):
        return entries, entries, None
    known: dict[str | None, str] = {e.identity: e.family for e in entries if e.family and e.identity}
    groups: dict[object, list[Publication]] = {}
    for index, entry in enumerate(entries):
        family = entry.family or known.get(entry.identity)  # a repeat the list gave no family is its document's
        groups.setdefault(("family", family) if family else index, []).append(entry)
    if all(sum(1 for m in group if m.repeat_of is None) < 2 for group in groups.values()):
        return entries, entries, None  # nothing to bring together
    rank: dict[str | None, int] = {c: i for i, c in enumerate(RELEVANCE)}

    def strength(item: Publication) -> int:
        return rank.get(strongest(category(_held(shown)(item))), len(RELEVANCE)) if shown else len(RELEVANCE)

    # A family where its strongest member would stand; stable, so the list's order otherwise.
    ordered = sorted(groups.values(), key=lambda group: min(map(strength, group)))
    detail = _renumbered([e for group in ordered for e in group])
    lines, numbers, start = [], [], 0
    for line, group in enumerate(ordered, start=1):
        members = detail[start : start + len(group)]
        start += len(group)
        lines.append(_family_line(members, strength, at) if len(members) > 1 else members[0])
        numbers += [line] * len(members)
    return detail, _renumbered(lines), numbers


def _serials_of_lines(entries: list[Publication], numbers: list[int] | None):
    """The detail sheet's entries numbered by the client's lines they stand
    on (a family's members share its 序號), their repeats pointing to those
    numbers; no change where each entry is a line of its own."""
    if numbers is None:
        return entries, None
    pointed = [
        dataclasses.replace(e, repeat_of=numbers[e.repeat_of - 1]) if e.repeat_of is not None else e for e in entries
    ]
    of = dict(zip(map(id, pointed), numbers))
    return pointed, lambda item: of.get(id(item))


def _renumbered(entries: list[Publication]) -> list[Publication]:
    return publications.mark_repeats([dataclasses.replace(e, repeat_of=None) if e.repeat_of else e for e in entries])


def _family_line(members: list[Publication], strength, at: int | None) -> Publication:
    documents = [m for m in members if m.repeat_of is None] or members
    first = min(documents, key=lambda m: (m.extra[0] is None, m.extra[0] or 0))
    others = [m for m in documents if m is not first]
    said = [f"同族：{'、'.join(m.id or m.text for m in others)}"] if others else []
    said += [first.note] if first.note else []
    said += [f"{m.id or m.text}：{m.status}" for m in others if m.status]
    extra = first.extra
    if at is not None and at < len(extra):
        best = min(members, key=strength)
        extra = (*extra[:at], best.extra[at] if at < len(best.extra) else None, *extra[at + 1 :])
    return dataclasses.replace(first, note="；".join(said), extra=extra)


def _picture(drawings: Mapping[str, Thumbnail] | None):
    """An entry's drawing, where there are any; None without."""
    if not drawings:
        return None
    return lambda item: drawings.get(item.id) if item.id else None


def _drawing(column: Column | None, picture) -> Column:
    """The 代表圖 column: its drawing in the cell; the list's figure link on a short label where it has none."""
    address = column.address if column is not None else None

    def label(item: Publication) -> object:
        return DRAWING_LABEL if address is not None and address(item) and picture(item) is None else None

    return Column(DRAWING, label, font=LINK, address=address, picture=picture)


def _standard_columns(by_name: dict[str, Column], picture=None) -> dict[str, Column]:
    """Every column the client's table can hold, by its name."""
    found: dict[str, Column] = {
        SERIAL: Column(SERIAL, None),
        NUMBER: Column(
            NUMBER,
            lambda item: item.id or item.text,
            font=AUTO,
            max_width=WIDE,
            address=attrgetter("address"),
        ),
        NOTES: Column(NOTES, attrgetter("status"), font=AUTO, max_width=MIDDLE, format=WRAP),
    }
    bounds = {TITLE: WIDE, APPLICANT: MIDDLE, IPC: NARROW, CLAIMS: NARROW, REMARKS: MIDDLE, LEGAL: NARROW}
    for name in (CATEGORY, PUBLISHED, LEGAL, EXPIRY, TITLE, APPLICANT, IPC, CLAIMS, REMARKS):
        column = by_name.get(name)
        if column is None:
            continue
        if name in bounds:
            column = dataclasses.replace(column, max_width=bounds[name], format=column.format or WRAP)
        if name == CATEGORY:
            column = _mapped(column, lambda v: category(v) or v, max_width=8)
        elif name == APPLICANT:
            column = _mapped(column, first_applicant)
        elif name == IPC:
            column = _mapped(column, first_class)
        found[name] = column
    drawing = by_name.get(DRAWING)
    if picture is not None:
        found[DRAWING] = _drawing(drawing, picture)
    elif drawing is not None and drawing.address is not None:
        found[DRAWING] = Column(DRAWING, _label(drawing.address), font=LINK, address=drawing.address)
    return found


def _has_values(column: Column, entries: list[Publication]) -> bool:
    if column.picture is not None and any(column.picture(e) is not None for e in entries):
        return True
    return column.value is None or any(column.value(e) not in (None, "") for e in entries)


def _client_columns(
    by_name: dict[str, Column], entries: list[Publication], named: tuple[str, ...], beside_marker: bool, picture=None
) -> tuple[tuple[Column, ...], list[str]]:
    standard = _standard_columns(by_name, picture)
    if not named:
        chosen = [standard[n] for n in CLIENT_COLUMNS if n in standard]
        return tuple(c for c in chosen if c.header in (SERIAL, NUMBER) or _has_values(c, entries)), []
    return _template_columns(standard, by_name, entries, named, beside_marker)


def _template_columns(
    standard: dict[str, Column],
    by_name: dict[str, Column],
    entries: list[Publication],
    named: tuple[str, ...],
    beside_marker: bool,
) -> tuple[tuple[Column, ...], list[str]]:
    """The columns a template's header names, exactly there and in its order
    (its header cells kept: `named_at`); 公開號 always, and the report's
    notes where the template keeps them; the rest only on the detail sheet."""
    pool = {**{c.header: c for c in by_name.values()}, **standard}
    chosen: list[Column] = [standard[SERIAL]] if beside_marker else []
    for at, name in enumerate(named, start=len(chosen)):
        match = _matching(name, pool, chosen)
        if match is not None and match.format == "" and match.address is None and match.value is not None:
            match = dataclasses.replace(match, format=WRAP)  # a text wider than the template's column wraps
        # A column it names that the list lacks stays, empty, under the template's header.
        chosen.append(dataclasses.replace(match or Column(name, lambda item: None), header=name, named_at=at))
    notes = []
    if not any(c.value is standard[NUMBER].value for c in chosen):
        serial = next((i for i, c in enumerate(chosen) if c.value is None), None)
        at = 0 if serial is None else serial + 1
        chosen.insert(at, standard[NUMBER])
        notes.append(f"範本的表頭沒有「{NUMBER}」欄；公開號加在{'序號之後' if at else '第一欄'}")
    if not any(c.value is standard[NOTES].value for c in chosen):
        remarks = next((i for i, c in enumerate(chosen) if _names(REMARKS, c.header) and c.named_at is not None), None)
        if remarks is not None:
            chosen[remarks] = _with_notes(chosen[remarks], standard[NOTES])
        elif _has_values(standard[NOTES], entries):
            chosen.append(standard[NOTES])
    return tuple(chosen), notes


def _names(header: str, name: str) -> bool:
    return name == header or fields.aliases(header, name)


def _matching(name: str, pool: dict[str, Column], chosen: list[Column]) -> Column | None:
    """The column a template's header name means (the report's name, a
    field's export names, the list's own header), if it is not taken."""
    taken = {id(c.value) for c in chosen}
    folded = "".join(name.split()).lower()
    if folded in NOTES_NAMES:
        return pool[NOTES]
    if folded in NUMBER_NAMES:
        return pool[NUMBER]
    for header, column in pool.items():
        if id(column.value) not in taken and _names(header, name):
            return column
    return None


def _with_notes(remarks: Column, notes: Column) -> Column:
    """The template's 備註 column with the report's notes after the list's own."""
    own, ours = remarks.value, _held(notes)

    def both(item: Publication) -> object:
        texts = [str(v) for v in (own(item) if own else None, ours(item)) if v not in (None, "")]
        return "；".join(texts) or None

    return dataclasses.replace(remarks, value=both, font=AUTO, format=WRAP)


def _detail_columns(carried: list[fields.Carried], serial=None, picture=None) -> tuple[Column, ...]:
    """Every detail: the number as written and its parts, every carried
    column (a known field's under the report's name, any other under the
    list's own header), and the report's notes; `serial`, an entry's 序號
    where it is not its row's (the client's line a family's member stands on);
    `picture`, an entry's drawing: in the list's 代表圖 column (its link where
    there is none), else in one of its own, last."""
    columns = [c.column for c in carried]
    own: list[Column] = []  # a drawing column of its own, last
    if picture is not None:
        at = next((i for i, c in enumerate(carried) if c.name == DRAWING), None)
        if at is None:
            own.append(Column(DRAWING, lambda item: None, picture=picture))
        else:
            link = columns[at]
            written = link.value or (lambda item: None)
            columns[at] = dataclasses.replace(
                link, value=lambda item: None if picture(item) is not None else written(item), picture=picture
            )
    return (
        Column(SERIAL, serial),
        Column(LIST_ROW, _list_row),
        Column(WRITTEN, attrgetter("text"), font=AUTO, max_width=40),
        Column(STANDARD, attrgetter("id"), font=LINK, address=attrgetter("address")),
        Column(COUNTRY, attrgetter("country")),
        Column(DIGITS, attrgetter("number"), digits=True),
        Column(KIND, attrgetter("kind")),
        # A known field under the report's name (Espacenet's "Earliest publication" is 公開日), the rest as headed.
        *columns,
        Column(NOTES, attrgetter("status"), font=AUTO, max_width=40, format=WRAP),
        *own,
    )


# ---------------------------------------------------------------- the words


def _documents(entries: list[Publication]) -> list[Publication]:
    return [e for e in entries if e.id and e.repeat_of is None]


def _summary(
    entries: list[Publication],
    made: datetime,
    search: str | None,
    data_lines: list[str | None],
    used: list[str],
    families: int | None = None,
) -> list[str]:
    lines: list[str] = [f"製表日期：{made:%Y-%m-%d}"]
    if search:
        lines.append(search_line(search))
    lines += [line for line in data_lines if line]
    lines.append(counts(len(_documents(entries)), used, families))
    return lines


def counts(documents: int, used: list[str], families: int | None = None) -> str:
    """The documents found, by their strongest category, in the trade's
    words; where families are known, the families, and the categories by them."""
    if not documents:
        return "本次檢索未得專利文獻"
    found = f"本次檢索共得專利文獻 {documents:,} 件"
    lines, unit = documents, "件"
    if families is not None:
        found += f"，分屬 {families:,} 個專利家族"
        lines, unit = families, "族"
    if not used:
        return found
    by = [(c, sum(1 for u in used if strongest(u) == c)) for c in RELEVANCE]
    rest = lines - sum(n for _, n in by)
    parts = [f"{c} 類 {n:,} {unit}" for c, n in by if n] + ([f"未標類別 {rest:,} {unit}"] if rest > 0 else [])
    return f"{found}（{'、'.join(parts)}）"


# What the tally says of some documents, within their count.
WITHIN = (
    ("由申請號對應", NOTE_RESOLVED),
    ("已更正", NOTE_CORRECTED),
    ("種類碼有誤", NOTE_NO_KIND),
    ("查無書目資料", NOTE_NO_DATA),
)


def _tally(items: list[Publication], families: int | None = None) -> str:
    """Each kind of entry counted once, in the trade's words; none that is
    zero. 專利文獻, 申請號, 重複 and 格式不符 add up to the whole (a repeat
    counts as a repeat only); what is said of some documents is within theirs."""
    documents = [p for p in items if p.id and p.repeat_of is None]
    within = [f"分屬 {families:,} 個專利家族"] if families is not None else []
    some = [(name, sum(1 for p in documents if p.noted(note))) for name, note in WITHIN]
    if any(n for _, n in some):
        within.append("其中" + "、".join(f"{name} {n:,} 件" for name, n in some if n))
    said = f"專利文獻 {len(documents):,} 件" + (f"（{'；'.join(within)}）" if within else "")
    kinds = [
        ("申請號", "筆", sum(1 for p in items if p.application and p.repeat_of is None)),
        ("重複", "筆", sum(1 for p in items if p.repeat_of is not None)),
        ("格式不符", "筆", sum(1 for p in items if p.bad)),
    ]
    parts = [f"共 {len(items):,} 筆"] + ([said] if documents else []) + [f"{k} {n:,} {u}" for k, u, n in kinds if n]
    return "，".join(parts)


def names_a_column(name: str) -> bool:
    """Whether a template's column name is one the report knows."""
    folded = "".join(name.split()).lower()
    ours = {*CLIENT_COLUMNS, LIST_ROW, WRITTEN, STANDARD, COUNTRY, DIGITS, KIND}
    return folded in {n.lower() for n in ours} or folded in NOTES_NAMES or fields.known(name)
