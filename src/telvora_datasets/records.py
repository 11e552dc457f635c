"""Columns of a shard built from the module's batch, and records read back from them."""

import numpy as np

from .points import _MASK, framework_points, framework_seeds

# Frameworks per call of the batch: the batch holds every result (with its n x n distance
# matrix) until it returns, so large frameworks are asked for in smaller calls.
_BATCH_BYTES = 32 << 20


def candidate_edges(n_nodes):
    """The candidate edges (i, j), i < j, in lexicographic order, as an (m, 2) int64 array."""
    i, j = np.triu_indices(n_nodes, 1)
    return np.stack([i, j], axis=1).astype(np.int64)


def build_columns(seed, start, count, n_nodes, d):
    """Columns of frameworks start .. start + count - 1 of the dataset seeded with seed."""
    import telvora  # only generation needs the compiled module

    edges = n_nodes * (n_nodes - 1) // 2
    upper = np.triu_indices(n_nodes, 1)
    labels = np.empty((count, edges), dtype=np.uint8)
    distances = np.empty((count, edges), dtype=np.float64)
    final_rank = np.empty(count, dtype=np.int64)
    max_rank = np.empty(count, dtype=np.int64)
    is_rigid = np.empty(count, dtype=np.bool_)

    per_framework = 8 * n_nodes * n_nodes + 128 * n_nodes * d + edges
    chunk = max(1, _BATCH_BYTES // per_framework)
    for first in range(0, count, chunk):
        size = min(chunk, count - first)
        batch = telvora.generate_training_batch(size, n_nodes, d, (seed + start + first) & _MASK)
        rows = slice(first, first + size)
        labels[rows] = np.stack([result["labels"] for result in batch])
        distances[rows] = np.stack([result["distance_matrix"][upper] for result in batch])
        final_rank[rows] = [result["final_rank"] for result in batch]
        max_rank[rows] = [result["max_rank"] for result in batch]
        is_rigid[rows] = [result["is_rigid"] for result in batch]
        del batch

    seeds = framework_seeds(seed, start, count)
    return {
        "seed": seeds,
        "n_nodes": np.full(count, n_nodes, dtype=np.int64),
        "d": np.full(count, d, dtype=np.int64),
        "coords": framework_points(seeds, n_nodes, d),
        "labels": labels,
        "distances": distances,
        "final_rank": final_rank,
        "max_rank": max_rank,
        "is_rigid": is_rigid,
    }


def iter_records(columns):
    """One dict per framework of a shard's columns; the arrays are views into the columns."""
    for k in range(len(columns["seed"])):
        yield {
            "seed": int(columns["seed"][k]),
            "n_nodes": int(columns["n_nodes"][k]),
            "d": int(columns["d"][k]),
            "coords": columns["coords"][k],
            "labels": columns["labels"][k],
            "distances": columns["distances"][k],
            "final_rank": int(columns["final_rank"][k]),
            "max_rank": int(columns["max_rank"][k]),
            "is_rigid": bool(columns["is_rigid"][k]),
        }
