"""Requests that no machine can serve must end in MemoryError (or the call's own clean error)
at once, before any large allocation, and leave the process working.

Each request runs in a fresh interpreter, so that a crash or a runaway allocation cannot take
the test run with it and the peak memory of the request can be measured on its own."""

import json
import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

CHILD = textwrap.dedent(
    """
    import json, resource, sys, time
    import numpy as np
    import telvora
    from numpy.lib.stride_tricks import as_strided

    def view(*shape):
        return as_strided(np.zeros(1), shape=shape, strides=(0, 0))

    def usual_results():
        points = np.random.default_rng(0).random((12, 3))
        return [
            telvora.simulate(points, 3)["labels"].tolist(),
            telvora.gram_from_dist(np.ones((4, 4))).tolist(),
            telvora.reconstruct(np.ones((5, 5)) - np.eye(5), 2)["stress"],
            [r["final_rank"] for r in telvora.generate_training_batch(3, 8, 2, 1)],
            telvora.pebble_game(np.zeros((30, 2)), 2)["accepted_edges"],
            telvora.max_independent(100, 3),
        ]

    before = usual_results()
    if len(sys.argv) > 2:  # an address-space limit, so that a runaway request fails instead of the machine
        resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[2]), resource.RLIM_INFINITY))
    request = eval("lambda: " + sys.argv[1])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.process_time()
    try:
        request()
        outcome = "returned"
    except BaseException as error:
        fatal = type(error).__name__ == "FatalError" and type(error).__bases__ == (BaseException,)
        outcome = "FatalError" if fatal else type(error).__name__
    cpu_seconds = time.process_time() - started
    peak_growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
    print(json.dumps({"outcome": outcome, "cpu_seconds": cpu_seconds, "peak_growth_kib": peak_growth,
                      "healthy": usual_results() == before}))
    """
)

HUGE_SQUARE = "view(2**30 - 1, 2**30 - 1)"  # the largest square float64 view NumPy will make

REQUESTS = {
    "batch-many-graphs": ("telvora.generate_training_batch(2**62, 10, 3, 0)", {"MemoryError"}),
    "batch-many-large-graphs": ("telvora.generate_training_batch(2**40, 1000, 2, 1)", {"MemoryError"}),
    "batch-many-nodes": ("telvora.generate_training_batch(1, 2**32, 2, 0)", {"MemoryError"}),
    "batch-most-nodes": ("telvora.generate_training_batch(1, 2**64 - 1, 3, 0)", {"MemoryError"}),
    "batch-everything-largest": ("telvora.generate_training_batch(2**64 - 1, 2**64 - 1, 2, 2**64 - 1)",
                                 {"MemoryError"}),
    "batch-huge-and-empty": ("telvora.generate_training_batch(2**62, 0, 2, 0)", {"MemoryError", "FatalError"}),
    "simulate-rows-2d": ("telvora.simulate(view(2**40, 2), 2)", {"MemoryError"}),
    "simulate-rows-3d": ("telvora.simulate(view(2**40, 3), 3, 0.0)", {"MemoryError"}),
    "simulate-square": (f"telvora.simulate({HUGE_SQUARE}, 2)", {"ValueError"}),
    # Rows that would fit, but not the distance matrix, edge list and rank checker they call for.
    "simulate-rows-2**22": ("telvora.simulate(view(2**22, 2), 2)", {"MemoryError"}),
    "simulate-200000-points": ("telvora.simulate(np.random.default_rng(0).random((200000, 3)), 3)",
                               {"MemoryError"}),
    "gram-square": (f"telvora.gram_from_dist({HUGE_SQUARE})", {"MemoryError"}),
    "gram-square-2**20": ("telvora.gram_from_dist(view(2**20, 2**20))", {"MemoryError"}),
    "reconstruct-square": (f"telvora.reconstruct({HUGE_SQUARE}, 2)", {"MemoryError"}),
    "reconstruct-square-bad-d": (f"telvora.reconstruct({HUGE_SQUARE}, 9)", {"MemoryError", "FatalError"}),
    "pebble-game-rows": ("telvora.pebble_game(view(2**40, 2), 2)", {"MemoryError"}),
    "pebble-game-rows-2**24": ("telvora.pebble_game(view(2**24, 2), 2)", {"MemoryError"}),
    "pebble-game-rows-no-columns": ("telvora.pebble_game(view(2**50, 0), 2)", {"MemoryError"}),
}

# Limits per request: a request refused before any work costs microseconds and no memory.
CPU_SECONDS = 1.0
PEAK_GROWTH_KIB = 64 * 1024


def run_request(expression, address_space=None):
    command = [sys.executable, "-c", CHILD, expression] + ([str(address_space)] if address_space else [])
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if result.returncode != 0 or not result.stdout.strip():
        return {"crashed": result.returncode, "stderr": result.stderr[-3000:]}
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def reports():
    with ThreadPoolExecutor(max_workers=2) as pool:
        futures = {name: pool.submit(run_request, expression) for name, (expression, _) in REQUESTS.items()}
        return {name: future.result() for name, future in futures.items()}


@pytest.mark.parametrize("name", list(REQUESTS))
def test_impossible_request_is_refused_at_once(reports, name):
    report = reports[name]
    assert "crashed" not in report, f"the process died ({report.get('crashed')}):\n{report.get('stderr')}"
    assert report["outcome"] in REQUESTS[name][1]
    assert report["cpu_seconds"] < CPU_SECONDS, report
    assert report["peak_growth_kib"] < PEAK_GROWTH_KIB, report
    assert report["healthy"], "later calls in the same process gave different results"


PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.environ.get("TELVORA_HEAVY_TESTS"),
                    reason="touches a third of physical memory; set TELVORA_HEAVY_TESTS=1 to run")
def test_reconstruct_refuses_what_its_buffers_need_together():
    # One n x n buffer fits in a third of physical memory, four of them do not fit at all. The
    # address-space limit keeps the machine safe if the request is not refused up front.
    n = int((0.3 * PHYSICAL_MEMORY / 8) ** 0.5)
    report = run_request(f"telvora.reconstruct(view({n}, {n}), 2)", address_space=int(0.45 * PHYSICAL_MEMORY))
    assert report["outcome"] == "MemoryError"
    assert report["peak_growth_kib"] < PEAK_GROWTH_KIB, report
