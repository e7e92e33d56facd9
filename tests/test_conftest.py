"""conftest.py files against pytest: loading order and visibility, pytest_plugins, and
the hooks conftests use most; any other hook is named in a warning."""

from __future__ import annotations

import textwrap
import warnings
from argparse import Namespace
from pathlib import Path

import pytest

from _runtime_oracle import pytest_outcomes, runtime_outcomes

TREES: dict[str, dict[str, str]] = {
    "options with defaults and values": {
        "conftest.py": """
            def pytest_addoption(parser):
                parser.addoption("--flavour", default="plain")
                group = parser.getgroup("extra")
                group.addoption("--count", type=int, default=1, dest="how_many")
                parser.addoption("--fast", action="store_true")
                parser.addini("custom_key", "help", default="dflt")
            """,
        "test_opts.py": """
            def test_flavour(pytestconfig):
                assert pytestconfig.getoption("flavour") == "plain"
                assert pytestconfig.getoption("--flavour") == "plain"
                assert pytestconfig.option.how_many == 1
                assert pytestconfig.getoption("fast") is False
                assert pytestconfig.getini("custom_key") == "dflt"
                assert pytestconfig.getoption("nope", default=5) == 5
            """,
    },
    "collect_ignore and collect_ignore_glob": {
        "conftest.py": """
            import pathlib
            collect_ignore = ["test_old.py", "legacy", pathlib.Path(__file__).parent / "test_path.py"]
            collect_ignore_glob = ["*_broken.py"]
            """,
        "test_old.py": "import not_installed_module\ndef test_old(): pass\n",
        "test_path.py": "def test_path(): assert 0\n",
        "test_kept.py": "def test_kept(): pass\n",
        "test_x_broken.py": "syntax error (\n",
        "legacy/conftest.py": "raise ImportError('never imported')\n",
        "legacy/test_legacy.py": "def test_legacy(): assert 0\n",
        # The nearest conftest decides: this one's list replaces the root's.
        "nested/conftest.py": "collect_ignore = ['test_here.py']\n",
        "nested/test_here.py": "def test_here(): assert 0\n",
        "nested/test_old.py": "def test_nested_old(): pass\n",
        "nested/test_y_broken.py": "syntax error (\n",
    },
    "configure, markers and sessionstart": {
        "conftest.py": """
            import pytest
            started = []
            def pytest_configure(config):
                config.addinivalue_line("markers", "db: needs a database")
                config.custom_attribute = "set"
            def pytest_sessionstart(session):
                started.append(session)
            """,
        "test_conf.py": """
            import pytest
            from conftest import started
            @pytest.mark.db
            def test_configured(pytestconfig):
                assert pytestconfig.custom_attribute == "set"
                assert any(line.startswith("db:") for line in pytestconfig.getini("markers"))
                assert len(started) == 1
            """,
    },
    "modifyitems reorders, deselects and marks": {
        "conftest.py": """
            import pytest
            def pytest_collection_modifyitems(session, config, items):
                items.sort(key=lambda item: item.name, reverse=True)
                dropped = [item for item in items if "drop" in item.nodeid]
                config.hook.pytest_deselected(items=dropped)
                items[:] = [item for item in items if item not in dropped]
                for item in items:
                    if "slow" in item.nodeid:
                        item.add_marker(pytest.mark.skip(reason="slow"))
            """,
        "test_mod.py": """
            def test_a(): pass
            def test_b_drop(): pass
            def test_c_slow(): pass
            """,
    },
    "directory conftests: visibility and hooks below them": {
        "conftest.py": """
            import pytest
            @pytest.fixture
            def shared(): return "root"
            """,
        "left/conftest.py": """
            import pytest
            @pytest.fixture
            def local(): return "left"
            def pytest_runtest_setup(item):
                if "skipme" in item.name:
                    pytest.skip("left hook")
            """,
        "left/test_left.py": """
            def test_local(local, shared): assert (local, shared) == ("left", "root")
            def test_skipme(): pass
            """,
        "right/test_right.py": """
            def test_no_local(local): pass
            def test_skipme_here(): pass
            """,
    },
    "pytest_plugins and package conftests": {
        "helpers/__init__.py": "",
        "helpers/plugin.py": """
            import pytest
            @pytest.fixture
            def from_plugin(): return "plugin"
            """,
        "conftest.py": 'pytest_plugins = ["helpers.plugin"]\n',
        "pkg/__init__.py": "",
        "pkg/conftest.py": """
            import pytest
            @pytest.fixture
            def pkg_value(): return 42
            """,
        "pkg/test_pkg.py": """
            def test_both(from_plugin, pkg_value): assert (from_plugin, pkg_value) == ("plugin", 42)
            """,
    },
    "sessionfinish and unconfigure run": {
        "conftest.py": """
            import os
            def pytest_sessionfinish(session, exitstatus):
                open(os.path.join(os.path.dirname(__file__), "finished"), "w").write(str(exitstatus))
            """,
        "test_end.py": "def test_a(): pass\n",
    },
}


