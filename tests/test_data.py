"""Bibliographic data from EPO's Open Patent Services, through a stand-in on
127.0.0.1 that replays the recorded exchanges: fetched when set up, cached,
bounded, and never needed."""

import datetime as dt
import json
import re
import socket
import sqlite3
import sys
import zipfile

import openpyxl
import pytest

from lumivar import protocol
from lumivar.report import data, drawings, fields, job, ops, publications

import hostile
from ops_server import BROKEN, GREEN, QUICK, SLOW, Raw, StandIn, clipping, exchange_document, exchange_documents, fault
from report_checks import problems
from support import make_patents, make_request

KEY, SECRET = "key-lumivar-7f3a", "secret-lumivar-91c2"
TODAY = dt.datetime(2026, 12, 10)
NUMBERS = ["WO 2009/085664 A2", "CA 3237996 A1", "JP 2005-533465 A", "EP 1000000 A1", "US 2020/0123456 A1"]
UNKNOWN = [f"EP {2000000 + i} A1" for i in range(250)]  # three batches OPS knows nothing of
SETTINGS = ("LUMIVAR_OPS_KEY", "LUMIVAR_OPS_SECRET", "LUMIVAR_OPS_URL", "LUMIVAR_CACHE")
FAMILIES = {name: make for name, make, _ in hostile.DATA_FAMILIES}
POSIX_ONLY = pytest.mark.skipif(sys.platform == "win32", reason="pipes and /dev/zero are POSIX's")


@pytest.fixture
def ops_service(tmp_path, monkeypatch):
    stand_in = StandIn()
    monkeypatch.setenv("LUMIVAR_OPS_KEY", KEY)
    monkeypatch.setenv("LUMIVAR_OPS_SECRET", SECRET)
    monkeypatch.setenv("LUMIVAR_OPS_URL", stand_in.url)
    monkeypatch.setenv("LUMIVAR_CACHE", str(tmp_path / "cache"))
    yield stand_in
    stand_in.close()


def report(tmp_path, numbers=NUMBERS, **options):
    messages = []
    tmp_path.mkdir(parents=True, exist_ok=True)
    path = job.make_report(
        make_request(make_patents(tmp_path / "p.xlsx", numbers)),
        messages.append,
        now=lambda: TODAY,
        folder=tmp_path / "out",
        **options,
    )
    book = openpyxl.load_workbook(path)
    return path, messages, book.active, detail_rows(book, len(numbers))


def detail_rows(book, count):
    """The detail sheet's entries, each by its headers: every field, as written and as found."""
    detail = book["書目明細"]
    head = next(row for row in detail.iter_rows() if row[0].value == "序號")
    header = [c.value for c in head]
    first = head[0].row + 1
    return [
        {h: c.value for h, c in zip(header, row)} for row in detail.iter_rows(min_row=first, max_row=first + count - 1)
    ]


def test_a_report_gets_each_publications_data_once_and_never_the_keys(tmp_path, ops_service):
    path, messages, sheet, rows = report(tmp_path)
    assert rows[0]["專利名稱"] == "RELEVANCY SORTING OF USERS BROWSER HISTORY"
    assert rows[0]["公開日"] == dt.datetime(2009, 7, 9)
    assert (rows[1]["申請人"], rows[1]["優先權日"]) == ("GOOGLE LLC", dt.datetime(2013, 6, 25))
    assert rows[0]["IPC"] == "G06F 15/00；G06F 15/16" and rows[0]["申請日"] is not None
    assert rows[4]["說明"] == "查無書目資料"  # OPS knows no such document
    assert [c.value for c in sheet["A"][2:5]] == [
        "書目資料：EPO Open Patent Services，2026-12-10 取得",
        data.DERIVED_LINE,  # the table's 法律狀態 was derived, and says so
        "本次檢索共得專利文獻 5 件",
    ]
    assert "共 5 筆，專利文獻 5 件（其中查無書目資料 1 件）" in messages  # the bookkeeping, for the window
    assert "取得書目資料 5/5" in messages and (ops_service.tokens, ops_service.biblio) == (1, 1)
    assert problems(path) == []
    report(tmp_path / "again")  # the same list again: all from the cache
    assert ops_service.biblio == 1
    stored = b"".join(p.read_bytes() for p in (tmp_path / "cache").rglob("*") if p.is_file())
    written = b"".join(zipfile.ZipFile(path).read(n) for n in zipfile.ZipFile(path).namelist())
    for secret in (KEY, SECRET):
        assert secret.encode() not in stored + written and not any(secret in m for m in messages)


def test_the_lists_own_values_win(tmp_path, ops_service):
    book = openpyxl.Workbook()
    book.active.append(["公開號", "專利名稱"])
    book.active.append(["WO 2009/085664 A2", "我們自己的名稱"])
    book.active.append(["CA 3237996 A1", None])
    book.active.append(["EP 2000001 A1", "OPS 不知道、清單知道的名稱"])
    book.active.append(["EP 2000002 A1", None])
    book.save(tmp_path / "p.xlsx")
    path = job.make_report(
        make_request(tmp_path / "p.xlsx"), lambda m: None, now=lambda: TODAY, folder=tmp_path / "out"
    )
    rows = detail_rows(openpyxl.load_workbook(path), 4)
    titles = [r["專利名稱"] for r in rows]
    assert titles[0] == "我們自己的名稱" and titles[1] and titles[2] == "OPS 不知道、清單知道的名稱"
    # 查無書目資料 only where neither the list nor OPS describes the document
    assert [r["說明"] for r in rows] == [None, None, None, publications.NOTE_NO_DATA]


