"""The package layer: hostile XML refused without being expanded, cell
references read as Excel reads them."""

import zipfile

import pytest

from lumivar.report import ReportError, ooxml, reading, template

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
