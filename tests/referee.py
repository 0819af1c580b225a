"""An outside referee for a workbook package: what Excel would refuse or
repair, judged from ECMA-376 itself rather than from the report job's own
idea of the format (lumivar.report.schema and ooxml are not used here).

- Each XML part is validated against the schema of its content type, after
  markup compatibility has been applied as a consumer applies it (ECMA-376-3,
  §9: ignorable namespaces' elements and attributes dropped, AlternateContent
  reduced to its first understood Choice or its Fallback). Transitional or
  Strict is chosen by the namespace of the workbook.
- The package rules of ECMA-376-2 (Open Packaging Conventions) that Excel enforces: part names (no empty,
  dot-ended or all-dot segments, none twice without regard to case, none
  inside another), one content type per part and no part without one, every
  internal relationship's target present and of the content type its
  relationship calls for (in a Strict package, of Strict's relationship
  types), XML in UTF-8 or UTF-16 without a DTD.
- Excel's own limits that the schema leaves open (row heights, column widths,
  link lengths, frozen panes), as Excel repairs them on opening.

`findings(package)` lists them as "part: what" lines; `new_findings(report,
template)` only those a report added to the template it was written into.
The schemas (the 5th edition in tests/schemas, else the 1st that scripts/test
fetches, else none: see tests/schemas/README.md) are compiled once per process.
"""

from __future__ import annotations

import collections
import dataclasses
import functools
import io
import os
import posixpath
import re
import zipfile
from pathlib import Path
from urllib.parse import unquote, urlsplit
from urllib.request import url2pathname

from lxml import etree

TESTS = Path(__file__).resolve().parent
REPOSITORY = TESTS.parent
README = TESTS / "schemas" / "README.md"
# The 5th edition here, else the 1st edition that scripts/test fetches from
# Debian (see schemas/README.md); a folder of either may be named explicitly.
FIFTH_EDITION = (TESTS / "schemas",)
FIRST_EDITION = REPOSITORY / "build" / "ecma-376-1st"
SCHEMAS_VARIABLE = "LUMIVAR_SCHEMAS"

MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"
XML_NS = "http://www.w3.org/XML/1998/namespace"
CONTENT_TYPES_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
RELATIONSHIPS_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
STRICT_MAIN = "http://purl.oclc.org/ooxml/spreadsheetml/main"
MAIN = {
    "transitional": "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
    "strict": STRICT_MAIN,
}
HYPERLINK = ("/officeDocument/2006/relationships/hyperlink", "/ooxml/officeDocument/relationships/hyperlink")
CONTENT_TYPES_PART = "[Content_Types].xml"
RELATIONSHIPS_TYPE = "application/vnd.openxmlformats-package.relationships+xml"

