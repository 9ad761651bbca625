"""The order callbacks and timers run in, and the loop's clock."""

import asyncio
import contextvars
import errno
import os
import random
import subprocess
import sys
import time
from unittest import mock

import pytest

from velkorio_support import run, run_iterations


class TestReadyQueue:
    def test_call_soon_runs_in_call_order(self, any_loop):
        order = []
        for i in range(50):
            any_loop.call_soon(order.append, i)
        run_iterations(any_loop)
        assert order == list(range(50))

    def test_arguments_are_passed_through(self, any_loop):
        seen = []
        any_loop.call_soon(lambda *args: seen.append(args), 1, "two", None)
        any_loop.call_soon(lambda: seen.append(()))
        run_iterations(any_loop)
        assert seen == [(1, "two", None), ()]

    def test_an_iteration_runs_only_what_was_ready_when_it_began(self, any_loop):
        order = []

        def first():
            order.append("first")
            any_loop.call_soon(order.append, "scheduled by first")

        any_loop.call_soon(first)
        any_loop.call_soon(any_loop.stop)
        any_loop.call_soon(order.append, "second")
        any_loop.run_forever()
        assert order == ["first", "second"]
        run_iterations(any_loop)
        assert order == ["first", "second", "scheduled by first"]

    def test_stop_before_run_forever_runs_one_iteration(self, any_loop):
        order = []
        any_loop.call_soon(order.append, 1)
        any_loop.stop()
        any_loop.run_forever()
        assert order == [1]
        assert not any_loop.is_running()

    def test_unknown_keyword_is_refused(self, any_loop):
        for method, lead in (("call_soon", ()), ("call_later", (1,)), ("call_at", (1,))):
            with pytest.raises(TypeError):
                getattr(any_loop, method)(*lead, print, bogus=1)
        with pytest.raises(TypeError):
            any_loop.call_soon_threadsafe(print, bogus=1)

    def test_none_deadline_is_refused(self, any_loop):
        with pytest.raises(TypeError):
            any_loop.call_later(None, print)
        with pytest.raises(TypeError):
            any_loop.call_at(None, print)

    def test_nan_deadline_is_refused(self, loop):
        # asyncio queues it and fails in a later run_forever; refused where
        # it enters, it cannot hold back the timers queued behind it.
        for method in (loop.call_at, loop.call_later):
            with pytest.raises(ValueError):
                method(float("nan"), print)
        assert not loop._scheduled
        assert run(loop, asyncio.sleep(0.001, "timers run")) == "timers run"


class TestTimers:
    def test_timers_run_by_deadline(self, any_loop):
        order = []
        now = any_loop.time()
        for delay in (0.03, 0.01, 0.02, 0.0):
            any_loop.call_at(now + delay, order.append, delay)
        run(any_loop, asyncio.sleep(0.05))
        assert order == [0.0, 0.01, 0.02, 0.03]

    def test_equal_deadlines_run_in_call_order(self, loop):
        # asyncio's own heap leaves ties in any order; velkorio keeps them.
        order = []
        when = loop.time() + 0.01
        for i in range(20):
            loop.call_at(when, order.append, i)
        loop.call_at(when - 0.005, order.append, "earlier")
        run(loop, asyncio.sleep(0.03))
        assert order == ["earlier"] + list(range(20))

    def test_due_timers_run_after_callbacks_already_ready(self, any_loop):
        order = []
        any_loop.call_later(0, order.append, "timer")
        any_loop.call_soon(order.append, "soon")
        run_iterations(any_loop, 2)
        assert order == ["soon", "timer"]

    def test_past_and_negative_deadlines_run_at_the_next_iteration(self, any_loop):
        order = []
        any_loop.call_later(-5, order.append, "negative")
        any_loop.call_at(any_loop.time() - 100, order.append, "past")
        run_iterations(any_loop)
        assert sorted(order) == ["negative", "past"]
        # The earlier deadline first.
        assert order == ["past", "negative"]

    def test_many_timers_with_cancellations_keep_their_order(self, any_loop):
        # Exercises the heap with removals from its middle.
        rng = random.Random(1234)
        ran = []
        now = any_loop.time()
        timers = []
        for i in range(400):
            when = now + rng.choice([0.005, 0.01, 0.015, 0.02]) + rng.random() * 0.005
            timers.append((when, i, any_loop.call_at(when, ran.append, i)))
        cancelled = set()
        for when, i, handle in rng.sample(timers, 150):
            handle.cancel()
            cancelled.add(i)
        # Cancelling twice changes nothing.
        for when, i, handle in timers[:20]:
            if i in cancelled:
                handle.cancel()
        run(any_loop, asyncio.sleep(0.05))
        expected = [i for when, i, _ in sorted(timers, key=lambda t: (t[0], t[1])) if i not in cancelled]
        assert ran == expected

    def test_timers_scheduled_by_timers(self, any_loop):
        order = []

        async def main():
            finished = any_loop.create_future()

            def chain(n):
                order.append(n)
                if n < 5:
                    any_loop.call_later(0.001, chain, n + 1)
                else:
                    finished.set_result(None)

            any_loop.call_later(0.001, chain, 0)
            await finished

        run(any_loop, main())
        assert order == [0, 1, 2, 3, 4, 5]

    def test_infinite_delay_never_runs_and_holds_nothing_up(self, any_loop):
        ran = []
        handle = any_loop.call_later(float("inf"), ran.append, "never")
        assert run(any_loop, asyncio.sleep(0.01, "others ran")) == "others ran"
        assert ran == []
        handle.cancel()

    def test_call_later_when_is_loop_time_plus_delay(self, any_loop):
        before = any_loop.time()
        handle = any_loop.call_later(10, print)
        after = any_loop.time()
        assert before + 10 <= handle.when() <= after + 10
        handle.cancel()

    def test_call_at_keeps_the_deadline_given(self, any_loop):
        when = any_loop.time() + 1234.5
        handle = any_loop.call_at(when, print)
        assert handle.when() == when
        handle.cancel()

    def test_integer_deadlines_are_accepted(self, any_loop):
        ran = []
        any_loop.call_later(0, ran.append, "later")
        any_loop.call_at(int(any_loop.time()), ran.append, "at")
        run_iterations(any_loop, 2)
        assert sorted(ran) == ["at", "later"]


