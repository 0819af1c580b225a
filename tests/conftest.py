"""Shared fixtures of the test suite; the window driver and the doubles are
in support.py.

Every test process gets its own HOME before customtkinter is imported: the
toolkit copies its fonts into ~/.fonts on import, and off Windows the product
maps its working folders below the home folder.

Only the tests that open a window need a display: without one they are
skipped (pytest -ra lists them), except under scripts/test, which promises
one, where they fail.

The suite also runs on Windows (scripts/test --windows: a Windows CPython
under wine). There the product's paths are the real C:/tarnwick/..., so
the tests that use them run only in wine's throwaway prefix.
"""

import importlib.machinery
import importlib.util
import os
import shutil
import tempfile
from pathlib import Path

SUITE_HOME = os.environ["HOME"] = tempfile.mkdtemp(prefix="lumivar-test-home-")

import pytest  # noqa: E402

from support import ON_WINDOWS, Session, need_display  # noqa: E402


def _under_wine():
    if not ON_WINDOWS:
        return False
    import ctypes

    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


UNDER_WINE = _under_wine()
not_on_windows = pytest.mark.skipif(ON_WINDOWS, reason="checks the mapping of the Windows paths on other platforms")
only_on_windows = pytest.mark.skipif(not ON_WINDOWS, reason="needs Windows (scripts/test --windows)")
moves_home = pytest.mark.skipif(ON_WINDOWS, reason="moves the home folder, which stands for drive C: only off Windows")


# What opens a real window: these fixtures, or a test marked `window` (one that
# starts something before its window, or opens it in a child process).
WINDOW_FIXTURES = {"session", "ctk_root"}


def pytest_configure(config):
    config.addinivalue_line("markers", "window: opens a real window, so it needs a display")
    if UNDER_WINE:
        _retry_tcl_start()


def _retry_tcl_start():
    """Under wine, now and then one read of Tcl's init.tcl fails with no error
    code (about once in 300 new roots; Windows itself does not do this), and
    the root is not made. Such a start is tried again."""
    import tkinter

    create = tkinter.Tk.__init__

    def init(self, *args, **kwargs):
        for attempt in range(3):
            try:
                return create(self, *args, **kwargs)
            except tkinter.TclError as error:
                if "init.tcl" not in str(error) or attempt == 2:
                    raise

    tkinter.Tk.__init__ = init


def pytest_runtest_setup(item):
    if item.get_closest_marker("window") or WINDOW_FIXTURES & set(item.fixturenames):
        need_display()


def pytest_unconfigure(config):
    shutil.rmtree(SUITE_HOME, ignore_errors=True)


def pytest_terminal_summary(terminalreporter):
    """What the referee judged without, once (a line, not a warning: warnings are errors here)."""
    import referee

    if note := referee.notice():
        terminalreporter.write_line(note)


def _clear(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


@pytest.fixture
def home(tmp_path, monkeypatch):
    """The folder that stands for drive C: in the product's paths, with no
    tarnwick folder in it: a fresh home folder, or on Windows drive C: itself."""
    if not ON_WINDOWS:
        folder = tmp_path / "home"
        folder.mkdir()
        monkeypatch.setenv("HOME", str(folder))
        yield folder
        return
    if not UNDER_WINE:
        pytest.skip("replaces C:\\tarnwick: runs only in a throwaway wine prefix (scripts/test --windows)")
    drive = Path("C:/")
    _clear(drive / "tarnwick")
    yield drive
    _clear(drive / "tarnwick")


@pytest.fixture
def ctk_root():
    """A real customtkinter root window, destroyed after the test."""
    import customtkinter

    root = customtkinter.CTk()
    root.geometry("600x400")
    yield root
    try:
        root.destroy()
    except Exception:
        pass
    # customtkinter keeps every root in its trackers; let this one go.
    if root in customtkinter.AppearanceModeTracker.app_list:
        customtkinter.AppearanceModeTracker.app_list.remove(root)
    customtkinter.ScalingTracker.window_dpi_scaling_dict.pop(root, None)


@pytest.fixture
def module_copy(tmp_path, gui_module):
    """A second load of the module file, from a folder whose data files a test may remove."""
    folder = tmp_path / "module"
    folder.mkdir()
    base = os.path.dirname(os.path.abspath(gui_module.__file__))
    target = folder / os.path.basename(gui_module.__file__)
    shutil.copy2(gui_module.__file__, target)
    shutil.copytree(os.path.join(base, "格式範本"), folder / "格式範本")

    def load(*missing):
        for name in missing:
            (folder / "格式範本" / name).unlink()
        loader = importlib.machinery.ExtensionFileLoader("copy_of.GUI", str(target))
        spec = importlib.util.spec_from_file_location("copy_of.GUI", str(target), loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        return module

    return folder, load


@pytest.fixture
def parameters_made(gui_module, monkeypatch):
    """The report parameters object each window makes."""
    made = []
    real = gui_module.Parameters

    def recording():
        made.append(real())
        return made[-1]

    monkeypatch.setattr(gui_module, "Parameters", recording)
    return made


@pytest.fixture
def gui_module():
    import GUI

    return GUI


@pytest.fixture
def session(gui_module, monkeypatch, home):
    s = Session(gui_module, monkeypatch)
    yield s
    s.close()


WORKBOOK = "檢索專利公開號.xlsx"
NOTICE = "版權宣告.pdf"
USER_FILES = {
    ("tarnwick", "Lumivar", WORKBOOK): b"PK\x03\x04 the user's own publication numbers, edited",
    ("tarnwick", "temp", "Lumivar", NOTICE): b"%PDF-1.4 the notice, annotated by the user",
}


@pytest.fixture
def users_files(home):
    """An edited user copy of the starter workbook and an existing local copy
    of the copyright notice in the test's home; afterwards both must be
    exactly as they were: same bytes, same file, same modification time."""
    made = {}
    for pieces, content in USER_FILES.items():
        path = home.joinpath(*pieces)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
        os.utime(path, ns=(1_600_000_000_000_000_000, 1_600_000_000_000_000_000))
        made[path] = (content, path.stat().st_ino, path.stat().st_mtime_ns)
    yield made
    for path, (content, inode, mtime) in made.items():
        now = path.stat()
        assert (path.read_bytes(), now.st_ino, now.st_mtime_ns) == (content, inode, mtime), f"{path} was touched"


@pytest.fixture(autouse=True)
def reports_are_judged():
    """Every report a test makes is judged as it was made (report_checks.judge_reports)."""
    import report_checks

    yield from report_checks.judge_reports()
