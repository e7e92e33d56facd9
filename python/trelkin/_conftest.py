"""conftest.py files and plugins, the ``config`` object hooks and fixtures receive, and
calling the hooks that conftests define.

Each conftest is imported once, from the rootdir down to a test file's directory, before
that directory's test files. Its fixtures are visible below its directory, its hooks
apply to the files below it; modules named by ``pytest_plugins`` are plugins, visible
everywhere. Hooks trelkin runs: ``pytest_addoption``, ``pytest_configure``,
``pytest_unconfigure``, ``pytest_sessionstart``, ``pytest_sessionfinish``,
``pytest_collection_modifyitems``, ``pytest_deselected``, ``pytest_generate_tests``,
``pytest_runtest_setup``/``_call``/``_teardown`` (before the test's own phase),
``pytest_report_header``, ``pytest_ignore_collect``, ``pytest_markeval_namespace``; any
other hook a conftest defines is reported with a warning naming it."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from pathlib import Path

from trelkin._nodes import Stash, relative_nodeid

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Any

    from trelkin._config import Settings

SUPPORTED_HOOKS = frozenset({
    "pytest_addoption", "pytest_configure", "pytest_unconfigure", "pytest_sessionstart",
    "pytest_sessionfinish", "pytest_collection_modifyitems", "pytest_deselected",
    "pytest_generate_tests", "pytest_runtest_setup", "pytest_runtest_call",
    "pytest_runtest_teardown", "pytest_report_header", "pytest_ignore_collect",
    "pytest_markeval_namespace", "pytest_plugin_registered", "pytest_addhooks",
})

# Option values pytest always has, for conftests that read them.
_PYTEST_DEFAULTS: dict[str, object] = {
    "verbose": 0, "quiet": 0, "capture": "fd", "markexpr": "", "keyword": "", "usepdb": False,
    "runxfail": False, "color": "auto", "tbstyle": "auto", "exitfirst": False, "maxfail": 0,
    "strict_markers": False, "collectonly": False, "basetemp": None, "lf": False,
    "failedfirst": False, "reportchars": "", "showlocals": False, "traceconfig": False,
    "log_level": None, "log_cli_level": None, "numprocesses": None, "rootdir": None,
    "confcutdir": None, "noconftest": False, "importmode": "prepend", "durations": None,
    "cacheclear": False, "disable_warnings": False, "deselect": None, "ignore": None,
    "pythonwarnings": None, "assertmode": "rewrite", "doctestmodules": False,
    "xmlpath": None, "setuponly": False, "setupplan": False, "setupshow": False,
}


class UsageError(Exception):
    """A bad command line or configuration, found while configuring (exit status 4)."""


class ConftestFailure(Exception):
    """A conftest.py that could not be imported, with the error it raised."""

    def __init__(self, path: Path, error: BaseException) -> None:
        super().__init__(f"{path}: {error}")
        self.path, self.error = path, error
        self.reported = False


class OptionGroup:
    def __init__(self, parser: Parser, name: str) -> None:
        self.parser, self.name = parser, name

    def addoption(self, *flags: str, **attrs: Any) -> None:
        self.parser.addoption(*flags, **attrs)

    _addoption = addoption


class Parser:
    """What ``pytest_addoption(parser)`` writes to: argparse-ready option definitions
    and ini keys."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.definitions: list[tuple[tuple[str, ...], dict[str, Any]]] = []
        self.groups: dict[str, OptionGroup] = {}

    def addoption(self, *flags: str, **attrs: Any) -> None:
        if isinstance(attrs.get("type"), str):
            attrs["type"] = {"int": int, "float": float, "string": str, "str": str}.get(
                attrs["type"], str
            )
        self.definitions.append((flags, attrs))

    def getgroup(self, name: str, description: str = "", after: str | None = None) -> OptionGroup:
        group = self.groups.get(name)
        if group is None:
            group = self.groups[name] = OptionGroup(self, name)
        return group

    def addini(self, name: str, help: str = "", type: str | None = None, default: Any = None) -> None:
        kind = type or "string"
        if default is None:
            default = [] if kind in ("args", "linelist", "paths") else (False if kind == "bool" else "")
        self.settings.registered.setdefault(name, (kind, default))

    def dest_of(self, name: str) -> str | None:
        for flags, attrs in self.definitions:
            dest = attrs.get("dest") or _dest(flags)
            if name in flags or dest == name:
                return dest
        return None


