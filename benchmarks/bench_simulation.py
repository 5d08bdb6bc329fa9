"""simulate and generate_training_batch against NumPy/SciPy baselines, and the batch's memory."""

import json
import subprocess
import sys
import textwrap

import numpy as np

import tarvel
from bench_dataset import MemoryRow
from harness import Comparison, compare, median_seconds


def rigidity_matrix(coords, pairs):
    n, d = coords.shape
    rows = np.zeros((len(pairs), n * d))
    for r, (i, j) in enumerate(pairs):
        delta = coords[i] - coords[j]
        rows[r, i * d : i * d + d] = delta
        rows[r, j * d : j * d + d] = -delta
    return rows


def fast_path_pairs(n, d):
    return [(i, j) for i in range(d) for j in range(i + 1, n)]


def lapack_rank_baseline(coords, d):
    from scipy.linalg import lu_factor

    matrix = rigidity_matrix(coords, fast_path_pairs(len(coords), d))
    return lambda: lu_factor(matrix, check_finite=False)


def numpy_simulation(coords, d, tol=1e-9):
    """The per-graph algorithm with NumPy row operations: an honest baseline."""
    n = len(coords)
    max_rank = n * d - d * (d + 1) // 2
    basis = np.empty((0, n * d))
    pivots = []
    labels = []
    for i in range(n):
        for j in range(i + 1, n):
            if len(pivots) == max_rank:
                labels.append(0)
                continue
            row = np.zeros(n * d)
            delta = coords[i] - coords[j]
            row[i * d : i * d + d] = delta
            row[j * d : j * d + d] = -delta
            for k, p in enumerate(pivots):
                x = row[p]
                if abs(x) > tol:
                    row -= basis[k] * x
            nonzero = np.flatnonzero(np.abs(row) > tol)
            if nonzero.size == 0:
                labels.append(0)
                continue
            a = nonzero[0]
            row /= row[a]
            factors = basis[:, a].copy()
            factors[np.abs(factors) <= tol] = 0.0
            basis -= np.outer(factors, row)
            basis = np.vstack([basis, row])
            pivots.append(a)
            labels.append(1)
    return np.array(labels, dtype=np.uint8)


def numpy_nodes(seed, k, n, d):
    state = (seed + k) % 2**64
    values = []
    for _ in range(n * d):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        values.append((state >> 33) / 4294967295.0 * 10.0)
    return np.array(values).reshape(n, d)


def grid(width, height):
    return np.array([[x, y] for y in range(height) for x in range(width)], dtype=float)


def batch_comparison(n_graphs, n_nodes, baseline_graphs, goal):
    ours = median_seconds(lambda: tarvel.generate_training_batch(n_graphs, n_nodes, 2, 0), repeat=3) / n_graphs

    def baseline():
        for k in range(baseline_graphs):
            numpy_simulation(numpy_nodes(0, k, n_nodes, 2), 2)

    theirs = median_seconds(baseline, repeat=3) / baseline_graphs
    return Comparison(
        f"batch n={n_nodes}: {1 / ours:,.0f} graphs/s", ours, f"NumPy per-graph: {1 / theirs:,.0f}/s", theirs, goal
    )


# Two threads each simulating 300 points in space, against the same two calls
# in one thread: in a fresh process, and in one whose allocator has just seen
# large reconstruct and simulate calls (which raise glibc's mmap threshold, so
# that later buffers come from reused heap instead of fresh mappings). A round
# is `calls` calls a thread.
THREADS_CHILD = """
    import json, os, statistics, sys, threading, time
    import numpy as np
    import tarvel

    inputs = [np.random.default_rng(k).random((300, 3)) for k in range(2)]
    calls = int(sys.argv[2])

    def simulate_repeatedly(coords):
        for _ in range(calls):
            tarvel.simulate(coords, 3)

    def one_thread():
        for coords in inputs:
            simulate_repeatedly(coords)

    def two_threads():
        threads = [threading.Thread(target=simulate_repeatedly, args=(coords,)) for coords in inputs]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    if sys.argv[1] == "after":
        points = np.random.default_rng(9).random((2000, 2))
        tarvel.reconstruct(tarvel.simulate(points, 2)["distance_matrix"], 2)
        tarvel.simulate(np.random.default_rng(8).random((1000, 2)), 2)
    one_thread()
    two_threads()
    serial, parallel, serial_cpu, parallel_cpu = [], [], [], []
    for _ in range(7):
        for times, cpu, run in ((serial, serial_cpu, one_thread), (parallel, parallel_cpu, two_threads)):
            start, start_cpu = time.perf_counter(), time.process_time()
            run()
            times.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
    gains = [s / p for s, p in zip(serial, parallel)]
    print(json.dumps({"serial": statistics.median(serial), "parallel": statistics.median(parallel),
                      "gain": statistics.median(gains), "worst": min(gains), "load": os.getloadavg()[0],
                      "cpu": statistics.median(parallel_cpu) / statistics.median(serial_cpu)}))
"""


def threads_comparison(state, calls=1):
    """Median of 7 alternating rounds, in a fresh process. The load average says how busy the machine was. The
    CPU time of two threads against one is 1.0 when they cost each other nothing; other work on the machine (or
    its host) raises it too. Rounds of many calls a thread are less at the mercy of a moment's load."""
    command = [sys.executable, "-c", textwrap.dedent(THREADS_CHILD), state, str(calls)]
    measured = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    label = "fresh process" if state == "fresh" else "after large calls"
    if calls > 1:
        label += f", {calls} calls a thread"
    return Comparison(
        f"2 threads, {label}: gain {measured['gain']:.2f}x (worst {measured['worst']:.2f}x, "
        f"load {measured['load']:.1f}, CPU time {measured['cpu']:.2f}x)",
        measured["parallel"], f"{2 * calls} x simulate(300, d=3), one thread", measured["serial"],
        ">= 1.8x gain (ratio <= 0.56)",
    )


