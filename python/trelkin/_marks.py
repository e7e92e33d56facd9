"""Marks as pytest's decorators leave them on test objects, what skip, skipif and xfail
decide from them, and the outcome exceptions that pytest's ``skip()``, ``xfail()``,
``fail()`` and ``exit()`` raise.

Nothing here imports pytest: a mark can only exist where a test module imported it, and
pytest's outcome classes are looked up in ``sys.modules`` when an exception has to be
classified."""

from __future__ import annotations

import os
import sys
from collections import namedtuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable


class Mark(namedtuple("Mark", "name args kwargs", defaults=((), {}))):
    """A mark made without pytest (``node.add_marker("name")`` in a run where no test file
    imported pytest). Read like ``pytest.Mark``: name, args, kwargs."""

    __slots__ = ()


def unpack(value: object) -> list[Any]:
    """The marks in a ``pytestmark`` value: a mark, a decorator, or a list of them."""
    if value is None:
        return []
    values = value if isinstance(value, list | tuple) else [value]
    marks = []
    for entry in values:
        mark = getattr(entry, "mark", entry)  # a MarkDecorator holds its Mark
        if not (hasattr(mark, "name") and hasattr(mark, "args") and hasattr(mark, "kwargs")):
            raise TypeError(f"got {entry!r} instead of Mark")
        marks.append(mark)
    return marks


def own_marks(obj: object) -> list[Any]:
    """The marks applied to a function, or to a class and its bases (bases first), in the
    order pytest keeps them."""
    if isinstance(obj, type):
        marks: list[Any] = []
        for base in reversed(obj.__mro__):
            marks += unpack(base.__dict__.get("pytestmark"))
        return marks
    try:
        return unpack(getattr(obj, "pytestmark", None))
    except Exception:
        return []


def make_mark(marker: object) -> Any:
    """A mark from what ``add_marker``/``applymarker`` accept: a name, a decorator or a
    mark."""
    if isinstance(marker, str):
        pytest = sys.modules.get("pytest")
        if pytest is not None:
            return getattr(pytest.mark, marker).mark
        return Mark(marker)
    return getattr(marker, "mark", marker)


# pytest's outcome exceptions, found once pytest has been imported by a test.


def outcome_classes() -> Any:
    """``_pytest.outcomes`` if something imported pytest, else None."""
    return sys.modules.get("_pytest.outcomes")


def skip_exception_types() -> tuple[type[BaseException], ...]:
    types: list[type[BaseException]] = []
    unittest_case = sys.modules.get("unittest.case")
    if unittest_case is not None:
        types.append(unittest_case.SkipTest)
    outcomes = outcome_classes()
    if outcomes is not None:
        types.append(outcomes.Skipped)
    return tuple(types)


def is_skip(error: BaseException) -> bool:
    types = skip_exception_types()
    return bool(types) and isinstance(error, types)


def skip_message(error: BaseException) -> str:
    message = getattr(error, "msg", None)
    return str(message) if message is not None else str(error)


def is_xfail(error: BaseException) -> bool:
    outcomes = outcome_classes()
    return outcomes is not None and isinstance(error, outcomes.XFailed)


def is_fail(error: BaseException) -> bool:
    """pytest.fail(): a failure whose report is its message (``pytrace=False``) or the
    usual traceback."""
    outcomes = outcome_classes()
    return outcomes is not None and isinstance(error, outcomes.Failed)


def is_exit(error: BaseException) -> bool:
    outcomes = outcome_classes()
    return outcomes is not None and isinstance(error, outcomes.Exit)


class ConditionError(Exception):
    """A skipif/xfail condition that can't be evaluated; its message is the report, as
    pytest's ``fail(..., pytrace=False)``."""


Skip = namedtuple("Skip", "reason")
Xfail = namedtuple("Xfail", "reason run strict raises")


def _conditions(mark: Any) -> tuple[object, ...]:
    if "condition" in mark.kwargs:
        return (mark.kwargs["condition"],)
    return tuple(mark.args)


def evaluate_condition(
    mark: Any, condition: object, config: object, namespace: dict[str, Any] | None
) -> tuple[bool, str]:
    """Evaluates one condition of a skipif or xfail mark as pytest does: a string is
    evaluated with os, sys, platform, config and the test module's globals in scope."""
    import traceback

    if isinstance(condition, str):
        import platform

        scope: dict[str, Any] = {"os": os, "sys": sys, "platform": platform, "config": config}
        if namespace:
            scope.update(namespace)
        try:
            result = eval(compile(condition, f"<{mark.name} condition>", "eval"), scope)
        except SyntaxError as error:
            lines = [
                f"Error evaluating {mark.name!r} condition",
                "    " + condition,
                "    " + " " * (error.offset or 0) + "^",
                "SyntaxError: invalid syntax",
            ]
            raise ConditionError("\n".join(lines)) from None
        except Exception as error:
            lines = [
                f"Error evaluating {mark.name!r} condition",
                "    " + condition,
                *traceback.format_exception_only(type(error), error),
            ]
            raise ConditionError("\n".join(lines)) from None
    else:
        try:
            result = bool(condition)
        except Exception as error:
            lines = [
                f"Error evaluating {mark.name!r} condition as a boolean",
                *traceback.format_exception_only(type(error), error),
            ]
            raise ConditionError("\n".join(lines)) from None
    reason = mark.kwargs.get("reason")
    if reason is None:
        if not isinstance(condition, str):
            raise ConditionError(
                f"Error evaluating {mark.name!r}: you need to specify reason=STRING "
                "when using booleans as conditions."
            )
        reason = "condition: " + condition
    return bool(result), reason


def evaluate_skip(
    marks: Iterable[Any], config: object, namespace: dict[str, Any] | None
) -> Skip | None:
    marks = list(marks)
    for mark in marks:
        if mark.name != "skipif":
            continue
        conditions = _conditions(mark)
        if not conditions:
            return Skip(mark.kwargs.get("reason", ""))
        for condition in conditions:
            result, reason = evaluate_condition(mark, condition, config, namespace)
            if result:
                return Skip(reason)
    for mark in marks:
        if mark.name == "skip":
            return _skip_from_mark(mark)
    return None


def _skip_from_mark(mark: Any) -> Skip:
    def skip(reason: str = "unconditional skip") -> Skip:
        return Skip(reason)

    try:
        return skip(*mark.args, **mark.kwargs)
    except TypeError as error:
        raise TypeError(str(error) + " - maybe you meant pytest.mark.skipif?") from None


def evaluate_xfail(
    marks: Iterable[Any], config: object, namespace: dict[str, Any] | None, strict_default: bool
) -> Xfail | None:
    for mark in marks:
        if mark.name != "xfail":
            continue
        run = mark.kwargs.get("run", True)
        strict = mark.kwargs.get("strict", strict_default)
        raises = mark.kwargs.get("raises")
        conditions = _conditions(mark)
        if not conditions:
            return Xfail(mark.kwargs.get("reason", ""), run, strict, raises)
        for condition in conditions:
            result, reason = evaluate_condition(mark, condition, config, namespace)
            if result:
                return Xfail(reason, run, strict, raises)
    return None


def raises_matches(raises: Any, error: BaseException) -> bool:
    """Whether an xfail's ``raises=`` accepts the error: an exception type, a tuple of
    them, or pytest's RaisesExc/RaisesGroup matcher objects."""
    if raises is None:
        return True
    if isinstance(raises, type) or isinstance(raises, tuple):
        return isinstance(error, raises)
    matches = getattr(raises, "matches", None)
    if matches is not None:
        return bool(matches(error))
    return False
