"""Seeded random graphs whose rigidity varies: training data that teaches something.

On the complete graph the labels of random points never change.  The models here
draw sparse and geometric graphs near the threshold of rigidity (about 2n - 3 bars in
the plane, 3n - 6 in space), on points that are sometimes degenerate, and label every
bar, every graph and, in the plane, the rigid components.

Graph models (``model``) and their parameters:

========================  ==========================================================
``"gnm"``                 Erdős–Rényi G(n, m): ``m`` distinct bars, every set of m
                          pairs equally likely.
``"gnp"``                 G(n, p): each pair is a bar with probability ``p``.
``"geometric"``           every pair closer than ``radius`` (the sum of squared
                          coordinate differences, axis by axis, below radius²).
``"knn"``                 every node joined to its ``k`` nearest others (ties to the
                          lower node number); a pair chosen from both ends is one bar.
``"henneberg"``           minimally rigid: the complete graph on d nodes, then each
                          new node joined to d earlier ones (Henneberg type I,
                          0-extension) or, with ``split_probability`` (default 0.5),
                          by an edge split (type II, 1-extension): a random bar uv is
                          removed and the new node joined to u, v and d - 1 more.
``"near-threshold"``      a henneberg graph with ``removed_bars`` random bars removed
                          (default 2) and then ``extra_bars`` random non-bars added
                          (default 2): rigid or not by chance, about half of them
                          rigid (0.52 in the plane and 0.69 in space at n = 12).
========================  ==========================================================

Point models (``points``, default ``"box"``), all in or around the unit box:

========================  ==========================================================
``"box"``                 uniform in [0, 1)^d: general position.
``"grid"``                n distinct points of the grid {0, 1/s, ..., (s-1)/s}^d with
                          ``grid_side`` s (default: the smallest s with s^d >= 2n):
                          many collinear triples.
``"lines"``               on ``n_lines`` random lines (default 3).
``"circles"``             on ``n_circles`` random circles (default 3), radius uniform
                          in [0.1, 0.5), in space each in a random plane.
``"clusters"``            in ``n_clusters`` balls (default 3) of ``cluster_radius``
                          (default 0.1) around centres uniform in the box.
========================  ==========================================================

Reproducibility: graph k of a batch with seed s is graph 0 of seed (s + k) mod 2**64,
so any graph can be made again alone and a batch cut into pieces equals one call.
Every draw is an integer of a seeded xoshiro256** stream, mapped to doubles by one
exact scaling, and the points use only the four basic operations and square roots:
the same bits on every machine.  The points depend on the point model and its
parameters only, not on the graph model.  Bars are listed as (i, j), i < j, in a
random order, because greedy labels depend on the order.
"""

from __future__ import annotations

import gc
import math
import numbers
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from itertools import pairwise
from typing import Any, Literal, TypedDict

import numpy as np
import numpy.typing as npt

from . import _graph_input as given
from . import _native
from ._memory import require_memory

__all__ = [
    "GRAPH_MODELS",
    "LABEL_METHODS",
    "ModelGraph",
    "ModelParameter",
    "POINT_MODELS",
    "generate_graph_batch",
    "model_parameters",
]

LabelMethod = Literal["numeric", "generic", "pebble"]
LABEL_METHODS: tuple[str, ...] = ("numeric", "generic", "pebble")

_SEED_LIMIT = 2**64
_MAX_GROUPS = 2**20
_MAX_GRID_POINTS = 2**62
# Graphs per call into the extension: Ctrl-C takes effect between calls, and each
# call's flat buffers stay small. Large graphs cost about n^2 each (pairs to draw or
# compare), so fewer of them go into one call.
_GRAPHS_PER_CALL = 4096
# The Python objects of one graph of the batch (its dict and array views):
# about 1.2 kB measured, so 1 kB is a lower bound on what each one needs.
_BYTES_PER_GRAPH = 1000
_PAIRS_PER_CALL = 1 << 22


