"""What the cache folder remembers of earlier runs, and the flags that use it: the last
failures (``--lf``, ``--ff``, ``--lfnf``), the tests seen before (``--nf``), the stepwise
position (``--sw``, ``--sw-skip``, ``--sw-reset``), and each file's recorded duration, by
which worker runs schedule and shard."""

from __future__ import annotations

import os
import time

from trelkin._cache import Cache

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence

    from trelkin._collect import Found
    from trelkin._outcome import Outcome
    from trelkin._runtime import Item

LASTFAILED = "cache/lastfailed"
NODEIDS = "cache/nodeids"
STEPWISE = "cache/stepwise"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("last run")
    add = group.add_argument
    add("--lf", "--last-failed", action="store_true", dest="lf",
        help="rerun only the tests that failed in the last run (or all if none failed)")
    add("--ff", "--failed-first", action="store_true", dest="failedfirst",
        help="run every test, the last run's failures first")
    add("--nf", "--new-first", action="store_true", dest="newfirst",
        help="run new tests first, then the rest by their files' age, newest first")
    add("--lfnf", "--last-failed-no-failures", choices=("all", "none"), default="all",
        dest="last_failed_no_failures")
    add("--sw", "--stepwise", action="store_true", dest="stepwise",
        help="stop at the first failure; the next run starts from it")
    add("--sw-skip", "--stepwise-skip", action="store_true", dest="stepwise_skip",
        help="as --sw, but go on past the first failure")
    add("--sw-reset", "--stepwise-reset", action="store_true", dest="stepwise_reset")
    add("--cache-show", nargs="?", const="*", default=None, dest="cacheshow", metavar="GLOB")
    add("--cache-clear", action="store_true", dest="cacheclear")


