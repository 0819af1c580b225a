"""Reports written into users' templates (tests/corpus: Excel-made and
LibreOffice-made workbooks): the template kept whole, the table where the
user looks, and a real spreadsheet program opening the result."""

import os
import re
import shutil
import subprocess
import zipfile
from datetime import datetime
from pathlib import Path

import openpyxl
import pytest
import python_calamine
from lxml import etree

from lumivar.report import job, layout

from report_checks import canonical, cut_in_print, hand_made, parts, problems, rewritten
from support import digest, make_patents, make_request

CORPUS = Path(__file__).parent / "corpus"
TEMPLATES = sorted((CORPUS / "xlsx2csv").glob("*.xls*")) + sorted(CORPUS.glob("template-*.xlsx"))
# What the table may change; every other part comes through byte for byte.
OWN_PARTS = re.compile(
    r"\[Content_Types\]\.xml|xl/styles\.xml|xl/workbook\.xml|xl/worksheets/(_rels/)?sheet\d+\.xml(\.rels)?"
)


def report_from(template, tmp_path, numbers=("EP1234567A1", "TW I 123456 B", "bad one")):
    patents = make_patents(tmp_path / "p.xlsx", list(numbers))
    messages = []
    path = job.handle_request(
        make_request(patents, template=template),
        messages.append,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path / "out",
    )
    assert path is not None, messages
    return path, messages


def table_sheet(path):
    """The report's active sheet as calamine reads it, and its name."""
    book = python_calamine.CalamineWorkbook.from_path(str(path))
    with zipfile.ZipFile(path) as package:
        workbook = next(n for n in package.namelist() if n.lower() == "xl/workbook.xml")
        active = re.search(rb'activeTab="(\d+)"', package.read(workbook))
    index = int(active.group(1)) if active else 0
    return book.get_sheet_by_index(index).to_python(), book.sheet_names[index]


@pytest.mark.parametrize("template", TEMPLATES, ids=lambda p: p.name)
def test_a_template_is_kept_whole_and_the_report_opens_on_the_table(template, tmp_path):
    before = digest(template)
    path, messages = report_from(template, tmp_path)
    assert digest(template) == before
    old, new = parts(template), parts(path)
    macros = {n for n in old if "vbaproject" in n.lower()}
    assert set(old) - set(new) == macros
    assert set(new) - set(old) <= {n for n in new if OWN_PARTS.fullmatch(n)}
    tables = [n for n in new if "標準公開號".encode() in new[n] and "worksheets/sheet" in n]
    assert len(tables) == 1
    for name, data in old.items():
        if name in macros or name == tables[0] or new[name] == data:
            continue
        assert OWN_PARTS.fullmatch(name), f"{name} changed"
        if name.endswith(".xml") and "worksheets/sheet" in name:
            # Another sheet differs only in no longer being selected with the table's.
            assert canonical(data, ["tabSelected"]) == canonical(new[name]), name
    rows, _ = table_sheet(path)
    header = next(r for r in rows if "標準公開號" in r)
    first = header.index("序號")
    assert header[first : first + 7] == list(layout.HEADERS)
    body = rows[rows.index(header) + 1 :][:3]
    assert [r[first + 2] for r in body] == ["EP1234567A1", "TWI123456B", ""]
    assert any(m.startswith("範本含有巨集") for m in messages) == bool(macros)
    assert set(problems(path)) <= set(problems(template))  # none of ours
    if macros:
        assert b"macroEnabled" not in new["[Content_Types].xml"]


def test_the_letterhead_form_gets_its_table_below_its_content_and_inside_its_print_area(tmp_path):
    path, _ = report_from(CORPUS / "template-letterhead.xlsx", tmp_path)
    book = openpyxl.load_workbook(path)
    sheet = book.active
    assert (sheet.title, book["設定"].sheet_state) == ("報告", "hidden")
    assert (sheet["B1"].value, sheet["B5"].value) == ("澄光專利商標事務所", "本報告僅供委託人內部參考。")
    assert sheet["A7"].value == "製表日期：2024-05-06"
    assert [c.value for c in sheet[11]] == list(layout.HEADERS)
    assert sheet["C12"].hyperlink.target == "https://patents.google.com/patent/EP1234567A1"
    assert sheet.print_area == "'報告'!$A$1:$G$40"
    assert sheet.print_title_rows == "$11:$11" and sheet.freeze_panes == "A12"
    # The form's own widths stay; the table's other columns get fitted ones.
    assert (sheet.column_dimensions["A"].width, sheet.column_dimensions["B"].width) == (6, 24)
    assert sheet.column_dimensions["C"].width > 15
    assert sheet.oddHeader.right.text == "機密" and sheet.oddFooter.center.text == "第 &P 頁，共 &N 頁"


