"""The executor: how it calls a test, and what it does while the command line watches a run
(progress reports, skips, stopping after a Ctrl-C)."""

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
    monkeypatch.setattr(_compat, "_stopped", False)
    monkeypatch.setattr(_compat, "skipped", {})
    monkeypatch.setattr(_compat, "_report", None)
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


def test_without_a_watcher_a_skip_is_a_failure_as_the_core_sees_it(module):
    with pytest.raises(unittest.SkipTest):
        _compat._execute_test(module, "test_skip", "")


def test_watched_run_reports_outcomes_and_records_skips(module, monkeypatch):
    reported = []
    monkeypatch.setattr(_compat, "_report", lambda *args: reported.append(args))
    _compat._execute_test(module, "test_args", "")
    with pytest.raises(ValueError):
        _compat._execute_test(module, "test_fails", "")
    _compat._execute_test(module, "test_skip", "")
    _compat._execute_test(module, "TestCase::test_skips", "")
    assert [(name, outcome) for _, name, _, outcome in reported] == [
        ("test_args", "passed"), ("test_fails", "failed"), ("test_skip", "skipped"),
        ("TestCase::test_skips", "skipped")]
    assert _compat.skipped == {(module, "test_skip", ""): "later",
                               (module, "TestCase::test_skips", ""): "why not"}


def test_keyboard_interrupt_stops_the_tests_not_yet_started(module, monkeypatch):
    reported = []
    monkeypatch.setattr(_compat, "_report", lambda *args: reported.append(args[3]))
    with pytest.raises(KeyboardInterrupt):
        _compat._execute_test(module, "test_interrupted", "")
    with pytest.raises(_compat.RunInterrupted):
        _compat._execute_test(module, "test_args", "")
    assert calls(module) == []
    assert reported == ["interrupted", "interrupted"]
