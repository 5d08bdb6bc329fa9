"""Ownership: nothing the calls take or build is leaked, on success or on failure."""

import gc
import sys

import numpy as np
import pytest

import tarvel

COORDS = np.random.default_rng(0).random((30, 2))
DIST = np.sqrt(((COORDS[:, None] - COORDS[None]) ** 2).sum(-1))

CALLS = {
    "simulate": lambda a: tarvel.simulate(a, 2),
    "simulate-full-pass": lambda a: tarvel.simulate(np.vstack([a, a[:2]]), 2),
    "simulate-bad-d": lambda a: tarvel.simulate(a, 3),
    "simulate-bad-tol": lambda a: tarvel.simulate(a, 2, "x"),
    "pebble": lambda a: tarvel.pebble_game(a, 2),
    "pebble-bad-d": lambda a: tarvel.pebble_game(a, 3),
    "gram": lambda a: tarvel.gram_from_dist(DIST),
    "gram-not-square": lambda a: tarvel.gram_from_dist(a),
    "reconstruct": lambda a: tarvel.reconstruct(DIST, 2),
    "reconstruct-fault": lambda a: tarvel.reconstruct(DIST, 5),
    "reconstruct-not-square": lambda a: tarvel.reconstruct(a, 2),
}


def call_quietly(call, argument):
    try:
        call(argument)
    except BaseException:  # noqa: B036 - failures are part of what is exercised
        pass


@pytest.mark.parametrize("name", list(CALLS))
def test_argument_references_are_given_back(name):
    array = COORDS.copy()
    before = sys.getrefcount(array)
    for _ in range(20):
        call_quietly(CALLS[name], array)
    gc.collect()
    assert sys.getrefcount(array) == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_repeated_calls_do_not_grow_memory():
    coords = np.random.default_rng(1).random((300, 2))  # ~0.7 MB of distances per call
    dist = tarvel.simulate(coords, 2)["distance_matrix"]

    def churn():
        for _ in range(25):
            tarvel.simulate(coords, 2)
            tarvel.pebble_game(coords, 2)
            tarvel.reconstruct(dist, 2)
            tarvel.generate_training_batch(20, 30, 3, 7)
            call_quietly(lambda _: tarvel.generate_training_batch(3, 0, 2, 0), None)

    churn()  # warm the allocators up
    gc.collect()
    before = resident_bytes()
    churn()
    gc.collect()
    assert resident_bytes() - before < 8 * 2**20  # a leak of the buffers would be ~100 MB


def test_result_arrays_own_their_memory():
    result = tarvel.simulate(COORDS, 2)
    labels, distances = result["labels"], result["distance_matrix"]
    expected = distances.copy()
    del result
    gc.collect()
    tarvel.simulate(COORDS * 3.0, 2)  # reuse of freed memory would show here
    assert np.array_equal(distances, expected)
    assert labels.flags.owndata is False and labels.base is not None
    gram = tarvel.gram_from_dist(DIST)
    assert gram.base is not None and gram.flags.writeable


def test_fault_inside_released_section_leaves_the_interpreter_usable():
    for _ in range(3):
        with pytest.raises(BaseException, match="Need at least d"):
            tarvel.reconstruct(np.zeros((2, 2)), 2)
    assert tarvel.max_independent(4, 2) == 5
