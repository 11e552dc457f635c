"""Checked by mypy in the test suite: every function of telvora used as a typed caller would."""

import numpy as np
from numpy.typing import NDArray

import telvora


def rigid_share(batch: list[telvora.SimulationResult]) -> float:
    return sum(result["is_rigid"] for result in batch) / max(len(batch), 1)


def main() -> None:
    points: NDArray[np.float64] = np.random.default_rng(0).random((6, 2))
    result = telvora.simulate(points, 2, tol=1e-9)
    labels: NDArray[np.uint8] = result["labels"]
    edges: list[tuple[int, int]] = result["accepted_edges"]
    rank: int = result["final_rank"] + result["max_rank"]
    gram: NDArray[np.float64] = telvora.gram_from_dist(result["distance_matrix"])
    batch = telvora.generate_training_batch(3, 5, 2, seed=7)
    share: float = rigid_share(batch)
    bound: int = telvora.max_independent(10, 3)
    rebuilt = telvora.reconstruct(result["distance_matrix"], 2)
    stress: float = rebuilt["stress"]
    coords: NDArray[np.float64] = rebuilt["coords"]
    isometric: bool = rebuilt["is_isometric"]
    pebbles = telvora.pebble_game(points, 2)
    agree = bool((pebbles["labels"] == labels).all())
    print(len(edges), rank, gram.shape, share, bound, stress, coords.shape, isometric, agree)


if __name__ == "__main__":
    main()
