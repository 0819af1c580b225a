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
import posixpath
import re
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
    assert not lost, f"a report this test made lost values of its list: {lost}"


MAX_LISTED = 2_000  # entries of a list whose every value is looked for
# Columns of such a list: one wider nears Excel's last column, past which the
# report cannot keep them (the test of that list tells what is left out).
MAX_LISTED_COLUMNS = 10_000


def values_missing(report, patents, folder=None):
    """The values of the list (by its header, as the job read it) that
    neither the client's sheet nor the detail sheet shows under that header:
    the report keeps every detail of the user's list on one of them."""
    import datetime as dt

    import python_calamine

    from lumivar.report import fields, files, reading
    from lumivar.report.sheetxml import fit_cell, xml_chars

    try:
        found = reading.read_list(files.user_path(patents, folder))
        book = python_calamine.CalamineWorkbook.from_filelike(io.BytesIO(report))
    except Exception:  # a list or report a test made unreadable on purpose: its own test tells
        return []
    if not found.header or len(found.values) > MAX_LISTED or len(found.header) > MAX_LISTED_COLUMNS:
        return []

    def plain(value):
        if isinstance(value, dt.datetime) and value.time() == dt.time():
            return value.date()
        if isinstance(value, float) and value.is_integer():
            return int(value)
        # A text as a cell can hold it: without what XML cannot hold, within Excel's length.
        return fit_cell(xml_chars(value)).strip() if isinstance(value, str) else value

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
    # A known field is under the report's name for it (Espacenet's "Earliest publication" under 公開日).
    named = {c.header: c.name for c in fields.carried(list(found.header), [])[0]}
    missing = []
    for values in found.values:
        for header, value in zip(found.header, values):
            value = plain(value)
            if value in (None, "") or "".join(str(header).split()).lower() in fields.SERIALS:
                continue
            under = shown.get(str(header), set()) | shown.get(named.get(str(header), str(header)), set())
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
    # The report's own, whatever its template had.
    return sorted(found.elements()) + titles_miss_the_header(report) + counts_miss_the_rows(report)


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
        found += tables_meet_filters(path) + styles_beyond(path)
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
        found += written_twice(root)
    return found


def placed_cells(sheet):
    """(row, column, cell, reference) of a sheet's cells in their order, a
    cell without a reference placed after the one before it; the place is
    None for a reference that is none (the referee tells it)."""
    number = 0
    for row in sheet.iter("{*}row"):
        number = int(row.get("r")) if (row.get("r") or "").isdigit() else number + 1
        column = -1
        for cell in (c for c in row if local(c.tag) == "c"):
            ref = cell.get("r")
            place = next(ranges(ref), None) if ref else (number, column + 1)
            if place is not None:
                column = place[1]
            yield number, place and place[:2], cell, ref


def written_twice(sheet):
    """Rows whose cells are not each in a place of their own, left to right:
    a cell written twice, or one out of order or in another row, is what
    Excel repairs."""
    found, last = [], (0, -1)
    for number, place, _, ref in placed_cells(sheet):
        if place is None:
            continue
        if place[0] != number:
            found.append(f"cell {ref} in row {number}")
        elif place == last:
            found.append(f"cell {ref} twice in row {number}")
        elif place[0] == last[0] and place[1] < last[1]:
            found.append(f"cells out of order in row {number}")
        last = place
    return found


def _target(source, target):
    """A relationship's target part, from the part that names it."""
    if target.startswith("/"):
        return target.lstrip("/")
    return posixpath.normpath(posixpath.join(posixpath.dirname(source), target))


def _rels(package, part):
    rels = posixpath.join(posixpath.dirname(part), "_rels", posixpath.basename(part) + ".rels")
    return etree.fromstring(package[rels]) if rels in package else ()


def client_sheet(package):
    """The index, name and part of the sheet the report opens on, and the workbook's root."""
    book = next(_target("", r.get("Target")) for r in _rels(package, "") if r.get("Type").endswith("/officeDocument"))
    root = etree.fromstring(package[book])
    view = root.find("{*}bookViews/{*}workbookView")
    index = int(view.get("activeTab", "0")) if view is not None else 0
    sheet = root.findall("{*}sheets/{*}sheet")[index]
    rid = next(v for k, v in sheet.attrib.items() if k.endswith("}id"))
    target = next(r.get("Target") for r in _rels(package, book) if r.get("Id") == rid)
    return index, sheet.get("name"), _target(book, target), root


