"""Collecting an imported test module with pytest's rules: functions and classes whose
names match ``python_functions``/``python_classes`` (prefixes or globs), objects marked
``__test__ = True``, every ``unittest.TestCase`` subclass whatever its name, inherited
test methods (bases first), nested and imported classes; never a fixture. Each test
function is parametrized here (hooks, parametrized fixtures, marks) and planned once."""

from __future__ import annotations

import fnmatch
import sys
from types import FunctionType

from trelkin import _xunit
from trelkin._fixtures import FixtureDef, Plan, function_argnames, is_fixture, make_plan
from trelkin._nodes import Class, FilePath, Item, Module, Node, parent_ids

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    from trelkin._params import Metafunc

_IGNORED = frozenset({"__builtins__", "__file__", "__cached__"})


class CollectError(Exception):
    """A module that can't be collected; the message is the report (no traceback)."""


def _name_matches(patterns: list[str], name: str) -> bool:
    for pattern in patterns:
        if name.startswith(pattern):
            return True
        if ("*" in pattern or "?" in pattern or "[" in pattern) and fnmatch.fnmatch(name, pattern):
            return True
    return False


def _marked_test(obj: object) -> bool:
    try:
        return getattr(obj, "__test__", False) is True
    except Exception:
        return False


def _is_abstract(cls: type) -> bool:
    return bool(getattr(cls, "__abstractmethods__", None))


def def_line(function: Callable[..., Any]) -> tuple[int, int]:
    """(the line of the ``def``, the first line including decorators), both 1-based."""
    import linecache

    wrapped = hasattr(function, "__wrapped__")
    if wrapped:
        import inspect

        try:
            function = inspect.unwrap(function)
        except ValueError:
            pass
    code = getattr(function, "__code__", None)
    if code is None:
        return 0, 0
    first = code.co_firstlineno
    if not wrapped and not _marked(function):
        # Undecorated as far as can be seen: the code starts at the def.
        return first, first
    for number in range(first, first + 100):
        text = linecache.getline(code.co_filename, number).lstrip()
        if not text:
            break
        if text.startswith(("def ", "async def ")):
            return number, first
    return first, first


