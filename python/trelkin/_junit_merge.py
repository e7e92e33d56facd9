"""``trelkin --merge-junit OUT IN...``: one JUnit XML report from the reports of a run's
shards, as CI servers want one per run.

The output has one ``<testsuites>`` holding one ``<testsuite>``: its counts (tests,
failures, errors, skipped) and time are the sums of every input suite's, its timestamp the
earliest, its other attributes and properties those of the first suite; the test cases
follow in input order. An input may be a ``<testsuites>`` document (pytest's layout) or a
bare ``<testsuite>``.
"""

from __future__ import annotations

import os
import xml.etree.ElementTree as ElementTree
from datetime import datetime

_COUNTS = ("tests", "failures", "errors", "skipped")


class MergeError(ValueError):
    """An input that is missing or not a JUnit report; the message names it."""


def merge(output: str, inputs: list[str]) -> None:
    if not inputs:
        raise MergeError("no reports to merge")
    suites = [suite for path in inputs for suite in _suites(path)]
    merged = ElementTree.Element("testsuite", dict(suites[0].attrib) if suites else {})
    merged.set("name", merged.get("name", "trelkin"))
    totals = dict.fromkeys(_COUNTS, 0)
    seconds = 0.0
    stamps = []
    for index, suite in enumerate(suites):
        for name in _COUNTS:
            totals[name] += _number(suite, name, int)
        seconds += _number(suite, "time", float)
        if suite.get("timestamp"):
            stamps.append(suite.get("timestamp"))
        for child in suite:
            if child.tag == "properties" and index > 0:
                continue
            merged.append(child)
    for name, total in totals.items():
        merged.set(name, str(total))
    merged.set("time", f"{seconds:.3f}")
    if stamps:
        merged.set("timestamp", min(stamps, key=_instant))
    root = ElementTree.Element("testsuites", name=merged.get("name", "trelkin"))
    for name, total in totals.items():
        root.set(name, str(total))
    root.set("time", f"{seconds:.3f}")
    root.append(merged)
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    ElementTree.ElementTree(root).write(output, encoding="utf-8", xml_declaration=True)


def _suites(path: str) -> list[ElementTree.Element]:
    try:
        root = ElementTree.parse(path).getroot()
    except OSError as error:
        raise MergeError(f"cannot read {path}: {error.strerror or error}") from error
    except ElementTree.ParseError as error:
        raise MergeError(f"{path} is not XML: {error}") from error
    if root.tag == "testsuite":
        return [root]
    if root.tag == "testsuites":
        return root.findall("testsuite")
    raise MergeError(f"{path} is not a JUnit report (its root is <{root.tag}>)")


def _instant(stamp: str) -> float:
    """Seconds since the epoch of an ISO 8601 timestamp (one without a zone is taken as
    local time); an unreadable one sorts last."""
    try:
        return datetime.fromisoformat(stamp).timestamp()
    except ValueError:
        return float("inf")


def _number(suite: ElementTree.Element, name: str, kind: type[int] | type[float]) -> float:
    try:
        return kind(suite.get(name, "0"))
    except ValueError:
        return 0
