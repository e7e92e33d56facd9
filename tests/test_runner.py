"""Running tests one after another: capture, timing, failure texts, order."""

from __future__ import annotations

import io
import sys
import time

import pytest

from conftest import GET_PANIC, PANIC_ENV, needs_address_limit, make_item, run_python
from trelkin import _core


def run_one(fake, behaviour, nocapture=False, name="test_x"):
    fake.behaviours[name] = behaviour
    [result] = _core.run_tests_sequential([make_item(name=name)], nocapture=nocapture)
    return result


def test_executor_gets_the_three_texts(fake_executor):
    item = make_item("dir/t.py", "TestA::test_b", 4, "[1]")
    [result] = _core.run_tests_sequential([item])
    assert fake_executor.calls[0][:3] == ("dir/t.py", "TestA::test_b", "[1]")
    assert result.passed and result.error is None and result.traceback is None
    assert (result.test.path, result.test.name, result.test.line_no) == ("dir/t.py", "TestA::test_b", 4)


@pytest.mark.parametrize("returned", [False, None, ValueError("x"), 0])
def test_any_return_value_passes(fake_executor, returned):
    assert run_one(fake_executor, lambda: returned).passed


def test_capture_keeps_output_exactly_and_restores_streams(fake_executor):
    before = sys.stdout, sys.stderr

    def behaviour():
        print("out", end="")
        sys.stderr.write("err\n\n")
        raise ValueError("boom")

    result = run_one(fake_executor, behaviour)
    assert (sys.stdout, sys.stderr) == before
    assert (result.output, result.error_output) == ("out", "err\n\n")
    assert not result.passed and result.error == "ValueError: boom"
    assert result.traceback.startswith("Traceback (most recent call last):\n")
    assert 'raise ValueError("boom")' in result.traceback


def test_nocapture_leaves_streams_alone(fake_executor, capsys):
    result = run_one(fake_executor, lambda: print("shown"), nocapture=True)
    assert (result.output, result.error_output) == ("", "")
    assert capsys.readouterr().out == "shown\n"


def test_test_replacing_stdout_finds_it_restored(fake_executor):
    before = sys.stdout

    def behaviour():
        sys.stdout = io.StringIO()

    run_one(fake_executor, behaviour)
    assert sys.stdout is before


def test_lone_surrogates_in_output_are_replaced_not_dropped(fake_executor):
    result = run_one(fake_executor, lambda: print("ok \udc80 end", end=""))
    assert result.output == "ok \ufffd\ufffd\ufffd end"


class Outer:
    class Inner(Exception):
        pass


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no str")


def raise_(exc):
    def behaviour():
        raise exc
    return behaviour


@pytest.mark.parametrize("exception, error", [
    (ValueError(), "ValueError: "),
    (Outer.Inner("deep"), "Outer.Inner: deep"),
    (BadStr(), "BadStr: <exception str() failed>"),
    (SystemExit(3), "SystemExit: 3"),
    (KeyboardInterrupt(), "KeyboardInterrupt: "),
    (ValueError("a \ud800 b"), "ValueError: a \ufffd\ufffd\ufffd b"),
])
def test_failure_texts(fake_executor, exception, error):
    result = run_one(fake_executor, raise_(exception))
    assert (result.passed, result.error) == (False, error)
    assert result.traceback


def test_durations_are_truncated_milliseconds(fake_executor):
    assert min(run_one(fake_executor, lambda: None).duration_ms for _ in range(5)) == 0
    assert 20 <= run_one(fake_executor, lambda: time.sleep(0.025)).duration_ms < 2000


@pytest.mark.parametrize("setup, error", [
    ("sys.modules['trelkin._compat'] = None",
     "ModuleNotFoundError: "),
    ("sys.modules['trelkin._compat'] = types.ModuleType('trelkin._compat')",
     "AttributeError: module 'trelkin._compat' has no attribute '_execute_test'"),
])
def test_missing_executor_fails_every_test(setup, error):
    result = run_python(f"""
        import sys, types, trelkin._core as core
        {setup}
        items = [core.TestItem(), core.TestItem()]
        before = sys.stdout
        results = core.run_tests_sequential(items)
        print(sys.stdout is before, [r.passed for r in results])
        print(results[0].error)
    """)
    lines = result.stdout.splitlines()
    assert lines[0] == "True [False, False]", result.stderr
    assert lines[1].startswith(error)


def test_harness_failure_when_buffers_cannot_be_made():
    result = run_python("""
        import io, trelkin._core as core
        def broken():
            raise MemoryError("no buffer")
        io.StringIO = broken
        [r] = core.run_tests_sequential([core.TestItem()])
        print(repr((r.passed, r.duration_ms, r.output, r.error, r.traceback)))
    """)
    assert result.stdout.strip() == repr(
        (False, 0, "", "Failed to create StringIO: MemoryError: no buffer", None)), result.stderr


