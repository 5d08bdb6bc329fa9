"""Rigidity of any graph: cross-checks against tarvel.simulate, brute force and theory.

(The pebble game's labels and components are checked against brute force over
all node subsets in tests/cpp/kl_pebble_game_test.cpp.)
"""

import itertools
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tarvel
from tarvel_tools import rigidity
from tarvel_tools.rigidity import (
    generic_labels,
    is_globally_rigid,
    is_minimally_rigid,
    is_redundantly_rigid,
    is_rigid,
    label_bars,
    pebble_game,
    rigid_components,
)

nx = pytest.importorskip("networkx")


def random_multigraph(rng, n, m):
    """m edges between random distinct nodes, repeats allowed."""
    edges = rng.integers(0, n, size=(3 * m + 8, 2))
    return edges[edges[:, 0] != edges[:, 1]][:m]


def candidate_pairs(n):
    return np.stack(np.triu_indices(n, k=1), axis=1)


K4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
K33 = [(a, b) for a in range(3) for b in range(3, 6)]
PRISM = [(0, 1), (1, 2), (2, 0), (3, 4), (4, 5), (5, 3), (0, 3), (1, 4), (2, 5)]
CYCLE6 = [(v, (v + 1) % 6) for v in range(6)]
BOWTIE = [(0, 1), (1, 2), (0, 2), (2, 3), (3, 4), (2, 4)]
# Two K5 minus the edge between the poles 0 and 1, glued at the poles.
DOUBLE_BANANA = [(p, b) for p in (0, 1) for b in (2, 3, 4, 5, 6, 7)] + [(2, 3), (2, 4), (3, 4), (5, 6), (5, 7), (6, 7)]


# ---------------------------------------------------------------- labels agree


def test_generic_labels_in_the_plane_are_the_pebble_game_labels():
    # Laman: the (2, 3) game's accepted edges are a basis of the generic rigidity matroid.
    rng = np.random.default_rng(13)
    for trial in range(40):
        n = int(rng.integers(3, 40))
        edges = random_multigraph(rng, n, int(rng.integers(n, 3 * n)))
        generic = generic_labels(n, edges, d=2, seed=trial)
        game = pebble_game(n, edges)
        assert np.array_equal(generic["labels"], game["labels"]), trial
        assert generic["is_rigid"] == game["is_rigid"]
        assert game["dof"] == max(2 * n - 3 - generic["rank"], 0)


def degenerate_frameworks():
    """(name, points, tol): generic, near 1e6, grids, collinear and repeated points, tiny and zero tol."""
    rng = np.random.default_rng(5)
    cases = []
    for d in (2, 3):
        for k in range(10):
            n = 4 + k
            direction = rng.normal(size=d)
            shapes = {
                "uniform": rng.uniform(0, 5, (n, d)),
                "near-1e6": 1e6 + rng.uniform(0, 1e-3, (n, d)),
                "grid": rng.integers(0, 3, (n, d)).astype(float),
                "collinear": np.outer(rng.uniform(0, 4, n), direction) + 0.5,
                "repeated": rng.uniform(0, 1, (2, d))[rng.integers(0, 2, n)],
            }
            for shape, points in shapes.items():
                cases.append((f"d{d}-n{n}-{shape}", points, (1e-9, 0.0, 1e-12)[k % 3]))
    return cases


def test_pebble_game_around_the_rigidity_threshold_is_the_generic_rank():
    # Around m = 1.8 n a giant rigid cluster forms at once: searches run long,
    # tight sets are condensed and merged. The labels must stay the greedy
    # basis of the generic matroid (exact rank modulo a prime); each component
    # must be rigid on its own bars, and two components share at most a node.
    rng = np.random.default_rng(21)
    for n, per_node in [(300, 1.6), (1000, 1.8), (1000, 1.9), (700, 2.1), (400, 3.0)]:
        edges = random_multigraph(rng, n, int(per_node * n))
        game = pebble_game(n, edges)
        assert np.array_equal(game["labels"], generic_labels(n, edges, d=2, seed=n)["labels"]), (n, per_node)
        members = [set(component) for component in game["components"]]
        assert all(len(a & b) <= 1 for a, b in itertools.combinations(members, 2) if len(a) > 2 and len(b) > 2)
        for component in (c for c in game["components"] if len(c) > 2):
            inside = np.isin(edges, component).all(axis=1)
            index = {node: i for i, node in enumerate(component)}
            local = np.vectorize(index.get)(edges[inside])
            rank = int(generic_labels(len(component), local, d=2, seed=1)["labels"].sum())
            assert rank == 2 * len(component) - 3, (n, per_node, len(component))
        assert game["dof"] == 2 * n - 3 - int(game["labels"].sum())


