"""Assertion rewriting: rewritten asserts behave as plain ones (order, short-circuits, walrus,
side effects once), which files are rewritten, opting out, and the bytecode cache."""

from __future__ import annotations

import ast
import gc
import importlib.util
import linecache
import os
import subprocess
import sys
import textwrap
import types
import weakref
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from trelkin import _rewrite, _rewrite_ast, _rewrite_text

from _oracle import clean_env

PRELUDE = """
class Obj:
    attr = 1
    def __repr__(self):
        return "Obj()"
    def method(self, value):
        events.append(("method", value))
        return value

def t(value):
    events.append(value)
    return value

def k(*args, **kwargs):
    events.append(("k", args, tuple(sorted(kwargs.items()))))
    return True

obj = Obj()
"""

# Assertions that pass and ones that fail: each must record the same events, and end the
# same way, rewritten or not.
EXPRESSIONS = [
    "t(1) and t(2)",
    "t(0) or t(2)",
    "not (t(0) and t(1))",
    "t(1) or t(2)",
    "t(0) and t(1)",
    "t(1) and t(0) and t(2)",
    "t(1) < t(2) < t(3)",
    "not (t(1) < t(0) < t(5))",
    "t(1) < t(0) < t(5)",
    "t(1) == t(1) != t(2) == t(3)",
    "(x := t(2)) == 2 and x == 2",
    "t(x := 5) and x == 5",
    "not (x == t(x := 3))",
    "x == t(x := 1)",
    "(y := t(0)) or y == 0",
    "k(t(1), t(2), key=t(3))",
    "k(*[t(1)], **{'a': t(2)})",
    "t([1, 2])[t(1)] == 2",
    "obj.method(t(1)) == 1",
    "t(obj).attr == 1",
    "[t(i) for i in range(3)]",
    "(lambda: t(1))()",
    "t(1) if t(0) else t(2)",
    "{t(1): t(2)}",
    "t(1) in {t(1)}",
    "-t(1) < 0 < +t(1)",
    "t(2) ** t(3) == 8 and t(5) % t(3) == 2",
    "t('%s') == '%s'",
    "t(0), 'message ' + str(t(9))",
    "t(1), t('message not evaluated')",
    "(t(1) and t(0)) or (t(2) and t(3))",
    "not t(1) is None",
    "t(1) is not t(None) is not t(2)",
]


def compile_case(source: str, via: str) -> types.CodeType:
    """Compiled as the hook does (the text rewriter), with the tree rewriter it falls back
    on, or plain. The text rewriter's explanations read the source as linecache has it."""
    path = "<case>.py"
    linecache.cache[path] = (len(source), None, source.splitlines(True), path)
    if via == "text":
        return _rewrite.rewrite_source(source.encode(), path)
    if via == "tree":
        tree = ast.parse(source)
        _rewrite_ast.rewrite_module(tree, path)
        return compile(tree, path, "exec", dont_inherit=True)
    return compile(source, path, "exec", dont_inherit=True)


def run_case(expression: str, via: str) -> tuple[list[object], str | None]:
    source = PRELUDE + f"def case():\n    x = 1\n    assert {expression}\n"
    code = compile_case(source, via)
    namespace: dict[str, object] = {"events": []}
    exec(code, namespace)
    try:
        namespace["case"]()  # type: ignore[operator]
        outcome = None
    except AssertionError:
        outcome = "AssertionError"
    except Exception as exc:
        outcome = type(exc).__name__
    return namespace["events"], outcome  # type: ignore[return-value]


@pytest.mark.parametrize("via", ["text", "tree"])
@pytest.mark.parametrize("expression", EXPRESSIONS)
def test_rewritten_assert_behaves_as_plain(expression: str, via: str) -> None:
    assert repr(run_case(expression, via)) == repr(run_case(expression, "plain"))


