"""The trelkin command, run in subprocesses on real trees: exit codes, output, options,
collection errors, JUnit XML, colour and Ctrl-C."""

from __future__ import annotations

import os
import pty
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

PASSING = "def test_a():\n    pass\n\ndef test_b():\n    assert 1 + 1 == 2\n"
FAILING = """
import sys

def test_ok():
    pass

def test_bad():
    print("to stdout \\x1b[1m\\x00")
    print("to stderr", file=sys.stderr)
    assert 2 + 2 == 5, "wrong sum"
"""
SKIPPING = """
import unittest

@unittest.skip("not today")
def test_skipped():
    pass

class TestCase(unittest.TestCase):
    def test_skips_itself(self):
        self.skipTest("no need")
"""
BROKEN = "def test_x(:\n    pass\n"


def run(cwd: Path, *args: str, env: dict[str, str] | None = None
        ) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "trelkin", *args],
        cwd=cwd, capture_output=True, text=True, timeout=120, env=child_env(env),
    )


def child_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "RAYON_NUM_THREADS")}
    return {**env, "COLUMNS": "80", **(extra or {})}


def last_line(result: subprocess.CompletedProcess[str]) -> str:
    return result.stdout.rstrip("\n").rsplit("\n", 1)[-1]


@pytest.mark.parametrize(("files", "code", "summary"), [
    ({"test_p.py": PASSING}, 0, "2 passed in "),
    ({"test_p.py": PASSING, "test_f.py": FAILING}, 1, "3 passed, 1 failed in "),
    ({"test_s.py": SKIPPING, "test_p.py": PASSING}, 0, "2 passed, 2 skipped in "),
    ({"test_p.py": PASSING, "pkg/test_broken.py": BROKEN}, 2, "2 passed, 1 error in "),
    ({"test_broken.py": BROKEN}, 2, "1 error in "),
    ({"helpers.py": PASSING, "test_none.py": "x = 1\n"}, 5, "no tests ran in "),
])
def test_exit_code_and_summary_line(write_tree, files, code, summary):
    result = run(write_tree(files), "--sequential")
    assert result.returncode == code, result.stdout + result.stderr
    assert last_line(result).startswith(summary)
    assert last_line(result).endswith("s")


@pytest.mark.parametrize("args", [["--no-such-option"], ["missing_dir"], ["-n", "many"],
                                  ["-n", "2", "--sequential"], ["test_p.py::test_zzz"]])
def test_usage_errors_exit_2(write_tree, args):
    result = run(write_tree({"test_p.py": PASSING}), *args)
    assert result.returncode == 2
    assert "usage: trelkin" in result.stderr


def test_failure_report_shows_id_error_traceback_and_captured_output(write_tree):
    result = run(write_tree({"test_f.py": FAILING}))
    out = result.stdout
    assert "test_f.py::test_bad" in out.split("FAILURES", 1)[1]
    assert "AssertionError: wrong sum" in out
    assert 'assert 2 + 2 == 5, "wrong sum"' in out
    assert "_compat.py" not in out  # the executor's own frames are left out
    assert "Captured stdout" in out and "to stdout" in out
    assert "Captured stderr" in out and "to stderr" in out
    assert "FAILED test_f.py::test_bad - AssertionError: wrong sum" in out


def test_header_and_collected_line(write_tree):
    result = run(write_tree({"test_p.py": PASSING, "sub/test_q.py": PASSING}), "-n", "3")
    assert "trelkin 0.1.0, Python 3.13" in result.stdout
    assert "workers: 3 threads" in result.stdout
    assert "collected 4 tests in 2 files (" in result.stdout


def test_quiet_and_verbose(write_tree):
    root = write_tree({"test_p.py": PASSING})
    quiet = run(root, "-q")
    assert "collected" not in quiet.stdout and quiet.stdout.startswith("..")
    verbose = run(root, "-v")
    assert "test_p.py::test_a PASSED" in verbose.stdout
    assert "test_p.py::test_b PASSED" in verbose.stdout


