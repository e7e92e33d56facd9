"""Runs every benchmark of this directory side by side and writes the performance report.

    python bench/report.py              # the full run: about ten minutes on two processors
    python bench/report.py --quick      # small trees and one run of each: a smoke run,
                                        # written to build/performance-quick/
    python bench/report.py --output DIR # write the report somewhere else

Run it with the interpreter that has trelkin installed (the project's .venv), with pytest,
pytest-xdist and matplotlib beside it: `bash scripts/bench` sets all that up and runs it.
It writes `performance.md`, every figure with the machine, the interpreter and the tree it
was measured on, and `performance.png`, the scaling curves.

What runs, each measurement in a fresh process:

- Discovery (bench_discovery): `discover_tests` against the pure-Python floor, and a whole
  trelkin process against `pytest --collect-only` and, on the standard library's tests,
  unittest's loader; on the CPython standard library's test directory (when installed) and
  on synthetic trees of make_corpus.py. The same trees, from 100 to 20,000 files, give the
  scaling curves of time and peak memory against the floor.
- The runners (bench_runner): `run_tests_sequential` and `run_tests` against the floor on
  trivial tests, on tests that sleep and on CPU-bound tests, with the test files imported
  first; memory over repeated runs; run time from 1,000 to 100,000 tests.
- The whole command (bench_cli): `trelkin` against `pytest`, `pytest -n N` (pytest-xdist)
  and, on the same tests written as `unittest.TestCase` methods, `python -m unittest`.
- The worker pool (cpp/pool_bench.cpp), compiled and run as it is.

The machine may be shared and noisy: every figure is the median of several runs, the
contenders of a scenario take turns, and the ratios compare figures taken side by side.
The exit status is non-zero when a check of what the contenders found fails (the report is
written all the same) or when something fails to run.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import importlib.util
import os
import platform
import shlex
import subprocess
import sys
import tempfile
import textwrap
import time
from collections import defaultdict
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import bench_cli
import bench_discovery
import bench_runner
import make_corpus
from _common import (
    BENCH_DIR,
    child_environment,
    median,
    noise,
    run_fresh,
    source_of_tests,
    write_corpus,
)

ROOT = BENCH_DIR.parent
COMMAND = "bash scripts/bench"  # the command that makes the report, as the report names it
CHILD_TIMEOUT = 900.0
# The pool size of `trelkin -n` and `pytest -n` on the sleeping tests, as bench_runner and
# bench_cli use it: more threads than processors, since sleeping tests leave them idle.
WIDE = bench_runner.PARALLEL_THREADS
TESTS_PER_FILE = 100  # in the run-time scaling corpora, as in the trivial corpus


@dataclass(frozen=True)
class Plan:
    discovery_sizes: tuple[int, ...]  # files in the synthetic trees of the scaling curves
    discovery_scenarios: tuple[int, ...]  # of which the trees compared with pytest
    discovery_rounds: int  # trelkin, the floor and unittest, per tree
    pytest_rounds: tuple[int, ...]  # pytest --collect-only, per scenario tree
    stdlib_pytest_rounds: int
    run_sizes: tuple[int, ...]  # tests in the run-time scaling corpora
    run_rounds: int
    runner_rounds: int  # bench_runner's rounds, of which sleep_rounds time the sleeping tests
    sleep_rounds: int
    memory_runs: int
    slow_command_runs: int  # whole-command runs of the projects that take seconds a round ...
    fast_command_runs: int  # ... and of those that take about a second or less


FULL = Plan(
    discovery_sizes=(100, 300, 1_000, 3_000, 10_000, 20_000),
    discovery_scenarios=(1_000, 10_000),
    discovery_rounds=3,
    # pytest takes a minute and a half to collect the 10,000 files on two processors.
    pytest_rounds=(3, 2),
    stdlib_pytest_rounds=3,
    run_sizes=(1_000, 3_000, 10_000, 30_000, 100_000),
    run_rounds=5,
    runner_rounds=5,
    sleep_rounds=3,
    memory_runs=10,
    slow_command_runs=3,
    fast_command_runs=5,
)
QUICK = Plan(
    discovery_sizes=(100, 300, 1_000),
    discovery_scenarios=(300, 1_000),
    discovery_rounds=1,
    pytest_rounds=(1, 1),
    stdlib_pytest_rounds=1,
    run_sizes=(1_000, 3_000),
    run_rounds=1,
    runner_rounds=1,
    sleep_rounds=1,
    memory_runs=2,
    slow_command_runs=1,
    fast_command_runs=1,
)


def progress(message: str, started: float) -> None:
    print(f"[{time.monotonic() - started:6.0f} s] {message}", file=sys.stderr, flush=True)


# ---- figures and their tables -------------------------------------------------------------


@dataclass
class Entry:
    label: str
    seconds: list[float]
    trelkin: bool  # one of trelkin's own ways, as opposed to a floor or another tool
    peak_mib: float | None = None
    found: int | None = None  # tests found or run


@dataclass
class Scenario:
    """Contenders measured side by side; the first entry is the reference of the ratios."""

    key: str
    title: str
    about: str
    entries: list[Entry] = field(default_factory=list)

    @property
    def reference(self) -> Entry:
        return self.entries[0]

    def ratio(self, entry: Entry) -> float:
        """The entry's time over the reference's: the median of the ratios within each round
        when both were timed in the same rounds, so that a slow spell of the machine cancels
        out, else the ratio of the medians."""
        ours = self.reference.seconds
        if len(entry.seconds) == len(ours):
            return median([theirs / mine for theirs, mine in zip(entry.seconds, ours)])
        return median(entry.seconds) / median(ours)

    def get(self, label: str) -> Entry | None:
        return next((entry for entry in self.entries if entry.label == label), None)


def format_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1e3:.3g} ms"


def format_ratio(ratio: float) -> str:
    return f"{ratio:.1f}×" if ratio >= 10 else f"{ratio:.2f}×"


def markdown_table(header: Sequence[str], rows: Sequence[Sequence[str]], right: int) -> str:
    """A table whose columns from `right` on are numbers, aligned right."""
    rule = ["---" if index < right else "---:" for index in range(len(header))]
    lines = [header, rule, *rows]
    return "\n".join("| " + " | ".join(line) + " |" for line in lines)


def render_scenario(scenario: Scenario) -> str:
    with_peak = any(entry.peak_mib is not None for entry in scenario.entries)
    with_found = any(entry.found is not None for entry in scenario.entries)
    header = ["contender", "median", "runs", "noise", "time ÷ reference"]
    header += ["peak RSS"] * with_peak + ["tests"] * with_found
    rows = []
    for entry in scenario.entries:
        is_reference = entry is scenario.reference
        row = [
            f"**{entry.label}**" if is_reference else entry.label,
            format_time(median(entry.seconds)),
            str(len(entry.seconds)),
            noise(entry.seconds),
            "reference" if is_reference else format_ratio(scenario.ratio(entry)),
        ]
        if with_peak:
            row.append(f"{entry.peak_mib:.0f} MiB" if entry.peak_mib is not None else "")
        if with_found:
            row.append(f"{entry.found:,}" if entry.found is not None else "")
        rows.append(row)
    return f"### {scenario.title}\n\n{scenario.about}\n\n{markdown_table(header, rows, 1)}\n"


def slower_than(scenarios: Sequence[Scenario]) -> list[str]:
    """Every contender that is not trelkin and took less time than the scenario's reference."""
    found = []
    for scenario in scenarios:
        for entry in scenario.entries[1:]:
            # As shown: a tie at the table's precision is no loss.
            if not entry.trelkin and round(scenario.ratio(entry), 2) < 1:
                found.append(
                    f"- {scenario.title}: {entry.label} took {format_time(median(entry.seconds))}"
                    f" against {format_time(median(scenario.reference.seconds))} for "
                    f"{scenario.reference.label} ({format_ratio(scenario.ratio(entry))}). "
                    f"{explain(scenario, entry)}".rstrip()
                )
    return found


