"""The offline report worker.

Runs in its own process so a slow or failing report never freezes the
window. It takes requests from the window, reads the publication numbers
from the patent workbook, and writes a new report workbook into the working
folder. Every outcome, good or bad, ends with the completion marker so the
window's button stops animating.
"""
from __future__ import annotations

import math
import numbers
import os
import re
import shutil
import tempfile
import unicodedata
import warnings
import zipfile
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any, Callable, Mapping

import openpyxl
from openpyxl.cell.cell import ILLEGAL_CHARACTERS_RE
from openpyxl.styles import Alignment, Font
from openpyxl.utils.exceptions import InvalidFileException

from . import protocol

Emit = Callable[[object], Any]
Clock = Callable[[], datetime]

HEADERS = ("序號", "公開號", "國別", "號碼", "種類", "狀態")
TITLE = "檢索報告"
STATUS_OK = "格式正確"
STATUS_BAD = "格式不符"

# Each recognised number links to its page here; the colour and underline
# are Excel's own for links.
SEARCH_PAGE = "https://patents.google.com/patent/{}"
LINK_COLOUR = "FF0563C1"

CELL_SIZE = 12
TITLE_SIZE = 16
# Excel accepts font sizes from 1 to 409 points.
MIN_SIZE, MAX_SIZE = 1.0, 409.0

# Country, number (optional one-letter prefix such as I, M or D), kind code.
_NUMBER_RE = re.compile(r"([A-Z]{2})([A-Z]?[0-9]+)([A-Z][0-9]?)")
# Spaces, slashes and every kind of hyphen or dash people paste from web pages.
_SEPARATORS_RE = re.compile(r"[\s/\\\-\u2010-\u2015\u2212]+")


class ReportError(Exception):
    """A problem the user can fix; its text is shown in the window as is."""


# ---------------------------------------------------------------- numbers


@dataclass(frozen=True)
class Publication:
    text: str  # as the user wrote it, on one line
    country: str | None
    number: str | None
    kind: str | None

    @property
    def status(self) -> str:
        return STATUS_OK if self.country else STATUS_BAD


def normalise(text: str) -> str:
    """Upper case without spaces, slashes or hyphens; full-width forms folded."""
    folded = unicodedata.normalize("NFKC", text)
    return _SEPARATORS_RE.sub("", folded).upper()


def parse_number(text: str) -> Publication:
    shown = one_line(text)
    match = _NUMBER_RE.fullmatch(normalise(text))
    if not match:
        return Publication(shown, None, None, None)
    return Publication(shown, *match.groups())


def one_line(text: str) -> str:
    """Text fit for one message line and one cell."""
    return ILLEGAL_CHARACTERS_RE.sub("", " ".join(str(text).split()))


def _cell_text(value: object) -> str:
    # A number typed into Excel comes back as a float; 123.0 means "123".
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value).strip()


# ---------------------------------------------------------------- paths and files


def user_path(text: str) -> Path:
    """The file the user meant by a path typed or pasted into an entry.

    Pasted paths often carry stray spaces or quotes; those are dropped only
    when the text as given names nothing.
    """
    candidates = [text]
    stripped = text.strip()
    candidates.append(stripped)
    if len(stripped) >= 2 and stripped[0] == stripped[-1] and stripped[0] in "\"'":
        candidates.append(stripped[1:-1].strip())
    paths = [protocol.native_path(os.path.expanduser(c)) for c in candidates if c]
    for path in paths:
        if _exists(path):
            return path
    return paths[-1]


def _exists(path: Path) -> bool:
    try:
        return path.exists()
    except (OSError, ValueError):  # e.g. a NUL character pasted into the entry
        return False


def _reason(error: BaseException) -> str:
    if isinstance(error, PermissionError):
        # What Windows says of a workbook that is open in Excel.
        return "沒有存取權限，或檔案正在其他程式 (例如 Excel) 中開啟；請關閉該檔案後再試一次"
    if isinstance(error, OSError) and error.strerror:
        return one_line(error.strerror)
    if isinstance(error, (zipfile.BadZipFile, InvalidFileException)):
        return "不是有效的 Excel 活頁簿 (.xlsx)"
    return one_line(f"{type(error).__name__}: {error}") if str(error) else type(error).__name__


