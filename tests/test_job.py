"""One report job, start to marker: the report file read back as Excel's
readers read it, its messages and errors, and the command line."""

import os
import subprocess

import openpyxl
import pytest
import python_calamine

from lumivar import messages, protocol
from lumivar.report import data, files, job

from report_checks import problems
from support import FROZEN_NAME, digest, make_patents, make_request, python_m, raiser
from support import run_job as run

DONE = protocol.DONE


def reports(home):
    folder = home / "tarnwick" / "Lumivar"
    return sorted(folder.glob("*.xlsx")) if folder.is_dir() else []


def table(sheet, header_row):
    """Each row of the table from its header on: (value, font name, size, fill colour) per cell."""
    rows = []
    width = sum(1 for c in sheet[header_row] if c.value is not None)
    for row in sheet.iter_rows(min_row=header_row, max_col=width):
        if all(c.value is None for c in row):
            break
        rows.append([(c.value, c.font.name, c.font.sz, c.fill.fgColor.rgb if c.fill.fill_type else None) for c in row])
    return rows


# ---------------------------------------------------------------- the report


def texts_only(path, values):
    """A list whose cells are all text, even those that read like formulas."""
    book = openpyxl.Workbook()
    book.active.append(["公開號"])
    for row, value in enumerate(values, start=2):
        book.active.cell(row=row, column=1, value=value).data_type = "s"
    book.save(path)
    return path


def test_report_without_template(home, tmp_path):
    patents = texts_only(
        tmp_path / "p.xlsx",
        [
            "TW I 123456 B",
            "not a number",
            "US 2020/123456 A1",
            "us-2020-0123456-a1",
            '=HYPERLINK("http://evil.example/x","US9999999B2")',
            "\t=1+1",
            "cmd|' /C calc'!A0",
        ],
    )
    before = digest(patents)
    path, messages = run(make_request(patents, ratio=1.5, cjk="新細明體", latin="Arial"))
    assert digest(patents) == before
    assert path == home / "tarnwick" / "Lumivar" / FROZEN_NAME
    assert messages[0] == "讀取「Sheet」工作表 A 欄 第 2–8 列: 7 筆"
    assert messages[1] == data.SETUP  # no source of bibliographic data is set up here
    # The bookkeeping goes to the window, not to the client's summary.
    assert messages[2] == "共 7 筆，專利文獻 2 件，重複 1 筆，格式不符 4 筆"
    assert messages[3:-2] == [
        f"{i}/7 {t}"
        for i, t in enumerate(
            [
                "TW I 123456 B",
                "not a number",
                "US 2020/123456 A1",
                "us-2020-0123456-a1",
                '=HYPERLINK("http://evil.example/x","US9999999B2")',
                "=1+1",
                "cmd|' /C calc'!A0",
            ],
            start=1,
        )
    ]
    assert messages[-2:] == [f"檢索報告已輸出: {path}", DONE]

    book = openpyxl.load_workbook(path)
    sheet = book.active
    assert (sheet.title, sheet["A1"].value, sheet["A1"].font.sz, sheet["A1"].font.b) == (
        "檢索報告",
        "檢索報告",
        24,
        True,
    )
    assert [sheet.cell(row=r, column=1).value for r in (2, 3, 4)] == [
        "製表日期：2024-05-06",
        "書目資料：未設定書目資料來源",
        "本次檢索共得專利文獻 2 件",
    ]
    c, l, red, grey = "新細明體", "Arial", "FFFFC7CE", "FFD9D9D9"
    rows = table(sheet, 6)
    # The default report: the number in its standard form, linked, and the notes where there are any.
    assert rows[0] == [(h, c, 18, "FFDDEBF7") for h in ("序號", "公開號", "說明")]
    assert rows[1] == [(1, l, 18, None), ("TWI123456B", l, 18, None), (None, l, 18, None)]
    assert rows[2] == [(2, l, 18, red), ("not a number", l, 18, red), ("格式不符：不含號碼", c, 18, red)]
    assert [r[1][0] for r in rows[3:5]] == ["US20200123456A1"] * 2
    assert rows[4][2] == ("重複（同序號 3）", c, 18, grey)
    # Text from the user's file is text, never a formula.
    assert [r[1][0] for r in rows[5:]] == [
        '=HYPERLINK("http://evil.example/x","US9999999B2")',
        "=1+1",
        "cmd|' /C calc'!A0",
    ]
    assert [sheet.cell(row=r, column=2).data_type for r in range(10, 13)] == ["s"] * 3
    links = {cell.coordinate: cell.hyperlink.target for row in sheet.iter_rows() for cell in row if cell.hyperlink}
    assert links == {
        "B7": "https://patents.google.com/patent/TWI123456B",
        "B9": "https://patents.google.com/patent/US20200123456A1",
        "B10": "https://patents.google.com/patent/US20200123456A1",
    }
    # Printed: header row on every page, frozen below it, a filter, page numbers.
    assert sheet.print_title_rows == "$6:$6"
    assert (sheet.freeze_panes, sheet.auto_filter.ref) == ("A7", "A6:C13")
    assert sheet.oddFooter.center.text == "第 &P 頁，共 &N 頁"
    assert all(0 < sheet.column_dimensions[col].width <= 255 for col in "ABC")
    # calamine, another reader, sees the same table.
    rows = python_calamine.CalamineWorkbook.from_path(str(path)).get_sheet_by_index(0).to_python()
    assert rows[6][:3] == [1.0, "TWI123456B", ""]
    assert problems(path) == []


