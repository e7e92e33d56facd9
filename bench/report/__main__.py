"""Runs every scenario side by side and writes the performance report.

    python -m report            # from bench/: the full run, about ten minutes on two processors
    python -m report --quick    # small trees, one round: a smoke run in build/performance-quick/
    python -m report --output DIR
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from report.plan import FULL, QUICK, run

ROOT = Path(__file__).resolve().parents[2]


def main() -> int:
    parser = argparse.ArgumentParser(prog="bash scripts/bench",
                                     description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small trees, one round of each")
    parser.add_argument("--output", type=Path, help="where to write performance.md and .png "
                        "(default: docs/, or build/performance-quick/ with --quick)")
    args = parser.parse_args()
    # A smoke run's figures mean nothing: they never land on the committed report.
    default = ROOT / "build" / "performance-quick" if args.quick else ROOT / "docs"
    return run(QUICK if args.quick else FULL, args.output or default)


if __name__ == "__main__":
    sys.exit(main())
