"""Sharded Parquet datasets: bit-exact round trips, resuming, killed runs, Dask, argument errors."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import tarvel

pytest.importorskip("pyarrow")
pytest.importorskip("tqdm")

import tarvel_tools  # noqa: E402
from tarvel_tools.cli import main as cli_main  # noqa: E402
from tarvel_tools.dataset import _parquet, _shards  # noqa: E402
from tarvel_tools.dataset import DatasetError, read_dataset, read_manifest, verify_dataset, write_dataset  # noqa: E402
from tarvel_tools.models import generate_graph_batch  # noqa: E402
from tarvel_tools.positions import batch_positions  # noqa: E402
from test_models import assert_same_graphs as assert_same_model_graphs  # noqa: E402

KEYS = ["labels", "accepted_edges", "distance_matrix", "final_rank", "max_rank", "is_rigid", "n_nodes", "d"]


def assert_same_graphs(actual, expected, positions=None):
    """The batch's dictionaries, as read from shards: followed by the graph's positions when they are given."""
    actual = list(actual)
    assert len(actual) == len(expected)
    for k, (got, want) in enumerate(zip(actual, expected)):
        assert list(got) == KEYS + ["positions"] * (positions is not None), k
        if positions is not None:
            assert got["positions"].tobytes() == positions[k].tobytes() and got["positions"].shape == positions[k].shape
        for name in ("labels", "distance_matrix"):
            assert got[name].dtype == want[name].dtype and got[name].shape == want[name].shape, (k, name)
            assert got[name].flags.c_contiguous and got[name].flags.writeable, (k, name)
            assert got[name].tobytes() == want[name].tobytes(), (k, name)
        assert got["accepted_edges"] == want["accepted_edges"], k
        assert all(type(v) is int for edge in got["accepted_edges"] for v in edge), k
        for name in ("final_rank", "max_rank", "n_nodes", "d", "is_rigid"):
            assert type(got[name]) is type(want[name]) and got[name] == want[name], (k, name)


def shard_paths(directory):
    return sorted(Path(directory).glob("shard-*.parquet"))


@pytest.fixture
def graphs_per_chunk(monkeypatch):
    """Make shards in chunks of the given number of graphs (row groups of that size)."""

    def set_chunk(graphs, n_nodes):
        monkeypatch.setattr(_shards, "CHUNK_BYTES", graphs * _parquet.TrainingShards(n_nodes).bytes_per_graph)

    return set_chunk


@pytest.mark.parametrize(
    ("n_graphs", "n_nodes", "d", "seed", "shard_size", "workers", "chunk"),
    [
        (23, 6, 2, 0, 5, 2, 2),  # uneven last shard, several row groups per shard
        (10, 5, 3, 2**64 - 3, 4, 1, 3),  # seeds of later shards and chunks wrap past 2**64
        (7, 1, 2, 11, 3, 2, 1),  # one node: no labels, no edges
        (5, 2, 3, 4, 2, 2, None),  # max_rank 0 with an accepted edge
        (6, 9, 2, 5, 6, 1, None),  # one full shard
        (0, 4, 2, 0, 3, 1, None),  # empty dataset
    ],
)
def test_round_trip_equals_one_batch(tmp_path, graphs_per_chunk, n_graphs, n_nodes, d, seed, shard_size, workers, chunk):
    if chunk is not None:
        graphs_per_chunk(chunk, n_nodes)
    reports = []
    result = write_dataset(
        tmp_path, n_graphs, n_nodes, d, seed, shard_size, workers=workers, progress=lambda *done: reports.append(done)
    )

    assert_same_graphs(
        read_dataset(tmp_path, verify=True),
        tarvel.generate_training_batch(n_graphs, n_nodes, d, seed),
        batch_positions(n_graphs, n_nodes, d, seed),
    )
    rows = [shard.rows for shard in result.manifest.shards]
    assert sum(rows) == n_graphs and all(r == shard_size for r in rows[:-1])
    assert result.graphs_written == n_graphs and len(shard_paths(tmp_path)) == len(rows)
    assert verify_dataset(tmp_path) == []
    assert sorted(os.listdir(tmp_path)) == ["manifest.json", *(p.name for p in shard_paths(tmp_path))]
    assert reports[0] == (0, n_graphs) and reports[-1] == (n_graphs, n_graphs) and reports == sorted(set(reports))


def non_generic_graphs():
    collinear = tarvel.simulate(np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0], [1.0, 1.0]]), 2)
    generic = tarvel.generate_training_batch(1, 5, 2, 3)[0]
    inconsistent = dict(generic, accepted_edges=[(0, 1)])  # stored as given, not rebuilt from the labels
    return {"collinear": [generic, collinear], "inconsistent": [collinear, inconsistent, generic]}


@pytest.mark.parametrize("case", ["collinear", "inconsistent"])
def test_edges_are_stored_as_given(case):
    pa = pytest.importorskip("pyarrow")
    from tarvel_tools.dataset import _parquet

    graphs = non_generic_graphs()[case]
    table = _parquet.TrainingShards(5).to_table(pa, graphs, 0)
    assert_same_graphs(_parquet.TrainingShards(5).to_graphs(table), graphs)


def damage(directory):
    """A run that died late: missing shards, a stale temporary, a corrupted and an unrecorded shard.

    The journal of the killed writer records one more shard, then ends in a torn line.
    """
    paths = shard_paths(directory)
    manifest_path = Path(directory) / "manifest.json"
    document = json.loads(manifest_path.read_text())
    journal = [json.dumps({"file": paths[1].name, "sha256": document["shards"][1]["sha256"]}), '{"file": "sha']
    for shard in document["shards"][:2]:
        shard["sha256"] = None
    document["complete"] = False
    manifest_path.write_text(json.dumps(document))
    (Path(directory) / "manifest.journal").write_text("\n".join(journal))
    paths[-1].unlink()
    paths[-2].unlink()
    (Path(directory) / f".{paths[-2].name}.0123.tmp").write_bytes(b"PAR1 half a shard")
    corrupted = bytearray(paths[2].read_bytes())
    corrupted[len(corrupted) // 2] ^= 0xFF
    paths[2].write_bytes(bytes(corrupted))
    return {paths[0].name, paths[2].name, paths[-2].name, paths[-1].name}


def test_resume_rewrites_exactly_the_unsound_shards(tmp_path):
    args = (tmp_path, 40, 7, 2, 99, 5)
    write_dataset(*args, progress=False)
    rewritten = damage(tmp_path)
    assert len(verify_dataset(tmp_path)) == 4
    with pytest.raises(DatasetError, match="unfinished"):
        read_dataset(tmp_path)
    before = {p.name: p.stat().st_mtime_ns for p in shard_paths(tmp_path)}

    result = write_dataset(*args, workers=2, progress=False)

    assert (result.shards_written, result.shards_reused, result.graphs_written) == (4, 4, 20)
    after = {p.name: p.stat().st_mtime_ns for p in shard_paths(tmp_path)}
    assert {name for name in after if before.get(name) != after[name]} == rewritten
    assert sorted(os.listdir(tmp_path)) == ["manifest.json", *after]
    assert_same_graphs(
        read_dataset(tmp_path, verify=True), tarvel.generate_training_batch(40, 7, 2, 99), batch_positions(40, 7, 2, 99)
    )


def test_reading_detects_damage(tmp_path):
    write_dataset(tmp_path, 12, 5, 2, 1, 4, progress=False)
    first, second = shard_paths(tmp_path)[:2]
    data = bytearray(first.read_bytes())
    data[-20] ^= 0x01
    first.write_bytes(bytes(data))
    with pytest.raises(DatasetError, match="checksum"):
        list(read_dataset(tmp_path, verify=True))
    second.replace(first)  # a sound shard in the wrong place
    with pytest.raises(DatasetError, match="does not hold graphs 0..3"):
        list(read_dataset(tmp_path))


def package_environment():
    """Child processes import the package from wherever this test imported it."""
    root = str(Path(tarvel_tools.__file__).resolve().parent.parent)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    return env


def tidy(directory):
    """Whether a directory holds only the manifest and recorded shards, each matching its checksum."""
    manifest = read_manifest(directory)
    recorded = {shard.file for shard in manifest.shards if shard.sha256 is not None}
    problems = [p for p in verify_dataset(directory) if not p.endswith("not written yet")]
    return sorted(os.listdir(directory)) == ["manifest.json", *sorted(recorded)] and not problems


def recorded_shards(directory):
    try:
        return read_manifest(directory).shards_done
    except DatasetError:  # no manifest yet
        return 0


# `python -m tarvel_tools` that waits for the test's signal once it has recorded a shard, with
# Ctrl-C raising KeyboardInterrupt as in a terminal even where this suite runs with SIGINT
# ignored (a background job), which the interpreter would inherit.
STOPPED_WHEN_A_SHARD_IS_RECORDED = """
import runpy, signal, time
from tarvel_tools.dataset import _manifest

