"""Parametrization: ``@pytest.mark.parametrize``, ``metafunc.parametrize`` from
``pytest_generate_tests`` hooks, and parametrized fixtures, expanded into call specs with
pytest's ids (``test_add[1-2-3]``, ``x0`` for values without an id of their own, suffixes
for duplicates, non-ASCII text escaped)."""

from __future__ import annotations

import enum
import re
import sys
from collections import Counter, defaultdict

from trelkin._fixtures import NOTSET, SCOPES

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any



class ParametrizeError(Exception):
    """A parametrization that can't be used; the message is the collection error."""


class CallSpec:
    """One combination of parameters of a test: values by name, the index of each value
    in its parametrization, the scope of each name, marks from ``pytest.param``, and the
    id parts. Read by tests as ``item.callspec`` (``params``, ``id``, ``getparam``)."""

    __slots__ = ("_idlist", "indices", "marks", "params", "scopes", "indirect")

    def __init__(self) -> None:
        self.params: dict[str, Any] = {}
        self.indices: dict[str, int] = {}
        self.scopes: dict[str, int] = {}
        self.indirect: set[str] = set()
        self.marks: list[Any] = []
        self._idlist: list[str] = []

    def extended(
        self,
        argnames: Sequence[str],
        values: Sequence[Any],
        param_id: str | None,
        marks: Sequence[Any],
        scope: int,
        index: int,
        indirect: set[str],
    ) -> CallSpec:
        spec = CallSpec()
        spec.params = dict(self.params)
        spec.indices = dict(self.indices)
        spec.scopes = dict(self.scopes)
        spec.indirect = self.indirect | indirect
        for name, value in zip(argnames, values):
            if name in spec.params:
                raise ParametrizeError(f"duplicate parametrization of {name!r}")
            spec.params[name] = value
            spec.indices[name] = index
            spec.scopes[name] = scope
        spec._idlist = [*self._idlist] if param_id is None else [*self._idlist, param_id]
        spec.marks = [*self.marks, *marks]
        return spec

    @property
    def id(self) -> str:
        return "-".join(self._idlist)

    def getparam(self, name: str) -> Any:
        try:
            return self.params[name]
        except KeyError as error:
            raise ValueError(name) from error


def _is_parameter_set(value: object) -> bool:
    return type(value).__name__ == "ParameterSet" and hasattr(value, "values")


class ParamSet:
    __slots__ = ("id", "marks", "values")

    def __init__(self, values: Sequence[Any], marks: Sequence[Any], param_id: Any) -> None:
        self.values, self.marks, self.id = values, marks, param_id


def _extract(value: object, force_tuple: bool) -> ParamSet:
    if _is_parameter_set(value):
        from trelkin._marks import unpack

        return ParamSet(tuple(value.values), unpack(list(value.marks)), value.id)  # type: ignore[attr-defined]
    if force_tuple:
        return ParamSet((value,), (), None)
    return ParamSet(value, (), None)  # type: ignore[arg-type]


def parse_argnames(argnames: str | Sequence[str]) -> tuple[list[str], bool]:
    """The names and whether each value is one value rather than a tuple of them."""
    if isinstance(argnames, str):
        # "a," names one argument whose values are 1-tuples, since pytest 9.1.
        trailing_comma = argnames.rstrip().endswith(",") and pytest_version() >= (9, 1)
        names = [name.strip() for name in argnames.split(",") if name.strip()]
        return names, len(names) == 1 and not trailing_comma
    return list(argnames), False


def pytest_version() -> tuple[int, ...]:
    pytest = sys.modules.get("pytest")
    version = getattr(pytest, "version_tuple", None)
    return tuple(part for part in version if isinstance(part, int)) if version else (9,)


def parameter_sets(
    argnames: str | Sequence[str],
    argvalues: Any,
    function: Callable[..., Any],
    nodeid: str,
    empty_mark: str,
) -> tuple[list[str], list[ParamSet]]:
    names, force_tuple = parse_argnames(argnames)
    sets = [_extract(value, force_tuple) for value in argvalues]
    for param in sets:
        try:
            count = len(param.values)
        except TypeError:
            raise ParametrizeError(
                f'{nodeid}: in "parametrize" expected a sequence of values, for a single '
                "value use a one-element tuple like ('value',), "
                f"got {type(param.values).__name__}:\n  {param.values}"
            ) from None
        if count != len(names):
            raise ParametrizeError(
                f'{nodeid}: in "parametrize" the number of names ({len(names)}):\n'
                f"  {names}\nmust be equal to the number of values ({count}):\n"
                f"  {param.values}"
            )
    if not sets:
        sets = [_empty_set(names, function, empty_mark)]
    return names, sets


