"""Per-test capture when several capturing executions are live: redirects, threads, nesting."""

from __future__ import annotations

import contextlib
import io
import sys
import threading
import time

import pytest

from conftest import make_item
from trelkin import _core

REDIRECTS = {"stdout": contextlib.redirect_stdout, "stderr": contextlib.redirect_stderr}


@pytest.mark.parametrize("stream", ["stdout", "stderr"])
def test_redirect_held_by_one_file_survives_other_files_ending(fake_executor, stream):
    inside = threading.Event()
    seen = {}

    def holder():
        buffer = io.StringIO()
        with REDIRECTS[stream](buffer):
            print("before", file=getattr(sys, stream))
            inside.set()
            time.sleep(0.3)  # the other file's tests start and end meanwhile
            print("after", file=getattr(sys, stream))
        seen["buffer"] = buffer.getvalue()
        print("outside", file=getattr(sys, stream))

    def quick():
        inside.wait(5)
        print("quick")

    fake_executor.behaviours.update(holder=holder, quick=quick)
    items = [make_item("a.py", "holder")] + [make_item("b.py", "quick", i) for i in range(4)]
    before = sys.stdout, sys.stderr
    results = _core.run_tests(items)
    assert (sys.stdout, sys.stderr) == before
    # While the redirect is in place it is the process's stream: what the other file's
    # tests print meanwhile lands there too, but nothing is lost.
    lines = seen["buffer"].splitlines()
    assert [line for line in lines if line != "quick"] == ["before", "after"]
    held = results[0]
    assert held.passed, held.error
    assert (held.output if stream == "stdout" else held.error_output) == "outside\n"
    assert all(r.output in ("quick\n", "") for r in results[1:])
    assert sum(r.output == "quick\n" for r in results[1:]) + lines.count("quick") == 4


def printing(tag, rounds=4):
    def behaviour():
        for n in range(rounds):
            print(f"{tag} {n}")
            sys.stderr.write(f"{tag} err {n}\n")
            time.sleep(0.002)
    return behaviour


def expected(tag, rounds=4):
    return ("".join(f"{tag} {n}\n" for n in range(rounds)),
            "".join(f"{tag} err {n}\n" for n in range(rounds)))


def run_on_threads(calls):
    """Runs each call on its own thread at once; returns their return values."""
    returned = [None] * len(calls)
    start = threading.Barrier(len(calls))

    def run(index):
        start.wait(10)
        returned[index] = calls[index]()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    return returned


@pytest.mark.parametrize("runners", [
    ("sequential", "sequential"),
    ("sequential", "parallel"),
    ("sequential", "sequential", "parallel", "parallel"),
])
def test_runs_on_several_host_threads_keep_every_output_apart(fake_executor, capfd, runners):
    calls, tags = [], []
    for index, runner in enumerate(runners):
        items = []
        for f in range(3):
            tag = f"r{index}f{f}"
            fake_executor.behaviours[tag] = printing(tag)
            items.append(make_item(f"{tag}.py", tag))
            tags.append(tag)
        run = _core.run_tests if runner == "parallel" else _core.run_tests_sequential
        calls.append(lambda run=run, items=items: run(items))
    before = sys.stdout, sys.stderr
    results = [r for run in run_on_threads(calls) for r in run]
    assert (sys.stdout, sys.stderr) == before
    assert sorted(r.test.name for r in results) == sorted(tags)
    for r in results:
        assert (r.output, r.error_output) == expected(r.test.name), r.test.name
    assert capfd.readouterr() == ("", "")


def test_swapping_test_keeps_its_output_while_a_routed_run_comes_and_goes(fake_executor):
    swapped, run_done = threading.Event(), threading.Event()

    def alone():
        print("one")
        assert type(sys.stdout) is io.StringIO  # alone so far: the buffer itself
        swapped.set()
        assert run_done.wait(10)
        print("two")

    fake_executor.behaviours.update(alone=alone, chatty=printing("chatty"))

    def parallel():
        assert swapped.wait(10)
        results = _core.run_tests([make_item("x.py", "chatty"), make_item("y.py", "chatty")])
        run_done.set()
        return results

    before = sys.stdout, sys.stderr
    sequential, routed = run_on_threads([
        lambda: _core.run_tests_sequential([make_item("s.py", "alone")]), parallel])
    assert (sys.stdout, sys.stderr) == before
    assert sequential[0].passed, sequential[0].error
    assert sequential[0].output == "one\ntwo\n"
    assert [(r.output, r.error_output) for r in routed] == [expected("chatty")] * 2


def test_test_replacing_its_stream_in_a_parallel_run_gets_the_router_back(fake_executor):
    # The replacement is the test's own: the file's next test captures again.
    fake_executor.behaviours.update(
        replace=lambda: setattr(sys, "stdout", io.StringIO()),
        delete=lambda: delattr(sys, "stderr"),
        after=printing("after", 1))
    items = [make_item("a.py", "replace"), make_item("a.py", "delete", 1),
             make_item("a.py", "after", 2), make_item("b.py", "after", 3)]
    before = sys.stdout, sys.stderr
    results = _core.run_tests(items)
    assert (sys.stdout, sys.stderr) == before
    assert [(r.output, r.error_output) for r in results[2:]] == [expected("after", 1)] * 2


@pytest.mark.parametrize("inner", ["sequential", "parallel"])
def test_run_nested_in_a_swapping_test_gives_its_buffer_back(fake_executor, inner):
    run = _core.run_tests if inner == "parallel" else _core.run_tests_sequential
    seen = {}

    def outer():
        print("outer 1")
        seen["inner"] = [(r.output, r.error_output)
                         for r in run([make_item("x.py", "leaf"), make_item("y.py", "leaf")])]
        print("outer 2")
        seen["stream"] = sys.stdout

    fake_executor.behaviours.update(outer=outer, leaf=printing("leaf", 2))
    before = sys.stdout, sys.stderr
    [result] = _core.run_tests_sequential([make_item("a.py", "outer")])
    assert (sys.stdout, sys.stderr) == before
    assert result.passed, result.error
    assert result.output == "outer 1\nouter 2\n"
    assert seen["inner"] == [expected("leaf", 2)] * 2
    assert type(seen["stream"]) is io.StringIO  # alone again: the buffer itself, no router