@pytest.mark.parametrize(
    "ratio, note, size",
    [
        (1.3, None, 15.5),
        ("1.5", None, 18),
        (0.0, "文字大小比例 0% 無法使用，改以 100% 輸出", 12),
        (-0.5, "文字大小比例 -50% 無法使用，改以 100% 輸出", 12),
        (float("inf"), "文字大小比例 inf% 無法使用，改以 100% 輸出", 12),
        (float("nan"), "文字大小比例 nan% 無法使用，改以 100% 輸出", 12),
        ("abc", "文字大小比例 abc 無法使用，改以 100% 輸出", 12),
        (1e9, None, 409),  # Excel's largest font; widths stay within 255
    ],
)
def test_a_ratio_a_report_cannot_use_is_100_percent_and_said_so(home, tmp_path, ratio, note, size):
    path, messages = run(make_request(make_patents(tmp_path / "p.xlsx", ["EP1234567A1"]), ratio=ratio))
    assert path is not None
    assert [m for m in messages if m.startswith("文字大小比例")] == ([note] if note else [])
    sheet = openpyxl.load_workbook(path).active
    assert sheet["B7"].font.sz == size
    assert all(sheet.column_dimensions[col].width <= 255 for col in "ABCDEFG")


def test_report_into_a_template_with_a_hidden_first_sheet(home, tmp_path):
    template = tmp_path / "範本.xlsx"
    book = openpyxl.Workbook()
    book.active.title = "隱藏"
    book.active["A1"] = "不該有表格"
    book.active.sheet_state = "hidden"
    cover = book.create_sheet("封面")
    cover["A1"] = "專利檢索報告"
    cover.merge_cells("A3:C5")  # in use down to row 5
    book.create_sheet("附註")["C3"] = "保留這一頁"
    book.active = 2
    book.save(template)
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B"])
    before = digest(template)
    path, messages = run(make_request(patents, template=template))
    assert digest(template) == before
    report = openpyxl.load_workbook(path)
    assert (report.sheetnames, report.active.title) == (["隱藏", "封面", "附註", "書目明細"], "封面")
    first = report["封面"]
    assert (first["A1"].value, report["附註"]["C3"].value, report["隱藏"].max_row) == ("專利檢索報告", "保留這一頁", 1)
    assert first["A7"].value == "製表日期：2024-05-06"
    assert [r[1][0] for r in table(first, 11)] == ["公開號", "EP1234567A1", "TWI123456B"]
    assert first["B12"].hyperlink.target == "https://patents.google.com/patent/EP1234567A1"


def test_a_bare_file_name_is_in_the_working_folder(home, tmp_path, monkeypatch):
    folder = home / "tarnwick" / "Lumivar"
    folder.mkdir(parents=True)
    make_patents(folder / "檢索專利公開號.xlsx", ["EP1234567A1"])
    monkeypatch.chdir(tmp_path)  # not where the worker happens to run
    path, messages = run(make_request(" 檢索專利公開號.xlsx "))
    assert path is not None, messages