# Each content type's root element (its local name); the flavour's schema
# checks the namespace and everything below.
_SML = "application/vnd.openxmlformats-officedocument.spreadsheetml."
ROOTS = {
    f"{_SML}sheet.main+xml": "workbook",
    f"{_SML}template.main+xml": "workbook",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml": "workbook",
    "application/vnd.ms-excel.template.macroEnabled.main+xml": "workbook",
    f"{_SML}worksheet+xml": "worksheet",
    f"{_SML}chartsheet+xml": "chartsheet",
    f"{_SML}dialogsheet+xml": "dialogsheet",
    f"{_SML}styles+xml": "styleSheet",
    f"{_SML}sharedStrings+xml": "sst",
    f"{_SML}table+xml": "table",
    f"{_SML}comments+xml": "comments",
    f"{_SML}calcChain+xml": "calcChain",
    f"{_SML}externalLink+xml": "externalLink",
    f"{_SML}pivotTable+xml": "pivotTableDefinition",
    f"{_SML}pivotCacheDefinition+xml": "pivotCacheDefinition",
    f"{_SML}pivotCacheRecords+xml": "pivotCacheRecords",
    f"{_SML}queryTable+xml": "queryTable",
    f"{_SML}connections+xml": "connections",
    f"{_SML}sheetMetadata+xml": "metadata",
    f"{_SML}volatileDependencies+xml": "volTypes",
    f"{_SML}tableSingleCells+xml": "singleXmlCells",
    f"{_SML}revisionHeaders+xml": "headers",
    f"{_SML}revisionLog+xml": "revisions",
    f"{_SML}userNames+xml": "users",
    "application/vnd.openxmlformats-officedocument.drawing+xml": "wsDr",
    "application/vnd.openxmlformats-officedocument.drawingml.chart+xml": "chartSpace",
    "application/vnd.openxmlformats-officedocument.theme+xml": "theme",
    "application/vnd.openxmlformats-officedocument.extended-properties+xml": "Properties",
    "application/vnd.openxmlformats-officedocument.custom-properties+xml": "Properties",
}
GENERIC_XML = ("application/xml", "text/xml")
# The content types a part may have, by the last segment of the type of the
# relationship that leads to it (the same in Transitional and Strict).
TYPED_AS = {
    "officeDocument": [t for t, root in ROOTS.items() if root == "workbook"],
    **{
        segment: [f"{_SML}{segment}+xml"]
        for segment in ("worksheet", "chartsheet", "styles", "sharedStrings", "table", "comments", "calcChain")
    },
    "theme": ["application/vnd.openxmlformats-officedocument.theme+xml"],
    "drawing": ["application/vnd.openxmlformats-officedocument.drawing+xml"],
}
TRANSITIONAL_TYPES = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
# The schema files each flavour is compiled from: SpreadsheetML with what it
# imports (DrawingML for anchors), and the document properties.
FLAVOUR_FILES = (
    "sml.xsd",
    "dml-chart.xsd",
    "shared-documentPropertiesExtended.xsd",
    "shared-documentPropertiesCustom.xsd",
)
# The 1st edition splits SpreadsheetML by area (one namespace, xsd:include)
# and DrawingML's main namespace over many files: the files declaring the
# root of each content type in ROOTS, and the drawings a sheet may hold.
FIRST_EDITION_FILES = (
    *(
        f"sml-{area}.xsd"
        for area in (
            "workbook sheet styles sharedStringTable table comments calculationChain supplementaryWorkbooks "
            "pivotTable queryTable externalConnections sheetMetadata volatileDependencies singleCellTable "
            "sharedWorkbookRevisions sharedWorkbookUserNames customXmlMappings"
        ).split()
    ),
    *(
        f"dml-{area}.xsd"
        for area in (
            "spreadsheetDrawing chart stylesheet picture lockedCanvas "
            "diagramDefinition diagramDataModel diagramColorTransform diagramStyleDefinition"
        ).split()
    ),
    "shared-documentPropertiesExtended.xsd",
    "shared-documentPropertiesCustom.xsd",
)
OPC_FILES = ("opc-contentTypes.xsd", "opc-relationships.xsd")

# Excel's limits beyond the schema (as Microsoft publishes Excel's limits;
# [MS-OI29500] 2.1.640 for the pane).
MAX_ROW_HEIGHT = 409.0
MAX_COLUMN_WIDTH = 255.0
MAX_LINK = 2_079


class SchemasMissing(RuntimeError):
    pass


# ---------------------------------------------------------------- the schemas, compiled once


@dataclasses.dataclass(frozen=True)
class Edition:
    """Where the schemas come from: `name` is "5th", "1st" or "" (none);
    `flavours` holds (flavour, folder, root files) for each flavour it
    validates; a flavour without any is package-checked only."""

    name: str
    folder: Path | None = None
    flavours: tuple[tuple[str, Path, tuple[str, ...]], ...] = ()

    def __str__(self):
        return f"ECMA-376 {self.name} edition ({self.folder})" if self.name else "no ECMA-376 schemas"


def fifth_edition(folder: Path) -> Edition:
    return Edition(
        "5th",
        folder,
        (
            ("transitional", folder / "transitional", FLAVOUR_FILES),
            ("strict", folder / "strict", FLAVOUR_FILES),
            ("opc", folder / "opc", OPC_FILES),
        ),
    )


