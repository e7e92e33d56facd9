"""File-descriptor capture: everything a process writes to fds 1 and 2 while a test runs.

``FdCapture`` points fds 1 and 2 at two files opened for appending, and ``sys.stdout`` /
``sys.stderr`` at unbuffered text wrappers over the same files, so ``print``,
``os.write(1, ...)``, a subprocess's output and a C extension's ``printf`` all land in one
stream, in the order they were written, and never on the terminal::

    capture = FdCapture()
    capture.start()
    capture.mark()              # before each test (compacts the files when all was read)
    ...                         # the test's setup
    out, err = capture.read()   # new text since the last read, at each phase's end
    capture.suspend()           # the terminal back, to show progress in-process
    capture.resume()
    capture.stop()

The files are reused from test to test: ``read`` costs one ``lseek`` per stream and reads
only when the file grew. They have no name: by default the capture makes them; a worker
pool makes them (``capture_files``) before forking a worker and passes them in, so that it
still holds them once the worker is gone, and reads what the dead worker's last test wrote
with ``read_files`` from the offsets ``mark`` gave when the test began.

A process has one pair of fds 1 and 2, so at most one capture runs at a time; ``active()``
gives it (a worker's capture is started by the pool and used by the code running tests).
"""

from __future__ import annotations

import codecs
import fcntl
import io
import os
import sys

# A file this large is emptied at the next mark() that finds nothing unread in it.
_COMPACT_BYTES = 1 << 20
_ENCODING = "utf-8"
_ERRORS = "replace"

_active: FdCapture | None = None


def active() -> FdCapture | None:
    """The capture started in this process and not stopped, if any."""
    return _active


def capture_files() -> tuple[int, int]:
    """Two unnamed files opened for appending, for ``FdCapture(files=...)``: after a
    truncation every writer starts again at offset 0. The caller owns them."""
    return unnamed_file(), unnamed_file()


def unnamed_file() -> int:
    """A file with no name, opened for appending, gone with its last descriptor: nothing is
    left behind, even by a process that is killed."""
    fd = _unnamed_in_temporary_directory()
    if fd is None:
        import tempfile

        with tempfile.TemporaryFile(buffering=0) as file:
            fd = os.dup(file.fileno())  # non-inheritable, as every fd Python makes
    flags = fcntl.fcntl(fd, fcntl.F_GETFL)
    fcntl.fcntl(fd, fcntl.F_SETFL, flags | os.O_APPEND)
    return fd


def _unnamed_in_temporary_directory() -> int | None:
    """Where Linux makes files without a name (O_TMPFILE): in the directory tempfile would
    choose first, without the cost of importing it. None where that doesn't work."""
    flag = getattr(os, "O_TMPFILE", None)
    if flag is None:
        return None
    directory = next(
        (os.environ[name] for name in ("TMPDIR", "TEMP", "TMP") if os.environ.get(name)), "/tmp"
    )
    try:
        return os.open(directory, flag | os.O_RDWR | os.O_CLOEXEC, 0o600)
    except OSError:
        return None


