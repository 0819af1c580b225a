"""The report's columns as records: a new column is one record, and the
link, the widths and the digits' mark follow their columns."""

from datetime import datetime
from pathlib import Path

import openpyxl
import pytest
from lxml import etree
from openpyxl.styles import Border, Side

from lumivar.report import job, layout

from report_checks import parts, problems
from support import make_patents, make_request

CORPUS = Path(__file__).parent / "corpus"
NOTE = layout.Column("備註", lambda item: "請注意" if item.country == "EP" else None, font=layout.AUTO)


@pytest.mark.parametrize("template", ["", CORPUS / "template-letterhead.xlsx"], ids=["new", "letterhead"])
def test_a_new_column_is_one_record(tmp_path, monkeypatch, template):
    monkeypatch.setattr(layout, "COLUMNS", layout.COLUMNS[:2] + (NOTE,) + layout.COLUMNS[2:])
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "US 10,123,456 B2"])
    path = job.make_report(
        make_request(patents, template=template),
        lambda message: None,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path,
    )
    sheet = openpyxl.load_workbook(path).active
    header = next(
        row for row in sheet.iter_rows() if row[0].value == "序號" or (len(row) > 1 and row[1].value == "序號")
    )
    texts = [c.value for c in header if c.value]
    assert texts == ["序號", "公開號", "備註", "標準公開號", "國別", "號碼", "種類", "狀態"]
    first = next(c for c in header if c.value == "序號").column - 1
    below = sheet[header[0].row + 1]
    assert below[first + 2].value == "請注意"
    link = below[first + 3]
    assert (link.value, link.hyperlink.target) == ("EP1234567A1", "https://patents.google.com/patent/EP1234567A1")
    digits = openpyxl.utils.get_column_letter(first + 6)
    marked = [
        e.get("sqref")
        for name, data in parts(path).items()
        if name.startswith("xl/worksheets/sheet")
        for e in etree.fromstring(data).iter("{*}ignoredError")
    ]
    assert marked == [f"{digits}{header[0].row + 1}:{digits}{header[0].row + 2}"]
    assert problems(path) == []


def test_widths_fit_every_column_and_cap_long_text():
    items = [job.publications.parse("EP1234567A1"), job.publications.parse("很長的說明" * 20)]
    table = layout.Table(items, datetime(2024, 5, 6), "p.xlsx")
    style = layout.Style(1.0, "標楷體", "Calibri")
    widths = dict(zip(layout.HEADERS, table.widths(style)))
    assert widths["公開號"] == layout.width_for(40, style.cell_size)  # capped: it wraps, not the page
    assert widths["狀態"] == layout.width_for(len("格式不符：不含號碼") * 2, style.cell_size)  # the status fits
    assert widths["標準公開號"] == layout.width_for(len("EP1234567A1"), style.cell_size)


def drawn_rows(folder: Path) -> Path:
    """A template whose table rows are drawn already, each 20 points high."""
    book = openpyxl.Workbook()
    book.active["A1"] = "{{檢索結果}}"
    for number in range(2, 8):
        book.active.row_dimensions[number].height = 20
        book.active.cell(number, 1).border = Border(bottom=Side("thin"))
    book.save(folder / "drawn.xlsx")
    return folder / "drawn.xlsx"


@pytest.mark.parametrize(
    "template",
    [lambda folder: "", lambda folder: CORPUS / "template-letterhead.xlsx", drawn_rows],
    ids=["new", "letterhead", "rows drawn"],
)
def test_a_wrapped_text_gets_the_rows_height_it_needs(tmp_path, template):
    # LibreOffice fits no row itself: without a height, a long abstract runs into the rows below.
    book = openpyxl.Workbook()
    for row in (
        ["公開號", "摘要"],
        ["EP1234567A1", "A method of wrapping text. " * 20],
        ["EP1234568A1", "第一段\n第二段"],
        ["EP1234569A1", "短摘要"],
    ):
        book.active.append(row)
    book.save(tmp_path / "p.xlsx")
    path = job.make_report(
        make_request(tmp_path / "p.xlsx", template=template(tmp_path)),
        lambda message: None,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path,
    )
    sheet = openpyxl.load_workbook(path).active
    height = {
        c.value: sheet.row_dimensions[c.row].height
        for row in sheet.iter_rows()
        for c in row
        if isinstance(c.value, str) and c.value.startswith("EP123456")
    }
    size = layout.Style(1.0, "", "").cell_size
    assert height["EP1234567A1"] >= 540 / 50 * size  # 540 characters at most 50 a line
    assert 2 * size <= height["EP1234568A1"] < 3 * size * layout.LINE_HEIGHT  # two paragraphs, two lines
    assert height["EP1234569A1"] in (None, 20)  # one line: the row keeps its own height
    assert problems(path) == []
