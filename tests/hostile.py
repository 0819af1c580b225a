"""Hostile inputs, made small by generators: each family a reader or writer
once fell to (runaway time or memory, a crash, a table over the template's
content). The tests check what each gives; bench/report.py times them and
measures their memory. Each maker takes a folder and the list builder of the
tests (book_with) and returns the file it wrote."""

import zipfile
from pathlib import Path

from report_checks import hand_made

CORPUS = Path(__file__).parent / "corpus"


ODS = (
    '<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
    'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
    'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"><office:body><office:spreadsheet>'
    '<table:table table:name="清單"><table:table-row table:number-rows-repeated="1000000">'
    '<table:table-cell office:value-type="string" table:number-columns-repeated="100"><text:p>EP1234567A1</text:p>'
    "</table:table-cell></table:table-row></table:table></office:spreadsheet></office:body></office:document-content>"
)


def ods_bomb(tmp_path, _):
    """Under 1 KB packed; a reader that expands its repeats makes 100 million cells."""
    with zipfile.ZipFile(tmp_path / "p.ods", "w", zipfile.ZIP_DEFLATED) as package:
        package.writestr("mimetype", "application/vnd.oasis.opendocument.spreadsheet")
        package.writestr("content.xml", ODS)
    return tmp_path / "p.ods"


def lying_dimensions(tmp_path, _):
    """A LibreOffice .xls whose DIMENSIONS records claim a million rows of 255 columns."""
    data = bytearray((CORPUS / "list-title-rows.xls").read_bytes())
    at = data.find(b"\x00\x02\x0e\x00")
    while at >= 0:
        data[at + 8 : at + 12] = (1_000_000).to_bytes(4, "little")
        data[at + 14 : at + 16] = (255).to_bytes(2, "little")
        at = data.find(b"\x00\x02\x0e\x00", at + 4)
    (tmp_path / "p.xls").write_bytes(bytes(data))
    return tmp_path / "p.xls"


def many_parts(tmp_path, _):
    """A zip whose directory says 65,535 entries: refused before the directory is read."""
    path = hand_made(
        tmp_path / "p.xlsx",
        '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>EP1234567A1</t></is></c></row></sheetData>',
    )
    data = bytearray(path.read_bytes())
    at = data.rfind(b"PK\x05\x06")
    data[at + 8 : at + 12] = b"\xff\xff\xff\xff"
    path.write_bytes(bytes(data))
    return path


def cells_written_oddly(far):
    """Cells a pattern would miss: a quoted, spaced reference, or none at all."""

    def make(tmp_path, _):
        return hand_made(
            tmp_path / "p.xlsx",
            f'<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>EP1234567A1</t></is></c></row>{far}</sheetData>',
        )

    return make


def unclosed_cells(tmp_path, _):
    """A list whose sheet holds a run of cells never closed: a pattern over
    the XML took time that grew with its square; a parser stops at once."""
    return hand_made(tmp_path / "p.xlsx", '<sheetData><row r="1">' + "<c " * 50_000 + "</row></sheetData>")


def long_cell(tmp_path, _):
    """A list with one cell of 30 million characters (packed to a few kilobytes)."""
    return hand_made(
        tmp_path / "p.xlsx",
        '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>EP1234567A1</t></is>'
        '</c><c r="B1" t="inlineStr"><is><t>' + "x" * 30_000_000 + "</t></is></c></row></sheetData>",
    )


def long_shared_cell(tmp_path, _):
    """The same, as a shared string (a reader takes those whole)."""
    return hand_made(
        tmp_path / "p.xlsx",
        '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>EP1234567A1</t></is>'
        '</c><c r="B1" t="s"><v>0</v></c></row></sheetData>',
        "<si><t>" + "x" * 30_000_000 + "</t></si>",
    )


def unclosed_row_template(tmp_path, _):
    """A template whose sheet ends inside a row."""
    return hand_made(tmp_path / "t.xlsx", "<sheetData>" + '<row r="1"><c r="A1"/>' * 20_000)


FAR_ROW = '<row r="1000000">' + '<c t="inlineStr"><is><t>x</t></is></c>' * 100 + "</row>"

# What the benchmark runs: (name, maker, as the list or as the template).
FAMILIES = [
    ("ods repeats", ods_bomb, "list"),
    ("xls DIMENSIONS", lying_dimensions, "list"),
    ("zip entries", many_parts, "list"),
    ("cells without references", cells_written_oddly(FAR_ROW), "list"),
    ("unclosed cells", unclosed_cells, "list"),
    ("30 M character cell", long_cell, "list"),
    ("30 M character shared string", long_shared_cell, "list"),
    ("template: unclosed row", unclosed_row_template, "template"),
]


