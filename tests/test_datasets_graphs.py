"""telvora_datasets' graph families: the generators' invariants, labels against telvora_graphs,
graphs regenerated alone, byte-identical shards however they are written, splits and balance,
and the refusals of bad combinations."""

import itertools
import json
import math
from pathlib import Path

import numpy as np
import pytest

import telvora_graphs as tg
from dataset_calls import generate
from telvora_datasets import DatasetError, load, read_manifest, regenerate
from telvora_datasets import graph_records
from telvora_datasets.cli import main
from telvora_datasets.families import make_family, maxwell_count
from telvora_datasets.formats import decode
from telvora_datasets.graph_records import BLOCK, build_graph_columns, realization_seed
from telvora_datasets.records import iter_graph_records

GRAPH_FIXTURE = Path(__file__).parent / "data" / "graph_dataset"


def cli(capsys, *argv):
    try:
        code = main([str(arg) for arg in argv])
    except SystemExit as stop:
        code = stop.code
    out, err = capsys.readouterr()
    return code, out, err


def snapshot(directory):
    return {path.name: path.read_bytes() for path in sorted(Path(directory).iterdir())}


def graphs_of(family, n, d, count=60, start=0, seed=5, **options):
    columns = build_graph_columns(make_family(family, n, d, **options), seed, start, count, n, d)
    return columns, list(iter_graph_records(columns))


FAMILIES = [
    ("gnm", {"edges": "2n-3+2"}), ("gnp", {"degree": 3.5}), ("geometric", {"radius": 0.45}),
    ("knn", {"k": 3}), ("henneberg", {"add": 2, "remove": 1}), ("regular", {"degree": 3}),
]


@pytest.mark.parametrize("d", [2, 3])
@pytest.mark.parametrize(("family", "options"), FAMILIES)
def test_graphs_are_simple_and_keep_their_family_invariants(family, options, d):
    n = 12
    _, records = graphs_of(family, n, d, **options)
    for record in records:
        edges = record["edges"]
        assert edges.dtype == np.int64 and record["n_edges"] == len(edges)
        assert np.all(edges[:, 0] < edges[:, 1]) and edges.min() >= 0 and edges.max() < n  # no loops
        pairs = [tuple(edge) for edge in edges.tolist()]
        assert pairs == sorted(set(pairs))  # given order: lexicographic, no pair twice
        degrees = np.bincount(edges.reshape(-1), minlength=n)
        if family == "gnm":
            assert len(edges) == 2 * n - 3 + 2
        elif family == "henneberg":
            assert len(edges) == maxwell_count(n, d) + 2 - 1
        elif family == "regular":
            assert degrees.tolist() == [3] * n
        elif family in ("geometric", "knn"):
            coords = record["coords"]
            distance = np.linalg.norm(coords[:, None] - coords[None, :], axis=2)
            joined = np.zeros((n, n), dtype=bool)
            joined[edges[:, 0], edges[:, 1]] = joined[edges[:, 1], edges[:, 0]] = True
            if family == "geometric":
                near = distance <= 0.45
                np.fill_diagonal(near, False)
                assert np.array_equal(joined, near)
            else:
                np.fill_diagonal(distance, np.inf)
                nearest = np.argsort(distance, axis=1, kind="stable")[:, :3]
                assert all(joined[i, nearest[i]].all() for i in range(n)) and degrees.min() >= 3
    if family == "gnp":  # the mean edge count within 5 standard errors of p * pairs
        p, pairs = 3.5 / (n - 1), n * (n - 1) // 2
        counts = [record["n_edges"] for record in records]
        assert abs(np.mean(counts) - p * pairs) < 5 * math.sqrt(p * (1 - p) * pairs / len(counts))


