"""Running one ``unittest.TestCase`` test inside the call phase, as pytest does: the case
runs itself (setUp, the test, tearDown, cleanups) against a result object that turns
what unittest reports into the test's outcome: an error or failure is raised as it was, a
skip is a skip, an expected failure is xfailed, an unexpected success fails."""

from __future__ import annotations


TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from trelkin._nodes import Item


class UnexpectedSuccess(Exception):
    """unittest's unexpected success: the test fails, as unittest counts it."""


class ExpectedFailure(Exception):
    """unittest's expected failure, reported as xfailed."""


class _Result:
    """The parts of ``unittest.TestResult`` a case calls; keeps the first outcome."""

    failfast = False
    shouldStop = False
    buffer = False
    tb_locals = False

    def __init__(self) -> None:
        self.error: BaseException | None = None
        self.skip_reason: str | None = None
        self.expected_failure = False
        self.unexpected_success = False

    def _keep(self, error: BaseException) -> None:
        if self.error is None:
            self.error = error

    def startTest(self, test: object) -> None:
        pass

    def stopTest(self, test: object) -> None:
        pass

    def addSuccess(self, test: object) -> None:
        pass

    def addDuration(self, test: object, elapsed: float) -> None:
        pass

    def addError(self, test: object, exc_info: Any) -> None:
        self._keep(exc_info[1].with_traceback(exc_info[2]))

    addFailure = addError

    def addSkip(self, test: object, reason: str) -> None:
        if self.skip_reason is None:
            self.skip_reason = str(reason)

    def addExpectedFailure(self, test: object, exc_info: Any) -> None:
        self.expected_failure = True

    def addUnexpectedSuccess(self, test: object) -> None:
        self.unexpected_success = True

    def addSubTest(self, test: object, subtest: object, exc_info: Any) -> None:
        if exc_info is not None:
            import unittest

            if issubclass(exc_info[0], unittest.SkipTest):
                return
            self._keep(exc_info[1].with_traceback(exc_info[2]))


def run_case(item: Item) -> None:
    """Runs the item's TestCase instance; raises what decides the outcome."""
    import unittest

    result = _Result()
    item.instance(result=result)  # type: ignore[operator]
    if result.error is not None:
        raise result.error
    if result.skip_reason is not None:
        raise unittest.SkipTest(result.skip_reason)
    if result.expected_failure:
        outcomes = __import__("sys").modules.get("_pytest.outcomes")
        if outcomes is not None:
            raise outcomes.XFailed("")
        raise ExpectedFailure("")
    if result.unexpected_success:
        from trelkin._runtime import _Failure

        raise _Failure("Unexpected success")
