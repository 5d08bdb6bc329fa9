"""A tour of tarvel on built-in data: run with `make demo`."""

import time
from pathlib import Path

import numpy as np

import tarvel
from tarvel_tools import batch_positions, procrustes_rmse, to_graph_arrays

OUTPUT_DIR = Path("demo-output")


def section(title):
    print(f"\n== {title}")


def show_simulation(name, coords, d):
    result = tarvel.simulate(np.array(coords, dtype=float), d)
    print(f"{name}: labels {result['labels'].tolist()}")
    print(f"  accepted {result['accepted_edges']}")
    print(f"  rank {result['final_rank']} of {result['max_rank']}, rigid: {result['is_rigid']}")


def main():
    section("Largest number of independent bars, n*d - d(d+1)/2")
    for n, d in [(4, 2), (10, 2), (10, 3)]:
        print(f"max_independent({n}, {d}) = {tarvel.max_independent(n, d)}")

    section("Labelling every bar of the complete graph by a rank test")
    show_simulation("unit square", [[0, 0], [1, 0], [1, 1], [0, 1]], 2)
    show_simulation("three collinear points", [[0, 0], [1, 0], [2, 0]], 2)
    show_simulation("collinear triple plus two", [[0, 0], [1, 0], [2, 0], [0, 1], [1, 1]], 2)
    show_simulation("four coplanar points in space", [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], 3)

    section("A training batch for a graph neural network")
    n_graphs, n_nodes = 5000, 12
    start = time.perf_counter()
    batch = tarvel.generate_training_batch(n_graphs, n_nodes, 2, 2024)
    elapsed = time.perf_counter() - start
    rigid = sum(graph["is_rigid"] for graph in batch)
    print(f"{n_graphs} graphs of {n_nodes} nodes in {elapsed * 1e3:.1f} ms ({n_graphs / elapsed:,.0f} graphs/s)")
    labels = batch[0]['labels']
    print(f"  {rigid} rigid; graph 0: {int(labels.sum())} independent bars of {len(labels)}, first ten {labels[:10].tolist()}")

    section("Node positions of a batch, recomputed from its seed")
    positions = batch_positions(n_graphs, n_nodes, 2, 2024)
    again = tarvel.simulate(positions[0], 2)
    same = all(np.array_equal(again[key], batch[0][key]) for key in batch[0])
    print(f"positions {positions.shape}; simulate(positions[0]) reproduces graph 0: {same}")
    arrays = to_graph_arrays(batch[0], positions[0])
    print("  as graph-learning arrays: " + ", ".join(f"{name} {array.shape}" for name, array in arrays.items()))

    section("The (2,3) pebble game, no coordinates needed")
    for n in (4, 6):
        game = tarvel.pebble_game(np.zeros((n, 2)), 2)
        print(f"K_{n}: {int(game['labels'].sum())} independent bars of {len(game['labels'])}")
    start = time.perf_counter()
    game = tarvel.pebble_game(np.zeros((3000, 2)), 2)
    elapsed = time.perf_counter() - start
    print(f"K_3000: {len(game['accepted_edges'])} independent of {len(game['labels']):,} bars in {elapsed * 1e3:.1f} ms")

    section("Reconstructing a framework from its distances")
    graph = batch[0]
    print("Gram matrix of a 3-4-5 triangle:")
    print(tarvel.gram_from_dist(np.array([[0.0, 3.0, 4.0], [3.0, 0.0, 5.0], [4.0, 5.0, 0.0]])))
    recovered = tarvel.reconstruct(graph["distance_matrix"], 2)
    rmse = procrustes_rmse(positions[0], recovered["coords"])
    print(f"batch graph 0: stress {recovered['stress']:.3g}, Procrustes RMSE {rmse:.3g}, isometric: {recovered['is_isometric']}")
    print(f"  leading eigenvalues {recovered['eigenvalues']}")
    noisy = graph["distance_matrix"] * np.random.default_rng(0).uniform(0.95, 1.05, graph["distance_matrix"].shape)
    noisy = (noisy + noisy.T) / 2
    np.fill_diagonal(noisy, 0.0)
    noisy_recovered = tarvel.reconstruct(noisy, 2)
    noisy_rmse = procrustes_rmse(positions[0], noisy_recovered["coords"])
    print(f"with 5% noise on the distances: stress {noisy_recovered['stress']:.3g}, Procrustes RMSE {noisy_rmse:.3g}")

    section("Pictures")
    draw_pictures(positions[0], noisy_recovered["coords"])


def draw_pictures(original, reconstructed):
    """Save a labelled framework and a reconstruction as PNGs, if matplotlib is there."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: pip install 'tarvel[plot]' to get pictures")
        return
    from tarvel_tools.plot import plot_framework, plot_reconstruction

    OUTPUT_DIR.mkdir(exist_ok=True)
    # Node 2 lies on the bar 0-1, so the bar 1-2 adds nothing and a later bar takes its place.
    coords = np.array([[0.0, 0.0], [4.0, 0.0], [2.0, 0.0], [0.6, 2.4], [3.3, 2.1], [2.0, 3.9], [1.6, 1.5]])
    ax = plot_framework(coords, tarvel.simulate(coords, 2), title="Seven nodes, 0, 2 and 1 on a line")
    save(plt, ax.figure, OUTPUT_DIR / "framework.png")

    ax = plot_reconstruction(original, reconstructed, title="Batch graph 0 from distances with 5% noise")
    save(plt, ax.figure, OUTPUT_DIR / "reconstruction.png")


def save(plt, figure, path):
    figure.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(figure)
    print(f"saved {path.resolve()}")


if __name__ == "__main__":
    main()
