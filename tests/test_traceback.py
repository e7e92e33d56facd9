"""Failure reports: trelkin's ``--tb`` styles, ``-l`` and collection errors against pytest's
on the same files, and the runner's own frames kept out of every report."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from trelkin import _traceback

from _oracle import (
    failure_of,
    failures_body,
    import_failure,
    import_rewritten,
    normalise,
    run_pytest,
    sections,
)

FAILURES = """
import pytest

def helper(x, y=2):
    z = x * y
    return inner(z)

def inner(v):
    if v:
        raise ValueError("bad\\nvalue")

def mid(a):
    return helper(a)

def hidden_check(value):
    __tracebackhide__ = True
    assert value == 1

class TestGroup:
    def test_method(self):
        items = [1, 2]
        assert items == [1, 3]

def test_deep():
    a = 1
    mid(a)

def test_single():
    helper(1)

def test_multiline():
    assert {"key": 1} == \\
        {"key": 2}

def test_chain():
    try:
        1 / 0
    except ZeroDivisionError as e:
        raise KeyError("k") from e

def test_context():
    try:
        {}["missing"]
    except KeyError:
        raise RuntimeError("while handling")

def test_hidden_helper():
    hidden_check(2)

def test_all_hidden():
    __tracebackhide__ = True
    assert 0

def test_message():
    assert False, "custom message"

def test_raise_plain():
    raise AssertionError("boom")

def test_notes():
    error = TypeError("with notes")
    error.add_note("a note")
    raise error

def test_carets():
    total = len([1]) + mid(2)

def test_raises_inside_assert():
    assert len([1, 2]) == mid(2) + 1

def test_raises_inside_method_assert():
    data = {"a": 1}
    assert data.get("a") == data["missing"]
