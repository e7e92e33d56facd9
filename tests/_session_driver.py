"""Runs the trelkin command with warnings capture and a report log fed from the session as
the command will feed them: imports and tests each inside a capture, each outcome to the
log as it is recorded, the warnings summary before the report's sections, the collection
errors and files skipped whole, then the exit status.

Arguments: a JSON object {"W": [...], "ini": [...], "log": path or null}, then the
command's arguments.
"""

from __future__ import annotations

import json
import os
import sys

from trelkin import _report, _session, cli
from trelkin._outcome import Phase
from trelkin._reportlog import ReportLog
from trelkin._runtime import Runtime
from trelkin._warnings import Warnings


def main() -> int:
    config = json.loads(sys.argv[1])
    capturing = Warnings(config.get("W", []), config.get("ini", []))
    log = ReportLog(config["log"], os.getcwd()) if config.get("log") else None
    collect_file, run_item = Runtime.collect_file, Runtime.run_item
    record, finish = _session.Session._record, _report.finish

    def collecting(self: Runtime, path: str, nodeid_path: str) -> object:
        with capturing.capture():
            return collect_file(self, path, nodeid_path)

    def running(self: Runtime, item: object, next_item: object, capture: object) -> object:
        with capturing.capture(item.nodeid) as caught:  # type: ignore[attr-defined]
            outcome = run_item(self, item, next_item, capture)  # type: ignore[arg-type]
        outcome.warnings = caught
        return outcome

    def recording(self: _session.Session, outcome: object) -> None:
        record(self, outcome)  # type: ignore[arg-type]
        if log is not None:
            log.outcome(outcome)  # type: ignore[arg-type]

    def finishing(terminal: object, session: _session.Session, *args: object, **kwargs: object) -> int:
        if log is not None:
            for entry in capturing.collection:
                log.warning(entry[2])
            for outcome in session.collection_errors:
                log.collection_error(outcome)
            for outcome in session.outcomes:
                if outcome.phase == Phase.COLLECT:
                    log.collection_error(outcome)
        # In plan order, however the threads finished.
        order = {item.nodeid: index for index, item in enumerate(session.plan.items)}
        outcomes = sorted(session.outcomes, key=lambda outcome: order.get(outcome.nodeid, -1))
        capturing.show_summary(terminal, outcomes, session.invocation_dir)  # type: ignore[arg-type]
        return finish(terminal, session, *args, **kwargs)  # type: ignore[arg-type]

    Runtime.collect_file, Runtime.run_item = collecting, running  # type: ignore[method-assign]
    _session.Session._record = recording  # type: ignore[method-assign]
    _report.finish = finishing  # type: ignore[assignment]
    capturing.install()
    if log is not None:
        log.start()
    try:
        status = cli.main(sys.argv[2:])
    finally:
        capturing.uninstall()
    if log is not None:
        log.finish(status)
    return status


if __name__ == "__main__":
    sys.exit(main())
