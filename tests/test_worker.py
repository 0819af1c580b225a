"""The report worker: numbers, workbooks, the report file and its messages."""
import multiprocessing
import os
import re
import sys
import threading
import zipfile
from datetime import datetime
from pathlib import Path

import openpyxl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import not_on_windows
from support import digest, make_patents, make_request
from lumivar import protocol, worker

DONE = protocol.DONE
FROZEN = datetime(2024, 5, 6, 7, 8, 9)
FROZEN_NAME = "檢索報告_20240506_070809.xlsx"


def frozen():
    return FROZEN


def reports(home):
    folder = home / "tarnwick" / "Lumivar"
    return sorted(folder.glob("*.xlsx")) if folder.is_dir() else []


def table_rows(sheet, header_row):
    """(value, font name, font size) per cell of the table, header included; None where empty."""
    rows = []
    for row in sheet.iter_rows(min_row=header_row, max_col=6):
        if all(c.value is None for c in row):  # the table ends
            break
        rows.append([None if c.value is None else (c.value, c.font.name, c.font.sz) for c in row])
    return rows


# ---------------------------------------------------------------- numbers


@pytest.mark.parametrize(
    "raw, parts",
    [
        ("TW I 123456 B", ("TW", "I123456", "B")),
        ("US 2020/0123456 A1", ("US", "20200123456", "A1")),
        ("EP1234567A1", ("EP", "1234567", "A1")),
        ("tw m 654321 u", ("TW", "M654321", "U")),
        ("US-D-987654-S", ("US", "D987654", "S")),
        ("  CN 1 2 3 4 5 6 7 C  ", ("CN", "1234567", "C")),
        ("JP\t2019/123456\tA", ("JP", "2019123456", "A")),
        ("ＴＷ　Ｉ１２３４５６Ｂ", ("TW", "I123456", "B")),  # typed with a full-width IME
        ("WO 2021–123456 A2", ("WO", "2021123456", "A2")),  # en dash pasted from a web page
        ("KR10-1234567-B1", ("KR", "101234567", "B1")),
        # does not fit: no kind code, no country, too long a kind, letters inside, empty
        ("US1234567", None),
        ("1234567A1", None),
        ("T1234567A1", None),
        ("EP1234567A12", None),
        ("EP12X4567A1", None),
        ("TWIM123456B", None),
        ("EPA1", None),
        ("TW I 123456 B; US 2020/0123456 A1", None),
        ("公開號", None),
        ("US 7,654,321 B2", None),
    ],
)
def test_parse_number(raw, parts):
    item = worker.parse_number(raw)
    assert (item.country, item.number, item.kind) == (parts or (None, None, None))
    assert item.status == ("格式正確" if parts else "格式不符")
    assert item.text == " ".join(raw.split())


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("TW I 123456 B", "TWI123456B"),
        ("us 2020/0123456 a1", "US20200123456A1"),
        ("ep-1234567-a1", "EP1234567A1"),
        ("a \\ b / c", "ABC"),
        ("", ""),
    ],
)
def test_normalise(raw, expected):
    assert worker.normalise(raw) == expected


separators = st.text(alphabet=" /-\t", max_size=2)


@given(
    country=st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=2, max_size=2),
    prefix=st.sampled_from(["", "I", "M", "D"]),
    digits=st.text(alphabet="0123456789", min_size=1, max_size=12),
    kind=st.tuples(st.sampled_from("ABCSU"), st.sampled_from(["", "1", "2", "9"])).map("".join),
    cuts=st.lists(separators, min_size=4, max_size=4),
    lower=st.booleans(),
)
@settings(max_examples=200, deadline=None)
def test_parse_number_ignores_separators_and_case(country, prefix, digits, kind, cuts, lower):
    mid = len(digits) // 2
    raw = cuts[0].join([country, prefix + digits[:mid]]) + cuts[1] + digits[mid:] + cuts[2] + kind + cuts[3]
    if lower:
        raw = raw.lower()
    item = worker.parse_number(raw)
    assert (item.country, item.number, item.kind) == (country, prefix + digits, kind)


# ---------------------------------------------------------------- reading workbooks


