"""Saving a report: never over another file, whole or not at all, and the
temporary files a killed worker leaves."""

import os
import subprocess
import textwrap

import openpyxl
import pytest

from lumivar import protocol
from lumivar.report import files

from support import FROZEN, FROZEN_NAME, make_patents, make_request, python_c, raiser
from support import run_job as run


def test_report_never_overwrites_an_existing_report(home, tmp_path):
    folder = home / "tarnwick" / "Lumivar"
    folder.mkdir(parents=True)
    existing = folder / FROZEN_NAME
    existing.write_bytes(b"the user's own file")
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    first, _ = run(make_request(patents))
    second, _ = run(make_request(patents))
    assert existing.read_bytes() == b"the user's own file"
    assert (first.name, second.name) == ("檢索報告_20240506_070809_2.xlsx", "檢索報告_20240506_070809_3.xlsx")
    if os.name != "nt":
        assert first.stat().st_mode & 0o777 == 0o666 & ~current_umask()  # an ordinary new file, not 0600


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@pytest.mark.skipif(os.name == "nt", reason="hard links are the claim of POSIX systems")
@pytest.mark.parametrize("disk", ["fine", "full"])
def test_without_hard_links_the_name_only_ever_holds_a_whole_report(home, tmp_path, monkeypatch, disk):
    def no_links(*args):
        raise PermissionError(1, "Operation not permitted")

    real_replace = os.replace

    def replace(source, target):
        if disk == "full":
            raise OSError(28, "No space left on device")
        return real_replace(source, target)

    monkeypatch.setattr(os, "link", no_links)
    monkeypatch.setattr(os, "replace", replace)
    path, messages = run(make_request(make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])))
    left = sorted(p.name for p in (home / "tarnwick" / "Lumivar").iterdir())
    if disk == "full":
        assert (path, left) == (None, [])
        assert messages[-2].startswith("無法寫入檢索報告: ")
    else:
        assert left == [FROZEN_NAME] and openpyxl.load_workbook(path).active["B7"].value == "EP1234567A1"


@pytest.mark.parametrize("moment", ["writing", "claiming without hard links"])
def test_leftover_temporary_reports_are_removed_but_not_one_being_written(tmp_path, monkeypatch, moment):
    left = tmp_path / "~lumivar-old.xlsx.part"
    left.write_bytes(b"PK half")
    seen = {}

    def clean():
        seen["removed"] = files.remove_leftovers(tmp_path)
        seen["reserved"] = sorted(p.name for p in tmp_path.glob("檢索報告_*"))

    def write(stream):
        if moment == "writing":
            clean()
        stream.write(b"PK whole")

    if moment != "writing":
        if os.name == "nt":
            pytest.skip("Windows claims a name by renaming, with nothing to reserve it")
        real_replace = os.replace

        def replace(source, target):
            clean()  # a worker starting while this one holds its name reserved
            return real_replace(source, target)

        monkeypatch.setattr(os, "link", raiser(PermissionError(1, "Operation not permitted")))
        monkeypatch.setattr(os, "replace", replace)
    path = files.save_new(write, tmp_path, FROZEN)
    assert not left.exists() and seen["removed"] == 1
    assert seen["reserved"] == ([] if moment == "writing" else [FROZEN_NAME])
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name] and path.read_bytes() == b"PK whole"


def test_saving_is_announced_so_a_close_lets_it_finish(tmp_path):
    heard = []
    files.save_new(lambda stream: heard.append("writing"), tmp_path, FROZEN, heard.append)
    assert heard == [protocol.SAVING, "writing", protocol.SAVED]


# A worker saving without hard links, killed (os._exit: no handler runs) at
# one step of its save; the child prints nothing unless the kill missed.
KILLED_SAVE = textwrap.dedent(
    """
    import datetime, os, sys
    from pathlib import Path
    from lumivar.report import files

    folder, step = Path(sys.argv[1]), sys.argv[2]

    def no_links(*args):
        raise PermissionError(1, "Operation not permitted")

    def killed(*args):
        os._exit(9)

    os.link = no_links
    if step == "claiming":
        os.replace = killed
    def write(stream):
        stream.write(b"PK whole")
        if step == "writing":
            killed()
    files.save_new(write, folder, datetime.datetime(2024, 5, 6, 7, 8, 9))
    print("saved")
    """
)


def killed_save(folder, step):
    done = subprocess.run(python_c(KILLED_SAVE, str(folder), step), capture_output=True, timeout=60)
    assert (done.returncode, done.stdout) == (9, b""), done.stderr.decode("utf-8", "replace")


@pytest.mark.skipif(os.name == "nt", reason="Windows claims a name by renaming, with nothing to reserve it")
@pytest.mark.parametrize(
    "step, left_by_the_kill",
    [
        ("writing", ["~lumivar-"]),
        ("claiming", [FROZEN_NAME.replace(".xlsx", "_2.xlsx"), "~lumivar-"]),  # the name reserved, empty
    ],
)
def test_a_save_killed_without_hard_links_leaves_nothing_once_the_next_worker_starts(tmp_path, step, left_by_the_kill):
    users = {FROZEN_NAME: b"the user's own report", "檢索報告.xlsx": b"", "notes.txt": b""}
    for name, content in users.items():
        (tmp_path / name).write_bytes(content)

    def left():
        return sorted(p.name[:9] if p.name.startswith("~lumivar-") else p.name for p in tmp_path.iterdir())

    killed_save(tmp_path, step)
    assert left() == sorted([*users, *left_by_the_kill])
    files.remove_leftovers(tmp_path)  # what the next worker does first
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == users
