"""One run of the command: everything it needs lives here, nothing in module globals.

The session collects (the files from the walk, then each file imported and its tests
collected live by the runtime), selects (node ids, -k, -m, --lf, the conftests' hooks),
runs the plan through the core (``run_tests_sequential`` file by file in order, or
``run_tests`` on the core's threads), and records one outcome per test as the executor
hands it over. The report, JUnit and the cache all read those outcomes.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from pathlib import Path

from trelkin import _compat, _core
from trelkin._collect import Found, TestFile
from trelkin._outcome import Kind, Outcome, Phase

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable, Sequence

    from trelkin._config import Settings
    from trelkin._lastrun import LastRun
    from trelkin._reportlog import ReportLog
    from trelkin._runtime import FileCollection, Item, Runtime
    from trelkin._terminal import Progress
    from trelkin._warnings import Warnings
    from trelkin._workers import WorkerPool

# How long a threaded run may go on after a Ctrl-C before the command stops waiting.
GRACE_SECONDS = 1.0


class _TestFailed(Exception):
    """Tells the core a test failed; the outcome itself is the session's record."""


class _Interrupted(KeyboardInterrupt):
    """Raised in the threads running tests by the first Ctrl-C."""


class Plan:
    """The tests to run, in order, and for each the index of the test that runs next on
    the same thread (None at the end), which tells the runtime which scopes end."""

    __slots__ = ("following", "items")

    def __init__(self, items: list[Item], following: list[int | None] | None = None) -> None:
        self.items = items
        self.following = following if following is not None else []


class SysCapture:
    """Reads what the running test wrote to the core's capture: ``sys.stdout`` is the
    test's own buffer while it runs (or, on the core's threads, a router that forwards to
    this thread's buffer). Each read returns what is new since the last."""

    __slots__ = ("_err", "_err_at", "_out", "_out_at")

    def __init__(self) -> None:
        self._out = sys.stdout
        self._err = sys.stderr
        self._out_at = self._err_at = 0

    def read(self) -> tuple[str, str]:
        return self._read_out(), self._read_err()

    def _read_out(self) -> str:
        # The buffer's position says whether anything was written, at little cost.
        if _position(self._out) == self._out_at:
            return ""
        text = _value(self._out)
        new, self._out_at = text[self._out_at :], len(text)
        return new

    def _read_err(self) -> str:
        if _position(self._err) == self._err_at:
            return ""
        text = _value(self._err)
        new, self._err_at = text[self._err_at :], len(text)
        return new


def _position(stream: object) -> int:
    try:
        return stream.tell()  # type: ignore[attr-defined]
    except Exception:
        return -1


def _value(stream: object) -> str:
    try:
        value = stream.getvalue()  # type: ignore[attr-defined]
    except Exception:
        return ""
    return value if isinstance(value, str) else ""


class NoCapture:
    __slots__ = ()

    def read(self) -> tuple[str, str]:
        return "", ""


