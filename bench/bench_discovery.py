"""Benchmark of discovery: `discover_tests` beside a pure-Python floor and pytest.

    python bench/bench_discovery.py            # the full run: several minutes
    python bench/bench_discovery.py --quick    # one round on a 1,000-file corpus

Run it with the interpreter that has trelkin installed; pytest must be installed in it too
(it is skipped, with a note, when it is missing).

Contenders, every measurement in a fresh process:

- trelkin: `trelkin._core.discover_tests(root)`.
- floor: the same rules in pure Python on the same interpreter: os.walk, then `ast.parse` of
  each file and the same look at its top-level statements and test classes, on one thread.
- pytest: `python -m pytest --collect-only -q` on the same tree.

Trees: the test directory of the interpreter's standard library, when it is installed, and
a synthetic corpus of 10,000 files written by make_corpus.py. The contenders alternate
round by round, so that a noisy machine disturbs them alike; the median over the rounds is
reported with half the interquartile range as the noise.

Figures: the time of the call against the floor's (target: at most 1.0), the whole trelkin
process against the whole pytest process (target on the synthetic corpus: at least 20
times faster; the trelkin process also turns its items into a checksum, so the ratio is a
lower bound), and the peak resident set of each process. trelkin and the floor must find
the same items; on the synthetic corpus, built so that pytest's collection rules and
trelkin's agree, pytest must collect the same tests. The exit status is non-zero only when
that check fails or something fails to run: a missed target is printed as MISSED.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import json
import os
import resource
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections import defaultdict
from pathlib import Path
from typing import Any

from _common import Table, child_environment, median, noise, run_fresh
from make_corpus import write_corpus

FLOOR_TARGET = 1.0  # trelkin's call time over the floor's, at most
PYTEST_TARGET = 20.0  # pytest's process time over trelkin's, at least (synthetic corpus)
TIMEOUT = 900.0  # seconds, per measurement

# ---- the floor: the same rules in pure Python -------------------------------------------

EXCLUDED = {"__pycache__", "node_modules", "target", "site"}
DEFINITIONS = ("FunctionDef", "AsyncFunctionDef")


def is_excluded_name(name: str) -> bool:
    return name.startswith(".") or name in EXCLUDED


def is_test_file_name(name: str) -> bool:
    return name.endswith(".py") and (name.startswith("test") or name.endswith("_test.py"))


def lossy(path: str) -> str:
    """The path's text with invalid UTF-8 replaced, as the walk gives it."""
    return os.fsencode(path).decode("utf-8", "replace")


def floor_find_files(root: str) -> list[str]:
    import stat

    try:
        status = os.stat(root)
    except (OSError, ValueError):
        return []
    if stat.S_ISREG(status.st_mode):
        return [root] if is_test_file_name(os.path.basename(root)) else []
    found = []
    # The identities of the directories from the root down to each directory still to be
    # walked, so that a link back to an ancestor is not entered.
    chains = {root: ((status.st_dev, status.st_ino),)}
    for directory, dirnames, filenames in os.walk(root, followlinks=True):
        chain = chains.pop(directory, ())
        kept = []
        for name in dirnames:
            path = os.path.join(directory, name)
            try:
                status = os.stat(path)
            except OSError:
                continue
            identity = (status.st_dev, status.st_ino)
            if is_excluded_name(name) or (os.path.islink(path) and identity in chain):
                continue
            chains[path] = chain + (identity,)
            kept.append(name)
        dirnames[:] = kept
        for name in filenames:
            if is_excluded_name(name) or not is_test_file_name(name):
                continue
            path = os.path.join(directory, name)
            try:
                if stat.S_ISREG(os.stat(path).st_mode):
                    found.append(lossy(path))
            except OSError:
                pass
    return found


def floor_scan(path: str, parse: Any) -> list[tuple[str, str, int]]:
    try:
        with open(path, "rb") as file:
            tree = parse(file.read().decode("utf-8"))
        items = []
        for node in tree.body:
            kind = type(node).__name__
            if kind in DEFINITIONS and node.name.startswith("test"):
                items.append((path, node.name, node.lineno))
            elif kind == "ClassDef" and node.name.startswith("Test"):
                for member in node.body:
                    if type(member).__name__ in DEFINITIONS and member.name.startswith("test"):
                        items.append((path, f"{node.name}::{member.name}", member.lineno))
        return items
    except Exception:
        return []


def floor_discover(root: str) -> list[tuple[str, str, int]]:
    import ast

    items = []
    for path in floor_find_files(root):
        items.extend(floor_scan(path, ast.parse))
    items.sort(key=lambda item: (item[0].encode(), item[2]))
    return items


