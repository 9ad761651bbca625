"""The loop clock, call_later and call_at."""

import asyncio
import gc
import math
import random
import threading
import time
import tracemalloc
import weakref

import pytest

from support import run_python


def test_time_is_the_wall_clock(loop):
    before = time.time()
    now = loop.time()
    after = time.time()
    assert before - 0.001 <= now <= after + 0.001
    assert now > 1.7e9  # seconds since 1970, not a monotonic count


@pytest.mark.parametrize("delay", [0, -5, 0.0])
def test_due_timers_run_without_sleeping_and_keep_their_when(loop, delay):
    ran = []
    before = loop.time()
    handle = loop.call_later(delay, ran.append, "ran")
    after = loop.time()
    assert before + delay <= handle.when() <= after + delay
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == ["ran"]


def test_a_nan_delay_runs_at_once_with_a_nan_when(loop):
    ran = []
    handle = loop.call_later(float("nan"), ran.append, 1)
    assert math.isnan(handle.when())
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == [1]


@pytest.mark.parametrize("when_offset", [-10, float("nan")])
def test_call_at_in_the_past_runs_at_once_with_the_time_of_the_call(loop, when_offset):
    ran = []
    before = loop.time()
    when = before + when_offset if not math.isnan(when_offset) else when_offset
    handle = loop.call_at(when, ran.append, 1)
    after = loop.time()
    assert before <= handle.when() <= after
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == [1]


def test_call_at_in_the_future_keeps_about_its_when(loop):
    target = loop.time() + 0.05
    fired = []
    handle = loop.call_at(target, lambda: (fired.append(time.time()), loop.stop()))
    assert target <= handle.when() < target + 0.05
    loop.run_forever()
    assert fired[0] >= target - 0.002


def test_timers_fire_in_deadline_order_and_never_early(loop):
    fired = []
    start = time.monotonic()
    delays = [0.08, 0.02, 0.05, 0.01, 0.03]
    for delay in delays:
        loop.call_later(delay, lambda d=delay: fired.append((d, time.monotonic() - start)))
    loop.call_later(0.15, loop.stop)
    loop.run_forever()
    assert [d for d, _ in fired] == sorted(delays)
    for delay, elapsed in fired:
        assert elapsed >= delay


def test_timers_a_millisecond_apart_still_run_in_deadline_order(loop):
    seen = []

    def fire(i):
        seen.append(i)
        if len(seen) == 200:
            loop.stop()

    base = loop.time() + 0.5  # one base, however long scheduling takes
    for i in reversed(range(200)):
        loop.call_at(base + i * 0.001, fire, i)
    loop.run_forever()
    assert seen == list(range(200))


@pytest.mark.parametrize("method", ["call_at", "call_later"])
def test_a_slow_handle_construction_does_not_delay_its_timer(loop, monkeypatch, method):
    # Even timers take 50 ms to build their handle (as a garbage collection
    # in the middle of the call would); their deadlines, 20 ms apart, must
    # not move.
    class SlowTimerHandle(asyncio.TimerHandle):
        def __init__(self, when, callback, args, loop, context=None):
            if args[0] % 2 == 0:
                time.sleep(0.05)
            super().__init__(when, callback, args, loop, context)

    monkeypatch.setattr(asyncio, "TimerHandle", SlowTimerHandle)
    seen = []

    def fire(i):
        seen.append(i)
        if len(seen) == 10:
            loop.stop()

    base = loop.time() + 0.6
    for i in reversed(range(10)):
        if method == "call_at":
            loop.call_at(base + i * 0.02, fire, i)
        else:
            loop.call_later(base + i * 0.02 - loop.time(), fire, i)
    loop.run_forever()
    assert seen == list(range(10))


def test_twenty_thousand_timers_all_fire(loop):
    count = 0

    def tick():
        nonlocal count
        count += 1
        if count == 20000:
            loop.stop()

    for i in range(20000):
        loop.call_later((i % 100) / 10000, tick)
    watchdog = threading.Timer(30, lambda: loop.call_soon_threadsafe(loop.stop))
    watchdog.start()
    loop.run_forever()
    watchdog.cancel()
    assert count == 20000


def test_a_cancelled_timer_neither_runs_nor_prints(loop, capfd):
    ran = []
    handle = loop.call_later(0.01, ran.append, 1)
    handle.cancel()
    assert handle.cancelled()
    loop.call_later(0.05, loop.stop)
    loop.run_forever()
    assert ran == []
    assert capfd.readouterr().err == ""


