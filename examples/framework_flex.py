"""Draw the double banana in space with its infinitesimal flex as arrows.

Two copies of K5 minus an edge share the two poles of the missing edge: 18
bars on 8 nodes, as many as a rigid framework in space needs, yet the two
bananas turn against each other about the axis through the poles. The flex
that `infinitesimal_flexes` finds is that hinge motion, and the redundant
count shows in `self_stresses`. Writes docs/framework-flex.png (or the path
given):

    python examples/framework_flex.py [output.png]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from tarvel_tools import infinitesimal_flexes, self_stresses  # noqa: E402
from tarvel_tools.frameworks import trivial_motions  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]


def double_banana():
    """Poles 0 and 1 on the z axis; a triangle of each banana on either side of it."""
    poles = [[0.0, 0.0, 1.4], [0.0, 0.0, -1.4]]
    angles = np.deg2rad([0.0, 120.0, 240.0])
    ring = np.column_stack([0.55 * np.cos(angles), 0.55 * np.sin(angles), 0.1 * np.array([1.0, -1.0, 0.4])])
    left, right = ring + [-1.1, 0.0, 0.0], ring[:, [0, 1, 2]] * [1, -1, -1] + [1.1, 0.0, 0.0]
    positions = np.vstack([poles, left, right])
    edges = [(p, b) for p in (0, 1) for b in (2, 3, 4)] + [(2, 3), (2, 4), (3, 4)]
    edges += [(p, b) for p in (0, 1) for b in (5, 6, 7)] + [(5, 6), (5, 7), (6, 7)]
    return positions, np.array(edges)


def held_still(positions, flex, nodes):
    """The flex plus the rigid motion that keeps ``nodes`` (a rigid part) still, scaled for drawing."""
    motions = trivial_motions(positions).reshape(len(positions), 3, -1)
    weights, *_ = np.linalg.lstsq(motions[nodes].reshape(3 * len(nodes), -1), -flex[nodes].ravel(), rcond=None)
    held = flex + motions @ weights
    return held / np.abs(held).max() * 0.6


def main(output):
    positions, edges = double_banana()
    flexes = infinitesimal_flexes(positions, edges)
    stresses = self_stresses(positions, edges)
    print(f"{len(positions)} nodes, {len(edges)} bars: {len(flexes)} flex, {len(stresses)} self-stress")
    flex = held_still(positions, flexes[0], [0, 1, 2, 3, 4])

    fig = plt.figure(figsize=(6.5, 6.0))
    ax = fig.add_subplot(projection="3d")
    for i, j in edges:
        ax.plot(*positions[[i, j]].T, color="0.35", linewidth=1.6)
    colours = ["black"] * 2 + ["tab:blue"] * 3 + ["tab:orange"] * 3
    assert np.abs(flex[:5]).max() < 1e-9  # the blue banana and the poles are one rigid body
    ax.scatter(*positions.T, s=45, c=colours, depthshade=False, zorder=3)
    ax.quiver(*positions.T, *flex.T, color="tab:red", linewidth=1.8, arrow_length_ratio=0.25)
    ax.set_title("The double banana: 18 bars on 8 nodes, yet it flexes\n(red: its infinitesimal flex, with the blue banana held still)")
    ax.set_box_aspect((1.6, 1.0, 1.3))
    ax.view_init(elev=18, azim=-60)
    ax.set_axis_off()
    fig.savefig(output, dpi=110, bbox_inches="tight")
    print(f"saved {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ROOT / "docs" / "framework-flex.png")