class ModelGraph(TypedDict, total=False):
    """One graph of `generate_graph_batch`.

    In space two components may share a hinge (two nodes, and the bar between
    them): ``edge_component`` then names the first that holds the bar.
    """

    positions: npt.NDArray[np.float64]
    edges: npt.NDArray[np.int64]
    labels: npt.NDArray[np.uint8]
    is_rigid: bool
    rank: int
    max_rank: int
    dof: int
    edge_component: npt.NDArray[np.int64]
    components: list[list[int]]


@dataclass(frozen=True)
class ModelParameter:
    """A parameter of a graph or point model: its name, type, default (None: required) and help text."""

    name: str
    kind: type[int] | type[float]
    default: int | float | None
    help: str


_M = ModelParameter("m", int, None, "number of bars, 0 <= m <= n(n-1)/2")
_P = ModelParameter("p", float, None, "probability of each bar, in [0, 1]")
_RADIUS = ModelParameter("radius", float, None, "bars join the pairs closer than this, >= 0")
_K = ModelParameter("k", int, None, "neighbours per node, 1 <= k <= n - 1")
_SPLIT = ModelParameter("split_probability", float, 0.5, "chance that a node is added by an edge split, in [0, 1]")
_REMOVED = ModelParameter("removed_bars", int, 2, "bars removed from the minimally rigid graph")
_EXTRA = ModelParameter("extra_bars", int, 2, "random non-bars added afterwards")

GRAPH_MODELS: Mapping[str, tuple[ModelParameter, ...]] = {
    "gnm": (_M,),
    "gnp": (_P,),
    "geometric": (_RADIUS,),
    "knn": (_K,),
    "henneberg": (_SPLIT,),
    "near-threshold": (_REMOVED, _EXTRA, _SPLIT),
}
"""Every graph model and its parameters, in the order of their documentation."""

POINT_MODELS: Mapping[str, tuple[ModelParameter, ...]] = {
    "box": (),
    "grid": (ModelParameter("grid_side", int, None, "grid points per axis (default: smallest s with s^d >= 2n)"),),
    "lines": (ModelParameter("n_lines", int, 3, "number of lines"),),
    "circles": (ModelParameter("n_circles", int, 3, "number of circles"),),
    "clusters": (
        ModelParameter("n_clusters", int, 3, "number of clusters"),
        ModelParameter("cluster_radius", float, 0.1, "radius of each cluster's ball"),
    ),
}
"""Every point model and its parameters."""

# Codes of the models in the extension, in the order of its enumerations.
_GRAPH_CODES = {name: code for code, name in enumerate(GRAPH_MODELS)}
_POINT_CODES = {name: code for code, name in enumerate(POINT_MODELS)}
_LABEL_CODES = {name: code for code, name in enumerate(LABEL_METHODS)}


def model_parameters(model: str, n_nodes: int, d: int, **params: Any) -> dict[str, Any]:
    """Return the complete, checked parameters of a model for graphs of ``n_nodes`` nodes in ``d`` dimensions.

    The result names the graph model (``"model"``) and the point model (``"points"``)
    and holds every parameter of both, defaults filled in (``grid_side`` stays None
    when it is left to be chosen from n): the record a dataset's manifest keeps, and
    keyword arguments that `generate_graph_batch` accepts.

    Raises
    ------
    TypeError
        a parameter the models do not take, or a value of the wrong type.
    ValueError
        an unknown model, a missing required parameter, or a value out of
        its range (the message names the parameter and the range).
    """
    n_nodes = _check_count(n_nodes, "n_nodes", lowest=1)
    d = given.dimension(d)
    return _resolve_model(model, n_nodes, d, params)


