"""Rigid clusters of molecules: the body-bar-hinge network of a structure (every atom a body,
every covalent bond a hinge of five bars, hydrogen bonds with an energy, salt bridges and
hydrophobic tethers), its (6, 6) pebble game, and the hydrogen-bond dilution in one sweep.

    >>> import numpy as np
    >>> import telvora_molecules as tm
    >>> ring = [(np.cos(a), np.sin(a), 0.0) for a in np.arange(6) * np.pi / 3]
    >>> atoms = tm.from_coordinates(["C"] * 6, np.array(ring) * 1.39)        # a benzene ring of carbons
    >>> network = tm.build_network(atoms, hydrogen_bonds=False, salt_bridges=False, hydrophobic=False)
    >>> tm.rigid_clusters(network).tolist()
    [0, 0, 0, 0, 0, 0]
"""

from .atoms import Atoms, StructureError, from_coordinates, read_structure
from .network import Bars, Kind, Network, Topology, build_network, covalent_bonds, covalent_topology
from .rigidity import Dilution, dilute, rigid_clusters
from .trajectory import TrajectoryClusters, analyze_trajectory

__all__ = ["Atoms", "Bars", "Dilution", "Kind", "Network", "StructureError", "Topology", "TrajectoryClusters",
           "analyze_trajectory", "build_network", "covalent_bonds", "covalent_topology", "dilute", "from_coordinates",
           "read_structure", "rigid_clusters"]
