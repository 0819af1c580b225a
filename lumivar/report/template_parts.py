"""The template's parts the report changes, each edited through the parser in
the schema's order: the table sheet's skeleton, its relationships, the style
sheet, the workbook, the workbook's relationships, the content types, and
other sheets that were selected with the table's; and the check of every
part's prolog, for the parts that are copied as they are.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from typing import IO
from xml.sax.saxutils import quoteattr

from lxml import etree

from . import layout
from .detailsheet import Detail
from .files import ReportError
from .layout import Style, Table
from .ooxml import (
    BECOMES_WORKBOOK,
    CONTENT_TYPES,
    CONTENT_TYPES_PART,
    MAX_SHEET,
    PKG_REL,
    REL,
    SHEET_MAIN_TYPE,
    STRICT_MAIN,
    STRICT_REL,
    TOO_LARGE,
    Package,
    absolute_ref,
    column_name,
    iterparse,
    local,
    number_of,
    parse,
    ranges,
    relative,
    rels_part,
    resolve,
    serialize,
    split_ref,
)
from .placement import Block
from .schema import child, child_or_make, element_like, make
from .sheetxml import link_relationships, xml_attribute
from .splice import LINKS_HERE, merged_rows, prefix_of, sheet_pieces, skeleton
from .styles import DEFAULTS, Styles, new_stylesheet


def declaring(sheet, namespace: str) -> tuple[str, str]:
    """The sheet root's prefix for `namespace`, and the declaration to add to
    the root where it declares none ("" where it does): links whose elements
    each declare it are dropped by some readers. (lxml adds no declaration
    to an element, and moving a large sheet's parts to a new root takes time
    that grows with their square: the declaration goes into the written text.)"""
    for prefix, uri in sheet.nsmap.items():
        if uri == namespace and prefix:
            return prefix, ""
    prefix, n = "r", 0
    while prefix in sheet.nsmap:
        n += 1
        prefix = f"r{n}"
    return prefix, f" xmlns:{prefix}={xml_attribute(namespace)}"


def edit_sheet(sheet, block: Block, table: Table, style: Style, links: bool, emit) -> None:
    """What the table needs of its sheet; what the template sets itself stays."""
    first, last = block.first_column, block.last_column
    # The used range, widened to take the table.
    dimension = child(sheet, "dimension")
    if dimension is not None:
        found = list(ranges(dimension.get("ref", "")))
        top = min([r[0] for r in found] + [block.top_row])
        left = min([r[1] for r in found] + [first])
        bottom = max([r[2] for r in found] + [block.last_row])
        right = max([r[3] for r in found] + [last])
        dimension.set("ref", f"{column_name(left)}{top}:{column_name(right)}{bottom}")
    # Opens on this sheet; frozen below the header where the template freezes nothing.
    views = child_or_make(sheet, "sheetViews")
    view = child(views, "sheetView")
    if view is None:
        view = make(views, "sheetView", workbookViewId="0")
    view.set("tabSelected", "1")
    if child(view, "pane") is None and block.header_row <= layout.FREEZE_UP_TO:
        # The frozen rows are counted from the view's top: a template saved
        # scrolled down would freeze the wrong rows, so the view goes back to
        # the first row (its column kept), the pane below the header.
        scrolled = split_ref(view.get("topLeftCell", "A1")) or (1, 0)
        if "topLeftCell" in view.attrib:
            view.set("topLeftCell", f"{column_name(scrolled[1])}1")
        below = f"{column_name(first)}{block.header_row + 1}"
        pane = make(
            view,
            "pane",
            ySplit=block.header_row,
            topLeftCell=f"{column_name(scrolled[1])}{block.header_row + 1}",
            activePane="bottomLeft",
            state="frozen",
        )
        pane.addnext(element_like(view, "selection", pane="bottomLeft", activeCell=below, sqref=below))
    # The template's widths stay; one widens only where a word or number would be cut.
    least = table.least(style)
    fixed = {i: max(w, least[i]) for i, w in own_widths(sheet, first, len(table.columns)).items()}
    printed(sheet, table, style, fixed, first)
    widths = [fixed.get(i, w) for i, w in enumerate(table.widths(style))]
    widened = _widths(sheet, first, widths, least)
    if widened:
        columns = "、".join(column_name(c - 1) for c in widened)
        emit(f"範本中 {columns} 欄較窄，其中的號碼或字詞無法換行，已加寬以完整顯示")
    if child(sheet, "autoFilter") is None:
        make(sheet, "autoFilter", ref=block.table_ref())
    if links:  # written in when the sheet is, as they come
        child_or_make(sheet, "hyperlinks").append(etree.Comment(LINKS_HERE))
    footers = child_or_make(sheet, "headerFooter")
    kinds = ["oddFooter"] + [
        k
        for k, flag in (("evenFooter", "differentOddEven"), ("firstFooter", "differentFirst"))
        if footers.get(flag) in ("1", "true")
    ]
    for kind in kinds:
        footer = child_or_make(footers, kind)
        numbered = page_numbers(footer.text or "")
        if numbered is None:
            emit("範本頁尾的左、中、右三處都已有文字，未加上頁碼")
        else:
            footer.text = numbered
    if block.digits_ref():
        make(child_or_make(sheet, "ignoredErrors"), "ignoredError", sqref=block.digits_ref(), numberStoredAsText="1")


def own_widths(sheet, first: int, count: int) -> dict[int, float]:
    """The widths the template sets for the table's columns, by their offset in the table."""
    found = {}
    cols = child(sheet, "cols")
    for col in cols if cols is not None else ():
        width = number_of(col.get("width"))
        if width is None:
            continue
        low, high = int(col.get("min", 1)), int(col.get("max", 1))
        for column in range(max(low, first + 1), min(high, first + count) + 1):
            found[column - first - 1] = width
    return found


