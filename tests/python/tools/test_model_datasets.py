"""Datasets of model graphs: shards equal one generate_graph_batch call, and the manifest records the model."""

import json
from dataclasses import replace

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("tqdm")

from tarvel_tools.dataset import _shards  # noqa: E402
from tarvel_tools.cli import main as cli_main  # noqa: E402
from tarvel_tools.dataset import DatasetError, read_dataset, read_manifest, verify_dataset, write_dataset  # noqa: E402
from tarvel_tools.models import generate_graph_batch, model_parameters  # noqa: E402
from tarvel_tools.dataset import summarize  # noqa: E402
from test_models import assert_same_graphs  # noqa: E402

# model, its parameters, n_graphs, n_nodes, d, seed, shard_size, labels, graphs per row group
CASES = [
    ("near-threshold", {}, 23, 12, 2, 2**64 - 7, 5, "numeric", 2),  # seeds wrap; uneven last shard
    ("knn", {"k": 3, "points": "grid"}, 10, 9, 3, 4, 4, "generic", None),  # in space: components with hinges
    ("geometric", {"radius": 0.4, "points": "circles", "n_circles": 2}, 7, 10, 2, 1, 7, "pebble", 3),
    ("henneberg", {}, 5, 1, 2, 0, 2, "numeric", None),  # one node: no bars, no components
    ("gnm", {"m": 0, "points": "clusters"}, 4, 5, 2, 0, 3, "numeric", None),  # no bars at all
]


@pytest.mark.parametrize(("model", "params", "n_graphs", "n_nodes", "d", "seed", "shard_size", "labels", "chunk"), CASES)
def test_round_trip_equals_one_call(tmp_path, monkeypatch, model, params, n_graphs, n_nodes, d, seed, shard_size, labels, chunk):
    if chunk is not None:
        monkeypatch.setattr(_shards, "CHUNK_BYTES", chunk * _shards.ModelBatch((), n_nodes, d, 0).format.bytes_per_graph)
    result = write_dataset(tmp_path, n_graphs, n_nodes, d, seed, shard_size, model=model, labels=labels,
                           workers=2, progress=False, **params)  # fmt: skip

    expected = generate_graph_batch(model, n_graphs, n_nodes, d, seed, labels=labels, **params)
    assert_same_graphs(list(read_dataset(tmp_path, verify=True)), expected)
    assert verify_dataset(tmp_path) == []
    numeric = {"tol": 1e-6, "arithmetic": "orthogonal"} if labels == "numeric" else {"tol": 1e-9}
    record = {**model_parameters(model, n_nodes, d, **params), "labels": labels, **numeric}
    assert result.manifest.model == record == read_manifest(tmp_path).model


def test_resuming_keeps_sound_shards_and_other_parameters_are_refused(tmp_path):
    write_dataset(tmp_path, 30, 10, 2, 3, 10, model="near-threshold", extra_bars=3, progress=False)
    (tmp_path / "shard-000001.parquet").unlink()
    again = write_dataset(tmp_path, 30, 10, 2, 3, 10, model="near-threshold", extra_bars=3, progress=False)
    assert (again.shards_written, again.shards_reused) == (1, 2)
    assert_same_graphs(list(read_dataset(tmp_path)), generate_graph_batch("near-threshold", 30, 10, 2, 3, extra_bars=3))
    with pytest.raises(DatasetError, match=r"extra_bars=3 \(asked for 2\)"):
        write_dataset(tmp_path, 30, 10, 2, 3, 10, model="near-threshold", progress=False)
    with pytest.raises(DatasetError, match=r"model=near-threshold \(asked for complete\)"):
        write_dataset(tmp_path, 30, 10, 2, 3, 10, progress=False)


def test_a_summary_of_a_dataset_is_that_of_its_graphs(tmp_path, capsys):
    argv = ["generate", "--graphs", "300", "--nodes", "12", "--dim", "2", "--seed", "8", "--shard-size", "100"]
    assert cli_main([*argv, "--model", "knn", "--k", "3", "--out", str(tmp_path), "--no-progress"]) == 0
    graphs = summarize(generate_graph_batch("knn", 300, 12, 2, 8, k=3))
    expected = replace(graphs, labelling="numeric, orthogonal arithmetic, tol 1e-06")
    assert summarize(tmp_path) == expected
    capsys.readouterr()
    assert cli_main(["summarize", str(tmp_path)]) == 0
    assert capsys.readouterr().out == f"{expected}\n"


def test_a_dataset_labelled_by_the_old_arithmetic_is_never_relabelled(tmp_path, capsys):
    arguments = (tmp_path, 30, 12, 3, 5, 10)
    write_dataset(*arguments, model="gnm", m=30, arithmetic="simulate", progress=False)
    # As written before manifests recorded the arithmetic, with one shard still to make.
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    del manifest["model"]["arithmetic"]
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    (tmp_path / "shard-000001.parquet").unlink()
    with pytest.raises(DatasetError, match=r"arithmetic=simulate \(asked for orthogonal\).*pass arithmetic=simulate"):
        write_dataset(*arguments, model="gnm", m=30, progress=False)
    argv = ["generate", "--graphs", "30", "--nodes", "12", "--dim", "3", "--seed", "5", "--shard-size", "10"]
    argv += ["--model", "gnm", "--m", "30", "--out", str(tmp_path), "--no-progress"]
    assert cli_main(argv) != 0
    assert "pass --arithmetic simulate" in capsys.readouterr().err
    assert cli_main([*argv, "--arithmetic", "simulate"]) == 0
    assert_same_graphs(list(read_dataset(tmp_path, verify=True)), generate_graph_batch("gnm", 30, 12, 3, 5, m=30, arithmetic="simulate"))
    assert summarize(tmp_path).labelling == "numeric, simulate arithmetic, tol 1e-09"


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"model": "knn"}, ValueError, "model 'knn' needs the parameter k"),
        ({"model": "knn", "k": 2, "radius": 1.0}, TypeError, "takes no parameter radius"),
        ({"k": 2}, TypeError, "the training batch of complete graphs takes no model parameters, labels or tol: k"),
        ({"model": "henneberg", "labels": "pebble", "d": 3}, ValueError, "pebble needs d = 2"),
    ],
)
def test_bad_models_are_refused_before_any_work(tmp_path, arguments, error, message):
    arguments = {"n_graphs": 5, "n_nodes": 6, "d": 2, "seed": 0, "shard_size": 2} | arguments
    with pytest.raises(error, match=message):
        write_dataset(tmp_path / "data", progress=False, **arguments)
    assert not (tmp_path / "data").exists()
