"""Outcomes per test, read from a JUnit XML report in pytest's layout.

A test's id is its JUnit ``classname`` and ``name`` joined as pytest's writer makes them:
``tests.test_mod.TestClass`` + ``test_x[1-2]`` gives ``tests.test_mod.TestClass::test_x[1-2]``.
Both commands are asked for that layout; ``normalise`` also folds a classname written as a
path (``tests/test_mod.py``) into the dotted form, so a writer that keeps paths still matches.
"""

from __future__ import annotations

import re
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

PASSED = "passed"
FAILED = "failed"
ERROR = "error"
SKIPPED = "skipped"
XFAILED = "xfailed"
OUTCOMES = (PASSED, FAILED, ERROR, SKIPPED, XFAILED)
# A classname written as a file path, perhaps followed by "::Class" parts.
_PATH_FORM = re.compile(r"^(?P<module>[^:]+)\.py(?P<rest>(::[^:]+)*)$")
# When a test has several children (a call failure and a teardown error), the worst one counts.
_SEVERITY = {PASSED: 0, XFAILED: 1, SKIPPED: 2, FAILED: 3, ERROR: 4}


@dataclass(frozen=True)
class Outcome:
    kind: str
    message: str = ""


def normalise(classname: str, name: str) -> str:
    """The id a test is matched by, from its JUnit ``classname`` and ``name``."""
    dotted = classname.strip("/")
    as_path = _PATH_FORM.match(dotted)
    if as_path:
        dotted = as_path["module"] + as_path["rest"].replace("::", ".")
    dotted = dotted.replace("/", ".").replace("::", ".")
    return f"{dotted}::{name}" if dotted else name


def _outcome_of(case: ElementTree.Element) -> Outcome:
    found = Outcome(PASSED)
    for child in case:
        if child.tag in ("failure", "error"):
            kind = FAILED if child.tag == "failure" else ERROR
        elif child.tag == "skipped":
            kind = XFAILED if child.get("type") == "pytest.xfail" else SKIPPED
        else:
            continue
        if _SEVERITY[kind] > _SEVERITY[found.kind]:
            found = Outcome(kind, (child.get("message") or "").strip())
    return found


def read_junit(path: Path) -> dict[str, Outcome]:
    """Every test case of the report at ``path``: id to outcome. A missing or unreadable
    report raises OSError or ElementTree.ParseError."""
    outcomes: dict[str, Outcome] = {}
    for case in ElementTree.parse(path).iter("testcase"):
        key = normalise(case.get("classname", ""), case.get("name", ""))
        outcome = _outcome_of(case)
        previous = outcomes.get(key)
        if previous is None or _SEVERITY[outcome.kind] > _SEVERITY[previous.kind]:
            outcomes[key] = outcome
    return outcomes


@dataclass(frozen=True)
class Counts:
    collected: int
    passed: int
    failed: int  # failures and errors
    skipped: int  # skips and expected failures

    @classmethod
    def of(cls, outcomes: dict[str, Outcome]) -> Counts:
        kinds = [outcome.kind for outcome in outcomes.values()]
        return cls(
            collected=len(kinds),
            passed=kinds.count(PASSED),
            failed=kinds.count(FAILED) + kinds.count(ERROR),
            skipped=kinds.count(SKIPPED) + kinds.count(XFAILED),
        )
