"""The warnings each test raises, captured as pytest captures them, and the "warnings
summary" that lists them.

pytest wraps every test in ``warnings.catch_warnings``, which swaps the warnings module's
process-wide filters and display hook; tests of different files running at once on threads
of one process would see each other's filters and records. So a run installs its state once
instead and keeps what pytest keeps per test apart per thread:

* ``warnings.filters`` becomes a list whose items, as the interpreter's warning machinery
  reads them, are one catch-all ``always`` filter, while Python code that reads or changes
  it (``filterwarnings``, ``simplefilter``, ``resetwarnings``, a test looking at it) sees and
  changes the filters of the current thread only. Every warning thus reaches the display
  hook, which applies the thread's filters and once-per-location registries as the warnings
  module would, raising the warning for an ``error`` filter.
* ``warnings.catch_warnings`` saves and restores the thread's filters and records into a
  list of the thread's own (so ``pytest.warns``, ``recwarn`` and a ``filterwarnings`` mark
  applied with it stay within their test).
* The registries are the thread's, emptied at each test's start as a filter change empties
  them, so each test sees its own warnings as pytest shows them.

A thread with nothing captured of its own (one a test started) shares the state of the one
test being captured when there is exactly one, as the process-wide state would give it.

Use::

    capturing = Warnings(cmdline=options.pythonwarnings, ini=settings.getini("filterwarnings"),
                         enabled="no:warnings" not in options.plugins)   # FilterError: usage
    capturing.install()
    with capturing.capture() as caught:            # importing a test file: its warnings
        ...                                        # are kept in ``capturing.collection``
    with capturing.capture(nodeid) as caught:      # one test, its setup and teardown
        ...
    outcome.warnings = caught
    capturing.set_ini(lines)                       # lines a conftest added meanwhile
    capturing.uninstall()
    number = capturing.show_summary(terminal, outcomes, invocation_dir, planned_nodeids)
    number = capturing.total(outcomes)             # the same count, for --disable-warnings

A worker process hands its import-time warnings on with ``take_collection()``; the
process that reports takes them in with ``add_collection(records)``.

Each entry is the text ``warnings.formatwarning`` gives, as pytest keeps it:
``"{filename}:{lineno}: {Category}: {message}\\n  {source line}\\n"``.
"""

from __future__ import annotations

import os
import re
import sys
import threading
import warnings
from collections import Counter
from contextlib import contextmanager

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator, Sequence
    from pathlib import Path
    from typing import Any

    from trelkin._outcome import Outcome
    from trelkin._terminal import Terminal

DOCS = "-- Docs: https://docs.pytest.org/en/stable/how-to/capture-warnings.html"
_FILTER_DOCS = "https://docs.python.org/3/library/warnings.html#describing-warning-filters"
_RESOURCE_DOCS = "https://docs.pytest.org/en/stable/how-to/capture-warnings.html#resource-warnings"
# A message listed with this many locations or more lists a count per file instead.
_FOLD_AT = 10
# What the interpreter's warning machinery sees while a run is installed.
_CATCH_ALL = ("always", None, Warning, None, 0)

# The parameters of ``warnings.warn_explicit``, in order.
_EXPLICIT_ARGUMENTS = ("message", "category", "filename", "lineno", "module", "registry")
# The arguments of ``warnings.filterwarnings``: action, message, category, module, lineno.
FilterArgs = tuple[str, str, type[Warning], str, int]


class FilterError(ValueError):
    """A ``-W`` or ``filterwarnings`` text pytest refuses; the text is pytest's usage error."""


def _error(text: str, problem: str) -> FilterError:
    return FilterError(
        f"while parsing the following warning configuration:\n\n  {text}\n\n"
        f"This error occurred:\n\n{problem}\n"
    )