def explain(scenario: Scenario, entry: Entry) -> str:
    """Why a contender can come out ahead of trelkin in this scenario."""
    if entry.label == "floor" and scenario.key.startswith("run-"):
        return ("The floor calls functions it has already looked up and keeps nothing: no "
                "timing, no result records, no tracebacks.")
    if entry.label == "floor":
        return ("Parsing is the cost here, and trelkin's threads can't parse at the same "
                "time: each holds the interpreter lock while `ast` parses its file. The floor "
                "also returns plain tuples where trelkin builds `TestItem` records.")
    if scenario.key == "stdlib-process":
        return ("unittest's loader imports each module from the byte code cached beside it; "
                "trelkin parses the source of every file with `ast`, which on large files "
                "costs about as much.")
    if scenario.key == "command-trivial-unittest":
        return ("The difference lies in running each test: for every test trelkin's "
                "executor makes the `TestCase` instance by name, runs it through `debug()` "
                "and captures its output, where unittest runs the instances its loader made, "
                "without capturing output.")
    if scenario.key == "command-cpu":
        return ("CPU-bound tests can't run at the same time on trelkin's threads, which share "
                "one interpreter; pytest-xdist's processes can.")
    if scenario.key == "command-cpu-unittest":
        return ("The tests' own work is nearly all of it; `trelkin` runs the files on one "
                "thread per processor, and CPU-bound tests on threads that hand the "
                "interpreter lock to each other cost more than on one thread (see "
                "`trelkin --sequential`).")
    if scenario.key == "command-one-unittest":
        return ("With one test both commands are nearly all interpreter start-up and "
                "imports: a difference of milliseconds.")
    return ""


def memory_note(scaling: Scaling) -> str | None:
    """trelkin's peak memory in discovery against the floor's, on the largest tree, when it
    is the higher one."""
    ours, floor = scaling.peak["trelkin"][-1], scaling.peak["floor"][-1]
    if ours <= floor:
        return None
    return (
        f"Discovery's peak memory is above the floor's: {ours:.0f} MiB against {floor:.0f} MiB "
        f"at {scaling.files[-1]:,} files, {scaling.idle_mib:.0f} MiB of either being the "
        f"interpreter's own (see the scaling below).\n"
    )


def cpu_crossover(report: Report) -> str | None:
    """Where `pytest -n N` would overtake trelkin on CPU-bound tests, by a model in which
    each command costs a start-up plus work that grows in proportion to the suite: trelkin's
    work as measured, pytest's (measured sequentially) shared out over N processes."""
    cpu, one = report.scenario("command-cpu"), report.scenario("command-one")
    workers = os.cpu_count() or 1
    if cpu is None or one is None or workers < 2:
        return None
    parallel, sequential = cpu.get(f"pytest -n {workers}"), cpu.get("pytest")
    pytest_start = one.get("pytest")
    if parallel is None or sequential is None or pytest_start is None:
        return None
    trelkin_start = median(one.reference.seconds)
    trelkin_work = median(cpu.reference.seconds) - trelkin_start
    pytest_work = (median(sequential.seconds) - median(pytest_start.seconds)) / workers
    xdist_start = median(parallel.seconds) - pytest_work
    if trelkin_work <= pytest_work or xdist_start <= trelkin_start:
        return None
    factor = (xdist_start - trelkin_start) / (trelkin_work - pytest_work)
    return (
        f"On CPU-bound tests, by the figures of the whole command below (start-up taken from "
        f"the one-test project, work growing in proportion to the suite), `pytest -n "
        f"{workers}` overtakes trelkin once a suite holds about "
        f"{format_time(factor * trelkin_work)} of CPU-bound test code, {factor:.1f} times "
        f"the CPU-bound project measured here: its processes share that work out, which "
        f"trelkin's threads can't, but it first spends about {format_time(xdist_start)} "
        f"starting them.\n"
    )


