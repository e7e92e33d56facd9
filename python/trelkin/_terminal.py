"""What the command writes to the terminal, in pytest's layout: the header, progress (a
line per file, or a line per test with -v), then the errors, the failures, the slowest
tests, the short summary and the summary line. Everything is read from outcome records."""

from __future__ import annotations

import os
import sys
import threading
import time

from trelkin._outcome import Kind, Outcome, Phase

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

_STYLES = {"bold": "1", "red": "31", "green": "32", "yellow": "33"}
# The progress letter, the -v word and the colour of each kind.
_LETTERS = {
    Kind.PASSED: (".", "PASSED", "green"),
    Kind.FAILED: ("F", "FAILED", "red"),
    Kind.ERROR: ("E", "ERROR", "red"),
    Kind.SKIPPED: ("s", "SKIPPED", "yellow"),
    Kind.XFAILED: ("x", "XFAIL", "yellow"),
    Kind.XPASSED: ("X", "XPASS", "yellow"),
    Kind.CRASHED: ("C", "CRASHED", "red"),
    Kind.TIMEOUT: ("T", "TIMEOUT", "red"),
    Kind.NOT_RUN: ("", "NOT RUN", "yellow"),
}
_PERCENT_WIDTH = len(" [100%]")
# The summary line's order of kinds, as pytest's.
_SUMMARY_ORDER = (
    (Kind.FAILED, "failed"),
    (Kind.PASSED, "passed"),
    (Kind.SKIPPED, "skipped"),
    ("deselected", "deselected"),
    (Kind.XFAILED, "xfailed"),
    (Kind.XPASSED, "xpassed"),
    ("warnings", "warnings"),
    (Kind.ERROR, "errors"),
    (Kind.CRASHED, "crashed"),
    (Kind.TIMEOUT, "timed out"),
    (Kind.NOT_RUN, "not run"),
)


def use_color(choice: str, descriptor: int = 1) -> bool:
    """--color: "yes", "no", or "auto": a terminal, unless NO_COLOR is set; FORCE_COLOR and
    PY_COLORS=1 force it, PY_COLORS=0 forbids it."""
    if choice != "auto":
        return choice == "yes"
    py_colors = os.environ.get("PY_COLORS")
    if py_colors in ("0", "1"):
        return py_colors == "1"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR"):
        return True
    return os.environ.get("TERM") != "dumb" and os.isatty(descriptor)


def terminal_width(descriptor: int) -> int:
    """The columns of the terminal at ``descriptor``: $COLUMNS, the terminal's, or 80."""
    try:
        return max(int(os.environ["COLUMNS"]), 20)
    except (KeyError, ValueError):
        pass
    try:
        return max(os.get_terminal_size(descriptor).columns, 20)
    except OSError:
        return 80


