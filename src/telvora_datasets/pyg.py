"""Records as PyTorch Geometric graphs. Needs only torch, torch_geometric and NumPy."""

from __future__ import annotations  # torch's types are named, never loaded, when torch is absent

import importlib
import os
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import MissingExtraError
from .reader import load
from .records import candidate_edges, labels_array, points_array, real_array

if TYPE_CHECKING:  # the annotations hold without torch: the names are then Any
    import torch  # type: ignore[import-not-found, import-untyped, unused-ignore]
    from torch_geometric.data import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
        Data, InMemoryDataset)


def _require_torch() -> tuple[Any, Any]:
    """torch and torch_geometric.data, imported by name so that mypy does not need them installed."""
    try:
        torch = importlib.import_module("torch")
        data = importlib.import_module("torch_geometric.data")
    except ImportError:
        raise MissingExtraError(
            "PyTorch Geometric support needs torch and torch_geometric: pip install 'telvora[pyg]' "
            "(for a CPU-only machine, install a CPU build of torch first)") from None
    return torch, data


GRAPH_TARGETS = ("is_rigid", "is_redundantly_rigid", "is_globally_rigid", "dof", "rank", "n_stresses")
EDGE_TARGETS = ("labels", "redundant")


def to_pyg(record: Mapping[str, Any], dtype: torch.dtype | None = None, *, target: str | None = None,
           edge_target: str | None = None) -> Data:
    """A torch_geometric.data.Data of one record (a Record, as load yields them).

    A framework of the complete graph: pos and x, the coordinates (n_nodes x d); edge_index, both
    directions of every candidate edge (columns 0 .. m - 1 the edges (i, j), i < j, in candidate
    order, columns m .. 2m - 1 the same edges reversed); edge_attr (2m x 1) their lengths, y (2m,
    int64) their labels (1 independent, 0 redundant). Per graph: is_rigid, final_rank, max_rank,
    and seed (its 64 bits as int64; ``seed % 2**64`` gives it back).

    A graph of a family: edge_index, its m edges in stored order then reversed; x the coordinates
    (and pos, and edge_attr the lengths) when the record has points, otherwise the degree of each
    vertex (n x 1); y (1,) the graph target as int64; edge_y (2m,) the edge target. Per graph:
    is_rigid, dof, rank, max_rank, n_edges, index and seed. From a dataset written with
    --components: n_components, and in the line and the plane edge_component (2m,), each edge's
    rigid component (numbered within the graph) in the order of edge_index.

    Parameters
    ----------
    record : mapping
        A Record.
    dtype : torch.dtype, optional
        The floating type of coordinates and lengths; torch's default when not given.
    target : str, optional
        A graph family's graph target, one of GRAPH_TARGETS; is_rigid by default.
    edge_target : {"labels", "redundant"}, optional
        A graph family's edge target; labels by default.

    Returns
    -------
    torch_geometric.data.Data

    Raises
    ------
    ValueError
        For target or edge_target on a complete-graph record, an unknown target, a target the
        record lacks, or fields that do not fit together (distances, edges or components).
    MissingExtraError
        When torch or torch_geometric is not installed.

    Examples
    --------
    In an environment with PyTorch Geometric (the ``pyg`` extra; not run here):

    >>> import telvora_datasets as td
    >>> data = td.to_pyg(next(iter(td.load("run/demo"))))  # doctest: +SKIP
    >>> data.num_nodes  # doctest: +SKIP
    10
    """
    torch, data = _require_torch()
    dtype = torch.get_default_dtype() if dtype is None else dtype
    if "edges" in record:
        return _graph_to_pyg(record, dtype, target or "is_rigid", edge_target or "labels", torch, data)
    if target is not None or edge_target is not None:
        raise ValueError("target and edge_target apply to records of graph families; a complete-graph "
                         "framework's y holds its bar labels")
    coords = points_array(record["coords"], "record['coords']")
    edges = candidate_edges(coords.shape[0])
    labels = labels_array(record["labels"], edges.shape[0], coords.shape[0]).astype(np.int64)
    lengths = real_array(record["distances"], "record['distances']")
    if lengths.shape != (edges.shape[0],):
        raise ValueError(f"a record of {coords.shape[0]} points needs {edges.shape[0]} distances, "
                         f"got shape {lengths.shape}")
    both = np.concatenate([edges, edges[:, ::-1]]).T
    pos = torch.tensor(coords, dtype=dtype)
    return data.Data(
        x=pos.clone(),
        pos=pos,
        edge_index=torch.tensor(np.ascontiguousarray(both), dtype=torch.long),
        edge_attr=torch.tensor(np.concatenate([lengths, lengths])[:, None], dtype=dtype),
        y=torch.tensor(np.concatenate([labels, labels]), dtype=torch.long),
        is_rigid=torch.tensor([bool(record["is_rigid"])]),
        final_rank=torch.tensor([int(record["final_rank"])], dtype=torch.long),
        max_rank=torch.tensor([int(record["max_rank"])], dtype=torch.long),
        seed=torch.tensor([np.uint64(record["seed"]).view(np.int64)], dtype=torch.long),
    )


