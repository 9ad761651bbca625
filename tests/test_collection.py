"""Loops held only by cycles through their own handles and watches are freed."""

import gc
import os
import time
import weakref

import pytest

import velkor
from support import run_python, wait_until, worker_threads


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


# Timers firing while full collections run back to back, from a callback of
# the running loop or from another thread while the loop waits. Each timer's
# argument is referred to by its handle alone, so only the loop's traverse
# keeps it reachable: if a handle moving from the sleeping timers into the
# loop's queue were missed, the collector would finalise its argument (a
# socket would be closed) before the callback runs.
FIRING_DURING_COLLECTIONS = """
import gc, socket, threading, velkor

kind, where, count = {kind!r}, {where!r}, {count}
loop = velkor.VelkorLoop()


class Canary:
    def __init__(self):
        self.finalised = False

    def __del__(self):
        self.finalised = True


def make():
    return socket.socket() if kind == "socket" else Canary()


def is_spoilt(argument):
    if kind == "socket":
        closed = argument.fileno() == -1
        argument.close()
        return closed
    return argument.finalised


fired = 0
spoilt = 0
collections = 0
done = threading.Event()


def fire(argument):
    global fired, spoilt
    fired += 1
    spoilt += is_spoilt(argument)
    if fired == count:
        done.set()
        loop.stop()


def collect_in_callbacks():
    global collections
    gc.collect()
    collections += 1
    if not done.is_set():
        loop.call_soon(collect_in_callbacks)


def collect_on_a_thread():
    global collections
    while not done.is_set():
        gc.collect()
        collections += 1


base = loop.time() + 0.05
for i in range(count):
    loop.call_at(base + 0.5 * i / count, fire, make())
if where == "callback":
    loop.call_soon(collect_in_callbacks)
else:
    threading.Thread(target=collect_on_a_thread, daemon=True).start()
watchdog = threading.Timer(30, lambda: loop.call_soon_threadsafe(loop.stop))
watchdog.start()
loop.run_forever()
watchdog.cancel()
print(fired, spoilt, collections > 10)
"""


@pytest.mark.parametrize(
    "kind, where", [("finaliser", "callback"), ("finaliser", "thread"), ("socket", "callback")]
)
def test_a_firing_timer_keeps_its_argument_through_collections(kind, where):
    count = 400
    result = run_python(FIRING_DURING_COLLECTIONS.format(kind=kind, where=where, count=count))
    assert result.returncode == 0, result.stderr
    fired, spoilt, collected = result.stdout.split()
    assert (int(fired), int(spoilt), collected) == (count, 0, "True")
