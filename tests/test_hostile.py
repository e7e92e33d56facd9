"""Hostile file trees for discovery and faulting tests for both runners: there is always a
result, nothing hangs, nothing is printed or lost, and the interpreter stays usable.

Whatever could hang or crash runs in a fresh interpreter with a time bound."""

from __future__ import annotations

import json
import os
import random
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import run_python
from trelkin import _core

# The suite runs against the sanitized extension with the sanitizer runtime preloaded.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
ONE_TEST = "def test_x():\n    pass\n"
PATH_MAX = os.pathconf("/", "PC_PATH_MAX")


def found(root):
    return [(item.path, item.name, item.line_no) for item in _core.discover_tests(str(root))]


def in_subprocess(source, timeout=60, **kwargs):
    """Runs source in a fresh interpreter; returns what it printed as JSON, checking that it
    exited cleanly and wrote nothing else."""
    result = run_python(source, timeout=timeout, **kwargs)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return json.loads(result.stdout)


# ---- hostile trees ----------------------------------------------------------------------

def test_ten_thousand_entries_in_one_directory(tmp_path, capfd):
    expected = []
    for i in range(10_000):
        kind = i % 5
        if kind < 2:
            (tmp_path / f"test_{i:05}.py").write_text(ONE_TEST)
            expected.append((f"{tmp_path}/test_{i:05}.py", "test_x", 1))
        elif kind < 4:
            (tmp_path / f"helper_{i:05}.py").write_text(ONE_TEST)
        else:
            (tmp_path / f"dir_{i:05}").mkdir()
    assert found(tmp_path) == expected
    assert capfd.readouterr() == ("", "")


