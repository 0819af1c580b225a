"""The user's own columns, carried into the report beside each number.

A column whose header names a known field (in Chinese or English, as Google
Patents, Espacenet and TIPO's search system name them in their exports, and
as searchers head their own lists) is known by the report's name for it, in
a fixed order; every other column follows under its own header, in the
list's order. Which of them the client sees is compose's. Values come as
they should: dates as date cells, links as links only when they are web
addresses, long texts wrapped within a bounded width, everything else as the
text it was (never a formula).
"""

from __future__ import annotations

import datetime as dt
import re
from dataclasses import dataclass
from operator import itemgetter

from .layout import AUTO, DATE, WRAP, Column
from .ooxml import date_of_serial

ROC_OFFSET = 1911  # 民國 years
# The dates Excel shows as dates: serial 1 to 2,958,465. Any other is kept as
# the list has it, never written as a date Excel shows as ####.
FIRST_DAY, LAST_DAY = dt.date(1900, 1, 1), dt.date(9999, 12, 31)
LAST_SERIAL = 2_958_465
WRAPPED_WIDTH = 50  # characters before a long text wraps


@dataclass(frozen=True)
class Field:
    header: str  # the report's
    names: tuple[str, ...]  # what lists call it (folded: lower case, no spaces)
    kind: str = ""  # "", DATE, WRAP or "link"


FIELDS = (
    Field("專利名稱", ("title", "專利名稱", "發明名稱", "名稱", "標題", "發明創作名稱"), WRAP),
    Field("英文名稱", ("englishtitle", "title(en)", "英文標題", "英文名稱"), WRAP),
    Field(
        "申請人",
        (
            "assignee",
            "applicant",
            "applicants",
            "申請人",
            "專利權人",
            "申請人/專利權人",
            "assignee/applicant",
            "current assignee",
        ),
        WRAP,
    ),
    Field("發明人", ("inventor", "inventors", "inventor/author", "發明人", "創作人"), WRAP),
    Field("優先權日", ("prioritydate", "earliestpriority", "earliestprioritydate", "優先權日"), DATE),
    Field("申請日", ("filing/creationdate", "applicationdate", "filingdate", "申請日"), DATE),
    Field(
        "公開日",
        ("publicationdate", "earliestpublication", "earliestpublicationdate", "公開日", "公告日", "公開/公告日"),
        DATE,
    ),
    Field("核准日", ("grantdate", "核准日", "發證日"), DATE),
    Field("IPC", ("ipc", "國際分類", "國際專利分類", "ipc分類"), WRAP),
    Field("CPC", ("cpc", "cpc分類"), WRAP),
    Field("摘要", ("abstract", "摘要"), WRAP),
    Field("引用文獻", ("citations", "citeddocuments", "citedpatents", "引證文獻", "引用專利", "引用文獻"), WRAP),
    # Espacenet's "Family number": the DOCDB simple family, by which the report brings a family together.
    Field(
        "同族編號",
        ("familynumber", "family", "familyid", "docdbfamily", "simplefamily", "同族", "同族號", "同族編號", "專利家族"),
    ),
    Field("連結", ("resultlink", "link", "連結", "網址"), "link"),
    Field("代表圖", ("representativefigurelink", "代表圖", "代表圖連結"), "link"),
    # The searcher's own judgement of each document, as search reports head it.
    Field("類別", ("類別", "category", "categories", "cat.", "relevance", "引用類別", "文獻類別", "關聯性", "相關性")),
    Field(
        "相關請求項",
        (
            "相關請求項",
            "相關請求項次",
            "對應請求項",
            "relevanttoclaim",
            "relevanttoclaims",
            "relevantclaims",
            "relevanttoclaimno.",
            "claims",
        ),
        WRAP,
    ),
    Field("備註", ("備註", "remark", "remarks", "note", "notes", "comment", "comments"), WRAP),
    Field("法律狀態", ("法律狀態", "legalstatus", "法律狀態/事件")),
    Field("預估屆期", ("預估屆期", "預估屆滿日", "anticipatedexpiration", "expirationdate", "expiry", "屆滿日"), DATE),
    # What the data source's status and expiry were derived from: an event's long English text.
    Field("法律狀態依據", ("法律狀態依據",), WRAP),
    Field("預估屆期依據", ("預估屆期依據",), WRAP),
)
SERIALS = {"序號", "no", "no.", "#", "編號", "項次"}  # the list's own numbering: the report numbers anew


def _folded(name: str) -> str:
    return "".join(name.split()).lower()


@dataclass(frozen=True)
class Carried:
    """One of the list's other columns: the report's name for it, the list's, and its column."""

    name: str  # a known field's report name, else the list's header
    header: str  # as the list heads it
    column: Column  # its values in full, headed by `name`


