"""What a run prints around its tests and leaves behind after them: the header, the
"collected" line, the test list of ``--collect-only``, and at the end the report sections,
the summary line, the JUnit file and the exit status."""

from __future__ import annotations

import functools
import sys
import time

import trelkin
from trelkin._outcome import Kind
from trelkin._terminal import (
    Progress,
    Terminal,
    count,
    display_path,
    error_title,
    short_summary,
    show_durations,
    show_passes,
    show_errors,
    show_failures,
    summary_text,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from trelkin._runtime import Item
    from trelkin._session import Session


def header(terminal: Terminal, session: Session, mode: str) -> None:
    settings = session.settings
    terminal.rule("test session starts", "=", "bold")
    version = sys.version.split()[0]  # platform.python_version()
    terminal.line(f"platform {sys.platform} -- Python {version}, trelkin-{trelkin.__version__}")
    terminal.line(f"rootdir: {settings.rootdir}")
    if settings.inifile is not None:
        terminal.line(f"configfile: {_relative(settings.inifile, settings.rootdir)}")
    for line in session.runtime.report_header():
        terminal.line(line)
    if mode == "sequential":
        terminal.line("workers: 1 (sequential)")
    elif mode == "processes":
        from trelkin.cli import _worker_count

        number = _worker_count(session.options)
        terminal.line(f"workers: {number} process{'es' * (number != 1)} (files in parallel)")
    else:
        import os

        from trelkin._rules import pool_size

        terminal.line(f"workers: {pool_size(os.environ)} threads (files in parallel)")


def _relative(path: object, root: object) -> str:
    import os

    return os.path.relpath(str(path), str(root))


def select(session: Session, items: list[Item]) -> list[Item]:
    from trelkin import _select

    from trelkin.cli import UsageError

    try:
        return _select.select(session, items)
    except _select.SelectionError as error:
        raise UsageError(str(error)) from None


def collected(terminal: Terminal, session: Session, items: Sequence[Item], seconds: float) -> None:
    if session.options.verbosity < 0 and not session.options.collect_only:
        return
    errors = len(session.collection_errors)
    total = len(items) + session.deselected
    text = f"collected {total} item{'s' * (total != 1)}"
    if errors:
        text += f" / {errors} error{'s' * (errors != 1)}"
    if session.deselected:
        text += f" / {session.deselected} deselected / {len(items)} selected"
    if session.options.collect_only and session.options.verbosity < 0:
        return
    terminal.line(text)
    if session.lastrun is not None:
        for status in session.lastrun.status:
            terminal.line(status)
    terminal.line()


def list_items(terminal: Terminal, session: Session, items: Sequence[Item]) -> None:
    """--collect-only: node ids with -q, file counts with -qq, else pytest's tree."""
    verbosity = session.options.verbosity
    invocation = str(session.invocation_dir)
    if verbosity <= -2:
        counts: dict[str, int] = {}
        for item in items:
            name = display_path(item.path, invocation)
            counts[name] = counts.get(name, 0) + 1
        for name, number in counts.items():
            terminal.line(f"{name}: {number}")
        return
    if verbosity == -1:
        for item in items:
            terminal.line(_displayed_nodeid(session, item.nodeid, item.path))
        return
    shown: list[str] = []
    root = session.settings.rootdir
    for item in items:
        chain = _tree(item, root)
        for depth, label in enumerate(chain):
            if depth < len(shown) and shown[depth] == label:
                continue
            shown[depth:] = [label]
            terminal.line("  " * depth + label)


class Listed:
    """A test as ``--collect-only`` lists it, collected by a worker process."""

    __slots__ = ("in_test_case", "nodeid", "path")

    def __init__(self, nodeid: str, path: str, in_test_case: bool) -> None:
        self.nodeid = nodeid
        self.path = path
        self.in_test_case = in_test_case


def in_test_case(item: Item) -> bool:
    """Whether the test is a method of a ``unittest.TestCase``."""
    import unittest

    cls = getattr(item, "cls", None)
    return isinstance(cls, type) and issubclass(cls, unittest.TestCase)


def _tree(item: Item | Listed, rootdir: object) -> list[str]:
    """The item's place in pytest's collection tree, as ``--collect-only`` prints it:
    directories (packages where they hold ``__init__.py``), the module, classes, the
    test."""
    import os

    path = os.path.abspath(item.path)
    labels = [f"<Dir {os.path.basename(str(rootdir))}>"]
    directory = str(rootdir)
    for part in os.path.relpath(os.path.dirname(path), str(rootdir)).split(os.sep):
        if part in (".", ""):
            continue
        directory = os.path.join(directory, part)
        kind = "Package" if os.path.isfile(os.path.join(directory, "__init__.py")) else "Dir"
        labels.append(f"<{kind} {part}>")
    labels.append(f"<Module {os.path.basename(path)}>")
    parts = item.nodeid.partition("[")[0].split("::")[1:]
    params = item.nodeid.partition("[")[1] + item.nodeid.partition("[")[2]
    is_case = item.in_test_case if isinstance(item, Listed) else in_test_case(item)
    for name in parts[:-1]:
        labels.append(f"<{'UnitTestCase' if is_case else 'Class'} {name}>")
    labels.append(f"<{'TestCaseFunction' if is_case else 'Function'} {parts[-1]}{params}>")
    return labels


def _displayed_nodeid(session: Session, nodeid: str, path: str) -> str:
    """A node id as the summaries show it: its file relative to where the command runs."""
    head, separator, rest = nodeid.partition("::")
    shown = _shown_path(path, str(session.invocation_dir))
    return shown + separator + rest if separator else shown


@functools.lru_cache(maxsize=4096)
def _shown_path(path: str, invocation_dir: str) -> str:
    return display_path(path, invocation_dir)


def start_progress(
    terminal: Terminal, session: Session, items: Sequence[Item],
    paths: Sequence[str] = (),
) -> None:
    """Progress over the planned items, or over files whose tests aren't known yet
    (``paths``, collected by workers)."""
    invocation = str(session.invocation_dir)
    files: dict[str, int | None] = dict.fromkeys(paths)
    for item in items:
        files[item.path] = (files.get(item.path) or 0) + 1
    names = {path: display_path(path, invocation) for path in files}
    terminal.flush()
    session.progress = Progress(
        terminal,
        [(path, number) for path, number in files.items()],
        names,
        verbosity=session.options.verbosity,
        live=session.options.capture == "no",
        estimates={path: estimated_tests(path) for path in paths},
    )


def estimated_tests(path: str) -> int:
    """A guess at a file's number of tests, before a worker has collected it: its test
    definitions, by their text."""
    try:
        with open(path, "rb") as file:
            source = file.read()
    except OSError:
        return 1
    return max(source.count(b"def test"), 1)


def finish(
    terminal: Terminal,
    session: Session,
    started: float,
    *,
    items: Sequence[Item],
    collect_only: bool = False,
) -> int:
    from trelkin.cli import session_exit_code

    options = session.options
    outcomes = [outcome for outcome in session.outcomes if outcome.kind != Kind.NOT_RUN]
    displayed = {
        outcome.nodeid: _displayed_nodeid(session, outcome.nodeid, outcome.path)
        for outcome in (*session.outcomes, *session.collection_errors)
    }
    errors = [
        (error_title(outcome, displayed[outcome.nodeid]), outcome)
        for outcome in session.collection_errors
    ]
    errors += [
        (error_title(outcome, displayed[outcome.nodeid]), outcome)
        for outcome in outcomes
        if outcome.kind == Kind.ERROR
    ]
    errors += [
        (error_title(outcome.teardown_error, displayed[outcome.nodeid]), outcome.teardown_error)
        for outcome in outcomes
        if outcome.teardown_error is not None
    ]
    failures = [
        outcome for outcome in outcomes
        if outcome.kind in (Kind.FAILED, Kind.CRASHED, Kind.TIMEOUT)
    ]
    if options.verbosity >= 0 and (session.progress is not None or collect_only):
        terminal.line()
    if options.tbstyle != "no" and not collect_only:
        show_errors(terminal, errors)
        show_failures(terminal, failures)
    elif collect_only:
        show_errors(terminal, errors)
    chars = _report_chars(options.reportchars)
    if "P" in chars and not collect_only:
        show_passes(terminal, outcomes)
    warned = 0
    if session.warnings is not None:
        session.warnings.uninstall()
        if options.disable_warnings:
            warned = session.warnings.total(outcomes)
        else:
            order = [outcome.nodeid for outcome in outcomes]  # already in planned order
            warned = session.warnings.show_summary(
                terminal, outcomes, session.invocation_dir, order=order
            )
    if options.durations is not None and not collect_only:
        show_durations(terminal, outcomes, options.durations, options.durations_min,
                       options.verbosity >= 2)
    if not options.no_summary:
        short_summary(terminal, outcomes, session.collection_errors, chars, displayed)
    seconds = time.perf_counter() - started
    counts = count(outcomes)
    counts[Kind.ERROR] = counts.get(Kind.ERROR, 0) + len(session.collection_errors)
    counts["deselected"] = session.deselected
    counts["warnings"] = warned
    if session.interrupted:
        counts[Kind.NOT_RUN] = sum(1 for o in session.outcomes if o.kind == Kind.NOT_RUN)
    if session.collection_errors and not collect_only and not options.continue_on_collection_errors:
        number = len(session.collection_errors)
        terminal.rule(
            f"Interrupted: {number} error{'s' * (number != 1)} during collection", "!", "red"
        )
    elif session.interrupted:
        terminal.rule("KeyboardInterrupt", "!", "red")
    elif session.exit_status is not None:
        terminal.rule(str(session.stop_reason), "!", "red")
    elif session.stopped_stepwise:
        terminal.rule(f"Interrupted: {session.stop_reason}", "!", "red")
    elif session.stop_reason is not None:
        terminal.rule(session.stop_reason, "!", "red")
    if collect_only:
        number = len(items)
        text = f"{number} test{'s' * (number != 1)} collected"
        if session.collection_errors:
            errs = len(session.collection_errors)
            text += f", {errs} error{'s' * (errs != 1)}"
        text += f" in {seconds:.2f}s"
        colour = "red" if session.collection_errors else "green" if number else "yellow"
        if options.verbosity >= -1:
            _summary_line(terminal, text, colour, options.verbosity)
    elif options.verbosity >= -1:
        text, colour = summary_text(counts, seconds)
        _summary_line(terminal, text, colour, options.verbosity)
    terminal.flush()
    if session.lastrun is not None:
        nodeids = [getattr(item, "nodeid", item) for item in items]
        session.lastrun.save(
            session.outcomes, session.collection_errors, nodeids, collect_only,
            session.collect_seconds,
        )
    if options.junitxml and not collect_only:
        from trelkin import _junit

        _junit.write(options.junitxml, session, seconds, time.time() - seconds)
    if collect_only:
        status = 2 if session.collection_errors else 0 if items else 5
    else:
        status = int(session_exit_code(session, len(items)))
    if session.report_log is not None:
        for error in session.collection_errors:
            session.report_log.collection_error(error)
        if session.warnings is not None:
            for entry in session.warnings.collection:
                session.report_log.warning(entry[2])
        session.report_log.finish(status)
    return status


def _summary_line(terminal: Terminal, text: str, colour: str, verbosity: int) -> None:
    if verbosity < 0:
        terminal.line(text, colour)
    else:
        terminal.rule(text, "=", colour)


def _report_chars(chars: str) -> str:
    """-r's letters with pytest's shorthands: a (all but passes), A (all), N (none)."""
    expanded = ""
    for char in chars:
        char = {"F": "f", "S": "s"}.get(char, char)
        if char == "a":
            expanded = "sxXEf"
        elif char == "A":
            expanded = "PpsxXEf"
        elif char == "N":
            expanded = ""
        elif char not in expanded:
            expanded += char
    return expanded
