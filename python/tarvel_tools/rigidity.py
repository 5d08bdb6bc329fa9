"""Rigidity of any graph: labels of its bars, rigid components, and whether it is
rigid, minimally, redundantly or globally rigid.

A graph is given as a number of nodes ``n`` and an edge list ``edges``: an
``(m, 2)`` array-like of node numbers ``0 .. n-1`` (lists, tuples and NumPy
arrays of any integer type; an edge may repeat, a self-loop is refused).
Where a function takes ``(n, edges)`` a NetworkX graph ``G`` may be passed
instead, as ``f(G)``: its nodes are numbered in the order of ``G.nodes``,
per-edge results follow the order of ``G.edges``. NetworkX itself is not needed.

Rigid components have one type throughout the package (here, in model
graphs of `tarvel_tools.models`, datasets and pictures): a list of sorted
node lists, of Python ints, or of a NetworkX graph's own node labels when
one is given.

Three ways to label the bars, in the order given, 1 for independent and 0
for redundant:

- `label_bars` -- the numeric test at given positions (the rank of the
  rigidity matrix, with a tolerance relative to each bar's row), backward
  stable; ``arithmetic="simulate"`` gives the labels of `tarvel.simulate`'s
  arithmetic instead;
- `generic_labels` -- generic rigidity in the plane or in space, exact
  (modulo a prime at random integer positions), no tolerance;
- `pebble_game` -- the combinatorial (k, l) pebble game; (2, 3) is generic
  rigidity in the plane.

In space (``d=3``) too: `is_globally_rigid` (stress-matrix test),
`is_redundantly_rigid`, `rigid_components`; the rigidity matroid
(`rigidity_closure`, `fundamental_circuit`, `is_independent`, `is_circuit`,
from `tarvel_tools.matroid`) and redundancy of higher order
(`is_k_redundantly_rigid`, `is_vertex_redundantly_rigid`, from
`tarvel_tools.redundancy`) are re-exported here.

The work runs in the native module ``tarvel_tools._native`` without the
interpreter lock, so calls from several threads run in parallel.
"""

from __future__ import annotations

import warnings
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt

from . import _graph_input as given
from . import _native
from ._memory import require_memory
from .matroid import _refuse_large_closure, fundamental_circuit, is_circuit, is_independent, rigidity_closure
from .redundancy import is_k_redundantly_rigid, is_vertex_redundantly_rigid

__all__ = [
    "BarLabels",
    "PebbleGameResult",
    "fundamental_circuit",
    "generic_labels",
    "is_circuit",
    "is_globally_rigid",
    "is_independent",
    "is_k_redundantly_rigid",
    "is_minimally_rigid",
    "is_redundantly_rigid",
    "is_rigid",
    "is_vertex_redundantly_rigid",
    "label_bars",
    "pebble_game",
    "rigid_components",
    "rigidity_closure",
]


class BarLabels(TypedDict):
    """Result of `label_bars` and `generic_labels`."""

    labels: npt.NDArray[np.uint8]
    rank: int
    max_rank: int
    is_rigid: bool


class PebbleGameResult(TypedDict):
    """Result of `pebble_game`."""

    labels: npt.NDArray[np.uint8]
    components: list[list[Any]]
    edge_component: npt.NDArray[np.int64]
    is_rigid: bool
    is_minimally_rigid: bool
    dof: int