def table_header_row(package, part):
    """The client's table's header row: above the first number linked to its
    page, up its column's run of filled cells; else the row of 序號."""
    sheet = etree.fromstring(package[part])
    pages = {
        r.get("Id")
        for r in _rels(package, part)
        if r.get("Target", "").startswith("https://patents.google.com/patent/")
    }
    texts = {place: _text(cell) for _, place, cell, _ in placed_cells(sheet) if place and _text(cell)}
    linked = [
        next(ranges(h.get("ref")))[:2]
        for h in sheet.iter("{*}hyperlink")
        if any(v in pages for k, v in h.attrib.items() if k.endswith("}id"))
    ]
    if linked:
        row, column = min(linked)
        while (row - 1, column) in texts:
            row -= 1
        return row
    return min((row for (row, _), text in texts.items() if text == "序號"), default=None)


def _titled_rows(formula):
    """The rows a print titles' formula repeats, as (first, last) pairs."""
    found = []
    for area in re.split(r",(?=(?:[^']*'[^']*')*[^']*$)", formula or ""):
        ref = area.rpartition("!")[2].replace("$", "")
        whole = re.fullmatch(r"(\d+):(\d+)", ref) or re.fullmatch(r"A(\d+):XFD(\d+)", ref)
        if whole:
            found.append((int(whole.group(1)), int(whole.group(2))))
    return found


def titles_miss_the_header(data):
    """Print titles of the client's sheet that leave out its table's header
    row: a page after the first would show no column names."""
    package = parts(data)
    try:
        index, name, part, book = client_sheet(package)
        header = table_header_row(package, part)
    except (KeyError, IndexError, StopIteration, ValueError, etree.XMLSyntaxError) as error:
        return [f"the client's sheet cannot be found ({error!r})"]
    if header is None:
        return []
    titles = [
        n.text
        for n in book.iter("{*}definedName")
        if n.get("name", "").lower() == "_xlnm.print_titles" and n.get("localSheetId") == str(index)
    ]
    if any(first <= header <= last for text in titles for first, last in _titled_rows(text)):
        return []
    return [f"xl/workbook.xml: print titles of {name} ({titles}) miss its table's header row {header}"]


def tables_meet_filters(path):
    """Excel Tables whose range meets their own sheet's filter: Excel drops the Table."""
    found = []
    package = parts(path)
    for name, data in package.items():
        if not (name.startswith("xl/worksheets/sheet") and name.endswith(".xml")):
            continue
        sheet = etree.fromstring(data)
        own = [a for f in sheet if local(f.tag) == "autoFilter" for a in ranges(f.get("ref", ""))]
        tables = [_target(name, r.get("Target")) for r in _rels(package, name) if r.get("Type", "").endswith("/table")]
        for table in (t for t in tables if t in package):
            for area in ranges(etree.fromstring(package[table]).get("ref", "")):
                found += [
                    f"{name}: {table} meets the sheet's filter"
                    for o in own
                    if o[0] <= area[2] and area[0] <= o[2] and o[1] <= area[3] and area[1] <= o[3]
                ]
    return found


