"""Benchmarks of the two runners, `run_tests_sequential` and `run_tests`.

    python bench/bench_runner.py           # the full run: about two minutes
    python bench/bench_runner.py --quick   # one round of everything, as a smoke run

Run it with the interpreter that has trelkin installed (the project's .venv). The comparison
with pytest-xdist needs `python -m pip install pytest pytest-xdist` in that interpreter; it is
skipped, with a note, when they are missing.

Everything is measured side by side in one run, on corpora of real test files written to a
temporary directory and run through the real executor `trelkin._compat`:

1. `run_tests_sequential` on 10,000 trivial tests in 100 files against the floor, a
   pure-Python loop over the same test functions swapping `sys.stdout`/`sys.stderr` into
   fresh `io.StringIO` buffers around each call. Both sides import the files untimed first
   (the floor itself, trelkin through an untimed warm-up run), so the figure is the
   per-test cost of running alone.
2. Memory across repeated runs of both runners on a mix of passing, printing and failing
   tests: growth of `sys.getallocatedblocks()` and of the resident set.
3. 40 files of 5 tests sleeping 20 ms: `run_tests` on 8 threads against
   `run_tests_sequential`, and a whole trelkin process (discover and run through the Python
   API) against a whole `pytest -n 8` process. pytest runs with plugin autoloading off and
   xdist loaded by name, so whatever else is installed beside it costs it nothing. Each
   tool runs once untimed first, which writes its byte-code caches.
4. CPU-bound tests that hold the interpreter lock: `run_tests` against
   `run_tests_sequential`, on the default pool and on 8 threads. Other work on the machine
   moves this one most: the scheduler favours threads that wake often, as threads handing
   the lock to each other do, so under load `run_tests` can even come out ahead.
5. The corpus of 1: per-test cost of `run_tests` above `run_tests_sequential`.

In-process figures come from fresh processes, one per pool size (the pool is sized once per
process), each measuring its contenders in alternating order round after round; the figures
compared are paired within a round, and the median over all rounds is reported with half
the interquartile range as the noise. The machine's load average is printed above the table:
the figures are only as steady as it allows. The exit status is non-zero only when something
failed to run; a missed target is printed as MISSED.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import io
import os
import sys
import tempfile
import time
from collections import defaultdict
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from _common import (
    Table,
    child_environment,
    median,
    noise,
    run_fresh,
    source_of_tests,
    time_process,
    write_corpus,
)

TRIVIAL_FILES, TRIVIAL_TESTS_PER_FILE = 100, 100
TRIVIAL_COUNT = TRIVIAL_FILES * TRIVIAL_TESTS_PER_FILE
SLEEP_FILES, SLEEP_TESTS_PER_FILE, SLEEP_SECONDS = 40, 5, 0.020
SLEEP_COUNT = SLEEP_FILES * SLEEP_TESTS_PER_FILE
CPU_FILES, CPU_TESTS_PER_FILE, CPU_SECONDS = 40, 5, 0.005
CPU_COUNT = CPU_FILES * CPU_TESTS_PER_FILE
MEMORY_FILES = 10
PARALLEL_THREADS = 8

# Targets.
MAX_OVERHEAD_ABOVE_FLOOR_US = 10.0
MIN_SPEEDUP_OVER_SEQUENTIAL = 6.5
MIN_SPEEDUP_OVER_XDIST = 3.0
MAX_CPU_BOUND_SLOWDOWN = 1.1
# A leak of one object per test would add a thousand blocks per run of the memory corpus;
# anything under one block per run is the interpreter's own noise.
MAX_BLOCKS_PER_RUN = 1.0
# A native leak of 35 bytes per test would add this much over the 30 runs of a full run; it
# also leaves room for the allocator's own noise.
MAX_RSS_GROWTH_KIB = 1024.0

# Enough runs for the interpreter's caches and the allocator's arenas (one per pool thread)
# to reach their size.
WARM_UP_RUNS = 20
CHILD_TIMEOUT = 600.0
PYTEST_OPTIONS = ["-p", "xdist", "-n", str(PARALLEL_THREADS), "-q", "-p", "no:cacheprovider"]

CPU_BODY = """
total = 0
for value in range({iterations}):
    total += value * value % 7