def _check_file(path: Path, what: str) -> None:
    if not _exists(path):
        raise ReportError(f"找不到{what}: {path}")
    if not path.is_file():
        raise ReportError(f"{what}不是檔案: {path}")


def read_numbers(path: Path) -> list[str]:
    """The publication numbers in the first column of the first sheet.

    The first row is a header; blank cells are skipped.
    """
    _check_file(path, "專利檔案")
    try:
        with warnings.catch_warnings():
            # Workbooks from other programs often trip openpyxl's style warnings.
            warnings.simplefilter("ignore")
            book = openpyxl.load_workbook(path, read_only=True, data_only=True)
            try:
                if not book.worksheets:
                    raise ReportError(f"專利檔案中沒有工作表: {path}")
                sheet = book.worksheets[0]
                # Some programs write a wrong size into the file; read every row.
                sheet.reset_dimensions()
                texts = []
                for (value,) in sheet.iter_rows(min_row=2, min_col=1, max_col=1, values_only=True):
                    if value is None:
                        continue
                    text = _cell_text(value)
                    if text:
                        texts.append(text)
            finally:
                book.close()
    except ReportError:
        raise
    except Exception as error:
        raise ReportError(f"無法讀取專利檔案: {path} ({_reason(error)})") from error
    if not texts:
        raise ReportError(f"專利檔案中沒有公開號: {path}")
    return texts


def load_template(path: Path) -> openpyxl.Workbook:
    _check_file(path, "範本檔案")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            book = openpyxl.load_workbook(path)
    except Exception as error:
        raise ReportError(f"無法讀取範本檔案: {path} ({_reason(error)})") from error
    if not book.worksheets:
        raise ReportError(f"範本檔案中沒有工作表: {path}")
    # An .xltx template saved as .xlsx would otherwise be refused by Excel.
    book.template = False
    return book


def ensure_folder(folder: Path) -> Path:
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ReportError(f"無法建立工作資料夾: {folder} ({_reason(error)})") from error
    if not folder.is_dir():
        raise ReportError(f"無法建立工作資料夾: {folder} (已有同名檔案)")
    return folder


def report_name(stamp: datetime, attempt: int) -> str:
    suffix = "" if attempt == 1 else f"_{attempt}"
    return f"檢索報告_{stamp:%Y%m%d_%H%M%S}{suffix}.xlsx"


def _claim(written: Path, path: Path) -> None:
    """Gives the finished file `written` the name `path`, never replacing a
    file of that name (FileExistsError then)."""
    if os.name == "nt":
        os.rename(written, path)  # refuses an existing target on Windows
        return
    try:
        os.link(written, path)  # refuses an existing target
    except FileExistsError:
        raise
    except OSError:
        # No hard links here (some shared drives): copy into a new file.
        with open(path, "xb") as target, open(written, "rb") as source:
            shutil.copyfileobj(source, target)


def save_new(book: openpyxl.Workbook, folder: Path, stamp: datetime, attempts: int = 10_000) -> Path:
    """Saves under the first free report name; an existing file is never touched.

    The report is written whole under a temporary name first and only then
    given its own, so a worker stopped in the middle, even killed, leaves no
    partial file under a report's name.
    """
    try:
        handle, temporary = tempfile.mkstemp(prefix="~lumivar-", suffix=".xlsx.part", dir=folder)
    except OSError as error:
        raise ReportError(f"無法寫入檢索報告: {folder} ({_reason(error)})") from error
    written = Path(temporary)
    try:
        try:
            with os.fdopen(handle, "wb") as stream:
                book.save(stream)
        except Exception as error:
            raise ReportError(f"無法寫入檢索報告: {folder} ({_reason(error)})") from error
        for attempt in range(1, attempts + 1):
            path = folder / report_name(stamp, attempt)
            try:
                _claim(written, path)
            except FileExistsError:
                continue
            except OSError as error:
                raise ReportError(f"無法寫入檢索報告: {path} ({_reason(error)})") from error
            return path
        raise ReportError(f"無法寫入檢索報告: {folder} 中已有太多同名檔案")
    finally:
        try:
            written.unlink()
        except OSError:
            pass


