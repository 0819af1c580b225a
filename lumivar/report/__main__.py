"""The report job without the window:

    python -m lumivar.report PATENTS [--template T] [--folder F] [--ratio R]
                                     [--cjk-font F] [--latin-font F] [--no-data] [--no-status]

Prints the job's messages one per line (UTF-8), each cut and made readable
as the window shows it. Exit status 0 when a report
was written, 1 when the input was refused (the message says why), 2 for a
usage error.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from .. import protocol
from ..messages import fit_for_display
from .job import handle_request


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # usage errors: status 2, as argparse does, in the user's language
        self.print_usage(sys.stderr)
        print(f"參數錯誤: {message}", file=sys.stderr)
        raise SystemExit(2)


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = _Parser(prog="python -m lumivar.report", description="由公開號清單輸出檢索報告")
    parser.add_argument("patents", help="公開號清單活頁簿 (.xlsx、.xls、.ods …)")
    parser.add_argument("--template", default="", help="範本活頁簿")
    parser.add_argument(
        "--folder",
        type=lambda text: Path(os.path.abspath(text)),
        default=None,
        help="報告輸出資料夾 (預設為工作資料夾)",
    )
    parser.add_argument("--ratio", default=str(protocol.DEFAULT_RATIO), help="文字大小比例，1 為 100%%")
    parser.add_argument("--cjk-font", default=protocol.DEFAULT_CJK_FONT, help="中文文字字體")
    parser.add_argument("--latin-font", default=protocol.DEFAULT_LATIN_FONT, help="英文文字字體")
    parser.add_argument("--no-data", action="store_true", help="不向 EPO Open Patent Services 取得書目資料")
    parser.add_argument("--no-status", action="store_true", help="不取得法律狀態、預估屆期與代表圖（新穎性檢索不需要）")
    return parser.parse_args(argv)


def _from_here(path: str) -> str:
    """A shell user's relative path names a file in the current folder (the
    window's bare file name means the working folder; this is no window)."""
    return os.path.abspath(path) if path.strip() else path


def main(argv: list[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(encoding="utf-8", errors="replace")
    args = parse(argv)
    request = {
        protocol.TEMPLATE_PATH: _from_here(args.template),
        protocol.PATENT_PATH: _from_here(args.patents),
        protocol.SIZE_RATIO: args.ratio,
        protocol.CJK_FONT: args.cjk_font,
        protocol.LATIN_FONT: args.latin_font,
    }

    def emit(message: object) -> None:
        if message != protocol.DONE and not sys.stdout.closed:
            try:
                print(fit_for_display(message), flush=True)
            except BrokenPipeError:  # the reader left (| head): the job goes on quietly
                sys.stdout = open(os.devnull, "w", encoding="utf-8")

    try:
        path = handle_request(
            request, emit, folder=args.folder, with_data=not args.no_data, with_status=not args.no_status
        )
    except KeyboardInterrupt:  # Ctrl+C: the temporary file is gone, nothing else was written
        print("已中斷", file=sys.stderr)
        return 130
    return 0 if path is not None else 1


if __name__ == "__main__":
    sys.exit(main())
