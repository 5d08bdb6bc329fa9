"""Type information for tarvel_tools._native, the native core of tarvel_tools.rigidity.

Its arguments are prepared by that module: C-contiguous int64 edge arrays of
shape (m, 2), float64 positions of shape (n, d), and checked integers.
"""

from typing import TypedDict, final

import numpy as np
import numpy.typing as npt

@final
class ResultBuffer:
    """Memory of a result, for numpy.asarray; made only by this module."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

class BarLabelResult(TypedDict):
    labels: ResultBuffer
    rank: int
    max_rank: int

class PebbleGameNative(TypedDict):
    labels: ResultBuffer
    edge_component: ResultBuffer
    component_offsets: ResultBuffer
    component_nodes: ResultBuffer
    dof: int
    is_rigid: bool
    is_minimally_rigid: bool

def label_bars(positions: npt.NDArray[np.float64], edges: npt.NDArray[np.int64], tol: float, /) -> BarLabelResult: ...
def generic_labels(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> BarLabelResult: ...
def pebble_game(n: int, edges: npt.NDArray[np.int64], k: int, l: int, /) -> PebbleGameNative: ...
def is_redundantly_rigid(n: int, edges: npt.NDArray[np.int64], /) -> bool: ...
def is_globally_rigid(n: int, edges: npt.NDArray[np.int64], /) -> bool: ...
