"""The generic rigidity matroid of a graph in the plane (d = 2) and in space (d = 3).

Its ground set is the bars of the graph; a set of bars is independent when
their rows of the rigidity matrix at generic positions are. Every function
here works at random integer positions, exactly modulo the prime
p = 2**61 - 1, with one sparse elimination of the rigidity matrix (columns in
a nested-dissection order of the nodes): a set is never reported
independent when it is dependent, and any other error needs the positions
(or the random stress or motion drawn) to hit the zero set of a non-zero
polynomial, which by the Schwartz-Zippel lemma has probability below
d n**2 / 2**60 (about 3e-12 at n = 1000 in space). The plane's answers agree
with the (2, 3) pebble game; ``seed`` chooses the positions (another seed is
an independent trial).

Graphs are given as in `tarvel_tools.rigidity`: ``(n, edges)`` or a NetworkX
graph.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _graph_input as given
from . import _native

__all__ = ["fundamental_circuit", "is_circuit", "is_independent", "rigidity_closure"]

# Beyond this the closure's n x n bits (in space) or its list of pairs (in
# the plane) are refused up front.
_CLOSURE_BYTES_LIMIT = 1 << 34


def rigidity_closure(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2, seed: int = 0) -> npt.NDArray[np.int64]:
    """Return every node pair whose bar the graph implies: its closure in the rigidity matroid.

    A pair ij is in the closure when adding the bar ij would not raise the
    generic rank, i.e. every infinitesimal motion of a generic framework of
    the graph keeps the distance of i and j to first order: exactly the
    pairs inside some rigid component. In the plane they come from the
    components of the (2, 3) pebble game (exact), listed by the extension
    straight into the result; in space
    two random infinitesimal motions decide all pairs (see the module notes
    for the error bound; ``seed`` is then used).

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars.
    d : {2, 3}
        The dimension (default 2).
    seed : int, optional
        Seed of the random positions and motions, in ``[0, 2**64)``.

    Returns
    -------
    ndarray of int64, shape (k, 2)
        The implied pairs ``(i, j)``, ``i < j``, in increasing order (node
        numbers, also for a NetworkX graph: its nodes in ``G.nodes`` order).

    Raises
    ------
    TypeError, ValueError
        A bad graph, ``d`` outside {2, 3} or a bad ``seed``.
    MemoryError
        The closure would need more than 16 GiB: in space its n x n bits
        (n**2 / 8 bytes), in the plane its pairs (16 bytes each).

    Notes
    -----
    In the plane one pebble game and O(n + k) time for the k pairs; in
    space O(elimination + d n**2) time and n**2 / 8 bytes.

    Examples
    --------
    A square with one diagonal is rigid, so it implies the other diagonal;
    a bare square implies only its sides:

    >>> rigidity_closure(4, [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)]).tolist()
    [[0, 1], [0, 2], [0, 3], [1, 2], [1, 3], [2, 3]]
    >>> rigidity_closure(4, [(0, 1), (1, 2), (2, 3), (3, 0)]).tolist()
    [[0, 1], [0, 3], [1, 2], [2, 3]]
    """
    graph, d, seed = _checked(n, edges, d, seed)
    if d == 2:
        return _plane_closure(graph)
    _refuse_large_closure(graph.n)
    return np.asarray(_native.rigidity_closure(graph.n, graph.edges, d, seed)).reshape(-1, 2)


def fundamental_circuit(
    n: Any, edges: npt.ArrayLike | None = None, *, bar: int, d: int = 2, seed: int = 0
) -> npt.NDArray[np.int64] | None:
    """Return the circuit that bar number ``bar`` closes with the independent bars before it.

    The bars before ``bar`` (in the given order) that `generic_labels` marks
    independent form a basis B of the bars before it. When ``bar`` is
    dependent on them, B plus ``bar`` holds exactly one circuit of the
    rigidity matroid: the bars on which the unique equilibrium stress of
    B + ``bar`` is non-zero, found by one elimination and one backward pass.

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars in order.
    bar : int
        Index of the bar in ``edges`` (for a NetworkX graph: in ``G.edges`` order).
    d : {2, 3}
        The dimension (default 2).
    seed : int, optional
        Seed of the random positions, in ``[0, 2**64)``.

    Returns
    -------
    ndarray of int64 or None
        The indices of the circuit's bars, ascending, ``bar`` last; None when
        ``bar`` is independent of the bars before it.

    Raises
    ------
    TypeError, ValueError
        A bad graph, ``d`` or ``seed``, or ``bar`` not an index of a bar.

    Examples
    --------
    K4 in the plane: its last bar closes a circuit with all five before it;
    a triangle's bars are independent.

    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> fundamental_circuit(4, k4, bar=5).tolist()
    [0, 1, 2, 3, 4, 5]
    >>> print(fundamental_circuit(3, [(0, 1), (1, 2), (0, 2)], bar=2))
    None
    """
    graph, d, seed = _checked(n, edges, d, seed)
    index = given.integer(bar, "bar")
    if not 0 <= index < len(graph.edges):
        raise ValueError(f"bar must be the index of one of the {len(graph.edges)} bars, got {index}")
    circuit = np.asarray(_native.fundamental_circuit(graph.n, graph.edges, index, d, seed))
    return circuit if len(circuit) else None


def is_independent(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2, seed: int = 0) -> bool:
    """Return whether the bars are independent in the generic rigidity matroid.

    No bar's row is a combination of the others' at generic positions: in
    the plane, the bars are (2, 3)-sparse (Laman). A bar listed twice is
    dependent. One exact generic rank modulo a prime (see the module notes).

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars.
    d : {2, 3}
        The dimension (default 2).
    seed : int, optional
        Seed of the random positions, in ``[0, 2**64)``.

    Examples
    --------
    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> is_independent(4, k4), is_independent(4, k4, d=3)
    (False, True)
    """
    graph, d, seed = _checked(n, edges, d, seed)
    return int(_native.generic_labels(graph.n, graph.edges, d, seed)["rank"]) == len(graph.edges)


def is_circuit(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2, seed: int = 0) -> bool:
    """Return whether the bars form a circuit of the generic rigidity matroid.

    A circuit is dependent, and removing any one bar leaves it independent:
    the rank is one less than the number of bars and the (unique up to
    scale) equilibrium stress is non-zero on every bar. Isolated nodes do
    not matter: the question is about the bars. In the plane one (2, 3)
    pebble game in the given order decides it exactly (near-linear on
    sparse graphs): a circuit has 2n' - 2 bars on the n' nodes they touch,
    its first rejected bar is the last, and the smallest tight set holding
    that bar's ends holds every node. In space: one elimination and one
    random stress modulo a prime (see the module notes).

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars.
    d : {2, 3}
        The dimension (default 2).
    seed : int, optional
        Seed of the random positions, in ``[0, 2**64)``.

    Examples
    --------
    K4 is a circuit in the plane; the double banana (two copies of K5 minus
    an edge glued at its ends) is one in space, though it has no more than
    3n - 6 bars.

    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> banana = [(p, b) for p in (0, 1) for b in (2, 3, 4)] + [(2, 3), (2, 4), (3, 4)]
    >>> banana += [(p, b) for p in (0, 1) for b in (5, 6, 7)] + [(5, 6), (5, 7), (6, 7)]
    >>> is_circuit(4, k4), is_circuit(8, banana, d=3), is_circuit(8, banana[1:], d=3)
    (True, True, False)
    """
    graph, d, seed = _checked(n, edges, d, seed)
    if d == 2:
        return bool(_native.is_plane_circuit(graph.n, graph.edges))
    if len(graph.edges) == 0:
        return False
    support, bars = _on_support(graph.edges)
    # A circuit has rank m - 1, at most the rank of its nodes' complete graph.
    if len(bars) - 1 > _native.rigid_rank(support, d):
        return False
    found = _native.circuit_bars(graph.n, graph.edges, d, seed)
    return int(found["rank"]) == len(graph.edges) - 1 and bool(np.all(np.asarray(found["in_circuit"])))


def _plane_closure(graph: given.GraphInput) -> npt.NDArray[np.int64]:
    pairs = np.asarray(_native.plane_closure(graph.n, graph.edges, float(_CLOSURE_BYTES_LIMIT)))
    return pairs.reshape(-1, 2)


def _on_support(edges: npt.NDArray[np.int64]) -> tuple[int, npt.NDArray[np.int64]]:
    """The bars renumbered onto the nodes they touch, and that node count."""
    nodes, renumbered = np.unique(edges, return_inverse=True)
    return len(nodes), np.ascontiguousarray(renumbered.reshape(edges.shape), dtype=np.int64)


def _checked(n: Any, edges: Any, d: Any, seed: Any) -> tuple[given.GraphInput, int, int]:
    return given.as_graph(n, edges), given.dimension(d), given.seed_value(seed)


def _refuse_large_closure(n: int) -> None:
    needed = n * (n // 64 + 1) * 8
    if needed > _CLOSURE_BYTES_LIMIT:
        raise MemoryError(f"the closure of {n} nodes needs {needed / 2**30:.1f} GiB of pair bits (limit 16 GiB)")
