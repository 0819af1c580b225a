"""The installed `lumivar` command, driven as a person would: real window, mouse and keys.

Runs on an X display of its own with the openbox window manager, so that a
click gives keyboard focus and Alt+F4 closes the window the usual way,
without touching the display the other tests use.

The same test drives the Windows build too: `python -m lumivar` of a Windows
CPython under wine (scripts/test --windows names it in LUMIVAR_WINDOWS_PYTHON),
whose reports land in C:\\tarnwick\\Lumivar of wine's prefix.
"""

import datetime
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import openpyxl
import pytest

if sys.platform == "win32":
    pytest.skip(
        "drives the window with X11 tools: scripts/test --windows runs it from Linux against the Windows build",
        allow_module_level=True,
    )
TOOLS = ("Xvfb", "openbox", "xdotool", "xwininfo", "xprop")
missing = [tool for tool in TOOLS if shutil.which(tool) is None]
if missing:
    pytest.skip(f"needs {', '.join(missing)} (.ci/run installs them)", allow_module_level=True)

from PIL import ImageGrab  # noqa: E402

from support import digest  # noqa: E402

LUMIVAR = shutil.which("lumivar", path=str(Path(sys.executable).parent)) or shutil.which("lumivar")
WINDOWS_PYTHON = os.environ.get("LUMIVAR_WINDOWS_PYTHON")
INSTALLER = os.environ.get("LUMIVAR_INSTALLER")  # dist/Lumivar-*-win64-setup.exe, from scripts/test --windows

# Places in the window at its opening size, as fractions of its width and height.
TEMPLATE_ENTRY = (0.378, 0.270)
PATENT_ENTRY = (0.378, 0.335)
REPORT_BUTTON = (0.778, 0.276)
BUTTON_EDGE = (0.70, 0.276)  # on the button's face, left of its label in any font
BUTTON_BOX = (0.69, 0.255, 0.87, 0.30)  # the button's face, for telling busy from idle
BUTTON_BLUE = (31, 106, 165)
ENTRY_GREY = (52, 54, 56)
TEXTBOX_GREY = (29, 30, 30)

DONE_TIMEOUT = 60