def test_read_numbers_skips_header_and_blanks(tmp_path):
    path = make_patents(
        tmp_path / "p.xlsx",
        ["TW I 123456 B", None, "   ", "  EP1234567A1 ", 1234567, 7654321.0, None, "US 2020/0123456 A1"],
        header="TW HEADER 1 A",  # looks like a number: must still be skipped
    )
    assert worker.read_numbers(path) == [
        "TW I 123456 B",
        "EP1234567A1",
        "1234567",
        "7654321",
        "US 2020/0123456 A1",
    ]


def test_read_numbers_uses_the_first_sheet_not_the_active_one(tmp_path):
    book = openpyxl.Workbook()
    first = book.active
    first.append(["公開號"])
    first.append(["TW I 111111 B"])
    second = book.create_sheet("其他")
    second.append(["公開號"])
    second.append(["TW I 222222 B"])
    book.active = 1
    book.save(tmp_path / "p.xlsx")
    assert worker.read_numbers(tmp_path / "p.xlsx") == ["TW I 111111 B"]


def test_read_numbers_reads_past_a_wrong_sheet_size(tmp_path):
    # Some programs store a too small size for the sheet; every row must still be read.
    path = make_patents(tmp_path / "p.xlsx", ["TW I 111111 B", "TW I 222222 B", "TW I 333333 B"])
    patched = tmp_path / "patched.xlsx"
    with zipfile.ZipFile(path) as src, zipfile.ZipFile(patched, "w") as dst:
        for info in src.infolist():
            data = src.read(info)
            if info.filename == "xl/worksheets/sheet1.xml":
                data, count = re.subn(rb'<dimension ref="[^"]*"', b'<dimension ref="A1:B2"', data)
                assert count == 1
            dst.writestr(info, data)
    assert worker.read_numbers(patched) == ["TW I 111111 B", "TW I 222222 B", "TW I 333333 B"]


def test_read_numbers_leaves_the_file_untouched(tmp_path):
    path = make_patents(tmp_path / "p.xlsx", ["TW I 123456 B"])
    before, mtime = digest(path), path.stat().st_mtime_ns
    worker.read_numbers(path)
    assert (digest(path), path.stat().st_mtime_ns) == (before, mtime)


@pytest.mark.parametrize(
    "setup, message",
    [
        (lambda d: make_patents(d / "p.xlsx", []), "專利檔案中沒有公開號: "),
        (lambda d: make_patents(d / "p.xlsx", [None, "  "]), "專利檔案中沒有公開號: "),
        (lambda d: make_patents(d / "p.xlsx", [], header=None), "專利檔案中沒有公開號: "),
        (lambda d: d / "missing.xlsx", "找不到專利檔案: "),
        (lambda d: d, "專利檔案不是檔案: "),
        (lambda d: (d / "p.xlsx").write_text("not a workbook") and d / "p.xlsx", "無法讀取專利檔案: "),
        (lambda d: (d / "p.xlsx").write_bytes(b"") or d / "p.xlsx", "無法讀取專利檔案: "),
    ],
    ids=["header-only", "blank-cells-only", "no-rows", "missing", "folder", "text-file", "empty-file"],
)
def test_read_numbers_errors(tmp_path, setup, message):
    path = setup(tmp_path)
    with pytest.raises(worker.ReportError) as caught:
        worker.read_numbers(path)
    assert str(caught.value).startswith(message + str(path))
    assert "\n" not in str(caught.value)


# ---------------------------------------------------------------- sizes and fonts


@pytest.mark.parametrize(
    "base, ratio, size",
    [
        (12, 1, 12.0),
        (16, 1, 16.0),
        (12, 1.5, 18.0),
        (16, 1.5, 24.0),
        (12, 1.3, 15.5),  # 15.6
        (16, 1.3, 21.0),  # 20.8
        (12, 1.0625, 13.0),  # 12.75: halves round up
        (16, 0.765625, 12.5),  # 12.25: up, not to the even half
        (12, 1.02, 12.0),  # 12.24
        (12, 1.04, 12.5),  # 12.48
        (12, 0.01, 1.0),  # Excel's smallest size
        (16, 100, 409.0),  # and its largest
    ],
)
def test_font_size(base, ratio, size):
    assert worker.font_size(base, ratio) == size


