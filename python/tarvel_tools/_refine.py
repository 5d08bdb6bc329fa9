"""Damped Gauss–Newton steps of a realization on large graphs, without factoring the rigidity matrix.

Each Levenberg–Marquardt step solves ``(JᵀJ + D) x = b``, with J the
rigidity matrix (rows ``sqrt(w) u_e`` at the two ends of bar e, u_e its
unit direction) and D a positive diagonal. A sparse factorization of that
dn × dn matrix fills in badly (about 6 s per step at n = 10⁵ in the plane,
as long in space at n = 10⁴), so large problems solve it by conjugate
gradients instead, preconditioned coordinate by coordinate with the bar
graph's weighted Laplacian: since ``u_e u_eᵀ <= I``, JᵀJ is bounded above
by the Laplacian times the identity of each coordinate, and on well
connected rigid graphs it is not far below, so a few tens of iterations
suffice. That Laplacian is one scalar n × n matrix, whose factor has a
fraction of the fill of the coupled one and serves every coordinate.

The step only needs to be accurate enough to descend (inexact Newton): the
iteration stops at a relative residual the caller sets, tighter as the
gradient shrinks, so the final steps still converge to the precision of
the data.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _memory

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]

# Problems with more unknowns than this are solved iteratively (measured: at 6000 unknowns a sparse
# factorization of the damped normal matrix is twice as fast, at 30 000 three times slower).
ITERATIVE_FROM = 12_000
# Dampings within this factor of one already factored reuse its preconditioner (measured: a
# factor costs as much as tens of iterations, and a damping off by this much costs a few).
_DAMPING_REUSE = 100.0
# The least damping in the preconditioner: it keeps the Laplacian of a graph without
# fixed nodes (singular along translations) positive definite, and below it the damping
# barely changes the matrix.
_LEAST_DAMPING = 1e-4
# A coordinate whose penalty exceeds this multiple of the largest node degree is preconditioned
# by its diagonal alone (the pressed-flat extra coordinate of a lift).
_DIAGONAL_FROM = 10.0
# Most conjugate-gradient iterations of one step: the step need not be exact to descend.
_CG_STEPS = 60


class LaplacianPreconditioner:
    """Solves with ``s_k (L + c diag(L)) + p_k I`` per coordinate k, for a few dampings c.

    L is the weighted Laplacian of the bars among the free nodes, grounded at
    the fixed ones; s_k the share of the bar weight that lies along
    coordinate k (so that the preconditioner has the scale of JᵀJ's block
    k); p_k a penalty on coordinate k (the pressing-flat term of a lift).
    """

    def __init__(self, laplacian: Any, shares: Float64Array, penalties: Float64Array) -> None:
        self._laplacian = laplacian
        self._degrees = laplacian.diagonal()
        self._largest_degree = float(np.max(self._degrees, initial=0.0))
        self._shares = np.maximum(shares, 1e-300)
        self._penalties = penalties
        self._factors: dict[tuple[float, float], Any] = {}

    def solve(self, right: Float64Array, damping: float) -> Float64Array:
        """Apply the preconditioner's inverse to ``right`` (length n·dim, node-major)."""
        dim = len(self._shares)
        block = right.reshape(-1, dim)
        out = np.empty_like(block)
        level = self._level(damping)
        shifts = self._penalties / self._shares
        for shift in np.unique(shifts):  # coordinates with one shift share a factor and a solve
            axes = np.flatnonzero(shifts == shift)
            if shift >= _DIAGONAL_FROM * self._largest_degree:  # the shift dominates: its diagonal will do
                out[:, axes] = block[:, axes] / ((1.0 + level) * self._degrees + shift)[:, None]
            else:
                out[:, axes] = self._factor(level, float(shift)).solve(np.ascontiguousarray(block[:, axes]))
        result: Float64Array = (out / self._shares).reshape(-1)
        return result

    def _level(self, damping: float) -> float:
        """A damping on a coarse logarithmic grid, so nearby dampings share one factor."""
        value = max(damping, _LEAST_DAMPING)
        exponent = math.log(value) / math.log(_DAMPING_REUSE)
        return float(_DAMPING_REUSE ** round(exponent))

    def _factor(self, level: float, shift: float) -> Any:
        key = (level, shift)
        if key not in self._factors:
            import scipy.sparse  # type: ignore[import-untyped, unused-ignore]
            import scipy.sparse.linalg  # type: ignore[import-untyped, unused-ignore]

            if len(self._factors) >= 4:
                self._factors.pop(next(iter(self._factors)))
            matrix = self._laplacian + scipy.sparse.diags(level * self._degrees + shift)
            self._factors[key] = scipy.sparse.linalg.splu(
                matrix.tocsc(), permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0, options={"SymmetricMode": True})
        return self._factors[key]


