"""Real libraries (aiohttp, httpx, uvicorn with Starlette, asyncpg) on a chosen loop.

How to run: ``./dev test tests/libraries`` runs them on velkorio, and skips
each module, saying why, while ``import velkorio`` fails. To run them on
other loops (and so check the tests themselves), name the loops in
VELKOR_LIBRARY_LOOPS, a comma list of ``asyncio`` (asyncio's default loop),
``uvloop`` and ``velkorio``::

    VELKOR_LIBRARY_LOOPS=asyncio,uvloop ./dev test tests/libraries

Every test runs once per loop (its id's parameters begin with ``asyncio``,
``uvloop`` or ``velkorio``: ``[velkorio]``, or ``[velkorio-tls]`` for a test
that also runs over TLS, see certs.py). A test's coroutine runs in ``asyncio.Runner`` on a new loop
from that loop's factory, checks that the running loop is of that kind, and
fails if it does not finish within its time limit, or if anything reached
the loop's exception handler (an error a callback raised, a task that failed
unseen, a transport or session left open). Servers listen on 127.0.0.1 only.
"""

from __future__ import annotations

import asyncio

import pytest

import library_loops


@pytest.fixture(params=[kind.name for kind in library_loops.chosen()[0]])
def loop_kind(request) -> library_loops.LoopKind:
    kind = library_loops.KINDS[request.param]
    problem = kind.import_error()
    if problem:
        pytest.fail(f"{library_loops.ENV} asks for {kind.name}, which cannot be imported: {problem}")
    return kind


def _describe(context: dict) -> str:
    text = context.get("message", "")
    exc = context.get("exception")
    if exc is not None:
        text += f" ({type(exc).__name__}: {exc})"
    return text


@pytest.fixture
def run(loop_kind):
    """run(main, *args, timeout=30): runs ``main(*args)`` on a new loop of the chosen kind.

    Returns what the coroutine returns. Fails when the coroutine outlives
    ``timeout`` seconds, when the running loop is not of the chosen kind, and
    when anything reached the loop's exception handler during the run or the
    runner's shutdown.
    """

    def run(main, *args, timeout: float = 30.0):
        reported: list[dict] = []

        def factory():
            loop = loop_kind.factory()
            loop.set_exception_handler(lambda loop, context: reported.append(context))
            return loop

        async def checked():
            loop = asyncio.get_running_loop()
            assert isinstance(loop, loop_kind.loop_class), (
                f"running on {type(loop)!r}, not on {loop_kind.name}'s {loop_kind.loop_class!r}"
            )
            try:
                async with asyncio.timeout(timeout) as limit:
                    return await main(*args)
            except TimeoutError:
                if limit.expired():
                    raise AssertionError(f"still running after {timeout} s: a hang?") from None
                raise

        try:
            with asyncio.Runner(loop_factory=factory) as runner:
                result = runner.run(checked())
        except BaseException as exc:
            for context in reported:
                exc.add_note(f"loop exception handler: {_describe(context)}")
            raise
        assert not reported, "the loop's exception handler was called:\n" + "\n".join(
            _describe(context) for context in reported
        )
        return result

    return run
