"""The dataset plan (parameters and shards) and its manifest.json."""

import dataclasses
import hashlib
import json

from . import __version__
from .errors import DatasetError
from .formats import FORMATS, suffix
from .points import _MASK

MANIFEST = "manifest.json"
LAYOUT = 1  # bump when the shard columns or the manifest change meaning
DEFAULT_SHARD_SIZE = 1000
MAX_SHARDS = 1_000_000  # the manifest lists every shard


@dataclasses.dataclass(frozen=True)
class Plan:
    """What a dataset holds: frameworks 0 .. graphs - 1, framework k seeded with seed + k."""

    graphs: int
    nodes: int
    dim: int
    seed: int
    shard_size: int = DEFAULT_SHARD_SIZE
    format: str = "parquet"

    def __post_init__(self):
        problems = []
        for name in ("graphs", "nodes", "dim", "seed", "shard_size"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                problems.append(f"{name} must be an integer, not {type(value).__name__}")
        if problems:
            raise DatasetError("; ".join(problems))
        if self.graphs < 1 or self.graphs > _MASK:
            problems.append(f"the number of frameworks must be from 1 to 2**64 - 1 (got {self.graphs})")
        if self.nodes < 2:
            problems.append(f"the number of points must be at least 2 (got {self.nodes})")
        if self.dim not in (2, 3):
            problems.append(f"the dimension must be 2 or 3 (got {self.dim})")
        if not 0 <= self.seed <= _MASK:
            problems.append(f"the seed must be from 0 to 2**64 - 1 (got {self.seed})")
        if self.shard_size < 1:
            problems.append(f"the shard size must be at least 1 (got {self.shard_size})")
        elif self.graphs >= 1 and -(-self.graphs // self.shard_size) > MAX_SHARDS:
            problems.append(f"{self.graphs} frameworks in shards of {self.shard_size} make more than {MAX_SHARDS:,} "
                            "shards; choose a larger shard size")
        if self.format not in FORMATS:
            problems.append(f"the format must be one of {', '.join(FORMATS)} (got {self.format!r})")
        if problems:
            raise DatasetError("; ".join(problems))

    @property
    def shard_count(self):
        return -(-self.graphs // self.shard_size)

    def shard(self, index):
        """(first framework, number of frameworks) of shard index."""
        start = index * self.shard_size
        return start, min(self.shard_size, self.graphs - start)

    def shard_name(self, index):
        width = max(5, len(str(self.shard_count - 1)))
        return f"shard-{index:0{width}d}{suffix(self.format)}"

    def parameters(self):
        return dataclasses.asdict(self)

    @property
    def bars(self):
        """Candidate edges over the whole dataset."""
        return self.graphs * (self.nodes * (self.nodes - 1) // 2)


def new_manifest(plan):
    shards = []
    for index in range(plan.shard_count):
        start, count = plan.shard(index)
        shards.append({
            "file": plan.shard_name(index),
            "first_framework": start,
            "frameworks": count,
            "first_seed": (plan.seed + start) & _MASK,
            "sha256": None,
            "rigid": None,
            "independent_bars": None,
        })
    return {"dataset": "telvora_datasets", "layout": LAYOUT, "version": __version__,
            "parameters": plan.parameters(), "shards": shards}


def dumps(manifest):
    return (json.dumps(manifest, indent=1) + "\n").encode()


def differences(old, new):
    """What makes manifest old describe another dataset than new, as short phrases."""
    if not isinstance(old, dict) or old.get("dataset") != "telvora_datasets":
        return ["it is not a dataset manifest"]
    found = []
    for key in ("layout", "version"):
        if old.get(key) != new[key]:
            found.append(f"{key} {old.get(key)!r} instead of {new[key]!r}")
    old_parameters = old.get("parameters") if isinstance(old.get("parameters"), dict) else {}
    for key, value in new["parameters"].items():
        if old_parameters.get(key) != value:
            found.append(f"{key} {old_parameters.get(key)!r} instead of {value!r}")
    if not found:
        keys = ("file", "first_framework", "frameworks", "first_seed")
        shards = old.get("shards")
        if not isinstance(shards, list) or len(shards) != len(new["shards"]) or any(
                not isinstance(a, dict) or any(a.get(k) != b[k] for k in keys)
                for a, b in zip(shards, new["shards"])):
            found.append("its shard list does not match the parameters")
    return found


def plan_of(manifest):
    """The plan a manifest was written for."""
    try:
        return Plan(**manifest["parameters"])
    except (KeyError, TypeError) as error:
        raise DatasetError(f"the manifest's parameters are unreadable ({error})") from None


def sha256_of(data):
    return hashlib.sha256(data).hexdigest()


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
