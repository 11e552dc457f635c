"""datasets: telvora-datasets generate on one worker, graphs per second and peak memory.

    python benchmarks/run.py --only datasets [--quick]      (part of the benchmark command)
    python benchmarks/bench_datasets.py [--quick]           (this section alone: results/datasets*.md)

Each row writes a whole dataset with telvora_datasets.generate(..., workers=1) into a fresh
temporary directory, in a process of its own that reads its peak resident memory (VmHWM, reset
just before the call); the dataset is deleted afterwards. The target row is gnm graphs of 20
vertices in the plane with generic labels written to Parquet, which must reach 30,000 graphs/s.
For that row the work of one shard of 1000 graphs is also timed phase by phase in this process:
drawing the graphs, labelling them with telvora_graphs.rigidity_batch, encoding the shard.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from memprobe import reset_peak, status_kib  # noqa: E402

TARGET = 30_000
# (name, graphs, graphs in a quick run, nodes, dim, the family by name and its options, the format)
ROWS = [
    ("gnm, 20 vertices, 2-D, generic, Parquet", 200_000, 50_000,
     {"nodes": 20, "dim": 2, "family": "gnm", "edges": "2n-3+2"}),
    ("gnm, 20 vertices, 2-D, generic, NPZ", 200_000, 50_000,
     {"nodes": 20, "dim": 2, "family": "gnm", "edges": "2n-3+2", "format": "npz"}),
    ("complete graph (default), 20 points, 2-D, Parquet", 100_000, 20_000, {"nodes": 20, "dim": 2}),
    ("henneberg +1 -1, 20 vertices, 2-D, generic", 100_000, 20_000,
     {"nodes": 20, "dim": 2, "family": "henneberg", "add": 1, "remove": 1}),
    ("gnp, 20 vertices, 2-D, generic", 100_000, 20_000, {"nodes": 20, "dim": 2, "family": "gnp"}),
    ("geometric r = 0.4, 20 vertices, 2-D, uniform points", 100_000, 20_000,
     {"nodes": 20, "dim": 2, "family": "geometric", "radius": 0.4, "positions": "uniform"}),
    ("knn k = 3, 20 vertices, 2-D, generic", 100_000, 20_000, {"nodes": 20, "dim": 2, "family": "knn"}),
    ("regular 4, 20 vertices, 2-D, generic", 20_000, 5_000, {"nodes": 20, "dim": 2, "family": "regular"}),
    ("gnm, 20 vertices, 2-D, balanced rigid, random order", 50_000, 10_000,
     {"nodes": 20, "dim": 2, "family": "gnm", "edges": "2n-3+2", "balance": "rigid", "order": "random"}),
    ("gnm, 50 vertices, 3-D, generic", 50_000, 10_000, {"nodes": 50, "dim": 3, "family": "gnm", "edges": "3n-6+3"}),
    ("gnm, 20 vertices, 2-D, generic, with --components", 100_000, 20_000,
     {"nodes": 20, "dim": 2, "family": "gnm", "edges": "2n-3+2", "components": True}),
    ("gnp degree 6, 20 vertices, 2-D, generic", 100_000, 20_000,
     {"nodes": 20, "dim": 2, "family": "gnp", "degree": 6}),
    ("gnp degree 6, 20 vertices, 2-D, generic, with --globally-rigid", 100_000, 20_000,
     {"nodes": 20, "dim": 2, "family": "gnp", "degree": 6, "globally_rigid": True}),
]



def worker(task: dict) -> None:
    """Writes one dataset and prints one JSON line: seconds, graphs/s, peak and starting memory."""
    import telvora_datasets as td
    from telvora_datasets.families import FAMILIES

    import pyarrow.parquet  # noqa: F401  (imported before the call, as a running program would have it)

    out = Path(tempfile.mkdtemp(prefix="bench-datasets-"))
    try:
        method = "VmHWM after reset" if reset_peak() else "ru_maxrss"
        before = status_kib("VmRSS")
        started = time.perf_counter()
        options = dict(task["options"])
        nodes, dim, name = options.pop("nodes"), options.pop("dim"), options.pop("family", "complete")
        run = td.Options(workers=1, format=options.pop("format", "parquet"))
        report = td.generate(task["graphs"], nodes, dim, 1, out / "d", FAMILIES[name](**options), run)
        seconds = time.perf_counter() - started
        peak = status_kib("VmHWM") if method.startswith("VmHWM") else None
        if peak is None:
            import resource

            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps({"seconds": seconds, "rate": task["graphs"] / seconds, "peak_kib": peak,
                          "before_kib": before, "method": method, "rigid": report.rigid / task["graphs"],
                          "maxwell_wrong": report.maxwell_wrong / task["graphs"]}))
    finally:
        shutil.rmtree(out, ignore_errors=True)


def phases(shards: int = 10) -> dict[str, float]:
    """Microseconds per graph of each phase of a gnm shard of 1000 graphs (medians over shards)."""
    import statistics

    import numpy as np
    import telvora_graphs as tg
    from telvora_datasets import formats, graph_records
    from telvora_datasets.families import make_family
    from telvora_datasets.streams import graph_keys

    family = make_family("gnm", 20, 2, edges="2n-3+2")
    times: dict[str, list[float]] = {"draw": [], "label": [], "encode": [], "whole shard": []}
    for shard in range(shards):
        indices = np.arange(shard * 1000, shard * 1000 + 1000, dtype=np.uint64)
        started = time.perf_counter()
        graphs = family.draw(graph_keys(1, indices), 20, 2)
        drawn = time.perf_counter()
        tg.rigidity_batch(graphs.edges, graphs.offsets, 20, 2, seed=graph_records.block_seed(1, 0))
        labelled = time.perf_counter()
        columns = graph_records.build_graph_columns(family, 1, shard * 1000, 1000, 20, 2)
        built = time.perf_counter()
        formats.encode(columns, "parquet")
        encoded = time.perf_counter()
        times["draw"].append(drawn - started)
        times["label"].append(labelled - drawn)
        times["encode"].append(encoded - built)
        times["whole shard"].append(encoded - built + (built - labelled))
    return {name: statistics.median(values) / 1000 * 1e6 for name, values in times.items()}


def run(quick: bool, progress=print) -> dict:
    rows = []
    for name, graphs, quick_graphs, options in ROWS:
        count = quick_graphs if quick else graphs
        task = {"graphs": count, "options": options}
        process = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(task)],
                                 capture_output=True, text=True, timeout=3600, cwd=str(HERE))
        if process.returncode != 0:
            tail = (process.stderr.strip().splitlines() or ["no output"])[-1]
            rows.append({"name": name, "graphs": count, "failed": tail})
            progress(f"  {name}: failed: {tail}")
            continue
        row = {"name": name, "graphs": count, **json.loads(process.stdout.strip().splitlines()[-1])}
        rows.append(row)
        progress(f"  {name}: {row['graphs']:,} in {row['seconds']:.2f} s, {row['rate']:,.0f} graphs/s, "
                 f"peak {row['peak_kib'] / 1024:.0f} MiB", flush=True)
    return {"rows": rows, "phases": phases(3 if quick else 10), "quick": quick}


def markdown(result: dict) -> str:
    lines = ["## Datasets: `telvora-datasets generate`, one worker", "",
             "Each dataset written whole into a fresh directory by `telvora_datasets.generate(..., workers=1)` "
             "in a process of its own (shards of 1000, seed 1); memory is the process's peak resident size "
             "(interpreter, NumPy, pyarrow and the module included) and its growth during the run.", "",
             "| dataset | graphs | time | graphs/s | rigid | Maxwell wrong | peak memory (growth) |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for row in result["rows"]:
        if "failed" in row:
            lines.append(f"| {row['name']} | {row['graphs']:,} | failed: {row['failed']} | | | | |")
            continue
        growth = (row["peak_kib"] - row["before_kib"]) / 1024 if row.get("before_kib") else float("nan")
        lines.append(f"| {row['name']} | {row['graphs']:,} | {row['seconds']:.2f} s | {row['rate']:,.0f} | "
                     f"{row['rigid']:.1%} | {row['maxwell_wrong']:.1%} | {row['peak_kib'] / 1024:.0f} MiB "
                     f"(+{growth:.0f} MiB) |")
    target = next((row for row in result["rows"] if "failed" not in row), None)
    if target is not None:
        verdict = "met" if target["rate"] >= TARGET else "NOT met"
        lines += ["", f"Target: at least {TARGET:,} graphs/s for {result['rows'][0]['name']}: {verdict} "
                      f"({target['rate']:,.0f} graphs/s)."]
    phase = result["phases"]
    lines += ["", f"Where a gnm shard's time goes, per graph (median of shards of 1000): drawing {phase['draw']:.1f} µs, "
                  f"labelling by `rigidity_batch` {phase['label']:.1f} µs, encoding to Parquet {phase['encode']:.1f} µs; "
                  f"the whole shard {phase['whole shard']:.1f} µs (hashing and writing the file come on top)."]
    return "\n".join(lines) + "\n"


def as_json(result: dict) -> dict:
    return result


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer graphs per dataset")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--out", default=str(HERE / "results"), help="results directory")
    args = parser.parse_args(argv)
    if args.worker:
        worker(json.loads(args.worker))
        return 0
    result = run(args.quick)
    text = markdown(result)
    name = "datasets-quick" if args.quick else "datasets"
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / f"{name}.md").write_text(text)
    (out / f"{name}.json").write_text(json.dumps(as_json(result), indent=1))
    print()
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