@pytest.mark.parametrize("name,points,tol", degenerate_frameworks(), ids=lambda c: c if isinstance(c, str) else "")
def test_simulate_arithmetic_on_the_complete_graph_is_simulate(name, points, tol):
    d = points.shape[1]
    simulated = tarvel.simulate(points, d, tol)
    ours = label_bars(points, candidate_pairs(len(points)), tol=tol, arithmetic="simulate")
    assert np.array_equal(ours["labels"], simulated["labels"])
    assert (ours["rank"], ours["max_rank"], ours["is_rigid"]) == (
        simulated["final_rank"], simulated["max_rank"], simulated["is_rigid"])


def test_label_bars_at_random_positions_are_the_generic_labels():
    rng = np.random.default_rng(21)
    for trial in range(30):
        d = 2 + trial % 2
        n = int(rng.integers(d + 1, 25))
        edges = random_multigraph(rng, n, int(rng.integers(n, 4 * n)))
        numeric = label_bars(rng.uniform(0, 1, (n, d)), edges)
        generic = generic_labels(n, edges, d=d, seed=trial)
        assert np.array_equal(numeric["labels"], generic["labels"]), trial
        assert numeric["rank"] == generic["rank"]


# ---------------------------------------------------------------- known graphs


@pytest.mark.parametrize(
    "name,n,edges,rigid,minimal,redundant,globally,components",
    [
        ("K4", 4, K4, True, False, True, True, [[0, 1, 2, 3]]),
        ("K33", 6, K33, True, True, False, False, [list(range(6))]),
        ("prism", 6, PRISM, True, True, False, False, [list(range(6))]),
        ("cycle", 6, CYCLE6, False, False, False, False, [[v, (v + 1) % 6] if v < 5 else [0, 5] for v in range(6)]),
        ("bowtie", 5, BOWTIE, False, False, False, False, [[0, 1, 2], [2, 3, 4]]),
        ("K3", 3, K4[:2] + [(1, 2)], True, True, False, True, [[0, 1, 2]]),
        ("K1", 1, [], True, True, True, True, []),
    ],
)
def test_known_families_in_the_plane(name, n, edges, rigid, minimal, redundant, globally, components):
    assert is_rigid(n, edges) is rigid
    assert is_minimally_rigid(n, edges) is minimal
    assert is_redundantly_rigid(n, edges) is redundant
    assert is_globally_rigid(n, edges) is globally
    assert rigid_components(n, edges) == components


def test_double_banana_fools_the_counts_but_not_the_generic_rank():
    # 18 = 3n - 6 bars, and every set of n' >= 3 nodes spans at most 3n' - 6 of them.
    for size in range(3, 9):
        for nodes in itertools.combinations(range(8), size):
            assert sum(a in nodes and b in nodes for a, b in DOUBLE_BANANA) <= 3 * size - 6
    generic = generic_labels(8, DOUBLE_BANANA, d=3)
    assert (generic["rank"], generic["max_rank"], generic["is_rigid"]) == (17, 18, False)
    assert not is_rigid(8, DOUBLE_BANANA, d=3)
    # Each banana (K5 minus an edge) is rigid, and the two turn about the axis
    # through the poles: one more bar between them, off the axis, stops that.
    braced = DOUBLE_BANANA + [(2, 5)]
    assert is_rigid(8, braced, d=3) and not is_minimally_rigid(8, braced, d=3)
    assert not is_redundantly_rigid(8, braced, d=3)
    k5 = list(itertools.combinations(range(5), 2))
    assert is_minimally_rigid(5, k5[1:], d=3) and is_redundantly_rigid(5, k5, d=3)


# ---------------------------------------------------------------- brute force


def rigid_by_count(n, edges):
    return generic_labels(n, edges, d=2)["rank"] == (2 * n - 3 if n >= 2 else 0)


