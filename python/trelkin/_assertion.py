"""What a rewritten assert calls when it fails (see ``_rewrite_text``).

``fail(*message)`` raises the ``AssertionError`` with pytest's explanation. It finds the
assert that starts at its caller's line in the source (as linecache has it), walks it
exactly as the rewriter did, so that the n-th temporary the rewriter made is the n-th one
read here, and takes the values from the failing frame: temporaries, local and global
names. Literals are rebuilt from the text, a method called at once is looked up again on
its object; the operands a short-circuit skipped are never read. When the source no longer
holds the assert (it changed since the import), the error carries the message alone. This
module imports nothing until a failure.
"""

from __future__ import annotations

import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    import ast
    from types import FrameType
    from typing import Any


def fail(*message: object) -> None:
    __tracebackhide__ = True
    frame = sys._getframe(1)
    statement = _statement_at(frame)
    if statement is None:
        # The source changed since it was imported: nothing left to explain from.
        raise AssertionError(*message)
    from trelkin import _explain, _rewrite_text

    explainer = _Explainer(frame, _explain, _rewrite_text)
    explainer.targets = _rewrite_text._walrus_targets([statement.test])
    explanation = explainer.visit(statement.test, [], True)
    if message:
        explanation = _message(message[0], _explain) + "\n>assert " + explanation
    else:
        explanation = "assert " + explanation
    raise AssertionError(_explain.format_explanation(explanation))


def _statement_at(frame: FrameType) -> ast.Assert | None:
    """The assert statement that starts at the frame's line, parsed."""
    import ast
    import linecache

    from trelkin import _rewrite_text

    source = "".join(linecache.getlines(frame.f_code.co_filename, frame.f_globals)).encode()
    try:
        spans = _rewrite_text.find_asserts(source)
    except Exception:
        return None
    line = frame.f_lineno
    for start, end in spans:
        if source.count(b"\n", 0, start) + 1 == line:
            try:
                statement = ast.parse(source[start:end]).body[0]
            except SyntaxError:
                return None
            return statement if isinstance(statement, ast.Assert) else None
    return None


def _message(obj: object, explain: Any) -> str:
    # As pytest's: a string's own newlines kept, anything else by its repr.
    if isinstance(obj, str):
        return obj.replace("\n", "\n~")
    return explain._tk_repr(obj).replace("\n", "\n~").replace("\\n", "\n~")


_MISSING = object()


