"""A labelled graph as the arrays of a graph-learning sample.

Two kinds of graph go in: a result of `simulate` / `generate_training_batch`, whose
bars are the candidate pairs of the complete graph in the order the labels use,
(0, 1), (0, 2), ..., (0, n-1), (1, 2), ..., and a graph of
`models.generate_graph_batch`, which lists its own bars and positions.

By default each undirected bar is listed in both directions, as message-passing
libraries expect: the m bars (i, j) first, then the same m bars as (j, i), each
with its label and length repeated, so that edge e and edge e + m are one bar.
``both_directions=False`` lists each bar once, as it is labelled.

The samples train as they are: lengths and positions are float32 (the default
floating-point type of graph-learning layers; ``dtype=np.float64`` keeps them in
double precision), labels and indices int64, and both kinds of graph report their
rank as ``rank`` and their degrees of freedom as ``dof``.
"""

from __future__ import annotations

import functools
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from ._results import dof_of, rank_of

__all__ = ["candidate_edge_index", "to_graph_arrays", "to_pyg"]


def to_graph_arrays(
    result: Mapping[str, Any],
    positions: npt.ArrayLike | None = None,
    *,
    both_directions: bool = True,
    dtype: npt.DTypeLike = np.float32,
) -> dict[str, npt.NDArray[Any]]:
    """Turn a labelled graph into plain NumPy arrays.

    ``result`` is a dictionary of `simulate` / `generate_training_batch` (its m =
    n(n-1)/2 bars are the candidate pairs) or of `models.generate_graph_batch` (its m
    bars are its ``"edges"``).  With E = 2m edges (or m with ``both_directions=False``),
    the keys are:

    - ``edge_index``: int64, shape (2, E), the bars (i, j), i < j, in the labels' order,
      then (with ``both_directions``) the same bars as (j, i);
    - ``edge_attr``: ``dtype`` (float32 by default), shape (E, 1), each bar's
      length (a column, as graph-learning edge features are laid out): read from the
      distance matrix, or computed from a model graph's positions;
    - ``y``: int64, shape (E,), the labels, 1 independent and 0 redundant
      (cast to float for a binary cross-entropy loss);
    - ``is_rigid`` (bool) and ``rank``, ``max_rank`` and ``dof`` (int64), each of
      shape (1,), so that batching graphs concatenates them into one value per graph
      (the ``final_rank`` of a complete-graph result is its ``rank``);
    - ``edge_component``: int64, shape (E,), a model graph's rigid component
      of each bar;
    - ``num_nodes``: int64, shape (), n;
    - ``pos``: ``dtype``, shape (n, d): a model graph's positions, or ``positions``
      when given (no key holds None, so ``Data(**arrays)`` and
      ``np.savez(**arrays)`` work).

    Every array is new and owns its memory; the result is not modified. Lengths
    are computed in double precision and rounded once to ``dtype``.

    Raises
    ------
    KeyError
        a key of the result dictionary is missing.
    TypeError
        ``dtype`` is not float32 or float64.
    ValueError
        the labels, edges or distance matrix do not fit n, or the
        positions are not (n, d).
    """
    floating = _float_dtype(dtype)
    if "edges" in result:
        arrays = _model_graph_arrays(result, positions)
    else:
        arrays = _complete_graph_arrays(result, positions)
    for key in _FLOAT_KEYS:
        if key in arrays:
            arrays[key] = arrays[key].astype(floating)
    return _in_both_directions(arrays) if both_directions else arrays


# Floating-point arrays, given in the dtype asked for.
_FLOAT_KEYS = ("edge_attr", "pos")


def _float_dtype(dtype: Any) -> np.dtype[Any]:
    """float32 or float64, given as a NumPy dtype, its name, or a torch dtype (``torch.float64``)."""
    name = str(dtype).removeprefix("torch.") if type(dtype).__module__.startswith("torch") else dtype
    try:
        floating = np.dtype(name)
    except TypeError:
        floating = np.dtype(object)
    if floating not in (np.dtype(np.float32), np.dtype(np.float64)):
        raise TypeError(f"dtype must be float32 or float64, got {dtype!r}")
    return floating


def _complete_graph_arrays(result: Mapping[str, Any], positions: npt.ArrayLike | None) -> dict[str, npt.NDArray[Any]]:
    n_nodes = int(result["n_nodes"])
    labels = np.asarray(result["labels"])
    distances = np.asarray(result["distance_matrix"], dtype=np.float64)
    _check_sizes(n_nodes, labels, distances)
    edge_index = candidate_edge_index(n_nodes)
    arrays: dict[str, npt.NDArray[Any]] = {
        "edge_index": edge_index,
        "edge_attr": distances[edge_index[0], edge_index[1]].reshape(-1, 1),
        "y": labels.astype(np.int64),
        **_verdicts(result),
        "num_nodes": np.array(n_nodes, dtype=np.int64),
    }
    if positions is not None:
        arrays["pos"] = _checked_positions(positions, n_nodes, int(result["d"]))
    return arrays


