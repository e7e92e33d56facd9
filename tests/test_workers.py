"""The worker pool: events carried from the workers, crashes and hangs contained, Ctrl-C.

Every scenario runs a pool in a fresh interpreter with a time bound: a scripted
``worker_main`` plays each file's tests (``PLAN`` below), and the parent prints each event
as a JSON line for the test to read."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
import textwrap
from collections import Counter
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

# Under the sanitizers a crash becomes the sanitizer's own report and abort, and workers
# run several times slower than the timings here allow: the pool is tested without them.
pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="crashes and timings of worker processes are not the sanitizer's to judge",
)

HARNESS = r"""
import ctypes, json, os, signal, sys, time
from trelkin._workers import Job, WorkerPool
from trelkin._outcome import Kind, Outcome

PLAN = json.loads(os.environ["PLAN"])
HELD = []

def play(what):
    if what == "print":
        print("printed by python")
        os.write(1, b"written to fd 1\n")
        os.write(2, b"written to fd 2\n")
    elif what == "segfault":
        os.write(1, b"before the crash\n")
        ctypes.string_at(0)
    elif what == "abort":
        os.abort()
    elif what == "sigkill":
        os.kill(os.getpid(), signal.SIGKILL)
    elif what.startswith("exit"):
        os._exit(int(what[4:]))
    elif what == "hang":
        hang_here()
    elif what == "ignore-sigint":
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        hang_here()
    elif what.startswith("sleep"):
        time.sleep(float(what[5:]))
    elif what == "raise":
        raise RuntimeError("the runner itself broke")
    elif what == "hold-memory":
        HELD.append(b"x" * (256 << 20))  # touched pages: the process takes a while to end
    elif what == "fork":
        os.fork()  # the child returns into the runner, as a careless test's would

def hang_here():
    with open(PLAN["pids"], "a") as file:
        file.write(f"{os.getpid()}\n")
    time.sleep(60)

def worker_main(job, emit):
    tests = PLAN["files"][job.path]
    if tests == "crash-on-import":
        ctypes.string_at(0)
    ids = [f"{job.path}::test_{index}" for index in range(len(tests))]
    emit(("collected", job.path, ids, None))
    for index, (nodeid, what) in enumerate(zip(ids, tests)):
        if nodeid in job.skip:
            continue
        timeout = float(what.split(":")[1]) if what.startswith("limit:") else None
        emit(("start", nodeid, job.path, index + 1, timeout))
        kind, message = Kind.PASSED, os.environ["PYTEST_XDIST_WORKER"]
        try:
            play(what.split(":")[-1] if timeout is not None else what)
        except KeyboardInterrupt:
            kind, message = Kind.NOT_RUN, "KeyboardInterrupt"
            emit(("outcome", Outcome(nodeid, job.path, index + 1, kind, message=message).to_dict()))
            raise
        emit(("outcome", Outcome(nodeid, job.path, index + 1, kind, message=message).to_dict()))
    emit(("done", job.path))

def on_event(event):
    print(json.dumps(event), flush=True)
    if PLAN.get("finish_after_first") and event[0] == "outcome":
        pool.stop(interrupt=False)

pool = WorkerPool(PLAN.get("count", 2), worker_main=worker_main,
                  max_restarts=PLAN.get("max_restarts", 4),
                  total_restarts=PLAN.get("total_restarts"), timeout=PLAN.get("timeout"))
if PLAN.get("stop_on_sigint"):
    signal.signal(signal.SIGINT, lambda *args: pool.stop())
else:
    # Ctrl-C as a KeyboardInterrupt, even when the suite was started with SIGINT ignored
    # (as a background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)
started = time.monotonic()
try:
    pool.run([Job(path) for path in PLAN["files"]], on_event)
except KeyboardInterrupt:
    print(json.dumps(["raised", "KeyboardInterrupt"]), flush=True)
