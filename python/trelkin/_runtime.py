"""The pytest-compatible runtime: collects an imported test file with pytest's rules and
runs one test's phases (setup, call, teardown) with its fixtures, marks and hooks.

The session drives it: ``load_initial_conftests`` and ``option_definitions`` before the
command line is final, ``configure`` once it is, ``collect_file`` per test file,
``modify_items`` over the selection, ``run_item`` per test (told which test runs next on
the same thread, so that the scopes it doesn't share end), and ``finish`` at the end.

In thread mode a package's fixtures end with the session: files of one package may run on
different threads at once. Session- and package-scoped values are set up once per process
under a lock."""

from __future__ import annotations

import os
import sys
import threading
import time
from collections import namedtuple
from pathlib import Path

from trelkin import _marks
from trelkin._conftest import Config, ConftestFailure, Conftests, UsageError
from trelkin._fixtures import CacheEntry, Registry, Request
from trelkin._importing import import_test_module
from trelkin._nodes import FilePath, Item, Module, Node, Package, Session, package_nodes
from trelkin._outcome import Kind, Outcome, Phase
from trelkin._pycollect import CollectError, ModuleCollector

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable
    from typing import Any

    from trelkin._config import Settings

__all__ = ["FileCollection", "Item", "Runtime", "UsageError"]

# pytest's own ini keys that the configuration file reader doesn't type.
_PYTEST_INI: dict[str, tuple[str, object]] = {
    "collect_imported_tests": ("bool", True),
    "disable_test_id_escaping_and_forfeit_all_rights_to_community_support": ("bool", False),
    "strict_markers": ("bool", False),
    "strict": ("bool", False),
}


# A file's items, or the error (or skip) its collection ended in.
FileCollection = namedtuple("FileCollection", "items error", defaults=(None,))


class _Skipped(Exception):
    def __init__(self, reason: str, location: str) -> None:
        super().__init__(reason)
        self.reason, self.location = reason, location


class _XfailNotRun(Exception):
    pass


class _Failure(Exception):
    """A failure whose report is its message alone."""


