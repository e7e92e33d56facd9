"""The ``monkeypatch`` fixture: attributes, items, environment variables, ``sys.path``
and the working directory changed for one test and put back after it, as pytest's
``MonkeyPatch`` does."""

from __future__ import annotations

import contextlib
import os
import sys
import warnings

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, MutableMapping
    from typing import Any

_NOTSET: Any = object()


def _resolve(name: str) -> object:
    parts = name.split(".")
    used = parts.pop(0)
    found: object = __import__(used)
    for part in parts:
        used += "." + part
        try:
            found = getattr(found, part)
            continue
        except AttributeError:
            pass
        try:
            __import__(used)
        except ImportError as error:
            expected = str(error).split()[-1]
            if expected == used:
                raise
            raise ImportError(f"import error in {used}: {error}") from error
        found = getattr(found, part)
    return found


def _split_target(import_path: str, raising: bool) -> tuple[str, object]:
    if not isinstance(import_path, str) or "." not in import_path:
        raise TypeError(f"must be absolute import path string, not {import_path!r}")
    module, attribute = import_path.rsplit(".", 1)
    target = _resolve(module)
    if raising and not hasattr(target, attribute):
        raise AttributeError(f"{target!r} object at {module} has no attribute {attribute!r}")
    return attribute, target


class MonkeyPatch:
    def __init__(self) -> None:
        self._setattr: list[tuple[object, str, object]] = []
        self._setitem: list[tuple[MutableMapping[Any, Any], object, object]] = []
        self._cwd: str | None = None
        self._savesyspath: list[str] | None = None

    @classmethod
    @contextlib.contextmanager
    def context(cls) -> Iterator[MonkeyPatch]:
        patch = cls()
        try:
            yield patch
        finally:
            patch.undo()

    def setattr(self, target: object, name: object = _NOTSET, value: object = _NOTSET, raising: bool = True) -> None:
        import inspect

        if value is _NOTSET:
            if not isinstance(target, str):
                raise TypeError(
                    "use setattr(target, name, value) or setattr(target, value) with target "
                    "being a dotted import string"
                )
            value = name
            name, target = _split_target(target, raising=raising)
        elif not isinstance(name, str):
            raise TypeError(
                "use setattr(target, name, value) with name being a string or "
                "setattr(target, value) with target being a dotted import string"
            )
        old = getattr(target, name, _NOTSET)
        if raising and old is _NOTSET:
            raise AttributeError(f"{target!r} has no attribute {name!r}")
        # Keep a class's own descriptor (a staticmethod, say) to put it back as it was.
        if inspect.isclass(target):
            old = target.__dict__.get(name, _NOTSET)
        self._setattr.append((target, name, old))
        setattr(target, name, value)

    def delattr(self, target: object, name: object = _NOTSET, raising: bool = True) -> None:
        import inspect

        if name is _NOTSET:
            if not isinstance(target, str):
                raise TypeError(
                    "use delattr(target, name) or delattr(target) with target being a dotted "
                    "import string"
                )
            name, target = _split_target(target, raising=raising)
        assert isinstance(name, str)
        if not hasattr(target, name):
            if raising:
                raise AttributeError(name)
            return
        old = getattr(target, name, _NOTSET)
        if inspect.isclass(target):
            old = target.__dict__.get(name, _NOTSET)
        self._setattr.append((target, name, old))
        delattr(target, name)

    def setitem(self, dic: MutableMapping[Any, Any], name: object, value: object) -> None:
        self._setitem.append((dic, name, dic.get(name, _NOTSET)))
        dic[name] = value

    def delitem(self, dic: MutableMapping[Any, Any], name: object, raising: bool = True) -> None:
        if name not in dic:
            if raising:
                raise KeyError(name)
            return
        self._setitem.append((dic, name, dic.get(name, _NOTSET)))
        del dic[name]

    def setenv(self, name: str, value: str, prepend: str | None = None) -> None:
        if not isinstance(value, str):
            warnings.warn(
                UserWarning(
                    f"Value of environment variable {name} type should be str, but got "
                    f"{value!r} (type: {type(value).__name__}); converted to str implicitly"
                ),
                stacklevel=2,
            )
            value = str(value)
        if prepend and name in os.environ:
            value = value + prepend + os.environ[name]
        self.setitem(os.environ, name, value)

    def delenv(self, name: str, raising: bool = True) -> None:
        self.delitem(os.environ, name, raising=raising)

    def syspath_prepend(self, path: object) -> None:
        if self._savesyspath is None:
            self._savesyspath = sys.path[:]
        sys.path.insert(0, str(path))
        import importlib

        importlib.invalidate_caches()
        # A namespace package imported before may now have a new portion.
        if "pkg_resources" in sys.modules:
            from pkg_resources import fixup_namespace_packages  # type: ignore[import-not-found]

            fixup_namespace_packages(str(path))

    def chdir(self, path: str | os.PathLike[str]) -> None:
        if self._cwd is None:
            self._cwd = os.getcwd()
        os.chdir(path)

    def undo(self) -> None:
        for target, name, value in reversed(self._setattr):
            if value is not _NOTSET:
                setattr(target, name, value)
            else:
                delattr(target, name)
        self._setattr[:] = []
        for dictionary, key, value in reversed(self._setitem):
            if value is _NOTSET:
                try:
                    del dictionary[key]
                except KeyError:
                    pass
            else:
                dictionary[key] = value
        self._setitem[:] = []
        if self._savesyspath is not None:
            sys.path[:] = self._savesyspath
            self._savesyspath = None
        if self._cwd is not None:
            os.chdir(self._cwd)
            self._cwd = None