def grounded_laplacian(column_of: Int64Array, edges: Int64Array, weights: Float64Array) -> Any:
    """The weighted Laplacian of the bars on the free nodes (``column_of`` >= 0), grounded at the fixed ones."""
    import scipy.sparse  # type: ignore[import-untyped, unused-ignore]

    count = int(np.max(column_of)) + 1
    a, b = column_of[edges[:, 0]], column_of[edges[:, 1]]
    degrees = np.bincount(a[a >= 0], weights[a >= 0], minlength=count) + \
        np.bincount(b[b >= 0], weights[b >= 0], minlength=count)
    inner = (a >= 0) & (b >= 0)
    off = scipy.sparse.coo_matrix((-weights[inner], (a[inner], b[inner])), shape=(count, count))
    return (off + off.T + scipy.sparse.diags(degrees)).tocsc()


def conjugate_gradients(multiply: Callable[[Float64Array], Float64Array], right: Float64Array,
                        precondition: Callable[[Float64Array], Float64Array], rtol: float,
                        max_iter: int) -> tuple[Float64Array, int]:
    """Preconditioned conjugate gradients from zero until ``|r| <= rtol |right|``.

    Every iterate minimizes the quadratic model over a growing subspace, so
    even an early stop gives a descent direction. The loop runs in Python
    between short native calls, so Ctrl-C stops it at once.
    """
    solution = np.zeros_like(right)
    residual = right.copy()
    goal = rtol * float(np.linalg.norm(right))
    if goal == 0.0:
        return solution, 0
    direction = precondition(residual)
    product = float(residual @ direction)
    for step in range(1, max_iter + 1):
        image = multiply(direction)
        curvature = float(direction @ image)
        if not curvature > 0.0:
            return solution, step
        alpha = product / curvature
        solution += alpha * direction
        residual -= alpha * image
        if float(np.linalg.norm(residual)) <= goal:
            return solution, step
        preconditioned = precondition(residual)
        next_product = float(residual @ preconditioned)
        direction = preconditioned + (next_product / product) * direction
        product = next_product
    return solution, max_iter


def require_solver_memory(n: int, m: int, dim: int) -> None:
    """Refuse up front a problem whose working arrays alone exceed the machine's memory.

    The Jacobian and its transpose (2 dim entries per bar, 12 bytes each, twice),
    a dozen vectors of n·dim unknowns and of m bars, and the Laplacian factor
    (measured: fewer than 60 entries per node in the plane at n = 10⁵).
    """
    needed = 48 * dim * m + 12 * 8 * (n * dim + m) + 60 * 12 * n
    _memory.require_memory(needed, f"realize with {n} nodes and {m} bars")


def coordinate_shares(positions: Float64Array, edges: Int64Array, weights: Float64Array) -> Float64Array:
    """Per coordinate, the share of the bars' weight along it: ``sum w u_k² / sum w``."""
    difference = positions[edges[:, 0]] - positions[edges[:, 1]]
    squared = difference**2
    lengths_sq = np.maximum(np.sum(squared, axis=1), 1e-300)
    shares: Float64Array = (weights @ (squared / lengths_sq[:, None])) / max(float(np.sum(weights)), 1e-300)
    return shares


class DampedStep:
    """The Levenberg–Marquardt step ``(JᵀJ + c diag(JᵀJ) + f I) x = -Jᵀr`` of one Jacobian, for any damping c.

    Solved to the relative residual ``min(0.1, sqrt(|g| / |g₀|))`` (g the
    gradient Jᵀr, g₀ the first of this descent): loose while far from the
    fit, tight as the descent converges.
    """

    def __init__(self, jacobian: Any, preconditioner: LaplacianPreconditioner, gradient: Float64Array,
                 first_gradient: float | None) -> None:
        self._jacobian = jacobian
        self._transpose = jacobian.T.tocsr()
        self._preconditioner = preconditioner
        self._right = -gradient
        self.gradient_norm = float(np.linalg.norm(gradient))
        self.diagonal: Float64Array = np.asarray(jacobian.multiply(jacobian).sum(axis=0)).ravel()
        reference = first_gradient if first_gradient is not None else self.gradient_norm
        self._rtol = min(0.1, math.sqrt(self.gradient_norm / max(reference, 1e-300)))

    def solve(self, damping: float, floor: float) -> Float64Array:
        shift = damping * self.diagonal + floor

        def multiply(vector: Float64Array) -> Float64Array:
            image: Float64Array = self._transpose @ (self._jacobian @ vector) + shift * vector
            return image

        solution, _ = conjugate_gradients(multiply, self._right,
                                          lambda vector: self._preconditioner.solve(vector, damping),
                                          self._rtol, _CG_STEPS)
        return solution
