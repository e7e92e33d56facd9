"""How one project's runs compare, and the markdown tables of all of them.

The measure is the share of the tests pytest passes that trelkin passes too, matched by id.
A "wrong pass" is a test trelkin passes (in either mode) that pytest fails, skips, xfails or
doesn't report at all: the number that must stay 0.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from _results import PASSED, Counts, Outcome


@dataclass
class Run:
    """One command's run: its outcomes by id, and how it ended."""

    outcomes: dict[str, Outcome]
    returncode: int | None  # None: killed at the timeout
    seconds: float
    problem: str = ""  # why there is no (complete) report, empty when there is one
    cached: bool = False  # taken from an earlier harness run: its time is not side by side

    @property
    def counts(self) -> Counts:
        return Counts.of(self.outcomes)


@dataclass
class ProjectResult:
    name: str
    style: tuple[str, ...]
    pytest: Run
    parallel: Run
    sequential: Run
    unittest: Run | None = None
    setup_problem: str = ""
    causes: list[tuple[str, int]] = field(default_factory=list)

    def pytest_passes(self) -> set[str]:
        return _passing(self.pytest)

    def shared_passes(self) -> set[str]:
        return self.pytest_passes() & _passing(self.parallel)

    @property
    def share(self) -> float | None:
        expected = len(self.pytest_passes())
        return len(self.shared_passes()) / expected if expected else None

    def wrong_passes(self) -> set[str]:
        passes = _passing(self.parallel) | _passing(self.sequential)
        return passes - self.pytest_passes()

    def absent_under_pytest(self) -> set[str]:
        """The wrong passes pytest didn't report at all (deselected, or not collected)."""
        return self.wrong_passes() - self.pytest.outcomes.keys()

    def outcome_differences(self) -> set[str]:
        """Ids whose outcome under trelkin's default run is not pytest's (either side absent
        counts): stricter than the share, it sees skips, xfails and failures too."""
        return _differences(self.pytest.outcomes, self.parallel.outcomes)

    def mode_differences(self) -> set[str]:
        """Ids whose outcome differs between the parallel and the sequential run."""
        return _differences(self.parallel.outcomes, self.sequential.outcomes)


def _passing(run: Run) -> set[str]:
    return {key for key, outcome in run.outcomes.items() if outcome.kind == PASSED}


def _differences(first: dict[str, Outcome], second: dict[str, Outcome]) -> set[str]:
    keys = first.keys() | second.keys()
    return {key for key in keys if _kind(first, key) != _kind(second, key)}


def _kind(outcomes: dict[str, Outcome], key: str) -> str:
    outcome = outcomes.get(key)
    return outcome.kind if outcome else "absent"


def unittest_key(test_id: str) -> str:
    """A unittest id (``pkg.test_mod.Class.test_x``) in the harness's id form."""
    owner, _, method = test_id.rpartition(".")
    return f"{owner}::{method}"


def match_ids(reference: set[str], other: set[str]) -> dict[str, str]:
    """Pairs each id of ``reference`` with the id of ``other`` it names: the same id, or else
    the one id of ``other`` that ends with it at a dot (unittest's ids leave out the
    directories above its top-level directory, the JUnit classname keeps them)."""
    by_suffix: dict[str, list[str]] = {}
    for key in other:
        parts = key.split(".")
        for start in range(1, len(parts)):
            by_suffix.setdefault(".".join(parts[start:]), []).append(key)
    matched = {}
    for key in reference:
        if key in other:
            matched[key] = key
        elif len(by_suffix.get(key, ())) == 1:
            matched[key] = by_suffix[key][0]
    return matched


@dataclass(frozen=True)
class UnittestComparison:
    ran: int  # tests unittest ran
    matched: int  # of those, found in trelkin's report
    differing: int  # matched, with another outcome under trelkin
    trelkin_only: int  # in trelkin's report, not run by unittest
    missing: tuple[str, ...] = ()  # run by unittest, not in trelkin's report (sorted)


