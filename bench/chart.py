"""The bar chart of velkor's ratios to the baselines."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from .loops import BASELINES, SUBJECT


def write_chart(path: Path, data: dict[str, Any]) -> bool:
    """Draws the ratios in `data` (a record from report.record); False when
    there is nothing to draw."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    names, series = [], {b: [] for b in BASELINES}
    for name, entry in data["workloads"].items():
        ratios = entry.get("ratios", {})
        values = [ratios.get(f"{SUBJECT}/{b}") for b in BASELINES]
        if all(v is None for v in values):
            continue
        names.append(name)
        for b, v in zip(BASELINES, values):
            series[b].append(v)
    if not names:
        return False

    figure, axes = plt.subplots(figsize=(max(6.0, 0.9 * len(names) + 2), 4.8), dpi=110)
    width = 0.38
    colours = {"asyncio": "#4c72b0", "uvloop": "#dd8452"}
    for offset, b in zip((-width / 2, width / 2), BASELINES):
        xs = [i + offset for i, v in enumerate(series[b]) if v is not None]
        ys = [v for v in series[b] if v is not None]
        # Bars grow from 1.0, up where velkor is slower, down where faster.
        bars = axes.bar(xs, [y - 1 for y in ys], width, bottom=1.0,
                        label=f"{SUBJECT} / {b}", color=colours.get(b))
        axes.bar_label(bars, labels=[f"{y:.2g}" for y in ys], fontsize=7, padding=2)
    axes.axhline(1.0, color="black", linewidth=1)
    axes.set_yscale("log")
    drawn = [v for values in series.values() for v in values if v is not None and v > 0]
    axes.set_ylim(min(min(drawn), 1.0) / 1.6, max(max(drawn), 1.0) * 1.6)
    axes.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    axes.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    axes.yaxis.set_minor_formatter(NullFormatter())
    axes.set_xticks(range(len(names)), names, rotation=30, ha="right")
    axes.set_ylabel("velkor's median over the baseline's\n(log scale; below 1: velkor does better)")
    quick = " (quick run)" if data.get("quick") else ""
    python = data["python"].split()[0]
    axes.set_title(f"velkor against asyncio and uvloop{quick}\n"
                   f"Python {python}, {data['cpu_count']} CPUs, {data['date'][:10]}", fontsize=10)
    axes.legend(fontsize=8)
    axes.grid(axis="y", which="both", alpha=0.3)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, metadata={"Software": None})
    plt.close(figure)
    return True
