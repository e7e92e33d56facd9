"""The JUnit XML report of a run (``--junitxml``), in the layout CI servers read."""

from __future__ import annotations

import os
import re
import xml.etree.ElementTree as ElementTree
from datetime import datetime

from trelkin import _compat
from trelkin._collect import CollectionError, display_path
from trelkin._core import TestResult
from trelkin._report import FAILED, INTERRUPTED, SKIPPED, skip_key, trimmed_traceback

# Characters XML 1.0 has no place for, even escaped: control characters (terminal colour
# codes, NUL) and the non-characters. They are written as "#xNN" text instead.
_NOT_IN_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _clean(text: str) -> str:
    return _NOT_IN_XML.sub(lambda match: f"#x{ord(match.group()):02X}", text)


def _module_name(path: str) -> str:
    return display_path(path).removesuffix(".py").replace("/", ".")


def write(
    filename: str,
    results: list[TestResult],
    outcomes: list[str],
    errors: list[CollectionError],
    seconds: float,
    started: float,
) -> None:
    """Writes the report of a run that began at ``started`` (seconds since the epoch)."""
    root = ElementTree.Element("testsuites")
    suite = ElementTree.SubElement(
        root,
        "testsuite",
        name="trelkin",
        tests=str(len(results) + len(errors)),
        failures=str(outcomes.count(FAILED)),
        errors=str(len(errors)),
        skipped=str(outcomes.count(SKIPPED) + outcomes.count(INTERRUPTED)),
        time=f"{seconds:.3f}",
        timestamp=datetime.fromtimestamp(started).astimezone().isoformat(timespec="seconds"),
        hostname=os.uname().nodename,
    )
    for result, outcome in zip(results, outcomes, strict=True):
        _add_case(suite, result, outcome)
    for error in errors:
        case = ElementTree.SubElement(
            suite,
            "testcase",
            classname=_clean(_module_name(error.path)),
            name=_clean(os.path.basename(error.path)),
            file=_clean(display_path(error.path)),
            time="0.000",
        )
        failure = ElementTree.SubElement(
            case, "error", message=_clean(f"collection failure: {error.message}")
        )
        failure.text = _clean(error.detail)
    directory = os.path.dirname(os.path.abspath(filename))
    os.makedirs(directory, exist_ok=True)
    ElementTree.ElementTree(root).write(filename, encoding="utf-8", xml_declaration=True)


def _add_case(suite: ElementTree.Element, result: TestResult, outcome: str) -> None:
    test = result.test
    class_name, _, method = test.name.rpartition("::")
    module = _module_name(test.path)
    case = ElementTree.SubElement(
        suite,
        "testcase",
        classname=_clean(f"{module}.{class_name}" if class_name else module),
        name=_clean(method),
        file=_clean(display_path(test.path)),
        line=str(test.line_no),
        time=f"{result.duration_ms / 1000:.3f}",
    )
    if outcome == FAILED:
        error = result.error or "failed"
        failure = ElementTree.SubElement(case, "failure", message=_clean(error.split("\n", 1)[0]))
        traceback = trimmed_traceback(result.traceback) + "\n" if result.traceback else ""
        failure.text = _clean(traceback + error)
    elif outcome == SKIPPED:
        reason = _compat.skipped[skip_key(result)]
        ElementTree.SubElement(case, "skipped", type="skip", message=_clean(reason))
    elif outcome == INTERRUPTED:
        ElementTree.SubElement(
            case, "skipped", type="interrupted", message="not run: the run was interrupted"
        )
    if result.output:
        ElementTree.SubElement(case, "system-out").text = _clean(result.output)
    if result.error_output:
        ElementTree.SubElement(case, "system-err").text = _clean(result.error_output)
