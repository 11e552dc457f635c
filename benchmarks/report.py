"""Tables (Markdown, also printed), the JSON record and the log-log plot of a benchmark run."""

from __future__ import annotations

import statistics
from collections import OrderedDict
from pathlib import Path

import bench_batch
import bench_components
import bench_native
import bench_pebble
import bench_reconstruct
import bench_simulate
from harness import Measurement, format_ratio, format_seconds

CONTENDERS = OrderedDict([
    ("telvora", "telvora, the installed wheel"),
    ("numpy-greedy", "greedy labelling in NumPy: each pair's rigidity-matrix row is appended to the accepted "
                     "rows and kept when `numpy.linalg.matrix_rank` (SVD, default tolerance) grows; stops at "
                     "max_rank (benchmarks/peers.py)"),
    ("numpy-prefix", "the same, but first one `matrix_rank` of the first max_rank rows: when they are "
                     "independent all labels are known at once (the shortcut telvora takes); otherwise the "
                     "greedy labelling"),
    ("pyrigi-rank", "PyRigi `Framework.Complete(points).rigidity_matrix_rank(numerical=True)`: rank of the "
                    "whole rigidity matrix, no per-pair labels (it builds a SymPy matrix of all pairs first)"),
    ("pyrigi-inf-rigid", "PyRigi `Framework.Complete(points).is_inf_rigid(numerical=True)` per framework: a "
                         "rigid / not rigid verdict only, no labels"),
    ("python-pebble", "a plain-Python (2,3) pebble game over the complete graph (benchmarks/peers.py)"),
    ("python-kl-game", "the same plain-Python (2,3) pebble game on the random graph's edge list, labels "
                       "only, no components (benchmarks/peers.py)"),
    ("pyrigi-components", "PyRigi `Graph.rigid_components(dim=d)` (default algorithm); the graph is built "
                          "beforehand and not timed"),
    ("pyrigi-pebble", "PyRigi `Graph.spanning_kl_sparse_subgraph(2, 3)` on the complete graph (its pebble "
                      "game); the graph is built beforehand and not timed"),
    ("numpy-eigh", "classical scaling in NumPy: Gram matrix by broadcasting, `numpy.linalg.eigh`, "
                   "coordinates and Kruskal stress"),
    ("numpy-broadcast", "the double-centred Gram matrix by NumPy broadcasting"),
])

SERIES_TITLES = {
    "simulate": "simulate",
    "batch": "generate_training_batch",
    "pebble": "pebble_game",
    "components": "telvora_graphs",
    "reconstruct": "reconstruct",
    "gram": "gram_from_dist",
}


def format_mib(kib: int | None) -> str:
    if kib is None:
        return "n/a"
    return f"{kib / 1024:.1f} MiB"


def machine_text(info: dict) -> str:
    memory = f"{info['memory_gib']:.0f} GiB" if info.get("memory_gib") else "unknown memory"
    cache = f", cache {info['cache']}" if info.get("cache") else ""
    lines = [
        f"- Date: {info['date']}",
        f"- CPU: {info['cpu']}{cache}; {info['cores']} logical cores ({info['usable_cores']} usable); "
        f"SIMD flags: {' '.join(info['simd']) or 'none found'}; {memory}",
        f"- OS: {info['os']}",
        f"- Python: {info['python']}; NumPy {info['numpy']} ({info['blas']}, threads: {info['blas_threads']})",
        f"- telvora {info['telvora']} (built from the working tree at commit {info['commit'] or 'unknown'}); "
        f"PyRigi {info['pyrigi'] or 'not installed'}",
        f"- Load average (1, 5, 15 min) at the start: {info.get('load_before') or 'unknown'}"
        + (f"; at the end: {info['load_after']}" if info.get("load_after") else "")
        + " (other work on the machine slows every contender and adds noise)",
    ]
    return "\n".join(lines)


def _series(measurements: list[Measurement]) -> "OrderedDict[tuple, list[Measurement]]":
    groups: OrderedDict[tuple, list[Measurement]] = OrderedDict()
    for m in measurements:
        groups.setdefault(m.case.series, []).append(m)
    return groups


