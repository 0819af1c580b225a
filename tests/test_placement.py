"""Where the table goes: the marker found however a template writes it, and
never over the template's own content."""

import itertools
from datetime import datetime
from pathlib import Path

import openpyxl
import pytest
from lxml import etree

from lumivar.report import job, ooxml, placement

from report_checks import STRICT, TRANSITIONAL, cell_texts, hand_made, parts, problems
from support import make_patents, make_request

MARKER = placement.MARKER
INLINE = '<c r="{ref}" t="inlineStr"><is><t>{text}</t></is></c>'


def found(path):
    package = ooxml.open_package(open(path, "rb"), path, "範本檔案")
    try:
        book = package.workbook_part
        visible = [(i, name, part) for i, (name, part, _) in enumerate(package.sheets())]
        return placement.where(package, book, visible).marker
    finally:
        package.close()


def sheet(*cells, prefix=""):
    return f'<{prefix}sheetData><{prefix}row r="4">{"".join(cells)}</{prefix}row></{prefix}sheetData>'


@pytest.mark.parametrize(
    "content, strings, namespaces, prefix, expected",
    [
        (sheet(INLINE.format(ref="C4", text=MARKER)), None, TRANSITIONAL, "", (4, 2)),
        # Character references, as openpyxl writes some text.
        (
            sheet('<c r="B4" t="s"><v>1</v></c>'),
            "<si><t>x</t></si><si><t>{{&#27298;&#32034;&#32080;&#26524;}}</t></si>",
            TRANSITIONAL,
            "",
            (4, 1),
        ),
        # Split into rich-text runs, inline and shared.
        (
            sheet('<c r="D4" t="inlineStr"><is><r><t>{{檢索</t></r><r><rPr><b/></rPr><t>結果}}</t></r></is></c>'),
            None,
            TRANSITIONAL,
            "",
            (4, 3),
        ),
        (
            sheet('<c r="A4" t="s"><v>0</v></c>'),
            "<si><r><t>{{檢</t></r><r><t>索結果}}</t></r></si>",
            TRANSITIONAL,
            "",
            (4, 0),
        ),
        # Phonetic runs are no part of the text.
        (
            sheet('<c r="A4" t="s"><v>0</v></c>'),
            f'<si><t></t><rPh sb="0" eb="0"><t>{MARKER}</t></rPh></si>',
            TRANSITIONAL,
            "",
            None,
        ),
        # A comment that reads like a marker cell is no cell.
        (f"<sheetData><!-- {INLINE.format(ref='A1', text=MARKER)} --></sheetData>", None, TRANSITIONAL, "", None),
        (
            sheet(INLINE.format(ref="E4", text=MARKER).replace("<", "<x:").replace("<x:/", "</x:"), prefix="x:"),
            None,
            TRANSITIONAL,
            "x:",
            (4, 4),
        ),
        (sheet(INLINE.format(ref="B4", text=MARKER)), None, STRICT, "", (4, 1)),
    ],
    ids=["inline", "character references", "inline runs", "shared runs", "phonetic", "comment", "prefixed", "strict"],
)
def test_the_marker_however_it_is_written(tmp_path, content, strings, namespaces, prefix, expected):
    assert found(hand_made(tmp_path / "t.xlsx", content, strings, namespaces, prefix)) == expected


def test_an_openpyxl_template_marker_is_found_on_its_own_sheet(tmp_path):
    book = openpyxl.Workbook()
    book.active["A1"] = "檢索策略"
    results = book.create_sheet("檢索結果")
    results["B3"] = MARKER
    book.save(tmp_path / "t.xlsx")
    assert found(tmp_path / "t.xlsx") == (3, 1)


MARK = '<c r="B3" t="inlineStr"><is><t>{{檢索結果}}</t></is></c>'


def data(*rows, after=""):
    return "<sheetData>" + "".join(f'<row r="{n}"{a}>{c}</row>' for n, a, c in rows) + "</sheetData>" + after


@pytest.mark.parametrize(
    "sheet, table, header, kinds",
    [
        (data((3, "", MARK)), None, 3, ""),
        (data((3, "", MARK), (4, "", '<c r="B4" t="inlineStr"><is><t>數量</t></is></c>')), "B4:D8", 9, "內容、表格"),
        (
            data((3, "", MARK), after='<mergeCells count="1"><mergeCell ref="B5:G5"/></mergeCells>'),
            None,
            6,
            "合併儲存格",
        ),
        (
            data((3, "", MARK), after='<mergeCells count="1"><mergeCell ref="B3:G3"/></mergeCells>'),
            None,
            4,
            "合併儲存格",
        ),
        (
            data(
                (3, "", MARK),
                (4, "", '<c r="C4"><f t="shared" ref="C4:C6" si="0">A4</f><v>1</v></c>'),
                (5, "", '<c r="C5"><f t="shared" si="0"/><v>1</v></c>'),
            ),
            None,
            7,
            "公式",
        ),
        (data((3, "", MARK), (4, "", '<c r="D4"><f t="array" ref="D4:D5">A1:A2</f><v>1</v></c>')), None, 6, "公式"),
        (
            data(
                (3, "", MARK),
                after='<dataValidations count="2"><dataValidation type="list" sqref="B4:B5">'
                '<formula1>"a,b"</formula1></dataValidation><dataValidation type="list" sqref="A1:A1048576">'
                '<formula1>"c"</formula1></dataValidation></dataValidations>',
            ),
            None,
            6,
            "資料驗證",
        ),
        (
            data(
                (3, "", MARK),
                after='<conditionalFormatting sqref="C4:C9"><cfRule type="expression" dxfId="0" '
                'priority="1"><formula>TRUE</formula></cfRule></conditionalFormatting>',
            ),
            None,
            10,
            "設定格式化的條件",
        ),
        (data((3, "", MARK), (5, "", '<c r="D5" t="inlineStr"><is><t>數量</t></is></c>')), None, 6, "內容"),
        (data((3, "", MARK), (4, ' hidden="1"', '<c r="A4" t="inlineStr"><is><t>旁</t></is></c>')), None, 3, ""),
    ],
    ids=[
        "clear",
        "table with empty rows",
        "merged",
        "merged marker",
        "shared formula",
        "array formula",
        "validation",
        "conditional format",
        "value",
        "hidden row",
    ],
)
def test_the_table_never_covers_the_template(tmp_path, sheet, table, header, kinds):
    template = hand_made(tmp_path / "t.xlsx", sheet, table=table)
    messages = []
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B", "bad one"])
    path = job.handle_request(
        make_request(patents, template=template),
        messages.append,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path / "out",
    )
    assert path is not None, messages
    cells = cell_texts(path)
    assert [cells.get(f"{c}{header}") for c in "BCD"] == ["序號", "公開號", "說明"]
    assert cells.get("B3") == ("序號" if header == 3 else None)  # a marker left behind is emptied
    moved = [m for m in messages if "蓋過" in m]
    assert moved == (
        [f"範本中「{placement.MARKER}」處的{kinds}會被檢索結果蓋過；檢索結果改從第 {header} 列開始"] if kinds else []
    )
    rows = {r.get("r"): r for r in etree.fromstring(parts(path)["xl/worksheets/sheet1.xml"]).iter("{*}row")}
    assert not any(rows[str(n)].get("hidden") for n in range(header, header + 4) if str(n) in rows)
    assert problems(path) == []


def test_below_a_form_the_table_clears_its_excel_table(tmp_path):
    template = hand_made(
        tmp_path / "t.xlsx", data((1, "", '<c r="A1" t="inlineStr"><is><t>數量</t></is></c>')), table="A1:C6"
    )
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    path = job.make_report(make_request(patents, template=template), lambda m: None, folder=tmp_path / "out")
    assert cell_texts(path)["A8"].startswith("製表日期")
    assert problems(path) == []


