"""Which test files a run takes, found without importing anything: the command line's
paths and node ids, the walk of each directory with pytest's rules, and the errors met on
the way (a path that names nothing, an unreadable directory).

The walk follows pytest's: entries in name order, depth first; directories matching
``norecursedirs`` (fnmatch on the name, or on the whole path for patterns with a "/"),
``__pycache__`` and virtual environments (a ``pyvenv.cfg`` inside) are not entered; a file
is a test file when its name matches ``python_files``. A file named on the command line is
taken whatever its name. Only regular files are ever opened: a pipe or a device is never
read, even when named on the command line.
"""

from __future__ import annotations

import fnmatch
import os
import stat
from pathlib import Path

from trelkin._outcome import Kind, Outcome, Phase

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

    from trelkin._config import Settings


class UsageError(Exception):
    """A command line that names nothing to run (pytest's exit status 4)."""


class Target:
    """One path of the command line: the file or directory, and the node id parts that
    follow it (``file::Class::test``), empty for the whole path."""

    __slots__ = ("argument", "path", "selector")

    def __init__(self, path: Path, selector: tuple[str, ...] = (), argument: str = "") -> None:
        self.path = path  # absolute
        self.selector = selector
        self.argument = argument


class TestFile:
    """One file to import and collect. ``path`` is absolute; ``nodeid_path`` is the path
    relative to the rootdir in "/" form, as node ids begin."""

    __slots__ = ("nodeid_path", "path", "selectors")

    def __init__(self, path: str, nodeid_path: str) -> None:
        self.path = path
        self.nodeid_path = nodeid_path
        # Node id parts asked for on the command line; empty tuple for all. A file named
        # several times keeps every selector.
        self.selectors: list[tuple[str, ...]] = []

    def __repr__(self) -> str:
        return f"TestFile({self.path!r}, {self.nodeid_path!r}, {self.selectors!r})"


class Found:
    __slots__ = ("errors", "files")

    def __init__(self, files: list[TestFile], errors: list[Outcome]) -> None:
        self.files = files
        self.errors = errors


def nodeid_path(path: Path, rootdir: Path) -> str:
    """The path as node ids give it: relative to the rootdir, "/"-separated; a path outside
    the rootdir is relative with ".." parts, as pytest writes it."""
    try:
        relative = path.relative_to(rootdir)
    except ValueError:
        relative = Path(os.path.relpath(path, rootdir))
    text = relative.as_posix()
    return "" if text == "." else text


def matches_any(path: Path, patterns: Iterable[str]) -> bool:
    """pytest's fnmatch_ex: a pattern without "/" matches the name, one with "/" the whole
    path (an absolute path against "*/" and the pattern)."""
    for pattern in patterns:
        if "/" not in pattern:
            if fnmatch.fnmatch(path.name, pattern):
                return True
        elif fnmatch.fnmatch(str(path), pattern if os.path.isabs(pattern) else f"*/{pattern}"):
            return True
    return False


def resolve_arguments(
    arguments: Sequence[str], settings: Settings, invocation_dir: Path
) -> list[Target]:
    """The command line's paths, or ``testpaths`` (globbed from the rootdir) when none is
    given and the command runs in the rootdir, or the invocation directory."""
    if not arguments:
        testpaths = settings.getini("testpaths")
        if testpaths and invocation_dir == settings.rootdir:
            import glob

            found = [
                match
                for pattern in testpaths  # type: ignore[union-attr]
                for match in sorted(glob.glob(str(settings.rootdir / pattern), recursive=True))
            ]
            if found:
                return [Target(Path(path), (), path) for path in found]
        return [Target(invocation_dir, (), ".")]
    targets = []
    for argument in arguments:
        text, *parts = argument.split("::")
        path = Path(os.path.normpath(invocation_dir / text))
        try:
            status = os.stat(path)
        except OSError:
            raise UsageError(f"file or directory not found: {argument}") from None
        if not (stat.S_ISDIR(status.st_mode) or stat.S_ISREG(status.st_mode)):
            raise UsageError(f"not a regular file or directory: {argument}")
        if parts and not stat.S_ISREG(status.st_mode):
            raise UsageError(f"a node id needs a file before '::': {argument}")
        targets.append(Target(path, tuple(parts), argument))
    return targets


