"""``--report-log FILE``: the run as JSON lines, one record per event, in the format
pytest-reportlog writes, written and flushed as outcomes arrive so a dashboard can follow
the file while the run goes on.

Records, each a JSON object with a ``$report_type``:

* ``SessionStart`` first, ``SessionFinish`` (with ``exitstatus``) last;
* ``TestReport`` for each phase a test went through (``setup``, ``call``, ``teardown``),
  with ``nodeid``, ``location`` ([file, 0-based line, domain]), ``keywords``, ``outcome``
  (passed, failed or skipped, and ``wasxfail`` for xfail tests), ``longrepr``, ``when``,
  ``user_properties``, ``sections``, ``duration``, ``start`` and ``stop``;
* ``CollectReport`` for a file that could not be collected or was skipped whole;
* ``WarningMessage`` for each warning a test or an import raised.

A failure's ``longrepr`` is its report text as the terminal shows it (pytest's own reader
takes a text as it is); a skip's is [path, line, "Skipped: reason"] as pytest's.

Use::

    log = ReportLog(options.report_log, rootdir)
    log.start()
    log.outcome(outcome)             # each test, as its outcome is recorded
    log.collection_error(outcome)    # each collection error (or session teardown error)
    log.finish(exitstatus)
"""

from __future__ import annotations

import json
import os
import re
import time
from pathlib import Path
from typing import IO, Any

from trelkin._outcome import Kind, Outcome, Phase

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable

# How a phase's outcome reads in a report.
_PASSED, _FAILED, _SKIPPED = "passed", "failed", "skipped"
_FAILING_CALL = frozenset({Kind.FAILED, Kind.CRASHED, Kind.TIMEOUT})
# A warning entry's first line: "path:line: Category: message".
_WARNING_HEAD = re.compile(r"(?P<filename>.+?):(?P<lineno>\d+): (?P<category>[\w.]+): (?P<message>.*)")


def _open(path: Path) -> IO[str]:
    """The log file; compressed by its suffix as pytest-reportlog does, else line-buffered."""
    if path.suffix == ".gz":
        import gzip

        return gzip.open(path, "wt", encoding="utf-8")
    if path.suffix == ".bz2":
        import bz2

        return bz2.open(path, "wt", encoding="utf-8")
    if path.suffix == ".xz":
        import lzma

        return lzma.open(path, "wt", encoding="utf-8")
    return path.open("w", buffering=1, encoding="utf-8")


def _versions() -> dict[str, Any]:
    from importlib import metadata

    import trelkin

    try:
        pytest_version: str | None = metadata.version("pytest")
    except metadata.PackageNotFoundError:
        pytest_version = None
    return {"pytest_version": pytest_version, "trelkin_version": trelkin.__version__}


class ReportLog:
    """The report log of one run. ``rootdir`` names the root directory in each test's
    ``keywords`` as pytest's directory nodes do. Calls may come from any thread."""

    def __init__(self, path: str | os.PathLike[str], rootdir: str | os.PathLike[str] | None = None) -> None:
        import threading

        self.path = Path(path)
        self._root_name = Path(rootdir).name if rootdir is not None else None
        # Skip locations are relative to where the command runs.
        self._cwd = os.getcwd()
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self._file: IO[str] | None = _open(self.path)
        self._lock = threading.Lock()

    # ---- events ----------------------------------------------------------------------

    def start(self) -> None:
        self._write({**_versions(), "$report_type": "SessionStart"})

    def outcome(self, outcome: Outcome, marks: Iterable[str] = ()) -> None:
        """A test's records: one TestReport per phase it went through, then its
        warnings. ``marks``: the names of the marks it carries, for its keywords."""
        if outcome.kind == Kind.NOT_RUN:
            return
        if outcome.phase == Phase.COLLECT:
            self.collection_error(outcome)
            return
        records = [self._test_report(outcome, when, result, longrepr, extra, marks)
                   for when, result, longrepr, extra in _phases(outcome, self._skip_repr)]
        _stamp(records, outcome)
        for record in records:
            self._write(record)
        for entry in outcome.warnings:
            self.warning(entry, "runtest")

    def collection_error(self, outcome: Outcome) -> None:
        """A file that could not be collected, or was skipped whole, as a CollectReport; an
        error after the last test (a session-scoped teardown) as that test's teardown."""
        if outcome.phase != Phase.COLLECT:
            record = self._test_report(outcome, "teardown", _FAILED, _failure(outcome), {}, ())
            _stamp([record], outcome)
            self._write(record)
            return
        skipped = outcome.kind == Kind.SKIPPED
        self._write({
            "outcome": _SKIPPED if skipped else _FAILED,
            "longrepr": self._skip_repr(outcome) if skipped else _failure(outcome),
            "result": None,
            "sections": [],
            "nodeid": outcome.nodeid,
            "$report_type": "CollectReport",
        })

    def warning(self, entry: str, when: str = "collect") -> None:
        """A WarningMessage record for one warning as the summary keeps it; ``when`` is
        "collect" for an import, "runtest" for a test."""
        first, _, rest = entry.rstrip("\n").partition("\n")
        head = _WARNING_HEAD.fullmatch(first)
        if head is None:
            return
        # Later lines continue the message, but for the source line, indented by two.
        lines = rest.split("\n") if rest else []
        if lines and lines[-1].startswith("  "):
            lines.pop()
        message = "\n".join([head["message"], *lines])
        self._write({
            "category": head["category"],
            "filename": head["filename"],
            "lineno": int(head["lineno"]),
            "message": message,
            "$report_type": "WarningMessage",
            "when": when,
            "location": None,
        })

    def finish(self, exitstatus: int) -> None:
        self._write({"exitstatus": int(exitstatus), "$report_type": "SessionFinish"})
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None

    # ---- records ---------------------------------------------------------------------

    def _test_report(
        self, outcome: Outcome, when: str, result: str, longrepr: object,
        extra: dict[str, Any], marks: Iterable[str],
    ) -> dict[str, Any]:
        phases = ("setup", "call", "teardown")
        reached = phases.index(when)
        produced = {Phase.SETUP: 0, Phase.TEARDOWN: 2}.get(outcome.phase, 1)
        sections = _sections(outcome) if reached >= produced else []
        record: dict[str, Any] = {
            "location": _location(outcome),
            "keywords": self._keywords(outcome.nodeid, marks),
            "outcome": result,
            "longrepr": longrepr,
            "when": when,
            "user_properties": [list(pair) for pair in outcome.properties] if reached else [],
            "sections": sections,
            "duration": _duration(outcome, when),
            "start": 0.0,
            "stop": 0.0,
        }
        record.update(extra)
        record["nodeid"] = outcome.nodeid
        record["$report_type"] = "TestReport"
        return record

    def _keywords(self, nodeid: str, marks: Iterable[str]) -> dict[str, int]:
        """The names pytest's keywords hold: the test's, its marks', then each enclosing
        node's (classes, the file, its directories up to the root, the session's "")."""
        file, *names = nodeid.split("::")
        keywords = dict.fromkeys(reversed(names), 1)
        keywords.update(dict.fromkeys(marks, 1))
        parametrized = re.search(r"\[(.*)\]$", names[-1]) if names else None
        if parametrized is not None:
            keywords[parametrized[1]] = 1
        parts = file.split("/")
        keywords.update(dict.fromkeys(reversed(parts), 1))
        if self._root_name is not None:
            keywords[self._root_name] = 1
        keywords[""] = 1
        return keywords

    def _skip_repr(self, outcome: Outcome) -> list[Any]:
        """A skip's [path, line, "Skipped: reason"], its place as the -rs line names it."""
        path, line = outcome.path, outcome.line
        place, separator, number = outcome.location.rpartition(":")
        if separator and number.isdigit():
            path, line = place, int(number)
        reason = outcome.message
        if not reason.startswith("Skipped: "):
            reason = "Skipped: " + reason
        return [os.path.join(self._cwd, path), line, reason]

    def _write(self, record: dict[str, Any]) -> None:
        try:
            text = json.dumps(record)
        except (TypeError, ValueError):
            text = json.dumps({key: _plain(value) for key, value in record.items()})
        with self._lock:
            if self._file is None:
                return
            self._file.write(text + "\n")
            self._file.flush()


