"""pebble_game: O(n^2) scaling, and a comparison with the pebble game users already know."""

import numpy as np

import tarvel
from harness import Comparison, median_seconds


def scaling():
    small = median_seconds(lambda: tarvel.pebble_game(np.zeros((2000, 2)), 2), repeat=3)
    large = median_seconds(lambda: tarvel.pebble_game(np.zeros((4000, 2)), 2), repeat=3)
    return Comparison("pebble_game n=4000", large, "pebble_game n=2000", small, "<= 4.5x (O(n^2))")


def peer_comparisons():
    try:
        import networkx as nx
        from pyrigi import Graph
    except ImportError:
        print("(pyrigi not installed: `pip install pyrigi` to compare with its pebble game)")
        return
    for n in (50, 100, 200):
        ours_result = tarvel.pebble_game(np.zeros((n, 2)), 2)
        ours = median_seconds(lambda: tarvel.pebble_game(np.zeros((n, 2)), 2), repeat=5)
        graph = Graph(nx.complete_graph(n))
        verdict = {}

        def theirs():
            verdict["rigid"] = graph.is_rigid(dim=2, algorithm="sparsity")
            verdict["minimally_rigid"] = graph.is_min_rigid(dim=2, algorithm="sparsity")

        their_time = median_seconds(theirs, repeat=1, warmup=0)
        accepted = len(ours_result["accepted_edges"])
        rigid = accepted == 2 * n - 3
        agree = verdict["rigid"] == rigid and verdict["minimally_rigid"] == (rigid and accepted == n * (n - 1) // 2)
        yield Comparison(
            f"pebble_game K_{n} (verdicts agree: {agree})", ours, "pyrigi is_rigid + is_min_rigid", their_time,
            ">= 1000x faster at n=100 (ratio <= 0.001)",
        )


def run():
    yield scaling()
    yield from peer_comparisons()
