"""Finding the user's list in the workbooks users have (tests/corpus is
LibreOffice's own writing; see its README), and refusing odd files clearly."""

import datetime as dt
import io
import os
import re
import zipfile
from pathlib import Path

import openpyxl
import pytest

from lumivar.report import ReportError, files, reading, spread

import hostile
from support import digest

CORPUS = Path(__file__).parent / "corpus"
TEN = [
    "US 2020/0123456 A1",
    "US 10,123,456 B2",
    "EP 1 234 567 A1",
    "WO 01/12345 A1",
    "JP H10-123456 A",
    "KR 10-2019-0123456 A",
    "TW I 123456 B",
    "TW M567890 U",
    "DE 10 2019 123 456 A1",
    "CN 112345678 A",
]


@pytest.mark.parametrize("extension", ["xlsx", "xls", "ods"])
@pytest.mark.parametrize(
    "name, summary, entries, note",
    [
        # an instructions sheet first; title, blank and header rows; a date and a yes/no cell among the numbers
        ("title-rows", "讀取「清單」工作表 B 欄 第 4–14 列: 9 筆", TEN[:8] + ["US 10,123,456 B2"], "第 10、13 列"),
        # the hidden first sheet holds more numbers, but the user sees the second
        ("hidden-first", "讀取「清單」工作表 A 欄 第 1–3 列: 3 筆", TEN[:3], None),
        # no header: the first row is a number too
        ("no-header", "讀取「Sheet」工作表 A 欄 第 1–10 列: 10 筆", TEN, None),
    ],
)
def test_lists_saved_by_libreoffice(extension, name, summary, entries, note):
    path = CORPUS / f"list-{name}.{extension}"
    before = digest(path)
    found = reading.read_list(path)
    assert (found.summary, found.entries) == (summary, entries)
    assert [n for n in found.notes if note and note in n] == found.notes
    assert digest(path) == before


def book_with(tmp_path, build, name="p.xlsx"):
    book = openpyxl.Workbook()
    build(book)
    book.save(tmp_path / name)
    return tmp_path / name


def test_the_sheet_and_column_with_the_most_numbers_win_ties_go_to_the_active_sheet(tmp_path):
    def build(book):
        first = book.active
        first.append(["序號", "備註", "公開號"])
        for i in range(3):
            first.append([i + 1, "US 1234567 B1 這不是", f"EP{1000000 + i}A1"])
        second = book.create_sheet("第二頁")
        for i in range(3):
            second.append([f"TW I {100000 + i} B"])
        book.active = 1

    found = reading.read_list(book_with(tmp_path, build))
    assert (found.sheet, found.column, found.entries) == (
        "第二頁",
        0,
        ["TW I 100000 B", "TW I 100001 B", "TW I 100002 B"],
    )


def test_errors_and_formulas_without_a_result_are_named_never_entries(tmp_path):
    def build(book):
        sheet = book.active
        for value in [
            "EP1234567A1",
            "#N/A",
            "=1/0",
            '=HYPERLINK("http://x","US9999999B2")',
            dt.date(2020, 1, 2),
            "TW I 123456 B",
        ]:
            sheet.append([value])

    found = reading.read_list(book_with(tmp_path, build))
    assert found.entries == ["EP1234567A1", "TW I 123456 B"]
    assert found.notes == [
        "略過 2 個不是公開號的儲存格 (日期、數字、是非值或錯誤值): 第 2、5 列",
        "2 個公式沒有計算結果，已略過 (請在 Excel 中開啟並存檔後再試): 第 3、4 列",
    ]


def recased(tmp_path, source):
    """The same workbook with its part names in other letter cases (LibreOffice opens it)."""
    target = tmp_path / "recased.xlsx"
    with zipfile.ZipFile(source) as src, zipfile.ZipFile(target, "w") as dst:
        for info in src.infolist():
            name = info.filename
            if name.startswith("xl/"):
                name = name.replace("sharedStrings", "SharedStrings").replace("worksheets", "Worksheets")
            dst.writestr(name, src.read(info))
    return target


