"""Marks against pytest: skip, skipif (strings, booleans, errors), xfail (raises, strict,
run, conditions, xfail_strict), marks on classes and modules, dynamic marks,
filterwarnings, --strict-markers and registered markers; -k and -m selection."""

from __future__ import annotations

import textwrap
from pathlib import Path

import pytest

from _runtime_oracle import pytest_outcomes, runtime_outcomes, runtime_report

TREES: dict[str, dict[str, str]] = {
    "skip and skipif": {
        "test_skip.py": """
            import sys, pytest
            FLAG = True
            @pytest.mark.skip
            def test_plain_skip(): pass
            @pytest.mark.skip("positional reason")
            def test_positional(): pass
            @pytest.mark.skipif(True, reason="bool")
            def test_bool(): pass
            @pytest.mark.skipif(False, reason="bool")
            def test_bool_false(): pass
            @pytest.mark.skipif("FLAG")
            def test_module_global(): pass
            @pytest.mark.skipif("sys.version_info < (3,)")
            def test_string_false(): pass
            @pytest.mark.skipif("config.getoption('verbose') > 5")
            def test_config(): pass
            @pytest.mark.skipif(True)
            def test_bool_without_reason(): pass
            @pytest.mark.skipif("nonsense(")
            def test_syntax_error(): pass
            @pytest.mark.skipif("undefined_name")
            def test_name_error(): pass
            @pytest.mark.skipif(condition=True, reason="keyword")
            def test_keyword_condition(): pass
            @pytest.mark.skipif(False, True, reason="any of them")
            def test_many(): pass
            """,
    },
    "xfail": {
        "test_xfail.py": """
            import pytest
            @pytest.mark.xfail
            def test_fails(): assert 0
            @pytest.mark.xfail
            def test_passes(): pass
            @pytest.mark.xfail(strict=True, reason="strict")
            def test_strict(): pass
            @pytest.mark.xfail(raises=KeyError)
            def test_right_error(): raise KeyError
            @pytest.mark.xfail(raises=(KeyError, ValueError))
            def test_tuple_error(): raise ValueError
            @pytest.mark.xfail(raises=KeyError)
            def test_wrong_error(): raise IndexError
            @pytest.mark.xfail(False, reason="not now")
            def test_condition_false(): assert 0
            @pytest.mark.xfail("True", reason="string")
            def test_condition_true(): assert 0
            @pytest.mark.xfail(run=False)
            def test_not_run(): assert 0
            def test_dynamic(request):
                request.applymarker(pytest.mark.xfail(reason="dynamic"))
                assert 0
            """,
    },
    "marks on classes and modules": {
        "test_scoped.py": """
            import pytest
            pytestmark = [pytest.mark.xfail(reason="module")]
            def test_module_level(): assert 0
            @pytest.mark.skip(reason="class")
            class TestSkipped:
                def test_a(self): pass
            class Base:
                pass
            @pytest.mark.skip(reason="base")
            class TestFromBase(Base):
                def test_b(self): pass
            class TestSub(TestFromBase):
                def test_c(self): pass
            """,
    },
    "filterwarnings": {
        "test_warn.py": """
            import warnings, pytest
            @pytest.mark.filterwarnings("error")
            def test_error(): warnings.warn("boom")
            @pytest.mark.filterwarnings("error::DeprecationWarning")
            def test_other_category(): warnings.warn("fine", UserWarning)
            @pytest.mark.filterwarnings("ignore:boom")
            @pytest.mark.filterwarnings("error")
            def test_ignore_wins(): warnings.warn("boom here")
            def test_unaffected(): warnings.warn("plain")
            """,
    },
    "dynamic skips from hooks and fixtures": {
        "conftest.py": """
            import pytest
            def pytest_markeval_namespace(config):
                return {"FROM_HOOK": True}
            def pytest_runtest_setup(item):
                if item.get_closest_marker("needs_db"):
                    pytest.skip("no database")
            def pytest_configure(config):
                config.addinivalue_line("markers", "needs_db: needs a database")
            """,
        "test_dyn.py": """
            import pytest
            @pytest.mark.needs_db
            def test_db(): pass
            def test_other(): pass
            @pytest.mark.skipif("FROM_HOOK", reason="hook namespace")
            def test_hook_namespace(): pass
            """,
    },
}


