"""Runs every benchmark subject and every contender on the same inputs in this one process.

    python benchmarks/run.py [--quick] [--only simulate,batch,pebble,components,reconstruct,gram,native,graphs,numeric,kernels,plane,datasets]

For each case: one warm-up call per contender, then several timed repetitions; the median is
quoted. Peers whose single call is expected to exceed the call budget (from the time at the
previous size of the same series and the peer's growth rate) are reported as skipped, not run.
The largest size of every series is run once more, per contender, in a fresh process to read its
peak resident memory. Results go to benchmarks/results/<name>.md, .json and .png.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_native  # noqa: E402
import harness  # noqa: E402
import machine  # noqa: E402

# The subjects, the peers and the report import NumPy; they are imported only after the command
# line is read, so that --threads can still limit the thread pools of NumPy's BLAS / LAPACK.
TASKS = ["simulate", "batch", "pebble", "components", "reconstruct", "gram", "native", "graphs", "numeric", "kernels", "plane", "datasets"]
THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


def have_pyrigi() -> bool:
    import peers
    return peers.pyrigi_version() is not None


def collect_cases(quick: bool, with_pyrigi: bool) -> list[harness.Case]:
    import bench_batch
    import bench_components
    import bench_pebble
    import bench_reconstruct
    import bench_simulate

    out = []
    for subject in (bench_simulate, bench_batch, bench_pebble, bench_components, bench_reconstruct):
        out.extend(subject.cases(quick, with_pyrigi))
    return out


def settings_for(args) -> harness.Settings:
    if args.quick:
        s = harness.Settings(repetitions=3, min_reps_telvora=3, call_budget=3.0, case_budget=6.0,
                             inner_target=0.01)
    else:
        s = harness.Settings(repetitions=5, min_reps_telvora=3, call_budget=60.0, case_budget=60.0,
                             inner_target=0.02)
    if args.call_budget is not None:
        s.call_budget = args.call_budget
    if args.case_budget is not None:
        s.case_budget = args.case_budget
    return s


def run_case(case: harness.Case, settings: harness.Settings, history: dict) -> list[harness.Measurement]:
    arg = case.make_input()
    results = []
    telvora_result = None
    for contender in case.contenders:
        is_telvora = contender.name == "telvora"
        hist_key = (case.series, contender.name)
        if contender.budgeted:
            per_unit = harness.predict(history.get(hist_key, []), case.n, contender.exponent)
            if per_unit is not None and per_unit * contender.per_unit > settings.call_budget:
                expected = per_unit * contender.per_unit
                m = harness.Measurement(case=case, contender=contender.name, status="skipped",
                                        expected=expected,
                                        note=f"skipped: over budget, about {harness.format_seconds(expected)} per call expected")
                results.append(m)
                _progress(m)
                continue
        try:
            m, value = harness.measure(contender, arg, settings, telvora=is_telvora)
        except Exception as exc:  # a failing contender is reported, the others still run
            m = harness.Measurement(case=case, contender=contender.name, status="failed",
                                    note=f"failed: {type(exc).__name__}: {str(exc)[:80]}")
            results.append(m)
            _progress(m)
            continue
        m.case = case
        history.setdefault(hist_key, []).append((case.n, m.median))
        if is_telvora:
            telvora_result = value
        elif case.compare is not None and telvora_result is not None:
            try:
                m.agreement = case.compare(telvora_result, value)
            except Exception as exc:
                m.agreement = f"comparison failed: {type(exc).__name__}"
        results.append(m)
        _progress(m)
    return results


def _progress(m: harness.Measurement) -> None:
    c = m.case
    where = f"{c.task:<11} {c.variant:<14} n={c.n:<5} d={c.d if c.d is not None else '-'}"
    if m.status == "ok":
        text = f"{harness.format_seconds(m.median)} per {c.unit} (median of {m.reps})"
    else:
        text = m.note
    extra = f"  [{m.agreement}]" if m.agreement else ""
    print(f"  {where}  {m.contender:<17} {text}{extra}", flush=True)


def probe_memory(measurements: list[harness.Measurement], quick: bool) -> None:
    import report

    for m in measurements:
        if m.status != "ok" or not m.case.largest:
            continue
        per_call = (m.median or 0.0) * next(c.per_unit for c in m.case.contenders if c.name == m.contender)
        cmd = [sys.executable, str(HERE / "memprobe.py"), m.case.key, m.contender] + (["--quick"] if quick else [])
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=max(120.0, 10 * per_call + 60),
                                  cwd=str(HERE))
            data = json.loads(proc.stdout.strip().splitlines()[-1])
            m.peak_rss_kib = data["peak_kib"]
            m.call_rss_kib = max(0, data["peak_kib"] - data["before_kib"])
            m.memory_method = data.get("method", "")
        except Exception as exc:
            m.memory_note = f"memory probe failed: {type(exc).__name__}"
        per_unit = next(c.per_unit for c in m.case.contenders if c.name == m.contender)
        notes = [m.memory_note] if m.memory_note else []
        if per_unit > 1:
            notes.append(f"{per_unit} {m.case.unit}s per call")
        elif m.contender == "telvora" and m.case.memory_bound is not None:
            notes.append("for comparison: " + m.case.memory_bound())
        m.memory_note = "; ".join(notes)
        print(f"  memory  {m.case.key:<28} {m.contender:<17} "
              f"peak {report.format_mib(m.peak_rss_kib)}, +{report.format_mib(m.call_rss_kib)} during the call",
              flush=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer repetitions, tighter budgets")
    parser.add_argument("--only", default="", help="comma-separated tasks: " + ",".join(TASKS))
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--bench-rank", default=None, help="path of the native bench_rank timer")
    parser.add_argument("--call-budget", type=float, default=None, help="seconds a peer's single call may take")
    parser.add_argument("--case-budget", type=float, default=None, help="seconds a contender may spend per case")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads of NumPy's BLAS/LAPACK (default 1, like telvora; 0: the library's own choice)")
    parser.add_argument("--name", default=None, help="results file name (default latest, quick or partial)")
    parser.add_argument("--out", default=str(HERE / "results"), help="results directory")
    args = parser.parse_args(argv)

    only = [t.strip() for t in args.only.split(",") if t.strip()]
    unknown = sorted(set(only) - set(TASKS))
    if unknown:
        parser.error(f"unknown task(s) {', '.join(unknown)}; choose from {', '.join(TASKS)}")
    selected = only or TASKS
    name = args.name or ("quick" if args.quick else ("partial" if only else "latest"))
    if args.threads > 0:
        for variable in THREAD_VARIABLES:   # inherited by the memory probes as well
            os.environ[variable] = str(args.threads)

    import bench_simulate
    import report

    settings = settings_for(args)
    started = time.perf_counter()

    info = machine.describe()
    print(report.machine_text(info), flush=True)
    pyrigi = have_pyrigi()
    if not pyrigi:
        print("PyRigi is not importable: its columns are left out.", flush=True)

    checks = []
    if "simulate" in selected:
        print("agreement on small inputs ...", flush=True)
        checks = bench_simulate.agreement_check(args.quick)
        for line in checks:
            print("  " + line, flush=True)

    measurements: list[harness.Measurement] = []
    history: dict = {}
    cases = [c for c in collect_cases(args.quick, pyrigi) if c.task in selected]
    print(f"timing {len(cases)} cases ...", flush=True)
    for case in cases:
        measurements.extend(run_case(case, settings, history))

    if not args.no_memory:
        print("peak memory of the largest sizes, one fresh process per contender ...", flush=True)
        probe_memory(measurements, args.quick)

    native_rows, native_status = [], "not selected"
    if "native" in selected:
        # The random points of the simulate table as well, so both kinds of input are compared.
        maker, _ = bench_simulate.VARIANTS["random"]
        sizes = [300] if args.quick else [300, 1000]
        extra = [(bench_native.TABLE_TASK, maker(n, d, 1000 * d + n), 3)
                 for d in (2, 3) for n in sizes]
        # More random point sets in 3-D, one repetition each at 1000 points: how much the speed-up
        # varies from one set of random points to the next.
        extra += [(f"{bench_native.SPREAD_TASK} {seed}", maker(n, 3, seed), 1 if n >= 1000 else 3)
                  for n in sizes for seed in bench_native.SPREAD_SEEDS]
        native_rows, native_status = bench_native.run(args.bench_rank, timeout=600 if args.quick else 1800,
                                                      extra_inputs=extra)
        pebble_rows, pebble_status = bench_native.run_pebble(timeout=600 if args.quick else 1800, quick=args.quick)
        native_rows += pebble_rows
        native_status += "; " + pebble_status
        print("native: " + native_status, flush=True)

    graph_results, graph_budget = [], args.call_budget
    if "graphs" in selected:
        import bench_graphs  # its own workers, budget and report section (see its docstring)
        print("graph rigidity, each contender in a worker process ...", flush=True)
        graph_budget = graph_budget or bench_graphs.default_call_budget(args.quick)
        graph_results = bench_graphs.run(args.quick, graph_budget, pyrigi)

    numeric_rows = []
    if "numeric" in selected:
        import bench_numeric  # numeric mode against matrix_rank, one process per contender
        print("numeric mode against NumPy's matrix_rank, one worker each ...", flush=True)
        numeric_rows = bench_numeric.run()

    kernel_rows = []
    if "kernels" in selected:
        import bench_kernels  # motions and stresses against SciPy's null_space, one process per contender
        print("motions and stresses against SciPy's null_space, one worker each ...", flush=True)
        kernel_rows = bench_kernels.run()

    plane_rows = []
    if "plane" in selected:
        import bench_plane  # every answer in the plane by counting, the field for the ratio
        print("generic rigidity in the plane by counting, one worker each ...", flush=True)
        plane_rows = bench_plane.run()

    dataset_result = None
    if "datasets" in selected:
        import bench_datasets  # one process per dataset written, and its own report section
        print("datasets written by telvora-datasets generate, one worker ...", flush=True)
        dataset_result = bench_datasets.run(args.quick)

    elapsed = time.perf_counter() - started
    info["load_after"] = machine.load_average()
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    run_info = {"name": name, "quick": args.quick, "only": selected, "elapsed_s": elapsed,
                "settings": vars(settings), "native_status": native_status, "pyrigi": pyrigi,
                "command": " ".join(["benchmarks/run.py"] + (argv if argv is not None else sys.argv[1:]))}
    text = report.markdown(info, run_info, measurements, native_rows, checks)
    record = report.as_json(info, run_info, measurements, native_rows, checks)
    if graph_results:
        text += "\n" + bench_graphs.markdown(graph_results, graph_budget)
        record["graphs"] = bench_graphs.as_json(graph_results)
    if numeric_rows:
        text += "\n" + bench_numeric.markdown(numeric_rows)
        record["numeric"] = numeric_rows
    if kernel_rows:
        text += "\n" + bench_kernels.markdown(kernel_rows)
        record["kernels"] = kernel_rows
    if plane_rows:
        text += "\n" + bench_plane.markdown(plane_rows)
        record["plane"] = plane_rows
    if dataset_result is not None:
        text += "\n" + bench_datasets.markdown(dataset_result)
        record["datasets"] = bench_datasets.as_json(dataset_result)
    (out_dir / f"{name}.md").write_text(text)
    (out_dir / f"{name}.json").write_text(json.dumps(record, indent=1))
    plotted = report.plot(measurements, native_rows, out_dir / f"{name}.png", info)
    print()
    print(text)
    print(f"written: {out_dir / (name + '.md')}, {out_dir / (name + '.json')}"
          + (f", {out_dir / (name + '.png')}" if plotted else " (no plot: matplotlib missing)"))
    print(f"total time {elapsed / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
