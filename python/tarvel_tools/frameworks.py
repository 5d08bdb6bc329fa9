"""Frameworks at given positions: the rigidity matrix, infinitesimal flexes,
self-stresses and stress matrices.

A framework is a graph with a point for each node: ``positions`` is an
``(n, d)`` array of finite coordinates (d = 2 or 3) and ``edges`` an
``(m, 2)`` array of node numbers ``0 .. n-1`` (the bars).

Numeric rank
------------
The rank of the rigidity matrix R is counted from its singular values
(LAPACK, backward stable): a singular value counts as zero when it is at
most ``tol * ||R||_2``. The tolerance is thus relative: moving or scaling
the framework changes no answer. Each function returns exactly as many
vectors as the counts say, with ``r`` that rank:

- flexes: ``n d - r - t``, where ``t`` is the dimension of the trivial
  motions (translations and rotations) at the given points:
  ``d (d + 1) / 2`` when they span the space, fewer when they do not
  (``t`` = 3, 5, 2 for collinear points in the plane, collinear points in
  space and a single point in the plane);
- self-stresses: ``m - r``.

Small frameworks (R with fewer than 200 rows or columns) take one dense
singular value decomposition of R, O(m (n d)^2) time. Larger ones are
split into the connected components of their bars: R is their direct
sum, so its singular values are theirs together and each null space is
the components' ones side by side (nodes without bars add their d free
coordinates to the kernel). Components with fewer than 200 rows or
columns are decomposed densely, equal shapes in one batched call; larger
ones take the sparse path when 1e-13 <= tol <= 1e-6 (the default 1e-9
is). Before that, single nodes settle what they can: a node with fewer
than d bars moves freely perpendicular to them (flexes on that node alone,
which then join R as rows, so the search looks beside them), and bars at a
node with at most d bars whose vectors are independent (smallest singular
value at least 1e-3 ||R||_2) carry no stress and are set aside, round by
round, before the stresses are sought; the counts then agree with the
whole matrix's unless it has singular values within a factor 1e3 below
the threshold. The sparse path: one sparse factorisation of
``R^T R + s^2 I`` (s = 1e-6 ||R||_2;
symmetric ordering, so its fill is that of a sparse QR of R), which
filters a random block a little wider than the wanted space (sized from
a pebble game's bound of the generic rank, which no positions exceed)
until that space stands out; the singular values of R restricted to the
block then choose the vectors by the same rule,
``sigma <= tol * ||R||_2``, with ||R||_2 the largest of the components'
norms (estimated to six digits by Lanczos where not decomposed densely). The whole
framework's trivial motions are then removed from the assembled kernel
by Householder reflections in its coefficients. A component with 1000
bars or more, expected to have at least 100 null vectors, whose nodes a
cut at the median of their widest coordinate splits with at most a tenth
of the bars crossing (bars between close points, long chains) is solved
half by half: the stresses within each half, and the velocities of each
half with the other held still (found the same way), are null vectors of
the whole, orthogonal across the halves, and the filter looks only beside
them for those that need the crossing bars. Both paths return
orthonormal bases with residuals at most ``tol * ||R||_2``; the sparse
one costs O(nnz of the factor) per basis vector (wide blocks are solved
through the factor's supernodes with dense arithmetic) and O(length k^2)
to orthonormalise k vectors: about a second for a few hundred vectors at
2000 nodes, and memory for a few dense blocks of the basis's size,
refused up front with a ``MemoryError`` when they would not fit.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.linalg  # type: ignore[import-untyped]  # SciPy ships no type information
import scipy.linalg.lapack  # type: ignore[import-untyped]
import scipy.sparse  # type: ignore[import-untyped]

from . import _graph_input as given
from . import _native
from ._framework_pieces import DenseGroup, FrameworkPieces, Piece
from ._memory import require_memory
from ._node_local import local_flexes as find_local_flexes
from ._node_local import stress_free_bars
from ._null_spaces import FilteredNullSpaces, Known, spectral_norm

__all__ = [
    "infinitesimal_flexes",
    "rigidity_matrix",
    "self_stresses",
    "stress_matrix",
    "trivial_motions",
]

Float64Array = npt.NDArray[np.float64]

DEFAULT_TOL = 1e-9
"""Relative tolerance of the rank: singular values up to ``tol * ||R||_2`` count as zero."""

_DENSE_LIMIT_BYTES = 8 * 2**30

SPARSE_CROSSOVER = 200
"""Rigidity matrices with at least this many rows and columns take the sparse path."""

_STRESS_FREE_MARGIN = 1e-3
"""Bars at a node with at most d bars are set aside as carrying no stress when the smallest singular
value of their vectors there is at least this fraction of ||R||_2."""

_BISECTION_MIN_BARS = 1000
"""Pieces with fewer bars take the filter whole: halving them saves less than the halves' own factorisations cost."""

