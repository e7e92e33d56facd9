"""Everything a project needs before its suite runs: its sdist unpacked, and a virtual
environment with the project, its test requirements, pytest and this checkout's trelkin.

The cache lives under build/suites/ (outside git) and is reused while its inputs are the same:
sdists/ the downloaded archives, src/ the pristine unpacked trees, venvs/ one environment per
project. Each command runs in a fresh copy of the tree under WORK, outside the checkout.
trelkin comes from the checkout itself, never copied: a .pth file puts its Python layer
(python/) on the path and loads the core from the build the checkout's own .venv uses, so
every run tests the tree as it is now.
"""

from __future__ import annotations

import glob
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

from _projects import Project

REPO = Path(__file__).resolve().parents[2]
CACHE = REPO / "build" / "suites"
# The trees the commands run in live outside the checkout: pytest (and trelkin) look for a
# configuration file in every directory above the tree, and would find the checkout's own.
WORK = Path(tempfile.gettempdir()) / "trelkin-suites"
# The oracle: the pytest of the checkout's own environment, pinned so tables compare.
PYTEST = "pytest==9.2.0"
# Loaded at every start of a project's interpreter; it must stay small and import little. The
# harness names the source tree and the core in the environment; by hand, the checkout's own.
_SHIM_MODULE = '''"""trelkin from the checkout at {repo}: the Python layer from its source
tree, the core from its build."""
import os
import sys

_CORE = os.environ.get("TRELKIN_SUITES_CORE", {core!r})


class _CoreFinder:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name != "trelkin._core":
            return None
        import importlib.machinery
        import importlib.util

        loader = importlib.machinery.ExtensionFileLoader(name, _CORE)
        return importlib.util.spec_from_file_location(name, _CORE, loader=loader)


sys.path.append(os.environ.get("TRELKIN_SUITES_SOURCE", {source!r}))
sys.meta_path.insert(0, _CoreFinder)
'''


class SetupError(Exception):
    """A project could not be prepared; the message says which step failed and why."""


def built_core() -> Path:
    """The trelkin core the checkout's .venv imports, or else the newest one in build/."""
    patterns = [
        str(REPO / ".venv/lib/python3.13/site-packages/trelkin/_core*.so"),
        str(REPO / "build/*/_core*.so"),
    ]
    for pattern in patterns:
        found = sorted(glob.glob(pattern), key=os.path.getmtime)
        if found:
            return Path(found[-1])
    raise SetupError("trelkin's core is not built: run scripts/test (or pip install -e .) first")


def committed_source(revision: str) -> Path:
    """The Python layer as committed at ``revision`` (its python/), exported under the cache:
    what to measure while the working tree is mid-change."""
    commit = subprocess.run(
        ["git", "-C", str(REPO), "rev-parse", "--verify", f"{revision}^{{commit}}"],
        capture_output=True, text=True,
    )
    if commit.returncode != 0:
        raise SetupError(f"no such revision: {revision}")
    sha = commit.stdout.strip()
    target = CACHE / "committed" / sha[:12]
    if not (target / "python").is_dir():
        staging = target.with_name(f".{sha[:12]}.exporting")
        shutil.rmtree(staging, ignore_errors=True)
        staging.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(REPO), "archive", sha, "python"],
                                 capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", str(staging)], input=archive, check=True)
        staging.rename(target)
    return target / "python"


def clean_env(project: Project, venv: Path, source: Path = REPO / "python") -> dict[str, str]:
    """The environment of every command run for ``project``: the venv first on PATH, trelkin
    taken from ``source`` with the built core, and none of the variables that would change how
    Python or pytest behave here."""
    env = dict(os.environ)
    for name in (
        "PYTHONDONTWRITEBYTECODE",
        "PYTHONUNBUFFERED",
        "PYTHONPATH",
        "PYTHONHOME",
        "PYTEST_ADDOPTS",
        "PYTEST_PLUGINS",
        "VIRTUAL_ENV",
        "PIP_REQUIRE_VIRTUALENV",
    ):
        env.pop(name, None)
    env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
    env["TRELKIN_SUITES_SOURCE"] = str(source)
    env["TRELKIN_SUITES_CORE"] = str(built_core())
    env.update(project.env)
    return env


