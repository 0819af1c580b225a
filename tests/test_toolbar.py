"""The icon commands of the main window: clearing, file pickers, working folder,
web page and copyright notice. Services are replaced through the module's global
names, so no real dialog, file manager, browser or viewer starts."""

import errno
import logging
import os
import shutil
import stat
import subprocess
import tkinter
import types
import webbrowser
from urllib.parse import urlsplit

import customtkinter
import pytest
from PIL import Image

from lumivar import protocol

from conftest import NOTICE, moves_home
from support import (
    LOGGER,
    ON_WINDOWS,
    WINDOW,
    Service,
    Session,
    Ticks,
    host_objects,
    idle,
    logged_errors,
    os_error,
    refusing,
)

NOTICE_PREFIX, OPEN_PREFIX = WINDOW["NOTICE_PREFIX"], WINDOW["OPEN_PREFIX"]

# ---------------------------------------------------------------- helpers


class DialogTk:
    """The tkinter module with a scripted file-open dialog; an answer that is an
    exception is raised instead of returned."""

    def __init__(self, answers):
        self._answers = list(answers)
        self.calls = []
        self.filedialog = types.SimpleNamespace(askopenfilename=self._ask)

    def _ask(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        answer = self._answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def __getattr__(self, name):
        return getattr(tkinter, name)


class Process:
    def __init__(self, log, args, kwargs):
        self.log = log
        self.args = args
        self.kwargs = kwargs

    def __getattr__(self, name):  # wait, communicate, poll, ... are recorded
        def call(*a, **k):
            self.log.append(("process", name))

        return call


class Processes:
    """The subprocess module with a recording Popen, which may refuse (`fail`).
    The files handed to a program to open are noted in `files`; on Windows
    its startfile stands in for os.startfile."""

    def __init__(self, fail=None, on_start=None):
        self.started = []
        self.log = []
        self.files = []
        self.fail = fail
        self.on_start = on_start

    def Popen(self, *args, **kwargs):
        self.log.append(("Popen", args, kwargs))
        if isinstance(args[0], list) and args[0][:1] == ["xdg-open"]:
            self.files.append(args[0][1])
        if self.on_start:
            self.on_start(args, kwargs)
        if self.fail is not None:
            raise self.fail
        process = Process(self.log, args, kwargs)
        self.started.append(process)
        return process

    def startfile(self, path):
        self.files.append(path)
        if self.fail is not None:
            raise self.fail

    def __getattr__(self, name):
        return getattr(subprocess, name)


class Browser:
    """The webbrowser module; `answers` maps a scheme to a result or an exception."""

    def __init__(self, answers):
        self.answers = answers
        self.opened = []
        self.Error = webbrowser.Error

    def open(self, url, *args, **kwargs):
        self.opened.append((url, args, kwargs))
        answer = self.answers[urlsplit(url).scheme]
        if isinstance(answer, BaseException):
            raise answer
        return answer


def icon_buttons(s, module, name):
    """The buttons that show the shipped icon `name`."""
    with Image.open(module._platform.resource("\\格式範本\\" + name)) as shipped:
        wanted = (shipped.mode, shipped.size, shipped.tobytes())
    found = []
    for button in s.widgets(customtkinter.CTkButton):
        image = button.cget("image")
        if isinstance(image, customtkinter.CTkImage):
            light = image.cget("light_image")
            if (light.mode, light.size, light.tobytes()) == wanted:
                found.append(button)
    return found


def copyright_button(s, module):
    (button,) = icon_buttons(s, module, "版權宣告圖示.png")
    return button


def not_found(path):
    return f"[Errno {errno.ENOENT}] {os.strerror(errno.ENOENT)}: {str(path)!r}"


def cannot_open(path):
    """What opening a missing file says: on Windows os.startfile's own words
    (asked here: with no file nothing starts)."""
    if not ON_WINDOWS:
        return not_found(path)
    with pytest.raises(OSError) as caught:
        os.startfile(str(path))
    return str(caught.value)


class StartfileOs:
    """The os module whose startfile records instead of starting a program."""

    def __init__(self, on_start):
        self.startfile = on_start

    def __getattr__(self, name):
        return getattr(os, name)


# ---------------------------------------------------------------- entry table


@pytest.mark.parametrize(
    "command, own, other",
    [
        ("button_event_006", protocol.TEMPLATE_PATH, protocol.PATENT_PATH),
        ("button_event_007", protocol.PATENT_PATH, protocol.TEMPLATE_PATH),
    ],
    ids=["template", "patents"],
)
def test_file_picker_fills_only_its_own_entry_and_cancel_keeps_the_text(
    session, gui_module, monkeypatch, command, own, other
):
    chosen = "/tmp/選 擇/範本 (1).xlsx"
    dialogs = DialogTk(["", (), chosen, ""])
    monkeypatch.setattr(gui_module, "tkinter", dialogs)
    seen = []

    def script(s):
        yield from idle(s)
        s.set_table.set(own, "舊的 路徑.xlsx")
        s.set_table.set(other, "另一個.xlsx")
        for _ in range(4):
            s.commands[command]()
            seen.append((s.set_table.get(own), s.set_table.get(other)))
        assert s.widgets(customtkinter.CTkToplevel) == []

    session.run(*host_objects()[:2], script)
    assert seen == [
        ("舊的 路徑.xlsx", "另一個.xlsx"),  # cancelled: empty text
        ("舊的 路徑.xlsx", "另一個.xlsx"),  # cancelled: empty tuple of some Tk builds
        (chosen, "另一個.xlsx"),
        (chosen, "另一個.xlsx"),
    ]
    assert dialogs.calls == [((), {"title": WINDOW["PICK_TITLE"]})] * 4


def test_clearing_empties_both_rows_which_stay_usable(session, gui_module, monkeypatch):
    monkeypatch.setattr(gui_module, "tkinter", DialogTk(["/data/專利.xlsx"]))
    seen = {}

    def script(s):
        yield from idle(s)
        entries = {name: s.set_table.entry(name) for name in (protocol.TEMPLATE_PATH, protocol.PATENT_PATH)}
        s.set_table.set(protocol.TEMPLATE_PATH, "/a/範本.xlsx")
        entries[protocol.PATENT_PATH].insert(0, "typed by hand")
        s.commands["button_event_003"]()
        seen["cleared"] = [s.set_table.get(n) for n in entries]
        s.commands["button_event_003"]()  # on an empty table as well
        seen["again"] = [s.set_table.get(n) for n in entries]
        entries[protocol.TEMPLATE_PATH].insert(0, "new text")
        s.commands["button_event_007"]()
        seen["after"] = [s.set_table.get(n) for n in entries]
        seen["same widgets"] = all(s.set_table.entry(n) is e and e.winfo_exists() for n, e in entries.items())
        seen["rows"] = (s.set_table.names, len(s.widgets(customtkinter.CTkEntry)))

    session.run(*host_objects()[:2], script)
    assert seen["cleared"] == ["", ""] and seen["again"] == ["", ""]
    assert seen["after"] == ["new text", "/data/專利.xlsx"]
    assert seen["same widgets"]
    assert seen["rows"] == ([protocol.TEMPLATE_PATH, protocol.PATENT_PATH], 2)


# ---------------------------------------------------------------- working folder


def test_folder_button_starts_the_file_manager_on_the_working_folder_without_waiting(
    session, gui_module, monkeypatch, home, caplog
):
    processes = Processes()
    monkeypatch.setattr(gui_module, "subprocess", processes)

    def script(s):
        yield from idle(s)
        s.commands["button_event_005"]()
        s.commands["button_event_005"]()

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        session.run(*host_objects()[:2], script)
    if ON_WINDOWS:
        command = "explorer C:\\tarnwick\\Lumivar"
    else:
        command = ["xdg-open", f"{home}/tarnwick/Lumivar/"]
        assert gui_module._platform.folder_view_command("linux") == command
    assert [(p.args, p.kwargs.get("shell", False)) for p in processes.started] == [((command,), False)] * 2
    # On Windows the explorer gets the folder in its backslash form, as one command line.
    assert gui_module._platform.folder_view_command("win32") == "explorer C:\\tarnwick\\Lumivar"
    # Neither waited for nor examined.
    assert [entry[0] for entry in processes.log] == ["Popen", "Popen"]
    assert logged_errors(caplog) == []


# ---------------------------------------------------------------- web page


@pytest.mark.parametrize(
    "https, expected_schemes",
    [
        (True, ["https"]),
        (False, ["https"]),  # no browser found is not an error: no retry
        (webbrowser.Error("no runnable browser"), ["https", "http"]),
        (OSError("gone"), ["https", "http"]),
        (ValueError("of any kind"), ["https", "http"]),
        (KeyboardInterrupt(), ["https", "http"]),  # any kind: not only ordinary errors
    ],
    ids=["opened", "no-browser", "browser-error", "os-error", "value-error", "interrupt"],
)
def test_web_page_over_https_and_over_http_only_after_an_https_error(
    session, gui_module, monkeypatch, caplog, https, expected_schemes
):
    browser = Browser({"https": https, "http": True})
    monkeypatch.setattr(gui_module, "webbrowser", browser)

    def script(s):
        yield from idle(s)
        s.commands["button_event_008"]()

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        session.run(*host_objects()[:2], script)
    urls = [urlsplit(url) for url, _, _ in browser.opened]
    assert [u.scheme for u in urls] == expected_schemes
    for u in urls:
        assert (u.port, u.path, u.query, u.fragment) == (34008, "/Lumivar", "", "")
        assert u.hostname and u.hostname == urls[0].hostname
    assert logged_errors(caplog) == []


@pytest.mark.skipif(ON_WINDOWS, reason="Windows opens files itself; xdg-open is the opener elsewhere")
def test_a_missing_opener_is_named_in_one_line(session, gui_module, monkeypatch, home, capsys, caplog):
    missing = FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), "xdg-open")
    monkeypatch.setattr(gui_module, "subprocess", Processes(fail=missing))

    def script(s):
        yield from idle(s)
        s.commands["button_event_005"]()
        copyright_button(s, gui_module).invoke()

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        session.run(*host_objects()[:2], script)
    plain = f"[Errno {errno.ENOENT}] 找不到開啟程式 xdg-open，請安裝 xdg-utils"
    assert capsys.readouterr().out.splitlines() == ["無法開啟工作資料夾: " + plain, OPEN_PREFIX + plain]
    assert logged_errors(caplog) == []


