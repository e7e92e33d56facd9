"""Which files a run takes and where its configuration comes from, with pytest as the
oracle: the same tree, the same command line, the same files and the same rootdir."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from trelkin import _collect, _config

TEST = "def test_it():\n    pass\n"


def pytest_files(root: Path, *args: str) -> list[str]:
    """The files pytest collects tests from, in its order, relative to ``root``."""
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "--co", "-q", "-p", "no:cacheprovider", *args],
        cwd=root, capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTEST_ADDOPTS": ""},
    )
    files: list[str] = []
    for line in run.stdout.splitlines():
        if "::" in line:
            path = line.split("::", 1)[0]
            if not files or files[-1] != path:
                files.append(path)
    return files


def our_files(root: Path, *args: str) -> list[str]:
    settings = _config.load(list(args), invocation_dir=root)
    targets = _collect.resolve_arguments(list(args), settings, root)
    found = _collect.find_files(targets, settings)
    return [os.path.relpath(test_file.path, root) for test_file in found.files]


TREES = {
    "default pruning": {
        "test_top.py": TEST,
        "build/test_built.py": TEST,
        "dist/test_dist.py": TEST,
        "node_modules/x/test_n.py": TEST,
        ".hidden/test_h.py": TEST,
        "pkg.egg/test_e.py": TEST,
        "CVS/test_c.py": TEST,
        "venv/test_v.py": TEST,
        "env/pyvenv.cfg": "",
        "env/test_in_venv.py": TEST,
        "target/test_target.py": TEST,
        "site/test_site.py": TEST,
        "src/pkg/tests/test_deep.py": TEST,
    },
    "names and order": {
        "test_b.py": TEST,
        "a_test.py": TEST,
        "testing.py": TEST,
        "tests.py": TEST,
        "sub/test_a.py": TEST,
        "Sub2/test_z.py": TEST,
        "sub/inner/test_q.py": TEST,
        "sub/conftest.py": "",
        "check_x.py": TEST,
        "z_dir/test_1.py": TEST,
    },
    "configured patterns": {
        "pytest.ini": "[pytest]\npython_files = check_*.py\nnorecursedirs = skipme\n",
        "check_one.py": TEST,
        "test_not.py": TEST,
        "skipme/check_two.py": TEST,
        "build/check_three.py": TEST,
    },
}


@pytest.mark.parametrize("tree", TREES.values(), ids=TREES.keys())
def test_the_walk_takes_the_files_pytest_takes(write_tree, tree):
    root = write_tree(tree)
    assert our_files(root) == pytest_files(root)


@pytest.mark.parametrize("args", [
    ["sub"], ["sub/test_a.py"], ["check_x.py"], ["sub", "test_b.py"], ["test_b.py::test_it"],
    ["--ignore=sub"],
])
def test_command_line_paths_as_pytest_reads_them(write_tree, args):
    root = write_tree(TREES["names and order"])
    ignore = [arg.split("=", 1)[1] for arg in args if arg.startswith("--ignore=")]
    paths = [arg for arg in args if not arg.startswith("--")]
    settings = _config.load(paths, invocation_dir=root)
    targets = _collect.resolve_arguments(paths, settings, root)
    found = _collect.find_files(targets, settings, ignore=[str(root / p) for p in ignore])
    ours = [os.path.relpath(test_file.path, root) for test_file in found.files]
    assert ours == pytest_files(root, *args)


def test_a_file_name_that_is_not_utf8_is_taken(tmp_path):
    name = os.fsencode(tmp_path) + b"/test_\xff.py"
    with open(name, "w") as file:
        file.write(TEST)
    assert len(our_files(tmp_path)) == 1


UNREADABLE = """
import os, sys, tempfile
from pathlib import Path
from trelkin import _collect, _config
root = Path(tempfile.mkdtemp())
(root / "locked").mkdir()
(root / "locked" / "test_x.py").write_text("def test_x():\\n    pass\\n")
(root / "test_ok.py").write_text("def test_ok():\\n    pass\\n")
(root / "locked").chmod(0)
root.chmod(0o755)
if os.geteuid() == 0:  # root reads every directory: look as nobody
    os.setgid(65534)
    os.setuid(65534)
