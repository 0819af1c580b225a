"""Bibliographic data for the report's publications, when a source is set up.

With EPO Open Patent Services credentials (the environment, or the same keys
in `lumivar.toml` in the working folder), the job fetches what OPS's biblio
answer holds of every publication (titles, applicants, inventors, dates, IPC
and CPC classes, abstract, its search report's citations, its simple
family; for a number written without its kind, every kind, of which the
report takes the first publication), in batches, through a local cache,
within a time budget. What the list already says wins. Without
them, or without a network, the report is made as ever, with one line
saying so. The key and secret never appear in a message, a report or the
cache.
"""

from __future__ import annotations

import codecs
import contextlib
import dataclasses
import datetime as dt
import json
import os
import queue
import re
import sqlite3
import stat
import sys
import threading
import time
import tomllib
import traceback
from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from . import drawings, legal, ops, publications, terms
from .files import reason
from .publications import Publication
from .text import shown

SETTINGS_FILE = "lumivar.toml"
DEFAULT_URL = "https://ops.epo.org/3.2"
SOURCE = "EPO Open Patent Services"
KEEP_DAYS = 30
BUDGET = 60.0  # seconds for the whole data step
# What OPS gives, by the list header it fills (the report's own names, see fields).
FILLS = (
    ("專利名稱", "title"),  # as published for a CN, TW, JP or KR document, else English
    ("英文名稱", "title_en"),  # the English title, where the one above is another
    ("申請人", "applicants"),
    ("發明人", "inventors"),
    ("優先權日", "priority"),
    ("申請日", "filed"),
    ("公開日", "published"),
    ("IPC", "ipc"),
    ("CPC", "cpc"),
    ("摘要", "abstract"),
    ("引用文獻", "citations"),  # its own search report's, by category
    ("同族編號", "family"),  # the DOCDB simple family
)
FAMILY = "同族編號"
RECORD_KEYS = (*(key for _, key in FILLS), "application", "claims")
# What lists call the columns fields does not know (folded: lower case, no spaces).
LIST_NAMES = {
    "英文名稱": ("englishtitle", "title(en)", "英文標題"),
    "引用文獻": ("citations", "citeddocuments", "citedpatents", "引證文獻", "引用專利"),
    FAMILY: ("familynumber", "family", "familyid", "docdbfamily", "simplefamily", "同族", "同族號", "專利家族"),
}
SETUP = (
    "未設定書目資料來源：在工作資料夾的 lumivar.toml 填入 EPO Open Patent Services 的 "
    "LUMIVAR_OPS_KEY 與 LUMIVAR_OPS_SECRET，報告即可自動填入專利名稱、申請人、日期與 IPC"
)


STATUS_BUDGET = 180.0  # seconds for legal status and drawings together: their services are slower


@dataclass(frozen=True)
class Settings:
    key: str
    secret: str
    url: str
    cache: Path
    status: bool = True  # legal status and drawings too (a novelty search needs neither)
    status_budget: float = STATUS_BUDGET


KEY, SECRET, URL, CACHE = "LUMIVAR_OPS_KEY", "LUMIVAR_OPS_SECRET", "LUMIVAR_OPS_URL", "LUMIVAR_CACHE"
# Whether legal status and drawings are fetched, and their budget in seconds: from the
# environment where set, else lumivar.toml (LUMIVAR_STATUS = false, LUMIVAR_STATUS_BUDGET = 300).
STATUS, BUDGET_SETTING = "LUMIVAR_STATUS", "LUMIVAR_STATUS_BUDGET"
MAX_STATUS_BUDGET = 3600.0
MAX_SETTINGS = 64 * 1024  # bytes: a few lines of settings; anything larger is no settings file
IN_FILE = "工作資料夾的 lumivar.toml"


def default_cache() -> Path:
    if sys.platform == "win32":
        return Path(os.environ.get("LOCALAPPDATA") or Path.home() / "AppData" / "Local") / "Lumivar"
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "lumivar"


def settings(folder: Path, emit: Callable[[object], object] = lambda line: None) -> Settings | None:
    """The source's settings, from the working folder's lumivar.toml or the
    environment (never from where a report is saved: a folder someone else
    filled must not send the key elsewhere). Key, secret and address come
    together from one place: the environment when it holds the key and the
    secret, else the file. None, with one line saying why, without a key and
    a secret or with an address the credentials may not go to."""
    written, problem = read_settings(folder / SETTINGS_FILE)
    if problem:
        emit(f"{IN_FILE} 無法讀取（{problem}），其中的設定未採用")
    said: list[str] = []
    filed = {name: _filed(written, name, said.append) for name in (KEY, SECRET, URL, CACHE)}
    for complaint in said:
        emit(complaint)
    environment = {name: os.environ.get(name, "").strip() for name in (KEY, SECRET, URL, CACHE)}
    if environment[KEY] and environment[SECRET]:
        chosen, ignored = environment, filed[URL]
        unused = f"{IN_FILE} 中的 {URL} 未採用：金鑰取自環境變數，連線位址也只取自環境變數"
    elif filed[KEY] and filed[SECRET]:
        chosen, ignored = filed, environment[URL]
        unused = f"環境變數 {URL} 未採用：金鑰取自{IN_FILE}，連線位址也只取自該檔"
    else:
        if not problem and not said:  # what is wrong with the file was said already
            emit(SETUP)
        return None
    if ignored and ignored != chosen[URL]:
        emit(unused)
    url = chosen[URL] or DEFAULT_URL
    refused = ops.address_problem(url)
    if refused:
        emit(f"{refused}，這次不取得書目資料")
        return None
    cache = environment[CACHE] or filed[CACHE]
    wanted, budget = _status_settings(written, emit)
    return Settings(chosen[KEY], chosen[SECRET], url, Path(cache) if cache else default_cache(), wanted, budget)


