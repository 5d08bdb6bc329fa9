"""Shapes from distances: classical_mds and realize against baselines timed in the same run.

    python benchmarks/bench_realization.py [--quick] [--sizes 1000,10000,100000] [--seeds 100]
        [--seeds-3d 100] [--baseline-3d 10] [--noise-seeds 50] [--sdp] [--only mds,plane,noise,space]

- classical_mds at n = 2000 against scipy.linalg.eigh(B, subset_by_index) on the
  double-centred matrix, tarvel.gram_from_dist on the same distances, and
  scikit-learn's MDS(metric="precomputed") (time and raw stress); n = 10000 timed.
- realize, exact lengths on random geometric graphs in the unit square (average
  degree about 12, each node also joined to its nearest neighbours so that no
  node hangs by fewer bars than the dimension; globally rigid ones where that is
  checked), at the given sizes: wall and processor time against one sparse LU of
  the bars' Laplacian of the same size, the growth of the peak resident memory
  per node + bar (in a fresh process, native factors included), and recovery
  (Procrustes RMSE <= 1e-8 relative); recovery rate at n = 1000 over the first
  --seeds (2-D) and --seeds-3d (3-D) seeds whose graphs are generically globally
  rigid, with the time per call, against the landmark-MDS start alone in the same run.
- realize with Gaussian noise (sigma = 1 % of the radius, average degree about 16,
  globally rigid instances) against the Cramér–Rao bound over seeds at n = 200,
  and one instance at n = 2000.
- 3-D at n = 1000 (and 10000 unless --quick).
- the semidefinite relaxation of sensor-network localisation (cvxpy) at n = 60 when
  --sdp is given and cvxpy is installed: accuracy and time ratio.

Baselines run single-threaded with the stock OpenBLAS kernel when the environment
allows it (see threadpoolctl's report at the top).
"""

from __future__ import annotations

import argparse
import contextlib
import time
import multiprocessing

import numpy as np
from scipy.spatial import cKDTree

import tarvel
from harness import compare, median_seconds
from tarvel_tools.checks import procrustes_rmse
from tarvel_tools.realization import classical_mds, localization_bound, realize
from tarvel_tools.rigidity import is_globally_rigid


def points_and_distances(n, d=2, seed=0):
    points = np.random.default_rng(seed).random((n, d))
    sq = np.sum(points**2, axis=1)
    dist = np.sqrt(np.maximum(sq[:, None] + sq[None, :] - 2 * points @ points.T, 0.0))
    np.fill_diagonal(dist, 0.0)
    dist = np.triu(dist, 1)
    return points, dist + dist.T


def geometric_graph(n, degree, d, seed, nearest_too=True, nearest=None):
    rng = np.random.default_rng(seed)
    points = rng.random((n, d))
    ball = np.pi if d == 2 else 4.0 / 3.0 * np.pi
    radius = (degree / (n * ball)) ** (1.0 / d)
    tree = cKDTree(points)
    pairs = tree.query_pairs(radius, output_type="ndarray")
    if not nearest_too:
        return points, pairs, radius
    k = d + 2 if nearest is None else nearest
    _, closest = tree.query(points, k + 1)
    extra = np.stack([np.repeat(np.arange(n), k), closest[:, 1:].ravel()], axis=1)
    edges = np.unique(np.sort(np.concatenate([pairs, extra]), axis=1), axis=0)
    return points, edges, radius


def lengths_of(points, edges):
    return np.linalg.norm(points[edges[:, 0]] - points[edges[:, 1]], axis=1)


def relative_rmse(points, positions):
    spread = np.sqrt(np.mean(np.sum((points - points.mean(axis=0)) ** 2, axis=1)))
    return procrustes_rmse(points, positions) / spread


def raw_stress(points, dist):
    sq = np.sum(points**2, axis=1)
    fitted = np.sqrt(np.maximum(sq[:, None] + sq[None, :] - 2 * points @ points.T, 0.0))
    return float(np.sum(np.triu(fitted - dist, 1) ** 2))


