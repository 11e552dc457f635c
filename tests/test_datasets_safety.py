"""Damaged, hostile or huge datasets: every one is refused with DatasetError (or one line of the
command) and leaves what is good, and everything outside the dataset's directory, untouched."""

import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

from dataset_calls import generate
from telvora_datasets import DatasetError, load, read_manifest, regenerate
from telvora_datasets import generators, limits, writer
from telvora_datasets.cli import main
from telvora_datasets.manifest import RECORD_SIZE, Plan, record_line, shard_records
from telvora_datasets.stats import dataset_statistics
from telvora_datasets.streams import POSITIONS, draws, graph_keys, unit

FIXTURE = Path(__file__).parent / "data" / "pyg_dataset"  # written in layout 1: the manifest lists the shards
ARGS = dict(shard_size=2, workers=1)


def cli(capsys, *argv):
    try:
        code = main([str(arg) for arg in argv])
    except SystemExit as stop:
        code = stop.code
    out, err = capsys.readouterr()
    return code, out, err


def snapshot(directory):
    return {path.name: path.read_bytes() for path in sorted(Path(directory).iterdir()) if path.is_file()}


def complete_dataset(directory, fmt="parquet"):
    generate(8, 6, 2, 11, directory, format=fmt, **ARGS)
    return directory


def family_dataset(directory):
    generate(8, 8, 2, 5, directory, family="gnm", edges="2n-3", **ARGS)
    return directory


def readers(directory):
    """Every way of reading a dataset, each run to its end."""
    return {
        "load": lambda: list(load(directory)),
        "as_table": lambda: load(directory, as_table=True),
        "unverified": lambda: list(load(directory, verify=False)),
        "statistics": lambda: dataset_statistics(directory),
        "regenerate": lambda: regenerate(directory, 0),
    }


def assert_refused(capsys, directory, pattern, *, everywhere=True):
    """Every reader raises DatasetError matching pattern; info says so in one line, status 1."""
    for name, read in readers(directory).items():
        if name != "regenerate" or everywhere:
            with pytest.raises(DatasetError, match=pattern):
                read()
    code, out, err = cli(capsys, "info", directory)
    assert code == 1 and "Traceback" not in err and (err.count("\n") == 1 or "damaged:" in out or "incomplete:" in out), (out, err)


# --- Files outside the directory --------------------------------------------------------------


@pytest.mark.parametrize("name", ["../outside/x.parquet", "../../outside/x.parquet", "../../../../etc/hostname",
                                  "/etc/hostname", "sub/shard-00000.npz", "..", "", None, 7])
def test_a_manifest_naming_a_file_elsewhere_is_refused(tmp_path, capsys, name):
    directory = tmp_path / "a" / "b" / "data"
    shutil.copytree(FIXTURE, directory)
    assert len(list(load(directory))) == 7  # the layout-1 fixture as it is loads
    outside = tmp_path / "a" / "outside"
    outside.mkdir()
    shutil.copy(directory / "shard-00001.npz", outside / "x.parquet")  # a valid shard, were it inside
    manifest = json.loads((directory / "manifest.json").read_bytes())
    manifest["shards"][1]["file"] = name
    (directory / "manifest.json").write_text(json.dumps(manifest))
    for read in readers(directory).values():
        with pytest.raises(DatasetError, match="not a file name inside the dataset's directory"):
            read()
    code, _, err = cli(capsys, "info", directory)
    assert code == 1 and repr(name) in err and err.count("\n") == 1


@pytest.mark.parametrize("fmt", ["parquet", "npz"])
def test_a_shard_linked_to_a_file_elsewhere_is_refused_and_rewritten_in_place(tmp_path, capsys, fmt):
    clean = complete_dataset(tmp_path / "clean", fmt)
    directory = complete_dataset(tmp_path / "data", fmt)
    shard = directory / f"shard-00001.{fmt}"
    outside = tmp_path / f"elsewhere.{fmt}"
    shutil.move(shard, outside)  # the very bytes the record names: only the link is wrong
    shard.symlink_to(outside)
    before = outside.read_bytes()
    assert_refused(capsys, directory, "symbolic link", everywhere=False)
    report = generate(8, 6, 2, 11, directory, format=fmt, **ARGS)
    assert (report.written, report.skipped) == (1, 3)
    assert not shard.is_symlink() and outside.read_bytes() == before
    assert snapshot(directory) == snapshot(clean)


