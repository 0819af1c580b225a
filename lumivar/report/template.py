"""The report written into the user's template workbook, keeping it whole.

A template is the office's own report form: letterhead, logo, page header,
notes, print setup. The report is the template's own package with only the
parts the table needs changed: the table's sheet, its relationships, the
styles the table adds, the workbook's defined names and active sheet, and the
content types when a macro workbook or a template becomes a plain workbook.
Every other part is copied as it is.

The table goes where the template marks it (a cell whose whole text is
"{{檢索結果}}" becomes the header's first cell), otherwise on the first
visible sheet two rows below its last row holding a value or a picture.
What the template itself sets (print titles, frozen panes, a filter, a
footer, column widths) it keeps; the report adds these only where it sets
nothing.
"""
from __future__ import annotations

import re
import shutil
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Iterator

from lxml import etree

from . import layout, xlsx
from .files import ReportError, check_file
from .layout import Style, Table
from .ooxml import REF, ROW_NUMBER, Package, column_index, local
from .reading import TOO_LARGE, kind_of, open_package

MARKER = "{{檢索結果}}"
WHAT = "範本檔案"
MAX_ROW = 1_048_576
MAX_COLUMN = 16_384
MAX_SHEET = 100 * 1024 * 1024  # bytes of the table sheet's XML
FREEZE_UP_TO = 20  # a header further down is not frozen: the panes would fill the screen

STRICT_MAIN = "http://purl.oclc.org/ooxml/spreadsheetml/main"
TRANSITIONAL_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
STRICT_REL = "http://purl.oclc.org/ooxml/officeDocument/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
CONTENT_TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
SHEET_MAIN_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"
STYLES_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"

# The order of a worksheet's children, and of a style sheet's and a workbook's,
# as the schema requires; Excel asks to repair a part whose order differs.
SHEET_ORDER = (
    "sheetPr dimension sheetViews sheetFormatPr cols sheetData sheetCalcPr sheetProtection protectedRanges "
    "scenarios autoFilter sortState dataConsolidate customSheetViews mergeCells phoneticPr conditionalFormatting "
    "dataValidations hyperlinks printOptions pageMargins pageSetup headerFooter rowBreaks colBreaks "
    "customProperties cellWatches ignoredErrors smartTags drawing legacyDrawing legacyDrawingHF drawingHF picture "
    "oleObjects controls webPublishItems tableParts extLst"
).split()
STYLE_ORDER = "numFmts fonts fills borders cellStyleXfs cellXfs cellStyles dxfs tableStyles colors extLst".split()
BOOK_ORDER = (
    "fileVersion fileSharing workbookPr workbookProtection bookViews sheets functionGroups externalReferences "
    "definedNames calcPr oleSize customWorkbookViews pivotCaches smartTagPr smartTagTypes webPublishing "
    "fileRecoveryPr webPublishObjects extLst"
).split()

# Comments and processing instructions of the template's parts are kept.
_EDITING = etree.XMLParser(resolve_entities=False, no_network=True, huge_tree=True)

_ROW = re.compile(rb"<(?:\w+:)?row\b((?:[^>/]|/(?!>))*)(?:/>|>(.*?)</(?:\w+:)?row>)", re.S)
_CELL = re.compile(rb"<(?:\w+:)?c\b((?:[^>/]|/(?!>))*)(?:/>|>(.*?)</(?:\w+:)?c>)", re.S)
_SPANS = re.compile(rb'\s+spans="[^"]*"')
_CONTENT = re.compile(rb"<(?:\w+:)?(?:v>[^<]|is\b|f\b)")
_SHARED = re.compile(rb't="s"')
_INLINE = re.compile(rb't="inlineStr"')
_V = re.compile(rb"<(?:\w+:)?v>\s*([0-9]+)\s*</")
_TAB_SELECTED = re.compile(rb'(<(?:\w+:)?sheetView\b[^>]*?)\s+tabSelected="(?:1|true)"')


def parse(data: bytes):
    return etree.fromstring(data, _EDITING)


def child(parent, name: str):
    return next((c for c in parent if local(c.tag) == name), None)


