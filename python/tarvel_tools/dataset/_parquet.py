"""Conversion between batches of result dictionaries and Arrow tables, one row per graph.

Every column is built from one flat NumPy array per shard, so the Python work per
graph (done with the interpreter lock held) stays a few list and array look-ups.

Columns: ``graph`` (index in the dataset), ``n_nodes``, ``d``, ``final_rank``,
``max_rank`` (uint64), ``is_rigid`` (bool), ``labels`` (list of uint8, one per
candidate pair; a plain list because Parquet cannot keep lists of fixed size 0,
which one-node graphs have), ``accepted_edges`` (list of uint32 pairs) and
``distance_matrix`` (n*n float64 in row-major order).
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from itertools import chain
from typing import TYPE_CHECKING, Any, ClassVar, Literal

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from tarvel import SimulationResult

FORMAT_VERSION = 1

# Largest n whose n*n distances fit a fixed-size list (its size is a 32-bit int).
MAX_NODES = 46340

ScalarKey = Literal["n_nodes", "d", "final_rank", "max_rank"]
SCALAR_COLUMNS: tuple[ScalarKey, ...] = ("n_nodes", "d", "final_rank", "max_rank")


def item(pa: Any, kind: Any) -> Any:
    """The field of a list's elements, which are never null."""
    return pa.field("element", kind, nullable=False)


def leading_fields(pa: Any, scalar_columns: Sequence[str]) -> list[Any]:
    """The first columns of every shard: the graph's number, its uint64 scalars and whether it is rigid."""
    fields = [pa.field("graph", pa.uint64(), nullable=False)]
    fields += [pa.field(name, pa.uint64(), nullable=False) for name in scalar_columns]
    return [*fields, pa.field("is_rigid", pa.bool_(), nullable=False)]


def list_array(pa: Any, flat: npt.NDArray[Any], counts: npt.NDArray[np.int64], kind: Any) -> Any:
    """A list column of `kind` whose k-th list holds the next counts[k] values of `flat`."""
    values = pa.array(flat)
    if pa.types.is_fixed_size_list(kind.value_type):
        values = pa.FixedSizeListArray.from_arrays(values, type=kind.value_type)
    offsets = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    return pa.LargeListArray.from_arrays(pa.array(offsets), values, type=kind)


def _distances_array(pa: Any, graphs: Sequence[SimulationResult], kind: Any) -> Any:
    flat = np.concatenate([g["distance_matrix"] for g in graphs]).reshape(-1)
    return pa.FixedSizeListArray.from_arrays(pa.array(flat), type=kind)


def _edge_ends(
    graphs: Sequence[SimulationResult],
    flat_labels: npt.NDArray[np.uint8],
    n_nodes: int,
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.int64]]:
    """Flat (i, j) ends of every graph's accepted edges, and each graph's edge count.

    The accepted edges are the candidate pairs labelled 1, in candidate order, so they
    are taken from the labels with NumPy; each graph's list is still compared with that
    (cheaply: a few label patterns recur), and any difference falls back to copying the lists.
    """
    edges = [g["accepted_edges"] for g in graphs]
    counts = np.fromiter(map(len, edges), dtype=np.int64, count=len(edges))
    pair_i, pair_j = np.triu_indices(n_nodes, 1)
    n_pairs = len(pair_i)
    expected = _EdgesFromLabels(pair_i, pair_j)
    if all(len(g["labels"]) == n_pairs and g["accepted_edges"] == expected(g["labels"]) for g in graphs):
        where = np.flatnonzero(flat_labels) % max(1, n_pairs)
        ends = np.stack([pair_i[where], pair_j[where]], axis=1).astype(np.uint32).reshape(-1)
    else:
        ends = np.fromiter(chain.from_iterable(chain.from_iterable(edges)), dtype=np.uint32, count=2 * int(counts.sum()))
    return ends, counts


class _EdgesFromLabels:
    """The pairs labelled 1 as a list of (i, j) tuples, remembered per label pattern."""

    MAX_PATTERNS = 4096

    def __init__(self, pair_i: npt.NDArray[np.intp], pair_j: npt.NDArray[np.intp]) -> None:
        self._pair_i = pair_i
        self._pair_j = pair_j
        self._known: dict[bytes, list[tuple[int, int]]] = {}

    def __call__(self, labels: npt.NDArray[np.uint8]) -> list[tuple[int, int]]:
        key = labels.tobytes()
        edges = self._known.get(key)
        if edges is None:
            chosen = labels.astype(bool)
            edges = list(zip(self._pair_i[chosen].tolist(), self._pair_j[chosen].tolist()))
            if len(self._known) < self.MAX_PATTERNS:
                self._known[key] = edges
        return edges