@pytest.mark.parametrize(
    ("expression", "message"),
    [
        ("t(0), 'message ' + str(t(9))", "message 9\nassert 0\n +  where 0 = t(0)"),
        ("(x := t(2)) == 3", "assert 2 == 3"),
        ("x == t(x := 3)", "assert 1 == 3\n +  where 3 = t(3)"),
        ("t(1) < t(0) < t(5)", "assert 1 < 0\n +  where 1 = t(1)\n +  and   0 = t(0)"),
        ("t(1) and t(0) and t(2)", "assert (1 and 0)\n +  where 1 = t(1)\n +  and   0 = t(0)"),
        ("t(0) or t(None)", "assert (0 or None)\n +  where 0 = t(0)\n +  and   None = t(None)"),
        (
            "obj.method(t(0))",
            "assert 0\n +  where 0 = method(0)\n +    where method = Obj().method\n +    and   0 = t(0)",
        ),
        # A detailed comparison replaces the operands' "where" lines, as in pytest.
        ("t('%d') == '%s'", "assert '%d' == '%s'\n  \n  - %s\n  + %d"),
    ],
)
@pytest.mark.parametrize("via", ["text", "tree"])
def test_explanation_of_intermediate_values(expression: str, message: str, via: str) -> None:
    source = PRELUDE + f"def case():\n    x = 1\n    assert {expression}\n"
    namespace: dict[str, object] = {"events": []}
    exec(compile_case(source, via), namespace)
    with pytest.raises(AssertionError) as raised:
        namespace["case"]()  # type: ignore[operator]
    assert str(raised.value) == message


def test_passing_asserts_build_no_explanation_and_keep_nothing_alive() -> None:
    source = textwrap.dedent(
        """
        class Loud:
            reprs = 0
            def __repr__(self):
                Loud.reprs += 1
                return "Loud()"
            def __eq__(self, other):
                return True

        def case(make):
            assert make() == make()
            return locals()
        """
    )
    namespace: dict[str, object] = {}
    exec(_rewrite.rewrite_source(source.encode(), "case.py"), namespace)
    made: list[weakref.ref[object]] = []

    def make() -> object:
        value = namespace["Loud"]()  # type: ignore[operator]
        made.append(weakref.ref(value))
        return value

    frame_locals = namespace["case"](make)  # type: ignore[operator]
    gc.collect()
    assert namespace["Loud"].reprs == 0  # type: ignore[attr-defined]
    assert [ref() for ref in made] == [None, None]
    assert all(value is None for name, value in frame_locals.items() if name.startswith("@"))


def test_dont_rewrite_docstring_keeps_plain_asserts() -> None:
    source = b'"""Helpers. PYTEST_DONT_REWRITE"""\ndef case():\n    assert 1 == 2\n'
    namespace: dict[str, object] = {}
    exec(_rewrite.rewrite_source(source, "case.py"), namespace)
    with pytest.raises(AssertionError) as raised:
        namespace["case"]()  # type: ignore[operator]
    assert str(raised.value) == ""


def test_docstring_and_future_imports_stay_first() -> None:
    source = (
        b'"""Doc."""\nfrom __future__ import annotations\nimport os\ndef case():\n    assert os\n'
    )
    namespace: dict[str, object] = {}
    exec(_rewrite.rewrite_source(source, "case.py"), namespace)
    assert namespace["__doc__"] == "Doc."


@pytest.mark.parametrize("via", ["text", "tree"])
def test_assert_of_a_tuple_warns(via: str) -> None:
    with pytest.warns(_rewrite_text.AssertTupleWarning, match="always true"):
        compile_case("def case():\n    assert (1, 'message')\n", via)


@pytest.mark.parametrize(
    ("name", "path", "rewritten"),
    [
        ("test_listed", "pkg/test_listed.py", True),
        ("helpers", "pkg/helpers.py", False),
        ("conftest", "pkg/conftest.py", True),
        ("pkg.conftest", "pkg/conftest.py", True),
        ("test_pattern", "other/test_pattern.py", True),
        ("check_pattern", "other/check_pattern.py", True),
        ("marked.sub", "marked/sub.py", True),
        ("markedness", "markedness.py", False),
    ],
)
def test_which_modules_are_rewritten(tmp_path: Path, name: str, path: str, rewritten: bool) -> None:
    hook = _rewrite.Hook(
        {str(tmp_path / "pkg/test_listed.py")}, python_files=["test_*.py", "check_*.py"]
    )
    hook.mark_rewrite("marked")
    full = str(tmp_path / path)
    assert hook.should_rewrite(name, full) is rewritten
    assert (hook.spec_for(name, full) is not None) is rewritten
    if rewritten:
        assert not hook._bails_out_early(name)


