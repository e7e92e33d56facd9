"""Async tests run to completion on their own event loop."""

import asyncio


async def fetch(value, delay=0.01):
    await asyncio.sleep(delay)
    return value


async def test_fetch():
    assert await fetch(42) == 42


async def test_gather():
    results = await asyncio.gather(fetch(1), fetch(2), fetch(3))
    assert results == [1, 2, 3]
