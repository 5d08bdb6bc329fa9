"""The rigidity matroid in the plane and in space, and redundancy of higher order.

Ground truth: an independent dense rank of the rigidity matrix at random integer
positions, exact modulo the Mersenne prime 2**89 - 1 (Python integers), on all
small cases; theory for the rest. (Global rigidity against the plane's
combinatorial test, coning, complete bipartite graphs and the plane's components
against the pebble game are checked in tests/cpp/graph/stress_rigidity_test.cpp.)
"""

import itertools
import random

import numpy as np
import pytest

from tarvel_tools import _native
from tarvel_tools.graph import to_graph_arrays
from tarvel_tools.models import generate_graph_batch
from tarvel_tools.rigidity import (
    fundamental_circuit,
    generic_labels,
    is_circuit,
    is_globally_rigid,
    is_independent,
    is_k_redundantly_rigid,
    is_redundantly_rigid,
    is_rigid,
    is_vertex_redundantly_rigid,
    rigid_components,
    rigidity_closure,
)

PRIME = 2**89 - 1


class DenseRank:
    """Rank of bar rows at random integer positions, by Gaussian elimination modulo PRIME."""

    def __init__(self, n, d, seed):
        rng = random.Random(seed)
        self.d = d
        self.points = [[rng.randrange(PRIME) for _ in range(d)] for _ in range(n)]

    def row(self, i, j):
        row = [0] * (len(self.points) * self.d)
        for a in range(self.d):
            diff = (self.points[i][a] - self.points[j][a]) % PRIME
            row[i * self.d + a], row[j * self.d + a] = diff, (-diff) % PRIME
        return row

    def rank(self, bars):
        rows = [self.row(int(i), int(j)) for i, j in bars]
        rank, columns = 0, len(self.points) * self.d
        for c in range(columns):
            pivot = next((r for r in range(rank, len(rows)) if rows[r][c]), None)
            if pivot is None:
                continue
            rows[rank], rows[pivot] = rows[pivot], rows[rank]
            inverse = pow(rows[rank][c], PRIME - 2, PRIME)
            for r in range(rank + 1, len(rows)):
                if rows[r][c]:
                    f = rows[r][c] * inverse % PRIME
                    rows[r] = [(x - f * y) % PRIME for x, y in zip(rows[r], rows[rank])]
            rank += 1
        return rank


def random_graph(rng, n, m):
    edges = rng.integers(0, n, size=(3 * m + 8, 2))
    return edges[edges[:, 0] != edges[:, 1]][:m]


def small_cases(count, d, seed):
    rng = np.random.default_rng(seed)
    for k in range(count):
        n = 4 + k % 4
        m = rng.integers(d * n - 5, d * n + 3)
        yield n, random_graph(rng, n, max(1, int(m)))


@pytest.mark.parametrize("d", [2, 3])
def test_closure_components_and_circuits_equal_brute_force(d):
    for case, (n, edges) in enumerate(small_cases(40, d, seed=d)):
        dense = DenseRank(n, d, seed=case)
        rank = dense.rank(edges)
        implied = {(i, j) for i, j in itertools.combinations(range(n), 2) if dense.rank([*edges, (i, j)]) == rank}
        assert {tuple(p) for p in rigidity_closure(n, edges, d=d).tolist()} == implied

        # Components: the maximal node sets, of two or more, whose pairs are all implied.
        cliques = [set(s) for size in range(2, n + 1) for s in itertools.combinations(range(n), size)
                   if all(p in implied for p in itertools.combinations(s, 2))]  # fmt: skip
        maximal = sorted(sorted(c) for c in cliques if not any(c < other for other in cliques))
        assert sorted(rigid_components(n, edges, d=d)) == maximal

        # A bar lies in a circuit exactly when removing it keeps the rank.
        in_circuit = [dense.rank(np.delete(edges, e, axis=0)) == rank for e in range(len(edges))]
        found = _native.circuit_bars(n, np.ascontiguousarray(edges, dtype=np.int64), d, case)
        assert np.asarray(found["in_circuit"]).astype(bool).tolist() == in_circuit
        assert is_independent(n, edges, d=d) == (rank == len(edges))
        assert is_circuit(n, edges, d=d) == (rank == len(edges) - 1 and all(in_circuit))


