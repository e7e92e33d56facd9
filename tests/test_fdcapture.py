"""File-descriptor capture: every way a process writes to fds 1 and 2 is caught, in order,
and nothing reaches the real streams. Each case runs in a fresh interpreter whose own
stdout and stderr show what escaped."""

from __future__ import annotations

import json

import pytest

from conftest import run_python

PRELUDE = """
import ctypes, json, os, subprocess, sys
from trelkin._fdcapture import FdCapture, active, read_files
capture = FdCapture()
capture.start()
def report(value):
    capture.suspend()
    print("RESULT " + json.dumps(value), flush=True)
    capture.resume()
"""


def run_captured(body: str) -> tuple[list[object], str, str]:
    """Runs PRELUDE + body; returns the values passed to report() and what escaped."""
    process = run_python(PRELUDE + body, timeout=30)
    assert process.returncode == 0, process.stderr
    results, escaped = [], []
    for line in process.stdout.splitlines():
        if line.startswith("RESULT "):
            results.append(json.loads(line.removeprefix("RESULT ")))
        else:
            escaped.append(line)
    return results, "\n".join(escaped), process.stderr


WRITERS = [
    pytest.param("print('text')", "text\n", "", id="print"),
    pytest.param("os.write(1, b'text\\n')", "text\n", "", id="os.write-1"),
    pytest.param("os.write(2, b'text\\n')", "", "text\n", id="os.write-2"),
    pytest.param("print('text', file=sys.stderr)", "", "text\n", id="print-stderr"),
    pytest.param(
        "subprocess.run(['sh', '-c', 'echo out; echo err >&2'])", "out\n", "err\n",
        id="subprocess",
    ),
    pytest.param(
        "libc = ctypes.CDLL(None); libc.printf(b'from C %d\\n', 42); libc.fflush(None)",
        "from C 42\n", "", id="c-printf",
    ),
]


@pytest.mark.parametrize(("write", "out", "err"), WRITERS)
def test_every_writer_is_captured_and_nothing_escapes(write: str, out: str, err: str) -> None:
    results, escaped_out, escaped_err = run_captured(f"{write}\nreport(capture.read())\n")
    assert results == [[out, err]]
    assert escaped_out == "" and escaped_err == ""


def test_python_and_fd_level_writes_keep_their_order() -> None:
    results, _, _ = run_captured(
        "print('one'); os.write(1, b'two\\n'); sys.stdout.write('three\\n');"
        "subprocess.run(['echo', 'four']); print('five')\n"
        "report(capture.read())\n"
    )
    assert results == [["one\ntwo\nthree\nfour\nfive\n", ""]]


def test_each_read_gives_only_what_is_new() -> None:
    results, _, _ = run_captured(
        "print('a'); report(capture.read()); report(capture.read());"
        "os.write(2, 'é'.encode()[:1]); report(capture.read());"
        "os.write(2, 'é'.encode()[1:] + b'!'); report(capture.read())\n"
    )
    # A character split between two writes comes whole, with the second.
    assert results == [["a\n", ""], ["", ""], ["", ""], ["", "é!"]]


def test_suspend_gives_the_streams_back() -> None:
    results, escaped_out, escaped_err = run_captured(
        "capture.suspend(); print('shown'); os.write(2, b'shown too\\n'); capture.resume()\n"
        "print('hidden'); report(capture.read())\n"
    )
    assert escaped_out == "shown" and escaped_err == "shown too\n"
    assert results == [["hidden\n", ""]]


def test_a_stream_the_test_replaced_survives_suspend_and_resume() -> None:
    results, _, _ = run_captured(
        "import contextlib, io\n"
        "mine = io.StringIO()\n"
        "with contextlib.redirect_stdout(mine):\n"
        "    capture.suspend(); capture.resume()\n"
        "    replaced_kept = sys.stdout is mine\n"
        "    print('into mine')\n"
        "report([replaced_kept, mine.getvalue(), capture.read()])\n"
    )
    assert results == [[True, "into mine\n", ["", ""]]]


def test_stop_restores_the_real_fds() -> None:
    _, escaped_out, _ = run_captured(
        "print('hidden'); capture.stop(); os.write(1, b'back\\n'); print(active())\n"
    )
    assert escaped_out == "back\nNone"


def test_marks_locate_a_tests_output_for_another_reader() -> None:
    _, escaped_out, _ = run_captured(
        "from trelkin._fdcapture import capture_files\n"
        "files = capture_files(); named = FdCapture(files); capture.stop(); named.start()\n"
        "print('before'); named.read(); print('unread')\n"
        "offsets = named.mark(); print('during'); os.write(2, b'err')\n"
        "named.stop()  # the files stay open: they are the caller's\n"
        "print(json.dumps(read_files(files, offsets)))\n"
    )
    # What came after the mark only: "unread" was written before the test began.
    assert json.loads(escaped_out) == ["during\n", "err"]


def test_a_large_file_read_to_the_end_is_emptied_at_the_next_mark() -> None:
    results, _, _ = run_captured(
        "os.write(1, b'x' * (2 << 20)); capture.read()\n"
        "offsets = capture.mark(); print('small')\n"
        "report([offsets, capture.read(), os.fstat(1).st_size])\n"
    )
    assert results == [[[0, 0], ["small\n", ""], 6]]


def test_only_one_capture_runs_at_a_time() -> None:
    results, _, _ = run_captured(
        "try:\n"
        "    FdCapture().start()\n"
        "except RuntimeError as error:\n"
        "    report(str(error))\n"
    )
    assert results == ["another FdCapture is already running in this process"]
