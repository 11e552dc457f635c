"""Dataset families as objects: the registry, errors in Python's words and in the command's, the
manifest read back through the same checks, the shared SplitMix64 mixing, and the command's
frictions (a closed pipe, a run that fails at its start, rates of slow runs, damaged shards)."""

import dataclasses
import json
import subprocess
import sys

import numpy as np
import pytest

import telvora_datasets as td
import telvora_graphs as tg
from telvora_datasets import graph_records
from telvora_datasets.cli import main
from telvora_datasets.families import FAMILIES, GRAPH_FAMILIES, GraphFamily, OptionError, family_from, make_family
from telvora_graphs._mixing import GAMMA, MASK, mix, mix_array

RUN = td.Options(workers=1, format="npz")


@pytest.mark.parametrize(("family", "python", "command"), [
    (td.GeometricFamily(), r"GeometricFamily\(radius=...\) needs a radius R", "--family geometric needs --radius R"),
    (td.GnmFamily(edges="3n"), "GnmFamily: edges must be from 0 to the 15 pairs", "--edges must be from 0 to the 15"),
    (td.GnpFamily(p=0.5, degree=2), "GnpFamily: give p or degree", "give --p or --degree"),
    (td.KnnFamily(k="3"), "KnnFamily: k must be an integer, not str", "--k must be an integer, not str"),
    (td.GnmFamily(positions="planes"), r"GnmFamily\(positions='planes'\) needs dim 3", "--positions planes needs --dim 3"),
    (td.GnmFamily(grid_size=3), "GnmFamily: grid_size applies to positions 'grid'", "--grid-size applies to --positions grid"),
    (td.RegularFamily(degree=3, positions="uniform", globally_rigid=True), "globally_rigid is decided in generic",
     "--globally-rigid is decided in generic mode only: use --positions generic"),
    (td.HennebergFamily(add=1, balance="rigid"), r"HennebergFamily\(balance='rigid'\) needs both rigid and flexible",
     "--balance rigid needs both rigid and flexible graphs"),
])
def test_errors_speak_python_and_the_command_its_flags(tmp_path, family, python, command):
    with pytest.raises(OptionError, match=python) as refused:
        td.generate(4, 6, 2, 1, tmp_path / "d", family, RUN)
    assert refused.value.command.startswith(command)
    assert isinstance(refused.value, ValueError) and isinstance(refused.value, td.DatasetError)
    assert not (tmp_path / "d").exists()


def test_a_wrong_type_is_a_type_error_and_generate_names_the_objects(tmp_path):
    with pytest.raises(TypeError, match="radius must be a number, not str"):
        td.GeometricFamily(radius="far").resolve(6, 2)
    with pytest.raises(TypeError, match=r"family must be a family object such as GnmFamily\(edges=...\)"):
        td.generate(4, 6, 2, 1, tmp_path, "gnm")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match=r"options must be telvora_datasets.Options\(...\)"):
        td.generate(4, 6, 2, 1, tmp_path, td.GnmFamily(), {"workers": 1})  # type: ignore[arg-type]
    with pytest.raises(TypeError):  # an option of another family is no keyword of this one
        td.GnmFamily(radius=0.3)  # type: ignore[call-arg]


def test_the_registry_holds_every_family_once_and_each_resolves_to_its_own_record():
    assert list(FAMILIES) == ["complete", "gnp", "gnm", "geometric", "knn", "henneberg", "regular"]
    for name in GRAPH_FAMILIES:
        cls = FAMILIES[name]
        assert issubclass(cls, GraphFamily) and cls.name == name and cls.description
        family = make_family(name, 12, 2, **({"radius": 0.4} if name == "geometric" else {}))
        again = family.resolve(12, 2)
        assert again == family and family_from(family.parameters(), 12, 2) == family  # resolving is idempotent
        assert family.describe().startswith(f"family {name}: positions generic, order given")
        assert family.mean_edges(12, 2) > 0


def test_old_manifests_load_through_the_registry(tmp_path):
    # A manifest written before families were objects records exactly what parameters() writes.
    from pathlib import Path

    fixture = Path(__file__).parent / "data" / "graph_dataset"
    recorded = td.read_manifest(fixture)["parameters"]
    plan_family = family_from(recorded, recorded["nodes"], recorded["dim"])
    assert plan_family is not None and type(plan_family) is FAMILIES[recorded["family"]]
    assert {key: recorded[key] for key in plan_family.parameters()} == plan_family.parameters()
    assert sum(1 for _ in td.load(fixture)) == recorded["graphs"]


@pytest.mark.parametrize(("argv", "message"), [
    (["--family", "gnm", "--radius", "0.3"], "--radius applies to --family geometric, not gnm"),
    (["--family", "gnp", "--degree", "99"], "--degree must be from 0 to n - 1 = 5"),
    (["--family", "complete", "--split", "0.5,0.5"], "--split applies to graph families"),
])
def test_the_command_translates_to_its_flags(tmp_path, capsys, argv, message):
    with pytest.raises(SystemExit) as stop:
        main(["generate", "--graphs", "4", "--nodes", "6", "--dim", "2", "--seed", "1", "--out", str(tmp_path / "d"),
              *argv])
    err = capsys.readouterr().err
    assert stop.value.code == 2 and message in err and "Family" not in err, err


