"""rigidity and rigidity_batch: arguments checked here, the work done by the compiled module."""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._mixing import mix
from .inputs import (CoordsLike, EdgesLike, GraphLike, batch_offsets, batch_vertex_counts, coordinate_array,
                     edge_array, graph_edges, integer, is_networkx_graph, tolerance, vertex_count)
from .results import (ComponentsBatch, Motions, Pebbles, Rigidity, RigidityBatch, Stresses, Sweep, VertexNames,
                      named, read_only, vertex_names)



def graph_seed(seed: int, g: int) -> int:
    """The seed with which rigidity() draws the generic realization of graph g of a batch.

    Graph g of ``rigidity_batch(..., seed=seed)`` is realized at the point drawn from
    ``seed ^ mix(g)``, mix being SplitMix64's finaliser (and mix(0) = 0, so graph 0 is drawn
    from seed itself).

    Parameters
    ----------
    seed : int
        The batch's seed, 0 .. 2**64 - 1.
    g : int
        The graph's index in the batch.

    Returns
    -------
    int
        The seed for which ``rigidity(graph g's edges, d, n=n[g], seed=...)`` repeats the batch's
        labels, redundancy and rank of graph g exactly.

    Raises
    ------
    TypeError, ValueError
        For a seed or index that is not an integer in range.

    Examples
    --------
    >>> import telvora_graphs as tg
    >>> tg.graph_seed(7, 0)
    7
    """
    return integer(seed, "seed") ^ mix(integer(g, "g"))



def _dimension(d: object, coords: object) -> int:
    """d as given, else the width of the coordinates, else 2 (the plane)."""
    if d is not None:
        return integer(d, "d", 1)
    if coords is None:
        return 2
    if isinstance(coords, Mapping):
        first = next(iter(coords.values()), None)
        return max(1, int(np.size(first))) if first is not None else 2
    shape = getattr(coords, "shape", None)
    if shape is None:  # a nested sequence; a ragged one stays one-dimensional, for the check to explain
        shape = np.asarray(cast(Any, coords), dtype=object).shape
    return max(1, int(shape[1])) if len(shape) == 2 else 2


def _graph(edges: EdgesLike, loops: bool = False) -> tuple[NDArray[np.int64], list[Hashable] | None,
                                                           tuple[int, str] | None]:
    """The edges as vertex positions; for a networkx graph also its nodes in the order the
    positions count them, and that node count with where it comes from (for vertex_count)."""
    if not is_networkx_graph(edges):
        return edge_array(cast(ArrayLike, edges), loops=loops), None, None
    edge_pairs, labels = graph_edges(cast(GraphLike, edges), loops=loops)
    return edge_pairs, labels, (len(labels), f"the networkx graph has {len(labels)} nodes")


def _framework(edges: EdgesLike, d: int, n: object, coords: CoordsLike | None, tol: object, seed: object
               ) -> tuple[NDArray[np.int64], int, NDArray[np.float64] | None, float | None, int, VertexNames]:
    """The edges, the vertex count, the positions (None in generic mode), tol, seed and the
    vertex names (None but for a networkx graph) of a call, each checked against the others."""
    edge_pairs, labels, known = _graph(edges)
    checked_tol = tolerance(tol, coords is None)
    checked_seed = integer(seed, "seed")
    names = vertex_names(labels)
    if coords is None:
        return edge_pairs, vertex_count(n, edge_pairs, known), None, checked_tol, checked_seed, names
    positions = coordinate_array(coords, d, labels)
    rows = positions.shape[0]
    if known is not None and rows != known[0]:
        raise ValueError(f"coords has {rows} rows, but {known[1]}; pass one position per node in G.nodes "
                         "order, or a mapping from node to position")
    count = vertex_count(n, edge_pairs, (rows, f"coords has {rows} rows"))
    return edge_pairs, count, positions, checked_tol, checked_seed, names

