"""The report's own cells as Excel reads them: its escapes, its limits."""

from datetime import datetime
from pathlib import Path

import openpyxl
import pytest
from lxml import etree

from lumivar.report import job, layout, ooxml, sheetxml
from lumivar.report.layout import Cell, Style
from lumivar.report.styles import Styles

from report_checks import hand_made, parts, problems
from support import make_patents, make_request


@pytest.mark.parametrize(
    "text, written",
    [
        ("US 10,123,456 B2", "US 10,123,456 B2"),
        ("a_x000D_b", "a_x005F_x000D_b"),  # Excel's own escape, escaped as Excel escapes it
        ("_x005f_", "_x005F_x005f_"),
        ("a_xZZZZ_b", "a_xZZZZ_b"),
        ("<&>\x01", "<&>"),  # escaped for XML, the character XML cannot hold left out
        ("a\ud800b\ufffe", "ab"),  # a lone surrogate would not even encode
        ("x" * 40_000, "x" * 32_766 + "…"),  # Excel's 32,767 characters of a cell
        ("😀" * 20_000, "😀" * 16_383 + "…"),  # counted in UTF-16, as Excel counts
    ],
)
def test_a_cell_holds_its_text_as_excel_will_show_it(text, written):
    xml = sheetxml.cell_xml("A1", Cell(text), 0)
    assert etree.fromstring(xml).findtext("is/t") == written


def test_links_past_a_sheets_limit_and_long_font_names(tmp_path, monkeypatch):
    monkeypatch.setattr(ooxml, "MAX_LINKS", 2)
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "bad", "TW I 123456 B", "US 10,123,456 B2"])
    messages = []
    path = job.make_report(
        make_request(patents, latin="L" * 40, cjk="中" * 40),
        messages.append,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path,
    )
    assert "有 3 個連結，超過 Excel 一個工作表能有的 2 個；第 4 筆起的公開號不加連結" in messages
    sheet = etree.fromstring(parts(path)["xl/worksheets/sheet1.xml"])
    assert [h.get("ref") for h in sheet.iter("{*}hyperlink")] == ["B7", "B9"]
    fonts = {f.get("val") for f in etree.fromstring(parts(path)["xl/styles.xml"]).iter("{*}name")}
    assert fonts == {"L" * 31, "中" * 31, layout.BASE_FONT}  # the default font, which sets the width unit
    assert problems(path) == []


@pytest.mark.parametrize(
    "cell, runs",
    [
        (Cell("JP 特開2019-123456", layout.CJK), [("JP ", "Arial"), ("特開", "新細明體"), ("2019-123456", "Arial")]),
        (Cell("製表日期：2024-05-06", layout.TITLE_FONT), [("製表日期：", "新細明體"), ("2024-05-06", "Arial")]),
        (Cell("重複（同序號 3）", layout.CJK), [("重複（同序號 ", "新細明體"), ("3", "Arial"), ("）", "新細明體")]),
        (Cell("檢索報告", layout.CJK), []),  # one script: the cell's own font
        (Cell("US 10,123,456 B2", layout.LATIN), []),
    ],
)
def test_mixed_text_is_set_in_the_font_of_each_script(cell, runs):
    styles = Styles.for_new_workbook(Style(1.5, "新細明體", "Arial"))
    element = etree.fromstring(sheetxml.cell_xml("A1", cell, 0, "", styles))
    seen = [(r.findtext("t"), r.find("rPr/rFont").get("val")) for r in element.iter("r")]
    assert seen == runs
    sizes = {r.find("rPr/sz").get("val") for r in element.iter("r")}
    assert sizes <= {"18" if cell.font != layout.TITLE_FONT else "24"}  # the text size ratio holds in every run
    assert "".join(element.itertext()) == cell.value


def list_of(path, header, *rows):
    """A list saved as a CSV text file (UTF-8): it can hold what no workbook's XML can."""
    path.write_text("\n".join(",".join(row) for row in [header, *rows]) + "\n", encoding="utf-8")
    return path


