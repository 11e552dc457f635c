"""Reading a dataset back: its manifest, its shards, its records."""

import contextlib
import os
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Literal, overload

from .errors import DatasetError
from .families import SPLITS
from .files import read_file
from .formats import (check_columns, check_graph_columns, columns_from_table, decode, is_graph_shard,
                      read_parquet_table, require_pyarrow, to_table)
from .manifest import MANIFEST, Manifest, ShardRecord, check_manifest, dataset_directory, is_complete, plan_of
from .manifest import read_manifest_file, sha256_of, written_records
from .records import Record, iter_graph_records, iter_records

if TYPE_CHECKING:
    import pyarrow as pa  # type: ignore[import-not-found, import-untyped, unused-ignore]

    from .manifest import Plan

PathLike = str | os.PathLike[str]


def read_manifest(path: PathLike) -> Manifest:
    """The manifest of a dataset, checked.

    Parameters
    ----------
    path : str or os.PathLike
        The dataset's directory, or its manifest.json.

    Returns
    -------
    Manifest
        The dataset's parameters, its shards with their SHA-256 and its summary.

    Raises
    ------
    DatasetError
        When there is no manifest or it is damaged.

    Examples
    --------
    >>> import tempfile
    >>> import telvora_datasets as td
    >>> out = tempfile.mkdtemp()
    >>> report = td.generate(2, 5, 2, 1, out, options=td.Options(workers=1, format="npz"))
    >>> manifest = td.read_manifest(out)
    >>> manifest["complete"], manifest["parameters"]["graphs"]
    (True, 2)
    """
    directory = dataset_directory(path)
    return check_manifest(read_manifest_file(directory), directory / MANIFEST)


def _shards(path: PathLike) -> tuple["Plan", Iterator[ShardRecord]]:
    manifest = read_manifest(path)
    plan = plan_of(manifest)
    if not is_complete(manifest):
        raise DatasetError(f"{path} is incomplete: the run writing it has not finished; "
                           "run the same generate command again to finish it")
    return plan, written_records(path, manifest)


def _read_shard(path: PathLike, entry: ShardRecord, verify: bool) -> bytes:
    file = os.path.join(path, entry["file"])  # not a Path, whose parsing keeps every name (see writer)
    try:
        data = read_file(path, entry["file"])
    except OSError as error:
        raise DatasetError(f"cannot read {file}: {error.strerror or error}") from None
    except MemoryError:
        raise DatasetError(f"cannot read {file}: {os.path.getsize(file):,} bytes do not fit in memory") from None
    if verify and sha256_of(data) != entry["sha256"]:
        raise DatasetError(f"{file} does not match its checksum; "
                           "run the same generate command again to rewrite it")
    return data


@contextlib.contextmanager
def _decoding(file: str) -> Iterator[None]:
    """Turns whatever decoding a damaged shard raises (pyarrow's errors, a bad zip archive, columns
    of other shapes) into DatasetError naming the shard."""
    try:
        yield
    except MemoryError:
        raise DatasetError(f"{file} does not fit in memory once decoded; "
                           "it is damaged, or load it on a larger machine") from None
    except Exception as error:
        detail = " ".join(str(error).split()) or type(error).__name__
        raise DatasetError(f"{file} is not a readable shard ({detail}); "
                           "run the same generate command again to rewrite it") from None


@overload
def load(path: PathLike, *, as_table: Literal[False] = False, verify: bool = True,
         split: str | None = None) -> Iterator[Record]: ...
@overload
def load(path: PathLike, *, as_table: Literal[True], verify: bool = True, split: None = None) -> "pa.Table": ...
@overload
def load(path: PathLike, *, as_table: bool, verify: bool = True,
         split: str | None = None) -> "Iterator[Record] | pa.Table": ...


def load(path: PathLike, *, as_table: bool = False, verify: bool = True,
         split: str | None = None) -> "Iterator[Record] | pa.Table":
    """The records of a dataset, in framework (or graph) order.

    Of the complete-graph frameworks a record holds seed, n_nodes, d, coords (n_nodes x d,
    float64), labels (uint8) and distances (float64), one per candidate edge (i, j), i < j, in
    lexicographic order, final_rank, max_rank and is_rigid. Of a graph family: index, seed,
    n_nodes, d, n_edges, edges (m x 2), labels and redundant per edge, rank, max_rank, dof,
    n_stresses, is_rigid, is_redundantly_rigid, and coords when it has points (see Record).
    The manifest is checked before this returns; shards are read as the iterator advances.

    Parameters
    ----------
    path : str or os.PathLike
        The dataset's directory, as generate wrote it.
    as_table : bool, default False
        Return one pyarrow Table of all shards instead of an iterator of records.
    verify : bool, default True
        Check every shard against its SHA-256 in the manifest as it is read.
    split : {"train", "validation", "test"}, optional
        Keep the graphs of that part of a dataset written with --split (records only).

    Returns
    -------
    iterator of Record or pyarrow.Table
        An iterator reading one shard at a time, or with ``as_table=True`` a table.

    Raises
    ------
    DatasetError
        When the directory holds no finished dataset, a shard is missing, damaged or does not
        match its checksum, or split is not one of the parts or the dataset has none.
    MissingExtraError
        When pyarrow is not installed.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> report = td.generate(3, 5, 2, 1, "/tmp/td-load", options=td.Options(workers=1, format="npz", overwrite=True))
    >>> [(record["n_nodes"], int(record["labels"].sum())) for record in td.load("/tmp/td-load")]
    [(5, 7), (5, 7), (5, 7)]
    """
    path = dataset_directory(path)
    plan, shards = _shards(path)
    if split is not None:
        if as_table:
            raise DatasetError("split applies to records; filter the table on its split column instead "
                               "(0 train, 1 validation, 2 test)")
        if split not in SPLITS:
            raise DatasetError(f"split must be one of {', '.join(SPLITS)} (got {split!r})")
        if plan.family is None or plan.family.split is None:
            raise DatasetError(f"{path} was not written with --split; load it whole")
    if as_table:
        pa = require_pyarrow()
        tables = []
        for entry in shards:
            data = _read_shard(path, entry, verify)
            with _decoding(os.path.join(path, entry["file"])):
                tables.append(read_parquet_table(data) if plan.format == "parquet" else to_table(decode(data, "npz")))
        with _decoding(f"the shards of {path}"):
            return pa.concat_tables(tables)
    return _records(path, plan, shards, verify, split)


def _records(path: PathLike, plan: "Plan", shards: Iterator[ShardRecord], verify: bool,
             split: str | None = None) -> Iterator[Record]:
    for entry in shards:
        data = _read_shard(path, entry, verify)
        with _decoding(os.path.join(path, entry["file"])):
            columns = columns_from_table(read_parquet_table(data)) if plan.format == "parquet" else decode(data, "npz")
            if is_graph_shard(columns) != (plan.family is not None):
                raise DatasetError("its columns are not those of this dataset's kind of shard")
            columns = check_graph_columns(columns) if plan.family is not None else check_columns(columns)
        del data
        if len(columns["seed"]) != entry["frameworks"]:
            raise DatasetError(f"{entry['file']} holds {len(columns['seed'])} frameworks, "
                               f"its record says {entry['frameworks']}")
        if plan.family is None:
            yield from iter_records(columns)
        elif split is None:
            yield from iter_graph_records(columns)
        else:
            yield from (record for record in iter_graph_records(columns)
                        if record["split"] == split)
