"""A framework split into the connected components of its bars.

The rigidity matrix of a framework is a direct sum over the components:
their bars (rows) and nodes (columns) are disjoint. Its singular values are
those of the pieces together, so both null spaces are direct sums of the
pieces' null spaces, decided by the same absolute threshold, and a basis
assembled from orthonormal bases of the pieces is orthonormal. Nodes
without bars belong to no piece: their coordinates move freely.

Pieces of equal shape are stacked and decomposed in one batched call.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import scipy.sparse  # type: ignore[import-untyped]  # SciPy ships no type information
import scipy.sparse.csgraph  # type: ignore[import-untyped]

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]


@dataclass(frozen=True)
class Piece:
    """One component: its nodes (ascending) and bars (indices into the framework's bars, ascending)."""

    nodes: Int64Array
    bars: Int64Array


@dataclass(frozen=True)
class DenseGroup:
    """Pieces of one shape, with their rigidity matrices stacked: ``matrices[i]`` belongs to ``pieces[i]``."""

    pieces: list[Piece]
    matrices: Float64Array


class FrameworkPieces:
    """The components of a framework's bars, and the nodes without bars."""

    def __init__(self, points: Float64Array, bars: Int64Array) -> None:
        self.points = points
        self.bars = bars
        n = points.shape[0]
        adjacency = scipy.sparse.coo_matrix((np.ones(len(bars)), (bars[:, 0], bars[:, 1])), shape=(n, n))
        _, labels = scipy.sparse.csgraph.connected_components(adjacency, directed=False)
        labels = np.asarray(labels, dtype=np.int64)
        degree = np.bincount(bars.ravel(), minlength=n)
        self.free_nodes: Int64Array = np.flatnonzero(degree == 0).astype(np.int64)
        # Components of nodes with bars, numbered 0 .. c-1 in order of their first node.
        with_bars = degree > 0
        _, component = np.unique(labels[with_bars], return_inverse=True)
        node_component = np.full(n, -1, dtype=np.int64)
        node_component[with_bars] = component
        self._node_component = node_component
        count = int(component.max()) + 1 if len(component) else 0
        self.pieces = [
            Piece(nodes, bar_list)
            for nodes, bar_list in zip(
                _grouped(node_component[with_bars], np.flatnonzero(with_bars), count),
                _grouped(node_component[bars[:, 0]], np.arange(len(bars)), count),
            )
        ]
        # Each node's and bar's position within its piece, for scattering into stacked matrices.
        self._local_node = np.zeros(n, dtype=np.int64)
        for piece in self.pieces:
            self._local_node[piece.nodes] = np.arange(len(piece.nodes))

    def piece_edges(self, piece: Piece) -> Int64Array:
        """The piece's bars as pairs of its local node numbers."""
        local: Int64Array = self._local_node[self.bars[piece.bars]]
        return local

    def dense_groups(self, pieces: list[Piece]) -> Iterator[DenseGroup]:
        """The given pieces grouped by shape, each group's rigidity matrices stacked."""
        d = self.points.shape[1]
        by_shape: dict[tuple[int, int], list[Piece]] = {}
        for piece in pieces:
            by_shape.setdefault((len(piece.bars), len(piece.nodes)), []).append(piece)
        for (rows, nodes), group in by_shape.items():
            matrices = np.zeros((len(group), rows, nodes * d))
            bar_index = np.concatenate([piece.bars for piece in group])
            stack = np.repeat(np.arange(len(group)), rows)
            row = np.tile(np.arange(rows), len(group))
            ends = self.bars[bar_index]
            difference = self.points[ends[:, 0]] - self.points[ends[:, 1]]
            first, second = self._local_node[ends[:, 0]] * d, self._local_node[ends[:, 1]] * d
            for axis in range(d):
                matrices[stack, row, first + axis] = difference[:, axis]
                matrices[stack, row, second + axis] = -difference[:, axis]
            yield DenseGroup(group, matrices)


def _grouped(keys: Int64Array, values: Int64Array, count: int) -> list[Int64Array]:
    """``values`` split by ``keys`` (0 .. count-1), each part in ascending order of value."""
    order = np.argsort(keys, kind="stable")
    bounds = np.searchsorted(keys[order], np.arange(count + 1))
    ordered = values[order]
    return [ordered[bounds[k] : bounds[k + 1]] for k in range(count)]
