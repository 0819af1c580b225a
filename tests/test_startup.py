"""Loading the module: toolkit guards, the names it binds, one interpreter per process."""

import importlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import WORKBOOK

EXPECTED_NAMES = [
    "os",
    "tkinter",
    "customtkinter",
    "webbrowser",
    "shutil",
    "Image",
    "subprocess",
    "tarnwick",
    "customtkinter_model",
    "Entry_Table",
    "Set_Table",
    "Set_Button",
    "CTkCalendar",
    "try_except",
    "try_except_log",
    "Parameters",
    "GUI",
]

# Loads GUI in a fresh interpreter while `BLOCKED` cannot be imported, until
# the file `MARKER` exists (the fake installer creates it when it "succeeds").
LOADER = textwrap.dedent(
    """
    import importlib.abc, os, sys
    BLOCKED, MARKER = sys.argv[1], sys.argv[2]

    class Block(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name.split(".")[0] == BLOCKED and not os.path.exists(MARKER):
                raise ImportError("no module named " + name)
            return None

    sys.meta_path.insert(0, Block())
    import GUI
    names = [n for n in vars(GUI) if not n.startswith("_")]
    print("NAMES", " ".join(names))
    print("NO", repr(vars(GUI).get("no", "<unbound>")))
    """
)


@pytest.fixture
def fake_py(tmp_path):
    """A `py` command on PATH that records each call; it installs when told to."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "py.log"
    marker = tmp_path / "installed"
    if sys.platform == "win32":  # found by the shell through PATHEXT
        (bin_dir / "py.cmd").write_text(
            "@echo off\r\n"
            f'>>"{log}" echo %*\r\n'
            "if not defined FAKE_INSTALL_OK exit /b 1\r\n"
            f'type nul > "{marker}"\r\n'
            "echo installed by fake py\r\n"
            "exit /b 0\r\n"
        )
        return bin_dir, log, marker
    script = bin_dir / "py"
    script.write_text(
        "#!/bin/sh\n"
        f'echo "$*" >> "{log}"\n'
        f'if [ -n "$FAKE_INSTALL_OK" ]; then touch "{marker}"; echo "installed by fake py"; exit 0; fi\n'
        "exit 1\n"
    )
    script.chmod(0o755)
    return bin_dir, log, marker


def load(blocked, fake_py, stdin_text=None, install_ok=False):
    bin_dir, log, marker = fake_py
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}", PYTHONIOENCODING="utf-8")
    if install_ok:
        env["FAKE_INSTALL_OK"] = "1"
    result = subprocess.run(
        [sys.executable, "-c", LOADER, blocked, str(marker)],
        input=stdin_text,
        stdin=None if stdin_text is not None else subprocess.DEVNULL,
        capture_output=True,
        text=True,
        encoding="utf-8",
        env=env,
        timeout=120,
    )
    calls = log.read_text().splitlines() if log.exists() else []
    return result, calls


def test_with_both_toolkits_present_binds_names_in_order_and_stays_silent(fake_py):
    result, calls = load("nothing-blocked", fake_py)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["NAMES " + " ".join(EXPECTED_NAMES), "NO '<unbound>'"]
    assert calls == []


def test_missing_tkinter_that_cannot_be_installed_asks_once_then_guards_customtkinter(fake_py):
    # customtkinter needs tkinter, so both guards fail; each asks once.
    result, calls = load("tkinter", fake_py, stdin_text="whatever the user types\nsecond line\n")
    assert result.returncode == 0, result.stderr
    assert calls == ["-m pip install tkinter", "-m pip install customtkinter"]
    lines = result.stdout.splitlines()
    assert lines[:2] == ["請安裝 py -m pip install tkinter", "請安裝 py -m pip install customtkinter"]
    names = lines[2].split()[1:]
    assert "tkinter" not in names and "customtkinter" not in names
    assert names[0] == "os" and names[1] == "no" and names[2:] == EXPECTED_NAMES[3:]
    assert lines[3] == "NO 'second line'"


def test_missing_toolkit_installed_by_its_command_loads_silently(fake_py):
    # Standard input is closed: a read would make the load fail.
    result, calls = load("customtkinter", fake_py, install_ok=True)
    assert result.returncode == 0, result.stderr
    assert calls == ["-m pip install customtkinter"]
    assert result.stdout.splitlines() == ["installed by fake py", "NAMES " + " ".join(EXPECTED_NAMES), "NO '<unbound>'"]


def test_standard_input_at_end_of_file_fails_the_load(fake_py):
    result, calls = load("customtkinter", fake_py, stdin_text="")
    assert result.returncode != 0
    assert "EOFError" in result.stderr
    assert result.stdout.splitlines() == ["請安裝 py -m pip install customtkinter"]
    assert calls == ["-m pip install customtkinter"]


def test_failed_start_up_leaves_no_module_and_a_later_load_runs_again(tmp_path):
    marker = tmp_path / "common-package-available"
    code = LOADER.split("import GUI")[0] + textwrap.dedent(
        """
        try:
            import GUI
        except ImportError as e:
            print("FIRST", type(e).__name__, "GUI" in sys.modules)
        open(MARKER, "w").close()
        import GUI
        print("SECOND", callable(GUI.GUI), GUI.Parameters().parameters["英文文字字體"])
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code, "tarnwick通用模組", str(marker)],
        capture_output=True,
        text=True,
        timeout=120,
        stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["FIRST ImportError False", "SECOND True Calibri"]