assert total >= 0
"""

PRINTING_BODY = """
print("to stdout", 1)
print("to stderr", file=sys.stderr)
"""

MEMORY_SOURCE = (
    "import sys\n"
    + source_of_tests(40, "pass")
    + source_of_tests(20, PRINTING_BODY, start=40)
    + source_of_tests(20, 'assert 1 + 1 == 3, "a wrong sum"', start=60)
    + source_of_tests(10, 'raise ValueError("a bad value: " + "x" * 40)', start=80)
    + "\n\nclass TestMethods:\n"
    + "    def setup_method(self, method):\n        self.ready = True\n"
    + "".join(f"\n    def test_{index}(self):\n        assert self.ready\n" for index in range(10))
)

# A whole trelkin process as a user would run it through the Python API.
TRELKIN_PROCESS = """
import sys
import trelkin

results = trelkin.run_tests(trelkin.discover_tests(sys.argv[1]))
failed = [result for result in results if not result.passed]
if failed or len(results) != int(sys.argv[2]):
    sys.exit(f"{len(results)} results, {len(failed)} failed")
"""


# ---- measurements in a fresh process ------------------------------------------------------

Times = dict[str, list[float]]  # wall times in seconds by contender


def _check(results: Sequence[Any], expected: int) -> None:
    failed = [result for result in results if not result.passed]
    if len(results) != expected or failed:
        detail = f": {failed[0].test.name}: {failed[0].error}" if failed else ""
        raise RuntimeError(
            f"{len(results)} results for {expected} tests, {len(failed)} failed{detail}"
        )


def import_floor(items: Sequence[Any]) -> list[Callable[[], object]]:
    """The floor's own imports: each file once, under a name of its own, then the test
    functions looked up in the order of `items`."""
    modules: dict[str, Any] = {}
    functions = []
    for item in items:
        module = modules.get(item.path)
        if module is None:
            found = importlib.util.spec_from_file_location(f"floor_{len(modules)}", item.path)
            assert found is not None and found.loader is not None
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            modules[item.path] = module
        functions.append(getattr(module, item.name))
    return functions


def run_floor(functions: Sequence[Callable[[], object]]) -> None:
    """What any runner that captures output must do per test, and nothing more."""
    for function in functions:
        stdout, stderr = io.StringIO(), io.StringIO()
        saved_stdout, saved_stderr = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = stdout, stderr
        try:
            function()
        finally:
            sys.stdout, sys.stderr = saved_stdout, saved_stderr
        stdout.getvalue()
        stderr.getvalue()


@dataclass
class Contender:
    key: str
    run: Callable[[], Any]
    expected: int | None  # the number of passing results to check, or None for the floor


def measure_round(contenders: list[Contender], times: Times, flip: bool) -> None:
    """Times each contender once, in reverse order when `flip`, so that neither side always
    runs in the other's wake."""
    for contender in reversed(contenders) if flip else contenders:
        gc.collect()
        start = time.perf_counter()
        results = contender.run()
        elapsed = time.perf_counter() - start
        if contender.expected is not None:
            _check(results, contender.expected)
        del results
        times[contender.key].append(elapsed)


