"""pebble_game: the (2,3) pebble game over the complete graph in the plane."""

import numpy as np
import pytest

import tarvel


def front_loaded(n):
    count = n * (n - 1) // 2
    accepted = max(2 * n - 3, 0) if n >= 2 else 0
    return [1] * accepted + [0] * (count - accepted)


@pytest.mark.parametrize(
    "n, labels",
    [
        (0, []),
        (1, []),
        (2, [1]),
        (3, [1, 1, 1]),
        (4, [1, 1, 1, 1, 1, 0]),
        (5, [1, 1, 1, 1, 1, 1, 1, 0, 0, 0]),
    ],
)
def test_small_complete_graphs(n, labels):
    result = tarvel.pebble_game(np.zeros((n, 2)), 2)
    assert list(result) == ["labels", "accepted_edges", "n_nodes", "d"]
    assert result["labels"].dtype == np.uint8 and result["labels"].shape == (len(labels),)
    assert result["labels"].tolist() == labels
    assert (result["n_nodes"], result["d"]) == (n, 2)


@pytest.mark.parametrize("n", [6, 17, 64, 301])
def test_first_2n_minus_3_candidates_are_accepted(n):
    result = tarvel.pebble_game(np.zeros((n, 2)), 2)
    assert result["labels"].tolist() == front_loaded(n)
    expected = [(0, j) for j in range(1, n)] + [(1, j) for j in range(2, n)]
    assert result["accepted_edges"] == expected


@pytest.mark.parametrize(
    "coords",
    [np.full((6, 2), np.nan), np.zeros((6, 0)), np.random.default_rng(0).random((6, 3)), np.zeros((6, 2))[::-1]],
    ids=["nan", "no-columns", "three-columns", "reversed"],
)
def test_only_the_row_count_matters(coords):
    assert tarvel.pebble_game(coords, 2)["labels"].tolist() == front_loaded(6)


def test_two_rows_are_enough():
    assert tarvel.pebble_game(np.zeros((2, 2)), 2)["accepted_edges"] == [(0, 1)]


@pytest.mark.parametrize("d", [0, 1, 3, 2**64 - 1])
def test_only_the_plane_is_supported(d):
    with pytest.raises(ValueError) as caught:
        tarvel.pebble_game(np.zeros((4, 2)), d)
    assert str(caught.value) == "pebble_game only supports d=2"


def test_argument_errors_come_first():
    with pytest.raises(TypeError, match="^argument 'coords'"):
        tarvel.pebble_game([[0.0, 0.0]], 3)
    with pytest.raises(OverflowError):
        tarvel.pebble_game(np.zeros((4, 2)), -2)


def test_agrees_with_the_rank_test_on_generic_points():
    coords = np.random.default_rng(11).random((25, 2))
    assert tarvel.pebble_game(coords, 2)["labels"].tolist() == tarvel.simulate(coords, 2)["labels"].tolist()
