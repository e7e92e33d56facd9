"""Timing whole commands: wall time, CPU time and the peak memory of their process tree.

CPU time is the user plus system time of the command and every child it waited for, as
`wait4` reports it, so worker processes count. Peak memory is the largest sum of resident
sets of the command and its descendants seen by a sampler every few milliseconds, or the
largest single process's own peak when that is higher (a short-lived peak between samples).
"""

from __future__ import annotations

import os
import subprocess
import tempfile
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path

SAMPLE_SECONDS = 0.005
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024
# Variables that would change what is measured: pytest's options, trelkin's pool size,
# bytecode writing and unbuffered output, a search path leaking in from the caller.
DROPPED = ("PYTHONDONTWRITEBYTECODE", "PYTHONUNBUFFERED", "PYTHONPATH", "PYTEST_ADDOPTS",
           "PYTEST_PLUGINS", "RAYON_NUM_THREADS")


def command_environment(extra: dict[str, str] | None = None) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if key not in DROPPED}
    return env | (extra or {})


@dataclass(frozen=True)
class Measured:
    wall: float
    cpu: float
    peak_mib: float
    status: int
    output: str


def _children(pid: int) -> list[int]:
    found = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/children") as file:
                found += [int(child) for child in file.read().split()]
        except OSError:
            pass
    return found


def _resident_kib(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/statm") as file:
            return int(file.read().split()[1]) * PAGE_KIB
    except (OSError, IndexError, ValueError):
        return 0


def tree_resident_kib(root: int) -> int:
    total, pending = 0, [root]
    while pending:
        pid = pending.pop()
        total += _resident_kib(pid)
        pending += _children(pid)
    return total


@dataclass
class _Sampler:
    pid: int
    peak_kib: int = 0
    done: threading.Event = field(default_factory=threading.Event)

    def run(self) -> None:
        while not self.done.is_set():
            self.peak_kib = max(self.peak_kib, tree_resident_kib(self.pid))
            self.done.wait(SAMPLE_SECONDS)


def run_command(argv: Sequence[str], cwd: Path, env: dict[str, str],
                timeout: float) -> Measured:
    """Runs `argv` to its end; its output (standard output and error together) is kept."""
    with tempfile.TemporaryFile("w+", encoding="utf-8", errors="replace") as sink:
        start = time.perf_counter()
        process = subprocess.Popen(list(argv), cwd=cwd, env=env, stdout=sink,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        sampler = _Sampler(process.pid)
        thread = threading.Thread(target=sampler.run, daemon=True)
        thread.start()
        deadline = start + timeout
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() > deadline:
                process.kill()
                _, status, usage = os.wait4(process.pid, 0)
                break
            time.sleep(0.001)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)  # already reaped
        sampler.done.set()
        thread.join()
        sink.seek(0)
        output = sink.read()
    # ru_maxrss is the largest of the process and the descendants it waited for, in KiB.
    peak_kib = max(sampler.peak_kib, usage.ru_maxrss)
    if wall > timeout:
        raise TimeoutError(f"{' '.join(argv)} ran longer than {timeout:.0f} s")
    return Measured(wall, usage.ru_utime + usage.ru_stime, peak_kib / 1024,
                    process.returncode, output)


@dataclass(frozen=True)
class Contender:
    label: str
    argv: tuple[str, ...]
    trelkin: bool = False
    extra_env: tuple[tuple[str, str], ...] = ()
    any_status: bool = False  # collection of a tree with broken modules exits non-zero


def measure_side_by_side(contenders: Sequence[Contender], cwd: Path, rounds: int,
                         timeout: float) -> dict[str, list[Measured]]:
    """One untimed warm-up run of each (it leaves the bytecode caches written), then
    `rounds` rounds in which the contenders take turns, the order rotating each round so
    that none always runs right after the same neighbour."""
    results: dict[str, list[Measured]] = {c.label: [] for c in contenders}
    for contender in contenders:
        _checked(contender, cwd, timeout)
    for index in range(rounds):
        shift = index % len(contenders)
        for contender in [*contenders[shift:], *contenders[:shift]]:
            results[contender.label].append(_checked(contender, cwd, timeout))
    return results


def _checked(contender: Contender, cwd: Path, timeout: float) -> Measured:
    measured = run_command(contender.argv, cwd, command_environment(dict(contender.extra_env)),
                           timeout)
    if measured.status != 0 and not contender.any_status:
        raise RuntimeError(f"{contender.label} ({' '.join(contender.argv)}) exited with "
                           f"{measured.status}:\n{measured.output[-3000:]}")
    return measured
