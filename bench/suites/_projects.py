"""The projects of projects.toml as typed records."""

from __future__ import annotations

import tomllib
from dataclasses import dataclass, field
from pathlib import Path

PROJECTS_FILE = Path(__file__).with_name("projects.toml")


@dataclass(frozen=True)
class Project:
    name: str
    version: str
    style: tuple[str, ...]
    tests: tuple[str, ...]
    deps: tuple[str, ...] = ()
    pytest_args: tuple[str, ...] = ()
    trelkin_args: tuple[str, ...] = ()
    env: dict[str, str] = field(default_factory=dict)
    unittest_start: str = ""
    unittest_top: str = "."
    notes: str = ""

    @property
    def requirement(self) -> str:
        return f"{self.name}=={self.version}"

    @property
    def is_unittest(self) -> bool:
        return bool(self.unittest_start)


def load(path: Path = PROJECTS_FILE) -> list[Project]:
    with open(path, "rb") as file:
        entries = tomllib.load(file)["project"]
    projects = []
    for entry in entries:
        for key in ("style", "tests", "deps", "pytest_args", "trelkin_args"):
            if key in entry:
                entry[key] = tuple(entry[key])
        projects.append(Project(**entry))
    names = [project.name for project in projects]
    if len(set(names)) != len(names):
        raise ValueError(f"{path}: a project is listed twice")
    return projects
