"""Frameworks at given positions: bases checked against R, counts against the exact rational rank."""

import doctest
import itertools
from fractions import Fraction

import numpy as np
import pytest

from tarvel_tools import _null_spaces, frameworks
from tarvel_tools.frameworks import infinitesimal_flexes, rigidity_matrix, self_stresses, stress_matrix


def exact_rank(positions, edges):
    """Rank of the rigidity matrix of integer positions, by elimination over the rationals."""
    d = len(positions[0])
    rows = []
    for i, j in edges:
        row = [Fraction(0)] * (len(positions) * d)
        for axis in range(d):
            delta = Fraction(int(positions[i][axis]) - int(positions[j][axis]))
            row[i * d + axis], row[j * d + axis] = delta, -delta
        rows.append(row)
    rank, columns = 0, len(positions) * d
    for column in range(columns):
        pivot = next((r for r in range(rank, len(rows)) if rows[r][column] != 0), None)
        if pivot is None:
            continue
        rows[rank], rows[pivot] = rows[pivot], rows[rank]
        for r in range(rank + 1, len(rows)):
            factor = rows[r][column] / rows[rank][column]
            if factor:
                rows[r] = [a - factor * b for a, b in zip(rows[r], rows[rank])]
        rank += 1
    return rank


def affine_dimension(positions):
    points = np.asarray(positions, dtype=float)
    return int(np.linalg.matrix_rank(points[1:] - points[0])) if len(points) > 1 else 0


def trivial_count(d, k):
    """Dimension of the rigid motions of points spanning an affine k-space in R^d."""
    return d * (d + 1) // 2 - (d - k) * (d - k - 1) // 2


K4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
K5 = list(itertools.combinations(range(5), 2))
SQUARE = [(0, 1), (1, 2), (2, 3), (3, 0)]
BANANA = [(p, b) for p in (0, 1) for b in (2, 3, 4)] + [(2, 3), (2, 4), (3, 4)]
BANANA += [(p, b) for p in (0, 1) for b in (5, 6, 7)] + [(5, 6), (5, 7), (6, 7)]
RNG = np.random.default_rng(21)

# Integer frameworks, generic and degenerate: the exact rank decides every count.
FRAMEWORKS = {
    "square": ([[0, 0], [1, 0], [1, 1], [0, 1]], SQUARE),
    "braced square": ([[0, 0], [1, 0], [1, 1], [0, 1]], SQUARE + [(0, 2)]),
    "K4 in the plane": ([[0, 0], [4, 0], [0, 4], [1, 1]], K4),
    "collinear path": ([[0, 0], [1, 0], [3, 0]], [(0, 1), (1, 2)]),
    "collinear triangle": ([[0, 0], [1, 0], [3, 0]], [(0, 1), (1, 2), (0, 2)]),
    "coincident points": ([[2, 2], [2, 2], [5, 1]], [(0, 1), (1, 2)]),
    "all at one point": ([[1, 1, 1]] * 3, [(0, 1), (1, 2)]),
    "isolated nodes": ([[0, 0], [1, 0], [7, 3]], []),
    "repeated bar": ([[0, 0], [1, 0], [0, 1]], [(0, 1), (0, 1), (1, 2)]),
    "tetrahedron": ([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], K4),
    "coplanar K4 in space": ([[0, 0, 0], [2, 0, 0], [0, 2, 0], [1, 1, 0]], K4),
    "collinear in space": ([[0, 0, 0], [1, 1, 1], [3, 3, 3]], [(0, 1), (1, 2), (0, 2)]),
    "K5 in space": (RNG.integers(-9, 10, size=(5, 3)).tolist(), K5),
    "double banana": (RNG.integers(-9, 10, size=(8, 3)).tolist(), BANANA),
    "random sparse": (RNG.integers(-20, 21, size=(14, 2)).tolist(), [(i, (i + s) % 14) for i in range(14) for s in (1, 3)][:25]),
}


