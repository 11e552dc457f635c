"""The dataset plan (parameters and shards), its manifest.json and the records of its shards.

manifest.json holds only the parameters and, once the dataset is complete, its totals: its size
does not depend on the number of shards. The SHA-256 and counts of each written shard are kept
in checksums.txt, one fixed-width line per shard at offset index * RECORD_SIZE, so that a run
writes a record in place as its shard completes and a reader streams them in shard order, both
in constant memory. A record torn by a crash fails to parse and its shard is written again.
"""

from __future__ import annotations

import dataclasses
import hashlib
import io
import json
import operator
import os
import re
from collections.abc import Iterator
from pathlib import Path
from typing import Any, BinaryIO, NotRequired, TypedDict

from . import __version__
from .errors import DatasetError
from .families import Family, family_from, maxwell_count
from .files import open_file, plain_name, read_file
from .formats import FORMATS, suffix
from .points import MASK

MANIFEST = "manifest.json"
CHECKSUMS = "checksums.txt"
DATASET = "telvora_datasets"
LAYOUT = 2  # bump when the shard columns or the bookkeeping change meaning; 1 listed every shard in the manifest
DEFAULT_SHARD_SIZE = 1000

# index, frameworks, SHA-256, rigid frameworks, independent bars; numbers right-aligned in 20 columns.
_RECORD = "{:>20} {:>20} {} {:>20} {:>20}\n"
RECORD_SIZE = 4 * 21 + 64 + 1
# Graph families add the shard's edges and the graphs whose rigidity Maxwell's count gets wrong.
_GRAPH_RECORD = "{:>20} {:>20} {} {:>20} {:>20} {:>20} {:>20}\n"
GRAPH_RECORD_SIZE = 6 * 21 + 64 + 1
# Record offsets must fit in a file offset (below 2**63): the only limit on the number of shards.
MAX_SHARDS = (2**63 - 1) // RECORD_SIZE
# Vertices are numbered in int64 and the n(n-1)/2 candidate pairs must be countable in int64 too.
MAX_NODES = 2**32 - 1
# A manifest of layout 2 takes under a kilobyte; one of layout 1 lists every shard in a line or so.
MANIFEST_LIMIT = 256 << 20


class Parameters(TypedDict):
    """The manifest's parameters; a graph family adds its own entries (Family.parameters)."""

    graphs: int
    nodes: int
    dim: int
    seed: int
    shard_size: int
    format: str


class ShardRecord(TypedDict):
    """What a dataset knows of one written shard."""

    file: str
    first_framework: int
    frameworks: int
    first_seed: int
    sha256: str
    rigid: int
    independent_bars: int
    edges: NotRequired[int]  # graph families: edges of the shard's graphs
    maxwell_wrong: NotRequired[int]  # graph families: graphs with at least max_rank edges that are flexible


class Manifest(TypedDict):
    dataset: str
    layout: int
    version: str
    parameters: Parameters
    complete: NotRequired[bool]  # layout 2: every shard written and recorded
    rigid: NotRequired[int | None]  # layout 2: totals, once complete
    independent_bars: NotRequired[int | None]
    edges: NotRequired[int | None]  # graph families: totals of the shards' records, once complete
    maxwell_wrong: NotRequired[int | None]
    shards: NotRequired[list[dict[str, Any]]]  # layout 1 only: every shard, sha256 None until written


def _integer(name: str, value: object) -> int:
    if isinstance(value, bool):
        raise DatasetError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]  # anything with __index__, NumPy integers too
    except TypeError:
        raise DatasetError(f"{name} must be an integer, not {type(value).__name__}; "
                           f"pass int({name}) if it holds a whole number") from None


