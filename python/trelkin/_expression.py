"""``-k`` and ``-m`` expressions with pytest's grammar::

    expression: expr? EOF
    expr:       and_expr ('or' and_expr)*
    and_expr:   not_expr ('and' not_expr)*
    not_expr:   'not' not_expr | '(' expr ')' | ident kwargs?
    ident:      (\\w|:|\\+|-|\\.|\\[|\\]|\\\\|/)+
    kwargs:     '(' name '=' value (',' name '=' value)* ')'
    value:      a quoted string (no backslashes) | -?[0-9]+ | True | False | None

An empty expression matches nothing. An identifier is looked up through a matcher:
``matcher(name)`` or, with keyword arguments, ``matcher(name, **kwargs)``."""

from __future__ import annotations

import keyword
import re

from collections.abc import Callable, Iterator

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

_IDENT = re.compile(r"(:?\w|:|\+|-|\.|\[|\]|\\|/)+")
_VALUES = {"True": True, "False": False, "None": None}


class ExpressionError(Exception):
    """A malformed expression; ``str()`` is pytest's usage error text."""

    def __init__(self, option: str, text: str, column: int, message: str) -> None:
        super().__init__(f"Wrong expression passed to '{option}': {text}: at column {column}: {message}")
        self.column, self.message = column, message


class _Error(Exception):
    def __init__(self, column: int, message: str) -> None:
        super().__init__(message)
        self.column, self.message = column, message


# Tokens: (kind, value, position). Kinds as pytest names them in its messages.
LPAREN, RPAREN, OR, AND, NOT, IDENT, EOF = (
    "left parenthesis", "right parenthesis", "or", "and", "not", "identifier", "end of input",
)
EQUAL, STRING, COMMA = "=", "string literal", ","


def _lex(text: str) -> Iterator[tuple[str, str, int]]:
    position = 0
    while position < len(text):
        char = text[position]
        if char in " \t":
            position += 1
        elif char in "()=,":
            kind = {"(": LPAREN, ")": RPAREN, "=": EQUAL, ",": COMMA}[char]
            yield kind, char, position
            position += 1
        elif char in "'\"":
            end = text.find(char, position + 1)
            if end == -1:
                raise _Error(position + 1, f'closing quote "{char}" is missing')
            value = text[position : end + 1]
            backslash = value.find("\\")
            if backslash != -1:
                raise _Error(position + backslash + 1, 'escaping with "\\" not supported in marker expression')
            yield STRING, value, position
            position += len(value)
        else:
            match = _IDENT.match(text, position)
            if not match:
                raise _Error(position + 1, f'unexpected character "{char}"')
            value = match.group(0)
            kind = {"or": OR, "and": AND, "not": NOT}.get(value, IDENT)
            yield kind, value, position
            position += len(value)
    yield EOF, "", position


Node = Callable[[Callable[..., bool]], bool]