def write(root: Path, files: dict[str, str]) -> Path:
    for relative, source in files.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(source), encoding="utf-8")
    return root


@pytest.mark.parametrize("files", list(TREES.values()), ids=list(TREES))
def test_conftests_match_pytest(tmp_path: Path, files: dict[str, str]) -> None:
    tree = write(tmp_path, files)
    ours = runtime_outcomes(tree)
    assert ours == pytest_outcomes(tree)
    assert list(ours) == list(pytest_outcomes(tree))


def test_command_line_values_reach_getoption(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        **TREES["options with defaults and values"],
        "test_opts.py": """
            def test_values(pytestconfig):
                assert pytestconfig.getoption("flavour") == "spicy"
                assert pytestconfig.option.how_many == 3
                assert pytestconfig.getoption("fast") is True
            """,
    })
    args = ("--flavour", "spicy", "--count", "3", "--fast")
    assert runtime_outcomes(tree, *args) == pytest_outcomes(tree, *args) == {"test_opts.py::test_values": "passed"}


def test_sessionfinish_gets_the_exit_status(tmp_path: Path) -> None:
    tree = write(tmp_path, {**TREES["sessionfinish and unconfigure run"], "test_end.py": "def test_a(): assert 0\n"})
    runtime_outcomes(tree)
    assert (tree / "finished").read_text() == "1"


def test_unsupported_hooks_are_named(tmp_path: Path) -> None:
    from trelkin._config import Settings
    from trelkin._runtime import Runtime

    tree = write(tmp_path, {
        "conftest.py": "def pytest_runtest_makereport(item, call): pass\ndef pytest_configure(config): pass\n",
    })
    runtime = Runtime(Settings(rootdir=tree), Namespace(), threaded=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            runtime.load_initial_conftests([tree])
        finally:
            import sys

            sys.modules.pop("conftest", None)
    messages = [str(warning.message) for warning in caught]
    assert any("pytest_runtest_makereport" in message and "conftest.py" in message for message in messages)
    assert not any("pytest_configure" in message for message in messages)


def test_option_definitions_are_argparse_ready(tmp_path: Path) -> None:
    import argparse
    import sys

    from trelkin._config import Settings
    from trelkin._runtime import Runtime

    tree = write(tmp_path, TREES["options with defaults and values"])
    runtime = Runtime(Settings(rootdir=tree), Namespace(), threaded=False)
    try:
        runtime.load_initial_conftests([tree])
    finally:
        sys.modules.pop("conftest", None)
    parser = argparse.ArgumentParser()
    for flags, kwargs in runtime.option_definitions():
        parser.add_argument(*flags, **kwargs)
    options = parser.parse_args(["--count", "7"])
    assert (options.flavour, options.how_many, options.fast) == ("plain", 7, False)


def _installed_plugin(site: Path) -> None:
    """A package that declares a pytest11 entry point, as pytest-mock does."""
    (site / "fakeplugin_trelkin.py").write_text(textwrap.dedent("""
        import pytest
        def pytest_addoption(parser):
            parser.addoption("--fake-level", default="3")
            parser.addoption("--fake-profile")
            parser.addini("fake_key", "help", default="ini-default")
        def pytest_configure(config):
            config.addinivalue_line("markers", "fake: a plugin's mark")
        def pytest_runtest_logreport(report):
            pass
        def pytest_report_header(config):
            # Read by its flag before any test runs, as hypothesis's plugin does.
            return f"fake profile: {config.getoption('--fake-profile')}"
        @pytest.fixture
        def fake_fixture(pytestconfig):
            # By its flag too, as hypothesis's plugin reads its options; one with no default.
            assert pytestconfig.getoption("--fake-level") == pytestconfig.getoption("fake_level")
            assert pytestconfig.getoption("--fake-profile") is None
            return pytestconfig.getoption("fake_level"), pytestconfig.getini("fake_key")
    """))
    info = site / "fakeplugin_trelkin-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: fakeplugin-trelkin\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[pytest11]\nfake = fakeplugin_trelkin\n")


