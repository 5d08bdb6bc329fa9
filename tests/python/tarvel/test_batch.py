"""generate_training_batch: reproducible random frameworks, labelled like simulate."""

import os

import numpy as np
import pytest

import tarvel


def panic_type():
    try:
        tarvel.generate_training_batch(1, 0, 2, 0)
    except BaseException as fault:  # noqa: B036 - the fault type is the point
        return type(fault)


def assert_same_graph(a, b):
    assert list(a) == list(b)
    for key in a:
        if isinstance(a[key], np.ndarray):
            assert a[key].dtype == b[key].dtype and np.array_equal(a[key], b[key])
        else:
            assert a[key] == b[key]


def test_empty_batch_examines_nothing():
    assert tarvel.generate_training_batch(0, 0, 7, 0) == []


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, 0, 2, 0), "Node list must not be empty"),
        ((2, 0, 4, 0), "Node list must not be empty"),
        ((1, 3, 4, 0), "Only d=2 and d=3 are supported"),
        ((1, 3, 0, 0), "Only d=2 and d=3 are supported"),
        ((2**64 - 1, 4, 2, 0), "capacity overflow"),
    ],
)
def test_internal_faults_escape_exception_handlers(args, message):
    with pytest.raises(BaseException) as caught:
        try:
            tarvel.generate_training_batch(*args)
        except Exception:  # must not catch it
            pytest.fail("an internal fault was caught as Exception")
    fault = caught.value
    assert type(fault).__module__ == "pyo3_runtime" and type(fault).__qualname__ == "PanicException"
    assert not isinstance(fault, Exception)
    assert fault.args == (message,)


@pytest.mark.skipif(os.environ.get("TARVEL_SANITIZED") == "1", reason="a failed allocation aborts under ASan")
@pytest.mark.parametrize("args", [(10**12, 4, 2, 0), (1, 2**40, 2, 0), (1, 2**62, 3, 0)])
def test_huge_counts_fail_cleanly(args):
    with pytest.raises((MemoryError, panic_type())) as caught:
        tarvel.generate_training_batch(*args)
    if not isinstance(caught.value, MemoryError):
        assert caught.value.args == ("capacity overflow",)


@pytest.mark.parametrize(
    "args, exception, prefix",
    [((-1, 4, 2, 0), OverflowError, ""), ((1.0, 4, 2, 0), TypeError, "argument 'n_graphs': ")],
)
def test_conversion_errors(args, exception, prefix):
    with pytest.raises(exception) as caught:
        tarvel.generate_training_batch(*args)
    assert str(caught.value).startswith(prefix) and (prefix or not str(caught.value).startswith("argument"))


@pytest.mark.parametrize(
    "n_nodes, d, labels, final_rank, max_rank, rigid",
    [
        (4, 2, [1, 1, 1, 1, 1, 0], 5, 5, True),
        (5, 2, [1] * 7 + [0] * 3, 7, 7, True),
        (4, 3, [1] * 6, 6, 6, True),
        (2, 3, [1], 1, 0, False),
        (2, 2, [1], 1, 1, True),
        (1, 2, [], 0, 0, True),  # a lone point is rigid
        (1, 3, [], 0, 0, True),
    ],
)
def test_small_graphs(n_nodes, d, labels, final_rank, max_rank, rigid):
    (graph,) = tarvel.generate_training_batch(1, n_nodes, d, 0)
    assert graph["labels"].dtype == np.uint8 and graph["labels"].tolist() == labels
    assert (graph["final_rank"], graph["max_rank"], graph["is_rigid"]) == (final_rank, max_rank, rigid)
    assert (graph["n_nodes"], graph["d"]) == (n_nodes, d)
    assert graph["distance_matrix"].shape == (n_nodes, n_nodes)


def test_first_graph_of_seed_zero_is_exact():
    (graph,) = tarvel.generate_training_batch(1, 3, 2, 0)
    assert graph["distance_matrix"].tolist() == [
        [0.0, 3.0313386985820134, 2.757300936479673],
        [3.0313386985820134, 0.0, 1.3659778344650304],
        [2.757300936479673, 1.3659778344650304, 0.0],
    ]
    assert graph["accepted_edges"] == [(0, 1), (0, 2), (1, 2)]


def test_lone_point_distance_matrix():
    (graph,) = tarvel.generate_training_batch(1, 1, 2, 0)
    assert graph["distance_matrix"].tolist() == [[0.0]] and graph["accepted_edges"] == []


@pytest.mark.parametrize("n_nodes, d", [(5, 2), (6, 3)])
def test_graph_k_of_seed_s_is_graph_zero_of_seed_s_plus_k(n_nodes, d):
    batch = tarvel.generate_training_batch(3, n_nodes, d, 7)
    for k in range(3):
        assert_same_graph(batch[k], tarvel.generate_training_batch(1, n_nodes, d, 7 + k)[0])
    assert_same_graph(tarvel.generate_training_batch(2, 4, 2, 2**64 - 1)[1], tarvel.generate_training_batch(1, 4, 2, 0)[0])


def drawn_nodes(seed, k, n, d):
    """The batch's node coordinates, drawn independently in Python."""
    state = (seed + k) % 2**64
    coords = []
    for _ in range(n * d):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        coords.append((state >> 33) / 4294967295.0 * 10.0)
    return np.array(coords).reshape(n, d)


@pytest.mark.parametrize("n_nodes, d, seed", [(3, 2, 0), (12, 2, 123), (9, 3, 5), (30, 2, 2**64 - 3)])
def test_batch_labels_what_simulate_labels_on_the_same_points(n_nodes, d, seed):
    batch = tarvel.generate_training_batch(3, n_nodes, d, seed)
    for k, graph in enumerate(batch):
        coords = drawn_nodes(seed, k, n_nodes, d)
        assert coords.min() >= 0.0 and coords.max() < 5.0
        assert_same_graph(graph, tarvel.simulate(coords, d))


def test_repeated_calls_are_equal():
    a = tarvel.generate_training_batch(5, 8, 3, 99)
    b = tarvel.generate_training_batch(5, 8, 3, 99)
    for x, y in zip(a, b, strict=True):
        assert_same_graph(x, y)