def _width_of(sheet, column: int) -> float:
    """A column's width (0-based) as the template sets it, or its default."""
    for col in child(sheet, "cols") if child(sheet, "cols") is not None else ():
        if int(col.get("min", 1)) <= column + 1 <= int(col.get("max", 1)):
            if col.get("hidden") in ("1", "true"):
                return 0.0
            width = number_of(col.get("width"))
            if width is not None:
                return width
    form = child(sheet, "sheetFormatPr")
    width = number_of(form.get("defaultColWidth")) if form is not None else None
    return width if width is not None else 8.43


def printed(sheet, table: Table, style: Style, fixed: dict[int, float], first: int) -> None:
    """The table printed on the template's paper and orientation, at a
    readable size: at the scale its columns fit the page at, the report's
    own long texts wrapped narrower rather than the page shrunk below
    TEMPLATE_FLOOR. A template that scales its pages itself keeps its scale;
    one that sets no orientation prints landscape when the table is wider
    than a portrait page. The template's columns left of the table print
    beside it."""
    setup = child_or_make(sheet, "pageSetup")
    fits = child(child(sheet, "sheetPr"), "pageSetUpPr") if child(sheet, "sheetPr") is not None else None
    own_scale = setup.get("scale") not in (None, "", "100")
    margins = child(sheet, "pageMargins")
    left, right = (number_of(margins.get(side)) if margins is not None else None for side in ("left", "right"))
    left, right = 0.7 if left is None else left, 0.7 if right is None else right  # Excel's own
    paper = number_of(setup.get("paperSize"))
    paper = int(paper) if paper else None
    if setup.get("orientation") in (None, "default"):
        widths = [fixed.get(i, w) for i, w in enumerate(table.widths(style))]
        beside = sum(_width_of(sheet, column) for column in range(first))
        portrait = layout.room_mm(paper, False, left, right)
        wide = layout.scale_for(widths + [beside], portrait, layout.TEMPLATE_UNIT_MM) < 100
        setup.set("orientation", "landscape" if wide else "portrait")
    room = layout.room_mm(paper, setup.get("orientation") == "landscape", left, right)
    beside = sum(_width_of(sheet, column) for column in range(first))
    scale = table.fit(style, room, layout.TEMPLATE_FLOOR, fixed, beside, layout.TEMPLATE_UNIT_MM)
    if (fits is not None and fits.get("fitToPage") in ("1", "true")) or own_scale:
        return  # the template scales its pages itself
    if scale < 100:
        setup.set("scale", str(scale))


def _widths(sheet, first: int, widths: list[float], least: list[float]) -> list[int]:
    """Widths fitted to the table for its columns where the template sets
    none, and widened where the template's would cut their text; the 1-based
    columns widened. A template range over a table column is split around
    it (its other settings kept), so no column is in two <col>."""
    cols = child_or_make(sheet, "cols")
    wanted = {first + offset + 1: width for offset, width in enumerate(widths)}  # 1-based, as <col> counts
    least_of = {first + offset + 1: width for offset, width in enumerate(least)}
    widened = []
    for col in list(cols):
        low, high = int(col.get("min", 1)), int(col.get("max", 1))
        inside = [c for c in range(max(low, first + 1), min(high, first + len(widths)) + 1) if c in wanted]
        own = number_of(col.get("width"))
        if own is not None:
            for column in [c for c in inside if own >= least_of[c]]:
                wanted.pop(column)  # the template's own width shows it whole: it stays
            inside = [c for c in inside if c in wanted]
            widened += inside
        if not inside:
            continue
        pieces: list[tuple[int, int, float | None]] = []  # (min, max, width), None for the template's own
        start = low
        for column in inside:
            if start < column:
                pieces.append((start, column - 1, None))
            pieces.append((column, column, wanted.pop(column)))
            start = column + 1
        if start <= high:
            pieces.append((start, high, None))
        for low_, high_, width in pieces:
            piece = etree.Element(col.tag, dict(col.attrib))
            piece.set("min", str(low_))
            piece.set("max", str(high_))
            if width is not None:
                piece.set("width", f"{width:g}")
                piece.set("customWidth", "1")
            col.addprevious(piece)
        cols.remove(col)
    # The new ones in their places among the template's, in one walk (a table may have thousands).
    new = sorted(wanted.items())
    at = 0
    for col in list(cols):
        low = int(col.get("min", 1))
        while at < len(new) and new[at][0] < low:
            col.addprevious(_col(cols, *new[at]))
            at += 1
    for column, width in new[at:]:
        cols.append(_col(cols, column, width))
    if len(cols) == 0:
        sheet.remove(cols)
    return widened


def _col(cols, column: int, width: float):
    return element_like(cols, "col", min=column, max=column, width=f"{width:g}", customWidth=1)


def page_numbers(footer: str) -> str | None:
    """A footer with the page numbers in a section it leaves empty; the same
    footer when it has them; None when every section holds text of its own.
    Sections are Excel's &L, &C and &R; text before any is the centre's."""
    sections = {"L": "", "C": "", "R": ""}
    current, i = "C", 0
    while i < len(footer):
        if footer[i] == "&" and i + 1 < len(footer):
            code = footer[i + 1]
            if code == "P":
                return footer  # numbered already
            if code in sections:
                current, i = code, i + 2
                continue
            sections[current] += footer[i : i + 2]
            i += 2
            continue
        sections[current] += footer[i]
        i += 1
    free = next((s for s in ("C", "R", "L") if not sections[s].strip()), None)
    if free is None:
        return None
    sections[free] = layout.PAGE_NUMBERS
    return "".join(f"&{s}{text}" for s, text in sections.items() if text)


Pairs = list[tuple[str, str]]


def link_ids(addresses: Iterable[tuple[str, str]], taken: set[str]) -> tuple[Pairs, Pairs]:
    """(cell, relationship id) for the sheet and (id, address) for its relationships."""
    links, rels = [], []
    n = 0
    for ref, address in addresses:
        n += 1
        rid = f"rIdLumivar{n}"
        while rid in taken:
            n += 1
            rid = f"rIdLumivar{n}"
        links.append((ref, rid))
        rels.append((rid, address))
    return links, rels


def sheet_rels(
    package: Package, part: str, links: list[tuple[str, str]], rel_ns: str, more: Iterable[tuple[str, str, str]] = ()
) -> Iterator[bytes]:
    """The sheet's relationships with one per link added, written as they come;
    `more`, other relationships (id, type, target) to add: its drawing's."""
    name = package.name(rels_part(part))
    root = parse(package.read(name)) if name else etree.Element(f"{{{PKG_REL}}}Relationships", nsmap={None: PKG_REL})
    root.append(etree.Comment(LINKS_HERE))
    before, after = serialize(root).split(f"<!--{LINKS_HERE}-->".encode(), 1)
    yield before
    for relationship in link_relationships(links, rel_ns, f"{root.prefix}:" if root.prefix else ""):
        yield relationship.encode()
    p = f"{root.prefix}:" if root.prefix else ""
    for rid, kind, target in more:
        yield f"<{p}Relationship Id={quoteattr(rid)} Type={quoteattr(kind)} Target={quoteattr(target)}/>".encode()
    yield after


def stylesheet(
    package: Package, book_part: str, style: Style, formats=(), strict: bool = False
) -> tuple[str, bytes, Styles]:
    """The style sheet with the report's styles appended, in its own form
    (Strict or transitional); the template's own keep their numbers. A new
    one where the template has none, Strict where `strict`."""
    found = package.related(book_part, "styles")
    if not found:
        part = f"{book_part.rsplit('/', 1)[0]}/styles.xml" if "/" in book_part else "styles.xml"
        styles = Styles.for_new_workbook(style, formats, strict)
        return part, new_stylesheet(styles), styles
    part = found[0]
    root = parse(package.read(part))
    namespace = etree.QName(root).namespace or ""
    lists = {name: child_or_make(root, name) for name in ("fonts", "fills", "borders", "cellStyleXfs", "cellXfs")}
    for name, defaults in DEFAULTS.items():  # what every style sheet starts with
        if len(lists[name]) == 0:
            _append(lists[name], namespace, defaults)
    numbers = child(root, "numFmts")
    taken = [
        int(n.get("numFmtId", "0")) for n in (numbers if numbers is not None else ()) if n.get("numFmtId", "").isdigit()
    ]
    styles = Styles(
        style,
        len(lists["fonts"]),
        len(lists["fills"]),
        len(lists["borders"]),
        len(lists["cellXfs"]),
        formats,
        date_format_id=max([163, *taken]) + 1,
        strict=namespace == STRICT_MAIN,
    )
    if styles.number_formats():
        lists["numFmts"] = child_or_make(root, "numFmts")
        _append(lists["numFmts"], namespace, styles.number_formats())
    for name, items in styles.parts().items():
        _append(lists[name], namespace, items)
    for element in lists.values():
        element.set("count", str(len(element)))
    return part, serialize(root), styles


def _append(parent, namespace: str, items: list[str]) -> None:
    wrapper = parse(f'<w xmlns="{namespace}">{"".join(items)}</w>'.encode())
    for element in list(wrapper):
        parent.append(element)


