"""The mathematics of telvora_graphs against independent oracles (tests/graph_reference.py): exact
rational rank at integer realizations, the (2,3) pebble game (Laman), connectivity (Jackson–Jordán
and Hendrickson), coning (Whiteley; Connelly–Whiteley) and graphs whose rigidity is known."""

import random

import numpy as np
import pytest

import graph_reference as ref
import telvora_graphs as tg

# Integer realizations for the exact oracle: coordinates uniform in [-B, B], B = 2**40, so every
# entry is exact in float64 too. The exact labels differ from the generic ones only where one
# polynomial of degree rank <= 30 in the coordinates vanishes, and each redundancy only where one
# more does: by Schwartz–Zippel at most 31 * 30 / (2B + 1) < 5e-10 per graph, below 1e-7 for all
# the graphs of this file. The draws are seeded, so the test cannot flake either way.
BOUND = 2**40


def fields(result):
    return result.labels.tolist(), result.redundant.tolist(), result.rank


def exact_fields(points, edges):
    exact = ref.exact_rigidity(points, edges)
    return exact["labels"], exact["redundant"], exact["rank"]


def cone(n, edges):
    """The cone over a graph: vertex n joined to every vertex, those edges first."""
    return [(n, v) for v in range(n)] + list(edges)


def concat(graphs):
    edges = np.array([e for g in graphs for e in g], dtype=np.int64).reshape(-1, 2)
    offsets = np.cumsum([0] + [len(g) for g in graphs])
    return edges, offsets


# ------------------------------------------------------------------------------------------------
# graphs whose rigidity is known


def prism():
    return [(0, 1), (1, 2), (2, 0), (3, 4), (4, 5), (5, 3), (0, 3), (1, 4), (2, 5)]


K4 = ref.complete_graph(4)
K33 = ref.complete_bipartite(3, 3)
OCTAHEDRON = [e for e in ref.complete_graph(6) if e not in ((0, 1), (2, 3), (4, 5))]
WHEEL = [(5, v) for v in range(5)] + [(v, (v + 1) % 5) for v in range(5)]
# Inner triangle half the outer one about the origin: the rungs' lines meet there, and a prism
# whose rungs are concurrent has an infinitesimal motion.
CONCURRENT_PRISM = [[4, 0], [-2, 4], [-2, -4], [2, 0], [-1, 2], [-1, -2]]
# Six points on the parabola y = x^2: K_{3,3} on a conic is infinitesimally flexible (Bolker–Roth).
ON_A_CONIC = [[x, x * x] for x in (-3, 0, 2, -1, 1, 3)]

# name: (d, n, edges, special integer positions or None, rank, rigid, redundantly rigid, globally rigid).
# With positions None: generic mode, and numeric mode at random real positions, which must agree.
# With positions: numeric mode at those (special) positions only; global rigidity is not decided.
KNOWN = {
    "K4 in the plane": (2, 4, K4, None, 5, True, True, True),
    "K4 minus an edge": (2, 4, K4[:-1], None, 5, True, False, False),
    "triangular prism": (2, 6, prism(), None, 9, True, False, False),
    "prism, concurrent rungs": (2, 6, prism(), CONCURRENT_PRISM, 8, False, False, None),
    "K33 in the plane": (2, 6, K33, None, 9, True, False, False),
    "K33 on a conic": (2, 6, K33, ON_A_CONIC, 8, False, False, None),
    "Henneberg Laman graph": (2, 16, ref.henneberg_laman(16, random.Random(7)), None, 29, True, False, False),
    "wheel (3-connected, redundant)": (2, 6, WHEEL, None, 9, True, True, True),
    "octahedron": (3, 6, OCTAHEDRON, None, 12, True, False, False),
    "double banana": (3, 8, ref.double_banana(), None, 17, False, False, False),
    "K5 in space": (3, 5, ref.complete_graph(5), None, 9, True, True, True),
    # Redundantly rigid and 5-connected, yet not globally rigid in space (Connelly).
    "K55 in space": (3, 10, ref.complete_bipartite(5, 5), None, 24, True, True, False),
    "cycle on the line": (1, 5, [(v, (v + 1) % 5) for v in range(5)], None, 4, True, True, True),
    "path on the line": (1, 4, [(0, 1), (1, 2), (2, 3)], None, 3, True, False, False),
}


