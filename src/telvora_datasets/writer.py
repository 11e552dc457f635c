"""Writing a dataset: shards built in parallel, each written whole or not at all, resumable.

Memory stays the same whatever the number of shards: shards are handed out lazily, at most
_WINDOW per worker at a time, and each shard's record goes to its own place in checksums.txt
as it completes instead of into a structure held by the run. Paths of shards are plain strings:
pathlib interns every name it parses, and on Python 3.12 interned strings are never freed.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import errno
import fnmatch
import logging
import os
import secrets
import time
from collections.abc import Callable, Collection, Iterator
from pathlib import Path
from typing import Any, Protocol

from .errors import DatasetError, MissingExtraError
from .files import open_file, read_file
from .formats import FORMATS, encode, require_pyarrow
from .families import CompleteFamily, GraphFamily
from .limits import check_fits
from .manifest import (CHECKSUMS, DEFAULT_SHARD_SIZE, MANIFEST, RECORD_SIZE, Plan, ShardRecord, differences, dumps,
                       new_manifest, read_manifest_file, read_records, record_line, sha256_of)
from .records import build_columns
from .stats import shard_counts

_PARTIAL = ".partial"
_LOCK = ".lock"
_WINDOW = 2  # shards in flight per worker: one being built, one ready to start when it is done


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


@dataclasses.dataclass
class Report:
    """What a run of generate did, and what the dataset holds.

    Attributes
    ----------
    directory : pathlib.Path
        The dataset's directory.
    plan : Plan
        The dataset's parameters and shards.
    written, skipped : int
        Shards written by this run, and shards found intact from an earlier one.
    frameworks_written : int
        Frameworks or graphs written by this run.
    rigid : int
        Rigid frameworks or graphs in the dataset.
    independent_bars : int
        Edges labelled 1 in the dataset.
    seconds : float
        The run's wall time.
    edges : int
        Graph families: edges of every graph.
    maxwell_wrong : int
        Graph families: graphs whose rigidity Maxwell's count gets wrong.
    """

    directory: Path
    plan: Plan
    written: int  # shards written by this run
    skipped: int  # shards found intact from an earlier run
    frameworks_written: int
    rigid: int
    independent_bars: int
    seconds: float
    edges: int = 0  # graph families: edges of every graph
    maxwell_wrong: int = 0  # graph families: graphs whose rigidity Maxwell's count gets wrong

    def _rate(self, unit: str) -> str:
        """', 7,634 graphs/s', with three significant digits below 100 (2 graphs in 23 s are 0.087/s)."""
        if not self.written or self.seconds <= 0:
            return ""
        rate = self.frameworks_written / self.seconds
        return f", {rate:,.0f} {unit}/s" if rate >= 100 else f", {rate:.3g} {unit}/s"

    @property
    def summary(self) -> str:
        """The run and the dataset in one line, as the command prints it."""
        plan = self.plan
        skipped = f", {self.skipped} of {plan.shard_count} shards already done" if self.skipped else ""
        if plan.family is not None:
            rate = self._rate("graphs")
            family = plan.family
            independent = self.independent_bars / max(self.edges, 1)
            labels = (f"edge labels {independent:.1%} independent / {1 - independent:.1%} dependent"
                      if self.edges else "no edges")
            return (f"{plan.graphs:,} {family.name} graphs on {plan.nodes} vertices in {plan.dim}-D "
                    f"({family.positions} positions) in {self.directory}: {self.rigid / plan.graphs:.1%} rigid, "
                    f"Maxwell's count wrong on {self.maxwell_wrong / plan.graphs:.1%}, {labels}; "
                    f"{self.seconds:.2f} s{rate}{skipped}")
        independent = self.independent_bars / plan.bars
        rate = self._rate("frameworks")
        return (f"{plan.graphs:,} frameworks of {plan.nodes} points in {plan.dim}-D in {self.directory}: "
                f"{self.rigid / plan.graphs:.1%} rigid, bars {independent:.1%} independent / "
                f"{1 - independent:.1%} redundant; {self.seconds:.2f} s{rate}{skipped}")


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _fsync_directory(directory: str | Path) -> None:
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


def write_atomic(directory: str | Path, name: str, data: bytes) -> None:
    """Writes data to directory/name through a temporary file, so name is whole or absent."""
    final = os.path.join(directory, name)
    temporary = os.path.join(directory, f".{name}.{os.getpid()}-{secrets.token_hex(4)}{_PARTIAL}")
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
        raise OSError(error.errno, error.strerror or str(error), final) from error
    _fsync_directory(directory)


def make_shard(plan: Plan, index: int, directory: str | Path) -> tuple[int, ShardRecord]:
    """Builds and writes shard index of plan; returns its record."""
    start, count = plan.shard(index)
    if plan.family is None:
        columns = build_columns(plan.seed, start, count, plan.nodes, plan.dim)
        data = encode(columns, plan.format)
        record = plan.record(index, sha256_of(data), rigid=int(columns["is_rigid"].sum()),
                             independent_bars=int(columns["final_rank"].sum()))
    else:
        from .graph_records import build_graph_columns  # imports telvora_graphs, which only drawing needs

        columns = build_graph_columns(plan.family, plan.seed, start, count, plan.nodes, plan.dim)
        data = encode(columns, plan.format)
        wrong = (columns["n_edges"] >= columns["max_rank"]) & ~columns["is_rigid"]
        record = plan.record(index, sha256_of(data), rigid=int(columns["is_rigid"].sum()),
                             independent_bars=int(columns["rank"].sum()), edges=int(columns["n_edges"].sum()),
                             maxwell_wrong=int(wrong.sum()))
    del columns
    write_atomic(directory, plan.shard_name(index), data)
    return index, record


def _write_record(fd: int, directory: Path, index: int, record: ShardRecord) -> None:
    line = record_line(index, record)
    offset = index * len(line)  # RECORD_SIZE, or GRAPH_RECORD_SIZE for a graph family
    try:
        while line:  # in place: other records, and the memory of the run, are untouched
            written = os.pwrite(fd, line, offset)
            line, offset = line[written:], offset + written
    except OSError as error:
        raise OSError(error.errno, error.strerror, os.path.join(directory, CHECKSUMS)) from error


def _remove(directory: Path, patterns: list[str]) -> None:
    with os.scandir(directory) as entries:
        for entry in entries:
            if any(fnmatch.fnmatchcase(entry.name, pattern) for pattern in patterns):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(entry.path)


def _remove_partials(directory: Path) -> None:
    _remove(directory, [f".*{_PARTIAL}"])


def _remove_dataset(directory: Path) -> None:
    _remove(directory, [MANIFEST, CHECKSUMS] + [f"shard-*.{fmt}" for fmt in FORMATS])


@contextlib.contextmanager
def _locked(directory: Path) -> Iterator[None]:
    """Keeps a second run from writing into the same directory at the same time.

    A guard against mistakes, not a protocol: a run that opened the file just before the
    holder removed it would lock the removed file.
    """
    import fcntl

    fd = open_file(directory, _LOCK, os.O_RDWR | os.O_CREAT)
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


def _prepare(directory: Path, plan: Plan, overwrite: bool) -> bool:
    """Leaves in directory the manifest of plan, keeping the shards of an earlier run of the
    same dataset, or of a smaller one that this run grows; refuses anything else without overwrite.
    Returns whether the directory held no dataset before (so a run that fails before its first
    shard can leave it as it found it)."""
    _remove_partials(directory)
    if os.path.lexists(directory / MANIFEST):
        try:
            old = read_manifest_file(directory)
            found = differences(old, plan)
        except DatasetError as error:  # a link, a directory, not JSON: nothing to continue
            old, found = None, [f"it is not a dataset manifest: {error}"]
        if not found:
            if isinstance(old, dict) and old["parameters"] != plan.parameters():  # growing: incomplete until the new shards are in
                write_atomic(directory, MANIFEST, dumps(new_manifest(plan)))
            return False
        if not overwrite:
            raise DatasetError(f"{directory} holds a different dataset ({'; '.join(found)}); "
                               "choose another directory, or pass --overwrite to replace it")
        _remove_dataset(directory)
    elif any(not name.startswith(".") for name in os.listdir(directory)):
        if not overwrite:
            raise DatasetError(f"{directory} is not empty and holds no dataset; "
                               "choose an empty or new directory, or pass --overwrite to write into it")
        _remove_dataset(directory)
    write_atomic(directory, MANIFEST, dumps(new_manifest(plan)))
    return True


@dataclasses.dataclass
class _Tally:
    kept: int = 0  # shards found intact
    written: int = 0
    frameworks_written: int = 0
    rigid: int = 0
    independent_bars: int = 0
    edges: int = 0
    maxwell_wrong: int = 0

    def add(self, record: ShardRecord, written: bool) -> None:
        if written:
            self.written += 1
            self.frameworks_written += record["frameworks"]
        else:
            self.kept += 1
        self.rigid += record["rigid"]
        self.independent_bars += record["independent_bars"]
        self.edges += record.get("edges", 0)
        self.maxwell_wrong += record.get("maxwell_wrong", 0)

    def totals(self, plan: Plan) -> tuple[int, ...]:
        if plan.family is None:
            return self.rigid, self.independent_bars
        return self.rigid, self.independent_bars, self.edges, self.maxwell_wrong


def _intact(directory: Path, plan: Plan, index: int, record: ShardRecord | None) -> bool:
    """Whether shard index is its record's file and holds the counts its record says.

    The counts of checksums.txt lie outside the SHA-256, so they are recomputed from the shard's
    bytes, which the SHA-256 does cover: a record with other counts is no record of this shard.
    A file that is a link, not a regular file, or unreadable is not intact and is written again
    (write_atomic replaces the name, never what a link points to)."""
    if record is None:
        return False
    try:
        data = read_file(directory, plan.shard_name(index))
    except (OSError, DatasetError):
        return False
    if sha256_of(data) != record["sha256"]:
        return False
    counts = shard_counts(data, plan)
    return counts is not None and counts == (record["rigid"], record["independent_bars"],
                                             record.get("edges"), record.get("maxwell_wrong"))


def _pending(directory: Path, plan: Plan, keep: Callable[[ShardRecord], None]) -> Iterator[int]:
    """The shards to write, in order, found while streaming the records: a shard is kept when
    its record matches its file (checked as the run goes, so checking overlaps the writing)."""
    for index, record in enumerate(read_records(directory, plan)):
        if _intact(directory, plan, index, record):
            keep(record)  # type: ignore[arg-type]  # intact: not None
        else:
            yield index


class _Future(Protocol):
    def result(self) -> tuple[int, ShardRecord]: ...


Wait = Callable[[set[Any]], Collection[Any]]


def _drive(pending: Iterator[int], submit: Callable[[int], _Future], wait: Wait, window: int,
           in_flight: set[Any], record: Callable[[int, ShardRecord], None]) -> None:
    """Keeps at most window shards of pending in flight, recording each as it completes."""

    def collect() -> None:
        for future in wait(in_flight):
            in_flight.discard(future)
            record(*future.result())

    for index in pending:
        while len(in_flight) >= window:
            collect()
        in_flight.add(submit(index))
    while in_flight:
        collect()


def _run_threads(plan: Plan, directory: Path, pending: Iterator[int], workers: int,
                 record: Callable[[int, ShardRecord], None]) -> None:
    """Runs the pending shards on a thread pool (the batch releases the interpreter lock)."""
    in_flight: set[concurrent.futures.Future[tuple[int, ShardRecord]]] = set()

    def wait(futures: set[Any]) -> Collection[Any]:
        return concurrent.futures.wait(futures, return_when=concurrent.futures.FIRST_COMPLETED).done

    with concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="shard") as pool:
        try:
            _drive(pending, lambda index: pool.submit(make_shard, plan, index, directory), wait,
                   _WINDOW * workers, in_flight, record)
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            # Shards that finished while the run was stopping are written: keep them.
            for future in in_flight:
                if future.done() and not future.cancelled() and future.exception() is None:
                    record(*future.result())
            raise


def _require_distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise MissingExtraError("--scheduler needs dask distributed: pip install 'telvora[dask]'") from None
    return distributed


@contextlib.contextmanager
def _dask_client(scheduler: str, workers: int) -> Iterator[Any]:
    """A client of the scheduler at address scheduler, or of a LocalCluster of workers processes
    for "local". Connects before anything is written, so that a run that cannot reach its
    scheduler leaves nothing behind; the connection timeout is Dask's distributed.comm.timeouts.connect."""
    distributed = _require_distributed()
    cluster = None
    try:
        if scheduler == "local":
            cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=logging.ERROR)
            client = distributed.Client(cluster)
        else:
            client = distributed.Client(scheduler)
    except Exception as error:  # refused, timed out, or not an address: the message says which
        if cluster is not None:
            cluster.close()
        detail = " ".join(str(error).split()) or type(error).__name__
        raise DatasetError(f"cannot reach the Dask scheduler {scheduler}: {detail}") from None
    try:
        yield client
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _run_dask(client: Any, plan: Plan, directory: Path, pending: Iterator[int], workers: int,
              record: Callable[[int, ShardRecord], None]) -> None:
    distributed = _require_distributed()
    token = secrets.token_hex(4)
    window = _WINDOW * max(workers, sum(client.nthreads().values()))
    in_flight: set[Any] = set()

    def submit(index: int) -> Any:
        return client.submit(make_shard, plan, index, str(directory), pure=False, key=f"telvora-shard-{token}-{index}")

    def wait(futures: set[Any]) -> Collection[Any]:
        done: Collection[Any] = distributed.wait(futures, return_when="FIRST_COMPLETED").done
        return done

    try:
        _drive(pending, submit, wait, window, in_flight, record)
    finally:
        client.cancel(list(in_flight))


