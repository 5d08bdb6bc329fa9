"""Calls from many threads: identical results, no deadlock, real overlap, and interrupts."""

from __future__ import annotations

import json
import struct
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
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


@contextmanager
def lock_handed_over_only_when_released() -> Iterator[None]:
    """The interpreter never takes the lock from a running thread: it changes hands only
    when its holder releases it (a blocking call, or a call's numeric work)."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        yield
    finally:
        sys.setswitchinterval(previous)


def other_thread_ran_during(call: Callable[[], object], attempts: int = 5) -> bool:
    """Whether another Python thread ran while `call` ran: it can only if the call releases the lock.

    On a loaded machine the other thread may not be scheduled before the call ends:
    the call is tried a few times.
    """
    stop, ticking = threading.Event(), threading.Event()
    ticks: list[None] = []

    def tick() -> None:
        ticking.set()
        while not stop.is_set():
            ticks.append(None)
            time.sleep(0.0005)

    with lock_handed_over_only_when_released():
        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        ticking.wait()
        ran = False
        for _ in range(attempts):
            before = len(ticks)
            call()
            ran = len(ticks) > before
            if ran:
                break
        stop.set()
        ticker.join(JOIN_TIMEOUT)
    return ran


def random_symmetric(n: int) -> npt.NDArray[np.float64]:
    """A symmetric matrix that is not a distance matrix: the eigen-solver works hard."""
    values = np.random.default_rng(5).random((n, n))
    return values + values.T


# Inputs taking about 0.1 to 0.3 s each, nearly all of it in the numeric section.
# Their arguments are made beforehand: NumPy releases the lock in its own loops.
LONG_CALLS: dict[str, Callable[[], object]] = {
    "simulate": partial(tarvel.simulate, collinear(500), 2),
    "generate_training_batch": partial(tarvel.generate_training_batch, 1000, 60, 2, 0),
    "reconstruct": partial(tarvel.reconstruct, random_symmetric(1500), 2),
    "pebble_game": partial(tarvel.pebble_game, np.zeros((10000, 0)), 2),
}


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_other_threads_run_during_a_long_call(name: str) -> None:
    assert other_thread_ran_during(LONG_CALLS[name]), f"no other thread ran during {name}"


def test_gram_from_dist_keeps_the_lock() -> None:
    matrix = random_symmetric(3000)
    assert not other_thread_ran_during(lambda: tarvel.gram_from_dist(matrix))  # shows that the check above can fail


INTERRUPT_SCRIPT = """
    import collections, json, signal, sys, threading
    import numpy as np
    import tarvel

    # The lock changes hands only when its holder releases it: a thread that is ready to
    # run gets it when the running call enters its numeric work, and not before.
    sys.setswitchinterval(1000.0)
    # SIGINT raises KeyboardInterrupt, even if the suite runs with it ignored (a background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    MAIN = threading.main_thread().ident
    ATTEMPTS = 10

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

    def interrupted_in_main(function, args, expected):
        # The interrupter becomes ready once `go` is set and can run only when the main
        # thread lets go of the lock, which it does only inside the call. Should it be
        # scheduled too late, after the call, it sends nothing and the attempt is repeated.
        # deque.extend and map call the function from C without checking for signals, so
        # the result is stored before the interpreter raises the pending interrupt.
        go, state = threading.Event(), {"returned": False, "sent": False}

        def interrupter():
            go.wait()
            if not state["returned"]:
                signal.pthread_kill(MAIN, signal.SIGINT)
                state["sent"] = True

        thread = threading.Thread(target=interrupter)
        thread.start()
        sink = collections.deque()
        try:
            go.set()
            sink.extend(map(function, *[[a] for a in args]))
            state["returned"] = True
            raised, context = None, None
        except BaseException as error:
            state["returned"] = True
            raised, context = type(error).__name__, repr(error.__context__)
        thread.join()
        return {
            "sent": state["sent"], "raised": raised, "context": context,
            "complete": len(sink) == 1 and same(sink[0], expected), "after": same(function(*args), expected),
        }

    def interrupted_beside_worker(function, args, expected):
        # The worker interrupts the main thread and enters the call holding the lock, so
        # the main thread can handle the interrupt only once the call's numeric work
        # has released it, and, if it runs in time, before the call returns. The main
        # thread waits on an event: an interrupted Thread.join would mark the
        # still-running worker as stopped (a CPython quirk).
        waiting, done, box = threading.Event(), threading.Event(), []

        def work():
            waiting.wait()
            signal.pthread_kill(MAIN, signal.SIGINT)
            box.append(function(*args))
            done.set()

        worker = threading.Thread(target=work)
        worker.start()
        try:
            waiting.set()
            done.wait()
            raised, during = None, None
        except KeyboardInterrupt:
            raised, during = "KeyboardInterrupt", not done.is_set()
        done.wait(60)
        worker.join(60)
        return {"raised": raised, "during_call": during, "complete": len(box) == 1 and same(box[0], expected)}

    def first_during_the_call(trial, key):
        # An attempt counts once the interrupt provably met the call. The thread that must
        # run meanwhile may, on a loaded machine, be scheduled only after the call: then
        # the attempt is repeated.
        for _ in range(ATTEMPTS):
            outcome = trial()
            if outcome[key]:
                return outcome
        return outcome

    report = {}
    for name, (function, args) in CALLS.items():
        expected = function(*args)
        report[name] = {
            "main": first_during_the_call(lambda: interrupted_in_main(function, args, expected), "sent"),
            "worker": first_during_the_call(lambda: interrupted_beside_worker(function, args, expected), "during_call"),
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
    assert main["sent"], "the interrupter never ran during the call: does it release the lock?"
    assert main["raised"] == "KeyboardInterrupt" and main["context"] == "None"
    assert main["complete"], "the interrupted call did not deliver its full result"
    assert main["after"], "a call after the interrupt differs"


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_worker_finishes_while_the_main_thread_is_interrupted(
    name: str, interrupt_report: dict[str, dict[str, dict[str, object]]]
) -> None:
    worker = interrupt_report[name]["worker"]
    assert worker == {"raised": "KeyboardInterrupt", "during_call": True, "complete": True}
