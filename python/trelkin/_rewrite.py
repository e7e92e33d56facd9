"""The import hook that rewrites ``assert`` statements of test modules.

Rewritten are: the test files the session collected, files whose name matches a
``python_files`` pattern, every ``conftest.py``, and modules marked for rewriting (with
``Hook.mark_rewrite``, and the names a rewritten module gives to
``pytest.register_assert_rewrite(...)`` or ``pytest_plugins``). A module whose docstring
holds ``PYTEST_DONT_REWRITE`` is imported as it is.

Usage::

    hook = install(collected_paths, python_files=["test_*.py", "*_test.py"])
    ...
    hook.uninstall()

``install(test_paths, *, python_files=..., cache=True, enabled=True) -> Hook`` puts the
hook first on ``sys.meta_path``; ``test_paths`` holds absolute paths: a set (kept by
reference, so files the session adds after collecting count too, and its names let the
hook pass over other imports without a path search), any other iterable (copied), or a
predicate on an absolute path (which makes every import search its path twice).
``enabled=False`` (``--assert=plain``) installs nothing and returns an inert hook.
Importers that build specs from file locations themselves ask
``hook.spec_for(name, path)``: a spec with the rewriting loader, or None for a file that
isn't rewritten.

On ``pytest.register_assert_rewrite``: pytest finds its own hook on ``sys.meta_path`` by
class and does nothing when there is none, so calling it under trelkin marks nothing by
itself. Instead the hook reads the string literals passed to such calls (and to a
top-level ``pytest_plugins``) in the modules it rewrites (conftest files above all) and
marks those names as the module starts to run. Names computed at run time, or calls in
modules that aren't rewritten, are not seen.

How: ``_rewrite_text`` rewrites the source text, so that compiling stays Python's own;
``_rewrite_ast`` rewrites the parsed tree where the text can't be rewritten with
certainty. Importing this module makes ``__trelkin_fail__`` a builtin: what a failed
assert rewritten in the text calls.

Rewritten code is cached beside the source, in ``__pycache__/NAME.<tag>-trelkin-<N>.pyc``
(``sys.pycache_prefix`` honoured): a header of magic number, the source's mtime in
nanoseconds and its size, then the marshalled code and the names it marks. It is written
atomically (a file of the process's own, then a rename) and not at all when
``sys.dont_write_bytecode`` is set or the directory can't be written.
"""

from __future__ import annotations

import builtins
import fnmatch
import importlib.machinery
import importlib.util
import marshal
import os
import struct
import sys
import threading
import types
from collections.abc import Callable, Iterable, Sequence

from trelkin import _assertion


# Bumped whenever rewritten code changes shape, so stale caches are never read.
FORMAT_VERSION = 2
CACHE_TAG = f"{sys.implementation.cache_tag}-trelkin-{FORMAT_VERSION}"
_HEADER = struct.Struct("<4sQQ")  # magic, source mtime_ns, source size

DEFAULT_PYTHON_FILES = ("test_*.py", "*_test.py")

_active: Hook | None = None

# What a failed rewritten assert calls: a builtin, so rewritten code names it without an
# import of its own (see ``_rewrite_text``).
builtins.__trelkin_fail__ = _assertion.fail  # type: ignore[attr-defined]


def active_hook() -> Hook | None:
    """The hook installed last and not yet removed, if any."""
    return _active


def install(
    test_paths: Callable[[str], bool] | Iterable[str],
    *,
    python_files: Sequence[str] = DEFAULT_PYTHON_FILES,
    cache: bool = True,
    enabled: bool = True,
) -> Hook:
    """Creates the hook and, when enabled, puts it first on ``sys.meta_path``."""
    global _active
    hook = Hook(test_paths, python_files=python_files, cache=cache, enabled=enabled)
    if enabled:
        sys.meta_path.insert(0, hook)
        _active = hook
    return hook