_BISECTION_MIN_VECTORS = 100
"""Nor are pieces cut that are expected to have fewer null vectors: orthonormalising few is cheap."""

_BISECTION_CROSSING = 0.1
"""A cut through a piece is used when at most this fraction of its bars cross it."""

_SPARSE_TOLERANCES = (1e-13, 1e-6)
"""The tolerances the sparse path resolves: below, rounding blurs the filter; above, the
filter's shift grows with tol and no longer sets the null directions apart."""


def rigidity_matrix(positions: npt.ArrayLike, edges: npt.ArrayLike) -> scipy.sparse.csr_matrix:
    """Return the rigidity matrix of a framework, as a SciPy sparse CSR matrix.

    Row ``k`` belongs to bar ``(i, j) = edges[k]``: it holds ``p_i - p_j``
    in the d columns of node i (columns ``i d .. i d + d - 1``) and
    ``p_j - p_i`` in those of node j. A velocity ``v`` (flattened to
    ``n d``) is an infinitesimal motion when ``R @ v == 0``: no bar changes
    its length to first order.

    Parameters
    ----------
    positions : array_like, shape (n, d)
        Finite coordinates of the nodes, d = 2 or 3.
    edges : array_like, shape (m, 2)
        The bars, as pairs of distinct node numbers.

    Returns
    -------
    scipy.sparse.csr_matrix
        Shape ``(m, n d)``, float64, ``2 d`` stored entries per row.

    Raises
    ------
    TypeError
        Non-numeric positions or non-integer edges.
    ValueError
        A wrong shape, a non-finite coordinate, an edge end outside
        ``0 .. n-1`` or a self-loop.

    Examples
    --------
    >>> rigidity_matrix([[0, 0], [3, 4]], [(0, 1)]).toarray()
    array([[-3., -4.,  3.,  4.]])
    """
    points, bars = _framework(positions, edges)
    return _rigidity_matrix(points, bars)


def infinitesimal_flexes(positions: npt.ArrayLike, edges: npt.ArrayLike, *, tol: float = DEFAULT_TOL) -> Float64Array:
    """Return a basis of the non-trivial infinitesimal motions of a framework.

    The infinitesimal motions are the kernel of the `rigidity_matrix` R;
    the trivial ones (translations and rotations of the whole) always lie
    in it. The basis returned spans the orthogonal complement of the
    trivial motions within the kernel, and is orthonormal as flattened
    vectors of length ``n d``. Its size is ``n d - rank - t`` (see the
    module notes): zero exactly when the framework is infinitesimally
    rigid.

    Parameters
    ----------
    positions : array_like, shape (n, d)
        Finite coordinates of the nodes, d = 2 or 3.
    edges : array_like, shape (m, 2)
        The bars, as pairs of distinct node numbers.
    tol : float, optional
        Relative tolerance of the rank (default 1e-9): singular values of R
        up to ``tol * ||R||_2`` count as zero.

    Returns
    -------
    numpy.ndarray, shape (k, n, d)
        ``flexes[i, v]`` is the velocity of node v in the i-th flex.

    Raises
    ------
    TypeError, ValueError
        As `rigidity_matrix`, or a tol that is not a non-negative number.
    MemoryError
        The dense decomposition would need more than 8 GiB, or the
        sparse path's blocks of the basis's size more than the machine has.

    Examples
    --------
    A square bends; one diagonal makes it rigid:

    >>> square = [[0, 0], [1, 0], [1, 1], [0, 1]]
    >>> infinitesimal_flexes(square, [(0, 1), (1, 2), (2, 3), (3, 0)]).shape
    (1, 4, 2)
    >>> infinitesimal_flexes(square, [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)]).shape
    (0, 4, 2)
    """
    points, bars = _framework(positions, edges)
    threshold = given.tolerance(tol)
    n, d = points.shape
    trivial = trivial_motions(points)
    if _takes_pieces(points, bars):
        return _flexes_by_pieces(FrameworkPieces(points, bars), trivial, threshold).reshape(-1, n, d)
    matrix = _dense_rigidity_matrix(points, bars)
    kernel = _right_kernel(matrix, threshold)
    # The trivial motions lie in the kernel: what remains of the kernel once
    # they are projected out has exactly kernel - trivial large directions.
    rest = kernel - trivial @ (trivial.T @ kernel)
    count = max(kernel.shape[1] - trivial.shape[1], 0)
    if count == 0:
        return np.zeros((0, n, d))
    left, _, _ = scipy.linalg.svd(rest, full_matrices=False)
    return np.ascontiguousarray(left[:, :count].T).reshape(count, n, d)


