"""Running tests in parallel on the worker pool: same results, isolated output, no hangs."""

from __future__ import annotations

import random
import sys
import threading
import time

import pytest

from conftest import GET_PANIC, PANIC_ENV, needs_address_limit, make_item, run_python
from trelkin import _core


def summary(results):
    return [(r.test.path, r.test.line_no, r.test.name, r.test.args_json, r.passed, r.error)
            for r in results]


@pytest.mark.parametrize("seed", range(8))
def test_same_results_and_order_as_sequential(fake_executor, seed):
    rng = random.Random(seed)
    paths = [f"d{rng.randrange(3)}/t{rng.randrange(6)}.py" for _ in range(6)]
    items = [make_item(rng.choice(paths), f"test_{i}", rng.randrange(5), rng.choice(["", "[1]"]))
             for i in range(rng.randrange(0, 40))]
    failing = {item.name for item in items if rng.random() < 0.3}
    for name in failing:
        fake_executor.behaviours[name] = lambda: 1 / 0
    sequential = _core.run_tests_sequential(items)
    parallel = _core.run_tests(items)
    assert summary(parallel) == summary(sequential)
    assert [r.passed for r in parallel] == [r.test.name not in failing for r in parallel]


def test_one_file_runs_in_order_on_one_thread_never_overlapping(fake_executor):
    spans: list[tuple[str, str, int, float, float]] = []

    def timed(path, name):
        def behaviour():
            start = time.monotonic()
            time.sleep(0.005)
            spans.append((path, name, threading.get_ident(), start, time.monotonic()))
        return behaviour

    items = []
    for f in range(4):
        for t in range(5):
            path, name = f"f{f}.py", f"f{f}_t{t}"
            fake_executor.behaviours[name] = timed(path, name)
            items.append(make_item(path, name, 10 - t))
    _core.run_tests(items)
    for f in range(4):
        mine = [s for s in spans if s[0] == f"f{f}.py"]
        assert [s[1] for s in mine] == [f"f{f}_t{t}" for t in range(5)]
        assert len({s[2] for s in mine}) == 1
        assert all(a[4] <= b[3] for a, b in zip(mine, mine[1:]))


def test_single_file_runs_on_the_calling_thread(fake_executor):
    _core.run_tests([make_item("a.py", "x"), make_item("a.py", "y")])
    assert {call[3] for call in fake_executor.calls} == {threading.get_ident()}


@pytest.mark.parametrize("num_workers", [None, 0, 1, 1000])
def test_num_workers_changes_nothing(fake_executor, num_workers):
    items = [make_item(f"f{i % 3}.py", f"t{i}", i) for i in range(9)]
    assert summary(_core.run_tests(items, num_workers)) == summary(_core.run_tests_sequential(items))


THREADS_BY_ENV = """
import sys, threading, time, types, trelkin._core as core
seen = set()
def _execute_test(path, name, args_json):
    seen.add(threading.get_ident())
    time.sleep(0.05)
compat = types.ModuleType("trelkin._compat"); compat._execute_test = _execute_test
sys.modules["trelkin._compat"] = compat
items = []
for i in range(8):
    item = core.TestItem(); item.path = f"f{i}.py"; item.name = "t"; items.append(item)
results = core.run_tests(items)
print(len(results), len(seen), threading.get_ident() in seen)
"""


@pytest.mark.parametrize("env_value, threads", [("1", 1), ("2", 2), ("3", 3), ("+2", 2)])
def test_worker_threads_follow_the_environment(env_value, threads):
    result = run_python(THREADS_BY_ENV, env={"RAYON_NUM_THREADS": env_value})
    assert result.stdout.split() == ["8", str(threads), "False"], result.stderr


def test_empty_run_creates_the_pool():
    result = run_python("""
        import os, trelkin._core as core
        before = len(os.listdir("/proc/self/task"))
        assert core.run_tests([]) == []
        print(len(os.listdir("/proc/self/task")) - before)
    """, env={"RAYON_NUM_THREADS": "3"})
    assert result.stdout.strip() == "3", result.stderr


