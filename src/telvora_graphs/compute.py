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
from .results import ComponentsBatch, Motions, Pebbles, Rigidity, RigidityBatch, Stresses, Sweep, read_only



def graph_seed(seed: int, g: int) -> int:
    """The seed with which rigidity() draws the generic realization of graph g of a batch.

    Graph g of rigidity_batch(..., seed=seed) is realized at the point drawn from
    seed XOR mix(g), mix being SplitMix64's finaliser (and mix(0) = 0, so graph 0 is drawn
    from seed itself): rigidity(graph g's edges, d, n=n[g], seed=graph_seed(seed, g)) repeats
    its labels, redundancy and rank exactly.
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


def _framework(edges: EdgesLike, d: int, n: object, coords: CoordsLike | None, tol: object,
               seed: object) -> tuple[NDArray[Any], int, NDArray[np.float64] | None, float | None, int]:
    """The edges, the vertex count, the positions (None in generic mode), tol and seed of a call
    of rigidity or rigid_components, each checked against the others."""
    labels: list[Hashable] | None = None
    known: tuple[int, str] | None = None  # a vertex count that n must agree with
    if is_networkx_graph(edges):
        edge_pairs, labels = graph_edges(cast(GraphLike, edges))
        known = (len(labels), f"the networkx graph has {len(labels)} nodes")
    else:
        edge_pairs = edge_array(cast(ArrayLike, edges))
    checked_tol = tolerance(tol, coords is None)
    checked_seed = integer(seed, "seed")
    if coords is None:
        return edge_pairs, vertex_count(n, edge_pairs, known), None, checked_tol, checked_seed
    positions = coordinate_array(coords, d, labels)
    rows = positions.shape[0]
    if known is not None and rows != known[0]:
        raise ValueError(f"coords has {rows} rows, but {known[1]}; pass one position per node in G.nodes "
                         "order, or a mapping from node to position")
    count = vertex_count(n, edge_pairs, (rows, f"coords has {rows} rows"))
    return edge_pairs, count, positions, checked_tol, checked_seed

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

    edges: an (m, 2) array or list of vertex pairs, of any integer dtype, or a networkx graph
    (vertex k is its k-th node). Order matters: label k says whether edge k is independent of
    edges 0 .. k-1. Repeated edges are allowed (the repeats are dependent); loops are refused.
    n: the number of vertices, isolated ones included; by default len(coords), the networkx
    graph's node count, or the largest index + 1.
    coords: (n, d) finite positions (float64; float16, float32 and integers are converted
    exactly), or for a networkx graph a mapping from node to position. Without coords the
    answer is the generic one, decided exactly over a prime field at a random realization drawn
    from seed (0 .. 2**64 - 1), wrong with probability at most error_bound.
    tol: numeric mode only; None for a tolerance relative to the framework's size (scaling
    every coordinate by a power of two changes nothing), or an absolute tolerance >= 0.
    method: generic mode only. None (default) decides the line and the plane by counting
    (pebble games and connectivity: certain, error_bound 0, seed unused) and higher dimensions
    over the prime field; 'field' forces the prime field in every dimension (the reference the
    counting is tested against); 'counting' insists on counting (d <= 2).
    """
    d = _dimension(d, coords)
    edge_pairs, count, positions, checked_tol, checked_seed = _framework(edges, d, n, coords, tol, seed)
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
        edges=edge_pairs, labels=native["labels"], redundant=native["redundant"],
    )


def _placed(edges: EdgesLike, coords: CoordsLike | None, d: object, n: object, tol: object,
            seed: object) -> tuple[NDArray[Any], int, int, NDArray[np.float64] | None, float | None, int]:
    """The edges, vertex count, dimension, positions (None: drawn from seed), tol and seed of a
    call of motions or stresses; d defaults to the columns of coords, else 2."""
    if d is None:
        d = 2
        if coords is not None:
            try:
                first = next(iter(coords.values())) if isinstance(coords, Mapping) else coords
                shape = np.shape(first)
                d = shape[-1] if isinstance(coords, Mapping) else (shape[1] if len(shape) == 2 else d)
            except (ValueError, StopIteration, IndexError):
                pass  # coordinate_array names what is wrong with coords
    d = integer(d, "d", 1)
    edge_pairs, count, positions, _, checked_seed = _framework(edges, d, n, coords, None, seed)
    return edge_pairs, count, d, positions, tolerance(tol, False), checked_seed


