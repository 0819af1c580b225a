"""Pictures anchored in cells: drawing parts Excel opens without repair, in a
sheet without a drawing and in one that holds pictures, charts and shapes
already (kept as they are), each picture within its own row."""

import io
import os
import shutil
import subprocess
import zipfile

import openpyxl
import pytest
from lxml import etree
from openpyxl.chart import BarChart, Reference
from openpyxl.drawing.image import Image as SheetImage

from lumivar.report import drawings, pictures
from lumivar.report.ooxml import PKG_REL, Package, parse, rels_part, serialize

from ops_server import clipping
from report_checks import problems

SHEET = "xl/worksheets/sheet1.xml"
LOGO = os.path.join(os.path.dirname(__file__), os.pardir, "格式範本", "logo.png")


def book(tmp_path, theirs=False) -> bytes:
    """A sheet of five rows as high as a thumbnail; `theirs`: with a picture and a chart of its own."""
    made = openpyxl.Workbook()
    sheet = made.active
    sheet.append(["序號", "公開號", "代表圖"])
    for n in range(1, 6):
        sheet.append([n, f"EP{1000000 + n}A1"])
        sheet.row_dimensions[n + 1].height = pictures.ROW_HEIGHT
    sheet.print_title_rows = "1:1"
    if theirs:
        sheet.add_image(SheetImage(LOGO), "E1")
        chart = BarChart()
        chart.add_data(Reference(sheet, min_col=1, min_row=1, max_row=6))
        sheet.add_chart(chart, "E10")
    out = io.BytesIO()
    made.save(out)
    return out.getvalue()


def with_pictures(data: bytes, placed: list[pictures.Picture]) -> bytes:
    """The package with the pictures on its first sheet, as a writer adds them."""
    package = Package(io.BytesIO(data))
    sheet = parse(package.read(SHEET))
    made = pictures.drawing(
        placed,
        SHEET,
        [i.filename for i in package.infos],
        package.relationships(SHEET),
        existing=pictures.existing(package, SHEET),
    )
    replaced = dict(made.parts)
    if made.relationship is not None:
        pictures.attach(sheet, made.relationship[0])
        replaced[SHEET] = serialize(sheet)
        rels = rels_part(SHEET)
        root = parse(package.read(rels)) if package.name(rels) else etree.Element(f"{{{PKG_REL}}}Relationships")
        rid, kind, target = made.relationship
        etree.SubElement(root, f"{{{PKG_REL}}}Relationship", Id=rid, Type=kind, Target=target)
        replaced[rels] = serialize(root)
    replaced["[Content_Types].xml"] = pictures.with_types(
        package.read("[Content_Types].xml"), made.defaults, made.overrides
    )
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as written:
        for info in package.infos:
            written.writestr(info.filename, replaced.pop(info.filename, None) or package.zip.read(info))
        for name, part in replaced.items():
            written.writestr(name, part)
    return out.getvalue()


def placed(rows=range(2, 7)) -> list[pictures.Picture]:
    return [
        pictures.Picture(
            row, 3, drawings.thumbnail(clipping(400 + 150 * row, 700, variant=row)), f"EP{1000000 + row}A1"
        )
        for row in rows
    ]


def anchors(data: bytes, part="xl/drawings/drawing1.xml"):
    root = etree.fromstring(zipfile.ZipFile(io.BytesIO(data)).read(part))
    return [a for a in root if etree.QName(a).localname.endswith("Anchor")]


@pytest.mark.parametrize("theirs", [False, True], ids=["a sheet without a drawing", "a sheet with its own"])
def test_pictures_are_parts_excel_opens_without_repair(tmp_path, theirs):
    before = book(tmp_path, theirs)
    data = with_pictures(before, placed())
    path = tmp_path / "pictures.xlsx"
    path.write_bytes(data)
    assert problems(path) == []
    names = zipfile.ZipFile(path).namelist()
    found = anchors(data)
    ours = [a for a in found if a.find(".//{*}cNvPr").get("name", "").startswith("代表圖")]
    assert [int(a.findtext("{*}from/{*}row")) for a in ours] == [1, 2, 3, 4, 5]
    assert [a.find(".//{*}cNvPr").get("descr") for a in ours] == [f"EP{1000000 + r}A1" for r in range(2, 7)]
    ids = [
        e.get("id")
        for e in etree.fromstring(zipfile.ZipFile(path).read("xl/drawings/drawing1.xml")).iter()
        if etree.QName(e).localname == "cNvPr"
    ]
    assert len(ids) == len(set(ids))
    if theirs:
        # Theirs kept as they were: their anchors first, their image and chart untouched.
        kept = zipfile.ZipFile(io.BytesIO(before))
        assert len(found) == len(ours) + 2 and found[0] not in ours
        assert zipfile.ZipFile(path).read("xl/media/image1.png") == kept.read("xl/media/image1.png")
        assert zipfile.ZipFile(path).read("xl/charts/chart1.xml") == kept.read("xl/charts/chart1.xml")
        assert sum(n.startswith("xl/media/") for n in names) == 6
    types = zipfile.ZipFile(path).read("[Content_Types].xml")
    assert types.count(b'Extension="png"') == 1 and types.count(b"/xl/drawings/drawing1.xml") == 1


LIBREOFFICE = pytest.mark.skipif(shutil.which("soffice") is None, reason="needs LibreOffice (.ci/run installs it)")


