"""The report as Markdown: the headline of targets, each scenario's figures, scaling and
the profile, and the headline as plain text for the terminal."""

from __future__ import annotations

import os
import platform
import statistics
import subprocess
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

from report.measure import Measured
from report.scenarios import DEFAULT, SEQUENTIAL, Scenario, Target

if TYPE_CHECKING:
    from report.plan import Report

COMMAND = "bash scripts/bench"
# Time linear in the number of tests: the cost of each test added between the two largest
# sizes at most this multiple of its cost between the two smallest.
LINEAR_SLACK = 1.25


def table(header: Sequence[str], rows: Sequence[Sequence[str]], left: int = 1) -> str:
    rule = ["---" if index < left else "---:" for index in range(len(header))]
    return "\n".join("| " + " | ".join(row) + " |" for row in [header, rule, *rows])


def seconds(value: float) -> str:
    return f"{value:.2f} s" if value >= 1 else f"{value * 1e3:.0f} ms"


def times(value: float) -> str:
    return f"{value:.1f}×" if value >= 10 else f"{value:.2f}×"


def spread(values: Sequence[float]) -> str:
    """Half the interquartile range, relative to the median."""
    if len(values) < 2:
        return ""
    lower, _, upper = statistics.quantiles(values, n=4, method="inclusive")
    return f"±{(upper - lower) / 2 / statistics.median(values):.0%}"


def headline_rows(scenarios: Sequence[Scenario]) -> list[list[str]]:
    rows = []
    for scenario in scenarios:
        if not scenario.results:
            continue
        for target in scenario.targets:
            ratios = [target.ratio(scenario.results, metric) for metric in target.metrics]
            verdicts = ["met" if target.met(ratio) else "**missed**" for ratio in ratios]
            rows.append([scenario.title, target.contender, " / ".join(map(times, ratios)),
                         target.describe(), " / ".join(verdicts)])
    return rows


HEADLINE_HEADER = ["scenario", "contender", "ratio (CPU / wall)", "target", "met? (CPU / wall)"]


def scenario_section(scenario: Scenario) -> str:
    if scenario.skipped:
        return f"### {scenario.title}\n\n{scenario.skipped}\n"
    rows = []
    for contender in scenario.contenders:
        runs: list[Measured] = scenario.results[contender.label]
        cpu, wall = [run.cpu for run in runs], [run.wall for run in runs]
        rows.append([f"`{contender.label}`", seconds(statistics.median(cpu)), spread(cpu),
                     seconds(statistics.median(wall)), spread(wall),
                     f"{statistics.median(run.peak_mib for run in runs):.0f} MiB",
                     str(len(runs))])
    figures = table(["contender", "CPU", "noise", "wall", "noise", "peak RSS (tree)", "runs"],
                    rows)
    return f"### {scenario.title}\n\n{scenario.about}\n\n{figures}\n"


def marginal_us(scaling: Sequence[Scenario], label: str, metric: str) -> list[float]:
    """The cost of each test added from one size to the next, in µs."""
    sizes = [int(s.key.split("-")[1]) for s in scaling]
    figures = [statistics.median(getattr(run, metric) for run in s.results[label])
               for s in scaling]
    return [(figures[i + 1] - figures[i]) / (sizes[i + 1] - sizes[i]) * 1e6
            for i in range(len(sizes) - 1)]


def linearity_rows(scaling: Sequence[Scenario]) -> list[list[str]]:
    if len(scaling) < 3:
        return []
    rows = []
    for label in (DEFAULT, SEQUENTIAL, "floor"):
        for metric in ("cpu", "wall"):
            steps = marginal_us(scaling, label, metric)
            growth = steps[-1] / steps[0] if steps[0] > 0 else float("inf")
            rows.append([f"`{label}`", metric, *(f"{step:.1f} µs" for step in steps),
                         times(growth), "met" if growth <= LINEAR_SLACK else "**missed**"])
    return rows


def scaling_section(scaling: Sequence[Scenario]) -> str:
    rows = []
    for scenario in scaling:
        tests = int(scenario.key.split("-")[1])
        for contender in scenario.contenders:
            runs = scenario.results[contender.label]
            cpu = statistics.median(run.cpu for run in runs)
            rows.append([f"{tests:,}", f"`{contender.label}`", seconds(cpu),
                         seconds(statistics.median(run.wall for run in runs)),
                         f"{cpu / tests * 1e6:.1f} µs",
                         f"{statistics.median(run.peak_mib for run in runs):.0f} MiB"])
    text = ("Trivial tests, 100 a file, at each size side by side.\n\n"
            + table(["tests", "contender", "CPU", "wall", "CPU per test", "peak RSS (tree)"],
                    rows, 2))
    linear = linearity_rows(scaling)
    if linear:
        sizes = [s.key.split("-")[1] for s in scaling]
        steps = [f"per added test, {int(a):,} → {int(b):,}" for a, b in zip(sizes, sizes[1:])]
        text += (
            "\n\nTime is linear in the number of tests when each test added between the two "
            f"largest sizes costs at most {LINEAR_SLACK}× what it cost between the two "
            "smallest (start-up is left out by taking differences).\n\n"
            + table(["contender", "time", *steps, "growth", "linear?"], linear, 2))
    return text + "\n"