def first_edition(folder: Path) -> Edition:
    """The 1st edition (Transitional only: Strict came with the 2nd), from
    the folder scripts/test extracts POI's ooxml-xsds into, or that folder itself."""
    xsds = folder / "ooxml-xsds" if (folder / "ooxml-xsds").is_dir() else folder
    return Edition("1st", folder, (("transitional", xsds, FIRST_EDITION_FILES), ("opc", xsds, OPC_FILES)))


def locate(fifth=FIFTH_EDITION, first=FIRST_EDITION) -> Edition:
    """The schemas to judge with: the folder SCHEMAS_VARIABLE names, else
    the 5th edition, else the 1st, else none."""
    named = os.environ.get(SCHEMAS_VARIABLE)
    if named:
        folder = Path(named)
        if (folder / "strict" / "sml.xsd").is_file():
            return fifth_edition(folder)
        if (folder / "sml-sheet.xsd").is_file() or (folder / "ooxml-xsds" / "sml-sheet.xsd").is_file():
            return first_edition(folder)
        # Named on purpose: judging without schemas instead would pass what it should not.
        raise SchemasMissing(f"{SCHEMAS_VARIABLE}={named}: no ECMA-376 schemas there (see {README})")
    found = next((f for f in fifth if (f / "strict" / "sml.xsd").is_file()), None)
    if found:
        return fifth_edition(found)
    if (first / "ooxml-xsds" / "sml-sheet.xsd").is_file():
        return first_edition(first)
    return Edition("")


@functools.cache
def edition() -> Edition:
    return locate()


XSD = "http://www.w3.org/2001/XMLSchema"
# The complex type Excel's dateCompatibility belongs to, and where each edition declares it.
WORKBOOK_PR = "CT_WorkbookPr"
DECLARING_WORKBOOK_PR = ("sml.xsd", "sml-workbook.xsd")


class _Served(etree.Resolver):
    """Serves a folder's schema files to the compiler with two changes, the
    files on disk staying as Ecma has them:

    - CT_WorkbookPr gets dateCompatibility, an optional boolean: ECMA-376-1
      §18.2.28 describes it and Excel writes it ([MS-OI29500] 2.1.585), but
      the schema files of neither edition declare it.
    - A namespace spread over several files (the 1st edition's) is served
      as one document including them all, and every import of it points
      there: libxml2 reads only the first import of each namespace."""

    def __init__(self, folder: Path, spread: dict[str, list[str]]):
        super().__init__()
        self.folder = folder.resolve()
        self.spread = spread
        self.joined = {_joined_name(i): ns for i, ns in enumerate(spread)}

    def resolve(self, url, pubid, context):
        path = Path(url2pathname(urlsplit(url).path))
        if path.parent != self.folder:
            return None
        if path.name in self.joined:
            namespace = self.joined[path.name]
            includes = "".join(f'<xsd:include schemaLocation="{f}"/>' for f in self.spread[namespace])
            text = f'<xsd:schema xmlns:xsd="{XSD}" targetNamespace="{namespace}">{includes}</xsd:schema>'
            return self.resolve_string(text, context, base_url=url)
        served = _served(path, tuple(self.spread)) if path.is_file() else None
        return None if served is None else self.resolve_string(served, context, base_url=url)


def _joined_name(index: int) -> str:
    return f"referee-namespace-{index}.xsd"


