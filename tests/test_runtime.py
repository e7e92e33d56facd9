"""The runtime against pytest on small trees: the same node ids and outcomes for
collection rules, unittest cases, xunit setups and the outcome faults a runner can get
wrong."""

from __future__ import annotations

import sys
import textwrap
from pathlib import Path

import pytest

from _runtime_oracle import pytest_outcomes, runtime_outcomes, runtime_report


def write(root: Path, files: dict[str, str]) -> Path:
    for relative, source in files.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(source), encoding="utf-8")
    return root


TREES: dict[str, dict[str, str]] = {
    "functions and classes by pytest's name rules": {
        "test_names.py": """
            import os
            def test_a(): pass
            def helper_test(): pass
            def testb(): assert False
            class TestK:
                def test_m(self): pass
                def other(self): pass
                class TestInner:
                    def test_deep(self): pass
            class Tests:
                def test_x(self): pass
            class NotATest:
                def test_never(self): pass
            class Marked:
                __test__ = True
                def test_marked(self): pass
            class TestSkippedByFlag:
                __test__ = False
                def test_hidden(self): pass
            class TestWithInit:
                def __init__(self): pass
                def test_never(self): pass
            if os.name:
                def test_under_if(): pass
            """,
    },
    "inherited methods, bases first, and imported classes": {
        "helpers_base.py": """
            class TestBase:
                def test_base(self): pass
                def test_overridden(self): assert False
            """,
        "test_inherit.py": """
            from helpers_base import TestBase
            class Mixin:
                def test_from_mixin(self): pass
            class TestChild(Mixin, TestBase):
                def test_own(self): pass
                def test_overridden(self): pass
            """,
    },
    "unittest cases whatever their names": {
        "test_cases.py": """
            import unittest
            class Checks(unittest.TestCase):
                def test_b(self): pass
                def test_a(self): self.assertEqual(1, 2)
                def helper(self): pass
            class Base(unittest.TestCase):
                def test_inherited(self): pass
            class Derived(Base):
                def test_derived(self): pass
            @unittest.skip("whole class")
            class Skipped(unittest.TestCase):
                @classmethod
                def setUpClass(cls): raise RuntimeError("never")
                def test_s(self): pass
            class Outcomes(unittest.TestCase):
                @unittest.expectedFailure
                def test_expected(self): self.fail("x")
                @unittest.expectedFailure
                def test_unexpected(self): pass
                def test_skip_inside(self): self.skipTest("later")
                def test_error(self): raise KeyError("k")
            """,
    },
    "a TestLoader sort order of the suite's own": {
        "test_loader.py": """
            import unittest
            unittest.TestLoader.sortTestMethodsUsing = staticmethod(lambda a, b: (a < b) - (a > b))
            order = []
            class Reversed(unittest.TestCase):
                def test_a(self): order.append("a"); self.assertEqual(order, ["c", "b", "a"])
                def test_b(self): order.append("b")
                def test_c(self): order.append("c")
                test_value = 3
                testNoUnderscore = lambda self: None
            """,
    },
    "class fixtures that subclasses inherit or replace": {
        "test_class_fixtures.py": """
            import unittest
            import pytest
            class Base:
                @pytest.fixture(autouse=True)
                def marker(self):
                    self.seen = "base"
            class TestInherits(Base):
                def test_seen(self): assert self.seen == "base"
            class TestReplaces(Base):
                def marker(self): pass
                def test_not_seen(self): assert not hasattr(self, "seen")
            class Cases(unittest.TestCase):
                @pytest.fixture(autouse=True)
                def prepared(self):
                    self.ready = True
                def test_ready(self): self.assertTrue(self.ready)
            class Replaced(Cases):
                prepared = None
                def test_plain(self): self.assertFalse(hasattr(self, "ready"))
            """,
    },
    "unittest class and module hooks, failing teardowns": {
        "test_hooks.py": """
            import unittest
            log = []
            def setUpModule(): log.append("module")
            def tearDownModule(): raise RuntimeError("module teardown")
            class A(unittest.TestCase):
                @classmethod
                def setUpClass(cls): log.append("class")
                @classmethod
                def tearDownClass(cls): raise RuntimeError("class teardown")
                def setUp(self): self.value = 1
                def test_1(self): self.assertEqual(log, ["module", "class"])
                def test_2(self): self.assertEqual(self.value, 1)
            class B(unittest.TestCase):
                @classmethod
                def setUpClass(cls): raise RuntimeError("class setup")
                def test_3(self): pass
            class C(unittest.TestCase):
                def setUp(self): raise ValueError("setUp")
                def test_4(self): pass
                def tearDown(self): pass
            """,
    },
    "xunit setups and teardowns": {
        "test_xunit.py": """
            calls = []
            def setup_module(module): calls.append("module")
            def teardown_module(): calls.append("~module")
            def setup_function(function): calls.append("f:" + function.__name__)
            def teardown_function(function): calls.append("~f")
            def test_one(): assert calls == ["module", "f:test_one"]
            class TestX:
                @classmethod
                def setup_class(cls): calls.append("class")
                @classmethod
                def teardown_class(cls): calls.append("~class")
                def setup_method(self, method): calls.append("m:" + method.__name__)
                def teardown_method(self): calls.append("~m")
                def test_two(self): assert calls[-2:] == ["class", "m:test_two"]
                def test_three(self): assert calls[-3:] == ["~m", "m:test_three"][:0] + calls[-3:]
            def test_last(): assert "~class" in calls and "f:test_one" in calls
            class TestBroken:
                def setup_method(self, method): raise RuntimeError("setup")
                def test_errors(self): pass
            class TestBrokenTeardown:
                def teardown_method(self, method): raise RuntimeError("teardown")
                def test_passes_then_errors(self): pass
            """,
    },
    "fixtures named like tests": {
        "test_fixture_names.py": """
            import pytest
            @pytest.fixture
            def test_url():
                return "http://x"
            def test_uses(test_url):
                assert test_url == "http://x"
            """,
    },
    "outcomes raised inside tests": {
        "test_raised.py": """
            import pytest
            def test_skip(): pytest.skip("not today")
            def test_xfail(): pytest.xfail("known")
            def test_fail(): pytest.fail("bad", pytrace=False)
            def test_fail_trace(): pytest.fail("bad")
            def test_system_exit(): raise SystemExit(3)
            def test_importorskip(): pytest.importorskip("no_such_module_here")
            def test_passes(): pass
            """,
    },
    "import errors and module-level skips": {
        "test_broken.py": "import no_such_module_anywhere\ndef test_x(): pass\n",
        "test_syntax.py": "def test_x(:\n    pass\n",
        "test_modskip.py": "import pytest\npytest.skip('no', allow_module_level=True)\ndef test_x(): pass\n",
        "test_orskip.py": "import pytest\npytest.importorskip('no_such_module_again')\ndef test_x(): pass\n",
        "test_bad_skip.py": "import pytest\npytest.skip('no')\ndef test_x(): pass\n",
        "test_runtime_error.py": "raise RuntimeError('at import')\n",
        "test_fine.py": "def test_ok(): pass\n",
    },
    "packages and same-named files": {
        "a/__init__.py": "",
        "a/test_same.py": "def test_in_a(): pass\n",
        "b/__init__.py": "",
        "b/test_same.py": "def test_in_b(): pass\n",
        "c/sub/__init__.py": "",
        "c/sub/test_deep.py": "from . import helper\ndef test_relative(): assert helper.VALUE == 1\n",
        "c/sub/helper.py": "VALUE = 1\n",
    },
}


@pytest.mark.parametrize("files", list(TREES.values()), ids=list(TREES))
def test_outcomes_match_pytest(tmp_path: Path, files: dict[str, str]) -> None:
    tree = write(tmp_path, files)
    assert runtime_outcomes(tree) == pytest_outcomes(tree)


def test_same_basename_outside_packages_both_run(tmp_path: Path) -> None:
    # pytest refuses the second file ("import file mismatch"); both run here.
    tree = write(tmp_path, {
        "one/test_dup.py": "def test_one(): pass\n",
        "two/test_dup.py": "def test_two(): pass\n",
    })
    assert runtime_outcomes(tree) == {
        "one/test_dup.py::test_one": "passed",
        "two/test_dup.py::test_two": "passed",
    }


def test_durations_are_each_phase_alone(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "test_time.py": """
            import time, pytest
            time.sleep(0.2)
            @pytest.fixture
            def slow():
                time.sleep(0.1)
                yield
                time.sleep(0.1)
            def test_t(slow):
                pass
            """,
    })
    (record,) = runtime_report(tree)
    assert record["duration"] < 0.05
    assert 0.09 < record["setup_duration"] < 0.2
    assert 0.09 < record["teardown_duration"] < 0.2


def test_failing_class_teardown_is_reported_at_the_last_test(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "test_td.py": """
            import unittest
            class A(unittest.TestCase):
                @classmethod
                def tearDownClass(cls): raise RuntimeError("class teardown")
                def test_1(self): pass
                def test_2(self): pass
            def test_after(): pass
            """,
    })
    records = {record["nodeid"]: record for record in runtime_report(tree)}
    assert records["test_td.py::A::test_1"]["teardown_error"] is None
    error = records["test_td.py::A::test_2"]["teardown_error"]
    assert error["kind"] == "error" and error["phase"] == "teardown"
    assert "class teardown" in error["longrepr"]
    assert records["test_td.py::test_after"]["kind"] == "passed"


