"""telvora_graphs as a user meets it: what each argument accepts and converts, what it refuses
and how it says so, and the shape of the results. The mathematics is tested elsewhere."""

import dataclasses
import doctest
import pathlib
import re

import numpy as np
import pytest

import telvora_graphs as tg
from graph_reference import random_graph_batch

# A triangle with a repeated bar and a pendant vertex; vertex 4 is isolated when n=5.
PAIRS = [(0, 1), (1, 2), (2, 0), (0, 1), (2, 3)]
EDGES = np.array(PAIRS, dtype=np.int64)
POINTS = np.array([[0.0, 0.0], [4.0, 0.5], [1.0, 3.0], [5.0, 4.0], [2.0, 2.0]])


def summary(result):
    return (result.edges.tolist(), result.labels.tolist(), result.redundant.tolist(), result.rank, result.n)


def big_endian(array):
    return array.astype(array.dtype.newbyteorder(">"))


EDGE_FORMS = {
    "tuples": PAIRS,
    **{f"array-{dtype}": EDGES.astype(dtype) for dtype in
       ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "longlong")},
    "fortran": np.asfortranarray(EDGES),
    "strided": np.repeat(EDGES, 3, axis=0)[::3],
    "big-endian": big_endian(EDGES),
    "object-ints": np.array(PAIRS, dtype=object),
    # NumPy would make float64 of int32 next to uint64 scalars, or of ints next to ints above 2**63.
    "numpy-scalars": [(np.int32(i), np.uint64(j)) for i, j in PAIRS],
}


@pytest.mark.parametrize("coords", [None, POINTS], ids=["generic", "numeric"])
@pytest.mark.parametrize("form", EDGE_FORMS, ids=str)
def test_every_form_of_edges_gives_the_same_answer(form, coords):
    expected = tg.rigidity(EDGES, n=5, coords=coords)
    got = tg.rigidity(EDGE_FORMS[form], n=5, coords=coords)
    assert summary(got) == summary(expected)
    assert got.edges.dtype == np.int64 and got.edges.flags.c_contiguous


@pytest.mark.parametrize("convert", [
    lambda p: p.astype(np.float32), lambda p: p.astype(np.float16), lambda p: p.astype(np.int64),
    lambda p: p.tolist(), np.asfortranarray, lambda p: np.repeat(p, 2, axis=1)[:, ::2],
], ids=["float32", "float16", "int64", "list", "fortran", "strided"])
def test_coordinates_convert_exactly(convert):
    # The points are small integers, so every one of these forms holds them exactly.
    points = np.array([[0.0, 0.0], [4.0, 1.0], [1.0, 3.0], [5.0, 4.0], [2.0, 2.0]])
    expected = tg.rigidity(EDGES, coords=points)
    got = tg.rigidity(EDGES, coords=convert(points))
    assert summary(got) == summary(expected) and got.tol == expected.tol


@pytest.mark.parametrize("edges, n, expected_n, max_rank", [
    ([], None, 0, 0), (np.empty((0, 2), dtype=np.int32), 4, 4, 5), (PAIRS, None, 4, 5), (PAIRS, 9, 9, 15),
])
def test_the_vertex_count_defaults_to_the_largest_index_and_counts_isolated_vertices(edges, n, expected_n, max_rank):
    result = tg.rigidity(edges, n=n)
    assert (result.n, result.m, result.max_rank) == (expected_n, len(edges), max_rank)


def test_networkx_graphs_convert_by_node_order():
    nx = pytest.importorskip("networkx")
    graph = nx.Graph()
    graph.add_nodes_from(["c", "a", "lonely", "b", "d"])
    graph.add_edges_from([("c", "a"), ("a", "b"), ("b", "c"), ("b", "d")])
    result = tg.rigidity(graph)
    assert result.n == 5  # the isolated node counts
    assert result.edges.tolist() == [[0, 1], [0, 3], [1, 3], [3, 4]]  # G.edges order, by G.nodes position
    positions = {"c": (0, 0), "a": (4, 0.5), "lonely": (2, 2), "b": (1, 3), "d": (5, 4)}
    from_mapping = tg.rigidity(graph, coords=positions)
    from_array = tg.rigidity(graph, coords=np.array([positions[v] for v in graph.nodes], dtype=float))
    assert summary(from_mapping) == summary(from_array)
    multi = tg.rigidity(nx.MultiGraph([(0, 1), (0, 1), (1, 2)]))
    assert multi.labels.tolist() == [1, 0, 1] and multi.redundant.tolist() == [True, True, False]


