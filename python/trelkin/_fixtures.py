"""Fixtures: their definitions as ``@pytest.fixture`` leaves them, which definition a test
sees (the nearest: class, module, conftest.py from the test's directory up, plugins,
built-ins), the closure of names a test needs (planned once per test function), and
setting them up and tearing them down per scope.

A fixture's value is cached on the node of its scope (the item, class, module, package or
session node), never on the definition, so tests of different files running on different
threads never share a function- or module-scoped value. Teardowns are finalizers of that
node, run last-in first-out when the node ends; a fixture that depends on another also
registers its own teardown with that one, so a parametrized fixture that changes value
tears down what was built on it first."""

from __future__ import annotations

import enum
import sys
import threading
from types import FunctionType

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence
    from typing import Any

SCOPES = ("function", "class", "module", "package", "session")


class _NotSet(enum.Enum):
    token = 0

    def __repr__(self) -> str:
        return "NOTSET"


NOTSET: Any = _NotSet.token

FUNCTION, CLASS, MODULE, PACKAGE, SESSION = range(5)

# Setting up session- and package-scoped values, shared by threads.
_shared_lock = threading.RLock()


class FixtureLookupError(LookupError):
    """A requested fixture that no visible definition provides."""

    def __init__(self, argname: str, message: str) -> None:
        super().__init__(message)
        self.argname = argname


class ScopeMismatch(Exception):
    pass


class FixtureDef:
    """One fixture definition. ``func`` is the undecorated function; ``holder`` the class
    it was defined in (bound to the test's instance when called), or None."""

    __slots__ = (
        "argnames", "autouse", "baseid", "func", "generator", "holder", "ids", "name",
        "params", "plain", "scope", "_instance",
    )

    def __init__(
        self,
        name: str,
        func: Callable[..., Any],
        scope: int,
        baseid: str,
        *,
        params: Sequence[Any] | None = None,
        ids: Any = None,
        autouse: bool = False,
        holder: type | None = None,
        argnames: tuple[str, ...] | None = None,
    ) -> None:
        self.name, self.func, self.scope, self.baseid = name, func, scope, baseid
        self.params = list(params) if params is not None else None
        self.ids, self.autouse, self.holder = ids, autouse, holder
        self.argnames = (
            argnames if argnames is not None else function_argnames(func, method=holder is not None)
        )
        self.generator = _is_generator_function(func)
        # A plain function of no arguments: called as it is, with no teardown to register.
        self.plain = not self.generator and not self.argnames and holder is None and params is None
        self._instance: object = None

    def __repr__(self) -> str:
        return f"<FixtureDef argname={self.name!r} scope={SCOPES[self.scope]!r} baseid={self.baseid!r}>"

    @property
    def scope_name(self) -> str:
        return SCOPES[self.scope]

    def bound(self, instance: object) -> Callable[..., Any]:
        if self.holder is None:
            return self.func
        if not isinstance(instance, self.holder):
            if self._instance is None:
                self._instance = self.holder.__new__(self.holder)
            instance = self._instance
        return self.func.__get__(instance)


def _is_generator_function(func: Callable[..., Any]) -> bool:
    if isinstance(func, FunctionType):  # most fixtures: no need for inspect
        return bool(func.__code__.co_flags & _CO_GENERATOR)
    import inspect

    return inspect.isgeneratorfunction(func)


_CO_GENERATOR = 0x20


def function_argnames(func: Callable[..., Any], *, method: bool) -> tuple[str, ...]:
    """The names a test or fixture function requests: parameters without defaults, less
    ``self``/``cls`` of a method and the arguments ``mock.patch`` decorators supply."""
    code = getattr(func, "__code__", None)
    if code is not None and not hasattr(func, "__wrapped__") and not hasattr(func, "patchings"):
        count = code.co_argcount
        if not count and not code.co_kwonlyargcount:
            return ()  # without reading co_varnames, which the code object then keeps
        names = code.co_varnames[:count]
        defaults = func.__defaults__ or ()  # type: ignore[attr-defined]
        positional = names[: count - len(defaults)]
        kwonly = code.co_varnames[count : count + code.co_kwonlyargcount]
        kwdefaults = func.__kwdefaults__ or {}  # type: ignore[attr-defined]
        result = positional + tuple(name for name in kwonly if name not in kwdefaults)
        if method and not isinstance(func, staticmethod):
            result = result[1:]
        return result
    import inspect

    try:
        parameters = inspect.signature(func).parameters.values()
    except (ValueError, TypeError):
        return ()
    names = tuple(
        p.name
        for p in parameters
        if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) and p.default is p.empty
    )
    patchings = getattr(func, "patchings", None)
    if patchings:
        names = names[len([p for p in patchings if not p.attribute_name]) :]
    if method:
        names = names[1:]
    return names


