"""to_pyg and RigidityDataset on the small dataset in tests/data/pyg_dataset.

Needs torch and torch_geometric but not the compiled module, so it also runs under an
interpreter that only has the pure-Python package on its path. With TELVORA_REQUIRE_PYG
set, missing torch fails the run instead of skipping it.
"""

import itertools
import os
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("TELVORA_REQUIRE_PYG"):
    import torch
    import torch_geometric  # noqa: F401
else:
    torch = pytest.importorskip("torch")
    pytest.importorskip("torch_geometric")

from telvora_datasets import RigidityDataset, load, to_pyg

FIXTURE = Path(__file__).parent / "data" / "pyg_dataset"


def test_edges_carry_the_length_and_label_of_their_bar():
    records = list(load(FIXTURE))
    assert len(records) == 7
    for record in records:
        graph = to_pyg(record, dtype=torch.float64)
        coords, n = record["coords"], record["n_nodes"]
        bars = list(itertools.combinations(range(n), 2))
        assert graph.pos.numpy().tobytes() == coords.tobytes()
        assert torch.equal(graph.x, graph.pos) and graph.x.data_ptr() != graph.pos.data_ptr()
        tails, heads = graph.edge_index.numpy()
        assert graph.edge_index.shape == (2, 2 * len(bars))
        assert sorted(zip(tails.tolist(), heads.tolist())) == sorted(bars + [(j, i) for i, j in bars])
        bar = [bars.index((min(u, v), max(u, v))) for u, v in zip(tails.tolist(), heads.tolist())]
        assert graph.y.tolist() == record["labels"][bar].tolist()
        assert graph.edge_attr.shape == (2 * len(bars), 1)
        assert graph.edge_attr[:, 0].numpy().tobytes() == record["distances"][bar].tobytes()
        lengths = np.sqrt(((coords[tails] - coords[heads]) ** 2).sum(axis=1))
        np.testing.assert_allclose(graph.edge_attr[:, 0].numpy(), lengths, rtol=1e-15)
        assert graph.y.sum().item() == 2 * record["final_rank"]
        assert (graph.is_rigid.item(), graph.final_rank.item(), graph.max_rank.item()) == \
            (record["is_rigid"], record["final_rank"], record["max_rank"])
        assert graph.seed.item() % 2**64 == record["seed"]
    assert {record["seed"] for record in records} >= {2**64 - 1, 0}  # seeds that do not fit int64 survive
    assert to_pyg(records[0]).pos.dtype == torch.get_default_dtype()


def test_dataset_holds_every_record_and_batches_them():
    from torch_geometric.loader import DataLoader

    records = list(load(FIXTURE))
    dataset = RigidityDataset(FIXTURE)
    assert len(dataset) == len(records)
    for graph, record in zip(dataset, records):
        expected = to_pyg(record)
        assert sorted(graph.keys()) == sorted(expected.keys())
        assert all(torch.equal(graph[key], expected[key]) for key in expected.keys())
    batch = next(iter(DataLoader(dataset, batch_size=3)))
    n = records[0]["n_nodes"]
    assert batch.num_graphs == 3 and batch.pos.shape == (3 * n, records[0]["d"])
    edges = batch.edge_index.shape[1] // 3
    assert torch.equal(batch.edge_index[:, edges:2 * edges], dataset[1].edge_index + n)
    assert batch.is_rigid.shape == (3,)

    even = RigidityDataset(FIXTURE, pre_filter=lambda graph: graph.seed.item() % 2 == 0,
                           transform=lambda graph: graph.update({"label_share": graph.y.float().mean()}))
    assert [graph.seed.item() % 2**64 for graph in even] == [r["seed"] for r in records if r["seed"] % 2 == 0]
    assert all(torch.isclose(graph.label_share, graph.y.float().mean()) for graph in even)


GRAPHS = Path(__file__).parent / "data" / "graph_dataset"
EXAMPLE = Path(__file__).parent.parent / "examples" / "learn_rigidity.py"