class _Parser:
    def __init__(self, text: str) -> None:
        self.tokens = _lex(text)
        self.current = next(self.tokens)
        self.idents: set[str] = set()

    def accept(self, kind: str, *, reject: bool = False) -> tuple[str, str, int] | None:
        if self.current[0] == kind:
            token = self.current
            if kind != EOF:
                self.current = next(self.tokens)
            return token
        if reject:
            self.reject((kind,))
        return None

    def reject(self, expected: tuple[str, ...]) -> None:
        raise _Error(self.current[2] + 1, f"expected {' OR '.join(expected)}; got {self.current[0]}")

    def expression(self) -> Node:
        if self.accept(EOF):
            return lambda matcher: False
        node = self.expr()
        self.accept(EOF, reject=True)
        return node

    def expr(self) -> Node:
        node = self.and_expr()
        while self.accept(OR):
            left, right = node, self.and_expr()
            node = lambda matcher, left=left, right=right: left(matcher) or right(matcher)  # noqa: E731
        return node

    def and_expr(self) -> Node:
        node = self.not_expr()
        while self.accept(AND):
            left, right = node, self.not_expr()
            node = lambda matcher, left=left, right=right: left(matcher) and right(matcher)  # noqa: E731
        return node

    def not_expr(self) -> Node:
        if self.accept(NOT):
            inner = self.not_expr()
            return lambda matcher: not inner(matcher)
        if self.accept(LPAREN):
            node = self.expr()
            self.accept(RPAREN, reject=True)
            return node
        token = self.accept(IDENT)
        if token is not None:
            name = token[1]
            self.idents.add(name)
            if self.accept(LPAREN):
                kwargs = self.kwargs()
                self.accept(RPAREN, reject=True)
                return lambda matcher: _call(matcher, name, kwargs)
            return lambda matcher: bool(matcher(name))
        self.reject((NOT, LPAREN, IDENT))
        raise AssertionError("unreachable")

    def kwargs(self) -> dict[str, Any]:
        found = dict([self.kwarg()])
        while self.accept(COMMA):
            key, value = self.kwarg()
            found[key] = value
        return found

    def kwarg(self) -> tuple[str, Any]:
        token = self.accept(IDENT, reject=True)
        assert token is not None
        name = token[1]
        if not name.isidentifier():
            raise _Error(token[2] + 1, f"not a valid python identifier {name}")
        if keyword.iskeyword(name):
            raise _Error(token[2] + 1, f"unexpected reserved python keyword `{name}`")
        self.accept(EQUAL, reject=True)
        string = self.accept(STRING)
        if string is not None:
            return name, string[1][1:-1]
        value_token = self.accept(IDENT, reject=True)
        assert value_token is not None
        text = value_token[1]
        if text.isdigit() or (text.startswith("-") and text[1:].isdigit()):
            return name, int(text)
        if text in _VALUES:
            return name, _VALUES[text]
        raise _Error(value_token[2] + 1, f'unexpected character/s "{text}"')


def _call(matcher: Callable[..., bool], name: str, kwargs: dict[str, Any]) -> bool:
    try:
        return bool(matcher(name, **kwargs))
    except TypeError:
        raise ExpressionUsageError("Keyword expressions do not support call parameters.") from None


class ExpressionUsageError(Exception):
    """An expression the matcher can't answer (keyword arguments to ``-k``)."""


class Expression:
    __slots__ = ("_node", "idents", "text")

    def __init__(self, text: str, node: Node, idents: frozenset[str]) -> None:
        self.text, self._node, self.idents = text, node, idents

    def evaluate(self, matcher: Callable[..., bool]) -> bool:
        return self._node(matcher)


def compile_expression(text: str, option: str = "-k") -> Expression:
    """Compiles an expression; ``option`` names the flag in the error message."""
    parser = _Parser(text)
    try:
        node = parser.expression()
    except _Error as error:
        raise ExpressionError(option, text, error.column, error.message) from None
    return Expression(text, node, frozenset(parser.idents))


def keyword_matcher(item: Any) -> Callable[[str], bool]:
    """``-k``'s matcher for an item: a case-insensitive substring of any of its names."""
    from trelkin._nodes import keyword_names

    names = [name.lower() for name in keyword_names(item)]

    def matches(subname: str, **kwargs: Any) -> bool:
        if kwargs:
            raise ExpressionUsageError("Keyword expressions do not support call parameters.")
        lowered = subname.lower()
        return any(lowered in name for name in names)

    return matches


def mark_matcher(item: Any) -> Callable[..., bool]:
    """``-m``'s matcher: a mark of that name, whose keyword arguments include those given."""
    marks: dict[str, list[Any]] = {}
    for mark in item.iter_markers():
        marks.setdefault(mark.name, []).append(mark)
    missing = object()

    def matches(name: str, **kwargs: Any) -> bool:
        return any(
            all(mark.kwargs.get(key, missing) == value for key, value in kwargs.items())
            for mark in marks.get(name, ())
        )

    return matches
