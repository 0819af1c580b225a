"""The host program, with a stand-in for the compiled window module GUI."""
import json
import multiprocessing
import multiprocessing.context
import os
import subprocess
import sys
import textwrap
import time
import types
from pathlib import Path

import openpyxl
import pytest

import lumivar
from lumivar import host, worker

DONE = "$$$檢索報告完成$$$"
FLAG = "LUMIVAR_TEST_STARTS"


def make_request(patents, template=""):
    return {
        "範本檔案路徑": str(template),
        "專利檔案路徑": str(patents),
        "文字大小比例": 1,
        "中文文字字體": "標楷體",
        "英文文字字體": "Calibri",
    }


def make_patents(path, values):
    book = openpyxl.Workbook()
    book.active.append(["公開號"])
    for value in values:
        book.active.append([value])
    book.save(path)
    return path


def workers():
    return [p for p in multiprocessing.active_children() if p.name == "lumivar-worker"]


class FakeWindow:
    """Plays the window: `script(window, queues, events)` runs, then the close sequence."""

    def __init__(self, script):
        self.script = script
        self.error = None
        self.workers_at_start = []
        self.keys = None
        self.runs = []

    def GUI(self, queues, events):
        self.workers_at_start = [(p, p.is_alive()) for p in workers()]
        self.keys = (list(queues), list(events))
        try:
            self.script(self, queues, events)
        except BaseException as error:  # reported by the test, not swallowed
            self.error = error
        finally:
            queues["end"].put(None)
            events["end"].set()
            queues["起始數據"].put(None)

    def run(self, queues, events, request, timeout=60):
        """One press of the button: busy on, request out, lines in until the marker."""
        events["get_receipt"].set()
        if request is not None:
            queues["起始數據"].put(request)
        lines = []
        deadline = time.monotonic() + timeout
        while True:
            lines.append(queues["get_receipt"].get(timeout=max(0.1, deadline - time.monotonic())))
            if lines[-1] == DONE:
                events["get_receipt"].clear()
                self.runs.append(lines)
                return lines


@pytest.fixture
def window(monkeypatch):
    def install(script):
        fake = FakeWindow(script)
        module = types.ModuleType("GUI")
        module.GUI = fake.GUI
        monkeypatch.setitem(sys.modules, "GUI", module)
        return fake

    return install


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


# Worker targets for the death paths. They run in spawned processes, so they
# count their starts in a file named by an environment variable.


def _count_start():
    path = Path(os.environ[FLAG])
    with path.open("a") as handle:
        handle.write("start\n")
    return len(path.read_text().splitlines())


def dies_during_first_run(queues, events):
    if _count_start() == 1:
        queues["起始數據"].get(timeout=30)  # takes the request, then dies on it
        os._exit(3)
    worker.run(queues, events)


def dies_at_once(queues, events):
    if _count_start() == 1:
        os._exit(3)
    worker.run(queues, events)


def always_dies(queues, events):
    os._exit(5)


def ignores_the_end(queues, events):
    time.sleep(120)


def wait_for_starts(path, count, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and len(path.read_text().splitlines()) >= count:
            return
        time.sleep(0.05)
    raise AssertionError(f"the worker was not started {count} times")


# ---------------------------------------------------------------- a normal session


def test_host_serves_the_window_and_exits_0(home, tmp_path, window):
    patents = make_patents(tmp_path / "p.xlsx", ["TW I 123456 B", "US 2020/0123456 A1"])
    fake = window(lambda w, q, e: w.run(q, e, make_request(patents)))

    status, seconds = timed(lambda: host.main([]))

    assert fake.error is None
    assert status == 0
    assert seconds < 30
    # The worker was running before the window appeared, started with spawn.
    assert len(fake.workers_at_start) == 1
    process, alive = fake.workers_at_start[0]
    assert alive and isinstance(process, multiprocessing.context.SpawnProcess)
    assert fake.keys == (["起始數據", "get_receipt", "end"], ["get_receipt", "end"])
    # It served the request and is gone now.
    assert process.exitcode == 0
    assert workers() == []
    (report,) = sorted((home / "tarnwick" / "Lumivar").glob("*.xlsx"))
    assert fake.runs == [["1/2 TW I 123456 B", "2/2 US 2020/0123456 A1", f"檢索報告已輸出: {report}", DONE]]
    assert [c.value for c in openpyxl.load_workbook(report).active[4]] == [1, "TW I 123456 B", "TW", "I123456", "B", "格式正確"]


def test_host_with_no_request_at_all(home, window):
    fake = window(lambda w, q, e: None)
    status, seconds = timed(lambda: host.main([]))
    assert (fake.error, status) == (None, 0)
    assert seconds < 30
    assert workers() == []
    assert not (home / "tarnwick" / "Lumivar").exists() or not any((home / "tarnwick" / "Lumivar").iterdir())


def test_host_terminates_a_worker_that_does_not_stop(home, window):
    fake = window(lambda w, q, e: None)
    status, seconds = timed(lambda: host.serve(ignores_the_end, stop_timeout=1))
    assert (fake.error, status) == (None, 0)
    assert seconds < 10
    (process, _), = fake.workers_at_start
    assert process.exitcode is not None and process.exitcode < 0  # ended by a signal
    assert workers() == []


# ---------------------------------------------------------------- a worker that dies


def test_worker_death_during_a_run_is_reported_and_the_worker_restarted(home, tmp_path, window, monkeypatch):
    starts = tmp_path / "starts"
    monkeypatch.setenv(FLAG, str(starts))
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])

    def script(w, q, e):
        w.run(q, e, make_request(patents))  # the worker dies under this one
        w.run(q, e, make_request(patents))  # and its replacement serves this one

    fake = window(script)
    status = host.serve(dies_during_first_run)

    assert fake.error is None
    assert status == 0
    died, served = fake.runs
    assert len(died) == 2 and died[1] == DONE
    assert "意外停止" in died[0] and "結束代碼 3" in died[0]
    (report,) = sorted((home / "tarnwick" / "Lumivar").glob("*.xlsx"))
    assert served == ["1/1 EP1234567A1", f"檢索報告已輸出: {report}", DONE]
    assert starts.read_text().splitlines() == ["start", "start"]
    assert workers() == []