def _contender_order(ms: list[Measurement]) -> list[str]:
    names = []
    for m in ms:
        if m.contender not in names:
            names.append(m.contender)
    return names


def _ratio(peer: Measurement, ours: Measurement | None) -> float | None:
    if ours is None or ours.median is None or peer.median is None or ours.median <= 0:
        return None
    return peer.median / ours.median


def _cell(m: Measurement | None, ours: Measurement | None, unit: str) -> str:
    if m is None:
        return ""
    if m.status == "skipped":
        if m.expected is not None and m.expected > 360000:
            return "over budget (> 100 h expected)"
        return f"over budget (≈{format_seconds(m.expected)} expected)"
    if m.status == "failed":
        return "failed (see note)"
    text = format_seconds(m.median)
    if unit == "framework":
        rate = 1.0 / m.median
        text += f", {rate:,.0f}/s" if rate >= 10 else f", {rate:.2g}/s"
    if m.contender != "telvora":
        text += f" ({format_ratio(_ratio(m, ours))})"
    return text


def _series_title(key: tuple) -> str:
    task, variant, d = key
    title = SERIES_TITLES.get(task, task)
    parts = [variant] if variant not in ("random",) or task == "simulate" else []
    if task == "batch":
        parts.append("random frameworks")
    if task in ("reconstruct", "gram"):
        parts.append("distances of random points in 3-D")
    if d is not None and task not in ("reconstruct",):
        parts.append(f"d = {d}")
    if task == "reconstruct":
        parts.append("d = 3")
    return f"{title}: " + ", ".join(parts)


def series_tables(measurements: list[Measurement], repetitions: int) -> list[str]:
    out = []
    for key, ms in _series(measurements).items():
        names = _contender_order(ms)
        unit = ms[0].case.unit
        size_name = "n_nodes" if key[0] == "batch" else "n"
        header = [size_name] + [n + (" (time per framework)" if unit == "framework" and n == "telvora" else "")
                                for n in names]
        out.append(f"### {_series_title(key)}")
        out.append("")
        out.append("| " + " | ".join(header) + " |")
        out.append("|" + "|".join(["---:"] * len(header)) + "|")
        notes = []
        for n in sorted({m.case.n for m in ms}):
            row = {m.contender: m for m in ms if m.case.n == n}
            ours = row.get("telvora")
            out.append("| " + " | ".join([str(n)] + [_cell(row.get(c), ours, unit) for c in names]) + " |")
            bits = []
            for c in names:
                m = row.get(c)
                if m is None:
                    continue
                extra = []
                if m.agreement:
                    extra.append(m.agreement)
                if m.status == "ok" and m.reps < repetitions:
                    extra.append(f"{m.reps} repetition{'s' if m.reps != 1 else ''}")
                if m.status == "failed":
                    extra.append(m.note)
                if extra:
                    bits.append(f"{c}: {'; '.join(extra)}")
            if bits:
                notes.append(f"- {size_name} = {n}: " + " · ".join(bits))
        out.append("")
        out.extend(notes)
        out.append("")
    return out


def memory_table(measurements: list[Measurement]) -> list[str]:
    rows = [m for m in measurements if m.case.largest and (m.peak_rss_kib is not None or m.memory_note)]
    if not rows:
        return []
    out = ["| task | case | n | d | contender | median time | peak RSS | growth during the call | note |",
           "|---|---|---:|---:|---|---:|---:|---:|---|"]
    for m in rows:
        c = m.case
        out.append(f"| {SERIES_TITLES.get(c.task, c.task)} | {c.variant} | {c.n} | {c.d if c.d is not None else ''} "
                   f"| {m.contender} | {format_seconds(m.median)}{' per framework' if c.unit == 'framework' else ''} "
                   f"| {format_mib(m.peak_rss_kib)} "
                   f"| {format_mib(m.call_rss_kib)} | {m.memory_note} |")
    return out


