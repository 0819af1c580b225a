"""Reports written into users' templates (tests/corpus: Excel-made and
LibreOffice-made workbooks): the template kept whole, the table where the
user looks, and a real spreadsheet program opening the result."""

import collections
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

from lumivar.report import job, placement
from lumivar.report import template as template_module

import hostile
from report_checks import (
    STRICT,
    TRANSITIONAL,
    canonical,
    cell_texts,
    client_sheet,
    cut_in_print,
    hand_made,
    parts,
    problems,
    rewritten,
)
from support import digest, make_patents, make_request

CORPUS = Path(__file__).parent / "corpus"
CLIENT = ["序號", "公開號", "說明"]  # the client's columns for a list of numbers alone
TEMPLATES = sorted((CORPUS / "xlsx2csv").glob("*.xls*")) + sorted(CORPUS.glob("template-*.xlsx"))
# What the report may change or add; every other part comes through byte for byte.
OWN_PARTS = re.compile(
    r"\[Content_Types\]\.xml|xl/styles\.xml|xl/workbook\.xml|xl/_rels/workbook\.xml\.rels"
    r"|xl/worksheets/(_rels/)?sheet\d+\.xml(\.rels)?"
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


def sheet_names(path):
    """The workbook's sheets, in its order."""
    book = next(n for n in parts(path) if n.lower() == "xl/workbook.xml")
    return [s.get("name") for s in etree.fromstring(parts(path)[book]).iter("{*}sheet")]


@pytest.mark.parametrize("template", TEMPLATES, ids=lambda p: p.name)
def test_a_template_is_kept_whole_and_the_report_opens_on_the_table(template, tmp_path):
    before = digest(template)
    path, messages = report_from(template, tmp_path)
    assert digest(template) == before
    old, new = parts(template), parts(path)
    macros = {n for n in old if "vbaproject" in n.lower()}
    assert set(old) - set(new) == macros
    assert set(new) - set(old) <= {n for n in new if OWN_PARTS.fullmatch(n)}
    _, _, table, _ = client_sheet(new)
    for name, data in old.items():
        if name in macros or name == table or new[name] == data:
            continue
        assert OWN_PARTS.fullmatch(name), f"{name} changed"
        if name.endswith(".xml") and "worksheets/sheet" in name:
            # Another sheet differs only in no longer being selected with the table's.
            assert canonical(data, ["tabSelected"]) == canonical(new[name]), name
    # The template's sheets as they were, the detail sheet after them.
    names = sheet_names(path)
    assert names[:-1] == sheet_names(template) and names[-1].startswith("書目明細")
    rows, _ = table_sheet(path)
    header = next(r for r in rows if "公開號" in r)
    first = header.index("序號")
    assert [r[first + 1] for r in rows[rows.index(header) + 1 :][:3]] == ["EP1234567A1", "TWI123456B", "bad one"]
    detail = python_calamine.CalamineWorkbook.from_path(str(path)).get_sheet_by_name(names[-1]).to_python()
    head = next(r for r in detail if "標準公開號" in r)
    entries = [(r[head.index("序號")], r[head.index("標準公開號")]) for r in detail[detail.index(head) + 1 :]]
    assert entries == [(1, "EP1234567A1"), (2, "TWI123456B"), (3, "")]
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
    assert [c.value for c in sheet[11]][:3] == CLIENT
    assert sheet["B12"].hyperlink.target == "https://patents.google.com/patent/EP1234567A1"
    assert sheet.print_area == "'報告'!$A$1:$F$40"
    assert sheet.print_title_rows == "$11:$11" and sheet.freeze_panes == "A12"
    # The form's own widths stay.
    assert (sheet.column_dimensions["A"].width, sheet.column_dimensions["B"].width) == (6, 24)
    assert sheet.oddHeader.right.text == "機密" and sheet.oddFooter.center.text == "第 &P 頁，共 &N 頁"


def test_the_marker_cell_is_where_the_header_starts(tmp_path):
    path, messages = report_from(CORPUS / "template-marker.xlsx", tmp_path)
    sheet = openpyxl.load_workbook(path).active
    assert [c.value for c in sheet[7]][1:4] == CLIENT
    assert sheet["C8"].value == "EP1234567A1" and sheet["B11"].value is None
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
    assert [c.value for c in sheet[11]][:3] == CLIENT
    assert sheet["B13"].value == "TWI123456B"
    assert sheet["B13"].hyperlink.target == "https://patents.google.com/patent/TWI123456B"
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
                [
                    n.get("name").lower()
                    for n in etree.fromstring(p["xl/workbook.xml"]).iter("{*}definedName")
                    if n.get("localSheetId") == "0"
                ].count("_xlnm._filterdatabase")
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
                == [(str(n), str(n), True) for n in range(1, 4)] + [("4", "16384", False)]
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


def titled(titles):
    """A template whose sheet sets its own print titles."""
    name = (
        f'<definedNames><definedName name="_xlnm.Print_Titles" localSheetId="0">{titles}</definedName></definedNames>'
    )
    return {"xl/workbook.xml": lambda d: d.replace(b"</sheets>", b"</sheets>" + name.encode())}


@pytest.mark.parametrize(
    "sheet, titles, printed, note",
    [
        ("<sheetData/>", "'表'!$1:$2", "'表'!$1:${h}", None),
        ("<sheetData/>", "表!$A:$A,表!$1:$1", "表!$A:$A,表!$1:${h}", None),  # its columns kept as they are
        ("<sheetData/>", "'表'!#REF!", "'表'!${h}:${h}", None),
        ("<sheetData/>", "'表'!$A$1:$AMJ$2", "'表'!$1:${h}", None),  # whole rows as LibreOffice once wrote them
        (
            '<sheetData><row r="20"><c r="A20" t="inlineStr"><is><t>附註</t></is></c></row></sheetData>',
            "'表'!$1:$2",
            "'表'!${h}:${h}",
            "範本的列印標題 (第 1–2 列) 離檢索結果的標題列太遠，無法一起在每頁重複；每頁改為重複第 {h} 列 (檢索結果的標題列)",
        ),
    ],
    ids=["title rows", "title columns too", "broken", "to column AMJ", "far above the table"],
)
def test_the_templates_print_titles_take_the_tables_header(tmp_path, sheet, titles, printed, note):
    template = rewritten(hand_made(tmp_path / "t.xlsx", sheet), titled(titles))
    path, messages = report_from(template, tmp_path)
    header = next(int(ref[1:]) for ref, text in cell_texts(path).items() if text == "序號")
    names = etree.fromstring(parts(path)["xl/workbook.xml"]).iter("{*}definedName")
    assert [n.text for n in names if n.get("name") == "_xlnm.Print_Titles" and n.get("localSheetId") == "0"] == [
        printed.format(h=header)
    ]
    assert [m for m in messages if "列印標題" in m] == ([note.format(h=header)] if note else [])
    assert problems(path) == []


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
        '<cols><col min="1" max="2" width="5" customWidth="1"/><col min="3" max="3" width="40" customWidth="1"/></cols>'
    )
    template = rewritten(hand_made(tmp_path / "t.xlsx", "<sheetData/>"), footer_and_cols("&amp;L事務所", cols))
    path, messages = report_from(template, tmp_path, ("US 2020/0123456 A1", "DE 10 2019 123 456 A1", "x"))
    assert "範本中 A、B 欄較窄，其中的號碼或字詞無法換行，已加寬以完整顯示" in messages
    assert cut_in_print(path) == []
    widths = {
        int(c.get("min")): float(c.get("width"))
        for c in etree.fromstring(parts(path)["xl/worksheets/sheet1.xml"]).iter("{*}col")
    }
    assert widths[3] == 40  # wide enough already: the template's own width


