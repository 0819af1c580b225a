"""The report written into the user's template workbook (through openpyxl).

The table goes on the first visible sheet, two rows below its last value,
and the report opens on that sheet.
"""
from __future__ import annotations

import warnings
from pathlib import Path
from typing import IO

import openpyxl
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
from openpyxl.utils import get_column_letter

from . import layout
from .files import ReportError, check_file
from .layout import Cell, Style, Table
from .reading import kind_of


def load(path: Path) -> openpyxl.Workbook:
    what = "範本檔案"
    check_file(path, what)
    if kind_of(path, what) != "zip":
        raise ReportError(f"{what}必須是 .xlsx 活頁簿: {path}")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            book = openpyxl.load_workbook(path)
    except Exception as error:
        raise ReportError(f"{what}已損壞或不是 .xlsx 活頁簿，無法開啟: {path}") from error
    if not any(s.sheet_state == "visible" for s in book.worksheets):
        raise ReportError(f"{what}中沒有可見的工作表: {path}")
    # An .xltx template or a macro workbook saved as a plain .xlsx report.
    book.template = False
    return book


def last_value_row(sheet) -> int:
    """The last row holding a value or a merged area; 0 for an empty sheet."""
    last = 0
    for (row, _), cell in sheet._cells.items():  # only the cells stored, not every position
        if cell.value is not None and row > last:
            last = row
    for merged in sheet.merged_cells.ranges:
        last = max(last, merged.max_row)
    return last


class _Looks:
    """One openpyxl style object per look, shared by every cell."""

    def __init__(self, style: Style):
        side = Side(style="thin", color="FFA6A6A6")
        self.border = Border(left=side, right=side, top=side, bottom=side)
        self.fonts = {
            layout.LATIN: Font(name=style.latin_font, size=style.cell_size),
            layout.CJK: Font(name=style.cjk_font, size=style.cell_size),
            layout.HEAD: Font(name=style.cjk_font, size=style.cell_size, bold=True),
            layout.LINK: Font(name=style.latin_font, size=style.cell_size, color=layout.LINK_COLOUR, underline="single"),
        }
        self.fills = {k: PatternFill("solid", fgColor=v) for k, v in layout.FILL_COLOURS.items()}
        self.fills[layout.HEAD] = PatternFill("solid", fgColor=layout.HEAD_COLOUR)
        self.center = Alignment(horizontal="center", vertical="center")

    def put(self, sheet, row: int, column: int, cell: Cell, bordered: bool = True) -> None:
        target = sheet.cell(row=row, column=column)
        if cell.value is not None:
            target.value = cell.value
            if isinstance(cell.value, str):
                target.data_type = "s"  # never a formula, whatever the text starts with
        target.font = self.fonts[cell.font]
        fill = self.fills.get(cell.fill)
        if fill is not None:
            target.fill = fill
        if bordered:
            target.border = self.border
        if cell.font == layout.HEAD:
            target.alignment = self.center
        if cell.link:
            target.hyperlink = cell.link


def write_into(book: openpyxl.Workbook, stream: IO[bytes], table: Table, style: Style, emit) -> None:
    sheet = next(s for s in book.worksheets if s.sheet_state == "visible")
    last = last_value_row(sheet)
    top = last + 2 if last else 1
    if top + len(table.summary()) + 1 + len(table.publications) > 1_048_576:
        raise ReportError("檢索結果超出工作表的最後一列 (1,048,576)，請減少公開號的數量或改用較短的範本")
    looks = _Looks(style)
    row = top
    for line in table.summary():
        looks.put(sheet, row, 1, layout.text_cell(line), bordered=False)
        row += 1
    header = row + 1
    for column, cell in enumerate(table.header(), start=1):
        looks.put(sheet, header, column, cell)
    total = len(table.publications)
    for index, cells in enumerate(table.rows(), start=1):
        emit(layout.progress(index, total, table.publications[index - 1]))
        for column, cell in enumerate(cells, start=1):
            looks.put(sheet, header + index, column, cell)
    for column, width in enumerate(table.widths(style), start=1):
        dimension = sheet.column_dimensions[get_column_letter(column)]
        if not dimension.customWidth:
            dimension.width = width
    book.active = book.worksheets.index(sheet)
    for other in book.worksheets:
        other.sheet_view.tabSelected = other is sheet
    book.save(stream)