# A graph whose nodes are strings and tuples, not in edge order: two triangles sharing the bar
# c-a, a pendant and an isolated node. The same graph as pairs of positions in G.nodes order.
NAMED_NODES = ["c", ("x", 1), "lonely", "a", ("y", 2), "tail"]
NAMED_EDGES = [("c", ("x", 1)), (("x", 1), "a"), ("a", "c"), ("a", ("y", 2)), (("y", 2), "c"), ("a", "tail")]
NAMED_PLACES = {"c": (0.0, 0.0), ("x", 1): (2.0, -1.0), "lonely": (5.0, 5.0), "a": (3.0, 1.0), ("y", 2): (1.0, 3.0),
                "tail": (4.0, 3.0)}

# (function, call on edges and coords, what of the result names vertices: a list of arrays)
VERTEX_NAMING = [
    ("rigidity", lambda e, p: tg.rigidity(e), lambda r: [r.independent_edges, r.redundant_edges]),
    ("rigidity numeric", lambda e, p: tg.rigidity(e, coords=p), lambda r: [r.independent_edges, r.redundant_edges]),
    ("rigid_components", lambda e, p: tg.rigid_components(e), lambda r: r),
    ("rigid_components 3-D", lambda e, p: tg.rigid_components(e, 3), lambda r: r),
    ("rigid_components numeric", lambda e, p: tg.rigid_components(e, coords=p), lambda r: r),
    ("pebble_game", lambda e, p: tg.pebble_game(e), lambda r: [r.accepted_edges, *r.components]),
    ("pebble_game (1, 1)", lambda e, p: tg.pebble_game(e, k=1, l=1), lambda r: r.components),
    ("rigidity_sweep", lambda e, p: tg.rigidity_sweep(e, snapshots=[2, 3, 6]),
     lambda r: [*r.components_at(0), *r.components_at(1), *r.components_at(2)]),
    ("motions", lambda e, p: tg.motions(e, p), lambda r: []),
    ("stresses", lambda e, p: tg.stresses(e, p), lambda r: []),
]


@pytest.mark.parametrize(("call", "vertices"), [row[1:] for row in VERTEX_NAMING], ids=[row[0] for row in VERTEX_NAMING])
def test_results_for_a_networkx_graph_name_its_nodes(call, vertices):
    nx = pytest.importorskip("networkx")
    graph = nx.Graph()
    graph.add_nodes_from(NAMED_NODES)
    graph.add_edges_from(NAMED_EDGES)
    position = {node: k for k, node in enumerate(graph.nodes)}
    pairs = [(position[u], position[v]) for u, v in graph.edges]  # G.edges order, as converted
    points = np.array([NAMED_PLACES[node] for node in graph.nodes])
    named, indexed = call(graph, NAMED_PLACES), call(np.array(pairs), points)
    named_lists, indexed_lists = vertices(named), vertices(indexed)
    assert len(named_lists) == len(indexed_lists)
    assert any(len(part) for part in indexed_lists) or not indexed_lists
    for by_name, by_index in zip(named_lists, indexed_lists):
        # An object array of the node labels, tuples kept whole, standing where the positions stand.
        assert by_name.dtype == object and by_name.shape == by_index.shape
        expected = np.empty(by_index.size, dtype=object)
        for k, v in enumerate(by_index.reshape(-1).tolist()):
            expected[k] = NAMED_NODES[v]
        assert by_name.reshape(-1).tolist() == expected.tolist()
    if not isinstance(named, list):
        assert named.nodes.tolist() == NAMED_NODES and indexed.nodes is None
        for name in ("vectors", "coords", "labels", "largest"):  # what is indexed by position is unchanged
            if hasattr(named, name):
                np.testing.assert_array_equal(getattr(named, name), getattr(indexed, name))


