"""The outside referee (referee.py) that every report the tests make goes
through: Excel's and LibreOffice's own workbooks pass it, and each kind of
fault planted in one is found, once, in the part it was planted in, with
each edition of ECMA-376's schemas at hand and with none."""

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

# The editions the referee can judge with here: the one it chose, the 1st
# when it was fetched beside a 5th, and none (package rules and Excel's limits).
FETCHED = [referee.first_edition(referee.FIRST_EDITION)] if (referee.FIRST_EDITION / "ooxml-xsds").is_dir() else []
EDITIONS = list(dict.fromkeys([referee.edition(), *FETCHED, referee.Edition("")]))
# The cases below that only a schema judges (of the flavour of their package).
BY_SCHEMA = {
    "a cell's formula after its value",
    "Strict elements in a Strict sheet",
    "a Transitional element in a Strict sheet",
    "an ignorable namespace's element and attribute",
    "an element of a namespace not declared ignorable",
    "an alternative for a later Excel, with a fallback",
    "an alternative whose fallback is out of place",
    "Excel's dateCompatibility, Strict",
    "Excel's dateCompatibility, Transitional",
    "a dateCompatibility that is no boolean",
}


@pytest.fixture(params=EDITIONS, ids=lambda e: e.name or "none")
def edition(request, monkeypatch):
    """The referee judging with one edition of the schemas, or with none."""
    monkeypatch.setattr(referee, "edition", lambda: request.param)
    return request.param


def judged_by(flavour, case=None):
    """Skips a case only `flavour`'s schema judges when the edition at hand has none."""
    if (case is None or case in BY_SCHEMA) and flavour not in referee.schemas():
        pytest.skip(f"only a {flavour} schema judges this; judging with {referee.edition()}")


def swap(old, new):
    """An edit of a part's bytes: `old` (which must be there) becomes `new`."""

    def edit(data):
        assert old in data, old
        return data.replace(old, new, 1)

    return edit


@pytest.mark.parametrize("name", CLEAN)
def test_workbooks_that_excel_and_libreoffice_wrote_pass(edition, name):
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


@pytest.mark.parametrize("case, edits, extra, found", EXCEL_MADE, ids=[c[0] for c in EXCEL_MADE])
def test_a_fault_planted_in_an_excel_workbook_is_found_once(tmp_path, edition, case, edits, extra, found):
    judged_by("transitional", case)
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

assert BY_SCHEMA <= {c[0] for c in EXCEL_MADE + CONSUMER}


@pytest.mark.parametrize("case, namespaces, sheet, edits, found", CONSUMER, ids=[c[0] for c in CONSUMER])
def test_a_part_is_judged_as_a_consumer_of_its_flavour_reads_it(
    tmp_path, edition, case, namespaces, sheet, edits, found
):
    judged_by("strict" if namespaces == STRICT else "transitional", case)
    base = hand_made(tmp_path / "base.xlsx", "<sheetData/>", namespaces=namespaces)
    planted = rewritten(hand_made(tmp_path / "planted.xlsx", sheet, namespaces=namespaces), edits or {})
    new = referee.new_findings(planted, base)
    if found is None:
        assert new == []
    else:
        (only,) = new
        assert re.fullmatch(rf"(xl/worksheets/sheet1\.xml: )?{found}", only) or re.fullmatch(found, only), only


def test_a_report_is_held_only_to_the_faults_its_template_did_not_have(tmp_path):
    judged_by("transitional")
    damaged = CORPUS / "no_cell_ids.xlsx"  # a fileSharing password no schema allows
    report = rewritten(shutil.copy(damaged, tmp_path / "report.xlsx"), {}, [("xl/media/image1.emf", b"\x01")])
    assert problems(damaged) == [
        "xl/workbook.xml: Element 'fileSharing', attribute 'reservationPassword': "
        "'0' is not a valid value of the atomic type 'ST_UnsignedShortHex'."
    ]
    assert problems(report, damaged) == ["xl/media/image1.emf: no content type"]


# (what is at hand, the folder SCHEMAS_VARIABLE names, the edition chosen:
# its name, folder and flavours; None: refused)
CHOICES = [
    (
        "the 5th edition here before shared/'s and the 1st",
        ("here/strict/sml.xsd", "shared/strict/sml.xsd", "built/ooxml-xsds/sml-sheet.xsd"),
        None,
        ("5th", "here", ["transitional", "strict", "opc"]),
    ),
    (
        "the 5th edition in shared/ before the 1st",
        ("here/transitional/sml.xsd", "shared/strict/sml.xsd", "built/ooxml-xsds/sml-sheet.xsd"),
        None,
        ("5th", "shared", ["transitional", "strict", "opc"]),
    ),
    (
        "the 1st edition without a 5th",
        ("built/ooxml-xsds/sml-sheet.xsd",),
        None,
        ("1st", "built", ["transitional", "opc"]),
    ),
    ("nothing where it is looked for", ("built/sml-sheet.xsd", "here/sml.xsd"), None, ("", None, [])),
    (
        "a 1st edition named",
        ("here/strict/sml.xsd", "named/ooxml-xsds/sml-sheet.xsd"),
        "named",
        ("1st", "named", ["transitional", "opc"]),
    ),
    (
        "its ooxml-xsds named",
        ("here/strict/sml.xsd", "named/sml-sheet.xsd"),
        "named",
        ("1st", "named", ["transitional", "opc"]),
    ),
    ("a 5th edition named", ("named/strict/sml.xsd",), "named", ("5th", "named", ["transitional", "strict", "opc"])),
    ("a folder named that has none", ("here/strict/sml.xsd", "named/sml.xsd"), "named", None),
]


@pytest.mark.parametrize("at_hand, named, chosen", [c[1:] for c in CHOICES], ids=[c[0] for c in CHOICES])
def test_the_schemas_come_from_the_first_place_that_has_them(tmp_path, monkeypatch, at_hand, named, chosen):
    for name in at_hand:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).touch()
    monkeypatch.delenv(referee.SCHEMAS_VARIABLE, raising=False)
    if named:
        monkeypatch.setenv(referee.SCHEMAS_VARIABLE, str(tmp_path / named))

    def locate():
        return referee.locate(fifth=(tmp_path / "here", tmp_path / "shared"), first=tmp_path / "built")

    if chosen is None:
        with pytest.raises(referee.SchemasMissing, match=referee.SCHEMAS_VARIABLE):
            locate()
        return
    found = locate()
    name, folder, flavours = chosen
    assert (found.name, found.folder, [f for f, _, _ in found.flavours]) == (
        name,
        folder and tmp_path / folder,
        flavours,
    )
    # The 1st edition's files, whether its own folder or the one above was found.
    assert all((where / "sml-sheet.xsd").is_file() for _, where, _ in found.flavours if name == "1st")