class LastRun:
    """One run's use of the cache: what it selects from it, and what it writes back."""

    def __init__(self, cache: Cache | None, options: argparse.Namespace) -> None:
        self.cache = cache
        self.options = options
        if options.stepwise_skip:
            options.stepwise = True
        self.status: list[str] = []
        self.lastfailed: dict[str, bool] = {}
        self.stepwise: dict[str, object] = {}
        if cache is not None:
            if options.cacheclear:
                cache.clear()
            self.lastfailed = dict(cache.get(LASTFAILED, {}) or {})  # type: ignore[call-overload]
            self.stepwise = dict(cache.get(STEPWISE, {}) or {})  # type: ignore[call-overload]
        self._skip_first_failure = bool(options.stepwise_skip)

    # ---- before collection ------------------------------------------------------------

    def prune_files(self, found: Found) -> int:
        """--lf: only the files that hold a last failure are imported. Returns how many
        files were left out."""
        if not (self.options.lf and self.lastfailed):
            return 0
        failed_files = {nodeid.split("::", 1)[0] for nodeid in self.lastfailed}
        kept = [test_file for test_file in found.files if test_file.nodeid_path in failed_files]
        if not kept:
            return 0
        skipped = len(found.files) - len(kept)
        found.files[:] = kept
        return skipped

    # ---- after collection -------------------------------------------------------------

    def select(self, items: list[Item], skipped_files: int) -> tuple[list[Item], int]:
        """The items in the order the flags ask for; returns them and how many were
        deselected."""
        options = self.options
        deselected = 0
        if options.lf or options.failedfirst:
            failed = [item for item in items if item.nodeid in self.lastfailed]
            others = [item for item in items if item.nodeid not in self.lastfailed]
            if not self.lastfailed:
                if options.lf and options.last_failed_no_failures == "none":
                    self.status.append("run-last-failure: no previously failed tests, "
                                       "deselecting all items.")
                    return [], len(items)
                self.status.append("run-last-failure: no previously failed tests, "
                                   "not deselecting items.")
            elif not failed:
                self.status.append(f"run-last-failure: {len(self.lastfailed)} known failures "
                                   "not in selected tests")
            else:
                noun = "failure" if len(failed) == 1 else "failures"
                suffix = " first" if options.failedfirst else ""
                text = f"run-last-failure: rerun previous {len(failed)} {noun}{suffix}"
                if skipped_files:
                    text += f" (skipped {skipped_files} file{'s' * (skipped_files != 1)})"
                self.status.append(text)
                if options.lf:
                    # As pytest: a file's passed tests are left out as it is collected, but
                    # a class holding a failure is collected whole, and its passed tests
                    # count as deselected.
                    classes = {item.nodeid.rpartition("::")[0] for item in failed
                               if item.nodeid.count("::") > 1}
                    deselected += sum(item.nodeid.rpartition("::")[0] in classes
                                      for item in others)
                    items = failed
                else:
                    items = failed + others
        if options.newfirst and self.cache is not None:
            known = set(self.cache.get(NODEIDS, []) or [])  # type: ignore[arg-type]
            new = [item for item in items if item.nodeid not in known]
            old = [item for item in items if item.nodeid in known]
            items = _newest_first(new) + _newest_first(old)
        if options.stepwise:
            items, skipped = self._stepwise(items)
            deselected += skipped
        return items, deselected

    def _stepwise(self, items: list[Item]) -> tuple[list[Item], int]:
        last_failed = self.stepwise.get("last_failed")
        last_count = self.stepwise.get("last_test_count")
        self.stepwise["last_test_count"] = len(items)
        if self.options.stepwise_reset:
            self.status.append("stepwise: resetting state, not skipping.")
            self.stepwise["last_failed"] = None
            return items, 0
        if not last_failed:
            self.status.append("stepwise: no previously failed tests, not skipping.")
            return items, 0
        if last_count is not None and last_count != len(items):
            self.status.append(f"stepwise: test count changed, not skipping (now {len(items)} "
                               f"tests, previously {last_count}).")
            self.stepwise["last_failed"] = None
            return items, 0
        index = next((i for i, item in enumerate(items) if item.nodeid == last_failed), None)
        if index is None:
            self.status.append("stepwise: previously failed test not found, not skipping.")
            return items, 0
        self.status.append(f"stepwise: skipping {index} already passed items.")
        return items[index:], index

    # ---- while running ------------------------------------------------------------------

    def stop_reason(self, outcome: Outcome) -> str | None:
        """--sw: the run stops at a failure (past the first one with --sw-skip)."""
        if not self.options.stepwise:
            return None
        if outcome.failing:
            if self._skip_first_failure:
                self._skip_first_failure = False
                if self.stepwise.get("last_failed") == outcome.nodeid:
                    self.stepwise["last_failed"] = None
                return None
            self.stepwise["last_failed"] = outcome.nodeid
            return "Test failed, continuing from this test next run."
        if self.stepwise.get("last_failed") == outcome.nodeid:
            self.stepwise["last_failed"] = None
        return None

    # ---- after the run --------------------------------------------------------------------

    def save(self, outcomes: Sequence[Outcome], errors: Sequence[Outcome],
             nodeids: Sequence[str], collect_only: bool,
             collect_seconds: dict[str, float] | None = None) -> None:
        """Writes back the last failures, the tests seen, the stepwise position and each
        file's duration: its collection (``collect_seconds``, by node id path) and its
        tests' phases, what the file costs a worker."""
        if collect_only:
            return
        if self.cache is None:
            self._save_durations_file(outcomes, collect_seconds or {})
            return
        lastfailed = dict(self.lastfailed)
        for outcome in (*outcomes, *errors):
            if outcome.kind == "not run":
                continue
            if outcome.failing:
                lastfailed[outcome.nodeid] = True
            else:
                lastfailed.pop(outcome.nodeid, None)
        if lastfailed != self.lastfailed:
            self.cache.set(LASTFAILED, lastfailed)
        known = set(self.cache.get(NODEIDS, []) or [])  # type: ignore[arg-type]
        known.update(nodeids)
        self.cache.set(NODEIDS, sorted(known))
        if self.options.stepwise:
            self.stepwise["last_cache_date_str"] = time.strftime("%Y%m%d%H%M%S")
            self.cache.set(STEPWISE, self.stepwise)
        per_file = _per_file(outcomes, collect_seconds or {})
        from trelkin import _shard

        try:
            _shard.save_durations(self.cache, self.options.durations_path, per_file)
        except OSError:
            pass  # a durations file that can't be written costs the next shard its balance


    def _save_durations_file(
        self, outcomes: Sequence[Outcome], collect_seconds: dict[str, float]
    ) -> None:
        if self.options.durations_path is None:
            return
        from trelkin import _shard

        per_file = _per_file(outcomes, collect_seconds)
        try:
            _shard.save_durations(None, self.options.durations_path, per_file)
        except OSError:
            pass


def _per_file(outcomes: Sequence[Outcome], collect_seconds: dict[str, float]) -> dict[str, float]:
    """Seconds by file of the files that ran: their collection and their tests' phases."""
    per_file: dict[str, float] = {}
    for outcome in outcomes:
        path = outcome.nodeid.split("::", 1)[0]
        per_file[path] = per_file.get(path, 0.0) + (
            outcome.setup_duration + outcome.duration + outcome.teardown_duration
        )
    for path in per_file:
        per_file[path] += collect_seconds.get(path, 0.0)
    return per_file


def _newest_first(items: list[Item]) -> list[Item]:
    def age(item: Item) -> float:
        try:
            return os.stat(item.path).st_mtime
        except OSError:
            return 0.0

    return sorted(items, key=age, reverse=True)


def show(cache: Cache, glob: str) -> list[str]:
    """--cache-show: the cached values whose keys match the glob."""
    import fnmatch
    import json

    lines = [f"cachedir: {cache.path}", "-" * 30 + " cache values for " + repr(glob) + " " + "-" * 30]
    for key in cache.keys():
        if fnmatch.fnmatch(key, glob):
            lines.append(f"{key} contains:")
            text = json.dumps(cache.get(key), indent=2, sort_keys=True)
            lines += ["  " + line for line in text.splitlines()]
    return lines