@functools.cache
def _served(path: Path, spread: tuple[str, ...]) -> bytes | None:
    """The file as the compiler gets it; None when it gets it as it is."""
    tree = etree.parse(str(path))
    root = tree.getroot()
    redirected = [e for e in root if e.tag == f"{{{XSD}}}import" and e.get("namespace") in spread]
    for element in redirected:
        element.set("schemaLocation", _joined_name(spread.index(element.get("namespace"))))
    patched = False
    if path.name in DECLARING_WORKBOOK_PR:
        declared = root.findall(f"{{{XSD}}}complexType[@name='{WORKBOOK_PR}']")
        assert len(declared) == 1, f"{path}: {WORKBOOK_PR} is not where the referee adds dateCompatibility"
        if declared[0].find(f"{{{XSD}}}attribute[@name='dateCompatibility']") is None:
            prefix = next((p for p, ns in root.nsmap.items() if ns == XSD and p), None)
            etree.SubElement(
                declared[0],
                f"{{{XSD}}}attribute",
                name="dateCompatibility",
                type=f"{prefix}:boolean" if prefix else "boolean",
                use="optional",
                default="true",
            )
            patched = True
    return etree.tostring(tree) if redirected or patched else None


def _closure(folder: Path, files: tuple[str, ...]) -> dict[str, str]:
    """Each schema file `files` include or import, however deep, with its target namespace."""
    namespaces, waiting = {}, list(files)
    while waiting:
        name = waiting.pop()
        if name in namespaces:
            continue
        root = etree.parse(str(folder / name)).getroot()
        namespaces[name] = root.get("targetNamespace") or ""
        waiting += [
            e.get("schemaLocation")
            for e in root
            if e.tag in (f"{{{XSD}}}include", f"{{{XSD}}}import") and e.get("schemaLocation")
        ]
    return namespaces


def _compile(folder: Path, files: tuple[str, ...]) -> tuple[etree.XMLSchema, frozenset[str]]:
    """One schema of `files` of `folder` and what they import, and the namespaces it knows."""
    missing = [f for f in files if not (folder / f).is_file()]
    if missing:
        raise SchemasMissing(f"ECMA-376 schemas missing in {folder}: {', '.join(missing)} (see {README})")
    namespaces = _closure(folder, files)
    by_namespace = collections.defaultdict(list)
    for name, namespace in sorted(namespaces.items()):
        by_namespace[namespace].append(name)
    spread = {ns: names for ns, names in by_namespace.items() if len(names) > 1}
    roots = dict.fromkeys(namespaces[f] for f in files)
    imports = "".join(
        f'<xsd:import namespace="{ns}" schemaLocation="'
        f'{(folder / (_joined_name(list(spread).index(ns)) if ns in spread else by_namespace[ns][0])).resolve().as_uri()}"/>'
        for ns in roots
    )
    parser = etree.XMLParser()
    parser.resolvers.add(_Served(folder, spread))
    wrapper = etree.fromstring(
        f'<xsd:schema xmlns:xsd="{XSD}">{imports}</xsd:schema>',
        parser,
        base_url=(folder / "referee.xsd").resolve().as_uri(),
    )
    return etree.XMLSchema(wrapper), frozenset(set(namespaces.values()) | {MC, XML_NS})


@functools.cache
def _compiled(chosen: Edition) -> dict[str, tuple[etree.XMLSchema, frozenset[str]]]:
    return {flavour: _compile(folder, files) for flavour, folder, files in chosen.flavours}


def schemas() -> dict[str, tuple[etree.XMLSchema, frozenset[str]]]:
    """Of Transitional, Strict and the package's own (OPC), those the edition
    at hand has, each with the namespaces it understands; compiled once."""
    return _compiled(edition())


def notice() -> str | None:
    """What the session's judging lacked, for pytest's terminal summary:
    nothing when the 5th edition judged, or when nothing was judged."""
    if not _compiled.cache_info().currsize or edition().name == "5th":
        return None
    judged = edition()
    if judged.name:
        return (
            f"referee: {judged}: Transitional parts validated against it, Strict parts only package-checked; "
            f"for the 5th edition see {README}"
        )
    return (
        f"referee: {judged}: no part validated against a schema, package rules and Excel's limits checked "
        f"(scripts/test fetches the 1st edition; see {README})"
    )


# ---------------------------------------------------------------- markup compatibility


def _prefixes(element, attribute: str) -> list[str | None]:
    """The namespaces an MC attribute names by prefix; an unbound prefix names None."""
    return _bound(element, element.get(f"{{{MC}}}{attribute}") or "")


