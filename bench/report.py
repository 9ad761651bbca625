"""The printed table and the JSON record of a run."""

from __future__ import annotations

import dataclasses
import functools
import json
import os
import platform
import sys
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from .harness import LoopResult, Workload, summary
from .interpreters import COUNTS as INTERPRETER_COUNTS, LEFT_OUT as NOT_IN_INTERPRETERS
from .loops import (BASELINES, BUSY_POLL_US, BUSY_POLL_VARIANT, FLOOR, FLOOR_ABOUT, FLOORS,
                    SUBJECTS, TLS_FLOOR, TLS_FLOOR_ABOUT, VARIANT_SUBJECTS)

Results = dict[str, dict[str, LoopResult]]  # workload name -> loop name -> result


def ratio(workload: Workload, results: dict[str, LoopResult], subject: str,
          baseline: str) -> float | None:
    """The subject's median over the baseline's median."""
    if not workload.ratios:
        return None
    ours = results.get(subject)
    theirs = results.get(baseline)
    if ours is None or theirs is None:
        return None
    a, b = summary(workload, ours), summary(workload, theirs)
    if a is None or b is None or b["median"] <= 0:
        return None
    return a["median"] / b["median"]


def figure_ratio(workload: Workload, results: dict[str, LoopResult], subject: str,
                 baseline: str, key: str) -> float | None:
    """The subject's figure `key` of its summary over the baseline's."""
    if not workload.ratios or subject not in results or baseline not in results:
        return None
    a, b = summary(workload, results[subject]), summary(workload, results[baseline])
    if a is None or b is None or a.get(key) is None or not b.get(key):
        return None
    return a[key] / b[key]


def cpu_ratio(workload: Workload, results: dict[str, LoopResult], subject: str,
              baseline: str) -> float | None:
    """The subject's median CPU time per operation over the baseline's."""
    return figure_ratio(workload, results, subject, baseline, "cpu_median")


def subjects_of(results: dict[str, LoopResult]) -> list[str]:
    """The subjects whose ratios a workload's results carry: velkor and
    velkorio, and the variants of velkorio that ran it."""
    return [*SUBJECTS, *(s for s in VARIANT_SUBJECTS if s in results)]


def chain_minus_floor(workloads: list[Workload], results: Results) -> float | None:
    """What a chained callback costs velkor beyond its asyncio.Handle."""
    by_name = {w.name: w for w in workloads}
    if not {"chain", "floor"} <= by_name.keys() or "chain" not in results or "floor" not in results:
        return None
    chain = results["chain"].get("velkor")
    floor = results["floor"].get("velkor")
    if chain is None or floor is None:
        return None
    a, b = summary(by_name["chain"], chain), summary(by_name["floor"], floor)
    if a is None or b is None:
        return None
    return a["median"] - b["median"]


def _number(workload: Workload, value: float | None) -> str:
    if value is None:
        return "-"
    if workload.metric == "cpu-share":
        return f"{value:.2f}"
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.1f}"


def _times(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}x"


def table(workloads: list[Workload], results: Results, loop_names: list[str],
          repeats: int) -> str:
    """The loop workloads' table, then the servers' (rate workloads), then
    what failed and what was noted."""
    lines: list[str] = []
    failures: list[str] = []
    notes: list[str] = []
    for w in workloads:
        for name, result in results.get(w.name, {}).items():
            if summary(w, result) is None:
                failures.append(f"{w.name} on {name}: {result.error}")
            notes += [f"{w.name} on {name}: {n.render(result.runs)}" for n in result.notes.values()]
    plain = [w for w in workloads if not w.interpreters]
    loop_rows = [w for w in plain if w.group != "servers"]
    loop_interpreter_rows = [w for w in workloads if w.interpreters and w.group != "servers"]
    server_rows = [w for w in plain if w.group == "servers" and not w.light_load]
    server_interpreter_rows = [w for w in workloads if w.interpreters and w.group == "servers"]
    light_rows = [w for w in plain if w.group == "servers" and w.light_load]
    # A floor is no loop: each has a table of its own, and no column elsewhere.
    floor_tables = [([w for w in server_rows if floor in results.get(w.name, {})],
                     functools.partial(_floor_table, floor=floor)) for floor in FLOORS]
    loop_names = [n for n in loop_names if n not in FLOORS]
    for rows, draw in ((loop_rows, _loop_table), (loop_interpreter_rows, _interpreters_table),
                       (server_rows, _server_table), *floor_tables,
                       (server_interpreter_rows, _interpreters_table),
                       (light_rows, _light_table)):
        if rows:
            if lines:
                lines.append("")
            lines += draw(rows, results, loop_names, repeats)
    if failures:
        lines += ["", "failed:"] + [f"  {f}" for f in failures]
    if notes:
        lines += ["", "notes (runs include a small warm-up run):"] + [f"  {n}" for n in notes]
    return "\n".join(lines)


