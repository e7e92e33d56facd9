"""The JUnit XML report of a run (``--junitxml``), in the layout pytest writes: one
``testsuite`` in ``testsuites``, a ``testcase`` per test with its ``failure``, ``error`` or
``skipped`` and its captured output, built from the outcome records."""

from __future__ import annotations

import os
import re
import tempfile
import xml.etree.ElementTree as ElementTree
from datetime import datetime

from trelkin._outcome import Kind, Outcome, Phase

TYPE_CHECKING = False
if TYPE_CHECKING:
    from trelkin._session import Session

# Characters XML 1.0 has no place for, even escaped: control characters (terminal colour
# codes, NUL) and the non-characters. They are written as "#xNN" text instead.
_NOT_IN_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _clean(text: str) -> str:
    return _NOT_IN_XML.sub(lambda match: f"#x{ord(match.group()):02X}", text)


def _names(nodeid: str, prefix: str | None) -> tuple[str, str]:
    """(classname, name) as pytest's: the file's dotted module path and the classes, then
    the test's name with its parameters (which may hold "::" themselves)."""
    path, bracket, params = nodeid.partition("[")
    names = path.split("::")
    names[0] = names[0].replace("/", ".").removesuffix(".py")
    names[-1] += bracket + params
    classname = ".".join(names[:-1])
    if prefix:
        classname = f"{prefix}.{classname}"
    return classname, names[-1]


def write(filename: str, session: Session, seconds: float, started: float) -> None:
    """Writes the report of a run that began at ``started`` (seconds since the epoch),
    atomically: a reader never sees half a file."""
    settings = session.settings
    family = str(settings.getini("junit_family"))
    logging = str(settings.getini("junit_logging"))
    duration_report = str(settings.getini("junit_duration_report"))
    prefix = session.options.junit_prefix
    outcomes = [*session.collection_errors, *session.outcomes]
    root = ElementTree.Element("testsuites", name="pytest tests")
    counts = {"errors": 0, "failures": 0, "skipped": 0, "tests": 0}
    suite = ElementTree.SubElement(root, "testsuite", name=str(settings.getini("junit_suite_name")))
    if session.runtime.testsuite_properties:
        properties = ElementTree.SubElement(suite, "properties")
        for key, value in session.runtime.testsuite_properties:
            ElementTree.SubElement(properties, "property", name=_clean(key), value=_clean(value))
    for outcome in outcomes:
        if outcome.kind == Kind.NOT_RUN and not session.interrupted:
            continue
        case = _case(suite, outcome, prefix, family, duration_report)
        counts["tests"] += 1
        key = _fill(case, outcome)
        if key:
            counts[key] += 1
        if outcome.teardown_error is not None:
            _error(case, outcome.teardown_error, "failed on teardown with")
            counts["errors"] += 1
        _output(case, outcome, logging)
    suite.attrib.update(
        errors=str(counts["errors"]),
        failures=str(counts["failures"]),
        skipped=str(counts["skipped"]),
        tests=str(counts["tests"]),
        time=f"{seconds:.3f}",
        timestamp=datetime.fromtimestamp(started).astimezone().isoformat(),
        hostname=os.uname().nodename,
    )
    directory = os.path.dirname(filename) or "."
    os.makedirs(directory, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=".junit-")
    try:
        with os.fdopen(descriptor, "wb") as file:
            ElementTree.ElementTree(root).write(file, encoding="utf-8", xml_declaration=True)
        os.replace(temporary, filename)
    except BaseException:
        os.unlink(temporary)
        raise


def _case(
    suite: ElementTree.Element, outcome: Outcome, prefix: str | None, family: str, report: str
) -> ElementTree.Element:
    classname, name = _names(outcome.nodeid, prefix)
    if report == "call":
        duration = outcome.duration
    else:
        duration = outcome.setup_duration + outcome.duration + outcome.teardown_duration
    attributes = {"classname": _clean(classname), "name": _clean(name)}
    if family == "xunit1":
        attributes["file"] = _clean(outcome.nodeid.split("::", 1)[0])
        attributes["line"] = str(max(outcome.line - 1, 0))
    attributes["time"] = f"{duration:.3f}"
    case = ElementTree.SubElement(suite, "testcase", attributes)
    if outcome.properties:
        properties = ElementTree.SubElement(case, "properties")
        for key, value in outcome.properties:
            ElementTree.SubElement(properties, "property", name=_clean(key), value=_clean(value))
    return case


def _fill(case: ElementTree.Element, outcome: Outcome) -> str | None:
    """Adds the outcome's element; returns the suite counter it adds to."""
    kind = outcome.kind
    if kind in (Kind.FAILED, Kind.CRASHED, Kind.TIMEOUT):
        element = ElementTree.SubElement(case, "failure", message=_clean(outcome.message))
        element.text = _clean(outcome.longrepr or outcome.message)
        return "failures"
    if kind == Kind.ERROR:
        if outcome.phase == Phase.COLLECT:
            _error(case, outcome, "collection failure")
        else:
            _error(case, outcome, f"failed on {outcome.phase} with")
        return "errors"
    if kind == Kind.SKIPPED:
        element = ElementTree.SubElement(
            case, "skipped", type="pytest.skip", message=_clean(outcome.message)
        )
        element.text = _clean(f"{outcome.location}: {outcome.message}" if outcome.location
                              else outcome.message)
        return "skipped"
    if kind == Kind.XFAILED:
        ElementTree.SubElement(case, "skipped", type="pytest.xfail", message=_clean(outcome.message))
        return "skipped"
    if kind == Kind.NOT_RUN:
        ElementTree.SubElement(
            case, "skipped", type="interrupted", message=_clean(outcome.message or "not run")
        )
        return "skipped"
    return None


def _error(case: ElementTree.Element, outcome: Outcome, what: str) -> None:
    message = f'{what} "{outcome.message}"' if outcome.phase != Phase.COLLECT else what
    element = ElementTree.SubElement(case, "error", message=_clean(message))
    element.text = _clean(outcome.longrepr or outcome.message)


def _output(case: ElementTree.Element, outcome: Outcome, logging: str) -> None:
    if logging in ("system-out", "out-err", "all") and outcome.stdout:
        ElementTree.SubElement(case, "system-out").text = _clean(outcome.stdout)
    if logging in ("system-err", "out-err", "all") and outcome.stderr:
        ElementTree.SubElement(case, "system-err").text = _clean(outcome.stderr)
    if logging in ("log", "all") and outcome.log:
        ElementTree.SubElement(case, "system-out").text = _clean(outcome.log)