# ---------------------------------------------------------------- errors


def failing_dialog(module, monkeypatch):
    error = RuntimeError("the dialog broke")
    monkeypatch.setattr(module, "tkinter", DialogTk([error]))
    return "button_event_006", error


def failing_file_manager(module, monkeypatch):
    error = PermissionError(errno.EACCES, "not allowed", "xdg-open")
    monkeypatch.setattr(module, "subprocess", Processes(fail=error))
    return "button_event_005", error


def failing_browser(module, monkeypatch):
    error = webbrowser.Error("no browser over http either")
    monkeypatch.setattr(module, "webbrowser", Browser({"https": OSError("https refused"), "http": error}))
    return "button_event_008", error


def failing_clear(module, monkeypatch):
    error = RuntimeError("the table is gone")
    real = module.Set_Table

    class Table:
        def __init__(self, master):
            self._table = real(master)

        def delete_all(self):
            raise error

        def __getattr__(self, name):
            return getattr(self._table, name)

    monkeypatch.setattr(module, "Set_Table", Table)
    return "button_event_003", error


@pytest.mark.parametrize(
    "arrange",
    [failing_dialog, failing_file_manager, failing_browser, failing_clear],
    ids=["file-dialog", "file-manager", "http-retry", "clear"],
)
def test_an_error_of_a_toolbar_command_reaches_the_logger_and_the_window_goes_on(
    session, gui_module, monkeypatch, caplog, arrange
):
    command, error = arrange(gui_module, monkeypatch)
    seen = {}

    def script(s):
        yield from idle(s)
        s.set_table.set(protocol.TEMPLATE_PATH, "/kept.xlsx")
        seen["result"] = s.commands[command]()
        yield 50
        seen["kept"] = s.set_table.get(protocol.TEMPLATE_PATH)
        seen["window"] = s.app.winfo_exists()

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        session.run(*host_objects()[:2], script)
    assert seen == {"result": None, "kept": "/kept.xlsx", "window": 1}
    [record] = logged_errors(caplog)
    assert record.exc_info[1] is error