class Hook:
    """Finds modules that are to be rewritten and loads them rewritten."""

    def __init__(
        self,
        test_paths: Callable[[str], bool] | Iterable[str],
        *,
        python_files: Sequence[str] = DEFAULT_PYTHON_FILES,
        cache: bool = True,
        enabled: bool = True,
    ) -> None:
        self.enabled = enabled
        self.cache = cache
        self.python_files = tuple(python_files)
        # Patterns with a directory part match against whole paths, so a module's name
        # alone can't rule them out.
        self._path_patterns = any("/" in p or os.sep in p for p in self.python_files)
        owner = getattr(test_paths, "__self__", None)
        if isinstance(owner, set) and getattr(test_paths, "__name__", "") == "__contains__":
            test_paths = owner  # a set's own test: the set itself says more
        self._paths: set[str] | None = None
        if isinstance(test_paths, set):
            # Kept, not copied: paths the session adds later count too.
            self._paths = test_paths
            self._is_test_path: Callable[[str], bool] = test_paths.__contains__
        elif callable(test_paths):
            self._is_test_path = test_paths
        else:
            self._paths = {os.path.abspath(p) for p in test_paths}
            self._is_test_path = self._paths.__contains__
        self._stems: set[str] = set()
        self._stems_of = -1  # the size of the set the stems were taken from
        # Replaced whole, never changed in place: imports in other threads read it unlocked.
        self._marked: frozenset[str] = frozenset()
        self._lock = threading.Lock()
        self.rewritten: dict[str, str] = {}  # module name -> file, as loaded

    # -- the finder ----------------------------------------------------------------------

    def find_spec(
        self, name: str, path: Sequence[str] | None = None, target: types.ModuleType | None = None
    ) -> importlib.machinery.ModuleSpec | None:
        if not self.enabled or self._bails_out_early(name):
            return None
        spec = importlib.machinery.PathFinder.find_spec(name, path)
        if (
            spec is None
            or spec.origin is None
            or not isinstance(spec.loader, importlib.machinery.SourceFileLoader)
            or not os.path.exists(spec.origin)
        ):
            return None
        if not self.should_rewrite(name, spec.origin):
            return None
        return importlib.util.spec_from_file_location(
            name,
            spec.origin,
            loader=RewritingLoader(name, spec.origin, self),
            submodule_search_locations=spec.submodule_search_locations,
        )

    def spec_for(self, name: str, path: str) -> importlib.machinery.ModuleSpec | None:
        """A spec that loads ``path`` rewritten as module ``name``, or None when the file
        is not one to rewrite."""
        path = os.path.abspath(path)
        if not self.enabled or not self.should_rewrite(name, path):
            return None
        return importlib.util.spec_from_file_location(
            name, path, loader=RewritingLoader(name, path, self)
        )

    def invalidate_caches(self) -> None:
        pass

    def _bails_out_early(self, name: str) -> bool:
        """True when the module's name alone says it isn't rewritten: spares a path search
        for every import of the run."""
        last = name.rpartition(".")[2]
        if last == "conftest" or self._path_patterns or self._paths is None:
            return False
        if len(self._paths) != self._stems_of:
            try:
                paths = list(self._paths)
            except RuntimeError:  # the session is adding paths right now
                return False
            self._stems = {os.path.splitext(os.path.basename(p))[0] for p in paths}
            self._stems_of = len(paths)
        if last in self._stems or self._is_marked(name):
            return False
        filename = last + ".py"
        return not any(fnmatch.fnmatch(filename, p) for p in self.python_files)

    def should_rewrite(self, name: str, path: str) -> bool:
        basename = os.path.basename(path)
        if basename == "conftest.py" or self._is_test_path(path):
            return True
        for pattern in self.python_files:
            if "/" in pattern or os.sep in pattern:
                if _match_path_pattern(pattern, path):
                    return True
            elif fnmatch.fnmatch(basename, pattern):
                return True
        return self._is_marked(name)

    # -- marking -------------------------------------------------------------------------

    def mark_rewrite(self, *names: str) -> None:
        """Rewrites the named modules, and the modules of the named packages, from their
        next import on."""
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"expected module names as *args, got {names!r} instead")
        with self._lock:
            self._marked = self._marked.union(names)

    def _is_marked(self, name: str) -> bool:
        return any(name == m or name.startswith(m + ".") for m in self._marked)

    def uninstall(self) -> None:
        global _active
        if self in sys.meta_path:
            sys.meta_path.remove(self)
        if _active is self:
            _active = None


def _match_path_pattern(pattern: str, path: str) -> bool:
    # A pattern with directories matches the end of the path, as pytest's fnmatch does.
    if not os.path.isabs(pattern):
        pattern = "*" + os.sep + pattern
    return fnmatch.fnmatch(path, pattern)


