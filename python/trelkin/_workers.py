"""A supervised pool of worker processes that run test files, one file at a time each.

::

    pool = WorkerPool(count, worker_main=run_file, max_restarts=4, timeout=None)
    pool.run(jobs, on_event)   # returns when every job is done, or after stop()
    pool.stop()                # Ctrl-C: see below
    pool.stop(interrupt=False) # -x, --maxfail: the running tests finish, no other starts

``jobs`` is a list of ``Job`` in scheduling order; whichever worker is free takes the next
one, and a file stays whole on one worker. While the queue is longer than the pool, each
worker also holds the file after its current one, so it never waits for the parent
between files; a worker that dies gives both back. ``worker_main(job, emit)`` runs inside the
worker: it imports and collects ``job.path``, runs its tests except the node ids in
``job.skip``, and calls ``emit(event)`` for each of these events::

    ("collected", path, [nodeid, ...], collection_error_dict_or_None)
    ("start", nodeid, path, line, timeout_seconds_or_None)
    ("outcome", outcome)               # ``Outcome.to_tuple()``, or ``to_dict()``
    ("done", path)

The pool carries the events to the parent and calls ``on_event`` with each, in the thread
that called ``run`` (the main thread, which must also be the one that made the pool). It
adds events of its own:

- ``("outcome", dict)`` of kind ``crashed`` for the test a worker was running when it died
  (a signal, ``os._exit`` with any status, an abort, the OOM killer), with what the test
  wrote (when the pool captures fds) and the faulthandler traceback. The worker is
  replaced and the rest of the file resumes on the new one (a ``Job`` whose ``skip`` holds
  every test already reported). A worker that dies while importing a file gives
  ``("collected", path, [], error_dict)`` and ``("done", path)`` instead.
- ``("outcome", dict)`` of kind ``timeout`` for a test that ran past its time (the
  "start" event's value, else the pool's ``timeout``), with the traceback of every thread
  at that moment; its worker is killed and replaced as after a crash.
- ``("outcome", dict)`` of kind ``not run`` for a test still running when ``stop`` had to
  kill its worker.
- ``("worker-error", path_or_None, text)`` for a failure no test can carry: ``worker_main``
  raised, a worker died outside any test, or the pool stopped because workers crashed
  more than ``max_restarts * count`` times, or ``total_restarts`` when given (pytest-xdist's
  ``--max-worker-restart``, a total); the rest of the jobs are not run.

A resumed file's second "collected" event is not passed on: ``on_event`` sees one per
file. In each worker ``PYTEST_XDIST_WORKER`` is its name (``gw0``, ``gw1``, ...; a
replacement keeps the name of the worker it replaces) and ``PYTEST_XDIST_WORKER_COUNT``
the pool's size, as test suites written for pytest-xdist expect.

``stop()`` (from a SIGINT handler, or any thread) stops scheduling, sends SIGINT to the
workers (a ``KeyboardInterrupt`` in each running test; a worker that got one starts no
further test), waits at most ``GRACE_SECONDS`` for them to end, then kills them. A second
``stop()`` kills them at once. ``stop(interrupt=False)`` stops scheduling and lets each
running test finish: the worker's next "start" raises ``KeyboardInterrupt`` in
``worker_main`` instead (a SIGUSR2 tells it, so a worker between two tests may begin one
more before it arrives); an interrupting ``stop()`` may follow. A ``KeyboardInterrupt``
raised in ``run`` itself does the same as ``stop()`` and is raised again once the workers
are gone.

Workers are forks of the calling process (call ``run`` after collection, so each starts
with the session's state but none of the test modules), each in its own process group,
killed if the parent dies, with stdin on /dev/null. With ``capture="fd"`` the pool starts
an ``FdCapture`` in each worker (``trelkin._fdcapture.active()`` gives it to
``worker_main``); with "sys" or "no" fds 1 and 2 are left alone.
"""

from __future__ import annotations

import os
import select
import signal
import sys
import time
import warnings
from collections import deque

