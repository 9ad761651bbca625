"""Running out of memory: a failed call raises MemoryError and leaves the loop working.

Each test runs in a child whose address space is capped just above what it
uses, then filled, so that the loop's own allocations fail. AddressSanitizer
reserves far more address space than any cap allows, so these tests do not
run under it.
"""

import os

import pytest

from support import run_python

pytestmark = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's shadow memory does not fit under an address-space cap",
)

# Caps the address space and fills it; `release()` gives it all back. The
# child allocates everything with malloc (PYTHONMALLOC=malloc), so that
# filling it leaves no small block for the loop's own allocations either.
PRESSURE = """
import gc, resource

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

_soft, _hard = resource.getrlimit(resource.RLIMIT_AS)
_ballast = []

def fill():
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (64 << 20), _hard))
    for size in (1 << 20, 1 << 16, 4096, 1024, 256, 64, 16):
        try:
            while True:
                _ballast.append(bytes(size))
        except MemoryError:
            pass

def release():
    _ballast.clear()
    gc.collect()
    resource.setrlimit(resource.RLIMIT_AS, (_soft, _hard))
"""


def test_a_watch_that_cannot_be_added_leaves_the_registry_usable():
    result = run_python(
        PRESSURE
        + """
import os, velkor
loop = velkor.VelkorLoop()
r, w = os.pipe()
# A loop in use, as in a real program: this thread has met the loop's
# thread-local state, which the C library cannot allocate later.
loop.add_reader(r, print, ())
loop.remove_reader(r)
loop.call_soon(loop.stop)
loop.run_forever()
failures = 0
fill()
for _ in range(50):
    try:
        loop.add_reader(r, print, ("late",))
    except MemoryError:
        failures += 1
release()
print("failures seen:", failures > 0, flush=True)
got = []
def on_readable():
    got.append(os.read(r, 10))
    loop.remove_reader(r)
    loop.stop()
loop.add_reader(r, on_readable, ())
os.write(w, b"data")
loop.call_later(10, loop.stop)
loop.run_forever()
print("read", got, flush=True)
""",
        env={"PYTHONMALLOC": "malloc"},
    )
    assert "PanicException" not in result.stderr, result.stderr
    assert "failures seen: True" in result.stdout, result.stderr
    assert "read [b'data']" in result.stdout, result.stderr


def test_timers_that_fall_due_while_memory_is_short_still_run():
    result = run_python(
        PRESSURE
        + """
import time, velkor
loop = velkor.VelkorLoop()
loop.call_soon(loop.stop)
loop.run_forever()
fired = []
for i in range(200):
    loop.call_later(0.3, fired.append, i)
fill()
time.sleep(0.8)  # the timers fall due now, on the worker threads
release()
def check():
    if len(fired) == 200:
        loop.stop()
    else:
        loop.call_later(0.01, check)
loop.call_soon(check)
loop.call_later(5, loop.stop)
loop.run_forever()
print("fired", fired == list(range(200)), len(fired), flush=True)
""",
        env={"PYTHONMALLOC": "malloc"},
    )
    assert "fired True 200" in result.stdout, (result.stdout, result.stderr)
