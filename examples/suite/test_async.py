"""Coroutines awaited inside ordinary tests (async test functions need a plugin under
pytest, and trelkin follows pytest there)."""

import asyncio


async def fetch(value, delay=0.01):
    await asyncio.sleep(delay)
    return value


def test_fetch():
    assert asyncio.run(fetch(42)) == 42


def test_gather():
    async def main():
        return await asyncio.gather(fetch(1), fetch(2), fetch(3))

    assert asyncio.run(main()) == [1, 2, 3]
