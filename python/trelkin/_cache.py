"""The cache folder, ``.trelkin_cache/`` under the rootdir: JSON values by key (the last
failures, each file's recorded durations, what tests keep through the ``cache`` fixture).
Every write replaces its file atomically, so a run cut short never leaves half a value."""

from __future__ import annotations

import os
import itertools
from pathlib import Path

DIRECTORY = ".trelkin_cache"
# Names of files being written: unique within the process, the pid across processes (tempfile
# would do the same, at the cost of importing it on every run).
_WRITES = itertools.count()
_README = (
    "# trelkin cache directory #\n\n"
    "This directory holds the cache of the trelkin test runner (last failures, recorded\n"
    "durations). Don't commit it; delete it to clear the cache (or run `trelkin --cache-clear`).\n"
)


class Cache:
    """The values kept between runs under ``root``. Reading a value that is missing or
    damaged gives the default; a folder that can't be written makes writes no-ops."""

    def __init__(self, root: Path) -> None:
        self.path = root / DIRECTORY

    def _file(self, key: str) -> Path:
        return self.path / "v" / f"{key}.json"

    def get(self, key: str, default: object = None) -> object:
        import json

        try:
            with open(self._file(key), encoding="utf-8") as file:
                return json.load(file)
        except (OSError, ValueError):
            return default

    def set(self, key: str, value: object) -> None:
        import json

        target = self._file(key)
        try:
            self._ensure()
            target.parent.mkdir(parents=True, exist_ok=True)
            temporary = target.parent / f".tmp-{os.getpid()}-{next(_WRITES)}"
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(descriptor, "w", encoding="utf-8") as file:
                json.dump(value, file, indent=1, sort_keys=True)
            os.replace(temporary, target)
        except OSError:
            return

    def mkdir(self, name: str) -> Path:
        """A directory of the cache for a user's own files (the ``cache`` fixture)."""
        directory = self.path / "d" / name
        self._ensure()
        directory.mkdir(parents=True, exist_ok=True)
        return directory

    def keys(self) -> list[str]:
        folder = self.path / "v"
        if not folder.is_dir():
            return []
        return sorted(
            str(path.relative_to(folder).with_suffix("")) for path in folder.rglob("*.json")
        )

    def clear(self) -> None:
        import shutil

        shutil.rmtree(self.path, ignore_errors=True)

    def _ensure(self) -> None:
        if self.path.is_dir():
            return
        self.path.mkdir(parents=True, exist_ok=True)
        (self.path / "README.md").write_text(_README, encoding="utf-8")
        (self.path / ".gitignore").write_text("# Created by trelkin automatically.\n*\n")
        (self.path / "CACHEDIR.TAG").write_text(
            "Signature: 8a477f597d28d172789f06886806bc55\n"
            "# This file is a cache directory tag created by trelkin.\n"
        )