def far_cells(tmp_path, _):
    path = tmp_path / "far.xlsx"
    book = openpyxl.Workbook()
    book.active["A1"] = "EP1234567A1"
    book.active["XFD900"] = "x"
    book.save(path)
    return path


def write(name, data):
    def make(tmp_path, _):
        (tmp_path / name).write_bytes(data)
        return tmp_path / name

    return make


def no_visible_sheet(tmp_path, build):
    source = build(tmp_path, lambda b: b.active.append(["EP1234567A1"]), "source.xlsx")
    with zipfile.ZipFile(source) as src, zipfile.ZipFile(tmp_path / "p.xlsx", "w") as dst:
        for info in src.infolist():
            data = src.read(info)
            dst.writestr(
                info, data.replace(b'state="visible"', b'state="hidden"') if "workbook.xml" in info.filename else data
            )
    return tmp_path / "p.xlsx"


@pytest.mark.parametrize(
    "make, message",
    [
        (write("p.xlsx", b""), "專利檔案是空的檔案"),
        (write("p.xlsx", b"\x01\x02\x03 binary"), "專利檔案不是 Excel 活頁簿"),
        (write("p.xlsx", b"<html><table><tr><td>EP1234567A1</td></tr></table></html>"), "專利檔案是網頁 (HTML) 檔"),
        (write("p.xlsx", b"PK\x03\x04 cut short"), "專利檔案已損壞，無法開啟"),
        (
            write("p.xlsx", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + "EncryptionInfo".encode("utf-16-le")),
            "專利檔案有密碼保護，請先移除密碼再試一次",
        ),
        (write("p.xls", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(600)), "專利檔案已損壞或格式無法辨識"),
        (lambda d, _: d / "missing.xlsx", "找不到專利檔案"),
        (lambda d, _: d, "專利檔案是資料夾，不是檔案"),
        (lambda d, _: d / ("長" * 256 + ".xlsx"), "專利檔案的路徑中有名稱過長 (超過 255 字元)"),
        (lambda d, build: build(d, lambda b: b.active.append(["公開號"])), "在專利檔案的「Sheet」工作表中找不到公開號"),
        (no_visible_sheet, "專利檔案中沒有可見的工作表"),
        (far_cells, "檔案過大或內容異常: 專利檔案的「Sheet」工作表的內容分布過廣 (最遠到 XFD900)"),
        (
            hostile.cells_written_oddly("<row r = '900'><c r = 'XFD900' t='inlineStr'><is><t>x</t></is></c></row>"),
            "檔案過大或內容異常: 專利檔案的「表」工作表的內容分布過廣 (最遠到 XFD900)",
        ),
        (
            hostile.cells_written_oddly(hostile.FAR_ROW),
            "檔案過大或內容異常: 專利檔案的「表」工作表的內容分布過廣 (最遠到 CV1000000)",
        ),
        (hostile.ods_bomb, "檔案過大或內容異常: 專利檔案的「清單」工作表的內容分布過廣 (最遠到 CV1000000)"),
        (hostile.lying_dimensions, "檔案過大或內容異常: 專利檔案的內容分布過廣 (最遠到 IU1000000)"),
        (hostile.many_parts, "檔案過大或內容異常: 專利檔案含有超過 20,000 個項目"),
        (hostile.unclosed_cells, "專利檔案的「表」工作表已損壞，無法讀取"),
        (hostile.long_cell, "檔案過大或內容異常: 專利檔案的「表」工作表"),
        (hostile.long_shared_cell, "檔案過大或內容異常: 專利檔案"),
        (hostile.dotdot_sheet(far=False), "專利檔案已損壞，壓縮檔中有不合規格的項目名稱，無法開啟"),
        (
            hostile.past_the_grid(1_048_576, 0),
            "檔案過大或內容異常: 專利檔案的「表」工作表的內容分布過廣 (最遠到 A1048577)",
        ),
        (hostile.past_the_grid(0, 8_000_000), "檔案過大或內容異常: 專利檔案的「表」工作表的內容分布過廣 (最遠到 XFE2)"),
        (hostile.unclosed_quote, "專利檔案第 3 列有超過 32,767 字的欄位 (可能是引號沒有成對)，請檢查該列後再試一次"),
        (write("p.txt", b"EP1234567A1\x01\x02 binary"), "專利檔案不是 Excel 活頁簿"),
    ],
    ids=[
        "empty",
        "binary",
        "html",
        "cut-zip",
        "encrypted",
        "bad-ole",
        "missing",
        "folder",
        "long-name",
        "no-number",
        "no-visible-sheet",
        "far-cells",
        "quoted-far-cell",
        "cells-without-references",
        "ods-repeats",
        "xls-dimensions",
        "zip-entries",
        "unclosed-cells",
        "long-cell",
        "long-shared-string",
        "dotdot-entry",
        "rows-past-the-grid",
        "row-past-the-grid",
        "unclosed-quote",
        "control-characters",
    ],
)
def test_files_that_are_refused_and_why(tmp_path, make, message):
    path = make(tmp_path, book_with)
    with pytest.raises(ReportError) as caught:
        reading.read_list(path)
    assert str(caught.value).startswith(message)
    assert not re.search(r"Error|Exception|Traceback", str(caught.value))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_a_fifo_is_refused_without_being_opened(tmp_path):
    os.mkfifo(tmp_path / "p.xlsx")  # opening it would wait for a writer forever
    with pytest.raises(ReportError, match="^專利檔案不是一般檔案"):
        reading.read_list(tmp_path / "p.xlsx")