print(json.dumps(["returned", time.monotonic()]), flush=True)
pool.wait_exited()
try:
    os.waitpid(-1, os.WNOHANG)
    print(json.dumps(["children-left", True]), flush=True)
except ChildProcessError:
    print(json.dumps(["children-left", False]), flush=True)
"""


class Run:
    """The events of one scenario, and views of them."""

    def __init__(self, lines: list[str], stderr: str = "") -> None:
        self.events = [json.loads(line) for line in lines if line.startswith("[")]
        self.stderr = stderr

    def of(self, kind: str) -> list[list]:
        return [event for event in self.events if event[0] == kind]

    @property
    def outcomes(self) -> dict[str, dict]:
        return {event[1]["nodeid"]: event[1] for event in self.of("outcome")}

    def kinds(self) -> dict[str, str]:
        return {nodeid: outcome["kind"] for nodeid, outcome in self.outcomes.items()}


def plan_env(tmp_path: Path, files: dict[str, object], **options: object) -> dict[str, str]:
    plan = {"files": files, "pids": str(tmp_path / "pids"), **options}
    return {**os.environ, "PLAN": json.dumps(plan)}


def run_plan(tmp_path: Path, files: dict[str, object], **options: object) -> Run:
    process = subprocess.run(
        [sys.executable, "-c", HARNESS], env=plan_env(tmp_path, files, **options),
        capture_output=True, text=True, timeout=60,
    )
    assert process.returncode == 0, process.stderr
    return Run(process.stdout.splitlines(), process.stderr)


def file_of(event: list) -> str | None:
    if event[0] == "outcome":
        return event[1]["path"]
    if event[0] == "start":
        return event[2]
    return event[1] if event[0] in ("collected", "done") else None


def test_events_reach_the_parent_in_order_and_files_stay_whole(tmp_path: Path) -> None:
    files = {f"f{index}": ["pass"] * 3 for index in range(6)}
    run = run_plan(tmp_path, files)
    assert run.kinds() == {f"f{i}::test_{j}": "passed" for i in range(6) for j in range(3)}
    for path in files:
        kinds = [event[0] for event in run.events if file_of(event) == path]
        assert kinds == ["collected"] + ["start", "outcome"] * 3 + ["done"]
        # One worker ran the whole file.
        assert len({run.outcomes[f"{path}::test_{j}"]["message"] for j in range(3)}) == 1
    assert {outcome["message"] for outcome in run.outcomes.values()} == {"gw0", "gw1"}
    # Taken in the order given, by whichever worker was free.
    for worker in ("gw0", "gw1"):
        taken = [path for path in files if run.outcomes[f"{path}::test_0"]["message"] == worker]
        begun = [event[1] for event in run.of("collected") if event[1] in taken]
        assert begun == taken


def test_outcomes_share_the_strings_the_parent_already_holds() -> None:
    # The parent keeps every outcome of a run: each node id and path is held once.
    script = textwrap.dedent("""
        from trelkin._workers import Job, WorkerPool
        from trelkin._outcome import Kind, Outcome

        def worker_main(job, emit):
            ids = [f"{job.path}::test_{index}" for index in range(3)]
            emit(("collected", job.path, ids, None))
            for index, nodeid in enumerate(ids):
                emit(("start", nodeid, job.path, index, None))
                emit(("outcome", Outcome(nodeid, job.path, index, Kind.PASSED).to_tuple()))
            emit(("done", job.path))

        collected, outcomes = {}, []
        def on_event(event):
            if event[0] == "collected":
                collected[event[1]] = event[2]
            elif event[0] == "outcome":
                outcomes.append(event[1])

        jobs = [Job(f"/tree/test_{name}.py") for name in "ab"]
        WorkerPool(2, worker_main=worker_main).run(jobs, on_event)
        paths = {job.path: job.path for job in jobs}
        assert len(outcomes) == 6
        for outcome in outcomes:
            assert any(outcome.nodeid is nodeid for nodeid in collected[outcome.path])
            assert outcome.path is paths[outcome.path]
        print("shared")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "shared", done.stderr