def measure_runners(
    trivial_root: str,
    sleep_root: str | None,
    cpu_root: str,
    rounds: int,
    sleep_rounds: int,
    trivial_repeats: int,
) -> dict[str, Any]:
    """Wall times in seconds per contender; entries at one index were measured in one round.
    Runs in a fresh process whose pool size the environment has fixed."""
    import trelkin

    sequential, parallel = trelkin.run_tests_sequential, trelkin.run_tests
    trivial = trelkin.discover_tests(trivial_root)
    cpu = trelkin.discover_tests(cpu_root)
    sleep = trelkin.discover_tests(sleep_root) if sleep_root is not None else []
    floor = import_floor(trivial)
    # Untimed: imports every file through the executor and starts the pool's threads.
    for items in (trivial, cpu, sleep):
        parallel(items)

    trivial_contenders = [
        Contender("trivial floor", lambda: run_floor(floor), None),
        Contender("trivial sequential", lambda: sequential(trivial), TRIVIAL_COUNT),
        Contender("trivial parallel", lambda: parallel(trivial), TRIVIAL_COUNT),
    ]
    cpu_contenders = [
        Contender("cpu sequential", lambda: sequential(cpu), CPU_COUNT),
        Contender("cpu parallel", lambda: parallel(cpu), CPU_COUNT),
    ]
    sleep_contenders = [
        Contender("sleep sequential", lambda: sequential(sleep), SLEEP_COUNT),
        Contender("sleep parallel", lambda: parallel(sleep), SLEEP_COUNT),
    ]
    times: Times = defaultdict(list)
    flip = False
    for index in range(rounds):
        batches = [trivial_contenders] * trivial_repeats + [cpu_contenders]
        if sleep and index < sleep_rounds:
            batches.append(sleep_contenders)
        for contenders in batches:
            flip = not flip
            measure_round(contenders, times, flip)
    threads = int(os.environ.get("RAYON_NUM_THREADS") or os.cpu_count() or 1)
    return {"threads": threads, "times": times}


def _rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_memory(root: str, runs: int) -> dict[str, Any]:
    """Growth of allocated blocks and resident memory over `runs` runs of each runner,
    measured after warm-up runs have brought imports, the pool's threads and the
    interpreter's caches to their steady state."""
    import trelkin

    items = trelkin.discover_tests(root)
    runners = {
        "run_tests_sequential": trelkin.run_tests_sequential,
        "run_tests": trelkin.run_tests,
    }

    def outcome(results: Sequence[Any]) -> list[tuple[Any, ...]]:
        return [(r.passed, r.output, r.error_output, r.error) for r in results]

    expected = outcome(trelkin.run_tests_sequential(items))
    for runner in runners.values():
        for _ in range(WARM_UP_RUNS):
            if outcome(runner(items)) != expected:
                raise RuntimeError("the runners disagree on the memory corpus")

    def settle() -> None:
        # The interpreter's method cache keeps a reference to each attribute name it has
        # looked up, up to a fixed number of entries: names made afresh for every test (the
        # core's attribute calls by C string, str.partition in the executor) would read as
        # a leak until the cache is full. Clearing it leaves what the runs themselves kept.
        sys._clear_type_cache()
        gc.collect()

    growth = {}
    for name, runner in runners.items():
        settle()
        blocks, rss = sys.getallocatedblocks(), _rss_bytes()
        for _ in range(runs):
            if outcome(runner(items)) != expected:
                raise RuntimeError(f"{name} gave other results on a repeated run")
        settle()
        growth[name] = {"blocks": sys.getallocatedblocks() - blocks, "rss": _rss_bytes() - rss}
    failing = sum(1 for passed, *_ in expected if not passed)
    return {"tests": len(items), "failing": failing, "growth": growth}


# ---- whole processes ----------------------------------------------------------------------


def measure_whole_processes(root: Path, rounds: int) -> Times:
    """Wall times of a whole trelkin process and a whole `pytest -n 8` process on `root`."""
    trelkin_argv = [sys.executable, "-P", "-c", TRELKIN_PROCESS, str(root), str(SLEEP_COUNT)]
    pytest_argv = [sys.executable, "-m", "pytest", *PYTEST_OPTIONS, str(root)]
    contenders = {
        "trelkin": (trelkin_argv, child_environment(RAYON_NUM_THREADS=str(PARALLEL_THREADS))),
        # pytest with xdist and nothing else: other plugins that happen to be installed
        # here (the project's tests bring hypothesis's) would slow down each worker.
        "pytest": (pytest_argv, child_environment(PYTEST_DISABLE_PLUGIN_AUTOLOAD="1")),
    }

    def run(key: str) -> float:
        argv, env = contenders[key]
        elapsed, output = time_process(argv, env, root, CHILD_TIMEOUT)
        if key == "pytest" and f"{SLEEP_COUNT} passed" not in output:
            raise RuntimeError(f"pytest did not pass all {SLEEP_COUNT} tests:\n{output[-2000:]}")
        return elapsed

    # Untimed first runs write each tool's byte-code caches (pytest's with rewritten
    # asserts), so no timed run pays for compiling.
    for key in contenders:
        run(key)
    times: Times = defaultdict(list)
    for index in range(rounds):
        for key in reversed(contenders) if index % 2 else contenders:
            times[key].append(run(key))
    return times