def write(root: Path, files: dict[str, str]) -> Path:
    for relative, source in files.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(source), encoding="utf-8")
    return root


@pytest.mark.parametrize("files", list(TREES.values()), ids=list(TREES))
def test_marks_match_pytest(tmp_path: Path, files: dict[str, str]) -> None:
    tree = write(tmp_path, files)
    assert runtime_outcomes(tree) == pytest_outcomes(tree)


@pytest.mark.parametrize("strict", ["true", "false"])
def test_xfail_strict_ini(tmp_path: Path, strict: str) -> None:
    tree = write(tmp_path, {
        "pytest.ini": f"[pytest]\nxfail_strict = {strict}\n",
        "test_x.py": "import pytest\n@pytest.mark.xfail\ndef test_x(): pass\n",
    })
    assert runtime_outcomes(tree) == pytest_outcomes(tree)


def test_strict_xpass_message(tmp_path: Path) -> None:
    tree = write(tmp_path, {"test_x.py": "import pytest\n@pytest.mark.xfail(strict=True, reason='why')\ndef test_x(): pass\n"})
    (record,) = runtime_report(tree)
    assert (record["kind"], record["longrepr"]) == ("failed", "[XPASS(strict)] why")


def test_skip_location_is_the_tests(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "test_loc.py": "import pytest\n\n@pytest.mark.skip(reason='r')\ndef test_a(): pass\n\ndef test_b():\n    pytest.skip('inside')\n",
    })
    records = runtime_report(tree)
    assert [record["location"] for record in records] == ["test_loc.py:3", "test_loc.py:7"]


@pytest.mark.parametrize(
    "ini, expected",
    [
        ("", {"test_m.py::test_known": "passed", "test_m.py::test_unknown": "passed"}),
        ("markers =\n    known: a known mark\n", {"test_m.py": "error"}),
    ],
    ids=["unknown mark rejected", "registered then unknown"],
)
def test_strict_markers(tmp_path: Path, ini: str, expected: dict[str, str]) -> None:
    tree = write(tmp_path, {
        "pytest.ini": "[pytest]\n" + ini,
        "test_m.py": "import pytest\n@pytest.mark.known\ndef test_known(): pass\n@pytest.mark.unknown\ndef test_unknown(): pass\n",
    })
    if not ini:
        assert runtime_outcomes(tree) == pytest_outcomes(tree) == expected
        assert runtime_outcomes(tree, "--strict-markers") == pytest_outcomes(tree, "--strict-markers") == {"test_m.py": "error"}
    else:
        assert runtime_outcomes(tree, "--strict-markers") == pytest_outcomes(tree, "--strict-markers") == expected


_KEYWORD_MARKS = pytest.mark.skipif(
    pytest.version_tuple < (8, 3), reason="-m with keyword arguments came in pytest 8.3"
)

SELECTION = {
    "conftest.py": """
        def pytest_collection_modifyitems(items):
            for item in items:
                if "fast" in item.nodeid:
                    item.add_marker("quick")
        """,
    "sub/test_sel.py": """
        import pytest
        @pytest.mark.slow
        def test_slow_one(): pass
        def test_fast(): pass
        class TestGroup:
            @pytest.mark.parametrize("n", [1, 2])
            def test_param(self, n): pass
        @pytest.mark.level(value=3)
        def test_level(): pass
        def test_attribute(): pass
        test_attribute.custom_flag = True
        """,
}


@pytest.mark.parametrize(
    "args",
    [
        ("-k", "slow"),
        ("-k", "not slow"),
        ("-k", "TestGroup and 2"),
        ("-k", "test_sel.py and fast"),
        ("-k", "sub"),
        ("-k", "custom_flag"),
        ("-k", "FAST or LEVEL"),
        ("-k", "param[1]"),
        ("-m", "slow"),
        ("-m", "not slow and not quick"),
        ("-m", "quick"),
        pytest.param(("-m", "level(value=3)"), marks=_KEYWORD_MARKS),
        pytest.param(("-m", "level(value=4)"), marks=_KEYWORD_MARKS),
    ],
    ids=lambda args: " ".join(args),
)
def test_selection_matches_pytest(tmp_path: Path, args: tuple[str, str]) -> None:
    tree = write(tmp_path, SELECTION)
    assert runtime_outcomes(tree, *args) == pytest_outcomes(tree, *args)
