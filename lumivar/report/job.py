"""One report, from request to file: the code path of both the window's
worker and the command line."""

from __future__ import annotations

import numbers
import os
import re
import sys
import traceback
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any

from .. import protocol
from . import compose, data, fields, layout, newbook, publications, reading, template
from .compose import Report
from .files import ReportError, ensure_folder, reason, save_new, user_path
from .layout import Style
from .ooxml import MAX_FONT_NAME
from .text import one_line

Emit = Callable[[object], Any]
Clock = Callable[[], datetime]

NO_SOURCE = "書目資料：未設定書目資料來源"  # the client's summary says what the report lacks
TOO_LARGE = "記憶體不足：清單或範本過大，無法產生檢索報告；請減少清單的筆數或欄位後再試"


class ListenerGone(BaseException):
    """Whoever hears the job's messages has gone (the host closed its pipe).

    Not an Exception: no handler for a failed file may take it for one."""


def _guarded(emit: Emit) -> Emit:
    def send(message: object) -> None:
        try:
            emit(message)
        except Exception as error:
            raise ListenerGone from error

    return send


@dataclass(frozen=True)
class Request:
    template: str
    patents: str
    ratio: object  # as received; layout.size_ratio tells whether a report can use it
    cjk_font: str
    latin_font: str


def _font_name(value: str, default: str) -> str:
    return one_line(value)[:MAX_FONT_NAME] or default  # Excel refuses a longer name


def _kind(value: object) -> str:
    """What a request holds, in the user's words rather than Python's type names."""
    if value is None:
        return "空值"
    if isinstance(value, bool):
        return "是非值"
    for kind, word in ((str, "文字"), (numbers.Number, "數字"), (Mapping, "對照表"), ((list, tuple), "清單")):
        if isinstance(value, kind):
            return word
    return "其他資料"


def check_request(request: object) -> Request:
    if not isinstance(request, Mapping):
        raise ReportError(f"請求格式錯誤: 應為欄位對照表，收到{_kind(request)}")
    missing = [key for key in protocol.REQUEST_KEYS if key not in request]
    if missing:
        raise ReportError(f"請求格式錯誤: 缺少欄位 {'、'.join(missing)}")
    texts = {}
    for key in (protocol.TEMPLATE_PATH, protocol.PATENT_PATH, protocol.CJK_FONT, protocol.LATIN_FONT):
        value = request[key]
        if isinstance(value, os.PathLike) and key in (protocol.TEMPLATE_PATH, protocol.PATENT_PATH):
            value = os.fspath(value)
        if not isinstance(value, str):
            raise ReportError(f"請求格式錯誤: 欄位 {key} 應為文字，收到{_kind(value)}")
        texts[key] = value
    ratio = request[protocol.SIZE_RATIO]
    if isinstance(ratio, bool) or not isinstance(ratio, (numbers.Real, str)):
        raise ReportError(f"請求格式錯誤: 欄位 {protocol.SIZE_RATIO} 應為數字，收到{_kind(ratio)}")
    return Request(
        template=texts[protocol.TEMPLATE_PATH],
        patents=texts[protocol.PATENT_PATH],
        ratio=ratio,
        cjk_font=_font_name(texts[protocol.CJK_FONT], protocol.DEFAULT_CJK_FONT),
        latin_font=_font_name(texts[protocol.LATIN_FONT], protocol.DEFAULT_LATIN_FONT),
    )


def make_report(
    request: object,
    emit: Emit,
    *,
    now: Clock = datetime.now,
    folder: Path | None = None,
    notify: Emit = lambda notice: None,
    with_data: bool = True,
    with_status: bool = True,
) -> Path:
    """Writes one report; raises ReportError with a message for the user.
    `with_data`: fetch bibliographic data where a source is set up;
    `with_status`: legal status and drawings too, unless the settings turn them off."""
    checked = check_request(request)
    if not checked.patents.strip():
        raise ReportError("尚未指定專利檔案")
    target_folder = folder if folder is not None else protocol.working_folder()
    ratio = layout.size_ratio(checked.ratio)
    if ratio is None:
        emit(layout.ratio_note(checked.ratio))
        ratio = float(protocol.DEFAULT_RATIO)
    style = Style(ratio, checked.cjk_font, checked.latin_font)

    patents = user_path(checked.patents, target_folder)
    found = reading.read_list(patents)
    emit(found.summary)
    for note in found.notes:
        emit(note)
    form = template.load(user_path(checked.template, target_folder)) if checked.template.strip() else None
    try:
        made = now()
        # Settings only from the working folder: the folder a report is saved in may be anyone's.
        source = data.settings(protocol.working_folder(), emit) if with_data else None
        report = _report(found, patents.name, made, source, emit, _named(form), with_data, with_status)
        for line in _news(report, len(found.entries)):
            emit(line)

        def write(stream) -> None:
            rows = _announced(report.client, emit)
            if form is None:
                newbook.write_new(stream, report, rows, style, emit)
            else:
                template.write_into(form, stream, report, rows, style, emit)

        return save_new(write, ensure_folder(target_folder), made, notify)
    finally:
        if form is not None:
            form.package.close()  # the template file is never held open after the job
        publications.forget()


