"""Writes a synthetic test suite for the discovery benchmark.

The tree has packages of sub-packages of test modules, with helper modules and a pruned
``__pycache__`` beside them. Every test module holds test functions, test classes, helper
functions and a non-test class, in varying amounts (a fixed seed makes the corpus the same on
every run). The corpus is built so that pytest's default collection rules and trelkin's agree
on it: file names ``test_*.py`` that are unique across the tree, no ``__init__`` in test
classes, no nested test classes, no parametrization, no asynchronous tests and no name defined
twice. So the benchmark can check that both find the same tests.

Usage: python make_corpus.py DIRECTORY [--files N] [--seed S]
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path

FILES_PER_DIRECTORY = 50
DIRECTORIES_PER_PACKAGE = 10

HELPER = '''\
"""Shared helpers of package {package} (not a test module)."""


def make_record(index):
    return {{"index": index, "name": f"record-{{index}}", "tags": ["a", "b"]}}
'''


def test_function(rng: random.Random, name: str) -> str:
    value = rng.randint(1, 1000)
    body = rng.choice([
        f"    assert sum(range({value})) == {sum(range(value))}\n",
        f"    data = [i * i for i in range({value % 50})]\n    assert len(data) == {value % 50}\n",
        f"    text = \"{name}\".upper()\n    assert text.lower() == \"{name}\"\n",
        f"    record = _make({value})\n    assert record[\"index\"] == {value}\n",
    ])
    doc = f'    """Checks case {value}."""\n' if rng.random() < 0.5 else ""
    return f"def {name}():\n{doc}{body}\n\n"


def test_class(rng: random.Random, name: str) -> str:
    lines = [f"class {name}:", f'    """Tests of {name[4:].lower()}."""', "",
             "    limit = 10", ""]
    for index in range(rng.randint(2, 6)):
        lines += [f"    def test_method_{index}(self):",
                  f"        assert self.limit > {index - 20}", ""]
    lines += ["    def helper(self):", "        return self.limit", "", ""]
    return "\n".join(lines) + "\n"


def module_source(rng: random.Random, package: int, directory: int, module: int) -> str:
    parts = [f'"""Synthetic tests: package {package}, directory {directory}, '
             f'module {module}."""\n\nimport json\nimport os\n\n'
             f"LIMIT = {rng.randint(10, 99)}\n\n\n"
             "def _make(index):\n    return {\"index\": index, \"path\": os.sep}\n\n\n"]
    functions = iter(range(100))
    classes = iter(range(100))
    for _ in range(rng.randint(4, 12)):
        roll = rng.random()
        if roll < 0.6:
            parts.append(test_function(rng, f"test_case_{next(functions)}"))
        elif roll < 0.75:
            parts.append(test_class(rng, f"TestGroup{next(classes)}"))
        elif roll < 0.9:
            parts.append(f"def helper_{next(functions)}(value):\n"
                         f"    return json.dumps({{\"value\": value}})\n\n\n")
        else:
            parts.append(f"class Builder{next(classes)}:\n"
                         "    def test_like_but_not_collected(self):\n        pass\n\n\n")
    return "".join(parts)


def write_corpus(root: Path, files: int = 10_000, seed: int = 2024) -> int:
    """Writes the corpus under root (which must not hold another one); returns the number of
    test modules written."""
    rng = random.Random(seed)
    written = 0
    package = 0
    while written < files:
        package_dir = root / f"pkg_{package:03d}"
        for directory in range(DIRECTORIES_PER_PACKAGE):
            if written >= files:
                break
            directory_path = package_dir / f"sub_{directory:02d}"
            directory_path.mkdir(parents=True, exist_ok=True)
            for module in range(FILES_PER_DIRECTORY):
                if written >= files:
                    break
                name = f"test_p{package:03d}_d{directory:02d}_m{module:02d}.py"
                (directory_path / name).write_text(module_source(rng, package, directory, module))
                written += 1
        (package_dir / "helpers.py").write_text(HELPER.format(package=package))
        cache = package_dir / "__pycache__"
        cache.mkdir(exist_ok=True)
        (cache / "test_stale.py").write_text("def test_never_found():\n    pass\n")
        package += 1
    return written


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=Path)
    parser.add_argument("--files", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    args.directory.mkdir(parents=True, exist_ok=True)
    written = write_corpus(args.directory, args.files, args.seed)
    print(f"wrote {written} test modules under {args.directory}")


if __name__ == "__main__":
    main()
