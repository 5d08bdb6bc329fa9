"""What a dataset directory records about itself: ``manifest.json`` and ``manifest.journal``.

``manifest.json`` holds the arguments that define the dataset and its planned shards,
each with its SHA-256 checksum once written (null before). A dataset of model graphs
also records its model: the complete parameters of `models.model_parameters`, the
labels, the tolerance and, for numeric labels, the arithmetic that made them (format
version 2; a manifest written before the arithmetic was recorded has none, and its
labels are those of the simulation's arithmetic, "simulate"); one of the training
batch has none (format version 1). While a writer runs, every
shard it finishes is appended to ``manifest.journal`` as one JSON line, once the shard
is on the disk: recording a shard costs the same on a dataset of ten shards or of a
million, where rewriting the manifest each time would cost time quadratic in their
number. A writer saves ``manifest.json`` with every shard it recorded and removes the
journal when it stops, however it stops; a journal left by a killed writer is merged
by every reader and folded into the manifest by the next writer.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

from . import _files, _model_parquet, _parquet
from .._graph_input import DEFAULT_TOLERANCE

MANIFEST_NAME = "manifest.json"
JOURNAL_NAME = "manifest.journal"
FORMAT_NAME = "tarvel-training-dataset"
ARGUMENT_NAMES = ("n_graphs", "n_nodes", "d", "seed", "shard_size")


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
    """The contents of a dataset's manifest."""

    directory: Path
    n_graphs: int
    n_nodes: int
    d: int
    seed: int
    shard_size: int
    shards: tuple[ShardRecord, ...]
    model: Mapping[str, Any] | None = None  # None: the graphs of generate_training_batch

    @property
    def format_version(self) -> int:
        """1 for a dataset of the training batch, 2 for one of model graphs."""
        return _parquet.TrainingShards.version if self.model is None else _model_parquet.ModelShards.version

    @property
    def complete(self) -> bool:
        """Whether every shard has been written."""
        return all(shard.sha256 is not None for shard in self.shards)

    @property
    def shards_done(self) -> int:
        """How many shards have been written."""
        return sum(shard.sha256 is not None for shard in self.shards)

    @property
    def arguments(self) -> dict[str, int]:
        """The arguments of `write_dataset` that define the dataset's contents."""
        return {name: getattr(self, name) for name in ARGUMENT_NAMES}

    def with_shards(self, records: Iterable[ShardRecord]) -> Manifest:
        """This manifest with the given shards replaced."""
        shards = list(self.shards)
        for record in records:
            shards[record.index] = record
        return replace(self, shards=tuple(shards))


