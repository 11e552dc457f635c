"""Rigidity of any graph: generic (exact over a prime field, with a bound on the chance of error)
or at given positions, one graph or a batch of many small ones.

    >>> import telvora_graphs as tg
    >>> r = tg.rigidity([(0, 1), (1, 2), (2, 0), (2, 3), (3, 0)])  # two triangles sharing an edge
    >>> r.is_rigid, r.dof, r.is_globally_rigid
    (True, 0, False)
"""

from importlib.metadata import PackageNotFoundError, version

from .compute import (graph_seed, motions, pebble_game, rigid_components, rigid_components_batch, rigidity,
                      rigidity_batch, rigidity_sweep, stresses)
from .inputs import CoordsLike, EdgesLike, GraphLike
from .lattices import triangular_lattice
from .results import ComponentsBatch, Mode, Motions, Pebbles, Rigidity, RigidityBatch, Stresses, Sweep

try:
    __version__: str = version("telvora")  # one distribution ships telvora, its datasets and this package
except PackageNotFoundError:  # pragma: no cover - a source tree without the distribution installed
    __version__ = "0+unknown"

__all__ = ["ComponentsBatch", "CoordsLike", "EdgesLike", "GraphLike", "Mode", "Motions", "Pebbles", "Rigidity",
           "RigidityBatch", "Stresses", "Sweep", "graph_seed", "motions", "pebble_game", "rigid_components",
           "rigid_components_batch", "rigidity", "rigidity_batch", "rigidity_sweep", "stresses", "triangular_lattice"]
