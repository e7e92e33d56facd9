"""Warning filters as pytest reads them from ``filterwarnings`` (ini lines and marks):
``action:message:category:module:lineno``."""

from __future__ import annotations

import re
import warnings
from typing import Any


def _category(name: str) -> type[Warning]:
    if not name:
        return Warning
    if "." not in name:
        import builtins

        found = getattr(builtins, name)
    else:
        module, _, attribute = name.rpartition(".")
        found = getattr(__import__(module, fromlist=[attribute]), attribute)
    if not (isinstance(found, type) and issubclass(found, Warning)):
        raise TypeError(f"{name} is not a Warning subclass")
    return found


def parse_filter(text: str, *, escape: bool) -> tuple[Any, ...]:
    """The arguments of ``warnings.filterwarnings`` for one filter line."""
    parts = text.split(":")
    if len(parts) > 5:
        raise ValueError(f"too many fields ({len(parts)}) in warning filter {text!r}")
    while len(parts) < 5:
        parts.append("")
    action, message, category, module, lineno = (part.strip() for part in parts)
    action = warnings._getaction(action)  # type: ignore[attr-defined]
    if message and escape:
        message = re.escape(message)
    if module and escape:
        module = re.escape(module) + r"\Z"
    line = int(lineno) if lineno else 0
    return action, message, _category(category), module, line
