"""The module's registration and the calling conventions every function obeys."""

from __future__ import annotations

import importlib
import sys

import pytest

from conftest import GET_PANIC, PANIC_ENV, needs_address_limit, make_item, run_python
from trelkin import _core

EXPECTED_ALL = [
    "TestItem", "TestResult", "discover_tests", "run_tests", "run_tests_sequential",
    "test_result_passed", "test_result_failed",
]


def test_registration():
    assert _core.__all__ == EXPECTED_ALL
    assert _core.__doc__ == ""
    assert _core.TestItem.__module__ == "builtins"
    assert repr(_core.TestResult) == "<class 'builtins.TestResult'>"
    for name in EXPECTED_ALL[2:]:
        function = getattr(_core, name)
        assert function.__module__ == "trelkin._core"
        assert function.__doc__ is None


@pytest.mark.parametrize("name, signature", [
    ("discover_tests", "(root_dir, pattern=None)"),
    ("run_tests", "(tests, num_workers=None, nocapture=False)"),
    ("run_tests_sequential", "(tests, nocapture=False)"),
    ("test_result_passed", "(test, output, error_output, duration_ms)"),
    ("test_result_failed", "(test, output, error_output, duration_ms, error, traceback)"),
])
def test_text_signatures(name, signature):
    assert getattr(_core, name).__text_signature__ == signature


def test_reimport_gives_new_module_with_same_classes(monkeypatch):
    item_class = _core.TestItem
    monkeypatch.delitem(sys.modules, "trelkin._core")
    fresh = importlib.import_module("trelkin._core")
    assert fresh is not _core
    assert fresh.TestItem is item_class
    assert fresh.__all__ == EXPECTED_ALL
    assert fresh.run_tests is not _core.run_tests