# ---------------------------------------------------------------- messages


def template_broken(d):
    (d / "t.xlsx").write_text("公開號,x\n", encoding="utf-8")
    return make_request(make_patents(d / "p.xlsx", ["EP1234567A1"]), template=d / "t.xlsx")


def template_bytes(d, data):
    (d / "t.xlsx").write_bytes(data)
    return make_request(make_patents(d / "p.xlsx", ["EP1234567A1"]), template=d / "t.xlsx")


def folder_blocked(d):
    # A file where the working folder should be: the folder cannot be made.
    protocol.native_path("C:/tarnwick").write_text("in the way")
    return make_request(make_patents(d / "p.xlsx", ["EP1234567A1"]))


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda d: None, "請求格式錯誤: 應為欄位對照表，收到空值"),
        (
            lambda d: {protocol.PATENT_PATH: str(d / "p.xlsx")},
            "請求格式錯誤: 缺少欄位 範本檔案路徑、文字大小比例、中文文字字體、英文文字字體",
        ),
        (
            lambda d: dict(make_request(d / "p.xlsx"), 中文文字字體=3),
            "請求格式錯誤: 欄位 中文文字字體 應為文字，收到數字",
        ),
        (
            lambda d: dict(make_request(d / "p.xlsx"), 文字大小比例=True),
            "請求格式錯誤: 欄位 文字大小比例 應為數字，收到是非值",
        ),
        (lambda d: make_request("   "), "尚未指定專利檔案"),
        (lambda d: make_request(d / "missing.xlsx"), "找不到專利檔案: "),
        (lambda d: make_request(make_patents(d / "p.xlsx", [])), "在專利檔案的「Sheet」工作表中找不到公開號: "),
        (
            lambda d: make_request(make_patents(d / "p.xlsx", ["EP1234567A1"]), template=d / "gone.xlsx"),
            "找不到範本檔案: ",
        ),
        (template_broken, "範本檔案是文字檔 (CSV)"),
        (lambda d: template_bytes(d, b"PK\x03\x04 cut short"), "範本檔案已損壞，無法開啟: "),
        (
            lambda d: template_bytes(d, b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + "EncryptedPackage".encode("utf-16-le")),
            "範本檔案有密碼保護，請先移除密碼再試一次: ",
        ),
        (folder_blocked, "無法建立工作資料夾: "),
    ],
    ids=[
        "none",
        "missing-keys",
        "font-number",
        "ratio-bool",
        "blank-path",
        "patent-missing",
        "no-number",
        "template-missing",
        "template-csv",
        "template-cut",
        "template-encrypted",
        "folder-blocked",
    ],
)
def test_error_gives_one_message_and_the_marker(home, tmp_path, build, message):
    request = build(tmp_path)
    inputs = {p: digest(p) for p in tmp_path.rglob("*") if p.is_file()}
    path, messages = run(request)
    assert path is None and messages[-1] == DONE
    assert messages[-2].startswith(message)
    assert all(m.startswith(("讀取「", "共 ")) or m == data.SETUP for m in messages[:-2])
    assert reports(home) == []
    assert {p: digest(p) for p in tmp_path.rglob("*") if p.is_file()} == inputs


PLANTED = "planted Python text"


@pytest.mark.parametrize(
    "where, error, line",
    [
        ("newbook.write_new", ZeroDivisionError(PLANTED), "產生檢索報告時發生未預期的錯誤 (內部錯誤)"),
        ("newbook.write_new", OSError(PLANTED), "無法寫入檢索報告: {folder} (內部錯誤)"),
        ("newbook.write_new", MemoryError(PLANTED), files.TOO_LARGE_TO_WRITE),
        ("_report", MemoryError(PLANTED), job.TOO_LARGE),
    ],
    ids=["fault-of-ours", "os-error-without-words", "memory-while-writing", "memory-before-writing"],
)
def test_an_unexpected_fault_ends_with_one_line_in_the_users_words_and_the_marker(
    home, tmp_path, monkeypatch, capsys, where, error, line
):
    owner, name = where.rsplit(".", 1) if "." in where else ("", where)
    monkeypatch.setattr(getattr(job, owner) if owner else job, name, raiser(error))
    path, messages = run(make_request(make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])))
    assert path is None and reports(home) == []
    assert messages[-2:] == [line.format(folder=home / "tarnwick" / "Lumivar"), DONE]
    assert not any(PLANTED in m or "Error" in m for m in messages)  # Python's words stay on the console
    if isinstance(error, ZeroDivisionError):
        assert "ZeroDivisionError" in capsys.readouterr().err  # for us


