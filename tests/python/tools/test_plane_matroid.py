"""The plane's circuits, closure and k-redundancy at sizes beyond brute force.

Each answer is checked against an independent method: circuits against
Berg and Jordan's redundant rigidity with the count 2n' - 2, the closure
from pebble-game components against the closure from random infinitesimal
motions modulo a prime, and redundancy against k bars against removing
every set of k bars.
"""

import itertools

import numpy as np
import pytest

from tarvel_tools import _native
from tarvel_tools.rigidity import is_circuit, is_k_redundantly_rigid, is_rigid, rigidity_closure


def grown_circuit(rng, n):
    """K4 grown by 1-extensions to n nodes: a plane circuit (Berg and Jordan)."""
    bars = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    for w in range(4, n):
        u, v = bars.pop(int(rng.integers(len(bars))))
        x = int(rng.choice([c for c in range(w) if c not in (u, v)]))
        bars += [(u, w), (v, w), (x, w)]
    return np.array(bars, dtype=np.int64)


def random_graph(rng, n, m):
    edges = rng.integers(0, n, size=(3 * m + 8, 2))
    return np.ascontiguousarray(edges[edges[:, 0] != edges[:, 1]][:m])


def circuit_by_redundancy(n, edges):
    support, renumbered = np.unique(edges, return_inverse=True)
    bars = np.ascontiguousarray(renumbered.reshape(-1, 2), dtype=np.int64)
    return len(bars) == 2 * len(support) - 2 and bool(_native.is_redundantly_rigid(len(support), bars))


@pytest.mark.parametrize("n", [5, 40, 300])
def test_circuits_agree_with_redundant_rigidity(n):
    rng = np.random.default_rng(n)
    verdicts = []
    for trial in range(12):
        edges = grown_circuit(rng, n)
        if trial % 3 == 1:  # a bar moved: same count, usually no longer a circuit
            edges[int(rng.integers(len(edges)))] = rng.choice(n, 2, replace=False)
        if trial % 3 == 2:  # two circuits sharing a node, or a circuit with a pendant repeated bar
            edges = np.concatenate([edges, grown_circuit(rng, 5) + n - 1]) if trial % 2 else np.concatenate([edges, [[0, n], [0, n]]])
        rng.shuffle(edges)
        expected = circuit_by_redundancy(n + 5, edges)
        verdicts.append(expected)
        assert is_circuit(n + 5, edges) == expected  # nodes without bars do not matter
    assert any(verdicts) and not all(verdicts)


@pytest.mark.parametrize(("n", "per_node"), [(1, 0), (2, 3), (60, 1.2), (60, 2), (150, 2.2), (150, 3)])
def test_plane_closure_equals_the_closure_from_random_motions(n, per_node):
    rng = np.random.default_rng(n)
    edges = random_graph(rng, n, int(per_node * n))
    if n >= 60:  # a repeated bar and a rigid block
        block = np.array(list(itertools.combinations(range(n - 6, n), 2)))
        edges = np.concatenate([edges, edges[:1], block])
    from_motions = np.asarray(_native.rigidity_closure(n, np.ascontiguousarray(edges, dtype=np.int64), 2, 7)).reshape(-1, 2)
    closure = rigidity_closure(n, edges)
    assert closure.dtype == np.int64 and closure.shape[1] == 2
    np.testing.assert_array_equal(closure, from_motions)


@pytest.mark.parametrize("d", [2, 3])
def test_redundancy_against_two_bars_equals_removing_every_pair(d):
    rng = np.random.default_rng(d)
    verdicts = []
    for trial in range(6):
        n = 7 + trial % 2
        complete = np.array(list(itertools.combinations(range(n), 2)))
        edges = np.delete(complete, rng.choice(len(complete), trial * (4 - d), replace=False), axis=0)
        brute = all(is_rigid(n, np.delete(edges, list(s), axis=0), d=d) for s in itertools.combinations(range(len(edges)), 2))
        verdicts.append(brute)
        assert is_k_redundantly_rigid(n, edges, 2, d=d) == brute
    assert any(verdicts) and not all(verdicts)


@pytest.mark.parametrize("links", [3, 4, 5, 6])
def test_two_rigid_blocks_survive_two_losses_exactly_with_five_links(links):
    # K6 and K7 stay rigid without any two of their bars; joined by `links`
    # bars with distinct ends, two bodies need three links left.
    rng = np.random.default_rng(links)
    blocks = [np.array(list(itertools.combinations(range(s), 2))) + offset for s, offset in ((6, 0), (7, 6))]
    joins = np.stack([rng.choice(6, links, replace=False), 6 + rng.choice(7, links, replace=False)], axis=1)
    edges = np.concatenate([*blocks, joins])
    rng.shuffle(edges)
    assert is_k_redundantly_rigid(13, edges, 2) == (links >= 5)
    without_one = [np.ascontiguousarray(np.delete(edges, e, axis=0)) for e in range(len(edges))]
    assert all(_native.is_redundantly_rigid(13, rest) for rest in without_one) == (links >= 5)
    assert is_k_redundantly_rigid(13, edges, 3) == (links >= 6)


def test_huge_node_numbers_cost_nothing_per_node_without_bars():
    far = 10**12
    triangle = [(0, far - 1), (far - 1, 5), (5, 0)]
    np.testing.assert_array_equal(rigidity_closure(far, triangle), [[0, 5], [0, far - 1], [5, far - 1]])
    k4 = [(a, b) for a in (0, 7, far - 2, far - 1) for b in (0, 7, far - 2, far - 1) if a < b]
    assert is_circuit(far, k4) and not is_circuit(far, k4[:-1])
    assert rigidity_closure(far, np.empty((0, 2), dtype=np.int64)).shape == (0, 2)