def motions(edges: EdgesLike, coords: CoordsLike | None = None, *, d: int | None = None, n: int | None = None,
            tol: float | None = None, trivial: bool = False, seed: int = 0) -> Motions:
    """An orthonormal basis of the framework's infinitesimal motions (velocities u with R·u = 0).

    Arguments as for rigidity; d defaults to the columns of coords (2 without coords). Without
    coords the framework is placed at random real points drawn from seed (uniform in
    [0, 10)^d, the same for the same seed and n, d): generic with probability one, so k is then
    the graph's generic dof. The rank is decided by numeric mode's factor and tolerance (tol as
    for rigidity, applied also to the random placement). Without trivial, the rigid motions of
    the placement are projected out: k = rigidity(...).dof at points in general position (fewer
    are trivial where the points span fewer than d dimensions). Dense: k * n * d floats, time
    about k^2 n d beyond the factorization, so meant for k up to a few thousand.
    """
    if not isinstance(trivial, (bool, np.bool_)):
        raise TypeError(f"trivial must be a bool, not {type(trivial).__name__}")
    edge_pairs, count, d, positions, checked_tol, checked_seed = _placed(edges, coords, d, n, tol, seed)
    native = _native.motions(edge_pairs, positions, count, d, checked_seed, checked_tol, int(trivial))
    vectors = native["basis"].reshape(native["basis"].shape[0], count, d)
    for array in (edge_pairs, native["coords"], vectors, native["residuals"]):
        read_only(array)
    return Motions(n=count, d=d, k=vectors.shape[0], trivial=bool(trivial), tol=native["tol"],
                   seed=checked_seed if positions is None else None, coords=native["coords"].reshape(count, d),
                   edges=edge_pairs, vectors=vectors, residuals=native["residuals"])


def stresses(edges: EdgesLike, coords: CoordsLike | None = None, *, d: int | None = None, n: int | None = None,
             tol: float | None = None, seed: int = 0) -> Stresses:
    """An orthonormal basis of the framework's self-stresses (edge weights ω with ωᵀR = 0).

    Arguments and placement as for motions; s = rigidity(...).n_stresses. Each dependent edge's
    stress is balanced through the factor's triangle, then the set made orthonormal: dense,
    s * m floats and about s^2 m time, so meant for s up to a few thousand.
    """
    edge_pairs, count, d, positions, checked_tol, checked_seed = _placed(edges, coords, d, n, tol, seed)
    native = _native.stresses(edge_pairs, positions, count, d, checked_seed, checked_tol)
    m = edge_pairs.shape[0]
    vectors = native["basis"].reshape(native["basis"].shape[0], m)
    for array in (edge_pairs, native["coords"], vectors, native["residuals"]):
        read_only(array)
    return Stresses(n=count, d=d, m=m, s=vectors.shape[0], tol=native["tol"],
                    seed=checked_seed if positions is None else None, coords=native["coords"].reshape(count, d),
                    edges=edge_pairs, vectors=vectors, residuals=native["residuals"])


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

    edges: every graph's edges one after the other, (E, 2), with vertex indices local to each
    graph; offsets: (G + 1,), graph g owning edges offsets[g] .. offsets[g + 1] - 1; n: (G,)
    vertex counts (an integer: the same for every graph); coords: in numeric mode every graph's
    positions one after the other, (sum of n, d). Graph g's generic realization is drawn from
    (seed, g) alone: graph_seed(seed, g) recomputes it with rigidity. In numeric mode tol None
    gives each graph its own relative tolerance. global_rigidity (generic mode): also decide each
    graph's global rigidity, as rigidity does (is_globally_rigid), at the cost of a stress-matrix
    rank for each redundantly rigid graph (in the line and the plane, a connectivity test).
    method: as for rigidity.
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


def _multigraph(edges: EdgesLike, n: object) -> tuple[NDArray[Any], int]:
    """The edges of a multigraph (loops and repeated edges allowed) and its vertex count."""
    known: tuple[int, str] | None = None
    if is_networkx_graph(edges):
        edge_pairs, labels = graph_edges(cast(GraphLike, edges), loops=True)
        known = (len(labels), f"the networkx graph has {len(labels)} nodes")
    else:
        edge_pairs = edge_array(cast(ArrayLike, edges), loops=True)
    return edge_pairs, vertex_count(n, edge_pairs, known)


