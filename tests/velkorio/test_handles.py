"""Handles: their interface and reprs, cancellation, and what a cancelled
handle lets go of."""

import asyncio
import contextvars
import functools
import gc
import sys
import threading
import weakref

import pytest

import velkorio
from velkorio_support import run, run_iterations


def callback(*args):
    pass


def caller_line():
    return sys._getframe(1).f_lineno


class Payload:
    """Something a callback holds, to watch for its release."""


class TestInterface:
    def test_call_soon_and_call_later_return_handles(self, loop):
        handle = loop.call_soon(callback)
        timer = loop.call_later(1, callback)
        at = loop.call_at(loop.time() + 1, callback)
        threadsafe = loop.call_soon_threadsafe(callback)
        assert type(handle) is velkorio.Handle
        # asyncio's own, whose cancel() from another thread waits for a run.
        assert isinstance(threadsafe, asyncio.events._ThreadSafeHandle)
        assert type(timer) is velkorio.TimerHandle
        assert type(at) is velkorio.TimerHandle
        assert isinstance(timer, velkorio.Handle)
        for h in (handle, timer, at, threadsafe):
            h.cancel()

    def test_handles_cannot_be_made_directly(self):
        with pytest.raises(TypeError):
            velkorio.Handle()
        with pytest.raises(TypeError):
            velkorio.TimerHandle()

    def test_cancel_and_cancelled(self, any_loop):
        handle = any_loop.call_soon(callback)
        timer = any_loop.call_later(10, callback)
        for h in (handle, timer):
            assert not h.cancelled()
            assert h.cancel() is None
            assert h.cancelled()
            h.cancel()
            assert h.cancelled()

    def test_cancel_after_running_marks_it_cancelled(self, any_loop):
        ran = []
        handle = any_loop.call_soon(ran.append, 1)
        run_iterations(any_loop)
        handle.cancel()
        assert ran == [1]
        assert handle.cancelled()

    def test_get_context_is_a_copy_when_none_given(self, any_loop):
        var = contextvars.ContextVar("v")
        var.set(1)
        handle = any_loop.call_soon(callback)
        var.set(2)
        ctx = handle.get_context()
        assert isinstance(ctx, contextvars.Context)
        assert ctx is not contextvars.copy_context()
        assert ctx[var] == 1
        handle.cancel()

    def test_timer_handles_compare_by_deadline(self, any_loop):
        now = any_loop.time()
        late = any_loop.call_at(now + 2, callback)
        early = any_loop.call_at(now + 1, callback)
        same = any_loop.call_at(now + 1, callback)
        assert early < late and late > early
        assert early <= same and early >= same
        assert early == same and hash(early) == hash(same)
        assert early != late
        assert sorted([late, early]) == [early, late]
        same.cancel()
        assert early != same  # a cancelled timer no longer equals a live one
        for h in (late, early):
            h.cancel()


class TestRepr:
    """Reprs read as asyncio's own handles' do, made on the same line so
    that the 'created at' of debug mode names the same place."""

    @pytest.mark.parametrize("debug", [False, True])
    def test_handle_repr(self, loop, debug):
        loop.set_debug(debug)
        ours, theirs = loop.call_soon(callback, 1, "a"), asyncio.Handle(callback, (1, "a"), loop)
        assert repr(ours) == repr(theirs)
        if debug:
            assert "created at " in repr(ours)
        ours.cancel()
        theirs.cancel()
        assert repr(ours) == repr(theirs)
        assert "cancelled" in repr(ours)

    @pytest.mark.parametrize("debug", [False, True])
    def test_timer_handle_repr(self, loop, debug):
        loop.set_debug(debug)
        ours = loop.call_at(loop.time() + 100, callback, 2); theirs = asyncio.TimerHandle(ours.when(), callback, (2,), loop)  # noqa: E702
        assert repr(ours) == repr(theirs)
        assert f"when={ours.when()}" in repr(ours)
        ours.cancel()
        theirs.cancel()
        assert repr(ours) == repr(theirs)

    def test_debug_repr_names_the_line_that_scheduled_it(self, loop):
        loop.set_debug(True)
        handle, line = loop.call_later(100, callback), caller_line()
        assert repr(handle).endswith(f"created at {__file__}:{line}>")
        threadsafe, line = loop.call_soon_threadsafe(callback), caller_line()
        assert repr(threadsafe).endswith(f"created at {__file__}:{line}>")
        handle.cancel()
        threadsafe.cancel()

    def test_repr_of_lambda_and_partial(self, loop):
        fn = functools.partial(callback, 1)
        ours, theirs = loop.call_soon(fn), asyncio.Handle(fn, (), loop)
        assert repr(ours) == repr(theirs)
        fn2 = lambda: None  # noqa: E731
        ours, theirs = loop.call_soon(fn2), asyncio.Handle(fn2, (), loop)
        assert repr(ours) == repr(theirs)