def make_deep_tree(top: Path, levels: int, name_length: int) -> list[str]:
    """A chain of `levels` directories below `top`, each holding a test file and a side
    directory with another. Built through directory descriptors, so paths longer than the
    system allows can be made. Returns every test file's path from `top`."""
    files = []
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    relative = str(top)
    try:
        for depth in range(levels):
            for name in (f"test_{depth}.py", f"side/test_side_{depth}.py"):
                if "/" in name:
                    os.mkdir("side", dir_fd=fd)
                opener = lambda path, flags, fd=fd: os.open(path, flags, dir_fd=fd)  # noqa: E731
                with open(name, "w", opener=opener) as file:
                    file.write(ONE_TEST)
                files.append(f"{relative}/{name}")
            child = f"{depth:04}".ljust(name_length, "d")
            os.mkdir(child, dir_fd=fd)
            next_fd = os.open(child, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd, relative = next_fd, f"{relative}/{child}"
    finally:
        os.close(fd)
    return files


@pytest.mark.parametrize("name_length", [4, 30], ids=["short-names", "beyond-path-max"])
def test_tree_two_hundred_levels_deep(tmp_path, capfd, name_length):
    # With long names the lower levels lie beyond PATH_MAX: they can't be named, so their
    # tests are absent, and everything above them is still found.
    files = make_deep_tree(tmp_path, 200, name_length)
    reachable = sorted(path for path in files if len(path.encode()) < PATH_MAX)
    assert (len(reachable) == len(files)) == (name_length == 4)
    assert [path for path, _, _ in found(tmp_path)] == reachable
    assert capfd.readouterr() == ("", "")


def test_link_cycles_through_several_links(tmp_path, capfd):
    # A ring a -> b -> c -> d -> a, a link back to the root from deep down, one to itself and
    # one to its parent: every test is found, and no reported path passes through the same
    # directory twice.
    ring = ["a", "b", "c", "d"]
    for name in ring:
        (tmp_path / name / "deep" / "er").mkdir(parents=True)
        (tmp_path / name / f"test_{name}.py").write_text(ONE_TEST)
    for name, next_name in zip(ring, ring[1:] + ring[:1]):
        os.symlink(f"../../../{next_name}", tmp_path / name / "deep" / "er" / "next")
    os.symlink("../../..", tmp_path / "a" / "deep" / "er" / "root")
    os.symlink(".", tmp_path / "b" / "self")
    os.symlink("..", tmp_path / "c" / "deep" / "parent")
    paths = [path for path, _, _ in found(tmp_path)]
    assert {os.path.realpath(path) for path in paths} == {
        str(tmp_path / name / f"test_{name}.py") for name in ring}
    assert len(paths) == len(set(paths))
    for path in paths:
        parts = Path(path).relative_to(tmp_path).parts[:-1]
        directories = [os.path.realpath(tmp_path.joinpath(*parts[:n]))
                       for n in range(len(parts) + 1)]
        assert len(directories) == len(set(directories)), path
    assert capfd.readouterr() == ("", "")


def test_web_of_links_is_walked_in_bounded_time(tmp_path):
    # Twelve directories, each linking to every other: following every path that repeats no
    # directory would visit about 12! of them, which is no result at all.
    size = 12
    for i in range(size):
        (tmp_path / f"d{i}").mkdir()
        (tmp_path / f"d{i}" / f"test_{i}.py").write_text(ONE_TEST)
    for i in range(size):
        for j in range(size):
            if i != j:
                os.symlink(f"../d{j}", tmp_path / f"d{i}" / f"to_{j}")
    paths = in_subprocess(f"""
        import json, trelkin._core as core
        print(json.dumps([item.path for item in core.discover_tests({str(tmp_path)!r})]))
    """, timeout=30)
    assert {os.path.realpath(path) for path in paths} == {
        str(tmp_path / f"d{i}" / f"test_{i}.py") for i in range(size)}
    assert len(paths) <= size**3


def test_special_files_are_never_read(tmp_path):
    # Pipes, sockets, devices and /proc files under test-file names, directly and through
    # links. Opening the pipe for reading would block, reading /dev/zero would never end.
    os.mkfifo(tmp_path / "test_fifo.py")
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(tmp_path / "test_socket.py"))
    targets = {"test_link_fifo.py": tmp_path / "test_fifo.py",
               "test_link_socket.py": tmp_path / "test_socket.py",
               "test_zero.py": "/dev/zero", "test_urandom.py": "/dev/urandom",
               "test_null.py": "/dev/null", "test_tty.py": "/dev/tty",
               "test_stdin.py": "/proc/self/fd/0", "test_mem.py": "/proc/self/mem",
               "test_pagemap.py": "/proc/self/pagemap", "test_status.py": "/proc/self/status",
               "fdinfo": "/proc/self/fdinfo"}
    for name, target in targets.items():
        os.symlink(target, tmp_path / name)
    (tmp_path / "test_good.py").write_text(ONE_TEST)
    try:
        outcome = in_subprocess(f"""
            import json, os, trelkin._core as core
            root = {str(tmp_path)!r}
            read, write = os.pipe()
            os.dup2(read, 0)  # standard input: a pipe that nobody ever writes to
            roots = [root, root + "/test_fifo.py", root + "/test_link_fifo.py",
                     root + "/test_zero.py", root + "/test_socket.py"]
            print(json.dumps([[item.path for item in core.discover_tests(r)] for r in roots]))
        """, timeout=30)
    finally:
        server.close()
    assert outcome == [[f"{tmp_path}/test_good.py"], [], [], [], []]


BAD_CONTENTS = {
    "test_random.py": random.Random(7).randbytes(64 * 1024),
    "test_nul.py": b"def test_a():\n    pass\n\0def test_b():\n    pass\n",
    "test_ff.py": b"\xff" * 4096,
    "test_utf16.py": ONE_TEST.encode("utf-16"),
    "test_elf.py": Path(sys.executable).resolve().read_bytes()[:256 * 1024],
    "test_truncated_utf8.py": ONE_TEST.encode() + b"# \xe2\x82",
}