@pytest.mark.parametrize(
    "args, expected",
    [((), "passed"), (("-p", "no:fake"), "error")],
    ids=["loaded", "disabled"],
)
def test_installed_plugins_give_their_fixtures(tmp_path: Path, args: tuple[str, ...], expected: str) -> None:
    import json
    import os
    import subprocess
    import sys

    site = tmp_path / "site"
    site.mkdir()
    _installed_plugin(site)
    tree = write(tmp_path / "tree", {
        "test_plugin.py": """
            import pytest
            @pytest.mark.fake
            def test_uses(fake_fixture):
                assert fake_fixture == ("3", "ini-default")
            """,
    })
    driver = Path(__file__).with_name("_runtime_driver.py")
    env = {**os.environ, "PYTHONPATH": str(site)}
    env.pop("PYTEST_DISABLE_PLUGIN_AUTOLOAD", None)
    done = subprocess.run([sys.executable, str(driver), "--strict-markers", *args],
                          cwd=tree, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    outcomes = json.loads(done.stdout.splitlines()[-1])
    key = "test_plugin.py::test_uses" if expected == "passed" else "test_plugin.py"
    assert outcomes.get(key) == expected, outcomes
    # A module that never imports pytest still gets a plugin's fixture.
    (tree / "test_plugin.py").write_text("def test_uses(fake_fixture):\n    assert fake_fixture[0] == '3'\n")
    done = subprocess.run([sys.executable, str(driver), *args], cwd=tree, env=env,
                          capture_output=True, text=True, timeout=60)
    outcomes = json.loads(done.stdout.splitlines()[-1])
    assert outcomes["test_plugin.py::test_uses"] == ("passed" if expected == "passed" else "error")
    # A conftest that imports pytest has the plugins loaded before the header is written.
    (tree / "conftest.py").write_text("import pytest\n")
    shown = subprocess.run([sys.executable, "-m", "trelkin", "--sequential", *args], cwd=tree, env=env,
                           capture_output=True, text=True, timeout=60)
    assert shown.returncode in (0, 1), shown.stderr
    assert ("fake profile: None" in shown.stdout) == (expected == "passed"), shown.stdout


def test_ini_usefixtures_ignore_collect_and_module_plugins(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "pytest.ini": "[pytest]\nusefixtures = marker_fixture\n",
        "conftest.py": """
            import pytest
            used = []
            @pytest.fixture
            def marker_fixture(): used.append(1)
            def pytest_ignore_collect(collection_path, config):
                return collection_path.name == "test_ignored.py" or None
            """,
        "helper_plugin.py": """
            import pytest
            @pytest.fixture
            def from_module_plugin(): return "m"
            """,
        "test_uses.py": """
            pytest_plugins = ["helper_plugin"]
            from conftest import used
            def test_ini_fixture(): assert used == [1]
            def test_plugin(from_module_plugin): assert from_module_plugin == "m"
            """,
        "test_ignored.py": "def test_never(): assert False\n",
    })
    assert runtime_outcomes(tree) == pytest_outcomes(tree) == {
        "test_uses.py::test_ini_fixture": "passed",
        "test_uses.py::test_plugin": "passed",
    }


def test_a_broken_conftest_is_one_error_of_its_directory(tmp_path: Path) -> None:
    tree = write(tmp_path, {
        "broken/conftest.py": "def oops(:\n",
        "broken/test_one.py": "def test_one(): pass\n",
        "broken/test_two.py": "def test_two(): pass\n",
        "test_fine.py": "def test_fine(): pass\n",
    })
    assert runtime_outcomes(tree) == pytest_outcomes(tree) == {
        "broken": "error", "test_fine.py::test_fine": "passed",
    }


def test_installed_hypothesis_plugin_leaves_given_tests_working(tmp_path: Path) -> None:
    pytest.importorskip("hypothesis")
    tree = write(tmp_path, {
        "test_h.py": """
            import warnings
            from hypothesis import given, strategies as st
            @given(st.integers())
            def test_given(x):
                assert isinstance(x, int)
            def test_no_side_effect_warning():
                from hypothesis import strategies as st
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    st.integers().example() if False else st.integers().wrapped_strategy
            """,
    })
    assert runtime_outcomes(tree) == pytest_outcomes(tree) == {
        "test_h.py::test_given": "passed", "test_h.py::test_no_side_effect_warning": "passed",
    }


@pytest.mark.parametrize("mode", [["--sequential"], ["-n", "2"]])
def test_files_a_conftest_ignores_are_neither_run_nor_counted(tmp_path: Path, mode: list[str]) -> None:
    import os
    import subprocess
    import sys

    tree = write(tmp_path, TREES["collect_ignore and collect_ignore_glob"])
    done = subprocess.run([sys.executable, "-m", "trelkin", "-p", "no:cacheprovider", *mode],
                          cwd=tree, capture_output=True, text=True, timeout=60,
                          env={**os.environ, "COLUMNS": "80", "PYTEST_ADDOPTS": ""})
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert [line.split()[0] for line in lines if line.endswith("%]")] == ["nested/test_old.py", "test_kept.py"]
    assert [line for line in lines if line.endswith("%]")][-1].endswith("[100%]")
    assert "2 passed" in lines[-1]