@given(base=st.sampled_from([12, 16]), ratio=st.floats(min_value=0.1, max_value=25, allow_nan=False))
def test_font_size_is_the_nearest_half_point(base, ratio):
    size = worker.font_size(base, ratio)
    assert (size * 2).is_integer()
    assert abs(size - base * ratio) <= 0.25 + 1e-9


@pytest.mark.parametrize(
    "value, ratio",
    [
        (1, 1.0),
        (1.5, 1.5),
        (2, 2.0),
        ("1.5", 1.5),
        (" 1.25 ", 1.25),
        (0, 1.0),
        (-2, 1.0),
        (float("nan"), 1.0),
        (float("inf"), 1.0),
        ("abc", 1.0),
        ("", 1.0),
        (10**400, 1.0),
    ],
)
def test_size_ratio(value, ratio):
    assert worker.size_ratio(value) == ratio


@pytest.mark.parametrize(
    "text, cjk",
    [
        ("檢索報告", True),
        ("TW 專利", True),
        ("ＴＷ", True),
        ("にほん", True),
        ("한국", True),
        ("TW I 123456 B", False),
        ("Calibri", False),
        ("é ü ß", False),
        ("", False),
    ],
)
def test_has_cjk(text, cjk):
    assert worker.has_cjk(text) is cjk


# ---------------------------------------------------------------- reports


def test_report_without_template(home, tmp_path):
    patents = make_patents(tmp_path / "p.xlsx", ["TW I 123456 B", "not a number", "US 2020/0123456 A1"])
    messages = []
    path = worker.make_report(
        make_request(patents, ratio=1.5, cjk="新細明體", latin="Arial"), messages.append, now=frozen
    )
    assert path == home / "tarnwick" / "Lumivar" / FROZEN_NAME
    book = openpyxl.load_workbook(path)
    assert book.sheetnames == ["檢索報告"]
    sheet = book.active
    assert (sheet["A1"].value, sheet["A1"].font.name, sheet["A1"].font.sz) == ("檢索報告", "新細明體", 24.0)
    assert sheet["A2"].value is None
    c, l = "新細明體", "Arial"
    assert table_rows(sheet, 3) == [
        [("序號", c, 18), ("公開號", c, 18), ("國別", c, 18), ("號碼", c, 18), ("種類", c, 18), ("狀態", c, 18)],
        [(1, l, 18), ("TW I 123456 B", l, 18), ("TW", l, 18), ("I123456", l, 18), ("B", l, 18), ("格式正確", c, 18)],
        [(2, l, 18), ("not a number", l, 18), None, None, None, ("格式不符", c, 18)],
        [(3, l, 18), ("US 2020/0123456 A1", l, 18), ("US", l, 18), ("20200123456", l, 18), ("A1", l, 18), ("格式正確", c, 18)],
    ]
    # recognised numbers link to their public pages; the others do not
    links = [sheet.cell(row=r, column=2).hyperlink for r in (4, 5, 6)]
    assert [link and link.target for link in links] == [
        "https://patents.google.com/patent/TWI123456B", None, "https://patents.google.com/patent/US20200123456A1"]
    assert sheet["B4"].font.u == "single" and sheet["B5"].font.u is None
    assert [sheet.cell(row=r, column=1).value for r in (7, 8, 9)] == [
        None, "製表日期: 2024-05-06", "共 3 筆公開號: 可辨識 2 筆，格式不符 1 筆"]
    assert sheet.max_row == 9


def test_report_font_follows_each_cells_text(home, tmp_path):
    # Accented Latin text is not Chinese; a full-width number typed with an IME is.
    patents = make_patents(tmp_path / "p.xlsx", ["Nº 12345 É", "ＴＷ　Ｉ１２３４５６Ｂ", "專利 TW I 1 B"])
    path = worker.make_report(make_request(patents, cjk="中", latin="Lat"), [].append, now=frozen)
    sheet = openpyxl.load_workbook(path).active
    assert [[(c.value, c.font.name) for c in row[:3] if c.value is not None] for row in sheet.iter_rows(min_row=4, max_row=6)] == [
        [(1, "Lat"), ("Nº 12345 É", "Lat")],
        [(2, "Lat"), ("ＴＷ Ｉ１２３４５６Ｂ", "中"), ("TW", "Lat")],
        [(3, "Lat"), ("專利 TW I 1 B", "中")],
    ]


