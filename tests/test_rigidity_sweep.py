"""rigidity_sweep: the (k, l) game recorded after every edge, its snapshots, and percolation."""

import random

import networkx as nx
import numpy as np
import pytest

import telvora_graphs as tg
from graph_reference import random_graph

TWO_TRIANGLES = [(0, 1), (1, 2), (2, 0), (2, 3), (3, 0)]


@pytest.mark.parametrize(("edges", "k", "l", "largest", "count"), [
    (TWO_TRIANGLES, 2, 3, [2, 2, 3, 3, 4], [1, 2, 1, 2, 1]),
    # A path, then a triangle: the triangle swallows the two bars it closes.
    ([(0, 1), (1, 2), (2, 0), (0, 0)], 2, 3, [2, 2, 3, 3], [1, 2, 1, 1]),
    # Forests: components are the trees, a repeated edge is dependent.
    ([(0, 1), (2, 3), (1, 2), (1, 2)], 1, 1, [2, 2, 4, 4], [1, 2, 1, 1]),
    # (1, 0): a loop makes its vertex a component of one vertex, counted as largest but not in count;
    # a bar alone spans one edge on two vertices, not tight.
    ([(0, 0), (1, 2)], 1, 0, [1, 1], [0, 0]),
    ([], 2, 3, [], []),
])
def test_recorded_statistics(edges, k, l, largest, count):
    sweep = tg.rigidity_sweep(edges, k=k, l=l)
    assert sweep.largest.tolist() == largest
    assert sweep.n_components.tolist() == count
    assert sweep.labels.tolist() == tg.pebble_game(edges, k=k, l=l).labels.tolist()


@pytest.mark.parametrize(("k", "l"), [(2, 3), (1, 1), (3, 3), (3, 5), (6, 6), (2, 1)])
def test_snapshots_are_the_games_of_the_prefixes(k, l):
    rng = random.Random(100 * k + l)
    for _ in range(6):
        n = rng.randrange(2, 40)
        edges = np.array(random_graph(n, rng.randrange(0, 3 * k * n // 2 + 2), rng, repeats=True), dtype=np.int64)
        edges = edges.reshape(-1, 2)
        m = len(edges)
        steps = sorted({0, m, *(rng.randrange(0, m + 1) for _ in range(3))}, reverse=True)
        sweep = tg.rigidity_sweep(edges, n, k=k, l=l, snapshots=steps)
        for s, step in enumerate(steps):
            expected = tg.pebble_game(edges[:step], n, k=k, l=l).components
            got = sweep.components_at(s)
            assert [c.tolist() for c in got] == [c.tolist() for c in expected]
            multi = [c for c in expected if len(c) >= 2]
            if step:
                assert sweep.n_components[step - 1] == len(multi)
                assert sweep.largest[step - 1] == max((len(c) for c in expected), default=0)
            owner = sweep.vertex_components(s)
            for v in range(n):
                holding = [i for i, c in enumerate(got) if v in c]
                if not holding:
                    assert owner[v] == -1
                else:
                    assert owner[v] == min(holding, key=lambda i: (-len(got[i]), i))


def test_networkx_graphs_and_results_are_read_only():
    graph = nx.Graph(TWO_TRIANGLES)
    sweep = tg.rigidity_sweep(graph, snapshots=3)
    assert sweep.steps.tolist() == [3] and sweep.n == 4
    for array in (sweep.labels, sweep.largest, sweep.n_components, sweep.snapshot_members):
        with pytest.raises(ValueError):
            array[0] = 0


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"snapshots": [6]}, ValueError, "snapshot step 6 is beyond the 5 edges"),
    ({"snapshots": [-1]}, ValueError, "cannot be negative"),
    ({"snapshots": [1.5]}, TypeError, "snapshots must hold integers"),
    ({"snapshots": [[1]]}, ValueError, "one-dimensional"),
    ({"k": 2, "l": 4}, ValueError, "l must be below 2k"),
    ({"n": 3}, ValueError, "vertex"),
])
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        tg.rigidity_sweep(TWO_TRIANGLES, **kwargs)


def test_snapshot_index_out_of_range():
    sweep = tg.rigidity_sweep(TWO_TRIANGLES, snapshots=[2])
    assert [c.tolist() for c in sweep.components_at(-1)] == [[0, 1], [1, 2]]
    with pytest.raises(IndexError, match="1 snapshots were taken"):
        sweep.components_at(1)


@pytest.mark.parametrize("periodic", [False, True])
def test_triangular_lattice(periodic):
    L = 7
    bonds = tg.triangular_lattice(L, periodic=periodic)
    graph = nx.Graph(bonds.tolist())
    assert graph.number_of_edges() == len(bonds) == (3 * L * L if periodic else 3 * (L - 1) ** 2 + 2 * (L - 1))
    degrees = {d for _, d in graph.degree()}
    assert degrees == ({6} if periodic else {2, 3, 4, 6})
    # The whole lattice is rigid: one component of every site.
    assert tg.rigidity_sweep(bonds, L * L).largest[-1] == L * L


def test_rigidity_percolation_threshold_of_the_triangular_lattice():
    # Bonds added in random order to a periodic lattice; the rigid cluster appears where the largest
    # component jumps most. The threshold of the infinite lattice is 0.6603; at L = 64 the estimate
    # sits a little below it (about 0.657), and a wrong component size moves it far away.
    L, seeds = 64, 12
    bonds = tg.triangular_lattice(L, periodic=True)
    estimates = []
    for seed in range(seeds):
        order = np.random.default_rng(seed).permutation(len(bonds))
        largest = tg.rigidity_sweep(bonds[order], L * L).largest
        estimates.append((np.argmax(np.diff(largest, prepend=0)) + 1) / len(bonds))
    assert abs(np.mean(estimates) - 0.6603) < 0.008
    assert np.std(estimates) < 0.02
