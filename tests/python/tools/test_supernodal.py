"""Solves through a sparse factor's dense blocks against dense LAPACK solves of the same matrices."""

import numpy as np
import pytest
import scipy.linalg
import scipy.sparse
import scipy.sparse.linalg

from tarvel_tools._supernodal import BlockSolver, LowerBlocks


def random_lower(rng, size, density, unit):
    lower = scipy.sparse.random(size, size, density=density, random_state=rng, format="csc")
    lower = scipy.sparse.tril(lower, k=-1) + scipy.sparse.diags(np.ones(size) if unit else rng.uniform(1, 2, size))
    return scipy.sparse.csc_matrix(lower)


LOWER = {
    "scattered entries": lambda rng: random_lower(rng, 120, 0.05, unit=False),
    "unit diagonal": lambda rng: random_lower(rng, 120, 0.05, unit=True),
    "full triangle: one block": lambda rng: random_lower(rng, 60, 1.0, unit=False),
    "diagonal: one-column blocks": lambda rng: random_lower(rng, 40, 0.0, unit=False),
}


@pytest.mark.parametrize("name", LOWER)
def test_triangular_solves_match_dense_ones(name):
    rng = np.random.default_rng(3)
    lower = LOWER[name](rng)
    dense = lower.toarray()
    right = rng.standard_normal((lower.shape[0], 7))
    blocks = LowerBlocks(lower)
    forward, backward = right.copy(), right.copy()
    blocks.solve(forward)
    blocks.solve_transposed(backward)
    np.testing.assert_allclose(forward, scipy.linalg.solve_triangular(dense, right, lower=True), rtol=1e-10, atol=1e-10)
    np.testing.assert_allclose(backward, scipy.linalg.solve_triangular(dense, right, lower=True, trans=1), rtol=1e-10, atol=1e-10)


def test_factor_solves_match_a_dense_solve():
    # A grid's Laplacian plus the identity: its factor has wide supernodes near the top of the tree.
    side = 15
    path = scipy.sparse.diags([-np.ones(side - 1), 2 * np.ones(side), -np.ones(side - 1)], [-1, 0, 1])
    matrix = scipy.sparse.csc_matrix(scipy.sparse.kronsum(path, path) + scipy.sparse.identity(side * side))
    factor = scipy.sparse.linalg.splu(matrix, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0, options={"SymmetricMode": True})
    right = np.random.default_rng(4).standard_normal((side * side, 9))
    solver = BlockSolver(factor)
    assert any(node.triangle is not None for node in solver.lower.supernodes)
    np.testing.assert_allclose(solver.solve(right), np.linalg.solve(matrix.toarray(), right), rtol=1e-10, atol=1e-12)


def test_a_factor_without_its_diagonal_is_refused():
    with pytest.raises(ValueError, match="diagonal"):
        LowerBlocks(scipy.sparse.csc_matrix(np.array([[0.0, 0.0], [1.0, 1.0]])))