def _loop_table(workloads: list[Workload], results: Results, loop_names: list[str],
                repeats: int) -> list[str]:
    name_width = max(len(w.name) for w in workloads)
    unit_width = max(len(w.unit) for w in workloads)
    cell = 9
    group = 3 * cell
    lines = []
    head1 = " " * (name_width + 2 + unit_width)
    head2 = f"{'workload':<{name_width}}  {'unit':<{unit_width}}"
    # A variant of a loop gets a column only where a workload ran on it.
    loop_names = [n for n in loop_names if n not in VARIANT_SUBJECTS
                  or any(n in results.get(w.name, {}) for w in workloads)]
    for name in loop_names:
        head1 += f"  {name:>{group}}"
        head2 += "  " + "".join(f"{h:>{cell}}" for h in ("median", "min", "cpu"))
    pairs = [(s, b) for s in SUBJECTS if s in loop_names for b in BASELINES if b in loop_names]
    ratio_cell = max([cell] + [len(s) + 1 for s, _ in pairs]) + 1
    for s, b in pairs:
        head1 += f"  {s + '/':>{ratio_cell}}"
        head2 += f"  {b:>{ratio_cell}}"
    lines += [head1, head2, "-" * len(head2)]
    for w in workloads:
        per_loop = results.get(w.name, {})
        row = f"{w.name:<{name_width}}  {w.unit:<{unit_width}}"
        for name in loop_names:
            result = per_loop.get(name)
            if result is None:
                row += "  " + f"{'-':>{cell}}" * 3
                continue
            figures = summary(w, result)
            if figures is None:
                row += f"  {'FAILED':>{group}}"
            else:
                row += "  " + "".join(f"{_number(w, figures.get(k)):>{cell}}"
                                      for k in ("median", "min", "cpu_median"))
        for s, b in pairs:
            row += f"  {_times(ratio(w, per_loop, s, b)):>{ratio_cell}}"
        lines.append(row)
    lines.append("-" * len(head2))
    difference = chain_minus_floor(workloads, results)
    if difference is not None:
        lines.append(f"velkor chain minus floor: {difference:,.1f} ns per callback")
    lines.append(f"median and min over {repeats} repetitions; cpu: median process CPU time "
                 "(all threads) per operation;")
    lines.append("ratios: the median of velkor or velkorio over the baseline's, below 1 "
                 "favours velkor or velkorio.")
    return lines