def insert_in_order(parent, element, order: list[str]) -> None:
    """Puts `element` among `parent`'s children where the schema wants it."""
    rank = order.index(local(element.tag))
    for index, existing in enumerate(parent):
        name = local(existing.tag)
        if name in order and order.index(name) > rank:
            parent.insert(index, element)
            return
    parent.append(element)


def element_like(parent, tag: str, /, **attributes):
    """A new element in the parent's namespace (not yet placed)."""
    namespace = etree.QName(parent).namespace
    element = etree.Element(f"{{{namespace}}}{tag}" if namespace else tag)
    for key, value in attributes.items():
        element.set(key, str(value))
    return element


def child_or_make(parent, tag: str, order: list[str] | None = None):
    """The parent's child of that name, made where the schema wants it if missing."""
    found = child(parent, tag)
    return found if found is not None else make(parent, tag, order)


def make(parent, tag: str, order: list[str] | None = None, /, **attributes):
    """A new child in the parent's namespace, where the schema wants it."""
    element = element_like(parent, tag, **attributes)
    if order:
        insert_in_order(parent, element, order)
    else:
        parent.append(element)
    return element


@dataclass
class Template:
    package: Package
    path: Path
    book_part: str
    sheet_index: int
    sheet_name: str
    sheet_part: str
    macros: bool
    marker: tuple[int, int] | None  # (row, column), 1-based row, 0-based column


# ---------------------------------------------------------------- opening


def load(path: Path) -> Template:
    check_file(path, WHAT)
    if kind_of(path, WHAT) != "zip":
        raise ReportError(f"{WHAT}必須是 .xlsx、.xlsm 或 .xltx 活頁簿 (舊版 .xls 請用 Excel 另存為 .xlsx): {path}")
    package = open_package(path, WHAT)
    try:
        return _load(package, path)
    except ReportError:
        package.close()
        raise
    except (KeyError, ValueError, etree.XMLSyntaxError, zipfile.BadZipFile, EOFError, OSError) as error:
        package.close()
        raise ReportError(f"{WHAT}已損壞，無法開啟: {path}") from error


def _load(package: Package, path: Path) -> Template:
    if package.is_ods:
        raise ReportError(f"{WHAT}是 OpenDocument (.ods) 檔，請用 Excel 或 LibreOffice 另存為 .xlsx: {path}")
    book_part = package.workbook_part
    if book_part is None or package.name(book_part) is None:
        raise ReportError(f"{WHAT}不是 Excel 活頁簿 (壓縮檔中沒有活頁簿): {path}")
    if book_part.lower().endswith(".bin"):
        raise ReportError(f"{WHAT}是二進位活頁簿 (.xlsb)，請另存為 .xlsx: {path}")
    sheets = package.sheets()
    visible = [(i, name, part) for i, (name, part, state) in enumerate(sheets) if state == "visible" and part]
    if not visible:
        raise ReportError(f"{WHAT}中沒有可見的工作表: {path}")
    macros = any(kind == "vbaProject" for kind, _, _ in package.relationships(book_part).values())
    marker_index = _marker_string(package, book_part)
    for index, name, part in visible:
        found = _find_marker(package, part, marker_index)
        if found:
            return Template(package, path, book_part, index, name, part, macros, found)
    index, name, part = visible[0]
    return Template(package, path, book_part, index, name, part, macros, None)


def _marker_string(package: Package, book_part: str) -> int | None:
    """The shared string index of the marker text, read as a stream."""
    strings = next((t for k, t, _ in package.relationships(book_part).values() if k == "sharedStrings"), None)
    if strings is None or package.name(strings) is None:
        return None
    with package.zip.open(package.name(strings)) as stream:
        for index, (_, element) in enumerate(etree.iterparse(stream, tag="{*}si", huge_tree=True)):
            text = "".join(t.text or "" for t in element.iter("{*}t") if local(t.getparent().tag) != "rPh")
            element.clear()
            if text.strip() == MARKER:
                return index
    return None


