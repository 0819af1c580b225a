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
from dataclasses import dataclass
from pathlib import Path

from . import ops
from .publications import Publication

SETTINGS_FILE = "lumivar.toml"
DEFAULT_URL = "https://ops.epo.org/3.2"
SOURCE = "EPO Open Patent Services"
KEEP_DAYS = 30
BUDGET = 60.0  # seconds for the whole data step
NOT_FOUND = "查無書目資料"
# What OPS gives, by the list header it fills (the report's own names, see fields).
FILLS = (("專利名稱", "title"), ("申請人", "applicants"), ("優先權日", "priority"), ("申請日", "filed"),
         ("公開日", "published"), ("IPC", "ipc"))
SETUP = ("未設定書目資料來源：在工作資料夾的 lumivar.toml 填入 EPO Open Patent Services 的 "
         "LUMIVAR_OPS_KEY 與 LUMIVAR_OPS_SECRET，報告即可自動填入專利名稱、申請人、日期與 IPC")


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
    return Settings(key, secret, value("LUMIVAR_OPS_URL") or DEFAULT_URL,
                    Path(value("LUMIVAR_CACHE")) if value("LUMIVAR_CACHE") else default_cache())


# ---------------------------------------------------------------- the cache


class Cache:
    """DOCDB reference → what OPS said of it and when; a damaged cache is set
    aside and made anew, never a failure."""

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
                db.execute("create table if not exists biblio (reference text primary key, fetched text, data text)")
                db.execute("select count(*) from biblio").fetchone()
                return db
            except sqlite3.DatabaseError:
                db.close()  # Windows renames no file that is open
                if attempt == 2:
                    raise
                with contextlib.suppress(OSError):
                    self.path.replace(self.path.with_name(f"ops.damaged-{int(time.time())}.sqlite"))
        raise sqlite3.DatabaseError("unreachable")

    def get(self, references: list[str], today: dt.date) -> dict[str, tuple[str, dict | None]]:
        if self.db is None:
            return {}
        oldest = (today - dt.timedelta(days=KEEP_DAYS)).isoformat()
        found = {}
        with contextlib.suppress(sqlite3.Error, ValueError):
            for start in range(0, len(references), 500):
                chunk = references[start: start + 500]
                marks = ",".join("?" * len(chunk))
                for reference, fetched, data in self.db.execute(
                        f"select reference, fetched, data from biblio where reference in ({marks})", chunk):
                    if fetched >= oldest:
                        found[reference] = (fetched, json.loads(data) if data else None)
        return found

    def put(self, records: dict[str, dict | None], today: dt.date) -> None:
        if self.db is None:
            return
        with contextlib.suppress(sqlite3.Error):
            with self.db:
                self.db.executemany("insert or replace into biblio values (?, ?, ?)",
                                    [(r, today.isoformat(), json.dumps(d, ensure_ascii=False) if d else None)
                                     for r, d in records.items()])

    def close(self) -> None:
        if self.db is not None:
            self.db.close()


# ---------------------------------------------------------------- the data step


@dataclass
class Fetched:
    records: dict[str, dict | None]  # DOCDB reference → its data, None when OPS knows it not
    day: dt.date | None  # the earliest day the data used was fetched


def fetch(entries: list[Publication], found: Settings, emit: Callable[[object], object], today: dt.date,
          budget: float = BUDGET, client: ops.Client | None = None) -> Fetched:
    """Each publication's data, from the cache or OPS, within `budget` seconds."""
    wanted = list(dict.fromkeys(ops.docdb(e.country, e.number, e.kind) for e in entries if e.id))
    cache = Cache(found.cache)
    try:
        known = cache.get(wanted, today)
        records = {r: data for r, (_, data) in known.items()}
        days = [dt.date.fromisoformat(day) for day, _ in known.values()]
        missing = [r for r in wanted if r not in known]
        client = client or ops.Client(found.url, found.key, found.secret)
        deadline = time.monotonic() + budget
        done = 0
        for start in range(0, len(missing), ops.BATCH):
            if time.monotonic() > deadline:
                emit(f"書目資料在 {budget:g} 秒內只取得 {done:,}/{len(missing):,} 筆，其餘留白")
                break
            batch = missing[start: start + ops.BATCH]
            try:
                body = client.biblio(batch)
                got = ops.parse_biblio(body) if body is not None else {}
            except ops.Unavailable as stop:
                emit(f"{stop}；書目資料取得 {done:,}/{len(missing):,} 筆，報告照常輸出")
                break
            except ValueError:  # an answer that is no XML
                emit("EPO Open Patent Services 的回應無法辨識，這一批書目資料留白")
                continue
            fresh = {r: got.get(r) or _loose(got, r) for r in batch}
            cache.put(fresh, today)
            records.update(fresh)
            if any(fresh.values()):
                days.append(today)
            done += len(batch)
            emit(f"取得書目資料 {done:,}/{len(missing):,}")
        return Fetched(records, min(days) if days else None)
    finally:
        cache.close()


def _loose(got: dict[str, dict], reference: str) -> dict | None:
    """OPS answers a reference without its kind under the kind it has."""
    if reference.count(".") == 1:
        return next((d for k, d in got.items() if k.rsplit(".", 1)[0] == reference), None)
    return None


def merge(header: list[str], values: list[tuple], entries: list[Publication], fetched: Fetched,
          aliases) -> tuple[list[str], list[tuple], list[Publication]]:
    """The list's columns with the fetched data where the list says nothing:
    its own values always win; columns it lacks are added when any entry has
    data for them. Entries OPS does not know say so in their status."""
    columns = {name: next((i for i, h in enumerate(header) if aliases(name, h)), None) for name, _ in FILLS}
    rows = [list(v) + [None] * (len(header) - len(v)) for v in (values or [()] * len(entries))]
    references = [ops.docdb(e.country, e.number, e.kind) if e.id else None for e in entries]
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
    marked = [_noted(e, NOT_FOUND) if r in fetched.records and fetched.records[r] is None else e
              for e, r in zip(entries, references)]
    return header, [tuple(r) for r in rows], marked


def _noted(entry: Publication, note: str) -> Publication:
    return dataclasses.replace(entry, note=f"{entry.note}；{note}" if entry.note else note)


def source_line(fetched: Fetched) -> str | None:
    if fetched.day is None:
        return None
    return f"書目資料：{SOURCE}，{fetched.day:%Y-%m-%d} 取得"
