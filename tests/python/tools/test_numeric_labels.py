"""The numeric labels against ground truths that share none of their arithmetic:
exact rational ranks, SVD ranks with a clear gap, and the modular generic rank."""

from fractions import Fraction

import numpy as np
import pytest

from tarvel_tools.models import generate_graph_batch
from tarvel_tools.rigidity import generic_labels, label_bars


def random_multigraph(rng, n, m):
    edges = rng.integers(0, n, size=(3 * m + 8, 2))
    return edges[edges[:, 0] != edges[:, 1]][:m]


def rigidity_matrix(points, edges):
    n, d = points.shape
    rows = np.zeros((len(edges), n * d))
    for k, (i, j) in enumerate(edges):
        rows[k, i * d : i * d + d] = points[i] - points[j]
        rows[k, j * d : j * d + d] = points[j] - points[i]
    return rows


def exact_greedy_labels(points, edges):
    """Greedy labels by Gauss-Jordan elimination over the rationals."""
    basis = {}  # pivot column -> reduced row
    labels = []
    d = len(points[0])
    for i, j in edges:
        row = [Fraction(0)] * (len(points) * d)
        for a in range(d):
            row[i * d + a] = Fraction(points[i][a] - points[j][a])
            row[j * d + a] = -row[i * d + a]
        for pivot, stored in basis.items():
            if row[pivot]:
                factor = row[pivot]
                row = [x - factor * y for x, y in zip(row, stored)]
        pivot = next((c for c, x in enumerate(row) if x), None)
        labels.append(int(pivot is not None))
        if pivot is not None:
            row = [x / row[pivot] for x in row]
            for other, stored in basis.items():
                if stored[pivot]:
                    basis[other] = [x - stored[pivot] * y for x, y in zip(stored, row)]
            basis[pivot] = row
    return labels


def flat_sets(rng):
    """(name, integer points): grids, collinear and coplanar sets, with repeats."""
    sets = []
    for n in (6, 9, 12):
        sets.append((f"grid2-{n}", rng.integers(0, 3, (n, 2))))
        sets.append((f"grid3-{n}", rng.integers(0, 3, (n, 3))))
        t = rng.integers(-4, 5, n)
        sets.append((f"collinear2-{n}", np.stack([2 * t + 1, -t], axis=1)))
        sets.append((f"collinear3-{n}", np.stack([t, 3 * t, 2 - t], axis=1)))
        u, v = rng.integers(-3, 4, (2, n))
        sets.append((f"coplanar3-{n}", np.stack([u, v, 5 - u - 2 * v], axis=1)))
    return sets


@pytest.mark.parametrize("name,points", flat_sets(np.random.default_rng(3)), ids=lambda c: c if isinstance(c, str) else "")
def test_labels_are_the_exact_rational_ones_on_integer_and_flat_sets(name, points):
    rng = np.random.default_rng(len(name) + len(points))
    n = len(points)
    for m in (n, 2 * n, 4 * n):
        edges = random_multigraph(rng, n, m)
        exact = exact_greedy_labels(points.tolist(), edges.tolist())
        for scale, shift in ((1.0, 0.0), (1e-3, 0.7), (1e3, -5.0)):
            assert label_bars(points * scale + shift, edges)["labels"].tolist() == exact, (m, scale)