def _find_marker(package: Package, part: str, shared: int | None) -> tuple[int, int] | None:
    if package.zip.getinfo(package.name(part)).file_size > MAX_SHEET:
        return None
    data = package.read(part)
    needle = MARKER.encode()
    if needle not in data and shared is None:
        return None
    for number, _, cells in _rows(data):
        for column, attributes, content in cells:
            if _INLINE.search(attributes) and needle in content and _inline_text(content).strip() == MARKER:
                return number, column
            if shared is not None and _SHARED.search(attributes):
                value = _V.search(content)
                if value and int(value.group(1)) == shared:
                    return number, column
    return None


def _inline_text(content: bytes) -> str:
    return "".join(re.findall(r"<(?:\w+:)?t\b[^>]*>([^<]*)<", content.decode("utf-8", "replace")))


# ---------------------------------------------------------------- a sheet's rows


def _rows(data: bytes) -> Iterator[tuple[int, bytes, list[tuple[int, bytes, bytes]]]]:
    """(row number, row attributes, [(column, cell attributes, cell content)]) of each row."""
    number = 0
    for row in _ROW.finditer(data):
        found = ROW_NUMBER.search(row.group(1))
        number = int(found.group(1)) if found else number + 1
        yield number, row.group(1), list(_cells(row.group(2) or b""))


def _cells(content: bytes) -> Iterator[tuple[int, bytes, bytes]]:
    column = -1
    for cell in _CELL.finditer(content):
        ref = REF.search(cell.group(1))
        column = column_index(ref.group(1)) if ref else column + 1
        yield column, cell.group(1), cell.group(2) or b""


