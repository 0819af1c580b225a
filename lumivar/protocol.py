"""Names shared by the window, the host and the report worker.

The window is a compiled module with its own copy (model/protocol.hpp, seen
from Python as GUI._protocol); tests/test_protocol.py checks that they agree.
"""

from __future__ import annotations

import sys
from pathlib import Path

# Queue and event names in Queue_All_variable / Event_All_variable.
REQUESTS = "起始數據"
RECEIPTS = "get_receipt"
END = "end"
BUSY = "get_receipt"

# The window stops its busy animation when it reads this line.
DONE = "$$$檢索報告完成$$$"

# Between our host and its worker only, never shown in the window: the
# worker has started or finished saving a report, so a close of the window
# lets a save under way finish.
SAVING = ("lumivar", "saving")
SAVED = ("lumivar", "saved")

# Request keys, in the order the window sends them.
TEMPLATE_PATH = "範本檔案路徑"
PATENT_PATH = "專利檔案路徑"
SIZE_RATIO = "文字大小比例"
CJK_FONT = "中文文字字體"
LATIN_FONT = "英文文字字體"
REQUEST_KEYS = (TEMPLATE_PATH, PATENT_PATH, SIZE_RATIO, CJK_FONT, LATIN_FONT)

DEFAULT_RATIO = 1
DEFAULT_CJK_FONT = "標楷體"
DEFAULT_LATIN_FONT = "Calibri"


def is_windows(platform: str | None = None) -> bool:
    return (platform or sys.platform) == "win32"


def native_path(text: str, platform: str | None = None) -> Path:
    """A path as the product writes it ("C:/..."), on this platform.

    Off Windows the drive C: stands for the user's home folder, read at each
    call so that a changed HOME is honoured.
    """
    if is_windows(platform):
        return Path(text)
    if len(text) >= 2 and text[0] in "cC" and text[1] == ":":
        rest = text[2:].replace("\\", "/").lstrip("/")
        return Path.home() / rest if rest else Path.home()
    return Path(text)


def working_folder(platform: str | None = None) -> Path:
    """Where reports are written; the window creates it on start."""
    return native_path("C:/tarnwick/Lumivar/", platform)
