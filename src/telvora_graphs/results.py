"""The results of rigidity and rigidity_batch: frozen dataclasses over read-only NumPy arrays.

For a networkx graph, whatever names vertices (components, the edge lists, snapshots) comes back
in its node labels, as an object array; the packed arrays (`edges`, `coords`, `vectors`,
`snapshot_members`, ...) keep vertex positions, position k standing for `nodes[k]`.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, TypeAlias

import numpy as np
from numpy.typing import NDArray

Mode = Literal["generic", "numeric"]

# A networkx graph's nodes in G.nodes order as a read-only object array, None for an array of pairs.
VertexNames: TypeAlias = "NDArray[np.object_] | None"


def vertex_names(labels: Sequence[Hashable] | None) -> VertexNames:
    """The node labels as a read-only object array (element by element, so tuples stay labels)."""
    if labels is None:
        return None
    names = np.empty(len(labels), dtype=object)
    for k, label in enumerate(labels):
        names[k] = label
    read_only(names)
    return names


def named(vertices: NDArray[np.int64], names: VertexNames) -> NDArray[Any]:
    """Vertex positions (any shape) as the vertices they stand for: themselves for an array of
    pairs, a new array of the node labels for a networkx graph."""
    return vertices if names is None else names[vertices]


@dataclass(frozen=True, eq=False, slots=True)
class Rigidity:
    """What is known of one graph's rigidity in dimension d.

    Per-edge arrays follow the order of `edges`. Label k is 1 when edge k is independent of
    edges 0 .. k-1; an edge is redundant when removing it keeps the rank (it lies in a circuit,
    so every edge labelled 0 is redundant). `dof` counts the motions beyond the trivial ones
    (rigid when 0), `n_stresses` the independent self-stresses.

    Generic mode decides the generic rigidity matroid of the graph and global rigidity, wrong
    with probability at most `error_bound`; numeric mode decides the framework at the given
    positions with the tolerance `tol`, and leaves `is_globally_rigid` None.

    The arrays are read-only and results compare by identity.

    Attributes
    ----------
    mode : {"generic", "numeric"}
        How the rank was decided.
    n, d, m : int
        Vertices, dimension and edges.
    rank, max_rank : int
        The rank of the rigidity matrix and the largest it can have for n vertices in dimension d.
    dof : int
        Non-trivial degrees of freedom, ``max_rank - rank``; 0 when rigid.
    n_stresses : int
        Independent self-stresses, ``m - rank``.
    is_rigid, is_redundantly_rigid : bool
        Rigid; rigid after removing any one edge.
    is_globally_rigid : bool or None
        Generic mode's answer; None in numeric mode.
    tol : float or None
        Numeric mode's absolute tolerance; None in generic mode.
    error_bound : float or None
        Generic mode's bound on the probability of a wrong answer; None in numeric mode.
    seed : int or None
        Generic mode's seed; None in numeric mode.
    edges : ndarray of int64, shape (m, 2)
        The edges as vertex positions.
    labels : ndarray of uint8, shape (m,)
        1 for an edge independent of the ones before it.
    redundant : ndarray of bool, shape (m,)
        Whether each edge lies in a circuit.
    nodes : ndarray of object or None
        The node labels of a networkx graph, None for an array of pairs.

    Examples
    --------
    >>> import telvora_graphs as tg
    >>> r = tg.rigidity([(0, 1), (1, 2), (0, 2)], d=2)
    >>> r.is_rigid, r.rank, r.dof, r.labels.tolist()
    (True, 3, 0, [1, 1, 1])
    """

    mode: Mode
    n: int
    d: int
    m: int
    rank: int
    max_rank: int
    dof: int
    n_stresses: int
    is_rigid: bool
    is_redundantly_rigid: bool
    is_globally_rigid: bool | None
    tol: float | None
    error_bound: float | None
    seed: int | None
    edges: NDArray[np.int64] = field(repr=False)
    labels: NDArray[np.uint8] = field(repr=False)
    redundant: NDArray[np.bool_] = field(repr=False)
    nodes: VertexNames = field(default=None, repr=False)

    @property
    def independent_edges(self) -> NDArray[Any]:
        """The edges labelled 1, shape (rank, 2), in edge order: a basis of the graph's rank."""
        return named(self.edges[self.labels.view(np.bool_)], self.nodes)

    @property
    def redundant_edges(self) -> NDArray[Any]:
        """The edges in some circuit, shape (k, 2), in edge order: removing any one keeps the rank."""
        return named(self.edges[self.redundant], self.nodes)