def three_connected_by_brute_force(n, edges):
    graph = nx.Graph()
    graph.add_nodes_from(range(n))
    graph.add_edges_from(map(tuple, edges))
    return n > 3 and all(
        nx.is_connected(graph.subgraph(set(range(n)) - set(cut))) for cut in itertools.combinations(range(n), 2))


def test_redundant_and_global_rigidity_against_brute_force():
    rng = np.random.default_rng(8)
    seen = {True: 0, False: 0}
    for trial in range(150):
        n = int(rng.integers(2, 8))
        edges = random_multigraph(rng, n, int(rng.integers(n, 3 * n)))
        redundant = rigid_by_count(n, edges) and all(
            rigid_by_count(n, np.delete(edges, e, axis=0)) for e in range(len(edges)))
        assert is_redundantly_rigid(n, edges) is redundant, (n, edges.tolist())
        simple = {tuple(sorted(edge)) for edge in edges.tolist()}
        if n <= 3:
            globally = len(simple) == n * (n - 1) // 2
        else:
            globally = three_connected_by_brute_force(n, edges) and is_redundantly_rigid(n, sorted(simple))
        assert is_globally_rigid(n, edges) is globally, (n, edges.tolist())
        seen[globally] += 1
    assert min(seen.values()) >= 10  # both answers were drawn


def test_components_are_the_classes_of_mutually_rigid_pairs():
    # A pair of nodes lies in one component exactly when adding their bar is
    # redundant; components are the maximal sets of mutually rigid nodes.
    rng = np.random.default_rng(34)
    for trial in range(25):
        n = int(rng.integers(4, 14))
        edges = random_multigraph(rng, n, int(rng.integers(n, 2 * n)))
        components = rigid_components(n, edges)
        together = {pair for component in components for pair in itertools.combinations(component, 2)}
        for u, v in itertools.combinations(range(n), 2):
            braced = generic_labels(n, np.vstack([edges, [[u, v]]]), d=2)["labels"][-1] == 0
            assert ((u, v) in together) == braced, (trial, u, v)
        game = pebble_game(n, edges)
        for edge, c in zip(edges.tolist(), game["edge_component"].tolist()):
            assert set(edge) <= set(components[c])


def test_networkx_graphs_map_to_their_node_labels():
    graph = nx.Graph()
    graph.add_edges_from([("a", "b"), ("b", "c"), ("a", "c"), ("c", "d")])
    graph.add_node("lonely")
    assert rigid_components(graph) == [["a", "b", "c"], ["c", "d"]]
    game = pebble_game(graph)
    assert game["labels"].tolist() == [1, 1, 1, 1] and game["dof"] == 2 * 5 - 3 - 4
    assert not is_rigid(graph) and is_globally_rigid(nx.complete_graph(5))
    assert generic_labels(nx.complete_graph(5), d=3)["rank"] == 9
    multigraph = nx.MultiGraph([(0, 1), (0, 1)])
    assert pebble_game(multigraph)["labels"].tolist() == [1, 0] and is_redundantly_rigid(multigraph)


