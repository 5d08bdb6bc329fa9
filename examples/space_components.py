"""Draw a graph in space with its generic rigid components in colours.

Nodes are random points in the unit cube joined when closer than a radius. In
space no counting decides rigidity; the components come from the closure in the
generic rigidity matroid (exact modulo a prime at random positions), and two of
them may share a hinge of two nodes. Writes docs/space-components.png (or the
path given):

    python examples/space_components.py [output.png]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402

from tarvel_tools import generic_labels, is_globally_rigid, rigid_components  # noqa: E402
from tarvel_tools.plot import plot_rigid_components  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]


def geometric_graph(points, radius):
    """Every pair of points closer than `radius`, as an (m, 2) edge array."""
    i, j = np.triu_indices(len(points), k=1)
    close = np.linalg.norm(points[i] - points[j], axis=1) < radius
    return np.stack([i[close], j[close]], axis=1)


def main(output):
    points = np.random.default_rng(5).uniform(0, 1, (30, 3))
    edges = geometric_graph(points, 0.42)
    n = len(points)
    components = rigid_components(n, edges, d=3)
    generic = generic_labels(n, edges, d=3)
    edge_component = [next(c for c, nodes in enumerate(components) if {i, j} <= set(nodes)) for i, j in edges]
    result = {**generic, "components": components, "edge_component": np.array(edge_component),
              "dof": generic["max_rank"] - generic["rank"]}  # fmt: skip
    sizes = sorted((len(c) for c in components), reverse=True)
    print(f"{n} nodes, {len(edges)} bars: {len(sizes)} rigid components of sizes {sizes}, dof {result['dof']}")
    print(f"globally rigid in space: {is_globally_rigid(n, edges, d=3)}")
    ax = plot_rigid_components(points, edges, result=result, title="30 points in the unit cube, bars shorter than 0.42")
    ax.figure.set_size_inches(6.5, 7.0)
    ax.figure.savefig(output, dpi=110, bbox_inches="tight")
    print(f"saved {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ROOT / "docs" / "space-components.png")