def label_bars(
    positions: npt.ArrayLike, edges: npt.ArrayLike, *, tol: float | None = None, arithmetic: str = "orthogonal"
) -> BarLabels:
    """Label each bar independent (1) or redundant (0) by the numeric rank test.

    Each bar, in the given order, is independent when its row of the
    rigidity matrix at ``positions`` lies farther than ``tol`` times the
    row's own length from the span of the rows of the bars accepted before
    it. The distance is computed backward-stably (Householder reflections),
    so the answer is right for rows perturbed only by rounding, however many
    bars there are; a bar shorter than ``tol`` times the framework's size
    (the largest distance of a node from the centroid) has a zero row and is
    redundant. Labels do not change when the positions are translated or
    scaled. Bars at nodes with at most d bars of independent directions are
    independent in every order and are labelled without the matrix, and
    connected components are labelled apart, so memory and time follow the
    part of the graph where bars can depend on each other.

    With ``arithmetic="simulate"`` the labels are those of the incremental
    elimination of `tarvel.simulate` instead: a value counts as non-zero when
    its magnitude exceeds the absolute ``tol``, and once the rank reaches
    ``max_rank`` every later bar is redundant. On the complete graph in the
    order ``(0, 1), (0, 2), ..., (n-2, n-1)`` these are
    ``tarvel.simulate(positions, d, tol)["labels"]``, bit for bit. That
    elimination does not pivot for size and its tolerance does not scale
    with the positions: on sparse graphs with many dependent bars rounding
    grows past the tolerance and dependent bars are labelled independent
    (ranks above the generic rank), and the answers change with the units.

    Parameters
    ----------
    positions : array_like, shape (n, d), or mapping
        Finite coordinates of the nodes, d = 2 or 3; with a graph for
        ``edges``, in the order of ``G.nodes`` or as a mapping from its
        nodes to their coordinates (as NetworkX layouts give).
    edges : array_like, shape (m, 2), or networkx.Graph
        The bars, as pairs of node numbers, or a graph whose bars are
        labelled in the order of ``G.edges``. A repeated bar is redundant.
    tol : float, optional
        Non-negative tolerance of the rank test: relative to each row's
        length (default 1e-6), or absolute with ``arithmetic="simulate"``
        (default 1e-9, as `tarvel.simulate`).
    arithmetic : {"orthogonal", "simulate"}, optional
        The backward-stable test (default) or the simulation's elimination.

    Returns
    -------
    dict
        ``"labels"`` (uint8, one per bar), ``"rank"`` (the number of
        independent bars), ``"max_rank"`` (the rank of a rigid framework on
        n nodes: n d - d (d+1) / 2 for n >= d, n (n-1) / 2 below) and
        ``"is_rigid"`` (rank == max_rank: infinitesimally rigid).

    Raises
    ------
    TypeError
        Non-numeric positions, non-integer edges, or a tol that is not a real number.
    ValueError
        A wrong shape, an edge end outside ``0 .. n-1``, a self-loop, a
        non-finite coordinate, a negative tol or an unknown arithmetic.
    MemoryError
        Before any work, when the orthogonal test of a connected part left
        after peeling would need more memory than the machine has; the
        message says how much (about 4 (n d)^2 bytes for such a part of n
        nodes).

    Examples
    --------
    A square with one diagonal is rigid; the second diagonal is redundant:

    >>> square = [[0, 0], [1, 0], [1, 1], [0, 1]]
    >>> result = label_bars(square, [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3)])
    >>> result["labels"], result["rank"], result["is_rigid"]
    (array([1, 1, 1, 1, 1, 0], dtype=uint8), 5, True)

    The same in units a million times smaller:

    >>> label_bars(np.array(square) * 1e-6, [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3)])["rank"]
    5
    """
    if given.is_networkx_graph(edges):
        graph = given.undirected_graph(edges, "edges")
        points = given.positions_array(given.positions_of(positions, graph))
        bars = graph.edges
    else:
        points, bars = given.positions_array(positions), given.edge_array(edges)
    code = given.arithmetic_code(arithmetic)
    tolerance = given.default_tolerance(arithmetic) if tol is None else given.tolerance(tol)
    result = _native.label_bars(points, bars, tolerance, code)
    return _bar_labels(result)


