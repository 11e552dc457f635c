"""Shard encodings: Parquet through pyarrow, or NPZ with nothing beyond NumPy.

A shard is a set of columns, one row per framework or graph; both encodings are byte-for-byte
deterministic for the same library versions (fixed compression, no timestamps). Shards of graph
families hold one list per graph in their per-edge columns: Parquet lists, or in NPZ the edges of
every graph one after the other with `edge_offsets` (graph g owns rows offsets[g] .. offsets[g+1]-1).
"""

from __future__ import annotations

import io
import zipfile
from collections.abc import Collection, Mapping
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from .errors import DatasetError, MissingExtraError

FORMATS = ("parquet", "npz")
# Each column's dtype and number of dimensions (the first is the framework).
DTYPES: dict[str, tuple[type[np.generic], int]] = {
    "seed": (np.uint64, 1), "n_nodes": (np.int64, 1), "d": (np.int64, 1), "coords": (np.float64, 3),
    "labels": (np.uint8, 2), "distances": (np.float64, 2), "final_rank": (np.int64, 1), "max_rank": (np.int64, 1),
    "is_rigid": (np.bool_, 1),
}
COLUMNS = tuple(DTYPES)
Columns = dict[str, NDArray[Any]]

# The columns of a graph family's shard, in file order; OPTIONAL ones are there when the dataset asks.
GRAPH_DTYPES: dict[str, tuple[type[np.generic], int]] = {
    "index": (np.uint64, 1), "seed": (np.uint64, 1), "n_nodes": (np.int64, 1), "d": (np.int64, 1),
    "n_edges": (np.int64, 1), "rank": (np.int64, 1), "max_rank": (np.int64, 1), "dof": (np.int64, 1),
    "n_stresses": (np.int64, 1), "is_rigid": (np.bool_, 1), "is_redundantly_rigid": (np.bool_, 1),
    "is_globally_rigid": (np.bool_, 1), "split": (np.uint8, 1), "attempt": (np.int64, 1),
    "coords": (np.float64, 3), "edge_offsets": (np.int64, 1), "edges": (np.int64, 2), "labels": (np.uint8, 1),
    "redundant": (np.bool_, 1), "component": (np.int64, 1), "component_offsets": (np.int64, 1),
    "components": (np.int64, 2),
}
OPTIONAL = ("is_globally_rigid", "split", "attempt", "coords", "component", "component_offsets", "components")
PER_EDGE = ("edges", "labels", "redundant", "component")
# Rigid components: graph g owns the (component, vertex) pairs of rows component_offsets[g] ..
# component_offsets[g+1]-1 of `components`, components numbered from 0 within the graph.
PER_MEMBER = ("components",)
_LIST_LIMIT = 2**31 - 1  # Parquet lists here have 32-bit offsets

_ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip entry can carry


def require_pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped]
        import pyarrow.parquet  # type: ignore[import-untyped]
    except ImportError:
        # A dependency of the package, so missing only from an install without dependencies.
        raise MissingExtraError(
            "the Parquet format needs pyarrow, which is not installed here: pip install 'pyarrow>=16' "
            "(or pip install 'telvora[parquet]'), or use --format npz") from None
    return pyarrow


def suffix(fmt: str) -> str:
    return "." + fmt



def _checked_column(name: str, value: object, dtype: Any, ndim: int) -> NDArray[Any]:
    """value when it is a NumPy array of that dtype and number of dimensions; else the error names
    what was found and the fix."""
    fix = f"np.asarray({name}, dtype=np.{dtype.__name__})"
    if not isinstance(value, np.ndarray):
        raise TypeError(f"column {name} is a {type(value).__name__}, not a NumPy array; pass {fix}")
    if value.dtype != dtype:
        raise TypeError(f"column {name} has dtype {value.dtype}, not {np.dtype(dtype)}; pass {fix}")
    if value.ndim != ndim:
        raise ValueError(f"column {name} must have {ndim} dimension(s), not shape {value.shape}")
    return value

def check_columns(columns: Mapping[str, object]) -> Columns:
    """The columns of a shard, checked: each a NumPy array of its dtype (see DTYPES), one row per
    framework, and coords, labels and distances of matching sizes."""
    missing = [name for name in COLUMNS if name not in columns]
    if missing:
        raise DatasetError(f"a shard needs the columns {', '.join(missing)} too")
    checked: Columns = {}
    for name, (dtype, ndim) in DTYPES.items():
        checked[name] = _checked_column(name, columns[name], dtype, ndim)
    count, n_nodes, d = checked["coords"].shape
    edges = n_nodes * (n_nodes - 1) // 2
    wrong = [f"{name} {array.shape}" for name, array in checked.items()
             if len(array) != count or (array.ndim == 2 and array.shape[1] != edges)]
    if wrong:
        raise ValueError(f"coords of shape {(count, n_nodes, d)} needs {count} rows in every column and "
                         f"{edges} columns in labels and distances; found {', '.join(wrong)}")
    return checked