def mds_section(quick):
    from scipy.linalg import eigh

    print("\n== classical_mds (exact distances, d = 2) ==")
    _, dist = points_and_distances(2000)

    def scipy_eigh():
        squared = dist * dist
        centred = squared - squared.mean(0) - squared.mean(1)[:, None] + squared.mean()
        eigh(-0.5 * centred, subset_by_index=[1998, 1999])

    rows = [
        compare("classical_mds n=2000", lambda: classical_mds(dist), "scipy eigh(B, subset_by_index)", scipy_eigh,
                "<= 0.1x", repeat=3),
        compare("classical_mds n=2000", lambda: classical_mds(dist), "tarvel.gram_from_dist", lambda: tarvel.gram_from_dist(dist),
                "<= 10x", repeat=3),
    ]
    for row in rows:
        print(row.row())
    points, dist = points_and_distances(2000)
    result = classical_mds(dist)
    print(f"   n=2000: relative Procrustes RMSE {relative_rmse(points, result.coordinates):.2e}, "
          f"raw stress {raw_stress(result.coordinates, dist):.3g}, {result}")
    try:
        from sklearn.manifold import MDS

        start = time.perf_counter()
        smacof = MDS(n_components=2, dissimilarity="precomputed", random_state=0, n_init=1).fit(dist)
        smacof_seconds = time.perf_counter() - start
        ours = median_seconds(lambda: classical_mds(dist), repeat=3)
        print(f"   scikit-learn MDS(precomputed): {smacof_seconds:.3g} s, raw stress {smacof.stress_:.3g}; "
              f"ours {ours:.3g} s ({ours / smacof_seconds:.3g}x), raw stress {raw_stress(result.coordinates, dist):.3g}")
    except ImportError:
        print("   scikit-learn not installed: no SMACOF comparison")
    if not quick:
        points, dist = points_and_distances(10000)
        start = time.perf_counter()
        result = classical_mds(dist)
        seconds = time.perf_counter() - start
        gram = median_seconds(lambda: tarvel.gram_from_dist(dist), repeat=1, warmup=0)
        print(f"   n=10000: {seconds:.3g} s (gram_from_dist {gram:.3g} s, {seconds / gram:.3g}x), relative RMSE "
              f"{relative_rmse(points, result.coordinates):.2e}, {result}")


def timed_instance(n, d):
    """A globally rigid graph of the kind the goals name, where that can be checked in seconds.

    Large random geometric graphs of average degree 12 are rarely rigid (a few sparse spots
    suffice), so each node is also joined to its d + 4 nearest neighbours (the average degree
    stays about 12) and, in the plane up to n = 20 000, the first of ten seeds whose graph is
    globally rigid is taken.
    """
    for seed in range(10):
        points, edges, _ = geometric_graph(n, 12, d, seed, nearest=d + 4)
        if d != 2 or n > 20_000 or is_globally_rigid(n, edges):
            break
    return points, edges


def laplacian_factor_seconds(n, edges):
    """Wall and processor seconds of one sparse LU of the bars' Laplacian, grounded at node 0."""
    import scipy.sparse
    import scipy.sparse.linalg

    i, j = edges[:, 0], edges[:, 1]
    ones = np.ones(len(edges))
    laplacian = scipy.sparse.coo_matrix((np.concatenate([-ones, -ones, ones, ones]), (
        np.concatenate([i, j, i, j]), np.concatenate([j, i, i, j]))), shape=(n, n)).tocsc()[1:, 1:].tocsc()
    wall, cpu = time.perf_counter(), time.process_time()
    scipy.sparse.linalg.splu(laplacian, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0,
                             options={"SymmetricMode": True})
    return time.perf_counter() - wall, time.process_time() - cpu


def resident_growth(n, d):
    """Bytes by which realize raises the peak resident memory of a fresh process (native factors included)."""
    points, edges = timed_instance(n, d)
    lengths = lengths_of(points, edges)
    before = resident_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:  # the peak restarts from the present size
        refs.write("5")
    realize(n, edges, lengths, d)
    return (resident_kib("VmHWM") - before) * 1024