def generic_labels(
    n: Any, edges: npt.ArrayLike | None = None, *deprecated_d: int, d: int = 2, seed: int = 0
) -> BarLabels:
    """Label each bar by generic rigidity in the plane (d = 2) or in space (d = 3).

    The labels are the greedy labels of the generic rigidity matroid: each
    bar, in order, is independent (1) when it raises the rank of the
    rigidity matrix at generic positions. The work follows the bars, not
    n: nodes without bars cost nothing, bars at nodes of degree at most d
    are independent in every order (no circuit has such a node) and are
    peeled off repeatedly, and the connected components of the rest are
    labelled apart. In the plane the labels are those of the (2, 3) pebble
    game (Laman's theorem: exact, and ``seed`` plays no part). In space
    there is no tolerance: the rank of each component is computed exactly
    modulo the prime p = 2**61 - 1 at random integer positions drawn from
    ``seed`` (every coordinate uniform in ``[0, 2**60)``, the nodes
    numbered within their component), so the labels are the same for the
    same edges and seed on every machine.

    In space a dependent set is never reported independent: rows
    independent modulo p are independent at those integer positions, hence
    at generic ones. The opposite error, a generically independent bar
    labelled 0, needs the positions to be a zero of a non-zero polynomial
    of degree at most r (the final rank), so by the Schwartz-Zippel lemma
    some label is wrong with probability at most r / 2**60 <= d n / 2**60:
    below 3e-15 for 1000 nodes and below 3e-14 for 10**4, assuming that
    polynomial has a coefficient that is not a multiple of p. Another seed
    gives an independent trial.

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars, as pairs of node numbers. A repeated bar is redundant.
    d : {2, 3}
        The dimension (default 2), by keyword as everywhere in this module
        (``generic_labels(n, edges, 3)`` still works, with a
        `DeprecationWarning`).
    seed : int, optional
        Seed of the random positions, in ``[0, 2**64)`` (default 0).

    Returns
    -------
    dict
        ``"labels"``, ``"rank"``, ``"max_rank"`` and ``"is_rigid"``, as `label_bars`.

    Examples
    --------
    The double banana: two copies of K5 minus an edge, glued at the ends of
    the missing edge. It has 3n - 6 = 18 bars and no subgraph with too
    many, yet it bends at the two glue nodes: the rank is 17.

    >>> banana = [(pole, b) for pole in (0, 1) for b in (2, 3, 4)] + [(2, 3), (2, 4), (3, 4)]
    >>> banana += [(pole, b) for pole in (0, 1) for b in (5, 6, 7)] + [(5, 6), (5, 7), (6, 7)]
    >>> result = generic_labels(8, banana, d=3)
    >>> result["rank"], result["max_rank"], result["is_rigid"]
    (17, 18, False)
    """
    d = _positional_d(deprecated_d, d, "generic_labels")
    graph = given.as_graph(n, edges)
    result = _native.generic_labels(graph.n, graph.edges, given.dimension(d), given.seed_value(seed))
    return _bar_labels(result)


