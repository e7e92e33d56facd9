"""Configuration as pytest finds it: the ini file and rootdir for the given paths, its
values by their types, and trelkin's own ``[tool.trelkin]`` table.

Files, in pytest's order of precedence within one directory: ``pytest.ini`` (also
``.pytest.ini``), ``pyproject.toml`` with ``[tool.pytest.ini_options]``, ``tox.ini`` with
``[pytest]``, ``setup.cfg`` with ``[tool:pytest]``. The search starts at the common
ancestor of the paths and goes up; the first file that holds a section wins (a
``pytest.ini`` counts even when empty). The rootdir is that file's directory, or, without
one, the first ancestor with ``setup.py``, or the common ancestor itself.
"""

from __future__ import annotations

import os
from pathlib import Path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence


class ConfigError(Exception):
    """A configuration that can't be used: a bad file, an unknown key under strictness."""


# The types of the keys trelkin reads; any other key is kept as text and warned about once
# plugins have had their say (a conftest's ``parser.addini`` registers its own).
INI_TYPES: dict[str, str] = {
    "addopts": "args",
    "testpaths": "args",
    "python_files": "args",
    "python_classes": "args",
    "python_functions": "args",
    "norecursedirs": "args",
    "markers": "linelist",
    "filterwarnings": "linelist",
    "usefixtures": "args",
    "xfail_strict": "bool",
    "pythonpath": "paths",
    "required_plugins": "args",
    "minversion": "string",
    "junit_family": "string",
    "junit_suite_name": "string",
    "junit_logging": "string",
    "junit_log_passing_tests": "bool",
    "junit_duration_report": "string",
    "timeout": "string",
    "asyncio_mode": "string",
    "console_output_style": "string",
    "log_level": "string",
    "log_format": "string",
    "log_date_format": "string",
    "log_cli": "bool",
    "log_cli_level": "string",
    "empty_parameter_set_mark": "string",
    "cache_dir": "string",
    "tmp_path_retention_count": "string",
    "tmp_path_retention_policy": "string",
    "consider_namespace_packages": "bool",
    "truncation_limit_lines": "string",
    "truncation_limit_chars": "string",
    "assertion_text_diff_style": "string",
    "verbosity_assertions": "string",
}

DEFAULTS: dict[str, str | list[str]] = {
    "python_files": ["test_*.py", "*_test.py"],
    "python_classes": ["Test"],
    "python_functions": ["test"],
    "norecursedirs": [
        "*.egg", ".*", "_darcs", "build", "CVS", "dist", "node_modules", "venv", "{arch}",
    ],
    "junit_family": "xunit2",
    "junit_suite_name": "pytest",
    "junit_logging": "no",
    "junit_duration_report": "total",
    "empty_parameter_set_mark": "skip",
}


class Settings:
    """What configures one run: where the root is, which file configured it, the raw ini
    values, and trelkin's own table."""

    def __init__(
        self,
        rootdir: Path,
        inifile: Path | None = None,
        ini: dict[str, str | list[str]] | None = None,
        trelkin: dict[str, object] | None = None,
        overrides: dict[str, str] | None = None,
    ) -> None:
        self.rootdir = rootdir
        self.inifile = inifile
        self.ini = ini if ini is not None else {}
        self.trelkin = trelkin if trelkin is not None else {}
        # Values given with -o name=value, over the file's.
        self.overrides = overrides if overrides is not None else {}
        # Registered at run time by conftests (``parser.addini``): name -> (type, default).
        self.registered: dict[str, tuple[str, object]] = {}

    def raw(self, name: str) -> str | list[str] | None:
        if name in self.overrides:
            return self.overrides[name]
        return self.ini.get(name)

    def getini(self, name: str) -> object:
        """The value of ``name`` converted by its type, or its default."""
        kind = INI_TYPES.get(name) or self.registered.get(name, ("string", None))[0]
        value = self.raw(name)
        if value is None:
            if name in DEFAULTS:
                default = DEFAULTS[name]
                return list(default) if isinstance(default, list) else default
            if name in self.registered:
                return self.registered[name][1]
            return _empty(kind)
        return convert(value, kind, self.inifile)

    def unknown_keys(self) -> list[str]:
        return sorted(
            key for key in self.ini if key not in INI_TYPES and key not in self.registered
        )


def _empty(kind: str) -> object:
    if kind in ("args", "linelist", "paths"):
        return []
    if kind == "bool":
        return False
    return ""


def split_args(text: str) -> list[str]:
    """Shell-like words, as addopts and PYTEST_ADDOPTS are split."""
    if not text or text.isspace():
        return []
    import shlex

    return shlex.split(text)


