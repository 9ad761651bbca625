"""create_task and run_until_complete."""

import asyncio
import threading

import pytest

import velkor


async def answer():
    await asyncio.sleep(0)
    return 42


def test_run_until_complete_returns_the_coroutines_result(loop):
    assert loop.run_until_complete(answer()) == 42


def test_run_until_complete_raises_what_the_coroutine_raised(loop):
    async def fail():
        await asyncio.sleep(0)
        raise ValueError("inside")

    with pytest.raises(ValueError, match="inside"):
        loop.run_until_complete(fail())
    with pytest.raises(RuntimeError):
        asyncio.get_running_loop()  # the run ended normally and reset it


def test_run_until_complete_of_a_done_future(loop):
    future = asyncio.Future(loop=loop)
    future.set_result("ready")
    assert loop.run_until_complete(future) == "ready"


def test_run_until_complete_refuses_what_is_neither_future_nor_coroutine(loop):
    with pytest.raises(TypeError):
        loop.run_until_complete(42)


def test_a_stop_queued_before_ends_the_run_early_and_the_task_finishes_later(loop):
    gate = asyncio.Future(loop=loop)

    async def wait_for_gate():
        return await gate

    loop.stop()
    coro = wait_for_gate()
    with pytest.raises(asyncio.InvalidStateError):
        loop.run_until_complete(coro)
    gate.set_result("late")
    # The task and its stop callback are still pending for the next run.
    loop.run_forever()


def test_create_task_inside_the_loop_binds_to_the_running_loop(loop):
    async def main():
        task = loop.create_task(answer(), name="inner")
        assert task.get_loop() is loop
        assert task.get_name() == "inner"
        return await task

    assert loop.run_until_complete(main()) == 42


def test_create_task_before_the_loop_runs_binds_to_it_and_leaves_no_error(loop):
    task = loop.create_task(answer())
    assert task.get_loop() is loop
    assert task.get_name().startswith("Task-")
    loop.run_until_complete(task)
    assert task.result() == 42


def test_create_task_while_another_loop_runs_binds_to_this_loop(loop):
    other = velkor.VelkorLoop()
    made = []

    def in_other():
        made.append(loop.create_task(answer()))
        other.stop()

    other.call_soon(in_other)
    other.run_forever()
    assert made[0].get_loop() is loop
    assert loop.run_until_complete(made[0]) == 42


def test_create_task_passes_its_context(loop):
    import contextvars

    var = contextvars.ContextVar("var")
    context = contextvars.copy_context()
    context.run(var.set, "ctx")

    async def read():
        return var.get("unset")

    assert loop.run_until_complete(loop.create_task(read(), context=context)) == "ctx"


def test_create_task_refuses_a_non_coroutine_with_asyncios_error(loop):
    with pytest.raises(TypeError, match="coroutine"):
        loop.create_task(42)


def test_a_subclass_stop_callback_is_used_and_its_run_forever_is_not():
    calls = []

    class Sub(velkor.VelkorLoop):
        def _stop_cb(self, fut):
            calls.append("stop_cb")
            super()._stop_cb(fut)

        def run_forever(self):
            calls.append("run_forever")
            super().run_forever()

    loop = Sub()
    assert loop.run_until_complete(answer()) == 42
    assert calls == ["stop_cb"]


def test_run_until_complete_inside_a_callback_fails_and_the_task_stops_the_outer_run(loop):
    errors = []

    def nested():
        try:
            loop.run_until_complete(answer())
        except BaseException as error:
            errors.append(error.args[0])

    loop.call_soon(nested)
    loop.run_forever()  # ended by the nested task's stop callback
    assert errors == ["run_forever called more than once or concurrently"]


def test_gather_of_many_tasks(loop):
    async def main():
        tasks = [loop.create_task(asyncio.sleep(0, result=i)) for i in range(1000)]
        return await asyncio.gather(*tasks)

    assert loop.run_until_complete(main()) == list(range(1000))


def test_threads_feed_a_running_coroutine(loop):
    async def main():
        future = asyncio.Future()

        def worker():
            for i in range(100):
                loop.call_soon_threadsafe(lambda i=i: received.append(i))
            loop.call_soon_threadsafe(future.set_result, "done")

        received = []
        threading.Thread(target=worker).start()
        await future
        return received

    assert loop.run_until_complete(main()) == list(range(100))