@pytest.mark.parametrize(("n", "d"), [(2, 2), (3, 2), (15, 2), (3, 3), (4, 3), (11, 3)])
def test_henneberg_graphs_are_minimally_rigid_before_their_edits(n, d):
    from telvora_datasets.generators import henneberg_edges
    from telvora_datasets.streams import graph_keys

    built = henneberg_edges(graph_keys(3, np.arange(40)), n, d)
    assert built.shape == (40, maxwell_count(n, d), 2)
    for edges in built:
        assert len({(min(e), max(e)) for e in edges.tolist()}) == len(edges)
        result = tg.rigidity(edges, d, n=n)
        assert result.is_rigid and result.labels.all() and result.n_stresses == 0


@pytest.mark.parametrize(("family", "n", "d", "options", "edges", "rigid"), [
    ("gnm", 2, 3, {}, 1, True), ("gnm", 3, 3, {}, 3, True), ("henneberg", 2, 2, {}, 1, True),
    ("regular", 5, 2, {"degree": 0}, 0, False), ("gnp", 4, 2, {"p": 0.0}, 0, False), ("gnp", 4, 3, {"p": 1.0}, 6, True),
    ("geometric", 5, 3, {"radius": 1e-9, "positions": "planes"}, 0, False),
])
def test_the_smallest_graphs(tmp_path, capsys, family, n, d, options, edges, rigid):
    generate(5, n, d, 1, tmp_path, family=family, workers=1, **options)
    assert [(r["n_edges"], r["is_rigid"]) for r in load(tmp_path)] == [(edges, rigid)] * 5
    code, out, _ = cli(capsys, "info", tmp_path)
    assert code == 0 and ("no edges" in out) == (edges == 0)


@pytest.mark.parametrize(("positions", "d", "options"), [
    ("lines", 2, {"flats": 1}), ("planes", 3, {"flats": 1}), ("grid", 2, {"grid_size": 5}), ("grid", 3, {}),
    ("conic", 2, {}), ("uniform", 3, {}), ("lines", 3, {"flats": 1}),
])
def test_special_positions_lie_where_they_should(positions, d, options):
    n = 9
    _, records = graphs_of("gnm", n, d, count=20, positions=positions, **options)
    for record in records:
        coords = record["coords"]
        centred = coords - coords.mean(axis=0)
        rank = np.linalg.matrix_rank(centred, tol=1e-9)
        if positions == "lines" and options["flats"] == 1 or positions == "planes":
            assert rank == (1 if positions == "lines" else 2)
        elif positions == "grid":
            size = options.get("grid_size", 3)  # 3**3 >= 2 * 9
            assert np.array_equal(coords, np.round(coords)) and coords.min() >= 0 and coords.max() < size
            assert len({tuple(point) for point in coords.tolist()}) == n
        elif positions == "conic":  # six or more points on a conic: [x², xy, y², x, y, 1] loses rank
            x, y = coords.T
            assert np.linalg.matrix_rank(np.stack([x * x, x * y, y * y, x, y, np.ones(n)], axis=1), tol=1e-9) == 5
        else:
            assert rank == d and 0 <= coords.min() and coords.max() < 1


