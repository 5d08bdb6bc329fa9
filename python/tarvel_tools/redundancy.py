"""Redundancy of higher order: rigidity that survives the loss of any k bars or any k nodes.

Both tests enumerate removals, so they suit small k: each step is one
rigidity test on the rest, the (2, 3) pebble game in the plane (exact) and
the exact generic rank modulo a prime in space (see `generic_labels`).
Bars need only be removed from one basis of the rigidity matroid: a set of
bars whose loss leaves a graph flexible meets every basis.
"""

from __future__ import annotations

from itertools import combinations
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _graph_input as given
from . import _native

__all__ = ["is_k_redundantly_rigid", "is_vertex_redundantly_rigid"]


def is_k_redundantly_rigid(n: Any, edges: npt.ArrayLike | None = None, k: int = 1, *, d: int = 2) -> bool:
    """Return whether a graph stays generically rigid after the removal of any ``k`` bars.

    ``k = 0`` is rigidity and ``k = 1`` redundant rigidity (rigid, and every
    bar in a circuit of the rigidity matroid, found in one pass: Berg and
    Jordan's pebble-game method in the plane, a random equilibrium stress in
    space). For ``k >= 2`` the graph must be redundantly rigid and stay
    (k - 1)-redundantly rigid without any one bar of a basis B (the bars the
    greedy labels accept): a set of k bars whose loss leaves the graph
    flexible meets every basis, so it holds a bar of B. A bar listed twice
    counts as two bars. A graph of at most one node is k-redundantly rigid.

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars.
    k : int
        How many bars may be lost, ``k >= 0`` (default 1).
    d : {2, 3}
        The dimension (default 2).

    Notes
    -----
    At most about (d n)**(k - 1) redundancy tests, whatever the number of
    bars m, each O(n m) in the worst case and near O(n + m) on sparse
    graphs in the plane (pebble games in the extension, one storage reused),
    one sparse elimination in space. In the plane the last two losses take
    fewer: a pair of bars whose loss lowers the rank and which meets a basis
    in one bar shows in how many fundamental circuits that bar lies, so
    fundamental circuits are counted for a few bases (one pebble game each)
    and only the bars all of them share are tested one by one. A graph
    with fewer than ``rigid_rank + k`` bars, or with more than d nodes and a
    node with fewer than ``d + k`` bars, is refused at once, and so is every
    graph met on the way down.

    Examples
    --------
    K4 in the plane is 1- but not 2-redundantly rigid; K5 is 2- but not
    3-redundantly rigid (removing the three bars at one node frees it).

    >>> k4 = [(a, b) for a in range(4) for b in range(a + 1, 4)]
    >>> k5 = [(a, b) for a in range(5) for b in range(a + 1, 5)]
    >>> is_k_redundantly_rigid(4, k4, 1), is_k_redundantly_rigid(4, k4, 2)
    (True, False)
    >>> is_k_redundantly_rigid(5, k5, 2), is_k_redundantly_rigid(5, k5, 3)
    (True, False)
    """
    graph, d = given.as_graph(n, edges), given.dimension(d)
    lost = given.integer(k, "k")
    if lost < 0:
        raise ValueError(f"k must be a non-negative number of bars, got {lost}")
    if graph.n <= 1:
        return True
    bars = graph.edges
    if len(bars) < _native.rigid_rank(graph.n, d) + lost:
        return False
    if lost > 0 and graph.n > d and _fewest_bars_at_a_node(graph.n, bars) < d + lost:
        # Removing k of its bars leaves a node fewer than d: it moves.
        return False
    if d == 2:
        return bool(_native.k_redundantly_rigid(graph.n, bars, lost))
    if lost == 0:
        return _is_rigid(graph.n, bars, d)
    return _survives_bar_losses(graph.n, bars, lost, d)


def is_vertex_redundantly_rigid(n: Any, edges: npt.ArrayLike | None = None, k: int = 1, *, d: int = 2) -> bool:
    """Return whether a graph is rigid and stays so after the removal of any ``k`` nodes.

    Removing a node removes its bars; the rest is tested as a graph on the
    remaining ``n - k`` nodes. When at most one node would remain, only the
    graph itself must be rigid.

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars.
    k : int
        How many nodes may be lost, ``k >= 0`` (default 1).
    d : {2, 3}
        The dimension (default 2).

    Notes
    -----
    C(n, k) + 1 rigidity tests, each O(n**2) in the worst case (pebble game)
    in the plane and one sparse elimination in space: O(n**(k+2)) in all.

    Examples
    --------
    The wheel with five spokes is rigid but loses it with its hub; K4 keeps
    a triangle whichever node goes.

    >>> wheel = [(0, s) for s in range(1, 6)] + [(s, s % 5 + 1) for s in range(1, 6)]
    >>> k4 = [(a, b) for a in range(4) for b in range(a + 1, 4)]
    >>> is_vertex_redundantly_rigid(6, wheel), is_vertex_redundantly_rigid(4, k4)
    (False, True)
    """
    graph, d = given.as_graph(n, edges), given.dimension(d)
    lost = given.integer(k, "k")
    if lost < 0:
        raise ValueError(f"k must be a non-negative number of nodes, got {lost}")
    if not _is_rigid(graph.n, graph.edges, d):
        return False
    remaining = graph.n - lost
    if remaining <= 1:
        return True
    bars = graph.edges
    for removed in combinations(range(graph.n), lost):
        kept_node = np.ones(graph.n, dtype=bool)
        kept_node[list(removed)] = False
        renumber = np.cumsum(kept_node) - 1
        kept_bars = bars[kept_node[bars[:, 0]] & kept_node[bars[:, 1]]]
        if len(kept_bars) < _native.rigid_rank(remaining, d):
            return False
        if not _is_rigid(remaining, np.ascontiguousarray(renumber[kept_bars]), d):
            return False
    return True


def _survives_bar_losses(n: int, bars: npt.NDArray[np.int64], lost: int, d: int) -> bool:
    """Rigid after the loss of any ``lost >= 1`` bars: removals from one basis only."""
    if not _is_redundantly_rigid(n, bars, d):
        return False
    if lost == 1:
        return True
    basis = np.flatnonzero(np.asarray(_native.generic_labels(n, bars, d, 0)["labels"]))
    for bar in basis.tolist():
        rest = np.ascontiguousarray(np.delete(bars, bar, axis=0))
        if n > d and _fewest_bars_at_a_node(n, rest) < d + lost - 1:
            return False
        if not _survives_bar_losses(n, rest, lost - 1, d):
            return False
    return True


def _fewest_bars_at_a_node(n: int, bars: npt.NDArray[np.int64]) -> int:
    return int(np.bincount(bars.ravel(), minlength=n).min())


def _is_rigid(n: int, bars: npt.NDArray[np.int64], d: int) -> bool:
    if d == 2:
        return bool(_native.pebble_game(n, bars, 2, 3)["is_rigid"])
    return int(_native.generic_labels(n, bars, d, 0)["rank"]) == _native.rigid_rank(n, d)


def _is_redundantly_rigid(n: int, bars: npt.NDArray[np.int64], d: int) -> bool:
    if d == 2:
        return bool(_native.is_redundantly_rigid(n, bars))
    found = _native.circuit_bars(n, bars, d, 0)
    return int(found["rank"]) == _native.rigid_rank(n, d) and bool(np.all(np.asarray(found["in_circuit"])))