@pytest.mark.parametrize("name", KNOWN)
def test_known_graphs(name):
    d, n, edges, positions, rank, rigid, redundantly, globally = KNOWN[name]
    rng = random.Random(name)
    exact = exact_fields(positions or ref.random_integer_points(n, d, rng, BOUND), edges)
    assert exact[2] == rank, "the oracle disagrees with the theory"
    results = []
    if positions is None:
        generic = tg.rigidity(edges, d, n=n, seed=rng.getrandbits(64))
        assert generic.is_globally_rigid is globally and generic.error_bound <= 1e-12
        results.append(generic)
        coords = np.random.default_rng(rng.getrandbits(32)).uniform(-1.0, 1.0, (n, d))
    else:
        coords = np.array(positions, dtype=np.float64)
    numeric = tg.rigidity(edges, d, coords=coords)
    assert numeric.is_globally_rigid is None
    results.append(numeric)
    for r in results:
        assert fields(r) == exact, r.mode
        assert (r.rank, r.max_rank, r.is_rigid, r.is_redundantly_rigid) == (rank, ref.max_rank(n, d), rigid, redundantly)
        assert (r.dof, r.n_stresses) == (r.max_rank - rank, len(edges) - rank)


# ------------------------------------------------------------------------------------------------
# brute force: exact rank at integer realizations


def small_graphs(d, count, rng, repeat_share):
    for _ in range(count):
        n = rng.randint(2, {1: 10, 2: 9, 3: 8, 4: 7}[d])
        m = rng.randint(n - 2, ref.max_rank(n, d) + 4)
        yield n, ref.random_graph(n, m, rng, repeats=rng.random() < repeat_share)


@pytest.mark.parametrize("d", [1, 2, 3, 4])
def test_both_modes_match_the_exact_rank_at_a_random_integer_realization(d):
    rng = random.Random(100 + d)
    for n, edges in small_graphs(d, 80, rng, repeat_share=0.3):
        points = ref.random_integer_points(n, d, rng, BOUND)
        exact = exact_fields(points, edges)
        generic = tg.rigidity(edges, d, n=n, seed=rng.getrandbits(64))
        numeric = tg.rigidity(edges, d, coords=np.array(points, dtype=np.float64))
        for r in (generic, numeric):
            assert fields(r) == exact, (r.mode, n, edges)
            assert r.is_rigid == (exact[2] == ref.max_rank(n, d))
            assert r.is_redundantly_rigid == (r.is_rigid and all(exact[1]))


@pytest.mark.parametrize("d", [1, 2, 3])
def test_numeric_mode_at_special_integer_positions_matches_the_exact_rank(d):
    # Coordinates in -1 .. 1: many collinear and coplanar points, parallel and zero-length bars,
    # so the exact rank falls below the generic one; numeric mode must find exactly these ranks.
    rng = random.Random(200 + d)
    dropped = 0
    for n, edges in small_graphs(d, 80, rng, repeat_share=0.0):
        points = ref.random_integer_points(n, d, rng, 1)
        exact = exact_fields(points, edges)
        numeric = tg.rigidity(edges, d, coords=np.array(points, dtype=np.float64))
        assert fields(numeric) == exact, (points, edges)
        dropped += exact[2] < tg.rigidity(edges, d, n=n).rank
    assert dropped >= 10, "too few special positions to test anything"


def test_max_rank_is_the_rank_of_the_complete_graph():
    rng = random.Random(5)
    for d in range(1, 5):
        for n in range(1, 8):
            edges = ref.complete_graph(n)
            exact = ref.exact_rigidity(ref.random_integer_points(n, d, rng, BOUND), edges)["rank"]
            r = tg.rigidity(edges, d, n=n)
            assert r.max_rank == exact == r.rank and r.is_rigid, (n, d)


# ------------------------------------------------------------------------------------------------
# Laman's theorem and coning, on thousands of random graphs


