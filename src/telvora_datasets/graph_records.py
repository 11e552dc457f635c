"""Shards of graph-family datasets: graphs drawn from their keys, labelled by telvora_graphs, as columns.

Graph k of a dataset seeded with s is a function of (s, k) alone: its key (streams.graph_keys)
draws its structure, points and edge order, and its generic labels come from the realization
seed realization_seed(s, k). rigidity_batch draws graph g of a call from (seed, g), so graphs
are labelled in blocks of BLOCK consecutive indices, each call seeded with its block's seed and
holding graph k at place k mod BLOCK; places without a graph of this call hold an empty graph,
which costs next to nothing.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterator
from fractions import Fraction
from typing import Any

import numpy as np
from numpy.typing import NDArray
from telvora_graphs._mixing import GAMMA, MASK, mix as mix_int

from .families import Family, OptionError
from .formats import GRAPH_DTYPES
from .generators import Graphs
from .streams import REALIZATION, U64, graph_keys

BLOCK = 1024
MAX_ATTEMPTS = 1000  # draws of one graph for a balanced dataset before the family is declared one-sided
_CHUNK_BYTES = 64 << 20  # working memory of one call of the family's generator

Columns = dict[str, NDArray[Any]]


def block_seed(seed: int, block: int) -> int:
    """The seed of rigidity_batch for the graphs BLOCK * block .. BLOCK * block + BLOCK - 1."""
    return mix_int(((seed ^ (REALIZATION << 32)) + (block + 1) * GAMMA) & MASK)


def realization_seed(seed: int, index: int) -> int:
    """The seed with which telvora_graphs.rigidity repeats a dataset graph's generic labels.

    Parameters
    ----------
    seed : int
        The dataset's seed.
    index : int
        The graph's index in the dataset.

    Returns
    -------
    int
        The seed for which ``telvora_graphs.rigidity(edges, d, n=n, seed=...)`` gives graph
        index's labels bit for bit (graph_seed of its block).

    Examples
    --------
    Each graph of a dataset has a realization of its own:

    >>> import telvora_datasets as td
    >>> td.realization_seed(1, 0) != td.realization_seed(1, 1)
    True
    """
    block, place = divmod(index, BLOCK)
    return block_seed(seed, block) ^ mix_int(place)


def split_of(indices: U64, fractions: tuple[float, ...]) -> NDArray[np.uint8]:
    """0 (train), 1 (validation) or 2 (test) for each graph index: where k * GAMMA mod 2**64 falls
    among the cumulative fractions times 2**64. The points k * GAMMA spread evenly (a Weyl
    sequence), so every range of indices splits close to the fractions. Two fractions are train
    and test."""
    names = (0, 2) if len(fractions) == 2 else (0, 1, 2)
    with np.errstate(over="ignore"):
        place = indices * np.uint64(GAMMA)
    result = np.full(indices.shape, names[0], dtype=np.uint8)
    total = Fraction(0)
    for fraction, name in zip(fractions[:-1], names[1:]):
        total += Fraction(fraction)
        bound = int(total * 2**64)
        if bound <= MASK:
            result[place >= np.uint64(bound)] = name
    return result


@dataclasses.dataclass
class _Labelled:
    """Graphs with what telvora_graphs says of them; per-graph arrays in the graphs' order."""

    positions: NDArray[np.int64]  # place of each graph in the chunk
    keys: U64
    attempts: NDArray[np.int64]
    graphs: Graphs
    rank: NDArray[np.int64]
    max_rank: NDArray[np.int64]
    is_rigid: NDArray[np.bool_]
    labels: NDArray[np.uint8]
    redundant: NDArray[np.bool_]
    globally_rigid: NDArray[np.bool_] | None = None


@dataclasses.dataclass
class _Block:
    """The graphs of one realization block, laid out for a batch call seeded with the block's
    seed: graph k at place k mod BLOCK, empty graphs at the places this call does not hold."""

    seed: int
    places: NDArray[np.int64]
    edges: NDArray[np.int64]
    offsets: NDArray[np.int64]
    sizes: NDArray[np.int64]


def _blocks(graphs: Graphs, seed: int, indices: U64) -> Iterator[_Block]:
    """The blocks of graphs indices (ascending), in order."""
    blocks = indices // np.uint64(BLOCK)
    ends = np.flatnonzero(np.diff(blocks)) + 1
    for low, high in zip([0, *ends.tolist()], [*ends.tolist(), indices.size]):
        block = int(blocks[low])
        places = (indices[low:high] - np.uint64(block * BLOCK)).astype(np.int64)
        size = int(places[-1]) + 1
        sizes = np.zeros(size, dtype=np.int64)
        sizes[places] = graphs.n
        edge_counts = np.zeros(size, dtype=np.int64)
        edge_counts[places] = graphs.counts[low:high]
        offsets = np.zeros(size + 1, dtype=np.int64)
        np.cumsum(edge_counts, out=offsets[1:])
        yield _Block(block_seed(seed, block), places, graphs.edges[graphs.offsets[low]:graphs.offsets[high]],
                     offsets, sizes)