def test_recased_part_names_and_a_shared_string_bomb(tmp_path):
    source = book_with(tmp_path, lambda b: b.active.append(["EP1234567A1"]))
    assert reading.read_list(recased(tmp_path, source)).entries == ["EP1234567A1"]
    bomb = tmp_path / "bomb.xlsx"
    with zipfile.ZipFile(source) as src, zipfile.ZipFile(bomb, "w", zipfile.ZIP_DEFLATED) as dst:
        for info in src.infolist():
            dst.writestr(info.filename, src.read(info))
        with dst.open("xl/padding.xml", "w") as pad:  # 450 MB of nothing, a few hundred KB packed
            for _ in range(450):
                pad.write(b"<si><t/></si>" * 80_000)
    with pytest.raises(ReportError, match="^檔案過大或內容異常: 專利檔案解開後超過 400 MB"):
        reading.read_list(bomb)


def record(kind, data=b""):
    """A binary workbook's record: its type and size as 7-bit groups, then its data."""

    def varint(n):
        out = bytearray()
        while True:
            out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
            n >>= 7
            if not n:
                return bytes(out)

    return varint(kind) + varint(len(data)) + data


@pytest.mark.parametrize(
    "records, extent",
    [
        (
            [
                record(0, (4).to_bytes(4, "little")),
                record(7, (2).to_bytes(4, "little") + bytes(8)),
                record(12, bytes(8)),
            ],
            1,
        ),  # a row, a text cell in column C, a blank after it
        (
            [
                record(0, (0).to_bytes(4, "little")),
                record(5, bytes(12)),
                record(0, (999_999).to_bytes(4, "little")),
                record(5, (16_000).to_bytes(4, "little") + bytes(8)),
            ],
            1_000_000 * 16_001,
        ),  # a far cell
        (
            [
                record(
                    148,
                    (0).to_bytes(4, "little")
                    + (1_048_575).to_bytes(4, "little")
                    + bytes(4)
                    + (16_383).to_bytes(4, "little"),
                )
            ],
            1_048_576 * 16_384,
        ),  # the extent a sheet claims
    ],
)
def test_a_binary_sheets_spread_is_read_from_its_records(records, extent):
    assert spread.xlsb_spread(io.BytesIO(b"".join(records))).extent == extent