class Runtime:
    def __init__(self, settings: Settings, options: argparse.Namespace, *, threaded: bool) -> None:
        for name, definition in _PYTEST_INI.items():
            settings.registered.setdefault(name, definition)
        self.settings = settings
        self.options = options
        self.threaded = threaded
        self.registry = Registry(None)
        self.conftests = Conftests(self, settings)
        self.config = Config(settings, options, self.conftests)
        self.registry.config = self.config
        self.registry.autouse[""] = list(settings.getini("usefixtures"))  # type: ignore[call-overload]
        self.session = Session(self.config, settings.rootdir)
        self.config._session = self.session  # type: ignore[attr-defined]
        # Whether the run was interrupted (Ctrl-C): a KeyboardInterrupt then goes through.
        self.interrupted: Callable[[], bool] = lambda: False
        # Set by a test that called pytest.exit(): (message, exit status or None).
        self.exit_request: tuple[str, int | None] | None = None
        self._packages: dict[Path, Node] = {}
        self._local = threading.local()
        self._last_item: Item | None = None
        self._failed = 0
        self._plugins_loaded = False
        # record_testsuite_property values, for the JUnit report's <properties>.
        self.testsuite_properties: list[tuple[str, str]] = []
        from trelkin import _builtins

        _builtins.register(self.registry)

    # ---- configuration ------------------------------------------------------------------

    def load_initial_conftests(self, paths: list[Path]) -> None:
        """Imports the conftests of the rootdir and of each path's directory, and runs
        their ``pytest_addoption``. A conftest that fails to import is a usage error."""
        for path in paths or [self.settings.rootdir]:
            path = Path(path).absolute()
            directory = path if path.is_dir() else path.parent
            try:
                self.conftests.load_for(directory)
            except ConftestFailure as failure:
                from trelkin._traceback import format_collection_error

                text = format_collection_error(failure.error, failure.path)
                raise UsageError(f"while loading conftest '{failure.path}'.\n{text}") from None
        self._load_plugins()

    def _load_plugins(self, *, needed: bool = False) -> bool:
        """Loads the installed pytest plugins once something has imported pytest (a
        conftest or a test module), or when a test asks for a fixture nothing else defines
        (``needed``): a suite that does neither doesn't pay for them. Whether this call
        loaded them."""
        if self._plugins_loaded or ("pytest" not in sys.modules and not needed):
            return False
        self._plugins_loaded = True
        self.conftests.load_installed_plugins(getattr(self.options, "plugins", None) or ())
        return True

    def option_definitions(self) -> list[tuple[tuple[str, ...], dict[str, Any]]]:
        return list(self.conftests.parser.definitions)

    def configure(self, options: argparse.Namespace) -> None:
        self.options = options
        self.config.option = self.config.known_args_namespace = options
        self.conftests._apply_defaults()
        self.conftests.configured = True
        self.strict_markers = bool(
            getattr(options, "strict_markers", False) or self.settings.getini("strict_markers")
        )
        self.runxfail = bool(getattr(options, "runxfail", False))
        self.xfail_strict = bool(self.settings.getini("xfail_strict"))
        self.conftests.call("pytest_configure", {"config": self.config})
        self.conftests.call("pytest_sessionstart", {"session": self.session})

    def report_header(self) -> list[str]:
        lines: list[str] = []
        kwargs = {"config": self.config, "start_path": self.settings.rootdir, "startdir": None}
        for result in self.conftests.call("pytest_report_header", kwargs):
            lines += [result] if isinstance(result, str) else list(result)
        return lines

    # ---- collection ---------------------------------------------------------------------

    def collect_file(self, path: str, nodeid_path: str) -> FileCollection:
        file = FilePath(path)
        absolute = Path(os.path.abspath(path))
        try:
            ignored = self.conftests.load_unless_ignored(absolute)
            self._load_plugins()
            ignored = ignored or self.conftests.call(
                "pytest_ignore_collect",
                {"collection_path": absolute, "config": self.config},
                file=path, firstresult=True,
            )
        except KeyboardInterrupt:
            raise
        except ConftestFailure as failure:
            return FileCollection([], self._conftest_error(failure))
        except BaseException as error:
            if _marks.is_skip(error):
                return FileCollection([], self._module_skip(path, nodeid_path, error))
            return FileCollection([], self._collection_error(path, nodeid_path, error))
        if ignored:
            return FileCollection([])
        try:
            module = import_test_module(path)
        except KeyboardInterrupt:
            raise
        except BaseException as error:
            return FileCollection([], self._import_failure(path, nodeid_path, error))
        self._load_plugins()
        parent = package_nodes(self.session, absolute.parent, self.settings.rootdir, self._packages)
        node = Module(absolute.name, parent, nodeid_path, absolute, module)
        try:
            for plugin in _plugin_list(module.__dict__.get("pytest_plugins")):
                self.conftests.import_plugin(plugin)
            items = ModuleCollector(self, node, file).collect()
            if self.strict_markers:
                self._check_marks(items, node)
        except KeyboardInterrupt:
            raise
        except CollectError as error:
            return FileCollection([], self._error_outcome(path, nodeid_path, str(error), str(error)))
        except BaseException as error:
            if _marks.is_skip(error):
                return FileCollection([], self._module_skip(path, nodeid_path, error))
            return FileCollection([], self._collection_error(path, nodeid_path, error))
        return FileCollection(_reorder(items))

    def _conftest_error(self, failure: ConftestFailure) -> Outcome | None:
        """The collection error of a directory whose conftest failed, once for the
        directory (as pytest reports it), None for the other files below it."""
        if failure.reported:
            return None
        failure.reported = True
        from trelkin._nodes import relative_nodeid

        directory = failure.path.parent
        nodeid = relative_nodeid(directory, self.settings.rootdir) or "."
        outcome = self._collection_error(str(failure.path), nodeid, failure.error)
        if _marks.is_skip(failure.error):
            return self._module_skip(str(failure.path), nodeid, failure.error)
        return outcome

    def _check_marks(self, items: list[Item], module: Module) -> None:
        registered = self.config.registered_markers()
        for item in items:
            for mark in item.iter_markers():
                if mark.name not in registered:
                    raise CollectError(f"'{mark.name}' not found in `markers` configuration option")

    def _import_failure(self, path: str, nodeid_path: str, error: BaseException) -> Outcome:
        if _marks.is_skip(error):
            if getattr(error, "allow_module_level", True) or not hasattr(error, "allow_module_level"):
                return self._module_skip(path, nodeid_path, error)
            message = (
                "Using pytest.skip outside of a test will skip the entire module. If that's "
                "your intention, pass `allow_module_level=True`. If you want to skip a "
                "specific test or an entire class, use the @pytest.mark.skip or "
                "@pytest.mark.skipif decorators."
            )
            return self._error_outcome(path, nodeid_path, message, message)
        return self._collection_error(path, nodeid_path, error)

    def _module_skip(self, path: str, nodeid_path: str, error: BaseException) -> Outcome:
        location = _raise_location(error) or f"{path}:0"
        return Outcome(
            nodeid_path, path, 0, Kind.SKIPPED, Phase.COLLECT,
            message=_marks.skip_message(error), location=location,
        )

    def _collection_error(self, path: str, nodeid_path: str, error: BaseException) -> Outcome:
        from trelkin._traceback import collection_error_message, format_collection_error

        if _marks.is_fail(error) and not getattr(error, "pytrace", True):
            text = str(getattr(error, "msg", error))
            return self._error_outcome(path, nodeid_path, text, text)
        return self._error_outcome(
            path, nodeid_path, collection_error_message(error), format_collection_error(error, path)
        )

    def _error_outcome(self, path: str, nodeid_path: str, message: str, longrepr: str) -> Outcome:
        return Outcome(nodeid_path, path, 0, Kind.ERROR, Phase.COLLECT, message=message, longrepr=longrepr)

    def modify_items(self, items: list[Item]) -> list[Item]:
        """Runs ``pytest_collection_modifyitems`` over the selection; the items kept, in
        their new order (those a hook deselected are dropped)."""
        deselected: set[int] = set()

        def on_deselected(items: list[Item]) -> None:
            deselected.update(id(item) for item in items)

        self.conftests.deselected_callback = on_deselected
        working = list(items)
        self.session.items = working
        self.conftests.call(
            "pytest_collection_modifyitems",
            {"session": self.session, "config": self.config, "items": working},
        )
        self.conftests.deselected_callback = None
        return [item for item in working if id(item) not in deselected]

    # ---- running ------------------------------------------------------------------------

    def _stack(self) -> list[Node]:
        stack = getattr(self._local, "stack", None)
        if stack is None:
            stack = self._local.stack = [self.session]
        return stack

    def _chain(self, item: Item | None) -> list[Node]:
        if item is None:
            return [self.session]
        return [*self._parent_chain(item.parent), item]

    def _parent_chain(self, node: Node) -> list[Node]:
        """The nodes from the session down to ``node``, kept on it: its tests share it."""
        chain = node.__dict__.get("_chain")
        if chain is None:
            chain = node.listchain()
            if self.threaded:
                chain = [each for each in chain if not isinstance(each, Package)]
            node._chain = chain  # type: ignore[attr-defined]
        return chain

    def run_item(self, item: Item, next_item: Item | None, capture: Any) -> Outcome:
        """Runs one test's setup, call and teardown, then ends every scope ``next_item``
        doesn't share. Never raises for the test's sake; a KeyboardInterrupt goes through
        only when ``interrupted()`` says the run was interrupted."""
        self._last_item = item
        item._capture = capture  # type: ignore[attr-defined]
        stack = self._stack()
        outputs: list[tuple[str, str, str]] = []
        xfailed: _marks.Xfail | None = None
        started = time.perf_counter()
        setup_error: BaseException | None = None
        item._xfailed = None  # type: ignore[attr-defined]
        try:
            self._enter(item, stack)
            xfailed = self._setup(item)
        except BaseException as error:
            setup_error = error
            xfailed = item._xfailed  # type: ignore[attr-defined]
        setup_time = time.perf_counter() - started
        outputs.append(("setup", *capture.read()))
        call_error: BaseException | None = None
        call_time = 0.0
        if setup_error is None:
            if xfailed is None and self._may_xfail(item):
                xfailed = self._evaluate_xfail(item)
            started = time.perf_counter()
            try:
                self._call(item)
            except BaseException as error:
                call_error = error
            call_time = time.perf_counter() - started
            if xfailed is None and self._may_xfail(item):
                # The test may have added the mark itself.
                xfailed = self._evaluate_xfail(item)
            outputs.append(("call", *capture.read()))
        started = time.perf_counter()
        teardown_errors = self._teardown(item, next_item, stack)
        teardown_time = time.perf_counter() - started
        outputs.append(("teardown", *capture.read()))
        # What the test held ends with it: a run keeps little per test.
        item._funcargs = item._request = item._capture = None
        outcome = self._decide(item, setup_error, call_error, xfailed)
        if teardown_errors:
            error = teardown_errors[0] if len(teardown_errors) == 1 else BaseExceptionGroup(
                "errors during test teardown", teardown_errors[::-1]
            )
            outcome.teardown_error = self._phase_outcome(item, error, Phase.TEARDOWN, None)
            self._check_interrupt(error)
        outcome.setup_duration, outcome.duration, outcome.teardown_duration = (
            setup_time, call_time, teardown_time,
        )
        outcome.stdout, outcome.stderr = _sections(outputs)
        properties = item._user_properties
        if properties:
            outcome.properties = [(str(name), str(value)) for name, value in properties]
        if outcome.failing:
            self._failed += 1
            self.session.testsfailed = self._failed
        for error in (setup_error, call_error):
            if error is not None:
                self._check_interrupt(error)
        return outcome

    def _check_interrupt(self, error: BaseException) -> None:
        if isinstance(error, KeyboardInterrupt) and (
            self.interrupted() or type(error).__module__.startswith("trelkin")
        ):
            raise error

    def _enter(self, item: Item, stack: list[Node]) -> None:
        above = self._parent_chain(item.parent)
        if len(stack) == len(above) and stack[-1] is above[-1]:
            stack.append(item)  # the previous test was the parent's too
            return
        chain = [*above, item]
        shared = _shared(stack, chain)
        errors: list[BaseException] = []
        while len(stack) > max(shared, 1):
            errors += stack.pop().teardown_node()
        stack += chain[len(stack):]
        if errors:
            raise errors[0]

    def _setup(self, item: Item) -> _marks.Xfail | None:
        item._marked = bool(item.own_markers) or _has_marks(item)  # type: ignore[attr-defined]
        marks = list(item.iter_markers()) if item._marked else []  # type: ignore[attr-defined]
        # What the marks were at setup; a test or fixture may add more (applymarker).
        if marks:
            item._mark_names = {mark.name for mark in marks}  # type: ignore[attr-defined]
        item._marks_seen = len(item.own_markers)  # type: ignore[attr-defined]
        xfailed = None
        if marks:
            namespace = item.module.__dict__
            extra = self.conftests.call("pytest_markeval_namespace", {"config": self.config}, file=item.path)
            if extra:
                namespace = {**namespace}
                for values in reversed(extra):
                    namespace.update(values)
            skip = _marks.evaluate_skip(marks, self.config, namespace)
            if skip is not None:
                raise _Skipped(skip.reason, _item_location(item))
            xfailed = item._xfailed = self._evaluate_xfail(item, marks)  # type: ignore[attr-defined]
            if xfailed is not None and not self.runxfail and not xfailed.run:
                raise _XfailNotRun("[NOTRUN] " + xfailed.reason)
        for hook in self.conftests.hooks_for("pytest_runtest_setup", item.path):
            _call_hook(hook, item=item)
        if item.kind == "failure":
            return xfailed
        cls = item.cls
        if cls is not None:
            item.instance = cls(item.originalname) if item.kind == "unittest" else cls()
        plan = item.plan
        if plan is not None and plan.closure:
            request = item._request = Request(item, self)
            for name in plan.closure:
                request._active(name)
            entries = request._entries
            item._funcargs = {
                name: (entry.value if type(entry) is CacheEntry else entry)
                for name in plan.argnames
                for entry in (entries[name] if name in entries else request._active(name),)
            }
        return xfailed

    def _may_xfail(self, item: Item) -> bool:
        if "xfail" in item._mark_names:  # type: ignore[attr-defined]
            return True
        if len(item.own_markers) == item._marks_seen:  # type: ignore[attr-defined]
            return False
        return item.get_closest_marker("xfail") is not None

    def _evaluate_xfail(self, item: Item, marks: list[Any] | None = None) -> _marks.Xfail | None:
        marks = marks if marks is not None else list(item.iter_markers())
        return _marks.evaluate_xfail(marks, self.config, item.module.__dict__, self.xfail_strict)

    def _call(self, item: Item) -> None:
        for hook in self.conftests.hooks_for("pytest_runtest_call", item.path):
            _call_hook(hook, item=item)
        filters = self._warning_filters(item)
        if filters:
            import warnings

            with warnings.catch_warnings():
                for arguments in filters:
                    warnings.filterwarnings(*arguments)
                self._call_test(item)
        else:
            self._call_test(item)

    def _call_test(self, item: Item) -> None:
        if item.kind == "function":
            funcargs = item._funcargs
            result = item.obj(**funcargs) if funcargs else item.obj()
            if result is not None and hasattr(result, "__await__"):
                self._await(item, result)
        elif item.kind == "unittest":
            from trelkin._unittest import run_case

            run_case(item)
        else:
            raise _Failure(item.failure)

    def _await(self, item: Item, awaitable: Any) -> None:
        """Runs a coroutine test on a new event loop where an async plugin would (no pytest
        at all, an ``asyncio``/``anyio`` mark, or ``asyncio_mode = auto``); else as pytest
        without such a plugin: skipped before pytest 8.4, failed since."""
        import asyncio

        if (
            "pytest" not in sys.modules
            or item.get_closest_marker("asyncio") is not None
            or item.get_closest_marker("anyio") is not None
            or self.settings.getini("asyncio_mode") == "auto"
        ):
            asyncio.run(_awaited(awaitable))
            return
        getattr(awaitable, "close", lambda: None)()
        from trelkin._params import pytest_version

        if pytest_version() >= (8, 4):
            raise _Failure(
                "async def functions are not natively supported.\nYou need to install a "
                "suitable plugin for your async framework, for example:\n  - anyio\n  - "
                "pytest-asyncio\n  - pytest-tornasync\n  - pytest-trio\n  - pytest-twisted"
            )
        import unittest

        raise unittest.SkipTest(
            "async def function and no async plugin installed (see warnings)"
        )

    def _warning_filters(self, item: Item) -> list[tuple[Any, ...]]:
        """The test's filterwarnings marks; the run's ini and -W filters are already in
        place beneath them (-W over the ini, as pytest orders them)."""
        filters: list[tuple[Any, ...]] = []
        if "no:warnings" in getattr(self.options, "plugins", ()):
            return filters
        if "filterwarnings" in item._mark_names or len(item.own_markers) != item._marks_seen:  # type: ignore[attr-defined]
            from trelkin._warnings import parse_filter

            for mark in item.iter_markers("filterwarnings"):
                filters = [*filters, *(parse_filter(argument, escape=False) for argument in mark.args)]
        return filters

    def _teardown(self, item: Item, next_item: Item | None, stack: list[Node]) -> list[BaseException]:
        errors: list[BaseException] = []
        try:
            for hook in self.conftests.hooks_for("pytest_runtest_teardown", item.path):
                _call_hook(hook, item=item, nextitem=next_item)
        except BaseException as error:
            errors.append(error)
        if stack[-1] is item and next_item is not None and next_item.parent is item.parent:
            # The next test shares every scope but this one's.
            stack.pop()
            return errors + item.teardown_node()
        shared = _shared(stack, self._chain(next_item))
        if stack and stack[-1] is not item:
            errors += item.teardown_node()
        while len(stack) > max(shared, 1):
            errors += stack.pop().teardown_node()
        return errors

    # ---- outcomes -----------------------------------------------------------------------

    def _decide(
        self,
        item: Item,
        setup_error: BaseException | None,
        call_error: BaseException | None,
        xfailed: _marks.Xfail | None,
    ) -> Outcome:
        if setup_error is not None:
            return self._phase_outcome(item, setup_error, Phase.SETUP, xfailed)
        if call_error is not None:
            return self._phase_outcome(item, call_error, Phase.CALL, xfailed)
        if xfailed is not None and not self.runxfail:
            if xfailed.strict:
                text = "[XPASS(strict)] " + xfailed.reason
                return Outcome(item.nodeid, item.path, item.line, Kind.FAILED, Phase.CALL, message=text, longrepr=text)
            return Outcome(item.nodeid, item.path, item.line, Kind.XPASSED, Phase.CALL, message=xfailed.reason)
        return Outcome(item.nodeid, item.path, item.line, Kind.PASSED, Phase.CALL)

    def _phase_outcome(
        self, item: Item, error: BaseException, phase: Phase, xfailed: _marks.Xfail | None
    ) -> Outcome:
        def make(kind: Kind, message: str = "", longrepr: str = "", location: str = "") -> Outcome:
            return Outcome(
                item.nodeid, item.path, item.line, kind, phase,
                message=message, longrepr=longrepr, location=location,
            )

        if isinstance(error, _Skipped):
            return make(Kind.SKIPPED, error.reason, location=error.location)
        if isinstance(error, _XfailNotRun):
            return make(Kind.XFAILED, str(error))
        if _marks.is_exit(error):
            message = str(getattr(error, "msg", error))
            self.exit_request = (message, getattr(error, "returncode", None))
            return make(Kind.NOT_RUN, f"Exit: {message}")
        if _marks.is_skip(error) and phase is not Phase.TEARDOWN:
            location = _raise_location(error) or _item_location(item)
            if getattr(error, "_use_item_location", False) or type(error).__module__ == "unittest.case":
                location = _item_location(item)
            return make(Kind.SKIPPED, _marks.skip_message(error), location=location)
        from trelkin._unittest import ExpectedFailure

        if isinstance(error, ExpectedFailure) or (_marks.is_xfail(error) and not self.runxfail):
            return make(Kind.XFAILED, _marks.skip_message(error))
        if xfailed is not None and not self.runxfail and phase is not Phase.TEARDOWN:
            if _marks.raises_matches(xfailed.raises, error):
                return make(Kind.XFAILED, xfailed.reason)
        message, longrepr = self._format(error)
        return make(Kind.ERROR if phase is not Phase.CALL else Kind.FAILED, message, longrepr)

    def _format(self, error: BaseException) -> tuple[str, str]:
        if isinstance(error, _Failure | _marks.ConditionError):
            text = str(error)
            return text.split("\n", 1)[0], text
        if _marks.is_fail(error) and not getattr(error, "pytrace", True):
            text = str(getattr(error, "msg", error))
            return text.split("\n", 1)[0], text
        from trelkin._fixtures import FixtureLookupError

        if isinstance(error, FixtureLookupError):
            text = str(error)
            return next((line.strip()[1:].strip() for line in text.splitlines() if line.startswith("E ")), text), text
        from trelkin._traceback import format_failure

        options = self.options
        return format_failure(
            error,
            style=getattr(options, "tbstyle", "auto") or "auto",
            showlocals=bool(getattr(options, "showlocals", False)),
            verbosity=int(getattr(options, "verbosity", 0) or 0),
            full_trace=bool(getattr(options, "full_trace", False)),
            rootdir=self.settings.rootdir,
        )

    def finish(self) -> list[Outcome]:
        """Ends the session scope and runs ``pytest_sessionfinish`` and
        ``pytest_unconfigure``; errors as ERROR outcomes of the last test's teardown."""
        errors: list[BaseException] = []
        stack = self._stack()
        while stack:
            errors += stack.pop().teardown_node()
        errors += self.session.teardown_node()
        self._local.stack = None
        status = 1 if self._failed else 0
        for name, kwargs in (
            ("pytest_sessionfinish", {"session": self.session, "exitstatus": status}),
            ("pytest_unconfigure", {"config": self.config}),
        ):
            try:
                self.conftests.call(name, kwargs)
            except Exception as error:
                errors.append(error)
        for cleanup in reversed(self.config._cleanup):
            try:
                cleanup()
            except Exception as error:
                errors.append(error)
        outcomes = []
        last = self._last_item
        for error in errors:
            message, longrepr = self._format(error)
            nodeid = last.nodeid if last is not None else ""
            path = last.path if last is not None else ""
            line = last.line if last is not None else 0
            outcomes.append(Outcome(nodeid, path, line, Kind.ERROR, Phase.TEARDOWN, message=message, longrepr=longrepr))
        return outcomes