@dataclasses.dataclass(frozen=True)
class Plan:
    """What a dataset holds: frameworks 0 .. graphs - 1, framework k seeded with seed + k; or with a
    family, graphs 0 .. graphs - 1 of that family, graph k drawn from (seed, k)."""

    graphs: int
    nodes: int
    dim: int
    seed: int
    shard_size: int = DEFAULT_SHARD_SIZE
    format: str = "parquet"
    family: Family | None = None

    def __post_init__(self) -> None:
        for name in ("graphs", "nodes", "dim", "seed", "shard_size"):
            object.__setattr__(self, name, _integer(name, getattr(self, name)))
        problems = []
        if self.graphs < 1 or self.graphs > MASK:
            problems.append(f"the number of frameworks must be from 1 to 2**64 - 1 (got {self.graphs})")
        if not 2 <= self.nodes <= MAX_NODES:
            problems.append(f"the number of points must be from 2 to 2**32 - 1 (got {self.nodes})")
        if self.dim not in (2, 3):
            problems.append(f"the dimension must be 2 or 3 (got {self.dim})")
        if not 0 <= self.seed <= MASK:
            problems.append(f"the seed must be from 0 to 2**64 - 1 (got {self.seed})")
        if self.shard_size < 1:
            problems.append(f"the shard size must be at least 1 (got {self.shard_size})")
        elif not problems and self.shard_count > (2**63 - 1) // self.record_size:
            problems.append(f"{self.graphs} frameworks in shards of {self.shard_size} make more than "
                            f"{(2**63 - 1) // self.record_size:,} "
                            "shards, more than a file can record; choose a larger shard size")
        if self.format not in FORMATS:
            problems.append(f"the format must be one of {', '.join(FORMATS)} (got {self.format!r})")
        if problems:
            raise DatasetError("; ".join(problems))

    @property
    def shard_count(self) -> int:
        return -(-self.graphs // self.shard_size)

    def shard(self, index: int) -> tuple[int, int]:
        """(first framework, number of frameworks) of shard index."""
        start = index * self.shard_size
        return start, min(self.shard_size, self.graphs - start)

    def shard_name(self, index: int) -> str:
        # Independent of the number of shards, so that a dataset keeps its names when it grows.
        return f"shard-{index:05d}{suffix(self.format)}"

    def parameters(self) -> Parameters:
        parameters = Parameters(graphs=self.graphs, nodes=self.nodes, dim=self.dim, seed=self.seed,
                                shard_size=self.shard_size, format=self.format)
        if self.family is not None:
            parameters.update(self.family.parameters())  # type: ignore[typeddict-item]
        return parameters

    @property
    def bars(self) -> int:
        """Candidate edges over the whole dataset (of the complete-graph frameworks)."""
        return self.graphs * (self.nodes * (self.nodes - 1) // 2)

    @property
    def maxwell_count(self) -> int:
        return maxwell_count(self.nodes, self.dim)

    def counts_possible(self, frameworks: int, rigid: int, independent: int, edges: int | None = None,
                        maxwell_wrong: int | None = None) -> bool:
        """Whether frameworks of this plan can have these counts: a rank never exceeds max_rank or the
        edges, Maxwell's count is wrong only on flexible graphs, and nothing is negative."""
        top = maxwell_count(self.nodes, self.dim)
        if not (0 <= rigid <= frameworks and 0 <= independent <= frameworks * top):
            return False
        if self.family is None:
            return edges is None and maxwell_wrong is None
        pairs = self.nodes * (self.nodes - 1) // 2
        return (edges is not None and maxwell_wrong is not None and independent <= edges <= frameworks * pairs
                and 0 <= maxwell_wrong <= frameworks - rigid)

    @property
    def record_size(self) -> int:
        return RECORD_SIZE if self.family is None else GRAPH_RECORD_SIZE

    def record(self, index: int, sha256: str, rigid: int, independent_bars: int, edges: int | None = None,
               maxwell_wrong: int | None = None) -> ShardRecord:
        start, count = self.shard(index)
        record = ShardRecord(file=self.shard_name(index), first_framework=start, frameworks=count,
                             first_seed=(self.seed + start) & MASK, sha256=sha256, rigid=rigid,
                             independent_bars=independent_bars)
        if self.family is not None:
            record["edges"] = edges or 0
            record["maxwell_wrong"] = maxwell_wrong or 0
        return record


def new_manifest(plan: Plan, totals: tuple[int, ...] | None = None) -> Manifest:
    """The manifest of plan: incomplete, or complete with totals (rigid, independent bars, and for
    a graph family edges and Maxwell's wrong verdicts)."""
    rigid, independent, *more = totals if totals is not None else (None, None, None, None)
    manifest = Manifest(dataset=DATASET, layout=LAYOUT, version=__version__, parameters=plan.parameters(),
                        complete=totals is not None, rigid=rigid, independent_bars=independent)
    if plan.family is not None:
        edges, wrong = more if len(more) == 2 else (None, None)
        manifest["edges"] = edges
        manifest["maxwell_wrong"] = wrong
    return manifest


def dumps(manifest: Manifest) -> bytes:
    return (json.dumps(manifest, indent=1) + "\n").encode()


def differences(old: object, plan: Plan) -> list[str]:
    """What keeps the dataset of manifest old from being continued as plan, as short phrases.

    A dataset may grow: only asking for fewer frameworks than it holds is a difference in graphs.
    """
    if not isinstance(old, dict) or old.get("dataset") != DATASET:
        return ["it is not a dataset manifest"]
    found = []
    if old.get("layout") != LAYOUT:
        found.append(f"layout {old.get('layout')!r} there, this version writes layout {LAYOUT}")
    if old.get("version") != __version__:
        found.append(f"version {old.get('version')!r} there, {__version__!r} here")
    parameters = old.get("parameters")
    there: dict[str, object] = parameters if isinstance(parameters, dict) else {}
    asked: dict[str, object] = dict(plan.parameters())
    for key, value in asked.items():
        held = there.get(key)
        if key == "graphs" and isinstance(held, int) and not isinstance(held, bool) and held >= 1:
            if held > plan.graphs:
                found.append(f"graphs {held} there, {plan.graphs} asked: a dataset can grow but not shrink")
        elif held != value:
            found.append(f"{key} {held!r} there, {value!r} asked")
    found += [f"{key} {there[key]!r} there, none asked" for key in there if key not in asked]
    return found


def plan_of(manifest: Manifest) -> Plan:
    """The plan a manifest was written for."""
    parameters = manifest.get("parameters")
    if not isinstance(parameters, dict):
        raise DatasetError("the manifest has no parameters")
    base: dict[str, Any] = {key: value for key, value in parameters.items()
                            if key in ("graphs", "nodes", "dim", "seed", "shard_size", "format")}
    missing = [key for key in ("graphs", "nodes", "dim", "seed", "shard_size", "format") if key not in base]
    if missing:
        raise DatasetError(f"the manifest's parameters lack {', '.join(missing)}")
    plan = Plan(**base)
    return dataclasses.replace(plan, family=family_from(parameters, plan.nodes, plan.dim))


def is_complete(manifest: Manifest) -> bool:
    if manifest.get("layout") == 1:
        shards = manifest.get("shards")
        return isinstance(shards, list) and all(isinstance(e, dict) and e.get("sha256") for e in shards)
    return manifest.get("complete") is True


def record_line(index: int, record: ShardRecord) -> bytes:
    numbers = [record["rigid"], record["independent_bars"]]
    if "edges" in record:
        numbers += [record["edges"], record.get("maxwell_wrong", 0)]
    template, size = (_RECORD, RECORD_SIZE) if len(numbers) == 2 else (_GRAPH_RECORD, GRAPH_RECORD_SIZE)
    line = template.format(index, record["frameworks"], record["sha256"], *numbers).encode()
    if len(line) != size:
        raise DatasetError(f"the record of shard {index} does not fit its {size} bytes: {line!r}")
    return line


def parse_record(plan: Plan, index: int, line: bytes) -> ShardRecord | None:
    """The record of shard index in line, or None if line is missing, torn or not of this plan's shard."""
    fields = line.split()
    numbers = 5 if plan.family is None else 7
    if len(line) != plan.record_size or not line.endswith(b"\n") or len(fields) != numbers or len(fields[2]) != 64:
        return None
    try:
        number, frameworks, rigid, independent, *more = (int(fields[k]) for k in range(numbers) if k != 2)
        sha256 = fields[2].decode("ascii")
        int(sha256, 16)
    except ValueError:
        return None
    if number != index or frameworks != plan.shard(index)[1]:
        return None  # e.g. the last shard before the dataset grew
    if not plan.counts_possible(frameworks, rigid, independent, *more):
        return None  # counts no shard of this plan can have: not a record the run wrote
    return plan.record(index, sha256, rigid, independent, *more)


def read_records(directory: str | os.PathLike[str], plan: Plan) -> Iterator[ShardRecord | None]:
    """For shards 0, 1, ... of plan in order: its record in checksums.txt, or None when it has none."""
    try:
        source: BinaryIO = os.fdopen(open_file(directory, CHECKSUMS), "rb")
    except FileNotFoundError:
        source = io.BytesIO()  # no shard written yet
    with source:
        for index in range(plan.shard_count):
            yield parse_record(plan, index, source.read(plan.record_size))


def present_records(directory: str | os.PathLike[str], plan: Plan) -> Iterator[tuple[int, ShardRecord | None]]:
    """(index, record or None) of the shards whose place in checksums.txt holds data, in order.

    Unlike read_records this skips what was never written (the holes a run leaves between records
    written out of order, and everything past the file's end), so a plan of any size is gone
    through in the time its written records take."""
    try:
        fd = open_file(directory, CHECKSUMS)
    except FileNotFoundError:
        return
    size = plan.record_size
    try:
        index = 0
        while index < plan.shard_count:
            line = os.pread(fd, size, index * size)
            if not line:
                return
            if not line.strip(b"\0") and hasattr(os, "SEEK_DATA"):  # in a hole: on to the next data
                try:
                    index = max(index + 1, os.lseek(fd, index * size, os.SEEK_DATA) // size)
                except OSError:  # ENXIO: no data after this
                    return
                continue
            yield index, parse_record(plan, index, line)
            index += 1
    finally:
        os.close(fd)


def shard_records(directory: str | os.PathLike[str], manifest: Manifest) -> Iterator[tuple[str, ShardRecord | None]]:
    """(file name, record or None) of every shard of the dataset of manifest, in order; either layout."""
    plan = plan_of(manifest)
    if manifest.get("layout") == 1:  # written by an earlier version: the manifest lists the shards
        shards = manifest.get("shards")
        if not isinstance(shards, list) or len(shards) != plan.shard_count:
            raise DatasetError(f"the manifest lists {len(shards) if isinstance(shards, list) else 'no'} shards, "
                               f"its parameters make {plan.shard_count}")
        for index, entry in enumerate(shards):
            yield _listed_shard(plan, index, entry)
        return
    for index, record in enumerate(read_records(directory, plan)):
        yield plan.shard_name(index), record


def _listed_shard(plan: Plan, index: int, entry: object) -> tuple[str, ShardRecord | None]:
    """(file name, record or None) of entry index of a layout-1 manifest's shard list, checked."""
    if not isinstance(entry, dict):
        raise DatasetError(f"entry {index} of the manifest's shard list is not an object")
    name = plain_name(entry.get("file"), f"the file of shard {index} in the manifest,")
    if not entry.get("sha256"):
        return name, None
    start, count = plan.shard(index)
    numbers = {key: entry.get(key) for key in ("first_framework", "frameworks", "first_seed", "rigid",
                                                "independent_bars")}
    sha256 = entry.get("sha256")
    if (not all(type(value) is int for value in numbers.values()) or not isinstance(sha256, str)
            or re.fullmatch("[0-9a-f]{64}", sha256) is None
            or (numbers["first_framework"], numbers["frameworks"], numbers["first_seed"])
            != (start, count, (plan.seed + start) & MASK)
            or not plan.counts_possible(count, numbers["rigid"], numbers["independent_bars"])):  # type: ignore[arg-type]
        raise DatasetError(f"the manifest's entry for shard {index} ({name}) is not one this dataset's "
                           "parameters give; the manifest is damaged")
    return name, plan.record(index, sha256, numbers["rigid"], numbers["independent_bars"])  # type: ignore[arg-type]


def written_records(directory: str | os.PathLike[str], manifest: Manifest) -> Iterator[ShardRecord]:
    """The records of every shard of a complete dataset, in order; a shard without one is an error."""
    for name, record in shard_records(directory, manifest):
        if record is None:
            raise DatasetError(f"{Path(directory) / name} has no intact record in {CHECKSUMS}; "
                               "run the same generate command again to rewrite it")
        yield record


def dataset_directory(path: str | os.PathLike[str]) -> Path:
    """The directory of the dataset at path: path itself, or the directory of a manifest.json given."""
    path = Path(path)
    if path.is_dir():
        return path
    if path.name == MANIFEST and path.is_file():
        return path.parent
    if not path.exists():
        raise DatasetError(f"{path} does not exist; give a dataset directory")
    raise DatasetError(f"{path} is a file, not a dataset directory; give its directory or its {MANIFEST}")


def sha256_of(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def read_manifest_file(directory: str | os.PathLike[str]) -> object:
    """The parsed JSON of directory's manifest.json, unchecked: DatasetError when it is not a
    regular file of the directory, too large, or not JSON (nesting too deep for the parser included)."""
    try:
        data = read_file(directory, MANIFEST, MANIFEST_LIMIT)
    except FileNotFoundError:
        raise DatasetError(f"{directory} holds no dataset ({MANIFEST} is missing)") from None
    file = os.path.join(directory, MANIFEST)
    try:
        return json.loads(data)
    except RecursionError:
        raise DatasetError(f"{file} is nested too deeply to be a dataset manifest") from None
    except ValueError as error:  # UnicodeDecodeError too
        raise DatasetError(f"{file} is not valid JSON ({error})") from None


def check_manifest(manifest: object, file: str | os.PathLike[str]) -> Manifest:
    """manifest, once it is a dataset manifest this version reads: known layout, parameters that
    make a plan, totals in range. DatasetError names the first problem."""
    if not isinstance(manifest, dict) or manifest.get("dataset") != DATASET:
        raise DatasetError(f"{file} is not a dataset manifest")
    layout = manifest.get("layout")
    if type(layout) is not int or layout not in (1, LAYOUT):
        raise DatasetError(f"{file} has layout {layout!r}, which this version ({__version__}) does not read")
    if not isinstance(manifest.get("version"), str):
        raise DatasetError(f"{file} names no version of {DATASET}")
    plan = plan_of(manifest)  # type: ignore[arg-type]
    if layout == 1:  # every shard named up front: a name leaving the directory is refused before any read
        for _ in shard_records(file.parent if isinstance(file, Path) else Path(file).parent, manifest):  # type: ignore[arg-type]
            pass
    if layout == LAYOUT:
        if type(manifest.get("complete", False)) is not bool:
            raise DatasetError(f"{file}: 'complete' must be true or false")
        names = ("rigid", "independent_bars") + (("edges", "maxwell_wrong") if plan.family is not None else ())
        totals = [manifest.get(name) for name in names]
        if any(total is not None and type(total) is not int for total in totals) or (
                manifest.get("complete") is True
                and (None in totals or not plan.counts_possible(plan.graphs, *totals))):  # type: ignore[arg-type]
            raise DatasetError(f"{file}: the totals {', '.join(f'{n} {t!r}' for n, t in zip(names, totals))} "
                               f"are not those of {plan.graphs:,} graphs of {plan.nodes} points; the manifest "
                               "is damaged")
    return manifest  # type: ignore[return-value]