def test_every_worker_process_is_waited_for(tmp_path: Path) -> None:
    # The pool may return while its last workers are still leaving; none is left behind.
    run = run_plan(tmp_path, {"a.py": ["pass"] * 3, "b.py": ["hold-memory"], "c.py": ["segfault"]})
    assert run.of("children-left") == [["children-left", False]]
    assert len(run.outcomes) == 5


def test_never_more_workers_than_files(tmp_path: Path) -> None:
    run = run_plan(tmp_path, {"only": ["pass", "pass"]}, count=8)
    assert {outcome["message"] for outcome in run.outcomes.values()} == {"gw0"}


CRASHES = [
    pytest.param("segfault", "signal 11 (SIGSEGV)", "Fatal Python error: Segmentation fault",
                 id="segfault"),
    pytest.param("abort", "signal 6 (SIGABRT)", "Fatal Python error: Aborted", id="abort"),
    pytest.param("sigkill", "signal 9 (SIGKILL, as the kernel's out-of-memory killer sends)", "",
                 id="killed"),
    pytest.param("exit3", "exit status 3", "", id="exit-3"),
    pytest.param("exit0", "exit status 0", "", id="exit-0"),
]


@pytest.mark.parametrize(("what", "how", "dump"), CRASHES)
def test_a_crash_is_reported_on_its_test_and_the_file_resumes(
    tmp_path: Path, what: str, how: str, dump: str
) -> None:
    run = run_plan(tmp_path, {"a": ["print", what, "pass"], "b": ["pass"] * 4})
    crashed = run.outcomes["a::test_1"]
    assert crashed["kind"] == "crashed"
    assert f"while running 'a::test_1': {how}" in crashed["message"]
    assert crashed["message"].startswith("worker 'gw")
    assert dump in crashed["longrepr"]
    if what == "segfault":
        assert "in play" in crashed["longrepr"]  # the faulthandler traceback
        assert crashed["stdout"] == "before the crash\n"  # its own output, not test_0's
    assert run.kinds() == {
        "a::test_0": "passed", "a::test_1": "crashed", "a::test_2": "passed",
        **{f"b::test_{j}": "passed" for j in range(4)},
    }
    # Each test reported once, the file collected once and finished once.
    assert len(run.of("outcome")) == 7
    assert [event[1] for event in run.of("collected")].count("a") == 1
    assert [event[1] for event in run.of("done")].count("a") == 1


def test_a_crash_with_a_file_sent_ahead_runs_that_file_once(tmp_path: Path) -> None:
    # One worker and a long queue: b is sent ahead while a runs, and a's crash takes the
    # worker that held it.
    files = {"a": ["segfault", "pass"], "b": ["pass"] * 2, "c": ["pass"] * 2}
    run = run_plan(tmp_path, files, count=1)
    assert run.kinds() == {
        "a::test_0": "crashed", "a::test_1": "passed",
        **{f"{path}::test_{j}": "passed" for path in "bc" for j in range(2)},
    }
    assert len(run.of("outcome")) == 6
    for path in files:
        assert [event[1] for event in run.of("collected")].count(path) == 1
        assert [event[1] for event in run.of("done")].count(path) == 1


def test_a_stop_takes_back_the_file_sent_ahead(tmp_path: Path) -> None:
    # a's second test may begin before the stop reaches its worker (the race the test above
    # allows), and then outlasts it: the take-back of b has time to arrive.
    files = {"a": ["sleep0.2", "sleep0.3"], "b": ["pass"], "c": ["pass"]}
    run = run_plan(tmp_path, files, count=1, finish_after_first=True)
    assert run.kinds()["a::test_0"] == "passed"
    # b was sent ahead while a ran; neither it nor c begins after the stop.
    assert {event[1] for event in run.of("collected")} == {"a"}
    assert len(run.of("start")) == len(run.of("outcome"))
    assert not run.of("worker-error")