@pytest.mark.parametrize(("family", "options"), [
    ("gnm", {"edges": "2n-3+2", "order": "random", "components": True}),
    ("henneberg", {"add": 1, "remove": 1, "globally_rigid": True}),
    ("knn", {"k": 2, "positions": "uniform"}),
    ("gnm", {"edges": "2n-3", "positions": "lines", "flats": 2, "components": True}),
    ("regular", {"degree": 4, "positions": "grid", "order": "random"}), ("geometric", {"radius": 0.5}),
    ("gnp", {"p": 0.3, "positions": "conic"}),
])
def test_labels_are_those_of_telvora_graphs(family, options):
    n, d, seed, start = 10, 2, 2**64 - 3, BLOCK - 20  # the graphs straddle two realization blocks
    _, records = graphs_of(family, n, d, count=40, start=start, seed=seed, **options)
    for record in records:
        k = record["index"]
        if "coords" in record and options.get("positions") not in (None, "generic"):
            expected = tg.rigidity(record["edges"], d, coords=record["coords"])
            components = tg.rigid_components(record["edges"], d, coords=record["coords"])
        else:
            expected = tg.rigidity(record["edges"], d, n=n, seed=realization_seed(seed, k))
            components = tg.rigid_components(record["edges"], d, n=n)
        if options.get("components"):
            assert [c.tolist() for c in record["components"]] == [c.tolist() for c in components]
            for (u, v), c in zip(record["edges"].tolist(), record["component"].tolist()):
                assert {u, v} <= set(components[c].tolist())
        else:
            assert "components" not in record and "component" not in record
        assert record["labels"].tobytes() == expected.labels.tobytes()
        assert record["redundant"].tobytes() == expected.redundant.tobytes()
        assert (record["rank"], record["max_rank"], record["dof"], record["n_stresses"], record["is_rigid"],
                record["is_redundantly_rigid"]) == (expected.rank, expected.max_rank, expected.dof,
                                                    expected.n_stresses, expected.is_rigid,
                                                    expected.is_redundantly_rigid)
        if options.get("globally_rigid"):
            assert record["is_globally_rigid"] == expected.is_globally_rigid
    if options.get("order") == "random":
        assert any(np.any(np.diff(pair_index(r["edges"], n)) < 0) for r in records)


def pair_index(edges, n):
    i, j = edges[:, 0], edges[:, 1]
    return i * n - i * (i + 1) // 2 + j - i - 1


def test_components_in_space_come_from_the_labels_realization():
    n, d, seed = 9, 3, 12
    _, records = graphs_of("gnm", n, d, count=30, seed=seed, edges="3n-5", components=True)
    for record in records:
        expected = tg.rigid_components(record["edges"], d, n=n, seed=realization_seed(seed, record["index"]))
        assert [c.tolist() for c in record["components"]] == [c.tolist() for c in expected]
        assert "component" not in record  # in space a bar may lie in two components
    assert any(len(r["components"]) > 1 for r in records)


@pytest.mark.parametrize(("family", "options"), [
    ("gnm", {"order": "random"}), ("henneberg", {"add": 1, "remove": 1, "balance": "rigid"}),
    ("regular", {"degree": 3, "positions": "lines"}),
])
def test_every_graph_is_regenerated_alone(family, options):
    n, d, seed = 8, 2, 41
    whole, _ = graphs_of(family, n, d, count=30, start=BLOCK - 10, seed=seed, **options)
    for k in (0, 9, 10, 29):
        alone, _ = graphs_of(family, n, d, count=1, start=BLOCK - 10 + k, seed=seed, **options)
        rows = slice(int(whole["edge_offsets"][k]), int(whole["edge_offsets"][k + 1]))
        for name, column in alone.items():
            if name == "edge_offsets":
                continue
            if name in ("components", "component_offsets"):
                continue  # numbered per graph; compared through the records below
            expected = (whole[name][rows] if name in ("edges", "labels", "redundant", "component")
                        else whole[name][k:k + 1])
            assert column.tobytes() == expected.tobytes(), name


