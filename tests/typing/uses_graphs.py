"""Checked by mypy in the test suite: telvora_graphs used as a typed caller would."""

import numpy as np
from numpy.typing import NDArray

import telvora_graphs as tg


def main() -> None:
    result: tg.Rigidity = tg.rigidity([(0, 1), (1, 2), (2, 0)], 2, n=4, seed=3)
    labels: NDArray[np.uint8] = result.labels
    redundant: NDArray[np.bool_] = result.redundant
    basis: NDArray[np.int64] = result.independent_edges
    circuits: NDArray[np.int64] = result.redundant_edges
    globally: bool | None = result.is_globally_rigid
    bound: float | None = result.error_bound
    mode: tg.Mode = result.mode
    points = np.random.default_rng(0).random((3, 2))
    numeric = tg.rigidity(np.array([[0, 1], [1, 2]]), coords=points, tol=None)
    tol: float | None = numeric.tol
    batch: tg.RigidityBatch = tg.rigidity_batch(np.zeros((0, 2), np.int64), [0, 0], [3], d=3, seed=2**64 - 1)
    ranks: NDArray[np.int64] = batch.rank
    rigid: NDArray[np.bool_] = batch.is_rigid
    seed: int = tg.graph_seed(2**64 - 1, 1)
    every_globally: NDArray[np.bool_] | None = tg.rigidity_batch([(0, 1)], [0, 1], 2, global_rigidity=True).is_globally_rigid
    parts: tg.ComponentsBatch = tg.rigid_components_batch([(0, 1), (1, 2)], [0, 2], [3])
    first: list[NDArray[np.int64]] = parts.components(0)
    per_edge: NDArray[np.int64] | None = parts.edge_component
    print(labels, redundant, basis, circuits, globally, bound, mode, tol, ranks, rigid, seed, batch.n_graphs,
          every_globally, first, per_edge, parts.members)
