"""to_graph_arrays / to_pyg: a simulation result as a graph-learning sample."""

import sys
import types

import numpy as np
import pytest

import tarvel
from tarvel_tools.graph import to_graph_arrays, to_pyg
from tarvel_tools.positions import batch_positions


def test_unit_square(unit_square):
    arrays = to_graph_arrays(tarvel.simulate(unit_square, 2), both_directions=False)
    assert arrays["edge_index"].tolist() == [[0, 0, 0, 1, 1, 2], [1, 2, 3, 2, 3, 3]]
    root2 = float(np.float32(np.sqrt(2.0)))  # float32 by default, rounded once from the double length
    assert arrays["edge_attr"][:, 0].tolist() == [1.0, root2, 1.0, 1.0, root2, 1.0]
    assert arrays["y"].tolist() == [1, 1, 1, 1, 1, 0]
    assert arrays["is_rigid"].tolist() == [True]
    assert [arrays[key].tolist() for key in ("rank", "max_rank", "dof")] == [[5], [5], [0]]
    assert int(arrays["num_nodes"]) == 4
    assert "pos" not in arrays


@pytest.mark.parametrize(
    "key, dtype, shape",
    [
        ("edge_index", np.int64, (2, 45)),
        ("edge_attr", np.float32, (45, 1)),
        ("y", np.int64, (45,)),
        ("is_rigid", np.bool_, (1,)),
        ("rank", np.int64, (1,)),
        ("max_rank", np.int64, (1,)),
        ("dof", np.int64, (1,)),
        ("num_nodes", np.int64, ()),
        ("pos", np.float32, (10, 3)),
    ],
)
def test_dtypes_and_shapes(key, dtype, shape):
    positions = batch_positions(1, 10, 3, 4)[0]
    array = to_graph_arrays(tarvel.generate_training_batch(1, 10, 3, 4)[0], positions, both_directions=False)[key]
    assert array.dtype == dtype and array.shape == shape
    assert array.flags.c_contiguous and array.flags.writeable


@pytest.mark.parametrize("n_nodes, d, seed", [(9, 2, 3), (7, 3, 11)])
def test_edges_labels_and_lengths_line_up(n_nodes, d, seed):
    result = tarvel.generate_training_batch(1, n_nodes, d, seed)[0]
    positions = batch_positions(1, n_nodes, d, seed)[0]
    arrays = to_graph_arrays(result, positions, both_directions=False, dtype=np.float64)
    assert arrays["rank"] == result["final_rank"] and arrays["dof"] == result["max_rank"] - result["final_rank"]
    pairs = [tuple(pair) for pair in arrays["edge_index"].T.tolist()]
    assert [pair for pair, label in zip(pairs, arrays["y"], strict=True) if label == 1] == result["accepted_edges"]
    lengths = np.linalg.norm(positions[arrays["edge_index"][0]] - positions[arrays["edge_index"][1]], axis=1)
    np.testing.assert_allclose(arrays["edge_attr"][:, 0], lengths, rtol=1e-14)
    assert arrays["pos"].tobytes() == positions.tobytes()


def test_collinear_framework_keeps_its_labels():
    coords = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
    result = tarvel.simulate(coords, 2)
    arrays = to_graph_arrays(result, coords, both_directions=False)
    assert arrays["y"].tolist() == result["labels"].tolist() == [1, 1, 1, 1, 0, 1, 1, 1, 0, 0]


def test_arrays_share_no_memory_with_inputs_or_each_other(unit_square):
    result = tarvel.simulate(unit_square, 2)
    first = to_graph_arrays(result, unit_square, both_directions=False)
    first["edge_index"][:] = -1
    first["pos"][:] = -1.0
    first["y"][:] = 7
    second = to_graph_arrays(result, unit_square, both_directions=False)
    assert second["edge_index"].tolist() == [[0, 0, 0, 1, 1, 2], [1, 2, 3, 2, 3, 3]]
    assert unit_square[0].tolist() == [0.0, 0.0] and result["labels"].tolist() == [1, 1, 1, 1, 1, 0]


def test_small_batch_graphs():
    one_node = to_graph_arrays(tarvel.generate_training_batch(1, 1, 2, 0)[0], both_directions=False)
    assert one_node["edge_index"].shape == (2, 0) and one_node["edge_attr"].shape == (0, 1)
    two_in_space = to_graph_arrays(tarvel.generate_training_batch(1, 2, 3, 0)[0], both_directions=False)
    assert two_in_space["y"].tolist() == [1] and two_in_space["is_rigid"].tolist() == [False]


def test_inconsistent_inputs_are_refused(unit_square):
    result = tarvel.simulate(unit_square, 2)
    with pytest.raises(ValueError, match=r"positions have shape \(4, 3\), expected \(4, 2\)"):
        to_graph_arrays(result, np.zeros((4, 3)))
    with pytest.raises(ValueError, match=r"labels have shape \(5,\), expected \(6,\)"):
        to_graph_arrays({**result, "labels": result["labels"][:5]})
    with pytest.raises(ValueError, match="distance_matrix has shape"):
        to_graph_arrays({**result, "distance_matrix": np.zeros((3, 3))})
    with pytest.raises(KeyError):
        to_graph_arrays({key: value for key, value in result.items() if key != "labels"})