def to_pyg(
    result: Mapping[str, Any],
    positions: npt.ArrayLike | None = None,
    *,
    both_directions: bool = True,
    dtype: Any = np.float32,
) -> Any:
    """Build a ``torch_geometric.data.Data`` sample from a labelled graph and return it.

    The tensors are those of `to_graph_arrays` (same names, dtypes and
    shapes, shared with no NumPy array the caller holds): float32 lengths
    (``edge_attr``) and positions (``pos``) that a standard layer takes as
    they are, int64 labels ``y`` and ``edge_index``; ``num_nodes`` is passed
    as a Python int. ``dtype`` (``np.float64`` or ``torch.float64``) keeps
    double precision. Needs the ``pyg`` extra.

    Examples
    --------
    >>> data = to_pyg(tarvel.simulate(np.eye(3, 2), 2))  # doctest: +SKIP
    >>> data.edge_attr.dtype, data.y.dtype, data.rank  # doctest: +SKIP
    (torch.float32, torch.int64, tensor([3]))
    """
    try:
        import torch
        from torch_geometric.data import Data
    except ImportError as error:
        raise ImportError("to_pyg needs torch and torch_geometric: pip install 'tarvel[pyg]'") from error
    arrays = to_graph_arrays(result, positions, both_directions=both_directions, dtype=dtype)
    num_nodes = int(arrays.pop("num_nodes"))
    tensors = {name: torch.from_numpy(np.ascontiguousarray(array)) for name, array in arrays.items()}
    return Data(**tensors, num_nodes=num_nodes)


def _model_graph_arrays(graph: Mapping[str, Any], positions: npt.ArrayLike | None) -> dict[str, npt.NDArray[Any]]:
    pos = np.array(graph["positions"] if positions is None else positions, dtype=np.float64)
    if pos.ndim != 2:
        raise ValueError(f"positions have shape {pos.shape}, expected (n, d)")
    n_nodes = pos.shape[0]
    edges = np.asarray(graph["edges"])
    labels = np.asarray(graph["labels"])
    if edges.ndim != 2 or edges.shape[1] != 2 or labels.shape != (edges.shape[0],):
        raise ValueError(f"edges have shape {edges.shape} and labels {labels.shape}, expected (m, 2) and (m,)")
    edge_index = edges.T.astype(np.int64)
    if edge_index.size and not (0 <= edge_index.min() and edge_index.max() < n_nodes):
        raise ValueError(f"edges must join nodes 0 .. {n_nodes - 1}")
    lengths = np.sqrt(np.sum((pos[edge_index[0]] - pos[edge_index[1]]) ** 2, axis=1))
    arrays: dict[str, npt.NDArray[Any]] = {
        "edge_index": edge_index,
        "edge_attr": lengths.reshape(-1, 1),
        "y": labels.astype(np.int64),
        **_verdicts(graph),
        "num_nodes": np.array(n_nodes, dtype=np.int64),
        "pos": pos,
    }
    if "edge_component" in graph:
        arrays["edge_component"] = np.array(graph["edge_component"], dtype=np.int64)
    return arrays


def _verdicts(result: Mapping[str, Any]) -> dict[str, npt.NDArray[Any]]:
    """Rigidity, rank, maximum rank and degrees of freedom, one value per graph, for either kind of graph."""
    counts = {"rank": rank_of(result), "max_rank": int(result["max_rank"]), "dof": dof_of(result)}
    return {
        "is_rigid": np.array([bool(result["is_rigid"])]),
        **{key: np.array([value], dtype=np.int64) for key, value in counts.items()},
    }


# Per-edge arrays: repeated when each bar is listed in both directions.
_EDGE_KEYS = ("edge_attr", "y", "edge_component")


def _in_both_directions(arrays: dict[str, npt.NDArray[Any]]) -> dict[str, npt.NDArray[Any]]:
    edge_index = arrays["edge_index"]
    arrays["edge_index"] = np.concatenate([edge_index, edge_index[::-1]], axis=1)
    for key in _EDGE_KEYS:
        if key in arrays:
            arrays[key] = np.concatenate([arrays[key], arrays[key]])
    return arrays


def candidate_edge_index(n_nodes: int) -> npt.NDArray[np.int64]:
    """The (2, n(n-1)/2) int64 array of candidate pairs (i, j), i < j, in lexicographic order.

    A new array on every call; the pattern itself is computed once per n.
    """
    return _cached_edge_index(n_nodes).copy()


@functools.lru_cache(maxsize=32)
def _cached_edge_index(n_nodes: int) -> npt.NDArray[np.int64]:
    # triu_indices walks the upper triangle row by row: (0,1), (0,2), ..., (1,2), ...
    rows, columns = np.triu_indices(n_nodes, k=1)
    edge_index = np.stack([rows, columns]).astype(np.int64)
    edge_index.flags.writeable = False
    return edge_index


def _check_sizes(n_nodes: int, labels: npt.NDArray[Any], distances: npt.NDArray[np.float64]) -> None:
    n_pairs = n_nodes * (n_nodes - 1) // 2
    if labels.shape != (n_pairs,):
        raise ValueError(f"labels have shape {labels.shape}, expected ({n_pairs},) for {n_nodes} nodes")
    if distances.shape != (n_nodes, n_nodes):
        raise ValueError(
            f"distance_matrix has shape {distances.shape}, expected ({n_nodes}, {n_nodes})"
        )


def _checked_positions(positions: npt.ArrayLike, n_nodes: int, d: int) -> npt.NDArray[np.float64]:
    pos = np.array(positions, dtype=np.float64)  # a copy, never a view of the caller's array
    if pos.shape != (n_nodes, d):
        raise ValueError(f"positions have shape {pos.shape}, expected ({n_nodes}, {d})")
    return pos
