"""Ownership: nothing a call takes or builds outlives it, on success or on any failure path.

The cases and the measurement live in scripts/leak-check, which runs them 10^5 times
each; here every case runs a few thousand times.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
from pathlib import Path
from types import ModuleType

import numpy as np
import pytest

import tarvel

CALLS = 2000
SANITIZED = os.environ.get("TARVEL_SANITIZED") == "1"
SCRIPT = Path(__file__).resolve().parents[3] / "scripts" / "leak-check"


def load_leak_check() -> ModuleType:
    """Imports the leak-check script (a file without a .py suffix) as a module."""
    module = ModuleType("tarvel_leak_check")
    module.__file__ = str(SCRIPT)
    sys.modules[module.__name__] = module  # dataclasses look their module up
    exec(compile(SCRIPT.read_text(encoding="utf-8"), str(SCRIPT), "exec"), module.__dict__)
    return module


leak_check = load_leak_check()
CASES = {case.name: case for case in leak_check.all_cases()}


def skipped_when_sanitized(name: str) -> bool:
    """Impossible allocation sizes make the sanitizer's allocator abort instead of failing."""
    return SANITIZED and CASES[name].outcome == "MemoryError"


@pytest.mark.parametrize("name", list(CASES))
def test_calls_leave_nothing_behind(name: str) -> None:
    if skipped_when_sanitized(name):
        pytest.skip("the sanitizer's allocator aborts on impossible sizes")
    growth = leak_check.measure(CASES[name], CALLS)
    assert growth.references == 0, "argument references kept"
    assert growth.objects <= leak_check.OBJECT_LIMIT and growth.blocks <= leak_check.BLOCK_LIMIT, growth
    if growth.heap_bytes is not None:
        assert growth.heap_bytes < leak_check.HEAP_LIMIT, growth
    if not SANITIZED:  # the sanitizer's quarantine keeps freed memory resident
        if growth.rss_bytes >= leak_check.RSS_LIMIT:
            # Resident pages also move with the allocator and the suite's other threads;
            # memory the calls keep grows again when they are made again.
            growth = leak_check.measure(CASES[name], CALLS)
        assert growth.rss_bytes < leak_check.RSS_LIMIT, growth


kept: list[object] = []


def keeps_a_reference(argument: object) -> None:
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(argument))


def keeps_an_object(argument: object) -> None:
    kept.append([argument])


def keeps_malloc_memory(argument: object) -> None:
    ctypes.CDLL(None).malloc(64)


@pytest.mark.parametrize("leak", [keeps_a_reference, keeps_an_object, keeps_malloc_memory])
def test_the_measurement_sees_a_leak(leak: object) -> None:
    if leak is keeps_malloc_memory and leak_check.heap_bytes() is None:
        pytest.skip("malloc statistics unavailable")
    growth = leak_check.measure(leak_check.Case("leak", leak, (np.zeros(2),), {}, "ok"), CALLS)
    kept.clear()
    assert growth.leaked


def test_result_arrays_own_their_memory() -> None:
    coords = np.random.default_rng(0).random((30, 2))
    result = tarvel.simulate(coords, 2)
    labels, distances = result["labels"], result["distance_matrix"]
    expected = distances.copy()
    del result
    gc.collect()
    tarvel.simulate(coords * 3.0, 2)  # reuse of freed memory would show here
    assert np.array_equal(distances, expected)
    assert labels.flags.owndata is False and labels.base is not None
    gram = tarvel.gram_from_dist(distances)
    assert gram.base is not None and gram.flags.writeable