@pytest.mark.parametrize(("fmt", "options"), [
    ("parquet", {"family": "gnm", "order": "random"}),
    ("npz", {"family": "henneberg", "add": 1, "remove": 1, "positions": "lines", "balance": "rigid"}),
])
def test_shards_are_the_same_with_any_workers_dask_and_resume(tmp_path, capsys, fmt, options):
    import distributed  # noqa: F401  (the extra is part of the test environment)

    def run(directory, *more):
        argv = ["generate", "--graphs", 23, "--nodes", 9, "--dim", 2, "--seed", 3, "--shard-size", 5, "--format", fmt,
                "--split", "0.6,0.2,0.2", "--out", directory, *more]
        argv += itertools.chain.from_iterable(("--" + key, value) for key, value in options.items())
        return cli(capsys, *argv)[0]

    assert run(tmp_path / "one", "--workers", 1) == 0
    assert run(tmp_path / "two", "--workers", 2) == 0
    assert snapshot(tmp_path / "one") == snapshot(tmp_path / "two")
    assert run(tmp_path / "dask", "--workers", 2, "--scheduler", "local") == 0
    assert snapshot(tmp_path / "dask") == snapshot(tmp_path / "one")
    damaged = tmp_path / "two"
    (damaged / f"shard-00002.{fmt}").unlink()
    checksums = damaged / "checksums.txt"
    lines = checksums.read_bytes()
    size = len(lines) // 5
    checksums.write_bytes(lines[:3 * size] + bytes(size) + lines[4 * size:])  # shard 3 unrecorded
    report = generate(23, 9, 2, 3, damaged, shard_size=5, format=fmt, workers=2, split="0.6,0.2,0.2", **options)
    assert (report.written, report.skipped) == (2, 3)
    assert snapshot(damaged) == snapshot(tmp_path / "one")
    grown = tmp_path / "grown"
    assert run(grown, "--graphs", 12) == 0
    assert run(grown) == 0  # the same command with more graphs grows it
    assert snapshot(grown) == snapshot(tmp_path / "one")


@pytest.mark.parametrize("options", [{}, {"family": "knn", "positions": "conic", "order": "random",
                                          "balance": "rigid", "split": "0.5,0.5", "format": "npz",
                                          "components": True}])
def test_regenerate_gives_the_stored_record_from_the_parameters_alone(tmp_path, options):
    generate(11, 7, 2, 2**64 - 5, tmp_path, shard_size=4, workers=1, **options)
    for k, stored in enumerate(load(tmp_path)):
        again = regenerate(tmp_path, k)
        assert sorted(again) == sorted(stored)
        assert all(np.asarray(again[key]).tobytes() == np.asarray(stored[key]).tobytes() for key in stored), k
    for index in (11, -1, 2.0):
        with pytest.raises(DatasetError, match="index must be an integer from 0 to 10"):
            regenerate(tmp_path, index)


def test_splits_are_disjoint_complete_and_close_to_their_fractions(tmp_path):
    generate(2000, 6, 2, 9, tmp_path, family="gnm", split="0.8,0.1,0.1", shard_size=300, format="npz", workers=2)
    parts = {name: [record["index"] for record in load(tmp_path, split=name)]
             for name in ("train", "validation", "test")}
    every = sorted(itertools.chain.from_iterable(parts.values()))
    assert every == list(range(2000))
    for name, fraction in (("train", 0.8), ("validation", 0.1), ("test", 0.1)):
        assert abs(len(parts[name]) - fraction * 2000) <= 4, (name, len(parts[name]))
        assert all(record["split"] == name for record in load(tmp_path, split=name))
    with pytest.raises(DatasetError, match="split must be one of"):
        load(tmp_path, split="valid")
    two = tmp_path / "two"
    generate(50, 6, 2, 9, two, family="gnm", split=[0.5, 0.5], format="npz", workers=1)
    assert {record["split"] for record in load(two)} == {"train", "test"}


def test_balance_draws_rigid_even_and_flexible_odd_graphs(tmp_path, monkeypatch):
    columns, records = graphs_of("gnm", 12, 2, count=40, edges="2n-3+1", balance="rigid")
    assert [record["is_rigid"] for record in records] == [k % 2 == 0 for k in range(40)]
    assert columns["attempt"].max() > 0 and columns["attempt"].min() == 0
    monkeypatch.setattr(graph_records, "MAX_ATTEMPTS", 2)
    with pytest.raises(DatasetError, match="without a rigid one; this gnm family almost never gives rigid"):
        graphs_of("gnm", 30, 2, count=4, balance="rigid")


