"""How often numeric labels contradict the generic rank, by arithmetic (run on demand).

Prints two tables: the share of random graphs (m = 1.15 x the rigid rank, box points)
whose numeric rank exceeds the generic rank, and the share of model graphs labelled
rigid though generically flexible. Both must be 0 for the orthogonal arithmetic.
"""

import sys

import numpy as np

from tarvel_tools.models import generate_graph_batch
from tarvel_tools.rigidity import generic_labels, label_bars

GRAPHS = 100


def rigid_rank(n, d):
    return n * d - d * (d + 1) // 2


def above_generic(n, d, arithmetic):
    above = 0
    for k in range(GRAPHS):
        rng = np.random.default_rng(1000 * n + k)
        m = int(rigid_rank(n, d) * 1.15)
        edges = rng.integers(0, n, (2 * m, 2))
        edges = edges[edges[:, 0] != edges[:, 1]][:m]
        points = rng.uniform(0, 1, (n, d))
        above += label_bars(points, edges, arithmetic=arithmetic)["rank"] > generic_labels(n, edges, d=d)["rank"]
    return above / GRAPHS


def false_rigid(model, n, d, arithmetic, graphs=GRAPHS, **params):
    numeric = generate_graph_batch(model, graphs, n, d, 5, arithmetic=arithmetic, **params)
    generic = generate_graph_batch(model, graphs, n, d, 5, labels="generic", **params)
    return sum(a["is_rigid"] and not b["is_rigid"] for a, b in zip(numeric, generic, strict=True)) / graphs


def main():
    print("share of ranks above the generic rank (m = 1.15 x rigid rank)")
    for d in (2, 3):
        for n in (30, 50, 100):
            shares = {a: above_generic(n, d, a) for a in ("orthogonal", "simulate")}
            print(f"  d = {d}, n = {n:>3}: orthogonal {shares['orthogonal']:.0%}, simulate {shares['simulate']:.0%}", flush=True)
    print("share of graphs labelled rigid that are generically flexible")
    cases = [("gnm", d, n, {"m": round(1.06 * rigid_rank(n, d))}) for d in (3, 2) for n in (30, 60, 120)]
    cases += [("near-threshold", 3, n, {}) for n in (30, 60, 120)]
    for model, d, n, params in cases:
        shares = {a: false_rigid(model, n, d, a, **params) for a in ("orthogonal", "simulate")}
        print(f"  {model} d = {d}, n = {n:>3}: orthogonal {shares['orthogonal']:.0%}, simulate {shares['simulate']:.0%}", flush=True)
    many = {a: false_rigid("near-threshold", 12, 2, a, graphs=5000) for a in ("orthogonal", "simulate")}
    print(f"  near-threshold d = 2, n = 12, 5000 graphs: orthogonal {many['orthogonal']:.2%}, simulate {many['simulate']:.2%}")


if __name__ == "__main__":
    sys.exit(main())
