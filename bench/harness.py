"""Running a workload's repetitions: a fresh loop and a clean heap for each,
a watchdog so that no repetition can hang the suite, and the figures."""

from __future__ import annotations

import contextlib
import gc
import os
import statistics
import sys
import threading
import time
import weakref
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

from .loops import LoopKind


class WrongResult(Exception):
    """A workload ended, but not the way it should have."""


@dataclass
class Sample:
    wall_ns: int
    cpu_ns: int  # process CPU time: every thread, the loops' own included
    value: float | None = None  # the figure of workloads that do not measure time
    extra: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Workload:
    name: str
    description: str
    body: Callable[["Trial"], None]
    count: int  # operations per repetition
    quick_count: int
    # "time": ns per operation; "cpu-share": CPU time over wall time, in
    # percent; "memory": Sample.value per operation; "value": Sample.value;
    # "rate": Sample.value operations per second (more is better), with the
    # CPU time per operation over extra["requests"] (or extra["operations"])
    # operations.
    metric: str = "time"
    unit: str = "ns/op"
    fresh_loop: bool = True  # the harness hands each repetition a new loop
    only: tuple[str, ...] | None = None  # the loops it runs on; None: all
    warm_up: bool = True  # one small untimed run per loop first
    ratios: bool = True
    # "loop": on the loop in this process, run by default; "servers": a
    # server process per loop under load, run on request (--servers).
    group: str = "loop"
    # A server at light load (or none): the report shows the request
    # latencies and the server's CPU share, in a table of its own.
    light_load: bool = False
    # Runs in one sub-interpreter, then in two at once: the report shows
    # both runs' figures and the scaling, in a table of its own.
    interpreters: bool = False


class Trial:
    """One repetition of one workload on one loop."""

    def __init__(self, kind: LoopKind, loop: Any, count: int, timeout: float) -> None:
        self.kind = kind
        self.loop = loop
        self.count = count
        self.timeout = timeout
        self.sample: Sample | None = None
        self.notes: list[tuple[str, int | None, int | None]] = []

    @contextlib.contextmanager
    def timed(self) -> Iterator[None]:
        """The measured section: the collector stays off inside it."""
        gc.disable()
        cpu = time.process_time_ns()
        wall = time.perf_counter_ns()
        try:
            yield
        finally:
            wall = time.perf_counter_ns() - wall
            cpu = time.process_time_ns() - cpu
            gc.enable()
            self.sample = Sample(wall, cpu)

    def record(self, sample: Sample) -> None:
        self.sample = sample

    def check(self, ok: bool, message: str) -> None:
        if not ok:
            raise WrongResult(message)

    def note(self, text: str, count: int | None = None, total: int | None = None) -> None:
        """Something odd but not wrong; `count` of `total` says how much."""
        self.notes.append((text, count, total))


class Watchdog:
    """Stops a loop that runs past its time, from another thread.

    If the loop does not stop either (it holds the interpreter lock, or it
    ignores stop()), faulthandler ends the process a while later with every
    thread's traceback, so a broken loop cannot hang the suite."""

    grace = 30.0

    def __init__(self, timeout: float, loop: Any) -> None:
        self.fired = False
        self._loop = loop
        self._timer = threading.Timer(timeout, self._fire)
        self._timer.daemon = True
        self._timer.name = "bench-watchdog"
        self._hard_timeout = timeout + self.grace

    def __enter__(self) -> "Watchdog":
        # Imported here: this module is imported in sub-interpreters too
        # (bench.interpreters), where faulthandler does not load.
        import faulthandler

        faulthandler.dump_traceback_later(self._hard_timeout, exit=True)
        self._timer.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._timer.cancel()
        self._timer.join()
        import faulthandler

        faulthandler.cancel_dump_traceback_later()
        self._loop = None

    def _fire(self) -> None:
        self.fired = True
        loop = self._loop
        if loop is None:
            return
        print(f"bench: watchdog: stopping a loop that ran past its time ({loop!r})",
              file=sys.stderr, flush=True)
        try:
            loop.call_soon_threadsafe(loop.stop)
        except Exception as error:  # a closed loop, say: nothing left to stop
            print(f"bench: watchdog: {error!r}", file=sys.stderr, flush=True)


def native_thread_count() -> int | None:
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return None


@dataclass
class Note:
    """One kind of observation, with its extent in each run that made it."""

    text: str
    hits: list[tuple[int | None, int | None]] = field(default_factory=list)

    def render(self, runs: int) -> str:
        extents = [f"{c}/{t}" if t is not None else f"{c}" for c, t in self.hits if c is not None]
        detail = f": {', '.join(extents)}" if extents else ""
        return f"{self.text} (in {len(self.hits)} of {runs} runs{detail})"


@dataclass
class LoopResult:
    """A workload's figures on one loop."""

    loop: str
    count: int
    samples: list[Sample] = field(default_factory=list)
    error: str | None = None
    notes: dict[str, Note] = field(default_factory=dict)
    runs: int = 0  # repetitions attempted, the warm-up included

    def add_note(self, text: str, count: int | None = None, total: int | None = None) -> None:
        self.notes.setdefault(text, Note(text)).hits.append((count, total))


