"""The trees the scenarios run on, written into a scratch directory."""

from __future__ import annotations

from pathlib import Path

from bench_fixtures import write_conftest_fixture


def write_trivial(root: Path, files: int, per_file: int) -> None:
    """`files` modules of `per_file` plain test functions that each pass an assert."""
    root.mkdir(parents=True, exist_ok=True)
    for index in range(files):
        source = "".join(f"def test_{t}():\n    assert {t} + 1 == {t + 1}\n\n"
                         for t in range(per_file))
        (root / f"test_mod{index:04d}.py").write_text(source, encoding="utf-8")


def write_unittest(root: Path, files: int, per_file: int) -> None:
    """The trivial tree written as `unittest.TestCase` methods, one class a module."""
    root.mkdir(parents=True, exist_ok=True)
    for index in range(files):
        methods = "".join(f"    def test_{t}(self):\n        self.assertEqual({t} + 1, {t + 1})\n\n"
                          for t in range(per_file))
        source = f"import unittest\n\n\nclass TestMod{index}(unittest.TestCase):\n{methods}"
        (root / f"test_mod{index:04d}.py").write_text(source, encoding="utf-8")


def write_one(root: Path) -> None:
    root.mkdir(parents=True, exist_ok=True)
    (root / "test_one.py").write_text("def test_one():\n    assert 1 + 1 == 2\n",
                                      encoding="utf-8")


def write_fixtures(root: Path) -> None:
    """10,000 tests in 100 files, each taking a function-scoped conftest fixture, half of
    them through one parametrized function a file (bench_fixtures.py's tree)."""
    root.mkdir(parents=True, exist_ok=True)
    write_conftest_fixture(root)
