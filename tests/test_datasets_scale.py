"""A dataset run's memory and bookkeeping do not grow with the shards it plans or completes."""

import gc
import itertools
import tracemalloc

import pytest

from dataset_calls import generate
from telvora_datasets import read_manifest, writer
from telvora_datasets.manifest import RECORD_SIZE, shard_records

WORKERS = 1  # two would overlap their deflate states (256 KiB each) by chance, blurring the peak
MAKE_SHARD = writer.make_shard


class Stop(Exception):
    pass


def traced_run(monkeypatch, directory, graphs, shards):
    """Runs generate on shards of one framework until `shards` of them are written; returns the
    peak of traced memory, what is still traced after a collection, and the shards started."""
    started = [0]  # a count, not a list of shards, which would be traced too

    def make_shard(plan, index, out):
        started[0] += 1
        if started[0] > shards:
            raise Stop
        return MAKE_SHARD(plan, index, out)

    monkeypatch.setattr(writer, "make_shard", make_shard)
    tracemalloc.start()
    try:
        with pytest.raises(Stop):
            generate(graphs, 4, 2, 1, directory, shard_size=1, format="npz", workers=WORKERS)
        peak = tracemalloc.get_traced_memory()[1]
        gc.collect()
        return peak, tracemalloc.get_traced_memory()[0], started[0]
    finally:
        tracemalloc.stop()


def recorded(directory, first):
    """Indices of the recorded shards among the first `first`."""
    entries = itertools.islice(shard_records(directory, read_manifest(directory)), first)
    return {index for index, (_, record) in enumerate(entries) if record is not None}


def test_memory_and_bookkeeping_stay_the_same_for_a_billion_shards(tmp_path, monkeypatch):
    window = writer._WINDOW * WORKERS
    traced_run(monkeypatch, tmp_path / "warm-up", 100, 50)  # imports and first-call caches
    thousand = tmp_path / "thousand"
    fresh_thousand, _, _ = traced_run(monkeypatch, thousand, 1000, 20)
    resumed_thousand, _, _ = traced_run(monkeypatch, thousand, 1000, 20)
    billion = tmp_path / "billion"
    _, _, started = traced_run(monkeypatch, billion, 10**9, 0)
    assert started <= window and (billion / "checksums.txt").stat().st_size == 0
    assert (billion / "manifest.json").stat().st_size < 1024 and not read_manifest(billion)["complete"]
    fresh_billion, _, started = traced_run(monkeypatch, billion, 10**9, 20)
    assert started <= 20 + window  # handed out lazily, in order, a bounded window at a time
    done = recorded(billion, 100)
    assert len(done) == 20 and max(done) < started
    assert (billion / "checksums.txt").stat().st_size <= started * RECORD_SIZE
    # Resuming streams the records back: the recorded shards are kept as they are.
    times = {index: (billion / f"shard-{index:05d}.npz").stat().st_mtime_ns for index in done}
    resumed_billion, kept, _ = traced_run(monkeypatch, billion, 10**9, 1000)
    assert times == {index: (billion / f"shard-{index:05d}.npz").stat().st_mtime_ns for index in done}
    assert len(recorded(billion, 2000)) == 1020 and (billion / "manifest.json").stat().st_size < 1024
    # A million times the shards planned, fifty times the shards written: the same peak, within
    # what the interpreter's bounded caches take; and nothing kept per shard once the run ends
    # (a Path made of each shard's name would be: Python 3.12 keeps the names pathlib interns).
    assert fresh_billion < fresh_thousand + 64 * 1024, (fresh_billion, fresh_thousand)
    assert resumed_billion < resumed_thousand + 64 * 1024, (resumed_billion, resumed_thousand)
    assert kept < 16 * 1024