class ModuleCollector:
    """Collects one module into items."""

    def __init__(self, runtime: Any, module_node: Module, file: FilePath) -> None:
        self.runtime = runtime
        self.config = runtime.config
        self.module_node = module_node
        self.file = file
        self.functions = list(self.config.getini("python_functions"))
        self.classes = list(self.config.getini("python_classes"))
        self.imported = self.config.getini("collect_imported_tests")
        self.items: list[Item] = []
        self._ids_cache: dict[tuple[str, ...], tuple[str, ...]] = {}
        # The fixture plans of unittest methods, by their scope and usefixtures marks:
        # the methods of one class share theirs.
        self._plans: dict[tuple[tuple[str, ...], tuple[str, ...]], Plan] = {}
        self._module_hooks: list[Callable[..., Any]] | None = None

    def collect(self) -> list[Item]:
        module = self.module_node.obj
        if module.__dict__.get("__test__", True) is False:
            return []
        registry = self.runtime.registry
        nodeid = self.module_node.nodeid
        for fixture in _xunit.module_fixtures(module, nodeid):
            registry.add(fixture)
        registry.parse(module.__dict__, nodeid)
        self._collect_namespace(self.module_node, [dict(module.__dict__)], ())
        return self.items

    def _collect_namespace(
        self, node: Node, namespaces: list[dict[str, Any]], classes: tuple[str, ...]
    ) -> None:
        seen: set[str] = set()
        groups: list[list[Callable[[], None]]] = []
        module_name = self.module_node.obj.__name__
        for namespace in namespaces:
            group: list[Callable[[], None]] = []
            for name, obj in list(namespace.items()):
                if name in _IGNORED or name in seen:
                    continue
                seen.add(name)
                if not self.imported and node is self.module_node:
                    if getattr(obj, "__module__", module_name) != module_name:
                        continue
                step = self._maker(node, name, obj, classes)
                if step is not None:
                    group.append(step)
            groups.append(group)
        # Methods inherited from bases come before the subclass's own.
        for group in reversed(groups):
            for step in group:
                step()

    def _maker(
        self, node: Node, name: str, obj: object, classes: tuple[str, ...]
    ) -> Callable[[], None] | None:
        if isinstance(obj, type):
            unittest = sys.modules.get("unittest")
            if unittest is not None and issubclass(obj, unittest.TestCase):
                if _is_abstract(obj):
                    return None
                return lambda: self._collect_unittest(node, name, obj, classes)
            if (_name_matches(self.classes, name) or _marked_test(obj)) and not _is_abstract(obj):
                return lambda: self._collect_class(node, name, obj, classes)
            return None
        if not (_name_matches(self.functions, name) or _marked_test(obj)):
            return None
        target = obj
        if isinstance(target, staticmethod | classmethod):
            target = target.__func__
        if not callable(target) or is_fixture(target):
            return None
        function = getattr(target, "__func__", target)
        if not isinstance(function, FunctionType):
            import inspect

            if not inspect.isfunction(inspect.unwrap(function)):
                return None
        if getattr(function, "__test__", True) is False:
            return None
        return lambda: self._collect_function(node, name, function, classes)

    # Classes.

    def _class_node(self, parent: Node, name: str, cls: type) -> Class:
        return Class(name, parent, f"{parent.nodeid}::{name}", cls)

    def _collect_class(self, parent: Node, name: str, cls: type, classes: tuple[str, ...]) -> None:
        if getattr(cls, "__test__", True) is False:
            return
        if cls.__init__ is not object.__init__ or cls.__new__ is not object.__new__:
            import warnings

            kind = "__init__" if cls.__init__ is not object.__init__ else "__new__"
            warnings.warn(
                f"cannot collect test class {name!r} because it has a {kind} constructor "
                f"(from: {self.module_node.nodeid})",
                stacklevel=1,
            )
            return
        node = self._class_node(parent, name, cls)
        registry = self.runtime.registry
        for fixture in _xunit.class_fixtures(cls, node.nodeid):
            registry.add(fixture)
        registry.parse(cls, node.nodeid)
        namespaces = [dict(base.__dict__) for base in cls.__mro__]
        self._collect_namespace(node, namespaces, (*classes, node.nodeid))

    def _collect_unittest(
        self, parent: Node, name: str, cls: type, classes: tuple[str, ...]
    ) -> None:
        if not getattr(cls, "__test__", True):
            return
        import unittest

        node = self._class_node(parent, name, cls)
        registry = self.runtime.registry
        for fixture in _xunit.unittest_fixtures(cls, node.nodeid):
            registry.add(fixture)
        registry.parse(cls, node.nodeid)
        names = _test_case_names(unittest, cls)
        found = False
        ids = (*classes, node.nodeid)
        for method in names:
            function = getattr(cls, method)
            if not getattr(function, "__test__", True):
                continue
            self._add_item(node, method, function, ids, None, kind="unittest")
            found = True
        if not found and getattr(cls, "runTest", None) is not None:
            self._add_item(node, "runTest", cls.runTest, ids, None, kind="unittest")

    # Functions.

    def _collect_function(
        self, parent: Node, name: str, function: Callable[..., Any], classes: tuple[str, ...]
    ) -> None:
        code = getattr(function, "__code__", None)
        line, first = def_line(function)
        if code is not None and code.co_flags & _GENERATOR_FLAGS:
            item = self._add_item(parent, name, function, classes, None, (line, first), kind="failure")
            item.failure = (
                "yield tests are not supported: 'yield' keyword is allowed in fixtures, "
                f"but not in tests ({name})"
            )
            return
        cls = parent.obj if isinstance(parent, Class) else None
        method = cls is not None and not isinstance(cls.__dict__.get(name), staticmethod)
        argnames = function_argnames(function, method=method)
        ids = self._parent_ids(classes)
        own = _function_marks(function)
        marks = [*own, *_chain_marks(parent)]
        usefixtures = [argument for mark in marks if mark.name == "usefixtures" for argument in mark.args]
        registry = self.runtime.registry
        if not argnames and not marks and not registry.autouse_names(ids):
            plan = _EMPTY_PLAN
        else:
            plan = make_plan(registry, ids, argnames, usefixtures, set())
            undefined = any(name not in plan.defs and name != "request" for name in plan.closure)
            if undefined and self.runtime._load_plugins(needed=True):
                # A fixture of an installed plugin, in a module that never imported pytest.
                plan = make_plan(registry, ids, argnames, usefixtures, set())
                self._module_hooks = None
        hooks = self._generate_hooks(cls)
        parametrized = bool(marks) and any(mark.name == "parametrize" for mark in marks)
        if not parametrized and plan.defs:
            parametrized = any(fixture.params is not None for defs in plan.defs.values() for fixture in defs)
        if not hooks and not parametrized:
            item = self._add_item(parent, name, function, classes, None, (line, first), own)
            item.plan = plan
            return
        from trelkin._params import Metafunc, ParametrizeError

        definition = _Definition(parent, name, function, ids, own)
        metafunc = Metafunc(
            definition, function, list(plan.closure), argnames,
            lambda argname: _scope_of(plan.defs.get(argname) or registry.matching(argname, ids)),
            self.config, cls, self.module_node.obj,
        )
        try:
            self._generate(metafunc, definition, plan, hooks)
        except ParametrizeError as error:
            raise CollectError(str(error)) from None
        if not metafunc._calls:
            item = self._add_item(parent, name, function, classes, None, (line, first), own)
            item.plan = plan
            return
        if metafunc._direct:
            plan = make_plan(registry, ids, argnames, usefixtures, metafunc._direct)
        for callspec in metafunc._calls:
            item = self._add_item(parent, name, function, classes, callspec, (line, first), own)
            item.plan = plan
            item.extra_keyword_matches.add(callspec.id)

    def _parent_ids(self, classes: tuple[str, ...]) -> tuple[str, ...]:
        found = self._ids_cache.get(classes)
        if found is None:
            found = self._ids_cache[classes] = parent_ids(self.module_node.nodeid, classes)
        return found

    def _generate_hooks(self, cls: type | None) -> list[Callable[..., Any]]:
        """The pytest_generate_tests hooks for a function of this class (or the module):
        the class's, the module's, then the conftests' and plugins'."""
        if cls is None:
            found = self._module_hooks
            if found is None:
                found = self._module_hooks = self._find_hooks(None)
            return found
        return self._find_hooks(cls)

    def _find_hooks(self, cls: type | None) -> list[Callable[..., Any]]:
        hooks: list[Callable[..., Any]] = []
        if cls is not None and hasattr(cls, "pytest_generate_tests"):
            hooks.append(cls().pytest_generate_tests)
        module_hook = self.module_node.obj.__dict__.get("pytest_generate_tests")
        if module_hook is not None:
            hooks.append(module_hook)
        return hooks + self.runtime.conftests.hooks_for("pytest_generate_tests", self.file)

    def _generate(
        self, metafunc: Metafunc, definition: _Definition, plan: Any, hooks: list[Callable[..., Any]]
    ) -> None:
        for hook in hooks:
            hook(metafunc=metafunc)
        from trelkin._params import parse_argnames

        marks = list(definition.iter_markers("parametrize"))
        parametrized = set()
        for mark in marks:
            parametrized.update(parse_argnames(mark.args[0] if mark.args else mark.kwargs["argnames"])[0])
        for argname in metafunc.fixturenames:
            if argname in parametrized or argname in metafunc._direct:
                continue
            for fixture in reversed(plan.defs.get(argname, ())):
                if fixture.params is not None:
                    if not any(argname in spec.params for spec in metafunc._calls):
                        metafunc.parametrize(
                            argname, fixture.params, indirect=True,
                            scope=fixture.scope_name, ids=fixture.ids,
                        )
                    break
                if argname not in fixture.argnames:
                    break
        for mark in marks:
            metafunc.parametrize(*mark.args, **mark.kwargs, _param_mark=mark)

    def _add_item(
        self,
        parent: Node,
        name: str,
        function: Callable[..., Any],
        classes: tuple[str, ...],
        callspec: Any,
        lines: tuple[int, int] | None = None,
        marks: list[Any] | None = None,
        kind: str = "function",
    ) -> Item:
        full = f"{name}[{callspec.id}]" if callspec is not None else name
        if isinstance(parent, Class):
            test_name = f"{parent.nodeid[len(self.module_node.nodeid) + 2:]}::{full}"
        else:
            test_name = full
        line, first = lines if lines is not None else def_line(function)
        item = Item(
            test_name, parent, f"{self.module_node.nodeid}::{test_name}", self.file, function,
            originalname=name, line=line, first_line=first, callspec=callspec, kind=kind,
            marks=marks if marks is not None else _function_marks(function),
            module_node=self.module_node,
        )
        item.parent_ids = self._parent_ids(classes)
        chain = _chain_marks(parent)
        if kind != "function":
            usefixtures = _usefixtures(item) if item.own_markers or chain else []
            key = (item.parent_ids, tuple(usefixtures))
            plan = self._plans.get(key)
            if plan is None:
                registry = self.runtime.registry
                plan = self._plans[key] = make_plan(registry, item.parent_ids, (), usefixtures, set())
            item.plan = plan
        if (item.own_markers or chain) and any(
            mark.name == "timeout" for mark in (*item.own_markers, *chain)
        ):
            timeout = item.get_closest_marker("timeout")
            if timeout is not None:
                value = timeout.args[0] if timeout.args else timeout.kwargs.get("timeout")
                try:
                    item.timeout = float(value) if value is not None else None
                except (TypeError, ValueError):
                    item.timeout = None
        self.items.append(item)
        return item