def self_stresses(positions: npt.ArrayLike, edges: npt.ArrayLike, *, tol: float = DEFAULT_TOL) -> Float64Array:
    """Return a basis of the self-stresses (equilibrium stresses) of a framework.

    A self-stress gives each bar a weight ``w`` with ``w @ R == 0``: at
    every node the weighted bar vectors ``w_ij (p_i - p_j)`` add up to
    zero. They form the left kernel of the `rigidity_matrix` R, of
    dimension ``m - rank``; the basis is orthonormal.

    Parameters
    ----------
    positions : array_like, shape (n, d)
        Finite coordinates of the nodes, d = 2 or 3.
    edges : array_like, shape (m, 2)
        The bars, as pairs of distinct node numbers. A repeated bar carries
        a stress against its copy.
    tol : float, optional
        Relative tolerance of the rank, as in `infinitesimal_flexes`.

    Returns
    -------
    numpy.ndarray, shape (s, m)
        One stress per row, one weight per bar in the order of ``edges``.

    Raises
    ------
    TypeError, ValueError, MemoryError
        As `infinitesimal_flexes`.

    Examples
    --------
    K4 in the plane has one self-stress, up to scale:

    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> stress = self_stresses([[0, 0], [4, 0], [0, 4], [1, 1]], k4)[0]
    >>> np.round(stress / stress[3], 6)
    array([ 2.,  2., -8.,  1., -4., -4.])
    """
    points, bars = _framework(positions, edges)
    threshold = given.tolerance(tol)
    if _takes_pieces(points, bars):
        return _stresses_of_core(points, bars, threshold)
    matrix = _dense_rigidity_matrix(points, bars)
    return np.ascontiguousarray(_right_kernel(matrix.T, threshold).T)


def stress_matrix(positions: npt.ArrayLike, edges: npt.ArrayLike, stress: npt.ArrayLike) -> scipy.sparse.csr_matrix:
    """Return the stress matrix of a stress on the bars, as a SciPy sparse CSR matrix.

    The n x n matrix Omega with ``Omega[i, j] = -w_ij`` for each bar
    (summed over repeated bars) and ``Omega[i, i] = sum_j w_ij``: a
    Laplacian weighted by the stress. It is sparse like the graph; call
    ``.toarray()`` for its eigenvalues. When ``stress`` is a self-stress,
    ``Omega @ positions == 0`` and ``Omega @ ones == 0``, so its rank is at
    most ``n - d - 1``; a framework with a self-stress of that rank and a
    positive semidefinite Omega is globally rigid (Connelly).

    Parameters
    ----------
    positions : array_like, shape (n, d)
        Finite coordinates of the nodes (they fix n and are checked).
    edges : array_like, shape (m, 2)
        The bars, as pairs of distinct node numbers.
    stress : array_like, shape (m,)
        Finite weights, one per bar.

    Returns
    -------
    scipy.sparse.csr_matrix
        Shape ``(n, n)``, symmetric, rows summing to zero.

    Raises
    ------
    TypeError, ValueError
        As `rigidity_matrix`, or a stress that is not m finite numbers.

    Examples
    --------
    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> stress_matrix([[0, 0], [4, 0], [0, 4], [1, 1]], k4, [2, 2, -8, 1, -4, -4]).toarray()
    array([[ -4.,  -2.,  -2.,   8.],
           [ -2.,  -1.,  -1.,   4.],
           [ -2.,  -1.,  -1.,   4.],
           [  8.,   4.,   4., -16.]])
    """
    points, bars = _framework(positions, edges)
    weights = _stress_array(stress, len(bars))
    n = points.shape[0]
    i, j = bars[:, 0], bars[:, 1]
    rows = np.concatenate([i, j, i, j])
    cols = np.concatenate([j, i, i, j])
    values = np.concatenate([-weights, -weights, weights, weights])
    return scipy.sparse.csr_matrix(scipy.sparse.coo_matrix((values, (rows, cols)), shape=(n, n)))


