"""Loop workloads in several interpreters at once.

Each interpreter (concurrent.interpreters) runs one of the suite's loop
workloads on a loop of its own, in a thread of its own, under its own
interpreter lock. The parent creates them, lets each import what it needs,
make its loop and run a small untimed round, and starts the clock once all
of them wait at the start of their measured section; they are released
together through a pipe, and the run ends with the last of them to finish.
The figure is the aggregate: every interpreter's operations over that span.

Loops whose modules do not load in a sub-interpreter are left out."""

from __future__ import annotations

import contextlib
import gc
import importlib
import os
import select
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterator

from . import loops
from .harness import Sample, Trial, WrongResult

# The loops that can run in a sub-interpreter, and their factories.
LOOPS = {"asyncio": ("asyncio", "new_event_loop"), "velkorio": ("velkorio", "new_event_loop")}
# Those that cannot, and why.
LEFT_OUT = {
    "uvloop": "uvloop's extension modules do not load in a sub-interpreter",
    "velkor": "velkor's extension module does not load in a sub-interpreter",
}
# The rows compare this many interpreters at once with one.
COUNTS = (1, 2)

Body = Callable[[Trial], None]


class InterpreterFailed(Exception):
    """A sub-interpreter's run went wrong: the message says which and how."""


@dataclass(frozen=True)
class Run:
    """A run over one or more interpreters: every interpreter's operations,
    the wall time from the start to the last one's end, and the process's CPU
    time over it (or over `span_ns`, where that differs)."""

    operations: int
    wall_ns: int
    cpu_ns: int
    span_ns: int = 0

    @property
    def per_second(self) -> float:
        return self.operations * 1e9 / self.wall_ns

    @property
    def cores(self) -> float:
        """The process's CPU time over the wall time: how many CPUs it kept busy."""
        return self.cpu_ns / (self.span_ns or self.wall_ns)


def scaling_sample(one: Run, two: Run, counted: str = "operations") -> Sample:
    """A repetition's sample: the figures of the two-interpreter run (the
    workload's rate and CPU time per operation), with both runs' figures and
    the scaling in its extra. `counted` names what an operation is."""
    extra: dict[str, Any] = {counted: two.operations}
    for n, run in zip(COUNTS, (one, two)):
        extra[f"per_second_{n}"] = run.per_second
        extra[f"cpu_ns_per_op_{n}"] = run.cpu_ns / run.operations
        extra[f"cores_{n}"] = run.cores
    extra["scaling"] = two.per_second / one.per_second
    return Sample(two.wall_ns, two.cpu_ns, value=two.per_second, extra=extra)


# In each sub-interpreter.

class _Released(Trial):
    """A Trial whose measured section waits for the parent's start signal:
    it writes a byte to `ready`, then blocks reading one from `go`."""

    def __init__(self, kind: loops.LoopKind, loop: Any, count: int, timeout: float,
                 ready: int, go: int) -> None:
        super().__init__(kind, loop, count, timeout)
        self._ready, self._go = ready, go
        self.end_ns = 0
        self.cpu_end_ns = 0

    @contextlib.contextmanager
    def timed(self) -> Iterator[None]:
        os.write(self._ready, b"r")
        if os.read(self._go, 1) != b"g":
            raise InterpreterFailed("the start signal never came")
        gc.disable()
        start = time.perf_counter_ns()
        try:
            yield
        finally:
            self.end_ns = time.perf_counter_ns()
            self.cpu_end_ns = time.process_time_ns()
            gc.enable()
            self.sample = Sample(self.end_ns - start, 0)


def _kind(name: str) -> loops.LoopKind:
    module, factory = LOOPS[name]
    return loops.LoopKind(name, getattr(importlib.import_module(module), factory),
                          lambda loop: loop.close())


def _round(body: Body, trial: Trial, timeout: float) -> str | None:
    """Runs `body` on `trial`, its loop stopped if it still runs after
    `timeout` seconds, then disposes of the loop; what went wrong, if
    anything."""
    loop = trial.loop
    fired = False

    def stop() -> None:
        nonlocal fired
        fired = True
        loop.call_soon_threadsafe(loop.stop)

    # Not a daemon thread: a sub-interpreter may not start one.
    watchdog = threading.Timer(timeout, stop)
    watchdog.start()
    error = None
    try:
        body(trial)
    except WrongResult as failure:
        error = f"wrong result: {failure}"
    except Exception as failure:
        error = f"{type(failure).__name__}: {failure}"
    finally:
        watchdog.cancel()
        watchdog.join()
        trial.kind.dispose(loop)
    if fired:
        return f"did not finish within {timeout:g} s" + (f" ({error})" if error else "")
    if error is None and trial.sample is None:
        return "the workload took no measurement"
    return error


