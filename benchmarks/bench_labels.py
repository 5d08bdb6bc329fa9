"""The numeric labels of sparse graphs against one dense QR of the same rigidity matrix,
and model batches labelled by each arithmetic against the complete-graph training batch.

- `label_bars` on random graphs with n = 2000 (m = 2n in the plane, 3n in space) against
  `scipy.linalg.qr(R, mode="r")` of their dense rigidity matrix R: goal within 3x.
- near-threshold and gnm batches at n = 20 in the plane, numeric labels in the orthogonal
  and the simulate arithmetic, against `tarvel.generate_training_batch(N, 20, 2, seed)`
  per graph: goal within 1.5x and at least 30 000 graphs/s.
"""

import numpy as np
import scipy.linalg

import tarvel
from harness import compare
from tarvel_tools.models import generate_graph_batch
from tarvel_tools.rigidity import label_bars

N_SPARSE = 2000
N_GRAPHS = 20_000
N_NODES = 20


def rigidity_matrix(points, edges):
    n, d = points.shape
    rows = np.zeros((len(edges), n * d))
    index = np.arange(len(edges))
    for a in range(d):
        difference = points[edges[:, 0], a] - points[edges[:, 1], a]
        rows[index, edges[:, 0] * d + a] = difference
        rows[index, edges[:, 1] * d + a] = -difference
    return rows


def sparse_graph(n, d):
    rng = np.random.default_rng(1)
    m = d * n
    edges = rng.integers(0, n, (2 * m, 2))
    return rng.uniform(0, 1, (n, d)), edges[edges[:, 0] != edges[:, 1]][:m]


def run():
    for d in (2, 3):
        points, edges = sparse_graph(N_SPARSE, d)
        matrix = rigidity_matrix(points, edges)
        yield compare(
            f"label_bars, random graph n = {N_SPARSE}, m = {len(edges)}, d = {d}",
            lambda points=points, edges=edges: label_bars(points, edges),
            f"scipy.linalg.qr(R, mode='r') {matrix.shape[0]}x{matrix.shape[1]}",
            lambda matrix=matrix: scipy.linalg.qr(matrix, mode="r"),
            goal="<= 3x",
            repeat=1,
        )
    baseline = lambda: tarvel.generate_training_batch(N_GRAPHS, N_NODES, 2, 7)  # noqa: E731
    for model, params in (("near-threshold", {}), ("gnm", {"m": 40})):
        for arithmetic in ("orthogonal", "simulate"):
            comparison = compare(
                f"{model}, numeric labels, {arithmetic}",
                lambda model=model, params=params, arithmetic=arithmetic: generate_graph_batch(
                    model, N_GRAPHS, N_NODES, 2, 7, arithmetic=arithmetic, **params
                ),
                f"generate_training_batch, n = {N_NODES}",
                baseline,
                goal="<= 1.5x, >= 30 000 graphs/s",
                repeat=5,
            )
            comparison.name += f" ({N_GRAPHS / comparison.ours:,.0f}/s)"
            yield comparison
