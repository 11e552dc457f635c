"""The native rank-checker timer: the literal reference elimination against the fast one.

`bench_rank` is built from the same sources as the module (CMake target `bench_rank`). It is run
without arguments and prints one JSON object per line:
    {"task": ..., "n": ..., "d": ..., "reference_s": ..., "fast_s": ...}
Other output lines are ignored.
"""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CANDIDATES = [ROOT / "build" / "bench" / "bench_rank", ROOT / "build" / "native" / "bench_rank"]


def find(explicit: str | None) -> Path | None:
    paths = [Path(explicit)] if explicit else CANDIDATES
    for path in paths:
        if path.is_file() and path.stat().st_mode & 0o111:
            return path
    return None


def run(explicit: str | None, timeout: float) -> tuple[list[dict], str]:
    """Returns the parsed rows and a one-line status for the report."""
    path = find(explicit)
    if path is None:
        looked = ", ".join(str(p.relative_to(ROOT)) if p.is_relative_to(ROOT) else str(p)
                           for p in ([Path(explicit)] if explicit else CANDIDATES))
        return [], f"native rank timer not built (looked for {looked}); no native rows"
    try:
        proc = subprocess.run([str(path)], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return [], f"{path.name} did not finish within {timeout:.0f} s; no native rows"
    rows = []
    for line in proc.stdout.splitlines():
        line = line.strip()
        if not line.startswith("{"):
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError:
            continue
        if {"task", "n", "reference_s", "fast_s"} <= row.keys():
            rows.append(row)
    status = f"{path} exited with {proc.returncode}, {len(rows)} rows"
    if proc.returncode != 0:
        status += f"; stderr: {proc.stderr.strip()[-300:]}"
    return rows, status
