"""The everyday flags, each with pytest as the oracle: the same tree, the same command
line (run twice where the flag reads the last run), the same tests run with the same
outcomes and the same summary lines."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

TREE = {
    "test_a.py": """
        import pytest
        def test_one():
            pass
        def test_two():
            assert 1 == 2
        @pytest.mark.slow
        def test_slow():
            pass
        class TestGroup:
            def test_three(self):
                assert [1, 2] == [1, 3]
            def test_four(self):
                pass
        """,
    "test_b.py": """
        import pytest
        def test_five():
            pass
        @pytest.mark.skip(reason="not now")
        def test_six():
            pass
        def test_seven():
            raise ValueError("seven")
        """,
    "pytest.ini": "[pytest]\nmarkers =\n    slow: slow tests\n",
}


def run(command: list[str], root, *args: str) -> tuple[list[tuple[str, str, str]], list[str], int]:
    """(classname, name, outcome) of each test the run reported, its summary lines, its
    exit status."""
    report = root / "report.xml"
    done = subprocess.run(
        [sys.executable, "-m", *command, f"--junitxml={report}", *args],
        cwd=root, capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTEST_ADDOPTS": "", "COLUMNS": "80"},
    )
    cases = []
    if report.exists():
        for case in ElementTree.parse(report).getroot().iter("testcase"):
            kinds = [child.tag for child in case if child.tag in ("failure", "error", "skipped")]
            cases.append((case.get("classname"), case.get("name"), "+".join(kinds) or "passed"))
        report.unlink()
    lines = [
        re.sub(r" in [\d.]+s", "", line).strip("= ")
        for line in done.stdout.splitlines()
        if re.match(r"^(FAILED|ERROR|SKIPPED|XFAIL|XPASS|PASSED) |^=* ?\d+ \w+", line)
    ]
    return sorted(cases), lines, done.returncode


@pytest.fixture(params=["--sequential", "--threads", "--processes"])
def mode(request):
    return request.param


CASES = [
    ["-x"], ["--maxfail=2"], ["-k", "one or three"], ["-k", "not Group and not b"],
    ["-m", "slow"], ["-m", "not slow"], ["-rA"], ["-rs"], ["-rN"], ["--tb=line"], ["--tb=no"],
    ["-q"], ["-qq"], ["--deselect", "test_a.py::TestGroup"], ["test_a.py::TestGroup::test_four"],
]


@pytest.mark.parametrize("args", CASES, ids=" ".join)
def test_flags_as_pytest(write_tree, mode, args):
    root = write_tree(TREE)
    theirs = run(["pytest", "-p", "no:cacheprovider"], root, *args)
    ours = run(["trelkin", "-p", "no:cacheprovider", mode], root, *args)
    if args in (["-x"], ["--maxfail=2"]) and mode != "--sequential":
        # Files run at once: which failure stops the run, and what had run by then, is a
        # race; the exit status and the failures seen are not.
        assert ours[2] == theirs[2]
        assert sum(case[2] == "failure" for case in ours[0]) >= (1 if args == ["-x"] else 2)
        return
    assert ours == theirs


@pytest.mark.parametrize("second", [["--lf"], ["--ff"], ["--sw"], ["--lf", "--lfnf=none"]],
                         ids=" ".join)
def test_last_run_flags_as_pytest(write_tree, second):
    runs = {}
    for command in (["pytest"], ["trelkin", "--sequential"]):
        root = write_tree(TREE)
        first = ["--sw"] if second == ["--sw"] else []
        run(command, root, *first)
        runs[command[0]] = run(command, root, *second)
        for cache in (".pytest_cache", ".trelkin_cache"):
            subprocess.run(["rm", "-rf", str(root / cache)], check=True)
    assert runs["trelkin"] == runs["pytest"]


def test_lf_imports_only_the_files_that_failed(write_tree):
    root = write_tree({
        "test_ok.py": "import pathlib\npathlib.Path('imported').touch()\ndef test_ok():\n    pass\n",
        "test_bad.py": "def test_bad():\n    assert False\n",
    })
    run(["trelkin", "--sequential"], root)
    (root / "imported").unlink()
    cases, _, status = run(["trelkin", "--sequential"], root, "--lf")
    assert status == 1
    assert [case[1] for case in cases] == ["test_bad"]
    assert not (root / "imported").exists()
