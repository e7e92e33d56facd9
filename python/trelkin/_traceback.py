"""Failures formatted as pytest shows them under FAILURES and ERRORS.

``format_failure(exc, *, style="auto", showlocals=False, verbosity=0, full_trace=False,
rootdir=None) -> (message, longrepr)``:

- ``message`` is the one line of the short summary, the text after " - " in pytest's
  ``-r`` lines: ``assert 1 == 2``, ``AssertionError: boom``, ``ZeroDivisionError: ...``.
- ``longrepr`` is the report of the failure for ``--tb`` ``auto`` (the default: the first
  and last entries long, those between short), ``long``, ``short``, ``line``, ``native``
  or ``no``, exactly as pytest writes it after the test's header line (long entries begin
  with an empty line; strip it for pytest's ``str(longrepr)``). With ``no`` it holds only
  the ``E`` lines, for reports such as JUnit; the terminal shows nothing.

The runner's own frames are never shown: trelkin's package, the import machinery
(``<frozen importlib...>`` and ``importlib/__init__.py``) and frames that set
``__tracebackhide__`` (in their locals or globals; a callable is asked with an
ExceptionInfo-like view). ``full_trace=True`` shows every frame, all long. Paths are shown
relative to ``rootdir`` (the current directory by default) where that is shorter.

``format_collection_error(exc, path) -> str`` is the body of pytest's "ERROR collecting"
section; ``collection_error_message(exc)`` the short summary's text for it (empty for
import and syntax errors, as pytest's).
"""

from __future__ import annotations

import ast
import inspect
import linecache
import os
import shutil
import textwrap
import tokenize
import traceback as std_traceback
from dataclasses import dataclass, field
from pathlib import Path
from types import FrameType, TracebackType

from trelkin._pretty import saferepr, safeformat

STYLES = ("auto", "long", "short", "line", "native", "no")
_ALL_HIDDEN = (
    "All traceback entries are hidden. Pass `--full-trace` to see hidden and internal frames."
)
_CAUSE = "The above exception was the direct cause of the following exception:"
_CONTEXT = "During handling of the above exception, another exception occurred:"

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep
_IMPORTLIB_DIR = os.path.dirname(os.path.abspath(__import__("importlib").__file__)) + os.sep


def terminal_width() -> int:
    width = shutil.get_terminal_size(fallback=(80, 24)).columns
    return width if width >= 40 else 80