@pytest.mark.parametrize(("argv", "message"), [
    (["--family", "gnm", "--radius", "0.3"], "--radius applies to --family geometric, not gnm"),
    (["--family", "gnm", "--edges", "3n"], "--edges must be from 0 to the 15 pairs of 6 vertices (got 18)"),
    (["--family", "gnm", "--edges", "n/4"], "not a whole number"),
    (["--family", "gnm", "--edges", "n^2"], "neither an integer nor an expression"),
    (["--family", "gnp", "--p", "0.5", "--degree", "2"], "give --p or --degree"),
    (["--family", "gnp", "--p", "1.5"], "--p must be from 0 to 1"),
    (["--family", "geometric"], "needs --radius"),
    (["--family", "knn", "--k", "6"], "--k must be from 1 to n - 1 = 5"),
    (["--family", "regular", "--degree", "3", "--nodes", "5"], "no 3-regular graph has 5 vertices"),
    (["--family", "henneberg", "--remove", "20"], "--remove must be from 0 to the 9 edges"),
    (["--family", "henneberg", "--add", "1", "--balance", "rigid"], "every graph is rigid"),
    (["--family", "gnm", "--edges", "5", "--balance", "rigid"], "every graph is flexible"),
    (["--family", "gnm", "--positions", "planes"], "--positions planes needs --dim 3"),
    (["--family", "gnm", "--positions", "conic", "--dim", "3"], "--positions conic needs --dim 2"),
    (["--family", "gnm", "--flats", "2"], "--flats applies to --positions lines or planes"),
    (["--family", "gnm", "--positions", "grid", "--grid-size", "2"], "gives 4 cells, fewer than the 6 points"),
    (["--family", "gnm", "--positions", "uniform", "--globally-rigid"], "generic mode only"),
    (["--components"], "--components applies to graph families"),
    (["--family", "gnm", "--split", "0.8,0.3"], "must add up to 1"),
    (["--family", "gnm", "--split", "a,b"], "two or three fractions"),
    (["--order", "random"], "applies to graph families"),
    (["--family", "tree"], "invalid choice: 'tree'"),
])
def test_bad_combinations_are_refused_in_one_line(tmp_path, capsys, argv, message):
    base = {"--graphs": "4", "--nodes": "6", "--dim": "2", "--seed": "1", "--out": str(tmp_path / "d")}
    for flag in argv[::2]:
        base.pop(flag, None)
    code, out, err = cli(capsys, "generate", *itertools.chain.from_iterable(base.items()), *argv)
    assert (code, out) == (2, "") and err.count("\n") == 1 and message in err, err
    assert not (tmp_path / "d").exists()


def test_manifest_records_the_family_and_refuses_another(tmp_path, capsys):
    directory = tmp_path / "d"
    argv = ["generate", "--graphs", 6, "--nodes", 7, "--dim", 2, "--seed", 1, "--out", directory, "--workers", 1,
            "--family", "henneberg", "--add", 2, "--positions", "grid", "--shard-size", 4]
    assert cli(capsys, *argv)[0] == 0
    manifest = json.loads((directory / "manifest.json").read_text())
    assert manifest["parameters"] == {
        "graphs": 6, "nodes": 7, "dim": 2, "seed": 1, "shard_size": 4, "format": "parquet", "family": "henneberg",
        "positions": "grid", "order": "given", "add": 2, "remove": 0, "grid_size": 4, "balance": None, "split": None,
        "globally_rigid": False}
    records = list(load(directory))
    assert manifest["rigid"] == sum(r["is_rigid"] for r in records)
    assert manifest["edges"] == sum(r["n_edges"] for r in records) == 6 * (maxwell_count(7, 2) + 2)
    assert manifest["maxwell_wrong"] == sum(not r["is_rigid"] for r in records)
    assert manifest["independent_bars"] == sum(r["rank"] for r in records)
    code, _, err = cli(capsys, *argv[:-4], "--add", 1, "--positions", "grid", "--shard-size", 4)
    assert code == 1 and "add 2 there, 1 asked" in err
    code, _, err = cli(capsys, *argv[:13])  # the complete-graph frameworks in the same directory
    assert code == 1 and "family 'henneberg' there, none asked" in err
    code, out, _ = cli(capsys, "info", directory)
    assert code == 0 and "family henneberg: positions grid, order given, add 2, remove 0, grid size 4" in out
    rigid = sum(r["is_rigid"] for r in records)
    assert f"rigid {rigid / 6:.1%}" in out and "degrees of freedom: 0: " in out and "Maxwell's count" in out