def carried(header: list[str], rows: list[tuple], offset: int = 0) -> tuple[list[Carried], list[tuple]]:
    """The list's other columns, and each entry's values for them, converted
    as their fields ask; each column reads an entry's `extra` from `offset` on."""
    known = {_folded(name): field for field in FIELDS for name in field.names}
    standard: dict[str, tuple[int, Field, bool]] = {}
    others: list[tuple[int, Field, bool]] = []
    for at, name in enumerate(header):
        folded = _folded(name)
        roc = "民國" in folded  # "公告日(民國)": its years are the Republic's
        base = folded.replace("(民國)", "").replace("（民國）", "").replace("民國", "")
        if base in SERIALS:
            continue
        field = known.get(base)
        if field is not None and field.header not in standard:
            standard[field.header] = (at, field, roc)
        else:
            others.append((at, Field(name, (), DATE if _names_a_date(base) else ""), roc))
    chosen = [standard[f.header] for f in FIELDS if f.header in standard] + others
    columns = [
        Carried(field.header, str(header[at]), _column(offset + place, field))
        for place, (at, field, _) in enumerate(chosen)
    ]
    values = [
        tuple(_value(field, row[at] if at < len(row) else None, roc) for at, field, roc in chosen) for row in rows
    ]
    return columns, values


def aliases(header: str, name: str) -> bool:
    """Whether a template's column name means the report's column `header`."""
    folded = _folded(name)
    return any(field.header == header and folded in field.names for field in FIELDS) or _folded(header) == folded


def known(name: str) -> bool:
    """Whether a name is one of a known field's."""
    folded = _folded(name)
    return any(folded in field.names or folded == _folded(field.header) for field in FIELDS)


def _names_a_date(folded: str) -> bool:
    # Espacenet's dates are named without the word: "Earliest publication", "Earliest priority".
    return folded.endswith(("日", "日期", "date")) or folded.startswith("earliest")


def _column(place: int, field: Field) -> Column:
    get = _extra(place)
    if field.kind == "link":
        return Column(field.header, get, font=AUTO, max_width=WRAPPED_WIDTH, address=_web(get))
    return Column(
        field.header,
        get,
        font=AUTO,
        max_width=WRAPPED_WIDTH if field.kind == WRAP else 30,
        format=field.kind if field.kind in (DATE, WRAP) else "",
    )


def _extra(place: int):
    pick = itemgetter(place)
    return lambda item: pick(item.extra) if len(item.extra) > place else None


def _web(get):
    def address(item) -> str | None:
        value = get(item)
        return value if isinstance(value, str) and value.startswith(("https://", "http://")) else None

    return address


def _value(field: Field, value: object, roc: bool) -> object:
    if value is None or value == "":
        return None
    if field.kind == DATE:
        found = as_date(value, roc)
        if found is not None:
            return found
    if isinstance(value, bool):
        return "是" if value else "否"
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return int(value)
    if isinstance(value, dt.date) and not FIRST_DAY <= _day(value) <= LAST_DAY:  # no date Excel shows: as text
        if isinstance(value, dt.datetime) and value.time() != dt.time():
            return value.isoformat(" ")
        return _day(value).isoformat()
    if isinstance(value, dt.datetime):
        return value.date() if value.time() == dt.time() else value
    if isinstance(value, (int, float, dt.date)):
        return value
    return str(value).strip() or None


def _day(value: dt.date) -> dt.date:
    return value.date() if isinstance(value, dt.datetime) else value


_DATE = re.compile(r"(\d{2,4})\s*[-/.年]\s*(\d{1,2})\s*[-/.月]\s*(\d{1,2})\s*日?")


def as_date(value: object, roc: bool = False) -> dt.date | None:
    """A date written any of the ways lists write them, within the dates Excel
    shows; None for what is none."""
    if isinstance(value, dt.date):
        moment = _day(value)
        return moment if FIRST_DAY <= moment <= LAST_DAY else None
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        if 1 <= value < LAST_SERIAL + 1:
            return date_of_serial(int(value)).date()  # an Excel serial, its fictitious 29 February included
        return None
    if not isinstance(value, str):
        return None
    text = value.strip()
    if len(text) == 8 and text.isdigit():
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    found = _DATE.fullmatch(text)
    if found is None:
        return None
    year, month, day = (int(g) for g in found.groups())
    if roc or len(found[1]) == 3:
        year += ROC_OFFSET
    try:
        date = dt.date(year, month, day)
    except ValueError:
        return None
    return date if FIRST_DAY <= date <= LAST_DAY else None
