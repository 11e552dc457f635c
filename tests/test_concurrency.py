"""Calls from several threads at once, and from threads with small stacks.

The computations run with the interpreter lock released, so calls really overlap. Every
outcome, result or exception, must be exactly the one the same call gives when run alone."""

import gc
import random
import struct
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import telvora

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fuzz"))

from harness import RaisingFloat, RaisingIndex, huge_view, lcg_points, reference_distances  # noqa: E402


def canonical(value):
    """A comparable form of a result or exception that keeps every bit of every number."""
    if isinstance(value, BaseException):
        return ("raised", type(value).__name__, value.args)
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.flags.c_contiguous, value.tobytes())
    if isinstance(value, dict):
        return ("dict", tuple((key, canonical(item)) for key, item in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(canonical(item) for item in value))
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    return (type(value).__name__, value)


def outcome(call):
    try:
        return canonical(call())
    except BaseException as error:  # noqa: BLE001 - an exception is an outcome like any other
        return canonical(error)


def workload():
    rng = np.random.default_rng(11)
    points3 = rng.random((40, 3))
    points2 = np.asfortranarray(rng.random((60, 2)))
    collinear = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0], [3.0, 0.0], [4.0, 2.0]])
    retry = lcg_points(60, 3, 280)
    dist = reference_distances(rng.random((30, 3)))
    return {
        "simulate-3d": lambda: telvora.simulate(points3, 3),
        "simulate-2d-fortran": lambda: telvora.simulate(points2, 2, 1e-12),
        "simulate-fallback": lambda: telvora.simulate(collinear, 2),
        "simulate-breakdown-retry": lambda: telvora.simulate(retry, 3),
        "simulate-nan-tol": lambda: telvora.simulate(points3[:10], 3, float("nan")),
        "simulate-value-error": lambda: telvora.simulate(points3, 2),
        "simulate-memory-error": lambda: telvora.simulate(huge_view((2**40, 3)), 3),
        "gram": lambda: telvora.gram_from_dist(dist),
        "gram-value-error": lambda: telvora.gram_from_dist(points3),
        "batch": lambda: telvora.generate_training_batch(3, 15, 3, 99),
        "batch-2d": lambda: telvora.generate_training_batch(2, 25, 2, 2**64 - 1),
        "batch-fatal": lambda: telvora.generate_training_batch(2, 0, 3, 0),
        "batch-memory-error": lambda: telvora.generate_training_batch(2**62, 10, 3, 0),
        "max-independent": lambda: telvora.max_independent(10**6, 3),
        "max-independent-overflow": lambda: telvora.max_independent(2**63, 3),
        "reconstruct": lambda: telvora.reconstruct(dist, 3),
        "reconstruct-2d-reversed": lambda: telvora.reconstruct(dist[::-1, ::-1], 2, 0.5),
        "reconstruct-fatal": lambda: telvora.reconstruct(dist[:3, :3], 3),
        "pebble-game": lambda: telvora.pebble_game(np.zeros((400, 2)), 2),
        "pebble-game-value-error": lambda: telvora.pebble_game(points3, 3),
        "type-error": lambda: telvora.simulate(points3.tolist(), 3),
        "index-raises": lambda: telvora.generate_training_batch(1, RaisingIndex(), 2, 0),
        "float-raises": lambda: telvora.reconstruct(dist, 2, RaisingFloat()),
    }


def run_threads(targets, timeout):
    """Starts every target together; returns the exceptions they raised. Fails on a hang."""
    errors = []
    barrier = threading.Barrier(len(targets))

    def body(target):
        try:
            barrier.wait()
            target()
        except BaseException as error:  # handed to the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(target,), daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    stuck = [thread.name for thread in threads if thread.is_alive()]
    assert not stuck, f"threads still running after {timeout} s (deadlock?): {stuck}"
    return errors


