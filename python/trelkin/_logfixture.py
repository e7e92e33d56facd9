"""The ``caplog`` fixture: the log records the test itself emits (records of other
threads are left out, so tests running at once on other threads don't show up), with
pytest's ``LogCaptureFixture`` API."""

from __future__ import annotations

import contextlib
import io
import logging
import threading

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Any

DEFAULT_FORMAT = "%(levelname)-8s %(name)s:%(filename)s:%(lineno)d %(message)s"


class LogCaptureHandler(logging.StreamHandler):  # type: ignore[type-arg]
    def __init__(self, thread: int) -> None:
        super().__init__(io.StringIO())
        self.records: list[logging.LogRecord] = []
        self.thread = thread
        self.setFormatter(logging.Formatter(DEFAULT_FORMAT))

    def emit(self, record: logging.LogRecord) -> None:
        if record.thread != self.thread:
            return
        self.records.append(record)
        super().emit(record)

    def reset(self) -> None:
        self.records = []
        self.stream = io.StringIO()

    def clear(self) -> None:
        self.records.clear()
        self.stream = io.StringIO()


class LogCaptureFixture:
    def __init__(self) -> None:
        self.handler = LogCaptureHandler(threading.get_ident())
        self._initial_levels: dict[str | None, int] = {}
        self._initial_handler_level: int | None = None
        logging.getLogger().addHandler(self.handler)

    def _finalize(self) -> None:
        for name, level in self._initial_levels.items():
            logging.getLogger(name).setLevel(level)
        if self._initial_handler_level is not None:
            self.handler.setLevel(self._initial_handler_level)
        logging.getLogger().removeHandler(self.handler)

    @property
    def records(self) -> list[logging.LogRecord]:
        return self.handler.records

    @property
    def text(self) -> str:
        return self.handler.stream.getvalue()  # type: ignore[attr-defined,no-any-return]

    @property
    def record_tuples(self) -> list[tuple[str, int, str]]:
        return [(r.name, r.levelno, r.getMessage()) for r in self.records]

    @property
    def messages(self) -> list[str]:
        return [r.getMessage() for r in self.records]

    def get_records(self, when: str) -> list[logging.LogRecord]:
        return list(self.records)

    def clear(self) -> None:
        self.handler.clear()

    def _level(self, level: int | str) -> int:
        if isinstance(level, str):
            found = logging.getLevelName(level.upper())
            if not isinstance(found, int):
                raise ValueError(f"unknown level {level!r}")
            return found
        return level

    def set_level(self, level: int | str, logger: str | None = None) -> None:
        target = logging.getLogger(logger)
        self._initial_levels.setdefault(logger, target.level)
        number = self._level(level)
        target.setLevel(number)
        if self._initial_handler_level is None:
            self._initial_handler_level = self.handler.level
        self.handler.setLevel(number)

    @contextlib.contextmanager
    def at_level(self, level: int | str, logger: str | None = None) -> Iterator[None]:
        target = logging.getLogger(logger)
        original, handler_original = target.level, self.handler.level
        number = self._level(level)
        target.setLevel(number)
        self.handler.setLevel(number)
        try:
            yield
        finally:
            target.setLevel(original)
            self.handler.setLevel(handler_original)

    @contextlib.contextmanager
    def filtering(self, filter_: Any) -> Iterator[None]:
        self.handler.addFilter(filter_)
        try:
            yield
        finally:
            self.handler.removeFilter(filter_)
