"""Reference and memory leak checks in the manner of CPython's -R runs: every public
function, getter, setter and repr(), on the way to success and on every way to an error,
called many times over; both runners over passing, failing and erroring tests; discovery
over good and broken files. The count of live interpreter blocks and the C heap in use may
not grow round after round."""

from __future__ import annotations

import ctypes
import gc
import io
import os
import sys
import types
from collections.abc import Callable
from pathlib import Path

import pytest

from conftest import make_item
from test_properties import (NUMPY_KINDS, FailingIter, FailingLength, FailingMidway, Hostile,
                             Index, RaisingIndex, Shrinking, Text)
from trelkin import _core

# Under the sanitizer run PYTHONMALLOC=malloc leaves sys.getallocatedblocks() at 0 and the
# sanitizer replaces the C heap, so neither measure means anything there.
pytestmark = pytest.mark.skipif(
    sys.getallocatedblocks() == 0 or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs the interpreter's own allocator and glibc's heap")

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_in_use() -> int:
    """Bytes of the C heap in use over all arenas, mapped chunks included: C++ records and
    strings live here, out of sight of sys.getallocatedblocks()."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def assert_no_leak(call: Callable[[], object], calls: int = 200, rounds: int = 20) -> None:
    """Calls `call` round after round, `calls` times a round, after as many calls to warm
    caches, free lists, interned strings and the pool's threads up. One object or one small
    C++ string lost per call grows every round by at least `calls` blocks or 32 * `calls`
    bytes; a cache still filling grows for a while and then stops. So the check passes once
    some round has stayed below each bound, and fails when none has in `rounds` rounds."""
    for _ in range(calls):
        call()
    blocks, heap = [], []
    for _ in range(rounds):
        gc.collect()
        blocks_before, heap_before = sys.getallocatedblocks(), heap_in_use()
        for _ in range(calls):
            call()
        gc.collect()
        blocks.append(sys.getallocatedblocks() - blocks_before)
        heap.append(heap_in_use() - heap_before)
        if min(blocks) < calls // 4 and min(heap) < calls * 16:
            return
    raise AssertionError(f"grew in every round: blocks {blocks}, heap bytes {heap}")


def raising(error: type[BaseException], call: Callable[[], object]) -> Callable[[], None]:
    def check() -> None:
        try:
            call()
        except error:
            return
        raise AssertionError(f"{error.__name__} not raised")
    return check


# The objects that misbehave are those the properties draw from; each is made once here, as a
# new class per call would measure the interpreter's type caches instead.
NUMPY_FALSE = NUMPY_KINDS["numpy", "bool_", "false"]()
NUMPY_RAISING = NUMPY_KINDS["numpy", "bool", "raises"]()


ITEM = make_item("dir/t.py", "TestA::test_b", 7, "[1, 2]")
RESULT = _core.test_result_failed(ITEM, "out", "err", 3, "ValueError: x", "Traceback ...")


def set_attribute(name, value):
    return lambda: setattr(make_item(), name, value)


def delete_attribute(name):
    return lambda: delattr(make_item(), name)


RECORD_CASES = {
    "TestItem()": _core.TestItem,
    "TestItem(1)": raising(TypeError, lambda: _core.TestItem(1)),
    "TestItem(path=)": raising(TypeError, lambda: _core.TestItem(path="a")),
    "TestResult()": raising(TypeError, lambda: _core.TestResult()),
    "get path": lambda: ITEM.path,
    "get name": lambda: ITEM.name,
    "get args_json": lambda: ITEM.args_json,
    "get line_no": lambda: ITEM.line_no,
    "set path": set_attribute("path", "a/b.py" * 10),
    "set name str subclass": set_attribute("name", Text("test_" * 10)),
    "set args_json": set_attribute("args_json", '{"a": "\u00e9\U0001f600"}'),
    "set line_no": set_attribute("line_no", 2**32 - 1),
    "set line_no index": set_attribute("line_no", Index(9)),
    "set path not str": raising(TypeError, set_attribute("path", b"x")),
    "set name None": raising(TypeError, set_attribute("name", None)),
    "set args_json surrogate": raising(UnicodeEncodeError, set_attribute("args_json", "\udc80")),
    "delete path": raising(AttributeError, delete_attribute("path")),
    "delete line_no": raising(AttributeError, delete_attribute("line_no")),
    "set line_no negative": raising(OverflowError, set_attribute("line_no", -1)),
    "set line_no 2**32": raising(OverflowError, set_attribute("line_no", 2**32)),
    "set line_no huge": raising(OverflowError, set_attribute("line_no", 2**200)),
    "set line_no float": raising(TypeError, set_attribute("line_no", 1.5)),
    "set line_no raising index": raising(Hostile, set_attribute("line_no", RaisingIndex())),
    "repr item": lambda: repr(ITEM),
    "repr bare item": lambda: repr(_core.TestItem()),
    "passed": lambda: _core.test_result_passed(ITEM, "out" * 20, "err" * 20, 5),
    "passed keywords": lambda: _core.test_result_passed(
        test=ITEM, output=Text("o"), error_output="", duration_ms=Index(2**64 - 1)),
    "failed": lambda: _core.test_result_failed(ITEM, "o", "e", 0, "E: x" * 10, "tb" * 30),
    "failed no traceback": lambda: _core.test_result_failed(ITEM, "o", "e", 0, "E", None),
    "passed bad test": raising(TypeError, lambda: _core.test_result_passed(1, "", "", 0)),
    "passed bad output": raising(TypeError, lambda: _core.test_result_passed(ITEM, None, "", 0)),
    "passed surrogate": raising(
        UnicodeEncodeError, lambda: _core.test_result_passed(ITEM, "", "\ud800", 0)),
    "passed negative": raising(OverflowError, lambda: _core.test_result_passed(ITEM, "", "", -1)),
    "passed 2**64": raising(OverflowError, lambda: _core.test_result_passed(ITEM, "", "", 2**64)),
    "passed raising index": raising(
        Hostile, lambda: _core.test_result_passed(ITEM, "", "", RaisingIndex())),
    "passed missing": raising(TypeError, lambda: _core.test_result_passed(ITEM)),
    "passed too many": raising(TypeError, lambda: _core.test_result_passed(ITEM, "", "", 0, 1)),
    "passed unknown keyword": raising(
        TypeError, lambda: _core.test_result_passed(ITEM, "", "", 0, colour=1)),
    "passed twice": raising(TypeError, lambda: _core.test_result_passed(ITEM, "", "", 0, test=1)),
    "failed bad error": raising(
        TypeError, lambda: _core.test_result_failed(ITEM, "", "", 0, None, None)),
    "failed bad traceback": raising(
        TypeError, lambda: _core.test_result_failed(ITEM, "", "", 0, "", 1)),
    "get test": lambda: RESULT.test,
    "get passed": lambda: RESULT.passed,
    "get output": lambda: RESULT.output,
    "get error_output": lambda: RESULT.error_output,
    "get duration_ms": lambda: RESULT.duration_ms,
    "get error": lambda: RESULT.error,
    "get traceback": lambda: RESULT.traceback,
    "repr result": lambda: repr(RESULT),
}


@pytest.mark.parametrize("case", list(RECORD_CASES))
def test_records_and_constructors(case):
    assert_no_leak(RECORD_CASES[case])


# ---- the runners ------------------------------------------------------------------------

class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no str")


def chained():
    try:
        {}["missing"]
    except KeyError as cause:
        raise ValueError("wrapped " * 20) from cause


def failing_assert():
    assert 1 == 2, "one is not two"


def noisy():
    print("out " * 50)
    sys.stderr.write("err \udc80 " * 10)


BEHAVIOURS = {
    "test_pass": lambda: None,
    "test_noisy": noisy,
    "test_assert": failing_assert,
    "test_chained": chained,
    "test_bad_str": lambda: (_ for _ in ()).throw(BadStr()),
    "test_exit": lambda: sys.exit(3),
    "test_interrupt": lambda: (_ for _ in ()).throw(KeyboardInterrupt()),
    "test_replaces_stdout": lambda: setattr(sys, "stdout", io.StringIO()),
    "test_deletes_stdout": lambda: delattr(sys, "stdout"),
}


@pytest.fixture
def executor(monkeypatch):
    """An executor that keeps no record of its calls, which would itself grow."""
    module = types.ModuleType("trelkin._compat")
    module._execute_test = lambda path, name, args_json: BEHAVIOURS[name]()
    monkeypatch.setitem(sys.modules, "trelkin._compat", module)
    monkeypatch.setattr(sys, "stdout", sys.stdout)
    monkeypatch.setattr(sys, "stderr", sys.stderr)
    return module


ALL_KINDS = [make_item(f"f{i % 3}.py", name, i, "[1]" if i % 2 else "")
             for i, name in enumerate(BEHAVIOURS)]
ONE_FILE = [make_item("only.py", name, i) for i, name in enumerate(BEHAVIOURS)]

# Each case: the error it must raise, or None, and the call given the runner.
RUN_CASES = {
    "several files": (None, lambda run: run(ALL_KINDS)),
    "one file": (None, lambda run: run(ONE_FILE)),
    "nocapture": (None, lambda run: run([make_item("a.py", "test_assert"),
                                         make_item("b.py", "test_chained")], nocapture=True)),
    "tuple": (None, lambda run: run(tuple(ALL_KINDS[:3]))),
    "empty": (None, lambda run: run([])),
    "failing length": (None, lambda run: run(FailingLength(ALL_KINDS[:2]))),
    "shrinking": (None, lambda run: run(Shrinking(ALL_KINDS))),
    "numpy-like flag": (None, lambda run: run(ALL_KINDS[:2], nocapture=NUMPY_FALSE)),
    "str": (TypeError, lambda run: run("abc")),
    "not a sequence": (TypeError, lambda run: run(5)),
    "not an item": (TypeError, lambda run: run([ALL_KINDS[0], 1])),
    "failing iter": (Hostile, lambda run: run(FailingIter(ALL_KINDS))),
    "failing midway": (Hostile, lambda run: run(FailingMidway(ALL_KINDS))),
    "bad flag": (TypeError, lambda run: run([], nocapture=1)),
    "failing truth": (Hostile, lambda run: run([], nocapture=NUMPY_RAISING)),
    "missing tests": (TypeError, lambda run: run()),
    "unknown keyword": (TypeError, lambda run: run([], workers=2)),
}


def checked(error, call):
    return raising(error, call) if error else call


@pytest.mark.parametrize("runner", [_core.run_tests_sequential, _core.run_tests],
                         ids=["sequential", "parallel"])
@pytest.mark.parametrize("case", list(RUN_CASES))
def test_runners(executor, runner, case):
    error, call = RUN_CASES[case]
    assert_no_leak(checked(error, lambda: call(runner)), calls=60)


@pytest.mark.parametrize("num_workers, error", [
    (None, None), (4, None), (Index(2), None), (-1, OverflowError), (2**64, OverflowError),
    ("4", TypeError), (RaisingIndex(), Hostile),
])
def test_parallel_runner_num_workers(executor, num_workers, error):
    assert_no_leak(checked(error, lambda: _core.run_tests(ALL_KINDS[:2], num_workers)), calls=60)


@pytest.mark.parametrize("runner", [_core.run_tests_sequential, _core.run_tests],
                         ids=["sequential", "parallel"])
@pytest.mark.parametrize("setup", ["no executor module", "no executor function",
                                   "no buffers"])
def test_runners_when_the_harness_fails(monkeypatch, runner, setup):
    if setup == "no executor module":
        monkeypatch.setitem(sys.modules, "trelkin._compat", None)
    elif setup == "no executor function":
        monkeypatch.setitem(sys.modules, "trelkin._compat", types.ModuleType("trelkin._compat"))
    else:
        def no_buffer():
            raise MemoryError("no buffer")
        monkeypatch.setattr(io, "StringIO", no_buffer)
    items = [make_item("a.py"), make_item("b.py")]
    assert_no_leak(lambda: runner(items), calls=60)


# ---- discovery --------------------------------------------------------------------------

GOOD = """\
import os

def test_top():
    pass

async def test_async():
    pass

class TestGroup:
    def test_method(self):
        pass

    class TestNested:
        def test_inner(self):
            pass
"""

BROKEN = {
    "test_syntax.py": b"def test_a(:\n    pass\n",
    "test_nul.py": b"def test_a():\n    pass\n\0",
    "test_latin1.py": "def test_caf\xe9(): pass\n".encode("latin-1"),
    "test_binary.py": bytes(range(256)) * 16,
    "test_deep.py": b"x = " + b"(" * 5000 + b")" * 5000 + b"\n",
}


@pytest.fixture(scope="module")
def tree(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("tree")
    for directory in ("pkg", "pkg/sub", "\u00fcber", ".hidden", "__pycache__"):
        (root / directory).mkdir()
        (root / directory / "test_good.py").write_text(GOOD)
    (root / "pkg" / "helper.py").write_text(GOOD)
    for name, content in BROKEN.items():
        (root / "pkg" / name).write_bytes(content)
    os.symlink("..", root / "pkg" / "sub" / "up")
    os.symlink("missing", root / "pkg" / "test_dangling.py")
    with open(os.fsencode(root / "pkg") + b"/test_\xff.py", "w") as file:
        file.write(GOOD)
    return root


DISCOVER_CASES = {
    "tree": (None, lambda root: _core.discover_tests(str(root))),
    "pattern": (None, lambda root: _core.discover_tests(str(root), "Group")),
    "non-ascii pattern": (None, lambda root: _core.discover_tests(str(root), "\u00dcBER")),
    "pattern matches nothing": (None, lambda root: _core.discover_tests(str(root), pattern="zzz")),
    "str subclass": (None, lambda root: _core.discover_tests(Text(root), Text("top"))),
    "file root": (None, lambda root: _core.discover_tests(f"{root}/pkg/test_good.py")),
    "missing root": (None, lambda root: _core.discover_tests(f"{root}/missing")),
    "root with nul": (None, lambda root: _core.discover_tests(f"{root}\0")),
    "bad root": (TypeError, lambda root: _core.discover_tests(root)),
    "surrogate root": (UnicodeEncodeError, lambda root: _core.discover_tests("\udcff")),
    "bad pattern": (TypeError, lambda root: _core.discover_tests(str(root), b"x")),
    "no root": (TypeError, lambda root: _core.discover_tests()),
}


@pytest.mark.parametrize("case", list(DISCOVER_CASES))
def test_discovery(tree, case):
    error, call = DISCOVER_CASES[case]
    assert_no_leak(checked(error, lambda: call(tree)), calls=30)


# ---- the measure itself -----------------------------------------------------------------

_kept: list[object] = []


@pytest.mark.parametrize("leak", ["object", "c heap"])
def test_the_check_sees_a_leak(leak):
    # Guards the check against measuring nothing: one lost object or one lost small C
    # allocation per call must fail it.
    if leak == "object":
        call = lambda: _kept.append(object())  # noqa: E731
    else:
        _libc.malloc.restype = ctypes.c_void_p
        call = lambda: _libc.malloc(48)  # noqa: E731
    with pytest.raises(AssertionError, match="grew in every round"):
        assert_no_leak(call, calls=100)