def trivial_motions(points: Float64Array) -> Float64Array:
    """An orthonormal basis of the translations and rotations at ``points``, shape (n d, t).

    t is the rank of the d (d + 1) / 2 generators, decided with a relative
    threshold far below any tolerance a user sets: generators vanish or not
    exactly up to rounding.
    """
    n, d = points.shape
    if n == 0:
        return np.zeros((0, 0))
    centred = points - points.mean(axis=0)
    generators = []
    for axis in range(d):
        translation = np.zeros((n, d))
        translation[:, axis] = 1.0
        generators.append(translation.ravel())
    for a in range(d):
        for b in range(a + 1, d):
            rotation = np.zeros((n, d))
            rotation[:, a], rotation[:, b] = -centred[:, b], centred[:, a]
            generators.append(rotation.ravel())
    stacked = np.stack(generators, axis=1)
    left, values, _ = scipy.linalg.svd(stacked, full_matrices=False)
    # Translations have norm sqrt(n); a rotation of points that span the
    # plane of its axes is as large as the points' spread times sqrt(n).
    scale = np.sqrt(n) * max(1.0, float(np.abs(centred).max()))
    rank = int(np.count_nonzero(values > 1e-12 * scale))
    return np.ascontiguousarray(left[:, :rank])


def _right_kernel(matrix: Float64Array, tol: float) -> Float64Array:
    """Orthonormal basis of the kernel of ``matrix`` (columns), singular values <= tol * ||matrix||_2 counting as zero."""
    rows, cols = matrix.shape
    if cols == 0:
        return np.zeros((0, 0))
    if rows == 0:
        return np.eye(cols)
    values, right = _svd_values_and_right(matrix)
    largest = float(values[0]) if len(values) else 0.0
    rank = int(np.count_nonzero(values > tol * largest)) if largest > 0 else 0
    return np.ascontiguousarray(right[rank:].T)


def _svd_values_and_right(matrix: Float64Array) -> tuple[Float64Array, Float64Array]:
    # A tall matrix's thin decomposition already has the full square right factor.
    full = matrix.shape[0] < matrix.shape[1]
    try:
        _, values, right = scipy.linalg.svd(matrix, full_matrices=full, check_finite=False)
    except np.linalg.LinAlgError:  # divide and conquer failed to converge: the slower QR iteration does
        _, values, right = scipy.linalg.svd(matrix, full_matrices=full, check_finite=False, lapack_driver="gesvd")
    return values, right


def _takes_pieces(points: Float64Array, bars: given.Int64Array) -> bool:
    """Whether R is past the crossover: smaller ones take one dense decomposition of the whole."""
    return bool(min(len(bars), points.shape[0] * points.shape[1]) >= SPARSE_CROSSOVER)


def _stresses_of_core(points: Float64Array, bars: given.Int64Array, tol: float, *, norm: float | None = None) -> Float64Array:
    """Self-stresses (s, m): bars that single nodes hold at zero weight are set aside, the rest split
    into components; the threshold stays tol times the norm of the whole R (or ``norm``)."""
    if norm is None:
        norm = spectral_norm(_rigidity_matrix(points, bars))
    core = np.flatnonzero(~stress_free_bars(points, bars, _STRESS_FREE_MARGIN * norm)).astype(np.int64)
    return _stresses_by_pieces(FrameworkPieces(points, bars[core]), tol, norm=norm, bar_ids=core, m=len(bars))


