"""Node coordinates of the frameworks in a `tarvel.generate_training_batch`.

The batch stores labels and distances but not where the nodes were.  Every
graph's nodes come from a 64-bit linear congruential generator seeded with
``(seed + k) mod 2**64`` for graph k, so they can be recomputed bit for bit
here, for a whole batch at once, without calling the extension (whose
generator constants `tarvel_tools._native` provides).

Draw t of a generator (t = 1, 2, ...) comes from the state ``f^t(s)`` where
``f(s) = A*s + C (mod 2**64)`` and s is the graph's starting state.  ``f^t``
is itself affine, ``f^t(s) = a_t*s + c_t``, so the states of every graph and
every draw are one broadcast multiply-add once the coefficients (a_t, c_t)
are known; those come from composing the step with itself by doubling.
"""

from __future__ import annotations

import operator

import numpy as np
import numpy.typing as npt

from ._native import BATCH_GENERATOR

__all__ = ["batch_positions", "graph_positions"]

_MULTIPLIER: int = BATCH_GENERATOR["multiplier"]
_INCREMENT: int = BATCH_GENERATOR["increment"]
_SHIFT = np.uint64(BATCH_GENERATOR["shift"])  # a draw keeps the state's top 31 bits
_DIVISOR: float = BATCH_GENERATOR["divisor"]  # 2**32 - 1: coordinates fill [0, 5), not [0, 10)
_SCALE: float = BATCH_GENERATOR["coordinate_scale"]
_UINT64_LIMIT = 2**64

# Graphs per chunk are chosen so that one chunk's uint64 states take about
# this many elements (8 MiB); the float64 result is written in place.
_CHUNK_ELEMENTS = 1 << 20

Uint64Array = npt.NDArray[np.uint64]
Float64Array = npt.NDArray[np.float64]


def batch_positions(n_graphs: int, n_nodes: int, d: int, seed: int) -> Float64Array:
    """Return the node coordinates of every graph of a training batch.

    ``batch_positions(n_graphs, n_nodes, d, seed)[k]`` is, bit for bit, the
    ``(n_nodes, d)`` coordinate matrix from which graph k of
    ``tarvel.generate_training_batch(n_graphs, n_nodes, d, seed)`` was made,
    so ``tarvel.simulate(positions[k], d)`` reproduces that graph's
    dictionary (for ``n_nodes >= d + 1``, which `simulate` requires).

    Arguments are integers (anything with ``__index__`` except ``bool``)
    in ``[0, 2**64)``, like the extension's; ``d`` must be 2 or 3.
    ``n_nodes = 0`` gives an empty ``(n_graphs, 0, d)`` array.

    Returns a float64 array of shape ``(n_graphs, n_nodes, d)``, every value
    in ``[0, 5)``.  It holds ``n_graphs * n_nodes * d`` doubles; the work is
    done in chunks of graphs so that temporaries stay small.

    Raises
    ------
    TypeError
        an argument is not an integer.
    ValueError
        an argument is negative or not below ``2**64``.
    ValueError
        ``d`` is neither 2 nor 3.
    """
    n_graphs = _as_uint64_int(n_graphs, "n_graphs")
    n_nodes = _as_uint64_int(n_nodes, "n_nodes")
    d = _as_dimension(d)
    seed = _as_uint64_int(seed, "seed")

    draws = n_nodes * d
    positions = np.empty((n_graphs, draws), dtype=np.float64)
    if draws == 0 or n_graphs == 0:
        return positions.reshape(n_graphs, n_nodes, d)

    multipliers, increments = _step_powers(draws)
    graphs_per_chunk = max(1, _CHUNK_ELEMENTS // draws)
    for first in range(0, n_graphs, graphs_per_chunk):
        last = min(first + graphs_per_chunk, n_graphs)
        starts = _starting_states(seed, first, last)
        _fill_coordinates(positions[first:last], starts, multipliers, increments)
    return positions.reshape(n_graphs, n_nodes, d)


def graph_positions(seed: int, k: int, n_nodes: int, d: int) -> Float64Array:
    """Return the ``(n_nodes, d)`` coordinates of graph ``k`` of a batch made with ``seed``.

    Equal to ``batch_positions(k + 1, n_nodes, d, seed)[k]`` without making
    the k graphs before it: graph k of seed s is graph 0 of seed
    ``(s + k) mod 2**64``.  Arguments are checked as in `batch_positions`.
    """
    seed = _as_uint64_int(seed, "seed")
    k = _as_uint64_int(k, "k")
    graph: Float64Array = batch_positions(1, n_nodes, d, (seed + k) % _UINT64_LIMIT)[0]
    return graph


def _step_powers(count: int) -> tuple[Uint64Array, Uint64Array]:
    """Coefficients (a_t, c_t) of ``f^t(s) = a_t*s + c_t`` for t = 1 .. count.

    Knowing f^1 .. f^m, the next m follow from ``f^(m+t) = f^t o f^m``:
    ``a_(m+t) = a_t*a_m`` and ``c_(m+t) = a_t*c_m + c_t``.  Array arithmetic
    on uint64 wraps modulo 2**64, which is the generator's own arithmetic.
    """
    multipliers = np.empty(count, dtype=np.uint64)
    increments = np.empty(count, dtype=np.uint64)
    multipliers[0] = _MULTIPLIER
    increments[0] = _INCREMENT
    known = 1
    while known < count:
        new = min(known, count - known)
        a_m = multipliers[known - 1 : known]
        c_m = increments[known - 1 : known]
        multipliers[known : known + new] = multipliers[:new] * a_m
        increments[known : known + new] = multipliers[:new] * c_m + increments[:new]
        known += new
    return multipliers, increments


def _starting_states(seed: int, first: int, last: int) -> Uint64Array:
    """States ``(seed + k) mod 2**64`` of graphs k = first .. last - 1."""
    offsets = np.arange(first, last, dtype=np.uint64)
    return offsets + np.array([seed], dtype=np.uint64)


def _fill_coordinates(
    out: Float64Array, starts: Uint64Array, multipliers: Uint64Array, increments: Uint64Array
) -> None:
    """Write draw t of each graph's generator, mapped to a coordinate, into ``out[:, t]``."""
    states = np.multiply(starts[:, np.newaxis], multipliers[np.newaxis, :])
    states += increments
    states >>= _SHIFT  # the top 31 bits, exact in a float64
    out[...] = states
    # Divide first, then scale: one multiplication by 10/(2**32 - 1) rounds differently.
    out /= _DIVISOR
    out *= _SCALE


def _as_uint64_int(value: int, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 <= number < _UINT64_LIMIT:
        raise ValueError(f"{name} must lie in [0, 2**64), got {number}")
    return number


def _as_dimension(value: int) -> int:
    d = _as_uint64_int(value, "d")
    if d not in (2, 3):
        raise ValueError("d must be 2 or 3")
    return d
