"""Properties over arbitrary input: any object for any parameter of any function or setter
gives either the converted value or one of the documented errors, with the argument note,
and never a crash or a leak; any list of tests gives the same results, in the same order,
from both runners.

Each drawn object is described by a recipe that builds it afresh, so an object that changes
while it is read (a sequence that mutates as it is iterated) is read once by the model and
once by the call under test."""

from __future__ import annotations

import contextlib
import functools
import os
import sys
import types
from collections.abc import Callable, Sequence
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import make_item
from trelkin import _core

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# Fewer examples against the sanitized build, where every call is several times slower.
EXAMPLES = 25 if SANITIZED else 80
PROPERTY = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


class Hostile(Exception):
    """Raised by the drawn objects themselves; it must come through unchanged."""


# ---- the objects ------------------------------------------------------------------------

class Text(str):
    pass


class TextWithHooks(str):
    """A str subclass whose Python-level hooks all fail: only its content may be read."""

    def __str__(self):
        raise Hostile("__str__")

    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")

    def encode(self, *args, **kwargs):
        raise Hostile("encode")


class Number(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class RaisingIndex:
    def __index__(self):
        raise Hostile("__index__")

    def __int__(self):
        return 1


class RaisingStr:
    def __str__(self):
        raise Hostile("__str__")

    __repr__ = __str__


class HostileMeta(type):
    def __getattribute__(cls, name):
        if name in ("__module__", "__name__", "__qualname__"):
            raise Hostile(name)
        return super().__getattribute__(name)


class HostileType(metaclass=HostileMeta):
    pass


def numpy_bool(module: Any, name: str, truth: Callable[[], Any] | None):
    namespace = {} if truth is None else {"__bool__": lambda self: truth()}
    kind = type(name, (), namespace)
    kind.__module__ = module
    return kind


def hostile_truth():
    raise Hostile("__bool__")


NUMPY_KINDS = {
    (module, name, label): numpy_bool(module, name, truth)
    for module in ("numpy", Text("numpy"), "numpy.core")
    for name in ("bool_", "bool", "int64")
    for label, truth in (("true", lambda: True), ("false", lambda: False),
                         ("raises", hostile_truth), ("returns 1", lambda: 1), ("none", None))
}


class FailingIter(list):
    def __iter__(self):
        raise Hostile("__iter__")


class FailingLength(list):
    def __len__(self):
        raise Hostile("__len__")


class FailingMidway(list):
    def __iter__(self):
        yield from super().__iter__()
        raise Hostile("midway")


class Growing(list):
    """Appends a few more entries of itself while it is iterated."""

    def __iter__(self):
        added = 0
        for value in super().__iter__():
            if added < 3:
                self.append(value)
                added += 1
            yield value


class Shrinking(list):
    def __iter__(self):
        for index, value in enumerate(super().__iter__()):
            if index == 0:
                del self[1:]
            yield value


class OldStyle:
    """A sequence by __getitem__ alone, ending with IndexError."""

    def __init__(self, values):
        self.values = list(values)

    def __getitem__(self, index):
        return self.values[index]


class Strict(Sequence):
    """A registered Sequence whose __getitem__ fails past the first element."""

    def __init__(self, values):
        self.values = list(values)

    def __len__(self):
        return len(self.values)

    def __getitem__(self, index):
        if index > 0:
            raise Hostile("__getitem__")
        return self.values[index]


SEQUENCES = {"list": list, "tuple": tuple, "failing iter": FailingIter,
             "failing length": FailingLength, "failing midway": FailingMidway,
             "growing": Growing, "shrinking": Shrinking, "old style": OldStyle,
             "strict": Strict,
             # Not sequences whatever they hold; their keys are positions, as the drawn
             # objects need not be hashable.
             "set": lambda values: set(range(len(values))),
             "dict keys": lambda values: dict.fromkeys(range(len(values))).keys(),
             "dict": lambda values: dict(enumerate(values)),
             "generator": lambda values: (value for value in values)}

# st.text() never draws a lone surrogate, so half of the texts are joined from characters.
texts = st.one_of(st.text(max_size=20), st.lists(st.one_of(
    st.characters(), st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)),
    max_size=20).map("".join))
ints = st.one_of(
    st.integers(),
    st.sampled_from([0, 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -1,
                     -2**63, -2**63 - 1, -2**64]),
    st.builds(lambda exponent, sign: sign * 2**exponent, st.integers(0, 5000),
              st.sampled_from([1, -1])),
)


def item_recipe(path: str, name: str, line: int) -> Callable[[], Any]:
    return functools.partial(make_item, path, name, line)


