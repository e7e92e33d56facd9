"""Which collected tests run: ``-k`` and ``-m`` expressions, ``--deselect``, the last
failures (``--lf``, ``--ff``, ``--nf``, ``--sw``), and the conftests'
``pytest_collection_modifyitems``."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from trelkin._collect import TestFile
    from trelkin._runtime import Item
    from trelkin._session import Session


class SelectionError(Exception):
    """A bad -k or -m expression."""


def select(session: Session, items: list[Item]) -> list[Item]:
    options = session.options
    kept = session.runtime.modify_items(items)
    session.deselected += len(items) - len(kept)
    items = kept
    if options.deselect:
        prefixes = tuple(options.deselect)
        kept = [item for item in items if not item.nodeid.startswith(prefixes)]
        session.deselected += len(items) - len(kept)
        items = kept
    if options.keyword:
        items = _by_expression(session, items, options.keyword, "-k")
    if options.markexpr:
        items = _by_expression(session, items, options.markexpr, "-m")
    return items


def _by_expression(session: Session, items: list[Item], text: str, flag: str) -> list[Item]:
    from trelkin._expression import compile_expression, keyword_matcher, mark_matcher

    try:
        expression = compile_expression(text, flag)
    except Exception as error:
        raise SelectionError(str(error)) from None
    matcher = keyword_matcher if flag == "-k" else mark_matcher
    try:
        kept = [item for item in items if expression.evaluate(matcher(item))]
    except Exception as error:
        raise SelectionError(str(error)) from None
    session.deselected += len(items) - len(kept)
    return kept


def prune_statically(session: Session, files: list[TestFile]) -> list[TestFile]:
    """With -k or -m: the files whose source shows that no test can be selected are left
    out unimported; their tests count as deselected."""
    options = session.options
    if not (options.keyword or options.markexpr):
        return files
    from pathlib import Path

    from trelkin import _index
    from trelkin._expression import compile_expression

    try:
        keyword = compile_expression(options.keyword, "-k") if options.keyword else None
        mark = compile_expression(options.markexpr, "-m") if options.markexpr else None
    except Exception as error:
        raise SelectionError(str(error)) from None
    rootdir = session.settings.rootdir
    classes = list(session.settings.getini("python_classes"))  # type: ignore[call-overload]
    functions = list(session.settings.getini("python_functions"))  # type: ignore[call-overload]
    dynamic_dirs: dict[Path, bool] = {}

    def under_dynamic_conftest(directory: Path) -> bool:
        if directory not in dynamic_dirs:
            here = _index.dynamic_conftest(directory / "conftest.py")
            parent = directory.parent
            above = (
                parent != directory
                and (directory == rootdir or rootdir in directory.parents)
                and directory != rootdir
                and under_dynamic_conftest(parent)
            )
            dynamic_dirs[directory] = here or above
        return dynamic_dirs[directory]

    def keyword_test(test: _index.StaticTest) -> bool:
        lowered = [name.lower() for name in test.keywords]
        return keyword.evaluate(lambda sub: any(sub.lower() in name for name in lowered))  # type: ignore[union-attr]

    def mark_test(test: _index.StaticTest) -> bool:
        # A mark's arguments aren't in the index: a call asks for the import.
        return mark.evaluate(lambda name, **kwargs: bool(kwargs) or name in test.marks)  # type: ignore[union-attr]

    kept = []
    for test_file in files:
        path = Path(test_file.path)
        if any(test_file.selectors) or under_dynamic_conftest(path.parent):
            kept.append(test_file)
            continue
        try:
            source = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            kept.append(test_file)
            continue
        parents = test_file.nodeid_path.split("/")[:-1]
        static = _index.index_file(source, path.name, parents, classes, functions)
        if _index.may_select(static, keyword_test if keyword else None,
                             mark_test if mark else None):
            kept.append(test_file)
        else:
            session.deselected += len(static.tests)
    return kept