# ---- what runs in the fresh processes ---------------------------------------------------

def peak_rss_kib() -> int:
    """This process's peak resident set (VmHWM). Not ru_maxrss: a child started by fork or
    vfork carries its parent's peak over the exec into that figure."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def checksum(values: list[Any]) -> str:
    return hashlib.sha256(json.dumps(values).encode()).hexdigest()


def node_ids(root: str, items: list[tuple[str, str, int]]) -> list[str]:
    """The items as pytest names them, relative to the root."""
    return sorted(f"{os.path.relpath(path, root)}::{name}" for path, name, _ in items)


def discover(contender: str, root: str) -> dict[str, Any]:
    """Runs one contender's discovery; returns its call time, the peak resident set up to the
    end of the call, and checksums of what it found."""
    import ast  # noqa: F401  (imported before the clock starts for both contenders)

    if contender == "trelkin":
        from trelkin import _core

        start = time.perf_counter()
        found = _core.discover_tests(root)
        seconds = time.perf_counter() - start
        peak_kib = peak_rss_kib()
        items = [(item.path, item.name, item.line_no) for item in found]
    else:
        start = time.perf_counter()
        items = floor_discover(root)
        seconds = time.perf_counter() - start
        peak_kib = peak_rss_kib()
    return {"seconds": seconds, "peak_kib": peak_kib, "count": len(items),
            "items": checksum(items), "ids": checksum(node_ids(root, items))}


def idle(root: str) -> dict[str, Any]:
    """The footprint of a fresh interpreter with trelkin and ast imported."""
    import ast  # noqa: F401

    from trelkin import _core  # noqa: F401

    return {"peak_kib": peak_rss_kib()}


def collect_with_pytest(root: str) -> dict[str, Any]:
    """Times a whole `pytest --collect-only -q` process on the tree, with its peak resident set
    (its ru_maxrss, which can't be less than this small process's own at the start of the
    child, far below pytest's). Exit status 2, collection errors, still counts: the tests
    that could be collected are listed."""
    env = child_environment(PYTHONDONTWRITEBYTECODE="1")  # leave the trees as they are
    command = [sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider",
               "--rootdir", root, root]
    start = time.perf_counter()
    completed = subprocess.run(command, env=env, capture_output=True, text=True,
                               timeout=TIMEOUT, cwd=tempfile.gettempdir())
    seconds = time.perf_counter() - start
    if completed.returncode not in (0, 2):
        raise RuntimeError(f"pytest exited with {completed.returncode}:\n"
                           f"{completed.stdout[-2000:]}{completed.stderr[-2000:]}")
    ids = sorted(line for line in completed.stdout.splitlines() if "::" in line)
    return {"seconds": seconds, "peak_kib": resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss,
            "count": len(ids), "ids": checksum(ids)}


# ---- the parent ------------------------------------------------------------------------

def measure_tree(root: str, rounds: int, with_pytest: bool) -> dict[str, list[dict[str, Any]]]:
    """Every contender once per round, in alternating order; trelkin's results carry the wall
    time of its whole process as "process"."""
    env = child_environment()
    results: dict[str, list[dict[str, Any]]] = defaultdict(list)
    contenders = ["trelkin", "floor"] + (["pytest"] if with_pytest else [])
    for round_number in range(rounds):
        print(f"  round {round_number + 1} of {rounds}", file=sys.stderr, flush=True)
        results["idle"].append(run_fresh(idle, env, TIMEOUT, root=root))
        order = contenders if round_number % 2 == 0 else contenders[::-1]
        for contender in order:
            start = time.perf_counter()
            if contender == "pytest":
                result = run_fresh(collect_with_pytest, env, TIMEOUT + 60, root=root)
            else:
                result = run_fresh(discover, env, TIMEOUT, contender=contender, root=root)
                result["process"] = time.perf_counter() - start
            results[contender].append(result)
    return results


def same(results: list[dict[str, Any]], key: str) -> Any:
    """The one value of `key` over all rounds, or None when the rounds disagree."""
    values = {result[key] for result in results}
    return values.pop() if len(values) == 1 else None


def report(table: Table, title: str, results: dict[str, list[dict[str, Any]]],
           pytest_agrees: bool) -> list[str]:
    """Adds the tree's figures to the table; returns the failed checks."""
    trelkin, floor, pytest = results["trelkin"], results["floor"], results.get("pytest")
    failures = []
    if same(trelkin, "items") is None or same(trelkin, "items") != same(floor, "items"):
        failures.append(f"{title}: trelkin and the floor found different items")
    table.heading(f"{title}: {trelkin[0]['count']:,} tests")
    idle_mib = median([r["peak_kib"] for r in results["idle"]]) / 1024
    table.figure("  idle interpreter, trelkin and ast imported: peak RSS", f"{idle_mib:.1f} MiB")
    for name, runs in (("trelkin", trelkin), ("floor", floor)):
        seconds = [r["seconds"] for r in runs]
        table.figure(f"  {name}: call", f"{median(seconds):.3f} s", noise(seconds))
        peak = [r["peak_kib"] / 1024 for r in runs]
        table.figure(f"  {name}: peak RSS at the end of the call", f"{median(peak):.1f} MiB")
    ratios = [t["seconds"] / f["seconds"] for t, f in zip(trelkin, floor)]
    table.target("  trelkin call / floor call", median(ratios), "", FLOOR_TARGET,
                 noise=noise(ratios))
    if pytest is None:
        table.figure("  pytest not installed: skipped", "pip install pytest")
        return failures
    processes = [r["process"] for r in trelkin]
    table.figure("  trelkin: whole process", f"{median(processes):.3f} s", noise(processes))
    seconds = [r["seconds"] for r in pytest]
    table.figure(f"  pytest --collect-only: whole process ({pytest[0]['count']:,} tests)",
                 f"{median(seconds):.3f} s", noise(seconds))
    peak = [r["peak_kib"] / 1024 for r in pytest]
    table.figure("  pytest --collect-only: peak RSS", f"{median(peak):.1f} MiB")
    speedups = [p["seconds"] / t["process"] for p, t in zip(pytest, trelkin)]
    if pytest_agrees:
        table.target("  pytest process / trelkin process", median(speedups), "x", PYTEST_TARGET,
                     at_most=False, noise=noise(speedups))
        if same(pytest, "ids") is None or same(pytest, "ids") != same(trelkin, "ids"):
            failures.append(f"{title}: pytest collected other tests than trelkin found")
    else:
        table.figure("  pytest process / trelkin process (other rules: not comparable items)",
                     f"{median(speedups):.1f}x", noise(speedups))
    return failures


def stdlib_test_directory() -> str | None:
    """The interpreter's own `test` package directory, when it is installed."""
    spec = importlib.util.find_spec("test")
    if spec is None or not spec.submodule_search_locations:
        return None
    location = Path(list(spec.submodule_search_locations)[0]).resolve()
    stdlib = Path(sysconfig.get_paths()["stdlib"]).resolve()
    return str(location) if location.parent == stdlib else None


def main() -> int:
    parser = argparse.ArgumentParser(description="Benchmark of trelkin's discovery.")
    parser.add_argument("--quick", action="store_true", help="one round, 1,000 files")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--files", type=int, default=10_000, help="synthetic corpus size")
    parser.add_argument("--corpus", type=Path, help="keep the corpus here and reuse it")
    args = parser.parse_args()
    rounds, files = (1, 1_000) if args.quick else (args.rounds, args.files)
    with_pytest = importlib.util.find_spec("pytest") is not None

    table = Table()
    failures = []
    stdlib = stdlib_test_directory()
    if stdlib is None:
        table.heading("stdlib tests: not installed with this interpreter, skipped")
    else:
        print(f"stdlib tests ({stdlib})", file=sys.stderr)
        results = measure_tree(stdlib, rounds, with_pytest)
        failures += report(table, f"stdlib tests ({stdlib})", results, pytest_agrees=False)

    with tempfile.TemporaryDirectory(prefix="trelkin-corpus-") as scratch:
        corpus = args.corpus or Path(scratch) / "corpus"
        marker = corpus / ".corpus-files"  # hidden, so neither contender looks at it
        if not (marker.exists() and marker.read_text() == str(files)):
            write_corpus(corpus, files)
            marker.write_text(str(files))
        print(f"synthetic corpus ({corpus})", file=sys.stderr)
        results = measure_tree(str(corpus), rounds, with_pytest)
        failures += report(table, f"synthetic corpus of {files:,} files", results,
                           pytest_agrees=True)

    print(f"{sys.executable} (Python {sys.version.split()[0]}), "
          f"{os.cpu_count()} processors online; medians of {rounds} rounds\n")
    print(table.render())
    if table.missed:
        print(f"\nMISSED: {', '.join(label.strip() for label in table.missed)}")
    for failure in failures:
        print(f"\nFAILED: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
