"""Optional dependencies, with the message that says how to get them."""

from __future__ import annotations

import importlib
from types import ModuleType


class MissingExtra(RuntimeError):
    """An optional dependency is not installed."""


def need(module: str, extra: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingExtra(
            f"{purpose} needs {module.split('.')[0]}, which is not installed: "
            f"pip install 'vantrel[{extra}]'"
        ) from None
