"""Where trelkin's time goes: its imports at start-up, and a profile of a sequential run."""

from __future__ import annotations

import pstats
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from report.measure import command_environment
from report.scenarios import TRELKIN

IMPORT_LINE = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|( *)(\S+)")


@dataclass(frozen=True)
class Imports:
    total_ms: float
    top_level: list[tuple[str, float]]  # module imported by trelkin's start, cumulative ms
    by_self: list[tuple[str, float]]  # the modules that cost most on their own, ms


@dataclass(frozen=True)
class Hotspot:
    function: str
    calls: int
    own_us: float  # per test
    cumulative_us: float  # per test


def parse_importtime(stderr: str, top: int = 12) -> Imports:
    rows = []
    for line in stderr.splitlines():
        match = IMPORT_LINE.match(line)
        if match:
            own, cumulative, indent, name = match.groups()
            rows.append((name, int(own) / 1e3, int(cumulative) / 1e3, len(indent)))
    if not rows:
        return Imports(0.0, [], [])
    outermost = min(depth for *_, depth in rows)
    top_level = [(name, cumulative) for name, _, cumulative, depth in rows
                 if depth == outermost]
    by_self = sorted(((name, own) for name, own, _, _ in rows), key=lambda row: -row[1])
    return Imports(sum(cumulative for _, cumulative in top_level),
                   sorted(top_level, key=lambda row: -row[1])[:top], by_self[:top])


def measure_imports(tree: Path) -> Imports:
    completed = subprocess.run(
        [sys.executable, "-X", "importtime", TRELKIN, "-q", "--sequential"], cwd=tree,
        env=command_environment(), capture_output=True, text=True, timeout=120)
    return parse_importtime(completed.stderr)


def function_name(key: tuple[str, int, str]) -> str:
    file, line, name = key
    if file == "~":
        return name
    parts = Path(file).parts
    short = "/".join(parts[-2:]) if "trelkin" in parts else Path(file).name
    return f"{short}:{line} {name}"


def hotspots(profile: Path, tests: int, top: int = 15) -> list[Hotspot]:
    stats = pstats.Stats(str(profile))
    rows = []
    for key, (_, calls, own, cumulative, _) in stats.stats.items():  # type: ignore[attr-defined]
        rows.append(Hotspot(function_name(key), calls, own / tests * 1e6,
                            cumulative / tests * 1e6))
    return sorted(rows, key=lambda row: -row.own_us)[:top]


def profile_sequential(tree: Path, tests: int, scratch: Path) -> tuple[float, list[Hotspot]]:
    """cProfile of `trelkin --sequential` on `tree`: the total per test and the functions
    that take most of it on their own. The profiler slows every Python call alike, so the
    shares, not the absolute figures, are what to read."""
    output = scratch / "sequential.prof"
    subprocess.run([sys.executable, "-m", "cProfile", "-o", str(output), TRELKIN, "-q",
                    "--sequential"], cwd=tree, env=command_environment(),
                   capture_output=True, check=True, timeout=600)
    stats = pstats.Stats(str(output))
    total = stats.total_tt  # type: ignore[attr-defined]
    return total / tests * 1e6, hotspots(output, tests)
