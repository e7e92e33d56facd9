"""The built-in fixtures: tmp_path, tmp_path_factory, tmpdir, tmpdir_factory,
monkeypatch, capsys, capsysbinary, capfd, capfdbinary, caplog, recwarn, pytestconfig,
cache, record_property, record_xml_attribute, record_testsuite_property,
doctest_namespace. (``request`` is the request itself.)

``tmpdir`` is a ``py.path.local`` when pytest's copy of it can be imported, else a
``pathlib.Path``. Temporary directories live under one base directory per process:
``--basetemp`` when given (emptied first), else a new folder per process under
``<tmp>/trelkin-of-<user>/``, where the folders of the last few ended runs are kept."""

from __future__ import annotations

import os
import re
import threading
import warnings
from pathlib import Path

from trelkin._fixtures import FUNCTION, SESSION, FixtureDef

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any

    from trelkin._fixtures import Registry, Request


class TempPathFactory:
    """``tmp_path_factory``: numbered directories under the run's base directory."""

    def __init__(self, basetemp: str | None) -> None:
        self._given = Path(basetemp).absolute() if basetemp else None
        self._basetemp: Path | None = None
        self._lock = threading.Lock()
        # The next number to try for each base name.
        self._next: dict[str, int] = {}

    def getbasetemp(self) -> Path:
        with self._lock:
            if self._basetemp is None:
                if self._given is not None:
                    if self._given.exists():
                        import shutil

                        shutil.rmtree(self._given, ignore_errors=True)
                    self._given.mkdir(parents=True)
                    self._basetemp = self._given
                else:
                    self._basetemp = _new_basetemp()
            return self._basetemp

    def mktemp(self, basename: str, numbered: bool = True) -> Path:
        if os.path.normpath(basename) != basename or os.path.isabs(basename):
            raise ValueError(f"{basename} is not a normalized and relative path")
        base = self.getbasetemp()
        with self._lock:
            if not numbered:
                path = base / basename
                path.mkdir()
                return path
            number = self._next.get(basename, 0)
            while True:
                path = base / f"{basename}{number}"
                number += 1
                try:
                    path.mkdir()
                except FileExistsError:
                    continue
                self._next[basename] = number
                return path


# Base directories of ended runs kept for a look after the run, as pytest keeps three.
KEEP_RUNS = 3


def _new_basetemp() -> Path:
    """A new ``run-<pid>-*`` folder under ``<tmp>/trelkin-of-<user>``; the folders of runs
    whose process has ended are removed but for the newest few."""
    import getpass
    import shutil
    import tempfile

    try:
        user = re.sub(r"[\W]", "_", getpass.getuser())
    except (ImportError, KeyError, OSError):
        user = "unknown"
    root = Path(tempfile.gettempdir()) / f"trelkin-of-{user}"
    root.mkdir(mode=0o700, exist_ok=True)
    ended = []
    for entry in root.iterdir():
        match = re.fullmatch(r"run-(\d+)-.*", entry.name)
        if match and not _alive(int(match.group(1))):
            try:
                ended.append((entry.stat().st_mtime, entry))
            except OSError:
                continue
    for _, entry in sorted(ended, reverse=True)[KEEP_RUNS - 1 :]:
        shutil.rmtree(entry, ignore_errors=True)
    return Path(tempfile.mkdtemp(prefix=f"run-{os.getpid()}-", dir=root)).resolve()


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


class TempdirFactory:
    def __init__(self, factory: TempPathFactory) -> None:
        self._factory = factory

    def mktemp(self, basename: str, numbered: bool = True) -> Any:
        return legacy(self._factory.mktemp(basename, numbered))

    def getbasetemp(self) -> Any:
        return legacy(self._factory.getbasetemp())


def legacy(path: Path) -> Any:
    try:
        from _pytest._py.path import LocalPath

        return LocalPath(path)
    except ImportError:
        return path


def _tmp_name(request: Request) -> str:
    name = getattr(request.node, "short_name", request.node.name)
    return re.sub(r"[\W]", "_", name)[:30]


class WarningsRecorder(warnings.catch_warnings):
    """``recwarn``: every warning the test raises, in order."""

    def __init__(self) -> None:
        super().__init__(record=True)
        self._list: list[warnings.WarningMessage] = []

    def __enter__(self) -> WarningsRecorder:  # type: ignore[override]
        self._list = super().__enter__()  # type: ignore[assignment]
        warnings.simplefilter("always")
        return self

    @property
    def list(self) -> list[warnings.WarningMessage]:
        return self._list

    def __getitem__(self, index: int) -> warnings.WarningMessage:
        return self._list[index]

    def __iter__(self) -> Iterator[warnings.WarningMessage]:
        return iter(self._list)

    def __len__(self) -> int:
        return len(self._list)

    def pop(self, cls: type[Warning] = Warning) -> warnings.WarningMessage:
        best = None
        for index, warning in enumerate(self._list):
            if warning.category is cls:
                return self._list.pop(index)
            if issubclass(warning.category, cls) and best is None:
                best = index
        if best is not None:
            return self._list.pop(best)
        raise AssertionError(f"{cls!r} not found in warning list")

    def clear(self) -> None:
        self._list[:] = []


