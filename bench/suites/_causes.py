"""Why tests that pass under pytest don't pass under trelkin, grouped by cause and counted.

A cause is trelkin's own message, with what varies from test to test (addresses, numbers,
parametrize ids) taken out, so that 120 "fixture 'tmp_path' not found" failures count as
one cause of 120 tests. Tests missing from trelkin's report are grouped by their shape
(parametrized or not, in a class or not), which usually says what collection lacks.
"""

from __future__ import annotations

import re
from collections import Counter

from _compare import Run
from _results import PASSED

_ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
_PATH = re.compile(r"(?<=['\"])/[^'\"]*/(?=[^/'\"]+['\"])")
# "test_foo() missing 1 required positional argument": the same cause whatever the test.
_CALLABLE = re.compile(r"\b[\w.]+\(\)")
_NUMBER = re.compile(r"(?<![\w'])\d+(\.\d+)?(?![\w'])")
_WIDTH = 110


def _message_cause(kind: str, message: str) -> str:
    first = message.strip().splitlines()[0] if message.strip() else "(no message)"
    first = _PATH.sub("…/", first)
    first = _CALLABLE.sub("f()", _NUMBER.sub("N", _ADDRESS.sub("0x…", first)))
    if len(first) > _WIDTH:
        first = first[: _WIDTH - 1] + "…"
    return f"{kind}: {first}"


def _absent_cause(test_id: str) -> str:
    owner, _, name = test_id.partition("::")
    shape = "parametrized" if "[" in name else "plain"
    last = owner.rsplit(".", 1)[-1]
    place = "method" if last[:1].isupper() else "function"
    return f"not collected: {shape} {place}"


def _stem(test_id: str) -> str:
    """The test function's name in an id, whatever the id's layout: "m.C::test_x[1]" gives
    "test_x"."""
    before_params = test_id.split("[", 1)[0]
    return re.split(r"[.:]", before_params)[-1]


def _renamed(pytest: Run, trelkin: Run) -> dict[str, str]:
    """Tests pytest passes that trelkin reports under another id (the same function, an id
    pytest doesn't have), each with one such id of trelkin's."""
    extra: dict[str, str] = {}
    for key in trelkin.outcomes.keys() - pytest.outcomes.keys():
        extra.setdefault(_stem(key), key)
    return {key: extra[_stem(key)] for key in pytest.outcomes.keys() - trelkin.outcomes.keys()
            if _stem(key) in extra}


def top_causes(pytest: Run, trelkin: Run, limit: int = 6) -> list[tuple[str, int]]:
    """The ``limit`` most common causes among the tests pytest passes and trelkin doesn't,
    most tests first."""
    if trelkin.problem and not trelkin.outcomes:
        missing = sum(1 for outcome in pytest.outcomes.values() if outcome.kind == PASSED)
        return [(trelkin.problem.splitlines()[0][: 2 * _WIDTH], missing)]
    causes: Counter[str] = Counter()
    renamed = _renamed(pytest, trelkin)
    examples: dict[str, str] = {}
    for key, expected in pytest.outcomes.items():
        if expected.kind != PASSED:
            continue
        got = trelkin.outcomes.get(key)
        if key in renamed:
            cause = "reported under another id"
            causes[cause] += 1
            examples.setdefault(cause, f"{cause}, e.g. {key} as {renamed[key]}")
        elif got is None:
            causes[_absent_cause(key)] += 1
        elif got.kind != PASSED:
            causes[_message_cause(got.kind, got.message)] += 1
    return [(examples.get(cause, cause), count) for cause, count in causes.most_common(limit)]


def other_mismatches(pytest: Run, trelkin: Run, limit: int = 4) -> list[tuple[str, int]]:
    """Tests pytest doesn't pass whose outcome under trelkin is another (a skip reported as
    failed, a file pytest ignores run anyway), grouped by the pair of outcomes with one
    example id; the passes trelkin misses are top_causes' part."""
    pairs: Counter[tuple[str, str]] = Counter()
    examples: dict[tuple[str, str], str] = {}
    for key in pytest.outcomes.keys() | trelkin.outcomes.keys():
        expected, got = pytest.outcomes.get(key), trelkin.outcomes.get(key)
        if expected is not None and expected.kind == PASSED:
            continue
        pair = (expected.kind if expected else "absent", got.kind if got else "absent")
        if pair[0] != pair[1]:
            pairs[pair] += 1
            examples[pair] = min(key, examples.get(pair, key))
    return [(f"pytest {first}, trelkin {second}, e.g. {examples[(first, second)]}", count)
            for (first, second), count in pairs.most_common(limit)]
