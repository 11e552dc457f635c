"""Interpreter exit while native calls are running on other threads.

A daemon thread inside a call when the interpreter finalizes must not take the process down: the
exit status is the script's own. Each scenario runs in fresh interpreters, many times, because
the fault it guards against shows only when the exit lands inside a call."""

import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

WORKLOADS = {
    # Long enough that the exit nearly always lands inside a call, short enough to start many.
    "graphs pebble game": """
        import telvora_graphs as tg
        rng = np.random.default_rng(seed)
        edges = rng.integers(0, 6000, size=(15000, 2))
        edges = edges[edges[:, 0] != edges[:, 1]]
        work = lambda: tg.pebble_game(edges, 6000)
    """,
    "graphs rigidity": """
        import telvora_graphs as tg
        rng = np.random.default_rng(seed)
        edges = rng.integers(0, 400, size=(1200, 2))
        edges = edges[edges[:, 0] != edges[:, 1]]
        work = lambda: tg.rigidity(edges, 3, n=400)
    """,
    "telvora simulate": """
        import telvora
        points = np.random.default_rng(seed).random((60, 3))
        work = lambda: telvora.simulate(points, 3)
    """,
}

SCRIPT = """
import atexit, sys, threading, time
import numpy as np
seed = int(sys.argv[1])
{prologue}
{workload}
def loop():
    while True:
        work()
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
{main}
"""

# (prologue, end of the main thread). A callback registered before the module is imported runs
# after the module's own, on the finalizing thread, and must still be able to call in.
MAIN_ENDINGS = {
    "returns": ("", "time.sleep(0.3)"),
    "calls in from atexit": ("atexit.register(lambda: print('late', type(work()).__name__))", "time.sleep(0.3)"),
    "exits with a status": ("", "time.sleep(0.3); sys.exit(3)"),
}
EXPECTED_STATUS = {"returns": 0, "calls in from atexit": 0, "exits with a status": 3}
RUNS = 10


def _run(script, seed):
    return subprocess.run([sys.executable, "-c", script, str(seed)], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("ending", sorted(MAIN_ENDINGS))
@pytest.mark.parametrize("workload", sorted(WORKLOADS))
def test_exit_during_native_calls_on_daemon_threads(workload, ending):
    prologue, main = MAIN_ENDINGS[ending]
    script = SCRIPT.format(prologue=prologue, workload=textwrap.dedent(WORKLOADS[workload]), main=main)
    with ThreadPoolExecutor(2) as pool:
        outcomes = list(pool.map(lambda seed: _run(script, seed), range(RUNS)))
    for outcome in outcomes:
        assert outcome.returncode == EXPECTED_STATUS[ending], outcome.stderr[-2000:]
        assert "terminate called" not in outcome.stderr
        if ending == "calls in from atexit":
            assert outcome.stdout.startswith("late "), outcome.stdout
