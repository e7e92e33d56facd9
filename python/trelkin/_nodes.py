"""The collection tree as tests and conftests see it through ``request.node`` and hooks:
session, packages, modules, classes and test items, with pytest's node API (name, nodeid,
path, parent, markers, keywords, finalizers, stash).

Each node also holds the fixture values cached for its scope and the finalizers that end
them (see ``_fixtures``)."""

from __future__ import annotations

import os
from collections.abc import Iterator, MutableMapping
from pathlib import Path

from trelkin._fixtures import CLASS, FUNCTION, MODULE, PACKAGE, SESSION
from trelkin._marks import make_mark, own_marks, unpack

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Any

    from trelkin._fixtures import FixtureDef, Plan, Request
    from trelkin._params import CallSpec


class FilePath(str):
    """A test file's path as it was given for collection, usable as text (the key the
    session groups by) and, for conftest code written against pytest, as a
    ``pathlib.Path`` of the absolute file (``item.path.name``, ``.parent``, ``/``)."""

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        return getattr(Path(os.path.abspath(self)), name)

    def __truediv__(self, other: str) -> Path:
        return Path(os.path.abspath(self)) / other

    def __fspath__(self) -> str:
        return str.__str__(self)


class Stash(dict):  # type: ignore[type-arg]
    """pytest's ``Stash``: keyed by ``pytest.StashKey`` objects (any hashable works)."""


class Keywords(MutableMapping[str, "Any"]):
    """A node's keywords: its name, its marks, what was set on it, then its parent's."""

    def __init__(self, node: Node) -> None:
        self._node = node
        self._own: dict[str, Any] = {getattr(node, "short_name", node.name): True}
        for mark in node.own_markers:
            self._own[mark.name] = mark
        if isinstance(node, Module):
            # The directories above the file, which pytest's tree has as nodes.
            for part in node.nodeid.split("/")[:-1]:
                self._own.setdefault(part, True)
        elif isinstance(node, Item):
            function = node.function
            for name in getattr(function, "__dict__", ()):
                if not name.startswith("_") and name != "pytestmark":
                    self._own.setdefault(name, True)
            for name in node.__dict__.get("extra_keyword_matches", ()):
                self._own.setdefault(name, True)

    def _parent(self) -> Keywords | None:
        parent = self._node.parent
        return parent.keywords if parent is not None else None

    def __getitem__(self, key: str) -> Any:
        try:
            return self._own[key]
        except KeyError:
            parent = self._parent()
            if parent is None:
                raise
            return parent[key]

    def __setitem__(self, key: str, value: Any) -> None:
        self._own[key] = value

    def __delitem__(self, key: str) -> None:
        raise ValueError("cannot delete key in keywords dict")

    def __iter__(self) -> Iterator[str]:
        yield from self._own
        parent = self._parent()
        if parent is not None:
            for key in parent:
                if key not in self._own:
                    yield key

    def __len__(self) -> int:
        return sum(1 for _ in self)

    def __contains__(self, key: object) -> bool:
        if key in self._own:
            return True
        parent = self._parent()
        return parent is not None and key in parent

    def __repr__(self) -> str:
        return f"<NodeKeywords for node {self._node}>"


class Node:
    scope_index = FUNCTION

    def __init__(self, name: str, parent: Node | None, nodeid: str, path: Path | None) -> None:
        self.name = name
        self.parent = parent
        self.nodeid = nodeid
        self.path = path
        self.session: Session = parent.session if parent is not None else self  # type: ignore[assignment]
        self.config = self.session.config
        self.own_markers: list[Any] = []
        self._keywords: Keywords | None = None

    # Made on first use: most tests never touch them.
    _LAZY: dict[str, Callable[[], Any]] = {
        "extra_keyword_matches": set, "stash": lambda: Stash(),
    }
    # The node's finalizers and the fixture values cached for its scope, once it has any.
    _finalizers: list[Callable[[], object]] | None = None
    _fixture_cache: dict[FixtureDef, Any] | None = None

    def __getattr__(self, name: str) -> Any:
        make = Node._LAZY.get(name)
        if make is None:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        value = self.__dict__[name] = make()
        return value

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name}>"

    @property
    def keywords(self) -> Keywords:
        if self._keywords is None:
            self._keywords = Keywords(self)
        return self._keywords

    @property
    def fspath(self) -> Any:
        return _legacy_path(os.path.abspath(self.path)) if self.path is not None else None

    @property
    def ihook(self) -> Any:
        return self.config.hook

    def listchain(self) -> list[Node]:
        chain: list[Node] = []
        node: Node | None = self
        while node is not None:
            chain.append(node)
            node = node.parent
        chain.reverse()
        return chain

    def iter_parents(self) -> Iterator[Node]:
        node: Node | None = self
        while node is not None:
            yield node
            node = node.parent

    def getparent(self, cls: type) -> Any:
        for node in self.iter_parents():
            if isinstance(node, cls):
                return node
        return None

    def iter_markers_with_node(self, name: str | None = None) -> Iterator[tuple[Node, Any]]:
        for node in self.iter_parents():
            for mark in node.own_markers:
                if name is None or mark.name == name:
                    yield node, mark

    def iter_markers(self, name: str | None = None) -> Iterator[Any]:
        return (mark for _, mark in self.iter_markers_with_node(name))

    def get_closest_marker(self, name: str, default: Any = None) -> Any:
        return next(self.iter_markers(name), default)

    def add_marker(self, marker: object, append: bool = True) -> None:
        mark = make_mark(marker)
        self.keywords[mark.name] = mark
        if append:
            self.own_markers.append(mark)
        else:
            self.own_markers.insert(0, mark)

    def listextrakeywords(self) -> set[str]:
        names: set[str] = set()
        for node in self.iter_parents():
            names |= node.__dict__.get("extra_keyword_matches", set())
        return names

    def listnames(self) -> list[str]:
        return [node.name for node in self.listchain()]

    def addfinalizer(self, finalizer: Callable[[], object]) -> None:
        if self._finalizers is None:
            self._finalizers = []
        self._finalizers.append(finalizer)

    def fixture_cache(self) -> dict[FixtureDef, Any]:
        if self._fixture_cache is None:
            self._fixture_cache = {}
        return self._fixture_cache

    def warn(self, warning: Warning) -> None:
        import warnings

        warnings.warn(warning, stacklevel=2)

    def teardown_node(self) -> list[BaseException]:
        """Runs this node's finalizers, last first; the errors they raised, in order."""
        errors: list[BaseException] = []
        finalizers = self._finalizers
        while finalizers:
            try:
                finalizers.pop()()
            except BaseException as error:
                errors.append(error)
        cache = self._fixture_cache
        if cache:
            cache.clear()
        return errors