def _has_marks(item: Item) -> bool:
    node: Node | None = item
    while node is not None:
        if node.own_markers:
            return True
        node = node.parent
    return False


def _shared(stack: list[Node], chain: list[Node]) -> int:
    """How many nodes from the root two node chains have in common."""
    shared = 0
    for mine, theirs in zip(stack, chain):
        if mine is not theirs:
            break
        shared += 1
    return shared


def _call_hook(hook: Callable[..., Any], **kwargs: Any) -> None:
    from trelkin._conftest import _invoke

    result = _invoke(hook, kwargs)
    if result is not None and hasattr(result, "__next__"):
        for _ in result:
            pass


async def _awaited(awaitable: Any) -> Any:
    return await awaitable


def _plugin_list(value: object) -> list[str]:
    if not value:
        return []
    return [value] if isinstance(value, str) else list(value)  # type: ignore[call-overload]


def _raise_location(error: BaseException) -> str:
    """Where in the user's code an exception was raised: "path:line"."""
    import trelkin

    ignored = (os.path.dirname(trelkin.__file__), os.sep + "_pytest" + os.sep, os.sep + "unittest" + os.sep)
    tb = error.__traceback__
    found = ""
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        if not any(part in filename for part in ignored):
            found = f"{_display(filename)}:{tb.tb_lineno}"
        tb = tb.tb_next
    return found


