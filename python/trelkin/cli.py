"""The ``trelkin`` command: find the tests under the given paths, run them, report.

Exit status as pytest's: 0 all passed, 1 some failed, 2 interrupted or a usage or
collection error, 5 no tests found.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time

import trelkin
from trelkin import _compat
from trelkin._collect import Collection, UsageError, collect, display_path
from trelkin._core import TestItem, TestResult, run_tests, run_tests_sequential
from trelkin._report import (
    Progress,
    Terminal,
    classify,
    count,
    report,
    report_abandoned,
    show_error_line,
    summary,
    terminal_width,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from types import FrameType

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_INTERRUPTED = 2  # also usage and collection errors
EXIT_NO_TESTS = 5

_MAX_THREADS = 65535  # the core's cap on the pool's size
_AUTO = "auto"
# How long a parallel run may go on after a Ctrl-C before the command stops waiting.
_GRACE_SECONDS = 1.0


def _workers(text: str) -> int | str:
    """-n's value: a number of threads (0 runs in sequence), or "auto"."""
    if text == _AUTO:
        return text
    if text.isascii() and text.isdigit():
        return min(int(text), _MAX_THREADS)
    raise argparse.ArgumentTypeError(f"expected a number or 'auto', not {text!r}")


def _count(text: str) -> int:
    if text.isascii() and text.isdigit():
        return int(text)
    raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}")


