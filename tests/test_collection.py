"""Loops held only by cycles through their own handles and watches are freed."""

import gc
import os
import time
import weakref

import velkor
from conftest import wait_until, worker_threads


class Holder:
    """A callback that keeps its loop alive, as a bound method would."""

    def __init__(self, loop):
        self.loop = loop

    def __call__(self, *args):
        pass


def test_a_loop_in_cycles_through_timers_messages_and_watches_is_collected():
    r, w = os.pipe()
    gc.collect()  # loops other tests left in cycles
    before = worker_threads()
    try:
        for _ in range(20):
            loop = velkor.VelkorLoop()
            loop.call_later(3600, print)  # a TimerHandle refers to its loop
            loop.call_soon(print)  # and so does a queued Handle
            loop.add_reader(r, Holder(loop), ())
            loop.add_writer(w, Holder(loop), (loop,))
            time.sleep(0.005)  # let the writer post its first message
            ref = weakref.ref(loop)
            del loop
            gc.collect()
            assert ref() is None
        assert wait_until(lambda: worker_threads() == before), (worker_threads(), before)
        os.fstat(r)
        os.fstat(w)
    finally:
        os.close(r)
        os.close(w)


def test_a_loop_stays_while_something_else_holds_one_of_its_handles():
    loop = velkor.VelkorLoop()
    ran = []
    handle = loop.call_later(0.01, ran.append, 1)
    ref = weakref.ref(loop)
    del loop
    gc.collect()
    assert ref() is handle._loop
    handle._loop.call_later(0.05, handle._loop.stop)
    handle._loop.run_forever()
    assert ran == [1]


def test_references_dropped_on_workers_are_released_at_the_next_entry(capfd):
    loop = velkor.VelkorLoop()
    released = []
    holder = Holder(None)
    ref = weakref.ref(holder, lambda _: released.append(True))
    # The registration fails on a worker, which drops the watch, and with it
    # the last reference to the callback, without the interpreter lock.
    loop.add_reader(-1, holder, ())
    del holder
    deadline = time.monotonic() + 5
    while ref() is not None and time.monotonic() < deadline:
        time.sleep(0.01)
        loop.get_debug()  # any entry into the module releases what is pending
    assert released == [True]
    assert "Failed to register FD -1" in capfd.readouterr().err
