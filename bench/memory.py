"""Memory held by pending timers, measured in a fresh process per loop so
that one loop's peak cannot hide another's.

The parent calls measure(); the child is ``python -m bench.memory LOOP COUNT``
and prints one JSON object."""

from __future__ import annotations

import gc
import json
import resource
import subprocess
import sys
import time
from pathlib import Path

from . import loops
from .harness import Sample

DELAY = 3600.0  # never due while we look
SETTLE = 0.2  # seconds for work a loop hands to other threads to land


def measure(loop: str, count: int, timeout: float) -> Sample:
    root = Path(__file__).resolve().parent.parent
    try:
        child = subprocess.run(
            [sys.executable, "-m", "bench.memory", loop, str(count)],
            cwd=root, capture_output=True, text=True, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"the measuring process did not finish within {timeout:g} s") from None
    if child.returncode != 0:
        tail = " | ".join(child.stderr.strip().splitlines()[-3:])
        raise RuntimeError(f"the measuring process exited with status {child.returncode}: {tail}")
    figures = json.loads(child.stdout.strip().splitlines()[-1])
    if loop in loops.loaded_builds and figures.get("build") != loops.loaded_builds[loop]:
        raise RuntimeError(f"the measuring process loaded another build of {loop} than this one "
                           "(was it rebuilt during the run?)")
    return Sample(figures["schedule_wall_ns"], figures["schedule_cpu_ns"],
                  value=figures["growth_bytes"], extra=figures)


def _noop() -> None:
    pass


def _peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def _child(loop_name: str, count: int) -> None:
    import psutil

    kinds, missing = loops.available()
    if loop_name in missing:
        sys.exit(missing[loop_name])
    kind = next(k for k in kinds if k.name == loop_name)
    process = psutil.Process()
    loop = kind.new()
    call_later = loop.call_later
    gc.collect()
    gc.disable()
    rss_before = process.memory_info().rss
    peak_before = _peak_rss()
    wall = time.perf_counter_ns()
    cpu = time.process_time_ns()
    for _ in range(count):
        call_later(DELAY, _noop)
    cpu = time.process_time_ns() - cpu
    wall = time.perf_counter_ns() - wall
    rss_scheduled = process.memory_info().rss
    time.sleep(SETTLE)
    rss_after = process.memory_info().rss
    peak_after = _peak_rss()
    # getrusage's peak counts only if it moved while we looked (it lags the
    # current RSS a little, and an earlier peak, from imports, says nothing).
    peak = max(rss_scheduled, rss_after)
    if peak_after > peak_before:
        peak = max(peak, peak_after)
    print(json.dumps({
        "loop": loop_name,
        "count": count,
        "rss_before": rss_before,
        "rss_scheduled": rss_scheduled,
        "rss_after": rss_after,
        "peak_before": peak_before,
        "peak_after": peak_after,
        "growth_bytes": peak - rss_before,
        "schedule_wall_ns": wall,
        "schedule_cpu_ns": cpu,
        # Which build of our module it measured (None for the baselines).
        "build": loops.loaded_builds.get(loop_name),
    }), flush=True)
    # The timers stay pending: a velkor loop needs nothing more, the others
    # are closed as usual.
    kind.dispose(loop)


if __name__ == "__main__":
    _child(sys.argv[1], int(sys.argv[2]))
