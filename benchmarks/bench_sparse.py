"""Cost follows the graph, not n: the any-graph API on many nodes with few bars.

Each line times one call against a baseline on the same edges in the same
run: sorting the edge array (NumPy), the least any algorithm that reads the
bars in O(m log m) does, or the pebble game on the same graph. The peak
memory a call adds is measured in a fresh process.
"""

import subprocess
import sys
import textwrap

import numpy as np

from harness import compare
from tarvel_tools import rigidity

TRIANGLE = np.array([(0, 1), (1, 2), (0, 2)], dtype=np.int64)


def cycles(n, count, seed=7):
    """`count` random Hamiltonian cycles on n nodes: a 2 count-regular multigraph."""
    rng = np.random.default_rng(seed)
    rows = []
    for _ in range(count):
        order = rng.permutation(n)
        rows.append(np.stack([order, np.roll(order, 1)], axis=1))
    return np.ascontiguousarray(np.concatenate(rows), dtype=np.int64)


def simple_random_graph(n, m, seed=7):
    rng = np.random.default_rng(seed)
    drawn = rng.integers(0, n, size=(2 * m + 100, 2))
    drawn = np.sort(drawn[drawn[:, 0] != drawn[:, 1]], axis=1)
    _, first = np.unique(drawn, axis=0, return_index=True)
    return np.ascontiguousarray(drawn[np.sort(first)][:m])


def peak_megabytes(setup, call):
    """Peak resident memory that `call` adds after `setup`, in MB, in a fresh process (Linux)."""
    script = textwrap.dedent(f"""
        import numpy as np
        from tarvel_tools import rigidity
        import bench_sparse as b

        def status(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(key))

        {setup}
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak to the current resident size
        before = status("VmRSS:")
        {call}
        print(status("VmHWM:") - before)
    """)
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                              cwd=sys.path[0])
    except (OSError, subprocess.CalledProcessError):
        return float("nan")
    return int(done.stdout) / 1024


def run():
    sort_triangle = lambda: np.sort(TRIANGLE, axis=None)  # noqa: E731
    for n in (10**7, 10**9):
        mb = peak_megabytes("edges = b.TRIANGLE", f"rigidity.is_rigid({n}, edges)")
        yield compare(f"is_rigid(1e{len(str(n)) - 1}, 3 bars) (+{mb:.0f} MB)", lambda n=n: rigidity.is_rigid(n, TRIANGLE),
                      "sort of the 3 bars", sort_triangle, goal="<= 10 ms, <= 50 MB")
    mb = peak_megabytes("edges = b.TRIANGLE", f"rigidity.generic_labels({10**9}, edges, d=3)")
    yield compare(f"generic_labels(1e9, 3 bars, d=3) (+{mb:.0f} MB)",
                  lambda: rigidity.generic_labels(10**9, TRIANGLE, d=3), "sort of the 3 bars", sort_triangle)

    regular = cycles(10**5, 2)
    yield compare("is_rigid(4-regular 1e5, d=3): counts", lambda: rigidity.is_rigid(10**5, regular, d=3),
                  "sort of the 2e5 bars", lambda: np.sort(regular, axis=None), goal="<= 100 ms")
    try:
        import networkx as nx

        graph = nx.Graph(regular.tolist())
        yield compare("is_rigid(networkx 4-regular 1e5, d=3)", lambda: rigidity.is_rigid(graph, d=3),
                      "sort of the 2e5 bars", lambda: np.sort(regular, axis=None), goal="<= 100 ms", repeat=3)
    except ImportError:
        pass

    plane = simple_random_graph(10**5, 3 * 10**5)
    yield compare("generic_labels(plane 1e5, m=3n)", lambda: rigidity.generic_labels(10**5, plane, d=2),
                  "pebble_game, same graph", lambda: rigidity.pebble_game(10**5, plane), goal="about 1 s", repeat=3)

    # Three Hamiltonian cycles on n - 1 nodes and one node without bars: not rigid.
    flexible = cycles(19_999, 3)
    yield compare("is_redundantly_rigid(3 cycles + 1 isolated, 2e4)",
                  lambda: rigidity.is_redundantly_rigid(20_000, flexible), "is_rigid, same graph",
                  lambda: rigidity.is_rigid(20_000, flexible))