_OFF, _ON = ("false", "off", "no", "0"), ("true", "on", "yes", "1")


def _status_settings(written: dict, emit: Callable[[object], object]) -> tuple[bool, float]:
    """Whether legal status and drawings are wanted, and their budget; a value that is
    none of these costs one line and leaves the default."""
    wanted, budget = True, STATUS_BUDGET
    value = os.environ.get(STATUS, "").strip() or written.get(STATUS)
    if isinstance(value, str) and value.lower() in _OFF + _ON:
        value = value.lower() in _ON
    if isinstance(value, bool):
        wanted = value
    elif value is not None:
        emit(f"{IN_FILE} 中的 {STATUS} 應為 true 或 false，未採用")
    value = os.environ.get(BUDGET_SETTING, "").strip() or written.get(BUDGET_SETTING)
    if isinstance(value, str):
        with contextlib.suppress(ValueError):
            value = float(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool) and 0 < value <= MAX_STATUS_BUDGET:
        budget = float(value)
    elif value is not None:
        emit(f"{IN_FILE} 中的 {BUDGET_SETTING} 應為 1 到 {MAX_STATUS_BUDGET:.0f} 的秒數，未採用")
    return wanted, budget


def read_settings(path: Path) -> tuple[dict, str | None]:
    """The file's settings, and why it could not be read (None: it could, or
    there is none). Only a small regular file is read: a pipe would never
    end, a device never stop giving."""
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    try:
        handle = os.open(path, flags)
    except (FileNotFoundError, NotADirectoryError):  # no working folder: no settings, as when it has none
        return {}, None
    except OSError as error:
        return {}, reason(error)
    try:
        if not stat.S_ISREG(os.fstat(handle).st_mode):
            return {}, "不是一般檔案"
        raw = b""
        while len(raw) <= MAX_SETTINGS and (piece := os.read(handle, MAX_SETTINGS + 1 - len(raw))):
            raw += piece
    except OSError as error:
        return {}, reason(error)
    finally:
        os.close(handle)
    if len(raw) > MAX_SETTINGS:
        return {}, f"檔案超過 {MAX_SETTINGS // 1024} KB，不是設定檔"
    try:
        text = raw.removeprefix(codecs.BOM_UTF8).decode("utf-8")
    except UnicodeDecodeError:
        return {}, "不是 UTF-8 編碼的文字，請以 UTF-8 另存"
    try:
        return tomllib.loads(text), None
    except tomllib.TOMLDecodeError as error:
        line = re.search(r"at line (\d+)", str(error))
        return {}, f"第 {line[1]} 行不符 TOML 格式" if line else "檔案結尾不符 TOML 格式，例如少了結尾的引號"
    except RecursionError:  # brackets nested thousands deep
        return {}, "不符 TOML 格式"


def _filed(written: dict, name: str, emit: Callable[[str], object]) -> str:
    value = written.get(name)
    if value is None:
        return ""
    if not isinstance(value, str):
        emit(f"{IN_FILE} 中的 {name} 應為以引號括住的文字，未採用")
        return ""
    return value.strip()


# ---------------------------------------------------------------- the cache