def test_a_run_failing_before_its_first_shard_leaves_no_dataset(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(graph_records, "MAX_ATTEMPTS", 1)
    directory = tmp_path / "new"
    with pytest.raises(OptionError, match=r"GnmFamily\(balance='rigid'\) drew graph \d+ 1 times without a"):
        td.generate(4, 30, 2, 1, directory, td.GnmFamily(balance="rigid", edges="2n-3+20"), RUN)
    assert not directory.exists()  # nothing for info to call unfinished
    existing = tmp_path / "existing"
    existing.mkdir()
    with pytest.raises(OptionError):
        td.generate(4, 30, 2, 1, existing, td.GnmFamily(balance="rigid", edges="2n-3+20"), RUN)
    assert existing.is_dir() and not list(existing.iterdir())
    assert main(["info", str(existing)]) == 1 and "holds no dataset" in capsys.readouterr().err


def test_a_damaged_shard_is_called_damaged_and_a_missing_one_incomplete(tmp_path, capsys):
    td.generate(6, 6, 2, 1, tmp_path, td.GnmFamily(), dataclasses.replace(RUN, shard_size=2))
    (tmp_path / "shard-00001.npz").write_bytes(b"damaged")
    assert main(["info", str(tmp_path)]) == 1
    out = capsys.readouterr().out
    assert "damaged: 1 of 3 shards do not match their checksums (first: shard-00001.npz)" in out
    assert "incomplete" not in out
    checksums = tmp_path / "checksums.txt"
    checksums.write_bytes(checksums.read_bytes()[: 2 * len(checksums.read_bytes()) // 3])  # shard 2 unrecorded
    (tmp_path / "shard-00001.npz").unlink()
    assert main(["info", str(tmp_path)]) == 1
    out = capsys.readouterr().out
    assert "damaged: 1 of 3" in out and "and 1 missing" in out


@pytest.mark.parametrize(("written", "seconds", "rate"), [(2, 23.0, "0.087 graphs/s"), (50, 2.0, "25 graphs/s"),
                                                           (7634, 1.0, "7,634 graphs/s"), (150, 1.0, "150 graphs/s")])
def test_the_rate_of_a_slow_run_is_not_rounded_to_nothing(tmp_path, written, seconds, rate):
    report = td.generate(2, 6, 2, 1, tmp_path, td.GnmFamily(), RUN)
    slow = dataclasses.replace(report, frameworks_written=written, seconds=seconds)
    assert slow.summary.endswith(f"s, {rate}")


def test_info_into_a_closed_pipe_ends_quietly(tmp_path):
    td.generate(4, 6, 2, 1, tmp_path, td.GnmFamily(), RUN)
    child = subprocess.Popen([sys.executable, "-m", "telvora_datasets", "info", str(tmp_path)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()  # the reader is gone before the first line: `info DIR | head -0`
    err = child.stderr.read().decode()
    assert child.wait() == 141 and err == ""


def test_mix_is_splitmix64_and_the_seeds_the_compiled_module_draws_from():
    # SplitMix64 started at 0 gives these outputs; graph_seed and the dataset seeds use the same mix.
    assert [mix(k * GAMMA) for k in (1, 2, 3)] == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]
    values = np.array([0, 1, GAMMA, MASK, 2**63, 12345678901234567], dtype=np.uint64)
    assert mix_array(values).tolist() == [mix(int(v)) for v in values]
    assert mix(-1) == mix(MASK) and mix(2**64 + 5) == mix(5)
    for seed, g in [(0, 0), (7, 1), (MASK, 1023), (2**63, 5)]:
        assert tg.graph_seed(seed, g) == seed ^ mix(g)
    seed = 2**64 - 3
    assert td.realization_seed(seed, 1030) == graph_records.block_seed(seed, 1) ^ mix(6)
    # Graph k of a dataset relabelled alone at its realization seed gives the stored labels.
    edges = np.array([[0, 1], [1, 2], [2, 0], [2, 3], [3, 0], [0, 4], [1, 4], [3, 4]])
    batch = tg.rigidity_batch(np.tile(edges, (3, 1)), [0, 8, 16, 24], 5, seed=seed)
    for g in range(3):
        alone = tg.rigidity(edges, n=5, seed=tg.graph_seed(seed, g))
        assert alone.labels.tolist() == batch.labels[8 * g:8 * g + 8].tolist()


def test_the_mask_is_one_value_on_both_sides():
    from telvora_datasets import points, streams

    assert points.MASK == streams.MASK == MASK == 2**64 - 1


def test_a_family_draws_its_picture():
    pytest.importorskip("matplotlib")
    artists = td.GeometricFamily(radius=0.5, positions="uniform", components=True).picture(10, 2, seed=3, index=2)
    from telvora_datasets.records import iter_graph_records

    family = td.GeometricFamily(radius=0.5, positions="uniform", components=True).resolve(10, 2)
    stored = next(iter_graph_records(graph_records.build_graph_columns(family, 3, 2, 1, 10, 2)))
    assert np.allclose(np.asarray(artists.points.get_offsets()), stored["coords"])
