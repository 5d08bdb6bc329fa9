"""Binding of positional and keyword arguments, and the three conversions."""

import numpy as np
import pytest

import tarvel

A = np.zeros((4, 2))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tarvel.max_independent(1, 2, 3), "max_independent() takes 2 positional arguments but 3 were given"),
        (lambda: tarvel.simulate(A, 2, 1e-9, 4), "simulate() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: tarvel.pebble_game(A, 2, 3), "pebble_game() takes 2 positional arguments but 3 were given"),
        (lambda: tarvel.gram_from_dist(), "gram_from_dist() missing 1 required positional argument: 'dist'"),
        (lambda: tarvel.max_independent(), "max_independent() missing 2 required positional arguments: 'n' and 'd'"),
        (
            lambda: tarvel.generate_training_batch(1),
            "generate_training_batch() missing 3 required positional arguments: 'n_nodes', 'd', and 'seed'",
        ),
        (lambda: tarvel.reconstruct(d=2), "reconstruct() missing 1 required positional argument: 'distance_matrix'"),
        (lambda: tarvel.max_independent(1, n=2), "max_independent() got multiple values for argument 'n'"),
        (lambda: tarvel.max_independent(1, 2, k=3), "max_independent() got an unexpected keyword argument 'k'"),
        (lambda: tarvel.max_independent(k=3), "max_independent() got an unexpected keyword argument 'k'"),
        (lambda: tarvel.simulate([[0.0, 0.0]], 2), "argument 'coords': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarvel.simulate(None, 2), "argument 'coords': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarvel.simulate([1], "x"), "argument 'coords': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarvel.max_independent(2.0, 2), "argument 'n': 'float' object cannot be interpreted as an integer"),
        (lambda: tarvel.max_independent(2, None), "argument 'd': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: tarvel.generate_training_batch(1.0, 4, 2, 0), "argument 'n_graphs': 'float' object cannot be interpreted as an integer"),
        (lambda: tarvel.generate_training_batch(1, 4, 2, "0"), "argument 'seed': 'str' object cannot be interpreted as an integer"),
        (lambda: tarvel.simulate(A, 2, "x"), "argument 'tol': must be real number, not str"),
    ],
)
def test_binding_and_conversion_type_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "array",
    [
        np.zeros((4, 2), dtype=np.float32),
        np.zeros((4, 2), dtype=np.int64),
        np.zeros(8),
        np.zeros((2, 2, 2)),
        np.zeros((4, 2), dtype=">f8" if np.little_endian else "<f8"),
        np.zeros((4, 2), dtype=np.complex128),
    ],
    ids=["float32", "int64", "1-d", "3-d", "byteswapped", "complex"],
)
@pytest.mark.parametrize("function", ["simulate", "pebble_game", "gram_from_dist", "reconstruct"])
def test_matrix_argument_refuses_other_arrays(function, array):
    args = (array,) if function == "gram_from_dist" else (array, 2)
    with pytest.raises(TypeError, match=r"^argument '\w+': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        getattr(tarvel, function)(*args)


class Index:
    def __index__(self):
        return 5


@pytest.mark.parametrize(
    "n, d, expected",
    [
        (10, 2, 17), (10, 3, 24), (2, 2, 1), (2, 3, 0), (3, 2, 3), (4, 3, 6), (5, 0, 0), (5, 1, 4),
        (2**64 - 1, 1, 2**64 - 2),
        # Where the formula has no meaning it is clamped, never wrapped.
        (1, 2, 0), (1, 3, 0), (0, 2, 0), (0, 0, 0), (2**64 - 1, 3, 2**64 - 1), (1, 2**32, 0),
        (True, 3, 0), (np.uint64(10), 2, 17), (np.int8(10), np.uint8(3), 24), (Index(), 2, 7),
    ],
)
def test_max_independent(n, d, expected):
    result = tarvel.max_independent(n, d)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize("n", [-1, 2**64, -(2**70)])
def test_integers_out_of_range_raise_unprefixed_overflow(n):
    with pytest.raises(OverflowError) as caught:
        tarvel.max_independent(n, 2)
    assert not str(caught.value).startswith("argument")


def test_first_failing_argument_wins():
    with pytest.raises(OverflowError):
        tarvel.max_independent(-1, "x")
    with pytest.raises(TypeError, match="^argument 'n'"):
        tarvel.max_independent("x", -1)


def test_prefixed_error_keeps_the_original_cause():
    class Broken:
        def __index__(self):
            raise TypeError("inner") from KeyError("root")

    with pytest.raises(TypeError) as caught:
        tarvel.max_independent(Broken(), 2)
    assert str(caught.value) == "argument 'n': inner"
    assert isinstance(caught.value.__cause__, KeyError)


def test_conversion_errors_other_than_type_error_pass_unchanged():
    class Odd:
        def __index__(self):
            raise ValueError("odd")

    class SubTypeError(TypeError):
        pass

    class Sub:
        def __index__(self):
            raise SubTypeError("sub")

    with pytest.raises(ValueError, match="^odd$"):
        tarvel.max_independent(Odd(), 2)
    with pytest.raises(SubTypeError, match="^sub$"):
        tarvel.max_independent(Sub(), 2)


def test_keywords_bind_like_positionals():
    assert tarvel.max_independent(d=2, n=10) == tarvel.max_independent(10, 2)
