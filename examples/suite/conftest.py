"""A fixture the tests of this folder can ask for by name."""

import pytest


@pytest.fixture
def inventory():
    stock = {"apples": 3, "pears": 0}
    yield stock
    stock.clear()  # teardown: runs after each test that used it