# ---- the report ---------------------------------------------------------------------------


def _merge(runs: Sequence[dict[str, Any]]) -> Times:
    """The times of several processes, concatenated key by key so indices stay paired."""
    merged: Times = defaultdict(list)
    for run in runs:
        for key, values in run["times"].items():
            merged[key].extend(values)
    return merged


def _paired(
    first: Sequence[float], second: Sequence[float], combine: Callable[[float, float], float]
) -> list[float]:
    return [combine(a, b) for a, b in zip(first, second, strict=True)]


def _per_test_us(seconds: float) -> float:
    return seconds / TRIVIAL_COUNT * 1e6


def report_floor(table: Table, times: Times) -> None:
    floor, sequential = times["trivial floor"], times["trivial sequential"]
    table.heading(
        f"1. run_tests_sequential vs the floor: {TRIVIAL_COUNT:,} trivial tests in "
        f"{TRIVIAL_FILES} files, files imported untimed first (rounds: {len(floor)})"
    )
    floor_us = _per_test_us(median(floor))
    table.figure("  floor: loop swapping in a fresh StringIO pair", f"{floor_us:.2f} µs/test")
    sequential_us = _per_test_us(median(sequential))
    table.figure("  run_tests_sequential", f"{sequential_us:.2f} µs/test")
    overhead = _paired(sequential, floor, lambda s, f: _per_test_us(s - f))
    table.target(
        "  overhead above the floor",
        median(overhead),
        "µs/test",
        MAX_OVERHEAD_ABOVE_FLOOR_US,
        at_most=True,
        noise=noise(overhead, relative=False),
    )


def report_memory(table: Table, memory: dict[str, Any], runs: int) -> None:
    table.heading(
        f"2. memory over {runs} runs of each runner after {WARM_UP_RUNS} warm-up runs: "
        f"{memory['tests']} tests in {MEMORY_FILES} files, {memory['failing']} failing, "
        "some printing"
    )
    for name, growth in memory["growth"].items():
        blocks = growth["blocks"] / runs
        table.target(f"  {name}: allocated blocks, growth per run", blocks, "", MAX_BLOCKS_PER_RUN)
        rss = growth["rss"] / 1024
        table.target(f"  {name}: resident set, growth in all", rss, "KiB", MAX_RSS_GROWTH_KIB)


def report_sleep(table: Table, times: Times, whole: Times | None) -> None:
    sequential, parallel = times["sleep sequential"], times["sleep parallel"]
    table.heading(
        f"3. {SLEEP_FILES} files x {SLEEP_TESTS_PER_FILE} tests sleeping "
        f"{SLEEP_SECONDS * 1000:g} ms (rounds: {len(sequential)}; whole processes: "
        f"{len(whole['pytest']) if whole else 0})"
    )
    table.figure("  run_tests_sequential", f"{median(sequential):.3f} s")
    table.figure(f"  run_tests, T={PARALLEL_THREADS}", f"{median(parallel):.3f} s")
    speedup = _paired(sequential, parallel, lambda s, p: s / p)
    table.target(
        "  run_tests speed-up over run_tests_sequential",
        median(speedup),
        "x",
        MIN_SPEEDUP_OVER_SEQUENTIAL,
        at_most=False,
        noise=noise(speedup),
    )
    if whole is None:
        table.figure("  pytest-xdist not installed: skipped", "pip install pytest pytest-xdist")
        return
    table.figure(
        f"  pytest {' '.join(PYTEST_OPTIONS)}, whole process", f"{median(whole['pytest']):.3f} s"
    )
    table.figure(
        f"  trelkin discover + run_tests T={PARALLEL_THREADS}, whole process",
        f"{median(whole['trelkin']):.3f} s",
    )
    versus_xdist = _paired(whole["pytest"], whole["trelkin"], lambda x, t: x / t)
    table.target(
        f"  speed-up over pytest -n {PARALLEL_THREADS}, whole processes",
        median(versus_xdist),
        "x",
        MIN_SPEEDUP_OVER_XDIST,
        at_most=False,
        noise=noise(versus_xdist),
    )
    table.figure(
        f"  pytest -n {PARALLEL_THREADS} process / run_tests call",
        f"{median(whole['pytest']) / median(parallel):.2f} x",
    )


