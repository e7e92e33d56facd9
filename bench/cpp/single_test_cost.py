"""Per-test cost of the core's single-test path, as ratios taken within one run.

    python bench/cpp/single_test_cost.py            # about 20 seconds
    python bench/cpp/single_test_cost.py --quick    # one short round, as a smoke run

Run it with an interpreter where trelkin is importable. The executor is an in-memory module
standing in for trelkin._compat whose _execute_test does nothing, so the figures are the
harness's own cost: finding the executor, capture set-up and tear-down, timing, the
result record. Each is set against its floor, a pure-Python loop doing the same work for
the same calls:

1. capture on: `run_tests_sequential` against a loop that swaps sys.stdout/sys.stderr into
   fresh io.StringIO buffers around each call and reads them back;
2. capture off: `run_tests_sequential(nocapture=True)` against a bare loop of calls;
3. routed: one test per file, run by `run_tests` on one pool thread (RAYON_NUM_THREADS=1 is
   set here), so that every test routes, against the capture-on floor.
"""

from __future__ import annotations

import argparse
import io
import os
import statistics
import sys
import time
import types

os.environ.setdefault("RAYON_NUM_THREADS", "1")

from trelkin import _core  # noqa: E402


def _execute_test(path: str, name: str, args_json: str) -> None:
    return None


def install_executor() -> None:
    module = types.ModuleType("trelkin._compat")
    module._execute_test = _execute_test  # type: ignore[attr-defined]
    sys.modules["trelkin._compat"] = module


def make_items(count: int, files: int) -> list[_core.TestItem]:
    items = []
    for index in range(count):
        item = _core.TestItem()
        item.path, item.name, item.line_no = f"test_{index % files:05d}.py", f"test_{index}", index
        items.append(item)
    return items


def floor_capture(items: list[_core.TestItem]) -> None:
    for item in items:
        saved = sys.stdout, sys.stderr
        out, err = io.StringIO(), io.StringIO()
        sys.stdout, sys.stderr = out, err
        start = time.monotonic_ns()
        try:
            sys.modules["trelkin._compat"]._execute_test(item.path, item.name, item.args_json)
        except BaseException:
            pass
        time.monotonic_ns() - start
        sys.stdout, sys.stderr = saved
        out.getvalue(), err.getvalue()


def floor_bare(items: list[_core.TestItem]) -> None:
    for item in items:
        start = time.monotonic_ns()
        sys.modules["trelkin._compat"]._execute_test(item.path, item.name, item.args_json)
        time.monotonic_ns() - start


def per_test_us(run, items, rounds: int) -> float:
    """Median over rounds of the time per test, in microseconds."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run(items)
        times.append((time.perf_counter() - start) / len(items) * 1e6)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    count, rounds = (2_000, 1) if options.quick else (20_000, 7)
    install_executor()
    one_file = make_items(count, 1)
    many_files = make_items(count, count)
    cases = [
        ("capture on", lambda items: _core.run_tests_sequential(items), floor_capture, one_file),
        ("capture off", lambda items: _core.run_tests_sequential(items, nocapture=True),
         floor_bare, one_file),
        ("routed (run_tests)", lambda items: _core.run_tests(items), floor_capture, many_files),
    ]
    print(f"{count} tests, median of {rounds} rounds; per test in microseconds")
    print(f"{'case':<20} {'trelkin':>9} {'floor':>9} {'ratio':>7}")
    for name, ours, floor, items in cases:
        ours(items[:100])  # warm-up: the pool, interned names, the routed streams
        core_us = per_test_us(ours, items, rounds)
        floor_us = per_test_us(floor, items, rounds)
        print(f"{name:<20} {core_us:9.2f} {floor_us:9.2f} {core_us / floor_us:7.2f}")


if __name__ == "__main__":
    main()
