"""Which collected tests run: ``-k`` and ``-m`` expressions, ``--deselect``, the last
failures (``--lf``, ``--ff``, ``--nf``, ``--sw``), and the conftests'
``pytest_collection_modifyitems``."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
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
        items = _by_expression(session, items, options.keyword, "-k", _keyword_matcher)
    if options.markexpr:
        items = _by_expression(session, items, options.markexpr, "-m", _mark_matcher)
    return items


def _by_expression(session: Session, items: list[Item], text: str, flag: str, matcher) -> list[Item]:  # type: ignore[no-untyped-def]
    from trelkin._expression import compile_expression

    try:
        expression = compile_expression(text)
    except Exception as error:
        raise SelectionError(str(error)) from None
    kept = [item for item in items if expression.evaluate(matcher(item))]
    session.deselected += len(items) - len(kept)
    return kept


def _keyword_matcher(item: Item):  # type: ignore[no-untyped-def]
    keywords = [keyword.lower() for keyword in item.keywords]

    def matches(name: str) -> bool:
        lowered = name.lower()
        return any(lowered in keyword for keyword in keywords)

    return matches


def _mark_matcher(item: Item):  # type: ignore[no-untyped-def]
    names = {mark.name for mark in item.marks}
    return names.__contains__
