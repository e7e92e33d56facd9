"""The ``trelkin`` command end to end, in fresh processes: what it collects, how it
decides each outcome, how a run ends. Where pytest defines the behaviour it is the oracle:
both run the same tree and their JUnit reports must agree."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

MODES = [["--sequential"], ["--threads", "-n", "2"]]


def trelkin(root: Path, *args: str, timeout: float = 120, **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "trelkin", "-p", "no:cacheprovider", *args],
        cwd=root, capture_output=True, text=True, timeout=timeout,
        env={**os.environ, "PYTEST_ADDOPTS": "", "COLUMNS": "80", **kwargs.pop("env", {})},
        **kwargs,
    )


def pytest_run(root: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *args],
        cwd=root, capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTEST_ADDOPTS": "", "COLUMNS": "80"},
    )


def junit_outcomes(path: Path) -> dict[tuple[str, str], str]:
    """(classname, name) -> passed, failure, error, skipped, from a JUnit report."""
    outcomes = {}
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        kinds = [child.tag for child in case if child.tag in ("failure", "error", "skipped")]
        outcomes[case.get("classname"), case.get("name")] = "+".join(kinds) or "passed"
    return outcomes


def agree_with_pytest(root: Path, *args: str) -> tuple[subprocess.CompletedProcess[str], dict]:
    ours = trelkin(root, f"--junitxml={root / 'ours.xml'}", *args)
    theirs = pytest_run(root, f"--junitxml={root / 'theirs.xml'}")
    assert junit_outcomes(root / "ours.xml") == junit_outcomes(root / "theirs.xml"), ours.stdout
    assert ours.returncode == theirs.returncode, ours.stdout + ours.stderr
    return ours, junit_outcomes(root / "ours.xml")


# ---- collection ----------------------------------------------------------------------

UNITTEST_TREE = {
    "base.py": """
        import unittest
        class Shared:
            def test_from_mixin(self):
                pass
        class BaseCase(unittest.TestCase):
            def test_inherited(self):
                pass
        """,
    "test_cases.py": """
        import unittest
        from base import BaseCase, Shared
        class ParserTests(unittest.TestCase):
            def test_named_tests(self):
                pass
        class Derived(BaseCase):
            def test_own(self):
                pass
        class TestWithMixin(Shared):
            def test_plain(self):
                pass
        """,
}


@pytest.mark.parametrize("mode", MODES)
def test_unittest_classes_of_any_name_and_inherited_methods(write_tree, mode):
    root = write_tree(UNITTEST_TREE)
    ours, outcomes = agree_with_pytest(root, *mode)
    assert ("test_cases.Derived", "test_inherited") in outcomes
    assert ("test_cases.BaseCase", "test_inherited") in outcomes  # imported classes count


def test_a_module_that_fails_to_import_is_one_collection_error(write_tree):
    root = write_tree({
        "test_ok.py": "def test_ok():\n    pass\n",
        "test_broken.py": "import no_such_module\ndef test_a():\n    pass\ndef test_b():\n    pass\n",
    })
    run = trelkin(root)
    assert run.returncode == 2, run.stdout
    assert "ERROR collecting test_broken.py" in run.stdout
    assert "Interrupted: 1 error during collection" in run.stdout
    assert "1 error" in run.stdout.splitlines()[-1]


def test_a_file_whose_name_is_not_utf8_runs(tmp_path):
    with open(os.fsencode(tmp_path) + b"/test_\xff.py", "w") as file:
        file.write("def test_x():\n    assert False\n")
    run = trelkin(tmp_path, "-q")
    assert run.returncode == 1, run.stdout + run.stderr
    assert "1 failed" in run.stdout


def test_a_fifo_on_the_command_line_is_refused_at_once(tmp_path):
    os.mkfifo(tmp_path / "test_fifo.py")
    for args in ([], ["--collect-only"]):
        run = trelkin(tmp_path, "test_fifo.py", *args, timeout=20)
        assert run.returncode == 4
        assert "not a regular file" in run.stderr


def test_sequential_runs_files_in_path_order(write_tree):
    names = [f"test_{letter}.py" for letter in "qwertyuiop"]
    root = write_tree({
        name: f"import pathlib\ndef test_x():\n    with open('order', 'a') as f:\n        f.write('{name}\\n')\n"
        for name in names
    })
    trelkin(root, "--sequential")
    assert (root / "order").read_text().split() == sorted(names)


# ---- outcomes ------------------------------------------------------------------------

GENERATORS = """
    def test_gen():
        assert False
        yield
    async def test_agen():
        yield
    """


def test_generator_tests_fail_without_running(write_tree):
    root = write_tree({"test_generators.py": GENERATORS})
    run = trelkin(root, "--sequential", "-q")
    assert run.returncode == 1
    assert run.stdout.count("yield tests are not supported") == 4  # sections and summary
    assert "2 failed" in run.stdout


OUTCOMES = {
    "test_expected.py": """
        import unittest
        class Expectations(unittest.TestCase):
            @unittest.expectedFailure
            def test_fails_as_expected(self):
                self.assertEqual(1, 2)
            @unittest.expectedFailure
            def test_passes_unexpectedly(self):
                pass
            @unittest.skip("not today")
            def test_skipped(self):
                pass
        """,
    "test_class_teardown.py": """
        import unittest
        class Closing(unittest.TestCase):
            @classmethod
            def tearDownClass(cls):
                raise RuntimeError("teardown went wrong")
            def test_one(self):
                pass
        """,
}


@pytest.mark.parametrize("mode", MODES)
def test_outcomes_agree_with_pytest(write_tree, mode):
    root = write_tree(OUTCOMES)
    ours, outcomes = agree_with_pytest(root, *mode)
    assert outcomes["test_class_teardown.Closing", "test_one"] == "error"


@pytest.mark.parametrize("mode", MODES)
def test_a_test_raising_keyboard_interrupt_is_named_and_the_run_goes_on(write_tree, mode):
    # pytest would stop the whole run; a test's own KeyboardInterrupt is its failure here.
    root = write_tree({"test_interrupt.py": """
        def test_raises_keyboard_interrupt():
            raise KeyboardInterrupt
        def test_after():
            pass
        """})
    run = trelkin(root, *mode)
    assert "FAILED test_interrupt.py::test_raises_keyboard_interrupt - KeyboardInterrupt" in run.stdout
    assert "1 failed, 1 passed" in run.stdout
    assert run.returncode == 1


def test_durations_are_the_calls_own(write_tree):
    root = write_tree({"test_slow_import.py": """
        import time
        time.sleep(0.3)
        def test_quick():
            pass
        """})
    run = trelkin(root, "--durations=0", "--durations-min=0", "-vv")
    line = next((line for line in run.stdout.splitlines()
                 if " call " in line and line.endswith("test_quick")), None)
    assert line is not None, run.stdout
    assert float(line.split("s", 1)[0]) < 0.2


# ---- runs ----------------------------------------------------------------------------


def test_parallel_runs_keep_every_failure_its_own(tmp_path):
    (tmp_path / "test_a.py").write_text(
        "".join(f"def test_{i}():\n    assert {i} == -1\n" for i in range(300)))
    (tmp_path / "test_b.py").write_text("class TestB:\n    def test_ok(self):\n        pass\n")
    run = trelkin(tmp_path, "--threads", "-n", "2", "-q", f"--junitxml={tmp_path / 'r.xml'}")
    assert "partially initialized" not in run.stdout
    assert run.stdout.count("FAILED test_a.py::") == 300
    assert "300 failed, 1 passed" in run.stdout


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer turns a crash into its own report and abort")
@pytest.mark.parametrize(("source", "status"), [
    ("import ctypes\ndef test_crash():\n    ctypes.string_at(0)\n", -signal.SIGSEGV),
    ("import os\ndef test_abort():\n    os.abort()\n", -signal.SIGABRT),
    ("import os\ndef test_exit():\n    os._exit(0)\ndef test_later():\n    assert False\n", 3),
])
def test_a_test_that_kills_the_process_is_named(tmp_path, source, status):
    (tmp_path / "test_kill.py").write_text(source)
    run = trelkin(tmp_path, "--sequential")
    assert run.returncode == status
    assert "test_kill.py" in run.stderr


CTRL_C_TREE = {
    "test_a_fast.py": "def test_ok():\n    pass\ndef test_fails():\n    assert 1 == 2\n",
    "test_b_slow.py": "import pathlib, time\ndef test_long():\n    pathlib.Path('started').touch()\n    time.sleep(30)\n",
}


@pytest.mark.parametrize("mode", MODES)
def test_ctrl_c_reports_what_finished_and_writes_junit(write_tree, mode):
    root = write_tree(CTRL_C_TREE)
    process = subprocess.Popen(
        [sys.executable, "-m", "trelkin", *mode, "--junitxml=out.xml", "-p", "no:cacheprovider"],
        cwd=root, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    deadline = time.monotonic() + 30
    while not (root / "started").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.2)
    process.send_signal(signal.SIGINT)
    stdout, _ = process.communicate(timeout=30)
    assert process.returncode == 2
    assert "assert 1 == 2" in stdout
    outcomes = junit_outcomes(root / "out.xml")
    assert outcomes["test_a_fast", "test_fails"] == "failure"
    assert outcomes["test_a_fast", "test_ok"] == "passed"


def test_a_relative_junit_path_is_resolved_at_the_start(write_tree):
    root = write_tree({"test_cd.py": "import os\ndef test_cd():\n    os.chdir('/')\n"})
    trelkin(root, "--sequential", "--junitxml=report.xml")
    assert (root / "report.xml").exists()


def test_an_unwritable_junit_path_is_a_usage_error_before_the_run(write_tree):
    root = write_tree({"test_p.py": "import pathlib\ndef test_p():\n    pathlib.Path('ran').touch()\n"})
    (root / "report").write_text("a file, not a directory")
    run = trelkin(root, "--junitxml=report/out.xml")
    assert run.returncode == 4
    assert not (root / "ran").exists()


@pytest.mark.parametrize(("args", "status"), [
    (["--no-such-option"], 4), (["missing_dir"], 4), (["test_p.py::nope"], 4),
])
def test_usage_errors_exit_4(write_tree, args, status):
    root = write_tree({"test_p.py": "def test_p():\n    pass\n"})
    run = trelkin(root, *args)
    assert run.returncode == status, run.stdout + run.stderr
    assert run.stderr.startswith("ERROR:")


MAIN_TWICE = """
import sys
from trelkin import cli
first = cli.main(["--sequential", "-p", "no:cacheprovider", "test_s.py"])
second = cli.main(["--sequential", "-p", "no:cacheprovider", "-q", "test_p.py"])
sys.exit(first * 10 + second)
"""


def test_main_keeps_no_state_between_calls(write_tree):
    # Two calls in one fresh process (not this one, whose plugins would be the calls').
    root = write_tree({
        "test_s.py": "import unittest\n@unittest.skip('x')\ndef test_s():\n    pass\n",
        "test_p.py": "def test_p():\n    pass\n",
    })
    done = subprocess.run([sys.executable, "-c", MAIN_TWICE], cwd=root, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "1 passed" in done.stdout.splitlines()[-1]


def test_progress_shows_a_line_per_file_in_path_order(write_tree):
    root = write_tree({
        "test_one.py": "import time\ndef test_a():\n    time.sleep(0.3)\n",
        "test_two.py": "def test_b():\n    pass\ndef test_c():\n    assert 0\n",
    })
    run = trelkin(root, "--threads", "-n", "2")
    lines = [line for line in run.stdout.splitlines() if line.startswith("test_")]
    assert lines[0].startswith("test_one.py .") and lines[0].endswith("[ 33%]")
    assert lines[1].startswith("test_two.py .F") and lines[1].endswith("[100%]")


def test_the_bundled_example_runs_as_the_readme_shows() -> None:
    # With the environment's plugins (hypothesis's among them) loaded, as `scripts/example`
    # runs it: one test fails by design.
    root = Path(__file__).resolve().parent.parent
    env = {key: value for key, value in os.environ.items() if key != "PYTEST_DISABLE_PLUGIN_AUTOLOAD"}
    done = subprocess.run(
        [sys.executable, "-m", "trelkin", "examples/suite"], cwd=root, capture_output=True,
        text=True, timeout=120, env={**env, "PYTEST_ADDOPTS": "", "COLUMNS": "80"},
    )
    assert done.returncode == 1, done.stdout + done.stderr
    assert "1 failed, 12 passed, 1 skipped, 1 xfailed" in done.stdout, done.stdout


@pytest.mark.parametrize("args", [["--co"], ["--co", "-q"], ["--co", "-qq"], ["--co", "-k", "b or c"]])
def test_collect_only_in_worker_processes_lists_what_one_process_does(
    tmp_path: Path, args: list[str]
) -> None:
    (tmp_path / "test_ok.py").write_text(
        "import unittest\ndef test_a():\n    pass\nclass TestX:\n    def test_b(self):\n        pass\n"
        "class Case(unittest.TestCase):\n    def test_c(self):\n        pass\n"
    )
    (tmp_path / "test_broken.py").write_text("import nonexistent_module_of_this_test\n")
    (tmp_path / "test_bad.py").write_text("syntax error here(\n")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "test_skip.py").write_text(
        "import pytest\npytest.skip('no', allow_module_level=True)\n")
    (tmp_path / "sub" / "test_c.py").write_text("def test_c():\n    pass\n")

    def shown(result: subprocess.CompletedProcess[str]) -> tuple[int, list[str]]:
        lines = [line for line in result.stdout.splitlines() if not line.startswith("workers:")]
        # The closing line's time differs from run to run.
        return result.returncode, [line.partition(" in ")[0] for line in lines]

    in_workers = trelkin(tmp_path, "-n", "2", *args)
    assert shown(in_workers) == shown(trelkin(tmp_path, "--sequential", *args))
    assert "<UnitTestCase Case>" in in_workers.stdout or args != ["--co"]


@pytest.mark.parametrize("mode", ["--sequential", "--processes"])
def test_a_files_recorded_duration_counts_its_import(tmp_path: Path, mode: str) -> None:
    # Workers take the longest files first: a file slow to import is a long one.
    (tmp_path / "test_slow_import.py").write_text(
        "import time\ntime.sleep(0.3)\ndef test_quick():\n    pass\n")
    (tmp_path / "test_quick.py").write_text("def test_quick():\n    pass\n")
    done = subprocess.run(
        [sys.executable, "-m", "trelkin", mode, "-q"], cwd=tmp_path, capture_output=True,
        text=True, timeout=120, env={**os.environ, "PYTEST_ADDOPTS": ""},
    )
    assert done.returncode == 0, done.stdout + done.stderr
    recorded = json.loads((tmp_path / ".trelkin_cache" / "v" / "durations.json").read_text())
    seconds = {path: entry["seconds"] for path, entry in recorded["files"].items()}
    assert seconds["test_slow_import.py"] >= 0.3 > seconds["test_quick.py"]


def test_collect_only_in_workers_imports_the_slowest_file_first_next_time(tmp_path: Path) -> None:
    log = tmp_path / "imported"
    for name, delay in (("test_a.py", 0), ("test_b.py", 0), ("test_z_slow.py", 0.3)):
        (tmp_path / name).write_text(
            f"import pathlib, time\ntime.sleep({delay})\n"
            f"with open({str(log)!r}, 'a') as log:\n    log.write({name!r} + '\\n')\n"
            "def test_it():\n    pass\n"
        )

    def listing() -> list[str]:
        log.unlink(missing_ok=True)
        done = subprocess.run(
            [sys.executable, "-m", "trelkin", "--processes", "-n", "1", "--co", "-q"], cwd=tmp_path,
            capture_output=True, text=True, timeout=120, env={**os.environ, "PYTEST_ADDOPTS": ""},
        )
        assert done.returncode == 0, done.stdout + done.stderr
        return log.read_text().split()

    assert listing() == ["test_a.py", "test_b.py", "test_z_slow.py"]
    recorded = json.loads((tmp_path / ".trelkin_cache" / "v" / "collect-durations.json").read_text())
    assert recorded["files"]["test_z_slow.py"]["seconds"] >= 0.3
    assert listing() == ["test_z_slow.py", "test_a.py", "test_b.py"]


@pytest.mark.parametrize("conftest", [False, True], ids=["own-code-only", "with-a-conftest"])
def test_the_command_leaves_nothing_unwritten(tmp_path: Path, conftest: bool) -> None:
    """The tests run in a worker; the command's own process may leave without the
    interpreter's teardown only while nothing but trelkin and the standard library was
    loaded in it. A conftest's file, left open and unflushed, is written at the exit."""
    (tmp_path / "test_a.py").write_text("def test_passes():\n    pass\n"
                                        "def test_fails():\n    assert False\n")
    if conftest:
        (tmp_path / "conftest.py").write_text(
            f"LOG = open({str(tmp_path / 'log.txt')!r}, 'w')\nLOG.write('from the conftest')\n")
    result = trelkin(tmp_path, "-n", "1")
    assert result.returncode == 1, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].strip("= ").startswith("1 failed, 1 passed in ")
    if conftest:
        assert (tmp_path / "log.txt").read_text() == "from the conftest"


def test_a_profiler_of_the_command_writes_its_profile(tmp_path: Path) -> None:
    (tmp_path / "test_a.py").write_text("def test_passes():\n    pass\n")
    result = subprocess.run(
        [sys.executable, "-m", "cProfile", "-o", str(tmp_path / "profile"), "-m", "trelkin",
         "-p", "no:cacheprovider", "-n", "1"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTEST_ADDOPTS": ""},
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert (tmp_path / "profile").stat().st_size > 0
