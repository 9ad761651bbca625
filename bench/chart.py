"""The bar chart of velkor's and velkorio's ratios to the baselines."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from .loops import BASELINES, SUBJECTS

# A hue per baseline, a shade per subject: velkor dark and plain, velkorio
# light and hatched, so that the pairs stay apart in grey too.
COLOURS = {
    ("velkor", "asyncio"): "#2f5597",
    ("velkorio", "asyncio"): "#9db7e0",
    ("velkor", "uvloop"): "#c55a11",
    ("velkorio", "uvloop"): "#f4b183",
}
HATCHES = {"velkor": None, "velkorio": "//"}


def write_chart(path: Path, data: dict[str, Any]) -> bool:
    """Draws the ratios in `data` (a record from report.record); False when
    there is nothing to draw."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    all_pairs = [(s, b) for s in SUBJECTS for b in BASELINES]
    names, rows = [], []
    for name, entry in data["workloads"].items():
        ratios = entry.get("ratios", {})
        values = [ratios.get(f"{s}/{b}") for s, b in all_pairs]
        if entry.get("better") == "higher":
            # Requests per second: drawn as the baseline's over ours, so
            # that below 1 favours our loop here too.
            values = [None if v is None or v <= 0 else 1 / v for v in values]
        if all(v is None for v in values):
            continue
        names.append(name)
        rows.append(values)
    if not names:
        return False
    # Only the pairs with a figure somewhere get a bar and a legend entry (a
    # run without uvloop or velkorio has fewer).
    drawn_pairs = [i for i in range(len(all_pairs)) if any(r[i] is not None for r in rows)]
    pairs = [all_pairs[i] for i in drawn_pairs]
    series = {all_pairs[i]: [r[i] for r in rows] for i in drawn_pairs}

    figure, axes = plt.subplots(figsize=(max(7.0, 1.1 * len(names) + 2), 6.0), dpi=110,
                                layout="constrained")
    width = 0.84 / len(pairs)
    for index, pair in enumerate(pairs):
        offset = (index - (len(pairs) - 1) / 2) * width
        xs = [i + offset for i, v in enumerate(series[pair]) if v is not None]
        ys = [v for v in series[pair] if v is not None]
        subject, baseline = pair
        # Bars grow from 1.0, up where our loop is slower, down where faster.
        bars = axes.bar(xs, [y - 1 for y in ys], width, bottom=1.0,
                        label=f"{subject} / {baseline}", color=COLOURS.get(pair),
                        hatch=HATCHES.get(subject), edgecolor="white", linewidth=0.4)
        axes.bar_label(bars, labels=[f"{y:.2g}" for y in ys], fontsize=6.5, padding=2,
                       rotation=90)
    axes.axhline(1.0, color="black", linewidth=1)
    axes.set_yscale("log")
    drawn = [v for values in series.values() for v in values if v is not None and v > 0]
    # Room above and below for the rotated labels.
    axes.set_ylim(min(min(drawn), 1.0) / 2.2, max(max(drawn), 1.0) * 2.2)
    axes.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    axes.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    axes.yaxis.set_minor_formatter(NullFormatter())
    axes.set_xticks(range(len(names)), names, rotation=30, ha="right")
    for boundary in range(1, len(names)):
        axes.axvline(boundary - 0.5, color="grey", linewidth=0.5, alpha=0.3)
    axes.set_xlim(-0.5, len(names) - 0.5)
    axes.set_ylabel("our loop's median over the baseline's (servers: the baseline's\n"
                    "requests/s over ours; log scale; below 1: our loop does better)")
    quick = " (quick run)" if data.get("quick") else ""
    python = data["python"].split()[0]
    subjects = " and ".join(dict.fromkeys(s for s, _ in pairs))
    baselines = " and ".join(dict.fromkeys(b for _, b in pairs))
    axes.set_title(f"{subjects} against {baselines}{quick}\n"
                   f"Python {python}, {data['cpu_count']} CPUs, {data['date'][:10]}", fontsize=10)
    # Under the workloads' names, where no bar can hide beneath it.
    figure.legend(fontsize=8, ncols=len(pairs), loc="outside lower center", frameon=False)
    axes.grid(axis="y", which="both", alpha=0.3)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, metadata={"Software": None})
    plt.close(figure)
    return True
