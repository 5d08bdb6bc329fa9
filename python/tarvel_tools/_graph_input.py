"""Checking and converting the graphs and options given to `tarvel_tools.rigidity`.

A graph is a number of nodes ``n`` with an edge list (an ``(m, 2)``
array-like of node numbers ``0 .. n-1``, or any iterable of pairs: a set, a
generator), or an undirected NetworkX graph (recognised by its ``nodes``,
``edges`` and ``is_directed`` attributes, so NetworkX itself is not needed),
whose nodes are numbered in the order of ``G.nodes``.
Every check raises ``TypeError`` or ``ValueError`` naming the argument.
Ends outside ``0 .. n-1`` and self-loops are reported by the extension,
which reads every edge once anyway.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]

_INT64_MAX = int(np.iinfo(np.int64).max)


@dataclass(frozen=True)
class GraphInput:
    """A graph as the extension takes it, with the node labels of a NetworkX graph."""

    n: int
    edges: Int64Array  # (m, 2), C-contiguous
    node_labels: Sequence[Hashable] | None = None  # G.nodes in order, None for (n, edges)

    def label_nodes(self, indices: list[int]) -> list[Any]:
        """Return the node labels of node numbers (the numbers themselves for an ``(n, edges)`` graph)."""
        if self.node_labels is None:
            return indices
        labels = self.node_labels
        return [labels[index] for index in indices]


def is_networkx_graph(value: object) -> bool:
    """Whether ``value`` looks like a NetworkX graph."""
    return all(hasattr(value, name) for name in ("nodes", "edges", "is_directed"))


def undirected_graph(graph: Any, name: str) -> GraphInput:
    """A NetworkX graph given as argument ``name``, refused when it is directed."""
    if graph.is_directed():
        raise TypeError(
            f"{name} is a directed graph ({type(graph).__name__}); bars have no direction: "
            f"pass {name}.to_undirected()"
        )
    return _from_networkx(graph)


def as_graph(n: Any, edges: Any) -> GraphInput:
    """Check ``(n, edges)``, or a NetworkX graph given as ``n`` with ``edges`` omitted."""
    if is_networkx_graph(n):
        if edges is not None:
            raise TypeError("edges must be omitted when a graph is given: its own edges are used")
        return undirected_graph(n, "the graph")
    count = node_count(n)
    if edges is None:
        raise TypeError("edges are required when n is a number of nodes")
    return GraphInput(count, edge_array(edges))


def networkx_counts(n: Any, edges: Any) -> tuple[int, int] | None:
    """Nodes and bars of a NetworkX graph given as ``n``, read without converting it.

    None for anything but a simple undirected graph, or for one with a
    self-loop (its conversion reports that).
    """
    if edges is not None or not is_networkx_graph(n) or n.is_directed() or getattr(n, "is_multigraph", bool)():
        return None
    adjacency = getattr(n, "_adj", None)  # the dict of dicts behind G.adj, without a view per node
    if not isinstance(adjacency, dict):
        return None
    if any(node in neighbours for node, neighbours in adjacency.items()):
        return None
    return len(adjacency), sum(map(len, adjacency.values())) // 2


def node_count(n: Any) -> int:
    """Return ``n`` as a number of nodes: an integer in ``[0, 2**63)``."""
    if isinstance(n, bool) or not isinstance(n, numbers.Integral):
        raise TypeError(f"n must be a number of nodes (an integer) or a NetworkX graph, got {type(n).__name__}")
    count = int(n)
    if count < 0:
        raise ValueError(f"n must be a non-negative number of nodes, got {count}")
    if count > _INT64_MAX:
        raise ValueError(f"n must be below 2**63, got {count}")
    return count


def edge_array(edges: Any) -> Int64Array:
    """Return the edges as a C-contiguous ``(m, 2)`` int64 array (a view when they are one).

    Any iterable of pairs is taken (a set or a generator is read once, in its order).
    """
    if is_networkx_graph(edges):
        raise TypeError("edges is a graph: pass the graph alone, f(G), or its edge list")
    array = _as_array(edges)
    if array.size == 0 and array.shape in ((0,), (0, 2)):  # [] or an empty edge list
        return np.empty((0, 2), dtype=np.int64)
    if array.dtype == np.object_:
        array = _integer_objects(array)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"edges must have shape (m, 2), got shape {array.shape}")
    if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"edges must hold integer node numbers, got an array of {array.dtype}")
    if array.dtype == np.uint64 and int(array.max()) > _INT64_MAX:
        raise ValueError(f"edges: node number {int(array.max())} is not below 2**63")
    return np.ascontiguousarray(array, dtype=np.int64)


def _as_array(edges: Any) -> npt.NDArray[Any]:
    """The edges as an array; an iterable that is no sequence (a set, a generator) is read into a list first."""
    if not isinstance(edges, (np.ndarray, Sequence)) and isinstance(edges, Iterable):
        edges = list(edges)
    try:
        array = np.asarray(edges)
    except (ValueError, OverflowError):  # ragged, or an integer beyond every NumPy type
        return np.array(_pairs(edges), dtype=object)
    if not isinstance(edges, np.ndarray) and array.dtype.kind == "f":
        # NumPy turns Python integers beyond int64 into floats: look at what was given.
        return np.array(_pairs(edges), dtype=object)
    return array


def _pairs(edges: Any) -> list[Any]:
    rows = list(edges)
    for row in rows:
        if not isinstance(row, (Sequence, np.ndarray)) or len(row) != 2:
            raise ValueError(f"edges must be pairs of node numbers, got {row!r}")
    return [tuple(row) for row in rows]


def _integer_objects(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Pairs NumPy could not type (integers beyond int64, or mixed values): name the first bad one."""
    for number, row in enumerate(array.reshape(len(array), -1)):
        for value in row:
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise TypeError(f"edges must hold integer node numbers, got {value!r} ({type(value).__name__})")
            if not -_INT64_MAX <= int(value) <= _INT64_MAX:
                pair = tuple(int(end) for end in row)
                raise ValueError(f"edges: edge {number} {pair} has an end outside the nodes (numbers below 2**63)")
    return array.astype(np.int64)