def _last_used_row(rows: bytes, skeleton, drawings: list[bytes]) -> int:
    """The last row holding a value, a merged area or a picture; 0 for none.
    Styled empty cells do not count."""
    last = 0
    for number, _, cells in _rows(rows):
        if number > last and any(_CONTENT.search(content) for _, _, content in cells):
            last = number
    merges = child(skeleton, "mergeCells")
    for merge in merges if merges is not None else ():
        refs = re.findall(r"[A-Z]+([0-9]+)", merge.get("ref", ""))
        last = max([last] + [int(r) for r in refs])
    for drawing in drawings:
        for anchor in re.finditer(rb"<(?:\w+:)?to>.*?<(?:\w+:)?row>([0-9]+)<", drawing, re.S):
            last = max(last, int(anchor.group(1)) + 1)
        for anchor in re.finditer(
            rb"<(?:\w+:)?oneCellAnchor\b.*?<(?:\w+:)?row>([0-9]+)<.*?<(?:\w+:)?ext\b[^>]*\bcy=\"([0-9]+)\"", drawing, re.S
        ):
            last = max(last, int(anchor.group(1)) + 1 + -(-int(anchor.group(2)) // 190500))
    return last


def _covered(rows: bytes, block: xlsx.Block, marker: tuple[int, int]) -> int:
    """Cells of the template holding something where the report puts its rows."""
    columns = set(block.columns())
    return sum(
        1
        for number, _, cells in _rows(rows)
        if block.top_row <= number <= block.last_row
        for column, _, content in cells
        if column in columns and (number, column) != marker and _CONTENT.search(content)
    )


def _merge_rows(rows: bytes, ours: Iterator[tuple[int, list[tuple[int, str]]]]) -> Iterator[bytes]:
    """The template's rows with the report's merged in, in row order. Where a
    row holds both, the report's cells take their columns and the template's
    other cells stay."""
    mine = next(ours, None)
    position = 0
    number = 0
    for row in _ROW.finditer(rows):
        found = ROW_NUMBER.search(row.group(1))
        number = int(found.group(1)) if found else number + 1
        while mine is not None and mine[0] < number:
            yield xlsx.row_xml(*mine).encode("utf-8")
            mine = next(ours, None)
        if mine is not None and mine[0] == number:
            yield rows[position : row.start()]
            yield _merged_row(number, row.group(1), row.group(2) or b"", mine[1])
            mine = next(ours, None)
        else:
            yield rows[position : row.end()]
        position = row.end()
    yield rows[position:]
    while mine is not None:
        yield xlsx.row_xml(*mine).encode("utf-8")
        mine = next(ours, None)


def _merged_row(number: int, attributes: bytes, content: bytes, cells: list[tuple[int, str]]) -> bytes:
    taken = {column for column, _ in cells}
    kept = []
    for column, cell_attributes, cell_content in _cells(content):
        if column in taken:
            continue
        if not REF.search(cell_attributes):  # its place was implied: name it, since the order changes
            cell_attributes = f' r="{xlsx.column_name(column)}{number}"'.encode() + cell_attributes
        end = b"/>" if not cell_content else b">" + cell_content + b"</c>"
        kept.append((column, b"<c" + cell_attributes + end))
    merged = sorted(kept + [(column, xml.encode("utf-8")) for column, xml in cells], key=lambda c: c[0])
    return b"<row" + _SPANS.sub(b"", attributes) + b">" + b"".join(xml for _, xml in merged) + b"</row>"


# ---------------------------------------------------------------- writing


def write_into(template: Template, stream: IO[bytes], table: Table, style: Style, emit) -> None:
    """Writes the report: the template's package with the table added."""
    try:
        _write(template, stream, table, style, emit)
    except ReportError:
        raise
    except (KeyError, ValueError, etree.XMLSyntaxError, zipfile.BadZipFile, EOFError) as error:
        raise ReportError(f"{WHAT}已損壞，無法寫入檢索結果: {template.path}") from error
    finally:
        template.package.close()


def _write(t: Template, stream: IO[bytes], table: Table, style: Style, emit) -> None:
    package = t.package
    if package.zip.getinfo(package.name(t.sheet_part)).file_size > MAX_SHEET:
        raise ReportError(f"{TOO_LARGE}: {WHAT}的「{t.sheet_name}」工作表過大: {t.path}")
    if t.macros:
        emit("範本含有巨集；檢索報告為不含巨集的 .xlsx 活頁簿")
    head, rows, tail, open_tag = _split_sheet(package.read(t.sheet_part))
    skeleton = parse(head + open_tag.rstrip(b">").rstrip(b"/") + b"/>" + tail)
    main = etree.QName(skeleton).namespace or ""
    strict = main == STRICT_MAIN
    rel_ns = STRICT_REL if strict else TRANSITIONAL_REL
    sheet_rels = package.relationships(t.sheet_part)
    drawings = [package.read(target) for kind, target, mode in sheet_rels.values()
                if kind == "drawing" and mode != "External" and package.name(target)]

    if t.marker:
        block = xlsx.Block(table, marker_row=t.marker[0], first_column=t.marker[1])
    else:
        last = _last_used_row(rows, skeleton, drawings)
        block = xlsx.Block(table, top=last + 2 if last else 1)
    if block.last_row > MAX_ROW or block.first_column + len(layout.HEADERS) > MAX_COLUMN:
        raise ReportError(
            f"檢索結果超出工作表的範圍 (最後一列 {MAX_ROW:,})，請減少公開號的數量或在範本中把標記移到較上方: {t.path}")

    if t.marker:
        covered = _covered(rows, block, t.marker)
        if covered:
            emit(f"範本中「{MARKER}」下方有 {covered} 個儲存格被檢索結果蓋過；請把標記放在表單最下方")
    styles_part, styles_xml, styles = _styles(package, t.book_part, style)
    links, link_rels = _link_relationships(block, sheet_rels)
    _edit_sheet(skeleton, block, table, style, rel_ns, links)
    ours = ((number, cells) for number, cells in block.rows(styles, emit))
    sheet_bytes = _join_sheet(skeleton, _merge_rows(rows, ours), links, rel_ns)

    replaced: dict[str, bytes | Iterator[bytes]] = {t.sheet_part: sheet_bytes, styles_part: styles_xml}
    if link_rels:
        replaced[_rels_of(t.sheet_part)] = _rels_xml(package, t.sheet_part, link_rels, rel_ns)
    book, removed = _edit_book(package, t, block, rel_ns)
    replaced[t.book_part] = book
    replaced.update(_other_sheets_unselected(package, t))
    new_book_rels = _book_rels(package, t.book_part, removed, styles_part)
    if new_book_rels is not None:
        replaced[_rels_of(t.book_part)] = new_book_rels
    replaced["[Content_Types].xml"] = _content_types(package, removed, styles_part)
    _write_package(package, stream, replaced, removed)


def _split_sheet(data: bytes) -> tuple[bytes, bytes, bytes, bytes]:
    opening = re.search(rb"<(?:\w+:)?sheetData\b[^>]*?/?>", data)
    if opening is None:
        raise ValueError("a worksheet without sheetData")
    if opening.group(0).endswith(b"/>"):
        return data[: opening.start()], b"", data[opening.end():], opening.group(0)
    closing = re.compile(rb"</(?:\w+:)?sheetData>").search(data, opening.end())
    if closing is None:
        raise ValueError("sheetData is not closed")
    return data[: opening.start()], data[opening.end(): closing.start()], data[closing.end():], opening.group(0)


def _join_sheet(skeleton, rows: Iterator[bytes], links: list[tuple[str, str]], rel_ns: str) -> Iterator[bytes]:
    """The sheet's XML in pieces, its rows and links as they come (never all
    at once), in the sheet's own prefix for its namespace."""
    text = etree.tostring(skeleton, xml_declaration=True, encoding="UTF-8", standalone=True)
    empty = re.search(rb"<((\w+:)?sheetData)\b([^>]*?)/>", text)
    prefix = (empty.group(2) or b"").decode()
    yield text[: empty.start()] + b"<" + empty.group(1) + empty.group(3) + b">"
    for row in rows:
        yield _prefixed(row, prefix) if prefix else row
    rest = b"</" + empty.group(1) + b">" + text[empty.end():]
    mark = f"<!--{_LINKS_HERE}-->".encode()
    if mark not in rest:
        yield rest
        return
    before, after = rest.split(mark, 1)
    yield before
    declared = {namespace: name for name, namespace in skeleton.nsmap.items()}.get(rel_ns)
    for element in xlsx.hyperlink_elements(links, prefix, declared or "r", "" if declared else rel_ns):
        yield element.encode()
    yield after


_LINKS_HERE = "lumivar: the table's links"
_TAGS = re.compile(rb"<(/?)(row|c|v|is|t)\b")


def _prefixed(xml: bytes, prefix: str) -> bytes:
    """The report's row in a sheet whose elements carry a namespace prefix."""
    return _TAGS.sub(lambda m: b"<" + m.group(1) + prefix.encode() + m.group(2), xml)


def _edit_sheet(sheet, block: xlsx.Block, table: Table, style: Style, rel_ns: str, links: list[tuple[str, str]]) -> None:
    first, last = block.first_column, block.first_column + len(layout.HEADERS) - 1
    # The used range, widened to take the table.
    dimension = child(sheet, "dimension")
    if dimension is not None:
        refs = re.findall(r"([A-Z]+)([0-9]+)", dimension.get("ref", ""))
        rows = [int(r) for _, r in refs] + [block.top_row, block.last_row]
        columns = [column_index(c.encode()) for c, _ in refs] + [first, last]
        dimension.set("ref", f"{xlsx.column_name(min(columns))}{min(rows)}:{xlsx.column_name(max(columns))}{max(rows)}")
    # Opens on this sheet; frozen below the header where the template freezes nothing.
    views = child_or_make(sheet, "sheetViews", SHEET_ORDER)
    view = child(views, "sheetView")
    if view is None:
        view = make(views, "sheetView", workbookViewId="0")
    view.set("tabSelected", "1")
    if child(view, "pane") is None and block.header_row <= FREEZE_UP_TO:
        below = f"{xlsx.column_name(first)}{block.header_row + 1}"
        pane = element_like(view, "pane", ySplit=block.header_row, topLeftCell=below, activePane="bottomLeft",
                            state="frozen")
        view.insert(0, pane)
        pane.addnext(element_like(view, "selection", pane="bottomLeft", activeCell=below, sqref=below))
    # Widths fitted to the table for its columns where the template sets none.
    cols = child_or_make(sheet, "cols", SHEET_ORDER)
    covered = {c for col in cols if col.get("width") for c in range(int(col.get("min", 1)) - 1, int(col.get("max", 1)))}
    for offset, width in enumerate(table.widths(style)):
        column = first + offset
        if column in covered:
            continue
        new = element_like(cols, "col", min=column + 1, max=column + 1, width=f"{width:g}", customWidth=1)
        later = next((c for c in cols if int(c.get("min", 1)) > column + 1), None)
        if later is None:
            cols.append(new)
        else:
            later.addprevious(new)
    if len(cols) == 0:
        sheet.remove(cols)
    # One page wide when printed, unless the template scales its pages itself.
    properties = child_or_make(sheet, "sheetPr", SHEET_ORDER)
    fit = child_or_make(properties, "pageSetUpPr")
    if fit.get("fitToPage") not in ("1", "true"):
        fit.set("fitToPage", "1")
        setup = child_or_make(sheet, "pageSetup", SHEET_ORDER)
        setup.set("fitToWidth", "1")
        setup.set("fitToHeight", "0")
    if child(sheet, "autoFilter") is None:
        make(sheet, "autoFilter", SHEET_ORDER, ref=block.table_ref())
    if links:  # written in when the sheet is, as they come (see _join_sheet)
        child_or_make(sheet, "hyperlinks", SHEET_ORDER).append(etree.Comment(_LINKS_HERE))
    footer = child_or_make(sheet, "headerFooter", SHEET_ORDER)
    odd = child(footer, "oddFooter")
    if odd is None:
        odd = element_like(footer, "oddFooter")
        header = child(footer, "oddHeader")
        if header is not None:
            header.addnext(odd)
        else:
            footer.insert(0, odd)
    if not (odd.text or "").strip() and len(odd) == 0:  # an empty footer sets nothing
        odd.text = "&C第 &P 頁，共 &N 頁"
    ignored = child_or_make(sheet, "ignoredErrors", SHEET_ORDER)
    make(ignored, "ignoredError", sqref=block.digits_ref(), numberStoredAsText="1")


def _link_relationships(block: xlsx.Block, existing: dict) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """(cell, relationship id) for the sheet and (id, address) for its relationships."""
    taken = set(existing)
    links, rels = [], []
    n = 0
    for ref, address in block.links():
        n += 1
        rid = f"rIdLumivar{n}"
        while rid in taken:
            n += 1
            rid = f"rIdLumivar{n}"
        links.append((ref, rid))
        rels.append((rid, address))
    return links, rels


def _rels_of(part: str) -> str:
    folder, base = part.rsplit("/", 1) if "/" in part else ("", part)
    return f"{folder}/_rels/{base}.rels" if folder else f"_rels/{base}.rels"


def _rels_xml(package: Package, part: str, links: list[tuple[str, str]], rel_ns: str) -> Iterator[bytes]:
    """The part's relationships with one per link added, written as they come."""
    name = package.name(_rels_of(part))
    root = parse(package.read(name)) if name else etree.Element(f"{{{PKG_REL}}}Relationships", nsmap={None: PKG_REL})
    root.append(etree.Comment(_LINKS_HERE))
    before, after = etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True).split(
        f"<!--{_LINKS_HERE}-->".encode(), 1)
    yield before
    for relationship in xlsx.link_relationships(links, rel_ns, f"{root.prefix}:" if root.prefix else ""):
        yield relationship.encode()
    yield after


def _styles(package: Package, book_part: str, style: Style) -> tuple[str, bytes, xlsx.Styles]:
    """The style sheet with the report's styles appended; the template's own keep their numbers."""
    part = next((t for k, t, _ in package.relationships(book_part).values() if k == "styles"), None)
    if part is None or package.name(part) is None:
        folder = book_part.rsplit("/", 1)[0] if "/" in book_part else ""
        part = f"{folder}/styles.xml" if folder else "styles.xml"
        styles = xlsx.Styles(style, font_base=1, fill_base=2, border_base=0, xf_base=1)
        return part, xlsx.styles_xml(style, *styles.parts()).encode("utf-8"), styles
    root = parse(package.read(part))
    namespace = etree.QName(root).namespace or ""
    lists = {}
    for name in ("fonts", "fills", "borders", "cellStyleXfs", "cellXfs"):
        element = child(root, name)
        if element is None:
            element = make(root, name, STYLE_ORDER)
        lists[name] = element
    for name, defaults in _STYLE_DEFAULTS.items():  # what every style sheet starts with
        if len(lists[name]) == 0:
            _append(lists[name], namespace, defaults)
    styles = xlsx.Styles(style, len(lists["fonts"]), len(lists["fills"]), len(lists["borders"]), len(lists["cellXfs"]))
    for name, items in zip(("fonts", "fills", "borders", "cellXfs"), styles.parts()):
        _append(lists[name], namespace, items)
    for element in lists.values():
        element.set("count", str(len(element)))
    return part, etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True), styles


