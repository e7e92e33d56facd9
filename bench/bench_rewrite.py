"""Benchmark of assertion rewriting on a 10,000-test tree: runs with the rewriting hook
beside the same runs with asserts left as written.

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
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

from _common import Table, child_environment, median, noise, run_fresh, time_process

COLD_TARGET = 1.5
WARM_TARGET = 1.05
TESTS_PER_FILE = 20
TIMEOUT = 600.0

BODIES = [
    "    assert {a} + {b} == {c}\n",
    "    data = [i * i for i in range({a})]\n    assert len(data) == {a}\n    assert data[-1] == {last}\n",
    "    record = _make({a})\n    assert record['index'] == {a} and record['name'] == 'r{a}'\n",
    "    text = 'case {a}'\n    assert text.upper().lower() == text, text\n",
    "    values = {{'a': {a}, 'b': {b}}}\n    assert values == {{'a': {a}, 'b': {b}}}\n    assert {a} in values.values()\n",
    "    assert 0 <= {a} < {c} <= {c}\n    assert not ({a} > {c})\n",
]

HEADER = '''"""Synthetic module {index} for the rewriting benchmark."""

import os


def _make(index):
    return {{"index": index, "name": f"r{{index}}", "path": os.sep}}

'''


def write_tree(root: Path, tests: int, seed: int = 7) -> list[str]:
    rng = random.Random(seed)
    names = []
    for index in range(tests // TESTS_PER_FILE):
        parts = [HEADER.format(index=index)]
        for number in range(TESTS_PER_FILE):
            a, b = rng.randint(1, 40), rng.randint(1, 40)
            body = rng.choice(BODIES).format(a=a, b=b, c=a + b, last=(a - 1) ** 2)
            parts.append(f"\ndef test_{number:02d}():\n{body}\n")
        name = f"test_rewrite_bench_{index:04d}"
        (root / f"{name}.py").write_text("".join(parts), encoding="utf-8")
        names.append(name)
    return names


def run_tree(root: str, names: list[str], rewriting: bool) -> float:
    """Imports every module and calls every test; returns the seconds that took."""
    # What a trelkin session has loaded before it imports tests, rewriting or not.
    import trelkin.cli  # noqa: F401

    sys.path.insert(0, root)
    start = time.perf_counter()
    if rewriting:
        from trelkin import _rewrite

        _rewrite.install({f"{root}/{name}.py" for name in names})
    called = 0
    for name in names:
        module = importlib.import_module(name)
        for attribute, value in vars(module).items():
            if attribute.startswith("test_"):
                value()
                called += 1
    elapsed = time.perf_counter() - start
    assert called == len(names) * TESTS_PER_FILE
    return elapsed


def clear_caches(root: Path) -> None:
    shutil.rmtree(root / "__pycache__", ignore_errors=True)
    shutil.rmtree(root / ".trelkin_cache", ignore_errors=True)


MODES = ("plain cold", "plain warm", "rewriting cold", "rewriting warm")


def measure_round(
    root: Path, names: list[str], env: dict[str, str], order: list[str]
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
            run_fresh(
                run_tree, env, TIMEOUT, root=str(root), names=names, rewriting=mode == "rewriting"
            )
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
        names = write_tree(root, tests)
        for round_index in range(rounds):
            order = ["plain", "rewriting"] if round_index % 2 == 0 else ["rewriting", "plain"]
            for mode, (run_seconds, import_seconds) in measure_round(
                root, names, env, order
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
    table.heading(
        f"Runs of trelkin on {tests:,} tests in {tests // TESTS_PER_FILE} files (whole process)"
    )
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