# ---- discovery ----------------------------------------------------------------------------


def unittest_discover(root: str, top: str) -> dict[str, Any]:
    """unittest's own discovery, which imports every test module: its call time, its peak
    resident set and the number of tests it found. Runs in a fresh process."""
    import unittest

    start = time.perf_counter()
    suite = unittest.TestLoader().discover(root, top_level_dir=top)
    seconds = time.perf_counter() - start
    return {
        "seconds": seconds,
        "peak_kib": bench_discovery.peak_rss_kib(),
        "count": suite.countTestCases(),
    }


Results = dict[str, list[dict[str, Any]]]


def measure_discovery(
    root: str, rounds: int, pytest_rounds: int, unittest_top: str | None
) -> Results:
    """Each contender once a round, in alternating order, each in a fresh process; results
    of the in-process contenders carry the wall time of their whole process as "process"."""
    env = child_environment()
    # Neither pytest nor unittest may leave byte code in the trees.
    untouched = child_environment(PYTHONDONTWRITEBYTECODE="1")
    results: Results = defaultdict(list)
    for index in range(max(rounds, pytest_rounds)):
        contenders = []
        if index < rounds:
            contenders += ["trelkin", "floor"] + ["unittest"] * (unittest_top is not None)
        if index < pytest_rounds:
            contenders.append("pytest")
        for contender in reversed(contenders) if index % 2 else contenders:
            start = time.perf_counter()
            if contender == "pytest":
                result = run_fresh(
                    bench_discovery.collect_with_pytest, untouched, CHILD_TIMEOUT, root=root
                )
            elif contender == "unittest":
                result = run_fresh(
                    unittest_discover, untouched, CHILD_TIMEOUT, root=root, top=unittest_top
                )
            else:
                result = run_fresh(
                    bench_discovery.discover, env, CHILD_TIMEOUT, contender=contender, root=root
                )
            result["process"] = time.perf_counter() - start
            results[contender].append(result)
        if index < rounds:
            results["idle"].append(run_fresh(bench_discovery.idle, env, CHILD_TIMEOUT, root=root))
    return results


def peak_mib(runs: Sequence[dict[str, Any]]) -> float:
    return median([run["peak_kib"] for run in runs]) / 1024


def discovery_scenarios(key: str, name: str, results: Results) -> list[Scenario]:
    """The call against the floor's, and the whole process against the other tools'."""
    trelkin, floor = results["trelkin"], results["floor"]
    found = trelkin[0]["count"]
    call = Scenario(
        f"{key}-call",
        f"Discovery of {name}: the call",
        "`trelkin._core.discover_tests(root)` against the floor: the same rules in pure "
        "Python (`os.walk`, then `ast.parse` of each file and the same look at its "
        "definitions) on one thread. Peak RSS is the process's at the end of the call.",
    )
    for label, runs, ours in (("discover_tests", trelkin, True), ("floor", floor, False)):
        call.entries.append(
            Entry(label, [r["seconds"] for r in runs], ours, peak_mib(runs), runs[0]["count"])
        )
    process = Scenario(
        f"{key}-process",
        f"Discovery of {name}: the whole process",
        "A fresh interpreter that imports trelkin, calls `discover_tests` and sums up the "
        "items, against `pytest --collect-only -q -p no:cacheprovider`"
        + (" and one that calls `unittest.TestLoader().discover()`" if "unittest" in results
           else "")
        + ". pytest and unittest import every test module to find its tests, and collect by "
        "rules of their own, so their counts differ from trelkin's where the tree holds "
        "more than plain test functions and classes."
        + ("" if "unittest" in results else " unittest's discovery finds nothing in this "
           "tree: its directories are not packages and its tests are plain functions and "
           "classes, not `unittest.TestCase` methods."),
    )
    process.entries.append(
        Entry("trelkin process", [r["process"] for r in trelkin], True, peak_mib(trelkin), found)
    )
    if "pytest" in results:
        pytest = results["pytest"]
        process.entries.append(
            Entry(
                "pytest --collect-only",
                [r["seconds"] for r in pytest],
                False,
                peak_mib(pytest),
                pytest[0]["count"],
            )
        )
    if "unittest" in results:
        ours = results["unittest"]
        process.entries.append(
            Entry(
                "unittest TestLoader().discover()",
                [r["process"] for r in ours],
                False,
                peak_mib(ours),
                ours[0]["count"],
            )
        )
    return [call, process]


def discovery_checks(name: str, results: Results, pytest_agrees: bool) -> list[str]:
    """What the contenders found, as sentences; failures start with "FAILED"."""
    trelkin = results["trelkin"]
    items = bench_discovery.same(trelkin, "items")
    lines = []
    if items is None or items != bench_discovery.same(results["floor"], "items"):
        lines.append(f"FAILED: on {name}, trelkin and the floor found different tests.")
    else:
        lines.append(f"On {name}, trelkin and the floor found the same {trelkin[0]['count']:,} "
                     "tests.")
    if pytest_agrees and "pytest" in results:
        ids = bench_discovery.same(results["pytest"], "ids")
        if ids is None or ids != bench_discovery.same(trelkin, "ids"):
            lines.append(f"FAILED: on {name}, pytest collected other tests than trelkin found.")
        else:
            lines.append(f"On {name}, pytest collected the same tests.")
    return lines


# ---- the runners --------------------------------------------------------------------------