def convert(value: str | list[str], kind: str, inifile: Path | None) -> object:
    if kind == "args":
        return list(value) if isinstance(value, list) else split_args(value)
    if kind == "linelist":
        if isinstance(value, list):
            return list(value)
        return [line.strip() for line in value.splitlines() if line.strip()]
    if kind == "paths":
        base = inifile.parent if inifile is not None else Path.cwd()
        items = value if isinstance(value, list) else split_args(value)
        return [base / item for item in items]
    if kind == "bool":
        if isinstance(value, bool):
            return value
        text = str(value).strip().lower()
        if text in ("1", "true", "yes", "on", "y", "t"):
            return True
        if text in ("0", "false", "no", "off", "n", "f", ""):
            return False
        raise ConfigError(f"invalid truth value {value!r}")
    if isinstance(value, list):
        return " ".join(value)
    return value


_INI_FILES = ("pytest.ini", ".pytest.ini", "pyproject.toml", "tox.ini", "setup.cfg")


def _read(path: Path) -> tuple[dict[str, str | list[str]], dict[str, object]] | None:
    """The pytest section of a candidate file and trelkin's table, or None when the file
    configures nothing (a ``pytest.ini`` always configures)."""
    name = path.name
    try:
        if name == "pyproject.toml":
            import tomllib

            with open(path, "rb") as file:
                data = tomllib.load(file)
            tool = data.get("tool", {})
            section = tool.get("pytest", {}).get("ini_options")
            own = tool.get("trelkin")
            if section is None and own is None:
                return None
            values = {key: _toml_value(value) for key, value in (section or {}).items()}
            return values, dict(own or {})
        import configparser

        parser = configparser.ConfigParser(interpolation=None, strict=False)
        parser.optionxform = str  # type: ignore[assignment,method-assign]
        with open(path, encoding="utf-8") as file:
            parser.read_file(file)
    except (OSError, ValueError, UnicodeDecodeError) as error:
        raise ConfigError(f"{path}: {error}") from error
    except Exception as error:  # configparser's and tomllib's own errors
        raise ConfigError(f"{path}: {error}") from error
    section_name = {"tox.ini": "pytest", "setup.cfg": "tool:pytest"}.get(name, "pytest")
    if not parser.has_section(section_name):
        if name in ("pytest.ini", ".pytest.ini"):
            return {}, {}
        return None
    return dict(parser.items(section_name)), {}


def _toml_value(value: object) -> str | list[str]:
    if isinstance(value, list):
        return [str(item) for item in value]
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def common_ancestor(paths: Sequence[Path]) -> Path:
    directories = [path if path.is_dir() else path.parent for path in paths]
    return Path(os.path.commonpath([str(directory) for directory in directories]))


def load(
    arguments: Sequence[str],
    *,
    inifile: str | None = None,
    rootdir: str | None = None,
    overrides: Sequence[str] = (),
    invocation_dir: Path | None = None,
) -> Settings:
    """Finds and reads the configuration for the paths on the command line (``-c``,
    ``--rootdir`` and ``-o name=value`` as given)."""
    here = invocation_dir or Path.cwd()
    paths = [
        (here / argument.split("::", 1)[0]).absolute()
        for argument in arguments
        if not argument.startswith("-")
    ]
    existing = [path for path in paths if path.exists()] or [here]
    ancestor = common_ancestor(existing)
    found: tuple[Path, dict[str, str | list[str]], dict[str, object]] | None = None
    if inifile is not None:
        path = (here / inifile).absolute()
        read = _read(path)
        found = (path, *(read or ({}, {})))
    else:
        for directory in (ancestor, *ancestor.parents):
            for name in _INI_FILES:
                candidate = directory / name
                if candidate.is_file():
                    read = _read(candidate)
                    if read is not None:
                        found = (candidate, *read)
                        break
            if found is not None:
                break
    values = _parse_overrides(overrides)
    if rootdir is not None:
        root = (here / os.path.expandvars(rootdir)).absolute()
        if not root.is_dir():
            raise ConfigError(f"Directory '{root}' not found. Check your '--rootdir' option.")
    elif found is not None:
        root = found[0].parent
    else:
        root = next((d for d in (ancestor, *ancestor.parents) if (d / "setup.py").is_file()), None)
        if root is None:
            root = common_ancestor([here, ancestor])
            if root == Path(root.anchor):
                root = ancestor
    if found is None:
        return Settings(rootdir=root, overrides=values)
    path, ini, own = found
    return Settings(rootdir=root, inifile=path, ini=ini, trelkin=own, overrides=values)


def _parse_overrides(overrides: Sequence[str]) -> dict[str, str]:
    values = {}
    for override in overrides:
        name, equals, value = override.partition("=")
        if not equals:
            raise ConfigError(f"-o/--override-ini expects option=value style (got: {override}).")
        values[name.strip()] = value
    return values