class TestCancellation:
    def test_cancelled_handle_never_runs(self, any_loop):
        ran = []
        any_loop.call_soon(ran.append, "a").cancel()
        any_loop.call_later(0, ran.append, "b").cancel()
        any_loop.call_soon_threadsafe(ran.append, "c").cancel()
        run_iterations(any_loop, 3)
        assert ran == []

    def test_callback_cancels_a_later_one_of_the_same_iteration(self, any_loop):
        ran = []
        later = []
        any_loop.call_soon(lambda: later[0].cancel())
        later.append(any_loop.call_soon(ran.append, "cancelled one"))
        any_loop.call_soon(ran.append, "other")
        run_iterations(any_loop)
        assert ran == ["other"]

    def test_timer_cancelled_once_due_but_before_running(self, any_loop):
        ran = []
        timers = []
        when = any_loop.time()
        timers.append(any_loop.call_at(when, lambda: timers[1].cancel()))
        timers.append(any_loop.call_at(when + 1e-7, ran.append, "cancelled one"))
        run_iterations(any_loop, 2)
        assert ran == []

    def test_handle_cancelling_itself_while_running(self, any_loop):
        ran = []
        me = []

        def body():
            me[0].cancel()
            ran.append("ran")

        me.append(any_loop.call_soon(body))
        run_iterations(any_loop)
        assert ran == ["ran"]
        assert me[0].cancelled()

    def test_cancel_releases_callback_and_arguments(self, any_loop):
        arg = Payload()
        owner = Payload()
        owner.method = lambda *a: None
        refs = [weakref.ref(arg), weakref.ref(owner)]
        handle = any_loop.call_soon(owner.method, arg)
        timer = any_loop.call_later(100, owner.method, arg)
        del arg, owner
        handle.cancel()
        assert refs[0]() is not None  # the timer still holds them
        timer.cancel()
        assert [r() for r in refs] == [None, None]  # without a collection
        assert handle._callback is None and timer._args is None

    def test_cancelled_timer_leaves_the_queue_at_once(self, loop):
        timers = [loop.call_later(100 + i, callback, Payload()) for i in range(10)]
        keep = loop.call_later(50, callback)
        assert len(loop._scheduled) == 11
        ref = weakref.ref(timers[3])
        timers[3].cancel()
        assert len(loop._scheduled) == 10
        assert timers[3] not in loop._scheduled
        timers[3] = None
        assert ref() is None  # the loop kept nothing of it
        for t in timers[::2]:
            if t is not None:
                t.cancel()
        assert sorted(loop._scheduled) == sorted([keep] + [t for t in timers[1::2] if t is not None])
        keep.cancel()
        for t in timers:
            if t is not None:
                t.cancel()
        assert loop._scheduled == []

    def test_cancel_from_another_thread_releases_at_once(self, loop):
        arg = Payload()
        ref = weakref.ref(arg)
        timer = loop.call_later(100, callback, arg)
        del arg
        errors = []

        def cancel():
            try:
                timer.cancel()
            except BaseException as exc:  # pragma: no cover - reported below
                errors.append(exc)

        thread = threading.Thread(target=cancel)
        thread.start()
        thread.join()
        assert errors == []
        assert ref() is None
        assert timer.cancelled()
        assert loop._scheduled == []

    def test_cancel_from_another_thread_while_running(self, loop):
        ran = []
        arg = Payload()
        ref = weakref.ref(arg)
        far = loop.call_later(60, ran.append, arg)
        near = [loop.call_later(0.001 * i, ran.append, i) for i in range(1, 40)]
        del arg

        async def main():
            done = asyncio.Event()

            def canceller():
                far.cancel()
                for h in near[::2]:
                    h.cancel()
                loop.call_soon_threadsafe(done.set)

            threading.Thread(target=canceller).start()
            await done.wait()
            await asyncio.sleep(0.06)
            return ref() is None

        assert run(loop, main())
        assert loop._scheduled == []
        # The ones cancelled may have run before the thread got to them,
        # but the far one never does.
        assert all(isinstance(x, int) for x in ran)
        assert set(range(2, 40, 2)) <= set(ran)

    def test_many_threads_cancel_and_schedule(self, loop):
        ran = []
        timers = [loop.call_later(30 + i * 0.001, ran.append, i) for i in range(400)]

        async def main():
            finished = asyncio.Event()
            left = [4]

            def worker(part):
                for t in timers[part::4]:
                    t.cancel()
                    loop.call_soon_threadsafe(callback)

                def one_done():
                    left[0] -= 1
                    if left[0] == 0:
                        finished.set()

                loop.call_soon_threadsafe(one_done)

            threads = [threading.Thread(target=worker, args=(p,)) for p in range(4)]
            for t in threads:
                t.start()
            await finished.wait()
            for t in threads:
                t.join()

        run(loop, main())
        assert ran == []
        assert loop._scheduled == []

    def test_handle_is_released_after_running(self, any_loop):
        arg = Payload()
        ref = weakref.ref(arg)
        any_loop.call_soon(callback, arg)
        any_loop.call_later(0, callback, arg)
        del arg
        run_iterations(any_loop, 2)
        gc.collect()
        assert ref() is None


