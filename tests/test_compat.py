"""The executor's plain calls, as the Python API makes them (the command's own tests go
through its session, tested with the command)."""

from __future__ import annotations

import unittest

import pytest

from trelkin import _compat

SOURCE = """
import asyncio, unittest

CALLS = []

def test_args(*args, **kwargs):
    CALLS.append((args, kwargs))

async def test_async():
    await asyncio.sleep(0)
    CALLS.append("async")

def test_fails():
    raise ValueError("no")

def test_interrupted():
    raise KeyboardInterrupt

@unittest.skip("later")
def test_skip():
    pass

class TestPlain:
    def setup_method(self, method):
        CALLS.append(("setup", method.__name__))

    def test_m(self):
        CALLS.append("m")

    def teardown_method(self, method):
        CALLS.append("teardown")

class TestCase(unittest.TestCase):
    def test_skips(self):
        self.skipTest("why not")
"""


@pytest.fixture
def module(tmp_path, monkeypatch):
    path = tmp_path / "test_compat_target.py"
    path.write_text(SOURCE)
    _compat._load_module(str(path)).CALLS.clear()
    return str(path)


def calls(path):
    return _compat._load_module(path).CALLS


@pytest.mark.parametrize(("args_json", "expected"), [
    ("", ((), {})),
    ("[1, \"two\", null]", ((1, "two", None), {})),
    ("{\"x\": [1]}", ((), {"x": [1]})),
    ("3", ((3,), {})),
])
def test_args_json(module, args_json, expected):
    _compat._execute_test(module, "test_args", args_json)
    assert calls(module) == [expected]


def test_async_and_class_tests_run(module):
    _compat._execute_test(module, "test_async", "")
    _compat._execute_test(module, "TestPlain::test_m", "")
    assert calls(module) == ["async", ("setup", "test_m"), "m", "teardown"]


def test_a_skip_is_a_failure_as_the_core_sees_it(module):
    with pytest.raises(unittest.SkipTest):
        _compat._execute_test(module, "test_skip", "")


def test_a_planned_test_goes_to_its_run(monkeypatch):
    ran = []

    class Run:
        def execute(self, index):
            ran.append(index)

    monkeypatch.setitem(_compat.runs, 7, Run())
    _compat._execute_test("any.py", "test_x", "@7/3")
    assert ran == [3]
