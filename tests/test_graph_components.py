"""telvora_graphs.pebble_game and rigid_components against their definitions on small graphs."""

import dataclasses
import itertools
import random

import numpy as np
import pytest

import graph_reference as ref
import telvora_graphs as tg
from graph_reference import random_graph_batch

P = (1 << 61) - 1


# --- definitions, by brute force ----------------------------------------------------------------


def spanned(edges, vertices):
    return sum(1 for a, b in edges if a in vertices and b in vertices)


def is_sparse(edges, n, k, l):
    """Every vertex set spanning an edge spans at most k|X| - l of them."""
    for size in range(1, n + 1):
        for subset in itertools.combinations(range(n), size):
            e = spanned(edges, set(subset))
            if e and e > k * size - l:
                return False
    return True


def game_by_definition(edges, n, k, l):
    accepted, labels = [], []
    for edge in edges:
        ok = is_sparse(accepted + [edge], n, k, l)
        labels.append(int(ok))
        if ok:
            accepted.append(edge)
    tight = [set(s) for size in range(1, n + 1) for s in itertools.combinations(range(n), size)
             if 0 < spanned(accepted, set(s)) == k * size - l]
    components = sorted(sorted(t) for t in tight if not any(t < other for other in tight))
    return labels, components


def rank_mod_p(rows, ncols):
    rows = [list(r) for r in rows]
    rank = 0
    for col in range(ncols):
        pivot = next((i for i in range(rank, len(rows)) if rows[i][col] % P), None)
        if pivot is None:
            continue
        rows[rank], rows[pivot] = rows[pivot], rows[rank]
        inv = pow(rows[rank][col], P - 2, P)
        for i in range(rank + 1, len(rows)):
            f = rows[i][col] * inv % P
            if f:
                rows[i] = [(x - f * y) % P for x, y in zip(rows[i], rows[rank])]
        rank += 1
    return rank


def rigidity_row(x, d, a, b):
    row = [0] * (len(x) * d)
    for k in range(d):
        diff = (x[a][k] - x[b][k]) % P
        row[a * d + k], row[b * d + k] = diff, (-diff) % P
    return row


def unit_rows(n, d, a, b):
    """The rows e_(a,k) - e_(b,k): all in the row space when every motion moves a and b alike."""
    rows = []
    for k in range(d):
        row = [0] * (n * d)
        row[a * d + k], row[b * d + k] = 1, P - 1
        rows.append(row)
    return rows


def components_by_rank(edges, x, d):
    """Maximal vertex sets of two or more whose pairs are fixed: the pair's row lies in the row
    space of the bars, or, for coincident points (whose row is zero), every motion moves both alike."""
    n = len(x)
    rows = [rigidity_row(x, d, a, b) for a, b in edges]
    base = rank_mod_p(rows, n * d)

    def is_fixed(a, b):
        extra = unit_rows(n, d, a, b) if x[a] == x[b] else [rigidity_row(x, d, a, b)]
        return rank_mod_p(rows + extra, n * d) == base

    fixed = {(a, b) for a, b in itertools.combinations(range(n), 2) if is_fixed(a, b)}
    cliques = [set(s) for size in range(2, n + 1) for s in itertools.combinations(range(n), size)
               if all(pair in fixed for pair in itertools.combinations(s, 2))]
    return sorted(sorted(c) for c in cliques if not any(c < other for other in cliques))


def random_graph(rng, n, m, loops=False):
    return ref.random_pairs(rng.randrange(2**32), n, m, loops=loops).tolist()


def as_lists(components):
    return [c.tolist() for c in components]


# --- pebble_game ----------------------------------------------------------------------------------


@pytest.mark.parametrize(("k", "l"), [(1, 1), (1, 0), (2, 2), (2, 3), (3, 3), (6, 6), (2, 1), (3, 5)])
def test_pebble_game_matches_the_counting_definition(k, l):
    rng = random.Random(100 * k + l)
    for _ in range(12):
        n = rng.randrange(1, 8)
        edges = random_graph(rng, n, rng.randrange(0, k * n + 3), loops=True)
        labels, components = game_by_definition(edges, n, k, l)
        game = tg.pebble_game(np.array(edges, dtype=np.int64).reshape(-1, 2), n, k=k, l=l)
        assert game.labels.tolist() == labels
        assert as_lists(game.components) == components
        assert game.free_pebbles == k * n - sum(labels)
        assert game.is_tight == (sum(labels) == k * n - l)


def test_one_one_is_a_spanning_forest_with_connected_components():
    edges = [(0, 1), (1, 2), (2, 0), (3, 4), (5, 5), (4, 6)]
    game = tg.pebble_game(edges, 8, k=1, l=1)
    assert game.labels.tolist() == [1, 1, 0, 1, 0, 1]
    assert as_lists(game.components) == [[0, 1, 2], [3, 4, 6]]
    assert game.accepted_edges.tolist() == [[0, 1], [1, 2], [3, 4], [4, 6]]