def test_applications_numbers_become_the_publications_ops_knows(tmp_path, ops_service):
    numbers = ["PCT/US2008/086599", "特願2005-505120", "WO 2009/085664 A2", "EP 99203729.1", "CN 202010123456.7"]
    path, messages, sheet, rows = report(tmp_path, numbers)
    # each application's first publication, the later ones named
    assert [r["標準公開號"] for r in rows] == ["WO2009085664A2", "JP2005533465A", "WO2009085664A2", "EP1000000A1", None]
    assert [r["公開號"] for r in rows] == numbers  # as the user wrote them
    assert rows[0]["專利名稱"] == "RELEVANCY SORTING OF USERS BROWSER HISTORY" and rows[1]["公開日"] == dt.datetime(
        2005, 11, 4
    )
    assert [r["說明"] for r in rows] == [
        f"{publications.NOTE_RESOLVED}（另有 WO2009085664A3）",
        publications.NOTE_RESOLVED,
        "重複（同序號 1）",
        f"{publications.NOTE_RESOLVED}（另有 EP1000000B1）",
        "申請號，非公開號；查無對應的公開號",
    ]
    assert "共 5 筆，專利文獻 3 件（其中由申請號對應 3 件），申請號 1 筆，重複 1 筆" in messages
    assert (ops_service.conversions, ops_service.biblio) == (4, 1)  # one number each, their documents in one batch
    assert problems(path) == []
    _, _, _, again = report(tmp_path / "again", numbers)
    assert again == rows and (ops_service.conversions, ops_service.biblio) == (4, 1)  # all from the cache


@pytest.mark.parametrize(
    "plan, line, requests",
    [
        ([(400, {}, fault("CLIENT.InvalidAccessToken", "invalid_access_token"), 0)], None, 2),  # renewed, asked again
        (
            [(403, {"X-Rejection-Reason": "RegisteredQuotaPerWeek"}, fault("CLIENT.RobotDetected", "quota"), 0)],
            "EPO Open Patent Services 的每週配額已用完；書目資料取得 0/5 筆，報告照常輸出",
            1,
        ),
        ([(500, {}, b"<error/>", 0)], "EPO Open Patent Services 回應錯誤 (500)；書目資料取得 0/5 筆，報告照常輸出", 1),
        (
            [(200, {"X-Throttling-Control": "busy (retrieval=black:0)"}, b"<x/>", 0)],
            "EPO Open Patent Services 目前暫停服務 (流量管制)；書目資料取得 0/5 筆，報告照常輸出",
            1,
        ),
        ([(200, {}, b"<ops:world-patent-data", 0)], "EPO Open Patent Services 的回應無法辨識，這一批書目資料留白", 1),
        ([(200, {}, b"", 1.5)], "無法連上 EPO Open Patent Services；書目資料取得 0/5 筆，報告照常輸出", 1),  # too slow
    ],
    ids=["expired token", "weekly quota", "server error", "black", "malformed", "slow"],
)
def test_a_fault_of_the_service_costs_one_line_never_the_report(
    tmp_path, ops_service, monkeypatch, plan, line, requests
):
    monkeypatch.setattr(ops, "TIMEOUT", 1.0)
    ops_service.plan = list(plan)
    path, messages, _, rows = report(tmp_path)
    assert ops_service.biblio == requests
    assert (line in messages) if line else rows[0]["專利名稱"]
    assert path.exists()


def test_no_source_no_network_and_no_data_asked(tmp_path, monkeypatch):
    for name in ("LUMIVAR_OPS_KEY", "LUMIVAR_OPS_SECRET"):
        monkeypatch.delenv(name, raising=False)
    _, messages, _, rows = report(tmp_path)
    assert data.SETUP in messages and "專利名稱" not in rows[0]
    monkeypatch.setenv("LUMIVAR_OPS_KEY", KEY)
    monkeypatch.setenv("LUMIVAR_OPS_SECRET", SECRET)
    monkeypatch.setenv("LUMIVAR_OPS_URL", "http://127.0.0.1:9/3.2")  # nothing listens there
    monkeypatch.setenv("LUMIVAR_CACHE", str(tmp_path / "cache"))
    _, messages, _, rows = report(tmp_path / "refused")
    assert "無法連上 EPO Open Patent Services；書目資料取得 0/5 筆，報告照常輸出" in messages
    _, messages, _, _ = report(tmp_path / "off", with_data=False)
    assert not any("書目資料" in m for m in messages)


def test_settings_come_from_the_environment_or_the_working_folders_file(tmp_path, monkeypatch):
    for name in SETTINGS:
        monkeypatch.delenv(name, raising=False)
    assert data.settings(tmp_path) is None
    (tmp_path / "lumivar.toml").write_text('LUMIVAR_OPS_KEY = "k"\nLUMIVAR_OPS_SECRET = "s"\n', encoding="utf-8")
    found = data.settings(tmp_path)
    assert (found.key, found.secret, found.url) == ("k", "s", data.DEFAULT_URL)
    monkeypatch.setenv("LUMIVAR_OPS_SECRET", "from the environment")
    assert data.settings(tmp_path).secret == "s"  # a key of one place and a secret of another make no pair
    monkeypatch.setenv("LUMIVAR_OPS_KEY", "from the environment too")
    assert data.settings(tmp_path).secret == "from the environment"
    (tmp_path / "lumivar.toml").write_text("not toml = = =", encoding="utf-8")
    for name in SETTINGS:
        monkeypatch.delenv(name, raising=False)
    assert data.settings(tmp_path) is None  # a broken file is no source, never a failure


