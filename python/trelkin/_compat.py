"""The executor the core calls for every test.

``_execute_test(path, name, args_json)`` finds the test named ``name`` in the file ``path``
and runs it: returning normally means the test passed, raising means it failed. ``name``
is a function name or ``Class::method``; ``args_json``, when not empty, is a JSON list of
positional arguments or a JSON object of keyword arguments.

Each file is imported once per process. A file inside a package (directories holding
``__init__.py``) is imported under its dotted package name with the package's parent
directory put at the front of ``sys.path``; a file outside any package is imported under
its own name with its directory at the front of ``sys.path``, as pytest does by default.
"""

from __future__ import annotations

import atexit
import importlib
import importlib.util
import inspect
import json
import os
import sys
import threading
from types import ModuleType
from typing import Any

_modules: dict[str, ModuleType] = {}
_classes_set_up: set[type] = set()
_import_lock = threading.RLock()


def _package_parts(path: str) -> tuple[str, list[str]]:
    """The directory to import from and the dotted name parts of the module at ``path``."""
    directory, filename = os.path.split(path)
    parts = [os.path.splitext(filename)[0]]
    while os.path.isfile(os.path.join(directory, "__init__.py")):
        directory, package = os.path.split(directory)
        parts.insert(0, package)
    return directory, parts


def _load_module(path: str) -> ModuleType:
    key = os.path.abspath(path)
    module = _modules.get(key)
    if module is not None:
        return module
    with _import_lock:
        module = _modules.get(key)
        if module is not None:
            return module
        directory, parts = _package_parts(key)
        if directory not in sys.path:
            sys.path.insert(0, directory)
        if len(parts) > 1:
            module = importlib.import_module(".".join(parts))
        else:
            module = _import_file(key, parts[0])
        _modules[key] = module
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
    value = json.loads(args_json)
    if isinstance(value, list):
        return value, {}
    if isinstance(value, dict):
        return [], value
    return [value], {}


def _finish(outcome: Any) -> None:
    """Runs a coroutine that an async test returned."""
    if inspect.iscoroutine(outcome):
        import asyncio

        asyncio.run(outcome)


def _run_unittest_case(cls: type, method: str) -> None:
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


def _execute_test(path: str, name: str, args_json: str) -> None:
    module = _load_module(path)
    args, kwargs = _arguments(args_json)
    class_name, separator, method = name.partition("::")
    if separator:
        _run_method(getattr(module, class_name), method, args, kwargs)
    else:
        _finish(getattr(module, name)(*args, **kwargs))
