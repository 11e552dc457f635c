"""graphs: telvora_graphs (rigidity of any graph) against NumPy and PyRigi.

    python benchmarks/run.py --only graphs [--quick]     (part of the benchmark command)
    python benchmarks/bench_graphs.py [--quick]          (this section alone: results/graphs*.md)

Inputs: random graphs G(n, m) with m = d*n - d(d+1)/2 + n/10 edges (distinct pairs in random order)
and points uniform in [0, 1)^d; the first max_rank edges of the complete graph (pairs in
lexicographic order) with the same kind of points; batches of G(20, 39) in the plane.

Every contender runs in a worker process of its own, so that a peer that runs for minutes can be
stopped: the worker builds the input, then reports each call as it ends, and is killed when a call
takes longer than the call budget. A peer expected to exceed the budget (from its time at the
previous size and its growth) is not started, and one that ran over at some size is not started at
larger sizes of the same dimension. The worker also reads its peak resident memory during the first
call (VmHWM, reset just before the call).
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import format_ratio, format_seconds, predict  # noqa: E402
from memprobe import reset_peak, status_kib  # noqa: E402

TASK = "graphs"
SERIES = {
    "gnm": "random graphs G(n, m), m = d·n − d(d+1)/2 + n/10",
    "complete": "the complete graph's first max_rank edges (lexicographic pairs)",
    "batch": "rigidity_batch: G(20, 39) in the plane, time per graph",
}
SIZES = {("gnm", 2): [30, 100, 300, 1000, 3000], ("gnm", 3): [30, 100, 300, 1000],
         ("complete", 2): [100, 300, 1000], ("complete", 3): [100, 300, 1000], ("batch", 2): [20]}
QUICK_SIZES = {("gnm", 2): [30, 100, 300], ("gnm", 3): [30, 100], ("complete", 2): [100, 300],
               ("complete", 3): [100, 300], ("batch", 2): [20]}
BATCH_GRAPHS, QUICK_BATCH_GRAPHS = 20000, 5000
SLOW_CALL = 2.0          # a first call this long is the only sample
INNER_TARGET = 0.02      # short calls are looped until a sample lasts this long
SETUP_LIMIT = 300.0      # seconds a worker may take to import and build its input


def default_call_budget(quick: bool) -> float:
    return 5.0 if quick else 30.0


def max_rank(n: int, d: int) -> int:
    return n * d - d * (d + 1) // 2 if n >= d else n * (n - 1) // 2


# ------------------------------------------------------------------------------------------------
# inputs, rebuilt identically in every worker


def distinct_pairs(n: int, m: int, rng) -> "np.ndarray":
    """m distinct unordered pairs of 0 .. n-1 in random order and orientation."""
    import numpy as np
    keys = np.empty(0, dtype=np.int64)
    while keys.size < m:
        i, j = rng.integers(0, n, (2, 2 * m))
        i, j = i[i != j], j[i != j]
        keys = np.concatenate([keys, np.minimum(i, j) * n + np.maximum(i, j)])
        _, first = np.unique(keys, return_index=True)
        keys = keys[np.sort(first)]
    keys = keys[:m]
    pairs = np.stack([keys // n, keys % n], axis=1)
    flip = rng.random(m) < 0.5
    pairs[flip] = pairs[flip, ::-1]
    return pairs


@dataclass
class GraphInput:
    series: str
    n: int
    d: int
    edges: "np.ndarray"          # (m, 2); for a batch all graphs' edges
    coords: "np.ndarray"         # (n, d); for a batch all graphs' points
    offsets: "np.ndarray | None" = None
    sizes: "np.ndarray | None" = None
    peer: object = None          # a peer's own form of the input, made untimed

    @property
    def m(self) -> int:
        return len(self.edges) if self.offsets is None else int(self.offsets[1])

    def graph(self, g: int):
        """Edges and points of graph g of a batch."""
        n = self.n
        return self.edges[self.offsets[g]:self.offsets[g + 1]], self.coords[n * g:n * (g + 1)]


def make_input(series: str, n: int, d: int, quick: bool) -> GraphInput:
    import numpy as np
    rng = np.random.default_rng([2026, n, d, list(SERIES).index(series)])
    if series == "gnm":
        m = max_rank(n, d) + n // 10
        return GraphInput(series, n, d, distinct_pairs(n, m, rng), rng.random((n, d)))
    if series == "complete":
        i, j = np.triu_indices(n, 1)
        edges = np.stack([i, j], axis=1)[:max_rank(n, d)].astype(np.int64)
        return GraphInput(series, n, d, edges, rng.random((n, d)))
    count, m = (QUICK_BATCH_GRAPHS if quick else BATCH_GRAPHS), 2 * n - 3 + n // 10
    i, j = np.triu_indices(n, 1)
    chosen = np.argsort(rng.random((count, len(i))), axis=1)[:, :m]
    edges = np.stack([i[chosen], j[chosen]], axis=2).reshape(-1, 2).astype(np.int64)
    return GraphInput(series, n, d, edges, rng.random((count * n, d)),
                      offsets=np.arange(count + 1, dtype=np.int64) * m, sizes=np.full(count, n, dtype=np.int64))


# ------------------------------------------------------------------------------------------------
# the NumPy user version


def rigidity_matrix(coords, edges):
    import numpy as np
    n, d = coords.shape
    m = len(edges)
    matrix = np.zeros((m, n * d))
    diff = coords[edges[:, 0]] - coords[edges[:, 1]]
    rows, offsets = np.arange(m)[:, None], np.arange(d)
    matrix[rows, edges[:, :1] * d + offsets] = diff
    matrix[rows, edges[:, 1:] * d + offsets] = -diff
    return matrix


def numpy_rank(coords, edges) -> int:
    import numpy as np
    return int(np.linalg.matrix_rank(rigidity_matrix(coords, edges)))


def numpy_labels(coords, edges):
    """Edge k is independent when appending its row to the independent rows before it raises
    `matrix_rank` (SVD, default tolerance); once the rank is max_rank the rest are dependent."""
    import numpy as np
    n, d = coords.shape
    rows = rigidity_matrix(coords, edges)
    top = max_rank(n, d)
    accepted = np.empty((max(top, 1), n * d))
    labels = np.zeros(len(edges), dtype=np.uint8)
    rank = 0
    for k, row in enumerate(rows):
        if rank == top:
            break
        accepted[rank] = row
        if np.linalg.matrix_rank(accepted[:rank + 1]) > rank:
            labels[k] = 1
            rank += 1
    return labels


# ------------------------------------------------------------------------------------------------
# contenders: name -> (description, run(input) -> digest, applies(series, d), units per call,
# growth exponent for the budget guess). Per-graph peers of the batch label its first graphs.


def _labels_digest(labels) -> str:
    import numpy as np
    return base64.b64encode(np.packbits(np.asarray(labels, dtype=np.uint8)).tobytes()).decode()


def _per_graph(inp: GraphInput, count: int, fn):
    return [fn(*inp.graph(g), g) for g in range(min(count, len(inp.sizes)))]


def _tg_generic(inp):
    import telvora_graphs as tg
    if inp.series == "batch":
        b = tg.rigidity_batch(inp.edges, inp.offsets, inp.sizes, inp.d)
        return {"labels": _labels_digest(b.labels), "ranks": b.rank.tolist(), "redundant": int(b.redundant.sum())}
    r = tg.rigidity(inp.edges, inp.d, n=inp.n)
    return {"labels": _labels_digest(r.labels), "rank": r.rank, "rigid": r.is_rigid, "redundant": int(r.redundant.sum())}


def _tg_numeric(inp):
    import telvora_graphs as tg
    if inp.series == "batch":
        b = tg.rigidity_batch(inp.edges, inp.offsets, inp.sizes, inp.d, coords=inp.coords)
        return {"labels": _labels_digest(b.labels), "ranks": b.rank.tolist(), "redundant": int(b.redundant.sum())}
    r = tg.rigidity(inp.edges, inp.d, coords=inp.coords)
    return {"labels": _labels_digest(r.labels), "rank": r.rank, "rigid": r.is_rigid, "redundant": int(r.redundant.sum())}


def _tg_loop(inp):
    import telvora_graphs as tg
    results = _per_graph(inp, 2000, lambda e, _c, _g: tg.rigidity(e, inp.d, n=inp.n))
    return {"ranks": [r.rank for r in results]}


def _simulate(inp):
    import telvora
    out = telvora.simulate(inp.coords, inp.d)
    return {"labels": _labels_digest(out["labels"][:inp.m]), "rank": out["final_rank"]}


def _numpy_rank(inp):
    if inp.series == "batch":
        return {"ranks": _per_graph(inp, 1000, lambda e, c, _g: numpy_rank(c, e))}
    return {"rank": numpy_rank(inp.coords, inp.edges)}


def _numpy_labels(inp):
    import numpy as np
    if inp.series == "batch":
        labels = _per_graph(inp, 200, lambda e, c, _g: numpy_labels(c, e))
        return {"labels": _labels_digest(np.concatenate(labels)), "ranks": [int(x.sum()) for x in labels]}
    labels = numpy_labels(inp.coords, inp.edges)
    return {"labels": _labels_digest(labels), "rank": int(labels.sum())}


def _pyrigi_prepare(inp, count):
    import warnings
    from pyrigi import Graph

    def build(edges):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return Graph.from_vertices_and_edges(list(range(inp.n)), [tuple(map(int, e)) for e in edges])
    if inp.series == "batch":
        inp.peer = [build(inp.graph(g)[0]) for g in range(min(count, len(inp.sizes)))]
    else:
        inp.peer = [build(inp.edges)]


def _pyrigi(method, algorithm, key):
    def run(inp):
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            values = [bool(getattr(g, method)(dim=inp.d, algorithm=algorithm)) for g in inp.peer]
        return {key + "s": values} if inp.series == "batch" else {key: values[0]}
    return run


@dataclass
class Contender:
    name: str
    description: str
    run: object
    applies: object = lambda series, d: True
    per_graph: int = 0            # batch: graphs per call for per-graph peers (0: the whole batch)
    exponent: float = 3.0
    budgeted: bool = True
    pyrigi: bool = False


CONTENDERS = [
    Contender("telvora", "`telvora_graphs.rigidity(edges, d)`, generic mode: every label, the redundancy and "
              "global rigidity, exact over the prime field (batch: `rigidity_batch`, labels, ranks and redundancy)",
              _tg_generic, budgeted=False),
    Contender("telvora-numeric", "`rigidity(edges, d, coords=points)`: numeric mode at the points, every label and "
              "the redundancy (batch: `rigidity_batch(..., coords=)`)", _tg_numeric, budgeted=False),
    Contender("telvora-loop", "`rigidity` called once per graph of the batch (its first 2,000 graphs)", _tg_loop,
              applies=lambda s, d: s == "batch", per_graph=2000, budgeted=False),
    Contender("telvora-simulate", "`telvora.simulate(points, d)`: every pair of the complete graph at the points",
              _simulate, applies=lambda s, d: s == "complete", budgeted=False),
    Contender("numpy-rank", "`numpy.linalg.matrix_rank` (SVD) of the float rigidity matrix at the points: the rank "
              "only, no labels (batch: its first 1,000 graphs)", _numpy_rank, per_graph=1000),
    Contender("numpy-labels", "per-edge labels in NumPy: each edge's row appended to the independent rows before it, "
              "kept when `matrix_rank` grows; stops at max_rank (batch: its first 200 graphs)", _numpy_labels,
              per_graph=200, exponent=4.0),
    Contender("pyrigi-is-rigid", "PyRigi `Graph.is_rigid(dim=d, algorithm=\"randomized\")`: a verdict only "
              "(batch: its first 2 graphs)", _pyrigi("is_rigid", "randomized", "rigid"), per_graph=2,
              exponent=5.0, pyrigi=True),
    Contender("pyrigi-independent", "PyRigi `Graph.is_Rd_independent(dim=d, algorithm=\"randomized\")`: a verdict "
              "for the whole edge set (batch: its first 50 graphs)", _pyrigi("is_Rd_independent", "randomized",
                                                                                 "independent"),
              per_graph=50, exponent=4.0, pyrigi=True),
    Contender("pyrigi-pebble", "PyRigi `Graph.is_rigid(dim=2, algorithm=\"sparsity\")`, its 2-D default, a pebble "
              "game: a verdict only (batch: its first 200 graphs)", _pyrigi("is_rigid", "sparsity", "rigid"),
              applies=lambda s, d: d == 2, per_graph=200, exponent=2.0, pyrigi=True),
]
BY_NAME = {c.name: c for c in CONTENDERS}


# ------------------------------------------------------------------------------------------------
# the worker: one contender on one input, reporting each call as a line of JSON




def worker(task: dict) -> None:
    import gc
    contender = BY_NAME[task["contender"]]
    if contender.pyrigi:
        import pyrigi  # noqa: F401  imported before the memory baseline
    inp = make_input(task["series"], task["n"], task["d"], task["quick"])
    if contender.pyrigi:
        _pyrigi_prepare(inp, contender.per_graph)
    def emit(message: dict) -> None:
        print(json.dumps(message), flush=True)

    emit({"ready": True})
    gc.collect()
    gc.disable()
    reset = reset_peak()
    before = status_kib("VmRSS") if reset else None
    start = time.perf_counter()
    digest = contender.run(inp)
    first = time.perf_counter() - start
    emit({"first": first, "peak_kib": status_kib("VmHWM") if reset else None, "before_kib": before})
    if first < SLOW_CALL:
        number = max(1, min(100_000, int(INNER_TARGET / max(first, 1e-7)) + 1))
        reps = max(1, min(task["reps"], int(task["case_budget"] / max(first * number, 1e-9))))
        for _ in range(reps):
            start = time.perf_counter()
            for _ in range(number):
                contender.run(inp)
            emit({"sample": (time.perf_counter() - start) / number})
    emit({"digest": digest})


# ------------------------------------------------------------------------------------------------
# the parent: runs the workers under the call budget


@dataclass
class Result:
    series: str
    n: int
    d: int
    m: int
    contender: str
    status: str = "ok"               # ok, over budget, skipped, failed
    samples: list = field(default_factory=list)   # seconds per call
    units: int = 1                   # graphs per call in the batch
    peak_kib: int | None = None
    before_kib: int | None = None
    digest: dict | None = None
    note: str = ""
    agreement: str = ""

    @property
    def median(self) -> float | None:
        if not self.samples:
            return None
        s = sorted(self.samples)
        return s[len(s) // 2] if len(s) % 2 else 0.5 * (s[len(s) // 2 - 1] + s[len(s) // 2])

    @property
    def per_unit(self) -> float | None:
        return None if self.median is None else self.median / self.units


def run_worker(task: dict, call_limit: float) -> Result:
    res = Result(task["series"], task["n"], task["d"], task["m"], task["contender"])
    errors = tempfile.TemporaryFile("w+")   # a file, not a pipe: a chatty peer cannot block on it
    proc = subprocess.Popen([sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(task)],
                            stdout=subprocess.PIPE, stderr=errors, text=True, cwd=str(HERE))
    lines: queue.Queue = queue.Queue()
    threading.Thread(target=lambda: [lines.put(x) for x in proc.stdout] + [lines.put(None)], daemon=True).start()
    ready, repeated = False, False
    try:
        while True:
            try:
                line = lines.get(timeout=call_limit if ready else SETUP_LIMIT)
            except queue.Empty:
                if ready:
                    res.status, res.note = "over budget", f"a call did not finish within {call_limit:.0f} s"
                else:
                    res.status, res.note = "failed", f"no input after {SETUP_LIMIT:.0f} s"
                return res
            if line is None:
                proc.wait()
                errors.seek(0)
                error = errors.read().strip().splitlines()
                res.status, res.note = "failed", (error[-1][:120] if error else "the worker ended early")
                return res
            msg = json.loads(line)
            ready = True
            if "first" in msg:
                res.samples = [msg["first"]]
                res.peak_kib, res.before_kib = msg["peak_kib"], msg["before_kib"]
            elif "sample" in msg:
                if not repeated:   # the first call was a warm-up
                    res.samples, repeated = [], True
                res.samples.append(msg["sample"])
            elif "digest" in msg:
                res.digest = msg["digest"]
                res.note = "" if repeated else f"one call (over {SLOW_CALL:.0f} s)"
                return res
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        errors.close()


def compare(ours: dict | None, theirs: dict | None, top: int, m: int) -> str:
    """The peer's answer against telvora's generic one on the same graphs (top: max_rank)."""
    import numpy as np
    if not ours or not theirs:
        return ""
    out = []
    if "labels" in theirs:
        a = np.unpackbits(np.frombuffer(base64.b64decode(ours["labels"]), dtype=np.uint8))
        b = np.unpackbits(np.frombuffer(base64.b64decode(theirs["labels"]), dtype=np.uint8))
        differ = int(np.count_nonzero(a[:len(b)] != b))
        out.append("labels identical" if differ == 0 else f"labels differ at {differ} edges")
    if "rank" in theirs:
        out.append(f"rank {theirs['rank']} {'=' if theirs['rank'] == ours['rank'] else '≠'} {ours['rank']}")
    for key, verdict in (("rigid", lambda r: r == top), ("independent", lambda r: r == m)):
        if key in theirs:
            same = theirs[key] == verdict(ours["rank"])
            out.append(f"{key} {theirs[key]} ({'the same' if same else 'DIFFERENT'})")
    ranks = ours.get("ranks", [])
    for key, verdict in (("ranks", lambda r: r), ("rigids", lambda r: r == top), ("independents", lambda r: r == m)):
        if key in theirs:
            same = sum(int(v == verdict(r)) for v, r in zip(theirs[key], ranks))
            out.append(f"{key[:-1]} the same on {same} of {len(theirs[key])} graphs")
    return ", ".join(out)


def run(quick: bool, call_budget: float, pyrigi: bool, progress=print) -> list[Result]:
    """Every series, size and contender; call_budget: seconds a peer's call may take."""
    sizes = QUICK_SIZES if quick else SIZES
    reps, case_budget = (3, 5.0) if quick else (5, 20.0)
    history: dict = {}
    over: dict = {}
    results = []
    for (series, d), ns in sizes.items():
        for n in ns:
            if series == "batch":
                m = 2 * n - 3 + n // 10
                graphs = QUICK_BATCH_GRAPHS if quick else BATCH_GRAPHS
            else:
                m, graphs = (max_rank(n, d) + n // 10) if series == "gnm" else max_rank(n, d), 1
            ours = None
            for c in CONTENDERS:
                if not c.applies(series, d) or (c.pyrigi and not pyrigi):
                    continue
                units = (c.per_graph or graphs) if series == "batch" else 1
                res = Result(series, n, d, m, c.name, units=units)
                expected = predict(history.get((series, d, c.name), []), n, c.exponent)
                if c.budgeted and (c.name, d) in over and n >= over[(c.name, d)][0]:
                    at, where = over[(c.name, d)]
                    res.status, res.note = "skipped", f"stopped at n = {at} ({where})"
                elif c.budgeted and expected is not None and expected > call_budget:
                    res.status, res.note = "skipped", f"over budget: about {format_seconds(expected)} expected"
                else:
                    task = {"series": series, "n": n, "d": d, "m": m, "contender": c.name, "quick": quick,
                            "reps": reps, "case_budget": case_budget}
                    res = run_worker(task, call_budget if c.budgeted else 3600.0)
                    res.units = units
                    if res.status == "ok":
                        history.setdefault((series, d, c.name), []).append((n, res.median))
                    elif res.status == "over budget":
                        over.setdefault((c.name, d), (n, series))
                if c.name == "telvora":
                    ours = res.digest
                else:
                    res.agreement = compare(ours, res.digest, max_rank(n, d), m)
                results.append(res)
                progress(f"  graphs {series:<8} d={d} n={n:<5} {c.name:<19} {cell(res)}"
                         + (f"  [{res.agreement}]" if res.agreement else "") + (f"  ({res.note})" if res.note else ""))
    return results


# ------------------------------------------------------------------------------------------------
# report


def cell(r: Result, ours: Result | None = None, numeric: Result | None = None) -> str:
    if r.status == "over budget":
        return "over budget (stopped)"
    if r.status == "skipped":
        return "over budget (not run)"
    if r.status == "failed":
        return "failed"
    text = format_seconds(r.per_unit)
    if r.units > 1:
        text += f", {1 / r.per_unit:,.0f}/s"
    ratios = []
    for base in (ours, numeric):
        if base is not None and base.per_unit and base is not r:
            ratios.append(format_ratio(r.per_unit / base.per_unit))
    return text + (f" ({' / '.join(ratios)})" if ratios else "")


def _find(results, series, d, n, name):
    return next((r for r in results if (r.series, r.d, r.n, r.contender) == (series, d, n, name)), None)


def targets(results: list[Result]) -> list[str]:
    out = []
    slower = [f"{r.series} d={r.d} n={r.n}: {r.contender}"
              for r in results if r.status == "ok" and not r.contender.startswith("telvora")
              and (ours := _find(results, r.series, r.d, r.n, "telvora")) and ours.per_unit
              and r.per_unit < ours.per_unit]
    out.append("- Generic mode faster than every peer at every size: "
               + ("yes" if not slower else "no, slower than " + "; ".join(slower)))
    slower = [f"{r.series} d={r.d} n={r.n}: {r.contender}"
              for r in results if r.status == "ok" and r.contender.startswith("numpy")
              and (num := _find(results, r.series, r.d, r.n, "telvora-numeric")) and num.per_unit
              and r.per_unit < num.per_unit]
    out.append("- Numeric mode faster than the NumPy version at every size: "
               + ("yes" if not slower else "no, slower than " + "; ".join(slower)))
    for series, d, n, peer, goal, what in (
            ("gnm", 3, 1000, "numpy-rank", 100, "G(1000, 3094) in 3-D, every label exact, against NumPy's matrix_rank"),
            ("complete", 3, 1000, "telvora-simulate", 10, "the complete graph's 2,994-edge prefix in 3-D against "
                                                          "telvora.simulate")):
        ours, theirs = _find(results, series, d, n, "telvora"), _find(results, series, d, n, peer)
        if ours and theirs and ours.per_unit and theirs.per_unit:
            ratio = theirs.per_unit / ours.per_unit
            out.append(f"- {what}: {format_ratio(ratio)} (target {goal}×: {'met' if ratio >= goal else 'NOT met'})")
    batch = _find(results, "batch", 2, 20, "telvora")
    if batch and batch.per_unit:
        rate = 1 / batch.per_unit
        out.append(f"- rigidity_batch, 20-vertex graphs in the plane: {rate:,.0f} graphs/s on one core "
                   f"(target 100,000: {'met' if rate >= 100_000 else 'NOT met'})")
    return out


def markdown(results: list[Result], call_budget: float) -> str:
    lines = ["## Graph rigidity (telvora_graphs)", "",
             f"Each contender in a worker process of its own: a first call (its peak memory read), then repeated "
             f"calls (the median is given; a first call over {SLOW_CALL:.0f} s is the only one). A peer call that "
             f"runs over {call_budget:.0f} s is stopped (\"over budget (stopped)\"), and that peer is not run at "
             f"larger sizes in the same dimension, nor where its time at the previous size and its growth predict "
             f"more (\"over budget (not run)\"). `(a× / b×)`: the time over telvora's generic mode / over its "
             f"numeric mode on the same input (NumPy and simulate; one ratio: over the generic mode); above 1 "
             f"telvora is faster. Agreement: the answer against telvora's generic one.", "", "Contenders:", ""]
    used = {r.contender for r in results}
    lines += [f"- `{c.name}`: {c.description}" for c in CONTENDERS if c.name in used]
    lines += ["", "### Targets", ""] + targets(results) + [""]
    for (series, d) in dict.fromkeys((r.series, r.d) for r in results):
        rows = [r for r in results if (r.series, r.d) == (series, d)]
        names = list(dict.fromkeys(r.contender for r in rows))
        lines += [f"### {SERIES[series]}, d = {d}", "",
                  "| n | m | " + " | ".join(names) + " |", "|" + "---:|" * (len(names) + 2)]
        notes = []
        for n in dict.fromkeys(r.n for r in rows):
            ours = _find(rows, series, d, n, "telvora")
            numeric = _find(rows, series, d, n, "telvora-numeric")
            cells = []
            for name in names:
                r = _find(rows, series, d, n, name)
                if r is None:
                    cells.append("")
                    continue
                base_numeric = numeric if name.startswith("numpy") or name == "telvora-simulate" else None
                cells.append(cell(r, ours if name != "telvora" else None, base_numeric))
            m = next(r.m for r in rows if r.n == n)
            lines.append(f"| {n} | {m} | " + " | ".join(cells) + " |")
            bits = [f"{r.contender}: " + "; ".join(x for x in (r.agreement, r.note) if x)
                    for r in rows if r.n == n and (r.agreement or r.note)]
            if bits:
                notes.append(f"- n = {n}: " + " · ".join(bits))
        lines += [""] + notes + [""]
    lines += ["### Peak memory at the largest sizes", "",
              "Peak resident memory of the worker during its first call (VmHWM, reset just before the call), and "
              "its growth over the resident size just before the call (interpreter, NumPy and input included).", "",
              "| input | d | n | contender | time per call | peak RSS | growth during the call |",
              "|---|---:|---:|---|---:|---:|---:|"]
    for (series, d) in dict.fromkeys((r.series, r.d) for r in results):
        largest = max(r.n for r in results if (r.series, r.d) == (series, d))
        for r in results:
            if (r.series, r.d, r.n) == (series, d, largest) and r.status == "ok" and r.peak_kib:
                growth = (r.peak_kib - r.before_kib) if r.before_kib else None
                lines.append(f"| {series} | {d} | {r.n} | {r.contender} | {format_seconds(r.median)} "
                             f"| {r.peak_kib / 1024:.1f} MiB | "
                             f"{'n/a' if growth is None else f'{growth / 1024:.1f} MiB'} |")
    return "\n".join(lines) + "\n"


def as_json(results: list[Result]) -> list[dict]:
    return [{"series": r.series, "n": r.n, "d": r.d, "m": r.m, "contender": r.contender, "status": r.status,
             "median_s": r.median, "samples_s": r.samples, "units_per_call": r.units, "peak_rss_kib": r.peak_kib,
             "rss_before_kib": r.before_kib, "note": r.note, "agreement": r.agreement} for r in results]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--call-budget", type=float, default=None, help="seconds a peer's call may take (30; quick 5)")
    parser.add_argument("--threads", type=int, default=1, help="NumPy BLAS threads (0: the library's choice)")
    parser.add_argument("--out", default=str(HERE / "results"))
    args = parser.parse_args(argv)
    if args.worker:
        worker(json.loads(args.worker))
        return 0
    if args.threads > 0:
        for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
            os.environ[variable] = str(args.threads)
    import machine
    import peers
    import report
    pyrigi = peers.pyrigi_version() is not None
    started = time.perf_counter()
    print(report.machine_text(machine.describe()), flush=True)
    budget = args.call_budget or default_call_budget(args.quick)
    results = run(args.quick, budget, pyrigi)
    text = markdown(results, budget)
    name = "graphs-quick" if args.quick else "graphs"
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / f"{name}.md").write_text(text)
    (out / f"{name}.json").write_text(json.dumps(as_json(results), indent=1))
    print(text)
    print(f"written: {out / (name + '.md')}; total time {(time.perf_counter() - started) / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