def test_missing_stdout_gets_the_buffer_and_keeps_it(fake_executor, monkeypatch):
    monkeypatch.delattr(sys, "stdout")
    fake_executor.behaviours["test_x"] = lambda: print("one", end="")
    [result] = _core.run_tests_sequential([make_item()])
    assert result.output == "one"
    assert sys.stdout.getvalue() == "one"  # the buffer stayed installed


def test_order_is_bytewise_path_then_line_and_groups_run_in_input_order(fake_executor):
    items = [make_item(p, f"t{i}", line) for i, (p, line) in enumerate([
        ("b.py", 5), ("a.py", 10), ("a.py", 2), ("B.py", 1), ("a/b.py", 1), ("test_2.py", 1),
        ("test_10.py", 1), ("a.py", 9), ("a.py", 2),
    ])]
    results = _core.run_tests_sequential(items)
    assert [(r.test.path, r.test.line_no, r.test.name) for r in results] == [
        ("B.py", 1, "t3"), ("a.py", 2, "t2"), ("a.py", 2, "t8"), ("a.py", 9, "t7"),
        ("a.py", 10, "t1"), ("a/b.py", 1, "t4"), ("b.py", 5, "t0"), ("test_10.py", 1, "t6"),
        ("test_2.py", 1, "t5"),
    ]
    a_calls = [name for path, name, _, _ in fake_executor.calls if path == "a.py"]
    assert a_calls == ["t1", "t2", "t7", "t8"]
    assert len(fake_executor.calls) == len(items)


def test_items_are_copied_at_the_call(fake_executor):
    item = make_item(name="test_x")
    fake_executor.behaviours["test_x"] = lambda: setattr(item, "name", "renamed")
    [result] = _core.run_tests_sequential([item, ][:1])
    assert result.test.name == "test_x" and item.name == "renamed"


PANIC_RUN = GET_PANIC + """
import sys, types
compat = types.ModuleType("trelkin._compat")
class Sub(PanicException):
    pass
def _execute_test(path, name, args_json):
    print("ran", name, file=sys.__stdout__, flush=True)
    if name == "panic":
        raise PanicException("boom")
    if name == "sub":
        raise Sub("sub")
compat._execute_test = _execute_test
sys.modules["trelkin._compat"] = compat
def item(path, name):
    i = core.TestItem(); i.path = path; i.name = name; return i
[sub] = core.run_tests_sequential([item("a.py", "sub")])
print("sub", sub.passed, sub.error)
before = sys.stdout
try:
    core.run_tests_sequential([item("a.py", "panic"), item("a.py", "after")])
except BaseException as exc:
    print("raised", type(exc) is PanicException, str(exc), sys.stdout is before)
"""


@needs_address_limit
def test_panic_from_a_test_ends_the_call():
    result = run_python(PANIC_RUN, env=PANIC_ENV)
    out = result.stdout.splitlines()
    assert "sub False Sub: sub" in out, result.stderr
    assert "raised True boom True" in out
    assert "ran after" not in out
    assert "Python stack trace below:" in result.stderr
    assert "PanicException: boom" in result.stderr


def test_real_executor_runs_functions_classes_unittest_async_and_args(write_tree):
    root = write_tree({
        "pkg/__init__.py": "",
        "pkg/helper.py": "VALUE = 3\n",
        "pkg/test_real.py": """
            import asyncio, unittest
            from pkg.helper import VALUE

            def test_plain():
                print("plain out")
                assert VALUE == 3

            def test_fails():
                assert 1 == 2, "one is not two"

            async def test_async():
                await asyncio.sleep(0)

            def test_args(a, b=0):
                assert a + b == 5

            class TestGroup:
                def setup_method(self, method):
                    self.ready = True

                def test_method(self):
                    assert self.ready

            class TestCaseStyle(unittest.TestCase):
                def setUp(self):
                    self.value = 1

                def test_ok(self):
                    self.assertEqual(self.value, 1)

                def test_bad(self):
                    self.assertEqual(self.value, 2)
        """,
        "test_loose.py": "def test_loose():\n    pass\n",
    })
    path = str(root / "pkg" / "test_real.py")
    specs = [("test_plain", ""), ("test_fails", ""), ("test_async", ""), ("test_args", "[2, 3]"),
             ("test_args", '{"a": 5}'), ("TestGroup::test_method", ""),
             ("TestCaseStyle::test_ok", ""), ("TestCaseStyle::test_bad", "")]
    items = [make_item(path, name, line, args) for line, (name, args) in enumerate(specs)]
    items.append(make_item(str(root / "test_loose.py"), "test_loose"))
    results = _core.run_tests_sequential(items)
    outcome = {(r.test.name, r.test.args_json): r for r in results}
    assert [r.passed for r in results] == [True, False, True, True, True, True, True, False, True]
    assert outcome["test_plain", ""].output == "plain out\n"
    assert outcome["test_fails", ""].error.startswith("AssertionError: one is not two")
    assert outcome["TestCaseStyle::test_bad", ""].error == "AssertionError: 1 != 2"
