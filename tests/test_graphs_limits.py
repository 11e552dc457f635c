"""telvora_graphs at the edges of what it takes: batch layouts the compiled routines must refuse on
their own, graphs whose vertex count dwarfs their edges, sizes that cannot fit, and the exception
type of every kind of bad integer or dtype."""

import random
import re
import warnings

import numpy as np
import pytest

import telvora_graphs as tg
from graph_reference import exact_rigidity, max_rank, random_integer_points
from telvora_graphs import _native

TRIANGLE = np.array([[0, 1], [1, 2], [0, 2]], dtype=np.int64)
SIX_POINTS = np.random.default_rng(3).random((6, 2))

# Each compiled batch routine, called directly with a layout for the triangle's three edges.
BATCH_ROUTINES = {
    "generic_batch": lambda offsets, n: _native.generic_batch(TRIANGLE, offsets, n, 2, 0),
    "numeric_batch": lambda offsets, n: _native.numeric_batch(TRIANGLE, offsets, n, SIX_POINTS[: int(n.sum())]),
    "generic_components_batch": lambda offsets, n: _native.generic_components_batch(TRIANGLE, offsets, n, 3, 0),
    "numeric_components_batch":
        lambda offsets, n: _native.numeric_components_batch(TRIANGLE, offsets, n, SIX_POINTS[: int(n.sum())]),
}

BAD_LAYOUTS = [
    ([0, 5, 3], [3, 3], "offsets[1] = 5 lies beyond the 3 edges"),
    ([0, 2**63 - 1, 3], [3, 3], f"offsets[1] = {2**63 - 1} lies beyond the 3 edges"),
    ([0, 3, 1], [3, 3], "offsets[1] = 3 > offsets[2] = 1"),
    ([0, 1, 2], [3, 3], "end at the number of edges (3), not 2"),
    ([2, 3], [3], "offsets must start at 0, not 2"),
    ([0, 3], [3, 3], "offsets must have one entry more than n (3), not 2"),
    ([0, 1, 3], [1, 3], "graph 0: edge 0 (0, 1) names a vertex outside 0 .. 0"),
]


@pytest.mark.parametrize("routine", BATCH_ROUTINES, ids=list(BATCH_ROUTINES))
@pytest.mark.parametrize("offsets, n, says", BAD_LAYOUTS, ids=[says[:30] for _, _, says in BAD_LAYOUTS])
def test_compiled_batch_routines_check_every_offset_themselves(routine, offsets, n, says):
    # The first layout once read past the edge array and put heap contents in the message.
    with pytest.raises(ValueError) as info:
        BATCH_ROUTINES[routine](np.array(offsets, dtype=np.int64), np.array(n, dtype=np.int64))
    assert says in str(info.value)
    numbers = {int(x) for x in re.findall(r"\d+", str(info.value))}
    assert numbers <= set(offsets) | set(n) | {0, 1, 2, 3}, str(info.value)


@pytest.mark.parametrize("seed", range(12))
def test_isolated_vertices_change_only_what_counts_vertices(seed):
    rng = random.Random(seed)
    d = 1 + seed % 3
    used, n = rng.randint(2, 6), rng.randint(8, 40)
    chosen = rng.sample(range(n), used)
    edges = []
    for _ in range(rng.randint(1, d * used + 2)):
        a, b = rng.sample(chosen, 2)
        edges.append((a, b))
    # The exact rank at integer points of every vertex: no vertex left out of the reference.
    exact = exact_rigidity(random_integer_points(n, d, rng, 10**6), edges)
    result = tg.rigidity(edges, d, n=n, seed=seed)
    assert result.labels.tolist() == exact["labels"]
    assert result.redundant.tolist() == exact["redundant"]
    assert (result.rank, result.max_rank, result.dof) == (exact["rank"], max_rank(n, d), max_rank(n, d) - exact["rank"])
    assert not (result.is_rigid or result.is_redundantly_rigid or result.is_globally_rigid)
    batch = tg.rigidity_batch(edges + edges, [0, len(edges), 2 * len(edges)], [n, max(chosen) + 1], d,
                              seed=seed, global_rigidity=True)
    assert batch.labels[: len(edges)].tolist() == exact["labels"]
    assert batch.max_rank.tolist() == [max_rank(n, d), max_rank(max(chosen) + 1, d)]
    # The components are in the graph's own numbering, alone and in a batch.
    sets = [c.tolist() for c in tg.rigid_components(edges, d, n=n, seed=seed)]
    assert all(set(c) <= set(chosen) for c in sets)
    numeric_sets = [c.tolist() for c in tg.rigid_components(edges, d, coords=np.random.default_rng(seed).random((n, d)))]
    assert sets == numeric_sets
    packed = tg.rigid_components_batch(edges, [0, len(edges)], [n], d, seed=seed)
    assert sorted({v for _, v in packed.members.tolist()}) == sorted({v for c in sets for v in c})


