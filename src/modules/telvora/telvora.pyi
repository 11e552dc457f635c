"""Type stubs for the telvora extension module."""

from typing import Final, SupportsFloat, SupportsIndex, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__: Final[list[str]]

class SimulationResult(TypedDict):
    labels: NDArray[np.uint8]
    accepted_edges: list[tuple[int, int]]
    distance_matrix: NDArray[np.float64]
    final_rank: int
    max_rank: int
    is_rigid: bool
    n_nodes: int
    d: int

class ReconstructionResult(TypedDict):
    coords: NDArray[np.float64]
    stress: float
    eigenvalues: NDArray[np.float64]
    is_isometric: bool

class PebbleGameResult(TypedDict):
    labels: NDArray[np.uint8]
    accepted_edges: list[tuple[int, int]]
    n_nodes: int
    d: int

def simulate(coords: NDArray[np.float64], d: SupportsIndex, tol: SupportsFloat | SupportsIndex | None = None) -> SimulationResult: ...
def gram_from_dist(dist: NDArray[np.float64]) -> NDArray[np.float64]: ...
def generate_training_batch(
    n_graphs: SupportsIndex, n_nodes: SupportsIndex, d: SupportsIndex, seed: SupportsIndex
) -> list[SimulationResult]: ...
def max_independent(n: SupportsIndex, d: SupportsIndex) -> int: ...
def reconstruct(
    distance_matrix: NDArray[np.float64], d: SupportsIndex, tol: SupportsFloat | SupportsIndex | None = None
) -> ReconstructionResult: ...
def pebble_game(coords: NDArray[np.float64], d: SupportsIndex) -> PebbleGameResult: ...
