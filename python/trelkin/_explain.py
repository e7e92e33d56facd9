"""Explanations of failed assertions, in the words pytest uses.

Rewritten ``assert`` statements (see ``_rewrite``) call the ``_tk_*`` helpers below, and
only on the failing path: a passing assertion builds no text at all. The message of the
``AssertionError`` they raise reads as pytest's::

    assert {'a': 1} == {'a': 2}
      Differing items:
      {'a': 1} != {'a': 2}
      Use -v to get more diff

``configure(verbosity=...)`` sets how much is shown, process-wide (``-v`` longer reprs and
full diffs, ``-vv`` nothing truncated). ``compare(op, left, right)`` is the explanation of
one comparison as a list of lines, for callers other than rewritten code.

The explanation language: an explanation is one string in which ``\\n{`` opens a nested
"where" clause, ``\\n}`` closes it, ``\\n~`` starts a continuation line and ``\\n>`` a line
at the outer level; any other newline is escaped. ``format_explanation`` lays it out.
"""

from __future__ import annotations

import os
import sys
import types
from collections.abc import Iterable, Iterator, Mapping, Sequence
from collections.abc import Set as AbstractSet

from trelkin._pretty import (
    DEFAULT_MAXSIZE,
    SafeKey,
    pformat_lines,
    saferepr,
    saferepr_unlimited,
)

# Truncation of long explanations, by default: this many lines or characters unless -vv
# or CI (pytest's truncation_limit_lines and truncation_limit_chars).
MAX_LINES = 8
MAX_CHARS = MAX_LINES * 80
TRUNCATION_MSG = "...Full output truncated, use '-vv' to show"
_FOOTER_LINES = 2  # the blank separator and the message
_FOOTER_CHARS = len("...") + len(TRUNCATION_MSG)


class Settings:
    __slots__ = ("diff_style", "max_chars", "max_lines", "truncate", "verbosity")

    def __init__(self) -> None:
        self.verbosity = 0
        # None: decided by the CI and BUILD_NUMBER environment variables, as pytest does.
        self.truncate: bool | None = None
        self.max_lines = MAX_LINES  # 0: no limit on lines
        self.max_chars = MAX_CHARS  # 0: no limit on characters
        self.diff_style = "ndiff"  # or "block": both strings shown whole, one under the other


settings = Settings()


def configure(
    *,
    verbosity: int = 0,
    truncate: bool | None = None,
    max_lines: int = MAX_LINES,
    max_chars: int = MAX_CHARS,
    diff_style: str = "ndiff",
) -> None:
    """Sets how every explanation built from now on is shown, in every thread: the
    assertion verbosity (``-v``, ``-vv``), truncation (None: unless -vv or on CI) and its
    limits (the ``truncation_limit_*`` ini values), and the ``assertion_text_diff_style``."""
    if diff_style not in ("ndiff", "block"):
        raise ValueError(
            f"assertion_text_diff_style must be 'ndiff' or 'block', not {diff_style!r}"
        )
    settings.verbosity = verbosity
    settings.truncate = truncate
    settings.max_lines = max_lines
    settings.max_chars = max_chars
    settings.diff_style = diff_style


def running_on_ci() -> bool:
    return any(os.environ.get(name) for name in ("CI", "BUILD_NUMBER"))


def _should_truncate() -> bool:
    if not settings.max_lines and not settings.max_chars:
        return False
    if settings.truncate is not None:
        return settings.truncate
    return settings.verbosity < 2 and not running_on_ci()


def _budget() -> tuple[int, int]:
    """How far the comparison helpers need to go: the limits plus the footer's slack
    (0: no limit)."""
    if not _should_truncate():
        return 0, 0
    lines = settings.max_lines + _FOOTER_LINES + 1 if settings.max_lines else 0
    chars = settings.max_chars + _FOOTER_CHARS if settings.max_chars else 0
    return lines, chars


# ---------------------------------------------------------------------------------------
# Comparisons


def compare(op: str, left: object, right: object, verbosity: int | None = None) -> list[str]:
    """The explanation of ``left op right`` as lines (summary first), truncated as the
    settings say; empty when nothing more than the plain reprs can be said."""
    verbose = settings.verbosity if verbosity is None else verbosity
    lines = _assertrepr_compare(op, left, right, verbose)
    if not _should_truncate():
        return list(lines)
    return _materialize_truncated(lines)