def workbook(
    package: Package,
    book_part: str,
    sheet_index: int,
    sheet_name: str,
    block: Block,
    macros: bool,
    emit,
    detail: tuple[Detail, str] | None = None,
) -> tuple[bytes, set[str]]:
    """The workbook opening on the table's sheet, with its print titles,
    filter and print area, and the detail sheet (with its relationship's id)
    added after the template's own; the macro parts it no longer holds."""
    root = parse(package.read(book_part))
    if detail is not None:
        _detail_sheet(root, *detail)
    view = child_or_make(child_or_make(root, "bookViews"), "workbookView")
    view.set("activeTab", str(sheet_index))
    if int(view.get("firstSheet", "0") or 0) > sheet_index:
        view.set("firstSheet", str(sheet_index))
    names = child_or_make(root, "definedNames")
    quoted = "'" + sheet_name.replace("'", "''") + "'"
    # Excel tells names apart without regard to case: one of each.
    own = {n.get("name", "").lower(): n for n in names if n.get("localSheetId") == str(sheet_index)}
    titles = own.get("_xlnm.print_titles")
    if titles is None:
        titles = make(names, "definedName", name="_xlnm.Print_Titles", localSheetId=sheet_index)
        titles.text = f"{quoted}!${block.header_row}:${block.header_row}"
    else:  # the template's own, with the table's header row among them: every page shows the column names
        titles.text, note = with_header_row(titles.text or "", block.header_row, quoted)
        if note:
            emit(note)
    if "_xlnm._filterdatabase" not in own:
        database = make(names, "definedName", name="_xlnm._FilterDatabase", localSheetId=sheet_index, hidden=1)
        database.text = f"{quoted}!{absolute_ref(block.table_ref())}"
    area = own.get("_xlnm.print_area")
    if area is not None and area.text:
        area.text = widened(area.text, block, quoted)
    if len(names) == 0:
        root.remove(names)
    removed: set[str] = set()
    if macros:
        for target in package.related(book_part, "vbaProject"):
            removed.add(_held(package, target))
            rels = package.name(rels_part(target))
            if rels:
                removed.update(
                    held
                    for _, t, mode in package.relationships(target).values()
                    if mode != "External" and (held := package.name(t))
                )
                removed.add(rels)
        properties = child(root, "workbookPr")
        if properties is not None and "codeName" in properties.attrib:
            del properties.attrib["codeName"]
    return serialize(root), removed


OLD_LAST_COLUMN, OLD_LAST_ROW = 255, 65_536
PRINT_TITLE_ROWS = 10  # rows repeated atop every page at most: beyond, the table has little room left


def _areas(formula: str) -> list[str]:
    """A reference list's areas, split at the commas outside quoted sheet names."""
    found, start, quoted = [], 0, False
    for at, ch in enumerate(formula):
        if ch == "'":
            quoted = not quoted  # a doubled quote inside a name closes and opens again
        elif ch == "," and not quoted:
            found.append(formula[start:at])
            start = at + 1
    return [*found, formula[start:]]


_WHOLE = re.compile(r"\$?(\d{1,7}):\$?(\d{1,7})|\$?([A-Z]{1,3}):\$?([A-Z]{1,3})")


def _title_area(ref: str) -> tuple[str, int, int] | None:
    """("rows", first, last) or ("columns", …) of a print titles' area; None for any other (#REF!)."""
    whole = _WHOLE.fullmatch(ref)
    if whole and whole.group(1):
        return "rows", int(whole.group(1)), int(whole.group(2))
    if whole:
        return "columns", 0, 0
    corners = [split_ref(corner) for corner in ref.split(":")]
    if len(corners) != 2 or corners[0] is None or corners[1] is None:
        return None
    (top, left), (bottom, right) = corners[0], corners[1]
    # Whole rows or columns as older programs wrote them too (to IV and 65536, LibreOffice's AMJ).
    if left == 0 and right >= OLD_LAST_COLUMN:
        return "rows", top, bottom
    if top == 1 and bottom >= OLD_LAST_ROW:
        return "columns", 0, 0
    return None


def with_header_row(formula: str, header: int, quoted: str) -> tuple[str, str | None]:
    """A template's print titles with the table's header row among the rows
    repeated on every page: its rows and the header's together where they
    are few, else the header row alone (the user told); its columns as they
    are. What no reader takes as titles (#REF!) gives way to the header row."""
    columns, rows, sheet = [], None, None
    for area in _areas(formula):
        name, _, ref = area.strip().rpartition("!")
        found = _title_area(ref)
        if found is None:
            continue
        sheet = sheet or name
        if found[0] == "columns":
            columns.append(area.strip())
        elif rows is None:
            rows = found[1:]
    first, last = (min(rows[0], header), max(rows[1], header)) if rows else (header, header)
    note = None
    if rows is not None and last - first + 1 > PRINT_TITLE_ROWS:  # the header row alone is never too many
        note = (
            f"範本的列印標題 (第 {rows[0]}–{rows[1]} 列) 離檢索結果的標題列太遠，無法一起在每頁重複；"
            f"每頁改為重複第 {header} 列 (檢索結果的標題列)"
        )
        first = last = header
    return ",".join([*columns, f"{sheet or quoted}!${first}:${last}"]), note