def _news(report: Report, read: int) -> list[str]:
    """The bookkeeping the window has not heard yet: where the numbers were
    and how many, the reader has said; the tally only when it counts more
    than documents (repeats, format errors, applications…)."""
    plain = f"共 {read:,} 筆，專利文獻 {read:,} 件"
    return [line for line in report.bookkeeping[1:] if line != plain] + report.notes


def _named(form: template.Template | None) -> tuple[tuple[str, ...], bool]:
    """The columns a template's header names, and whether they stand right of
    the marker (whose own cell is then the 序號's, as it always was)."""
    if form is None or not form.found.header:
        return (), False
    return form.found.header, form.found.marker is not None and form.found.header_row == form.found.marker[0]


def _report(
    found: reading.ListRead,
    file_name: str,
    made: datetime,
    source: data.Settings | None,
    emit: Emit,
    named: tuple[tuple[str, ...], bool],
    with_data: bool = True,
    with_status: bool = True,
) -> Report:
    """The report: each entry, the list's other columns carried along, and
    the bibliographic data fetched where a source is set up, legal status and
    drawings with it where wanted."""
    entries = [publications.parse(text) for text in found.entries]
    header, values = found.header, found.values
    line = NO_SOURCE if source is None and with_data else None
    standing = None
    if source is not None and any(e.id or e.application for e in entries):
        fetched = data.fetch(entries, source, emit, made.date())
        header, values, entries = data.merge(header, values, fetched, fields.aliases)
        line = data.source_line(fetched)
        if with_status and source.status and fetched.fault is None and any(e.id for e in entries):
            figures = data.figures_of(header, values, entries, fields.aliases)
            standing = data.fetch_status(
                entries, fetched.records, source, emit, made.date(), figures, client=fetched.client
            )
            header, values = data.merge_status(header, values, entries, standing, fields.aliases)
    else:  # the list's own family column, where it has one
        entries = data.families(header, values, entries, fields.aliases)
    report = compose.compose(
        entries,
        header,
        values,
        rows=found.rows,
        made=made,
        place=found.place(file_name),
        search=found.search,
        data_line=line,
        derived_line=data.DERIVED_LINE if standing is not None and data.DERIVED_LINE in standing.lines else None,
        named=named[0],
        beside_marker=named[1],
        drawings=data.drawings_by_id(entries, standing) if standing is not None else None,
    )
    if standing is not None:  # for the window and the detail sheet's head
        report.bookkeeping.extend(standing.lines)
    return report


def _announced(table: layout.Table, emit: Emit):
    """The table's rows, each announced by a progress line as the writer takes it."""
    total = len(table.publications)
    for index, cells in enumerate(table.rows(), start=1):
        emit(layout.progress(index, total, table.publications[index - 1]))
        yield cells


def handle_request(
    request: object,
    emit: Emit,
    *,
    now: Clock = datetime.now,
    folder: Path | None = None,
    notify: Emit = lambda notice: None,
    with_data: bool = True,
    with_status: bool = True,
) -> Path | None:
    """One request, start to marker. Never raises for a bad request or file;
    ListenerGone when the messages can no longer be sent."""
    emit, notify = _guarded(emit), _guarded(notify)
    try:
        path = make_report(
            request, emit, now=now, folder=folder, notify=notify, with_data=with_data, with_status=with_status
        )
    except ReportError as error:
        # A file name may hold a line break; the window shows one line per message.
        emit(re.sub(r"[\r\n]+", " ", str(error)))
        path = None
    except MemoryError:  # no traceback: printing one needs memory too
        emit(TOO_LARGE)
        path = None
    except Exception as error:  # a fault of ours: still tell the user and stay alive
        traceback.print_exc(file=sys.stderr)  # for us, on the console; the window gets one plain line
        emit(f"產生檢索報告時發生未預期的錯誤 ({reason(error)})")
        path = None
    else:
        emit(f"檢索報告已輸出: {path}")
    emit(protocol.DONE)
    return path