# ---------------------------------------------------------------- the data source: settings files and cache rows
# Each maker writes into the folder it is given: lumivar.toml into the working
# folder ("settings"), ops.sqlite with one row into the cache folder ("cache").

import json  # noqa: E402
import os  # noqa: E402

from lumivar.report import data  # noqa: E402

SETTINGS_TEXT = 'LUMIVAR_OPS_KEY = "k"\nLUMIVAR_OPS_SECRET = "s"\n'


def settings_file(content: bytes):
    def make(folder, _):
        (folder / "lumivar.toml").write_bytes(content)
        return folder / "lumivar.toml"

    return make


def settings_fifo(folder, _):
    """A named pipe: a reader that opens it blocking waits for a writer forever."""
    os.mkfifo(folder / "lumivar.toml")
    return folder / "lumivar.toml"


def settings_device(folder, _):
    """A link to /dev/zero: a reader that reads to the end never gets there."""
    (folder / "lumivar.toml").symlink_to("/dev/zero")
    return folder / "lumivar.toml"


def settings_huge(folder, _):
    """600 MB (sparse: no disk taken) a reader would take whole."""
    with open(folder / "lumivar.toml", "wb") as handle:
        handle.truncate(600 * 1024 * 1024)
    return folder / "lumivar.toml"


CACHE_DAY = "2026-12-10"  # the tests' today
RECORD = {
    "title": "CACHED",
    "applicants": "",
    "published": "",
    "filed": "",
    "priority": "",
    "ipc": "",
    "application": "",
}


def cache_row(table: str, reference: str, fetched: object, stored: object):
    """A cache as the job makes it, holding one row as someone else wrote it."""

    def make(folder, _):
        cache = data.Cache(folder)
        with cache.db:
            cache.db.execute(f"insert or replace into {table} values (?, ?, ?)", (reference, fetched, stored))
        cache.close()
        return cache.path

    return make


_WO, _PCT = "WO.2009085664.A2", "PCT/US2008/086599"

# What the benchmark may run: (name, maker, role).
DATA_FAMILIES = [
    ("settings: syntax error", settings_file((SETTINGS_TEXT + "LUMIVAR_OPS_URL = = 1\n").encode()), "settings"),
    (
        "settings: Big5",
        settings_file(("# 書目資料\n" + SETTINGS_TEXT.replace('"k"', '"金鑰"')).encode("big5")),
        "settings",
    ),
    ("settings: UTF-8 with a BOM", settings_file(b"\xef\xbb\xbf" + SETTINGS_TEXT.encode()), "settings"),
    ("settings: FIFO", settings_fifo, "settings"),
    ("settings: link to /dev/zero", settings_device, "settings"),
    ("settings: 600 MB", settings_huge, "settings"),
    ("settings: arrays 30,000 deep", settings_file(b"x = " + b"[" * 30_000 + b"]" * 30_000), "settings"),
    ("settings: a number for the key", settings_file(SETTINGS_TEXT.replace('"k"', "42").encode()), "settings"),
    (
        "settings: a line break in the address",
        settings_file((SETTINGS_TEXT + 'LUMIVAR_OPS_URL = "https://ops.epo.org/3.2\\nHost: elsewhere"\n').encode()),
        "settings",
    ),
    (
        "settings: plain http to another host",
        settings_file((SETTINGS_TEXT + 'LUMIVAR_OPS_URL = "http://ops.example.org/3.2"\n').encode()),
        "settings",
    ),
    ("cache: a date 9999-99-99", cache_row("biblio", _WO, "9999-99-99", None), "cache"),
    ("cache: a date as a BLOB", cache_row("biblio", _WO, CACHE_DAY.encode(), None), "cache"),
    ("cache: a date to come", cache_row("biblio", _WO, "2099-01-01", json.dumps(RECORD)), "cache"),
    ("cache: data [1, 2]", cache_row("biblio", _WO, CACHE_DAY, "[1, 2]"), "cache"),
    ("cache: data 42", cache_row("biblio", _WO, CACHE_DAY, "42"), "cache"),
    ("cache: data as a BLOB", cache_row("biblio", _WO, CACHE_DAY, json.dumps(RECORD).encode()), "cache"),
    ("cache: data no JSON", cache_row("biblio", _WO, CACHE_DAY, "{"), "cache"),
    ("cache: data 100,000 deep", cache_row("biblio", _WO, CACHE_DAY, "[" * 100_000 + "]" * 100_000), "cache"),
    ("cache: a record of numbers", cache_row("biblio", _WO, CACHE_DAY, json.dumps(dict.fromkeys(RECORD, 5))), "cache"),
    ("cache: an application's row 42", cache_row("applications", _PCT, CACHE_DAY, "42"), "cache"),
    ("cache: an application's row of numbers", cache_row("applications", _PCT, CACHE_DAY, "[1, 2]"), "cache"),
    (
        "cache: an application's row naming no publication",
        cache_row("applications", _PCT, CACHE_DAY, json.dumps(["javascript:alert(1)//.1.A1", "EP.1000000/"])),
        "cache",
    ),
]