def _detail_sheet(root, detail: Detail, rid: str) -> None:
    """The detail sheet's entry, last (the template's sheets keep their
    places, and the names that count them theirs), with a sheetId of its
    own; its filter's and print titles' names."""
    rel_ns = STRICT_REL if etree.QName(root).namespace == STRICT_MAIN else REL
    sheets = child_or_make(root, "sheets")
    index = sum(1 for s in sheets if local(s.tag) == "sheet")
    ids = [int(s.get("sheetId")) for s in sheets if (s.get("sheetId") or "").isdigit()]
    entry = element_like(sheets, "sheet", name=detail.name, sheetId=max(ids, default=0) + 1)
    sheets.append(entry)
    entry.set(f"{{{rel_ns}}}id", rid)
    names = child_or_make(root, "definedNames")
    ours = {name.lower() for name, _, _ in detail.defined_names()}
    for stale in [n for n in names if n.get("localSheetId") == str(index) and n.get("name", "").lower() in ours]:
        names.remove(stale)  # a name for a sheet the template does not have: no reader could use it
    for name, hidden, text in detail.defined_names():
        defined = make(names, "definedName", name=name, localSheetId=index)
        if hidden:
            defined.set("hidden", "1")
        defined.text = text


def widened(text: str, block: Block, quoted: str) -> str:
    """The print area, widened to take the table."""
    areas = text.split(",")
    sheet, _, ref = areas[0].strip().rpartition("!")
    corners = [split_ref(corner) for corner in ref.split(":")]
    if len(areas) > 1 or not 1 <= len(corners) <= 2 or corners[0] is None or corners[-1] is None:
        return f"{text},{quoted}!{block.area_ref()}"
    top, left = corners[0]
    bottom, right = corners[-1]
    left, right = min(left, block.first_column), max(right, block.last_column)
    top, bottom = min(top, block.top_row), max(bottom, block.last_row)
    return f"{sheet + '!' if sheet else quoted + '!'}${column_name(left)}${top}:${column_name(right)}${bottom}"


def other_sheets_unselected(package: Package, table_index: int) -> dict[str, Iterator[bytes]]:
    """Other sheets selected in the template would open grouped with the
    table's sheet (an edit there would change them all): they lose their
    selection mark, and nothing else."""
    changed = {}
    for index, (name, part, _) in enumerate(package.sheets()):
        if index != table_index and part and package.name(part) is not None and _selected(package, part):
            if package.size(part) > MAX_SHEET:  # read as a stream, but within the same limit
                raise ReportError(f"{TOO_LARGE}: 範本檔案的「{name}」工作表過大")
            root = skeleton(package, part)
            for view in root.iter("{*}sheetView"):
                view.attrib.pop("tabSelected", None)
            p, main = prefix_of(root), etree.QName(root).namespace or ""
            changed[part] = sheet_pieces(root, merged_rows(package, part, iter(()), p, main), iter(()))
    return changed


def _selected(package: Package, part: str) -> bool:
    """Whether a sheet's view is selected, read no further than its rows' start."""
    with package.open(part) as stream:
        for _, element in iterparse(stream, events=("start",)):
            name = local(element.tag)
            if name == "sheetData":
                return False
            if name == "sheetView" and element.get("tabSelected") in ("1", "true"):
                return True
    return False


def _held(package: Package, part: str) -> str:
    """The package's own spelling of a part it is known to hold (one that `related` named)."""
    name = package.name(part)
    assert name is not None
    return name


def signatures(package: Package) -> set[str]:
    """The parts of a signed template's digital signature: once the table is
    added the signature no longer holds, and Excel would warn of it."""
    found: set[str] = set()
    for origin in package.related("", "origin"):
        found.add(_held(package, origin))
        rels = package.name(rels_part(origin))
        if rels:
            found.add(rels)
            found.update(
                held
                for _, t, mode in package.relationships(origin).values()
                if mode != "External" and (held := package.name(t))
            )
    return found


