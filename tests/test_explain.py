"""Assertion explanations: a catalogue of typical failing assertions, explained by trelkin
and by pytest (run on the same file), compared line by line at each verbosity."""

from __future__ import annotations

import re
import textwrap
from pathlib import Path

import pytest

from trelkin import _explain, _traceback

from _oracle import e_lines, failure_of, import_rewritten, normalise, run_pytest, sections

CATALOGUE = """
import collections
import dataclasses
import attr
import pytest

Point = collections.namedtuple("Point", "x y")

@dataclasses.dataclass
class Box:
    width: int
    height: int
    label: str = "box"

@attr.s(auto_attribs=True)
class Item:
    name: str
    count: int

class Holder:
    def __init__(self):
        self.value = 3
    def __repr__(self):
        return "Holder()"

def f(x):
    return x + 1

def g(*args, **kwargs):
    return len(args) + len(kwargs)

holder = Holder()
LONG = "x" * 100

def test_int_eq():
    assert 1 == 2
def test_int_lt():
    assert 3 < 2
def test_ne():
    assert 5 != 5
def test_is():
    assert None is not None
def test_call():
    assert f(2) == 4
def test_call_nested():
    assert f(f(1)) == f(5)
def test_call_kwargs():
    assert g(1, 2, a=3) == 0
def test_attr():
    assert holder.value == 4
def test_attr_call():
    assert f(holder.value) < 2
def test_not():
    assert not f(0)
def test_unary():
    assert -f(1) > 0
def test_binop():
    assert f(1) + 2 == 5
def test_and():
    assert f(0) and f(-1)
def test_or():
    assert f(-1) or 0
def test_chain():
    assert 1 < f(2) < 3
def test_walrus():
    assert (n := f(1)) == 3
def test_message():
    assert f(1) == 3, "values differ"
def test_message_multiline():
    assert False, "first\\nsecond"
def test_message_object():
    assert 0, [1, 2]
def test_percent():
    assert "100%" == "100 %"
def test_str_short():
    assert "spam" == "eggs"
def test_str_long():
    assert LONG + "a" == LONG + "b"
def test_str_trailing():
    assert "a" + LONG == "b" + LONG
def test_str_multiline():
    assert "one\\ntwo\\nthree" == "one\\n2\\nthree"
def test_str_whitespace():
    assert " " == "  "
def test_bytes():
    assert b"spam" == b"eggs"
def test_list():
    assert [1, 2, 3] == [1, 2, 4]
def test_list_longer():
    assert [1, 2, 3] == [1, 2]
def test_list_shorter():
    assert [1] == [1, 2, 3]
def test_tuple():
    assert (1, "a") == (1, "b")
def test_dict():
    assert {"a": 1, "b": 2} == {"a": 1, "b": 3}
def test_dict_extra():
    assert {"a": 1, "c": 0} == {"a": 1, "d": 2, "e": 3}
def test_set():
    assert {1, 2, 3} == {2, 3, 4}
def test_set_subset():
    assert {1, 2} <= {2, 3}
def test_set_ne():
    assert {1} != {1}
def test_dataclass():
    assert Box(1, 2) == Box(1, 3)
def test_attrs():
    assert Item("a", 1) == Item("b", 1)
def test_namedtuple():
    assert Point(1, 2) == Point(1, 3)
def test_in_list():
    assert 4 in [1, 2, 3]
def test_not_in():
    assert "needle" not in "hay needle stack"
def test_not_in_long():
    assert "x" not in LONG
def test_approx():
    assert 1.0 == pytest.approx(1.1)
def test_approx_list():
    assert [1.0, 2.0] == pytest.approx([1.0, 2.5])
def test_long_list():
    assert list(range(30)) == list(range(1, 31))
def test_long_dict():
    assert {i: i for i in range(20)} == {i: -i for i in range(20)}
def test_nested():
    assert {"a": [1, {"b": 2}]} == {"a": [1, {"b": 3}]}
def test_unicode():
    assert "caf\\u00e9" == "cafe\\u0301"
def test_isinstance():
    assert isinstance(1, str)
def test_len():
    assert len([1, 2]) == 3
def test_any():
    assert any(x > 5 for x in [1, 2])
"""


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory: pytest.TempPathFactory) -> Path:
    pytest.importorskip("attr")
    directory = tmp_path_factory.mktemp("catalogue")
    path = directory / "test_catalogue.py"
    path.write_text(CATALOGUE, encoding="utf-8")
    return path


def without_ids(text: str) -> str:
    return re.sub(r"0x[0-9a-f]+", "0x?", text)


_reports: dict[int, dict[str, str]] = {}


def pytest_report(path: Path, verbosity: int) -> dict[str, str]:
    if verbosity not in _reports:
        flags = ["-" + "v" * verbosity] if verbosity else []
        _reports[verbosity] = sections(run_pytest(path.parent, "--tb=short", *flags, path.name))
    return _reports[verbosity]


NAMES = [
    line.split("(")[0][len("def ") :]
    for line in CATALOGUE.splitlines()
    if line.startswith("def test_")
]


