"""Regression lock on the labelling: a fixed corpus of frameworks run through
`simulate` and `generate_training_batch`, hashed into one digest.

The digest was recorded with the unoptimised reference rank checker; any optimisation of the
checker or of the simulation loops must leave every output bit unchanged.
"""

import hashlib

import numpy as np

import tarvel

# Recorded with the dense, unoptimised reference checker.
EXPECTED_DIGEST = "3c9f72be0e76c7c94a5d968a62951b3b579aed4b831b37dbb4a4f4baabcc8a7f"

TOLERANCES = (None, 0.0, 1e-15, 1e-9, 1e-3, -1.0, float("nan"), float("inf"))


def generic(rng, n, d):
    return rng.uniform(-5.0, 5.0, (n, d))


def grid(rng, n, d):
    return rng.integers(0, 3, (n, d)).astype(float)


def repeated(rng, n, d):
    pool = rng.integers(0, 3, (3, d)).astype(float)
    return pool[rng.integers(0, 3, n)]


def near_collinear(rng, n, d):
    base, along = rng.uniform(-5, 5, d), rng.uniform(-1, 1, d)
    t = rng.uniform(-1, 1, (n, 1))
    wiggle = rng.uniform(-1e-12, 1e-12, (n, d)) * rng.integers(0, 2, (n, 1))
    return base + t * along + wiggle


def non_finite(rng, n, d):
    coords = rng.uniform(-5, 5, (n, d))
    mask = rng.integers(0, 7, (n, d)) == 0
    coords[mask] = rng.choice([np.nan, np.inf, -np.inf], mask.sum())
    return coords


SHAPES = (generic, grid, repeated, near_collinear, non_finite)


def simulate_corpus():
    rng = np.random.default_rng(20240611)
    for case in range(2400):
        shape = SHAPES[case % len(SHAPES)]
        d = 2 + (case // len(SHAPES)) % 2
        tol = TOLERANCES[(case // 10) % len(TOLERANCES)]
        n = d + 1 + int(rng.integers(0, 40 - d if case % 7 == 0 else 12))
        coords = shape(rng, n, d)
        yield tarvel.simulate(coords, d, tol)


def batch_corpus():
    for n_graphs, n_nodes, d, seed in [
        (300, 6, 2, 0),
        (200, 9, 3, 11),
        (40, 30, 2, 2**64 - 5),
        (20, 25, 3, 7),
        (4, 1, 2, 3),
        (4, 2, 3, 3),
        (4, 3, 3, 3),
        (2, 2, 2, 1),
    ]:
        yield from tarvel.generate_training_batch(n_graphs, n_nodes, d, seed)


def add_result(digest, result):
    digest.update(np.ascontiguousarray(result["labels"], dtype=np.uint8).tobytes())
    digest.update(repr(list(result["accepted_edges"])).encode())
    digest.update(repr((result["final_rank"], result["max_rank"], result["is_rigid"])).encode())
    digest.update(repr((result["n_nodes"], result["d"])).encode())
    digest.update(np.ascontiguousarray(result["distance_matrix"], dtype=np.float64).tobytes())


def corpus_digest():
    digest = hashlib.sha256()
    for result in simulate_corpus():
        add_result(digest, result)
    for result in batch_corpus():
        add_result(digest, result)
    return digest.hexdigest()


def test_labels_of_the_corpus_are_unchanged():
    assert corpus_digest() == EXPECTED_DIGEST
