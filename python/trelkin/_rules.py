"""What the command must know of the core's own rules, in one place."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping

# The core caps its pool at this many threads.
MAX_THREADS = 65535


def pool_size(environ: Mapping[str, str], cpu_count: int | None = None) -> int:
    """The size the core gives its worker pool: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS,
    else the processors online; a value that isn't a plain unsigned number counts as
    unset, and 0 means the default."""
    import os

    fallback = cpu_count or os.cpu_count() or 1
    threads = _count(environ.get("RAYON_NUM_THREADS"))
    if threads is not None:
        return min(threads or fallback, MAX_THREADS)
    cpus = _count(environ.get("RAYON_RS_NUM_CPUS"))
    return min(cpus or fallback, MAX_THREADS)


def _count(text: str | None) -> int | None:
    if text is None:
        return None
    digits = text.removeprefix("+")
    if not (digits.isascii() and digits.isdigit()) or int(digits) >= 1 << 64:
        return None
    return int(digits)