# The first call of a process pays for fresh pages; later calls may reuse
# memory the allocator kept.
FIRST_CALL_CHILD = """
    import json, statistics, sys, time
    import numpy as np
    import tarvel

    n, d = int(sys.argv[1]), int(sys.argv[2])
    coords = np.random.default_rng(0).random((n, d))
    times = []
    for _ in range(6):
        start = time.perf_counter()
        tarvel.simulate(coords, d)
        times.append(time.perf_counter() - start)
    print(json.dumps({"first": times[0], "later": statistics.median(times[1:])}))
"""


def first_call_comparison(n, d):
    command = [sys.executable, "-c", textwrap.dedent(FIRST_CALL_CHILD), str(n), str(d)]
    measured = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    return Comparison(
        f"simulate n={n} d={d}, first call of a process", measured["first"], "the later calls", measured["later"]
    )


# Peak resident memory of the call alone: the kernel's high-water mark is
# reset to the current size just before it (Linux's clear_refs).
PEAK_RSS = """
    def status_bytes(field):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))

    def reset_peak():
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return status_bytes("VmRSS:")

    def peak_rss():
        return status_bytes("VmHWM:")
"""

SIMULATE_MEMORY_CHILD = PEAK_RSS + """
    import json, sys
    import numpy as np
    import tarvel

    n, d = int(sys.argv[1]), int(sys.argv[2])
    coords = np.random.default_rng(0).random((n, d))
    tarvel.simulate(coords[: d + 2], d)  # NumPy's table loaded
    before = reset_peak()
    tarvel.simulate(coords, d)
    peak = peak_rss()
    print(json.dumps({"growth_mb": (peak - before) / 2**20}))
"""


def simulate_memory_row(n, d):
    """Peak RSS growth of one simulate call in a fresh process, against its n*d - d(d+1)/2 basis rows of n*d doubles."""
    command = [sys.executable, "-c", textwrap.dedent(SIMULATE_MEMORY_CHILD), str(n), str(d)]
    measured = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    basis_mb = tarvel.max_independent(n, d) * n * d * 8 / 2**20
    return MemoryRow(
        f"simulate(n={n}, d={d}) peak RSS growth", measured["growth_mb"], "its basis", basis_mb,
        "the basis and the labels",
    )


BATCH_MEMORY_CHILD = PEAK_RSS + """
    import json, sys
    import tarvel

    n_graphs, n_nodes = int(sys.argv[1]), int(sys.argv[2])
    tarvel.generate_training_batch(1, n_nodes, 2, 0)  # NumPy's table loaded, allocator warm
    before = reset_peak()
    batch = tarvel.generate_training_batch(n_graphs, n_nodes, 2, 0)
    peak = peak_rss()
    held = status_bytes("VmRSS:")
    arrays = sum(graph["labels"].nbytes + graph["distance_matrix"].nbytes for graph in batch)
    print(json.dumps({"growth_mb": (peak - before) / 2**20, "held_mb": (held - before) / 2**20,
                      "arrays_mb": arrays / 2**20}))
"""


def batch_memory_row(n_graphs, n_nodes):
    """Peak RSS growth of one batch call, in a fresh process, against the arrays it returns. The growth still
    held once the call has returned is the result with its Python objects; the rest of the peak was working set."""
    command = [sys.executable, "-c", textwrap.dedent(BATCH_MEMORY_CHILD), str(n_graphs), str(n_nodes)]
    measured = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    working_mb = max(measured["growth_mb"] - measured["held_mb"], 0.0)
    return MemoryRow(
        f"batch({n_graphs}, {n_nodes}, 2) peak RSS growth", measured["growth_mb"],
        "the arrays it returns", measured["arrays_mb"],
        f"the result (held after: {measured['held_mb']:.0f} MB) and one graph's working set ({working_mb:.0f} MB)",
    )


def run():
    rng = np.random.default_rng(0)
    for n, d in [(1000, 2), (300, 3)]:
        coords = rng.random((n, d))
        yield compare(
            f"simulate generic n={n} d={d}",
            lambda: tarvel.simulate(coords, d),
            "lu_factor of the fast-path rows",
            lapack_rank_baseline(coords, d),
            goal="<= 2x",
            repeat=7,
        )
    coords = grid(20, 10)
    yield compare(
        "simulate 20x10 grid (full pass)",
        lambda: tarvel.simulate(coords, 2),
        "lu_factor of the fast-path rows",
        lapack_rank_baseline(coords, 2),
        goal="<= 3x",
        repeat=21,  # a few ms each: more rounds keep the median steady on a busy machine
    )
    yield first_call_comparison(1000, 2)
    yield first_call_comparison(300, 3)
    yield batch_comparison(20000, 20, 100, ">= 50x faster (ratio <= 0.02)")
    yield batch_comparison(200, 200, 2, ">= 10x faster (ratio <= 0.1)")
    yield simulate_memory_row(3000, 3)
    for n_graphs, n_nodes in [(100, 500), (10_000, 20), (1_000_000, 12)]:
        yield batch_memory_row(n_graphs, n_nodes)
    for state in ("fresh", "after"):
        yield threads_comparison(state)
    yield threads_comparison("after", calls=10)