def _stresses_by_pieces(
    framework: FrameworkPieces, tol: float, *, norm: float | None = None, bar_ids: given.Int64Array | None = None, m: int | None = None
) -> Float64Array:
    """Self-stresses (s, m): each component's left null space, placed on its bars (numbered by
    ``bar_ids`` among m when the pieces hold only some of the framework's bars)."""
    spaces = _PieceSpaces(framework, tol, norm=norm)
    bases: list[tuple[given.Int64Array, Float64Array]] = []
    for group in spaces.dense:
        left, values, _ = group.decomposition
        for piece, vectors, piece_values in zip(group.pieces, left, values):
            rank = int(np.count_nonzero(piece_values > spaces.threshold))
            if rank < len(piece.bars):
                bases.append((piece.bars, vectors[:, rank:]))
    for piece, sparse in spaces.sparse:
        bases.append((piece.bars, _stresses_of_piece(framework.points[piece.nodes], framework.piece_edges(piece), sparse, tol, spaces.norm)))
    count = sum(basis.shape[1] for _, basis in bases)
    m = len(framework.bars) if m is None else m
    require_memory(8 * count * m, f"a basis of {count} self-stresses of {m} bars")
    stresses = np.zeros((count, m))
    row = 0
    for bar_index, basis in bases:
        stresses[row : row + basis.shape[1], bar_index if bar_ids is None else bar_ids[bar_index]] = basis.T
        row += basis.shape[1]
    return stresses


def _stresses_of_piece(points: Float64Array, edges: given.Int64Array, sparse: FilteredNullSpaces, tol: float, norm: float) -> Float64Array:
    """Self-stresses (m', s) of one connected piece, by the filter on its whole R.

    When a cut through the middle of the piece crosses few bars, the stresses within each half come
    first (recursively, as frameworks of their own): they are stresses of the whole, orthogonal to each
    other as their bars are disjoint, and the filter then looks only beside them, for the few that
    need bars across the cut. Orthonormalising s vectors of length m costs m s^2: halves that hold
    most of the stresses cost a quarter each.
    """
    start = len(edges) - _rank_upper_bound(points, edges)
    require_memory(8 * len(edges) * max(start, 0), f"a basis of at least {start} self-stresses of {len(edges)} bars")
    halves = _bisection(points, edges, start)
    if halves is None:
        return sparse.left(start)
    beside = []
    for half in halves:
        inside = np.flatnonzero(half[edges[:, 0]] & half[edges[:, 1]]).astype(np.int64)
        beside.append(Known(inside, _stresses_of_core(points, edges[inside], tol, norm=norm).T))
    return sparse.left(start - sum(part.count for part in beside), beside)


