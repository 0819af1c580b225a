"""Loading the module: toolkit guards, the names it binds, one interpreter per process."""
import importlib
import os
import subprocess
import sys
import textwrap

import pytest

EXPECTED_NAMES = [
    "os", "tkinter", "customtkinter", "webbrowser", "shutil", "Image", "subprocess",
    "tarnwick", "customtkinter_model", "Entry_Table", "Set_Table", "Set_Button", "CTkCalendar",
    "try_except", "try_except_log", "Parameters", "GUI",
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
        input=stdin_text, stdin=None if stdin_text is not None else subprocess.DEVNULL,
        capture_output=True, text=True, encoding="utf-8", env=env, timeout=120,
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
    assert result.stdout.splitlines() == [
        "installed by fake py", "NAMES " + " ".join(EXPECTED_NAMES), "NO '<unbound>'"]


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
    result = subprocess.run([sys.executable, "-c", code, "tarnwick通用模組", str(marker)],
                            capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
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
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    kind, _, message = result.stdout.strip().partition(": ")
    assert "ImportError" in kind
    assert message == ("Interpreter change detected - this module can only be loaded "
                       "into one interpreter per process.")


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
