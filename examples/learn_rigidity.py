"""A small graph network learns rigidity from a telvora dataset (PyTorch Geometric, CPU).

    ./scripts/learn.sh        # from a fresh clone: both environments, a dataset, training, a curve

or by hand, in an environment with the module (CPython 3.12 or later) for the data and one with
torch and torch_geometric for the training:

    telvora-datasets generate --family gnm --edges 2n-3+2 --nodes 20 --dim 2 --graphs 20000 \\
        --seed 1 --balance rigid --split 0.8,0.1,0.1 --format npz --out data/gnm20
    PYTHONPATH=src python examples/learn_rigidity.py data/gnm20 --curve curve.png

On a graph family it predicts is_rigid from the graph alone (vertex degrees and the edge count
against Maxwell's count d·n - d(d+1)/2) and prints the held-out accuracy next to three baselines:
the majority class of the training graphs, Maxwell's count (rigid when m >= d·n - d(d+1)/2), and
Maxwell's count with every degree at least d (a vertex of lower degree moves freely).
On the complete-graph frameworks (the default family) it predicts each bar's label twice, from
the vertex numbers alone and from the coordinates alone: the numbers suffice, because on points
in general position bar (i, j) is independent exactly when i < d.

Needs torch, torch_geometric and the pure-Python telvora_datasets (NPZ datasets need nothing
more; Parquet ones need pyarrow); --curve needs matplotlib.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any

import numpy as np
import torch
from torch import nn
from torch_geometric.loader import DataLoader
from torch_geometric.nn import GINConv, global_add_pool

import telvora_datasets as td

MAX_DEGREE = 12  # degrees above this share the last one-hot slot


def mlp(*sizes: int) -> nn.Sequential:
    layers: list[nn.Module] = []
    for k in range(len(sizes) - 1):
        layers.append(nn.Linear(sizes[k], sizes[k + 1]))
        if k < len(sizes) - 2:
            layers.append(nn.ReLU())
    return nn.Sequential(*layers)


class RigidityNet(nn.Module):
    """GIN layers over one-hot degrees, summed over the vertices, then the edge count's excess over
    Maxwell's count joins the readout."""

    def __init__(self, hidden: int, layers: int) -> None:
        super().__init__()
        self.convs = nn.ModuleList(GINConv(mlp(MAX_DEGREE + 1 if k == 0 else hidden, hidden, hidden))
                                   for k in range(layers))
        self.readout = mlp(hidden * layers + 1, hidden, 1)

    def forward(self, batch: Any) -> torch.Tensor:
        degree = batch.x[:, 0].long().clamp(max=MAX_DEGREE)
        h = nn.functional.one_hot(degree, MAX_DEGREE + 1).float()
        pooled = []
        for conv in self.convs:
            h = conv(h, batch.edge_index).relu()
            pooled.append(global_add_pool(h, batch.batch))
        excess = (batch.n_edges - batch.max_rank).float()[:, None]
        return self.readout(torch.cat([*pooled, excess], dim=1))[:, 0]


class BarNet(nn.Module):
    """Each bar's label from the features of its two ends (i < j), without message passing."""

    def __init__(self, features: int, hidden: int) -> None:
        super().__init__()
        self.node = mlp(features, hidden, hidden)
        self.edge = mlp(2 * hidden, hidden, 1)

    def forward(self, x: torch.Tensor, edge_index: torch.Tensor) -> torch.Tensor:
        """x: (frameworks, n, features); returns (frameworks, bars) logits."""
        h = self.node(x)
        return self.edge(torch.cat([h[:, edge_index[0]], h[:, edge_index[1]]], dim=2))[:, :, 0]


def split_records(path: str) -> tuple[list[dict[str, Any]], list[dict[str, Any]], str]:
    """(train, test) records: the dataset's own split if it has one (validation joins neither),
    else graphs with index k % 5 == 4 held out."""
    manifest = td.read_manifest(path)
    if manifest["parameters"].get("split"):
        train = [dict(r) for r in td.load(path, split="train")]
        test = [dict(r) for r in td.load(path, split="test")]
        return train, test, "the dataset's test split"
    records = [dict(r) for r in td.load(path)]
    return ([r for k, r in enumerate(records) if k % 5 != 4], [r for k, r in enumerate(records) if k % 5 == 4],
            "every fifth graph")


def accuracy(predicted: np.ndarray, truth: np.ndarray) -> float:
    return float((predicted == truth).mean())


def train_graphs(train: list[dict[str, Any]], test: list[dict[str, Any]], args: argparse.Namespace) -> dict[str, Any]:
    truth = np.array([r["is_rigid"] for r in test])
    majority = np.mean([r["is_rigid"] for r in train]) >= 0.5
    counted = np.array([r["n_edges"] >= r["max_rank"] for r in test])
    least = np.array([np.bincount(r["edges"].reshape(-1), minlength=r["n_nodes"]).min() >= r["d"] for r in test])
    baselines = {"majority class": accuracy(np.full(truth.size, majority), truth),
                 "Maxwell's count": accuracy(counted, truth),
                 "Maxwell and degrees >= d": accuracy(counted & least, truth)}
    train_set = [td.to_pyg(r, target="is_rigid") for r in train]
    test_set = [td.to_pyg(r, target="is_rigid") for r in test]
    model = RigidityNet(args.hidden, args.layers)
    optimiser = torch.optim.Adam(model.parameters(), lr=args.lr)
    loader = DataLoader(train_set, batch_size=args.batch, shuffle=True)
    test_loader = DataLoader(test_set, batch_size=1024)
    curve = []
    for epoch in range(1, args.epochs + 1):
        model.train()
        total = 0.0
        for batch in loader:
            optimiser.zero_grad()
            loss = nn.functional.binary_cross_entropy_with_logits(model(batch), batch.y.float())
            loss.backward()
            optimiser.step()
            total += loss.item() * batch.num_graphs
        model.eval()
        with torch.no_grad():
            predicted = np.concatenate([(model(batch) > 0).numpy() for batch in test_loader])
        curve.append({"epoch": epoch, "loss": total / len(train_set), "test": accuracy(predicted, truth)})
        if not args.quiet:
            print(f"epoch {epoch:3d}: loss {curve[-1]['loss']:.4f}, held-out accuracy {curve[-1]['test']:.1%}",
                  flush=True)
    return {"task": "is_rigid", "baselines": baselines, "models": {"graph network": curve}, "test": len(test)}