ERRORS = [
    # (call, exception, words the message must contain)
    (lambda: tg.rigidity(EDGES.T), ValueError, "looks like a (2, m) edge_index; pass edges.T"),
    (lambda: tg.rigidity(np.zeros((3, 3), int)), ValueError, "shape (m, 2)"),
    (lambda: tg.rigidity([[0, 1], [2]]), ValueError, "edges must be pairs of vertex indices"),
    (lambda: tg.rigidity(EDGES.astype(float)), TypeError, "not dtype float64; if they are whole numbers, pass edges.astype(np.int64)"),
    (lambda: tg.rigidity(EDGES.astype(bool)), TypeError, "edges must hold integers"),
    (lambda: tg.rigidity([("0", "1")]), TypeError, "not dtype <U1"),
    (lambda: tg.rigidity(np.array([[0, 1.5]], dtype=object)), TypeError, "not float"),
    (lambda: tg.rigidity([(0.0, 1.0)]), TypeError, "not float; if they are whole numbers, pass them as ints"),
    (lambda: tg.rigidity([(0, 1), (2, -1)]), ValueError, "edges[1] = (2, -1) has a negative vertex index"),
    (lambda: tg.rigidity([(0, 1), (1, 1)]), ValueError, "edges[1] = (1, 1) is a loop"),
    (lambda: tg.rigidity(np.array([[0, 2**63]], dtype=np.uint64)), ValueError, "above 2**63 - 1"),
    (lambda: tg.rigidity([(0, 2**70)]), ValueError, "above 2**63 - 1"),
    (lambda: tg.rigidity(PAIRS, n=3), ValueError, "edges[4] = (2, 3) names vertex 3, but n=3"),
    (lambda: tg.rigidity(PAIRS, n=-1), ValueError, "n must be at least 0"),
    (lambda: tg.rigidity(PAIRS, n=4.0), TypeError, "n must be an integer, not float"),
    (lambda: tg.rigidity(PAIRS, 0), ValueError, "d must be at least 1"),
    (lambda: tg.rigidity(PAIRS, "2"), TypeError, "d must be an integer, not str"),
    (lambda: tg.rigidity(PAIRS, True), TypeError, "d must be an integer, not bool"),
    (lambda: tg.rigidity(PAIRS, 2**64), ValueError, "d must be below 2**64"),
    (lambda: tg.rigidity(EDGES, 3, coords=POINTS), ValueError, "coords has 2 columns but d=3; pass d=2"),
    (lambda: tg.rigidity(EDGES, coords=POINTS[:, 0]), ValueError, "coords must have shape (n, d)"),
    (lambda: tg.rigidity(EDGES, coords=POINTS[:3]), ValueError, "names vertex 3, but coords has 3 rows"),
    (lambda: tg.rigidity(EDGES, n=6, coords=POINTS), ValueError, "n=6, but coords has 5 rows; leave n out"),
    (lambda: tg.rigidity(EDGES, coords=np.where(POINTS == 3.0, np.nan, POINTS)), ValueError, "coords[2] = [1.0, nan] is not finite"),
    (lambda: tg.rigidity(EDGES, coords=POINTS.astype(complex)), TypeError, "coords must hold real numbers"),
    (lambda: tg.rigidity(EDGES, coords=POINTS.astype(object)), TypeError, "np.asarray(coords, dtype=np.float64)"),
    (lambda: tg.rigidity(EDGES, coords=(POINTS * 2**54).astype(np.int64)), ValueError, "beyond 2**53"),
    (lambda: tg.rigidity(EDGES, coords={0: (0, 0)}), TypeError, "mapping only for a networkx graph"),
    (lambda: tg.rigidity(EDGES, tol=1e-9), ValueError, "tol applies to numeric mode only"),
    (lambda: tg.rigidity(EDGES, coords=POINTS, tol=-1.0), ValueError, "tol must be a finite number >= 0"),
    (lambda: tg.rigidity(EDGES, coords=POINTS, tol=float("nan")), ValueError, "tol must be a finite number >= 0"),
    (lambda: tg.rigidity(EDGES, coords=POINTS, tol="1e-9"), TypeError, "tol must be a float or None, not str"),
    (lambda: tg.rigidity(EDGES, seed=-1), ValueError, "seed must be at least 0, not -1"),
    (lambda: tg.rigidity(EDGES, seed=2**64), ValueError, "seed must be below 2**64"),
    (lambda: tg.rigidity(EDGES, seed=1.0), TypeError, "seed must be an integer, not float"),
    (lambda: tg.rigidity_batch(EDGES, [1, 5], [5]), ValueError, "offsets must start at 0, not 1"),
    (lambda: tg.rigidity_batch(EDGES, [0, 3, 2, 5], [5, 5, 5]), ValueError, "offsets[1] = 3 > offsets[2] = 2"),
    (lambda: tg.rigidity_batch(EDGES, [0, 4], [5]), ValueError, "offsets must end at the number of edges (5), not 4"),
    (lambda: tg.rigidity_batch(EDGES, [[0, 5]], [5]), ValueError, "offsets must have shape (G + 1,)"),
    (lambda: tg.rigidity_batch(EDGES, [], []), ValueError, "offsets must have shape (G + 1,)"),
    (lambda: tg.rigidity_batch(EDGES, [0, 5], [5, 5]), ValueError, "n must have shape (1,)"),
    (lambda: tg.rigidity_batch(EDGES, [0, 3, 5], [3, -2]), ValueError, "n[1] = -2 is negative"),
    (lambda: tg.rigidity_batch(EDGES, [0, 3, 5], [3, 3]), ValueError, "edges[4] = (2, 3) belongs to graph 1, which has n[1] = 3"),
    (lambda: tg.rigidity_batch(EDGES, [0, 5], [5], coords=POINTS[:4]), ValueError, "coords has 4 rows but the graphs have 5 vertices"),
    (lambda: tg.rigidity_batch(EDGES.T, [0, 5], [5]), ValueError, "pass edges.T"),
    (lambda: tg.rigidity_batch(EDGES, [0.0, 5.0], [5]), TypeError, "offsets must hold integers"),
    (lambda: tg.rigidity_batch(EDGES, [0, 5], [5], tol=0.1), ValueError, "tol applies to numeric mode only"),
    (lambda: tg.graph_seed(0, -1), ValueError, "g must be at least 0"),
]