def _rate_rows(workloads: list[Workload], results: Results, title: str, shown: list[str],
               pairs: list[tuple[str, str]]) -> list[str]:
    """The head and rows of a servers' table: per loop shown, requests/s
    (the median and the best) and CPU us per request; per pair, the first's
    medians over the second's, of requests/s and of CPU per request."""
    name_width = max([len(w.name) for w in workloads] + [len(title)])
    cell = 9
    group = 3 * cell
    head1 = f"{title:<{name_width}}"
    head2 = f"{'workload':<{name_width}}"
    for name in shown:
        head1 += f"  {name:>{group}}"
        head2 += "  " + "".join(f"{h:>{cell}}" for h in ("req/s", "best", "cpu us"))
    for s, b in pairs:
        head1 += f"  {f'{s}/{b}':>{2 * cell}}"
        head2 += "  " + "".join(f"{h:>{cell}}" for h in ("req/s", "cpu/req"))
    lines = [head1, head2, "-" * len(head2)]
    for w in workloads:
        per_loop = results.get(w.name, {})
        row = f"{w.name:<{name_width}}"
        for name in shown:
            result = per_loop.get(name)
            figures = summary(w, result) if result is not None else None
            if result is None:
                row += "  " + f"{'-':>{cell}}" * 3
            elif figures is None:
                row += f"  {'FAILED':>{group}}"
            else:
                cpu = figures.get("cpu_median")
                row += "  " + "".join(f"{_number(w, v):>{cell}}" for v in (
                    figures["median"], figures["max"], None if cpu is None else cpu / 1000))
        for s, b in pairs:
            row += "  " + "".join(f"{_times(v):>{cell}}" for v in (
                ratio(w, per_loop, s, b), cpu_ratio(w, per_loop, s, b)))
        lines.append(row)
    lines.append("-" * len(head2))
    return lines


def _server_table(workloads: list[Workload], results: Results, loop_names: list[str],
                  repeats: int) -> list[str]:
    shown = [n for n in loop_names if any(n in results.get(w.name, {}) for w in workloads)]
    pairs = [(s, b) for s in SUBJECTS if s in shown for b in BASELINES if b in shown]
    lines = _rate_rows(workloads, results, "servers", shown, pairs)
    lines.append(f"req/s: median and best over {repeats} repetitions; cpu us: the server "
                 "process's median CPU time per request, in microseconds;")
    lines.append("ratios: velkorio's median over the baseline's, req/s above 1 and "
                 "cpu/req below 1 favour velkorio.")
    return lines + [""] + _faults_table(workloads, results, shown)


def _faults_table(workloads: list[Workload], results: Results, shown: list[str]) -> list[str]:
    """The servers' page faults per request: fresh memory touched, most
    often a heap grown again after glibc trimmed it."""
    title = "page faults"
    name_width = max([len(w.name) for w in workloads] + [len(title)])
    cell = 10
    head1, head2 = _loop_heads(f"{title:<{name_width}}", f"{'workload':<{name_width}}", shown,
                               ("per req",), cell)
    lines = [head1, head2, "-" * len(head2)]
    for w in workloads:
        per_loop = results.get(w.name, {})
        row = f"{w.name:<{name_width}}"
        for name in shown:
            row += _loop_cells(w, per_loop.get(name), cell, 1, lambda figures: (
                "-" if figures.get("faults_per_request") is None
                else f"{figures['faults_per_request']:.2f}",))
        lines.append(row)
    lines.append("-" * len(head2))
    lines.append("the server process's minor page faults over the requests served, median over "
                 "the repetitions.")
    return lines


def _floor_table(workloads: list[Workload], results: Results, loop_names: list[str],
                 repeats: int, floor: str) -> list[str]:
    """The rows that ran the C echo server `floor`: its figures, and each
    subject's over them."""
    pairs = [(s, floor) for s in SUBJECTS if any(s in results.get(w.name, {}) for w in workloads)]
    title, about, source = FLOORS[floor]
    lines = _rate_rows(workloads, results, f"floor: {title}", [floor], pairs)
    lines.append(f"{floor}: {about} ({source}),")
    lines.append("under the same client, its repetitions interleaved with the loops'. ratios: "
                 "velkorio's median over")
    lines.append("the floor's; cpu/req: velkorio's server's CPU time per request in multiples "
                 "of the floor's.")
    return lines


def _loop_heads(head1: str, head2: str, shown: list[str], heads: tuple[str, ...],
                cell: int) -> tuple[str, str]:
    """The two header lines, with a block of `heads` under each loop shown."""
    for name in shown:
        head1 += f"  {name:>{len(heads) * cell}}"
        head2 += "  " + "".join(f"{h:>{cell}}" for h in heads)
    return head1, head2


