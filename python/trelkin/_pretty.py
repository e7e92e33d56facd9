"""Safe, size-limited reprs and the one-item-per-line pretty form used in failure reports.

``saferepr`` never raises: a failing ``__repr__`` becomes a short note naming the error, and
long reprs are cut in the middle with ``...``. ``pformat_lines`` lays containers out one item
a line with trailing commas (four spaces a level), the shape pytest uses for full diffs, so
``difflib.ndiff`` over two such layouts lines up item by item.
"""

from __future__ import annotations

import collections
import re
import reprlib
import sys
import types
from collections.abc import Iterable, Iterator
from itertools import islice

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# The longest repr shown for one value in an explanation, by default.
DEFAULT_MAXSIZE = 240


def _repr_or_str(obj: object) -> str:
    try:
        return repr(obj)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:
        return f'{type(obj).__name__}("{obj}")'


def _failed_repr(exc: BaseException, obj: object) -> str:
    try:
        info = _repr_or_str(exc)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as inner:
        info = f"unpresentable exception ({_repr_or_str(inner)})"
    return f"<[{info} raised in repr()] {type(obj).__name__} object at 0x{id(obj):x}>"


def ellipsize(text: str, maxsize: int) -> str:
    if len(text) <= maxsize:
        return text
    head = max(0, (maxsize - 3) // 2)
    tail = max(0, maxsize - 3 - head)
    return text[:head] + "..." + text[len(text) - tail :]


class _SafeRepr(reprlib.Repr):
    def __init__(self, maxsize: int | None, use_ascii: bool) -> None:
        super().__init__()
        # reprlib needs an int; "no limit" is a very large one.
        self.maxstring = maxsize if maxsize is not None else 1_000_000_000
        self.maxsize = maxsize
        self.use_ascii = use_ascii

    def repr(self, x: object) -> str:
        try:
            text = ascii(x) if self.use_ascii else super().repr(x)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:
            text = _failed_repr(exc, x)
        return text if self.maxsize is None else ellipsize(text, self.maxsize)

    def repr_instance(self, x: object, level: int) -> str:
        try:
            text = repr(x)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:
            text = _failed_repr(exc, x)
        return text if self.maxsize is None else ellipsize(text, self.maxsize)

    def repr_dict(self, x: dict[object, object], level: int) -> str:
        # Insertion order, where reprlib would sort the keys.
        if not x:
            return "{}"
        if level <= 0:
            return "{...}"
        pieces = [
            f"{self.repr1(key, level - 1)}: {self.repr1(x[key], level - 1)}"
            for key in islice(x, self.maxdict)
        ]
        if len(x) > self.maxdict:
            pieces.append("...")
        return "{" + ", ".join(pieces) + "}"


def saferepr(obj: object, maxsize: int | None = DEFAULT_MAXSIZE, use_ascii: bool = False) -> str:
    """A repr of at most ``maxsize`` characters (no limit for None) that never raises."""
    return _SafeRepr(maxsize, use_ascii).repr(obj)


def saferepr_unlimited(obj: object, use_ascii: bool = True) -> str:
    """The plain, full repr (or ascii) that never raises."""
    try:
        return ascii(obj) if use_ascii else repr(obj)
    except Exception as exc:
        return _failed_repr(exc, obj)


def safeformat(obj: object) -> str:
    """The standard library's pretty form, never raising."""
    import pprint

    try:
        return pprint.pformat(obj)
    except Exception as exc:
        return _failed_repr(exc, obj)


class SafeKey:
    """A sort key that orders values of types that can't be compared by type name, then id."""

    __slots__ = ("obj",)

    def __init__(self, obj: object) -> None:
        self.obj = obj

    def __lt__(self, other: SafeKey) -> bool:
        try:
            return bool(self.obj < other.obj)  # type: ignore[operator]
        except TypeError:
            return (str(type(self.obj)), id(self.obj)) < (str(type(other.obj)), id(other.obj))


_SCALARS = frozenset({str, bytes, bytearray, float, complex, bool, type(None), int})
_INDENT = 4
_WIDTH = 80


def _recursion(obj: object) -> str:
    return f"<Recursion on {type(obj).__name__} with id={id(obj)}>"


class _Layout:
    """Yields the text of the pretty form in pieces, so a caller can stop early."""

    def __init__(self) -> None:
        self.dispatch = {
            dict.__repr__: self._dict,
            collections.OrderedDict.__repr__: self._dict_with_class,
            list.__repr__: lambda o, i, a, c, lv: self._bracketed("[", "]", o, i, c, lv),
            tuple.__repr__: lambda o, i, a, c, lv: self._bracketed("(", ")", o, i, c, lv),
            set.__repr__: self._set,
            frozenset.__repr__: self._set,
            str.__repr__: self._str,
            bytes.__repr__: self._bytes,
            bytearray.__repr__: self._bytearray,
            types.MappingProxyType.__repr__: self._mappingproxy,
            types.SimpleNamespace.__repr__: self._namespace,
            collections.defaultdict.__repr__: self._defaultdict,
            collections.Counter.__repr__: self._counter,
            collections.ChainMap.__repr__: self._chainmap,
            collections.deque.__repr__: self._deque,
            collections.UserDict.__repr__: self._user,
            collections.UserList.__repr__: self._user,
            collections.UserString.__repr__: self._user,
        }

    def format(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        if id(obj) in context:
            yield _recursion(obj)
            return
        handler = self.dispatch.get(type(obj).__repr__)
        if handler is not None:
            context.add(id(obj))
            yield from handler(obj, indent, allowance, context, level + 1)
            context.discard(id(obj))
        elif _has_generated_dataclass_repr(obj):
            context.add(id(obj))
            import dataclasses

            fields = [(f.name, getattr(obj, f.name)) for f in dataclasses.fields(obj) if f.repr]
            yield type(obj).__name__ + "("
            yield from self._namespace_items(fields, indent, context, level + 1)
            yield ")"
            context.discard(id(obj))
        else:
            yield self._repr(obj, context, level)

    def _dict(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        yield "{"
        yield from self._dict_items(obj.items(), indent, context, level)
        yield "}"

    def _dict_with_class(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        if not obj:
            yield repr(obj)
            return
        yield type(obj).__name__ + "("
        yield from self._dict(obj, indent, allowance, context, level)
        yield ")"

    def _bracketed(
        self, open_: str, close: str, obj: Any, indent: int, context: set[int], level: int
    ) -> Iterator[str]:
        yield open_
        yield from self._items(obj, indent, context, level)
        yield close

    def _set(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        if not obj:
            yield repr(obj)
            return
        if type(obj) is set:
            yield "{"
            close = "}"
        else:
            yield type(obj).__name__ + "({"
            close = "})"
        try:
            ordered = sorted(obj)
        except TypeError:
            ordered = sorted(obj, key=SafeKey)
        yield from self._items(ordered, indent, context, level)
        yield close

    def _str(
        self, obj: str, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        if not obj:
            yield repr(obj)
            return
        chunks: list[str] = []
        lines = obj.splitlines(True)
        if level == 1:
            indent += 1
            allowance += 1
        first_width = width = _WIDTH - indent
        rep = ""
        for i, line in enumerate(lines):
            rep = repr(line)
            if i == len(lines) - 1:
                first_width -= allowance
            if len(rep) <= first_width:
                chunks.append(rep)
                continue
            # Wrap at word boundaries: alternating (non-space, space) runs.
            parts = re.findall(r"\S*\s*", line)[:-1]
            part_width = width
            current = ""
            for j, part in enumerate(parts):
                candidate = current + part
                if j == len(parts) - 1 and i == len(lines) - 1:
                    part_width -= allowance
                if len(repr(candidate)) > part_width:
                    if current:
                        chunks.append(repr(current))
                    current = part
                else:
                    current = candidate
            if current:
                chunks.append(repr(current))
        if len(chunks) == 1:
            yield rep
            return
        if level == 1:
            yield "("
        for i, chunk in enumerate(chunks):
            if i:
                yield "\n" + " " * indent
            yield chunk
        if level == 1:
            yield ")"

    def _bytes(
        self, obj: bytes, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        if len(obj) <= 4:
            yield repr(obj)
            return
        parens = level == 1
        if parens:
            indent += 1
            allowance += 1
            yield "("
        delim = ""
        for rep in _wrap_bytes(obj, _WIDTH - indent, allowance):
            yield delim
            yield rep
            delim = "\n" + " " * indent
        if parens:
            yield ")"

    def _bytearray(
        self, obj: bytearray, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        yield "bytearray("
        yield from self._bytes(bytes(obj), indent + 10, allowance + 1, context, level + 1)
        yield ")"

    def _mappingproxy(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        yield "mappingproxy("
        yield from self.format(obj.copy(), indent, allowance, context, level)
        yield ")"

    def _namespace(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        name = "namespace" if type(obj) is types.SimpleNamespace else type(obj).__name__
        yield name + "("
        yield from self._namespace_items(obj.__dict__.items(), indent, context, level)
        yield ")"

    def _defaultdict(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        factory = self._repr(obj.default_factory, context, level)
        yield f"{type(obj).__name__}({factory}, "
        yield from self._dict(obj, indent, allowance, context, level)
        yield ")"

    def _counter(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        yield type(obj).__name__ + "("
        if obj:
            yield "{"
            yield from self._dict_items(obj.most_common(), indent, context, level)
            yield "}"
        yield ")"

    def _chainmap(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        if not obj.maps or (len(obj.maps) == 1 and not obj.maps[0]):
            yield repr(obj)
            return
        yield type(obj).__name__ + "("
        yield from self._items(obj.maps, indent, context, level)
        yield ")"

    def _deque(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        yield type(obj).__name__ + "("
        if obj.maxlen is not None:
            yield f"maxlen={obj.maxlen}, "
        yield "["
        yield from self._items(obj, indent, context, level)
        yield "])"

    def _user(
        self, obj: Any, indent: int, allowance: int, context: set[int], level: int
    ) -> Iterator[str]:
        yield from self.format(obj.data, indent, allowance, context, level - 1)

    def _items(
        self, items: Iterable[Any], indent: int, context: set[int], level: int
    ) -> Iterator[str]:
        inner = indent + _INDENT
        emitted = False
        for item in items:
            emitted = True
            yield "\n" + " " * inner
            yield from self.format(item, inner, 1, context, level)
            yield ","
        if emitted:
            yield "\n" + " " * indent

    def _dict_items(
        self, items: Iterable[tuple[Any, Any]], indent: int, context: set[int], level: int
    ) -> Iterator[str]:
        inner = indent + _INDENT
        emitted = False
        for key, value in items:
            emitted = True
            yield "\n" + " " * inner
            yield self._repr(key, context, level)
            yield ": "
            yield from self.format(value, inner, 1, context, level)
            yield ","
        if emitted:
            yield "\n" + " " * indent

    def _namespace_items(
        self, items: Iterable[tuple[str, Any]], indent: int, context: set[int], level: int
    ) -> Iterator[str]:
        inner = indent + _INDENT
        emitted = False
        for key, value in items:
            emitted = True
            yield "\n" + " " * inner
            yield key
            yield "="
            if id(value) in context:
                yield "..."
            else:
                yield from self.format(value, inner + len(key) + 1, 1, context, level)
            yield ","
        if emitted:
            yield "\n" + " " * indent

    def _repr(self, obj: Any, context: set[int], level: int) -> str:
        return _flat_repr(obj, set(context), level)


def _has_generated_dataclass_repr(obj: object) -> bool:
    # Nothing is a dataclass until the module that makes them is imported.
    dataclasses = sys.modules.get("dataclasses")
    if dataclasses is None or not dataclasses.is_dataclass(obj) or isinstance(obj, type):
        return False
    if not obj.__dataclass_params__.repr:  # type: ignore[attr-defined]
        return False
    wrapped = getattr(type(obj).__repr__, "__wrapped__", None)
    return wrapped is not None and "__create_fn__" in wrapped.__qualname__


def _flat_repr(obj: Any, context: set[int], level: int) -> str:
    """repr() on one line, marking recursion in plain dicts, lists and tuples."""
    kind = type(obj)
    if kind in _SCALARS:
        return repr(obj)
    own_repr = getattr(kind, "__repr__", None)
    if issubclass(kind, dict) and own_repr is dict.__repr__:
        if not obj:
            return "{}"
        if id(obj) in context:
            return _recursion(obj)
        context.add(id(obj))
        body = ", ".join(
            f"{_flat_repr(k, context, level + 1)}: {_flat_repr(v, context, level + 1)}"
            for k, v in obj.items()
        )
        context.discard(id(obj))
        return "{" + body + "}"
    is_list = issubclass(kind, list) and own_repr is list.__repr__
    if is_list or (issubclass(kind, tuple) and own_repr is tuple.__repr__):
        if not obj:
            return "[]" if is_list else "()"
        template = "[%s]" if is_list else ("(%s,)" if len(obj) == 1 else "(%s)")
        if id(obj) in context:
            return _recursion(obj)
        context.add(id(obj))
        body = ", ".join(_flat_repr(item, context, level + 1) for item in obj)
        context.discard(id(obj))
        return template % body
    return repr(obj)


def _wrap_bytes(obj: bytes, width: int, allowance: int) -> Iterator[str]:
    current = b""
    last = len(obj) // 4 * 4
    for i in range(0, len(obj), 4):
        part = obj[i : i + 4]
        candidate = current + part
        if i == last:
            width -= allowance
        if len(repr(candidate)) > width:
            if current:
                yield repr(current)
            current = part
        else:
            current = candidate
    if current:
        yield repr(current)


def pformat(obj: object) -> str:
    return "".join(_Layout().format(obj, 0, 0, set(), 0))


def pformat_lines(
    obj: object, *, max_lines: int | None = None, max_chars: int | None = None
) -> list[str]:
    """The pretty form as lines, formatted only about as far as the limits given."""
    if max_lines is None and max_chars is None:
        return pformat(obj).splitlines()
    lines = chars = 0
    pieces: list[str] = []
    for piece in _Layout().format(obj, 0, 0, set(), 0):
        pieces.append(piece)
        chars += len(piece)
        lines += piece.count("\n")
        if (max_lines is not None and lines >= max_lines) or (
            max_chars is not None and chars >= max_chars
        ):
            break
    return "".join(pieces).splitlines()
