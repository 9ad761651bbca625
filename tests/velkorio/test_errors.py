"""Errors in callbacks, the exception handler, KeyboardInterrupt and
SystemExit, and debug mode's checks."""

import asyncio
import gc
import logging
import socket
import threading
import time

import pytest

from velkorio_support import run, run_iterations


def fail(message="boom"):
    raise ValueError(message)


@pytest.fixture
def reports(any_loop):
    got = []
    any_loop.set_exception_handler(lambda loop, context: got.append(context))
    return got


class TestExceptionHandler:
    def test_callback_error_reaches_the_handler(self, any_loop, reports):
        ran = []
        handle = any_loop.call_soon(fail, "soon")
        any_loop.call_soon(ran.append, "next")
        run_iterations(any_loop)
        assert ran == ["next"]  # the loop went on
        [context] = reports
        assert set(context) == {"message", "exception", "handle"}
        assert context["message"].startswith("Exception in callback fail(")
        assert isinstance(context["exception"], ValueError)
        assert str(context["exception"]) == "soon"
        assert context["handle"] is handle

    def test_timer_error_names_the_timer(self, any_loop, reports):
        timer = any_loop.call_later(0, fail)
        run_iterations(any_loop, 2)
        [context] = reports
        assert context["handle"] is timer
        assert set(context) == {"message", "exception", "handle"}

    def test_threadsafe_callback_error(self, any_loop, reports):
        handle = any_loop.call_soon_threadsafe(fail)
        run_iterations(any_loop)
        assert [c["handle"] for c in reports] == [handle]

    def test_debug_mode_adds_the_source_traceback(self, any_loop, reports):
        any_loop.set_debug(True)
        any_loop.call_soon(fail)
        run_iterations(any_loop)
        [context] = reports
        assert set(context) == {"message", "exception", "handle", "source_traceback"}
        assert context["source_traceback"][-1].name == "test_debug_mode_adds_the_source_traceback"

    def test_reader_error_reaches_the_handler_and_the_reader_stays(self, any_loop, reports):
        a, b = socket.socketpair()
        try:
            calls = []

            def reader():
                calls.append(1)
                raise ValueError("reader")

            any_loop.add_reader(a.fileno(), reader)
            b.send(b"x")
            run_iterations(any_loop, 4)
            assert len(calls) >= 3
            assert len(reports) == len(calls)
            assert all(str(c["exception"]) == "reader" for c in reports)
            any_loop.remove_reader(a.fileno())
        finally:
            a.close()
            b.close()

    def test_not_callable_fails_when_run(self, any_loop, reports):
        handle = any_loop.call_soon(None)
        run_iterations(any_loop)
        [context] = reports
        assert isinstance(context["exception"], TypeError)
        assert context["handle"] is handle

    def test_failing_handler_is_logged_and_the_loop_goes_on(self, any_loop, caplog):
        def handler(loop, context):
            raise RuntimeError("handler failed")

        any_loop.set_exception_handler(handler)
        ran = []
        any_loop.call_soon(fail)
        any_loop.call_soon(ran.append, 1)
        with caplog.at_level(logging.ERROR, logger="asyncio"):
            run_iterations(any_loop)
        assert ran == [1]
        assert "Unhandled error in exception handler" in caplog.text

    def test_default_handler_logs(self, any_loop, caplog):
        with caplog.at_level(logging.ERROR, logger="asyncio"):
            any_loop.call_soon(fail, "logged")
            run_iterations(any_loop)
        assert "Exception in callback fail(" in caplog.text
        assert "ValueError: logged" in caplog.text

    def test_unretrieved_task_exception_is_reported(self, any_loop, reports):
        async def failing():
            raise ValueError("task")

        async def main():
            task = asyncio.create_task(failing())
            await asyncio.sleep(0)
            await asyncio.sleep(0)
            assert task.done()

        run(any_loop, main())
        gc.collect()
        assert any(c["message"] == "Task exception was never retrieved" for c in reports)


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
class TestInterrupts:
    """KeyboardInterrupt and SystemExit leave the loop at once; the loop stays
    usable and keeps the callbacks not run yet."""

    def test_from_a_callback_out_of_run_forever(self, any_loop, exc_type, reports):
        ran = []

        def interrupt():
            raise exc_type()

        any_loop.call_soon(interrupt)
        any_loop.call_soon(ran.append, "after")
        with pytest.raises(exc_type):
            any_loop.run_forever()
        assert not any_loop.is_running()
        assert reports == []
        assert ran == []
        run_iterations(any_loop)
        assert ran == ["after"]

    def test_from_a_timer_out_of_run_until_complete(self, any_loop, exc_type):
        def interrupt():
            raise exc_type()

        any_loop.call_later(0.001, interrupt)
        with pytest.raises(exc_type):
            any_loop.run_until_complete(asyncio.sleep(10))
        assert not any_loop.is_running()
        assert run(any_loop, asyncio.sleep(0, "usable")) == "usable"

    def test_from_a_reader(self, any_loop, exc_type):
        a, b = socket.socketpair()
        try:
            def interrupt():
                a.recv(1)
                raise exc_type()

            any_loop.add_reader(a.fileno(), interrupt)
            b.send(b"x")
            with pytest.raises(exc_type):
                any_loop.run_forever()
            any_loop.remove_reader(a.fileno())
        finally:
            a.close()
            b.close()

    def test_from_a_task(self, any_loop, exc_type):
        async def main():
            await asyncio.sleep(0)
            raise exc_type()

        with pytest.raises(exc_type):
            any_loop.run_until_complete(main())
        assert not any_loop.is_running()

    def test_in_debug_mode(self, any_loop, exc_type):
        any_loop.set_debug(True)

        def interrupt():
            raise exc_type()

        any_loop.call_soon(interrupt)
        with pytest.raises(exc_type):
            any_loop.run_forever()
        assert any_loop._current_handle is None


