"""The built-in fixtures, each used as a test suite uses it, against pytest; capsys and
caplog read only the test's own output in a threaded run."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from _runtime_oracle import pytest_outcomes, runtime_outcomes, runtime_report

TREES: dict[str, str] = {
    "tmp_path and tmpdir": """
        import os
        def test_tmp_path(tmp_path):
            assert tmp_path.is_dir() and not any(tmp_path.iterdir())
            assert tmp_path.name.startswith("test_tmp_path")
        def test_tmpdir(tmpdir):
            assert os.path.isdir(str(tmpdir))
            tmpdir.join("f.txt").write("x")
        def test_factory(tmp_path_factory):
            first = tmp_path_factory.mktemp("data")
            second = tmp_path_factory.mktemp("data")
            assert first != second and first.name == "data0" and second.name == "data1"
        def test_distinct(tmp_path, tmp_path_factory):
            assert tmp_path.parent == tmp_path_factory.getbasetemp() or tmp_path_factory.getbasetemp() in tmp_path.parents
        class TestInClass:
            def test_method(self, tmp_path):
                assert tmp_path.name.startswith("test_method")
    """,
    "monkeypatch": """
        import os, sys, json
        import pytest
        VALUE = 1
        class Thing:
            attr = "orig"
            @staticmethod
            def static(): return "static"
        def test_setattr(monkeypatch):
            monkeypatch.setattr(Thing, "attr", "patched")
            monkeypatch.setattr("json.dumps", lambda value: "patched")
            monkeypatch.setattr(Thing, "static", lambda: "new")
            assert Thing.attr == "patched" and json.dumps(1) == "patched" and Thing.static() == "new"
        def test_undone():
            assert Thing.attr == "orig" and json.dumps(1) == "1" and Thing.static() == "static"
        def test_raising(monkeypatch):
            with pytest.raises(AttributeError):
                monkeypatch.setattr(Thing, "missing", 1)
            monkeypatch.setattr(Thing, "missing", 1, raising=False)
            monkeypatch.delattr(Thing, "attr")
            assert not hasattr(Thing, "attr")
        def test_deleted_back():
            assert Thing.attr == "orig" and not hasattr(Thing, "missing")
        def test_env(monkeypatch):
            monkeypatch.setenv("TRELKIN_TEST_VAR", "1")
            monkeypatch.setenv("PATH", "/first", prepend=os.pathsep)
            monkeypatch.delenv("HOME", raising=False)
            assert os.environ["TRELKIN_TEST_VAR"] == "1" and os.environ["PATH"].startswith("/first" + os.pathsep)
        def test_env_back():
            assert "TRELKIN_TEST_VAR" not in os.environ and not os.environ["PATH"].startswith("/first")
        def test_items_and_path(monkeypatch, tmp_path):
            data = {"a": 1}
            monkeypatch.setitem(data, "a", 2)
            monkeypatch.delitem(data, "b", raising=False)
            monkeypatch.syspath_prepend(str(tmp_path))
            monkeypatch.chdir(tmp_path)
            assert data == {"a": 2} and sys.path[0] == str(tmp_path) and os.getcwd() == str(tmp_path)
            monkeypatch.undo()
            assert data == {"a": 1} and os.getcwd() != str(tmp_path)
        def test_context():
            with pytest.MonkeyPatch.context() as patch:
                patch.setattr(Thing, "attr", "ctx")
                assert Thing.attr == "ctx"
            assert Thing.attr == "orig"
    """,
    "capsys and capfd": """
        import os, sys
        def test_capsys(capsys):
            print("hello")
            sys.stderr.write("oops\\n")
            out, err = capsys.readouterr()
            assert (out, err) == ("hello\\n", "oops\\n")
            print("again")
            assert capsys.readouterr().out == "again\\n"
        def test_capsysbinary(capsysbinary):
            print("bytes")
            assert capsysbinary.readouterr().out == b"bytes\\n"
        def test_capfd(capfd):
            os.write(1, b"fd level\\n")
            print("python level")
            out, err = capfd.readouterr()
            assert "fd level" in out and "python level" in out
        def test_capfdbinary(capfdbinary):
            os.write(2, b"\\x00raw")
            assert capfdbinary.readouterr().err == b"\\x00raw"
        def test_disabled(capsys):
            with capsys.disabled():
                pass
            print("after")
            assert capsys.readouterr().out == "after\\n"
    """,
    "caplog": """
        import logging
        log = logging.getLogger("app")
        def test_records(caplog):
            log.warning("warned %s", 1)
            log.info("not seen")
            assert caplog.messages == ["warned 1"]
            assert caplog.record_tuples == [("app", logging.WARNING, "warned 1")]
            assert "warned 1" in caplog.text and "WARNING" in caplog.text
        def test_set_level(caplog):
            caplog.set_level(logging.INFO)
            log.info("info now")
            assert caplog.messages == ["info now"]
        def test_level_restored(caplog):
            log.info("hidden again")
            assert caplog.records == []
        def test_at_level(caplog):
            with caplog.at_level(logging.DEBUG, logger="app"):
                log.debug("debug")
            log.debug("after")
            assert caplog.messages == ["debug"]
            caplog.clear()
            assert caplog.records == [] and caplog.text == ""
    """,
    "recwarn, cache, config, properties": """
        import warnings
        import pytest
        def test_recwarn(recwarn):
            warnings.warn("first", UserWarning)
            warnings.warn("second", DeprecationWarning)
            assert len(recwarn) == 2
            assert str(recwarn.pop(DeprecationWarning).message) == "second"
            recwarn.clear()
            assert len(recwarn) == 0
        def test_pytestconfig(pytestconfig, request):
            assert pytestconfig is request.config
            assert pytestconfig.rootpath.is_dir()
        def test_record(record_property):
            record_property("key", "value")
        def test_namespace(doctest_namespace):
            doctest_namespace["x"] = 1
    """,
}


@pytest.mark.parametrize("source", list(TREES.values()), ids=list(TREES))
def test_builtin_fixtures_match_pytest(tmp_path: Path, source: str) -> None:
    (tmp_path / "test_b.py").write_text(textwrap.dedent(source), encoding="utf-8")
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    base = tmp_path / "base"
    assert runtime_outcomes(tmp_path, "--basetemp", str(base)) == pytest_outcomes(
        tmp_path, "--basetemp", str(base)
    )


def test_cache_keeps_values_between_runs(tmp_path: Path) -> None:
    (tmp_path / "test_c.py").write_text(textwrap.dedent("""
        def test_cache(cache):
            previous = cache.get("trelkin/runs", 0)
            cache.set("trelkin/runs", previous + 1)
            assert cache.get("trelkin/missing", "dflt") == "dflt"
            assert cache.mkdir("trelkin-dir").is_dir()
            assert previous == int(open("expected").read())
    """))
    for expected in ("0", "1"):
        (tmp_path / "expected").write_text(expected)
        assert runtime_outcomes(tmp_path) == {"test_c.py::test_cache": "passed"}


def test_record_property_reaches_the_outcome(tmp_path: Path) -> None:
    (tmp_path / "test_r.py").write_text("def test_r(record_property):\n    record_property('k', 3)\n")
    (record,) = runtime_report(tmp_path)
    assert record["properties"] == [["k", "3"]]


_THREADED = """
    import logging, time
    def test_{n}(capsys, caplog):
        for step in range(20):
            print("{n}-", step)
            logging.getLogger("t").warning("{n}-%s", step)
            time.sleep(0.001)
        out = capsys.readouterr().out
        assert out.split() == [part for step in range(20) for part in ("{n}-", str(step))]
        assert caplog.messages == ["{n}-%s" % step for step in range(20)]
"""


def test_capsys_and_caplog_are_the_tests_own_in_threads(tmp_path: Path) -> None:
    for n in range(8):
        (tmp_path / f"test_t{n}.py").write_text(textwrap.dedent(_THREADED.replace("{n}", str(n))))
    done = subprocess.run(
        [sys.executable, "-m", "trelkin", "--threads", "-n", "4", "-q", "-p", "no:cacheprovider"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "8 passed" in done.stdout


def test_base_directories_of_ended_runs_are_pruned(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    import tempfile
    import time

    from trelkin import _builtins

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setattr("getpass.getuser", lambda: "someone")
    root = tmp_path / "trelkin-of-someone"
    root.mkdir()
    dead = []
    for index in range(5):
        folder = root / f"run-999999999-{index}"
        folder.mkdir()
        os.utime(folder, (time.time() - 100 + index, time.time() - 100 + index))
        dead.append(folder)
    running = root / f"run-{os.getpid()}-live"
    running.mkdir()
    new = _builtins._new_basetemp()
    assert new.parent == root.resolve() and new.is_dir()
    kept = sorted(path.name for path in root.iterdir())
    assert kept == sorted([dead[3].name, dead[4].name, running.name, new.name])