settings = _config.load([], invocation_dir=root)
found = _collect.find_files(_collect.resolve_arguments([], settings, root), settings)
print([Path(f.path).name for f in found.files], [e.nodeid for e in found.errors])
"""


def test_an_unreadable_directory_is_a_collection_error():
    run = subprocess.run([sys.executable, "-c", UNREADABLE], capture_output=True, text=True,
                         timeout=60)
    assert run.stdout.strip() == "['test_ok.py'] ['locked']", run.stderr


@pytest.mark.parametrize(("argument", "message"), [
    ("missing.py", "file or directory not found: missing.py"),
    ("fifo.py", "not a regular file or directory: fifo.py"),
])
def test_paths_that_name_nothing_to_read(tmp_path, argument, message):
    os.mkfifo(tmp_path / "fifo.py")
    settings = _config.load([], invocation_dir=tmp_path)
    with pytest.raises(_collect.UsageError, match=message):
        _collect.resolve_arguments([argument], settings, tmp_path)


CONFIGS = {
    "pytest.ini wins over pyproject": {
        "pytest.ini": "[pytest]\n", "pyproject.toml": "[tool.pytest.ini_options]\n",
        "tests/test_a.py": TEST,
    },
    "pyproject without the section": {
        "pyproject.toml": "[project]\nname = 'x'\n", "setup.cfg": "[tool:pytest]\n",
        "tests/test_a.py": TEST,
    },
    "tox.ini section": {"tox.ini": "[pytest]\nmarkers = slow\n", "tests/test_a.py": TEST},
    "nothing: setup.py marks the root": {"setup.py": "", "tests/test_a.py": TEST},
    "nothing at all": {"tests/test_a.py": TEST},
}


@pytest.mark.parametrize("tree", CONFIGS.values(), ids=CONFIGS.keys())
def test_rootdir_and_configfile_as_pytest_finds_them(write_tree, tree):
    root = write_tree(tree)
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "--co", "-p", "no:cacheprovider", "tests"],
        cwd=root, capture_output=True, text=True, timeout=120,
    )
    lines = run.stdout.splitlines()
    expected_root = next(line for line in lines if line.startswith("rootdir: "))[9:]
    expected_file = next(
        (line[12:].split(" ")[0] for line in lines if line.startswith("configfile: ")), None
    )
    settings = _config.load(["tests"], invocation_dir=root)
    assert str(settings.rootdir) == expected_root
    found = None if settings.inifile is None else settings.inifile.name
    assert found == expected_file


@pytest.mark.parametrize(("source", "name", "value"), [
    ('[tool.pytest.ini_options]\naddopts = ["-x", "-q"]\n', "addopts", ["-x", "-q"]),
    ('[tool.pytest.ini_options]\nxfail_strict = true\n', "xfail_strict", True),
    ('[tool.pytest.ini_options]\nmarkers = ["slow: slow tests"]\n', "markers", ["slow: slow tests"]),
    ('[tool.pytest.ini_options]\nminversion = "8.0"\n', "minversion", "8.0"),
])
def test_ini_values_by_their_types(tmp_path, source, name, value):
    (tmp_path / "pyproject.toml").write_text(source)
    assert _config.load([], invocation_dir=tmp_path).getini(name) == value


def test_overrides_beat_the_file(tmp_path):
    (tmp_path / "pytest.ini").write_text("[pytest]\nxfail_strict = false\n")
    settings = _config.load([], invocation_dir=tmp_path, overrides=["xfail_strict=true"])
    assert settings.getini("xfail_strict") is True
    with pytest.raises(_config.ConfigError, match="option=value"):
        _config.load([], invocation_dir=tmp_path, overrides=["xfail_strict"])
