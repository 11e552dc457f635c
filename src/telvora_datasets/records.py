"""Columns of a shard built from the module's batch, and records read back from them."""

from collections.abc import Iterator, Mapping
from typing import Any, NotRequired, TypedDict

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .families import SPLITS
from .points import MASK, framework_points, framework_seeds, whole_number

# Frameworks per call of the batch: the batch holds every result (with its n x n distance
# matrix) until it returns, so large frameworks are asked for in smaller calls.
_BATCH_BYTES = 32 << 20

Columns = dict[str, NDArray[Any]]
"""A shard's columns by name, one row per framework (see formats.COLUMNS)."""


class Record(TypedDict):
    """One framework or graph of a dataset, as load yields it (a dict).

    A framework of the complete graph (the default family) has coords, labels and distances, one
    per candidate edge (i, j), i < j, in lexicographic order (see candidate_edges), and
    final_rank. A graph of a family has index, edges in the stored order, one label and one
    redundant flag per edge, rank, dof, n_stresses and is_redundantly_rigid; the other keys are
    there when the family or the dataset's options ask for them.

    Attributes
    ----------
    seed : int
        The framework's or graph's seed.
    n_nodes, d : int
        Points (vertices) and dimension.
    labels : ndarray of uint8
        Per edge, 1 for an edge independent of the ones before it, 0 for a redundant one.
    max_rank : int
        The largest rank n_nodes points can have in dimension d.
    is_rigid : bool
        Whether the framework or graph is rigid.
    coords : ndarray of float64, shape (n_nodes, d)
        The points; of a graph family only when it placed points.
    distances : ndarray of float64
        Complete graph only: the length of each candidate edge.
    final_rank : int
        Complete graph only: the rank of all candidate edges.
    index : int
        Graph families from here on: the graph's number in the dataset.
    n_edges : int
        Its edges.
    edges : ndarray of int64, shape (n_edges, 2)
        Its edges in the stored order.
    redundant : ndarray of bool, shape (n_edges,)
        Whether each edge lies in a circuit.
    rank, dof, n_stresses : int
        Rank, non-trivial degrees of freedom and independent self-stresses.
    is_redundantly_rigid : bool
        Rigid after removing any one edge.
    is_globally_rigid : bool
        With --globally-rigid.
    split : {"train", "validation", "test"}
        With --split.
    attempt : int
        With a balanced dataset (rigid for even indices): the draw, counting from 0, that gave
        the graph the rigidity asked of it.
    components : list of ndarray of int64
        With --components: sorted vertex arrays, as telvora_graphs.rigid_components gives them.
    component : ndarray of int64, shape (n_edges,)
        With --components, in the line and the plane: the index of each edge's component.
    """

    seed: int
    n_nodes: int
    d: int
    labels: NDArray[np.uint8]
    max_rank: int
    is_rigid: bool
    coords: NotRequired[NDArray[np.float64]]  # (n_nodes, d)
    distances: NotRequired[NDArray[np.float64]]  # complete graph only
    final_rank: NotRequired[int]  # complete graph only
    index: NotRequired[int]  # graph families from here on
    n_edges: NotRequired[int]
    edges: NotRequired[NDArray[np.int64]]  # (n_edges, 2)
    redundant: NotRequired[NDArray[np.bool_]]
    rank: NotRequired[int]
    dof: NotRequired[int]
    n_stresses: NotRequired[int]
    is_redundantly_rigid: NotRequired[bool]
    is_globally_rigid: NotRequired[bool]
    split: NotRequired[str]  # "train", "validation" or "test"
    attempt: NotRequired[int]
    components: NotRequired[list[NDArray[np.int64]]]
    component: NotRequired[NDArray[np.int64]]  # (n_edges,), d <= 2 only


def _dtype_of(array: NDArray[Any]) -> str:
    return "Python objects (dtype object)" if array.dtype.kind == "O" else f"dtype {array.dtype}"


def real_array(values: ArrayLike, what: str) -> NDArray[np.float64]:
    """values as float64. Integer and other float dtypes are converted, as a picture or a tensor
    of them would be; bool, complex, text and objects are refused with the conversion to use."""
    try:
        array = np.asarray(values)
    except ValueError as error:  # ragged nested lists
        raise ValueError(f"{what} must be a rectangular array of numbers ({error})") from None
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{what} must hold real numbers, not {_dtype_of(array)}; pass float64 values, "
                        f"for example np.asarray({what}, dtype=np.float64)")
    return array.astype(np.float64, copy=False)


def points_array(coords: ArrayLike, what: str = "coords") -> NDArray[np.float64]:
    """coords as a finite float64 array of shape (n, 2) or (n, 3)."""
    array = real_array(coords, what)
    if array.ndim != 2 or array.shape[1] not in (2, 3):
        raise ValueError(f"{what} must have shape (n, 2) or (n, 3), one row per point, not {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{what} holds NaN or infinite values; every coordinate must be finite")
    return array


def labels_array(labels: ArrayLike, edges: int, points: int) -> NDArray[np.bool_]:
    """labels (one 0 or 1 per candidate edge) as a bool array of shape (edges,)."""
    try:
        array = np.asarray(labels)
    except ValueError as error:  # ragged nested lists
        raise ValueError(f"labels must be a flat array of 0s and 1s ({error})") from None
    if array.dtype.kind not in "biuf":
        raise TypeError(f"labels must be 0 or 1, not {_dtype_of(array)}; pass them as "
                        "np.asarray(labels, dtype=np.uint8)")
    if array.shape != (edges,):
        raise ValueError(f"{points} points need {edges} labels (one per candidate edge), got shape {array.shape}")
    binary: NDArray[np.bool_] = array == 1
    other = array[~binary & (array != 0)]
    if other.size:
        raise ValueError(f"labels must be 0 (redundant) or 1 (independent), found {other[0].item()!r} in "
                         f"{array.dtype} labels; scores become labels with (scores > 0.5).astype(np.uint8)")
    return binary


