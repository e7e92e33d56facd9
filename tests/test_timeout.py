"""The in-process watchdog: a block past its time fails with every thread's traceback, on
the main thread (a signal, which also cuts a sleep short) and on others (an asynchronous
exception). Each case runs in a fresh interpreter with a time bound."""

from __future__ import annotations

import json

import pytest

from conftest import run_python

PRELUDE = """
import json, signal, threading, time
from trelkin._timeout import Timeout, watchdog
dumps = []
def sleeping_test():
    time.sleep(30)
def spinning_test():
    while True:
        pass
def bystander(ready):
    ready.set()
    time.sleep(30)
def timed(function, seconds=0.3):
    started = time.monotonic()
    try:
        with watchdog(seconds, dumps.append):
            function()
    except Timeout as error:
        return [str(error), round(time.monotonic() - started, 1)]
    return ["finished", round(time.monotonic() - started, 1)]
def timed_in_thread(function, seconds=0.3):
    box = []
    thread = threading.Thread(target=lambda: box.append(timed(function, seconds)))
    thread.start()
    thread.join()
    return box[0]
"""


def run(body: str) -> object:
    process = run_python(PRELUDE + body, timeout=30)
    assert process.returncode == 0, process.stderr
    return json.loads(process.stdout.splitlines()[-1])


@pytest.mark.parametrize(
    ("test", "where"),
    [
        ("sleeping_test", "timed"),
        ("spinning_test", "timed"),
        # Off the main thread only a test running Python code can be stopped: the
        # exception waits for a blocking call to return.
        ("spinning_test", "timed_in_thread"),
    ],
)
def test_a_block_past_its_time_raises_with_every_threads_traceback(test: str, where: str) -> None:
    result = run(
        "ready = threading.Event()\n"
        "threading.Thread(target=bystander, args=(ready,), daemon=True, name='bystander').start()\n"
        "ready.wait()\n"
        f"print(json.dumps([{where}({test}), dumps]))\n"
    )
    (message, seconds), (dump,) = result
    assert message == "Timeout >0.3s"
    assert 0.3 <= seconds < 1.5
    assert f"in {test}" in dump
    assert "Stack of bystander" in dump and "in bystander" in dump
    assert "in expire" not in dump and "in _fire" not in dump  # the watchdog's own frames


def test_a_block_within_its_time_leaves_nothing_armed() -> None:
    result = run(
        "previous = signal.getsignal(signal.SIGALRM)\n"
        "outcome = timed(lambda: time.sleep(0.05))\n"
        "in_thread = timed_in_thread(lambda: None, 0.2)\n"
        "time.sleep(0.4)  # past both limits: nothing may fire now\n"
        "print(json.dumps([outcome[0], in_thread[0], signal.getsignal(signal.SIGALRM) is previous,"
        " signal.getitimer(signal.ITIMER_REAL)[0], dumps]))\n"
    )
    assert result == ["finished", "finished", True, 0.0, []]


@pytest.mark.parametrize("seconds", [None, 0, -1])
def test_no_limit(seconds: object) -> None:
    assert run(f"print(json.dumps(timed(lambda: time.sleep(0.2), {seconds})))") == [
        "finished", 0.2]


def test_the_test_cannot_swallow_the_timeout() -> None:
    result = run(
        "def swallowing():\n"
        "    try:\n"
        "        time.sleep(30)\n"
        "    except Exception:\n"
        "        pass\n"
        "print(json.dumps(timed(swallowing)))\n"
    )
    assert result[0] == "Timeout >0.3s"