@pytest.mark.parametrize("name", FRAMEWORKS)
def test_bases_are_kernels_of_the_rigidity_matrix_with_the_exact_counts(name):
    positions, edges = FRAMEWORKS[name]
    n, d = len(positions), len(positions[0])
    matrix = rigidity_matrix(positions, edges).toarray()
    norm = max(np.linalg.norm(matrix, 2) if matrix.size else 0.0, 1.0)
    rank = exact_rank(positions, edges)
    trivial = trivial_count(d, affine_dimension(positions))

    flexes = infinitesimal_flexes(positions, edges).reshape(-1, n * d)
    stresses = self_stresses(positions, edges)
    assert len(flexes) == n * d - rank - trivial
    assert len(stresses) == len(edges) - rank
    assert np.abs(matrix @ flexes.T).max(initial=0) <= 1e-12 * norm
    assert np.abs(stresses @ matrix).max(initial=0) <= 1e-12 * norm
    np.testing.assert_allclose(flexes @ flexes.T, np.eye(len(flexes)), atol=1e-12)
    np.testing.assert_allclose(stresses @ stresses.T, np.eye(len(stresses)), atol=1e-12)
    # Flexes are orthogonal to the trivial motions, which are the rest of the kernel.
    motions = frameworks.trivial_motions(np.asarray(positions, dtype=float))
    assert motions.shape[1] == trivial
    assert np.abs(flexes @ motions).max(initial=0) <= 1e-12


def test_answers_are_invariant_under_scaling_and_moving():
    positions, edges = FRAMEWORKS["double banana"]
    points = np.asarray(positions, dtype=float)
    rotation, _ = np.linalg.qr(RNG.standard_normal((3, 3)))
    for moved in (points * 1e-7, points * 1e7 + 3e7, points @ rotation.T + 100):
        assert len(infinitesimal_flexes(moved, edges)) == 1  # the banana's hinge
        assert len(self_stresses(moved, edges)) == 1


def test_tolerance_separates_a_nearly_flat_framework():
    # Lifting one node of a flat tetrahedron by h leaves a singular value of order h.
    positions = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0.3, 0.3, 1e-8]]
    assert len(infinitesimal_flexes(positions, K4)) == 0
    assert len(infinitesimal_flexes(positions, K4, tol=1e-6)) == 1
    assert len(self_stresses(positions, K4, tol=1e-6)) == 1


def test_stress_matrix_of_a_self_stress_annihilates_the_configuration():
    positions, edges = FRAMEWORKS["K5 in space"]
    points = np.asarray(positions, dtype=float)
    stresses = self_stresses(points, edges)
    assert len(stresses) == 1  # 10 bars, rank 3 * 5 - 6
    omega = stress_matrix(points, edges, stresses[0]).toarray()
    lifted = np.column_stack([points, np.ones(len(points))])
    assert np.abs(omega @ lifted).max() <= 1e-12 * np.abs(omega).max()
    assert np.allclose(omega, omega.T)
    # K5 in space is globally rigid: its stress matrix has rank n - d - 1 = 1.
    assert np.linalg.matrix_rank(omega) == 1