def candidate_edges(n_nodes: int) -> NDArray[np.int64]:
    """The candidate edges of a complete-graph framework, in the order its labels follow.

    Parameters
    ----------
    n_nodes : int
        The number of points, >= 0.

    Returns
    -------
    ndarray of int64, shape (n_nodes (n_nodes - 1) / 2, 2)
        The pairs (i, j), i < j, in lexicographic order.

    Raises
    ------
    TypeError, ValueError
        For an n_nodes that is not a whole number >= 0.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> td.candidate_edges(3).tolist()
    [[0, 1], [0, 2], [1, 2]]
    """
    i, j = np.triu_indices(whole_number(n_nodes, "n_nodes", 0), 1)
    return np.stack([i, j], axis=1).astype(np.int64)


def _framework_bytes(n_nodes: int, d: int) -> int:
    """What the batch holds per framework until it returns: its n x n distance matrix and more."""
    return 8 * n_nodes * n_nodes + 128 * n_nodes * d + n_nodes * (n_nodes - 1) // 2


def batch_bytes(n_nodes: int, d: int, count: int) -> int:
    """The largest batch build_columns asks for at once, in bytes, for a shard of count frameworks."""
    per_framework = _framework_bytes(n_nodes, d)
    return min(count, max(1, _BATCH_BYTES // per_framework)) * per_framework


def build_columns(seed: int, start: int, count: int, n_nodes: int, d: int) -> Columns:
    """Columns of frameworks start .. start + count - 1 of the dataset seeded with seed."""
    import telvora  # only generation needs the compiled module

    edges = n_nodes * (n_nodes - 1) // 2
    upper = np.triu_indices(n_nodes, 1)
    labels = np.empty((count, edges), dtype=np.uint8)
    distances = np.empty((count, edges), dtype=np.float64)
    final_rank = np.empty(count, dtype=np.int64)
    max_rank = np.empty(count, dtype=np.int64)
    is_rigid = np.empty(count, dtype=np.bool_)

    per_framework = _framework_bytes(n_nodes, d)
    chunk = max(1, _BATCH_BYTES // per_framework)
    for first in range(0, count, chunk):
        size = min(chunk, count - first)
        batch = telvora.generate_training_batch(size, n_nodes, d, (seed + start + first) & MASK)
        rows = slice(first, first + size)
        labels[rows] = np.stack([result["labels"] for result in batch])
        distances[rows] = np.stack([result["distance_matrix"][upper] for result in batch])
        final_rank[rows] = [result["final_rank"] for result in batch]
        max_rank[rows] = [result["max_rank"] for result in batch]
        is_rigid[rows] = [result["is_rigid"] for result in batch]
        del batch

    seeds = framework_seeds(seed, start, count)
    return {
        "seed": seeds,
        "n_nodes": np.full(count, n_nodes, dtype=np.int64),
        "d": np.full(count, d, dtype=np.int64),
        "coords": framework_points(seeds, n_nodes, d),
        "labels": labels,
        "distances": distances,
        "final_rank": final_rank,
        "max_rank": max_rank,
        "is_rigid": is_rigid,
    }


def iter_records(columns: Mapping[str, NDArray[Any]]) -> Iterator[Record]:
    """One record per framework of a shard's columns; the arrays are views into the columns."""
    for k in range(len(columns["seed"])):
        yield {
            "seed": int(columns["seed"][k]),
            "n_nodes": int(columns["n_nodes"][k]),
            "d": int(columns["d"][k]),
            "coords": columns["coords"][k],
            "labels": columns["labels"][k],
            "distances": columns["distances"][k],
            "final_rank": int(columns["final_rank"][k]),
            "max_rank": int(columns["max_rank"][k]),
            "is_rigid": bool(columns["is_rigid"][k]),
        }


def iter_graph_records(columns: Mapping[str, NDArray[Any]]) -> Iterator[Record]:
    """One record per graph of a graph family's shard columns; the arrays are views into the columns."""
    offsets = columns["edge_offsets"]
    scalars = [name for name in ("index", "seed", "n_nodes", "d", "n_edges", "rank", "max_rank", "dof",
                                 "n_stresses", "attempt") if name in columns]
    flags = [name for name in ("is_rigid", "is_redundantly_rigid", "is_globally_rigid") if name in columns]
    values = {name: columns[name].tolist() for name in scalars + flags}
    splits = [SPLITS[code] for code in columns["split"].tolist()] if "split" in columns else None
    coords = columns.get("coords")
    members, member_offsets = columns.get("components"), columns.get("component_offsets")
    for g in range(len(offsets) - 1):
        rows = slice(int(offsets[g]), int(offsets[g + 1]))
        record: dict[str, Any] = {name: values[name][g] for name in scalars}
        record.update(edges=columns["edges"][rows], labels=columns["labels"][rows],
                      redundant=columns["redundant"][rows])
        if members is not None and member_offsets is not None:
            own = members[int(member_offsets[g]):int(member_offsets[g + 1])]
            starts = np.flatnonzero(np.diff(own[:, 0], prepend=-1)) if len(own) else np.zeros(0, dtype=np.int64)
            record["components"] = np.split(own[:, 1], starts[1:]) if len(own) else []
        if "component" in columns:
            record["component"] = columns["component"][rows]
        record.update({name: values[name][g] for name in flags})
        if coords is not None:
            record["coords"] = coords[g]
        if splits is not None:
            record["split"] = splits[g]
        yield record  # type: ignore[misc]  # the keys of a graph record, built by name
