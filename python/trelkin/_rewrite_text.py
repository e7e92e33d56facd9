"""Assertion rewriting as a change of the source text, so that compiling stays Python's own.

Each ``assert TEST, MSG`` statement becomes, on the same lines::

    __trelkin_fail__(MSG) if not (TEST') else None; _tk0_ = ... = None

where ``TEST'`` is ``TEST`` with the values an explanation shows captured into temporaries
by assignment expressions (``(_tk3_ := f(x))``), in the order and with the short-circuits
Python itself uses. On failure ``__trelkin_fail__`` (``_assertion.fail``, a builtin while
the hook is installed) finds the assert in the source at its caller's line, reads the
temporaries from its caller's frame and explains them by walking the assert the way this
module walked it; nothing is explained, imported or formatted while assertions pass. The
temporaries are set back to None afterwards, so they keep nothing alive.

``rewrite_text(source)`` returns the new source, or None when the text can't be rewritten
this way with certainty (an ``assert`` after ``;`` or ``:`` on its line, an f-string that
nests its own quotes, an encoding other than UTF-8, a statement that doesn't parse alone);
the caller then rewrites the parsed tree instead (``_rewrite_ast``).
"""

from __future__ import annotations

import ast
import re
import warnings

# Names an assertion's temporaries take: rebinding them in user code is the only clash.
TEMPORARY = "_tk{}_"
# A builtin ``_rewrite`` installs (``_assertion.fail``): one name at each assert is the
# least code to compile, and no statement needs adding to the module.
HELPER = "__trelkin_fail__"

_STATEMENT = re.compile(
    rb"""([rRbBuUfF]{0,2})("\"\"|'''|"|')|(\#)|([(\[{])|([)\]}])|(\\\r?\n)|(\r?\n)|(;)"""
)
_STRING_END = {
    b'"': re.compile(rb'(?:[^"\\\n]|\\.)*"', re.S),
    b"'": re.compile(rb"(?:[^'\\\n]|\\.)*'", re.S),
    b'"""': re.compile(rb'(?:[^"\\]|\\.|"(?!""))*"""', re.S),
    b"'''": re.compile(rb"(?:[^'\\]|\\.|'(?!''))*'''", re.S),
}
_CODING = re.compile(rb"^[ \t\f]*#.*?coding[:=][ \t]*([-\w.]+)")


class AssertTupleWarning(UserWarning):
    """An assert of a non-empty tuple, which always passes."""


def warn_tuple(filename: str, lineno: int) -> None:
    warnings.warn_explicit(
        AssertTupleWarning("assertion is always true, perhaps remove parentheses?"),
        category=None,
        filename=filename,
        lineno=lineno,
    )


class _Unsure(Exception):
    """The text can't be rewritten with certainty: rewrite the tree instead."""


def _string_end(source: bytes, prefix: bytes, quote: bytes, start: int) -> int:
    match = _STRING_END[quote].match(source, start)
    if match is None:
        raise _Unsure("unterminated string")
    end = match.end()
    if b"f" in prefix or b"F" in prefix:
        body = source[start : end - len(quote)].replace(b"{{", b"").replace(b"}}", b"")
        if body.count(b"{") != body.count(b"}"):
            raise _Unsure("an f-string nesting its own quotes")
    return end


def _statement_end(source: bytes, start: int) -> int:
    """End of the code of the simple statement starting at ``start`` (comments excluded)."""
    depth = 0
    position = start
    code_end = len(source)
    while True:
        match = _STATEMENT.search(source, position)
        if match is None:
            return len(source.rstrip())
        quote, comment, opening, closing, continuation, newline, semicolon = match.group(
            2, 3, 4, 5, 6, 7, 8
        )
        if quote:
            position = _string_end(source, match.group(1), quote, match.end())
        elif comment:
            code_end = match.start()
            newline_at = source.find(b"\n", match.end())
            if newline_at < 0 or depth == 0:
                return len(source[:code_end].rstrip())
            position = newline_at + 1
        elif opening:
            depth += 1
            position = match.end()
        elif closing:
            depth -= 1
            position = match.end()
        elif continuation:
            position = match.end()
        elif newline:
            if depth == 0:
                return len(source[: match.start()].rstrip())
            position = match.end()
        else:  # a semicolon
            if depth == 0:
                raise _Unsure("another statement after the assert")
            position = match.end()


# Strings whole (their bodies too), comments, and the assert keyword, in one pass.
_SCAN = re.compile(
    rb"([rRbBuUfF]{0,2})("
    rb'"""(?:[^"\\]|\\.|"(?!""))*"""'
    rb"|'''(?:[^'\\]|\\.|'(?!''))*'''"
    rb'|"(?:[^"\\\n]|\\.)*"'
    rb"|'(?:[^'\\\n]|\\.)*'"
    rb")|(#)[^\n]*|(\bassert\b)",
    re.S,
)
# What a one-line assert can't hold for its end to be its line's end.
_NOT_SIMPLE = re.compile(rb'[#;\\]|"""|' + rb"'''")