def _bisection(points: Float64Array, edges: given.Int64Array, expected: int) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]] | None:
    """The two halves of the nodes, split at the median along the widest axis, when the piece is large,
    at least ``expected`` vectors are sought and at most a tenth of its bars cross; else None."""
    if len(edges) < _BISECTION_MIN_BARS or expected < _BISECTION_MIN_VECTORS:
        return None
    axis = int(np.argmax(points.max(axis=0) - points.min(axis=0)))
    first = np.zeros(len(points), dtype=bool)
    first[np.argsort(points[:, axis], kind="stable")[: len(points) // 2]] = True
    crossing = int(np.count_nonzero(first[edges[:, 0]] != first[edges[:, 1]]))
    if crossing > _BISECTION_CROSSING * len(edges):
        return None
    return first, ~first


def _kernel_with_the_rest_held(
    points: Float64Array, edges: given.Int64Array, moving: npt.NDArray[np.bool_], tol: float, norm: float, sparse: FilteredNullSpaces | None = None
) -> Float64Array:
    """Orthonormal basis (|moving| d, k) of the velocities of the ``moving`` nodes (a mask) that keep
    every bar's length to first order while the other nodes stay put: the kernel of R's columns of
    those nodes. ``sparse`` is the filter of exactly those columns, when the caller has one.

    Split like the stresses: the velocities of one half with the other half held are such velocities
    too, orthogonal to the other half's (their nodes are disjoint), and the filter then looks only
    beside them.
    """
    d = points.shape[1]
    nodes = np.flatnonzero(moving)
    rows = np.flatnonzero(moving[edges[:, 0]] | moving[edges[:, 1]])
    start = d * len(nodes) - min(len(rows), _rank_upper_bound(points, edges[rows]))
    require_memory(8 * d * len(nodes) * max(start, 0), f"a basis of at least {start} infinitesimal motions of {len(nodes)} nodes")
    local = np.full(len(points), -1, dtype=np.int64)
    local[nodes] = np.arange(len(nodes))
    halves = _bisection(points[nodes], local[edges[moving[edges[:, 0]] & moving[edges[:, 1]]]], start)
    if sparse is None:
        matrix = _rigidity_matrix(points, edges[rows])[:, _coordinates(nodes, d)]
        if halves is None and min(matrix.shape) < SPARSE_CROSSOVER:
            return _kernel_within(matrix.toarray(), tol * norm)
        sparse = FilteredNullSpaces(matrix, tol, norm)
    if halves is None:
        return sparse.right(start)
    beside = []
    for half in halves:
        held = np.zeros(len(points), dtype=bool)
        held[nodes[half]] = True
        beside.append(Known(_coordinates(np.flatnonzero(half), d), _kernel_with_the_rest_held(points, edges, held, tol, norm)))
    return sparse.right(start - sum(part.count for part in beside), beside)


def _kernel_halves(points: Float64Array, edges: given.Int64Array) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]] | None:
    """The halves a connected piece's kernel is found by, as `_kernel_with_the_rest_held` cuts it, or None."""
    return _bisection(points, edges, points.size - _rank_upper_bound(points, edges))


def _coordinates(nodes: given.Int64Array, d: int) -> given.Int64Array:
    """The columns of R (or entries of a velocity) that belong to ``nodes``, node by node."""
    columns: given.Int64Array = (nodes[:, None] * d + np.arange(d)).ravel()
    return columns


def _kernel_within(matrix: Float64Array, threshold: float) -> Float64Array:
    """Orthonormal basis (columns) of the right singular vectors of ``matrix`` with values at most ``threshold``."""
    values, right = _svd_values_and_right(matrix)
    return np.ascontiguousarray(right[int(np.count_nonzero(values > threshold)) :].T)


def _flexes_by_pieces(framework: FrameworkPieces, trivial: Float64Array, tol: float) -> Float64Array:
    """Non-trivial flexes (k, n d): the components' kernels and the free nodes' coordinates,
    less the whole framework's trivial motions."""
    points = framework.points
    n, d = points.shape
    spaces = _PieceSpaces(framework, tol, local_flexes=True)
    bases: list[tuple[given.Int64Array, Float64Array]] = []
    for group in spaces.dense:
        _, values, right = group.decomposition
        for piece, vectors, piece_values in zip(group.pieces, right, values):
            rank = int(np.count_nonzero(piece_values > spaces.threshold))
            if rank < vectors.shape[0]:
                bases.append((piece.nodes, vectors[rank:]))
    for piece, sparse in spaces.sparse:
        piece_points = points[piece.nodes]
        if sparse.known is None and _kernel_halves(piece_points, framework.piece_edges(piece)) is not None:
            everything = np.ones(len(piece.nodes), dtype=bool)
            kernel = _kernel_with_the_rest_held(piece_points, framework.piece_edges(piece), everything, tol, spaces.norm, sparse)
            bases.append((piece.nodes, kernel.T))
            continue
        # The kernel, orthonormal: the local flexes, the rest of the trivial motions, and what the filter
        # finds beside both.
        local = sparse.known
        known = np.zeros((len(piece.nodes) * d, 0)) if local is None else local.toarray()
        trivial_rest = _orthonormal_rest(trivial_motions(piece_points), known)
        start = trivial_rest.shape[0] - trivial_rest.shape[1] - known.shape[1]
        start -= _rank_upper_bound(piece_points, framework.piece_edges(piece))
        kernel = sparse.right(start, [Known(None, trivial_rest)])
        bases.append((piece.nodes, np.vstack([known.T, kernel.T])))
    free = framework.free_nodes
    count = sum(len(basis) for _, basis in bases) + d * len(free)
    require_memory(8 * count * n * d, f"a basis of {count} infinitesimal motions of {n} nodes")
    motions = np.zeros((count, n, d))
    row = 0
    for nodes, basis in bases:
        motions[row : row + len(basis), nodes] = basis.reshape(len(basis), len(nodes), d)
        row += len(basis)
    for axis in range(d):
        motions[row + np.arange(len(free)), free, axis] = 1.0
        row += len(free)
    return _without_motions(motions.reshape(count, n * d), trivial)


