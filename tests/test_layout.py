"""The report's columns as records: a new column is one record, and the
link, the widths and the digits' mark follow their columns."""

from datetime import datetime
from pathlib import Path

import openpyxl
import pytest
from openpyxl.styles import Border, Side

from lumivar.report import compose, job, layout

from report_checks import problems
from support import make_patents, make_request

CORPUS = Path(__file__).parent / "corpus"


@pytest.mark.parametrize("template", ["", CORPUS / "template-letterhead.xlsx"], ids=["new", "letterhead"])
def test_the_clients_columns_are_chosen_in_one_place(tmp_path, monkeypatch, template):
    # The notes before the number: one change in compose, both writers follow, the link with the number.
    order = list(compose.CLIENT_COLUMNS)
    order.remove("說明")
    order.insert(1, "說明")
    monkeypatch.setattr(compose, "CLIENT_COLUMNS", tuple(order))
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "US 10,123,456 B2", "EP1234567A1"])
    path = job.make_report(
        make_request(patents, template=template),
        lambda message: None,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path,
    )
    sheet = openpyxl.load_workbook(path).active
    header = next(row for row in sheet.iter_rows() if any(c.value == "序號" for c in row))
    first = next(c for c in header if c.value == "序號").column - 1
    assert [c.value for c in header[first : first + 3]] == ["序號", "說明", "公開號"]
    below = sheet[header[0].row + 3]
    assert below[first + 1].value == "重複（同序號 1）"
    link = below[first + 2]
    assert (link.value, link.hyperlink.target) == ("EP1234567A1", "https://patents.google.com/patent/EP1234567A1")
    assert problems(path) == []


def test_widths_fit_every_column_and_cap_long_text():
    items = [job.publications.parse("EP1234567A1"), job.publications.parse("很長的說明" * 20)]
    report = compose.compose(items, [], [], rows=[2, 3], made=datetime(2024, 5, 6), place="p.xlsx")
    style = layout.Style(1.0, "標楷體", "Calibri")
    widths = dict(zip([c.header for c in report.client.columns], report.client.widths(style)))
    assert widths["公開號"] == layout.width_for(compose.WIDE, style.cell_size)  # capped: it wraps, not the page
    assert widths["說明"] == layout.width_for(len("格式不符：不含號碼") * 2, style.cell_size)  # the notes fit
    detail = dict(zip([c.header for c in report.detail.columns], report.detail.widths(style)))
    assert detail["標準公開號"] == layout.width_for(len("EP1234567A1"), style.cell_size)
    assert detail["公開號"] == layout.width_for(40, style.cell_size)


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
        ["公開號", "專利名稱"],
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
    assert height["EP1234567A1"] >= 540 / compose.WIDE * size  # 540 characters at most WIDE a line
    assert 2 * size <= height["EP1234568A1"] < 3 * size * layout.LINE_HEIGHT  # two paragraphs, two lines
    assert height["EP1234569A1"] in (None, 20)  # one line: the row keeps its own height
    assert problems(path) == []
