"""Collection for the command line: the tests under each path given, and the test files
that gave no tests because they can't be read or parsed (the core skips those silently)."""

from __future__ import annotations

import os

from trelkin._core import TestItem, discover_tests

# The core's walk rules: pruned directory names and the test-file name rule.
_PRUNED = frozenset({"__pycache__", "node_modules", "target", "site"})


class UsageError(Exception):
    """A path on the command line that names nothing to collect."""


class CollectionError:
    """A test file that could not be collected, with the reason in one line and in full."""

    __slots__ = ("detail", "message", "path")

    def __init__(self, path: str, message: str, detail: str) -> None:
        self.path, self.message, self.detail = path, message, detail


class Collection:
    __slots__ = ("errors", "items")

    def __init__(self, items: list[TestItem], errors: list[CollectionError]) -> None:
        self.items = items
        self.errors = errors

    def count_files(self) -> int:
        return len({item.path for item in self.items})


def display_path(path: str) -> str:
    """A path as the report shows it: as the core gives it, less a leading "./"."""
    return path[2:] if path.startswith("./") else path


def is_test_file(name: str) -> bool:
    return name.endswith(".py") and (name.startswith("test") or name.endswith("_test.py"))


def collect(arguments: list[str], pattern: str | None) -> Collection:
    """The tests under each argument (a directory, a file, or ``file::name`` for one test
    function or class) whose name or path contains ``pattern`` ignoring case, and the
    collection errors of the files below them."""
    items: list[TestItem] = []
    errors: list[CollectionError] = []
    for argument in arguments:
        found, file_errors = _collect_one(argument)
        items += found
        errors += file_errors
    if len(arguments) > 1:
        items = _unique(items)
        errors = list({os.path.normpath(error.path): error for error in errors}.values())
    if pattern is not None:
        # Filtered here rather than by the core so that the files with tests are known
        # before the filter; the rule is the core's.
        lowered = pattern.lower()
        items = [
            item for item in items if lowered in item.name.lower() or lowered in item.path.lower()
        ]
    return Collection(items, sorted(errors, key=lambda error: error.path))


def _collect_one(argument: str) -> tuple[list[TestItem], list[CollectionError]]:
    root, _, selector = argument.partition("::")
    if not os.path.exists(root):
        raise UsageError(f"file or directory not found: {root}")
    items = discover_tests(root)
    with_tests = {item.path for item in items}
    errors = [
        error
        for path, real_path in _candidates(root)
        if path not in with_tests and (error := _check(path, real_path)) is not None
    ]
    if selector:
        items = [
            item for item in items if item.name == selector or item.name.startswith(selector + "::")
        ]
        if not items and not errors:
            raise UsageError(f"no test named {selector} in {root}")
    return items, errors


def _unique(items: list[TestItem]) -> list[TestItem]:
    """The items without the repeats that overlapping paths on the command line give."""
    seen: set[tuple[str, str]] = set()
    unique = []
    for item in items:
        key = (os.path.normpath(item.path), item.name)
        if key not in seen:
            seen.add(key)
            unique.append(item)
    return unique


def _candidates(root: str) -> list[tuple[str, str]]:
    """The files the core's walk would pick under ``root``: (the core's path text, the
    path to open)."""
    if not os.path.isdir(root):
        return [(root, root)] if is_test_file(os.path.basename(root)) else []
    found: list[str] = []
    _walk(root if root.endswith("/") else root + "/", [_identity(os.stat(root))], found)
    return [(_core_text(path), path) for path in found]


def _walk(prefix: str, ancestors: list[tuple[int, int]], found: list[str]) -> None:
    try:
        entries = list(os.scandir(prefix))
    except OSError:
        return
    for entry in entries:
        name = entry.name
        if name.startswith(".") or name in _PRUNED:
            continue
        try:
            if entry.is_file():
                if is_test_file(name):
                    found.append(prefix + name)
            elif entry.is_dir():
                identity = _identity(entry.stat())
                # A link back to a directory on the current path would loop forever.
                if entry.is_symlink() and identity in ancestors:
                    continue
                _walk(prefix + name + "/", [*ancestors, identity], found)
        except OSError:
            continue


def _identity(status: os.stat_result) -> tuple[int, int]:
    return status.st_dev, status.st_ino


def _core_text(path: str) -> str:
    """The path as the core writes it: invalid UTF-8 in names replaced by U+FFFD."""
    return path if path.isascii() else os.fsencode(path).decode("utf-8", "replace")


def _check(path: str, real_path: str) -> CollectionError | None:
    """Why the core found nothing in a test file: it can't be read, isn't UTF-8, or
    doesn't parse. None for a file that is fine but holds no tests."""
    import ast  # already imported by the core's discovery, so free here

    try:
        with open(real_path, "rb") as file:
            data = file.read()
        ast.parse(data.decode("utf-8"), filename=display_path(path))
    except UnicodeDecodeError as error:
        line = data[: error.start].count(b"\n") + 1
        message = f"UnicodeDecodeError: {error} (line {line}); test files must be UTF-8"
        return CollectionError(path, message, message)
    except SyntaxError as error:
        import traceback

        message = f"{type(error).__name__}: {error.msg} (line {error.lineno})"
        detail = "".join(traceback.format_exception_only(error)).rstrip("\n")
        return CollectionError(path, message, detail)
    except (OSError, ValueError, RecursionError, MemoryError) as error:
        message = f"{type(error).__name__}: {error}"
        return CollectionError(path, message, message)
    return None