def test_a_second_interpreter_is_refused():
    code = textwrap.dedent(
        """
        import GUI, _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import GUI")
        except interpreters.RunFailedError as e:
            print(e)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL
    )
    assert result.returncode == 0, result.stderr
    kind, _, message = result.stdout.strip().partition(": ")
    assert "ImportError" in kind
    assert message == ("Interpreter change detected - this module can only be loaded into one interpreter per process.")


def test_loading_again_in_one_interpreter_yields_the_first_module(gui_module):
    first_parameters = gui_module.Parameters
    del sys.modules["GUI"]
    try:
        again = importlib.import_module("GUI")
    finally:
        sys.modules["GUI"] = gui_module
    assert again is gui_module
    assert importlib.reload(gui_module) is gui_module
    assert gui_module.Parameters is first_parameters


# Failures this area survives; the user's files stay untouched.

# Runs in a fresh interpreter: prepares the case, loads GUI and writes what
# happened into the file named by argv[2]. Start-up's own output is what
# remains on standard output.
CASE_LOADER = textwrap.dedent(
    """
    import json, os, sys
    case, report = sys.argv[1], sys.argv[2]
    sys.path[:0] = sys.argv[3:]  # an embedded Windows Python ignores PYTHONPATH
    result = {}

    def note(**kw):
        result.update(kw)
        with open(report, "w", encoding="utf-8") as f:
            json.dump(result, f)

    if case in ("install-cannot-run", "print-fails"):
        import tkinter
        sys.modules["customtkinter"] = None          # missing, and no installer helps
        def system(command):
            result.setdefault("commands", []).append(command)
            raise OSError("no command shell")
        os.system = system
    if case == "print-fails":
        class Console:
            def write(self, text):
                raise OSError("the console is gone")
            def flush(self):
                pass
        sys.stdout = Console()
    if case in ("pil-missing", "webbrowser-missing", "subprocess-missing"):
        import customtkinter                         # the toolkits themselves load
        sys.modules[{"pil-missing": "PIL.Image", "webbrowser-missing": "webbrowser",
                     "subprocess-missing": "subprocess"}[case]] = None
    try:
        import GUI
    except BaseException as e:
        note(error=[type(e).__name__, str(e)], loaded="GUI" in sys.modules)
        raise SystemExit(0)
    note(loaded=True, no=vars(GUI).get("no", "<unbound>"), names=[n for n in vars(GUI) if not n.startswith("_")])
    if case == "install-cannot-run":
        try:
            GUI.GUI({}, {})
        except BaseException as e:
            note(gui=[type(e).__name__, str(e)])
    """
)

# Stand-ins for the common package, each failing one way; `REAL` is the real one.
BROKEN_COMMON_PACKAGE = {
    "widget-model-raises": """
def Customtkinter_Model():
    raise RuntimeError("the widget model cannot be made")
""",
    "member-missing": """
class Customtkinter_Model:
    Entry_Table = Set_Table = CTkCalendar = object
""",
    "error-model-raises": """
Customtkinter_Model = REAL.Customtkinter_Model
def Try_Except_Model():
    raise LookupError("no error logger here")
""",
    "wrapper-missing": """
Customtkinter_Model = REAL.Customtkinter_Model
class Try_Except_Model:
    pass
""",
}


def run_loader(tmp_path, case, stdin_text="", package=None):
    report = tmp_path / "report.json"
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    paths = []
    if package is not None:
        folder = tmp_path / "common"
        (folder / "tarnwick通用模組").mkdir(parents=True)
        # The stand-in loads the real package beside itself, under the same name.
        (folder / "tarnwick通用模組" / "__init__.py").write_text(
            textwrap.dedent(
                f"""
            import importlib, sys
            _self = sys.modules.pop(__name__)
            _path = list(sys.path)
            sys.path[:] = [p for p in _path if p != {str(folder)!r}]
            try:
                REAL = importlib.import_module(__name__)
            finally:
                sys.path[:] = _path
                sys.modules[__name__] = _self
            """
            )
            + package
        )
        paths.append(str(folder))
    result = subprocess.run(
        [sys.executable, "-c", CASE_LOADER, case, str(report), *paths],
        input=stdin_text,
        capture_output=True,
        text=True,
        encoding="utf-8",
        env=env,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(report.read_text(encoding="utf-8")), result.stdout


@pytest.mark.usefixtures("users_files")
@pytest.mark.parametrize(
    "case, package, error",
    [
        pytest.param(
            "pil-missing",
            None,
            ["ModuleNotFoundError", "import of PIL.Image halted; None in sys.modules"],
            id="imaging-library-missing",
        ),
        pytest.param(
            "webbrowser-missing",
            None,
            ["ModuleNotFoundError", "import of webbrowser halted; None in sys.modules"],
            id="platform-module-missing",
        ),
        pytest.param(
            "subprocess-missing",
            None,
            ["ModuleNotFoundError", "import of subprocess halted; None in sys.modules"],
            id="process-module-missing",
        ),
        pytest.param(
            "common",
            "widget-model-raises",
            ["RuntimeError", "the widget model cannot be made"],
            id="widget-model-raises",
        ),
        pytest.param(
            "common",
            "member-missing",
            ["AttributeError", "'Customtkinter_Model' object has no attribute 'Set_Button'"],
            id="member-missing",
        ),
        pytest.param("common", "error-model-raises", ["LookupError", "no error logger here"], id="error-model-raises"),
        pytest.param(
            "common",
            "wrapper-missing",
            ["AttributeError", "'Try_Except_Model' object has no attribute 'try_except_log'"],
            id="wrapper-missing",
        ),
    ],
)
def test_a_failing_start_up_step_ends_the_load_with_its_error_and_shows_nothing(tmp_path, case, package, error):
    result, stdout = run_loader(tmp_path, case, package=BROKEN_COMMON_PACKAGE.get(package))
    assert result == {"error": error, "loaded": False}
    assert stdout == ""


@pytest.mark.usefixtures("users_files")
def test_an_install_command_that_cannot_run_gives_the_message_and_the_wait_once(tmp_path):
    result, stdout = run_loader(tmp_path, "install-cannot-run", stdin_text="whatever\nnot read\n")
    assert stdout == "請安裝 py -m pip install customtkinter\n"
    assert result["commands"] == ["py -m pip install customtkinter"]
    assert result["no"] == "whatever"
    # start-up went on past the missing toolkit
    assert result["names"][-2:] == ["Parameters", "GUI"] and "customtkinter" not in result["names"]


@pytest.mark.usefixtures("users_files")
def test_a_toolkit_missing_after_its_guard_fails_the_window_with_a_name_error(tmp_path, home):
    result, _ = run_loader(tmp_path, "install-cannot-run", stdin_text="\n")
    assert result["gui"] == ["NameError", "name 'customtkinter' is not defined"]
    # the working folder and the starter workbook come before the toolkit is first needed
    assert (home / "tarnwick" / "Lumivar" / WORKBOOK).is_file()


@pytest.mark.usefixtures("users_files")
def test_a_message_that_cannot_be_printed_fails_the_load(tmp_path):
    result, _ = run_loader(tmp_path, "print-fails", stdin_text="never read\n")
    # the line is never waited for: the load ends at the message
    assert result == {
        "commands": ["py -m pip install customtkinter"],
        "error": ["OSError", "the console is gone"],
        "loaded": False,
    }
