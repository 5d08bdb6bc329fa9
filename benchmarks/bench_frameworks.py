"""Frameworks at given positions (tarvel_tools.frameworks) against one factorisation of the same matrix.

The baseline is one sparse QR of the rigidity matrix with a fill-reducing
ordering and rank detection (SuiteSparseQR through the pyspqr wheel, a
benchmark-side dependency: ``pip install pyspqr``); where it is missing,
one dense LAPACK SVD of the same matrix (singular values only). Frameworks
are sparse: random points with random bars and random geometric frameworks
(bars between close points), m = 2n in the plane and m = 3.5n in space.
BLAS runs on one thread (set before NumPy loads): on a shared machine more
threads only contend.

With ``--orthonormal-baseline`` the QR also forms its own orthonormal bases
of the kernel (a QR of R transposed; ours is the flexes with the rigid
motions) and of the self-stresses (a QR of R): its Householder reflections
applied to the unit vectors past the rank it detects. The counts it finds
are printed beside ours.

Usage: ``python benchmarks/bench_frameworks.py [--sizes 500 1000 2000] [--orthonormal-baseline]``.
"""

import argparse
import contextlib
import io
import os
import time

for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np
import scipy.linalg
from scipy.spatial import cKDTree

from tarvel_tools import infinitesimal_flexes, rigidity_matrix, self_stresses

try:
    import pyspqr
except ImportError:
    pyspqr = None


def random_framework(rng, n, d, edges_per_node):
    points = rng.random((n, d))
    m = int(edges_per_node * n)
    drawn = np.sort(rng.integers(0, n, size=(3 * m, 2)), axis=1)
    drawn = drawn[drawn[:, 0] != drawn[:, 1]]
    _, first = np.unique(drawn, axis=0, return_index=True)
    return points, drawn[np.sort(first)][:m]


def geometric_framework(rng, n, d, degree):
    points = rng.random((n, d))
    volume = np.pi if d == 2 else 4 / 3 * np.pi
    radius = (degree / (n * volume)) ** (1 / d)
    return points, np.array(sorted(cKDTree(points).query_pairs(radius)), dtype=np.int64).reshape(-1, 2)


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


@contextlib.contextmanager
def quiet_stdout():
    """SuiteSparse prints its statistics on the C stdout: send them away."""
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def baseline(matrix):
    if pyspqr is not None:
        with quiet_stdout(), contextlib.redirect_stdout(io.StringIO()):
            pyspqr.qr(matrix.tocsc())
        return
    scipy.linalg.svd(matrix.toarray(), compute_uv=False, check_finite=False)


def baseline_left_null_basis(matrix):
    """The baseline's own orthonormal basis of the left null space: its Householder reflections
    applied to the unit vectors past the rank it detects."""
    with quiet_stdout(), contextlib.redirect_stdout(io.StringIO()):
        q, r, _ = pyspqr.qr(matrix.tocsc())
    rank = int(np.count_nonzero(r.getnnz(axis=1)))
    rows = matrix.shape[0]
    unit = np.zeros((rows, rows - rank))
    unit[np.arange(rank, rows), np.arange(rows - rank)] = 1.0
    return q @ unit


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[500, 1000, 2000])
    parser.add_argument(
        "--orthonormal-baseline",
        action="store_true",
        help="also time the sparse QR forming its own orthonormal flex and stress bases, and print its counts",
    )
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    name = "sparse QR (SuiteSparseQR)" if pyspqr is not None else "dense SVD, values only"
    print(f"baseline: one {name} of the same rigidity matrix, timed in the same run")
    print(f"{'framework':<22} {'n':>5} {'m':>6} {'flexes':>7} {'stresses':>8} {'flex s':>8} {'stress s':>8} {'base s':>8} {'flex/base':>9} {'stress/base':>11}")
    for n in args.sizes:
        cases = {
            "random plane m=2n": random_framework(rng, n, 2, 2.0),
            "random space m=3.5n": random_framework(rng, n, 3, 3.5),
            "geometric plane": geometric_framework(rng, n, 2, 4),
            "geometric space": geometric_framework(rng, n, 3, 7),
        }
        for label, (points, edges) in cases.items():
            matrix = rigidity_matrix(points, edges)
            base = min(seconds(lambda: baseline(matrix)) for _ in range(3))
            flexes = []
            stresses = []
            # Best of three, like the baseline: on a shared machine the minimum is the fair figure.
            flex_seconds = min(seconds(lambda: flexes.append(infinitesimal_flexes(points, edges))) for _ in range(3))
            stress_seconds = min(seconds(lambda: stresses.append(self_stresses(points, edges))) for _ in range(3))
            print(
                f"{label:<22} {n:>5} {len(edges):>6} {len(flexes[0]):>7} {len(stresses[0]):>8} "
                f"{flex_seconds:>8.3f} {stress_seconds:>8.3f} {base:>8.3f} {flex_seconds / base:>8.1f}x {stress_seconds / base:>10.1f}x",
                flush=True,
            )
            if args.orthonormal_baseline and pyspqr is not None:
                kernel = len(flexes[0]) + points.shape[1] * (points.shape[1] + 1) // 2
                for name, ours, transposed in (("kernel", kernel, True), ("stress", len(stresses[0]), False)):
                    bases = []
                    own = min(seconds(lambda: bases.append(baseline_left_null_basis(matrix.T if transposed else matrix))) for _ in range(3))
                    print(
                        f"{'':<22} the QR's own orthonormal {name} basis: {bases[0].shape[1]} vectors (ours {ours}) "
                        f"in {own:.3f} s, {own / base:.1f}x its factorisation of R",
                        flush=True,
                    )


if __name__ == "__main__":
    main()