def _field(method: object, d: int, generic: bool) -> int:
    """1 when method asks for the elimination over the prime field, 0 for counting (d <= 2) or the default."""
    if method is None:
        return 0
    if method not in ("counting", "field"):
        raise ValueError(f"method must be None, 'counting' or 'field', not {method!r}")
    if not generic:
        raise ValueError("method chooses how generic answers are found: leave it out with coords")
    if method == "counting" and d > 2:
        raise ValueError(f"counting decides the line and the plane only, not d = {d}; use method='field' or None")
    return int(method == "field")


def rigidity(edges: EdgesLike, d: int | None = None, *, n: int | None = None, coords: CoordsLike | None = None,
             tol: float | None = None, seed: int = 0, method: str | None = None) -> Rigidity:
    """Rigidity of a graph in dimension d: generically (coords None) or at the positions coords.

    Parameters
    ----------
    edges : array_like of int, shape (m, 2), or networkx graph
        The bars, as vertex pairs of any integer dtype, or a networkx graph (vertex k is its k-th
        node). Order matters: label k says whether edge k is independent of edges 0 .. k-1.
        Repeated edges are allowed (the repeats are dependent); loops are refused.
    d : int, optional
        The dimension; by default the width of coords, else 2.
    n : int, optional
        The number of vertices, isolated ones included; by default len(coords), the networkx
        graph's node count, or the largest index + 1.
    coords : array_like of float, shape (n, d), or mapping, optional
        Finite positions (float64; float16, float32 and integers are converted exactly), or for a
        networkx graph a mapping from node to position. Without coords the answer is the generic
        one: in the line and the plane by counting (certain, ``error_bound`` 0), in higher
        dimensions exactly over a prime field at a random realization drawn from seed, wrong with
        probability at most ``error_bound``.
    tol : float, optional
        Numeric mode only: None for a tolerance relative to the framework's size (scaling every
        coordinate by a power of two changes nothing), or an absolute tolerance >= 0.
    seed : int
        Generic mode's draw over the prime field, 0 .. 2**64 - 1.
    method : {None, 'counting', 'field'}
        Generic mode only. None decides the line and the plane by counting (pebble games and
        connectivity) and higher dimensions over the prime field; 'field' forces the prime field
        in every dimension (the reference counting is tested against); 'counting' insists on
        counting (d <= 2).

    Returns
    -------
    Rigidity
        Per-edge labels and redundancy, the rank, dof and the verdicts.

    Raises
    ------
    ValueError
        For a bad value: a loop, a negative or out-of-range vertex, coords of the wrong shape or
        not finite, tol in generic mode.
    TypeError
        For a bad type: float edges, a directed networkx graph, a non-integer seed.
    MemoryError
        For a framework too large to factor, with its size.

    Examples
    --------
    A square is flexible; its diagonal makes it rigid:

    >>> import telvora_graphs as tg
    >>> square = [(0, 1), (1, 2), (2, 3), (3, 0)]
    >>> tg.rigidity(square).dof, tg.rigidity(square + [(0, 2)]).dof
    (1, 0)
    """
    d = _dimension(d, coords)
    edge_pairs, count, positions, checked_tol, checked_seed, names = _framework(edges, d, n, coords, tol, seed)
    generic = positions is None
    field = _field(method, d, generic)
    if positions is None:
        native = _native.generic(edge_pairs, count, d, checked_seed, field)
    else:
        native = _native.numeric(edge_pairs, positions, checked_tol)
    read_only(edge_pairs)
    read_only(native["labels"])
    read_only(native["redundant"])
    m = edge_pairs.shape[0]
    return Rigidity(
        mode="generic" if generic else "numeric", n=count, d=d, m=m,
        rank=native["rank"], max_rank=native["max_rank"], dof=native["max_rank"] - native["rank"],
        n_stresses=m - native["rank"], is_rigid=native["is_rigid"],
        is_redundantly_rigid=native["is_redundantly_rigid"], is_globally_rigid=native["is_globally_rigid"],
        tol=native["tol"], error_bound=native["error_bound"], seed=checked_seed if generic else None,
        edges=edge_pairs, labels=native["labels"], redundant=native["redundant"], nodes=names,
    )