class Session:
    def __init__(
        self,
        options: argparse.Namespace,
        settings: Settings,
        runtime: Runtime,
        invocation_dir: Path,
    ) -> None:
        self.options = options
        self.settings = settings
        self.runtime = runtime
        self.invocation_dir = invocation_dir
        self.outcomes: list[Outcome] = []
        self.collection_errors: list[Outcome] = []
        self.deselected = 0
        self.plan = Plan([])
        self.progress: Progress | None = None
        self.on_outcome: Callable[[Outcome], None] | None = None
        self.stop_reason: str | None = None
        self.interrupted = False
        self.failures = 0
        self.maxfail = options.maxfail
        self.nocapture = options.capture == "no"
        self._lock = threading.Lock()
        # The test each thread runs now, by thread id: a Ctrl-C interrupts these.
        self.running: dict[int, Item] = {}
        self.lastrun: LastRun | None = None
        self.warnings: Warnings | None = None
        self.report_log: ReportLog | None = None
        # In a worker process: where events go, and the fd capture the pool started.
        self.emit: Callable[[tuple], None] | None = None  # type: ignore[type-arg]
        self.fd_capture: object | None = None
        self.process_mode = False
        self.pool: WorkerPool | None = None  # the worker processes' pool, in that mode
        # A threaded run given up after a Ctrl-C: its threads can't be stopped.
        self.abandoned = False
        self.stopped_stepwise = False
        # Set by pytest.exit() in a test: the run's exit status.
        self.exit_status: int | None = None
        self.collected_ids: list[str] = []
        self.collected_by_path: dict[str, list[str]] = {}
        # With --collect-only in worker processes: per file, whether each test listed is a
        # TestCase method.
        self.listed_cases: dict[str, list[bool]] = {}
        # The seconds each file's collection (its import above all) took, by node id path,
        # here or in the worker that collected it: part of the file's recorded duration.
        self.collect_seconds: dict[str, float] = {}
        self.worker_errors: list[str] = []

    # ---- collection ------------------------------------------------------------------

    def collect(self, found: Found) -> list[Item]:
        """Imports and collects each file, keeping the tests its selectors name. A file that
        can't be collected gives one collection error."""
        self.collection_errors += found.errors
        items: list[Item] = []
        for test_file in found.files:
            collected = self._collect_file(test_file)
            if collected.error is not None:
                self._collection_outcome(collected.error)
                continue
            items += select_by_selectors(collected.items, test_file)
        return items

    def _collect_file(self, test_file: TestFile) -> FileCollection:
        began = time.perf_counter()
        try:
            if self.warnings is None:
                return self.runtime.collect_file(test_file.path, test_file.nodeid_path)
            with self.warnings.capture():
                return self.runtime.collect_file(test_file.path, test_file.nodeid_path)
        finally:
            self.collect_seconds[test_file.nodeid_path] = time.perf_counter() - began

    def _collection_outcome(self, outcome: Outcome) -> None:
        if outcome.kind == Kind.SKIPPED:
            self.outcomes.append(outcome)
            if self.report_log is not None:
                self.report_log.collection_error(outcome)
        else:
            self.collection_errors.append(outcome)

    # ---- running ---------------------------------------------------------------------

    def run(self, items: list[Item], mode: str) -> None:
        """Runs the plan in this process: "sequential" file after file on this thread, or
        "threads" on the core's pool."""
        self.plan = Plan(items, _following(items, by_file=mode == "threads"))
        token = id(self)
        _compat.runs[token] = self
        core_items = [_core_item(item, token, index) for index, item in enumerate(items)]
        previous = signal.getsignal(signal.SIGINT)
        signal.signal(signal.SIGINT, self._on_interrupt)
        watch = _ProcessWatch(self)
        try:
            if mode == "sequential":
                self._run_sequential(core_items)
            else:
                self._run_threads(core_items)
        finally:
            watch.close()
            signal.signal(signal.SIGINT, previous)
            del _compat.runs[token]

    def _run_sequential(self, core_items: list[_core.TestItem]) -> None:
        # File by file, in order, so that a failure reproduces and -x stops soon.
        start = 0
        while start < len(core_items):
            end = start + 1
            while end < len(core_items) and core_items[end].path == core_items[start].path:
                end += 1
            _core.run_tests_sequential(core_items[start:end], nocapture=self.nocapture)
            start = end

    def _run_threads(self, core_items: list[_core.TestItem]) -> None:
        """The core's parallel runner holds its calling thread in native code until it ends,
        and Python runs signal handlers only on the main thread: the main thread waits
        here instead, ready for a Ctrl-C."""
        failure: list[BaseException] = []

        def target() -> None:
            try:
                _core.run_tests(core_items, nocapture=self.nocapture)
            except BaseException as error:
                failure.append(error)

        thread = threading.Thread(target=target, name="trelkin-run", daemon=True)
        thread.start()
        interrupted_at = None
        while thread.is_alive():
            thread.join(0.1)
            if self.interrupted:
                interrupted_at = interrupted_at or time.monotonic()
                if time.monotonic() - interrupted_at > GRACE_SECONDS:
                    # A test in a blocking call can't be interrupted: stop waiting for it.
                    self._abandon_running()
                    return
        if failure:
            raise failure[0]

    def _abandon_running(self) -> None:
        self.abandoned = True
        with self._lock:
            running = list(self.running.values())
            self.running.clear()
        for item in running:
            self._record(_not_run(item, "still running when the run was interrupted"))

    def _on_interrupt(self, signum: int, frame: object) -> None:
        if self.interrupted:
            raise KeyboardInterrupt  # the second Ctrl-C: the command reports and leaves
        self.interrupted = True
        self.stop_reason = "KeyboardInterrupt"
        main = threading.main_thread().ident
        if main in self.running:
            raise _Interrupted
        _interrupt_threads([ident for ident in self.running if ident != main])

    # ---- worker processes --------------------------------------------------------------

    def run_processes(self, found: Found, count: int, select: Callable[[list[Item]], list[Item]],
                      durations: dict[str, float]) -> None:
        """Runs each file in a worker process: this process imports no test module; the
        workers collect, select and run, and send their outcomes back. Files go out
        longest recorded duration first, then in path order."""
        from trelkin._workers import Job, WorkerPool

        self._select_in_worker = select
        order = sorted(
            found.files, key=lambda file: (-durations.get(file.nodeid_path, 0.0), file.path)
        )
        jobs = [Job(test_file.path, payload=test_file) for test_file in order]
        self.process_mode = True
        count = max(1, min(count, len(jobs)))
        capture = "no" if self.nocapture else "fd" if self.options.capture == "fd" else "sys"
        self.pool = WorkerPool(
            count,
            worker_main=self._worker_main,
            # --max-worker-restart counts crashes in all, as pytest-xdist's does; without
            # it, four per worker.
            max_restarts=4,
            total_restarts=self.options.max_worker_restart,
            timeout=self.options.timeout,
            capture=capture,
        )
        previous = signal.getsignal(signal.SIGINT)
        signal.signal(signal.SIGINT, self._on_interrupt_processes)
        try:
            self.pool.run(jobs, self._on_worker_event)
        except KeyboardInterrupt:
            self.interrupted = True
        finally:
            signal.signal(signal.SIGINT, previous)

    def _on_interrupt_processes(self, signum: int, frame: object) -> None:
        self.interrupted = True
        self.stop_reason = "KeyboardInterrupt"
        self.pool.stop()

    def _on_worker_event(self, event: tuple) -> None:  # type: ignore[type-arg]
        kind = event[0]
        if kind == "collected":
            _, path, nodeids, error = event
            if self.progress is not None:
                from trelkin._terminal import display_path

                self.progress.add_file(path, len(nodeids), display_path(path, str(self.invocation_dir)))
            if error is not None:
                self._collection_outcome(Outcome.from_dict(error))
            self.collected_ids += nodeids
            self.collected_by_path[path] = nodeids
        elif kind == "outcome":
            data = event[1]
            outcome = data if isinstance(data, Outcome) else Outcome.from_dict(data)
            self._record(outcome)
            if self.stop_reason is not None and not self.interrupted:
                self.pool.stop(interrupt=False)  # -x, --maxfail: running tests end
        elif kind == "listed":
            self.listed_cases[event[1]] = event[2]
        elif kind == "collect-time":
            self.collect_seconds[event[1]] = event[2]
        elif kind == "deselected":
            self.deselected += event[1]
        elif kind == "warnings":
            if self.warnings is not None:
                self.warnings.add_collection(event[1])
        elif kind == "worker-error":
            _, path, text = event
            self.worker_errors.append(text)

    def _worker_main(self, job: object, emit: Callable[[tuple], None]) -> None:  # type: ignore[type-arg]
        """Runs inside a worker: collects the job's file, selects, runs what is left of it
        through the core and reports every event."""
        from trelkin import _fdcapture

        test_file: TestFile = job.payload  # type: ignore[attr-defined]
        self.progress = None
        self.emit = emit
        collected = self._collect_file(test_file)
        emit(("collect-time", test_file.nodeid_path, self.collect_seconds[test_file.nodeid_path]))
        error = collected.error.to_dict() if collected.error is not None else None
        if self.warnings is not None:
            warned = self.warnings.take_collection()
            if warned:
                emit(("warnings", warned))
        items = select_by_selectors(collected.items, test_file) if error is None else []
        before = self.deselected
        items = self._select_in_worker(items)
        if self.deselected != before:
            emit(("deselected", self.deselected - before))
        emit(("collected", test_file.path, [item.nodeid for item in items], error))
        if self.options.collect_only:
            # Listed, not run: what the collection tree shows of each test.
            from trelkin._report import in_test_case

            emit(("listed", test_file.path, [in_test_case(item) for item in items]))
            emit(("done", test_file.path))
            return
        skip = job.skip  # type: ignore[attr-defined]
        items = [item for item in items if item.nodeid not in skip]
        self.fd_capture = _fdcapture.active()
        self.plan = Plan(items, _following(items, by_file=False))
        # The last test of the file has no follower in this process: its scopes end.
        token = id(self)
        _compat.runs[token] = self
        try:
            core_items = [_core_item(item, token, index) for index, item in enumerate(items)]
            _core.run_tests_sequential(core_items, nocapture=self.fd_capture is not None or self.nocapture)
        finally:
            del _compat.runs[token]
        emit(("done", test_file.path))

    def execute(self, index: int) -> None:
        """Runs one planned test (called by the executor, on the thread the core gives it)."""
        item = self.plan.items[index]
        if self.stop_reason is not None:
            if self.interrupted:
                self._record(_not_run(item, "the run was interrupted"))
            return
        following = self.plan.following[index]
        next_item = self.plan.items[following] if following is not None else None
        if self.emit is not None:
            self.emit(("start", item.nodeid, item.path, item.line, _timeout(item, self.options)))
        if self.fd_capture is not None:
            capture = self.fd_capture
        else:
            capture = NoCapture() if self.nocapture else SysCapture()
        ident = threading.get_ident()
        self.running[ident] = item
        interrupted_before = self.interrupted
        # In a worker the pool enforces time limits; in this process a watchdog does.
        limit = _timeout(item, self.options) if self.emit is None else None
        dumps: list[str] = []
        try:
            if limit is None:
                outcome = self._run_item(item, next_item, capture)
            else:
                from trelkin._timeout import watchdog

                with watchdog(limit, dumps.append):
                    outcome = self._run_item(item, next_item, capture)
            if dumps:
                outcome.kind = Kind.TIMEOUT
                outcome.message = f"Timeout >{limit:g}s"
                outcome.longrepr = f"{dumps[0].rstrip()}\n\n{outcome.longrepr}".rstrip()
        except KeyboardInterrupt:
            outcome = _not_run(item, "interrupted")
        finally:
            self.running.pop(ident, None)
        if self.interrupted and not interrupted_before and outcome.kind != Kind.PASSED:
            # Cut short by the Ctrl-C, not failed of its own accord.
            outcome = _not_run(item, "interrupted")
        self._record(outcome)
        request = self.runtime.exit_request
        if request is not None and self.stop_reason is None:
            # pytest.exit(): nothing more runs, and the run ends with its status.
            message, status = request
            self.stop_reason = f"_pytest.outcomes.Exit: {message}"
            self.exit_status = 2 if status is None else status
        if outcome.failing:
            raise _TestFailed(outcome.message)

    def _run_item(self, item: Item, next_item: Item | None, capture: object) -> Outcome:
        if self.warnings is None:
            return self.runtime.run_item(item, next_item, capture)
        with self.warnings.capture(item.nodeid) as caught:
            outcome = self.runtime.run_item(item, next_item, capture)
        if caught:
            outcome.warnings = caught
        return outcome

    def _record(self, outcome: Outcome) -> None:
        if self.emit is not None:
            self.emit(("outcome", outcome.to_tuple()))
            # In a worker: the parent stops scheduling; this worker starts none of its
            # file's remaining tests once its own failures reach the limit.
            if outcome.failing and outcome.kind != Kind.NOT_RUN:
                self.failures += 1
                if self.maxfail and self.failures >= self.maxfail:
                    self.stop_reason = "maxfail"
            return
        with self._lock:
            self.outcomes.append(outcome)
            if outcome.failing and outcome.kind != Kind.NOT_RUN:
                self.failures += 1
                if self.maxfail and self.failures >= self.maxfail and self.stop_reason is None:
                    self.stop_reason = f"stopping after {self.failures} failures"
            if self.lastrun is not None and self.stop_reason is None:
                self.stop_reason = self.lastrun.stop_reason(outcome)
                # --sw stops as an interruption does (exit status 2), -x as a failure.
                self.stopped_stepwise = self.stop_reason is not None
        if self.progress is not None and outcome.kind != Kind.NOT_RUN:
            self.progress.record(outcome.path, outcome.nodeid, outcome.kind)
        if self.on_outcome is not None:
            self.on_outcome(outcome)

    def in_plan_order(self, paths: Sequence[str]) -> list[Outcome]:
        """The outcomes in the order the tests were planned (files in ``paths`` order,
        each file's tests as collected), whatever order they finished in."""
        order: dict[str, int] = {}
        if self.plan.items:
            for item in self.plan.items:
                order.setdefault(item.nodeid, len(order))
        else:
            for path in paths:
                for nodeid in self.collected_by_path.get(path, ()):
                    order.setdefault(nodeid, len(order))
        return sorted(self.outcomes, key=lambda outcome: order.get(outcome.nodeid, len(order)))

    def finish(self) -> None:
        """Session-scoped teardown, once every test has run. Its warnings are the last
        test's, as pytest shows them."""
        last = self.outcomes[-1] if self.outcomes else None
        if self.warnings is not None and last is not None:
            with self.warnings.capture(last.nodeid) as caught:
                errors = self.runtime.finish()
            if caught:
                last.warnings = [*last.warnings, *caught]
        else:
            errors = self.runtime.finish()
        self.collection_errors += errors


