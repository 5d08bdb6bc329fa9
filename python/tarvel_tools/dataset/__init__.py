"""Sharded Parquet datasets of labelled frameworks, written locally or on a Dask cluster.

A dataset directory holds ``manifest.json`` and the shards ``shard-000000.parquet``,
``shard-000001.parquet``, ... Shard k holds graphs [k*S, k*S + S_k) of the batch
``generate_training_batch(n_graphs, n_nodes, d, seed)``, made as
``generate_training_batch(S_k, n_nodes, d, seed + k*S)``, which gives the same graphs;
or, for a dataset of model graphs, of ``models.generate_graph_batch(model, n_graphs,
n_nodes, d, seed, ...)``, cut the same way.

The manifest is written before the first shard. Shards are written under a temporary
name and renamed, and each is recorded with its SHA-256 checksum as soon as it is on
the disk, so a run that is interrupted or killed keeps every shard it finished: rerun
it with the same arguments and it makes only the others.

Modules: `store` (write, read, verify), `summary` (what a dataset holds), and the
private `_manifest` (manifest and journal), `_shards` (one shard's graphs),
`_runners` (threads or Dask), `_parquet`/`_model_parquet` (the two shard formats),
`_files` (atomic, checksummed files).
"""

from .store import (
    DatasetError,
    Manifest,
    OccupiedDirectoryError,
    OtherArgumentsError,
    ShardRecord,
    UnfinishedDatasetError,
    WriteResult,
    read_dataset,
    read_manifest,
    verify_dataset,
    write_dataset,
)
from .summary import summarize

__all__ = [
    "DatasetError",
    "Manifest",
    "OccupiedDirectoryError",
    "OtherArgumentsError",
    "ShardRecord",
    "UnfinishedDatasetError",
    "WriteResult",
    "read_dataset",
    "read_manifest",
    "summarize",
    "verify_dataset",
    "write_dataset",
]
