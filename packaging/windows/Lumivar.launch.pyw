"""Starts Lumivar from the Start-menu shortcut (pythonw.exe: no console).

What the program would print goes to %APPDATA%\\Lumivar\\lumivar.log, in
UTF-8. The report worker is started with the spawn method and imports this
file again under another name; only the program itself opens the log, so the
worker never truncates it.
"""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "pkgs"))

if __name__ == "__main__":
    folder = os.path.join(os.environ.get("APPDATA") or here, "Lumivar")
    os.makedirs(folder, exist_ok=True)
    log = open(os.path.join(folder, "lumivar.log"), "w", encoding="utf-8", errors="backslashreplace", buffering=1)
    sys.stdout = sys.stderr = log

    from lumivar.host import main

    sys.exit(main())
