"""Sharding: parts that are disjoint, complete, deterministic and balanced; the durations
that balance them, kept across runs and CI jobs; merging the shards' JUnit reports."""

from __future__ import annotations

import json
import random
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from trelkin._cache import Cache
from trelkin._junit_merge import MergeError, merge
from trelkin._shard import (
    file_weights,
    load_durations,
    merge_files,
    parse_shard,
    save_durations,
    select_shard,
)


@pytest.mark.parametrize(("text", "shard"), [("1/1", (1, 1)), ("3/4", (3, 4)), (" 2/10 ", (2, 10))])
def test_parse_shard(text: str, shard: tuple[int, int]) -> None:
    assert parse_shard(text) == shard


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("2", "expected K/N, such as 1/4, not '2'"),
        ("a/b", "expected K/N"),
        ("-1/3", "expected K/N"),
        ("1/0", "the number of shards must be at least 1, not 0"),
        ("0/3", "the shard must be from 1 to 3 (K/N counts from 1), not 0"),
        ("4/3", "the shard must be from 1 to 3"),
        ("١/٢", "expected K/N"),  # digits, but not ASCII ones
    ],
)
def test_parse_shard_rejects_with_a_message(text: str, message: str) -> None:
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        parse_shard(text)


def skewed_suite(seed: int) -> tuple[list[str], dict[str, float]]:
    """Files with durations spread over three orders of magnitude, a few very slow."""
    chance = random.Random(seed)
    files = [f"tests/test_{index:03}.py" for index in range(chance.randint(1, 60))]
    weights = {path: chance.choice([0.01, 0.1, 1.0, 10.0]) * chance.random() for path in files}
    return files, weights


@pytest.mark.parametrize("seed", range(20))
@pytest.mark.parametrize("total", [1, 2, 3, 7])
def test_shards_are_disjoint_complete_and_balanced(seed: int, total: int) -> None:
    files, weights = skewed_suite(seed)
    shards = [select_shard(files, (index, total), weights) for index in range(1, total + 1)]
    chosen = [path for shard in shards for path in shard]
    assert sorted(chosen) == sorted(files)  # each file in exactly one shard
    for shard in shards:
        assert shard == [path for path in files if path in shard]  # selection order kept
    loads = [sum(weights[path] for path in shard) for shard in shards]
    # Longest processing time first: no shard ends later than the lightest one plus the
    # heaviest single file, and none is past 4/3 of the best possible.
    assert max(loads) - min(loads) <= max(weights.values()) + 1e-9
    best_possible = max(sum(weights.values()) / total, max(weights.values()))
    assert max(loads) <= best_possible * 4 / 3 + 1e-9


def test_shards_follow_recorded_durations_not_file_counts() -> None:
    files = ["a.py", "b.py", "c.py", "d.py"]
    weights = {"a.py": 30.0, "b.py": 1.0, "c.py": 1.0, "d.py": 1.0}
    assert select_shard(files, (1, 2), weights) == ["a.py"]
    assert select_shard(files, (2, 2), weights) == ["b.py", "c.py", "d.py"]


def test_the_same_inputs_give_the_same_shards_in_any_order() -> None:
    files, weights = skewed_suite(7)
    reordered = list(reversed(files))
    for index in (1, 2, 3):
        assert sorted(select_shard(files, (index, 3), weights)) == sorted(
            select_shard(reordered, (index, 3), dict(reversed(weights.items())))
        )


def test_more_shards_than_files_leaves_some_empty() -> None:
    shards = [select_shard(["a.py", "b.py"], (index, 4), {}) for index in range(1, 5)]
    assert sorted(map(len, shards)) == [0, 0, 1, 1]


@pytest.mark.parametrize(
    ("durations", "expected"),
    [
        # Nothing recorded: test counts.
        ({}, {"a.py": 10.0, "b.py": 1.0, "c.py": 1.0}),
        # b.py recorded: 2 s over its 1 test, so 2 s a test for the others.
        ({"b.py": 2.0}, {"a.py": 20.0, "b.py": 2.0, "c.py": 2.0}),
        ({"a.py": 1.0, "b.py": 5.0, "c.py": 0.0}, {"a.py": 1.0, "b.py": 5.0, "c.py": 0.0}),
    ],
)
def test_file_weights(durations: dict[str, float], expected: dict[str, float]) -> None:
    counts = {"a.py": 10, "b.py": 1, "c.py": 1}
    assert file_weights(list(counts), durations, counts) == pytest.approx(expected)


def test_durations_are_kept_in_the_cache_and_the_durations_file(tmp_path: Path) -> None:
    cache = Cache(tmp_path)
    shared = tmp_path / "ci" / "durations.json"
    save_durations(cache, str(shared), {"a.py": 1.5, "b.py": 2.0})
    save_durations(cache, str(shared), {"b.py": 3.0})  # only b.py ran this time
    assert load_durations(cache) == {"a.py": 1.5, "b.py": 3.0}
    assert load_durations(cache, str(shared)) == {"a.py": 1.5, "b.py": 3.0}
    # With a durations file, only its entries count: every CI job sees the same ones.
    save_durations(cache, None, {"c.py": 9.0})
    assert load_durations(cache, str(shared)) == {"a.py": 1.5, "b.py": 3.0}
    assert load_durations(cache, str(tmp_path / "absent.json")) == {}


