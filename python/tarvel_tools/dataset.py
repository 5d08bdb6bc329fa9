"""Sharded Parquet datasets of labelled frameworks, written locally or on a Dask cluster.

A dataset directory holds ``manifest.json`` and the shards ``shard-000000.parquet``,
``shard-000001.parquet``, ... Shard k holds graphs [k*S, k*S + S_k) of the batch
``generate_training_batch(n_graphs, n_nodes, d, seed)``, made as
``generate_training_batch(S_k, n_nodes, d, seed + k*S)``, which gives the same graphs.

The manifest is written before the first shard and records each finished shard with
its SHA-256 checksum; shards are written under a temporary name and renamed, so a run
that is killed can be rerun with the same arguments and only redoes what is missing.
"""

from __future__ import annotations

import hashlib
import importlib
import json
import os
import time
import uuid
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import tarvel

try:
    import fcntl
except ImportError:  # not POSIX: writers are not locked out
    fcntl = None  # type: ignore[assignment]

from . import _parquet

if TYPE_CHECKING:
    from tarvel import SimulationResult

__all__ = [
    "DatasetError",
    "Manifest",
    "ShardRecord",
    "WriteResult",
    "read_dataset",
    "read_manifest",
    "verify_dataset",
    "write_dataset",
]

MANIFEST_NAME = "manifest.json"
LOCK_NAME = ".lock"
FORMAT_NAME = "tarvel-training-dataset"
ARGUMENT_NAMES = ("n_graphs", "n_nodes", "d", "seed", "shard_size")
SEED_LIMIT = 2**64
# Finished shards are recorded at most this often (and at the end): rewriting the
# manifest after every shard costs quadratic time on datasets of many shards.
MANIFEST_INTERVAL_SECONDS = 2.0
# Shards handed to the executor at once, per worker thread: enough to keep every worker
# busy, few enough that memory stays bounded by the shard size.
SHARDS_IN_FLIGHT_PER_WORKER = 2
HASH_CHUNK_BYTES = 1 << 22


class DatasetError(ValueError):
    """A dataset directory that is missing, damaged, incomplete or made with other arguments."""


@dataclass(frozen=True)
class ShardRecord:
    """One shard: graphs [first_graph, first_graph + rows); `sha256` is None until it is written."""

    index: int
    file: str
    first_graph: int
    rows: int
    sha256: str | None = None


@dataclass(frozen=True)
class Manifest:
    """The contents of a dataset's manifest.json."""

    directory: Path
    n_graphs: int
    n_nodes: int
    d: int
    seed: int
    shard_size: int
    shards: tuple[ShardRecord, ...]

    @property
    def complete(self) -> bool:
        """Whether every shard has been written."""
        return all(shard.sha256 is not None for shard in self.shards)

    @property
    def arguments(self) -> dict[str, int]:
        """The arguments of `write_dataset` that define the dataset's contents."""
        return {name: getattr(self, name) for name in ARGUMENT_NAMES}


@dataclass(frozen=True)
class WriteResult:
    """What `write_dataset` did: the final manifest, and the work of this call alone."""

    manifest: Manifest
    shards_written: int
    shards_reused: int
    graphs_written: int
    seconds: float

    @property
    def graphs_per_second(self) -> float:
        """Graphs written by this call per second of its wall time."""
        return self.graphs_written / self.seconds if self.seconds > 0 else 0.0


@dataclass(frozen=True)
class _ShardTask:
    """Everything a worker (thread or Dask process) needs to make one shard."""

    directory: str
    record: ShardRecord
    n_nodes: int
    d: int
    seed: int