@pytest.mark.parametrize("name", ["checksums.txt", "manifest.json", ".lock"])
def test_bookkeeping_linked_elsewhere_is_never_written_through(tmp_path, name):
    directory = complete_dataset(tmp_path / "data")
    target = tmp_path / "precious.txt"
    if name == ".lock":  # a dangling link: following it would create the file
        (directory / name).symlink_to(target)
    else:
        target.write_bytes((directory / name).read_bytes())
        (directory / name).unlink()
        (directory / name).symlink_to(target)
    before = target.read_bytes() if target.exists() else None
    with pytest.raises(DatasetError, match="symbolic link"):
        generate(8, 6, 2, 11, directory, **ARGS)
    with pytest.raises(DatasetError, match="symbolic link"):
        generate(10, 6, 2, 11, directory, **ARGS)  # growing writes every kind of bookkeeping
    assert (target.read_bytes() if target.exists() else None) == before


@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_bookkeeping_that_is_not_a_file_is_refused(tmp_path, capsys, kind):
    directory = complete_dataset(tmp_path / "data")
    good = snapshot(directory)
    checksums = directory / "checksums.txt"
    checksums.unlink()
    checksums.mkdir() if kind == "directory" else os.mkfifo(checksums)  # a FIFO would block a plain open
    del good["checksums.txt"]
    for read in (lambda: list(load(directory)), lambda: generate(8, 6, 2, 11, directory, **ARGS)):
        with pytest.raises(DatasetError, match="checksums.txt is (a directory|not a regular file)"):
            read()
    code, _, err = cli(capsys, "info", directory)
    assert code == 1 and "checksums.txt" in err and err.count("\n") == 1
    assert snapshot(directory) == good


# --- The counts of checksums.txt ----------------------------------------------------------------


@pytest.mark.parametrize(("family", "field", "change"), [
    (False, "rigid", lambda old: -9_999_999_999_999_999_999), (False, "rigid", lambda old: old + 1),
    (False, "rigid", lambda old: old - 1), (False, "independent_bars", lambda old: 10**19),
    (False, "independent_bars", lambda old: old - 1),
    (True, "rigid", lambda old: -1), (True, "rigid", lambda old: 1 - old), (True, "edges", lambda old: old - 1),
    (True, "edges", lambda old: old + 1), (True, "maxwell_wrong", lambda old: 1 - old),
    (True, "independent_bars", lambda old: old - 1),
])
def test_counts_of_a_record_are_checked_against_its_shard(tmp_path, family, field, change):
    options = {"family": "gnm", "edges": "2n-3"} if family else {}
    sizes = (8, 8, 2, 5) if family else (8, 6, 2, 11)
    clean = generate(*sizes, tmp_path / "clean", **options, **ARGS)
    directory = tmp_path / "data"
    generate(*sizes, directory, **options, **ARGS)
    records = [record for _, record in shard_records(directory, read_manifest(directory))]
    size = len(record_line(0, records[0]))
    tampered = dict(records[1], **{field: change(records[1][field])})
    checksums = directory / "checksums.txt"
    lines = checksums.read_bytes()
    checksums.write_bytes(lines[:size] + record_line(1, tampered) + lines[2 * size:])
    manifest = json.loads((directory / "manifest.json").read_bytes())
    manifest["complete"] = False  # an interrupted run, resumed below
    (directory / "manifest.json").write_text(json.dumps(manifest))
    report = generate(*sizes, directory, **options, **ARGS)
    assert (report.written, report.skipped) == (1, 3)
    assert (report.rigid, report.independent_bars, report.edges, report.maxwell_wrong) == (
        clean.rigid, clean.independent_bars, clean.edges, clean.maxwell_wrong)
    assert f"{clean.rigid / 8:.1%} rigid" in report.summary
    assert snapshot(directory) == snapshot(tmp_path / "clean")


# --- Damaged manifests and shards -----------------------------------------------------------------


def nested(depth):
    return "[" * depth + "]" * depth