class CacheFixture:
    """``cache`` (and ``config.cache``): values kept between runs under the rootdir."""

    def __init__(self, rootdir: Path) -> None:
        from trelkin._cache import Cache

        self._cache = Cache(rootdir)
        self._cachedir = self._cache.path

    def get(self, key: str, default: Any) -> Any:
        return self._cache.get(key, default)

    def set(self, key: str, value: object) -> None:
        self._cache.set(key, value)

    def mkdir(self, name: str) -> Path:
        if "/" in name or os.sep in name:
            raise ValueError("name is not allowed to contain path separators")
        return self._cache.mkdir(name)

    def makedir(self, name: str) -> Any:
        return legacy(self.mkdir(name))


# The fixture functions.


def _tmp_path_factory(request: Request) -> TempPathFactory:
    basetemp = getattr(request.config.option, "basetemp", None)
    return TempPathFactory(basetemp)


def _tmp_path(tmp_path_factory: TempPathFactory, request: Request) -> Path:
    return tmp_path_factory.mktemp(_tmp_name(request), numbered=True)


def _tmpdir_factory(tmp_path_factory: TempPathFactory) -> TempdirFactory:
    return TempdirFactory(tmp_path_factory)


def _tmpdir(tmp_path: Path) -> Any:
    return legacy(tmp_path)


def _monkeypatch() -> Iterator[Any]:
    from trelkin._monkeypatch import MonkeyPatch

    patch = MonkeyPatch()
    yield patch
    patch.undo()


def _capture(binary: bool, fd: bool) -> Callable[[Request], Iterator[Any]]:
    def fixture(request: Request) -> Iterator[Any]:
        from trelkin._capture_fixtures import CaptureFixture

        item = request._item
        if getattr(item, "_capture_fixture", None) is not None:
            raise RuntimeError(
                f"cannot use {request.fixturename} and {item._capture_fixture} at the same time"
            )
        capture = CaptureFixture(getattr(item, "_capture", None), binary=binary, fd=fd)
        item._capture_fixture = request.fixturename
        try:
            yield capture
        finally:
            capture.close()
            item._capture_fixture = None

    return fixture


def _caplog() -> Iterator[Any]:
    from trelkin._logfixture import LogCaptureFixture

    fixture = LogCaptureFixture()
    yield fixture
    fixture._finalize()


def _recwarn() -> Iterator[WarningsRecorder]:
    with WarningsRecorder() as recorder:
        yield recorder


def _pytestconfig(request: Request) -> Any:
    return request.config


def _cache(request: Request) -> CacheFixture:
    return request.config.cache  # type: ignore[no-any-return]


def _record_property(request: Request) -> Callable[[str, object], None]:
    def record(name: str, value: object) -> None:
        request.node.user_properties.append((name, value))

    return record


def _record_xml_attribute(request: Request) -> Callable[[str, object], None]:
    def record(name: str, value: object) -> None:
        request.node.user_properties.append((name, value))

    return record


def _record_testsuite_property(request: Request) -> Callable[[str, object], None]:
    runtime = request._runtime

    def record(name: str, value: object) -> None:
        if not isinstance(name, str):
            raise TypeError(f"name parameter needs to be a string, but {type(name).__name__} given")
        runtime.testsuite_properties.append((name, str(value)))

    return record


def _doctest_namespace() -> dict[str, Any]:
    return {}


def register(registry: Registry) -> None:
    """Adds the built-ins first, so that any other definition of a name overrides them."""
    definitions: list[tuple[str, Callable[..., Any], int]] = [
        ("tmp_path_factory", _tmp_path_factory, SESSION),
        ("tmp_path", _tmp_path, FUNCTION),
        ("tmpdir_factory", _tmpdir_factory, SESSION),
        ("tmpdir", _tmpdir, FUNCTION),
        ("monkeypatch", _monkeypatch, FUNCTION),
        ("capsys", _capture(False, False), FUNCTION),
        ("capsysbinary", _capture(True, False), FUNCTION),
        ("capfd", _capture(False, True), FUNCTION),
        ("capfdbinary", _capture(True, True), FUNCTION),
        ("caplog", _caplog, FUNCTION),
        ("recwarn", _recwarn, FUNCTION),
        ("pytestconfig", _pytestconfig, SESSION),
        ("cache", _cache, SESSION),
        ("record_property", _record_property, FUNCTION),
        ("record_xml_attribute", _record_xml_attribute, FUNCTION),
        ("record_testsuite_property", _record_testsuite_property, SESSION),
        ("doctest_namespace", _doctest_namespace, SESSION),
    ]
    for name, function, scope in definitions:
        registry.add(FixtureDef(name, function, scope, ""))