"""

TESTS = [
    ("TestGroup.test_method", "TestGroup", "test_method"),
    ("test_deep", None, "test_deep"),
    ("test_single", None, "test_single"),
    ("test_multiline", None, "test_multiline"),
    ("test_chain", None, "test_chain"),
    ("test_context", None, "test_context"),
    ("test_hidden_helper", None, "test_hidden_helper"),
    ("test_all_hidden", None, "test_all_hidden"),
    ("test_message", None, "test_message"),
    ("test_raise_plain", None, "test_raise_plain"),
    ("test_notes", None, "test_notes"),
    ("test_carets", None, "test_carets"),
    ("test_raises_inside_assert", None, "test_raises_inside_assert"),
    ("test_raises_inside_method_assert", None, "test_raises_inside_method_assert"),
]
TITLES = [title for title, _, _ in TESTS]


@pytest.fixture(scope="module")
def failures_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("failures") / "test_failures.py"
    path.write_text(FAILURES, encoding="utf-8")
    return path


_reports: dict[tuple[str, ...], dict[str, str]] = {}


def pytest_sections(path: Path, *flags: str) -> dict[str, str]:
    if flags not in _reports:
        _reports[flags] = sections(run_pytest(path.parent, *flags, path.name))
    return _reports[flags]


def trelkin_failure(path: Path, owner: str | None, name: str) -> BaseException:
    module = import_rewritten(path, path.stem)
    if owner is None:
        return failure_of(getattr(module, name))
    return failure_of(getattr(getattr(module, owner)(), name))


@pytest.mark.parametrize("style", ["auto", "long", "short"])
@pytest.mark.parametrize(("title", "owner", "name"), TESTS)
def test_report_matches_pytest(
    failures_file: Path,
    style: str,
    title: str,
    owner: str | None,
    name: str,
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    monkeypatch.chdir(failures_file.parent)
    expected = pytest_sections(failures_file, f"--tb={style}")[title]
    exc = trelkin_failure(failures_file, owner, name)
    _, longrepr = _traceback.format_failure(exc, style=style)
    assert normalise(longrepr) == expected


def test_line_style_matches_pytest(failures_file: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(failures_file.parent)
    expected = failures_body(run_pytest(failures_file.parent, "--tb=line", failures_file.name))
    reports = []
    for _, owner, name in TESTS:
        _, longrepr = _traceback.format_failure(
            trelkin_failure(failures_file, owner, name), style="line"
        )
        reports.append(normalise(longrepr))
    # With every frame hidden pytest names a frame of its own; trelkin names the test's.
    own_frame = re.escape(str(failures_file)) + r":\d+: assert 0"
    assert re.search(own_frame, reports[TITLES.index("test_all_hidden")])
    pytest_frame = r"\S*_pytest/python.py:\d+: assert 0"
    assert re.sub(own_frame, "<crash>", "\n".join(reports)) == re.sub(
        pytest_frame, "<crash>", expected
    )


@pytest.mark.parametrize(("title", "owner", "name"), TESTS[:4])
def test_showlocals_matches_pytest(
    failures_file: Path, title: str, owner: str | None, name: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(failures_file.parent)
    expected = pytest_sections(failures_file, "-l")[title]
    exc = trelkin_failure(failures_file, owner, name)
    _, longrepr = _traceback.format_failure(exc, showlocals=True)
    assert normalise(longrepr) == expected


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("test_deep", "ValueError: bad"),
        ("test_multiline", "AssertionError: assert {'key': 1} == {'key': 2}"),
        ("test_message", "AssertionError: custom message"),
        ("test_raise_plain", "AssertionError: boom"),
        ("test_chain", "KeyError: 'k'"),
        ("test_all_hidden", "assert 0"),
    ],
)
def test_summary_message(failures_file: Path, name: str, message: str) -> None:
    got, _ = _traceback.format_failure(trelkin_failure(failures_file, None, name))
    assert got == message


def test_summary_message_of_a_group_of_one() -> None:
    def raises_group() -> None:
        raise ExceptionGroup("many", [ValueError("x")])

    message, longrepr = _traceback.format_failure(failure_of(raises_group))
    assert message == "ValueError('x') [single exception in ExceptionGroup]"
    assert "ExceptionGroup: many (1 sub-exception)" in longrepr
    assert "_oracle_runner" not in longrepr


def test_runner_frames_are_hidden_unless_full_trace(failures_file: Path) -> None:
    exc = trelkin_failure(failures_file, None, "test_single")
    for style in ("auto", "long", "short", "native"):
        _, longrepr = _traceback.format_failure(exc, style=style)
        assert "_oracle_runner" not in longrepr, style
    _, full = _traceback.format_failure(exc, full_trace=True)
    assert "_oracle_runner.py" in full
    # Every entry long, the runner's first: four entries, three separators.
    assert sum(line.startswith("_ _ ") for line in full.splitlines()) == 3


def test_native_shows_the_test_frames_and_the_exception(failures_file: Path) -> None:
    _, longrepr = _traceback.format_failure(
        trelkin_failure(failures_file, None, "test_chain"), style="native"
    )
    assert longrepr.startswith("Traceback (most recent call last):")
    assert "The above exception was the direct cause of the following exception:" in longrepr
    assert re.search(r'File ".*test_failures.py", line \d+, in test_chain', longrepr)
    assert longrepr.endswith("KeyError: 'k'")


def test_no_style_keeps_only_the_exception(failures_file: Path) -> None:
    _, longrepr = _traceback.format_failure(
        trelkin_failure(failures_file, None, "test_deep"), style="no"
    )
    assert longrepr == "E   ValueError: bad\n    value"


def test_unknown_style_is_refused() -> None:
    with pytest.raises(ValueError, match="unknown traceback style"):
        _traceback.format_failure(ValueError(), style="fancy")


def test_paths_are_relative_to_rootdir(failures_file: Path, tmp_path: Path) -> None:
    exc = trelkin_failure(failures_file, None, "test_single")
    _, longrepr = _traceback.format_failure(exc, style="short", rootdir=failures_file.parent)
    assert longrepr.startswith("test_failures.py:")
    _, elsewhere = _traceback.format_failure(
        exc, style="short", rootdir=failures_file.parent / "deep" / "er"
    )
    assert elsewhere.startswith("../../test_failures.py:")


FIXTURE_ERROR = """
import pytest