def test_a_crash_while_importing_is_a_collection_error(tmp_path: Path) -> None:
    run = run_plan(tmp_path, {"broken": "crash-on-import", "fine": ["pass"]})
    collected = {event[1]: event for event in run.of("collected")}
    assert collected["broken"][2] == []
    error = collected["broken"][3]
    assert error["kind"] == "crashed" and error["phase"] == "collect"
    assert "crashed while collecting broken: signal 11 (SIGSEGV)" in error["message"]
    assert "broken" in [event[1] for event in run.of("done")]
    assert run.kinds() == {"fine::test_0": "passed"}


def test_the_run_stops_after_too_many_crashes(tmp_path: Path) -> None:
    files = {f"c{index}": ["segfault", "pass"] for index in range(5)}
    run = run_plan(tmp_path, files, count=1, max_restarts=2)
    # Two replacements allowed: three crashes, then nothing more runs.
    assert Counter(run.kinds().values()) == {"crashed": 3, "passed": 2}
    (stopping,) = run.of("worker-error")
    assert stopping[1] is None
    assert "crashed 3 times, more than the 2 restarts allowed" in stopping[2]


def test_a_total_restart_limit_overrides_the_one_per_worker(tmp_path: Path) -> None:
    files = {f"c{index}": ["segfault"] for index in range(4)}
    run = run_plan(tmp_path, files, count=1, total_restarts=1)  # not 4, the default per worker
    assert Counter(run.kinds().values()) == {"crashed": 2}
    assert "more than the 1 restarts allowed" in run.of("worker-error")[0][2]


@pytest.mark.parametrize(
    ("test", "options"),
    [
        pytest.param("hang", {"timeout": 0.5}, id="pool-timeout"),
        pytest.param("limit:0.5:hang", {}, id="per-test-timeout"),
        pytest.param("limit:0.5:hang", {"timeout": 30}, id="per-test-wins"),
    ],
)
def test_a_test_past_its_time_is_reported_and_its_worker_replaced(
    tmp_path: Path, test: str, options: dict[str, object]
) -> None:
    started = time.monotonic()
    run = run_plan(tmp_path, {"slow": ["pass", test, "print"], "other": ["pass"]}, **options)
    assert time.monotonic() - started < 15
    timed_out = run.outcomes["slow::test_1"]
    assert timed_out["kind"] == "timeout"
    assert "ran longer than 0.5s" in timed_out["message"]
    assert "hang_here" in timed_out["longrepr"]  # every thread's traceback at that moment
    assert timed_out["duration"] >= 0.5
    assert run.kinds()["slow::test_2"] == "passed"
    assert run.outcomes["slow::test_2"]["stdout"] == ""  # read by the runner, not the pool
    assert len(run.of("outcome")) == 4


def test_a_limit_of_zero_means_none(tmp_path: Path) -> None:
    run = run_plan(tmp_path, {"a": ["limit:0:sleep0.3"]}, timeout=0.1)
    assert run.kinds() == {"a::test_0": "passed"}


def test_a_forked_child_of_a_test_never_speaks_for_the_worker(tmp_path: Path) -> None:
    run = run_plan(tmp_path, {"a": ["fork", "pass", "pass"]}, count=1)
    assert [event[1] for event in run.of("start")] == ["a::test_0", "a::test_1", "a::test_2"]
    assert run.kinds() == {f"a::test_{index}": "passed" for index in range(3)}
    assert not run.of("worker-error")


def test_a_failing_worker_main_is_reported_and_the_run_goes_on(tmp_path: Path) -> None:
    run = run_plan(tmp_path, {"a": ["raise"], "b": ["pass"]}, count=1)
    (error,) = run.of("worker-error")
    assert error[1] == "a"
    assert "RuntimeError: the runner itself broke" in error[2]
    assert run.kinds()["b::test_0"] == "passed"