UNUSED = "，這次不取得書目資料"
SETTINGS_CASES = [  # (the family of tests/hostile.py, or the address in the environment; the line; the key found)
    ("settings: syntax error", "（第 3 行不符 TOML 格式）", None),
    ("settings: Big5", "（不是 UTF-8 編碼的文字，請以 UTF-8 另存）", None),
    ("settings: UTF-8 with a BOM", None, "k"),
    ("settings: FIFO", "（不是一般檔案）", None),
    ("settings: link to /dev/zero", "（不是一般檔案）", None),
    ("settings: 600 MB", "（檔案超過 64 KB，不是設定檔）", None),
    ("settings: arrays 30,000 deep", "（不符 TOML 格式）", None),
    (
        "settings: a number for the key",
        "工作資料夾的 lumivar.toml 中的 LUMIVAR_OPS_KEY 應為以引號括住的文字，未採用",
        None,
    ),
    ("settings: a line break in the address", ops.BAD_URL + UNUSED, None),
    ("settings: plain http to another host", ops.PLAIN_HTTP + UNUSED, None),
    ("https://ops.epo.org/3.2\r\nHost: elsewhere", ops.BAD_URL + UNUSED, None),
    ("ftp://ops.epo.org/3.2", ops.BAD_URL + UNUSED, None),
    ("http://[::1]:8080/3.2", None, KEY),  # this machine: a stand-in
]


@pytest.mark.parametrize(
    "case, line, key",
    [
        pytest.param(
            *case,
            id=case[0].removeprefix("settings: "),
            marks=POSIX_ONLY if "FIFO" in case[0] or "/dev" in case[0] else (),
        )
        for case in SETTINGS_CASES
    ],
)
def test_settings_it_cannot_use_say_why_in_one_line(home, monkeypatch, case, line, key):
    for name in SETTINGS:
        monkeypatch.delenv(name, raising=False)
    folder = protocol.working_folder()
    folder.mkdir(parents=True)
    if case in FAMILIES:
        FAMILIES[case](folder, None)
    else:
        for name, value in (("LUMIVAR_OPS_KEY", KEY), ("LUMIVAR_OPS_SECRET", SECRET), ("LUMIVAR_OPS_URL", case)):
            monkeypatch.setenv(name, value)
    said = []
    found = data.settings(folder, said.append)
    unread = line and line.startswith("（")
    assert said == ([f"工作資料夾的 lumivar.toml 無法讀取{line}，其中的設定未採用" if unread else line] if line else [])
    assert (found.key if found else None) == key


@pytest.mark.parametrize(
    "environment, working, saved, line",
    [
        # --folder names where the report goes, never where settings come from
        ({"KEY": KEY, "SECRET": SECRET}, None, {"URL": "elsewhere"}, None),
        (
            {"KEY": KEY, "SECRET": SECRET},
            {"URL": "elsewhere"},
            None,
            "工作資料夾的 lumivar.toml 中的 LUMIVAR_OPS_URL 未採用：金鑰取自環境變數，連線位址也只取自環境變數",
        ),
        (
            {"URL": "elsewhere"},
            {"KEY": KEY, "SECRET": SECRET, "URL": "ops"},
            None,
            "環境變數 LUMIVAR_OPS_URL 未採用：金鑰取自工作資料夾的 lumivar.toml，連線位址也只取自該檔",
        ),
    ],
    ids=["saved folder's file", "address in the file, keys in the environment", "address in the environment"],
)
def test_the_key_the_secret_and_the_address_come_from_one_place(
    tmp_path, home, ops_service, monkeypatch, environment, working, saved, line
):
    elsewhere = StandIn()
    try:
        addresses = {"ops": ops_service.url, "elsewhere": elsewhere.url}
        monkeypatch.setattr(data, "DEFAULT_URL", ops_service.url)  # the real service's stand-in

        def written(values):
            return "".join(f'LUMIVAR_OPS_{k} = "{addresses.get(v, v)}"\n' for k, v in values.items())

        for name in ("KEY", "SECRET", "URL"):
            value = environment.get(name)
            monkeypatch.setenv(f"LUMIVAR_OPS_{name}", addresses.get(value, value)) if value else monkeypatch.delenv(
                f"LUMIVAR_OPS_{name}"
            )
        for folder, values in ((protocol.working_folder(), working), (tmp_path / "out", saved)):
            if values:
                folder.mkdir(parents=True, exist_ok=True)
                (folder / "lumivar.toml").write_text(written(values), encoding="utf-8")
        _, messages, _, rows = report(tmp_path)
        assert elsewhere.seen == []  # not even the token exchange: the key went nowhere else
        assert rows[0]["專利名稱"] and ops_service.tokens == 1
        assert [m for m in messages if "LUMIVAR_OPS_URL" in m] == ([line] if line else [])
    finally:
        elsewhere.close()


def late(done, total):
    return f"書目資料在 1 秒內只取得 {done}/{total} 筆，其餘留白"


@pytest.mark.parametrize(
    "plan, delay, numbers, line",
    [
        *(
            ([Raw(answer)], 0, NUMBERS, f"{ops.CUT}；書目資料取得 0/5 筆，報告照常輸出")
            for answer in list(BROKEN.values())[:3]
        ),
        *(
            ([Raw(answer)], 0, NUMBERS, f"{ops.NOT_HTTP}；書目資料取得 0/5 筆，報告照常輸出")
            for answer in list(BROKEN.values())[3:]
        ),
        ([Raw(SLOW, drip=0.05)], 0, NUMBERS, late(0, 5)),  # a byte at a time from the status line
        ([Raw(SLOW, drip=0.05, at_once=SLOW.index(b"\r\n\r\n") + 4)], 0, NUMBERS, late(0, 5)),  # and of the body
        ([], 0.6, UNKNOWN[:150], late(100, 150)),  # every answer slow: the second one is cut at the budget
    ],
    ids=[*BROKEN, "slow from the status line", "slow body", "every answer slow"],
)
def test_a_broken_or_slow_answer_costs_one_line_never_the_report(
    tmp_path, ops_service, monkeypatch, plan, delay, numbers, line
):
    monkeypatch.setattr(data, "BUDGET", 1.0)
    monkeypatch.setattr(data, "STATUS_BUDGET", 1.0)  # the legal status and drawings after it: slow alike
    ops_service.plan, ops_service.delay = list(plan), delay
    path, messages, _, _ = report(tmp_path, numbers)
    assert line in messages and path.exists()
    assert not any("未預期" in m for m in messages)