def test_k_selects_by_name_or_path_ignoring_case(write_tree):
    root = write_tree({"test_p.py": PASSING, "test_other.py": "def test_c():\n    pass\n"})
    assert run(root, "-k", "TEST_A", "--collect-only").stdout.splitlines()[0] == "test_p.py::test_a"
    result = run(root, "-q", "-k", "OTHER")
    assert (result.returncode, last_line(result)[:9]) == (0, "1 passed ")
    assert run(root, "-k", "nothing").returncode == 5


def test_path_arguments_files_and_single_tests(write_tree):
    root = write_tree({"a/test_p.py": PASSING, "b/test_q.py": PASSING + SKIPPING})
    assert last_line(run(root, "-q", "a/test_p.py")).startswith("2 passed in")
    assert last_line(run(root, "-q", "b/test_q.py::TestCase")).startswith("1 skipped in")
    # Overlapping paths run each test once.
    assert last_line(run(root, "-q", "a", "a/test_p.py", ".")).startswith("4 passed, 2 skipped")


@pytest.mark.parametrize("capture", [True, False])
@pytest.mark.parametrize("mode", [[], ["--sequential"]])
def test_s_lets_output_through(write_tree, capture, mode):
    root = write_tree({"test_p.py": "def test_x():\n    print('hello from test')\n",
                       "test_q.py": PASSING})
    result = run(root, *mode, *([] if capture else ["-s"]))
    assert result.returncode == 0
    assert ("hello from test" in result.stdout) is not capture


@pytest.mark.parametrize(("args", "threads"), [
    (["-n", "1"], "1"), (["-n", "3"], "3"), (["-n", "auto"], None), ([], None),
    (["--sequential"], None), (["-n", "0"], None),
])
def test_n_sizes_the_pool(write_tree, args, threads):
    check = ("import os\ndef test_env():\n"
             f"    assert os.environ.get('RAYON_NUM_THREADS') == {threads!r}\n")
    root = write_tree({"test_env.py": check, "test_p.py": PASSING})
    result = run(root, *args)
    assert result.returncode == 0, result.stdout
    if "--sequential" in args or "0" in args:
        assert "workers: 1 (sequential)" in result.stdout
    else:
        assert f"workers: {threads or os.cpu_count()} threads" in result.stdout


def test_collect_only_lists_and_runs_nothing(write_tree):
    side_effect = "import pathlib\ndef test_w():\n    pathlib.Path('ran').touch()\n"
    root = write_tree({"test_p.py": PASSING, "test_side.py": side_effect})
    result = run(root, "--collect-only")
    assert result.returncode == 0
    assert result.stdout.splitlines() == [
        "test_p.py::test_a", "test_p.py::test_b", "test_side.py::test_w",
        result.stdout.splitlines()[-1]]
    assert last_line(result).startswith("collected 3 tests in 2 files (")
    assert not (root / "ran").exists()


def test_collection_errors_are_reported_and_the_rest_runs(write_tree):
    root = write_tree({"test_p.py": PASSING, "sub/test_broken.py": BROKEN,
                       "test_helpers.py": "def helper():\n    pass\n",
                       ".hidden/test_h.py": BROKEN, "notatest.py": BROKEN})
    (root / "test_latin1.py").write_bytes(b"x = '\xe9'\ndef test_y():\n    pass\n")
    result = run(root)
    assert result.returncode == 2
    assert "ERROR collecting sub/test_broken.py" in result.stdout
    assert "ERROR sub/test_broken.py - SyntaxError: " in result.stdout
    assert "(line 1)" in result.stdout
    assert "ERROR test_latin1.py - UnicodeDecodeError: " in result.stdout
    assert "test_helpers" not in result.stdout and "test_h.py" not in result.stdout
    assert last_line(result).startswith("2 passed, 2 errors in ")


