"""gram_from_dist and reconstruct against NumPy, SciPy and scikit-learn."""

import numpy as np

import tarvel
from harness import Comparison, compare, median_seconds


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


def run():
    dist = distances(2000)
    gram = compare(
        "gram_from_dist n=2000", lambda: tarvel.gram_from_dist(dist), "NumPy one-liner", lambda: numpy_gram(dist),
        goal=">= 2x faster (ratio <= 0.5)",
    )
    yield gram
    yield compare(
        "reconstruct n=2000", lambda: tarvel.reconstruct(dist, 2), "gram_from_dist n=2000",
        lambda: tarvel.gram_from_dist(dist), goal="<= 3x", repeat=5,
    )
    mds_table()