def _run(command: list[str], what: str, env: dict[str, str] | None = None) -> None:
    completed = subprocess.run(command, capture_output=True, text=True, env=env)
    if completed.returncode != 0:
        tail = (completed.stdout + completed.stderr).strip().splitlines()[-15:]
        raise SetupError(f"{what} failed:\n" + "\n".join(tail))


def source_tree(project: Project) -> Path:
    """The pristine unpacked sdist of ``project`` (downloaded and unpacked once)."""
    stem = f"{project.name}-{project.version}"
    tree = CACHE / "src" / stem
    if tree.is_dir():
        return tree
    downloads = CACHE / "sdists" / stem
    archives = list(downloads.glob("*")) if downloads.is_dir() else []
    if not archives:
        downloads.mkdir(parents=True, exist_ok=True)
        _run(
            [sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
             "--no-binary", ":all:", "--no-deps", "-d", str(downloads), project.requirement],
            f"downloading the sdist of {project.requirement}",
        )
        archives = list(downloads.glob("*"))
    if len(archives) != 1:
        raise SetupError(f"expected one sdist in {downloads}, found {len(archives)}")
    staging = CACHE / "src" / f".{stem}.unpacking"
    shutil.rmtree(staging, ignore_errors=True)
    staging.mkdir(parents=True)
    _unpack(archives[0], staging)
    entries = list(staging.iterdir())
    top = entries[0] if len(entries) == 1 and entries[0].is_dir() else staging
    top.rename(tree)
    shutil.rmtree(staging, ignore_errors=True)
    return tree


def _unpack(archive: Path, into: Path) -> None:
    if archive.name.endswith(".zip"):
        with zipfile.ZipFile(archive) as zipped:
            zipped.extractall(into)
    else:
        with tarfile.open(archive) as tarred:
            tarred.extractall(into, filter="data")


def _venv_spec(project: Project) -> dict[str, object]:
    return {
        "python": sys._base_executable,
        "pytest": PYTEST,
        "project": project.requirement,
        "deps": list(project.deps),
    }


def environment(project: Project, tree: Path) -> Path:
    """The virtual environment of ``project``, made once per set of inputs; returns its root."""
    venv = CACHE / "venvs" / f"{project.name}-{project.version}"
    marker = venv / "harness.json"
    spec = _venv_spec(project)
    python = str(venv / "bin" / "python")
    if not (marker.is_file() and json.loads(marker.read_text()) == spec):
        shutil.rmtree(venv, ignore_errors=True)
        _run([sys._base_executable, "-m", "venv", str(venv)],
             f"creating the venv of {project.name}")
        _run(
            [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", PYTEST,
             *project.deps, str(tree)],
            f"installing {project.requirement} and its test requirements",
            env=clean_env(project, venv),
        )
        marker.write_text(json.dumps(spec, indent=1))
    _install_shim(python)
    return venv


def _install_shim(python: str) -> None:
    """Writes the .pth hook that brings trelkin from the checkout (every run: it costs nothing
    and keeps the hook current)."""
    where = "import sysconfig; print(sysconfig.get_paths()['purelib'])"
    site = Path(subprocess.check_output([python, "-c", where], text=True).strip())
    (site / "_trelkin_checkout.py").write_text(
        _SHIM_MODULE.format(repo=REPO, core=str(built_core()), source=str(REPO / "python"))
    )
    (site / "_trelkin_checkout.pth").write_text("import _trelkin_checkout\n")


def work_copy(tree: Path, where: Path) -> Path:
    """A fresh copy of ``tree`` at ``where``, so no command sees another's leftovers."""
    shutil.rmtree(where, ignore_errors=True)
    where.parent.mkdir(parents=True, exist_ok=True)
    shutil.copytree(tree, where, symlinks=True)
    return where
