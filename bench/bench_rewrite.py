"""Benchmark of assertion rewriting on a 10,000-test tree (make_corpus.py's, as the other
benchmarks use): runs with the rewriting hook beside the same runs with asserts left as
written.

    python bench/bench_rewrite.py            # the full run: a few minutes
    python bench/bench_rewrite.py --quick    # one round on a 2,000-test tree

Two measurements, each in fresh processes, alternating round by round so that a noisy
machine disturbs both alike, each four ways: plain (``--assert=plain``, Python's own
import) or rewriting; cold (no bytecode cached: every module compiled, and rewritten, and
its cache written) or warm (the same again, the caches in place).

- Runs: the whole ``trelkin`` command on the tree, wall time of the process. This is what
  the targets apply to: the first run with rewriting at most 1.5 times the first plain
  run (which compiles every module), a second run with rewriting at most 1.05 times a
  second plain run.
- Imports: the hook's own cost in isolation, taken inside a process that has loaded
  trelkin's command line: from installing the hook (or the first import) to importing
  every module and calling every test function. Shown for information, without targets:
  nothing else of a run is in it to share the cost.

The figures are medians; the noise is half the interquartile range. The exit status is
non-zero only when something fails to run; a missed target is printed as MISSED.
"""

from __future__ import annotations

import argparse
import importlib
import os
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

from _common import Table, child_environment, median, noise, run_fresh, time_process
from make_corpus import write_corpus

COLD_TARGET = 1.5
WARM_TARGET = 1.05
TESTS_PER_FILE = 9.2  # a little under make_corpus's average, so the tree holds enough
TIMEOUT = 900.0


def write_tree(root: Path, tests: int) -> list[str]:
    """make_corpus's tree (as the other benchmarks use) of about ``tests`` tests; returns
    its test files."""
    write_corpus(root, files=round(tests / TESTS_PER_FILE))
    return sorted(str(path) for path in root.rglob("test_*.py") if "__pycache__" not in path.parts)


def count_tests(paths: list[str]) -> int:
    pattern = re.compile(r"^\s*def test_(?!like_but_not_collected)", re.M)
    return sum(len(pattern.findall(Path(path).read_text())) for path in paths)


def run_tree(paths: list[str], rewriting: bool) -> float:
    """Imports every module and calls every test; returns the seconds that took."""
    # What a trelkin session has loaded before it imports tests, rewriting or not.
    import trelkin.cli  # noqa: F401

    for directory in sorted({os.path.dirname(path) for path in paths}):
        sys.path.insert(0, directory)
    start = time.perf_counter()
    if rewriting:
        from trelkin import _rewrite

        _rewrite.install(set(paths))
    for path in paths:
        module = importlib.import_module(Path(path).stem)
        for name, value in list(vars(module).items()):
            if name.startswith("test_") and callable(value):
                value()
            elif name.startswith("Test") and isinstance(value, type):
                instance = value()
                for attribute in dir(instance):
                    if attribute.startswith("test_"):
                        getattr(instance, attribute)()
    return time.perf_counter() - start


def clear_caches(root: Path) -> None:
    for cache in root.rglob("__pycache__"):
        for pyc in cache.glob("*.pyc"):
            pyc.unlink()
    shutil.rmtree(root / ".trelkin_cache", ignore_errors=True)


MODES = ("plain cold", "plain warm", "rewriting cold", "rewriting warm")


def measure_round(
    root: Path, paths: list[str], env: dict[str, str], order: list[str]
) -> dict[str, tuple[float, float]]:
    """(run seconds, import seconds) of each way, in ``order`` of plain and rewriting."""
    figures: dict[str, tuple[float, float]] = {}
    for mode in order:
        flags = ["--assert=plain"] if mode == "plain" else []
        command = [sys.executable, "-m", "trelkin", "-q", "--sequential", *flags, str(root)]
        clear_caches(root)
        runs = [time_process(command, env, root, TIMEOUT)[0] for _ in ("cold", "warm")]
        clear_caches(root)
        imports = [
            run_fresh(run_tree, env, TIMEOUT, paths=paths, rewriting=mode == "rewriting")
            for _ in ("cold", "warm")
        ]
        figures[f"{mode} cold"] = (runs[0], imports[0])
        figures[f"{mode} warm"] = (runs[1], imports[1])
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round, 2,000 tests")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    tests = 2_000 if args.quick else 10_000
    rounds = 1 if args.quick else args.rounds
    # Bytecode must be written and read, as in an ordinary run.
    env = child_environment()
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    env.pop("PYTHONUNBUFFERED", None)

    runs: dict[str, list[float]] = {mode: [] for mode in MODES}
    imports: dict[str, list[float]] = {mode: [] for mode in MODES}
    with tempfile.TemporaryDirectory(prefix="bench-rewrite-") as directory:
        root = Path(directory)
        paths = write_tree(root, tests)
        tests = count_tests(paths)
        for round_index in range(rounds):
            order = ["plain", "rewriting"] if round_index % 2 == 0 else ["rewriting", "plain"]
            for mode, (run_seconds, import_seconds) in measure_round(
                root, paths, env, order
            ).items():
                runs[mode].append(run_seconds)
                imports[mode].append(import_seconds)
            print(f"round {round_index + 1}/{rounds} done", file=sys.stderr)

    def ratios(figures: dict[str, list[float]], phase: str) -> list[float]:
        return [
            r / p
            for r, p in zip(figures[f"rewriting {phase}"], figures[f"plain {phase}"], strict=True)
        ]

    table = Table()
    table.heading(f"Runs of trelkin on {tests:,} tests in {len(paths):,} files (whole process)")
    for mode in MODES:
        table.figure(f"{mode} (s)", f"{median(runs[mode]):.3f}", noise(runs[mode]))
    cold, warm = ratios(runs, "cold"), ratios(runs, "warm")
    table.target("first run: rewriting / plain", median(cold), "x", COLD_TARGET, noise=noise(cold))
    table.target("second run: rewriting / plain", median(warm), "x", WARM_TARGET, noise=noise(warm))
    table.heading("Imports and calls alone, in a process with trelkin's command line loaded")
    for mode in MODES:
        table.figure(f"{mode} (s)", f"{median(imports[mode]):.3f}", noise(imports[mode]))
    cold, warm = ratios(imports, "cold"), ratios(imports, "warm")
    table.figure("cold: rewriting / plain", f"{median(cold):.2f} x", noise(cold))
    table.figure("warm: rewriting / plain", f"{median(warm):.2f} x", noise(warm))
    print(table.render())
    if table.missed:
        print("MISSED: " + ", ".join(table.missed))


if __name__ == "__main__":
    main()
