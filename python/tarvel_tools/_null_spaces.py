"""Null spaces of a large sparse matrix by a filtered subspace.

Scaled to ||R||_2 = 1, a sparse m x N matrix R gives the symmetric positive
definite N x N matrix A = R^T R + s^2 I, whose one sparse factorisation
(symmetric ordering, no pivoting: A is definite) applies two filters:

    (R^T R + s^2)^-1 y                    on velocities (flexes),
    (x - R A^-1 R^T x) / s^2 = (R R^T + s^2)^-1 x   on bar weights (stresses).

Each weights a singular direction of R with singular value sigma by
1 / (sigma^2 + s^2): null directions come out (sigma / s)^2 times larger
than one with a large sigma. The filter needs no accuracy of its own, so
the shift can be mild (``s >= 1e-6``) and A well enough conditioned for a
factorisation without pivoting. A filtered random block a little wider than
the null space then spans it; the singular values of R restricted to that
block (R^T Q or R Q, small and dense, computed from R itself, not from A)
decide which directions are null, by the rule of a full singular value
decomposition: at most ``tol * ||R||_2``. The basis returned is
orthonormal and its residual is at most that threshold by construction.

Each pass filters the block twice (two solves) before orthonormalising it,
which squares the suppression. While the directions outside the block are
not yet suppressed by a factor 1e-12 against the null ones, or some
restricted singular value lies within a factor 1e3 of the threshold and
moved in the last filtering (a vector on its way to zero is not yet
counted; one that stays put is a singular vector of its own below the
shift, which more filtering would not move), the block's rejected and
unsettled part is filtered again; the vectors far below the threshold are
kept and projected out. While a block is all null or crowded with
directions whose singular values are barely above the shift, its settled
null vectors are kept and a block twice as wide, starting from the rest of
the filtered one, looks beside them.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import scipy.linalg  # type: ignore[import-untyped]  # SciPy ships no type information
import scipy.sparse  # type: ignore[import-untyped]
import scipy.sparse.linalg  # type: ignore[import-untyped]

from ._memory import byte_size, require_memory
from ._supernodal import BlockSolver

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]

_SHIFT = 1e-6
"""The filter's shift relative to ||R||_2 (raised to the tolerance when that is larger: the
filter then no longer sets the null directions apart, and callers keep such tolerances away)."""

_SUPPRESSION = 1e-12
"""A block is done when its rejected directions are filtered this much below the null ones."""

_CROWDED = 1e2
"""A block whose largest restricted singular value is within this factor of the shift is widened."""

_MAX_FILTERINGS = 6

_OVERSAMPLING = 8
"""The first block is wider than the expected space by this fraction of it (at least 16 vectors)."""

_FILTER_POWER = 2
"""Solves per filtering: the second squares the suppression, so that most null vectors settle in
the first pass, before the block is orthonormalised."""

_BLOCK_SOLVE_WIDTH = 256
"""Blocks at least this wide are solved supernode by supernode with dense arithmetic: narrower ones
do not repay taking the factor apart."""

_SETTLED = 1e-3
"""A restricted singular value this far below the threshold is null for good; one within the factor
on either side of it is filtered again before the rule decides."""


_STEADY = 1e-6
"""Values near the threshold that moved less than this fraction over a filtering have settled."""


def spectral_norm(matrix: scipy.sparse.csr_matrix) -> float:
    """||matrix||_2 to about eight digits by Lanczos on R^T R from a fixed start.

    Where the top of the spectrum is too clustered for three restarts (a long path), power
    iteration gives it to about four digits in at most a thousand products: a threshold
    relative to the norm moves by as little.
    """
    rows, cols = matrix.shape
    if matrix.nnz == 0:
        return 0.0
    transposed = matrix.T.tocsr()
    start = np.random.default_rng(1).standard_normal(cols)
    if cols > 2:
        gram = scipy.sparse.linalg.LinearOperator((cols, cols), matvec=lambda v: transposed @ (matrix @ v), dtype=np.float64)
        try:
            largest = scipy.sparse.linalg.eigsh(
                gram, k=1, which="LA", tol=1e-8, v0=start, ncv=min(cols, 32), maxiter=3, return_eigenvectors=False
            )
            return float(np.sqrt(max(float(largest[0]), 0.0)))
        except (scipy.sparse.linalg.ArpackNoConvergence, scipy.sparse.linalg.ArpackError):
            pass
    return _power_iteration_norm(matrix, transposed, start)


def _power_iteration_norm(matrix: scipy.sparse.csr_matrix, transposed: scipy.sparse.csr_matrix, vector: Float64Array) -> float:
    estimate = 0.0
    for _ in range(1000):
        image = transposed @ (matrix @ vector)
        size = float(np.linalg.norm(image))
        if size == 0.0:
            return float(np.abs(matrix.data).max())  # a start in the kernel: a lower bound within sqrt(rows * cols)
        vector = image / size
        previous, estimate = estimate, float(np.sqrt(size))
        if abs(estimate - previous) <= 1e-9 * estimate:
            break
    return estimate


@dataclass(frozen=True)
class Known:
    """Orthonormal null columns found otherwise, zero outside ``rows`` (None: no rows left out)."""

    rows: Int64Array | None
    basis: Float64Array

    @property
    def count(self) -> int:
        return int(self.basis.shape[1])


class FilteredNullSpaces:
    """One factorisation of R^T R + s^2 I, serving both null spaces of R.

    ``known`` (sparse, orthonormal columns, optional) holds null directions of R found otherwise: they
    join R as rows (they are null, so the rank grows by their number and the other singular values stay)
    and the right null space is searched orthogonal to them. The left null space is then that of the
    joined matrix: callers that pass ``known`` ask only for the right one.
    """

    def __init__(self, matrix: scipy.sparse.csr_matrix, tol: float, norm: float, known: scipy.sparse.spmatrix | None = None) -> None:
        self.known = None if known is None or known.shape[1] == 0 else scipy.sparse.csc_matrix(known)
        scaled = matrix / norm
        if self.known is not None:
            scaled = scipy.sparse.vstack([scaled, self.known.T])
            # The known directions touch few rows: projecting them out reads and writes only those.
            self._known_rows = np.unique(self.known.indices)
            self._known_on_rows = self.known[self._known_rows].toarray()
        self.matrix = scaled.tocsr()
        self.transposed = self.matrix.T.tocsr()
        self.rows, self.cols = self.matrix.shape
        self.threshold = tol
        self.shift = min(max(tol, _SHIFT), 1.0)
        normal = (self.transposed @ self.matrix + self.shift**2 * scipy.sparse.identity(self.cols)).tocsc()
        try:
            self.factor = scipy.sparse.linalg.splu(
                normal, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0, options={"SymmetricMode": True}
            )
        except MemoryError:
            raise MemoryError(f"the sparse factorisation of this framework's {self.cols} x {self.cols} normal matrix does not fit in memory") from None
        self._blocks: BlockSolver | None = None

    def left(self, start: int, beside: list[Known] | None = None) -> Float64Array:
        """Orthonormal basis (m x k) of {w : R^T w = 0} up to the threshold.

        ``beside`` (null columns found otherwise, orthogonal to each other) are then the basis's first
        columns, and the search looks orthogonal to them for about ``start`` more.
        """
        return self._beside(start, beside or [], left=True)

    def right(self, start: int, beside: list[Known] | None = None) -> Float64Array:
        """Orthonormal basis (N x k) of {v : R v = 0} up to the threshold, orthogonal to the known rows;
        ``beside`` as in `left`."""
        return self._beside(start, beside or [], left=False)

    def _beside(self, start: int, beside: list[Known], *, left: bool) -> Float64Array:
        rest = self._null_space(start, left=left, exclude=beside)
        if not beside:
            return rest
        length = self.rows if left else self.cols
        basis = np.zeros((length, sum(part.count for part in beside) + rest.shape[1]))
        column = 0
        for part in beside:
            basis[slice(None) if part.rows is None else part.rows, column : column + part.count] = part.basis
            column += part.count
        basis[:, column:] = rest
        return self._decided(basis, left=left)

    def _null_space(self, start: int, *, left: bool, exclude: list[Known]) -> Float64Array:
        length = self.rows if left else self.cols
        width = max(start, 0) + max(16, max(start, 0) // _OVERSAMPLING)
        rng = np.random.default_rng(0)
        found: list[Float64Array] = []
        seed: Float64Array | None = None
        while True:
            avoid = exclude + [Known(None, part) for part in found]
            room = length - sum(part.count for part in avoid) - (0 if left or self.known is None else self.known.shape[1])
            if room <= 0:
                break
            width = min(room, width)
            _require_block(length + self.cols, width)
            fresh = rng.standard_normal((length, width - (0 if seed is None else seed.shape[1])))
            block = self._without(fresh if seed is None else np.hstack([seed, fresh]), avoid, left=left)
            parts, seed = self._converge(block, left=left, avoid=avoid, whole=width == room)
            found += parts
            if seed is None:
                break
            # The settled null vectors stay; the next block looks beside them, twice as wide as what
            # this one left unsettled, starting from that.
            width = 2 * seed.shape[1] + 16
        if not found:
            return np.zeros((length, 0))
        basis = np.hstack(found)
        return self._decided(basis, left=left) if len(found) > 1 else basis

    def _decided(self, basis: Float64Array, *, left: bool) -> Float64Array:
        """The orthonormal ``basis``, whose parts are null one by one, cut to what the rule keeps of the whole."""
        if not self._certainly_null(basis, left=left):
            values, right = _values_and_right_vectors(self._image(basis, left=left))
            basis = basis @ right[len(values) - int(np.count_nonzero(values <= self.threshold)) :].T
        # Orthonormal columns times an orthogonal factor: orthonormal, and as far from `exclude` as the blocks.
        return np.ascontiguousarray(basis)

    def _converge(
        self, block: Float64Array, *, left: bool, avoid: list[Known], whole: bool
    ) -> tuple[list[Float64Array], Float64Array | None]:
        """The null vectors within the filtered ``block``, orthogonal to ``avoid``; then None when the block
        was wide enough, else the rest of the filtered block, to seed a wider one."""
        found: list[Float64Array] = []
        suppression = 1.0
        previous: Float64Array | None = None
        for filtering in range(_MAX_FILTERINGS):
            filtered = block
            for _ in range(_FILTER_POWER):
                filtered = self._filter(filtered / np.maximum(np.linalg.norm(filtered, axis=0), np.finfo(float).tiny), left=left)
            orthonormal = _orthonormal_columns(self._without(filtered, avoid + [Known(None, part) for part in found], left=left))
            values, right = _values_and_right_vectors(self._image(orthonormal, left=left))
            null = int(np.count_nonzero(values <= self.threshold))
            if not whole and (null == len(values) or values[0] <= _CROWDED * self.shift):
                split = len(values) - _settled(values, self.threshold)
                if split < len(values):
                    found.append(orthonormal @ right[split:].T)
                return found, orthonormal @ right[:split].T
            # Directions outside the block have singular values above the block's largest.
            suppression *= (self.shift**2 / (values[0] ** 2 + self.shift**2)) ** _FILTER_POWER
            # Values near the threshold that another filtering left where they were are singular values of R
            # themselves (directions below the shift, which the filter cannot separate), not a mixture on
            # its way to zero: filtering more would not move them.
            window = values[(values > _SETTLED * self.threshold) & (values <= self.threshold / _SETTLED)]
            steady = previous is not None and len(previous) == len(window) and bool(np.allclose(window, previous, rtol=_STEADY, atol=0.0))
            previous = window
            final = whole or filtering == _MAX_FILTERINGS - 1 or (suppression <= _SUPPRESSION and (len(window) == 0 or steady))
            # A block spanning all that is left is exact; otherwise only settled vectors are kept before the
            # last filtering: a vector within a factor of the threshold may still be on its way to zero.
            split = len(values) - (null if final else _settled(values, self.threshold))
            if split < len(values):
                found.append(orthonormal @ right[split:].T)
            if final:
                break
            # What the block still misses of the null space lies in its rejected and unsettled part, up to
            # the suppression so far: filtering that part alone again costs only its width in solves.
            block = orthonormal @ right[:split].T
        return found, None

    def _certainly_null(self, basis: Float64Array, *, left: bool) -> bool:
        """Whether every singular value of R restricted to the orthonormal ``basis`` is within the
        threshold, by the Frobenius norm of the image, which bounds the largest: found vectors lie
        far below the threshold, so the bound decides at the cost of one product."""
        return bool(np.linalg.norm(self._image(basis, left=left)) <= self.threshold)

    def _image(self, block: Float64Array, *, left: bool) -> Float64Array:
        image = self.transposed @ block if left else self.matrix @ block
        return np.asarray(image)

    def _filter(self, block: Float64Array, *, left: bool) -> Float64Array:
        if not left:
            return self._solve(block)
        # ``block`` is the caller's temporary: the weights are formed in it.
        block -= np.asarray(self.matrix @ self._solve(self.transposed @ block))
        return block

    def _solve(self, block: Float64Array) -> Float64Array:
        if block.shape[1] >= _BLOCK_SOLVE_WIDTH:
            if self._blocks is None:
                self._blocks = BlockSolver(self.factor)
            return self._blocks.solve(np.ascontiguousarray(block))
        result = np.empty((self.cols, block.shape[1]))
        # Chunks bound the solver's work space and let Ctrl-C through between them.
        chunk = max(1, min(block.shape[1], 2**25 // (8 * max(self.cols, 1))))
        for first in range(0, block.shape[1], chunk):
            result[:, first : first + chunk] = self.factor.solve(np.asarray(block[:, first : first + chunk]))
        return result

    def _without(self, block: Float64Array, exclude: list[Known], *, left: bool) -> Float64Array:
        """``block`` (overwritten) without the known directions and the columns of ``exclude`` (orthogonal
        to each other): each is projected out on the rows it lives on."""
        if not left and self.known is not None:
            rows = block[self._known_rows]
            block[self._known_rows] = rows - self._known_on_rows @ (self._known_on_rows.T @ rows)
        for part in exclude:
            if part.count == 0:
                continue
            if part.rows is None:
                block -= part.basis @ (part.basis.T @ block)
            else:
                on_rows = block[part.rows]
                block[part.rows] = on_rows - part.basis @ (part.basis.T @ on_rows)
        return block


def _values_and_right_vectors(image: Float64Array) -> tuple[Float64Array, Float64Array]:
    """All singular values (largest first; zeros past the rows of a wide ``image``) and the square right factor."""
    rows, cols = image.shape
    if rows > cols:  # the triangular factor has the same values and right vectors, at a fraction of the work
        image = scipy.linalg.qr(image, mode="r", check_finite=False)[0][:cols]
    _, values, right = scipy.linalg.svd(image, full_matrices=True, check_finite=False)
    return np.concatenate([values, np.zeros(cols - len(values))]), right


def _settled(values: Float64Array, threshold: float) -> int:
    return int(np.count_nonzero(values <= _SETTLED * threshold))


def _orthonormal_columns(block: Float64Array) -> Float64Array:
    if block.shape[1] == 0:
        return block
    orthonormal, _ = scipy.linalg.qr(block, mode="economic", check_finite=False)
    return np.asarray(orthonormal)


def _require_block(length: int, width: int) -> None:
    needed = 8 * length * width * 4
    require_memory(needed, f"a block of {width} vectors of length {length} ({byte_size(needed)} with its copies)")