def fresh_id(taken, base: str) -> str:
    """`base`, or `base` and a number, that no relationship of `taken` has."""
    lowered = {t.lower() for t in taken}
    rid, n = base, 1
    while rid.lower() in lowered:
        n += 1
        rid = f"{base}{n}"
    return rid


def rels_without(
    package: Package,
    source: str,
    removed: set[str],
    styles_part: str | None = None,
    rel_ns: str = REL,
    added: tuple[tuple[str, str, str], ...] = (),
) -> bytes | None:
    """A part's relationships without those to removed parts, with a new
    style sheet's (its type in `rel_ns`) where `styles_part` is one the
    package lacks, and the `added` ones (id, type's last word, part); None
    when nothing changes."""
    name = package.name(rels_part(source))
    needs_styles = styles_part is not None and package.name(styles_part) is None
    lowered = {r.lower() for r in removed}
    if name is None and not (needs_styles or added):
        return None
    if name is not None and not (
        needs_styles or added or any(t.lower() in lowered for _, t, _ in package.relationships(source).values())
    ):
        return None
    root = parse(package.read(name)) if name else etree.Element(f"{{{PKG_REL}}}Relationships", nsmap={None: PKG_REL})
    for rel in list(root):
        if rel.get("TargetMode") != "External" and resolve(source, rel.get("Target", "")).lower() in lowered:
            root.remove(rel)
    namespace = etree.QName(root).namespace or PKG_REL
    wanted = (
        [(fresh_id(package.relationships(source), "rIdLumivarStyles"), "styles", styles_part)]
        if styles_part is not None and needs_styles
        else []
    )
    for rid, kind, part in [*wanted, *added]:
        rel = etree.SubElement(root, f"{{{namespace}}}Relationship")
        rel.set("Id", rid)
        rel.set("Type", f"{rel_ns}/{kind}")
        rel.set("Target", relative(source, part))
    return serialize(root)


def content_types(package: Package, removed: set[str], added: dict[str, str]) -> bytes:
    """The content types without the removed parts', a macro workbook's or a
    template's main part made a workbook's, and one entry for each part the
    report adds (part → its type): none where a Default for its extension
    already gives that type, else its Override, the one the package may
    already hold for it (a part it names but lacks)."""
    root = parse(package.read(CONTENT_TYPES_PART))
    namespace = etree.QName(root).namespace or CONTENT_TYPES
    lowered = {"/" + r.lower() for r in removed}
    defaults, overrides = {}, {}
    for entry in list(root):
        kind = local(entry.tag)
        if kind == "Default":
            defaults[entry.get("Extension", "").lower()] = entry.get("ContentType", "")
        if kind != "Override":
            continue
        name = entry.get("PartName", "").lower()
        if name in lowered:
            root.remove(entry)
            continue
        overrides[name] = entry
        if entry.get("ContentType", "").endswith(BECOMES_WORKBOOK):
            entry.set("ContentType", SHEET_MAIN_TYPE)  # a macro workbook or a template becomes a workbook
    for part, content_type in added.items():
        entry = overrides.get("/" + part.lower())
        if entry is None:
            base = part.rsplit("/", 1)[-1]
            if "." in base and defaults.get(base.rsplit(".", 1)[-1].lower()) == content_type:
                continue
            entry = etree.SubElement(root, f"{{{namespace}}}Override")
            entry.set("PartName", "/" + part)
        entry.set("ContentType", content_type)
    return serialize(root)


# ---------------------------------------------------------------- the parts' prologs

PROLOG = 1 << 16  # bytes of a part's head its prolog must end within
_FIRST_READ = 1 << 12
# Open Packaging Conventions allow XML parts in UTF-8 and UTF-16 alone (ASCII
# is UTF-8); in any other encoding a DTD could hide from a scan of bytes.
_ENCODINGS = re.compile(r"utf-?8|utf-?16(le|be)?|(us-)?ascii", re.IGNORECASE)
_DECLARED = re.compile(r"""\sencoding\s*=\s*["']([^"']*)["']""")