def train_bars(train: list[dict[str, Any]], test: list[dict[str, Any]], args: argparse.Namespace) -> dict[str, Any]:
    n, d = train[0]["n_nodes"], train[0]["d"]
    edges = torch.tensor(td.candidate_edges(n).T.copy())
    truth = np.concatenate([r["labels"] for r in test]).astype(bool)
    majority = np.concatenate([r["labels"] for r in train]).mean() >= 0.5
    baselines = {"majority class": accuracy(np.full(truth.size, majority), truth),
                 f"i < d (d = {d})": accuracy(np.tile(edges[0].numpy() < d, len(test)), truth)}
    def numbers(records: list[dict[str, Any]]) -> torch.Tensor:
        return torch.eye(n).expand(len(records), n, n)

    def coordinates(records: list[dict[str, Any]]) -> torch.Tensor:
        return torch.tensor(np.stack([r["coords"] for r in records]), dtype=torch.float32)

    models = {}
    ys = torch.tensor(np.stack([r["labels"] for r in train]), dtype=torch.float32)
    for name, features in (("vertex numbers", numbers), ("coordinates", coordinates)):
        torch.manual_seed(args.seed)
        xs, test_x = features(train), features(test)
        model = BarNet(xs.shape[2], args.hidden)
        optimiser = torch.optim.Adam(model.parameters(), lr=args.lr)
        curve = []
        for epoch in range(1, args.epochs + 1):
            model.train()
            total = 0.0
            order = torch.randperm(len(xs))
            for start in range(0, len(xs), args.batch):
                chosen = order[start:start + args.batch]
                optimiser.zero_grad()
                loss = nn.functional.binary_cross_entropy_with_logits(model(xs[chosen], edges), ys[chosen])
                loss.backward()
                optimiser.step()
                total += loss.item() * len(chosen)
            model.eval()
            with torch.no_grad():
                predicted = (model(test_x, edges) > 0).numpy().reshape(-1)
            curve.append({"epoch": epoch, "loss": total / len(xs), "test": accuracy(predicted, truth)})
            if not args.quiet:
                print(f"{name}, epoch {epoch:3d}: loss {curve[-1]['loss']:.4f}, held-out accuracy "
                      f"{curve[-1]['test']:.1%}", flush=True)
        models[f"from the {name}"] = curve
    return {"task": "bar labels", "baselines": baselines, "models": models, "test": len(test)}


def draw(result: dict[str, Any], path: str, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axis = plt.subplots(figsize=(6.4, 4.0), layout="constrained")
    for name, curve in result["models"].items():
        axis.plot([p["epoch"] for p in curve], [p["test"] for p in curve], marker=".", label=name)
    for (name, value), style in zip(result["baselines"].items(), ["--", ":", "-."]):
        axis.axhline(value, color="grey", linestyle=style, linewidth=1, label=f"{name} ({value:.1%})")
    axis.set_xlabel("epoch")
    axis.set_ylabel(f"held-out accuracy ({result['task']})")
    axis.set_title(title.replace(": ", ":\n", 1), fontsize=10)
    axis.legend(fontsize=8)
    figure.savefig(path, dpi=130)


def main(argv: list[str] | None = None) -> dict[str, Any]:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dataset", help="a dataset directory written by telvora-datasets generate")
    parser.add_argument("--epochs", type=int, default=30)
    parser.add_argument("--hidden", type=int, default=64)
    parser.add_argument("--layers", type=int, default=3)
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--lr", type=float, default=2e-3)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--curve", metavar="PNG", help="draw the held-out accuracy per epoch (needs matplotlib)")
    parser.add_argument("--quiet", action="store_true", help="print only the summary")
    args = parser.parse_args(argv)
    if args.curve:
        try:  # before any training: a missing plotting library must not cost the run
            import matplotlib  # noqa: F401
        except ImportError:
            parser.error("--curve needs matplotlib: pip install matplotlib (./scripts/learn.sh installs it)")
    torch.manual_seed(args.seed)
    train, test, held_out = split_records(args.dataset)
    parameters = td.read_manifest(args.dataset)["parameters"]
    family = parameters.get("family", "complete")
    result = train_bars(train, test, args) if family == "complete" else train_graphs(train, test, args)
    title = (f"{family} graphs, {parameters['nodes']} vertices, {parameters['dim']}-D: {len(train):,} "
             f"for training, {len(test):,} held out ({held_out})")
    print(title)
    for name, value in result["baselines"].items():
        print(f"  {name:<24} {value:.1%}")
    for name, curve in result["models"].items():
        print(f"  {name:<24} {curve[-1]['test']:.1%} (best {max(p['test'] for p in curve):.1%})")
    if args.curve:
        draw(result, args.curve, title)
        print(f"wrote {args.curve}")
    return result


if __name__ == "__main__":
    main(sys.argv[1:])
