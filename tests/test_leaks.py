"""Reference and memory leaks: every function, on its successful paths and on each of its
error paths, called many times, must leave no Python object, reference or native buffer behind."""

import gc
import os
import sys
import tracemalloc
import weakref
from pathlib import Path

import numpy as np
import pytest

import telvora

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fuzz"))

from harness import (Boom, FloatTypeErrorWithCause, Indexable, RaisingFloat, RaisingIndex, SubInt,  # noqa: E402
                     huge_view, is_fatal, lcg_points)

FATAL = "fatal"


def under_address_sanitizer():
    """The sanitizer's allocator keeps freed memory in quarantine, so RSS says nothing there."""
    if os.environ.get("TELVORA_SANITIZED"):
        return True
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Call:
    """One call and the exception it must raise (None: it must return)."""

    def __init__(self, ident, function, args, kwargs=None, error=None):
        self.ident = ident
        self.function = function
        self.args = args
        self.kwargs = kwargs or {}
        self.error = error

    def __call__(self):
        try:
            result = self.function(*self.args, **self.kwargs)
        except BaseException as caught:
            if self.error is None:
                raise
            if self.error is FATAL:
                assert is_fatal(caught), repr(caught)
            else:
                assert type(caught) is self.error, repr(caught)
            return None
        assert self.error is None, f"{self.ident} returned instead of raising {self.error}"
        return result

    def objects(self):
        return list(self.args) + list(self.kwargs.values())


def _fresh_float(x):
    return float(str(x))  # a new object, not a shared constant


def small_calls():
    """Small inputs, so that many calls are cheap; every error path of every function."""
    points2 = np.random.default_rng(1).random((8, 2))
    points3 = np.random.default_rng(2).random((7, 3))
    collinear = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0]])
    retry = lcg_points(60, 3, 280)  # breaks down under the plain elimination and is retried
    diff = points3[:, None, :] - points3[None, :, :]
    dist = np.sqrt((diff * diff).sum(axis=2))
    packed = np.zeros((8, 2), dtype=[("tag", "u1"), ("x", "<f8")])
    packed["x"] = points2
    d2, d3, tol = SubInt(2), Indexable(3), _fresh_float(1e-9)
    sim, gram, batch = telvora.simulate, telvora.gram_from_dist, telvora.generate_training_batch
    mi, mds, peb = telvora.max_independent, telvora.reconstruct, telvora.pebble_game
    return [
        Call("simulate-fast-path", sim, (points2, d2, tol)),
        Call("simulate-fallback", sim, (collinear, 2)),
        Call("simulate-breakdown-retry", sim, (retry, 3)),
        Call("simulate-packed-field-keywords", sim, (), {"coords": packed["x"][::-1], "d": 2, "tol": None}),
        Call("simulate-columns", sim, (points3, d2), error=ValueError),
        Call("simulate-dimension", sim, (np.zeros((6, 4)), 4), error=ValueError),
        Call("simulate-too-few", sim, (points3[:3], d3), error=ValueError),
        Call("simulate-list", sim, (points2.tolist(), 2), error=TypeError),
        Call("simulate-float-d", sim, (points2, 2.0), error=TypeError),
        Call("simulate-negative-d", sim, (points2, -2), error=OverflowError),
        Call("simulate-raising-index", sim, (points2, RaisingIndex()), error=Boom),
        Call("simulate-tol-str", sim, (points2, 2, "x"), error=TypeError),
        Call("simulate-tol-cause", sim, (points2, 2, FloatTypeErrorWithCause()), error=TypeError),
        Call("simulate-tol-raising", sim, (points2, 2, RaisingFloat()), error=Boom),
        Call("simulate-missing", sim, (points2,), error=TypeError),
        Call("simulate-too-many", sim, (points2, 2, None, 1), error=TypeError),
        Call("simulate-unknown-keyword", sim, (points2, 2), {"tolerance": 1.0}, error=TypeError),
        Call("simulate-twice", sim, (points2, 2), {"coords": points2}, error=TypeError),
        Call("simulate-huge", sim, (huge_view((2**40, 2)), 2), error=MemoryError),
        Call("gram", gram, (dist,)),
        Call("gram-empty", gram, (np.zeros((0, 0)),)),
        Call("gram-not-square", gram, (points3,), error=ValueError),
        Call("gram-int", gram, (dist.astype(np.int64),), error=TypeError),
        Call("gram-huge", gram, (huge_view((2**30 - 1, 2**30 - 1)),), error=MemoryError),
        Call("batch", batch, (3, 7, d3, 2**64 - 2)),
        Call("batch-empty", batch, (0, 0, 9, 0)),
        Call("batch-no-nodes", batch, (1, 0, 2, 0), error=FATAL),
        Call("batch-dimension", batch, (2, 5, 4, 0), error=FATAL),
        Call("batch-huge", batch, (2**62, 10, 3, 0), error=MemoryError),
        Call("batch-none", batch, (1, None, 2, 0), error=TypeError),
        Call("batch-seed-range", batch, (1, 3, 2, 2**64), error=OverflowError),
        Call("max-independent", mi, (2**40, d3)),
        Call("max-independent-overflow", mi, (2**62, 4), error=OverflowError),
        Call("max-independent-str", mi, ("4", 2), error=TypeError),
        Call("reconstruct", mds, (dist, d3, tol)),
        Call("reconstruct-not-square", mds, (points3, 2), error=ValueError),
        Call("reconstruct-dimension", mds, (dist, 4), error=FATAL),
        Call("reconstruct-too-few", mds, (dist[:3, :3], 3), error=FATAL),
        Call("reconstruct-float32", mds, (dist.astype(np.float32), 2), error=TypeError),
        Call("reconstruct-huge", mds, (huge_view((2**30 - 1, 2**30 - 1)), 2), error=MemoryError),
        Call("pebble-game", peb, (points2, d2)),
        Call("pebble-game-dimension", peb, (points3, 3), error=ValueError),
        Call("pebble-game-1d", peb, (np.zeros(5), 2), error=TypeError),
        Call("pebble-game-huge", peb, (huge_view((2**40, 2)), 2), error=MemoryError),
    ]