def positions_array(positions: Any) -> Float64Array:
    """Return finite ``(n, 2)`` or ``(n, 3)`` coordinates as a C-contiguous float64 array."""
    try:
        array = np.asarray(positions)
    except ValueError:  # NumPy's words for a ragged list
        raise ValueError("positions must have shape (n, 2) or (n, 3): the rows are of different lengths") from None
    if array.dtype == np.bool_ or not (
        np.issubdtype(array.dtype, np.integer) or np.issubdtype(array.dtype, np.floating)
    ):
        raise TypeError(f"positions must hold real coordinates, got an array of {array.dtype}")
    if array.ndim != 2 or array.shape[1] not in (2, 3):
        raise ValueError(f"positions must have shape (n, 2) or (n, 3), got shape {array.shape}")
    points = np.ascontiguousarray(array, dtype=np.float64)
    if not np.all(np.isfinite(points)):
        raise ValueError("positions must be finite (no NaN or infinite coordinates)")
    return points


def positions_of(positions: Any, graph: GraphInput) -> Any:
    """The positions of a graph's nodes in its order: ``positions`` itself, or looked up when it is a mapping."""
    if not isinstance(positions, Mapping):
        return positions
    labels = graph.node_labels if graph.node_labels is not None else range(graph.n)
    missing = [node for node in labels if node not in positions]
    if missing:
        raise ValueError(f"positions has no coordinates for node {missing[0]!r} of the graph")
    return [positions[node] for node in labels]


def dimension(d: Any) -> int:
    """Return ``d`` checked to be 2 or 3."""
    value = integer(d, "d")
    if value not in (2, 3):
        raise ValueError(f"d must be 2 or 3, got {value}")
    return value


def integer(value: Any, name: str) -> int:
    """Return ``value`` as a Python int (any integer type but bool)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    return int(value)


def seed_value(seed: Any) -> int:
    """Return ``seed`` checked to lie in ``[0, 2**64)``."""
    value = integer(seed, "seed")
    if not 0 <= value < 2**64:
        raise ValueError(f"seed must lie in [0, 2**64), got {value}")
    return value


def pebble_parameters(k: Any, l: Any) -> tuple[int, int]:  # noqa: E741 (the game's own name)
    """Return ``(k, l)`` checked to satisfy ``0 <= l < 2k``, the range in which the game is exact."""
    k_value, l_value = integer(k, "k"), integer(l, "l")
    if k_value < 1 or not 0 <= l_value < 2 * k_value or k_value > 2**62:
        raise ValueError(f"k and l must satisfy 0 <= l < 2k, got k={k_value}, l={l_value}")
    return k_value, l_value


def tolerance(tol: Any) -> float:
    """Return ``tol`` as a non-negative float (infinity allowed)."""
    if isinstance(tol, bool) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol must be a real number, got {type(tol).__name__}")
    value = float(tol)
    if math.isnan(value) or value < 0:
        raise ValueError(f"tol must be a non-negative number, got {value}")
    return value


ARITHMETICS = ("orthogonal", "simulate")
"""How numeric labels are computed: the backward-stable orthogonal test, or the simulation's elimination."""


DEFAULT_TOLERANCE = {"orthogonal": 1e-6, "simulate": 1e-9}
"""The tolerance of the numeric test when none is given: relative to each row for the
orthogonal test (rounding in the rows of nearly flexible sub-frameworks stays far below it
up to thousands of nodes), absolute (`tarvel.simulate`'s) for "simulate"."""


def default_tolerance(arithmetic: str) -> float:
    """`DEFAULT_TOLERANCE` of `arithmetic` (the orthogonal test's for an unknown one, which is refused elsewhere)."""
    return DEFAULT_TOLERANCE.get(arithmetic, DEFAULT_TOLERANCE["orthogonal"])


def arithmetic_code(arithmetic: Any, name: str = "arithmetic") -> int:
    """The extension's number for an arithmetic of `ARITHMETICS`; ValueError naming `name` otherwise."""
    if not isinstance(arithmetic, str) or arithmetic not in ARITHMETICS:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, ARITHMETICS))}, got {arithmetic!r}")
    return ARITHMETICS.index(arithmetic)


def _from_networkx(graph: Any) -> GraphInput:
    labels = list(graph.nodes)
    number_of = {label: number for number, label in enumerate(labels)}
    pairs = []
    for u, v in graph.edges():
        if u == v:
            raise ValueError(f"the graph has a self-loop at node {u!r}")
        pairs.append((number_of[u], number_of[v]))
    edges = np.array(pairs, dtype=np.int64).reshape(-1, 2)
    return GraphInput(len(labels), edges, labels)