class _ProcessWatch:
    """While tests run in this process: a fatal signal prints every thread's traceback
    (the running tests' frames among them), and a test that ends the process with
    ``os._exit`` is named, and never leaves with status 0 before the summary."""

    def __init__(self, session: Session) -> None:
        import faulthandler

        self._session = session
        self._faulthandler_was = faulthandler.is_enabled()
        self._stderr = os.dup(2)
        faulthandler.enable(file=self._stderr, all_threads=True)
        self._real_exit = os._exit
        os._exit = self._exit  # type: ignore[assignment]

    def _exit(self, status: int) -> None:
        running = sorted(item.nodeid for item in self._session.running.values())
        named = ", ".join(running) or "a test"
        message = f"\ntrelkin: {named} ended the process with os._exit({status}) " \
                  "before the run's summary\n"
        os.write(self._stderr, message.encode("utf-8", "backslashreplace"))
        self._real_exit(status or 3)

    def close(self) -> None:
        import faulthandler

        os._exit = self._real_exit
        if self._faulthandler_was:
            faulthandler.enable(file=2, all_threads=True)
        else:
            faulthandler.disable()
        os.close(self._stderr)


def select_by_selectors(items: Sequence[Item], test_file: TestFile) -> list[Item]:
    """The items that the file's node ids on the command line name (all for a bare
    path). ``test_x`` names every parametrization of it, ``test_x[1]`` one."""
    if any(not selector for selector in test_file.selectors):
        return list(items)
    return [
        item
        for item in items
        if any(_names(item.test_name, selector) for selector in test_file.selectors)
    ]