class _Explainer:
    """Builds the explanation of one failed assert from the values in its frame. ``visit``
    (and the helpers beside it) take ``evaluated``: False for code a short-circuit skipped,
    which only numbers its temporaries."""

    def __init__(self, frame: FrameType, explain: Any, rewriter: Any) -> None:
        import ast

        self.frame = frame
        self.locals = frame.f_locals
        self.explain = explain
        self.rewriter = rewriter
        self.ast = ast
        self.count = 0
        self.targets: set[str] = set()

    # -- values ---------------------------------------------------------------------------

    def temporary(self) -> str:
        name = self.rewriter.TEMPORARY.format(self.count)
        self.count += 1
        return name

    def read(self, name: str) -> object:
        return self.locals.get(name, None)

    def lookup(self, name: str) -> object:
        for namespace in (self.locals, self.frame.f_globals, self.frame.f_builtins):
            value = namespace.get(name, _MISSING)
            if value is not _MISSING:
                return value
        return _MISSING

    def value_of(self, node: ast.expr, holder: str | None) -> object:
        if holder is not None:
            return self.read(holder)
        if type(node) is self.ast.Name:
            return self.lookup(node.id)
        return self.ast.literal_eval(node)

    def show(self, value: object) -> str:
        return self.explain._tk_repr(value)

    def show_name(self, name: str) -> str:
        value = self.lookup(name)
        if value is _MISSING:
            return name
        if name in self.locals or self.explain._tk_should_repr_global(value):
            return self.show(value)
        return name

    # -- the walk (mirrors _rewrite_text._Emitter) ----------------------------------------

    def captured(
        self, node: ast.expr, later: list[ast.expr], evaluated: bool
    ) -> tuple[str, str | None]:
        text, holder = self.visit_holding(node, later, evaluated)
        if holder is None and self.rewriter.needs_capture(node, later, self.targets):
            holder = self.temporary()
            if evaluated and type(node) is self.ast.Name:
                text = self.show(self.read(holder))  # the value before a later walrus
        return text, holder

    def visit(self, node: ast.expr, later: list[ast.expr], evaluated: bool) -> str:
        return self.visit_holding(node, later, evaluated)[0]

    def visit_holding(
        self, node: ast.expr, later: list[ast.expr], evaluated: bool, called: bool = False
    ) -> tuple[str, str | None]:
        ast = self.ast
        kind = type(node)
        if kind is ast.Name:
            return (self.show_name(node.id) if evaluated else ""), None
        if kind is ast.Constant or (kind is not ast.Compare and self.rewriter.is_literal(node)):
            return (self.show(ast.literal_eval(node)) if evaluated else ""), None
        if kind is ast.Compare:
            return self.compare(node, evaluated), None
        if kind is ast.Call:
            return self.call(node, evaluated)
        if kind is ast.Attribute and isinstance(node.ctx, ast.Load):
            if called:
                return self.method(node, evaluated), None
            value = self.visit(node.value, [], evaluated)
            holder = self.temporary()
            if not evaluated:
                return "", holder
            shown = self.show(self.read(holder))
            return f"{shown}\n{{{shown} = {value}.{node.attr}\n}}", holder
        if kind is ast.BoolOp:
            return self.boolop(node, evaluated), None
        if kind is ast.UnaryOp:
            operand = self.visit(node.operand, later, evaluated)
            return self.rewriter._UNARY[type(node.op)] + operand, None
        if kind is ast.BinOp:
            left = self.argument(node.left, [node.right], evaluated)
            right = self.visit(node.right, [], evaluated)
            return f"({left} {self.rewriter._BINARY[type(node.op)]} {right})", None
        if kind is ast.NamedExpr:
            target = node.target.id if isinstance(node.target, ast.Name) else ""
            return (self.show_name(target) if evaluated else ""), None
        holder = self.temporary()
        return (self.show(self.read(holder)) if evaluated else ""), holder

    def argument(
        self, node: ast.expr, later: list[ast.expr], evaluated: bool, called: bool = False
    ) -> str:
        if self.rewriter.rebound(node, later, self.targets):
            holder = self.temporary()
            return self.show(self.read(holder)) if evaluated else ""
        return self.visit_holding(node, later, evaluated, called)[0]

    def method(self, node: ast.Attribute, evaluated: bool) -> str:
        """A method called at once was not kept: looked up again on its object's value."""
        ast = self.ast
        owner = node.value
        owner_text, owner_holder = self.captured(owner, [], evaluated)
        if not evaluated:
            return ""
        if owner_holder is not None:
            owner_value = self.read(owner_holder)
        elif type(owner) is ast.Name:
            owner_value = self.lookup(owner.id)
        elif self.rewriter.is_literal(owner):
            owner_value = ast.literal_eval(owner)
        else:
            owner_value = _MISSING
        try:
            value = getattr(owner_value, node.attr) if owner_value is not _MISSING else _MISSING
        except Exception:
            value = _MISSING
        if value is _MISSING:
            return f"{owner_text}.{node.attr}"
        shown = self.show(value)
        return f"{shown}\n{{{shown} = {owner_text}.{node.attr}\n}}"

    def boolop(self, node: ast.BoolOp, evaluated: bool) -> str:
        is_or = isinstance(node.op, self.ast.Or)
        shown = []
        reached = evaluated
        for i, value in enumerate(node.values):
            text, holder = self.captured(value, node.values[i + 1 :], reached)
            if reached:
                shown.append(text)
                # Python goes on to the next operand while an "and" holds, an "or" fails.
                reached = self.truth(self.value_of(value, holder)) != is_or
        return "(" + (" or " if is_or else " and ").join(shown) + ")"

    @staticmethod
    def truth(value: object) -> bool:
        try:
            return bool(value)
        except Exception:
            return False

    def compare(self, node: ast.Compare, evaluated: bool) -> str:
        operands = node.comparators
        chained = len(node.ops) > 1
        left = (node.left, *self.captured(node.left, operands, evaluated))
        chosen = None
        reached = evaluated
        for i, (op, operand) in enumerate(zip(node.ops, operands, strict=True)):
            right = (operand, *self.captured(operand, operands[i + 1 :], reached))
            result = self.temporary() if chained else None
            if reached:
                # The first false link is explained (the last one when none is).
                chosen = (op, left, right)
                if result is None or not self.truth(self.read(result)):
                    reached = False
            left = right
        if chosen is None:
            return ""
        op, (left_node, left_text, left_holder), (right_node, right_text, right_holder) = chosen
        return self.link(
            op, left_node, left_text, left_holder, right_node, right_text, right_holder
        )

    def link(
        self,
        op: ast.cmpop,
        left: ast.expr,
        left_text: str,
        left_holder: str | None,
        right: ast.expr,
        right_text: str,
        right_holder: str | None,
    ) -> str:
        ast = self.ast
        symbol = self.rewriter._COMPARE[type(op)]
        if isinstance(left, ast.Compare | ast.BoolOp):
            left_text = f"({left_text})"
        if isinstance(right, ast.Compare | ast.BoolOp):
            right_text = f"({right_text})"
        lines = self.explain.compare(
            symbol, self.value_of(left, left_holder), self.value_of(right, right_holder)
        )
        if lines:
            return "\n~".join(line.replace("\n", "\\n") for line in lines)
        return f"{left_text} {symbol} {right_text}"

    def call(self, node: ast.Call, evaluated: bool) -> tuple[str, str]:
        operands = [*node.args, *(keyword.value for keyword in node.keywords)]
        ast = self.ast
        func = self.argument(node.func, operands, evaluated, called=True)
        texts = []
        for i, arg in enumerate(node.args):
            if isinstance(arg, ast.Starred):
                texts.append("*" + self.argument(arg.value, operands[i + 1 :], evaluated))
            else:
                texts.append(self.argument(arg, operands[i + 1 :], evaluated))
        for i, keyword in enumerate(node.keywords, start=len(node.args)):
            value = self.argument(keyword.value, operands[i + 1 :], evaluated)
            texts.append(f"{keyword.arg}={value}" if keyword.arg else "**" + value)
        holder = self.temporary()
        if not evaluated:
            return "", holder
        shown = self.show(self.read(holder))
        return f"{shown}\n{{{shown} = {func}({', '.join(texts)})\n}}", holder
