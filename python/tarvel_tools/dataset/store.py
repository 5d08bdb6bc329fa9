"""Writing, reading and verifying sharded Parquet datasets (see the package docstring)."""

from __future__ import annotations

import fnmatch
import hashlib
import numbers
import os
import time
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

try:
    import fcntl
except ImportError:  # not POSIX: writers are not locked out
    fcntl = None  # type: ignore[assignment]

from . import _files, _manifest, _parquet
from ._manifest import DatasetError, Manifest, ShardRecord
from ._optional import optional_module
from ._runners import make_shards, runner_for
from ._shards import SEED_LIMIT, GraphSource, ModelBatch, ShardTask, TrainingBatch
from .._graph_input import DEFAULT_TOLERANCE, arithmetic_code, default_tolerance
from ..models import _checked_labelling, _resolve_model

if TYPE_CHECKING:
    from tarvel import SimulationResult

__all__ = [
    "DatasetError",
    "Manifest",
    "OccupiedDirectoryError",
    "OtherArgumentsError",
    "ShardRecord",
    "UnfinishedDatasetError",
    "WriteResult",
    "check_arguments",
    "graph_source",
    "model_record",
    "read_dataset",
    "read_manifest",
    "verify_dataset",
    "write_dataset",
]

for _public in (DatasetError, Manifest, ShardRecord):
    # where users import them from, and Dask unpickles them
    _public.__module__ = __name__.rpartition(".")[0]

LOCK_NAME = ".lock"
# The model name that stands for the training batch of complete graphs.
COMPLETE = "complete"
# Beyond this many shards the manifest and the directory become unwieldy: larger shards are wanted.
MAX_SHARDS = 1_000_000

ProgressCallback = Callable[[int, int], object]
# Allowed values of write_dataset's integer arguments: (lowest, highest or None).
ARGUMENT_RANGES: dict[str, tuple[int, int | None]] = {
    "n_graphs": (0, SEED_LIMIT - 1),
    "n_nodes": (1, _parquet.MAX_NODES),
    "d": (2, 3),
    "seed": (0, SEED_LIMIT - 1),
    "shard_size": (1, None),
    "workers": (1, None),
}


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


# ---------------------------------------------------------------------------------------
# Writing