SML = "application/vnd.openxmlformats-officedocument.spreadsheetml"
RELS = "application/vnd.openxmlformats-package.relationships+xml"
TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
OVERRIDES = {  # every part of hand_made's package, named one by one
    "/_rels/.rels": RELS,
    "/xl/_rels/workbook.xml.rels": RELS,
    "/xl/workbook.xml": f"{SML}.sheet.main+xml",
    "/xl/worksheets/sheet1.xml": f"{SML}.worksheet+xml",
}


def content_types(overrides, defaults=()):
    entries = [f'<Default Extension="{e}" ContentType="{t}"/>' for e, t in defaults]
    entries += [f'<Override PartName="{n}" ContentType="{t}"/>' for n, t in overrides.items()]
    return lambda _: f'<Types xmlns="{TYPES}">{"".join(entries)}</Types>'.encode()


def typed(path):
    """Each part → the content types its package gives it: its Overrides, else its extension's Default."""
    found = parts(path)
    types = etree.fromstring(found["[Content_Types].xml"])
    defaults = {d.get("Extension").lower(): d.get("ContentType") for d in types.iter("{*}Default")}
    overrides = collections.defaultdict(list)
    for entry in types.iter("{*}Override"):
        overrides[entry.get("PartName").lower()].append(entry.get("ContentType"))
    return {
        name: overrides.get("/" + name.lower()) or [defaults[e] for e in [name.rsplit(".", 1)[-1]] if e in defaults]
        for name in found
        if name != "[Content_Types].xml"
    }


