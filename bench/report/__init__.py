"""The performance report: every scenario of bench/ side by side, written as
docs/performance.md and its chart. Run as `bash scripts/bench` (or `--quick`)."""