def _orthonormal_rest(vectors: Float64Array, known: Float64Array) -> Float64Array:
    """Orthonormal columns spanning what the orthonormal ``vectors`` add to the orthonormal ``known``;
    a direction that keeps less than 1e-6 of its length is left to the filter, which finds null
    directions beside both."""
    rest = vectors - known @ (known.T @ vectors)
    if rest.shape[1] == 0:
        return rest
    left, values, _ = scipy.linalg.svd(rest, full_matrices=False)
    return np.ascontiguousarray(left[:, : int(np.count_nonzero(values > 1e-6))])


def _without_motions(basis: Float64Array, motions: Float64Array) -> Float64Array:
    """Orthonormal rows spanning the complement of ``motions`` (columns) within the rows of ``basis``.

    ``basis`` has orthonormal rows whose span holds the orthonormal columns of ``motions``: the
    coefficients ``basis @ motions`` then have orthonormal columns, their Householder reflections
    map them onto the first coordinates, and the same reflections applied to the rows of ``basis``
    leave past the first t rows an orthonormal basis orthogonal to ``motions``.
    """
    t = motions.shape[1]
    if t == 0 or len(basis) == 0:
        return basis
    reflectors, factors, _, info = scipy.linalg.lapack.dgeqrf(basis @ motions)
    if info != 0:
        raise RuntimeError(f"LAPACK dgeqrf failed with info {info}")
    # The rows of C-ordered `basis` are the columns of its Fortran-ordered transpose, which the
    # reflections multiply from the right.
    lwork = max(1, basis.shape[1]) * 64
    reflected, _, info = scipy.linalg.lapack.dormqr(b"R", b"N", reflectors, factors, basis.T, lwork, overwrite_c=1)
    if info != 0:
        raise RuntimeError(f"LAPACK dormqr failed with info {info}")
    return np.ascontiguousarray(reflected.T[t:])


class _PieceSpaces:
    """The pieces of a framework, decomposed: small ones densely in batches, large ones by the
    sparse filter; the threshold tol * ||R||_2 with ||R||_2 the largest of the pieces' norms."""

    def __init__(self, framework: FrameworkPieces, tol: float, *, norm: float | None = None, local_flexes: bool = False) -> None:
        small: list[Piece] = []
        self.sparse: list[tuple[Piece, FilteredNullSpaces]] = []
        large: list[tuple[Piece, scipy.sparse.csr_matrix, float]] = []
        d = framework.points.shape[1]
        sparse_tol = _SPARSE_TOLERANCES[0] <= tol <= _SPARSE_TOLERANCES[1]
        for piece in framework.pieces:
            if sparse_tol and min(len(piece.bars), len(piece.nodes) * d) >= SPARSE_CROSSOVER:
                matrix = _rigidity_matrix(framework.points[piece.nodes], framework.piece_edges(piece))
                piece_norm = spectral_norm(matrix) if norm is None else norm
                if piece_norm > 0.0:
                    large.append((piece, matrix, piece_norm))
                    continue
            small.append(piece)
        self.dense = [_DecomposedGroup(group) for group in framework.dense_groups(small)]
        if norm is None:
            norm = max([group.norm for group in self.dense] + [piece_norm for _, _, piece_norm in large], default=0.0)
        self.norm = norm
        self.threshold = tol * norm
        for piece, matrix, _ in large:
            known = None
            piece_points, edges = framework.points[piece.nodes], framework.piece_edges(piece)
            # A piece cut in halves finds its kernel half by half, the local flexes among it.
            if local_flexes and _kernel_halves(piece_points, edges) is None:
                known = find_local_flexes(piece_points, edges, self.threshold)
            self.sparse.append((piece, FilteredNullSpaces(matrix, tol, norm, known)))


