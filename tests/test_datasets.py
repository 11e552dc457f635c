"""telvora_datasets: sharded, resumable datasets of the batch, with regenerated coordinates."""

import errno
import hashlib
import io
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import reference
import telvora
from dataset_calls import generate
from telvora_datasets import DatasetError, framework_points, framework_seeds, load, read_manifest, writer
from telvora_datasets.cli import main
from telvora_datasets.formats import decode
from telvora_datasets.manifest import RECORD_SIZE, shard_records

MASK = 2**64 - 1
FIXTURE = Path(__file__).parent / "data" / "pyg_dataset"


def cli(capsys, *argv):
    try:
        code = main([str(arg) for arg in argv])
    except SystemExit as stop:  # argparse rejects bad arguments this way
        code = stop.code
    out, err = capsys.readouterr()
    return code, out, err


def snapshot(directory):
    return {path.name: path.read_bytes() for path in sorted(Path(directory).iterdir())}


def records(directory):
    """The shard records of a dataset, None for a shard without one."""
    return [record for _, record in shard_records(directory, read_manifest(directory))]


def generate_args(out, **change):
    args = {"--graphs": 8, "--nodes": 6, "--dim": 2, "--seed": 11, "--shard-size": 2, "--out": out, "--workers": 1}
    args.update(change)
    return ["generate", *[str(item) for pair in args.items() for item in pair]]


@pytest.mark.parametrize("d", [2, 3])
@pytest.mark.parametrize("seed", [0, 42, 2**63 - 1, MASK - 1])
def test_points_match_the_scalar_generator(seed, d):
    seeds = framework_seeds(seed, 1, 4)  # from MASK - 1 this crosses the wrap to 0
    assert [int(s) for s in seeds] == [(seed + 1 + k) & MASK for k in range(4)]
    points = framework_points(seeds, 7, d)
    assert points.shape == (4, 7, d) and points.dtype == np.float64
    for k, s in enumerate(seeds):
        assert points[k].tolist() == reference.random_points(7, d, int(s))


@pytest.mark.parametrize("state", [0, 2**33 - 1, 2**33, MASK])
def test_extreme_states_scale_into_zero_to_five(state):
    # The seed whose first step lands on `state`: s = (state - C) / A mod 2^64.
    seed = (state - reference.INCREMENT) * pow(reference.MULTIPLIER, -1, 2**64) & MASK
    value = framework_points([seed], 1, 2)[0, 0, 0]
    assert value == (float(state >> 33) / 4294967295.0) * 10.0 and 0.0 <= value < 5.0


@pytest.mark.parametrize("fmt", ["parquet", "npz"])
@pytest.mark.parametrize(("nodes", "dim", "seed"), [(4, 2, MASK - 3), (20, 2, 0), (4, 3, 2**63), (12, 3, MASK - 3),
                                                     (60, 3, 280)])
def test_records_reproduce_the_batch_bit_for_bit(tmp_path, fmt, nodes, dim, seed):
    graphs = 5
    generate(graphs, nodes, dim, seed, tmp_path, shard_size=2, format=fmt, workers=2)
    batch = telvora.generate_training_batch(graphs, nodes, dim, seed)
    records = list(load(tmp_path))
    upper = np.triu_indices(nodes, 1)
    assert [record["seed"] for record in records] == [(seed + k) & MASK for k in range(graphs)]
    for record, result in zip(records, batch, strict=True):
        assert record["coords"].shape == (nodes, dim) and (record["n_nodes"], record["d"]) == (nodes, dim)
        again = telvora.simulate(np.ascontiguousarray(record["coords"]), dim)
        assert again["labels"].tobytes() == result["labels"].tobytes() == record["labels"].tobytes()
        assert again["distance_matrix"].tobytes() == result["distance_matrix"].tobytes()
        assert record["distances"].tobytes() == result["distance_matrix"][upper].tobytes()
        assert [record[key] for key in ("final_rank", "max_rank", "is_rigid")] == \
            [result[key] for key in ("final_rank", "max_rank", "is_rigid")]
    table = load(tmp_path, as_table=True)
    assert table.column("seed").to_pylist() == [record["seed"] for record in records]
    assert table.column("coords").to_pylist() == [record["coords"].tolist() for record in records]
    assert table.column("distances").to_pylist() == [record["distances"].tolist() for record in records]


