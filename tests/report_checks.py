"""A report's parts as a strict reader (Excel) checks them, for the tests of
the report job: the outside referee's findings (referee.py: ECMA-376's
schemas and package rules, Excel's limits), the schema's element order as
the report job knows it, unique ids and names, one column record per
column, one link per cell. Of a report written into a template, only what
the report added counts: some real templates are damaged already."""

import collections
import hashlib
import io
import os
import zipfile

from lxml import etree

from lumivar import protocol
from lumivar.report.ooxml import local, ranges
from lumivar.report.schema import ORDER

import referee

# The running test's reports: each one's real path → its template, and the
# reports problems() was asked about (the rest are judged when the test ends).
_MADE_FROM = {}
_ASKED = set()
# A package's findings by its bytes' digest: each package is judged once a session.
_JUDGED = {}


def judge_reports():
    """conftest's autouse fixture: every report job.make_report writes while
    a test runs is kept as it is made, with its template; when the test ends,
    each one the test did not ask problems() about is judged, and the test
    fails on any fault the report added to its template."""
    from lumivar.report import job

    made, lost = [], {}
    real = job.make_report

    def noting(request, *args, **kwargs):
        path = real(request, *args, **kwargs)
        if path is not None:
            template = request.get(protocol.TEMPLATE_PATH) if isinstance(request, dict) else None
            template = template if isinstance(template, str) and template else None
            key = os.path.realpath(path)
            if template:
                _MADE_FROM[key] = template
            made.append((key, _snapshot(path), template and _snapshot(template)))
            patents = request.get(protocol.PATENT_PATH) if isinstance(request, dict) else None
            missing = values_missing(made[-1][1], patents, kwargs.get("folder")) if patents else []
            if missing:
                lost[key] = missing[:10]
        return path

    job.make_report = noting
    try:
        yield
    finally:
        job.make_report = real
        asked = set(_ASKED)
        _MADE_FROM.clear()
        _ASKED.clear()
    faults = {key: found for key, report, template in made if key not in asked and (found := _new(report, template))}
    shown = {key: found[:10] + [f"… {len(found) - 10} more"] * (len(found) > 10) for key, found in faults.items()}
    assert not faults, f"a report this test made has faults Excel would repair: {shown}"
    assert not lost, f"a report this test made lost values of its list: {lost}"


MAX_LISTED = 2_000  # entries of a list whose every value is looked for


def values_missing(report, patents, folder=None):
    """The values of the list (by its header, as the job read it) that
    neither the client's sheet nor the detail sheet shows under that header:
    the report keeps every detail of the user's list on one of them."""
    import datetime as dt

    import python_calamine

    from lumivar.report import fields, files, reading

    try:
        found = reading.read_list(files.user_path(patents, folder))
        book = python_calamine.CalamineWorkbook.from_filelike(io.BytesIO(report))
    except Exception:  # a list or report a test made unreadable on purpose: its own test tells
        return []
    if not found.header or len(found.values) > MAX_LISTED:
        return []

    def plain(value):
        if isinstance(value, dt.datetime) and value.time() == dt.time():
            return value.date()
        if isinstance(value, float) and value.is_integer():
            return int(value)
        return value.strip() if isinstance(value, str) else value

    shown = collections.defaultdict(set)  # header → the values under it, on either sheet
    for name in book.sheet_names:
        rows = book.get_sheet_by_name(name).to_python()
        for at, row in enumerate(rows):
            if "序號" not in row:
                continue
            for below in rows[at + 1 :]:
                for header, value in zip(row, below):
                    if header not in ("", None):
                        shown[str(header)].add(plain(value))
    missing = []
    for values in found.values:
        for header, value in zip(found.header, values):
            value = plain(value)
            if value in (None, "") or "".join(str(header).split()).lower() in fields.SERIALS:
                continue
            under = shown.get(str(header), set())
            if value not in under and str(value) not in {str(v) for v in under} and fields.as_date(value) not in under:
                missing.append(f"{header}: {value!r}")
    return missing


def _snapshot(path):
    """A package's bytes as they are now (the test may change or remove the file later)."""
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except OSError:
        return None


def _new(report, template):
    if report is None:
        return []
    found = collections.Counter(_problems(report))
    if template is not None:
        found -= collections.Counter(_problems(template))
    return sorted(found.elements())


