"""The host program, with a stand-in for the compiled window module GUI."""

import json
import multiprocessing
import multiprocessing.context
import os
import pickle
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import types
from pathlib import Path

import openpyxl
import pytest

import lumivar
from lumivar import crashes, host, protocol, worker
from lumivar.report import ReportError, data, files, reading

from support import make_patents, make_request

DONE = protocol.DONE
FLAG = "LUMIVAR_TEST_STARTS"
MOMENT = "LUMIVAR_TEST_KILL_AT"


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
            queues[protocol.END].put(None)
            events[protocol.END].set()
            queues[protocol.REQUESTS].put(None)

    def run(self, queues, events, request, timeout=60):
        """One press of the button: busy on, request out, lines in until the marker."""
        events[protocol.BUSY].set()
        if request is not None:
            queues[protocol.REQUESTS].put(request)
        lines = []
        deadline = time.monotonic() + timeout
        while True:
            lines.extend(lines_of(queues[protocol.RECEIPTS].get(timeout=max(0.1, deadline - time.monotonic()))))
            if lines[-1] == DONE:
                events[protocol.BUSY].clear()
                self.runs.append(lines)
                return lines


def lines_of(message):
    """The lines of one message: the host's queue joins waiting lines into one."""
    return message.split("\n") if isinstance(message, str) else [message]


def served(report, numbers=("EP1234567A1", "TW I 123456 B")):
    """What the window is told of one report of `numbers`."""
    rows = f"2–{len(numbers) + 1}" if len(numbers) > 1 else "2"
    return (
        [f"讀取「Sheet」工作表 A 欄 第 {rows} 列: {len(numbers)} 筆", data.SETUP]
        + [f"{i}/{len(numbers)} {n}" for i, n in enumerate(numbers, start=1)]
        + [f"檢索報告已輸出: {report}", DONE]
    )


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


def _killed():
    """Ends this process as the system would: no clean-up of any kind."""
    os.kill(os.getpid(), getattr(signal, "SIGKILL", signal.SIGTERM))
    time.sleep(60)


