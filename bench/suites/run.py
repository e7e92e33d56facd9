"""Runs real projects' test suites under pytest and under trelkin, and compares them.

For each project of projects.toml: the sdist is downloaded and unpacked, a virtual
environment made with the project, its test requirements, pytest and this checkout's trelkin
(all cached under build/suites/), and then, each in a fresh copy of the tree and with a
timeout:

    pytest -q -p no:cacheprovider --junitxml=...     the oracle
    trelkin -q --junitxml=...                        the default, parallel mode
    trelkin -q --sequential --junitxml=...
    python -m unittest discover -s START -t TOP       for unittest suites

The closing report is markdown: per project the collected / passed / failed / skipped counts
(skipped includes xfailed) of pytest and of trelkin, the share of pytest's passing tests that
trelkin passes (matched by JUnit classname and name), the wrong passes (tests trelkin passes
that pytest doesn't: must be 0), whether the sequential and parallel runs agree, and both
commands' wall times; for unittest suites how trelkin's run compares with unittest's; then
the top causes of the tests trelkin doesn't pass. Reports and logs stay in
build/suites/results/NAME/.

    scripts/suites [--project NAME ...] [--jobs N] [--timeout S] [--revision REV]
                   [--rerun-oracles] [--keep] [--json OUT]

pytest's and unittest's results depend only on the pinned project and its environment, so
they are kept (build/suites/results/NAME/*.cache.json) and reused until --rerun-oracles.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import asdict
from pathlib import Path

import _causes
import _compare
import _projects
import _setup
from _compare import ProjectResult, Run
from _projects import Project
from _results import Outcome, read_junit

_PROBE = Path(__file__).with_name("_unittest_probe.py")


def _execute(command: list[str], cwd: Path, env: dict[str, str], log: Path, timeout: float
             ) -> tuple[int | None, float]:
    """Runs ``command`` with its output to ``log``; returns its exit status (None when it was
    killed at ``timeout``, with everything it started) and its wall time."""
    started = time.perf_counter()
    with open(log, "wb") as output:
        output.write(("$ " + " ".join(command) + "\n").encode())
        output.flush()
        process = subprocess.Popen(
            command, cwd=cwd, env=env, stdout=output, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL, start_new_session=True,
        )
        try:
            returncode: int | None = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            returncode = None
    return returncode, time.perf_counter() - started


def _why_no_report(log: Path) -> str:
    """The line of ``log`` that best says why a command wrote no report: its first error line
    (with the exception line that follows it), else its last line."""
    lines = [line.strip() for line in log.read_text(errors="replace").splitlines()[1:]]
    lines = [line for line in lines if line]
    for index, line in enumerate(lines):
        if line.startswith("ERROR"):
            after = lines[index + 1] if index + 1 < len(lines) else ""
            return f"{line} {after[1:].strip()}" if after.startswith("E ") else line
    return lines[-1] if lines else "(no output)"


def _junit_run(command: list[str], report: Path, cwd: Path, env: dict[str, str],
               timeout: float) -> Run:
    log = report.with_suffix(".log")
    report.unlink(missing_ok=True)
    returncode, seconds = _execute(command, cwd, env, log, timeout)
    problem = "" if returncode is not None else f"timed out after {timeout:.0f} s"
    try:
        outcomes = read_junit(report)
    except (OSError, SyntaxError):  # ParseError is a SyntaxError
        outcomes = {}
        problem = problem or f"no report (exit {returncode}): {_why_no_report(log)}"
    return Run(outcomes, returncode, seconds, problem)


def _unittest_run(project: Project, python: Path, cwd: Path, env: dict[str, str],
                  results: Path, timeout: float) -> Run:
    report = results / "unittest.json"
    report.unlink(missing_ok=True)
    command = [str(python), str(_PROBE), project.unittest_start, project.unittest_top, str(report)]
    returncode, seconds = _execute(command, cwd, env, results / "unittest.log", timeout)
    try:
        data = json.loads(report.read_text())
    except (OSError, ValueError):
        return Run({}, returncode, seconds, f"exit {returncode}, no unittest report")
    outcomes = {key: Outcome(kind) for key, kind in data["outcomes"].items()}
    return Run(outcomes, returncode, seconds)


def _oracle(label: str, key: object, results: Path, fresh: bool, produce: Callable[[], Run]
            ) -> Run:
    """The run of an oracle command (pytest, unittest), reused from an earlier harness run
    while ``key`` (its command and environment) is the same: neither changes with trelkin."""
    cache = results / f"{label}.cache.json"
    if not fresh and cache.is_file():
        data = json.loads(cache.read_text())
        if data["key"] == key:
            outcomes = {name: Outcome(kind, message) for name, (kind, message)
                        in data["outcomes"].items()}
            return Run(outcomes, data["returncode"], data["seconds"], data["problem"], cached=True)
    run = produce()
    if not run.problem:
        outcomes = {name: (o.kind, o.message) for name, o in run.outcomes.items()}
        cache.write_text(json.dumps({"key": key, "outcomes": outcomes, "returncode": run.returncode,
                                     "seconds": run.seconds, "problem": run.problem}))
    return run


def run_project(project: Project, options: argparse.Namespace) -> ProjectResult:
    empty = Run({}, None, 0.0, "not run")
    try:
        tree = _setup.source_tree(project)
        venv = _setup.environment(project, tree)
    except _setup.SetupError as error:
        return ProjectResult(project.name, project.style, empty, empty, empty,
                             setup_problem=str(error))
    python = venv / "bin" / "python"
    env = _setup.clean_env(project, venv, options.source)
    results = _setup.CACHE / "results" / project.name
    results.mkdir(parents=True, exist_ok=True)
    work = _setup.WORK / project.name

    def fresh(label: str) -> Path:
        return _setup.work_copy(tree, work / label)

    environment = (venv / "harness.json").read_text()
    junit = results / "pytest.xml"
    command = [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={junit}",
               *project.pytest_args, *project.tests]
    key = [environment, command, project.env, str(work)]
    pytest = _oracle("pytest", key, results, options.rerun_oracles,
                     lambda: _junit_run(command, junit, fresh("pytest"), env, options.timeout))
    trelkin = [str(python), "-m", "trelkin", "-q", *project.trelkin_args]
    jobs = ["-n", str(options.jobs)] if options.jobs else []
    junit = results / "trelkin-parallel.xml"
    parallel = _junit_run([*trelkin, *jobs, f"--junitxml={junit}", *project.tests],
                          junit, fresh("parallel"), env, options.timeout)
    junit = results / "trelkin-sequential.xml"
    sequential = _junit_run([*trelkin, "--sequential", f"--junitxml={junit}", *project.tests],
                            junit, fresh("sequential"), env, options.timeout)
    unittest = None
    if project.is_unittest:
        key = [environment, project.unittest_start, project.unittest_top, project.env, str(work)]
        unittest = _oracle("unittest", key, results, options.rerun_oracles,
                           lambda: _unittest_run(project, python, fresh("unittest"), env, results,
                                                 options.timeout))
    if not options.keep:
        shutil.rmtree(work, ignore_errors=True)
    result = ProjectResult(project.name, project.style, pytest, parallel, sequential, unittest)
    result.causes = _causes.top_causes(pytest, parallel)
    return result


def _summary_line(result: ProjectResult) -> str:
    if result.setup_problem:
        return f"{result.name}: setup failed: {result.setup_problem}"
    share = result.share
    return (
        f"{result.name}: pytest {result.pytest.counts}, trelkin {result.parallel.counts}, "
        f"share {'n/a' if share is None else f'{100 * share:.1f}%'}, "
        f"wrong passes {len(result.wrong_passes())}"
    )


def _describe_trelkin(revision: str | None) -> str:
    def short(name: str) -> str:
        return subprocess.run(["git", "-C", str(_setup.REPO), "rev-parse", "--short", name],
                              capture_output=True, text=True).stdout.strip()

    layer = (f"as committed at {short(revision)}" if revision
             else f"from the working tree (HEAD {short('HEAD')})")
    core = _setup.built_core()
    built = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(core.stat().st_mtime))
    return f"trelkin: Python layer {layer}, core {core.name} built {built}; oracle {_setup.PYTEST}."


def report(results: list[ProjectResult], revision: str | None) -> str:
    parts = [
        "## Real suites: pytest and trelkin",
        "",
        _describe_trelkin(revision) + " Counts: collected / passed / failed (with errors) / "
        "skipped (with xfailed); share: of the tests pytest passes, those trelkin passes.",
        "",
        _compare.markdown_table(results),
        "",
    ]
    if any(result.unittest for result in results):
        parts += ["## unittest suites: `python -m unittest discover` and `trelkin --sequential`",
                  "", _compare.markdown_unittest_table(results), ""]
        for result in results:
            if result.unittest is None or result.setup_problem:
                continue
            missing = _compare.compare_unittest(result.unittest, result.sequential).missing
            if missing:
                parts.append(f"- {result.name}: {len(missing)} tests unittest runs are not in "
                             f"trelkin's report, e.g. `{missing[0]}`")
        parts.append("")
    parts += ["## Top causes of tests pytest passes and trelkin doesn't, and other outcomes",
              ""]
    for result in results:
        mismatches = _causes.other_mismatches(result.pytest, result.parallel)
        if result.causes or mismatches:
            parts.append(f"- **{result.name}**")
            parts += [f"  - {count} {'test' if count == 1 else 'tests'}: `{cause}`"
                      for cause, count in [*result.causes, *mismatches]]
        if result.setup_problem:
            continue
        # A run with no report at all is already its project's one cause.
        shown = {result.parallel.problem} if not result.parallel.outcomes else set()
        for label, run in (("pytest", result.pytest), ("trelkin", result.parallel),
                           ("trelkin --sequential", result.sequential)):
            if run.problem and run.problem not in shown:
                parts.append(f"- {result.name}, {label}: {run.problem}")
                shown.add(run.problem)
    return "\n".join(parts) + "\n"


def _as_json(result: ProjectResult) -> dict[str, object]:
    def run_data(run: Run | None) -> dict[str, object] | None:
        if run is None:
            return None
        return {"counts": asdict(run.counts), "returncode": run.returncode,
                "seconds": round(run.seconds, 3), "problem": run.problem}

    return {
        "name": result.name,
        "style": list(result.style),
        "setup_problem": result.setup_problem,
        "pytest": run_data(result.pytest),
        "trelkin": run_data(result.parallel),
        "trelkin_sequential": run_data(result.sequential),
        "unittest": run_data(result.unittest),
        "share": result.share,
        "wrong_passes": sorted(result.wrong_passes()),
        "mode_differences": sorted(result.mode_differences()),
        "causes": [{"cause": cause, "tests": count} for cause, count in result.causes],
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--project", action="append", metavar="NAME",
                        help="run only this project (repeatable; default: all)")
    parser.add_argument("--jobs", type=int, metavar="N",
                        help="trelkin's -n for the parallel run (default: its own)")
    parser.add_argument("--timeout", type=float, default=300.0, metavar="S",
                        help="seconds each command may take (default: 300)")
    parser.add_argument("--rerun-oracles", action="store_true",
                        help="run pytest and unittest again even where their earlier results "
                             "for the same command and environment are cached")
    parser.add_argument("--keep", action="store_true",
                        help=f"keep the trees the commands ran in (under {_setup.WORK})")
    parser.add_argument("--revision", metavar="REV",
                        help="test trelkin's Python layer as committed at REV (e.g. HEAD), "
                             "not the working tree")
    parser.add_argument("--json", type=Path, metavar="OUT", help="also write the results as JSON")
    options = parser.parse_args(argv)
    # Taken once, so every project of the run tests the same code even if HEAD moves.
    try:
        options.source = (_setup.committed_source(options.revision) if options.revision
                          else _setup.REPO / "python")
    except _setup.SetupError as error:
        parser.error(str(error))
    projects = _projects.load()
    if options.project:
        unknown = set(options.project) - {project.name for project in projects}
        if unknown:
            parser.error(f"no such project: {', '.join(sorted(unknown))}")
        projects = [project for project in projects if project.name in options.project]
    results = []
    for project in projects:
        print(f"{project.requirement} ...", file=sys.stderr, flush=True)
        result = run_project(project, options)
        print(f"  {_summary_line(result)}", file=sys.stderr, flush=True)
        results.append(result)
    print(report(results, options.revision), end="")
    if options.json:
        options.json.write_text(json.dumps([_as_json(result) for result in results], indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
