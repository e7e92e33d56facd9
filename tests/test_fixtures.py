"""Fixtures against pytest: scopes, teardown order, overriding, parametrized fixtures,
request, autouse and usefixtures, errors in setup and teardown."""

from __future__ import annotations

import textwrap
from pathlib import Path

import pytest

from _runtime_oracle import pytest_outcomes, runtime_outcomes

# Each tree records the order of setups and teardowns in a log file that a last test
# checks, so the order itself is compared, not only outcomes.
LOG = """
    import json, os
    LOG = os.path.join(os.path.dirname(__file__), "log.json")
    def log(entry):
        entries = json.load(open(LOG)) if os.path.exists(LOG) else []
        entries.append(entry)
        json.dump(entries, open(LOG, "w"))
    def read():
        return json.load(open(LOG)) if os.path.exists(LOG) else []
"""

TREES: dict[str, dict[str, str]] = {
    "scopes and teardown order": {
        "logger.py": LOG,
        "conftest.py": """
            import pytest
            from logger import log
            @pytest.fixture(scope="session")
            def sess():
                log("+session")
                yield "s"
                log("-session")
            @pytest.fixture(scope="module")
            def mod(sess):
                log("+module")
                yield "m"
                log("-module")
            @pytest.fixture(scope="class")
            def klass(mod):
                log("+class")
                yield
                log("-class")
            @pytest.fixture
            def func(klass, request):
                log("+func " + request.function.__name__)
                request.addfinalizer(lambda: log("fin " + request.function.__name__))
                yield
                log("-func")
            """,
        "test_a.py": """
            class TestA:
                def test_1(self, func): pass
                def test_2(self, func): pass
            def test_3(func): pass
            """,
        "test_b.py": """
            def test_4(mod): pass
            """,
    },
    "overriding by the nearest definition": {
        "conftest.py": """
            import pytest
            @pytest.fixture
            def value(): return "root"
            @pytest.fixture
            def other(): return "root-other"
            """,
        "sub/conftest.py": """
            import pytest
            @pytest.fixture
            def value(value): return value + "+sub"
            """,
        "sub/test_sub.py": """
            import pytest
            def test_sub(value): assert value == "root+sub"
            class TestC:
                @pytest.fixture
                def value(self, value): return value + "+class"
                def test_class(self, value): assert value == "root+sub+class"
            """,
        "test_top.py": """
            import pytest
            @pytest.fixture
            def other(): return "module"
            def test_top(value, other): assert (value, other) == ("root", "module")
            """,
    },
    "parametrized fixtures and their ids": {
        "test_params.py": """
            import pytest
            @pytest.fixture(params=[1, 2], ids=["one", "two"])
            def number(request): return request.param
            @pytest.fixture(params=["a", "b"])
            def letter(request): return request.param
            def test_product(number, letter): assert number in (1, 2)
            @pytest.fixture(scope="module", params=[10, 20])
            def big(request):
                yield request.param
            def test_big_1(big): pass
            def test_big_2(big): assert big != 20
            @pytest.mark.parametrize("number", [5])
            def test_overridden_by_parametrize(number): assert number == 5
            @pytest.mark.parametrize("letter", ["z"], indirect=True)
            def test_indirect(letter): assert letter == "z"
            """,
    },
    "request attributes": {
        "test_request.py": """
            import pytest
            @pytest.fixture
            def info(request):
                return (request.function.__name__, request.cls, request.module.__name__,
                        request.scope, request.fixturename, request.node.name,
                        sorted(n for n in request.fixturenames if not n.startswith("_")))
            @pytest.fixture(scope="module")
            def modinfo(request):
                with pytest.raises(AttributeError):
                    request.function
                return request.scope, request.module.__name__, request.node.name
            def test_info(info, modinfo):
                assert info == ("test_info", None, "test_request", "function", "info",
                                "test_info", ["info", "modinfo", "request"])
                assert modinfo == ("module", "test_request", "test_request.py")
            class TestK:
                def test_cls(self, request):
                    assert request.cls is TestK and request.instance is self
            def test_dynamic(request):
                assert request.getfixturevalue("tmp_path").is_dir()
            def test_paths(request):
                assert request.path.name == "test_request.py" and request.path.is_absolute()
                assert str(request.fspath) == str(request.path) == str(request.node.fspath)
            @pytest.mark.custom(3)
            def test_marker(request):
                assert request.node.get_closest_marker("custom").args == (3,)
                assert "custom" in request.keywords
            @pytest.fixture(params=[7])
            def param(request): return request.param, request.param_index
            def test_param(param): assert param == (7, 0)
            """,
    },
    "autouse and usefixtures": {
        "conftest.py": """
            import pytest
            order = []
            @pytest.fixture(autouse=True)
            def zz_auto(): order.append("root-auto")
            @pytest.fixture
            def used(): order.append("used")
            """,
        "test_auto.py": """
            import pytest
            from conftest import order
            @pytest.fixture(autouse=True)
            def b_auto(): order.append("module-auto-b")
            @pytest.fixture(autouse=True)
            def a_auto(): order.append("module-auto-a")
            @pytest.mark.usefixtures("used")
            def test_order():
                assert order == ["root-auto", "module-auto-a", "module-auto-b", "used"]
            pytestmark = pytest.mark.usefixtures("used")
            def test_module_usefixtures():
                assert order[-1] == "used"
            """,
    },
    "errors in setup and teardown": {
        "test_errors.py": """
            import pytest
            @pytest.fixture
            def broken(): raise RuntimeError("setup failed")
            @pytest.fixture
            def bad_teardown():
                yield
                raise RuntimeError("teardown failed")
            @pytest.fixture(scope="module")
            def broken_module(): raise RuntimeError("module setup failed")
            @pytest.fixture
            def no_yield():
                if False:
                    yield
            def test_setup_error(broken): pass
            def test_teardown_error(bad_teardown): pass
            def test_failed_and_teardown_error(bad_teardown): assert False
            def test_module_1(broken_module): pass
            def test_module_2(broken_module): pass
            def test_no_value(no_yield): pass
            def test_missing(not_defined_anywhere): pass
            @pytest.fixture
            def skipper(): pytest.skip("from a fixture")
            def test_skipped_by_fixture(skipper): pass
            @pytest.mark.xfail(reason="setup fails")
            def test_xfail_setup(broken): pass
            @pytest.fixture(scope="module")
            def wants_function(tmp_path): return tmp_path
            def test_scope_mismatch(wants_function): pass
            def test_after(): pass
            """,
    },
    "fixture requesting its own name through a chain": {
        "conftest.py": """
            import pytest
            @pytest.fixture(params=["x", "y"])
            def base(request): return request.param
            """,
        "test_chain.py": """
            import pytest
            @pytest.fixture
            def base(base): return base * 2
            def test_chain(base): assert base in ("xx", "yy")
            """,
    },
    "class fixtures bound to the test's instance": {
        "test_bound.py": """
            import pytest
            class TestBound:
                @pytest.fixture(autouse=True)
                def prepare(self):
                    self.ready = True
                def test_ready(self): assert self.ready
                @pytest.fixture(scope="class")
                def shared(self, request):
                    request.cls.flag = "set"
                def test_class_scope(self, shared): assert self.flag == "set"
            class TestInherits(TestBound):
                def test_more(self): assert self.ready
            """,
    },
    "unittest cases with autouse fixtures": {
        "conftest.py": """
            import pytest
            @pytest.fixture(autouse=True)
            def attach(request):
                if request.instance is not None:
                    request.instance.attached = True
            @pytest.fixture(scope="class")
            def db(request):
                request.cls.db = "db"
            """,
        "test_ut.py": """
            import unittest, pytest
            @pytest.mark.usefixtures("db")
            class Case(unittest.TestCase):
                def test_attached(self):
                    self.assertTrue(self.attached)
                    self.assertEqual(self.db, "db")
            """,
    },
}


def write(root: Path, files: dict[str, str]) -> Path:
    for relative, source in files.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(source), encoding="utf-8")
    return root


def _log(tree: Path) -> str:
    path = tree / "log.json"
    text = path.read_text() if path.exists() else ""
    path.unlink(missing_ok=True)
    return text


@pytest.mark.parametrize("files", list(TREES.values()), ids=list(TREES))
def test_fixtures_match_pytest(tmp_path: Path, files: dict[str, str]) -> None:
    tree = write(tmp_path, files)
    ours = runtime_outcomes(tree)
    our_log = _log(tree)
    assert ours == pytest_outcomes(tree)
    assert our_log == _log(tree)


def test_node_name_is_pytests(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "test_name.py": """
            class TestA:
                def test_1(self, request): assert request.node.name == "test_1"
            """,
    })
    assert runtime_outcomes(tree) == {"test_name.py::TestA::test_1": "passed"}