def _graph_to_pyg(record: Mapping[str, Any], dtype: torch.dtype, target: str, edge_target: str, torch: Any,
                  data: Any) -> Data:
    if target not in GRAPH_TARGETS:
        raise ValueError(f"target must be one of {', '.join(GRAPH_TARGETS)} (got {target!r})")
    if edge_target not in EDGE_TARGETS:
        raise ValueError(f"edge_target must be labels or redundant (got {edge_target!r})")
    if target not in record:
        raise ValueError(f"the record has no {target}; generate the dataset with --globally-rigid to have it")
    n = int(record["n_nodes"])
    edges = np.asarray(record["edges"], dtype=np.int64).reshape(-1, 2)
    if edges.size and (edges.min() < 0 or edges.max() >= n):
        raise ValueError(f"record['edges'] holds vertices outside 0 .. {n - 1}")
    m = edges.shape[0]
    per_edge = labels_array(record[edge_target], m, n).astype(np.int64)
    both = np.ascontiguousarray(np.concatenate([edges, edges[:, ::-1]]).T)
    fields: dict[str, Any] = {
        "edge_index": torch.tensor(both, dtype=torch.long),
        "edge_y": torch.tensor(np.concatenate([per_edge, per_edge]), dtype=torch.long),
        "y": torch.tensor([int(record[target])], dtype=torch.long),
        "num_nodes": n,
    }
    if "coords" in record:
        coords = points_array(record["coords"], "record['coords']")
        lengths = np.sqrt(((coords[edges[:, 0]] - coords[edges[:, 1]]) ** 2).sum(axis=1))
        pos = torch.tensor(coords, dtype=dtype)
        fields.update(pos=pos, x=pos.clone(),
                      edge_attr=torch.tensor(np.concatenate([lengths, lengths])[:, None], dtype=dtype))
    else:
        degree = np.bincount(edges.reshape(-1), minlength=n).astype(np.float64)
        fields["x"] = torch.tensor(degree[:, None], dtype=dtype)
    if "component" in record:
        component = np.asarray(record["component"], dtype=np.int64).reshape(-1)
        if component.shape != (m,):
            raise ValueError(f"record['component'] needs one entry per edge ({m}), got {component.size}")
        fields["edge_component"] = torch.tensor(np.concatenate([component, component]), dtype=torch.long)
    if "components" in record:
        fields["n_components"] = torch.tensor([len(record["components"])], dtype=torch.long)
    for name in ("is_rigid", "dof", "rank", "max_rank", "n_edges", "index"):
        if name in record:
            fields[name] = torch.tensor([int(record[name])], dtype=torch.bool if name == "is_rigid" else torch.long)
    fields["seed"] = torch.tensor([np.uint64(record["seed"]).view(np.int64)], dtype=torch.long)
    return data.Data(**fields)


if TYPE_CHECKING:
    class RigidityDataset(InMemoryDataset):  # type: ignore[misc, unused-ignore]
        """Every record of a dataset directory as an in-memory PyTorch Geometric dataset."""

        path: str

        def __init__(self, path: str | os.PathLike[str], transform: Callable[[Data], Data] | None = None,
                     pre_transform: Callable[[Data], Data] | None = None,
                     pre_filter: Callable[[Data], bool] | None = None, dtype: torch.dtype | None = None,
                     verify: bool = True, *, target: str | None = None, edge_target: str | None = None,
                     split: str | None = None) -> None: ...


def _dataset_class() -> type:
    _, data = _require_torch()
    base: Any = data.InMemoryDataset

    class RigidityDataset(base):  # type: ignore[misc]
        """Every record of a dataset directory as an in-memory PyTorch Geometric dataset.

        Nothing is cached on disk: the shards are read (and checked against the manifest
        with verify) and converted by to_pyg when the dataset is made. target and edge_target
        choose y and edge_y of a graph family (see to_pyg); split keeps one part of a split
        dataset ("train", "validation" or "test").
        """

        def __init__(self, path: str | os.PathLike[str], transform: Callable[[Data], Data] | None = None,
                     pre_transform: Callable[[Data], Data] | None = None,
                     pre_filter: Callable[[Data], bool] | None = None, dtype: torch.dtype | None = None,
                     verify: bool = True, *, target: str | None = None, edge_target: str | None = None,
                     split: str | None = None) -> None:
            super().__init__(None, transform, pre_transform, pre_filter)
            self.path = str(path)
            graphs = (to_pyg(record, dtype, target=target, edge_target=edge_target)
                      for record in load(path, verify=verify, split=split))
            if pre_filter is not None:
                graphs = (graph for graph in graphs if pre_filter(graph))
            if pre_transform is not None:
                graphs = (pre_transform(graph) for graph in graphs)
            self.data, self.slices = self.collate(list(graphs))

        def __repr__(self) -> str:
            return f"{type(self).__name__}({self.path!r}, {len(self)} graphs)"

    return RigidityDataset


if not TYPE_CHECKING:
    def __getattr__(name: str) -> object:
        # The class derives from InMemoryDataset, so it is made only once torch_geometric is wanted.
        if name == "RigidityDataset":
            cls = _dataset_class()
            globals()[name] = cls
            return cls
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