def _separator(sepchar: str, width: int) -> str:
    line = sepchar * (width // len(sepchar))
    if len(line) + len(sepchar.rstrip()) <= width:
        line += sepchar.rstrip()
    return line


# ---------------------------------------------------------------------------------------
# Exception text


def _striptext(exc: BaseException) -> str:
    """ "AssertionError: " when the message is a rewritten assertion's explanation, so
    the report starts at "assert ...". Decided by the exception's repr, as pytest does
    (an explanation with quotes in it keeps its prefix)."""
    if isinstance(exc, AssertionError):
        text = getattr(exc, "msg", None)
        if text is None:
            text = saferepr(exc)
        if text and text.startswith("AssertionError('assert "):
            return "AssertionError: "
    return ""


def exconly(exc: BaseException, tryshort: bool = False) -> str:
    """The exception as ``Type: message`` (notes and SyntaxError details on further lines)."""
    if tryshort and isinstance(exc, BaseExceptionGroup):
        single = _single_leaf(exc)
        if single is not None:
            return f"{single!r} [single exception in {type(exc).__name__}]"
    text = "".join(std_traceback.format_exception_only(exc)).rstrip()
    if tryshort:
        text = text.removeprefix(_striptext(exc))
    return text


def _single_leaf(group: BaseExceptionGroup[BaseException]) -> BaseException | None:
    if len(group.exceptions) != 1:
        return None
    inner = group.exceptions[0]
    return _single_leaf(inner) if isinstance(inner, BaseExceptionGroup) else inner


class ExceptionInfoView:
    """What a callable ``__tracebackhide__`` is given: the parts of pytest's ExceptionInfo
    such callables use."""

    def __init__(self, exc: BaseException) -> None:
        self.value = exc
        self.type = type(exc)
        self.tb = exc.__traceback__
        self.typename = type(exc).__name__

    def errisinstance(self, kind: type[BaseException] | tuple[type[BaseException], ...]) -> bool:
        return isinstance(self.value, kind)

    def exconly(self, tryshort: bool = False) -> str:
        return exconly(self.value, tryshort)


# ---------------------------------------------------------------------------------------
# Traceback entries


@dataclass(slots=True)
class _Entry:
    tb: TracebackType
    style: str = ""  # "" for the formatter's style

    @property
    def frame(self) -> FrameType:
        return self.tb.tb_frame

    @property
    def lineno(self) -> int:  # 0-based
        return (self.tb.tb_lineno or 1) - 1

    @property
    def filename(self) -> str:
        return self.frame.f_code.co_filename


def _entries(tb: TracebackType | None) -> list[_Entry]:
    found = []
    while tb is not None:
        found.append(_Entry(tb))
        tb = tb.tb_next
    return found


def is_runner_frame(filename: str) -> bool:
    """Frames of trelkin itself and of the import machinery."""
    return (
        filename.startswith(_PACKAGE_DIR)
        or filename.startswith("<frozen importlib")
        or filename == _IMPORTLIB_DIR + "__init__.py"
    )


def _is_hidden(entry: _Entry, exc: BaseException) -> bool:
    hide: object = False
    for namespace in (entry.frame.f_locals, entry.frame.f_globals):
        try:
            hide = namespace["__tracebackhide__"]
        except Exception:
            continue
        break
    if hide and callable(hide):
        return bool(hide(ExceptionInfoView(exc)))
    return bool(hide)


def _visible(exc: BaseException, full_trace: bool) -> list[_Entry]:
    entries = _entries(exc.__traceback__)
    if full_trace:
        return entries
    return [e for e in entries if not is_runner_frame(e.filename) and not _is_hidden(e, exc)]


# ---------------------------------------------------------------------------------------
# Source of an entry


_ast_cache: dict[str, ast.AST | None] = {}


def _file_lines(entry: _Entry) -> list[str] | None:
    """The file's lines as read, line ends kept."""
    return linecache.getlines(entry.filename, entry.frame.f_globals) or None


def _statement_starts(filename: str, lines: list[str]) -> list[int] | None:
    tree = _ast_cache.get(filename)
    if filename not in _ast_cache:
        try:
            tree = ast.parse("\n".join(lines), "source", "exec")
        except (SyntaxError, ValueError):
            tree = None
        _ast_cache[filename] = tree
    if tree is None:
        return None
    starts: list[int] = []
    for node in ast.walk(tree):
        if isinstance(node, ast.stmt | ast.ExceptHandler):
            if isinstance(node, ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef):
                starts.extend(d.lineno - 1 for d in node.decorator_list)
            starts.append(node.lineno - 1)
            for name in ("finalbody", "orelse"):
                block = getattr(node, name, None)
                if block:
                    starts.append(block[0].lineno - 2)  # the "else:"/"finally:" line
    starts.sort()
    return starts


def _statement_end(filename: str, lines: list[str], lineno: int) -> int:
    """One past the last line of the statement at ``lineno`` (0-based)."""
    import bisect

    starts = _statement_starts(filename, lines)
    if starts is None:
        return lineno + 1
    index = bisect.bisect_right(starts, lineno)
    if index == 0:
        return lineno + 1
    start = starts[index - 1]
    end = starts[index] if index < len(starts) else len(lines)
    if end > start + 1:
        # Don't run into a block of a lesser indent (the end of the function).
        finder = inspect.BlockFinder()
        finder.started = bool(lines[start]) and lines[start][0].isspace()
        chunk = iter(line + "\n" for line in lines[start:end])
        try:
            for token in tokenize.generate_tokens(lambda: next(chunk)):
                finder.tokeneater(*token)
        except (inspect.EndOfBlock, IndentationError):
            end = finder.last + start
        except Exception:
            pass
    end = min(end, len(lines))
    while end and (not lines[end - 1].strip() or lines[end - 1].lstrip().startswith("#")):
        end -= 1
    return end


@dataclass(slots=True)
class _Source:
    lines: list[str]  # deindented
    raw: list[str]  # as read, line ends kept: the caret offsets count them, as pytest's do
    index: int  # of the failing line


def _entry_source(entry: _Entry) -> _Source | None:
    raw_file = _file_lines(entry)
    if raw_file is None:
        return None
    lines = [line.rstrip() for line in raw_file]
    start = entry.frame.f_code.co_firstlineno - 1
    if entry.lineno >= len(lines) or start > entry.lineno:
        return None
    end = _statement_end(entry.filename, lines, entry.lineno)
    if end <= start:
        return None
    shown = textwrap.dedent("\n".join(lines[start:end])).splitlines()
    return _Source(shown, raw_file[start:end], entry.lineno - start)


_position_maps: dict[
    str, tuple[list[str], dict[tuple[int, int, int, int], tuple[int, int, int, int] | None]]
] = {}


def _original_position(
    entry: _Entry, position: tuple[int, int, int, int]
) -> tuple[int, int, int, int] | None:
    """Where code of an assert rewritten in the text came from in the source; None where
    no part of the line can be singled out."""
    from trelkin import _rewrite_text

    lines = linecache.getlines(entry.filename, entry.frame.f_globals)
    known = _position_maps.get(entry.filename)
    if known is None or known[0] is not lines:
        known = (lines, _rewrite_text.position_map("".join(lines).encode()))
        _position_maps[entry.filename] = known
    positions = known[1]
    if position in positions:
        return positions[position]
    # Inside a piece copied as it was (same length): shifted by as much as the piece.
    line, end_line, column, end_column = position
    for (g_line, g_end, g_col, g_end_col), original in positions.items():
        if original is None or g_line != line or g_end != end_line or line != end_line:
            continue
        if (
            g_col <= column
            and end_column <= g_end_col
            and original[3] - original[2] == g_end_col - g_col
        ):
            shift = original[2] - g_col
            return original[0], original[1], column + shift, end_column + shift
    return None


def _carets(entry: _Entry, raw_line: str, line: str) -> list[str]:
    """The ``^^^`` under the failing expression, unless it spans the whole line."""
    summary = std_traceback.extract_tb(entry.tb, limit=1)[0]
    if summary.end_lineno != summary.lineno or summary.colno is None or summary.end_colno is None:
        return []
    colno, end_colno = summary.colno, summary.end_colno
    if "__trelkin_fail__" in entry.frame.f_code.co_names:
        # Rewritten code: its columns are not the source's.
        assert summary.lineno is not None
        original = _original_position(entry, (summary.lineno, summary.end_lineno, colno, end_colno))
        if original is None or original[0] != original[1]:
            return []
        colno, end_colno = original[2], original[3]
    encoded = raw_line.encode("utf-8")
    start = len(encoded[:colno].decode("utf-8", errors="replace"))
    end = len(encoded[:end_colno].decode("utf-8", errors="replace"))
    if end - start >= len(line.strip()):
        return []
    stripped = len(raw_line) - len(line)
    return ["    " + " " * (start - stripped + 1) + "^" * (end - start)]


def _indent_of_last_statement(source: _Source) -> int:
    last = source.lines[-1] if source.lines else ""
    # The statement the last line belongs to starts at the failing line or after it.
    for line in source.lines[source.index :]:
        if line.strip():
            last = line
            break
    return 4 + len(last) - len(last.lstrip())


# ---------------------------------------------------------------------------------------
# The formatter


@dataclass
class _Formatter:
    style: str
    showlocals: bool
    verbosity: int
    full_trace: bool
    rootdir: Path | None
    width: int = field(default_factory=terminal_width)

    def path(self, filename: str) -> str:
        base = str(self.rootdir) if self.rootdir is not None else os.getcwd()
        if filename.startswith("<"):
            return filename
        try:
            relative = os.path.relpath(filename, base)
        except ValueError:
            return filename
        return relative if len(relative) < len(filename) else filename

    def exc_lines(self, exc: BaseException, indent: int, markall: bool) -> list[str]:
        pad = " " * indent
        marker = "E" + pad[1:]
        out = []
        for line in exconly(exc, tryshort=True).split("\n"):
            out.append(marker + line)
            if not markall:
                marker = pad
        return out

    def args_lines(self, entry: _Entry) -> list[str]:
        code = entry.frame.f_code
        names = list(code.co_varnames[: code.co_argcount + code.co_kwonlyargcount])
        if code.co_flags & inspect.CO_VARARGS:
            names.append(code.co_varnames[len(names)])
        if code.co_flags & inspect.CO_VARKEYWORDS:
            names.append(code.co_varnames[len(names)])
        values = entry.frame.f_locals
        maxsize = None if self.verbosity > 2 else 240
        pairs = [f"{n} = {saferepr(values[n], maxsize=maxsize)}" for n in names if n in values]
        out: list[str] = []
        so_far = ""
        for pair in pairs:
            if len(pair) + len(so_far) + 2 > self.width:
                if so_far:
                    out.append(so_far)
                so_far = pair
            else:
                so_far = f"{so_far}, {pair}" if so_far else pair
        if so_far:
            out.append(so_far)
        return [*out, ""] if out else []

    def locals_lines(self, entry: _Entry) -> list[str]:
        values = entry.frame.f_locals
        out = []
        for name in sorted(n for n in values if not n.startswith("@")):
            if name == "__builtins__":
                out.append("__builtins__ = <builtins>")
                continue
            value = values[name]
            text = saferepr(value) if self.verbosity <= 1 else safeformat(value)
            out.append(f"{name:<10} = {text}")
        return out

    def entry(self, entry: _Entry | None, exc: BaseException | None) -> tuple[str, list[str]]:
        """(style, lines) of one entry; ``exc`` is given for the last entry only."""
        style = entry.style if entry is not None and entry.style else self.style
        if entry is None or style not in ("long", "short"):
            return style, self.exc_lines(exc, 4, False) if exc is not None else []
        source = _entry_source(entry)
        if source is None:
            source = _Source(["???"], ["???"], 0)
            carets: list[str] = []
        else:
            line = source.lines[source.index]
            carets = _carets(
                entry, source.raw[source.index], line.strip() if style == "short" else line
            )
        out: list[str] = []
        if style == "short":
            out.append(
                f"{self.path(entry.filename)}:{entry.lineno + 1}: in {entry.frame.f_code.co_name}"
            )
            out.append("    " + source.lines[source.index].strip())
            out.extend(carets)
            if exc is not None:
                out.extend(self.exc_lines(exc, 4, True))
            if self.showlocals:
                out.extend(" " * 8 + line for line in self.locals_lines(entry))
            return style, out
        out.extend(self.args_lines(entry))
        out.extend("    " + line for line in source.lines[: source.index])
        out.append(">   " + source.lines[source.index])
        out.extend(carets)
        out.extend("    " + line for line in source.lines[source.index + 1 :])
        if exc is not None:
            out.extend(self.exc_lines(exc, _indent_of_last_statement(source), True))
        if self.showlocals:
            out.append("")
            out.extend(self.locals_lines(entry))
        out.append("")
        message = type(exc).__name__ if exc is not None else ""
        out.append(f"{self.path(entry.filename)}:{entry.lineno + 1}: {message}")
        return style, out

    def traceback(self, exc: BaseException) -> list[str]:
        entries = _visible(exc, self.full_trace)
        extra: str | None = None
        if isinstance(exc, RecursionError):
            entries, extra = _cut_recursion(entries, self.full_trace)
        if not entries:
            _, lines = self.entry(None, exc)
            return [*lines, extra or _ALL_HIDDEN]
        if self.style == "auto" and len(entries) > 2:
            for middle in entries[1:-1]:
                middle.style = "short"
        if self.style == "auto":
            for e in entries:
                e.style = e.style or "long"
        rendered = [
            self.entry(e, exc if i == len(entries) - 1 else None) for i, e in enumerate(entries)
        ]
        out: list[str] = []
        for i, (style, lines) in enumerate(rendered):
            if style == "long":
                out.append("")
            out.extend(lines)
            if i < len(rendered) - 1:
                following = rendered[i + 1][0]
                if style == "long" or (style == "short" and following == "long"):
                    out.append(_separator("_ ", self.width))
        if extra:
            out.append(extra)
        return out

    def native(self, exc: BaseException) -> list[str]:
        summary = std_traceback.TracebackException.from_exception(exc)
        _prepare_native(summary, exc, self.full_trace)
        return "".join(summary.format()).rstrip("\n").split("\n")

    def chain(self, exc: BaseException) -> list[str]:
        parts: list[tuple[list[str], str | None]] = []
        current: BaseException | None = exc
        description: str | None = None
        seen: set[int] = set()
        while current is not None and id(current) not in seen:
            seen.add(id(current))
            if isinstance(current, BaseExceptionGroup) or current.__traceback__ is None:
                body = self.native_single(current)
            else:
                body = self.traceback(current)
            parts.append((body, description))
            if isinstance(current, BaseExceptionGroup):
                current = None
            elif current.__cause__ is not None:
                current, description = current.__cause__, _CAUSE
            elif current.__context__ is not None and not current.__suppress_context__:
                current, description = current.__context__, _CONTEXT
            else:
                current = None
        out: list[str] = []
        for body, description in reversed(parts):
            out.extend(body)
            if description is not None:
                out.extend(["", description])
        return out

    def native_single(self, exc: BaseException) -> list[str]:
        summary = std_traceback.TracebackException.from_exception(exc, compact=True)
        _prepare_native(summary, exc, self.full_trace)
        if not isinstance(exc, BaseExceptionGroup):
            summary.__cause__ = summary.__context__ = None
        lines = (
            "".join(summary.format(chain=isinstance(exc, BaseExceptionGroup)))
            .rstrip("\n")
            .split("\n")
        )
        if isinstance(exc, BaseExceptionGroup) and not _visible(exc, self.full_trace):
            lines.append(_ALL_HIDDEN)
        return lines


def _prepare_native(
    summary: std_traceback.TracebackException, exc: BaseException | None, full_trace: bool
) -> None:
    """Python's own form, but with the runner's frames dropped and the columns of asserts
    rewritten in the text taken back to the source's, in the whole chain and group."""
    if exc is None:
        return
    kept = []
    for frame, entry in zip(summary.stack, _entries(exc.__traceback__), strict=False):
        if "__trelkin_fail__" in entry.frame.f_code.co_names and frame.lineno is not None:
            position = (
                frame.lineno,
                frame.end_lineno or frame.lineno,
                frame.colno or 0,
                frame.end_colno or 0,
            )
            original = _original_position(entry, position)
            if original is None:
                frame.colno = frame.end_colno = None
            else:
                frame.lineno, frame.end_lineno, frame.colno, frame.end_colno = original
        if full_trace or not is_runner_frame(frame.filename):
            kept.append(frame)
    summary.stack = std_traceback.StackSummary.from_list(kept)
    inner = getattr(exc, "exceptions", None) or ()
    for inner_summary, inner_exc in zip(
        getattr(summary, "exceptions", None) or (), inner, strict=False
    ):
        _prepare_native(inner_summary, inner_exc, full_trace)
    if summary.__cause__ is not None:
        _prepare_native(summary.__cause__, exc.__cause__, full_trace)
    if summary.__context__ is not None:
        _prepare_native(summary.__context__, exc.__context__, full_trace)


def _cut_recursion(entries: list[_Entry], full_trace: bool) -> tuple[list[_Entry], str | None]:
    """The frames up to where the recursion repeats itself (same code, line and locals)."""
    limit = 10
    seen: dict[tuple[str, int, int], list[dict[str, object]]] = {}
    try:
        for i, entry in enumerate(entries):
            key = (entry.filename, id(entry.frame.f_code), entry.lineno)
            frame_locals = dict(entry.frame.f_locals)
            earlier = seen.setdefault(key, [])
            if any(other == frame_locals for other in earlier):
                return entries[: i + 1], "!!! Recursion detected (same locals & position)"
            earlier.append(frame_locals)
    except Exception as exc:
        extra = (
            "!!! Recursion error detected, but an error occurred locating the origin of recursion.\n"
            "  The following exception happened when comparing locals in the stack frame:\n"
            f"    {type(exc).__name__}: {exc!s}\n"
            f"  Displaying first and last {limit} stack frames out of {len(entries)}."
        )
        return entries[:limit] + entries[-limit:], extra
    if not full_trace and len(entries) > 2 * limit:
        extra = (
            "!!! Recursion error detected, but the origin of the recursion could not be located.\n"
            f"  Displaying first and last {limit} stack frames out of {len(entries)}.\n"
            "  Pass `--full-trace` to see all frames."
        )
        return entries[:limit] + entries[-limit:], extra
    return entries, None


def _crash(exc: BaseException, full_trace: bool) -> tuple[str, int] | None:
    """File and line of the last visible frame; when every frame is hidden, of the last
    one that isn't the runner's (pytest would name its own frame there)."""
    entries = _entries(exc.__traceback__)
    if full_trace:
        return (entries[-1].filename, entries[-1].lineno + 1) if entries else None
    candidates = [e for e in entries if not is_runner_frame(e.filename)]
    for entry in reversed(candidates):
        if not _is_hidden(entry, exc):
            return entry.filename, entry.lineno + 1
    return (candidates[-1].filename, candidates[-1].lineno + 1) if candidates else None


# ---------------------------------------------------------------------------------------
# Public entry points


def format_failure(
    exc: BaseException,
    *,
    style: str = "auto",
    showlocals: bool = False,
    verbosity: int = 0,
    full_trace: bool = False,
    rootdir: Path | None = None,
) -> tuple[str, str]:
    """(short summary message, report text) of a failed test; see the module docstring."""
    if style not in STYLES:
        raise ValueError(f"unknown traceback style {style!r}; expected one of {', '.join(STYLES)}")
    _ast_cache.clear()  # sources may have changed since the last failure
    message = exconly(exc, tryshort=True).split("\n", 1)[0]
    if full_trace and style != "native":
        style = "long"
    formatter = _Formatter(style, showlocals, verbosity, full_trace, rootdir)
    if style == "native":
        return message, "\n".join(formatter.native(exc))
    lines = formatter.chain(exc)
    if style == "line":
        crash = _crash(exc, full_trace)
        if crash is not None:
            lines.append(f"{crash[0]}:{crash[1]}: {message}")
    while lines and not lines[-1].strip():
        lines.pop()
    return message, "\n".join(lines)


def format_collection_error(exc: BaseException, path: str | os.PathLike[str]) -> str:
    """The body of pytest's "ERROR collecting <path>" section for an error raised while
    importing a test module."""
    formatter = _Formatter("short", False, 0, False, None)
    if isinstance(exc, SyntaxError):
        # Where the parser stopped; the frames are all the import machinery's.
        return "\n".join(formatter.exc_lines(exc, 4, True))
    body = "\n".join(formatter.chain(exc)).strip("\n")
    if isinstance(exc, ImportError):
        return (
            f"ImportError while importing test module '{os.fspath(path)}'.\n"
            "Hint: make sure your test modules/packages have valid Python names.\n"
            f"Traceback:\n{body}"
        )
    return body


def collection_error_message(exc: BaseException) -> str:
    """The short summary's text for a collection error: empty for import and syntax
    errors (pytest shows none), else the exception's first line."""
    if isinstance(exc, ImportError | SyntaxError):
        return ""
    return exconly(exc, tryshort=True).split("\n", 1)[0]