def _phases(outcome: Outcome, skip_repr: Any) -> list[tuple[str, str, object, dict[str, Any]]]:
    """(when, outcome, longrepr, extra keys) of each phase the test went through."""
    kind, phase = outcome.kind, outcome.phase
    phases: list[tuple[str, str, object, dict[str, Any]]] = []
    if kind == Kind.ERROR and phase == Phase.SETUP:
        phases.append(("setup", _FAILED, _failure(outcome), {}))
    elif kind == Kind.SKIPPED and phase == Phase.SETUP:
        phases.append(("setup", _SKIPPED, skip_repr(outcome), {}))
    elif kind == Kind.XFAILED and phase == Phase.SETUP:
        phases.append(("setup", _SKIPPED, _failure(outcome) or None, {"wasxfail": outcome.message}))
    else:
        phases.append(("setup", _PASSED, None, {}))
        if kind in _FAILING_CALL:
            phases.append(("call", _FAILED, _failure(outcome), {}))
        elif kind == Kind.SKIPPED:
            phases.append(("call", _SKIPPED, skip_repr(outcome), {}))
        elif kind == Kind.XFAILED:
            phases.append(("call", _SKIPPED, _failure(outcome) or None, {"wasxfail": outcome.message}))
        elif kind == Kind.XPASSED:
            phases.append(("call", _PASSED, None, {"wasxfail": outcome.message}))
        elif kind == Kind.ERROR and phase == Phase.TEARDOWN:
            phases.append(("call", _PASSED, None, {}))
            phases.append(("teardown", _FAILED, _failure(outcome), {}))
            return phases
        else:
            phases.append(("call", _PASSED, None, {}))
    error = outcome.teardown_error
    if error is not None:
        phases.append(("teardown", _FAILED, _failure(error), {}))
    else:
        phases.append(("teardown", _PASSED, None, {}))
    return phases


def _failure(outcome: Outcome) -> str:
    return outcome.longrepr.rstrip("\n") or outcome.message


def _location(outcome: Outcome) -> list[Any]:
    file, _, rest = outcome.nodeid.partition("::")
    return [file, outcome.line - 1 if outcome.line > 0 else None, rest.replace("::", ".") or file]


def _sections(outcome: Outcome) -> list[list[str]]:
    when = {Phase.SETUP: "setup", Phase.TEARDOWN: "teardown"}.get(outcome.phase, "call")
    return [
        [f"Captured {title} {when}", text]
        for title, text in (("stdout", outcome.stdout), ("stderr", outcome.stderr),
                            ("log", outcome.log))
        if text
    ]


def _duration(outcome: Outcome, when: str) -> float:
    if when == "setup":
        return outcome.setup_duration
    if when == "teardown":
        return outcome.teardown_duration
    return outcome.duration


def _stamp(records: list[dict[str, Any]], outcome: Outcome) -> None:
    """Start and stop times: the outcome arrives as its last phase ends, and each phase
    ran right before the next."""
    stop = time.time()
    for record in reversed(records):
        record["stop"] = stop
        record["start"] = stop = stop - record["duration"]


def _plain(value: object) -> object:
    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return str(value)
    return value
