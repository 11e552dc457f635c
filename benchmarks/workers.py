"""What the subjects that run each contender in a fresh process of its own share (numeric, kernels,
plane): starting one worker, and their command line."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Callable

# Contenders are compared on one core: one BLAS thread in every worker.
ONE_BLAS_THREAD = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


def in_worker(script: str, arguments: list) -> dict:
    """Runs `script --worker ARGUMENTS` in a fresh process: the dict its last line of output holds,
    or {"failed": the last line of its errors}."""
    path = Path(script).resolve()
    out = subprocess.run([sys.executable, str(path), "--worker", json.dumps(arguments)], capture_output=True,
                         text=True, cwd=str(path.parent), env={**os.environ, **ONE_BLAS_THREAD})
    if out.returncode != 0:
        return {"failed": (out.stderr.strip().splitlines() or ["no output"])[-1]}
    return json.loads(out.stdout.strip().splitlines()[-1])


def command(argv, *, doc: str, name: str, worker: Callable[..., dict], run: Callable[[], list[dict]],
            markdown: Callable[[list[dict]], str], title: str | None = None) -> int:
    """A subject's command line: as a worker, one measurement printed as JSON; otherwise every row,
    written to OUT/NAME.md and .json. With a title, the report opens with it and the machine."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent / "results"))
    args = parser.parse_args(argv)
    if args.worker:
        print(json.dumps(worker(*json.loads(args.worker))))
        return 0
    info = None
    if title is not None:
        import machine
        info = machine.describe()
    rows = run()
    text = markdown(rows)
    record: object = rows
    if info is not None:
        import report
        info["load_after"] = machine.load_average()
        text = f"# {title}\n\n" + report.machine_text(info) + "\n\n" + text
        record = {"machine": info, "rows": rows}
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / f"{name}.md").write_text(text)
    (out / f"{name}.json").write_text(json.dumps(record, indent=1, default=str))
    print(text)
    return 0