class Cache:
    """What OPS said and when: of a publication (DOCDB reference → its data),
    of an application (its number → its publications). A cache, never a
    failure: a damaged one is set aside and made anew, one another program
    holds is waited for briefly and then passed by, a row it cannot read is
    as none (and fetched again)."""

    TABLES = ("biblio", "applications", "legal", "drawings")
    WAIT = 2.0  # seconds another program may hold the cache before this step goes on without it
    MAX_ROW = 1024 * 1024  # characters of one row's data: larger is none this job wrote

    def __init__(self, folder: Path, emit: Callable[[object], object] = lambda line: None):
        self.path = folder / "ops.sqlite"
        self.emit = emit
        self.db: sqlite3.Connection | None = None
        try:
            folder.mkdir(parents=True, exist_ok=True)
            self.db = self._connect()
        except (OSError, sqlite3.Error, ValueError) as error:
            self._pass_by(error)

    def _connect(self) -> sqlite3.Connection:
        for attempt in (1, 2):
            db = sqlite3.connect(self.path, timeout=self.WAIT)
            try:
                for table in self.TABLES:
                    db.execute(
                        f"create table if not exists {table} (reference text primary key, fetched text, data text)"
                    )
                    db.execute(f"select count(*) from {table}").fetchone()
                return db
            except sqlite3.DatabaseError as error:
                db.close()  # Windows renames no file that is open
                if attempt == 2 or not _damaged(error):
                    raise  # a locked cache is healthy: never set aside
                with contextlib.suppress(OSError):
                    self.path.replace(self.path.with_name(f"ops.damaged-{int(time.time())}.sqlite"))
        raise sqlite3.DatabaseError("unreachable")

    def _pass_by(self, error: BaseException) -> None:
        """The rest of the step goes on without the cache: one line, and no more waiting for it."""
        if self.db is not None:
            with contextlib.suppress(sqlite3.Error):
                self.db.close()
            self.db = None
        busy = isinstance(error, sqlite3.Error) and _locked(error)
        self.emit("書目資料的快取正由其他程式使用，這次不經快取" if busy else "書目資料的快取無法使用，這次不經快取")

    def get(self, table: str, references: list[str], today: dt.date) -> dict[str, tuple[dt.date, object]]:
        """Reference → (the day it was fetched, what OPS said: None for nothing), for those fetched lately."""
        if self.db is None:
            return {}
        found = {}
        try:
            for start in range(0, len(references), 500):
                chunk = references[start : start + 500]
                marks = ",".join("?" * len(chunk))
                for reference, fetched, data in self.db.execute(
                    f"select reference, fetched, data from {table} where reference in ({marks})"
                    " and (data is null or length(data) <= ?)",
                    [*chunk, self.MAX_ROW],
                ):
                    row = _row(table, fetched, data, today)
                    if row is not None:
                        found[reference] = row
        except sqlite3.Error as error:
            self._pass_by(error)
        return found

    def put(self, table: str, records: Mapping[str, object], today: dt.date) -> None:
        if self.db is None or not records:
            return
        try:
            with self.db:
                self.db.executemany(
                    f"insert or replace into {table} values (?, ?, ?)",
                    [
                        (r, today.isoformat(), json.dumps(d, ensure_ascii=False) if d else None)
                        for r, d in records.items()
                    ],
                )
        except sqlite3.Error as error:
            self._pass_by(error)

    def close(self) -> None:
        if self.db is not None:
            self.db.close()


def _damaged(error: sqlite3.Error) -> bool:
    """What sqlite says of a file that is no database, or a broken one."""
    code = getattr(error, "sqlite_errorcode", None)
    text = str(error)
    return code in (sqlite3.SQLITE_NOTADB, sqlite3.SQLITE_CORRUPT) or "not a database" in text or "malformed" in text


def _locked(error: sqlite3.Error) -> bool:
    code = getattr(error, "sqlite_errorcode", None)
    return code in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED) or "locked" in str(error)


def _row(table: str, fetched: object, data: object, today: dt.date) -> tuple[dt.date, object] | None:
    """A cached row as this job writes it, fetched within KEEP_DAYS up to
    today; None for any other (another program's, an older version's, a
    clock set back), which is fetched again."""
    if not isinstance(fetched, str) or not (data is None or isinstance(data, str)):
        return None
    try:
        day = dt.date.fromisoformat(fetched)
        value = json.loads(data) if data is not None else None
    except (ValueError, RecursionError):
        return None
    if not today - dt.timedelta(days=KEEP_DAYS) <= day <= today:
        return None
    if value is None:
        return day, None
    return (day, value) if _VALID[table](value) else None


_KIND = re.compile(r"[A-Z]\d?")


def _record_ok(value: object) -> bool:
    """A record as this version writes it: an older one lacks fields and is fetched again."""
    if not isinstance(value, dict) or not all(isinstance(value.get(key), str) for key in RECORD_KEYS):
        return False
    kind, others = value.get("kind"), value.get("others", "")
    chosen_ok = kind is None or (isinstance(kind, str) and _KIND.fullmatch(kind) is not None)  # it goes into a link
    return chosen_ok and isinstance(others, str) and all(_KIND.fullmatch(k) for k in others.split("、") if others)


def _published_ok(value: object) -> bool:
    return isinstance(value, list) and len(value) <= 1000 and all(ops.reference_ok(r) for r in value)


def _events_ok(value: object) -> bool:
    """A document's legal events as this version keeps them (rows of legal.Event)."""
    return isinstance(value, list) and len(value) <= legal.MAX_EVENTS and all(legal.Event.of_row(r) for r in value)


# What each table's rows hold; "drawings" holds only what has none (its thumbnails are files).
_VALID = {"biblio": _record_ok, "applications": _published_ok, "legal": _events_ok, "drawings": lambda value: False}


# ---------------------------------------------------------------- the data step


@dataclass
class Fetched:
    entries: list[Publication]  # the list's entries, an application's as its publication where OPS knows it
    records: dict[str, dict | None]  # DOCDB reference → its data, None when OPS knows it not
    day: dt.date | None  # the earliest day the data used was fetched
    client: ops.Client | None = None  # its client, for the next step to ask with its token
    fault: str | None = None  # what stopped the service: the next step would only say it again