def _legacy_path(path: object) -> Any:
    if path is None:
        return None
    try:
        from _pytest._py.path import LocalPath  # pytest's own copy of py.path

        return LocalPath(os.fspath(path))  # type: ignore[arg-type]
    except ImportError:
        return Path(os.fspath(path))  # type: ignore[arg-type]


class Session(Node):
    scope_index = SESSION

    def __init__(self, config: Any, rootdir: Path) -> None:
        self.config = config
        super().__init__("", None, "", rootdir)
        self.testsfailed = 0
        self.testscollected = 0
        self.shouldstop: bool | str = False
        self.shouldfail: bool | str = False
        self.items: list[Any] = []

    @property
    def startpath(self) -> Path:
        return self.config.invocation_params.dir

    def gethookproxy(self, path: object) -> Any:
        return self.config.hook


class Package(Node):
    scope_index = PACKAGE


class Module(Node):
    scope_index = MODULE

    def __init__(self, name: str, parent: Node, nodeid: str, path: Path, module: Any) -> None:
        super().__init__(name, parent, nodeid, path)
        self.obj = module
        self.own_markers = _safe_marks(lambda: unpack(module.__dict__.get("pytestmark")))

    @property
    def module(self) -> Any:
        return self.obj


class Class(Node):
    scope_index = CLASS

    def __init__(self, name: str, parent: Node, nodeid: str, cls: type) -> None:
        super().__init__(name, parent, nodeid, parent.path)
        self.obj = cls
        self.own_markers = _safe_marks(lambda: own_marks(cls))

    @property
    def cls(self) -> type:
        return self.obj

    @property
    def module(self) -> Any:
        return self.getparent(Module).obj

    def newinstance(self) -> Any:
        return self.obj()


def _safe_marks(read: Callable[[], list[Any]]) -> list[Any]:
    try:
        return read()
    except TypeError:
        return []


_NO_MARK_NAMES: frozenset[str] = frozenset()