# ---------------------------------------------------------------- templates: their shared strings, a DTD in a part copied as it is

from report_checks import TRANSITIONAL  # noqa: E402

MARKED_SHEET = '<sheetData><row r="2"><c r="B2" t="s"><v>{}</v></c></row></sheetData>'


def shared_strings_template(count: int, prolog: str = "", item: str = "<si><t>x</t></si>"):
    """A template whose shared strings are `count` items, the last its marker
    (the sheet's one cell), the part written in pieces (a few MB packed)."""

    def make(folder, _):
        path = hand_made(folder / "t.xlsx", MARKED_SHEET.format(count - 1), "<si><t>x</t></si>")
        with zipfile.ZipFile(path) as package:
            kept = [(n, package.read(n)) for n in package.namelist() if n != "xl/sharedStrings.xml"]
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as package:
            for name, data_ in kept:
                package.writestr(name, data_)
            with package.open("xl/sharedStrings.xml", "w", force_zip64=True) as part:
                part.write(f'<?xml version="1.0" encoding="UTF-8"?>\n{prolog}<sst xmlns="{TRANSITIONAL[0]}">'.encode())
                block = item.encode() * 100_000
                for _ in range((count - 1) // 100_000):
                    part.write(block)
                part.write(item.encode() * ((count - 1) % 100_000))
                part.write("<si><t>{{檢索結果}}</t></si></sst>".encode())
        return path

    return make


EXTERNAL_ENTITY = '<!DOCTYPE sst [<!ENTITY secret SYSTEM "file:///etc/passwd">]>\n'

FAMILIES += [
    ("template: 15 M shared strings (255 MB)", shared_strings_template(15_000_000), "template"),
    (
        "template: shared strings with an external entity",
        shared_strings_template(3, EXTERNAL_ENTITY, "<si><t>&secret;</t></si>"),
        "template",
    ),
]


# ---------------------------------------------------------------- lists: text lists, entry names, sheets past Excel's grid
# Quick makers the tests use, then lists within the limits, near them, that
# only the benchmark runs (tens of megabytes, written in a few seconds).

PASTED = 9_400  # numbers of a list pasted onto one line: more characters than the csv module's 131,072


def pasted_line(separator: str = " "):
    """One line of numbers in Google Patents' form, as pasted from a page."""

    def make(folder, _):
        path = folder / "pasted.txt"
        path.write_text(separator.join(f"US-{10_000_000 + i}-B2" for i in range(PASTED)) + "\n", encoding="utf-8")
        return path

    return make


def unclosed_quote(folder, _):
    """A quote opened on the third line and never closed: the rest of the file is one field."""
    path = folder / "quote.csv"
    path.write_text('公開號,備註\nEP1234567A1,\n"EP1234568A1' + ",x\nEP1234569A1" * 12_000 + "\n", encoding="utf-8")
    return path


def _rewritten(path, parts: dict[str, bytes]):
    """The package at `path` written again, compressed, with `parts` changed or added."""
    with zipfile.ZipFile(path) as package:
        items = {name: package.read(name) for name in package.namelist()}
    items.update(parts)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        for name, data_ in items.items():
            entry = zipfile.ZipInfo(name)
            entry.filename = name  # as given: on Windows ZipInfo turns "\\" into "/"
            entry.compress_type = zipfile.ZIP_DEFLATED
            package.writestr(entry, data_)
    return path


LIST_SHEET = '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>EP1234567A1</t></is></c></row></sheetData>'


def dotdot_sheet(far: bool):
    """The sheet's target "worksheets/x/../sheet1.xml", stored under that very
    name beside a benign xl/worksheets/sheet1.xml: a reader that resolves the
    name checks the one, python-calamine reads the other. `far`: the other
    holds a cell at XFD1048576, for which calamine asks 512 GiB and aborts
    the process; else a second number, which shows which part was read."""

    def make(folder, _):
        path = hand_made(folder / "dotdot.xlsx", LIST_SHEET)
        with zipfile.ZipFile(path) as package:
            rels, sheet = package.read("xl/_rels/workbook.xml.rels"), package.read("xl/worksheets/sheet1.xml")
        other = (
            '</row><row r="1048576"><c r="XFD1048576" t="inlineStr"><is><t>x</t></is></c></row>'
            if far
            else '<c r="B1" t="inlineStr"><is><t>US10123456B2</t></is></c></row>'
        )
        return _rewritten(
            path,
            {
                "xl/_rels/workbook.xml.rels": rels.replace(b"worksheets/sheet1.xml", b"worksheets/x/../sheet1.xml"),
                "xl/worksheets/x/../sheet1.xml": sheet.replace(b"</row>", other.encode(), 1),
            },
        )

    return make


def entry_named(name: str):
    """A list whose package holds one more entry, of that name."""

    def make(folder, _):
        return _rewritten(hand_made(folder / "named.xlsx", LIST_SHEET), {name: b"<x/>"})

    return make


def past_the_grid(rows: int, cells: int):
    """A number in A1, then `rows` empty rows and a row of `cells` empty
    cells, none with a reference (a few kilobytes packed): a far cell found
    only by counting. A scan that reads it all takes seconds and, for a long
    row, a gigabyte."""

    def make(folder, _):
        path = hand_made(folder / "grid.xlsx", LIST_SHEET)
        sheet = (
            LIST_SHEET.replace("</sheetData>", "<row/>" * rows + "<row>" + "<c/>" * cells)
            + '<c t="inlineStr"><is><t>x</t></is></c></row></sheetData>'
        )
        changed = f'<worksheet xmlns="{TRANSITIONAL[0]}">{sheet}</worksheet>'.encode()
        return _rewritten(path, {"xl/worksheets/sheet1.xml": changed})

    return make


# Lists within the limits: each is read (the job then writes its report).


def google_export(folder, _):
    """A Google Patents export of 49 MB: its search line, ten columns, 150,000 rows."""
    path = folder / "export.csv"
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write("search URL:,https://patents.google.com/?q=(solar+cell)\r\n")
        out.write(
            "id,title,assignee,inventor/author,priority date,filing/creation date,publication date,"
            "grant date,result link,representative figure link\r\n"
        )
        i = 0
        while out.tell() < 49 * 2**20:
            number = 10_000_000 + i
            out.write(
                f'US-{number}-B2,"Solar cell module with an improved {i % 997} efficiency and a long title",'
                f'Example Energy Corporation {i % 97},"Alice Example, Bob Example",2019-01-{i % 28 + 1:02d},'
                f"2019-02-01,2020-03-01,2021-04-01,https://patents.google.com/patent/US{number}B2/en,"
                f"https://patentimages.storage.googleapis.com/00/00/00/{i:08x}/US{number}-drawings-page-1.png\r\n"
            )
            i += 1
    return path


def wide_list(folder, _):
    """200,000 rows of 40 columns (8,000,000 cells, the limit), no header: a
    number, then 39 short values with digits in them."""
    path = folder / "wide.csv"
    with open(path, "w", encoding="utf-8", newline="") as out:
        for i in range(200_000):
            values = (f"{(i * 7 + c * 13) % 10_000}" if c % 2 else f"a{(i + c) % 997}" for c in range(39))
            out.write(f"US{10_000_000 + i}B2," + ",".join(values) + "\r\n")
    return path


def big5_list(folder, _):
    """40 MB of Big5: a number, a title, an applicant and a 400-character abstract a row."""
    path = folder / "big5.csv"
    words = "太陽能電池模組之製造方法及其裝置半導體基板光電轉換效率提升結構"
    with open(path, "w", encoding="cp950", newline="") as out:
        out.write("公開號,專利名稱,申請人,摘要\r\n")
        i = 0
        while out.tell() < 40 * 2**20:
            text = "".join(words[(i * 7 + k * 3) % len(words)] for k in range(430))
            out.write(f"TWI{700_000 + i % 300_000}B,{text[:30]},台灣太陽能股份有限公司,{text[30:]}\r\n")
            i += 1
    return path


FAMILIES += [
    ("list: 9,400 numbers pasted onto one line", pasted_line(), "list"),
    ("list: a quote never closed", unclosed_quote, "list"),
    ("list: a sheet stored as worksheets/x/../sheet1.xml", dotdot_sheet(far=True), "list"),
    ("list: 1,048,576 rows without references", past_the_grid(1_048_576, 0), "list"),
    ("list: a row of 8,000,000 cells without references", past_the_grid(0, 8_000_000), "list"),
]

# What the benchmark runs for time and memory, with "within 60 s and 1 GiB" as the mark.
WITHIN_LIMITS = [
    ("list: Google Patents export, 49 MB", google_export, "list"),
    ("list: 200,000 rows × 40 columns", wide_list, "list"),
    ("list: 40 MB of Big5", big5_list, "list"),
]