def test_report_with_template_keeps_every_sheet(home, tmp_path):
    template = tmp_path / "範本.xlsx"
    book = openpyxl.Workbook()
    cover = book.active
    cover.title = "封面"
    cover["A1"] = "專利檢索報告"
    cover["A1"].font = openpyxl.styles.Font(name="微軟正黑體", size=20)
    cover["B4"] = "申請人: 某公司"
    cover.merge_cells("A6:C8")  # the merged area is in use down to row 8
    cover["A6"] = "說明"
    notes = book.create_sheet("附註")
    notes["C3"] = "保留這一頁"
    book.save(template)
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B"])
    before = digest(template), digest(patents)

    path = worker.make_report(make_request(patents, template=template, ratio=1.3), [].append, now=frozen)

    assert (digest(template), digest(patents)) == before
    report = openpyxl.load_workbook(path)
    assert report.sheetnames == ["封面", "附註"]
    assert report["附註"]["C3"].value == "保留這一頁"
    first = report["封面"]
    assert (first["A1"].value, first["A1"].font.name, first["A1"].font.sz) == ("專利檢索報告", "微軟正黑體", 20)
    assert first["B4"].value == "申請人: 某公司"
    assert [str(r) for r in first.merged_cells.ranges] == ["A6:C8"]
    assert all(first.cell(row=9, column=col).value is None for col in range(1, 7))
    c, l = "標楷體", "Calibri"
    assert table_rows(first, 10) == [
        [("序號", c, 15.5), ("公開號", c, 15.5), ("國別", c, 15.5), ("號碼", c, 15.5), ("種類", c, 15.5), ("狀態", c, 15.5)],
        [(1, l, 15.5), ("EP1234567A1", l, 15.5), ("EP", l, 15.5), ("1234567", l, 15.5), ("A1", l, 15.5), ("格式正確", c, 15.5)],
        [(2, l, 15.5), ("TW I 123456 B", l, 15.5), ("TW", l, 15.5), ("I123456", l, 15.5), ("B", l, 15.5), ("格式正確", c, 15.5)],
    ]
    assert first.max_row == 15  # the date and the count below the table


def test_report_on_an_empty_template_sheet_starts_at_the_top(home, tmp_path):
    template = tmp_path / "t.xlsx"
    openpyxl.Workbook().save(template)
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    report = openpyxl.load_workbook(worker.make_report(make_request(patents, template=template), [].append, now=frozen))
    assert [c.value for c in report.active[1]] == ["序號", "公開號", "國別", "號碼", "種類", "狀態"]
    assert report.active["B2"].value == "EP1234567A1"


def test_report_from_an_excel_template_file_opens_as_a_workbook(home, tmp_path):
    template = tmp_path / "t.xltx"
    book = openpyxl.Workbook()
    book.template = True
    book.active["A1"] = "範本"
    book.save(template)
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    path = worker.make_report(make_request(patents, template=template), [].append, now=frozen)
    with zipfile.ZipFile(path) as archive:
        types = archive.read("[Content_Types].xml").decode()
    assert "spreadsheetml.sheet.main+xml" in types
    assert "template" not in types