items = st.builds(item_recipe, st.sampled_from(["a.py", "b.py", "d/\u00e9.py"]),
                  st.sampled_from(["test_a", "test_b"]), st.integers(0, 2**32 - 1))
# A recipe is a zero-argument callable that builds the object; partial() shows in reports.
scalars = st.one_of(
    ints.map(lambda n: functools.partial(int, n)),
    ints.map(lambda n: functools.partial(Number, n)),
    ints.map(lambda n: functools.partial(Index, n)),
    st.sampled_from([bool, functools.partial(bool, 1)]),
    st.floats().map(lambda x: functools.partial(float, x)),
    texts.map(lambda text: functools.partial(str, text)),
    texts.map(lambda text: functools.partial(Text, text)),
    texts.map(lambda text: functools.partial(TextWithHooks, text)),
    st.binary(max_size=8).map(lambda data: functools.partial(bytes, data)),
    st.sampled_from([type(None), RaisingIndex, RaisingStr, HostileType, object,
                     functools.partial(Index, "7"), functools.partial(Index, 2.0),
                     functools.partial(complex, 1, 1), functools.partial(bytearray, b"ab")]),
    st.sampled_from(list(NUMPY_KINDS.values())),
    items,
)


def sequence_recipe(kind: str, elements: list[Callable[[], Any]]) -> Callable[[], Any]:
    return functools.partial(lambda: SEQUENCES[kind]([make() for make in elements]))


sequences = st.builds(sequence_recipe, st.sampled_from(list(SEQUENCES)),
                      st.lists(st.one_of(items, items, scalars), max_size=4))
anything = st.one_of(scalars, sequences)
# What each kind of parameter is drawn from besides anything at all: the values near its
# edges, so that acceptance and each error are all met often.
FOCUS = {
    "text": st.one_of(*(texts.map(lambda text, kind=kind: functools.partial(kind, text))
                        for kind in (str, Text, TextWithHooks))),
    "number": st.one_of(ints.map(lambda n: functools.partial(int, n)),
                        ints.map(lambda n: functools.partial(Index, n)),
                        st.just(RaisingIndex)),
    "flag": st.sampled_from([bool, functools.partial(bool, 1), *NUMPY_KINDS.values()]),
    "item": items,
    "items": st.builds(sequence_recipe, st.sampled_from(list(SEQUENCES)),
                       st.lists(items, max_size=5)),
}


# ---- the model of the conversions -------------------------------------------------------

def text_value(value):
    if not isinstance(value, str):
        raise TypeError
    text = str.__str__(value)
    text.encode("utf-8")  # UnicodeEncodeError for a lone surrogate
    return text


def optional_text_value(value):
    return None if value is None else text_value(value)


def unsigned_value(bits):
    def convert(value):
        number = int.__index__(value) if isinstance(value, int) else _index(value)
        if not 0 <= number < 2**bits:
            raise OverflowError
        return number
    return convert


def _index(value):
    hook = getattr(type(value), "__index__", None)
    if hook is None:
        raise TypeError
    number = hook(value)
    if type(number) is not int:
        raise TypeError
    return number


def optional_unsigned_value(value):
    return None if value is None else unsigned_value(64)(value)


def flag_value(value):
    if value is True or value is False:
        return value
    kind = type(value)
    try:
        module = kind.__module__
    except Hostile:
        raise TypeError from None
    name = type.__getattribute__(kind, "__name__")
    if not (isinstance(module, str) and str.__eq__(module, "numpy")
            and name in ("bool_", "bool")):
        raise TypeError
    hook = getattr(kind, "__bool__", None)
    if hook is None:
        raise TypeError
    truth = hook(value)
    if type(truth) is not bool:
        raise TypeError
    return truth


def item_value(value):
    if not isinstance(value, _core.TestItem):
        raise TypeError
    return (value.path, value.name, value.line_no, value.args_json)


def items_value(value):
    if isinstance(value, str) or isinstance(value, dict) or not hasattr(
            type(value), "__getitem__"):
        raise TypeError
    return [item_value(element) for element in value]


def model(convert: Callable[[Any], Any], value: Any) -> tuple[str, Any]:
    try:
        return "value", convert(value)
    except (TypeError, OverflowError, UnicodeEncodeError, Hostile) as error:
        return "error", type(error)


# ---- the functions and setters ----------------------------------------------------------

def run_summary(results):
    return [(r.test.path, r.test.name, r.test.line_no, r.test.args_json) for r in results]


def expected_run(tests):
    return sorted(tests, key=lambda test: (test[0].encode(), test[2]))


ITEM = make_item("dir/t.py", "test_x", 3, "[1]")


