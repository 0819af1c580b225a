"""Bibliographic data for the report's publications, when a source is set up.

With EPO Open Patent Services credentials (the environment, or the same keys
in `lumivar.toml` in the working folder), the job fetches title, applicants,
dates and IPC classes for every publication the list does not already
describe, in batches, through a local cache, within a time budget. Without
them, or without a network, the report is made as ever, with one line
saying so. The key and secret never appear in a message, a report or the
cache.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as dt
import json
import os
import sqlite3
import sys
import time
import tomllib
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from . import ops, publications
from .publications import Publication

SETTINGS_FILE = "lumivar.toml"
DEFAULT_URL = "https://ops.epo.org/3.2"
SOURCE = "EPO Open Patent Services"
KEEP_DAYS = 30
BUDGET = 60.0  # seconds for the whole data step
# What OPS gives, by the list header it fills (the report's own names, see fields).
FILLS = (
    ("專利名稱", "title"),
    ("申請人", "applicants"),
    ("優先權日", "priority"),
    ("申請日", "filed"),
    ("公開日", "published"),
    ("IPC", "ipc"),
)
SETUP = (
    "未設定書目資料來源：在工作資料夾的 lumivar.toml 填入 EPO Open Patent Services 的 "
    "LUMIVAR_OPS_KEY 與 LUMIVAR_OPS_SECRET，報告即可自動填入專利名稱、申請人、日期與 IPC"
)


@dataclass(frozen=True)
class Settings:
    key: str
    secret: str
    url: str
    cache: Path


def default_cache() -> Path:
    if sys.platform == "win32":
        return Path(os.environ.get("LOCALAPPDATA") or Path.home() / "AppData" / "Local") / "Lumivar"
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "lumivar"


def settings(folder: Path) -> Settings | None:
    """The source's settings: the environment's, else the working folder's
    lumivar.toml; None without a key and a secret."""
    written: dict = {}
    with contextlib.suppress(OSError, tomllib.TOMLDecodeError, UnicodeDecodeError):
        written = tomllib.loads((folder / SETTINGS_FILE).read_text(encoding="utf-8"))

    def value(name: str) -> str:
        found = os.environ.get(name) or written.get(name) or ""
        return found.strip() if isinstance(found, str) else ""

    key, secret = value("LUMIVAR_OPS_KEY"), value("LUMIVAR_OPS_SECRET")
    if not key or not secret:
        return None
    return Settings(
        key,
        secret,
        value("LUMIVAR_OPS_URL") or DEFAULT_URL,
        Path(value("LUMIVAR_CACHE")) if value("LUMIVAR_CACHE") else default_cache(),
    )


# ---------------------------------------------------------------- the cache


class Cache:
    """What OPS said and when: of a publication (DOCDB reference → its data),
    of an application (its number → its publications). A damaged cache is set
    aside and made anew, never a failure."""

    TABLES = ("biblio", "applications")

    def __init__(self, folder: Path):
        self.path = folder / "ops.sqlite"
        self.db: sqlite3.Connection | None = None
        with contextlib.suppress(OSError, sqlite3.Error):
            folder.mkdir(parents=True, exist_ok=True)
            self.db = self._connect()

    def _connect(self) -> sqlite3.Connection:
        for attempt in (1, 2):
            db = sqlite3.connect(self.path, timeout=5)
            try:
                for table in self.TABLES:
                    db.execute(
                        f"create table if not exists {table} (reference text primary key, fetched text, data text)"
                    )
                    db.execute(f"select count(*) from {table}").fetchone()
                return db
            except sqlite3.DatabaseError:
                db.close()  # Windows renames no file that is open
                if attempt == 2:
                    raise
                with contextlib.suppress(OSError):
                    self.path.replace(self.path.with_name(f"ops.damaged-{int(time.time())}.sqlite"))
        raise sqlite3.DatabaseError("unreachable")

    def get(self, table: str, references: list[str], today: dt.date) -> dict[str, tuple[str, object]]:
        """Reference → (the day it was fetched, what OPS said: None for nothing), for those fetched lately."""
        if self.db is None:
            return {}
        oldest = (today - dt.timedelta(days=KEEP_DAYS)).isoformat()
        found = {}
        with contextlib.suppress(sqlite3.Error, ValueError):
            for start in range(0, len(references), 500):
                chunk = references[start : start + 500]
                marks = ",".join("?" * len(chunk))
                for reference, fetched, data in self.db.execute(
                    f"select reference, fetched, data from {table} where reference in ({marks})", chunk
                ):
                    if fetched >= oldest:
                        found[reference] = (fetched, json.loads(data) if data else None)
        return found

    def put(self, table: str, records: dict[str, object], today: dt.date) -> None:
        if self.db is None or not records:
            return
        with contextlib.suppress(sqlite3.Error):
            with self.db:
                self.db.executemany(
                    f"insert or replace into {table} values (?, ?, ?)",
                    [
                        (r, today.isoformat(), json.dumps(d, ensure_ascii=False) if d else None)
                        for r, d in records.items()
                    ],
                )

    def close(self) -> None:
        if self.db is not None:
            self.db.close()


# ---------------------------------------------------------------- the data step


@dataclass
class Fetched:
    entries: list[Publication]  # the list's entries, an application's as its publication where OPS knows it
    records: dict[str, dict | None]  # DOCDB reference → its data, None when OPS knows it not
    day: dt.date | None  # the earliest day the data used was fetched


_STOPPED, _LATE = object(), object()  # a chunk not asked: the step stopped, the budget spent


class _Step:
    """One data step: the cache, the client, the clock and what was found.
    A fault of the service or the end of the budget stops every further request."""

    def __init__(
        self, cache: Cache, client: ops.Client, emit: Callable[[object], object], today: dt.date, budget: float
    ):
        self.cache, self.client, self.emit, self.today, self.budget = cache, client, emit, today, budget
        self.deadline = time.monotonic() + budget
        self.records: dict[str, dict | None] = {}
        self.days: list[dt.date] = []
        self.stopped = False

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
        except ops.Unavailable as stop:
            self.stopped = True  # no more requests from any thread
            return stop
        except ValueError as bad:
            return bad

    def known(self, table: str, references: list[str]) -> dict[str, object]:
        cached = self.cache.get(table, references, self.today)
        self.days.extend(dt.date.fromisoformat(day) for day, _ in cached.values())
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
        found = {o: list(p or []) for o, p in self.known("applications", originals).items()}
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
            got = got or {}
            self.keep(got)
            published: dict[str, list[str]] = {}
            # Earliest first: an undated document goes last.
            for key, record in sorted(got.items(), key=lambda item: (item[1]["published"] or "9", item[0])):
                published.setdefault(record["application"], []).append(key)
            asked_now = set(batch)
            for number, application in docdb.items():
                if application in asked_now:
                    found[number] = published.get(application, [])
        self.cache.put("applications", {o: found[o] for o in asked if o in found}, self.today)
        return found

    def biblio(self, references: list[str]) -> None:
        """The publications' data, from the cache or OPS in batches."""
        wanted = [r for r in references if r not in self.records]
        cached = self.known("biblio", wanted)
        self.records.update(cached)
        missing = [r for r in wanted if r not in cached]
        for batch, got in self.each(missing, ops.BATCH, self.client.biblio, ops.parse_biblio, "書目資料"):
            got = got or {}
            self.keep({r: got.get(r) or _loose(got, r) for r in batch})


