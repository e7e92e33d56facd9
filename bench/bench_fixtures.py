"""Whole-command time of `trelkin -q` against `pytest -q -p no:cacheprovider` on suites
written for pytest: every test takes a fixture from a conftest.py.

- 10,000 tests in 100 files, each taking a function-scoped conftest fixture, half of them
  parametrized (target: trelkin at least 15 times faster);
- the same with a yield fixture that requests another and a module-scoped one, and marks
  (skip, xfail) on a tenth of the tests: the common shapes of real suites (no target, shown
  to keep its cost in view).

The commands take turns after a warm-up run each, as in bench_cli.py; medians of N runs.

    .venv/bin/python bench/bench_fixtures.py [--runs N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
from pathlib import Path

from bench_cli import ensure_pytest, measure


def write_conftest_fixture(root: Path) -> None:
    (root / "conftest.py").write_text(
        "import pytest\n\n@pytest.fixture\ndef value():\n    return 1\n"
    )
    for f in range(100):
        tests = "".join(f"def test_{t}(value):\n    assert value == 1\n\n" for t in range(50))
        tests += "@pytest.mark.parametrize('x', range(50))\ndef test_p(value, x):\n    assert value + x >= 1\n"
        (root / f"test_mod{f:03d}.py").write_text("import pytest\n\n" + tests)


def write_mixed(root: Path) -> None:
    (root / "conftest.py").write_text(
        "import pytest\n\n"
        "@pytest.fixture(scope='module')\ndef resource():\n    yield {'n': 0}\n\n"
        "@pytest.fixture\ndef counter(resource, tmp_path):\n    resource['n'] += 1\n    yield resource\n"
        "    resource['n'] -= 1\n"
    )
    for f in range(100):
        lines = ["import pytest", ""]
        for t in range(45):
            if t % 10 == 0:
                lines.append("@pytest.mark.skip(reason='later')")
            elif t % 10 == 5:
                lines.append("@pytest.mark.xfail(reason='known')")
            lines.append(f"def test_{t}(counter):\n    assert counter['n'] == 1 or {t % 10} == 5\n")
        lines.append("@pytest.mark.parametrize('x', range(55))\ndef test_p(counter, x):\n    assert counter['n'] == 1\n")
        (root / f"test_mod{f:03d}.py").write_text("\n".join(lines))


# (name, project writer, target ratio or None)
CASES = [
    ("10,000 tests, conftest fixture, half parametrized", write_conftest_fixture, 15.0),
    ("10,000 tests, yield/module fixtures, tmp_path, marks", write_mixed, None),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--runs", type=int, default=5, help="timed runs of each command")
    runs = parser.parse_args().runs
    ensure_pytest()
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} processors, median of {runs} runs")
    print(f"{'project':54} {'trelkin':>8} {'seq':>8} {'pytest':>8} {'ratio':>6} {'target':>6}")
    scripts = Path(sys.executable).parent
    with tempfile.TemporaryDirectory(prefix="trelkin-bench-") as temporary:
        for index, (name, write, target) in enumerate(CASES):
            root = Path(temporary) / str(index)
            root.mkdir()
            write(root)
            commands = {
                "trelkin": ([str(scripts / "trelkin"), "-q"], {}),
                "sequential": ([str(scripts / "trelkin"), "-q", "--sequential"], {}),
                "pytest": ([str(scripts / "pytest"), "-q", "-p", "no:cacheprovider"], {}),
            }
            times = measure(commands, root, runs)
            ours, sequential, theirs = (statistics.median(times[tool]) for tool in commands)
            verdict = "" if target is None else ("ok" if theirs / ours >= target else "MISSED")
            shown_target = f"{target:5.0f}x" if target else "     -"
            print(
                f"{name:54} {ours:7.3f}s {sequential:7.3f}s {theirs:7.3f}s {theirs / ours:5.1f}x"
                f" {shown_target}  {verdict}"
            )


if __name__ == "__main__":
    main()
