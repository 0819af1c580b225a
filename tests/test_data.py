"""Bibliographic data from EPO's Open Patent Services, through a stand-in on
127.0.0.1 that replays the recorded exchanges: fetched when set up, cached,
bounded, and never needed."""

import datetime as dt
import zipfile

import openpyxl
import pytest

from lumivar.report import data, job, ops, publications

from ops_server import StandIn, fault
from report_checks import problems
from support import make_patents, make_request

KEY, SECRET = "key-lumivar-7f3a", "secret-lumivar-91c2"
TODAY = dt.datetime(2026, 12, 10)
NUMBERS = ["WO 2009/085664 A2", "CA 3237996 A1", "JP 2005-533465 A", "EP 1000000 A1", "US 2020/0123456 A1"]


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
    sheet = openpyxl.load_workbook(path).active
    header = [c.value for c in sheet[7]]
    rows = [{h: c.value for h, c in zip(header, row)} for row in sheet.iter_rows(min_row=8, max_row=7 + len(numbers))]
    return path, messages, sheet, rows


def test_a_report_gets_each_publications_data_once_and_never_the_keys(tmp_path, ops_service):
    path, messages, sheet, rows = report(tmp_path)
    assert rows[0]["專利名稱"] == "RELEVANCY SORTING OF USERS BROWSER HISTORY"
    assert rows[0]["公開日"] == dt.datetime(2009, 7, 9)
    assert (rows[1]["申請人"], rows[1]["優先權日"]) == ("GOOGLE LLC", dt.datetime(2013, 6, 25))
    assert rows[0]["IPC"] == "G06F 15/00；G06F 15/16" and rows[0]["申請日"] is not None
    assert rows[4]["狀態"] == "查無書目資料"  # OPS knows no such document
    assert [c.value for c in sheet["A"][3:5]] == [
        "書目資料：EPO Open Patent Services，2026-12-10 取得",
        "共 5 筆，專利文獻 5 件，查無書目資料 1 筆",
    ]
    assert "取得書目資料 5/5" in messages and (ops_service.tokens, ops_service.biblio) == (1, 1)
    assert problems(path) == []
    report(tmp_path / "again")  # the same list again: all from the cache
    assert ops_service.biblio == 1
    stored = b"".join(p.read_bytes() for p in (tmp_path / "cache").iterdir())
    written = b"".join(zipfile.ZipFile(path).read(n) for n in zipfile.ZipFile(path).namelist())
    for secret in (KEY, SECRET):
        assert secret.encode() not in stored + written and not any(secret in m for m in messages)


def test_the_lists_own_values_win(tmp_path, ops_service):
    book = openpyxl.Workbook()
    book.active.append(["公開號", "專利名稱"])
    book.active.append(["WO 2009/085664 A2", "我們自己的名稱"])
    book.active.append(["CA 3237996 A1", None])
    book.save(tmp_path / "p.xlsx")
    path = job.make_report(
        make_request(tmp_path / "p.xlsx"), lambda m: None, now=lambda: TODAY, folder=tmp_path / "out"
    )
    sheet = openpyxl.load_workbook(path).active
    titles = [c.value for c in sheet["H"][7:9]]
    assert titles[0] == "我們自己的名稱" and titles[1]


def test_applications_numbers_become_the_publications_ops_knows(tmp_path, ops_service):
    numbers = ["PCT/US2008/086599", "特願2005-505120", "WO 2009/085664 A2", "EP 99203729.1", "CN 202010123456.7"]
    path, messages, sheet, rows = report(tmp_path, numbers)
    assert [r["標準公開號"] for r in rows] == ["WO2009085664A2", "JP2005533465A", "WO2009085664A2", "EP1000000B1", None]
    assert [r["公開號"] for r in rows] == numbers  # as the user wrote them
    assert rows[0]["專利名稱"] == "RELEVANCY SORTING OF USERS BROWSER HISTORY" and rows[1]["公開日"] == dt.datetime(
        2005, 11, 4
    )
    assert [r["狀態"] for r in rows] == [publications.NOTE_RESOLVED] * 2 + [
        "重複（同序號 1）",
        publications.NOTE_RESOLVED,
        "申請號，非公開號；查無對應的公開號",
    ]
    assert "共 5 筆，專利文獻 3 件，申請號 1 筆，重複 1 筆，由申請號對應 3 筆" in [c.value for c in sheet["A"][:7]]
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
    for name in ("LUMIVAR_OPS_KEY", "LUMIVAR_OPS_SECRET", "LUMIVAR_OPS_URL", "LUMIVAR_CACHE"):
        monkeypatch.delenv(name, raising=False)
    assert data.settings(tmp_path) is None
    (tmp_path / "lumivar.toml").write_text('LUMIVAR_OPS_KEY = "k"\nLUMIVAR_OPS_SECRET = "s"\n', encoding="utf-8")
    found = data.settings(tmp_path)
    assert (found.key, found.secret, found.url) == ("k", "s", data.DEFAULT_URL)
    monkeypatch.setenv("LUMIVAR_OPS_SECRET", "from the environment")
    assert data.settings(tmp_path).secret == "from the environment"
    (tmp_path / "lumivar.toml").write_text("not toml = = =", encoding="utf-8")
    assert data.settings(tmp_path) is None  # a broken file is no source, never a failure


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