def find_asserts(source: bytes) -> list[tuple[int, int]]:
    """(start, end) byte offsets of every assert statement's code."""
    found: list[tuple[int, int]] = []
    # The scan goes on through each assert found: only strings and comments are in it.
    for match in _SCAN.finditer(source):
        literal = match.group(2)
        if literal is not None:
            prefix = match.group(1)
            if prefix and (b"f" in prefix or b"F" in prefix):
                body = literal.replace(b"{{", b"").replace(b"}}", b"")
                if body.count(b"{") != body.count(b"}"):
                    raise _Unsure("an f-string nesting its own quotes")
            continue
        if match.group(3) is not None:
            continue
        start = match.start()
        line_start = source.rfind(b"\n", 0, start) + 1
        if source[line_start:start].strip(b" \t\f"):
            raise _Unsure("an assert that doesn't start its line")
        newline = source.find(b"\n", start)
        line = source[start : newline if newline >= 0 else len(source)]
        if (
            _NOT_SIMPLE.search(line) is None
            and line.count(b"(") == line.count(b")")
            and line.count(b"[") == line.count(b"]")
            and line.count(b"{") == line.count(b"}")
        ):
            # A line that closes what it opens ends there (the batch parse checks it).
            end = start + len(line.rstrip())
        else:
            end = _statement_end(source, match.end())
        found.append((start, end))
    return found


def rewrite_text(source: bytes, filename: str = "<unknown>") -> bytes | None:
    """The source with its asserts rewritten, or None when only the tree can be."""
    rewritten = _rewrite(source, filename, marks=False)
    return None if rewritten is None else rewritten[0]


# A code position: (line, end line, column, end column), columns in UTF-8 bytes.
Position = tuple[int, int, int, int]