def _dest(flags: tuple[str, ...]) -> str:
    long = [flag for flag in flags if flag.startswith("--")]
    chosen = long[0] if long else flags[0]
    return chosen.lstrip("-").replace("-", "_")


class InvocationParams:
    def __init__(self, args: tuple[str, ...], directory: Path) -> None:
        self.args = args
        self.plugins = None
        self.dir = directory


class HookCaller:
    def __init__(self, manager: Conftests, name: str) -> None:
        self.manager, self.name = manager, name

    def __call__(self, **kwargs: Any) -> list[Any]:
        return self.manager.call(self.name, kwargs)

    def call_historic(self, kwargs: dict[str, Any] | None = None, result_callback: Any = None) -> None:
        self.manager.call(self.name, kwargs or {})


class HookRelay:
    def __init__(self, manager: Conftests) -> None:
        self._manager = manager

    def __getattr__(self, name: str) -> HookCaller:
        if name.startswith("_"):
            raise AttributeError(name)
        return HookCaller(self._manager, name)


class PluginManager:
    def __init__(self, manager: Conftests) -> None:
        self._manager = manager

    def hasplugin(self, name: str) -> bool:
        return self.getplugin(name) is not None

    def getplugin(self, name: str) -> Any:
        return self._manager.plugins.get(name)

    get_plugin = getplugin

    def is_registered(self, plugin: object) -> bool:
        return any(entry is plugin for entry in self._manager.plugins.values())

    def register(self, plugin: object, name: str | None = None) -> str:
        return self._manager.register_plugin(plugin, name)

    def unregister(self, plugin: object = None, name: str | None = None) -> None:
        self._manager.unregister(plugin, name)

    def import_plugin(self, name: str) -> None:
        self._manager.import_plugin(name)

    def list_name_plugin(self) -> list[tuple[str, object]]:
        return list(self._manager.plugins.items())

    def get_plugins(self) -> set[object]:
        return set(map(id, self._manager.plugins.values()))  # type: ignore[arg-type]

    def add_hookspecs(self, module: object) -> None:
        self._manager.hookspecs.add(module)