@pytest.mark.parametrize(("change", "pattern"), [
    (lambda m: nested(100_000), "nested too deeply"),
    (lambda m: {**m, "parameters": json.loads(nested(50))}, "no parameters"),
    (lambda m: m["parameters"].update(family="evil"), "family 'evil' is none of"),
    (lambda m: m["parameters"].update(family=["gnm"]), r"family \['gnm'\] is none of"),
    (lambda m: m["parameters"].update(edges="2n-3"), "not what they resolve to"),
    (lambda m: m["parameters"].update(edges=10**30), "GnmFamily: edges must be from 0"),
    (lambda m: m["parameters"].update(edges=[13]), "not valid"),
    (lambda m: m["parameters"].update(positions="lines", flats=0), "GnmFamily: flats must be from 1"),
    (lambda m: m["parameters"].update(split="train"), "GnmFamily: split takes"),
    (lambda m: m["parameters"].update(globally_rigid="yes"), "not what they resolve to"),
    (lambda m: m["parameters"].update(name="gnp"), "unknown entries name"),
    (lambda m: m["parameters"].pop("nodes"), "lack nodes"),
    (lambda m: m["parameters"].update(nodes=2**40), "number of points must be from 2"),
    (lambda m: m["parameters"].update(nodes=1.5), "nodes must be an integer"),
    (lambda m: m["parameters"].update(format={"a": 1}), "format must be one of"),
    (lambda m: m.update(layout=99), "layout 99"),
    (lambda m: m.update(layout=True), "layout True"),
    (lambda m: m.update(complete="yes"), "'complete' must be true or false"),
    (lambda m: m.update(rigid=-9_999_999_999_999_999_999), "totals"),
    (lambda m: m.update(maxwell_wrong=9), "totals"),
    (lambda m: m.update(edges=None), "totals"),
])
def test_a_damaged_manifest_is_a_dataset_error_everywhere(tmp_path, capsys, change, pattern):
    directory = family_dataset(tmp_path / "data")
    manifest = json.loads((directory / "manifest.json").read_bytes())
    replaced = change(manifest)
    text = replaced if isinstance(replaced, str) else json.dumps(replaced if isinstance(replaced, dict) else manifest)
    (directory / "manifest.json").write_text(text)
    before = snapshot(directory)
    assert_refused(capsys, directory, pattern)
    if pattern in ("totals", "'complete' must be true or false"):  # the parameters hold: a run mends it
        generate(8, 8, 2, 5, directory, family="gnm", edges="2n-3", **ARGS)
        assert snapshot(directory) == snapshot(family_dataset(tmp_path / "clean"))
        return
    with pytest.raises(DatasetError, match="different dataset"):  # nor will generate continue it
        generate(8, 8, 2, 5, directory, family="gnm", edges="2n-3", **ARGS)
    assert snapshot(directory) == before


def garbage(data):
    return bytes(np.random.default_rng(0).integers(0, 256, len(data), dtype=np.uint8))