def find_files(
    targets: Sequence[Target],
    settings: Settings,
    *,
    ignore: Sequence[str] = (),
    ignore_glob: Sequence[str] = (),
    in_virtualenv: bool = False,
) -> Found:
    """The test files under the targets, in the order pytest collects them (each target
    in turn; a file reached twice is taken once, with the selectors of both)."""
    python_files = settings.getini("python_files")
    norecurse = settings.getini("norecursedirs")
    ignored = {os.path.normpath(os.path.abspath(path)) for path in ignore}
    walk = _Walk(
        python_files,  # type: ignore[arg-type]
        norecurse,  # type: ignore[arg-type]
        ignored,
        list(ignore_glob),
        in_virtualenv,
    )
    files: dict[str, TestFile] = {}
    for target in targets:
        if target.path.is_dir():
            paths = walk.directory(target.path)
        elif target.path.suffix == ".py" or target.selector:
            paths = [target.path]
        else:
            paths = []
        for path in paths:
            key = str(path)
            entry = files.get(key)
            if entry is None:
                entry = files[key] = TestFile(key, nodeid_path(path, settings.rootdir))
            entry.selectors.append(target.selector)
    errors = [
        Outcome(
            nodeid=nodeid_path(path, settings.rootdir),
            path=str(path),
            line=0,
            kind=Kind.ERROR,
            phase=Phase.COLLECT,
            message=message,
            longrepr=message,
        )
        for path, message in walk.errors
    ]
    return Found(list(files.values()), errors)


class _Walk:
    def __init__(
        self,
        python_files: list[str],
        norecurse: list[str],
        ignored: set[str],
        ignore_glob: list[str],
        in_virtualenv: bool,
    ) -> None:
        self.python_files = python_files
        self.norecurse = norecurse
        self.ignored = ignored
        self.ignore_glob = ignore_glob
        self.in_virtualenv = in_virtualenv
        self.errors: list[tuple[Path, str]] = []

    def _ignored(self, path: Path) -> bool:
        if self.ignored and os.path.normpath(str(path)) in self.ignored:
            return True
        return any(fnmatch.fnmatch(str(path), glob) for glob in self.ignore_glob)

    def directory(self, root: Path) -> list[Path]:
        found: list[Path] = []
        try:
            status = os.stat(root)
        except OSError as error:
            self.errors.append((root, f"{type(error).__name__}: {error}"))
            return found
        self._visit(root, ((status.st_dev, status.st_ino),), found)
        return found

    def _visit(
        self, directory: Path, ancestors: tuple[tuple[int, int], ...], found: list[Path]
    ) -> None:
        """Adds the test files below ``directory``; ``ancestors`` are the identities of
        the directories on the way down, so that a link back to one is not entered."""
        try:
            with os.scandir(directory) as iterator:
                entries = sorted(iterator, key=lambda entry: entry.name)
        except OSError as error:
            self.errors.append((directory, f"{type(error).__name__}: {error}"))
            return
        for entry in entries:
            path = Path(entry.path)
            try:
                is_dir = entry.is_dir()
                is_file = not is_dir and entry.is_file()
            except OSError:
                continue
            if is_dir:
                if entry.name == "__pycache__" or matches_any(path, self.norecurse):
                    continue
                if self._ignored(path):
                    continue
                if not self.in_virtualenv and os.path.isfile(os.path.join(path, "pyvenv.cfg")):
                    continue
                try:
                    status = entry.stat()
                except OSError:
                    continue
                identity = (status.st_dev, status.st_ino)
                if identity not in ancestors:
                    self._visit(path, (*ancestors, identity), found)
            elif is_file and entry.name.endswith(".py") and entry.name != "conftest.py":
                if matches_any(path, self.python_files) and not self._ignored(path):
                    found.append(path)