class _DecomposedGroup:
    """The full singular value decompositions of a group of equally shaped pieces."""

    def __init__(self, group: DenseGroup) -> None:
        self.pieces = group.pieces
        matrices = group.matrices
        rows, cols = matrices.shape[1:]
        needed = 8 * len(matrices) * (rows * rows + cols * cols + rows * cols)
        if needed > _DENSE_LIMIT_BYTES:
            raise MemoryError(f"the dense decomposition of this framework would need about {needed / 2**30:.1f} GiB")
        try:
            left, values, right = np.linalg.svd(matrices, full_matrices=True)
        except np.linalg.LinAlgError:  # divide and conquer failed to converge: the slower QR iteration does
            parts = [scipy.linalg.svd(matrix, full_matrices=True, lapack_driver="gesvd") for matrix in matrices]
            left, values, right = (np.stack(part) for part in zip(*parts))
        self.decomposition: tuple[Float64Array, Float64Array, Float64Array] = (left, values, right)
        self.norm = float(values[:, 0].max()) if values.size else 0.0


def _rank_upper_bound(points: Float64Array, bars: given.Int64Array) -> int:
    """An upper bound of the rank of R at any positions, to size the first block: the pebble
    game's count of a largest (2, 3)-sparse set in the plane (the generic rank itself) and of a
    largest (3, 5)-sparse set in space (independent bars span at most 3 n' - 6 <= 3 n' - 5 on
    every n' >= 3 of their nodes, and one bar on two)."""
    n, d = points.shape
    k, l = (2, 3) if d == 2 else (3, 5)  # noqa: E741 (the game's own name)
    return int(np.asarray(_native.pebble_game(n, np.ascontiguousarray(bars), k, l)["labels"]).sum())


def _dense_rigidity_matrix(points: Float64Array, bars: given.Int64Array) -> Float64Array:
    """R as a dense array, refused up front when it and its decomposition would not fit the budget."""
    rows, cols = len(bars), points.shape[0] * points.shape[1]
    needed = 8 * (2 * rows * cols + rows * rows + cols * cols)
    if needed > _DENSE_LIMIT_BYTES:
        raise MemoryError(f"the dense decomposition of this framework would need about {needed / 2**30:.1f} GiB")
    dense: Float64Array = _rigidity_matrix(points, bars).toarray()
    return dense


def _framework(positions: Any, edges: Any) -> tuple[Float64Array, given.Int64Array]:
    points = given.positions_array(positions)
    bars = given.edge_array(edges)
    n = points.shape[0]
    if len(bars):
        low, high = int(bars.min()), int(bars.max())
        if low < 0 or high >= n:
            bad = low if low < 0 else high
            raise ValueError(f"edges: node number {bad} is outside 0 .. {n - 1} (positions has {n} rows)")
        loops = np.flatnonzero(bars[:, 0] == bars[:, 1])
        if len(loops):
            raise ValueError(f"edges: edge {int(loops[0])} is a self-loop at node {int(bars[loops[0], 0])}")
    return points, bars


def _rigidity_matrix(points: Float64Array, bars: given.Int64Array) -> scipy.sparse.csr_matrix:
    n, d = points.shape
    m = len(bars)
    difference = points[bars[:, 0]] - points[bars[:, 1]]
    columns = np.concatenate([bars[:, :1] * d + np.arange(d), bars[:, 1:] * d + np.arange(d)], axis=1)
    values = np.concatenate([difference, -difference], axis=1)
    indptr = np.arange(0, 2 * d * m + 1, 2 * d)
    return scipy.sparse.csr_matrix((values.ravel(), columns.ravel(), indptr), shape=(m, n * d))


def _stress_array(stress: Any, m: int) -> Float64Array:
    array = np.asarray(stress)
    if array.dtype == np.bool_ or not (np.issubdtype(array.dtype, np.integer) or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(f"stress must hold real weights, got an array of {array.dtype}")
    if array.shape != (m,):
        raise ValueError(f"stress must have one weight per bar, shape ({m},), got shape {array.shape}")
    weights = np.asarray(array, dtype=np.float64)
    if not np.all(np.isfinite(weights)):
        raise ValueError("stress must be finite (no NaN or infinite weights)")
    return weights