def random_batch(count, rng, max_n):
    graphs, sizes = [], []
    for _ in range(count):
        n = rng.randint(2, max_n)
        m = rng.randint(0, min(3 * n, n * (n - 1) // 2 + 3))
        graphs.append(ref.random_graph(n, m, rng, repeats=rng.random() < 0.2))
        sizes.append(n)
    return graphs, sizes


@pytest.mark.parametrize("coned", [False, True], ids=["plane", "coned into space"])
def test_generic_labels_equal_the_pebble_game(coned):
    # Laman: in the plane an edge is generically independent of the edges before it exactly when
    # the (2,3) pebble game accepts it. Coning (Whiteley): the cone over G in space has rank
    # n + (rank of G in the plane), so after the n cone edges G's edges keep their plane labels.
    rng = random.Random(300 + coned)
    graphs, sizes = random_batch(3000, rng, 20)
    d = 3 if coned else 2
    batch_graphs = [cone(n, g) for n, g in zip(sizes, graphs)] if coned else graphs
    edges, offsets = concat(batch_graphs)
    batch = tg.rigidity_batch(edges, offsets, [n + coned for n in sizes], d, seed=rng.getrandbits(64))
    skip = sizes if coned else [0] * len(sizes)
    for g, (n, graph) in enumerate(zip(sizes, graphs)):
        labels = batch.labels[offsets[g] + skip[g]:offsets[g + 1]].tolist()
        expected = ref.pebble_labels(n, graph)
        assert labels == expected, (g, n, graph)
        assert batch.rank[g] == sum(expected) + skip[g]
        assert batch.is_rigid[g] == (sum(expected) == ref.max_rank(n, 2))
        if g < 400 and n <= 12:  # redundancy: pebble games with each edge played last
            redundant = batch.redundant[offsets[g] + skip[g]:offsets[g + 1]].tolist()
            assert redundant == ref.pebble_redundant(n, graph), (g, n, graph)


# ------------------------------------------------------------------------------------------------
# global rigidity


def oracle_redundantly_rigid(n, d, edges, rng):
    if d == 2:
        return sum(ref.pebble_labels(n, edges)) == ref.max_rank(n, 2) and all(ref.pebble_redundant(n, edges))
    exact = ref.exact_rigidity(ref.random_integer_points(n, d, rng, BOUND), edges)
    return exact["rank"] == ref.max_rank(n, d) and all(exact["redundant"])


def characterized_global_rigidity(n, d, edges, rng):
    """d = 1 and d = 2: a complete graph on at most d + 1 vertices, or (d + 1)-connected and
    redundantly rigid (2-connected on the line; Jackson–Jordán in the plane)."""
    if n <= d + 1:
        return ref.is_complete(n, edges)
    return ref.is_k_connected(n, edges, d + 1) and oracle_redundantly_rigid(n, d, edges, rng)


@pytest.mark.parametrize("d, coned", [(1, False), (2, False), (2, True)], ids=["line", "plane", "coned into space"])
def test_global_rigidity_follows_its_characterization(d, coned):
    # Connelly–Whiteley: the cone over G is globally rigid in dimension d + 1 exactly when G is
    # globally rigid in dimension d, which gives random graphs in space with a known answer.
    rng = random.Random(400 + 10 * d + coned)
    found = set()
    for _ in range(250):
        n = rng.randint(1, 9)
        m = rng.randint(max(0, n - 1), n * (n - 1) // 2)
        edges = ref.random_graph(n, m, rng)
        expected = characterized_global_rigidity(n, d, edges, rng)
        graph, size, dim = (cone(n, edges), n + 1, d + 1) if coned else (edges, n, d)
        r = tg.rigidity(graph, dim, n=size, seed=rng.getrandbits(64))
        assert r.is_globally_rigid == expected, (n, edges)
        found.add(expected)
    assert found == {True, False}


def test_global_rigidity_in_space_meets_hendrickson_conditions():
    # Necessary in space, not sufficient (K55 of the known graphs): a globally rigid graph on
    # n >= 5 vertices is 4-connected and redundantly rigid.
    rng = random.Random(500)
    hits = 0
    for _ in range(80):
        n = rng.randint(5, 7)
        edges = ref.random_graph(n, rng.randint(3 * n - 6, n * (n - 1) // 2), rng)
        r = tg.rigidity(edges, 3, n=n, seed=rng.getrandbits(64))
        redundantly_rigid = oracle_redundantly_rigid(n, 3, edges, rng)
        assert r.is_redundantly_rigid == redundantly_rigid, edges
        if r.is_globally_rigid:
            hits += 1
            assert ref.is_k_connected(n, edges, 4) and redundantly_rigid, edges
    assert hits >= 10


# ------------------------------------------------------------------------------------------------
# the two modes, batches and scale


@pytest.mark.parametrize("d", [2, 3])
def test_generic_labels_equal_numeric_labels_at_random_real_positions(d):
    rng = random.Random(600 + d)
    graphs, sizes = random_batch(2000, rng, 16)
    edges, offsets = concat(graphs)
    coords = np.random.default_rng(d).uniform(-1.0, 1.0, (sum(sizes), d))
    generic = tg.rigidity_batch(edges, offsets, sizes, d, seed=rng.getrandbits(64))
    numeric = tg.rigidity_batch(edges, offsets, sizes, d, coords=coords)
    for name in ("labels", "redundant", "rank", "max_rank", "dof", "is_rigid"):
        differ = np.flatnonzero(getattr(generic, name) != getattr(numeric, name))
        assert differ.size == 0, f"{name} differ at {differ[:10]}"
    # Graphs computed alone: numeric mode repeats the batch exactly; generic mode at another
    # realization (another seed) gives the same generic answers.
    first = np.cumsum([0] + sizes)
    for g in range(0, len(graphs), 25):
        part = slice(offsets[g], offsets[g + 1])
        alone = tg.rigidity(graphs[g], d, coords=coords[first[g]:first[g + 1]])
        other = tg.rigidity(graphs[g], d, n=sizes[g], seed=rng.getrandbits(64))
        for r in (alone, other):
            assert (r.labels.tolist(), r.redundant.tolist(), r.rank, r.max_rank, r.dof, r.is_rigid) == \
                (numeric.labels[part].tolist(), numeric.redundant[part].tolist(), numeric.rank[g],
                 numeric.max_rank[g], numeric.dof[g], numeric.is_rigid[g]), (r.mode, g)


@pytest.mark.parametrize("d, n, count", [(2, 300, 20), (3, 200, 6)])
def test_numeric_mode_never_finds_more_rank_than_the_generic_one(d, n, count):
    # At any positions the rank of every prefix of the edges is at most its generic rank, so a
    # numeric label count above the generic one is rounding mistaken for independence. Labels
    # may differ the other way where an edge lies closer to the span of the edges before it than
    # the tolerance: a near-degeneracy of those positions, which equal ranks cannot rule out.
    rng = np.random.default_rng([d, n])
    m = ref.max_rank(n, d) + n // 10
    for _ in range(count):
        edges = ref.random_graph(n, m, random.Random(int(rng.integers(2**32))))
        generic = tg.rigidity(edges, d, n=n, seed=int(rng.integers(2**63)))
        numeric = tg.rigidity(edges, d, coords=rng.random((n, d)))
        excess = np.cumsum(numeric.labels, dtype=np.int64) - np.cumsum(generic.labels, dtype=np.int64)
        assert excess.max() <= 0, f"numeric rank above the generic rank from edge {np.argmax(excess > 0)} on"


SCALED = {
    "random graph in the plane": (ref.random_graph(12, 25, random.Random(1)),
                                  np.random.default_rng(1).uniform(-3.0, 3.0, (12, 2))),
    "random graph in space": (ref.random_graph(10, 26, random.Random(2)),
                              np.random.default_rng(2).uniform(0.0, 1.0, (10, 3))),
    "K33 on a conic": (K33, np.array(ON_A_CONIC, dtype=np.float64)),
    "prism, concurrent rungs": (prism(), np.array(CONCURRENT_PRISM, dtype=np.float64)),
}


@pytest.mark.parametrize("name", SCALED)
def test_numeric_results_do_not_change_when_every_coordinate_is_scaled_by_a_power_of_two(name):
    edges, coords = SCALED[name]
    base = tg.rigidity(edges, coords.shape[1], coords=coords)
    for k in range(-60, 61):
        scaled = tg.rigidity(edges, coords.shape[1], coords=coords * 2.0**k)
        assert fields(scaled) == fields(base), k
        assert scaled.tol == base.tol * 2.0**k, k
