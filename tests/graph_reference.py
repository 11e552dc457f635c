"""Test oracles for telvora_graphs, written from the definitions and kept deliberately plain.

- Exact rank of the rigidity matrix in rational arithmetic (fractions.Fraction), so the labels and
  the redundancy at a given integer realization involve no rounding and no tolerance.
- The (2,3) pebble game, whose accepted edges are, by Laman's theorem, the generically independent
  edges in the plane.
- Vertex connectivity by brute force, for the combinatorial characterizations of global rigidity.
- A few graph families whose rigidity is known.
"""

from __future__ import annotations

import itertools
import random
from fractions import Fraction


def max_rank(n: int, d: int) -> int:
    """The rank of a rigid framework on n vertices: n*d minus the rigid motions, n(n-1)/2 when n < d."""
    return n * d - d * (d + 1) // 2 if n >= d else n * (n - 1) // 2


def random_integer_points(n: int, d: int, rng: random.Random, bound: int) -> list[list[int]]:
    return [[rng.randint(-bound, bound) for _ in range(d)] for _ in range(n)]


def rigidity_row(points, i: int, j: int) -> list[Fraction]:
    d = len(points[0])
    row = [Fraction(0)] * (len(points) * d)
    for k in range(d):
        diff = Fraction(points[i][k]) - Fraction(points[j][k])
        row[d * i + k] = diff
        row[d * j + k] = -diff
    return row


class ExactEchelon:
    """Rows in echelon form over the rationals; add() says whether a row raised the rank."""

    def __init__(self) -> None:
        self.rows: list[tuple[int, list[Fraction]]] = []   # (pivot column, row with 1 at the pivot)

    def add(self, row: list[Fraction]) -> bool:
        row = list(row)
        for pivot, stored in self.rows:
            factor = row[pivot]
            if factor:
                row = [x - factor * s for x, s in zip(row, stored)]
        pivot = next((k for k, x in enumerate(row) if x), None)
        if pivot is None:
            return False
        lead = row[pivot]
        self.rows.append((pivot, [x / lead for x in row]))
        return True


def exact_rank(rows) -> int:
    echelon = ExactEchelon()
    return sum(echelon.add(row) for row in rows)


def exact_rigidity(points, edges) -> dict:
    """Labels, rank and redundancy of the framework at points (integers or Fractions), exactly.

    Label k: row k raises the rank of rows 0 .. k-1. Redundant: the rank without the edge is the
    full rank. An edge labelled 0 is spanned by the edges before it, so it is redundant by that
    definition at once; for the others the rank without the edge is computed.
    """
    rows = [rigidity_row(points, i, j) for i, j in edges]
    echelon = ExactEchelon()
    labels = [int(echelon.add(row)) for row in rows]
    rank = sum(labels)
    redundant = [not label or exact_rank(rows[:k] + rows[k + 1:]) == rank for k, label in enumerate(labels)]
    return {"labels": labels, "rank": rank, "redundant": redundant}


# ------------------------------------------------------------------------------------------------
# the (2,3) pebble game


class PebbleGame:
    """Every vertex starts with 2 pebbles; an accepted edge (u, v) is covered by a pebble of u and
    directed u -> v. An edge is accepted when 4 pebbles can be gathered on its endpoints; a pebble
    is gathered on u by finding a free one at a vertex reachable from u and reversing the path."""

    def __init__(self, n: int) -> None:
        self.pebbles = [2] * n
        self.out: list[list[int]] = [[] for _ in range(n)]

    def _gather(self, start: int, keep: int) -> bool:
        parent = {start: None, keep: None}   # the pebbles on keep must stay where they are
        stack = [start]
        while stack:
            x = stack.pop()
            for y in self.out[x]:
                if y in parent:
                    continue
                parent[y] = x
                if self.pebbles[y]:
                    self.pebbles[y] -= 1
                    while y != start:   # reverse the path: each edge is now covered by its new tail
                        x = parent[y]
                        self.out[x].remove(y)
                        self.out[y].append(x)
                        y = x
                    self.pebbles[start] += 1
                    return True
                stack.append(y)
        return False

    def add(self, u: int, v: int) -> bool:
        while self.pebbles[u] + self.pebbles[v] < 4:
            if not (self._gather(u, v) or self._gather(v, u)):
                return False
        self.pebbles[u] -= 1
        self.out[u].append(v)
        return True


def pebble_labels(n: int, edges) -> list[int]:
    game = PebbleGame(n)
    return [int(game.add(u, v)) for u, v in edges]


def pebble_redundant(n: int, edges) -> list[bool]:
    """Edge k is redundant when the other edges span it: played last, it is rejected."""
    return [not pebble_labels(n, edges[:k] + edges[k + 1:] + [edges[k]])[-1] for k in range(len(edges))]


