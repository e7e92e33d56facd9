"""trelkin: a Python test runner whose core is native code.

The core finds tests (``discover_tests``), runs them one after another or in parallel
(``run_tests_sequential``, ``run_tests``) and builds results (``test_result_passed``,
``test_result_failed``).
"""

from trelkin._core import (
    TestItem,
    TestResult,
    discover_tests,
    run_tests,
    run_tests_sequential,
    test_result_failed,
    test_result_passed,
)

__version__ = "0.1.0"

__all__ = [
    "TestItem",
    "TestResult",
    "discover_tests",
    "run_tests",
    "run_tests_sequential",
    "test_result_passed",
    "test_result_failed",
]
