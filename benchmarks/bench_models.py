"""Labelled model graphs against the complete-graph training batch of the same n, per graph.

The near-threshold model at n = 20 in the plane, with each way of labelling, against
`tarvel.generate_training_batch(N, 20, 2, seed)` timed alternately in the same run.
Goals: at least 20 000 labelled graphs per second on one core (50 us per graph), and
within 1.5x of the training batch per graph.
"""

import tarvel
from harness import compare
from tarvel_tools.models import generate_graph_batch

N_GRAPHS = 20_000
N_NODES = 20


def run():
    baseline = lambda: tarvel.generate_training_batch(N_GRAPHS, N_NODES, 2, 7)  # noqa: E731
    for labels in ("numeric", "generic", "pebble"):
        comparison = compare(
            f"near-threshold, {labels} labels, {N_GRAPHS} graphs",
            lambda labels=labels: generate_graph_batch("near-threshold", N_GRAPHS, N_NODES, 2, 7, labels=labels),
            f"generate_training_batch, n = {N_NODES}",
            baseline,
            goal="<= 1.5x, >= 20 000 graphs/s",
            repeat=5,
        )
        comparison.name += f" ({N_GRAPHS / comparison.ours:,.0f}/s)"
        yield comparison