# ---------------------------------------------------------------- copyright notice


def test_copyright_first_run_copies_with_metadata_later_runs_only_open_the_local_copy(
    module_copy, monkeypatch, home, capsys, caplog
):
    folder, load = module_copy
    source = folder / "格式範本" / "版權宣告.pdf"
    os.utime(source, (1_000_000_000, 1_000_000_000))
    source.chmod(0o640)
    mode = stat.S_IMODE(source.stat().st_mode)  # Windows keeps only the read-only bit
    shipped = source.read_bytes()
    module = load()
    local = home / "tarnwick" / "temp" / "Lumivar" / "版權宣告.pdf"
    existed_when_opened = []
    processes = Processes(on_start=lambda args, kwargs: existed_when_opened.append(local.read_bytes()))
    monkeypatch.setattr(module, "subprocess", processes)
    started = []  # os.startfile on Windows

    def startfile(path):
        existed_when_opened.append(local.read_bytes())
        started.append(path)

    monkeypatch.setattr(module, "os", StartfileOs(startfile))
    s = Session(module, monkeypatch)
    seen = {}

    def script(s):
        yield from idle(s)
        button = copyright_button(s, module)
        seen["before"] = (home / "tarnwick" / "temp").exists()
        button.invoke()
        seen["copy"] = (local.read_bytes(), local.stat().st_mtime, stat.S_IMODE(local.stat().st_mode))
        # The user's copy changes, and so does the shipped notice: the local one is kept.
        local.write_bytes(b"annotated by the user")
        source.write_bytes(b"a newer notice")
        button.invoke()
        # Even without the shipped notice an existing local copy is just opened.
        source.unlink()
        button.invoke()
        seen["dialogs"] = s.widgets(customtkinter.CTkToplevel)

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        s.run(*host_objects()[:2], script)
    assert seen["before"] is False
    assert seen["copy"] == (shipped, 1_000_000_000, mode)
    assert local.read_bytes() == b"annotated by the user"
    if ON_WINDOWS:
        assert started == [str(local)] * 3 and processes.log == []
    else:
        assert started == []
        assert [(p.args, p.kwargs.get("shell", False)) for p in processes.started] == [
            ((["xdg-open", str(local)],), False)
        ] * 3
        assert [entry[0] for entry in processes.log] == ["Popen"] * 3  # the viewer is not waited for
    assert existed_when_opened == [shipped, b"annotated by the user", b"annotated by the user"]
    assert seen["dialogs"] == []
    assert capsys.readouterr().out == ""
    assert logged_errors(caplog) == []