PAGE = b"<!DOCTYPE html><html><body>Sign in to continue</body></html>"


@pytest.mark.parametrize(
    "plan, token_plan, address, line, asked",
    [
        ([(200, {"Content-Type": "text/html"}, PAGE, 0)], [], None, ops.NOT_OPS, 1),  # a proxy's page
        ([(404, {"Content-Type": "text/html"}, PAGE, 0)], [], None, ops.NOT_OPS, 1),  # a mistyped path
        ([(200, {"Content-Type": "application/json"}, b"{}", 0)], [], None, ops.NOT_OPS, 1),
        ([(200, {}, b'<rss version="2.0"/>', 0)], [], None, ops.NOT_OPS, 1),  # another service's XML
        ([], [(200, {"Content-Type": "text/html"}, PAGE, 0)], None, ops.NOT_OPS, 0),
        ([], [], "https://ops.invalid/3.2", ops.NO_HOST, 0),
    ],
    ids=["html page", "html not found", "json", "other xml", "html token", "no such host"],
)
def test_an_answer_that_is_not_ops_stops_the_step_at_once(
    tmp_path, ops_service, monkeypatch, plan, token_plan, address, line, asked
):
    ops_service.plan, ops_service.token_plan = list(plan), list(token_plan)
    if address:
        monkeypatch.setenv("LUMIVAR_OPS_URL", address)
        resolve = socket.getaddrinfo

        def unknown(host, *args, **kwargs):
            if host == "ops.invalid":
                raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
            return resolve(host, *args, **kwargs)

        monkeypatch.setattr(socket, "getaddrinfo", unknown)
    _, messages, _, rows = report(tmp_path, UNKNOWN)
    assert [m for m in messages if "EPO Open Patent Services" in m] == [f"{line}；書目資料取得 0/250 筆，報告照常輸出"]
    assert ops_service.biblio == asked and rows[0].get("狀態") is None  # not taken for a number OPS knows not


CACHED = {name: make for name, make in FAMILIES.items() if name.startswith("cache:")}
_WHOLE = dict.fromkeys(data.RECORD_KEYS, "")
CACHED.update(
    {
        "cache: an older version's record": hostile.cache_row(
            "biblio", "WO.2009085664.A2", hostile.CACHE_DAY, json.dumps(hostile.RECORD | {"title": "OLD"})
        ),
        "cache: a kind that is none": hostile.cache_row(
            "biblio", "WO.2009085664.A2", hostile.CACHE_DAY, json.dumps(_WHOLE | {"kind": 'A1"><x'})
        ),
    }
)


@pytest.mark.parametrize("family", CACHED)
def test_a_cache_row_it_cannot_read_is_fetched_again(tmp_path, ops_service, family):
    CACHED[family](tmp_path / "cache", None)
    application = "application" in family
    numbers = ["PCT/US2008/086599"] if application else NUMBERS
    for run in ("first", "again"):
        path, messages, sheet, rows = report(tmp_path / run, numbers)
        assert rows[0]["專利名稱"] == "RELEVANCY SORTING OF USERS BROWSER HISTORY"
        assert rows[0]["標準公開號"] == "WO2009085664A2" and sheet["A3"].value.endswith("2026-12-10 取得")
        assert (ops_service.conversions if application else ops_service.biblio) == 1  # the row made anew
        assert not any("快取" in m for m in messages)


def test_a_locked_cache_is_passed_by_never_set_aside(tmp_path, ops_service):
    report(tmp_path / "first")
    holder = sqlite3.connect(tmp_path / "cache" / "ops.sqlite")
    holder.execute("begin exclusive")
    try:
        _, messages, _, rows = report(tmp_path / "locked")
    finally:
        holder.rollback()
        holder.close()
    assert "書目資料的快取正由其他程式使用，這次不經快取" in messages and rows[0]["專利名稱"]
    assert [p.name for p in (tmp_path / "cache").iterdir() if p.is_file()] == ["ops.sqlite"] and ops_service.biblio == 2
    report(tmp_path / "after")
    assert ops_service.biblio == 2  # what the first report fetched is still there


def test_only_true_numbers_and_only_the_documents_asked_for_are_taken(tmp_path, ops_service):
    """Of an application's documents: those whose parts are no number (never
    linked, never named) and one of an application not asked (never kept)."""
    hostile_documents = [
        exchange_document("EP", "1000000/", "", "US.2008086599.W"),
        exchange_document("javascript:alert(1)//", "1", "A1", "US.2008086599.W"),
        exchange_document("EP", "1000001", "A1", "US.2008086599.W/"),
    ]
    found = hostile_documents + [ops_service.documents["WO.2009085664.A2"], ops_service.documents["CA.3237996.A1"]]
    ops_service.plan = [(200, {}, exchange_documents(found), 0)]
    path, _, sheet, rows = report(tmp_path, ["PCT/US2008/086599"])
    assert (rows[0]["標準公開號"], rows[0]["說明"]) == ("WO2009085664A2", publications.NOTE_RESOLVED)
    links = [c.hyperlink.target for row in sheet.iter_rows() for c in row if c.hyperlink]
    assert links == ["https://patents.google.com/patent/WO2009085664A2"] and problems(path) == []
    report(tmp_path / "again", ["CA 3237996 A1"])
    assert ops_service.biblio == 2  # asked for: nothing of it was kept


