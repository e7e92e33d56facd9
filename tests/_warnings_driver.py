"""Runs the test functions of the test files in the current directory under trelkin's
warnings capture, as the session does, and prints what pytest prints of them: a
``FAILED nodeid - Error: message`` line per failure, then the warnings summary and the
number of warnings. The filterwarnings marks are applied inside each test with
``warnings.catch_warnings``, as the runtime applies them.

Argument: a JSON object {"W": [...], "ini": [...], "threads": bool, "enabled": bool}.
With "threads" each file runs on a thread of its own, all at once. The summary is given
the outcomes out of order and the planned order beside them, so it compares with pytest's.
"""

from __future__ import annotations

import importlib.util
import json
import os
import sys
import threading
import warnings

from trelkin._outcome import Kind, Outcome
from trelkin._terminal import Terminal
from trelkin._warnings import FilterError, Warnings, parse_filter


def main() -> int:
    config = json.loads(sys.argv[1])
    try:
        capturing = Warnings(config.get("W", []), config.get("ini", []), config.get("enabled", True))
    except FilterError as error:
        sys.stderr.write(f"ERROR: {error}\n")
        return 4
    capturing.install()
    sys.path.insert(0, os.getcwd())
    files = sorted(name for name in os.listdir(".") if name.startswith("test_") and name.endswith(".py"))
    modules = {}
    for name in files:
        spec = importlib.util.spec_from_file_location(name[:-3], os.path.abspath(name))
        module = importlib.util.module_from_spec(spec)  # type: ignore[arg-type]
        sys.modules[name[:-3]] = module
        with capturing.capture():
            spec.loader.exec_module(module)  # type: ignore[union-attr]
        modules[name] = module
    outcomes: dict[str, list[Outcome]] = {}
    barrier = threading.Barrier(len(files)) if config.get("threads") else None

    def run_file(name: str) -> None:
        if barrier is not None:
            barrier.wait()
        outcomes[name] = [run_test(capturing, name, test) for test in tests_of(modules[name])]

    if barrier is not None:
        threads = [threading.Thread(target=run_file, args=(name,)) for name in files]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
    else:
        for name in files:
            run_file(name)
    ordered = [outcome for name in files for outcome in outcomes[name]]
    capturing.uninstall()
    planned = [outcome.nodeid for outcome in ordered]
    # Arrived as the threads finished; the summary follows the plan all the same.
    arrived = [outcome for name in reversed(files) for outcome in outcomes[name]]
    for outcome in ordered:
        if outcome.kind == Kind.FAILED:
            print(f"FAILED {outcome.nodeid} - {outcome.message}")
    terminal = Terminal(color=False)
    number = capturing.show_summary(terminal, arrived, os.getcwd(), planned)
    terminal.line(f"{number} warnings")
    terminal.flush()
    print(json.dumps({outcome.nodeid: outcome.warnings for outcome in ordered}))
    return 0


def tests_of(module: object) -> list[object]:
    tests = [value for key, value in vars(module).items() if key.startswith("test") and callable(value)]
    return sorted(tests, key=lambda test: test.__code__.co_firstlineno)  # type: ignore[attr-defined]


def run_test(capturing: Warnings, file: str, test: object) -> Outcome:
    nodeid = f"{file}::{test.__name__}"  # type: ignore[attr-defined]
    marks = [mark for mark in getattr(test, "pytestmark", []) if mark.name == "filterwarnings"]
    filters = [parse_filter(text, escape=False) for mark in marks for text in mark.args]
    outcome = Outcome(nodeid, file, 0, Kind.PASSED)
    with capturing.capture(nodeid) as caught:
        try:
            with warnings.catch_warnings():
                for arguments in filters:
                    warnings.filterwarnings(*arguments)
                test()  # type: ignore[operator]
        except Exception as error:
            outcome.kind, outcome.message = Kind.FAILED, f"{type(error).__name__}: {error}"
    outcome.warnings = caught
    return outcome


if __name__ == "__main__":
    sys.exit(main())
