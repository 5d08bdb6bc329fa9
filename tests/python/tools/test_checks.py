"""procrustes_rmse / procrustes_align: comparing a reconstruction with its original."""

import math

import numpy as np
import pytest

import tarvel
from tarvel_tools.checks import procrustes_align, procrustes_rmse

rng = np.random.default_rng(20240601)


def random_rotation(d, reflect):
    q, r = np.linalg.qr(rng.normal(size=(d, d)))
    q = q * np.sign(np.diag(r))
    if (np.linalg.det(q) < 0) != reflect:
        q[:, 0] = -q[:, 0]
    return q


@pytest.mark.parametrize("d", [2, 3])
@pytest.mark.parametrize("reflect", [False, True])
def test_rigid_copies_are_aligned_exactly(d, reflect):
    original = rng.uniform(-5, 5, size=(12, d))
    moved = original @ random_rotation(d, reflect) + rng.uniform(-100, 100, size=d)
    assert procrustes_rmse(original, moved) < 1e-12
    np.testing.assert_allclose(procrustes_align(original, moved), original, atol=1e-12)


def test_scale_is_not_fitted_away():
    # Centred square of half-side 1, scaled by 1.1: every point is off by 0.1 * sqrt(2).
    square = np.array([[-1.0, -1.0], [1.0, -1.0], [1.0, 1.0], [-1.0, 1.0]])
    assert procrustes_rmse(square, 1.1 * square) == pytest.approx(0.1 * math.sqrt(2.0), rel=1e-12)
    turned = 1.1 * square @ random_rotation(2, reflect=True) + [3.0, -7.0]
    assert procrustes_rmse(square, turned) == pytest.approx(0.1 * math.sqrt(2.0), rel=1e-12)


def test_known_perturbation():
    # Moving one point of a symmetric set along its own ray leaves the best
    # rotation the identity; only the centroid shifts, by delta / n.
    points = np.array([[-2.0, 0.0], [2.0, 0.0], [0.0, -2.0], [0.0, 2.0]])
    delta = 0.4
    perturbed = points.copy()
    perturbed[1, 0] += delta
    # Residuals after re-centring: 3 points off by delta/4, one by 3 delta/4, all along x.
    expected = math.sqrt((3 * (delta / 4) ** 2 + (3 * delta / 4) ** 2) / 4)
    assert procrustes_rmse(points, perturbed) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("n_nodes, d", [(3, 2), (6, 2), (20, 2), (5, 3), (15, 3)])
def test_reconstruction_from_exact_distances(n_nodes, d):
    original = rng.uniform(0, 5, size=(n_nodes, d))
    distances = np.linalg.norm(original[:, None, :] - original[None, :, :], axis=-1)
    recovered = tarvel.reconstruct(distances, d)["coords"]
    assert procrustes_rmse(original, recovered) < 1e-9


def test_rmse_is_symmetric_in_its_arguments():
    a, b = rng.normal(size=(9, 3)), rng.normal(size=(9, 3))
    assert procrustes_rmse(a, b) == pytest.approx(procrustes_rmse(b, a), rel=1e-12)


@pytest.mark.parametrize(
    "original, reconstructed, message",
    [
        (np.zeros((4, 2)), np.zeros((4, 3)), r"same shape, got \(4, 2\) and \(4, 3\)"),
        (np.zeros((4, 2)), np.zeros((5, 2)), "same shape"),
        (np.zeros(4), np.zeros(4), "original must be a two-dimensional"),
        (np.zeros((4, 2)), np.zeros((2, 2, 2)), "reconstructed must be a two-dimensional"),
        (np.zeros((0, 2)), np.zeros((0, 2)), "original has no points"),
        (np.zeros((3, 2)), np.array([[0.0, 0.0], [np.nan, 1.0], [1.0, 1.0]]), "reconstructed holds NaN"),
    ],
)
def test_invalid_inputs(original, reconstructed, message):
    with pytest.raises(ValueError, match=message):
        procrustes_rmse(original, reconstructed)
