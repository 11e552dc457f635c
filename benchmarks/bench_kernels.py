"""kernels: telvora_graphs.motions and stresses against SciPy's null_space of the same rigidity
matrix (motions: of R; stresses: of its transpose), with a check that both find the same dimension.

    python benchmarks/run.py --only kernels        (part of the benchmark command)
    python benchmarks/bench_kernels.py             (this section alone: results/kernels.md)

Cases, n = 1,000 in 3-D with m = 3n edges and points uniform in [0, 1)^3: a random graph G(n, m)
(bench_graphs.distinct_pairs) and a random geometric graph (the m closest pairs of the points).
Motions are asked for with trivial=True, so that both sides compute the whole kernel of R. Each
contender runs in a fresh worker process with one BLAS thread; telvora is timed as the median of
three calls after a first (the first alone when it takes over 2 s), SciPy once (a dense SVD of the m x nd matrix, tens of seconds).
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from workers import command, in_worker  # noqa: E402

CASES = [("gnm", 1000, 3), ("geometric", 1000, 3)]
CONTENDERS = {
    "telvora-motions": "`motions(edges, coords, trivial=True)`: the kernel of R, orthonormal",
    "scipy-null-space-R": "`scipy.linalg.null_space(R)` of the dense rigidity matrix",
    "telvora-stresses": "`stresses(edges, coords)`: the kernel of Rᵀ, orthonormal",
    "scipy-null-space-RT": "`scipy.linalg.null_space(R.T)`",
}
PAIRS = [("telvora-motions", "scipy-null-space-R"), ("telvora-stresses", "scipy-null-space-RT")]


def make_input(series: str, n: int, d: int):
    import numpy as np

    import bench_graphs

    rng = np.random.default_rng([2026, n, d, 7 if series == "gnm" else 8])
    coords, m = rng.random((n, d)), 3 * n
    if series == "gnm":
        return bench_graphs.distinct_pairs(n, m, rng), coords
    i, j = np.triu_indices(n, 1)
    squared = ((coords[i] - coords[j]) ** 2).sum(axis=1)
    closest = np.argsort(squared, kind="stable")[:m]
    return np.stack([i[closest], j[closest]], axis=1).astype(np.int64), coords


def worker(series: str, n: int, d: int, contender: str) -> dict:
    import bench_graphs
    import telvora_graphs as tg

    edges, coords = make_input(series, n, d)

    def call() -> int:
        if contender == "telvora-motions":
            return tg.motions(edges, coords, trivial=True).k
        if contender == "telvora-stresses":
            return tg.stresses(edges, coords).s
        from scipy.linalg import null_space

        matrix = bench_graphs.rigidity_matrix(coords, edges)
        return int(null_space(matrix if contender == "scipy-null-space-R" else matrix.T).shape[1])

    start = time.perf_counter()
    dimension = call()
    samples = [time.perf_counter() - start]
    if contender.startswith("telvora") and samples[0] < 2.0:  # a call of seconds is its own sample
        samples = []
        for _ in range(3):
            start = time.perf_counter()
            call()
            samples.append(time.perf_counter() - start)
    samples.sort()
    return {"seconds": samples[len(samples) // 2], "m": len(edges), "dimension": dimension,
            "rank": int(n * d - dimension if contender in ("telvora-motions", "scipy-null-space-R")
                        else len(edges) - dimension)}


def run(progress=print) -> list[dict]:
    rows = []
    for series, n, d in CASES:
        for contender in CONTENDERS:
            row = {"series": series, "n": n, "d": d, "contender": contender,
                   **in_worker(__file__, [series, n, d, contender])}
            progress(f"  kernels: {series} n = {n}, d = {d}, {contender}: {row.get('seconds', 'failed')}")
            rows.append(row)
    return rows


def markdown(rows: list[dict]) -> str:
    lines = ["## Motions and stresses against SciPy's null_space", "",
             "The same rigidity matrix R at the same points, m = 3n; one process per contender, one BLAS "
             "thread. Ratio: SciPy's time over telvora's. Same dimension: whether both found a kernel of the "
             "same size (null_space's default cut-off against numeric mode's tolerance).", ""]
    lines += [f"- `{name}`: {text}" for name, text in CONTENDERS.items()]
    lines += ["", "| graph | n | m | kernel | telvora | SciPy | ratio | dimension (telvora, SciPy) | same dimension |",
              "|---|---|---|---|---|---|---|---|---|"]
    for series, n, d in CASES:
        mine = {r["contender"]: r for r in rows if r["series"] == series and r["n"] == n and r["d"] == d}
        for ours, theirs in PAIRS:
            a, b = mine.get(ours, {}), mine.get(theirs, {})
            kernel = "R (motions)" if ours == "telvora-motions" else "Rᵀ (stresses)"
            if "seconds" not in a or "seconds" not in b:
                lines.append(f"| {series} | {n} | | {kernel} | {a.get('failed', '')} | {b.get('failed', '')} | | | |")
                continue
            same = "yes" if a["dimension"] == b["dimension"] else "**no**"
            lines.append(f"| {series} | {n} | {a['m']} | {kernel} | {a['seconds']:.2f} s | {b['seconds']:.1f} s | "
                         f"{b['seconds'] / a['seconds']:.1f}× | {a['dimension']}, {b['dimension']} | {same} |")
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    return command(argv, doc=__doc__, name="kernels", worker=worker, run=run, markdown=markdown)


if __name__ == "__main__":
    sys.exit(main())