@pytest.mark.parametrize("call, error, words", ERRORS, ids=[words[:40] for _, _, words in ERRORS])
def test_bad_input_is_refused_with_a_message_saying_what_to_do(call, error, words):
    with pytest.raises(error, match=re.escape(words)):
        call()


def test_networkx_input_that_cannot_be_bars_is_refused():
    nx = pytest.importorskip("networkx")
    for call, error, words in [
        (lambda: tg.rigidity(nx.DiGraph([(0, 1)])), TypeError, "pass G.to_undirected()"),
        (lambda: tg.rigidity(nx.Graph([(0, 1), (1, 1)])), ValueError, "nx.selfloop_edges"),
        (lambda: tg.rigidity(nx.path_graph(3), n=4), ValueError, "n=4, but the networkx graph has 3 nodes"),
        (lambda: tg.rigidity(nx.path_graph(3), coords=POINTS), ValueError, "coords has 5 rows, but the networkx graph has 3 nodes"),
        (lambda: tg.rigidity(nx.path_graph(3), coords={0: (0, 0), 1: (1, 0)}), ValueError, "no position for node 2"),
        (lambda: tg.rigidity(nx.path_graph(3), coords={0: (0, 0), 1: (1, 0), 2: (1, 2, 3)}), ValueError, "coords[2] must be a position of 2"),
        (lambda: tg.rigidity_batch(nx.path_graph(3), [0, 2], [3]), TypeError, "for one networkx graph call rigidity"),
    ]:
        with pytest.raises(error, match=re.escape(words)):
            call()


@pytest.mark.parametrize("coords", [None, POINTS], ids=["generic", "numeric"])
def test_results_are_frozen_and_consistent(coords):
    result = tg.rigidity(EDGES, n=5, coords=coords, seed=7)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.rank = 0
    for name in ("edges", "labels", "redundant"):
        with pytest.raises(ValueError, match="read-only"):
            getattr(result, name)[0] = 0
    assert (result.labels.dtype, result.redundant.dtype, result.edges.shape) == (np.uint8, np.bool_, (5, 2))
    assert result.dof == result.max_rank - result.rank and result.n_stresses == result.m - result.rank == 1
    assert result.independent_edges.tolist() == [[0, 1], [1, 2], [2, 0], [2, 3]]
    assert result.redundant_edges.tolist() == [[0, 1], [0, 1]]  # the triangle is independent
    generic = coords is None
    assert result.mode == ("generic" if generic else "numeric")
    assert (result.seed, result.tol is None, result.error_bound is None) == ((7, True, False) if generic else (None, False, True))
    assert isinstance(result.is_globally_rigid, bool) if generic else result.is_globally_rigid is None
    assert "rank=4" in repr(result) and "labels" not in repr(result)


def test_the_result_keeps_its_own_copy_of_the_edges():
    edges = EDGES.copy()
    result = tg.rigidity(edges)
    edges[:] = 0
    assert result.edges.tolist() == EDGES.tolist()


