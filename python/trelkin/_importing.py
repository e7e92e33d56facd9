"""Importing test files and conftests the way pytest's default "prepend" import mode
does, through ``sys.meta_path`` (so an import hook such as assertion rewriting sees
them).

A file inside packages (directories with ``__init__.py``) is imported under its dotted
name, with the directory above the top package first on ``sys.path``; any other file under
its base name with its own directory first on ``sys.path``. Two such files with one base
name are kept apart: the second is imported under a name of its own."""

from __future__ import annotations

import importlib
import os
import sys
import threading
from types import ModuleType

TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path

_lock = threading.RLock()


class ImportMismatchError(ImportError):
    pass


def package_parts(path: str) -> tuple[str, list[str]]:
    """The directory to import from and the dotted name parts of the module at ``path``."""
    directory, filename = os.path.split(path)
    parts = [os.path.splitext(filename)[0]]
    while os.path.isfile(os.path.join(directory, "__init__.py")):
        directory, package = os.path.split(directory)
        parts.insert(0, package)
    return directory, parts


def _prepend(directory: str) -> None:
    if not sys.path or sys.path[0] != directory:
        sys.path.insert(0, directory)


def _same_file(module: ModuleType, path: str) -> bool:
    found = getattr(module, "__file__", None)
    if found is None:
        return False
    try:
        return os.path.samefile(found, path)
    except OSError:
        return os.path.normcase(os.path.abspath(found)) == os.path.normcase(path)


def import_test_module(path: str) -> ModuleType:
    absolute = os.path.abspath(path)
    with _lock:
        directory, parts = package_parts(absolute)
        _prepend(directory)
        name = ".".join(parts)
        existing = sys.modules.get(name)
        if existing is not None:
            if _same_file(existing, absolute):
                return existing
            if len(parts) > 1:
                raise ImportMismatchError(
                    f"import file mismatch:\nimported module {name!r} has this __file__ "
                    f"attribute:\n  {existing.__file__}\nwhich is not the same as the test "
                    f"file we want to collect:\n  {absolute}\nHINT: remove __pycache__ / .pyc "
                    "files and/or use a unique basename for your test file modules"
                )
            return _import_apart(name, absolute)
        module = importlib.import_module(name)
        if not _same_file(module, absolute) and len(parts) == 1:
            # Something else on sys.path has this name (a stdlib module, say).
            sys.modules.pop(name, None)
            if existing is not None:
                sys.modules[name] = existing
            return _import_apart(name, absolute)
        return module


def _import_apart(name: str, path: str) -> ModuleType:
    """Imports a top-level file whose name another module already has, under a new name."""
    unique = f"{name}__trelkin_{abs(hash(path)):x}"
    found = sys.modules.get(unique)
    if found is not None:
        return found
    previous = sys.modules.pop(name, None)
    importlib.invalidate_caches()
    try:
        module = importlib.import_module(name)
        if not _same_file(module, path):
            raise ImportMismatchError(f"cannot import {path} as {name!r}")
        sys.modules[unique] = module
        module.__name__ = unique
    finally:
        sys.modules.pop(name, None)
        if previous is not None:
            sys.modules[name] = previous
    return module


def import_conftest(path: Path) -> ModuleType:
    """A conftest inside a package by its dotted name; any other as ``conftest``,
    replacing the previous one in ``sys.modules`` as pytest does."""
    absolute = str(path.absolute())
    with _lock:
        directory, parts = package_parts(absolute)
        _prepend(directory)
        name = ".".join(parts)
        existing = sys.modules.get(name)
        if existing is not None and _same_file(existing, absolute):
            return existing
        if len(parts) == 1:
            sys.modules.pop(name, None)
        importlib.invalidate_caches()
        module = importlib.import_module(name)
        if not _same_file(module, absolute):
            raise ImportMismatchError(f"cannot import {absolute} as {name!r}")
        return module
