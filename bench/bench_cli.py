"""Whole-command time of `trelkin -q` against `pytest -q -p no:cacheprovider`.

Three synthetic projects, generated in a temporary directory:

- 10,000 trivial tests in 100 files (target: trelkin at least 20 times faster);
- 40 files of 5 tests that each sleep 20 ms, both run on 8 workers, trelkin with `-n 8` and
  pytest with pytest-xdist's `-n 8` (target: at least 3 times faster);
- one file with one test, what every edit-and-rerun costs (target: at least 4 times faster).

pytest is timed twice: as installed, loading every plugin of the environment (this
project's has hypothesis's), which is the command the targets speak of; and bare, with
plugin autoloading off (PYTEST_DISABLE_PLUGIN_AUTOLOAD=1, xdist loaded by name where it is
used), the leanest pytest there is. Every run is a fresh process; the commands take turns,
after one warm-up run each (which also leaves the bytecode caches written), and the table
gives the medians. The commands are the console scripts beside the interpreter that runs
this file, which must be that of the environment trelkin is installed in; pytest and
pytest-xdist are installed into it when missing.

    .venv/bin/python bench/bench_cli.py [--runs N]
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def write_trivial(root: Path) -> None:
    for f in range(100):
        tests = "".join(f"def test_{t}():\n    assert {t} + 1 == {t + 1}\n\n" for t in range(100))
        (root / f"test_mod{f:03d}.py").write_text(tests)


def write_sleeping(root: Path) -> None:
    for f in range(40):
        tests = "".join(f"def test_{t}():\n    time.sleep(0.02)\n\n" for t in range(5))
        (root / f"test_sleep{f:02d}.py").write_text("import time\n\n" + tests)


def write_one(root: Path) -> None:
    (root / "test_one.py").write_text("def test_one():\n    assert 1 + 1 == 2\n")


# (name, project writer, trelkin's extra arguments, pytest's extra arguments, target ratio)
CASES = [
    ("10,000 trivial tests", write_trivial, [], [], 20.0),
    ("40 files of sleeping tests, 8 workers", write_sleeping, ["-n", "8"], ["-n", "8"], 3.0),
    ("one file, one test", write_one, [], [], 4.0),
]


def ensure_pytest() -> None:
    missing = [
        name
        for name, module in (("pytest", "pytest"), ("pytest-xdist", "xdist"))
        if importlib.util.find_spec(module) is None
    ]
    if missing:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=True)


def timed(command: list[str], cwd: Path, extra_env: dict[str, str]) -> float:
    # Bytecode caches on, as in a usual environment: every tool reuses them run after run.
    dropped = ("PYTEST_ADDOPTS", "RAYON_NUM_THREADS", "PYTHONDONTWRITEBYTECODE")
    env = {k: v for k, v in os.environ.items() if k not in dropped} | extra_env
    start = time.perf_counter()
    result = subprocess.run(
        command, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
    )
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({result.returncode}):\n{result.stderr}")
    return elapsed


def measure(
    commands: dict[str, tuple[list[str], dict[str, str]]], root: Path, runs: int
) -> dict[str, list[float]]:
    """Wall times of `runs` runs of each command in `root`, by tool. The commands take turns,
    after one untimed warm-up run each, which also leaves the bytecode caches written."""
    times: dict[str, list[float]] = {tool: [] for tool in commands}
    for command, env in commands.values():
        timed(command, root, env)
    for _ in range(runs):
        for tool, (command, env) in commands.items():
            times[tool].append(timed(command, root, env))
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--runs", type=int, default=5, help="timed runs of each command")
    runs = parser.parse_args().runs
    ensure_pytest()
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} processors, median of {runs} runs")
    print(
        f"{'project':40} {'trelkin':>8} {'pytest':>8} {'ratio':>6}"
        f" {'bare':>8} {'ratio':>6} {'target':>6}"
    )
    # The console scripts, as a developer types them, next to this interpreter.
    scripts = Path(sys.executable).parent
    pytest = [str(scripts / "pytest"), "-q", "-p", "no:cacheprovider"]
    bare = {"PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1"}
    with tempfile.TemporaryDirectory(prefix="trelkin-bench-") as temporary:
        for index, (name, write, trelkin_args, pytest_args, target) in enumerate(CASES):
            root = Path(temporary) / str(index)
            root.mkdir()
            write(root)
            xdist = ["-p", "xdist.plugin"] if "-n" in pytest_args else []
            commands = {
                "trelkin": ([str(scripts / "trelkin"), "-q", *trelkin_args], {}),
                "pytest": ([*pytest, *pytest_args], {}),
                "bare": ([*pytest, *xdist, *pytest_args], bare),
            }
            times = measure(commands, root, runs)
            ours, theirs, leanest = (statistics.median(times[tool]) for tool in commands)
            verdict = "ok" if theirs / ours >= target else "MISSED"
            print(
                f"{name:40} {ours:7.3f}s {theirs:7.3f}s {theirs / ours:5.1f}x"
                f" {leanest:7.3f}s {leanest / ours:5.1f}x {target:5.0f}x  {verdict}"
            )


if __name__ == "__main__":
    main()
