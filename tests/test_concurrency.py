"""Many host threads discovering and running tests at once: every result is exactly its own.

Runs in a fresh interpreter with a time bound: a lost wake-up or a deadlock fails the test
instead of stalling the suite, and the child's own standard output and error show whatever
escaped capture.
"""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig

import pytest

from conftest import run_python

STRESS = r"""
import os, sys, threading, time, types, tempfile
import trelkin._core as core

THREADS, ROUNDS, FILES = {threads}, {rounds}, 12

# A test's behaviour follows from its name, so the checker knows what each must give:
# <kind>_<file>_<n>, kind one of pass (prints), fail (prints, raises), intr (prints, raises
# KeyboardInterrupt), quiet (prints nothing).
def expected(name):
    kind = name.split("::")[-1].split("_")[1]
    out = "" if kind == "quiet" else "".join(f"{{name}} out {{k}}\n" for k in range(3))
    err = "" if kind == "quiet" else "".join(f"{{name}} err {{k}}\n" for k in range(3))
    error = {{"pass": None, "quiet": None, "fail": f"ValueError: {{name}}",
              "intr": "KeyboardInterrupt: "}}[kind]
    return out, err, error

SOURCE = '''
import sys, time
def run(name, kind):
    if kind != "quiet":
        for k in range(3):
            print(name, "out", k)
            time.sleep(0.0005)
            sys.stderr.write(f"{{name}} err {{k}}\\n")
    if kind == "fail":
        raise ValueError(name)
    if kind == "intr":
        raise KeyboardInterrupt
'''

def write_tree(root):
    kinds = ["pass", "fail", "intr", "quiet"]
    for f in range(FILES):
        lines = [SOURCE]
        for n, kind in enumerate(kinds):
            lines.append(f"def test_{{kind}}_{{f}}_{{n}}():\n    run('test_{{kind}}_{{f}}_{{n}}', '{{kind}}')\n")
        lines.append(f"class TestC{{f}}:\n")
        for n, kind in enumerate(kinds[:2]):
            name = f"TestC{{f}}::test_{{kind}}_{{f}}_{{n}}"
            lines.append(f"    def test_{{kind}}_{{f}}_{{n}}(self):\n        run('{{name}}', '{{kind}}')\n")
        sub = os.path.join(root, f"d{{f % 3}}")
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, f"test_m{{f}}.py"), "w") as out:
            out.write("\n".join(lines))

# The executor: each file is loaded once, up front, so that runs compare test code alone.
modules = {{}}
def _execute_test(path, name, args_json):
    module = modules[path]
    if "::" in name:
        class_name, method = name.split("::")
        getattr(getattr(module, class_name)(), method)()
    else:
        getattr(module, name)()

compat = types.ModuleType("trelkin._compat")
compat._execute_test = _execute_test
sys.modules["trelkin._compat"] = compat

root = tempfile.mkdtemp()
write_tree(root)
reference = core.discover_tests(root)
for item in reference:
    if item.path not in modules:
        module = types.ModuleType(item.path)
        with open(item.path) as source:
            exec(compile(source.read(), item.path, "exec"), module.__dict__)
        modules[item.path] = module
key = [(i.path, i.name, i.line_no) for i in reference]
assert len(key) == FILES * 6, len(key)

streams = (sys.stdout, sys.stderr)
problems, checked = [], [0]
lock = threading.Lock()
start = threading.Barrier(THREADS)

def worker(index):
    start.wait(30)
    for round_ in range(ROUNDS):
        items = core.discover_tests(root)
        found = [(i.path, i.name, i.line_no) for i in items]
        if found != key:
            with lock:
                problems.append(("discovery", index, round_))
        run = core.run_tests if (index + round_) % 2 else core.run_tests_sequential
        results = run(items)
        mine = []
        for r in results:
            want = expected(r.test.name)
            got = (r.output, r.error_output, r.error)
            if got != want or r.passed != (want[2] is None):
                mine.append((run.__name__, r.test.name, got))
        with lock:
            problems.extend(mine)
            checked[0] += len(results)

threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
if (sys.stdout, sys.stderr) != streams:
    problems.append(("streams not restored", repr(sys.stdout), repr(sys.stderr)))
if problems:
    print("PROBLEMS", len(problems), problems[:5], file=sys.__stdout__)
else:
    print("ok", checked[0], file=sys.__stdout__)
"""


@pytest.mark.parametrize("threads, rounds", [(8, 20), (3, 10)])
def test_concurrent_discovery_and_runs_keep_every_capture_its_own(threads, rounds):
    result = run_python(STRESS.format(threads=threads, rounds=rounds), timeout=300,
                        env={"RAYON_NUM_THREADS": "4"})
    # Anything a test printed that escaped capture shows up beside the summary line.
    assert result.stdout == f"ok {threads * rounds * 72}\n", result.stdout[-3000:]
    assert result.stderr == "", result.stderr[-3000:]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only a free-threaded interpreter can turn its lock back on")
def test_import_leaves_the_interpreter_lock_off():
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    result = subprocess.run(
        [sys.executable, "-c", "import sys, trelkin._core; print(sys._is_gil_enabled())"],
        capture_output=True, text=True, timeout=60, env=env)
    assert (result.stdout, result.stderr) == ("False\n", "")