@pytest.fixture
def start_plan(tmp_path: Path) -> Iterator[Callable[..., subprocess.Popen]]:
    """Starts a scenario in the background; whatever happens, it is gone at the end."""
    processes: list[subprocess.Popen] = []

    def start(files: dict[str, object], **options: object) -> subprocess.Popen:
        process = subprocess.Popen(
            [sys.executable, "-c", HARNESS], env=plan_env(tmp_path, files, **options),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        processes.append(process)
        return process

    yield start
    for process in processes:
        process.kill()
        process.communicate()


def read_until(process: subprocess.Popen, wanted: list) -> list[str]:
    """The lines the process printed up to and including the event ``wanted``."""
    lines = []
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        assert line, process.stderr.read()
        lines.append(line)
        if json.loads(line)[: len(wanted)] == wanted:
            return lines
    raise AssertionError(f"never saw {wanted}")


def finish(process: subprocess.Popen, lines: list[str]) -> Run:
    out, err = process.communicate(timeout=30)
    return Run(lines + out.splitlines(), err)


@pytest.mark.parametrize("handler", [True, False], ids=["stop-from-handler", "keyboard-interrupt"])
def test_ctrl_c_keeps_what_finished_and_ends_within_a_second(
    start_plan: Callable[..., subprocess.Popen], handler: bool
) -> None:
    files = {"a": ["pass", "hang", "pass"], "b": ["pass", "ignore-sigint", "pass"]}
    process = start_plan(files, stop_on_sigint=handler)
    lines = read_until(process, ["start", "a::test_1"])
    if '"b::test_1"' not in "".join(lines):
        lines += read_until(process, ["start", "b::test_1"])
    time.sleep(0.2)  # into their sleeps
    process.send_signal(signal.SIGINT)
    interrupted = time.monotonic()
    run = finish(process, lines)
    assert time.monotonic() - interrupted < 5
    assert run.kinds() == {
        "a::test_0": "passed", "a::test_1": "not run",
        "b::test_0": "passed", "b::test_1": "not run",
    }
    assert run.outcomes["a::test_1"]["message"] == "KeyboardInterrupt"  # the test saw it
    assert "interrupted: worker" in run.outcomes["b::test_1"]["message"]  # killed after grace
    assert not [event for event in run.of("start") if event[1].endswith("test_2")]
    assert bool(run.of("raised")) is not handler


def test_a_stop_that_does_not_interrupt_lets_running_tests_finish(tmp_path: Path) -> None:
    files = {"a": ["sleep0.2", "pass"], "b": ["sleep0.6", "pass"], "c": ["pass"]}
    run = run_plan(tmp_path, files, count=2, finish_after_first=True)
    # a's first test ended first and stopped the run while b's first was asleep: that one
    # finished, b's next never started, and no file after them was taken. (a's worker may
    # begin its next test before the signal reaches it.)
    kinds = run.kinds()
    assert kinds["b::test_0"] == "passed" and "b::test_1" not in kinds
    assert set(kinds.values()) == {"passed"}
    assert len(run.of("start")) == len(run.of("outcome"))
    assert "c" not in {event[1] for event in run.of("collected")}
    assert not run.of("worker-error")


def test_a_second_stop_kills_at_once(start_plan: Callable[..., subprocess.Popen]) -> None:
    process = start_plan({"a": ["ignore-sigint"]}, stop_on_sigint=True, count=1)
    lines = read_until(process, ["start", "a::test_0"])
    time.sleep(0.2)
    process.send_signal(signal.SIGINT)
    time.sleep(0.1)
    process.send_signal(signal.SIGINT)
    second = time.monotonic()
    run = finish(process, lines)
    assert run.of("returned")
    assert time.monotonic() - second < 0.9
    assert run.kinds() == {"a::test_0": "not run"}


def test_workers_die_with_their_parent(
    tmp_path: Path, start_plan: Callable[..., subprocess.Popen]
) -> None:
    process = start_plan({"a": ["hang"], "b": ["hang"]})
    read_until(process, ["start", "a::test_0"])
    pids_file = tmp_path / "pids"
    deadline = time.monotonic() + 10
    while len(pids_file.read_text().split() if pids_file.exists() else []) < 2:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    process.kill()
    process.communicate(timeout=10)
    for pid in map(int, pids_file.read_text().split()):
        while alive(pid):
            assert time.monotonic() < deadline, f"worker {pid} outlived its parent"
            time.sleep(0.05)


def alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


# -- through the command: the session's worker_main on real test files

TRELKIN = [sys.executable, "-m", "trelkin", "-p", "no:cacheprovider"]

# Each copy changes process-wide state, waits until the other copy runs at the same time
# (a marker file each), then checks that its state is still its own.
ISOLATED = """
import json, os, signal, sys, time
from pathlib import Path
from unittest import mock

ME, OTHER = {me!r}, {other!r}

def test_state_stays_mine(tmp_path):
    os.chdir(tmp_path)
    os.environ["TRELKIN_SHARED"] = ME
    sys.setrecursionlimit({limit})
    signal.signal(signal.SIGUSR2, lambda *args: None)
    handler = signal.getsignal(signal.SIGUSR2)
    with mock.patch.object(json, "dumps", lambda *args, **kwargs: ME):
        markers = Path({markers!r})
        (markers / ME).touch()
        deadline = time.monotonic() + 20
        while not (markers / OTHER).exists():
            assert time.monotonic() < deadline, "the other file never ran at the same time"
            time.sleep(0.01)
        time.sleep(0.2)  # both past their changes
        assert json.dumps({{}}) == ME
    assert os.getcwd() == str(tmp_path)
    assert os.environ["TRELKIN_SHARED"] == ME
    assert sys.getrecursionlimit() == {limit}
    assert signal.getsignal(signal.SIGUSR2) is handler
"""


def command(tree: Path, *arguments: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*TRELKIN, *arguments], cwd=tree, capture_output=True, text=True,
                          timeout=timeout)


