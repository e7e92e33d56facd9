"""The ``trelkin`` command: find the tests under the given paths, run them, report, with
pytest's options, configuration files and exit statuses."""

from __future__ import annotations

import argparse
import enum
import gc
import os
import sys
import time
from pathlib import Path

import trelkin

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from trelkin._config import Settings
    from trelkin._runtime import Runtime
    from trelkin._session import Session
    from trelkin._terminal import Terminal


class ExitCode(enum.IntEnum):
    OK = 0
    TESTS_FAILED = 1
    INTERRUPTED = 2
    INTERNAL_ERROR = 3
    USAGE_ERROR = 4
    NO_TESTS_COLLECTED = 5


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(message)


def _workers(text: str) -> int | str:
    if text in ("auto", "logical"):
        return "auto"
    if text.isascii() and text.isdigit():
        return int(text)
    raise argparse.ArgumentTypeError(f"expected a number or 'auto', not {text!r}")


def _count(text: str) -> int:
    if text.isascii() and text.isdigit():
        return int(text)
    raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, not {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, not {text!r}")
    return value


def parser(width: int = 80) -> argparse.ArgumentParser:
    parser = _Parser(
        prog="trelkin",
        formatter_class=lambda prog: argparse.HelpFormatter(prog, width=width),
        usage="trelkin [options] [file_or_dir] [file_or_dir] [...]",
        description="Find the tests under each path and run them, as pytest would.",
        epilog="Exit status: 0 all passed, 1 some failed, 2 interrupted or a collection "
        "error, 3 internal error, 4 usage error, 5 no tests collected.",
        allow_abbrev=False,
    )
    add = parser.add_argument
    add("paths", nargs="*", metavar="file_or_dir")
    add("--version", "-V", action="version", version=f"trelkin {trelkin.__version__}")

    group = parser.add_argument_group("selection")
    group.add_argument("-k", dest="keyword", metavar="EXPRESSION",
                       help="only tests whose names match the expression (and, or, not)")
    group.add_argument("-m", dest="markexpr", metavar="MARKEXPR",
                       help="only tests whose marks match the expression")
    group.add_argument("--deselect", action="append", default=[], metavar="NODEID_PREFIX")
    group.add_argument("--ignore", action="append", default=[], metavar="PATH")
    group.add_argument("--ignore-glob", action="append", default=[], metavar="GLOB")
    group.add_argument("--collect-in-virtualenv", action="store_true")
    group.add_argument("--collect-only", "--co", action="store_true",
                       help="list the tests found, run nothing")
    group.add_argument("--continue-on-collection-errors", action="store_true")
    group.add_argument("--runxfail", action="store_true",
                       help="report xfail tests as if they weren't marked")
    group.add_argument("--strict-markers", action="store_true")
    group.add_argument("--strict-config", action="store_true")
    group.add_argument("--strict", action="store_true", help="the same as --strict-markers")

    group = parser.add_argument_group("running")
    group.add_argument("-x", "--exitfirst", action="store_const", const=1, dest="maxfail",
                       default=0, help="stop after the first failure")
    group.add_argument("--maxfail", type=_count, metavar="N", dest="maxfail",
                       help="stop after N failures")
    group.add_argument("-s", action="store_const", const="no", dest="capture",
                       help="the same as --capture=no")
    group.add_argument("--capture", choices=("fd", "sys", "no", "tee-sys"), default=None)
    group.add_argument("-n", "--numprocesses", dest="workers", type=_workers, default=None,
                       metavar="N|auto", help="run files on N workers (0: --sequential)")
    group.add_argument("--threads", action="store_true",
                       help="run files on threads of this process")
    group.add_argument("--processes", action="store_true",
                       help="run files in worker processes")
    group.add_argument("--sequential", action="store_true",
                       help="run every test in this process, one after another")
    group.add_argument("--dist", choices=("load", "loadfile", "loadscope", "worksteal", "no"),
                       default=None, help="accepted for pytest-xdist's sake: files always "
                       "stay whole on one worker")
    group.add_argument("-p", dest="plugins", action="append", default=[], metavar="NAME")
    group.add_argument("--max-worker-restart", type=_count, default=None, metavar="N",
                       help="stop after N crashed workers per worker (default 4)")
    group.add_argument("--timeout", type=_seconds, default=None, metavar="SECONDS",
                       help="fail a test that runs longer")
    group.add_argument("--shard", metavar="K/N", help="run the K-th of N disjoint shards")
    group.add_argument("--durations-path", metavar="FILE",
                       help="a JSON file of recorded durations to balance shards by")

    group = parser.add_argument_group("reporting")
    group.add_argument("-v", "--verbose", action="count", default=0, dest="verbose")
    group.add_argument("-q", "--quiet", action="count", default=0, dest="quiet")
    group.add_argument("-r", dest="reportchars", default="fE", metavar="CHARS")
    group.add_argument("--tb", choices=("auto", "long", "short", "line", "native", "no"),
                       default="auto", dest="tbstyle")
    group.add_argument("-l", "--showlocals", action="store_true")
    group.add_argument("--full-trace", action="store_true")
    group.add_argument("--durations", type=_count, metavar="N")
    group.add_argument("--durations-min", type=_seconds, default=0.005, metavar="SECONDS")
    group.add_argument("--color", choices=("auto", "yes", "no"), default="auto")
    group.add_argument("--no-header", action="store_true")
    group.add_argument("--no-summary", action="store_true")
    group.add_argument("--junitxml", "--junit-xml", metavar="FILE")
    group.add_argument("--junit-prefix", metavar="PREFIX")
    group.add_argument("--report-log", metavar="FILE",
                       help="write a JSON line per test phase, as pytest-reportlog does")
    group.add_argument("-W", "--pythonwarnings", action="append", default=[],
                       metavar="PYTHONWARNINGS", help="a warnings filter, as python -W")
    group.add_argument("--disable-warnings", "--disable-pytest-warnings", action="store_true",
                       dest="disable_warnings", help="no warnings summary")

    group = parser.add_argument_group("configuration")
    group.add_argument("-c", "--config-file", dest="inifilename", metavar="FILE")
    group.add_argument("--rootdir", metavar="DIR")
    group.add_argument("-o", "--override-ini", dest="override_ini", action="append",
                       default=[], metavar="NAME=VALUE")
    group.add_argument("--basetemp", metavar="DIR")
    group.add_argument("--assert", dest="assertmode", choices=("rewrite", "plain"),
                       default="rewrite", help="plain: leave assert statements as written")
    group.add_argument("--import-mode", choices=("prepend", "append", "importlib"),
                       default="prepend")
    from trelkin import _lastrun

    _lastrun.add_arguments(parser)
    group = parser.add_argument_group(
        "accepted for pytest's sake", "pytest options that trelkin takes without acting on "
        "them; each one used is named in a note at the start of the run")
    for flags, keywords in _WITHOUT_EFFECT:
        group.add_argument(*flags, dest=f"ignored_{flags[0].lstrip('-').replace('-', '_')}",
                           default=None, help=argparse.SUPPRESS, **keywords)
    return parser


# pytest's (and its common plugins') options that trelkin has no part for: a habitual
# command line or a project's addopts still runs, with a note naming what was ignored.
_WITHOUT_EFFECT: list[tuple[tuple[str, ...], dict[str, object]]] = [
    (("--pdb",), {"action": "store_true"}),
    (("--pdbcls",), {"metavar": "CLASS"}),
    (("--trace",), {"action": "store_true"}),
    (("--setup-show",), {"action": "store_true"}),
    (("--setup-only",), {"action": "store_true"}),
    (("--setup-plan",), {"action": "store_true"}),
    (("--doctest-modules",), {"action": "store_true"}),
    (("--doctest-glob",), {"action": "append"}),
    (("--doctest-continue-on-failure",), {"action": "store_true"}),
    (("--show-capture",), {"metavar": "WHAT"}),
    (("--code-highlight",), {"metavar": "YES_NO"}),
    (("--log-level",), {"metavar": "LEVEL"}),
    (("--log-format",), {"metavar": "FORMAT"}),
    (("--log-date-format",), {"metavar": "FORMAT"}),
    (("--log-cli-level",), {"metavar": "LEVEL"}),
    (("--log-file",), {"metavar": "PATH"}),
    (("--log-file-level",), {"metavar": "LEVEL"}),
    (("--keep-duplicates",), {"action": "store_true"}),
    (("--pyargs",), {"action": "store_true"}),
    (("--noconftest",), {"action": "store_true"}),
    (("--confcutdir",), {"metavar": "DIR"}),
    (("--debug",), {"nargs": "?", "const": "pytestdebug.log"}),
    (("--cov",), {"nargs": "?", "const": True, "action": "append"}),
    (("--cov-report",), {"action": "append"}),
    (("--cov-config",), {"metavar": "PATH"}),
    (("--cov-branch",), {"action": "store_true"}),
    (("--cov-append",), {"action": "store_true"}),
    (("--cov-fail-under",), {"metavar": "MIN"}),
    (("--no-cov",), {"action": "store_true"}),
    (("--benchmark-skip",), {"action": "store_true"}),
    (("--benchmark-disable",), {"action": "store_true"}),
    (("--randomly-seed",), {"metavar": "SEED"}),
    (("--reruns",), {"metavar": "N"}),
    (("--tx",), {"action": "append"}),
    (("--rsyncdir",), {"action": "append"}),
]


def ignored_options(options: argparse.Namespace) -> list[str]:
    """The options of ``_WITHOUT_EFFECT`` this run was given."""
    return [
        flags[0]
        for flags, _ in _WITHOUT_EFFECT
        if getattr(options, f"ignored_{flags[0].lstrip('-').replace('-', '_')}", None)
        not in (None, False, [])
    ]


def main(argv: Sequence[str] | None = None) -> int:
    started = time.perf_counter()
    arguments = list(sys.argv[1:] if argv is None else argv)
    from trelkin._terminal import Terminal, terminal_width, use_color

    if arguments[:1] == ["--merge-junit"]:
        return _merge_junit(arguments[1:])
    try:
        options, settings, runtime = _options(arguments, terminal_width(1))
    except UsageError as error:
        _usage_error(str(error))
        return ExitCode.USAGE_ERROR
    terminal = Terminal(use_color(options.color))
    try:
        return _run(options, settings, runtime, terminal, started)
    except UsageError as error:
        terminal.flush()
        _usage_error(str(error))
        return ExitCode.USAGE_ERROR
    finally:
        terminal.close()
        if options.rewrite_hook is not None:
            options.rewrite_hook.uninstall()
        warnings_capture = getattr(options, "warnings_capture", None)
        if warnings_capture is not None:
            warnings_capture.uninstall()


def console_main() -> None:
    """The ``trelkin`` command and ``python -m trelkin``: ``main``, then the exit. When only
    the standard library and trelkin itself were ever loaded in this process (the tests ran
    in worker processes, and no conftest or plugin was imported here), with no exit handler
    and no other thread, nothing of anyone else's can be left unwritten, and the process
    leaves without the interpreter's teardown: after workers were forked, that teardown
    writes to every page the parent shares with them, a fault each, and costs more than
    running a short test."""
    status = int(main())
    if _only_own_code_loaded():
        try:
            sys.stdout.flush()
            sys.stderr.flush()
        except BaseException:
            sys.exit(status)  # the interpreter reports it, as for any other command
        os._exit(status)
    sys.exit(status)


def _only_own_code_loaded() -> bool:
    import atexit
    import threading

    if atexit._ncallbacks() or threading.active_count() != 1:
        return False
    # A profiler or tracer (cProfile, trace, pdb) writes what it found after the command.
    if sys.gettrace() is not None or sys.getprofile() is not None:
        return False
    if any(sys.monitoring.get_tool(tool) is not None for tool in range(6)):
        return False
    stdlib = sys.stdlib_module_names
    for name in list(sys.modules):
        top = name.partition(".")[0]
        if top not in stdlib and top not in ("trelkin", "__main__", "_editable_skbc_trelkin"):
            return False
    return True


def _merge_junit(arguments: list[str]) -> int:
    if len(arguments) < 2:
        _usage_error("--merge-junit needs an output file and one or more reports: "
                     "trelkin --merge-junit OUT IN...")
        return ExitCode.USAGE_ERROR
    from trelkin import _junit_merge

    try:
        _junit_merge.merge(arguments[0], arguments[1:])
    except (OSError, ValueError) as error:
        _usage_error(str(error))
        return ExitCode.USAGE_ERROR
    return ExitCode.OK


def _usage_error(message: str) -> None:
    sys.stderr.write(f"ERROR: {message}\n")
    sys.stderr.flush()


def _options(arguments: list[str], width: int) -> tuple[argparse.Namespace, Settings, Runtime]:
    """The command line with ``addopts`` from the configuration and PYTEST_ADDOPTS before
    it, as pytest reads them, and the options the initial conftests add."""
    from trelkin import _config, _conftest
    from trelkin._runtime import Runtime

    # One parser for all three passes: building it is most of the start-up's cost.
    command_line = parser(width)
    early, _ = command_line.parse_known_args(arguments)
    try:
        settings = _config.load(
            early.paths,
            inifile=early.inifilename,
            rootdir=early.rootdir,
            overrides=early.override_ini,
        )
    except _config.ConfigError as error:
        raise UsageError(str(error)) from None
    extra = list(settings.getini("addopts"))  # type: ignore[call-overload]
    extra += _config.split_args(os.environ.get("PYTEST_ADDOPTS", ""))
    full = extra + arguments
    early, _ = command_line.parse_known_args(full)
    _finish_options(early)
    from trelkin import _rewrite

    # Before any conftest is imported: conftests are rewritten too.
    early.test_paths = set()
    early.rewrite_hook = _rewrite.install(
        early.test_paths.__contains__,
        python_files=list(settings.getini("python_files")),  # type: ignore[call-overload]
        enabled=early.assertmode == "rewrite" and "no:assertion" not in early.plugins,
    )
    runtime = Runtime(settings, early, threaded=_mode(early) == "threads")
    here = Path.cwd()
    paths = [here / path.split("::", 1)[0] for path in early.paths]
    try:
        runtime.load_initial_conftests([path for path in paths if path.exists()])
    except _conftest.UsageError as error:
        raise UsageError(str(error)) from None
    definitions = runtime.option_definitions()
    if definitions:
        group = command_line.add_argument_group("custom options")
        for flags, keywords in definitions:
            try:
                group.add_argument(*flags, **keywords)
            except (argparse.ArgumentError, TypeError, ValueError) as error:
                raise UsageError(f"a conftest's option {flags}: {error}") from None
    options = command_line.parse_args(full)
    options.test_paths, options.rewrite_hook = early.test_paths, early.rewrite_hook
    settings.overrides.update(_config._parse_overrides(options.override_ini))
    _finish_options(options)
    _configure_explanations(options, settings)
    return options, settings, runtime


def _configure_explanations(options: argparse.Namespace, settings: Settings) -> None:
    """-v/-vv and the ini's truncation limits and diff style, for every assertion
    explanation of the run (worker processes inherit them)."""
    from trelkin import _explain

    def number(name: str, default: int) -> int:
        text = str(settings.getini(name) or "").strip()
        try:
            return int(text) if text else default
        except ValueError:
            raise UsageError(f"{name} must be a whole number, not {text!r}") from None

    assertions = str(settings.getini("verbosity_assertions") or "").strip()
    verbosity = options.verbosity
    if assertions and assertions != "auto":
        verbosity = number("verbosity_assertions", verbosity)
    try:
        _explain.configure(
            verbosity=verbosity,
            max_lines=number("truncation_limit_lines", _explain.MAX_LINES),
            max_chars=number("truncation_limit_chars", _explain.MAX_CHARS),
            diff_style=str(settings.getini("assertion_text_diff_style") or "ndiff"),
        )
    except ValueError as error:
        raise UsageError(str(error)) from None


def _finish_options(options: argparse.Namespace) -> None:
    options.verbosity = options.verbose - options.quiet
    if options.capture is None:
        options.capture = "fd" if _mode(options) == "processes" else "sys"
    if options.strict:
        options.strict_markers = True
    options.invocation_dir = Path.cwd()
    # Paths the run writes are resolved now: a test that changes directory moves nothing.
    if options.junitxml:
        options.junitxml = os.path.abspath(options.junitxml)
    if options.report_log:
        options.report_log = os.path.abspath(options.report_log)


def _mode(options: argparse.Namespace) -> str:
    """sequential, threads or processes: processes by default where the interpreter has a
    GIL (threads of one process don't run Python code at once there), threads where it
    hasn't."""
    if options.sequential or options.workers == 0:
        return "sequential"
    if options.threads:
        return "threads"
    if options.processes:
        return "processes"
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return "processes" if gil else "threads"


def _worker_count(options: argparse.Namespace) -> int:
    if isinstance(options.workers, int):
        return options.workers
    return os.cpu_count() or 1


def _run(
    options: argparse.Namespace, settings: Settings, runtime: Runtime, terminal: Terminal,
    started: float,
) -> int:
    from trelkin import _collect, _report
    from trelkin._session import Session

    if options.junitxml:
        _check_writable(options.junitxml)
    mode = _mode(options)
    if mode == "threads" and isinstance(options.workers, int):
        # Before anything uses the core's pool: it reads its size once.
        os.environ["RAYON_NUM_THREADS"] = str(options.workers)
    elif options.workers == "auto":
        os.environ.pop("RAYON_NUM_THREADS", None)
    from trelkin._cache import Cache
    from trelkin._lastrun import LastRun, show

    cache = None if "no:cacheprovider" in options.plugins else Cache(settings.rootdir)
    if options.cacheshow is not None and cache is not None:
        for line in show(cache, options.cacheshow):
            terminal.line(line)
        return ExitCode.OK
    from trelkin import _warnings

    try:
        warnings_capture = _warnings.Warnings(
            options.pythonwarnings,
            list(settings.getini("filterwarnings")),  # type: ignore[call-overload]
            enabled="no:warnings" not in options.plugins,
        )
    except _warnings.FilterError as error:
        raise UsageError(str(error)) from None
    session = Session(options, settings, runtime, options.invocation_dir)
    session.warnings = options.warnings_capture = warnings_capture
    runtime.interrupted = lambda: session.interrupted
    if options.report_log:
        from trelkin._reportlog import ReportLog

        session.report_log = ReportLog(options.report_log, settings.rootdir)
        session.report_log.start()
        session.on_outcome = session.report_log.outcome
    try:
        warnings_capture.install()
    except RuntimeError:
        # A run inside a test of another run in this process: the outer run's capture
        # already takes every warning.
        session.warnings = None
    session.lastrun = LastRun(cache, options)
    if options.verbosity >= 0 and not options.no_header:
        _report.header(terminal, session, mode)
    ignored = ignored_options(options)
    if ignored:
        terminal.line(f"note: trelkin takes {', '.join(ignored)} for pytest's sake and "
                      "does nothing with it", "yellow")
    try:
        targets = _collect.resolve_arguments(options.paths, settings, options.invocation_dir)
    except _collect.UsageError as error:
        raise UsageError(str(error)) from None
    found = _collect.find_files(
        targets,
        settings,
        ignore=options.ignore,
        ignore_glob=options.ignore_glob,
        in_virtualenv=options.collect_in_virtualenv,
    )
    # What the conftests loaded so far leave out is never scheduled, nor counted in the
    # progress; the conftests further down decide as each file is collected.
    found.files[:] = [
        test_file for test_file in found.files
        if not runtime.conftests.ignored_by_loaded(Path(os.path.abspath(test_file.path)))
    ]
    options.test_paths.update(os.path.abspath(test_file.path) for test_file in found.files)
    runtime.configure(options)
    # pytest_configure may have added lines with config.addinivalue_line.
    warnings_capture.set_ini(list(settings.getini("filterwarnings")))  # type: ignore[call-overload]
    skipped_files = session.lastrun.prune_files(found)
    if options.shard:
        from trelkin import _shard

        try:
            shard = _shard.parse_shard(options.shard)
        except ValueError as error:
            raise UsageError(str(error)) from None
        try:
            durations = _shard.load_durations(cache, options.durations_path)
        except OSError as error:
            raise UsageError(f"cannot read the durations file: {error}") from None
        from trelkin._report import estimated_tests

        names = [f.nodeid_path for f in found.files]
        counts = {f.nodeid_path: estimated_tests(f.path) for f in found.files}
        weights = _shard.file_weights(names, durations, counts)
        chosen = set(_shard.select_shard(names, shard, weights))
        found.files[:] = [f for f in found.files if f.nodeid_path in chosen]
    from trelkin import _select

    try:
        found.files[:] = _select.prune_statically(session, found.files)
    except _select.SelectionError as error:
        raise UsageError(str(error)) from None
    # What start-up made (modules, conftests, plugins) lives as long as the run: the
    # collector needn't scan it again each time the tests' results have piled up.
    gc.freeze()
    if mode == "processes":
        return _run_processes(options, session, terminal, found, started, cache)
    collected_at = time.perf_counter()
    items = session.collect(found)
    gc.freeze()  # and so do the items
    from trelkin._session import unmatched_selectors

    missing = unmatched_selectors(items, found.files)
    if missing and not session.collection_errors:
        raise UsageError(f"not found: {missing[0]}")
    items = _report.select(session, items)
    items, deselected = session.lastrun.select(items, skipped_files)
    session.deselected += deselected
    collect_seconds = time.perf_counter() - collected_at
    _report.collected(terminal, session, items, collect_seconds)
    if options.collect_only:
        _report.list_items(terminal, session, items)
        return _report.finish(terminal, session, started, collect_only=True, items=items)
    if session.collection_errors and not options.continue_on_collection_errors:
        return _report.finish(terminal, session, started, items=items)
    if items:
        _report.start_progress(terminal, session, items)
        try:
            session.run(items, mode)
        except KeyboardInterrupt:
            session.interrupted = True
        finally:
            if session.progress is not None:
                session.progress.finish()
        if not session.abandoned:
            session.finish()
        session.outcomes = session.in_plan_order(())
    status = _report.finish(terminal, session, started, items=items)
    if session.abandoned:
        # Tests still blocked in their threads can't be stopped; leaving at once spares
        # the interpreter's shutdown from waiting on them.
        terminal.flush()
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


def _run_processes(
    options: argparse.Namespace, session: Session, terminal: Terminal, found: object,
    started: float, cache: object,
) -> int:
    """Files run in worker processes (or, with --collect-only, are collected there): this
    process collects nothing itself."""
    try:
        return _run_in_workers(options, session, terminal, found, started, cache)
    finally:
        if session.pool is not None:
            session.pool.wait_exited()  # the last workers ended while the report was written


def _run_in_workers(
    options: argparse.Namespace, session: Session, terminal: Terminal, found: object,
    started: float, cache: object,
) -> int:
    from trelkin import _report, _select, _shard

    def select_in_worker(items: list) -> list:  # type: ignore[type-arg]
        items = _select.select(session, items)
        return session.lastrun.select(items, 0)[0] if session.lastrun else items

    missing = _missing_statically(session, found.files)  # type: ignore[attr-defined]
    if missing:
        raise UsageError(f"not found: {missing}")
    session.collection_errors += found.errors  # type: ignore[attr-defined]
    paths = [f.path for f in found.files]  # type: ignore[attr-defined]
    if not options.collect_only:
        _report.start_progress(terminal, session, [], paths)
    try:
        if options.collect_only:
            durations = _shard.load_durations(cache, key=_shard.COLLECT_KEY)  # type: ignore[arg-type]
        else:
            durations = _shard.load_durations(cache, options.durations_path)  # type: ignore[arg-type]
    except OSError as error:
        raise UsageError(f"cannot read the durations file: {error}") from None
    collected_at = time.perf_counter()
    before = len(session.collection_errors)
    try:
        session.run_processes(found, _worker_count(options), select_in_worker, durations)  # type: ignore[arg-type]
    finally:
        if session.progress is not None:
            session.progress.finish()
    # The files' collection errors in path order, whichever worker finished first.
    order = {path: index for index, path in enumerate(paths)}
    session.collection_errors[before:] = sorted(
        session.collection_errors[before:], key=lambda error: order.get(error.path, len(order))
    )
    if options.collect_only:
        try:
            _shard.save_durations(cache, None, session.collect_seconds, key=_shard.COLLECT_KEY)  # type: ignore[arg-type]
        except OSError:
            pass  # the next listing is only slower
        listed = [
            _report.Listed(nodeid, path, case)
            for path in paths
            for nodeid, case in zip(
                session.collected_by_path.get(path, ()), session.listed_cases.get(path, ())
            )
        ]
        _report.collected(terminal, session, listed, time.perf_counter() - collected_at)  # type: ignore[arg-type]
        _report.list_items(terminal, session, listed)  # type: ignore[arg-type]
        return _report.finish(terminal, session, started, collect_only=True, items=listed)  # type: ignore[arg-type]
    session.outcomes = session.in_plan_order([f.path for f in found.files])  # type: ignore[attr-defined]
    for text in session.worker_errors:
        terminal.line(text.rstrip("\n"), "red")
    return _report.finish(terminal, session, started, items=session.collected_ids)  # type: ignore[arg-type]


def _missing_statically(session: Session, files: list) -> str | None:  # type: ignore[type-arg]
    """A node id on the command line whose file's source shows it names no test (a worker
    run can't ask the import first)."""
    classes = list(session.settings.getini("python_classes"))  # type: ignore[call-overload]
    functions = list(session.settings.getini("python_functions"))  # type: ignore[call-overload]
    for test_file in files:
        for selector in test_file.selectors:
            if not selector:
                continue
            from trelkin import _index

            try:
                source = Path(test_file.path).read_text(encoding="utf-8")
            except (OSError, UnicodeDecodeError):
                continue
            static = _index.index_file(source, Path(test_file.path).name, [], classes, functions)
            wanted = selector[0].split("[", 1)[0]
            if not static.dynamic and not any(wanted in test.keywords for test in static.tests):
                return "::".join((test_file.nodeid_path, *selector))
    return None


def _check_writable(path: str) -> None:
    directory = os.path.dirname(path) or "."
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot write the JUnit report {path}: {error}") from None
    if os.path.isdir(path) or not os.access(directory, os.W_OK) or (
        os.path.exists(path) and not os.access(path, os.W_OK)
    ):
        raise UsageError(f"cannot write the JUnit report {path}: permission denied")


def session_exit_code(session: Session, items: int) -> int:
    if session.exit_status is not None:
        return session.exit_status
    if session.interrupted or session.stopped_stepwise:
        return ExitCode.INTERRUPTED
    if session.collection_errors and not session.options.continue_on_collection_errors:
        return ExitCode.INTERRUPTED
    if any(outcome.failing for outcome in session.outcomes) or session.collection_errors:
        return ExitCode.TESTS_FAILED
    if not items and not session.outcomes:
        return ExitCode.NO_TESTS_COLLECTED
    return ExitCode.OK
