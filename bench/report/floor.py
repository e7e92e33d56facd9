"""The pure-Python floor of running a tree of plain test functions, as a whole command.

It does the work any runner must and nothing more: walks the tree, reads and parses every
`test_*.py` with `ast` to find its test functions, imports every module, calls every test
with its output captured in a fresh buffer, counts outcomes and prints a summary. No
fixtures, marks, reports or tracebacks beyond the count.

    python floor.py ROOT
"""

from __future__ import annotations

import ast
import importlib
import io
import os
import sys
import time


def test_names(path: str) -> list[str]:
    with open(path, "rb") as file:
        tree = ast.parse(file.read(), path)
    return [node.name for node in tree.body
            if isinstance(node, ast.FunctionDef) and node.name.startswith("test")]


def test_files(root: str) -> list[str]:
    found = []
    for directory, subdirectories, files in os.walk(root):
        subdirectories[:] = sorted(d for d in subdirectories if not d.startswith((".", "__")))
        found += [os.path.join(directory, name) for name in sorted(files)
                  if name.startswith("test_") and name.endswith(".py")]
    return found


def main(root: str) -> int:
    start = time.perf_counter()
    passed = failed = 0
    stdout, stderr = sys.stdout, sys.stderr
    for path in test_files(root):
        names = test_names(path)
        directory = os.path.dirname(os.path.abspath(path))
        if sys.path[0] != directory:
            sys.path.insert(0, directory)
        module = importlib.import_module(os.path.basename(path)[:-3])
        for name in names:
            sys.stdout = sys.stderr = io.StringIO()
            try:
                getattr(module, name)()
                passed += 1
            except Exception:
                failed += 1
            finally:
                sys.stdout, sys.stderr = stdout, stderr
    print(f"{passed} passed, {failed} failed in {time.perf_counter() - start:.2f}s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