def styles_beyond(path):
    """Cells whose style is none the style sheet has: Excel repairs them."""
    package = parts(path)
    sheet = next((n for n in package if n.lower() == "xl/styles.xml"), None)
    formats = etree.fromstring(package[sheet]).find("{*}cellXfs") if sheet else None
    count = len(formats) if formats is not None else 1
    found = []
    for name, data in package.items():
        if name.startswith("xl/worksheets/") and name.endswith(".xml") and b"sheetData" in data:
            styled = [c.get("s") for c in etree.fromstring(data).iter("{*}c") if (c.get("s") or "").isdigit()]
            found += [
                f"{name}: cells of style {s}, past the {count} there are"
                for s in {s for s in styled if int(s) >= count}
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


def _text(cell):
    """A cell's value, or an inline string's runs; None for an empty one."""
    inline = cell.find("{*}is")
    if inline is not None:
        return "".join(t.text or "" for t in inline.iter("{*}t"))
    return cell.findtext("{*}v")


def cell_texts(path, part="xl/worksheets/sheet1.xml"):
    """Cell reference → its text (a value, or an inline string's runs) of one
    sheet; `path` a report's path, bytes, or its parts."""
    found = {}
    for cell in etree.fromstring((path if isinstance(path, dict) else parts(path))[part]).iter("{*}c"):
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


def _number(pattern, text):
    found = re.search(pattern, text)
    return int(found[1].replace(",", "")) if found else None


def counts_miss_the_rows(data):
    """Where the numbers a report states (the client's summary, the detail
    sheet's head) are not those of the detail sheet's rows: each entry
    counted once (a repeat as a repeat only), the kinds adding up to the
    whole, the categories' bracket to the documents or families it names."""
    import python_calamine

    try:
        book = python_calamine.CalamineWorkbook.from_filelike(io.BytesIO(data))
        sheets = {name: book.get_sheet_by_name(name).to_python() for name in book.sheet_names}
    except Exception:  # a package too damaged to read: the referee tells
        return []
    rows = sheets.get("書目明細")
    texts = [str(c) for rows_ in sheets.values() for row in rows_ for c in row if isinstance(c, str)]
    summary = next((t for t in texts if t.startswith("本次檢索")), None)
    if rows is None:
        return []
    at = next((i for i, row in enumerate(rows) if "序號" in row), None)
    if at is None:
        return []  # a sheet of the template's own under that name: the report's is another
    left = rows[at].index("序號")
    header = [str(h) for h in rows[at][left:]]
    tally = next((str(c) for row in rows[:at] for c in row if isinstance(c, str) and c.startswith("共 ")), "")
    entries = [dict(zip(header, row[left:])) for row in rows[at + 1 :] if row[left:] and row[left] not in ("", None)]
    notes = [str(e.get("說明") or "") for e in entries]
    repeats = sum(1 for n in notes if n.startswith("重複"))
    bad = sum(1 for n in notes if n.startswith("格式不符"))
    documents = [
        e for e, n in zip(entries, notes) if e.get("標準公開號") not in ("", None) and not n.startswith("重複")
    ]
    applications = len(entries) - repeats - bad - len(documents)
    families = {e.get("同族編號") or f"#{i}" for i, e in enumerate(documents)}
    found = []
    stated = {
        "共": (_number(r"共 ([\d,]+) 筆", tally), len(entries)),
        "專利文獻": (_number(r"專利文獻 ([\d,]+) 件", tally), len(documents)),
        "申請號": (_number(r"，申請號 ([\d,]+) 筆", tally), applications),
        "重複": (_number(r"重複 ([\d,]+) 筆", tally), repeats),
        "格式不符": (_number(r"格式不符 ([\d,]+) 筆", tally), bad),
        "查無書目資料": (
            _number(r"查無書目資料 ([\d,]+) 件", tally),
            sum(1 for e in documents if str(e.get("說明") or "").endswith("查無書目資料")),
        ),
        "專利家族": (_number(r"分屬 ([\d,]+) 個專利家族", tally), len(families)),
    }
    for name, (said, counted) in stated.items():
        if (said or 0) != counted and (said is not None or name not in ("專利家族", "共")):
            found.append(f"the detail sheet's head says {name} {said}, its rows {counted}")
    if summary is not None:
        said = _number(r"專利文獻 ([\d,]+) 件", summary) or 0
        if said != len(documents):
            found.append(f"the summary says {said} documents, the detail sheet has {len(documents)}")
        grouped = _number(r"分屬 ([\d,]+) 個專利家族", summary)
        if grouped is not None and grouped != len(families):
            found.append(f"the summary says {grouped} families, the detail sheet has {len(families)}")
        bracket = re.search(r"（(.*)）$", summary)
        if bracket:
            total = sum(int(n.replace(",", "")) for n in re.findall(r"([\d,]+) [件族]", bracket[1]))
            if total != (grouped if grouped is not None else len(documents)):
                found.append(f"the summary's categories add up to {total}: {summary}")
    return found
