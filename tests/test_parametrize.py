"""Parametrization against pytest: node ids (escaping, duplicates, objects, ids lists
and callables, pytest.param), stacking, indirect, metafunc.parametrize, empty sets."""

from __future__ import annotations

import textwrap
from pathlib import Path

import pytest

from _runtime_oracle import pytest_outcomes, runtime_outcomes

TREES: dict[str, str] = {
    "ids from values": """
        import enum, re, pytest
        class Color(enum.Enum):
            RED = 1
        def helper(): pass
        @pytest.mark.parametrize("x,y", [(1, object()), ("é\\n", b"\\xff"), (1.5, None),
                                         (int, helper), (Color.RED, re.compile("a+b")),
                                         (True, 2j), ("a" * 101, "")])
        def test_ids(x, y): pass
        @pytest.mark.parametrize("x", [1, 1, "1", "a", "a", "a0"])
        def test_duplicates(x): pass
        @pytest.mark.parametrize(("a", "b"), [[1, 2]])
        def test_tuple_names(a, b): assert (a, b) == (1, 2)
        @pytest.mark.parametrize("a,", [(3,)])
        def test_trailing_comma(a): assert a == 3
        @pytest.mark.parametrize("a", [(1, 2)])
        def test_single_name_keeps_tuple(a): assert a == (1, 2)
        """,
    "explicit ids": """
        import pytest
        @pytest.mark.parametrize("x", [1, 2, 3], ids=["one", None, "thr ee"])
        def test_list(x): pass
        @pytest.mark.parametrize("x", [10, 20], ids=lambda v: f"v{v}" if v > 10 else None)
        def test_callable(x): pass
        @pytest.mark.parametrize("x", [pytest.param(1, id="first"), pytest.param(2, marks=pytest.mark.xfail(reason="two")),
                                       pytest.param(3, marks=[pytest.mark.skip(reason="three")])])
        def test_param(x): assert x == 1
        """,
    "stacked and on methods": """
        import pytest
        @pytest.mark.parametrize("x", [0, 1])
        @pytest.mark.parametrize("y", [2, 3])
        def test_stacked(x, y): pass
        @pytest.mark.parametrize("n", [1, 2])
        class TestClass:
            @pytest.mark.parametrize("m", ["a"])
            def test_method(self, n, m): assert n < 3
            def test_other(self, n): pass
        pytestmark = pytest.mark.parametrize("z", [9])
        def test_module_mark(z): assert z == 9
        """,
    "indirect and fixtures": """
        import pytest
        @pytest.fixture
        def doubled(request): return request.param * 2
        @pytest.fixture
        def plain(): return "p"
        @pytest.mark.parametrize("doubled", [1, 2], indirect=True)
        def test_indirect(doubled): assert doubled in (2, 4)
        @pytest.mark.parametrize("doubled,raw", [(3, 3)], indirect=["doubled"])
        def test_indirect_list(doubled, raw): assert doubled == raw * 2
        @pytest.mark.parametrize("plain", ["override"])
        def test_direct_overrides_fixture(plain): assert plain == "override"
        """,
    "pytest_generate_tests in module, class and conftest": """
        import pytest
        def pytest_generate_tests(metafunc):
            if "gen" in metafunc.fixturenames:
                metafunc.parametrize("gen", [1, 2], ids=["g1", "g2"])
        def test_gen(gen): assert gen in (1, 2)
        class TestHooked:
            def pytest_generate_tests(self, metafunc):
                if "inner" in metafunc.fixturenames:
                    metafunc.parametrize("inner", ["i"])
            def test_inner(self, inner, gen): pass
        """,
    "empty parameter sets": """
        import pytest
        @pytest.mark.parametrize("x", [])
        def test_empty(x): pass
        @pytest.mark.parametrize("x,y", [])
        def test_empty_two(x, y): pass
        """,
    "errors in parametrize": """
        import pytest
        @pytest.mark.parametrize("x,y", [(1,)])
        def test_wrong_count(x, y): pass
        """,
    "unknown argument": """
        import pytest
        @pytest.mark.parametrize("nope", [1])
        def test_uses_no_argument(x): pass
        """,
}

CONFTEST = """
    def pytest_generate_tests(metafunc):
        if "from_conftest" in metafunc.fixturenames:
            metafunc.parametrize("from_conftest", ["c"])
"""


@pytest.mark.parametrize("source", list(TREES.values()), ids=list(TREES))
def test_ids_and_outcomes_match_pytest(tmp_path: Path, source: str) -> None:
    (tmp_path / "test_p.py").write_text(textwrap.dedent(source), encoding="utf-8")
    (tmp_path / "conftest.py").write_text(textwrap.dedent(CONFTEST), encoding="utf-8")
    assert runtime_outcomes(tmp_path) == pytest_outcomes(tmp_path)


def test_conftest_generate_tests(tmp_path: Path) -> None:
    (tmp_path / "conftest.py").write_text(textwrap.dedent(CONFTEST), encoding="utf-8")
    (tmp_path / "test_c.py").write_text("def test_c(from_conftest): assert from_conftest == 'c'\n")
    assert runtime_outcomes(tmp_path) == pytest_outcomes(tmp_path) == {"test_c.py::test_c[c]": "passed"}


def test_module_scoped_parameters_run_grouped(tmp_path: Path) -> None:
    (tmp_path / "test_order.py").write_text(textwrap.dedent("""
        import pytest
        seen = []
        @pytest.fixture(scope="module", params=["a", "b"])
        def backend(request):
            seen.append("+" + request.param)
            yield request.param
            seen.append("-" + request.param)
        def test_1(backend): seen.append("1" + backend)
        def test_2(backend): seen.append("2" + backend)
        def test_check():
            assert seen == ["+a", "1a", "2a", "-a", "+b", "1b", "2b", "-b"]
    """))
    ours = runtime_outcomes(tmp_path)
    assert ours == pytest_outcomes(tmp_path)
    assert list(ours) == list(pytest_outcomes(tmp_path))
