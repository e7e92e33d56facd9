"""The report log compared with pytest-reportlog's on the same tree: its records, their
keys and outcomes; and its streaming: each record on disk as soon as it is written."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from _oracle import clean_env
from trelkin._outcome import Kind, Outcome, Phase
from trelkin._reportlog import ReportLog


TREE = {
    "test_kinds.py": """
        import sys
        import pytest

        @pytest.fixture
        def broken():
            raise RuntimeError("no setup")

        @pytest.fixture
        def leaky():
            yield 1
            raise RuntimeError("no teardown")

        def test_pass(record_property):
            record_property("key", "value")
            print("out")

        def test_fail():
            assert 1 == 2

        @pytest.mark.skip(reason="not today")
        def test_skip_mark():
            pass

        def test_skip_inside():
            pytest.skip("inside")

        @pytest.mark.xfail(reason="known")
        def test_xfail():
            assert 0

        @pytest.mark.xfail(reason="fixed")
        def test_xpass():
            pass

        def test_setup_error(broken):
            pass

        def test_teardown_error(leaky):
            pass

        def test_warns():
            import warnings
            warnings.warn("careful", UserWarning)

        @pytest.mark.parametrize("n", [1, 2])
        def test_param(n):
            pass

        class TestGroup:
            def test_method(self):
                pass
    """,
    "sub/test_nested.py": """
        def test_deep():
            pass
    """,
    "test_broken.py": "import nosuchmodule\n",
    "test_skipped.py": "import pytest\npytest.skip('whole file', allow_module_level=True)\n",
}


# pytest puts a decorated test at its first decorator's line; an outcome's line is that of
# its ``def``, so the report log can't tell these apart yet.
DECORATED = {
    f"test_kinds.py::{name}"
    for name in ("test_skip_mark", "test_xfail", "test_xpass", "test_param[1]", "test_param[2]")
}


def oracle_environment() -> dict[str, str]:
    """pytest's environment with pytest-reportlog loaded: installed, or from the folder
    that TRELKIN_ORACLE_SITE names."""
    env = clean_env()
    if importlib.util.find_spec("pytest_reportlog") is not None:
        return env
    site = os.environ.get("TRELKIN_ORACLE_SITE")
    if not site or not (Path(site) / "pytest_reportlog").is_dir():
        pytest.skip("pytest-reportlog is not installed (or TRELKIN_ORACLE_SITE unset)")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [site, env.get("PYTHONPATH")]))
    return env


def read(path: Path) -> list[dict[str, object]]:
    return [json.loads(line) for line in path.read_text().splitlines()]


# A file skipped whole: the command doesn't hand it to the log yet.
SKIPPED_FILE = ("CollectReport", "test_skipped.py", None)


def by_key(records: list[dict[str, object]]) -> dict[tuple[object, ...], dict[str, object]]:
    keyed = {}
    for record in records:
        kind = record["$report_type"]
        if kind == "CollectReport" and record["outcome"] == "passed":
            continue  # pytest reports every collector; the log reports the files that fail
        keyed[(kind, record.get("nodeid"), record.get("when"))] = record
    keyed.pop(SKIPPED_FILE, None)
    return keyed


@pytest.fixture(scope="module")
def both_logs(tmp_path_factory: pytest.TempPathFactory) -> tuple[list, list]:
    env = oracle_environment()
    root = tmp_path_factory.mktemp("tree")
    for name, source in TREE.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(textwrap.dedent(source))
    (root / "pytest.ini").write_text("[pytest]\n")
    arguments = ["-q", "--continue-on-collection-errors"]
    subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--report-log", "theirs.jsonl", *arguments],
        cwd=root, env=env, capture_output=True, timeout=120,
    )
    done = subprocess.run(
        [sys.executable, "-m", "trelkin", "--report-log", "ours.jsonl", "--sequential", "-p", "no:cacheprovider", *arguments],
        cwd=root, env=clean_env(), capture_output=True, text=True, timeout=120,
    )
    assert (root / "ours.jsonl").exists(), done.stderr
    return read(root / "theirs.jsonl"), read(root / "ours.jsonl")


def test_session_records_frame_the_log(both_logs):
    theirs, ours = both_logs
    assert ours[0]["$report_type"] == "SessionStart" and "pytest_version" in ours[0]
    assert ours[-1] == theirs[-1]  # SessionFinish with the same exit status


def test_same_records_for_the_same_tree(both_logs):
    theirs, ours = (by_key(records) for records in both_logs)
    assert sorted(ours, key=repr) == sorted(theirs, key=repr)


@pytest.mark.parametrize("field", ["outcome", "when", "user_properties", "wasxfail", "nodeid",
                                   "exitstatus", "category", "filename", "lineno", "message"])
def test_fields_agree(both_logs, field):
    theirs, ours = (by_key(records) for records in both_logs)
    for key, expected in theirs.items():
        assert ours[key].get(field) == expected.get(field), (key, field)


def test_locations_agree(both_logs):
    theirs, ours = (by_key(records) for records in both_logs)
    for key, expected in theirs.items():
        if "location" not in expected or key[1] in DECORATED:
            continue
        assert ours[key]["location"] == expected["location"], key


def test_record_keys_and_their_order_agree(both_logs):
    theirs, ours = (by_key(records) for records in both_logs)
    for key, expected in theirs.items():
        if key[0] == "SessionStart":  # the log names trelkin's version besides
            assert list(ours[key]) == ["pytest_version", "trelkin_version", "$report_type"]
        else:
            assert list(ours[key]) == list(expected), key


def test_longrepr_shapes_agree(both_logs):
    """None where pytest has none; a skip's [path, line, reason] as pytest's; a failure's
    report as text (pytest writes its structured form, or text for collection errors)."""
    theirs, ours = (by_key(records) for records in both_logs)
    for key, expected in theirs.items():
        if "longrepr" not in expected:
            continue
        mine, wanted = ours[key]["longrepr"], expected["longrepr"]
        if wanted is None or isinstance(wanted, list):
            assert mine == wanted, key
        else:
            assert isinstance(mine, str) and mine, key


def test_keywords_hold_the_node_chain(both_logs):
    theirs, ours = (by_key(records) for records in both_logs)
    marks = {"skip", "xfail", "parametrize", "pytestmark"}
    for key, expected in theirs.items():
        if key[0] == "TestReport":
            assert set(ours[key]["keywords"]) == set(expected["keywords"]) - marks, key


def test_a_file_skipped_whole_is_a_collect_report(both_logs):
    theirs, ours = both_logs
    wanted = next(record for record in theirs if record.get("nodeid") == "test_skipped.py")
    assert [record for record in ours if record.get("nodeid") == "test_skipped.py"] == [wanted]


def test_sections_carry_captured_output(both_logs):
    theirs, ours = (by_key(records) for records in both_logs)
    key = ("TestReport", "test_kinds.py::test_pass", "call")
    assert ours[key]["sections"] == theirs[key]["sections"] == [["Captured stdout call", "out\n"]]


def test_each_record_is_on_disk_once_written(tmp_path):
    """A reader following the file sees every record at once, complete."""
    log = ReportLog(tmp_path / "live.jsonl", tmp_path)
    log.start()
    outcome = Outcome("test_a.py::test_x", "test_a.py", 3, Kind.FAILED, Phase.CALL,
                      message="boom", longrepr="E   boom\n", duration=0.5,
                      warnings=["/a/test_a.py:4: UserWarning: careful\n  warn('careful')\n"])
    log.outcome(outcome)
    records = read(tmp_path / "live.jsonl")
    assert [record["$report_type"] for record in records] == [
        "SessionStart", "TestReport", "TestReport", "TestReport", "WarningMessage"]
    call = records[2]
    assert (call["when"], call["outcome"], call["longrepr"]) == ("call", "failed", "E   boom")
    assert call["stop"] - call["start"] == pytest.approx(0.5)
    assert records[3]["start"] == pytest.approx(call["stop"])
    assert records[4] == {"category": "UserWarning", "filename": "/a/test_a.py", "lineno": 4,
                          "message": "careful", "$report_type": "WarningMessage",
                          "when": "runtest", "location": None}
    log.finish(1)
    assert read(tmp_path / "live.jsonl")[-1] == {"exitstatus": 1, "$report_type": "SessionFinish"}


@pytest.mark.parametrize("suffix", [".gz", ".bz2", ".xz", ".jsonl"])
def test_compressed_by_suffix(tmp_path, suffix):
    import bz2
    import gzip
    import lzma

    path = tmp_path / f"log{suffix}"
    log = ReportLog(path)
    log.start()
    log.finish(0)
    opener = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}.get(suffix, open)
    with opener(path, "rt") as handle:  # type: ignore[operator]
        assert [json.loads(line)["$report_type"] for line in handle] == ["SessionStart", "SessionFinish"]


@pytest.mark.parametrize(("kind", "phase", "expected"), [
    (Kind.PASSED, Phase.CALL, [("setup", "passed"), ("call", "passed"), ("teardown", "passed")]),
    (Kind.ERROR, Phase.SETUP, [("setup", "failed"), ("teardown", "passed")]),
    (Kind.SKIPPED, Phase.SETUP, [("setup", "skipped"), ("teardown", "passed")]),
    (Kind.XFAILED, Phase.SETUP, [("setup", "skipped"), ("teardown", "passed")]),
    (Kind.CRASHED, Phase.CALL, [("setup", "passed"), ("call", "failed"), ("teardown", "passed")]),
    (Kind.TIMEOUT, Phase.CALL, [("setup", "passed"), ("call", "failed"), ("teardown", "passed")]),
    (Kind.ERROR, Phase.TEARDOWN, [("setup", "passed"), ("call", "passed"), ("teardown", "failed")]),
    (Kind.NOT_RUN, Phase.CALL, []),
])
def test_phases_of_each_kind(tmp_path, kind, phase, expected):
    log = ReportLog(tmp_path / "log.jsonl")
    log.outcome(Outcome("t.py::test_x", "t.py", 1, kind, phase, message="why", longrepr="text"))
    log.finish(0)
    records = [record for record in read(tmp_path / "log.jsonl") if record["$report_type"] == "TestReport"]
    assert [(record["when"], record["outcome"]) for record in records] == expected


@pytest.mark.parametrize(("kind", "expected"), [
    (Kind.ERROR, ("failed", "E   ImportError")),
    (Kind.SKIPPED, ("skipped", ["{cwd}/t.py", 2, "Skipped: whole file"])),
])
def test_collect_reports(tmp_path, monkeypatch, kind, expected):
    monkeypatch.chdir(tmp_path)
    log = ReportLog(tmp_path / "log.jsonl")
    message = "whole file" if kind == Kind.SKIPPED else "ImportError"
    log.outcome(Outcome("t.py", "t.py", 0, kind, Phase.COLLECT, message=message,
                        longrepr="E   ImportError\n", location="t.py:2"))
    log.finish(2)
    record = read(tmp_path / "log.jsonl")[0]
    outcome, longrepr = expected
    if isinstance(longrepr, list):
        longrepr = [str(tmp_path / "t.py"), *longrepr[1:]]
    assert record == {"outcome": outcome, "longrepr": longrepr, "result": None, "sections": [],
                      "nodeid": "t.py", "$report_type": "CollectReport"}