def pebble_game(edges: EdgesLike, n: int | None = None, *, k: int = 2, l: int = 3) -> Pebbles:
    """The (k, l) pebble game with components, 1 <= k <= 2**24 and 0 <= l < 2k, on the multigraph of
    the edges in order.

    edges: as for rigidity, but loops (i, i) and repeated edges are allowed: a loop spans one
    vertex, so it is accepted only while l < k. n: the number of vertices (by default as for
    rigidity). An edge with both ends in one component is rejected at once; any other is
    accepted after at most l + 1 pebble searches, and a new component is looked for around it.
    (2, 3) decides generic rigidity in the plane, (1, 1) forests, (k, k) unions of k forests.
    """
    k, l = _sparsity_counts(k, l)
    edge_pairs, count = _multigraph(edges, n)
    native = _native.pebble_game(edge_pairs, count, k, l)
    read_only(edge_pairs)
    read_only(native["labels"])
    for component in native["components"]:
        read_only(component)
    return Pebbles(n=count, k=k, l=l, m=edge_pairs.shape[0], free_pebbles=native["free_pebbles"],
                   is_tight=native["is_tight"], edges=edge_pairs, labels=native["labels"],
                   components=native["components"])


def rigid_components(edges: EdgesLike, d: int | None = None, *, n: int | None = None, coords: CoordsLike | None = None,
                     tol: float | None = None, seed: int = 0) -> list[NDArray[np.int64]]:
    """The rigid components of the framework: the maximal sets of two or more vertices whose
    pairwise distances the bars fix (to first order), each a sorted int64 array, ordered by
    smallest vertex. Isolated vertices belong to none; a vertex may lie in several, and in space
    two components may share two vertices (a hinge), bar or no bar between them.

    Arguments as for rigidity. Generic mode (coords None) in the line and the plane plays the
    (1, 1) and (2, 3) pebble games (exact, seed unused); in higher dimensions a pair is fixed when
    one random infinitesimal motion at the realization drawn from seed moves its ends alike along
    their difference (wrong for a pair with chance 2**-61 at most). Numeric mode fixes a pair when
    its rigidity row reduces below tol against the bars' rows, as rigidity's rank test does.
    """
    d = _dimension(d, coords)
    edge_pairs, count, positions, checked_tol, checked_seed = _framework(edges, d, n, coords, tol, seed)
    if positions is None:
        sets = _native.generic_components(edge_pairs, count, d, checked_seed)
    else:
        sets = _native.numeric_components(edge_pairs, positions, checked_tol)
    for component in sets:
        read_only(component)
    return sets


def rigid_components_batch(edges: ArrayLike, offsets: ArrayLike, n: ArrayLike, d: int | None = None, *,
                           coords: ArrayLike | None = None, tol: float | None = None,
                           seed: int = 0) -> ComponentsBatch:
    """The rigid components of many small graphs in one call, laid out as for rigidity_batch.

    Graph g's components are those rigid_components gives for it alone (in generic mode with
    seed=graph_seed(seed, g), the realization rigidity_batch labels it at), packed: rows
    member_offsets[g] .. member_offsets[g + 1] - 1 of members, each row (component, vertex), the
    components numbered from 0 within the graph in the order rigid_components lists them. In the
    line and the plane edge_component gives the component of each edge (every bar lies in exactly
    one there; the first when points coincide); None in space, where a bar can lie in two.
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
    edge_pairs, count = _multigraph(edges, n)
    steps = batch_steps(snapshots)
    native = _native.rigidity_sweep(edge_pairs, count, k, l, steps)
    members = native["snapshot_pairs"].reshape(-1, 2)
    for array in (edge_pairs, steps, native["labels"], native["largest"], native["components"],
                  native["snapshot_offsets"], members):
        read_only(array)
    return Sweep(n=count, k=k, l=l, m=edge_pairs.shape[0], edges=edge_pairs, labels=native["labels"],
                 largest=native["largest"], n_components=native["components"], steps=steps,
                 snapshot_offsets=native["snapshot_offsets"], snapshot_members=members)


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