def fixture_marker(obj: object) -> tuple[Any, Callable[..., Any]] | None:
    """(marker, function) when ``obj`` is what ``@pytest.fixture`` made: pytest 8.4+'s
    definition object, or an older wrapped function. The marker has scope, params,
    autouse, ids and name."""
    kind = type(obj).__name__
    if kind == "FixtureFunctionDefinition":
        return obj._fixture_function_marker, obj._fixture_function  # type: ignore[attr-defined]
    if kind == "function":
        # A function's own attributes, read without making its __dict__ (the interpreter
        # makes one on first use of it): every test function passes here.
        marker = getattr(obj, "_pytestfixturefunction", None)
        if marker is not None and type(marker).__name__ == "FixtureFunctionMarker":
            wrapped = getattr(obj, "__pytest_wrapped__", None)
            return marker, wrapped.obj if wrapped is not None else obj  # type: ignore[return-value]
    return None


def is_fixture(obj: object) -> bool:
    return fixture_marker(obj) is not None


def scope_index(scope: object, name: str, config: Any) -> int:
    if callable(scope):
        scope = scope(fixture_name=name, config=config)
    if scope not in SCOPES:
        raise ValueError(f"Fixture '{name}' has an unsupported scope value '{scope}'")
    return SCOPES.index(scope)  # type: ignore[arg-type]


class Registry:
    """Every fixture definition by name, in registration order, and the autouse names of
    each node id."""

    def __init__(self, config: Any) -> None:
        self.config = config
        self.defs: dict[str, list[FixtureDef]] = {}
        self.autouse: dict[str, list[str]] = {}
        # Lookups by (name, ancestor ids) and autouse names by ancestor ids, until the
        # next definition is added.
        self._matching: dict[tuple[str, tuple[str, ...]], list[FixtureDef]] = {}
        self._autouse_names: dict[tuple[str, ...], list[str]] = {}
        # The fixture names each class defines in its own namespace: the bases a suite's
        # classes share (TestCase, mixins) are scanned once, not once a subclass.
        self._own_fixtures: dict[type, tuple[str, ...]] = {}

    def add(self, fixture: FixtureDef) -> None:
        self._matching.clear()
        self._autouse_names.clear()
        self.defs.setdefault(fixture.name, []).append(fixture)
        if fixture.autouse:
            names = self.autouse.setdefault(fixture.baseid, [])
            if fixture.name not in names:
                names.append(fixture.name)

    def parse(self, namespace: dict[str, Any] | type, baseid: str) -> None:
        """Registers the fixtures of a module's namespace (a dict) or a class and its
        bases, in name order as pytest does."""
        if "_pytest.fixtures" not in sys.modules:
            return  # only pytest's decorator makes fixtures: without it there are none
        if isinstance(namespace, type):
            holder: type | None = namespace
            items: dict[str, Any] = {}
            mro = namespace.__mro__
            for base in mro:
                for attribute in self._own_fixture_names(base):
                    if attribute not in items:
                        # What the class reads under that name: the nearest base's value,
                        # which a subclass may have replaced by something else.
                        items[attribute] = next(
                            klass.__dict__[attribute] for klass in mro if attribute in klass.__dict__
                        )
        else:
            holder = None
            items = namespace
        for attribute in sorted(items):
            found = fixture_marker(items[attribute])
            if found is None:
                continue
            marker, func = found
            name = marker.name or attribute
            self.add(
                FixtureDef(
                    name,
                    func,
                    scope_index(marker.scope, name, self.config),
                    baseid,
                    params=marker.params,
                    ids=marker.ids,
                    autouse=marker.autouse,
                    holder=holder,
                )
            )

    def _own_fixture_names(self, cls: type) -> tuple[str, ...]:
        names = self._own_fixtures.get(cls)
        if names is None:
            names = tuple(
                attribute for attribute, value in cls.__dict__.items()
                if fixture_marker(value) is not None
            )
            self._own_fixtures[cls] = names
        return names

    def matching(self, name: str, parent_ids: Sequence[str]) -> list[FixtureDef]:
        """The definitions of ``name`` visible from a node with these ancestor ids
        (outermost first), farthest first and nearest last."""
        found = self.defs.get(name)
        if not found:
            return []
        key = (name, tuple(parent_ids))
        visible = self._matching.get(key)
        if visible is None:
            depth = {nodeid: index for index, nodeid in enumerate(parent_ids)}
            visible = [fixture for fixture in found if fixture.baseid in depth]
            visible.sort(key=lambda fixture: depth[fixture.baseid])
            self._matching[key] = visible
        return visible

    def autouse_names(self, parent_ids: Sequence[str]) -> list[str]:
        key = tuple(parent_ids)
        names = self._autouse_names.get(key)
        if names is None:
            names = []
            for nodeid in parent_ids:
                names += self.autouse.get(nodeid, ())
            self._autouse_names[key] = names
        return names

    def names_visible(self, parent_ids: Sequence[str]) -> list[str]:
        ids = set(parent_ids)
        return sorted(
            name for name, defs in self.defs.items() if any(d.baseid in ids for d in defs)
        )


