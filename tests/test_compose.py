"""The report composed for its two readers: the client's columns, their
values and order, the categories, the summary's words, the fit of the
printed page, and a template's own header filled where it stands."""

import datetime as dt

import openpyxl
import pytest

from lumivar.report import compose, data, job, layout, newbook, publications
from lumivar.report.fields import aliases

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


# ---------------------------------------------------------------- families

# One DOCDB family listed five ways, with a document of another and a Taiwanese slip listed twice.
FAMILY_LIST = [
    ("US 2014/0102795 A1", "A", "Drill", 40799763),
    ("EP1000000A1", "Y", "Brick", 19768124),
    ("US 10,047,600 B2", "X", "Drill", 40799763),
    ("EP2906782A2", None, None, 40799763),
    ("TW 1723456 B", "A", "Lamp", None),
    ("US10047600B2", None, None, 40799763),  # the same document again
    ("TW I723456 B", None, "Lamp", None),
]


@pytest.mark.parametrize(
    "header, client, summary, tally",
    [
        (
            ("公開號", "類別", "專利名稱", "Family number"),
            [
                [
                    1,
                    "X",
                    "US20140102795A1",
                    "Drill",
                    "同族：US10047600B2、EP2906782A2",
                ],  # the first named, the strongest
                [2, "Y", "EP1000000A1", "Brick", None],
                [3, "A", "TWI723456B", "Lamp", "已更正為 TWI723456B"],
                [4, None, "TWI723456B", "Lamp", "重複（同序號 3）"],
            ],
            "本次檢索共得專利文獻 5 件，分屬 3 個專利家族（X 類 1 族、Y 類 1 族、A 類 1 族）",
            "共 7 筆，專利文獻 5 件（分屬 3 個專利家族；其中已更正 1 件），重複 2 筆",
        ),
        (  # without a family column: every entry a line of its own, as ever
            ("公開號", "類別", "專利名稱", "備註"),
            None,
            "本次檢索共得專利文獻 5 件（X 類 1 件、Y 類 1 件、A 類 2 件、未標類別 1 件）",
            "共 7 筆，專利文獻 5 件（其中已更正 1 件），重複 2 筆",
        ),
    ],
    ids=["family column", "none"],
)
def test_a_family_is_one_line_of_the_client_and_every_count_adds_up(header, client, summary, tally):
    rows = [(n, c, t, f if header[-1] != "備註" else None) for n, c, t, f in FAMILY_LIST]
    # The families as the job gives them: the list's own column, without a data source.
    entries = data.families(list(header[1:]), [r[1:] for r in rows], [publications.parse(r[0]) for r in rows], aliases)
    report = compose.compose(
        entries, list(header[1:]), [r[1:] for r in rows], rows=list(range(2, 9)), made=MADE, place="p.xlsx"
    )
    lines = shown(report.client)
    if client is None:
        assert len(lines) - 1 == len(FAMILY_LIST)
    else:
        assert [row[:5] for row in lines[1:]] == client
    assert (report.summary[-1], report.bookkeeping[-1]) == (summary, tally)
    # The detail sheet keeps every entry, a family's members together under their line's 序號,
    # each repeat pointing to the 序號 of its document's line.
    detail = shown(report.detail)
    assert [row[0] for row in detail[1:]] == ([1, 1, 1, 1, 2, 3, 4] if client else list(range(1, 8)))
    numbers = [row[3] for row in detail[1:]]
    assert sorted(numbers) == sorted(publications.parse(n).id for n, *_ in FAMILY_LIST)
    if client is not None:
        assert numbers[:4] == ["US10047600B2", "US20140102795A1", "EP2906782A2", "US10047600B2"]
        assert detail[4][-1] == "重複（同序號 1）"


def test_a_family_from_the_data_source_is_one_line_end_to_end(tmp_path, monkeypatch):
    from ops_server import StandIn
    from support import make_patents

    stand_in = StandIn()
    for key, value in (("KEY", "k"), ("SECRET", "s"), ("URL", stand_in.url), ("CACHE", str(tmp_path / "cache"))):
        monkeypatch.setenv(f"LUMIVAR_OPS_{key}" if key != "CACHE" else "LUMIVAR_CACHE", value)
    try:
        numbers = ["WO2009/085664", "EP1000000", "CN101911042", "EP 1000000 B1", "US 8,131,731", "EP 2000001"]
        patents = make_patents(tmp_path / "p.xlsx", numbers)
        path = job.make_report(make_request(patents), lambda m: None, now=lambda: MADE, folder=tmp_path / "out")
    finally:
        stand_in.close()
    book = openpyxl.load_workbook(path)
    sheet = book.active
    head = next(r[0].row for r in sheet.iter_rows() if r[0].value == "序號")
    header = [c.value for c in sheet[head]]
    rows = [dict(zip(header, (c.value for c in row))) for row in sheet.iter_rows(min_row=head + 1, max_row=head + 3)]
    assert [r["公開號"] for r in rows] == ["WO2009085664A2", "EP1000000A1", "EP2000001"]
    assert rows[0]["說明"].startswith("同族：CN101911042A、US8131731B2；未註明種類碼，以最早公開的 A2 為準")
    assert "CN101911042A：未註明種類碼，以最早公開的 A 為準（另有 B）" in rows[0]["說明"]
    assert rows[1]["說明"].startswith("同族：EP1000000B1")
    summary = [c.value for c in sheet["A"][:head] if c.value]
    assert "本次檢索共得專利文獻 6 件，分屬 3 個專利家族" in summary
    assert problems(path) == []


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