class Config:
    """The ``config`` conftests and fixtures see."""

    def __init__(self, settings: Settings, options: argparse.Namespace, manager: Conftests) -> None:
        self._settings = settings
        self.option = options
        self.known_args_namespace = options
        self._manager = manager
        self.rootpath = settings.rootdir
        self.inipath = settings.inifile
        args = tuple(getattr(options, "file_or_dir", None) or getattr(options, "paths", None) or ())
        self.args = list(args)
        self.invocation_params = InvocationParams(args, Path.cwd())
        self.pluginmanager = PluginManager(manager)
        self.hook = HookRelay(manager)
        self.stash = Stash()
        self.parser = manager.parser
        self._ini_lines: dict[str, list[str]] = {}
        self._cache: Any = None
        self.workerinput: Any
        self._cleanup: list[Callable[[], object]] = []

    @property
    def rootdir(self) -> Any:
        from trelkin._nodes import _legacy_path

        return _legacy_path(self.rootpath)

    @property
    def inifile(self) -> Any:
        from trelkin._nodes import _legacy_path

        return _legacy_path(self.inipath) if self.inipath is not None else None

    @property
    def cache(self) -> Any:
        if self._cache is None:
            from trelkin._builtins import CacheFixture

            self._cache = CacheFixture(self.rootpath)
        return self._cache

    def getini(self, name: str) -> Any:
        settings = self._settings
        value = settings.getini(name)
        added = self._ini_lines.get(name)
        if added:
            value = [*value, *added] if isinstance(value, list) else value
        return value

    def addinivalue_line(self, name: str, line: str) -> None:
        self._ini_lines.setdefault(name, []).append(line)

    def getoption(self, name: str, default: Any = argparse.SUPPRESS, skip: bool = False) -> Any:
        dest = name
        installed = self._manager.installed_parser
        if name.startswith("-"):
            dest = self.parser.dest_of(name) or installed.dest_of(name) or name.lstrip("-").replace("-", "_")
        if hasattr(self.option, dest):
            value = getattr(self.option, dest)
        elif (
            self.parser.dest_of(dest) is not None
            or installed.dest_of(dest) is not None
            or dest in _PYTEST_DEFAULTS
        ):
            value = self._default(dest)
        elif default is not argparse.SUPPRESS:
            return default
        else:
            raise ValueError(f"no option named {name!r}")
        if skip and value is None:
            import unittest

            raise unittest.SkipTest(f"no {name!r} option found")
        return value

    def _default(self, dest: str) -> Any:
        for flags, attrs in [*self.parser.definitions, *self._manager.installed_parser.definitions]:
            if (attrs.get("dest") or _dest(flags)) == dest:
                if "default" in attrs:
                    return attrs["default"]
                action = attrs.get("action")
                if action == "store_true":
                    return False
                if action == "store_false":
                    return True
                return None
        return _PYTEST_DEFAULTS.get(dest)

    getvalue = getoption

    def getvalueorskip(self, name: str) -> Any:
        return self.getoption(name, skip=True)

    def issue_config_time_warning(self, warning: Warning, stacklevel: int) -> None:
        import warnings

        warnings.warn(warning, stacklevel=stacklevel)

    def add_cleanup(self, function: Callable[[], object]) -> None:
        self._cleanup.append(function)

    def registered_markers(self) -> set[str]:
        names = set(_BUILTIN_MARKERS)
        for line in self.getini("markers"):
            names.add(line.split(":", 1)[0].split("(", 1)[0].strip())
        return names


_BUILTIN_MARKERS = (
    "filterwarnings", "skip", "skipif", "xfail", "parametrize", "usefixtures",
    "tryfirst", "trylast", "timeout",
)


