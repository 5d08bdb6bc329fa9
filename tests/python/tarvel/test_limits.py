"""Huge and hostile sizes: overflowing counts, exhausted memory, small thread stacks."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pytest
from numpy.lib.stride_tricks import as_strided

import tarvel

SANITIZED = os.environ.get("TARVEL_SANITIZED") == "1"
needs_plain_allocator = pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's allocator aborts on impossible sizes and ignores address-space limits"
)


def zero_stride(rows: int, cols: int) -> npt.NDArray[np.float64]:
    """A float64 matrix of any logical shape backed by a single element."""
    return as_strided(np.zeros(1), shape=(rows, cols), strides=(0, 0))


def raised_by(call: Callable[[], object]) -> BaseException:
    """The exception the call raises (failing the test if it returns)."""
    try:
        call()
    except BaseException as error:  # internal faults derive from BaseException only
        return error
    raise AssertionError("the call returned")


# Counts whose storage cannot be addressed; the fault must come before any allocation.
CAPACITY_OVERFLOWS: dict[str, Callable[[], object]] = {
    "batch n_nodes": lambda: tarvel.generate_training_batch(1, 2**62, 2, 0),
    "batch d": lambda: tarvel.generate_training_batch(1, 4, 2**62, 0),
    "batch n_nodes*d": lambda: tarvel.generate_training_batch(1, 2**40, 2**30, 0),
    "simulate rows": lambda: tarvel.simulate(zero_stride(2**58, 2), 2),
    "simulate rows 3d": lambda: tarvel.simulate(zero_stride(2**58, 3), 3),
    "pebble_game rows": lambda: tarvel.pebble_game(zero_stride(2**33, 0), 2),
}


@pytest.mark.parametrize("name", list(CAPACITY_OVERFLOWS))
def test_unaddressable_sizes_are_a_capacity_overflow(name: str) -> None:
    fault = raised_by(CAPACITY_OVERFLOWS[name])
    assert type(fault).__qualname__ == "PanicException" and not isinstance(fault, Exception)
    assert fault.args == ("capacity overflow",)
    assert tarvel.max_independent(4, 2) == 5


# Sizes that are addressable but far beyond any machine: the allocation fails at once.
IMPOSSIBLE_ALLOCATIONS: dict[str, Callable[[], object]] = {
    "simulate": lambda: tarvel.simulate(zero_stride(2**33, 2), 2),
    "generate_training_batch graphs": lambda: tarvel.generate_training_batch(2**40, 4, 2, 0),
    "generate_training_batch nodes": lambda: tarvel.generate_training_batch(1, 2**40, 3, 0),
    "pebble_game": lambda: tarvel.pebble_game(zero_stride(2**31, 0), 2),
    "gram_from_dist": lambda: tarvel.gram_from_dist(zero_stride(2**20, 2**20)),
    "reconstruct": lambda: tarvel.reconstruct(zero_stride(2**20, 2**20), 2),
}


@needs_plain_allocator
@pytest.mark.parametrize("name", list(IMPOSSIBLE_ALLOCATIONS))
def test_impossible_allocations_are_memory_errors(name: str) -> None:
    assert type(raised_by(IMPOSSIBLE_ALLOCATIONS[name])) is MemoryError


ADDRESS_LIMIT_SCRIPT = """
    import json, resource
    import numpy as np
    from numpy.lib.stride_tricks import as_strided
    import tarvel

    def zero_stride(rows, cols):
        return as_strided(np.zeros(1), shape=(rows, cols), strides=(0, 0))

    # Each needs gigabytes in proportion to its input; the limit leaves 512 MiB of headroom.
    HUGE = {
        "simulate": lambda: tarvel.simulate(zero_stride(30000, 2), 2),
        "generate_training_batch": lambda: tarvel.generate_training_batch(1, 30000, 2, 0),
        "pebble_game": lambda: tarvel.pebble_game(zero_stride(200000, 0), 2),
        "gram_from_dist": lambda: tarvel.gram_from_dist(zero_stride(30000, 30000)),
        "reconstruct": lambda: tarvel.reconstruct(zero_stride(30000, 30000), 2),
    }
    coords = np.random.default_rng(0).random((6, 2))
    expected = tarvel.simulate(coords, 2)["labels"].tobytes()

    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + 512 * 2**20, resource.RLIM_INFINITY))

    report = {}
    for name, call in HUGE.items():
        try:
            call()
            raised = None
        except BaseException as error:
            raised = type(error).__name__
        report[name] = {"raised": raised, "after": tarvel.simulate(coords, 2)["labels"].tobytes() == expected}
    print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def address_limit_report() -> dict[str, dict[str, object]]:
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(ADDRESS_LIMIT_SCRIPT)], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    report: dict[str, dict[str, object]] = json.loads(result.stdout)
    return report


@needs_plain_allocator
@pytest.mark.parametrize("name", ["simulate", "generate_training_batch", "pebble_game", "gram_from_dist", "reconstruct"])
def test_exhausted_address_space_is_a_memory_error_and_the_next_call_works(
    name: str, address_limit_report: dict[str, dict[str, object]]
) -> None:
    assert address_limit_report[name] == {"raised": "MemoryError", "after": True}