@dataclass(frozen=True, eq=False, slots=True)
class _Batch:
    """What every batch result holds: the mode and dimension, numeric mode's tol (None: each
    graph's relative one) or generic mode's seed, the vertex count of each graph and its edges'
    offsets."""

    mode: Mode
    d: int
    tol: float | None
    seed: int | None
    n: NDArray[np.int64] = field(repr=False)
    offsets: NDArray[np.int64] = field(repr=False)

    @property
    def n_graphs(self) -> int:
        """G, the number of graphs."""
        return int(self.n.size)


@dataclass(frozen=True, eq=False, slots=True)
class RigidityBatch(_Batch):
    """Rigidity of many graphs, packed: graph g owns edges offsets[g] .. offsets[g + 1] - 1.

    labels and redundant have one entry per edge of every graph together; rank, max_rank, dof
    and is_rigid one per graph, and is_globally_rigid when the call asked for it (generic mode;
    None otherwise). Slice a graph's edges with offsets. The arrays are read-only.
    `tol` is the absolute tolerance passed in numeric mode, None for each graph's relative
    one; `seed` is generic mode's (see graph_seed to recompute one graph alone).

    Attributes
    ----------
    mode : {"generic", "numeric"}
        How the ranks were decided.
    d : int
        The dimension.
    tol : float or None
        The absolute tolerance passed in numeric mode; None otherwise.
    seed : int or None
        Generic mode's seed; None otherwise.
    n : ndarray of int64, shape (G,)
        Vertices of each graph.
    offsets : ndarray of int64, shape (G + 1,)
        Graph g's edges are ``offsets[g]`` to ``offsets[g + 1] - 1``.
    labels : ndarray of uint8, shape (E,)
        Per edge of all graphs, 1 when independent of the edges before it in its graph.
    redundant : ndarray of bool, shape (E,)
        Per edge, whether it lies in a circuit of its graph.
    rank, max_rank, dof : ndarray of int64, shape (G,)
        Per graph, as for Rigidity.
    is_rigid : ndarray of bool, shape (G,)
        Per graph.
    is_globally_rigid : ndarray of bool, shape (G,), or None
        Per graph when asked for in generic mode; None otherwise.
    """

    labels: NDArray[np.uint8] = field(repr=False)
    redundant: NDArray[np.bool_] = field(repr=False)
    rank: NDArray[np.int64] = field(repr=False)
    max_rank: NDArray[np.int64] = field(repr=False)
    dof: NDArray[np.int64] = field(repr=False)
    is_rigid: NDArray[np.bool_] = field(repr=False)
    is_globally_rigid: NDArray[np.bool_] | None = field(default=None, repr=False)

    def __repr__(self) -> str:
        rigid = int(np.count_nonzero(self.is_rigid))
        return (f"RigidityBatch(mode={self.mode!r}, d={self.d}, graphs={self.n_graphs}, "
                f"edges={self.labels.size}, rigid={rigid}, tol={self.tol!r}, seed={self.seed!r})")


