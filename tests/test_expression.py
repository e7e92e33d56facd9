"""-k/-m expressions against pytest's own parser: the same truth value for every
expression and matcher, and the same usage error text for malformed ones."""

from __future__ import annotations

import itertools

import pytest
from _pytest.mark import _parse_expression

from trelkin._expression import ExpressionError, ExpressionUsageError, compile_expression

EXPRESSIONS = [
    "", "a", "not a", "a and b", "a or b", "a and not b", "not (a or b) and c",
    "(a)", "((a or b))", "a or b and c", "not not a", "test_x[1-2]", "path/to/x.py::T",
    "a.b", "a+b", "x-y", "True", "None", "False or a", "and_x", "ornot", "mark(key=1)",
    "mark(key='v')", 'mark(key="v", n=-3)', "mark(flag=True) or b", "mark(x=None)",
]

NAMES = ["a", "b", "c", "test_x[1-2]", "path/to/x.py::T", "a.b", "a+b", "x-y", "True",
         "None", "False", "and_x", "ornot", "mark"]


def _matchers():
    for chosen in itertools.islice(itertools.product([False, True], repeat=4), 16):
        truth = dict(zip(["a", "b", "c", "mark"], chosen))

        def matcher(name: str, /, **kwargs: object) -> bool:
            if name == "mark":
                return truth["mark"] and kwargs in ({}, {"key": 1}, {"key": "v"}, {"flag": True})
            return truth.get(name, len(name) % 2 == 0)

        yield matcher


# Keyword arguments in expressions ("mark(key=value)") came with pytest 8.3: trelkin takes
# them whatever pytest is installed, an older pytest's parser can't be the oracle there.
KEYWORDS_IN_PYTEST = tuple(int(part) for part in pytest.__version__.split(".")[:2]) >= (8, 3)
needs_keywords = pytest.mark.skipif(not KEYWORDS_IN_PYTEST,
                                    reason="pytest before 8.3 has no mark(key=value)")


def _oracle_param(text: str):  # type: ignore[no-untyped-def]
    return pytest.param(text, marks=needs_keywords) if "(" in text and "=" in text else text


@pytest.mark.parametrize("text", [_oracle_param(text) for text in EXPRESSIONS])
def test_evaluation_matches_pytest(text: str) -> None:
    ours = compile_expression(text)
    theirs = _parse_expression(text, "x")
    for matcher in _matchers():
        assert ours.evaluate(matcher) == theirs.evaluate(matcher), text


@pytest.mark.parametrize(
    "text",
    [_oracle_param(text) for text in (
        "(", "a and", "and a", "a b", "not", "a )", "a @ b", "mark(key=)", "mark(1=2)",
        "mark(key=x y)", "mark(key='v)", "mark(key='a\\b')", "mark(if=1)", "mark(key=abc)",
        "a or or")],
)
@pytest.mark.parametrize("option", ["-k", "-m"])
def test_errors_match_pytest(text: str, option: str) -> None:
    with pytest.raises(ExpressionError) as ours:
        compile_expression(text, option)
    with pytest.raises(pytest.UsageError) as theirs:
        _parse_expression(text, f"Wrong expression passed to '{option}'")
    assert str(ours.value) == str(theirs.value)


def test_keyword_arguments_need_a_matcher_that_takes_them() -> None:
    expression = compile_expression("mark(key=1)")
    with pytest.raises(ExpressionUsageError, match="do not support call parameters"):
        expression.evaluate(lambda name: True)
