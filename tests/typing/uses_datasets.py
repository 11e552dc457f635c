"""Checked by mypy in the test suite: telvora_datasets used as a typed caller would."""

import tempfile
from collections.abc import Iterator
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import telvora_datasets as td
from telvora_datasets import Record


def independent_share(records: Iterator[Record]) -> float:
    ones = total = 0
    for record in records:
        labels: NDArray[np.uint8] = record["labels"]
        ones += int(labels.sum())
        total += labels.size
    return ones / max(total, 1)


def main() -> None:
    version: str = td.__version__
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "n6"
        report: td.Report = td.generate(4, 6, 2, 11, out, options=td.Options(shard_size=2, format="npz", workers=1))
        summary: str = report.summary
        share = independent_share(td.load(out, verify=True))
        first = next(td.load(str(out)))
        seed: int = first["seed"]
        coords: NDArray[np.float64] = first["coords"]
        distances: NDArray[np.float64] = first["distances"]
        rigid: bool = first["is_rigid"]
        rank: int = first["final_rank"] + first["max_rank"] + first["n_nodes"] + first["d"]
        manifest = td.read_manifest(out)
        edges: NDArray[np.int64] = td.candidate_edges(first["n_nodes"])
        seeds: NDArray[np.uint64] = td.framework_seeds(11, 0, 4)
        points: NDArray[np.float64] = td.framework_points(seeds, 6, 2)
        artists: td.FrameworkArtists = td.plot_framework(coords, first["labels"], title="first", numbered=True)
        drawn: int = artists.count("independent") + len(artists.numbers)
        artists.figure.savefig(Path(scratch) / "first.png")
        pebbles = td.plot_pebble_comparison(points[0], numbered=False)
        td.plot_dataset_summary(td.load(out), title="n6").savefig(Path(scratch) / "summary.png")
        try:
            graph = td.to_pyg(first)  # needs torch at run time, not to type-check
            dataset = td.RigidityDataset(out, verify=False)
            print(graph, len(dataset))
        except td.MissingExtraError as missing:
            print(missing)
        print(version, summary, share, seed, coords.shape, distances.shape, rigid, rank, len(manifest),
              edges.shape, drawn, pebbles.legend)


if __name__ == "__main__":
    main()