@dataclass(frozen=True, eq=False, slots=True)
class ComponentsBatch(_Batch):
    """The rigid components of many graphs, packed: graph g owns edges offsets[g] ..
    offsets[g + 1] - 1 and rows member_offsets[g] .. member_offsets[g + 1] - 1 of members, each
    row (component, vertex), components numbered from 0 within their graph. edge_component (E,):
    the component of each edge, in the line and the plane only (None in space). Read-only arrays.

    Attributes
    ----------
    mode, d, tol, seed, n, offsets
        As for RigidityBatch.
    member_offsets : ndarray of int64, shape (G + 1,)
        Graph g's rows of `members` are ``member_offsets[g]`` to ``member_offsets[g + 1] - 1``.
    members : ndarray of int64, shape (R, 2)
        Rows (component, vertex), components numbered from 0 within their graph.
    edge_component : ndarray of int64, shape (E,), or None
        The component of each edge in the line and the plane; None in space.
    """

    member_offsets: NDArray[np.int64] = field(repr=False)
    members: NDArray[np.int64] = field(repr=False)
    edge_component: NDArray[np.int64] | None = field(default=None, repr=False)

    def components(self, g: int) -> list[NDArray[np.int64]]:
        """Graph g's components as rigid_components gives them: a list of sorted vertex arrays."""
        if isinstance(g, bool) or not isinstance(g, (int, np.integer)) or not -self.n_graphs <= g < self.n_graphs:
            raise IndexError(f"graph index {g!r} out of range for {self.n_graphs} graphs")
        g = int(g) % self.n_graphs
        rows = self.members[self.member_offsets[g]:self.member_offsets[g + 1]]
        if not len(rows):
            return []
        starts = np.flatnonzero(np.diff(rows[:, 0])) + 1
        return [part.copy() for part in np.split(rows[:, 1], starts)]

    def __repr__(self) -> str:
        # A graph's last row names its last component.
        ends = self.member_offsets[1:][np.diff(self.member_offsets) > 0]
        count = int((self.members[ends - 1, 0] + 1).sum())
        return (f"ComponentsBatch(mode={self.mode!r}, d={self.d}, graphs={self.n_graphs}, components={count}, "
                f"tol={self.tol!r}, seed={self.seed!r})")


@dataclass(frozen=True, eq=False, slots=True)
class Pebbles:
    """The (k, l) pebble game on a multigraph, its edges played in order.

    labels[i] is 1 when edge i is independent of the edges accepted before it in the
    (k, l)-sparsity matroid: every set of n' vertices spans at most k n' - l accepted edges. The
    components are the (k, l)-components, the maximal tight vertex sets (spanning exactly
    k n' - l accepted edges, at least one), each a sorted int64 array, ordered by smallest
    vertex: with k <= l they may share one vertex (for l = k none), with l < k they are disjoint,
    and with l = 0 the union of tight sets is tight, so there is at most one. free_pebbles is
    k n minus the accepted edges; is_tight says that n >= 1 and k n - l edges were accepted.

    Attributes
    ----------
    n, k, l, m : int
        Vertices, the game's k and l, and edges played.
    free_pebbles : int
        ``k n`` minus the accepted edges.
    is_tight : bool
        Whether n >= 1 and ``k n - l`` edges were accepted.
    edges : ndarray of int64, shape (m, 2)
        The edges as vertex positions.
    labels : ndarray of uint8, shape (m,)
        1 for an accepted edge.
    components : list of ndarray
        The (k, l)-components, each sorted, ordered by smallest vertex.
    nodes : ndarray of object or None
        The node labels of a networkx graph, None for an array of pairs.

    Examples
    --------
    >>> import telvora_graphs as tg
    >>> p = tg.pebble_game([(0, 1), (1, 2), (0, 2), (0, 1)], k=2, l=3)
    >>> p.labels.tolist(), [c.tolist() for c in p.components], p.free_pebbles
    ([1, 1, 1, 0], [[0, 1, 2]], 3)
    """

    n: int
    k: int
    l: int
    m: int
    free_pebbles: int
    is_tight: bool
    edges: NDArray[np.int64] = field(repr=False)
    labels: NDArray[np.uint8] = field(repr=False)
    components: list[NDArray[Any]] = field(repr=False)
    nodes: VertexNames = field(default=None, repr=False)

    @property
    def accepted_edges(self) -> NDArray[Any]:
        """The edges labelled 1, in edge order."""
        return named(self.edges[self.labels.view(np.bool_)], self.nodes)


