"""The report composed for its two readers: the client's columns, their
values and order, the categories, the summary's words, the fit of the
printed page, and a template's own header filled where it stands."""

import datetime as dt

import openpyxl
import pytest

from lumivar.report import compose, job, layout, newbook, publications

from report_checks import cell_texts, problems
from support import make_request

MADE = dt.datetime(2024, 5, 6)


def composed(rows, header=("公開號", "類別", "申請人", "IPC", "備註"), **kwargs):
    """The report of a list's rows (its first column the number), as the job composes it."""
    entries = [publications.parse(row[0]) for row in rows]
    values = [tuple(row[1:]) for row in rows]
    return compose.compose(
        entries, list(header[1:]), values, rows=list(range(2, 2 + len(rows))), made=MADE, place="p.xlsx", **kwargs
    )


def shown(table):
    """The table as its cells' values, header first."""
    return [[c.header for c in table.columns]] + [[cell.value for cell in row] for row in table.rows()]


# ---------------------------------------------------------------- categories


@pytest.mark.parametrize(
    "written, category, strongest",
    [
        ("X", "X", "X"),
        ("x", "X", "X"),
        ("Ｙ", "Y", "Y"),  # full width
        ("X,Y", "X,Y", "X"),
        ("Y/X", "X,Y", "X"),
        ("y、a", "Y,A", "Y"),
        ("P,X", "P,X", "X"),
        ("X,P", "P,X", "X"),  # as the offices write it, the flag first
        ("ＰＡ", "P,A", "A"),
        ("E X", "E,X", "X"),
        ("D", "D", None),  # a flag alone is no category of relevance
        ("&", "&", None),
        ("L,O,T", "L,O,T", None),
        ("主要引證", None, None),
        ("X1", None, None),
        ("", None, None),
        (None, None, None),
    ],
)
def test_categories_as_the_offices_write_them_and_their_strongest(written, category, strongest):
    assert compose.category(written) == category
    assert compose.strongest(category) == strongest


def test_categories_order_the_table_count_in_the_summary_and_have_a_legend():
    report = composed(
        [
            ("EP1000001A1", "A", None, None, None),
            ("EP1000002A1", None, None, None, None),
            ("EP1000003A1", "x", None, None, None),
            ("EP1000004A1", "P,Y", None, None, None),
            ("EP1000005A1", "A", None, None, None),
            ("EP1000003A1", "Y", None, None, None),  # the same document again
        ]
    )
    table = shown(report.client)
    assert table[0] == ["序號", "類別", "公開號", "說明"]
    # X, Y, A, then those without one, the list's order within each; the repeat points to the 序號 it repeats.
    assert [row[:3] for row in table[1:]] == [
        [1, "X", "EP1000003A1"],
        [2, "P,Y", "EP1000004A1"],
        [3, "Y", "EP1000003A1"],
        [4, "A", "EP1000001A1"],
        [5, "A", "EP1000005A1"],
        [6, None, "EP1000002A1"],
    ]
    assert table[3][3] == "重複（同序號 1）"
    assert report.summary[-1] == "本次檢索共得專利文獻 5 件（X 類 1 件、Y 類 1 件、A 類 2 件、未標類別 1 件）"
    assert report.legend == ["類別說明："] + [f"{c}：{compose.MEANINGS[c]}" for c in "XYAP"]
    # The detail sheet: the same entries under the same 序號, each with the row of the list it came from.
    detail = shown(report.detail)
    assert [row[:3] for row in detail[1:]] == [
        [1, 4, "EP1000003A1"],
        [2, 5, "EP1000004A1"],
        [3, 7, "EP1000003A1"],
        [4, 2, "EP1000001A1"],
        [5, 6, "EP1000005A1"],
        [6, 3, "EP1000002A1"],
    ]


# ---------------------------------------------------------------- the client's columns


@pytest.mark.parametrize(
    "applicants, first",
    [
        ("甲公司", "甲公司"),
        ("甲公司；乙公司；丙大學", "甲公司 等 3 名"),
        ("Example Energy Co., Ltd.", "Example Energy Co., Ltd."),
        ("Example Energy Co., Ltd., Other Corp.", "Example Energy Co., Ltd. 等 2 名"),
        ("Alice Chen, Bob Lin", "Alice Chen 等 2 名"),
        ("Modul GmbH; Beta S.A.\nGamma Inc.", "Modul GmbH 等 3 名"),
    ],
)
def test_the_first_applicant_and_how_many_more(applicants, first):
    assert compose.first_applicant(applicants) == first