def report_cpu(table: Table, pools: Sequence[tuple[int, Times]]) -> None:
    all_sequential = [value for _, times in pools for value in times["cpu sequential"]]
    per_test_ms = median(all_sequential) / CPU_COUNT * 1000
    table.heading(
        f"4. CPU-bound: {CPU_FILES} files x {CPU_TESTS_PER_FILE} tests of {per_test_ms:.1f} ms "
        f"of pure-Python arithmetic under the interpreter lock (rounds per pool size: "
        f"{len(pools[0][1]['cpu sequential'])})"
    )
    for threads, times in pools:
        sequential, parallel = times["cpu sequential"], times["cpu parallel"]
        label = f"  run_tests_sequential, T={threads} processes"
        table.figure(label, f"{median(sequential):.3f} s")
        table.figure(f"  run_tests, T={threads}", f"{median(parallel):.3f} s")
        slowdown = _paired(parallel, sequential, lambda p, s: p / s)
        table.target(
            f"  run_tests time / sequential time, T={threads}",
            median(slowdown),
            "x",
            MAX_CPU_BOUND_SLOWDOWN,
            noise=noise(slowdown),
        )


def report_trivial_parallel(table: Table, pools: Sequence[tuple[int, Times]]) -> None:
    table.heading(f"5. run_tests vs run_tests_sequential on the {TRIVIAL_COUNT:,} tests of 1")
    for threads, times in pools:
        sequential, parallel = times["trivial sequential"], times["trivial parallel"]
        label = f"  run_tests_sequential, T={threads} processes"
        table.figure(label, f"{_per_test_us(median(sequential)):.2f} µs/test")
        table.figure(f"  run_tests, T={threads}", f"{_per_test_us(median(parallel)):.2f} µs/test")
        extra = _paired(parallel, sequential, lambda p, s: _per_test_us(p - s))
        table.figure(
            f"  overhead above run_tests_sequential, T={threads}",
            f"{median(extra):+.2f} µs/test",
            noise(extra, relative=False),
        )
        ratio = _paired(parallel, sequential, lambda p, s: p / s)
        table.figure(
            f"  run_tests time / sequential time, T={threads}",
            f"{median(ratio):.2f} x",
            noise(ratio),
        )


# ---- driver -------------------------------------------------------------------------------


@dataclass
class Plan:
    processes: int  # fresh processes per pool size
    rounds: int  # rounds per process
    sleep_rounds: int  # of which measure the sleeping tests too (each takes seconds)
    trivial_repeats: int  # trivial-corpus measurements per round (each takes milliseconds)
    whole_rounds: int
    memory_runs: int


FULL = Plan(
    processes=2, rounds=5, sleep_rounds=3, trivial_repeats=2, whole_rounds=5, memory_runs=30
)
QUICK = Plan(
    processes=1, rounds=1, sleep_rounds=1, trivial_repeats=2, whole_rounds=1, memory_runs=5
)


def calibrate_spin(seconds: float) -> int:
    """Iterations of CPU_BODY's loop that take about `seconds` on this machine."""
    namespace: dict[str, Any] = {}
    trial = 200_000
    exec("def spin():\n" + CPU_BODY.format(iterations=trial).replace("\n", "\n    "), namespace)
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        namespace["spin"]()
        best = min(best, time.perf_counter() - start)
    return max(1, round(trial * seconds / best))