def _rigidity(graphs: Graphs, family: Family, d: int, seed: int, indices: U64) -> tuple[Any, ...]:
    """(rank, max_rank, is_rigid, labels, redundant, is_globally_rigid or None) of the graphs
    (indices ascending): at their points when the family's positions are numeric, else generic
    (geometric and knn graphs keep the points they were drawn from, but are labelled generically),
    with global rigidity when the family asks for it."""
    import telvora_graphs as tg  # only generation needs the compiled module

    if family.numeric:
        assert graphs.coords is not None
        sizes = np.full(graphs.counts.size, graphs.n, dtype=np.int64)
        result = tg.rigidity_batch(graphs.edges, graphs.offsets, sizes, d,
                                   coords=graphs.coords.reshape(-1, d))
        return result.rank, result.max_rank, result.is_rigid, result.labels, result.redundant, None
    parts: list[list[NDArray[Any]]] = [[], [], [], [], [], []]
    for block in _blocks(graphs, seed, indices):
        result = tg.rigidity_batch(block.edges, block.offsets, block.sizes, d, seed=block.seed,
                                   global_rigidity=family.globally_rigid)
        places = block.places
        columns: tuple[NDArray[Any], ...] = (result.rank[places], result.max_rank[places], result.is_rigid[places],
                                              result.labels, result.redundant)
        if result.is_globally_rigid is not None:
            columns += (result.is_globally_rigid[places],)
        for part, values in zip(parts, columns):
            part.append(values)
    return tuple(np.concatenate(part) if part else None for part in parts)


def _draw_and_label(family: Family, n: int, d: int, seed: int, indices: U64) -> _Labelled:
    """Graphs indices (ascending) of the dataset; for a balanced dataset each is drawn again (its
    attempt counting up) until its rigidity is the one asked of it: rigid for even indices."""
    count = indices.size
    attempts = np.zeros(count, dtype=np.int64)
    pending = np.arange(count, dtype=np.int64)
    done: list[_Labelled] = []
    while pending.size:
        keys = graph_keys(seed, indices[pending], attempts[pending])
        graphs = family.draw(keys, n, d)
        rank, max_rank, is_rigid, labels, redundant, globally = _rigidity(graphs, family, d, seed, indices[pending])
        found = _Labelled(pending, keys, attempts[pending], graphs, rank, max_rank, is_rigid, labels, redundant,
                          globally)
        if family.balance is None:
            return found
        wanted = indices[pending] % np.uint64(2) == 0
        matched = is_rigid == wanted
        done.append(_select(found, matched))
        pending = pending[~matched]
        attempts[pending] += 1
        if pending.size and attempts[pending[0]] >= MAX_ATTEMPTS:
            k = int(indices[pending[0]])
            kind = "rigid" if k % 2 == 0 else "flexible"
            why = (f"drew graph {k} {MAX_ATTEMPTS} times without a {kind} one; this {family.name} family almost never "
                   f"gives {kind} graphs: change its parameters")
            raise OptionError(f"{family.owner}(balance='rigid') {why}", f"--balance rigid {why}")
    return _merge(done)


def _edge_rows(offsets: NDArray[np.int64], chosen: NDArray[np.int64]) -> NDArray[np.int64]:
    """Rows of the packed edges of the graphs chosen, in that order."""
    counts = offsets[chosen + 1] - offsets[chosen]
    starts = np.zeros(chosen.size, dtype=np.int64)
    np.cumsum(counts[:-1], out=starts[1:])
    result: NDArray[np.int64] = np.arange(int(counts.sum()), dtype=np.int64) + np.repeat(offsets[chosen] - starts, counts)
    return result


def _select(found: _Labelled, chosen: NDArray[Any]) -> _Labelled:
    """The graphs of found picked by chosen (a mask or indices), in that order."""
    picked = np.flatnonzero(chosen) if chosen.dtype == np.bool_ else chosen
    graphs = found.graphs
    rows = _edge_rows(graphs.offsets, picked)
    offsets = np.zeros(picked.size + 1, dtype=np.int64)
    np.cumsum(graphs.counts[picked], out=offsets[1:])
    coords = None if graphs.coords is None else graphs.coords[picked]
    return _Labelled(found.positions[picked], found.keys[picked], found.attempts[picked],
                     Graphs(graphs.n, graphs.edges[rows], offsets, coords), found.rank[picked],
                     found.max_rank[picked], found.is_rigid[picked], found.labels[rows], found.redundant[rows],
                     None if found.globally_rigid is None else found.globally_rigid[picked])


def _merge(parts: list[_Labelled]) -> _Labelled:
    """parts as one, graphs in the order of their positions."""
    offsets = [np.zeros(1, dtype=np.int64)]
    total = 0
    for part in parts:
        offsets.append(part.graphs.offsets[1:] + total)
        total += int(part.graphs.offsets[-1])
    first = parts[0].graphs
    coords = None if first.coords is None else np.concatenate([part.graphs.coords for part in parts
                                                              if part.graphs.coords is not None])
    joined = _Labelled(
        np.concatenate([part.positions for part in parts]), np.concatenate([part.keys for part in parts]),
        np.concatenate([part.attempts for part in parts]),
        Graphs(first.n, np.concatenate([part.graphs.edges for part in parts]), np.concatenate(offsets), coords),
        *(np.concatenate([getattr(part, name) for part in parts])
          for name in ("rank", "max_rank", "is_rigid", "labels", "redundant")))
    if parts[0].globally_rigid is not None:
        joined.globally_rigid = np.concatenate([part.globally_rigid for part in parts if part.globally_rigid is not None])
    return _select(joined, np.argsort(joined.positions, kind="stable"))


