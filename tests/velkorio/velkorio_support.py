"""Helpers shared by velkorio's tests."""

import asyncio

import velkorio

LOOP_FACTORIES = {
    "velkorio": velkorio.new_event_loop,
    "asyncio": asyncio.SelectorEventLoop,
}

# Long enough for a loaded machine, short enough that a lost wake-up fails
# the test instead of holding the suite.
GUARD = 10.0


def close_loop(loop):
    if not loop.is_running() and not loop.is_closed():
        loop.close()


def run(loop, awaitable, timeout=GUARD):
    """Runs `awaitable` on `loop`, failing instead of hanging past `timeout`."""

    async def guarded():
        async with asyncio.timeout(timeout):
            return await awaitable

    return loop.run_until_complete(guarded())


def run_iterations(loop, count=1):
    """Runs exactly `count` iterations of `loop`: each one looks for I/O,
    queues the due timers, then runs the callbacks that were ready."""
    for _ in range(count):
        loop.call_soon(loop.stop)
        loop.run_forever()


def run_until(loop, predicate, timeout=GUARD):
    """Runs `loop` until `predicate()` holds; False if `timeout` passed first."""
    deadline = loop.time() + timeout

    def check():
        if predicate() or loop.time() >= deadline:
            loop.stop()
        else:
            loop.call_later(0.001, check)

    loop.call_soon(check)
    loop.run_forever()
    return bool(predicate())