@pytest.mark.parametrize("fmt", ["parquet", "npz"])
@pytest.mark.parametrize(("damage", "whole"), [
    (lambda data: data[:len(data) // 2], True),  # cut short
    (garbage, True),  # not the format at all
    (lambda data: b"", True),
    (lambda data: data[:40] + garbage(data[40:80]) + data[80:], False),  # inside the first column only
])
def test_a_damaged_shard_read_without_verification_is_a_dataset_error(tmp_path, capsys, fmt, damage, whole):
    directory = complete_dataset(tmp_path / "data", fmt)
    shard = directory / f"shard-00002.{fmt}"
    shard.write_bytes(damage(shard.read_bytes()))
    reads = [lambda: list(load(directory, verify=False)), lambda: load(directory, verify=False, as_table=True)]
    if whole:  # statistics read only the columns they count
        reads.append(lambda: dataset_statistics(directory, verify=False))
    for read in reads:
        with pytest.raises(DatasetError, match="shard-00002"):
            read()
    assert len(list(itertools.islice(load(directory, verify=False), 4))) == 4  # the shards before it are read


def test_a_shard_of_another_dataset_read_without_verification_is_a_dataset_error(tmp_path):
    complete = complete_dataset(tmp_path / "complete", "npz")
    graphs = tmp_path / "graphs"
    generate(8, 8, 2, 5, graphs, family="gnm", edges="2n-3", format="npz", **ARGS)
    shutil.copy(graphs / "shard-00001.npz", complete / "shard-00001.npz")
    shutil.copy(complete / "shard-00000.npz", graphs / "shard-00000.npz")
    for directory in (complete, graphs):
        with pytest.raises(DatasetError, match="not a readable shard"):
            list(load(directory, verify=False))


# --- Limits ---------------------------------------------------------------------------------------


def positions_by_definition(keys, n, d, kind, flats):
    """Points on flats as documented: every draw of the purpose made, base points first."""
    spans = 1 if kind == "lines" else 2
    u = unit(draws(keys, POSITIONS, flats * d * (1 + spans) + n * (1 + spans)))
    blocks = [u[:, k * flats * d:(k + 1) * flats * d].reshape(len(keys), flats, d) for k in range(1 + spans)]
    head = flats * d * (1 + spans)
    flat = np.minimum((u[:, head:head + n] * flats).astype(np.int64), flats - 1)
    rows = np.arange(len(keys))[:, None]
    points = blocks[0][rows, flat]
    for span in range(spans):
        along = u[:, head + (span + 1) * n:head + (span + 2) * n] - 0.5
        points = points + along[:, :, None] * (2.0 * blocks[span + 1] - 1.0)[rows, flat]
    return points


@pytest.mark.parametrize(("kind", "d"), [("lines", 2), ("lines", 3), ("planes", 3)])
@pytest.mark.parametrize("flats", [1, 3, 11, 64])
def test_points_on_flats_draw_only_the_flats_they_use(kind, d, flats):
    keys = graph_keys(9, np.arange(40, dtype=np.uint64))
    found = generators.positions(keys, 9, d, kind, flats)
    assert found.tobytes() == positions_by_definition(keys, 9, d, kind, flats).tobytes()


def test_ten_million_flats_cost_the_points_only(tmp_path):
    tracemalloc.start()
    try:
        generate(10, 8, 2, 1, tmp_path / "data", family="gnm", positions="lines", flats=10**7, format="npz",
                 workers=1)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 32 << 20, peak  # 6.6 GB when every flat was drawn
    assert len({tuple(map(tuple, r["coords"])) for r in load(tmp_path / "data")}) == 10


@pytest.mark.parametrize(("options", "pattern"), [
    ({"family": "gnm", "positions": "lines", "flats": 2**28 + 1}, "GnmFamily: flats must be from 1 to 2"),
    ({"family": "gnm", "positions": "grid", "grid_size": 2**16 + 1}, "more than the 2..32 - 1 that cells"),
    ({"nodes": 10**6}, r"one framework of 1,000,000 points needs about [\d.,]+ TB while it is built, more than"),
    ({"nodes": 10**6, "family": "gnm", "edges": 1}, r"one graph of 1,000,000 points needs about [\d.,]+ TB"),
    ({"nodes": 2**40}, "number of points must be from 2 to 2..32 - 1"),
])
def test_plans_that_cannot_fit_are_refused_before_anything_is_written(tmp_path, options, pattern):
    arguments = {"nodes": 8, **options}
    with pytest.raises(DatasetError, match=pattern):
        generate(4, arguments.pop("nodes"), 2, 1, tmp_path / "data", workers=1, **arguments)
    assert not (tmp_path / "data").exists()


@pytest.mark.parametrize(("nodes", "shard_size", "workers", "family"), [
    (200, 10**6, 1, None), (50, 10**7, 2, None), (300, 10**6, 2, "gnm"), (40, 10**7, 1, "henneberg"),
])
def test_shards_too_large_for_the_memory_name_a_size_that_fits(monkeypatch, nodes, shard_size, workers, family):
    memory = 1 << 30
    from telvora_datasets.families import make_family

    plan = Plan(graphs=10**9, nodes=nodes, dim=2, seed=1, shard_size=shard_size,
                family=make_family(family or "complete", nodes, 2))
    with pytest.raises(DatasetError, match="more than this machine's 1.1 GB") as info:
        limits.check_fits(plan, workers, memory)
    suggested = int(str(info.value).split("--shard-size ")[1].split(" ")[0].replace(",", ""))
    assert 1 <= suggested < shard_size
    limits.check_fits(Plan(graphs=10**9, nodes=nodes, dim=2, seed=1, shard_size=suggested, family=plan.family),
                      workers, memory)


def test_info_on_a_huge_plan_answers_from_the_records_written(tmp_path):
    directory = tmp_path / "huge"
    plan = Plan(graphs=10**15, nodes=6, dim=2, seed=3, format="npz")
    directory.mkdir()
    (directory / "manifest.json").write_bytes(writer.dumps(writer.new_manifest(plan)))
    # Two shards written far apart: the checksums file has a hole of 10^9 records between them.
    fd = os.open(directory / "checksums.txt", os.O_RDWR | os.O_CREAT)
    try:
        for index in (0, 10**9):
            _, record = writer.make_shard(plan, index, directory)
            os.pwrite(fd, record_line(index, record), index * RECORD_SIZE)
    finally:
        os.close(fd)
    result = subprocess.run([sys.executable, "-m", "telvora_datasets", "info", str(directory)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 1 and result.stderr == ""
    assert "999,999,999,998 of 1,000,000,000,000 shards missing" in result.stdout
    assert "(first: shard-00001.npz)" in result.stdout
    with pytest.raises(DatasetError, match="incomplete"):
        load(directory)


# --- Ctrl-C ---------------------------------------------------------------------------------------

INTERRUPT = """
import os, signal, sys
stage = sys.argv[1]

def interrupt():
    os.kill(os.getpid(), signal.SIGINT)

if stage == "import":  # while the command's modules are being imported
    class Finder:
        def find_spec(self, name, path=None, target=None):
            if name == "telvora_datasets.cli":
                interrupt()
            return None
    sys.meta_path.insert(0, Finder())
elif stage == "arguments":
    import argparse
    parse = argparse.ArgumentParser.parse_args
    argparse.ArgumentParser.parse_args = lambda *a, **k: (interrupt(), parse(*a, **k))[1]
elif stage == "work":
    from telvora_datasets import writer
    make = writer.make_shard
    def make_shard(plan, index, directory):
        if index == 2:
            interrupt()
        return make(plan, index, directory)
    writer.make_shard = make_shard
from telvora_datasets.__main__ import main
status = main(sys.argv[2:])
if stage == "exit":  # after the command, while the interpreter waits for a thread at its end
    import threading, time
    threading.Thread(target=lambda: (interrupt(), time.sleep(5))).start()
sys.exit(status)
"""


@pytest.mark.parametrize("stage", ["import", "arguments", "work", "exit"])
@pytest.mark.parametrize("command", ["generate", "info"])
def test_ctrl_c_anywhere_is_one_line_and_status_130(tmp_path, stage, command):
    directory = tmp_path / "data"
    argv = ["generate", "--graphs", "8", "--nodes", "6", "--dim", "2", "--seed", "1", "--shard-size", "2",
            "--workers", "1", "--quiet", "--out", str(directory)]
    if command == "info":
        assert main(argv) == 0
        argv = ["info", str(directory)]
        if stage == "work":
            stage = "arguments"
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERRUPT), stage, *argv], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 130, result.stderr
    assert result.stderr.count("\n") == 1 and "interrupted" in result.stderr and "Traceback" not in result.stderr
    if command == "generate" and stage in ("work", "exit"):
        main(argv)  # what was written resumes
        assert len(list(load(directory))) == 8


def test_the_command_is_the_launcher():
    script = Path(sys.executable).parent / "telvora-datasets"
    if not script.exists():
        pytest.skip("telvora-datasets is not installed beside this interpreter")
    assert "telvora_datasets.__main__" in script.read_text()
    assert subprocess.run([str(script), "--version"], capture_output=True, text=True).returncode == 0


@pytest.mark.parametrize(("change", "pattern"), [
    ({"nodes": 10**6}, r"one graph of 1,000,000 points needs about [\d.,]+ TB"),
    ({"positions": "grid", "grid_size": 2}, "GnmFamily: grid_size 2 gives 4 cells, fewer than the 8 points"),
    ({"positions": "lines", "flats": 2**40}, "GnmFamily: flats must be from 1 to 2"),
    ({"positions": "planes", "flats": 2}, r"GnmFamily\(positions='planes'\) needs dim 3"),
    ({"edges": -1}, "GnmFamily: edges must be from 0"),
])
def test_regenerate_refuses_a_tampered_manifest_before_drawing(tmp_path, change, pattern):
    directory = family_dataset(tmp_path / "data")
    manifest = json.loads((directory / "manifest.json").read_bytes())
    assert regenerate(directory, 7)["index"] == 7
    manifest["parameters"].update(change)
    (directory / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(DatasetError, match=pattern):
        regenerate(directory, 7)