class RewritingLoader(importlib.machinery.SourceFileLoader):
    """A source loader whose code is the rewritten module, cached under trelkin's tag."""

    def __init__(self, fullname: str, path: str, hook: Hook) -> None:
        super().__init__(fullname, path)
        self.hook = hook

    def get_code(self, fullname: str) -> types.CodeType:
        path = self.get_filename(fullname)
        self.hook.rewritten[fullname] = path
        stat = os.stat(path)
        pyc = cache_path(path)
        cached = read_cache(pyc, stat.st_mtime_ns, stat.st_size, path) if self.hook.cache else None
        if cached is not None:
            code, marks = cached
        else:
            source = self.get_data(path)
            code = rewrite_source(source, path)
            marks = marked_names(source)
            if self.hook.cache and not sys.dont_write_bytecode:
                write_cache(pyc, code, marks, stat.st_mtime_ns, stat.st_size)
        if marks:
            # Marked as the module starts to run, before the code that imports them.
            self.hook.mark_rewrite(*marks)
        return code


def rewrite_source(source: bytes, path: str) -> types.CodeType:
    """Compiles ``source`` with its asserts rewritten (as it is, when it opts out)."""
    from trelkin import _rewrite_text  # only a module that isn't cached pays for it

    if b"PYTEST_DONT_REWRITE" in source and _opts_out(source):
        return compile(source, path, "exec", dont_inherit=True)
    text = _rewrite_text.rewrite_text(source, path)
    if text is not None:
        try:
            return compile(text, path, "exec", dont_inherit=True)
        except SyntaxError:
            pass  # the tree tells what is wrong, or rewrites what the text couldn't
    import ast

    from trelkin import _rewrite_ast

    tree = ast.parse(source, filename=path)
    _rewrite_ast.rewrite_module(tree, path)
    return compile(tree, path, "exec", dont_inherit=True)


def _opts_out(source: bytes) -> bool:
    import ast

    try:
        docstring = ast.get_docstring(ast.parse(source), clean=False)
    except SyntaxError:
        return False
    return docstring is not None and "PYTEST_DONT_REWRITE" in docstring


def marked_names(source: bytes) -> tuple[str, ...]:
    """Module names the source gives to ``register_assert_rewrite`` or ``pytest_plugins``."""
    if b"register_assert_rewrite" not in source and b"pytest_plugins" not in source:
        return ()
    import ast

    from trelkin import _rewrite_ast

    try:
        return tuple(_rewrite_ast.marked_names(ast.parse(source)))
    except SyntaxError:
        return ()


# -- the bytecode cache ---------------------------------------------------------------------


def cache_path(source: str) -> str:
    directory, filename = os.path.split(os.path.abspath(source))
    stem = os.path.splitext(filename)[0]
    if sys.pycache_prefix:
        cache_dir = os.path.join(sys.pycache_prefix, directory.lstrip(os.sep))
    else:
        cache_dir = os.path.join(directory, "__pycache__")
    return os.path.join(cache_dir, f"{stem}.{CACHE_TAG}.pyc")


def read_cache(
    pyc: str, mtime_ns: int, size: int, source: str
) -> tuple[types.CodeType, tuple[str, ...]] | None:
    """The cached code and the names it marks, or None when missing, stale or unreadable."""
    try:
        with open(pyc, "rb") as file:
            data = file.read()
    except OSError:
        return None
    if len(data) < _HEADER.size:
        return None
    magic, cached_mtime, cached_size = _HEADER.unpack_from(data)
    if magic != importlib.util.MAGIC_NUMBER or cached_mtime != mtime_ns or cached_size != size:
        return None
    try:
        code, marks = marshal.loads(data[_HEADER.size :])
    except Exception:
        return None
    if not isinstance(code, types.CodeType) or not isinstance(marks, tuple):
        return None
    if code.co_filename != source:
        # The tree moved with its cache: point the code at where the source is now.
        code = _with_filename(code, source)
    return code, marks


def _with_filename(code: types.CodeType, filename: str) -> types.CodeType:
    consts = tuple(
        _with_filename(c, filename) if isinstance(c, types.CodeType) else c for c in code.co_consts
    )
    return code.replace(co_filename=filename, co_consts=consts)


def write_cache(
    pyc: str, code: types.CodeType, marks: tuple[str, ...], mtime_ns: int, size: int
) -> bool:
    """Writes the cache file atomically; False, silently, when it can't be written."""
    temporary = f"{pyc}.{os.getpid()}.{threading.get_ident()}"
    try:
        os.makedirs(os.path.dirname(pyc), exist_ok=True)
        with open(temporary, "wb") as file:
            file.write(_HEADER.pack(importlib.util.MAGIC_NUMBER, mtime_ns, size))
            file.write(marshal.dumps((code, marks)))
        os.replace(temporary, pyc)
    except OSError:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        return False
    return True