def resident_kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def realize_section(sizes, d, seeds, memory=True, baseline=None):
    print(f"\n== realize, exact lengths, d = {d} ==")
    for n in sizes:
        points, edges = timed_instance(n, d)
        lengths = lengths_of(points, edges)
        baseline_wall, baseline_cpu = laplacian_factor_seconds(n, edges)
        wall, cpu = time.perf_counter(), time.process_time()
        result = realize(n, edges, lengths, d)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        print(f"   n={n} m={len(edges)}: {wall:.3g} s ({cpu:.3g} s of processor time); one SuperLU of the bars' "
              f"Laplacian {baseline_wall:.3g} s ({baseline_cpu:.3g} s): {wall / baseline_wall:.3g}x "
              f"({cpu / baseline_cpu:.3g}x); relative RMSE {relative_rmse(points, result.positions):.2e}, "
              f"unique={result.unique}, trusted {int(result.trusted.sum())}/{n}")
        if memory:
            with multiprocessing.get_context("spawn").Pool(1) as pool:
                grown = pool.apply(resident_growth, (n, d))
            print(f"   n={n}: peak resident memory grows by {grown / 2**20:.0f} MiB in realize, "
                  f"{grown / (n + len(edges)):.0f} B per node+bar")
    if seeds:
        recovery_rate(d, seeds, baseline=baseline)


def landmark_only(n, edges, lengths, weights, d, rng, rough, solve):
    """The baseline start: landmark MDS alone, none of the exact part."""
    return rough()


def recovery_rate(d, wanted, n=1000, baseline=None):
    """Seeds in turn until `wanted` of them give generically globally rigid graphs (only these
    determine the shape); on each (the baseline on the first `baseline` of them, all by default),
    realize with its start and with the landmark-MDS start alone (the baseline, same run): the
    share realized to relative RMSE <= 1e-8, the time per call."""
    counts = {"ours": [0, [], []], "landmark start": [0, [], []]}
    rigid = seed = 0
    while rigid < wanted:
        points, edges, _ = geometric_graph(n, 12, d, seed)
        seed += 1
        if not is_globally_rigid(n, edges, d=d):
            continue
        rigid += 1
        for name, record in counts.items():
            if name != "ours" and baseline is not None and rigid > baseline:
                continue
            with start_replaced(landmark_only if name != "ours" else None):
                start = time.perf_counter()
                result = realize(n, edges, lengths_of(points, edges), d)
                record[1].append(time.perf_counter() - start)
            if relative_rmse(points, result.positions) <= 1e-8:
                record[0] += 1
            else:
                record[2].append(seed - 1)
    for name, (recovered, seconds, missed) in counts.items():
        tried = len(seconds)
        print(f"   recovery at n={n}, d={d}, {name}: {recovered} of {tried} globally rigid instances ({seed} seeds), "
              f"median {np.median(seconds):.3g} s per call, slowest {max(seconds):.3g} s; missed seeds {missed}")


@contextlib.contextmanager
def start_replaced(replacement):
    from tarvel_tools import _start

    original = _start.start
    if replacement is not None:
        _start.start = replacement
    try:
        yield
    finally:
        _start.start = original


def noisy_section(seeds, large):
    print("\n== realize, Gaussian noise sigma = 1 % of the radius, against the Cramér–Rao bound ==")
    errors, bounds, used, seed = [], [], 0, 0
    while used < seeds:
        points, edges, radius = geometric_graph(200, 16, 2, 10_000 + seed, nearest_too=False)
        seed += 1
        if not is_globally_rigid(200, edges):
            continue
        used += 1
        sigma = 0.01 * radius
        noisy = np.abs(lengths_of(points, edges) + sigma * np.random.default_rng(seed).standard_normal(len(edges)))
        errors.append(procrustes_rmse(points, realize(200, edges, noisy).positions) ** 2)
        bounds.append(localization_bound(points, edges, sigma).rmse ** 2)
    ratio = np.sqrt(np.mean(errors)) / np.sqrt(np.mean(bounds))
    print(f"   n=200, {seeds} globally rigid instances: RMS error / RMS bound = {ratio:.3f} (goal <= 1.1)")
    if large:
        points, edges, radius = geometric_graph(2000, 16, 2, 77, nearest_too=False)
        sigma = 0.01 * radius
        noisy = np.abs(lengths_of(points, edges) + sigma * np.random.default_rng(1).standard_normal(len(edges)))
        result = realize(2000, edges, noisy)
        bound = localization_bound(points, edges, sigma)
        error = procrustes_rmse(points, result.positions)
        print(f"   n=2000: error {error:.3g}, bound {bound.rmse:.3g}, ratio {error / bound.rmse:.3f}, "
              f"unique={result.unique}, trusted {int(result.trusted.sum())}/2000")
        if not np.isfinite(bound.rmse):  # nodes with too few bars: compare on the trusted core
            core = np.flatnonzero(result.trusted)
            renumber = np.full(2000, -1)
            renumber[core] = np.arange(len(core))
            inside = renumber[edges[result.trusted[edges].all(axis=1)]]
            core_bound = localization_bound(points[core], inside, sigma)
            core_error = procrustes_rmse(points[core], result.positions[core])
            print(f"   n=2000, the {len(core)} trusted nodes: error {core_error:.3g}, bound {core_bound.rmse:.3g}, "
                  f"ratio {core_error / core_bound.rmse:.3f}")