class TestThreadSafeHandle:
    def test_cancel_from_another_thread_waits_for_the_run(self, any_loop):
        # The callback is inside its run when the other thread cancels: the
        # cancel must return only after the callback has finished.
        events = []
        entered = threading.Event()

        def slow():
            entered.set()
            events.append("start")
            threading.Event().wait(0.2)
            events.append("end")

        handle = any_loop.call_soon_threadsafe(slow)

        def cancel_during_run():
            entered.wait(10)
            handle.cancel()
            events.append("cancelled")

        thread = threading.Thread(target=cancel_during_run)
        thread.start()
        run_iterations(any_loop)
        thread.join(10)
        assert events == ["start", "end", "cancelled"]
        assert handle.cancelled()

    def test_a_callback_may_cancel_its_own_handle(self, any_loop):
        handles = []
        ran = []

        def own():
            handles[0].cancel()
            ran.append(handles[0].cancelled())

        handles.append(any_loop.call_soon_threadsafe(own))
        run_iterations(any_loop)  # would deadlock on a lock that is not re-entrant
        assert ran == [True]

    def test_arguments_context_and_cancel_before_the_run(self, any_loop):
        var = contextvars.ContextVar("var", default="unset")
        ctx = contextvars.copy_context()
        ctx.run(var.set, "given")
        seen = []
        any_loop.call_soon_threadsafe(lambda *a: seen.append((a, var.get())), 1, "b", context=ctx)
        any_loop.call_soon_threadsafe(seen.append, "never").cancel()
        run_iterations(any_loop)
        assert seen == [((1, "b"), "given")]
