"""pytest's ordering of tests that share higher-scoped parameters: the tests using one
value of a module- or class-scoped parameter run together, so that the value is set up
once, keeping the collection order otherwise."""

from __future__ import annotations


TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from trelkin._nodes import Item


def reorder(keyed: list[tuple[Item, tuple[Any, ...]]]) -> list[Item]:
    """Items with their (name, index, scope) parameter keys; ordered by the highest scope
    first: all tests of the first value of a parameter, then those of the next, each
    group in collection order."""
    return _order([item for item, _ in keyed], {id(item): key for item, key in keyed}, 4)


def _order(items: list[Item], keys: dict[int, tuple[Any, ...]], scope: int) -> list[Item]:
    if scope < 1 or len(items) < 2:
        return items
    groups: dict[object, list[Item]] = {}
    for item in items:
        parts = tuple((name, index) for name, index, level in keys[id(item)] if level == scope)
        key = (item.class_node.nodeid if scope == 1 and item.class_node else None, parts) if parts else None
        groups.setdefault(key if key is not None else ("", id(item)), []).append(item)
    if all(isinstance(key, tuple) and key and key[0] == "" for key in groups):
        return _order(items, keys, scope - 1)
    ordered: list[Item] = []
    for group in groups.values():
        ordered += _order(group, keys, scope - 1)
    return ordered