@pytest.mark.parametrize(
    "ratio, cjk, latin, fonts, cell_size, title_size",
    [
        (float("nan"), "標楷體", "Calibri", ("標楷體", "Calibri"), 12, 16),
        (-1, "標楷體", "Calibri", ("標楷體", "Calibri"), 12, 16),
        ("1.5", "標楷體", "Calibri", ("標楷體", "Calibri"), 18, 24),
        (2, "", "   ", ("標楷體", "Calibri"), 24, 32),  # emptied entries fall back to the defaults
        (1, "  細明體 ", "Times New Roman", ("細明體", "Times New Roman"), 12, 16),
    ],
)
def test_report_ratio_and_font_names(home, tmp_path, ratio, cjk, latin, fonts, cell_size, title_size):
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    path = worker.make_report(make_request(patents, ratio=ratio, cjk=cjk, latin=latin), [].append, now=frozen)
    sheet = openpyxl.load_workbook(path).active
    assert (sheet["A1"].font.name, sheet["A1"].font.sz) == (fonts[0], title_size)
    assert [(c.font.name, c.font.sz) for c in sheet[4]] == [(fonts[1], cell_size)] * 5 + [(fonts[0], cell_size)]


def test_report_accepts_pasted_paths_with_spaces_and_quotes(home, tmp_path):
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    template = tmp_path / "t.xlsx"
    openpyxl.Workbook().save(template)
    path = worker.make_report(
        make_request(f'  "{patents}" ', template=f" {template}\t"), [].append, now=frozen
    )
    assert openpyxl.load_workbook(path).active["B2"].value == "EP1234567A1"


@pytest.mark.skipif(sys.platform == "win32", reason="Windows drops the trailing spaces of a file name")
def test_user_path_prefers_the_text_as_given(tmp_path):
    odd = tmp_path / " spaced.xlsx "
    odd.write_bytes(b"x")
    (tmp_path / "spaced.xlsx").write_bytes(b"y")
    assert worker.user_path(str(tmp_path) + "/ spaced.xlsx ") == odd
    assert worker.user_path(str(tmp_path) + "/spaced.xlsx ") == tmp_path / "spaced.xlsx"


def test_user_path_maps_drive_c_to_home(home):
    (home / "tarnwick").mkdir()
    (home / "tarnwick" / "p.xlsx").write_bytes(b"x")
    assert worker.user_path("C:/tarnwick/p.xlsx") == home / "tarnwick" / "p.xlsx"
    assert worker.user_path("c:\\tarnwick\\p.xlsx") == home / "tarnwick" / "p.xlsx"


@not_on_windows
def test_working_folder_follows_home(home, monkeypatch, tmp_path):
    assert protocol.working_folder() == home / "tarnwick" / "Lumivar"
    other = tmp_path / "other"
    monkeypatch.setenv("HOME", str(other))
    assert protocol.working_folder() == other / "tarnwick" / "Lumivar"
    assert str(protocol.working_folder("win32")).replace("\\", "/") == "C:/tarnwick/Lumivar"


# ---------------------------------------------------------------- never overwriting


def test_report_never_overwrites_an_existing_report(home, tmp_path):
    folder = home / "tarnwick" / "Lumivar"
    folder.mkdir(parents=True)
    existing = folder / FROZEN_NAME
    existing.write_bytes(b"the user's own file")
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])

    first = worker.make_report(make_request(patents), [].append, now=frozen)
    second = worker.make_report(make_request(patents), [].append, now=frozen)

    assert existing.read_bytes() == b"the user's own file"
    assert first == folder / "檢索報告_20240506_070809_2.xlsx"
    assert second == folder / "檢索報告_20240506_070809_3.xlsx"
    first_bytes = first.read_bytes()
    assert openpyxl.load_workbook(second).active["B4"].value == "EP1234567A1"
    assert first.read_bytes() == first_bytes


def test_report_is_created_exclusively(home, tmp_path, monkeypatch):
    # Another program may create the file between a check and the write.
    folder = home / "tarnwick" / "Lumivar"
    folder.mkdir(parents=True)
    existing = folder / FROZEN_NAME
    existing.write_bytes(b"written a moment ago by someone else")
    monkeypatch.setattr(os.path, "exists", lambda p: False)
    monkeypatch.setattr(os.path, "isfile", lambda p: False)
    real_exists = Path.exists
    monkeypatch.setattr(Path, "exists", lambda self: False if self.parent == folder else real_exists(self))
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])

    path = worker.make_report(make_request(patents), [].append, now=frozen)

    assert existing.read_bytes() == b"written a moment ago by someone else"
    assert path.name == "檢索報告_20240506_070809_2.xlsx"