# ------------------------------------------------------------------------------------------------
# connectivity


def _connected(vertices: set[int], adjacency: list[set[int]]) -> bool:
    if not vertices:
        return True
    start = next(iter(vertices))
    seen, stack = {start}, [start]
    while stack:
        for y in adjacency[stack.pop()] & vertices:
            if y not in seen:
                seen.add(y)
                stack.append(y)
    return seen == vertices


def is_k_connected(n: int, edges, k: int) -> bool:
    """More than k vertices, and connected after removing any k - 1 of them."""
    if n <= k:
        return False
    adjacency: list[set[int]] = [set() for _ in range(n)]
    for u, v in edges:
        adjacency[u].add(v)
        adjacency[v].add(u)
    everything = set(range(n))
    return all(_connected(everything - set(cut), adjacency)
               for size in range(k) for cut in itertools.combinations(range(n), size))


def is_complete(n: int, edges) -> bool:
    return {frozenset(e) for e in edges} == {frozenset(e) for e in itertools.combinations(range(n), 2)}


# ------------------------------------------------------------------------------------------------
# graphs


def complete_graph(n: int) -> list[tuple[int, int]]:
    return list(itertools.combinations(range(n), 2))


def complete_bipartite(a: int, b: int) -> list[tuple[int, int]]:
    return [(i, a + j) for i in range(a) for j in range(b)]


def random_graph(n: int, m: int, rng: random.Random, repeats: bool = False) -> list[tuple[int, int]]:
    """m edges between random distinct vertices; without repeats m is capped at n(n-1)/2."""
    if repeats:
        return [tuple(rng.sample(range(n), 2)) for _ in range(m)] if n >= 2 else []
    pairs = complete_graph(n)
    return [p if rng.random() < 0.5 else p[::-1] for p in rng.sample(pairs, min(m, len(pairs)))]


def random_pairs(rng, n: int, m: int, *, loops: bool = False):
    """m vertex pairs drawn uniformly from 0 .. n - 1 (repeats allowed; loops only when asked), as a
    C-contiguous (m, 2) int64 array. rng: a NumPy Generator, or a seed for one."""
    import numpy as np
    rng = np.random.default_rng(rng)
    if n < 2 and not loops:
        return np.empty((0, 2), dtype=np.int64)
    out = np.empty((0, 2), dtype=np.int64)
    while len(out) < m:
        pairs = rng.integers(0, n, size=(2 * (m - len(out)) + 1, 2), dtype=np.int64)
        out = np.concatenate([out, pairs if loops else pairs[pairs[:, 0] != pairs[:, 1]]])
    return np.ascontiguousarray(out[:m])


def henneberg_laman(n: int, rng: random.Random) -> list[tuple[int, int]]:
    """A minimally rigid graph in the plane from a triangle by random Henneberg moves: a new vertex
    joined to two old ones, or an old edge ab replaced by a new vertex joined to a, b and a third.
    Both moves keep a framework generically minimally rigid, so the result is too."""
    edges = [(0, 1), (1, 2), (0, 2)]
    for v in range(3, n):
        if rng.random() < 0.5:
            a, b = rng.sample(range(v), 2)
            edges += [(a, v), (b, v)]
        else:
            a, b = edges.pop(rng.randrange(len(edges)))
            c = rng.choice([x for x in range(v) if x not in (a, b)])
            edges += [(a, v), (b, v), (c, v)]
    rng.shuffle(edges)
    return edges


def double_banana() -> list[tuple[int, int]]:
    """Two copies of K5 minus the edge between the poles 0 and 1, sharing the poles: 8 vertices,
    18 = 3n - 6 edges, yet the two halves turn about the line through the poles."""
    edges = []
    for half in ((2, 3, 4), (5, 6, 7)):
        vertices = (0, 1) + half
        edges += [e for e in itertools.combinations(vertices, 2) if e != (0, 1)]
    return edges


def random_graph_batch(rng, count: int, sizes: tuple[int, int], keep: tuple[float, float]):
    """count graphs as (n, edges (m, 2) int64), n drawn from [sizes[0], sizes[1]), each pair kept
    with a chance drawn per graph from [keep[0], keep[1]); rng is a NumPy Generator. Also the
    batch layout of them: the edges one after the other and their offsets."""
    import numpy as np

    graphs = []
    for _ in range(count):
        n = int(rng.integers(*sizes))
        pairs = np.array([(i, j) for i in range(n) for j in range(i + 1, n)], dtype=np.int64).reshape(-1, 2)
        graphs.append((n, pairs[rng.random(len(pairs)) < rng.uniform(*keep)]))
    offsets = np.cumsum([0] + [len(edges) for _, edges in graphs])
    return graphs, np.concatenate([edges for _, edges in graphs]), offsets