def test_the_marker_cell_is_where_the_header_starts(tmp_path):
    path, messages = report_from(CORPUS / "template-marker.xlsx", tmp_path)
    sheet = openpyxl.load_workbook(path).active
    assert [c.value for c in sheet[7]][1:8] == list(layout.HEADERS)
    assert sheet["D8"].value == "EP1234567A1" and sheet["B11"].value is None
    assert sheet["B12"].value == "製表日期：2024-05-06"  # the summary follows the table
    assert not any("蓋過" in m for m in messages)


def test_an_excel_template_file_gives_an_ordinary_workbook(tmp_path):
    book = openpyxl.Workbook()
    book.active["A1"] = "範本"
    book.template = True
    book.save(tmp_path / "t.xltx")
    path, _ = report_from(tmp_path / "t.xltx", tmp_path)
    types = parts(path)["[Content_Types].xml"]
    assert b"template.main+xml" not in types and b"sheet.main+xml" in types


def stray_cells(tmp_path, cells):
    path = tmp_path / "stray.xlsx"
    book = openpyxl.Workbook()
    for ref, value in cells:
        book.active[ref] = value
    book.save(path)
    return path


def test_far_and_last_row_templates(tmp_path):
    # Styled empty cells at the far corner do not count; a value in the last row leaves no room.
    far = stray_cells(tmp_path, [("A1", "抬頭"), ("XFD1", None), ("A2000", None)])
    book = openpyxl.load_workbook(far)
    book.active["XFD1"].font = openpyxl.styles.Font(bold=True)
    book.active["A2000"].font = openpyxl.styles.Font(bold=True)
    book.save(far)
    path, _ = report_from(far, tmp_path)
    assert openpyxl.load_workbook(path).active["A3"].value == "製表日期：2024-05-06"
    last = stray_cells(tmp_path, [("A1", "抬頭"), ("A1048576", "底")])
    messages = []
    assert (
        job.handle_request(
            make_request(make_patents(tmp_path / "q.xlsx", ["EP1234567A1"]), template=last),
            messages.append,
            folder=tmp_path / "out",
        )
        is None
    )
    assert messages[-2].startswith("檢索結果超出工作表的範圍 (最後一列 1,048,576)")


@pytest.mark.skipif(
    shutil.which("soffice") is None, reason="needs LibreOffice (.ci/run installs libreoffice-calc-nogui)"
)
def test_libreoffice_opens_the_report_with_its_table_and_links(tmp_path):
    path, _ = report_from(CORPUS / "template-letterhead.xlsx", tmp_path)
    out = tmp_path / "lo"
    # LibreOffice as a user runs it: not under the sanitizer runtime a test run may preload.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    done = subprocess.run(
        [
            "soffice",
            f"-env:UserInstallation=file://{tmp_path / 'profile'}",
            "--headless",
            "--convert-to",
            "xlsx:Calc MS Excel 2007 XML",
            "--outdir",
            str(out),
            str(path),
        ],
        capture_output=True,
        timeout=300,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    sheet = openpyxl.load_workbook(out / path.name).active  # as LibreOffice saves it again
    assert [c.value for c in sheet[11]] == list(layout.HEADERS)
    assert sheet["C13"].value == "TWI123456B"
    assert sheet["C13"].hyperlink.target == "https://patents.google.com/patent/TWI123456B"
    assert sheet["B1"].value == "澄光專利商標事務所"


def with_names(data):
    return data.replace(
        b"</sheets>",
        b'</sheets><definedNames><definedName name="_XLNM._FILTERDATABASE" '
        b'localSheetId="0" hidden="1">\'\xe8\xa1\xa8\'!$A$1:$A$2</definedName></definedNames>',
    )


SIGNED_RELS = (
    b'<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    b'<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
    b'officeDocument" Target="xl/workbook.xml"/><Relationship Id="rId9" Type="http://schemas.openxmlformats'
    b'.org/package/2006/relationships/digital-signature/origin" Target="_xmlsignatures/origin.sigs"/>'
    b"</Relationships>"
)
SIGNATURE = [
    ("_xmlsignatures/origin.sigs", b""),
    (
        "_xmlsignatures/_rels/origin.sigs.rels",
        b'<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship '
        b'Id="rId1" Type="http://schemas.openxmlformats.org/package/2006/relationships/digital-signature/'
        b'signature" Target="sig1.xml"/></Relationships>',
    ),
    ("_xmlsignatures/sig1.xml", b'<Signature xmlns="http://www.w3.org/2000/09/xmldsig#"/>'),
]