def test_shards_cut_the_batch_and_the_manifest_checks_them(tmp_path, capsys):
    code, out, _ = cli(capsys, *generate_args(tmp_path, **{"--graphs": 7, "--shard-size": 3, "--seed": "0xfffffffffffffffe",
                                                        "--format": "npz"}))
    assert code == 0
    manifest = read_manifest(tmp_path)
    assert manifest["parameters"] == {"graphs": 7, "nodes": 6, "dim": 2, "seed": MASK - 1, "shard_size": 3, "format": "npz"}
    entries = records(tmp_path)
    assert [(e["file"], e["first_framework"], e["frameworks"], e["first_seed"]) for e in entries] == [
        ("shard-00000.npz", 0, 3, MASK - 1), ("shard-00001.npz", 3, 3, 1), ("shard-00002.npz", 6, 1, 4)]
    assert sorted(snapshot(tmp_path)) == ["checksums.txt", "manifest.json", "shard-00000.npz", "shard-00001.npz",
                                          "shard-00002.npz"]
    assert (tmp_path / "checksums.txt").stat().st_size == 3 * RECORD_SIZE
    batch = telvora.generate_training_batch(7, 6, 2, MASK - 1)
    assert (manifest["complete"], manifest["rigid"], manifest["independent_bars"]) == (
        True, sum(result["is_rigid"] for result in batch), sum(int(result["labels"].sum()) for result in batch))
    for entry in entries:
        data = (tmp_path / entry["file"]).read_bytes()
        assert hashlib.sha256(data).hexdigest() == entry["sha256"]
        part = batch[entry["first_framework"]:entry["first_framework"] + entry["frameworks"]]
        assert entry["rigid"] == sum(result["is_rigid"] for result in part)
        assert entry["independent_bars"] == sum(int(result["labels"].sum()) for result in part)
    independent = sum(int(result["labels"].sum()) for result in batch) / (7 * 15)
    assert f"{independent:.1%} independent" in out and f"{sum(r['is_rigid'] for r in batch) / 7:.1%} rigid" in out
    assert cli(capsys, "info", tmp_path)[0] == 0
    (tmp_path / "shard-00001.npz").write_bytes(b"damaged")
    code, out, _ = cli(capsys, "info", tmp_path)
    assert code == 1 and "damaged: 1 of" in out
    with pytest.raises(DatasetError, match="checksum"):
        list(load(tmp_path))


@pytest.mark.parametrize("fmt", ["parquet", "npz"])
def test_reruns_give_identical_bytes_whatever_the_workers(tmp_path, fmt):
    generate(10, 8, 3, 5, tmp_path / "a", shard_size=3, format=fmt, workers=1)
    generate(10, 8, 3, 5, tmp_path / "b", shard_size=3, format=fmt, workers=2)
    assert snapshot(tmp_path / "a") == snapshot(tmp_path / "b")
    times = {p.name: p.stat().st_mtime_ns for p in (tmp_path / "a").glob("shard-*")}
    report = generate(10, 8, 3, 5, tmp_path / "a", shard_size=3, format=fmt, workers=2)
    assert (report.written, report.skipped) == (0, 4)
    assert times == {p.name: p.stat().st_mtime_ns for p in (tmp_path / "a").glob("shard-*")}
    assert snapshot(tmp_path / "a") == snapshot(tmp_path / "b")


SCRIPT = """
import os, sys, time
from telvora_datasets import writer
real, shards = writer._write_all, []
def recorded():
    return os.path.getsize(sys.argv[1] + "/checksums.txt") // writer.RECORD_SIZE
def write_all(fd, data):
    if bytes(data[:1]) != b"{":  # a shard, not the manifest
        shards.append(1)
        if len(shards) == 3:
            real(fd, data[: len(data) // 2])
            while recorded() < 2:  # let the main thread record the first two shards
                time.sleep(0.01)
            print("stalled", flush=True)
            time.sleep(120)
    real(fd, data)
writer._write_all = write_all
writer.generate(8, 6, 2, 11, sys.argv[1], options=writer.Options(shard_size=2, workers=1))
"""