def fetch(
    entries: list[Publication],
    found: Settings,
    emit: Callable[[object], object],
    today: dt.date,
    budget: float = BUDGET,
    client: ops.Client | None = None,
) -> Fetched:
    """Each publication's data, from the cache or OPS, within `budget` seconds;
    applications' numbers resolved to their publications first."""
    cache = Cache(found.cache)
    try:
        step = _Step(cache, client or ops.Client(found.url, found.key, found.secret), emit, today, budget)
        originals = [ops.original(e.country, e.number) if e.application else None for e in entries]
        if any(originals):
            published = step.publications(list(dict.fromkeys(o for o in originals if o)))
            entries = [_resolved(e, published.get(o)) if o else e for e, o in zip(entries, originals)]
        step.biblio(list(dict.fromkeys(_reference(e) for e in entries if e.id)))
        return Fetched(entries, step.records, min(step.days) if step.days else None)
    finally:
        cache.close()


def _resolved(entry: Publication, references: list[str] | None) -> Publication:
    """An application's entry as its first publication, the others named;
    as it was when OPS was not asked, with a note when OPS knows none."""
    if references is None:
        return entry
    found = [p for p in (publications.of_reference(*(r.split(".") + [None])[:3]) for r in references) if p.id]
    if not found:
        return _noted(entry, publications.NOTE_UNRESOLVED)
    others = "、".join(p.id for p in found[1:4]) + ("…" if len(found) > 4 else "")
    note = f"{publications.NOTE_RESOLVED}（另有 {others}）" if others else publications.NOTE_RESOLVED
    return dataclasses.replace(found[0], text=entry.text, note=note, extra=entry.extra)


def _reference(entry: Publication) -> str:
    return ops.docdb(entry.country, entry.number, entry.kind)


def _loose(got: dict[str, dict], reference: str) -> dict | None:
    """OPS answers a reference without its kind under the kind it has."""
    if reference.count(".") == 1:
        return next((d for k, d in got.items() if k.rsplit(".", 1)[0] == reference), None)
    return None


def merge(
    header: list[str], values: list[tuple], fetched: Fetched, aliases
) -> tuple[list[str], list[tuple], list[Publication]]:
    """The list's columns with the fetched data where the list says nothing:
    its own values always win; columns it lacks are added when any entry has
    data for them. Entries OPS does not know say so in their status."""
    entries = fetched.entries
    columns = {name: next((i for i, h in enumerate(header) if aliases(name, h)), None) for name, _ in FILLS}
    rows = [list(v) + [None] * (len(header) - len(v)) for v in (values or [()] * len(entries))]
    references = [_reference(e) if e.id else None for e in entries]
    records = [fetched.records.get(r) if r else None for r in references]
    for name, key in FILLS:
        if columns[name] is None:
            if not any(record and record.get(key) for record in records):
                continue
            header = header + [name]
            columns[name] = len(header) - 1
            for row in rows:
                row.append(None)
        at = columns[name]
        for row, record in zip(rows, records):
            if record and record.get(key) and row[at] in (None, ""):
                row[at] = record[key]
    # Asked and not known (an entry not asked, the step having stopped, says nothing).
    marked = [
        _noted(e, publications.NOTE_NO_DATA) if r in fetched.records and fetched.records[r] is None else e
        for e, r in zip(entries, references)
    ]
    return header, [tuple(r) for r in rows], marked


def _noted(entry: Publication, note: str) -> Publication:
    return dataclasses.replace(entry, note=f"{entry.note}；{note}" if entry.note else note)


def source_line(fetched: Fetched) -> str | None:
    if fetched.day is None:
        return None
    return f"書目資料：{SOURCE}，{fetched.day:%Y-%m-%d} 取得"
