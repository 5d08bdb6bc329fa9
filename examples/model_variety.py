"""How each graph model's main parameter moves the rigid fraction: the README's table.

Run: ``python examples/model_variety.py [--graphs N] [--nodes n]``.  Prints a Markdown
table: per model and parameter value, the rigid fraction in the plane and in space,
and in the plane the independent-bar share (mean ± standard deviation) and the number
of distinct label vectors as bare 0/1 strings, each over N graphs (default 2000) of n
nodes (default 12), numeric labels.  (Counted with the bars they label, the label
vectors of every model but henneberg are all distinct.)
"""

from __future__ import annotations

import argparse

from tarvel_tools.models import generate_graph_batch
from tarvel_tools.dataset import summarize

# (model, parameter, values, fixed parameters)
SWEEPS = [
    ("near-threshold", "extra_bars", [0, 1, 2, 3, 4], {}),
    ("near-threshold", "removed_bars", [1, 2, 3, 4], {}),
    ("gnm", "m", [15, 21, 27, 33], {}),
    ("gnp", "p", [0.2, 0.3, 0.4, 0.5], {}),
    ("geometric", "radius", [0.3, 0.4, 0.5, 0.6], {}),
    ("knn", "k", [2, 3, 4, 5], {}),
    ("henneberg", "split_probability", [0.5], {}),
    ("near-threshold", "points", ["box", "grid", "lines", "circles", "clusters"], {}),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--graphs", type=int, default=2000)
    parser.add_argument("--nodes", type=int, default=12)
    args = parser.parse_args()
    print(f"{args.graphs} graphs of {args.nodes} nodes per row, numeric labels, seed 2024\n")
    print("| model | parameter | rigid fraction, d = 2 | d = 3 | independent share, d = 2 | 0/1 patterns, d = 2 |")
    print("|---|---|---|---|---|---|")
    for model, name, values, fixed in SWEEPS:
        for value in values:
            params = {**fixed, name: value}
            plane = summarize(generate_graph_batch(model, args.graphs, args.nodes, 2, 2024, **params))
            space = summarize(generate_graph_batch(model, args.graphs, args.nodes, 3, 2024, **params))
            share = f"{plane.independent_share_mean:.2f} ± {plane.independent_share_std:.2f}"
            cells = [model, f"{name} = {value}", f"{plane.rigid_fraction:.2f}", f"{space.rigid_fraction:.2f}", share]
            print("| " + " | ".join([*cells, str(plane.distinct_label_patterns)]) + " |")


if __name__ == "__main__":
    main()