def test_pebble_game_with_isolated_vertices_counts_their_pebbles():
    rng = random.Random(5)
    for k, l in [(1, 1), (2, 3), (2, 0), (3, 5)]:
        edges = [(rng.choice([3, 17, 40]), rng.choice([3, 17, 40, 41])) for _ in range(12)]
        spread = tg.pebble_game(edges, 1000, k=k, l=l)
        dense = {3: 0, 17: 1, 40: 2, 41: 3}
        alone = tg.pebble_game([(dense[a], dense[b]) for a, b in edges], 4, k=k, l=l)
        assert spread.labels.tolist() == alone.labels.tolist()
        back = {v: u for u, v in dense.items()}
        assert [c.tolist() for c in spread.components] == [[back[v] for v in c.tolist()] for c in alone.components]
        assert spread.free_pebbles == alone.free_pebbles + k * 996
        assert not spread.is_tight


# Sizes that once took gigabytes or minutes: each answers at once from the edges alone.
def test_vertex_counts_cost_nothing_beyond_their_edges():
    assert [c.tolist() for c in tg.rigid_components([(1, 4)], n=2**31)] == [[1, 4]]
    assert [c.tolist() for c in tg.rigid_components([(1, 4)], 3, n=10**8)] == [[1, 4]]
    assert tg.pebble_game([], n=1, k=2**24, l=0).free_pebbles == 2**24
    one_bar = tg.rigidity([(0, 1)], n=16384)
    assert (one_bar.rank, one_bar.dof) == (1, 2 * 16384 - 4)
    far = tg.rigidity([(0, 10**12)])
    assert (far.n, far.rank, far.max_rank) == (10**12 + 1, 1, 2 * 10**12 - 1)
    assert tg.rigidity_batch([(0, 1)], [0, 1], [10**15]).max_rank.tolist() == [2 * 10**15 - 3]


LIMITS = [
    (lambda: tg.pebble_game([], n=1, k=2**28, l=0), ValueError, "k must be at most 2**24"),
    (lambda: tg.pebble_game([(0, 1)], n=2**50, k=2**20, l=0), ValueError, "k n pebbles must fit 64 bits"),
    (lambda: tg.rigidity([(0, 1)], n=2**62), ValueError, "n * d (the rigidity matrix's columns) must be below 2**63"),
    (lambda: tg.rigidity_batch([(0, 1)], [0, 1], [2**62]), ValueError, "graph 0: n * d"),
    (lambda: tg.rigidity([(i, i + 1) for i in range(20)], 2**28), MemoryError, "bytes"),
    (lambda: tg.rigid_components([(i, i + 1) for i in range(20)], 2**28), MemoryError, "bytes"),
    (lambda: tg.pebble_game([(i, i + 1) for i in range(256)], k=2**24, l=0), MemoryError, "257 * 16777216"),
]


@pytest.mark.parametrize("call, error, words", LIMITS, ids=[words[:30] for _, _, words in LIMITS])
def test_limits_are_a_value_error_and_what_cannot_fit_a_memory_error_naming_the_size(call, error, words):
    with pytest.raises(error, match=re.escape(words)):
        call()


PUBLIC = {
    "rigidity": lambda edges: tg.rigidity(edges),
    "rigidity_batch": lambda edges: tg.rigidity_batch(edges, [0, len(edges)], [3]),
    "pebble_game": lambda edges: tg.pebble_game(edges),
    "rigid_components": lambda edges: tg.rigid_components(edges),
    "rigid_components_batch": lambda edges: tg.rigid_components_batch(edges, [0, len(edges)], [3]),
}


@pytest.mark.parametrize("function", PUBLIC, ids=list(PUBLIC))
@pytest.mark.parametrize("edges, error", [
    ([(0, -2**70)], ValueError),
    ([(0, 2**70)], ValueError),
    (np.zeros((0, 2), dtype=np.complex128), TypeError),
    (np.zeros((0, 2), dtype=str), TypeError),
    (np.zeros((0, 2), dtype=bool), TypeError),
    (np.zeros(0, dtype="datetime64[s]"), TypeError),
], ids=["below-int64", "above-int64", "empty-complex", "empty-str", "empty-bool", "empty-datetime"])
def test_out_of_range_integers_and_non_numeric_dtypes_are_refused_alike(function, edges, error):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no ComplexWarning on the way to the refusal
        with pytest.raises(error, match="edges"):
            PUBLIC[function](edges)


@pytest.mark.parametrize("function", PUBLIC, ids=list(PUBLIC))
def test_empty_edge_lists_are_still_accepted(function):
    for empty in ([], (), np.zeros((0, 2)), np.zeros((0, 2), dtype=np.uint8)):
        PUBLIC[function](empty)