class Plan:
    """What one test function needs: its own argument names, every fixture name to set up
    in order, and the definitions visible for each."""

    __slots__ = ("argnames", "closure", "defs", "initial")

    def __init__(
        self,
        argnames: tuple[str, ...],
        initial: tuple[str, ...],
        closure: list[str],
        defs: dict[str, list[FixtureDef]],
    ) -> None:
        self.argnames, self.initial, self.closure, self.defs = argnames, initial, closure, defs


def make_plan(
    registry: Registry,
    parent_ids: Sequence[str],
    argnames: tuple[str, ...],
    usefixtures: Iterable[str],
    ignore: set[str],
) -> Plan:
    initial = tuple(
        dict.fromkeys([*registry.autouse_names(parent_ids), *usefixtures, *argnames])
    )
    defs: dict[str, list[FixtureDef]] = {}

    def lookup(name: str) -> list[FixtureDef] | None:
        if name in ignore:
            return None
        found = defs.get(name)
        if found is None:
            found = registry.matching(name, parent_ids)
            if not found:
                return None
            defs[name] = found
        return found

    order: list[str] = []
    levels: dict[str, int] = {}

    def visit(name: str) -> None:
        level = levels.get(name)
        if level == -1:
            return
        if level is None:
            order.append(name)
            levels[name] = -1
        found = lookup(name)
        if not found:
            return
        level = levels.get(name, -1)
        if -level > len(found):
            return
        levels[name] = level - 1
        for dependency in found[level].argnames:
            visit(dependency)
        levels[name] = level

    for name in initial:
        visit(name)

    def scope_of(name: str) -> int:
        found = defs.get(name)
        return found[-1].scope if found else FUNCTION

    order.sort(key=scope_of, reverse=True)
    return Plan(argnames, initial, order, defs)


class CacheEntry:
    """A fixture's value (or setup error) on one scope node, with its teardowns."""

    __slots__ = ("done", "error", "finalizers", "fixture", "key", "node", "value")

    def __init__(self, fixture: FixtureDef, key: object, node: Any) -> None:
        self.fixture, self.key, self.node = fixture, key, node
        self.value: Any = None
        self.error: BaseException | None = None
        self.finalizers: list[Callable[[], object]] = []
        self.done = False

    def finish(self) -> None:
        if self.done:
            return
        self.done = True
        errors: list[BaseException] = []
        finalizers = self.finalizers
        while finalizers:
            try:
                finalizers.pop()()
            except BaseException as error:
                errors.append(error)
        cache = self.node._fixture_cache
        if cache is not None and cache.get(self.fixture) is self:
            del cache[self.fixture]
        if len(errors) == 1:
            raise errors[0]
        if errors:
            raise BaseExceptionGroup(
                f'errors while tearing down fixture "{self.fixture.name}" of {self.node!r}',
                errors[::-1],
            )


def _same_key(left: object, right: object) -> bool:
    try:
        return bool(left == right)
    except (ValueError, RuntimeError):
        return left is right


