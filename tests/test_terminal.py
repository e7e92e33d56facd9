"""Progress and the summary line: what the terminal shows while and after tests run."""

from __future__ import annotations

import os

import pytest

from trelkin._outcome import Kind
from trelkin._terminal import Progress, Terminal, summary_text


@pytest.fixture
def terminal(tmp_path, monkeypatch):
    """A Terminal writing into a file instead of the real fd 1."""
    target = os.open(tmp_path / "out", os.O_WRONLY | os.O_CREAT)
    saved = os.dup(1)
    os.dup2(target, 1)
    monkeypatch.setenv("COLUMNS", "40")
    try:
        made = Terminal(color=False)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(target)
    made.output = tmp_path / "out"  # type: ignore[attr-defined]
    yield made
    made.close()


def shown(terminal) -> list[str]:
    terminal.flush()
    return terminal.output.read_text().splitlines()


def test_files_show_in_order_whatever_order_they_finish(terminal):
    progress = Progress(terminal, [("a.py", 2), ("b.py", 1), ("c.py", 1)],
                        {"a.py": "a.py", "b.py": "b.py", "c.py": "c.py"}, verbosity=0, live=True)
    progress.record("c.py", "c.py::t", Kind.FAILED)
    progress.record("b.py", "b.py::t", Kind.SKIPPED)
    progress.record("a.py", "a.py::t1", Kind.PASSED)
    assert shown(terminal) == ["a.py ."]  # a.py holds the head: b.py and c.py wait
    progress.record("a.py", "a.py::t2", Kind.ERROR)
    progress.finish()
    assert shown(terminal) == [
        "a.py .E".ljust(32) + " [ 50%]",  # 39 columns, as pytest's lines at 40
        "b.py s".ljust(32) + " [ 75%]",
        "c.py F".ljust(32) + " [100%]",
    ]


def test_long_lines_wrap_with_their_share(terminal):
    progress = Progress(terminal, [("t.py", 40)], {"t.py": "t.py"}, verbosity=0, live=True)
    for number in range(40):
        progress.record("t.py", f"t.py::{number}", Kind.PASSED)
    progress.finish()
    lines = shown(terminal)
    assert lines[0] == "t.py " + "." * 27 + " [ 67%]"
    assert lines[1] == ("." * 13).ljust(32) + " [100%]"


def test_verbose_is_a_line_per_test(terminal):
    progress = Progress(terminal, [("t.py", 2)], {"t.py": "t.py"}, verbosity=1, live=True)
    progress.record("t.py", "t.py::test_a", Kind.PASSED)
    progress.record("t.py", "t.py::test_b", Kind.XFAILED)
    progress.finish()
    assert shown(terminal) == [
        "t.py::test_a PASSED".ljust(32) + " [ 50%]",
        "t.py::test_b XFAIL".ljust(32) + " [100%]",
    ]


@pytest.mark.parametrize(("counts", "text", "colour"), [
    ({Kind.PASSED: 2}, "2 passed in 0.10s", "green"),
    ({Kind.FAILED: 1, Kind.PASSED: 3, Kind.ERROR: 1}, "1 failed, 3 passed, 1 error in 0.10s", "red"),
    ({Kind.SKIPPED: 1, Kind.XFAILED: 2}, "1 skipped, 2 xfailed in 0.10s", "yellow"),
    ({Kind.PASSED: 1, "deselected": 4}, "1 passed, 4 deselected in 0.10s", "green"),
    ({}, "no tests ran in 0.10s", "yellow"),
])
def test_summary_line_in_pytest_order(counts, text, colour):
    assert summary_text(counts, 0.1) == (text, colour)
