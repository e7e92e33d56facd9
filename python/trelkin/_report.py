"""What the command line writes to the terminal: live progress while tests run, then the
failures, the collection errors, the slowest tests and the summary line."""

from __future__ import annotations

import os
import sys
import threading
import time

from trelkin import _compat
from trelkin._collect import CollectionError, display_path
from trelkin._core import TestResult

PASSED, FAILED, SKIPPED, INTERRUPTED = (
    _compat.PASSED,
    _compat.FAILED,
    _compat.SKIPPED,
    _compat.INTERRUPTED,
)

_STYLES = {"bold": "1", "red": "31", "green": "32", "yellow": "33"}
_PROGRESS = {PASSED: (".", "green"), FAILED: ("F", "red"), SKIPPED: ("s", "yellow")}
_PERCENT_WIDTH = len(" [100%]")


class Terminal:
    """Standard output as the command line sees it, with optional ANSI colour.

    Writes go to a descriptor of its own, a duplicate of 1 taken at start: while tests run
    the core replaces ``sys.stdout``, and a test may replace or close the streams it finds.
    """

    def __init__(self, color: bool) -> None:
        self._descriptor = os.dup(1)
        self._encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
        self._file = open(self._descriptor, "w", encoding=self._encoding, errors="backslashreplace")
        self.color = color
        self.is_terminal = os.isatty(self._descriptor)
        self.width = terminal_width(self._descriptor)

    def encode(self, text: str) -> bytes:
        return text.encode(self._encoding, "backslashreplace")

    def write_now(self, data: bytes) -> None:
        """Writes past the buffer, which must have been flushed: progress is written this
        way, once per test, so it costs no more than it must and shows at once."""
        while data:
            data = data[os.write(self._descriptor, data) :]

    def style(self, text: str, *styles: str) -> str:
        if not self.color or not styles:
            return text
        codes = ";".join(_STYLES[style] for style in styles)
        return f"\x1b[{codes}m{text}\x1b[0m"

    def write(self, text: str, *styles: str) -> None:
        self._file.write(self.style(text, *styles))

    def line(self, text: str = "", *styles: str) -> None:
        self.write(text, *styles)
        self._file.write("\n")

    def rule(self, title: str, fill: str = "=", *styles: str) -> None:
        """A full-width line with ``title`` in its middle."""
        text = f" {title} "
        left = max(self.width - len(text), 4) // 2
        right = max(self.width - len(text) - left, 2)
        self.line(fill * left + text + fill * right, *styles)

    def flush(self) -> None:
        self._file.flush()


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


def result_id(result: TestResult) -> str:
    test = result.test
    return f"{display_path(test.path)}::{test.name}"


class Progress:
    """Shows each test as it finishes: a character per test, or with ``verbose`` a line
    per test, with the share of the run done. Called by the executor from the threads
    that run tests. Also counts the outcomes, for a run that is given up before it
    returns its results.

    On a terminal each test shows at once. Elsewhere (a pipe, a file, a CI log) the
    characters go out a line at a time, or at least every second, which costs a run of
    many quick tests less.
    """

    def __init__(self, terminal: Terminal, total: int, verbose: bool, nocapture: bool) -> None:
        self._terminal = terminal
        self.total = total
        self._verbose = verbose
        self._nocapture = nocapture
        self._lock = threading.Lock()
        self.counts = dict.fromkeys((PASSED, FAILED, SKIPPED, INTERRUPTED), 0)
        self.failed: list[str] = []
        self._done = 0
        self._column = 0
        self._per_line = max(terminal.width - _PERCENT_WIDTH, 1)
        self._characters = {
            outcome: terminal.encode(terminal.style(character, style))
            for outcome, (character, style) in _PROGRESS.items()
        }
        # With -s the tests' own output must not overtake progress held back.
        self._live = terminal.is_terminal or nocapture
        self._pending = b""
        self._written_at = time.monotonic()
        terminal.flush()  # what was written before goes out before the progress

    def __call__(self, path: str, name: str, args_json: str, outcome: str) -> None:
        with self._lock:
            self.counts[outcome] += 1
            if outcome == INTERRUPTED:
                return  # reported once, after the run
            if outcome == FAILED:
                self.failed.append(f"{display_path(path)}::{name}")
            self._done += 1
            if self._nocapture:
                # What the test printed comes before its progress, even through a pipe.
                sys.stdout.flush()
                sys.stderr.flush()
            if self._verbose:
                self._show_line(f"{display_path(path)}::{name}", outcome)
            else:
                self._show_character(outcome)

    def _percent(self) -> str:
        return f" [{self._done * 100 // self.total:3d}%]"

    def _show_line(self, test: str, outcome: str) -> None:
        word = outcome.upper()
        padding = " " * max(self._terminal.width - len(test) - len(word) - 1 - _PERCENT_WIDTH, 0)
        styled = self._terminal.style(word, _PROGRESS[outcome][1])
        self._terminal.write_now(
            self._terminal.encode(f"{test} {styled}{padding}{self._percent()}\n")
        )

    def _show_character(self, outcome: str) -> None:
        self._pending += self._characters[outcome]
        self._column += 1
        if self._column == self._per_line or self._done == self.total:
            ending = " " * (self._per_line - self._column) + self._percent() + "\n"
            self._pending += self._terminal.encode(ending)
            self._column = 0
        elif not self._live and time.monotonic() - self._written_at < 1:
            return
        self._write_pending()

    def _write_pending(self) -> None:
        self._terminal.write_now(self._pending)
        self._pending = b""
        self._written_at = time.monotonic()

    def finish(self) -> None:
        """Writes what is held back and ends a line that an interrupted run left open."""
        self._write_pending()
        if self._column:
            self._terminal.line()
            self._column = 0


