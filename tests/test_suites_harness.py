"""The real-suite harness's own logic: matching tests by id across reports, and its sums."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench" / "suites"))

import _causes  # noqa: E402
import _compare  # noqa: E402
import _projects  # noqa: E402
from _compare import ProjectResult, Run  # noqa: E402
from _results import Outcome, normalise, read_junit  # noqa: E402


@pytest.mark.parametrize(
    ("classname", "name", "expected"),
    [
        ("tests.test_a.TestB", "test_x[1-2]", "tests.test_a.TestB::test_x[1-2]"),
        ("tests/test_a.py", "test_x", "tests.test_a::test_x"),
        ("tests/test_a.py::TestB::TestC", "test_x", "tests.test_a.TestB.TestC::test_x"),
        # Only a trailing ".py" marks a path: a module named "pyparsing" stays as it is.
        ("tests.pyparsing_tests.Case", "test_x", "tests.pyparsing_tests.Case::test_x"),
        ("", "tests.test_broken", "tests.test_broken"),
    ],
)
def test_ids_from_either_layout_agree(classname: str, name: str, expected: str) -> None:
    assert normalise(classname, name) == expected


def test_junit_outcomes_take_the_worst_child(tmp_path: Path) -> None:
    report = tmp_path / "r.xml"
    report.write_text(
        '<testsuites><testsuite name="s">'
        '<testcase classname="t" name="ok"/>'
        '<testcase classname="t" name="xf"><skipped type="pytest.xfail" message="why"/></testcase>'
        '<testcase classname="t" name="sk"><skipped type="pytest.skip" message="no"/></testcase>'
        '<testcase classname="t" name="both"><failure message="f"/><error message="e"/></testcase>'
        "</testsuite></testsuites>"
    )
    kinds = {key: outcome.kind for key, outcome in read_junit(report).items()}
    assert kinds == {"t::ok": "passed", "t::xf": "xfailed", "t::sk": "skipped", "t::both": "error"}


def _run(**kinds: str) -> Run:
    return Run({key.replace("__", "::"): Outcome(kind) for key, kind in kinds.items()}, 0, 1.0)


def test_share_wrong_passes_and_mode_agreement() -> None:
    pytest_run = _run(m__a="passed", m__b="passed", m__c="failed", m__d="skipped")
    parallel = _run(m__a="passed", m__b="failed", m__c="passed", m__e="passed")
    sequential = _run(m__a="passed", m__b="failed", m__c="passed", m__d="passed")
    result = ProjectResult("p", ("plain",), pytest_run, parallel, sequential)
    assert result.share == 0.5
    assert result.wrong_passes() == {"m::c", "m::d", "m::e"}
    assert result.absent_under_pytest() == {"m::e"}
    assert result.mode_differences() == {"m::d", "m::e"}
    assert result.outcome_differences() == {"m::b", "m::c", "m::d", "m::e"}
    table = _compare.markdown_table([result, result])
    assert "| **50.0%** (mean of projects 50.0%) | 6 | 8 |" in table


@pytest.mark.parametrize(("value", "shown"), [(None, "n/a"), (1.0, "100.0%"), (0.9996, "99.9%"),
                                              (0.123, "12.3%")])
def test_a_share_reads_100_percent_only_when_complete(value: float | None, shown: str) -> None:
    assert _compare._percent(value) == shown


def test_unittest_ids_match_junit_ids_by_their_dotted_tail() -> None:
    # unittest's ids start at its top-level directory; the JUnit classname at the rootdir.
    unittest_run = Run(
        {
            "test_m.Case.test_a": Outcome("passed"),
            "test_m.Case.test_b": Outcome("passed"),
            "pkg.mod.chunked": Outcome("passed"),  # a doctest added by load_tests
        },
        0,
        1.0,
    )
    trelkin = Run(
        {
            "tests.test_m.Case::test_a": Outcome("passed"),
            "tests.test_m.Case::test_b": Outcome("failed"),
            "tests.test_m.Other::test_c": Outcome("passed"),
        },
        0,
        1.0,
    )
    comparison = _compare.compare_unittest(unittest_run, trelkin)
    assert comparison == _compare.UnittestComparison(
        ran=3, matched=2, differing=1, trelkin_only=1, missing=("pkg.mod.chunked",)
    )


def test_causes_group_messages_that_differ_only_in_names_and_numbers() -> None:
    pytest_run = _run(m__a="passed", m__b="passed", m__c="passed", m__d="passed")
    pytest_run.outcomes["m::test_e[a::b]"] = Outcome("passed")
    trelkin = Run(
        {
            "m::a": Outcome("failed", "TypeError: test_a() missing 1 required positional argument"),
            "m::b": Outcome("failed", "TypeError: test_b() missing 2 required positional argument"),
            "m::c": Outcome("passed"),
            "m.test_e[a::b]": Outcome("passed"),
        },
        0,
        1.0,
    )
    assert _causes.top_causes(pytest_run, trelkin) == [
        ("failed: TypeError: f() missing N required positional argument", 2),
        ("not collected: plain function", 1),
        ("reported under another id, e.g. m::test_e[a::b] as m.test_e[a::b]", 1),
    ]


def test_other_mismatches_pair_the_outcomes_of_tests_pytest_does_not_pass() -> None:
    pytest_run = _run(m__a="skipped", m__b="skipped", m__c="xfailed", m__d="passed")
    trelkin = _run(m__a="failed", m__b="failed", m__c="xfailed", m__d="failed", m__e="failed")
    assert _causes.other_mismatches(pytest_run, trelkin) == [
        ("pytest skipped, trelkin failed, e.g. m::a", 2),
        ("pytest absent, trelkin failed, e.g. m::e", 1),
    ]


def test_every_listed_project_is_pinned_and_unittest_ones_say_where_to_start() -> None:
    projects = _projects.load()
    assert len(projects) >= 8
    for project in projects:
        assert project.version and project.tests, project.name
        assert project.is_unittest == ("unittest" in project.style), project.name