def test_graph_records_become_graphs_with_their_targets():
    records = list(load(GRAPHS))
    assert len(records) == 600
    for record in records[:40]:
        n, edges = record["n_nodes"], record["edges"]
        m = len(edges)
        graph = to_pyg(record)
        assert graph.num_nodes == n and graph.edge_index.shape == (2, 2 * m)
        assert graph.edge_index[:, :m].T.tolist() == edges.tolist()
        assert graph.edge_index[:, m:].T.tolist() == edges[:, ::-1].tolist()
        assert graph.x[:, 0].tolist() == np.bincount(edges.reshape(-1), minlength=n).tolist()  # degrees
        assert "pos" not in graph and "edge_attr" not in graph
        assert graph.y.tolist() == [int(record["is_rigid"])]
        assert graph.edge_y.tolist() == record["labels"].tolist() * 2
        for target in ("dof", "rank", "n_stresses", "is_redundantly_rigid"):
            assert to_pyg(record, target=target).y.tolist() == [int(record[target])]
        assert to_pyg(record, edge_target="redundant").edge_y.tolist() == record["redundant"].astype(int).tolist() * 2
        assert (graph.n_edges.item(), graph.max_rank.item(), graph.index.item()) == (m, record["max_rank"],
                                                                                    record["index"])
        assert graph.seed.item() % 2**64 == record["seed"]
    first = records[0]
    m = len(first["edges"])
    split = dict(first, components=[np.arange(3), np.arange(2, first["n_nodes"])], component=np.arange(m) % 2)
    graph = to_pyg(split)
    assert graph.n_components.tolist() == [2] and graph.edge_component.tolist() == (np.arange(m) % 2).tolist() * 2
    assert "edge_component" not in to_pyg(first) and "n_components" not in to_pyg(first)
    with pytest.raises(ValueError, match="one entry per edge"):
        to_pyg(dict(split, component=np.arange(m + 1)))
    placed = dict(records[0], coords=np.random.default_rng(1).random((records[0]["n_nodes"], 2)))
    graph = to_pyg(placed, dtype=torch.float64)
    tails, heads = graph.edge_index.numpy()
    lengths = np.linalg.norm(placed["coords"][tails] - placed["coords"][heads], axis=1)
    np.testing.assert_allclose(graph.edge_attr[:, 0].numpy(), lengths, rtol=1e-15)
    assert graph.pos.numpy().tobytes() == placed["coords"].tobytes() and torch.equal(graph.x, graph.pos)


@pytest.mark.parametrize(("record", "options", "message"), [
    ("graph", {"target": "colour"}, "target must be one of is_rigid"),
    ("graph", {"edge_target": "length"}, "edge_target must be labels or redundant"),
    ("graph", {"target": "is_globally_rigid"}, "generate the dataset with --globally-rigid"),
    ("framework", {"target": "dof"}, "target and edge_target apply to records of graph families"),
])
def test_wrong_targets_are_refused(record, options, message):
    chosen = next(iter(load(GRAPHS if record == "graph" else FIXTURE)))
    with pytest.raises(ValueError, match=message):
        to_pyg(chosen, **options)


def test_dataset_of_a_split_holds_that_part():
    test = RigidityDataset(GRAPHS, split="test", target="dof")
    indices = [record["index"] for record in load(GRAPHS, split="test")]
    assert len(test) == len(indices) and [graph.index.item() for graph in test] == indices
    assert all(graph.y.item() == graph.max_rank.item() - record["rank"]
               for graph, record in zip(test, load(GRAPHS, split="test")))


def test_the_learning_example_beats_both_baselines():
    import importlib.util

    spec = importlib.util.spec_from_file_location("learn_rigidity", EXAMPLE)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    result = example.main([str(GRAPHS), "--epochs", "8", "--quiet"])
    final = result["models"]["graph network"][-1]["test"]
    chance = max(result["baselines"]["majority class"], result["baselines"]["Maxwell's count"])
    assert result["test"] == 120 and final > chance + 0.15, result
    bars = example.main([str(FIXTURE), "--epochs", "40", "--batch", "2", "--quiet"])
    assert bars["models"]["from the vertex numbers"][-1]["test"] == 1.0, bars


@pytest.mark.parametrize("name", ["../outside/shard-00001.npz", "/etc/hostname", "../../../../etc/hostname"])
def test_a_dataset_naming_a_file_outside_its_directory_is_refused(tmp_path, name):
    import json
    import shutil

    from telvora_datasets import DatasetError

    directory = tmp_path / "data"
    shutil.copytree(FIXTURE, directory)
    (tmp_path / "outside").mkdir()
    shutil.copy(directory / "shard-00001.npz", tmp_path / "outside")
    manifest = json.loads((directory / "manifest.json").read_bytes())
    manifest["shards"][1]["file"] = name
    (directory / "manifest.json").write_text(json.dumps(manifest))
    for verify in (True, False):
        with pytest.raises(DatasetError, match="not a file name inside the dataset's directory"):
            RigidityDataset(directory, verify=verify)