def parse_filter(text: str, *, escape: bool) -> FilterArgs:
    """``action:message:category:module:lineno`` as pytest reads it: ``-W`` options with
    ``escape`` (message and module are literal text, the module matched whole),
    ``filterwarnings`` lines and marks without (both are regular expressions). A category
    whose module can't be imported raises that ImportError."""
    parts = text.split(":")
    if len(parts) > 5:
        raise _error(
            text,
            f"Too many fields ({len(parts)}), expected at most 5 separated by colons:\n\n"
            f"  action:message:category:module:line\n\n"
            f"For more information please consult: {_FILTER_DOCS}\n",
        )
    parts += [""] * (5 - len(parts))
    action_text, message, category_text, module, lineno_text = (part.strip() for part in parts)
    try:
        action: str = warnings._getaction(action_text)  # type: ignore[attr-defined]
    except warnings._OptionError as error:  # type: ignore[attr-defined]
        raise _error(text, str(error)) from None
    try:
        category = _category(category_text)
    except ImportError:
        raise
    except Exception as error:
        import traceback

        raise _error(text, "".join(traceback.format_exception(error))) from None
    if message and escape:
        message = re.escape(message)
    if module and escape:
        module = re.escape(module) + r"\Z"
    lineno = 0
    if lineno_text:
        try:
            lineno = int(lineno_text)
            if lineno < 0:
                raise ValueError("number is negative")
        except ValueError as error:
            raise _error(text, f"invalid lineno {lineno_text!r}: {error}") from None
    try:
        re.compile(message)
        re.compile(module)
    except re.error as error:
        raise _error(text, f"Invalid regex {error.pattern!r}: {error}") from None
    return action, message, category, module, lineno


def _category(name: str) -> type[Warning]:
    """A category by name: a builtin, or ``module.Name`` imported (its ImportError kept)."""
    if not name:
        return Warning
    if "." in name:
        import importlib

        module_name, _, attribute = name.rpartition(".")
        namespace: object = importlib.import_module(module_name)
    else:
        import builtins

        namespace, attribute = builtins, name
    category = getattr(namespace, attribute)
    if not (isinstance(category, type) and issubclass(category, Warning)):
        raise TypeError(f"{category} is not a Warning subclass")
    return category


def _compiled(args: FilterArgs) -> tuple[Any, ...]:
    """A ``warnings.filters`` entry, as ``warnings.filterwarnings`` makes it."""
    action, message, category, module, lineno = args
    return (
        action,
        re.compile(message, re.I) if message else None,
        category,
        re.compile(module) if module else None,
        lineno,
    )


def format_warning(message: warnings.WarningMessage) -> str:
    """A warning as the summary lists it (pytest's ``warning_record_to_str``)."""
    text = warnings.formatwarning(
        str(message.message), message.category, message.filename, message.lineno, message.line
    )
    return text + _allocation_note(message.source)


def _allocation_note(source: object) -> str:
    """For a warning about an object (a ResourceWarning): where it was allocated."""
    if source is None:
        return ""
    import tracemalloc

    allocated = tracemalloc.get_object_traceback(source)
    if allocated is not None:
        return "\nObject allocated at:\n" + "\n".join(allocated.format())
    return (
        "Enable tracemalloc to get traceback where the object was allocated.\n"
        f"See {_RESOURCE_DOCS} for more info."
    )


class _State:
    """One thread's share of the warnings module: its filters (None: the run's), what it
    has warned about since its filters last changed, and where its warnings go."""

    __slots__ = ("captured", "collecting", "log", "registry", "shown_by", "view")

    def __init__(self) -> None:
        self.view: list[tuple[Any, ...]] | None = None
        self.registry: dict[tuple[Any, ...], bool] = {}
        self.log: list[warnings.WarningMessage] | None = None  # a catch_warnings(record=True)
        self.captured: list[str] | None = None  # the test's (or the import's) warnings
        self.collecting = False
        self.shown_by: object = None  # warnings.showwarning when the capture started

    def busy(self) -> bool:
        return self.captured is not None or self.log is not None or self.view is not None


# The run whose state is installed; the patched functions below work for it.
_installed: Warnings | None = None
_ORIGINAL_ENTER = warnings.catch_warnings.__enter__
_ORIGINAL_EXIT = warnings.catch_warnings.__exit__