def write_dataset(
    out_dir: str | os.PathLike[str],
    n_graphs: int,
    n_nodes: int,
    d: int,
    seed: int,
    shard_size: int,
    *,
    model: str | None = None,
    labels: str = "numeric",
    tol: float | None = None,
    arithmetic: str | None = None,
    client: Any = None,
    workers: int | None = None,
    progress: bool | ProgressCallback = True,
    force: bool = False,
    **params: Any,
) -> WriteResult:
    """Write a batch of labelled graphs as Parquet shards of `shard_size` graphs.

    Without a model, the batch is `generate_training_batch(n_graphs, n_nodes, d, seed)`;
    with one, it is ``generate_graph_batch(model, n_graphs, n_nodes, d, seed,
    labels=labels, tol=tol, **params)``, and the manifest records the model with all its
    parameters.

    Parameters
    ----------
    out_dir : str or path
        The dataset directory, created if missing.
    n_graphs, n_nodes, d, seed
        The arguments of the batch the dataset holds.
    shard_size : int
        Graphs per shard file.
    model : str, optional
        A graph model of `tarvel_tools.models` (``"near-threshold"``, ``"knn"``, ...);
        None (or ``"complete"``) for the training batch of complete graphs.
    labels, tol, **params
        As in `models.generate_graph_batch`: how the bars are labelled, and the
        parameters of the graph and point models (``points``, ``k``, ``extra_bars``, ...).
    arithmetic : {"orthogonal", "simulate"}, optional
        The arithmetic of numeric labels, as in `models.generate_graph_batch`; the
        manifest records it. Default: "orthogonal" for a new dataset. A dataset whose
        manifest records no arithmetic was labelled by "simulate" (the arithmetic of
        every numeric dataset written before the orthogonal test): it is resumed or
        verified only with ``arithmetic="simulate"``, never relabelled.
    client : distributed.Client or str, optional
        A Dask client, or a scheduler address to connect to: the shards are made on the
        cluster's workers, which write them into `out_dir` (it must be on a file system
        they share with this process).
    workers : int, optional
        Local threads making shards (default min(2, CPU count)); not with `client`.
    progress : bool or callable, default True
        Show a progress bar (tqdm), or call ``progress(graphs_done, n_graphs)`` from this
        thread as graphs are made. Graphs of a shard count as they are made; a shard
        that an interrupt leaves unfinished is made again by the next run.
    force : bool, default False
        Write a new dataset into a directory that holds other files (they are left alone);
        without it such a directory is refused.

    Returns
    -------
    WriteResult
        The finished `Manifest`, and the shards and graphs this call wrote, with its wall time.

    Raises
    ------
    DatasetError
        `out_dir` is a file or cannot be written, holds a dataset made with other
        arguments (`OtherArgumentsError`), holds other files and `force` is not given
        (`OccupiedDirectoryError`), or another writer is writing into it.
    TypeError, ValueError
        A bad argument or model parameter (before any work).
    KeyboardInterrupt
        Passed on once every shard finished so far is recorded: rerunning with the same
        arguments makes only the missing shards.

    Notes
    -----
    A worker holds one chunk of a shard at a time (a few megabytes), whatever the shard
    size. Rerunning into a directory that holds a started or finished dataset with the
    same arguments keeps the shards whose checksum matches the manifest and writes the
    others; a finished dataset is only verified, which needs no write access.
    """
    started = time.perf_counter()
    checked = check_arguments(
        dict(n_graphs=n_graphs, n_nodes=n_nodes, d=d, seed=seed, shard_size=shard_size, workers=workers)
    )
    if client is not None and checked["workers"] is not None:
        raise ValueError("workers applies to local runs only: a Dask cluster uses its own workers")
    record = model_record(model, _required(checked, "n_nodes"), _required(checked, "d"), labels, tol, params,
                          arithmetic=arithmetic)  # fmt: skip
    optional_module("pyarrow.parquet", "write_dataset", "dataset")
    wanted = _planned_manifest(out_dir, checked, record)

    finished = _verified_if_complete(wanted)
    if finished is not None:
        seconds = time.perf_counter() - started
        return WriteResult(finished, shards_written=0, shards_reused=len(finished.shards), graphs_written=0, seconds=seconds)
    manifest, made, reused = _make_missing_shards(wanted, force, progress, client, checked["workers"])
    return WriteResult(
        manifest=manifest,
        shards_written=len(made),
        shards_reused=reused,
        graphs_written=sum(shard.rows for shard in made),
        seconds=time.perf_counter() - started,
    )


def _planned_manifest(out_dir: str | os.PathLike[str], checked: Mapping[str, int | None], record: Any) -> Manifest:
    """The manifest the checked arguments ask for, with its plan of shards, in a directory that is no file."""
    n_graphs, n_nodes, d, seed, shard_size = (
        _required(checked, name) for name in ("n_graphs", "n_nodes", "d", "seed", "shard_size")
    )
    directory = Path(out_dir).absolute()
    if directory.exists() and not directory.is_dir():
        raise DatasetError(f"{directory} is a file, not a directory")
    return Manifest(directory, n_graphs, n_nodes, d, seed, shard_size, _manifest.plan(n_graphs, shard_size), record)


def _make_missing_shards(
    wanted: Manifest, force: bool, progress: bool | ProgressCallback, client: Any, workers: int | None
) -> tuple[Manifest, list[ShardRecord], int]:
    """As the only writer of the directory: keep the shards that verify, make the others (each
    recorded as soon as it is on the disk) and return the final manifest, the shards made and
    how many were kept."""
    directory = wanted.directory
    with _writing_into(directory), _exclusive_writer(directory):
        manifest, reused = _keep_verified_shards(_open_for_writing(wanted, force))
        journal = _manifest.Journal(manifest)  # the verified state replaces what a killed writer left
        _remove_leftovers(directory)
        todo = [shard for shard in manifest.shards if shard.sha256 is None]
        source = graph_source(manifest)
        tasks = [ShardTask(str(directory), shard, source) for shard in todo]
        reporting = progress if callable(progress) else bool(progress)
        with _progress_reporter(reporting, wanted.n_graphs, wanted.n_graphs - sum(s.rows for s in todo)) as report:
            try:
                if tasks:
                    make_shards(journal, runner_for(tasks, client, workers), report)
            finally:
                journal.close()
                _remove_leftovers(directory)
    return journal.manifest, todo, reused


