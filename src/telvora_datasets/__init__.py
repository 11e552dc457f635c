"""Sharded, reproducible datasets of labelled random frameworks built on telvora.

Importing this package loads neither the compiled module (only generating needs it) nor
pyarrow, dask or torch (each is loaded by the feature that needs it).
"""

__version__ = "0.1.0"

from .errors import DatasetError, MissingExtraError
from .points import framework_points, framework_seeds
from .reader import load, read_manifest
from .records import candidate_edges
from .writer import Report, generate
from .pyg import to_pyg

__all__ = ["DatasetError", "MissingExtraError", "Report", "RigidityDataset", "candidate_edges", "framework_points",
           "framework_seeds", "generate", "load", "plot_dataset_summary", "plot_framework", "plot_pebble_comparison",
           "read_manifest", "to_pyg"]

_PLOTTING = ("plot_framework", "plot_pebble_comparison", "plot_dataset_summary")


def __getattr__(name):
    if name == "RigidityDataset":
        from . import pyg

        return pyg.RigidityDataset
    if name in _PLOTTING:  # matplotlib is loaded only when a picture is asked for
        from . import plotting

        return getattr(plotting, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