def test_failed_save_leaves_no_half_written_file(home, tmp_path, monkeypatch):
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])

    def broken_save(self, filename):
        filename.write(b"PK partial")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(openpyxl.Workbook, "save", broken_save)
    messages = []
    assert worker.handle_request(make_request(patents), messages.append, now=frozen) is None
    assert messages[-2].startswith("無法寫入檢索報告: ")
    assert "No space left on device" in messages[-2]
    assert messages[-1] == DONE
    assert list((home / "tarnwick" / "Lumivar").iterdir()) == []  # no partial file under any name


def test_a_workbook_open_in_another_program_is_named_as_such(home, tmp_path, monkeypatch):
    # What Windows answers for a workbook that Excel holds open.
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    real_open = worker.openpyxl.load_workbook

    def locked(path, *args, **kwargs):
        if Path(path) == patents:
            raise PermissionError(13, "Permission denied", str(path))
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(worker.openpyxl, "load_workbook", locked)
    messages = []
    worker.handle_request(make_request(patents), messages.append, now=frozen)
    assert messages == [f"無法讀取專利檔案: {patents} (沒有存取權限，或檔案正在其他程式 (例如 Excel) 中開啟；請關閉該檔案後再試一次)",
                        DONE]


# ---------------------------------------------------------------- messages


def test_message_sequence(home, tmp_path):
    patents = make_patents(tmp_path / "p.xlsx", ["TW I 123456 B", None, "garbage", "US 2020/0123456 A1"])
    messages = []
    path = worker.handle_request(make_request(patents), messages.append, now=frozen)
    assert messages == [
        "1/3 TW I 123456 B",
        "2/3 garbage",
        "3/3 US 2020/0123456 A1",
        f"檢索報告已輸出: {path}",
        DONE,
    ]
    assert path.is_file()


def template_gone(d):
    return make_request(make_patents(d / "p.xlsx", ["EP1234567A1"]), template=d / "gone.xlsx")


def template_broken(d):
    (d / "t.xlsx").write_text("not a workbook")
    return make_request(make_patents(d / "p.xlsx", ["EP1234567A1"]), template=d / "t.xlsx")


def folder_blocked(d):
    # A file where the working folder should be: the folder cannot be made.
    protocol.native_path("C:/tarnwick").write_text("in the way")
    return make_request(make_patents(d / "p.xlsx", ["EP1234567A1"]))


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda d: None, "請求格式錯誤: "),
        (lambda d: ["TW I 123456 B"], "請求格式錯誤: "),
        (lambda d: "p.xlsx", "請求格式錯誤: "),
        (lambda d: {protocol.PATENT_PATH: str(d / "p.xlsx")}, "請求格式錯誤: 缺少欄位 範本檔案路徑、文字大小比例、中文文字字體、英文文字字體"),
        (lambda d: dict(make_request(d / "p.xlsx"), 專利檔案路徑=None), "請求格式錯誤: 欄位 專利檔案路徑 應為文字"),
        (lambda d: dict(make_request(d / "p.xlsx"), 中文文字字體=3), "請求格式錯誤: 欄位 中文文字字體 應為文字"),
        (lambda d: dict(make_request(d / "p.xlsx"), 文字大小比例=None), "請求格式錯誤: 欄位 文字大小比例 應為數字"),
        (lambda d: dict(make_request(d / "p.xlsx"), 文字大小比例=True), "請求格式錯誤: 欄位 文字大小比例 應為數字"),
        (lambda d: make_request(""), "尚未指定專利檔案"),
        (lambda d: make_request("   "), "尚未指定專利檔案"),
        (lambda d: make_request(d / "missing.xlsx"), "找不到專利檔案: "),
        (lambda d: make_request(d), "專利檔案不是檔案: "),
        (lambda d: make_request(make_patents(d / "p.xlsx", [])), "專利檔案中沒有公開號: "),
        (lambda d: (d / "p.xlsx").write_text("x") and make_request(d / "p.xlsx"), "無法讀取專利檔案: "),
        (template_gone, "找不到範本檔案: "),
        (template_broken, "無法讀取範本檔案: "),
        (folder_blocked, "無法建立工作資料夾: "),
    ],
    ids=[
        "none", "list", "text", "missing-keys", "path-none", "font-number", "ratio-none", "ratio-bool",
        "no-patent-path", "blank-patent-path", "patent-missing", "patent-folder", "patent-empty",
        "patent-broken", "template-missing", "template-broken", "folder-blocked",
    ],
)
def test_error_gives_one_message_and_the_marker(home, tmp_path, build, message):
    request = build(tmp_path)
    inputs = {p: digest(p) for p in tmp_path.rglob("*") if p.is_file()}
    messages = []
    assert worker.handle_request(request, messages.append, now=frozen) is None
    assert len(messages) == 2, messages
    assert messages[0].startswith(message)
    assert messages[1] == DONE
    assert reports(home) == []
    assert {p: digest(p) for p in tmp_path.rglob("*") if p.is_file()} == inputs