def _loop_cells(w: Workload, result, cell: int, count: int, cells) -> str:
    """One loop's block of `count` cells in a row: dashes where it did not
    run, FAILED where it failed, else what `cells(figures)` gives."""
    if result is None:
        return "  " + f"{'-':>{cell}}" * count
    figures = summary(w, result)
    if figures is None:
        return f"  {'FAILED':>{count * cell}}"
    return "  " + "".join(f"{v:>{cell}}" for v in cells(figures))


def _cores(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}"


def _interpreters_table(workloads: list[Workload], results: Results, loop_names: list[str],
                        repeats: int) -> list[str]:
    """Rows run in one interpreter and in two at once (all loop rows or all
    server rows): per loop, the aggregate rate of each run, the scaling and
    the CPU time per operation of each run; then each subject's rates over
    each baseline's."""
    servers = workloads[0].group == "servers"
    title = "servers in interpreters" if servers else "interpreters"
    cpu_unit, cpu_scale = ("us", 1000) if servers else ("ns", 1)
    name_width = max([len(w.name) for w in workloads] + [len(title)])
    unit_width = max(len(w.unit) for w in workloads)
    shown = [n for n in loop_names if any(n in results.get(w.name, {}) for w in workloads)]
    one, two = INTERPRETER_COUNTS
    heads = (f"{one} interp", f"{two} interps", f"{two}/{one}", f"cpu {cpu_unit} {one}",
             f"cpu {cpu_unit} {two}", f"cores {two}")
    cell = 11
    head1, head2 = _loop_heads(f"{title:<{name_width}}  {'':<{unit_width}}",
                               f"{'workload':<{name_width}}  {'unit':<{unit_width}}",
                               shown, heads, cell)
    pairs = [(s, b) for s in SUBJECTS if s in shown for b in BASELINES if b in shown]
    for s, b in pairs:
        head1 += f"  {f'{s}/{b}':>{2 * cell}}"
        head2 += "  " + "".join(f"{h:>{cell}}" for h in heads[:2])
    lines = [head1, head2, "-" * len(head2)]
    for w in workloads:
        per_loop = results.get(w.name, {})
        row = f"{w.name:<{name_width}}  {w.unit:<{unit_width}}"
        def cells(figures):
            cpu = [figures.get(f"cpu_ns_per_op_{n}") for n in INTERPRETER_COUNTS]
            return (_number(w, figures.get(f"per_second_{one}")),
                    _number(w, figures.get(f"per_second_{two}")),
                    _times(figures.get("scaling")),
                    *(_number(w, None if c is None else c / cpu_scale) for c in cpu),
                    _cores(figures.get(f"cores_{two}")))

        for name in shown:
            row += _loop_cells(w, per_loop.get(name), cell, len(heads), cells)
        for s, b in pairs:
            row += "  " + "".join(
                f"{_times(figure_ratio(w, per_loop, s, b, f'per_second_{n}')):>{cell}}"
                for n in INTERPRETER_COUNTS)
        lines.append(row)
    lines.append("-" * len(head2))
    what = ("requests per second the server answered" if servers
            else "operations per second over all the interpreters")
    lines.append(f"{one} interp, {two} interps: {what}, median over {repeats} repetitions, each "
                 f"interpreter on its own loop")
    lines.append(f"in its own thread; {two}/{one}: the median over the repetitions of each one's "
                 f"{two}-interpreter figure over its")
    lines.append(f"{one}-interpreter one; cpu: the {'server ' if servers else ''}process's median "
                 f"CPU time per {'request' if servers else 'operation'}, in "
                 f"{'microseconds' if servers else 'nanoseconds'}, every thread included;")
    lines.append(f"cores {two}: that CPU time over the wall time of the {two}-interpreter run, "
                 f"the CPUs it kept busy (below {two}: the interpreters")
    lines.append("did not all run all the time, the machine being busy with "
                 f"{'the load generator or ' if servers else ''}other work).")
    if servers:
        lines.append("One server process, a loop and a listening socket per interpreter on one "
                     "port (SO_REUSEPORT); the")
        lines.append("load generator runs on the same CPUs.")
    left_out = [n for n in NOT_IN_INTERPRETERS if n in loop_names]
    if left_out:
        lines.append(f"{' and '.join(left_out)} are left out: their modules do not load in a "
                     "sub-interpreter.")
    lines.append("ratios: the subject's median over the baseline's; above 1 favours the subject.")
    return lines