def native_table(rows: list[dict]) -> list[str]:
    if not rows:
        return []
    out = ["| task | n | d | literal reference | shipped | speed-up (reference / shipped) | note |",
           "|---|---:|---:|---:|---:|---:|---|"]
    for r in sorted(rows, key=lambda r: (str(r["task"]), r.get("d") or 0, r["n"])):
        speed = r["reference_s"] / r["fast_s"] if r.get("fast_s") else None
        out.append(f"| {r['task']} | {r['n']} | {r.get('d', '')} | {format_seconds(r['reference_s'])} "
                   f"| {format_seconds(r['fast_s'])} | {format_ratio(speed)} | {r.get('note', '')} |")
    return out


def markdown(info: dict, run: dict, measurements: list[Measurement], native_rows: list[dict],
             checks: list[str]) -> str:
    settings = run["settings"]
    used = []
    for m in measurements:
        if m.contender not in used:
            used.append(m.contender)
    lines = [
        "# telvora benchmark results",
        "",
        f"`{run['command']}`, {'quick run' if run['quick'] else 'full run'}, {run['elapsed_s'] / 60:.1f} min in total.",
        "",
        "## Machine",
        "",
        machine_text(info),
        "",
        "## How to read the tables",
        "",
        f"- Every contender runs on the same input in the same process: one warm-up call, then up to "
        f"{settings['repetitions']} timed repetitions (at least {settings['min_reps_telvora']} for telvora; "
        f"fewer for slow peers, so that one case costs a peer at most about {settings['case_budget']:.0f} s); "
        f"each cell is the median. Very short calls are looped so that one sample lasts at least "
        f"{settings['inner_target'] * 1e3:.0f} ms.",
        "- `(k×)` after a peer's time is the peer's median divided by telvora's on the same input: above 1 "
        "telvora is faster by that factor, below 1 the peer is faster.",
        f"- \"over budget\": a single call of that peer was expected (from its time at the previous size and "
        f"its growth rate) to take longer than {settings['call_budget']:.0f} s, so it was not run.",
        "- telvora runs on one core. NumPy's BLAS / LAPACK threads are given under Machine (one thread "
        "unless the run was asked otherwise with `--threads`): a like-for-like comparison per core.",
        "",
        "Contenders:",
        "",
    ]
    lines += [f"- `{name}`: {CONTENDERS[name]}" for name in CONTENDERS if name in used]
    lines += ["", "Inputs:", ""]
    tasks = {m.case.task for m in measurements}
    for subject in (bench_simulate, bench_batch, bench_pebble, bench_components, bench_reconstruct):
        lines += [f"- {text}" for task, text in subject.describe() if task in tasks]
    if any(m.case.task == "reconstruct" for m in measurements):
        lines += ["- telvora's `reconstruct` stops its Jacobi iteration after 500 rotations whatever n is, so for "
                  "larger n it returns an unconverged answer sooner; the stress of both results is given with "
                  "each row."]
    if checks:
        lines += ["", "## Agreement on small inputs", ""] + [f"- {c}" for c in checks]
    lines += ["", "## Time", ""] + series_tables(measurements, settings["repetitions"])
    mem = memory_table(measurements)
    if mem:
        lines += ["## Peak memory at the largest sizes", "",
                  "Each contender once more, in a fresh process per case. Peak RSS is the whole process "
                  "(interpreter, NumPy and the input included); the growth is the peak during the call "
                  "minus the resident size just before it (Linux: the VmHWM high-water mark, reset just "
                  "before the call). Memory that the allocator kept from building the input can be reused "
                  "by the call without showing as growth.", ""] + mem + [""]
    lines += ["## Native rank checker: literal reference against the shipped checker", "",
              "The rank work of one `simulate` call (the first max_rank edges, the greedy pass when they "
              "fall short, both again with the largest-magnitude pivot after a breakdown), in the same "
              "Release build: the literal checker throughout against what the module runs (the blocked "
              "checker from 200 columns on, the literal one below). Both take turns within each repetition "
              "and the medians are given. \"random points\" and \"points on a line / plane\" (the last "
              "coordinate flattened) come from the module's own generator; \"random points of the simulate "
              "table\" are the NumPy points of the simulate tables above, uniform in [0, 5)^d. How much "
              "faster the shipped checker is depends on the numbers: where elimination without pivoting "
              "lets them grow by many orders of magnitude, new rows need hundreds of stored rows each and "
              "memory traffic bounds both checkers.", ""]
    native = native_table(native_rows)
    lines += native if native else [f"{run['native_status']}."]
    lines.append("")
    spreads = bench_native.spread(native_rows)
    if spreads:
        lines += ["Speed-up on several sets of random points: the NumPy points of the simulate table and "
                  f"{len(bench_native.SPREAD_SEEDS)} more, uniform in [0, 5)^d (seeds "
                  f"{', '.join(map(str, bench_native.SPREAD_SEEDS))}, the rows \"{bench_native.SPREAD_TASK} k\" "
                  "above). Where the first pass breaks down and is retried, it stops at its first non-finite "
                  "row; the literal reference goes on to the end, as the plain algorithm does.", ""]
        for item in spreads:
            ratios = item["ratios"]
            lines.append(f"- n = {item['n']}, d = {item['d']}: lowest {format_ratio(ratios[0])}, median "
                         f"{format_ratio(statistics.median(ratios))}, highest {format_ratio(ratios[-1])} over "
                         f"{len(ratios)} point sets ({item['retried']} retried): "
                         + ", ".join(format_ratio(r) for r in ratios))
        lines.append("")
    return "\n".join(lines)