# ---------------------------------------------------------------- layout


def size_ratio(value: object) -> float:
    """The text size ratio; anything but a finite number above 0 means 1."""
    try:
        ratio = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        return float(protocol.DEFAULT_RATIO)
    if not math.isfinite(ratio) or ratio <= 0:
        return float(protocol.DEFAULT_RATIO)
    return ratio


def font_size(base: float, ratio: float) -> float:
    """base × ratio, to the nearest half point (halves round up), within Excel's range."""
    size = math.floor(base * ratio * 2 + 0.5) / 2
    return min(max(size, MIN_SIZE), MAX_SIZE)


def has_cjk(text: str) -> bool:
    return any(_is_cjk(ch) for ch in text)


def _is_cjk(ch: str) -> bool:
    code = ord(ch)
    return (
        0x1100 <= code <= 0x11FF  # Hangul Jamo
        or 0x2E80 <= code <= 0x2FDF  # radicals
        or 0x3000 <= code <= 0x303F  # CJK punctuation
        or 0x3040 <= code <= 0x30FF  # kana
        or 0x3100 <= code <= 0x31BF  # bopomofo, Hangul compatibility
        or 0x31F0 <= code <= 0x4DBF  # kana extension, extension A
        or 0x4E00 <= code <= 0x9FFF  # unified ideographs
        or 0xAC00 <= code <= 0xD7AF  # Hangul syllables
        or 0xF900 <= code <= 0xFAFF  # compatibility ideographs
        or 0xFE30 <= code <= 0xFE4F  # compatibility forms
        or 0xFF00 <= code <= 0xFFEF  # full-width forms
        or 0x20000 <= code <= 0x3FFFF  # extensions B and later
    )


@dataclass(frozen=True)
class Style:
    ratio: float
    cjk_font: str
    latin_font: str

    def font(self, value: object, base: float, bold: bool = False) -> Font:
        name = self.cjk_font if isinstance(value, str) and has_cjk(value) else self.latin_font
        return Font(name=name, size=font_size(base, self.ratio), bold=bold)


def last_used_row(sheet) -> int:
    """The last row holding a value or a merged area; 0 for an empty sheet."""
    last = 0
    for row in sheet.iter_rows():
        if any(cell.value is not None for cell in row):
            last = row[0].row
    for merged in sheet.merged_cells.ranges:
        last = max(last, merged.max_row)
    return last


def _put(sheet, row: int, column: int, value: object, style: Style, base: float, bold: bool = False) -> None:
    if value is None:
        return
    cell = sheet.cell(row=row, column=column, value=value)
    cell.font = style.font(value, base, bold)


def new_book(style: Style) -> openpyxl.Workbook:
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = TITLE
    _put(sheet, 1, 1, TITLE, style, TITLE_SIZE, bold=True)
    for letter, width in zip("ABCDEF", (8, 28, 8, 18, 8, 12)):
        sheet.column_dimensions[letter].width = width * max(1.0, style.ratio)
    return book


def page_address(item: Publication) -> str:
    """The publication's public page on Google Patents (free, no account)."""
    return SEARCH_PAGE.format(f"{item.country}{item.number}{item.kind}")


def add_table(
    sheet, publications: list[Publication], style: Style, emit: Emit, made: datetime
) -> None:
    """Appends the table two rows below the sheet's last used row, each
    recognised number a link to its public page; below it the date the report
    was made and how many numbers were recognised."""
    last = last_used_row(sheet)
    top = last + 2 if last else 1
    for column, header in enumerate(HEADERS, start=1):
        _put(sheet, top, column, header, style, CELL_SIZE, bold=True)
        sheet.cell(row=top, column=column).alignment = Alignment(horizontal="center")
    total = len(publications)
    for index, item in enumerate(publications, start=1):
        emit(f"{index}/{total} {item.text}")
        row = top + index
        values = (index, item.text, item.country, item.number, item.kind, item.status)
        for column, value in enumerate(values, start=1):
            _put(sheet, row, column, value, style, CELL_SIZE)
        if item.country:
            cell = sheet.cell(row=row, column=2)
            cell.hyperlink = page_address(item)
            font = cell.font
            cell.font = Font(name=font.name, sz=font.sz, bold=font.bold, color=LINK_COLOUR, underline="single")
    recognised = sum(1 for item in publications if item.country)
    foot = top + total + 2
    _put(sheet, foot, 1, f"製表日期: {made:%Y-%m-%d}", style, CELL_SIZE)
    _put(sheet, foot + 1, 1, f"共 {total} 筆公開號: 可辨識 {recognised} 筆，格式不符 {total - recognised} 筆", style,
         CELL_SIZE)