def test_a_damaged_cache_is_set_aside_and_made_anew(tmp_path, ops_service):
    (tmp_path / "cache").mkdir()
    (tmp_path / "cache" / "ops.sqlite").write_bytes(b"not a database" * 100)
    _, _, _, rows = report(tmp_path)
    assert rows[0]["專利名稱"]
    assert any(p.name.startswith("ops.damaged-") for p in (tmp_path / "cache").iterdir())


@pytest.mark.parametrize(
    "identity, reference",
    [
        (("US", "20200123456", "A1"), "US.2020123456.A1"),  # DOCDB's year and six digits
        (("EP", "1000000", "A1"), "EP.1000000.A1"),
        (("US", "9876543", None), "US.9876543"),
    ],
)
def test_publications_as_ops_names_them(identity, reference):
    assert ops.docdb(*identity) == reference


FIRST_PUBLISHED = [  # (as written, the ID the report gives it, its status): what OPS holds of the WO2009085664 family
    (
        "WO2009/085664",
        "WO2009085664A2",
        "未註明種類碼，以最早公開的 A2 為準（另有 A3）",
    ),  # never the search report alone
    ("WO 2009/085664 A2", "WO2009085664A2", "重複（同序號 1）"),  # a repeat by the completed number
    ("CN101911042", "CN101911042A", "未註明種類碼，以最早公開的 A 為準（另有 B）"),
    ("EP2225660", "EP2225660A2", "未註明種類碼，以最早公開的 A2 為準（另有 A4）"),  # nor the supplementary one
    ("US 8,131,731", "US8131731B2", None),  # the one kind held: nothing to say
    ("US 2009/0171930", "US20090171930A1", None),  # DOCDB's year and six digits
    ("EP1000000", "EP1000000A1", "未註明種類碼，以最早公開的 A1 為準（另有 B1）"),  # the publication before the grant
    ("EP 1000000 B1", "EP1000000B1", None),  # the grant: a document of its own
    ("EP 1000000 A1", "EP1000000A1", "重複（同序號 2）"),  # the 序號 of its family's line
    ("EP 2000001", "EP2000001", publications.NOTE_NO_DATA),  # OPS knows none: as written
]


def test_a_number_without_its_kind_is_its_first_publication_in_the_same_batch(tmp_path, ops_service):
    numbers = [written for written, _, _ in FIRST_PUBLISHED]
    path, _, sheet, rows = report(tmp_path, numbers)
    assert [(r["標準公開號"], r["說明"]) for r in rows] == [(i, status) for _, i, status in FIRST_PUBLISHED]
    detail = openpyxl.load_workbook(path)["書目明細"]  # every entry: the client's sheet has a line per family
    first = next(r[0].row for r in detail.iter_rows() if r[0].value == "序號")
    links = [c.hyperlink.target if c.hyperlink else None for c in detail["D"][first : first + len(numbers)]]
    assert links == [f"https://patents.google.com/patent/{i}" for _, i, _ in FIRST_PUBLISHED]
    assert rows[0]["種類"] == "A2" and rows[0]["專利名稱"] == "RELEVANCY SORTING OF USERS BROWSER HISTORY"
    assert (ops_service.tokens, ops_service.biblio) == (1, 1) and problems(path) == []
    batch = [s for s in ops_service.seen if b"/rest-services/" not in s and b"grant_type" not in s][-1]
    asked = re.findall(r"^[A-Z]{2}\.\w+(?:\.[A-Z]\d?)?$", batch.decode(), re.MULTILINE)
    assert "EP.1000000" in asked and "EP.1000000.A1" not in asked  # it came with the number asked without a kind
    _, _, _, again = report(tmp_path / "again", numbers)
    assert again == rows and ops_service.biblio == 1  # the kinds chosen are cached too


def test_the_answers_give_inventors_classes_abstracts_citations_and_families(tmp_path, ops_service):
    path, _, _, rows = report(tmp_path, ["WO 2009/085664 A2", "CN 101911042 A", "WO 2020/081771 A1", "EP 1000000 A1"])
    assert rows[0]["申請人"] == "MICROSOFT CORPORATION"  # the original form, not epodoc's "MICROSOFT CORP [US]"
    assert rows[2]["發明人"] == "WANG, Yin；XU, Shangping；YANG, Haiyan；BENDER, John"
    assert rows[3]["CPC"] == "B28B 1/29；B28B 5/022；B28B 5/025；B28B 7/0064"
    assert rows[0]["摘要"].startswith("Various embodiments provide a Web browser")  # English beside French
    assert rows[3]["摘要"].endswith("on at least one side of the green bricks.")  # EPO's <IMAGE> marker left out
    # the most relevant first, a literature citation by its first words
    assert re.fullmatch(
        r'X: "Aqua nu filtration system LTD".*…; Y: DISCOVER NATURAL FIBRES.*…; A: JPH06279146A', rows[2]["引用文獻"]
    )
    assert rows[3]["引用文獻"] == "A: DE3546191A1, EP0680812A1, NL9400663A"
    assert [r["同族編號"] for r in rows] == ["40799763", "40799763", "70284791", "19768124"]
    assert rows[1]["公開日"] == dt.datetime(2010, 12, 8) and rows[1]["專利名稱"] is None  # what a family answer holds
    assert "英文名稱" not in rows[0] and problems(path) == []  # no title in another language: no column for it


