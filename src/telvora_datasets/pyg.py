"""Records as PyTorch Geometric graphs. Needs only torch, torch_geometric and NumPy."""

import numpy as np

from .errors import MissingExtraError
from .reader import load
from .records import candidate_edges


def _require_torch():
    try:
        import torch
        import torch_geometric.data
    except ImportError:
        raise MissingExtraError(
            "PyTorch Geometric support needs torch and torch_geometric: pip install 'telvora[pyg]' "
            "(for a CPU-only machine, install a CPU build of torch first)") from None
    return torch, torch_geometric.data


def to_pyg(record, dtype=None):
    """A torch_geometric.data.Data of one record.

    pos and x: the coordinates (n_nodes x d) in dtype (torch's default float type unless given).
    edge_index: both directions of every candidate edge; columns 0 .. m - 1 are the edges (i, j),
    i < j, in candidate order, columns m .. 2m - 1 the same edges reversed. edge_attr (2m x 1)
    holds their lengths, y (2m, int64) their labels (1 independent, 0 redundant). Per graph:
    is_rigid, final_rank, max_rank, and seed (its 64 bits as int64; seed % 2**64 gives it back).
    """
    torch, data = _require_torch()
    dtype = torch.get_default_dtype() if dtype is None else dtype
    coords = np.asarray(record["coords"], dtype=np.float64)
    edges = candidate_edges(coords.shape[0])
    labels = np.asarray(record["labels"]).astype(np.int64)
    lengths = np.asarray(record["distances"], dtype=np.float64)
    if labels.shape != (edges.shape[0],) or lengths.shape != (edges.shape[0],):
        raise ValueError(f"a record of {coords.shape[0]} points needs {edges.shape[0]} labels and distances")
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


def _dataset_class():
    torch, data = _require_torch()
    from torch_geometric.data import InMemoryDataset

    class RigidityDataset(InMemoryDataset):
        """Every record of a dataset directory as an in-memory PyTorch Geometric dataset.

        Nothing is cached on disk: the shards are read (and checked against the manifest
        with verify) and converted by to_pyg when the dataset is made.
        """

        def __init__(self, path, transform=None, pre_transform=None, pre_filter=None, dtype=None, verify=True):
            super().__init__(None, transform, pre_transform, pre_filter)
            self.path = str(path)
            graphs = (to_pyg(record, dtype) for record in load(path, verify=verify))
            if pre_filter is not None:
                graphs = (graph for graph in graphs if pre_filter(graph))
            if pre_transform is not None:
                graphs = (pre_transform(graph) for graph in graphs)
            self.data, self.slices = self.collate(list(graphs))

        def __repr__(self):
            return f"{type(self).__name__}({self.path!r}, {len(self)} graphs)"

    return RigidityDataset


def __getattr__(name):
    # The class derives from InMemoryDataset, so it is made only once torch_geometric is wanted.
    if name == "RigidityDataset":
        cls = _dataset_class()
        globals()[name] = cls
        return cls
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
