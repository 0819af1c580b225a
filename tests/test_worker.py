"""The worker: it serves requests until told to stop or its host is gone,
and leaves quietly."""

import multiprocessing
import threading
from pathlib import Path

from lumivar import protocol, worker

from support import FROZEN, FROZEN_NAME, make_patents, make_request

DONE = protocol.DONE
NOTICES = (protocol.SAVING, protocol.SAVED)


def frozen():
    return FROZEN


def until_marker(conn, timeout=20):
    lines = []
    while True:
        assert conn.poll(timeout), f"no marker after {lines}"
        message = conn.recv()
        if message not in NOTICES:
            lines.append(message)
        if message == DONE:
            return lines


def test_serve_answers_requests_until_none_or_the_host_is_gone(home, tmp_path):
    host, own = multiprocessing.Pipe()
    thread = threading.Thread(target=worker.serve, args=(own,), kwargs={"now": frozen})
    thread.start()
    patents = make_patents(tmp_path / "p.xlsx", ["EP1234567A1", "TW I 123456 B"])
    try:
        host.send("nonsense")
        host.send(make_request(patents))
        first, second = until_marker(host), until_marker(host)
    finally:
        host.send(None)
        thread.join(5)
    assert not thread.is_alive()
    assert len(first) == 2 and first[0].startswith("請求格式錯誤: ")
    assert second[-2:] == [f"檢索報告已輸出: {home / 'tarnwick' / 'Lumivar' / FROZEN_NAME}", DONE]
    host, own = multiprocessing.Pipe()
    thread = threading.Thread(target=worker.serve, args=(own,))
    thread.start()
    host.send(make_request(patents))
    host.close()  # gone while the job runs: its messages cannot be sent
    thread.join(10)
    assert not thread.is_alive()


def test_worker_process_leaves_quietly_and_cleans_up(home, tmp_path):
    folder = home / "tarnwick" / "Lumivar"
    folder.mkdir(parents=True)
    (folder / "~lumivar-killed.xlsx.part").write_bytes(b"PK half")
    context = multiprocessing.get_context("spawn")
    host, own = context.Pipe()
    process = context.Process(target=worker.main, args=(own,))
    process.start()
    own.close()
    try:
        host.send(make_request(make_patents(tmp_path / "p.xlsx", ["TW I 123456 B"]), ratio=1.5))
        lines = until_marker(host, timeout=60)
    finally:
        host.send(None)
        process.join(10)
    assert process.exitcode == 0
    assert sorted(p.name for p in folder.iterdir()) == [Path(lines[-2].split(": ", 1)[1]).name]