_STOPPED, _LATE = object(), object()  # a chunk not asked: the step stopped, the budget spent


class _Step:
    """One data step: the cache, the client, the clock and what was found.
    A fault of the service or the end of the budget stops every further request."""

    def __init__(
        self, cache: Cache, client: ops.Client, emit: Callable[[object], object], today: dt.date, budget: float
    ):
        self.cache, self.client, self.emit, self.today, self.budget = cache, client, emit, today, budget
        self.deadline = time.monotonic() + budget
        client.deadline = self.deadline  # every exchange, a slow answer included, ends with the budget
        self.records: dict[str, dict | None] = {}
        self.days: list[dt.date] = []
        self.stopped = False
        self.fault: str | None = None  # what stopped the service, said once

    def each(
        self,
        items: list[str],
        size: int,
        ask: Callable[[list[str]], bytes | None],
        read: Callable[[bytes], object],
        noun: str,
        together: int = 1,
    ):
        """(chunk, what OPS said of it: None for nothing) for each chunk of
        `items` asked, in order; `together` chunks asked at once; one
        progress line a batch."""
        chunks = [items[start : start + size] for start in range(0, len(items), size)]
        done = position = 0
        with ThreadPoolExecutor(together) as pool:
            for chunk, answer in zip(chunks, pool.map(lambda chunk: self._asked(chunk, ask, read), chunks)):
                if answer is _STOPPED:
                    break
                if answer is _LATE:
                    self.emit(f"{noun}在 {self.budget:g} 秒內只取得 {done:,}/{len(items):,} 筆，其餘留白")
                    self.stopped = True
                    break
                if isinstance(answer, ops.Unavailable):
                    self.emit(f"{answer}；{noun}取得 {done:,}/{len(items):,} 筆，報告照常輸出")
                    self.fault = str(answer)
                    break
                position += len(chunk)
                if isinstance(answer, ValueError):  # an answer that is no XML
                    self.emit(f"EPO Open Patent Services 的回應無法辨識，這一批{noun}留白")
                    continue
                done += len(chunk)
                yield chunk, answer
                if position % ops.BATCH == 0 or position == len(items):
                    self.emit(f"取得{noun} {done:,}/{len(items):,}")

    def _asked(self, chunk: list[str], ask: Callable[[list[str]], bytes | None], read: Callable[[bytes], object]):
        """What OPS said of one chunk, or why it was not asked; on a worker thread, so it says nothing itself."""
        if self.stopped:
            return _STOPPED
        if time.monotonic() > self.deadline:
            return _LATE
        try:
            body = ask(chunk)
            return read(body) if body is not None else None
        except ops.Late:
            self.stopped = True
            return _LATE
        except ops.Unavailable as stop:
            self.stopped = True  # no more requests from any thread
            return stop
        except ValueError as bad:
            return bad

    def known(self, table: str, references: list[str]) -> dict[str, object]:
        cached = self.cache.get(table, references, self.today)
        self.days.extend(day for day, _ in cached.values())
        return {r: data for r, (_, data) in cached.items()}

    def keep(self, records: dict[str, dict | None]) -> None:
        self.cache.put("biblio", records, self.today)
        self.records.update(records)
        if any(records.values()):
            self.days.append(self.today)

    def publications(self, originals: list[str]) -> dict[str, list[str]]:
        """Each application's publications (DOCDB references, earliest first),
        from the cache or OPS: the number service gives the application's DOCDB
        form, one batched biblio request per 100 gives what was published from
        it, data and all. [] when OPS knows none; absent when not asked."""
        found = {o: list(p) if isinstance(p, list) else [] for o, p in self.known("applications", originals).items()}
        docdb: dict[str, str] = {}
        asked = [o for o in originals if o not in found]
        for (number,), application in self.each(
            asked,
            1,
            lambda chunk: self.client.application(chunk[0]),
            ops.parse_application,
            "申請號的標準號",
            ops.TOGETHER,
        ):
            if application:
                docdb[number] = application
            else:
                found[number] = []
        for batch, got in self.each(
            list(dict.fromkeys(docdb.values())),
            ops.BATCH,
            lambda chunk: self.client.biblio(chunk, "application"),
            ops.parse_biblio,
            "申請號的公開號",
        ):
            asked_now = set(batch)
            got = {k: r for k, r in (got or {}).items() if r["application"] in asked_now}  # only what was asked
            self.keep(got)
            published: dict[str, list[str]] = {}
            # Earliest first: an undated document goes last.
            for key, record in sorted(got.items(), key=lambda item: (item[1]["published"] or "9", item[0])):
                published.setdefault(record["application"], []).append(key)
            for number, application in docdb.items():
                if application in asked_now:
                    found[number] = published.get(application, [])
        self.cache.put("applications", {o: found[o] for o in asked if o in found}, self.today)
        return found

    def biblio(self, references: list[str]) -> None:
        """The publications' data, from the cache or OPS in batches; a number
        without its kind in the same batches (OPS answers it with every kind
        it holds)."""
        wanted = [r for r in references if r not in self.records]
        cached = {r: d for r, d in self.known("biblio", wanted).items() if d is None or isinstance(d, dict)}
        self.records.update(cached)
        missing = [r for r in wanted if r not in cached]
        bare = {r for r in missing if r.count(".") == 1}
        # A kind of a number also asked without one comes with that answer: it takes no room in a batch.
        riding: dict[str, list[str]] = {}
        for r in missing:
            if r.count(".") == 2 and r.rsplit(".", 1)[0] in bare:
                riding.setdefault(r.rsplit(".", 1)[0], []).append(r)
        asked = [r for r in missing if r.count(".") == 1 or r.rsplit(".", 1)[0] not in bare]
        for batch, got in self.each(asked, ops.BATCH, self.client.biblio, ops.parse_biblio, "書目資料"):
            got = got or {}
            kinds: dict[str, dict[str, dict]] = {}
            for key, record in got.items():
                number, _, kind = key.rpartition(".")
                if number.count(".") == 1:
                    kinds.setdefault(number, {})[kind] = record
            found = {r: (got.get(r) or _chosen(kinds.get(r))) if r in bare else got.get(r) for r in batch}
            found.update({r: got.get(r) for b in batch for r in riding.get(b, ())})
            self.keep(found)