NESTED = """
import sys, types, trelkin._core as core
def item(path, name):
    i = core.TestItem(); i.path = path; i.name = name; return i
def _execute_test(path, name, args_json):
    if name == "outer":
        inner = core.run_tests([item("x.py", "leaf"), item("y.py", "leaf"), item("z.py", "leaf")])
        assert [r.passed for r in inner] == [True] * 3
        print("inner", name, flush=True)
compat = types.ModuleType("trelkin._compat"); compat._execute_test = _execute_test
sys.modules["trelkin._compat"] = compat
results = core.run_tests([item("a.py", "outer"), item("b.py", "outer"), item("c.py", "leaf")])
print("done", [r.passed for r in results], [r.output for r in results])
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_nested_run_from_a_worker_does_not_deadlock(threads):
    result = run_python(NESTED, env={"RAYON_NUM_THREADS": threads}, timeout=60)
    assert result.stdout.strip() == (
        "done [True, True, True] ['inner outer\\n', 'inner outer\\n', '']"), result.stderr


def test_failures_do_not_stop_other_tests(fake_executor):
    fake_executor.behaviours.update(bad=lambda: 1 / 0, exit=lambda: sys.exit(2))
    items = [make_item(f"f{i}.py", name) for i, name in enumerate(["ok", "bad", "exit", "ok2"])]
    results = _core.run_tests(items)
    assert [(r.test.name, r.passed) for r in results] == [
        ("ok", True), ("bad", False), ("exit", False), ("ok2", True)]
    assert results[1].error == "ZeroDivisionError: division by zero"


@needs_address_limit
def test_panic_in_a_parallel_run_restores_the_streams():
    result = run_python(GET_PANIC + """
import sys, types, time
def _execute_test(path, name, args_json):
    if name == "panic":
        raise PanicException("stop")
    time.sleep(0.05)
compat = types.ModuleType("trelkin._compat"); compat._execute_test = _execute_test
sys.modules["trelkin._compat"] = compat
def item(path, name):
    i = core.TestItem(); i.path = path; i.name = name; return i
before = (sys.stdout, sys.stderr)
try:
    core.run_tests([item("a.py", "ok"), item("b.py", "panic"), item("c.py", "ok")])
except BaseException as exc:
    print(type(exc) is PanicException, str(exc), (sys.stdout, sys.stderr) == before)
