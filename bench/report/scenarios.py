"""What is compared with what, the targets, and the ratios of the measured figures."""

from __future__ import annotations

import statistics
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

from report import corpora
from report.measure import Contender, Measured

HERE = Path(__file__).resolve().parent
SCRIPTS = Path(sys.executable).parent
TRELKIN = str(SCRIPTS / "trelkin")
PYTEST = (str(SCRIPTS / "pytest"), "-q", "-p", "no:cacheprovider")
FLOOR = (sys.executable, str(HERE / "floor.py"), ".")
STDLIB_TESTS = Path(sys.base_prefix) / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "test"

METRICS = ("cpu", "wall")


@dataclass(frozen=True)
class Target:
    """`contender` against `reference` on CPU and wall time (or peak memory): at most
    `limit` times the reference's figure, or, when `faster`, at least `limit` times faster."""

    contender: str
    reference: str
    limit: float
    faster: bool = False
    memory: bool = False

    def ratio(self, results: dict[str, list[Measured]], metric: str) -> float:
        """The median over rounds of the ratio within each round, so that a slow spell of
        the machine touches both figures of a ratio alike."""
        ours, theirs = results[self.contender], results[self.reference]
        pairs = [(getattr(a, metric), getattr(b, metric)) for a, b in zip(ours, theirs)]
        if self.faster:
            return statistics.median(b / a for a, b in pairs)
        return statistics.median(a / b for a, b in pairs)

    def met(self, ratio: float) -> bool:
        return ratio >= self.limit if self.faster else ratio <= self.limit

    def describe(self) -> str:
        if self.memory:
            return f"peak memory ≤ {self.limit:g}× {self.reference}'s"
        if self.faster:
            return f"≥ {self.limit:g}× faster than {self.reference}"
        return f"≤ {self.limit:g}× {self.reference}"

    @property
    def metrics(self) -> tuple[str, ...]:
        return ("peak_mib",) if self.memory else METRICS


@dataclass
class Scenario:
    key: str
    title: str
    about: str
    write: Callable[[Path], None]
    contenders: list[Contender]
    targets: list[Target]
    slow: bool = False  # takes seconds a round: fewer rounds
    tree: Path | None = None  # measured in place, written by nobody
    results: dict[str, list[Measured]] = field(default_factory=dict)
    skipped: str = ""


def trelkin(label: str, *arguments: str) -> Contender:
    return Contender(label, (TRELKIN, "-q", *arguments), trelkin=True)


DEFAULT = "trelkin"
SEQUENTIAL = "trelkin --sequential"


def trivial_scenarios() -> list[Scenario]:
    return [
        Scenario(
            "trivial", "10,000 trivial tests in 500 files",
            "Plain test functions that each pass an assert, 20 a file.",
            lambda root: corpora.write_trivial(root, 500, 20),
            [trelkin(DEFAULT), trelkin(SEQUENTIAL, "--sequential"),
             Contender("floor", FLOOR), Contender("pytest", PYTEST)],
            [Target(DEFAULT, "floor", 1.15), Target(SEQUENTIAL, "floor", 1.15),
             Target(DEFAULT, "pytest", 25, faster=True),
             Target(SEQUENTIAL, "pytest", 25, faster=True)],
            slow=True,
        ),
        Scenario(
            "unittest", "10,000 unittest.TestCase methods in 500 files",
            "The trivial tree written as one `TestCase` class a file.",
            lambda root: corpora.write_unittest(root, 500, 20),
            [trelkin(DEFAULT), trelkin(SEQUENTIAL, "--sequential"),
             Contender("python -m unittest discover",
                       (sys.executable, "-m", "unittest", "discover", "-q", "-s", ".",
                        "-p", "test_*.py"))],
            [Target(DEFAULT, "python -m unittest discover", 0.8),
             Target(SEQUENTIAL, "python -m unittest discover", 0.8)],
        ),
        Scenario(
            "one", "One file with one test",
            "What every edit-and-rerun costs. The floor is an interpreter that starts, "
            "imports the file and calls the test; `python -c pass` is shown beside it.",
            corpora.write_one,
            [trelkin(DEFAULT), trelkin(SEQUENTIAL, "--sequential"),
             Contender("interpreter + import + call",
                       (sys.executable, "-c", "import test_one; test_one.test_one()")),
             Contender("python -c pass", (sys.executable, "-c", "pass")),
             Contender("pytest", PYTEST)],
            [Target(DEFAULT, "interpreter + import + call", 2.0),
             Target(SEQUENTIAL, "interpreter + import + call", 2.0),
             Target(DEFAULT, "pytest", 6, faster=True)],
        ),
        Scenario(
            "fixtures", "10,000 tests taking a conftest fixture, half parametrized",
            "100 files of 50 plain tests and one function parametrized 50 ways, every test "
            "taking a function-scoped fixture of the tree's `conftest.py`.",
            corpora.write_fixtures,
            [trelkin(DEFAULT), trelkin(SEQUENTIAL, "--sequential"), Contender("pytest", PYTEST)],
            [Target(DEFAULT, "pytest", 15, faster=True),
             Target(SEQUENTIAL, "pytest", 15, faster=True)],
            slow=True,
        ),
    ]


def collect_scenario() -> Scenario:
    tree = STDLIB_TESTS
    scenario = Scenario(
        "collect", f"--collect-only on CPython's Lib/test ({tree})",
        "Both commands list every test of the interpreter's own test suite; both exit "
        "non-zero on the modules that fail to import there, which is accepted.",
        lambda root: None,
        [Contender("trelkin --collect-only", (TRELKIN, "-q", "--collect-only", str(tree)),
                   trelkin=True, any_status=True),
         Contender("pytest --collect-only", (*PYTEST, "--collect-only", str(tree)),
                   any_status=True)],
        [Target("trelkin --collect-only", "pytest --collect-only", 5, faster=True)],
        slow=True, tree=tree,
    )
    if not tree.is_dir():
        scenario.skipped = f"{tree} is not installed with this interpreter: not measured."
    return scenario


def scaling_scenario(tests: int) -> Scenario:
    """Trivial tests, 100 a file: time per test at each size shows whether time grows in
    proportion to the number of tests; at the largest size, peak memory against the floor."""
    files = tests // 100
    targets = []
    if tests >= 100_000:
        targets = [Target(DEFAULT, "floor", 1.5, memory=True),
                   Target(SEQUENTIAL, "floor", 1.5, memory=True)]
    return Scenario(
        f"scale-{tests}", f"{tests:,} trivial tests in {files:,} files",
        "Time per test from size to size, and peak memory of the whole process tree.",
        lambda root: corpora.write_trivial(root, files, 100),
        [trelkin(DEFAULT), trelkin(SEQUENTIAL, "--sequential"), Contender("floor", FLOOR)],
        targets, slow=tests >= 30_000,
    )