class TestDebugMode:
    def test_slow_callback_is_logged(self, any_loop, caplog):
        any_loop.set_debug(True)
        any_loop.slow_callback_duration = 0.01

        def slow():
            time.sleep(0.05)

        any_loop.call_soon(slow)
        with caplog.at_level(logging.WARNING, logger="asyncio"):
            run_iterations(any_loop)
        [record] = [r for r in caplog.records if r.getMessage().startswith("Executing <Handle")]
        assert "slow()" in record.getMessage()
        assert record.getMessage().endswith("seconds")

    def test_quick_callback_is_not_logged(self, any_loop, caplog):
        any_loop.set_debug(True)
        any_loop.slow_callback_duration = 10
        any_loop.call_soon(lambda: None)
        with caplog.at_level(logging.WARNING, logger="asyncio"):
            run_iterations(any_loop)
        assert "Executing" not in caplog.text

    def test_current_handle_is_set_while_running(self, any_loop):
        any_loop.set_debug(True)
        seen = []
        handle = any_loop.call_soon(lambda: seen.append(any_loop._current_handle))
        run_iterations(any_loop)
        assert seen == [handle]
        assert any_loop._current_handle is None

    def test_calls_from_another_thread_are_refused(self, any_loop):
        any_loop.set_debug(True)
        errors = {}

        def other():
            for name, call in (
                ("call_soon", lambda: any_loop.call_soon(print)),
                ("call_later", lambda: any_loop.call_later(1, print)),
                ("call_at", lambda: any_loop.call_at(1, print)),
            ):
                try:
                    call()
                except RuntimeError as exc:
                    errors[name] = str(exc)
            any_loop.call_soon_threadsafe(print)  # allowed

        async def main():
            await asyncio.to_thread(other)

        run(any_loop, main())
        assert set(errors) == {"call_soon", "call_later", "call_at"}
        assert all("Non-thread-safe operation" in e for e in errors.values())

    def test_calls_from_another_thread_pass_without_debug(self, any_loop):
        async def main():
            await asyncio.to_thread(lambda: any_loop.call_soon(print).cancel())

        run(any_loop, main())

    def test_coroutines_and_non_callables_are_refused(self, any_loop):
        any_loop.set_debug(True)

        async def coro():
            pass

        for call in (any_loop.call_soon, any_loop.call_soon_threadsafe):
            with pytest.raises(TypeError, match="coroutines cannot be used"):
                call(coro)
            with pytest.raises(TypeError, match="a callable object was expected"):
                call(42)
        with pytest.raises(TypeError, match="coroutines cannot be used"):
            any_loop.call_later(1, coro)
        with pytest.raises(TypeError):
            any_loop.call_at(1, 42)

    def test_debug_flag_round_trip(self, any_loop):
        assert any_loop.get_debug() is False
        any_loop.set_debug(True)
        assert any_loop.get_debug() is True
        any_loop.set_debug(False)
        assert any_loop.get_debug() is False
