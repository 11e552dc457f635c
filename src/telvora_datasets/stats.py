"""What a dataset holds, told in numbers: rigid share, label balance, degrees of freedom, and how
often Maxwell's count (m >= d·n - d(d+1)/2 edges) gets rigidity wrong. Read shard by shard from
the per-graph columns only."""

from __future__ import annotations

import dataclasses
import io
import os
import zipfile
from collections import Counter
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .families import SPLITS
from .formats import require_pyarrow
from .manifest import Plan, dataset_directory


@dataclasses.dataclass
class Statistics:
    """Counts over the graphs (or frameworks) of one or more shards."""

    graphs: int = 0
    rigid: int = 0
    edges: int = 0
    independent: int = 0
    redundant: int | None = None  # edges in a circuit; unknown for the complete-graph frameworks
    maxwell_wrong: int = 0
    dof: Counter[int] = dataclasses.field(default_factory=Counter)
    splits: Counter[str] = dataclasses.field(default_factory=Counter)
    globally_rigid: int | None = None
    components: int | None = None  # with --components: how many in all
    largest_share: float = 0.0  # summed over graphs: the largest component's share of the vertices

    def add(self, other: Statistics) -> None:
        self.graphs += other.graphs
        self.rigid += other.rigid
        self.edges += other.edges
        self.independent += other.independent
        self.maxwell_wrong += other.maxwell_wrong
        if other.redundant is not None:
            self.redundant = (self.redundant or 0) + other.redundant
        if other.globally_rigid is not None:
            self.globally_rigid = (self.globally_rigid or 0) + other.globally_rigid
        if other.components is not None:
            self.components = (self.components or 0) + other.components
            self.largest_share += other.largest_share
        self.dof.update(other.dof)
        self.splits.update(other.splits)

    def lines(self) -> list[str]:
        """The statistics in a few lines of text."""
        graphs = max(self.graphs, 1)
        share = self.independent / max(self.edges, 1)
        labels = f"edge labels {share:.1%} independent / {1 - share:.1%} dependent" if self.edges else "no edges"
        if self.redundant is not None and self.edges:
            labels += f"; {self.redundant / max(self.edges, 1):.1%} of edges redundant"
        rigid = f"rigid {self.rigid / graphs:.1%} / flexible {1 - self.rigid / graphs:.1%}"
        if self.globally_rigid is not None:
            rigid += f", globally rigid {self.globally_rigid / graphs:.1%}"
        histogram = ", ".join(f"{dof}: {count / graphs:.1%}" for dof, count in sorted(self.dof.items()))
        if self.maxwell_wrong:
            maxwell = (f"Maxwell's count gets rigidity wrong on {self.maxwell_wrong / graphs:.1%} of graphs "
                       f"({self.maxwell_wrong:,}: enough edges, yet flexible)")
        else:
            maxwell = ("Maxwell's count is never wrong here: rigidity follows from the number of edges "
                       "alone, an easy dataset")
        out = [rigid + "; " + labels, "degrees of freedom: " + histogram, maxwell]
        if self.components is not None:
            out.append(f"rigid components: {self.components / graphs:.2f} per graph, the largest holding "
                       f"{self.largest_share / graphs:.1%} of the vertices on average")
        if self.splits:
            out.append("split: " + ", ".join(f"{name} {self.splits[name]:,}" for name in SPLITS if name in self.splits))
        return out


def _columns(data: bytes, fmt: str, wanted: list[str]) -> dict[str, NDArray[Any]]:
    """The columns named in wanted that the shard holds, decoded alone."""
    if fmt == "parquet":
        require_pyarrow()
        import pyarrow.parquet as pq  # type: ignore[import-untyped]

        file = pq.ParquetFile(io.BytesIO(data))
        present = [name for name in wanted if name in file.schema_arrow.names]
        table = file.read(columns=present)
        result = {}
        for name in present:
            column = table.column(name).combine_chunks()
            if name == "components":  # a list per graph: keep where each starts
                result["component_offsets"] = column.offsets.to_numpy().astype(np.int64)
            while hasattr(column, "flatten"):
                column = column.flatten()
            result[name] = column.to_numpy(zero_copy_only=False)
        return result
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        members = set(archive.namelist())
    with np.load(io.BytesIO(data), allow_pickle=False) as npz:
        found = {name: npz[name] for name in wanted if name + ".npy" in members}
        if "components" in found:
            found["component_offsets"] = npz["component_offsets"]
        return found