@pytest.mark.parametrize(
    "types",
    [
        None,
        content_types(OVERRIDES),  # as LibreOffice 5 writes them: no Default at all
        content_types(
            {**OVERRIDES, "/xl/styles.xml": f"{SML}.styles+xml"}, [("rels", RELS), ("xml", "application/xml")]
        ),
    ],
    ids=["defaults", "overrides only", "declares the styles it lacks"],
)
@pytest.mark.parametrize("namespaces", [TRANSITIONAL, STRICT], ids=["transitional", "strict"])
def test_every_part_the_report_adds_has_one_content_type(tmp_path, types, namespaces):
    template = hand_made(tmp_path / "t.xlsx", "<sheetData/>", namespaces=namespaces)
    if types:
        template = rewritten(template, {"[Content_Types].xml": types})
    path, _ = report_from(template, tmp_path)
    kinds = typed(path)
    added = {"xl/styles.xml": [f"{SML}.styles+xml"], "xl/worksheets/_rels/sheet1.xml.rels": [RELS]}
    assert {name: kinds[name] for name in added} == added
    assert {name: k for name, k in kinds.items() if len(k) != 1 and name not in parts(template)} == {}
    assert problems(path) == []


STRICT_STYLES = (
    f'<styleSheet xmlns="{STRICT[0]}"><fonts count="1"><font><sz val="11"/></font></fonts>'
    '<fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill>'
    '</fills><borders count="1"><border><start/><end/><top/><bottom/><diagonal/></border></borders>'
    '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
    '<cellXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/></cellXfs></styleSheet>'
)


def with_own_styles(template):
    """The Strict template with a style sheet of its own."""
    rel = f'<Relationship Id="rId9" Type="{STRICT[1]}/styles" Target="styles.xml"/></Relationships>'
    return rewritten(
        template,
        {
            "xl/_rels/workbook.xml.rels": lambda d: d.replace(b"</Relationships>", rel.encode()),
            "[Content_Types].xml": content_types({**OVERRIDES, "/xl/styles.xml": f"{SML}.styles+xml"}),
        },
        [("xl/styles.xml", STRICT_STYLES.encode())],
    )


