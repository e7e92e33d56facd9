"""Helpers shared by the benchmarks: corpora on disk, fresh processes, medians, a table.

The machine the benchmarks run on is shared and noisy, so every figure is a median of
several measurements and comparisons are made as ratios taken within one run.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

BENCH_DIR = Path(__file__).resolve().parent

# The line a child process prints its result on, so that stray output from tests run
# without capture can't be mistaken for it.
_RESULT_MARK = "@@bench-result@@ "


def source_of_tests(count: int, body: str, start: int = 0) -> str:
    """Source of `count` module-level test functions whose body is `body` (dedented)."""
    block = textwrap.indent(textwrap.dedent(body).strip("\n"), "    ")
    return "".join(f"\n\ndef test_{start + index:04d}():\n{block}\n" for index in range(count))


def write_corpus(root: Path, files: int, source: str) -> list[Path]:
    """Writes `files` test files with the same `source` under `root`; returns their paths."""
    root.mkdir(parents=True, exist_ok=True)
    paths = []
    for index in range(files):
        path = root / f"test_file_{index:04d}.py"
        path.write_text(source, encoding="utf-8")
        paths.append(path)
    return paths


def child_environment(**overrides: str) -> dict[str, str]:
    """This process's environment without the variables that would change what is measured
    (the pool's size, pytest's options), plus `overrides`."""
    env = {
        key: value
        for key, value in os.environ.items()
        if not key.startswith(("RAYON_", "PYTEST_"))
    }
    env.update(overrides)
    return env


def run_fresh(
    function: Callable[..., Any], env: dict[str, str], timeout: float, **kwargs: Any
) -> Any:
    """Calls `function(**kwargs)` in a fresh interpreter and returns what it returned.

    `function` must live at the top level of a module in this directory and take and return
    JSON values. The child runs with `-P` so neither its working directory nor a script's
    directory can shadow the installed package; this directory is put on its path explicitly.
    """
    # A benchmark run as a script defines its functions in __main__: name its file instead.
    module = Path(sys.modules[function.__module__].__file__ or "").stem
    snippet = (
        "import json, sys\n"
        f"sys.path.insert(0, {str(BENCH_DIR)!r})\n"
        f"from {module} import {function.__name__} as function\n"
        "result = function(**json.loads(sys.argv[1]))\n"
        f"print({_RESULT_MARK!r} + json.dumps(result), flush=True)\n"
    )
    completed = subprocess.run(
        [sys.executable, "-P", "-c", snippet, json.dumps(kwargs)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if completed.returncode != 0:
        raise RuntimeError(
            f"{function.__name__} failed in a child process (exit {completed.returncode}):\n"
            f"{completed.stderr.strip()}"
        )
    for line in reversed(completed.stdout.splitlines()):
        if line.startswith(_RESULT_MARK):
            return json.loads(line[len(_RESULT_MARK) :])
    raise RuntimeError(f"{function.__name__} printed no result:\n{completed.stdout[-2000:]}")


def time_process(
    argv: Sequence[str], env: dict[str, str], cwd: Path, timeout: float
) -> tuple[float, str]:
    """Runs a whole process and returns its wall time in seconds and its standard output.
    A non-zero exit is an error: a benchmark whose tests didn't pass measured nothing."""
    start = time.perf_counter()
    completed = subprocess.run(
        list(argv), env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout
    )
    elapsed = time.perf_counter() - start
    if completed.returncode != 0:
        raise RuntimeError(
            f"{' '.join(argv)} exited with {completed.returncode}:\n"
            f"{completed.stdout[-2000:]}{completed.stderr[-2000:]}"
        )
    return elapsed, completed.stdout


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


def noise(values: Sequence[float], relative: bool = True) -> str:
    """Half the interquartile range of `values`: relative to their median, or in their own
    unit for figures that are differences and may lie near zero."""
    if len(values) < 2:
        return ""
    lower, _, upper = statistics.quantiles(values, n=4)
    half = (upper - lower) / 2
    if not relative:
        return f"±{half:.2f}"
    middle = median(values)
    return f"±{half / middle:.0%}" if middle else ""


@dataclass
class Row:
    label: str
    figure: str
    target: str = ""
    versus: str = ""  # the figure as a multiple of the target
    status: str = ""  # "met", "MISSED", or empty for a figure without a target
    noise: str = ""


class Table:
    """Rows grouped under headings, printed as aligned columns."""

    def __init__(self) -> None:
        self._lines: list[str | Row] = []
        self.missed: list[str] = []

    def heading(self, text: str) -> None:
        self._lines.append(text)

    def figure(self, label: str, figure: str, noise: str = "") -> None:
        self._lines.append(Row(label, figure, noise=noise))

    def target(
        self,
        label: str,
        value: float,
        unit: str,
        limit: float,
        at_most: bool = True,
        noise: str = "",
    ) -> None:
        """A figure with its target: `value` must be at most (or at least) `limit`."""
        met = value <= limit if at_most else value >= limit
        if not met:
            self.missed.append(label)
        self._lines.append(
            Row(
                label,
                f"{value:.2f} {unit}".rstrip(),
                f"{'≤' if at_most else '≥'} {limit:g} {unit}".rstrip(),
                f"{value / limit:.2f}x" if limit else "",
                "met" if met else "MISSED",
                noise,
            )
        )

    def render(self) -> str:
        rows = [line for line in self._lines if isinstance(line, Row)]
        header = Row("", "figure", "target", "vs target", "", "noise (IQR/2)")
        widths = [
            max(len(getattr(row, field)) for row in [header, *rows])
            for field in ("label", "figure", "target", "versus", "status", "noise")
        ]

        def format_row(row: Row) -> str:
            cells = (row.label, row.figure, row.target, row.versus, row.status, row.noise)
            aligned = [cells[0].ljust(widths[0])]
            aligned += [cell.rjust(width) for cell, width in zip(cells[1:4], widths[1:4])]
            aligned += [cells[4].ljust(widths[4]), cells[5]]
            return "  ".join(aligned).rstrip()

        out = [format_row(header)]
        for line in self._lines:
            out.append(format_row(line) if isinstance(line, Row) else line)
        return "\n".join(out)