@pytest.mark.parametrize(
    "edits, extra, message, check",
    [
        # A name Excel reads as the filter's own, in capitals: ours is not added beside it.
        (
            {"xl/workbook.xml": with_names},
            (),
            None,
            lambda p: (
                [n.get("name").lower() for n in etree.fromstring(p["xl/workbook.xml"]).iter("{*}definedName")].count(
                    "_xlnm._filterdatabase"
                )
                == 1
            ),
        ),
        # A column range without a width, over the table's columns: split, never doubled.
        (
            {
                "xl/worksheets/sheet1.xml": lambda d: d.replace(
                    b"<sheetData/>", b'<cols><col min="1" max="16384" style="0"/></cols><sheetData/>'
                )
            },
            (),
            None,
            lambda p: (
                [
                    (c.get("min"), c.get("max"), c.get("width") is not None)
                    for c in etree.fromstring(p["xl/worksheets/sheet1.xml"]).iter("{*}col")
                ]
                == [(str(n), str(n), True) for n in range(1, 8)] + [("8", "16384", False)]
            ),
        ),
        # A signed template: the signature that no longer holds goes, and the user is told.
        (
            {"_rels/.rels": lambda d: SIGNED_RELS},
            SIGNATURE,
            "範本有數位簽章；加入檢索結果後簽章不再成立，檢索報告中已移除簽章",
            lambda p: not any(n.startswith("_xmlsignatures") for n in p) and b"origin" not in p["_rels/.rels"],
        ),
    ],
    ids=["filter name in capitals", "column range without width", "signed"],
)
def test_template_parts_excel_would_repair(tmp_path, edits, extra, message, check):
    template = rewritten(hand_made(tmp_path / "t.xlsx", "<sheetData/>"), edits, extra)
    path, messages = report_from(template, tmp_path)
    assert check(parts(path))
    assert (message in messages) if message else not any("簽章" in m for m in messages)
    assert problems(path) == []


def test_a_package_holding_one_name_twice_is_refused(tmp_path):
    with pytest.warns(UserWarning):  # zipfile's own word on a duplicate name
        template = rewritten(
            hand_made(tmp_path / "t.xlsx", "<sheetData/>"), {}, [("xl/worksheets/sheet1.xml", b"<worksheet/>")]
        )
    messages = []
    assert (
        job.handle_request(
            make_request(make_patents(tmp_path / "p.xlsx", ["EP1234567A1"]), template=template),
            messages.append,
            folder=tmp_path / "out",
        )
        is None
    )
    assert messages[-2] == f"範本檔案已損壞，壓縮檔中有同名的項目，無法開啟: {template}"


def footer_and_cols(footer, cols=""):
    """A template whose sheet has its own footer (and column widths)."""
    return {
        "xl/worksheets/sheet1.xml": lambda d: d.replace(
            b"<sheetData/>", f"{cols}<sheetData/><headerFooter><oddFooter>{footer}</oddFooter></headerFooter>".encode()
        )
    }


@pytest.mark.parametrize(
    "footer, printed, note",
    [
        ("&amp;L澄光專利商標事務所", "&L澄光專利商標事務所&C第 &P 頁，共 &N 頁", None),
        ("機密", "&C機密&R第 &P 頁，共 &N 頁", None),  # text before any section is the centre's
        ("&amp;C&amp;P / &amp;N", "&C&P / &N", None),  # numbered already
        ("&amp;L甲&amp;C乙&amp;R丙", "&L甲&C乙&R丙", "範本頁尾的左、中、右三處都已有文字，未加上頁碼"),
    ],
    ids=["firm name", "uncoded text", "numbered", "all sections"],
)
def test_every_printed_page_is_numbered_where_the_footer_leaves_room(tmp_path, footer, printed, note):
    template = rewritten(hand_made(tmp_path / "t.xlsx", "<sheetData/>"), footer_and_cols(footer))
    path, messages = report_from(template, tmp_path)
    assert etree.fromstring(parts(path)["xl/worksheets/sheet1.xml"]).findtext("{*}headerFooter/{*}oddFooter") == printed
    assert (note in messages) if note else not any("頁碼" in m for m in messages)


def test_narrow_preset_widths_are_widened_so_nothing_is_cut(tmp_path):
    cols = (
        '<cols><col min="1" max="5" width="5" customWidth="1"/><col min="6" max="6" width="40" customWidth="1"/></cols>'
    )
    template = rewritten(hand_made(tmp_path / "t.xlsx", "<sheetData/>"), footer_and_cols("&amp;L事務所", cols))
    path, messages = report_from(template, tmp_path, ("US 2020/0123456 A1", "DE 10 2019 123 456 A1", "x"))
    assert "範本中 A、B、C、D、E 欄較窄，已加寬以完整顯示檢索結果" in messages
    assert cut_in_print(path) == []
    widths = {
        int(c.get("min")): float(c.get("width"))
        for c in etree.fromstring(parts(path)["xl/worksheets/sheet1.xml"]).iter("{*}col")
    }
    assert widths[6] == 40  # wide enough already: the template's own width