@pytest.mark.parametrize("own_styles", [False, True], ids=["styles added", "its own styles"])
def test_a_strict_template_gets_strict_parts(tmp_path, own_styles):
    template = rewritten(
        hand_made(tmp_path / "t.xlsx", "<sheetData/>", namespaces=STRICT),
        {"[Content_Types].xml": content_types(OVERRIDES)},
    )
    path, _ = report_from(with_own_styles(template) if own_styles else template, tmp_path)
    found = parts(path)
    styles = etree.fromstring(found["xl/styles.xml"])
    assert {etree.QName(e).namespace for e in styles.iter() if isinstance(e.tag, str)} == {STRICT[0]}
    # Strict names a cell's sides start and end: left and right are the transitional form's.
    assert {etree.QName(side).localname for border in styles.iter("{*}border") for side in border} == {
        "start",
        "end",
        "top",
        "bottom",
        "diagonal",
    }
    relationships = [
        r.get("Type")
        for name in (
            "xl/_rels/workbook.xml.rels",
            "xl/worksheets/_rels/sheet1.xml.rels",
            "xl/worksheets/_rels/sheet2.xml.rels",
        )
        for r in etree.fromstring(found[name])
    ]
    # The workbook's sheets and styles, each sheet's two links: the detail sheet's too.
    assert len(relationships) == 7 and all(t.startswith(STRICT[1] + "/") for t in relationships)
    detail = etree.fromstring(found["xl/worksheets/sheet2.xml"])
    assert {etree.QName(e).namespace for e in detail.iter() if isinstance(e.tag, str)} == {STRICT[0]}
    assert problems(path) == []


def strings_part(prolog, encoding="utf-8"):
    return (
        f'<?xml version="1.0" encoding="{encoding}"?>{prolog}<sst xmlns="{TRANSITIONAL[0]}"><si><t>抬頭</t></si></sst>'
    ).encode(encoding)


DTD = '<!DOCTYPE sst [<!ENTITY secret SYSTEM "file:///etc/passwd">]>'


# A part's prolog (what comes before its root element): refused when it declares a DTD, however it hides it.
@pytest.mark.parametrize(
    "part, data, refused",
    [
        ("xl/sharedStrings.xml", strings_part(DTD), True),
        (
            "xl/sharedStrings.xml",
            strings_part("<!-- 注 -->\n<?app x?>\n" + DTD.replace("sst [", "sst PUBLIC 'x' 'y' [")),
            True,
        ),
        ("xl/sharedStrings.xml", b"\xff\xfe" + strings_part("<!-- 注 -->" + DTD, "utf-16-le"), True),
        ("xl/sharedStrings.xml", strings_part(DTD, "utf-16-be"), True),  # no byte order mark
        ("customXml/item1.xml", b'<!DOCTYPE r SYSTEM "http://a.example/r.dtd"><r/>', True),  # a part nobody parses
        ("customXml/item1.xml", b"<!--" + b"x" * 70_000 + b"--><r/>", True),  # no package part's prolog is this long
        ("customXml/item1.xml", b'<?xml version="1.0" encoding="UTF-7"?><r/>', True),  # OPC allows UTF-8 and UTF-16
        ("customXml/item1.xml", b"<?xml version='1.0'?><!--" + b"x" * 30_000 + b"--><r/>", False),
        ("customXml/item1.xml", b"<!--" + b"x" * 4_087 + b"--><!-- -->" + b"<r/>", False),  # "<!" ends the first read
        ("xl/sharedStrings.xml", strings_part("<!--" + "注" * 5_000 + "-->", "utf-16"), False),
        ("xl/media/image1.png", b"\x89PNG\r\n\x1a\n" + b"<!DOCTYPE" * 10, False),
    ],
    ids=[
        "external entity",
        "after a comment and an instruction",
        "UTF-16",
        "UTF-16 without its mark",
        "unparsed part",
        "prolog past 64 KB",
        "UTF-7",
        "a long comment",
        "a comment at the end of a read",
        "long UTF-16 comment",
        "a picture",
    ],
)
def test_a_part_declaring_a_dtd_makes_the_template_damaged(tmp_path, part, data, refused):
    template = hand_made(
        tmp_path / "t.xlsx", '<sheetData><row r="1"><c r="A1" t="s"><v>0</v></c></row></sheetData>', "<si/>"
    )
    template = rewritten(template, {part: lambda _: data}, [] if part == "xl/sharedStrings.xml" else [(part, data)])
    messages = []
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    path = job.handle_request(make_request(patents, template=template), messages.append, folder=tmp_path / "out")
    assert (path is None) == refused, messages
    assert (messages[-2] == f"範本檔案已損壞，無法開啟: {template}") == refused