def test_info_says_when_maxwell_count_is_always_right(tmp_path, capsys):
    generate(6, 5, 2, 1, tmp_path / "complete", workers=1)
    generate(6, 9, 2, 1, tmp_path / "minimal", family="henneberg", workers=1, format="npz")
    for name in ("complete", "minimal"):
        code, out, _ = cli(capsys, "info", tmp_path / name)
        assert code == 0 and "Maxwell's count is never wrong here" in out and "degrees of freedom: 0: 100.0%" in out


def test_the_committed_graph_fixture_is_what_generate_writes(tmp_path):
    parameters = dict(read_manifest(GRAPH_FIXTURE)["parameters"])
    fresh = tmp_path / "fresh"
    base = [parameters.pop(key) for key in ("graphs", "nodes", "dim", "seed")]
    split = parameters.pop("split")
    generate(*base, fresh, workers=1, split=split, **{k: v for k, v in parameters.items() if v is not None})
    for name in sorted(path.name for path in GRAPH_FIXTURE.glob("shard-*")):
        ours, again = decode((GRAPH_FIXTURE / name).read_bytes(), "npz"), decode((fresh / name).read_bytes(), "npz")
        assert sorted(ours) == sorted(again) and all(ours[key].tobytes() == again[key].tobytes() for key in ours), (
            f"{GRAPH_FIXTURE} is stale: delete it and generate it again with its manifest's parameters")


@pytest.mark.parametrize("p", [0.0, 2**-53, 0.1, 0.5, 1 - 2**-53, 1.0])
def test_edge_probability_thresholds_are_exact(p):
    from telvora_datasets.streams import threshold, unit

    top = threshold(p)
    around = np.array([max(top - 1, 0), top, min(top + 1, 2**53 - 1)], dtype=np.uint64) << np.uint64(11)
    assert ((unit(around) < p) == ((around >> np.uint64(11)) < np.uint64(top))).all()


def test_draws_below_a_bound_stay_below_and_spread_evenly():
    from telvora_datasets.streams import below, draws, graph_keys

    values = draws(graph_keys(0, np.arange(200)), 1, 500)
    assert draws(graph_keys(0, np.arange(200)), 1, 100, 400).tobytes() == values[:, 400:].tobytes()
    for bound in (1, 7, 190, 2**31):
        picked = below(values, bound)
        assert picked.min() >= 0 and picked.max() < bound
    counts = np.bincount(below(values, 7).reshape(-1), minlength=7)
    assert np.abs(counts - values.size / 7).max() < 5 * math.sqrt(values.size / 7)


@pytest.mark.parametrize(("text", "n", "d", "value"), [
    ("2n-3+2", 20, 2, 39), ("dn-d(d+1)/2", 10, 3, 24), ("n(n-1)/2", 7, 2, 21), ("3 n - 6", 5, 3, 9), ("(n)(2)", 4, 2, 8),
    ("12", 4, 2, 12), ("-n+3n", 4, 2, 8), ("nd + 1", 5, 2, 11), ("n/2", 5, 2, None), ("n**2", 5, 2, None), ("2m", 5, 2, None), ("", 5, 2, None),
    ("__import__('os')", 5, 2, None),
])
def test_edge_counts_from_expressions(text, n, d, value):
    from telvora_datasets.families import OptionError, edge_count

    if value is None:
        with pytest.raises(OptionError, match="^GnmFamily: edges ") as refused:
            edge_count(text, n, d)
        assert refused.value.command.startswith("--edges ")
    else:
        assert edge_count(text, n, d) == value