def _percent(value: float | None) -> str:
    if value is None:
        return "-"
    return f"{value:.3f}" if value < 0.1 else f"{value:.2f}" if value < 10 else f"{value:.1f}"


def _light_table(workloads: list[Workload], results: Results, loop_names: list[str],
                 repeats: int) -> list[str]:
    """The servers at light load: a block of figures per loop, then the
    ratios of each subject (busy-polling velkorio too) to each baseline."""
    name_width = max([len(w.name) for w in workloads] + [len("light load")])
    shown = [n for n in loop_names if any(n in results.get(w.name, {}) for w in workloads)]
    cell = 8
    heads = ("req/s", "cpu us", "p50 us", "p99 us", "% CPU")
    head1, head2 = _loop_heads(f"{'light load':<{name_width}}", f"{'workload':<{name_width}}",
                               shown, heads, cell)
    lines = [head1, head2, "-" * len(head2)]
    for w in workloads:
        per_loop = results.get(w.name, {})
        row = f"{w.name:<{name_width}}"
        def cells(figures):
            rate = w.metric == "rate"
            cpu = figures.get("cpu_median") if rate else None
            return (_number(w, figures["median"] if rate else None),
                    _number(w, None if cpu is None else cpu / 1000),
                    _number(w, figures.get("p50_us")), _number(w, figures.get("p99_us")),
                    _percent(figures.get("cpu_percent")))

        for name in shown:
            row += _loop_cells(w, per_loop.get(name), cell, len(heads), cells)
        lines.append(row)
    lines.append("-" * len(head2))

    subjects = [s for s in (*SUBJECTS, *VARIANT_SUBJECTS) if s in shown]
    pairs = [(s, b) for s in subjects for b in BASELINES if b in shown]
    if pairs:
        ratio_heads = ("req/s", "cpu", "p99")
        head1 = f"{'ratios':<{name_width}}"
        head2 = f"{'workload':<{name_width}}"
        for s, b in pairs:
            head1 += f"  {f'{s}/{b}':>{len(ratio_heads) * cell}}"
            head2 += "  " + "".join(f"{h:>{cell}}" for h in ratio_heads)
        lines += [head1, head2, "-" * len(head2)]
        for w in workloads:
            per_loop = results.get(w.name, {})
            row = f"{w.name:<{name_width}}"
            for s, b in pairs:
                if w.metric == "rate":
                    values = (ratio(w, per_loop, s, b), cpu_ratio(w, per_loop, s, b),
                              figure_ratio(w, per_loop, s, b, "p99_us"))
                else:  # the CPU share of an idle server
                    values = (None, ratio(w, per_loop, s, b), None)
                row += "  " + "".join(f"{_times(v):>{cell}}" for v in values)
            lines.append(row)
        lines.append("-" * len(head2))
    lines.append(f"medians over {repeats} repetitions. cpu us: the server's CPU time per "
                 "request; p50, p99: a request's latency")
    lines.append("at the client, from sending its first byte to receiving the answer's last; "
                 "% CPU: the server's CPU")
    lines.append("time over the wall time, of one core. velkorio runs with busy polling off, "
                 f"velkorio-poll with {BUSY_POLL_US} us")
    lines.append("(VELKORIO_BUSY_POLL). ratios: the subject's median over the baseline's; "
                 "req/s above 1, and cpu (per")
    lines.append("request, or the idle server's % CPU) and p99 below 1, favour the subject.")
    return lines


