"""The iterative Gauss–Newton steps of large realizations, checked against dense solves and
against the sparse-factorization path that small problems take."""

from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse

from tarvel_tools import _memory, _refine
from tarvel_tools.checks import procrustes_rmse
from tarvel_tools.realization import realize

from test_realization import lengths_of, near_neighbour_graph, spread


def rigidity_jacobian(points, edges, free):
    """Rows sqrt(w) u_e at both ends of each bar, columns of the free nodes only, built densely."""
    n, d = points.shape
    column = np.cumsum(free) - 1
    jacobian = np.zeros((len(edges), int(free.sum()) * d))
    for row, (i, j) in enumerate(edges):
        unit = (points[i] - points[j]) / np.linalg.norm(points[i] - points[j])
        for node, sign in ((i, 1.0), (j, -1.0)):
            if free[node]:
                jacobian[row, column[node] * d:(column[node] + 1) * d] = sign * unit
    return jacobian


@pytest.mark.parametrize("d, fixed, penalty", [(2, [], 0.0), (3, [0, 5, 9], 0.0), (3, [], 0.1)])
def test_preconditioned_steps_solve_the_damped_normal_equations(monkeypatch, d, fixed, penalty):
    monkeypatch.setattr(_refine, "_CG_STEPS", 2000)  # to convergence, not to the descent's cap
    points, edges = near_neighbour_graph(70, d, 8, 21)
    free = np.ones(70, dtype=bool)
    free[fixed] = False
    column_of = np.where(free, np.cumsum(free) - 1, -1)
    weights = np.ones(len(edges))
    dense = rigidity_jacobian(points, edges, free)
    flat = d - 1 if penalty else d  # the last coordinate pressed flat, as in a lift
    extra = np.zeros((0, dense.shape[1]))
    if penalty:
        extra = np.sqrt(penalty) * np.eye(dense.shape[1])[flat::d]
    jacobian = scipy.sparse.csr_matrix(np.vstack([dense, extra]))
    gradient = jacobian.T @ np.random.default_rng(4).standard_normal(jacobian.shape[0])  # as in a descent
    preconditioner = _refine.LaplacianPreconditioner(
        _refine.grounded_laplacian(column_of, edges, weights), _refine.coordinate_shares(points, edges, weights),
        np.where(np.arange(d) >= flat, penalty, 0.0))
    tight = np.linalg.norm(gradient) * 1e16  # a far larger first gradient: relative residual 1e-8
    step = _refine.DampedStep(jacobian, preconditioner, gradient, first_gradient=tight)
    normal = (jacobian.T @ jacobian).toarray()
    for damping in (1e-3, 1e-8):
        floor = 1e-12 * float(np.max(np.diag(normal)))
        damped = normal + np.diag(damping * np.diag(normal) + floor)
        exact = np.linalg.solve(damped, -gradient)
        solved = step.solve(damping, floor)
        assert np.linalg.norm(damped @ solved + gradient) <= 1e-7 * np.linalg.norm(gradient)
        # The decrease of the quadratic model, which decides the step, is the exact step's.
        model = lambda x: 0.5 * x @ damped @ x + gradient @ x  # noqa: E731
        assert model(solved) == pytest.approx(model(exact), rel=1e-8)


@pytest.mark.parametrize("d, seed", [(2, 3), (3, 4)])
def test_large_problem_path_finds_what_the_factorization_path_finds(monkeypatch, d, seed):
    points, edges = near_neighbour_graph(150, d, 10, seed)
    exact = lengths_of(points, edges)
    noisy = exact * (1 + 1e-3 * np.random.default_rng(seed).standard_normal(len(edges)))
    direct = realize(150, edges, noisy, d)
    monkeypatch.setattr(_refine, "ITERATIVE_FROM", 0)  # every descent by conjugate gradients
    recovered = realize(150, edges, exact, d)
    assert procrustes_rmse(points, recovered.positions) <= 1e-8 * spread(points)
    anchored = realize(150, edges, exact, d, anchors={k: points[k] for k in range(d + 1)})
    assert np.max(np.abs(anchored.positions - points)) <= 1e-8 * spread(points)
    # Noisy lengths: both paths stop at the one least-squares fit.
    iterative = realize(150, edges, noisy, d)
    assert procrustes_rmse(direct.positions, iterative.positions) <= 1e-6 * spread(points)


def test_a_problem_beyond_the_machine_is_refused_up_front(monkeypatch):
    monkeypatch.setattr(_memory, "machine_memory", lambda: 10**9)
    with pytest.raises(MemoryError, match=r"realize with 10000000 nodes"):
        _refine.require_solver_memory(10**7, 6 * 10**7, 2)
