"""Shared fixtures: test items, a controllable executor, tree builders and subprocess runs."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import types
from collections.abc import Callable
from pathlib import Path

import pytest

from trelkin import _core


def make_item(path: str = "t.py", name: str = "test_x", line_no: int = 0, args_json: str = ""):
    item = _core.TestItem()
    item.path, item.name, item.line_no, item.args_json = path, name, line_no, args_json
    return item


class FakeExecutor:
    """Stands in for trelkin._compat: each test name maps to a callable run as the test."""

    def __init__(self) -> None:
        self.behaviours: dict[str, Callable[..., object]] = {}
        self.calls: list[tuple[str, str, str, int]] = []
        self.module = types.ModuleType("trelkin._compat")
        self.module._execute_test = self._execute_test  # type: ignore[attr-defined]

    def _execute_test(self, path: str, name: str, args_json: str) -> object:
        self.calls.append((path, name, args_json, threading.get_ident()))
        behaviour = self.behaviours.get(name)
        return behaviour() if behaviour is not None else None


@pytest.fixture
def fake_executor(monkeypatch: pytest.MonkeyPatch) -> FakeExecutor:
    fake = FakeExecutor()
    monkeypatch.setitem(sys.modules, "trelkin._compat", fake.module)
    return fake


@pytest.fixture
def write_tree(tmp_path: Path) -> Callable[[dict[str, str]], Path]:
    """Writes {relative path: source} under tmp_path (sources dedented) and returns it."""

    def write(files: dict[str, str]) -> Path:
        for relative, source in files.items():
            target = tmp_path / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(textwrap.dedent(source), encoding="utf-8")
        return tmp_path

    return write


def run_python(source: str, env: dict[str, str] | None = None, timeout: float = 60,
               cwd: str | os.PathLike[str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs source in a fresh interpreter with a time bound, so a hang fails the test."""
    full_env = {**os.environ, **(env or {})}
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True, text=True, timeout=timeout, env=full_env, cwd=cwd,
    )


# Obtains PanicException in a fresh interpreter: the class is not an attribute of the
# module, so a real internal failure (a pool whose threads cannot be created under a
# tight address-space limit) hands it over.
GET_PANIC = """
import resource, trelkin._core as core
def _vm_size():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
limit = _vm_size() + 48 * 1024 * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
try:
    core.run_tests([])
except BaseException as exc:
    PanicException = type(exc)
    panic_message = str(exc)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""
PANIC_ENV = {"RAYON_NUM_THREADS": "4000"}

# Under scripts/test-sanitizers the sanitizer runtime is preloaded; it cannot start threads
# within the address-space limit GET_PANIC sets.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_address_limit = pytest.mark.skipif(
    SANITIZED, reason="the sanitizer runtime cannot run under an address-space limit")


@pytest.fixture(autouse=True)
def _not_on_ci(monkeypatch: pytest.MonkeyPatch) -> None:
    """pytest (and trelkin after it) shows fuller explanations on CI (CI, BUILD_NUMBER set):
    the expected texts here are those of a developer's terminal, in CI too."""
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.delenv("BUILD_NUMBER", raising=False)