@pytest.fixture
def frequent_switches():
    # Hand the interpreter lock over as often as possible, to interleave threads at every turn.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def test_threads_calling_every_function_at_once_agree_with_sequential_runs(frequent_switches):
    calls = workload()
    expected = {name: outcome(call) for name, call in calls.items()}
    failing = [name for name in calls if any(word in name for word in ("error", "fatal", "raises"))]
    assert all(expected[name][0] == "raised" for name in failing)
    mismatches = []
    seconds = 4.0

    def worker(seed):
        order = list(calls)
        rng = random.Random(seed)
        stop = time.monotonic() + seconds
        rounds = 0
        while rounds == 0 or time.monotonic() < stop:
            rng.shuffle(order)
            for name in order:
                got = outcome(calls[name])
                if got != expected[name]:
                    mismatches.append((name, got[:2]))
            rounds += 1

    def churn():
        # Allocation and collection going on beside the calls.
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            garbage = [np.ones((50, 50)) for _ in range(20)]
            garbage.append(garbage)
            del garbage
            gc.collect()

    errors = run_threads([lambda k=k: worker(k) for k in range(4)] + [churn], timeout=120)
    assert not errors, errors
    assert not mismatches, mismatches[:5]
    assert telvora.max_independent(4, 2) == 5


def test_calls_on_threads_with_small_stacks():
    rng = np.random.default_rng(3)
    points = rng.random((150, 3))
    dist = reference_distances(rng.random((200, 3)))
    calls = {
        "simulate": lambda: telvora.simulate(points, 3),
        "simulate-fallback": lambda: telvora.simulate(np.vstack([points[:60], np.zeros((40, 3))]), 3),
        "pebble-game": lambda: telvora.pebble_game(np.zeros((3000, 2)), 2),
        "reconstruct": lambda: telvora.reconstruct(dist, 3),
        "gram": lambda: telvora.gram_from_dist(dist),
        "batch": lambda: telvora.generate_training_batch(2, 150, 3, 17),
        "batch-fatal": lambda: telvora.generate_training_batch(1, 3, 7, 0),
        "memory-error": lambda: telvora.pebble_game(huge_view((2**40, 2)), 2),
    }
    expected = {name: outcome(call) for name, call in calls.items()}
    got = {}

    def small_stack_worker(names):
        for name in names:
            got[name] = outcome(calls[name])

    previous = threading.stack_size(256 * 1024)
    try:
        # Two threads, so that the large calls also overlap with each other.
        names = list(calls)
        errors = run_threads([lambda: small_stack_worker(names[0::2]), lambda: small_stack_worker(names[1::2])],
                             timeout=300)
    finally:
        threading.stack_size(previous)
    assert not errors, errors
    assert set(got) == set(calls)
    for name in calls:
        assert got[name] == expected[name], name


def test_first_calls_of_a_process_race_safely():
    # The fatal-error class and NumPy's C API are set up by whichever call needs them first;
    # threads that get there together must all see one and the same class.
    code = textwrap.dedent(
        """
        import sys, threading
        import numpy as np
        import telvora
        sys.setswitchinterval(1e-6)
        barrier = threading.Barrier(8)
        classes, results = [], []
        def first_call(k):
            barrier.wait()
            try:
                if k % 2:
                    telvora.generate_training_batch(1, 0, 2, 0)
                else:
                    results.append(telvora.simulate(np.eye(3)[:, :2] * (k + 1), 2)["final_rank"])
                    telvora.reconstruct(np.zeros((2, 2)), 2)
            except BaseException as error:
                classes.append(type(error))
        threads = [threading.Thread(target=first_call, args=(k,)) for k in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(classes) == 8 and len(set(classes)) == 1, classes
        assert classes[0].__name__ == "FatalError" and classes[0].__bases__ == (BaseException,)
        assert results == [3] * 4, results
        print("ok")
        """
    )
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert result.stdout.strip() == "ok", result.stderr