def _versions() -> dict[str, str | None]:
    found: dict[str, str | None] = {}
    for module in ("uvloop", "velkor", "velkorio"):
        try:
            imported = __import__(module)
        except ImportError:
            found[module] = None
            continue
        version = getattr(imported, "__version__", None)
        found[module] = version or getattr(imported, "__file__", None)
    return found


def record(workloads: list[Workload], results: Results, *, quick: bool, repeats: int,
           timeout: float, missing: dict[str, str]) -> dict[str, Any]:
    out: dict[str, Any] = {
        "date": datetime.now(timezone.utc).replace(microsecond=0).isoformat(),
        "python": sys.version,
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "machine": platform.machine(),
        "cpu_count": os.cpu_count(),
        "usable_cpu_count": os.process_cpu_count(),
        "versions": _versions(),
        "quick": quick,
        "repeats": repeats,
        "timeout_seconds": timeout,
        "unavailable_loops": missing,
        "subjects": list(SUBJECTS),
        "baselines": list(BASELINES),
        # The loops that run as another with a setting of their own.
        "variants": {BUSY_POLL_VARIANT: {"of": "velkorio", "busy_poll_us": BUSY_POLL_US}},
        # Not loops: the servers that the echo-protocol and tls-echo-protocol
        # rows run as their floors.
        "floor": {"name": FLOOR, "description": FLOOR_ABOUT},
        "tls_floor": {"name": TLS_FLOOR, "description": TLS_FLOOR_ABOUT},
        "workloads": {},
    }
    for w in workloads:
        per_loop = results.get(w.name, {})
        entry: dict[str, Any] = {
            "description": w.description,
            "group": w.group,
            "metric": w.metric,
            "unit": w.unit,
            "better": "higher" if w.metric == "rate" else "lower",
            "loops": {},
        }
        for name, result in per_loop.items():
            entry["count"] = result.count
            entry["loops"][name] = {
                "status": "failed" if result.error is not None else "ok",
                "error": result.error,
                "runs": result.runs,
                "notes": [dataclasses.asdict(n) for n in result.notes.values()],
                **(summary(w, result) or {}),
                "samples": [dataclasses.asdict(s) for s in result.samples],
            }
        subjects = subjects_of(per_loop)
        entry["ratios"] = {f"{s}/{b}": ratio(w, per_loop, s, b)
                           for s in subjects for b in BASELINES}
        if w.metric == "rate":
            # The ratios above are of requests per second; these of the
            # server's CPU time per request.
            entry["cpu_ratios"] = {f"{s}/{b}": cpu_ratio(w, per_loop, s, b)
                                   for s in subjects for b in BASELINES}
        if w.interpreters:
            # The ratios above are of the two-interpreter run; these of
            # each run's rate and of the scaling.
            entry["interpreters"] = list(INTERPRETER_COUNTS)
            entry["interpreter_ratios"] = {
                f"{s}/{b}": {key: figure_ratio(w, per_loop, s, b, key) for key in (
                    *(f"per_second_{n}" for n in INTERPRETER_COUNTS), "scaling")}
                for s in subjects for b in BASELINES}
            entry["left_out"] = dict(NOT_IN_INTERPRETERS)
        for floor in (f for f in FLOORS if f in per_loop):
            # velkorio's (and any subject's) requests/s and CPU per request
            # over the C echo server's.
            entry["floor_ratios"] = {f"{s}/{floor}": ratio(w, per_loop, s, floor)
                                     for s in subjects}
            entry["floor_cpu_ratios"] = {f"{s}/{floor}": cpu_ratio(w, per_loop, s, floor)
                                         for s in subjects}
        if w.light_load and w.metric == "rate":
            entry["p99_ratios"] = {f"{s}/{b}": figure_ratio(w, per_loop, s, b, "p99_us")
                                   for s in subjects for b in BASELINES}
        out["workloads"][w.name] = entry
    out["chain_minus_floor_ns"] = chain_minus_floor(workloads, results)
    return out


def write_json(path: Path, data: dict[str, Any]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(data, indent=2) + "\n")