""", env={**PANIC_ENV})
    # The first pool failed to start under the address-space limit; the run needs a pool,
    # so this only checks that a failure leaves the streams as they were.
    assert result.stdout.split()[-1] == "True", result.stderr


class TestOutputIsolation:
    def test_each_result_holds_only_its_own_output(self, fake_executor):
        def chatty(tag):
            def behaviour():
                print(f"{tag} start")
                time.sleep(0.02)
                sys.stderr.write(f"{tag} err\n")
                time.sleep(0.02)
                print(f"{tag} end", end="")
            return behaviour

        items = []
        for f in range(6):
            for t in range(3):
                tag = f"f{f}t{t}"
                fake_executor.behaviours[tag] = chatty(tag)
                items.append(make_item(f"f{f}.py", tag, t))
        before = (sys.stdout, sys.stderr)
        results = _core.run_tests(items)
        assert (sys.stdout, sys.stderr) == before
        for r in results:
            tag = r.test.name
            assert r.output == f"{tag} start\n{tag} end", tag
            assert r.error_output == f"{tag} err\n", tag

    def test_replaced_stream_is_put_back_and_buffer_looks_like_stringio(self, fake_executor):
        import io

        seen = {}

        def replace():
            seen["is_stringio"] = isinstance(sys.stdout, io.StringIO)
            print("before")
            seen["value"] = sys.stdout.getvalue()
            sys.stdout = io.StringIO()

        def after():
            time.sleep(0.02)
            print("after")

        fake_executor.behaviours.update(replace=replace, after=after)
        items = [make_item("a.py", "replace"), make_item("a.py", "after", 1),
                 make_item("b.py", "after", 2)]
        before = sys.stdout
        results = _core.run_tests(items)
        assert sys.stdout is before
        assert seen == {"is_stringio": True, "value": "before\n"}
        assert [r.output for r in results] == ["before\n", "after\n", "after\n"]

    def test_nested_call_gives_the_outer_buffer_back(self, fake_executor):
        def outer():
            print("outer 1")
            inner = _core.run_tests([make_item("x.py", "leaf"), make_item("y.py", "leaf")])
            print("outer 2")
            assert [r.output for r in inner] == ["leaf\n", "leaf\n"]

        fake_executor.behaviours.update(outer=outer, leaf=lambda: print("leaf"))
        results = _core.run_tests([make_item("a.py", "outer"), make_item("b.py", "leaf")])
        assert [r.output for r in results] == ["outer 1\nouter 2\n", "leaf\n"]
        assert all(r.passed for r in results), [r.error for r in results]

    def test_thread_outliving_its_test_writes_to_the_real_stream(self, fake_executor, capfd):
        started = threading.Event()
        release = threading.Event()

        def spawn():
            def late():
                started.set()
                release.wait(5)
                print("late line", flush=True)
            threading.Thread(target=late).start()
            started.wait(5)

        fake_executor.behaviours.update(spawn=spawn)
        items = [make_item("a.py", "spawn"), make_item("b.py", "other")]
        results = _core.run_tests(items)
        release.set()
        time.sleep(0.1)
        assert [r.output for r in results] == ["", ""]
        assert "late line" in capfd.readouterr().out


def test_forked_child_gets_a_pool_of_its_own():
    result = run_python("""
        import os, sys, types, warnings, trelkin._core as core
        warnings.simplefilter("ignore")
        compat = types.ModuleType("trelkin._compat")
        compat._execute_test = lambda path, name, args: None
        sys.modules["trelkin._compat"] = compat
        def items():
            out = []
            for i in range(4):
                item = core.TestItem(); item.path = f"f{i}.py"; out.append(item)
            return out
        assert len(core.run_tests(items())) == 4
        pid = os.fork()
        if pid == 0:
            os._exit(0 if len(core.run_tests(items())) == 4 else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """, env={"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert result.stdout.strip() == "0", result.stderr


def test_kept_router_never_falls_back_on_itself():
    result = run_python("""
        import sys, types, trelkin._core as core
        kept = []
        def _execute_test(path, name, args):
            kept.append(sys.stdout)
        compat = types.ModuleType("trelkin._compat"); compat._execute_test = _execute_test
        sys.modules["trelkin._compat"] = compat
        def items():
            out = []
            for i in range(2):
                item = core.TestItem(); item.path = f"f{i}.py"; out.append(item)
            return out
        real = sys.stdout
        core.run_tests(items())
        sys.stdout = kept[0]          # a router left installed by the program
        core.run_tests(items())       # must not take the router as its own fallback
        sys.stdout.flush()
        print("through the router")
        sys.stdout = real
        print("ok")
    """, env={"RAYON_NUM_THREADS": "2"})
    assert result.stdout.split("\n")[:2] == ["through the router", "ok"], result.stderr


def test_sequential_test_beside_a_finishing_parallel_run_keeps_its_output(fake_executor):
    in_test, run_done = threading.Event(), threading.Event()

    def slow():
        print("first")
        in_test.set()
        assert run_done.wait(10)
        print("second")

    fake_executor.behaviours.update(slow=slow, quick=lambda: time.sleep(0.01))
    before = sys.stdout
    outcome = {}

    def parallel():
        assert in_test.wait(10)
        _core.run_tests([make_item("a.py", "quick"), make_item("b.py", "quick")])
        run_done.set()

    started = threading.Event()

    def sequential():
        # Starts while a parallel run holds the routing, which ends during this test.
        started.wait(10)
        [outcome["result"]] = _core.run_tests_sequential([make_item("c.py", "slow")])

    holder = threading.Thread(target=lambda: (_core.run_tests(
        [make_item("h1.py", "hold"), make_item("h2.py", "hold")]), None))
    fake_executor.behaviours["hold"] = lambda: (started.set(), in_test.wait(10))
    threads = [holder, threading.Thread(target=sequential), threading.Thread(target=parallel)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert outcome["result"].output == "first\nsecond\n"
    assert sys.stdout is before


def test_a_lying_length_is_only_a_hint(fake_executor):
    class Lying(list):
        def __len__(self):
            return sys.maxsize

    assert len(_core.run_tests_sequential(Lying([make_item()]))) == 1