@pytest.mark.parametrize("case", ["no shipped notice", "no maker folder"])
def test_copyright_without_a_notice_to_open_prints_exactly_two_lines(
    module_copy, monkeypatch, home, capsys, caplog, case
):
    folder, load = module_copy
    module = load("版權宣告.pdf") if case == "no shipped notice" else load()
    processes = Processes()
    monkeypatch.setattr(module, "subprocess", processes)
    s = Session(module, monkeypatch)
    maker = home / "tarnwick"
    seen = {}

    def script(s):
        yield from idle(s)
        if case == "no maker folder":
            shutil.rmtree(maker)
        seen["result"] = copyright_button(s, module).invoke()
        seen["dialogs"] = s.widgets(customtkinter.CTkToplevel)

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        s.run(*host_objects()[:2], script)
    local = maker / "temp" / "Lumivar" / "版權宣告.pdf"
    if case == "no shipped notice":
        failed_copy = folder / "格式範本" / "版權宣告.pdf"
        assert (maker / "temp" / "Lumivar").is_dir()
    else:
        failed_copy = local  # folders are made one level at a time: none can be made
        assert not maker.exists()
    assert capsys.readouterr().out.splitlines() == [
        NOTICE_PREFIX + not_found(failed_copy),
        OPEN_PREFIX + cannot_open(local),
    ]
    assert not local.exists()
    assert processes.log == []
    assert seen == {"result": None, "dialogs": []}
    assert logged_errors(caplog) == []