@dataclasses.dataclass(frozen=True)
class Options:
    """How `generate` writes a dataset; what it holds is the family's business.

    Parameters
    ----------
    shard_size : int
        Frameworks (or graphs) per shard (default 1000); recorded in the manifest.
    format : str
        ``"parquet"`` (default, needs pyarrow) or ``"npz"`` (NumPy only); recorded in the manifest.
    workers : int, optional
        Shards built at once: threads, or processes with ``scheduler="local"`` (default: every core).
    scheduler : str, optional
        None (a thread pool), ``"local"`` (a Dask LocalCluster of `workers` processes) or the
        address of a Dask scheduler (``tcp://host:port``).
    overwrite : bool
        Replace a different dataset found in the directory (a smaller one is grown without it).
    progress : bool
        Show a progress bar on stderr.

    Examples
    --------
    >>> Options(workers=1, format="npz")
    Options(shard_size=1000, format='npz', workers=1, scheduler=None, overwrite=False, progress=False)
    """

    shard_size: int = DEFAULT_SHARD_SIZE
    format: str = "parquet"
    workers: int | None = None
    scheduler: str | None = None
    overwrite: bool = False
    progress: bool = False


def generate(graphs: int, nodes: int, dim: int, seed: int, out: str | os.PathLike[str],
             family: GraphFamily | CompleteFamily = CompleteFamily(), options: Options = Options()) -> Report:
    """Writes a dataset to `out`, in shards, resuming or growing an earlier run of the same one.

    By default the frameworks of ``generate_training_batch(graphs, nodes, dim, seed)``; with a
    graph family, that many graphs of it labelled by telvora_graphs, graph k drawn from
    (seed, k) alone. Shards already written by an earlier run with the same parameters, and
    intact, are kept; an earlier run with fewer graphs and otherwise the same parameters is grown.

    Parameters
    ----------
    graphs : int
        Frameworks or graphs, 1 to 2**64 - 1.
    nodes : int
        Points (vertices) of each, 2 to 2**32 - 1.
    dim : int
        Dimension, 2 or 3.
    seed : int
        Seed of framework 0, 0 to 2**64 - 1.
    out : str or os.PathLike
        The dataset's directory, made if missing.
    family : GraphFamily or CompleteFamily
        What to draw (see `telvora_datasets.families`); `CompleteFamily()` by default.
    options : Options
        How to write it: shard size, format, workers, scheduler, overwrite, progress.

    Returns
    -------
    Report
        What the run did and what the dataset holds (`Report.summary` is one line).

    Raises
    ------
    OptionError
        For family parameters that cannot be drawn (a `DatasetError` and a `ValueError`).
    DatasetError
        For anything else that stops the run, with a readable message: a bad parameter, a plan
        too large for memory, a directory holding another dataset, a full disk.
    MissingExtraError
        When an optional dependency (pyarrow, dask) is missing.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> from telvora_datasets.families import GnmFamily
    >>> report = td.generate(50, 8, 2, 3, "/tmp/td-generate", GnmFamily(edges="2n-3", components=True),
    ...                      td.Options(workers=1, format="npz", overwrite=True))
    >>> report.plan.family.edges, report.written + report.skipped, report.summary.split(":")[0]
    (13, 1, '50 gnm graphs on 8 vertices in 2-D (generic positions) in /tmp/td-generate')
    """
    if not isinstance(family, (GraphFamily, CompleteFamily)):
        raise TypeError(f"family must be a family object such as GnmFamily(edges=...) or CompleteFamily(), "
                        f"not {type(family).__name__}; telvora_datasets.families.FAMILIES names them all")
    if not isinstance(options, Options):
        raise TypeError(f"options must be telvora_datasets.Options(...), not {type(options).__name__}")
    plan = Plan(graphs=graphs, nodes=nodes, dim=dim, seed=seed, shard_size=options.shard_size, format=options.format)
    plan = dataclasses.replace(plan, family=family.resolve(plan.nodes, plan.dim))
    workers, scheduler, overwrite, progress = options.workers, options.scheduler, options.overwrite, options.progress
    if plan.format == "parquet":
        require_pyarrow()
    workers = default_workers() if workers is None else workers
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise DatasetError(f"the number of workers must be an integer of at least 1 (got {workers!r})")
    # Before anything is written: the shards built at once here (each worker of a cluster builds
    # one at a time) must fit this machine's memory.
    check_fits(plan, workers if scheduler is None else 1)
    directory = Path(out).absolute()
    started = time.monotonic()
    tally = _Tally()
    with contextlib.ExitStack() as stack:
        client = None if scheduler is None else stack.enter_context(_dask_client(scheduler, workers))
        made = not directory.exists()
        try:
            directory.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise DatasetError(f"cannot create the directory {out}: {error.strerror or error}") from None
        fresh = False
        try:
            try:
                with _locked(directory):
                    fresh = _prepare(directory, plan, overwrite)
                    _write(plan, directory, workers, client, progress, tally)
            except DatasetError:
                if fresh and not tally.written:
                    # Refused before its first shard, in a directory that held no dataset: the same
                    # command would be refused again, so no manifest is left for info to call
                    # unfinished. (An interruption or a full disk leaves it: running again resumes.)
                    with contextlib.suppress(OSError):
                        _remove_dataset(directory)
                        if made:
                            directory.rmdir()
                raise
        except OSError as error:
            where = error.filename or directory
            hint = ""
            if error.errno in (errno.ENOSPC, errno.EDQUOT):
                hint = "; free some space and run the same command again to resume"
            raise DatasetError(f"cannot write {where}: {error.strerror or error}{hint}") from None
        except MemoryError:
            raise DatasetError(f"not enough memory for shards of {plan.shard_size} frameworks of {plan.nodes} "
                               "points; choose a smaller --shard-size or fewer --workers") from None
    return Report(directory=directory, plan=plan, written=tally.written, skipped=tally.kept,
                  frameworks_written=tally.frameworks_written, rigid=tally.rigid,
                  independent_bars=tally.independent_bars, seconds=time.monotonic() - started,
                  edges=tally.edges, maxwell_wrong=tally.maxwell_wrong)


