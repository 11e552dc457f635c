"""telvora_graphs at run time: the lock is released while the core computes and no thread of its
own is started, concurrent calls agree with lone ones, the compiled module refuses what it
cannot use, nothing leaks, and the package type-checks under mypy --strict."""

import gc
import inspect
import os
import pathlib
import random
import sys
import threading
import time
import tracemalloc
import weakref

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import graph_reference as ref
from mypy_runner import run_mypy
import telvora_graphs as tg
from telvora_graphs import _native

TESTS = pathlib.Path(__file__).resolve().parent


def batch_of(graphs, n, seed):
    rng = np.random.default_rng(seed)
    parts = [ref.random_pairs(seed + g, n, 3 * n) for g in range(graphs)]
    return np.concatenate(parts), np.cumsum([0] + [len(p) for p in parts]), rng.random((graphs * n, 2))


def long_calls():
    """One call per compiled routine, each long enough to watch (a few tenths of a second)."""
    large = ref.random_pairs(1, 2500, 10000)
    medium = ref.random_pairs(2, 1500, 6000)
    edges, offsets, coords = batch_of(6000, 30, 3)
    few = int(offsets[1500])
    return {
        "generic": lambda: tg.rigidity(large, n=2500, method="field"),  # counting is too quick to watch
        "numeric": lambda: tg.rigidity(medium, n=1500, coords=np.random.default_rng(4).random((1500, 2))),
        "generic_batch": lambda: tg.rigidity_batch(edges, offsets, 30, seed=9),
        "numeric_batch": lambda: tg.rigidity_batch(edges[:few], offsets[:1501], 30, coords=coords[:1500 * 30]),
    }


def os_threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize("name", ["generic", "numeric", "generic_batch", "numeric_batch"])
def test_the_lock_is_released_and_no_thread_is_started(name):
    call = long_calls()[name]
    baseline = os_threads()
    go, timing = threading.Event(), {}

    def worker():
        go.wait()
        timing["start"] = time.perf_counter()
        call()
        timing["end"] = time.perf_counter()

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-3)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        ticks, threads = [time.perf_counter()], baseline
        go.set()  # the call starts after the first tick
        while thread.is_alive():
            # The main thread keeps running Python; with the lock held by the call it could not.
            ticks.append(time.perf_counter())
            threads = max(threads, os_threads())
        thread.join()
    finally:
        sys.setswitchinterval(previous)
    duration = timing["end"] - timing["start"]
    assert duration > 0.05, f"{name} took {duration:.3f} s, too short to tell"
    longest_pause = max(np.diff(ticks + [timing["end"]]))
    assert longest_pause < duration / 2, f"main thread stalled {longest_pause:.3f} s of a {duration:.3f} s call"
    assert threads <= baseline + 1, f"{threads - baseline - 1} threads started by the call"


def small_calls():
    """Successful and raising calls of every function, public and compiled, and the arrays they share."""
    points = np.random.default_rng(5).random((7, 2))
    edges = ref.random_pairs(6, 7, 14)
    edges_u = edges.astype(np.uint64)
    offsets, n = np.array([0, 5, len(edges)]), np.array([7, 7])
    return [points, edges, edges_u, offsets, n], {
        "generic": lambda: tg.rigidity(edges, seed=11),
        "generic-3d": lambda: tg.rigidity(edges.tolist(), 3, n=9),
        "numeric": lambda: tg.rigidity(edges, coords=points),
        "numeric-absolute-tol": lambda: tg.rigidity(edges, coords=points.astype(np.float32), tol=1e-6),
        "batch": lambda: tg.rigidity_batch(edges, offsets, n, seed=2**63),
        "numeric-batch": lambda: tg.rigidity_batch(edges, offsets, n, coords=np.vstack([points, points])),
        "native-generic-uint64": lambda: _native.generic(edges_u, 7, 2, 0),
        "native-numeric-strided": lambda: _native.numeric(np.repeat(edges, 2, axis=1)[:, ::2], points[::1], 1e-9),
        "error-edge-index": lambda: tg.rigidity(edges.T),
        "error-loop": lambda: tg.rigidity([(0, 0)]),
        "error-coords": lambda: tg.rigidity(edges, 2, coords=points[:, :1]),
        "error-offsets": lambda: tg.rigidity_batch(edges, offsets[::-1], n),
        "error-native-type": lambda: _native.generic(edges.astype(np.int32), 7, 2, 0),
        "error-native-value": lambda: _native.generic(edges, 3, 2, 0),
        "error-native-batch": lambda: _native.generic_batch(edges, np.array([0, 3]), n, 2, 0),
        "error-native-huge": lambda: _native.generic(as_strided(np.zeros(2, np.int64), (2**40, 2), (0, 8)), 2, 2, 0),
        "pebble-game": lambda: tg.pebble_game(edges, k=3, l=3),
        "components-generic-3d": lambda: tg.rigid_components(edges, 3),
        "components-numeric": lambda: tg.rigid_components(edges, coords=points),
        "error-pebble-counts": lambda: tg.pebble_game(edges, k=3, l=6),
        "error-native-pebble": lambda: _native.pebble_game(edges, 7, 0, 0),
        "error-native-components": lambda: _native.numeric_components(edges, points[:3]),
        "components-batch": lambda: tg.rigid_components_batch(edges, offsets, n, seed=3),
        "components-batch-numeric-3d": lambda: tg.rigid_components_batch(
            edges, offsets, n, 3, coords=np.hstack([np.vstack([points, points]), np.ones((14, 1))])),
        "batch-global-rigidity": lambda: tg.rigidity_batch(edges, offsets, n, global_rigidity=True),
        "error-native-components-batch": lambda: _native.generic_components_batch(edges, offsets, n, 0, 0),
        "motions": lambda: tg.motions(edges, points),
        "stresses-generic-3d": lambda: tg.stresses(edges, d=3, seed=5),
        "error-native-motions": lambda: _native.motions(edges, None, 7, 0, 0),
    }


