"""Every routine that computes releases the interpreter lock while it does: another Python thread
makes progress during one long call.

The switch interval is raised far above any call's length, so a thread that keeps the lock is
never made to hand it over: the watcher then sees no progress at all while the call runs. A
routine that releases the lock lets the watcher run at once. Progress is counted, never timed;
a call sees none only when the scheduler never woke the watcher during it, so a routine gets three
tries, while one that holds the lock shows none on every try.
"""

import sys
import threading

import numpy as np
import pytest

import telvora
import graph_reference as ref
import telvora_graphs as tg
from telvora_graphs import _native

# Routines left out, and why: no numeric work, or a pass over the caller's array that reads it in
# place (releasing the lock would first need a copy as long as the work).
EXEMPT = {"telvora.max_independent": "a formula", "telvora.gram_from_dist": "reads the caller's array in place"}


def _inputs():
    rng = np.random.default_rng(5)
    space, space_points = ref.random_pairs(1, 2000, 6000), rng.random((2000, 3))
    plane, plane_points = ref.random_pairs(2, 500, 1000), rng.random((500, 2))
    stressed, stressed_points = ref.random_pairs(3, 600, 2000), rng.random((600, 3))
    graphs = 8000  # small graphs of 20 vertices and 40 edges in space
    batch = np.concatenate([ref.random_pairs(10 + g, 20, 40) for g in range(graphs)])
    offsets = np.arange(graphs + 1, dtype=np.int64) * 40
    sizes = np.full(graphs, 20, dtype=np.int64)
    batch_points = rng.random((20 * graphs, 3))
    lattice = tg.triangular_lattice(300, periodic=True)
    far = space_points[:1500]
    distances = np.sqrt(((far[:, None] - far[None, :]) ** 2).sum(-1))
    no_steps = np.zeros(0, dtype=np.int64)
    return {
        "generic": lambda: _native.generic(space, 2000, 3, 1),
        "numeric": lambda: _native.numeric(space, space_points, None),
        "generic_batch": lambda: _native.generic_batch(batch, offsets, sizes, 3, 1, 1),
        "numeric_batch": lambda: _native.numeric_batch(batch, offsets, sizes, batch_points, None),
        "pebble_game": lambda: _native.pebble_game(lattice, 300 * 300, 2, 3),
        "rigidity_sweep": lambda: _native.rigidity_sweep(lattice, 300 * 300, 2, 3, no_steps),
        "generic_components": lambda: _native.generic_components(space[:3000], 2000, 3, 1),
        "numeric_components": lambda: _native.numeric_components(plane, plane_points, None),
        "generic_components_batch": lambda: _native.generic_components_batch(batch, offsets, sizes, 3, 1),
        "numeric_components_batch": lambda: _native.numeric_components_batch(batch, offsets, sizes, batch_points,
                                                                              None),
        "motions": lambda: _native.motions(plane, plane_points, 500, 2, 0, None, 0),
        "stresses": lambda: _native.stresses(stressed, stressed_points, 600, 3, 0, None),
        "telvora.simulate": lambda: telvora.simulate(space_points[:500], 3),
        "telvora.generate_training_batch": lambda: telvora.generate_training_batch(1000, 30, 3, 1),
        "telvora.reconstruct": lambda: telvora.reconstruct(distances, 3),
        "telvora.pebble_game": lambda: telvora.pebble_game(np.zeros((20000, 2)), 2),
    }


CALLS = _inputs()


def test_every_routine_is_in_the_table():
    routines = {name for name in dir(_native) if not name.startswith("_")}
    routines |= {f"telvora.{name}" for name in telvora.__all__}
    assert routines == set(CALLS) | set(EXEMPT)


def progress_during(call):
    """How often a second thread got to run while call ran in this one."""
    inside = False
    stop = False
    seen = 0
    started = threading.Event()

    def watch():
        nonlocal seen
        started.set()
        while not stop:
            if inside:
                seen += 1
            threading.Event().wait(0.0001)  # lets the lock go, so the caller gets it back at once

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    started.wait()
    inside = True
    call()
    inside = False
    stop = True
    watcher.join()
    return seen


@pytest.fixture
def no_forced_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(previous)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_another_thread_runs_during_the_call(name, no_forced_switches):
    assert any(progress_during(CALLS[name]) for _ in range(3)), f"{name} keeps the interpreter lock"


def test_a_call_that_keeps_the_lock_shows_no_progress(no_forced_switches):
    # The check itself: pure Python work never lets the watcher in.
    assert progress_during(lambda: sum(k * k for k in range(2_000_000))) == 0