def test_shared_strings_are_read_in_one_light_pass_and_too_many_refused(tmp_path, monkeypatch):
    # The marker far past the texts kept for a header; the header's own name among them, in runs.
    monkeypatch.setattr(placement, "HEADER_STRINGS", 3)
    made = hostile.shared_strings_template(7, item="<si><r><rPr><b/></rPr><t>狀態</t></r></si>")(tmp_path, None)
    header = b'<c r="C2" t="s"><v>1</v></c></row>'
    template = rewritten(made, {"xl/worksheets/sheet1.xml": lambda d: d.replace(b"</row>", header)})
    _, messages = report_from(template, tmp_path)
    assert any(m.startswith("範本的表頭沒有「公開號」欄") for m in messages)  # its header read: it names 狀態 alone
    monkeypatch.setattr(template_module, "MAX_SHEET", 100)
    messages = []
    patents = make_patents(tmp_path / "q.xlsx", ["EP1234567A1"])
    assert (
        job.handle_request(make_request(patents, template=template), messages.append, folder=tmp_path / "out") is None
    )
    assert messages[-2] == f"檔案過大或內容異常: 範本檔案中的文字超過 0 MB: {template}"


@pytest.mark.parametrize(
    "view, top, pane",
    [
        ("", None, "A6"),
        (' topLeftCell="A16"', "A1", "A6"),
        (' topLeftCell="C16"', "C1", "C6"),
        (' topLeftCell="C3"', "C1", "C6"),
    ],
    ids=["not scrolled", "scrolled below the header", "scrolled right and down", "scrolled into the header"],
)
def test_the_frozen_rows_are_the_header_and_those_above_it_however_the_template_was_scrolled(tmp_path, view, top, pane):
    sheet = f'<sheetViews><sheetView workbookViewId="0"{view}/></sheetViews><sheetData/>'
    path, _ = report_from(hand_made(tmp_path / "t.xlsx", sheet), tmp_path)
    written = etree.fromstring(parts(path)["xl/worksheets/sheet1.xml"]).find("{*}sheetViews/{*}sheetView")
    frozen = written.find("{*}pane")
    assert (written.get("topLeftCell"), frozen.get("ySplit"), frozen.get("topLeftCell")) == (top, "5", pane)
    assert problems(path) == []


def flagged(flag: int = 0, method: int | None = None):
    """A zip's entries marked encrypted (flag 1), or packed by a method no reader knows."""

    def edit(path):
        data = bytearray(path.read_bytes())
        for signature, at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
            i = data.find(signature)
            while i >= 0:
                data[i + at] |= flag
                if method is not None:
                    data[i + at + 2 : i + at + 4] = method.to_bytes(2, "little")
                i = data.find(signature, i + 4)
        path.write_bytes(bytes(data))
        return path

    return edit


@pytest.mark.parametrize("edit", [flagged(flag=1), flagged(method=99)], ids=["encrypted", "unknown method"])
def test_a_template_whose_parts_cannot_be_read_is_damaged(tmp_path, edit):
    template = edit(hand_made(tmp_path / "t.xlsx", "<sheetData/>"))
    messages = []
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    assert (
        job.handle_request(make_request(patents, template=template), messages.append, folder=tmp_path / "out") is None
    )
    assert messages[-2] == f"範本檔案已損壞，無法開啟: {template}"
