"""Shapes from distances: classical MDS of a complete distance matrix, realization of a
graph from some of its bar lengths (exact or noisy, with or without anchors), and the
Cramér–Rao bound that says how well noisy lengths can place the nodes.

- `classical_mds` -- the d leading eigenpairs of the double-centred squared
  distances, by block subspace iteration with a residual-based stop; the
  only O(n²) work, one product of that matrix with a block of vectors per
  step, runs natively without the interpreter lock and without forming it.
- `realize` -- positions whose distances fit the given bar lengths, whether
  the data determine them (global rigidity) and which nodes to trust.
- `localization_bound` -- the Cramér–Rao bound for Gaussian range noise.

How `realize` finds the fit, and why so: a start that does not depend on
luck (the nodes that trilateration places from the lengths alone, exactly
for exact lengths, and the rest fitted to them held fixed; see `_start`;
classical MDS of the shortest-path distances from a few far-apart landmark
nodes gives the rough positions it needs); when that start does not
already fit every bar, a Levenberg–Marquardt descent in
one extra dimension whose coordinate is pressed flat step by step (a fold
of the plane can open through space, so local minima of the plane are left
behind), a final Levenberg–Marquardt solve of the weighted least-squares
problem in d dimensions on the sparse rigidity matrix, and, where a few bars
still carry most of the misfit, a repair of that neighbourhood alone from
many starts. Its damped normal
equations are symmetric positive definite. Up to 12 000 unknowns they are
factored with SciPy's sparse LU in a minimum-degree order without pivoting
(measured: several times faster than with partial pivoting); beyond, where
that factor fills in badly, they are solved by conjugate gradients
preconditioned with the bar graph's Laplacian (see `_refine`).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _graph_input as given
from . import _native, _refine, _start
from .frameworks import trivial_motions

__all__ = ["LocalizationBound", "MDSResult", "Realization", "classical_mds", "localization_bound", "realize"]

Float64Array = npt.NDArray[np.float64]
_TINY = float(np.finfo(float).tiny)  # the least positive normal double
Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]

# Problems at most this large are solved by a dense eigen-decomposition: exact and quicker there.
_DENSE_MDS_LIMIT = 200
# Extra vectors of the subspace iteration beyond the d wanted: they speed up convergence.
_MDS_OVERSAMPLING = 6
_LANDMARKS = 20
# A fit is taken for a fold when its worst 1 % of bars carry more than this share of the misfit,
# and then lifted and flattened again at most this many times.
_FOLD_SHARE = 0.5
_RETRIES = 3
# A fold's region: the ends of its worst bars and this many bars around them, re-solved this many times.
_REGION_HOPS = 2
_REGION_TRIES = 12
# Graphs this small are re-solved from other starts once whenever they misfit: a few bars can
# carry the misfit of noise as well as of a fold, and the tries cost little.
_SMALL_GRAPH = 32
# Anchor pairs whose distance differs from a bar measured between them by more than this
# fraction of the bar's length contradict the measurements.
_ANCHOR_CONTRADICTION = 0.1
# A descent whose cost falls by less than this fraction per step, this many steps running, is
# crawling (converging steps shrink the cost's decrease quadratically, so they pass this in one or two).
_CRAWL = 1e-4
_CRAWL_STEPS = 10
# A start whose squared misfit is below this share of the squared lengths already fits every bar
# (exact lengths placed by trilateration): the descent polishes it, nothing has to be unfolded.
_FITTED_START = 1e-16
# The dense Fisher information of `localization_bound` is refused beyond this many unknowns.
_BOUND_UNKNOWN_LIMIT = 12_000


@dataclass(frozen=True, repr=False)
class MDSResult:
    """Result of `classical_mds`.

    Attributes
    ----------
    coordinates : ndarray, shape (n, d)
        The points: eigenvector k scaled by the square root of eigenvalue k
        (0 where that is not positive).
    eigenvalues : ndarray, shape (d,)
        The d largest eigenvalues of the double-centred squared distances, largest first.
    stress : float
        Kruskal's stress-1 of the coordinates against the distances (0 for exact data).
    iterations : int
        Subspace-iteration steps taken (0 for the dense solve of small problems).
    converged : bool
        Every eigenpair's residual fell below the tolerance.
    """

    coordinates: Float64Array
    eigenvalues: Float64Array
    stress: float
    iterations: int
    converged: bool

    def __repr__(self) -> str:
        n, d = self.coordinates.shape
        values = ", ".join(f"{value:.6g}" for value in self.eigenvalues)
        return (f"MDSResult(n={n}, d={d}, eigenvalues=[{values}], stress={self.stress:.3g}, "
                f"iterations={self.iterations}, converged={self.converged})")


@dataclass(frozen=True, repr=False)
class Realization:
    """Result of `realize`.

    Attributes
    ----------
    positions : ndarray, shape (n, d)
        The fitted positions (see `realize` for their placement).
    residuals : ndarray, shape (m,)
        Fitted length minus given length, per bar, in the order given.
    stress : float
        Kruskal's stress-1 over the bars: ``sqrt(sum residual² / sum length²)``.
    iterations : int
        Refinement steps taken, over all stages.
    converged : bool
        The final least-squares descent reached its tolerance (a step or a
        cost decrease below 1e-12 relative, or an exact fit) and the misfit
        left is not gathered on a few bars, as it is at a fold (a local
        minimum that is not the shape).
    unique : bool or None
        The bar graph is generically globally rigid in d, so the lengths fix
        the shape up to a rigid motion (with d + 1 anchors in general
        position: exactly). None where no test is available (see `realize`).
    trusted : ndarray of bool, shape (n,)
        Nodes whose positions the lengths determine (see `realize`).
    nodes : list
        The node of each row: ``0 .. n-1``, or the nodes of a NetworkX graph.
    """

    positions: Float64Array
    residuals: Float64Array
    stress: float
    iterations: int
    converged: bool
    unique: bool | None
    trusted: BoolArray
    nodes: list[Any] = field(default_factory=list)

    def __repr__(self) -> str:
        n, d = self.positions.shape
        worst = float(np.max(np.abs(self.residuals))) if len(self.residuals) else 0.0
        return (f"Realization(n={n}, d={d}, bars={len(self.residuals)}, stress={self.stress:.3g}, "
                f"max |residual|={worst:.3g}, iterations={self.iterations}, converged={self.converged}, "
                f"unique={self.unique}, trusted={int(np.sum(self.trusted))} of {n})")


@dataclass(frozen=True, repr=False)
class LocalizationBound:
    """Result of `localization_bound`.

    Attributes
    ----------
    rmse : float
        ``sqrt(trace(F⁺) / k)`` over the k free nodes: the least root-mean-square
        position error of any unbiased estimator (infinite for a flexible framework).
    node_rmse : ndarray, shape (n,)
        Per node, the square root of the trace of its d × d block of F⁺ (0 at anchors).
    """

    rmse: float
    node_rmse: Float64Array

    def __repr__(self) -> str:
        return f"LocalizationBound(rmse={self.rmse:.6g}, worst node={float(np.max(self.node_rmse, initial=0.0)):.6g})"


# --------------------------------------------------------------------------- classical MDS


def classical_mds(distances: npt.ArrayLike, d: int = 2, *, tol: float = 1e-11, max_iter: int = 300,
                  seed: int = 0) -> MDSResult:
    """Classical multidimensional scaling of a complete distance matrix.

    The points are the d leading eigenvectors of ``B = -1/2 H (D∘D) H``
    (H the centring matrix), scaled by the square roots of their
    eigenvalues. Only those d eigenpairs are computed, by block subspace
    iteration with d + 6 vectors and Rayleigh–Ritz steps; it stops when
    every residual ``||B v - λ v||`` is at most ``tol`` times the largest
    Ritz value's magnitude. B is never formed: each step multiplies the
    block by the squared distances natively, reading the matrix once.
    Matrices of at most 200 rows are decomposed densely instead.

    Exact Euclidean distances in d dimensions give B rank d, so the
    iteration stops after two or three steps and recovers the points to
    the rounding of the data. The result is centred; the sign of each axis
    makes the coordinate of largest magnitude along it positive.

    Parameters
    ----------
    distances : array_like, shape (n, n)
        Symmetric, finite distances; the diagonal is read as given.
    d : {2, 3}
        The dimension of the points (default 2); n must exceed d.
    tol : float, optional
        Relative residual tolerance (default 1e-11).
    max_iter : int, optional
        Most subspace-iteration steps (default 300).
    seed : int, optional
        Seed of the random starting block (default 0).

    Returns
    -------
    MDSResult
        ``coordinates``, ``eigenvalues``, ``stress``, ``iterations``, ``converged``.

    Raises
    ------
    TypeError
        Non-numeric distances or a non-integer d.
    ValueError
        A matrix that is not square or not symmetric, a NaN or an infinity,
        d outside {2, 3}, or n <= d.

    Examples
    --------
    >>> import numpy as np
    >>> points = np.array([[0.0, 0.0], [3.0, 0.0], [0.0, 4.0], [3.0, 4.0]])
    >>> dist = np.linalg.norm(points[:, None] - points[None], axis=-1)
    >>> result = classical_mds(dist)
    >>> np.round(result.eigenvalues, 6), result.stress < 1e-12
    (array([16.,  9.]), True)
    """
    matrix = _distance_matrix(distances)
    dim = given.dimension(d)
    tolerance = given.tolerance(tol)
    steps = given.integer(max_iter, "max_iter")
    if steps < 1:
        raise ValueError(f"max_iter must be at least 1, got {steps}")
    n = matrix.shape[0]
    if n <= dim:
        raise ValueError(f"distances must have more than d = {dim} rows, got {n}")
    if n <= _DENSE_MDS_LIMIT:
        values, vectors, iterations, converged = _dense_leading(matrix, dim)
    else:
        values, vectors, iterations, converged = _subspace_leading(matrix, dim, tolerance, steps,
                                                                   given.seed_value(seed))
    vectors = _orient_columns(vectors)
    coordinates = np.ascontiguousarray(vectors * np.sqrt(np.maximum(values, 0.0)))
    stress = float(_native.kruskal_stress(matrix, coordinates))
    return MDSResult(coordinates, values, stress, iterations, converged)


def _distance_matrix(distances: npt.ArrayLike) -> Float64Array:
    array = np.asarray(distances)
    if array.dtype == np.bool_ or not (np.issubdtype(array.dtype, np.integer)
                                       or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(f"distances must hold real numbers, got an array of {array.dtype}")
    if array.ndim != 2 or array.shape[0] != array.shape[1]:
        raise ValueError(f"distances must be a square (n, n) matrix, got shape {array.shape}")
    matrix = np.ascontiguousarray(array, dtype=np.float64)
    rows = max(1, 4_000_000 // max(1, matrix.shape[0]))
    for start in range(0, matrix.shape[0], rows):  # in bands, so no n × n temporary is made
        band = matrix[start:start + rows]
        if not np.all(np.isfinite(band)):
            raise ValueError("distances must be finite (no NaN or infinite entries)")
        if not np.array_equal(band, matrix[:, start:start + rows].T):
            raise ValueError("distances must be symmetric")
    return matrix


def _dense_leading(matrix: Float64Array, d: int) -> tuple[Float64Array, Float64Array, int, bool]:
    import scipy.linalg  # type: ignore[import-untyped, unused-ignore]

    n = matrix.shape[0]
    squares = matrix * matrix
    centred = squares - squares.mean(axis=0) - squares.mean(axis=1)[:, None] + squares.mean()
    values, vectors = scipy.linalg.eigh(-0.5 * centred, subset_by_index=[n - d, n - 1])
    return values[::-1].copy(), vectors[:, ::-1].copy(), 0, True


def _subspace_leading(matrix: Float64Array, d: int, tol: float, max_iter: int,
                      seed: int) -> tuple[Float64Array, Float64Array, int, bool]:
    n = matrix.shape[0]
    width = min(n, d + _MDS_OVERSAMPLING)
    block, _ = np.linalg.qr(np.random.default_rng(seed).standard_normal((n, width)))
    values = np.zeros(d)
    vectors = block[:, :d]
    for step in range(1, max_iter + 1):
        product = np.asarray(_native.centred_gram_product(matrix, np.ascontiguousarray(block))).reshape(n, width)
        small = block.T @ product
        ritz_values, ritz_vectors = np.linalg.eigh(0.5 * (small + small.T))
        order = np.argsort(-ritz_values)
        ritz_values, ritz_vectors = ritz_values[order], ritz_vectors[:, order]
        vectors = block @ ritz_vectors
        images = product @ ritz_vectors
        values = ritz_values[:d].copy()
        residuals = np.linalg.norm(images[:, :d] - vectors[:, :d] * values, axis=0)
        if np.all(residuals <= tol * max(float(np.max(np.abs(ritz_values))), _TINY)):
            return values, vectors[:, :d].copy(), step, True
        block, _ = np.linalg.qr(images)
    return values, vectors[:, :d].copy(), max_iter, False


def _orient_columns(vectors: Float64Array) -> Float64Array:
    """Flip each column so that its entry of largest magnitude is positive."""
    largest = vectors[np.argmax(np.abs(vectors), axis=0), np.arange(vectors.shape[1])]
    signs: Float64Array = np.where(largest < 0, -1.0, 1.0)
    return vectors * signs


# --------------------------------------------------------------------------- realization


def realize(n: Any, edges: npt.ArrayLike | None = None, lengths: npt.ArrayLike | None = None, d: int = 2, *,
            anchors: Mapping[Any, npt.ArrayLike] | None = None, weights: npt.ArrayLike | None = None,
            seed: int = 0, length_attribute: str = "length", max_iter: int = 100) -> Realization:
    """Place the nodes of a graph so that its bars have the given lengths.

    Exact lengths on a generically globally rigid graph give the true shape
    (up to a rigid motion, or exactly with anchors); noisy lengths give the
    weighted least-squares fit, ``min sum w_e (|p_i - p_j| - l_e)²``, which
    for Gaussian noise of equal spread is the maximum-likelihood estimate
    and reaches the `localization_bound` as the noise gets small.

    The fit starts from the nodes that trilateration places from the lengths
    alone (each from d + 1 placed neighbours, growing from (d + 1)-cliques;
    a node with d placed neighbours takes the mirror image whose twin
    contradicts a bar, alone or with a guess next to it, or else, as a
    heuristic for bars that join near pairs, the image that no placed node
    without a bar to it crowds), which exact lengths place exactly when
    the heuristic chooses right; the other nodes
    start from classical MDS of shortest-path distances from 20 far-apart
    landmark nodes (the first chosen by ``seed``) and are fitted with the
    placed ones held, lifted into d extra dimensions and pressed flat, with
    clusters of misfit re-solved locally (Eren et al. 2004 for trilateration;
    dimensional relaxation for the lift). Unless the start fits every bar,
    the whole is then improved by a descent in d + 1 dimensions whose extra
    coordinate is pressed to zero; the least-squares problem is solved by
    Levenberg–Marquardt on the sparse rigidity matrix. When a few bars carry
    most of the remaining misfit (the mark of a fold, not of noise), the
    nodes around them are re-solved from scattered and reflected starts with
    the rest held fixed, at most three times, keeping only an improvement.

    What the data determine:

    - ``unique``: whether the graph is generically globally rigid in d, by
      `tarvel_tools.rigidity.is_globally_rigid` in the plane; in space by
      ``is_globally_rigid(n, edges, d=3)`` where that test exists, None
      otherwise. A graph with a node of at most d bars is not (that node
      can be reflected), which is decided without the test.
    - ``trusted``: a node is trusted when it lies in the core of the graph
      (what is left after repeatedly removing the nodes with at most d bars)
      and that core is globally rigid: its lengths then fix the core's shape,
      so those positions are right whenever the fit is exact. All nodes are
      trusted when the graph is globally rigid; none when the core is not
      globally rigid or no test exists; anchors always are.

    Placement: with anchors, the anchors keep their given positions and the
    rest is fitted to them (d + 1 anchors in general position on a globally
    rigid graph fix every node). Without anchors, the positions are centred
    at their mean and turned to their principal axes, x along the largest
    spread, each axis pointing towards the node farthest from the centre
    along it.

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph whose edges carry their lengths in
        the attribute ``length_attribute`` (then ``edges`` and ``lengths``
        are omitted and anchors are keyed by its nodes).
    edges : array_like, shape (m, 2)
        The bars, as pairs of node numbers; a pair may repeat (two measurements).
    lengths : array_like, shape (m,)
        Positive, finite bar lengths.
    d : {2, 3}
        The dimension (default 2).
    anchors : dict, optional
        Node -> known position (d coordinates).
    weights : array_like, shape (m,), optional
        Positive weights of the bars (for example 1 / variance); default all 1.
    seed : int, optional
        Seed of the first landmark (default 0): the result is a function of the input and the seed.
    length_attribute : str, optional
        The edge attribute holding the length in a NetworkX graph (default ``"length"``).
    max_iter : int, optional
        Most steps of the final least-squares descent (default 100).

    Returns
    -------
    Realization
        ``positions``, ``residuals``, ``stress``, ``iterations``, ``converged``,
        ``unique``, ``trusted``, ``nodes``.

    Raises
    ------
    TypeError
        Non-numeric lengths, weights or anchor positions, non-integer edges or n.
    ValueError
        A length that is not positive and finite, a count of lengths or
        weights that differs from the number of edges, a node out of range
        or a self-loop, anchors that are out of range, of the wrong
        dimension or contradict a bar between them, d outside {2, 3}, or a
        disconnected graph (each connected part must be realized on its own:
        nothing fixes the parts relative to each other).

    Examples
    --------
    A square with both diagonals (K4) is globally rigid, so its six lengths
    give back the square:

    >>> import numpy as np
    >>> square = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])
    >>> bars = [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3)]
    >>> lengths = [np.linalg.norm(square[i] - square[j]) for i, j in bars]
    >>> result = realize(4, bars, lengths)
    >>> result.unique, bool(np.max(np.abs(result.residuals)) < 1e-12)
    (True, True)
    """
    graph, bar_lengths, node_labels = _graph_and_lengths(n, edges, lengths, length_attribute)
    dim = given.dimension(d)
    bar_weights = _weights(weights, len(graph.edges))
    anchor_nodes, anchor_positions = _anchors(anchors, graph, dim, bar_lengths, node_labels)
    steps = given.integer(max_iter, "max_iter")
    if steps < 1:
        raise ValueError(f"max_iter must be at least 1, got {steps}")
    _require_connected(graph)
    rng = np.random.default_rng(given.seed_value(seed))
    positions, iterations, converged = _fit(graph, bar_lengths, bar_weights, dim, anchor_nodes,
                                            anchor_positions, rng, steps)
    if not len(anchor_nodes):
        positions = _canonical_placement(positions)
    residuals = _bar_distances(positions, graph.edges) - bar_lengths
    stress = float(np.sqrt(np.sum(residuals**2) / np.sum(bar_lengths**2))) if len(bar_lengths) else 0.0
    unique, trusted = _what_is_determined(graph, dim)
    trusted[anchor_nodes] = True
    labels = node_labels if node_labels is not None else list(range(graph.n))
    return Realization(positions, residuals, stress, iterations, converged, unique, trusted, labels)


def _graph_and_lengths(n: Any, edges: Any, lengths: Any,
                       attribute: str) -> tuple[given.GraphInput, Float64Array, list[Any] | None]:
    if given.is_networkx_graph(n):
        if edges is not None or lengths is not None:
            raise TypeError("edges and lengths must be omitted when a graph is given: its edges and their "
                            f"{attribute!r} attribute are used")
        graph = given.as_graph(n, None)
        values = []
        for u, v, data in n.edges(data=True):
            if attribute not in data:
                raise ValueError(f"lengths: edge ({u!r}, {v!r}) has no {attribute!r} attribute")
            values.append(data[attribute])
        bar_lengths = _lengths(values, len(graph.edges))
        labels = list(graph.node_labels) if graph.node_labels is not None else None
    else:
        graph = given.as_graph(n, edges)
        if lengths is None:
            raise TypeError("lengths are required when n is a number of nodes")
        bar_lengths = _lengths(lengths, len(graph.edges))
        labels = None
    _check_edge_ends(graph)
    return graph, bar_lengths, labels


def _check_edge_ends(graph: given.GraphInput) -> None:
    ends = graph.edges
    if len(ends) == 0:
        return
    outside = (ends < 0) | (ends >= graph.n)
    if np.any(outside):
        row = int(np.flatnonzero(outside.any(axis=1))[0])
        raise ValueError(f"edges: row {row} {tuple(int(v) for v in ends[row])} has a node outside 0 .. {graph.n - 1}")
    loops = np.flatnonzero(ends[:, 0] == ends[:, 1])
    if len(loops):
        raise ValueError(f"edges: row {int(loops[0])} is a self-loop at node {int(ends[loops[0], 0])}")


def _real_vector(values: Any, count: int, name: str) -> Float64Array:
    array = np.asarray(values)
    if array.dtype == np.bool_ or not (np.issubdtype(array.dtype, np.integer)
                                       or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(f"{name} must hold real numbers, got an array of {array.dtype}")
    if array.ndim != 1 and not (array.size == 0 and count == 0):
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    if array.size != count:
        raise ValueError(f"{name}: got {array.size} values for {count} edges")
    vector = np.ascontiguousarray(array.reshape(count), dtype=np.float64)
    bad = np.flatnonzero(~np.isfinite(vector) | (vector <= 0))
    if len(bad):
        raise ValueError(f"{name} must be positive and finite: entry {int(bad[0])} is {vector[bad[0]]!r}")
    return vector


def _lengths(values: Any, count: int) -> Float64Array:
    return _real_vector(values, count, "lengths")


def _weights(weights: Any, count: int) -> Float64Array:
    if weights is None:
        return np.ones(count)
    return _real_vector(weights, count, "weights")


def _anchors(anchors: Any, graph: given.GraphInput, d: int, lengths: Float64Array,
             labels: list[Any] | None) -> tuple[Int64Array, Float64Array]:
    if anchors is None:
        return np.empty(0, dtype=np.int64), np.empty((0, d))
    if not isinstance(anchors, Mapping):
        raise TypeError(f"anchors must be a mapping of node -> position, got {type(anchors).__name__}")
    number_of = {label: number for number, label in enumerate(labels)} if labels is not None else None
    nodes, points = [], []
    for node, position in anchors.items():
        if number_of is not None:
            if node not in number_of:
                raise ValueError(f"anchors: {node!r} is not a node of the graph")
            index = number_of[node]
        else:
            if isinstance(node, bool) or not isinstance(node, numbers.Integral):
                raise TypeError(f"anchors: nodes must be node numbers, got {node!r}")
            index = int(node)
            if not 0 <= index < graph.n:
                raise ValueError(f"anchors: node {index} is outside 0 .. {graph.n - 1}")
        point = np.asarray(position)
        if point.dtype == np.bool_ or not (np.issubdtype(point.dtype, np.integer)
                                           or np.issubdtype(point.dtype, np.floating)):
            raise TypeError(f"anchors: the position of node {node!r} must hold real coordinates")
        if point.shape != (d,) or not np.all(np.isfinite(point)):
            raise ValueError(f"anchors: the position of node {node!r} must be {d} finite coordinates, got {position!r}")
        nodes.append(index)
        points.append(point.astype(np.float64))
    anchor_nodes = np.array(nodes, dtype=np.int64)
    anchor_positions = np.array(points, dtype=np.float64).reshape(-1, d)
    _check_anchor_bars(graph, lengths, anchor_nodes, anchor_positions)
    return anchor_nodes, anchor_positions


def _check_anchor_bars(graph: given.GraphInput, lengths: Float64Array, nodes: Int64Array,
                       positions: Float64Array) -> None:
    where = np.full(graph.n, -1)
    where[nodes] = np.arange(len(nodes))
    ends = where[graph.edges] if len(graph.edges) else np.empty((0, 2), dtype=np.int64)
    both = np.flatnonzero((ends[:, 0] >= 0) & (ends[:, 1] >= 0)) if len(ends) else np.empty(0, dtype=np.int64)
    for row in both:
        a, b = ends[row]
        apart = float(np.linalg.norm(positions[a] - positions[b]))
        if abs(apart - lengths[row]) > _ANCHOR_CONTRADICTION * lengths[row]:
            i, j = graph.edges[row]
            raise ValueError(f"anchors: nodes {int(i)} and {int(j)} are {apart:.6g} apart, but bar {int(row)} "
                             f"between them has length {lengths[row]:.6g}")


def _require_connected(graph: given.GraphInput) -> None:
    from scipy.sparse.csgraph import connected_components  # type: ignore[import-untyped, unused-ignore]

    if graph.n <= 1:
        return
    parts, _ = connected_components(_adjacency(graph.n, graph.edges, np.ones(len(graph.edges))), directed=False)
    if parts > 1:
        raise ValueError(f"edges: the graph falls into {parts} connected parts, whose relative positions no "
                         "length fixes; realize each part on its own")


def _adjacency(n: int, edges: Int64Array, values: Float64Array) -> Any:
    import scipy.sparse  # type: ignore[import-untyped, unused-ignore]

    matrix = scipy.sparse.coo_matrix((values, (edges[:, 0], edges[:, 1])), shape=(n, n)).tocsr()
    return matrix + matrix.T


def _bar_distances(positions: Float64Array, edges: Int64Array) -> Float64Array:
    if len(edges) == 0:
        return np.empty(0)
    distances: Float64Array = np.linalg.norm(positions[edges[:, 0]] - positions[edges[:, 1]], axis=1)
    return distances


# The fit ---------------------------------------------------------------------------------


def _fit(graph: given.GraphInput, lengths: Float64Array, weights: Float64Array, d: int, anchor_nodes: Int64Array,
         anchor_positions: Float64Array, rng: np.random.Generator, max_iter: int) -> tuple[Float64Array, int, bool]:
    n, edges = graph.n, graph.edges
    if n <= 1:
        positions = np.zeros((n, d))
        positions[anchor_nodes] = anchor_positions
        return positions, 0, True
    start = _start.start(n, edges, lengths, weights, d, rng, lambda: _landmark_start(n, edges, lengths, d, rng),
                         _least_squares)
    positions, iterations = start, 0
    if _weighted_cost(start, edges, lengths, weights) > _FITTED_START * float(np.sum(weights * lengths**2)):
        lifted = np.concatenate([positions, 1e-2 * _spread(positions) * rng.standard_normal((n, 1))], axis=1)
        for flattening in (1e-3, 1e-1, 10.0):
            lifted, steps, _ = _least_squares(edges, lengths, weights, lifted, np.empty(0, dtype=np.int64), 8,
                                              flattening=flattening, flat_from=d)
            iterations += steps
        positions = lifted[:, :d].copy()
    positions, steps, converged = _least_squares(edges, lengths, weights, positions, np.empty(0, dtype=np.int64),
                                                 max_iter)
    iterations += steps
    for attempt in range(_RETRIES):
        small = attempt == 0 and n <= _SMALL_GRAPH and \
            _weighted_cost(positions, edges, lengths, weights) > 1e-20 * float(np.sum(weights * lengths**2))
        if not small and not _folded(positions, edges, lengths, weights):
            break
        retry, steps, retry_converged = _unfold(positions, edges, lengths, weights, d, rng, max_iter)
        iterations += steps
        if _weighted_cost(retry, edges, lengths, weights) >= _weighted_cost(positions, edges, lengths, weights):
            break
        positions, converged = retry, retry_converged
    if len(anchor_nodes):
        positions = _align_to_anchors(positions, anchor_nodes, anchor_positions)
        positions[anchor_nodes] = anchor_positions  # exactly where given, the rest fitted to them
        positions, steps, converged = _least_squares(edges, lengths, weights, positions, anchor_nodes, max_iter)
        iterations += steps
    # A descent also stops at a local minimum; a fold left is not convergence.
    return positions, iterations, converged and not _folded(positions, edges, lengths, weights)


def _weighted_cost(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array) -> float:
    return float(np.sum(weights * (_bar_distances(positions, edges) - lengths) ** 2))


def _folded(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array) -> bool:
    """Whether the misfit looks like a fold rather than noise: a few bars carry most of it.

    Under independent noise the worst 1 % of the bars carry about a tenth of
    the weighted squared residual; at a local minimum of a folded layout the
    misfit gathers on the bars around the fold.
    """
    misfit = weights * (_bar_distances(positions, edges) - lengths) ** 2
    total = float(np.sum(misfit))
    if total <= 1e-24 * float(np.sum(weights * lengths**2)):
        return False
    worst = max(1, len(misfit) // 100)
    return float(np.sum(np.sort(misfit)[-worst:])) > _FOLD_SHARE * total


def _unfold(positions: Float64Array, edges: Int64Array, lengths: Float64Array, weights: Float64Array, d: int,
            rng: np.random.Generator, max_iter: int) -> tuple[Float64Array, int, bool]:
    """Re-solve the neighbourhood of the worst bars from scattered starts, the rest held fixed.

    A fold is local: the nodes around the bars that carry the misfit sit on
    the wrong side of their neighbours. Small subproblems are cheap, so they
    get many tries (scattered and reflected copies of the region, and random
    places in the layout's box), and the
    best one that lowers the misfit is kept before a global descent.
    """
    misfit = weights * (_bar_distances(positions, edges) - lengths) ** 2
    worst = np.flatnonzero(misfit >= 0.01 * float(np.max(misfit)))
    region = np.zeros(len(positions), dtype=bool)
    region[edges[worst].ravel()] = True
    for _ in range(_REGION_HOPS):
        region[edges[region[edges].any(axis=1)].ravel()] = True
    if int(np.sum(region)) > max(_SMALL_GRAPH, len(positions) // 10):
        return positions, 0, False  # misfit everywhere: noise or a flexible graph, not a local fold
    touching = region[edges].any(axis=1)
    nodes = np.unique(edges[touching].ravel())
    local = np.full(len(positions), -1)
    local[nodes] = np.arange(len(nodes))
    sub_edges = np.ascontiguousarray(local[edges[touching]])
    sub_lengths, sub_weights = lengths[touching], weights[touching]
    fixed = np.flatnonzero(~region[nodes])
    moving = ~region[nodes]
    current = positions[nodes]
    best, best_cost = current, _weighted_cost(current, sub_edges, sub_lengths, sub_weights)
    scale = float(np.median(lengths))
    iterations = 0
    centre = current[~moving].mean(axis=0) if np.any(~moving) else current.mean(axis=0)
    low, high = current.min(axis=0), current.max(axis=0)
    for attempt in range(_REGION_TRIES):
        trial = current.copy()
        if attempt % 3 == 2:  # anywhere in the layout's box
            trial[~moving] = low + (high - low) * rng.random((int(np.sum(~moving)), d))
        elif attempt % 3 == 1:
            axis = rng.standard_normal(d)
            axis /= np.linalg.norm(axis)
            offset = trial[~moving] - centre
            trial[~moving] = centre + offset - 2.0 * np.outer(offset @ axis, axis)
        trial[~moving] += 0.5 * scale * rng.standard_normal((int(np.sum(~moving)), d))
        trial, steps, _ = _least_squares(sub_edges, sub_lengths, sub_weights, trial, fixed, 30)
        iterations += steps
        cost = _weighted_cost(trial, sub_edges, sub_lengths, sub_weights)
        if cost < best_cost:
            best, best_cost = trial, cost
    repaired = positions.copy()
    repaired[nodes] = best
    repaired, steps, converged = _least_squares(edges, lengths, weights, repaired, np.empty(0, dtype=np.int64),
                                                max_iter)
    return repaired, iterations + steps, converged


def _spread(positions: Float64Array) -> float:
    return float(np.sqrt(np.mean(np.sum((positions - positions.mean(axis=0)) ** 2, axis=1)))) or 1.0


def _landmark_start(n: int, edges: Int64Array, lengths: Float64Array, d: int,
                    rng: np.random.Generator) -> Float64Array:
    """Classical MDS of shortest-path distances from far-apart landmarks (landmark MDS)."""
    from scipy.sparse.csgraph import dijkstra  # type: ignore[import-untyped, unused-ignore]

    adjacency = _adjacency(n, edges, lengths)
    count = min(n, _LANDMARKS)
    landmarks = [int(rng.integers(n))]
    rows = [dijkstra(adjacency, directed=False, indices=landmarks[0])]
    nearest = rows[0].copy()
    while len(landmarks) < count:
        farthest = int(np.argmax(nearest))
        if nearest[farthest] == 0:
            break
        landmarks.append(farthest)
        rows.append(dijkstra(adjacency, directed=False, indices=farthest))
        nearest = np.minimum(nearest, rows[-1])
    squared = np.array(rows) ** 2
    among = squared[:, landmarks]
    k = len(landmarks)
    centring = np.eye(k) - 1.0 / k
    values, vectors = np.linalg.eigh(-0.5 * centring @ among @ centring)
    values, vectors = values[::-1][:d], vectors[:, ::-1][:, :d]
    scale = max(float(values[0]), _TINY)
    values = np.maximum(values, 1e-9 * scale)
    if len(values) < d:  # fewer landmarks than dimensions: pad with small random coordinates
        values = np.concatenate([values, np.full(d - len(values), 1e-9 * scale)])
        vectors = np.concatenate([vectors, np.zeros((k, d - vectors.shape[1]))], axis=1)
    start: Float64Array = -0.5 * (squared - among.mean(axis=1)[:, None]).T @ (vectors / np.sqrt(values))
    start += 1e-6 * _spread(start) * rng.standard_normal(start.shape)  # no two nodes start at one place
    return start


def _least_squares(edges: Int64Array, lengths: Float64Array, weights: Float64Array, positions: Float64Array,
                   fixed: Int64Array, max_iter: int, *, flattening: float = 0.0,
                   flat_from: int | None = None) -> tuple[Float64Array, int, bool]:
    """Levenberg–Marquardt on ``sum w (|p_i - p_j| - l)² + flattening * |coordinates from flat_from on|²``.

    The Jacobian is the rigidity matrix with rows scaled by sqrt(w) / length;
    fixed nodes keep their positions (their columns are left out).
    """
    import scipy.sparse  # type: ignore[import-untyped, unused-ignore]
    import scipy.sparse.linalg  # type: ignore[import-untyped, unused-ignore]

    n, dim = positions.shape
    m = len(edges)
    free = np.ones(n, dtype=bool)
    free[fixed] = False
    column_of = np.full(n, -1)
    column_of[free] = np.arange(int(np.sum(free)))
    unknowns = int(np.sum(free)) * dim
    if unknowns == 0 or m == 0:
        return positions, 0, True
    i, j = edges[:, 0], edges[:, 1]
    root_weights = np.sqrt(weights)
    rows = np.repeat(np.arange(m), dim)
    axes = np.tile(np.arange(dim), m)
    flat = flat_from if flat_from is not None else dim
    flat_nodes = np.flatnonzero(free)
    flat_columns = (column_of[flat_nodes][:, None] * dim + np.arange(flat, dim)).ravel()
    penalty_rows = scipy.sparse.csr_matrix(
        (np.full(len(flat_columns), math.sqrt(flattening)), (np.arange(len(flat_columns)), flat_columns)),
        shape=(len(flat_columns), unknowns)) if flattening > 0 else None
    scale_sq = float(np.sum(weights * lengths**2))

    def residuals_at(points: Float64Array) -> tuple[Float64Array, Float64Array, Float64Array]:
        difference = points[i] - points[j]
        distances = np.linalg.norm(difference, axis=1)
        residual = root_weights * (distances - lengths)
        if penalty_rows is not None:
            residual = np.concatenate([residual, math.sqrt(flattening) * points[flat_nodes, flat:].ravel()])
        return difference, distances, residual

    iterative = unknowns > _refine.ITERATIVE_FROM
    if iterative:
        _refine.require_solver_memory(n, m, dim)
        preconditioner = _refine.LaplacianPreconditioner(
            _refine.grounded_laplacian(column_of, edges, weights),
            _refine.coordinate_shares(positions, edges, weights),
            np.where(np.arange(dim) >= flat, flattening, 0.0))
    first_gradient: float | None = None
    slow = 0
    difference, distances, residual = residuals_at(positions)
    cost = float(residual @ residual)
    damping = 1e-3
    for step in range(1, max_iter + 1):
        if cost <= 1e-28 * scale_sq:
            return positions, step - 1, True
        unit = (root_weights / np.maximum(distances, _TINY))[:, None] * difference
        values, columns, keep = [], [], []
        for node, sign in ((i, 1.0), (j, -1.0)):
            owner = column_of[node]
            present = np.repeat(owner >= 0, dim)
            values.append(sign * unit.ravel()[present])
            columns.append((np.repeat(owner, dim) * dim + axes)[present])
            keep.append(rows[present])
        jacobian = scipy.sparse.csr_matrix(
            (np.concatenate(values), (np.concatenate(keep), np.concatenate(columns))), shape=(m, unknowns))
        if penalty_rows is not None:
            jacobian = scipy.sparse.vstack([jacobian, penalty_rows]).tocsr()
        gradient = jacobian.T @ residual
        if iterative:
            step_solver = _refine.DampedStep(jacobian, preconditioner, gradient, first_gradient)
            first_gradient = step_solver.gradient_norm if first_gradient is None else first_gradient
            diagonal = step_solver.diagonal
        else:
            normal = (jacobian.T @ jacobian).tocsc()
            diagonal = normal.diagonal()
        floor = 1e-12 * float(np.max(diagonal))
        while True:
            if iterative:
                delta = step_solver.solve(damping, floor)
            else:
                damped = normal + scipy.sparse.diags(damping * diagonal + floor)
                delta = _symmetric_solve(damped, -gradient)
            linearized = residual + jacobian @ delta
            if cost - float(linearized @ linearized) <= 1e-14 * cost:
                return positions, step, True  # the model promises no decrease: a stationary point
            trial = positions.copy()
            trial[free] += delta.reshape(-1, dim)
            trial_difference, trial_distances, trial_residual = residuals_at(trial)
            trial_cost = float(trial_residual @ trial_residual)
            if trial_cost < cost:
                decrease = cost - trial_cost
                positions, difference, distances, residual = trial, trial_difference, trial_distances, trial_residual
                cost = trial_cost
                damping = max(damping / 5.0, 1e-12)
                break
            damping *= 10.0
            if damping > 1e12:
                return positions, step, True  # no descent direction left: a stationary point
        size = float(np.linalg.norm(delta))
        if size <= 1e-12 * max(_spread(positions), 1e-300) or decrease <= 1e-12 * cost:
            return positions, step, True
        slow = slow + 1 if decrease <= _CRAWL * cost else 0
        if slow >= _CRAWL_STEPS:
            return positions, step, False  # crawling along a valley: a fold or a flex, not convergence
    return positions, max_iter, False


def _symmetric_solve(matrix: Any, right: Float64Array) -> Float64Array:
    """Solve with a sparse symmetric positive definite matrix: LU without pivoting in a fill-reducing order."""
    import scipy.sparse.linalg  # type: ignore[import-untyped, unused-ignore]

    factor = scipy.sparse.linalg.splu(matrix.tocsc(), permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0,
                                      options={"SymmetricMode": True})
    solution: Float64Array = factor.solve(right)
    return solution


def _align_to_anchors(positions: Float64Array, nodes: Int64Array, targets: Float64Array) -> Float64Array:
    """The rigid motion (reflection allowed) that best moves the anchors' fitted positions onto their targets."""
    moving = positions[nodes]
    moving_centre = moving.mean(axis=0)
    target_centre = targets.mean(axis=0)
    if len(nodes) == 1:
        shifted: Float64Array = positions - moving_centre + target_centre
        return shifted
    u, _, vt = np.linalg.svd((moving - moving_centre).T @ (targets - target_centre))
    aligned: Float64Array = (positions - moving_centre) @ (u @ vt) + target_centre
    return aligned


def _canonical_placement(positions: Float64Array) -> Float64Array:
    centred = positions - positions.mean(axis=0)
    _, _, axes = np.linalg.svd(centred, full_matrices=False)
    turned = centred @ axes.T
    return np.ascontiguousarray(_orient_columns(turned))


# What the lengths determine ---------------------------------------------------------------


def _what_is_determined(graph: given.GraphInput, d: int) -> tuple[bool | None, BoolArray]:
    core = _core(graph, d)
    unique: bool | None
    if not np.all(core):
        unique = False if graph.n > d + 1 else _globally_rigid(graph, d)
    else:
        unique = _globally_rigid(graph, d)
    if unique:
        return True, np.ones(graph.n, dtype=bool)
    if np.all(core) or not np.any(core):
        return unique, np.zeros(graph.n, dtype=bool)
    inside = np.flatnonzero(core)
    renumber = np.full(graph.n, -1)
    renumber[inside] = np.arange(len(inside))
    kept = core[graph.edges].all(axis=1)
    sub = given.GraphInput(len(inside), np.ascontiguousarray(renumber[graph.edges[kept]]))
    return unique, core if _globally_rigid(sub, d) else np.zeros(graph.n, dtype=bool)


def _core(graph: given.GraphInput, d: int) -> BoolArray:
    """Nodes left after repeatedly removing those with at most d bars to the rest."""
    simple = np.unique(np.sort(graph.edges, axis=1), axis=0)
    adjacency = _adjacency(graph.n, simple, np.ones(len(simple))).tocsr()
    degree = np.asarray(adjacency.sum(axis=1)).ravel()
    alive = np.ones(graph.n, dtype=bool)
    queue = list(np.flatnonzero(degree <= d))
    while queue:
        node = queue.pop()
        if not alive[node]:
            continue
        alive[node] = False
        for other in adjacency.indices[adjacency.indptr[node]:adjacency.indptr[node + 1]]:
            if alive[other]:
                degree[other] -= 1
                if degree[other] == d:
                    queue.append(other)
    return alive


def _globally_rigid(graph: given.GraphInput, d: int) -> bool | None:
    from . import rigidity

    if d == 2:
        return rigidity.is_globally_rigid(graph.n, graph.edges)
    test: Any = rigidity.is_globally_rigid
    try:
        return bool(test(graph.n, graph.edges, d=3))
    except TypeError:  # no test in space here
        return None


# --------------------------------------------------------------------------- the bound


def localization_bound(positions: npt.ArrayLike, edges: npt.ArrayLike, sigma: Any,
                       anchors: Any = None) -> LocalizationBound:
    """Cramér–Rao bound on the position error from range measurements with Gaussian noise.

    Each bar's length is measured with independent Gaussian noise of
    standard deviation ``sigma`` (one value, or one per bar). The Fisher
    information of the positions is ``F = Rᵀ diag(1/σ²) R`` with R the
    rigidity matrix of unit bar directions at ``positions``. With anchors
    their coordinates are known and their rows and columns leave F; without
    anchors the positions are fixed only up to a rigid motion, and the
    pseudo-inverse on the complement of the trivial motions (translations
    and rotations) bounds the error after the best alignment. A flexible
    framework gets an infinite bound. F is dense: at most 12 000 unknowns.

    Parameters
    ----------
    positions : array_like, shape (n, d)
        The true positions.
    edges : array_like, shape (m, 2)
        The measured bars.
    sigma : float or array_like, shape (m,)
        Positive standard deviation(s) of the length noise.
    anchors : iterable of int, optional
        Nodes whose positions are known exactly (a mapping's keys are used).

    Returns
    -------
    LocalizationBound
        ``rmse`` (root-mean-square over the free nodes) and ``node_rmse``.

    Examples
    --------
    >>> square = [[0, 0], [1, 0], [1, 1], [0, 1]]
    >>> k4 = [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3)]
    >>> bound = localization_bound(square, k4, 0.01)
    >>> round(bound.rmse, 5)
    0.0075
    """
    points = given.positions_array(positions)
    n, d = points.shape
    bars = given.edge_array(edges)
    _check_edge_ends(given.GraphInput(n, bars))
    spreads = _sigmas(sigma, len(bars))
    fixed = _anchor_set(anchors, n)
    free = np.ones(n, dtype=bool)
    free[fixed] = False
    unknowns = int(np.sum(free)) * d
    if unknowns > _BOUND_UNKNOWN_LIMIT:
        raise MemoryError(f"localization_bound: {unknowns} unknowns need a dense {unknowns} x {unknowns} "
                          f"Fisher information ({unknowns**2 * 8 / 2**30:.1f} GiB); at most "
                          f"{_BOUND_UNKNOWN_LIMIT} are allowed")
    information = _fisher_information(points, bars, spreads)
    keep = np.repeat(free, d)
    covariance = _bound_covariance(information[np.ix_(keep, keep)], points, len(fixed) == 0)
    node_rmse = np.zeros(n)
    if covariance is None:
        node_rmse[free] = np.inf
        return LocalizationBound(math.inf if unknowns else 0.0, node_rmse)
    per_node = np.diag(covariance).reshape(-1, d).sum(axis=1)
    node_rmse[free] = np.sqrt(np.maximum(per_node, 0.0))
    rmse = float(np.sqrt(max(float(np.sum(per_node)), 0.0) / max(int(np.sum(free)), 1)))
    return LocalizationBound(rmse, node_rmse)


def _sigmas(sigma: Any, count: int) -> Float64Array:
    if isinstance(sigma, numbers.Real) and not isinstance(sigma, bool):
        value = float(sigma)
        if not (math.isfinite(value) and value > 0):
            raise ValueError(f"sigma must be positive and finite, got {value}")
        return np.full(count, value)
    return _real_vector(sigma, count, "sigma")


def _anchor_set(anchors: Any, n: int) -> Int64Array:
    if anchors is None:
        return np.empty(0, dtype=np.int64)
    nodes = list(anchors.keys()) if isinstance(anchors, Mapping) else list(anchors)
    for node in nodes:
        if isinstance(node, bool) or not isinstance(node, numbers.Integral):
            raise TypeError(f"anchors must be node numbers, got {node!r}")
        if not 0 <= int(node) < n:
            raise ValueError(f"anchors: node {int(node)} is outside 0 .. {n - 1}")
    return np.unique(np.array(nodes, dtype=np.int64))


def _fisher_information(points: Float64Array, bars: Int64Array, sigmas: Float64Array) -> Float64Array:
    n, d = points.shape
    difference = points[bars[:, 0]] - points[bars[:, 1]]
    distances = np.linalg.norm(difference, axis=1)
    if np.any(distances == 0):
        raise ValueError("positions: a bar joins two nodes at the same place, whose direction is undefined")
    unit = difference / distances[:, None] / sigmas[:, None]
    rows = np.zeros((len(bars), n * d))
    index = np.arange(len(bars))
    for axis in range(d):
        rows[index, bars[:, 0] * d + axis] = unit[:, axis]
        rows[index, bars[:, 1] * d + axis] = -unit[:, axis]
    information: Float64Array = rows.T @ rows
    return information


def _bound_covariance(information: Float64Array, points: Float64Array, remove_motions: bool) -> Float64Array | None:
    """F⁺ on the complement of the trivial motions (or F⁻¹), or None when F is singular there."""
    import scipy.linalg  # type: ignore[import-untyped, unused-ignore]

    if information.shape[0] == 0:
        return information
    motions = trivial_motions(points) if remove_motions else np.zeros((information.shape[0], 0))
    scale = max(float(np.max(np.abs(np.diag(information)))), _TINY)
    regular = information + scale * motions @ motions.T
    try:
        factor = scipy.linalg.cho_factor(regular)
    except np.linalg.LinAlgError:
        return None
    inverse = scipy.linalg.cho_solve(factor, np.eye(information.shape[0]))
    values = np.linalg.eigvalsh(regular)
    if values[0] <= 1e-12 * values[-1]:
        return None
    covariance: Float64Array = inverse - motions @ motions.T / scale
    return covariance