def test_files_running_at_the_same_time_keep_their_own_process_state(tmp_path: Path) -> None:
    markers = tmp_path / "markers"
    markers.mkdir()
    for me, other, limit in (("a", "b", 1500), ("b", "a", 2500)):
        (tmp_path / f"test_{me}.py").write_text(
            ISOLATED.format(me=me, other=other, limit=limit, markers=str(markers)))
    result = command(tmp_path, "-n", "2", "-q")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "2 passed" in result.stdout


CRASHING_TEST = {
    "segfault": ("import ctypes\n", "ctypes.string_at(0)", "signal 11 (SIGSEGV)"),
    "abort": ("import os\n", "os.abort()", "signal 6 (SIGABRT)"),
    "exit-3": ("import os\n", "os._exit(3)", "exit status 3"),
    "exit-0": ("import os\n", "os._exit(0)", "exit status 0"),
}


@pytest.mark.parametrize("kind", CRASHING_TEST)
def test_the_command_reports_a_crash_and_runs_the_rest(tmp_path: Path, kind: str) -> None:
    imports, statement, how = CRASHING_TEST[kind]
    (tmp_path / "test_crash.py").write_text(
        f"{imports}import os\ndef test_before():\n    pass\n"
        f"def test_crash():\n    os.write(1, b'last words\\n')\n    {statement}\n"
        "def test_after():\n    pass\n"
    )
    (tmp_path / "test_other.py").write_text("def test_other():\n    pass\n")
    result = command(tmp_path, "-n", "2", "--junitxml=report.xml")
    assert result.returncode == 1, result.stdout + result.stderr
    assert f"crashed while running 'test_crash.py::test_crash': {how}" in result.stdout
    assert "last words" in result.stdout
    assert "3 passed" in result.stdout and "1 crashed" in result.stdout
    report = (tmp_path / "report.xml").read_text()
    assert report.count("<testcase") == 4