def pebble_game(n: Any, edges: npt.ArrayLike | None = None, *, k: int = 2, l: int = 3) -> PebbleGameResult:  # noqa: E741
    """Play the (k, l) pebble game over the edges and find the rigid components.

    The game accepts an edge (label 1) exactly when the accepted edges stay
    (k, l)-sparse: every set of n' nodes spans at most k n' - l of them
    (Lee and Streinu, 2008). It is exact for 0 <= l < 2k: (2, 3) is generic
    rigidity in the plane (Laman), (1, 1) spanning forests, (6, 6)
    body-and-bar frameworks in space. Components are the maximal connected
    node sets spanning exactly k n' - l accepted edges, at least one; for
    (2, 3) they are the rigid components, of at least two nodes each, and
    two of them share at most one node. Every tight set the game meets is
    kept, so an edge with both ends in one is rejected without a search.

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The edges in the order they are offered; repeats allowed.
    k, l : int, optional
        The game's parameters, 0 <= l < 2k (default 2, 3).

    Returns
    -------
    dict
        ``"labels"`` (uint8 per edge, 1 accepted), ``"components"`` (a list
        of sorted node lists, numbered by their first accepted edge),
        ``"edge_component"`` (int64 per edge: the component spanning it, -1
        where none does, which (2, 3) never has), ``"is_rigid"`` (the
        accepted edges number k n - l: for (2, 3), n <= 1 or one component
        spans every node), ``"is_minimally_rigid"`` (rigid and every edge
        accepted) and ``"dof"`` (k n - l - accepted, floored at 0: the
        non-trivial degrees of freedom).

    Raises
    ------
    TypeError
        n is neither an integer nor a graph, or edges are not integers.
    ValueError
        A wrong shape, an edge end outside ``0 .. n-1``, a self-loop, or k
        and l outside ``0 <= l < 2k``.
    MemoryError
        The machine cannot hold the game's O(k m) memory (nodes without
        edges take none).

    Examples
    --------
    Two triangles sharing node 2 are two rigid components, with one degree
    of freedom between them:

    >>> game = pebble_game(5, [(0, 1), (1, 2), (0, 2), (2, 3), (3, 4), (2, 4)])
    >>> game["components"], game["edge_component"], game["dof"]
    ([[0, 1, 2], [2, 3, 4]], array([0, 0, 0, 1, 1, 1]), 1)
    """
    graph = given.as_graph(n, edges)
    k_value, l_value = given.pebble_parameters(k, l)
    _refuse_large_game(graph.n, len(graph.edges), k_value, l_value)
    result = _native.pebble_game(graph.n, graph.edges, k_value, l_value)
    return {
        "labels": np.asarray(result["labels"]),
        "components": _components(graph, result),
        "edge_component": np.asarray(result["edge_component"]),
        "is_rigid": result["is_rigid"],
        "is_minimally_rigid": result["is_minimally_rigid"],
        "dof": result["dof"],
    }


def _refuse_large_game(n: int, m: int, k: int, l: int) -> None:  # noqa: E741
    """MemoryError up front when the game's storage cannot fit this machine.

    Per node that carries edges: a record of max(k, l) arc slots and one
    header cell of 8 bytes, its list of bodies and its place in the
    components; per edge: its renumbered copy, its label and its component.
    """
    nodes = min(n, 2 * m)
    needed = nodes * (8 * (1 + max(k, l)) + 56) + m * 25
    require_memory(needed, f"the pebble game on {m} edges with k={k}, l={l}")


def rigid_components(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2) -> list[list[Any]]:
    """Return the generic rigid components of a graph in the plane (d = 2) or in space (d = 3).

    A rigid component is a maximal set X of at least two nodes such that
    the framework on X, with the bars of the graph inside X and every bar
    the whole graph implies between nodes of X, is rigid at generic
    positions; equivalently, every pair of nodes of X is implied (see
    `rigidity_closure`). Every bar lies in one; in the plane two components
    share at most one node, in space at most two (a hinge, whose bar, when
    the graph has it, lies in both). A node without bars is in none.

    In the plane they come from the (2, 3) `pebble_game`, numbered by their
    first accepted bar. In space they come from the closure in the generic
    rigidity matroid, decided exactly modulo a prime at random positions
    with two random infinitesimal motions (wrong with probability below
    d n**2 / 2**60), in increasing order of their node lists: for an
    implied pair ij the nodes implied with both i and j split into
    cliques, one per component through ij. O(elimination + n**2 (1 +
    hinges per pair) / 64) time, n**2 / 8 bytes.

    Parameters
    ----------
    n : int or networkx.Graph
        The number of nodes, or a graph (then ``edges`` is omitted).
    edges : array_like, shape (m, 2)
        The bars.
    d : {2, 3}
        The dimension (default 2).

    Returns
    -------
    list of list
        Sorted node lists (node labels for a NetworkX graph).

    Examples
    --------
    >>> rigid_components(5, [(0, 1), (1, 2), (0, 2), (2, 3), (3, 4)])
    [[0, 1, 2], [2, 3], [3, 4]]

    The double banana in space: two rigid halves hinged at the poles 0 and 1.

    >>> banana = [(p, b) for p in (0, 1) for b in (2, 3, 4)] + [(2, 3), (2, 4), (3, 4)]
    >>> banana += [(p, b) for p in (0, 1) for b in (5, 6, 7)] + [(5, 6), (5, 7), (6, 7)]
    >>> rigid_components(8, banana, d=3)
    [[0, 1, 2, 3, 4], [0, 1, 5, 6, 7]]
    """
    if given.dimension(d) == 2:
        return pebble_game(n, edges)["components"]
    graph = given.as_graph(n, edges)
    _refuse_large_closure(graph.n)
    return _components(graph, _native.closure_components(graph.n, graph.edges, 3, 0))