def as_json(info: dict, run: dict, measurements: list[Measurement], native_rows: list[dict],
            checks: list[str]) -> dict:
    rows = []
    for m in measurements:
        c = m.case
        ours = next((x for x in measurements if x.case is c and x.contender == "telvora"), None)
        rows.append({
            "task": c.task, "variant": c.variant, "n": c.n, "d": c.d, "unit": c.unit,
            "contender": m.contender, "status": m.status, "median_s": m.median, "samples_s": m.samples,
            "warmup_s": m.warmup, "repetitions": m.reps,
            "ratio_to_telvora": _ratio(m, ours) if m.contender != "telvora" else None,
            "note": m.note, "agreement": m.agreement,
            "peak_rss_kib": m.peak_rss_kib, "call_rss_growth_kib": m.call_rss_kib, "memory_note": m.memory_note,
            "memory_method": m.memory_method,
        })
    return {"machine": info, "run": run, "agreement_checks": checks, "measurements": rows, "native": native_rows}


# ------------------------------------------------------------------------------------------------
# plot

COLOURS = {
    "telvora": "#d62728", "numpy-greedy": "#1f77b4", "numpy-prefix": "#17becf", "pyrigi-rank": "#2ca02c",
    "pyrigi-inf-rigid": "#2ca02c", "python-pebble": "#9467bd", "pyrigi-pebble": "#2ca02c",
    "numpy-eigh": "#1f77b4", "numpy-broadcast": "#1f77b4", "literal reference": "#7f7f7f",
    "shipped": "#d62728",
}
MARKERS = {2: "o", 3: "s", None: "D"}
LINESTYLES = {2: "-", 3: "--", None: "-"}