FAILING_ALLOCATION_SCRIPT = """
    import ctypes, importlib.util, json, sys, types
    import numpy as np
    import _testcapi

    ALLOCATIONS = 100  # more than any call below makes

    def described(error):
        if error is None:
            return "ok"
        cause = f" <- {type(error.__cause__).__name__}" if error.__cause__ is not None else ""
        return type(error).__name__ + cause

    def outcome(call):
        try:
            call()
        except BaseException as error:
            return error
        return None

    def each_allocation_failing(call):
        \"\"\"The outcomes of `call` when its k-th Python allocation fails, for every k.\"\"\"
        outcomes = set()
        for k in range(1, ALLOCATIONS + 1):
            _testcapi.set_nomemory(k, k + 1)
            try:
                raised = outcome(call)
            finally:
                _testcapi.remove_mem_hooks()
            outcomes.add(described(raised))
        return outcomes

    # Module creation first, through the entry point, before anything imports it.
    entry = ctypes.PyDLL(importlib.util.find_spec("tarvel").origin).PyInit_tarvel
    entry.restype = ctypes.py_object
    report = {"module creation": sorted(each_allocation_failing(entry))}

    import tarvel
    leak_check = types.ModuleType("leak_check")
    leak_check.__file__ = sys.argv[1]
    sys.modules[leak_check.__name__] = leak_check
    exec(compile(open(sys.argv[1]).read(), sys.argv[1], "exec"), leak_check.__dict__)

    coords = np.random.default_rng(0).random((5, 2))
    line = np.column_stack([np.arange(5.0), np.zeros(5)])
    CALLS = {
        "simulate": (tarvel.simulate, coords, 2),
        "simulate full pass": (tarvel.simulate, line, 2),
        "simulate refused": (tarvel.simulate, np.zeros((2, 2)), 2),
        "generate_training_batch": (tarvel.generate_training_batch, 3, 4, 2, 0),
        "pebble_game": (tarvel.pebble_game, coords, 2),
        "gram_from_dist": (tarvel.gram_from_dist, np.ones((4, 4))),
        "reconstruct": (tarvel.reconstruct, np.ones((4, 4)), 2),
    }
    for name, (function, *arguments) in CALLS.items():
        call = lambda: function(*arguments)
        outcomes = each_allocation_failing(call)  # also the warm-up
        before = leak_check.snapshot(arguments)
        for _ in range(20):
            each_allocation_failing(call)
        growth = leak_check.difference(leak_check.snapshot(arguments), before)
        report[name] = {
            "outcomes": sorted(outcomes),
            "leaked": growth.references != 0
                      or growth.objects > leak_check.OBJECT_LIMIT or growth.blocks > leak_check.BLOCK_LIMIT
                      or (growth.heap_bytes is not None and growth.heap_bytes >= leak_check.HEAP_LIMIT),
            "after": described(outcome(call)),
        }
    print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def failing_allocation_report() -> dict[str, object]:
    pytest.importorskip("_testcapi", reason="needs CPython's allocation-failure hooks")
    leak_check = Path(__file__).resolve().parents[3] / "scripts" / "leak-check"
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(FAILING_ALLOCATION_SCRIPT), str(leak_check)],
        capture_output=True, text=True, timeout=300,
    )
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    report: dict[str, object] = json.loads(result.stdout)
    return report


@pytest.mark.parametrize(
    "name",
    ["simulate", "simulate full pass", "generate_training_batch", "pebble_game", "gram_from_dist", "reconstruct"],
)
def test_a_failed_python_allocation_is_a_memory_error(name: str, failing_allocation_report: dict[str, object]) -> None:
    entry = failing_allocation_report[name]
    assert entry == {"outcomes": ["MemoryError", "ok"], "leaked": False, "after": "ok"}


def test_a_failed_allocation_in_a_refused_call_is_a_memory_error(
    failing_allocation_report: dict[str, object],
) -> None:
    entry = failing_allocation_report["simulate refused"]
    assert entry == {"outcomes": ["MemoryError", "ValueError"], "leaked": False, "after": "ValueError"}


def test_a_failed_allocation_in_module_creation_is_a_memory_error(failing_allocation_report: dict[str, object]) -> None:
    assert failing_allocation_report["module creation"] == ["MemoryError", "ok"]


def test_long_pebble_game_runs_on_a_small_thread_stack() -> None:
    n = 8000
    coords = zero_stride(n, 0)
    results: list[object] = []
    previous = threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=lambda: results.append(tarvel.pebble_game(coords, 2)))
        worker.start()
    finally:
        threading.stack_size(previous)
    worker.join(120)
    assert not worker.is_alive() and len(results) == 1
    result = results[0]
    assert isinstance(result, dict)
    ones = 2 * n - 3
    assert int(result["labels"].sum()) == ones and bool(result["labels"][:ones].all())
    assert len(result["accepted_edges"]) == ones