def _graph_bytes(n: int, d: int, family: Family) -> int:
    """Working memory of the generator per graph: its pair tables, and on a grid every cell."""
    cells = (family.grid_size or 0) ** d if family.positions == "grid" else 0
    return 48 * n * n + 64 * n * d + 16 * cells + 1024


def _chunk_size(n: int, d: int, family: Family) -> int:
    """Graphs per call of the generator within the working memory (the chunks change no value:
    each graph is drawn from its key, and labelled in its realization block)."""
    return max(1, _CHUNK_BYTES // _graph_bytes(n, d, family))


def generator_bytes(n: int, d: int, count: int, family: Family) -> int:
    """The working memory of one call of the generator for a shard of count graphs."""
    return min(count, _chunk_size(n, d, family)) * _graph_bytes(n, d, family)


def build_graph_columns(family: Family, seed: int, start: int, count: int, n: int, d: int) -> Columns:
    """Columns of graphs start .. start + count - 1 of the dataset (see formats.GRAPH_DTYPES)."""
    chunk = _chunk_size(n, d, family)
    parts = []
    for first in range(0, count, chunk):
        size = min(chunk, count - first)
        indices = np.uint64(start + first) + np.arange(size, dtype=np.uint64)
        part = _draw_and_label(family, n, d, seed, indices)
        part.positions = part.positions + first
        parts.append(part)
    found = parts[0] if len(parts) == 1 else _merge(parts)
    graphs = found.graphs
    counts = graphs.counts
    indices = np.uint64(start) + np.arange(count, dtype=np.uint64)
    owner = np.repeat(np.arange(count), counts)
    fixed = np.bincount(owner, weights=~found.redundant, minlength=count) == 0
    columns: Columns = {
        "index": indices,
        "seed": found.keys,
        "n_nodes": np.full(count, n, dtype=np.int64),
        "d": np.full(count, d, dtype=np.int64),
        "n_edges": counts,
        "rank": found.rank,
        "max_rank": found.max_rank,
        "dof": found.max_rank - found.rank,
        "n_stresses": counts - found.rank,
        "is_rigid": found.is_rigid,
        "is_redundantly_rigid": found.is_rigid & fixed,
    }
    if found.globally_rigid is not None:
        columns["is_globally_rigid"] = found.globally_rigid
    if family.components:
        columns.update(_components(graphs, family, d, seed, indices))
    if family.split is not None:
        assert not isinstance(family.split, str)  # resolved to its fractions
        columns["split"] = split_of(indices, tuple(family.split))
    if family.balance is not None:
        columns["attempt"] = found.attempts
    if graphs.coords is not None:
        columns["coords"] = graphs.coords
    columns.update(edge_offsets=graphs.offsets, edges=graphs.edges, labels=found.labels, redundant=found.redundant)
    return {name: columns[name] for name in GRAPH_DTYPES if name in columns}  # in file order


def _components(graphs: Graphs, family: Family, d: int, seed: int, indices: U64) -> Columns:
    """The rigid components of each graph, by telvora_graphs.rigid_components_batch in the mode
    and at the realization of its labels, as (component, vertex) pairs with their offsets; in the
    line and the plane, where every edge lies in exactly one component, the component of each edge."""
    import telvora_graphs as tg

    if family.numeric:
        assert graphs.coords is not None
        sizes = np.full(graphs.counts.size, graphs.n, dtype=np.int64)
        found = [(np.arange(sizes.size), tg.rigid_components_batch(graphs.edges, graphs.offsets, sizes, d,
                                                                   coords=graphs.coords.reshape(-1, d)))]
    else:
        found = [(block.places, tg.rigid_components_batch(block.edges, block.offsets, block.sizes, d, seed=block.seed))
                 for block in _blocks(graphs, seed, indices)]
    pairs, counts, per_edge = [], [], []
    for places, batch in found:
        # Rows of the graphs held, in order: the empty places hold no rows.
        starts, ends = batch.member_offsets[places], batch.member_offsets[places + 1]
        pairs.append(batch.members[starts[0]:ends[-1]] if places.size else batch.members[:0])
        counts.append(ends - starts)
        if batch.edge_component is not None:
            per_edge.append(batch.edge_component)
    offsets = np.zeros(graphs.counts.size + 1, dtype=np.int64)
    np.cumsum(np.concatenate(counts), out=offsets[1:])
    columns: Columns = {"component_offsets": offsets, "components": np.concatenate(pairs)}
    if d <= 2:
        columns["component"] = np.concatenate(per_edge)
    return columns
