"""Doubles that run beside the window, in a second process or thread.

This module is imported by child processes started with the "spawn" method,
so it must stay importable on its own: no toolkit, no GUI module.
"""

from lumivar import protocol

REQUESTS = protocol.REQUESTS
MESSAGES = protocol.RECEIPTS
END = protocol.END
RECORDED = "recorded"


def _flush(q):
    """Waits until everything put on `q` has really left this process.

    A multiprocessing queue hands its items to a feeder thread; closing the
    queue and joining that thread makes sure they are in the pipe, so that the
    reading side's empty() sees them. Other queues (a Manager's proxies,
    queue.Queue) deliver at once and have nothing to flush.
    """
    close = getattr(q, "close", None)
    join_thread = getattr(q, "join_thread", None)
    if close is not None and join_thread is not None:
        close()
        join_thread()


def report_worker(queues, events, messages, ready, timeout=30.0):
    """The report worker as the window meets it.

    Takes one request from the "起始數據" queue and puts it, unchanged, on the
    "recorded" queue; puts `messages` on "get_receipt", in order; sets `ready`
    once they are all delivered. Then it waits for the window's closing
    signals and records what it received: the item that followed the request
    on "起始數據", whether the "end" event was already set when that item
    arrived, and the item taken from the "end" queue.
    """
    request = queues[REQUESTS].get(timeout=timeout)
    queues[RECORDED].put(request)
    for message in messages:
        queues[MESSAGES].put(message)
    _flush(queues[MESSAGES])
    ready.set()

    after_request = queues[REQUESTS].get(timeout=timeout)
    end_event_was_set = events[END].is_set()
    end_item = queues[END].get(timeout=timeout)
    queues[RECORDED].put(
        {
            REQUESTS: after_request,
            "end event set before it": end_event_was_set,
            END: end_item,
        }
    )
    _flush(queues[RECORDED])