def test_the_client_reads_one_form_of_each_number_the_first_class_and_only_columns_with_values():
    report = composed(
        [
            ("US 2020/0123456 A1", None, "甲公司；乙公司", "H01L 31/18; H01L 31/048", None),
            ("us-2020-0123457-a1", None, "丙公司", None, None),
            ("CN 201910123456.7", None, None, None, None),
        ]
    )
    table = shown(report.client)
    assert table[0] == ["序號", "公開號", "申請人", "IPC", "說明"]  # no 類別, no 備註: no entry has one
    assert table[1][:4] == [1, "US20200123456A1", "甲公司 等 2 名", "H01L 31/18"]
    assert table[2][1] == "US20200123457A1"  # the standard form, not the user's spelling
    assert table[3][1:] == ["CN 201910123456.7", None, None, "申請號，非公開號"]  # no standard form: as written
    assert next(report.client.rows())[1].link == "https://patents.google.com/patent/US20200123456A1"
    # Every applicant and class, and the number as written, on the detail sheet.
    detail = dict(zip(shown(report.detail)[0], shown(report.detail)[1]))
    assert (detail["公開號"], detail["申請人"], detail["IPC"]) == (
        "US 2020/0123456 A1",
        "甲公司；乙公司",
        "H01L 31/18; H01L 31/048",
    )


def test_a_google_patents_export_prints_no_web_address_and_its_summary_no_bookkeeping(tmp_path):
    from pathlib import Path

    export = Path(__file__).parent / "corpus" / "list-google-patents.csv"
    messages = []
    path = job.make_report(make_request(export), messages.append, now=lambda: MADE, folder=tmp_path)
    texts = cell_texts(path)
    assert not [t for t in texts.values() if t and t.startswith(("http://", "https://"))]
    sheet = openpyxl.load_workbook(path).active
    summary = [sheet.cell(row=r, column=1).value for r in range(2, 6)]
    assert summary == [
        "製表日期：2024-05-06",
        "檢索來源：Google Patents（檢索式 (solar cell)；優先權日 2020-01-01 前）",
        "書目資料：未設定書目資料來源",
        "本次檢索共得專利文獻 4 件",
    ]
    # The bookkeeping goes to the window, where it says more than the reader's line (test_job has one).
    assert not [m for m in messages if m.startswith("共 ")]
    assert problems(path) == []


@pytest.mark.parametrize(
    "address, said",
    [
        (
            "https://patents.google.com/?q=(solar+cell)&q=(frame)&country=US,TW&before=priority:20200101"
            "&after=publication:20100101",
            "Google Patents（檢索式 (solar cell) AND (frame)；國別 US、TW；公開日 2010-01-01 起；優先權日 2020-01-01 前）",
        ),
        (
            "https://patents.google.com/?assignee=Example+Corp&inventor=Chen",
            "Google Patents（申請人 Example Corp；發明人 Chen）",
        ),
        ("https://patents.google.com/", "Google Patents（全部）"),
        ("https://worldwide.espacenet.com/searchResults?query=solar", "檢索連結"),
    ],
)
def test_a_search_is_shown_as_what_it_asks_its_address_on_the_line(address, said):
    line = compose.search_line(address)
    assert (line, line.link) == (f"檢索來源：{said}", address)


# ---------------------------------------------------------------- the printed page


@pytest.mark.parametrize(
    "widths, room, scale",
    [
        ([50, 40], 200.0, 100),  # 90 units × 2.152 mm fit 200 mm
        ([100, 50], 271.6, 84),
        ([200], 100.0, 23),
        ([10_000], 1.0, 10),  # never below 10 %
    ],
)
def test_the_scale_a_table_prints_at(widths, room, scale):
    assert layout.scale_for(widths, room) == scale


def full_table(count=100):
    """Every client column filled, as a firm's list with data gives them; every seventh entry a repeat."""
    title = "A solar cell module with a back sheet, a frame and a junction box"
    rows = [
        (
            f"US 2020/{123456 + (i if i % 7 else 0):07d} A1",
            "XYA"[i % 3],
            "2020-04-23",
            title,
            "Example Energy Co., Ltd.; 乙公司",
            "H01L 31/18",
            "1-3, 5",
            "主要引證之一，見第 3 頁",
        )
        for i in range(count)
    ]
    return composed(rows, header=("公開號", "類別", "公開日", "專利名稱", "申請人", "IPC", "相關請求項", "備註"))


def test_a_full_table_prints_landscape_at_a_readable_size_its_long_texts_wrapped():
    report = full_table()
    style = layout.Style(1.0, "標楷體", "Calibri")
    orientation, scale = newbook.page_setup(report.client, style)
    widths = report.client.widths(style)
    room = layout.room_mm(layout.PAPER_SIZE, True, layout.MARGINS["left"], layout.MARGINS["right"])
    assert [c.header for c in report.client.columns] == [
        "序號",
        "類別",
        "公開號",
        "公開日",
        "專利名稱",
        "申請人",
        "IPC",
        "相關請求項",
        "備註",
        "說明",
    ]
    assert (orientation, scale) == ("landscape", layout.SCALE_FLOOR)  # wrapped narrower, not shrunk below it
    assert report.client.characters()[4] < compose.WIDE
    assert sum(widths) * layout.UNIT_MM * scale / 100 <= room  # one page wide at that scale
    assert style.cell_size * scale / 100 >= 9.5
    narrow = composed([("EP1234567A1", None, None, None, None)])
    assert newbook.page_setup(narrow.client, style) == ("portrait", 100)  # a table that fits stays portrait, full size