# ---------------------------------------------------------------- input handling


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda: pebble_game(2.5, []), TypeError, "n must be a number of nodes (an integer) or a NetworkX graph, got float"),
        (lambda: pebble_game(-1, []), ValueError, "n must be a non-negative number of nodes, got -1"),
        (lambda: pebble_game(2**63, []), ValueError, "n must be below 2**63"),
        (lambda: pebble_game(3), TypeError, "edges are required when n is a number of nodes"),
        (lambda: pebble_game(nx.path_graph(3), [(0, 1)]), TypeError, "edges must be omitted when a graph is given"),
        (lambda: pebble_game(3, [0, 1, 2]), ValueError, "edges must have shape (m, 2), got shape (3,)"),
        (lambda: pebble_game(3, [[0.0, 1.0]]), TypeError, "edges must hold integer node numbers, got 0.0 (float)"),
        (lambda: pebble_game(3, np.array([[0.0, 1.0]])), TypeError, "edges must hold integer node numbers, got an array of float64"),
        (lambda: pebble_game(3, [(0, 1), (1, 2, 0)]), ValueError, "edges must be pairs of node numbers, got (1, 2, 0)"),
        (lambda: is_rigid(3, [(0, 1), (0, 2**63)]), ValueError,
         "edges: edge 1 (0, 9223372036854775808) has an end outside the nodes"),
        (lambda: is_rigid(3, [(0, 2**70)]), ValueError, "edges: edge 0 (0, 1180591620717411303424) has an end outside"),
        (lambda: pebble_game(nx.DiGraph([(0, 1)])), TypeError, "the graph is a directed graph (DiGraph); bars have no direction"),
        (lambda: label_bars(np.eye(2), nx.DiGraph([(0, 1)])), TypeError, "edges is a directed graph (DiGraph)"),
        (lambda: label_bars({0: (0, 0)}, nx.path_graph(2)), ValueError, "positions has no coordinates for node 1"),
        (lambda: pebble_game(3, nx.path_graph(3)), TypeError, "edges is a graph: pass the graph alone"),
        (lambda: generic_labels(3, [(0, 1)], 3, 4), TypeError, "generic_labels() takes n and edges positionally"),
        (lambda: is_rigid(3, np.zeros((0, 3), dtype=int)), ValueError, "edges must have shape (m, 2), got shape (0, 3)"),
        (lambda: is_rigid(3, np.zeros((5, 0), dtype=int)), ValueError, "edges must have shape (m, 2), got shape (5, 0)"),
        (lambda: generic_labels(3, np.zeros((3, 2, 0), dtype=int)), ValueError, "edges must have shape (m, 2), got shape (3, 2, 0)"),
        (lambda: label_bars([[0, 0], [1]], []), ValueError, "positions must have shape (n, 2) or (n, 3): the rows are of different"),
        (lambda: is_rigid(nx.Graph([(0, 0)])), ValueError, "the graph has a self-loop at node 0"),
        (lambda: pebble_game(3, [[0, 3]]), ValueError, "edges: edge 0 (0, 3) has an end outside the 3 nodes"),
        (lambda: is_rigid(3, [(0, 1), (-1, 2)]), ValueError, "edges: edge 1 (-1, 2) has an end outside the 3 nodes"),
        (lambda: is_globally_rigid(3, [(0, 1), (2, 2)]), ValueError, "edges: edge 1 (2, 2) is a self-loop"),
        (lambda: rigid_components(nx.Graph([(0, 0)])), ValueError, "the graph has a self-loop at node 0"),
        (lambda: generic_labels(3, [(0, 1)], d=4), ValueError, "d must be 2 or 3, got 4"),
        (lambda: is_rigid(3, [(0, 1)], d="3"), TypeError, "d must be an integer, got str"),
        (lambda: pebble_game(3, [(0, 1)], k=2, l=4), ValueError, "k and l must satisfy 0 <= l < 2k, got k=2, l=4"),
        (lambda: pebble_game(3, [(0, 1)], k=0, l=0), ValueError, "k and l must satisfy 0 <= l < 2k, got k=0, l=0"),
        (lambda: generic_labels(3, [(0, 1)], seed=-1), ValueError, "seed must lie in [0, 2**64), got -1"),
        (lambda: label_bars([[0, 0], [1, 0]], [(0, 1)], tol="1e-9"), TypeError, "tol must be a real number, got str"),
        (lambda: label_bars([[0, 0], [1, 0]], [(0, 1)], tol=float("nan")), ValueError, "tol must be a non-negative number, got nan"),
        (lambda: label_bars([[0, 0, 0, 0]], []), ValueError, "positions must have shape (n, 2) or (n, 3), got shape (1, 4)"),
        (lambda: label_bars([["a", "b"]], []), TypeError, "positions must hold real coordinates, got an array of <U1"),
        (lambda: label_bars([[0, np.inf], [1, 0]], [(0, 1)]), ValueError, "positions must be finite"),
        (lambda: label_bars([[0, 0], [1, 0]], [(0, 2)]), ValueError, "edges: edge 0 (0, 2) has an end outside the 2 nodes"),
    ],
)
def test_bad_input_is_named(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message)


def test_array_likes_and_empty_graphs():
    tuples = pebble_game(4, ((0, 1), (1, 2)))
    uint32 = pebble_game(np.int32(4), np.array([[0, 1], [1, 2]], dtype=np.uint32))
    assert tuples["labels"].tolist() == uint32["labels"].tolist() == [1, 1]
    empty = pebble_game(0, [])
    assert (empty["labels"].shape, empty["components"], empty["is_rigid"], empty["dof"]) == ((0,), [], True, 0)
    assert label_bars(np.zeros((3, 2)), np.empty((0, 2), dtype=np.int64))["rank"] == 0