def test_binary_files_and_nul_bytes_give_nothing(tmp_path, capfd):
    for name, content in BAD_CONTENTS.items():
        (tmp_path / name).write_bytes(content)
    (tmp_path / "test_good.py").write_text(ONE_TEST)
    (tmp_path / "test_empty.py").write_bytes(b"")
    assert found(tmp_path) == [(f"{tmp_path}/test_good.py", "test_x", 1)]
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("filler", ["comments", "one-line"])
def test_fifty_megabyte_test_file(tmp_path, capfd, filler):
    size = 50 * 1024 * 1024
    with open(tmp_path / "test_big.py", "w") as file:
        file.write(ONE_TEST)
        if filler == "comments":
            line = "# " + "x" * 97 + "\n"
            file.write(line * (size // len(line)))
        else:
            file.write("S = '" + "y" * size + "'\n")
        file.write("def test_last():\n    pass\n")
    last_line = 3 + (size // 100 if filler == "comments" else 1)
    assert [(name, line) for _, name, line in found(tmp_path)] == [
        ("test_x", 1), ("test_last", last_line)]
    assert capfd.readouterr() == ("", "")


CHURN = """
import os, random, sys, time
root, stop = sys.argv[1], sys.argv[2]
rng = random.Random(3)
names = [f"{root}/d{i}/{kind}{j}" for i in range(20) for j in range(10)
         for kind in ("test_", "dir_test_")]
def clear(path):
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            for entry in os.listdir(path):
                clear(os.path.join(path, entry))
            os.rmdir(path)
        else:
            os.unlink(path)
    except OSError:
        pass
def make(path, kind):
    try:
        if kind == "file":
            with open(path + ".py", "w") as f:
                f.write("def test_a():\\n    pass\\n" * rng.randrange(1, 50))
        elif kind == "fifo":
            os.mkfifo(path + ".py")
        elif kind == "dir":
            os.makedirs(path + "/sub")
            with open(path + "/sub/test_in.py", "w") as f:
                f.write("def test_in():\\n    pass\\n")
        elif kind == "link":
            os.symlink(rng.choice(names) + rng.choice([".py", ""]), path + ".py")
        elif kind == "locked":
            with open(path + ".py", "w") as f:
                f.write("def test_a():\\n    pass\\n")
            os.chmod(path + ".py", 0)
        elif kind == "rename":
            os.rename(os.path.dirname(path), os.path.dirname(path) + "_moved")
            os.rename(os.path.dirname(path) + "_moved", os.path.dirname(path))
    except OSError:
        pass
print("ready", flush=True)
while not os.path.exists(stop):
    path = rng.choice(names)
    for suffix in (".py", ""):
        clear(path + suffix)
    make(path, rng.choice(["file", "file", "fifo", "dir", "link", "locked", "rename"]))
"""


def test_tree_changing_during_the_walk(tmp_path):
    # Files and directories deleted, replaced by pipes, links or directories, locked and
    # renamed while discovery runs over and over.
    root = tmp_path / "tree"
    for i in range(20):
        (root / f"d{i}").mkdir(parents=True)
        for j in range(10):
            (root / f"d{i}" / f"test_{j}.py").write_text(ONE_TEST)
    stop = tmp_path / "stop"
    with subprocess.Popen([sys.executable, "-c", CHURN, str(root), str(stop)],
                          stdout=subprocess.PIPE, text=True) as churn:
        try:
            assert churn.stdout.readline() == "ready\n"
            counts = in_subprocess(f"""
                import json, time, trelkin._core as core
                counts, end = [], time.monotonic() + 3
                while time.monotonic() < end or len(counts) < 5:
                    items = core.discover_tests({str(root)!r})
                    assert all(item.path.startswith({str(root)!r} + "/") for item in items)
                    assert all(item.name.startswith("test_") for item in items)
                    counts.append(len(items))
                print(json.dumps(counts))
            """, timeout=60)
        finally:
            stop.touch()
            churn.wait(timeout=30)
    assert len(counts) >= 5 and max(counts) > 0


# ---- faulting tests ---------------------------------------------------------------------

# The runner script: an executor that runs the named behaviour, three files with a faulty
# test among sound ones, then a second run to show the interpreter is still usable. Prints
# one JSON report on the real standard output.
FAULT_HARNESS = """
import gc, io, json, os, sys, threading, time, types
import trelkin._core as core

def item(path, name, line=1):
    made = core.TestItem()
    made.path, made.name, made.line_no = path, name, line
    return made

BEHAVIOURS = {}
compat = types.ModuleType("trelkin._compat")
compat._execute_test = lambda path, name, args_json: BEHAVIOURS[name]()
sys.modules["trelkin._compat"] = compat
BEHAVIOURS["ok"] = lambda: print("ok out")
runner = getattr(core, RUNNER)
real_stdout = sys.stdout

FAULT

BEHAVIOURS["fault"] = fault
before = (sys.stdout, sys.stderr)
items = [item("c.py", "ok"), item("b.py", "ok", 2), item("b.py", "fault"), item("a.py", "ok")]
results = runner(items)
restored = (sys.stdout, sys.stderr) == before
after = runner([item("d.py", "ok"), item("e.py", "ok")])
real_stdout.write(json.dumps({
    "results": [[r.test.path, r.test.name, r.passed, r.output, r.error] for r in results],
    "restored": restored,
    "after": [[r.passed, r.output] for r in after],
}))
"""

FAULTS = {
    "closes-stdout": ("""
        def fault():
            print("gone")
            sys.stdout.close()
            sys.stderr.close()
        """, True, None),
    "deletes-stdout": ("""
        def fault():
            del sys.stdout
            del sys.stderr
            print("nowhere")
        """, False, "RuntimeError: lost sys.stdout"),
    "stdout-none": ("""
        def fault():
            sys.stdout = sys.stderr = None
            print("nowhere")
        """, True, None),
    "raising-write": ("""
        class Refusing:
            def write(self, text):
                raise OSError("refused")
            def flush(self):
                raise OSError("refused")
        def fault():
            sys.stdout = sys.stderr = Refusing()
            print("refused")
        """, False, "OSError: refused"),
    "thread-prints-after": ("""
        def fault():
            # One write() per line: print() on CPython 3.13.0 holds sys.stdout as a
            # borrowed reference between its writes, and crashes when the stream it holds
            # is released meanwhile, whatever replaced it.
            def chatter():
                for n in range(40):
                    sys.stdout.write(f"late {n}\\n")
                    time.sleep(0.002)
            thread = threading.Thread(target=chatter)
            thread.start()
            BEHAVIOURS["join"] = thread.join
        """, True, None),
    "recursive-calls": ("""
        import tempfile
        tree = tempfile.mkdtemp()
        with open(tree + "/test_t.py", "w") as file:
            file.write("def test_a():\\n    pass\\n")
        def inner():
            print("inner")
            found = core.discover_tests(tree)
            assert [i.name for i in found] == ["test_a"]
            for nested in (core.run_tests, core.run_tests_sequential):
                results = nested([item("x.py", "ok"), item("y.py", "ok")])
                assert [r.output for r in results] == ["ok out\\n", "ok out\\n"]
        BEHAVIOURS["inner"] = inner
        def fault():
            # Each runner inside itself and the parallel one inside the sequential one; the
            # sequential one inside a parallel run has a test of its own below.
            for nested in {core.run_tests, runner}:
                results = nested([item("x.py", "inner"), item("y.py", "inner"),
                                  item("z.py", "fault2")])
                assert [r.passed for r in results] == [True, True, False], results
                assert results[0].output == "inner\\n"
        BEHAVIOURS["fault2"] = lambda: 1 / 0
        """, True, None),
    "del-raises": ("""
        class Bomb:
            def __del__(self):
                raise RuntimeError("from __del__")
        class Failure(Exception):
            def __del__(self):
                raise RuntimeError("exception's __del__")
        class Reentrant:
            def __del__(self):
                core.run_tests_sequential([item("x.py", "ok")])
                core.run_tests([item("x.py", "ok"), item("y.py", "ok")])
        def fault():
            Bomb()
            cycle = [Bomb(), Reentrant()]
            cycle.append(cycle)
            del cycle
            gc.collect()
            keep = Bomb()  # dies with the test's frame, after the test
            raise Failure("failed")
        """, False, "Failure: failed"),
    "returns-bomb": ("""
        class Bomb:
            def __del__(self):
                raise RuntimeError("from __del__ of the return value")
        def fault():
            return Bomb()
        """, True, None),
    "python-recursion": ("""
        def fault(depth=0):
            return fault(depth + 1)
        """, False, "RecursionError: maximum recursion depth exceeded"),
    "c-recursion": ("""
        class Nested:
            def __repr__(self):
                return repr(Nested())
        def fault():
            repr(Nested())
        """, False, "RecursionError: maximum recursion depth exceeded"),
    "recursion-in-del": ("""
        class Deep:
            def __del__(self):
                def down():
                    down()
                down()
        def fault():
            Deep()
        """, True, None),
    "forks": ("""
        def fault():
            pid = os.fork()
            if pid == 0:
                try:
                    sys.stdout = io.StringIO()
                    results = runner([item("x.py", "ok"), item("y.py", "ok")])
                    core.discover_tests("/nonexistent")
                    other = core.run_tests_sequential([item("z.py", "ok")])
                    os._exit(0 if all(r.passed for r in results + other) else 3)
                finally:
                    os._exit(4)
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    assert os.waitstatus_to_exitcode(status) == 0, status
                    return
                time.sleep(0.01)
            os.kill(pid, 9)
            raise AssertionError("child hung")
        """, True, None),
}


# The faults that close, replace or delete sys.stdout and sys.stderr: they do so for every
# test running at that moment, so the run that checks its other tests keep their output
# runs its files one after another (one pool thread; a free-threaded build overlaps them).
STREAM_FAULTS = {"closes-stdout", "deletes-stdout", "stdout-none", "raising-write"}


@pytest.mark.parametrize("runner", ["run_tests_sequential", "run_tests"])
@pytest.mark.parametrize("fault", list(FAULTS))
def test_faulting_test_leaves_the_run_whole(runner, fault):
    source, passes, error = FAULTS[fault]
    script = textwrap.dedent(FAULT_HARNESS).replace("FAULT", textwrap.dedent(source))
    script = script.replace("RUNNER", repr(runner))
    if fault == "thread-prints-after":
        script = script.replace("after = runner", "BEHAVIOURS['join']()\nafter = runner")
    env = {"PYTHONWARNINGS": "ignore::DeprecationWarning"}
    if fault in STREAM_FAULTS:
        env["RAYON_NUM_THREADS"] = "1"
    result = run_python(script, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    # Threads of the test may have printed to the real stream before the report.
    report = json.loads(result.stdout.splitlines()[-1])
    paths_and_names = [row[:2] for row in report["results"]]
    assert paths_and_names == [["a.py", "ok"], ["b.py", "fault"], ["b.py", "ok"], ["c.py", "ok"]]
    for path, name, passed, output, failure in report["results"]:
        if name == "ok":
            assert passed and "ok out\n" in output, (path, failure)
        else:
            assert passed == passes, failure
            assert failure is None if passes else failure.startswith(error), failure
    assert report["restored"]
    assert report["after"] == [[True, "ok out\n"], [True, "ok out\n"]]


def test_sequential_run_inside_a_parallel_run_keeps_other_files_output_apart():
    # While a test of one file runs a sequential run, a test of another file prints on a
    # pool thread: that line belongs to its own result, not to the inner test's.
    outcome = in_subprocess("""
        import json, sys, threading, types, trelkin._core as core
        def item(path, name):
            made = core.TestItem()
            made.path, made.name = path, name
            return made
        b_started, inner_running, b_printed = (threading.Event() for _ in range(3))
        def inner():
            assert b_started.wait(10)
            inner_running.set()
            assert b_printed.wait(10)
        def outer():
            [result] = core.run_tests_sequential([item("x.py", "inner")])
            assert result.passed, result.error
            print("outer out")
            return result.output
        def printer():
            b_started.set()
            assert inner_running.wait(10)
            print("b out")
            b_printed.set()
        behaviours = {"inner": inner, "outer": outer, "printer": printer}
        compat = types.ModuleType("trelkin._compat")
        compat._execute_test = lambda path, name, args: behaviours[name]()
        sys.modules["trelkin._compat"] = compat
        results = core.run_tests([item("a.py", "outer"), item("b.py", "printer")])
        print(json.dumps([[r.passed, r.output] for r in results]))
    """, env={"RAYON_NUM_THREADS": "4"})
    assert outcome == [[True, "outer out\n"], [True, "b out\n"]]


@pytest.mark.parametrize("limit", [
    None,
    pytest.param(3000, marks=pytest.mark.skipif(
        SANITIZED, reason="sanitizer stack frames are several times larger")),
], ids=["default-limit", "limit-3000"])
@pytest.mark.parametrize("runner", ["run_tests_sequential", "run_tests"])
def test_runs_nested_until_recursion_runs_out(runner, limit):
    # Every level is a test that starts another run of two files, so the inner levels run
    # on the pool's threads: they must have room for as deep a recursion as the host allows
    # its own threads.
    outcome = in_subprocess(f"""
        import json, sys, types, trelkin._core as core
        if {limit!r}:
            sys.setrecursionlimit({limit!r})
        runner = core.{runner}
        def item(path, name):
            made = core.TestItem()
            made.path, made.name = path, name
            return made
        depth = []
        def nest():
            depth.append(None)
            results = runner([item("x.py", "nest"), item("y.py", "leaf")])
            assert results[1].passed
            if not results[0].passed:
                assert results[0].error.startswith("RecursionError"), results[0].error
        compat = types.ModuleType("trelkin._compat")
        compat._execute_test = lambda path, name, args: nest() if name == "nest" else None
        sys.modules["trelkin._compat"] = compat
        results = runner([item("a.py", "nest"), item("b.py", "leaf")])
        print(json.dumps([[r.passed for r in results], len(depth) > 100]))
    """)
    assert outcome == [[True, True], True]
