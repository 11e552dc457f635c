"""The native rank-checker timer: the literal reference checker against the one the module ships.

`bench_rank` is built from the same sources as the module (CMake target `bench_rank`). It is run
without arguments (the module's own random points and points on a line or plane), then once per
extra input with `--points TASK FILE N D REPETITIONS` (points handed over as raw doubles), and
prints one JSON object per line:
    {"task": ..., "n": ..., "d": ..., "reference_s": ..., "fast_s": ...}
Other output lines are ignored.
"""

from __future__ import annotations

import json
import subprocess
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
CANDIDATES = [ROOT / "build" / "bench" / "bench_rank", ROOT / "build" / "native" / "bench_rank"]
PEBBLE_CANDIDATES = [ROOT / "build" / "bench" / "bench_pebble", ROOT / "build" / "native" / "bench_pebble"]
# Further random point sets (NumPy seeds) on which the speed-up is measured, and their task name.
SPREAD_SEEDS = (1, 2, 3, 4, 5, 6)
SPREAD_TASK = "simulate, more random points, seed"
TABLE_TASK = "simulate, random points of the simulate table"


def find(explicit: str | None) -> Path | None:
    paths = [Path(explicit)] if explicit else CANDIDATES
    for path in paths:
        if path.is_file() and path.stat().st_mode & 0o111:
            return path
    return None


def _rows(stdout: str) -> list[dict]:
    rows = []
    for line in stdout.splitlines():
        line = line.strip()
        if not line.startswith("{"):
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError:
            continue
        if {"task", "n", "reference_s", "fast_s"} <= row.keys():
            rows.append(row)
    return rows


def run(explicit: str | None, timeout: float,
        extra_inputs: list[tuple[str, np.ndarray, int]] = ()) -> tuple[list[dict], str]:
    """Returns the parsed rows and a one-line status for the report.

    extra_inputs: (task, points, repetitions) for each further input."""
    path = find(explicit)
    if path is None:
        looked = ", ".join(str(p.relative_to(ROOT)) if p.is_relative_to(ROOT) else str(p)
                           for p in ([Path(explicit)] if explicit else CANDIDATES))
        return [], f"native rank timer not built (looked for {looked}); no native rows"
    try:
        proc = subprocess.run([str(path)], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return [], f"{path.name} did not finish within {timeout:.0f} s; no native rows"
    rows = _rows(proc.stdout)
    status = f"{path} exited with {proc.returncode}, {len(rows)} rows"
    if proc.returncode != 0:
        status += f"; stderr: {proc.stderr.strip()[-300:]}"
    with tempfile.TemporaryDirectory() as tmp:
        for k, (task, points, repetitions) in enumerate(extra_inputs):
            file = Path(tmp) / f"points{k}.bin"
            np.ascontiguousarray(points, dtype="<f8").tofile(file)
            n, d = points.shape
            try:
                extra = subprocess.run([str(path), "--points", task, str(file), str(n), str(d), str(repetitions)],
                                       capture_output=True, text=True, timeout=timeout)
            except subprocess.TimeoutExpired:
                status += f"; {task} n={n} d={d} did not finish within {timeout:.0f} s"
                continue
            rows += _rows(extra.stdout)
            if extra.returncode != 0:
                status += f"; {task} n={n} d={d} exited with {extra.returncode}: {extra.stderr.strip()[-200:]}"
    return rows, status


def spread(rows: list[dict]) -> list[dict]:
    """Per (n, d) with further random point sets: the speed-ups on all its NumPy random point sets
    (the simulate table's and the further ones), sorted, and how many of them were retried."""
    def numpy_random(r: dict) -> bool:
        return str(r["task"]).startswith(SPREAD_TASK) or r["task"] == TABLE_TASK

    out = []
    for n, d in sorted({(r["n"], r.get("d")) for r in rows if str(r["task"]).startswith(SPREAD_TASK)}):
        chosen = [r for r in rows if numpy_random(r) and r["n"] == n and r.get("d") == d and r.get("fast_s")]
        out.append({"n": n, "d": d, "ratios": sorted(r["reference_s"] / r["fast_s"] for r in chosen),
                    "retried": sum("retried" in str(r.get("note", "")) for r in chosen)})
    return out


def run_pebble(timeout: float, quick: bool) -> tuple[list[dict], str]:
    """The literal complete-graph pebble game against the component game, from `bench_pebble`."""
    path = next((p for p in PEBBLE_CANDIDATES if p.is_file() and p.stat().st_mode & 0o111), None)
    if path is None:
        return [], "native pebble timer not built; no pebble rows"
    try:
        proc = subprocess.run([str(path)] + (["--quick"] if quick else []), capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return [], f"{path.name} did not finish within {timeout:.0f} s; no pebble rows"
    rows = _rows(proc.stdout)
    status = f"{path} exited with {proc.returncode}, {len(rows)} rows"
    return rows, status
