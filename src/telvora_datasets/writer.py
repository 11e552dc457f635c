"""Writing a dataset: shards built in parallel, each written whole or not at all, resumable."""

import concurrent.futures
import contextlib
import dataclasses
import errno
import json
import logging
import os
import secrets
import time
from pathlib import Path

from .errors import DatasetError, MissingExtraError
from .formats import FORMATS, encode, require_pyarrow
from .manifest import MANIFEST, DEFAULT_SHARD_SIZE, Plan, differences, dumps, new_manifest, sha256_file, sha256_of
from .records import build_columns

_PARTIAL = ".partial"
_LOCK = ".lock"
_MANIFEST_INTERVAL = 1.0  # seconds between manifest rewrites while shards complete


def default_workers():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


@dataclasses.dataclass
class Report:
    """What a run of generate did, and what the dataset holds."""

    directory: Path
    plan: Plan
    written: int  # shards written by this run
    skipped: int  # shards found intact from an earlier run
    frameworks_written: int
    rigid: int
    independent_bars: int
    seconds: float

    @property
    def summary(self):
        plan = self.plan
        independent = self.independent_bars / plan.bars
        rate = f", {self.frameworks_written / self.seconds:,.0f} frameworks/s" if self.written and self.seconds > 0 else ""
        skipped = f", {self.skipped} of {plan.shard_count} shards already done" if self.skipped else ""
        return (f"{plan.graphs:,} frameworks of {plan.nodes} points in {plan.dim}-D in {self.directory}: "
                f"{self.rigid / plan.graphs:.1%} rigid, bars {independent:.1%} independent / "
                f"{1 - independent:.1%} redundant; {self.seconds:.2f} s{rate}{skipped}")


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _fsync_directory(directory):
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot sync a directory; the rename is still atomic
    finally:
        os.close(fd)


def write_atomic(directory, name, data):
    """Writes data to directory/name through a temporary file, so name is whole or absent."""
    final = Path(directory) / name
    temporary = Path(directory) / f".{name}.{os.getpid()}-{secrets.token_hex(4)}{_PARTIAL}"
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            _write_all(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, final)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise OSError(error.errno, error.strerror or str(error), str(final)) from error
    _fsync_directory(directory)


def make_shard(plan, index, directory):
    """Builds and writes shard index of plan; returns what the manifest records of it."""
    start, count = plan.shard(index)
    columns = build_columns(plan.seed, start, count, plan.nodes, plan.dim)
    data = encode(columns, plan.format)
    entry = {"sha256": sha256_of(data), "rigid": int(columns["is_rigid"].sum()),
             "independent_bars": int(columns["final_rank"].sum())}
    del columns
    write_atomic(directory, plan.shard_name(index), data)
    return index, entry


def _remove_partials(directory):
    for path in directory.glob(f".*{_PARTIAL}"):
        with contextlib.suppress(FileNotFoundError):
            path.unlink()


def _remove_dataset(directory):
    for pattern in [MANIFEST] + [f"shard-*.{fmt}" for fmt in FORMATS]:
        for path in directory.glob(pattern):
            path.unlink()