def test_generator_tests_fail(tmp_path: Path) -> None:
    # pytest 9 makes the whole file a collection error, pytest 8 an xfail: failing the
    # test itself keeps the file's other tests.
    tree = write(tmp_path, {
        "test_gen.py": """
            def test_generator():
                assert False
                yield
            async def test_agen():
                yield 1
            def test_other(): pass
            """,
    })
    records = {record["nodeid"]: record for record in runtime_report(tree)}
    for name in ("test_generator", "test_agen"):
        assert records[f"test_gen.py::{name}"]["kind"] == "failed"
        assert "yield tests are not supported" in records[f"test_gen.py::{name}"]["message"]
    assert records["test_gen.py::test_other"]["kind"] == "passed"


def test_failing_subtest_fails_the_test(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "test_sub.py": """
            import unittest
            class Case(unittest.TestCase):
                def test_subtests(self):
                    for i in range(3):
                        with self.subTest(i=i):
                            self.assertLess(i, 2)
            """,
    })
    (record,) = runtime_report(tree)
    assert record["kind"] == "failed" and "2 not less than 2" in record["longrepr"]


def test_skip_marks_never_run_the_body(tmp_path: Path) -> None:
    marker = tmp_path / "ran"
    tree = write(tmp_path, {
        "test_body.py": f"""
            import pytest
            @pytest.mark.skip(reason="no")
            def test_skipped():
                open({str(marker)!r}, "w").close()
            @pytest.mark.skipif("sys.platform != 'nowhere'", reason="always")
            def test_skipif():
                open({str(marker)!r}, "w").close()
            @pytest.mark.xfail(run=False, reason="never run")
            def test_notrun():
                open({str(marker)!r}, "w").close()
            """,
    })
    assert runtime_outcomes(tree) == pytest_outcomes(tree)
    assert not marker.exists()


def test_keyboard_interrupt_of_a_test_names_it(tmp_path: Path) -> None:
    tree = write(tmp_path, {"test_kb.py": "def test_kb():\n    raise KeyboardInterrupt\n"})
    (record,) = runtime_report(tree)
    assert record["kind"] == "failed"
    assert record["message"] == "KeyboardInterrupt"


def test_plain_suites_need_no_pytest(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "test_plain.py": """
            import sys, unittest
            def test_no_pytest(): assert "pytest" not in sys.modules
            class Case(unittest.TestCase):
                def test_case(self): self.assertNotIn("pytest", sys.modules)
            """,
    })
    # Run with an interpreter whose path has no pytest: a site-less python.
    blocker = tmp_path / "_block" / "pytest.py"
    blocker.parent.mkdir()
    blocker.write_text("raise ImportError('pytest is not installed here')\n")
    import os
    import subprocess

    driver = Path(__file__).with_name("_runtime_driver.py")
    env = {**os.environ, "PYTHONPATH": str(blocker.parent)}
    done = subprocess.run([sys.executable, str(driver)], cwd=tree, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith(
        '{"test_plain.py::test_no_pytest": "passed", "test_plain.py::Case::test_case": "passed"}'
    )


def test_timeout_mark_and_exit_request(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "pytest.ini": "[pytest]\nmarkers =\n    timeout: a time limit\n",
        "test_t.py": """
            import pytest
            @pytest.mark.timeout(2.5)
            def test_limited(): pass
            def test_exit(): pytest.exit("enough", returncode=3)
            """,
    })
    import json
    import subprocess

    script = textwrap.dedent(f"""
        import argparse, json, os
        os.chdir({str(tree)!r})
        from trelkin._config import load
        from trelkin._runtime import Runtime
        class Capture:
            def read(self): return "", ""
        runtime = Runtime(load([]), argparse.Namespace(), threaded=False)
        runtime.configure(argparse.Namespace())
        items = runtime.collect_file("test_t.py", "test_t.py").items
        outcomes = [runtime.run_item(item, None, Capture()) for item in items]
        print(json.dumps([[item.timeout for item in items], [str(o.kind) for o in outcomes],
                          list(runtime.exit_request)]))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [[2.5, None], ["passed", "not run"], ["enough", 3]]


def test_output_sections_name_the_phases_when_more_than_one_wrote() -> None:
    from trelkin._runtime import _sections

    assert _sections([("setup", "", ""), ("call", "out\n", ""), ("teardown", "", "")]) == ("out\n", "")
    out, err = _sections([("setup", "a\n", ""), ("call", "b\n", "e\n"), ("teardown", "", "")])
    assert out == "--- Captured stdout setup ---\na\n--- Captured stdout call ---\nb\n"
    assert err == "e\n"
