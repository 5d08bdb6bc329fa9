"""Property-based fuzzing of the module boundary: every call of the six functions
either returns a well-formed result or raises a documented error.

Two oracles judge each generated call:
- CONTRACT, a table of the exception types and messages each function may
  raise at all;
- a reference model of argument binding, conversion (through the
  interpreter's own C conversions, reached with ctypes) and each function's
  checks, which predicts the exact exception and message, or success and the
  invariants the result must satisfy.
A successful call is repeated on a C-ordered copy of its matrix with the
converted arguments and must give the same bits. No call may change its
arguments or their reference counts.

Profiles: TARVEL_FUZZ_PROFILE=ci (default; derandomised, bounded for CI and
sanitizer builds) or TARVEL_FUZZ_PROFILE=long (50 times more, random).
"""

from __future__ import annotations

import contextlib
import ctypes
import gc
import math
import os
import re
import sys
import warnings
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import pytest

pytest.importorskip("hypothesis")

from hypothesis import HealthCheck, event, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import tarvel  # noqa: E402
from fuzz_inputs import SIGNATURES, Array, Call, TypeErrorSaying, calls  # noqa: E402

# Named apart from Hypothesis's own "ci" profile, which it loads by itself
# under CI=true: registering that name would change every other property test.
settings.register_profile(
    "tarvel-fuzz-ci",
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=2500,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
settings.register_profile(
    "tarvel-fuzz-long", settings.get_profile("tarvel-fuzz-ci"), derandomize=False, max_examples=125_000,
    print_blob=True,
)
PROFILE = os.environ.get("TARVEL_FUZZ_PROFILE", "ci")
FUZZ_SETTINGS = settings.get_profile(f"tarvel-fuzz-{PROFILE}")

EXAMPLES: Counter[str] = Counter()
PTRDIFF_MAX = 2**63 - 1
U64_MAX = 2**64 - 1
SIMULATION_KEYS = ["labels", "accepted_edges", "distance_matrix", "final_rank", "max_rank", "is_rigid", "n_nodes", "d"]
PEBBLE_KEYS = ["labels", "accepted_edges", "n_nodes", "d"]
RECONSTRUCTION_KEYS = ["coords", "stress", "eigenvalues", "is_isometric"]


def _panic_type() -> type[BaseException]:
    try:
        tarvel.generate_training_batch(1, 0, 2, 0)
    except BaseException as fault:  # noqa: B036 - the internal-fault type is the point
        return type(fault)
    raise AssertionError("an empty node list must be an internal fault")


PANIC = _panic_type()


# --- the contract: what each function may raise at all --------------------------

ANY_TEXT = r"(?s:.*)"
COMMON = [
    (TypeError, re.compile(r"\w+\(\) takes (from \d+ to )?\d+ positional arguments but \d+ were given")),
    (TypeError, re.compile(r"\w+\(\) got an unexpected keyword argument '.*'")),
    (TypeError, re.compile(r"\w+\(\) got multiple values for argument '\w+'")),
    (TypeError, re.compile(r"\w+\(\) missing \d+ required positional arguments?: '\w+'((, '\w+')*,? and '\w+')?")),
    (TypeError, re.compile(r"argument '\w+': " + ANY_TEXT)),
    (OverflowError, re.compile(r"(?!argument ')" + ANY_TEXT)),  # the interpreter's, unprefixed
    # What the caller's own conversion method raised, unchanged.
    (BaseException, re.compile("conversion refused|no value|too wide|out of memory|planted")),
]
CONTRACT: dict[str, list[tuple[type[BaseException], re.Pattern[str]]]] = {
    "simulate": [
        (ValueError, re.compile(r"coords has \d+ columns but d=\d+ was specified|d must be 2 or 3")),
        (ValueError, re.compile(r"Need at least \d+ nodes for d=\d+, got \d+")),
    ],
    "gram_from_dist": [(ValueError, re.compile("Distance matrix must be square"))],
    "generate_training_batch": [
        (PANIC, re.compile("Node list must not be empty|Only d=2 and d=3 are supported|capacity overflow")),
    ],
    "max_independent": [],
    "reconstruct": [
        (ValueError, re.compile("distance_matrix must be square")),
        (PANIC, re.compile("Only d=2 and d=3 are supported|Need at least d\\+1 nodes to reconstruct in d dimensions")),
    ],
    "pebble_game": [(ValueError, re.compile("pebble_game only supports d=2")), (PANIC, re.compile("capacity overflow"))],
}


def assert_within_contract(function: str, error: BaseException) -> None:
    """The error is of a type, and has a message, that the function documents."""
    allowed = COMMON + CONTRACT[function]
    assert any(
        (kind is BaseException or type(error) is kind) and pattern.fullmatch(str(error)) for kind, pattern in allowed
    ), f"{function} raised an undocumented {type(error).__qualname__}: {str(error)!r}"


# --- the reference model ----------------------------------------------------------


@dataclass(frozen=True)
class Raises:
    """The call must raise exactly this type with exactly this message."""

    kind: type[BaseException]
    message: str
    cause: BaseException | None = None


@dataclass(frozen=True)
class Returns:
    """The call must succeed; `check` judges the result, `plain_args` must give the same bits."""

    check: Callable[[Any], None]
    plain_args: tuple[object, ...]


Outcome = Raises | Returns


def _c_conversion(name: str, result_type: Any) -> Callable[[object], Any]:
    function = getattr(ctypes.PyDLL(None), name)
    function.restype = result_type
    function.argtypes = [ctypes.py_object]
    return function  # type: ignore[no-any-return]


# The interpreter's own conversions, exactly as the module uses them.
_number_index = _c_conversion("PyNumber_Index", ctypes.py_object)
_as_unsigned_64 = _c_conversion("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)
_as_double = _c_conversion("PyFloat_AsDouble", ctypes.c_double)


def _failed_conversion(error: BaseException, name: str) -> Raises:
    if type(error) is TypeError:
        return Raises(TypeError, f"argument '{name}': {error}", error.__cause__)
    return Raises(type(error), str(error))


def convert(parameter: str, value: object, default_tol: float) -> object:
    """The converted argument, or the Raises its conversion ends in."""
    if parameter in ("coords", "dist", "distance_matrix"):
        if isinstance(value, np.ndarray) and value.ndim == 2 and value.dtype == np.dtype(np.float64):
            return value
        kind = type(value).__qualname__
        return Raises(TypeError, f"argument '{parameter}': '{kind}' object cannot be converted to 'PyArray<T, D>'")
    try:
        if parameter == "tol":
            return default_tol if value is None else float(_as_double(value))
        return int(_as_unsigned_64(value if isinstance(value, int) else _number_index(value)))
    except BaseException as error:  # noqa: B036 - planted errors of every kind must come back
        return _failed_conversion(error, parameter)


def _names(missing: list[str]) -> str:
    quoted = [f"'{name}'" for name in missing]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(call: Call) -> dict[str, object] | Raises:
    """Parameters filled by the call, or the binding TypeError."""
    signature = SIGNATURES[call.function]
    name, params, required = signature.name, signature.parameters, signature.required
    if len(call.args) > len(params):
        takes = str(len(params)) if required == len(params) else f"from {required} to {len(params)}"
        return Raises(TypeError, f"{name}() takes {takes} positional arguments but {len(call.args)} were given")
    bound = dict(zip(params, call.args))
    for key, value in call.kwargs.items():
        if key not in params:
            return Raises(TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        if key in bound:
            return Raises(TypeError, f"{name}() got multiple values for argument '{key}'")
        bound[key] = value
    missing = [p for p in params[:required] if p not in bound]
    if missing:
        plural = "s" if len(missing) > 1 else ""
        return Raises(TypeError, f"{name}() missing {len(missing)} required positional argument{plural}: {_names(missing)}")
    return bound


def predict(call: Call) -> Outcome:
    """What the call must do, by the documented rules."""
    bound = bind(call)
    if isinstance(bound, Raises):
        return bound
    converted: dict[str, Any] = {}
    for parameter in SIGNATURES[call.function].parameters:
        value = convert(parameter, bound.get(parameter), DEFAULT_TOLERANCE.get(call.function, 0.0))
        if isinstance(value, Raises):
            return value
        converted[parameter] = value
    return MODELS[call.function](**converted)


def clamped_max_rank(n: int, d: int) -> int:
    """n·d − d(d+1)/2, held within 0 … 2^64 − 1 where it has no meaning."""
    return min(max(n * d - d * (d + 1) // 2, 0), U64_MAX)


def plain(matrix: Array) -> Array:
    """The matrix's values as a C-ordered, writeable float64 base-class array."""
    return np.array(matrix, dtype=np.float64, order="C")


def simulate_model(coords: Array, d: int, tol: float) -> Outcome:
    rows, cols = coords.shape
    if cols != d:
        return Raises(ValueError, f"coords has {cols} columns but d={d} was specified")
    if d not in (2, 3):
        return Raises(ValueError, "d must be 2 or 3")
    if rows <= d:
        return Raises(ValueError, f"Need at least {d + 1} nodes for d={d}, got {rows}")
    values = plain(coords)

    def check(result: Any) -> None:
        check_simulation(result, rows, d)
        assert_same_bits(result["distance_matrix"], reference_distances(values), any_nan=True)

    return Returns(check, (values, d, tol))


def gram_model(dist: Array) -> Outcome:
    if dist.shape[0] != dist.shape[1]:
        return Raises(ValueError, "Distance matrix must be square")
    values = plain(dist)

    def check(result: Any) -> None:
        assert_fresh_array(result, np.float64, dist.shape)
        assert_same_bits(result, reference_gram(values), any_nan=True)

    return Returns(check, (values,))


def batch_model(n_graphs: int, n_nodes: int, d: int, seed: int) -> Outcome:
    # The strategies give counts either <= 12 or >= 2**60: the latter
    # overflow any record size, the former allocate next to nothing.
    huge = 2**60
    if n_graphs >= huge or (n_graphs and (n_nodes >= huge or (n_nodes and d >= huge))):
        return Raises(PANIC, "capacity overflow")
    if n_graphs and not n_nodes:
        return Raises(PANIC, "Node list must not be empty")
    if n_graphs and d not in (2, 3):
        return Raises(PANIC, "Only d=2 and d=3 are supported")

    def check(result: Any) -> None:
        assert type(result) is list and len(result) == n_graphs
        for graph in result:
            check_simulation(graph, n_nodes, d)
            distances = graph["distance_matrix"]
            assert np.array_equal(distances, distances.T) and not distances.diagonal().any()
            assert ((distances >= 0.0) & (distances < 5.0 * math.sqrt(d))).all()  # nodes lie in [0, 5)^d

    return Returns(check, (n_graphs, n_nodes, d, seed))


def max_independent_model(n: int, d: int) -> Outcome:
    def check(result: Any) -> None:
        assert type(result) is int and result == clamped_max_rank(n, d)

    return Returns(check, (n, d))


def reconstruct_model(distance_matrix: Array, d: int, tol: float) -> Outcome:
    rows, cols = distance_matrix.shape
    if rows != cols:
        return Raises(ValueError, "distance_matrix must be square")
    if d not in (2, 3):
        return Raises(PANIC, "Only d=2 and d=3 are supported")
    if rows <= d:
        return Raises(PANIC, "Need at least d+1 nodes to reconstruct in d dimensions")

    def check(result: Any) -> None:
        assert type(result) is dict and list(result) == RECONSTRUCTION_KEYS
        coords, eigenvalues, stress = result["coords"], result["eigenvalues"], result["stress"]
        assert_fresh_array(coords, np.float64, (rows, d))
        assert_fresh_array(eigenvalues, np.float64, (d,))
        assert type(stress) is float and (stress >= 0.0 or math.isnan(stress))
        assert result["is_isometric"] is (stress < tol)
        for axis, value in enumerate(eigenvalues.tolist()):
            if not value > 0.0:  # no positive eigenvalue, no extent along this axis
                column = coords[:, axis]
                assert not (np.isfinite(column) & (column != 0.0)).any()
        if np.isfinite(eigenvalues).all():
            assert (np.diff(eigenvalues) <= 0.0).all(), "eigenvalues must come largest first"

    return Returns(check, (plain(distance_matrix), d, tol))


def pebble_model(coords: Array, d: int) -> Outcome:
    if d != 2:
        return Raises(ValueError, "pebble_game only supports d=2")
    n = coords.shape[0]
    if n * (n - 1) // 2 > PTRDIFF_MAX:
        return Raises(PANIC, "capacity overflow")

    def check(result: Any) -> None:
        assert type(result) is dict and list(result) == PEBBLE_KEYS
        accepted = max(2 * n - 3, 0) if n >= 2 else 0
        pairs = candidate_pairs(n)
        assert_fresh_array(result["labels"], np.uint8, (len(pairs),))
        assert result["labels"].tolist() == [1] * accepted + [0] * (len(pairs) - accepted)
        assert_edge_list(result["accepted_edges"], pairs[:accepted])
        assert (result["n_nodes"], result["d"]) == (n, 2)

    return Returns(check, (plain(coords), d))


DEFAULT_TOLERANCE = {"simulate": 1e-9, "reconstruct": 1e-6}
MODELS: dict[str, Callable[..., Outcome]] = {
    "simulate": simulate_model,
    "gram_from_dist": gram_model,
    "generate_training_batch": batch_model,
    "max_independent": max_independent_model,
    "reconstruct": reconstruct_model,
    "pebble_game": pebble_model,
}


# --- result invariants -------------------------------------------------------------


def candidate_pairs(n: int) -> list[tuple[int, int]]:
    return [(i, j) for i in range(n) for j in range(i + 1, n)]


def assert_fresh_array(array: Any, dtype: type, shape: tuple[int, ...]) -> None:
    """A new base-class array of the result: given dtype and shape, C-ordered, writeable."""
    assert type(array) is np.ndarray and array.dtype == dtype and array.shape == shape
    assert array.flags.c_contiguous and array.flags.writeable


def assert_edge_list(edges: Any, expected: list[tuple[int, int]]) -> None:
    """A list of 2-tuples of Python ints, equal to `expected`."""
    assert type(edges) is list and all(type(e) is tuple and list(map(type, e)) == [int, int] for e in edges)
    assert edges == expected


def check_simulation(result: Any, n: int, d: int) -> None:
    """The eight keys of a simulation result, their types, and how they agree."""
    assert type(result) is dict and list(result) == SIMULATION_KEYS
    pairs = candidate_pairs(n)
    labels = result["labels"]
    assert_fresh_array(labels, np.uint8, (len(pairs),))
    assert_fresh_array(result["distance_matrix"], np.float64, (n, n))
    edges = result["accepted_edges"]
    assert set(labels.tolist()) <= {0, 1}
    assert_edge_list(edges, [pair for pair, label in zip(pairs, labels.tolist()) if label])
    final_rank, max_rank = result["final_rank"], result["max_rank"]
    assert type(final_rank) is int and final_rank == len(edges)
    assert type(max_rank) is int and max_rank == clamped_max_rank(n, d)
    assert final_rank <= (max_rank or len(pairs))  # a lone bar is independent even where max_rank is 0
    assert result["is_rigid"] is (final_rank == max_rank)
    assert (result["n_nodes"], result["d"]) == (n, d) and type(result["n_nodes"]) is int


def reference_distances(coords: Array) -> Array:
    """Distances summed term by term in increasing axis order, one rounding per operation."""
    with np.errstate(all="ignore"):
        delta = coords[:, None, :] - coords[None, :, :]
        total = delta[..., 0] * delta[..., 0]
        for axis in range(1, coords.shape[1]):
            total = total + delta[..., axis] * delta[..., axis]
        distances: Array = np.sqrt(total)
        return distances


def reference_gram(dist: Array) -> Array:
    """Double centering with the reciprocal of n and left-to-right sums from −0.0."""
    n = dist.shape[0]
    if n == 0:
        return np.zeros((0, 0))
    with np.errstate(all="ignore"):
        reciprocal = 1.0 / n
        squares = dist * dist
        row_totals = np.full(n, -0.0)
        for column in range(n):
            row_totals = row_totals + squares[:, column]
        means = row_totals * reciprocal
        grand = np.float64(-0.0)
        for mean in means:
            grand = grand + mean
        grand = reciprocal * grand
        gram: Array = (((squares - means[:, None]) - means[None, :]) + grand) * -0.5
        return gram


def _bits(values: Any, any_nan: bool) -> bytes:
    array = np.array(values)
    if any_nan and array.dtype.kind == "f":
        array[np.isnan(array)] = np.nan  # the sign and payload of a NaN are not specified by IEEE 754
    return array.tobytes()


def assert_same_bits(actual: Any, expected: Any, any_nan: bool = False) -> None:
    """Equal structure, types and values; floats bit for bit, NaN payloads too unless `any_nan`."""
    if isinstance(expected, dict):
        assert type(actual) is dict and list(actual) == list(expected)
        for key in expected:
            assert_same_bits(actual[key], expected[key], any_nan)
    elif isinstance(expected, list):
        assert type(actual) is list and len(actual) == len(expected)
        for a, e in zip(actual, expected):
            assert_same_bits(a, e, any_nan)
    elif isinstance(expected, (np.ndarray, float)):
        assert type(actual) is type(expected) and np.shape(actual) == np.shape(expected)
        assert _bits(actual, any_nan) == _bits(expected, any_nan), f"\n{actual!r}\n!=\n{expected!r}"
    else:
        assert type(actual) is type(expected) and actual == expected


# --- running a call -------------------------------------------------------------------


def invoke(function: str, args: tuple[object, ...], kwargs: dict[str, object]) -> tuple[Any, BaseException | None]:
    """The call's result or the exception it raised (of any kind: internal faults are BaseExceptions)."""
    entry: Callable[..., Any] = getattr(tarvel, function)
    try:
        return entry(*args, **kwargs), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: B036 - internal faults derive from BaseException
        return None, error


def argument_state(call: Call) -> list[tuple[int, bytes]]:
    """Reference count and contents of every argument: no call may change them."""
    values = list(call.args) + list(call.kwargs.values())
    return [(sys.getrefcount(v), np.array(v).tobytes() if isinstance(v, np.ndarray) else b"") for v in values]


def check_error(function: str, error: BaseException | None, expected: Raises) -> None:
    assert error is not None, f"expected {expected.kind.__qualname__}: {expected.message!r}, got a result"
    assert_within_contract(function, error)
    assert (type(error), str(error)) == (expected.kind, expected.message), f"got {type(error).__qualname__}: {error!r}"
    if type(error) is TypeError:
        assert error.__cause__ is expected.cause
    if type(error) is PANIC:
        assert not isinstance(error, Exception) and error.args == (expected.message,)


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """No garbage collection: collecting unrelated cycles could drop references to the arguments."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def check_call(call: Call) -> str:
    """Run the call and hold it to the model and the contract; name the outcome."""
    with warnings.catch_warnings(), collector_paused():
        # __index__ returning an int subclass is deprecated, not refused.
        warnings.simplefilter("ignore", DeprecationWarning)
        expected = predict(call)
        before = argument_state(call)
        result, error = invoke(call.function, call.args, call.kwargs)
        if isinstance(expected, Raises):
            check_error(call.function, error, expected)
        else:
            assert error is None, f"expected success, got {type(error).__qualname__}: {error!r}"
            expected.check(result)
            again, error = invoke(call.function, expected.plain_args, {})
            assert error is None, f"the C-ordered copy failed: {error!r}"
            assert_same_bits(result, again)
        del result, error
        assert argument_state(call) == before, "an argument was written to, or its reference count changed"
    return f"raises {expected.kind.__qualname__}" if isinstance(expected, Raises) else "returns"


STRATEGIES = {function: calls(function) for function in SIGNATURES}


@pytest.fixture(scope="module", autouse=True)
def report_example_counts(request: pytest.FixtureRequest) -> Iterator[None]:
    """After the module: how many calls were tried per function, for the record."""
    yield
    if EXAMPLES:
        counts = ", ".join(f"{function} {count}" for function, count in sorted(EXAMPLES.items()))
        line = f"fuzz examples per function (profile {PROFILE}): {counts}"
        plugins = request.config.pluginmanager
        reporter, capture = plugins.get_plugin("terminalreporter"), plugins.get_plugin("capturemanager")
        if reporter is None or capture is None:
            print(line)
            return
        with capture.global_and_fixture_disabled():
            reporter.write_line(line)


@pytest.mark.parametrize("function", list(SIGNATURES))
@FUZZ_SETTINGS
@given(data=st.data())
def test_calls_return_well_formed_results_or_documented_errors(function: str, data: st.DataObject) -> None:
    call = data.draw(STRATEGIES[function], label="call")
    EXAMPLES[function] += 1
    event(check_call(call))


# Texts that UTF-8 cannot carry (lone surrogates) or that C strings cut short
# (NUL) reach the messages unchanged: once they raised UnicodeEncodeError or
# were truncated.
HOSTILE_TEXTS = [
    pytest.param(Call("max_independent", (), {"\udc80": 1}), id="keyword-with-lone-surrogate"),
    pytest.param(Call("max_independent", (1,), {"a\x00b": 1}), id="keyword-with-nul"),
    pytest.param(Call("max_independent", (TypeErrorSaying("\udc80"), 2), {}), id="index-error-with-lone-surrogate"),
    pytest.param(Call("max_independent", (TypeErrorSaying("cut\x00here"), 2), {}), id="index-error-with-nul"),
    pytest.param(
        Call("simulate", (np.zeros((3, 2)), 2, TypeErrorSaying("\udc80")), {}), id="tol-error-with-lone-surrogate"
    ),
]


@pytest.mark.parametrize("call", HOSTILE_TEXTS)
def test_error_texts_reach_the_message_unchanged(call: Call) -> None:
    check_call(call)