def test_huge_n_costs_what_the_bars_cost():
    # Nodes without bars are never stored: these would need exabytes per node.
    far = 2**62 - 1
    triangle = [(0, far), (far, 5), (5, 0)]
    game = pebble_game(2**62, triangle)
    assert (game["components"], game["dof"], game["is_rigid"]) == ([[0, 5, far]], 2**63 - 6, False)
    assert generic_labels(2**62, triangle, d=3)["labels"].tolist() == [1, 1, 1]
    for check in (is_rigid, is_minimally_rigid, is_redundantly_rigid):
        assert check(2**62, triangle) is False and check(2**62, triangle, d=3) is False
    assert is_globally_rigid(10**15, [(0, 1)]) is False
    assert rigid_components(10**18, [(10**17, 10**18 - 1)]) == [[10**17, 10**18 - 1]]
def test_edges_from_sets_iterators_and_networkx_graphs_give_the_same_answers():
    triangle = [(0, 1), (1, 2), (0, 2)]
    assert is_rigid(3, set(triangle)) and is_rigid(3, iter(triangle)) and is_rigid(3, (pair for pair in triangle))
    assert generic_labels(3, iter(triangle), d=3)["labels"].tolist() == [1, 1, 1]
    # label_bars on a graph: positions in the order of G.nodes, or by node, as NetworkX layouts give them.
    square = nx.Graph([("a", "b"), ("b", "c"), ("c", "d"), ("d", "a"), ("a", "c"), ("b", "d")])
    corners = {"a": (0, 0), "b": (1, 0), "c": (1, 1), "d": (0, 1)}
    in_order = [corners[node] for node in square.nodes]
    expected = label_bars(in_order, [(list(square.nodes).index(u), list(square.nodes).index(v)) for u, v in square.edges])
    for positions in (corners, in_order):
        assert label_bars(positions, square)["labels"].tolist() == expected["labels"].tolist() == [1, 1, 1, 1, 1, 0]


def test_d_is_a_keyword_and_the_older_positional_form_warns():
    with pytest.raises(TypeError):
        is_rigid(8, DOUBLE_BANANA, 3)
    with pytest.warns(DeprecationWarning, match=r"give the dimension by keyword, d=3"):
        old = generic_labels(8, DOUBLE_BANANA, 3)
    assert old["rank"] == generic_labels(8, DOUBLE_BANANA, d=3)["rank"] == 17


# ---------------------------------------------------------------- the native module


def test_results_are_arrays_over_native_memory():
    game = pebble_game(5, BOWTIE)
    labels = game["labels"]
    assert labels.dtype == np.uint8 and labels.flags.writeable and labels.flags.c_contiguous
    assert labels.base is not None  # a view of the native buffer, which it keeps alive
    del game
    assert labels.tolist() == [1] * 6


def test_calls_from_threads_give_serial_results():
    rng = np.random.default_rng(2)
    graphs = [random_multigraph(rng, 300, 650) for _ in range(8)]
    serial = [pebble_game(300, edges)["labels"] for edges in graphs]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda edges: pebble_game(300, edges)["labels"], graphs * 3))
    assert all(np.array_equal(a, b) for a, b in zip(threaded, serial * 3))


def test_native_module_runs_in_a_sub_interpreter(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no legacy sub-interpreter runner")
    out = tmp_path / "outcome.txt"
    code = textwrap.dedent(f"""
        import array, importlib.util
        found = importlib.util.spec_from_file_location("tarvel_tools._native", {rigidity._native.__file__!r})
        native = importlib.util.module_from_spec(found)
        found.loader.exec_module(native)
        edges = memoryview(array.array("q", [0, 1, 1, 2, 0, 2])).cast("B").cast("q", (3, 2))
        result = native.pebble_game(3, edges, 2, 3)
        with open({str(out)!r}, "w") as f:
            f.write(str(list(memoryview(result["labels"]))) + " " + str(result["is_rigid"]))
    """)
    testcapi.run_in_subinterp(code)
    assert out.read_text() == "[1, 1, 1] True"


def test_docstring_examples_run():
    import doctest

    assert doctest.testmod(rigidity).failed == 0
