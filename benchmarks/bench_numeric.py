"""numeric: telvora_graphs numeric mode (rank and every label at given points) against NumPy's
matrix_rank of the same rigidity matrix, on the inputs of the graphs section's G(n, m) series.

    python benchmarks/run.py --only numeric        (part of the benchmark command)
    python benchmarks/bench_numeric.py             (this section alone: results/numeric.md)

Cases: G(1000, 3094) in space and G(3000, 6297) in the plane, m = d·n − d(d+1)/2 + n/10, points
uniform in [0, 1)^d (bench_graphs.make_input). Each contender runs in a fresh worker process that
builds the input, reads its resident memory, then times its call; peak memory is the high-water
mark during the call (VmHWM reset just before it). telvora is timed as the median of five calls
after a warm-up, NumPy once (a call of minutes). NumPy runs with one BLAS thread, as everything
in the benchmark does.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from workers import command, in_worker  # noqa: E402

CASES = [("gnm", 1000, 3), ("gnm", 3000, 2)]
CONTENDERS = {
    "telvora-numeric": "`rigidity(edges, d, coords=points)`: rank, every label and the redundancy",
    "telvora-generic": "`rigidity(edges, d)`: generic mode on the same graph, for scale",
    "numpy-matrix-rank": "`numpy.linalg.matrix_rank` of the dense float rigidity matrix: the rank only",
}


def worker(series: str, n: int, d: int, contender: str) -> dict:
    import gc

    import numpy as np

    import bench_graphs
    from memprobe import reset_peak, status_kib
    import telvora_graphs as tg
    inp = bench_graphs.make_input(series, n, d, False)

    def call():
        if contender == "telvora-numeric":
            r = tg.rigidity(inp.edges, d, coords=inp.coords)
            return {"rank": r.rank, "labels": int(r.labels.sum())}
        if contender == "telvora-generic":
            r = tg.rigidity(inp.edges, d, n=n)
            return {"rank": r.rank, "labels": int(r.labels.sum())}
        return {"rank": int(np.linalg.matrix_rank(bench_graphs.rigidity_matrix(inp.coords, inp.edges)))}

    gc.collect()
    reset = reset_peak()
    before = status_kib("VmRSS") if reset else None
    start = time.perf_counter()
    answer = call()
    samples = [time.perf_counter() - start]
    peak = status_kib("VmHWM") if reset else None
    if contender != "numpy-matrix-rank":
        samples = []
        for _ in range(5):
            start = time.perf_counter()
            call()
            samples.append(time.perf_counter() - start)
    samples.sort()
    return {"seconds": samples[len(samples) // 2], "peak_kib": peak, "before_kib": before, "m": len(inp.edges),
            **answer}


def run(progress=print) -> list[dict]:
    rows = []
    for series, n, d in CASES:
        for contender in CONTENDERS:
            row = {"n": n, "d": d, "contender": contender, **in_worker(__file__, [series, n, d, contender])}
            progress(f"  numeric: n = {n}, d = {d}, {contender}: {row.get('seconds', 'failed')}")
            rows.append(row)
    return rows


def markdown(rows: list[dict]) -> str:
    lines = ["## Numeric mode against NumPy's matrix_rank", "",
             "The same rigidity matrix at the same points (G(n, m) of the graphs section); one process per "
             "contender, peak resident memory during its call. Ratio: NumPy's time over telvora's numeric time.",
             ""]
    lines += [f"- `{name}`: {text}" for name, text in CONTENDERS.items()]
    lines += ["", "| d | n | m | contender | time | peak memory | rank | ratio |", "|---|---|---|---|---|---|---|---|"]
    for n, d in [(n, d) for _, n, d in CASES]:
        mine = [r for r in rows if r["n"] == n and r["d"] == d]
        numeric = next((r for r in mine if r["contender"] == "telvora-numeric" and "seconds" in r), None)
        numpy_row = next((r for r in mine if r["contender"] == "numpy-matrix-rank" and "seconds" in r), None)
        for r in mine:
            if "seconds" not in r:
                lines.append(f"| {d} | {n} | | {r['contender']} | failed: {r['failed']} | | | |")
                continue
            peak = f"{(r['peak_kib'] - (r['before_kib'] or 0)) / 1024:.0f} MB over {r['before_kib'] / 1024:.0f} MB" \
                if r["peak_kib"] and r["before_kib"] else "n/a"
            ratio = f"{numpy_row['seconds'] / numeric['seconds']:.1f}×" \
                if r["contender"] == "telvora-numeric" and numpy_row and numeric else ""
            lines.append(f"| {d} | {n} | {r['m']} | {r['contender']} | {r['seconds']:.3f} s | {peak} | {r['rank']} | "
                         f"{ratio} |")
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    return command(argv, doc=__doc__, name="numeric", worker=worker, run=run, markdown=markdown)


if __name__ == "__main__":
    sys.exit(main())
