"""Close pairs of points by a cell grid, and the angles the hydrogen-bond potential needs."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray


def close_pairs(coords: NDArray[np.float64], cutoff: float, group: NDArray[np.int64] | None = None,
                subset: NDArray[np.bool_] | None = None) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Pairs (i, j), i < j, of points at most `cutoff` apart, sorted; only within one `group`
    (models lie on top of each other) and, with `subset`, only among the points it marks.

    Points go into cubic cells of side `cutoff`; each pair of points in the same or neighbouring
    cells is tested once, so the work grows with the number of atoms, not its square.
    """
    index = np.arange(len(coords), dtype=np.int64) if subset is None else np.flatnonzero(subset).astype(np.int64)
    if len(index) < 2:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty.copy()
    xyz = coords[index]
    cells = np.floor((xyz - xyz.min(axis=0)) / cutoff).astype(np.int64)
    dims = cells.max(axis=0) + 3  # one empty layer on each side so neighbour keys never wrap
    cells += 1
    g = np.zeros(len(index), dtype=np.int64) if group is None else group[index]
    key = ((g * dims[0] + cells[:, 0]) * dims[1] + cells[:, 1]) * dims[2] + cells[:, 2]
    order = np.argsort(key, kind="stable")
    sorted_key = key[order]
    firsts: list[NDArray[np.int64]] = []
    seconds: list[NDArray[np.int64]] = []
    for dx in (-1, 0, 1):
        for dy in (-1, 0, 1):
            for dz in (-1, 0, 1):
                shift = (dx * dims[1] + dy) * dims[2] + dz
                if shift < 0:
                    continue  # each pair of cells once: the half of the offsets with shift >= 0
                start = np.searchsorted(sorted_key, sorted_key + shift, side="left")
                stop = np.searchsorted(sorted_key, sorted_key + shift, side="right")
                counts = stop - start
                a = np.repeat(np.arange(len(order)), counts)
                b = np.arange(counts.sum()) - np.repeat(np.cumsum(counts) - counts, counts) + np.repeat(start, counts)
                if shift == 0:
                    keep = b > a
                    a, b = a[keep], b[keep]
                i, j = order[a], order[b]
                d2 = np.einsum("ij,ij->i", xyz[i] - xyz[j], xyz[i] - xyz[j])
                near = d2 <= cutoff * cutoff
                firsts.append(i[near])
                seconds.append(j[near])
    i = index[np.concatenate(firsts)]
    j = index[np.concatenate(seconds)]
    lo, hi = np.minimum(i, j), np.maximum(i, j)
    order = np.lexsort((hi, lo))
    return lo[order], hi[order]


def angles(a: NDArray[np.float64], b: NDArray[np.float64], c: NDArray[np.float64]) -> NDArray[np.float64]:
    """The angle a-b-c at b, in degrees, row by row."""
    u, v = a - b, c - b
    cos = np.einsum("ij,ij->i", u, v) / np.maximum(np.linalg.norm(u, axis=1) * np.linalg.norm(v, axis=1), 1e-12)
    return np.degrees(np.arccos(np.clip(cos, -1.0, 1.0)))


def plane_normals(a: NDArray[np.float64], b: NDArray[np.float64], c: NDArray[np.float64]) -> NDArray[np.float64]:
    """Unit normals of the planes through a, b, c, row by row (zero for collinear points)."""
    n = np.cross(b - a, c - a)
    length = np.linalg.norm(n, axis=1, keepdims=True)
    return np.where(length > 1e-9, n / np.maximum(length, 1e-12), 0.0)
