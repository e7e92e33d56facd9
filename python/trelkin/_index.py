"""The static index: what a test file's source shows of its tests without importing it,
used to leave out files where ``-k`` or ``-m`` can select nothing.

A file's index is *complete* only where the source settles every test's name, keywords
and marks: plain ``test*`` functions and ``Test*`` classes (or ``unittest.TestCase``
subclasses) with their methods, decorated at most by literal ``pytest.mark.NAME`` marks
that aren't ``parametrize``, module and class ``pytestmark`` of such marks. Anything else
(parametrize, other decorators, classes with other bases, test classes imported from
elsewhere, ``pytest_generate_tests``, a conftest that rewrites items) makes the file
*dynamic*: it is imported and selected on its live tests.
"""

from __future__ import annotations

import ast
import fnmatch
from pathlib import Path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

# Conftest hooks and fixture parameters that change tests' names, marks or keywords.
_DYNAMIC_CONFTEST = (
    "pytest_collection_modifyitems", "pytest_generate_tests", "pytest_itemcollected",
    "pytest_pycollect_makeitem", "pytest_collect_file", "pytest_make_parametrize_id",
    "params=",
)


class StaticTest:
    __slots__ = ("keywords", "marks")

    def __init__(self, keywords: set[str], marks: set[str]) -> None:
        self.keywords = keywords
        self.marks = marks


class StaticFile:
    __slots__ = ("dynamic", "tests")

    def __init__(self, dynamic: bool, tests: list[StaticTest] | None = None) -> None:
        self.dynamic = dynamic
        self.tests = tests if tests is not None else []


def _matches(name: str, patterns: Sequence[str]) -> bool:
    return any(
        name.startswith(pattern) if not any(c in pattern for c in "*?[") else
        fnmatch.fnmatch(name, pattern)
        for pattern in patterns
    )


def _mark_name(node: ast.expr) -> str | None:
    """NAME for ``pytest.mark.NAME`` or ``pytest.mark.NAME(...)``; None otherwise."""
    if isinstance(node, ast.Call):
        node = node.func
    if (
        isinstance(node, ast.Attribute)
        and isinstance(node.value, ast.Attribute)
        and node.value.attr == "mark"
        and isinstance(node.value.value, ast.Name)
        and node.value.value.id == "pytest"
        and node.attr != "parametrize"
    ):
        return node.attr
    return None


def _marks(decorators: Sequence[ast.expr]) -> set[str] | None:
    names = set()
    for decorator in decorators:
        name = _mark_name(decorator)
        if name is None:
            return None
        names.add(name)
    return names


def _pytestmark(body: Sequence[ast.stmt]) -> tuple[set[str], bool]:
    """The marks of ``pytestmark = ...`` in a body, and whether they are all literal."""
    marks: set[str] = set()
    for statement in body:
        if isinstance(statement, ast.Assign) and any(
            isinstance(target, ast.Name) and target.id == "pytestmark"
            for target in statement.targets
        ):
            value = statement.value
            values = value.elts if isinstance(value, (ast.List, ast.Tuple)) else [value]
            for element in values:
                name = _mark_name(element)
                if name is None:
                    return marks, False
                marks.add(name)
    return marks, True


def index_file(
    source: str, module_name: str, parents: Sequence[str], python_classes: Sequence[str],
    python_functions: Sequence[str],
) -> StaticFile:
    """The index of one file's source; ``parents`` are the names of its directories below
    the rootdir, which ``-k`` matches too."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return StaticFile(dynamic=True)  # the import reports it
    module_marks, literal = _pytestmark(tree.body)
    if not literal:
        return StaticFile(dynamic=True)
    base = {module_name, *parents}
    tests: list[StaticTest] = []
    for statement in tree.body:
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
            if statement.name == "pytest_generate_tests":
                return StaticFile(dynamic=True)
            if not _matches(statement.name, python_functions):
                continue
            marks = _marks(statement.decorator_list)
            if marks is None:
                return StaticFile(dynamic=True)
            marks |= module_marks
            tests.append(StaticTest({*base, statement.name, *marks}, marks))
        elif isinstance(statement, ast.ClassDef):
            found = _class_tests(statement, python_classes, python_functions)
            if found is None:
                return StaticFile(dynamic=True)
            for name, marks in found:
                marks |= module_marks
                tests.append(StaticTest({*base, statement.name, name, *marks}, marks))
        elif isinstance(statement, (ast.Import, ast.ImportFrom)):
            if any(_matches(alias.asname or alias.name.rsplit(".", 1)[-1], python_classes)
                   for alias in statement.names):
                return StaticFile(dynamic=True)
        elif isinstance(statement, (ast.If, ast.Try, ast.With)):
            return StaticFile(dynamic=True)  # tests defined under a condition
    return StaticFile(dynamic=False, tests=tests)


def _class_tests(
    node: ast.ClassDef, python_classes: Sequence[str], python_functions: Sequence[str]
) -> list[tuple[str, set[str]]] | None:
    """The tests of a class as (method name, marks), [] for a class that isn't a test
    class, None when the source doesn't settle it."""
    bases = [ast.unparse(base) for base in node.bases]
    unittest_case = bases in (["unittest.TestCase"], ["TestCase"])
    if bases and bases != ["object"] and not unittest_case:
        return None
    if not unittest_case and not _matches(node.name, python_classes):
        return []
    class_marks = _marks(node.decorator_list)
    own, literal = _pytestmark(node.body)
    if class_marks is None or not literal:
        return None
    tests = []
    for statement in node.body:
        if not isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        name = statement.name
        if not (name.startswith("test") if unittest_case else _matches(name, python_functions)):
            continue
        marks = _marks(statement.decorator_list)
        if marks is None:
            return None
        tests.append((name, marks | class_marks | own))
    return tests


def dynamic_conftest(path: Path) -> bool:
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except OSError:
        return False
    return any(word in text for word in _DYNAMIC_CONFTEST)


def may_select(
    static: StaticFile,
    keyword: Callable[[StaticTest], bool] | None,
    mark: Callable[[StaticTest], bool] | None,
) -> bool:
    """Whether any test of the file can pass both filters (a dynamic file always can)."""
    if static.dynamic:
        return True
    return any(
        (keyword is None or keyword(test)) and (mark is None or mark(test))
        for test in static.tests
    )