def test_worker_death_while_idle_is_silent_and_the_worker_restarted(home, tmp_path, window, monkeypatch):
    starts = tmp_path / "starts"
    monkeypatch.setenv(FLAG, str(starts))
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])

    def script(w, q, e):
        wait_for_starts(starts, 2)
        w.run(q, e, make_request(patents))

    fake = window(script)
    assert host.serve(dies_at_once) == 0
    assert fake.error is None
    (only,) = fake.runs
    assert only[0] == "1/1 EP1234567A1" and only[-1] == DONE
    assert not any("意外停止" in str(line) for line in only)


def test_supervisor_slows_down_for_a_worker_that_keeps_dying(home):
    context = multiprocessing.get_context("spawn")
    queues, events = host.make_channels(context)
    supervisor = host.Supervisor(context, queues, events, always_dies, poll=0.05)
    supervisor.start()
    try:
        time.sleep(3)
        events["get_receipt"].set()  # a run starts: the next death is reported
        deadline = time.monotonic() + 20
        lines = []
        while DONE not in lines and time.monotonic() < deadline:
            try:
                lines.append(queues["get_receipt"].get(timeout=0.5))
            except Exception:
                pass
    finally:
        supervisor.stop(2)
        host._discard(queues)
    # Restarts at once, then after 0.5 s, 1 s, 2 s...: a handful in 3 s, not
    # hundreds (fewer where starting a process is slow, as under wine).
    assert 2 <= supervisor.starts <= 8
    assert set(supervisor.exitcodes) == {5}
    assert lines[-2:] == [host.death_message(5), DONE]
    assert "結束代碼 5" in lines[-2]


# ---------------------------------------------------------------- failures of the window itself


def test_missing_window_module_is_reported(home, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "GUI", None)  # import GUI fails
    status, seconds = timed(lambda: host.main([]))
    assert status == 1
    assert "GUI" in capsys.readouterr().err
    assert seconds < 30
    assert workers() == []


def test_window_error_is_reported_and_the_worker_stopped(home, monkeypatch, capsys):
    # A window that fails sends none of its closing signals; the host still ends the worker.
    module = types.ModuleType("GUI")

    def GUI(queues, events):
        raise RuntimeError("no display")

    module.GUI = GUI
    monkeypatch.setitem(sys.modules, "GUI", module)
    status, seconds = timed(lambda: host.main([]))
    assert status == 1
    assert "no display" in capsys.readouterr().err
    assert seconds < 30
    assert workers() == []


@pytest.mark.parametrize("args, status, stream, text", [
    (["--version"], 0, "out", f"lumivar {lumivar.__version__}"),
    (["-V"], 0, "out", f"lumivar {lumivar.__version__}"),
    (["--bogus"], 2, "err", "usage: lumivar"),
])
def test_command_line(args, status, stream, text, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "GUI", None)  # the window must not be needed
    assert host.main(args) == status
    assert text in getattr(capsys.readouterr(), stream)
    assert workers() == []


# ---------------------------------------------------------------- python -m lumivar


FAKE_GUI = textwrap.dedent(
    """
    import json, os

    def GUI(queues, events):
        lines = []
        try:
            events["get_receipt"].set()
            queues["起始數據"].put(json.loads(os.environ["FAKE_REQUEST"]))
            while not lines or lines[-1] != "$$$檢索報告完成$$$":
                lines.append(str(queues["get_receipt"].get(timeout=60)))
            events["get_receipt"].clear()
        finally:
            with open(os.environ["FAKE_LINES"], "w", encoding="utf-8") as out:
                json.dump(lines, out, ensure_ascii=False)
            queues["end"].put(None)
            events["end"].set()
            queues["起始數據"].put(None)
    """
)


def test_python_m_lumivar(home, tmp_path):
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "GUI.py").write_text(FAKE_GUI, encoding="utf-8")
    patents = make_patents(tmp_path / "p.xlsx", ["TW I 123456 B"])
    env = dict(os.environ, FAKE_REQUEST=json.dumps(make_request(patents)), FAKE_LINES=str(tmp_path / "lines.json"))
    # What -m does, with the stand-in first on the path (an embedded Windows
    # Python ignores PYTHONPATH).
    paths = [str(fake), str(Path(lumivar.__file__).resolve().parent.parent)]
    code = f"import sys, runpy; sys.path[:0] = {paths!r}; runpy.run_module('lumivar', run_name='__main__', alter_sys=True)"
    done = subprocess.run(
        [sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    lines = json.loads((tmp_path / "lines.json").read_text(encoding="utf-8"))
    (report,) = sorted((home / "tarnwick" / "Lumivar").glob("*.xlsx"))
    assert lines == ["1/1 TW I 123456 B", f"檢索報告已輸出: {report}", DONE]