from trelkin import _fdcapture
from trelkin._outcome import Kind, Outcome, Phase
from trelkin._worker_process import (
    CANCEL,
    CANCELLED,
    EVENT,
    EXITING,
    FAILED,
    FINISHED,
    HEADER,
    START,
    Job,
    encode,
    loads,
    run_worker,
    write_all,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    from trelkin._worker_process import Emit, Event

# How long stop() lets interrupted workers take to end before killing them.
GRACE_SECONDS = 1.0
# How long a timed-out worker gets to write its threads' tracebacks before it is killed.
_DUMP_SECONDS = 1.0

# After a wake-up for messages the parent waits this long before reading, so that one
# read takes many. A write that has to wake a sleeping reader costs a worker several times
# what one to a reader that is awake does.
_COALESCE_SECONDS = 0.0005
_READ_SIZE = 1 << 20


class _Running:
    """The test a worker reported starting and not yet finishing."""

    __slots__ = ("line", "nodeid", "offsets", "path", "started", "timeout")

    def __init__(
        self, nodeid: str, path: str, line: int, started: float, timeout: float | None,
        offsets: tuple[int, int],
    ) -> None:
        self.nodeid = nodeid
        self.path = path
        self.line = line
        self.started = started  # time.monotonic() in the parent
        self.timeout = timeout
        self.offsets = offsets

    @property
    def deadline(self) -> float | None:
        return None if self.timeout is None else self.started + self.timeout


class _FileState:
    """What the parent knows of one file across the workers that ran it."""

    __slots__ = ("collected", "job", "names", "reported")

    def __init__(self, job: Job) -> None:
        self.job = job
        self.reported: set[str] = set()
        self.collected = False
        # The node ids the file's collection reported, each as the one string the parent
        # keeps of it: its outcomes take these rather than copies of their own.
        self.names: dict[str, str] = {}


class _Worker:
    __slots__ = (
        "buffer", "captured", "dump", "ending", "events", "file", "generation", "interrupted",
        "jobs", "lifeline", "name", "pid", "pidfd", "queued", "retracting", "running",
    )

    def __init__(
        self, name: str, generation: int, pid: int, events: int, jobs: int, pidfd: int | None,
        dump: int, captured: tuple[int, int] | None, lifeline: int,
    ) -> None:
        self.name = name
        self.generation = generation
        self.pid = pid
        self.events = events  # read end of the worker's messages
        self.jobs = jobs  # write end of the jobs sent to it
        # The write end of the pipe whose end kills the worker: closed once it is gone.
        self.lifeline = lifeline
        self.pidfd = pidfd
        self.dump = dump  # the file faulthandler writes the worker's tracebacks to
        self.captured = captured  # the files its fds 1 and 2 go to, when captured
        self.file: _FileState | None = None
        self.queued: _FileState | None = None  # sent ahead, to run after ``file``
        self.retracting = False  # a CANCEL follows the file sent last
        self.running: _Running | None = None
        self.buffer = bytearray()
        # Why the pool made it end, if it did: "exit", "timeout" or "stopped".
        self.ending: str | None = None
        self.interrupted = False

    def files(self) -> list[int]:
        """The files the parent keeps to read after the worker is gone."""
        return [self.dump, *(self.captured or ())]


class WorkerPool:
    def __init__(
        self,
        count: int,
        *,
        worker_main: Callable[[Job, Emit], None],
        max_restarts: int = 4,
        total_restarts: int | None = None,
        timeout: float | None = None,
        capture: str = "fd",
    ) -> None:
        if count < 1:
            raise ValueError(f"a pool needs at least one worker, not {count}")
        if capture not in ("fd", "sys", "no"):
            raise ValueError(f"capture must be 'fd', 'sys' or 'no', not {capture!r}")
        self.count = count
        self.worker_main = worker_main
        self.restart_limit = max_restarts * count if total_restarts is None else total_restarts
        self.timeout = timeout if timeout and timeout > 0 else None
        self.capture = capture
        self._stop_requests = 0
        self._finish_requested = False
        # Workers that had said all they would and were still ending when ``run``
        # returned: their pids, and the files to close once they are gone.
        self._exiting: list[tuple[int, list[int]]] = []
        self._wake: tuple[int, int] | None = None

    def stop(self, *, interrupt: bool = True) -> None:
        """Safe in a signal handler: the loop in ``run`` does the work."""
        if interrupt:
            self._stop_requests += 1
        else:
            self._finish_requested = True
        if self._wake is not None:
            try:
                os.write(self._wake[1], b"!")
            except OSError:
                pass  # a full pipe wakes the loop just as well

    def run(self, jobs: list[Job], on_event: Callable[[Event], None]) -> None:
        """Runs the jobs; may return while the last workers' processes are still ending
        (``wait_exited`` waits for them)."""
        self.wait_exited()
        if not jobs:
            return
        run = _Run(self, on_event)
        try:
            run.loop(deque(_FileState(job) for job in jobs))
        except KeyboardInterrupt:
            self.stop()
            run.finish_after_interrupt()
            raise
        finally:
            run.close()

    def wait_exited(self) -> None:
        """Waits for the workers of the last run that were still ending when it returned."""
        while self._exiting:
            pid, files = self._exiting.pop()
            os.waitpid(pid, 0)
            for fd in files:
                os.close(fd)


class _Run:
    """The state of one ``WorkerPool.run``."""

    def __init__(self, pool: WorkerPool, on_event: Callable[[Event], None]) -> None:
        self.pool = pool
        self.on_event = on_event
        self.workers: dict[int, _Worker] = {}  # by pid
        self.by_fd: dict[int, tuple[_Worker, str]] = {}
        self.poller = select.poll()
        self.queue: deque[_FileState] = deque()
        self.restarts = 0
        self.restart_limit = pool.restart_limit
        self.draining = False  # no new jobs: the restart limit was reached
        self.finishing = False  # no new jobs or tests: stop(interrupt=False)
        self.stop_seen = 0
        self.stop_deadline: float | None = None
        self.leaving: list[_Worker] = []  # told to exit and done: waited for at the end
        self.wake = os.pipe()
        os.set_blocking(self.wake[0], False)
        os.set_blocking(self.wake[1], False)
        self.poller.register(self.wake[0], select.POLLIN)
        pool._wake = self.wake
        pool._stop_requests = 0
        pool._finish_requested = False

    # -- the loop

    def loop(self, queue: deque[_FileState]) -> None:
        self.queue = queue
        started = [
            self.spawn(f"gw{index}", 0, self.queue.popleft())
            for index in range(min(self.pool.count, len(queue)))
        ]
        for worker in started:  # once each has its first file
            self.send_ahead(worker)
        while self.workers:
            self.poll_once()

    def poll_once(self) -> None:
        self.check_stop()
        if not self.workers:
            return  # all killed by the stop
        timeout = self.next_deadline()
        wait_ms = -1 if timeout is None else max(0, int((timeout - time.monotonic()) * 1000) + 1)
        ready = self.poller.poll(wait_ms)
        if any(self.by_fd.get(fd, (None, ""))[1] == "events" for fd, _ in ready):
            time.sleep(_COALESCE_SECONDS)
        for fd, _mask in ready:
            if fd == self.wake[0]:
                _drain(fd)
                continue
            entry = self.by_fd.get(fd)
            if entry is None:
                continue
            worker, role = entry
            if role == "events":
                self.read_events(worker)
            else:
                self.reap(worker)
        self.check_timeouts()
        self.retract_queued()

    def next_deadline(self) -> float | None:
        deadlines = [self.stop_deadline] if self.stop_deadline is not None else []
        for worker in self.workers.values():
            if worker.running is not None and worker.ending is None:
                deadline = worker.running.deadline
                if deadline is not None:
                    deadlines.append(deadline)
        return min(deadlines, default=None)

    def finish_after_interrupt(self) -> None:
        """Winds the workers down after a KeyboardInterrupt in the loop; a second one
        kills them at once."""
        try:
            while self.workers:
                self.poll_once()
        except KeyboardInterrupt:
            self.pool.stop()
            self.check_stop()

    # -- starting workers and giving them files

    def spawn(self, name: str, generation: int, file: _FileState) -> _Worker:
        events_read, events_write = os.pipe()
        jobs_read, jobs_write = os.pipe()
        lifeline_read, lifeline_write = os.pipe()
        dump = _fdcapture.unnamed_file()
        captured = _fdcapture.capture_files() if self.pool.capture == "fd" else None
        for stream in (sys.stdout, sys.stderr):
            _flush(stream)  # or the child would write the parent's buffered text again
        inherited = [self.wake[0], self.wake[1], events_read, jobs_write, lifeline_write, *self.by_fd]
        others = [*self.workers.values(), *self.leaving]
        inherited += [fd for other in others for fd in other.files()]
        inherited += [other.lifeline for other in others]
        parent = os.getpid()
        # Held until the child has its handlers: the parent's (or the default, which
        # kills) must never run in it.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGUSR2})
        try:
            with warnings.catch_warnings():
                # The process may run threads of its own (the core's pool); the child
                # touches none of their state.
                warnings.simplefilter("ignore", DeprecationWarning)
                pid = os.fork()
        except OSError:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            for fd in (
                events_read, events_write, jobs_read, jobs_write, lifeline_read, lifeline_write,
                dump, *(captured or ()),
            ):
                os.close(fd)
            raise
        if pid == 0:
            run_worker(  # never returns; restores the signal mask once its handlers are set
                name=name,
                count=self.pool.count,
                job=file.job,
                jobs_fd=jobs_read,
                events_fd=events_write,
                close=inherited,
                dump=dump,
                captured=captured,
                worker_main=self.pool.worker_main,
                lifeline=lifeline_read,
                parent=parent,
                blocked=blocked,
            )
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        os.close(events_write)
        os.close(jobs_read)
        os.close(lifeline_read)
        try:
            os.setpgid(pid, pid)
        except OSError:
            pass  # the child did it first, or is gone already
        os.set_blocking(events_read, False)
        pidfd = _pidfd(pid)
        worker = _Worker(
            name, generation, pid, events_read, jobs_write, pidfd, dump, captured, lifeline_write
        )
        worker.file = file
        self.workers[pid] = worker
        self.by_fd[events_read] = (worker, "events")
        self.poller.register(events_read, select.POLLIN)
        if pidfd is not None:
            self.by_fd[pidfd] = (worker, "exit")
            self.poller.register(pidfd, select.POLLIN)
        return worker

    def give_next(self, worker: _Worker) -> None:
        worker.file = None
        if self.queue and self.scheduling():
            worker.file = self.queue.popleft()
            _send(worker.jobs, worker.file.job)
        else:
            self.dismiss(worker)

    def send_ahead(self, worker: _Worker) -> None:
        """Sends the worker the file after its current one, while the queue is long."""
        if (
            worker.queued is None
            and worker.ending is None
            and len(self.queue) > self.pool.count
            and self.scheduling()
        ):
            worker.queued = self.queue.popleft()
            _send(worker.jobs, worker.queued.job)

    def retract_queued(self) -> None:
        """Once nothing more is to be scheduled, takes back the files sent ahead."""
        if self.scheduling():
            return
        for worker in self.workers.values():
            if worker.queued is not None and not worker.retracting and worker.ending is None:
                worker.retracting = True
                _send(worker.jobs, CANCEL)

    def finished(self, worker: _Worker) -> None:
        """The worker ended its file; the one sent ahead, if any, is now its current."""
        if worker.queued is None:
            worker.retracting = False  # a CANCEL came too late: that file ran
            self.give_next(worker)
            return
        worker.file, worker.queued = worker.queued, None
        if worker.retracting:
            return  # CANCELLED, or the file's run, tells which
        if self.scheduling():
            self.send_ahead(worker)
        else:
            worker.retracting = True
            _send(worker.jobs, CANCEL)

    def dismiss(self, worker: _Worker) -> None:
        if worker.ending is None:
            worker.ending = "exit"
            _send(worker.jobs, None)

    # -- messages

    def read_events(self, worker: _Worker) -> None:
        """Reads what is there; at the end of the stream, waits for the process."""
        while True:
            try:
                data = os.read(worker.events, _READ_SIZE)
            except BlockingIOError:
                return
            if not data:
                self.poller.unregister(worker.events)
                self.by_fd.pop(worker.events, None)
                if worker.pidfd is None:
                    self.reap(worker)
                return
            worker.buffer += data
            self.dispatch(worker)
            if len(data) < _READ_SIZE:
                return

    def dispatch(self, worker: _Worker) -> None:
        buffer = worker.buffer
        start = 0
        while len(buffer) - start >= HEADER.size:
            (size,) = HEADER.unpack_from(buffer, start)
            end = start + HEADER.size + size
            if len(buffer) < end:
                break
            message = loads(buffer[start + HEADER.size : end])
            start = end
            self.handle(worker, message)
        del buffer[:start]

    def handle(self, worker: _Worker, message: tuple[Any, ...]) -> None:
        if worker.ending == "timeout":
            return  # sent after its time was up: the timeout is what counts
        tag = message[0]
        if tag == START:
            event = message[1]
            _, nodeid, path, line, timeout = event
            limit = timeout if timeout is not None else self.pool.timeout
            worker.running = _Running(
                nodeid, path, line, time.monotonic(), limit if limit and limit > 0 else None,
                tuple(message[2]),
            )
            self.on_event(event)
        elif tag == EVENT:
            self.handle_event(worker, message[1])
        elif tag == FINISHED:
            self.finished(worker)
        elif tag == CANCELLED:
            worker.retracting = False
            if worker.file is not None:
                self.queue.appendleft(worker.file)
            self.give_next(worker)
        elif tag == EXITING:
            if worker.ending == "exit" and worker.file is None and worker.running is None:
                self.let_go(worker)
        elif tag == FAILED:
            path = worker.file.job.path if worker.file else None
            self.on_event(
                ("worker-error", path, f"worker '{worker.name}' failed running {path}:\n{message[1]}")
            )
            self.finished(worker)

    def handle_event(self, worker: _Worker, event: Event) -> None:
        kind = event[0]
        file = worker.file
        if kind == "outcome":
            record = event[1]  # an Outcome's tuple form, or its dict form
            if isinstance(record, tuple):
                record = Outcome.from_tuple(record)
                if file is not None:
                    # The parent keeps every outcome of the run: a hundred thousand tests'
                    # worth of node ids and paths held twice would show.
                    record.nodeid = file.names.get(record.nodeid, record.nodeid)
                    if record.path == file.job.path:
                        record.path = file.job.path
                event = ("outcome", record)
            nodeid = record.nodeid if isinstance(record, Outcome) else record["nodeid"]
            if worker.running is not None and worker.running.nodeid == nodeid:
                worker.running = None
            if file is not None:
                file.reported.add(nodeid)
        elif kind == "collected" and file is not None:
            if file.collected:
                return
            file.collected = True
            file.names = {nodeid: nodeid for nodeid in event[2]}
        self.on_event(event)

    # -- ends of workers

    def reap(self, worker: _Worker) -> None:
        """The worker's process ended: reads its last messages, then tells what it means."""
        if worker.events in self.by_fd:
            self.read_events(worker)
        if worker.pid not in self.workers:
            return
        _, status = os.waitpid(worker.pid, 0)
        self.forget(worker)
        try:
            self.judge(worker, status)
        finally:
            for fd in worker.files():
                os.close(fd)

    def let_go(self, worker: _Worker) -> None:
        """A worker told to exit has nothing left to say: the run goes on while its process
        ends, and ``close`` waits for it."""
        self.leaving.append(worker)
        del self.workers[worker.pid]
        for fd in (worker.events, worker.pidfd):
            if fd is not None and fd in self.by_fd:
                self.poller.unregister(fd)
                del self.by_fd[fd]

    def judge(self, worker: _Worker, status: int) -> None:
        """Tells what the end of a worker means, and replaces it if it must be."""
        ending = worker.ending
        if ending == "stopped" or (ending is None and self.stop_seen):
            if worker.running is not None:
                self.report(worker, Kind.NOT_RUN, f"interrupted: worker '{worker.name}' was "
                            f"stopped while running '{worker.running.nodeid}'")
            return
        if ending == "timeout":
            self.resume(worker.file, worker.name, worker.generation, worker.queued)
            return
        if ending == "exit" and worker.file is None and os.waitstatus_to_exitcode(status) == 0:
            return
        self.crashed(worker, _describe(status))

    def crashed(self, worker: _Worker, how: str) -> None:
        file = worker.file
        if worker.running is not None:
            self.report(
                worker,
                Kind.CRASHED,
                f"worker '{worker.name}' crashed while running '{worker.running.nodeid}': {how}",
            )
        elif file is not None and not file.collected:
            message = f"worker '{worker.name}' crashed while collecting {file.job.path}: {how}"
            error = Outcome(
                nodeid=file.job.path, path=file.job.path, line=0, kind=Kind.CRASHED,
                phase=Phase.COLLECT, message=message, longrepr=_with_dump(worker, message),
            )
            self.on_event(("collected", file.job.path, [], error.to_dict()))
            self.on_event(("done", file.job.path))
            file = None
        else:
            where = f"in {file.job.path} outside any test" if file else "between files"
            self.on_event(("worker-error", file.job.path if file else None,
                           _with_dump(worker, f"worker '{worker.name}' crashed {where}: {how}")))
        if self.restarts >= self.restart_limit:
            if not self.draining:
                self.draining = True
                self.on_event(("worker-error", None, (
                    f"stopping: workers crashed {self.restarts + 1} times, more than the "
                    f"{self.restart_limit} restarts allowed (--max-worker-restart); "
                    "the tests not run yet are not run")))
            return
        self.restarts += 1
        self.resume(file, worker.name, worker.generation, worker.queued)

    def resume(
        self, file: _FileState | None, name: str, generation: int,
        queued: _FileState | None = None,
    ) -> None:
        """Starts a replacement worker; the rest of ``file`` goes first in the queue, and
        the file sent ahead to the worker that ended right after it."""
        if queued is not None:
            self.queue.appendleft(queued)
        if file is not None:
            job = file.job
            resumed = Job(job.path, job.skip | frozenset(file.reported), job.payload)
            file.job = resumed
            self.queue.appendleft(file)
        if self.queue and self.scheduling():
            self.send_ahead(self.spawn(name, generation + 1, self.queue.popleft()))

    def report(self, worker: _Worker, kind: Kind, message: str) -> None:
        """Reports the worker's running test with what it wrote and its tracebacks."""
        running = worker.running
        assert running is not None
        worker.running = None
        stdout, stderr = "", ""
        if worker.captured is not None:
            stdout, stderr = _fdcapture.read_files(worker.captured, running.offsets)
        outcome = Outcome(
            nodeid=running.nodeid, path=running.path, line=running.line, kind=kind,
            message=message, longrepr=_with_dump(worker, message), stdout=stdout,
            stderr=stderr, duration=time.monotonic() - running.started,
        )
        if worker.file is not None:
            worker.file.reported.add(running.nodeid)
        self.on_event(("outcome", outcome.to_dict()))

    def forget(self, worker: _Worker) -> None:
        """Drops the worker and its pipes, once it has been waited for (closing its lifeline
        any earlier would kill it); the caller closes its files when done with them."""
        if worker.pid in self.workers:
            del self.workers[worker.pid]
        for fd in (worker.events, worker.pidfd):
            if fd is not None and fd in self.by_fd:
                self.poller.unregister(fd)
                del self.by_fd[fd]
        for fd in (worker.events, worker.jobs, worker.pidfd, worker.lifeline):
            if fd is not None:
                os.close(fd)

    # -- timeouts and stopping

    def check_timeouts(self) -> None:
        now = time.monotonic()
        for worker in list(self.workers.values()):
            running = worker.running
            if running is None or worker.ending is not None:
                continue
            deadline = running.deadline
            if deadline is None or deadline > now:
                continue
            _dump_threads(worker)
            _kill(worker.pid)
            worker.ending = "timeout"
            self.report(worker, Kind.TIMEOUT, f"timeout: '{running.nodeid}' ran longer than "
                        f"{running.timeout:g}s; worker '{worker.name}' was replaced")

    def scheduling(self) -> bool:
        """Whether files may still be handed out. Reads the pool's requests themselves: a
        stop asked for by ``on_event`` holds for the very next message."""
        pool = self.pool
        return not (self.draining or pool._finish_requested or pool._stop_requests)

    def check_stop(self) -> None:
        if self.pool._finish_requested and not self.finishing:
            self.finishing = True
            for worker in self.workers.values():
                if worker.file is None:
                    self.dismiss(worker)
                elif worker.ending is None:
                    _signal(worker.pid, signal.SIGUSR2)
        requests = self.pool._stop_requests
        if requests == self.stop_seen:
            if self.stop_deadline is not None and time.monotonic() >= self.stop_deadline:
                self.kill_all()
            return
        first = self.stop_seen == 0
        self.stop_seen = requests
        if first and requests == 1:
            self.stop_deadline = time.monotonic() + GRACE_SECONDS
            for worker in self.workers.values():
                if worker.file is None:
                    self.dismiss(worker)
                elif not worker.interrupted and worker.ending is None:
                    worker.interrupted = True
                    _signal(worker.pid, signal.SIGINT)
        else:
            self.kill_all()

    def kill_all(self) -> None:
        self.stop_deadline = None
        for worker in list(self.workers.values()):
            if worker.ending != "timeout":
                worker.ending = "stopped"
            _kill(worker.pid)
        for worker in list(self.workers.values()):
            self.reap(worker)

    def close(self) -> None:
        for worker in self.leaving:
            # Its lifeline closes with its pipes: a kill now changes nothing of a process
            # that is only leaving.
            self.forget(worker)
            if os.waitpid(worker.pid, os.WNOHANG)[0] == 0:
                self.pool._exiting.append((worker.pid, worker.files()))
                continue
            for fd in worker.files():
                os.close(fd)
        for worker in list(self.workers.values()):
            worker.ending = worker.ending or "stopped"
            _kill(worker.pid)
            try:
                os.waitpid(worker.pid, 0)
            except ChildProcessError:
                pass
            self.forget(worker)
            for fd in worker.files():
                os.close(fd)
        self.pool._wake = None
        os.close(self.wake[0])
        os.close(self.wake[1])


# -- helpers


def _send(fd: int, job: Job | None) -> None:
    try:
        write_all(fd, encode(job))
    except BrokenPipeError:
        pass  # the worker died; its exit tells the rest


def _drain(fd: int) -> None:
    try:
        while os.read(fd, 4096):
            pass
    except BlockingIOError:
        pass


def _flush(stream: object) -> None:
    try:
        stream.flush()  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        pass


def _pidfd(pid: int) -> int | None:
    opener = getattr(os, "pidfd_open", None)
    if opener is None:
        return None
    try:
        return opener(pid)
    except OSError:
        return None


def _signal(pid: int, signum: int) -> None:
    try:
        os.kill(pid, signum)
    except ProcessLookupError:
        pass


def _kill(pid: int) -> None:
    """Kills the worker and whatever it started in its process group."""
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        _signal(pid, signal.SIGKILL)


def _dump_threads(worker: _Worker) -> None:
    """Has the worker write every thread's traceback to its faulthandler file, and waits
    (briefly) until it has."""
    before = os.fstat(worker.dump).st_size
    _signal(worker.pid, signal.SIGUSR1)
    deadline = time.monotonic() + _DUMP_SECONDS
    last = before
    while time.monotonic() < deadline:
        time.sleep(0.01)
        size = os.fstat(worker.dump).st_size
        if size > before and size == last:
            return
        last = size


def _with_dump(worker: _Worker, message: str) -> str:
    """The message, followed by what faulthandler wrote for the worker, if anything."""
    size = os.fstat(worker.dump).st_size
    dump = os.pread(worker.dump, size, 0).decode("utf-8", "replace").strip()
    return f"{message}\n\n{_without_runner_frames(dump)}" if dump else message


_OWN_FILES = (os.path.dirname(os.path.abspath(__file__)) + os.sep, "<frozen runpy>")


def _without_runner_frames(dump: str) -> str:
    """The dump with the innermost-last run of trelkin's own frames of each thread cut
    off: below the test, a worker's stack is the runner's (and, inherited through the fork,
    the command's), the same in every dump. A stack of trelkin's frames alone is kept."""
    lines: list[str] = []
    frames: list[str] = []
    for line in [*dump.splitlines(), ""]:  # the last line flushes the last stack
        if line.startswith('  File "'):
            frames.append(line)
            continue
        cut = len(frames)
        while cut and _is_own_frame(frames[cut - 1]):
            cut -= 1
        lines += frames[:cut] if cut else frames
        frames = []
        lines.append(line)
    return "\n".join(lines[:-1])


def _is_own_frame(line: str) -> bool:
    path = line[len('  File "') :].partition('"')[0]
    return path.startswith(_OWN_FILES) or path == sys.argv[0]


def _describe(status: int) -> str:
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        try:
            name = signal.Signals(number).name
        except ValueError:
            return f"signal {number}"
        if number == signal.SIGKILL:
            name += ", as the kernel's out-of-memory killer sends"
        return f"signal {number} ({name})"
    return f"exit status {os.waitstatus_to_exitcode(status)}"