def outcome(call):
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - an exception is an outcome like any other
        return ("raised", type(error).__name__, str(error))
    if isinstance(result, list):  # rigid_components: a list of arrays
        fields = [tuple(value.tobytes() for value in result)]
    elif isinstance(result, dict):
        fields = list(result.values())
    else:
        fields = [getattr(result, f) for f in result.__dataclass_fields__]
    return tuple(value.tobytes() if isinstance(value, np.ndarray)
                 else tuple(v.tobytes() for v in value) if isinstance(value, list) else value for value in fields)


def test_concurrent_calls_agree_with_lone_ones():
    calls = small_calls()[1]
    expected = {name: outcome(call) for name, call in calls.items()}
    assert all(expected[name][0] == "raised" for name in calls if name.startswith("error"))
    mismatches, barrier = [], threading.Barrier(4)

    def worker(seed):
        order = list(calls) * 5
        random.Random(seed).shuffle(order)
        barrier.wait()
        mismatches.extend(name for name in order if outcome(calls[name]) != expected[name])

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads) and not mismatches, mismatches[:5]


POINTS = np.random.default_rng(7).random((4, 2))
EDGES = np.array([[0, 1], [1, 2]], dtype=np.int64)
OFFSETS, N = np.array([0, 2]), np.array([4])

NATIVE_ERRORS = [
    (lambda: _native.generic(EDGES, 4, 2), TypeError, "generic() missing 1 required positional argument: 'seed'"),
    (lambda: _native.numeric(EDGES, POINTS, tolerance=1), TypeError, "unexpected keyword argument 'tolerance'"),
    (lambda: _native.generic(EDGES.tolist(), 4, 2, 0), TypeError, "argument 'edges': cannot convert an object of type 'list'"),
    (lambda: _native.generic(EDGES[:, :1], 4, 2, 0), TypeError, "to an (m, 2) int64 or uint64 array"),
    (lambda: _native.generic(EDGES.astype(">i8"), 4, 2, 0), TypeError, "int64 or uint64"),
    (lambda: _native.generic(-EDGES, 4, 2, 0), ValueError, "argument 'edges' must not hold negative values"),
    (lambda: _native.generic(EDGES, -4, 2, 0), OverflowError, ""),
    (lambda: _native.generic(EDGES, 2, 2, 0), ValueError, ""),
    (lambda: _native.generic(EDGES, 4, 0, 0), ValueError, "d must be at least 1"),
    (lambda: _native.generic(EDGES, 4, 2, 2**64), OverflowError, ""),
    (lambda: _native.numeric(EDGES, POINTS.astype(np.float32)), TypeError, "float64"),
    (lambda: _native.numeric(EDGES, POINTS[:, :0]), ValueError, "at least one"),
    (lambda: _native.numeric(EDGES, POINTS[:2]), ValueError, ""),
    (lambda: _native.numeric(EDGES, POINTS, -1.0), ValueError, "tol must be a finite number >= 0"),
    (lambda: _native.numeric(EDGES, np.full((4, 2), np.nan)), ValueError, "finite"),
    (lambda: _native.numeric(EDGES, as_strided(np.zeros(1), (2**40, 2), (0, 0))), MemoryError, ""),
    (lambda: _native.generic_batch(EDGES, OFFSETS.reshape(1, 2), N, 2, 0), TypeError, "one-dimensional"),
    (lambda: _native.generic_batch(EDGES, np.array([0, 1]), N, 2, 0), ValueError, "offsets must end at the number of edges"),
    (lambda: _native.generic_batch(EDGES, OFFSETS, np.array([4, 4]), 2, 0), ValueError, "offsets must have one entry more than n"),
    (lambda: _native.generic_batch(EDGES, OFFSETS, np.array([-4]), 2, 0), ValueError, "argument 'n' must not hold negative values"),
    (lambda: _native.numeric_batch(EDGES, OFFSETS, N, POINTS[:3]), ValueError, "coords must have one row per vertex"),
]