def _assertrepr_compare(op: str, left: object, right: object, verbose: int) -> Iterator[str]:
    # Strings that normalise equal print alike: show them as ascii() to tell them apart.
    use_ascii = False
    if isinstance(left, str) and isinstance(right, str):
        from unicodedata import normalize

        use_ascii = normalize("NFD", left) == normalize("NFD", right)
    if verbose > 1:
        left_repr = saferepr_unlimited(left, use_ascii=use_ascii)
        right_repr = saferepr_unlimited(right, use_ascii=use_ascii)
    else:
        # Half of a line, less the "E       AssertionError: assert " indent and the op.
        maxsize = (80 - 15 - len(op) - 2) // 2
        left_repr = saferepr(left, maxsize=maxsize, use_ascii=use_ascii)
        right_repr = saferepr(right, maxsize=maxsize, use_ascii=use_ascii)
    summary = f"{left_repr} {op} {right_repr}"
    budget = _budget()
    started = False
    try:
        if op == "==":
            source = _compare_eq_any(left, right, verbose, budget)
        elif op == "not in" and isinstance(left, str) and isinstance(right, str):
            source = _notin_text(left, right, verbose, budget)
        elif (
            op in _SET_COMPARISONS
            and isinstance(left, AbstractSet)
            and isinstance(right, AbstractSet)
        ):
            source = _SET_COMPARISONS[op](left, right)
        else:
            return
        for line in source:
            if not started:
                yield summary
                if line != "":
                    yield ""
                started = True
            yield line
    except Exception as exc:
        if not started:
            yield summary
            yield ""
        crash = _describe_crash(exc)
        yield f"(pytest_assertion plugin: representation of details failed: {crash}."
        yield " Probably an object has a faulty __repr__.)"