def setter(field):
    def call(value):
        item = make_item()
        setattr(item, field, value)
        return getattr(item, field)
    return call


# Each target: the parameter's conversion, the call with the drawn value in that place and
# valid values elsewhere, and what a successful call returns for a converted value.
TARGETS: dict[str, tuple[Callable, Callable, Callable]] = {
    "TestItem.path": (text_value, setter("path"), lambda v: v),
    "TestItem.name": (text_value, setter("name"), lambda v: v),
    "TestItem.args_json": (text_value, setter("args_json"), lambda v: v),
    "TestItem.line_no": (unsigned_value(32), setter("line_no"), lambda v: v),
    "test_result_passed.test": (
        item_value, lambda v: item_value(_core.test_result_passed(v, "", "", 0).test),
        lambda v: v),
    "test_result_passed.output": (
        text_value, lambda v: _core.test_result_passed(ITEM, v, "", 0).output, lambda v: v),
    "test_result_passed.error_output": (
        text_value, lambda v: _core.test_result_passed(ITEM, "", error_output=v,
                                                       duration_ms=0).error_output,
        lambda v: v),
    "test_result_passed.duration_ms": (
        unsigned_value(64), lambda v: _core.test_result_passed(ITEM, "", "", v).duration_ms,
        lambda v: v),
    "test_result_failed.error": (
        text_value, lambda v: _core.test_result_failed(ITEM, "", "", 0, v, None).error,
        lambda v: v),
    "test_result_failed.traceback": (
        optional_text_value,
        lambda v: _core.test_result_failed(ITEM, "", "", 0, "", traceback=v).traceback,
        lambda v: v),
    "run_tests_sequential.tests": (
        items_value, lambda v: run_summary(_core.run_tests_sequential(v)), expected_run),
    "run_tests_sequential.nocapture": (
        flag_value, lambda v: len(_core.run_tests_sequential([], nocapture=v)), lambda v: 0),
    "run_tests.tests": (
        items_value, lambda v: run_summary(_core.run_tests(v)), expected_run),
    "run_tests.num_workers": (
        optional_unsigned_value, lambda v: len(_core.run_tests([ITEM], v)), lambda v: 1),
    "run_tests.nocapture": (
        flag_value, lambda v: len(_core.run_tests([ITEM], nocapture=v)), lambda v: 1),
}


@contextlib.contextmanager
def executor(behaviour: Callable[[str, str, str], object] = lambda *args: None):
    saved = sys.modules.get("trelkin._compat")
    streams = sys.stdout, sys.stderr
    module = types.ModuleType("trelkin._compat")
    module._execute_test = behaviour
    sys.modules["trelkin._compat"] = module
    try:
        yield
    finally:
        sys.modules["trelkin._compat"] = saved
        sys.stdout, sys.stderr = streams


def check_call(convert, call, returns, recipe, param):
    kind, expected = model(convert, recipe())
    try:
        got = call(recipe())
    except (TypeError, OverflowError, UnicodeEncodeError, Hostile) as error:
        assert (kind, expected) == ("error", type(error)), error
        assert error.__notes__ == [f"while processing '{param}'"]
    else:
        assert kind == "value", f"accepted, expected {expected.__name__}"
        assert got == returns(expected)


def focus(target: str) -> st.SearchStrategy:
    convert = TARGETS[target][0]
    kind = {item_value: "item", items_value: "items", flag_value: "flag", text_value: "text",
            optional_text_value: "text"}.get(convert, "number")
    # Half and half: one_of() would flatten both into one flat choice among many branches.
    return st.booleans().flatmap(lambda focused: FOCUS[kind] if focused else anything)


@pytest.mark.parametrize("target", list(TARGETS))
@PROPERTY
@given(data=st.data())
def test_any_argument_gives_its_value_or_a_documented_error(target, data):
    recipe = data.draw(focus(target), label="recipe")
    convert, call, returns = TARGETS[target]
    with executor():
        check_call(convert, call, returns, recipe, target.rpartition(".")[2])


