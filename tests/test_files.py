"""Saving a report: never over another file, whole or not at all, and the
temporary files a killed worker leaves."""

import os

import openpyxl
import pytest

from lumivar import protocol
from lumivar.report import files

from support import FROZEN, FROZEN_NAME, make_patents, make_request
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


def test_leftover_temporary_reports_are_removed_but_not_one_being_written(tmp_path):
    left = tmp_path / "~lumivar-old.xlsx.part"
    left.write_bytes(b"PK half")
    seen = {}

    def write(stream):
        seen["removed while written"] = files.remove_leftovers(tmp_path)
        stream.write(b"PK whole")

    path = files.save_new(write, tmp_path, FROZEN)
    assert not left.exists() and seen["removed while written"] == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name] and path.read_bytes() == b"PK whole"


def test_saving_is_announced_so_a_close_lets_it_finish(tmp_path):
    heard = []
    files.save_new(lambda stream: heard.append("writing"), tmp_path, FROZEN, heard.append)
    assert heard == [protocol.SAVING, "writing", protocol.SAVED]