def _placed(edges: EdgesLike, coords: CoordsLike | None, d: object, n: object, tol: object, seed: object
            ) -> tuple[NDArray[np.int64], int, int, NDArray[np.float64] | None, float | None, int, VertexNames]:
    """The edges, vertex count, dimension, positions (None: drawn from seed), tol, seed and vertex
    names of a call of motions or stresses, whose tol applies to the random placement too."""
    dimension = _dimension(d, coords)
    edge_pairs, count, positions, _, checked_seed, names = _framework(edges, dimension, n, coords, None, seed)
    return edge_pairs, count, dimension, positions, tolerance(tol, False), checked_seed, names


def motions(edges: EdgesLike, coords: CoordsLike | None = None, *, d: int | None = None, n: int | None = None,
            tol: float | None = None, trivial: bool = False, seed: int = 0) -> Motions:
    """An orthonormal basis of the framework's infinitesimal motions (velocities u with R·u = 0).

    The rank is decided by numeric mode's factor and tolerance. Dense: k * n * d floats, time
    about k^2 n d beyond the factorization, so meant for k up to a few thousand.

    Parameters
    ----------
    edges, n, tol
        As for `rigidity` (tol applies also to the random placement).
    coords : array_like of float, shape (n, d), or mapping, optional
        The positions. Without them the framework is placed at random real points drawn from
        seed (uniform in [0, 10)^d, the same for the same seed, n and d): generic with
        probability one, so k is then the graph's generic dof.
    d : int, optional
        The dimension; by default the columns of coords, else 2.
    trivial : bool
        Keep the rigid motions. Without it they are projected out: k = rigidity(...).dof at
        points in general position (fewer are trivial where the points span fewer than d
        dimensions).
    seed : int
        The random placement's seed when coords is None.

    Returns
    -------
    Motions
        The basis as ``vectors`` of shape (k, n, d), with each motion's residual.

    Raises
    ------
    ValueError, TypeError, MemoryError
        As for `rigidity`; TypeError also for a trivial that is not a bool.

    Examples
    --------
    A square in the plane has one motion beyond the three rigid ones:

    >>> import telvora_graphs as tg
    >>> m = tg.motions([(0, 1), (1, 2), (2, 3), (3, 0)], [(0, 0), (1, 0), (1, 1), (0, 1)])
    >>> m.k, m.vectors.shape, tg.motions([(0, 1)], [(0, 0), (1, 0)], trivial=True).k
    (1, (1, 4, 2), 3)
    """
    if not isinstance(trivial, (bool, np.bool_)):
        raise TypeError(f"trivial must be a bool, not {type(trivial).__name__}")
    edge_pairs, count, d, positions, checked_tol, checked_seed, names = _placed(edges, coords, d, n, tol, seed)
    native = _native.motions(edge_pairs, positions, count, d, checked_seed, checked_tol, int(trivial))
    vectors = native["basis"].reshape(native["basis"].shape[0], count, d)
    for array in (edge_pairs, native["coords"], vectors, native["residuals"]):
        read_only(array)
    return Motions(n=count, d=d, k=vectors.shape[0], trivial=bool(trivial), tol=native["tol"],
                   seed=checked_seed if positions is None else None, coords=native["coords"].reshape(count, d),
                   edges=edge_pairs, vectors=vectors, residuals=native["residuals"], nodes=names)


def stresses(edges: EdgesLike, coords: CoordsLike | None = None, *, d: int | None = None, n: int | None = None,
             tol: float | None = None, seed: int = 0) -> Stresses:
    """An orthonormal basis of the framework's self-stresses (edge weights ω with ωᵀR = 0).

    Each dependent edge's stress is balanced through the factor's triangle, then the set made
    orthonormal: dense, s * m floats and about s^2 m time, so meant for s up to a few thousand.

    Parameters
    ----------
    edges, coords, d, n, tol, seed
        As for `motions`.

    Returns
    -------
    Stresses
        The basis as ``vectors`` of shape (s, m), s = rigidity(...).n_stresses, with residuals.

    Raises
    ------
    ValueError, TypeError, MemoryError
        As for `rigidity`.

    Examples
    --------
    K4 in the plane carries one self-stress, on all six bars:

    >>> import telvora_graphs as tg
    >>> k4 = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> s = tg.stresses(k4, [(0, 0), (2, 0), (0, 2), (3, 3)])
    >>> s.s, bool((abs(s.vectors) > 1e-9).all())
    (1, True)
    """
    edge_pairs, count, d, positions, checked_tol, checked_seed, names = _placed(edges, coords, d, n, tol, seed)
    native = _native.stresses(edge_pairs, positions, count, d, checked_seed, checked_tol)
    m = edge_pairs.shape[0]
    vectors = native["basis"].reshape(native["basis"].shape[0], m)
    for array in (edge_pairs, native["coords"], vectors, native["residuals"]):
        read_only(array)
    return Stresses(n=count, d=d, m=m, s=vectors.shape[0], tol=native["tol"],
                    seed=checked_seed if positions is None else None, coords=native["coords"].reshape(count, d),
                    edges=edge_pairs, vectors=vectors, residuals=native["residuals"], nodes=names)