_STYLE_DEFAULTS = {
    "fonts": ['<font><sz val="11"/><name val="Calibri"/></font>'],
    "fills": ['<fill><patternFill patternType="none"/></fill>', '<fill><patternFill patternType="gray125"/></fill>'],
    "cellStyleXfs": ['<xf numFmtId="0" fontId="0" fillId="0" borderId="0"/>'],
    "cellXfs": ['<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>'],
}


def _append(parent, namespace: str, items: list[str]) -> None:
    wrapper = parse(f'<w xmlns="{namespace}">{"".join(items)}</w>'.encode("utf-8"))
    for element in list(wrapper):
        parent.append(element)


def _edit_book(package: Package, t: Template, block: xlsx.Block, rel_ns: str) -> tuple[bytes, set[str]]:
    root = parse(package.read(t.book_part))
    views = child_or_make(root, "bookViews", BOOK_ORDER)
    view = child_or_make(views, "workbookView")
    view.set("activeTab", str(t.sheet_index))
    if int(view.get("firstSheet", "0") or 0) > t.sheet_index:
        view.set("firstSheet", str(t.sheet_index))
    names = child_or_make(root, "definedNames", BOOK_ORDER)
    quoted = "'" + t.sheet_name.replace("'", "''") + "'"
    own = {n.get("name"): n for n in names if n.get("localSheetId") == str(t.sheet_index)}
    if "_xlnm.Print_Titles" not in own:
        titles = make(names, "definedName", name="_xlnm.Print_Titles", localSheetId=t.sheet_index)
        titles.text = f"{quoted}!${block.header_row}:${block.header_row}"
    if "_xlnm._FilterDatabase" not in own:
        database = make(names, "definedName", name="_xlnm._FilterDatabase", localSheetId=t.sheet_index, hidden=1)
        database.text = f"{quoted}!{xlsx.absolute_ref(block.table_ref())}"
    area = own.get("_xlnm.Print_Area")
    if area is not None and area.text:
        area.text = _widened(area.text, block, quoted)
    if len(names) == 0:
        root.remove(names)
    removed: set[str] = set()
    if t.macros:
        for kind, target, mode in package.relationships(t.book_part).values():
            if kind == "vbaProject" and mode != "External" and package.name(target):
                removed.add(package.name(target))
                rels = package.name(_rels_of(target))
                if rels:
                    for _, inner, inner_mode in package.relationships(target).values():
                        if inner_mode != "External" and package.name(inner):
                            removed.add(package.name(inner))
                    removed.add(rels)
        properties = child(root, "workbookPr")
        if properties is not None and "codeName" in properties.attrib:
            del properties.attrib["codeName"]
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True), removed