@pytest.mark.parametrize("given", ["set", "contains"])
def test_a_set_of_paths_is_followed_as_it_grows(tmp_path: Path, given: str) -> None:
    paths: set[str] = set()
    hook = _rewrite.Hook(paths if given == "set" else paths.__contains__)
    later = str(tmp_path / "later_file.py")
    assert hook._bails_out_early("later_file") and not hook.should_rewrite("later_file", later)
    paths.add(later)
    assert not hook._bails_out_early("later_file") and hook.should_rewrite("later_file", later)
    assert hook._bails_out_early("json.decoder")


def test_a_predicate_never_bails_out_early() -> None:
    hook = _rewrite.Hook(lambda path: path.endswith("special.py"))
    assert not hook._bails_out_early("special")
    assert hook.should_rewrite("special", "/somewhere/special.py")


def test_mark_rewrite_refuses_what_is_not_a_name() -> None:
    with pytest.raises(TypeError, match="expected module names"):
        _rewrite.Hook(set()).mark_rewrite("ok", 3)  # type: ignore[arg-type]


def test_disabled_hook_installs_nothing() -> None:
    before = list(sys.meta_path)
    hook = _rewrite.install(set(), enabled=False)
    assert sys.meta_path == before
    assert hook.spec_for("test_x", "/somewhere/test_x.py") is None
    assert _rewrite.active_hook() is not hook


def test_install_and_uninstall() -> None:
    hook = _rewrite.install(set())
    try:
        assert sys.meta_path[0] is hook and _rewrite.active_hook() is hook
    finally:
        hook.uninstall()
    assert hook not in sys.meta_path and _rewrite.active_hook() is None


def run_python(directory: Path, script: str, **env: str) -> subprocess.CompletedProcess[str]:
    environment = clean_env()
    environment.pop("PYTHONDONTWRITEBYTECODE", None)
    environment.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        cwd=directory,
        env=environment,
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_register_assert_rewrite_in_conftest_and_pytest_plugins(tmp_path: Path) -> None:
    (tmp_path / "conftest.py").write_text(
        "import pytest\npytest.register_assert_rewrite('helper_pkg')\npytest_plugins = ['plugin_mod']\n"
        "import helper_pkg\n"
    )
    (tmp_path / "helper_pkg").mkdir()
    (tmp_path / "helper_pkg" / "__init__.py").write_text(
        "def check(value):\n    assert value == 2\n"
    )
    (tmp_path / "plugin_mod.py").write_text("def check(value):\n    assert value == 3\n")
    (tmp_path / "plain_mod.py").write_text("def check(value):\n    assert value == 4\n")
    script = """
        import sys
        sys.path.insert(0, ".")
        from trelkin import _rewrite
        _rewrite.install(set())
        import conftest, helper_pkg, plugin_mod, plain_mod
        for module in (helper_pkg, plugin_mod, plain_mod):
            try:
                module.check(1)
            except AssertionError as exc:
                print(repr(str(exc)))
    """
    for _ in range(2):  # the second run reads every module from the cache
        done = run_python(tmp_path, script)
        assert done.stdout.splitlines() == ["'assert 1 == 2'", "'assert 1 == 3'", "''"], done.stderr


CACHED = "def test_one():\n    assert 1 + 1 == 3\n"


def load(path: Path, name: str, hook: _rewrite.Hook) -> types.ModuleType:
    spec = hook.spec_for(name, str(path))
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def failure_text(module: types.ModuleType) -> str:
    with pytest.raises(AssertionError) as raised:
        module.test_one()
    return str(raised.value)


