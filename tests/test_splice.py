"""Template rows merged by the parser: whatever the template's XML holds
comes through, and the report's rows land in their places."""

from datetime import datetime

import pytest
from lxml import etree

from lumivar.report import job

from report_checks import STRICT, TRANSITIONAL, cell_texts, hand_made, parts, problems, rewritten
from support import make_patents, make_request

HEAD = '<c r="A1" t="inlineStr"><is><t>抬頭</t></is></c>'
MARK = '<c r="B3" t="inlineStr"><is><t>{{檢索結果}}</t></is></c>'
BESIDE = '<c r="J3" t="inlineStr"><is><t>{}</t></is></c>'  # in the marker's row, right of the table


def rows(beside, between=""):
    return f'<sheetData><row r="1">{HEAD}</row>{between}<row r="3">{MARK}{beside}</row></sheetData>'


CASES = {  # name: (sheet data, the text J3 shows)
    "comment holding a row": (rows(BESIDE.format("旁"), '<!-- <row r="9"> -->'), "旁"),
    "CDATA holding </c>": (rows(BESIDE.format("<![CDATA[旁</c>注]]>")), "旁</c>注"),
    "attribute holding >": (rows(BESIDE.format("旁").replace("<c ", '<c xmlns:n="urn:note" n:note="a>b" ')), "旁"),
    "instruction in a row": (rows(BESIDE.format("旁") + "<?lumivar-test keep?>"), "旁"),
    "rows without numbers": (
        f"<sheetData><row>{HEAD}</row><row/><row>{MARK}{BESIDE.format('旁')}</row></sheetData>",
        "旁",
    ),
}


def prefixed(content, prefix):
    """The same XML with the sheet's elements in `prefix` (text that reads like them too)."""
    if not prefix:
        return content
    content = content.replace("<sheetData", "<x:sheetData").replace("</sheetData", "</x:sheetData")
    for tag in ("row", "c", "is", "t", "r"):
        content = content.replace(f"<{tag}>", f"<x:{tag}>").replace(f"<{tag} ", f"<x:{tag} ")
        content = content.replace(f"</{tag}>", f"</x:{tag}>").replace(f"<{tag}/>", f"<x:{tag}/>")
    return content


@pytest.mark.parametrize("name", CASES)
@pytest.mark.parametrize(
    "namespaces, prefix",
    [(TRANSITIONAL, ""), (TRANSITIONAL, "x:"), (STRICT, "")],
    ids=["transitional", "prefixed", "strict"],
)
def test_the_template_comes_through_and_the_table_lands_at_its_marker(tmp_path, name, namespaces, prefix):
    content, beside = CASES[name]
    template = hand_made(tmp_path / "t.xlsx", prefixed(content, prefix), namespaces=namespaces, prefix=prefix)
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "bad one"])
    messages = []
    path = job.handle_request(
        make_request(patents, template=template),
        messages.append,
        now=lambda: datetime(2024, 5, 6),
        folder=tmp_path / "out",
    )
    assert path is not None, messages
    cells = cell_texts(path)
    assert (cells["A1"], cells["J3"]) == ("抬頭", prefixed(beside, prefix))
    assert [cells.get(f"{c}3") for c in "BCDE"] == ["序號", "公開號", "說明", None]
    assert (cells["C4"], cells["D5"], cells["B7"]) == ("EP1234567A1", "格式不符：不含號碼", "製表日期：2024-05-06")
    assert problems(path) == []


@pytest.mark.parametrize(
    "declared", [b"", b' xmlns:r="urn:lumivar:other"'], ids=["undeclared", "its r another namespace"]
)
@pytest.mark.parametrize("namespaces", [TRANSITIONAL, STRICT], ids=["transitional", "strict"])
def test_the_links_namespace_is_declared_once_at_the_sheets_root(tmp_path, declared, namespaces):
    # Gnumeric drops every link whose element declares the namespace of its own.
    root = f' xmlns:r="{namespaces[1]}"'.encode()
    template = rewritten(
        hand_made(tmp_path / "t.xlsx", rows(BESIDE.format("旁")), namespaces=namespaces),
        {"xl/worksheets/sheet1.xml": lambda d: d.replace(root, declared)},
    )
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B"])
    path = job.make_report(make_request(patents, template=template), lambda m: None, folder=tmp_path / "out")
    sheet = parts(path)["xl/worksheets/sheet1.xml"]
    assert sheet.count(namespaces[1].encode()) == 1
    written = etree.fromstring(sheet)
    # The template's own prefixes keep their meaning (mc:Ignorable names them by prefix).
    own = etree.fromstring(parts(template)["xl/worksheets/sheet1.xml"]).nsmap
    assert namespaces[1] in written.nsmap.values() and own.items() <= written.nsmap.items()
    ids = [h.get(f"{{{namespaces[1]}}}id") for h in written.iter("{*}hyperlink")]
    targets = {
        r.get("Id"): r.get("Target") for r in etree.fromstring(parts(path)["xl/worksheets/_rels/sheet1.xml.rels"])
    }
    assert [targets[i] for i in ids] == [
        "https://patents.google.com/patent/EP1234567A1",
        "https://patents.google.com/patent/TWI123456B",
    ]
    assert problems(path) == []