def test_a_readers_panic_names_the_file_and_never_asks_for_a_retry(tmp_path, monkeypatch):
    class Panic(BaseException):  # what a Rust panic becomes in Python: no Exception
        pass

    def panics(*args):
        raise Panic("index out of bounds")

    monkeypatch.setattr(reading.python_calamine.CalamineWorkbook, "from_filelike", panics)
    path = book_with(tmp_path, lambda b: b.active.append(["EP1234567A1"]))
    with pytest.raises(ReportError, match="專利檔案已損壞或內容異常，讀取程式無法處理"):
        reading.read_list(path)


def test_a_list_swapped_after_its_check_is_refused(tmp_path, monkeypatch):
    path = book_with(tmp_path, lambda b: b.active.append(["EP1234567A1"]))
    other = book_with(tmp_path, lambda b: b.active.append(["US10123456B2"]), "other.xlsx")
    check = files.check_file

    def check_then_swap(*args):
        status = check(*args)
        os.replace(other, path)  # another file now has the checked one's name
        return status

    monkeypatch.setattr(files, "check_file", check_then_swap)
    with pytest.raises(ReportError, match="專利檔案在檢查後被換成了別的檔案"):
        reading.read_list(path)


def test_a_list_of_the_offices_own_forms_is_found(tmp_path):
    numbers = ["I723456", "M612345", "特開2019-123456", "10-2020-0012345"]
    path = book_with(tmp_path, lambda b: [b.active.append([n, "2024-01-05"]) for n in numbers])
    assert reading.read_list(path).entries == numbers


@pytest.mark.parametrize(
    "name, summary, entries, search",
    [
        (
            "list-google-patents.csv",
            "讀取文字檔 A 欄 第 3–6 列: 4 筆",
            ["US-9254383-B2", "US-20200123456-A1", "TW-I723456-B", "JP-2019123456-A"],
            "https://patents.google.com/?q=(solar+cell)&before=priority:20200101",
        ),
        (
            "list-espacenet.csv",
            "讀取文字檔 E 欄 第 2–4 列: 3 筆",
            ["EP3456789A1", "WO2019123456A1", "CN112345678A"],
            None,
        ),
        (
            "list-firm-big5.csv",
            "讀取文字檔 B 欄 第 2–4 列: 3 筆",
            ["TW I 723456 B", "US 2020/0123456 A1", "JP 特開2019-123456"],
            None,
        ),
        (
            "list-unicode-text.txt",
            "讀取文字檔 A 欄 第 2–4 列: 3 筆",
            ["EP 1 234 567 A1", "KR 10-2019-0123456 A", "US 10,123,456 B2"],
            None,
        ),
    ],
    ids=["google patents", "espacenet", "big5", "utf-16 tabs"],
)
def test_text_lists_as_exports_and_excel_write_them(name, summary, entries, search):
    found = reading.read_list(CORPUS / name)
    assert (found.summary, found.entries, found.search) == (summary, entries, search)


@pytest.mark.parametrize(
    "name, text, entries",
    [
        # thousands separators: no comma delimiter
        ("p.csv", "US 9,231,827 B2\nUS 10,047,600 B2\r\n", ["US 9,231,827 B2", "US 10,047,600 B2"]),
        # two numbers on one line between "; ": both, in the list's order, and no semicolon delimiter
        (
            "p.txt",
            "公開號\nEP3082535 A1; WO2014/059282 A2\nUS 8,131,731 B1\n",
            ["EP3082535 A1", "WO2014/059282 A2", "US 8,131,731 B1"],
        ),
        # a list of columns, its number quoted as a CSV writer quotes it, still is one
        ("p.csv", '公開號,備註\n"US 9,231,827 B2",主要引證\n', None),
    ],
    ids=["thousands", "semicolon", "columns"],
)
def test_a_text_list_of_one_number_a_line_is_no_table(tmp_path, name, text, entries):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    found = reading.read_list(path)
    if entries is None:
        assert (found.header, found.values) == (["備註"], [("主要引證",)])
    else:
        assert (found.entries, found.header) == (entries, [])


