"""The user's own columns carried into the report: known fields by their
export names, dates as dates, links only where they are web addresses."""

import datetime as dt
from pathlib import Path

import openpyxl
import pytest

from lumivar.report import fields, job, layout

from report_checks import cell_texts, problems
from support import make_request

CORPUS = Path(__file__).parent / "corpus"


@pytest.mark.parametrize(
    "value, roc, date",
    [
        ("2016-01-05", False, dt.date(2016, 1, 5)),
        ("2016/1/5", False, dt.date(2016, 1, 5)),
        ("20160105", False, dt.date(2016, 1, 5)),
        ("2016年1月5日", False, dt.date(2016, 1, 5)),
        ("105/01/05", False, dt.date(2016, 1, 5)),  # a three-digit year is the Republic's
        ("95/1/5", True, dt.date(2006, 1, 5)),  # the header says 民國
        (42374, False, dt.date(2016, 1, 5)),  # an Excel serial
        # Excel's serials 1–59 count from 1899-12-31 (it believes in 1900-02-29, serial 60).
        (1, False, dt.date(1900, 1, 1)),
        (59.5, False, dt.date(1900, 2, 28)),
        (61, False, dt.date(1900, 3, 1)),
        (2_958_465, False, dt.date(9999, 12, 31)),
        # No date Excel shows: kept as the list has it.
        (0.5, False, None),
        (-1, False, None),
        (1e300, False, None),
        (2_958_466, False, None),
        (dt.date(1899, 12, 31), False, None),
        ("1850-01-01", False, None),
        (dt.datetime(2016, 1, 5, 0, 0), False, dt.date(2016, 1, 5)),
        ("2016-02-30", False, None),
        ("主要引證", False, None),
    ],
)
def test_dates_written_every_way_lists_write_them(value, roc, date):
    assert fields.as_date(value, roc) == date


# What a list's 公開日 holds → the report's cell: its stored value and number format.
DATE_CELLS = [
    ("2016-01-05", "42374", "yyyy-mm-dd"),
    ("1900-01-01", "1", "yyyy-mm-dd"),
    ("1900-03-01", "61", "yyyy-mm-dd"),
    (59, "59", "yyyy-mm-dd"),
    (-1, "-1", "General"),
    (1e300, "1e+300", "General"),
    (0.25, "0.25", "General"),
    ("1850-01-01", "1850-01-01", "General"),
    ("未公開", "未公開", "General"),
]


def test_a_date_column_holds_dates_excel_shows_and_every_other_value_as_written(tmp_path):
    book = openpyxl.Workbook()
    book.active.append(["公開號", "公開日"])
    for n, (value, _, _) in enumerate(DATE_CELLS):
        book.active.append([f"EP{1234560 + n}A1", value])
    book.save(tmp_path / "p.xlsx")
    path = job.make_report(make_request(tmp_path / "p.xlsx"), lambda m: None, folder=tmp_path / "out", with_data=False)
    sheet, stored = openpyxl.load_workbook(path).active, cell_texts(path)
    header = next(row for row in sheet.iter_rows() if row[0].value == "序號")
    column = next(c.column for c in header if c.value == "公開日")
    first = header[0].row + 1
    cells = [sheet.cell(row=row, column=column) for row in range(first, first + len(DATE_CELLS))]
    assert [(stored[c.coordinate], c.number_format) for c in cells] == [(v, f) for _, v, f in DATE_CELLS]
    assert problems(path) == []


def test_known_fields_first_in_a_fixed_order_then_the_lists_own_columns():
    header = ["備註", "Publication date", "申請人", "序號", "發明名稱", "公告日(民國)", "result link", "代理人"]
    rows = [
        ("主要引證", "2016/1/5", "澄光", "1", "太陽能電池", "105/01/05", "https://x.example/1", "=1+1"),
        (None, 42374.0, "甲", "2", "乙", "bad date", "not a link", ""),
        (None, dt.datetime(1850, 1, 1), "丙", "3", "丁", None, None, None),  # a date cell Excel cannot show
    ]
    columns, values = fields.carried(header, rows)
    assert [c.name for c in columns] == ["專利名稱", "申請人", "公開日", "連結", "備註", "公告日(民國)", "代理人"]
    assert [c.header for c in columns] == [
        "發明名稱",
        "申請人",
        "Publication date",
        "result link",
        "備註",
        "公告日(民國)",
        "代理人",
    ]
    assert values[0] == (
        "太陽能電池",
        "澄光",
        dt.date(2016, 1, 5),
        "https://x.example/1",
        "主要引證",
        dt.date(2016, 1, 5),
        "=1+1",
    )
    assert values[1] == ("乙", "甲", dt.date(2016, 1, 5), "not a link", None, "bad date", None)
    assert values[2] == ("丁", "丙", "1850-01-01", None, None, None, None)