class _Stream:
    """One captured fd: its file, what was read of it, and the fd saved to restore."""

    def __init__(self, target: int, name: str, fd: int) -> None:
        self.target = target
        self.name = name  # of the sys attribute
        self.fd = fd
        self.position = 0
        self.decoder = codecs.getincrementaldecoder(_ENCODING)(_ERRORS)
        self.saved: int | None = None
        self.saved_sys: object = None  # the sys stream the wrapper stands in for
        self.wrapper = io.TextIOWrapper(
            io.FileIO(self.fd, "w", closefd=False),
            encoding=_ENCODING,
            errors=_ERRORS,
            newline="",
            write_through=True,
        )

    def redirect(self) -> None:
        if self.saved is None:
            self.saved = _dup_or_devnull(self.target)
            self.saved_sys = getattr(sys, self.name)
        os.dup2(self.fd, self.target)
        # A stream a test put in place itself (contextlib.redirect_stdout) stays.
        if getattr(sys, self.name) is self.saved_sys:
            setattr(sys, self.name, self.wrapper)

    def restore(self) -> None:
        if getattr(sys, self.name) is self.wrapper:
            setattr(sys, self.name, self.saved_sys)
        if self.saved is not None:
            os.dup2(self.saved, self.target)

    def read(self) -> str:
        size = _size(self.fd)
        if size <= self.position:
            return ""
        data = os.pread(self.fd, size - self.position, self.position)
        self.position += len(data)
        return self.decoder.decode(data)

    def mark(self) -> int:
        size = _size(self.fd)
        if size == self.position >= _COMPACT_BYTES:
            os.ftruncate(self.fd, 0)
            self.position = size = 0
            self.decoder.reset()
        return size

    def close(self) -> None:
        self.restore()
        if self.saved is not None:
            os.close(self.saved)
            self.saved = None
        self.wrapper.detach().close()  # the FileIO doesn't own the fd


def _dup_or_devnull(fd: int) -> int:
    """A duplicate of ``fd``; when ``fd`` is closed, it is opened on /dev/null first (a
    process started with fd 1 closed still gets its output captured and restored)."""
    try:
        return os.dup(fd)
    except OSError:
        null = os.open(os.devnull, os.O_RDWR)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
        return os.dup(fd)


class FdCapture:
    """Captures fds 1 and 2 and ``sys.stdout``/``sys.stderr`` of this process, into
    ``files`` (from ``capture_files``, left open at ``stop``) or files of its own."""

    def __init__(self, files: tuple[int, int] | None = None) -> None:
        self._owns_files = files is None
        out, err = capture_files() if files is None else files
        self._out = _Stream(1, "stdout", out)
        self._err = _Stream(2, "stderr", err)
        self._capturing = False

    def start(self) -> None:
        global _active
        if _active is not None and _active is not self:
            raise RuntimeError("another FdCapture is already running in this process")
        _active = self
        self.resume()

    def resume(self) -> None:
        if self._capturing:
            return
        _flush(sys.stdout, sys.stderr)
        self._out.redirect()
        self._err.redirect()
        self._capturing = True

    def suspend(self) -> None:
        """Gives fds 1 and 2 and the ``sys`` streams back until ``resume``. A stream a test
        replaced on its own (``contextlib.redirect_stdout``) is left as the test set it."""
        if not self._capturing:
            return
        self._out.restore()
        self._err.restore()
        self._capturing = False

    def read(self) -> tuple[str, str]:
        """The text written to each stream since the last read."""
        return self._out.read(), self._err.read()

    def mark(self) -> tuple[int, int]:
        """Call before each test: the byte offsets where the test's own text will begin
        (what ``read_files`` takes). Files that grew large and were read to the end are
        emptied first."""
        return self._out.mark(), self._err.mark()

    def stop(self) -> None:
        global _active
        self.suspend()
        for stream in (self._out, self._err):
            stream.close()
            if self._owns_files:
                os.close(stream.fd)
        if _active is self:
            _active = None


def read_files(files: tuple[int, int], offsets: tuple[int, int]) -> tuple[str, str]:
    """What a capture into ``files`` got from ``offsets`` on, read through the same files
    by another holder (whose capture may be gone with its process)."""
    return _read_from(files[0], offsets[0]), _read_from(files[1], offsets[1])


def _read_from(fd: int, offset: int) -> str:
    size = _size(fd)
    data = os.pread(fd, max(size - offset, 0), offset)
    return data.decode(_ENCODING, _ERRORS)


def _size(fd: int) -> int:
    # Five times cheaper than fstat; reads use pread and writes append, so the file
    # offset this moves matters to neither.
    return os.lseek(fd, 0, os.SEEK_END)


def _flush(*streams: object) -> None:
    for stream in streams:
        try:
            stream.flush()  # type: ignore[attr-defined]
        except (AttributeError, OSError, ValueError):
            pass