def measure_run_scaling(root: str, count: int, rounds: int) -> dict[str, list[float]]:
    """Wall times of the floor and both runners on `count` trivial tests, the files imported
    first, taking turns round by round. Runs in a fresh process."""
    import trelkin

    items = trelkin.discover_tests(root)
    floor = bench_runner.import_floor(items)
    # Untimed: imports every file through the executor and starts the pool's threads.
    trelkin.run_tests(items)
    contenders = [
        bench_runner.Contender("floor", lambda: bench_runner.run_floor(floor), None),
        bench_runner.Contender("sequential", lambda: trelkin.run_tests_sequential(items), count),
        bench_runner.Contender("parallel", lambda: trelkin.run_tests(items), count),
    ]
    times: dict[str, list[float]] = defaultdict(list)
    for index in range(rounds):
        bench_runner.measure_round(contenders, times, flip=index % 2 == 1)
    return times


def runner_scenarios(narrow: dict[str, Any], wide: dict[str, Any]) -> list[Scenario]:
    """bench_runner's figures: `narrow` from a process on the default pool, `wide` from one
    on WIDE threads."""
    threads = narrow["threads"]
    n, w = narrow["times"], wide["times"]
    trivial = Scenario(
        "run-trivial",
        f"{bench_runner.TRIVIAL_COUNT:,} trivial tests in {bench_runner.TRIVIAL_FILES} files, "
        "in process",
        "The runners called on discovered items, the files imported by an untimed first run, "
        "against the floor: a loop over the same functions that swaps `sys.stdout` and "
        "`sys.stderr` for fresh `io.StringIO` buffers around each call, what any runner that "
        "captures output must do and nothing more (no timing, no result records). "
        "`run_tests_sequential` and the floor were timed in both processes.",
        [
            Entry("run_tests_sequential", n["trivial sequential"] + w["trivial sequential"],
                  True, found=bench_runner.TRIVIAL_COUNT),
            Entry(f"run_tests, {threads} threads", n["trivial parallel"], True),
            Entry(f"run_tests, {WIDE} threads", w["trivial parallel"], True),
            Entry("floor", n["trivial floor"] + w["trivial floor"], False),
        ],
    )
    sleeping = Scenario(
        "run-sleep",
        f"{bench_runner.SLEEP_COUNT} tests sleeping {bench_runner.SLEEP_SECONDS * 1e3:g} ms in "
        f"{bench_runner.SLEEP_FILES} files, in process",
        "I/O-bound tests: the interpreter lock is free while a test sleeps, so the files "
        "run at the same time on the pool's threads.",
        [
            Entry(f"run_tests, {WIDE} threads", w["sleep parallel"], True,
                  found=bench_runner.SLEEP_COUNT),
            Entry("run_tests_sequential", w["sleep sequential"], True),
        ],
    )
    cpu_sequential = n["cpu sequential"] + w["cpu sequential"]
    per_test_ms = median(cpu_sequential) / bench_runner.CPU_COUNT * 1e3
    cpu = Scenario(
        "run-cpu",
        f"{bench_runner.CPU_COUNT} CPU-bound tests of about {per_test_ms:.1f} ms in "
        f"{bench_runner.CPU_FILES} files, in process",
        "Pure-Python arithmetic that holds the interpreter lock: threads can't run it at the "
        "same time, and what counts is that the parallel runner costs no more than the "
        "sequential one.",
        [
            Entry("run_tests_sequential", cpu_sequential, True, found=bench_runner.CPU_COUNT),
            Entry(f"run_tests, {threads} threads", n["cpu parallel"], True),
            Entry(f"run_tests, {WIDE} threads", w["cpu parallel"], True),
        ],
    )
    return [trivial, sleeping, cpu]


# ---- the whole command --------------------------------------------------------------------


@dataclass
class Project:
    key: str
    title: str
    root: Path
    runs: int
    commands: dict[str, tuple[list[str], dict[str, str]]]  # the first one is the reference
    about: str = ""


def write_unittest_twin(root: Path, files: int, tests: int, body: str, header: str = "") -> None:
    """`files` files of one `unittest.TestCase` class with `tests` methods whose body is
    `body`: the tests of a function project, written so that unittest finds them."""
    block = textwrap.indent(textwrap.dedent(body).strip("\n"), " " * 8)
    methods = "".join(f"\n    def test_{index:04d}(self):\n{block}\n" for index in range(tests))
    source = f"import unittest\n{header}\n\nclass TestGroup(unittest.TestCase):\n{methods}"
    write_corpus(root, files, source)