def _describe_crash(exc: BaseException) -> str:
    """``path:line: Type: message`` of where a comparison helper raised."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    text = "".join(__import__("traceback").format_exception_only(exc)).rstrip()
    if tb is None:
        return text
    return f"{tb.tb_frame.f_code.co_filename}:{tb.tb_lineno}: {text}"


def _compare_eq_any(
    left: object, right: object, verbose: int, budget: tuple[int, int]
) -> Iterator[str]:
    if isinstance(left, str) and isinstance(right, str):
        if settings.diff_style == "block":
            yield from _block_text(left, right)
        else:
            yield from _diff_text(left, right, verbose, budget)
        return
    approx = _approx_side(left, right)
    if approx is not None:
        holder, other = approx
        yield from holder._repr_compare(other)  # type: ignore[attr-defined]
    elif type(left) is type(right) and (_isdatacls(left) or _isattrs(left) or _isnamedtuple(left)):
        yield from _compare_eq_cls(left, right, verbose)
    elif _issequence(left) and _issequence(right):
        yield from _compare_eq_sequence(left, right)
    elif isinstance(left, AbstractSet) and isinstance(right, AbstractSet):
        yield from _compare_eq_set(left, right)
    elif isinstance(left, Mapping) and isinstance(right, Mapping):
        yield from _compare_eq_mapping(left, right, verbose, budget)
    if _isiterable(left) and _isiterable(right):
        yield from _compare_eq_iterable(left, right, verbose, budget)  # type: ignore[arg-type]


def _approx_side(left: object, right: object) -> tuple[object, object] | None:
    """The ``pytest.approx`` object of the comparison and the value it is compared with.
    Recognised by its class (pytest's, with its own ``_repr_compare``), so pytest is never
    imported for it."""
    for holder, other in ((right, left), (left, right)):
        for cls in type(holder).__mro__:
            if (
                cls.__module__.partition(".")[0] in ("pytest", "_pytest")
                and "_repr_compare" in cls.__dict__
            ):
                return holder, other
    return None


def _issequence(x: object) -> bool:
    return isinstance(x, Sequence) and not isinstance(x, str)


def _isnamedtuple(x: object) -> bool:
    return isinstance(x, tuple) and getattr(x, "_fields", None) is not None


def _isdatacls(x: object) -> bool:
    # Nothing is a dataclass until the module that makes them is imported.
    dataclasses = sys.modules.get("dataclasses")
    return dataclasses is not None and dataclasses.is_dataclass(x)


def _isattrs(x: object) -> bool:
    return getattr(x, "__attrs_attrs__", None) is not None


def _isiterable(x: object) -> bool:
    try:
        iter(x)  # type: ignore[call-overload]
    except Exception:
        return False
    return not isinstance(x, str)


def _has_default_eq(x: object) -> bool:
    """False when a dataclass or attrs class defines its own ``__eq__``: its fields then
    don't explain the difference."""
    code = getattr(x.__eq__, "__code__", None)
    filename = getattr(code, "co_filename", None)
    if filename is None:
        return True
    if _isattrs(x):
        return "attrs generated " in filename
    return filename == "<string>"


def _diff_text(left: str, right: str, verbose: int, budget: tuple[int, int]) -> Iterator[str]:
    """An ndiff of the two strings, right being the expected base; without -v, long
    identical heads and tails are cut to ten characters of context."""
    from difflib import ndiff

    if verbose < 1:
        i = 0
        for i in range(min(len(left), len(right))):
            if left[i] != right[i]:
                break
        if i > 42:
            i -= 10
            yield f"Skipping {i} identical leading characters in diff, use -v to show"
            left, right = left[i:], right[i:]
        if len(left) == len(right):
            for i in range(1, len(left) + 1):
                if left[-i] != right[-i]:
                    break
            if i > 42:
                i -= 10
                yield f"Skipping {i} identical trailing characters in diff, use -v to show"
                left, right = left[:-i], right[:-i]
    if left.isspace() or right.isspace():
        left, right = repr(str(left)), repr(str(right))
        yield "Strings contain only whitespace, escaping them using repr()"
    left_lines = _cap_lines(left, budget)
    right_lines = _cap_lines(right, budget)
    yield from "\n".join(line.strip("\n") for line in ndiff(right_lines, left_lines)).splitlines()


def _block_text(left: str, right: str) -> Iterator[str]:
    yield "Left:"
    yield from ("  " + line for line in left.split("\n"))
    yield ""
    yield "Right:"
    yield from ("  " + line for line in right.split("\n"))


def _cap_lines(text: str, budget: tuple[int, int]) -> list[str]:
    # Bounding the inputs bounds ndiff's quadratic intraline matching.
    max_lines, max_chars = budget
    if max_chars:
        text = text[:max_chars]
    lines = text.splitlines(True)
    return lines[:max_lines] if max_lines else lines


def _notin_text(term: str, text: str, verbose: int, budget: tuple[int, int]) -> Iterator[str]:
    index = text.find(term)
    corrected = text[:index] + text[index + len(term) :]
    yield f"{saferepr(term, maxsize=42)} is contained here:"
    for line in _diff_text(text, corrected, verbose, budget):
        if line.startswith(("Skipping", "- ")):
            continue
        yield "  " + line[2:] if line.startswith("+ ") else line


def _compare_eq_sequence(left: Sequence[object], right: Sequence[object]) -> Iterator[str]:
    both_bytes = isinstance(left, bytes) and isinstance(right, bytes)
    for i in range(min(len(left), len(right))):
        if left[i] != right[i]:
            # Slices of bytes show as b'x', where an index would show a number.
            lv = left[i : i + 1] if both_bytes else left[i]
            rv = right[i : i + 1] if both_bytes else right[i]
            yield f"At index {i} diff: {lv!r} != {rv!r}"
            break
    if both_bytes:
        return
    extra = len(left) - len(right)
    if not extra:
        return
    if extra > 0:
        side, first = "Left", saferepr(left[len(right)])
    else:
        extra, side, first = -extra, "Right", saferepr(right[len(left)])
    if extra == 1:
        yield f"{side} contains one more item: {first}"
    else:
        yield f"{side} contains {extra} more items, first extra item: {first}"


def _one_sided(side: str, first: AbstractSet[object], second: AbstractSet[object]) -> Iterator[str]:
    extra = first - second
    if extra:
        yield f"Extra items in the {side} set:"
        for item in extra:
            yield saferepr(item)


def _compare_eq_set(left: AbstractSet[object], right: AbstractSet[object]) -> Iterator[str]:
    yield from _one_sided("left", left, right)
    yield from _one_sided("right", right, left)


def _compare_gt_set(left: AbstractSet[object], right: AbstractSet[object]) -> Iterator[str]:
    if left == right:
        yield "Both sets are equal"
    else:
        yield from _one_sided("right", right, left)


def _compare_lt_set(left: AbstractSet[object], right: AbstractSet[object]) -> Iterator[str]:
    if left == right:
        yield "Both sets are equal"
    else:
        yield from _one_sided("left", left, right)


def _sets_equal(left: AbstractSet[object], right: AbstractSet[object]) -> Iterator[str]:
    yield "Both sets are equal"


_SET_COMPARISONS = {
    "!=": _sets_equal,
    ">=": lambda left, right: _one_sided("right", right, left),
    "<=": lambda left, right: _one_sided("left", left, right),
    ">": _compare_gt_set,
    "<": _compare_lt_set,
}


def _compare_eq_mapping(
    left: Mapping[object, object],
    right: Mapping[object, object],
    verbose: int,
    budget: tuple[int, int],
) -> Iterator[str]:
    import pprint

    # Key views resolve membership through the mappings themselves.
    left_keys, right_keys = left.keys(), right.keys()
    common = left_keys & right_keys
    same = {k: left[k] for k in common if left[k] == right[k]}
    if same and verbose < 2:
        yield f"Omitting {len(same)} identical items, use -vv to show"
    elif same:
        yield "Common items:"
        yield from pprint.pformat(same).splitlines()
    differing = {k for k in common if left[k] != right[k]}
    if differing:
        yield "Differing items:"
        for k in differing:
            yield saferepr({k: left[k]}) + " != " + saferepr({k: right[k]})
    for side, mapping, extra in (
        ("Left", left, left_keys - right_keys),
        ("Right", right, right_keys - left_keys),
    ):
        if extra:
            plural = "" if len(extra) == 1 else "s"
            yield f"{side} contains {len(extra)} more item{plural}:"
            yield from _extra_items(mapping, extra, budget[0])


def _extra_items(
    mapping: Mapping[object, object], keys: AbstractSet[object], max_lines: int
) -> Iterator[str]:
    import heapq
    import pprint

    if not max_lines or len(keys) <= max_lines:
        yield from pprint.pformat({k: mapping[k] for k in keys}).splitlines()
    else:
        # Only the items that survive truncation, in the order pprint would sort them.
        for k in heapq.nsmallest(max_lines, keys, key=SafeKey):
            yield saferepr({k: mapping[k]})


def _compare_eq_cls(left: object, right: object, verbose: int) -> Iterator[str]:
    import pprint

    if not _has_default_eq(left):
        return
    if _isdatacls(left):
        import dataclasses

        names = [f.name for f in dataclasses.fields(left) if f.compare]  # type: ignore[arg-type]
    elif _isattrs(left):
        names = [f.name for f in left.__attrs_attrs__ if f.eq]  # type: ignore[attr-defined]
    else:
        names = list(left._fields)  # type: ignore[attr-defined]
    same = [n for n in names if getattr(left, n) == getattr(right, n)]
    differing = [n for n in names if n not in same]
    if same or differing:
        yield ""
    if same and verbose < 2:
        yield f"Omitting {len(same)} identical items, use -vv to show"
    elif same:
        yield "Matching attributes:"
        yield from pprint.pformat(same).splitlines()
    if differing:
        yield "Differing attributes:"
        yield from pprint.pformat(differing).splitlines()
        for name in differing:
            lv, rv = getattr(left, name), getattr(right, name)
            yield ""
            yield f"Drill down into differing attribute {name}:"
            yield f"  {name}: {lv!r} != {rv!r}"
            for line in _compare_eq_any(lv, rv, verbose, (0, 0)):
                yield "  " + line


def _compare_eq_iterable(
    left: Iterable[object], right: Iterable[object], verbose: int, budget: tuple[int, int]
) -> Iterator[str]:
    if verbose <= 0 and not running_on_ci():
        yield "Use -v to get more diff"
        return
    import difflib

    max_lines, max_chars = budget[0] or None, budget[1] or None
    left_lines = pformat_lines(left, max_lines=max_lines, max_chars=max_chars)
    right_lines = pformat_lines(right, max_lines=max_lines, max_chars=max_chars)
    yield ""
    yield "Full diff: (-: missing in left side, +: extra in left side)"
    for line in difflib.ndiff(right_lines, left_lines):
        yield line.rstrip()


# ---------------------------------------------------------------------------------------
# Truncation


def _materialize_truncated(lines: Iterable[str]) -> list[str]:
    """Pulls lines only until the explanation is known to be too long, then cuts it."""
    line_cap, tolerable_chars = _budget()
    kept: list[str] = []
    chars = 0
    for line in lines:
        kept.append(line)
        chars += len(line)
        if (line_cap and len(kept) >= line_cap) or (tolerable_chars and chars > tolerable_chars):
            break
    else:
        return kept
    return truncate(kept, settings.max_lines, settings.max_chars)


def truncate(lines: list[str], max_lines: int = MAX_LINES, max_chars: int = MAX_CHARS) -> list[str]:
    """Cuts an explanation to ``max_lines`` lines or ``max_chars`` characters (0: no
    limit), whichever comes first, ending it with the "...Full output truncated" footer."""
    tolerable_chars = max_chars + _FOOTER_CHARS
    if not max_lines or len(lines) <= max_lines + _FOOTER_LINES:
        if not max_chars or sum(map(len, lines)) <= tolerable_chars:
            return lines
        kept = list(lines)
    else:
        kept = lines[:max_lines]
    if max_chars and sum(map(len, kept)) > tolerable_chars:
        kept = _cut_chars(kept, max_chars)
    kept[-1] += "..."
    return [*kept, "", TRUNCATION_MSG]


def _cut_chars(lines: list[str], max_chars: int) -> list[str]:
    total = 0
    index = 0
    for index, line in enumerate(lines):
        if total + len(line) > max_chars:
            break
        total += len(line)
    return [*lines[:index], lines[index][: max_chars - total]]


# ---------------------------------------------------------------------------------------
# The explanation language


def format_explanation(explanation: str) -> str:
    """Lays out an explanation string: "where"/"and" clauses indented under the value they
    explain, continuation lines indented, other newlines kept escaped."""
    raw = (explanation or "").split("\n")
    lines = [raw[0]]
    for piece in raw[1:]:
        if piece and piece[0] in "{}~>":
            lines.append(piece)
        else:
            lines[-1] += "\\n" + piece
    result = lines[:1]
    stack = [0]
    counts = [0]
    for line in lines[1:]:
        if line[0] == "{":
            word = "and   " if counts[-1] else "where "
            stack.append(len(result))
            counts[-1] += 1
            counts.append(0)
            result.append(" +" + "  " * (len(stack) - 1) + word + line[1:])
        elif line[0] == "}":
            stack.pop()
            counts.pop()
            result[stack[-1]] += line[1:]
        else:
            stack[-1] += 1
            indent = len(stack) if line[0] == "~" else len(stack) - 1
            result.append("  " * indent + line[1:])
    return "\n".join(result)


# ---------------------------------------------------------------------------------------
# Helpers called by rewritten assertions (on the failing path only)


def _repr_maxsize() -> int | None:
    if settings.verbosity >= 2:
        return None
    return DEFAULT_MAXSIZE * 10 if settings.verbosity >= 1 else DEFAULT_MAXSIZE


def _tk_repr(obj: object) -> str:
    """The repr of an intermediate value, its newlines escaped for the explanation."""
    if isinstance(obj, types.MethodType):
        return obj.__name__  # "<bound method ...>" says nothing the source doesn't
    maxsize = _repr_maxsize()
    text = (
        saferepr_unlimited(obj, use_ascii=False)
        if maxsize is None
        else saferepr(obj, maxsize=maxsize)
    )
    return text.replace("\n", "\\n")


def _tk_should_repr_global(obj: object) -> bool:
    """Whether a global name is shown by its value: not modules, classes or functions,
    except pytest fixture definitions, whose repr says more than their name."""
    if callable(obj):
        return type(obj).__name__ == "FixtureFunctionDefinition"
    try:
        return not hasattr(obj, "__name__")
    except Exception:
        return True


def _tk_format_assertmsg(obj: object) -> str:
    """The assertion's own message: a string as it is (newlines kept), anything else by
    its repr."""
    replaces = [("\n", "\n~"), ("%", "%%")]
    if not isinstance(obj, str):
        obj = _tk_repr(obj)
        replaces.append(("\\n", "\n~"))
    text: str = obj
    for old, new in replaces:
        text = text.replace(old, new)
    return text


def _tk_format_boolop(explanations: Sequence[str], is_or: int) -> str:
    joined = "(" + (" or " if is_or else " and ").join(explanations) + ")"
    return joined.replace("%", "%%")


def _tk_compare(
    ops: Sequence[str], results: Sequence[object], expls: Sequence[str], operands: Sequence[object]
) -> str:
    """The explanation of the first comparison of a chain that failed."""
    index = 0
    for index, result in enumerate(results):
        try:
            failed = not result
        except Exception:
            failed = True
        if failed:
            break
    lines = compare(ops[index], operands[index], operands[index + 1])
    if not lines:
        return expls[index]
    return "\n~".join(line.replace("\n", "\\n") for line in lines).replace("%", "%%")


_tk_format_explanation = format_explanation