def test_laman_graph_is_one_tight_component():
    # A Henneberg construction: each new vertex joins two earlier ones.
    edges = [(0, 1)] + [(v, v - 1) for v in range(2, 9)] + [(v, v - 2) for v in range(2, 9)]
    game = tg.pebble_game(edges)
    assert game.labels.all() and game.is_tight and game.free_pebbles == 3
    assert as_lists(game.components) == [list(range(9))]


@pytest.mark.parametrize(("k", "l", "error", "message"), [
    (3, 6, ValueError, r"l must be below 2k = 6, not 6: .*use rigidity\(edges, 3\)"),
    (2, 4, ValueError, r"l must be below 2k = 4"),
    (0, 0, ValueError, r"k must be at least 1"),
    (2, -1, ValueError, r"l must be at least 0"),
    (2.0, 3, TypeError, r"k must be an integer"),
])
def test_pebble_game_refuses_counts_outside_the_range(k, l, error, message):
    with pytest.raises(error, match=message):
        tg.pebble_game([(0, 1)], k=k, l=l)


def test_pebbles_is_frozen_and_read_only():
    game = tg.pebble_game([(0, 1), (1, 2)])
    with pytest.raises(dataclasses.FrozenInstanceError):
        game.k = 3
    with pytest.raises(ValueError):
        game.labels[0] = 0
    with pytest.raises(ValueError):
        game.components[0][0] = 5


# --- rigid_components -------------------------------------------------------------------------------


@pytest.mark.parametrize("numeric", [False, True], ids=["generic", "numeric"])
@pytest.mark.parametrize("d", [2, 3])
def test_components_match_every_subset_by_exact_rank(d, numeric):
    rng = random.Random((70 if numeric else 7) + d)
    for _ in range(8):
        n = rng.randrange(2, 8)
        edges = sorted({tuple(sorted(e)) for e in random_graph(rng, n, rng.randrange(1, d * n + 1))})
        if numeric:  # small integer points, often collinear
            points = [[rng.randrange(-2, 3) for _ in range(d)] for _ in range(n)]
            found = tg.rigid_components(edges, d, coords=np.array(points, dtype=float))
        else:  # the realization is another generic point, independent of the one drawn here
            points = [[rng.randrange(P) for _ in range(d)] for _ in range(n)]
            found = tg.rigid_components(edges, d, n=n, seed=rng.randrange(1 << 64))
        assert as_lists(found) == components_by_rank(edges, points, d)


def double_banana():
    parts = [(0, 1, 2, 3, 4), (0, 1, 5, 6, 7)]
    return [(p[a], p[b]) for p in parts for a, b in itertools.combinations(range(5), 2) if (a, b) != (0, 1)]


def three_bananas():
    """Three bananas pairwise sharing one corner of the triangle 0, 1, 2, none with a bar of it."""
    parts = [(0, 1, 3, 4, 5), (1, 2, 6, 7, 8), (2, 0, 9, 10, 11)]
    return [(p[a], p[b]) for p in parts for a, b in itertools.combinations(range(5), 2) if (a, b) != (0, 1)]


@pytest.mark.parametrize(("edges", "d", "expected"), [
    ([(0, 1), (1, 2), (2, 0), (2, 3), (3, 4), (4, 2)], 2, [[0, 1, 2], [2, 3, 4]]),
    ([(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)], 2, [[0, 1, 2, 3]]),
    (double_banana(), 3, [[0, 1, 2, 3, 4], [0, 1, 5, 6, 7]]),
    ([(0, 1), (1, 2), (2, 0), (2, 3)], 3, [[0, 1, 2], [2, 3]]),
    ([(0, 1), (2, 3)], 1, [[0, 1], [2, 3]]),
    (three_bananas(), 3, [[0, 1, 2], [0, 1, 3, 4, 5], [0, 2, 9, 10, 11], [1, 2, 6, 7, 8]]),
], ids=["triangles sharing a vertex", "square with a diagonal", "double banana", "triangle and a bar", "line",
        "a component without a bar"])
def test_known_frameworks(edges, d, expected):
    assert as_lists(tg.rigid_components(edges, d, n=6 if d == 1 else None)) == expected


def test_generic_plane_components_are_the_pebble_games():
    rng = random.Random(3)
    for _ in range(20):
        n = rng.randrange(2, 40)
        edges = random_graph(rng, n, rng.randrange(0, 3 * n))
        components = tg.rigid_components(edges, 2, n=n)
        assert as_lists(components) == as_lists(tg.pebble_game(edges, n).components)
        # Generic points realize the generic answer.
        coords = np.random.default_rng(n).normal(size=(n, 2))
        assert as_lists(tg.rigid_components(edges, 2, coords=coords)) == as_lists(components)


def test_components_are_read_only_and_isolated_vertices_form_none():
    components = tg.rigid_components([(0, 1)], 3, n=4)
    assert as_lists(components) == [[0, 1]]
    assert components[0].dtype == np.int64
    with pytest.raises(ValueError):
        components[0][0] = 2


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"edges": [(0, 0)]}, ValueError, "is a loop"),
    ({"edges": [(0, 1)], "d": 0}, ValueError, "d must be at least 1"),
    ({"edges": [(0, 1)], "tol": 1e-9}, ValueError, "tol applies to numeric mode only"),
    ({"edges": [(0, 2)], "coords": np.zeros((2, 2))}, ValueError, "names vertex 2"),
    ({"edges": [(0, 1)], "d": 2, "coords": np.zeros((2, 3))}, ValueError, "has 3 columns but d=2"),
])
def test_rigid_components_refusals(kwargs, error, message):
    with pytest.raises(error, match=message):
        tg.rigid_components(**kwargs)