def model_record(
    model: str | None,
    n_nodes: int,
    d: int,
    labels: str,
    tol: float | None,
    params: Mapping[str, Any],
    label: Callable[[str], str] = str,
    *,
    arithmetic: str | None = None,
) -> dict[str, Any] | None:
    """What a manifest records of a dataset's model: its complete parameters with the labels,
    tolerance and, for numeric labels, arithmetic, checked for graphs of `n_nodes` nodes
    (already checked) in `d` dimensions; None for the training batch, which takes none of
    them (its labels are the simulation's). Errors name each parameter as `label(name)`."""
    if model is None or model == COMPLETE:
        extra = [
            *params,
            *(["labels"] if labels != "numeric" else []),
            *(["tol"] if tol not in (None, DEFAULT_TOLERANCE["simulate"]) else []),
            *(["arithmetic"] if arithmetic not in (None, "simulate") else []),
        ]
        if extra:
            raise TypeError(
                f"the training batch of complete graphs takes no model parameters, labels or tol: "
                f"{', '.join(map(label, extra))}"
            )
        return None
    record = _resolve_model(model, n_nodes, d, params, label)
    chosen = "orthogonal" if arithmetic is None else arithmetic
    arithmetic_code(chosen, label("arithmetic"))
    if tol is None:  # labels other than numeric take no tolerance: their manifests always held 1e-9
        tol = default_tolerance(chosen) if labels == "numeric" else DEFAULT_TOLERANCE["simulate"]
    record["labels"], record["tol"] = _checked_labelling(labels, tol, d, label)
    if record["labels"] == "numeric":
        record["arithmetic"] = chosen
    return record


def graph_source(manifest: Manifest) -> GraphSource:
    """The graphs of a dataset, and how its shards store them."""
    if manifest.model is None:
        return TrainingBatch(manifest.n_nodes, manifest.d, manifest.seed)
    return ModelBatch(tuple(manifest.model.items()), manifest.n_nodes, manifest.d, manifest.seed)


def _model_differences(
    existing: Mapping[str, Any] | None, wanted: Mapping[str, Any] | None
) -> dict[str, tuple[Any, Any]]:
    """The model parameters that differ, by name; the model alone when one of them is the training batch."""
    if existing is None or wanted is None:
        return {} if existing is wanted else {"model": (_model_name(existing), _model_name(wanted))}
    names = [*existing, *(name for name in wanted if name not in existing)]
    return {name: (existing.get(name), wanted.get(name)) for name in names if existing.get(name) != wanted.get(name)}


def _model_name(model: Mapping[str, Any] | None) -> str:
    return COMPLETE if model is None else str(model["model"])


