"""The package layer: hostile XML refused without being expanded, cell
references read as Excel reads them."""

import datetime as dt
import zipfile

import pytest

from lumivar.report import ReportError, ooxml, reading, template

import hostile
from report_checks import hand_made

SECRET = "lumivar-secret-3141"
DTDS = {
    "external entity": '<!DOCTYPE workbook [<!ENTITY x SYSTEM "file://{secret}">]>',
    "billion laughs": '<!DOCTYPE workbook [<!ENTITY a "{secret}{secret}">'
    + "".join(
        f'<!ENTITY {chr(98 + i)} "&{chr(97 + i)};&{chr(97 + i)};&{chr(97 + i)};&{chr(97 + i)};">' for i in range(8)
    )
    + "]>",
}


def with_dtd(path, dtd, secret_file):
    """A workbook whose workbook part declares `dtd` and uses its entity in a defined name."""
    hand_made(path, '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>EP1234567A1</t></is></c></row></sheetData>')
    with zipfile.ZipFile(path) as package:
        items = {name: package.read(name) for name in package.namelist()}
    entity = "x" if "SYSTEM" in dtd else "i"
    items["xl/workbook.xml"] = (
        items["xl/workbook.xml"]
        .replace(b"?>\n", b"?>\n" + dtd.format(secret=secret_file if "SYSTEM" in dtd else SECRET).encode())
        .replace(
            b"</sheets>",
            f'</sheets><definedNames><definedName name="n">&{entity};</definedName></definedNames>'.encode(),
        )
    )
    with zipfile.ZipFile(path, "w") as package:
        for name, data in items.items():
            package.writestr(name, data)
    return path


@pytest.mark.parametrize("dtd", DTDS.values(), ids=DTDS.keys())
@pytest.mark.parametrize("use", [reading.read_list, template.load], ids=["list", "template"])
def test_a_part_with_a_dtd_is_damaged_and_never_expanded(tmp_path, dtd, use):
    secret_file = tmp_path / "secret.txt"
    secret_file.write_text(SECRET)
    with pytest.raises(ReportError) as refused:
        use(with_dtd(tmp_path / "dtd.xlsx", dtd, secret_file))
    assert "已損壞" in str(refused.value) and SECRET not in str(refused.value)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("B7", (7, 1)),
        ("$AA$10", (10, 26)),
        ("XFD1048576", (1_048_576, 16_383)),
        ("b7", None),
        ("7B", None),
        ("ABCD1", None),
        ("A", None),
        ("A١", None),
        ("", None),
    ],
)
def test_cell_references(text, expected):
    assert ooxml.split_ref(text) == expected


def test_ranges_and_targets():
    assert list(ooxml.ranges("A1:B3 'S'!$D$5 C9:A2 junk")) == [(1, 0, 3, 1), (5, 3, 5, 3), (2, 0, 9, 2)]
    assert ooxml.resolve("xl/workbook.xml", "worksheets/../worksheets/sheet1.xml") == "xl/worksheets/sheet1.xml"
    assert ooxml.resolve("xl/workbook.xml", "/xl/styles.xml") == "xl/styles.xml"
    assert ooxml.relative("xl/workbook.xml", "xl/styles.xml") == "styles.xml"
    assert ooxml.rels_part("xl/worksheets/sheet1.xml") == "xl/worksheets/_rels/sheet1.xml.rels"


@pytest.mark.parametrize(
    "serial, moment, back",
    [
        (1, dt.datetime(1900, 1, 1), 1),
        (59, dt.datetime(1900, 2, 28), 59),
        (59.5, dt.datetime(1900, 2, 28, 12), 59.5),
        (60, dt.datetime(1900, 2, 28), 59),  # the day that never was, taken as readers of Excel's files take it
        (61, dt.datetime(1900, 3, 1), 61),
        (45_000, dt.datetime(2023, 3, 15), 45_000),
        (2_958_465, dt.datetime(9999, 12, 31), 2_958_465),
    ],
)
def test_excel_serials_count_a_29_february_1900_that_never_was(serial, moment, back):
    assert (ooxml.date_of_serial(serial), ooxml.serial_of(moment), ooxml.serial_of(moment.date())) == (
        moment,
        back,
        int(back),
    )


@pytest.mark.parametrize(
    "name",
    [
        "xl/worksheets/x/../sheet1.xml",
        "xl/./styles.xml",
        "xl\\worksheets\\sheet2.xml",
        "xl//styles2.xml",
        "/xl/styles2.xml",
        "xl/worksheets/sheet1.xml.",
    ],
)
@pytest.mark.parametrize("use", [reading.read_list, template.load], ids=["list", "template"])
def test_entry_names_that_are_no_part_names_are_damaged(tmp_path, name, use):
    # Readers that resolve "." and ".." read another part than those that do not.
    with pytest.raises(ReportError, match="已損壞，壓縮檔中有不合規格的項目名稱，無法開啟"):
        use(hostile.entry_named(name)(tmp_path, None))


def test_a_folders_own_entry_is_no_damage(tmp_path):
    assert reading.read_list(hostile.entry_named("xl/worksheets/")(tmp_path, None)).entries == ["EP1234567A1"]
