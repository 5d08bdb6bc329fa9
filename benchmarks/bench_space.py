"""Rigidity in space and the rigidity matroid (tarvel_tools.rigidity, .matroid, .redundancy).

Geometric graphs: n random points in the unit cube joined within the radius that
gives an average degree of about 12 (scipy's cKDTree finds the pairs). Random graphs:
G(n, m) with m a multiple of n. Baselines, timed in the same run: SciPy's sparse LU
(SuperLU, COLAMD order) of the same framework's normal matrix RᵀR + I in floating point,
one sparse factorisation of the same structure; and one `generic_labels` call on the
same graph (what every answer here costs at least).
Standalone: `python benchmarks/bench_space.py`.
"""

from __future__ import annotations

import math

import numpy as np

from harness import Comparison, compare, median_seconds
from tarvel_tools import rigidity


def geometric_graph(n, degree=12.0, seed=1):
    from scipy.spatial import cKDTree

    points = np.random.default_rng(seed).random((n, 3))
    radius = (3 * degree / (4 * math.pi * n)) ** (1 / 3)
    pairs = cKDTree(points).query_pairs(radius, output_type="ndarray")
    return points, np.ascontiguousarray(pairs, dtype=np.int64)


def knn_graph(n, k=8, seed=2):
    from scipy.spatial import cKDTree

    points = np.random.default_rng(seed).random((n, 3))
    _, nearest = cKDTree(points).query(points, k + 1)
    pairs = np.sort(np.stack([np.repeat(np.arange(n), k), nearest[:, 1:].reshape(-1)], axis=1), axis=1)
    return points, np.ascontiguousarray(np.unique(pairs, axis=0), dtype=np.int64)


def random_graph(n, per_node, seed=3):
    rng = np.random.default_rng(seed)
    m = int(per_node * n)
    drawn = np.sort(rng.integers(0, n, size=(2 * m + 100, 2)), axis=1)
    drawn = drawn[drawn[:, 0] != drawn[:, 1]]
    _, first = np.unique(drawn, axis=0, return_index=True)
    return np.ascontiguousarray(drawn[np.sort(first)][:m])


def normal_matrix_lu(points, edges):
    """SuperLU of RᵀR + I for the framework: one sparse factorisation of the rigidity structure."""
    import scipy.sparse as sp
    from scipy.sparse.linalg import splu

    n, d = points.shape
    m = len(edges)
    diff = points[edges[:, 0]] - points[edges[:, 1]]
    rows = np.repeat(np.arange(m), 2 * d)
    cols = np.concatenate([edges[:, :1] * d + np.arange(d), edges[:, 1:] * d + np.arange(d)], axis=1).reshape(-1)
    vals = np.concatenate([diff, -diff], axis=1).reshape(-1)
    r = sp.csr_matrix((vals, (rows, cols)), shape=(m, n * d))
    normal = (r.T @ r + sp.identity(n * d)).tocsc()
    return lambda: splu(normal, permc_spec="COLAMD")


def generic(n, edges, d=3):
    return lambda: rigidity.generic_labels(n, edges, d=d)


def run():
    small_points, small = geometric_graph(1000)
    points, large = geometric_graph(10_000)
    ours = median_seconds(generic(10_000, large), repeat=3)
    yield Comparison("generic_labels 3-D geometric n=1e4", ours, "one SuperLU of RᵀR+I, same graph",
                     median_seconds(normal_matrix_lu(points, large), repeat=3), "<= 30 s")  # fmt: skip
    base = median_seconds(generic(1000, small), repeat=5)
    yield Comparison("generic_labels 3-D geometric n=1e4", ours, "the same at n=1e3 (ratio = 10^exponent)", base,
                     f"exponent {math.log10(ours / base):.2f}")  # fmt: skip

    points, graph = knn_graph(2000)
    yield compare("is_globally_rigid d=3, 8-NN n=2000", lambda: rigidity.is_globally_rigid(2000, graph, d=3),
                  "one SuperLU of RᵀR+I, same graph", normal_matrix_lu(points, graph), "<= 5 s", repeat=3)  # fmt: skip
    spread = random_graph(2000, 3.5)
    yield compare("is_redundantly_rigid d=3 G(n,3.5n) n=2000", lambda: rigidity.is_redundantly_rigid(2000, spread, d=3),
                  "generic_labels, same graph", generic(2000, spread), "<= 5 s", repeat=3)  # fmt: skip
    _, geo = geometric_graph(2000)
    yield compare("is_redundantly_rigid d=3 geometric n=2000", lambda: rigidity.is_redundantly_rigid(2000, geo, d=3),
                  "generic_labels, same graph", generic(2000, geo), "<= 5 s", repeat=3)  # fmt: skip
    three = random_graph(1000, 3.0)
    yield compare("rigid_components d=3 G(n,3n) n=1000", lambda: rigidity.rigid_components(1000, three, d=3),
                  "generic_labels, same graph", generic(1000, three), "<= 5 s", repeat=3)  # fmt: skip
    yield compare("rigidity_closure d=3 geometric n=1000", lambda: rigidity.rigidity_closure(1000, small, d=3),
                  "generic_labels, same graph", generic(1000, small), "", repeat=3)  # fmt: skip
    plane = random_graph(60, 5.0)  # 2-redundantly and vertex-redundantly rigid: no early refusal
    yield compare("is_k_redundantly_rigid k=2 n=60 m=5n", lambda: rigidity.is_k_redundantly_rigid(60, plane, 2),
                  "is_redundantly_rigid, same graph", lambda: rigidity.is_redundantly_rigid(60, plane),
                  "a counting game, a second basis, tests of the bars both share", repeat=3)  # fmt: skip
    yield compare("is_vertex_redundantly_rigid k=1 n=60 m=5n", lambda: rigidity.is_vertex_redundantly_rigid(60, plane),
                  "is_rigid, same graph", lambda: rigidity.is_rigid(60, plane), "n + 1 rigidity tests", repeat=3)  # fmt: skip
    for n in (500, 1000, 2000):
        expander = random_graph(n, 6.0)
        yield compare(f"generic_labels 3-D G(n,6n) n={n}", generic(n, expander), "one SuperLU of RᵀR+I, same graph",
                      normal_matrix_lu(np.random.default_rng(n).random((n, 3)), expander), "expanders: dense fill",
                      repeat=1)  # fmt: skip


if __name__ == "__main__":
    from harness import HEADER

    print(HEADER)
    for comparison in run():
        print(comparison.row(), flush=True)