def _batch(edges: ArrayLike, offsets: ArrayLike, n: ArrayLike, d: int, coords: ArrayLike | None, tol: float | None,
           seed: int, caller: str) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int64],
                                            NDArray[np.float64] | None, float | None, int]:
    """A batch's edges, offsets, vertex counts, positions (None in generic mode), tol and seed, checked."""
    if is_networkx_graph(edges):
        raise TypeError(f"{caller} takes every graph's edges concatenated as one (E, 2) array; "
                        f"for one networkx graph call {caller.removesuffix('_batch')}")
    edge_pairs = edge_array(edges)
    starts = batch_offsets(offsets, edge_pairs.shape[0])
    counts = batch_vertex_counts(n, edge_pairs, starts)
    checked_tol = tolerance(tol, coords is None)
    checked_seed = integer(seed, "seed")
    positions = None
    if coords is not None:
        positions = coordinate_array(coords, d)
        total = int(counts.sum())
        if positions.shape[0] != total:
            raise ValueError(f"coords has {positions.shape[0]} rows but the graphs have {total} vertices "
                             "(the sum of n); pass every graph's positions one after the other")
    return edge_pairs, starts, counts, positions, checked_tol, checked_seed


def rigidity_batch(edges: ArrayLike, offsets: ArrayLike, n: ArrayLike, d: int | None = None, *,
                   coords: ArrayLike | None = None, tol: float | None = None, seed: int = 0,
                   global_rigidity: bool = False, method: str | None = None) -> RigidityBatch:
    """Rigidity of many small graphs in one call, without a Python object per graph.

    Parameters
    ----------
    edges : array_like of int, shape (E, 2)
        Every graph's edges one after the other, with vertex indices local to each graph.
    offsets : array_like of int, shape (G + 1,)
        Graph g owns edges offsets[g] .. offsets[g + 1] - 1.
    n : array_like of int, shape (G,), or int
        Vertex counts (an integer: the same for every graph).
    d : int, optional
        The dimension; by default the width of coords, else 2.
    coords : array_like of float, shape (sum of n, d), optional
        Numeric mode: every graph's positions one after the other.
    tol : float, optional
        Numeric mode: None gives each graph its own relative tolerance.
    seed : int
        Graph g's generic realization is drawn from (seed, g) alone: `graph_seed` recomputes it
        for `rigidity`.
    global_rigidity : bool
        Generic mode: also decide each graph's global rigidity, at the cost of a stress-matrix
        rank for each redundantly rigid graph (in the line and the plane, a connectivity test).
    method : {None, 'counting', 'field'}
        As for `rigidity`.

    Returns
    -------
    RigidityBatch
        Packed per-edge labels and per-graph ranks and verdicts.

    Raises
    ------
    ValueError
        For offsets that do not run from 0 to E without falling, a vertex beyond its graph's
        count, coords whose rows do not add up, global_rigidity with coords.
    TypeError
        For a networkx graph (call `rigidity`) or values of the wrong type.

    Examples
    --------
    A triangle and a path of three vertices:

    >>> import telvora_graphs as tg
    >>> batch = tg.rigidity_batch([(0, 1), (1, 2), (2, 0), (0, 1), (1, 2)], [0, 3, 5], 3)
    >>> batch.is_rigid.tolist(), batch.dof.tolist()
    ([True, False], [0, 1])
    """
    d = _dimension(d, coords)
    edge_pairs, starts, counts, positions, tol, seed = _batch(edges, offsets, n, d, coords, tol, seed,
                                                              "rigidity_batch")
    generic = positions is None
    if not isinstance(global_rigidity, (bool, np.bool_)):
        raise TypeError(f"global_rigidity must be True or False, not {type(global_rigidity).__name__}")
    if global_rigidity and not generic:
        raise ValueError("global_rigidity is decided in generic mode only: leave out coords")
    field = _field(method, d, generic)
    if positions is None:
        native = _native.generic_batch(edge_pairs, starts, counts, d, seed, int(global_rigidity), field)
    else:
        native = _native.numeric_batch(edge_pairs, starts, counts, positions, tol)
    dof: NDArray[np.int64] = native["max_rank"] - native["rank"]
    arrays: list[NDArray[Any]] = [counts, starts, dof, native["labels"], native["redundant"], native["rank"],
                                  native["max_rank"], native["is_rigid"]]
    globally = native.get("is_globally_rigid")
    if globally is not None:
        arrays.append(globally)
    for array in arrays:
        read_only(array)
    return RigidityBatch(
        mode="generic" if generic else "numeric", d=d, tol=tol, seed=seed if generic else None,
        n=counts, offsets=starts, labels=native["labels"], redundant=native["redundant"], rank=native["rank"],
        max_rank=native["max_rank"], dof=dof, is_rigid=native["is_rigid"], is_globally_rigid=globally,
    )


