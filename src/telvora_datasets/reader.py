"""Reading a dataset back: its manifest, its shards, its records."""

import json
from pathlib import Path

from .errors import DatasetError
from .formats import columns_from_table, decode, read_parquet_table, require_pyarrow, to_table
from .manifest import MANIFEST, plan_of, sha256_of
from .records import iter_records


def read_manifest(path):
    """The manifest of the dataset in directory path."""
    file = Path(path) / MANIFEST
    try:
        manifest = json.loads(file.read_bytes())
    except FileNotFoundError:
        raise DatasetError(f"{path} holds no dataset ({MANIFEST} is missing)") from None
    except ValueError as error:
        raise DatasetError(f"{file} is not valid JSON ({error})") from None
    if not isinstance(manifest, dict) or manifest.get("dataset") != "telvora_datasets":
        raise DatasetError(f"{file} is not a dataset manifest")
    return manifest


def _shards(path):
    manifest = read_manifest(path)
    plan = plan_of(manifest)
    shards = manifest.get("shards") or []
    unfinished = sum(1 for entry in shards if entry.get("sha256") is None)
    if unfinished:
        raise DatasetError(f"{path} is incomplete: {unfinished} of {len(shards)} shards are not written yet; "
                           "run the same generate command again to finish it")
    return plan, shards


def _read_shard(path, entry, verify):
    file = Path(path) / entry["file"]
    try:
        data = file.read_bytes()
    except OSError as error:
        raise DatasetError(f"cannot read {file}: {error.strerror or error}") from None
    if verify and sha256_of(data) != entry["sha256"]:
        raise DatasetError(f"{file} does not match its checksum in {MANIFEST}; "
                           "run the same generate command again to rewrite it")
    return data


def load(path, *, as_table=False, verify=True):
    """The records of the dataset in directory path, in framework order.

    Each record is a dict: seed, n_nodes, d, coords (n_nodes x d), labels and distances (one
    per candidate edge (i, j), i < j, in lexicographic order), final_rank, max_rank, is_rigid.
    Returns an iterator reading one shard at a time, or with as_table=True one pyarrow Table
    of all shards. With verify, every shard is checked against its SHA-256 in the manifest.
    The manifest is checked before this returns; shards are read as the iterator advances.
    """
    plan, shards = _shards(path)
    if as_table:
        pa = require_pyarrow()
        tables = []
        for entry in shards:
            data = _read_shard(path, entry, verify)
            tables.append(read_parquet_table(data) if plan.format == "parquet" else to_table(decode(data, "npz")))
        return pa.concat_tables(tables)
    return _records(path, plan, shards, verify)


def _records(path, plan, shards, verify):
    for entry in shards:
        data = _read_shard(path, entry, verify)
        columns = columns_from_table(read_parquet_table(data)) if plan.format == "parquet" else decode(data, "npz")
        del data
        if len(columns["seed"]) != entry["frameworks"]:
            raise DatasetError(f"{entry['file']} holds {len(columns['seed'])} frameworks, "
                               f"the manifest says {entry['frameworks']}")
        yield from iter_records(columns)
