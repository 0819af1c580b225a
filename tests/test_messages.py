"""The window's message queue: lines batched while the window has not taken them."""

import threading

from lumivar import messages, protocol

DONE = protocol.DONE


def take_all(queue, until_markers=1):
    """What the window does, tick after tick (without the 500 ms wait)."""
    taken = []
    while taken.count(DONE) < until_markers:
        if not queue.empty():
            taken.append(queue.get())
    return taken


def test_a_flood_arrives_whole_in_order_with_the_marker_alone():
    queue = messages.MessageQueue()
    sent = [f"{i}/100000 US{i:08d}B2" for i in range(100_000)]

    def worker():
        for line in sent[:50_000]:
            queue.put(line)
        queue.put(3)  # not text: a message of its own
        for line in sent[50_000:]:
            queue.put(line)
        queue.put(DONE)
        queue.put("after the marker")
        queue.put(DONE)

    thread = threading.Thread(target=worker)
    thread.start()
    taken = take_all(queue, until_markers=2)
    thread.join()
    assert [m for m in taken if not isinstance(m, str) or m != DONE].count(3) == 1
    texts = [m for m in taken if isinstance(m, str) and m != DONE]
    assert "\n".join(texts).split("\n") == sent + ["after the marker"]
    assert taken.index(3) > 0 and taken[-1] == DONE and taken[-3] == DONE
    assert max(len(m) for m in texts) <= messages.MAX_BATCH


def test_lines_put_while_the_window_waits_make_one_message_up_to_the_cap():
    queue = messages.MessageQueue()
    for i in range(20_000):
        queue.put(f"{i}/20000 US{i:08d}B2")
    taken = []
    while not queue.empty():
        taken.append(queue.get())
    assert 1 < len(taken) <= 2 + 20_000 * 22 // messages.MAX_BATCH  # one per cap's worth, not one per line
    assert all(len(m) <= messages.MAX_BATCH for m in taken)


def test_long_lines_are_shortened_with_their_length():
    queue = messages.MessageQueue()
    queue.put("1/1 " + "x" * 5_000_000 + "\nnext line")
    first, second = queue.get().split("\n")
    assert first == "1/1 " + "x" * 196 + "…（共 5,000,004 字）"
    assert second == "next line"
    assert queue.empty()