def check_arguments(values: Mapping[str, object], label: Callable[[str], str] = str) -> dict[str, int | None]:
    """Return the integer arguments of `write_dataset` as Python ints (NumPy integers taken too).

    `values` maps argument names to values; None stands for an option left out.
    Raises `TypeError` or `ValueError` for a bad one, named by `label(name)`.
    """
    checked: dict[str, int | None] = {}
    for name, value in values.items():
        if value is None:
            checked[name] = None
            continue
        if not isinstance(value, numbers.Integral) or isinstance(value, (bool, np.bool_)):
            raise TypeError(f"{label(name)} must be an integer, not {type(value).__name__}")
        number = checked[name] = int(value)
        lowest, highest = ARGUMENT_RANGES[name]
        if number < lowest or (highest is not None and number > highest):
            raise ValueError(f"{label(name)} must {_allowed(lowest, highest, number)}, got {number}")
    n_graphs, shard_size = checked.get("n_graphs"), checked.get("shard_size")
    if n_graphs is not None and shard_size is not None and -(-n_graphs // shard_size) > MAX_SHARDS:
        raise ValueError(
            f"{label('shard_size')} {shard_size} makes {-(-n_graphs // shard_size):,} shards of {n_graphs:,} graphs; "
            f"at most {MAX_SHARDS:,} are allowed: make them larger"
        )
    return checked


def _required(checked: Mapping[str, int | None], name: str) -> int:
    value = checked[name]
    if value is None:
        raise TypeError(f"{name} must be an integer, not None")
    return value


def _allowed(lowest: int, highest: int | None, value: int) -> str:
    if highest == lowest + 1:
        return f"be {lowest} or {highest}"
    if value < lowest:
        return f"be at least {lowest}"
    return "be below 2**64" if highest == SEED_LIMIT - 1 else f"be at most {highest}"


class OtherArgumentsError(DatasetError):
    """The directory holds a dataset made with other arguments."""

    def __init__(self, directory: Path, differences: Mapping[str, tuple[Any, Any]]) -> None:
        self.directory = directory
        self.differences = dict(differences)
        super().__init__(self.describe())

    def describe(self, label: Callable[[str], str] = lambda name: f"{name}=") -> str:
        """The message, each argument written as `label(name)` before its value."""
        listed = ", ".join(f"{label(name)}{old} (asked for {new})" for name, (old, new) in self.differences.items())
        message = (
            f"{self.directory} already holds a dataset made with other arguments: {listed}; "
            "use another directory or the same arguments to resume it"
        )
        old, _ = self.differences.get("arithmetic", (None, None))
        if old is not None:
            message += (
                f". Its numeric labels were made with the {old} arithmetic and are kept as they are: "
                f"to go on with it, pass {label('arithmetic')}{old}; for labels of the other arithmetic, "
                "write into a new directory"
            )
        return message


def _existing(wanted: Manifest) -> Manifest | None:
    """The manifest in the wanted directory, if there is one; `OtherArgumentsError` if it differs."""
    if not (wanted.directory / _manifest.MANIFEST_NAME).exists():
        return None
    existing = _manifest.load(wanted.directory)
    differences: dict[str, tuple[Any, Any]] = {
        name: (existing.arguments[name], wanted.arguments[name])
        for name in _manifest.ARGUMENT_NAMES
        if existing.arguments[name] != wanted.arguments[name]
    }
    differences |= _model_differences(existing.model, wanted.model)
    if differences:
        raise OtherArgumentsError(wanted.directory, differences)
    return existing


def _verified_if_complete(wanted: Manifest) -> Manifest | None:
    """The dataset if it is already complete and sound: checking it needs no lock and no writing."""
    existing = _existing(wanted)
    if existing is None or not existing.complete:
        return None
    verified, _ = _keep_verified_shards(existing)
    return verified if verified.complete else None


def _open_for_writing(wanted: Manifest, force: bool) -> Manifest:
    """The directory's manifest if it was made with these arguments, else `wanted`."""
    existing = _existing(wanted)
    if existing is not None:
        return existing
    directory = wanted.directory
    if any(directory.glob("shard-*.parquet")) or (directory / _manifest.JOURNAL_NAME).exists():
        raise DatasetError(
            f"{directory} holds shard files but no {_manifest.MANIFEST_NAME}: refusing to overwrite them"
        )
    others = sorted(entry.name for entry in directory.iterdir() if not _ours(entry.name))
    if others and not force:
        raise OccupiedDirectoryError(directory, others)
    return wanted


def _ours(name: str) -> bool:
    """Whether a file name is one a writer makes (the lock and temporaries of a killed writer included)."""
    return name == LOCK_NAME or fnmatch.fnmatch(name, ".shard-*.tmp") or name.startswith(f".{_manifest.MANIFEST_NAME}.")


class OccupiedDirectoryError(DatasetError):
    """The directory holds files that are not part of a dataset, and no dataset."""

    def __init__(self, directory: Path, files: list[str]) -> None:
        self.directory = directory
        self.files = files
        super().__init__(self.describe())

    def describe(self, force: str = "force=True") -> str:
        """The message, naming the way to write beside the files as `force`."""
        shown = ", ".join(self.files[:3]) + (", ..." if len(self.files) > 3 else "")
        count = f"{len(self.files)} file{'' if len(self.files) == 1 else 's'}"
        return (
            f"{self.directory} holds {count} but no dataset ({shown}): "
            f"choose an empty or new directory, or pass {force} to write the dataset beside them"
        )


class UnfinishedDatasetError(DatasetError):
    """The dataset's writer has not finished (it was interrupted, or is still running)."""

    def __init__(self, manifest: Manifest) -> None:
        self.directory = manifest.directory
        self.missing = len(manifest.shards) - manifest.shards_done
        self.total = len(manifest.shards)
        super().__init__(self.describe())

    def describe(self, how: str = "rerun write_dataset with the same arguments") -> str:
        """The message, saying `how` to finish the dataset."""
        return (
            f"the dataset in {self.directory} is unfinished ({self.missing} of {self.total} shards "
            f"missing): {how} to complete it"
        )


@contextmanager
def _writing_into(directory: Path) -> Iterator[None]:
    """Create the directory; report a directory that cannot be written in its own terms, not a file's."""
    try:
        directory.mkdir(parents=True, exist_ok=True)
        yield
    except PermissionError:
        raise DatasetError(f"cannot write into {directory}: permission denied") from None
    except OSError as error:
        if error.filename is None or not str(error.filename).startswith(str(directory)):
            raise
        raise DatasetError(f"cannot write into {directory}: {error.strerror or error}") from None


@contextmanager
def _exclusive_writer(directory: Path) -> Iterator[None]:
    """Hold the directory's lock file while writing, and remove it afterwards.

    A second writer would delete the first one's temporaries.
    """
    if fcntl is None:
        yield
        return
    path = directory / LOCK_NAME
    descriptor = _lock(path)
    try:
        yield
    finally:
        path.unlink(missing_ok=True)  # before unlocking: see _lock
        os.close(descriptor)


def _lock(path: Path) -> int:
    """An open descriptor of `path`, locked.

    A writer removes the lock file while it still holds the lock; one that meanwhile
    opened and then locked the removed file finds that `path` no longer names it and
    tries again, so two writers never hold locks on different files.
    """
    while True:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if _names(path, descriptor):
                return descriptor
        except BlockingIOError:
            os.close(descriptor)
            raise DatasetError(f"another write_dataset is writing into {path.parent}") from None
        except BaseException:
            os.close(descriptor)
            raise
        os.close(descriptor)


def _names(path: Path, descriptor: int) -> bool:
    """Whether `path` names the file open as `descriptor`."""
    try:
        named = os.stat(path)
    except FileNotFoundError:
        return False
    opened = os.fstat(descriptor)
    return (named.st_dev, named.st_ino) == (opened.st_dev, opened.st_ino)


def _remove_leftovers(directory: Path) -> None:
    """Remove the temporary files of abandoned shards and manifests: they are never part of a dataset."""
    for pattern in (".shard-*.tmp", f".{_manifest.MANIFEST_NAME}.*.tmp"):
        for leftover in directory.glob(pattern):
            leftover.unlink(missing_ok=True)


def _keep_verified_shards(manifest: Manifest) -> tuple[Manifest, int]:
    """Forget the checksum of every recorded shard whose file is missing or differs."""
    shards = []
    reused = 0
    for shard in manifest.shards:
        if shard.sha256 is not None and _files.file_sha256(manifest.directory / shard.file) == shard.sha256:
            reused += 1
        else:
            shard = replace(shard, sha256=None)
        shards.append(shard)
    return replace(manifest, shards=tuple(shards)), reused


@contextmanager
def _progress_reporter(progress: bool | ProgressCallback, total: int, done: int) -> Iterator[Callable[[int], None]]:
    """A function to report the graphs made so far (after the `done` ones of kept shards)."""
    if progress is False or (progress is True and done == total):
        yield lambda made: None  # no bar when there is nothing to make
    elif progress is True:
        tqdm = optional_module("tqdm", "write_dataset with progress=True", "dataset")
        with tqdm.tqdm(total=total, initial=done, unit=" graphs", unit_scale=total >= 10_000, smoothing=0.1) as bar:
            yield lambda made: bar.update(done + made - bar.n)
    else:
        callback = progress
        reported = [-1]

        def report(made: int) -> None:
            if made != reported[0]:
                reported[0] = made
                callback(done + made, total)

        report(0)
        yield report


# ---------------------------------------------------------------------------------------
# Reading


def read_manifest(out_dir: str | os.PathLike[str]) -> Manifest:
    """The manifest of the dataset in `out_dir`, with the shards recorded so far by a running
    or killed writer; `DatasetError` if there is none or it is unreadable."""
    return _manifest.load(Path(out_dir).absolute())


def read_dataset(out_dir: str | os.PathLike[str], verify: bool = False) -> Iterator[dict[str, Any]]:
    """Iterate over the graphs of a finished dataset, in order, as they were made.

    A dataset of the training batch gives the dictionaries of `generate_training_batch`
    bit for bit (same keys in the same order, uint8 labels, C-contiguous n x n float64
    distances, lists of int pairs, Python ints and bools), followed by ``"positions"``:
    the graph's n x d coordinates, which the shards do not store but `batch_positions`
    recomputes bit for bit from the seed. A dataset of model graphs gives the
    dictionaries of `models.generate_graph_batch`, bit for bit, positions included.
    Every array owns its memory. One row group (a few megabytes) is converted at a time.
    With `verify`, every shard's checksum is compared with the manifest before it is
    read. Raises `DatasetError` at once for a missing or unfinished dataset, and while
    iterating for a damaged shard.
    """
    optional_module("pyarrow.parquet", "read_dataset", "dataset")
    manifest = read_manifest(out_dir)
    if not manifest.complete:
        raise UnfinishedDatasetError(manifest)
    return _iterate_graphs(manifest, verify)


def _iterate_graphs(manifest: Manifest, verify: bool) -> Iterator[dict[str, Any]]:
    source = graph_source(manifest)
    for shard in manifest.shards:
        for first, table in _shard_row_groups(manifest, source, shard, verify):
            yield from source.from_table(table, first)


def _shard_row_groups(
    manifest: Manifest, source: GraphSource, shard: ShardRecord, verify: bool
) -> Iterator[tuple[int, Any]]:
    """The shard's row groups as tables with their first graph, each checked to hold the next graphs of the shard."""
    pa = optional_module("pyarrow", "read_dataset", "dataset")
    pq = optional_module("pyarrow.parquet", "read_dataset", "dataset")
    path = manifest.directory / shard.file
    expected_schema = source.format.schema(pa)
    next_graph = shard.first_graph
    try:
        if verify:
            data = path.read_bytes()
            if hashlib.sha256(data).hexdigest() != shard.sha256:
                raise DatasetError(f"{path} does not match its checksum in the manifest")
            parquet = pq.ParquetFile(pa.BufferReader(data))
        else:
            parquet = pq.ParquetFile(path)
        with parquet:
            for group in range(parquet.num_row_groups):
                table = parquet.read_row_group(group)
                if not table.schema.equals(expected_schema) or not _numbered_from(table, next_graph):
                    break
                yield next_graph, table
                next_graph += table.num_rows
    except (OSError, pa.ArrowException) as error:
        raise DatasetError(f"cannot read {path}: {error}") from error
    if next_graph != shard.first_graph + shard.rows:
        raise DatasetError(
            f"{path} does not hold graphs {shard.first_graph}..{shard.first_graph + shard.rows - 1} of this dataset"
        )


def _numbered_from(table: Any, first: int) -> bool:
    """Catch rows that read fine but belong elsewhere (a renamed shard, or one of another dataset)."""
    expected = np.arange(first, first + table.num_rows, dtype=np.uint64)
    return bool(np.array_equal(table["graph"].to_numpy(), expected))


# ---------------------------------------------------------------------------------------
# Checking


def verify_dataset(out_dir: str | os.PathLike[str]) -> list[str]:
    """Problems found in a dataset directory (unfinished, missing or damaged shards); empty if it is sound."""
    manifest = read_manifest(out_dir)
    problems = []
    for shard in manifest.shards:
        if shard.sha256 is None:
            problems.append(f"{shard.file}: not written yet")
            continue
        actual = _files.file_sha256(manifest.directory / shard.file)
        if actual is None:
            problems.append(f"{shard.file}: missing")
        elif actual != shard.sha256:
            problems.append(f"{shard.file}: checksum mismatch")
    return problems