def _empty_set(names: list[str], function: Callable[..., Any], empty_mark: str) -> ParamSet:
    from trelkin._marks import make_mark

    code = getattr(function, "__code__", None)
    line = code.co_firstlineno if code is not None else 0
    if pytest_version() >= (8, 4):
        reason = f"got empty parameter set for ({', '.join(names)})"
        param_id: str | None = "NOTSET"
    else:
        path = code.co_filename if code is not None else "?"
        reason = f"got empty parameter set {names!r}, function {function.__name__} at {path}:{line - 1}"
        param_id = None
    if empty_mark == "fail_at_collect":
        raise ParametrizeError(f"Empty parameter set in '{function.__name__}' at line {line}")
    pytest = sys.modules["pytest"]
    if empty_mark == "xfail":
        mark = make_mark(pytest.mark.xfail(reason=reason, run=False))
    else:
        mark = make_mark(pytest.mark.skip(reason=reason))
    return ParamSet((NOTSET,) * len(names), [mark], param_id)


# Ids.

_NON_PRINTABLE = {i: f"\\x{i:02x}" for i in range(128) if i not in range(32, 127)}
_NON_PRINTABLE.update({ord("\t"): "\\t", ord("\r"): "\\r", ord("\n"): "\\n"})


def ascii_escaped(value: str | bytes, disable: bool = False) -> str:
    if disable and isinstance(value, str):
        return value
    if isinstance(value, bytes):
        text = value.decode("ascii", "backslashreplace")
    else:
        text = value.encode("unicode_escape").decode("ascii")
    return text.translate(_NON_PRINTABLE)


def id_from_value(value: object, disable_escaping: bool = False) -> str | None:
    if isinstance(value, str | bytes):
        return ascii_escaped(value, disable_escaping)
    if value is None or isinstance(value, float | int | bool | complex):
        return str(value)
    if isinstance(value, re.Pattern):
        return ascii_escaped(value.pattern)
    if value is NOTSET or type(value).__name__ == "NotSetType":
        return None
    if isinstance(value, enum.Enum):
        return str(value)
    name = getattr(value, "__name__", None)
    if isinstance(name, str):
        return name
    return None


class IdMaker:
    """Ids for the parameter sets of one parametrization."""

    def __init__(
        self,
        argnames: Sequence[str],
        sets: Sequence[ParamSet],
        idfn: Callable[[Any], object] | None,
        ids: Sequence[object] | None,
        nodeid: str,
        disable_escaping: bool = False,
    ) -> None:
        self.argnames, self.sets, self.idfn, self.ids = argnames, sets, idfn, ids
        self.nodeid, self.disable_escaping = nodeid, disable_escaping
        # Since pytest 9.2 a string over 100 characters gets the argument's name as its id.
        self.short_long_strings = pytest_version() >= (9, 2)

    def make_unique(self) -> list[str]:
        resolved = [self._resolve(index, param) for index, param in enumerate(self.sets)]
        if len(resolved) == len(set(resolved)):
            return resolved
        counts = Counter(resolved)
        suffixes: dict[str, int] = defaultdict(int)
        for index, value in enumerate(resolved):
            if counts[value] > 1:
                suffix = "_" if value and value[-1].isdigit() else ""
                new = f"{value}{suffix}{suffixes[value]}"
                while new in set(resolved):
                    suffixes[value] += 1
                    new = f"{value}{suffix}{suffixes[value]}"
                resolved[index] = new
                suffixes[value] += 1
        return resolved

    def _resolve(self, index: int, param: ParamSet) -> str:
        if param.id is not None:
            return ascii_escaped(str(param.id), self.disable_escaping) if isinstance(
                param.id, str
            ) else str(param.id)
        if self.ids and index < len(self.ids) and self.ids[index] is not None:
            value = id_from_value(self.ids[index], self.disable_escaping)
            if value is None:
                raise ParametrizeError(
                    f"In {self.nodeid}: ids contains unsupported value {self.ids[index]!r} "
                    f"(type: {type(self.ids[index])!r}) at index {index}. Supported types "
                    "are: str, bytes, int, float, complex, bool, enum, regex or anything "
                    "with a __name__."
                )
            return value
        return "-".join(
            self._one(value, name, index)
            for value, name in zip(param.values, self.argnames, strict=True)
        )

    def _one(self, value: object, argname: str, index: int) -> str:
        if self.idfn is not None:
            try:
                made = self.idfn(value)
            except Exception as error:
                raise ParametrizeError(
                    f"{self.nodeid}: error raised while trying to determine id of parameter "
                    f"'{argname}' at position {index}: {type(error).__name__}: {error}"
                ) from error
            if made is not None:
                found = id_from_value(made, self.disable_escaping)
                if found is not None:
                    return found
        if isinstance(value, str | bytes) and len(value) > 100 and self.short_long_strings:
            return f"{argname}{index}"
        found = id_from_value(value, self.disable_escaping)
        return found if found is not None else f"{argname}{index}"


