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

class BatchGeneratorConstants(TypedDict):
    multiplier: int
    increment: int
    shift: int
    divisor: float
    coordinate_scale: float

BATCH_GENERATOR: BatchGeneratorConstants

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

class GraphBatchBuffers(TypedDict, total=False):
    positions: ResultBuffer
    edges: ResultBuffer
    edge_offsets: ResultBuffer
    labels: ResultBuffer
    rank: ResultBuffer
    dof: ResultBuffer
    edge_component: ResultBuffer
    components: list[list[list[int]]]

def label_bars(
    positions: npt.NDArray[np.float64], edges: npt.NDArray[np.int64], tol: float, arithmetic: int, /
) -> BarLabelResult: ...
def generic_labels(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> BarLabelResult: ...
def pebble_game(n: int, edges: npt.NDArray[np.int64], k: int, l: int, /) -> PebbleGameNative: ...
def is_redundantly_rigid(n: int, edges: npt.NDArray[np.int64], /) -> bool: ...
def is_rigid(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> bool: ...
def is_minimally_rigid(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> bool: ...
def is_globally_rigid(n: int, edges: npt.NDArray[np.int64], /) -> bool: ...
def rigid_rank(n: int, d: int, /) -> int: ...
class GraphBatchRequest(TypedDict):
    labels: int
    tol: float
    model: int
    m: int
    p: float
    radius: float
    k: int
    split_probability: float
    removed_bars: int
    extra_bars: int
    points: int
    grid_side: int
    groups: int
    cluster_radius: float
    arithmetic: int

def generate_graph_batch(n_graphs: int, n_nodes: int, d: int, seed: int, request: GraphBatchRequest, /) -> GraphBatchBuffers: ...

class CircuitBarsNative(TypedDict):
    labels: ResultBuffer
    in_circuit: ResultBuffer
    rank: int
    max_rank: int

class ClosureComponentsNative(TypedDict):
    edge_component: ResultBuffer
    component_offsets: ResultBuffer
    component_nodes: ResultBuffer

def stress_globally_rigid(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> bool: ...
def circuit_bars(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> CircuitBarsNative: ...
def fundamental_circuit(n: int, edges: npt.NDArray[np.int64], bar: int, d: int, seed: int, /) -> ResultBuffer: ...
def rigidity_closure(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> ResultBuffer: ...
def closure_components(n: int, edges: npt.NDArray[np.int64], d: int, seed: int, /) -> ClosureComponentsNative: ...
def centred_gram_product(dist: npt.NDArray[np.float64], block: npt.NDArray[np.float64], /) -> ResultBuffer: ...
def kruskal_stress(dist: npt.NDArray[np.float64], coords: npt.NDArray[np.float64], /) -> float: ...
def is_plane_circuit(n: int, edges: npt.NDArray[np.int64], /) -> bool: ...
def plane_closure(n: int, edges: npt.NDArray[np.int64], byte_limit: float, /) -> ResultBuffer: ...
def k_redundantly_rigid(n: int, edges: npt.NDArray[np.int64], k: int, /) -> bool: ...