def _sparsity_counts(k: object, l: object) -> tuple[int, int]:
    """k and l of a (k, l) game, checked: 0 <= l < 2k."""
    k = integer(k, "k", 1)
    l = integer(l, "l")
    if l >= 2 * k:
        hint = ("; counts do not decide rigidity in space: use rigidity(edges, 3) or rigid_components(edges, 3)"
                if (k, l) == (3, 6) else "")
        raise ValueError(f"l must be below 2k = {2 * k}, not {l}: with l >= 2k not even one edge is "
                         f"(k, l)-sparse (two vertices allow 2k - l < 1 edges){hint}")
    return k, l


def _multigraph(edges: EdgesLike, n: object) -> tuple[NDArray[np.int64], int, VertexNames]:
    """The edges of a multigraph (loops and repeated edges allowed), its vertex count and vertex names."""
    edge_pairs, labels, known = _graph(edges, loops=True)
    return edge_pairs, vertex_count(n, edge_pairs, known), vertex_names(labels)


def pebble_game(edges: EdgesLike, n: int | None = None, *, k: int = 2, l: int = 3) -> Pebbles:
    """The (k, l) pebble game with components on the multigraph of the edges, in order.

    An edge with both ends in one component is rejected at once; any other is accepted after at
    most l + 1 pebble searches, and a new component is looked for around it. (2, 3) decides
    generic rigidity in the plane, (1, 1) forests, (k, k) unions of k forests.

    Parameters
    ----------
    edges : array_like of int, shape (m, 2), or networkx graph
        As for `rigidity`, but loops (i, i) and repeated edges are allowed: a loop spans one
        vertex, so it is accepted only while l < k.
    n : int, optional
        The number of vertices (by default as for `rigidity`).
    k, l : int
        The counts, 1 <= k <= 2**24 and 0 <= l < 2k.

    Returns
    -------
    Pebbles
        Per-edge labels, the components and the free pebbles.

    Raises
    ------
    ValueError
        For l >= 2k, or a negative or out-of-range vertex.
    TypeError
        For edges or counts of the wrong type.

    Examples
    --------
    >>> import telvora_graphs as tg
    >>> p = tg.pebble_game([(0, 1), (1, 2), (2, 0), (2, 3)])
    >>> p.labels.tolist(), [c.tolist() for c in p.components], p.free_pebbles
    ([1, 1, 1, 1], [[0, 1, 2], [2, 3]], 4)
    """
    k, l = _sparsity_counts(k, l)
    edge_pairs, count, names = _multigraph(edges, n)
    native = _native.pebble_game(edge_pairs, count, k, l)
    read_only(edge_pairs)
    read_only(native["labels"])
    components = [named(component, names) for component in native["components"]]
    for component in components:
        read_only(component)
    return Pebbles(n=count, k=k, l=l, m=edge_pairs.shape[0], free_pebbles=native["free_pebbles"],
                   is_tight=native["is_tight"], edges=edge_pairs, labels=native["labels"],
                   components=components, nodes=names)


