"""The outcome of one test: decided once, where the test ran, and read by everything that
reports it (progress, the terminal report, ``--durations``, JUnit, the report log, the
cache). Records are plain data, so worker processes can send them as they are."""

from __future__ import annotations

import enum
import operator

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence


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


# The fields in order; records are compared, shown and pickled field by field.
FIELDS = (
    "nodeid", "path", "line", "kind", "phase", "message", "longrepr", "stdout", "stderr",
    "log", "duration", "setup_duration", "teardown_duration", "location", "teardown_error",
    "properties", "warnings",
)
_KINDS = {str(kind): kind for kind in Kind}
_PHASES = {str(phase): phase for phase in Phase}


class Outcome:
    """One test's outcome. ``message`` is one line (the exception text, or the skip or
    xfail reason); ``longrepr`` the report shown for a failure (traceback and exception);
    durations are seconds of each phase, ``duration`` the call alone.

    ``location``: where a skip was asked for ("path:line"), as pytest's -rs line shows it.
    ``teardown_error``: a teardown that failed after the test's own outcome was decided,
    reported as an error of its own ("ERROR at teardown of ..."), beside a passed or failed
    test. ``properties``: the JUnit properties the test recorded (record_property).
    ``warnings``: the warnings the test raised, each as the summary shows it: "path:line:
    Category: message" and the source line below it.

    A plain class rather than a dataclass: workers send one per test, and both building
    the class at start-up and rebuilding enum members when unpickling showed in the
    per-test cost."""

    __slots__ = FIELDS

    def __init__(
        self, nodeid: str, path: str, line: int, kind: Kind, phase: Phase = Phase.CALL,
        message: str = "", longrepr: str = "", stdout: str = "", stderr: str = "",
        log: str = "", duration: float = 0.0, setup_duration: float = 0.0,
        teardown_duration: float = 0.0, location: str = "",
        teardown_error: Outcome | None = None,
        properties: Sequence[tuple[str, str]] | None = None, warnings: Sequence[str] | None = None,
    ) -> None:
        self.nodeid = nodeid
        self.path = path
        self.line = line
        self.kind = kind
        self.phase = phase
        self.message = message
        self.longrepr = longrepr
        self.stdout = stdout
        self.stderr = stderr
        self.log = log
        self.duration = duration
        self.setup_duration = setup_duration
        self.teardown_duration = teardown_duration
        self.location = location
        self.teardown_error = teardown_error
        # Most tests have neither: an empty tuple costs nothing to keep.
        self.properties: Sequence[tuple[str, str]] = properties or ()
        self.warnings: Sequence[str] = warnings or ()

    def _values(self) -> tuple[object, ...]:
        return _field_values(self)

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not Outcome:
            return NotImplemented
        return self._values() == other._values()  # type: ignore[attr-defined]

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in FIELDS)
        return f"Outcome({shown})"

    def __reduce__(self) -> tuple[object, tuple[object, ...]]:
        return _unpickle, self.to_tuple()

    def to_tuple(self) -> tuple[object, ...]:
        """The fields in order, the kind and phase as their text: what a worker sends (a
        tuple of plain values pickles in a third of the time the record takes)."""
        return (
            self.nodeid, self.path, self.line, self.kind._value_, self.phase._value_,
            self.message, self.longrepr, self.stdout, self.stderr, self.log, self.duration,
            self.setup_duration, self.teardown_duration, self.location, self.teardown_error,
            self.properties, self.warnings,
        )

    @staticmethod
    def from_tuple(values: tuple[object, ...]) -> Outcome:
        return _unpickle(*values)  # type: ignore[arg-type]

    @property
    def failing(self) -> bool:
        return self.kind in FAILING or self.teardown_error is not None

    def to_dict(self) -> dict[str, object]:
        """A JSON-ready form (worker processes, the report log)."""
        data = {name: getattr(self, name) for name in FIELDS}
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


# Workers send one record per test: read in one step, not field by field.
_field_values = operator.attrgetter(*FIELDS)


def _unpickle(nodeid: str, path: str, line: int, kind: str, phase: str, *rest: object) -> Outcome:
    return Outcome(nodeid, path, line, _KINDS[kind], _PHASES[phase], *rest)  # type: ignore[arg-type]