class TestClock:
    def test_time_is_the_monotonic_clock(self, any_loop):
        for _ in range(3):
            a = time.monotonic()
            t = any_loop.time()
            b = time.monotonic()
            assert a <= t <= b

    def test_timer_never_runs_before_its_deadline(self, any_loop):
        seen = []
        whens = [any_loop.time() + d for d in (0.002, 0.011, 0.023, 0.037)]
        for when in whens:
            any_loop.call_at(when, lambda w=when: seen.append((w, time.monotonic())))
        run(any_loop, asyncio.sleep(0.06))
        assert len(seen) == len(whens)
        for when, ran_at in seen:
            assert ran_at >= when - 1e-6

    def test_sleep_is_not_short(self, any_loop):
        async def main():
            start = any_loop.time()
            await asyncio.sleep(0.02)
            return any_loop.time() - start

        assert run(any_loop, main()) >= 0.02 - 1e-6


class TestLoopClock:
    """asyncio schedules by self.time(), which subclasses and test helpers
    (mock.patch.object(loop, "time")) replace."""

    @pytest.fixture(params=["subclass", "instance"])
    def ahead(self, request, any_loop):
        """A loop whose time() runs 1000 s ahead of the monotonic clock."""
        shifted = lambda *_: time.monotonic() + 1000  # noqa: E731
        if request.param == "subclass":
            loop = type("Ahead", (type(any_loop),), {"time": shifted})()
            yield loop
            loop.close()
        else:
            with mock.patch.object(any_loop, "time", shifted):
                yield any_loop

    def test_timers_and_timeouts_follow_the_loop_clock(self, ahead):
        handle = ahead.call_later(1, print)
        assert handle.when() - ahead.time() == pytest.approx(1, abs=0.5)
        handle.cancel()

        async def main():
            start = time.monotonic()
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.05):
                    await asyncio.sleep(10)
            return time.monotonic() - start

        assert 0.05 - 1e-3 <= ahead.run_until_complete(main()) < 5

    def test_a_frozen_clock_runs_what_is_due_by_it(self, any_loop):
        frozen = any_loop.time() + 100
        ran = []
        with mock.patch.object(any_loop, "time", return_value=frozen):
            any_loop.call_at(frozen, ran.append, "due")
            any_loop.call_at(frozen + 1, ran.append, "not yet")
            run_iterations(any_loop, 2)
        assert ran == ["due"]
        any_loop.close()