class Terminal:
    """Standard output as the command sees it, with optional ANSI colour.

    Writes go to a descriptor of its own, a duplicate of 1 taken at start: while tests run
    the core replaces ``sys.stdout``, and a test may replace or close the streams it finds.
    """

    def __init__(self, color: bool) -> None:
        self._descriptor = os.dup(1)
        self.encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
        self._file = open(  # noqa: SIM115 - lives as long as the command
            self._descriptor, "w", encoding=self.encoding, errors="backslashreplace"
        )
        self.color = color
        self.is_terminal = os.isatty(self._descriptor)
        self.width = terminal_width(self._descriptor)

    def encode(self, text: str) -> bytes:
        return text.encode(self.encoding, "backslashreplace")

    def write_now(self, data: bytes) -> None:
        """Writes past the buffer, which must have been flushed: progress goes this way so
        that it shows at once."""
        while data:
            data = data[os.write(self._descriptor, data) :]

    def style(self, text: str, *styles: str) -> str:
        if not self.color or not styles or not text:
            return text
        codes = ";".join(_STYLES[style] for style in styles)
        return f"\x1b[{codes}m{text}\x1b[0m"

    def write(self, text: str, *styles: str) -> None:
        self._file.write(self.style(text, *styles))

    def line(self, text: str = "", *styles: str) -> None:
        self.write(text, *styles)
        self._file.write("\n")

    def rule(self, title: str = "", fill: str = "=", *styles: str) -> None:
        """A full-width line with ``title`` in its middle, as pytest's sep()."""
        if title:
            count = max((self.width - len(title) - 2) // (2 * len(fill)), 1)
            text = f"{fill * count} {title} {fill * count}"
            if len(text) + len(fill.rstrip()) <= self.width:
                text += fill.rstrip()
        else:
            text = fill * self.width
        self.line(text, *styles)

    def flush(self) -> None:
        self._file.flush()

    def close(self) -> None:
        self._file.close()


def display_path(path: str, invocation_dir: str) -> str:
    """A file as progress and summaries show it: relative to where the command runs."""
    try:
        relative = os.path.relpath(path, invocation_dir)
    except ValueError:
        return path
    return relative.replace(os.sep, "/")


class Progress:
    """Shows each outcome as it is recorded: a letter per test in a line per file (the
    file's path first), or with ``verbose`` a line per test, each line ending in the share
    of the run done. Files are shown in their order, also when they finish out of order in
    a parallel run: a later file's letters wait until the files before it are done.

    ``quiet`` drops the file names. Calls come from the threads that run tests.
    """

    def __init__(
        self,
        terminal: Terminal,
        files: Sequence[tuple[str, int | None]],
        names: dict[str, str],
        *,
        verbosity: int,
        live: bool,
        estimates: dict[str, int] | None = None,
    ) -> None:
        self._terminal = terminal
        self._verbose = verbosity > 0
        self._names = verbosity >= 0
        self._enabled = verbosity > -2
        self._lock = threading.Lock()
        self._names_shown = names
        self._order = [name for name, _ in files]
        self._remaining = {name: count for name, count in files}
        self._held: dict[str, list[bytes]] = {}
        self._head = 0  # index of the file whose letters show now
        # A file's count is None until a worker has collected it; until then the share
        # counts it by the estimate given.
        self._estimates = dict(estimates or {})
        self.total = sum(
            count if count is not None else self._estimates.get(name, 1) for name, count in files
        )
        self._done = 0
        self._shown = 0  # letters shown: files show in order, so the share is theirs
        self._column = 0
        self._open_line = False
        self._live = live or terminal.is_terminal
        self._pending = b""
        self._written_at = time.monotonic()
        self._letters = {
            kind: terminal.encode(terminal.style(letter, colour))
            for kind, (letter, _, colour) in _LETTERS.items()
        }

    def add_file(self, name: str, count: int, shown: str) -> None:
        """A file whose tests became known during the run (a worker collected it)."""
        with self._lock:
            self._names_shown[name] = shown
            if name in self._remaining:
                known = self._remaining[name]
                self.total += count - (known if known is not None else
                                       self._estimates.get(name, 1))
                self._remaining[name] = count
            else:
                self._order.append(name)
                self._remaining[name] = count
                self.total += count
            self._advance()

    def record(self, file: str, nodeid: str, kind: Kind, when: str = "") -> None:
        if not self._enabled:
            return
        with self._lock:
            self._done += 1
            if self._verbose:
                self._show_line(nodeid, kind, when)
                return
            letter = self._letters[kind]
            if self._order and self._order[self._head] == file:
                self._show_letter(letter)
                self._remaining[file] -= 1
            else:
                self._held.setdefault(file, []).append(letter)
                self._remaining[file] = (self._remaining.get(file) or 1) - 1
            self._advance()
            if self._live or time.monotonic() - self._written_at >= 1:
                self._write_pending()

    def _advance(self) -> None:
        """Ends the line of every finished file at the head, and shows what the next
        file holds."""
        while self._head < len(self._order):
            head = self._order[self._head]
            remaining = self._remaining.get(head, 0)
            if remaining is None or remaining > 0:
                return
            if self._names:
                self._end_line()  # a line per file; -q runs the letters on across files
            self._head += 1
            if self._head < len(self._order):
                following = self._order[self._head]
                for letter in self._held.pop(following, ()):
                    self._show_letter(letter)

    def _start_line(self) -> None:
        if self._names and not self._open_line:
            name = self._order[self._head]
            name = self._names_shown.get(name, name)
            self._pending += self._terminal.encode(name + " ")
            self._column = len(name) + 1
        self._open_line = True

    def _show_letter(self, letter: bytes) -> None:
        self._start_line()
        self._pending += letter
        self._column += 1
        self._shown += 1
        # Lines end one column short of the width, as pytest's do.
        if self._column + _PERCENT_WIDTH >= self._terminal.width - 1:
            self._pending += self._terminal.encode(self._percent() + "\n")
            self._column = 0

    def _end_line(self) -> None:
        if not self._open_line:
            return
        if self._column:
            padding = max(self._terminal.width - 1 - _PERCENT_WIDTH - self._column, 0)
            self._pending += self._terminal.encode(" " * padding + self._percent() + "\n")
        self._column = 0
        self._open_line = False

    def _percent(self) -> str:
        done = self._done if self._verbose else self._shown
        share = done * 100 // self.total if self.total else 100
        return f" [{share:3d}%]"

    def _show_line(self, nodeid: str, kind: Kind, when: str) -> None:
        word = _LETTERS[kind][1]
        if when:
            word = f"{word} ({when})"
        padding = " " * max(self._terminal.width - 2 - len(nodeid) - len(word) - _PERCENT_WIDTH, 0)
        styled = self._terminal.style(word, _LETTERS[kind][2])
        self._pending += self._terminal.encode(f"{nodeid} {styled}{padding}{self._percent()}\n")
        self._write_pending()

    def _write_pending(self) -> None:
        if self._pending:
            self._terminal.write_now(self._pending)
            self._pending = b""
        self._written_at = time.monotonic()

    def finish(self) -> None:
        """Shows what is held back, files not yet shown included (a run cut short)."""
        with self._lock:
            while self._head < len(self._order):
                self._remaining[self._order[self._head]] = 0
                self._advance()
            self._end_line()
            self._write_pending()


def outcome_title(outcome: Outcome) -> str:
    """The head of a failure's section, as pytest's: the test's name within its file,
    classes joined by ".", e.g. ``TestX.test_y[1]``."""
    name = outcome.nodeid.split("::", 1)[1] if "::" in outcome.nodeid else outcome.nodeid
    return name.replace("::", ".")


def count(outcomes: Sequence[Outcome]) -> dict[object, int]:
    counts: dict[object, int] = {}
    for outcome in outcomes:
        counts[outcome.kind] = counts.get(outcome.kind, 0) + 1
        if outcome.teardown_error is not None:
            counts[Kind.ERROR] = counts.get(Kind.ERROR, 0) + 1
    return counts


def summary_text(counts: dict[object, int], seconds: float) -> tuple[str, str]:
    """The summary line's text, such as "1 failed, 3 passed in 0.42s", and its colour."""
    parts = []
    for key, word in _SUMMARY_ORDER:
        number = counts.get(key, 0)
        if not number:
            continue
        if number == 1 and word in ("errors", "warnings"):
            word = word[:-1]
        parts.append(f"{number} {word}")
    text = f"{', '.join(parts) if parts else 'no tests ran'} in {seconds:.2f}s"
    if any(counts.get(kind) for kind in (Kind.FAILED, Kind.ERROR, Kind.CRASHED, Kind.TIMEOUT)):
        return text, "red"
    if counts.get("warnings") or counts.get(Kind.XPASSED) or not parts:
        return text, "yellow"
    if counts.get(Kind.PASSED):
        return text, "green"
    return text, "yellow"


def _sections(terminal: Terminal, outcome: Outcome) -> None:
    for title, text in (("stdout", outcome.stdout), ("stderr", outcome.stderr),
                        ("log", outcome.log)):
        if text:
            when = {Phase.SETUP: "setup", Phase.TEARDOWN: "teardown"}.get(outcome.phase, "call")
            terminal.rule(f"Captured {title} {when}", "-")
            terminal.write(text if text.endswith("\n") else text + "\n")


def _longrepr(terminal: Terminal, outcome: Outcome) -> None:
    if outcome.longrepr:
        terminal.line(outcome.longrepr.rstrip("\n"))
    elif outcome.message:
        terminal.line(outcome.message)


def show_errors(terminal: Terminal, errors: Sequence[tuple[str, Outcome]]) -> None:
    """The ERRORS section: collection errors, and errors at setup and teardown."""
    if not errors:
        return
    terminal.rule("ERRORS")
    for title, outcome in errors:
        terminal.rule(title, "_", "red", "bold")
        _longrepr(terminal, outcome)
        _sections(terminal, outcome)


def error_title(outcome: Outcome, display: str) -> str:
    if outcome.phase == Phase.COLLECT:
        return f"ERROR collecting {display}"
    return f"ERROR at {outcome.phase} of {outcome_title(outcome)}"


def show_failures(terminal: Terminal, failures: Sequence[Outcome]) -> None:
    if not failures:
        return
    terminal.rule("FAILURES")
    for outcome in failures:
        terminal.rule(outcome_title(outcome), "_", "red", "bold")
        _longrepr(terminal, outcome)
        _sections(terminal, outcome)


def show_passes(terminal: Terminal, outcomes: Sequence[Outcome]) -> None:
    """-rP: the captured output of the passed tests that wrote any."""
    passed = [o for o in outcomes if o.kind == Kind.PASSED and (o.stdout or o.stderr or o.log)]
    if not passed:
        return
    terminal.rule("PASSES")
    for outcome in passed:
        terminal.rule(outcome_title(outcome), "_", "green", "bold")
        _sections(terminal, outcome)


def show_durations(
    terminal: Terminal, outcomes: Sequence[Outcome], count: int, minimum: float, verbose: bool
) -> None:
    """--durations: the slowest phases, as pytest lists them."""
    entries = []
    for outcome in outcomes:
        if outcome.kind == Kind.NOT_RUN:
            continue
        for when, seconds in (("setup", outcome.setup_duration), ("call", outcome.duration),
                              ("teardown", outcome.teardown_duration)):
            entries.append((seconds, when, outcome.nodeid))
    entries.sort(key=lambda entry: entry[0], reverse=True)
    title = "slowest durations" if count == 0 else f"slowest {count} durations"
    terminal.rule(title)
    shown = entries if count == 0 else entries[:count]
    hidden = 0
    for seconds, when, nodeid in shown:
        if not verbose and seconds < minimum:
            hidden += 1
            continue
        terminal.line(f"{seconds:.2f}s {when:<8} {nodeid}")
    if hidden:
        terminal.line()
        terminal.line(
            f"({hidden} durations < {minimum:g}s hidden.  Use -vv to show these durations.)"
        )


def short_summary(
    terminal: Terminal,
    outcomes: Sequence[Outcome],
    errors: Sequence[Outcome],
    chars: str,
    displayed: dict[str, str],
) -> None:
    """The -r section: one line per selected outcome, in pytest's order of the chars."""
    lines: list[str] = []
    for char in chars:
        if char == "f":
            lines += [_line(terminal, "FAILED", o, displayed) for o in outcomes
                      if o.kind in (Kind.FAILED, Kind.CRASHED, Kind.TIMEOUT)]
        elif char == "E":
            lines += [_line(terminal, "ERROR", o, displayed) for o in errors]
            lines += [_line(terminal, "ERROR", o, displayed) for o in outcomes
                      if o.kind == Kind.ERROR]
            lines += [_line(terminal, "ERROR", o.teardown_error, displayed) for o in outcomes
                      if o.teardown_error is not None]
        elif char == "s":
            lines += _skip_lines(terminal, outcomes)
        elif char == "x":
            lines += [_line(terminal, "XFAIL", o, displayed) for o in outcomes
                      if o.kind == Kind.XFAILED]
        elif char == "X":
            lines += [_line(terminal, "XPASS", o, displayed) for o in outcomes
                      if o.kind == Kind.XPASSED]
        elif char == "p":
            lines += [_line(terminal, "PASSED", o, displayed, with_message=False)
                      for o in outcomes if o.kind == Kind.PASSED]
    if lines:
        terminal.rule("short test summary info")
        for text in lines:
            terminal.line(text)


def _line(
    terminal: Terminal, word: str, outcome: Outcome, displayed: dict[str, str],
    with_message: bool = True,
) -> str:
    colour = "red" if word in ("FAILED", "ERROR") else "yellow" if word != "PASSED" else "green"
    nodeid = displayed.get(outcome.nodeid, outcome.nodeid)
    text = f"{terminal.style(word, colour)} {nodeid}"
    if with_message and outcome.message:
        separator = " - " if word in ("FAILED", "ERROR") else " - " if word == "XFAIL" else " "
        text += separator + outcome.message.split("\n", 1)[0]
    return text


def _skip_lines(terminal: Terminal, outcomes: Sequence[Outcome]) -> list[str]:
    """Skips folded by location and reason: "SKIPPED [2] test_x.py:3: reason"."""
    folded: dict[tuple[str, str], int] = {}
    for outcome in outcomes:
        if outcome.kind == Kind.SKIPPED:
            key = (outcome.location, outcome.message)
            folded[key] = folded.get(key, 0) + 1
    word = terminal.style("SKIPPED", "yellow")
    return [
        f"{word} [{number}] {location}: {reason}" if location else f"{word} [{number}] {reason}"
        for (location, reason), number in folded.items()
    ]
