"""Shapes from distances: each result is checked against the truth it came from, an explicitly
formed matrix, the combinatorial global-rigidity test, or a Monte Carlo estimate."""

from __future__ import annotations

import numpy as np
import pytest

from tarvel_tools.checks import procrustes_rmse
from tarvel_tools.cli import main
from tarvel_tools.realization import classical_mds, localization_bound, realize
from tarvel_tools.rigidity import is_globally_rigid

K4 = [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3)]
PRISM = [(0, 1), (1, 2), (2, 0), (3, 4), (4, 5), (5, 3), (0, 3), (1, 4), (2, 5)]
SQUARE = [(0, 1), (1, 2), (2, 3), (3, 0)]
WHEEL = [(0, k) for k in range(1, 7)] + [(k, k % 6 + 1) for k in range(1, 7)]


def lengths_of(points, edges):
    edges = np.asarray(edges)
    return np.linalg.norm(points[edges[:, 0]] - points[edges[:, 1]], axis=1)


def spread(points):
    return float(np.sqrt(np.mean(np.sum((points - points.mean(axis=0)) ** 2, axis=1))))


def near_neighbour_graph(n, d, k, seed):
    """Random points and each one's k nearest neighbours: a sensor-network-like graph."""
    points = np.random.default_rng(seed).random((n, d))
    gaps = np.linalg.norm(points[:, None] - points[None], axis=-1)
    nearest = np.argsort(gaps, axis=1)[:, 1:k + 1]
    edges = np.unique(np.sort(np.stack([np.repeat(np.arange(n), k), nearest.ravel()], 1), axis=1), axis=0)
    return points, edges


@pytest.mark.parametrize("n, d", [(40, 2), (400, 2), (400, 3)])
def test_classical_mds_recovers_points_and_the_leading_eigenvalues(n, d):
    points = np.random.default_rng(n + d).random((n, d)) * 10.0
    dist = np.linalg.norm(points[:, None] - points[None], axis=-1)
    result = classical_mds(dist, d)
    assert result.converged
    assert procrustes_rmse(points, result.coordinates) <= 1e-9 * spread(points)
    squares = dist**2
    gram = -0.5 * (squares - squares.mean(0) - squares.mean(1)[:, None] + squares.mean())
    reference = np.sort(np.linalg.eigvalsh(gram))[::-1][:d]
    np.testing.assert_allclose(result.eigenvalues, reference, rtol=1e-10)
    assert result.stress < 1e-12


def test_classical_mds_on_non_euclidean_distances_matches_a_dense_decomposition():
    # Noisy distances: B has negative eigenvalues and no gap to zero; the leading pair still agrees.
    rng = np.random.default_rng(5)
    points = rng.random((300, 2))
    dist = np.linalg.norm(points[:, None] - points[None], axis=-1) + 0.05 * rng.random((300, 300))
    dist = np.triu(dist, 1) + np.triu(dist, 1).T
    result = classical_mds(dist)
    squares = dist**2
    gram = -0.5 * (squares - squares.mean(0) - squares.mean(1)[:, None] + squares.mean())
    np.testing.assert_allclose(result.eigenvalues, np.sort(np.linalg.eigvalsh(gram))[::-1][:2], rtol=1e-8)
    assert result.converged


@pytest.mark.parametrize("name, n, edges", [("K4", 4, K4), ("prism", 6, PRISM), ("square", 4, SQUARE),
                                            ("wheel", 7, WHEEL)])
def test_unique_agrees_with_global_rigidity_and_every_graph_gets_a_fit(name, n, edges):
    points = np.random.default_rng(1).random((n, 2))
    result = realize(n, edges, lengths_of(points, edges))
    assert result.unique == is_globally_rigid(n, edges)
    assert np.max(np.abs(result.residuals)) < 1e-9
    assert result.converged
    if result.unique:
        assert procrustes_rmse(points, result.positions) <= 1e-9 * spread(points)
        assert result.trusted.all()


@pytest.mark.parametrize("d, seed", [(2, 3), (3, 4)])
def test_exact_lengths_on_a_rigid_sensor_network_give_back_the_truth(d, seed):
    points, edges = near_neighbour_graph(150, d, 10, seed)
    result = realize(150, edges, lengths_of(points, edges), d)
    assert procrustes_rmse(points, result.positions) <= 1e-8 * spread(points)
    if d == 2:
        assert result.unique is is_globally_rigid(150, edges) is True
    # d + 1 anchors at their true places fix every node: no alignment needed.
    anchored = realize(150, edges, lengths_of(points, edges), d, anchors={k: points[k] for k in range(d + 1)})
    assert np.max(np.abs(anchored.positions - points)) <= 1e-8 * spread(points)


