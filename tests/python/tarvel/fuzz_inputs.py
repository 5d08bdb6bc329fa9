"""Hypothesis strategies for calls of the six tarvel functions.

Every argument a caller could plausibly pass: matrices of any dtype, rank,
memory layout and array subclass, or no array at all; integers at the edges of
the unsigned 64-bit range in every Python and NumPy spelling; tolerances of any
float and objects whose conversions fail or return the wrong type. The calls
bind them by position and by keyword, with the binding mistakes callers make.

Sizes stay small so that each call is cheap. Integer arguments of
`generate_training_batch` are either small or so large that the module refuses
them as "capacity overflow" before allocating: a value in between would make
it allocate gigabytes.
"""

from __future__ import annotations

import functools
import math
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
from hypothesis import strategies as st

Values = dict[str, object]
Array = npt.NDArray[Any]


@dataclass(frozen=True)
class Signature:
    """A function's parameter names, the first `required` of them mandatory."""

    name: str
    parameters: tuple[str, ...]
    required: int


SIGNATURES = {
    s.name: s
    for s in [
        Signature("simulate", ("coords", "d", "tol"), 2),
        Signature("gram_from_dist", ("dist",), 1),
        Signature("generate_training_batch", ("n_graphs", "n_nodes", "d", "seed"), 4),
        Signature("max_independent", ("n", "d"), 2),
        Signature("reconstruct", ("distance_matrix", "d", "tol"), 2),
        Signature("pebble_game", ("coords", "d"), 2),
    ]
}


def describe(value: object) -> str:
    """A repr that shows what matters about arrays: type, dtype, layout, values."""
    if isinstance(value, np.ndarray):
        values = np.asarray(value).tolist() if max(value.shape, default=0) <= 48 else f"<{value.size} elements>"
        return (
            f"{type(value).__name__}(dtype={value.dtype.str}, shape={value.shape}, strides={value.strides}, "
            f"writeable={value.flags.writeable}, aligned={value.flags.aligned}, values={values!r})"
        )
    return repr(value)


@dataclass
class Call:
    """One call: `tarvel.<function>(*args, **kwargs)`."""

    function: str
    args: tuple[object, ...]
    kwargs: dict[str, object]

    def __repr__(self) -> str:
        parts = [describe(a) for a in self.args] + [f"{k}={describe(v)}" for k, v in self.kwargs.items()]
        return f"tarvel.{self.function}({', '.join(parts)})"


# --- objects that are numbers only through their conversion methods ----------


class Index:
    """An integer only through `__index__`, which returns whatever it was given."""

    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self) -> Any:
        return self.value

    def __repr__(self) -> str:
        return f"Index({self.value!r})"


class FloatLike:
    """A float only through `__float__`, which returns whatever it was given."""

    def __init__(self, value: object) -> None:
        self.value = value

    def __float__(self) -> Any:
        return self.value

    def __repr__(self) -> str:
        return f"FloatLike({self.value!r})"


class IntOnly:
    """Has `__int__` but not `__index__`: not an integer for the module."""

    def __int__(self) -> int:
        return 2

    def __repr__(self) -> str:
        return "IntOnly()"


class PlantedError(Exception):
    """Raised by a caller's own conversion method."""


class PlantedBaseError(BaseException):
    """Like KeyboardInterrupt: escapes `except Exception`."""


class PlantedTypeError(TypeError):
    """A TypeError subclass: passes through without the argument prefix."""


ROOT_CAUSE = LookupError("root cause")


def _type_error_with_cause() -> BaseException:
    error = TypeError("conversion refused")
    error.__cause__ = ROOT_CAUSE
    return error


PLANTED: dict[str, Callable[[], BaseException]] = {
    "TypeError": lambda: TypeError("conversion refused"),
    "TypeError-with-cause": _type_error_with_cause,
    "TypeError-subclass": lambda: PlantedTypeError("conversion refused"),
    "ValueError": lambda: ValueError("no value"),
    "OverflowError": lambda: OverflowError("too wide"),
    "MemoryError": lambda: MemoryError("out of memory"),
    "custom": lambda: PlantedError("planted"),
    "base": lambda: PlantedBaseError("planted"),
}