def fetch(
    entries: list[Publication],
    found: Settings,
    emit: Callable[[object], object],
    today: dt.date,
    budget: float | None = None,
    client: ops.Client | None = None,
) -> Fetched:
    """Each publication's data, from the cache or OPS, within `budget` seconds
    (BUDGET unless said); applications' numbers resolved to their publications first."""
    cache = Cache(found.cache, emit)
    try:
        client = client or ops.Client(found.url, found.key, found.secret)
        step = _Step(cache, client, emit, today, BUDGET if budget is None else budget)
        originals = [
            ops.original(e.country, e.number) if e.application and e.country and e.number else None for e in entries
        ]
        if any(originals):
            published = step.publications(list(dict.fromkeys(o for o in originals if o)))
            entries = [_resolved(e, published.get(o)) if o else e for e, o in zip(entries, originals)]
        step.biblio(list(dict.fromkeys(_reference(e) for e in entries if e.id)))
        return Fetched(entries, step.records, min(step.days) if step.days else None, client, step.fault)
    finally:
        cache.close()


def _resolved(entry: Publication, references: list[str] | None) -> Publication:
    """An application's entry as its first publication, the others named;
    as it was when OPS was not asked, with a note when OPS knows none."""
    if references is None:
        return entry
    found = [p for p in (_published(r) for r in references) if p.id]
    if not found:
        return _noted(entry, publications.NOTE_UNRESOLVED)
    others = "、".join(p.id or "" for p in found[1:4]) + ("…" if len(found) > 4 else "")
    note = f"{publications.NOTE_RESOLVED}（另有 {others}）" if others else publications.NOTE_RESOLVED
    return dataclasses.replace(found[0], text=entry.text, note=note, extra=entry.extra)


def _published(reference: str) -> Publication:
    country, number, kind = (reference.split(".") + ["", ""])[:3]
    return publications.of_reference(country, number, kind or None)


def _reference(entry: Publication) -> str:
    return ops.docdb(entry.country or "", entry.number or "", entry.kind)


def _chosen(held: dict[str, dict] | None) -> dict | None:
    """Of the kinds OPS holds under a number asked without one, the record of
    the one it means, with its kind and the others'."""
    if not held:
        return None
    order = publications.first_publication({kind: record["published"] for kind, record in held.items()})
    return {**held[order[0]], "kind": order[0], "others": "、".join(order[1:])}


def merge(
    header: list[str], values: list[tuple], fetched: Fetched, aliases
) -> tuple[list[str], list[tuple], list[Publication]]:
    """The list's columns with the fetched data where the list says nothing:
    its own values always win; columns it lacks are added when any entry has
    data for them. A number written without its kind takes the kind found for
    it; each entry knows its family. Entries neither the list nor OPS
    describes say so in their status."""
    entries = fetched.entries
    columns = {name: next((i for i, h in enumerate(header) if _names(name, h, aliases)), None) for name, _ in FILLS}
    rows = _editable(header, values, len(entries))
    # The list's own columns that describe a document (a family number describes none).
    own = [at for name, at in columns.items() if at is not None and name != FAMILY]
    described = [any(row[at] not in (None, "") for at in own) for row in rows]
    references = [_reference(e) if e.id else None for e in entries]
    records = [fetched.records.get(r) if r else None for r in references]
    for name, key in FILLS:
        at = columns[name]
        if at is None:
            if not any(record and record.get(key) for record in records):
                continue
            header = header + [name]
            at = columns[name] = len(header) - 1
            for row in rows:
                row.append(None)
        for row, record in zip(rows, records):
            if record and record.get(key) and row[at] in (None, ""):
                row[at] = record[key]
    marked = []
    for entry, reference, record, listed in zip(entries, references, records, described):
        if record and entry.kind is None and record.get("kind"):
            entry = dataclasses.replace(entry, kind=record["kind"])
            if record.get("others"):  # one kind of several: the user sees which was taken
                entry = _noted(entry, publications.NOTE_KIND_CHOSEN.format(record["kind"], record["others"]))
        # Asked and not known (an entry not asked, the step having stopped, says nothing).
        elif reference in fetched.records and record is None and not listed:
            entry = _noted(entry, publications.NOTE_NO_DATA)
        marked.append(entry)
    merged = [tuple(r) for r in rows]
    return header, merged, families(header, merged, marked, aliases)