def make():
    raise LookupError("no resource")

@pytest.fixture
def resource():
    return make()

def test_uses(resource):
    pass
"""


def test_fixture_error_matches_pytest(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = tmp_path / "test_fixture_error.py"
    path.write_text(FIXTURE_ERROR, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    expected = sections(run_pytest(tmp_path, path.name))["ERROR at setup of test_uses"]
    module = import_rewritten(path, "fixture_error_under_test")
    fixture = module.resource
    function = getattr(fixture, "__wrapped__", None) or fixture._get_wrapped_function()
    _, longrepr = _traceback.format_failure(failure_of(function))
    assert normalise(longrepr) == expected


COLLECTION = {
    "test_import_error.py": "import os\nimport no_such_module_here\n",
    "test_nested_import.py": "from helper_broken import thing\n",
    "helper_broken.py": "import also_missing_module\nthing = 1\n",
    "test_raises.py": "x = 1\nraise RuntimeError('at import')\n",
    "test_syntax.py": "def f(:\n    pass\n",
}


def drop_importlib_entry(text: str) -> str:
    """pytest shows the frame of ``importlib.import_module`` it imports through; trelkin
    counts it as the import machinery's and hides it."""
    return re.sub(r"\S*importlib/__init__.py:\d+: in import_module\n.*\n.*\n", "", text)


@pytest.mark.parametrize(
    "filename", ["test_import_error.py", "test_nested_import.py", "test_raises.py"]
)
def test_collection_error_matches_pytest(
    tmp_path: Path, filename: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    for name, source in COLLECTION.items():
        (tmp_path / name).write_text(source, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(str(tmp_path))
    expected = drop_importlib_entry(sections(run_pytest(tmp_path, filename))[filename])
    exc = import_failure(tmp_path / filename, filename[:-3])
    assert normalise(_traceback.format_collection_error(exc, tmp_path / filename)) == expected


def test_syntax_error_shows_where_parsing_stopped(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    (tmp_path / "test_syntax.py").write_text(COLLECTION["test_syntax.py"], encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    report = sections(run_pytest(tmp_path, "test_syntax.py"))["test_syntax.py"]
    expected = "\n".join(line for line in report.splitlines() if line.startswith("E "))
    exc = import_failure(tmp_path / "test_syntax.py", "test_syntax")
    assert (
        normalise(_traceback.format_collection_error(exc, tmp_path / "test_syntax.py")) == expected
    )


@pytest.mark.parametrize(
    ("exc", "message"),
    [
        (ImportError("x"), ""),
        (SyntaxError("bad"), ""),
        (RuntimeError("at import"), "RuntimeError: at import"),
    ],
)
def test_collection_error_message(exc: BaseException, message: str) -> None:
    assert _traceback.collection_error_message(exc) == message


def test_recursion_is_cut_where_it_repeats() -> None:
    def recurse(n: int) -> int:
        return recurse(n)

    _, longrepr = _traceback.format_failure(failure_of(recurse, 1), style="short")
    assert longrepr.count("in recurse") == 2
    assert "!!! Recursion detected (same locals & position)" in longrepr


@pytest.mark.parametrize(
    "name", ["test_raises_inside_assert", "test_raises_inside_method_assert", "test_chain"]
)
def test_native_matches_python_on_the_plain_module(failures_file: Path, name: str) -> None:
    import runpy
    import traceback

    plain = runpy.run_path(str(failures_file))
    expected = "".join(traceback.format_exception(failure_of(plain[name])))
    # The runner's frame, which trelkin drops: its file has no source to show.
    expected = re.sub(r'  File ".*_oracle_runner.py", line \d+, in \w+\n', "", expected)
    exc = trelkin_failure(failures_file, None, name)
    _, longrepr = _traceback.format_failure(exc, style="native")
    assert longrepr == expected.rstrip("\n")