def check_prologs(package: Package) -> None:
    """Refuses, as damaged, a package with a part that declares a DTD (a
    package part may not: its entities could reach the user's files or the
    network in whatever opens the report). Most parts are copied as they are
    and never parsed, so each part's head is read up to its root element:
    a DTD can stand nowhere else. A part that cannot be read at all (an
    encrypted one, one packed in a way zipfile does not know) is damaged too."""
    for info in package.infos:
        if info.is_dir():
            continue
        try:
            with package.zip.open(info) as stream:
                clean = _prolog_clean(stream)
        except (RuntimeError, NotImplementedError) as error:  # zipfile's word for an encrypted part, an unknown method
            raise ValueError(f"{info.filename}: a part that cannot be read") from error
        if not clean:
            raise ValueError(f"{info.filename}: a package part with a DTD")


def _prolog_clean(stream: IO[bytes]) -> bool:
    """Whether a part's prolog holds no DTD, read in growing pieces until its
    root element (or its end); a prolog longer than PROLOG is no package part's."""
    head, size = b"", _FIRST_READ
    while True:
        head += stream.read(size - len(head))
        verdict = _prolog_verdict(head, whole=len(head) < size)
        if verdict is not None:
            return verdict
        if size >= PROLOG:
            return False
        size *= 2


def _prolog_verdict(head: bytes, whole: bool) -> bool | None:
    """True when the prolog in `head` ends clean at the root element (or the
    part is no XML at all), False for a DTD or an encoding a package may not
    use, None when `head` ends before the prolog does (unless it is `whole`)."""
    for bom, encoding in _BOMS:
        if head.startswith(bom):
            if encoding is None:
                return False
            head = head[len(bom) :]
            break
    else:
        if _ucs4_or_ebcdic(head):
            return False
        encoding = "utf-16-le" if head[:2] == b"<\x00" else "utf-16-be" if head[:2] == b"\x00<" else "utf-8"
    if encoding != "utf-8":
        head = head[: len(head) // 2 * 2]
    text = head.decode(encoding, errors="replace")
    at = 0
    while True:
        while at < len(text) and text[at] in " \t\r\n":
            at += 1
        if len(text) - at < 4 and not whole:
            return None  # too little to tell a comment from a DTD
        if text.startswith("<?", at):
            end = text.find("?>", at + 2)
            if end < 0:
                return True if whole else None
            declared = _DECLARED.search(text, at, end) if at == 0 and text.startswith("<?xml", at) else None
            if declared and not _ENCODINGS.fullmatch(declared.group(1)):
                return False
            at = end + 2
        elif text.startswith("<!--", at):
            end = text.find("-->", at + 4)
            if end < 0:
                return True if whole else None
            at = end + 3
        elif text.startswith("<!", at):
            return False  # in a prolog, only a DTD starts so
        else:
            return True  # the root element, or no XML at all (a picture, a binary part)


# Byte order marks (None: UTF-32, which a package may not use).
_BOMS = (
    (b"\xef\xbb\xbf", "utf-8"),
    (b"\xff\xfe\x00\x00", None),
    (b"\x00\x00\xfe\xff", None),
    (b"\xff\xfe", "utf-16-le"),
    (b"\xfe\xff", "utf-16-be"),
)


def _ucs4_or_ebcdic(head: bytes) -> bool:
    """XML in UCS-4 or EBCDIC without a byte order mark, told by its first
    two characters as XML parsers tell it ("<?xm" in EBCDIC)."""
    if head[:4] == b"\x4c\x6f\xa7\x94":
        return True
    first, second = head[:4], head[4:8]
    return any(
        first == b"\x00" * at + b"<" + b"\x00" * (3 - at)
        and len(second) == 4
        and second.count(b"\x00") == 3
        and second[at : at + 1] != b"\x00"
        for at in range(4)
    )