# ---------------------------------------------------------------- the command line


@pytest.mark.parametrize(
    "args, status, first_line",
    [
        (["{patents}", "--folder", "{out}", "--ratio", "1.5"], 0, "讀取「Sheet」工作表 A 欄 第 2 列: 1 筆"),
        (["p.xlsx", "--folder", "報告"], 0, "讀取「Sheet」工作表 A 欄 第 2 列: 1 筆"),  # relative to the current folder
        (["{out}/missing.xlsx", "--folder", "{out}"], 1, "找不到專利檔案: "),
        (["--ratio"], 2, ""),
    ],
)
def test_command_line(tmp_path, args, status, first_line):
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    out = tmp_path / "報告"
    done, lines = command_line(tmp_path, [a.format(patents=patents, out=out) for a in args])
    assert done.returncode == status, done.stderr.decode("utf-8", "replace")
    if status == 0:
        assert lines[0] == first_line and lines[-1].startswith(f"檢索報告已輸出: {out}")
        assert len(list(out.glob("*.xlsx"))) == 1
    elif status == 1:
        assert lines[-1].startswith(first_line)
    else:
        assert "參數錯誤" in done.stderr.decode("utf-8")


def command_line(folder, argv):
    """`python -m lumivar.report argv` run in `folder` on a console that takes
    only ASCII: (the finished process, its output's lines)."""
    done = subprocess.run(
        python_m("lumivar.report", *argv),
        capture_output=True,
        timeout=120,
        env=dict(os.environ, PYTHONIOENCODING="ascii"),
        cwd=folder,
    )
    return done, done.stdout.decode("utf-8").splitlines()


@pytest.mark.parametrize(
    "argv, status, last_line",
    [
        # A path of 120,000 characters in the message: cut as the window cuts it.
        (
            ["p.xlsx", "--template", "x/" * 60_000],
            1,
            lambda out: messages.shorten(f"找不到範本檔案: {out.parent}{os.sep}"),
        ),
        # A folder name whose bytes are no UTF-8: the replacement character, as the window shows it.
        (["p.xlsx", "--folder", "報告\udcff"], 0, lambda out: f"檢索報告已輸出: {out.parent / '報告'}\ufffd{os.sep}"),
    ],
    ids=["long-line", "not-utf-8"],
)
def test_the_command_line_prints_each_line_as_the_window_shows_it(tmp_path, argv, status, last_line):
    if os.name == "nt" and status == 0:
        pytest.skip("a name that is no UTF-8 is a Linux file system's")
    make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    done, lines = command_line(tmp_path, argv)
    assert done.returncode == status, done.stderr.decode("utf-8", "replace")
    assert all(len(line) <= messages.MAX_LINE for line in lines)
    assert lines[-1].startswith(last_line(tmp_path / "x")[: messages.SHOWN_OF_LONG_LINE])


@pytest.mark.parametrize("with_data", [False, True], ids=["no data step", "no data source"])
def test_a_lists_own_family_column_brings_a_family_together_without_a_data_source(tmp_path, with_data, monkeypatch):
    for name in (data.KEY, data.SECRET):
        monkeypatch.delenv(name, raising=False)
    book = openpyxl.Workbook()
    for row in (
        ["公開號", "Family number"],
        ["EP2906782A2", 40799763],
        ["US 10,047,600 B2", 40799763],
        ["EP1000000A1", None],
    ):
        book.active.append(row)
    book.save(tmp_path / "p.xlsx")
    path = job.make_report(make_request(tmp_path / "p.xlsx"), lambda m: None, folder=tmp_path, with_data=with_data)
    rows = python_calamine.CalamineWorkbook.from_path(str(path)).get_sheet_by_name("檢索報告").to_python()
    head = next(i for i, r in enumerate(rows) if r[0] == "序號")
    assert [r[1:] for r in rows[head + 1 : head + 3]] == [["EP2906782A2", "同族：US10047600B2"], ["EP1000000A1", ""]]
    assert problems(path) == []
