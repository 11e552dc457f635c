"""Long fuzz runs of telvora and of telvora_graphs' compiled routines.

    .venv/bin/python fuzz/run.py --minutes 10                  # every function of both modules in turn
    .venv/bin/python fuzz/run.py --minutes 2 --function simulate
    .venv/bin/python fuzz/run.py --minutes 2 --module graphs   # only telvora_graphs._native

Replays the corpus, then generates batches of cases for each function in turn until the time
is up. A wrong outcome stops the run with the shrunk failing case. Before every call the case is
written to the record file, so that after a crash (which no Python code survives) the input
that caused it can be read there; a call that hangs is ended by a watchdog after a traceback.
"""

import argparse
import faulthandler
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from hypothesis import HealthCheck, given, settings  # noqa: E402

import corpus  # noqa: E402
import graphs_harness  # noqa: E402
import harness  # noqa: E402

# Each module's harness, and the cases replayed before generating any.
HARNESSES = {"telvora": (harness, corpus.cases), "graphs": (graphs_harness, graphs_harness.corpus)}


class Recorder:
    """Keeps the case about to be called on disk and re-arms the hang watchdog."""

    def __init__(self, path, hang_seconds):
        self.path = path
        self.hang_seconds = hang_seconds
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if path else None

    def __call__(self, case):
        if self.fd is not None:
            text = repr(case).encode("utf-8", "backslashreplace")
            os.ftruncate(self.fd, 0)
            os.pwrite(self.fd, text + b"\n", 0)
        faulthandler.dump_traceback_later(self.hang_seconds, exit=True)

    def close(self):
        faulthandler.cancel_dump_traceback_later()
        if self.fd is not None:
            os.close(self.fd)


def fuzz_batch(module, name, examples, recorder):
    @settings(max_examples=examples, deadline=None, database=None, suppress_health_check=list(HealthCheck),
              print_blob=True)
    @given(module.cases(name))
    def run(case):
        module.run_case(case, record=recorder)

    run()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=1.0, help="how long to generate cases (default 1)")
    parser.add_argument("--module", action="append", choices=list(HARNESSES),
                        help="fuzz only this module (repeatable; default both)")
    parser.add_argument("--function", action="append",
                        choices=sorted(set(harness.FUNCTIONS) | set(graphs_harness.FUNCTIONS)),
                        help="fuzz only this function, in every chosen module that has it (repeatable)")
    parser.add_argument("--batch", type=int, default=400, help="cases per function before moving on")
    parser.add_argument("--record", default=str(HERE.parent / "build" / "fuzz-last-case.txt"),
                        help="file that holds the case being called ('' for none)")
    options = parser.parse_args()

    plan = [(HARNESSES[module][0], name) for module in options.module or list(HARNESSES)
            for name in HARNESSES[module][0].FUNCTIONS if not options.function or name in options.function]
    if not plan:
        parser.error("no function of the chosen modules matches --function")
    if options.record:
        Path(options.record).parent.mkdir(parents=True, exist_ok=True)
    recorder = Recorder(options.record, hang_seconds=max(60.0, 3 * harness.CALL_TIME_LIMIT))
    started = time.monotonic()
    try:
        for module in {module for module, _ in plan}:
            chosen = {name for owner, name in plan if owner is module}
            for case in [case for _, (owner, cases) in HARNESSES.items() if owner is module for case in cases()]:
                if case.name in chosen:
                    module.run_case(case, record=recorder)
        deadline = started + 60 * options.minutes
        while time.monotonic() < deadline:
            for module, name in plan:
                fuzz_batch(module, name, options.batch, recorder)
                if time.monotonic() >= deadline:
                    break
    finally:
        recorder.close()
        minutes = (time.monotonic() - started) / 60
        print(f"fuzzed {len(plan)} functions for {minutes:.1f} minutes")
        for module, name in plan:
            prefix = "telvora_graphs._native." if module is graphs_harness else "telvora."
            outcomes = {key.split(":", 1)[1]: count for key, count in sorted(module.STATS.items())
                        if key.startswith(name + ":")}
            print(f"  {prefix}{name}: {module.STATS[name]} inputs, outcomes {outcomes}")
        print(f"  total calls: {harness.STATS['calls'] + graphs_harness.STATS['calls']}")


if __name__ == "__main__":
    main()