def profile_section(report: Report) -> str:
    parts = []
    if report.imports and report.imports.top_level:
        rows = [[f"`{name}`", f"{ms:.1f} ms"] for name, ms in report.imports.top_level]
        own = [[f"`{name}`", f"{ms:.1f} ms"] for name, ms in report.imports.by_self]
        parts += [
            f"Imports of `trelkin --sequential` (`python -X importtime`): "
            f"{report.imports.total_ms:.0f} ms in all.\n",
            "Outermost imports, with everything they import:\n",
            table(["module", "cumulative"], rows), "",
            "The modules that cost most on their own:\n", table(["module", "self"], own), "",
        ]
    if report.hotspots:
        rows = [[f"`{spot.function}`", f"{spot.calls:,}", f"{spot.own_us:.2f}",
                 f"{spot.cumulative_us:.2f}"] for spot in report.hotspots]
        parts += [
            f"cProfile of `trelkin -q --sequential` on {report.profile_tests:,} trivial "
            f"tests in {report.profile_tests // 20:,} files: {report.per_test_us:.1f} µs per "
            "test under the profiler, which slows every Python-level call alike (read the "
            "shares, not the absolute figures). Functions by their own time, per test:\n",
            table(["function", "calls", "own µs per test", "cumulative µs per test"], rows),
        ]
    return "\n".join(parts) + "\n"


def revision() -> str:
    completed = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                               text=True)
    return completed.stdout.strip() or "unknown"


def page(report: Report) -> str:
    load = ", ".join(f"{value:.1f}" for value in report.load)
    settings = table(["setting", "value"], [
        ["measured", f"{report.started} at revision {revision()}, in "
                     f"{report.minutes:.1f} minutes"],
        ["machine", f"{platform.machine()}, {os.cpu_count()} processors, shared"],
        ["load average (1 min) at the start and at the end", load],
        ["Python", f"{platform.python_implementation()} {sys.version.split()[0]}"],
    ])
    return "\n".join([
        "# Performance\n",
        f"Every figure comes from one run of `{COMMAND}`: whole commands, each run a fresh "
        "process with bytecode caching on (one untimed warm-up run of every contender "
        "first), the contenders of a scenario taking turns in rotating order. CPU time is "
        "user plus system time of the command and every process it started; peak memory is "
        "the largest resident set of the whole process tree. A ratio is the median of the "
        "ratios within each round, so that a slow spell of the shared machine touches both "
        "sides alike. `trelkin` is the default mode (worker processes); pytest runs as "
        "`pytest -q -p no:cacheprovider`. `bash scripts/bench --quick` is a smoke run "
        "written to `build/performance-quick/`.\n",
        settings, "",
        "## Targets\n",
        "Above 1 in a \"faster than\" row, trelkin is faster; in a \"≤\" row the ratio is "
        "trelkin's figure over the floor's or peer's.\n",
        table(HEADLINE_HEADER, headline_rows([*report.scenarios, *report.scaling]), 4), "",
        "![Ratios against their targets, and time and memory by number of tests]"
        "(performance.png)\n",
        "## Scenarios\n",
        *(scenario_section(scenario) for scenario in report.scenarios),
        "## Scaling to 100,000 tests\n",
        scaling_section(report.scaling),
        "## Where the time goes\n",
        profile_section(report),
        "## The floor\n",
        "`bench/report/floor.py` walks the tree, reads and parses each test file with `ast` to "
        "find its test functions, imports every module, calls every test with standard "
        "output and error swapped for a fresh buffer, counts outcomes and prints a "
        "summary: the work any runner of plain test functions must do, without fixtures, "
        "marks or reports.\n",
    ])


def headline_text(report: Report) -> str:
    rows = headline_rows([*report.scenarios, *report.scaling])
    widths = [max(len(row[i]) for row in [HEADLINE_HEADER, *rows]) for i in range(5)]
    return "\n".join("  ".join(cell.replace("**", "").ljust(width)
                               for cell, width in zip(row, widths))
                     for row in [HEADLINE_HEADER, *rows])