def _optional_module(name: str, needed_by: str, extra: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError as error:
        package = name.split(".")[0]
        raise ImportError(f"{needed_by} needs {package}: pip install 'tarvel[{extra}]'") from error


# ---------------------------------------------------------------------------------------
# Writing


def write_dataset(
    out_dir: str | os.PathLike[str],
    n_graphs: int,
    n_nodes: int,
    d: int,
    seed: int,
    shard_size: int,
    client: Any = None,
    workers: int | None = None,
    progress: bool = True,
) -> WriteResult:
    """Write `generate_training_batch(n_graphs, n_nodes, d, seed)` as Parquet shards of `shard_size` graphs.

    Locally, `workers` threads (default min(2, cpu count)) each generate and write whole
    shards. Given a Dask `distributed.Client`, or a scheduler address to connect to, the
    shards are made on the cluster's workers, which write them into `out_dir` (it must be
    on a file system they share with this process). Memory is bounded by a few shards per
    worker, whatever `n_graphs` is.

    Rerunning into a directory that holds a started or finished dataset with the same
    arguments keeps the shards whose checksum matches the manifest and writes the others;
    different arguments raise `DatasetError`.

    Returns a `WriteResult`: the finished `Manifest` and the number of shards and graphs
    this call wrote, with its wall time.
    """
    started = time.perf_counter()
    _check_arguments(n_graphs, n_nodes, d, seed, shard_size, client, workers)
    _optional_module("pyarrow.parquet", "write_dataset", "dataset")
    directory = Path(out_dir).absolute()
    directory.mkdir(parents=True, exist_ok=True)
    with _exclusive_writer(directory):
        manifest = _open_for_writing(directory, n_graphs, n_nodes, d, seed, shard_size)
        _remove_temporaries(directory)
        manifest, reused = _keep_verified_shards(manifest)
        todo = [shard for shard in manifest.shards if shard.sha256 is None]
        tasks = [_ShardTask(str(directory), shard, n_nodes, d, (seed + shard.first_graph) % SEED_LIMIT) for shard in todo]
        with _progress_bar(progress, n_graphs, n_graphs - sum(s.rows for s in todo)) as bar:
            manifest = _run_tasks(manifest, tasks, client, workers, bar.update)
    return WriteResult(
        manifest=manifest,
        shards_written=len(todo),
        shards_reused=reused,
        graphs_written=sum(shard.rows for shard in todo),
        seconds=time.perf_counter() - started,
    )


def _check_arguments(
    n_graphs: int, n_nodes: int, d: int, seed: int, shard_size: int, client: Any, workers: int | None
) -> None:
    values = {"n_graphs": n_graphs, "n_nodes": n_nodes, "d": d, "seed": seed, "shard_size": shard_size}
    if workers is not None:
        values["workers"] = workers
    for name, value in values.items():
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    lower_bounds = {"n_graphs": 0, "n_nodes": 1, "seed": 0, "shard_size": 1, "workers": 1}
    for name, lowest in lower_bounds.items():
        if name in values and values[name] < lowest:
            raise ValueError(f"{name} must be at least {lowest}, got {values[name]}")
    if d not in (2, 3):
        raise ValueError(f"d must be 2 or 3, got {d}")
    if seed >= SEED_LIMIT:
        raise ValueError(f"seed must be below 2**64, got {seed}")
    if n_nodes > _parquet.MAX_NODES:
        raise ValueError(f"n_nodes must be at most {_parquet.MAX_NODES}, got {n_nodes}")
    if client is not None and workers is not None:
        raise ValueError("workers applies to local runs only: a Dask cluster uses its own workers")


def _plan(n_graphs: int, shard_size: int) -> tuple[ShardRecord, ...]:
    count = -(-n_graphs // shard_size)
    width = max(6, len(str(count - 1)))
    return tuple(
        ShardRecord(k, f"shard-{k:0{width}d}.parquet", k * shard_size, min(shard_size, n_graphs - k * shard_size))
        for k in range(count)
    )


def _open_for_writing(directory: Path, n_graphs: int, n_nodes: int, d: int, seed: int, shard_size: int) -> Manifest:
    """The directory's manifest if it was made with these arguments, else a new one, saved."""
    wanted = Manifest(directory, n_graphs, n_nodes, d, seed, shard_size, _plan(n_graphs, shard_size))
    if (directory / MANIFEST_NAME).exists():
        existing = read_manifest(directory)
        differences = [
            f"{name}={existing.arguments[name]} (asked for {wanted.arguments[name]})"
            for name in ARGUMENT_NAMES
            if existing.arguments[name] != wanted.arguments[name]
        ]
        if differences:
            raise DatasetError(
                f"{directory} already holds a dataset made with other arguments: {', '.join(differences)}; "
                "use another directory or the same arguments to resume it"
            )
        return existing
    if any(directory.glob("shard-*.parquet")):
        raise DatasetError(f"{directory} holds shard files but no {MANIFEST_NAME}: refusing to overwrite them")
    _save_manifest(wanted)
    return wanted


@contextmanager
def _exclusive_writer(directory: Path) -> Iterator[None]:
    """Hold the directory's lock file: a second writer would delete the first one's temporaries."""
    if fcntl is None:
        yield
        return
    with (directory / LOCK_NAME).open("a") as lock:
        try:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise DatasetError(f"another write_dataset is writing into {directory}") from None
        yield


def _remove_temporaries(directory: Path) -> None:
    """Remove what killed runs left: temporary files are never part of a dataset."""
    for pattern in (".shard-*.tmp", f".{MANIFEST_NAME}.*.tmp"):
        for leftover in directory.glob(pattern):
            leftover.unlink(missing_ok=True)


def _keep_verified_shards(manifest: Manifest) -> tuple[Manifest, int]:
    """Forget the checksum of every recorded shard whose file is missing or differs."""
    shards = []
    reused = 0
    for shard in manifest.shards:
        if shard.sha256 is not None and _file_sha256(manifest.directory / shard.file) == shard.sha256:
            reused += 1
        else:
            shard = replace(shard, sha256=None)
        shards.append(shard)
    return replace(manifest, shards=tuple(shards)), reused


def _file_sha256(path: Path) -> str | None:
    digest = hashlib.sha256()
    try:
        with path.open("rb") as stream:
            while chunk := stream.read(HASH_CHUNK_BYTES):
                digest.update(chunk)
    except FileNotFoundError:
        return None
    return digest.hexdigest()


def _run_tasks(
    manifest: Manifest, tasks: Sequence[_ShardTask], client: Any, workers: int | None, advance: Callable[[int], Any]
) -> Manifest:
    """Run the shard tasks, recording finished shards in the manifest as they come in."""
    recorder = _ManifestRecorder(manifest)
    try:
        for shard in _execute(tasks, client, workers):
            recorder.record(shard)
            advance(shard.rows)
    finally:
        recorder.save()
    return recorder.manifest


class _ManifestRecorder:
    """Collects finished shards and saves the manifest now and then, atomically.

    Shards reach the disk before the manifest that lists them. Syncing them here, on
    the otherwise waiting driver, rather than in the workers keeps the workers busy.
    """

    def __init__(self, manifest: Manifest) -> None:
        self.manifest = manifest
        self._shards = list(manifest.shards)
        self._unsynced: list[Path] = []
        self._saved_at = time.monotonic()

    def record(self, shard: ShardRecord) -> None:
        self._shards[shard.index] = shard
        self._unsynced.append(self.manifest.directory / shard.file)
        if time.monotonic() - self._saved_at >= MANIFEST_INTERVAL_SECONDS:
            self.save()

    def save(self) -> None:
        for path in self._unsynced:
            _sync_file(path)
        self._unsynced.clear()
        self.manifest = replace(self.manifest, shards=tuple(self._shards))
        _save_manifest(self.manifest)
        self._saved_at = time.monotonic()


def _execute(tasks: Sequence[_ShardTask], client: Any, workers: int | None) -> Iterator[ShardRecord]:
    if not tasks:
        return iter(())
    if client is None:
        return _execute_locally(tasks, workers or min(2, os.cpu_count() or 1))
    return _execute_on_cluster(tasks, client)


def _execute_locally(tasks: Iterable[_ShardTask], workers: int) -> Iterator[ShardRecord]:
    with ThreadPoolExecutor(workers, thread_name_prefix="tarvel-shard") as pool:
        running: set[Future[ShardRecord]] = set()
        try:
            for task in tasks:
                if len(running) >= SHARDS_IN_FLIGHT_PER_WORKER * workers:
                    done, running = wait(running, return_when=FIRST_COMPLETED)
                    yield from (future.result() for future in done)
                running.add(pool.submit(_make_shard, task))
            for future in _completed(running):
                yield future.result()
        finally:
            for future in running:
                future.cancel()


def _completed(futures: set[Future[ShardRecord]]) -> Iterator[Future[ShardRecord]]:
    while futures:
        done, futures = wait(futures, return_when=FIRST_COMPLETED)
        yield from done


def _execute_on_cluster(tasks: Sequence[_ShardTask], client: Any) -> Iterator[ShardRecord]:
    distributed = _optional_module("distributed", "write_dataset with a Dask cluster", "dask")
    owned = isinstance(client, str)
    if owned:
        client = distributed.Client(client)
    try:
        threads = sum(client.nthreads().values())
        window = max(2, SHARDS_IN_FLIGHT_PER_WORKER * threads)
        queue = iter(tasks)
        finished = distributed.as_completed()
        for task in (next(queue) for _ in range(min(window, len(tasks)))):
            finished.add(client.submit(_make_shard, task, pure=False))
        for future in finished:
            yield future.result()
            following = next(queue, None)
            if following is not None:
                finished.add(client.submit(_make_shard, following, pure=False))
    finally:
        if owned:
            client.close()


def _make_shard(task: _ShardTask) -> ShardRecord:
    """Generate one shard, write it atomically and return its record with the checksum.

    Runs on a worker thread or a Dask worker: the generation releases the interpreter
    lock, so several shards are made at once.
    """
    pa = _optional_module("pyarrow", "write_dataset", "dataset")
    pq = _optional_module("pyarrow.parquet", "write_dataset", "dataset")
    graphs = tarvel.generate_training_batch(task.record.rows, task.n_nodes, task.d, task.seed)
    table = _parquet.graphs_to_table(pa, graphs, task.record.first_graph, task.n_nodes)
    del graphs
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, **_parquet.write_options())
    del table
    data = memoryview(sink.getvalue())
    _write_atomically(Path(task.directory) / task.record.file, data, durable=False)
    return replace(task.record, sha256=hashlib.sha256(data).hexdigest())


def _write_atomically(path: Path, data: bytes | memoryview, durable: bool = True) -> None:
    """Write under a temporary name, then rename: a reader never sees half a file.

    Without `durable` the data may still sit in the page cache: safe against a killed
    process, and the caller syncs it (`_sync_file`) before relying on it after a crash.
    """
    temporary = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    try:
        with temporary.open("wb") as stream:
            stream.write(data)
            if durable:
                stream.flush()
                os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    if durable:
        _sync_file(path.parent)


def _sync_file(path: Path) -> None:
    """Flush a file, or a directory's entries, to the disk."""
    if os.name != "posix" and path.is_dir():
        return
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


class _NoProgress:
    def update(self, n: int) -> None:
        pass

    def __enter__(self) -> _NoProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def _progress_bar(enabled: bool, total: int, done: int) -> Any:
    if not enabled:
        return _NoProgress()
    tqdm = _optional_module("tqdm", "write_dataset with progress=True", "dataset")
    return tqdm.tqdm(total=total, initial=done, unit=" graphs", unit_scale=total >= 10_000, smoothing=0.1)


# ---------------------------------------------------------------------------------------
# Manifest file


def _save_manifest(manifest: Manifest) -> None:
    document = {
        "format": FORMAT_NAME,
        "format_version": _parquet.FORMAT_VERSION,
        "arguments": manifest.arguments,
        "complete": manifest.complete,
        "shards": [
            {"file": s.file, "first_graph": s.first_graph, "rows": s.rows, "sha256": s.sha256} for s in manifest.shards
        ],
    }
    text = json.dumps(document, indent=1) + "\n"
    _write_atomically(manifest.directory / MANIFEST_NAME, text.encode())


def read_manifest(out_dir: str | os.PathLike[str]) -> Manifest:
    """The manifest of the dataset in `out_dir`; `DatasetError` if there is none or it is unreadable."""
    directory = Path(out_dir).absolute()
    path = directory / MANIFEST_NAME
    try:
        document = json.loads(path.read_text())
    except FileNotFoundError:
        raise DatasetError(f"{directory} holds no dataset: {MANIFEST_NAME} is missing") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise DatasetError(f"{path} is not a valid manifest: {error}") from None
    try:
        return _manifest_from_document(directory, document)
    except (KeyError, TypeError, ValueError) as error:
        raise DatasetError(f"{path} is not a valid manifest: {error!r}") from None


def _manifest_from_document(directory: Path, document: dict[str, Any]) -> Manifest:
    if document["format"] != FORMAT_NAME or document["format_version"] != _parquet.FORMAT_VERSION:
        raise ValueError(f"format {document['format']!r} version {document['format_version']!r} is not supported")
    arguments = {name: int(document["arguments"][name]) for name in ARGUMENT_NAMES}
    shards = tuple(
        ShardRecord(k, str(s["file"]), int(s["first_graph"]), int(s["rows"]), s["sha256"])
        for k, s in enumerate(document["shards"])
    )
    manifest = Manifest(directory, shards=shards, **arguments)
    planned = _plan(manifest.n_graphs, manifest.shard_size)
    if [replace(s, sha256=None) for s in shards] != list(planned):
        raise ValueError("the shard list does not match the arguments")
    return manifest


# ---------------------------------------------------------------------------------------
# Reading


def read_dataset(out_dir: str | os.PathLike[str], verify: bool = False) -> Iterator[SimulationResult]:
    """Iterate over the graphs of a finished dataset, in order, as `generate_training_batch` returns them.

    The dictionaries equal the extension's bit for bit: same keys in the same order,
    uint8 labels, C-contiguous n x n float64 distances, lists of int pairs, Python
    ints and bools. One shard is in memory at a time. With `verify`, every shard's
    checksum is compared with the manifest before it is read. Raises `DatasetError`
    at once for a missing or unfinished dataset, and while iterating for a damaged shard.
    """
    _optional_module("pyarrow.parquet", "read_dataset", "dataset")
    manifest = read_manifest(out_dir)
    if not manifest.complete:
        missing = sum(shard.sha256 is None for shard in manifest.shards)
        raise DatasetError(
            f"the dataset in {manifest.directory} is unfinished ({missing} of {len(manifest.shards)} shards "
            "missing): rerun write_dataset with the same arguments to complete it"
        )
    return _iterate_graphs(manifest, verify)


def _iterate_graphs(manifest: Manifest, verify: bool) -> Iterator[SimulationResult]:
    for shard in manifest.shards:
        table = _read_shard(manifest, shard, verify)
        yield from _parquet.table_to_graphs(table, manifest.n_nodes)


def _read_shard(manifest: Manifest, shard: ShardRecord, verify: bool) -> Any:
    pa = _optional_module("pyarrow", "read_dataset", "dataset")
    pq = _optional_module("pyarrow.parquet", "read_dataset", "dataset")
    path = manifest.directory / shard.file
    try:
        if verify:
            data = path.read_bytes()
            if hashlib.sha256(data).hexdigest() != shard.sha256:
                raise DatasetError(f"{path} does not match its checksum in the manifest")
            table = pq.read_table(pa.BufferReader(data))
        else:
            table = pq.read_table(path)
    except (OSError, pa.ArrowException) as error:
        raise DatasetError(f"cannot read {path}: {error}") from error
    _check_shard_contents(manifest, shard, table)
    return table


def _check_shard_contents(manifest: Manifest, shard: ShardRecord, table: Any) -> None:
    """Catch a shard that reads fine but belongs elsewhere (renamed, or from another dataset)."""
    expected_schema = _parquet.schema(_optional_module("pyarrow", "read_dataset", "dataset"), manifest.n_nodes)
    graphs = table["graph"].to_numpy() if table.schema.equals(expected_schema) else None
    expected = np.arange(shard.first_graph, shard.first_graph + shard.rows, dtype=np.uint64)
    if graphs is None or not np.array_equal(graphs, expected):
        raise DatasetError(
            f"{manifest.directory / shard.file} does not hold graphs {shard.first_graph}..{shard.first_graph + shard.rows - 1} "
            f"of this dataset"
        )


# ---------------------------------------------------------------------------------------
# Checking


def verify_dataset(out_dir: str | os.PathLike[str]) -> list[str]:
    """Problems found in a dataset directory (unfinished, missing or damaged shards); empty if it is sound."""
    manifest = read_manifest(out_dir)
    problems = []
    for shard in manifest.shards:
        path = manifest.directory / shard.file
        if shard.sha256 is None:
            problems.append(f"{shard.file}: not written yet")
            continue
        actual = _file_sha256(path)
        if actual is None:
            problems.append(f"{shard.file}: missing")
        elif actual != shard.sha256:
            problems.append(f"{shard.file}: checksum mismatch")
    return problems