def parts(path):
    with zipfile.ZipFile(io.BytesIO(path) if isinstance(path, bytes) else path) as package:
        return {i.filename: package.read(i) for i in package.infolist() if not i.is_dir()}


def out_of_order(root):
    """Where a part's elements break the schema's sequences: "parent: a before b"."""
    found = []
    for parent in root.iter():
        order = ORDER.get(local(parent.tag))
        if not order:
            continue
        ranks = [(order.index(local(c.tag)), local(c.tag)) for c in parent if local(c.tag) in order]
        found += [f"{local(parent.tag)}: {a} before {b}" for (i, a), (j, b) in zip(ranks, ranks[1:]) if j < i]
    return found


def repeated(values):
    return sorted(v for v, n in collections.Counter(values).items() if n > 1)


def problems(path, template=None):
    """What Excel would refuse or repair in a report; [] when nothing. Of a
    report written into a template (given, or noted when the test made the
    report), only the faults the template did not already have."""
    _ASKED.add(os.path.realpath(path))
    template = template or _MADE_FROM.get(os.path.realpath(path))
    return _new(_snapshot(path), _snapshot(template) if template else None)


def _problems(data):
    """Every finding of a package's bytes, each package judged once."""
    digest = hashlib.sha256(data).digest()
    if digest not in _JUDGED:
        _JUDGED[digest] = _judged(data)
    return _JUDGED[digest]


def _judged(path):
    found = referee.findings(path)
    try:
        found += tables_meet_filters(path)
    except (ValueError, etree.XMLSyntaxError) as error:
        found.append(f"tables cannot be checked ({error})")
    for name, data in parts(path).items():
        if not name.endswith((".xml", ".rels")) or not data.lstrip().startswith(b"<"):  # a Mac's resource forks
            continue
        try:
            found += [f"{name}: {p}" for p in part_problems(etree.fromstring(data))]
        except etree.XMLSyntaxError:
            continue  # the referee tells it
        except (ValueError, TypeError, StopIteration) as error:  # a damaged template's part
            found.append(f"{name}: cannot be checked ({error!r})")
    return found


def part_problems(root):
    found = out_of_order(root)
    kind = local(root.tag)
    if kind == "Relationships":
        found += [f"id twice {i}" for i in repeated(r.get("Id") for r in root)]
    elif kind == "workbook":
        names = [(n.get("name", "").lower(), n.get("localSheetId")) for n in root.iter("{*}definedName")]
        found += [f"defined name twice {n}" for n in repeated(names)]
    elif kind == "worksheet":
        columns = [c for col in root.iter("{*}col") for c in range(int(col.get("min")), int(col.get("max")) + 1)]
        found += [f"column {c} in two <col>" for c in repeated(columns)]
        found += [f"two links for {r}" for r in repeated(h.get("ref") for h in root.iter("{*}hyperlink"))]
        found += [f"cell twice {r}" for r in repeated(c.get("r") for c in root.iter("{*}c") if c.get("r"))]
        masters = {f.get("si") for f in root.iter("{*}f") if f.get("t") == "shared" and f.get("ref")}
        found += [
            f"shared formula {f.get('si')} without its master"
            for f in root.iter("{*}f")
            if f.get("t") == "shared" and f.get("si") not in masters
        ]
        for row in root.iter("{*}row"):
            refs = [c.get("r") for c in row if local(c.tag) == "c" and c.get("r")]
            lefts = [next(ranges(r))[1] for r in refs]
            if lefts != sorted(lefts):
                found.append(f"cells out of order in row {row.get('r')}")
    return found


def tables_meet_filters(path):
    """Excel Tables whose range meets a sheet's own filter: Excel drops the Table."""
    found = []
    package = parts(path)
    for name, data in package.items():
        if not (name.startswith("xl/worksheets/sheet") and name.endswith(".xml")):
            continue
        sheet = etree.fromstring(data)
        own = [a for f in sheet if local(f.tag) == "autoFilter" for a in ranges(f.get("ref", ""))]
        for table in (n for n in package if n.startswith("xl/tables/")):
            for area in ranges(etree.fromstring(package[table]).get("ref", "")):
                found += [
                    f"{name}: {table} meets the sheet's filter"
                    for o in own
                    if o[0] <= area[2] and area[0] <= o[2] and o[1] <= area[3] and area[1] <= o[3]
                ]
    return found


