"""The benchmark report's arithmetic: ratios within rounds, targets, linearity, imports."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
sys.path.insert(0, str(BENCH))

from report import render  # noqa: E402
from report.measure import Measured, run_command  # noqa: E402
from report.profile import parse_importtime  # noqa: E402
from report.scenarios import Scenario, Target  # noqa: E402


def runs(*figures: float) -> list[Measured]:
    return [Measured(wall=f, cpu=f, peak_mib=f, status=0, output="") for f in figures]


@pytest.mark.parametrize(
    ("target", "ours", "theirs", "ratio", "met"),
    [
        # Within each round: 2/1, 1/1 (a slow spell hit both), 3/1 -> median 2.
        (Target("t", "floor", 1.15), (2, 4, 3), (1, 4, 1), 2.0, False),
        (Target("t", "floor", 1.15), (1, 1, 1), (1, 1, 1), 1.0, True),
        (Target("t", "pytest", 25, faster=True), (1, 2, 1), (30, 40, 20), 20.0, False),
        (Target("t", "pytest", 6, faster=True), (1, 1), (6, 6), 6.0, True),
    ],
)
def test_ratio_is_taken_within_rounds(target, ours, theirs, ratio, met):
    results = {"t": runs(*ours), target.reference: runs(*theirs)}
    assert target.ratio(results, "cpu") == pytest.approx(ratio)
    assert target.met(target.ratio(results, "cpu")) is met


def scaling(per_size: dict[int, tuple[float, float, float]]) -> list[Scenario]:
    scenarios = []
    for tests, figures in per_size.items():
        scenario = Scenario(f"scale-{tests}", "", "", lambda root: None, [], [])
        scenario.results = dict(zip(("trelkin", "trelkin --sequential", "floor"),
                                    (runs(f) for f in figures)))
        scenarios.append(scenario)
    return scenarios


def test_linearity_leaves_start_up_out_and_flags_growth():
    # trelkin: 10 µs a test at every step, after any start-up; the floor: 10 µs then 20 µs.
    rows = render.linearity_rows(scaling({
        10_000: (1.1, 0.6, 0.1), 30_000: (1.3, 0.8, 0.3), 100_000: (2.0, 1.5, 1.7)}))
    verdicts = {(row[0], row[1]): (row[2], row[3], row[-1]) for row in rows}
    assert verdicts[("`trelkin`", "cpu")] == ("10.0 µs", "10.0 µs", "met")
    assert verdicts[("`floor`", "cpu")] == ("10.0 µs", "20.0 µs", "**missed**")


def test_importtime_keeps_outermost_imports_with_their_cumulative_cost():
    stderr = (
        "import time: self [us] | cumulative | imported package\n"
        "import time:       500 |        500 |     _io\n"
        "import time:      2000 |       2000 |   re\n"
        "import time:      1000 |       4000 | trelkin.cli\n"
        "import time:       300 |        300 | site\n"
    )
    imports = parse_importtime(stderr)
    assert imports.top_level == [("trelkin.cli", 4.0), ("site", 0.3)]
    assert imports.total_ms == pytest.approx(4.3)
    assert imports.by_self[0] == ("re", 2.0)


def test_peak_memory_counts_the_children_of_a_command(tmp_path):
    # Two children holding 40 MiB each at the same time: the tree's peak, not one process's.
    child = "import time; x = b'x' * (40 << 20); time.sleep(0.5)"
    parent = (
        "import subprocess, sys\n"
        f"ps = [subprocess.Popen([sys.executable, '-c', {child!r}]) for _ in range(2)]\n"
        "[p.wait() for p in ps]\n"
    )
    measured = run_command([sys.executable, "-c", parent], tmp_path, {}, timeout=60)
    assert measured.status == 0
    assert measured.peak_mib > 80
    assert measured.cpu > 0


def test_a_failing_command_keeps_its_status_and_output(tmp_path):
    measured = run_command([sys.executable, "-c", "print('out'); raise SystemExit(3)"],
                           tmp_path, {}, timeout=60)
    assert (measured.status, measured.output.strip()) == (3, "out")


def test_the_floor_counts_outcomes_and_fails_on_a_failing_test(tmp_path):
    (tmp_path / "test_a.py").write_text(
        "def test_ok():\n    print('captured')\n\ndef test_bad():\n    assert False\n")
    completed = subprocess.run([sys.executable, str(BENCH / "report" / "floor.py"), "."],
                               cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert completed.returncode == 1
    assert completed.stdout.startswith("1 passed, 1 failed")
    assert "captured" not in completed.stdout