def _resolve_model(
    model: str, n_nodes: int, d: int, params: Mapping[str, Any], label: Callable[[str], str] = str
) -> dict[str, Any]:
    """`model_parameters` for checked ``n_nodes`` and ``d``, each parameter named by ``label(name)`` in errors."""
    params = dict(params)
    graph_model = _model_name(model, GRAPH_MODELS, label("model"))
    point_model = _model_name(params.pop("points", "box"), POINT_MODELS, label("points"))
    taken = GRAPH_MODELS[graph_model] + POINT_MODELS[point_model]
    unknown = sorted(set(params) - {parameter.name for parameter in taken})
    if unknown:
        accepted = ", ".join(label(parameter.name) for parameter in taken) or "none"
        raise TypeError(
            f"model {graph_model!r} on points {point_model!r} takes no parameter {label(unknown[0])} "
            f"(its parameters: {accepted})"
        )
    resolved: dict[str, Any] = {"model": graph_model, "points": point_model}
    for parameter in taken:
        value = params.get(parameter.name, parameter.default)
        if value is None and parameter.name != "grid_side":
            raise ValueError(f"model {graph_model!r} needs the parameter {label(parameter.name)} ({parameter.help})")
        resolved[parameter.name] = None if value is None else _typed(value, parameter, label)
    try:
        _check_ranges(resolved, n_nodes, d, label)
    except _OutOfRange as error:
        if error.name in params:
            raise ValueError(str(error)) from None
        # A default the caller never gave does not fit n: say so, and what to give instead.
        raise ValueError(
            f"{label('n_nodes')} {n_nodes} is too few for the default {label(error.name)} "
            f"{resolved[error.name]} of model {graph_model!r}: give {label(error.name)} in "
            f"[{error.lowest}, {error.highest}] or more nodes"
        ) from None
    return resolved