@pytest.mark.parametrize("call, message", [
    (lambda: _core.run_tests(), "run_tests() missing 1 required positional argument: 'tests'"),
    (lambda: _core.test_result_passed(make_item()),
     "test_result_passed() missing 3 required positional arguments: "
     "'output', 'error_output', and 'duration_ms'"),
    (lambda: _core.test_result_passed(make_item(), ""),
     "test_result_passed() missing 2 required positional arguments: "
     "'error_output' and 'duration_ms'"),
    (lambda: _core.test_result_failed(make_item(), "", "", 0, ""),
     "test_result_failed() missing 1 required positional argument: 'traceback'"),
    (lambda: _core.run_tests_sequential([], False, 3),
     "run_tests_sequential() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: _core.test_result_passed(1, 2, 3, 4, 5),
     "test_result_passed() takes 4 positional arguments but 5 were given"),
    (lambda: _core.TestItem(1), "TestItem.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: _core.TestItem(path="a"), "TestItem.__new__() got an unexpected keyword argument 'path'"),
    (lambda: _core.discover_tests(".", foo=1),
     "discover_tests() got an unexpected keyword argument 'foo'"),
    (lambda: _core.run_tests([], tests=[]), "run_tests() got multiple values for argument 'tests'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadLength(list):
    def __len__(self):
        raise ValueError("no length")


@pytest.mark.parametrize("call, error, message, param", [
    (lambda: _core.test_result_passed(1, "", "", 0), TypeError,
     "'int' object is not an instance of 'TestItem'", "test"),
    (lambda: _core.test_result_passed(make_item(), None, "", 0), TypeError,
     "'None' is not an instance of 'str'", "output"),
    (lambda: _core.test_result_passed(make_item(), "", b"", 0), TypeError,
     "'bytes' object is not an instance of 'str'", "error_output"),
    (lambda: _core.test_result_passed(make_item(), "\ud800", "", 0), UnicodeEncodeError, None,
     "output"),
    (lambda: _core.test_result_passed(make_item(), "", "", -1), OverflowError, None,
     "duration_ms"),
    (lambda: _core.test_result_passed(make_item(), "", "", 2**64), OverflowError, None,
     "duration_ms"),
    (lambda: _core.test_result_passed(make_item(), "", "", 1.0), TypeError, None, "duration_ms"),
    (lambda: _core.test_result_failed(make_item(), "", "", 0, None, None), TypeError,
     "'None' is not an instance of 'str'", "error"),
    (lambda: _core.run_tests_sequential("abc"), TypeError, "Can't extract `str` to `Vec`", "tests"),
    (lambda: _core.run_tests_sequential(5), TypeError,
     "'int' object is not an instance of 'Sequence'", "tests"),
    (lambda: _core.run_tests_sequential(x for x in []), TypeError,
     "'generator' object is not an instance of 'Sequence'", "tests"),
    (lambda: _core.run_tests_sequential({}), TypeError,
     "'dict' object is not an instance of 'Sequence'", "tests"),
    (lambda: _core.run_tests_sequential([make_item(), 1]), TypeError,
     "'int' object is not an instance of 'TestItem'", "tests"),
    (lambda: _core.run_tests_sequential([], nocapture=1), TypeError,
     "'int' object is not an instance of 'bool'", "nocapture"),
    (lambda: _core.run_tests_sequential([], nocapture=None), TypeError,
     "'None' is not an instance of 'bool'", "nocapture"),
    (lambda: _core.run_tests([], num_workers=-1), OverflowError, None, "num_workers"),
    (lambda: _core.run_tests([], num_workers=2**64), OverflowError, None, "num_workers"),
    (lambda: _core.run_tests([], num_workers=4.0), TypeError, None, "num_workers"),
    (lambda: _core.run_tests([], num_workers="4"), TypeError, None, "num_workers"),
])
def test_conversion_errors_carry_the_note(call, error, message, param):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{param}'"]


def test_accepted_argument_kinds():
    class Text(str):
        pass

    result = _core.test_result_passed(make_item(), Text("out"), "", Index(7))
    assert (result.output, result.duration_ms) == ("out", 7)
    assert _core.test_result_passed(make_item(), "", "", 2**64 - 1).duration_ms == 2**64 - 1
    assert _core.run_tests_sequential(()) == []
    assert _core.run_tests_sequential(BadLength()) == []
    assert _core.run_tests([], num_workers=None) == []
    assert _core.run_tests([], Index(3), False) == []


def test_sequence_iteration_error_propagates_unchanged():
    class Exploding(list):
        def __iter__(self):
            raise KeyError("iter")

    with pytest.raises(KeyError) as caught:
        _core.run_tests_sequential(Exploding([make_item()]))
    assert caught.value.__notes__ == ["while processing 'tests'"]


def test_numpy_style_flags():
    class NumpyBool:
        def __init__(self, value):
            self.value = value

        def __bool__(self):
            return self.value

    NumpyBool.__module__ = "numpy"
    NumpyBool.__name__ = NumpyBool.__qualname__ = "bool"
    assert _core.run_tests_sequential([], nocapture=NumpyBool(True)) == []

    class NoTruth:
        pass

    NoTruth.__module__ = "numpy"
    NoTruth.__name__ = NoTruth.__qualname__ = "bool_"
    with pytest.raises(TypeError) as caught:
        _core.run_tests_sequential([], nocapture=NoTruth())
    assert str(caught.value) == (
        f"object of type '{NoTruth}' does not define a '__bool__' conversion")


def test_all_that_is_not_a_list_fails_the_import():
    result = run_python("""
        import importlib.util, sys, trelkin._core as core
        spec = importlib.util.find_spec("trelkin._core")
        module = importlib.util.module_from_spec(spec)
        module.__all__ = ("x",)
        try:
            spec.loader.exec_module(module)
        except TypeError as exc:
            print(exc)
    """)
    assert result.stdout.strip() == "'tuple' object is not an instance of 'list'"


@needs_address_limit
def test_panic_exception_class_and_pool_creation_failure():
    result = run_python(GET_PANIC + """
print(PanicException.__name__, PanicException.__bases__[0].__name__)
print(panic_message.startswith("The global thread pool has not been initialized."))
print(issubclass(PanicException, Exception), hasattr(core, "PanicException"))
print(bool(PanicException.__doc__))
""", env=PANIC_ENV)
    assert result.stdout.split() == ["PanicException", "BaseException", "True", "False", "False",
                                     "True"], result.stderr