def _bound(element, prefixes: str) -> list[str | None]:
    return [element.nsmap.get(p) for p in prefixes.split()]


def _namespace(tag: str) -> str:
    return tag[1:].split("}", 1)[0] if tag.startswith("{") else ""


def compatible(root, understood: frozenset[str], extensions: frozenset[str]) -> list[str]:
    """Applies markup compatibility to `root` in place as a consumer that
    understands the `understood` namespaces does; `extensions` are the tags
    of application-defined extension elements, left as they are. Returns the
    mismatches the consumer would signal."""
    mismatches: list[str] = []

    def scope(element, ignorable, processed):
        ignorable = ignorable | {ns for ns in _prefixes(element, "Ignorable") if ns}
        for token in (element.get(f"{{{MC}}}ProcessContent") or "").split():
            prefix, _, name = token.rpartition(":")
            processed = processed | {(element.nsmap.get(prefix), name)}
        return ignorable, processed

    def must_understand(element):
        for ns in _prefixes(element, "MustUnderstand"):
            if ns not in understood:
                mismatches.append(f"{etree.QName(element).localname} must be understood: {ns}")

    def clean(element, ignorable):
        for name in list(element.attrib):
            ns = _namespace(name)
            if ns == MC or (ns in ignorable and ns not in understood):
                del element.attrib[name]

    def selected(alternate):
        for choice in alternate:
            if not isinstance(choice.tag, str):
                continue
            name = etree.QName(choice)
            if name.namespace == MC and name.localname == "Choice":
                if all(ns in understood for ns in _bound(choice, choice.get("Requires") or "")):
                    return choice
            elif name.namespace == MC and name.localname == "Fallback":
                return choice
        return None

    def walk(element, ignorable, processed):
        children = [c for c in element if isinstance(c.tag, str)]
        for child in children:
            visit(element, child, ignorable, processed)

    def replace(parent, child, content):
        """`child` gives way to `content` (its own children), in its place."""
        index = parent.index(child)
        for offset, item in enumerate(list(content)):
            parent.insert(index + offset, item)
        parent.remove(child)

    def visit(parent, child, ignorable, processed):
        if child.tag in extensions:
            return
        inner, inner_processed = scope(child, ignorable, processed)
        ns, name = _namespace(child.tag), etree.QName(child).localname
        if ns == MC and name == "AlternateContent":
            must_understand(child)
            chosen = selected(child)
            if chosen is None:
                parent.remove(child)
                return
            must_understand(chosen)
            chosen_scope = scope(chosen, inner, inner_processed)
            items = [c for c in chosen if isinstance(c.tag, str)]
            replace(parent, child, chosen)
            for item in items:
                visit(parent, item, *chosen_scope)
        elif ns in inner and ns not in understood:
            if (ns, name) in inner_processed or (ns, "*") in inner_processed:
                must_understand(child)
                items = [c for c in child if isinstance(c.tag, str)]
                replace(parent, child, child)
                for item in items:
                    visit(parent, item, inner, inner_processed)
            else:
                parent.remove(child)
        else:
            must_understand(child)
            clean(child, inner)
            walk(child, inner, inner_processed)

    ignorable, processed = scope(root, frozenset(), frozenset())
    must_understand(root)
    clean(root, ignorable)
    walk(root, ignorable, processed)
    return mismatches


# ---------------------------------------------------------------- the package


def _part_name_faults(name: str) -> list[str]:
    """ECMA-376-2 §9.1.1.1: no empty segment, none ending in a dot, none of dots only."""
    segments = name.split("/")
    if name.startswith("/") or name.endswith("/") or "" in segments:
        return ["part name with an empty segment"]
    if any(s.endswith(".") for s in segments):
        return ["part name with a segment ending in a dot (or a . or .. segment)"]
    return []


