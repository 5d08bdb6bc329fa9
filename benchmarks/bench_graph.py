"""Rigidity of any graph (tarvel_tools.rigidity) against peers and LAPACK baselines.

Random graphs are G(n, m) with m given as a multiple of n, repeats and
self-loops dropped; m = 2n lies just above the rigidity threshold of random
graphs in the plane (about 1.79n), where a giant rigid cluster appears.
"""

import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np

import tarvel
from bench_simulation import rigidity_matrix
from harness import Comparison, compare, median_seconds
from tarvel_tools import rigidity


def random_graph(rng, n, edges_per_node):
    """A simple random graph: distinct pairs, each once, in random order."""
    m = int(edges_per_node * n)
    drawn = rng.integers(0, n, size=(2 * m + 100, 2))
    drawn = np.sort(drawn[drawn[:, 0] != drawn[:, 1]], axis=1)
    _, first = np.unique(drawn, axis=0, return_index=True)
    return np.ascontiguousarray(drawn[np.sort(first)][:m])


def globally_rigid_graph(rng, n, extra):
    """K4 grown by 1-extensions (which keep global rigidity) to n nodes, plus `extra` random bars."""
    edges = {(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)}
    listed = sorted(edges)
    for w in range(4, n):
        u, v = listed.pop(int(rng.integers(len(listed))))
        edges.discard((u, v))
        x = int(rng.integers(w))
        while x in (u, v):
            x = int(rng.integers(w))
        for bar in ((u, w), (v, w), (x, w)):
            edges.add(bar)
            listed.append(bar)
    while extra:
        a, b = sorted(int(x) for x in rng.integers(0, n, 2))
        if a != b and (a, b) not in edges:
            edges.add((a, b))
            extra -= 1
    return np.array(sorted(edges), dtype=np.int64)


def four_regular_graph(rng, n):
    """A random simple 4-regular graph: two random Hamiltonian cycles sharing no bar."""

    def hamiltonian_cycle():
        order = rng.permutation(n)
        return np.sort(np.stack([order, np.roll(order, -1)], axis=1), axis=1)

    first = hamiltonian_cycle()
    while True:
        both = np.concatenate([first, hamiltonian_cycle()])
        if len(np.unique(both, axis=0)) == 2 * n:
            return np.ascontiguousarray(both, dtype=np.int64)


def large_global_rigidity():
    n = 100_000
    edges = four_regular_graph(np.random.default_rng(4), n)
    assert rigidity.is_globally_rigid(n, edges)  # random 4-regular graphs are, with high probability
    return compare(
        "is_globally_rigid n=1e5 4-regular (m=2n)",
        lambda: rigidity.is_globally_rigid(n, edges),
        "pebble_game, same graph",
        lambda: rigidity.pebble_game(n, edges),
        goal="<= 2 s",
        repeat=3,
    )


def lu_of(matrix):
    from scipy.linalg import LinAlgWarning, lu_factor

    def factor():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", LinAlgWarning)  # rigidity matrices of flexible graphs are singular
            return lu_factor(matrix, check_finite=False)

    return factor


def game_in_fresh_process(n, package_path=None):
    """(processor seconds, peak resident MB the game adds) of one pebble_game in a fresh process (Linux).

    `package_path` puts another build of the packages first on the path: a
    former build measured on the same graph in the same run.
    """
    script = textwrap.dedent(f"""
        import time
        import numpy as np
        from tarvel_tools import pebble_game

        def status(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(key))

        rng = np.random.default_rng(1)
        edges = rng.integers(0, {n}, size=(3 * {n}, 2))
        edges = np.ascontiguousarray(edges[edges[:, 0] != edges[:, 1]][:2 * {n}])
        pebble_game(10, edges[:0])
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak to the current resident size
        before = status("VmRSS:")
        start = time.process_time()
        pebble_game({n}, edges)
        print(time.process_time() - start, (status("VmHWM:") - before) / 1024)
    """)
    environment = dict(os.environ)
    if package_path:
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [package_path, environment.get("PYTHONPATH")]))
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, env=environment)
    except (OSError, subprocess.CalledProcessError):
        return float("nan"), float("nan")
    seconds, megabytes = done.stdout.split()
    return float(seconds), float(megabytes)


def large_game(n, repeat):
    """The game at rigidity-percolation scale: m = 2n uniform random edges, a giant rigid cluster.

    The name carries the processor time and peak memory of one call in a
    fresh process; with TARVEL_BENCH_FORMER naming a directory that holds a
    former build of the packages, a second row compares the processor time
    of the two builds on the same graph.
    """
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    rng = np.random.default_rng(1)
    edges = rng.integers(0, n, size=(3 * n, 2))
    edges = np.ascontiguousarray(edges[edges[:, 0] != edges[:, 1]][: 2 * n])

    def components_of_the_same_graph():  # a linear pass: the adjacency built and traversed
        adjacency = coo_matrix((np.ones(len(edges)), (edges[:, 0], edges[:, 1])), shape=(n, n)).tocsr()
        return connected_components(adjacency, directed=False)

    game = rigidity.pebble_game(n, edges)
    biggest = max(len(component) for component in game["components"])
    seconds, megabytes = game_in_fresh_process(n)
    yield compare(
        f"pebble_game n={n:.0e} m=2n (CPU {seconds:.3g} s, +{megabytes:.0f} MB peak, giant {biggest})",
        lambda: rigidity.pebble_game(n, edges),
        "scipy coo->csr + connected_components, same graph",
        components_of_the_same_graph,
        goal="<= 5 s at n=1e6",
        repeat=repeat,
    )
    former = os.environ.get("TARVEL_BENCH_FORMER")
    if former:
        former_seconds, former_megabytes = game_in_fresh_process(n, former)
        yield Comparison(
            f"  the same, CPU time (+{megabytes:.0f} MB peak)", seconds,
            f"former build, CPU (+{former_megabytes:.0f} MB peak)", former_seconds, "",
        )


