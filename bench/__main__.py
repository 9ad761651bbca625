"""python3.14 -m bench [--quick] [--servers] [--only NAME[,NAME...]] [--json PATH] [--chart PATH]"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from .harness import run_workload
from . import loops
from .loops import available
from .report import record, table, write_json
from .workloads import BY_NAME, WORKLOADS

GROUPS = {group: [w.name for w in WORKLOADS if w.group == group]
          for group in dict.fromkeys(w.group for w in WORKLOADS)}

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
CHART = ROOT / "docs" / "bench.png"


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python3.14 -m bench",
        description="Runs the same workloads on asyncio's default loop, uvloop, velkor and "
                    "velkorio, side by side in this interpreter.")
    parser.add_argument("--quick", action="store_true",
                        help="fewer repetitions and smaller counts: a smoke run")
    parser.add_argument("--servers", action="store_true",
                        help="also run the server workloads: a server process per loop "
                             "under the C echo client or wrk")
    parser.add_argument("--only", metavar="NAME[,NAME...]",
                        help="run only these workloads (see --list), or groups of them: "
                             f"{', '.join(GROUPS)}")
    parser.add_argument("--list", action="store_true", help="list the workloads and exit")
    parser.add_argument("--repeat", type=int, metavar="N",
                        help="repetitions per workload and loop (default 5, 2 with --quick)")
    parser.add_argument("--timeout", type=float, default=60.0, metavar="SECONDS",
                        help="a repetition running longer fails (default 60)")
    parser.add_argument("--json", type=Path, metavar="PATH",
                        help="where the figures go "
                             f"(default {RESULTS.relative_to(ROOT)}/latest.json)")
    parser.add_argument("--chart", type=Path, metavar="PATH",
                        help=f"where the chart goes (default {CHART.relative_to(ROOT)}; for "
                             f"--quick or --only runs {RESULTS.relative_to(ROOT)}/bench.png, so "
                             "that a partial run does not replace the published chart)")
    args = parser.parse_args(argv)
    if args.repeat is not None and args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if args.timeout <= 0:
        parser.error("--timeout must be positive")
    if args.only:
        names = [n.strip() for n in args.only.split(",") if n.strip()]
        unknown = [n for n in names if n not in BY_NAME and n not in GROUPS]
        if unknown:
            parser.error(f"unknown workload(s) {', '.join(unknown)}; "
                         f"choose from {', '.join([*GROUPS, *BY_NAME])}")
        args.only = [w for n in names for w in GROUPS.get(n, [n])]
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.list:
        for group, names in GROUPS.items():
            print(f"{group}:")
            for w in (BY_NAME[n] for n in names):
                print(f"  {w.name:<18} {w.description} "
                      f"({w.count:,} / {w.quick_count:,} with --quick)")
        return 0
    kinds, missing = available()
    # velkor is what ./dev bench builds first; without it the build is not on
    # the path, and nothing of ours would be measured.
    if "velkor" in missing:
        print(f"bench: {missing['velkor']}", file=sys.stderr)
        return 2
    for reason in missing.values():
        print(f"bench: running without it: {reason}", file=sys.stderr)
    if args.only:
        workloads = [w for w in WORKLOADS if w.name in args.only]
    else:
        workloads = [w for w in WORKLOADS if w.group == "loop" or args.servers]
    repeats = args.repeat or (2 if args.quick else 5)

    results = {}
    started = time.monotonic()
    for w in workloads:
        began = time.monotonic()
        results[w.name] = run_workload(w, kinds, args.quick, repeats, args.timeout)
        failed = [name for name, r in results[w.name].items() if r.error is not None]
        status = f"failed on {', '.join(failed)}" if failed else "done"
        print(f"bench: {w.name}: {status} ({time.monotonic() - began:.1f} s)",
              file=sys.stderr, flush=True)
    print(f"bench: all done in {time.monotonic() - started:.0f} s", file=sys.stderr)
    now = loops.current_builds()
    rebuilt = {subject: now[subject] != build for subject, build in loops.loaded_builds.items()}
    for subject in (s for s, changed in rebuilt.items() if changed):
        print(f"bench: warning: {subject}'s module file changed on disk during the run "
              "(a rebuild?); this run measured the build it loaded first", file=sys.stderr)

    loop_names = [k.name for k in kinds]
    print(table(workloads, results, loop_names, repeats))

    data = record(workloads, results, quick=args.quick, repeats=repeats, timeout=args.timeout,
                  missing=missing)
    for subject, build in loops.loaded_builds.items():
        data[f"{subject}_build"] = build
        data[f"{subject}_rebuilt_during_run"] = rebuilt[subject]
    json_path = args.json or RESULTS / "latest.json"
    write_json(json_path, data)
    print(f"\nfigures: {json_path}")
    partial = args.quick or bool(args.only)
    chart_path = args.chart or (RESULTS / "bench.png" if partial else CHART)
    try:
        from .chart import write_chart
        drawn = write_chart(chart_path, data)
    except ImportError as error:
        print(f"bench: no chart: {error}", file=sys.stderr)
    else:
        print(f"chart: {chart_path}" if drawn else "chart: nothing to draw (no ratios)")
    return 1 if any(r.error is not None for per in results.values() for r in per.values()) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