@pytest.mark.parametrize(
    "listed, families",
    [
        ([None, None, None], ["40799763", "19768124", None]),  # OPS's; a document it knows not has none
        ([12345678.0, None, "987"], ["12345678", "19768124", "987"]),  # the list's own win
    ],
    ids=["from OPS", "the list's own"],
)
def test_each_entry_carries_its_simple_family(tmp_path, ops_service, listed, families):
    numbers = ["WO 2009/085664 A2", "EP 1000000 B1", "EP 2000001 A1"]
    entries = [publications.parse(n) for n in numbers]
    fetched = data.fetch(entries, data.settings(tmp_path), lambda line: None, TODAY.date())
    header, values, merged = data.merge(
        ["公開號", "Family number"], list(zip(numbers, listed)), fetched, fields.aliases
    )
    assert [e.family for e in merged] == families and data.FAMILY not in header  # Espacenet's column is the one
    assert [e.family for e in data.families(["Family number"], [(f,) for f in listed], entries, fields.aliases)] == [
        (str(int(f)) if isinstance(f, float) else f) for f in listed
    ]  # without a data source, the list's column alone


def _party(kind: str, names) -> str:
    return "".join(
        f'<{kind} sequence="{i}" data-format="{form}"><{kind}-name><name>{name}</name></{kind}-name></{kind}>'
        for i, (form, name) in enumerate(names, start=1)
    )


def _parties(applicants=(), inventors=()) -> str:
    return (
        f"<parties><applicants>{_party('applicant', applicants)}</applicants>"
        f"<inventors>{_party('inventor', [('original', n) for n in inventors])}</inventors></parties>"
    )


def _titles(**titles) -> str:
    return "".join(f'<invention-title lang="{lang}">{text}</invention-title>' for lang, text in titles.items())


def _abstracts(**abstracts) -> str:
    return "".join(f'<abstract lang="{lang}"><p>{text}</p></abstract>' for lang, text in abstracts.items())


ORIGINAL = "original"
ANSWERED = [  # (country, its bibliographic data, what follows it, what the record says)
    (
        "US",
        _parties(
            [
                ("epodoc", "SCIENT DRILLING INT [US]"),
                (ORIGINAL, "SCIENTIFIC DRILLING INTERNATIONAL, INC"),
                (ORIGINAL, "Scientific Drilling International, Inc"),
            ]
        ),
        "",
        {"applicants": "SCIENTIFIC DRILLING INTERNATIONAL, INC"},  # the original form, once
    ),
    (
        "US",
        _parties(
            [
                (ORIGINAL, n)
                for n in (
                    "ACME TECHNOLOGIES INC",
                    "DOE, JOHN",
                    "ROE, RICHARD",
                    "INTERNATIONAL BUSINESS MACHINES CORPORATION",
                )
            ],
            ["DOE, John", "ROE, Richard"],
        ),
        "",
        {
            "applicants": "ACME TECHNOLOGIES INC；INTERNATIONAL BUSINESS MACHINES CORPORATION",
            "inventors": "DOE, John；ROE, Richard",
        },
    ),
    (
        "TW",
        _parties([(ORIGINAL, "SMITH, JANE"), (ORIGINAL, "鴻海精密工業股份有限公司")], ["LEE, KIM"]),
        "",
        {"applicants": "鴻海精密工業股份有限公司；SMITH, JANE"},  # organisations first
    ),
    ("US", _parties([(ORIGINAL, "DOE, JOHN")], ["DOE, John"]), "", {"applicants": "DOE, JOHN"}),  # inventors alone
    (
        "FR",
        _parties([(ORIGINAL, "DOE, JOHN"), (ORIGINAL, "ACME, S.A.")], ["DOE, John"]),
        "",
        {"applicants": "ACME, S.A."},
    ),
    ("EP", _parties([("epodoc", "MICROSOFT CORP [US]")]), "", {"applicants": "MICROSOFT CORP"}),  # no original form
    (
        "CN",
        _titles(zh="一種濾水材料", en="A FILTER MATERIAL"),
        "",
        {"title": "一種濾水材料", "title_en": "A FILTER MATERIAL"},
    ),
    ("JP", _titles(ja="濾過材", en="FILTER"), "", {"title": "濾過材", "title_en": "FILTER"}),
    ("TW", _titles(en="A FILTER MATERIAL"), "", {"title": "A FILTER MATERIAL", "title_en": ""}),
    ("WO", _titles(zh="濾水材料", en="A FILTER MATERIAL"), "", {"title": "A FILTER MATERIAL", "title_en": ""}),
    ("EP", _titles(de="Filter", fr="Filtre", en="Filter material"), "", {"title": "Filter material", "title_en": ""}),
    ("CN", "", _abstracts(en="A filter.", zh="一種濾材。"), {"abstract": "一種濾材。"}),
    ("EP", "", _abstracts(fr="Un filtre.", en="A filter."), {"abstract": "A filter."}),
    ("EP", "", _abstracts(fr="Un filtre."), {"abstract": ""}),  # neither the report's language nor English
]


@pytest.mark.parametrize("country, biblio, after, expected", ANSWERED)
def test_names_titles_and_abstracts_as_the_report_wants_them(country, biblio, after, expected):
    body = exchange_documents([exchange_document(country, "1234567", "A", "", biblio=biblio, after=after)])
    record = ops.parse_biblio(body)[f"{country}.1234567.A"]
    assert {key: record[key] for key in expected} == expected


# ---------------------------------------------------------------- legal status and drawings