class TestContexts:
    var = contextvars.ContextVar("var", default="unset")

    def test_callback_runs_in_a_copy_of_the_callers_context(self, any_loop):
        seen = []
        token = self.var.set("caller")
        try:
            any_loop.call_soon(lambda: seen.append(self.var.get()))
            any_loop.call_later(0, lambda: seen.append(self.var.get()))
        finally:
            self.var.reset(token)
        # Set after the calls: not seen by them.
        self.var.set("later")
        try:
            run_iterations(any_loop, 2)
        finally:
            self.var.set("unset")
        assert seen == ["caller", "caller"]

    def test_changes_made_by_a_callback_stay_in_its_copy(self, any_loop):
        seen = []

        def writer():
            self.var.set("written")

        any_loop.call_soon(writer)
        any_loop.call_soon(lambda: seen.append(self.var.get()))
        run_iterations(any_loop)
        assert seen == ["unset"]
        assert self.var.get() == "unset"

    def test_given_context_is_used_and_kept(self, any_loop):
        ctx = contextvars.copy_context()
        ctx.run(self.var.set, "in ctx")
        seen = []

        def writer():
            seen.append(self.var.get())
            self.var.set("changed")

        handle = any_loop.call_soon(writer, context=ctx)
        timer = any_loop.call_later(0, lambda: seen.append(self.var.get()), context=ctx)
        assert handle.get_context() is ctx
        assert timer.get_context() is ctx
        run_iterations(any_loop, 2)
        assert seen == ["in ctx", "changed"]
        assert ctx[self.var] == "changed"

    def test_threadsafe_call_takes_a_context_too(self, any_loop):
        ctx = contextvars.Context()
        seen = []
        handle = any_loop.call_soon_threadsafe(lambda: seen.append(self.var.get()), context=ctx)
        assert handle.get_context() is ctx
        run_iterations(any_loop)
        assert seen == ["unset"]

    def test_tasks_inherit_the_context(self, any_loop):
        async def child():
            return self.var.get()

        async def main():
            self.var.set("main")
            inherited = await asyncio.create_task(child())
            ctx = contextvars.Context()
            given = await asyncio.create_task(child(), context=ctx)
            return inherited, given

        assert run(any_loop, main()) == ("main", "unset")


class TestCreateTask:
    def test_keywords_reach_the_task(self, any_loop):
        ctx = contextvars.copy_context()

        async def main():
            task = any_loop.create_task(asyncio.sleep(0, "done"), name="named", context=ctx)
            assert (task.get_name(), task.get_context()) == ("named", ctx)
            eager = any_loop.create_task(asyncio.sleep(0, "x"), eager_start=True)
            return await task, await eager

        assert run(any_loop, main()) == ("done", "x")

    def test_factory_gets_loop_coroutine_and_keywords(self, any_loop):
        seen = []

        def factory(loop, coro, **kwargs):
            seen.append((loop, kwargs))
            return asyncio.Task(coro, loop=loop, **kwargs)

        any_loop.set_task_factory(factory)
        task = any_loop.create_task(asyncio.sleep(0, 7), name="n")
        assert any_loop.run_until_complete(task) == 7
        assert seen == [(any_loop, {"name": "n"})]

    def test_bad_calls_fail_as_asyncio_fails_them(self, loop):
        reference = asyncio.new_event_loop()

        def error(target, call):
            coro = asyncio.sleep(0)
            try:
                call(target, coro)
            except TypeError as exc:
                return str(exc)
            finally:
                coro.close()

        try:
            for call in (
                lambda l, coro: l.create_task(coro, loop=l),
                lambda l, coro: l.create_task(coro, bogus=1),
                lambda l, coro: l.create_task(coro, coro),
                lambda l, coro: l.create_task(),
            ):
                assert error(loop, call) == error(reference, call) is not None
        finally:
            reference.close()

    def test_debug_source_traceback_ends_at_the_caller(self, any_loop):
        any_loop.set_debug(True)
        task = any_loop.create_task(asyncio.sleep(0)); line = sys._getframe().f_lineno
        assert task._source_traceback[-1][1:3] == (line, "test_debug_source_traceback_ends_at_the_caller")
        any_loop.run_until_complete(task)


SANDBOXED = r"""
import ctypes, sys

# A seccomp filter that answers `errno` to epoll_pwait2 and timerfd_create,
# as a kernel without them (ENOSYS) or a sandbox forbidding them (EPERM) does.
class Filter(ctypes.Structure):
    _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte), ("jf", ctypes.c_ubyte),
                ("k", ctypes.c_uint)]

class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Filter))]

errno = int(sys.argv[1])
rules = [Filter(0x20, 0, 0, 0)]  # the system call's number
for number in (441, 283):  # epoll_pwait2, timerfd_create on x86-64
    rules += [Filter(0x15, 0, 1, number), Filter(0x06, 0, 0, 0x00050000 | errno)]
rules.append(Filter(0x06, 0, 0, 0x7FFF0000))  # everything else is allowed
table = (Filter * len(rules))(*rules)
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0  # no new privileges
assert libc.prctl(22, 2, ctypes.byref(Program(len(rules), table))) == 0, ctypes.get_errno()

import asyncio, time, velkorio

async def main():
    start = time.monotonic()
    for _ in range(200):
        await asyncio.sleep(0.0005)
    await asyncio.wait_for(asyncio.sleep(0.01), 1)
    return time.monotonic() - start

took = velkorio.run(main())
assert 0.1 <= took < 10, took
print("ok")
"""


@pytest.mark.skipif(sys.platform != "linux" or os.uname().machine != "x86_64",
                    reason="the filter names x86-64 system calls")
@pytest.mark.parametrize("refusal", [errno.ENOSYS, errno.EPERM], ids=["ENOSYS", "EPERM"])
def test_timed_waits_without_the_optional_system_calls(refusal):
    done = subprocess.run([sys.executable, "-c", SANDBOXED, str(refusal)],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout == "ok\n", done.stderr