def _item_location(item: Item) -> str:
    return f"{_display(os.path.abspath(item.path))}:{getattr(item, 'first_line', item.line)}"


def _display(filename: str) -> str:
    try:
        relative = os.path.relpath(filename)
    except ValueError:
        return filename
    return filename if relative.startswith("..") else relative


def _sections(outputs: list[tuple[str, str, str]]) -> tuple[str, str]:
    """Each stream's text of all phases; with section titles when more than one phase
    wrote to it."""
    for _, out, err in outputs:
        if out or err:
            break
    else:
        return "", ""
    streams = []
    for index, stream in ((1, "stdout"), (2, "stderr")):
        parts = [(phase, texts[index - 1]) for phase, *texts in outputs if texts[index - 1]]
        if len(parts) <= 1:
            streams.append(parts[0][1] if parts else "")
        else:
            streams.append("".join(f"--- Captured {stream} {phase} ---\n{text}" for phase, text in parts))
    return streams[0], streams[1]


def _reorder(items: list[Item]) -> list[Item]:
    """Groups a file's tests by the values of their module- and class-scoped parameters,
    as pytest orders them, so that each value is set up once."""
    keyed = [(item, _scoped_key(item)) for item in items]
    if not any(key for _, key in keyed):
        return items
    from trelkin._reorder import reorder

    return reorder(keyed)


def _scoped_key(item: Item) -> tuple[Any, ...]:
    callspec = item.callspec
    if callspec is None:
        return ()
    return tuple(
        (name, callspec.indices[name], scope)
        for name, scope in callspec.scopes.items()
        if scope >= 1
    )