def compare_unittest(unittest: Run, trelkin: Run) -> UnittestComparison:
    reference = {unittest_key(key): outcome for key, outcome in unittest.outcomes.items()}
    pairs = match_ids(set(reference), set(trelkin.outcomes))
    differing = sum(
        1 for key, other in pairs.items() if reference[key].kind != trelkin.outcomes[other].kind
    )
    return UnittestComparison(
        ran=len(reference),
        matched=len(pairs),
        differing=differing,
        trelkin_only=len(set(trelkin.outcomes) - set(pairs.values())),
        missing=tuple(sorted(set(unittest.outcomes) - {key for key in unittest.outcomes
                                                        if unittest_key(key) in pairs})),
    )


def _percent(value: float | None) -> str:
    if value is None:
        return "n/a"
    # 100.0% only when nothing is missing: 5057 of 5059 reads 99.9%, not a rounded 100.0%.
    percent = 100 * value if value >= 1 else min(100 * value, 99.9)
    return f"{percent:.1f}%"


def _counts(run: Run) -> str:
    if run.problem and not run.outcomes:
        return f"no report (exit {run.returncode})" if run.returncode is not None else "timed out"
    counts = run.counts
    return f"{counts.collected} / {counts.passed} / {counts.failed} / {counts.skipped}"


def _wrong(result: ProjectResult) -> str:
    wrong = len(result.wrong_passes())
    absent = len(result.absent_under_pytest())
    return f"{wrong} ({absent} not run by pytest)" if absent else str(wrong)


def markdown_table(results: list[ProjectResult]) -> str:
    lines = [
        "| project | style | pytest c / p / f / s | trelkin c / p / f / s | share | wrong passes "
        "| other outcome | seq = par | pytest s | trelkin s |",
        "| --- | --- | --- | --- | ---: | ---: | ---: | --- | ---: | ---: |",
    ]
    expected = shared = wrong = differing = 0
    shares: list[float] = []
    for result in results:
        if result.setup_problem:
            lines.append(
                f"| {result.name} | {', '.join(result.style)} | setup failed: "
                f"{result.setup_problem.splitlines()[0][:60]} | | | | | | | |"
            )
            continue
        differences = result.mode_differences()
        if result.share is not None:
            shares.append(result.share)
        expected += len(result.pytest_passes())
        shared += len(result.shared_passes())
        wrong += len(result.wrong_passes())
        differing += len(result.outcome_differences())
        lines.append(
            f"| {result.name} | {', '.join(result.style)} | {_counts(result.pytest)} "
            f"| {_counts(result.parallel)} | {_percent(result.share)} "
            f"| {_wrong(result)} | {len(result.outcome_differences())} "
            f"| {'yes' if not differences else f'no ({len(differences)} differ)'} "
            f"| {result.pytest.seconds:.1f}{'*' if result.pytest.cached else ''} "
            f"| {result.parallel.seconds:.1f} |"
        )
    total = shared / expected if expected else None
    mean = sum(shares) / len(shares) if shares else None
    lines.append(
        f"| **all** | | {expected} pytest passes | {shared} also under trelkin "
        f"| **{_percent(total)}** (mean of projects {_percent(mean)}) | {wrong} | {differing} "
        "| | | |"
    )
    if any(result.pytest.cached for result in results):
        lines += ["", "\\* pytest's result and time from an earlier run (same project, "
                  "environment and command); `--rerun-oracles` times both side by side."]
    return "\n".join(lines)


def markdown_unittest_table(results: list[ProjectResult]) -> str:
    lines = [
        "| project | unittest ran / p / f / s | trelkin c / p / f / s | matched | outcome differs "
        "| only under trelkin |",
        "| --- | --- | --- | ---: | ---: | ---: |",
    ]
    for result in results:
        if result.unittest is None or result.setup_problem:
            continue
        comparison = compare_unittest(result.unittest, result.sequential)
        lines.append(
            f"| {result.name} | {_counts(result.unittest)} | {_counts(result.sequential)} "
            f"| {comparison.matched} of {comparison.ran} | {comparison.differing} "
            f"| {comparison.trelkin_only} |"
        )
    return "\n".join(lines)