# ---------------------------------------------------------------- placement


def test_copyright_and_settings_buttons_are_visible_and_overlap_no_control(session, gui_module):
    seen = {}
    controls = (
        customtkinter.CTkButton,
        customtkinter.CTkEntry,
        customtkinter.CTkLabel,
        customtkinter.CTkOptionMenu,
        customtkinter.CTkTextbox,
    )

    def box(w):
        return (w.winfo_rootx(), w.winfo_rooty(), w.winfo_rootx() + w.winfo_width(), w.winfo_rooty() + w.winfo_height())

    def overlap(a, b):
        return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]

    def script(s):
        yield from idle(s)
        yield 100
        window = box(s.app)
        (copyright,) = icon_buttons(s, gui_module, "版權宣告圖示.png")
        (gear,) = icon_buttons(s, gui_module, "設定.png")
        (help_button,) = icon_buttons(s, gui_module, "問號001.png")
        (bin_button,) = icon_buttons(s, gui_module, "垃圾桶.png")
        others = [w for w in s.widgets() if isinstance(w, controls) and w.winfo_viewable()]
        for name, button in (("copyright", copyright), ("gear", gear)):
            mine = box(button)
            seen[name] = {
                "viewable": button.winfo_viewable(),
                "inside": window[0] <= mine[0]
                and window[1] <= mine[1]
                and mine[2] <= window[2]
                and mine[3] <= window[3],
                "overlaps": [str(w) for w in others if w is not button and overlap(mine, box(w))],
            }
        seen["copyright in file panel"] = copyright.master is bin_button.master
        seen["gear in top band"] = gear.master is help_button.master and overlap(
            (window[0], box(help_button)[1], window[2], box(help_button)[3]), box(gear)
        )

    session.run(*host_objects()[:2], script)
    for name in ("copyright", "gear"):
        assert seen[name] == {"viewable": 1, "inside": True, "overlaps": []}, name
    assert seen["copyright in file panel"] and seen["gear in top band"]


# Failures this area survives; the user's files stay untouched.


def _fresh_home(tmp_path, monkeypatch):
    fresh = tmp_path / "fresh"
    (fresh / "tarnwick").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(fresh))
    return fresh / "tarnwick" / "temp" / "Lumivar" / NOTICE


def _folders_refused(gui, mp, tmp_path, home, calls, processes):
    mp.setattr(gui, "os", Service(os, mkdir=refusing(calls, "mkdir", RuntimeError("no folders today"))))
    local = home / "tarnwick" / "temp" / "Lumivar" / NOTICE
    return [], [local], ["mkdir", "mkdir"]


def _copy_refused(gui, mp, tmp_path, home, calls, processes):
    local = _fresh_home(tmp_path, mp)
    mp.setattr(
        gui,
        "shutil",
        Service(gui.shutil, copy2=refusing(calls, "copy2", OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)))),
    )
    return [NOTICE_PREFIX + os_error(errno.ENOSPC), OPEN_PREFIX + os_error(errno.ENOENT, local)], [], ["copy2"]


def _opener_refused(gui, mp, tmp_path, home, calls, processes):
    processes.fail = PermissionError(errno.EACCES, os.strerror(errno.EACCES), "xdg-open")
    local = home / "tarnwick" / "temp" / "Lumivar" / NOTICE
    return [OPEN_PREFIX + os_error(errno.EACCES, "xdg-open")], [local], []


