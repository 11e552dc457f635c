"""The memory a run needs, estimated from its plan before anything is written, against the machine's.

A plan of huge frameworks (or huge shards) would otherwise start, allocate until the system
kills it, and leave a half-made directory; refusing it at once, naming the sizes, says what to
change. The estimates follow what the builders allocate (records.build_columns,
graph_records.build_graph_columns): the working memory of one generator call, plus the shard's
columns held three times over (the columns, the encoder's table, the encoded bytes).
"""

from __future__ import annotations

import os

from .errors import DatasetError
from .manifest import Plan
from .records import batch_bytes


def machine_memory() -> int | None:
    """The machine's physical memory in bytes, or None where the system does not say."""
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, OSError, ValueError):
        return None


def _edges_per_graph(plan: Plan) -> float:
    """The edges a graph of plan has on average (an upper bound where the family leaves it open)."""
    n, d, family = plan.nodes, plan.dim, plan.family
    pairs = n * (n - 1) // 2
    if family is None:
        return pairs
    return family.mean_edges(n, d)


def _stored_bytes(plan: Plan) -> float:
    """Bytes of one framework's (or graph's) columns in a shard."""
    n, d = plan.nodes, plan.dim
    if plan.family is None:
        return 9 * _edges_per_graph(plan) + 8 * n * d + 41
    per_edge = 18 + (8 if plan.family.components else 0)
    members = 16 * n if plan.family.components else 0
    return per_edge * _edges_per_graph(plan) + 8 * n * d + members + 128


def shard_bytes(plan: Plan, count: int) -> int:
    """The memory of building and encoding a shard of count frameworks (or graphs) of plan."""
    from .graph_records import generator_bytes  # imports telvora_graphs, which the command's parser does without

    work = batch_bytes(plan.nodes, plan.dim, count) if plan.family is None else generator_bytes(
        plan.nodes, plan.dim, count, plan.family)
    return int(3 * count * _stored_bytes(plan)) + work


def _size(value: float) -> str:
    for unit, scale in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6)):
        if value >= scale:
            return f"{value / scale:,.1f} {unit}"
    return f"{value:,.0f} bytes"


def check_fits(plan: Plan, workers: int, memory: int | None = None, *, single: bool = False) -> None:
    """Raises DatasetError, naming the sizes, when the shards of plan that workers build at once
    (or with single, one framework of it) cannot fit the machine's memory (or memory bytes)."""
    memory = machine_memory() if memory is None else memory
    if memory is None:
        return
    what = "framework" if plan.family is None else "graph"
    one = shard_bytes(plan, 1)
    if one > memory:
        raise DatasetError(f"one {what} of {plan.nodes:,} points needs about {_size(one)} while it is built, more "
                           f"than this machine's {_size(memory)} of memory; choose fewer points")
    if single:
        return
    count = min(plan.shard_size, plan.graphs)
    at_once = min(workers, plan.shard_count)
    needed = at_once * shard_bytes(plan, count)
    if needed > memory:
        # The columns grow with the shard; the generator's working memory is capped by its chunks.
        columns = 3 * _stored_bytes(plan)
        work = shard_bytes(plan, count) - int(count * columns)
        largest = max(1, int((memory // at_once - work) // columns))
        raise DatasetError(f"{at_once} shard{'s' if at_once > 1 else ''} of {count:,} {what}s of {plan.nodes:,} points "
                           f"built at once need about {_size(needed)}, more than this machine's {_size(memory)} of "
                           f"memory; choose --shard-size {largest:,} or less, or fewer --workers")