@pytest.mark.parametrize("d", [2, 3])
def test_fundamental_circuits_are_minimal_dependent_sets_of_the_basis_before(d):
    for case, (n, edges) in enumerate(small_cases(20, d, seed=10 + d)):
        dense = DenseRank(n, d, seed=case)
        labels = generic_labels(n, edges, d=d)["labels"]
        for bar in np.flatnonzero(labels == 0)[:3]:
            circuit = fundamental_circuit(n, edges, bar=int(bar), d=d)
            assert circuit is not None and circuit[-1] == bar
            assert set(circuit[:-1].tolist()) <= set(np.flatnonzero(labels[:bar]).tolist())
            assert dense.rank(edges[circuit]) == len(circuit) - 1
            assert all(dense.rank(np.delete(edges[circuit], k, axis=0)) == len(circuit) - 1 for k in range(len(circuit)))
            assert is_circuit(n, edges[circuit], d=d) and is_circuit(n + 1, edges[circuit], d=d)
            assert not is_circuit(n, edges[np.append(circuit, circuit[0])], d=d)  # a second circuit: the pair
        for bar in np.flatnonzero(labels == 1)[:2]:
            assert fundamental_circuit(n, edges, bar=int(bar), d=d) is None


@pytest.mark.parametrize("k", [1, 2, 3])
def test_k_redundant_rigidity_equals_removing_every_k_bars(k):
    rng = np.random.default_rng(k)
    verdicts = []
    for trial in range(25):
        n = 4 + trial % 3
        complete = np.array(list(itertools.combinations(range(n), 2)))
        edges = np.delete(complete, rng.choice(len(complete), trial % 4, replace=False), axis=0)
        brute = all(is_rigid(n, np.delete(edges, list(s), axis=0)) for s in itertools.combinations(range(len(edges)), k))
        verdicts.append(brute)
        assert is_k_redundantly_rigid(n, edges, k) == brute
    assert 0 < sum(verdicts) < len(verdicts)


def test_vertex_redundancy_and_global_rigidity_in_space_on_known_graphs():
    k6 = list(itertools.combinations(range(6), 2))
    octahedron = [(a, b) for a, b in k6 if b - a != 3]
    assert is_vertex_redundantly_rigid(6, k6, 3, d=3) and not is_vertex_redundantly_rigid(6, octahedron, d=3)
    assert is_rigid(6, octahedron, d=3) and not is_redundantly_rigid(6, octahedron, d=3)
    assert not is_globally_rigid(6, octahedron, d=3) and is_globally_rigid(6, k6, d=3)
    # A wheel in the plane is globally rigid but lost with its hub.
    wheel = [(0, s) for s in range(1, 6)] + [(s, s % 5 + 1) for s in range(1, 6)]
    assert is_globally_rigid(6, wheel) and not is_vertex_redundantly_rigid(6, wheel)


def test_space_model_graphs_carry_components_into_graph_arrays():
    graphs = generate_graph_batch("knn", 4, 14, 3, 5, k=4)
    for graph in graphs:
        n, edges = len(graph["positions"]), graph["edges"]
        assert graph["components"] == rigid_components(n, edges, d=3)
        arrays = to_graph_arrays(graph, both_directions=False)
        assert arrays["edge_component"].tolist() == graph["edge_component"].tolist()


def test_bad_arguments_name_themselves():
    with pytest.raises(ValueError, match="bar must be the index"):
        fundamental_circuit(3, [(0, 1)], bar=1)
    with pytest.raises(ValueError, match="d must be 2 or 3"):
        rigidity_closure(3, [(0, 1)], d=4)
    with pytest.raises(ValueError, match="k must be a non-negative"):
        is_k_redundantly_rigid(3, [(0, 1)], -1)
    with pytest.raises(MemoryError, match="GiB"):
        rigid_components(2**20, [(0, 1)], d=3)


def test_docstring_examples_run():
    import doctest

    from tarvel_tools import matroid, redundancy

    assert doctest.testmod(matroid).failed == 0 and doctest.testmod(redundancy).failed == 0