def test_unexpected_fault_still_ends_with_the_marker(home, tmp_path, monkeypatch):
    def fault(*args, **kwargs):
        raise RuntimeError("boom")

    monkeypatch.setattr(worker, "add_table", fault)
    messages = []
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    assert worker.handle_request(make_request(patents), messages.append, now=frozen) is None
    assert messages == ["產生檢索報告時發生未預期的錯誤 (RuntimeError: boom)", DONE]


# ---------------------------------------------------------------- the process target


def serve_in_thread(now=frozen):
    host, own = multiprocessing.Pipe()
    thread = threading.Thread(target=worker.serve, args=(own,), kwargs={"now": now})
    thread.start()
    return host, thread


def until_marker(conn, timeout=20):
    lines = []
    while True:
        assert conn.poll(timeout), f"no marker after {lines}"
        lines.append(conn.recv())
        if lines[-1] == DONE:
            return lines


def test_serve_answers_requests_until_none(home, tmp_path):
    host, thread = serve_in_thread()
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B"])
    try:
        host.send("nonsense")
        host.send(make_request(patents))
        host.send(make_request(patents))
        first = until_marker(host)
        second = until_marker(host)
        third = until_marker(host)
        leftover = host.poll(0.2)
    finally:
        host.send(None)
        thread.join(5)
    assert not thread.is_alive()
    assert len(first) == 2 and first[0].startswith("請求格式錯誤: ")
    folder = home / "tarnwick" / "Lumivar"
    assert second == ["1/2 EP1234567A1", "2/2 TW I 123456 B", f"檢索報告已輸出: {folder / FROZEN_NAME}", DONE]
    assert third[-2] == f"檢索報告已輸出: {folder / '檢索報告_20240506_070809_2.xlsx'}"
    assert leftover is False
    assert sorted(p.name for p in folder.iterdir()) == [FROZEN_NAME, "檢索報告_20240506_070809_2.xlsx"]


def test_serve_ends_when_the_host_is_gone(home):
    host, thread = serve_in_thread()
    host.close()
    thread.join(5)
    assert not thread.is_alive()


def test_serve_in_a_spawned_process(home, tmp_path):
    context = multiprocessing.get_context("spawn")
    host, own = context.Pipe()
    process = context.Process(target=worker.serve, args=(own,))
    process.start()
    own.close()
    try:
        patents = make_patents(tmp_path / "p.xlsx", ["TW I 123456 B", "US 2020/0123456 A1"])
        host.send(make_request(patents, ratio=1.5))
        lines = until_marker(host, timeout=60)
    finally:
        host.send(None)
        process.join(10)
        if process.is_alive():
            process.kill()
            process.join()
    assert process.exitcode == 0
    assert lines[:2] == ["1/2 TW I 123456 B", "2/2 US 2020/0123456 A1"]
    assert lines[-1] == DONE
    written = reports(home)
    assert len(written) == 1 and lines[2] == f"檢索報告已輸出: {written[0]}"
    sheet = openpyxl.load_workbook(written[0]).active
    assert [c.value for c in sheet[5]] == [2, "US 2020/0123456 A1", "US", "20200123456", "A1", "格式正確"]
    assert sheet["D5"].font.sz == 18