def _content_types(data: bytes) -> tuple[dict[str, list[str]], dict[str, list[str]]]:
    """Default content types by extension and Override ones by part name, both lowercase."""
    root = etree.fromstring(data, _parser())
    defaults, overrides = collections.defaultdict(list), collections.defaultdict(list)
    for entry in root:
        if not isinstance(entry.tag, str) or _namespace(entry.tag) != CONTENT_TYPES_NS:
            continue
        kind = etree.QName(entry).localname
        if kind == "Default":
            defaults[(entry.get("Extension") or "").lower()].append(entry.get("ContentType") or "")
        elif kind == "Override":
            overrides[(entry.get("PartName") or "").lstrip("/").lower()].append(entry.get("ContentType") or "")
    return defaults, overrides


@functools.cache
def _parser():
    return etree.XMLParser(resolve_entities=False, no_network=True, load_dtd=False, huge_tree=True)


def _target(source: str, target: str) -> str:
    """A relationship's internal target as a zip entry name (lowercase), from the part that holds its rels."""
    target = target.split("#", 1)[0]
    if target.startswith("/"):
        joined = target
    else:
        joined = posixpath.join("/" + posixpath.dirname(source), target)
    return posixpath.normpath(joined).lstrip("/").lower()


def _source_of(rels: str) -> str:
    """The part a relationships part belongs to ("" for the package's own)."""
    folder, base = posixpath.split(rels)
    return posixpath.join(posixpath.dirname(folder), base[: -len(".rels")])


def _flavour(items: dict[str, bytes]) -> str:
    """Strict when the package's main part is in Strict's namespace."""
    rels = items.get("_rels/.rels")
    try:
        main = next(
            r.get("Target", "")
            for r in etree.fromstring(rels, _parser())
            if r.get("Type", "").endswith("/officeDocument")
        )
        data = {name.lower(): data for name, data in items.items()}.get(_target("", main))
        return (
            "strict"
            if data and etree.fromstring(data, _parser()).tag == f"{{{STRICT_MAIN}}}workbook"
            else "transitional"
        )
    except (StopIteration, TypeError, ValueError, etree.XMLSyntaxError):
        return "transitional"


def _excel_limits(root) -> list[str]:
    """Values the schema allows and Excel repairs: rows over 409 points,
    columns over 255 characters, a frozen pane whose top left cell is frozen."""
    found = []
    for element in root.iter():
        if not isinstance(element.tag, str):
            continue
        name = etree.QName(element).localname
        if name == "row" and _number(element.get("ht")) > MAX_ROW_HEIGHT:
            found.append(f"row {element.get('r')} {element.get('ht')} points high, over Excel's {MAX_ROW_HEIGHT:g}")
        elif name == "sheetFormatPr" and _number(element.get("defaultRowHeight")) > MAX_ROW_HEIGHT:
            found.append(f"default row height over Excel's {MAX_ROW_HEIGHT:g}")
        elif name == "col" and _number(element.get("width")) > MAX_COLUMN_WIDTH:
            found.append(f"column width {element.get('width')} over Excel's {MAX_COLUMN_WIDTH:g}")
        elif name == "pane" and element.get("state") in ("frozen", "frozenSplit"):
            found += _frozen_pane(element)
        elif name == "hyperlink" and len(element.get("location") or "") > MAX_LINK:
            found.append(f"link at {element.get('ref')} over {MAX_LINK} characters")
    return found


def _frozen_pane(pane) -> list[str]:
    """A frozen pane's top left cell must lie below and right of the frozen
    rows and columns, which begin at the view's own top left cell."""
    top_left = pane.get("topLeftCell")
    if not top_left:
        return ["frozen pane without its top left cell"]
    view = pane.getparent()
    corner, first = _cell(top_left), _cell(view.get("topLeftCell") or "A1") if view is not None else (1, 1)
    if corner is None or first is None:
        return []
    rows, columns = _number(pane.get("ySplit")), _number(pane.get("xSplit"))
    if corner[0] < first[0] + rows or corner[1] < first[1] + columns:
        return [
            f"frozen pane's top left cell {top_left} inside the {rows:g} rows and {columns:g} columns "
            f"frozen from {view.get('topLeftCell') or 'A1'}"
        ]
    return []