SMALL_CALLS = small_calls()


@pytest.mark.parametrize("call", SMALL_CALLS, ids=lambda call: call.ident)
def test_no_python_object_or_reference_left_behind(call):
    for _ in range(5):
        call()
    gc.collect()
    references = [sys.getrefcount(obj) for obj in call.objects()]
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(150):
            call()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One leaked int, tuple or exception per call would be several kilobytes by now.
    assert grown < 2048, f"{grown} bytes of Python memory left behind by 150 calls"
    assert [sys.getrefcount(obj) for obj in call.objects()] == references
    if total is not None:
        assert sys.gettotalrefcount() - total < 50


def large_calls():
    """Calls that allocate several hundred kilobytes or more each (results, copies of the
    input, working matrices), so that 60 of them leaving a buffer behind add at least 10 MiB."""
    rng = np.random.default_rng(5)
    points = rng.random((300, 2))
    diff = points[:, None, :] - points[None, :, :]
    dist = np.sqrt((diff * diff).sum(axis=2))
    return [
        Call("simulate", telvora.simulate, (points[:200], 2)),
        Call("simulate-fallback", telvora.simulate, (np.zeros((80, 3)), 3)),
        Call("gram", telvora.gram_from_dist, (dist,)),
        Call("reconstruct", telvora.reconstruct, (dist, 2)),
        Call("reconstruct-fatal-after-copy", telvora.reconstruct, (dist, 5), error=FATAL),
        Call("batch", telvora.generate_training_batch, (4, 120, 2, 7)),
        Call("pebble-game", telvora.pebble_game, (np.zeros((600, 2)), 2)),
    ]


@pytest.mark.skipif(under_address_sanitizer(), reason="freed memory stays in the sanitizer's quarantine")
@pytest.mark.parametrize("call", large_calls(), ids=lambda call: call.ident)
def test_no_native_buffer_left_behind(call):
    for _ in range(5):
        call()
    gc.collect()
    before = rss_bytes()
    volume = 0
    for _ in range(60):
        result = call()
        volume += native_bytes(result)
        del result
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 8 * 2**20, f"RSS grew by {grown >> 20} MiB over 60 calls returning {volume >> 20} MiB"


def native_bytes(result):
    if isinstance(result, np.ndarray):
        return result.nbytes
    if isinstance(result, dict):
        return sum(native_bytes(value) for value in result.values())
    if isinstance(result, list):
        return sum(native_bytes(value) for value in result)
    return 0


@pytest.mark.parametrize(
    "make",
    [lambda: telvora.simulate(np.random.default_rng(0).random((9, 3)), 3),
     lambda: telvora.generate_training_batch(2, 6, 2, 0)[1],
     lambda: {"gram": telvora.gram_from_dist(np.ones((4, 4)))},
     lambda: telvora.reconstruct(np.ones((5, 5)) - np.eye(5), 3),
     lambda: telvora.pebble_game(np.zeros((7, 2)), 2)],
    ids=["simulate", "batch", "gram", "reconstruct", "pebble_game"],
)
def test_result_arrays_die_with_their_result(make):
    result = make()
    refs = [weakref.ref(value) for value in result.values() if isinstance(value, np.ndarray)]
    # Each array keeps its buffer alive through its base object.
    assert refs and all(ref().base is not None for ref in refs)
    del result
    # No reference cycle is involved: the arrays go at once, without the collector.
    assert [ref() for ref in refs] == [None] * len(refs)
