"""Sharding across CI machines: ``--shard K/N`` runs the K-th of N disjoint parts of the
selected files, and the files' recorded durations that balance the parts.

::

    shard = parse_shard("2/4")                            # (2, 4), or ValueError
    durations = load_durations(cache, durations_path)     # {file: seconds}
    weights = file_weights(files, durations, test_counts)
    mine = select_shard(files, shard, weights)            # may be empty
    ...
    save_durations(cache, durations_path, measured)       # {file: seconds} of this run

Every job of a CI run computes every shard the same way from the same inputs and keeps its
own, so the shards are disjoint and their union is the whole selection, as long as every
job sees the same files and the same weights. That is why, when ``--durations-path FILE``
is given, only that file's durations count (CI carries it between runs; each job reads it,
then writes it back with the durations of the files it ran); without it the cache folder's
are used, a machine's own. Each entry keeps the time it was measured, so files written by
several jobs merge by keeping the newest entry of each file (``merge_files``). With no
durations recorded, files weigh their test counts.
"""

from __future__ import annotations

import json
import os
import re
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from trelkin._cache import Cache

CACHE_KEY = "durations"
# What files took to collect in --collect-only runs, which schedule by them (a file's
# import time is not in its test durations).
COLLECT_KEY = "collect-durations"
_FORMAT = 1
_SHARD = re.compile(r"([0-9]+)/([0-9]+)")

# What a durations store holds: file -> {"seconds": float, "at": seconds since the epoch}.
Entries = dict[str, dict[str, float]]


def parse_shard(text: str) -> tuple[int, int]:
    """``K/N`` with 1 <= K <= N. Raises ValueError with a message for the user."""
    match = _SHARD.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"expected K/N, such as 1/4, not {text!r}")
    index, total = int(match.group(1)), int(match.group(2))
    if total < 1:
        raise ValueError(f"the number of shards must be at least 1, not {total}")
    if not 1 <= index <= total:
        raise ValueError(
            f"the shard must be from 1 to {total} (K/N counts from 1), not {index}"
        )
    return index, total


def select_shard(files: list[str], shard: tuple[int, int], weights: dict[str, float]) -> list[str]:
    """The files of shard K of N, in their order in ``files``. Greedy longest processing
    time: heaviest file first (then by path, so that ties break the same everywhere), each
    to the lightest shard so far (then the lowest numbered). A file missing from
    ``weights`` weighs the mean of the others."""
    import heapq

    index, total = shard
    known = [weights[path] for path in files if path in weights]
    default = sum(known) / len(known) if known else 1.0
    loads = [(0.0, number) for number in range(total)]
    owner: dict[str, int] = {}
    for path in sorted(set(files), key=lambda path: (-weights.get(path, default), path)):
        load, number = heapq.heappop(loads)
        owner[path] = number
        heapq.heappush(loads, (load + weights.get(path, default), number))
    return [path for path in files if owner[path] == index - 1]


def file_weights(
    files: list[str], durations: dict[str, float], test_counts: dict[str, int]
) -> dict[str, float]:
    """Each file's expected seconds: its recorded duration, else its test count times the
    recorded files' mean seconds per test. With nothing recorded, the test counts."""
    recorded = [path for path in files if path in durations]
    if not recorded:
        return {path: float(test_counts.get(path, 1)) for path in files}
    tests = sum(test_counts.get(path, 1) for path in recorded)
    per_test = sum(durations[path] for path in recorded) / max(tests, 1)
    return {
        path: durations[path] if path in durations else per_test * test_counts.get(path, 1)
        for path in files
    }


def load_durations(
    cache: Cache | None, durations_path: str | None = None, key: str = CACHE_KEY
) -> dict[str, float]:
    """Seconds by file: from ``durations_path`` when given (a missing file is empty), else
    from the cache folder's value ``key``."""
    if durations_path is not None:
        entries = _read_file(durations_path)
    else:
        entries = _entries(cache.get(key) if cache is not None else None)
    return {path: entry["seconds"] for path, entry in entries.items()}


def save_durations(
    cache: Cache | None, durations_path: str | None, measured: dict[str, float],
    key: str = CACHE_KEY,
) -> None:
    """Records this run's seconds by file in the cache folder's value ``key`` and, when
    given, in ``durations_path`` (read, merged, replaced atomically). Other files keep
    theirs."""
    now = time.time()
    fresh = {path: {"seconds": float(seconds), "at": now} for path, seconds in measured.items()}
    if cache is not None:
        cache.set(key, _document(_merge(_entries(cache.get(key)), fresh)))
    if durations_path is not None:
        _write_file(durations_path, _merge(_read_file(durations_path), fresh))


def merge_files(output: str, inputs: list[str]) -> None:
    """Writes to ``output`` the newest entry of each file found in ``inputs`` (the files
    of a run's shards)."""
    merged: Entries = {}
    for path in inputs:
        merged = _merge(merged, _read_file(path))
    _write_file(output, merged)


def _merge(old: Entries, new: Entries) -> Entries:
    merged = dict(old)
    for path, entry in new.items():
        if path not in merged or entry["at"] >= merged[path]["at"]:
            merged[path] = entry
    return merged


def _entries(document: object) -> Entries:
    """The valid entries of a stored document; anything malformed is left out."""
    if not isinstance(document, dict) or not isinstance(document.get("files"), dict):
        return {}
    entries: Entries = {}
    for path, entry in document["files"].items():
        if isinstance(entry, dict):
            seconds, at = entry.get("seconds"), entry.get("at", 0.0)
            if _is_number(seconds) and _is_number(at) and seconds >= 0:
                entries[path] = {"seconds": float(seconds), "at": float(at)}
    return entries


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and value == value


def _document(entries: Entries) -> dict[str, object]:
    return {"format": _FORMAT, "files": dict(sorted(entries.items()))}


def _read_file(path: str) -> Entries:
    try:
        with open(path, encoding="utf-8") as file:
            return _entries(json.load(file))
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as error:
        raise OSError(f"cannot read the durations file {path}: {error}") from error


def _write_file(path: str, entries: Entries) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    import tempfile

    descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=".durations-")
    try:
        os.fchmod(descriptor, 0o644)  # a CI artifact, not a secret: mkstemp gives 0600
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            json.dump(_document(entries), file, indent=1)
            file.write("\n")
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