def is_rigid(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2) -> bool:
    """Return whether a graph is generically rigid in the plane (d = 2) or in space (d = 3).

    In the plane by the (2, 3) pebble game (exact); in space by
    `generic_labels` (exact with overwhelming probability, see there).
    The counts come first: fewer than ``d n - d (d+1) / 2`` bars, or a node
    without bars, answer False at once, whatever n is. Then bars at nodes
    of degree at most d are peeled off (they are independent) and the
    connected components of the rest are decided apart, so time and memory
    follow the bars, not n.

    Examples
    --------
    >>> is_rigid(4, [(0, 1), (1, 2), (2, 3), (3, 0)]), is_rigid(4, [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)])
    (False, True)
    """
    if _too_few_bars(n, edges, d):
        return False
    graph = given.as_graph(n, edges)
    return bool(_native.is_rigid(graph.n, graph.edges, given.dimension(d), 0))


def is_minimally_rigid(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2) -> bool:
    """Return whether a graph is rigid and every bar is needed for it (d = 2 or 3).

    Examples
    --------
    >>> k33 = [(a, b) for a in range(3) for b in range(3, 6)]
    >>> is_minimally_rigid(6, k33), is_minimally_rigid(6, k33 + [(0, 1)])
    (True, False)
    """
    if _too_few_bars(n, edges, d):
        return False
    graph = given.as_graph(n, edges)
    return bool(_native.is_minimally_rigid(graph.n, graph.edges, given.dimension(d), 0))


def is_redundantly_rigid(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2) -> bool:
    """Return whether a graph stays rigid after the removal of any one bar (d = 2 or 3).

    A graph of at most one node is. A bar listed twice is removed once, so
    the other copy keeps it. The graph must be rigid and every bar must lie
    in a circuit of the rigidity matroid: in the plane found with the pebble
    game (Berg and Jordan), in space from one random equilibrium stress of a
    generic framework, which is non-zero exactly on the bars of circuits
    (one sparse elimination modulo a prime and one backward pass; wrong
    with probability below d n**2 / 2**60).

    Examples
    --------
    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> is_redundantly_rigid(4, k4), is_redundantly_rigid(4, k4[1:])
    (True, False)
    >>> k5 = [(a, b) for a in range(5) for b in range(a + 1, 5)]
    >>> is_redundantly_rigid(5, k5, d=3), is_redundantly_rigid(5, k5[1:], d=3)
    (True, False)
    """
    if _too_few_bars(n, edges, d):
        return False
    graph = given.as_graph(n, edges)
    if given.dimension(d) == 2:
        return bool(_native.is_redundantly_rigid(graph.n, graph.edges))
    if graph.n <= 1:
        return True
    if not _native.is_rigid(graph.n, graph.edges, 3, 0):
        return False
    found = _native.circuit_bars(graph.n, graph.edges, 3, 0)
    return found["rank"] == found["max_rank"] and bool(np.all(np.asarray(found["in_circuit"])))