def command_projects(base: Path, plan: Plan) -> list[Project]:
    """Writes the projects under `base` and returns each with the commands that run it."""
    scripts = Path(sys.executable).parent

    def trelkin(*options: str) -> tuple[list[str], dict[str, str]]:
        return [str(scripts / "trelkin"), "-q", *options], {}

    def pytest(workers: int = 0) -> tuple[list[str], dict[str, str]]:
        # Plugin autoloading off, xdist loaded by name: the leanest pytest there is, whatever
        # else is installed beside it.
        xdist = ["-p", "xdist.plugin", "-n", str(workers)] if workers else []
        argv = [str(scripts / "pytest"), "-q", "-p", "no:cacheprovider", *xdist]
        return argv, {"PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1"}

    unittest = ([sys.executable, "-m", "unittest", "-q"], {})

    def project(
        key: str,
        title: str,
        runs: int,
        write: Callable[[Path], None],
        commands: dict[str, tuple[list[str], dict[str, str]]],
        about: str = "",
    ) -> Project:
        root = base / key
        root.mkdir(parents=True)
        write(root)
        # Keeps pytest from taking settings from any directory above the project.
        (root / "pytest.ini").write_text("[pytest]\n", encoding="utf-8")
        return Project(key, title, root, runs, commands, about)

    def twin(files: int, tests: int, body: str, header: str = "") -> Callable[[Path], None]:
        return lambda root: write_unittest_twin(root, files, tests, body, header)

    processors = os.cpu_count() or 1
    cpu_files, cpu_tests = bench_runner.CPU_FILES, bench_runner.CPU_TESTS_PER_FILE
    cpu_body = bench_runner.CPU_BODY.format(
        iterations=bench_runner.calibrate_spin(bench_runner.CPU_SECONDS)
    )
    sleep_files, sleep_tests = bench_runner.SLEEP_FILES, bench_runner.SLEEP_TESTS_PER_FILE
    sleep_body = f"time.sleep({bench_runner.SLEEP_SECONDS})"
    slow, fast = plan.slow_command_runs, plan.fast_command_runs
    both = {
        "trelkin": trelkin(),
        "trelkin --sequential": trelkin("--sequential"),
        "python -m unittest": unittest,
    }
    both_wide = {f"trelkin -n {WIDE}": trelkin("-n", str(WIDE)), "python -m unittest": unittest}
    return [
        project("trivial", "10,000 trivial tests in 100 files", slow, bench_cli.write_trivial, {
            "trelkin": trelkin(),
            "trelkin --sequential": trelkin("--sequential"),
            "pytest": pytest(),
            f"pytest -n {processors}": pytest(processors),
        }),
        project("trivial-unittest", "the 10,000 trivial tests as unittest.TestCase methods",
                fast, twin(100, 100, "assert 1 + 1 == 2"), both),
        project("sleep", f"{sleep_files} files of {sleep_tests} tests sleeping "
                f"{bench_runner.SLEEP_SECONDS * 1e3:g} ms, {WIDE} workers",
                slow, bench_cli.write_sleeping, {
                    f"trelkin -n {WIDE}": trelkin("-n", str(WIDE)),
                    f"pytest -n {WIDE}": pytest(WIDE),
                    "pytest": pytest(),
                }),
        project("sleep-unittest", "the sleeping tests as unittest.TestCase methods",
                slow, twin(sleep_files, sleep_tests, sleep_body, "import time"), both_wide),
        project("cpu", f"{cpu_files} files of {cpu_tests} CPU-bound tests",
                slow, lambda root: write_corpus(
                    root, cpu_files, source_of_tests(cpu_tests, cpu_body)), {
                    "trelkin": trelkin(),
                    "trelkin --sequential": trelkin("--sequential"),
                    "pytest": pytest(),
                    f"pytest -n {processors}": pytest(processors),
                }, f"Each test spins a pure-Python loop sized, at the start of the run, to "
                f"take about {bench_runner.CPU_SECONDS * 1e3:g} ms. "),
        project("cpu-unittest", "the CPU-bound tests as unittest.TestCase methods",
                fast, twin(cpu_files, cpu_tests, cpu_body), both),
        project("one", "one file, one test", fast, bench_cli.write_one,
                {"trelkin": trelkin(), "pytest": pytest()}),
        project("one-unittest", "one file, one test, as a unittest.TestCase method",
                fast, twin(1, 1, "assert 1 + 1 == 2"), both),
    ]


def command_scenario(project: Project, times: dict[str, list[float]]) -> Scenario:
    commands = "; ".join(
        f"`{label}` is `{shlex.join([Path(argv[0]).name, *argv[1:]])}`"
        for label, (argv, _) in project.commands.items()
    )
    return Scenario(
        f"command-{project.key}",
        f"The whole command: {project.title}",
        f"Each run a fresh process in the project's directory, the commands taking turns after "
        f"one untimed run each. {project.about}{commands}.",
        [Entry(label, times[label], label.startswith("trelkin")) for label in project.commands],
    )


# ---- the worker pool ----------------------------------------------------------------------


def pool_benchmark(scratch: Path) -> str | None:
    """The output of the worker pool's C++ benchmark, or None when it can't be compiled.

    Compiled directly rather than through CMake, whose build of the benchmark comes with
    the GoogleTest tests: this needs only the compiler that building trelkin needs. The
    flags are those of the extension's release build."""
    binary = scratch / "pool_bench"
    compiler = os.environ.get("CXX", "g++")
    compile_command = [
        compiler, "-std=c++20", "-O3", "-DNDEBUG", "-pthread", "-I", str(ROOT / "src"),
        str(ROOT / "src" / "pool.cpp"), str(BENCH_DIR / "cpp" / "pool_bench.cpp"),
        "-o", str(binary),
    ]
    try:
        subprocess.run(compile_command, check=True, capture_output=True, timeout=300)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"the pool benchmark could not be compiled: {error}", file=sys.stderr)
        return None
    completed = subprocess.run(
        [str(binary)], check=True, capture_output=True, text=True, timeout=300
    )
    return completed.stdout.rstrip()


# ---- the setting --------------------------------------------------------------------------


def command_output(argv: Sequence[str]) -> str:
    try:
        completed = subprocess.run(list(argv), capture_output=True, text=True, cwd=ROOT)
    except OSError:
        return ""
    return completed.stdout.strip() if completed.returncode == 0 else ""


def machine() -> str:
    model = ""
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (
        f"{os.cpu_count()} processors ({model or platform.machine()}), {memory_gib:.0f} GiB of "
        f"memory, {platform.system()} {platform.release()}"
    )


def versions() -> str:
    names = ("trelkin", "pytest", "pytest-xdist", "matplotlib")
    found = []
    for name in names:
        try:
            found.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            pass
    return ", ".join(found)


def tree() -> str:
    commit = command_output(["git", "log", "-1", "--format=%h (%cs)"])
    if not commit:
        return "not a git checkout"
    changed = command_output(["git", "status", "--porcelain", "--", "src", "python",
                              "CMakeLists.txt", "pyproject.toml"])
    state = "with uncommitted changes to the package" if changed else "the package as committed"
    return f"commit {commit}, {state}"


# ---- the chart ----------------------------------------------------------------------------


