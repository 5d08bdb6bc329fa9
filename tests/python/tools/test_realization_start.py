"""The start of `realize`: what the lengths place exactly is checked against the true points, and
whole realizations against the truth on graphs where a landmark-MDS start ends in a fold."""

from __future__ import annotations

import numpy as np
import pytest
from scipy.spatial import cKDTree

from tarvel_tools import _start
from tarvel_tools.checks import procrustes_rmse
from tarvel_tools.realization import localization_bound, realize
from tarvel_tools.rigidity import is_globally_rigid


def lengths_of(points, edges):
    return np.linalg.norm(points[edges[:, 0]] - points[edges[:, 1]], axis=1)


def spread(points):
    return float(np.sqrt(np.mean(np.sum((points - points.mean(axis=0)) ** 2, axis=1))))


def layered_graph(n, d, seed):
    """A (d + 1)-clique, then nodes joined to d + 1 earlier ones; every fifth node has only d
    earlier bars (two mirror places) and the next node is joined to it, which refutes the wrong
    one; a last node hangs by d bars alone, so nothing decides its side. Bars go to well-spread
    nodes, so that no placement is ill-conditioned."""
    rng = np.random.default_rng(seed)
    points = rng.random((n + 1, d))
    points[:d + 1] = np.vstack([np.zeros(d), np.eye(d)])  # a well-shaped first clique

    def spread_out(candidates, size, joined=()):
        for _ in range(1000):
            chosen = [*joined, *rng.choice(candidates, size=size - len(joined), replace=False)]
            values = np.linalg.svd(points[chosen] - points[chosen].mean(axis=0), compute_uv=False)
            if values[min(size - 1, d) - 1] > 0.2 * values[0]:
                break
        return [int(c) for c in chosen]

    edges = [(a, b) for a in range(d + 1) for b in range(a + 1, d + 1)]
    for k in range(d + 1, n):
        if k % 5 == 0:
            edges += [(e, k) for e in spread_out(np.arange(k), d)]
        elif (k - 1) % 5 == 0:  # the refuting node: the ambiguous one and d others
            edges += [(e, k) for e in spread_out(np.arange(k - 1), d + 1, joined=(k - 1,))]
        else:
            edges += [(e, k) for e in spread_out(np.arange(k), d + 1)]
    edges += [(e, n) for e in spread_out(np.arange(n), d)]
    return points, np.array(edges)


@pytest.mark.parametrize("d", [2, 3])
def test_trilateration_and_refuted_mirrors_place_the_determined_nodes_exactly(d):
    points, edges = layered_graph(60, d, d)
    positions, placed = _start.exact_part(_start._Bars.of(61, edges, lengths_of(points, edges)), d)
    assert placed[:60].all() and not placed[60]
    assert procrustes_rmse(points[:60], positions[:60]) <= 1e-10 * spread(points)


def geometric_graph(n, d, seed):
    """Random points joined within the radius of average degree 12, and each to its d + 2 nearest."""
    rng = np.random.default_rng(seed)
    points = rng.random((n, d))
    ball = np.pi if d == 2 else 4.0 / 3.0 * np.pi
    tree = cKDTree(points)
    pairs = tree.query_pairs((12 / (n * ball)) ** (1.0 / d), output_type="ndarray")
    _, nearest = tree.query(points, d + 3)
    extra = np.stack([np.repeat(np.arange(n), d + 2), nearest[:, 1:].ravel()], axis=1)
    return points, np.unique(np.sort(np.concatenate([pairs, extra]), axis=1), axis=0)


@pytest.mark.parametrize("seed", [17, 27, 39])
def test_guessed_mirror_images_in_space_are_the_true_ones(seed):
    # Most of these shells are placed by choosing between mirror images (crowding, pairs of
    # guesses, nearly flat neighbours); a wrong choice would show against the true points.
    points, edges = geometric_graph(1000, 3, seed)
    positions, placed = _start.exact_part(_start._Bars.of(1000, edges, lengths_of(points, edges)), 3)
    assert np.sum(placed) >= 900
    assert procrustes_rmse(points[placed], positions[placed]) <= 1e-9 * spread(points)


@pytest.mark.parametrize("d", [2, 3])
def test_both_mirror_images_fit_d_lengths_and_only_the_true_one_fits_more(d):
    rng = np.random.default_rng(d)
    around = np.column_stack([rng.random((d + 2, d - 1)), 0.02 * rng.random(d + 2)])  # nearly on a hyperplane
    truth = np.concatenate([rng.random(d - 1), [0.5]])
    lengths = np.linalg.norm(around - truth, axis=1)
    for count in (d, d + 2):
        images = _start._mirror_points(around[:count], lengths[:count])
        misses = [_start._misses(image, around[:count], lengths[:count]) for image in images]
        closest = min(np.linalg.norm(image - truth) for image in images)
        assert closest <= 1e-12 and (max(misses) <= 1e-12 if count == d else max(misses) > 1e-4)


# (3, 17) and (3, 27) folded in the shell near the cube's faces with a start of trilateration alone;
# (3, 86) and (3, 147) in parts along the cube's edges that only the search of their placements
# fits (147's part is nearly flexible: a wide search).
@pytest.mark.parametrize("d, seed", [(2, 54), (3, 4), (3, 17), (3, 27), (3, 86), (3, 147)])
def test_exact_lengths_give_the_truth_where_a_landmark_start_folds(d, seed):
    points, edges = geometric_graph(1000, d, seed)
    assert is_globally_rigid(1000, edges, d=d)
    result = realize(1000, edges, lengths_of(points, edges), d)
    assert procrustes_rmse(points, result.positions) <= 1e-8 * spread(points)
    assert result.converged and np.max(np.abs(result.residuals)) <= 1e-9


def test_a_fold_left_by_a_weaker_start_is_not_reported_as_converged(monkeypatch):
    points, edges = geometric_graph(1000, 3, 4)
    monkeypatch.setattr(_start, "start", lambda *args: args[-2]())  # the landmark-MDS start alone
    result = realize(1000, edges, lengths_of(points, edges), 3)
    assert procrustes_rmse(points, result.positions) > 1e-3 * spread(points)
    assert not result.converged


def test_noisy_lengths_reach_the_bound_where_trilateration_would_compound_the_noise():
    # Trilateration from noisy lengths placed this network with a fold (61x the bound).
    rng = np.random.default_rng(10_024)
    points = rng.random((200, 2))
    radius = (16 / (200 * np.pi)) ** 0.5
    edges = cKDTree(points).query_pairs(radius, output_type="ndarray")
    sigma = 0.01 * radius
    noisy = np.abs(lengths_of(points, edges) + sigma * np.random.default_rng(24).standard_normal(len(edges)))
    error = procrustes_rmse(points, realize(200, edges, noisy).positions)
    assert error <= 2.0 * localization_bound(points, edges, sigma).rmse
