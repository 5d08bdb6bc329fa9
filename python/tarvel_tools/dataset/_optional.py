"""Importing the optional dependencies, with the extra that provides them in the message."""

from __future__ import annotations

import importlib
from typing import Any


def optional_module(name: str, needed_by: str, extra: str) -> Any:
    """Import `name`, or raise `ImportError` saying which extra of tarvel installs it."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        package = name.split(".")[0]
        raise ImportError(f"{needed_by} needs {package}: pip install 'tarvel[{extra}]'") from error
