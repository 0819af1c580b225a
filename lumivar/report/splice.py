"""The template's table sheet with the report's rows merged in, as a stream.

The sheet is read by the parser twice: once for its skeleton (every element
but the rows, which the template editor changes), once for its rows, each
written out by the parser as soon as it is read, the report's rows merged in
by row number. Where a row holds both, the report's cells take their columns
and the template's other cells stay. Comments, instructions and CDATA of the
template come through as the parser reads them.
"""

from __future__ import annotations

from collections.abc import Collection, Iterator

from lxml import etree

from .ooxml import Package, column_name, iterparse, local, no_dtd, number_of, serialize
from .schema import child
from .sheetrows import cells, row_number
from .sheetxml import Row, row_height, row_xml

ROWS_HERE = "lumivar: the table's rows"
LINKS_HERE = "lumivar: the table's links"

Ours = Iterator[Row]


def skeleton(package: Package, part: str):
    """The sheet's root with its sheetData emptied."""
    with package.open(part) as stream:
        context = iterparse(stream, tag="{*}row")
        for _, row in context:
            parent = row.getparent()
            if local(parent.tag) == "sheetData":
                row.clear()  # its cells freed at once: a whole row taken out costs the square of its cells
                parent.remove(row)
        root = no_dtd(context.root)
    data = child(root, "sheetData")
    if data is None:
        raise ValueError("a worksheet without sheetData")
    for node in list(data):
        data.remove(node)
    return root


def prefix_of(root) -> str:
    """The sheet's own prefix for its main namespace: "" or "x:"."""
    data = child(root, "sheetData")
    return f"{data.prefix}:" if data is not None and data.prefix else ""


def sheet_pieces(root, rows: Iterator[bytes], links: Iterator[str], declare: str = "") -> Iterator[bytes]:
    """The edited skeleton's XML with the rows, and the links where the
    editor marked their place, written in as they come; `declare`, a
    namespace declaration added to the root's start tag."""
    child(root, "sheetData").append(etree.Comment(ROWS_HERE))
    text = serialize(root)
    if declare:
        # The serializer writes the root alone after its XML declaration: the first "<" after that is its start.
        name = f"<{root.prefix + ':' if root.prefix else ''}{etree.QName(root).localname}".encode()
        at = text.index(name, text.index(b"?>") + 2) + len(name)
        text = text[:at] + declare.encode() + text[at:]
    before, after = text.split(f"<!--{ROWS_HERE}-->".encode(), 1)
    yield before
    yield from rows
    mark = f"<!--{LINKS_HERE}-->".encode()
    if mark not in after:
        yield after
        return
    before, after = after.split(mark, 1)
    yield before
    for element in links:
        yield element.encode()
    yield after


class _Writer:
    """Serializes template rows (and what lies between them) as they read in
    their sheet, each then taken out of the parser's tree. The serializer
    declares on a row every namespace in scope there; those its sheet
    declares already are left out of the row's start tag, so no row carries
    declarations of its own. (Moving a row into a wrapper element that
    declares them instead takes time that grows with the square of the row's
    cells.)"""

    def __init__(self, data_element):
        self.declared = [_declaration(prefix, uri) for prefix, uri in data_element.nsmap.items()]

    def __call__(self, nodes: list) -> bytes:
        out = []
        for node in nodes:
            text = etree.tostring(node, encoding="UTF-8")
            if isinstance(node.tag, str):
                # The serializer's own start tag holds no ">" (it escapes them), its declarations first.
                end = text.index(b">")
                start = text[:end]
                for declaration in self.declared:
                    start = start.replace(declaration, b"", 1)
                text = start + text[end:]
            out.append(text)
            node.clear()  # its parts go at once; the node itself, empty, cheaply
            node.getparent().remove(node)
        return b"".join(out)


def _declaration(prefix: str | None, uri: str) -> bytes:
    """A namespace declaration as the serializer writes it (' xmlns:x="…"')."""
    text = etree.tostring(etree.Element(f"{{{uri}}}d", nsmap={prefix: uri}))
    return text[text.index(b" ") : text.rindex(b"/>")]


def merged_rows(
    package: Package,
    part: str,
    ours: Ours,
    p: str,
    main: str,
    shown: range = range(0),
    blank: Collection[tuple[int, int]] = (),
) -> Iterator[bytes]:
    """The template's rows with the report's merged in, in row order. Rows in
    `shown` are not hidden (no report row is); the cells at `blank` (the
    markers, when the table or the summary had to go elsewhere) lose their text."""
    mine = next(ours, None)
    number = 0
    write = None
    with package.open(part) as stream:
        context = iterparse(stream, tag="{*}row")
        for _, row in context:
            data = row.getparent()
            if local(data.tag) != "sheetData":
                continue
            write = write or _Writer(data)
            number = row_number(row, number)
            while mine is not None and mine[0] < number:
                yield _row_xml(mine, p)
                mine = next(ours, None)
            nodes = _before(row)  # comments and instructions between it and the last row
            if number in shown and row.get("hidden") in ("1", "true"):
                del row.attrib["hidden"]
            for marker_row, marker_column in blank:
                if number == marker_row:
                    _blank(row, number, marker_column)
            if mine is not None and mine[0] == number:
                _merge(row, number, mine[1], p, main)
                height = row_height(mine[2])
                if height and (number_of(row.get("ht")) or 0) < height:
                    row.set("ht", f"{height:g}")  # the template's own height, where it is more, stays
                mine = next(ours, None)
            yield write(nodes + [row])
        root = context.root
        data = child(root, "sheetData") if root is not None else None
        trailing = list(data) if data is not None else []
    while mine is not None:
        yield _row_xml(mine, p)
        mine = next(ours, None)
    if trailing:
        yield (write or _Writer(data))(trailing)


def _blank(row, number: int, column: int) -> None:
    for at, cell in cells(row, number):
        if at == column:
            for part in list(cell):
                cell.remove(part)
            cell.attrib.pop("t", None)


def _before(row) -> list:
    # Only earlier siblings: the parser may already have read ahead of this row.
    found = []
    node = row.getprevious()
    while node is not None:
        found.append(node)
        node = node.getprevious()
    return found[::-1]


def _row_xml(mine: Row, p: str) -> bytes:
    return row_xml(*mine, p=p).encode("utf-8")


def _merge(row, number: int, ours: list[tuple[int, str]], p: str, main: str) -> None:
    taken = {column for column, _ in ours}
    kept = []
    for column, cell in list(cells(row, number)):
        row.remove(cell)
        if column in taken:
            continue
        if cell.get("r") is None:  # its place was implied: name it, since the order changes
            cell.set("r", f"{column_name(column)}{number}")
        kept.append((column, cell))
    declare = f'xmlns:{p[:-1]}="{main}"' if p else f'xmlns="{main}"'
    parsed = etree.fromstring(f"<w {declare}>{''.join(xml for _, xml in ours)}</w>".encode())
    added = list(zip((column for column, _ in ours), parsed))
    rest = list(row)  # what a row holds besides cells (extLst) goes after them
    for node in rest:
        row.remove(node)
    for _, cell in sorted(kept + added, key=lambda pair: pair[0]):
        row.append(cell)
    for node in rest:
        row.append(node)
    row.attrib.pop("spans", None)
