"""Making one shard: its graphs, chunk by chunk, each chunk a row group of the Parquet file.

A worker holds one chunk at a time, a few megabytes whatever the shard size, and
between chunks reports the graphs it made and checks whether it should stop.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from contextlib import closing
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

import tarvel

from . import _files, _parquet
from ._manifest import ShardRecord
from ._optional import optional_module

if TYPE_CHECKING:
    from tarvel import SimulationResult

SEED_LIMIT = 2**64
# Shard data per chunk: large enough that the per-chunk Python work is negligible,
# small enough that a worker's memory and its reaction to a stop request stay small.
CHUNK_BYTES = 8 << 20


class GraphSource(Protocol):
    """The graphs of a dataset: `source(first, count)` gives graphs [first, first + count)."""

    def __call__(self, first: int, count: int) -> Sequence[SimulationResult]: ...


@dataclass(frozen=True)
class TrainingBatch:
    """The graphs of `generate_training_batch(n_graphs, n_nodes, d, seed)`: graph k is graph 0 of seed + k."""

    n_nodes: int
    d: int
    seed: int

    def __call__(self, first: int, count: int) -> Sequence[SimulationResult]:
        return tarvel.generate_training_batch(count, self.n_nodes, self.d, (self.seed + first) % SEED_LIMIT)


@dataclass(frozen=True)
class ShardTask:
    """Everything a worker (thread or Dask process) needs to make one shard."""

    directory: str
    record: ShardRecord
    n_nodes: int
    graphs: GraphSource

    @property
    def chunk(self) -> int:
        """Graphs per row group."""
        return max(1, CHUNK_BYTES // _parquet.bytes_per_graph(self.n_nodes))


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
        with pq.ParquetWriter(sink, _parquet.schema(pa, task.n_nodes), **_parquet.write_options()) as writer:
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
    writer.write_table(_parquet.graphs_to_table(pa, graphs, first, task.n_nodes))
