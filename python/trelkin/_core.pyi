from collections.abc import Sequence
from typing import final

@final
class TestItem:
    path: str
    name: str
    line_no: int
    args_json: str
    def __new__(cls) -> TestItem: ...

@final
class TestResult:
    @property
    def test(self) -> TestItem: ...
    @property
    def passed(self) -> bool: ...
    @property
    def output(self) -> str: ...
    @property
    def error_output(self) -> str: ...
    @property
    def duration_ms(self) -> int: ...
    @property
    def error(self) -> str | None: ...
    @property
    def traceback(self) -> str | None: ...

def discover_tests(root_dir: str, pattern: str | None = None) -> list[TestItem]: ...
def run_tests(
    tests: Sequence[TestItem], num_workers: int | None = None, nocapture: bool = False
) -> list[TestResult]: ...
def run_tests_sequential(tests: Sequence[TestItem], nocapture: bool = False) -> list[TestResult]: ...
def test_result_passed(
    test: TestItem, output: str, error_output: str, duration_ms: int
) -> TestResult: ...
def test_result_failed(
    test: TestItem,
    output: str,
    error_output: str,
    duration_ms: int,
    error: str,
    traceback: str | None,
) -> TestResult: ...

__all__: list[str]