# ---------------------------------------------------------------- requests


@dataclass(frozen=True)
class Request:
    template: str
    patents: str
    ratio: float
    cjk_font: str
    latin_font: str


def _font_name(value: str, default: str) -> str:
    name = one_line(value)
    return name or default


def check_request(request: object) -> Request:
    if not isinstance(request, Mapping):
        raise ReportError(f"請求格式錯誤: 應為欄位對照表，收到 {type(request).__name__}")
    missing = [key for key in protocol.REQUEST_KEYS if key not in request]
    if missing:
        raise ReportError(f"請求格式錯誤: 缺少欄位 {'、'.join(missing)}")
    texts = {}
    for key in (protocol.TEMPLATE_PATH, protocol.PATENT_PATH, protocol.CJK_FONT, protocol.LATIN_FONT):
        value = request[key]
        if isinstance(value, os.PathLike) and key in (protocol.TEMPLATE_PATH, protocol.PATENT_PATH):
            value = os.fspath(value)
        if not isinstance(value, str):
            raise ReportError(f"請求格式錯誤: 欄位 {key} 應為文字，收到 {type(value).__name__}")
        texts[key] = value
    ratio = request[protocol.SIZE_RATIO]
    if isinstance(ratio, bool) or not isinstance(ratio, (numbers.Real, str)):
        raise ReportError(f"請求格式錯誤: 欄位 {protocol.SIZE_RATIO} 應為數字，收到 {type(ratio).__name__}")
    return Request(
        template=texts[protocol.TEMPLATE_PATH],
        patents=texts[protocol.PATENT_PATH],
        ratio=size_ratio(ratio),
        cjk_font=_font_name(texts[protocol.CJK_FONT], protocol.DEFAULT_CJK_FONT),
        latin_font=_font_name(texts[protocol.LATIN_FONT], protocol.DEFAULT_LATIN_FONT),
    )


def make_report(request: object, emit: Emit, *, now: Clock = datetime.now, folder: Path | None = None) -> Path:
    """Writes one report; raises ReportError with a message for the user."""
    checked = check_request(request)
    if not checked.patents.strip():
        raise ReportError("尚未指定專利檔案")
    texts = read_numbers(user_path(checked.patents))
    style = Style(checked.ratio, checked.cjk_font, checked.latin_font)
    if checked.template.strip():
        book = load_template(user_path(checked.template))
    else:
        book = new_book(style)
    target = ensure_folder(folder if folder is not None else protocol.working_folder())
    made = now()
    add_table(book.worksheets[0], [parse_number(text) for text in texts], style, emit, made)
    return save_new(book, target, made)


def handle_request(request: object, emit: Emit, *, now: Clock = datetime.now, folder: Path | None = None) -> Path | None:
    """One request, start to marker. Never raises for a bad request or file."""
    try:
        path = make_report(request, emit, now=now, folder=folder)
    except ReportError as error:
        # A file name may hold a line break; the window shows one line per message.
        emit(re.sub(r"[\r\n]+", " ", str(error)))
        path = None
    except Exception as error:  # a fault of ours: still tell the user and stay alive
        emit(f"產生檢索報告時發生未預期的錯誤 ({_reason(error)})")
        path = None
    else:
        emit(f"檢索報告已輸出: {path}")
    emit(protocol.DONE)
    return path


def serve(conn, *, now: Clock = datetime.now) -> None:
    """Process target: serves the requests that arrive on `conn`, sending
    each message back on it, until None arrives or the host is gone."""
    try:
        while (request := conn.recv()) is not None:
            handle_request(request, conn.send, now=now)
    except (EOFError, OSError, KeyboardInterrupt):
        # The host is gone (its end of the pipe closed), or Ctrl+C reached us
        # too: either way the host does the shutting down.
        pass
