"""The executor the core calls for every test.

``_execute_test(path, name, args_json)`` finds the test named ``name`` in the file ``path``
and runs it: returning normally means the test passed, raising means it failed. ``name``
is a function name or ``Class::method``; ``args_json``, when not empty, is a JSON list of
positional arguments or a JSON object of keyword arguments (any other JSON value is the
one positional argument).

Each file is imported once per process. A file inside a package (directories holding
``__init__.py``) is imported under its dotted package name with the package's parent
directory put at the front of ``sys.path``; a file outside any package is imported under
its own name with its directory at the front of ``sys.path``, as pytest does by default.

The command line watches a run through ``_report``: while it is set, each finished test is
reported to it, a skip (``unittest.SkipTest``, pytest's ``skip()``) is recorded in
``skipped`` and counts as a pass for the core, and once ``stop()`` has been called every
test not yet started raises ``RunInterrupted`` at once. With ``_report`` unset (a plain API
call) tests run exactly as they are.
"""

from __future__ import annotations

import atexit
import importlib
import importlib.util
import os
import sys
import threading
from types import CoroutineType, ModuleType

TYPE_CHECKING = False
if TYPE_CHECKING:
    import unittest
    from collections.abc import Callable
    from typing import Any

# Outcomes handed to ``_report``.
PASSED = "passed"
FAILED = "failed"
SKIPPED = "skipped"
INTERRUPTED = "interrupted"


class RunInterrupted(KeyboardInterrupt):
    """Raised in place of a test that a stopped run never started."""


# Called as report(path, name, args_json, outcome) from whichever thread ran the test.
_report: Callable[[str, str, str, str], None] | None = None
_stopped = False
# Reason of each skipped test, by (path, name, args_json).
skipped: dict[tuple[str, str, str], str] = {}

_modules: dict[str, ModuleType] = {}
_classes_set_up: set[type] = set()
_import_lock = threading.RLock()


def stop() -> None:
    """Makes every test that has not started yet end at once with ``RunInterrupted``."""
    global _stopped
    _stopped = True


def _package_parts(path: str) -> tuple[str, list[str]]:
    """The directory to import from and the dotted name parts of the module at ``path``."""
    directory, filename = os.path.split(path)
    parts = [os.path.splitext(filename)[0]]
    while os.path.isfile(os.path.join(directory, "__init__.py")):
        directory, package = os.path.split(directory)
        parts.insert(0, package)
    return directory, parts


def _load_module(path: str) -> ModuleType:
    module = _modules.get(path)
    if module is not None:
        return module
    with _import_lock:
        key = os.path.abspath(path)
        module = _modules.get(key)
        if module is None:
            directory, parts = _package_parts(key)
            if directory not in sys.path:
                sys.path.insert(0, directory)
            if len(parts) > 1:
                module = importlib.import_module(".".join(parts))
            else:
                module = _import_file(key, parts[0])
            _modules[key] = module
        # Also under the path as given: the core passes the same text for every test of a
        # file, and finding it as it is spares an abspath() per test.
        _modules[path] = module
        return module


def _import_file(path: str, name: str) -> ModuleType:
    existing = sys.modules.get(name)
    if existing is not None and getattr(existing, "__file__", None) == path:
        return existing
    if existing is not None:
        # Two test files outside packages share a base name: keep both apart.
        name = f"{name}__trelkin_{abs(hash(path)):x}"
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot import {path}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
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


def _run_unittest_case(cls: type[unittest.TestCase], method: str) -> None:
    if cls not in _classes_set_up:
        cls.setUpClass()
        _classes_set_up.add(cls)
        atexit.register(cls.tearDownClass)
    # debug() runs setUp, the test and tearDown and lets the test's exception through.
    cls(method).debug()


def _run_method(cls: type, method: str, args: list[Any], kwargs: dict[str, Any]) -> None:
    import unittest

    if issubclass(cls, unittest.TestCase):
        _run_unittest_case(cls, method)
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
    if separator:
        args, kwargs = _arguments(args_json)
        _run_method(getattr(module, class_name), method, args, kwargs)
    elif args_json:
        args, kwargs = _arguments(args_json)
        _finish(getattr(module, name)(*args, **kwargs))
    else:
        _finish(getattr(module, name)())


def _skip_reason(error: BaseException) -> str | None:
    """The reason when ``error`` asks to skip the test. Looks only at modules already
    imported: a test that raised one of these exceptions has imported its module."""
    unittest_case = sys.modules.get("unittest.case")
    if unittest_case is not None and isinstance(error, unittest_case.SkipTest):
        return str(error)
    pytest_outcomes = sys.modules.get("_pytest.outcomes")
    if pytest_outcomes is not None and isinstance(error, pytest_outcomes.Skipped):
        return str(error)
    return None


def _execute_test(path: str, name: str, args_json: str) -> None:
    report = _report
    if report is None:
        _run(path, name, args_json)
        return
    if _stopped:
        report(path, name, args_json, INTERRUPTED)
        raise RunInterrupted("not run: the run was interrupted")
    try:
        _run(path, name, args_json)
    except KeyboardInterrupt:
        stop()
        report(path, name, args_json, INTERRUPTED)
        raise
    except BaseException as error:
        reason = _skip_reason(error)
        if reason is None:
            report(path, name, args_json, FAILED)
            raise
        skipped[path, name, args_json] = reason
        report(path, name, args_json, SKIPPED)
        return
    report(path, name, args_json, PASSED)