STATUS_CASES = {  # DOCDB reference → (法律狀態 shown, 預估屆期 shown, whether it has a drawing)
    "TW.I600001.B": ("有效", "2035-01-04", True),
    "TW.M500001.U": ("失效", None, True),  # lapsed: no expiry
    "US.9000001.B2": ("有效", "2033-03-05（推定）", True),
    "EP.3100000.A1": ("撤回", None, False),  # withdrawn; and no clipping
    "CN.305000001.S": ("有效", "2028-01-04", False),  # a corrupt clipping
    "JP.6000001.B2": ("有效", "2035-01-05", False),  # an oversized one
    "EP.1000000.A1": ("失效", None, True),  # the recorded events and inquiry
    "WO.2010050748.A2": ("無法律狀態資料", None, True),
}


def status_of(stand_in, tmp_path, references=tuple(STATUS_CASES), **options):
    """The status step for publications, with what the data step found of them (their filing dates)."""
    stand_in.throttling = options.pop("throttling", QUICK)
    entries = [publications.of_reference(*r.split(".")) for r in references]
    client = ops.Client(stand_in.url, KEY, SECRET)
    records = ops.parse_biblio(
        exchange_documents([stand_in.documents[r] for r in references if r in stand_in.documents])
    )
    found = data.Settings(KEY, SECRET, stand_in.url, tmp_path / "cache")
    said = []
    standing = data.fetch_status(entries, records, found, said.append, TODAY.date(), client=client, **options)
    return standing, said


def test_legal_status_expiry_and_drawings_are_fetched_once_and_kept(tmp_path, ops_service):
    standing, said = status_of(ops_service, tmp_path)
    got = {
        r: (
            standing.statuses[r].shown,
            standing.expiries[r].shown if r in standing.expiries else None,
            r in standing.drawings,
        )
        for r in STATUS_CASES
    }
    assert got == STATUS_CASES
    assert standing.statuses["TW.M500001.U"].detail.startswith("推定：失效（2018-01-05 MM4K")
    assert standing.drawings["TW.I600001.B"].height == 150
    assert standing.lines == [data.DERIVED_LINE, "代表圖 5 件，3 件無代表圖或圖檔無法使用"] and said == []
    asked = (ops_service.legal, ops_service.images, ops_service.tokens)
    assert asked == (8, 8 + 7, 1)  # an inquiry each, an image each the inquiry names (all but EP.3100000.A1)
    again, _ = status_of(ops_service, tmp_path)  # the same list again: from the caches, no request, no token
    assert (ops_service.legal, ops_service.images, ops_service.tokens) == asked
    assert {r: s.shown for r, s in again.statuses.items()} == {r: s.shown for r, s in standing.statuses.items()}
    assert again.drawings == standing.drawings and again.lines == standing.lines


def test_at_most_so_many_drawings_a_report_a_line_naming_the_rest(tmp_path, ops_service, monkeypatch):
    monkeypatch.setattr(drawings, "MAX_DRAWINGS", 2)
    standing, _ = status_of(ops_service, tmp_path)
    assert sorted(standing.drawings) == ["TW.I600001.B", "TW.M500001.U"] and ops_service.images == 2 * 2
    assert "代表圖以 2 件為限，其餘 6 件未附" in standing.lines and len(standing.statuses) == 8


def test_a_lists_figure_goes_first_and_only_from_google_patents_host(tmp_path, ops_service, monkeypatch):
    monkeypatch.setattr(data, "FIGURE_BASE", ops_service.url.rsplit("/", 1)[0] + "/figures")
    ops_service.figures["/6f/US9000001-D00000.png"] = clipping(300, 900)
    figures = {
        "US.9000001.B2": "https://patentimages.storage.googleapis.com/6f/US9000001-D00000.png",
        "TW.I600001.B": "https://storage.googleapis.com/patentimages/6f/US9000001-D00000.png",  # another bucket
        "EP.1000000.A1": "https://patentimages.storage.googleapis.com/no/such.png",  # not there: the clipping
    }
    standing, _ = status_of(ops_service, tmp_path, tuple(figures), figures=figures)
    assert ops_service.figure_requests == 2 and ops_service.images == 2 * 2  # the two others' inquiries and images
    assert standing.drawings["US.9000001.B2"].width == 50  # the figure's own shape, 300 × 900
    assert all(r in standing.drawings for r in figures)
    figure_requests = [s for s in ops_service.seen if b"/figures/" in s]
    assert figure_requests and not any(b"Authorization" in s or KEY.encode() in s for s in figure_requests)


def test_a_service_that_stops_costs_one_line_and_the_other_goes_on(tmp_path, ops_service):
    black = QUICK.replace("images=green:60000", "images=black:0")
    ops_service.images_plan = [(200, {"X-Throttling-Control": black}, b"<x/>", 0)]
    standing, said = status_of(ops_service, tmp_path)
    assert said == ["EPO Open Patent Services 暫停接受此類請求 (流量管制)；代表圖取得 0/8 筆，報告照常輸出"]
    assert standing.drawings == {} and ops_service.images == 1  # not one more request of the images
    assert standing.statuses["TW.I600001.B"].shown == "有效" and ops_service.legal == 8
    assert "代表圖已取得 0/8 筆，其餘將於下次產生報告時補齊" in standing.lines
    again, said = status_of(ops_service, tmp_path)  # the next report goes on where this one stopped
    assert said == [] and len(again.drawings) == 5 and ops_service.legal == 8