def killed_at_a_moment(conn):
    """The real worker; its first start is killed at the moment named in the
    environment: idle, reading a request, writing a message or writing the report."""
    if _count_start() > 1:
        return worker.serve(conn)
    moment = os.environ[MOMENT]
    if moment == "idle":
        threading.Timer(0.5, _killed).start()
    elif moment == "reading a request":
        conn.poll(None)
        if hasattr(os, "read") and not sys.platform == "win32":
            os.read(conn.fileno(), 3)  # a request half taken from the pipe
        _killed()
    elif moment == "writing a message":
        send = conn.send

        def send_then_die(message):
            if str(message).startswith("2/"):
                data = pickle.dumps(message)
                if sys.platform != "win32":  # a message cut short in the pipe
                    os.write(conn.fileno(), struct.pack("!i", len(data)) + data[: len(data) // 2])
                _killed()
            send(message)

        conn.send = send_then_die
    elif moment == "writing the report":

        def save_then_die(stream, *args):
            stream.write(b"PK\x03\x04 half a workbook")
            stream.flush()
            _killed()

        from lumivar.report import newbook

        newbook.write_new = save_then_die
    return worker.serve(conn)


def always_dies(conn):
    _count_start()
    os._exit(5)


def ignores_the_end(conn):
    time.sleep(120)


def saves_slowly(conn):
    """Busy with a report for 3 s after the window closes, saving it when
    LUMIVAR_TEST_SAVING is set; leaves on the host's None."""
    conn.send("busy")
    if os.environ.get("LUMIVAR_TEST_SAVING"):
        conn.send(protocol.SAVING)
    time.sleep(3)
    Path(os.environ[FLAG]).write_text("whole")
    conn.send(protocol.SAVED)
    while conn.recv() is not None:
        pass


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
    assert fake.keys == ([protocol.REQUESTS, protocol.RECEIPTS, protocol.END], [protocol.BUSY, protocol.END])
    # It served the request and is gone now.
    assert process.exitcode == 0
    assert workers() == []
    (report,) = sorted((home / "tarnwick" / "Lumivar").glob("*.xlsx"))
    assert fake.runs == [served(report, ("TW I 123456 B", "US 2020/0123456 A1"))]
    assert [c.value for c in openpyxl.load_workbook(report).active[7]] == [1, "TWI123456B"]  # the client's table


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
    ((process, _),) = fake.workers_at_start
    assert process.exitcode is not None and process.exitcode < 0  # ended by a signal
    assert workers() == []


@pytest.mark.parametrize("saving", [True, False])
def test_a_close_lets_a_save_under_way_finish_and_ends_any_other_job(tmp_path, monkeypatch, saving):
    monkeypatch.setenv(FLAG, str(tmp_path / "report"))
    if saving:
        monkeypatch.setenv("LUMIVAR_TEST_SAVING", "1")
    one = host.Worker(multiprocessing.get_context("spawn"), saves_slowly)
    assert one.conn.poll(60) and one.conn.recv() == "busy"  # the job is under way
    one.stop(timeout=0.5, grace=10)
    assert (tmp_path / "report").exists() is saving
    assert (one.process.exitcode == 0) is saving


# ---------------------------------------------------------------- a worker that dies


@pytest.mark.parametrize("moment", ["idle", "reading a request", "writing a message", "writing the report"])
def test_a_worker_killed_at_any_moment_never_wedges_the_host(home, tmp_path, window, monkeypatch, capfd, moment):
    starts = tmp_path / "starts"
    monkeypatch.setenv(FLAG, str(starts))
    monkeypatch.setenv(MOMENT, moment)
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B"])
    runs = []

    def script(w, q, e):
        if moment == "idle":
            wait_for_starts(starts, 2)
        e[protocol.BUSY].set()
        q[protocol.REQUESTS].put(make_request(patents))
        q[protocol.REQUESTS].put(make_request(patents))  # queued behind the first
        lines = []
        while lines.count(DONE) < 2:
            lines.extend(lines_of(q[protocol.RECEIPTS].get(timeout=60)))
        e[protocol.BUSY].clear()
        runs.extend(split_runs(lines))

    fake = window(script)
    status, seconds = timed(lambda: host.serve(killed_at_a_moment))
    assert (fake.error, status) == (None, 0)
    assert seconds < 60
    reports = sorted((home / "tarnwick" / "Lumivar").glob("*.xlsx"))
    whole = [served(report) for report in reports]
    if moment == "idle":  # nobody was waiting: a new worker, and not a word
        assert runs == whole and len(reports) == 2
    else:
        died, *rest = runs  # what the worker said before it died, one line about it, the marker
        said = {"reading a request": 0, "writing a message": 3, "writing the report": 2}[moment]
        assert died[:-2] == served(None)[:said]
        assert died[-2].startswith("檢索報告程式意外停止 (結束代碼 ") and died[-1] == DONE
        assert rest == whole and len(reports) == 1
    # every report under a report's name is a whole workbook
    assert all(openpyxl.load_workbook(r).active["B7"].value == "EP1234567A1" for r in reports)
    assert starts.read_text().splitlines() == ["start", "start"]
    assert workers() == []
    assert "Traceback" not in capfd.readouterr().err


def split_runs(lines):
    runs, current = [], []
    for line in lines:
        current.append(line)
        if line == DONE:
            runs.append(current)
            current = []
    return runs


def test_relay_slows_down_for_a_worker_that_keeps_dying(home, tmp_path, monkeypatch):
    started = tmp_path / "starts"
    monkeypatch.setenv(FLAG, str(started))

    def starts():
        return len(started.read_text().splitlines()) if started.exists() else 0

    context = multiprocessing.get_context("spawn")
    queues, events = host.make_channels()
    relay = host.Relay(context, queues, events, always_dies, poll=0.05)
    relay.start()
    try:
        deadline = time.monotonic() + 30  # starting a process is slow under wine, slower on a loaded machine
        while starts() < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(3)
        starts_while_idle = starts()
        queues[protocol.REQUESTS].put(make_request("p.xlsx"))  # a run starts: the next death is reported
        lines = [queues[protocol.RECEIPTS].get(timeout=20)]
        while lines[-1] != DONE:
            lines.append(queues[protocol.RECEIPTS].get(timeout=20))
    finally:
        relay.stop(2)
    # Restarts at once, then after 0.5 s, 1 s, 2 s...: a handful in the 3 s
    # after the second start, not hundreds.
    assert 2 <= starts_while_idle <= 8
    assert lines[-2:] == [host.death_message(5), DONE]
    assert workers() == []


# ---------------------------------------------------------------- failures of the window itself


def test_a_worker_that_cannot_be_started_is_reported_and_no_window_opens(home, window, capsys):
    class NoProcesses:
        Pipe = staticmethod(multiprocessing.Pipe)

        def Process(self, **options):
            raise OSError("no more processes")

    fake = window(lambda w, q, e: None)
    status, seconds = timed(lambda: host.serve(context=NoProcesses()))
    assert (status, fake.keys) == (1, None)
    assert seconds < 10
    assert "lumivar: 無法啟動檢索報告程式: no more processes" in capsys.readouterr().err


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


@pytest.mark.parametrize(
    "args, status, stream, text",
    [
        (["--version"], 0, "out", f"lumivar {lumivar.__version__}"),
        (["-V"], 0, "out", f"lumivar {lumivar.__version__}"),
        (["--bogus"], 2, "err", "usage: lumivar"),
    ],
)
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
                lines.extend(str(queues["get_receipt"].get(timeout=60)).split("\\n"))
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
    code = (
        f"import sys, runpy; sys.path[:0] = {paths!r}; runpy.run_module('lumivar', run_name='__main__', alter_sys=True)"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    lines = json.loads((tmp_path / "lines.json").read_text(encoding="utf-8"))
    (report,) = sorted((home / "tarnwick" / "Lumivar").glob("*.xlsx"))
    assert lines == served(report, ("TW I 123456 B",))


def test_a_request_no_worker_can_take_and_a_stray_none_never_stop_the_relay(home, caplog):
    queues, events = host.make_channels()
    relay = host.Relay(multiprocessing.get_context("spawn"), queues, events, worker.main, poll=0.05)
    relay.start()
    try:
        requests, receipts = queues[protocol.REQUESTS], queues[protocol.RECEIPTS]
        for unsendable in (lambda: None, threading.Lock()):  # nothing a pipe can carry
            requests.put(dict(make_request("p.xlsx"), extra=unsendable))
            assert [receipts.get(timeout=20), receipts.get(timeout=20)] == [host.UNSENDABLE, DONE]
        requests.put(None)  # not the window's last word: the end event is not set
        # A name whose bytes are no UTF-8 (Linux keeps b"\xff" as a lone surrogate) reaches the window readable.
        requests.put(make_request(make_patents(home / "p.xlsx", ["EP1234567A1"]), template="missing-\udcff.xlsx"))
        lines = [receipts.get(timeout=60)]
        while lines[-1] != DONE:
            lines.append(receipts.get(timeout=60))
        last = "\n".join(lines[:-1]).split("\n")[-1]  # lines arriving together come as one message
        assert last.startswith("找不到範本檔案") and last.endswith("missing-\ufffd.xlsx")
    finally:
        relay.stop(2)
    assert "None on the request queue while the window is open" in caplog.text


def dies_while_reading(conn):
    """A worker that dies while its reader works on the list of the first request."""
    request = conn.recv()
    with open(request[protocol.PATENT_PATH], "rb") as handle, crashes.reading(files.fingerprint(handle)):
        os._exit(6)


def test_a_file_that_stopped_a_worker_is_answered_at_once_next_time(home, tmp_path, monkeypatch):
    for name in ("TMPDIR", "TEMP", "TMP"):
        monkeypatch.setenv(name, str(tmp_path))
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1"])
    queues, events = host.make_channels()
    relay = host.Relay(multiprocessing.get_context("spawn"), queues, events, dies_while_reading, poll=0.05)
    relay.start()
    try:
        queues[protocol.REQUESTS].put(make_request(patents))
        lines = [queues[protocol.RECEIPTS].get(timeout=60)]
        while lines[-1] != DONE:
            lines.append(queues[protocol.RECEIPTS].get(timeout=60))
    finally:
        relay.stop(2)
    assert lines == [host.crash_message(6), DONE]
    with pytest.raises(ReportError, match="專利檔案先前讀取時讓程式意外停止"):
        reading.read_list(patents)
    other = make_patents(tmp_path / "q.xlsx", ["EP7654321A1"])
    assert reading.read_list(other).entries == ["EP7654321A1"]  # other files read as ever
