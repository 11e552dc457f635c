"""A short tour of telvora on real input: a braced square, a random batch, and more."""

import numpy as np

import telvora


def show_simulation():
    # A unit square with one diagonal is rigid in the plane; the second diagonal is redundant.
    square = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])
    result = telvora.simulate(square, 2)
    print("simulate: unit square in 2-D")
    for (i, j), label in zip(((i, j) for i in range(4) for j in range(i + 1, 4)), result["labels"]):
        print(f"  bar {i}-{j}: {'independent' if label else 'redundant'}")
    print(f"  rank {result['final_rank']} of {result['max_rank']}, rigid: {result['is_rigid']}")

    # Three collinear points cannot be braced by bars alone.
    line = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]])
    flat = telvora.simulate(line, 2)
    print(f"simulate: three collinear points -> labels {flat['labels'].tolist()}, rigid: {flat['is_rigid']}")


def show_batch():
    batch = telvora.generate_training_batch(n_graphs=200, n_nodes=8, d=3, seed=2026)
    rigid = sum(result["is_rigid"] for result in batch)
    mean_rank = np.mean([result["final_rank"] for result in batch])
    labels = np.concatenate([result["labels"] for result in batch])
    print("generate_training_batch: 200 random frameworks of 8 points in 3-D (seed 2026)")
    print(f"  rigid share {rigid / len(batch):.2f}, mean rank {mean_rank:.2f} of {telvora.max_independent(8, 3)}")
    print(f"  {labels.size} labelled bars, {labels.mean():.1%} independent")


def show_pebble_game():
    points = np.random.default_rng(7).random((12, 2))
    by_rank = telvora.simulate(points, 2)["labels"]
    by_pebbles = telvora.pebble_game(points, 2)["labels"]
    agree = int((by_rank == by_pebbles).sum())
    print(f"pebble_game: 12 random points in 2-D, {agree} of {by_rank.size} bar labels agree with simulate")


def show_reconstruction():
    points = np.array([[0.0, 0.0, 0.0], [3.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 5.0], [1.0, 1.0, 1.0]])
    distances = telvora.simulate(points, 3)["distance_matrix"]
    result = telvora.reconstruct(distances, 3)
    rebuilt = telvora.simulate(result["coords"], 3)["distance_matrix"]
    print("reconstruct: five points in 3-D from their distances")
    print(f"  stress {result['stress']:.1e}, isometric: {result['is_isometric']}, "
          f"largest distance error {np.abs(rebuilt - distances).max():.1e}")
    print(f"  leading Gram eigenvalues {np.round(result['eigenvalues'], 3).tolist()}")


def main():
    print(f"max_independent(10, 3) = {telvora.max_independent(10, 3)}")
    show_simulation()
    show_batch()
    show_pebble_game()
    show_reconstruction()


if __name__ == "__main__":
    main()