class Item(Node):
    """One test. ``path`` is the file as given for collection, ``test_name`` the node id
    less the file part (``Class::test[ids]``) and ``name`` its last part, ``line`` the
    1-based line of its definition.

    Every attribute the run sets on an item is made here, in one order: the interpreter
    then keeps an item's attributes inline (about 300 bytes) rather than in a dictionary of
    its own (about 2 KB), which a run of 100,000 tests feels."""

    scope_index = FUNCTION
    nofuncargs = False
    # Rarely other than this: set only on the items that differ.
    failure = ""
    timeout: float | None = None
    _user_properties: list[tuple[str, object]] | None = None

    def __init__(
        self,
        name: str,
        parent: Node,
        nodeid: str,
        file: FilePath,
        function: Callable[..., Any] | None,
        *,
        originalname: str,
        line: int,
        first_line: int | None = None,
        callspec: CallSpec | None = None,
        kind: str = "function",
        marks: list[Any] | None = None,
        module_node: Module | None = None,
    ) -> None:
        super().__init__(name, parent, nodeid, file)
        # pytest's name: the last part of the node id.
        head, bracket, params = name.partition("[")
        self.name = head.rpartition("::")[2] + bracket + params
        self.function = function
        self.originalname = originalname
        self.line = line
        self.first_line = line if first_line is None else first_line  # decorators included
        self.callspec = callspec
        self.kind = kind  # "function", "unittest" or "failure" (collected as failing)
        if module_node is None:
            module_node = parent if isinstance(parent, Module) else parent.getparent(Module)
        self.module_node: Module = module_node
        self.class_node: Class | None = parent if isinstance(parent, Class) else None
        self.plan: Plan | None = None
        self.parent_ids: tuple[str, ...] = ()
        self.instance: object = None
        # While the test runs: its fixture values and their finalizers, request and capture.
        self._funcargs: dict[str, Any] | None = None
        self._fixture_cache = None
        self._finalizers = None
        self._request: Request | None = None
        self._capture: object = None
        # What its setup found: an xfail mark's verdict, whether it or a parent has marks,
        # their names, and how many marks it had itself.
        self._xfailed: object = None
        self._marked = False
        self._mark_names: frozenset[str] | set[str] = _NO_MARK_NAMES
        self._marks_seen = 0
        if marks is not None:
            self.own_markers = list(marks)
        elif function is not None:
            self.own_markers = _safe_marks(lambda: own_marks(function))
        if callspec is not None:
            self.own_markers += callspec.marks

    @property
    def short_name(self) -> str:
        return self.name

    @property
    def test_name(self) -> str:
        """The node id less the file part (``Class::test[ids]``)."""
        return self.nodeid[len(self.module_node.nodeid) + 2 :]

    @property
    def funcargs(self) -> dict[str, Any]:
        if self._funcargs is None:
            self._funcargs = {}
        return self._funcargs

    @funcargs.setter
    def funcargs(self, value: dict[str, Any]) -> None:
        self._funcargs = value

    @property
    def user_properties(self) -> list[tuple[str, object]]:
        if self._user_properties is None:
            self._user_properties = []
        return self._user_properties

    @user_properties.setter
    def user_properties(self, value: list[tuple[str, object]]) -> None:
        self._user_properties = value

    @property
    def marks(self) -> list[Any]:
        return list(self.iter_markers())

    # pytest's Function attributes.

    @property
    def module(self) -> Any:
        return self.module_node.obj

    @property
    def cls(self) -> type | None:
        return self.class_node.obj if self.class_node is not None else None

    @property
    def obj(self) -> Any:
        if self.instance is not None and self.function is not None:
            return getattr(self.instance, self.originalname, self.function)
        return self.function

    @property
    def location(self) -> tuple[str, int, str]:
        return (self.module_node.nodeid, self.line - 1, self.name.replace("::", "."))

    @property
    def fixturenames(self) -> list[str]:
        return list(self.plan.closure) if self.plan is not None else []

    @property
    def _pyfuncitem(self) -> Item:
        return self

    def reportinfo(self) -> tuple[Any, int, str]:
        return self.path, self.line - 1, self.name.replace("::", ".")

    def scope_node(self, scope: int, fixture: FixtureDef) -> Node:
        if scope == FUNCTION:
            return self
        if scope == CLASS:
            return self.class_node or self
        if scope == MODULE:
            return self.module_node
        if scope == PACKAGE:
            for node in self.iter_parents():
                if isinstance(node, Package) and node.nodeid == fixture.baseid:
                    return node
        return self.session

    def chain_nodes(self) -> list[Node]:
        """The nodes whose scope this test is in, outermost first, itself last."""
        return self.listchain()


def keyword_names(item: Item) -> set[str]:
    """The names ``-k`` matches for an item, as pytest gathers them: the names of the item
    and its parents (not the session's or the root's), extra keywords, attributes set on
    the test function, and the names of its marks."""
    names = {
        getattr(node, "short_name", node.name)
        for node in item.iter_parents()
        if not isinstance(node, Session)
    }
    names.update(item.nodeid.split("::", 1)[0].split("/")[:-1])
    names |= item.listextrakeywords()
    function = item.function
    if function is not None:
        names |= {
            name
            for name in getattr(function, "__dict__", {})
            if not name.startswith("_") and name != "pytestmark"
        }
    names |= {mark.name for mark in item.iter_markers()}
    return names


def package_nodes(
    session: Session, directory: Path, rootdir: Path, known: dict[Path, Node]
) -> Node:
    """The innermost package node holding ``directory`` (a package is a directory with
    ``__init__.py``), made once per directory; the session when there is none."""
    found = known.get(directory)
    if found is not None:
        return found
    if not (directory / "__init__.py").is_file():
        known[directory] = session
        return session
    parent = package_nodes(session, directory.parent, rootdir, known)
    node = Package(directory.name, parent, relative_nodeid(directory, rootdir), directory)
    known[directory] = node
    return node


def relative_nodeid(path: Path, rootdir: Path) -> str:
    relative = os.path.relpath(path, rootdir)
    if relative == ".":
        return ""
    return relative.replace(os.sep, "/")


def parent_ids(nodeid_path: str, inner: Iterable[str]) -> tuple[str, ...]:
    """The ids a fixture's ``baseid`` may equal for a test of this file: the root, each
    directory above the file, the file, then its classes (``inner``)."""
    ids = [""]
    parts = nodeid_path.split("/")[:-1]
    for index in range(1, len(parts) + 1):
        ids.append("/".join(parts[:index]))
    ids.append(nodeid_path)
    ids += inner
    return tuple(ids)
