"""Figures of the free-threaded build, side by side in one run.

- discovery of CPython's Lib/test on 3.13t with 1 and with 2 pool threads;
- a CPU-bound suite (16 files, one 0.25 s pure-Python test each) on 3.13t with `-n 2`
  threads against `--sequential`, and beside `pytest -n 2` on the GIL build;
- the single-thread cost of 3.13t against the GIL build: 10,000 trivial tests with
  `--sequential`.

Usage: python bench/bench_free_threaded.py [--runs N] [--ft PYTHON] [--gil PYTHON]
(defaults: .venv-ft/bin/python and .venv/bin/python of this checkout). Prints a markdown
table with each ratio and its target.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CPU_TEST = """
def test_cpu():
    total = 0
    for number in range({loops}):
        total += number * number % 7
    assert total > 0
"""
DISCOVER = """
import sys, time, trelkin._core as core
start = time.perf_counter()
found = core.discover_tests(sys.argv[1])
print(time.perf_counter() - start, len(found))
"""


def environment(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONDONTWRITEBYTECODE", "PYTHONUNBUFFERED", "RAYON_NUM_THREADS")}
    env.update(extra)
    return env


def timed(command: list[str], cwd: Path, **extra: str) -> tuple[float, float]:
    """Wall and CPU seconds (children included) of one run of the command."""
    before = os.times()
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, env=environment(**extra), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    after = os.times()
    return wall, (after.children_user - before.children_user) + (
        after.children_system - before.children_system)


def median(runs: int, command: list[str], cwd: Path, index: int = 0, **extra: str) -> float:
    timed(command, cwd, **extra)  # warm-up: bytecode cached
    return statistics.median(timed(command, cwd, **extra)[index] for _ in range(runs))


def calibrate(python: str) -> int:
    """Loops of the CPU test that take about 0.25 s on ``python``."""
    code = ("import time\nstart = time.perf_counter()\ntotal = 0\n"
            "for number in range(2_000_000):\n    total += number * number % 7\n"
            "print(time.perf_counter() - start)")
    seconds = float(subprocess.run([python, "-c", code], capture_output=True, text=True,
                                   check=True).stdout)
    return int(2_000_000 * 0.25 / seconds)


def discovery(python: str, runs: int, lib_test: Path) -> tuple[float, float]:
    def once(threads: str) -> float:
        done = subprocess.run([python, "-c", DISCOVER, str(lib_test)], capture_output=True,
                              text=True, env=environment(RAYON_NUM_THREADS=threads), check=True)
        return float(done.stdout.split()[0])

    once("1")
    one = statistics.median(once("1") for _ in range(runs))
    two = statistics.median(once("2") for _ in range(runs))
    return one, two


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--ft", default=str(ROOT / ".venv-ft/bin/python"))
    parser.add_argument("--gil", default=str(ROOT / ".venv/bin/python"))
    options = parser.parse_args()
    ft, gil = options.ft, options.gil
    rows: list[tuple[str, str, str]] = []
    lib_test = Path(subprocess.run(
        [ft, "-c", "import sysconfig; print(sysconfig.get_paths()['stdlib'])"],
        capture_output=True, text=True, check=True).stdout.strip()) / "test"
    if lib_test.is_dir():
        one, two = discovery(ft, options.runs, lib_test)
        rows.append(("discover_tests(Lib/test) on 3.13t, 1 thread / 2 threads",
                     f"{one:.3f} s / {two:.3f} s = {one / two:.2f}x", "at least 1.5x"))
    else:
        rows.append(("discover_tests(Lib/test) on 3.13t", "no Lib/test in this interpreter", ""))
    with tempfile.TemporaryDirectory() as directory:
        cpu = Path(directory) / "cpu"
        cpu.mkdir()
        loops = calibrate(ft)
        for index in range(16):
            (cpu / f"test_cpu_{index:02}.py").write_text(CPU_TEST.format(loops=loops))
        threads = median(options.runs, [ft, "-m", "trelkin", "-q", "-p", "no:cacheprovider",
                                        "--threads", "-n", "2"], cpu)
        sequential = median(options.runs, [ft, "-m", "trelkin", "-q", "-p", "no:cacheprovider",
                                           "--sequential"], cpu)
        xdist = median(options.runs, [gil, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                      "-n", "2"], cpu)
        rows.append(("CPU-bound suite on 3.13t: `-n 2` threads / `--sequential` (wall)",
                     f"{threads:.2f} s / {sequential:.2f} s = {threads / sequential:.2f}x",
                     "at most 0.6x"))
        rows.append(("the same: 3.13t `-n 2` threads / GIL build `pytest -n 2` (wall)",
                     f"{threads:.2f} s / {xdist:.2f} s = {threads / xdist:.2f}x", "(beside)"))
        trivial = Path(directory) / "trivial"
        trivial.mkdir()
        for index in range(500):
            (trivial / f"test_m{index}.py").write_text(
                "".join(f"def test_{n}():\n    pass\n" for n in range(20)))
        command = ["-m", "trelkin", "-q", "-p", "no:cacheprovider", "--sequential"]
        on_ft = median(options.runs, [ft, *command], trivial, index=1)
        on_gil = median(options.runs, [gil, *command], trivial, index=1)
        rows.append(("10,000 trivial tests `--sequential`, CPU: 3.13t / GIL build",
                     f"{on_ft:.2f} s / {on_gil:.2f} s = {on_ft / on_gil:.2f}x",
                     "(the free-threaded build's own cost)"))
    print("| figure | measured | target |\n| --- | --- | --- |")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
