"""The outcome of one test: decided once, where the test ran, and read by everything that
reports it (progress, the terminal report, ``--durations``, JUnit, the report log, the
cache). Records are plain data, so worker processes can send them as they are."""

from __future__ import annotations

import enum
from dataclasses import dataclass, field


class Kind(enum.StrEnum):
    PASSED = "passed"
    FAILED = "failed"
    ERROR = "error"  # a failure outside the test's call: setup, teardown, collection
    SKIPPED = "skipped"
    XFAILED = "xfailed"
    XPASSED = "xpassed"
    CRASHED = "crashed"  # the process running the test died
    TIMEOUT = "timeout"
    NOT_RUN = "not run"  # the run stopped before the test (Ctrl-C, -x, --maxfail)


class Phase(enum.StrEnum):
    COLLECT = "collect"
    SETUP = "setup"
    CALL = "call"
    TEARDOWN = "teardown"


# Kinds that make a run fail.
FAILING = frozenset({Kind.FAILED, Kind.ERROR, Kind.CRASHED, Kind.TIMEOUT})


@dataclass(slots=True)
class Outcome:
    """One test's outcome. ``message`` is one line (the exception text, or the skip or
    xfail reason); ``longrepr`` the report shown for a failure (traceback and exception);
    durations are seconds of each phase, ``duration`` the call alone."""

    nodeid: str
    path: str  # the file as collected, the key for grouping by file
    line: int
    kind: Kind
    phase: Phase = Phase.CALL
    message: str = ""
    longrepr: str = ""
    stdout: str = ""
    stderr: str = ""
    log: str = ""
    duration: float = 0.0
    setup_duration: float = 0.0
    teardown_duration: float = 0.0
    # Where a skip was asked for ("path:line"), as pytest's -rs line shows it.
    location: str = ""
    # A teardown that failed after the test's own outcome was decided: reported as an
    # error of its own ("ERROR at teardown of ..."), beside a passed or failed test.
    teardown_error: Outcome | None = None
    # JUnit properties a test recorded (record_property).
    properties: list[tuple[str, str]] = field(default_factory=list)
    # The warnings the test raised, each as the summary shows it: "path:line: Category:
    # message" and the source line below it.
    warnings: list[str] = field(default_factory=list)

    @property
    def failing(self) -> bool:
        return self.kind in FAILING or self.teardown_error is not None

    def to_dict(self) -> dict[str, object]:
        """A JSON-ready form (worker processes, the report log)."""
        data = {name: getattr(self, name) for name in self.__slots__}
        data["kind"] = str(self.kind)
        data["phase"] = str(self.phase)
        if self.teardown_error is not None:
            data["teardown_error"] = self.teardown_error.to_dict()
        return data

    @classmethod
    def from_dict(cls, data: dict[str, object]) -> Outcome:
        values = dict(data)
        values["kind"] = Kind(values["kind"])
        values["phase"] = Phase(values["phase"])
        teardown = values.get("teardown_error")
        if teardown is not None:
            values["teardown_error"] = cls.from_dict(teardown)  # type: ignore[arg-type]
        values["properties"] = [tuple(pair) for pair in values.get("properties") or []]  # type: ignore[union-attr]
        return cls(**values)  # type: ignore[arg-type]
