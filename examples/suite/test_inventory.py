"""pytest's fixtures, parametrize and marks, run by trelkin as pytest would run them."""

import pytest


@pytest.mark.parametrize(("fruit", "count"), [("apples", 3), ("pears", 0)])
def test_count(inventory, fruit, count):
    assert inventory[fruit] == count


@pytest.mark.xfail(reason="no plums in stock yet", raises=KeyError, strict=True)
def test_plums(inventory):
    assert inventory["plums"] == 1


def test_restock(inventory, tmp_path):
    record = tmp_path / "restock.txt"
    inventory["pears"] += 5
    record.write_text(f"pears: {inventory['pears']}\n")
    assert record.read_text() == "pears: 5\n"