class Metafunc:
    """What ``pytest_generate_tests(metafunc)`` sees: the test's definition and fixture
    names, and ``parametrize`` to add call specs."""

    def __init__(
        self,
        definition: Any,
        function: Callable[..., Any],
        fixturenames: list[str],
        argnames: Sequence[str],
        fixture_scope: Callable[[str], int | None],
        config: Any,
        cls: type | None,
        module: Any,
    ) -> None:
        self.definition = definition
        self.function = function
        self.fixturenames = fixturenames
        self.config = config
        self.cls = cls
        self.module = module
        self._argnames = list(argnames)
        self._fixture_scope = fixture_scope
        self._calls: list[CallSpec] = []
        self._direct: set[str] = set()

    def parametrize(
        self,
        argnames: str | Sequence[str],
        argvalues: Any,
        indirect: bool | Sequence[str] = False,
        ids: Any = None,
        scope: str | None = None,
        *,
        _param_mark: Any = None,
    ) -> None:
        nodeid = self.definition.nodeid
        empty_mark = str(self.config.getini("empty_parameter_set_mark") or "skip")
        names, sets = parameter_sets(argnames, argvalues, self.function, nodeid, empty_mark)
        if isinstance(indirect, bool):
            indirect_names = set(names) if indirect else set()
        else:
            indirect_names = set(indirect)
            unknown = indirect_names - set(names)
            if unknown:
                raise ParametrizeError(
                    f"In {self.function.__name__}: indirect fixture "
                    f"'{sorted(unknown)[0]}' doesn't exist"
                )
        for name in names:
            if name in indirect_names:
                if name not in self.fixturenames and self._fixture_scope(name) is None:
                    raise ParametrizeError(
                        f"In {self.function.__name__}: function uses no fixture '{name}'"
                    )
            elif name not in self.fixturenames:
                raise ParametrizeError(
                    f"In {self.function.__name__}: function uses no argument '{name}'"
                )
        if scope is not None:
            if scope not in SCOPES:
                raise ParametrizeError(
                    f"{nodeid}: scope given to parametrize() must be one of {SCOPES}, not {scope!r}"
                )
            scope_index = SCOPES.index(scope)
        elif names and all(name in indirect_names for name in names):
            found = [self._fixture_scope(name) for name in names]
            scope_index = min((value for value in found if value is not None), default=0)
        else:
            scope_index = 0
        if callable(ids) and not isinstance(ids, list | tuple):
            idfn, id_list = ids, None
        else:
            idfn, id_list = None, (list(ids) if ids is not None else None)
        if id_list is not None and len(id_list) != len(sets):
            raise ParametrizeError(
                f"In {self.function.__name__}: {len(sets)} parameter sets specified, "
                f"with different number of ids: {len(id_list)}"
            )
        disable = bool(
            self.config.getini(
                "disable_test_id_escaping_and_forfeit_all_rights_to_community_support"
            )
        )
        made_ids = IdMaker(names, sets, idfn, id_list, nodeid, disable).make_unique()
        self._direct.update(name for name in names if name not in indirect_names)
        calls = []
        for spec in self._calls or [CallSpec()]:
            for index, (param_id, param) in enumerate(zip(made_ids, sets)):
                calls.append(
                    spec.extended(
                        names, param.values, param_id, param.marks, scope_index, index,
                        indirect_names & set(names),
                    )
                )
        self._calls = calls