class Raising:
    """Every conversion method raises a fresh exception of the planted kind."""

    def __init__(self, kind: str) -> None:
        self.kind = kind

    def _raise(self) -> Any:
        raise PLANTED[self.kind]()

    def __index__(self) -> int:
        return int(self._raise())

    def __float__(self) -> float:
        return float(self._raise())

    def __repr__(self) -> str:
        return f"Raising({self.kind!r})"


class TypeErrorSaying:
    """Its conversion methods raise TypeError with the given text."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __index__(self) -> int:
        raise TypeError(self.text)

    def __float__(self) -> float:
        raise TypeError(self.text)

    def __repr__(self) -> str:
        return f"TypeErrorSaying({self.text!r})"


class IntSubclass(int):
    """An int subclass: converted as the int it is, `__index__` is not consulted."""

    def __index__(self) -> int:
        raise AssertionError("__index__ of an int subclass must not be called")


# --- drawing ------------------------------------------------------------------
# Strategies are built once, here: building them inside each draw costs more
# than the calls under test.

T = TypeVar("T")
Draw = Callable[[st.SearchStrategy[Any]], Any]


@functools.cache
def _below(count: int) -> st.SearchStrategy[int]:
    return st.integers(0, count - 1)


def pick(draw: Draw, options: Sequence[T]) -> T:
    """One of `options`; Hypothesis shrinks towards the first."""
    return options[draw(_below(len(options)))]


def shuffled(draw: Draw, items: Sequence[T]) -> list[T]:
    remaining = list(items)
    return [remaining.pop(draw(_below(len(remaining)))) for _ in range(len(remaining))]


# --- integers -----------------------------------------------------------------

U64_MAX = 2**64 - 1
HUGE = [2**60, 2**62, 2**63 - 1, 2**63, U64_MAX]  # beyond any allocatable count
MEDIUM = [2**31, 2**32, 2**32 + 1, 2**40]  # harmless except as batch sizes
OUT_OF_RANGE = [-1, -2, -(2**63), 2**64, 2**64 + 1, 2**70, -(2**70)]

NOT_INTEGERS: list[object] = [
    2.0, 2.5, math.nan, math.inf, "2", b"2", None, 2 + 0j, [2], (2,), np.float64(2.0), np.float32(2.0),
    np.array([2]), np.array([[2]]), np.array(2.0), IntOnly(), FloatLike(2.0), Index("2"), Index(2.0),
    Index(None), Index(np.float64(2.0)), Index(True), TypeErrorSaying("é ✓ 中"),
    TypeErrorSaying("\udc80"), TypeErrorSaying("cut\x00here"),
    *(Raising(kind) for kind in PLANTED),
]


def spellings(value: int) -> list[object]:
    """The same integer as an int, bool, int subclass, NumPy scalar, 0-d array or __index__ object."""
    options: list[object] = [value, IntSubclass(value), Index(value)]
    if value in (0, 1):
        options.append(bool(value))
    if 0 <= value <= U64_MAX:
        options += [np.uint64(value), np.array(value, dtype=np.uint64)]
    for kind in (np.int8, np.uint8, np.int64):
        info = np.iinfo(kind)
        if info.min <= value <= info.max:
            options.append(kind(value))
    return options


def draw_integer(draw: Draw, small_max: int, medium: bool = True) -> tuple[int | None, object]:
    """An unsigned 64-bit argument, mostly small, and the integer it stands for (None if none)."""
    branch = draw(_below(7))
    if branch == 6:
        return None, pick(draw, NOT_INTEGERS)
    if branch < 4:
        value = draw(_below(small_max + 1))
    else:
        value = pick(draw, OUT_OF_RANGE if branch == 5 else HUGE + (MEDIUM if medium else []))
    return value, pick(draw, spellings(value))


def draw_dimension(draw: Draw, medium: bool = True) -> tuple[int | None, object]:
    """`d`: two times in three a supported 2 or 3."""
    if draw(_below(3)):
        value = pick(draw, [2, 3])
        return value, pick(draw, spellings(value))
    return draw_integer(draw, 5, medium)


# --- tolerances -----------------------------------------------------------------

FLOAT_EDGES = [0.0, -0.0, 1e-9, 1e-6, -1.0, 1e300, 5e-324, math.inf, -math.inf, math.nan]
NOT_FLOATS: list[object] = [
    "1e-9", 1j, [1e-9], np.array([1e-9]), np.array([1e-9, 1.0]), 10**400, Index(10**400), Index(3),
    np.array(1e-3), np.float32(1e-3), np.int64(0), True, IntOnly(), FloatLike(1), FloatLike("x"),
    FloatLike(1e-3), *(Raising(kind) for kind in PLANTED),
]
ANY_FLOAT = st.floats()


def draw_tolerance(draw: Draw) -> object:
    """`tol`: None, any float, ints, and objects whose float conversion misbehaves."""
    branch = draw(_below(6))
    if branch < 2:
        return None if branch == 0 else pick(draw, FLOAT_EDGES)
    if branch < 4:
        return draw(ANY_FLOAT)
    return draw(_below(7)) - 3 if branch == 4 else pick(draw, NOT_FLOATS)


# --- matrices -----------------------------------------------------------------

FLOAT_SPECIALS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 1e-9, 1e-300, 5e-324, 2.2250738585072014e-308, 1e154, 1e308, -1e308,
    math.inf, -math.inf, math.nan,
]
ELEMENTS = st.one_of(
    st.integers(-3, 3).map(float),  # lattice points: collinear and coincident nodes
    st.floats(-10.0, 10.0),
    st.sampled_from(FLOAT_SPECIALS),
)


POOL = st.lists(ELEMENTS, min_size=1, max_size=8)
NOISE_SEED = st.integers(0, 2**32 - 1)


@functools.cache
def _bytes(count: int) -> st.SearchStrategy[bytes]:
    return st.binary(min_size=count, max_size=count)


def draw_float64(draw: Draw, shape: tuple[int, ...]) -> Array:
    """A C-ordered float64 array of the given shape with edge-case values.

    Entries come from a small pool, so values repeat (coincident and collinear
    nodes), and half of the time mostly from uniform noise (nodes in general
    position). A few draws per array, not one per entry: drawing dominates the
    run time otherwise.
    """
    count = math.prod(shape)
    pool = np.array(draw(POOL), dtype=np.float64)
    picks = np.frombuffer(draw(_bytes(count)), dtype=np.uint8)
    values = pool[picks % len(pool)]
    if draw(st.booleans()):
        noise = np.random.default_rng(draw(NOISE_SEED)).uniform(-10.0, 10.0, count)
        values = np.where(picks < 224, noise, values)
    return values.reshape(shape)


def draw_euclidean_distances(draw: Draw, n: int) -> Array:
    """The distance matrix of n points: a matrix `reconstruct` should invert."""
    points = draw_float64(draw, (n, draw(_below(3)) + 1))
    with np.errstate(all="ignore"):
        return np.sqrt(((points[:, None, :] - points[None, :, :]) ** 2).sum(-1))


OTHER_DTYPES: list[npt.DTypeLike] = [
    np.float32, np.float16, np.longdouble, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16,
    np.uint32, np.uint64, np.bool_, np.complex64, np.complex128, object, "U3", "S2", "datetime64[s]",
    "timedelta64[ms]", [("x", "f8")], np.dtype(np.float64).newbyteorder(),
]


def draw_other_array(draw: Draw) -> Array:
    """An array the matrix conversion must refuse: another dtype, or float64 of another rank."""
    ndim = pick(draw, [1, 3, 0, 2])
    shape = tuple(draw(_below(5)) for _ in range(ndim))
    if ndim != 2 and draw(st.booleans()):
        return draw_float64(draw, shape)
    return np.zeros(shape, dtype=pick(draw, OTHER_DTYPES))


class ArraySubclass(np.ndarray):
    """A plain ndarray subclass, as user code defines them."""


def _all_strides_negative(a: Array) -> Array:
    return np.flip(np.ascontiguousarray(np.flip(a)))


def _strided(a: Array) -> Array:
    step = tuple(slice(1, None, 2) for _ in a.shape)
    bigger = np.zeros(tuple(2 * s + 1 for s in a.shape), dtype=a.dtype)
    bigger[step] = a
    return bigger[step]


def _readonly(a: Array) -> Array:
    copy = a.copy()
    copy.flags.writeable = False
    return copy


def _unaligned(a: Array) -> Array:
    if a.dtype.hasobject:
        return a
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view: Array = np.ndarray(a.shape, dtype=a.dtype, buffer=raw, offset=1)
    view[...] = a
    return view


def _matrix(a: Array) -> Array:
    if a.ndim > 2:
        return a
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(a)


def _masked(a: Array) -> Array:
    return np.ma.masked_array(a, mask=(np.arange(a.size) % 3 == 1).reshape(a.shape))


def _broadcast(a: Array) -> Array:
    return np.broadcast_to(a[:1], a.shape) if a.ndim and a.shape[0] else a


LAYOUTS: dict[str, Callable[[Array], Array]] = {
    "c": lambda a: a,
    "fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "negative-strides": _all_strides_negative,
    "strided": _strided,
    "readonly": _readonly,
    "unaligned": _unaligned,
    "broadcast": _broadcast,  # zero row stride: every row is the first
    "matrix": _matrix,
    "masked": _masked,
    "subclass": lambda a: a.view(ArraySubclass),
}
LAYOUT_NAMES = list(LAYOUTS)


def draw_layout(draw: Draw, array: Array) -> Array:
    """The array in one of the memory layouts and subclasses NumPy offers."""
    return LAYOUTS[pick(draw, LAYOUT_NAMES)](array)


def not_arrays(base: Array) -> list[object]:
    """Array-likes that are not ndarrays: nested lists, tuples, scalars, buffers."""
    return [base.tolist(), tuple(map(tuple, base.tolist())), None, 1.0, "coords", np.float64(1.0), memoryview(base)]


# Zero-column arrays with more rows than any pair list could hold: free to make.
HUGE_ROW_COUNTS = [2**32 + 1, 2**40, 2**59]


def draw_matrix(draw: Draw, rows: int, cols: int, distances: bool = False) -> object:
    """A matrix argument: mostly float64 of the given shape in any layout, else anything."""
    branch = draw(_below(8))
    if branch < 5:
        euclidean = distances and rows == cols and draw(st.booleans())
        values = draw_euclidean_distances(draw, rows) if euclidean else draw_float64(draw, (rows, cols))
        return draw_layout(draw, values)
    if branch == 5:
        return draw_layout(draw, draw_other_array(draw))
    if branch == 6:
        return pick(draw, not_arrays(draw_float64(draw, (rows, cols))))
    return np.empty((pick(draw, HUGE_ROW_COUNTS), 0))


def draw_square_matrix(draw: Draw) -> object:
    """Mostly n x n, sometimes not square."""
    rows = draw(_below(13))
    cols = rows if draw(_below(3)) else draw(_below(13))
    return draw_matrix(draw, rows, cols, distances=True)


def draw_coordinates(draw: Draw, d: int | None) -> object:
    """Coordinates whose column count usually equals the intended d."""
    cols = d if d is not None and 0 <= d <= 4 and draw(_below(3)) else draw(_below(5))
    return draw_matrix(draw, draw(_below(13)), cols)


# --- binding ------------------------------------------------------------------

KEYWORD_NAMES = sorted({p for s in SIGNATURES.values() for p in s.parameters}) + [
    "k", "D", "Coords", "tol ", "", "é", "中", "self", "args", "kwargs", "\udc80", "a\x00b",
]
EXTRA_VALUES: list[object] = [0, 2, None, "x", 1.5, np.zeros((3, 2))]
MISTAKES = ["missing", "surplus-positional", "unknown-keyword", "duplicate"]


def _insert_keyword(draw: Draw, kwargs: dict[str, object], key: str) -> dict[str, object]:
    items = list(kwargs.items())
    items.insert(draw(_below(len(items) + 1)), (key, pick(draw, EXTRA_VALUES)))
    return dict(items)


def arrange(draw: Draw, signature: Signature, values: Values) -> Call:
    """Bind `values` to a call: a positional prefix, the rest as keywords in any order, maybe mistakes."""
    params = signature.parameters
    present = list(params[: signature.required]) + [p for p in params[signature.required :] if draw(st.booleans())]
    split = draw(_below(len(present) + 1))
    args = [values[p] for p in present[:split]]
    kwargs = {p: values[p] for p in shuffled(draw, present[split:])}
    for _ in range(pick(draw, [0] * 13 + [1, 1, 2])):
        mistake = pick(draw, MISTAKES)
        if mistake == "missing":
            if kwargs and (not args or draw(st.booleans())):
                del kwargs[pick(draw, list(kwargs))]
            elif args:
                args.pop()
        elif mistake == "surplus-positional":
            args = [values[p] for p in params] + [pick(draw, EXTRA_VALUES) for _ in range(draw(_below(2)) + 1)]
            kwargs = {k: v for k, v in kwargs.items() if draw(st.booleans())}
        elif mistake == "unknown-keyword":
            kwargs = _insert_keyword(draw, kwargs, pick(draw, [k for k in KEYWORD_NAMES if k not in params]))
        elif args:  # a positional parameter named again
            kwargs = _insert_keyword(draw, kwargs, params[draw(_below(min(len(args), len(params))))])
    return Call(signature.name, tuple(args), kwargs)


# --- the six functions' argument sets ---------------------------------------------


def simulate_values(draw: Draw) -> Values:
    d, spelled = draw_dimension(draw)
    return {"coords": draw_coordinates(draw, d), "d": spelled, "tol": draw_tolerance(draw)}


def pebble_values(draw: Draw) -> Values:
    d, spelled = draw_dimension(draw)
    return {"coords": draw_coordinates(draw, d), "d": spelled}


def gram_values(draw: Draw) -> Values:
    return {"dist": draw_square_matrix(draw)}


def reconstruct_values(draw: Draw) -> Values:
    return {"distance_matrix": draw_square_matrix(draw), "d": draw_dimension(draw)[1], "tol": draw_tolerance(draw)}


def max_independent_values(draw: Draw) -> Values:
    return {"n": draw_integer(draw, 12)[1], "d": draw_dimension(draw)[1]}


ANY_SEED = st.integers(0, U64_MAX)


def batch_values(draw: Draw) -> Values:
    return {
        "n_graphs": draw_integer(draw, 4, medium=False)[1],
        "n_nodes": draw_integer(draw, 12, medium=False)[1],
        "d": draw_dimension(draw, medium=False)[1],
        "seed": draw(ANY_SEED) if draw(st.booleans()) else draw_integer(draw, 3)[1],
    }


VALUES: dict[str, Callable[[Draw], Values]] = {
    "simulate": simulate_values,
    "gram_from_dist": gram_values,
    "generate_training_batch": batch_values,
    "max_independent": max_independent_values,
    "reconstruct": reconstruct_values,
    "pebble_game": pebble_values,
}


@st.composite
def calls(draw: st.DrawFn, function: str) -> Call:
    """Calls of `function` with generated arguments and bindings."""
    return arrange(draw, SIGNATURES[function], VALUES[function](draw))
