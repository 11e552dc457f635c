"""Type stubs for telvora_graphs._native, the compiled routines behind telvora_graphs."""

from typing import Final, NotRequired, SupportsFloat, SupportsIndex, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__: Final[list[str]]

class GraphResult(TypedDict):
    labels: NDArray[np.uint8]
    redundant: NDArray[np.bool_]
    rank: int
    max_rank: int
    is_rigid: bool
    is_redundantly_rigid: bool
    is_globally_rigid: bool | None
    tol: float | None
    error_bound: float | None

class BatchResult(TypedDict):
    labels: NDArray[np.uint8]
    redundant: NDArray[np.bool_]
    rank: NDArray[np.int64]
    max_rank: NDArray[np.int64]
    is_rigid: NDArray[np.bool_]
    is_globally_rigid: NotRequired[NDArray[np.bool_]]

class ComponentsBatchResult(TypedDict):
    offsets: NDArray[np.int64]
    members: NDArray[np.int64]
    edge_component: NotRequired[NDArray[np.int64]]

class PebbleResult(TypedDict):
    labels: NDArray[np.uint8]
    components: list[NDArray[np.int64]]
    free_pebbles: int
    is_tight: bool

class SweepResult(TypedDict):
    labels: NDArray[np.uint8]
    largest: NDArray[np.int64]
    components: NDArray[np.int64]
    snapshot_offsets: NDArray[np.int64]
    snapshot_pairs: NDArray[np.int64]

class BasisResult(TypedDict):
    basis: NDArray[np.float64]
    residuals: NDArray[np.float64]
    tol: float
    coords: NDArray[np.float64]

def motions(
    edges: NDArray[np.int64],
    coords: NDArray[np.float64] | None,
    n: SupportsIndex,
    d: SupportsIndex,
    seed: SupportsIndex,
    tol: SupportsFloat | SupportsIndex | None = None,
    trivial: SupportsIndex = 0,
) -> BasisResult: ...
def stresses(
    edges: NDArray[np.int64],
    coords: NDArray[np.float64] | None,
    n: SupportsIndex,
    d: SupportsIndex,
    seed: SupportsIndex,
    tol: SupportsFloat | SupportsIndex | None = None,
) -> BasisResult: ...
def pebble_game(edges: NDArray[np.int64], n: SupportsIndex, k: SupportsIndex, l: SupportsIndex) -> PebbleResult: ...
def rigidity_sweep(
    edges: NDArray[np.int64], n: SupportsIndex, k: SupportsIndex, l: SupportsIndex, snapshots: NDArray[np.int64]
) -> SweepResult: ...
def generic_components(
    edges: NDArray[np.int64], n: SupportsIndex, d: SupportsIndex, seed: SupportsIndex
) -> list[NDArray[np.int64]]: ...
def numeric_components(
    edges: NDArray[np.int64], coords: NDArray[np.float64], tol: SupportsFloat | SupportsIndex | None = None
) -> list[NDArray[np.int64]]: ...
def generic(
    edges: NDArray[np.int64], n: SupportsIndex, d: SupportsIndex, seed: SupportsIndex, field: SupportsIndex = 0
) -> GraphResult: ...
def numeric(
    edges: NDArray[np.int64], coords: NDArray[np.float64], tol: SupportsFloat | SupportsIndex | None = None
) -> GraphResult: ...
def generic_batch(
    edges: NDArray[np.int64],
    offsets: NDArray[np.int64],
    n: NDArray[np.int64],
    d: SupportsIndex,
    seed: SupportsIndex,
    global_rigidity: SupportsIndex = 0,
    field: SupportsIndex = 0,
) -> BatchResult: ...
def numeric_batch(
    edges: NDArray[np.int64],
    offsets: NDArray[np.int64],
    n: NDArray[np.int64],
    coords: NDArray[np.float64],
    tol: SupportsFloat | SupportsIndex | None = None,
) -> BatchResult: ...
def generic_components_batch(
    edges: NDArray[np.int64], offsets: NDArray[np.int64], n: NDArray[np.int64], d: SupportsIndex, seed: SupportsIndex
) -> ComponentsBatchResult: ...
def numeric_components_batch(
    edges: NDArray[np.int64],
    offsets: NDArray[np.int64],
    n: NDArray[np.int64],
    coords: NDArray[np.float64],
    tol: SupportsFloat | SupportsIndex | None = None,
) -> ComponentsBatchResult: ...