def laid_out(tmp_path, path) -> list[tuple[str, int, int]]:
    """(what it shows, first row, last row) of each picture as LibreOffice lays it out and saves it again."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    done = subprocess.run(
        [
            "soffice",
            f"-env:UserInstallation=file://{tmp_path / 'profile'}",
            "--headless",
            "--convert-to",
            "xlsx:Calc MS Excel 2007 XML",
            "--outdir",
            str(tmp_path / "lo"),
            str(path),
        ],
        capture_output=True,
        timeout=300,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    saved = (tmp_path / "lo" / path.name).read_bytes()
    found = []
    for drawing in [n for n in zipfile.ZipFile(io.BytesIO(saved)).namelist() if n.startswith("xl/drawings/drawing")]:
        for anchor in anchors(saved, drawing):
            name = anchor.find(".//{*}cNvPr").get("descr") or ""
            start, end = anchor.findtext("{*}from/{*}row"), anchor.findtext("{*}to/{*}row")
            found.append((name, int(start), int(end if end is not None else start)))
    return found


@LIBREOFFICE
def test_libreoffice_shows_each_picture_within_its_own_row(tmp_path):
    path = tmp_path / "pictures.xlsx"
    path.write_bytes(with_pictures(book(tmp_path, theirs=True), placed()))
    # As LibreOffice lays them out: each in its row, none reaching into the next.
    assert [p for p in laid_out(tmp_path, path) if p[0].startswith("EP")] == [
        (f"EP{1000000 + r}A1", r - 1, r - 1) for r in range(2, 7)
    ]


# ---------------------------------------------------------------- in the report

NUMBERS = ["TW I600001 B", "US 9,000,001 B2", "EP 3100000 A1", "EP 1000000 A1"]  # three with a drawing


def template(tmp_path, named):
    """A firm's template: the marker, the header it names right of it, its own logo and chart."""
    made = openpyxl.Workbook()
    sheet = made.active
    sheet["A1"] = "澄光專利商標事務所"
    sheet.append([])
    sheet.append(["{{檢索結果}}", *named])
    sheet.add_image(SheetImage(LOGO), "H1")
    chart = BarChart()
    chart.add_data(Reference(sheet, min_col=1, min_row=1, max_row=3))
    sheet.add_chart(chart, "H20")
    path = tmp_path / f"template-{len(named)}.xlsx"
    made.save(path)
    return path


def reported(tmp_path, form=""):
    from lumivar.report import job

    from support import make_patents, make_request

    messages = []
    path = job.make_report(
        make_request(make_patents(tmp_path / "p.xlsx", NUMBERS), form), messages.append, folder=tmp_path / "out"
    )
    return path, messages


def drawn(path):
    """Each sheet's pictures of ours: sheet name → [(its row, what it shows)]."""
    package = Package(path)
    found = {}
    try:
        for name, part, _ in package.sheets():
            for drawing in package.related(part, "drawing"):
                for anchor in anchors(path.read_bytes(), drawing):
                    shape = anchor.find(".//{*}cNvPr")
                    if shape.get("name", "").startswith("代表圖"):
                        row = int(anchor.findtext("{*}from/{*}row")) + 1
                        found.setdefault(name, []).append((row, shape.get("descr")))
    finally:
        package.close()
    return found


@pytest.fixture
def with_drawings(tmp_path, monkeypatch):
    from ops_server import StandIn

    stand_in = StandIn()
    for name, value in (("KEY", "k"), ("SECRET", "s"), ("URL", stand_in.url), ("CACHE", str(tmp_path / "cache"))):
        monkeypatch.setenv(f"LUMIVAR_OPS_{name}" if name != "CACHE" else "LUMIVAR_CACHE", value)
    yield stand_in
    stand_in.close()


CASES = [  # (case, the template's header right of its marker or None for none, pictures on the client's sheet)
    ("a new workbook: 代表圖 last", None, True),
    ("a template whose header names 代表圖", ("公開號", "法律狀態", "代表圖"), True),
    ("a template whose header does not", ("公開號", "法律狀態"), False),
]


@pytest.mark.parametrize("named, on_client", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_a_reports_drawings_sit_in_their_rows_on_both_sheets(tmp_path, with_drawings, named, on_client):
    form = template(tmp_path, named) if named is not None else ""
    path, messages = reported(tmp_path, form)
    assert problems(path) == []
    found = drawn(path)
    ours = ["TWI600001B", "US9000001B2", "EP1000000A1"]
    assert [shown for _, shown in found["書目明細"]] == ours  # always on the detail sheet
    client = openpyxl.load_workbook(path).worksheets[0]
    if on_client:
        rows = found[client.title]
        assert [shown for _, shown in rows] == ours
        header = next(r for r in client.iter_rows() if any(c.value == "公開號" for c in r))
        titles = [c.value for c in header if c.value]
        assert titles[-1] == "代表圖"
        for row, shown in rows:  # the row holds it, its number on the same row
            assert client.row_dimensions[row].height >= pictures.ROW_HEIGHT
            assert any(c.value == shown for c in client[row])
    else:
        assert client.title not in found
    if named is not None:  # the template's own picture and chart kept
        kept = zipfile.ZipFile(form)
        assert zipfile.ZipFile(path).read("xl/charts/chart1.xml") == kept.read("xl/charts/chart1.xml")
    assert "代表圖 3 件，1 件無代表圖或圖檔無法使用" in messages
    media = [n for n in zipfile.ZipFile(path).namelist() if n.startswith("xl/media/")]
    assert len(media) == 3 + (named is not None)  # each drawing once, however many sheets show it; and their logo


@LIBREOFFICE
def test_libreoffice_shows_a_reports_drawings_within_their_rows(tmp_path, with_drawings):
    path, _ = reported(tmp_path)
    found = laid_out(tmp_path, path)
    assert len(found) == 6 and all(first == last for _, first, last in found)  # three on each sheet