def rigid_components(edges: EdgesLike, d: int | None = None, *, n: int | None = None, coords: CoordsLike | None = None,
                     tol: float | None = None, seed: int = 0) -> list[NDArray[Any]]:
    """The rigid components of the framework: the maximal sets of two or more vertices whose
    pairwise distances the bars fix (to first order).

    Isolated vertices belong to none; a vertex may lie in several, and in space two components may
    share two vertices (a hinge), bar or no bar between them. Generic mode (coords None) in the
    line and the plane plays the (1, 1) and (2, 3) pebble games (exact, seed unused); in higher
    dimensions a pair is fixed when one random infinitesimal motion at the realization drawn from
    seed moves its ends alike along their difference (wrong for a pair with chance 2**-61 at
    most). Numeric mode fixes a pair when its rigidity row reduces below tol against the bars'
    rows, as rigidity's rank test does.

    Parameters
    ----------
    edges, d, n, coords, tol, seed
        As for `rigidity`.

    Returns
    -------
    list of ndarray
        Each component a sorted array of its vertices (int64, or for a networkx graph an object
        array of its node labels in G.nodes order), ordered by smallest vertex.

    Raises
    ------
    ValueError, TypeError, MemoryError
        As for `rigidity`.

    Examples
    --------
    Two triangles joined at a vertex, in the plane:

    >>> import telvora_graphs as tg
    >>> parts = tg.rigid_components([(0, 1), (1, 2), (2, 0), (2, 3), (3, 4), (4, 2)])
    >>> [c.tolist() for c in parts]
    [[0, 1, 2], [2, 3, 4]]
    """
    d = _dimension(d, coords)
    edge_pairs, count, positions, checked_tol, checked_seed, names = _framework(edges, d, n, coords, tol, seed)
    if positions is None:
        sets = _native.generic_components(edge_pairs, count, d, checked_seed)
    else:
        sets = _native.numeric_components(edge_pairs, positions, checked_tol)
    components = [named(component, names) for component in sets]
    for component in components:
        read_only(component)
    return components


def rigid_components_batch(edges: ArrayLike, offsets: ArrayLike, n: ArrayLike, d: int | None = None, *,
                           coords: ArrayLike | None = None, tol: float | None = None,
                           seed: int = 0) -> ComponentsBatch:
    """The rigid components of many small graphs in one call, laid out as for rigidity_batch.

    Graph g's components are those `rigid_components` gives for it alone (in generic mode with
    seed=graph_seed(seed, g), the realization `rigidity_batch` labels it at).

    Parameters
    ----------
    edges, offsets, n, d, coords, tol, seed
        As for `rigidity_batch`.

    Returns
    -------
    ComponentsBatch
        Packed: rows member_offsets[g] .. member_offsets[g + 1] - 1 of members, each row
        (component, vertex), components numbered from 0 within the graph in the order
        rigid_components lists them. In the line and the plane edge_component gives the
        component of each edge (the first when points coincide); None in space, where a bar can
        lie in two.

    Raises
    ------
    ValueError, TypeError
        As for `rigidity_batch`.

    Examples
    --------
    >>> import telvora_graphs as tg
    >>> parts = tg.rigid_components_batch([(0, 1), (1, 2), (2, 0), (0, 1)], [0, 3, 4], [3, 2])
    >>> [c.tolist() for c in parts.components(0)], [c.tolist() for c in parts.components(1)]
    ([[0, 1, 2]], [[0, 1]])
    """
    d = _dimension(d, coords)
    edge_pairs, starts, counts, positions, tol, seed = _batch(edges, offsets, n, d, coords, tol, seed,
                                                              "rigid_components_batch")
    if positions is None:
        native = _native.generic_components_batch(edge_pairs, starts, counts, d, seed)
    else:
        native = _native.numeric_components_batch(edge_pairs, starts, counts, positions, tol)
    members = native["members"].reshape(-1, 2)
    edge_component = native.get("edge_component")
    for array in (counts, starts, native["offsets"], members, edge_component):
        if array is not None:
            read_only(array)
    return ComponentsBatch(
        mode="generic" if positions is None else "numeric", d=d, tol=tol, seed=seed if positions is None else None,
        n=counts, offsets=starts, member_offsets=native["offsets"], members=members, edge_component=edge_component,
    )