def figures(workload: Workload, sample: Sample, count: int) -> tuple[float, float | None]:
    """A sample's figure in the workload's unit, and its CPU time per operation."""
    if workload.metric == "time":
        return sample.wall_ns / count, sample.cpu_ns / count
    if workload.metric == "cpu-share":
        return 100.0 * sample.cpu_ns / sample.wall_ns, None
    if workload.metric == "memory":
        assert sample.value is not None
        return sample.value / count, None
    if workload.metric == "value":
        assert sample.value is not None
        return sample.value, None
    if workload.metric == "rate":
        assert sample.value is not None
        return sample.value, sample.cpu_ns / sample.extra.get("requests",
                                                              sample.extra.get("operations"))
    raise ValueError(workload.metric)


def summary(workload: Workload, result: LoopResult) -> dict[str, float] | None:
    """Median and min of the figure (and of CPU time per operation)."""
    if result.error is not None or not result.samples:
        return None
    values = [figures(workload, s, result.count) for s in result.samples]
    main = [v for v, _ in values]
    out = {"median": statistics.median(main), "min": min(main)}
    if workload.metric == "rate":
        out["max"] = max(main)  # the best repetition
    cpu = [c for _, c in values if c is not None]
    if cpu:
        out["cpu_median"] = statistics.median(cpu)
        out["cpu_min"] = min(cpu)
    # Figures some server workloads add to their samples: the median of each
    # over the repetitions, where every repetition has one.
    for key in (*SAMPLE_FIGURES, *SCALING_FIGURES):
        extra = [s.extra.get(key) for s in result.samples]
        if all(v is not None for v in extra):
            out[key] = statistics.median(extra)
    return out


# Request latency percentiles in microseconds, the server's CPU time over
# the wall time as a percentage of one core, and its page faults per request.
SAMPLE_FIGURES = ("p50_us", "p99_us", "cpu_percent", "faults_per_request")
# The rows run in one interpreter and in two: for each run, operations per
# second over all of them, the process's CPU time per operation and its CPU
# time over the wall time (the CPUs it kept busy); and the two-interpreter
# rate over the one-interpreter rate.
SCALING_FIGURES = ("per_second_1", "per_second_2", "scaling", "cpu_ns_per_op_1",
                   "cpu_ns_per_op_2", "cores_1", "cores_2")


def run_once(workload: Workload, kind: LoopKind, count: int, timeout: float,
             result: LoopResult) -> Sample | None:
    """One repetition; a failure is recorded in `result` and returns None."""
    gc.collect()
    loop = kind.new() if workload.fresh_loop else None
    watched = weakref.ref(loop) if loop is not None and kind.name == "velkor" else None
    trial = Trial(kind, loop, count, timeout)
    error: str | None = None
    with Watchdog(timeout, loop) as watchdog:
        try:
            workload.body(trial)
        except WrongResult as wrong:
            error = f"wrong result: {wrong}"
        except Exception as failure:
            error = f"{type(failure).__name__}: {failure}"
    if watchdog.fired:
        error = f"did not finish within {timeout:g} s" + (f" ({error})" if error else "")
    if loop is not None:
        try:
            kind.dispose(loop)
        except Exception as failure:
            result.add_note(f"disposing of the loop raised {type(failure).__name__}: {failure}")
    trial.loop = None
    del loop
    if watched is not None:
        gc.collect()
        if watched() is not None:
            # References that velkor's worker threads drop wait for the next
            # time a velkor loop runs, is made or goes away: make one, so
            # that only a loop kept alive for good is reported.
            kind.new()
            gc.collect()
            if watched() is not None:
                result.add_note("the loop object outlived its last reference")
    result.runs += 1
    for note in trial.notes:
        result.add_note(*note)
    if error is None and trial.sample is None:
        error = "the workload took no measurement"
    if error is not None:
        result.error = error
        return None
    return trial.sample


def run_workload(workload: Workload, kinds: list[LoopKind], quick: bool, repeats: int,
                 timeout: float) -> dict[str, LoopResult]:
    """Every repetition of a workload on every loop, interleaved so that drift
    in the machine's state spreads over all loops alike."""
    count = workload.quick_count if quick else workload.count
    # A variant of a loop, or the floor, runs only where a workload asks for
    # it by name.
    chosen = [k for k in kinds if k.name in workload.only] if workload.only is not None \
        else [k for k in kinds if k.variant_of is None and not k.floor]
    results = {k.name: LoopResult(k.name, count) for k in chosen}
    if workload.warm_up:
        warm_count = max(1, count // 20)
        for kind in chosen:
            result = results[kind.name]
            # Its notes count; its figures do not.
            if run_once(workload, kind, warm_count, timeout, result) is None:
                result.error = f"(warming up) {result.error}"
    for _ in range(repeats):
        for kind in chosen:
            result = results[kind.name]
            if result.error is not None:
                continue  # one failure is enough: do not pay for the rest
            sample = run_once(workload, kind, count, timeout, result)
            if sample is not None:
                result.samples.append(sample)
    return results
