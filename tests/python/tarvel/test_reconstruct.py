"""gram_from_dist and reconstruct: double centering and classical MDS, to the last bit."""

import math

import numpy as np
import pytest

import tarvel

LINE = [[0.0, 1.0, 2.0], [1.0, 0.0, 1.0], [2.0, 1.0, 0.0]]
TRIANGLE = [[0.0, 3.0, 4.0], [3.0, 0.0, 5.0], [4.0, 5.0, 0.0]]


def bits(array):
    return np.asarray(array, dtype=np.float64).view(np.uint64).tolist()


def double_centred(dist):
    """Double centering in Python floats, one rounding per operation: the reference."""
    n = len(dist)
    reciprocal = 1.0 / n
    squares = [[x * x for x in row] for row in dist]
    means = []
    for row in squares:
        total = -0.0
        for x in row:
            total += x
        means.append(total * reciprocal)
    total = -0.0
    for m in means:
        total += m
    grand = reciprocal * total
    return [[(((squares[i][j] - means[i]) - means[j]) + grand) * -0.5 for j in range(n)] for i in range(n)]


@pytest.mark.parametrize(
    "dist, expected",
    [
        (LINE, [[1.0, -0.0, -1.0], [-0.0, 1.1102230246251565e-16, -0.0], [-1.0, -0.0, 1.0]]),
        (
            TRIANGLE,
            [
                [2.7777777777777777, -0.22222222222222232, -2.5555555555555554],
                [-0.22222222222222232, 5.777777777777778, -5.555555555555555],
                [-2.5555555555555554, -5.555555555555555, 8.11111111111111],
            ],
        ),
        ([[3.5]], [[-0.0]]),
    ],
)
def test_gram_known_values_bit_for_bit(dist, expected):
    gram = tarvel.gram_from_dist(np.array(dist))
    assert gram.dtype == np.float64 and gram.flags.c_contiguous and gram.flags.writeable
    assert bits(gram) == bits(expected)


def test_gram_of_empty_matrix():
    gram = tarvel.gram_from_dist(np.zeros((0, 0)))
    assert gram.shape == (0, 0) and gram.dtype == np.float64


@pytest.mark.parametrize(
    "dist",
    [
        np.random.default_rng(1).random((9, 9)),  # asymmetric
        np.array([[0.0, np.nan, 1.0], [1.0, 0.0, 2.0], [1.0, 2.0, 0.0]]),
        np.array([[0.0, np.inf, 1.0], [np.inf, 0.0, 2.0], [1.0, 2.0, 0.0]]),
        -np.random.default_rng(2).random((5, 5)),
    ],
    ids=["asymmetric", "nan", "inf", "negative"],
)
def test_gram_is_the_reference_arithmetic(dist):
    with np.errstate(invalid="ignore"):
        assert bits(tarvel.gram_from_dist(dist)) == bits(double_centred(dist.tolist()))


@pytest.mark.parametrize("layout", ["fortran", "transposed", "reversed"])
def test_gram_reads_any_layout(layout):
    dist = np.random.default_rng(4).random((6, 6))
    view = {
        "fortran": np.asfortranarray(dist),
        "transposed": np.ascontiguousarray(dist.T).T,
        "reversed": np.ascontiguousarray(dist[::-1])[::-1],
    }[layout]
    assert bits(tarvel.gram_from_dist(view)) == bits(tarvel.gram_from_dist(dist))


@pytest.mark.parametrize(
    "call, exception, message",
    [
        (lambda: tarvel.gram_from_dist(np.zeros((2, 3))), ValueError, "Distance matrix must be square"),
        (lambda: tarvel.reconstruct(np.zeros((2, 3)), 2), ValueError, "distance_matrix must be square"),
        (lambda: tarvel.reconstruct(np.zeros((2, 3)), 4), ValueError, "distance_matrix must be square"),
    ],
)
def test_squareness(call, exception, message):
    with pytest.raises(exception) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "shape, d, message",
    [
        ((3, 3), 1, "Only d=2 and d=3 are supported"),
        ((3, 3), 0, "Only d=2 and d=3 are supported"),
        ((5, 5), 4, "Only d=2 and d=3 are supported"),
        ((0, 0), 2, "Need at least d+1 nodes to reconstruct in d dimensions"),
        ((3, 3), 3, "Need at least d+1 nodes to reconstruct in d dimensions"),
    ],
)
def test_reconstruct_internal_faults(shape, d, message):
    with pytest.raises(BaseException) as caught:
        tarvel.reconstruct(np.zeros(shape), d)
    assert type(caught.value).__qualname__ == "PanicException"
    assert not isinstance(caught.value, Exception)
    assert caught.value.args == (message,)


def test_right_triangle_is_recovered():
    result = tarvel.reconstruct(np.array(TRIANGLE), 2)
    assert list(result) == ["coords", "stress", "eigenvalues", "is_isometric"]
    coords = result["coords"]
    assert coords.shape == (3, 2) and coords.dtype == np.float64 and coords.flags.c_contiguous
    assert result["eigenvalues"].shape == (2,)
    assert result["eigenvalues"] == pytest.approx([12.9641479965, 3.7025186702])
    assert result["stress"] < 1e-15 and result["is_isometric"] is True
    recovered = [math.dist(coords[i], coords[j]) for i, j in [(0, 1), (0, 2), (1, 2)]]
    assert recovered == pytest.approx([3.0, 4.0, 5.0], abs=1e-14)


def test_points_on_a_line_exactly():
    result = tarvel.reconstruct(np.array(LINE), 2)
    assert bits(result["eigenvalues"]) == bits([2.0, 1.1102230246251565e-16])
    assert bits(result["coords"]) == bits([[1.0000000000000002, 0.0], [0.0, 1.0536712127723509e-08], [-1.0, 0.0]])
    assert result["stress"] < 1e-15 and result["is_isometric"]


@pytest.mark.parametrize(
    "tol, isometric", [(None, True), (1e-6, True), (0.0, False), (float("nan"), False), (-1.0, False)]
)
def test_zero_matrix_and_tolerances(tol, isometric):
    result = tarvel.reconstruct(np.zeros((3, 3)), 2, tol)
    assert result["stress"] == 0.0
    assert result["coords"].tolist() == [[0.0, 0.0]] * 3
    assert bits(result["eigenvalues"]) == bits([-0.0, -0.0])
    assert result["is_isometric"] is isometric


@pytest.mark.parametrize("d", [2, 3])
def test_random_points_round_trip(d):
    points = np.random.default_rng(d).random((12, d)) * 4.0
    dist = np.sqrt(((points[:, None, :] - points[None, :, :]) ** 2).sum(-1))
    result = tarvel.reconstruct(dist, d)
    coords = result["coords"]
    recovered = np.sqrt(((coords[:, None, :] - coords[None, :, :]) ** 2).sum(-1))
    assert np.allclose(recovered, dist, atol=1e-8)
    assert result["is_isometric"]


def test_reconstruct_accepts_simulate_output():
    coords = np.random.default_rng(5).random((8, 3))
    dist = tarvel.simulate(coords, 3)["distance_matrix"]
    result = tarvel.reconstruct(distance_matrix=dist, d=3, tol=1e-6)
    assert result["is_isometric"]


def test_nan_propagates_without_failure():
    dist = np.array(LINE)
    dist[0, 1] = np.nan
    result = tarvel.reconstruct(dist, 2)
    assert math.isnan(result["stress"]) and result["is_isometric"] is False