SUMMARY = '<c r="{ref}" t="inlineStr"><is><t>{{{{檢索摘要}}}}</t></is></c>'
TEXT = '<c r="{ref}" t="inlineStr"><is><t>抬頭</t></is></c>'
MOVED = "範本中「{{{{檢索摘要}}}}」處{why}；檢索摘要改從第 {row} 列開始"


@pytest.mark.parametrize(
    "sheet, summary_at, moved",
    [
        (
            data((7, "", MARK.replace("B3", "B7"))),
            "B3",
            None,
        ),  # room above the marker: the summary a client reads first
        (data((1, "", TEXT.format(ref="B5")), (7, "", MARK.replace("B3", "B7"))), "B11", None),  # no room above
        (data((2, "", SUMMARY.format(ref="D2")), (7, "", MARK.replace("B3", "B7"))), "D2", None),  # where it says
        # A letterhead's summary cell two rows above the table: its lines never over the table's header.
        (
            data((5, "", SUMMARY.format(ref="B5")), (7, "", MARK.replace("B3", "B7"))),
            "B11",
            "只有 2 列空位，放不下 {n} 列的檢索摘要 (下方有檢索結果的標題列)",
        ),
        (
            data((2, "", SUMMARY.format(ref="B2")), (3, "", TEXT.format(ref="B3")), (7, "", MARK.replace("B3", "B7"))),
            "B11",
            "只有 1 列空位，放不下 {n} 列的檢索摘要 (下方有內容)",
        ),
        (
            data(
                (2, "", SUMMARY.format(ref="B2")),
                (7, "", MARK.replace("B3", "B7")),
                after='<mergeCells count="2"><mergeCell ref="B2:F2"/><mergeCell ref="B3:F4"/></mergeCells>',
            ),
            "B11",
            "只有 2 列空位，放不下 {n} 列的檢索摘要 (下方有合併儲存格)",  # a line may start a merged range, not lie inside one
        ),
        # Inside the table: the table stays, the summary follows it.
        (data((7, "", MARK.replace("B3", "B7")), (8, "", SUMMARY.format(ref="C8"))), "B11", "有檢索結果"),
        # No table marker: the summary at its own, the table below the form and the summary.
        (data((2, "", SUMMARY.format(ref="B2") + TEXT.format(ref="C2"))), "B2", None),
    ],
    ids=[
        "above",
        "no room above",
        "summary marker",
        "over the header",
        "over the form",
        "in a merged range",
        "inside the table",
        "no table marker",
    ],
)
def test_every_summary_line_has_a_cell_of_its_own(tmp_path, sheet, summary_at, moved):
    template = hand_made(tmp_path / "t.xlsx", sheet.replace('<row r="1">', '<row r="5">'))
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B"])
    messages = []
    path = job.make_report(
        make_request(patents, template=template),
        messages.append,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path / "out",
    )
    cells = cell_texts(path)
    header = next(ref for ref, text in cells.items() if text == "序號")
    assert header == ("B7" if MARK.replace("B3", "B7") in sheet else header)
    assert cells[summary_at] == "製表日期：2024-05-06"
    column, row = summary_at[0], int(summary_at[1:])
    lines = len(list(itertools.takewhile(lambda n: f"{column}{n}" in cells, itertools.count(row))))
    assert int(header[1:]) > row + lines or row > int(header[1:]) + 2  # never beside the table's rows
    assert not any(placement.SUMMARY_MARKER in text for text in cells.values())
    said = [m for m in messages if placement.SUMMARY_MARKER in m]
    assert said == ([MOVED.format(why=moved.format(n=lines), row=row)] if moved else [])
    assert problems(path) == []


