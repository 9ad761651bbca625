"""Fixtures for velkorio's own tests.

`loop` is a velkorio loop. `any_loop` runs a test on velkorio and on
asyncio's default loop, so that a test of asyncio's semantics is checked
against asyncio itself.
"""

import asyncio

import pytest

from velkorio_support import LOOP_FACTORIES, close_loop


@pytest.fixture
def loop():
    loop = LOOP_FACTORIES["velkorio"]()
    yield loop
    close_loop(loop)


@pytest.fixture(params=sorted(LOOP_FACTORIES))
def any_loop(request):
    loop = LOOP_FACTORIES[request.param]()
    yield loop
    close_loop(loop)


@pytest.fixture(autouse=True)
def no_current_loop():
    yield
    asyncio.set_event_loop(None)