def test_junit_xml(write_tree):
    root = write_tree({"test_f.py": FAILING, "test_s.py": SKIPPING, "test_broken.py": BROKEN,
                       "test_c.py": "class TestK:\n    def test_m(self):\n        pass\n"})
    result = run(root, "--junitxml", "reports/out.xml")
    assert result.returncode == 2
    suite = ElementTree.parse(root / "reports" / "out.xml").getroot().find("testsuite")
    assert suite is not None
    assert {k: suite.get(k) for k in ("name", "tests", "failures", "errors", "skipped")} == {
        "name": "trelkin", "tests": "6", "failures": "1", "errors": "1", "skipped": "2"}
    assert float(suite.get("time", "")) > 0 and suite.get("timestamp") and suite.get("hostname")
    cases = {case.get("name"): case for case in suite.iter("testcase")}
    method = cases["test_m"]
    assert (method.get("classname"), method.get("file"), method.get("line")) == (
        "test_c.TestK", "test_c.py", "2")
    failure = cases["test_bad"].find("failure")
    assert failure is not None and failure.get("message") == "AssertionError: wrong sum"
    assert "assert 2 + 2 == 5" in (failure.text or "")
    assert cases["test_bad"].findtext("system-out") == "to stdout #x1B[1m#x00\n"
    assert cases["test_bad"].findtext("system-err") == "to stderr\n"
    assert cases["test_skipped"].find("skipped").get("message") == "not today"  # type: ignore[union-attr]
    assert cases["test_broken.py"].find("error") is not None


def run_on_terminal(cwd: Path, *args: str, env: dict[str, str]) -> str:
    """Runs the command with a pseudo-terminal as its standard output."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "trelkin", *args], cwd=cwd,
                               stdout=terminal, stderr=subprocess.DEVNULL, env=child_env(env))
    os.close(terminal)
    chunks = []
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # the terminal's other end closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(controller)
    process.wait(timeout=60)
    return b"".join(chunks).decode()


@pytest.mark.parametrize(("args", "env", "on_terminal", "coloured"), [
    (["--color", "yes"], {}, False, True),
    (["--color", "yes"], {"NO_COLOR": "1"}, False, True),
    (["--color", "no"], {}, True, False),
    ([], {}, False, False),
    ([], {}, True, True),
    ([], {"NO_COLOR": "1"}, True, False),
])
def test_colour(write_tree, args, env, on_terminal, coloured):
    root = write_tree({"test_f.py": FAILING})
    out = run_on_terminal(root, *args, env=env) if on_terminal else run(root, *args, env=env).stdout
    assert "wrong sum" in out
    assert ("\x1b[31" in out) is coloured


SLEEPY = "import pathlib, time\n" + "".join(
    f"def test_{i}():\n    pathlib.Path('started').touch()\n    time.sleep(0.5)\n\n"
    for i in range(5))


def interrupt(root: Path, *args: str) -> subprocess.CompletedProcess[str]:
    """Starts the command, sends SIGINT once a test has started, and waits for the end."""
    process = subprocess.Popen([sys.executable, "-m", "trelkin", *args], cwd=root,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=child_env())
    deadline = time.monotonic() + 60
    while not (root / "started").exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)


@pytest.mark.parametrize("mode", [["--sequential"], ["-n", "2"]])
def test_ctrl_c_stops_the_run_and_reports_what_finished(write_tree, mode):
    root = write_tree({f"test_{n}.py": SLEEPY for n in range(6)})
    result = interrupt(root, *mode)
    assert result.returncode == 2, result.stdout + result.stderr
    assert "Interrupted" in result.stdout
    assert " not run in " in last_line(result)
    assert "failed" not in last_line(result)
    assert "Traceback" not in result.stderr


def test_ctrl_c_gives_up_on_a_test_blocked_in_a_parallel_run(write_tree):
    root = write_tree({"test_long.py": "import pathlib, time\ndef test_long():\n"
                                       "    pathlib.Path('started').touch()\n    time.sleep(600)\n",
                       "test_p.py": PASSING})
    result = interrupt(root, "-n", "2")
    assert result.returncode == 2
    assert "running: test_long.py::test_long" in result.stdout
    assert " not run in " in last_line(result)


def test_version_and_help():
    version = subprocess.run([sys.executable, "-m", "trelkin", "--version"], capture_output=True,
                             text=True, timeout=60)
    assert version.stdout.strip() == "trelkin 0.1.0"
    assert "--junitxml" in subprocess.run([sys.executable, "-m", "trelkin", "-h"],
                                          capture_output=True, text=True, timeout=60).stdout