def canonical(data, drop_attributes=()):
    """A part's XML as a reader sees it, with some attributes left out."""
    root = etree.fromstring(data)
    for element in root.iter():
        for attribute in drop_attributes:
            element.attrib.pop(attribute, None)
    return etree.tostring(root, method="c14n")


TRANSITIONAL = (
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
)
STRICT = ("http://purl.oclc.org/ooxml/spreadsheetml/main", "http://purl.oclc.org/ooxml/officeDocument/relationships")


def hand_made(path, sheet, strings=None, namespaces=TRANSITIONAL, prefix="", table=None):
    """A one-sheet workbook whose sheet XML (and shared strings) are written
    as given: `sheet` is what goes inside <worksheet>, in `prefix`; `table`,
    an Excel Table's range on it."""
    main, rel = namespaces
    declare = f'xmlns{":" + prefix[:-1] if prefix else ""}="{main}" xmlns:r="{rel}"'
    items = {
        "[Content_Types].xml": '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/></Types>',
        "_rels/.rels": '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        f'<Relationship Id="rId1" Type="{rel}/officeDocument" Target="xl/workbook.xml"/></Relationships>',
        "xl/workbook.xml": f'<workbook xmlns="{main}" xmlns:r="{rel}"><sheets>'
        '<sheet name="表" sheetId="1" r:id="rId1"/></sheets></workbook>',
        "xl/_rels/workbook.xml.rels": '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        f'<Relationship Id="rId1" Type="{rel}/worksheet" Target="worksheets/sheet1.xml"/>'
        + (f'<Relationship Id="rId2" Type="{rel}/sharedStrings" Target="sharedStrings.xml"/>' if strings else "")
        + "</Relationships>",
        "xl/worksheets/sheet1.xml": f"<{prefix}worksheet {declare}>{sheet}</{prefix}worksheet>",
    }
    if strings:
        items["xl/sharedStrings.xml"] = f'<sst xmlns="{main}">{strings}</sst>'
    if table:
        items["xl/tables/table1.xml"] = (
            f'<table xmlns="{main}" id="1" name="清單" displayName="清單" ref="{table}">'
            f'<autoFilter ref="{table}"/><tableColumns count="1">'
            '<tableColumn id="1" name="數量"/></tableColumns></table>'
        )
        items["xl/worksheets/_rels/sheet1.xml.rels"] = (
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            f'<Relationship Id="rId1" Type="{rel}/table" Target="../tables/table1.xml"/></Relationships>'
        )
    with zipfile.ZipFile(path, "w") as package:
        for name, text in items.items():
            package.writestr(name, '<?xml version="1.0" encoding="UTF-8"?>\n' + text)
    return path


def cell_texts(path, part="xl/worksheets/sheet1.xml"):
    """Cell reference → its text (a value, or an inline string's runs) of one sheet."""
    found = {}
    for cell in etree.fromstring(parts(path)[part]).iter("{*}c"):
        value = cell.find("{*}v")
        inline = cell.find("{*}is")
        if inline is not None:
            found[cell.get("r")] = "".join(t.text or "" for t in inline.iter("{*}t"))
        elif value is not None:
            found[cell.get("r")] = value.text
    return found


def rewritten(path, edits, extra=()):
    """The package at `path` again, each part named in `edits` passed through
    its function (bytes → bytes), and the (name, bytes) of `extra` added."""
    with zipfile.ZipFile(path) as package:
        items = [(name, package.read(name)) for name in package.namelist()]
    with zipfile.ZipFile(path, "w") as package:
        for name, data in items + list(extra):
            package.writestr(name, edits.get(name, lambda d: d)(data))
    return path


def cut_in_print(path, part="xl/worksheets/sheet1.xml"):
    """Table cells whose text is wider than their column as printed (CJK
    characters count double); [] when every text shows whole."""
    from lumivar.report.text import display_width

    sheet = etree.fromstring(parts(path)[part])
    widths = {}
    for col in sheet.iter("{*}col"):
        for column in range(int(col.get("min")) - 1, int(col.get("max"))):
            widths[column] = float(col.get("width", 8.43))
    texts = cell_texts(path, part)
    header = next(int(ref[1:]) for ref, text in texts.items() if text == "序號" and ref[1:].isdigit())
    found = []
    for ref, text in texts.items():
        row, column = next(ranges(ref))[:2]
        if row >= header and text and display_width(text) * 12 / 11 > widths.get(column, 8.43):
            found.append(f"{ref}: {text}")
    return found
