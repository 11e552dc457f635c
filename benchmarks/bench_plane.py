"""plane: every generic answer of rigidity() in the plane (labels, rank, redundant bars, global
rigidity) decided by counting, and the prime field's elimination (method='field') where it runs.

    python benchmarks/run.py --only plane      (part of the benchmark command)
    python benchmarks/bench_plane.py           (this section alone: results/plane.md)

Cases: a periodic triangular lattice of 316 x 316 vertices with its bonds in random order;
G(100,000, 250,000), near the point where rigidity percolates, so that circuits are large; and
G(5,000, 12,500), small enough for the field, whose time over counting's is the ratio. G(n, m):
m distinct pairs of distinct vertices, uniform. Each case and method runs in a fresh worker process
that builds the input and then times its call (the median of three, once above 100,000 vertices);
peak memory is the high-water mark during the first call. One core: the calls are single-threaded.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from workers import command, in_worker  # noqa: E402

# (series, vertices, method); method None is counting.
CASES = [("lattice", 99_856, None), ("gnm", 100_000, None), ("gnm", 5_000, None), ("gnm", 5_000, "field")]


def gnm(n, m, seed):
    import numpy as np
    rng = np.random.default_rng(seed)
    pairs = rng.integers(0, n, size=(3 * m, 2))
    pairs = np.sort(pairs[pairs[:, 0] != pairs[:, 1]], axis=1)
    _, first = np.unique(pairs, axis=0, return_index=True)
    return pairs[np.sort(first)[:m]]


def make_input(series: str, n: int):
    import numpy as np
    import telvora_graphs as tg
    if series == "lattice":
        side = int(round(n ** 0.5))
        edges = tg.triangular_lattice(side, periodic=True)
        return edges[np.random.default_rng(1).permutation(len(edges))], side * side
    return gnm(n, 5 * n // 2, 2 if n >= 100_000 else 3), n


def label(series: str, n: int, m: int) -> str:
    if series == "lattice":
        side = int(round(n ** 0.5))
        return f"periodic triangular lattice {side} x {side}, random order ({n:,} vertices, {m:,} edges)"
    return f"G({n:,}, {m:,})"


def worker(series: str, n: int, method: str | None) -> dict:
    import gc

    from memprobe import reset_peak, status_kib
    import telvora_graphs as tg
    edges, n = make_input(series, n)
    gc.collect()
    reset = reset_peak()
    before = status_kib("VmRSS") if reset else None
    samples = []
    for _ in range(1 if n >= 90_000 else 3):
        start = time.perf_counter()
        r = tg.rigidity(edges, d=2, n=n, method=method)
        samples.append(time.perf_counter() - start)
        if len(samples) == 1:
            peak = status_kib("VmHWM") if reset else None
    samples.sort()
    return {"seconds": samples[len(samples) // 2], "repetitions": len(samples), "peak_kib": peak,
            "before_kib": before, "m": int(len(edges)), "rank": int(r.rank), "redundant": int(r.redundant.sum()),
            "rigid": bool(r.is_rigid), "redundantly_rigid": bool(r.is_redundantly_rigid),
            "globally_rigid": bool(r.is_globally_rigid)}


def run(progress=print) -> list[dict]:
    rows = []
    for series, n, method in CASES:
        row = {"series": series, "n": n, "method": method or "counting", **in_worker(__file__, [series, n, method])}
        progress(f"  plane: {series} {n} {row['method']}: {row.get('seconds', 'failed')}")
        rows.append(row)
    return rows


def markdown(rows: list[dict]) -> str:
    lines = ["## Generic rigidity in the plane by counting", "",
             "Every answer of `rigidity(edges, d=2, n=n)`: labels, rank, redundant bars and global rigidity, "
             "one worker process per row, peak resident memory during the call. Ratio: the field's time "
             "(`method='field'`) over counting's on the same graph.", "",
             "| input | method | time | peak memory | rank | redundant bars | rigid / redundantly / globally | ratio |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        if "seconds" not in r:
            lines.append(f"| {r['series']} {r['n']} | {r['method']} | failed: {r['failed']} | | | | | |")
            continue
        peak = f"{(r['peak_kib'] - (r['before_kib'] or 0)) / 1024:.0f} MB over {r['before_kib'] / 1024:.0f} MB" \
            if r["peak_kib"] and r["before_kib"] else "n/a"
        ratio = ""
        if r["method"] == "counting":
            field = next((f for f in rows if f["method"] == "field" and f["series"] == r["series"]
                          and f["n"] == r["n"] and "seconds" in f), None)
            ratio = f"{field['seconds'] / r['seconds']:.1f}×" if field else ""
        flags = " / ".join("yes" if r[k] else "no" for k in ("rigid", "redundantly_rigid", "globally_rigid"))
        lines.append(f"| {label(r['series'], r['n'], r['m'])} | {r['method']} | {r['seconds']:.3f} s | {peak} | "
                     f"{r['rank']} | {r['redundant']} | {flags} | {ratio} |")
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    return command(argv, doc=__doc__, name="plane", worker=worker, run=run, markdown=markdown, title="Plane")


if __name__ == "__main__":
    sys.exit(main())
