"""telvora_molecules along trajectories: every frame's clusters against a network built from
scratch at that frame's coordinates, the choice of frames, topology mismatches and a missing
MDAnalysis, what `analyze --trajectory` writes, and the locked double bonds."""

from __future__ import annotations

import dataclasses
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

gemmi = pytest.importorskip("gemmi")
mda = pytest.importorskip("MDAnalysis")
pytest.importorskip("matplotlib")
import telvora_molecules as tm  # noqa: E402
from telvora_molecules.cli import main  # noqa: E402
from telvora_molecules.network import Bars, Kind  # noqa: E402
from telvora_molecules.trajectory import clusters_at, frame_numbers  # noqa: E402

DATA = Path(__file__).parent / "data"
CUTOFFS = [-0.5, -2.0, -1.0]  # not sorted on purpose


def _write_trajectory(topology: Path, out: Path, frames: int, sigma: float = 0.03, *, seed: int = 5,
                      rename: int | None = None, atoms: slice = slice(None)) -> None:
    """Frame 0 the topology's coordinates, later frames small random displacements of them."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        u = mda.Universe(str(topology))
        group = u.atoms[atoms]
        if rename is not None:
            group[rename].name = "XX"
        x0 = group.positions.copy()
        rng = np.random.default_rng(seed)
        with mda.Writer(str(out), n_atoms=len(group)) as writer:
            for f in range(frames):
                group.positions = x0 + (rng.normal(0.0, sigma, x0.shape) if f else 0.0)
                writer.write(group)


def _frame_coords(path: Path, frame: int) -> np.ndarray:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        reader = mda.coordinates.core.get_reader_for(str(path))(str(path))
        xyz = reader[frame].positions.astype(np.float64)
        reader.close()
    return xyz


@pytest.fixture(scope="module", params=["dcd", "xtc"])
def villin_trajectory(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("trajectory") / f"villin.{request.param}"
    _write_trajectory(DATA / "1vii.pdb", path, 4)
    return path


def _by_hand(atoms: tm.Atoms, xyz: np.ndarray, cutoffs: list[float]) -> np.ndarray:
    """Clusters of a network built from scratch at these coordinates, one game per cutoff."""
    network = tm.build_network(dataclasses.replace(atoms, coords=xyz))
    return np.stack([tm.rigid_clusters(network, c) for c in cutoffs])


def test_every_frame_matches_a_network_built_from_scratch(villin_trajectory):
    atoms = tm.read_structure(DATA / "1vii.pdb")
    result = tm.analyze_trajectory(atoms, villin_trajectory, CUTOFFS)
    assert result.clusters.shape == (4, 3, len(atoms))
    np.testing.assert_array_equal(result.frames, [0, 1, 2, 3])
    first_bonds = None
    for f in range(4):
        xyz = _frame_coords(villin_trajectory, f)
        bonds = tm.covalent_bonds(dataclasses.replace(atoms, coords=xyz))
        first_bonds = first_bonds or bonds
        # displacements of 0.03 Å keep every covalent bond: the fixed topology is the true one here
        for a, b in zip(bonds, first_bonds):
            np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(result.clusters[f], _by_hand(atoms, xyz, CUTOFFS))
        network = tm.build_network(dataclasses.replace(atoms, coords=xyz))
        energies = network.energy[network.kind == Kind.HYDROGEN_BOND]
        assert result.n_hbonds[f].tolist() == [int((energies <= c).sum()) for c in CUTOFFS]
        sizes = [np.bincount(labels) for labels in result.clusters[f]]
        assert result.largest[f].tolist() == [int(s.max()) for s in sizes]
        assert result.n_clusters[f].tolist() == [int((s >= 2).sum()) for s in sizes]
    # the displacements move hydrogen bonds across the cutoffs: frames differ
    assert len({result.clusters[f, 1].tobytes() for f in range(4)}) > 1


def test_waters_left_out_of_the_analysis_stay_in_the_trajectory(tmp_path):
    """The trajectory lists every atom of the topology file; the analysed atoms (no waters)
    are found among them, so their coordinates are the right ones."""
    st = gemmi.read_structure(str(DATA / "1a1p.pdb"))
    water = gemmi.Residue()
    water.name, water.seqid, water.het_flag = "HOH", gemmi.SeqId(1, " "), "H"
    for name, element, offset in (("O", "O", (0.0, 0.0, 0.0)), ("H1", "H", (0.96, 0.0, 0.0)),
                                  ("H2", "H", (-0.24, 0.93, 0.0))):
        atom = gemmi.Atom()
        atom.name, atom.element = name, gemmi.Element(element)
        atom.pos = gemmi.Position(30.0 + offset[0], offset[1], offset[2])
        water.add_atom(atom)
    chain = gemmi.Chain("W")
    chain.add_residue(water)
    st[0].add_chain(st[0][0].clone())  # a second copy of the peptide after the water, moved away
    st[0].add_chain(chain, pos=1)
    for residue in st[0][2]:
        for atom in residue:
            atom.pos = atom.pos + gemmi.Position(0.0, 40.0, 0.0)
    st[0][2].name = "B"
    topology = tmp_path / "with_water.pdb"
    st.setup_entities()
    st.write_pdb(str(topology))
    trajectory = tmp_path / "with_water.dcd"
    _write_trajectory(topology, trajectory, 3, seed=9)
    atoms = tm.read_structure(topology)
    assert len(atoms) == 2 * 208 and not atoms.water.any()
    result = tm.analyze_trajectory(atoms, trajectory, [-1.0])
    keep = np.flatnonzero(~np.isin(np.arange(2 * 208 + 3), [208, 209, 210]))  # the water sits after chain A
    for f in range(3):
        xyz = _frame_coords(trajectory, f)[keep]
        np.testing.assert_array_equal(result.clusters[f], _by_hand(atoms, xyz, [-1.0]))


@pytest.mark.parametrize("frames, stride, expected", [
    (None, 1, [0, 1, 2, 3, 4, 5]), (None, 2, [0, 2, 4]), (slice(1, None), 2, [1, 3, 5]),
    (slice(2, 4), 1, [2, 3]), ([5, 0, 3], 1, [5, 0, 3]), (slice(-2, None), 1, [4, 5])])
def test_frame_choice(frames, stride, expected):
    assert frame_numbers(6, frames, stride).tolist() == expected


@pytest.mark.parametrize("frames, stride, message", [
    ([0, 6], 1, "frame 6 is outside the trajectory"), (None, 0, "stride"), (slice(7, 9), 1, "no frame chosen"),
    ([-1], 1, "frame -1 is outside")])
def test_bad_frame_choice(frames, stride, message):
    with pytest.raises(ValueError, match=message):
        frame_numbers(6, frames, stride)


def test_clusters_at_several_cutoffs_match_separate_games():
    network = tm.build_network(tm.read_structure(DATA / "1vii.pdb"))
    cutoffs = [-3.0, 0.0, -0.5, -10.0, -1.0]
    np.testing.assert_array_equal(clusters_at(network, cutoffs),
                                  np.stack([tm.rigid_clusters(network, c) for c in cutoffs]))


@pytest.mark.parametrize("make, message", [
    (lambda d: _write_trajectory(DATA / "1vii.pdb", d / "short.dcd", 2, atoms=slice(0, 590)) or d / "short.dcd",
     r"short.dcd does not match .*1vii.pdb: the trajectory has 590 atoms, the topology 596"),
    (lambda d: _write_trajectory(DATA / "1vii.pdb", d / "renamed.pdb", 2, rename=6) or d / "renamed.pdb",
     r"renamed.pdb does not match .*: atom 7 is XX in the trajectory and \S+ in the topology"),
    (lambda d: (d / "junk.dcd").write_bytes(b"\0" * 64) and d / "junk.dcd", "not a readable trajectory"),
    (lambda d: d / "missing.xtc", "missing.xtc: no such file"),
])
def test_mismatched_trajectory_is_one_line_exit_2_and_writes_nothing(tmp_path, capsys, make, message):
    import re
    trajectory = make(tmp_path)
    with pytest.raises(tm.StructureError, match=message):
        tm.analyze_trajectory(tm.read_structure(DATA / "1vii.pdb"), trajectory)
    out = tmp_path / "out"
    out.mkdir()
    (out / "keep.txt").write_text("mine")
    assert main(["analyze", str(DATA / "1vii.pdb"), "--trajectory", str(trajectory), "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("telvora-molecules: error:") and re.search(message, err)
    assert sorted(p.name for p in out.iterdir()) == ["keep.txt"]


def test_missing_mdanalysis_says_how_to_install_it(monkeypatch, tmp_path, capsys, villin_trajectory):
    monkeypatch.setitem(sys.modules, "MDAnalysis", None)  # import MDAnalysis now raises ImportError
    with pytest.raises(ImportError, match=r"pip install 'telvora\[trajectories\]'"):
        tm.analyze_trajectory(tm.read_structure(DATA / "1vii.pdb"), villin_trajectory)
    out = tmp_path / "out"
    assert main(["analyze", str(DATA / "1vii.pdb"), "--trajectory", str(villin_trajectory), "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "telvora[trajectories]" in err
    assert not out.exists()


def test_analyze_trajectory_writes_consistent_outputs(tmp_path, villin_trajectory, capsys):
    out = tmp_path / "run"
    assert main(["analyze", str(DATA / "1vii.pdb"), "--trajectory", str(villin_trajectory), "--out", str(out),
                 "--cutoffs=-1,-2", "--frames", "1:", "--stride", "2", "--format", "csv", "--plot-format", "svg"]) == 0
    assert "596 atoms, 2 frames" in capsys.readouterr().out
    assert sorted(p.name for p in out.iterdir()) == ["villin_atoms.csv", "villin_frame_clusters.npz",
                                                     "villin_frames.csv", "villin_trajectory.svg"]
    expected = tm.analyze_trajectory(tm.read_structure(DATA / "1vii.pdb"), villin_trajectory, [-1.0, -2.0],
                                     frames=[1, 3])
    with np.load(out / "villin_frame_clusters.npz") as archive:
        assert archive["clusters"].dtype == np.uint16
        np.testing.assert_array_equal(archive["clusters"], expected.clusters)
        np.testing.assert_array_equal(archive["frame"], [1, 3])
        np.testing.assert_array_equal(archive["cutoff"], [-1.0, -2.0])
    rows = [line.split(",") for line in (out / "villin_frames.csv").read_text().splitlines()]
    assert rows[0][:3] == ["frame", "time_ps", "cutoff"] and len(rows) == 1 + 2 * 2
    assert [(int(r[0]), float(r[2]), int(r[6])) for r in rows[1:]] == [
        (1, -1.0, expected.largest[0, 0]), (1, -2.0, expected.largest[0, 1]),
        (3, -1.0, expected.largest[1, 0]), (3, -2.0, expected.largest[1, 1])]
    table = (out / "villin_atoms.csv").read_text().splitlines()
    assert len(table) == 597 and table[0].startswith("model,chain,residue_name,seq_id")
    assert (out / "villin_trajectory.svg").read_text().lstrip().startswith("<?xml")


def test_frames_without_a_trajectory_is_an_error(tmp_path, capsys):
    assert main(["analyze", str(DATA / "1vii.pdb"), "--stride", "2", "--out", str(tmp_path / "o")]) == 2
    assert "--trajectory" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main(["analyze", str(DATA / "1vii.pdb"), "--frames", "a:b", "--out", str(tmp_path / "o")])


# Double bonds. Acetic acid (CH3-COOH) and acetate: C=O is locked, C-OH is not; both oxygens of
# a carboxylate are locked by resonance.
ACETIC = (["C", "C", "O", "O", "H", "H", "H", "H"],
          [[0.0, 0.0, 0.0], [1.50, 0.0, 0.0], [2.13, 1.05, 0.0], [2.13, -1.16, 0.0], [-0.36, 1.03, 0.0],
           [-0.36, -0.51, 0.89], [-0.36, -0.51, -0.89], [3.10, -1.10, 0.0]])


@pytest.mark.parametrize("count, locked", [(8, {(1, 2)}), (7, {(1, 2), (1, 3)})])  # acid, then acetate
def test_carbonyl_and_carboxylate_bonds_are_locked(count, locked):
    atoms = tm.from_coordinates(ACETIC[0][:count], np.array(ACETIC[1][:count]))
    topology = tm.covalent_topology(atoms)
    assert len(topology.i) == count - 1
    assert set(zip(topology.i[topology.double].tolist(), topology.j[topology.double].tolist())) == locked
    network = tm.build_network(atoms, hydrogen_bonds=False, salt_bridges=False, hydrophobic=False)
    assert sorted(network.bars.tolist()) == sorted([6] * len(locked) + [5] * (count - 1 - len(locked)))


def test_double_bonds_of_the_shipped_structures():
    """Every backbone C=O, the side-chain C=O of Asp, Glu, Asn and Gln and arginine's CZ-NH1 and
    CZ-NH2 are locked, and nothing else but peptide bonds; locking only merges clusters."""
    for path in (DATA / "1vii.pdb", DATA / "1a1p.pdb"):
        atoms = tm.read_structure(path)
        topology = tm.covalent_topology(atoms)
        pairs = {tuple(sorted((str(atoms.residue_name[a]) + ":" + str(atoms.name[a]),
                               str(atoms.residue_name[b]) + ":" + str(atoms.name[b]))))
                 for a, b in zip(topology.i[topology.double].tolist(), topology.j[topology.double].tolist())}
        names = {p.split(":")[1] for pair in pairs for p in pair}
        assert names <= {"C", "O", "OXT", "CG", "OD1", "OD2", "CD", "OE1", "OE2", "CZ", "NH1", "NH2"}
        residues = set(atoms.residue_name.tolist())
        expected_count = int(np.count_nonzero(atoms.name == "O")) + int(np.count_nonzero(atoms.name == "OXT"))
        expected_count += sum(int(np.count_nonzero((atoms.residue_name == r) & np.isin(atoms.name, side)))
                              for r, side in (("ASP", ["OD1", "OD2"]), ("GLU", ["OE1", "OE2"]), ("ASN", ["OD1"]),
                                              ("GLN", ["OE1"]), ("ARG", ["NH1", "NH2"])) if r in residues)
        assert int(topology.double.sum()) == expected_count
        if "ARG" in residues:
            assert ("ARG:CZ", "ARG:NH1") in pairs and ("ARG:CZ", "ARG:NE") not in pairs
        hinged = tm.rigid_clusters(tm.build_network(atoms, Bars(double_bond=5)), -1.0)
        locked = tm.rigid_clusters(tm.build_network(atoms), -1.0)
        pairs_of_labels = np.unique(np.stack([hinged, locked], axis=1), axis=0)
        assert len(pairs_of_labels) == len(np.unique(hinged))  # every hinged cluster inside a locked one
        assert len(np.unique(locked)) < len(np.unique(hinged))


@pytest.mark.parametrize("path", [DATA / "1vii.pdb", DATA / "1a1p.pdb"])
def test_no_hydrogen_bond_within_three_bonds_of_one_residue(path):
    """The topology's memo of nearby atoms (shared by every frame) keeps out donor-acceptor pairs
    of one residue at most three covalent bonds apart, and only those."""
    nx = pytest.importorskip("networkx")
    atoms = tm.read_structure(path)
    network = tm.build_network(atoms)
    graph = nx.Graph(zip(*tm.covalent_bonds(atoms)))
    hb = network.kind == Kind.HYDROGEN_BOND
    donors = [next(iter(graph[h])) for h in network.i[hb].tolist()]
    same = [(d, a) for d, a in zip(donors, network.j[hb].tolist()) if atoms.residue[d] == atoms.residue[a]]
    assert all(nx.shortest_path_length(graph, d, a) > 3 for d, a in same)
    topology = tm.covalent_topology(atoms)
    near = [(a, b, d) for a in range(0, len(atoms), 7)
            for b, d in nx.single_source_shortest_path_length(graph, a, cutoff=5).items()]
    pairs = np.array([(a, b) for a, b, _ in near] + [(0, len(atoms) - 1)])
    expected = [d <= 3 for _, _, d in near] + [False]
    assert 0 < sum(expected) < len(expected)
    assert topology.within(pairs[:, 0], pairs[:, 1]).tolist() == expected