def plan(n_graphs: int, shard_size: int) -> tuple[ShardRecord, ...]:
    """The shards of a dataset of `n_graphs` graphs, none written yet."""
    count = -(-n_graphs // shard_size)
    width = max(6, len(str(count - 1)))
    return tuple(
        ShardRecord(k, f"shard-{k:0{width}d}.parquet", k * shard_size, min(shard_size, n_graphs - k * shard_size))
        for k in range(count)
    )


def save(manifest: Manifest) -> None:
    """Write manifest.json atomically and durably."""
    document = {
        "format": FORMAT_NAME,
        "format_version": manifest.format_version,
        "arguments": manifest.arguments,
        **({} if manifest.model is None else {"model": dict(manifest.model)}),
        "complete": manifest.complete,
        "shards": [
            {"file": s.file, "first_graph": s.first_graph, "rows": s.rows, "sha256": s.sha256} for s in manifest.shards
        ],
    }
    with _files.atomic_file(manifest.directory / MANIFEST_NAME) as stream:
        stream.write((json.dumps(document, indent=1) + "\n").encode())


def load(directory: Path) -> Manifest:
    """The manifest in `directory` with its journal merged; `DatasetError` if there is none or it is unreadable."""
    path = directory / MANIFEST_NAME
    try:
        document = json.loads(path.read_text())
    except FileNotFoundError:
        raise DatasetError(f"{directory} holds no dataset: {MANIFEST_NAME} is missing") from None
    except NotADirectoryError:
        raise DatasetError(f"{directory} is a file, not a dataset directory") from None
    except OSError as error:
        raise DatasetError(f"cannot read {path}: {error.strerror or error}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise DatasetError(f"{path} is not a valid manifest: {error}") from None
    try:
        manifest = _from_document(directory, document)
    except (KeyError, TypeError, ValueError) as error:
        raise DatasetError(f"{path} is not a valid manifest: {error!r}") from None
    return manifest.with_shards(_journal_records(manifest))


def _from_document(directory: Path, document: dict[str, Any]) -> Manifest:
    model = document.get("model")
    manifest_version = _parquet.TrainingShards.version if model is None else _model_parquet.ModelShards.version
    if document["format"] != FORMAT_NAME or document["format_version"] != manifest_version:
        raise ValueError(f"format {document['format']!r} version {document['format_version']!r} is not supported")
    arguments = {name: int(document["arguments"][name]) for name in ARGUMENT_NAMES}
    shards = tuple(
        ShardRecord(k, str(s["file"]), int(s["first_graph"]), int(s["rows"]), s["sha256"])
        for k, s in enumerate(document["shards"])
    )
    manifest = Manifest(directory, shards=shards, model=None if model is None else _with_arithmetic(model), **arguments)
    if [replace(s, sha256=None) for s in shards] != list(plan(manifest.n_graphs, manifest.shard_size)):
        raise ValueError("the shard list does not match the arguments")
    return manifest


def _with_arithmetic(model: Mapping[str, Any]) -> dict[str, Any]:
    """A model record with the arithmetic of its numeric labels: one written before it was
    recorded was labelled by the simulation's arithmetic."""
    record = dict(model)
    if record.get("labels") == "numeric":
        record.setdefault("arithmetic", "simulate")
    return record


def labelling(manifest: Manifest) -> str:
    """How a dataset's bars were labelled, in words."""
    if manifest.model is None:
        return "numeric, simulate arithmetic (the training batch of complete graphs)"
    labels = str(manifest.model.get("labels", "numeric"))
    if labels != "numeric":
        return labels
    return f"numeric, {manifest.model['arithmetic']} arithmetic, tol {manifest.model.get('tol', DEFAULT_TOLERANCE['simulate']):g}"


def _journal_records(manifest: Manifest) -> list[ShardRecord]:
    """The shards the journal records, in the order they were written.

    A line without its newline is the last write of a writer killed in the middle of it,
    and is ignored.
    """
    path = manifest.directory / JOURNAL_NAME
    try:
        text = path.read_text()
    except FileNotFoundError:
        return []
    by_file = {shard.file: shard for shard in manifest.shards}
    records = []
    for number, line in enumerate(text.splitlines(keepends=True), 1):
        if not line.endswith("\n"):
            break
        try:
            entry = json.loads(line)
            records.append(replace(by_file[entry["file"]], sha256=str(entry["sha256"])))
        except (ValueError, KeyError, TypeError) as error:
            raise DatasetError(f"{path}, line {number}, is not a shard of this dataset: {error!r}") from None
    return records


class Journal:
    """The manifest a writer is filling in: finished shards go to manifest.journal, and all to manifest.json.

    Each shard file, and the directory entry that names it, is flushed to the disk
    before its line is appended, so the journal never names a shard that a crash of
    the machine could lose; the journal itself needs no flushing, as losing its last
    lines only means remaking those shards.
    """

    def __init__(self, manifest: Manifest) -> None:
        """Start from `manifest`: it is saved, and a journal left behind by a killed writer removed."""
        self.manifest = manifest
        self._path = manifest.directory / JOURNAL_NAME
        save(manifest)
        self._path.unlink(missing_ok=True)
        self._descriptor = os.open(self._path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

    def record(self, shards: Sequence[ShardRecord]) -> None:
        """Record finished shards; recording one again changes nothing."""
        if not shards:
            return
        for shard in shards:
            _files.sync(self.manifest.directory / shard.file)
        _files.sync(self.manifest.directory)
        lines = "".join(json.dumps({"file": s.file, "sha256": s.sha256}) + "\n" for s in shards)
        os.write(self._descriptor, lines.encode())  # one write: an interrupt cannot split it
        self.manifest = self.manifest.with_shards(shards)

    def close(self) -> None:
        """Save manifest.json with every shard recorded, and remove the journal.

        The journal is read back first: an interrupt may have cut `record` short after
        its write.
        """
        os.close(self._descriptor)
        self.manifest = self.manifest.with_shards(_journal_records(self.manifest))
        save(self.manifest)
        self._path.unlink(missing_ok=True)
