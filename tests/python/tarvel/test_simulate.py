"""simulate: labels, ranks and the result dictionary, on exact and degenerate frameworks."""

import math
import threading
import warnings

import numpy as np
import pytest

import tarvel

KEYS = ["labels", "accepted_edges", "distance_matrix", "final_rank", "max_rank", "is_rigid", "n_nodes", "d"]


def pairs(n):
    return [(i, j) for i in range(n) for j in range(i + 1, n)]


def accepted_from(labels, n):
    return [pair for pair, label in zip(pairs(n), labels) if label]


CASES = [
    # coords, d, labels, final_rank, max_rank
    ([[0, 0], [1, 0], [1, 1], [0, 1]], 2, [1, 1, 1, 1, 1, 0], 5, 5),
    ([[0, 0], [1, 0], [2, 0]], 2, [1, 1, 0], 2, 3),
    ([[0, 0], [1, 0], [2, 0], [0, 1], [1, 1]], 2, [1, 1, 1, 1, 0, 1, 1, 1, 0, 0], 7, 7),
    ([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], 3, [1] * 6, 6, 6),
    ([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], 3, [1, 1, 1, 1, 1, 0], 5, 6),
    ([[0.3, 0.1], [2.0, 0.7], [1.1, 3.0], [4.2, 1.9], [0.5, 2.2]], 2, [1] * 7 + [0] * 3, 7, 7),
    ([[0, 0], [0, 0], [1, 1]], 2, [0, 1, 1], 2, 3),  # coincident nodes: their bar has a zero row
]


@pytest.mark.parametrize("coords, d, labels, final_rank, max_rank", CASES)
def test_known_frameworks(coords, d, labels, final_rank, max_rank):
    n = len(coords)
    result = tarvel.simulate(np.array(coords, dtype=float), d)
    assert list(result) == KEYS
    assert result["labels"].dtype == np.uint8 and result["labels"].tolist() == labels
    assert result["accepted_edges"] == accepted_from(labels, n)
    assert all(type(i) is int and type(j) is int for i, j in result["accepted_edges"])
    assert (result["final_rank"], result["max_rank"]) == (final_rank, max_rank)
    assert result["is_rigid"] is (final_rank == max_rank)
    assert (result["n_nodes"], result["d"]) == (n, d)


def test_unit_square_dictionary(unit_square):
    result = tarvel.simulate(unit_square, 2)
    distances = result["distance_matrix"]
    assert distances.dtype == np.float64 and distances.shape == (4, 4) and distances.flags.c_contiguous
    expected = np.array([[0, 1, math.sqrt(2), 1], [1, 0, 1, math.sqrt(2)], [math.sqrt(2), 1, 0, 1], [1, math.sqrt(2), 1, 0]])
    assert np.array_equal(distances, expected)


def test_result_arrays_are_writeable_and_independent(unit_square):
    first = tarvel.simulate(unit_square, 2)
    second = tarvel.simulate(unit_square, 2)
    first["labels"][:] = 7
    first["distance_matrix"][:] = -1.0
    assert second["labels"].tolist() == [1, 1, 1, 1, 1, 0]
    assert second["distance_matrix"][0, 1] == 1.0
    assert first["labels"].base is not None  # the holder that owns the buffer


def reference_labels(coords, d, tol):
    """The rank test in Python floats, dense and unoptimised: the reference."""
    n = len(coords)
    max_rank = n * d - d * (d + 1) // 2
    rows, pivots, labels = [], [], []
    for i, j in pairs(n):
        if len(rows) == max_rank:
            labels.append(0)
            continue
        row = [0.0] * (n * d)
        for k in range(d):
            delta = coords[i][k] - coords[j][k]
            row[i * d + k] = delta
            row[j * d + k] = -delta
        for basis, p in zip(rows, pivots):
            x = row[p]
            if abs(x) > tol:
                row = [r - b * x for r, b in zip(row, basis)]
        pivot = next((c for c, value in enumerate(row) if abs(value) > tol), None)
        if pivot is None:
            labels.append(0)
            continue
        e = row[pivot]
        row = [divide(value, e) for value in row]
        for k, basis in enumerate(rows):
            f = basis[pivot]
            if abs(f) > tol:
                rows[k] = [b - r * f for b, r in zip(basis, row)]
        rows.append(row)
        pivots.append(pivot)
        labels.append(1)
    return labels


def divide(x, y):
    """IEEE division, which Python refuses for a zero divisor."""
    return float(np.float64(x) / np.float64(y))


ODD_FRAMEWORKS = {
    "square": [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]],
    "collinear": [[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0], [1.0, 1.0]],
    "repeated": [[0.5, 0.5], [0.5, 0.5], [2.0, 1.0], [1.0, 3.0]],
    "nan": [[0.0, 0.0], [1.0, float("nan")], [2.0, 1.0], [0.0, 3.0]],
    "inf": [[0.0, 0.0], [float("inf"), 1.0], [2.0, 1.0], [0.0, 3.0]],
    "noisy-line": [[0.0, 0.0], [1.0, 1e-12], [2.0, -1e-12], [3.0, 0.0], [1.0, 2.0]],
}