def plot(measurements: list[Measurement], native_rows: list[dict], path: Path, info: dict) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False

    panels = [
        ("simulate", "random", "simulate: random points (fast path)", "n (points)", "time per call (s)"),
        ("simulate", "degenerate", "simulate: points on a line / plane (greedy pass)", "n (points)",
         "time per call (s)"),
        ("batch", None, "generate_training_batch", "n_nodes (points per framework)", "time per framework (s)"),
        ("pebble", None, "pebble_game: complete graph", "n (nodes)", "time per call (s)"),
        ("reconstruct", None, "reconstruct (d = 3)", "n (points)", "time per call (s)"),
        ("gram", None, "gram_from_dist", "n (points)", "time per call (s)"),
        ("native", None, "native timers", "n (points)", "time (s)"),
        ("components", None, "telvora_graphs: (2,3) game and rigid components", "n (vertices)",
         "time per call (s)"),
    ]
    from matplotlib.ticker import FixedLocator, NullLocator

    fig, axes = plt.subplots(3, 3, figsize=(18, 15))
    flat = axes.ravel()
    for ax, (task, variant, title, xlabel, ylabel) in zip(flat, panels):
        drawn = False
        sizes = set()
        if task == "native":
            kinds = sorted({str(r["task"]) for r in native_rows
                            if not str(r["task"]).startswith(bench_native.SPREAD_TASK)})
            for field, label in (("reference_s", "literal reference"), ("fast_s", "shipped")):
                for kind in kinds:
                    for d in sorted({r.get("d") for r in native_rows}, key=lambda v: (v is None, v)):
                        pts = sorted((r["n"], r[field]) for r in native_rows
                                     if str(r["task"]) == kind and r.get("d") == d and r.get(field))
                        if not pts:
                            continue
                        xs, ys = zip(*pts)
                        text = label + (f", {kind}" if len(kinds) > 1 else "") + (f", d={d}" if d else "")
                        ax.plot(xs, ys, color=COLOURS[label], marker=MARKERS.get(d, "o"), markersize=7,
                                linestyle=LINESTYLES.get(d, "-"), label=text,
                                alpha=1.0 if kind == kinds[0] else 0.6)
                        sizes.update(xs)
                        drawn = True
            if not drawn:
                ax.text(0.5, 0.5, "bench_rank not built", ha="center", va="center", transform=ax.transAxes)
        else:
            ms = [m for m in measurements if m.case.task == task and (variant is None or m.case.variant == variant)]
            for name in _contender_order(ms):
                for d in sorted({m.case.d for m in ms}, key=lambda v: (v is None, v)):
                    pts = sorted((m.case.n, m.median) for m in ms
                                 if m.contender == name and m.case.d == d and m.status == "ok")
                    if not pts:
                        continue
                    xs, ys = zip(*pts)
                    label = name + (f", d={d}" if d is not None and task not in ("pebble", "reconstruct") else "")
                    ax.plot(xs, ys, color=COLOURS.get(name, "black"), marker=MARKERS.get(d, "o"), markersize=7,
                            linestyle=LINESTYLES.get(d, "-"), label=label,
                            linewidth=2.4 if name == "telvora" else 1.5)
                    sizes.update(xs)
                    drawn = True
            if not drawn:
                ax.text(0.5, 0.5, "not run", ha="center", va="center", transform=ax.transAxes)
        if not drawn:
            ax.set_xticks([])
            ax.set_yticks([])
        ax.set_title(title, fontsize=12)
        ax.set_xlabel(xlabel)
        ax.set_ylabel(ylabel)
        if drawn:
            ax.set_xscale("log")
            ax.set_yscale("log")
            # the measured sizes as plain numbers on the x axis
            ax.xaxis.set_major_locator(FixedLocator(sorted(sizes)))
            ax.xaxis.set_minor_locator(NullLocator())
            ax.set_xticklabels([f"{int(v)}" for v in sorted(sizes)])
            lo, hi = min(sizes), max(sizes)
            ax.set_xlim(lo / 1.25, hi * 1.25)
            ax.grid(True, which="major", alpha=0.4)
            ax.grid(True, which="minor", axis="y", alpha=0.12)
            ax.legend(fontsize=8, loc="best", framealpha=0.85)
    info_ax = flat[len(panels)]
    info_ax.axis("off")
    text = (f"{info['cpu']}, {info['cores']} cores\n{info['python']}, NumPy {info['numpy']}\n"
            f"NumPy BLAS threads: {info['blas_threads']}\n"
            f"telvora {info['telvora']}, PyRigi {info['pyrigi'] or 'not installed'}\n{info['date']}\n\n"
            "Median of the repetitions after a warm-up.\n"
            "Solid lines, circles: d = 2; dashed, squares: d = 3.\n"
            "A line that stops early: that peer was over\nthe time budget at the next size (see the table).")
    info_ax.text(0.0, 0.95, text, va="top", ha="left", fontsize=11, transform=info_ax.transAxes)
    fig.suptitle("telvora against peers: median time against size (log-log)", fontsize=15)
    fig.tight_layout(rect=(0, 0, 1, 0.96))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