@pytest.mark.parametrize("param", ["root_dir", "pattern"])
@PROPERTY
@given(recipe=st.booleans().flatmap(lambda focused: FOCUS["text"] if focused else anything))
def test_discovery_takes_any_argument(tmp_path_factory, param, recipe):
    root = tmp_path_factory.getbasetemp() / "properties-tree"
    root.mkdir(exist_ok=True)
    (root / "test_a.py").write_text("def test_a(): pass\n")

    def call(value):
        if param == "pattern":
            return [i.name for i in _core.discover_tests(str(root), value)]
        if isinstance(value, str):
            # Kept inside the tree: a drawn "/" or ".." must not walk the machine.
            name = str.__str__(value).replace("/", "_").replace("..", "__")
            value = type(value)(f"{root}/{name}")
        return [i.name for i in _core.discover_tests(value)]

    convert = optional_text_value if param == "pattern" else text_value
    kind, expected = model(convert, recipe())
    try:
        got = call(recipe())
    except (TypeError, OverflowError, UnicodeEncodeError, Hostile) as error:
        assert (kind, expected) == ("error", type(error)), error
        assert error.__notes__ == [f"while processing '{param}'"]
    else:
        assert kind == "value"
        assert set(got) <= {"test_a"}


NAMES = ["test_plain", "test_\u0130stanbul", "test_stra\u00dfe", "test_\u039f\u0394\u039f\u03a3",
         "TestK::test_m", "test_\u00c9t\u00e9"]


@PROPERTY
@given(pattern=st.text(st.sampled_from("tesTES_\u0130i\u0131\u00df\u03a3\u03c3\u03c2\u03bf\u00e9"
                                       "\u00c9:kKm/.py"), max_size=6))
def test_pattern_keeps_exactly_the_items_whose_lowercased_name_or_path_contains_it(
        tmp_path_factory, pattern):
    root = tmp_path_factory.getbasetemp() / "pattern-tree"
    if not root.exists():
        for directory in ("Alpha", "\u00dcber"):
            (root / directory).mkdir(parents=True)
            source = "".join(f"def {n}(): pass\n" for n in NAMES if "::" not in n)
            source += "class TestK:\n    def test_m(self): pass\n"
            (root / directory / "test_Mod.py").write_text(source)
    everything = _core.discover_tests(str(root))
    wanted = pattern.lower()
    expected = [(i.path, i.name) for i in everything
                if wanted in i.name.lower() or wanted in i.path.lower()]
    assert [(i.path, i.name) for i in _core.discover_tests(str(root), pattern)] == expected


# ---- both runners agree -----------------------------------------------------------------

def run_behaviour(path, name, args_json):
    # The behaviour is carried in the item itself, so any drawn list runs the same way.
    if "print" in args_json:
        print(f"{path}:{name}", end="")
    if "stderr" in args_json:
        sys.stderr.write(f"{name}\udc80")
    if "fail" in args_json:
        raise AssertionError(name)


run_items = st.lists(st.tuples(
    st.sampled_from(["a.py", "a", "a/b.py", "ab.py", "A.py", "", "\u00e9.py", "e\u0301.py",
                     "\U0001f600/t.py"]),
    st.sampled_from(["test_a", "test_b", "T::test_c"]),
    st.one_of(st.integers(0, 3), st.sampled_from([2**31, 2**32 - 1])),
    st.sampled_from(["", "print", "fail", "print stderr fail", "stderr", "[1]"]),
), max_size=30)


def full_summary(results):
    return [(r.test.path, r.test.name, r.test.line_no, r.test.args_json, r.passed, r.output,
             r.error_output, r.error) for r in results]


@PROPERTY
@given(rows=run_items, nocapture=st.booleans())
def test_both_runners_give_the_same_results_in_path_and_line_order(rows, nocapture):
    tests = [make_item(*row) for row in rows]
    with executor(run_behaviour):
        sequential = _core.run_tests_sequential(tests, nocapture=nocapture)
        parallel = _core.run_tests(tests, nocapture=nocapture)
    assert full_summary(parallel) == full_summary(sequential)
    assert [r[:4] for r in full_summary(sequential)] == expected_run(rows)
    for r in sequential:
        assert r.passed == ("fail" not in r.test.args_json)
        assert r.error == (None if r.passed else f"AssertionError: {r.test.name}")
        if not nocapture:
            assert r.output == (f"{r.test.path}:{r.test.name}"
                                if "print" in r.test.args_json else "")


# ---- no leaks on any path ---------------------------------------------------------------

@pytest.mark.skipif(SANITIZED or sys.getallocatedblocks() == 0,
                    reason="needs the interpreter's own allocator and glibc's heap")
@pytest.mark.parametrize("target", [t for t in TARGETS if not t.startswith("run_tests.")])
@settings(max_examples=5, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_no_path_leaks(target, data):
    from test_leaks import assert_no_leak

    recipe = data.draw(focus(target), label="recipe")
    convert, call, returns = TARGETS[target]

    def once():
        try:
            call(recipe())
        except (TypeError, OverflowError, UnicodeEncodeError, Hostile):
            pass

    with executor():
        assert_no_leak(once, calls=40)
