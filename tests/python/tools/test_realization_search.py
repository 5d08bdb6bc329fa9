"""The places a search of a part's placements samples for a node: checked against the lengths and
the true point they came from."""

from __future__ import annotations

import numpy as np
import pytest

from tarvel_tools import _part_search


@pytest.mark.parametrize("d", [2, 3])
def test_sampled_places_fit_the_lengths_and_come_near_the_true_point(d):
    rng = np.random.default_rng(d)
    for count in range(1, d + 3):
        truth, around = rng.random(d), rng.random((count, d))
        lengths = np.linalg.norm(around - truth, axis=1)
        choices = 2 if count == d else 64
        places = _part_search._on_spheres(np.stack([around] * 3), lengths, rng, choices)
        assert places.shape == (3 * choices, d)
        assert np.max(np.abs(np.linalg.norm(places[:, None] - around, axis=2) - lengths)) <= 1e-12
        nearest = np.min(np.linalg.norm(places - truth, axis=1))
        if count >= d:  # trilaterated, or one of the two mirror images
            assert nearest <= 1e-12
        elif count == d - 1:  # 64 evenly spaced points of the circle: one within half a gap
            radius = np.linalg.norm(truth - places[:choices].mean(axis=0))
            assert nearest <= 2 * radius * np.sin(np.pi / (2 * choices)) + 1e-12
