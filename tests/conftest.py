import pytest

import velkor


@pytest.fixture
def loop():
    loop = velkor.VelkorLoop()
    yield loop
    del loop
