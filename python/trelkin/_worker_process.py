"""The worker's side of ``trelkin._workers.WorkerPool``: what a forked worker does, and
the messages it exchanges with the parent.

After the fork, ``run_worker`` makes the process a worker: its own process group (Ctrl-C
at the terminal reaches the parent alone, which decides), SIGKILL when the parent dies,
stdin on /dev/null, none of the parent's exit handlers or other pipes, faulthandler
writing to the file the parent gave it (on a fatal signal, and on SIGUSR1 for every
thread), SIGUSR2 meaning "start no further test", and fds 1 and 2 captured into the parent's files when asked. Then it runs each
job the parent sends with ``worker_main`` until the parent says to exit, and leaves with
``os._exit``: it never returns into the code that forked it.

Messages are length-prefixed pickles. The worker sends tuples tagged ``EVENT`` (an event
of ``worker_main``), ``START`` (a "start" event, with the capture's offsets where the
test's output begins), ``FINISHED`` and ``FAILED`` (``worker_main`` returned, or raised
with this traceback), ``CANCELLED`` (a job it did not start) and, last, ``EXITING``
(told to exit, it ran its exit handlers and leaves at once). The parent sends a
``Job``, None for "exit", or ``CANCEL``: the parent may send a job while the one before
is still running, so that no file waits for a round trip, and takes it back with a
``CANCEL`` right behind it. A worker about to start a job looks for that ``CANCEL`` (or
a stop of its own) first and then answers ``CANCELLED`` instead of running it; a
``CANCEL`` that comes too late is dropped, and the job runs as if never taken back.
"""

from __future__ import annotations

import atexit
import faulthandler
import fcntl
import os
import select
import signal
import struct
import sys

# The pickler itself, without pickle.py's pure-Python fallback (a millisecond of every
# worker run's start).
from _pickle import dumps, loads

from trelkin import _fdcapture

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from types import FrameType
    from typing import Any

    Event = tuple[Any, ...]
    Emit = Callable[[Event], None]


class Job:
    """One test file for one worker. ``skip`` holds the node ids already reported (a job
    resumed after a crash); ``payload`` is whatever else ``worker_main`` needs (selected
    node ids, options), sent to the worker as a pickle."""

    __slots__ = ("path", "payload", "skip")

    def __init__(self, path: str, skip: frozenset[str] = frozenset(), payload: object = None) -> None:
        self.path = path
        self.skip = skip
        self.payload = payload


EVENT = 0  # (EVENT, event)
START = 1  # (START, event, capture offsets): a test begins
FINISHED = 2  # (FINISHED,): worker_main returned (or was interrupted)
FAILED = 3  # (FAILED, traceback text): worker_main raised
CANCELLED = 4  # (CANCELLED,): the job was taken back before it started
EXITING = 5  # (EXITING,): told to exit, it ran its exit handlers; nothing else follows
CANCEL = "cancel"  # from the parent: take back the job sent last
HEADER = struct.Struct("<I")
PICKLE_PROTOCOL = 5  # pickle.HIGHEST_PROTOCOL


def encode(message: object) -> bytes:
    data = dumps(message, PICKLE_PROTOCOL)
    return HEADER.pack(len(data)) + data


class _Channel:
    """The worker's end of its two pipes. A SIGINT that arrives while a message is being
    written is held until the message is whole, so the stream is never cut mid-message."""

    def __init__(self, jobs_fd: int, events_fd: int) -> None:
        self.jobs_fd = jobs_fd
        self.events_fd = events_fd
        self.pid = os.getpid()
        self.stopping = False  # no further test may start
        self.sending = False
        self.held = False
        self.pending: list[Job | str | None] = []  # read ahead by retracted()
        # Messages that can wait for the next one: a test's outcome goes out with the
        # start of the next test (or the end of the file), one write for both.
        self.unsent = bytearray()

    def on_sigusr2(self, signum: int, frame: FrameType | None) -> None:
        self.stopping = True  # the running test goes on

    def on_sigint(self, signum: int, frame: FrameType | None) -> None:
        self.stopping = True
        if self.sending:
            self.held = True
            return
        raise KeyboardInterrupt

    def send(self, message: tuple[Any, ...], *, later: bool = False) -> None:
        """Writes the message, after those held back; with ``later`` it waits for the
        next message that is written (or for ``receive``)."""
        if os.getpid() != self.pid:
            # A test forked and its child went on running the runner's code: ended here,
            # before it runs tests twice or garbles the worker's stream.
            os._exit(0)
        self.unsent += encode(message)
        if not later:
            self.flush()

    def flush(self) -> None:
        if not self.unsent:
            return
        data, self.unsent = self.unsent, bytearray()
        self.sending = True
        try:
            write_all(self.events_fd, data)
        finally:
            self.sending = False
        if self.held:
            self.held = False
            raise KeyboardInterrupt

    def receive(self) -> Job | None:
        """The next job, or None for "exit"; a ``CANCEL`` that came too late is dropped."""
        self.flush()
        while True:
            message = self.pending.pop(0) if self.pending else self._read()
            if message != CANCEL:
                return message  # type: ignore[return-value]

    def retracted(self) -> bool:
        """Whether the parent took back the job just received: its ``CANCEL`` is the
        message right after it, if it is there already."""
        if not self.pending and select.select([self.jobs_fd], [], [], 0)[0]:
            self.pending.append(self._read())
        return bool(self.pending) and self.pending[0] == CANCEL

    def _read(self) -> Job | str | None:
        header = _read_exactly(self.jobs_fd, HEADER.size)
        if header is None:
            return None
        (size,) = HEADER.unpack(header)
        data = _read_exactly(self.jobs_fd, size)
        return None if data is None else loads(data)


