"""The AST transformation behind assertion rewriting.

Each ``assert test, msg`` becomes statements that evaluate ``test`` piece by piece into
temporaries, in the order and with the short-circuiting Python itself uses, and on failure
build an explanation from those values and raise ``AssertionError`` with it. Temporaries
are named ``@tk...``, which no Python source can spell, and set back to None after the
assertion so they keep nothing alive. The explanation is built only on the failing path.

``rewrite_module(tree, source)`` changes a parsed module in place; ``marked_names(tree)``
lists module names the module asks to have rewritten (``register_assert_rewrite`` calls
and ``pytest_plugins``), for the import hook.
"""

from __future__ import annotations

import ast
import itertools
from collections.abc import Iterable

from trelkin._rewrite_text import warn_tuple

HELPERS = "@tk_explain"  # trelkin._explain, imported under this name
BUILTINS = "@tk_builtins"
DONT_REWRITE = "PYTEST_DONT_REWRITE"

_UNARY = {ast.Not: "not %s", ast.Invert: "~%s", ast.USub: "-%s", ast.UAdd: "+%s"}

_SYMBOLS = {
    ast.BitOr: "|",
    ast.BitXor: "^",
    ast.BitAnd: "&",
    ast.LShift: "<<",
    ast.RShift: ">>",
    ast.Add: "+",
    ast.Sub: "-",
    ast.Mult: "*",
    ast.Div: "/",
    ast.FloorDiv: "//",
    ast.Mod: "%%",  # the explanation is a %-format template
    ast.Eq: "==",
    ast.NotEq: "!=",
    ast.Lt: "<",
    ast.LtE: "<=",
    ast.Gt: ">",
    ast.GtE: ">=",
    ast.Pow: "**",
    ast.Is: "is",
    ast.IsNot: "is not",
    ast.In: "in",
    ast.NotIn: "not in",
    ast.MatMult: "@",
}


def rewrite_disabled(docstring: str | None) -> bool:
    return bool(docstring) and DONT_REWRITE in docstring  # type: ignore[operator]


def rewrite_module(tree: ast.Module, filename: str) -> bool:
    """Rewrites every assert of ``tree`` in place. Returns False, changing nothing, when
    the module's docstring opts out."""
    if not tree.body:
        return True
    position = 0
    expect_docstring = True
    item: ast.stmt = tree.body[0]
    for item in tree.body:
        if expect_docstring and isinstance(item, ast.Expr) and isinstance(item.value, ast.Constant):
            if isinstance(item.value.value, str):
                if rewrite_disabled(item.value.value):
                    return False
                expect_docstring = False
                position += 1
                continue
        if isinstance(item, ast.ImportFrom) and item.level == 0 and item.module == "__future__":
            position += 1
            continue
        break
    # The helper imports take the line of the first statement (its first decorator).
    lineno = item.lineno
    if (
        isinstance(item, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef)
        and item.decorator_list
    ):
        lineno = item.decorator_list[0].lineno
    imports: list[ast.stmt] = [
        ast.Import([ast.alias("builtins", BUILTINS)], lineno=lineno, col_offset=0),
        ast.Import([ast.alias("trelkin._explain", HELPERS)], lineno=lineno, col_offset=0),
    ]
    for node in imports:
        for child in ast.walk(node):
            ast.copy_location(child, node)
    tree.body[position:position] = imports
    _rewrite_statements(tree, filename)
    return True


def _rewrite_statements(tree: ast.Module, filename: str) -> None:
    pending: list[ast.AST] = [tree]
    while pending:
        node = pending.pop()
        for name, value in ast.iter_fields(node):
            if isinstance(value, list):
                replaced: list[ast.AST] = []
                for child in value:
                    if isinstance(child, ast.Assert):
                        replaced.extend(_AssertRewriter(filename).rewrite(child))
                    else:
                        replaced.append(child)
                        if isinstance(child, ast.AST):
                            pending.append(child)
                setattr(node, name, replaced)
            elif isinstance(value, ast.AST) and not isinstance(value, ast.expr):
                pending.append(value)  # expressions hold no statements


def marked_names(tree: ast.Module) -> list[str]:
    """Module names given as string literals to ``register_assert_rewrite(...)`` calls and
    to a ``pytest_plugins`` assignment at the module's top level."""
    names: list[str] = []
    for statement in tree.body:
        if isinstance(statement, ast.Assign) and any(
            isinstance(t, ast.Name) and t.id == "pytest_plugins" for t in statement.targets
        ):
            names.extend(_string_constants([statement.value]))
            continue
        for node in ast.walk(statement):
            if isinstance(node, ast.Call) and _called_name(node.func) == "register_assert_rewrite":
                names.extend(_string_constants(node.args))
    return names