@pytest.mark.parametrize(
    "name, form",
    [("法律狀態依據", layout.WRAP), ("預估屆期依據", layout.WRAP), ("預估屆期", layout.DATE), ("同族編號", "")],
)
def test_the_columns_the_data_source_adds_take_their_fields_form(name, form):
    # An event's text runs to 150 characters: unwrapped, it hides under the next column.
    (column,), _ = fields.carried([name], [("x",)])
    assert (column.name, column.column.format) == (name, form)


def test_a_google_patents_export_comes_along_whole(tmp_path):
    messages = []
    path = job.make_report(
        make_request(CORPUS / "list-google-patents.csv"),
        messages.append,
        now=lambda: dt.datetime(2024, 5, 6),
        folder=tmp_path,
    )
    book = openpyxl.load_workbook(path)
    sheet, detail = book.worksheets[:2]
    # The client reads the number, its date, title, first applicant and drawing; the rest is on the detail sheet.
    header = [c.value for c in sheet[7]]
    assert header == ["序號", "公開號", "公開日", "專利名稱", "申請人", "代表圖"]
    first = {h: c for h, c in zip(header, sheet[8])}
    assert first["公開號"].hyperlink.target == "https://patents.google.com/patent/US9254383B2"
    assert (first["代表圖"].value, first["代表圖"].hyperlink.target) == (
        "代表圖",
        "https://patentimages.storage.googleapis.com/x/US9254383B2.png",
    )
    # Every column of the export in full, under the report's names.
    head = next(r for r in detail.iter_rows() if r[0].value == "序號")
    own = {c.value: c for c in detail[head[0].row + 1] if c.value is not None or c.hyperlink}
    names = [c.value for c in head]
    row = {h: c for h, c in zip(names, detail[head[0].row + 1])}
    assert names[7:] == [
        "專利名稱",
        "申請人",
        "發明人",
        "優先權日",
        "申請日",
        "公開日",
        "核准日",
        "連結",
        "代表圖",
        "說明",
    ]
    assert own and row["發明人"].value == "Alice Chen, Bob Lin"
    assert (row["優先權日"].value, row["優先權日"].number_format) == (dt.datetime(2014, 1, 10), "yyyy-mm-dd")
    assert row["連結"].hyperlink.target == "https://patents.google.com/patent/US9254383B2/en"
    assert row["標準公開號"].hyperlink.target == "https://patents.google.com/patent/US9254383B2"
    # The search as what it asks, its address on the line.
    assert sheet["A3"].value == "檢索來源：Google Patents（檢索式 (solar cell)；優先權日 2020-01-01 前）"
    assert sheet["A3"].hyperlink.target == "https://patents.google.com/?q=(solar+cell)&before=priority:20200101"
    assert sheet.page_setup.orientation == "landscape"  # wider than a portrait page
    assert problems(path) == []


def test_each_number_of_a_cell_gets_its_rows_values(tmp_path):
    book = openpyxl.Workbook()
    book.active.append(["公開號", "備註"])
    book.active.append(["EP1234567A1; TW I 123456 B", "同族"])
    book.save(tmp_path / "p.xlsx")
    path = job.make_report(make_request(tmp_path / "p.xlsx"), lambda m: None, folder=tmp_path / "out")
    sheet = openpyxl.load_workbook(path).active
    assert [(sheet.cell(row=r, column=2).value, sheet.cell(row=r, column=3).value) for r in (7, 8)] == [
        ("EP1234567A1", "同族"),
        ("TWI123456B", "同族"),
    ]