def generate_graph_batch(
    model: str,
    n_graphs: int,
    n_nodes: int,
    d: int,
    seed: int,
    *,
    labels: LabelMethod = "numeric",
    tol: float | None = None,
    arithmetic: str = "orthogonal",
    **params: Any,
) -> list[ModelGraph]:
    """Make ``n_graphs`` seeded random graphs of a model and label them.

    Parameters
    ----------
    model : str
        The graph model: ``"gnm"``, ``"gnp"``, ``"geometric"``, ``"knn"``,
        ``"henneberg"`` or ``"near-threshold"`` (see the module's documentation).
    n_graphs, n_nodes : int
        How many graphs, and the nodes of each (at least 1).
    d : int
        Dimension, 2 or 3.
    seed : int
        In [0, 2**64).  Graph k is graph 0 of seed ``(seed + k) % 2**64``.
    labels : {"numeric", "generic", "pebble"}
        How each bar is labelled, in the listed order: ``"numeric"`` by the rank test
        at the graph's own positions with tolerance ``tol`` in the given ``arithmetic``
        (as `rigidity.label_bars`), ``"generic"`` by the exact rank at random integer
        positions (as `rigidity.generic_labels` with seed 0), ``"pebble"`` by the (2, 3)
        pebble game (d = 2 only; as `rigidity.pebble_game`).
    tol : float, optional
        Tolerance of the numeric rank test (default: 1e-6 relative to each row for
        "orthogonal", 1e-9 absolute for "simulate").
    arithmetic : {"orthogonal", "simulate"}
        The numeric test's arithmetic, as in `rigidity.label_bars`: the backward-stable
        test (default), or the simulation's elimination, which labels dependent bars of
        sparse graphs independent (kept to reproduce labels made with it).
    **params
        ``points`` (the point model, default ``"box"``) and the parameters of both
        models, e.g. ``k=4`` for ``"knn"`` or ``extra_bars=3`` for ``"near-threshold"``.

    Returns
    -------
    list of dict
        Per graph: ``"positions"`` (n × d float64), ``"edges"`` (m × 2 int64),
        ``"labels"`` (m uint8: 1 independent, 0 redundant), ``"rank"``,
        ``"max_rank"`` (n·d − d(d+1)/2, or n(n−1)/2 below d nodes), ``"is_rigid"``
        (rank == max_rank), ``"dof"`` (max_rank − rank),
        ``"edge_component"`` (m int64: the index in ``"components"`` of the rigid
        component holding each bar, the first of two on a hinge in space) and
        ``"components"`` (the generic rigid components of the graph as sorted node
        lists, the type `rigid_components` returns, whatever ``labels`` is: by the
        (2, 3) pebble game in the plane, as `rigid_components` with ``d=3`` in
        space).  The arrays are views of a few buffers that the batch's graphs share.

    Raises
    ------
    TypeError, ValueError
        As `model_parameters`, and for a bad ``n_graphs``, ``seed``, ``labels`` or
        ``tol``.
    MemoryError
        The graphs do not fit in memory (at once for sizes past the address space).
    """
    resolved = model_parameters(model, n_nodes, d, **params)
    n_nodes, d = int(n_nodes), int(d)
    n_graphs = _check_count(n_graphs, "n_graphs", lowest=0)
    seed = given.seed_value(seed)
    arithmetic_code = given.arithmetic_code(arithmetic)
    labels, tol = _checked_labelling(labels, given.default_tolerance(arithmetic) if tol is None else tol, d)
    require_memory(n_graphs * (_BYTES_PER_GRAPH + n_nodes * d * 8), f"a batch of {n_graphs} graphs of {n_nodes} nodes")
    graphs: list[ModelGraph] = []
    per_call = max(1, min(_GRAPHS_PER_CALL, _PAIRS_PER_CALL // (n_nodes * n_nodes)))
    for first in range(0, n_graphs, per_call):
        count = min(per_call, n_graphs - first)
        piece_seed = (seed + first) % _SEED_LIMIT
        with _collector_paused():  # the extension makes the component lists
            buffers = _native_batch(resolved, count, n_nodes, d, piece_seed, labels, tol, arithmetic_code)
            graphs.extend(_split_batch(buffers, count, n_nodes, d))
    return graphs


@contextmanager
def _collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a batch's dictionaries and lists are made.

    They hold no cycles, but thousands of new containers would trigger collections
    that traverse every graph made so far, again and again as the list grows.
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


# ---------------------------------------------------------------------------------------
# Checking parameters


def _checked_labelling(
    labels: str, tol: float, d: int, label: Callable[[str], str] = str
) -> tuple[LabelMethod, float]:
    """``labels`` and ``tol`` of `generate_graph_batch`, checked for graphs in ``d`` dimensions."""
    if labels not in _LABEL_CODES:
        raise ValueError(f"{label('labels')} must be one of {', '.join(map(repr, LABEL_METHODS))}, got {labels!r}")
    if labels == "pebble" and d != 2:
        raise ValueError(f"{label('labels')} pebble needs d = 2: the (2, 3) pebble game decides rigidity in the plane only")
    try:
        return labels, given.tolerance(tol)  # type: ignore[return-value]
    except (TypeError, ValueError) as error:
        raise type(error)(str(error).replace("tol", label("tol"), 1)) from None


def _model_name(name: object, models: Mapping[str, object], what: str) -> str:
    key = name.replace("_", "-") if isinstance(name, str) else name
    if key not in models:
        raise ValueError(f"{what} must be one of {', '.join(map(repr, models))}, got {name!r}")
    return str(key)


def _real(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def _typed(value: object, parameter: ModelParameter, label: Callable[[str], str]) -> int | float:
    if parameter.kind is int:
        return given.integer(value, label(parameter.name))
    return _real(value, label(parameter.name))


def _check_count(value: object, name: str, lowest: int) -> int:
    number = given.integer(value, name)
    if number < lowest:
        raise ValueError(f"{name} must be at least {lowest}, got {number}")
    return number


class _OutOfRange(ValueError):
    """A parameter outside its range, which may depend on n."""

    def __init__(self, message: str, name: str, lowest: float, highest: float) -> None:
        super().__init__(message)
        self.name, self.lowest, self.highest = name, lowest, highest


def _in_range(values: Mapping[str, Any], name: str, lowest: float, highest: float, label: Callable[[str], str]) -> None:
    if name in values and values[name] is not None and not lowest <= values[name] <= highest:
        raise _OutOfRange(f"{label(name)} must be in [{lowest}, {highest}], got {values[name]}", name, lowest, highest)


def _check_ranges(resolved: Mapping[str, Any], n_nodes: int, d: int, label: Callable[[str], str]) -> None:
    pairs = n_nodes * (n_nodes - 1) // 2
    bars = _native.rigid_rank(n_nodes, d)
    ranges = {
        "m": (0, pairs),
        "p": (0.0, 1.0),
        "radius": (0.0, math.inf),
        "k": (1, n_nodes - 1),
        "split_probability": (0.0, 1.0),
        "removed_bars": (0, bars),
        "extra_bars": (0, pairs - bars + resolved.get("removed_bars", 0)),
        "n_lines": (1, _MAX_GROUPS),
        "n_circles": (1, _MAX_GROUPS),
        "n_clusters": (1, _MAX_GROUPS),
        "cluster_radius": (0.0, math.inf),
    }
    for name, (lowest, highest) in ranges.items():
        _in_range(resolved, name, lowest, highest, label)
    if "cluster_radius" in resolved and not math.isfinite(resolved["cluster_radius"]):
        raise ValueError(f"{label('cluster_radius')} must be finite, got {resolved['cluster_radius']}")
    side = resolved.get("grid_side")
    if side is not None and not n_nodes <= side**d <= _MAX_GRID_POINTS:
        raise ValueError(
            f"{label('grid_side')} must give between n_nodes = {n_nodes} and 2**62 grid points, "
            f"got {side} ({side}**{d} points)"
        )


# ---------------------------------------------------------------------------------------
# The extension's batch


def _native_batch(
    resolved: Mapping[str, Any],
    n_graphs: int,
    n_nodes: int,
    d: int,
    seed: int,
    labels: str,
    tol: float,
    arithmetic: int,
) -> Any:
    """The extension's flat buffers of a batch; parameters a model does not take are passed as placeholders."""
    get = resolved.get
    groups = get("n_lines", get("n_circles", get("n_clusters", 1)))
    request: _native.GraphBatchRequest = {
        "labels": _LABEL_CODES[labels],
        "tol": tol,
        "model": _GRAPH_CODES[resolved["model"]],
        "m": get("m", 0),
        "p": get("p", 0.0),
        "radius": get("radius", 0.0),
        "k": get("k", 0),
        "split_probability": get("split_probability", 0.5),
        "removed_bars": get("removed_bars", 0),
        "extra_bars": get("extra_bars", 0),
        "points": _POINT_CODES[resolved["points"]],
        "grid_side": get("grid_side") or 0,
        "groups": groups,
        "cluster_radius": get("cluster_radius", 0.1),
        "arithmetic": arithmetic,
    }
    return _native.generate_graph_batch(n_graphs, n_nodes, d, seed, request)


def _split_batch(buffers: Any, n_graphs: int, n_nodes: int, d: int) -> list[ModelGraph]:
    """Per-graph dictionaries of views into the batch's flat buffers (one comprehension: this runs per graph)."""
    positions = list(np.asarray(buffers["positions"]).reshape(n_graphs, n_nodes, d))
    offsets = np.asarray(buffers["edge_offsets"])
    edges, labels, edge_component = _per_graph_bars(
        offsets,
        np.asarray(buffers["edges"]).reshape(-1, 2),
        np.asarray(buffers["labels"]),
        np.asarray(buffers["edge_component"]),
    )
    ranks = np.asarray(buffers["rank"]).tolist()
    dofs = np.asarray(buffers["dof"]).tolist()
    max_rank = _native.rigid_rank(n_nodes, d)
    return [
        {"positions": p, "edges": e, "labels": l, "is_rigid": r == max_rank, "rank": r, "max_rank": max_rank,
         "dof": f, "edge_component": ec, "components": c}
        for p, e, l, ec, r, f, c in zip(positions, edges, labels, edge_component, ranks, dofs, buffers["components"],
                                        strict=True)
    ]  # fmt: skip


def _per_graph_bars(offsets: npt.NDArray[np.int64], *arrays: npt.NDArray[Any]) -> list[list[npt.NDArray[Any]]]:
    """Each of ``arrays`` (one row per bar) cut into one view per graph at ``offsets``.

    When every graph has the same number of bars, as most models give, iterating over
    the reshaped arrays makes the views without a Python slice per graph.
    """
    n_graphs = len(offsets) - 1
    bars = int(offsets[1]) if n_graphs > 0 else 0
    if np.array_equal(offsets, np.arange(n_graphs + 1) * bars):
        return [list(array.reshape(n_graphs, bars, *array.shape[1:])) for array in arrays]
    bounds = list(pairwise(offsets.tolist()))
    return [[array[a:b] for a, b in bounds] for array in arrays]
