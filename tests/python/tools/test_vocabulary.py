"""One vocabulary across tarvel_tools: the same mistake raises the same exception
everywhere, and NumPy integers are taken wherever Python integers are."""

import numpy as np
import pytest

from tarvel_tools import batch_positions, generate_graph_batch, generic_labels, read_dataset, write_dataset


def dataset_extra():
    pytest.importorskip("pyarrow")

SEEDED = {
    "batch_positions": lambda seed, out: batch_positions(1, 4, 2, seed),
    "generate_graph_batch": lambda seed, out: generate_graph_batch("near-threshold", 1, 5, 2, seed),
    "generic_labels": lambda seed, out: generic_labels(3, [(0, 1)], seed=seed),
    "write_dataset": lambda seed, out: write_dataset(out, 1, 4, 2, seed, 1, progress=False),  # checked before pyarrow is needed
}


@pytest.mark.parametrize("seed", [-1, 2**64])
@pytest.mark.parametrize("function", SEEDED)
def test_a_seed_out_of_range_is_a_value_error_everywhere(function, seed, tmp_path):
    with pytest.raises(ValueError, match="seed must"):
        SEEDED[function](seed, tmp_path / "data")


def test_numpy_integers_are_taken_everywhere(tmp_path):
    dataset_extra()
    n_graphs, n_nodes, d, seed = np.int64(3), np.uint8(5), np.int32(2), np.uint64(2**64 - 1)
    written = write_dataset(tmp_path / "data", n_graphs, n_nodes, d, seed, np.int16(2), model="knn", k=np.int64(2),
                            progress=False)
    assert written.manifest.arguments == {"n_graphs": 3, "n_nodes": 5, "d": 2, "seed": 2**64 - 1, "shard_size": 2}
    assert all(type(value) is int for value in written.manifest.arguments.values())
    graphs = generate_graph_batch("knn", n_graphs, n_nodes, d, seed, k=np.int64(2))
    stored = list(read_dataset(tmp_path / "data"))
    assert [g["edges"].tolist() for g in stored] == [g["edges"].tolist() for g in graphs]
    assert generic_labels(n_nodes, graphs[0]["edges"], d=d, seed=seed)["labels"].shape == (len(graphs[0]["edges"]),)
    assert batch_positions(n_graphs, n_nodes, d, seed).shape == (3, 5, 2)
