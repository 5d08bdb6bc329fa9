"""Type information for the `tarvel` extension module."""

from typing import Final, TypedDict

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

class SimulationResult(TypedDict):
    labels: npt.NDArray[np.uint8]
    accepted_edges: list[tuple[int, int]]
    distance_matrix: npt.NDArray[np.float64]
    final_rank: int
    max_rank: int
    is_rigid: bool
    n_nodes: int
    d: int

class Reconstruction(TypedDict):
    coords: npt.NDArray[np.float64]
    stress: float
    eigenvalues: npt.NDArray[np.float64]
    is_isometric: bool

class PebbleGameResult(TypedDict):
    labels: npt.NDArray[np.uint8]
    accepted_edges: list[tuple[int, int]]
    n_nodes: int
    d: int

def simulate(coords: npt.NDArray[np.float64], d: int, tol: float | None = None) -> SimulationResult:
    """Run the rigidity simulation using the fast-path algorithm."""

def gram_from_dist(dist: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Compute the Gram matrix from an Euclidean distance matrix using double-centering."""

def generate_training_batch(n_graphs: int, n_nodes: int, d: int, seed: int) -> list[SimulationResult]:
    """Generate a batch of random simulation results for GNN training."""

def max_independent(n: int, d: int) -> int:
    """Max independent edges for n nodes in d dimensions: nd − d(d+1)/2"""

def reconstruct(
    distance_matrix: npt.NDArray[np.float64], d: int, tol: float | None = None
) -> Reconstruction:
    """Reconstruct node coordinates from a Euclidean distance matrix (Classical MDS)."""

def pebble_game(coords: npt.NDArray[np.float64], d: int) -> PebbleGameResult:
    """Run the Pebble Game algorithm — O(n^2), deterministic, no matrix rank needed."""