def _editable(header: list[str], values: list[tuple], count: int) -> list[list]:
    """The list's rows as lists as wide as its header, one per entry where it has none."""
    return [list(v) + [None] * (len(header) - len(v)) for v in (values or [()] * count)]


def families(header: list[str], values: list[tuple], entries: list[Publication], aliases) -> list[Publication]:
    """Each entry with the family its row names (the list's family column,
    or the one the data source filled), where one does."""
    at = next((i for i, h in enumerate(header) if _names(FAMILY, h, aliases)), None)
    if at is None:
        return entries
    found = []
    for index, entry in enumerate(entries):
        row = values[index] if index < len(values) else ()
        family = _family(row[at]) if at < len(row) else None
        found.append(dataclasses.replace(entry, family=family) if family else entry)
    return found


def _names(name: str, header: str, aliases) -> bool:
    """Whether the list's column `header` is the report's `name`."""
    return aliases(name, header) or "".join(str(header).split()).lower() in LIST_NAMES.get(name, ())


def _family(value: object) -> str | None:
    """A family number as a list or OPS gives it: 40799763, 40799763.0 or "40799763"."""
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        return None
    return shown(str(value)) or None  # one line, bounded: it is compared, not read


def _noted(entry: Publication, note: str) -> Publication:
    return dataclasses.replace(entry, note=f"{entry.note}；{note}" if entry.note else note)


def source_line(fetched: Fetched) -> str | None:
    if fetched.day is None:
        return None
    return f"書目資料：{SOURCE}，{fetched.day:%Y-%m-%d} 取得"


# ---------------------------------------------------------------- legal status and drawings

FIGURE_BASE = f"https://{drawings.FIGURE_HOST}"  # where a list's figure links are fetched from (a test's stand-in)
EVERY = 20  # documents between two progress lines
LEGAL_NOUN, DRAWING_NOUN = "法律狀態", "代表圖"
DERIVED_LINE = "法律狀態與預估屆期：依 EPO INPADOC 法律事件與各局專利期間推定，非各局專利登記簿之記載"
GRANT_KINDS = re.compile(r"[BCES]\d?|A|P\d?")  # of a US document: a grant (before 2001 US grants were kind A)


@dataclass
class Standing:
    """What the legal-status and drawings step found, by the entries' DOCDB references."""

    statuses: dict[str, legal.Status]
    expiries: dict[str, terms.Expiry]  # only where one is shown
    drawings: dict[str, drawings.Thumbnail]
    lines: list[str]  # what it found and left, for the window and the detail sheet's head


def describe(reference: str, record: dict | None, events: list[legal.Event] | None, today: dt.date):
    """A document's legal status and the expected expiry shown with it (None where
    no rule applies, the data lacks a date, or an event says the right ended)."""
    country, number, kind = (reference.split(".") + [""])[:3]
    filed = terms.parse_day(record.get("filed")) if record else None
    published = terms.parse_day(record.get("published")) if record else None
    granted = published if country == "US" and GRANT_KINDS.fullmatch(kind or "") else None
    claims = terms.parse_claims(record.get("claims", "")) if record else []
    expiry = terms.expiry(country, number, kind or None, filed, granted=granted, claims=claims)
    status = legal.decide(country, events, today, expiry.day if expiry else None)
    return status, expiry if expiry is not None and legal.shown_expiry(status) else None


def fetch_status(
    entries: list[Publication],
    records: dict[str, dict | None],
    found: Settings,
    emit: Callable[[object], object],
    today: dt.date,
    figures: dict[str, str] | None = None,
    budget: float | None = None,
    client: ops.Client | None = None,
) -> Standing:
    """Each publication's legal status, expected expiry and drawing, from the
    cache or OPS, within `budget` seconds (the settings' unless said), the two
    services asked side by side, each at its own rate; what is not fetched in
    time is fetched by the next report of the list. `records` are the data
    step's (filing dates and the applications a document names); `figures`,
    the list's own figure link of a reference, which goes first."""
    references = list(dict.fromkeys(_reference(e) for e in entries if e.id))
    cache = Cache(found.cache, emit)
    pictures = drawings.Drawings(found.cache)
    try:
        client = client or ops.Client(found.url, found.key, found.secret)
        step = _StatusStep(cache, pictures, client, emit, today, found.status_budget if budget is None else budget)
        events = step.legal(references)
        made = step.wanted(references[: drawings.MAX_DRAWINGS], figures or {})
        step.run()
        pictures.trim()
    finally:
        cache.close()
    statuses, expiries = {}, {}
    for reference in references:
        # A number the list gave without its kind has its record under the number alone.
        record = records.get(reference) or records.get(reference.rsplit(".", 1)[0])
        status, expiry = describe(reference, record, events.get(reference), today)
        statuses[reference] = status
        if expiry is not None:
            expiries[reference] = expiry
    lines = step.lines(len(references), made)
    if len(references) > drawings.MAX_DRAWINGS:
        left = len(references) - drawings.MAX_DRAWINGS
        lines.append(f"代表圖以 {drawings.MAX_DRAWINGS:,} 件為限，其餘 {left:,} 件未附")
    return Standing(statuses, expiries, made, lines)