def wait_until(check, timeout, what, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(interval)


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture
def display(tmp_path):
    """A fresh X display with a window manager; yields its name."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        pass_fds=(write_end,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    assert number.isdigit(), "Xvfb did not start"
    name = f":{number}"
    wm_home = tmp_path / "wm-home"
    wm_home.mkdir()
    env = dict(os.environ, DISPLAY=name, HOME=str(wm_home))
    wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(
            lambda: (
                "window id"
                in subprocess.run(
                    ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env, capture_output=True, text=True
                ).stdout
            ),
            20,
            "openbox",
        )
        yield name
    finally:
        stop(wm)
        stop(xvfb)


class Window:
    def __init__(self, display, window_id):
        self.display = display
        self.id = window_id
        self.measure()

    def measure(self):
        # The window manager may still move the window after it first shows.
        info = self.x("xwininfo", "-id", self.id)
        fields = dict(line.strip().split(":", 1) for line in info.splitlines() if ":" in line)
        self.left = int(fields["Absolute upper-left X"])
        self.top = int(fields["Absolute upper-left Y"])
        self.width = int(fields["Width"])
        self.height = int(fields["Height"])

    def x(self, *command):
        env = dict(os.environ, DISPLAY=self.display)
        return subprocess.run(command, env=env, capture_output=True, text=True, check=True, timeout=30).stdout

    def at(self, fraction):
        return round(fraction[0] * self.width), round(fraction[1] * self.height)

    def shot(self, box=(0, 0, 1, 1)):
        self.measure()
        return ImageGrab.grab(
            bbox=(
                self.left + round(box[0] * self.width),
                self.top + round(box[1] * self.height),
                self.left + round(box[2] * self.width),
                self.top + round(box[3] * self.height),
            ),
            xdisplay=self.display,
        ).convert("RGB")

    def click(self, fraction):
        x, y = self.at(fraction)
        self.x("xdotool", "mousemove", "--window", self.id, str(x), str(y), "click", "1")

    def park_mouse(self):
        # Away from the button, so its hover colour does not hide its state.
        self.x("xdotool", "mousemove", "--window", self.id, "5", str(self.height - 5))

    def type_into(self, entry, text):
        self.click(entry)
        time.sleep(0.3)
        self.x("xdotool", "key", "--clearmodifiers", "End")
        self.x("xdotool", "key", "--repeat", "200", "--delay", "0", "BackSpace")
        self.x("xdotool", "type", "--delay", "15", text)

    def button_face(self):
        return self.shot(BUTTON_BOX).tobytes()


class Linux:
    """The lumivar command installed here; drive C: is the home folder."""

    def __init__(self, home):
        if LUMIVAR is None:
            pytest.skip("the lumivar command is not installed (pip install .)")
        self.home = home
        self.reports = home / "tarnwick" / "Lumivar"
        self.env = {}

    def command(self):
        return [LUMIVAR]

    def path(self, path):
        return str(path)


class Windows:
    """`python -m lumivar` of the Windows runtime under wine; drive C: is wine's."""

    def __init__(self, home):
        if not (WINDOWS_PYTHON and os.environ.get("WINEPREFIX") and shutil.which("wine")):
            pytest.skip("needs the Windows build under wine: scripts/test --windows")
        self.home = home
        drive_c = Path(os.environ["WINEPREFIX"]) / "drive_c"
        shutil.rmtree(drive_c / "tarnwick", ignore_errors=True)
        self.reports = drive_c / "tarnwick" / "Lumivar"
        self.env = {}

    def command(self):
        return ["wine", WINDOWS_PYTHON, "-m", "lumivar"]

    def path(self, path):
        return "Z:" + str(path).replace("/", "\\")


class Installed:
    """The app as a Windows user gets it: installed silently by the setup
    program into a fresh wine prefix, started from its Start-menu shortcut."""

    def __init__(self, home, prefix):
        if not (INSTALLER and shutil.which("wine")):
            pytest.skip("needs the Windows installer and wine: scripts/test --windows")
        self.home = home
        self.env = {"WINEPREFIX": str(prefix), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
        self.wine("wineboot", "-i")
        drive_c = prefix / "drive_c"
        # What Windows 10 has and wine 8 lacks (scripts/lib/windows.sh builds it).
        for shim in Path(os.environ.get("LUMIVAR_WINE_SHIMS", "/nonexistent")).glob("*.dll"):
            shutil.copy(shim, drive_c / "windows" / "system32")
        self.reports = drive_c / "tarnwick" / "Lumivar"
        (self.user,) = [p for p in (drive_c / "users").iterdir() if p.name != "Public"]
        self.program = self.user / "AppData" / "Local" / "Programs" / "Lumivar"
        self.shortcut = self.user / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Lumivar.lnk"

    def wine(self, *args):
        # wine's programs want a pipe, not a file, as their output
        return subprocess.run(
            ["wine", *args],
            env=dict(os.environ, **self.env),
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
            timeout=180,
        ).stdout.decode(errors="replace")

    def install(self):
        self.wine(INSTALLER, "/S")

    def uninstall_entry(self):
        return self.wine("reg", "query", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Lumivar")

    def uninstall(self):
        self.wine(str(self.program / "uninstall.exe"), "/S")
        # the uninstaller runs on from a copy of itself
        wait_until(lambda: not self.program.exists(), 60, "the uninstaller")

    def command(self):
        # As a double-click on the shortcut does; then wait until every
        # program of the prefix has ended (the shortcut gives no handle to wait on).
        return ["sh", "-c", 'wine start /unix "$1" && exec wineserver -w', "start", str(self.shortcut)]

    def path(self, path):
        return "Z:" + str(path).replace("/", "\\")


def open_window(display, host):
    home = host.home
    env = dict(os.environ, DISPLAY=display, HOME=str(home), **host.env)
    env.pop("PYTHONPATH", None)  # the installed program, as a user runs it
    # A pipe, not a file: wine's python.exe cannot start with a file as its output.
    process = subprocess.Popen(
        host.command(), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=home
    )

    def find():
        if process.poll() is not None:
            raise AssertionError(f"lumivar ended early with {process.returncode}")
        found = subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^Lumivar$"],
            env=env,
            capture_output=True,
            text=True,
        ).stdout.split()
        return found[-1] if found else None

    window_id = wait_until(find, 60, "the Lumivar window", interval=0.3)
    window = Window(display, window_id)
    # Drawn once the button shows its colour.
    try:
        wait_until(lambda: near(window.shot().getpixel(window.at(BUTTON_EDGE)), BUTTON_BLUE), 30, "the window to draw")
    except AssertionError as error:
        ImageGrab.grab(xdisplay=display).save(home.parent / "screen.png")
        raise AssertionError(f"the report button is not where expected; see {home.parent / 'screen.png'}") from error
    return process, window


def near(colour, expected, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def press_and_wait(window, folder, before):
    """Presses the report button; returns the new report once the window is idle again."""
    window.park_mouse()
    time.sleep(0.3)
    idle = window.button_face()
    window.click(REPORT_BUTTON)
    window.park_mouse()

    def new_report():
        fresh = set(folder.glob("檢索報告_*.xlsx")) - before
        return fresh.pop() if len(fresh) == 1 else None

    report = wait_until(new_report, DONE_TIMEOUT, "the report file")
    # The button animates while busy; idle again for 1.5 s means the run is over.
    state = {"since": None}

    def settled():
        if window.button_face() != idle:
            state["since"] = None
            return False
        state["since"] = state["since"] or time.monotonic()
        return time.monotonic() - state["since"] >= 1.5

    wait_until(settled, DONE_TIMEOUT, "the button to finish")
    return report


def cells(row):
    return [None if c.value is None else (c.value, c.font.name, c.font.sz) for c in row[:7]]


@pytest.mark.parametrize("platform", [Linux, Windows], ids=["linux", "windows"])
def test_the_window_makes_reports_and_closes_cleanly(display, home, tmp_path, platform):
    host = platform(home)
    patents = tmp_path / "patents.xlsx"
    book = openpyxl.Workbook()
    for row in (["公開號"], ["TW I 123456 B"], [None], ["bad one"], ["US 2020/0123456 A1"]):
        book.active.append(row)
    book.save(patents)
    template = tmp_path / "template.xlsx"
    book = openpyxl.Workbook()
    book.active.title = "封面"
    book.active["A1"] = "專利檢索報告"
    book.active["A3"] = "客戶: 某公司"
    book.create_sheet("附註")["B2"] = "保留"
    book.save(template)
    inputs = digest(patents), digest(template)
    folder = host.reports

    process, window = open_window(display, host)
    try:
        assert folder.is_dir()  # made by the window on start
        before = set(folder.glob("檢索報告_*.xlsx"))

        window.type_into(PATENT_ENTRY, host.path(patents))
        plain = press_and_wait(window, folder, before)

        window.type_into(TEMPLATE_ENTRY, host.path(template))
        with_template = press_and_wait(window, folder, before | {plain})

        window.x("xdotool", "windowactivate", "--sync", window.id)
        window.x("xdotool", "key", "alt+F4")
        output = process.communicate(timeout=30)[0].decode(errors="replace")
    finally:
        stop(process)
    assert process.returncode == 0, output

    assert (digest(patents), digest(template)) == inputs
    c, l = "標楷體", "Calibri"  # the window's default fonts, at ratio 1
    # The client's table: each number in its standard form, linked; the report's notes under 說明.
    table = [
        [("序號", c, 12), ("公開號", c, 12), ("說明", c, 12)],
        [(1, l, 12), ("TWI123456B", l, 12), None],
        [(2, l, 12), ("bad one", l, 12), ("格式不符：不含號碼", c, 12)],
        [(3, l, 12), ("US20200123456A1", l, 12), None],
    ]

    def client_table(sheet):
        header = next(r for r in range(1, sheet.max_row + 1) if sheet.cell(r, 1).value == "序號")
        assert sheet.max_row == header + 3
        links = {c.value: c.hyperlink.target for row in sheet.iter_rows(min_row=header) for c in row if c.hyperlink}
        assert links == {i: f"https://patents.google.com/patent/{i}" for i in ("TWI123456B", "US20200123456A1")}
        return header, [cells(sheet[r])[:3] for r in range(header, header + 4)]

    report = openpyxl.load_workbook(plain)
    assert report.sheetnames == ["檢索報告", "書目明細"]
    sheet = report.active
    assert cells(sheet[1])[0] == ("檢索報告", c, 16)
    assert client_table(sheet)[1] == table
    # The number's mechanics are the detail sheet's.
    detail = [[c.value for c in row[2:7]] for row in report["書目明細"].iter_rows() if row[0].value in (1, 3)]
    assert detail == [
        ["TW I 123456 B", "TWI123456B", "TW", "I123456", "B"],
        ["US 2020/0123456 A1", "US20200123456A1", "US", "20200123456", "A1"],
    ]

    report = openpyxl.load_workbook(with_template)
    assert report.sheetnames == ["封面", "附註", "書目明細"]
    assert report["附註"]["B2"].value == "保留"
    sheet = report["封面"]
    assert (sheet["A1"].value, sheet["A3"].value) == ("專利檢索報告", "客戶: 某公司")
    assert sheet["A5"].value == f"製表日期：{datetime.date.today():%Y-%m-%d}"
    assert client_table(sheet)[1] == table


def set_dpi(dpi):
    """The display scaling of wine's prefix, as Windows' display settings set it (96 = 100 %)."""
    subprocess.run(
        [
            "wine",
            "reg",
            "add",
            "HKCU\\Control Panel\\Desktop",
            "/v",
            "LogPixels",
            "/t",
            "REG_DWORD",
            "/d",
            str(dpi),
            "/f",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        check=True,
        timeout=60,
    )


def test_the_windows_window_at_150_percent_scales_whole(display, home, tmp_path):
    host = Windows(home)
    set_dpi(144)
    try:
        process, window = open_window(display, host)
        try:
            assert (window.width, window.height) == (1080, 765)
            patents = tmp_path / "patents.xlsx"
            book = openpyxl.Workbook()
            book.active.append(["TW I 123456 B"])
            book.save(patents)
            window.type_into(PATENT_ENTRY, host.path(patents))
            report = press_and_wait(window, host.reports, set())
            assert openpyxl.load_workbook(report).active["B7"].value == "TWI123456B"  # the standard form, linked
            # Every control drawn where the 100 % window has it, in proportion.
            shot = window.shot()
            if os.environ.get("LUMIVAR_UPDATE_DOCS"):  # the README's picture
                shot.save(Path(__file__).parent.parent / "docs" / "windows-main-window-150.png")
            at = lambda fraction: shot.getpixel(window.at(fraction))  # noqa: E731
            assert near(at((0.5, TEMPLATE_ENTRY[1])), ENTRY_GREY), "the template entry"
            assert near(at((0.5, 0.85)), TEXTBOX_GREY), "the message box"
            logo = shot.crop((0, 0, round(0.1 * window.width), round(0.16 * window.height))).tobytes()
            assert any(logo[i + 2] > logo[i] + 40 for i in range(0, len(logo), 3)), "the logo"
        finally:
            close(process, window)
    finally:
        set_dpi(96)


def close(process, window):
    window.x("xdotool", "windowactivate", "--sync", window.id)
    window.x("xdotool", "key", "alt+F4")
    try:
        output = process.communicate(timeout=60)[0].decode(errors="replace")
    finally:
        stop(process)
    assert process.returncode == 0, output


def test_the_installed_app_makes_a_report_and_uninstalls_cleanly(display, home, tmp_path):
    app = Installed(home, tmp_path / "wine")
    app.install()
    assert app.shortcut.is_file() and (app.program / "Python" / "pythonw.exe").is_file()
    assert "DisplayName    REG_SZ    Lumivar" in app.uninstall_entry()
    patents = tmp_path / "patents.xlsx"
    book = openpyxl.Workbook()
    book.active.append(["公開號"])
    book.active.append(["TW I 123456 B"])
    book.save(patents)

    process, window = open_window(display, app)
    try:
        window.type_into(PATENT_ENTRY, app.path(patents))
        report = press_and_wait(window, app.reports, set())
    finally:
        close(process, window)
    assert openpyxl.load_workbook(report).active["B7"].value == "TWI123456B"  # the standard form, linked

    # The user's own edits of the starter workbook survive a reinstall and the next start.
    starter = app.reports / "檢索專利公開號.xlsx"
    starter.write_bytes(b"the user's own numbers")
    app.install()
    process, window = open_window(display, app)
    close(process, window)
    assert starter.read_bytes() == b"the user's own numbers"

    app.uninstall()
    assert not app.shortcut.exists()
    assert "Lumivar" not in app.uninstall_entry()
    assert report.is_file() and starter.read_bytes() == b"the user's own numbers"