@pytest.mark.parametrize("via", ["text", "tree"])
@pytest.mark.parametrize("verbosity", [0, 1, 2])
@pytest.mark.parametrize("name", NAMES)
def test_explanation_matches_pytest(
    catalogue: Path, name: str, verbosity: int, via: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.delenv("BUILD_NUMBER", raising=False)
    expected = e_lines(pytest_report(catalogue, verbosity)[name])
    module = import_rewritten(catalogue, f"catalogue_{via}", via)
    _explain.configure(verbosity=verbosity)
    try:
        exc = failure_of(getattr(module, name))
    finally:
        _explain.configure()
    _, longrepr = _traceback.format_failure(exc, style="short", verbosity=verbosity)
    assert without_ids(e_lines(normalise(longrepr))) == without_ids(expected)


@pytest.mark.parametrize(
    ("op", "left", "right", "expected"),
    [
        ("==", 1, 1.5, []),  # nothing beyond the reprs: the caller shows "1 == 1.5"
        ("<", "a", "b", []),
        (">", {1}, {1}, ["{1} > {1}", "", "Both sets are equal"]),
        ("==", [1], [2], ["[1] == [2]", "", "At index 0 diff: 1 != 2", "Use -v to get more diff"]),
    ],
)
def test_compare_lines(op: str, left: object, right: object, expected: list[str]) -> None:
    assert _explain.compare(op, left, right, verbosity=0) == expected


class BrokenRepr:
    def __repr__(self) -> str:
        raise RuntimeError("no repr")

    def __eq__(self, other: object) -> bool:
        return False

    __hash__ = object.__hash__


def test_a_failing_repr_is_reported_not_raised() -> None:
    lines = _explain.compare("==", [BrokenRepr()], [1], verbosity=0)
    assert lines[0].startswith("[<[RuntimeErr")
    assert any("representation of details failed" in line for line in lines)


@pytest.mark.parametrize(
    ("lines", "expected_tail"),
    [
        (["x"] * 10, ["x"] * 10),  # within the footer's slack: kept whole
        (["x"] * 11, ["x"] * 7 + ["x...", "", _explain.TRUNCATION_MSG]),
        (["y" * 700], ["y" * 640 + "...", "", _explain.TRUNCATION_MSG]),
    ],
)
def test_truncation(lines: list[str], expected_tail: list[str]) -> None:
    assert _explain.truncate(list(lines)) == expected_tail


def test_truncation_is_off_on_ci_and_with_vv(monkeypatch: pytest.MonkeyPatch) -> None:
    left, right = list(range(100)), list(range(1, 101))
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.delenv("BUILD_NUMBER", raising=False)
    short = _explain.compare("==", left, right, verbosity=1)
    assert short[-1] == _explain.TRUNCATION_MSG
    monkeypatch.setenv("CI", "1")
    assert _explain.TRUNCATION_MSG not in _explain.compare("==", left, right, verbosity=1)


@pytest.mark.parametrize(
    ("explanation", "expected"),
    [
        ("assert 1\n{1 = f()\n}", "assert 1\n +  where 1 = f()"),
        ("a\n{b\n{c\n}\n}\n{d\n}", "a\n +  where b\n +    where c\n +  and   d"),
        ("first\n~second", "first\n  second"),
        ("msg\n>assert x", "msg\nassert x"),
        ("plain\nnewline", "plain\\nnewline"),
    ],
)
def test_format_explanation(explanation: str, expected: str) -> None:
    assert _explain.format_explanation(explanation) == expected


def test_catalogue_covers_enough_cases() -> None:
    assert len(NAMES) >= 40, textwrap.shorten(", ".join(NAMES), 80)


@pytest.mark.parametrize(
    ("ini", "settings", "names"),
    [
        (
            "assertion_text_diff_style=block",
            {"diff_style": "block"},
            ["test_str_short", "test_str_multiline", "test_dataclass"],
        ),
        ("truncation_limit_lines=3", {"max_lines": 3}, ["test_dict", "test_long_dict"]),
        ("truncation_limit_chars=50", {"max_chars": 50}, ["test_long_list", "test_str_long"]),
        (
            "truncation_limit_lines=0",
            {"max_lines": 0, "max_chars": 0},
            ["test_long_dict"],
        ),
    ],
)
def test_ini_settings_match_pytest(
    catalogue: Path,
    ini: str,
    settings: dict[str, object],
    names: list[str],
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.delenv("BUILD_NUMBER", raising=False)
    flags = ["-o", ini]
    if ini == "truncation_limit_lines=0":
        flags += ["-o", "truncation_limit_chars=0"]
    report = sections(run_pytest(catalogue.parent, "--tb=short", *flags, catalogue.name))
    module = import_rewritten(catalogue, "catalogue_settings")
    _explain.configure(**settings)  # type: ignore[arg-type]
    try:
        for name in names:
            exc = failure_of(getattr(module, name))
            _, longrepr = _traceback.format_failure(exc, style="short")
            assert without_ids(e_lines(normalise(longrepr))) == without_ids(e_lines(report[name]))
    finally:
        _explain.configure()


def test_unknown_diff_style_is_refused() -> None:
    with pytest.raises(ValueError, match="ndiff' or 'block'"):
        _explain.configure(diff_style="sideways")