def sdp_section():
    try:
        import cvxpy as cp
    except ImportError:
        print("\n== SDP peer: cvxpy not installed ==")
        return
    print("\n== semidefinite relaxation of localisation (cvxpy) at n = 60, exact and noisy lengths ==")
    points, edges, radius = geometric_graph(60, 12, 2, 5)
    for sigma in (0.0, 0.01 * radius):
        lengths = np.abs(lengths_of(points, edges) + sigma * np.random.default_rng(2).standard_normal(len(edges)))

        def sdp():
            gram = cp.Variable((60, 60), PSD=True)
            misfit = [cp.abs(gram[i, i] + gram[j, j] - 2 * gram[i, j] - length**2) for (i, j), length in
                      zip(edges, lengths)]
            cp.Problem(cp.Minimize(cp.sum(cp.hstack(misfit))), [cp.sum(gram, axis=0) == 0]).solve()
            values, vectors = np.linalg.eigh(gram.value)
            return vectors[:, -2:] * np.sqrt(np.maximum(values[-2:], 0))

        start = time.perf_counter()
        peer = sdp()
        peer_seconds = time.perf_counter() - start
        start = time.perf_counter()
        ours = realize(60, edges, lengths).positions
        ours_seconds = time.perf_counter() - start
        print(f"   sigma={sigma:.2g}: SDP RMSE {procrustes_rmse(points, peer):.3g} in {peer_seconds:.3g} s; "
              f"realize RMSE {procrustes_rmse(points, ours):.3g} in {ours_seconds:.3g} s "
              f"(time ratio {ours_seconds / peer_seconds:.3g}x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--sizes", default=None, help="realize sizes, comma-separated")
    parser.add_argument("--seeds", type=int, default=None, help="globally rigid instances of the 2-D recovery rate")
    parser.add_argument("--seeds-3d", type=int, default=None, help="globally rigid instances of the 3-D recovery rate")
    parser.add_argument("--baseline-3d", type=int, default=None,
                        help="run the 3-D recovery baseline on the first this many instances only (it is slow)")
    parser.add_argument("--noise-seeds", type=int, default=None, help="instances of the noisy comparison")
    parser.add_argument("--sdp", action="store_true", help="run the cvxpy peer")
    parser.add_argument("--only", default=None,
                        help="the sections to run, comma-separated, of: mds, plane, noise, space (default all)")
    args = parser.parse_args()
    wanted = set(args.only.split(",")) if args.only else {"mds", "plane", "noise", "space"}
    try:
        from threadpoolctl import threadpool_info, threadpool_limits

        threadpool_limits(1)
        print("BLAS:", [(info["internal_api"], info.get("architecture")) for info in threadpool_info()])
    except ImportError:
        pass
    sizes = [int(v) for v in args.sizes.split(",")] if args.sizes else ([1000] if args.quick else [1000, 10000, 100000])
    if "mds" in wanted:
        mds_section(args.quick)
    if "plane" in wanted:
        realize_section(sizes, 2, args.seeds if args.seeds is not None else (10 if args.quick else 100))
    if "noise" in wanted:
        noisy_section(args.noise_seeds if args.noise_seeds is not None else (10 if args.quick else 50), not args.quick)
    if "space" in wanted:
        realize_section(sizes if args.sizes else ([1000] if args.quick else [1000, 10000]), 3,
                        args.seeds_3d if args.seeds_3d is not None else (5 if args.quick else 100),
                        baseline=args.baseline_3d)
    if args.sdp:
        sdp_section()


if __name__ == "__main__":
    main()