class Conftests:
    """The loaded conftests and plugins, and the hooks they define."""

    def __init__(self, runtime: Any, settings: Settings) -> None:
        self.runtime = runtime
        self.settings = settings
        self.parser = Parser(settings)
        # Installed plugins' options: their defaults only, not on trelkin's command line.
        self.installed_parser = Parser(settings)
        self.loaded: dict[Path, Any] = {}
        # Directories whose conftests, and those of every directory above, are loaded.
        self._loaded_dirs: set[str] = set()
        # Installed plugins (by id): only their configuration hooks run.
        self._installed: set[int] = set()
        # Directories whose conftest failed to import: every file below them fails too.
        self.failed: dict[Path, ConftestFailure] = {}
        # (directory or None for a plugin, module or object), in registration order.
        self.entries: list[tuple[Path | None, Any]] = []
        self.plugins: dict[str, Any] = {}
        self.hookspecs: set[object] = set()
        self.configured = False
        self.warnings: list[str] = []
        # Hook implementations by (hook, file), until the next registration.
        self._implementations: dict[tuple[str, str | None], list[Callable[..., Any]]] = {}
        # While pytest_collection_modifyitems runs: told of the items a hook deselects.
        self.deselected_callback: Callable[[list[Any]], None] | None = None

    # Loading.

    def load_for(self, directory: Path) -> None:
        """Imports every conftest from the rootdir down to ``directory`` not yet loaded."""
        root = self.settings.rootdir
        directory = directory.absolute()
        try:
            relative = directory.relative_to(root)
            chain = [root, *(root / Path(*relative.parts[:n]) for n in range(1, len(relative.parts) + 1))]
        except ValueError:
            chain = [directory]
        for folder in chain:
            failed = self.failed.get(folder)
            if failed is not None:
                raise failed
            if folder in self.loaded:
                continue
            path = folder / "conftest.py"
            self.loaded[folder] = None
            if path.is_file():
                try:
                    self.loaded[folder] = self._import_conftest(path)
                except Exception as error:
                    failure = ConftestFailure(path, error)
                    self.failed[folder] = failure
                    raise failure from error

    def load_unless_ignored(self, path: Path) -> bool:
        """Loads the conftests from the rootdir down to ``path``'s directory, one directory
        at a time, and tells whether a conftest's ``collect_ignore`` or
        ``collect_ignore_glob`` leaves out ``path`` or a directory above it: the conftests
        below an ignored directory are never imported, as with pytest."""
        text = os.fspath(path)
        if os.path.isabs(text) and os.path.dirname(text) in self._loaded_dirs:
            if not self._any_ignore_lists():
                return False  # every conftest above is loaded, and none leaves anything out
        path = path.absolute()
        directory = str(path.parent)
        try:
            parts = path.relative_to(self.settings.rootdir).parts
        except ValueError:
            self.load_for(path.parent)
            self._loaded_dirs.add(directory)
            return False
        entry = self.settings.rootdir
        for part in parts:
            entry = entry / part
            self.load_for(entry.parent)
            if self._ignored(entry):
                return True
        self._loaded_dirs.add(directory)
        return False

    def _any_ignore_lists(self) -> bool:
        return any(
            hasattr(module, "collect_ignore") or hasattr(module, "collect_ignore_glob")
            for module in self.loaded.values() if module is not None
        )

    def ignored_by_loaded(self, path: Path) -> bool:
        """Whether the conftests already imported leave out ``path`` (importing none)."""
        if not self._any_ignore_lists():
            return False
        try:
            parts = path.relative_to(self.settings.rootdir).parts
        except ValueError:
            return False
        entry = self.settings.rootdir
        for part in parts:
            entry = entry / part
            if self._ignored(entry):
                return True
        return False

    def _ignored(self, entry: Path) -> bool:
        # The nearest conftest above ``entry`` that defines each name decides, its paths
        # taken relative to its own directory.
        import fnmatch

        paths = self._conftest_paths("collect_ignore", entry.parent)
        if any(os.path.normpath(str(path)) == str(entry) for path in paths):
            return True
        globs = self._conftest_paths("collect_ignore_glob", entry.parent)
        return any(fnmatch.fnmatch(str(entry), str(glob)) for glob in globs)

    def _conftest_paths(self, name: str, directory: Path) -> list[Path | str]:
        for folder in (directory, *directory.parents):
            module = self.loaded.get(folder)
            values = getattr(module, name, None) if module is not None else None
            if values is not None:
                return [
                    Path(value) if isinstance(value, os.PathLike)
                    else os.path.abspath(folder / str(value).replace("/", os.sep))
                    for value in values
                ]
            if folder == self.settings.rootdir:
                break
        return []

    def _import_conftest(self, path: Path) -> Any:
        from trelkin._importing import import_conftest

        module = import_conftest(path)
        baseid = relative_nodeid(path.parent, self.settings.rootdir)
        self._register(module, path.parent, baseid, str(path))
        return module

    def load_installed_plugins(self, requested: Iterable[str]) -> None:
        """Imports the plugins installed packages declare (entry points ``pytest11``) and
        those named with ``-p NAME``, less those named ``-p no:NAME``, the ones trelkin
        does the work of itself, and all of the installed ones when
        ``PYTEST_DISABLE_PLUGIN_AUTOLOAD`` is set. Their fixtures are visible everywhere;
        their options get their defaults but are not added to the command line; of their hooks
        only those that configure and see the session run."""
        requested = list(requested)
        disabled = {name[3:] for name in requested if name.startswith("no:")}
        if not os.environ.get("PYTEST_DISABLE_PLUGIN_AUTOLOAD"):
            from importlib.metadata import entry_points

            for entry in entry_points(group="pytest11"):
                module_name = entry.value.split(":", 1)[0]
                if entry.name in disabled or module_name in disabled or _superseded(module_name):
                    continue
                self._load_installed(module_name, entry.name)
        for name in requested:
            if not name.startswith("no:") and not _superseded(name):
                self._load_installed(name, name)

    def _load_installed(self, module_name: str, name: str) -> None:
        if name in self.plugins or module_name in self.plugins:
            return
        import warnings

        try:
            module = importlib.import_module(module_name)
        except Exception as error:
            warnings.warn(f"trelkin could not load the plugin {name}: {error}", RuntimeWarning, stacklevel=2)
            return
        if module in self.plugins.values():
            return
        self._register(module, None, "", name, installed=True)

    def _register(
        self, module: Any, directory: Path | None, baseid: str, name: str, *, installed: bool = False
    ) -> None:
        self.plugins[name] = module
        self.entries.append((directory, module))
        if installed:
            self._installed.add(id(module))
        self._implementations.clear()
        namespace = module.__dict__ if hasattr(module, "__dict__") and not isinstance(module, type) else {}
        if not isinstance(namespace, dict):
            namespace = dict(vars(type(module)))
        self.runtime.registry.parse(namespace, baseid)
        for plugin in _plugin_names(namespace.get("pytest_plugins")):
            self.import_plugin(plugin)
        for attribute in () if installed else namespace:
            if attribute.startswith("pytest_") and attribute not in SUPPORTED_HOOKS and attribute != "pytest_plugins":
                if callable(namespace[attribute]):
                    message = f"trelkin does not run the hook {attribute} defined in {name}"
                    self.warnings.append(message)
                    import warnings

                    warnings.warn(message, RuntimeWarning, stacklevel=2)
        manager = self.runtime.config.pluginmanager
        try:
            self._call_one(namespace.get("pytest_addhooks"), {"pluginmanager": manager})
            self._call_one(namespace.get("pytest_addoption"), {
                "parser": self.installed_parser if installed else self.parser, "pluginmanager": manager,
            })
            if self.configured:
                self._apply_defaults()
                self._call_one(namespace.get("pytest_configure"), {"config": self.runtime.config})
                if installed:
                    self._call_one(namespace.get("pytest_sessionstart"), {"session": self.runtime.session})
        except Exception as error:
            if not installed:
                raise
            import warnings

            warnings.warn(f"trelkin could not set up the plugin {name}: {error}", RuntimeWarning, stacklevel=2)

    def import_plugin(self, name: str) -> None:
        if name in self.plugins:
            return
        module = importlib.import_module(name)
        if module in self.plugins.values():
            self.plugins[name] = module
            return
        self._register(module, None, "", name)

    def register_plugin(self, plugin: object, name: str | None = None) -> str:
        name = name or getattr(plugin, "__name__", None) or str(id(plugin))
        if name in self.plugins:
            raise ValueError(f"Plugin name already registered: {name}")
        namespace = plugin.__dict__ if isinstance(plugin, type(sys)) else {
            attribute: getattr(plugin, attribute) for attribute in dir(plugin) if not attribute.startswith("__")
        }
        self.plugins[name] = plugin
        self.entries.append((None, _Namespace(namespace)))
        self._implementations.clear()
        self.runtime.registry.parse(namespace, "")
        if self.configured:
            self._call_one(namespace.get("pytest_configure"), {"config": self.runtime.config})
        return name

    def unregister(self, plugin: object = None, name: str | None = None) -> None:
        for key, value in list(self.plugins.items()):
            if key == name or (plugin is not None and value is plugin):
                del self.plugins[key]
                self.entries = [entry for entry in self.entries if entry[1] is not value]
                self._implementations.clear()

    def _apply_defaults(self) -> None:
        options = self.runtime.config.option
        for flags, attrs in [*self.parser.definitions, *self.installed_parser.definitions]:
            dest = attrs.get("dest") or _dest(flags)
            if not hasattr(options, dest):
                setattr(options, dest, self.runtime.config._default(dest))

    # Calling.

    def implementations(self, name: str, file: str | None = None) -> list[Callable[..., Any]]:
        """The hook's implementations, latest registered first (pluggy's order); with a
        file, only conftests above it."""
        key = (name, file)
        cached = self._implementations.get(key)
        if cached is not None:
            return cached
        found = []
        absolute = os.path.abspath(file) if file is not None else None
        limited = name not in _INSTALLED_PLUGIN_HOOKS
        for directory, module in reversed(self.entries):
            if limited and id(module) in self._installed:
                continue
            function = getattr(module, name, None)
            if function is None or not callable(function):
                continue
            if absolute is not None and directory is not None:
                prefix = str(directory)
                if not (absolute == prefix or absolute.startswith(prefix.rstrip(os.sep) + os.sep)):
                    continue
            found.append(function)
        self._implementations[key] = found
        return found

    def hooks_for(self, name: str, file: str) -> list[Callable[..., Any]]:
        return self.implementations(name, file)

    def call(self, name: str, kwargs: dict[str, Any], file: str | None = None, firstresult: bool = False) -> Any:
        results = []
        pending = []
        if name == "pytest_deselected" and self.deselected_callback is not None:
            self.deselected_callback(list(kwargs.get("items", ())))
        for function in self.implementations(name, file):
            result = _invoke(function, kwargs)
            if _is_generator(function):
                next(result)
                pending.append((result, _is_old_wrapper(function)))
                continue
            if result is not None:
                if firstresult:
                    _close(pending)
                    return result
                results.append(result)
        _close(pending)
        return None if firstresult else results

    def _call_one(self, function: Any, kwargs: dict[str, Any]) -> Any:
        if function is None or not callable(function):
            return None
        return _invoke(function, kwargs)


