"""Solves with many right-hand sides through the dense blocks of a sparse factor.

A sparse triangular factor falls into supernodes: runs of consecutive
columns that share their rows below the diagonal. Each is a dense block, a
triangle on top of a rectangle, so a solve with k right-hand sides costs one
small triangular solve and one matrix product per supernode, at the speed of
dense matrix arithmetic, where a column-by-column solve moves every
right-hand side through memory once per column.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import scipy.linalg  # type: ignore[import-untyped]  # SciPy ships no type information
import scipy.linalg.blas  # type: ignore[import-untyped]
import scipy.sparse  # type: ignore[import-untyped]
import scipy.sparse.linalg  # type: ignore[import-untyped]

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]


class _Supernode:
    """Rows ``top`` (a slice of consecutive columns): their lower ``triangle`` (None for one column, whose
    diagonal is ``pivot``), and the ``rectangle`` of the rows ``below``."""

    __slots__ = ("below", "pivot", "rectangle", "top", "triangle")

    def __init__(self, first: int, block: Float64Array, below: Int64Array) -> None:
        width = block.shape[1]
        self.top = slice(first, first + width)
        self.triangle = None if width == 1 else block[:width]
        self.pivot = float(block[0, 0])
        self.rectangle = block[width:] if len(below) else None
        self.below = below


class LowerBlocks:
    """A sparse lower triangular matrix (CSC, every diagonal entry stored) as dense supernodes."""

    def __init__(self, lower: scipy.sparse.csc_matrix) -> None:
        lower = scipy.sparse.csc_matrix(lower)
        lower.sort_indices()
        pointer, rows, data = lower.indptr, lower.indices, lower.data
        size = lower.shape[0]
        counts = np.diff(pointer)
        if size and (np.any(counts == 0) or np.any(rows[pointer[:-1]] != np.arange(size))):
            raise ValueError("a lower triangular factor with its diagonal stored first in each column is needed")
        self.unit = bool(np.all(data[pointer[:-1]] == 1.0))
        firsts = np.flatnonzero(~_continues_supernode(pointer, rows, counts))
        lasts = np.append(firsts[1:], size)
        self.supernodes: list[_Supernode] = []
        for first, last in zip(firsts.tolist(), lasts.tolist()):
            width, height = last - first, int(counts[first])
            if width == 1:
                block = data[pointer[first] : pointer[last]].reshape(height, 1)
            else:
                block = np.zeros((height, width))
                # The columns' entries lie one after another: the lower trapezoid of the block, column by column.
                block.T[np.tri(height, width, dtype=np.bool_).T] = data[pointer[first] : pointer[last]]
            self.supernodes.append(_Supernode(first, block, rows[pointer[first] + width : pointer[first + 1]]))

    def solve(self, x: Float64Array) -> None:
        """Overwrite the rows of ``x`` (size x k, C order) with L^-1 x."""
        unit = self.unit
        for node in self.supernodes:
            top = x[node.top]
            if node.triangle is not None:
                _solve_triangle(node.triangle, top, transposed=False, unit=unit)
            elif not unit:
                top /= node.pivot
            if node.rectangle is not None:
                x[node.below] -= node.rectangle @ top

    def solve_transposed(self, x: Float64Array) -> None:
        """Overwrite the rows of ``x`` (size x k, C order) with L^-T x."""
        unit = self.unit
        for node in reversed(self.supernodes):
            top = x[node.top]
            if node.rectangle is not None:
                top -= node.rectangle.T @ x[node.below]
            if node.triangle is not None:
                _solve_triangle(node.triangle, top, transposed=True, unit=unit)
            elif not unit:
                top /= node.pivot


def _solve_triangle(triangle: Float64Array, top: Float64Array, *, transposed: bool, unit: bool) -> None:
    """Overwrite ``top`` (C order) with T^-1 top or T^-T top, T the lower ``triangle``."""
    # top^T is in Fortran order: solving X^T T^T = top^T (or X^T T = top^T) from the right works in place.
    solved = scipy.linalg.blas.dtrsm(1.0, triangle, top.T, side=1, lower=1, trans_a=0 if transposed else 1, diag=int(unit), overwrite_b=1)
    if not np.shares_memory(solved, top):
        top[...] = solved.T


def _continues_supernode(pointer: npt.NDArray[np.int32], rows: npt.NDArray[np.int32], counts: npt.NDArray[np.int32]) -> npt.NDArray[np.bool_]:
    """For each column, whether its rows are those of the column before less that column's diagonal:
    one entry fewer, and each entry equal to the one a column's length before it."""
    size = len(counts)
    continues = np.zeros(size, dtype=np.bool_)
    if size < 2:
        return continues
    continues[1:] = counts[1:] == counts[:-1] - 1
    shift = np.repeat(counts, counts)
    position = np.arange(len(rows))
    candidate = np.repeat(continues, counts)
    same = ~candidate | (rows == rows[np.maximum(position - shift, 0)])
    continues &= np.logical_and.reduceat(same, pointer[:-1])
    return continues


class BlockSolver:
    """Solves A X = B with the factorisation P A Q = L U of a sparse SuperLU, through dense blocks."""

    def __init__(self, factor: scipy.sparse.linalg.SuperLU) -> None:
        # P A Q = L U with P taking row i to perm_r[i]: P b gathers b by the inverse permutation.
        self.row_gather = np.argsort(np.asarray(factor.perm_r))
        self.column_order = np.asarray(factor.perm_c)
        self.lower = LowerBlocks(factor.L)
        self.upper_transposed = LowerBlocks(factor.U.T.tocsc())
        self._work: Float64Array = np.empty((0, 0))

    def solve(self, right: Float64Array) -> Float64Array:
        # The work space is kept between solves of one width: fresh pages of a large array cost more
        # to touch first than the permutation itself.
        if self._work.shape != right.shape:
            self._work = np.empty(right.shape)
        x = np.take(right, self.row_gather, axis=0, out=self._work)
        self.lower.solve(x)
        self.upper_transposed.solve_transposed(x)
        result: Float64Array = np.take(x, self.column_order, axis=0)
        return result