@pytest.mark.parametrize("d", [2, 3])
@pytest.mark.parametrize("n", [30, 100, 250])
def test_sparse_random_frameworks_match_svd_and_generic_ranks(n, d):
    rng = np.random.default_rng(n + d)
    points = rng.uniform(0, 1, (n, d))
    edges = random_multigraph(rng, n, int(1.15 * (n * d - d * (d + 1) // 2)))
    result = label_bars(points, edges)
    singular = np.linalg.svd(rigidity_matrix(points, edges), compute_uv=False)
    rank = result["rank"]
    # The SVD rank is clear: a gap of many orders of magnitude at the rank.
    assert singular[rank - 1] > 1e-6 * singular[0] and (rank == len(singular) or singular[rank] < 1e-12 * singular[0])
    assert rank == generic_labels(n, edges, d=d)["rank"]
    accepted = edges[result["labels"] == 1]
    assert generic_labels(n, accepted, d=d)["labels"].all()  # generically independent
    rows = rigidity_matrix(points, accepted)
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    # Numerically independent: each bar was farther than tol from the span of those
    # before it, though in a sparse graph early sets can be nearly flexible, so the
    # set's smallest singular value may sit below tol -- far above rounding all the same.
    assert np.linalg.svd(rows, compute_uv=False)[-1] > 1e-11
    again = label_bars(points, np.concatenate([edges, accepted[::-1]]))
    assert again["labels"][len(edges) :].sum() == 0 and again["rank"] == rank  # repeated bars are redundant
    for scale in (1e-3, 1e3):
        assert np.array_equal(label_bars(points * scale, edges)["labels"], result["labels"])


@pytest.mark.parametrize("d", [2, 3])
def test_large_sparse_frameworks_never_exceed_the_generic_rank(d):
    rng = np.random.default_rng(2000 + d)
    n = 2000
    points = rng.uniform(0, 1, (n, d))
    edges = random_multigraph(rng, n, (n * d) * 3 // 4)
    result = label_bars(points, edges)
    assert result["rank"] == generic_labels(n, edges, d=d)["rank"]
    assert generic_labels(n, edges[result["labels"] == 1], d=d)["labels"].all()
    for scale in (1e-3, 1e3):
        assert np.array_equal(label_bars(points * scale, edges)["labels"], result["labels"])


P5 = [
    [0.943655541011795, 0.8513309172670294, 0.07219950261393726],
    [0.2911307830675982, 0.08675118023497774, 0.34990663624282214],
    [0.2796764779838501, 0.04581198132718911, 0.2904631930371485],
    [0.39415924485391873, 0.15490018595097454, 0.02349008974005995],
    [0.9309936936484582, 0.6664321670456469, 0.5664905442308021],
]


def test_reported_mislabellings_are_gone():
    rng = np.random.default_rng(1)
    n, m = 100, int(197 * 1.15)
    edges = rng.integers(0, n, (2 * m, 2))
    edges = edges[edges[:, 0] != edges[:, 1]][:m]
    points = rng.uniform(0, 1, (n, 2))
    assert label_bars(points, edges)["rank"] == label_bars(points * 1e-3, edges)["rank"] == 190
    repeated = label_bars(P5, [(0, 4), (2, 3), (0, 1), (4, 2), (0, 2), (0, 1)])
    assert repeated["labels"].tolist() == [1, 1, 1, 1, 1, 0]
    gnm = generate_graph_batch("gnm", 1, 60, 3, 777, m=185)[0]
    assert (gnm["rank"], gnm["is_rigid"]) == (172, False)
    assert not generate_graph_batch("near-threshold", 1, 12, 2, 2497)[0]["is_rigid"]
    # The simulation's arithmetic stays available, with its answers.
    assert generate_graph_batch("gnm", 1, 60, 3, 777, m=185, arithmetic="simulate")[0]["rank"] == 174


def test_unknown_arithmetic_is_refused():
    with pytest.raises(ValueError, match="arithmetic must be one of 'orthogonal', 'simulate', got 'fast'"):
        label_bars([[0, 0], [1, 0]], [(0, 1)], arithmetic="fast")


def test_a_core_too_large_for_the_machine_is_refused_before_the_work():
    rng = np.random.default_rng(0)
    n = 100_000
    # The message says what the work needs against what the machine has.
    with pytest.raises(MemoryError, match=r"core of \d+ nodes needs [\d.]+ [GTP]iB of working memory, more than the machine's"):
        label_bars(rng.uniform(0, 1, (n, 3)), random_multigraph(rng, n, 4 * n))