@pytest.mark.parametrize("numeric", [False, True], ids=["generic", "numeric"])
def test_each_graph_of_a_batch_is_the_graph_computed_alone(numeric):
    rng = np.random.default_rng(4)
    sizes = [0, 1, 2, 5, 7, 7, 9]
    graphs = [rng.integers(0, n, (2 * n, 2)) if n > 1 else np.empty((0, 2), int) for n in sizes]
    graphs = [g[g[:, 0] != g[:, 1]] for g in graphs]
    offsets = np.cumsum([0] + [len(g) for g in graphs])
    coords = rng.random((sum(sizes), 2)) if numeric else None
    seed = 2**64 - 5
    batch = tg.rigidity_batch(np.concatenate(graphs), offsets, sizes, coords=coords, seed=seed)
    assert (batch.n.tolist(), batch.offsets.tolist(), batch.n_graphs) == (sizes, offsets.tolist(), len(sizes))
    assert [a.dtype for a in (batch.labels, batch.redundant, batch.rank, batch.max_rank, batch.dof, batch.is_rigid)] \
        == [np.uint8, np.bool_, np.int64, np.int64, np.int64, np.bool_]
    with pytest.raises(ValueError, match="read-only"):
        batch.rank[0] = 1
    with pytest.raises(dataclasses.FrozenInstanceError):
        batch.seed = 0
    first = np.cumsum([0] + sizes)
    for g, edges in enumerate(graphs):
        alone = tg.rigidity(edges, n=sizes[g], coords=None if coords is None else coords[first[g]:first[g + 1]],
                            seed=tg.graph_seed(seed, g))
        part = slice(offsets[g], offsets[g + 1])
        assert batch.labels[part].tolist() == alone.labels.tolist(), g
        assert batch.redundant[part].tolist() == alone.redundant.tolist(), g
        assert (batch.rank[g], batch.max_rank[g], batch.dof[g], batch.is_rigid[g]) == \
            (alone.rank, alone.max_rank, alone.dof, alone.is_rigid), g


@pytest.mark.parametrize("d", [2, 3])
def test_batch_global_rigidity_is_each_graphs_own(d):
    graphs, edges, offsets = random_graph_batch(np.random.default_rng(d), 120, (1, 10), (0.4, 1.0))
    sizes = [n for n, _ in graphs]
    batch = tg.rigidity_batch(edges, offsets, sizes, d, seed=11, global_rigidity=True)
    alone = [tg.rigidity(e, d, n=n, seed=tg.graph_seed(11, g)).is_globally_rigid for g, (n, e) in enumerate(graphs)]
    assert batch.is_globally_rigid.dtype == np.bool_ and batch.is_globally_rigid.tolist() == alone
    assert 10 < sum(alone) < 110  # both answers occur
    assert tg.rigidity_batch(EDGES, [0, 5], 5).is_globally_rigid is None
    with pytest.raises(ValueError, match="generic mode only"):
        tg.rigidity_batch(EDGES, [0, 5], 5, coords=np.random.default_rng(0).random((5, 2)), global_rigidity=True)
    with pytest.raises(TypeError, match="global_rigidity must be True or False"):
        tg.rigidity_batch(EDGES, [0, 5], 5, global_rigidity=1)


def test_batch_vertex_counts_may_be_one_integer():
    a = tg.rigidity_batch(np.tile(EDGES, (3, 1)), [0, 5, 10, 15], 5, seed=3)
    b = tg.rigidity_batch(np.tile(EDGES, (3, 1)), [0, 5, 10, 15], np.array([5, 5, 5], dtype=np.uint8), seed=3)
    assert a.n.tolist() == [5, 5, 5] and a.labels.tolist() == b.labels.tolist()


def test_graph_seed_of_graph_zero_is_the_seed():
    assert tg.graph_seed(123, 0) == 123
    assert len({tg.graph_seed(0, g) for g in range(1000)}) == 1000


@pytest.mark.parametrize("page", ["docs/graphs.md", "README.md"])
def test_the_documented_examples_hold(page):
    docs = pathlib.Path(__file__).resolve().parent.parent / page
    if docs.is_file():  # absent when the tests run from an installed copy
        assert doctest.testfile(str(docs), module_relative=False).failed == 0
    assert doctest.testmod(tg).failed == 0


@pytest.mark.parametrize("call", [
    lambda e, p: tg.rigidity(e, coords=p),
    lambda e, p: tg.rigid_components(e, coords=p),
    lambda e, p: tg.rigidity_batch(e, [0, len(e)], [len(p)], coords=p),
    lambda e, p: tg.rigid_components_batch(e, [0, len(e)], [len(p)], coords=p),
])
def test_dimension_comes_from_the_coordinates(call):
    # An octahedron's 12 edges at its points in space: rigid there, flexible in the plane.
    points = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]], dtype=float)
    edges = [(i, j) for i in range(6) for j in range(i + 1, 6) if not (j == i + 1 and i % 2 == 0)]
    assert len(edges) == 12
    implicit, explicit = call(edges, points), call(edges, points.tolist())
    assert repr(type(implicit)) == repr(type(explicit))
    assert tg.rigidity(edges, coords=points).d == 3 and tg.rigidity(edges, coords=points).is_rigid
    assert tg.rigidity(edges).d == 2  # no coordinates: the plane
    with pytest.raises(ValueError, match="has 3 columns but d=2"):
        tg.rigidity(edges, 2, coords=points)