def position_map(source: bytes) -> dict[Position, Position | None]:
    """Where each piece of rewritten code that can raise came from: positions in the
    rewritten text to positions in ``source`` (None for the failure call, which stands for
    the whole statement). Built again when a traceback needs it, never on import."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rewritten = _rewrite(source, "<unknown>", marks=True)
    return {} if rewritten is None else rewritten[1]


def _rewrite(
    source: bytes, filename: str, marks: bool
) -> tuple[bytes, dict[Position, Position | None]] | None:
    head = source[:300]
    coding = _CODING.search(head) or _CODING.search(head, head.find(b"\n") + 1)
    if coding and coding.group(1).lower().replace(b"_", b"-") not in (b"utf-8", b"utf8"):
        return None
    try:
        source.decode("utf-8")
        spans = find_asserts(source)
    except (_Unsure, UnicodeDecodeError):
        return None
    if not spans:
        return source, {}
    texts = [source[start:end] for start, end in spans]
    batch = b"\n".join(texts) + b"\n"
    try:
        tree = ast.parse(batch)
    except SyntaxError:
        return None
    if len(tree.body) != len(texts):
        return None
    line_offsets = _line_offsets(batch)
    pieces: list[bytes] = []
    positions: dict[Position, Position | None] = {}
    last = 0
    first_line = 1
    for (start, end), text, node in zip(spans, texts, tree.body, strict=True):
        if not isinstance(node, ast.Assert) or node.lineno != first_line:
            return None
        lines = text.count(b"\n")
        line = source.count(b"\n", 0, start) + 1
        if isinstance(node.test, ast.Tuple) and node.test.elts:
            warn_tuple(filename, line)
        emitter = _Emitter(batch, line_offsets, marks)
        statement = emitter.statement(node, lines).encode()
        if marks:
            indent = start - (source.rfind(b"\n", 0, start) + 1)
            statement = _record_positions(statement, emitter, line, indent, first_line, positions)
        first_line += lines + 1
        pieces.append(source[last:start])
        pieces.append(statement)
        last = end
    pieces.append(source[last:])
    return b"".join(pieces), positions


_MARK = re.compile(rb"\x00(\d+)\x01|\x02")


def _record_positions(
    text: bytes,
    emitter: _Emitter,
    line: int,
    indent: int,
    batch_line: int,
    positions: dict[Position, Position | None],
) -> bytes:
    """Strips the marks out of one statement's text, recording where each marked piece
    lands (the statement starts at ``line``, column ``indent``) and where its node is."""
    clean: list[bytes] = []
    length = 0  # of the clean text so far
    open_marks: list[tuple[int, int]] = []  # (node index, clean offset)
    last = 0

    def where(offset: int) -> tuple[int, int]:
        done = b"".join(clean)[:offset]
        newlines = done.count(b"\n")
        column = offset - (done.rfind(b"\n") + 1) + (indent if newlines == 0 else 0)
        return line + newlines, column

    for match in _MARK.finditer(text):
        clean.append(text[last : match.start()])
        length += match.start() - last
        last = match.end()
        if match.group(1) is not None:
            open_marks.append((int(match.group(1)), length))
            continue
        index, begin = open_marks.pop()
        node = emitter.marked[index]
        start_line, start_column = where(begin)
        end_line, end_column = where(length)
        if isinstance(node, ast.Assert):
            positions[(start_line, end_line, start_column, end_column)] = None
            continue

        def original(lineno: int, column: int) -> tuple[int, int]:
            return line + lineno - batch_line, column + (indent if lineno == batch_line else 0)

        assert isinstance(node, ast.expr)
        first = original(node.lineno, node.col_offset)
        final = original(node.end_lineno or node.lineno, node.end_col_offset or 0)
        positions[(start_line, end_line, start_column, end_column)] = (
            first[0],
            final[0],
            first[1],
            final[1],
        )
    clean.append(text[last:])
    return b"".join(clean)


def _line_offsets(text: bytes) -> list[int]:
    offsets = [0]
    position = text.find(b"\n")
    while position >= 0:
        offsets.append(position + 1)
        position = text.find(b"\n", position + 1)
    return offsets


def _walrus_targets(nodes: list[ast.expr]) -> set[str]:
    if not nodes:
        return set()
    return {
        sub.target.id
        for node in nodes
        for sub in ast.walk(node)
        if isinstance(sub, ast.NamedExpr) and isinstance(sub.target, ast.Name)
    }


def is_literal(node: ast.expr) -> bool:
    """A constant or a display of constants: its value can be rebuilt from the text."""
    if isinstance(node, ast.Constant):
        return True
    if isinstance(node, ast.Tuple | ast.List | ast.Set):
        return all(is_literal(element) for element in node.elts)
    if isinstance(node, ast.Dict):
        return all(key is not None and is_literal(key) for key in node.keys) and all(
            is_literal(value) for value in node.values
        )
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub | ast.UAdd):
        return isinstance(node.operand, ast.Constant)
    return False


def rebound(node: ast.expr, later: list[ast.expr], targets: set[str]) -> bool:
    """Whether ``node`` is a name that a walrus in ``later`` rebinds. ``targets``, every
    walrus target of the statement, spares the walk when there is none."""
    if not targets or not isinstance(node, ast.Name):
        return False
    return node.id in _walrus_targets(later)


def needs_capture(node: ast.expr, later: list[ast.expr], targets: set[str]) -> bool:
    """Whether an operand's value must be kept when it is read again (by a chain's next
    link or by the explanation): not for literals, nor for names nothing rebinds."""
    if type(node) is ast.Name:
        return rebound(node, later, targets)
    return not is_literal(node)


class _Emitter:
    """Writes one assert's instrumented text. Temporaries are numbered in the order
    ``_assertion`` reads them back: keep both walks alike.

    ``visit`` returns (text, temporary holding the value or None)."""

    def __init__(self, batch: bytes, line_offsets: list[int], marks: bool = False) -> None:
        self.batch = batch
        self.line_offsets = line_offsets
        self.count = 0
        # With marks, each node whose code can raise is wrapped in \x00<n>\x01 ... \x02
        # so the position map can find it; never in code that is compiled.
        self.marks = marks
        self.marked: list[ast.AST] = []
        self.targets: set[str] = set()

    def segment(self, node: ast.expr) -> str:
        start = self.line_offsets[node.lineno - 1] + node.col_offset
        end = self.line_offsets[(node.end_lineno or node.lineno) - 1] + (node.end_col_offset or 0)
        return self.batch[start:end].decode()

    def temporary(self) -> str:
        name = TEMPORARY.format(self.count)
        self.count += 1
        return name

    def mark(self, node: ast.AST, text: str) -> str:
        if not self.marks:
            return text
        self.marked.append(node)
        return f"\x00{len(self.marked) - 1}\x01{text}\x02"

    def statement(self, node: ast.Assert, lines: int) -> str:
        self.targets = _walrus_targets([node.test])
        test, _ = self.visit(node.test, [])
        arguments = "" if node.msg is None else "(" + self.segment(node.msg) + ")"
        padding = "\n" * (lines - test.count("\n") - arguments.count("\n"))
        call = self.mark(node, f"{HELPER}({arguments})")
        out = f"{call} if not ({test}{padding}) else None"
        if self.count:
            out += "; " + " = ".join(TEMPORARY.format(i) for i in range(self.count)) + " = None"
        return out

    def captured(self, node: ast.expr, later: list[ast.expr]) -> tuple[str, str | None]:
        """An operand whose value is read again: kept in a temporary unless it needn't be."""
        text, holder = self.visit(node, later)
        if holder is None and needs_capture(node, later, self.targets):
            holder = self.temporary()
            text = f"({holder} := {text})"
        return text, holder

    def visit(
        self, node: ast.expr, later: list[ast.expr], called: bool = False
    ) -> tuple[str, str | None]:
        if isinstance(node, ast.Name):
            return (self.mark(node, node.id) if self.marks else node.id), None
        if isinstance(node, ast.Compare):
            return self.compare(node), None
        if is_literal(node):
            return self.segment(node), None
        if isinstance(node, ast.Call):
            return self.call(node)
        if isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Load):
            if called:
                # A method called at once isn't kept: the explanation looks it up again on
                # its object, which is kept instead when it can't be read again.
                owner, _ = self.captured(node.value, [])
                return self.mark(node, f"{owner}.{node.attr}"), None
            value, _ = self.visit(node.value, [])
            holder = self.temporary()
            return f"({holder} := {self.mark(node, f'{value}.{node.attr}')})", holder
        if isinstance(node, ast.BoolOp):
            word = " and " if isinstance(node.op, ast.And) else " or "
            values = node.values
            parts = [self.captured(value, values[i + 1 :])[0] for i, value in enumerate(values)]
            return "(" + word.join(parts) + ")", None
        if isinstance(node, ast.UnaryOp):
            operand, _ = self.visit(node.operand, later)
            return "(" + self.mark(node, _UNARY[type(node.op)] + operand) + ")", None
        if isinstance(node, ast.BinOp):
            left = self.visit_argument(node.left, [node.right])
            right, _ = self.visit(node.right, [])
            return "(" + self.mark(node, f"{left} {_BINARY[type(node.op)]} {right}") + ")", None
        if isinstance(node, ast.NamedExpr):
            return "(" + self.mark(node, self.segment(node)) + ")", None
        holder = self.temporary()
        return f"({holder} := ({self.mark(node, self.segment(node))}))", holder

    def compare(self, node: ast.Compare) -> str:
        operands = node.comparators
        previous, _ = self.captured(node.left, operands)
        chained = len(node.ops) > 1
        links = []
        for i, (op, operand) in enumerate(zip(node.ops, operands, strict=True)):
            right, holder = self.captured(operand, operands[i + 1 :])
            link = self.mark(node, f"{previous} {_COMPARE[type(op)]} {right}")
            links.append(f"({self.temporary()} := {link})" if chained else f"({link})")
            # The next link reads the value again, never the code.
            if holder is not None:
                previous = holder
            else:
                previous = operand.id if isinstance(operand, ast.Name) else self.segment(operand)
        return "(" + " and ".join(links) + ")" if chained else links[0]

    def call(self, node: ast.Call) -> tuple[str, str]:
        operands = [*node.args, *(keyword.value for keyword in node.keywords)]
        func = self.visit_argument(node.func, operands, called=True)
        arguments = []
        for i, arg in enumerate(node.args):
            if isinstance(arg, ast.Starred):
                arguments.append("*" + self.visit_argument(arg.value, operands[i + 1 :]))
            else:
                arguments.append(self.visit_argument(arg, operands[i + 1 :]))
        for i, keyword in enumerate(node.keywords, start=len(node.args)):
            value = self.visit_argument(keyword.value, operands[i + 1 :])
            arguments.append(f"{keyword.arg}={value}" if keyword.arg else "**" + value)
        holder = self.temporary()
        return f"({holder} := {self.mark(node, func + '(' + ', '.join(arguments) + ')')})", holder

    def visit_argument(self, node: ast.expr, later: list[ast.expr], called: bool = False) -> str:
        # A name a later argument rebinds is read before that argument runs.
        if isinstance(node, ast.Name) and rebound(node, later, self.targets):
            return f"({self.temporary()} := {node.id})"
        return self.visit(node, later, called)[0]


_UNARY = {ast.Not: "not ", ast.Invert: "~", ast.USub: "-", ast.UAdd: "+"}
_BINARY = {
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
    ast.Mod: "%",
    ast.Pow: "**",
    ast.MatMult: "@",
}
_COMPARE = {
    ast.Eq: "==",
    ast.NotEq: "!=",
    ast.Lt: "<",
    ast.LtE: "<=",
    ast.Gt: ">",
    ast.GtE: ">=",
    ast.Is: "is",
    ast.IsNot: "is not",
    ast.In: "in",
    ast.NotIn: "not in",
}
