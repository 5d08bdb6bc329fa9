"""Calls from many threads: identical results, no deadlock, real overlap, and interrupts."""

from __future__ import annotations

import json
import struct
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt
import pytest

import tarvel

WORKERS = 8
CALLS_PER_WORKER = 300
JOIN_TIMEOUT = 120.0

Task = tuple[str, Callable[[], object]]
NOT_AN_ARRAY: Any = [[0.0, 0.0]]


def distances(coords: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Euclidean distance matrix of the rows of `coords`."""
    result: npt.NDArray[np.float64] = np.sqrt(((coords[:, None] - coords[None]) ** 2).sum(-1))
    return result


def collinear(n: int) -> npt.NDArray[np.float64]:
    """n points on a line: the fast path falls short and the full pass runs."""
    return np.column_stack([np.arange(float(n)), np.zeros(n)])


def workload() -> list[Task]:
    """Calls of all six functions, on varied small inputs, failures included."""
    rng = np.random.default_rng(11)
    tasks: list[Task] = []
    for n in (4, 9, 17, 30):
        plane, space = rng.random((n, 2)), rng.random((n, 3))
        tasks += [
            (f"simulate {n} 2d", partial(tarvel.simulate, plane, 2)),
            (f"simulate {n} 3d", partial(tarvel.simulate, space, 3, 1e-7)),
            (f"simulate {n} collinear", partial(tarvel.simulate, collinear(n), 2)),
            (f"batch {n}", partial(tarvel.generate_training_batch, 3, n, 2 + n % 2, n)),
            (f"pebble {n}", partial(tarvel.pebble_game, plane, 2)),
            (f"gram {n}", partial(tarvel.gram_from_dist, distances(space))),
            (f"reconstruct {n} 2d", partial(tarvel.reconstruct, distances(plane), 2)),
            (f"reconstruct {n} 3d", partial(tarvel.reconstruct, distances(space), 3)),
            (f"max_independent {n}", partial(tarvel.max_independent, n, 3)),
        ]
    tasks += [
        ("simulate rows", lambda: tarvel.simulate(np.zeros((2, 2)), 2)),
        ("simulate coords", partial(tarvel.simulate, NOT_AN_ARRAY, 2)),
        ("batch no nodes", lambda: tarvel.generate_training_batch(1, 0, 2, 0)),
        ("batch capacity", lambda: tarvel.generate_training_batch(2**64 - 1, 4, 2, 0)),
        ("pebble d", lambda: tarvel.pebble_game(np.zeros((3, 2)), 3)),
        ("gram square", lambda: tarvel.gram_from_dist(np.zeros((2, 3)))),
        ("reconstruct rows", lambda: tarvel.reconstruct(np.zeros((2, 2)), 2)),
        ("max_independent overflow", lambda: tarvel.max_independent(-1, 2)),
    ]
    return tasks


def outcome(call: Callable[[], object]) -> object:
    """The call's result, or its exception's type name and message."""
    try:
        return call()
    except BaseException as error:  # internal faults derive from BaseException only
        return ("raised", type(error).__name__, str(error))


def assert_identical(actual: object, expected: object, where: str) -> None:
    """Exact equality: arrays bit for bit, dictionaries key by key in order, floats by bit pattern."""
    assert type(actual) is type(expected), where
    if isinstance(expected, np.ndarray):
        assert isinstance(actual, np.ndarray)
        assert actual.dtype == expected.dtype and actual.shape == expected.shape, where
        assert np.array_equal(actual, expected, equal_nan=True), where
        assert actual.tobytes() == expected.tobytes(), where
    elif isinstance(expected, dict):
        assert isinstance(actual, dict) and list(actual) == list(expected), where
        for key in expected:
            assert_identical(actual[key], expected[key], f"{where}[{key!r}]")
    elif isinstance(expected, (list, tuple)):
        assert isinstance(actual, (list, tuple)) and len(actual) == len(expected), where
        for index, (left, right) in enumerate(zip(actual, expected)):
            assert_identical(left, right, f"{where}[{index}]")
    elif isinstance(expected, float):
        assert isinstance(actual, float)
        assert struct.pack("<d", actual) == struct.pack("<d", expected), where
    else:
        assert actual == expected, where


def run_workers(tasks: list[Task]) -> list[list[tuple[int, object]]]:
    """Each worker runs the tasks from its own starting point; returns (task index, outcome) per call."""
    start = threading.Barrier(WORKERS)
    records: list[list[tuple[int, object]]] = [[] for _ in range(WORKERS)]

    def work(worker: int) -> None:
        start.wait()
        for step in range(CALLS_PER_WORKER):
            index = (worker * 7 + step * (worker + 1)) % len(tasks)
            records[worker].append((index, outcome(tasks[index][1])))

    threads = [threading.Thread(target=work, args=(worker,), daemon=True) for worker in range(WORKERS)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + JOIN_TIMEOUT
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "a worker is still running: deadlock?"
    return records


def test_threads_give_the_serial_results() -> None:
    tasks = workload()
    serial = [outcome(call) for _, call in tasks]
    records = run_workers(tasks)
    assert sum(len(calls) for calls in records) == WORKERS * CALLS_PER_WORKER
    for worker, calls in enumerate(records):
        for index, result in calls:
            assert_identical(result, serial[index], f"worker {worker}: {tasks[index][0]}")


def ticks_during(call: Callable[[], object]) -> tuple[float, float, list[float]]:
    """Runs `call` while another Python thread records timestamps as fast as it can."""
    stop = threading.Event()
    ticks: list[float] = []

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())

    ticker = threading.Thread(target=tick, daemon=True)
    ticker.start()
    time.sleep(0.02)
    started = time.perf_counter()
    call()
    ended = time.perf_counter()
    stop.set()
    ticker.join(JOIN_TIMEOUT)
    return started, ended, [t for t in ticks if started <= t <= ended]


def longest_pause(started: float, ended: float, ticks: list[float]) -> float:
    """The longest stretch of the call, as a fraction of it, in which the other thread did not run."""
    moments = [started, *ticks, ended]
    return max(b - a for a, b in zip(moments, moments[1:])) / (ended - started)


def random_symmetric(n: int) -> npt.NDArray[np.float64]:
    """A symmetric matrix that is not a distance matrix: the eigen-solver works hard."""
    values = np.random.default_rng(5).random((n, n))
    return values + values.T


# Inputs taking about 0.1 to 0.3 s each, nearly all of it in the numeric section.
LONG_CALLS: dict[str, Callable[[], object]] = {
    "simulate": lambda: tarvel.simulate(collinear(500), 2),
    "generate_training_batch": lambda: tarvel.generate_training_batch(1000, 60, 2, 0),
    "reconstruct": lambda: tarvel.reconstruct(random_symmetric(1500), 2),
    "pebble_game": lambda: tarvel.pebble_game(np.zeros((10000, 0)), 2),
}


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_other_threads_run_during_a_long_call(name: str) -> None:
    started, ended, ticks = ticks_during(LONG_CALLS[name])
    assert ticks, f"no other thread ran during {name}"
    assert longest_pause(started, ended, ticks) < 0.5


def test_gram_from_dist_keeps_the_lock() -> None:
    matrix = random_symmetric(3000)
    started, ended, ticks = ticks_during(lambda: tarvel.gram_from_dist(matrix))
    assert longest_pause(started, ended, ticks) > 0.5  # shows that the check above can fail


INTERRUPT_SCRIPT = """
    import collections, json, signal, threading, time
    import numpy as np
    import tarvel

    def collinear(n):
        return np.column_stack([np.arange(float(n)), np.zeros(n)])

    def symmetric(n):
        values = np.random.default_rng(5).random((n, n))
        return values + values.T

    CALLS = {
        "simulate": (tarvel.simulate, (collinear(500), 2)),
        "generate_training_batch": (tarvel.generate_training_batch, (1000, 60, 2, 0)),
        "reconstruct": (tarvel.reconstruct, (symmetric(1500), 2)),
        "pebble_game": (tarvel.pebble_game, (np.zeros((10000, 0)), 2)),
    }

    def same(a, b):
        if isinstance(b, dict):
            return list(a) == list(b) and all(same(a[k], b[k]) for k in b)
        if isinstance(b, list):
            return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
        if isinstance(b, np.ndarray):
            return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
        return type(a) is type(b) and a == b

    def interrupt_main_after(seconds):
        timer = threading.Timer(seconds, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
        timer.start()
        return timer

    def interrupted_in_main(function, args, expected, duration):
        # deque.extend and map call the function from C without checking for signals, so the
        # result is stored before the interpreter raises the pending interrupt.
        sink = collections.deque()
        timer = interrupt_main_after(duration * 0.15)
        started = time.perf_counter()
        try:
            sink.extend(map(function, *[[a] for a in args]))
            raised, context = None, None
        except BaseException as error:
            raised, context = type(error).__name__, repr(error.__context__)
        elapsed = time.perf_counter() - started
        timer.join()
        after = function(*args)
        return {
            "raised": raised, "context": context, "elapsed": elapsed / duration,
            "complete": len(sink) == 1 and same(sink[0], expected), "after": same(after, expected),
        }

    def interrupted_beside_worker(function, args, expected, duration):
        # The main thread polls an event: an interrupted Thread.join would mark the
        # still-running worker as stopped (a CPython quirk) and hide its result.
        box, done = [], threading.Event()
        worker = threading.Thread(target=lambda: (box.append(function(*args)), done.set()))
        worker.start()
        timer = interrupt_main_after(duration * 0.15)
        try:
            while not done.is_set():
                time.sleep(0.005)
            raised = None
        except KeyboardInterrupt:
            raised = "KeyboardInterrupt"
        done.wait(60)
        worker.join(60)
        timer.join()
        return {"raised": raised, "complete": len(box) == 1 and same(box[0], expected)}

    report = {}
    for name, (function, args) in CALLS.items():
        started = time.perf_counter()
        expected = function(*args)
        duration = time.perf_counter() - started
        report[name] = {
            "main": interrupted_in_main(function, args, expected, duration),
            "worker": interrupted_beside_worker(function, args, expected, duration),
        }
    print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def interrupt_report() -> dict[str, dict[str, dict[str, object]]]:
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(INTERRUPT_SCRIPT)], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    report: dict[str, dict[str, dict[str, object]]] = json.loads(result.stdout)
    return report


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_interrupt_takes_effect_when_the_call_returns(
    name: str, interrupt_report: dict[str, dict[str, dict[str, object]]]
) -> None:
    main = interrupt_report[name]["main"]
    assert main["raised"] == "KeyboardInterrupt" and main["context"] == "None"
    assert main["complete"], "the interrupted call did not deliver its full result"
    assert isinstance(main["elapsed"], float) and main["elapsed"] > 0.5  # not cut short at the signal
    assert main["after"], "a call after the interrupt differs"


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_worker_finishes_while_the_main_thread_is_interrupted(
    name: str, interrupt_report: dict[str, dict[str, dict[str, object]]]
) -> None:
    worker = interrupt_report[name]["worker"]
    assert worker == {"raised": "KeyboardInterrupt", "complete": True}