@pytest.mark.parametrize(("d", "numeric"), [(1, False), (2, False), (3, False), (2, True), (3, True)])
def test_each_graph_of_a_components_batch_is_the_graph_alone(d, numeric):
    rng = np.random.default_rng(10 * d + numeric)
    graphs, edges, offsets = random_graph_batch(rng, 40, (0, 12), (0.1, 0.7))
    sizes = [n for n, _ in graphs]
    coords = rng.random((sum(sizes), d)) if numeric else None
    first = np.cumsum([0] + sizes)
    batch = tg.rigid_components_batch(edges, offsets, sizes, d, coords=coords,
                                      seed=2**64 - 7)
    assert batch.n_graphs == len(graphs) and (batch.edge_component is None) == (d > 2)
    for g, (n, own) in enumerate(graphs):
        where = {"coords": coords[first[g]:first[g + 1]]} if numeric else {"seed": tg.graph_seed(2**64 - 7, g)}
        alone = tg.rigid_components(own, d, n=n, **where)
        assert as_lists(batch.components(g)) == as_lists(alone), g
        if batch.edge_component is not None:
            for (u, v), c in zip(own.tolist(), batch.edge_component[offsets[g]:offsets[g + 1]].tolist()):
                assert {u, v} <= set(alone[c].tolist())
    assert any(len(batch.components(g)) > 1 for g in range(len(graphs)))
    with pytest.raises(ValueError, match="read-only"):
        batch.members[0, 0] = 5
    with pytest.raises(IndexError, match="out of range for 40 graphs"):
        batch.components(40)


def test_components_batch_refusals():
    with pytest.raises(ValueError, match="coords has 3 rows but the graphs have 4 vertices"):
        tg.rigid_components_batch([(0, 1), (0, 1)], [0, 1, 2], [2, 2], coords=np.zeros((3, 2)))
    with pytest.raises(ValueError, match=r"edges\[1\] = \(0, 2\) belongs to graph 1, which has n\[1\] = 2"):
        tg.rigid_components_batch([(0, 1), (0, 2)], [0, 1, 2], 2)


# --- coincident points and bars of zero length ------------------------------------------------------


@pytest.mark.parametrize(("edges", "d", "points", "expected"), [
    # Vertex 0 has no bar: coinciding with 1 fixes nothing (the zero row of the pair says nothing).
    ([(1, 2)], 1, [[3], [3], [2]], [[1, 2]]),
    # Every bar has length zero: nothing is fixed, at every scale.
    ([(0, 2)], 1, [[0], [3], [0]], []),
    # A zero-length bar hangs a coincident vertex on a triangle, which does not hold it.
    ([(0, 1), (1, 2), (0, 2), (2, 3)], 2, [[0, 0], [1, 0], [0, 1], [0, 1]], [[0, 1, 2]]),
    # Two coincident vertices each braced to a rigid triangle: every motion moves them alike.
    ([(0, 1), (1, 2), (0, 2), (0, 3), (1, 3), (0, 4), (1, 4)], 2, [[0, 0], [2, 0], [0, 2], [1, 1], [1, 1]],
     [[0, 1, 2, 3, 4]]),
], ids=["isolated coincident vertex", "only zero-length bars", "hanging coincident vertex", "braced coincident pair"])
def test_coincident_points_are_fixed_only_when_every_motion_moves_them_alike(edges, d, points, expected):
    assert components_by_rank(edges, points, d) == expected
    for scale in [2.0**k for k in range(-60, 61, 5)] + [1e-8, 1e-9, 3.0]:
        found = tg.rigid_components(edges, d, coords=np.array(points, dtype=float) * scale)
        assert as_lists(found) == expected, scale


@pytest.mark.parametrize("d", [1, 2, 3])
def test_components_with_coincident_points_and_zero_length_bars_match_the_exact_rank(d):
    rng = random.Random(300 + d)
    coincident = 0
    for _ in range(25):
        n = rng.randrange(2, 7)
        points = [[rng.randrange(-1, 2) for _ in range(d)] for _ in range(n)]
        for _ in range(rng.randrange(1, 3)):  # copies of other vertices' points
            a, b = rng.sample(range(n), 2)
            points[a] = list(points[b])
        edges = sorted({tuple(sorted(e)) for e in random_graph(rng, n, rng.randrange(1, d * n + 2))})
        expected = components_by_rank(edges, points, d)
        coincident += any(points[a] == points[b] for a, b in edges)
        for k in (-40, 0, 33):
            found = tg.rigid_components(edges, d, coords=np.array(points, dtype=float) * 2.0**k)
            assert as_lists(found) == expected, (edges, points, k)
    assert coincident >= 5, "too few zero-length bars to test anything"
