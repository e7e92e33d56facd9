"""Per-run and per-test cost of the command, side by side in one run.

Cases: 10,000 trivial tests in 500 files (``--sequential``, ``--threads``, the default
worker processes) and one file of one test (``--sequential``, default, and a bare
interpreter that imports the file and calls its test). CPU is user+sys of the child;
figures are medians over ``--runs`` fresh processes after one warm-up each.

    .venv/bin/python bench/bench_overhead.py [--runs N]
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TRELKIN = str(Path(sys.executable).with_name("trelkin"))


def make_trees(root: Path) -> tuple[Path, Path]:
    big, one = root / "big", root / "one"
    big.mkdir()
    one.mkdir()
    body = "".join(f"def test_{i}():\n    pass\n" for i in range(20))
    for index in range(500):
        (big / f"test_m{index}.py").write_text(body)
    (one / "test_one.py").write_text("def test_a():\n    pass\n")
    return big, one


def timed(command: list[str], cwd: Path) -> tuple[float, float]:
    """Wall and CPU seconds of one run of ``command``."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    runs = parser.parse_args().runs
    env_fixes = ("PYTHONDONTWRITEBYTECODE", "PYTHONUNBUFFERED")
    for name in env_fixes:
        os.environ.pop(name, None)
    with tempfile.TemporaryDirectory() as tmp:
        big, one = make_trees(Path(tmp))
        bare = [sys.executable, "-c", "import test_one; test_one.test_a()"]
        cases = {
            "10k --sequential": ([TRELKIN, "-q", "-p", "no:cacheprovider", "--sequential"], big),
            "10k --threads": ([TRELKIN, "-q", "-p", "no:cacheprovider", "--threads"], big),
            "10k processes": ([TRELKIN, "-q", "-p", "no:cacheprovider"], big),
            "1 bare python": (bare, one),
            "1 --sequential": ([TRELKIN, "-q", "-p", "no:cacheprovider", "--sequential"], one),
            "1 processes": ([TRELKIN, "-q", "-p", "no:cacheprovider"], one),
        }
        samples: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
        for command, cwd in cases.values():
            timed(command, cwd)  # warm-up, writes the bytecode caches
        for _ in range(runs):
            for name, (command, cwd) in cases.items():
                samples[name].append(timed(command, cwd))
    figures = {
        name: (statistics.median(w for w, _ in got), statistics.median(c for _, c in got))
        for name, got in samples.items()
    }
    print(f"{'case':<20} {'wall s':>8} {'cpu s':>8}")
    for name, (wall, cpu) in figures.items():
        print(f"{name:<20} {wall:8.3f} {cpu:8.3f}")
    print(f"processes / threads (wall): {figures['10k processes'][0] / figures['10k --threads'][0]:.2f}")
    print(f"one test / bare (wall): {figures['1 --sequential'][0] / figures['1 bare python'][0]:.2f}"
          f" sequential, {figures['1 processes'][0] / figures['1 bare python'][0]:.2f} processes")


if __name__ == "__main__":
    main()
