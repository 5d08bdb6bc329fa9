"""Seeded graph models: reproducible, cut into pieces freely, labelled like tarvel_tools.rigidity."""

import hashlib

import numpy as np
import pytest

from tarvel_tools import rigidity
from tarvel_tools.models import GRAPH_MODELS, POINT_MODELS, generate_graph_batch, model_parameters
from tarvel_tools.dataset import summarize

# One parameter set per graph model, near the threshold of rigidity at n = 12.
MODELS = {
    "gnm": {"m": 21},
    "gnp": {"p": 0.3},
    "geometric": {"radius": 0.45},
    "knn": {"k": 3},
    "henneberg": {},
    "near-threshold": {},
}
POINTS = {"box": {}, "grid": {}, "lines": {"n_lines": 2}, "circles": {"n_circles": 2}, "clusters": {"cluster_radius": 0.2}}


def assert_same_graphs(got, expected):
    assert len(got) == len(expected)
    for one, other in zip(got, expected, strict=True):
        assert one.keys() == other.keys()
        for key, value in one.items():
            if key == "components":
                assert value == other[key]
            elif isinstance(value, np.ndarray):
                assert value.dtype == other[key].dtype and value.tobytes() == other[key].tobytes(), key
            else:
                assert value == other[key], key


@pytest.mark.parametrize("model", list(MODELS))
@pytest.mark.parametrize("d", [2, 3])
def test_pieces_of_a_batch_equal_one_call(model, d):
    seed = 2**64 - 5  # the graph seeds wrap around
    whole = generate_graph_batch(model, 12, 12, d, seed, **MODELS[model])
    for first, last in [(0, 5), (5, 11), (11, 12)]:
        piece = generate_graph_batch(model, last - first, 12, d, (seed + first) % 2**64, **MODELS[model])
        assert_same_graphs(piece, whole[first:last])
    assert_same_graphs(generate_graph_batch(model, 1, 12, d, (seed + 7) % 2**64, **MODELS[model]), whole[7:8])


def test_graphs_differ_from_seed_to_seed_and_positions_follow_the_point_model_only():
    batch = generate_graph_batch("near-threshold", 50, 12, 2, 0, points="lines")
    assert len({graph["edges"].tobytes() for graph in batch}) == 50
    knn = generate_graph_batch("knn", 50, 12, 2, 0, points="lines", k=3)
    assert all(a["positions"].tobytes() == b["positions"].tobytes() for a, b in zip(batch, knn, strict=True))


@pytest.mark.parametrize("points", list(POINTS))
@pytest.mark.parametrize("model", list(MODELS))
def test_labels_agree_with_the_rigidity_functions(model, points):
    params = {**MODELS[model], **POINTS[points]}
    for d in (2, 3):
        methods = ("numeric", "generic", "pebble") if d == 2 else ("numeric", "generic")
        for method in methods:
            for graph in generate_graph_batch(model, 6, 12, d, 99, labels=method, points=points, **params):
                n, edges = len(graph["positions"]), graph["edges"]
                if method == "numeric":
                    expected = rigidity.label_bars(graph["positions"], edges)
                elif method == "generic":
                    expected = rigidity.generic_labels(n, edges, d=d)
                else:
                    expected = rigidity.pebble_game(n, edges)
                assert graph["labels"].tolist() == expected["labels"].tolist()
                assert graph["rank"] == int(expected["labels"].sum())
                assert graph["is_rigid"] == expected["is_rigid"]
                assert graph["dof"] == graph["max_rank"] - graph["rank"]
                components = rigidity.rigid_components(n, edges, d=d)
                assert graph["components"] == components
                if d == 2:
                    game = rigidity.pebble_game(n, edges)
                    assert graph["edge_component"].tolist() == game["edge_component"].tolist()
                else:  # the first component holding both ends
                    holding = [next(c for c, nodes in enumerate(components) if {i, j} <= set(nodes)) for i, j in edges]
                    assert graph["edge_component"].tolist() == holding