@pytest.mark.parametrize("marker_at", [None, "C4"], ids=["new workbook", "template"])
def test_a_detail_sheet_wider_than_the_sheet_stops_at_its_last_column(tmp_path, marker_at):
    extra = 17_000  # the list's own columns, carried onto the detail sheet
    (tmp_path / "p.csv").write_text(
        ",".join(["公開號"] + [f"欄{i}" for i in range(extra)]) + "\nEP1234567A1," + ",".join("v" * extra) + "\n",
        encoding="utf-8",
    )
    template = hand_made(tmp_path / "t.xlsx", sheet(INLINE.format(ref=marker_at, text=MARKER))) if marker_at else ""
    messages = []
    path = job.make_report(make_request(tmp_path / "p.csv", template=template), messages.append, folder=tmp_path)
    columns = extra + 8  # the number's seven before the list's, the report's notes after them
    assert (
        f"書目明細有 {columns:,} 欄，超過工作表的最後一欄 (XFD)；最後 {columns - ooxml.MAX_COLUMN:,} 欄未列入檢索報告"
        in messages
    )
    root = etree.fromstring(parts(path)["xl/worksheets/sheet2.xml"])
    refs = [c.get("r") for c in root.iter("{*}c")] + [e.get("ref") for e in root.iter("{*}autoFilter", "{*}dimension")]
    assert max(area[3] for ref in refs for area in ooxml.ranges(ref)) == ooxml.MAX_COLUMN - 1
    assert max(int(c.get("max")) for c in root.iter("{*}col")) == ooxml.MAX_COLUMN
    assert cell_texts(path, "xl/worksheets/sheet2.xml")["XFD5"] == "v"


@pytest.mark.parametrize("below", [None, "本頁以下空白"], ids=["room there", "its rows taken"])
def test_a_summary_marker_on_a_cover_sheet_takes_the_summary_there(tmp_path, below):
    book = openpyxl.Workbook()
    cover = book.active
    cover.title = "封面"
    cover["B2"], cover["B4"], cover["B6"] = "澄光專利商標事務所", placement.SUMMARY_MARKER, below
    cover.sheet_view.tabSelected = True
    book.create_sheet("結果")["B2"] = MARKER
    book.save(tmp_path / "t.xlsx")
    messages = []
    path = job.make_report(
        make_request(Path(__file__).parent / "corpus" / "list-google-patents.csv", template=tmp_path / "t.xlsx"),
        messages.append,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path / "out",
    )
    found = parts(path)
    cover_cells, table_cells = cell_texts(path), cell_texts(path, "xl/worksheets/sheet2.xml")
    said = [m for m in messages if placement.SUMMARY_MARKER in m]
    if below is None:
        assert cover_cells["B4"] == "製表日期：2024-05-06" and cover_cells["B5"].startswith("檢索來源：Google Patents")
        links = etree.fromstring(found["xl/worksheets/sheet1.xml"]).iter("{*}hyperlink")
        rels = etree.fromstring(found["xl/worksheets/_rels/sheet1.xml.rels"])
        assert [h.get("ref") for h in links] == ["B5"] and rels[0].get("Target").startswith("https://patents.google")
        assert not any(text.startswith("製表日期") for text in table_cells.values()) and said == []
    else:
        assert "B4" not in cover_cells and cover_cells["B6"] == below  # the marker emptied, the form as it was
        row = next(int(ref[1:]) for ref, text in table_cells.items() if text.startswith("製表日期"))
        lines = len(list(itertools.takewhile(lambda n: f"B{n}" in table_cells, itertools.count(row))))
        assert said == [
            f"範本中「{placement.SUMMARY_MARKER}」處只有 2 列空位，放不下 {lines} 列的檢索摘要 (下方有內容)；"
            f"檢索摘要改放在「結果」工作表第 {row} 列起"
        ]
    views = [etree.fromstring(found[f"xl/worksheets/sheet{n}.xml"]).find("{*}sheetViews/{*}sheetView") for n in (1, 2)]
    assert [v.get("tabSelected") in ("1", "true") for v in views] == [False, True]  # opens on the table alone
    assert problems(path) == []
