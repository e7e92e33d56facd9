"""xunit-style setup and teardown as autouse fixtures, as pytest runs them:
``setup_module``/``setUpModule``, ``setup_function``, ``setup_class``, ``setup_method``
and their teardowns, and unittest's ``setUpClass``/``tearDownClass`` and class skips.
Being fixtures, they run in pytest's order among the others and their errors are the
test's setup or teardown errors."""

from __future__ import annotations


from trelkin._fixtures import CLASS, FUNCTION, MODULE, FixtureDef, is_fixture

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any


def _first(holder: Any, names: tuple[str, ...]) -> Any:
    for name in names:
        value = getattr(holder, name, None)
        if value is not None and not is_fixture(value):
            return value
    return None


def _call_optional(function: Callable[..., Any], argument: object) -> None:
    """Calls with ``argument`` when the function takes one (besides ``self``)."""
    import inspect

    code = getattr(getattr(function, "__func__", function), "__code__", None)
    count = code.co_argcount if code is not None else 0
    if inspect.ismethod(function):
        count -= 1
    if count:
        function(argument)
    else:
        function()


def _fixture(name: str, func: Callable[..., Any], scope: int, baseid: str) -> FixtureDef:
    return FixtureDef(name, func, scope, baseid, autouse=True, argnames=("request",))


def module_fixtures(module: Any, baseid: str) -> list[FixtureDef]:
    fixtures = []
    setup = _first(module, ("setUpModule", "setup_module"))
    teardown = _first(module, ("tearDownModule", "teardown_module"))
    if setup is not None or teardown is not None:

        def xunit_setup_module(request: Any) -> Iterator[None]:
            if setup is not None:
                _call_optional(setup, request.module)
            yield
            if teardown is not None:
                _call_optional(teardown, request.module)

        fixtures.append(
            _fixture(f"_xunit_setup_module_fixture_{module.__name__}", xunit_setup_module, MODULE, baseid)
        )
    setup_function = _first(module, ("setup_function",))
    teardown_function = _first(module, ("teardown_function",))
    if setup_function is not None or teardown_function is not None:

        def xunit_setup_function(request: Any) -> Iterator[None]:
            if request.instance is not None:
                yield  # methods have setup_method instead
                return
            if setup_function is not None:
                _call_optional(setup_function, request.function)
            yield
            if teardown_function is not None:
                _call_optional(teardown_function, request.function)

        fixtures.append(
            _fixture(
                f"_xunit_setup_function_fixture_{module.__name__}", xunit_setup_function, FUNCTION, baseid
            )
        )
    return fixtures


def class_fixtures(cls: type, baseid: str, *, methods: bool = True) -> list[FixtureDef]:
    fixtures = []
    setup = _first(cls, ("setup_class",))
    teardown = _first(cls, ("teardown_class",))
    if setup is not None or teardown is not None:

        def xunit_setup_class(request: Any) -> Iterator[None]:
            if setup is not None:
                _call_optional(getattr(setup, "__func__", setup).__get__(cls), cls)
            yield
            if teardown is not None:
                _call_optional(getattr(teardown, "__func__", teardown).__get__(cls), cls)

        fixtures.append(
            _fixture(f"_xunit_setup_class_fixture_{cls.__qualname__}", xunit_setup_class, CLASS, baseid)
        )
    if not methods:
        return fixtures
    has_setup = _first(cls, ("setup_method",)) is not None
    has_teardown = _first(cls, ("teardown_method",)) is not None
    if has_setup or has_teardown:

        def xunit_setup_method(request: Any) -> Iterator[None]:
            instance, method = request.instance, request.function
            if has_setup:
                _call_optional(instance.setup_method, getattr(instance, method.__name__, method))
            yield
            if has_teardown:
                _call_optional(instance.teardown_method, getattr(instance, method.__name__, method))

        fixtures.append(
            _fixture(f"_xunit_setup_method_fixture_{cls.__qualname__}", xunit_setup_method, FUNCTION, baseid)
        )
    return fixtures


def _skip_reason(obj: object) -> str | None:
    if getattr(obj, "__unittest_skip__", False):
        return str(getattr(obj, "__unittest_skip_why__", ""))
    return None


def unittest_fixtures(cls: type, baseid: str) -> list[FixtureDef]:
    import unittest

    reason = _skip_reason(cls)
    if reason is not None:

        def unittest_skip(request: Any) -> None:
            raise unittest.SkipTest(reason)

        return [
            FixtureDef(
                f"_unittest_skip_fixture_{cls.__qualname__}", unittest_skip, CLASS, baseid,
                autouse=True, argnames=("request",),
            )
        ]
    fixtures = []
    setup = getattr(cls, "setUpClass", None)
    teardown = getattr(cls, "tearDownClass", None)
    cleanup = getattr(cls, "doClassCleanups", lambda: None)

    def raise_class_cleanup_errors() -> None:
        errors = getattr(cls, "tearDown_exceptions", None)
        if not errors:
            return
        exceptions = [error for (_, error, _) in errors]
        if len(exceptions) == 1:
            raise exceptions[0]
        raise ExceptionGroup("Unittest class cleanup errors", exceptions)

    def unittest_setup_class(request: Any) -> Iterator[None]:
        if setup is not None:
            try:
                setup()
            except Exception:
                cleanup()
                raise_class_cleanup_errors()
                raise
        yield
        try:
            if teardown is not None:
                teardown()
        finally:
            cleanup()
            raise_class_cleanup_errors()

    fixtures.append(
        _fixture(f"_unittest_setUpClass_fixture_{cls.__qualname__}", unittest_setup_class, CLASS, baseid)
    )
    setup_method = getattr(cls, "setup_method", None)
    teardown_method = getattr(cls, "teardown_method", None)
    if setup_method is not None or teardown_method is not None:

        def unittest_setup_method(request: Any) -> Iterator[None]:
            instance = request.instance
            if setup_method is not None:
                setup_method(instance, request.function)
            yield
            if teardown_method is not None:
                teardown_method(instance, request.function)

        fixtures.append(
            _fixture(
                f"_unittest_setup_method_fixture_{cls.__qualname__}", unittest_setup_method, FUNCTION, baseid
            )
        )
    fixtures += class_fixtures(cls, baseid, methods=False)
    return fixtures
