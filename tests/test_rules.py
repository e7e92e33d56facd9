"""The command's copy of the core's rules agrees with the core itself."""

from __future__ import annotations

import os

import pytest

import subprocess
import sys

POOL_THREADS = """
import os, sys, threading, time, tempfile
from trelkin import _core, _rules
root = tempfile.mkdtemp()
for index in range(12):
    with open(os.path.join(root, f"test_{index}.py"), "w") as file:
        file.write("import threading, time\\nSEEN = set()\\n"
                   "def test_x():\\n    time.sleep(0.05)\\n    print(threading.get_ident())\\n")
results = _core.run_tests(_core.discover_tests(root))
threads = {result.output for result in results}
print(len(threads), _rules.pool_size(os.environ))
"""


@pytest.mark.parametrize("environment", [
    {"RAYON_NUM_THREADS": "3"}, {"RAYON_NUM_THREADS": "+2"},
    {"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, {"RAYON_RS_NUM_CPUS": "0"},
])
def test_pool_size_is_the_cores(environment):
    env = {key: value for key, value in os.environ.items() if not key.startswith("RAYON")}
    done = subprocess.run([sys.executable, "-c", POOL_THREADS], capture_output=True,
                          text=True, timeout=60, env={**env, **environment})
    used, predicted = done.stdout.split()
    # Twelve files of sleeping tests keep every thread of the pool busy at some point.
    assert int(used) == int(predicted), done.stderr