@dataclass
class Corpora:
    trivial: Path
    sleep: Path
    cpu: Path
    memory: Path


def write_corpora(base: Path) -> Corpora:
    corpora = Corpora(base / "trivial", base / "sleep", base / "cpu", base / "memory")
    write_corpus(corpora.trivial, TRIVIAL_FILES, source_of_tests(TRIVIAL_TESTS_PER_FILE, "pass"))
    sleeping = source_of_tests(SLEEP_TESTS_PER_FILE, f"time.sleep({SLEEP_SECONDS})")
    write_corpus(corpora.sleep, SLEEP_FILES, "import time\n" + sleeping)
    # Keeps pytest from taking settings from any directory above the corpus.
    (corpora.sleep / "pytest.ini").write_text("[pytest]\n", encoding="utf-8")
    spinning = CPU_BODY.format(iterations=calibrate_spin(CPU_SECONDS))
    write_corpus(corpora.cpu, CPU_FILES, source_of_tests(CPU_TESTS_PER_FILE, spinning))
    write_corpus(corpora.memory, MEMORY_FILES, MEMORY_SOURCE)
    return corpora


def progress(message: str) -> None:
    print(f"... {message}", file=sys.stderr, flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description="Benchmarks of trelkin's two runners.")
    parser.add_argument("--quick", action="store_true", help="one round of everything")
    plan = QUICK if parser.parse_args().quick else FULL
    if importlib.util.find_spec("trelkin") is None:
        print(f"trelkin is not installed for {sys.executable}", file=sys.stderr)
        return 2
    have_xdist = importlib.util.find_spec("xdist") is not None
    wide = child_environment(RAYON_NUM_THREADS=str(PARALLEL_THREADS))
    load_at_start = os.getloadavg()[0]

    with tempfile.TemporaryDirectory(prefix="trelkin-bench-runner-") as temporary:
        progress("writing the corpora, calibrating the CPU-bound tests")
        corpora = write_corpora(Path(temporary))
        default_runs: list[dict[str, Any]] = []
        wide_runs: list[dict[str, Any]] = []
        pools = [
            (default_runs, child_environment(), None, "the default pool"),
            (wide_runs, wide, str(corpora.sleep), f"{PARALLEL_THREADS} threads"),
        ]
        for index in range(plan.processes):
            for runs, env, sleep_root, pool in pools:
                progress(f"runners on {pool}, process {index + 1}/{plan.processes}")
                result = run_fresh(
                    measure_runners,
                    env,
                    CHILD_TIMEOUT,
                    trivial_root=str(corpora.trivial),
                    sleep_root=sleep_root,
                    cpu_root=str(corpora.cpu),
                    rounds=plan.rounds,
                    sleep_rounds=plan.sleep_rounds,
                    trivial_repeats=plan.trivial_repeats,
                )
                runs.append(result)
        progress("memory over repeated runs")
        memory = run_fresh(
            measure_memory, wide, CHILD_TIMEOUT, root=str(corpora.memory), runs=plan.memory_runs
        )
        whole = None
        if have_xdist:
            progress(f"whole processes: trelkin and pytest -n {PARALLEL_THREADS}")
            whole = measure_whole_processes(corpora.sleep, plan.whole_rounds)

    wide_times = _merge(wide_runs)
    sizes = [(default_runs[0]["threads"], _merge(default_runs)), (PARALLEL_THREADS, wide_times)]
    table = Table()
    report_floor(table, _merge(default_runs + wide_runs))
    report_memory(table, memory, plan.memory_runs)
    report_sleep(table, wide_times, whole)
    report_cpu(table, sizes)
    report_trivial_parallel(table, sizes)
    # Other work on the machine shows in every figure: the load says how much to trust them.
    print(
        f"trelkin runner benchmarks on {os.cpu_count()} CPUs, load average (1 min) "
        f"{load_at_start:.1f} at the start and {os.getloadavg()[0]:.1f} at the end\n"
    )
    print(table.render())
    if table.missed:
        print(f"\nMISSED: {', '.join(label.strip() for label in table.missed)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
