"""The report's chart: every target's ratio against its limit, and CPU time and peak memory
by number of tests."""

from __future__ import annotations

import statistics
from collections.abc import Sequence
from pathlib import Path

from report.scenarios import Scenario


def draw(scenarios: Sequence[Scenario], scaling: Sequence[Scenario], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (targets, curve, memory) = plt.subplots(
        1, 3, figsize=(16, 5.5), gridspec_kw={"width_ratios": [1.6, 1, 1]})
    labels, achieved, colours = [], [], []
    for scenario in [*scenarios, *scaling]:
        if not scenario.results:
            continue
        for target in scenario.targets:
            ratio = target.ratio(scenario.results, target.metrics[0])
            # Shown as the share of the target reached: 1 or more is met.
            share = ratio / target.limit if target.faster else target.limit / ratio
            labels.append(f"{scenario.key}: {target.contender}\n{target.describe()}")
            achieved.append(share)
            colours.append("tab:green" if target.met(ratio) else "tab:red")
    positions = range(len(labels))
    targets.barh(positions, achieved, color=colours)
    targets.axvline(1.0, color="black", linewidth=1)
    targets.set_yticks(list(positions), labels, fontsize=7)
    targets.invert_yaxis()
    targets.set_xlabel("share of the target reached (CPU time; ≥ 1 is met)")
    targets.set_title("Targets")

    sizes = [int(s.key.split("-")[1]) for s in scaling]
    if scaling:
        for label in scaling[0].results:
            cpu = [statistics.median(r.cpu for r in s.results[label]) for s in scaling]
            peak = [statistics.median(r.peak_mib for r in s.results[label]) for s in scaling]
            curve.plot(sizes, cpu, marker="o", label=label)
            memory.plot(sizes, peak, marker="o", label=label)
    for axes, title, unit in ((curve, "CPU time", "seconds"),
                              (memory, "peak RSS of the process tree", "MiB")):
        axes.set_xlabel("trivial tests")
        axes.set_ylabel(unit)
        axes.set_title(title)
        axes.grid(alpha=0.3)
        axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