def _cell(ref: str) -> tuple[int, int] | None:
    """(row, column), both from 1, of a cell reference."""
    match = re.fullmatch(r"\$?([A-Z]{1,3})\$?(\d{1,7})", ref)
    if not match:
        return None
    return int(match.group(2)), functools.reduce(lambda n, ch: n * 26 + ord(ch) - 64, match.group(1), 0)


def _number(text: str | None) -> float:
    try:
        return float(text) if text else 0.0
    except ValueError:
        return 0.0


def _drop_space(root) -> None:
    """xml:space, which Excel writes on texts (<t xml:space="preserve">):
    XML 1.0 (§2.10) gives it to every element, but the schema files declare
    it nowhere, so it goes before validating; any other value is a fault."""
    space = f"{{{XML_NS}}}space"
    for element in root.iter():
        if element.get(space) in ("preserve", "default"):
            del element.attrib[space]


def _schema_faults(schema: etree.XMLSchema, root, own: str) -> list[str]:
    if schema.validate(root):
        return []
    return [_readable(e.message, own) for e in schema.error_log]


def _readable(message: str, own: str) -> str:
    """lxml's message without the package's own namespace; others stay, so
    a Transitional element in a Strict part shows where it comes from."""
    return message.replace(f"{{{own}}}", "")


def findings(package) -> list[str]:
    """What Excel would refuse or repair in a package (its path, or its
    bytes): "part: what" lines."""
    try:
        with zipfile.ZipFile(io.BytesIO(package) if isinstance(package, bytes) else package) as opened:
            entries = [i.filename for i in opened.infolist() if not i.is_dir()]
            items = {name: opened.read(name) for name in entries}
    except (OSError, zipfile.BadZipFile, KeyError, EOFError, ValueError) as error:
        return [f"no zip package ({error})"]
    compiled = schemas()
    found: list[str] = []

    by_lower = collections.defaultdict(list)
    for name in entries:
        by_lower[name.lower()].append(name)
        found += [f"{name}: {fault}" for fault in _part_name_faults(name)]
    found += [f"{names[0]}: part twice ({len(names)} zip entries)" for names in by_lower.values() if len(names) > 1]
    lowered = set(by_lower)
    found += [f"{name}: a part inside another part" for name in lowered if posixpath.dirname(name) in lowered]

    types = items.get(CONTENT_TYPES_PART)
    if types is None:
        return found + [f"{CONTENT_TYPES_PART}: missing"]
    try:
        defaults, overrides = _content_types(types)
    except etree.XMLSyntaxError as error:
        return found + [f"{CONTENT_TYPES_PART}: not well-formed ({error})"]
    found += [f"{CONTENT_TYPES_PART}: {len(v)} Defaults for .{k}" for k, v in defaults.items() if len(v) > 1]
    found += [f"{CONTENT_TYPES_PART}: {len(v)} Overrides for /{k}" for k, v in overrides.items() if len(v) > 1]
    if CONTENT_TYPES_PART.lower() in overrides:
        found.append(f"{CONTENT_TYPES_PART}: an Override for itself")

    flavour = _flavour(items)
    judged = compiled.get(flavour)  # None: the edition at hand has no schema of this flavour
    extensions = frozenset({f"{{{MAIN[flavour]}}}ext"})  # extLst's children: the application's own

    def typed(name):
        base = posixpath.basename(name)
        listed = overrides.get(name.lower()) or ("." in base and defaults.get(base.rsplit(".", 1)[1].lower()))
        return listed[0] if listed else None

    for name in entries:
        if name == CONTENT_TYPES_PART:
            content_type = "content types"
        else:
            # ECMA-376-2 [M2.4] leaves relationships parts out, but Excel and
            # System.IO.Packaging count one without a content type as damaged.
            content_type = typed(name)
            if content_type is None:
                found.append(f"{name}: no content type")
                continue
            if name.lower().endswith(".rels") and "/_rels/" in "/" + name.lower():
                if content_type != RELATIONSHIPS_TYPE:
                    found.append(f"{name}: typed {content_type}, not as relationships")
                content_type = RELATIONSHIPS_TYPE
        if not (content_type == "content types" or content_type.endswith("+xml") or content_type.endswith("/xml")):
            continue
        found += [f"{name}: {fault}" for fault in _xml_faults(name, items, content_type, flavour, judged, extensions)]
    return found + _relationship_faults(items, lowered, typed, flavour)


