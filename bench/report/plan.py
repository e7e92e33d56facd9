"""How many rounds of what, and the run that measures every scenario and writes the report."""

from __future__ import annotations

import datetime
import importlib.util
import os
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

from report import chart, corpora, profile, render
from report.measure import measure_side_by_side
from report.scenarios import Scenario, collect_scenario, scaling_scenario, trivial_scenarios

TIMEOUT = 600.0


@dataclass(frozen=True)
class Plan:
    rounds: int  # of the scenarios that take about a second or less a round
    slow_rounds: int  # of those that take several seconds
    scaling_sizes: tuple[int, ...]
    collect: bool  # Lib/test takes half a minute a round of pytest
    profile_tests: int  # the trivial tree profiled


FULL = Plan(rounds=5, slow_rounds=3, scaling_sizes=(10_000, 30_000, 100_000), collect=True,
            profile_tests=10_000)
QUICK = Plan(rounds=1, slow_rounds=1, scaling_sizes=(1_000, 3_000), collect=False,
             profile_tests=1_000)


@dataclass
class Report:
    started: str
    scenarios: list[Scenario] = field(default_factory=list)
    scaling: list[Scenario] = field(default_factory=list)
    imports: profile.Imports | None = None
    profile_tests: int = 0
    per_test_us: float = 0.0
    hotspots: list[profile.Hotspot] = field(default_factory=list)
    load: list[float] = field(default_factory=list)
    minutes: float = 0.0


def progress(message: str, started: float) -> None:
    print(f"[{time.monotonic() - started:6.0f} s] {message}", file=sys.stderr, flush=True)


def measure(scenario: Scenario, scratch: Path, plan: Plan, started: float) -> None:
    if scenario.skipped:
        progress(f"skipped: {scenario.skipped}", started)
        return
    root = scenario.tree or scratch / scenario.key
    if scenario.tree is None:
        scenario.write(root)
    progress(scenario.title, started)
    rounds = plan.slow_rounds if scenario.slow else plan.rounds
    scenario.results = measure_side_by_side(scenario.contenders, root, rounds, TIMEOUT)


def run(plan: Plan, output: Path) -> int:
    missing = [name for name in ("pytest", "matplotlib")
               if importlib.util.find_spec(name) is None]
    if missing or importlib.util.find_spec("trelkin") is None:
        print(f"missing in {sys.executable}: {', '.join(missing or ['trelkin'])} "
              "(bash scripts/bench installs them)", file=sys.stderr)
        return 2
    started = time.monotonic()
    report = Report(datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"))
    report.load.append(os.getloadavg()[0])
    with tempfile.TemporaryDirectory(prefix="trelkin-report-") as temporary:
        scratch = Path(temporary)
        report.scenarios = trivial_scenarios()
        if plan.collect:
            report.scenarios.append(collect_scenario())
        report.scaling = [scaling_scenario(tests) for tests in plan.scaling_sizes]
        for scenario in [*report.scenarios, *report.scaling]:
            measure(scenario, scratch, plan, started)
        progress("profile of a sequential run", started)
        tree = scratch / "profiled"
        corpora.write_trivial(tree, plan.profile_tests // 20, 20)
        report.imports = profile.measure_imports(tree)
        report.profile_tests = plan.profile_tests
        report.per_test_us, report.hotspots = profile.profile_sequential(
            tree, plan.profile_tests, scratch)
    output.mkdir(parents=True, exist_ok=True)
    report.load.append(os.getloadavg()[0])
    report.minutes = (time.monotonic() - started) / 60
    chart.draw(report.scenarios, report.scaling, output / "performance.png")
    (output / "performance.md").write_text(render.page(report), encoding="utf-8")
    progress(f"wrote {output / 'performance.md'} and {output / 'performance.png'}", started)
    print(render.headline_text(report))
    return 0