def run_here(body_name: tuple[str, str], loop_name: str, count: int, timeout: float,
             ready: int, go: int) -> dict[str, Any]:
    """What each interpreter does: a small untimed round of the workload body
    named by (module, function), then the measured run on a fresh loop once
    the parent releases it. A loop still running after `timeout` seconds is
    stopped. Returns when it ended, the process's CPU clock then, the build
    of the loop's module, and what went wrong, if anything."""
    module, function = body_name
    body = getattr(importlib.import_module(module), function)
    kind = _kind(loop_name)
    deadline = time.monotonic() + timeout
    error = _round(body, Trial(kind, kind.new(), max(1, count // 20), timeout), timeout)
    end_ns = cpu_end_ns = 0
    if error is not None:
        error = f"(warming up) {error}"
    else:
        trial = _Released(kind, kind.new(), count, timeout, ready, go)
        error = _round(body, trial, max(0.001, deadline - time.monotonic()))
        end_ns, cpu_end_ns = trial.end_ns, trial.cpu_end_ns
    build = loops.module_identity(sys.modules[loops._BUILD_MODULES[loop_name]]) \
        if loop_name in loops._BUILD_MODULES else None
    return {"end_ns": end_ns, "cpu_end_ns": cpu_end_ns, "error": error, "build": build}


def _enter(*args: Any) -> dict[str, Any]:
    # Handed to Interpreter.call, which takes a function without globals or
    # closure as it is, to run it with the interpreter's __main__ for its
    # globals: this one imports what it needs. (A workload body goes by
    # name, for the same reason: one that uses no globals would be taken as
    # it is and miss its module's.)
    from bench.interpreters import run_here

    return run_here(*args)


# In the parent.

def _await_ready(fd: int, count: int, deadline: float) -> str | None:
    """None once `count` interpreters wait at their start; otherwise why not."""
    for _ in range(count):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return "the interpreters were not ready in time"
        if os.read(fd, 1) != b"r":
            return "an interpreter ended before its measured run"
    return None


def run_together(body: Body, loop_name: str, count: int, interpreters: int,
                 deadline: float) -> Run:
    """`body` with `count` operations in each of `interpreters` fresh
    sub-interpreters at once, each on its own loop in its own thread. Fails
    if any of them fails, or runs past `deadline` (time.monotonic)."""
    from concurrent import interpreters as subinterpreters

    timeout = max(0.001, deadline - time.monotonic())
    body_name = (body.__module__, body.__qualname__)
    created = []
    threads: list[threading.Thread] = []
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    outcomes: list[dict[str, Any]] = [{} for _ in range(interpreters)]

    def run(index: int) -> None:
        try:
            outcomes[index] = created[index].call(_enter, body_name, loop_name, count,
                                                  timeout, ready_w, go_r)
        except subinterpreters.ExecutionFailed as failure:
            excinfo = failure.excinfo
            outcomes[index] = {"error": f"{excinfo.type.__name__}: {excinfo.msg}"}
        except BaseException as failure:
            outcomes[index] = {"error": f"{type(failure).__name__}: {failure}"}
        finally:
            os.write(ready_w, b"d")  # ends the parent's wait if it never got ready

    try:
        for _ in range(interpreters):
            interp = subinterpreters.create()
            created.append(interp)
            # The same import path as here, for the bench package and the build.
            interp.prepare_main(path=tuple(sys.path))
            interp.exec("import sys\nsys.path[:] = path")
        threads = [threading.Thread(target=run, args=(i,), name=f"bench-interpreter-{i}")
                   for i in range(interpreters)]
        for thread in threads:
            thread.start()
        not_ready = _await_ready(ready_r, interpreters, deadline)
        cpu, start = time.process_time_ns(), time.perf_counter_ns()
        os.write(go_w, b"g" * interpreters)  # released together, or all let go on a failure
        for thread in threads:
            thread.join()
    finally:
        for thread in threads:
            thread.join()
        for interp in created:
            interp.close()
        for fd in (ready_r, ready_w, go_r, go_w):
            os.close(fd)

    for index, outcome in enumerate(outcomes):
        where = f"interpreter {index + 1} of {interpreters}"
        if outcome["error"] is not None:
            raise InterpreterFailed(f"{where}: {outcome['error']}")
        if loop_name in loops.loaded_builds and outcome["build"] != loops.loaded_builds[loop_name]:
            raise InterpreterFailed(f"{where}: loaded another build of {loop_name} than "
                                    "the main interpreter")
    if not_ready is not None:
        raise InterpreterFailed(not_ready)
    end = max(o["end_ns"] for o in outcomes)
    cpu_end = max(o["cpu_end_ns"] for o in outcomes)
    return Run(interpreters * count, end - start, cpu_end - cpu)


def scaling(body: Body) -> Body:
    """A workload body that runs `body` in one interpreter, then in two at
    once, and records both runs' figures."""
    def in_interpreters(t: Trial) -> None:
        deadline = time.monotonic() + t.timeout
        one, two = (run_together(body, t.kind.name, t.count, n, deadline) for n in COUNTS)
        t.record(scaling_sample(one, two))
    return in_interpreters