def is_graph_shard(names: Collection[str]) -> bool:
    """Whether columns of these names are a graph family's (edges listed per graph)."""
    return "edges" in names


def check_graph_columns(columns: Mapping[str, object]) -> Columns:
    """The columns of a graph family's shard, checked like check_columns: dtypes of GRAPH_DTYPES,
    one row per graph, edge_offsets from 0 to the number of edges, one row per edge in PER_EDGE."""
    missing = [name for name in GRAPH_DTYPES if name not in columns and name not in OPTIONAL]
    if missing:
        raise DatasetError(f"a shard of graphs needs the columns {', '.join(missing)} too")
    checked: Columns = {}
    for name, (dtype, ndim) in GRAPH_DTYPES.items():
        if name not in columns:
            continue
        checked[name] = _checked_column(name, columns[name], dtype, ndim)
    count = len(checked["index"])
    edges = _rows_owned(checked["edge_offsets"], count, "edge_offsets")
    members = -1
    if ("components" in checked) != ("component_offsets" in checked):
        raise DatasetError("components and component_offsets come together")
    if "components" in checked:
        members = _rows_owned(checked["component_offsets"], count, "component_offsets")
    wrong = [f"{name} {array.shape}" for name, array in checked.items()
             if name not in ("edge_offsets", "component_offsets")
             and len(array) != (edges if name in PER_EDGE else members if name in PER_MEMBER else count)]
    for name in ("edges", "components"):
        if name in checked and checked[name].shape[1:] != (2,):
            wrong.append(f"{name} {checked[name].shape}")
    if wrong:
        raise ValueError(f"{count} graphs of {edges} edges in all need {count} rows per graph column and {edges} "
                         f"rows of edges, labels and redundant; found {', '.join(wrong)}")
    return checked


def _rows_owned(offsets: NDArray[np.int64], count: int, name: str) -> int:
    """The rows that offsets (count + 1 entries rising from 0) hand out to count graphs."""
    if len(offsets) != count + 1 or offsets[0] != 0 or np.any(np.diff(offsets) < 0):
        raise ValueError(f"{name} must rise from 0 in {count + 1} entries, one more than the graphs")
    return int(offsets[-1])


def encode(columns: Mapping[str, object], fmt: str) -> bytes:
    """The bytes of a shard holding columns (see DTYPES, or GRAPH_DTYPES) in format fmt."""
    if fmt not in FORMATS:
        raise DatasetError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")
    checked = check_graph_columns(columns) if is_graph_shard(columns) else check_columns(columns)
    return _encode_parquet(checked) if fmt == "parquet" else _encode_npz(checked)


def decode(data: bytes | BinaryIO, fmt: str) -> Columns:
    """The columns of a shard from its bytes (or a binary file)."""
    if fmt == "parquet":
        return columns_from_table(read_parquet_table(data))
    if fmt == "npz":
        return _decode_npz(data)
    raise DatasetError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")


def _encode_npz(columns: Columns) -> bytes:
    names = [name for name in GRAPH_DTYPES if name in columns] if is_graph_shard(columns) else COLUMNS
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name in names:
            array = np.ascontiguousarray(columns[name])
            member = io.BytesIO()
            np.lib.format.write_array(member, array, allow_pickle=False)
            info = zipfile.ZipInfo(name + ".npy", date_time=_ZIP_EPOCH)
            # Random doubles shrink by a few percent at a high cost in time: store them as they are.
            info.compress_type = zipfile.ZIP_STORED if array.dtype.kind == "f" else zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, member.getvalue(), compresslevel=6)
    return buffer.getvalue()


def _decode_npz(data: bytes | BinaryIO) -> Columns:
    source = io.BytesIO(data) if isinstance(data, (bytes, bytearray, memoryview)) else data
    with np.load(source, allow_pickle=False) as archive:
        if is_graph_shard([name.removesuffix(".npy") for name in archive.files]):
            names = [name for name in GRAPH_DTYPES if name in archive.files]
            return {name: archive[name] for name in names}
        missing = [name for name in COLUMNS if name not in archive.files]
        if missing:
            raise DatasetError(f"shard lacks the columns {', '.join(missing)}")
        return {name: archive[name] for name in COLUMNS}


