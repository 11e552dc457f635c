"""Shard encodings: Parquet through pyarrow, or NPZ with nothing beyond NumPy.

A shard is a set of columns, one row per framework; both encodings are byte-for-byte
deterministic for the same library versions (fixed compression, no timestamps).
"""

import io
import zipfile

import numpy as np

from .errors import DatasetError, MissingExtraError

FORMATS = ("parquet", "npz")
COLUMNS = ("seed", "n_nodes", "d", "coords", "labels", "distances", "final_rank", "max_rank", "is_rigid")

_ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip entry can carry


def require_pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise MissingExtraError(
            "the Parquet format needs pyarrow: install it with pip install 'telvora[parquet]', "
            "or use --format npz") from None
    return pyarrow


def suffix(fmt):
    return "." + fmt


def encode(columns, fmt):
    """The bytes of a shard holding columns (see COLUMNS) in format fmt."""
    if fmt == "parquet":
        return _encode_parquet(columns)
    if fmt == "npz":
        return _encode_npz(columns)
    raise DatasetError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")


def decode(data, fmt):
    """The columns of a shard from its bytes (or a binary file)."""
    if fmt == "parquet":
        return columns_from_table(read_parquet_table(data))
    if fmt == "npz":
        return _decode_npz(data)
    raise DatasetError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")


def _encode_npz(columns):
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


def _decode_npz(data):
    source = io.BytesIO(data) if isinstance(data, (bytes, bytearray, memoryview)) else data
    with np.load(source, allow_pickle=False) as archive:
        missing = [name for name in COLUMNS if name not in archive.files]
        if missing:
            raise DatasetError(f"shard lacks the columns {', '.join(missing)}")
        return {name: archive[name] for name in COLUMNS}


def to_table(columns):
    """A pyarrow table of the columns; points and per-edge values as fixed-size lists."""
    pa = require_pyarrow()
    coords = columns["coords"]
    count, n_nodes, d = coords.shape
    edges = columns["labels"].shape[1]

    def fixed(values, *sizes):
        array = pa.array(np.ascontiguousarray(values).reshape(-1))
        for size in reversed(sizes):
            array = pa.FixedSizeListArray.from_arrays(array, size)
        return array

    return pa.table({
        "seed": pa.array(columns["seed"], type=pa.uint64()),
        "n_nodes": pa.array(columns["n_nodes"], type=pa.int64()),
        "d": pa.array(columns["d"], type=pa.int64()),
        "coords": fixed(coords, n_nodes, d),
        "labels": fixed(columns["labels"].astype(np.uint8, copy=False), edges),
        "distances": fixed(columns["distances"], edges),
        "final_rank": pa.array(columns["final_rank"], type=pa.int64()),
        "max_rank": pa.array(columns["max_rank"], type=pa.int64()),
        "is_rigid": pa.array(columns["is_rigid"], type=pa.bool_()),
    })


def columns_from_table(table):
    """NumPy columns of a table written by to_table."""
    missing = [name for name in COLUMNS if name not in table.column_names]
    if missing:
        raise DatasetError(f"shard lacks the columns {', '.join(missing)}")
    count = table.num_rows
    if count == 0:
        raise DatasetError("shard holds no frameworks")

    def flat(name):
        array = table.column(name).combine_chunks()
        while hasattr(array, "flatten"):
            array = array.flatten()
        return array.to_numpy(zero_copy_only=False)

    scalars = {name: table.column(name).to_numpy() for name in ("seed", "n_nodes", "d", "final_rank", "max_rank")}
    n_nodes, d = int(scalars["n_nodes"][0]), int(scalars["d"][0])
    return {
        **scalars,
        "coords": flat("coords").reshape(count, n_nodes, d),
        "labels": flat("labels").reshape(count, -1),
        "distances": flat("distances").reshape(count, -1),
        "is_rigid": table.column("is_rigid").to_numpy(zero_copy_only=False),
    }


def _encode_parquet(columns):
    require_pyarrow()
    import pyarrow.parquet as pq

    buffer = io.BytesIO()
    pq.write_table(to_table(columns), buffer, compression="zstd", compression_level=1,
                   use_dictionary=False, write_statistics=True)
    return buffer.getvalue()


def read_parquet_table(data):
    require_pyarrow()
    import pyarrow.parquet as pq

    source = io.BytesIO(data) if isinstance(data, (bytes, bytearray, memoryview)) else data
    return pq.read_table(source)
