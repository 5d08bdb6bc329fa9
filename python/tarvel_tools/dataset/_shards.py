"""Making one shard: its graphs, chunk by chunk, each chunk a row group of the Parquet file.

A worker holds one chunk at a time, a few megabytes whatever the shard size, and
between chunks reports the graphs it made and checks whether it should stop.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import closing
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, ClassVar, Protocol

import tarvel

from . import _files, _model_parquet, _parquet
from ._manifest import ShardRecord
from ._optional import optional_module
from ..positions import batch_positions

if TYPE_CHECKING:
    from tarvel import SimulationResult

SEED_LIMIT = 2**64
# Shard data per chunk: large enough that the per-chunk Python work is negligible,
# small enough that a worker's memory and its reaction to a stop request stay small.
CHUNK_BYTES = 8 << 20


class ShardFormat(Protocol):
    """How a dataset's shards hold its graphs (`_parquet.TrainingShards`, `_model_parquet.ModelShards`):
    their Parquet schema and writer options, the conversion of graphs to a table and back,
    and an upper bound of one graph's data."""

    version: ClassVar[int]

    @property
    def bytes_per_graph(self) -> int: ...

    def write_options(self) -> dict[str, Any]: ...

    def schema(self, pa: Any) -> Any: ...

    def to_table(self, pa: Any, graphs: Sequence[Any], first_graph: int) -> Any: ...

    def to_graphs(self, table: Any) -> Iterator[Mapping[str, Any]]: ...


class GraphSource(Protocol):
    """The graphs of a dataset: `source(first, count)` gives graphs [first, first + count),
    `format` is how its shards hold them, and `from_table(table, first)` gives back the
    graphs of a shard's table, graph `first` first, as `source` made them."""

    @property
    def format(self) -> ShardFormat: ...

    def __call__(self, first: int, count: int) -> Sequence[Mapping[str, Any]]: ...

    def from_table(self, table: Any, first: int) -> Iterator[dict[str, Any]]: ...


@dataclass(frozen=True)
class TrainingBatch:
    """The graphs of `generate_training_batch(n_graphs, n_nodes, d, seed)`: graph k is graph 0 of seed + k."""

    n_nodes: int
    d: int
    seed: int

    @property
    def format(self) -> _parquet.TrainingShards:
        return _parquet.TrainingShards(self.n_nodes)

    def __call__(self, first: int, count: int) -> Sequence[SimulationResult]:
        return tarvel.generate_training_batch(count, self.n_nodes, self.d, (self.seed + first) % SEED_LIMIT)

    def from_table(self, table: Any, first: int) -> Iterator[dict[str, Any]]:
        """The batch's dictionaries with the positions `batch_positions` recomputes."""
        positions = batch_positions(table.num_rows, self.n_nodes, self.d, (self.seed + first) % SEED_LIMIT)
        for graph, points in zip(self.format.to_graphs(table), positions, strict=True):
            yield {**graph, "positions": points.copy()}


@dataclass(frozen=True)
class ModelBatch:
    """The graphs of `models.generate_graph_batch` with the complete parameters `model`
    (as `models.model_parameters` gives them, with ``labels`` and ``tol``)."""

    model: tuple[tuple[str, Any], ...]  # the parameters' items: hashable and picklable for Dask
    n_nodes: int
    d: int
    seed: int

    @property
    def format(self) -> _model_parquet.ModelShards:
        return _model_parquet.ModelShards(self.n_nodes, self.d)

    def __call__(self, first: int, count: int) -> Sequence[Mapping[str, Any]]:
        from ..models import generate_graph_batch

        params = dict(self.model)
        name = params.pop("model")
        return generate_graph_batch(name, count, self.n_nodes, self.d, (self.seed + first) % SEED_LIMIT, **params)

    def from_table(self, table: Any, first: int) -> Iterator[dict[str, Any]]:
        return self.format.to_graphs(table)


@dataclass(frozen=True)
class ShardTask:
    """Everything a worker (thread or Dask process) needs to make one shard."""

    directory: str
    record: ShardRecord
    graphs: GraphSource

    @property
    def chunk(self) -> int:
        """Graphs per row group."""
        return max(1, CHUNK_BYTES // self.graphs.format.bytes_per_graph)


class Stopped(Exception):
    """A shard abandoned on request; its temporary file is gone."""


def make_shard(
    task: ShardTask, made: Callable[[int], object] | None = None, stopping: Callable[[], bool] | None = None
) -> ShardRecord:
    """Write one shard under a temporary name, rename it and return its record with the checksum.

    `made(count)` is called after each chunk; when `stopping()` is true between chunks
    the shard is abandoned with `Stopped`. Runs on a worker thread or a Dask worker:
    the generation releases the interpreter lock, so several shards are made at once.
    """
    pa = optional_module("pyarrow", "write_dataset", "dataset")
    pq = optional_module("pyarrow.parquet", "write_dataset", "dataset")
    record = task.record
    path = Path(task.directory) / record.file
    # The hashing stream is closed before the file it writes to.
    with _files.atomic_file(path, durable=False) as stream, closing(_files.HashingWriter(stream)) as sink:
        shards = task.graphs.format
        with pq.ParquetWriter(sink, shards.schema(pa), **shards.write_options()) as writer:
            for first in range(record.first_graph, record.first_graph + record.rows, task.chunk):
                if stopping is not None and stopping():
                    raise Stopped(record.file)
                count = min(task.chunk, record.first_graph + record.rows - first)
                _write_chunk(pa, writer, task, first, count)
                if made is not None:
                    made(count)
    return replace(record, sha256=sink.hexdigest())


def _write_chunk(pa: Any, writer: Any, task: ShardTask, first: int, count: int) -> None:
    """One row group; the chunk's graphs are freed on return, before the next are made."""
    graphs = task.graphs(first, count)
    writer.write_table(task.graphs.format.to_table(pa, graphs, first))
