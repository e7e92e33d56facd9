"""pytest as the oracle for the runtime: each runs on the same tree in a subprocess and
reports every test's outcome by node id ("passed", "failed", "error", "skipped",
"xfailed", "xpassed", with "+teardown-error" when a teardown failed too; a file that
can't be collected is its path with "error", or "skipped" for a module-level skip)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

_PLUGIN = textwrap.dedent(
    """
    import json, os
    results = {}

    def pytest_runtest_logreport(report):
        xfail = hasattr(report, "wasxfail")
        if report.when == "teardown":
            if report.failed:
                results[report.nodeid] = results.get(report.nodeid, "passed") + "+teardown-error"
            return
        if report.when == "setup" and report.passed:
            return
        if report.passed:
            kind = "xpassed" if xfail else "passed"
        elif report.skipped:
            kind = "xfailed" if xfail else "skipped"
        else:
            kind = "error" if report.when == "setup" else "failed"
        results[report.nodeid] = kind

    def pytest_collectreport(report):
        if report.failed:
            results[report.nodeid] = "error"
        elif report.skipped:
            results[report.nodeid] = "skipped"

    def pytest_sessionfinish(session):
        with open(os.environ["ORACLE_OUT"], "w") as file:
            json.dump(results, file)
    """
)

_DRIVER = Path(__file__).with_name("_runtime_driver.py")


def _environment(extra_path: str | None = None) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTEST_ADDOPTS", "PYTHONPATH")}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if extra_path:
        env["PYTHONPATH"] = extra_path
    return env


def pytest_outcomes(tree: Path, *args: str, python: str = sys.executable) -> dict[str, str]:
    with tempfile.TemporaryDirectory() as scratch:
        Path(scratch, "_oracle_plugin.py").write_text(_PLUGIN)
        out = Path(scratch, "out.json")
        env = _environment(scratch)
        env["ORACLE_OUT"] = str(out)
        command = [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "_oracle_plugin",
                   "--continue-on-collection-errors", *args]
        done = subprocess.run(command, cwd=tree, env=env, capture_output=True, text=True, timeout=120)
        if not out.exists():
            raise AssertionError(f"pytest wrote no outcomes:\n{done.stdout}\n{done.stderr}")
        return json.loads(out.read_text())


def runtime_outcomes(tree: Path, *args: str, python: str = sys.executable) -> dict[str, str]:
    """The runtime's outcomes, run sequentially by the driver."""
    done = subprocess.run(
        [python, str(_DRIVER), *args], cwd=tree, env=_environment(), capture_output=True,
        text=True, timeout=120,
    )
    if done.returncode != 0:
        raise AssertionError(f"driver failed:\n{done.stdout}\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def runtime_report(tree: Path, *args: str, python: str = sys.executable) -> list[dict[str, object]]:
    """Every outcome record the runtime made, in run order (``--records``)."""
    done = subprocess.run(
        [python, str(_DRIVER), "--records", *args], cwd=tree, env=_environment(),
        capture_output=True, text=True, timeout=120,
    )
    if done.returncode != 0:
        raise AssertionError(f"driver failed:\n{done.stdout}\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])
