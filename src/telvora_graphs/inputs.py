"""Checking and converting the arguments of rigidity and rigidity_batch.

Every refusal names the parameter, what was wrong and what to pass instead. The arrays handed
to the compiled module are fresh, C-contiguous and native-endian: int64 edges of shape (m, 2),
int64 index vectors and float64 coordinates.
"""

from __future__ import annotations

import operator
import sys
from collections.abc import Hashable, Iterable, Mapping, Sequence
from typing import Any, Protocol, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

_INT64_MAX = np.iinfo(np.int64).max
_UINT64_LIMIT = 1 << 64
# float64 holds every integer up to 2^53 exactly; integer coordinates beyond would be rounded.
_EXACT_INTEGER_LIMIT = 1 << 53


class GraphLike(Protocol):
    """What rigidity needs of a networkx graph (read through its nodes and edges views)."""

    def is_directed(self) -> bool: ...
    def number_of_nodes(self) -> int: ...


EdgesLike: TypeAlias = ArrayLike | GraphLike
CoordsLike: TypeAlias = ArrayLike | Mapping[Any, ArrayLike]


def integer(value: object, name: str, lowest: int = 0) -> int:
    """value as an int from lowest to 2**64 - 1; a bool or non-integer is a TypeError."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < lowest:
        raise ValueError(f"{name} must be at least {lowest}, not {number}")
    if number >= _UINT64_LIMIT:
        raise ValueError(f"{name} must be below 2**64, not {number}")
    return number


def tolerance(tol: object, generic: bool) -> float | None:
    """None (the tolerance relative to the framework's size) or an absolute tolerance, finite and >= 0."""
    if tol is None:
        return None
    if generic:
        raise ValueError("tol applies to numeric mode only: generic mode (coords=None) is exact; "
                         "pass coords to compute at given positions, or leave tol out")
    if isinstance(tol, (bool, np.bool_)) or not isinstance(tol, (int, float, np.integer, np.floating)):
        raise TypeError(f"tol must be a float or None, not {type(tol).__name__}")
    value = float(tol)
    if not (np.isfinite(value) and value >= 0.0):
        raise ValueError(f"tol must be a finite number >= 0 (or None for the default relative to the "
                         f"framework's size), not {value}")
    return value


def is_networkx_graph(edges: object) -> bool:
    """Whether edges is a networkx graph; networkx is never imported here, only looked up."""
    networkx = sys.modules.get("networkx")
    return networkx is not None and isinstance(edges, networkx.Graph)


def _describe_dtype(dtype: np.dtype[Any]) -> str:
    return "Python objects (dtype object)" if dtype.kind == "O" else f"dtype {dtype}"


def _object_indices(array: NDArray[Any], name: str, what: str) -> NDArray[np.int64]:
    """An object array of Python or NumPy integers (a list mixing them with huge ints lands here)."""
    values: list[int] = []
    for value in array.reshape(-1):
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
            hint = "; if they are whole numbers, pass them as ints" if isinstance(value, (float, np.floating)) else ""
            raise TypeError(f"{name} must hold integers ({what}), not {type(value).__name__}{hint}")
        values.append(int(value))
    if any(value > _INT64_MAX for value in values):
        raise ValueError(f"{name} holds a value above 2**63 - 1, more vertices than any graph can have")
    lowest = min(values, default=0)
    if lowest < -_INT64_MAX - 1:  # would not convert to int64; negative either way, so a bad value
        raise ValueError(f"{name} holds {lowest}, a negative value where {what} are expected")
    return np.array(values, dtype=np.int64).reshape(array.shape)


def _integer_array(values: ArrayLike, name: str, what: str) -> NDArray[np.int64]:
    """values as a fresh int64 array of any shape; what says what the integers are, for errors."""
    try:
        array: NDArray[Any] = np.array(values, copy=True)
    except (ValueError, TypeError) as error:
        raise ValueError(f"{name} must be {what}: {error}") from None
    if array.dtype.kind == "f" and not isinstance(values, np.ndarray):
        # NumPy makes float64 of a list mixing signed integers with uint64 or ints above 2**63;
        # taken as Python objects they stay exact (and real floats are refused below).
        array = np.array(values, dtype=object)
    if array.dtype.kind == "O":
        return _object_indices(array, name, what)
    if array.dtype.kind not in "iu":
        if array.size == 0 and array.dtype.kind == "f":  # [] and () come out as float64
            return array.astype(np.int64)
        hint = (f"; if they are whole numbers, pass {name}.astype(np.int64)" if array.dtype.kind == "f" else "")
        raise TypeError(f"{name} must hold integers ({what}), not {_describe_dtype(array.dtype)}{hint}")
    if array.dtype.kind == "u" and array.size and int(array.max()) > _INT64_MAX:
        raise ValueError(f"{name} holds a value above 2**63 - 1, more vertices than any graph can have")
    return array.astype(np.int64, order="C", copy=False)  # keeps a 0-d array 0-d


def edge_array(edges: ArrayLike, name: str = "edges", loops: bool = False) -> NDArray[np.int64]:
    """edges as a fresh C-contiguous int64 array of shape (m, 2) with no negative index, and no loop
    unless loops is true."""
    array = _integer_array(edges, name, "pairs of vertex indices")
    if array.ndim == 1 and array.size == 0:
        array = array.reshape(0, 2)
    if array.ndim != 2 or array.shape[1] != 2:
        if array.ndim == 2 and array.shape[0] == 2:
            raise ValueError(f"{name} has shape (2, {array.shape[1]}): it looks like a (2, m) edge_index; "
                             f"pass {name}.T, one row (i, j) per edge")
        raise ValueError(f"{name} must have shape (m, 2), one row (i, j) per edge, not {tuple(array.shape)}")
    negative = np.flatnonzero((array < 0).any(axis=1))
    if negative.size:
        k = int(negative[0])
        raise ValueError(f"{name}[{k}] = {tuple(array[k].tolist())} has a negative vertex index; "
                         "vertices are numbered from 0")
    found = np.flatnonzero(array[:, 0] == array[:, 1]) if not loops else np.empty(0, dtype=np.int64)
    if found.size:
        k = int(found[0])
        raise ValueError(f"{name}[{k}] = {tuple(array[k].tolist())} is a loop: a bar joins two distinct "
                         "vertices; drop the loops (for a networkx graph: "
                         "G.remove_edges_from(list(nx.selfloop_edges(G))))")
    return array


def graph_edges(graph: GraphLike, loops: bool = False) -> tuple[NDArray[np.int64], list[Hashable]]:
    """The edges of a networkx graph as vertex positions in graph.nodes order, and that order."""
    if graph.is_directed():
        raise TypeError("edges is a directed networkx graph, but bars have no direction; "
                        "pass G.to_undirected() (antiparallel arcs then become one bar)")
    nodes: list[Hashable] = list(getattr(graph, "nodes"))
    position = {node: k for k, node in enumerate(nodes)}
    pairs: Iterable[tuple[Hashable, Hashable]] = getattr(graph, "edges")()
    flat = [position[end] for pair in pairs for end in pair[:2]]
    return edge_array(np.array(flat, dtype=np.int64).reshape(-1, 2), loops=loops), nodes


def vertex_count(n: object, edges: NDArray[np.int64], known: tuple[int, str] | None = None) -> int:
    """The number of vertices: n, else a count known from another argument (with a description of
    where it comes from, for errors), else the largest vertex index + 1. An edge naming a vertex
    beyond the count is refused."""
    needed = int(edges.max()) + 1 if edges.size else 0
    if n is not None:
        count = integer(n, "n")
        if known is not None and known[0] != count:
            raise ValueError(f"n={count}, but {known[1]}; leave n out")
        source = f"n={count}"
    elif known is not None:
        count, source = known
    else:
        return needed
    if count < needed:
        k = int(np.argmax(edges.max(axis=1)))
        raise ValueError(f"edges[{k}] = {tuple(edges[k].tolist())} names vertex {needed - 1}, but {source}; "
                         f"vertices are numbered 0 .. n - 1, so n must be at least {needed}")
    return count


def _float_matrix(coords: ArrayLike, name: str) -> NDArray[np.float64]:
    try:
        array: NDArray[Any] = np.asarray(coords)
    except (ValueError, TypeError) as error:
        raise ValueError(f"{name} must be an (n, d) array of positions: {error}") from None
    kind = array.dtype.kind
    if kind in "iu":
        if array.size and int(np.abs(array).max()) > _EXACT_INTEGER_LIMIT:
            raise ValueError(f"{name} holds integers beyond 2**53, which float64 would round; "
                             f"pass {name} as float64")
        return np.array(array, dtype=np.float64)
    if kind == "f" and array.dtype.itemsize <= 8:
        return np.ascontiguousarray(array, dtype=np.float64)  # float16 and float32 convert exactly
    if kind in "fO":
        raise TypeError(f"{name} must be float64 (float16, float32 and integers are converted exactly), not "
                        f"{_describe_dtype(array.dtype)}; pass np.asarray({name}, dtype=np.float64) "
                        "if rounding to float64 is acceptable")
    raise TypeError(f"{name} must hold real numbers (float64), not {_describe_dtype(array.dtype)}")


def coordinate_array(coords: CoordsLike, d: int, labels: Sequence[Hashable] | None = None,
                     name: str = "coords") -> NDArray[np.float64]:
    """coords as a finite float64 array of shape (rows, d); a mapping gives the rows of labels in order."""
    if isinstance(coords, Mapping):
        if labels is None:
            raise TypeError(f"{name} may be a mapping only for a networkx graph (keyed by its nodes); "
                            "otherwise pass an (n, d) array")
        missing = [label for label in labels if label not in coords]
        if missing:
            raise ValueError(f"{name} has no position for node {missing[0]!r}")
        rows = [np.asarray(coords[label]) for label in labels]
        if any(row.shape != (d,) for row in rows):
            bad = next(label for label, row in zip(labels, rows) if row.shape != (d,))
            raise ValueError(f"{name}[{bad!r}] must be a position of {d} coordinates (d={d})")
        stacked: ArrayLike = np.array(rows).reshape(len(rows), d)
        array = _float_matrix(stacked, name)
    else:
        array = _float_matrix(coords, name)
    if array.ndim != 2:
        raise ValueError(f"{name} must have shape (n, d), one row per vertex, not {tuple(array.shape)}")
    if array.shape[1] != d:
        raise ValueError(f"{name} has {array.shape[1]} columns but d={d}; pass d={array.shape[1]} "
                         f"or positions of {d} coordinates")
    bad_rows = np.flatnonzero(~np.isfinite(array).all(axis=1))
    if bad_rows.size:
        raise ValueError(f"{name}[{int(bad_rows[0])}] = {array[bad_rows[0]].tolist()} is not finite; "
                         "every coordinate must be a finite number")
    return array


def batch_offsets(offsets: ArrayLike, n_edges: int) -> NDArray[np.int64]:
    """offsets (G + 1,): from 0, non-decreasing, to the number of edges."""
    array = _integer_array(offsets, "offsets", "edge positions")
    if array.ndim != 1 or array.size == 0:
        raise ValueError(f"offsets must have shape (G + 1,), with graph g owning edges offsets[g] .. "
                         f"offsets[g + 1] - 1, not {tuple(array.shape)}")
    if array[0] != 0:
        raise ValueError(f"offsets must start at 0, not {int(array[0])}")
    falls = np.flatnonzero(np.diff(array) < 0)
    if falls.size:
        g = int(falls[0])
        raise ValueError(f"offsets must not decrease: offsets[{g}] = {int(array[g])} > "
                         f"offsets[{g + 1}] = {int(array[g + 1])}")
    if array[-1] != n_edges:
        raise ValueError(f"offsets must end at the number of edges ({n_edges}), not {int(array[-1])}")
    return array


def batch_vertex_counts(n: ArrayLike, edges: NDArray[np.int64], offsets: NDArray[np.int64]) -> NDArray[np.int64]:
    """n (G,) vertex counts (an integer is every graph's count), each above its graph's largest index."""
    graphs = offsets.size - 1
    array = _integer_array(n, "n", "vertex counts")
    if array.ndim == 0:
        array = np.full(graphs, int(array), dtype=np.int64)
    if array.shape != (graphs,):
        raise ValueError(f"n must have shape ({graphs},), one vertex count per graph as offsets has {graphs + 1} "
                         f"entries, not {tuple(array.shape)}")
    negative = np.flatnonzero(array < 0)
    if negative.size:
        raise ValueError(f"n[{int(negative[0])}] = {int(array[negative[0]])} is negative")
    if edges.size:
        owner = np.repeat(np.arange(graphs), np.diff(offsets))
        beyond = np.flatnonzero(edges.max(axis=1) >= array[owner])
        if beyond.size:
            k = int(beyond[0])
            g = int(owner[k])
            raise ValueError(f"edges[{k}] = {tuple(edges[k].tolist())} belongs to graph {g}, which has "
                             f"n[{g}] = {int(array[g])} vertices; indices are local to each graph, from 0")
    return array