def test_a_text_file_in_no_known_encoding_is_named(tmp_path):
    path = tmp_path / "p.csv"
    path.write_bytes("公開號,備註\nEP1234567A1,".encode() + b"\xff\xfe\xfd\x80\n")
    with pytest.raises(ReportError, match=r"專利檔案是文字檔，但編碼無法辨識 \(請存成 UTF-8 或 Big5 的 CSV\)"):
        reading.read_list(path)


@pytest.mark.parametrize(
    "make, count, first, last",
    [
        # over the csv module's 131,072 characters a field, spaces between the numbers
        (hostile.pasted_line(" "), hostile.PASTED, "US-10000000-B2", f"US-{10_000_000 + hostile.PASTED - 1}-B2"),
        (hostile.pasted_line(","), hostile.PASTED, "US-10000000-B2", f"US-{10_000_000 + hostile.PASTED - 1}-B2"),
        # the commas of "10,123,456" are no delimiter; forms with spaces in them are each one number
        (
            write("p.txt", "  ".join(["US 10,123,456 B2", "DE 10 2019 123 456 A1", "TW I 723456 B"] * 40).encode()),
            120,
            "US 10,123,456 B2",
            "TW I 723456 B",
        ),
        (
            write("p.csv", "、".join(["特開2019-123456", "US RE49,123 E", "WO 01/12345 A1"] * 200).encode()),
            600,
            "特開2019-123456",
            "WO 01/12345 A1",
        ),
    ],
    ids=["spaces", "commas", "spaced forms", "ideographic commas"],
)
def test_a_list_pasted_onto_one_line_is_read_across_it(tmp_path, make, count, first, last):
    found = reading.read_list(make(tmp_path, book_with))
    assert (found.summary, found.entries[0], found.entries[-1]) == (f"讀取文字檔 第 1 列: {count} 筆", first, last)
    assert found.place("清單.txt") == "清單.txt 第 1 列"


def test_the_column_with_the_most_numbers_wins_whichever_looks_likelier(tmp_path):
    # A: dates, none a number; B: numbers in the first rows only, so it is counted first; C: a number,
    # then text, then numbers, one more than B; D: as many as C, further right (C wins the tie)
    half = reading.SAMPLE_ROWS

    def write(d_has):
        rows = [
            [
                f"2019-01-{i % 28 + 1:02d}",
                f"WO2019{i:06d}A1" if i < half else "",
                f"EP{1000000 + i}A1" if i == 0 or i >= half else "1234 x",
                f"US{10000000 + i}B2" if i in d_has or i >= half else "",
            ]
            for i in range(2 * half)
        ]
        path = tmp_path / "p.csv"
        path.write_text("\n".join(",".join(row) for row in rows))
        return path

    found = reading.read_list(write({1}))
    assert (found.column, found.first_row, found.entries[:2]) == (2, 1, ["EP1000000A1", "1234 x"])
    assert reading.read_list(write({1, 2})).column == 3  # now D has one more


@pytest.mark.skipif(os.name == "nt", reason="Windows names are UTF-16, never undecodable bytes")
def test_a_file_name_that_is_no_utf8_is_shown_with_a_replacement_character(tmp_path):
    folder = os.fsencode(tmp_path)
    found = book_with(tmp_path, lambda b: b.active.append(["EP1234567A1"]))
    named = Path(os.fsdecode(folder + b"/\xff.xlsx"))
    try:
        os.replace(found, named)
    except OSError:
        pytest.skip("this file system takes no such name")
    read = reading.read_list(named)
    assert read.place(named.name) == "\ufffd.xlsx「Sheet」工作表 A 欄"
    missing = Path(os.fsdecode(folder + b"/\xfe.xlsx"))
    with pytest.raises(ReportError) as refused:
        reading.read_list(missing)
    assert str(refused.value) == f"找不到專利檔案: {os.fsdecode(folder)}/\ufffd.xlsx"
    str(refused.value).encode("utf-8")  # what a pipe, a console or a log takes