def _xml_faults(name, items, content_type, flavour, judged, extensions) -> list[str]:
    data = items[name]
    head = data[:200].lstrip(b"\xef\xbb\xbf")
    declared = re.match(rb"<\?xml[^>]*encoding=[\"']([A-Za-z0-9._-]+)", head)
    if declared and declared.group(1).lower() not in (b"utf-8", b"utf-16"):
        return [f"encoded in {declared.group(1).decode()}, not UTF-8 or UTF-16"]
    try:
        root = etree.fromstring(data, _parser())
    except etree.XMLSyntaxError as error:
        return [f"not well-formed ({error})"]
    if root.getroottree().docinfo.doctype:
        return ["declares a DTD"]
    found = []
    if content_type in ("content types", RELATIONSHIPS_TYPE):
        if "opc" not in schemas():
            return []
        schema, known = schemas()["opc"]
        own = CONTENT_TYPES_NS if content_type == "content types" else RELATIONSHIPS_NS
        found += [f"markup compatibility: {m}" for m in compatible(root, known, frozenset())]
        return found + _schema_faults(schema, root, own)
    expected = ROOTS.get(content_type)
    understood = judged[1] if judged else frozenset({MAIN[flavour]})
    if expected is None and not (content_type in GENERIC_XML and etree.QName(root).namespace in understood):
        return []  # a vocabulary the referee has no schema for (customXml, VML, Excel's extensions)
    if expected is not None and etree.QName(root).localname != expected:
        return [f"a {etree.QName(root).localname} where its content type says {expected}"]
    if judged:
        found += [f"markup compatibility: {m}" for m in compatible(root, understood, extensions)]
        _drop_space(root)
        found += _schema_faults(judged[0], root, MAIN[flavour])
    return found + (_excel_limits(root) if etree.QName(root).localname == "worksheet" else [])


def _relationship_faults(items: dict[str, bytes], lowered: set[str], typed, flavour: str) -> list[str]:
    """Every internal target present and typed as its relationship says;
    in a Strict package, Strict's relationship types only."""
    found = []
    for name, data in items.items():
        if not name.lower().endswith(".rels"):
            continue
        try:
            relationships = etree.fromstring(data, _parser())
        except etree.XMLSyntaxError:
            continue  # told with the part's XML
        source = _source_of(name)
        for r in relationships:
            if not isinstance(r.tag, str):
                continue
            target, kind = r.get("Target") or "", r.get("Type", "")
            if flavour == "strict" and kind.startswith(TRANSITIONAL_TYPES):
                found.append(f"{name}: {r.get('Id')} of the Transitional type {kind} in a Strict package")
            if r.get("TargetMode") == "External":
                if kind.endswith(HYPERLINK) and len(target) > MAX_LINK:
                    found.append(f"{name}: link {r.get('Id')} {len(target)} characters, over Excel's {MAX_LINK}")
                continue
            part = next((p for p in (_target(source, target), unquote(_target(source, target))) if p in lowered), None)
            if part is None:
                found.append(f"{name}: {r.get('Id')} points at {target}, which is not in the package")
                continue
            wanted = TYPED_AS.get(kind.rsplit("/", 1)[-1])
            content_type = typed(part)
            if wanted and content_type and content_type not in wanted:
                found.append(
                    f"{name}: {r.get('Id')} relates {part} as {kind.rsplit('/', 1)[-1]}, but it is typed {content_type}"
                )
    return found


def new_findings(report, template) -> list[str]:
    """The findings of `report` that its template did not already have (as many times)."""
    added = collections.Counter(findings(report)) - collections.Counter(findings(template))
    return sorted(added.elements())