def _temp_is_a_file(gui, mp, tmp_path, home, calls, processes):
    local = _fresh_home(tmp_path, mp)
    local.parent.parent.write_text("a file where the temporary folder belongs")
    return [NOTICE_PREFIX + os_error(errno.ENOTDIR, local), OPEN_PREFIX + os_error(errno.ENOENT, local)], [], []


def _existence_test_refused(gui, mp, tmp_path, home, calls, processes):
    local = home / "tarnwick" / "temp" / "Lumivar" / NOTICE
    error = PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(local))
    mp.setattr(gui, "os", Service(os, path=Service(os.path, lexists=refusing(calls, "lexists", error))))
    mp.setattr(
        gui, "shutil", Service(gui.shutil, copy2=refusing(calls, "copy2", AssertionError("no copy may be made")))
    )
    return [NOTICE_PREFIX + os_error(errno.EACCES, local)], [local], ["lexists"]


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "arrange",
    [
        pytest.param(_folders_refused, id="folders-refused"),
        pytest.param(_copy_refused, marks=moves_home, id="copy-refused"),
        pytest.param(_opener_refused, id="opener-refused"),
        pytest.param(_temp_is_a_file, marks=moves_home, id="temp-is-a-file"),
        pytest.param(_existence_test_refused, id="existence-test-refused"),
    ],
)
def test_copyright_notice_failures_are_printed_and_never_raise(
    gui_module, monkeypatch, tmp_path, home, capsys, caplog, arrange
):
    processes = Processes()
    monkeypatch.setattr(gui_module, "subprocess", processes)
    if ON_WINDOWS:
        monkeypatch.setattr(os, "startfile", processes.startfile)
    s = Session(gui_module, monkeypatch)
    calls = []
    seen = {}

    def script(s):
        yield from idle(s)
        capsys.readouterr()
        # the failure is arranged once the window runs: only the command meets it
        seen["expected"] = arrange(gui_module, monkeypatch, tmp_path, home, calls, processes)
        seen["result"] = copyright_button(s, gui_module).invoke()
        seen["lines"] = capsys.readouterr().out.splitlines()
        seen["dialogs"] = s.widgets(customtkinter.CTkToplevel)
        yield Ticks(1)

    s.run(*host_objects()[:2], script)
    lines, opened, provoked = seen["expected"]
    assert (seen["result"], seen["lines"], seen["dialogs"]) == (None, lines, [])
    assert processes.files == [str(path) for path in opened]
    if not ON_WINDOWS:
        assert [args for op, args, _ in processes.log if op == "Popen"] == [
            (["xdg-open", str(path)],) for path in opened
        ]
    assert [c[0] for c in calls] == provoked
    assert logged_errors(caplog) == []


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "command, entry", [("button_event_006", protocol.TEMPLATE_PATH), ("button_event_007", protocol.PATENT_PATH)]
)
def test_a_path_the_table_refuses_goes_to_the_logger(gui_module, monkeypatch, home, caplog, command, entry):
    error = RuntimeError("the table refused the path")

    class Table(gui_module.Set_Table):
        refusing = False

        def set(self, name, text):
            if Table.refusing:
                raise error
            return super().set(name, text)

    monkeypatch.setattr(gui_module, "Set_Table", Table)
    chosen = []
    dialog = types.SimpleNamespace(askopenfilename=lambda **options: chosen.append(options) or "/選了/這個.xlsx")
    monkeypatch.setattr(gui_module, "tkinter", Service(tkinter, filedialog=dialog))
    s = Session(gui_module, monkeypatch)
    seen = {}

    def script(s):
        yield from idle(s)
        s.set_table.set(entry, "舊的.xlsx")
        Table.refusing = True
        seen["result"] = s.commands[command]()
        Table.refusing = False
        seen["kept"] = s.set_table.get(entry)
        yield Ticks(1)  # the window goes on

    s.run(*host_objects()[:2], script)
    assert seen == {"result": None, "kept": "舊的.xlsx"}
    assert chosen == [{"title": WINDOW["PICK_TITLE"]}]
    (record,) = logged_errors(caplog)
    assert record.exc_info[1] is error