signal.signal(signal.SIGINT, signal.default_int_handler)
record, waited = _manifest.Journal.record, []

def record_then_wait(journal, shards):
    record(journal, shards)
    if shards and not waited:
        waited.append(True)
        while True:
            time.sleep(1)

_manifest.Journal.record = record_then_wait
runpy.run_module("tarvel_tools", run_name="__main__", alter_sys=True)
"""


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGKILL], ids=["SIGINT", "SIGKILL"])
def test_stopped_cli_run_keeps_its_shards_and_is_completed_by_rerunning(tmp_path, stop):
    out = tmp_path / "data"
    arguments = ["generate", "--graphs", "3_000", "--nodes", "12", "--dim", "2", "--seed", "7", "--out", str(out)]
    arguments += ["--shard-size", "100", "--workers", "1", "--no-progress"]
    env = package_environment()
    first_run = [sys.executable, "-c", STOPPED_WHEN_A_SHARD_IS_RECORDED, *arguments]
    process = subprocess.Popen(first_run, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    while recorded_shards(out) == 0:
        assert process.poll() is None, process.communicate()
        time.sleep(0.01)
    process.send_signal(stop)
    stdout, stderr = process.communicate(timeout=60)
    done = read_manifest(out).shards_done
    assert 0 < done < 30
    if stop == signal.SIGINT:
        assert process.returncode == 130 and stdout == ""
        assert stderr == (
            f"interrupted: {100 * done:,} graphs of 3,000 kept ({done} of 30 shards done; graphs of unfinished "
            "shards are made again); run the same command again to resume\n"
        )
        assert tidy(out)
    else:
        assert process.returncode == -signal.SIGKILL

    finished = subprocess.run(
        [sys.executable, "-m", "tarvel_tools", *arguments], env=env, capture_output=True, text=True, timeout=120
    )

    assert finished.returncode == 0, finished.stderr
    kept = f"{done} shard{'s' if done > 1 else ''} kept from an earlier run"
    assert f"({30 - done} shards, {kept})" in finished.stdout.splitlines()[-1]
    assert tidy(out)
    assert_same_model_graphs(list(read_dataset(out)), generate_graph_batch("near-threshold", 3000, 12, 2, 7))


def test_interrupted_write_dataset_records_its_shards_before_passing_the_interrupt_on(tmp_path, graphs_per_chunk):
    graphs_per_chunk(3, 6)

    def interrupt_after_two_shards(done, total):
        if read_manifest(tmp_path).shards_done >= 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        write_dataset(tmp_path, 200, 6, 2, 1, 10, workers=2, progress=interrupt_after_two_shards)

    kept = read_manifest(tmp_path).shards_done
    assert 2 <= kept < 20 and tidy(tmp_path)
    result = write_dataset(tmp_path, 200, 6, 2, 1, 10, progress=False)
    assert (result.shards_written, result.shards_reused) == (20 - kept, kept)
    assert_same_graphs(
        read_dataset(tmp_path, verify=True), tarvel.generate_training_batch(200, 6, 2, 1), batch_positions(200, 6, 2, 1)
    )


def test_a_complete_dataset_is_verified_without_writing(tmp_path, capsys):
    write_dataset(tmp_path, 12, 5, 2, 3, 4, progress=False)
    listing = {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()}
    tmp_path.chmod(0o555)  # read-only (root ignores it: the listing shows nothing was written)
    try:
        argv = ["generate", "--graphs", "12", "--nodes", "5", "--dim", "2", "--seed", "3", "--shard-size", "4"]
        argv += ["--model", "complete"]
        assert cli_main([*argv, "--out", str(tmp_path), "--no-progress"]) == 0
    finally:
        tmp_path.chmod(0o755)
    assert "complete already, 3 shards verified" in capsys.readouterr().out
    assert {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()} == listing


def test_dask_cluster_writes_the_same_dataset(tmp_path):
    distributed = pytest.importorskip("distributed")
    expected = tarvel.generate_training_batch(45, 8, 3, 2**64 - 20)
    positions = batch_positions(45, 8, 3, 2**64 - 20)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, env=package_environment()
    ) as cluster:
        with distributed.Client(cluster) as client:
            write_dataset(tmp_path / "client", 45, 8, 3, 2**64 - 20, 4, client=client, progress=False)
            write_dataset(tmp_path / "model", 20, 8, 2, 5, 6, model="knn", k=3, client=client, progress=False)
        write_dataset(tmp_path / "address", 45, 8, 3, 2**64 - 20, 10, client=cluster.scheduler_address)
    assert_same_graphs(read_dataset(tmp_path / "client", verify=True), expected, positions)
    assert_same_graphs(read_dataset(tmp_path / "address", verify=True), expected, positions)
    assert_same_model_graphs(list(read_dataset(tmp_path / "model", verify=True)), generate_graph_batch("knn", 20, 8, 2, 5, k=3))


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        ({"shard_size": 0}, ValueError, "shard_size must be at least 1"),
        ({"n_graphs": -1}, ValueError, "n_graphs must be at least 0"),
        ({"n_nodes": 0}, ValueError, "n_nodes must be at least 1"),
        ({"d": 4}, ValueError, "d must be 2 or 3"),
        ({"seed": 2**64}, ValueError, "seed must be below 2\\*\\*64"),
        ({"seed": -1}, ValueError, "seed must be at least 0"),
        ({"workers": 0}, ValueError, "workers must be at least 1"),
        ({"n_graphs": 5.0}, TypeError, "n_graphs must be an int"),
        ({"d": True}, TypeError, "d must be an int"),
        ({"client": "tcp://127.0.0.1:1", "workers": 2}, ValueError, "workers applies to local runs"),
    ],
)
def test_bad_arguments_are_refused_before_any_work(tmp_path, change, error, message):
    arguments = {"n_graphs": 5, "n_nodes": 4, "d": 2, "seed": 0, "shard_size": 2} | change
    with pytest.raises(error, match=message):
        write_dataset(tmp_path / "data", progress=False, **arguments)
    assert not (tmp_path / "data").exists()


def test_other_arguments_into_an_existing_dataset_are_refused(tmp_path, capsys):
    write_dataset(tmp_path, 6, 4, 2, 0, 3, progress=False)
    with pytest.raises(DatasetError, match=r"seed=0 \(asked for 1\), shard_size=3 \(asked for 2\)"):
        write_dataset(tmp_path, 6, 4, 2, 1, 2, progress=False)
    argv = ["generate", "--graphs", "6", "--nodes", "4", "--dim", "2", "--seed", "1", "--shard-size", "2"]
    assert cli_main([*argv, "--model", "complete", "--out", str(tmp_path)]) == 2
    assert "--seed 0 (asked for 1), --shard-size 3 (asked for 2)" in capsys.readouterr().err
    assert read_manifest(tmp_path).complete


def test_directories_owned_by_others_are_refused(tmp_path):
    fcntl = pytest.importorskip("fcntl")
    (tmp_path / "foreign").mkdir()
    (tmp_path / "foreign" / "shard-000000.parquet").write_bytes(b"someone else's")
    with pytest.raises(DatasetError, match="no manifest.json"):
        write_dataset(tmp_path / "foreign", 4, 4, 2, 0, 2, progress=False)
    (tmp_path / "busy").mkdir()
    with open(tmp_path / "busy" / ".lock", "a") as lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
        with pytest.raises(DatasetError, match="another write_dataset"):
            write_dataset(tmp_path / "busy", 4, 4, 2, 0, 2, progress=False)
    assert not (tmp_path / "busy" / "manifest.json").exists()
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "todo.txt").write_text("mine")
    with pytest.raises(DatasetError, match=r"holds 1 file but no dataset \(todo.txt\).*pass force=True"):
        write_dataset(tmp_path / "notes", 4, 4, 2, 0, 2, progress=False)
    assert write_dataset(tmp_path / "notes", 4, 4, 2, 0, 2, progress=False, force=True).manifest.complete


def test_cli_verify_reports_damage(tmp_path, capsys):
    write_dataset(tmp_path, 8, 4, 2, 0, 4, progress=False)
    assert cli_main(["verify", str(tmp_path)]) == 0
    shard_paths(tmp_path)[1].unlink()
    assert cli_main(["verify", str(tmp_path)]) == 1
    assert "shard-000001.parquet: missing" in capsys.readouterr().out