def complete_graphs():
    for n in (100, 1000, 2000):
        edges = np.ascontiguousarray(np.stack(np.triu_indices(n, k=1), axis=1))
        zeros = np.zeros((n, 2))
        assert np.array_equal(rigidity.pebble_game(n, edges)["labels"], tarvel.pebble_game(zeros, 2)["labels"])
        yield compare(
            f"pebble_game K_{n} (edge list in)",
            lambda: rigidity.pebble_game(n, edges),
            "tarvel.pebble_game, same labels",
            lambda: tarvel.pebble_game(zeros, 2),
            goal="no slower (ratio <= 1)",
            repeat=5,
        )


def peer_comparisons():
    try:
        import networkx as nx
        from pyrigi import Graph
    except ImportError:
        print("(pyrigi or networkx not installed: `make bench` installs them)")
        return
    rng = np.random.default_rng(7)

    def against_peer(name, graphs, ours, theirs, same, goal):
        our_times, their_times, agree = [], [], 0
        for n, edges in graphs:
            peer_graph = Graph(nx.Graph(list(map(tuple, edges.tolist()))))
            peer_graph.add_nodes_from(range(n))
            result = {}
            their_times.append(median_seconds(lambda: result.update(theirs=theirs(peer_graph)), repeat=1, warmup=0))
            our_times.append(median_seconds(lambda: result.update(ours=ours(n, edges)), repeat=5))
            agree += same(result["ours"], result["theirs"])
        return Comparison(
            f"{name} ({agree}/{len(graphs)} agree)", float(np.median(our_times)), "pyrigi, same graphs",
            float(np.median(their_times)), goal,
        )

    def same_components(ours, theirs):
        def normal(components):
            return sorted(sorted(c) for c in components if len(c) >= 2)  # pyrigi adds isolated nodes

        return normal(ours) == normal(theirs)

    goal = ">= 1000x faster (ratio <= 0.001)"
    rigid_graphs = [(1000, random_graph(rng, 1000, 2.0)) for _ in range(3)]
    yield against_peer(
        "is_rigid n=1000 m=2n", rigid_graphs, rigidity.is_rigid,
        lambda g: g.is_rigid(dim=2, algorithm="sparsity"), lambda a, b: a == b, goal,
    )
    for n, count in ((100, 3), (200, 1)):
        graphs = [(n, random_graph(rng, n, 2.0)) for _ in range(count)]
        yield against_peer(
            f"rigid_components n={n} m=2n", graphs, rigidity.rigid_components,
            lambda g: g.rigid_components(dim=2, algorithm="pebble"), same_components, goal,
        )
    print("(pyrigi's rigid_components grows about as n^3: 210 s at n=400, about 50 min at n=1000; not run here)")
    yield against_peer(
        "is_globally_rigid n=100 m=2.5n", [(100, globally_rigid_graph(rng, 100, 50))], rigidity.is_globally_rigid,
        lambda g: g.is_globally_rigid(dim=2), lambda a, b: a == b, "",
    )


def numeric_baselines():
    rng = np.random.default_rng(3)
    n = 2000
    edges = random_graph(rng, n, 2.0)
    positions = rng.uniform(0, 1, (n, 2))
    yield compare(
        "label_bars n=2000 m=2n (sparse)",
        lambda: rigidity.label_bars(positions, edges),
        "lu_factor of its 4000 x 4000 rigidity matrix",
        lu_of(rigidity_matrix(positions, edges)),
        goal="<= 3x",
        repeat=3,
    )
    n = 1000
    edges = random_graph(rng, n, 3.0)
    yield compare(
        "generic_labels d=3 n=1000 m=3n",
        lambda: rigidity.generic_labels(n, edges, d=3),
        "lu_factor of a dense 3000 x 3000 float64",
        lu_of(rng.uniform(0, 1, (len(edges), 3 * n))),
        goal="<= 4x",
        repeat=3,
    )
    n = 2000
    edges = globally_rigid_graph(rng, n, n // 2)
    assert rigidity.is_globally_rigid(n, edges)
    yield compare(
        "is_globally_rigid n=2000 m=2.5n (rigid)",
        lambda: rigidity.is_globally_rigid(n, edges),
        "lu_factor of its 5000 x 4000 rigidity matrix",
        lu_of(rigidity_matrix(rng.uniform(0, 1, (n, 2)), edges)),
        goal="<= 5 s",
        repeat=3,
    )


def run():
    yield from large_game(100_000, repeat=3)
    yield from large_game(1_000_000, repeat=1)
    yield large_global_rigidity()
    yield from complete_graphs()
    yield from numeric_baselines()
    if os.environ.get("TARVEL_BENCH_SKIP_PEERS") is None:
        yield from peer_comparisons()
