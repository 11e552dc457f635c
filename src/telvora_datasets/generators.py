"""Random graphs and positions of the graph families, many graphs per NumPy call.

Every function takes the graphs' keys (see streams) and draws graph g from keys[g] alone, so a
graph is the same whichever others are drawn with it. Graphs come out packed: `edges` (E, 2)
int64 with i < j, graph g owning rows offsets[g] .. offsets[g + 1] - 1, in lexicographic order
(the families' given order) until `shuffle_edges` reorders them.
"""

from __future__ import annotations

import dataclasses
from itertools import combinations

import numpy as np
from numpy.typing import NDArray

from .streams import EDITS, ORDER, POSITIONS, RELABEL, STRUCTURE, U64, below, draws, draws_at, threshold, unit

Ints = NDArray[np.int64]
Floats = NDArray[np.float64]
Bools = NDArray[np.bool_]

SWITCHES_PER_EDGE = 10  # switch proposals per edge of a regular graph: far past the chain's mixing on small graphs
_SWITCH_ROUNDS = 256  # switches whose draws are made at once (bounds their memory)


@dataclasses.dataclass
class Graphs:
    """Packed graphs on n vertices each; coords (G, n, d) when the family placed points."""

    n: int
    edges: Ints
    offsets: Ints
    coords: Floats | None = None

    @property
    def counts(self) -> Ints:
        result: Ints = np.diff(self.offsets)
        return result


def pair_tables(n: int) -> tuple[Ints, Ints]:
    """(i, j) of the pairs i < j in lexicographic order: pair p joins i[p] and j[p]."""
    i, j = np.triu_indices(n, 1)
    return i.astype(np.int64), j.astype(np.int64)


def pair_index(i: Ints, j: Ints, n: int) -> Ints:
    """The lexicographic index of the pair {i, j}, i != j."""
    low, high = np.minimum(i, j), np.maximum(i, j)
    result: Ints = low * n - low * (low + 1) // 2 + (high - low - 1)
    return result


def _packed(n: int, pairs: Ints, coords: Floats | None = None) -> Graphs:
    """Graphs from a (G, m) array of pair indices, each row sorted."""
    i, j = pair_tables(n)
    count, m = pairs.shape
    flat = pairs.reshape(-1)
    edges = np.stack([i[flat], j[flat]], axis=1)
    return Graphs(n, edges, np.arange(count + 1, dtype=np.int64) * m, coords)


def _masked(n: int, mask: Bools, coords: Floats | None = None) -> Graphs:
    """Graphs from a (G, M) mask over the pairs."""
    i, j = pair_tables(n)
    _, pair = np.nonzero(mask)  # row by row, pairs ascending: lexicographic within each graph
    offsets = np.zeros(mask.shape[0] + 1, dtype=np.int64)
    np.cumsum(mask.sum(axis=1), out=offsets[1:])
    return Graphs(n, np.stack([i[pair], j[pair]], axis=1), offsets, coords)


def _partial_shuffle(items: NDArray[np.int64], steps: int, values: U64) -> None:
    """Fisher-Yates on each row of items, in place, for its first `steps` places; values (G, steps)
    are the draws. Afterwards items[:, :steps] is a uniformly drawn ordered sample of each row."""
    count, size = items.shape
    rows = np.arange(count)
    picks = below(values, size - np.arange(steps, dtype=np.int64)) + np.arange(steps, dtype=np.int64)
    for step in range(steps):
        pick = picks[:, step]
        held = items[:, step].copy()
        items[:, step] = items[rows, pick]
        items[rows, pick] = held


def _sample(keys: U64, purpose: int, population: int, size: int) -> Ints:
    """For each key, `size` distinct integers of [0, population) in the order drawn."""
    items = np.broadcast_to(np.arange(population, dtype=np.int64), (keys.size, population)).copy()
    _partial_shuffle(items, size, draws(keys, purpose, size))
    return items[:, :size]