def test_cache_is_written_and_read(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    path = tmp_path / "test_cached.py"
    path.write_text(CACHED)
    hook = _rewrite.Hook({str(path)})
    assert failure_text(load(path, "test_cached", hook)) == "assert (1 + 1) == 3"
    pyc = Path(_rewrite.cache_path(str(path)))
    assert pyc.parent == tmp_path / "__pycache__"
    assert (
        pyc.name
        == f"test_cached.{sys.implementation.cache_tag}-trelkin-{_rewrite.FORMAT_VERSION}.pyc"
    )
    assert pyc.exists() and not list(pyc.parent.glob("*.pyc.*"))

    def no_rewriting(source: bytes, filename: str) -> types.CodeType:
        raise AssertionError("rewritten again")

    monkeypatch.setattr(_rewrite, "rewrite_source", no_rewriting)
    assert failure_text(load(path, "test_cached", hook)) == "assert (1 + 1) == 3"


def test_a_changed_source_is_rewritten_again(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    path = tmp_path / "test_changed.py"
    path.write_text(CACHED)
    hook = _rewrite.Hook({str(path)})
    load(path, "test_changed", hook)
    stat = path.stat()
    path.write_text(CACHED.replace("3", "42"))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))  # same mtime: the size tells
    assert failure_text(load(path, "test_changed", hook)) == "assert (1 + 1) == 42"


@pytest.mark.parametrize("obstacle", ["dont_write_bytecode", "unwritable", "cache_off"])
def test_cache_is_skipped_silently(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, obstacle: str
) -> None:
    monkeypatch.setattr(sys, "dont_write_bytecode", obstacle == "dont_write_bytecode")
    if obstacle == "unwritable":
        (tmp_path / "__pycache__").write_text("a file where the folder would be")
    path = tmp_path / "test_skipped.py"
    path.write_text(CACHED)
    hook = _rewrite.Hook({str(path)}, cache=obstacle != "cache_off")
    assert failure_text(load(path, "test_skipped", hook)) == "assert (1 + 1) == 3"
    assert not Path(_rewrite.cache_path(str(path))).exists()