def _called_name(func: ast.expr) -> str | None:
    if isinstance(func, ast.Name):
        return func.id
    if isinstance(func, ast.Attribute):
        return func.attr
    return None


def _string_constants(nodes: Iterable[ast.expr]) -> list[str]:
    found: list[str] = []
    for node in nodes:
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            found.append(node.value)
        elif isinstance(node, ast.List | ast.Tuple):
            found.extend(_string_constants(node.elts))
    return found


def _walrus_targets(nodes: Iterable[ast.expr]) -> set[str]:
    return {
        sub.target.id
        for node in nodes
        for sub in ast.walk(node)
        if isinstance(sub, ast.NamedExpr) and isinstance(sub.target, ast.Name)
    }


def _helper(name: str, *args: ast.expr) -> ast.expr:
    return ast.Call(ast.Attribute(ast.Name(HELPERS, ast.Load()), name, ast.Load()), list(args), [])


def _builtin(name: str) -> ast.expr:
    return ast.Attribute(ast.Name(BUILTINS, ast.Load()), name, ast.Load())


def _load(name: str) -> ast.Name:
    return ast.Name(name, ast.Load())


def _store(name: str) -> ast.Name:
    return ast.Name(name, ast.Store())


class _AssertRewriter:
    """Rewrites one assert. ``visit`` returns (an expression for the value, valid once the
    statements so far have run; the explanation template with ``%(name)s`` holes)."""

    def __init__(self, filename: str) -> None:
        self.filename = filename
        self.counter = itertools.count()
        self.statements: list[ast.stmt] = []  # evaluate the test
        self.on_failure: list[ast.stmt] = []  # build the explanation
        self.temporaries: list[str] = []
        # One dict per format context: hole name -> expression that fills it.
        self.stack: list[dict[str, ast.expr]] = []
        self.formats: list[str] = []  # every explanation string made on the failing path
        self.holes: dict[str, ast.expr] = {}

    def rewrite(self, assert_: ast.Assert) -> list[ast.stmt]:
        if isinstance(assert_.test, ast.Tuple) and assert_.test.elts:
            warn_tuple(self.filename, assert_.lineno)
        self.push_context()
        condition, explanation = self.visit(assert_.test)
        if assert_.msg is not None:
            message: ast.expr = _helper("_tk_format_assertmsg", assert_.msg)
            explanation = "\n>assert " + explanation
        else:
            message = ast.Constant("")
            explanation = "assert " + explanation
        template = ast.BinOp(message, ast.Add(), ast.Constant(explanation))
        text = self.pop_context(template)
        error = ast.Call(_load("AssertionError"), [_helper("_tk_format_explanation", text)], [])
        self.on_failure.append(ast.Raise(error, None))
        self.statements.append(ast.If(ast.UnaryOp(ast.Not(), condition), self.on_failure, []))
        if self.temporaries:
            targets: list[ast.expr] = [_store(name) for name in self.temporaries]
            self.statements.append(ast.Assign(targets, ast.Constant(None)))
        for statement in self.statements:
            for node in ast.walk(statement):
                # Generated nodes take the assert's position; moved ones keep their own.
                if "lineno" in node._attributes and getattr(node, "lineno", None) is None:
                    ast.copy_location(node, assert_)
        return self.statements

    # -- bookkeeping ----------------------------------------------------------------------

    def temporary(self) -> str:
        name = f"@tk{next(self.counter)}"
        self.temporaries.append(name)
        return name

    def assign(self, expr: ast.expr) -> ast.Name:
        name = self.temporary()
        self.statements.append(ast.Assign([_store(name)], expr))
        return ast.copy_location(_load(name), expr)

    def display(self, expr: ast.expr) -> ast.expr:
        return _helper("_tk_repr", expr)

    def hole(self, expr: ast.expr) -> str:
        """A placeholder in the current template, filled with ``expr`` on failure."""
        key = f"tk{next(self.counter)}"
        self.holes[key] = expr
        return "%(" + key + ")s"

    def push_context(self) -> None:
        self.holes = {}
        self.stack.append(self.holes)

    def pop_context(self, template: ast.expr) -> ast.Name:
        """Fills the holes of the current context into ``template`` (on the failing path)
        and returns the name of the resulting string."""
        current = self.stack.pop()
        if self.stack:
            self.holes = self.stack[-1]
        keys: list[ast.expr | None] = [ast.Constant(key) for key in current]
        filled = ast.BinOp(template, ast.Mod(), ast.Dict(keys, list(current.values())))
        name = f"@tk_format{next(self.counter)}"
        self.formats.append(name)
        self.on_failure.append(ast.Assign([_store(name)], filled))
        return _load(name)

    # -- visitors -------------------------------------------------------------------------

    def visit(self, node: ast.expr) -> tuple[ast.expr, str]:
        method = getattr(self, "visit_" + type(node).__name__, None)
        if method is None:
            return self.generic(node)
        return method(node)

    def generic(self, node: ast.expr) -> tuple[ast.expr, str]:
        result = self.assign(node)
        return result, self.hole(self.display(result))

    def visit_operand(self, operand: ast.expr, later: list[ast.expr]) -> tuple[ast.expr, str]:
        """Visits an operand; a walrus runs now, and a bare name that a walrus further
        right rebinds is copied now, since Python reads it before that walrus runs."""
        before = set(self.holes)
        result, explanation = self.visit(operand)
        if isinstance(result, ast.NamedExpr):
            # Run now: what follows is evaluated into temporaries before this node runs.
            return self.assign(result), explanation
        if isinstance(result, ast.Name) and result.id in _walrus_targets(later):
            snapshot = self.assign(result)
            for key in set(self.holes) - before:
                self.holes[key] = self.display(snapshot)
            result = snapshot
        return result, explanation

    def _shown_name(self, name: ast.Name, label: str) -> str:
        # A local shows its value; a global only if it isn't a module, class or function.
        is_local = ast.Compare(
            ast.Constant(name.id), [ast.In()], [ast.Call(_builtin("locals"), [], [])]
        )
        shown = ast.BoolOp(ast.Or(), [is_local, _helper("_tk_should_repr_global", name)])
        return self.hole(ast.IfExp(shown, self.display(name), ast.Constant(label)))

    def visit_Name(self, name: ast.Name) -> tuple[ast.expr, str]:
        return name, self._shown_name(name, name.id)

    def visit_NamedExpr(self, node: ast.NamedExpr) -> tuple[ast.expr, str]:
        # Left in place so it runs where Python runs it; explained by its target's value.
        assert isinstance(node.target, ast.Name)
        target = _load(node.target.id)
        return node, self._shown_name(target, node.target.id)

    def visit_BoolOp(self, boolop: ast.BoolOp) -> tuple[ast.expr, str]:
        result_name = self.temporary()
        explanations = self.assign(ast.List([], ast.Load()))
        append = ast.Attribute(explanations, "append", ast.Load())
        is_or = isinstance(boolop.op, ast.Or)
        outer_statements, outer_failure = self.statements, self.on_failure
        body = self.statements
        last = len(boolop.values) - 1
        condition: ast.expr | None = None
        self.push_context()
        for i, value in enumerate(boolop.values):
            if condition is not None:
                # Explain an operand only if it was evaluated.
                nested: list[ast.stmt] = []
                self.on_failure.append(ast.If(condition, nested, []))
                self.on_failure = nested
            self.push_context()
            result, explanation = self.visit(value)
            body.append(ast.Assign([_store(result_name)], result))
            rebinds_later = isinstance(value, ast.Name) and value.id in _walrus_targets(
                boolop.values[i + 1 :]
            )
            if (isinstance(value, ast.NamedExpr) and i < last) or rebinds_later:
                # Re-reading a walrus would run it again; a rebound name would show
                # its later value.
                snapshot = self.assign(_load(result_name))
                result = snapshot
                for key in self.stack[-1]:
                    self.stack[-1][key] = self.display(snapshot)
            text = self.pop_context(ast.Constant(explanation))
            self.on_failure.append(ast.Expr(ast.Call(append, [text], [])))
            if i < last:
                condition = ast.UnaryOp(ast.Not(), result) if is_or else result
                inner: list[ast.stmt] = []
                self.statements.append(ast.If(condition, inner, []))
                self.statements = body = inner
        self.statements, self.on_failure = outer_statements, outer_failure
        template = _helper("_tk_format_boolop", explanations, ast.Constant(int(is_or)))
        text = self.pop_context(template)
        return _load(result_name), self.hole(text)

    def visit_UnaryOp(self, unary: ast.UnaryOp) -> tuple[ast.expr, str]:
        operand, explanation = self.visit(unary.operand)
        result = self.assign(ast.copy_location(ast.UnaryOp(unary.op, operand), unary))
        return result, _UNARY[type(unary.op)] % (explanation,)

    def visit_BinOp(self, binop: ast.BinOp) -> tuple[ast.expr, str]:
        symbol = _SYMBOLS[type(binop.op)]
        left, left_text = self.visit_operand(binop.left, [binop.right])
        right, right_text = self.visit(binop.right)
        result = self.assign(ast.copy_location(ast.BinOp(left, binop.op, right), binop))
        return result, f"({left_text} {symbol} {right_text})"

    def visit_Call(self, call: ast.Call) -> tuple[ast.expr, str]:
        operands = [*call.args, *(keyword.value for keyword in call.keywords)]
        func, func_text = self.visit_operand(call.func, operands)
        args: list[ast.expr] = []
        keywords: list[ast.keyword] = []
        texts: list[str] = []
        for i, arg in enumerate(call.args):
            value, text = self.visit_operand(arg, operands[i + 1 :])
            args.append(value)
            texts.append(text)
        for i, keyword in enumerate(call.keywords, start=len(call.args)):
            value, text = self.visit_operand(keyword.value, operands[i + 1 :])
            keywords.append(ast.keyword(keyword.arg, value))
            texts.append(f"{keyword.arg}={text}" if keyword.arg else "**" + text)
        result = self.assign(ast.copy_location(ast.Call(func, args, keywords), call))
        shown = self.hole(self.display(result))
        return result, f"{shown}\n{{{shown} = {func_text}({', '.join(texts)})\n}}"

    def visit_Starred(self, starred: ast.Starred) -> tuple[ast.expr, str]:
        value, text = self.visit(starred.value)
        return ast.Starred(value, starred.ctx), "*" + text

    def visit_Attribute(self, attr: ast.Attribute) -> tuple[ast.expr, str]:
        if not isinstance(attr.ctx, ast.Load):
            return self.generic(attr)
        value, value_text = self.visit(attr.value)
        result = self.assign(ast.copy_location(ast.Attribute(value, attr.attr, ast.Load()), attr))
        shown = self.hole(self.display(result))
        return result, f"{shown}\n{{{shown} = {value_text}.{attr.attr}\n}}"

    def visit_Compare(self, comp: ast.Compare) -> tuple[ast.expr, str]:
        self.push_context()
        left, left_text = self.visit_operand(comp.left, comp.comparators)
        if isinstance(comp.left, ast.Compare | ast.BoolOp):
            left_text = f"({left_text})"
        if isinstance(left, ast.NamedExpr):
            left = self.assign(left)
        names = [self.temporary() for _ in comp.ops]
        symbols: list[ast.expr] = []
        texts: list[ast.expr] = []
        operands: list[ast.expr] = [left]
        outer, outer_failure = self.statements, self.on_failure
        chain_start = failure_start = 0
        failure_blocks: list[list[ast.stmt]] = []
        first_later = first_format = 0
        for i, (op, operand) in enumerate(zip(comp.ops, comp.comparators, strict=True)):
            if i:
                # A chain stops at its first false link, as Python's does; so does the
                # explaining of the links after it.
                inner: list[ast.stmt] = []
                self.statements.append(ast.If(_load(names[i - 1]), inner, []))
                self.statements = inner
                inner_failure: list[ast.stmt] = []
                self.on_failure.append(ast.If(_load(names[i - 1]), inner_failure, []))
                self.on_failure = inner_failure
                failure_blocks.append(inner_failure)
                if i == 1:
                    chain_start, failure_start = len(outer) - 1, len(outer_failure) - 1
                    first_later, first_format = len(self.temporaries), len(self.formats)
            right, right_text = self.visit_operand(operand, comp.comparators[i + 1 :])
            if isinstance(operand, ast.Compare | ast.BoolOp):
                right_text = f"({right_text})"
            if isinstance(right, ast.NamedExpr) or (
                i < len(names) - 1 and not _is_temporary(right)
            ):
                # Read again by later links and by the explanation: keep the value.
                right = self.assign(right)
            operands.append(right)
            symbol = _SYMBOLS[type(op)]
            symbols.append(ast.Constant(symbol))
            texts.append(ast.Constant(f"{left_text} {symbol} {right_text}"))
            compared = ast.copy_location(ast.Compare(left, [op], [right]), comp)
            self.statements.append(ast.Assign([_store(names[i])], compared))
            left, left_text = right, right_text
        self.statements, self.on_failure = outer, outer_failure
        for block in failure_blocks:
            if not block:
                block.append(ast.Pass())
        skipped = self.temporaries[first_later:] + names[1:]
        if len(names) > 1:
            # Links never reached still appear in the explanation's holes and tuples.
            targets: list[ast.expr] = [_store(n) for n in skipped]
            outer.insert(chain_start, ast.Assign(targets, ast.Constant(None)))
            unexplained = self.formats[first_format:]
            if unexplained:
                blanks: list[ast.expr] = [_store(n) for n in unexplained]
                outer_failure.insert(failure_start, ast.Assign(blanks, ast.Constant("")))
        explanation = _helper(
            "_tk_compare",
            ast.Tuple(symbols, ast.Load()),
            ast.Tuple([_load(n) for n in names], ast.Load()),
            ast.Tuple(texts, ast.Load()),
            ast.Tuple(operands, ast.Load()),
        )
        result: ast.expr
        if len(names) > 1:
            result = ast.BoolOp(ast.And(), [_load(n) for n in names])
        else:
            result = _load(names[0])
        return result, self.hole(self.pop_context(explanation))


def _is_temporary(node: ast.expr) -> bool:
    return isinstance(node, ast.Name) and node.id.startswith("@tk")
