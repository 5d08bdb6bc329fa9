"""Draw a sensor-network-like graph with its rigid components in colours.

Nodes are random points in the unit square joined when closer than a radius,
as in network localisation: which parts of the network do the measured
distances pin down?  Writes docs/rigid-components.png (or the path given):

    python examples/rigid_components.py [output.png]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402

from tarvel_tools import is_globally_rigid, pebble_game  # noqa: E402
from tarvel_tools.plot import plot_rigid_components  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]


def geometric_graph(points, radius):
    """Every pair of points closer than `radius`, as an (m, 2) edge array."""
    i, j = np.triu_indices(len(points), k=1)
    close = np.linalg.norm(points[i] - points[j], axis=1) < radius
    return np.stack([i[close], j[close]], axis=1)


def main(output):
    points = np.random.default_rng(3).uniform(0, 1, (40, 2))
    edges = geometric_graph(points, 0.22)
    game = pebble_game(len(points), edges)
    sizes = sorted((len(c) for c in game["components"]), reverse=True)
    print(f"{len(points)} nodes, {len(edges)} bars: {len(sizes)} rigid components of sizes {sizes}, dof {game['dof']}")
    print(f"globally rigid: {is_globally_rigid(len(points), edges)}")
    ax = plot_rigid_components(points, edges, result=game, title="40 sensors, bars between those closer than 0.22")
    ax.figure.set_size_inches(6.5, 7.0)
    ax.figure.savefig(output, dpi=110, bbox_inches="tight")
    print(f"saved {output}")
    return ax.figure


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ROOT / "docs" / "rigid-components.png")