def _widened(text: str, block: xlsx.Block, quoted: str) -> str:
    """The print area, widened to take the table."""
    areas = text.split(",")
    match = re.fullmatch(r"(.*!)?\$?([A-Z]+)\$?([0-9]+)(?::\$?([A-Z]+)\$?([0-9]+))?", areas[0].strip())
    table = f"${xlsx.column_name(block.first_column)}${block.top_row}:" \
            f"${xlsx.column_name(block.first_column + len(layout.HEADERS) - 1)}${block.last_row}"
    if match is None or len(areas) > 1:
        return f"{text},{quoted}!{table}"
    sheet = match.group(1) or f"{quoted}!"
    left, top = column_index(match.group(2).encode()), int(match.group(3))
    right = column_index((match.group(4) or match.group(2)).encode())
    bottom = int(match.group(5) or match.group(3))
    left, right = min(left, block.first_column), max(right, block.first_column + len(layout.HEADERS) - 1)
    top, bottom = min(top, block.top_row), max(bottom, block.last_row)
    return f"{sheet}${xlsx.column_name(left)}${top}:${xlsx.column_name(right)}${bottom}"


def _other_sheets_unselected(package: Package, t: Template) -> dict[str, bytes]:
    """Other sheets selected in the template would open grouped with the
    table's sheet (an edit there would change them all): only their
    selection mark goes."""
    changed = {}
    for index, (_, part, _) in enumerate(package.sheets()):
        if index == t.sheet_index or not part or package.name(part) is None:
            continue
        data = package.read(part)
        head = data[: data.find(b"sheetData")] if b"sheetData" in data else data
        if _TAB_SELECTED.search(head):
            changed[part] = _TAB_SELECTED.sub(rb"\1", head, count=0) + data[len(head):]
    return changed