class _StatusStep:
    """The legal service and the images, each asked by a thread of its own (its
    rate and colour its own): what they find comes back to this thread, which
    alone writes the cache and speaks."""

    def __init__(self, cache, pictures, client, emit, today, budget):
        self.cache, self.pictures, self.client, self.emit, self.today = cache, pictures, client, emit, today
        self.budget = budget
        self.events: dict[str, list[legal.Event] | None] = {}
        self.made: dict[str, drawings.Thumbnail] = {}
        self.asked: dict[str, list] = {}  # service noun → what it still has to ask
        self.done: dict[str, int] = {}  # service noun → documents known (cached or fetched)
        self.missing: dict[str, int] = {}  # service noun → documents it could not ask in time
        self.empty = 0  # documents with no drawing, or one that cannot be used
        self.faults: dict[str, str] = {}

    def legal(self, references: list[str]) -> dict[str, list[legal.Event] | None]:
        cached = self.cache.get("legal", references, self.today)
        for reference, (_, rows) in cached.items():
            self.events[reference] = [e for e in map(legal.Event.of_row, rows or []) if e]
        self.asked[LEGAL_NOUN] = [r for r in references if r not in cached]
        self.done[LEGAL_NOUN] = len(cached)
        return self.events

    def wanted(self, references: list[str], figures: dict[str, str]) -> dict[str, drawings.Thumbnail]:
        none = self.cache.get("drawings", references, self.today)
        wanted = []
        for reference in references:
            figure = drawings.figure_address(figures.get(reference))
            made = (self.pictures.get(f"figure:{figure}") if figure else None) or self.pictures.get(f"ops:{reference}")
            if made is not None:
                self.made[reference] = made
            elif reference in none and figure is None:
                self.empty += 1  # OPS had none lately
            else:
                wanted.append((reference, figure))
        self.asked[DRAWING_NOUN] = wanted
        self.done[DRAWING_NOUN] = len(references) - len(wanted)
        return self.made

    def run(self) -> None:
        if not any(self.asked.values()):
            return  # everything from the cache: not a request, not a token
        self.client.deadline = time.monotonic() + self.budget
        results: queue.Queue = queue.Queue()
        workers = [
            threading.Thread(target=self._work, args=(noun, work, results), daemon=True)
            for noun, work in ((LEGAL_NOUN, self._legal_one), (DRAWING_NOUN, self._drawing_one))
            if self.asked[noun]
        ]
        for worker in workers:
            worker.start()
        totals = {noun: self.done[noun] + len(work) for noun, work in self.asked.items()}
        running = len(workers)
        while running:
            try:
                kind, noun, *what = results.get(timeout=self.budget + 60)
            except queue.Empty:  # a worker that never ends cannot hold the report
                break
            if kind == "end":
                running -= 1
                self.missing[noun] = what[0]
                if what[1]:
                    self.faults[noun] = what[1]
                continue
            self._keep(noun, *what)
            self.done[noun] += 1
            if self.done[noun] % EVERY == 0:
                self.emit(f"取得{noun} {self.done[noun]:,}/{totals[noun]:,}")
        for worker in workers:
            worker.join()

    def _work(self, noun: str, one, results) -> None:
        """One service's documents, in order, until they are done, the time is up or the service stops."""
        work = self.asked[noun]
        asked, fault = 0, ""
        try:
            for item in work:
                results.put(("found", noun, item, one(item)))
                asked += 1
        except ops.Late:
            pass
        except ops.Unavailable as stop:  # this service's fault: the other goes on
            fault = str(stop)
        except Exception:  # a fault of ours: the report goes on without the rest
            traceback.print_exc(file=sys.stderr)
            fault = f"取得{noun}時發生未預期的錯誤"
        finally:
            results.put(("end", noun, len(work) - asked, fault))

    def _legal_one(self, reference: str) -> list[list[str]] | None:
        body = self.client.legal(reference)
        if body is None:
            return []
        try:
            members = legal.parse_legal(body)
        except ValueError:  # no XML (lxml's syntax error is one): not kept, asked again next time
            return None
        events = legal.events_of(reference, members) or []
        return [e.row() for e in events]

    def _drawing_one(self, item: tuple[str, str | None]) -> tuple[str, drawings.Thumbnail] | str | None:
        """The document's drawing and what it is of: the list's figure first, else the first
        page's clipping; "none" when there is none to use, None when an answer could not be read."""
        reference, figure = item
        if figure is not None:
            try:
                picture = self.client.picture(FIGURE_BASE + figure.removeprefix(f"https://{drawings.FIGURE_HOST}"))
                if picture is not None:
                    return f"figure:{figure}", drawings.thumbnail(picture)
            except ops.Late:
                raise
            except (ops.Unavailable, drawings.BadImage):
                pass  # the clipping, then
        try:
            body = self.client.images(reference)
            link = ops.parse_images(body) if body else None
        except ValueError:  # no XML
            return None
        data = self.client.image(link) if link else None
        if data is None:
            return "none"
        try:
            return f"ops:{reference}", drawings.thumbnail(data)
        except drawings.BadImage:
            return "none"

    def _keep(self, noun: str, item, found) -> None:
        if noun == LEGAL_NOUN:
            if found is not None:
                self.cache.put("legal", {item: found}, self.today)
                self.events[item] = [e for e in map(legal.Event.of_row, found) if e]
            return
        reference, _ = item
        if isinstance(found, tuple):
            key, self.made[reference] = found
            self.pictures.put(key, found[1])
        else:
            self.empty += 1
            if found == "none":
                self.cache.put("drawings", {reference: None}, self.today)

    def lines(self, total: int, made: dict) -> list[str]:
        found = [DERIVED_LINE] if total else []
        for noun in (LEGAL_NOUN, DRAWING_NOUN):
            if noun not in self.asked:
                continue
            fault, left = self.faults.get(noun), self.missing.get(noun, 0)
            if fault:
                self.emit(f"{fault}；{noun}取得 {self.done[noun]:,}/{self.done[noun] + left:,} 筆，報告照常輸出")
            if left:
                got = f"{self.done[noun]:,}/{self.done[noun] + left:,}"
                found.append(f"{noun}已取得 {got} 筆，其餘將於下次產生報告時補齊")
        if DRAWING_NOUN in self.asked and (made or self.empty):
            empty = f"，{self.empty:,} 件無代表圖或圖檔無法使用" if self.empty else ""
            found.append(f"代表圖 {len(made):,} 件{empty}")
        return found