def report_of(tmp_path, patents, template=None):
    messages = []
    request = make_request(patents, template=template or "")
    path = job.handle_request(request, messages.append, now=lambda: datetime(2024, 5, 6), folder=tmp_path / "out")
    assert path is not None, messages
    return path, messages


# A link column's addresses: whether each becomes a link, or stays the text it is.
ADDRESSES = {
    "clean": ("https://ok.example/x?q=1", True),
    "control character": ("http://a.example/\x01x", False),
    "over Excel's 2,079 characters": ("https://a.example/" + "y" * 2_062, False),
    "2,079 characters": ("https://a.example/" + "y" * 2_061, True),
    "space": ("https://a.example/a b", False),
    "invisible direction mark": ("https://a.example/\u202ex", False),
    "broken host": ("http://[::1/x", False),
    "no host": ("http:///x", False),
    "port no number": ("http://a.example:xx/", False),
    "not the web": ("javascript:alert(1)", False),
    "non-Latin": ("https://例子.example/專利", True),
}
MARKED = Path(__file__).parent / "corpus" / "template-marker.xlsx"


@pytest.mark.parametrize("with_template", [False, True], ids=["new workbook", "template"])
def test_every_text_is_well_formed_xml_and_every_link_a_clean_address(tmp_path, with_template):
    addresses = list(ADDRESSES.values())
    patents = list_of(
        tmp_path / "p.csv",
        ["公開號", "連結", "備註"],
        *[[f"EP{1234560 + i}A1", address, f"註\x02{i}"] for i, (address, _) in enumerate(addresses)],
    )
    path, _ = report_of(tmp_path, patents, MARKED if with_template else None)
    for name, data in parts(path).items():
        if name.endswith((".xml", ".rels")):
            etree.fromstring(data)  # an ill-formed part loses what follows its fault in LibreOffice
    sheet = openpyxl.load_workbook(path)["書目明細"]  # the link column is a detail the client does not read
    header = next(row for row in sheet.iter_rows() if any(c.value == "連結" for c in row))
    column = next(c.column for c in header if c.value == "連結")
    cells = [sheet.cell(header[0].row + 1 + i, column) for i in range(len(addresses))]
    linked = [(c.value, c.hyperlink.target if c.hyperlink else None, c.font.u) for c in cells]
    assert linked == [
        (address, address, "single") if link else (sheetxml.xml_chars(address), None, None)
        for address, link in addresses
    ]
    assert sheet.cell(header[0].row + 1, column + 1).value == "註0"  # a cell's control character left out
    assert problems(path) == []


@pytest.mark.parametrize("with_template", [False, True], ids=["new workbook", "template row merged"])
def test_no_row_is_taller_than_excel_allows(tmp_path, with_template):
    book = openpyxl.Workbook()
    book.active.append(["公開號", "專利名稱"])
    book.active.append(["EP1234567A1", "長" * 32_767])  # lines enough for 22,000 points
    book.active.append(["EP1234568A1", "短的名稱"])
    book.save(tmp_path / "p.xlsx")
    # The template's own row at the first entry's: its height is set where the rows are merged.
    template = hand_made(
        tmp_path / "t.xlsx",
        '<sheetData><row r="3"><c r="B3" t="inlineStr"><is><t>{{檢索結果}}</t></is></c></row>'
        '<row r="4"><c r="M4" t="inlineStr"><is><t>旁</t></is></c></row></sheetData>',
    )
    path, _ = report_of(tmp_path, tmp_path / "p.xlsx", template if with_template else None)
    sheet = etree.fromstring(parts(path)["xl/worksheets/sheet1.xml"])
    heights = {row.get("r"): float(row.get("ht")) for row in sheet.iter("{*}row") if row.get("ht")}
    first = "4" if with_template else "7"
    assert heights == {first: sheetxml.MAX_ROW_HEIGHT}
    assert problems(path) == []
