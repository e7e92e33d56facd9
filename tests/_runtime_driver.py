"""Runs the runtime over the tree in the working directory, sequentially, and prints one
JSON line: outcomes by node id (or, with --records, every outcome record in run order).
Options: -k EXPR, -m EXPR, --strict-markers, -o name=value, -p NAME, --runxfail,
--basetemp DIR."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path


class _Capture:
    def read(self) -> tuple[str, str]:
        return "", ""


def _summary(outcome: object) -> str:
    kind = str(outcome.kind)  # type: ignore[attr-defined]
    if outcome.teardown_error is not None:  # type: ignore[attr-defined]
        kind += "+teardown-error"
    return kind


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", action="store_true")
    parser.add_argument("-k", dest="keyword")
    parser.add_argument("-m", dest="markexpr")
    parser.add_argument("--strict-markers", action="store_true")
    parser.add_argument("--runxfail", action="store_true")
    parser.add_argument("--basetemp")
    parser.add_argument("-o", dest="override_ini", action="append", default=[])
    parser.add_argument("-p", dest="plugins", action="append", default=[])
    parser.add_argument("paths", nargs="*")
    options, _ = parser.parse_known_args()
    from trelkin import _collect, _config
    from trelkin._expression import compile_expression, keyword_matcher, mark_matcher
    from trelkin._runtime import Runtime

    here = Path.cwd()
    settings = _config.load([], overrides=options.override_ini, invocation_dir=here)
    runtime = Runtime(settings, options, threaded=False)
    runtime.load_initial_conftests([here])
    for flags, kwargs in runtime.option_definitions():
        parser.add_argument(*flags, **kwargs)
    options = parser.parse_args()
    targets = _collect.resolve_arguments(options.paths, settings, here)
    runtime.configure(options)
    found = _collect.find_files(targets, settings, ignore=[], ignore_glob=[], in_virtualenv=False)
    records: list[object] = []
    items = []
    for test_file in found.files:
        collected = runtime.collect_file(test_file.path, test_file.nodeid_path)
        if collected.error is not None:
            records.append(collected.error)
        items += collected.items
    items = runtime.modify_items(items)
    if options.keyword:
        expression = compile_expression(options.keyword)
        items = [item for item in items if expression.evaluate(keyword_matcher(item))]
    if options.markexpr:
        expression = compile_expression(options.markexpr, "-m")
        items = [item for item in items if expression.evaluate(mark_matcher(item))]
    for index, item in enumerate(items):
        following = items[index + 1] if index + 1 < len(items) else None
        records.append(runtime.run_item(item, following, _Capture()))
    finished = runtime.finish()
    if options.records:
        print(json.dumps([record.to_dict() for record in [*records, *finished]]))  # type: ignore[attr-defined]
        return
    result = {record.nodeid: _summary(record) for record in records}  # type: ignore[attr-defined]
    for record in finished:
        result[record.nodeid] = result.get(record.nodeid, "passed") + "+teardown-error"
    print(json.dumps(result))


if __name__ == "__main__":
    sys.exit(main())