@dataclass
class Scaling:
    files: list[int] = field(default_factory=list)
    # Median seconds of the call, and median peak MiB, by contender: one per size.
    discovery: dict[str, list[float]] = field(default_factory=lambda: defaultdict(list))
    peak: dict[str, list[float]] = field(default_factory=lambda: defaultdict(list))
    idle_mib: float = 0.0
    # (files, median seconds of the whole process) of each tool, on the trees compared
    processes: dict[str, list[tuple[int, float]]] = field(
        default_factory=lambda: defaultdict(list)
    )
    tests: list[int] = field(default_factory=list)
    run: dict[str, list[float]] = field(default_factory=lambda: defaultdict(list))


def draw_chart(scaling: Scaling, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    figure, (time_axes, memory_axes, run_axes) = plt.subplots(1, 3, figsize=(16, 5.2))
    trelkin_style = {"color": "tab:blue", "marker": "o", "linewidth": 2}
    floor_style = {"color": "tab:gray", "marker": "s", "linestyle": "--"}

    time_axes.plot(scaling.files, scaling.discovery["trelkin"], label="trelkin discover_tests",
                   **trelkin_style)
    time_axes.plot(scaling.files, scaling.discovery["floor"], label="pure-Python floor",
                   **floor_style)
    for tool, style in (("pytest", {"color": "tab:red"}),
                        ("trelkin", {"color": "tab:blue", "fillstyle": "none"})):
        if scaling.processes.get(tool):
            files, seconds = zip(*scaling.processes[tool])
            label = f"{tool} --collect-only" if tool == "pytest" else f"{tool} process"
            time_axes.plot(files, seconds, "D", markersize=8, label=f"{label} (whole process)",
                           **style)
    time_axes.set(xscale="log", yscale="log", xlabel="test files", ylabel="seconds",
                  title="Discovery time")

    memory_axes.plot(scaling.files, scaling.peak["trelkin"], label="trelkin discover_tests",
                     **trelkin_style)
    memory_axes.plot(scaling.files, scaling.peak["floor"], label="pure-Python floor",
                     **floor_style)
    memory_axes.axhline(scaling.idle_mib, color="tab:green", linestyle=":",
                        label="interpreter with trelkin imported, idle")
    memory_axes.set(xscale="log", xlabel="test files", ylabel="peak resident set (MiB)",
                    title="Discovery peak memory")
    memory_axes.set_ylim(bottom=0)

    run_axes.plot(scaling.tests, scaling.run["sequential"], label="trelkin run_tests_sequential",
                  **trelkin_style)
    run_axes.plot(scaling.tests, scaling.run["parallel"],
                  label=f"trelkin run_tests ({os.cpu_count()} threads)", color="tab:orange",
                  marker="^", linewidth=2)
    run_axes.plot(scaling.tests, scaling.run["floor"], label="pure-Python floor", **floor_style)
    run_axes.set(xscale="log", yscale="log", xlabel="trivial tests (100 a file)",
                 ylabel="seconds", title="Run time, files imported first")

    plain = matplotlib.ticker.FuncFormatter(lambda value, _: f"{value:,g}")
    for axes in (time_axes, memory_axes, run_axes):
        axes.grid(True, which="major", alpha=0.4)
        axes.legend(fontsize=9)
        axes.xaxis.set_major_formatter(plain)
        axes.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    for axes in (time_axes, run_axes):
        axes.yaxis.set_major_formatter(plain)
    figure.suptitle(f"trelkin scaling on {os.cpu_count()} processors, Python "
                    f"{platform.python_version()} (medians of fresh processes)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


# ---- the report ---------------------------------------------------------------------------


def render_scaling(scaling: Scaling) -> str:
    rows = []
    for index, files in enumerate(scaling.files):
        ours, floor = scaling.discovery["trelkin"][index], scaling.discovery["floor"][index]
        rows.append([
            f"{files:,}", format_time(ours), format_time(floor), format_ratio(floor / ours),
            f"{ours / files * 1e6:.0f} µs", f"{scaling.peak['trelkin'][index]:.0f} MiB",
            f"{scaling.peak['floor'][index]:.0f} MiB",
        ])
    discovery = markdown_table(
        ["files", "discover_tests", "floor", "floor ÷ trelkin", "trelkin per file",
         "trelkin peak RSS", "floor peak RSS"], rows, 1)
    rows = []
    for index, tests in enumerate(scaling.tests):
        sequential = scaling.run["sequential"][index]
        parallel = scaling.run["parallel"][index]
        floor = scaling.run["floor"][index]
        rows.append([
            f"{tests:,}", format_time(sequential), format_time(parallel), format_time(floor),
            f"{sequential / tests * 1e6:.2f} µs", f"{parallel / tests * 1e6:.2f} µs",
            f"{floor / tests * 1e6:.2f} µs",
        ])
    run = markdown_table(
        ["tests", "run_tests_sequential", f"run_tests ({os.cpu_count()} threads)", "floor",
         "sequential per test", "parallel per test", "floor per test"], rows, 1)
    return (
        "![Scaling of discovery time, discovery peak memory and run time](performance.png)\n\n"
        "Discovery of synthetic trees (make_corpus.py) from 100 to 20,000 files, each call in "
        f"a fresh process; the idle interpreter with trelkin imported holds "
        f"{scaling.idle_mib:.0f} MiB.\n\n"
        f"{discovery}\n\n"
        "Runs of trivial tests, 100 a file, in a fresh process for each size, the files "
        "imported by an untimed first run.\n\n"
        f"{run}\n"
    )


@dataclass
class Report:
    started: str
    seconds: float = 0.0
    load: list[float] = field(default_factory=list)
    scenarios: list[Scenario] = field(default_factory=list)
    checks: list[str] = field(default_factory=list)
    memory: dict[str, Any] | None = None
    memory_runs: int = 0
    pool: str | None = None
    scaling: Scaling = field(default_factory=Scaling)

    def scenario(self, key: str) -> Scenario | None:
        return next((s for s in self.scenarios if s.key == key), None)


# The headline comparisons: (scenario key, contender label).
HEADLINES = [
    ("synthetic-10000-process", "pytest --collect-only"),
    ("synthetic-10000-call", "floor"),
    ("stdlib-process", "pytest --collect-only"),
    ("stdlib-process", "unittest TestLoader().discover()"),
    ("command-trivial", "pytest"),
    ("command-trivial", f"pytest -n {os.cpu_count()}"),
    ("command-trivial-unittest", "python -m unittest"),
    ("command-sleep", f"pytest -n {WIDE}"),
    ("command-sleep-unittest", "python -m unittest"),
    ("command-cpu", "pytest"),
    ("command-cpu", f"pytest -n {os.cpu_count()}"),
    ("command-one", "pytest"),
    ("run-trivial", "floor"),
]


def render_headlines(report: Report) -> str:
    rows = []
    for key, label in HEADLINES:
        scenario = report.scenario(key)
        entry = scenario.get(label) if scenario else None
        if scenario is None or entry is None:
            continue
        rows.append([
            scenario.title,
            scenario.reference.label,
            format_time(median(scenario.reference.seconds)),
            label,
            format_time(median(entry.seconds)),
            format_ratio(scenario.ratio(entry)),
        ])
    return markdown_table(
        ["scenario", "trelkin", "time", "contender", "time", "contender ÷ trelkin"], rows, 2)


def render(report: Report) -> str:
    load = ", ".join(f"{value:.1f}" for value in report.load)
    slower = slower_than(report.scenarios)
    sections = [
        "# Performance\n",
        f"Every figure below comes from one run of `{COMMAND}`, which runs all the benchmarks "
        "of `bench/` side by side and writes this page and its chart. Each contender's figure "
        "is the median of several runs, each run in a fresh process; the contenders of a "
        "scenario take turns, so that other work on the machine disturbs them alike; a ratio "
        "is the median of the ratios within each round where both contenders ran in every "
        "round, else the ratio of the medians.\n",
        markdown_table(["setting", "value"], [
            ["measured", f"{report.started}, in {report.seconds / 60:.1f} minutes"],
            ["machine", machine()],
            ["load average (1 min) at the start and at the end", load],
            ["Python", f"{platform.python_implementation()} {sys.version.split()[0]} "
                       f"({platform.python_compiler()})"],
            ["packages", versions()],
            ["tree", tree()],
        ], 2),
        "",
        "## Headline\n",
        "How long each contender took, as a multiple of trelkin's time: above 1, trelkin is "
        "faster.\n",
        render_headlines(report),
        "",
        "## Where trelkin is slower\n",
        "Every contender other than trelkin itself that took less time than trelkin in the "
        "same scenario:\n",
        "\n".join(slower) if slower else "- none in this run.",
        "",
        *([crossover] if (crossover := cpu_crossover(report)) else []),
        *([memory] if (memory := memory_note(report.scaling)) else []),
        "## Scaling\n",
        render_scaling(report.scaling),
        "## Discovery\n",
        *(render_scenario(s) for s in report.scenarios if s.key.startswith(("stdlib", "synth"))),
        "\n".join(f"- {line}" for line in report.checks) + "\n",
        "## Running tests, in process\n",
        *(render_scenario(s) for s in report.scenarios if s.key.startswith("run-")),
    ]
    if report.memory is not None:
        rows = [
            [name, f"{growth['blocks'] / report.memory_runs:.2f}",
             f"{growth['rss'] / 1024:.0f} KiB"]
            for name, growth in report.memory["growth"].items()
        ]
        sections += [
            "### Memory over repeated runs\n",
            f"{report.memory['tests']:,} tests in {bench_runner.MEMORY_FILES} files, "
            f"{report.memory['failing']} of them failing and some printing, run "
            f"{report.memory_runs} times by each runner after {bench_runner.WARM_UP_RUNS} "
            "warm-up runs: what stays allocated afterwards.\n",
            markdown_table(["runner", "allocated blocks, growth per run",
                            "resident set, growth in all"], rows, 1),
            "",
        ]
    sections += [
        "## The whole command\n",
        "pytest runs with plugin autoloading off (`PYTEST_DISABLE_PLUGIN_AUTOLOAD=1`, "
        "pytest-xdist loaded by name where `-n` is given), the leanest pytest there is, "
        "whatever else is installed. `trelkin` without `-n` runs files on one thread per "
        "processor. The unittest projects hold the same tests as the ones above them, written "
        "as `unittest.TestCase` methods, which is what unittest's discovery finds.\n",
        *(render_scenario(s) for s in report.scenarios if s.key.startswith("command-")),
        "## The worker pool\n",
        "`bench/cpp/pool_bench.cpp`: a parallel for-each on the pool against a plain loop.\n",
        f"```\n{report.pool}\n```\n" if report.pool else "Not run: no C++20 compiler found.\n",
        "## Reproducing\n",
        f"After the set-up in the README, `{COMMAND}` (it installs the `bench` extra, pytest, "
        "pytest-xdist and matplotlib, into `.venv`). The benchmarks also run alone, each "
        "printing its own table: `.venv/bin/python bench/bench_discovery.py`, "
        "`bench/bench_runner.py`, `bench/bench_cli.py`; `bench/report.py --quick` is a smoke "
        "run of this report.\n",
    ]
    return "\n".join(sections)


# ---- driver -------------------------------------------------------------------------------


def measure_stdlib(plan: Plan, report: Report, started: float) -> None:
    stdlib = bench_discovery.stdlib_test_directory()
    if stdlib is None:
        report.checks.append("The standard library's tests are not installed with this "
                             "interpreter: not measured.")
        return
    progress(f"discovery of the standard library's tests ({stdlib})", started)
    results = measure_discovery(stdlib, plan.discovery_rounds, plan.stdlib_pytest_rounds,
                                unittest_top=str(Path(stdlib).parent))
    name = f"the standard library's tests (`Lib/test` of Python {platform.python_version()})"
    report.scenarios += discovery_scenarios("stdlib", name, results)
    report.checks += discovery_checks(name, results, pytest_agrees=False)


def measure_synthetic(plan: Plan, scratch: Path, report: Report, started: float) -> None:
    """Discovery of every synthetic tree: the scaling curves, and the scenarios of the trees
    compared with pytest."""
    scaling = report.scaling
    idle: list[float] = []
    for files in plan.discovery_sizes:
        root = scratch / f"corpus-{files}"
        make_corpus.write_corpus(root, files)
        rounds = dict(zip(plan.discovery_scenarios, plan.pytest_rounds)).get(files, 0)
        progress(f"discovery of {files:,} files", started)
        results = measure_discovery(str(root), plan.discovery_rounds, rounds, None)
        scaling.files.append(files)
        for contender in ("trelkin", "floor"):
            seconds = median([result["seconds"] for result in results[contender]])
            scaling.discovery[contender].append(seconds)
            scaling.peak[contender].append(peak_mib(results[contender]))
        idle += [result["peak_kib"] / 1024 for result in results["idle"]]
        if files in plan.discovery_scenarios:
            name = f"a synthetic tree of {files:,} files"
            report.scenarios += discovery_scenarios(f"synthetic-{files}", name, results)
            report.checks += discovery_checks(name, results, pytest_agrees=True)
            for tool, key in (("pytest", "seconds"), ("trelkin", "process")):
                seconds = median([result[key] for result in results[tool]])
                scaling.processes[tool].append((files, seconds))
    scaling.idle_mib = median(idle)


def measure_in_process(plan: Plan, scratch: Path, report: Report, started: float) -> None:
    """bench_runner's measurements: the runners on the default pool and on WIDE threads,
    memory over repeated runs, and the run-time scaling curve."""
    progress("the runners: corpora", started)
    corpora = bench_runner.write_corpora(scratch / "runner")
    runs = {}
    for key, env, sleep_root in (
        ("narrow", child_environment(), None),
        ("wide", child_environment(RAYON_NUM_THREADS=str(WIDE)), str(corpora.sleep)),
    ):
        progress(f"the runners in process ({key} pool)", started)
        runs[key] = run_fresh(
            bench_runner.measure_runners, env, CHILD_TIMEOUT,
            trivial_root=str(corpora.trivial), sleep_root=sleep_root,
            cpu_root=str(corpora.cpu), rounds=plan.runner_rounds,
            sleep_rounds=plan.sleep_rounds, trivial_repeats=2,
        )
    report.scenarios += runner_scenarios(runs["narrow"], runs["wide"])
    progress("memory over repeated runs", started)
    report.memory_runs = plan.memory_runs
    report.memory = run_fresh(
        bench_runner.measure_memory, child_environment(RAYON_NUM_THREADS=str(WIDE)),
        CHILD_TIMEOUT, root=str(corpora.memory), runs=plan.memory_runs,
    )
    for tests in plan.run_sizes:
        root = scratch / f"run-{tests}"
        write_corpus(root, tests // TESTS_PER_FILE, source_of_tests(TESTS_PER_FILE, "pass"))
        progress(f"run time of {tests:,} tests", started)
        times = run_fresh(measure_run_scaling, child_environment(), CHILD_TIMEOUT,
                          root=str(root), count=tests, rounds=plan.run_rounds)
        report.scaling.tests.append(tests)
        for contender, values in times.items():
            report.scaling.run[contender].append(median(values))


def run(plan: Plan, output: Path) -> int:
    started = time.monotonic()
    report = Report(datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"))
    report.load.append(os.getloadavg()[0])
    missing = [module for module in ("pytest", "xdist", "matplotlib")
               if importlib.util.find_spec(module) is None]
    if missing:
        print(f"missing in {sys.executable}: {', '.join(missing)} (pip install "
              f"pytest pytest-xdist matplotlib, or {COMMAND})", file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory(prefix="trelkin-report-") as temporary:
        scratch = Path(temporary)
        progress("the worker pool's benchmark", started)
        report.pool = pool_benchmark(scratch)
        measure_stdlib(plan, report, started)
        measure_synthetic(plan, scratch, report, started)
        measure_in_process(plan, scratch, report, started)
        for project in command_projects(scratch / "projects", plan):
            progress(f"the whole command: {project.title}", started)
            times = bench_cli.measure(project.commands, project.root, project.runs)
            report.scenarios.append(command_scenario(project, times))

    output.mkdir(parents=True, exist_ok=True)
    progress("the chart and the report", started)
    draw_chart(report.scaling, output / "performance.png")
    report.load.append(os.getloadavg()[0])
    report.seconds = time.monotonic() - started
    (output / "performance.md").write_text(render(report), encoding="utf-8")
    progress(f"wrote {output / 'performance.md'} and {output / 'performance.png'}", started)
    failed = [line for line in report.checks if line.startswith("FAILED")]
    for line in failed:
        print(line, file=sys.stderr)
    return 1 if failed else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small trees, one run of each")
    parser.add_argument("--output", type=Path,
                        help="where to write performance.md and performance.png (default: "
                        "docs/, or build/performance-quick/ with --quick)")
    args = parser.parse_args()
    if importlib.util.find_spec("trelkin") is None:
        print(f"trelkin is not installed for {sys.executable}", file=sys.stderr)
        return 2
    # A smoke run's figures mean nothing: they never land on the committed report.
    default = ROOT / "build" / "performance-quick" if args.quick else ROOT / "docs"
    return run(QUICK if args.quick else FULL, args.output or default)


if __name__ == "__main__":
    sys.exit(main())
