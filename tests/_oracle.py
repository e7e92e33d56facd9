"""pytest as the oracle: runs it on a file in a subprocess and splits its report, and runs
the same tests under trelkin's rewriting and formatting, so both can be compared."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
import types
from collections.abc import Callable
from pathlib import Path

import trelkin
from trelkin import _rewrite

_HEADER = re.compile(r"^_{3,} (?:(?:ERROR collecting )?(\S.*?)) _{3,}$")
_SECTION_END = re.compile(r"^={3,} .* ={3,}$")


def clean_env() -> dict[str, str]:
    """The environment without what changes pytest's output: CI truncation, colours and a
    terminal width."""
    env = {k: v for k, v in os.environ.items() if k not in ("CI", "BUILD_NUMBER", "PYTEST_ADDOPTS")}
    env.update({"NO_COLOR": "1", "COLUMNS": "80", "PYTHONDONTWRITEBYTECODE": "1"})
    env.pop("FORCE_COLOR", None)
    env.pop("PY_COLORS", None)
    return env


def run_pytest(directory: Path, *args: str) -> str:
    command = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-o", "addopts=", *args]
    done = subprocess.run(
        command, cwd=directory, env=clean_env(), capture_output=True, text=True, timeout=120
    )
    return done.stdout


def sections(report: str) -> dict[str, str]:
    """The FAILURES/ERRORS sections of a pytest report by test name (or collected path)."""
    found: dict[str, list[str]] = {}
    current: list[str] | None = None
    for line in report.splitlines():
        header = _HEADER.match(line)
        if header:
            current = found.setdefault(header.group(1), [])
            continue
        if _SECTION_END.match(line):
            current = None
            continue
        if current is not None:
            current.append(line)
    return {name: normalise("\n".join(lines)) for name, lines in found.items()}


def failures_body(report: str) -> str:
    """The whole FAILURES section (for ``--tb=line``, whose entries have no headers)."""
    lines = report.splitlines()
    start = next(i for i, line in enumerate(lines) if re.match(r"^=+ FAILURES =+$", line))
    end = next(i for i in range(start + 1, len(lines)) if _SECTION_END.match(lines[i]))
    return normalise("\n".join(lines[start + 1 : end]))


def normalise(text: str) -> str:
    """Trailing spaces, surrounding blank lines and object ids dropped."""
    text = re.sub(r"0x[0-9a-f]{4,}", "0x?", text)
    lines = [line.rstrip() for line in text.splitlines()]
    while lines and not lines[0]:
        lines.pop(0)
    while lines and not lines[-1]:
        lines.pop()
    return "\n".join(lines)


def e_lines(text: str) -> str:
    """The failure's own lines: ``E`` lines and the indented lines that continue them."""
    return "\n".join(line for line in text.splitlines() if line.startswith("E ") or line == "E")


def import_rewritten(path: Path, name: str, via: str = "text") -> types.ModuleType:
    """Imports ``path`` rewritten: through the hook (the text rewriter) or, with
    ``via="tree"``, through the tree rewriter the hook falls back on."""
    if via == "tree":
        import ast

        from trelkin import _rewrite_ast

        tree = ast.parse(path.read_bytes(), filename=str(path))
        _rewrite_ast.rewrite_module(tree, str(path))
        module = types.ModuleType(name)
        module.__file__ = str(path)
        sys.modules[name] = module
        exec(compile(tree, str(path), "exec", dont_inherit=True), module.__dict__)
        return module
    hook = _rewrite.Hook({str(path)}, cache=False)
    spec = hook.spec_for(name, str(path))
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


# Callers whose frames count as trelkin's, as the executor's do.
_RUNNER_FILE = os.path.join(os.path.dirname(trelkin.__file__), "_oracle_runner.py")
_RUNNER_SOURCE = """
def call(function, *args):
    return function(*args)

def failure_of(function, *args):
    try:
        function(*args)
    except BaseException as exc:
        return exc
    raise AssertionError(function.__name__ + " passed")

def import_failure(path, name):
    import importlib.util
    spec = importlib.util.spec_from_file_location(name, path)
    try:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except BaseException as exc:
        return exc
    raise AssertionError(str(path) + " imported")
"""
_runner_namespace: dict[str, object] = {}
exec(compile(_RUNNER_SOURCE, _RUNNER_FILE, "exec"), _runner_namespace)
call_as_runner: Callable[..., object] = _runner_namespace["call"]  # type: ignore[assignment]
failure_of: Callable[..., BaseException] = _runner_namespace["failure_of"]  # type: ignore[assignment]
# The error of importing a file as the collector does, through importlib's loader.
import_failure: Callable[[Path, str], BaseException] = _runner_namespace["import_failure"]  # type: ignore[assignment]
