"""``capsys``/``capsysbinary`` and ``capfd``/``capfdbinary``: what the test wrote, read
with ``readouterr()``.

capsys reads through the session's capture of the test (the same reader the outcome's
captured output comes from, so what the test read is not shown again); with no capture
(``-s``, or file-descriptor capture in a worker) it puts buffers of its own on
``sys.stdout``/``sys.stderr`` for the test. capfd also points file descriptors 1 and 2 at
temporary files while the test runs: that is process-wide, so in thread mode another
test's output written at that moment lands there too."""

from __future__ import annotations

import contextlib
import io
import os
import sys
import tempfile
from typing import Any, NamedTuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator


class CaptureResult(NamedTuple):
    out: Any
    err: Any


class _OwnStreams:
    """Buffers put on sys.stdout/sys.stderr for the test, read by offset."""

    def __init__(self) -> None:
        self.saved = sys.stdout, sys.stderr
        self.out, self.err = io.StringIO(), io.StringIO()
        self.at = [0, 0]
        sys.stdout, sys.stderr = self.out, self.err

    def read(self) -> tuple[str, str]:
        out, err = self.out.getvalue(), self.err.getvalue()
        new = out[self.at[0]:], err[self.at[1]:]
        self.at = [len(out), len(err)]
        return new

    def close(self) -> None:
        if sys.stdout is self.out:
            sys.stdout = self.saved[0]
        if sys.stderr is self.err:
            sys.stderr = self.saved[1]


class _FdStreams:
    """File descriptors 1 and 2 pointed at temporary files, read by offset."""

    def __init__(self) -> None:
        for stream in (sys.__stdout__, sys.__stderr__):
            try:
                stream.flush()  # type: ignore[union-attr]
            except (AttributeError, ValueError, OSError):
                pass
        self.files = [tempfile.TemporaryFile(buffering=0), tempfile.TemporaryFile(buffering=0)]
        self.saved = [os.dup(1), os.dup(2)]
        os.dup2(self.files[0].fileno(), 1)
        os.dup2(self.files[1].fileno(), 2)
        self.at = [0, 0]

    def read(self) -> tuple[bytes, bytes]:
        texts = []
        for index, file in enumerate(self.files):
            file.seek(self.at[index])
            data = file.read()
            self.at[index] += len(data)
            texts.append(data)
        return texts[0], texts[1]

    def close(self) -> None:
        for index in (0, 1):
            os.dup2(self.saved[index], index + 1)
            os.close(self.saved[index])
            self.files[index].close()


class CaptureFixture:
    def __init__(self, capture: Any, *, binary: bool, fd: bool) -> None:
        self._capture = capture
        self._binary = binary
        self._own = None if _routed(capture) else _OwnStreams()
        self._fd = _FdStreams() if fd else None
        self._closed = False

    def _read_sys(self) -> tuple[str, str]:
        if self._own is not None:
            return self._own.read()
        return self._capture.read()

    def readouterr(self) -> CaptureResult:
        out, err = self._read_sys()
        if self._fd is not None:
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except (AttributeError, ValueError, OSError):
                    pass
            fd_out, fd_err = self._fd.read()
            if self._binary:
                return CaptureResult(fd_out + out.encode(), fd_err + err.encode())
            return CaptureResult(
                fd_out.decode("utf-8", "replace") + out, fd_err.decode("utf-8", "replace") + err
            )
        if self._binary:
            return CaptureResult(out.encode(), err.encode())
        return CaptureResult(out, err)

    @contextlib.contextmanager
    def disabled(self) -> Iterator[None]:
        """Writes inside go to the real streams."""
        saved = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = sys.__stdout__, sys.__stderr__  # type: ignore[assignment]
        try:
            yield
        finally:
            sys.stdout, sys.stderr = saved

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self._fd is not None:
            self._fd.close()
        if self._own is not None:
            self._own.close()


def _routed(capture: Any) -> bool:
    """Whether the session captures this test's sys streams into a buffer it can read."""
    return hasattr(sys.stdout, "getvalue") and type(capture).__name__ == "SysCapture"