def test_a_moved_tree_reuses_its_cache(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    (tmp_path / "old").mkdir()
    path = tmp_path / "old" / "test_moved.py"
    path.write_text(CACHED)
    load(path, "test_moved", _rewrite.Hook({str(path)}))
    (tmp_path / "old").rename(tmp_path / "new")
    moved = tmp_path / "new" / "test_moved.py"
    module = load(moved, "test_moved", _rewrite.Hook({str(moved)}))
    assert module.test_one.__code__.co_filename == str(moved)


@pytest.mark.parametrize("damage", [b"", b"short", b"x" * 40])
def test_a_damaged_cache_file_is_ignored(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, damage: bytes
) -> None:
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    path = tmp_path / "test_damaged.py"
    path.write_text(CACHED)
    pyc = Path(_rewrite.cache_path(str(path)))
    pyc.parent.mkdir()
    pyc.write_bytes(damage)
    assert (
        failure_text(load(path, "test_damaged", _rewrite.Hook({str(path)})))
        == "assert (1 + 1) == 3"
    )


def test_import_through_the_finder_with_assert_plain(tmp_path: Path) -> None:
    (tmp_path / "test_found.py").write_text(CACHED)
    script = """
        import sys
        sys.path.insert(0, ".")
        from trelkin import _rewrite
        _rewrite.install({"%s"}, enabled=%s)
        import test_found
        try:
            test_found.test_one()
        except AssertionError as exc:
            print(repr(str(exc)))
    """
    path = str(tmp_path / "test_found.py")
    assert run_python(tmp_path, script % (path, True)).stdout == "'assert (1 + 1) == 3'\n"
    assert run_python(tmp_path, script % (path, False)).stdout == "''\n"


# Sources the text rewriter must handle, or hand over to the tree rewriter (None): the
# failing assert's message is the same either way.
TEXT_CASES = [
    (
        "strings that look like code",
        's = "assert 1 == 2"\nt = """\nassert False\n"""\ndef case():\n    assert s == t  # assert in a comment\n',
        True,
    ),
    (
        "multi-line brackets",
        "def case():\n    assert [\n        1,\n        2,\n    ] == [1, 3]\n",
        True,
    ),
    (
        "backslash continuation",
        "def case():\n    x = 1\n    assert x == \\\n        2, \\\n        'message'\n",
        True,
    ),
    ("CRLF line ends", "def case():\r\n    x = 1\r\n    assert (x ==\r\n            2)\r\n", True),
    ("tabs", "def case():\n\tx = 1\n\tassert x == 2\n", True),
    ("non-ASCII text", "def case():\n    café = 'é'\n    assert café == 'e'\n", True),
    (
        "class body and module level",
        "class Case:\n    assert 1 == 1\nassert 2 == 2\ndef case():\n    assert 1 == 0\n",
        True,
    ),
    (
        "nested function",
        "def case():\n    def inner():\n        assert len('ab') == 3\n    inner()\n",
        True,
    ),
    (
        "f-string with its own quotes",
        'def case():\n    d = {"k": 1}\n    assert f"{d["k"]}" == "2"\n',
        False,
    ),
    ("assert after a colon", "def case():\n    if True: assert 1 == 2\n", False),
    ("assert before a semicolon", "def case():\n    assert 1 == 2; x = 1\n", False),
    ("latin-1 source", "# -*- coding: latin-1 -*-\ndef case():\n    assert 1 == 2\n", False),
]


@pytest.mark.parametrize(("label", "source", "by_text"), TEXT_CASES, ids=[c[0] for c in TEXT_CASES])
def test_text_rewriting_or_its_fallback(
    tmp_path: Path, label: str, source: str, by_text: bool
) -> None:
    encoding = "latin-1" if "latin-1" in source else "utf-8"
    data = source.encode(encoding)
    path = tmp_path / "test_text_case.py"
    path.write_bytes(data)
    assert (_rewrite_text.rewrite_text(data) is not None) is by_text
    plain: dict[str, object] = {}
    exec(compile(data, str(path), "exec"), plain)
    with pytest.raises(AssertionError):
        plain["case"]()  # type: ignore[operator]
    module = load(path, f"text_case_{abs(hash(label))}", _rewrite.Hook({str(path)}, cache=False))
    with pytest.raises(AssertionError) as raised:
        module.case()
    assert str(raised.value).splitlines()[0].startswith(("assert ", "message"))


def expressions() -> st.SearchStrategy[str]:
    """Assert expressions over traced calls: and/or/not, comparisons and their chains,
    arithmetic, attribute and method calls, walrus and literals."""
    leaves = st.one_of(
        st.integers(-2, 3).map(lambda n: f"t({n})"),
        st.integers(-2, 3).map(str),
        st.sampled_from(["x", "obj.attr", "obj.method(t(1))", "[t(0), 1][0]", "(x := t(2))"]),
    )

    def extend(inner: st.SearchStrategy[str]) -> st.SearchStrategy[str]:
        return st.one_of(
            st.tuples(inner, st.sampled_from([" and ", " or "]), inner).map(
                lambda p: f"({p[0]}{p[1]}{p[2]})"
            ),
            inner.map(lambda e: f"(not {e})"),
            st.tuples(inner, st.sampled_from(["==", "<", "!=", ">="]), inner).map(
                lambda p: f"({p[0]} {p[1]} {p[2]})"
            ),
            st.tuples(inner, inner, inner).map(lambda p: f"({p[0]} < {p[1]} <= {p[2]})"),
            st.tuples(inner, inner).map(lambda p: f"({p[0]} + {p[1]})"),
            inner.map(lambda e: f"t({e})"),
        )

    return st.recursive(leaves, extend, max_leaves=6)


@settings(max_examples=150, deadline=None)
@given(expression=expressions(), with_message=st.booleans())
def test_random_asserts_behave_as_plain_and_explain_themselves(
    expression: str, with_message: bool
) -> None:
    if with_message:
        expression += ", 'message ' + str(t(7))"
    plain = run_case(expression, "plain")
    for via in ("text", "tree"):
        assert repr(run_case(expression, via)) == repr(plain), via
    if plain[1] == "AssertionError":
        source = PRELUDE + f"def case():\n    x = 1\n    assert {expression}\n"
        texts = []
        for via in ("text", "tree"):
            namespace: dict[str, object] = {"events": []}
            exec(compile_case(source, via), namespace)
            with pytest.raises(AssertionError) as raised:
                namespace["case"]()  # type: ignore[operator]
            texts.append(str(raised.value))
        assert texts[0] == texts[1]