# (model, parameter, increasing values): more bars, more rigid graphs.
MONOTONE = [
    ("near-threshold", "extra_bars", [0, 1, 2, 4]),
    ("near-threshold", "removed_bars", [4, 2, 1]),
    ("gnm", "m", [15, 21, 27]),
    ("gnp", "p", [0.2, 0.35, 0.5]),
    ("geometric", "radius", [0.3, 0.45, 0.6]),
    ("knn", "k", [2, 3, 5]),
]


@pytest.mark.parametrize("model, name, values", MONOTONE)
def test_the_main_parameter_moves_the_rigid_fraction_as_documented(model, name, values):
    fractions = [
        summarize(generate_graph_batch(model, 300, 12, 2, 5, labels="generic", **{name: value})).rigid_fraction
        for value in values
    ]
    assert fractions == sorted(fractions) and fractions[0] < fractions[-1], fractions


def test_the_default_model_varies_as_promised():
    summary = summarize(generate_graph_batch("near-threshold", 10_000, 12, 2, 2024))
    assert 0.3 <= summary.rigid_fraction <= 0.7
    assert summary.distinct_label_vectors >= 9_000


def test_summary_counts_by_hand():
    square = {"edges": np.array([[0, 1], [1, 2], [2, 3], [0, 3], [0, 2], [1, 3]]), "labels": np.uint8([1, 1, 1, 1, 1, 0]),
              "rank": 5, "max_rank": 5, "is_rigid": True}
    path = {"edges": np.array([[0, 1], [1, 2]]), "labels": np.uint8([1, 1]), "rank": 2, "max_rank": 5, "is_rigid": False}
    summary = summarize([square, path, path, {**path, "edges": path["edges"][::-1]}])
    assert (summary.graphs, summary.rigid_fraction) == (4, 0.25)
    assert summary.independent_share_mean == pytest.approx((5 / 6 + 3) / 4)
    assert summary.independent_share_std == pytest.approx(np.std([5 / 6, 1, 1, 1]))
    assert (summary.distinct_label_vectors, summary.distinct_label_patterns) == (3, 2)
    assert summary.dof_histogram == {0: 1, 3: 3}
    assert "rigid fraction" in str(summary) and "0.250" in str(summary)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: model_parameters("gnm", 10, 2), ValueError, "model 'gnm' needs the parameter m \\(number of bars"),
        (lambda: model_parameters("gnm", 10, 2, m=46), ValueError, r"m must be in \[0, 45\], got 46"),
        (lambda: model_parameters("gnm", 10, 2, m=4.0), TypeError, "m must be an integer, got float"),
        (lambda: model_parameters("gnm", 10, 2, m=4, k=3), TypeError, r"takes no parameter k \(its parameters: m\)"),
        (lambda: model_parameters("knn", 10, 2, k=10), ValueError, r"k must be in \[1, 9\], got 10"),
        (lambda: model_parameters("gnp", 10, 2, p=float("nan")), ValueError, r"p must be in \[0.0, 1.0\]"),
        (lambda: model_parameters("geometric", 10, 2, radius=-1), ValueError, "radius must be in"),
        (lambda: model_parameters("near-threshold", 10, 2, removed_bars=18), ValueError, r"removed_bars must be in \[0, 17\]"),
        (lambda: model_parameters("near-threshold", 10, 2, extra_bars=31), ValueError, r"extra_bars must be in \[0, 30\]"),
        (lambda: model_parameters("henneberg", 10, 2, points="grid", grid_side=3), ValueError, "grid_side must give"),
        (lambda: model_parameters("henneberg", 10, 2, points="clusters", n_clusters=0), ValueError, "n_clusters must be in"),
        (lambda: model_parameters("henneberg", 10, 2, points="sphere"), ValueError, "points must be one of 'box'"),
        (lambda: model_parameters("laman", 10, 2), ValueError, "model must be one of 'gnm'"),
        (lambda: model_parameters("henneberg", 0, 2), ValueError, "n_nodes must be at least 1"),
        (lambda: model_parameters("henneberg", 10, 4), ValueError, "d must be 2 or 3"),
        (lambda: generate_graph_batch("henneberg", 1, 10, 3, 0, labels="pebble"), ValueError, "needs d = 2"),
        (lambda: generate_graph_batch("henneberg", 1, 10, 2, 0, labels="exact"), ValueError, "labels must be one of"),
        (lambda: generate_graph_batch("henneberg", 1, 10, 2, 2**64), ValueError, r"seed must lie in \[0, 2\*\*64\)"),
        (lambda: generate_graph_batch("henneberg", -1, 10, 2, 0), ValueError, "n_graphs must be at least 0"),
        (lambda: generate_graph_batch("henneberg", 2**62, 10, 2, 0), MemoryError, "needs at least .* beyond the address space"),
        (lambda: generate_graph_batch("gnm", 1, 2**40, 2, 0, m=5), MemoryError, r"needs at least 17.6 TB, more than the"),
        (lambda: generate_graph_batch("gnm", 10**12, 6, 2, 0, m=3), MemoryError, r"of 6 nodes needs at least 1.1 PB, more than"),
    ],
)
def test_bad_parameters_are_named(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_every_model_and_point_model_is_documented_with_its_parameters():
    resolved = model_parameters("near_threshold", 12, 3, points="clusters")
    assert resolved == {"model": "near-threshold", "points": "clusters", "removed_bars": 2, "extra_bars": 2,
                        "split_probability": 0.5, "n_clusters": 3, "cluster_radius": 0.1}
    import tarvel_tools.models as models

    for name, parameters in {**GRAPH_MODELS, **POINT_MODELS}.items():
        assert f'``"{name}"``' in models.__doc__
        for parameter in parameters:
            assert f"``{parameter.name}``" in models.__doc__


# Digests of the numeric labels of fixed batches at n = 20: the orthogonal test is
# deterministic (no fused operations, sums in a fixed order), so any change of its
# arithmetic, on any of its paths (peeling, small components, blocked reflections),
# shows here as a different digest.
LABEL_DIGESTS = [
    (2, "near-threshold", {}, "81a51d41fb5a59fd"),
    (2, "gnm", {"m": 40}, "fcd48fa6a87f8ccb"),
    (2, "gnp", {"p": 0.2}, "8da39f98f2a054b7"),
    (3, "near-threshold", {}, "956308961291e350"),
    (3, "gnm", {"m": 40}, "b34c0e75a5ed68bd"),
    (3, "gnp", {"p": 0.2}, "950f96e708b71673"),
]


@pytest.mark.parametrize(("d", "model", "params", "digest"), LABEL_DIGESTS)
def test_numeric_labels_of_fixed_batches_never_change(d, model, params, digest):
    labels = hashlib.sha256()
    for graph in generate_graph_batch(model, 300, 20, d, 2026, **params):
        labels.update(graph["labels"].tobytes())
    assert labels.hexdigest()[:16] == digest


@pytest.mark.parametrize(("d", "n", "rank", "digest"), [(2, 300, 569, "4b66f2ce151403dc"), (3, 200, 577, "48992260b6020f9f")])
def test_numeric_labels_of_a_large_core_never_change(d, n, rank, digest):
    """A sparse random graph whose core has hundreds of rows: many blocks and groups of reflections."""
    rng = np.random.default_rng(d)
    m = int(1.1 * d * n)
    edges = rng.integers(0, n, (2 * m, 2))
    edges = edges[edges[:, 0] != edges[:, 1]][:m]
    result = rigidity.label_bars(rng.uniform(0, 1, (n, d)), edges)
    assert result["rank"] == rank
    assert hashlib.sha256(result["labels"].tobytes()).hexdigest()[:16] == digest
