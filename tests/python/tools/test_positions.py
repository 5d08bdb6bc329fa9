"""batch_positions: the node coordinates of a training batch, recomputed bit for bit."""

import re

import numpy as np
import pytest

import tarvel
from tarvel_tools import positions as positions_module
from tarvel_tools.positions import batch_positions, graph_positions

A, C, MASK = 6364136223846793005, 1442695040888963407, 2**64 - 1


def reference_positions(seed, k, n_nodes, d):
    """One draw at a time with Python integers, straight from the generator's definition."""
    state = (seed + k) & MASK
    coordinates = []
    for _ in range(n_nodes * d):
        state = (state * A + C) & MASK
        coordinates.append((state >> 33) / 4294967295.0 * 10.0)
    return np.array(coordinates).reshape(n_nodes, d)


@pytest.mark.parametrize(
    "seed, k, n_nodes, d, expected",
    [
        (0, 0, 3, 2, [[0.3910432733574517, 0.5084937998346272], [3.026616613619639, 2.0060810172013195],
                      [1.918128983098578, 2.8042981663728828]]),
        (0, 0, 2, 3, [[0.3910432733574517, 0.5084937998346272, 3.026616613619639],
                      [2.0060810172013195, 1.918128983098578, 2.8042981663728828]]),
        (0, 1, 1, 2, [[2.116045854547072, 2.5470372132368007]]),
        (42, 0, 1, 2, [[2.841151632098749, 1.1273171429353108]]),
        (2**64 - 1, 1, 1, 2, [[0.3910432733574517, 0.5084937998346272]]),
    ],
)
def test_documented_node_values(seed, k, n_nodes, d, expected):
    assert graph_positions(seed, k, n_nodes, d).tolist() == expected
    assert batch_positions(k + 1, n_nodes, d, seed)[k].tolist() == expected


@pytest.mark.parametrize(
    "n_graphs, n_nodes, d, seed",
    [(6, 3, 2, 0), (5, 9, 2, 2024), (4, 4, 3, 7), (3, 11, 3, 2**63 + 5), (4, 5, 2, 2**64 - 2)],
)
def test_simulating_the_positions_reproduces_the_batch(n_graphs, n_nodes, d, seed):
    positions = batch_positions(n_graphs, n_nodes, d, seed)
    batch = tarvel.generate_training_batch(n_graphs, n_nodes, d, seed)
    for graph, coords in zip(batch, positions, strict=True):
        again = tarvel.simulate(coords, d)
        assert list(again) == list(graph)
        for key, value in graph.items():
            if isinstance(value, np.ndarray):
                assert again[key].dtype == value.dtype
                assert again[key].tobytes() == value.tobytes()
            else:
                assert again[key] == value


@pytest.mark.parametrize("n_nodes, d", [(1, 2), (7, 3), (1000, 3), (1025, 2)])
def test_long_streams_match_one_draw_at_a_time(n_nodes, d):
    # Stream lengths around and off powers of two exercise every doubling step.
    seed = 2**64 - 3
    positions = batch_positions(5, n_nodes, d, seed)
    for k in range(5):
        assert positions[k].tobytes() == reference_positions(seed, k, n_nodes, d).tobytes()


def test_chunk_boundaries_do_not_shift_graphs(monkeypatch):
    whole = batch_positions(37, 5, 2, 99)
    monkeypatch.setattr(positions_module, "_CHUNK_ELEMENTS", 25)  # 2 graphs per chunk
    assert batch_positions(37, 5, 2, 99).tobytes() == whole.tobytes()
    monkeypatch.setattr(positions_module, "_CHUNK_ELEMENTS", 1)  # fewer elements than one graph has
    assert batch_positions(37, 5, 2, 99).tobytes() == whole.tobytes()


def test_graph_k_of_seed_s_is_graph_0_of_seed_s_plus_k():
    batch = batch_positions(6, 4, 3, 2**64 - 4)
    for k in range(6):
        assert np.array_equal(batch[k], batch_positions(1, 4, 3, (2**64 - 4 + k) % 2**64)[0])


def test_values_and_layout():
    positions = batch_positions(200, 10, 3, 5)
    assert positions.dtype == np.float64 and positions.shape == (200, 10, 3)
    assert positions.flags.c_contiguous and positions.flags.writeable
    assert positions.min() >= 0.0 and positions.max() < 5.0


@pytest.mark.parametrize("n_graphs, n_nodes, shape", [(0, 4, (0, 4, 2)), (3, 0, (3, 0, 2)), (0, 0, (0, 0, 2))])
def test_empty_batches(n_graphs, n_nodes, shape):
    assert batch_positions(n_graphs, n_nodes, 2, 1).shape == shape


def test_numpy_integers_are_accepted():
    expected = batch_positions(2, 3, 2, 2**64 - 1)
    assert np.array_equal(batch_positions(np.int64(2), np.uint8(3), np.int32(2), np.uint64(2**64 - 1)), expected)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1, 3, 2, 0), ValueError, "n_graphs must lie in [0, 2**64), got -1"),
        ((1, 3, 2, 2**64), ValueError, "seed must lie in [0, 2**64)"),
        ((1, -3, 2, 0), ValueError, "n_nodes"),
        ((1.0, 3, 2, 0), TypeError, "n_graphs must be an integer, not float"),
        ((1, 3, 2, "7"), TypeError, "seed must be an integer, not str"),
        ((1, True, 2, 0), TypeError, "n_nodes must be an integer, not bool"),
        ((1, 3, 4, 0), ValueError, "d must be 2 or 3"),
        ((1, 3, 1, 0), ValueError, "d must be 2 or 3"),
    ],
)
def test_argument_errors(args, error, message):
    with pytest.raises(error, match=re.escape(message)):
        batch_positions(*args)


def test_graph_positions_checks_k():
    with pytest.raises(ValueError, match="k must lie in"):
        graph_positions(0, 2**64, 3, 2)
