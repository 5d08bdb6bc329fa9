"""Tools around the tarvel extension: rigidity of any graph, seeded graph models
for training data, batch positions, graph-learning export, sharded datasets, pictures of frameworks and
reconstruction checks.

NumPy and SciPy are required; Parquet datasets need pyarrow and tqdm (the
``dataset`` extra), cluster runs Dask (``dask``), pictures matplotlib
(``plot``) and PyTorch Geometric objects torch_geometric (``pyg``).
"""

from importlib import metadata

from .checks import procrustes_rmse
from .dataset import read_dataset, summarize, verify_dataset, write_dataset
from .frameworks import infinitesimal_flexes, rigidity_matrix, self_stresses, stress_matrix
from .graph import to_graph_arrays, to_pyg
from .models import generate_graph_batch, model_parameters
from .plot import plot_framework, plot_realization, plot_reconstruction, plot_rigid_components
from .positions import batch_positions
from .realization import classical_mds, localization_bound, realize
from .rigidity import (
    fundamental_circuit,
    generic_labels,
    is_circuit,
    is_globally_rigid,
    is_independent,
    is_k_redundantly_rigid,
    is_minimally_rigid,
    is_redundantly_rigid,
    is_rigid,
    is_vertex_redundantly_rigid,
    label_bars,
    pebble_game,
    rigid_components,
    rigidity_closure,
)

try:
    __version__ = metadata.version("tarvel")
except metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "batch_positions",
    "classical_mds",
    "fundamental_circuit",
    "generate_graph_batch",
    "generic_labels",
    "infinitesimal_flexes",
    "is_circuit",
    "is_globally_rigid",
    "is_independent",
    "is_k_redundantly_rigid",
    "is_minimally_rigid",
    "is_redundantly_rigid",
    "is_rigid",
    "is_vertex_redundantly_rigid",
    "label_bars",
    "localization_bound",
    "model_parameters",
    "pebble_game",
    "plot_framework",
    "plot_realization",
    "plot_reconstruction",
    "plot_rigid_components",
    "procrustes_rmse",
    "read_dataset",
    "realize",
    "rigid_components",
    "rigidity_closure",
    "rigidity_matrix",
    "self_stresses",
    "stress_matrix",
    "summarize",
    "to_graph_arrays",
    "to_pyg",
    "verify_dataset",
    "write_dataset",
]