class Warnings:
    """One run's warning filters and capture (see the module's docstring).

    ``cmdline``: the ``-W`` options in order; ``ini``: the ``filterwarnings`` lines;
    ``enabled`` False (``-p no:warnings``) leaves the warnings module alone: warnings then go
    where Python sends them, and captures are empty. Raises FilterError for a text pytest
    refuses."""

    def __init__(self, cmdline: Iterable[str], ini: Iterable[str], enabled: bool = True) -> None:
        self.enabled = enabled
        # Filters in the order they are applied, each put before those applied earlier.
        self._applied: list[FilterArgs] = []
        self._import_failures: list[str] = []
        # Warnings raised while importing test files: (filename, lineno, entry).
        self.collection: list[tuple[str, int, str]] = []
        self._cmdline = list(cmdline)
        if enabled:
            self._applied = self._parse(ini)
        self._base: list[tuple[Any, ...]] = []
        self._run: list[tuple[Any, ...]] = []
        self._local = threading.local()
        self._lock = threading.Lock()
        self._active: dict[int, _State] = {}  # states capturing now, by id
        self._idle = _State()  # for threads that have no state of their own
        self._saved: dict[str, Any] = {}

    def _parse(self, ini: Iterable[str]) -> list[FilterArgs]:
        applied: list[FilterArgs] = []
        if not sys.warnoptions:
            # Shown unless the interpreter was told otherwise, as pytest does.
            applied += [("always", "", DeprecationWarning, "", 0),
                        ("always", "", PendingDeprecationWarning, "", 0)]
        for lines, escape in ((ini, False), (self._cmdline, True)):
            for text in lines:
                try:
                    applied.append(parse_filter(text, escape=escape))
                except ImportError as error:
                    failure = f"Failed to import filter module '{error.name}': {text}"
                    if failure not in self._import_failures:
                        self._import_failures.append(failure)
        return applied

    def set_ini(self, ini: Iterable[str]) -> None:
        """New ``filterwarnings`` lines (a conftest's ``pytest_configure`` added some): the
        tests that start from now on have them, below the ``-W`` options as ever."""
        if not self.enabled:
            return
        known = len(self._import_failures)
        self._applied = self._parse(ini)
        if _installed is self:
            self._run = self._build()
            if len(self._import_failures) > known:
                self._warn_config(self._import_failures[known:])

    def _build(self) -> list[tuple[Any, ...]]:
        run = list(self._base)
        for args in self._applied:
            entry = _compiled(args)
            if entry in run:
                run.remove(entry)
            run.insert(0, entry)
        return run

    # ---- install ---------------------------------------------------------------------

    def install(self) -> None:
        """Takes over the warnings module for the run (once per process)."""
        global _installed
        if not self.enabled:
            return
        if _installed is not None:
            raise RuntimeError("another run's warnings are installed")
        self._base = list(warnings.filters)
        self._run = self._build()
        self._saved = {
            "filters": warnings.filters,
            "_showwarnmsg": warnings._showwarnmsg,  # type: ignore[attr-defined]
            "_filters_mutated": warnings._filters_mutated,  # type: ignore[attr-defined]
            "warn_explicit": warnings.warn_explicit,
        }
        self._filters = _Filters(self)
        warnings.filters = self._filters  # type: ignore[misc]
        warnings._showwarnmsg = self._show  # type: ignore[attr-defined]
        warnings._filters_mutated = self._filters_mutated  # type: ignore[attr-defined]
        warnings.warn_explicit = self._warn_explicit
        warnings.catch_warnings.__enter__ = _enter  # type: ignore[method-assign]
        warnings.catch_warnings.__exit__ = _exit  # type: ignore[method-assign]
        _installed = self
        # What was warned about before no longer hides a warning from a test.
        self._saved["_filters_mutated"]()
        if self._import_failures:
            self._warn_config(self._import_failures)

    def uninstall(self) -> None:
        global _installed
        if _installed is not self:
            return
        warnings.catch_warnings.__enter__ = _ORIGINAL_ENTER  # type: ignore[method-assign]
        warnings.catch_warnings.__exit__ = _ORIGINAL_EXIT  # type: ignore[method-assign]
        for name, value in self._saved.items():
            setattr(warnings, name, value)
        _installed = None
        warnings._filters_mutated()  # type: ignore[attr-defined]

    def _forget_other_threads(self) -> None:
        """In a forked child only the forking thread lives on: the captures of the others
        are gone with them."""
        own = getattr(self._local, "state", None)
        self._lock = threading.Lock()
        self._active = {key: state for key, state in self._active.items() if state is own}

    def _warn_config(self, messages: Sequence[str]) -> None:
        try:
            from pytest import PytestConfigWarning as category
        except ImportError:
            category = UserWarning  # type: ignore[assignment]
        with self.capture():
            for message in messages:
                warnings.warn(message, category, stacklevel=2)

    # ---- capture ---------------------------------------------------------------------

    @contextmanager
    def capture(self, nodeid: str = "") -> Iterator[list[str]]:
        """Collects the warnings this thread raises inside the block, for the test
        ``nodeid`` or, without one, for the import of a test file (those are also kept in
        ``collection``). The block starts with the run's filters and empty registries, and
        what it changes in them ends with it."""
        caught: list[str] = []
        if _installed is not self:
            yield caught
            return
        state = self._own_state()
        saved = (state.view, state.log, state.captured, state.collecting, state.shown_by)
        state.view, state.log, state.captured = None, None, caught
        state.collecting, state.shown_by = not nodeid, warnings.showwarning
        state.registry.clear()
        with self._lock:
            self._active[id(state)] = state
        try:
            yield caught
        finally:
            if warnings.showwarning is not state.shown_by:
                warnings.showwarning = state.shown_by  # type: ignore[assignment]
            (state.view, state.log, state.captured, state.collecting, state.shown_by) = saved
            state.registry.clear()
            with self._lock:
                if state.captured is None:
                    self._active.pop(id(state), None)
            self._repair()

    def _repair(self) -> None:
        """Puts the run's state back where a test replaced it and left it so."""
        if warnings.filters is not self._filters:
            warnings.filters = self._filters  # type: ignore[misc]
        if warnings._showwarnmsg != self._show:  # type: ignore[attr-defined]
            warnings._showwarnmsg = self._show  # type: ignore[attr-defined]

    def _own_state(self) -> _State:
        state: _State | None = getattr(self._local, "state", None)
        if state is None:
            state = self._local.state = _State()
        return state

    def _current(self) -> _State:
        """The state whose filters and capture apply on this thread."""
        state: _State | None = getattr(self._local, "state", None)
        if state is not None and state.busy():
            return state
        with self._lock:
            active = list(self._active.values())
        if len(active) == 1:
            return active[0]
        return state if state is not None else self._idle

    def _view(self, state: _State) -> list[tuple[Any, ...]]:
        return state.view if state.view is not None else self._run

    def _writable_view(self) -> list[tuple[Any, ...]]:
        state = self._own_state()
        if state.view is None:
            state.view = list(self._run)
        return state.view

    def _filters_mutated(self) -> None:
        self._current().registry.clear()
        self._saved["_filters_mutated"]()

    # ---- one warning -----------------------------------------------------------------

    def _warn_explicit(self, *args: Any, **kwargs: Any) -> None:
        """``warnings.warn_explicit``: the module and registry it is given, which the
        display step can't see, are the ones its filters and registry work with."""
        __tracebackhide__ = True
        given = dict(zip(_EXPLICIT_ARGUMENTS, args), **kwargs)
        self._local.explicit = (given.get("module"), given.get("registry") is not None)
        try:
            self._saved["warn_explicit"](*args, **kwargs)
        finally:
            self._local.explicit = None

    def _show(self, message: warnings.WarningMessage) -> None:
        """The warnings module's display step (``warnings._showwarnmsg``): called for every
        warning while the run's filters are in place, by whatever else is in place of them
        only for those it decided to show."""
        __tracebackhide__ = True
        state = self._current()
        if warnings.filters is self._filters and not self._admit(state, message):
            return
        if state.log is not None:
            state.log.append(message)
            return
        show = warnings.showwarning
        if state.captured is not None and show is not state.shown_by:
            # The test replaced the display function: it gets the warnings, as in pytest.
            show(message.message, message.category, message.filename, message.lineno,
                 message.file, message.line)
            return
        if state.captured is not None:
            entry = format_warning(message)
            state.captured.append(entry)
            if state.collecting:
                self.collection.append((message.filename, message.lineno, entry))
            return
        if show is not warnings._showwarning_orig:  # type: ignore[attr-defined]
            show(message.message, message.category, message.filename, message.lineno,
                 message.file, message.line)
            return
        warnings._showwarnmsg_impl(message)  # type: ignore[attr-defined]

    def _admit(self, state: _State, message: warnings.WarningMessage) -> bool:
        """Whether the thread's filters let the warning through: the warnings module's own
        decision (its ``warn_explicit``), with the thread's filters and registry. An
        ``error`` filter raises the warning."""
        __tracebackhide__ = True
        text = str(message.message)
        category = message.category
        lineno = message.lineno
        module: str | None = None
        registry = state.registry
        explicit = getattr(self._local, "explicit", None)
        if explicit is not None:
            module = explicit[0] if explicit[0] is not None else _file_module(message.filename)
            if not explicit[1]:
                registry = {}  # no registry given: every call shows, as warn_explicit's own
        key = (message.filename, text, category, lineno)
        if registry.get(key):
            return False
        for entry in self._view(state):
            action, pattern, of, module_pattern, line = entry
            if pattern is not None and not _matches(pattern, text):
                continue
            if not issubclass(category, of):
                continue
            if module_pattern is not None:
                module = module if module is not None else _module_of(message)
                if not _matches(module_pattern, module):
                    continue
            if line and line != lineno:
                continue
            break
        else:
            action, entry = warnings.defaultaction, None
        if action == "ignore":
            return False
        if action == "error":
            raise message.message
        if action in ("always", "all"):
            return True
        registry[key] = True
        if action == "once":
            once = (text, category)
        elif action == "module":
            once = (message.filename, text, category, 0)
        elif action == "default":
            return True
        else:
            raise RuntimeError(f"Unrecognized action ({action!r}) in warnings.filters:\n {entry}")
        if registry.get(once):
            return False
        registry[once] = True
        return True

    # ---- the summary -----------------------------------------------------------------

    def take_collection(self) -> list[tuple[str, int, str]]:
        """The import-time warnings kept so far, removed (a worker sends them on)."""
        taken, self.collection = self.collection, []
        return taken

    def add_collection(self, records: Iterable[Sequence[Any]]) -> None:
        """Import-time warnings a worker process sent."""
        self.collection += [(str(name), int(line), str(entry)) for name, line, entry in records]

    def total(self, outcomes: Sequence[Outcome]) -> int:
        """The "N warnings" of the summary line."""
        return len(self.collection) + sum(len(outcome.warnings) for outcome in outcomes)

    def show_summary(
        self, terminal: Terminal, outcomes: Sequence[Outcome], invocation_dir: str | Path,
        order: Sequence[str] = (),
    ) -> int:
        """Prints the "warnings summary" section, as pytest's: identical warnings together
        under the node ids that raised them (import-time ones under ``file:line``), and
        returns the number of warnings for the summary line. ``order``: the run's node ids
        in their planned order, which the summary follows however the outcomes arrived
        (tests finish out of order in parallel runs); ids not in it come last."""
        reports: list[tuple[str, str]] = []
        for filename, lineno, entry in self.collection:
            try:
                shown = os.path.relpath(filename, invocation_dir).replace(os.sep, "/")
            except ValueError:
                shown = filename
            reports.append((f"{shown}:{lineno}", entry))
        if order:
            position = {nodeid: index for index, nodeid in enumerate(order)}
            outcomes = sorted(outcomes, key=lambda outcome: position.get(outcome.nodeid, len(position)))
        for outcome in outcomes:
            reports += [(outcome.nodeid, entry) for entry in outcome.warnings]
        if not reports:
            return 0
        grouped: dict[str, list[str]] = {}
        for location, entry in reports:
            grouped.setdefault(entry, []).append(location)
        terminal.rule("warnings summary", "=", "yellow")
        for entry, locations in grouped.items():
            if len(locations) < _FOLD_AT:
                terminal.line("\n".join(locations))
            else:
                per_file = Counter(location.split("::", 1)[0] for location in locations)
                terminal.line("\n".join(
                    f"{name}: {number} warning{'s' * (number > 1)}"
                    for name, number in per_file.items()
                ))
            terminal.line("\n".join("  " + line for line in entry.splitlines()).rstrip())
            terminal.line()
        terminal.line(DOCS)
        return len(reports)


