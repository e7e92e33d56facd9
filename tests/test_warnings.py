"""Warnings capture and the warnings summary, compared with pytest on the same trees, run
file after file and with every file on a thread of its own at once."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from _oracle import clean_env, run_pytest
from trelkin._warnings import FilterError, Warnings, parse_filter

DRIVER = Path(__file__).with_name("_warnings_driver.py")

BASIC = {
    "test_a.py": """
        import warnings
        warnings.warn("at import", UserWarning)

        def helper():
            warnings.warn("deprecated thing", DeprecationWarning, stacklevel=2)

        def test_loop():
            for _ in range(3):
                warnings.warn("loop", UserWarning)
            helper()

        def test_again():
            warnings.warn("loop", UserWarning)
            warnings.warn("multi\\nline", RuntimeWarning)
    """,
    "test_b.py": """
        import warnings

        def test_pending():
            warnings.warn("later", PendingDeprecationWarning)

        def test_quiet():
            pass
    """,
}

ERRORS = {
    "test_a.py": """
        import warnings

        def test_user():
            warnings.warn("boom", UserWarning)

        def test_runtime():
            warnings.warn("fine", RuntimeWarning)

        def test_literal():
            warnings.warn("literal (paren) here", UserWarning)
    """,
}

MARKS = {
    "test_a.py": """
        import warnings
        import pytest

        @pytest.mark.filterwarnings("ignore::UserWarning")
        def test_ignored():
            warnings.warn("hidden", UserWarning)
            warnings.warn("shown", RuntimeWarning)

        @pytest.mark.filterwarnings("error::RuntimeWarning")
        def test_error():
            warnings.warn("raised", RuntimeWarning)

        def test_after():
            warnings.warn("hidden", UserWarning)
            warnings.warn("raised", RuntimeWarning)
    """,
    "test_b.py": """
        import warnings
        import pytest

        @pytest.mark.filterwarnings("error")
        def test_everything_fails():
            warnings.warn("strict", UserWarning)

        @pytest.mark.filterwarnings("ignore:.*noise")
        def test_regex():
            warnings.warn("some noise", UserWarning)
            warnings.warn("signal", UserWarning)
    """,
}

ACTIONS = {
    "test_a.py": """
        import warnings

        def warn_twice():
            warnings.warn("same", UserWarning)
            warnings.warn("same", UserWarning)

        def test_once():
            warn_twice()
            warnings.warn("same", UserWarning)

        def test_once_again():
            warn_twice()

        def test_module():
            for _ in range(2):
                warnings.warn("per module", RuntimeWarning)
            warnings.warn("per module", RuntimeWarning)
    """,
}

FOLDED = {
    "test_a.py": "import warnings\n\ndef shared():\n    warnings.warn('everywhere', UserWarning)\n"
    + "".join(f"\ndef test_{n}():\n    shared()\n" for n in range(11)),
}

HOSTILE = {
    "test_a.py": """
        import warnings
        import pytest

        def test_warns_caught():
            with pytest.warns(UserWarning):
                warnings.warn("caught", UserWarning)
                warnings.warn("passed on", RuntimeWarning)

        def test_leaks_a_filter():
            warnings.simplefilter("ignore")
            warnings.warn("never seen", UserWarning)

        def test_sees_its_own():
            warnings.warn("seen", UserWarning)

        def test_resets():
            warnings.resetwarnings()
            warnings.warn("reset", DeprecationWarning)
            warnings.warn("reset", DeprecationWarning)

        def test_replaces_display():
            seen = []
            warnings.showwarning = lambda *args, **kwargs: seen.append(args)
            warnings.warn("to the test", UserWarning)
            assert len(seen) == 1

        def test_display_is_back():
            warnings.warn("to the summary", UserWarning)

        def test_resource():
            handle = open(__file__)
            del handle
    """,
}

EXPLICIT = {
    "test_a.py": """
        import warnings
        import pytest

        def test_module_given():
            warnings.warn_explicit("given", UserWarning, "somefile.py", 7, module="mymod")

        def test_module_from_the_file():
            warnings.warn_explicit("derived", UserWarning, "otherfile.py", 8)

        def test_no_registry_shows_each():
            for _ in range(2):
                warnings.warn_explicit("again", RuntimeWarning, "f.py", 1)

        def test_registry_given():
            registry = {}
            for _ in range(2):
                warnings.warn_explicit("once here", RuntimeWarning, "f.py", 2, registry=registry)

        def test_passed_on_each_time():
            for _ in range(2):
                with pytest.warns(UserWarning):
                    warnings.warn("match", UserWarning)
                    warnings.warn("other", FutureWarning)
    """,
}

# (name, tree, -W options, filterwarnings lines)
CASES = [
    ("basic", BASIC, [], []),
    ("error-option", ERRORS, ["error::UserWarning"], []),
    ("option-over-ini", ERRORS, ["error::UserWarning"], ["ignore::UserWarning"]),
    ("option-is-literal", ERRORS, ["ignore:literal (paren"], ["error"]),
    ("ini-regex", ERRORS, [], ["ignore:f.ne", "error:b..m"]),
    ("marks", MARKS, [], []),
    ("actions", ACTIONS, ["once::UserWarning", "module::RuntimeWarning"], []),
    ("folded", FOLDED, [], []),
    ("hostile", HOSTILE, ["always::ResourceWarning"], []),
    ("explicit", EXPLICIT, ["error::UserWarning:mymod", "error::UserWarning:otherfile"], []),
]


def write(tree: dict[str, str], root: Path, ini: list[str]) -> Path:
    for name, source in tree.items():
        (root / name).write_text(textwrap.dedent(source), encoding="utf-8")
    lines = "".join(f"    {line}\n" for line in ini)
    (root / "pytest.ini").write_text(f"[pytest]\nfilterwarnings =\n{lines}", encoding="utf-8")
    return root


def drive(root: Path, **config: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(DRIVER), json.dumps(config)], cwd=root, env=clean_env(),
        capture_output=True, text=True, timeout=120,
    )


def summary(report: str) -> str:
    """The warnings summary section, trailing spaces dropped."""
    match = re.search(r"^=+ warnings summary =+$.*?^-- Docs: .*?$", report, re.M | re.S)
    if match is None:
        return ""
    return "\n".join(line.rstrip() for line in match.group(0).splitlines())


def failed(report: str) -> set[str]:
    return {line for line in report.splitlines() if line.startswith("FAILED ")}


@pytest.mark.parametrize("threads", [False, True], ids=["files-in-turn", "files-at-once"])
@pytest.mark.parametrize(("tree", "options", "ini"), [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_summary_and_failures_as_pytest(tmp_path, tree, options, ini, threads):
    root = write(tree, tmp_path, ini)
    arguments = [arg for option in options for arg in ("-W", option)]
    expected = run_pytest(root, "-q", "-rf", "--tb=no", *arguments)
    ours = drive(root, W=options, ini=ini, threads=threads)
    assert ours.returncode == 0, ours.stderr
    assert summary(ours.stdout) == summary(expected)
    assert failed(ours.stdout) == failed(expected)
    count = re.search(r"(\d+) warnings?", expected.splitlines()[-1])
    assert f"{count.group(1) if count else 0} warnings" in ours.stdout


# Files whose tests warn in loops, yielding between warnings, under filters of their own:
# run at once on threads, each test must see exactly its own warnings.
CROWD = {
    f"test_{n}.py": f"""
        import time
        import warnings
        import pytest

        @pytest.mark.filterwarnings("{action}::UserWarning")
        def test_marked():
            for index in range(40):
                try:
                    warnings.warn("marked {n}", UserWarning)
                except UserWarning:
                    pass
                time.sleep(0)

        def test_plain():
            for index in range(40):
                warnings.warn(f"plain {n} {{index % 3}}", UserWarning)
                with warnings.catch_warnings(record=True) as log:
                    warnings.simplefilter("always")
                    warnings.warn("recorded {n}", RuntimeWarning)
                assert [str(w.message) for w in log] == ["recorded {n}"]
                time.sleep(0)
    """
    for n, action in enumerate(["ignore", "error", "always", "default", "once", "ignore"])
}


def test_threads_keep_filters_and_records_apart(tmp_path):
    root = write(CROWD, tmp_path, [])
    expected = run_pytest(root, "-q", "-rf", "--tb=no")
    for _ in range(3):
        ours = drive(root, threads=True)
        assert ours.returncode == 0, ours.stderr
        assert summary(ours.stdout) == summary(expected)
        assert failed(ours.stdout) == failed(expected)


def test_a_thread_the_test_starts_warns_for_the_test(tmp_path):
    root = write({"test_a.py": """
        import threading
        import warnings

        def test_spawns():
            thread = threading.Thread(target=warnings.warn, args=("from a thread",))
            thread.start()
            thread.join()
    """}, tmp_path, [])
    ours = drive(root)
    assert summary(ours.stdout) == summary(run_pytest(root, "-q"))


def test_import_failure_of_a_category_is_a_warning(tmp_path):
    root = write(ERRORS, tmp_path, [])
    ours = drive(root, W=["error::nosuchmodule.Thing"])
    assert ours.returncode == 0, ours.stderr
    assert ("PytestConfigWarning: Failed to import filter module 'nosuchmodule': "
            "error::nosuchmodule.Thing") in ours.stdout
    assert "Failed to import filter module 'nosuchmodule'" in run_pytest(root, "-W", "error::nosuchmodule.Thing")


def test_disabled_leaves_the_warnings_module_alone(tmp_path):
    root = write(BASIC, tmp_path, [])
    ours = drive(root, W=["error::UserWarning"], enabled=False)
    assert ours.returncode == 0, ours.stderr
    assert summary(ours.stdout) == ""
    assert "0 warnings" in ours.stdout
    assert "UserWarning: loop" in ours.stderr  # where Python sends it


PROBES = {
    "uninstall-restores": """
        before = (list(warnings.filters), warnings.filters, warnings._showwarnmsg,
                  warnings.warn_explicit, warnings._filters_mutated,
                  warnings.catch_warnings.__enter__, warnings.catch_warnings.__exit__)
        capturing.install()
        with capturing.capture("t::x") as caught:
            warnings.simplefilter("always")
            warnings.warn("dep", DeprecationWarning)
        assert len(caught) == 1 and type(warnings.filters) is not list
        assert warnings.filters[0][0] == "error"
        capturing.uninstall()
        after = (list(warnings.filters), warnings.filters, warnings._showwarnmsg,
                 warnings.warn_explicit, warnings._filters_mutated,
                 warnings.catch_warnings.__enter__, warnings.catch_warnings.__exit__)
        assert all(a is b or a == b for a, b in zip(before, after)), (before, after)
    """,
    "a-block-outlives-the-run": """
        capturing.install()
        block = warnings.catch_warnings(record=True)
        block.__enter__()
        capturing.uninstall()
        block.__exit__(None, None, None)
        with warnings.catch_warnings(record=True) as log:
            warnings.simplefilter("always")
            warnings.warn("plain again", FutureWarning)
        assert len(log) == 1
    """,
    "new-ini-lines-stay-below-options": """
        capturing.install()
        capturing.set_ini(["ignore::UserWarning", "ignore::DeprecationWarning"])
        with capturing.capture("t::x") as caught:
            warnings.warn("dep", DeprecationWarning)
            try:
                warnings.warn("user", UserWarning)
            except UserWarning:
                caught.append("raised")
        assert caught == ["raised"], caught
    """,
    "import-warnings-travel": """
        capturing.install()
        with capturing.capture() as caught:
            warnings.warn("at import", FutureWarning)
        records = capturing.take_collection()
        assert capturing.collection == [] and len(records) == 1 and records[0][2] == caught[0]
        other = Warnings([], [])
        other.add_collection(json.loads(json.dumps(records)))
        assert other.collection == records
    """,
    "forked-child-captures-its-own": """
        import os, threading
        capturing.install()
        started, release = threading.Event(), threading.Event()
        def busy():
            with capturing.capture("t::other"):
                started.set()
                release.wait()
        thread = threading.Thread(target=busy)
        thread.start()
        started.wait()
        pid = os.fork()
        if pid == 0:
            with capturing.capture("t::child") as caught:
                warnings.warn("in the child", FutureWarning)
            os._exit(0 if len(caught) == 1 else 1)
        release.set()
        thread.join()
        assert os.waitpid(pid, 0)[1] == 0
    """,
}


@pytest.mark.parametrize("body", PROBES.values(), ids=PROBES)
def test_install_lifecycle(body):
    probe = ("import json, warnings\nfrom trelkin._warnings import Warnings\n"
             "capturing = Warnings(['error::UserWarning'], ['ignore::RuntimeWarning'])\n"
             + textwrap.dedent(body) + "print('ok')\n")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "ok", done.stderr


@pytest.mark.parametrize("text", [
    "bogus", "error:x:UserWarning:m:z", "error:x:UserWarning:m:-1", "a:b:c:d:1:2",
    "error::NoSuchWarning", "error::int", "error:x(:UserWarning",
])
def test_invalid_filters_are_pytests_usage_errors(tmp_path, text):
    (tmp_path / "test_a.py").write_text("def test_a(): pass\n")
    (tmp_path / "pytest.ini").write_text(f"[pytest]\nfilterwarnings = {text}\n")
    done = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider"],
                          cwd=tmp_path, env=clean_env(), capture_output=True, text=True, timeout=60)
    expected = done.stderr.strip().removeprefix("ERROR: ")
    with pytest.raises(FilterError) as raised:
        Warnings([], [text])
    ours = str(raised.value).strip()
    if "Traceback" in expected:
        # The traceback's frames are each runner's own; its head and its exception agree.
        assert ours.split("Traceback")[0] == expected.split("Traceback")[0]
        assert ours.splitlines()[-1].split(": ", 1)[-1] == expected.splitlines()[-1].split(": ", 1)[-1]
    else:
        assert ours == expected


@pytest.mark.parametrize(("text", "escape", "expected"), [
    ("ignore", True, ("ignore", "", Warning, "", 0)),
    ("error:a.b(:UserWarning:pkg.mod:3", True,
     ("error", r"a\.b\(", UserWarning, r"pkg\.mod\Z", 3)),
    ("error:a.b:UserWarning:pkg.mod", False, ("error", "a.b", UserWarning, "pkg.mod", 0)),
    (" d : m : DeprecationWarning ", False, ("default", "m", DeprecationWarning, "", 0)),
    ("always::warnings.WarningMessage", False, None),
    ("once::json.JSONDecodeError", False, None),
])
def test_parse_filter(text, escape, expected):
    if expected is None:
        with pytest.raises(FilterError, match="is not a Warning subclass"):
            parse_filter(text, escape=escape)
    else:
        assert parse_filter(text, escape=escape) == expected


@pytest.mark.parametrize("mode", ["--sequential", "--threads", "--processes"])
def test_the_command_shows_pytests_summary(tmp_path, mode):
    """Through trelkin's own collection and runtime: marks, module filters, each mode."""
    root = write({**BASIC, **{name.replace("test_", "test_m"): source for name, source in MARKS.items()}},
                 tmp_path, [])
    options = ["-W", "error::RuntimeWarning:test_ma"]
    expected = run_pytest(root, "-q", "-rf", "--tb=no", *options)
    done = subprocess.run(
        [sys.executable, "-m", "trelkin", *options, mode, "-q", "-rf", "--tb=no", "-p", "no:cacheprovider"],
        cwd=root, env=clean_env(), capture_output=True, text=True, timeout=120,
    )
    ours, theirs = summary(done.stdout), summary(expected)
    if mode != "--sequential":  # the blocks come as the files finish
        ours, theirs = blocks(ours), blocks(theirs)
    assert ours == theirs, done.stdout + done.stderr
    assert failed(done.stdout) == failed(expected)


def blocks(text: str) -> list[str]:
    return sorted(text.split("\n\n"))
