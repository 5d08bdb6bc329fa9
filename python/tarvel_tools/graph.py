"""A simulation result as the arrays of a graph-learning sample.

Every candidate bar of the complete graph becomes one edge, in the order the
labels use: (0, 1), (0, 2), ..., (0, n-1), (1, 2), ...  Each edge is stored
once, i < j, not as two directed edges: message passing that needs both
directions can add the reverse edges itself (their labels are the same).
"""

from __future__ import annotations

import functools
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["candidate_edge_index", "to_graph_arrays", "to_pyg"]


def to_graph_arrays(
    result: Mapping[str, Any], positions: npt.ArrayLike | None = None
) -> dict[str, npt.NDArray[Any]]:
    """Turn a `simulate` / `generate_training_batch` dictionary into plain NumPy arrays.

    With m = n(n-1)/2 candidate bars of an n-node framework, the keys are:

    - ``edge_index``: int64, shape (2, m), the pairs (i, j), i < j, in candidate order;
    - ``edge_attr``: float64, shape (m, 1), each bar's length read from the
      distance matrix (a column, as graph-learning edge features are laid out);
    - ``y``: int64, shape (m,), the labels, 1 independent and 0 redundant
      (cast to float for a binary cross-entropy loss);
    - ``is_rigid`` (bool), ``final_rank`` and ``max_rank`` (int64): shape (1,),
      so that batching graphs concatenates them into one value per graph;
    - ``num_nodes``: int64, shape (), n;
    - ``pos``: float64, shape (n, d), only when ``positions`` is given (no
      key holds None, so ``Data(**arrays)`` and ``np.savez(**arrays)`` work).

    Every array is new and owns its memory; the result is not modified.

    Raises:
        KeyError: a key of the result dictionary is missing.
        ValueError: the labels or the distance matrix do not fit n, or the
            positions are not (n, d).
    """
    n_nodes = int(result["n_nodes"])
    labels = np.asarray(result["labels"])
    distances = np.asarray(result["distance_matrix"], dtype=np.float64)
    _check_sizes(n_nodes, labels, distances)
    edge_index = candidate_edge_index(n_nodes)
    arrays: dict[str, npt.NDArray[Any]] = {
        "edge_index": edge_index,
        "edge_attr": distances[edge_index[0], edge_index[1]].reshape(-1, 1),
        "y": labels.astype(np.int64),
        "is_rigid": np.array([bool(result["is_rigid"])]),
        "final_rank": np.array([int(result["final_rank"])], dtype=np.int64),
        "max_rank": np.array([int(result["max_rank"])], dtype=np.int64),
        "num_nodes": np.array(n_nodes, dtype=np.int64),
    }
    if positions is not None:
        arrays["pos"] = _checked_positions(positions, n_nodes, int(result["d"]))
    return arrays


def to_pyg(result: Mapping[str, Any], positions: npt.ArrayLike | None = None) -> Any:
    """Build a ``torch_geometric.data.Data`` sample from a simulation result and return it.

    The tensors are those of `to_graph_arrays` (same names, dtypes and
    shapes, shared with no NumPy array the caller holds); ``num_nodes`` is
    passed as a Python int.  Needs the ``pyg`` extra.
    """
    try:
        import torch  # type: ignore[import-not-found, unused-ignore]
        from torch_geometric.data import Data  # type: ignore[import-not-found, unused-ignore]
    except ImportError as error:
        raise ImportError("to_pyg needs torch and torch_geometric: pip install 'tarvel[pyg]'") from error
    arrays = to_graph_arrays(result, positions)
    num_nodes = int(arrays.pop("num_nodes"))
    tensors = {name: torch.from_numpy(np.ascontiguousarray(array)) for name, array in arrays.items()}
    return Data(**tensors, num_nodes=num_nodes)


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
