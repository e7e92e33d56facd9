"""Benchmark of assertion rewriting: importing and running a 10,000-test tree with the
rewriting hook beside the same with Python's own import.

    python bench/bench_rewrite.py            # the full run: about a minute
    python bench/bench_rewrite.py --quick    # one round on a 2,000-test tree

Every measurement runs in a fresh process, which loads trelkin's command line (as any
trelkin session has), then imports each test module of the tree and calls each of its test
functions (all pass); the time is taken inside the process, from the installation of the
hook (or the first import) to the last call. Four ways, alternating round by round:

- plain, cold: Python's own import with no bytecode cached (it compiles every module and
  writes its ``.pyc``);
- plain, warm: the same again, the ``.pyc`` files in place;
- rewriting, cold: through ``trelkin._rewrite``'s hook with none of its cache files (it
  parses, rewrites and compiles every module and writes its cache);
- rewriting, warm: the same again, reading its cache.

Targets: rewriting cold over plain cold at most 1.5, rewriting warm over plain warm at
most 1.05. The exit status is non-zero only when something fails to run; a missed target
is printed as MISSED.
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

from _common import Table, child_environment, median, noise, run_fresh

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

    times: dict[str, list[float]] = {key: [] for key in ("plain cold", "plain warm", "rewriting cold", "rewriting warm")}
    with tempfile.TemporaryDirectory(prefix="bench-rewrite-") as directory:
        root = Path(directory)
        names = write_tree(root, tests)
        for round_index in range(rounds):
            order = ["plain", "rewriting"] if round_index % 2 == 0 else ["rewriting", "plain"]
            for mode in order:
                clear_caches(root)
                for phase in ("cold", "warm"):
                    seconds = run_fresh(
                        run_tree, env, TIMEOUT, root=str(root), names=names, rewriting=mode == "rewriting"
                    )
                    times[f"{mode} {phase}"].append(seconds)
            print(f"round {round_index + 1}/{rounds} done", file=sys.stderr)

    table = Table()
    table.heading(f"Importing and running {tests:,} tests in {tests // TESTS_PER_FILE} files")
    for key, values in times.items():
        table.figure(f"{key} (s)", f"{median(values):.3f}", noise(values))
    cold = [r / p for r, p in zip(times["rewriting cold"], times["plain cold"], strict=True)]
    warm = [r / p for r, p in zip(times["rewriting warm"], times["plain warm"], strict=True)]
    table.target("rewriting cold / plain cold", median(cold), "x", COLD_TARGET, noise=noise(cold))
    table.target("rewriting warm / plain warm", median(warm), "x", WARM_TARGET, noise=noise(warm))
    print(table.render())


if __name__ == "__main__":
    main()
