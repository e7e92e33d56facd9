"""Worker processes against running in one process, and against pytest-xdist.

Four synthetic projects, generated in a temporary directory, each timed as whole commands
side by side:

- CPU-bound: 16 files of one pure-Python test taking about 0.25 s. `trelkin -n 2` at most
  0.65 of `trelkin --sequential`'s time, and at most that of `pytest -n 2`;
- sleeping: 40 files of 5 tests that sleep 20 ms. `trelkin -n 8` at least 5 times faster
  than `trelkin --sequential`;
- 10,000 trivial tests in 100 files. `trelkin -n 2` (processes) within 1.3 times
  `trelkin --threads -n 2`;
- one file with one trivial test. `trelkin -n 2` within 1.3 times `trelkin --sequential`:
  what starting a worker costs.

Every run is a fresh process; the commands of a project take turns, after one warm-up run
each (which also writes the bytecode caches), and the figures are medians. The CPU-bound
test's loop is sized on this machine before the runs.

    .venv/bin/python bench/bench_workers.py [--runs N] [--case TEXT]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from _common import Table, median, noise
from bench_cli import ensure_pytest

CPU_SECONDS = 0.25


def cpu_loop_count(seconds: float) -> int:
    """How many rounds of the CPU-bound test's loop take ``seconds`` here, from the fastest
    of several timings: the one other processes disturbed least."""
    rounds = 1_000_000
    fastest = min(_loop_seconds(rounds) for _ in range(5))
    return int(rounds * seconds / fastest)


def _loop_seconds(rounds: int) -> float:
    started = time.perf_counter()
    total = 0
    for value in range(rounds):
        total += value * value
    return time.perf_counter() - started


def write_cpu(root: Path) -> None:
    rounds = cpu_loop_count(CPU_SECONDS)
    test = (
        "def test_cpu():\n"
        "    total = 0\n"
        f"    for value in range({rounds}):\n"
        "        total += value * value\n"
        "    assert total > 0\n"
    )
    for index in range(16):
        (root / f"test_cpu{index:02d}.py").write_text(test)


def write_sleeping(root: Path) -> None:
    tests = "".join(f"def test_{index}():\n    time.sleep(0.02)\n\n" for index in range(5))
    for index in range(40):
        (root / f"test_sleep{index:02d}.py").write_text("import time\n\n" + tests)


def write_trivial(root: Path) -> None:
    for index in range(100):
        tests = "".join(f"def test_{t}():\n    assert {t} + 1 == {t + 1}\n\n" for t in range(100))
        (root / f"test_mod{index:03d}.py").write_text(tests)


def write_one(root: Path) -> None:
    (root / "test_one.py").write_text("def test_one():\n    assert 1 + 1 == 2\n")


@dataclass
class Target:
    label: str
    measured: str  # the command whose time is compared
    baseline: str  # with this one's
    limit: float  # measured / baseline at most this (or, with at_least, baseline / measured)
    at_least: bool = False


@dataclass
class Case:
    name: str
    write: Callable[[Path], None]
    commands: dict[str, list[str]]  # label -> arguments after the program
    targets: list[Target]


def cases(scripts: Path) -> list[Case]:
    trelkin = [str(scripts / "trelkin"), "-q", "-p", "no:cacheprovider"]
    pytest = [str(scripts / "pytest"), "-q", "-p", "no:cacheprovider"]
    return [
        Case(
            "CPU-bound: 16 files x 0.25 s",
            write_cpu,
            {
                "trelkin -n 2": [*trelkin, "-n", "2"],
                "trelkin --sequential": [*trelkin, "--sequential"],
                "pytest -n 2": [*pytest, "-n", "2"],
            },
            [
                Target("-n 2 / --sequential", "trelkin -n 2", "trelkin --sequential", 0.65),
                Target("-n 2 / pytest -n 2", "trelkin -n 2", "pytest -n 2", 1.0),
            ],
        ),
        Case(
            "sleeping: 40 files x 5 tests x 20 ms",
            write_sleeping,
            {
                "trelkin -n 8": [*trelkin, "-n", "8"],
                "trelkin --sequential": [*trelkin, "--sequential"],
            },
            [Target("--sequential / -n 8", "trelkin -n 8", "trelkin --sequential", 5.0,
                    at_least=True)],
        ),
        Case(
            "10,000 trivial tests in 100 files",
            write_trivial,
            {
                "trelkin -n 2": [*trelkin, "-n", "2"],
                "trelkin --threads -n 2": [*trelkin, "--threads", "-n", "2"],
            },
            [Target("processes / threads", "trelkin -n 2", "trelkin --threads -n 2", 1.3)],
        ),
        Case(
            "one file, one trivial test",
            write_one,
            {
                "trelkin -n 2": [*trelkin, "-n", "2"],
                "trelkin --sequential": [*trelkin, "--sequential"],
            },
            [Target("-n 2 / --sequential", "trelkin -n 2", "trelkin --sequential", 1.3)],
        ),
    ]


def timed(command: list[str], cwd: Path) -> float:
    dropped = ("PYTEST_ADDOPTS", "RAYON_NUM_THREADS", "PYTHONDONTWRITEBYTECODE")
    env = {
        key: value for key, value in os.environ.items()
        if key not in dropped and not key.startswith("PYTEST_XDIST_")
    }
    started = time.perf_counter()
    result = subprocess.run(
        command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )
    elapsed = time.perf_counter() - started
    if result.returncode != 0:
        raise SystemExit(
            f"{' '.join(command)} failed ({result.returncode}) in {cwd}:\n"
            f"{result.stdout[-3000:]}{result.stderr[-3000:]}"
        )
    return elapsed


def measure(commands: dict[str, list[str]], root: Path, runs: int) -> dict[str, list[float]]:
    """``runs`` wall times of each command, taking turns after a warm-up run each."""
    times: dict[str, list[float]] = {label: [] for label in commands}
    for command in commands.values():
        timed(command, root)
    for _ in range(runs):
        for label, command in commands.items():
            times[label].append(timed(command, root))
    return times


def ratios(target: Target, times: dict[str, list[float]]) -> list[float]:
    """The target's ratio within each round, whose spread is the figure's noise."""
    pairs = zip(times[target.measured], times[target.baseline], strict=True)
    return [base / ours if target.at_least else ours / base for ours, base in pairs]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--runs", type=int, default=5, help="timed runs of each command")
    parser.add_argument("--case", default="", help="only the projects whose name has this")
    arguments = parser.parse_args()
    runs = arguments.runs
    ensure_pytest()
    scripts = Path(sys.executable).parent
    table = Table()
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} processors, medians of {runs} runs")
    with tempfile.TemporaryDirectory(prefix="trelkin-bench-workers-") as temporary:
        chosen = [case for case in cases(scripts) if arguments.case.lower() in case.name.lower()]
        for index, case in enumerate(chosen):
            root = Path(temporary) / str(index)
            root.mkdir()
            case.write(root)
            times = measure(case.commands, root, runs)
            table.heading(case.name)
            for label, values in times.items():
                table.figure(f"  {label}", f"{median(values):.3f} s", noise(values))
            for target in case.targets:
                per_round = ratios(target, times)
                table.target(
                    f"  {target.label}", median(per_round), "x", target.limit,
                    at_most=not target.at_least, noise=noise(per_round),
                )
    print(table.render())
    if table.missed:
        print(f"missed: {', '.join(table.missed)}")
    return 1 if table.missed else 0


if __name__ == "__main__":
    raise SystemExit(main())