def test_rigidity_matrix_rows_by_hand():
    matrix = rigidity_matrix([[0, 0, 0], [1, 2, 3], [5, 5, 5]], [(2, 0), (0, 1)])
    assert matrix.shape == (2, 9) and matrix.format == "csr"
    np.testing.assert_array_equal(
        matrix.toarray(), [[-5, -5, -5, 0, 0, 0, 5, 5, 5], [-1, -2, -3, 1, 2, 3, 0, 0, 0]]
    )


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda: rigidity_matrix([[0, 0], [1, 1]], [(0, 2)]), ValueError, "edges: node number 2"),
        (lambda: rigidity_matrix([[0, 0], [1, 1]], [(1, 1)]), ValueError, "self-loop"),
        (lambda: rigidity_matrix([[0, 0], [1, np.nan]], [(0, 1)]), ValueError, "finite"),
        (lambda: rigidity_matrix([[0, 0, 0, 0]], []), ValueError, "positions must have shape"),
        (lambda: rigidity_matrix([[0, 0], [1, 1]], [(0.5, 1)]), TypeError, "edges"),
        (lambda: infinitesimal_flexes([[0, 0], [1, 1]], [(0, 1)], tol=-1), ValueError, "tol"),
        (lambda: self_stresses([[0, 0], [1, 1]], [(0, 1)], tol="1"), TypeError, "tol"),
        (lambda: stress_matrix([[0, 0], [1, 1]], [(0, 1)], [1, 2]), ValueError, "stress must have one weight"),
        (lambda: stress_matrix([[0, 0], [1, 1]], [(0, 1)], ["a"]), TypeError, "stress"),
        (lambda: stress_matrix([[0, 0], [1, 1]], [(0, 1)], [np.inf]), ValueError, "stress must be finite"),
    ],
)
def test_bad_input_names_the_argument(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_a_basis_too_large_for_memory_is_refused_up_front():
    # A path on a line flexes at every node: the basis alone would take about 26 GB.
    n = 40_000
    positions = np.zeros((n, 2))
    positions[:, 0] = np.arange(n)
    with pytest.raises(MemoryError, match="needs at least"):
        infinitesimal_flexes(positions, [(i, i + 1) for i in range(n - 1)])


def modular_rank(positions, edges, prime=2_147_483_629):
    """Rank of the integer rigidity matrix modulo a large prime: the rational rank but for a negligible chance."""
    n, d = positions.shape
    rows = np.zeros((len(edges), n * d), dtype=np.int64)
    for k, (i, j) in enumerate(edges):
        rows[k, i * d : i * d + d] = positions[i] - positions[j]
        rows[k, j * d : j * d + d] = positions[j] - positions[i]
    rows %= prime
    rank = 0
    for column in range(n * d):
        pivots = np.flatnonzero(rows[rank:, column]) + rank
        if not len(pivots):
            continue
        rows[[rank, pivots[0]]] = rows[[pivots[0], rank]]
        inverse = pow(int(rows[rank, column]), prime - 2, prime)
        rows[rank] = rows[rank] * inverse % prime
        below = rows[rank + 1 :, column].copy()
        rows[rank + 1 :] = (rows[rank + 1 :] - below[:, None] * rows[rank]) % prime
        rank += 1
    return rank


def random_bars(rng, n, m):
    pairs = np.stack(np.triu_indices(n, k=1), axis=1)
    return pairs[np.sort(rng.choice(len(pairs), size=m, replace=False))]


def grid_framework(side):
    """A square grid with every other cell braced: rows of collinear bars, many flexes and stresses."""
    points = np.array([(x, y) for y in range(side) for x in range(side)])
    node = lambda x, y: y * side + x  # noqa: E731
    bars = [(node(x, y), node(x + 1, y)) for y in range(side) for x in range(side - 1)]
    bars += [(node(x, y), node(x, y + 1)) for y in range(side - 1) for x in range(side)]
    bars += [(node(x, y), node(x + 1, y + 1)) for y in range(side - 1) for x in range(side - 1) if (x + y) % 2 == 0]
    bars += [(node(0, y), node(side - 1, y)) for y in range(side)]  # long collinear bars: stresses along rows
    return points, np.array(bars)


def hanging_framework(rng, d):
    """A random core with nodes hung from it by 1 .. d bars, some of them on chains of such nodes; some
    hang on the line through their two anchors or on top of their anchor (dependent bar vectors)."""
    points = [list(p) for p in rng.integers(-40, 41, size=(50, d))]
    bars = [tuple(b) for b in random_bars(rng, 50, 125 if d == 2 else 190)]
    for node in range(50, 130):
        anchors = rng.choice(node, size=int(rng.integers(1, d + 1)), replace=False)
        shape = rng.integers(6)
        if shape == 0 and len(anchors) == 2:  # on the line through its anchors
            points.append([2 * a - b for a, b in zip(points[anchors[0]], points[anchors[1]])])
        elif shape == 1:  # on top of an anchor: a bar of length zero
            points.append(list(points[anchors[0]]))
        else:
            points.append(list(rng.integers(-40, 41, size=d)))
        bars += [(int(a), node) for a in anchors]
    return np.array(points), np.array(bars)


LARGE = {
    "hanging nodes in the plane": lambda rng: hanging_framework(rng, 2),
    "hanging nodes in space": lambda rng: hanging_framework(rng, 3),
    "random plane, m = 2n": lambda rng: (rng.integers(-1000, 1001, size=(130, 2)), random_bars(rng, 130, 260)),
    "random space, m = 3.5n": lambda rng: (rng.integers(-1000, 1001, size=(80, 3)), random_bars(rng, 80, 280)),
    "braced grid": lambda rng: grid_framework(12),
    "few distinct points in space": lambda rng: (rng.integers(-2, 3, size=(90, 3)), random_bars(rng, 90, 300)),
    "collinear points in the plane": lambda rng: (np.outer(rng.integers(-50, 51, size=120), [2, 3]), random_bars(rng, 120, 300)),
    "coplanar points in space": lambda rng: (np.c_[rng.integers(-50, 51, size=(90, 2)), np.zeros(90, int)], random_bars(rng, 90, 320)),
}


def assert_bases_of_the_whole(positions, edges, flexes, stresses, rank, monkeypatch):
    """Null, orthonormal, free of rigid motions, and the subspaces of one dense decomposition of the
    whole matrix, to within what the residual allows: residual over the smallest non-zero singular
    value (Wedin)."""
    n, d = np.shape(positions)
    dense_matrix = rigidity_matrix(positions, edges).toarray()
    norm = np.linalg.norm(dense_matrix, 2)
    assert np.abs(dense_matrix @ flexes.T).max(initial=0) <= 1e-9 * norm
    assert np.abs(stresses @ dense_matrix).max(initial=0) <= 1e-9 * norm
    np.testing.assert_allclose(flexes @ flexes.T, np.eye(len(flexes)), atol=1e-10)
    np.testing.assert_allclose(stresses @ stresses.T, np.eye(len(stresses)), atol=1e-10)
    motions = frameworks.trivial_motions(np.asarray(positions, dtype=float))
    assert np.abs(flexes @ motions).max(initial=0) <= 1e-10
    values = np.linalg.svd(dense_matrix, compute_uv=False)
    angle_bound = 10 * 1e-9 * norm / values[rank - 1]
    monkeypatch.setattr(frameworks, "SPARSE_CROSSOVER", 10**9)
    for basis, reference in ((flexes, infinitesimal_flexes(positions, edges).reshape(-1, n * d)), (stresses, self_stresses(positions, edges))):
        assert basis.shape == reference.shape
        assert np.linalg.norm(reference - (reference @ basis.T) @ basis, 2) <= angle_bound


@pytest.mark.parametrize("name", LARGE)
def test_sparse_path_matches_exact_counts_and_the_dense_decomposition(name, monkeypatch):
    positions, edges = LARGE[name](np.random.default_rng(5))
    monkeypatch.setattr(_null_spaces, "_BLOCK_SOLVE_WIDTH", 1)  # solves through the factor's dense blocks
    n, d = positions.shape
    matrix = rigidity_matrix(positions, edges)
    assert min(matrix.shape) >= frameworks.SPARSE_CROSSOVER  # the sparse path answers
    rank = modular_rank(positions, edges)
    trivial = trivial_count(d, affine_dimension(positions))

    flexes = infinitesimal_flexes(positions, edges).reshape(-1, n * d)
    stresses = self_stresses(positions, edges)
    assert (len(flexes), len(stresses)) == (n * d - rank - trivial, len(edges) - rank)
    assert_bases_of_the_whole(positions, edges, flexes, stresses, rank, monkeypatch)


@pytest.mark.parametrize("name", LARGE)
def test_bases_found_half_by_half_are_those_of_the_whole(name, monkeypatch):
    # Cut every piece down to 40 bars, however many bars cross and vectors are sought: the halves'
    # stresses (and velocities with the other half held) and the filter's search beside them must
    # give the exact counts and the whole matrix's subspaces.
    positions, edges = LARGE[name](np.random.default_rng(6))
    n, d = positions.shape
    monkeypatch.setattr(frameworks, "_BISECTION_MIN_BARS", 40)
    monkeypatch.setattr(frameworks, "_BISECTION_CROSSING", 1.0)
    monkeypatch.setattr(frameworks, "_BISECTION_MIN_VECTORS", -(10**9))
    stresses = self_stresses(positions, edges)
    flexes = infinitesimal_flexes(positions, edges).reshape(-1, n * d)
    rank = modular_rank(positions, edges)
    trivial = trivial_count(d, affine_dimension(positions))
    assert (len(flexes), len(stresses)) == (n * d - rank - trivial, len(edges) - rank)
    monkeypatch.setattr(frameworks, "_BISECTION_MIN_BARS", 10**9)
    assert_bases_of_the_whole(positions, edges, flexes, stresses, rank, monkeypatch)


@pytest.mark.parametrize("tol", [1e-9, 1e-8, 1e-7, 1e-6])
def test_sparse_path_draws_the_tolerance_line_where_the_dense_decomposition_does(tol):
    # Coplanar points with six nodes lifted by 1e-7 .. 3e-5: singular values crowd every decade
    # from 1e-9 to 1e-6 (8.9e-8 and 9.3e-8 beside 1e-7), where the filter cannot set them apart.
    rng = np.random.default_rng(5)
    positions = np.c_[rng.integers(-50, 51, size=(90, 2)), np.zeros(90)]
    positions[:6, 2] = [3e-5, 1e-5, 3e-6, 1e-6, 3e-7, 1e-7]
    edges = random_bars(rng, 90, 320)
    values = np.linalg.svd(rigidity_matrix(positions, edges).toarray(), compute_uv=False)
    rank = int(np.count_nonzero(values > tol * values[0]))
    assert len(self_stresses(positions, edges, tol=tol)) == len(edges) - rank
    assert len(infinitesimal_flexes(positions, edges, tol=tol)) == 90 * 3 - rank - 6


def test_docstring_examples():
    assert doctest.testmod(frameworks, extraglobs={"np": np}).failed == 0


def decomposable_framework(rng, d):
    """Integer framework of several components: random ones (some joined at a cut node), copies of
    one small shape, a collinear one, one with coincident points, a repeated bar, and free nodes."""
    parts = []

    def add(points, bars):
        parts.append((np.asarray(points, dtype=np.int64).reshape(-1, d), np.asarray(bars, dtype=np.int64).reshape(-1, 2)))

    for size in (40, 25):
        add(rng.integers(-30, 31, size=(size, d)), random_bars(rng, size, int(1.9 * size) if d == 2 else int(2.8 * size)))
    # Two random blocks sharing node 0: a cut node.
    first, second = random_bars(rng, 12, 24), random_bars(rng, 12, 24)
    add(rng.integers(-30, 31, size=(23, d)), np.vstack([first, np.where(second == 0, 0, second + 11)]))
    for _ in range(4):
        add([[0] * d, [3] + [1] * (d - 1), [1] + [4] * (d - 1)], [(0, 1), (1, 2), (2, 0)])
    add(np.outer(rng.integers(-9, 10, size=6), [1, 2, 3][:d]), [(i, i + 1) for i in range(5)] + [(0, 5), (1, 4)])
    add([[1] * d, [1] * d, [4] + [2] * (d - 1)], [(0, 1), (1, 2), (1, 2)])
    add(rng.integers(-30, 31, size=(3, d)), [])  # free nodes
    offsets = np.cumsum([0] + [len(points) for points, _ in parts])
    order = rng.permutation(offsets[-1])  # interleave the components' node numbers
    positions = np.vstack([points for points, _ in parts])[np.argsort(order)]
    edges = order[np.vstack([bars + offset for (_, bars), offset in zip(parts, offsets)])]
    return positions, edges[rng.permutation(len(edges))]


@pytest.mark.parametrize(("d", "seed"), [(2, 1), (2, 2), (3, 1), (3, 2)])
def test_components_assemble_to_the_bases_of_the_whole(d, seed, monkeypatch):
    positions, edges = decomposable_framework(np.random.default_rng(seed), d)
    n = len(positions)
    rank = modular_rank(positions, edges)
    trivial = frameworks.trivial_motions(positions.astype(float))
    # A low crossover sends the larger components through the sparse filter, the rest through
    # batched dense decompositions.
    monkeypatch.setattr(frameworks, "SPARSE_CROSSOVER", 40)
    flexes = infinitesimal_flexes(positions, edges).reshape(-1, n * d)
    stresses = self_stresses(positions, edges)
    assert (len(flexes), len(stresses)) == (n * d - rank - trivial.shape[1], len(edges) - rank)
    assert_bases_of_the_whole(positions, edges, flexes, stresses, rank, monkeypatch)