def test_narrowing_stops_at_the_floor_and_never_below_a_readable_line():
    characters = [40, 60, 10]
    wrapped = [True, True, False]
    found = layout.narrowed(characters, wrapped, 12, 200.0, 80)
    widths = [layout.width_for(n, 12) for n in found]
    assert layout.scale_for(widths, 200.0) >= 80 and found[2] == 10
    assert min(layout.narrowed(characters, wrapped, 12, 10.0, 80)[:2]) == layout.MIN_WRAP


# ---------------------------------------------------------------- a template's header


def styled_template(path, names, width=14):
    """A form whose own header for the table, bold on grey and 14 wide, is on the row below its marker."""
    from openpyxl.styles import Font, PatternFill

    book = openpyxl.Workbook()
    sheet = book.active
    sheet["B3"] = "{{檢索結果}}"
    for i, name in enumerate(names):
        cell = sheet.cell(4, 2 + i, name)
        cell.font, cell.fill = Font(bold=True), PatternFill("solid", fgColor="FFBFBFBF")
        sheet.column_dimensions[chr(66 + i)].width = width
    book.save(path)
    return path


def firm_list(path):
    book = openpyxl.Workbook()
    book.active.append(["公開號", "專利名稱", "備註", "代理人"])
    book.active.append(
        ["EP1234567A1", "一個很長的專利名稱，比範本的欄寬更長，應當換行而不是加寬欄位", "主要引證", "某事務所"]
    )
    book.active.append(["EP1234567A1", "同一篇", None, None])
    book.active.append(["US 2020/0123456 A1", "Short", None, None])
    book.save(path)
    return path


@pytest.mark.parametrize(
    "names, header, notes",
    [
        # 公開號 named: filled there; the notes after the list's own in its 備註; 代理人 only on the detail sheet.
        (["公開號", "專利名稱", "備註"], ["公開號", "專利名稱", "備註", None], ["主要引證", "重複（同序號 1）", None]),
        # 序號 and 說明 named, 公開號 not: it comes after 序號, the template's cells moved with their names.
        (["序號", "專利名稱", "說明"], ["序號", "公開號", "專利名稱", "說明"], [None, "重複（同序號 1）", None]),
        # Neither 說明 nor 備註: the notes after its columns; a column the list lacks stays, empty.
        (["公開號", "審查意見"], ["公開號", "審查意見", "說明", None], [None, "重複（同序號 1）", None]),
    ],
    ids=["notes-in-remarks", "number-after-serial", "notes-after"],
)
def test_a_templates_header_is_filled_where_it_stands(tmp_path, names, header, notes):
    template = styled_template(tmp_path / "t.xlsx", names)
    messages = []
    request = make_request(firm_list(tmp_path / "p.xlsx"), template=template)
    path = job.make_report(request, messages.append, now=lambda: MADE, folder=tmp_path)
    book = openpyxl.load_workbook(path)
    sheet = book["Sheet"]
    assert [sheet[f"{c}4"].value for c in "BCDE"] == header
    where = "BCDE"[header.index("說明") if "說明" in header else header.index("備註")]
    assert [sheet[f"{where}{r}"].value for r in (5, 6, 7)] == notes
    assert "代理人" not in [c.value for row in sheet.iter_rows() for c in row]
    number = "BCDE"[header.index("公開號")]
    assert sheet[f"{number}5"].hyperlink.target == "https://patents.google.com/patent/EP1234567A1"
    # The template's header cells keep their look, also those that moved with their names.
    for column, name in zip("BCDE", header):
        if name in names:
            assert (sheet[f"{column}4"].font.b, sheet[f"{column}4"].fill.fgColor.rgb) == (True, "FFBFBFBF"), name
    assert ("範本的表頭沒有「公開號」欄；公開號加在序號之後" in messages) == ("公開號" not in names)
    # A long title wraps in the template's narrow column, its row grown; only a number that would be cut widens one.
    if "專利名稱" in header:
        title = "BCDE"[header.index("專利名稱")]
        assert sheet.column_dimensions[title].width == 14
        assert sheet.row_dimensions[5].height > 30
    assert sheet.column_dimensions[number].width > 14  # "US20200123456A1" would be cut
    assert any("其中的號碼或字詞無法換行" in m for m in messages)
    assert problems(path) == []