def test_delays_beyond_any_duration_report_once_and_never_run():
    result = run_python(
        """
        import velkor
        loop = velkor.VelkorLoop()
        ran = []
        for delay in (float("inf"), 1e20, 2.0 ** 64):
            handle = loop.call_later(delay, ran.append, delay)
            assert handle.when() >= 1e19, handle.when()
        # Finite but past what the monotonic clock can count: sleeps "forever".
        loop.call_later(1e10, ran.append, "1e10")
        loop.call_later(0.1, loop.stop)
        loop.run_forever()
        print("ran", ran)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ran []" in result.stdout
    message = "cannot convert float seconds to Duration: value is either too big or NaN"
    assert result.stderr.count(message) == 3
    assert result.stderr.count("velkor: internal fault") == 3


def test_timers_and_tasks_work_with_asyncio_timeout(loop):
    async def slow():
        await asyncio.Future()

    async def main():
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.02):
                await slow()
        async with asyncio.timeout(5):  # finishes in time: its timer is cancelled
            await asyncio.sleep(0)
        return "done"

    assert loop.run_until_complete(main()) == "done"


def test_context_is_passed_to_the_timer_handle(loop):
    import contextvars

    var = contextvars.ContextVar("var")
    context = contextvars.copy_context()
    context.run(var.set, "inside")
    seen = []
    loop.call_later(0, lambda: seen.append(var.get("unset")), context=context)
    loop.call_later(0, lambda: seen.append(var.get("unset")), context=None)
    loop.call_later(0.01, loop.stop)
    loop.run_forever()
    assert seen == ["inside", "unset"]


# ---- cancelled timers let go of their handles at once


@pytest.mark.parametrize(
    "where", ["idle loop", "callback", "other thread, idle loop", "other thread, running loop"]
)
def test_a_cancelled_timer_is_released_at_once(loop, where):
    box = [loop.call_later(3600, print)]  # the only reference the test keeps
    ref = weakref.ref(box[0])
    released = []

    def cancel():
        box.pop().cancel()
        gc.collect()
        released.append(ref() is None)
        if where.endswith("running loop"):
            loop.call_soon_threadsafe(loop.stop)

    if where == "idle loop":
        cancel()
    elif where == "callback":
        loop.call_soon(cancel)
        loop.call_soon(loop.stop)
        loop.run_forever()
    else:
        thread = threading.Thread(target=cancel)
        if where.endswith("running loop"):
            loop.call_soon(thread.start)
            loop.run_forever()
        else:
            thread.start()
        thread.join()
    assert released == [True]


def test_many_cancelled_timers_keep_memory_flat(loop):
    def noop():
        pass

    for _ in range(1000):  # warm up free lists and the timer queue
        loop.call_later(3600, noop).cancel()
    gc.collect()
    count = 100_000
    refs = []
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(count):
            handle = loop.call_later(3600, noop)
            if i % 100 == 0:
                refs.append(weakref.ref(handle))
            handle.cancel()
        del handle
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert sum(ref() is not None for ref in refs) == 0
    assert grown < 10 * count  # a kept handle with its context is about 200 bytes


def test_many_cancelled_timers_keep_native_memory_flat():
    # The native side's entries (the timer queue's and the pending-timer
    # records) are counted by the C allocator, which the interpreter's small
    # objects do not use.
    result = run_python(
        """
        import ctypes, gc, velkor

        class MallInfo2(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd",
                "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2

        def allocated():
            info = libc.mallinfo2()
            return info.uordblks + info.hblkhd

        loop = velkor.VelkorLoop()
        def noop():
            pass
        for _ in range(1000):
            loop.call_later(3600, noop).cancel()
        gc.collect()
        count = 100_000
        before = allocated()
        for _ in range(count):
            loop.call_later(3600, noop).cancel()
        gc.collect()
        print((allocated() - before) / count)
        """
    )
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 16  # a kept entry is over 100 bytes


def test_cancelled_timers_never_run_and_the_others_keep_their_order(loop):
    rng = random.Random(5)
    count = 300
    handles = []
    seen = []
    cancelled = set()

    def fire(i):
        seen.append(i)
        # Now and then a callback cancels a later timer, as a finished
        # request cancels its timeout.
        if i % 7 == 0 and i + 3 < count - 1 and i + 3 not in cancelled:
            handles[i + 3].cancel()
            cancelled.add(i + 3)
        if i == count - 1:
            loop.stop()

    base = loop.time() + 0.3
    for i in range(count):
        handles.append(loop.call_at(base + i * 0.001, fire, i))
    for i in rng.sample(range(count - 1), 100):
        handles[i].cancel()
        cancelled.add(i)
    extra = [loop.call_at(base + 0.0005, seen.append, "never") for _ in range(50)]
    for handle in extra:
        handle.cancel()
    watchdog = threading.Timer(30, lambda: loop.call_soon_threadsafe(loop.stop))
    watchdog.start()
    loop.run_forever()
    watchdog.cancel()
    assert seen == [i for i in range(count) if i not in cancelled]
    assert all(handles[i].cancelled() for i in cancelled)


@pytest.mark.parametrize("when", ["after it ran", "while queued", "in its own callback"])
def test_cancelling_a_timer_that_is_due_or_done_is_harmless(loop, capfd, when):
    ran = []

    def callback():
        ran.append("ran")
        if when == "in its own callback":
            handle.cancel()

    handle = loop.call_later(0.01, callback)
    ref = weakref.ref(handle)
    if when == "after it ran":
        loop.call_later(0.05, loop.stop)
        loop.run_forever()
        assert ran == ["ran"]
    elif when == "while queued":
        time.sleep(0.1)  # long past due: most likely waiting in the loop's queue
    if when != "in its own callback":
        handle.cancel()
        handle.cancel()
    loop.call_later(0.05, ran.append, "next timer")
    loop.call_later(0.1, loop.stop)
    loop.run_forever()
    expected = {"after it ran": ["ran"], "while queued": [], "in its own callback": ["ran"]}[when]
    assert ran == expected + ["next timer"]
    del handle
    gc.collect()
    assert ref() is None
    assert capfd.readouterr().err == ""