# The hooks of installed plugins that run: those that configure and see the session. Their other hooks work
# on pytest's own objects (its items, requests, reports), which a trelkin run hasn't got.
_INSTALLED_PLUGIN_HOOKS = frozenset({
    "pytest_addoption", "pytest_addhooks", "pytest_configure", "pytest_unconfigure",
    "pytest_report_header", "pytest_sessionstart", "pytest_sessionfinish",
    "pytest_collection_modifyitems",
})

# Plugins whose work trelkin does itself (workers, time limits, the report log) or that
# measure a pytest process (coverage): not loaded.
_SUPERSEDED = ("xdist", "pytest_cov", "pytest_timeout", "pytest_reportlog", "pytest_forked")


def _superseded(module_name: str) -> bool:
    return module_name.split(".", 1)[0] in _SUPERSEDED


class _Namespace:
    def __init__(self, values: dict[str, Any]) -> None:
        self.__dict__.update(values)


class _Result:
    """What an old-style hook wrapper receives from its ``yield``."""

    def __init__(self) -> None:
        self._result: Any = None

    def get_result(self) -> Any:
        return self._result

    def force_result(self, result: Any) -> None:
        self._result = result


def _is_old_wrapper(function: Callable[..., Any]) -> bool:
    options = getattr(function, "pytest_impl", None) or {}
    return bool(options.get("hookwrapper"))


def _close(pending: list[tuple[Any, bool]]) -> None:
    for generator, old_style in reversed(pending):
        try:
            generator.send(_Result() if old_style else None)
        except StopIteration:
            pass


def _is_generator(function: Callable[..., Any]) -> bool:
    code = getattr(getattr(function, "__func__", function), "__code__", None)
    return code is not None and bool(code.co_flags & 0x20)


def _invoke(function: Callable[..., Any], kwargs: dict[str, Any]) -> Any:
    """Calls a hook implementation with the arguments it names, as pluggy does."""
    code = getattr(getattr(function, "__func__", function), "__code__", None)
    if code is None:
        return function(**kwargs)
    names = code.co_varnames[: code.co_argcount + code.co_kwonlyargcount]
    if hasattr(function, "__self__"):
        names = names[1:]
    return function(**{name: kwargs[name] for name in names if name in kwargs})


def _plugin_names(value: object) -> Iterable[str]:
    if not value:
        return ()
    if isinstance(value, str):
        return (value,)
    return tuple(value)  # type: ignore[arg-type]
