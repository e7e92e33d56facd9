"""Runs `python -m unittest discover -s START -t TOP` with a result class that records each
test's outcome, and writes them as JSON: {"ran": N, "outcomes": {test id: kind}}.

    python _unittest_probe.py START TOP OUTPUT.json

Run by the harness with the project's interpreter, in the project's directory. The kinds are
those of _results: passed, failed, error, skipped, xfailed (an unexpected success is failed,
as unittest counts it unsuccessful).
"""

from __future__ import annotations

import json
import sys
import unittest

_SEVERITY = {"passed": 0, "xfailed": 1, "skipped": 2, "failed": 3, "error": 4}


class RecordingResult(unittest.TextTestResult):
    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self.outcomes: dict[str, str] = {}

    def _record(self, test: unittest.TestCase, kind: str) -> None:
        key = test.id()
        previous = self.outcomes.get(key)
        if previous is None or _SEVERITY[kind] > _SEVERITY[previous]:
            self.outcomes[key] = kind

    def addSuccess(self, test):  # noqa: N802 - unittest's names
        super().addSuccess(test)
        self._record(test, "passed")

    def addFailure(self, test, err):  # noqa: N802
        super().addFailure(test, err)
        self._record(test, "failed")

    def addError(self, test, err):  # noqa: N802
        super().addError(test, err)
        self._record(test, "error")

    def addSkip(self, test, reason):  # noqa: N802
        super().addSkip(test, reason)
        self._record(test, "skipped")

    def addExpectedFailure(self, test, err):  # noqa: N802
        super().addExpectedFailure(test, err)
        self._record(test, "xfailed")

    def addUnexpectedSuccess(self, test):  # noqa: N802
        super().addUnexpectedSuccess(test)
        self._record(test, "failed")

    def addSubTest(self, test, subtest, err):  # noqa: N802
        super().addSubTest(test, subtest, err)
        if err is not None:
            failed = issubclass(err[0], test.failureException)
            self._record(test, "failed" if failed else "error")


def main() -> None:
    start, top, output = sys.argv[1:4]
    runner = unittest.TextTestRunner(resultclass=RecordingResult, verbosity=0)
    program = unittest.main(
        module=None,
        argv=["python -m unittest", "discover", "-s", start, "-t", top],
        testRunner=runner,
        exit=False,
    )
    with open(output, "w", encoding="utf-8") as file:
        json.dump({"ran": program.result.testsRun, "outcomes": program.result.outcomes}, file)


if __name__ == "__main__":
    main()
