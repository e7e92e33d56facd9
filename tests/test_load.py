"""Load: a hundred thousand tests in a thousand files through discovery and both runners,
and twenty host threads running and discovering at once. Every result is there, in order,
and memory stays level from one round to the next."""

from __future__ import annotations

import gc
import json
import os
import sys
import types
from pathlib import Path

import pytest

from conftest import run_python
from trelkin import _core

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
MEASURED = not SANITIZED and sys.getallocatedblocks() > 0
FILES, TESTS_PER_FILE = 1_000, 100


@pytest.fixture(scope="module")
def corpus(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("corpus")
    body = "".join(f"def test_{n}():\n    pass\n" for n in range(TESTS_PER_FILE))
    for number in range(FILES):
        directory = root / f"pkg{number % 10}"
        directory.mkdir(exist_ok=True)
        (directory / f"test_m{number:03}.py").write_text(body)
    return root


def memory() -> tuple[int, int]:
    from test_leaks import heap_in_use

    gc.collect()
    return sys.getallocatedblocks(), heap_in_use()


@pytest.mark.parametrize("runner", [_core.run_tests_sequential, _core.run_tests],
                         ids=["sequential", "parallel"])
def test_hundred_thousand_tests_in_a_thousand_files(corpus, monkeypatch, runner):
    items = _core.discover_tests(str(corpus))
    assert len(items) == FILES * TESTS_PER_FILE
    expected = [(f"{corpus}/pkg{n % 10}/test_m{n:03}.py", f"test_{t}", 1 + 2 * t)
                for n in sorted(range(FILES), key=lambda n: (n % 10, n))
                for t in range(TESTS_PER_FILE)]
    assert [(i.path, i.name, i.line_no) for i in items] == expected

    calls = []
    executor = types.ModuleType("trelkin._compat")
    executor._execute_test = lambda path, name, args_json: calls.append(None)
    monkeypatch.setitem(sys.modules, "trelkin._compat", executor)
    levels = []
    for _ in range(3 if MEASURED else 1):
        calls.clear()
        results = runner(items)
        assert len(calls) == len(results) == len(items)
        assert all(r.passed for r in results)
        assert [(r.test.path, r.test.name, r.test.line_no) for r in results] == expected
        del results
        levels.append(memory() if MEASURED else None)
    if MEASURED:
        # A hundred thousand results were made and dropped between the last two readings:
        # a byte or a block kept per test would show as 100,000 of them.
        (blocks_2, heap_2), (blocks_3, heap_3) = levels[1:]
        assert blocks_3 - blocks_2 < 1_000 and heap_3 - heap_2 < 1_000_000, levels


# Twenty host threads, each running its own files through run_tests and discovering its own
# tree, round after round; prints the outcome as JSON.
CONCURRENT = """
import gc, json, sys, threading, types, trelkin._core as core
sys.path.insert(0, TESTS)
root, threads, rounds = ROOT, 20, ROUNDS
def item(path, name, line):
    made = core.TestItem()
    made.path, made.name, made.line_no = path, name, line
    return made
compat = types.ModuleType("trelkin._compat")
compat._execute_test = lambda path, name, args_json: print(name)
sys.modules["trelkin._compat"] = compat
streams = (sys.stdout, sys.stderr)
errors, mixed = [], []
levels = []
def work(k, barrier):
    try:
        mine = [item(f"t{k}/f{f}.py", f"t{k}_{f}_{n}", 50 - n) for n in range(50)
                for f in range(10)]
        expected = sorted(((i.path, i.name, i.line_no) for i in mine),
                          key=lambda key: (key[0].encode(), key[2]))
        for _ in range(rounds):
            barrier.wait(60)
            results = core.run_tests(mine)
            assert [(r.test.path, r.test.name, r.test.line_no) for r in results] == expected
            assert all(r.passed for r in results)
            mixed.extend(r.test.name for r in results if r.output != r.test.name + "\\n")
            found = core.discover_tests(f"{root}/d{k % 4}")
            assert [i.path for i in found] == sorted(i.path for i in found)
            assert len(found) == 50 * 3, len(found)
            barrier.wait(60)
    except BaseException as error:
        errors.append(repr(error))
        barrier.abort()
def measure():
    from test_leaks import heap_in_use
    gc.collect()
    levels.append((sys.getallocatedblocks(), heap_in_use()))
for round_group in range(2):
    barrier = threading.Barrier(threads, action=measure if MEASURED else None)
    workers = [threading.Thread(target=work, args=(k, barrier)) for k in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
print(json.dumps({"errors": errors, "mixed": len(mixed), "levels": levels,
                  "restored": (sys.stdout, sys.stderr) == streams}), file=sys.__stderr__)
"""


def run_concurrently(root: Path, rounds: int) -> dict:
    for tree in range(4):
        for number in range(50):
            target = root / f"d{tree}" / f"test_{number}.py"
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text("def test_a():\n    pass\n\n\ndef test_b():\n    pass\n"
                              "\n\nclass TestC:\n    def test_c(self):\n        pass\n")
    source = (CONCURRENT.replace("TESTS", repr(str(Path(__file__).parent)))
              .replace("ROOT", repr(str(root))).replace("ROUNDS", str(rounds))
              .replace("MEASURED", str(MEASURED)))
    result = run_python(source, timeout=240, env={"RAYON_NUM_THREADS": "4"})
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stderr.splitlines()[-1])


def test_twenty_host_threads_run_and_discover_at_once(tmp_path):
    outcome = run_concurrently(tmp_path, rounds=3 if MEASURED else 1)
    assert outcome["errors"] == []
    if MEASURED:
        # Readings at each barrier, while no thread holds any result: from the second
        # group of rounds on, memory stays where the first group left it.
        levels = outcome["levels"]
        first, last = levels[len(levels) // 2 - 1], levels[-1]
        assert last[0] - first[0] < 2_000 and last[1] - first[1] < 2_000_000, levels


def test_concurrent_runs_keep_output_apart_and_put_the_streams_back(tmp_path):
    # Runs started and finished by different threads in any interleaving: each test's output
    # is its own, and afterwards sys.stdout and sys.stderr are the objects they were before.
    outcome = run_concurrently(tmp_path, rounds=1)
    assert outcome["errors"] == []
    assert outcome["mixed"] == 0
    assert outcome["restored"]
