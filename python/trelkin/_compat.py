"""The executor the core calls for every test: ``_execute_test(path, name, args_json)``.

Returning normally means the test passed, raising that it failed.

A test planned by a command's run carries in ``args_json`` a reference to its session and
its place in the run's plan, ``@SESSION/INDEX`` (no JSON text begins with "@"): the session
runs it with its fixtures and records its outcome. Any other test is a plain call, as
through the Python API: the file is imported once per process (a file inside a package
under its dotted name with the package's parent first on ``sys.path``, any other file
under its own name with its directory first), ``name`` is a function or ``Class::method``,
and ``args_json``, when not empty, is a JSON list of positional arguments, a JSON object of
keyword arguments, or one argument.
"""

from __future__ import annotations

import threading
from types import CoroutineType, ModuleType

from trelkin._importing import import_test_module

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Protocol

    class Runner(Protocol):
        def execute(self, index: int) -> None: ...


# The command's runs under way in this process, by the number in their tests' args_json.
# A run registers itself for its length; several may be under way at once (a test that
# runs the command in-process).
runs: dict[int, Runner] = {}

_modules: dict[str, ModuleType] = {}
_classes_set_up: set[type] = set()
_import_lock = threading.RLock()


def _execute_test(path: str, name: str, args_json: str) -> None:
    if args_json[:1] == "@":
        run, _, index = args_json[1:].partition("/")
        runs[int(run)].execute(int(index))
        return
    _run(path, name, args_json)


def _load_module(path: str) -> ModuleType:
    """The module of a test file, imported once per process (by the path as given, then
    by its absolute path, so that the core's one text per file costs one look-up)."""
    module = _modules.get(path)
    if module is None:
        module = import_test_module(path)
        _modules[path] = module
    return module


def _arguments(args_json: str) -> tuple[list[Any], dict[str, Any]]:
    if not args_json:
        return [], {}
    import json  # only tests that carry arguments pay for it

    value = json.loads(args_json)
    if isinstance(value, list):
        return value, {}
    if isinstance(value, dict):
        return [], value
    return [value], {}


def _finish(outcome: object) -> None:
    """Runs a coroutine that an async test returned."""
    if isinstance(outcome, CoroutineType):
        import asyncio

        asyncio.run(outcome)


def _run_method(cls: type, method: str, args: list[Any], kwargs: dict[str, Any]) -> None:
    import unittest

    if issubclass(cls, unittest.TestCase):
        with _import_lock:
            if cls not in _classes_set_up:
                cls.setUpClass()
                _classes_set_up.add(cls)
        # debug() runs setUp, the test and tearDown and lets the test's exception through.
        cls(method).debug()
        return
    instance = cls()
    bound = getattr(instance, method)
    setup = getattr(instance, "setup_method", None)
    if setup is not None:
        setup(bound)
    try:
        _finish(bound(*args, **kwargs))
    finally:
        teardown = getattr(instance, "teardown_method", None)
        if teardown is not None:
            teardown(bound)


def _run(path: str, name: str, args_json: str) -> None:
    module = _load_module(path)
    class_name, separator, method = name.partition("::")
    args, kwargs = _arguments(args_json)
    if separator:
        _run_method(getattr(module, class_name), method, args, kwargs)
    else:
        _finish(getattr(module, name)(*args, **kwargs))