def run_worker(
    *,
    name: str,
    count: int,
    job: Job,
    jobs_fd: int,
    events_fd: int,
    close: list[int],
    dump: int,
    captured: tuple[int, int] | None,
    worker_main: Callable[[Job, Emit], None],
    lifeline: int,
    parent: int,
    blocked: set[signal.Signals],
) -> None:
    """Runs in the child of a fork; ``blocked`` is the signal mask to restore (the parent
    blocks SIGINT and SIGUSR2 across the fork, so none arrives before the worker's handlers
    are set)."""
    status = 0
    try:
        channel = _prepare_child(name, count, jobs_fd, events_fd, close, lifeline, parent)
        faulthandler.enable(dump, all_threads=True)
        faulthandler.register(signal.SIGUSR1, dump, all_threads=True, chain=False)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        fds = None
        if captured is not None:
            fds = _fdcapture.FdCapture(captured)
            fds.start()
        if _serve(channel, job, worker_main, fds):
            atexit._run_exitfuncs()
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except BaseException:
                    pass  # a test replaced or closed it; its output was the test's
            channel.send((EXITING,))
        else:
            atexit._run_exitfuncs()
    except KeyboardInterrupt:
        pass  # stopped by the parent
    except BaseException:
        status = 70  # EX_SOFTWARE: the worker's own machinery failed
        try:
            import traceback

            # Where the parent looks when it reports the worker's end.
            os.write(dump, traceback.format_exc().encode(errors="replace"))
        except BaseException:
            pass
    finally:
        os._exit(status)


def _prepare_child(
    name: str, count: int, jobs_fd: int, events_fd: int, close: list[int],
    lifeline: int, parent: int,
) -> _Channel:
    os.setpgid(0, 0)  # Ctrl-C at the terminal reaches the parent alone, which decides
    for fd in close:
        os.close(fd)
    arm_lifeline(lifeline)
    if os.getppid() != parent:
        raise SystemExit("the parent is gone")
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.close(null)
    atexit._clear()  # the parent's exit handlers are not the worker's
    os.environ["PYTEST_XDIST_WORKER"] = name
    os.environ["PYTEST_XDIST_WORKER_COUNT"] = str(count)
    channel = _Channel(jobs_fd, events_fd)
    signal.signal(signal.SIGINT, channel.on_sigint)
    signal.signal(signal.SIGUSR2, channel.on_sigusr2)
    for signum in (signal.SIGTERM, signal.SIGCHLD, signal.SIGALRM):
        signal.signal(signum, signal.SIG_DFL)
    return channel


def _serve(
    channel: _Channel, job: Job | None, worker_main: Callable[[Job, Emit], None],
    fds: _fdcapture.FdCapture | None,
) -> bool:
    """Runs jobs until the parent says to exit (True) or stops the worker (False)."""

    def emit(event: Event) -> None:
        if event[0] == "start":
            if channel.stopping:
                raise KeyboardInterrupt  # no further test begins
            channel.send((START, event, fds.mark() if fds is not None else (0, 0)))
        else:
            channel.send((EVENT, event), later=True)

    while job is not None:
        if channel.stopping or channel.retracted():
            channel.send((CANCELLED,))
        else:
            try:
                worker_main(job, emit)
                channel.send((FINISHED,))
            except KeyboardInterrupt:
                channel.send((FINISHED,))
            except BaseException:
                import traceback  # only a failing worker pays for it

                channel.send((FAILED, traceback.format_exc()))
        try:
            job = channel.receive()
        except KeyboardInterrupt:
            return False
    return True


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def _read_exactly(fd: int, size: int) -> bytes | None:
    chunks = []
    while size:
        chunk = os.read(fd, size)
        if not chunk:
            return None
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def arm_lifeline(fd: int) -> None:
    """Has the kernel SIGKILL this process once nothing holds the write end of the pipe
    that ``fd`` reads: only the parent does, and never writes to it, so the pipe ends when
    the parent does, however it ends. A hung worker never outlives an interrupted run."""
    if not hasattr(fcntl, "F_SETSIG"):
        return  # Linux only
    fcntl.fcntl(fd, fcntl.F_SETOWN, os.getpid())
    fcntl.fcntl(fd, fcntl.F_SETSIG, signal.SIGKILL)
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_ASYNC)