def _write(plan: Plan, directory: Path, workers: int, client: Any, progress: bool, tally: _Tally) -> None:
    """Writes every shard of plan that is not intact, counting into tally, then completes the manifest."""
    bar = None
    if progress:
        from tqdm import tqdm  # type: ignore[import-untyped]

        unit = " frameworks" if plan.family is None else " graphs"
        bar = tqdm(total=plan.graphs, unit=unit, dynamic_ncols=True, smoothing=0.1)

    def count(record: ShardRecord, written: bool) -> None:
        tally.add(record, written)
        if bar is not None:
            bar.update(record["frameworks"])

    fd = open_file(directory, CHECKSUMS, os.O_RDWR | os.O_CREAT)

    def record(index: int, shard: ShardRecord) -> None:
        _write_record(fd, directory, index, shard)
        count(shard, written=True)

    try:
        pending = _pending(directory, plan, lambda shard: count(shard, written=False))
        if client is None:
            _run_threads(plan, directory, pending, workers, record)
        else:
            _run_dask(client, plan, directory, pending, workers, record)
        os.ftruncate(fd, plan.shard_count * plan.record_size)
        os.fsync(fd)
    finally:
        os.close(fd)
        if bar is not None:
            bar.close()
    write_atomic(directory, MANIFEST, dumps(new_manifest(plan, tally.totals(plan))))
