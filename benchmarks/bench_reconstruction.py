"""gram_from_dist and reconstruct against NumPy, SciPy and scikit-learn, and reconstruct
against gram_from_dist at n = 2000 in three states of memory:

- repeated calls in one process: each call's buffers come from memory the previous one
  freed, already mapped;
- fresh memory: a process whose allocator maps every large buffer anew
  (MALLOC_MMAP_THRESHOLD_ fixed at 128 KiB), so that every call first-touches its pages;
- the first call of a process (after calls on tiny inputs), one call per process.

The page faults of the last two states are printed beneath the table rows.
"""

import json
import os
import statistics
import subprocess
import sys
import textwrap

import numpy as np

import tarvel
from harness import Comparison, compare, median_seconds

RATIO_N = 2000
RATIO_GOAL = "<= 3x"


def distances(n, d=2, seed=0):
    points = np.random.default_rng(seed).random((n, d))
    return np.sqrt(((points[:, None, :] - points[None, :, :]) ** 2).sum(-1))


def numpy_gram(dist):
    squared = dist * dist
    r = squared.mean(axis=1)
    g = r.mean()
    return -0.5 * (squared - r[:, None] - r[None, :] + g)


def stress_of(coords, dist):
    recovered = np.sqrt(((coords[:, None, :] - coords[None, :, :]) ** 2).sum(-1))
    upper = np.triu_indices(len(dist), 1)
    return float(np.sqrt(((dist[upper] - recovered[upper]) ** 2).sum() / (dist[upper] ** 2).sum()))


def eigh_mds(dist, d):
    from scipy.linalg import eigh

    n = len(dist)
    values, vectors = eigh(numpy_gram(dist), subset_by_index=[n - d, n - 1])
    order = np.argsort(values)[::-1]
    return vectors[:, order] * np.sqrt(np.maximum(values[order], 0.0))


def sklearn_mds(dist, d):
    """Metric SMACOF from scikit-learn, started at random (its long-standing default)."""
    import warnings

    from sklearn.manifold import MDS

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:  # scikit-learn >= 1.8 names the options differently
            model = MDS(n_components=d, metric="precomputed", metric_mds=True, init="random", random_state=0, n_init=1)
        except TypeError:
            model = MDS(n_components=d, dissimilarity="precomputed", random_state=0, n_init=1)
        return model.fit_transform(dist)


def mds_table():
    """Time and stress of each method, printed as its own table."""
    try:
        import sklearn  # noqa: F401
    except ImportError:
        sklearn_available = False
    else:
        sklearn_available = True
    print("\nclassical MDS on exact distances of random points in the plane")
    print(f"{'n':>6} {'method':<26} {'median':>10} {'stress':>12}")
    for n in (50, 200, 1000):
        dist = distances(n, seed=n)
        methods = {
            "tarvel.reconstruct": lambda: tarvel.reconstruct(dist, 2)["coords"],
            "scipy eigh (top 2)": lambda: eigh_mds(dist, 2),
        }
        if sklearn_available and n <= 200:
            methods["sklearn MDS (SMACOF)"] = lambda: sklearn_mds(dist, 2)
        for name, method in methods.items():
            seconds = median_seconds(method, repeat=3)
            print(f"{n:>6} {name:<26} {seconds * 1e3:>8.3g} ms {stress_of(method(), dist):>12.3g}")
    print()


# Runs in a child process: times reconstruct and gram_from_dist on the same distances,
# alternately (`rounds` each) or once (`rounds` = 0: the process's first call of the one
# named in `first`), and prints the times and each call's page faults as JSON.
CHILD = """
import json, resource, sys, time
import numpy as np
import tarvel

n, rounds, first = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
points = np.random.default_rng(0).random((n, 2))
dist = np.sqrt(((points[:, None, :] - points[None, :, :]) ** 2).sum(-1))
calls = {"reconstruct": lambda: tarvel.reconstruct(dist, 2), "gram_from_dist": lambda: tarvel.gram_from_dist(dist)}
tiny = np.array([[0.0, 3.0, 4.0], [3.0, 0.0, 5.0], [4.0, 5.0, 0.0]])
tarvel.reconstruct(tiny, 2), tarvel.gram_from_dist(tiny)  # NumPy's table loaded, nothing large allocated

def seconds_and_faults(name):
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.perf_counter()
    calls[name]()
    elapsed = time.perf_counter() - start
    return elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults

if rounds == 0:
    print(json.dumps({first: [seconds_and_faults(first)]}))
else:
    times = {"reconstruct": [], "gram_from_dist": []}
    seconds_and_faults("reconstruct"), seconds_and_faults("gram_from_dist")
    for _ in range(rounds):
        for name in times:
            times[name].append(seconds_and_faults(name))
    print(json.dumps(times))
"""


def child_calls(rounds, first="reconstruct", env=None):
    """{name: [(seconds, page faults), ...]} of the calls timed in one child process."""
    command = [sys.executable, "-c", textwrap.dedent(CHILD), str(RATIO_N), str(rounds), first]
    output = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def ratio_row(state, reconstruct_calls, gram_calls):
    return Comparison(
        f"reconstruct n={RATIO_N}, {state}", statistics.median(s for s, _ in reconstruct_calls),
        f"gram_from_dist, {state}", statistics.median(s for s, _ in gram_calls), goal=RATIO_GOAL,
    )


def faults_note(state, reconstruct_calls, gram_calls):
    median_faults = {name: statistics.median(f for _, f in calls)
                     for name, calls in (("reconstruct", reconstruct_calls), ("gram_from_dist", gram_calls))}
    return f"  page faults per call, {state}: " + ", ".join(f"{k} {v:.0f}" for k, v in median_faults.items())


def fresh_memory_calls(rounds=7):
    """Both calls on pages never touched before: every large buffer is a new mapping."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_=str(128 * 1024))
    calls = child_calls(rounds, env=env)
    return calls["reconstruct"], calls["gram_from_dist"]


def first_calls(processes=5):
    """The first large call of a process, alternating between the two functions."""
    reconstruct_calls, gram_calls = [], []
    for _ in range(processes):
        reconstruct_calls += child_calls(0, "reconstruct")["reconstruct"]
        gram_calls += child_calls(0, "gram_from_dist")["gram_from_dist"]
    return reconstruct_calls, gram_calls


def run():
    dist = distances(RATIO_N)
    yield compare(
        f"gram_from_dist n={RATIO_N}", lambda: tarvel.gram_from_dist(dist), "NumPy one-liner",
        lambda: numpy_gram(dist), goal=">= 2x faster (ratio <= 0.5)",
    )
    yield compare(
        f"reconstruct n={RATIO_N}, repeated calls", lambda: tarvel.reconstruct(dist, 2),
        "gram_from_dist, repeated calls", lambda: tarvel.gram_from_dist(dist), goal=RATIO_GOAL, repeat=9,
    )
    notes = []
    for state, calls in (("fresh memory", fresh_memory_calls()), ("first call", first_calls())):
        yield ratio_row(state, *calls)
        notes.append(faults_note(state, *calls))
    print("\n".join(notes))
    mds_table()
