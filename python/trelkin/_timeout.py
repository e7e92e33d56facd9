"""A time limit for a test that runs in this process (``--sequential``, ``--threads``).

::

    with watchdog(seconds, on_timeout):
        run_the_test()

If the block is still running after ``seconds``, ``on_timeout(text)`` gets the traceback
of every thread at that moment and ``Timeout`` is raised in the thread that entered the
block. On the main thread that is done with SIGALRM, as pytest-timeout's "signal" method:
the signal also cuts a blocking call short (``time.sleep``, a read). On any other thread
the exception is set asynchronously from a watcher thread; it takes effect at the thread's
next Python instruction, so a call that blocks in C finishes first. Either way, a C
function that never returns to the interpreter can't be stopped in-process: only a worker
process can be killed and replaced.

``seconds`` of None or <= 0 means no limit. Blocks on one thread don't nest; each thread
may have its own.
"""

from __future__ import annotations

import contextlib
import heapq
import itertools
import signal
import sys
import threading
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from types import FrameType


class Timeout(BaseException):
    """Raised in a test that ran past its time. A BaseException, so that the test's own
    ``except Exception`` doesn't swallow it."""


def dump_threads(main_frame: FrameType | None = None) -> str:
    """Every thread's stack, most recent call last. ``main_frame`` stands for the calling
    thread's frames (a signal handler passes the frame it interrupted)."""
    import traceback

    names = {thread.ident: thread.name for thread in threading.enumerate()}
    current = threading.get_ident()
    sections = []
    for ident, frame in sys._current_frames().items():
        if ident == current:
            if main_frame is None:
                continue  # the watcher itself
            frame = main_frame
        name = names.get(ident, "unknown")
        stack = "".join(traceback.format_stack(frame))
        sections.append(f"~~~~~~~~ Stack of {name} ({ident}) ~~~~~~~~\n{stack}")
    return "".join(sections)


@contextlib.contextmanager
def watchdog(
    seconds: float | None, on_timeout: Callable[[str], None] | None = None
) -> Iterator[None]:
    if seconds is None or seconds <= 0:
        yield
        return
    message = f"Timeout >{seconds:g}s"
    if threading.current_thread() is threading.main_thread():
        with _alarm(seconds, message, on_timeout):
            yield
    else:
        token = _watcher().arm(seconds, threading.get_ident(), message, on_timeout)
        try:
            yield
        finally:
            _watcher().disarm(token)


@contextlib.contextmanager
def _alarm(
    seconds: float, message: str, on_timeout: Callable[[str], None] | None
) -> Iterator[None]:
    def expire(signum: int, frame: FrameType | None) -> None:
        if on_timeout is not None:
            on_timeout(dump_threads(frame))
        raise Timeout(message)

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class _Watcher:
    """One daemon thread that fires the limits of blocks on threads other than the main
    one: cheaper per test than a timer thread each."""

    def __init__(self) -> None:
        self._condition = threading.Condition()
        self._pending: list[tuple[float, int]] = []  # (deadline, token), a heap
        self._armed: dict[int, tuple[int, str, Callable[[str], None] | None]] = {}
        self._tokens = itertools.count()
        threading.Thread(target=self._serve, name="trelkin-watchdog", daemon=True).start()

    def arm(
        self, seconds: float, thread: int, message: str, on_timeout: Callable[[str], None] | None
    ) -> int:
        with self._condition:
            token = next(self._tokens)
            self._armed[token] = (thread, message, on_timeout)
            heapq.heappush(self._pending, (time.monotonic() + seconds, token))
            self._condition.notify()
            return token

    def disarm(self, token: int) -> None:
        with self._condition:
            self._armed.pop(token, None)

    def _serve(self) -> None:
        while True:
            with self._condition:
                while not self._due():
                    timeout = self._pending[0][0] - time.monotonic() if self._pending else None
                    self._condition.wait(timeout)
                _, token = heapq.heappop(self._pending)
                # Fired under the lock: once disarm() has returned, the block's thread
                # can't be hit by a limit it no longer runs under.
                self._fire(*self._armed.pop(token))

    def _due(self) -> bool:
        while self._pending and self._pending[0][1] not in self._armed:
            heapq.heappop(self._pending)  # disarmed before its time
        return bool(self._pending) and self._pending[0][0] <= time.monotonic()

    @staticmethod
    def _fire(thread: int, message: str, on_timeout: Callable[[str], None] | None) -> None:
        import ctypes

        if on_timeout is not None:
            on_timeout(dump_threads())
        ctypes.pythonapi.PyThreadState_SetAsyncExc(
            ctypes.c_ulong(thread), ctypes.py_object(_timeout_class(message))
        )


def _timeout_class(message: str) -> type[Timeout]:
    """An asynchronous exception is raised from its class, with no arguments; a subclass
    carries the message."""
    return type("Timeout", (Timeout,), {"__init__": lambda self: Timeout.__init__(self, message)})


_watcher_lock = threading.Lock()
_the_watcher: _Watcher | None = None


def _watcher() -> _Watcher:
    global _the_watcher
    with _watcher_lock:
        if _the_watcher is None:
            _the_watcher = _Watcher()
        return _the_watcher