def test_a_node_of_two_bars_is_not_trusted_and_the_rest_is():
    points, edges = near_neighbour_graph(60, 2, 8, 9)
    dangling = np.array([[60, 0], [60, 1]])
    points = np.vstack([points, [[0.5, 1.3]]])
    edges = np.vstack([edges, dangling])
    result = realize(61, edges, lengths_of(points, edges))
    assert result.unique is False
    assert not result.trusted[60] and result.trusted[:60].all()
    core = result.positions[:60]
    assert procrustes_rmse(points[:60], core) <= 1e-8 * spread(points)


def test_noisy_lengths_approach_the_exact_fit_linearly_in_the_noise():
    points, edges = near_neighbour_graph(80, 2, 8, 11)
    exact = lengths_of(points, edges)
    direction = np.random.default_rng(2).standard_normal(len(edges))
    errors = []
    for sigma in (1e-4, 1e-6):
        noisy = realize(80, edges, exact + sigma * direction)
        errors.append(procrustes_rmse(points, noisy.positions))
        assert noisy.stress > 0 and noisy.converged
    assert 30 < errors[0] / errors[1] < 300  # first order in the noise: about 100


@pytest.mark.parametrize("anchors", [None, {0: None, 1: None, 2: None}])
def test_the_bound_matches_a_monte_carlo_estimate_on_a_tiny_network(anchors):
    # Far from any other realization: complete but for two bars.
    points = np.array([[0.0, 0.0], [1.0, 0.1], [1.2, 1.0], [0.1, 0.9], [0.7, 0.4], [0.5, -0.8]])
    edges = [(a, b) for a in range(6) for b in range(a + 1, 6) if (a, b) not in ((0, 2), (3, 5))]
    sigma = 1e-3
    fixed = {node: points[node] for node in anchors} if anchors else None
    bound = localization_bound(points, edges, sigma, anchors=fixed)
    rng = np.random.default_rng(0)
    exact = lengths_of(points, edges)
    squared = []
    for _ in range(120):
        fit = realize(6, edges, exact + sigma * rng.standard_normal(len(edges)), anchors=fixed)
        moved = fit.positions if fixed else None
        if moved is None:
            squared.append(procrustes_rmse(points, fit.positions) ** 2 * 6)
        else:
            squared.append(float(np.sum((moved - points) ** 2)))
    free = 6 - (len(fixed) if fixed else 0)
    monte_carlo = np.sqrt(np.mean(squared) / free)
    assert 0.85 < monte_carlo / bound.rmse < 1.15  # the estimate's spread is about 3 %


def test_the_bound_of_a_flexible_framework_is_infinite():
    assert localization_bound([[0, 0], [1, 0], [1, 1], [0, 1]], SQUARE, 0.01).rmse == np.inf


@pytest.mark.parametrize(
    "arguments, keywords, error, words",
    [
        ((4, K4, [1, 1, 1, 1, 1, -1]), {}, ValueError, "lengths"),
        ((4, K4, [1, 1, 1, 1, 1, np.nan]), {}, ValueError, "lengths"),
        ((4, K4, [1, 1, 1, 1, 1]), {}, ValueError, "lengths"),
        ((4, K4 + [(0, 4)], [1] * 7), {}, ValueError, "edges"),
        ((4, K4 + [(2, 2)], [1] * 7), {}, ValueError, "self-loop"),
        ((4, K4, [1] * 6, 4), {}, ValueError, "d must be 2 or 3"),
        ((6, [(0, 1), (1, 2), (0, 2), (3, 4), (4, 5), (3, 5)], [1] * 6), {}, ValueError, "connected parts"),
        ((4, K4, [1, 1, 1, 1, 1.4, 1.4]), {"anchors": {0: [0, 0], 1: [3, 0]}}, ValueError, "anchors"),
        ((4, K4, [1] * 6), {"anchors": {7: [0, 0]}}, ValueError, "anchors"),
        ((4, K4, [1] * 6), {"weights": [1] * 5}, ValueError, "weights"),
        ((4, K4, ["a"] * 6), {}, TypeError, "lengths"),
    ],
)
def test_bad_input_is_refused_naming_the_argument(arguments, keywords, error, words):
    with pytest.raises(error, match=words):
        realize(*arguments, **keywords)


def test_the_command_line_realizes_a_file_and_names_a_malformed_line(tmp_path, capsys):
    points, edges = near_neighbour_graph(40, 2, 8, 3)
    measurements = tmp_path / "edges.csv"
    rows = "".join(f"{i},{j},{d:.17g}\n" for (i, j), d in zip(edges, lengths_of(points, edges)))
    measurements.write_text("i,j,length\n" + rows)
    out = tmp_path / "positions.csv"
    assert main(["realize", str(measurements), "--dim", "2", "--out", str(out)]) == 0
    written = np.loadtxt(out, delimiter=",", skiprows=1)
    assert procrustes_rmse(points, written[:, 1:3]) < 1e-9 and written[:, 3].all()

    measurements.write_text("i,j,length\n0,1,1.0\n1,2,oops\n")
    assert main(["realize", str(measurements), "--out", str(out)]) == 1
    assert "line 3" in capsys.readouterr().err