def _matches(pattern: Any, text: str) -> bool:
    # The warnings module's own default filters hold plain text, matched whole.
    if type(pattern) is str:
        return pattern == text
    return bool(pattern.match(text))


def _module_of(message: warnings.WarningMessage) -> str:
    """The module a warning is attributed to, which module filters match: that of the frame
    at its file and line (the one ``stacklevel`` chose), else the file's name without
    ``.py``, as ``warn_explicit`` takes it."""
    frame = sys._getframe(2)
    while frame is not None:
        if frame.f_lineno == message.lineno and frame.f_code.co_filename == message.filename:
            return str(frame.f_globals.get("__name__", "<string>"))
        frame = frame.f_back  # type: ignore[assignment]
    return _file_module(message.filename)


def _file_module(filename: str) -> str:
    filename = filename or "<unknown>"
    return filename[:-3] if filename[-3:].lower() == ".py" else filename


class _Filters(list):  # type: ignore[type-arg]
    """``warnings.filters`` while a run is installed. Its items proper, which the
    interpreter reads, are the catch-all; Python code that reads it reads the current
    thread's filters, and code that changes it changes the thread's own copy."""

    __slots__ = ("_owner",)

    def __init__(self, owner: Warnings) -> None:
        super().__init__([_CATCH_ALL])
        self._owner = owner

    def __reduce_ex__(self, protocol: object) -> tuple[Any, ...]:
        return list, (list(iter(self)),)

    def __iadd__(self, other: Iterable[Any]) -> _Filters:  # type: ignore[override, misc]
        self._owner._writable_view().extend(other)
        return self

    def __imul__(self, number: int) -> _Filters:  # type: ignore[override, misc]
        self._owner._writable_view().__imul__(number)
        return self