def _parser() -> argparse.ArgumentParser:
    width = terminal_width(1)
    parser = argparse.ArgumentParser(
        prog="trelkin",
        # With no width given, argparse imports shutil to find it, for every option added.
        formatter_class=lambda prog: argparse.HelpFormatter(prog, width=width),
        description="Find the tests under each PATH and run them.",
        epilog="Exit status: 0 all passed, 1 some failed, 2 interrupted or a usage or "
        "collection error, 5 no tests found.",
    )
    parser.add_argument(
        "paths",
        nargs="*",
        default=["."],
        metavar="PATH",
        help="a directory, a test file, or FILE::NAME for one test or test class (default: .)",
    )
    parser.add_argument("--version", action="version", version=f"trelkin {trelkin.__version__}")
    parser.add_argument(
        "-k",
        dest="pattern",
        metavar="PATTERN",
        help="only tests whose name or path contains PATTERN, ignoring case",
    )
    parser.add_argument(
        "-s", dest="nocapture", action="store_true", help="don't capture the tests' output"
    )
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument(
        "-n",
        dest="workers",
        type=_workers,
        default=None,
        metavar="N|auto",
        help="run files in parallel on N threads (default: auto, one per processor; "
        "0 is --sequential)",
    )
    mode.add_argument(
        "--sequential", action="store_true", help="run the tests one after another, on this thread"
    )
    parser.add_argument(
        "--collect-only", action="store_true", help="list the tests found, run nothing"
    )
    verbosity = parser.add_mutually_exclusive_group()
    verbosity.add_argument(
        "-q", dest="verbosity", action="store_const", const=-1, default=0, help="less output"
    )
    verbosity.add_argument(
        "-v", dest="verbosity", action="store_const", const=1, help="one line per test"
    )
    parser.add_argument("--junitxml", metavar="FILE", help="write a JUnit XML report to FILE")
    parser.add_argument(
        "--durations",
        type=_count,
        metavar="N",
        help="show the N slowest tests (0 for all)",
    )
    parser.add_argument(
        "--color",
        choices=("auto", "yes", "no"),
        default="auto",
        help="colour the output (default: auto, on a terminal unless NO_COLOR is set)",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    started = time.perf_counter()
    parser = _parser()
    options = parser.parse_args(argv)
    terminal = Terminal(_use_color(options.color))
    try:
        return _session(options, terminal, started)
    except UsageError as error:
        terminal.flush()
        parser.error(str(error))
    except KeyboardInterrupt:
        terminal.line()
        terminal.line(f"interrupted in {time.perf_counter() - started:.2f}s", "red")
        return EXIT_INTERRUPTED
    finally:
        terminal.flush()


def _use_color(choice: str) -> bool:
    if choice != "auto":
        return choice == "yes"
    return not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb" and os.isatty(1)


def _session(options: argparse.Namespace, terminal: Terminal, started: float) -> int:
    sequential = options.sequential or options.workers == 0
    if not sequential:
        # Before discovery, which already uses the pool: the pool reads its size once.
        if options.workers == _AUTO:
            os.environ.pop("RAYON_NUM_THREADS", None)
        elif options.workers is not None:
            os.environ["RAYON_NUM_THREADS"] = str(options.workers)
    collected_at = time.perf_counter()
    collection = collect(options.paths, options.pattern)
    seconds = time.perf_counter() - collected_at
    if options.collect_only:
        return _list(terminal, collection, _collected(collection, seconds))
    if options.verbosity >= 0:
        _show_header(terminal, options.paths, sequential)
        terminal.line(_collected(collection, seconds))
    errors = collection.errors
    if not collection.items:
        report(terminal, [], [], errors, None)
        _show_summary(terminal, count([]), len(errors), started)
        return EXIT_INTERRUPTED if errors else EXIT_NO_TESTS

    progress = Progress(terminal, len(collection.items), options.verbosity > 0, options.nocapture)
    results = _run(collection.items, options.nocapture, sequential, progress)
    progress.finish()
    if results is None:
        counts = report_abandoned(terminal, progress, _running_tests(), errors)
        _show_summary(terminal, counts, len(errors), started)
        terminal.flush()
        # The threads still running tests can't be stopped; leaving at once spares the
        # interpreter's shutdown from waiting on them or pulling the ground from under them.
        os._exit(EXIT_INTERRUPTED)
    interrupted = _compat._stopped
    outcomes = classify(results, interrupted)
    report(terminal, results, outcomes, errors, options.durations)
    seconds = _show_summary(terminal, count(outcomes), len(errors), started)
    if options.junitxml:
        from trelkin import _junit

        try:
            _junit.write(
                options.junitxml, results, outcomes, errors, seconds, time.time() - seconds
            )
        except OSError as error:
            print(f"trelkin: cannot write {options.junitxml}: {error}", file=sys.stderr)
            return EXIT_INTERRUPTED
    if interrupted or errors:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if _compat.FAILED in outcomes else EXIT_OK


def _show_summary(terminal: Terminal, counts: dict[str, int], errors: int, started: float) -> float:
    """Writes the last line; returns the seconds since the start."""
    seconds = time.perf_counter() - started
    text, colour = summary(counts, errors, seconds)
    terminal.line(text, colour)
    return seconds


def _show_header(terminal: Terminal, paths: list[str], sequential: bool) -> None:
    version = sys.version.split(" ", 1)[0]
    terminal.rule("trelkin session starts", "=", "bold")
    terminal.line(f"trelkin {trelkin.__version__}, Python {version} ({sys.executable})")
    directories = [
        os.path.abspath(p if os.path.isdir(p) else os.path.dirname(p) or ".")
        for p in (path.partition("::")[0] for path in paths)
    ]
    terminal.line(f"root: {os.path.commonpath(directories)}")
    if sequential:
        terminal.line("workers: 1 (sequential)")
    else:
        terminal.line(f"workers: {_pool_size()} threads (parallel, by file)")


def _pool_size() -> int:
    """The size the core will give its pool, by its rule over the same variables."""
    fallback = os.cpu_count() or 1
    threads = _thread_count(os.environ.get("RAYON_NUM_THREADS"))
    if threads is not None:
        return min(threads or fallback, _MAX_THREADS)
    cpus = _thread_count(os.environ.get("RAYON_RS_NUM_CPUS"))
    return min(cpus or fallback, _MAX_THREADS)


def _thread_count(text: str | None) -> int | None:
    if text is None:
        return None
    digits = text.removeprefix("+")
    if not (digits.isascii() and digits.isdigit()) or int(digits) >= 1 << 64:
        return None
    return int(digits)


def _collected(collection: Collection, seconds: float) -> str:
    tests = f"{len(collection.items)} test{'s' * (len(collection.items) != 1)}"
    num_files = collection.count_files()
    files = f"{num_files} file{'s' * (num_files != 1)}"
    return f"collected {tests} in {files} ({seconds:.2f}s)"


def _list(terminal: Terminal, collection: Collection, collected: str) -> int:
    """--collect-only: one test id a line, then the collection errors and the count."""
    for item in collection.items:
        terminal.line(f"{display_path(item.path)}::{item.name}")
    for error in collection.errors:
        show_error_line(terminal, error)
    terminal.line(collected)
    if collection.errors:
        return EXIT_INTERRUPTED
    return EXIT_OK if collection.items else EXIT_NO_TESTS


def _run(
    items: list[TestItem], nocapture: bool, sequential: bool, progress: Progress
) -> list[TestResult] | None:
    """Runs the tests with progress shown and Ctrl-C handled (see ``_Interrupts``). None
    for a parallel run given up after a Ctrl-C."""
    interrupts = _Interrupts()
    previous = signal.signal(signal.SIGINT, interrupts.handle)
    _compat._report = progress
    try:
        if sequential:
            return run_tests_sequential(items, nocapture=nocapture)
        return _in_thread(lambda: run_tests(items, nocapture=nocapture), interrupts)
    finally:
        _compat._report = None
        signal.signal(signal.SIGINT, previous)


class _Interrupts:
    """The SIGINT handler while tests run.

    The first Ctrl-C stops the run: no further test starts (the executor raises in its
    place), and a KeyboardInterrupt is raised in each test now running: at once in this
    thread (a sequential run, where the signal also cuts a sleep short), and
    asynchronously in the pool's threads (a parallel run, where it takes effect at the
    test's next Python instruction). The run then returns and the command reports what
    finished. A second Ctrl-C ends the process at once.
    """

    def __init__(self) -> None:
        self.at: float | None = None  # time.monotonic() of the first Ctrl-C

    def handle(self, signum: int, frame: FrameType | None) -> None:
        if self.at is not None:
            os.write(2, b"\ntrelkin: interrupted twice, exiting at once\n")
            os._exit(EXIT_INTERRUPTED)
        self.at = time.monotonic()
        _compat.stop()
        if _executor_frame(frame) is not None:
            raise KeyboardInterrupt
        _interrupt_test_threads()


def _in_thread(
    call: Callable[[], list[TestResult]], interrupts: _Interrupts
) -> list[TestResult] | None:
    """Makes the call on another thread. A parallel run holds its calling thread in native
    code until it ends, and Python runs signal handlers only on the main thread, so the
    main thread waits here instead, ready to take a Ctrl-C. Gives up (None) when the run
    goes on for more than a second after a Ctrl-C: a test in a blocking call, such as a
    long sleep, sees the KeyboardInterrupt only when the call returns."""
    outcome: list[list[TestResult]] = []
    failure: list[BaseException] = []

    def target() -> None:
        try:
            outcome.append(call())
        except BaseException as error:
            failure.append(error)

    thread = threading.Thread(target=target, name="trelkin-run", daemon=True)
    thread.start()
    # In steps, so that a signal the kernel gave to another thread is still seen soon.
    while thread.is_alive():
        thread.join(0.1)
        if interrupts.at is not None and time.monotonic() - interrupts.at > _GRACE_SECONDS:
            return None
    if failure:
        raise failure[0]
    return outcome[0]


def _executor_frame(frame: FrameType | None) -> FrameType | None:
    """The executor's frame below ``frame``, if it runs inside a test."""
    executor = _compat._execute_test.__code__
    while frame is not None and frame.f_code is not executor:
        frame = frame.f_back
    return frame


def _test_threads() -> dict[int, FrameType]:
    """The executor's frame in each other thread that runs a test now."""
    frames = {
        thread_id: _executor_frame(frame)
        for thread_id, frame in sys._current_frames().items()
        if thread_id != threading.get_ident()
    }
    return {thread_id: frame for thread_id, frame in frames.items() if frame is not None}


def _interrupt_test_threads() -> None:
    running = _test_threads()
    if not running:
        return
    import ctypes

    for thread_id in running:
        ctypes.pythonapi.PyThreadState_SetAsyncExc(
            ctypes.c_ulong(thread_id), ctypes.py_object(KeyboardInterrupt)
        )


def _running_tests() -> list[str]:
    tests = [
        f"{display_path(frame.f_locals['path'])}::{frame.f_locals['name']}"
        for frame in _test_threads().values()
    ]
    return sorted(tests)