def _book_rels(package: Package, book_part: str, removed: set[str], styles_part: str) -> bytes | None:
    name = package.name(_rels_of(book_part))
    needs_styles = package.name(styles_part) is None
    if not removed and not needs_styles:
        return None
    root = parse(package.read(name))
    folder = book_part.rsplit("/", 1)[0] if "/" in book_part else ""
    lowered = {r.lower() for r in removed}
    for rel in list(root):
        target = rel.get("Target", "")
        full = target.lstrip("/") if target.startswith("/") else (f"{folder}/{target}" if folder else target)
        if full.lower() in lowered:
            root.remove(rel)
    if needs_styles:
        namespace = etree.QName(root).namespace or PKG_REL
        rel = etree.SubElement(root, f"{{{namespace}}}Relationship")
        rel.set("Id", "rIdLumivarStyles")
        rel.set("Type", f"{TRANSITIONAL_REL}/styles")
        rel.set("Target", styles_part[len(folder) + 1:] if folder else styles_part)
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True)


def _content_types(package: Package, removed: set[str], styles_part: str) -> bytes:
    root = parse(package.read("[Content_Types].xml"))
    lowered = {"/" + r.lower() for r in removed}
    for entry in list(root):
        if local(entry.tag) != "Override":
            continue
        name = entry.get("PartName", "")
        kind = entry.get("ContentType", "")
        if name.lower() in lowered:
            root.remove(entry)
        elif kind.endswith((".sheet.macroEnabled.main+xml", ".template.macroEnabled.main+xml", ".template.main+xml")):
            # a macro workbook or a template becomes an ordinary workbook
            entry.set("ContentType", SHEET_MAIN_TYPE)
    if package.name(styles_part) is None:
        entry = etree.SubElement(root, f"{{{CONTENT_TYPES}}}Override")
        entry.set("PartName", "/" + styles_part)
        entry.set("ContentType", STYLES_TYPE)
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True)