@contextlib.contextmanager
def _locked(directory):
    """Keeps a second run from writing into the same directory at the same time.

    A guard against mistakes, not a protocol: a run that opened the file just before the
    holder removed it would lock the removed file.
    """
    import fcntl

    fd = os.open(directory / _LOCK, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
            os.close(fd)
            raise DatasetError(f"another run is writing {directory}; wait for it to end") from None
        # file systems without locks (some network mounts): go on unlocked
    try:
        yield
    finally:
        with contextlib.suppress(OSError):
            os.unlink(directory / _LOCK)  # leave no trace in a finished dataset
        os.close(fd)


def _prepare(directory, plan, overwrite):
    """The manifest to continue from, with the shards that are already done and intact."""
    _remove_partials(directory)
    fresh = new_manifest(plan)
    path = directory / MANIFEST
    if path.exists():
        try:
            old = json.loads(path.read_bytes())
        except ValueError:
            old = None
        found = differences(old, fresh)
        if not found:
            for entry in old["shards"]:
                if entry.get("sha256") is not None:
                    shard = directory / entry["file"]
                    if not shard.is_file() or sha256_file(shard) != entry["sha256"]:
                        entry.update(sha256=None, rigid=None, independent_bars=None)
            return old
        if not overwrite:
            raise DatasetError(f"{directory} holds a different dataset ({'; '.join(found)}); "
                               "choose another directory, or pass --overwrite to replace it")
        _remove_dataset(directory)
    elif any(not entry.name.startswith(".") for entry in directory.iterdir()):
        if not overwrite:
            raise DatasetError(f"{directory} is not empty and holds no dataset; "
                               "choose an empty or new directory, or pass --overwrite to write into it")
        _remove_dataset(directory)
    return fresh


def _run_threads(plan, directory, pending, workers, record):
    """Runs the pending shards on a thread pool (the batch releases the interpreter lock)."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="shard") as pool:
        futures = [pool.submit(make_shard, plan, index, directory) for index in pending]
        try:
            for future in concurrent.futures.as_completed(futures):
                record(*future.result())
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            # Shards that finished while the run was stopping are written: keep them.
            for future in futures:
                if future.done() and not future.cancelled() and future.exception() is None:
                    record(*future.result())
            raise


def _require_distributed():
    try:
        import distributed
    except ImportError:
        raise MissingExtraError("--scheduler needs dask distributed: pip install 'telvora[dask]'") from None
    return distributed


def _run_dask(plan, directory, pending, workers, scheduler, record):
    distributed = _require_distributed()
    cluster = None
    try:
        if scheduler == "local":
            cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=logging.ERROR)
            client = distributed.Client(cluster)
        else:
            client = distributed.Client(scheduler, timeout="30s")
    except (OSError, TimeoutError, ValueError) as error:
        if cluster is not None:
            cluster.close()
        raise DatasetError(f"cannot reach the Dask scheduler {scheduler}: {error}") from None
    token = secrets.token_hex(4)
    futures = [client.submit(make_shard, plan, index, str(directory), pure=False,
                             key=f"telvora-shard-{token}-{index}") for index in pending]
    try:
        for future in distributed.as_completed(futures):
            record(*future.result())
    finally:
        client.cancel(futures)
        client.close()
        if cluster is not None:
            cluster.close()


def generate(graphs, nodes, dim, seed, out, *, shard_size=DEFAULT_SHARD_SIZE, format="parquet",
             workers=None, scheduler=None, overwrite=False, progress=False):
    """Writes the dataset of generate_training_batch(graphs, nodes, dim, seed) to out, in shards.

    Shards already written by an earlier run with the same parameters, and intact, are kept.
    scheduler is None (a thread pool of `workers` threads, every core by default), "local"
    (a Dask LocalCluster of `workers` processes) or the address of a Dask scheduler.
    Returns a Report; raises DatasetError with a readable message when it cannot.
    """
    plan = Plan(graphs=graphs, nodes=nodes, dim=dim, seed=seed, shard_size=shard_size, format=format)
    if plan.format == "parquet":
        require_pyarrow()
    if scheduler is not None:
        _require_distributed()
    workers = default_workers() if workers is None else workers
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise DatasetError(f"the number of workers must be at least 1 (got {workers!r})")
    directory = Path(out).absolute()
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise DatasetError(f"cannot create the directory {out}: {error.strerror or error}") from None

    started = time.monotonic()
    try:
        with _locked(directory):
            manifest = _prepare(directory, plan, overwrite)
            write_atomic(directory, MANIFEST, dumps(manifest))
            shards = manifest["shards"]
            pending = [index for index, entry in enumerate(shards) if entry["sha256"] is None]
            skipped = len(shards) - len(pending)
            _run(plan, directory, manifest, pending, workers, scheduler, progress)
    except OSError as error:
        where = error.filename or directory
        hint = ""
        if error.errno in (errno.ENOSPC, errno.EDQUOT):
            hint = "; free some space and run the same command again to resume"
        raise DatasetError(f"cannot write {where}: {error.strerror or error}{hint}") from None
    except MemoryError:
        raise DatasetError(f"not enough memory for shards of {plan.shard_size} frameworks of {plan.nodes} "
                           "points; choose a smaller --shard-size or fewer --workers") from None
    return Report(directory=directory, plan=plan, written=len(pending), skipped=skipped,
                  frameworks_written=sum(shards[index]["frameworks"] for index in pending),
                  rigid=sum(entry["rigid"] for entry in shards),
                  independent_bars=sum(entry["independent_bars"] for entry in shards),
                  seconds=time.monotonic() - started)


def _run(plan, directory, manifest, pending, workers, scheduler, progress):
    shards = manifest["shards"]
    bar = None
    if progress:
        from tqdm import tqdm

        done = sum(entry["frameworks"] for entry in shards if entry["sha256"] is not None)
        bar = tqdm(total=plan.graphs, initial=done, unit=" frameworks", dynamic_ncols=True, smoothing=0.1)
    last_write = time.monotonic()

    def record(index, entry):
        nonlocal last_write
        if shards[index]["sha256"] is not None:
            return
        shards[index].update(entry)
        if bar is not None:
            bar.update(shards[index]["frameworks"])
        if time.monotonic() - last_write >= _MANIFEST_INTERVAL:
            write_atomic(directory, MANIFEST, dumps(manifest))
            last_write = time.monotonic()

    try:
        if scheduler is None:
            _run_threads(plan, directory, pending, workers, record)
        else:
            _run_dask(plan, directory, pending, workers, scheduler, record)
    except BaseException:
        # Keep what is done; if even this fails, the last manifest written stays valid and the
        # shards it lacks are redone on resume.
        with contextlib.suppress(OSError):
            write_atomic(directory, MANIFEST, dumps(manifest))
        raise
    finally:
        if bar is not None:
            bar.close()
    write_atomic(directory, MANIFEST, dumps(manifest))
