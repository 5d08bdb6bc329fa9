"""Six graphs of a dataset side by side: rigid components in colours, redundant bars dashed.

Run: ``python examples/model_gallery.py DATASET_DIR OUT.png``.  Six graphs are sampled
with a fixed seed, three rigid and three flexible where the dataset has them, and
each is titled rigid or flexible with its degrees of freedom.  Needs the ``plot`` and
``dataset`` extras; datasets of model graphs in the plane carry the components drawn.
"""

from __future__ import annotations

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from tarvel_tools.dataset import read_dataset, read_manifest  # noqa: E402
from tarvel_tools.plot import plot_rigid_components  # noqa: E402

SHOWN = 6


def sample(directory: str, seed: int = 0) -> list[tuple[int, dict]]:
    """Six (number, graph) pairs in a seeded order: three rigid and three flexible where there are enough."""
    n_graphs = read_manifest(directory).n_graphs
    order = np.random.default_rng(seed).permutation(n_graphs)[: 20 * SHOWN].tolist()
    wanted = set(order)
    found = {k: graph for k, graph in enumerate(read_dataset(directory)) if k in wanted}
    seeded = [(k, found[k]) for k in order]
    half = SHOWN // 2
    chosen = [item for item in seeded if item[1]["is_rigid"]][:half]
    chosen += [item for item in seeded if not item[1]["is_rigid"]][:half]
    taken = {k for k, _ in chosen}
    return chosen + [item for item in seeded if item[0] not in taken][: SHOWN - len(chosen)]


def main(directory: str, out: str) -> None:
    figure, axes = plt.subplots(2, 3, figsize=(15, 10))
    for ax, (number, graph) in zip(axes.flat, sample(directory), strict=False):
        plot_rigid_components(graph["positions"], graph["edges"], ax, result=graph, title=f"graph {number}", legend=False)
    figure.tight_layout()
    figure.savefig(out, dpi=72)
    print(f"six sampled graphs drawn in {out}")
    return figure


if __name__ == "__main__":
    main(*sys.argv[1:3])
