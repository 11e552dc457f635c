"""telvora_molecules: rigid clusters of known molecules, the molecular theorem against the 3-D
bar-joint framework, the dilution's one sweep against separate games, and the structure reader."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

gemmi = pytest.importorskip("gemmi")
import telvora_graphs as tg  # noqa: E402
import telvora_molecules as tm  # noqa: E402
from telvora_molecules.network import HBOND_D0, HBOND_R0, Bars, Kind  # noqa: E402

DATA = Path(__file__).parent / "data"
STRUCTURES = [DATA / "1vii.pdb", DATA / "1a1p.pdb"]
BOND = {"CC": 1.53, "CH": 1.09}
HINGES = Bars(peptide=5, double_bond=5)  # locked bonds are outside the molecular theorem


def _unit(v: np.ndarray) -> np.ndarray:
    return v / np.linalg.norm(v)


def benzene() -> tuple[list[str], np.ndarray]:
    angle = np.arange(6) * np.pi / 3
    ring = np.stack([np.cos(angle), np.sin(angle), np.zeros(6)], axis=1)
    return ["C"] * 6 + ["H"] * 6, np.concatenate([1.39 * ring, 2.47 * ring])


def cyclohexane_chair() -> tuple[list[str], np.ndarray]:
    angle = np.arange(6) * np.pi / 3
    z = np.where(np.arange(6) % 2 == 0, 0.25, -0.25)
    radius = np.sqrt(BOND["CC"] ** 2 - 0.5 ** 2)  # neighbours 60 degrees apart and 0.5 Å apart in z
    carbons = np.stack([radius * np.cos(angle), radius * np.sin(angle), z], axis=1)
    axial = carbons + BOND["CH"] * np.stack([np.zeros(6), np.zeros(6), np.sign(z)], axis=1)
    outward = np.stack([np.cos(angle), np.sin(angle), -0.33 * np.sign(z)], axis=1)
    equatorial = carbons + BOND["CH"] * outward / np.linalg.norm(outward, axis=1, keepdims=True)
    return ["C"] * 6 + ["H"] * 12, np.concatenate([carbons, axial, equatorial])


def ethane() -> tuple[list[str], np.ndarray]:
    c = np.array([[0.0, 0.0, BOND["CC"] / 2], [0.0, 0.0, -BOND["CC"] / 2]])
    hydrogens = []
    for k, carbon in enumerate(c):
        sign = 1.0 if k == 0 else -1.0
        for m in range(3):
            phi = 2 * np.pi * m / 3 + (np.pi / 3 if k else 0.0)  # staggered
            direction = _unit(np.array([np.cos(phi) * 0.943, np.sin(phi) * 0.943, sign * 0.333]))
            hydrogens.append(carbon + BOND["CH"] * direction)
    return ["C", "C"] + ["H"] * 6, np.concatenate([c, np.array(hydrogens)])


def _network(elements: list[str], coords: np.ndarray, **bars: int) -> tm.Network:
    atoms = tm.from_coordinates(elements, coords)
    return tm.build_network(atoms, Bars(**bars), hydrogen_bonds=False, salt_bridges=False, hydrophobic=False)


def _clusters(labels: np.ndarray) -> set[frozenset[int]]:
    return {frozenset(np.flatnonzero(labels == c).tolist()) for c in np.unique(labels)}


@pytest.mark.parametrize("molecule, bars, expected", [
    (benzene, {}, [set(range(12))]),
    (cyclohexane_chair, {}, [set(range(18))]),
    # one body per methyl group (each hydrogen spins only about its own bond), torsion about C-C
    (ethane, {}, [{0, 2, 3, 4}, {1, 5, 6, 7}]),
    (ethane, {"covalent": 6}, [set(range(8))]),             # locked bonds weld everything
])
def test_known_molecules(molecule, bars, expected):
    elements, coords = molecule()
    network = _network(elements, coords, **bars)
    assert network.count(Kind.COVALENT) == {8: 7, 12: 12, 18: 18}[len(elements)]
    assert _clusters(tm.rigid_clusters(network)) == {frozenset(s) for s in expected}


def _square(n: int, i: np.ndarray, j: np.ndarray) -> tuple[np.ndarray, list[set[int]]]:
    """The bar-joint framework of the molecule: its bonds and a bar between the two neighbours
    of every atom along its bonds (the square of the bond graph)."""
    adjacency: list[set[int]] = [set() for _ in range(n)]
    for a, b in zip(i.tolist(), j.tolist()):
        adjacency[a].add(b)
        adjacency[b].add(a)
    pairs = set()
    for a in range(n):
        near = sorted(adjacency[a])
        pairs.update((min(a, b), max(a, b)) for b in near)
        pairs.update((near[x], near[y]) for x in range(len(near)) for y in range(x + 1, len(near)))
    return np.array(sorted(pairs), dtype=np.int64).reshape(-1, 2), adjacency


def _theorem_sets(network: tm.Network, cutoff: float | None) -> tuple[set[frozenset[int]], set[frozenset[int]]]:
    n = len(network.atoms)
    rows = len(network) if cutoff is None else network.n_fixed + int(
        np.count_nonzero(network.energy[network.n_fixed:] <= cutoff))
    hinge = network.hinge[:rows]
    square, adjacency = _square(n, network.i[:rows][hinge], network.j[:rows][hinge])
    labels = tm.rigid_clusters(network, cutoff, leaves="current")
    bodies = set()
    for cluster in _clusters(labels):
        points = set(cluster) | {b for a in cluster for b in adjacency[a]}
        if len(points) >= 2:
            bodies.add(frozenset(points))
    points = {frozenset(c.tolist()) for c in tg.rigid_components(square, d=3, n=n, seed=7)}
    return bodies, points


@pytest.mark.parametrize("path, cutoff", [(STRUCTURES[0], None), (STRUCTURES[0], -1.0), (STRUCTURES[0], -4.0),
                                          (STRUCTURES[1], None)])
def test_molecular_theorem_on_structures(path, cutoff):
    """Clusters K of bodies (one-hinge bodies in their neighbour's) plus their hinge neighbours
    are exactly the rigid components of points of the square of the hinge graph in space."""
    network = tm.build_network(tm.read_structure(path), HINGES, hydrophobic=False)
    bodies, points = _theorem_sets(network, cutoff)
    assert len(points) > 20
    assert bodies == points


@pytest.mark.parametrize("molecule", [benzene, cyclohexane_chair, ethane])
def test_molecular_theorem_on_small_molecules(molecule):
    bodies, points = _theorem_sets(_network(*molecule()), None)
    assert bodies == points


def test_peptide_lock_is_outside_the_theorem_and_merges_clusters():
    """Six bars weld the peptide bond: every cluster of the hinge model lies inside one of the
    locked model (more bars only merge), and some merge."""
    atoms = tm.read_structure(STRUCTURES[0])
    hinged = tm.rigid_clusters(tm.build_network(atoms, HINGES), -1.0)
    locked = tm.rigid_clusters(tm.build_network(atoms, Bars(peptide=6, double_bond=5)), -1.0)
    assert all(len(np.unique(locked[list(c)])) == 1 for c in _clusters(hinged))
    assert len(np.unique(locked)) < len(np.unique(hinged))


@pytest.fixture(scope="module")
def villin() -> tm.Network:
    return tm.build_network(tm.read_structure(STRUCTURES[0]))


def _refines(fine: np.ndarray, coarse: np.ndarray) -> bool:
    """Every cluster of `fine` lies inside one cluster of `coarse`."""
    pairs = np.unique(np.stack([fine, coarse], axis=1), axis=0)
    return len(pairs) == len(np.unique(fine))


@pytest.mark.parametrize("budget", [10 ** 9, 600 * 3])  # one sweep; snapshots in sweeps of three steps
def test_dilution_matches_separate_games_and_is_monotone(villin, budget):
    energies = np.unique(villin.energy[villin.kind == Kind.HYDROGEN_BOND])
    cutoffs = np.concatenate([[-10.0, 0.0], energies[::3], energies[::3] + 1e-9])
    dilution = tm.dilute(villin, cutoffs, row_budget=budget)
    assert dilution.n_hbonds == villin.count(Kind.HYDROGEN_BOND) > 10
    for cutoff, labels in zip(cutoffs, dilution.atom_clusters):
        np.testing.assert_array_equal(labels, tm.rigid_clusters(villin, cutoff))
    # Clusters only split as bonds are removed: each cutoff's clusters refine the next one's.
    order = np.argsort(cutoffs, kind="stable")
    for weaker, stronger in zip(order[:-1], order[1:]):
        assert _refines(dilution.atom_clusters[weaker], dilution.atom_clusters[stronger])
    sizes = dilution.largest
    assert sizes[0] == np.bincount(dilution.atom_clusters[0]).max()  # -10: no bond present, step 0
    assert sizes[-1] == np.bincount(tm.rigid_clusters(villin)).max()
    assert len(dilution.changes) == len(dilution.residue_clusters) >= 3
    assert np.all(np.diff(dilution.changes) > 0)
    for earlier, later in zip(dilution.residue_clusters[:-1], dilution.residue_clusters[1:]):
        assert _refines(earlier, later)


def test_hydrogen_bond_energy_at_the_well_and_off_it():
    """A linear O-H...O bond at R0 between sp3 oxygens with the 109.5 degree acceptor angle is
    the well depth; stretching it weakens it by the 12-10 law, bending the D-H...A angle by cos²."""
    def water_pair(r: float, bend: float) -> float:
        h_dir = np.array([np.cos(np.radians(bend)), np.sin(np.radians(bend)), 0.0])
        donor_o = np.zeros(3)
        donor_h = donor_o + 0.96 * np.array([1.0, 0.0, 0.0])
        donor_h2 = donor_o + 0.96 * np.array([np.cos(np.radians(104.5)), np.sin(np.radians(104.5)), 0.0])
        acceptor = donor_h + (r - 0.96) * h_dir
        # the acceptor's base at 109.5 degrees from the hydrogen, out of the plane
        back = -h_dir
        side = np.cross(back, [0.0, 0.0, 1.0])
        base = acceptor + 0.96 * (np.cos(np.radians(109.5)) * back + np.sin(np.radians(109.5)) * _unit(side))
        base2 = acceptor + 0.96 * _unit(np.cross(base - acceptor, [0.0, 0.0, 1.0]) + 0.3 * (acceptor - base))
        atoms = tm.from_coordinates(["O", "H", "H", "O", "H", "H"],
                                    np.array([donor_o, donor_h, donor_h2, acceptor, base, base2]),
                                    residue=[0, 0, 0, 1, 1, 1])
        network = tm.build_network(atoms, salt_bridges=False, hydrophobic=False)
        bond = (network.kind == Kind.HYDROGEN_BOND) & (network.i == 1) & (network.j == 3)
        return float(network.energy[bond][0]) if bond.any() else 0.0

    assert water_pair(HBOND_R0, 0.0) == pytest.approx(-HBOND_D0, rel=1e-9)
    ratio = HBOND_R0 / 3.2
    assert water_pair(3.2, 0.0) == pytest.approx(HBOND_D0 * (5 * ratio ** 12 - 6 * ratio ** 10), rel=1e-9)
    bent = water_pair(HBOND_R0, 25.0)
    assert -HBOND_D0 < bent < 0.8 * -HBOND_D0 * 0.5


def test_bars_are_checked():
    with pytest.raises(ValueError, match="hydrophobic"):
        Bars(hydrophobic=7)
    with pytest.raises(ValueError, match="leaves"):
        tm.rigid_clusters(_network(*ethane()), leaves="all")


def test_structure_without_hydrogens_is_refused(tmp_path):
    st = gemmi.read_structure(str(STRUCTURES[0]))
    st.remove_hydrogens()
    path = tmp_path / "heavy.pdb"
    st.write_pdb(str(path))
    atoms = tm.read_structure(path)
    with pytest.raises(tm.StructureError, match="no hydrogen atoms.*hydride"):
        tm.build_network(atoms)


def test_mmcif_reads_as_the_pdb_file(tmp_path):
    st = gemmi.read_structure(str(STRUCTURES[0]))
    path = tmp_path / "villin.cif"
    st.make_mmcif_document().write_file(str(path))
    from_pdb = tm.build_network(tm.read_structure(STRUCTURES[0]))
    from_cif = tm.build_network(tm.read_structure(path))
    np.testing.assert_array_equal(from_pdb.i, from_cif.i)
    np.testing.assert_array_equal(from_pdb.kind, from_cif.kind)
    np.testing.assert_array_equal(tm.rigid_clusters(from_pdb, -1.0), tm.rigid_clusters(from_cif, -1.0))


ALTLOC_PDB = """\
ATOM      1  N   GLY A   1       0.000   0.000   0.000  1.00  0.00           N
ATOM      2  CA AGLY A   1       1.450   0.000   0.000  0.30  0.00           C
ATOM      3  CA BGLY A   1       1.450   0.300   0.000  0.70  0.00           C
ATOM      4  C   GLY A   1       2.000   1.400   0.000  1.00  0.00           C
HETATM    5  O   HOH A   2      10.000  10.000  10.000  1.00  0.00           O
END
"""


@pytest.mark.parametrize("waters, expected", [(False, 3), (True, 4)])
def test_alternate_locations_and_waters(tmp_path, waters, expected):
    path = tmp_path / "alt.pdb"
    path.write_text(ALTLOC_PDB)
    atoms = tm.read_structure(path, waters=waters)
    assert len(atoms) == expected
    ca = np.flatnonzero(atoms.name == "CA")
    assert len(ca) == 1 and atoms.coords[ca[0], 1] == pytest.approx(0.3)  # the conformer of occupancy 0.7


def test_models_are_separate_molecules(tmp_path):
    st = gemmi.read_structure(str(STRUCTURES[1]))
    st.add_model(st[0].clone())  # two models on top of each other: no bond may cross between them
    st.renumber_models()
    path = tmp_path / "two.pdb"
    st.write_pdb(str(path))
    one = tm.build_network(tm.read_structure(STRUCTURES[1]))
    both = tm.build_network(tm.read_structure(path, model="all"))
    assert len(both) == 2 * len(one)
    assert np.all(both.atoms.model[both.i] == both.atoms.model[both.j])
    assert len(tm.read_structure(path, model=2)) == len(one.atoms)
    with pytest.raises(tm.StructureError, match="no model 5"):
        tm.read_structure(path, model=5)


def test_docstring_example_runs():
    import doctest
    assert doctest.testmod(tm, optionflags=doctest.NORMALIZE_WHITESPACE).attempted > 0
    assert doctest.testmod(tm, optionflags=doctest.NORMALIZE_WHITESPACE).failed == 0


def test_no_tether_across_a_disulphide():
    # 1A1P's Cys 2 and Cys 12 are bonded through their sulphurs: residues apart, yet a tether
    # across the S-S bond would lock its torsion.
    atoms = tm.read_structure(DATA / "1a1p.pdb")
    network = tm.build_network(atoms)
    tethers = network.kind == Kind.HYDROPHOBIC
    cysteine_pairs = {(atoms.seq_id[i], atoms.name[i], atoms.seq_id[j], atoms.name[j])
                      for i, j in zip(network.i[tethers], network.j[tethers])
                      if {atoms.seq_id[i], atoms.seq_id[j]} == {2, 12}}
    assert cysteine_pairs == set()
    assert tethers.any()  # tethers elsewhere stay