@pytest.mark.parametrize(
    "header_at, header_row, names",
    [
        ("CDE3", 3, ("發明名稱", "公開號", "Applicant")),  # beside the marker
        ("BCD4", 4, ("序號", "專利名稱", "公開號")),  # on the row below it: the table starts there
    ],
    ids=["beside", "below"],
)
def test_a_templates_own_header_at_the_marker_decides_where_fields_go(tmp_path, header_at, header_row, names):
    from report_checks import hand_made

    letters, row = header_at[:3], int(header_at[3:])
    cells = "".join(f'<c r="{c}{row}" t="inlineStr"><is><t>{t}</t></is></c>' for c, t in zip(letters, names))
    marker = '<c r="B3" t="inlineStr"><is><t>{{檢索結果}}</t></is></c>'
    rows = f'<row r="3">{marker}{cells}</row>' if row == 3 else f'<row r="3">{marker}</row><row r="4">{cells}</row>'
    template = hand_made(tmp_path / "t.xlsx", f"<sheetData>{rows}</sheetData>")
    book = openpyxl.Workbook()
    book.active.append(["公開號", "申請人", "專利名稱"])
    book.active.append(["EP1234567A1", "澄光", "太陽能電池"])
    book.save(tmp_path / "p.xlsx")
    messages = []
    path = job.make_report(
        make_request(tmp_path / "p.xlsx", template=template),
        messages.append,
        now=lambda: dt.datetime(2024, 5, 6),
        folder=tmp_path / "out",
    )
    found = cell_texts(path)
    header = [found.get(f"{c}{header_row}") for c in "BCDEF"]
    # Only the columns the template names, under its own names; what it does not name is on the detail sheet.
    expected = {
        3: ["序號", "發明名稱", "公開號", "Applicant", None],
        4: ["序號", "專利名稱", "公開號", None, None],
    }[header_row]
    assert header == expected
    body = [found.get(f"{c}{header_row + 1}") for c in "BCDE"]
    assert (
        body == {3: ["1", "太陽能電池", "EP1234567A1", "澄光"], 4: ["1", "太陽能電池", "EP1234567A1", None]}[header_row]
    )
    assert found.get("B3") in (None, "序號")  # the marker never shows
    assert not any("蓋過" in m for m in messages)  # the template's own header is no content in the way
    assert problems(path) == []


def test_an_espacenet_export_comes_under_the_reports_names_its_family_together(tmp_path):
    # As Espacenet exports a result list: its mark, ";" between fields, texts quoted, its own numbering first.
    export = tmp_path / "espacenet.csv"
    export.write_bytes(
        "\ufeffNo;Title;Inventors;Applicants;Publication number;Earliest priority;IPC;CPC;Publication date;"
        "Earliest publication;Family number\r\n"
        '1;"DRILL";"SMITH JOHN [US]";"SCIENTIFIC DRILLING INT [US]";US2014102795A1;2012-10-12;E21B47/02;'
        "E21B47/022;2014-04-17;2014-04-17;40799763\r\n"
        '2;"DRILL";"SMITH JOHN";"SCIENTIFIC DRILLING INT";US10047600B2;2012-10-12;E21B47/02;;2018-08-14;2014-04-17;'
        "40799763\r\n".encode()
    )
    path = job.make_report(make_request(export), lambda m: None, now=lambda: dt.datetime(2024, 5, 6), folder=tmp_path)
    book = openpyxl.load_workbook(path)
    detail = book["書目明細"]
    head = next(r for r in detail.iter_rows() if r[0].value == "序號")
    names = [c.value for c in head]
    row = {h: c for h, c in zip(names, detail[head[0].row + 1])}
    assert names[7:] == [
        "專利名稱",
        "申請人",
        "發明人",
        "優先權日",
        "公開日",
        "IPC",
        "CPC",
        "同族編號",
        "Earliest publication",
        "說明",
    ]
    assert (row["優先權日"].value, row["公開日"].number_format) == (dt.datetime(2012, 10, 12), "yyyy-mm-dd")
    assert row["Earliest publication"].value == dt.datetime(2014, 4, 17)  # a date by its name too
    sheet = book.active
    first = next(r[0].row for r in sheet.iter_rows() if r[0].value == "序號") + 1
    assert [c.value for c in sheet[first]][-1] == "同族：US10047600B2"
    assert problems(path) == []