class Request:
    """pytest's ``request``: the test's own (``fixturename`` None) or a fixture's, with
    ``param`` when the fixture is parametrized."""

    def __init__(self, item: Any, runtime: Any) -> None:
        self._item = item
        self._runtime = runtime
        self._parent: Request | None = None
        self._entries: dict[str, CacheEntry | Any] = {}
        self.fixturename: str | None = None
        self._fixture: FixtureDef | None = None
        self._scope = FUNCTION
        self._node = item

    # pytest's attributes.

    @property
    def scope(self) -> str:
        return SCOPES[self._scope]

    @property
    def node(self) -> Any:
        return self._node

    @property
    def config(self) -> Any:
        return self._runtime.config

    @property
    def session(self) -> Any:
        return self._item.session

    @property
    def fixturenames(self) -> list[str]:
        names = list(self._item.plan.closure)
        names += [name for name in self._entries if name not in names]
        return names

    @property
    def function(self) -> Any:
        if self._scope != FUNCTION:
            raise AttributeError(f"function not available in {self.scope}-scoped context")
        return self._item.function

    @property
    def cls(self) -> type | None:
        if self._scope not in (FUNCTION, CLASS):
            raise AttributeError(f"cls not available in {self.scope}-scoped context")
        return self._item.cls

    @property
    def instance(self) -> object:
        if self._scope != FUNCTION:
            return None
        return self._item.instance

    @property
    def module(self) -> Any:
        if self._scope not in (FUNCTION, CLASS, MODULE):
            raise AttributeError(f"module not available in {self.scope}-scoped context")
        return self._item.module

    @property
    def path(self) -> Any:
        """The test file's path (pytest gives the item's file for every scope)."""
        return self._item.module_node.path

    @property
    def fspath(self) -> Any:
        return self._item.module_node.fspath

    @property
    def keywords(self) -> Any:
        return self._node.keywords

    @property
    def param_index(self) -> int:
        return getattr(self, "_param_index", 0)

    def addfinalizer(self, finalizer: Callable[[], object]) -> None:
        if self._fixture is None:
            self._item.addfinalizer(finalizer)
        else:
            self._entry.finalizers.append(finalizer)

    def applymarker(self, marker: object) -> None:
        self._item.add_marker(marker)

    def raiseerror(self, message: str | None) -> None:
        raise FixtureLookupError(self.fixturename or "", message or "")

    def getfixturevalue(self, argname: str) -> Any:
        entry = self._active(argname)
        return entry.value if isinstance(entry, CacheEntry) else entry

    def __repr__(self) -> str:
        if self._fixture is None:
            return f"<FixtureRequest for {self._item!r}>"
        return f"<SubRequest {self.fixturename!r} for {self._item!r}>"

    # Resolution.

    def _chain(self) -> Iterable[Request]:
        request: Request | None = self
        while request is not None:
            yield request
            request = request._parent

    def _active(self, argname: str) -> Any:
        if argname == "request":
            return self
        top = self._item._request
        entry = top._entries.get(argname)
        if entry is not None:
            if isinstance(entry, CacheEntry):
                self._check_scope(argname, entry_scope(entry))
            return entry
        item = self._item
        callspec = item.callspec
        if callspec is not None and argname in callspec.params and argname not in callspec.indirect:
            # A directly parametrized argument: the value itself.
            value = callspec.params[argname]
            top._entries[argname] = value
            return value
        defs = item.plan.defs.get(argname)
        if defs is None:
            defs = self._runtime.registry.matching(argname, item.parent_ids)
        if not defs:
            raise FixtureLookupError(argname, self._lookup_message(argname))
        index = -1
        for request in self._chain():
            if request.fixturename == argname:
                index -= 1
        if -index > len(defs):
            raise FixtureLookupError(argname, self._lookup_message(argname))
        fixture = defs[index]
        entry = self._compute(argname, fixture)
        top._entries[argname] = entry
        return entry

    def _check_scope(self, argname: str, scope: int) -> None:
        if self._fixture is not None and scope < self._scope:
            raise ScopeMismatch(
                f"You tried to access the {SCOPES[scope]} scoped fixture {argname} with a "
                f"{self.scope} scoped request object. Requesting fixture stack:\n"
                + "\n".join(f"  {request.fixturename}" for request in self._chain() if request.fixturename)
            )

    def _compute(self, argname: str, fixture: FixtureDef) -> CacheEntry | Any:
        item = self._item
        callspec = item.callspec
        if callspec is not None and argname in callspec.params:
            param = callspec.params[argname]
            param_index = callspec.indices[argname]
            scope = max(callspec.scopes[argname], fixture.scope) if fixture.params is None else callspec.scopes[argname]
            has_param = True
        else:
            param, param_index, scope, has_param = NOTSET, 0, fixture.scope, False
            if fixture.params is not None:
                raise FixtureLookupError(
                    argname,
                    f"The requested fixture has no parameter defined for test:\n    {item.nodeid}\n\n"
                    f"Requested fixture '{argname}' defined in:\n{fixture.baseid or '.'}",
                )
        self._check_scope(argname, scope)
        if scope == FUNCTION and fixture.plain and not has_param:
            # Nothing to tear down and nothing it depends on: the value alone.
            return fixture.func()
        sub = Request.__new__(Request)
        sub._item, sub._runtime, sub._parent = item, self._runtime, self
        sub._entries = self._entries
        sub.fixturename, sub._fixture, sub._scope = argname, fixture, scope
        sub._node = item.scope_node(scope, fixture)
        if has_param:
            sub.param = param  # type: ignore[attr-defined]
        sub._param_index = param_index  # type: ignore[attr-defined]
        if scope >= PACKAGE:
            with _shared_lock:
                return _execute(fixture, sub, param if has_param else param_index)
        return _execute(fixture, sub, param if has_param else param_index)

    def _lookup_message(self, argname: str) -> str:
        item = self._item
        available = ", ".join(
            name for name in self._runtime.registry.names_visible(item.parent_ids)
            if not name.startswith("_")
        )
        function = self._fixture.func if self._fixture is not None else item.function
        header = ""
        code = getattr(function, "__code__", None)
        if code is not None:
            header = f"file {code.co_filename}, line {code.co_firstlineno}\n"
            source = _def_line(code.co_filename, code.co_firstlineno)
            if source:
                header += f"  {source}\n"
        return (
            f"{header}E       fixture '{argname}' not found\n"
            f">       available fixtures: {available}\n"
            ">       use 'pytest --fixtures [testpath]' for help on them."
        )