@pytest.mark.parametrize("call, error, words", NATIVE_ERRORS, ids=range(len(NATIVE_ERRORS)))
def test_the_compiled_module_refuses_what_it_cannot_use(call, error, words):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and words in str(info.value)


def test_the_compiled_module_matches_its_stub():
    stub = pathlib.Path(_native.__file__).with_name("_native.pyi")
    namespace = {}
    exec(compile(stub.read_text(), str(stub), "exec"), namespace)  # noqa: S102 - our own installed file
    assert sorted(_native.__all__) == ["generic", "generic_batch", "generic_components", "generic_components_batch",
                                       "motions", "numeric", "numeric_batch", "numeric_components",
                                       "numeric_components_batch", "pebble_game", "rigidity_sweep", "stresses"]
    for name in _native.__all__:
        stubbed = list(inspect.signature(namespace[name]).parameters)
        assert list(inspect.signature(getattr(_native, name)).parameters) == stubbed, name


@pytest.mark.parametrize("name", list(small_calls()[1]))
def test_no_python_object_or_reference_left_behind(name):
    inputs, calls = small_calls()
    call = calls[name]
    for _ in range(5):
        outcome(call)
    gc.collect()
    references = [sys.getrefcount(array) for array in inputs]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(150):
            outcome(call)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One leaked int, tuple or exception per call would be several kilobytes by now.
    assert grown < 2048, f"{grown} bytes of Python memory left behind by 150 calls"
    assert [sys.getrefcount(array) for array in inputs] == references


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or "libasan" in open("/proc/self/maps").read(),
                    reason="reads RSS through /proc; the sanitizer's quarantine keeps freed memory")
@pytest.mark.parametrize("numeric", [False, True], ids=["generic", "numeric"])
def test_no_native_buffer_left_behind(numeric):
    # Each result holds about 3 MB of per-edge arrays and 4 MB of edges copied in.
    edges = np.tile(np.array([[0, 1], [1, 2], [2, 0]]), (100_000, 1))
    coords = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]) if numeric else None
    for _ in range(3):
        tg.rigidity(edges, coords=coords)
    gc.collect()
    before = rss_bytes()
    for _ in range(20):
        result = tg.rigidity(edges, coords=coords)
        del result
    gc.collect()
    assert rss_bytes() - before < 16 * 2**20


def test_result_arrays_die_with_their_result():
    result = _native.generic_batch(np.array([[0, 1], [1, 2]]), np.array([0, 1, 2]), np.array([2, 3]), 2, 0)
    refs = [weakref.ref(array) for array in result.values()]
    assert all(ref().base is not None for ref in refs)  # each keeps its buffer alive through its base
    del result
    assert [ref() for ref in refs] == [None] * len(refs)  # at once: no cycle, no collector


def test_mypy_strict_accepts_the_package_and_a_typed_caller(tmp_path):
    for target in (["-p", "telvora_graphs"], [str(TESTS / "typing" / "uses_graphs.py")]):
        result = run_mypy(tmp_path, *target)
        assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_a_wrong_use(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import telvora_graphs as tg\nrank: str = tg.rigidity([(0, 1)]).rank\ntg.rigidity([], d=2.5)\n")
    result = run_mypy(tmp_path, wrong, strict=False)
    assert result.returncode == 1
    assert "Incompatible types in assignment" in result.stdout and 'Argument "d" to "rigidity" has incompatible type "float"' in result.stdout