def rigidity_sweep(edges: EdgesLike, n: int | None = None, *, k: int = 2, l: int = 3,
                   snapshots: ArrayLike | None = None) -> Sweep:
    """The (k, l) pebble game with components played edge by edge, recorded after every edge.

    One pass of the game of `pebble_game` over the edges in the given order, for percolation and
    dilution studies: after each edge, whether it was independent, the number of vertices in the
    largest component and the number of components of two or more vertices, as packed arrays.

    Parameters
    ----------
    edges : array_like of int, shape (m, 2), or networkx graph
        The edges in the order they are added; loops and repeated edges are allowed.
    n : int, optional
        The number of vertices (by default one more than the largest index, or the networkx
        graph's node count).
    k, l : int
        The counts of the game, 0 <= l < 2k; (2, 3) is generic rigidity in the plane and (6, 6)
        body-bar frameworks in space.
    snapshots : array_like of int, optional
        Steps (numbers of edges played, 0 to m) after which to keep every component; any order,
        repeats allowed.

    Returns
    -------
    Sweep
        Per-edge `labels`, `largest` and `n_components`, and the components at each snapshot.

    Raises
    ------
    ValueError
        For l >= 2k, a negative or out-of-range vertex, or a snapshot step outside 0 .. m.

    Examples
    --------
    Two triangles added edge by edge, sharing the edge (0, 2):

    >>> import telvora_graphs as tg
    >>> s = tg.rigidity_sweep([(0, 1), (1, 2), (2, 0), (2, 3), (3, 0)], snapshots=[3, 5])
    >>> s.largest.tolist(), s.n_components.tolist()
    ([2, 2, 3, 3, 4], [1, 2, 1, 2, 1])
    >>> [c.tolist() for c in s.components_at(0)]
    [[0, 1, 2]]
    """
    k, l = _sparsity_counts(k, l)
    edge_pairs, count, names = _multigraph(edges, n)
    steps = batch_steps(snapshots)
    native = _native.rigidity_sweep(edge_pairs, count, k, l, steps)
    members = native["snapshot_pairs"].reshape(-1, 2)
    for array in (edge_pairs, steps, native["labels"], native["largest"], native["components"],
                  native["snapshot_offsets"], members):
        read_only(array)
    return Sweep(n=count, k=k, l=l, m=edge_pairs.shape[0], edges=edge_pairs, labels=native["labels"],
                 largest=native["largest"], n_components=native["components"], steps=steps,
                 snapshot_offsets=native["snapshot_offsets"], snapshot_members=members, nodes=names)


def batch_steps(snapshots: ArrayLike | None) -> NDArray[np.int64]:
    """The snapshot steps as a one-dimensional int64 array (empty for None)."""
    if snapshots is None:
        return np.zeros(0, dtype=np.int64)
    steps = np.asarray(snapshots)
    if steps.ndim == 0:
        steps = steps.reshape(1)
    if steps.ndim != 1:
        raise ValueError(f"snapshots must be a one-dimensional sequence of steps, not of shape {steps.shape}")
    if steps.size and steps.dtype.kind not in "iu":
        raise TypeError(f"snapshots must hold integers (numbers of edges played), not {steps.dtype}")
    if steps.size and steps.dtype.kind == "i" and steps.min() < 0:
        raise ValueError(f"snapshot steps count edges played and cannot be negative (got {steps.min()})")
    return np.ascontiguousarray(steps, dtype=np.int64) if steps.size else np.zeros(0, dtype=np.int64)
