"""Test discovery: the walk's rules, the source scan, the pattern, the order and bad input."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from conftest import run_python
from trelkin import _core

ONE_TEST = "def test_x():\n    pass\n"


@pytest.fixture
def tree(write_tree, tmp_path, monkeypatch):
    """Writes files under tmp_path and makes it the current directory, so roots are short."""
    monkeypatch.chdir(tmp_path)
    return write_tree


def found(root, *pattern):
    return [(item.path, item.name, item.line_no) for item in _core.discover_tests(root, *pattern)]


def paths(root):
    return [path for path, _, _ in found(root)]


# ---- the walk ---------------------------------------------------------------------------

KEPT = ["test.py", "tests.py", "testing.py", "test_api.py", "api_test.py", "_test.py",
        "venv/lib/test_a.py", "Site/test_a.py", "site-packages/test_a.py", "Target/test_a.py"]
LEFT_OUT = ["Test_api.py", "test_api.PY", "api.py", "apitest.py", "test_api.pyc",
            "test_api.py.bak", ".test_a.py", "pkg/.hidden/test_a.py", "pkg/__pycache__/test_a.py",
            "node_modules/x/test_a.py", "target/test_a.py", "site/test_a.py", ".git/test_a.py"]


def test_selects_test_files_and_prunes_excluded_names(tree):
    tree({f"root/{name}": ONE_TEST for name in KEPT + LEFT_OUT})
    assert paths("root") == sorted(f"root/{name}" for name in KEPT)


@pytest.mark.parametrize("root", ["target", ".cache", ".hidden/pkg", "node_modules"])
def test_root_is_never_pruned(tree, root):
    tree({f"{root}/test_a.py": ONE_TEST})
    assert paths(root) == [f"{root}/test_a.py"]


@pytest.mark.parametrize("root, expected", [
    ("tests", ["tests/pkg/test_b.py", "tests/test_a.py"]),
    ("tests/", ["tests/pkg/test_b.py", "tests/test_a.py"]),
    (".", ["./tests/pkg/test_b.py", "./tests/test_a.py"]),
    ("tests/pkg/../pkg", ["tests/pkg/../pkg/test_b.py"]),
    ("tests/test_a.py", ["tests/test_a.py"]),
    ("tests/setup.py", []),
    ("missing", []),
    ("", []),
    ("tests\0", []),
])
def test_paths_are_built_from_the_root_text(tree, root, expected):
    tree({"tests/test_a.py": ONE_TEST, "tests/pkg/test_b.py": ONE_TEST, "tests/setup.py": ONE_TEST})
    assert paths(root) == expected


def test_absolute_root_and_str_subclass(tree, tmp_path):
    class Text(str):
        pass

    tree({"test_a.py": ONE_TEST})
    assert paths(Text(tmp_path)) == [f"{tmp_path}/test_a.py"]


def test_links_are_followed_and_cycles_not_entered(tree):
    tree({"root/real/test_a.py": ONE_TEST, "root/pkg/test_b.py": ONE_TEST,
          "elsewhere/helper.py": ONE_TEST})
    os.symlink("../elsewhere/helper.py", "root/test_link.py")
    os.symlink("real", "root/linked")
    os.symlink("real", "root/linked_too")
    os.symlink("missing.py", "root/test_dangling.py")
    os.symlink("..", "root/pkg/up")
    os.symlink(".", "root/pkg/itself")
    os.symlink("root", "alias")
    expected = ["linked/test_a.py", "linked_too/test_a.py", "pkg/test_b.py", "real/test_a.py",
                "test_link.py"]
    assert paths("root") == [f"root/{path}" for path in expected]
    assert paths("alias") == [f"alias/{path}" for path in expected]


def test_deep_tree_within_ten_open_directories(tree, tmp_path):
    # Tests at every depth, beside and below the descent, with too few file descriptors
    # left for one open directory per level: every level must still be listed.
    files, level = {}, "deep"
    for depth in range(30):
        files[f"{level}/test_{depth}.py"] = ONE_TEST
        files[f"{level}/side_{depth}/test_side_{depth}.py"] = ONE_TEST
        level += "/d"
    tree(files)
    result = run_python("""
        import os, resource, trelkin._core as core
        core.discover_tests("deep/side_0")  # creates the pool and imports ast
        highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 13, hard))
        print(sorted(item.path for item in core.discover_tests("deep")))
    """, cwd=tmp_path)
    assert result.stderr == ""
    assert result.stdout == f"{sorted(files)}\n"


@pytest.mark.skipif(os.geteuid() == 0, reason="root can list every directory")
def test_unreadable_directory_is_left_out(tree):
    tree({"root/locked/test_a.py": ONE_TEST, "root/test_b.py": ONE_TEST})
    os.chmod("root/locked", 0)
    try:
        assert paths("root") == ["root/test_b.py"]
        assert paths("root/locked") == []
    finally:
        os.chmod("root/locked", 0o755)


def test_non_utf8_name_is_listed_with_replacement(tree):
    tree({"root/test_\ufffd.py": "def test_real(): pass\n"})
    with open(b"root/test_\xff.py", "wb") as file:
        file.write(b"def test_hidden(): pass\n")
    # The raw name's text names the other file, which is therefore scanned twice.
    assert found("root") == [("root/test_\ufffd.py", "test_real", 1)] * 2


def test_pipes_named_like_tests_are_never_opened(tmp_path):
    os.mkfifo(tmp_path / "test_pipe.py")
    os.mkfifo(tmp_path / "test_\ufffd.py")
    with open(os.fsencode(tmp_path) + b"/test_\xff.py", "wb") as file:
        file.write(ONE_TEST.encode())
    result = run_python(f"""
        import trelkin._core as core
        root = {str(tmp_path)!r}
        print(core.discover_tests(root), core.discover_tests(root + "/test_pipe.py"))
    """, timeout=30)
    assert result.stdout == "[] []\n"


# ---- the scan ---------------------------------------------------------------------------

SOURCE = '''\
import functools


def test(): pass
def testing_helper(): pass
def Test_it(): pass
def my_test(): pass
async def test_fetch(): pass


class TestParser:
    def test_empty(self): pass
    async def test_stream(self): pass
    def prepare(self): pass
    class TestInner:
        def test_inner(self): pass


class Tests:
    """Docstring."""
    value = 1
    def test_y(self): pass


class test_parser:
    def test_z(self): pass
class ParserTest:
    def test_w(self): pass
class TestNothing:
    pass


if __name__ == "__main__":
    def test_guarded(): pass
def outer():
    def test_nested(): pass


def test_twice(): pass
def test_twice(): pass


@functools.lru_cache
@staticmethod
def test_decorated(): pass
'''


def test_scan_finds_top_level_tests_and_test_class_methods(tree, capfd):
    tree({"test_source.py": SOURCE})
    assert [(name, line) for _, name, line in found("test_source.py")] == [
        ("test", 4), ("testing_helper", 5), ("test_fetch", 8),
        ("TestParser::test_empty", 12), ("TestParser::test_stream", 13),
        ("Tests::test_y", 22), ("test_twice", 39), ("test_twice", 40), ("test_decorated", 45),
    ]
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("content", [
    b"def test_a(:\n    pass\n",
    "# -*- coding: latin-1 -*-\ndef test_caf\xe9(): pass\n".encode("latin-1"),
    b"\xef\xbb\xbfdef test_a(): pass\n",  # the mark stays in the text, which the host refuses
    b"def test_a(): pass\n\0\n",
    b"",
], ids=["syntax-error", "latin-1", "byte-order-mark", "nul", "empty"])
def test_file_that_cannot_be_scanned_gives_nothing_and_prints_nothing(tree, capfd, content):
    tree({"root/test_good.py": ONE_TEST})
    Path("root/test_bad.py").write_bytes(content)
    assert found("root") == [("root/test_good.py", "test_x", 1)]
    assert capfd.readouterr() == ("", "")


def test_concurrent_and_nested_calls_agree(write_tree, tmp_path):
    # From several Python threads at once, and from tests that a parallel run executes on
    # the pool's threads: every call must see the whole tree, and none may hang.
    write_tree({f"pkg{i}/test_{j}.py": ONE_TEST for i in range(4) for j in range(10)})
    result = run_python(f"""
        import sys, threading, types, trelkin._core as core
        root = {str(tmp_path)!r}
        counts = []
        compat = types.ModuleType("trelkin._compat")
        compat._execute_test = lambda *args: counts.append(len(core.discover_tests(root)))
        sys.modules["trelkin._compat"] = compat
        items = core.discover_tests(root)
        threads = [threading.Thread(target=compat._execute_test) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        results = core.run_tests(items[:8])
        print(len(items), sorted(set(counts)), len(counts), all(r.passed for r in results))
    """, timeout=60)
    assert result.stdout == "40 [40] 12 True\n", result.stderr


# ---- the pattern ------------------------------------------------------------------------

PATTERN_TREE = {
    "tests/test_misc.py": """\
        def test_parse_empty(): pass
        def test_other(): pass
        class TestParser:
            def test_a(self): pass
        """,
    "tests/Parser/test_x.py": "def test_one(): pass\n",
    "tests/\u00dcber/test_y.py": "def test_two(): pass\n",
    "tests/test_words.py": """\
        def test_\u03bf\u03b4\u03bf\u03c2(): pass
        def test_\u0130STANBUL(): pass
        def test_stra\u00dfe(): pass
        """,
}
ALL_NAMES = ["test_one", "test_parse_empty", "test_other", "TestParser::test_a", "test_οδος",
             "test_İSTANBUL", "test_straße", "test_two"]


@pytest.mark.parametrize("pattern, expected", [
    ((), ALL_NAMES),
    ((None,), ALL_NAMES),
    (("",), ALL_NAMES),
    (("tests",), ALL_NAMES),  # every path begins with the root text
    (("PARSE",), ["test_one", "test_parse_empty", "TestParser::test_a"]),
    (("testparser::",), ["TestParser::test_a"]),
    (("\u039f\u0394\u039f\u03a3",), ["test_οδος"]),  # final sigma on both sides
    (("\u0130",), ["test_İSTANBUL"]),  # İ lowercases to two code points
    (("STRASSE",), []),  # lowercase, not case folding
    (("\u00fcBER",), ["test_two"]),  # matched on the path
])
def test_pattern_keeps_matching_names_or_paths(tree, pattern, expected):
    tree(PATTERN_TREE)
    assert [name for _, name, _ in found("tests", *pattern)] == expected


# ---- the order --------------------------------------------------------------------------

def test_items_are_sorted_by_path_bytes_then_line(tree):
    names = ["test_b.py", "a/test_x.py", "test_a_b.py", "test_a.py", "alpha/test_z.py",
             "Zeta/test_z.py", "\u00e9/test_z.py"]
    tree({f"tests/{name}": "def test_c(): pass\n\n\n\ndef test_d(): pass\n" for name in names})
    tree({"tests/test_a.py": """\
        class TestX:
            def test_b(self): pass
        def test_a(): pass
        class TestY:
            def test_c(self): pass
        """})
    assert [(path[6:], name, line) for path, name, line in found("tests")] == [
        ("Zeta/test_z.py", "test_c", 1), ("Zeta/test_z.py", "test_d", 5),
        ("a/test_x.py", "test_c", 1), ("a/test_x.py", "test_d", 5),
        ("alpha/test_z.py", "test_c", 1), ("alpha/test_z.py", "test_d", 5),
        ("test_a.py", "TestX::test_b", 2), ("test_a.py", "test_a", 3),
        ("test_a.py", "TestY::test_c", 5),
        ("test_a_b.py", "test_c", 1), ("test_a_b.py", "test_d", 5),
        ("test_b.py", "test_c", 1), ("test_b.py", "test_d", 5),
        ("\u00e9/test_z.py", "test_c", 1), ("\u00e9/test_z.py", "test_d", 5),
    ]


# ---- bad arguments ----------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message, param", [
    ((Path("tests"),), {}, "'PosixPath' object is not an instance of 'str'", "root_dir"),
    ((b"tests",), {}, "'bytes' object is not an instance of 'str'", "root_dir"),
    ((None,), {}, "'None' is not an instance of 'str'", "root_dir"),
    ((1,), {"pattern": 2}, "'int' object is not an instance of 'str'", "root_dir"),
    (("/no/such/root", b"x"), {}, "'bytes' object is not an instance of 'str'", "pattern"),
    (("/no/such/root",), {"pattern": 1}, "'int' object is not an instance of 'str'", "pattern"),
])
def test_bad_arguments_raise_with_note(args, kwargs, message, param):
    with pytest.raises(TypeError) as raised:
        _core.discover_tests(*args, **kwargs)
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{param}'"]


def test_missing_root_is_refused():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'root_dir'"):
        _core.discover_tests()