def _graph_table(columns: Mapping[str, object]) -> Any:
    """A pyarrow table of a graph family's columns: per-edge values as a list per graph."""
    pa = require_pyarrow()
    checked = check_graph_columns(columns)
    offsets = checked["edge_offsets"]
    for name, what in (("edge_offsets", "edges"), ("component_offsets", "component members")):
        if name in checked and checked[name][-1] > _LIST_LIMIT:
            raise DatasetError(f"a shard of {checked[name][-1]} {what} is more than Parquet lists here hold "
                               f"({_LIST_LIMIT}); choose a smaller --shard-size")
    starts = pa.array(offsets.astype(np.int32))
    table: dict[str, Any] = {}
    for name, array in checked.items():
        if name in ("edge_offsets", "component_offsets"):
            continue
        if name == "coords":
            count, n_nodes, d = array.shape
            values = pa.array(np.ascontiguousarray(array).reshape(-1))
            table[name] = pa.FixedSizeListArray.from_arrays(pa.FixedSizeListArray.from_arrays(values, d), n_nodes)
        elif name in ("edges", "components"):
            pairs = pa.FixedSizeListArray.from_arrays(pa.array(np.ascontiguousarray(array).reshape(-1)), 2)
            owned = starts if name == "edges" else pa.array(checked["component_offsets"].astype(np.int32))
            table[name] = pa.ListArray.from_arrays(owned, pairs)
        elif name in PER_EDGE:
            table[name] = pa.ListArray.from_arrays(starts, pa.array(array))
        else:
            table[name] = pa.array(array)
    return pa.table(table)


def _graph_columns_from_table(table: Any) -> Columns:
    count = table.num_rows
    if count == 0:
        raise DatasetError("shard holds no graphs")
    columns: Columns = {}
    for name in GRAPH_DTYPES:
        if name not in table.column_names:
            continue
        array = table.column(name).combine_chunks()
        if name in PER_EDGE or name in PER_MEMBER:
            owner = "edge_offsets" if name in PER_EDGE else "component_offsets"
            if owner not in columns:
                columns[owner] = array.offsets.to_numpy().astype(np.int64)
            array = array.flatten()
        while hasattr(array, "flatten"):
            array = array.flatten()
        values = array.to_numpy(zero_copy_only=False)
        if name == "coords":
            values = values.reshape(count, int(columns["n_nodes"][0]), int(columns["d"][0]))
        elif name in ("edges", "components"):
            values = values.reshape(-1, 2)
        columns[name] = values
    return {name: columns[name] for name in GRAPH_DTYPES if name in columns}


def to_table(columns: Mapping[str, object]) -> Any:
    """A pyarrow table of the columns; points and per-edge values as fixed-size lists (lists per
    graph for a graph family)."""
    if is_graph_shard(columns):
        return _graph_table(columns)
    pa = require_pyarrow()
    checked = check_columns(columns)
    coords = checked["coords"]
    count, n_nodes, d = coords.shape
    edges = checked["labels"].shape[1]

    def fixed(values: NDArray[Any], *sizes: int) -> Any:
        array = pa.array(np.ascontiguousarray(values).reshape(-1))
        for size in reversed(sizes):
            array = pa.FixedSizeListArray.from_arrays(array, size)
        return array

    return pa.table({
        "seed": pa.array(checked["seed"], type=pa.uint64()),
        "n_nodes": pa.array(checked["n_nodes"], type=pa.int64()),
        "d": pa.array(checked["d"], type=pa.int64()),
        "coords": fixed(coords, n_nodes, d),
        "labels": fixed(checked["labels"].astype(np.uint8, copy=False), edges),
        "distances": fixed(checked["distances"], edges),
        "final_rank": pa.array(checked["final_rank"], type=pa.int64()),
        "max_rank": pa.array(checked["max_rank"], type=pa.int64()),
        "is_rigid": pa.array(checked["is_rigid"], type=pa.bool_()),
    })


def columns_from_table(table: Any) -> Columns:
    """NumPy columns of a table written by to_table."""
    if is_graph_shard(table.column_names):
        return _graph_columns_from_table(table)
    missing = [name for name in COLUMNS if name not in table.column_names]
    if missing:
        raise DatasetError(f"shard lacks the columns {', '.join(missing)}")
    count = table.num_rows
    if count == 0:
        raise DatasetError("shard holds no frameworks")

    def flat(name: str) -> NDArray[Any]:
        array = table.column(name).combine_chunks()
        while hasattr(array, "flatten"):
            array = array.flatten()
        values: NDArray[Any] = array.to_numpy(zero_copy_only=False)
        return values

    scalars = {name: table.column(name).to_numpy() for name in ("seed", "n_nodes", "d", "final_rank", "max_rank")}
    n_nodes, d = int(scalars["n_nodes"][0]), int(scalars["d"][0])
    return {
        **scalars,
        "coords": flat("coords").reshape(count, n_nodes, d),
        "labels": flat("labels").reshape(count, -1),
        "distances": flat("distances").reshape(count, -1),
        "is_rigid": table.column("is_rigid").to_numpy(zero_copy_only=False),
    }


def _encode_parquet(columns: Columns) -> bytes:
    require_pyarrow()
    import pyarrow.parquet as pq

    buffer = io.BytesIO()
    pq.write_table(to_table(columns), buffer, compression="zstd", compression_level=1,
                   use_dictionary=False, write_statistics=True)
    return buffer.getvalue()


def read_parquet_table(data: bytes | BinaryIO) -> Any:
    require_pyarrow()
    import pyarrow.parquet as pq

    source = io.BytesIO(data) if isinstance(data, (bytes, bytearray, memoryview)) else data
    return pq.read_table(source)