def test_durations_files_of_several_jobs_merge_newest_first(tmp_path: Path) -> None:
    def write(name: str, entries: dict[str, tuple[float, float]]) -> str:
        path = tmp_path / name
        files = {key: {"seconds": seconds, "at": at} for key, (seconds, at) in entries.items()}
        path.write_text(json.dumps({"format": 1, "files": files}))
        return str(path)

    first = write("1.json", {"a.py": (1.0, 200.0), "b.py": (5.0, 100.0)})
    second = write("2.json", {"a.py": (9.0, 100.0), "b.py": (2.0, 200.0), "c.py": (3.0, 50.0)})
    merge_files(str(tmp_path / "all.json"), [first, second])
    assert load_durations(None, str(tmp_path / "all.json")) == {"a.py": 1.0, "b.py": 2.0, "c.py": 3.0}


@pytest.mark.parametrize(
    "content",
    ['{"format": 1, "files": {"a.py": {"seconds": "x"}, "b.py": 3, "c.py": {"seconds": -1}}}',
     '[1, 2]', '{"files": null}'],
)
def test_malformed_entries_are_ignored(tmp_path: Path, content: str) -> None:
    path = tmp_path / "durations.json"
    path.write_text(content)
    assert load_durations(None, str(path)) == {}


def test_an_unreadable_durations_file_is_an_error(tmp_path: Path) -> None:
    path = tmp_path / "durations.json"
    path.write_text("{not json")
    with pytest.raises(OSError, match="cannot read the durations file"):
        load_durations(None, str(path))


# -- merging JUnit reports, with pytest's own reports as the oracle

SUITE = {
    "test_one.py": "def test_a():\n    pass\ndef test_b():\n    assert 0\n",
    "test_two.py": "import pytest\n@pytest.mark.skip\ndef test_c():\n    pass\n"
    "def test_d():\n    pass\n",
    "test_three.py": "import pytest\n@pytest.fixture\ndef broken():\n    raise RuntimeError\n"
    "def test_e(broken):\n    pass\n",
}


def pytest_junit(tmp_path: Path, name: str, files: list[str]) -> Path:
    report = tmp_path / f"{name}.xml"
    subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={report}",
         *files],
        cwd=tmp_path, capture_output=True, timeout=60,
    )
    return report


def summary(path: Path) -> tuple[dict[str, str], list[str]]:
    root = ElementTree.parse(path).getroot()
    suite = root.find("testsuite")
    counts = {name: suite.get(name) for name in ("tests", "failures", "errors", "skipped")}
    if root.get("tests") is not None:  # ours sums on the root too; pytest's has none
        assert {name: root.get(name) for name in counts} == counts
    cases = sorted(f"{case.get('classname')}.{case.get('name')}" for case in suite.iter("testcase"))
    return counts, cases


def test_merged_shard_reports_match_one_report_of_the_whole_run(tmp_path: Path) -> None:
    for name, source in SUITE.items():
        (tmp_path / name).write_text(source)
    whole = pytest_junit(tmp_path, "whole", sorted(SUITE))
    shards = [pytest_junit(tmp_path, "shard1", ["test_one.py"]),
              pytest_junit(tmp_path, "shard2", ["test_two.py", "test_three.py"])]
    merge(str(tmp_path / "out" / "merged.xml"), [str(path) for path in shards])
    assert ElementTree.parse(tmp_path / "out" / "merged.xml").getroot().get("tests") == "5"
    assert summary(tmp_path / "out" / "merged.xml") == summary(whole)


def test_a_bare_testsuite_document_merges_too(tmp_path: Path) -> None:
    (tmp_path / "a.xml").write_text(
        '<testsuite name="x" tests="2" failures="1" errors="0" skipped="0" time="1.5"'
        ' timestamp="2026-01-02T10:00:00+01:00"><testcase name="t1"/><testcase name="t2"/>'
        "</testsuite>"
    )
    (tmp_path / "b.xml").write_text(
        '<testsuites><testsuite name="y" tests="1" failures="0" errors="1" skipped="0" time="0.25"'
        ' timestamp="2026-01-02T09:30:00+00:00"><testcase name="t3"/></testsuite></testsuites>'
    )
    merge(str(tmp_path / "m.xml"), [str(tmp_path / "a.xml"), str(tmp_path / "b.xml")])
    suite = ElementTree.parse(tmp_path / "m.xml").getroot().find("testsuite")
    assert (suite.get("tests"), suite.get("failures"), suite.get("errors")) == ("3", "1", "1")
    assert suite.get("time") == "1.750"
    # 10:00+01:00 is 09:00 UTC, earlier than 09:30 UTC.
    assert suite.get("timestamp") == "2026-01-02T10:00:00+01:00"
    assert [case.get("name") for case in suite] == ["t1", "t2", "t3"]


@pytest.mark.parametrize(
    ("content", "message"),
    [(None, "cannot read"), ("<testsuite", "is not XML"), ("<html/>", "is not a JUnit report")],
)
def test_bad_inputs_are_named(tmp_path: Path, content: str | None, message: str) -> None:
    path = tmp_path / "in.xml"
    if content is not None:
        path.write_text(content)
    with pytest.raises(MergeError, match=message):
        merge(str(tmp_path / "out.xml"), [str(path)])