def _def_line(filename: str, line: int) -> str:
    import linecache

    for number in range(line, line + 50):
        text = linecache.getline(filename, number)
        if not text:
            return ""
        if text.lstrip().startswith(("def ", "async def ")):
            return text.rstrip()
    return ""


def entry_scope(entry: CacheEntry) -> int:
    return entry.node.scope_index


def _execute(fixture: FixtureDef, request: Request, key: object) -> CacheEntry:
    dependencies = [request._active(name) for name in fixture.argnames]
    node = request._node
    cache = node.fixture_cache()
    entry = cache.get(fixture)
    if entry is not None:
        if _same_key(key, entry.key):
            if entry.error is not None:
                raise entry.error
            return entry
        entry.finish()
    entry = CacheEntry(fixture, key, node)
    request._entry = entry  # type: ignore[attr-defined]
    for dependency in dependencies:
        if isinstance(dependency, CacheEntry):
            dependency.finalizers.append(entry.finish)
    cache[fixture] = entry
    try:
        kwargs = {
            name: (value.value if isinstance(value, CacheEntry) else value)
            for name, value in zip(fixture.argnames, dependencies)
        }
        function = fixture.bound(request._item.instance)
        if fixture.generator:
            generator = function(**kwargs)
            try:
                entry.value = next(generator)
            except StopIteration:
                raise ValueError(f"{request.fixturename} did not yield a value") from None
            entry.finalizers.append(lambda: _close_generator(generator, fixture))
        else:
            entry.value = function(**kwargs)
    except (Exception, _outcome_base()) as error:
        entry.error = error
        raise
    finally:
        node.addfinalizer(entry.finish)
    return entry


def _outcome_base() -> type[BaseException]:
    outcomes = sys.modules.get("_pytest.outcomes")
    return outcomes.OutcomeException if outcomes is not None else Exception


def _close_generator(generator: Any, fixture: FixtureDef) -> None:
    try:
        next(generator)
    except StopIteration:
        return
    raise ValueError(f"fixture function has more than one 'yield': {fixture.name}")