def list_values(column: Any) -> tuple[Any, list[int]]:
    """Child values of a list column (or list array) and its offsets rebased to start at 0."""
    array = column.combine_chunks() if hasattr(column, "combine_chunks") else column
    offsets = array.offsets.to_numpy()
    return array.flatten(), (offsets - offsets[0]).tolist()


@dataclass(frozen=True)
class TrainingShards:
    """The layout of a shard of the training batch: one row per complete graph of `n_nodes` nodes
    (the columns of the module notes)."""

    n_nodes: int
    version: ClassVar[int] = FORMAT_VERSION

    @property
    def bytes_per_graph(self) -> int:
        """An upper bound of the Arrow data of one graph: distances, labels, edges (at most 3n) and scalars."""
        return 8 * self.n_nodes * self.n_nodes + self.n_nodes * (self.n_nodes - 1) // 2 + 24 * self.n_nodes + 64

    def write_options(self) -> dict[str, Any]:
        """Keyword arguments of the Parquet writer for shards.

        Random distances barely compress (about 30% at a cost comparable to the rest of the
        encoding), so they are stored plain; labels and edges shrink about 200-fold.
        """
        leaves = [*("graph", *SCALAR_COLUMNS, "is_rigid"), "labels.list.element", "accepted_edges.list.element.list.element"]
        compression = dict.fromkeys(leaves, "zstd") | {"distance_matrix.list.element": "none"}
        return {"compression": compression, "use_dictionary": ["n_nodes", "d", "max_rank", "is_rigid"], "write_statistics": False}

    def schema(self, pa: Any) -> Any:
        """Arrow schema of a shard of graphs with `n_nodes` nodes."""
        fields = leading_fields(pa, SCALAR_COLUMNS) + [
            pa.field("labels", pa.large_list(item(pa, pa.uint8())), nullable=False),
            pa.field("accepted_edges", pa.large_list(item(pa, pa.list_(item(pa, pa.uint32()), 2))), nullable=False),
            pa.field("distance_matrix", pa.list_(item(pa, pa.float64()), self.n_nodes * self.n_nodes), nullable=False),
        ]
        return pa.schema(fields, metadata={"tarvel.format_version": str(FORMAT_VERSION)})

    def to_table(self, pa: Any, graphs: Sequence[SimulationResult], first_graph: int) -> Any:
        """One table row per dictionary; row k is graph first_graph + k."""
        rows = len(graphs)
        columns: dict[str, Any] = {"graph": np.arange(first_graph, first_graph + rows, dtype=np.uint64)}
        for name in SCALAR_COLUMNS:
            columns[name] = np.fromiter((g[name] for g in graphs), dtype=np.uint64, count=rows)
        columns["is_rigid"] = np.fromiter((g["is_rigid"] for g in graphs), dtype=np.bool_, count=rows)
        target = self.schema(pa)
        arrays = [pa.array(columns[name], type=target.field(name).type) for name in columns]
        labels = [g["labels"] for g in graphs]
        label_counts = np.fromiter(map(len, labels), dtype=np.int64, count=rows)
        flat_labels = np.concatenate(labels)
        edge_ends, edge_counts = _edge_ends(graphs, flat_labels, self.n_nodes)
        arrays += [
            list_array(pa, flat_labels, label_counts, target.field("labels").type),
            list_array(pa, edge_ends, edge_counts, target.field("accepted_edges").type),
            _distances_array(pa, graphs, target.field("distance_matrix").type),
        ]
        return pa.Table.from_arrays(arrays, schema=target)

    def to_graphs(self, table: Any) -> Iterator[SimulationResult]:
        """The dictionaries of a shard's rows, in row order, as the extension makes them.

        Each array is copied out of the shard, so a kept graph does not keep its whole shard alive.
        """
        rows = table.num_rows
        labels, label_offsets = list_values(table["labels"])
        edge_ends, edge_offsets = list_values(table["accepted_edges"])
        ends = edge_ends.flatten().to_numpy().tolist()
        distances = table["distance_matrix"].combine_chunks().flatten().to_numpy().reshape(rows, self.n_nodes, self.n_nodes)
        scalars = {name: table[name].to_numpy().tolist() for name in (*SCALAR_COLUMNS, "is_rigid")}
        labels_np = labels.to_numpy()
        for k in range(rows):
            pairs = ends[2 * edge_offsets[k] : 2 * edge_offsets[k + 1]]
            yield {
                "labels": labels_np[label_offsets[k] : label_offsets[k + 1]].copy(),
                "accepted_edges": list(zip(pairs[0::2], pairs[1::2])),
                "distance_matrix": distances[k].copy(),
                "final_rank": scalars["final_rank"][k],
                "max_rank": scalars["max_rank"][k],
                "is_rigid": scalars["is_rigid"][k],
                "n_nodes": scalars["n_nodes"][k],
                "d": scalars["d"][k],
            }