def _delegate(name: str, write: bool) -> None:
    method = getattr(list, name)
    if write:
        def call(self: _Filters, *args: Any, **kwargs: Any) -> Any:
            return method(self._owner._writable_view(), *args, **kwargs)
    else:
        def call(self: _Filters, *args: Any, **kwargs: Any) -> Any:
            owner = self._owner
            return method(owner._view(owner._current()), *args, **kwargs)
    call.__name__ = name
    setattr(_Filters, name, call)


for _name in ("__iter__", "__len__", "__getitem__", "__contains__", "__repr__", "__eq__",
              "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__reversed__", "__add__",
              "__mul__", "__rmul__", "copy", "count", "index"):
    _delegate(_name, write=False)
for _name in ("__setitem__", "__delitem__", "append", "extend", "insert", "pop", "remove",
              "clear", "sort", "reverse"):
    _delegate(_name, write=True)
del _name


def _after_fork_in_child() -> None:
    if _installed is not None:
        _installed._forget_other_threads()


os.register_at_fork(after_in_child=_after_fork_in_child)


# ``warnings.catch_warnings`` while a run is installed: the same contract, on the current
# thread's state instead of the module's.

def _enter(self: warnings.catch_warnings) -> list[warnings.WarningMessage] | None:
    owner = _installed
    if owner is None or self._module is not warnings:  # type: ignore[attr-defined]
        return _ORIGINAL_ENTER(self)
    if self._entered:  # type: ignore[attr-defined]
        raise RuntimeError(f"Cannot enter {self!r} twice")
    self._entered = True  # type: ignore[attr-defined]
    state = owner._own_state()
    self._trelkin_saved = (state.view, state.log, warnings.showwarning)  # type: ignore[attr-defined]
    # What the plain exit restores, should the run end before the block does.
    self._filters = owner._saved["filters"]  # type: ignore[attr-defined]
    self._showwarning = warnings.showwarning  # type: ignore[attr-defined]
    self._showwarnmsg_impl = warnings._showwarnmsg_impl  # type: ignore[attr-defined]
    if state.view is not None:
        state.view = list(state.view)
    state.registry.clear()
    if self._filter is not None:  # type: ignore[attr-defined]
        warnings.simplefilter(*self._filter)  # type: ignore[attr-defined]
    if self._record:  # type: ignore[attr-defined]
        log: list[warnings.WarningMessage] = []
        state.log = log
        return log
    return None


def _exit(self: warnings.catch_warnings, *exc_info: object) -> None:
    owner = _installed
    saved = getattr(self, "_trelkin_saved", None)
    if owner is None or saved is None or self._module is not warnings:  # type: ignore[attr-defined]
        return _ORIGINAL_EXIT(self, *exc_info)
    if not self._entered:  # type: ignore[attr-defined]
        raise RuntimeError(f"Cannot exit {self!r} without entering first")
    del self._trelkin_saved  # type: ignore[attr-defined]
    state = owner._own_state()
    state.view, state.log, shown_by = saved
    state.registry.clear()
    if warnings.showwarning is not shown_by:
        warnings.showwarning = shown_by  # type: ignore[assignment]
    return None