@pytest.mark.parametrize(("change", "error", "message"), [
    (lambda c: c.update(edges=c["edges"].astype(np.int32)), TypeError, "column edges has dtype int32"),
    (lambda c: c.update(labels=c["labels"][:-1]), ValueError, r"labels \(\d+,\)"),
    (lambda c: c.update(edge_offsets=c["edge_offsets"][::-1].copy()), ValueError, "edge_offsets must rise from 0"),
    (lambda c: c.update(is_rigid=c["is_rigid"][:3]), ValueError, r"is_rigid \(3,\)"),
    (lambda c: c.pop("redundant"), DatasetError, "needs the columns redundant"),
    (lambda c: c.update(components=c["components"][:-1]), ValueError, r"components \(\d+, 2\)"),
    (lambda c: c.update(component=c["component"][1:]), ValueError, r"component \(\d+,\)"),
    (lambda c: c.pop("component_offsets"), DatasetError, "components and component_offsets come together"),
])
@pytest.mark.parametrize("fmt", ["parquet", "npz"])
def test_graph_shard_columns_are_checked_and_round_trip(fmt, change, error, message):
    from telvora_datasets.formats import encode

    columns, _ = graphs_of("gnm", 6, 2, count=5, positions="uniform", split="0.5,0.5", balance="rigid",
                           components=True)
    again = decode(encode(columns, fmt), fmt)
    assert list(again) == list(columns) and all(again[k].tobytes() == columns[k].tobytes() for k in columns)
    change(columns)
    with pytest.raises(error, match=message):
        encode(columns, fmt)


def test_summary_prints_the_statistics_of_each_dataset(tmp_path, capsys):
    generate(40, 8, 2, 1, tmp_path / "a", family="gnm", edges="2n-3", workers=1, format="npz")
    generate(10, 5, 2, 1, tmp_path / "b", workers=1, format="npz")
    code, out, _ = cli(capsys, "summary", tmp_path / "a", tmp_path / "b", "-o", tmp_path / "s.png")
    records = list(load(tmp_path / "a"))
    rigid = sum(r["is_rigid"] for r in records) / 40
    assert code == 0 and (tmp_path / "s.png").stat().st_size > 0
    first, second = out.split(f"{tmp_path / 'b'}:")
    assert f"rigid {rigid:.1%}" in first and f"wrong on {1 - rigid:.1%} of graphs" in first
    assert "rigid 100.0%" in second and "an easy dataset" in second


@pytest.mark.parametrize("fmt", ["parquet", "npz"])
def test_statistics_count_the_components_of_the_records(tmp_path, fmt):
    from telvora_datasets.stats import dataset_statistics

    generate(40, 9, 2, 4, tmp_path, family="gnm", edges="2n-2", components=True, format=fmt, shard_size=15,
             workers=1)
    records = list(load(tmp_path))
    found = dataset_statistics(tmp_path)
    assert found.components == sum(len(r["components"]) for r in records) > len(records)
    largest = sum(max(c.size for c in r["components"]) for r in records) / 9
    assert found.largest_share == pytest.approx(largest)
    assert "rigid components: " in "\n".join(found.lines())


@pytest.mark.parametrize(("family", "options", "with_points"), [
    ("geometric", {"radius": 0.6}, False), ("knn", {"k": 2}, False), ("knn", {"k": 2, "positions": "uniform"}, True),
])
def test_labels_use_the_points_only_for_numeric_positions(monkeypatch, family, options, with_points):
    # geometric and knn graphs keep the points they were drawn from, yet generic positions mean
    # the exact generic labels, as for every other family.
    calls = []
    batch = tg.rigidity_batch

    def spy(*args, **kwargs):
        calls.append(kwargs.get("coords") is not None)
        return batch(*args, **kwargs)

    monkeypatch.setattr(tg, "rigidity_batch", spy)
    columns, _ = graphs_of(family, 8, 2, count=10, **options)
    assert "coords" in columns and calls and set(calls) == {with_points}