def test_the_command_replaces_a_worker_whose_test_hangs(tmp_path: Path) -> None:
    (tmp_path / "test_hang.py").write_text(
        "import time\ndef test_hangs():\n    time.sleep(60)\ndef test_next():\n    pass\n")
    started = time.monotonic()
    result = command(tmp_path, "-n", "2", "--timeout", "1")
    assert time.monotonic() - started < 30
    assert result.returncode == 1, result.stdout + result.stderr
    assert "'test_hang.py::test_hangs' ran longer than 1s" in result.stdout
    assert 'test_hang.py", line 3 in test_hangs' in result.stdout  # where it was stuck
    assert "1 passed" in result.stdout


def test_ctrl_c_keeps_the_report_of_what_finished(tmp_path: Path) -> None:
    (tmp_path / "test_slow.py").write_text(
        "import time\nfrom pathlib import Path\n"
        "def test_passes():\n    pass\n"
        f"def test_sleeps():\n    Path({str(tmp_path / 'asleep')!r}).touch()\n"
        "    time.sleep(60)\n"
        "def test_never_starts():\n    pass\n"
    )
    (tmp_path / "test_fails.py").write_text("def test_fails():\n    assert 1 == 2, 'it differs'\n")
    process = subprocess.Popen([*TRELKIN, "-n", "2", "--junitxml=report.xml"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while not (tmp_path / "asleep").exists():
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.05)
        time.sleep(0.3)  # test_fails is done by now too
        process.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert time.monotonic() - interrupted < 5
    assert process.returncode == 2, out + err
    report = (tmp_path / "report.xml").read_text()
    assert "it differs" in report and 'name="test_passes"' in report
    assert "it differs" in out


def junit_outcomes(path: Path) -> dict[str, tuple[str, str]]:
    """(outcome, message) of each test case of a JUnit report."""
    import xml.etree.ElementTree as ElementTree

    outcomes = {}
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        failure = case.find("failure") if case.find("failure") is not None else case.find("error")
        kind = "failed" if failure is not None else "skipped" if case.find("skipped") is not None \
            else "passed"
        message = failure.get("message", "") if failure is not None else ""
        outcomes[f"{case.get('classname')}.{case.get('name')}"] = (kind, message)
    return outcomes


def test_crashes_come_out_as_pytest_xdist_reports_them(tmp_path: Path) -> None:
    (tmp_path / "test_crash.py").write_text(
        "import ctypes\ndef test_before():\n    pass\ndef test_segfault():\n"
        "    ctypes.string_at(0)\ndef test_after():\n    pass\n")
    (tmp_path / "test_exit.py").write_text(
        "import os\ndef test_exit0():\n    os._exit(0)\ndef test_after_exit():\n    pass\n")
    command(tmp_path, "-n", "2", "--junitxml=ours.xml")
    subprocess.run([sys.executable, "-m", "pytest", "-n", "2", "-p", "no:cacheprovider",
                    "--junitxml=theirs.xml"], cwd=tmp_path, capture_output=True, timeout=120)
    ours, theirs = junit_outcomes(tmp_path / "ours.xml"), junit_outcomes(tmp_path / "theirs.xml")
    assert {name: kind for name, (kind, _) in ours.items()} == {
        name: kind for name, (kind, _) in theirs.items()}
    def any_worker(text: str) -> str:  # which worker gets a file depends on timing
        return re.sub(r"'gw\d+'", "'gw'", text)

    for name, (_, message) in theirs.items():
        # pytest-xdist's JUnit says 'failed on setup with "worker ... crashed ..."'.
        crash = message.partition('"')[2].removesuffix('"')
        # and then the signal or exit status
        assert any_worker(ours[name][1]).startswith(any_worker(crash))