# The columns the status step fills: the client's two, and what the detail sheet says of them.
STATUS_FILLS = ("法律狀態", "預估屆期", "法律狀態依據", "預估屆期依據")
FIGURE = "代表圖"


def figures_of(header: list[str], values: list[tuple], entries: list[Publication], aliases) -> dict[str, str]:
    """Each publication's figure link where the list has a 代表圖 column ("representative figure link")."""
    at = next((i for i, h in enumerate(header) if aliases(FIGURE, h)), None)
    if at is None:
        return {}
    found: dict[str, str] = {}
    for entry, row in zip(entries, values):
        link = row[at] if at < len(row) else None
        if entry.id and isinstance(link, str) and link.strip():
            found.setdefault(_reference(entry), link.strip())
    return found


def merge_status(
    header: list[str], values: list[tuple], entries: list[Publication], standing: Standing, aliases
) -> tuple[list[str], list[tuple]]:
    """The list's columns with each publication's legal status and expected expiry
    where the list says nothing (its own values win), and what each was derived from."""
    columns = {name: next((i for i, h in enumerate(header) if aliases(name, h)), None) for name in STATUS_FILLS}
    rows = _editable(header, values, len(entries))
    header, added = list(header), set()
    for name in STATUS_FILLS:
        if columns[name] is None:
            header.append(name)
            columns[name] = len(header) - 1
            added.add(len(header) - 1)
            for row in rows:
                row.append(None)
    for entry, row in zip(entries, rows):
        reference = _reference(entry) if entry.id else ""
        status = standing.statuses.get(reference)
        if status is None:
            continue
        expiry = standing.expiries.get(reference)
        said = {
            "法律狀態": status.shown,
            "預估屆期": (expiry.shown if expiry.derived else expiry.day) if expiry else None,
            "法律狀態依據": status.detail if status.event else None,
            "預估屆期依據": f"{expiry.basis}{'（' + terms.DERIVED + '）' if expiry.derived else ''}"
            if expiry
            else None,
        }
        for name, value in said.items():
            at = columns[name]
            if at is not None and value is not None and row[at] in (None, ""):
                row[at] = value
    # A column added that no entry fills is none.
    keep = [i for i in range(len(header)) if i not in added or any(row[i] is not None for row in rows)]
    return [header[i] for i in keep], [tuple(row[i] for i in keep) for row in rows]


def drawings_by_id(entries: list[Publication], standing: Standing) -> dict[str, drawings.Thumbnail]:
    """The drawings found, by the publications' standard IDs (as the report names its entries)."""
    found = {}
    for entry in entries:
        made = standing.drawings.get(_reference(entry)) if entry.id else None
        if entry.id and made is not None:
            found[entry.id] = made
    return found
