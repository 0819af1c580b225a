"""Makes the test corpus in tests/corpus/: patent lists as LibreOffice Calc
saves them (.xlsx, .xls, .ods), laid out the way users' lists are.

    python tools/make_corpus.py      (needs openpyxl and Debian's libreoffice-calc)

The layouts are written with openpyxl, then opened and saved by LibreOffice
headless, so the files in the corpus are LibreOffice's own writing. What each
file holds is in tests/corpus/README.md.
"""

from __future__ import annotations

import datetime as dt
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import openpyxl

CORPUS = Path(__file__).resolve().parent.parent / "tests" / "corpus"

NUMBERS = [
    "US 2020/0123456 A1",
    "US 10,123,456 B2",
    "EP 1 234 567 A1",
    "WO 01/12345 A1",
    "JP H10-123456 A",
    "KR 10-2019-0123456 A",
    "TW I 123456 B",
    "TW M567890 U",
    "DE 10 2019 123 456 A1",
    "CN 112345678 A",
]


def title_rows(book: openpyxl.Workbook) -> None:
    """An instructions sheet first; the list under a title, a blank row and
    a 序號 | 公開號 header, with a date and a yes/no cell among the numbers."""
    notes = book.active
    notes.title = "說明"
    notes["A1"] = "請在「清單」工作表填入公開號"
    sheet = book.create_sheet("清單")
    sheet.append(["專利檢索清單 2024"])
    sheet.append([])
    sheet.append(["序號", "公開號"])
    values = NUMBERS[:6] + [dt.datetime(2020, 4, 23)] + NUMBERS[6:8] + [True] + ["US 10,123,456 B2"]
    for i, value in enumerate(values, start=1):
        sheet.append([i, value])
    book.active = 0


def hidden_first(book: openpyxl.Workbook) -> None:
    """A hidden first sheet full of numbers; the visible list on the second."""
    hidden = book.active
    hidden.title = "舊資料"
    for n in range(20):
        hidden.append([f"EP{1000000 + n}A1"])
    hidden.sheet_state = "hidden"
    sheet = book.create_sheet("清單")
    for value in NUMBERS[:3]:
        sheet.append([value])
    book.active = 1


def no_header(book: openpyxl.Workbook) -> None:
    """Ten numbers from A1 down, no header at all."""
    for value in NUMBERS:
        book.active.append([value])


def letterhead(book: openpyxl.Workbook, marker: bool = False) -> None:
    """An office's report form: a hidden settings sheet first; on the form a
    logo, the firm's name over merged cells, its address, a note, widths for
    the first two columns, a page header and a print area. With `marker`,
    the cell where the table goes."""
    from openpyxl.drawing.image import Image
    from openpyxl.styles import Font

    hidden = book.active
    hidden.title = "設定"
    hidden["A1"] = "內部使用"
    hidden.sheet_state = "hidden"
    form = book.create_sheet("報告")
    logo = Image(str(Path(__file__).resolve().parent.parent / "格式範本" / "logo.png"))
    logo.width, logo.height = 64, 64
    form.add_image(logo, "A1")
    form.merge_cells("B1:F1")
    form["B1"] = "澄光專利商標事務所"
    form["B1"].font = Font(name="Noto Sans CJK TC", size=18, bold=True)
    form["B2"] = "台北市信義區松仁路 100 號 12 樓　電話 (02) 2345-6789"
    form["B4"] = "專利檢索報告"
    form["B4"].font = Font(size=14, bold=True)
    form["B5"] = "本報告僅供委託人內部參考。"
    if marker:
        form["B7"] = "{{檢索結果}}"
    form.column_dimensions["A"].width = 6
    form.column_dimensions["B"].width = 24
    form.oddHeader.right.text = "機密"
    form.print_area = "A1:F40"
    book.active = 1


LAYOUTS = {
    "title-rows": title_rows,
    "hidden-first": hidden_first,
    "no-header": no_header,
    "template-letterhead": letterhead,
    "template-marker": lambda book: letterhead(book, marker=True),
}
FORMATS = {"xlsx": "xlsx:Calc MS Excel 2007 XML", "xls": "xls:MS Excel 97", "ods": "ods"}


def convert(soffice: str, profile: Path, filter_name: str, sources: list[str]) -> None:
    subprocess.run(
        [
            soffice,
            f"-env:UserInstallation=file://{profile}",
            "--headless",
            "--convert-to",
            filter_name,
            "--outdir",
            str(CORPUS),
            *sources,
        ],
        check=True,
        capture_output=True,
        timeout=300,
    )


def main() -> int:
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if soffice is None:
        print("needs LibreOffice: apt-get install libreoffice-calc-nogui", file=sys.stderr)
        return 1
    CORPUS.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        sources = []
        for name, build in LAYOUTS.items():
            book = openpyxl.Workbook()
            build(book)
            prefix = "" if name.startswith("template") else "list-"
            source = Path(work) / "in" / f"{prefix}{name}.xlsx"
            source.parent.mkdir(exist_ok=True)
            book.save(source)
            sources.append(str(source))
        profile = Path(work) / "profile"
        lists = [s for s in sources if "/list-" in s]
        for filter_name in FORMATS.values():
            convert(soffice, profile, filter_name, lists)
        # Templates as LibreOffice saves them, in Excel's format.
        convert(soffice, profile, FORMATS["xlsx"], [s for s in sources if s not in lists])
    print("\n".join(sorted(p.name for p in CORPUS.glob("*.*") if p.name != "README.md")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