_GENERATOR_FLAGS = 0x20 | 0x200  # CO_GENERATOR, CO_ASYNC_GENERATOR
# The plan of a test that needs no fixture at all.
_EMPTY_PLAN = Plan((), (), [], {})


def _test_case_names(unittest: Any, cls: type) -> list[str]:
    """The methods unittest's loader runs for the class, in its order. With the loader as
    shipped, its filter and sort are done here directly: they cost more than the rest of
    collecting a TestCase class does."""
    loader = unittest.TestLoader
    if (
        getattr(loader.getTestCaseNames, "__module__", None) == "unittest.loader"
        and loader.testMethodPrefix == "test"
        and loader.testNamePatterns is None
        and loader.sortTestMethodsUsing is unittest.util.three_way_cmp
    ):
        # dir() is sorted already, which is the order three_way_cmp gives.
        return [name for name in dir(cls) if name.startswith("test") and callable(getattr(cls, name))]
    return loader().getTestCaseNames(cls)


def _marked(function: object) -> bool:
    """Whether the function has marks of its own, asked without making a plain function's
    __dict__ (the interpreter makes one on first use of it)."""
    if type(function) is FunctionType:
        return hasattr(function, "pytestmark")
    return "pytestmark" in getattr(function, "__dict__", ())


def _function_marks(function: Callable[..., Any]) -> list[Any]:
    if not _marked(function):
        return []
    from trelkin._marks import own_marks

    try:
        return own_marks(function)
    except TypeError:
        return []


def _chain_marks(node: Node | None) -> list[Any]:
    marks: list[Any] = []
    while node is not None:
        marks += node.own_markers
        node = node.parent
    return marks


class _Definition(Node):
    """The function before parametrization, as ``metafunc.definition``."""

    def __init__(
        self, parent: Node, name: str, function: Callable[..., Any], ids: tuple[str, ...], marks: list[Any]
    ) -> None:
        super().__init__(name, parent, f"{parent.nodeid}::{name}", parent.path)
        self.function = self.obj = function
        self.own_markers = list(marks)
        self.parent_ids = ids


def _usefixtures(node: Node) -> list[str]:
    return [name for mark in node.iter_markers("usefixtures") for name in mark.args]


def _scope_of(defs: list[FixtureDef] | None) -> int | None:
    return defs[-1].scope if defs else None