def test_what_the_budget_leaves_is_fetched_by_the_next_report(tmp_path, ops_service):
    ops_service.delay = 0.3
    standing, said = status_of(ops_service, tmp_path, budget=1.0)
    left = [line for line in standing.lines if "其餘將於下次產生報告時補齊" in line]
    assert [line.split("已取得")[0] for line in left] == ["法律狀態", "代表圖"]
    first = int(left[0].split("已取得 ")[1].split("/")[0])
    assert 0 < first < 8 and left[0].endswith(f"{first}/8 筆，其餘將於下次產生報告時補齊")
    assert ops_service.legal <= first + 1  # at most the one the time cut
    ops_service.delay = 0.0
    again, _ = status_of(ops_service, tmp_path)
    assert not any("其餘" in line for line in again.lines) and len(again.statuses) == 8
    assert ops_service.legal <= 8 + 1  # only what the first report had not fetched


def test_the_client_spreads_each_paced_service_over_its_minute(ops_service):
    ops_service.throttling = GREEN  # OPS's own rates
    waits = []
    client = ops.Client(ops_service.url, KEY, SECRET, sleep=waits.append)  # no real waiting: turns add up
    for _ in range(3):
        client.legal("EP.1000000.A1")
    assert waits == pytest.approx([1.05, 2.1], abs=0.05)  # 60 a minute, a little below
    ops_service.throttling = GREEN.replace("inpadoc=green:60", "inpadoc=green:45")  # busy
    client.legal("EP.1000000.A1")
    client.legal("EP.1000000.A1")
    assert waits[-1] - waits[-2] == pytest.approx(60 * ops.MARGIN / 45, abs=0.05)
    client.images("EP.1000000.A1")  # the images' own turns: not behind the legal service's
    assert len(waits) == 4


STATUS_SETTINGS = [  # (in lumivar.toml, in the environment, (wanted, budget), the line)
    ("", {}, (True, data.STATUS_BUDGET), None),
    ("LUMIVAR_STATUS = false\nLUMIVAR_STATUS_BUDGET = 300\n", {}, (False, 300.0), None),
    ("LUMIVAR_STATUS = false\n", {"LUMIVAR_STATUS": "on"}, (True, data.STATUS_BUDGET), None),
    ('LUMIVAR_STATUS = "maybe"\n', {}, (True, data.STATUS_BUDGET), "LUMIVAR_STATUS 應為 true 或 false"),
    ("LUMIVAR_STATUS_BUDGET = -5\n", {}, (True, data.STATUS_BUDGET), "LUMIVAR_STATUS_BUDGET 應為 1 到 3600"),
    ("", {"LUMIVAR_STATUS_BUDGET": "1e9"}, (True, data.STATUS_BUDGET), "LUMIVAR_STATUS_BUDGET 應為 1 到 3600"),
]


@pytest.mark.parametrize("written, environment, expected, line", STATUS_SETTINGS)
def test_legal_status_and_drawings_are_set_in_lumivar_toml(tmp_path, monkeypatch, written, environment, expected, line):
    for name in SETTINGS + (data.STATUS, data.BUDGET_SETTING):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    (tmp_path / "lumivar.toml").write_text(f'LUMIVAR_OPS_KEY = "k"\nLUMIVAR_OPS_SECRET = "s"\n{written}', "utf-8")
    said = []
    found = data.settings(tmp_path, said.append)
    assert (found.status, found.status_budget) == expected
    assert [s for s in said if line and line in s] == ([s for s in said] if line else [])


STATUS_NUMBERS = ["TW I600001 B", "TW M500001 U", "US 9,000,001 B2", "EP 3100000 A1", "EP 1000000 A1"]


def test_a_report_shows_legal_status_and_expiry_after_the_publication_date(tmp_path, ops_service):
    path, messages, sheet, rows = report(tmp_path, STATUS_NUMBERS)
    at = next(row for row in sheet.iter_rows() if row[0].value == "序號")[0].row
    header = [c.value for c in sheet[at]]
    assert header[header.index("公開日") + 1 : header.index("公開日") + 3] == ["法律狀態", "預估屆期"]
    client = [dict(zip(header, (c.value for c in row))) for row in sheet.iter_rows(min_row=at + 1, max_row=at + 5)]
    assert [(r["法律狀態"], r["預估屆期"]) for r in client] == [
        ("有效", dt.datetime(2035, 1, 4)),
        ("失效", None),
        ("有效", "2033-03-05（推定）"),
        ("撤回", None),
        ("失效", None),
    ]
    assert rows[4]["法律狀態依據"].startswith("推定：失效（2011-11-30 PG25（GB）")
    assert rows[2]["預估屆期依據"] == "自申請日 2013-03-05 起 20 年（推定）"
    assert data.DERIVED_LINE in messages  # in the window, at the detail sheet's head and under the data's source
    head = [c.value for c in openpyxl.load_workbook(path)["書目明細"]["A"][:6]]
    summary = [c.value for c in sheet["A"][:6]]
    assert data.DERIVED_LINE in head and summary[summary.index(data.DERIVED_LINE) - 1].startswith("書目資料：")
    assert problems(path) == []
    _, _, off, _ = report(tmp_path / "off", STATUS_NUMBERS, with_status=False)  # --no-status
    assert "法律狀態" not in [c.value for row in off.iter_rows(max_row=8) for c in row] and ops_service.legal == 5


def test_the_command_lines_no_status_turns_legal_status_and_drawings_off(monkeypatch):
    from lumivar.report import __main__ as command

    asked = []
    monkeypatch.setattr(command, "handle_request", lambda request, emit, **options: asked.append(options))
    command.main(["p.xlsx", "--no-status"])
    command.main(["p.xlsx", "--no-data"])
    assert [(o["with_data"], o["with_status"]) for o in asked] == [(True, False), (False, True)]
