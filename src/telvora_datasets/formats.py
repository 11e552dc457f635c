"""Shard encodings: Parquet through pyarrow, or NPZ with nothing beyond NumPy.

A shard is a set of columns, one row per framework; both encodings are byte-for-byte
deterministic for the same library versions (fixed compression, no timestamps).
"""

from __future__ import annotations

import io
import zipfile
from collections.abc import Mapping
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


def check_columns(columns: Mapping[str, object]) -> Columns:
    """The columns of a shard, checked: each a NumPy array of its dtype (see DTYPES), one row per
    framework, and coords, labels and distances of matching sizes."""
    missing = [name for name in COLUMNS if name not in columns]
    if missing:
        raise DatasetError(f"a shard needs the columns {', '.join(missing)} too")
    checked: Columns = {}
    for name, (dtype, ndim) in DTYPES.items():
        value = columns[name]
        fix = f"np.asarray({name}, dtype=np.{dtype.__name__})"
        if not isinstance(value, np.ndarray):
            raise TypeError(f"column {name} is a {type(value).__name__}, not a NumPy array; pass {fix}")
        if value.dtype != dtype:
            raise TypeError(f"column {name} has dtype {value.dtype}, not {np.dtype(dtype)}; pass {fix}")
        if value.ndim != ndim:
            raise ValueError(f"column {name} must have {ndim} dimension(s), not shape {value.shape}")
        checked[name] = value
    count, n_nodes, d = checked["coords"].shape
    edges = n_nodes * (n_nodes - 1) // 2
    wrong = [f"{name} {array.shape}" for name, array in checked.items()
             if len(array) != count or (array.ndim == 2 and array.shape[1] != edges)]
    if wrong:
        raise ValueError(f"coords of shape {(count, n_nodes, d)} needs {count} rows in every column and "
                         f"{edges} columns in labels and distances; found {', '.join(wrong)}")
    return checked


def encode(columns: Mapping[str, object], fmt: str) -> bytes:
    """The bytes of a shard holding columns (see DTYPES) in format fmt."""
    if fmt == "parquet":
        return _encode_parquet(check_columns(columns))
    if fmt == "npz":
        return _encode_npz(check_columns(columns))
    raise DatasetError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")


def decode(data: bytes | BinaryIO, fmt: str) -> Columns:
    """The columns of a shard from its bytes (or a binary file)."""
    if fmt == "parquet":
        return columns_from_table(read_parquet_table(data))
    if fmt == "npz":
        return _decode_npz(data)
    raise DatasetError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")


def _encode_npz(columns: Columns) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name in COLUMNS:
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
        missing = [name for name in COLUMNS if name not in archive.files]
        if missing:
            raise DatasetError(f"shard lacks the columns {', '.join(missing)}")
        return {name: archive[name] for name in COLUMNS}


def to_table(columns: Mapping[str, object]) -> Any:
    """A pyarrow table of the columns; points and per-edge values as fixed-size lists."""
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
