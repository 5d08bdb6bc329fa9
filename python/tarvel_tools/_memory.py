"""Refusing up front what needs more memory than the machine has.

A request whose result cannot fit is refused before any work starts with a
``MemoryError`` that says how much it needed, rather than running until the
operating system ends the process.
"""

from __future__ import annotations

import os
import sys


def machine_memory() -> int | None:
    """The machine's physical memory in bytes, or None where the system does not say."""
    try:
        return int(os.sysconf("SC_PHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
    except (AttributeError, OSError, ValueError):
        return None


def require_memory(needed: int, what: str) -> None:
    """Raise MemoryError when ``needed`` bytes (a lower bound) exceed the machine's memory."""
    available = machine_memory()
    if needed > sys.maxsize:
        raise MemoryError(f"{what} needs at least {byte_size(needed)}, beyond the address space")
    if available is not None and needed > available:
        raise MemoryError(f"{what} needs at least {byte_size(needed)}, more than the {byte_size(available)} of memory of this machine")


def byte_size(count: int) -> str:
    """``count`` bytes in the largest unit that keeps it at least 1 (``"1.5 TB"``)."""
    value = float(count)
    for unit in ("bytes", "kB", "MB", "GB", "TB", "PB"):
        if value < 1000 or unit == "PB":
            return f"{value:.3g} {unit}" if unit != "bytes" else f"{count} bytes"
        value /= 1000
    raise AssertionError("unreachable")