def test_resume_after_a_kill_mid_shard(tmp_path):
    clean = tmp_path / "clean"
    generate(8, 6, 2, 11, clean, shard_size=2, workers=1)
    killed = tmp_path / "killed"
    with subprocess.Popen([sys.executable, "-c", SCRIPT, str(killed)], stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline().strip() == "stalled"
        finally:
            child.send_signal(signal.SIGKILL)
    assert [p.name.startswith(".shard-00002.parquet.") for p in killed.glob(".*.partial")] == [True]
    assert not (killed / "shard-00002.parquet").exists()
    assert [record is not None for record in records(killed)] == [True, True, False, False]
    with pytest.raises(DatasetError, match="incomplete"):
        load(killed)
    report = generate(8, 6, 2, 11, killed, shard_size=2, workers=2)
    assert (report.written, report.skipped) == (2, 2)
    assert snapshot(killed) == snapshot(clean)


@pytest.mark.parametrize(("damage", "index"), [
    ("truncated", 1), ("deleted", 1),
    ("unrecorded", 1), ("partial", 1),  # killed after the rename but before the record, or during the write
    ("torn record", 3), ("torn record", 1),  # a record cut short: the last one, or one left as a hole
    ("misplaced record", 1), ("foreign record", 1),  # another shard's record, a record of another size
])
def test_resume_redoes_only_shards_that_are_not_intact(tmp_path, damage, index):
    generate(8, 6, 2, 11, tmp_path / "clean", shard_size=2, format="npz", workers=1)
    directory = tmp_path / "damaged"
    generate(8, 6, 2, 11, directory, shard_size=2, format="npz", workers=1)
    shard = directory / f"shard-{index:05d}.npz"
    checksums = directory / "checksums.txt"
    lines = checksums.read_bytes()
    slot = slice(index * RECORD_SIZE, (index + 1) * RECORD_SIZE)
    if damage == "truncated":
        shard.write_bytes(shard.read_bytes()[:100])
    elif damage == "deleted":
        shard.unlink()
    elif damage in ("unrecorded", "partial"):
        checksums.write_bytes(lines[:index * RECORD_SIZE] + bytes(RECORD_SIZE) + lines[slot.stop:])
        if damage == "partial":
            (directory / f".{shard.name}.1-ab.partial").write_bytes(shard.read_bytes()[:100])
            shard.unlink()
    elif damage == "torn record":  # half of it written, then a hole or the end of the file
        torn = lines[slot][:RECORD_SIZE // 2]
        rest = b"" if index == 3 else bytes(RECORD_SIZE - len(torn)) + lines[slot.stop:]
        checksums.write_bytes(lines[:slot.start] + torn + rest)
    elif damage == "misplaced record":  # the next shard's record: a checksum that matches, were it not for its index
        checksums.write_bytes(lines[:slot.start] + lines[slot.stop:slot.stop + RECORD_SIZE] + lines[slot.stop:])
    else:  # a record saying 1 framework for a shard of 2, like the last shard of a dataset before it grew
        record = lines[slot][:21] + b"%20d" % 1 + lines[slot][41:]
        checksums.write_bytes(lines[:slot.start] + record + lines[slot.stop:])
    assert checksums.read_bytes() != lines or damage in ("truncated", "deleted")
    assert [record is not None for record in records(directory)] == [
        k != index or damage in ("truncated", "deleted") for k in range(4)]
    report = generate(8, 6, 2, 11, directory, shard_size=2, format="npz", workers=2)
    assert (report.written, report.skipped) == (1, 3)
    assert snapshot(directory) == snapshot(tmp_path / "clean")


@pytest.mark.parametrize(("change", "difference"), [
    ({"--graphs": 7}, "graphs 8 there, 7 asked"), ({"--seed": 12}, "seed 11 there, 12 asked"),
    ({"--nodes": 7}, "nodes 6 there, 7 asked"), ({"--dim": 3}, "dim 2 there, 3 asked"),
    ({"--shard-size": 3}, "shard_size 2 there, 3 asked"), ({"--format": "npz"}, "format 'parquet' there, 'npz' asked"),
])
def test_a_different_dataset_is_refused_unless_overwrite(tmp_path, capsys, change, difference):
    directory = tmp_path / "data"
    assert cli(capsys, *generate_args(directory))[0] == 0
    before = snapshot(directory)
    code, _, err = cli(capsys, *generate_args(directory, **change))
    assert code == 1 and "different dataset" in err and err.count("\n") == 1 and difference in err
    assert "--overwrite" in err and "Traceback" not in err
    assert snapshot(directory) == before
    assert cli(capsys, *generate_args(directory, **change), "--overwrite")[0] == 0
    assert cli(capsys, *generate_args(tmp_path / "expected", **change))[0] == 0
    assert snapshot(directory) == snapshot(tmp_path / "expected")


def test_a_dataset_grows_keeping_its_full_shards(tmp_path, capsys, monkeypatch):
    directory = tmp_path / "data"
    generate(5, 6, 2, 11, directory, shard_size=2, workers=1)  # the last of 3 shards holds 1 framework
    before = snapshot(directory)
    times = {name: (directory / name).stat().st_mtime_ns for name in before if name.startswith("shard")}
    real = writer.make_shard

    def interrupted(plan, index, out):  # stops the growth after its first shard
        if index == 3:
            raise KeyboardInterrupt
        return real(plan, index, out)

    monkeypatch.setattr(writer, "make_shard", interrupted)
    with pytest.raises(KeyboardInterrupt):
        generate(8, 6, 2, 11, directory, shard_size=2, workers=1)
    monkeypatch.undo()
    assert read_manifest(directory)["parameters"]["graphs"] == 8 and not read_manifest(directory)["complete"]
    with pytest.raises(DatasetError, match="incomplete"):
        load(directory)
    code, _, err = cli(capsys, *generate_args(directory, **{"--graphs": 5}))  # no going back to fewer
    assert code == 1 and "graphs 8 there, 5 asked: a dataset can grow but not shrink" in err
    report = generate(8, 6, 2, 11, directory, shard_size=2, workers=2)
    assert (report.written, report.skipped) == (1, 3)  # shard 2 was rewritten by the interrupted run
    generate(8, 6, 2, 11, tmp_path / "fresh", shard_size=2, workers=1)
    grown = snapshot(directory)
    assert grown == snapshot(tmp_path / "fresh")
    assert {name: before[name] == grown[name] for name in times} == {
        "shard-00000.parquet": True, "shard-00001.parquet": True, "shard-00002.parquet": False}
    assert all((directory / name).stat().st_mtime_ns == times[name] for name in ("shard-00000.parquet",
                                                                                "shard-00001.parquet"))
    assert [record["seed"] for record in load(directory)] == [11 + k for k in range(8)]


@pytest.mark.parametrize(("name", "content", "message"), [("notes.txt", b"mine", "holds no dataset"),
                                                          ("manifest.json", b"{not json", "not a dataset manifest")])
def test_a_directory_of_something_else_is_refused(tmp_path, capsys, name, content, message):
    (tmp_path / name).write_bytes(content)
    code, _, err = cli(capsys, *generate_args(tmp_path))
    assert code == 1 and message in err and sorted(snapshot(tmp_path)) == [name]
    assert cli(capsys, *generate_args(tmp_path), "--overwrite")[0] == 0
    assert (name == "notes.txt") == (tmp_path / "notes.txt").exists()  # only its own files are replaced
    assert len(list(load(tmp_path))) == 8


def test_a_second_run_on_the_same_directory_is_refused(tmp_path, capsys):
    import fcntl

    with open(tmp_path / ".lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        code, _, err = cli(capsys, *generate_args(tmp_path))
    assert code == 1 and "another run is writing" in err and not (tmp_path / "manifest.json").exists()


@pytest.mark.parametrize(("change", "message"), [
    ({"--dim": 4}, "dimension must be 2 or 3"), ({"--dim": 1}, "dimension must be 2 or 3"),
    ({"--graphs": 0}, "at least 1"), ({"--graphs": -3}, "at least 1"), ({"--graphs": "ten"}, "not an integer"),
    ({"--nodes": 1}, "at least 2"), ({"--shard-size": 0}, "at least 1"), ({"--workers": 0}, "at least 1"),
    ({"--seed": -1}, "from 0 to 2**64 - 1"), ({"--seed": 2**64}, "from 0 to 2**64 - 1"),
    ({"--format": "csv"}, "invalid choice"),
])
def test_bad_arguments_are_explained(tmp_path, capsys, change, message):
    code, _, err = cli(capsys, *generate_args(tmp_path / "out", **change))
    assert code == 2 and message in err and "Traceback" not in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("arguments", [{"graphs": 0}, {"nodes": 1}, {"dim": 4}, {"seed": 2**64}, {"seed": 1.5},
                                       {"shard_size": 0}, {"format": "csv"}, {"workers": 0},
                                       {"graphs": MASK, "shard_size": 1}])  # more records than a file holds
def test_the_python_interface_checks_its_arguments(tmp_path, arguments):
    values = {"graphs": 2, "nodes": 4, "dim": 2, "seed": 0, "out": tmp_path / "out"} | arguments
    with pytest.raises(DatasetError):
        generate(**values)
    assert not (tmp_path / "out").exists()


def test_unwritable_directories_are_reported(tmp_path, capsys, monkeypatch):
    (tmp_path / "file").write_text("")
    code, _, err = cli(capsys, *generate_args(tmp_path / "file" / "out"))
    assert code == 1 and "cannot create the directory" in err and "Not a directory" in err and "Traceback" not in err
    real_open = os.open

    def refuse(path, *args, **kwargs):  # root ignores file modes, so refuse by hand
        if str(path).startswith(str(tmp_path / "locked")):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(path))
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(os, "open", refuse)
    code, _, err = cli(capsys, *generate_args(tmp_path / "locked"))
    assert code == 1 and "Permission denied" in err and "Traceback" not in err


def test_a_full_disk_stops_cleanly_and_resumes(tmp_path, capsys, monkeypatch):
    real = writer._write_all
    shards = []

    def fill(fd, data):
        if bytes(data[:1]) != b"{":
            shards.append(1)
            if len(shards) >= 3:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        real(fd, data)

    monkeypatch.setattr(writer, "_write_all", fill)
    code, out, err = cli(capsys, *generate_args(tmp_path / "full"))
    assert code == 1 and "No space left on device" in err and "resume" in err and "Traceback" not in err
    assert sorted(snapshot(tmp_path / "full")) == ["checksums.txt", "manifest.json", "shard-00000.parquet",
                                                   "shard-00001.parquet"]
    assert [record is not None for record in records(tmp_path / "full")] == [True, True, False, False]
    monkeypatch.undo()
    assert cli(capsys, *generate_args(tmp_path / "full"))[0] == 0
    assert cli(capsys, *generate_args(tmp_path / "clean"))[0] == 0
    assert snapshot(tmp_path / "full") == snapshot(tmp_path / "clean")


def test_missing_extras_name_what_to_install(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "distributed", None)
    code, _, err = cli(capsys, *generate_args(tmp_path / "a"))
    assert code == 1 and "telvora[parquet]" in err and "--format npz" in err
    code, _, err = cli(capsys, *generate_args(tmp_path / "b", **{"--format": "npz", "--scheduler": "local"}))
    assert code == 1 and "telvora[dask]" in err
    assert cli(capsys, *generate_args(tmp_path / "c", **{"--format": "npz"}))[0] == 0  # NumPy is enough
    assert len(list(load(tmp_path / "c"))) == 8
    monkeypatch.setitem(sys.modules, "torch", None)
    from telvora_datasets import to_pyg

    with pytest.raises(ImportError, match=r"telvora\[pyg\]"):
        to_pyg(next(iter(load(tmp_path / "c"))))


def test_info_takes_a_manifest_and_says_when_there_is_no_dataset(tmp_path, capsys):
    directory = tmp_path / "data"
    assert cli(capsys, *generate_args(directory))[0] == 0
    code, out, _ = cli(capsys, "info", directory)
    assert code == 0 and "complete: " in out
    assert cli(capsys, "info", directory / "manifest.json") == (code, out, "")
    assert [record["seed"] for record in load(directory / "manifest.json")] == list(range(11, 19))
    for path, message in [(tmp_path / "missing", "missing does not exist"),
                          (directory / "shard-00000.parquet", "is a file, not a dataset directory"),
                          (tmp_path, "holds no dataset (manifest.json is missing)")]:
        code, out, err = cli(capsys, "info", path)
        assert (code, out) == (1, "") and message in err and err.count("\n") == 1


SHOW = ["show", "--nodes", "5", "--dim", "2", "--seed", "1"]


@pytest.mark.parametrize(("argv", "message"), [
    ([*SHOW, "-o", "{tmp}/picture.jpgg"], "'.jpgg' is not a picture format; end its name with one of "),
    ([*SHOW, "-o", "{tmp}/picture"], "it has no suffix"),
    ([*SHOW, "-o", "{tmp}/no/picture.png"], "there is no directory"),
    ([*SHOW, "-o", "{tmp}/taken.png"], "cannot use {tmp}/taken.png: Is a directory"),
    (["show", "--nodes", "5", "--dim", "3", "--seed", "1", "--pebbles", "-o", "{tmp}/p.png"], "use --dim 2"),
    (["summary", "{tmp}/missing", "-o", "{tmp}/s.png"], "missing does not exist"),
    (["summary", "{tmp}", "-o", "{tmp}/s.png"], "holds no dataset"),
    (["summary", "{tmp}/damaged", "-o", "{tmp}/s.png"], "does not match its checksum"),
    (["summary", "{tmp}/damaged", "-o", "{tmp}/s.pdff"], "not a picture format"),
    (["show", "--nodes", "5", "--dim", "2", "-o", "{tmp}/p.png"], "the following arguments are required: --seed"),
    (["generate", "--graphs", "2"], "the following arguments are required"),
    (["paint"], "invalid choice: 'paint'"),
    (["draw", "{tmp}"], "the following arguments are required: -o/--output"),
])
def test_every_command_error_is_one_line(tmp_path, capsys, argv, message):
    (tmp_path / "taken.png").mkdir()
    generate(4, 5, 2, 1, tmp_path / "damaged", shard_size=2, format="npz", workers=1)
    (tmp_path / "damaged" / "shard-00001.npz").write_bytes(b"damaged")
    before = sorted(path.name for path in tmp_path.iterdir())
    code, out, err = cli(capsys, *[arg.format(tmp=tmp_path) for arg in argv])
    assert code in (1, 2) and out == "" and err.count("\n") == 1 and "Traceback" not in err
    assert message.format(tmp=tmp_path) in err and err.startswith("telvora-datasets")
    assert sorted(path.name for path in tmp_path.iterdir()) == before  # no picture was started


def test_pictures_without_matplotlib_name_what_to_install(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.backend_bases", None)
    code, _, err = cli(capsys, *SHOW, "-o", tmp_path / "p.png")
    assert code == 1 and "telvora[plot]" in err and err.count("\n") == 1


@pytest.mark.parametrize("address", ["closed port", "nonsense"])
def test_a_run_that_cannot_reach_its_scheduler_leaves_nothing_behind(tmp_path, capsys, address):
    import socket

    import dask
    import distributed  # noqa: F401  # its defaults must be in dask's configuration before the change

    if address == "closed port":
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            address = f"tcp://127.0.0.1:{probe.getsockname()[1]}"
    generate(4, 6, 2, 11, tmp_path / "existing", shard_size=2, workers=1)
    before = snapshot(tmp_path / "existing")
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        for out, graphs in [(tmp_path / "new" / "data", 4), (tmp_path / "existing", 8)]:
            code, _, err = cli(capsys, *generate_args(out, **{"--graphs": graphs, "--scheduler": address}))
            assert code == 1 and f"cannot reach the Dask scheduler {address}: " in err and err.count("\n") == 1
    assert sorted(path.name for path in tmp_path.iterdir()) == ["existing"]
    assert snapshot(tmp_path / "existing") == before


@pytest.mark.parametrize(("column", "change", "message"), [
    ("coords", lambda a: a.astype(np.float32),
     "column coords has dtype float32, not float64; pass np.asarray(coords, dtype=np.float64)"),
    ("coords", lambda a: a.tolist(), "column coords is a list, not a NumPy array; pass np.asarray(coords, dtype=np.float64)"),
    ("labels", lambda a: a.astype(bool), "column labels has dtype bool, not uint8; pass np.asarray(labels, dtype=np.uint8)"),
    ("seed", lambda a: a.astype(np.int64), "column seed has dtype int64, not uint64"),
    ("distances", lambda a: a[:, 1:], "needs 2 rows in every column and 10 columns in labels and distances; found distances (2, 9)"),
    ("is_rigid", lambda a: a[:, None], "column is_rigid must have 1 dimension(s), not shape (2, 1)"),
])
@pytest.mark.parametrize("fmt", ["parquet", "npz"])
def test_shard_columns_of_a_wrong_kind_are_named_with_the_fix(fmt, column, change, message):
    import re

    from telvora_datasets.formats import encode
    from telvora_datasets.records import build_columns

    columns = build_columns(3, 0, 2, 5, 2)
    columns[column] = change(columns[column])
    with pytest.raises(TypeError if "dtype" in message or "list" in message else ValueError, match=re.escape(message)):
        encode(columns, fmt)


def test_numpy_integers_are_integers_and_floats_are_refused_with_the_fix(tmp_path):
    report = generate(np.int64(3), np.uint8(5), np.int32(2), np.uint64(MASK), tmp_path / "a", shard_size=np.int64(2))
    assert report.plan.parameters() == {"graphs": 3, "nodes": 5, "dim": 2, "seed": MASK, "shard_size": 2,
                                        "format": "parquet"}
    assert json.loads((tmp_path / "a" / "manifest.json").read_text())["parameters"]["seed"] == MASK
    with pytest.raises(DatasetError, match=r"graphs must be an integer, not float; pass int\(graphs\)"):
        generate(3.0, 5, 2, 1, tmp_path / "b")


def test_progress_bar_only_on_a_terminal(tmp_path, capsys, monkeypatch):
    code, out, err = cli(capsys, *generate_args(tmp_path / "a"))
    assert code == 0 and err == "" and out.count("\n") == 1 and "8 frameworks" in out
    assert cli(capsys, *generate_args(tmp_path / "b"), "--quiet")[1:] == ("", "")

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert main(generate_args(tmp_path / "c")) == 0
    assert "8/8" in terminal.getvalue() and "frameworks/s" in terminal.getvalue()


@pytest.mark.parametrize("scheduler", ["address", "local"])
def test_dask_cluster_writes_the_same_shards(tmp_path, capsys, scheduler):
    import logging

    import distributed

    generate(12, 10, 3, 77, tmp_path / "threads", shard_size=2, workers=2)
    args = generate_args(tmp_path / "dask", **{"--graphs": 12, "--nodes": 10, "--dim": 3, "--seed": 77, "--workers": 2})
    if scheduler == "local":
        assert cli(capsys, *args, "--scheduler", "local")[0] == 0
    else:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
            pids = set(client.run(os.getpid).values())
            assert len(pids) == 2 and os.getpid() not in pids
            with distributed.get_task_stream(client) as stream:
                assert cli(capsys, *args, "--scheduler", cluster.scheduler_address)[0] == 0
            assert sum(task["key"].startswith("telvora-shard") for task in stream.data) == 6
    assert snapshot(tmp_path / "dask") == snapshot(tmp_path / "threads")


def test_the_committed_pyg_fixture_is_what_generate_writes(tmp_path):
    manifest = read_manifest(FIXTURE)
    parameters = manifest["parameters"]
    fresh = tmp_path / "fresh"
    generate(parameters["graphs"], parameters["nodes"], parameters["dim"], parameters["seed"], fresh,
             shard_size=parameters["shard_size"], format=parameters["format"], workers=1)
    # Compared by content: compressed bytes may differ with another zlib. The fixture was written
    # in the first layout, whose manifest lists the shards: it must still load.
    def described(directory):
        return read_manifest(directory)["parameters"], [{k: v for k, v in e.items() if k != "sha256"}
                                                        for e in records(directory)]

    assert described(fresh) == described(FIXTURE)
    for entry in records(FIXTURE):
        ours = decode((FIXTURE / entry["file"]).read_bytes(), "npz")
        again = decode((fresh / entry["file"]).read_bytes(), "npz")
        assert all(ours[key].tobytes() == again[key].tobytes() for key in ours), (
            f"{FIXTURE} is stale: delete it and run telvora-datasets generate with its manifest's parameters")
    code = "import sys, telvora_datasets as t; from telvora_datasets import pyg; list(t.load(sys.argv[1])); " \
           "assert 'telvora' not in sys.modules"
    subprocess.run([sys.executable, "-c", code, str(FIXTURE)], check=True)