def gnm(keys: U64, n: int, m: int) -> Graphs:
    """G(n, m): m distinct pairs, each set of m pairs equally likely."""
    return _packed(n, np.sort(_sample(keys, STRUCTURE, n * (n - 1) // 2, m), axis=1))


def gnp(keys: U64, n: int, p: float) -> Graphs:
    """G(n, p): each pair an edge with probability p, independently."""
    return _masked(n, (draws(keys, STRUCTURE, n * (n - 1) // 2) >> np.uint64(11)) < np.uint64(threshold(p)))


def _squared_distances(coords: Floats, i: Ints, j: Ints) -> Floats:
    """|p_i - p_j|^2 over the pairs (i, j), summed coordinate by coordinate in order."""
    delta = coords[:, i, 0] - coords[:, j, 0]
    total: Floats = delta * delta
    for axis in range(1, coords.shape[2]):
        delta = coords[:, i, axis] - coords[:, j, axis]
        total = total + delta * delta
    return total


def geometric(coords: Floats, radius: float) -> Graphs:
    """An edge between two points when their squared distance is at most radius * radius."""
    n = coords.shape[1]
    i, j = pair_tables(n)
    return _masked(n, _squared_distances(coords, i, j) <= radius * radius, coords)


def knn(coords: Floats, k: int) -> Graphs:
    """An edge from each point to its k nearest others (ties to the lower index), both ways merged."""
    count, n, _ = coords.shape
    i, j = pair_tables(n)
    pair_distances = _squared_distances(coords, i, j)
    distances = np.full((count, n, n), np.inf)
    distances[:, i, j] = pair_distances
    distances[:, j, i] = pair_distances
    nearest = np.argsort(distances, axis=2, kind="stable")[:, :, :k]
    adjacent = np.zeros((count, n, n), dtype=np.bool_)
    adjacent[np.arange(count)[:, None, None], np.arange(n)[None, :, None], nearest] = True
    return _masked(n, adjacent[:, i, j] | adjacent[:, j, i], coords)


def _relabelled(keys: U64, n: int, edges: Ints) -> Ints:
    """(G, m, 2) edges under a uniformly drawn relabelling of each graph's vertices, as pair indices."""
    labels = np.argsort(draws(keys, RELABEL, n), axis=1, kind="stable")
    rows = np.arange(keys.size)[:, None]
    return pair_index(labels[rows, edges[:, :, 0]], labels[rows, edges[:, :, 1]], n)


def henneberg_edges(keys: U64, n: int, d: int) -> Ints:
    """(G, dn - d(d+1)/2, 2) edges of minimally rigid graphs grown from K_d: vertex c (c = d .. n-1)
    comes by a 0-extension (joined to d vertices) or, with probability 1/2 once c > d, a
    1-extension (an edge ab removed; c joined to a, b and d - 1 other vertices), in the
    construction's numbering. Both moves keep a graph generically minimally rigid in any d."""
    count = keys.size
    rows = np.arange(count)
    m0 = d * n - d * (d + 1) // 2
    edges = np.zeros((count, m0, 2), dtype=np.int64)
    start = list(combinations(range(d), 2))
    if start:
        edges[:, :len(start)] = start
    filled = len(start)
    per_step = d + 2  # a coin, an edge, d vertices
    for c in range(d, n):
        u = draws(keys, STRUCTURE, per_step, (c - d) * per_step)
        one = (u[:, 0] >> np.uint64(63) == 1) & (c > d)
        e = below(u[:, 1], max(filled, 1))
        a, b = edges[rows, e, 0], edges[rows, e, 1]
        # Vertices are drawn without repetition by skipping those taken (kept sorted, n as filler).
        taken = np.full((count, d + 1), n, dtype=np.int64)
        taken[one, 0], taken[one, 1] = np.minimum(a, b)[one], np.maximum(a, b)[one]
        held = np.where(one, 2, 0)
        chosen = np.zeros((count, d), dtype=np.int64)
        for t in range(d):
            active = ~one | (t < d - 1)
            x = below(u[:, 2 + t], np.maximum(c - held, 1))
            for s in range(d + 1):
                x = x + (x >= taken[:, s])
            chosen[:, t] = x
            taken[rows[active], held[active]] = x[active]
            taken.sort(axis=1)
            held = held + active
        others = np.where(one[:, None], np.concatenate([b[:, None], chosen[:, :d - 1]], axis=1), chosen)
        edges[rows[one], e[one]] = np.stack([a[one], np.full(int(one.sum()), c)], axis=1)
        edges[:, filled:filled + d, 0] = others
        edges[:, filled:filled + d, 1] = c
        filled += d
    return edges


def henneberg(keys: U64, n: int, d: int, add: int, remove: int) -> Graphs:
    """A minimally rigid graph (henneberg_edges), its vertices relabelled at random, then `add`
    pairs that are not edges added and `remove` edges of the result removed, uniformly."""
    pairs = _relabelled(keys, n, henneberg_edges(keys, n, d))
    count, m0 = pairs.shape
    total = n * (n - 1) // 2
    if add:
        present = np.zeros((count, total), dtype=np.bool_)
        present[np.arange(count)[:, None], pairs] = True
        absent = np.nonzero(~present)[1].reshape(count, total - m0)
        _partial_shuffle(absent, add, draws(keys, EDITS, add))
        pairs = np.concatenate([pairs, absent[:, :add]], axis=1)
    if remove:
        _partial_shuffle(pairs, remove, draws(keys, EDITS, remove, add))
        pairs = pairs[:, remove:]
    return _packed(n, np.sort(pairs, axis=1))


def _circulant(n: int, degree: int) -> Ints:
    """A degree-regular graph on n vertices: i joined to i +- 1 .. degree // 2, and to i + n/2
    when degree is odd (n even)."""
    edges = [(i, (i + step) % n) for step in range(1, degree // 2 + 1) for i in range(n)]
    if degree % 2:
        edges += [(i, i + n // 2) for i in range(n // 2)]
    return np.array(edges, dtype=np.int64).reshape(-1, 2)


def regular(keys: U64, n: int, degree: int) -> Graphs:
    """A random degree-regular graph: switches (ab, cd -> ad, cb, refused when it would make a loop
    or a repeated edge) from a circulant graph, SWITCHES_PER_EDGE per edge, then a random
    relabelling. The chain's stationary law is uniform; it is approximately reached."""
    count = keys.size
    start = _circulant(n, degree)
    m = start.shape[0]
    # Edges and adjacency flattened, indexed by g * m + e and g * n * n + u * n + v.
    tails = np.broadcast_to(start[:, 0], (count, m)).reshape(-1).copy()
    heads = np.broadcast_to(start[:, 1], (count, m)).reshape(-1).copy()
    adjacent = np.zeros((count, n, n), dtype=np.bool_)
    adjacent[:, start[:, 0], start[:, 1]] = adjacent[:, start[:, 1], start[:, 0]] = True
    flat = adjacent.reshape(-1)
    edge_base = np.arange(count, dtype=np.int64) * m
    cell_base = np.arange(count, dtype=np.int64) * (n * n)
    switches = SWITCHES_PER_EDGE * m if m >= 2 else 0
    for first in range(0, switches, _SWITCH_ROUNDS):
        rounds = min(_SWITCH_ROUNDS, switches - first)
        u = draws(keys, STRUCTURE, 3 * rounds, 3 * first).reshape(count, rounds, 3)
        picks = below(u[:, :, :2], np.array([m, m - 1]))
        flips = (u[:, :, 2] >> np.uint64(63)) == 1
        for r in range(rounds):
            e1 = edge_base + picks[:, r, 0]
            e2 = picks[:, r, 1]
            e2 = edge_base + e2 + (e2 >= picks[:, r, 0])
            a, b = tails[e1], heads[e1]
            flip = flips[:, r]
            c = np.where(flip, heads[e2], tails[e2])
            w = np.where(flip, tails[e2], heads[e2])
            aw, wa, cb, bc = cell_base + a * n + w, cell_base + w * n + a, cell_base + c * n + b, cell_base + b * n + c
            ok = (a != w) & (c != b) & ~flat[aw] & ~flat[cb]
            # Written for every graph: a refused switch writes back what it read.
            keep = ~ok
            flat[cell_base + a * n + b] = flat[cell_base + b * n + a] = keep
            flat[cell_base + c * n + w] = flat[cell_base + w * n + c] = keep
            flat[aw] = flat[wa] = ok | flat[aw]
            flat[cb] = flat[bc] = ok | flat[cb]
            heads[e1] = np.where(ok, w, b)
            tails[e2] = np.where(ok, c, tails[e2])
            heads[e2] = np.where(ok, b, heads[e2])
    edges = np.stack([tails, heads], axis=1).reshape(count, m, 2)
    return _packed(n, np.sort(_relabelled(keys, n, edges), axis=1))


def positions(keys: U64, n: int, d: int, kind: str, flats: int = 0, grid_size: int = 0) -> Floats:
    """(G, n, d) points: uniform in [0, 1)^d; on `flats` random lines or planes (a base point in
    [0, 1)^d plus multiples in [-1/2, 1/2) of direction vectors in [-1, 1)^d); on distinct cells
    of the integer grid {0 .. grid_size - 1}^d; or on a random ellipse in the plane (the rational
    parametrisation of the circle under a random affine map). Only + - * / are used, so the
    points are the same bit for bit wherever NumPy runs."""
    count = keys.size
    if kind in ("generic", "uniform"):
        return unit(draws(keys, POSITIONS, n * d)).reshape(count, n, d)
    if kind in ("lines", "planes"):
        # Draws 0 .. flats·d - 1 are the base points, the next flats·d each direction, then per
        # point its flat and its multiple of each direction. Only the draws of the flats a graph's
        # points fall on are made, so memory grows with the points, not with the flats.
        spans = 1 if kind == "lines" else 2
        head = flats * d * (1 + spans)
        flat = np.minimum((unit(draws(keys, POSITIONS, n, head)) * flats).astype(np.int64), flats - 1)
        axes = np.arange(d, dtype=np.int64)
        cells = flat[:, :, None] * d + axes  # (G, n, d): draw of each point's flat, coordinate by coordinate
        points = unit(draws_at(keys[:, None, None], POSITIONS, cells))
        for span in range(spans):
            direction = 2.0 * unit(draws_at(keys[:, None, None], POSITIONS, cells + (span + 1) * flats * d)) - 1.0
            along = unit(draws(keys, POSITIONS, n, head + (span + 1) * n)) - 0.5
            points = points + along[:, :, None] * direction
        result: Floats = points
        return result
    if kind == "grid":
        cells = _sample(keys, POSITIONS, grid_size ** d, n)
        return np.stack([(cells // grid_size ** axis) % grid_size for axis in range(d)], axis=2).astype(np.float64)
    if kind == "conic":
        raw = draws(keys, POSITIONS, 6 + 2 * n)
        linear = 2.0 * unit(raw[:, :4]) - 1.0
        shift = unit(raw[:, 4:6])
        t = 2.0 * unit(raw[:, 6:6 + n]) - 1.0
        side = np.where(raw[:, 6 + n:] >> np.uint64(63) == 1, 1.0, -1.0)
        square = t * t
        x = side * (1.0 - square) / (1.0 + square)
        y = (2.0 * t) / (1.0 + square)
        return np.stack([(linear[:, 0:1] * x + linear[:, 1:2] * y) + shift[:, 0:1],
                         (linear[:, 2:3] * x + linear[:, 3:4] * y) + shift[:, 1:2]], axis=2)
    raise ValueError(f"unknown positions {kind!r}")


def shuffle_edges(keys: U64, graphs: Graphs) -> Graphs:
    """The same graphs, each one's edges in an order drawn uniformly (from its ORDER stream)."""
    counts = graphs.counts
    owner = np.repeat(np.arange(counts.size), counts)
    local = np.arange(owner.size) - graphs.offsets[owner]
    order = np.lexsort((draws_at(keys[owner], ORDER, local), owner))
    return dataclasses.replace(graphs, edges=graphs.edges[order])