@dataclass(frozen=True, eq=False, slots=True)
class Sweep:
    """The (k, l) pebble game with components, recorded after every edge played in order.

    labels[i] is 1 when edge i is independent of the edges before it; largest[i] is the number
    of vertices of the largest (k, l)-component after edges 0 .. i (0 while there is none) and
    n_components[i] the number of components of two or more vertices then. For every step in
    `steps` (a number of edges played, 0 to m) the components after that many edges are kept:
    snapshot s owns rows snapshot_offsets[s] to snapshot_offsets[s + 1] - 1 of
    `snapshot_members`, each row (component, vertex), components numbered from 0 in the order
    pebble_game gives them.

    Attributes
    ----------
    n, k, l, m : int
        Vertices, the game's k and l, and edges played.
    edges : ndarray of int64, shape (m, 2)
        The edges as vertex positions.
    labels : ndarray of uint8, shape (m,)
        1 for an accepted edge.
    largest : ndarray of int64, shape (m,)
        Vertices of the largest component after each edge.
    n_components : ndarray of int64, shape (m,)
        Components of two or more vertices after each edge.
    steps : ndarray of int64, shape (S,)
        The numbers of edges played at which the components were kept.
    snapshot_offsets : ndarray of int64, shape (S + 1,)
        Snapshot s owns rows ``snapshot_offsets[s]`` to ``snapshot_offsets[s + 1] - 1``.
    snapshot_members : ndarray of int64, shape (R, 2)
        Rows (component, vertex).
    nodes : ndarray of object or None
        The node labels of a networkx graph, None for an array of pairs.
    """

    n: int
    k: int
    l: int
    m: int
    edges: NDArray[np.int64] = field(repr=False)
    labels: NDArray[np.uint8] = field(repr=False)
    largest: NDArray[np.int64] = field(repr=False)
    n_components: NDArray[np.int64] = field(repr=False)
    steps: NDArray[np.int64] = field(repr=False)
    snapshot_offsets: NDArray[np.int64] = field(repr=False)
    snapshot_members: NDArray[np.int64] = field(repr=False)
    nodes: VertexNames = field(default=None, repr=False)

    def _members(self, s: int) -> NDArray[np.int64]:
        if not -len(self.steps) <= s < len(self.steps):
            raise IndexError(f"snapshot {s} is out of range: {len(self.steps)} snapshots were taken")
        s %= len(self.steps)
        return self.snapshot_members[self.snapshot_offsets[s]:self.snapshot_offsets[s + 1]]

    def components_at(self, s: int) -> list[NDArray[Any]]:
        """The components of snapshot s (after steps[s] edges), each a sorted int64 array."""
        members = self._members(s)
        bounds = np.flatnonzero(np.diff(members[:, 0])) + 1
        parts = np.split(members[:, 1], bounds) if len(members) else []
        return [named(part.copy(), self.nodes) for part in parts]

    def vertex_components(self, s: int) -> NDArray[np.int64]:
        """Per vertex, its component in snapshot s, -1 for none; a vertex in several components
        (they share at most a few vertices) gets the largest of them, the first on a tie."""
        members = self._members(s)
        sizes = np.bincount(members[:, 0]) if len(members) else np.zeros(0, dtype=np.int64)
        # Largest first, then by index: the first row of a vertex in this order wins.
        order = np.lexsort((members[:, 0], -sizes[members[:, 0]])) if len(members) else np.zeros(0, dtype=np.int64)
        out = np.full(self.n, -1, dtype=np.int64)
        vertices, first = np.unique(members[order, 1], return_index=True)
        out[vertices] = members[order, 0][first]
        return out