def _write_package(package: Package, stream: IO[bytes], replaced: dict[str, bytes | Iterator[bytes]],
                   removed: set[str]) -> None:
    """Every part of the template as it is, but those replaced (bytes, or
    pieces written as they come) or removed; new parts after them."""
    own = {package.name(name) or name: data for name, data in replaced.items()}
    with zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED, compresslevel=5) as out:
        for info in package.infos:
            if info.filename in removed or info.is_dir():
                continue
            target = zipfile.ZipInfo(info.filename, date_time=info.date_time)
            target.compress_type = zipfile.ZIP_DEFLATED
            target.external_attr = info.external_attr
            if info.filename in own:
                _put(out, target, own.pop(info.filename))
                continue
            with package.zip.open(info) as source, out.open(target, "w", force_zip64=True) as copy_:
                shutil.copyfileobj(source, copy_, 1 << 20)
        for name, data in own.items():
            _put(out, zipfile.ZipInfo(name, date_time=time.localtime()[:6]), data)


def _put(out: zipfile.ZipFile, target: zipfile.ZipInfo, data: bytes | Iterator[bytes]) -> None:
    target.compress_type = zipfile.ZIP_DEFLATED
    if isinstance(data, bytes):
        out.writestr(target, data)
        return
    with out.open(target, "w", force_zip64=True) as part:
        pending: list[bytes] = []
        size = 0
        for piece in data:
            pending.append(piece)
            size += len(piece)
            if size >= 1 << 18:
                part.write(b"".join(pending))
                pending, size = [], 0
        part.write(b"".join(pending))