def shard_statistics(data: bytes, fmt: str, nodes: int) -> Statistics:
    """Statistics of one shard from its bytes."""
    wanted = ["n_edges", "rank", "final_rank", "max_rank", "is_rigid", "redundant", "split", "is_globally_rigid",
              "components"]
    columns = _columns(data, fmt, wanted)
    rigid = columns["is_rigid"].astype(bool)
    max_rank = columns["max_rank"]
    if "rank" in columns:  # a graph family
        rank, edges = columns["rank"], columns["n_edges"]
    else:  # the complete graph: n(n-1)/2 bars, never fewer than max_rank
        rank = columns["final_rank"]
        edges = np.full(rank.size, nodes * (nodes - 1) // 2, dtype=np.int64)
    found = Statistics(graphs=int(rank.size), rigid=int(rigid.sum()), edges=int(edges.sum()),
                       independent=int(rank.sum()), maxwell_wrong=int(((edges >= max_rank) & ~rigid).sum()),
                       dof=Counter({int(k): int(v) for k, v in zip(*np.unique(max_rank - rank, return_counts=True))}))
    if "redundant" in columns:
        found.redundant = int(columns["redundant"].astype(bool).sum())
    if "split" in columns:
        codes = np.bincount(columns["split"].astype(np.int64), minlength=len(SPLITS))
        found.splits = Counter({name: int(codes[code]) for code, name in enumerate(SPLITS) if codes[code]})
    if "is_globally_rigid" in columns:
        found.globally_rigid = int(columns["is_globally_rigid"].astype(bool).sum())
    if "components" in columns:
        pairs = columns["components"].reshape(-1, 2)
        offsets = columns["component_offsets"]
        owner = np.repeat(np.arange(offsets.size - 1), np.diff(offsets))
        # Components per graph: one more than its largest number; members per (graph, component).
        counts = np.zeros(offsets.size - 1, dtype=np.int64)
        np.maximum.at(counts, owner, pairs[:, 0] + 1)
        found.components = int(counts.sum())
        if pairs.size:
            keys = owner * (int(pairs[:, 0].max()) + 1) + pairs[:, 0]
            _, first, sizes = np.unique(keys, return_index=True, return_counts=True)
            largest = np.zeros(offsets.size - 1, dtype=np.int64)
            np.maximum.at(largest, owner[first], sizes)
            found.largest_share = float(largest.sum()) / max(nodes, 1)
    return found


def shard_counts(data: bytes, plan: Plan) -> tuple[int, int, int | None, int | None] | None:
    """The counts a shard's record holds (rigid, independent bars, and for a graph family edges and
    graphs whose rigidity Maxwell's count gets wrong), computed from the shard's bytes; None when
    the bytes are not a shard of plan's kind."""
    family = plan.family is not None
    wanted = ["is_rigid", "max_rank", "rank", "n_edges"] if family else ["is_rigid", "final_rank"]
    try:
        columns = _columns(data, plan.format, wanted)
        if set(columns) != set(wanted):
            return None
        rigid = columns["is_rigid"].astype(bool)
        if not family:
            return int(rigid.sum()), int(columns["final_rank"].sum()), None, None
        wrong = (columns["n_edges"] >= columns["max_rank"]) & ~rigid
        return int(rigid.sum()), int(columns["rank"].sum()), int(columns["n_edges"].sum()), int(wrong.sum())
    except Exception:  # not Parquet, not an archive, columns of other shapes: whatever the decoder says
        return None


def dataset_statistics(path: str | os.PathLike[str], verify: bool = True) -> Statistics:
    """Statistics of the complete dataset in directory path, one shard in memory at a time; with
    verify, a shard that does not match its checksum raises DatasetError."""
    from .reader import _decoding, _read_shard, _shards

    directory = dataset_directory(path)
    plan, shards = _shards(directory)
    total = Statistics()
    for entry in shards:
        data = _read_shard(directory, entry, verify)
        with _decoding(os.path.join(directory, entry["file"])):
            total.add(shard_statistics(data, plan.format, plan.nodes))
    return total