@dataclass(frozen=True, eq=False, slots=True)
class Motions:
    """An orthonormal basis of a framework's infinitesimal motions.

    vectors (k, n, d): motion j moves vertex v with velocity vectors[j, v]; the rows are
    orthonormal as flat vectors of n*d entries and R·u = 0 for each (R the rigidity matrix at
    `coords`), up to rounding. Without `trivial` the translations and rotations at coords are
    projected out and k is the number of non-trivial motions (`dof` of rigidity at generic
    positions); with it, every motion is there. residuals[j] = |R·u_j|: the singular value the
    motion stands for, against `tol`, the absolute tolerance that decided the rank.
    `seed` is the seed of the random placement used when no coords were given (None otherwise);
    `coords` (n, d) are the positions used. Arrays are read-only.

    Attributes
    ----------
    n, d : int
        Vertices and dimension.
    k : int
        The number of motions.
    trivial : bool
        Whether the trivial motions were kept.
    tol : float
        The absolute tolerance that decided the rank.
    seed : int or None
        The seed of the random placement; None when coords were given.
    coords : ndarray of float64, shape (n, d)
        The positions used.
    edges : ndarray of int64, shape (m, 2)
        The edges as vertex positions.
    vectors : ndarray of float64, shape (k, n, d)
        The motions, orthonormal as flat vectors.
    residuals : ndarray of float64, shape (k,)
        ``|R u_j|`` for each motion.
    nodes : ndarray of object or None
        The node labels of a networkx graph, None for an array of pairs.
    """

    n: int
    d: int
    k: int
    trivial: bool
    tol: float
    seed: int | None
    coords: NDArray[np.float64] = field(repr=False)
    edges: NDArray[np.int64] = field(repr=False)
    vectors: NDArray[np.float64] = field(repr=False)
    residuals: NDArray[np.float64] = field(repr=False)
    nodes: VertexNames = field(default=None, repr=False)


@dataclass(frozen=True, eq=False, slots=True)
class Stresses:
    """An orthonormal basis of a framework's self-stresses.

    vectors (s, m): stress j puts weight vectors[j, e] on edge e, the rows orthonormal and
    ωᵀR = 0 for each (R the rigidity matrix at `coords`), up to rounding; s = m - rank is
    `n_stresses`. An edge lies in a circuit exactly when some stress is non-zero on it.
    residuals[j] = |ωᵀR| for stress j, against `tol`, the absolute tolerance that decided the
    rank. `seed` and `coords` as for Motions. Arrays are read-only.

    Attributes
    ----------
    n, d, m : int
        Vertices, dimension and edges.
    s : int
        The number of stresses, ``m - rank``.
    tol : float
        The absolute tolerance that decided the rank.
    seed : int or None
        The seed of the random placement; None when coords were given.
    coords : ndarray of float64, shape (n, d)
        The positions used.
    edges : ndarray of int64, shape (m, 2)
        The edges as vertex positions.
    vectors : ndarray of float64, shape (s, m)
        The stresses, orthonormal.
    residuals : ndarray of float64, shape (s,)
        ``|w^T R|`` for each stress.
    nodes : ndarray of object or None
        The node labels of a networkx graph, None for an array of pairs.
    """

    n: int
    d: int
    m: int
    s: int
    tol: float
    seed: int | None
    coords: NDArray[np.float64] = field(repr=False)
    edges: NDArray[np.int64] = field(repr=False)
    vectors: NDArray[np.float64] = field(repr=False)
    residuals: NDArray[np.float64] = field(repr=False)
    nodes: VertexNames = field(default=None, repr=False)


def read_only(array: NDArray[np.generic]) -> None:
    """Freezes the contents of an array a result owns, as the result itself is frozen."""
    array.setflags(write=False)