def is_globally_rigid(n: Any, edges: npt.ArrayLike | None = None, *, d: int = 2) -> bool:
    """Return whether a graph is generically globally rigid in the plane (d = 2) or in space (d = 3).

    Its bar lengths then determine every joint up to a rigid motion, at
    generic positions. Graphs on at most d + 1 nodes are globally rigid
    exactly when complete. Repeated bars count once.

    In the plane, for n >= 4: 3-connected and redundantly rigid (Hendrickson
    1992; Connelly 2005; Jackson and Jordan 2005), decided exactly;
    the cheaper tests come first (the counts, rigidity, redundant rigidity),
    so a graph that fails one is answered at their cost; the 3-connectivity
    test, last, takes O(n (n + m)) time: about a second at n = 2000.

    In space, for n >= 5: a generic framework has an equilibrium stress whose
    stress matrix has rank n - d - 1 (Connelly 2005; Gortler, Healy and
    Thurston 2010). The test draws random integer positions and a random
    stress from the stress space and computes the rank exactly modulo the
    prime p = 2**61 - 1 (two sparse eliminations, columns in a nested
    dissection order). A wrong answer needs a non-zero polynomial of degree
    at most (n - d - 1)(d n + 1) in the positions and stress weights to
    vanish at points drawn from ranges of at least 2**60 values: by the
    Schwartz-Zippel lemma its probability is below d n**2 / 2**60 (3e-10 at
    n = 10**4), assuming, as `generic_labels` does, that the polynomial is not
    identically zero modulo p.

    Examples
    --------
    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> prism = [(0, 1), (1, 2), (2, 0), (3, 4), (4, 5), (5, 3), (0, 3), (1, 4), (2, 5)]
    >>> is_globally_rigid(4, k4), is_globally_rigid(6, prism)
    (True, False)

    In space K5 is globally rigid and K5 minus a bar is not:

    >>> k5 = [(a, b) for a in range(5) for b in range(a + 1, 5)]
    >>> is_globally_rigid(5, k5, d=3), is_globally_rigid(5, k5[1:], d=3)
    (True, False)
    """
    if _too_few_bars(n, edges, d):
        return False
    graph = given.as_graph(n, edges)
    if given.dimension(d) == 2:
        return bool(_native.is_globally_rigid(graph.n, graph.edges))
    if graph.n >= 2 and not _native.is_rigid(graph.n, graph.edges, 3, 0):
        return False
    return bool(_native.stress_globally_rigid(graph.n, graph.edges, 3, 0))


def _too_few_bars(n: Any, edges: Any, d: Any) -> bool:
    # A NetworkX graph with fewer edges than a rigid graph needs is settled
    # before its edges are read (arrays are counted in the extension).
    counts = given.networkx_counts(n, edges)
    return counts is not None and counts[1] < _native.rigid_rank(counts[0], given.dimension(d))


def _positional_d(deprecated_d: tuple[int, ...], d: int, function: str) -> int:
    """``d`` given by keyword, or once positionally after ``edges`` (the older form, with a warning)."""
    if not deprecated_d:
        return d
    if len(deprecated_d) > 1 or d != 2:
        raise TypeError(f"{function}() takes n and edges positionally; give d= and seed= by keyword")
    warnings.warn(
        f"{function}(n, edges, {deprecated_d[0]!r}) is deprecated: "
        f"give the dimension by keyword, d={deprecated_d[0]!r}",
        DeprecationWarning,
        stacklevel=3,
    )
    return deprecated_d[0]


def _generic(graph: given.GraphInput, d: int) -> BarLabels:
    return _bar_labels(_native.generic_labels(graph.n, graph.edges, d, 0))


def _bar_labels(result: _native.BarLabelResult) -> BarLabels:
    rank, max_rank = result["rank"], result["max_rank"]
    return {"labels": np.asarray(result["labels"]), "rank": rank, "max_rank": max_rank, "is_rigid": rank == max_rank}


def _components(
    graph: given.GraphInput, result: _native.PebbleGameNative | _native.ClosureComponentsNative
) -> list[list[Any]]:
    offsets = np.asarray(result["component_offsets"]).tolist()
    nodes = graph.label_nodes(np.asarray(result["component_nodes"]).tolist())
    return [nodes[start:stop] for start, stop in zip(offsets[:-1], offsets[1:])]