def _names(name: str, selector: tuple[str, ...]) -> bool:
    # Parameter ids may hold "::" themselves: only the part before "[" is split.
    head, bracket, params = name.partition("[")
    parts = head.split("::")
    parts[-1] += bracket + params
    if len(selector) > len(parts):
        return False
    for index, wanted in enumerate(selector):
        part = parts[index]
        if part == wanted:
            continue
        if index == len(selector) - 1 and "[" not in wanted and part.split("[", 1)[0] == wanted:
            continue
        return False
    return True


def unmatched_selectors(items: Sequence[Item], files: Sequence[TestFile]) -> list[str]:
    """The node ids on the command line that name no test: a usage error."""
    missing = []
    by_path: dict[str, list[Item]] = {}
    for item in items:
        by_path.setdefault(item.path, []).append(item)
    for test_file in files:
        for selector in test_file.selectors:
            if selector and not any(
                _names(item.test_name, selector) for item in by_path.get(test_file.path, ())
            ):
                missing.append("::".join((test_file.nodeid_path, *selector)))
    return missing


def _following(items: Sequence[Item], by_file: bool) -> list[int | None]:
    """For each test, the index of the one that runs after it on the same thread: the next
    one of the plan, or, when files run apart, the next one of the same file."""
    following: list[int | None] = [None] * len(items)
    if not by_file:
        for index in range(len(items) - 1):
            following[index] = index + 1
        return following
    last: dict[str, int] = {}
    for index, item in enumerate(items):
        previous = last.get(item.path)
        if previous is not None:
            following[previous] = index
        last[item.path] = index
    return following


def _core_item(item: Item, token: int, index: int) -> _core.TestItem:
    core = _core.TestItem()
    # The core groups by this text and sorts by it; the real path stays in the item (a
    # name that isn't UTF-8 can't cross into the core as it is).
    core.path = item.path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    core.name = item.test_name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    core.line_no = max(item.line, 0)
    core.args_json = f"@{token}/{index}"
    return core


def _timeout(item: Item, options: argparse.Namespace) -> float | None:
    """A test's time limit: its timeout mark, else --timeout or the ini value."""
    marked = getattr(item, "timeout", None)
    if marked is not None:
        return marked
    return options.timeout


def _not_run(item: Item, reason: str) -> Outcome:
    return Outcome(item.nodeid, item.path, item.line, Kind.NOT_RUN, Phase.CALL, message=reason)


def _interrupt_threads(idents: Sequence[int]) -> None:
    if not idents:
        return
    import ctypes

    for ident in idents:
        ctypes.pythonapi.PyThreadState_SetAsyncExc(
            ctypes.c_ulong(ident), ctypes.py_object(_Interrupted)
        )


def pool_size() -> int:
    """The size the core gives its pool, by its rule over the same variables."""
    from trelkin._rules import pool_size as rule

    return rule(os.environ)