@pytest.mark.parametrize("tol", [None, 0.0, 1e-15, 1e-3, -1.0, float("nan"), 1e300, 2, float("inf")])
@pytest.mark.parametrize("name", list(ODD_FRAMEWORKS))
def test_tolerance_is_used_as_given(name, tol):
    coords = ODD_FRAMEWORKS[name]
    with np.errstate(all="ignore"):
        expected = reference_labels(coords, 2, 1e-9 if tol is None else float(tol))
    result = tarvel.simulate(np.array(coords), 2, tol)
    assert result["labels"].tolist() == expected
    assert result["final_rank"] == sum(expected)
    assert result["accepted_edges"] == accepted_from(expected, len(coords))


def as_matrix(coords):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(coords)


def views_of(coords):
    """The same logical matrix in every memory layout NumPy can produce."""
    fortran = np.asfortranarray(coords)
    transposed = np.ascontiguousarray(coords.T).T
    reversed_rows = np.ascontiguousarray(coords[::-1])[::-1]
    strided = np.zeros((coords.shape[0] * 2, coords.shape[1] * 3))
    strided[::2, ::3] = coords
    readonly = coords.copy()
    readonly.flags.writeable = False
    return {
        "fortran": fortran,
        "transposed": transposed,
        "reversed": reversed_rows,
        "strided": strided[::2, ::3],
        "readonly": readonly,
        "matrix": as_matrix(coords),
    }


@pytest.mark.parametrize("layout", ["fortran", "transposed", "reversed", "strided", "readonly", "matrix"])
def test_every_layout_is_read_by_logical_index(layout):
    coords = np.random.default_rng(3).random((7, 2))
    coords[3] = coords[1]  # a repeated point makes the full pass run
    expected = tarvel.simulate(coords, 2)
    view = views_of(coords)[layout]
    before = np.array(view, copy=True)
    result = tarvel.simulate(view, 2)
    assert result["labels"].tolist() == expected["labels"].tolist()
    assert np.array_equal(result["distance_matrix"], expected["distance_matrix"])
    assert np.array_equal(np.asarray(view), before)  # never written


@pytest.mark.parametrize(
    "shape, d, message",
    [
        ((5, 3), 2, "coords has 3 columns but d=2 was specified"),
        ((5, 4), 4, "d must be 2 or 3"),
        ((5, 1), 1, "d must be 2 or 3"),
        ((2, 2), 2, "Need at least 3 nodes for d=2, got 2"),
        ((0, 3), 3, "Need at least 4 nodes for d=3, got 0"),
    ],
)
def test_input_checks(shape, d, message):
    with pytest.raises(ValueError) as caught:
        tarvel.simulate(np.zeros(shape), d)
    assert str(caught.value) == message


def test_keywords_and_defaults(unit_square):
    by_keyword = tarvel.simulate(coords=unit_square, d=2, tol=None)
    assert by_keyword["labels"].tolist() == tarvel.simulate(unit_square, 2, 1e-9)["labels"].tolist()


def grid(width, height):
    return np.array([[x, y] for y in range(height) for x in range(width)], dtype=float)


@pytest.mark.parametrize(
    "coords, d",
    [
        (grid(4, 3), 2),
        (np.array([[x, y, z] for x in range(2) for y in range(2) for z in range(3)], dtype=float), 3),
        (np.array([[0, 0], [1, 0], [np.nan, 2], [3, 1], [2, 2]], dtype=float), 2),
        (np.array([[0, 0], [np.inf, 0], [2, 1], [3, 1]], dtype=float), 2),
        (np.repeat(np.array([[0.5, 0.25], [1.0, 2.0]]), 3, axis=0), 2),
    ],
    ids=["grid", "grid-3d", "nan", "inf", "repeated"],
)
def test_degenerate_frameworks_are_consistent(coords, d):
    result = tarvel.simulate(coords, d)
    labels = result["labels"]
    assert labels.shape == (len(coords) * (len(coords) - 1) // 2,)
    assert int(labels.sum()) == result["final_rank"] == len(result["accepted_edges"])
    assert result["final_rank"] <= result["max_rank"]
    assert tarvel.simulate(coords, d)["labels"].tolist() == labels.tolist()  # deterministic


def test_grid_rank_matches_numpy():
    coords = grid(5, 4)
    result = tarvel.simulate(coords, 2)
    rows = []
    for i, j in result["accepted_edges"]:
        row = np.zeros(coords.size)
        row[2 * i : 2 * i + 2] = coords[i] - coords[j]
        row[2 * j : 2 * j + 2] = coords[j] - coords[i]
        rows.append(row)
    assert np.linalg.matrix_rank(np.array(rows)) == result["final_rank"] == result["max_rank"]


def test_threads_get_the_same_answers():
    coords = [np.random.default_rng(seed).random((60, 2)) for seed in range(4)]
    expected = [tarvel.simulate(c, 2)["labels"].tolist() for c in coords]
    results = [None] * 4

    def work(k):
        results[k] = tarvel.simulate(coords[k], 2)["labels"].tolist()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected
