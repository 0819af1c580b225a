"""The outside referee (referee.py) that every report the tests make goes
through: Excel's and LibreOffice's own workbooks pass it, and each kind of
fault planted in one is found, once, in the part it was planted in."""

import re
import shutil
import zipfile
from pathlib import Path

import pytest

import referee
from report_checks import STRICT, TRANSITIONAL, hand_made, problems, rewritten

CORPUS = Path(__file__).parent / "corpus" / "xlsx2csv"
# Written by Excel (one of them with markup compatibility: x14ac) and by
# LibreOffice (a chart and its drawing); no_cell_ids.xlsx and
# skip_empty_lines.xlsx are damaged, and the referee says so.
CLEAN = ("datetime.xlsx", "hyperlinks.xlsm", "sheets.xlsx", "namespace.xlsx", "sheets_order.xlsx")
MC = 'xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006"'
FUTURE = 'xmlns:z="http://example.com/a-later-excel"'
TYPES = "[Content_Types].xml"
SHEET = "xl/worksheets/sheet1.xml"
STYLES = zipfile.ZipFile(CORPUS / "sheets.xlsx").read("xl/styles.xml")


def swap(old, new):
    """An edit of a part's bytes: `old` (which must be there) becomes `new`."""

    def edit(data):
        assert old in data, old
        return data.replace(old, new, 1)

    return edit


@pytest.mark.parametrize("name", CLEAN)
def test_workbooks_that_excel_and_libreoffice_wrote_pass(name):
    assert referee.findings(CORPUS / name) == []


EXCEL_MADE = [
    (
        "a cell's formula after its value",
        {SHEET: swap(b'<c r="A2" s="12"><v>1</v></c>', b'<c r="A2" s="12"><v>1</v><f>A1</f></c>')},
        (),
        (r"xl/worksheets/sheet1\.xml: Element 'f': This element is not expected\..*",),
    ),
    (
        "a part of no declared content type",
        {},
        [("xl/media/image1.emf", b"\x01\x00")],
        (r"xl/media/image1\.emf: no content type",),
    ),
    (
        "a sheet's relationship to a part that is not there",
        {"xl/_rels/workbook.xml.rels": swap(b'Target="worksheets/sheet2.xml"', b'Target="worksheets/sheet9.xml"')},
        (),
        (r"xl/_rels/workbook\.xml\.rels: rId2 points at worksheets/sheet9\.xml, which is not in the package",),
    ),
    (
        "the styles' content type twice",
        {TYPES: swap(b"</Types>", b'<Override PartName="/xl/Styles.xml" ContentType="application/xml"/></Types>')},
        (),
        (r"\[Content_Types\]\.xml: 2 Overrides for /xl/styles\.xml",),
    ),
    (
        "one part under two names",
        {},
        [("XL/styles.xml", STYLES)],
        (r"xl/styles\.xml: part twice \(2 zip entries\)",),
    ),
    (
        "a part name with a .. segment",
        {},
        [("xl/../styles.xml", b"<x/>")],
        (r"xl/\.\./styles\.xml: part name with .*dot.*",),
    ),
    (
        "a worksheet typed as styles",
        {
            TYPES: swap(
                b'sheet2.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"',
                b'sheet2.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"',
            )
        },
        (),
        (
            r"xl/_rels/workbook\.xml\.rels: rId2 relates xl/worksheets/sheet2\.xml as worksheet, but it is typed .*styles\+xml",
            r"xl/worksheets/sheet2\.xml: a worksheet where its content type says styleSheet",
        ),
    ),
    (
        "a link longer than Excel takes",
        {
            "xl/worksheets/_rels/sheet1.xml.rels": swap(
                b"</Relationships>",
                b'<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink" '
                b'Target="https://patents.google.com/?q=' + b"x" * 2_050 + b'" TargetMode="External"/></Relationships>',
            )
        },
        (),
        (r"xl/worksheets/_rels/sheet1\.xml\.rels: link rId2 2080 characters, over Excel's 2079",),
    ),
    (
        "a row higher than Excel allows",
        {SHEET: swap(b'<row r="1" spans="1:7" ht="13.5"', b'<row r="1" spans="1:7" ht="409.5"')},
        (),
        (r"xl/worksheets/sheet1\.xml: row 1 409\.5 points high, over Excel's 409",),
    ),
    (
        "a frozen pane's corner inside its frozen rows",
        {
            SHEET: swap(
                b'<sheetView workbookViewId="0">',
                b'<sheetView workbookViewId="0" topLeftCell="A16"><pane ySplit="2" topLeftCell="A3" state="frozen"/>',
            )
        },
        (),
        (r"xl/worksheets/sheet1\.xml: frozen pane's top left cell A3 inside the 2 rows and 0 columns frozen from A16",),
    ),
]


@pytest.mark.parametrize("edits, extra, found", [c[1:] for c in EXCEL_MADE], ids=[c[0] for c in EXCEL_MADE])
def test_a_fault_planted_in_an_excel_workbook_is_found_once(tmp_path, edits, extra, found):
    base = CORPUS / "sheets.xlsx"
    planted = rewritten(shutil.copy(base, tmp_path / "planted.xlsx"), edits, extra)
    new = referee.new_findings(planted, base)
    assert len(new) == len(found) and all(re.fullmatch(f, n) for f, n in zip(found, new)), new


TRANSITIONAL_SHEET = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
# (flavour, what goes inside the worksheet, edits of the other parts, what is found: None for nothing)
CONSUMER = [
    ("Strict elements in a Strict sheet", STRICT, '<sheetData><row r="1"/></sheetData>', None, None),
    (
        "a Transitional element in a Strict sheet",
        STRICT,
        f'<sheetData><row {TRANSITIONAL_SHEET} r="1"/></sheetData>',
        None,
        r"Element '\{http://schemas\.openxmlformats\.org/spreadsheetml/2006/main\}row': This element is not expected\..*",
    ),
    (
        "a Transitional relationship in a Strict package",
        STRICT,
        "<sheetData/>",
        {
            "xl/_rels/workbook.xml.rels": swap(
                b"http://purl.oclc.org/ooxml/officeDocument/relationships/worksheet",
                b"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet",
            )
        },
        r"xl/_rels/workbook\.xml\.rels: rId1 of the Transitional type \S+/worksheet in a Strict package",
    ),
    (
        "an ignorable namespace's element and attribute",
        TRANSITIONAL,
        f'<sheetData {MC} {FUTURE} mc:Ignorable="z"><row r="1" z:pitch="2"><z:note/></row></sheetData>',
        None,
        None,
    ),
    (
        "an element of a namespace not declared ignorable",
        TRANSITIONAL,
        f'<sheetData {MC} {FUTURE}><row r="1"><z:note/></row></sheetData>',
        None,
        r"Element '\{http://example\.com/a-later-excel\}note': This element is not expected\..*",
    ),
    (
        "an alternative for a later Excel, with a fallback",
        TRANSITIONAL,
        f'<sheetData {MC} {FUTURE}><mc:AlternateContent><mc:Choice Requires="z"><z:rows/></mc:Choice>'
        '<mc:Fallback><row r="1"/></mc:Fallback></mc:AlternateContent></sheetData>',
        None,
        None,
    ),
    (
        "an alternative whose fallback is out of place",
        TRANSITIONAL,
        f'<sheetData {MC} {FUTURE}><mc:AlternateContent><mc:Choice Requires="z"><z:rows/></mc:Choice>'
        '<mc:Fallback><dimension ref="A1"/></mc:Fallback></mc:AlternateContent></sheetData>',
        None,
        r"Element 'dimension': This element is not expected\..*",
    ),
    (
        "Excel's dateCompatibility, Strict",
        STRICT,
        "<sheetData/>",
        {"xl/workbook.xml": swap(b"<sheets>", b'<workbookPr dateCompatibility="0"/>' + b"<sheets>")},
        None,
    ),
    (
        "Excel's dateCompatibility, Transitional",
        TRANSITIONAL,
        "<sheetData/>",
        {"xl/workbook.xml": swap(b"<sheets>", b'<workbookPr dateCompatibility="1"/>' + b"<sheets>")},
        None,
    ),
    (
        "a dateCompatibility that is no boolean",
        TRANSITIONAL,
        "<sheetData/>",
        {"xl/workbook.xml": swap(b"<sheets>", b'<workbookPr dateCompatibility="maybe"/>' + b"<sheets>")},
        r"xl/workbook\.xml: Element 'workbookPr', attribute 'dateCompatibility': 'maybe' is not a valid value of the atomic type 'xs:boolean'\.",
    ),
]


@pytest.mark.parametrize("namespaces, sheet, edits, found", [c[1:] for c in CONSUMER], ids=[c[0] for c in CONSUMER])
def test_a_part_is_judged_as_a_consumer_of_its_flavour_reads_it(tmp_path, namespaces, sheet, edits, found):
    base = hand_made(tmp_path / "base.xlsx", "<sheetData/>", namespaces=namespaces)
    planted = rewritten(hand_made(tmp_path / "planted.xlsx", sheet, namespaces=namespaces), edits or {})
    new = referee.new_findings(planted, base)
    if found is None:
        assert new == []
    else:
        (only,) = new
        assert re.fullmatch(rf"(xl/worksheets/sheet1\.xml: )?{found}", only) or re.fullmatch(found, only), only


def test_a_report_is_held_only_to_the_faults_its_template_did_not_have(tmp_path):
    damaged = CORPUS / "no_cell_ids.xlsx"  # a fileSharing password no schema allows
    report = rewritten(shutil.copy(damaged, tmp_path / "report.xlsx"), {}, [("xl/media/image1.emf", b"\x01")])
    assert problems(damaged) == [
        "xl/workbook.xml: Element 'fileSharing', attribute 'reservationPassword': "
        "'0' is not a valid value of the atomic type 'ST_UnsignedShortHex'."
    ]
    assert problems(report, damaged) == ["xl/media/image1.emf: no content type"]
