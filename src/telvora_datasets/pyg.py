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


def to_pyg(record: Mapping[str, Any], dtype: torch.dtype | None = None) -> Data:
    """A torch_geometric.data.Data of one record (a Record, as load yields them).

    pos and x: the coordinates (n_nodes x d) in dtype (torch's default float type unless given).
    edge_index: both directions of every candidate edge; columns 0 .. m - 1 are the edges (i, j),
    i < j, in candidate order, columns m .. 2m - 1 the same edges reversed. edge_attr (2m x 1)
    holds their lengths, y (2m, int64) their labels (1 independent, 0 redundant). Per graph:
    is_rigid, final_rank, max_rank, and seed (its 64 bits as int64; seed % 2**64 gives it back).
    """
    torch, data = _require_torch()
    dtype = torch.get_default_dtype() if dtype is None else dtype
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


if TYPE_CHECKING:
    class RigidityDataset(InMemoryDataset):  # type: ignore[misc, unused-ignore]
        """Every record of a dataset directory as an in-memory PyTorch Geometric dataset."""

        path: str

        def __init__(self, path: str | os.PathLike[str], transform: Callable[[Data], Data] | None = None,
                     pre_transform: Callable[[Data], Data] | None = None,
                     pre_filter: Callable[[Data], bool] | None = None, dtype: torch.dtype | None = None,
                     verify: bool = True) -> None: ...


def _dataset_class() -> type:
    _, data = _require_torch()
    base: Any = data.InMemoryDataset

    class RigidityDataset(base):  # type: ignore[misc]
        """Every record of a dataset directory as an in-memory PyTorch Geometric dataset.

        Nothing is cached on disk: the shards are read (and checked against the manifest
        with verify) and converted by to_pyg when the dataset is made.
        """

        def __init__(self, path: str | os.PathLike[str], transform: Callable[[Data], Data] | None = None,
                     pre_transform: Callable[[Data], Data] | None = None,
                     pre_filter: Callable[[Data], bool] | None = None, dtype: torch.dtype | None = None,
                     verify: bool = True) -> None:
            super().__init__(None, transform, pre_transform, pre_filter)
            self.path = str(path)
            graphs = (to_pyg(record, dtype) for record in load(path, verify=verify))
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
