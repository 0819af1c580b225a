"""Where the table goes: the marker found however a template writes it."""
import openpyxl
import pytest

from lumivar.report import ooxml, placement

from report_checks import STRICT, TRANSITIONAL, hand_made

MARKER = placement.MARKER
INLINE = '<c r="{ref}" t="inlineStr"><is><t>{text}</t></is></c>'


def found(path):
    package = ooxml.open_package(path, "範本檔案")
    try:
        book = package.workbook_part
        visible = [(i, name, part) for i, (name, part, _) in enumerate(package.sheets())]
        return placement.where(package, book, visible).marker
    finally:
        package.close()


def sheet(*cells, prefix=""):
    return f"<{prefix}sheetData><{prefix}row r=\"4\">{''.join(cells)}</{prefix}row></{prefix}sheetData>"


@pytest.mark.parametrize("content, strings, namespaces, prefix, expected", [
    (sheet(INLINE.format(ref="C4", text=MARKER)), None, TRANSITIONAL, "", (4, 2)),
    # Character references, as openpyxl writes some text.
    (sheet('<c r="B4" t="s"><v>1</v></c>'), "<si><t>x</t></si><si><t>{{&#27298;&#32034;&#32080;&#26524;}}</t></si>",
     TRANSITIONAL, "", (4, 1)),
    # Split into rich-text runs, inline and shared.
    (sheet('<c r="D4" t="inlineStr"><is><r><t>{{檢索</t></r><r><rPr><b/></rPr><t>結果}}</t></r></is></c>'),
     None, TRANSITIONAL, "", (4, 3)),
    (sheet('<c r="A4" t="s"><v>0</v></c>'), "<si><r><t>{{檢</t></r><r><t>索結果}}</t></r></si>", TRANSITIONAL, "",
     (4, 0)),
    # Phonetic runs are no part of the text.
    (sheet('<c r="A4" t="s"><v>0</v></c>'), f'<si><t></t><rPh sb="0" eb="0"><t>{MARKER}</t></rPh></si>',
     TRANSITIONAL, "", None),
    # A comment that reads like a marker cell is no cell.
    (f'<sheetData><!-- {INLINE.format(ref="A1", text=MARKER)} --></sheetData>', None, TRANSITIONAL, "", None),
    (sheet(INLINE.format(ref="E4", text=MARKER).replace("<", "<x:").replace("<x:/", "</x:"), prefix="x:"),
     None, TRANSITIONAL, "x:", (4, 4)),
    (sheet(INLINE.format(ref="B4", text=MARKER)), None, STRICT, "", (4, 1)),
], ids=["inline", "character references", "inline runs", "shared runs", "phonetic", "comment", "prefixed",
        "strict"])
def test_the_marker_however_it_is_written(tmp_path, content, strings, namespaces, prefix, expected):
    assert found(hand_made(tmp_path / "t.xlsx", content, strings, namespaces, prefix)) == expected


def test_an_openpyxl_template_marker_is_found_on_its_own_sheet(tmp_path):
    book = openpyxl.Workbook()
    book.active["A1"] = "檢索策略"
    results = book.create_sheet("檢索結果")
    results["B3"] = MARKER
    book.save(tmp_path / "t.xlsx")
    assert found(tmp_path / "t.xlsx") == (3, 1)