def skip_key(result: TestResult) -> tuple[str, str, str]:
    test = result.test
    return test.path, test.name, test.args_json


def classify(results: list[TestResult], interrupted: bool) -> list[str]:
    """The outcome of each result. The core knows only pass and fail: a skip passed with its
    reason recorded by the executor, and after a Ctrl-C the tests it cut short or never
    started failed with a KeyboardInterrupt."""
    skipped = _compat.skipped
    outcomes = []
    for result in results:
        if result.passed:
            outcomes.append(SKIPPED if skipped and skip_key(result) in skipped else PASSED)
        elif interrupted and (result.error or "").startswith(
            (KeyboardInterrupt.__name__, _compat.RunInterrupted.__name__)
        ):
            outcomes.append(INTERRUPTED)
        else:
            outcomes.append(FAILED)
    return outcomes


def trimmed_traceback(traceback: str) -> str:
    """The traceback without the executor's and the import machinery's frames, which say
    nothing about the test."""
    lines = traceback.rstrip("\n").split("\n")
    kept = []
    keep = True
    for line in lines[1:]:
        if line.startswith('  File "'):
            filename = line[8 : line.find('"', 8)]
            keep = filename != _compat.__file__ and not filename.startswith("<frozen importlib")
        if keep:
            kept.append(line)
    return "\n".join([lines[0], *kept]) if kept else "\n".join(lines)


def report(
    terminal: Terminal,
    results: list[TestResult],
    outcomes: list[str],
    errors: list[CollectionError],
    durations: int | None,
) -> None:
    """Everything after the progress but the summary line."""
    failed = [
        result for result, outcome in zip(results, outcomes, strict=True) if outcome == FAILED
    ]
    if failed:
        terminal.rule("FAILURES")
        for result in failed:
            _show_failure(terminal, result)
    if errors:
        terminal.rule("ERRORS")
        for error in errors:
            terminal.rule(f"ERROR collecting {display_path(error.path)}", "_", "red", "bold")
            terminal.line(error.detail)
    if durations is not None:
        _show_durations(terminal, results, durations)
    if failed or errors:
        terminal.rule("short test summary info")
        for result in failed:
            first_line = (result.error or "").split("\n", 1)[0]
            terminal.line(f"{terminal.style('FAILED', 'red')} {result_id(result)} - {first_line}")
        for error in errors:
            show_error_line(terminal, error)
    not_run = outcomes.count(INTERRUPTED)
    if not_run or _compat._stopped:
        terminal.rule(f"Interrupted: {not_run} not run", "!", "red")


def show_error_line(terminal: Terminal, error: CollectionError) -> None:
    path = display_path(error.path)
    terminal.line(f"{terminal.style('ERROR', 'red')} {path} - {error.message}")


def _show_failure(terminal: Terminal, result: TestResult) -> None:
    terminal.rule(result_id(result), "_", "red", "bold")
    if result.traceback:
        terminal.line(trimmed_traceback(result.traceback))
    terminal.line(result.error or "failed", "red", "bold")
    for title, text in (("stdout", result.output), ("stderr", result.error_output)):
        if text:
            terminal.rule(f"Captured {title}", "-")
            terminal.write(text if text.endswith("\n") else text + "\n")


def _show_durations(terminal: Terminal, results: list[TestResult], count: int) -> None:
    slowest = sorted(results, key=lambda result: result.duration_ms, reverse=True)
    if count:
        slowest = slowest[:count]
    terminal.rule(f"slowest {count} durations" if count else "durations")
    for result in slowest:
        terminal.line(f"{result.duration_ms / 1000:8.3f}s {result_id(result)}")


def count(outcomes: list[str]) -> dict[str, int]:
    return {outcome: outcomes.count(outcome) for outcome in (PASSED, FAILED, SKIPPED, INTERRUPTED)}


def summary(counts: dict[str, int], errors: int, seconds: float) -> tuple[str, str]:
    """The last line, such as "3 passed, 1 failed in 0.42s", and its colour."""
    parts = [
        f"{number} {word}"
        for number, word in (
            (counts[PASSED], "passed"),
            (counts[FAILED], "failed"),
            (counts[SKIPPED], "skipped"),
            (errors, "error" if errors == 1 else "errors"),
            (counts[INTERRUPTED], "not run"),
        )
        if number
    ]
    text = f"{', '.join(parts) if parts else 'no tests ran'} in {seconds:.2f}s"
    if counts[FAILED] or errors:
        return text, "red"
    if counts[SKIPPED] or counts[INTERRUPTED] or not parts:
        return text, "yellow"
    return text, "green"


def report_abandoned(
    terminal: Terminal, progress: Progress, running: list[str], errors: list[CollectionError]
) -> dict[str, int]:
    """What can be said of a run given up after a Ctrl-C: the failed tests known from the
    progress, the tests still running, the collection errors. Returns the counts, where
    every test that didn't finish counts as not run."""
    terminal.rule(f"Interrupted: {len(running)} still running, not waited for", "!", "red")
    for test in running:
        terminal.line(f"running: {test}")
    for test in progress.failed:
        terminal.line(f"{terminal.style('FAILED', 'red')} {test}")
    for error in errors:
        show_error_line(terminal, error)
    counts = dict(progress.counts)
    counts[INTERRUPTED] = progress.total - counts[PASSED] - counts[FAILED] - counts[SKIPPED]
    return counts
