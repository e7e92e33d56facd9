"""The records TestItem and TestResult as the host sees them."""

from __future__ import annotations

import pytest

from conftest import make_item
from trelkin import _core


def test_new_item_is_empty():
    item = _core.TestItem()
    assert (item.path, item.name, item.line_no, item.args_json) == ("", "", 0, "")
    assert repr(item) == "TestItem(:0: )"
    assert _core.TestItem.__text_signature__ == "()"


def test_item_repr_follows_args_json():
    item = make_item("tests/test_a.py", "test_x", 12)
    assert repr(item) == str(item) == "TestItem(tests/test_a.py:12: test_x)"
    item.args_json = "[1, 2]"
    assert repr(item) == "TestItem(tests/test_a.py:12: test_x [args=[1, 2]])"
    item.args_json = " "
    assert repr(item) == "TestItem(tests/test_a.py:12: test_x [args= ])"
    item.args_json = ""
    assert repr(item) == "TestItem(tests/test_a.py:12: test_x)"


@pytest.mark.parametrize("field, value, error, message", [
    ("line_no", 2**32, OverflowError, "out of range integral type conversion attempted"),
    ("line_no", -1, OverflowError, "out of range integral type conversion attempted"),
    ("line_no", 2**80, OverflowError, None),
    ("line_no", "3", TypeError, None),
    ("name", None, TypeError, "'None' is not an instance of 'str'"),
    ("path", 5, TypeError, "'int' object is not an instance of 'str'"),
    ("args_json", "\udc80", UnicodeEncodeError, None),
])
def test_refused_setter_values_keep_the_field(field, value, error, message):
    item = make_item("p.py", "n", 9, "a")
    before = getattr(item, field)
    with pytest.raises(error) as caught:
        setattr(item, field, value)
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{field}'"]
    assert getattr(item, field) == before


def test_item_fields_round_trip():
    item = make_item("tëst/ä.py", "test_éà", 2**32 - 1, '{"k": "ü"}')
    assert (item.path, item.name, item.line_no, item.args_json) == (
        "tëst/ä.py", "test_éà", 2**32 - 1, '{"k": "ü"}')


@pytest.mark.parametrize("field", ["path", "name", "line_no", "args_json"])
def test_item_properties_cannot_be_deleted(field):
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(_core.TestItem(), field)


def test_identity_semantics_and_no_subclassing():
    a, b = make_item(), make_item()
    assert a != b and a == a
    assert {a: 1}[a] == 1
    with pytest.raises(AttributeError):
        a.extra = 1
    for cls in (_core.TestItem, _core.TestResult):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_results_built_from_python():
    item = make_item(name="test_x")
    passed = _core.test_result_passed(item, "out", "err", 5)
    assert (passed.passed, passed.output, passed.error_output, passed.duration_ms) == (
        True, "out", "err", 5)
    assert passed.error is None and passed.traceback is None
    assert repr(passed) == str(passed) == "TestResult(PASSED test_x in 5ms)"
    failed = _core.test_result_failed(item, "", "", 0, "", None)
    assert failed.passed is False and failed.error == "" and failed.traceback is None
    assert repr(failed) == "TestResult(FAILED test_x in 0ms)"
    assert _core.test_result_failed(item, "", "", 0, "E", "tb").traceback == "tb"


def test_result_holds_its_own_copy_of_the_item():
    item = make_item("a.py", "test_x", 3)
    result = _core.test_result_passed(item, "", "", 1)
    item.name = "changed"
    first, second = result.test, result.test
    assert first is not second
    assert (first.path, first.name, first.line_no) == ("a.py", "test_x", 3)
    first.name = "other"
    assert second.name == "test_x" and repr(result) == "TestResult(PASSED test_x in 1ms)"


def test_results_are_read_only_and_not_instantiable():
    result = _core.test_result_passed(make_item(), "", "", 0)
    with pytest.raises(TypeError, match="builtins.TestResult"):
        _core.TestResult()
    with pytest.raises(AttributeError):
        result.passed = False
    with pytest.raises(AttributeError):
        del result.output
