"""Conversion between graphs of `models.generate_graph_batch` and Arrow tables, one row per graph.

Columns: ``graph`` (index in the dataset), ``rank``, ``max_rank``, ``dof`` (uint64),
``is_rigid`` (bool), ``positions`` (n*d float64, row-major), ``edges`` (list of uint32
pairs), ``labels`` (list of uint8, one per edge), ``edge_component`` (list of uint32, one per
edge) and ``components`` (list of lists of uint32 nodes). Shards of graphs in space
written before they had components lack the last two columns, and read back without.
Node numbers fit 32 bits (n is at most `_parquet.MAX_NODES`); they are read back as
int64, the type `generate_graph_batch` gives them.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

from ._parquet import item, leading_fields, list_array, list_values

FORMAT_VERSION = 2

SCALAR_COLUMNS = ("rank", "max_rank", "dof")


def _counts(arrays: Iterator[npt.NDArray[Any]]) -> npt.NDArray[np.int64]:
    return np.fromiter((len(a) for a in arrays), dtype=np.int64)


def _flat(graphs: Sequence[Mapping[str, Any]], key: str, dtype: Any) -> npt.NDArray[Any]:
    if not graphs:
        return np.empty(0, dtype=dtype)
    flat: npt.NDArray[Any] = np.concatenate([np.asarray(g[key]).reshape(-1) for g in graphs]).astype(dtype, copy=False)
    return flat


def _components_array(pa: Any, graphs: Sequence[Mapping[str, Any]], kind: Any) -> Any:
    components = [component for g in graphs for component in g["components"]]
    nodes = np.concatenate(components).astype(np.uint32) if components else np.empty(0, dtype=np.uint32)
    inner = list_array(pa, nodes, _counts(iter(components)), kind.value_type)
    offsets = np.zeros(len(graphs) + 1, dtype=np.int64)
    np.cumsum([len(g["components"]) for g in graphs], out=offsets[1:])
    return pa.LargeListArray.from_arrays(pa.array(offsets), inner, type=kind)


@dataclass(frozen=True)
class ModelShards:
    """The layout of a shard of model graphs: one row per graph of `n_nodes` nodes in `d`
    dimensions (the columns of the module notes)."""

    n_nodes: int
    d: int
    version: ClassVar[int] = FORMAT_VERSION

    @property
    def bytes_per_graph(self) -> int:
        """An upper bound of the Arrow data of one graph: positions, and per pair of nodes a bar and its labels."""
        return 8 * self.n_nodes * self.d + 17 * (self.n_nodes * (self.n_nodes - 1) // 2) + 4 * self.n_nodes + 64

    def write_options(self) -> dict[str, Any]:
        """Keyword arguments of the Parquet writer: random positions barely compress and are stored plain."""
        leaves = [*("graph", *SCALAR_COLUMNS, "is_rigid"), "edges.list.element.list.element", "labels.list.element"]
        leaves += ["edge_component.list.element", "components.list.element.list.element"]
        compression = dict.fromkeys(leaves, "zstd") | {"positions.list.element": "none"}
        return {"compression": compression, "use_dictionary": ["max_rank", "is_rigid"], "write_statistics": False}

    def schema(self, pa: Any) -> Any:
        """Arrow schema of a shard of model graphs with `n_nodes` nodes in `d` dimensions."""
        node_lists = pa.large_list(item(pa, pa.uint32()))
        fields = leading_fields(pa, SCALAR_COLUMNS) + [
            pa.field("positions", pa.list_(item(pa, pa.float64()), self.n_nodes * self.d), nullable=False),
            pa.field("edges", pa.large_list(item(pa, pa.list_(item(pa, pa.uint32()), 2))), nullable=False),
            pa.field("labels", pa.large_list(item(pa, pa.uint8())), nullable=False),
            pa.field("edge_component", node_lists, nullable=False),
            pa.field("components", pa.large_list(item(pa, node_lists)), nullable=False),
        ]
        return pa.schema(fields, metadata={"tarvel.format_version": str(FORMAT_VERSION)})

    def to_table(self, pa: Any, graphs: Sequence[Mapping[str, Any]], first_graph: int) -> Any:
        """One table row per graph; row k is graph first_graph + k."""
        rows = len(graphs)
        target = self.schema(pa)
        columns: dict[str, Any] = {"graph": np.arange(first_graph, first_graph + rows, dtype=np.uint64)}
        for name in SCALAR_COLUMNS:
            columns[name] = np.fromiter((g[name] for g in graphs), dtype=np.uint64, count=rows)
        columns["is_rigid"] = np.fromiter((g["is_rigid"] for g in graphs), dtype=np.bool_, count=rows)
        arrays = [pa.array(values, type=target.field(name).type) for name, values in columns.items()]
        positions = np.concatenate([g["positions"].reshape(-1) for g in graphs]) if rows else np.empty(0)
        arrays.append(pa.FixedSizeListArray.from_arrays(pa.array(positions), type=target.field("positions").type))
        bars = _counts(g["labels"] for g in graphs)
        arrays.append(list_array(pa, _flat(graphs, "edges", np.uint32), bars, target.field("edges").type))
        arrays.append(list_array(pa, _flat(graphs, "labels", np.uint8), bars, target.field("labels").type))
        arrays.append(list_array(pa, _flat(graphs, "edge_component", np.uint32), bars, target.field("edge_component").type))
        arrays.append(_components_array(pa, graphs, target.field("components").type))
        return pa.Table.from_arrays(arrays, schema=target)

    def to_graphs(self, table: Any) -> Iterator[dict[str, Any]]:
        """The graphs of a shard's rows, in row order, as `generate_graph_batch` makes them.

        Each array is copied out of the shard, so a kept graph does not keep its shard alive.
        """
        rows = table.num_rows
        positions = table["positions"].combine_chunks().flatten().to_numpy().reshape(rows, self.n_nodes, self.d)
        edges, bars = list_values(table["edges"])
        edges = edges.flatten().to_numpy().astype(np.int64).reshape(-1, 2)
        labels = list_values(table["labels"])[0].to_numpy()
        scalars = {name: table[name].to_numpy().tolist() for name in (*SCALAR_COLUMNS, "is_rigid")}
        has_components = "components" in table.column_names
        if has_components:
            edge_component = list_values(table["edge_component"])[0].to_numpy().astype(np.int64)
            component_lists, per_graph = list_values(table["components"])
            component_nodes, starts = list_values(component_lists)
            nodes = component_nodes.to_numpy().tolist()
        for k in range(rows):
            a, b = bars[k], bars[k + 1]
            graph = {
                "positions": positions[k].copy(),
                "edges": edges[a:b].copy(),
                "labels": labels[a:b].copy(),
                "is_rigid": scalars["is_rigid"][k],
                "rank": scalars["rank"][k],
                "max_rank": scalars["max_rank"][k],
                "dof": scalars["dof"][k],
            }
            if has_components:
                graph["edge_component"] = edge_component[a:b].copy()
                first, last = per_graph[k], per_graph[k + 1]
                graph["components"] = [nodes[s:e] for s, e in zip(starts[first:last], starts[first + 1 : last + 1])]
            yield graph
