"""The numeric labels of sparse graphs against one dense QR of the same rigidity matrix,
and model batches labelled by each arithmetic against the complete-graph training batch.

- `label_bars` on random graphs with n = 2000 (m = 2n in the plane, 3n in space) against
  `scipy.linalg.qr(R, mode="r")` of their dense rigidity matrix R: goal within 3x.
- the peak memory of `label_bars` on a random plane graph with n = 8000, m = 2n, in a fresh
  process, against the bytes of its dense rigidity matrix: goal 200 MB.
- near-threshold and gnm batches at n = 20 in the plane, numeric labels in the orthogonal
  and the simulate arithmetic, against `tarvel.generate_training_batch(N, 20, 2, seed)`
  per graph: goal within 1.5x and at least 30 000 graphs/s.
"""

import json
import subprocess
import sys
import textwrap

import numpy as np
import scipy.linalg

import tarvel
from bench_dataset import MemoryRow
from bench_simulation import PEAK_RSS
from harness import compare
from tarvel_tools.models import generate_graph_batch
from tarvel_tools.rigidity import label_bars

N_SPARSE = 2000
N_LARGE = 8000
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


LABELS_MEMORY_CHILD = PEAK_RSS + """
    import json, sys, time
    from bench_labels import sparse_graph
    from tarvel_tools.rigidity import label_bars

    points, edges = sparse_graph(int(sys.argv[1]), 2)
    label_bars(points[:4], [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)])  # the extension loaded
    before = reset_peak()
    start = time.perf_counter()
    label_bars(points, edges)
    seconds = time.perf_counter() - start
    print(json.dumps({"growth_mb": (peak_rss() - before) / 2**20, "seconds": seconds}))
"""


def labels_memory_row(n):
    """Peak RSS growth of one label_bars call on the plane graph of sparse_graph(n, 2), in a fresh process."""
    command = [sys.executable, "-c", textwrap.dedent(LABELS_MEMORY_CHILD), str(n)]
    measured = json.loads(subprocess.run(command, check=True, capture_output=True, text=True, cwd=sys.path[0]).stdout)
    dense_mb = (2 * n) * (2 * n) * 8 / 2**20
    return MemoryRow(
        f"label_bars n = {n}, m = 2n, plane, peak ({measured['seconds']:.0f} s)",
        measured["growth_mb"], "its dense rigidity matrix", dense_mb, "<= 200 MB",
    )


def run():
    yield labels_memory_row(N_LARGE)
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