def test_to_pyg_names_the_extra_when_missing(monkeypatch, unit_square):
    monkeypatch.setitem(sys.modules, "torch_geometric", None)
    monkeypatch.setitem(sys.modules, "torch_geometric.data", None)
    with pytest.raises(ImportError, match=r"pip install 'tarvel\[pyg\]'"):
        to_pyg(tarvel.simulate(unit_square, 2))


def test_to_pyg_glue_with_stand_in_modules(monkeypatch, unit_square):
    def from_numpy(array):
        assert array.flags.c_contiguous and array.flags.writeable
        return ("tensor", array)

    class Data:
        def __init__(self, **attributes):
            self.attributes = attributes

    monkeypatch.setitem(sys.modules, "torch", types.SimpleNamespace(from_numpy=from_numpy))
    monkeypatch.setitem(sys.modules, "torch_geometric", types.ModuleType("torch_geometric"))
    monkeypatch.setitem(sys.modules, "torch_geometric.data", types.SimpleNamespace(Data=Data))
    result = tarvel.simulate(unit_square, 2)
    attributes = to_pyg(result, unit_square).attributes
    assert attributes.pop("num_nodes") == 4
    expected = to_graph_arrays(result, unit_square)
    del expected["num_nodes"]
    assert attributes.keys() == expected.keys()
    for name, (_, array) in attributes.items():
        assert array.dtype == expected[name].dtype and np.array_equal(array, expected[name])


@pytest.mark.parametrize("dtype", [np.float16, np.int64, np.complex128, "int32", object])
def test_other_dtypes_are_refused(dtype, unit_square):
    with pytest.raises(TypeError, match="dtype must be float32 or float64"):
        to_graph_arrays(tarvel.simulate(unit_square, 2), dtype=dtype)


def test_to_pyg_with_torch_geometric(unit_square):
    torch = pytest.importorskip("torch")
    pytest.importorskip("torch_geometric")
    from torch_geometric.nn import GCNConv

    data = to_pyg(tarvel.simulate(unit_square, 2), unit_square, both_directions=False)
    assert data.num_nodes == 4 and data.num_edges == 6
    assert data.edge_index.dtype == torch.int64 and data.edge_attr.shape == (6, 1)
    assert data.y.tolist() == [1, 1, 1, 1, 1, 0] and data.pos.dtype == data.edge_attr.dtype == torch.float32
    assert GCNConv(2, 3)(data.pos, data.edge_index).shape == (4, 3)  # a standard layer takes it as it is
    double = to_pyg(tarvel.simulate(unit_square, 2), unit_square, dtype=torch.float64)
    assert double.pos.dtype == double.edge_attr.dtype == torch.float64


def _triangle_with_tail():
    # A model graph as generate_graph_batch lists it: its own bars, positions and components.
    return {
        "positions": np.array([[0.0, 0.0], [3.0, 0.0], [0.0, 4.0], [6.0, 8.0]]),
        "edges": np.array([[0, 1], [1, 2], [0, 2], [2, 3]]),
        "labels": np.array([1, 1, 1, 1], dtype=np.uint8),
        "is_rigid": False, "rank": 4, "max_rank": 5, "dof": 1,
        "edge_component": np.array([0, 0, 0, 1]),
        "components": [np.array([0, 1, 2]), np.array([2, 3])],
    }


@pytest.mark.parametrize("kind", ["complete", "model"])
def test_both_directions_repeat_every_bar_with_its_label_and_length(kind, unit_square):
    graph = tarvel.simulate(unit_square, 2) if kind == "complete" else _triangle_with_tail()
    once = to_graph_arrays(graph, unit_square if kind == "complete" else None, both_directions=False)
    both = to_graph_arrays(graph, unit_square if kind == "complete" else None)
    m = once["edge_index"].shape[1]
    assert both["edge_index"].tolist() == [once["edge_index"][0].tolist() + once["edge_index"][1].tolist(),
                                           once["edge_index"][1].tolist() + once["edge_index"][0].tolist()]
    for key in ("edge_attr", "y", "edge_component"):
        if key in once:
            assert np.array_equal(both[key][:m], once[key]) and np.array_equal(both[key][m:], once[key])
    # Every length is that of its bar in the positions.
    pos = both["pos"]
    lengths = np.hypot(*(pos[both["edge_index"][0]] - pos[both["edge_index"][1]]).T)
    np.testing.assert_allclose(both["edge_attr"][:, 0], lengths, rtol=1e-7)


def test_model_graph_arrays():
    arrays = to_graph_arrays(_triangle_with_tail(), both_directions=False, dtype="float64")
    assert arrays["edge_attr"][:, 0].tolist() == [3.0, 5.0, 4.0, 7.211102550927978]
    assert [arrays[key].tolist() for key in ("is_rigid", "rank", "max_rank", "dof")] == [[False], [4], [5], [1]]
    assert int(arrays["num_nodes"]) == 4 and arrays["edge_component"].tolist() == [0, 0, 0, 1]
    with pytest.raises(ValueError, match=r"edges must join nodes 0 \.\. 3"):
        to_graph_arrays({**_triangle_with_tail(), "edges": np.array([[0, 1], [1, 2], [0, 2], [2, 4]])})
