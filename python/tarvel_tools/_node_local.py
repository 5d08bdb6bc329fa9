"""What single nodes decide about a framework's null spaces.

A node with fewer than d bars moves freely in the directions perpendicular to
all of them: each such direction is a flex supported on that node alone
(``local_flexes``). A node with at most d bars in independent directions
holds them in equilibrium only with zero weights, so no self-stress is
non-zero on them; removing them may leave further such nodes
(``stress_free_bars`` peels them round by round). Both are read from the
d x deg matrix of the node's bar vectors, a few small batched singular value
decompositions per degree, instead of from the whole rigidity matrix.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import scipy.sparse  # type: ignore[import-untyped]  # SciPy ships no type information

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]

_PEELING_ROUNDS = 64
"""Peeling stops after this many rounds: what is left is only larger, never wrong."""


class _Incidence:
    """For each node, its bars and the vectors from the node to their other ends (CSR by node)."""

    def __init__(self, points: Float64Array, bars: Int64Array) -> None:
        n = points.shape[0]
        ends = np.concatenate([bars[:, 0], bars[:, 1]])
        others = np.concatenate([bars[:, 1], bars[:, 0]])
        order = np.argsort(ends, kind="stable")
        self.bar: Int64Array = np.tile(np.arange(len(bars), dtype=np.int64), 2)[order]
        self.vector: Float64Array = points[others[order]] - points[ends[order]]
        self.start: Int64Array = np.concatenate([[0], np.cumsum(np.bincount(ends, minlength=n))]).astype(np.int64)

    def entries(self, nodes: Int64Array) -> tuple[Int64Array, Int64Array]:
        """Each given node's incidence entries: (owner position in ``nodes``, entry index)."""
        counts = self.start[nodes + 1] - self.start[nodes]
        owner = np.repeat(np.arange(len(nodes), dtype=np.int64), counts)
        first = np.repeat(self.start[nodes] - np.concatenate([[0], np.cumsum(counts)[:-1]]), counts)
        index = (first + np.arange(int(counts.sum()), dtype=np.int64)).astype(np.int64, copy=False)
        return owner, index


def local_flexes(points: Float64Array, bars: Int64Array, threshold: float) -> scipy.sparse.csc_matrix:
    """Orthonormal columns (n d x k): at each node with fewer than d bars, the unit directions u with
    ``||D^T u|| <= threshold`` (D the node's bar vectors), supported on that node alone.

    ``R u`` has exactly the entries ``D^T u`` on the node's bars, so these are null directions of R by
    the same rule as a decomposition of the whole; distinct nodes give orthogonal columns.
    """
    n, d = points.shape
    degree = np.bincount(bars.ravel(), minlength=n)
    incidence = _Incidence(points, bars)
    rows: list[Int64Array] = []
    values: list[Float64Array] = []
    for count in range(1, d):
        nodes = np.flatnonzero(degree == count).astype(np.int64)
        if not len(nodes):
            continue
        _, entries = incidence.entries(nodes)
        vectors = incidence.vector[entries].reshape(len(nodes), count, d)
        _, singular, right = np.linalg.svd(vectors, full_matrices=True)
        rank = np.count_nonzero(singular > threshold, axis=1)
        node_index, direction = np.nonzero(np.arange(d) >= rank[:, None])
        coordinates = np.repeat(nodes[node_index] * d, d) + np.tile(np.arange(d), len(node_index))
        rows.append(coordinates.astype(np.int64, copy=False))
        values.append(right[node_index, direction].ravel())
    row = np.concatenate(rows) if rows else np.zeros(0, dtype=np.int64)
    value = np.concatenate(values) if values else np.zeros(0)
    columns = len(row) // d
    return scipy.sparse.csc_matrix((value, row, np.arange(0, d * columns + 1, d)), shape=(n * d, columns))


def stress_free_bars(points: Float64Array, bars: Int64Array, margin: float) -> BoolArray:
    """Bars on which every self-stress is zero: those at a node with at most d remaining bars whose
    vectors have their smallest singular value above ``margin``, removed round by round.

    At such a node the stress's weights w there satisfy ``D w = (R^T w)`` at the node, so
    ``||w|| <= ||R^T w|| / margin``: with a margin of 1e-3 ||R||_2, a stress whose residual is within
    the rank threshold tol ||R||_2 weighs at most 1e3 tol on these bars.
    """
    n, d = points.shape
    incidence = _Incidence(points, bars)
    alive = np.ones(len(bars), dtype=np.bool_)
    degree = np.bincount(bars.ravel(), minlength=n)
    check = np.flatnonzero((degree >= 1) & (degree <= d)).astype(np.int64)
    for _ in range(_PEELING_ROUNDS):
        if not len(check):
            break
        owner, entries = incidence.entries(check)
        keep = alive[incidence.bar[entries]]
        owner, entries = owner[keep], entries[keep]
        # Each checked node's remaining bar vectors as the columns of a d x d matrix, zero-padded.
        slot = np.arange(len(owner)) - np.searchsorted(owner, owner)
        stacked = np.zeros((len(check), d, d))
        stacked[owner, :, slot] = incidence.vector[entries]
        singular = np.linalg.svd(stacked, compute_uv=False)
        independent = np.count_nonzero(singular > margin, axis=1) == degree[check]
        removed = np.unique(incidence.bar[entries[independent[owner]]])
        if not len(removed):
            break
        alive[removed] = False
        touched = bars[removed].ravel()
        np.subtract.at(degree, touched, 1)
        touched = np.unique(touched)
        check = touched[(degree[touched] >= 1) & (degree[touched] <= d)].astype(np.int64)
    return ~alive
