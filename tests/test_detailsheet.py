"""The detail sheet (書目明細): every entry with every detail beside the
client's table, in a new workbook and in a template, clashing with nothing
of the template's."""

from datetime import datetime
from pathlib import Path

import pytest
from lxml import etree

from lumivar.report import job, ooxml

from report_checks import cell_texts, client_sheet, hand_made, parts, problems, rewritten
from support import make_request

CORPUS = Path(__file__).parent / "corpus"
LIST = (
    "公開號,類別,自訂欄\n"
    "US 2020/0123456 A1,X,甲\n"
    "TW I 123456 B,A,乙\n"
    "bad one,,丙\n"
    "US2020123456A1,Y,丁\n"  # the first one again, as the data source writes it
)


def report(tmp_path, template=""):
    (tmp_path / "p.csv").write_text(LIST, encoding="utf-8")
    messages = []
    path = job.make_report(
        make_request(tmp_path / "p.csv", template=template),
        messages.append,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path / "out",
    )
    return path, messages


def sheets(package):
    """(name, part, root) of each sheet of a report, in the workbook's order."""
    _, _, _, book = client_sheet(package)
    rels = {r.get("Id"): r.get("Target") for r in etree.fromstring(package["xl/_rels/workbook.xml.rels"])}
    found = []
    for sheet in book.iter("{*}sheet"):
        target = rels[next(v for k, v in sheet.attrib.items() if k.endswith("}id"))]
        part = target.lstrip("/") if target.startswith("/") else "xl/" + target
        found.append((sheet.get("name"), part, etree.fromstring(package[part])))
    return found


def rows_of(package, part):
    """Row number → [(column, text)] of a sheet's cells that hold something."""
    found = {}
    for ref, text in cell_texts(package, part).items():
        row, column = next(ooxml.ranges(ref))[:2]
        found.setdefault(row, []).append((column, text))
    return {row: sorted(cells) for row, cells in found.items()}


@pytest.mark.parametrize("template", ["", CORPUS / "template-marker.xlsx"], ids=["new workbook", "template"])
def test_the_detail_sheet_holds_every_entry_beside_the_clients_table(tmp_path, template):
    path, messages = report(tmp_path, template)
    package = parts(path)
    index, _, client_part, book = client_sheet(package)
    listed = sheets(package)
    name, part, detail = listed[-1]
    assert name == "書目明細"
    # Opens on the client's table, no other sheet selected with it.
    views = [(p, root.find("{*}sheetViews/{*}sheetView")) for _, p, root in listed]
    assert [p for p, view in views if view is not None and view.get("tabSelected") in ("1", "true")] == [client_part]
    # The bookkeeping at the head, a blank row, the header frozen, filtered and printed on every page.
    rows = rows_of(package, part)
    header = min(r for r, cells in rows.items() if ("序號" in dict(cells).values()))
    assert sorted(r for r in rows if r < header) == list(range(1, header - 1))
    names = {t for _, t in rows[header]}
    assert {"序號", "標準公開號", "國別", "號碼", "種類", "類別", "自訂欄"} <= names
    assert detail.find("{*}sheetViews/{*}sheetView/{*}pane").get("ySplit") == str(header)
    last = header + 4
    area = detail.find("{*}autoFilter").get("ref")
    assert next(ooxml.ranges(area))[::2] == (header, last)
    defined = {(n.get("name"), n.get("localSheetId")): n.text for n in book.iter("{*}definedName")}
    at = str(len(listed) - 1)
    assert defined[("_xlnm._FilterDatabase", at)] == f"'書目明細'!{ooxml.absolute_ref(area)}"
    assert defined[("_xlnm.Print_Titles", at)] == f"'書目明細'!$A:$A,'書目明細'!${header}:${header}"
    assert ("_xlnm.Print_Titles", str(index)) in defined
    # One row an entry, the client's 序號 for the same document, every value of the list under its header.
    head = {column: text for column, text in rows[header]}
    by = {text: column for column, text in head.items()}
    entries = [dict(rows[r]) for r in range(header + 1, last + 1)]
    assert sorted(e.get(by["自訂欄"]) for e in entries) == sorted("甲乙丙丁")
    client = rows_of(package, client_part)
    client_header = min(r for r, cells in client.items() if "公開號" in dict(cells).values())
    client_by = {text: column for column, text in client[client_header]}
    shown = {
        dict(cells).get(client_by["序號"]): dict(cells).get(client_by["公開號"])
        for r, cells in client.items()
        if r > client_header and dict(cells).get(client_by["序號"], "").isdigit()
    }
    assert {e[by["序號"]]: e.get(by["標準公開號"]) or e[by["公開號"]] for e in entries} == shown
    # The report's styles: the detail's header looks as the client's does.
    styles = etree.fromstring(package["xl/styles.xml"])
    xfs = len(styles.find("{*}cellXfs"))
    assert all(int(c.get("s", 0)) < xfs for c in detail.iter("{*}c"))
    client_root = etree.fromstring(package[client_part])

    def header_style(root, row):
        return {
            c.get("s") for c in root.iter("{*}c") if c.get("r", "").endswith(f"{row}") and c.find("{*}is") is not None
        }

    assert header_style(detail, header) & header_style(client_root, client_header)
    assert problems(path) == []


def with_detail_named(data):
    """A workbook whose second sheet is already called 書目明細, its part
    named in capitals, with a name left for a third sheet it does not have."""
    return data.replace(
        b"</sheets>",
        '<sheet name="書目明細" sheetId="7" r:id="rIdLumivarDetail"/></sheets><definedNames>'
        '<definedName name="_xlnm._FilterDatabase" localSheetId="2" hidden="1">\'x\'!$A$1:$A$2</definedName>'
        "</definedNames>".encode(),
    )


def test_the_detail_sheet_clashes_with_nothing_of_the_template(tmp_path):
    template = rewritten(
        hand_made(tmp_path / "t.xlsx", "<sheetData/>"),
        {
            "xl/workbook.xml": with_detail_named,
            "xl/_rels/workbook.xml.rels": lambda d: d.replace(
                b"</Relationships>",
                b'<Relationship Id="rIdLumivarDetail" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
                b'relationships/worksheet" Target="worksheets/Sheet2.xml"/></Relationships>',
            ),
        },
        [
            (
                "xl/worksheets/Sheet2.xml",
                b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
                b"<sheetData/></worksheet>",
            ),
            (
                "xl/worksheets/_rels/sheet3.xml.rels",
                b'<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"/>',
            ),
        ],
    )
    path, _ = report(tmp_path, template)
    package = parts(path)
    assert [(name, part) for name, part, _ in sheets(package)] == [
        ("表", "xl/worksheets/sheet1.xml"),
        ("書目明細", "xl/worksheets/Sheet2.xml"),
        ("書目明細 (2)", "xl/worksheets/sheet4.xml"),
    ]
    book = etree.fromstring(package["xl/workbook.xml"])
    ours = book.findall("{*}sheets/{*}sheet")[-1]
    assert ours.get("sheetId") == "8" and "rIdLumivarDetail2" in ours.attrib.values()
    # The name the template left for a sheet it lacks gives way to the detail sheet's own.
    assert {
        n.get("name"): n.text.split("!")[0] for n in book.iter("{*}definedName") if n.get("localSheetId") == "2"
    } == {
        "_xlnm._FilterDatabase": "'書目明細 (2)'",
        "_xlnm.Print_Titles": "'書目明細 (2)'",
    }
    assert package["xl/worksheets/Sheet2.xml"] == parts(template)["xl/worksheets/Sheet2.xml"]
    assert problems(path) == []
