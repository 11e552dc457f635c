"""The body-bar-hinge network of a molecule: every atom a body, every constraint a number of bars.

Covalent bonds are hinges (five bars; six lock peptide and double bonds), hydrogen bonds and salt
bridges hinges between the hydrogen and the acceptor, hydrophobic tethers two bars. Hydrogen bonds
carry an energy from the hydrogen-bond potential of Mayo, Olafson and Goddard (DREIDING, 1990)
with the angular factors of Dahiyat, Gordon and Mayo (1997); docs/molecules.md states every rule.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import IntEnum

import numpy as np
from numpy.typing import NDArray

from .atoms import METALS, Atoms, StructureError
from .geometry import angles, close_pairs, plane_normals

#: Covalent radii in Å (Cordero et al., Dalton Trans. 2008, 2832), sp3 carbon.
COVALENT_RADIUS = {"H": 0.31, "D": 0.31, "C": 0.76, "N": 0.71, "O": 0.66, "F": 0.57, "P": 1.07, "S": 1.05,
                   "CL": 1.02, "BR": 1.20, "I": 1.39, "SE": 1.20, "B": 0.84, "SI": 1.11, "AS": 1.19}
#: Van der Waals radii in Å (Bondi, J. Phys. Chem. 1964, 68, 441).
VDW_RADIUS = {"C": 1.70, "S": 1.80}
BOND_TOLERANCE = 0.4   # Å over the sum of covalent radii
BOND_MINIMUM = 0.4     # Å: closer atoms are a clash or a duplicate, not a bond
HBOND_D0 = 8.0         # kcal/mol, the well depth of the potential
HBOND_R0 = 2.8         # Å, the donor-acceptor distance at the well
HBOND_MAX_HA = 3.0     # Å, hydrogen to acceptor
HBOND_MAX_DA = 4.0     # Å, donor to acceptor
SALT_BRIDGE_MAX_NO = 4.0   # Å, cationic nitrogen to anionic oxygen (Barlow and Thornton 1983)
TETHER_MARGIN = 0.25   # Å over the sum of van der Waals radii
TETHER_MIN_BONDS = 3   # atoms this many covalent bonds apart, or fewer, get no tether


class Kind(IntEnum):
    """The kinds of constraint, in the order the sweep plays them (fixed ones first).

    Attributes
    ----------
    COVALENT, SALT_BRIDGE, HYDROPHOBIC, HYDROGEN_BOND : int
        0, 1, 2 and 3.
    """

    COVALENT = 0
    SALT_BRIDGE = 1
    HYDROPHOBIC = 2
    HYDROGEN_BOND = 3


KIND_NAMES = {Kind.COVALENT: "covalent", Kind.SALT_BRIDGE: "salt bridge", Kind.HYDROPHOBIC: "hydrophobic tether",
              Kind.HYDROGEN_BOND: "hydrogen bond"}


@dataclass(frozen=True, slots=True)
class Bars:
    """Bars per constraint of each kind (a hinge is five; six lock a bond against rotation).

    Attributes
    ----------
    covalent : int, default 5
        A single covalent bond, a hinge.
    peptide, double_bond : int, default 6
        A peptide bond and a double bond, locked.
    hydrogen_bond, salt_bridge : int, default 5
        Hinges.
    hydrophobic : int, default 2
        A hydrophobic tether.

    Raises
    ------
    ValueError
        For a count that is not an integer from 0 to 6.
    """

    covalent: int = 5
    peptide: int = 6
    double_bond: int = 6
    hydrogen_bond: int = 5
    salt_bridge: int = 5
    hydrophobic: int = 2

    def __post_init__(self) -> None:
        for name in ("covalent", "peptide", "double_bond", "hydrogen_bond", "salt_bridge", "hydrophobic"):
            value = getattr(self, name)
            if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= 6:
                raise ValueError(f"bars for {name.replace('_', ' ')} must be an integer from 0 to 6, not {value!r}")


@dataclass(frozen=True, eq=False, slots=True)
class Network:
    """The constraints of a molecule, one row each.

    Rows are ordered as the sweep plays them: covalent bonds, salt bridges, tethers, then
    hydrogen bonds from the strongest (most negative) to the weakest.

    Attributes
    ----------
    atoms : Atoms
        The atoms constrained.
    i, j : ndarray of int64, shape (r,)
        The two atoms of each row.
    kind : ndarray of int8, shape (r,)
        Each row's Kind.
    bars : ndarray of int64, shape (r,)
        Each row's bars.
    energy : ndarray of float64, shape (r,)
        Hydrogen bonds' energy in kcal/mol; 0 for the other kinds.
    bar_counts : Bars
        The bar counts the network was built with.
    hinge : ndarray of bool, shape (r,)
        Rows that are hinges (they make an atom's neighbours, which decide the bodies that only
        spin about their one bond).
    n_fixed : int
        The number of rows before the first hydrogen bond.
    """

    atoms: Atoms
    i: NDArray[np.int64]
    j: NDArray[np.int64]
    kind: NDArray[np.int8]
    bars: NDArray[np.int64]
    energy: NDArray[np.float64]
    bar_counts: Bars = field(default_factory=Bars)

    def __len__(self) -> int:
        return len(self.i)

    @property
    def hinge(self) -> NDArray[np.bool_]:
        return (self.kind != Kind.HYDROPHOBIC) & (self.bars >= 5)

    @property
    def n_fixed(self) -> int:
        """The number of rows before the first hydrogen bond."""
        return int(np.count_nonzero(self.kind != Kind.HYDROGEN_BOND))

    def count(self, kind: Kind) -> int:
        return int(np.count_nonzero(self.kind == kind))

    def edges(self, rows: slice | None = None) -> NDArray[np.int64]:
        """The multigraph of bars: every constraint row repeated `bars` times, in row order."""
        sel = slice(None) if rows is None else rows
        pairs = np.stack([self.i[sel], self.j[sel]], axis=1)
        return np.repeat(pairs, self.bars[sel], axis=0)

    def bar_offsets(self) -> NDArray[np.int64]:
        """offsets[r] is the number of bars played before row r (offsets[len] all of them)."""
        return np.concatenate([[0], np.cumsum(self.bars)]).astype(np.int64)


def covalent_bonds(atoms: Atoms) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Covalent bonds by distance.

    A bond joins atoms with d <= r_i + r_j + 0.4 Å over covalent radii, within a residue,
    between consecutive residues of a chain, between sulphurs (disulphides), to or within ligands,
    and where the file's connection records say; never to metal ions or across models. A hydrogen
    keeps only its nearest partner.

    Parameters
    ----------
    atoms : Atoms

    Returns
    -------
    i, j : ndarray of int64
        The two atoms of each bond.

    Examples
    --------
    >>> import numpy as np
    >>> import telvora_molecules as tm
    >>> ring = [(np.cos(a), np.sin(a), 0.0) for a in np.arange(6) * np.pi / 3]
    >>> atoms = tm.from_coordinates(["C"] * 6, np.array(ring) * 1.39)
    >>> i, j = tm.covalent_bonds(atoms)
    >>> len(i)
    6
    """
    element = atoms.element
    radius = np.array([COVALENT_RADIUS.get(e, 0.0) for e in element])
    known = (radius > 0) & ~np.isin(element, list(METALS))
    i, j = close_pairs(atoms.coords, 2 * max(COVALENT_RADIUS.values()) + BOND_TOLERANCE, atoms.model, known)
    d = np.linalg.norm(atoms.coords[i] - atoms.coords[j], axis=1)
    ok = (d >= BOND_MINIMUM) & (d <= radius[i] + radius[j] + BOND_TOLERANCE)
    ri, rj = atoms.residue[i], atoms.residue[j]
    same_chain = atoms.chain_index[i] == atoms.chain_index[j]
    ligand = ~atoms.polymer & ~atoms.water
    allowed = ((ri == rj) | (same_chain & (np.abs(ri - rj) == 1) & atoms.polymer[i] & atoms.polymer[j])
               | ((element[i] == "S") & (element[j] == "S")) | (ligand[i] & ~atoms.water[j])
               | (ligand[j] & ~atoms.water[i]))
    linked = _linked_residue_pairs(atoms)
    if linked:
        pair_key = ri * (atoms.n_residues + 1) + rj
        allowed |= np.isin(pair_key, np.array(sorted(linked), dtype=np.int64))
    keep = ok & allowed
    i, j, d = i[keep], j[keep], d[keep]
    # A hydrogen bonds once: to its nearest partner.
    h = atoms.hydrogen
    order = np.argsort(d, kind="stable")
    i, j = i[order], j[order]
    taken = np.zeros(len(atoms), dtype=np.bool_)
    keep = np.ones(len(i), dtype=np.bool_)
    for row in np.flatnonzero(h[i] | h[j]):
        a, b = i[row], j[row]
        if (h[a] and taken[a]) or (h[b] and taken[b]):
            keep[row] = False
            continue
        taken[a] |= h[a]
        taken[b] |= h[b]
    i, j = i[keep], j[keep]
    order = np.lexsort((j, i))
    return i[order], j[order]


def _linked_residue_pairs(atoms: Atoms) -> set[int]:
    """Residue pairs (both orders) joined by a covalent or disulphide record of the file."""
    st = atoms.structure
    if st is None or not len(st.connections):
        return set()
    lookup: dict[tuple[int, str, str, int, str], int] = {}
    for r, first in zip(*np.unique(atoms.residue, return_index=True)):
        lookup[(int(atoms.model[first]), str(atoms.chain[first]), str(atoms.residue_name[first]),
                int(atoms.seq_id[first]), str(atoms.insertion[first]))] = int(r)
    pairs: set[int] = set()
    import gemmi
    for conn in st.connections:
        if conn.type not in (gemmi.ConnectionType.Covale, gemmi.ConnectionType.Disulf):
            continue
        ends = []
        for address in (conn.partner1, conn.partner2):
            icode = address.res_id.seqid.icode.strip()
            for model in np.unique(atoms.model):
                ends.append((int(model), lookup.get((int(model), address.chain_name, address.res_id.name,
                                                     address.res_id.seqid.num, icode))))
        half = len(ends) // 2
        for (m1, r1), (m2, r2) in zip(ends[:half], ends[half:]):
            if r1 is not None and r2 is not None and m1 == m2:
                pairs.add(r1 * (atoms.n_residues + 1) + r2)
                pairs.add(r2 * (atoms.n_residues + 1) + r1)
    return pairs


def _neighbours(n: int, i: NDArray[np.int64], j: NDArray[np.int64]) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """CSR adjacency (offsets, targets) of the undirected bonds."""
    a = np.concatenate([i, j])
    b = np.concatenate([j, i])
    order = np.argsort(a, kind="stable")
    offsets = np.concatenate([[0], np.cumsum(np.bincount(a, minlength=n))]).astype(np.int64)
    return offsets, b[order]


def _first_other(offsets: NDArray[np.int64], targets: NDArray[np.int64], atom: NDArray[np.int64],
                 exclude: NDArray[np.int64], avoid_h: NDArray[np.bool_] | None = None) -> NDArray[np.int64]:
    """Per row, a neighbour of atom other than exclude (preferring heavy atoms), or -1."""
    out = np.full(len(atom), -1, dtype=np.int64)
    for row, (a, x) in enumerate(zip(atom.tolist(), exclude.tolist())):
        best = -1
        for t in targets[offsets[a]:offsets[a + 1]].tolist():
            if t == x:
                continue
            if best < 0 or (avoid_h is not None and avoid_h[best] and not avoid_h[t]):
                best = t
        out[row] = best
    return out


@dataclass(frozen=True, eq=False, slots=True)
class Topology:
    """The covalent part of a molecule's network and the roles of atoms that follow from it.

    The roles are donors, acceptors, charged groups and apolar atoms: what a trajectory keeps from
    one frame to the next. ``build_network(atoms, topology=...)`` reuses it for other coordinates of
    the same atoms, so that only the contacts are searched again.

    Attributes
    ----------
    atoms : Atoms
        The atoms it was found for.
    i, j : ndarray of int64
        The covalent bonds.
    peptide, double : ndarray of bool
        Bonds locked as peptide bonds and as double bonds.
    offsets, targets : ndarray of int64
        The bonded neighbours of atom a: ``targets[offsets[a]:offsets[a + 1]]``.
    degree, h_count : ndarray of int64, shape (n,)
        Each atom's bonds and bonded hydrogens.
    """

    atoms: Atoms
    i: NDArray[np.int64]
    j: NDArray[np.int64]
    peptide: NDArray[np.bool_]
    double: NDArray[np.bool_]
    offsets: NDArray[np.int64]
    targets: NDArray[np.int64]
    degree: NDArray[np.int64]
    h_count: NDArray[np.int64]
    roles: _Roles = field(repr=False)
    reach: dict[int, frozenset[int]] = field(default_factory=dict, repr=False)

    def covalent_bars(self, bars: Bars) -> NDArray[np.int64]:
        out = np.full(len(self.i), bars.covalent, dtype=np.int64)
        out[self.double] = bars.double_bond
        out[self.peptide] = bars.peptide
        return out

    def within(self, i: NDArray[np.int64], j: NDArray[np.int64]) -> NDArray[np.bool_]:
        """Whether atom j[k] is at most TETHER_MIN_BONDS covalent bonds from atom i[k]; the
        atoms near each i are remembered, as they do not change along a trajectory."""
        out = np.zeros(len(i), dtype=np.bool_)
        offsets, targets = self.offsets, self.targets
        for k, (a, b) in enumerate(zip(i.tolist(), j.tolist())):
            near = self.reach.get(a)
            if near is None:
                seen, frontier = {a}, [a]
                for _ in range(TETHER_MIN_BONDS):
                    frontier = [t for f in frontier for t in targets[offsets[f]:offsets[f + 1]].tolist()
                                if t not in seen]
                    seen.update(frontier)
                near = self.reach[a] = frozenset(seen)
            out[k] = b in near
        return out


@dataclass(frozen=True, slots=True)
class _Roles:
    """Per atom, what the contact rules need from the bonds alone."""

    partner: NDArray[np.int64]         # a hydrogen's one bonded atom, else -1
    donor_h: NDArray[np.bool_]         # hydrogens bonded to N or O
    acceptor: NDArray[np.bool_]
    base: NDArray[np.int64]            # an acceptor's neighbour (heavy if it has one), else -1
    donor_other: NDArray[np.int64]     # for a donor hydrogen, another neighbour of its donor
    base_other: NDArray[np.int64]      # for an acceptor, another neighbour of its base
    donor_sp3: NDArray[np.bool_]
    acceptor_sp3: NDArray[np.bool_]
    cation: NDArray[np.bool_]
    anion: NDArray[np.bool_]
    apolar: NDArray[np.bool_]
    radius: NDArray[np.float64]        # van der Waals radius of apolar atoms


def covalent_topology(atoms: Atoms) -> Topology:
    """The covalent bonds of the atoms, which of them are locked, and the roles of atoms.

    Parameters
    ----------
    atoms : Atoms

    Returns
    -------
    Topology
        The bonds (see covalent_bonds) and the atoms' roles in hydrogen bonds, salt bridges and
        tethers.

    Raises
    ------
    StructureError
        When there are no atoms.

    Examples
    --------
    A benzene-like ring of six carbons: six bonds, two at every atom.

    >>> import numpy as np
    >>> import telvora_molecules as tm
    >>> ring = [(np.cos(a), np.sin(a), 0.0) for a in np.arange(6) * np.pi / 3]
    >>> topology = tm.covalent_topology(tm.from_coordinates(["C"] * 6, np.array(ring) * 1.39))
    >>> len(topology.i), topology.degree.tolist()
    (6, [2, 2, 2, 2, 2, 2])
    """
    n = len(atoms)
    if n == 0:
        raise StructureError("the structure has no atoms")
    h = atoms.hydrogen
    ci, cj = covalent_bonds(atoms)
    offsets, targets = _neighbours(n, ci, cj)
    degree = np.diff(offsets)
    heavy_degree = np.bincount(np.concatenate([ci[~h[cj]], cj[~h[ci]]]), minlength=n)
    h_count = degree - heavy_degree
    return Topology(atoms=atoms, i=ci, j=cj, peptide=_peptide_bonds(atoms, ci, cj),
                    double=_double_bonds(atoms, ci, cj, degree), offsets=offsets, targets=targets, degree=degree,
                    h_count=h_count, roles=_roles(atoms, offsets, targets, degree, h_count))


def _roles(atoms: Atoms, offsets: NDArray[np.int64], targets: NDArray[np.int64], degree: NDArray[np.int64],
           h_count: NDArray[np.int64]) -> _Roles:
    element, name, rname = atoms.element, atoms.name, atoms.residue_name
    n = len(atoms)
    h = atoms.hydrogen
    every = np.arange(n, dtype=np.int64)
    none = np.full(n, -1, dtype=np.int64)
    # Donor hydrogens: bonded to N or O. Donor atom: that partner.
    partner = np.full(n, -1, dtype=np.int64)
    single = h & (degree == 1)
    partner[single] = targets[offsets[:-1][single]]
    donor_h = single & np.isin(element[np.maximum(partner, 0)], ("N", "O")) & (partner >= 0)
    # Acceptors: every oxygen; a nitrogen with two neighbours and no hydrogen (aromatic ring nitrogen).
    acceptor = (element == "O") | ((element == "N") & (degree == 2) & (h_count == 0))
    # A hydrogen is never bonded to its acceptor (that would make the acceptor its donor), so an
    # acceptor's base and the other atoms of the two planes depend on the atoms alone.
    acc = np.flatnonzero(acceptor)
    base = none.copy()
    base[acc] = _first_other(offsets, targets, acc, none[acc], h)
    with_base = acc[base[acc] >= 0]
    base_other = none.copy()
    base_other[with_base] = _first_other(offsets, targets, base[with_base], with_base)
    hyd = np.flatnonzero(donor_h)
    donor_other = none.copy()
    donor_other[hyd] = _first_other(offsets, targets, partner[hyd], hyd)
    donor_sp3 = ((element == "N") & (degree == 4)) | ((element == "O") & (degree >= 2))
    acceptor_sp3 = (element == "O") & (degree >= 2) | ((element == "O") & (degree == 0))
    # Salt bridges (Barlow and Thornton 1983).
    is_n = element == "N"
    cation = is_n & (degree == 4) & (h_count >= 1)  # ammonium: lysine, the N-terminus, ligands
    cation |= is_n & (rname == "ARG") & np.isin(name, ("NE", "NH1", "NH2")) & (h_count >= 1)
    his = np.isin(rname, ("HIS", "HIP", "HSP", "HSH"))
    for r in np.unique(atoms.residue[his & is_n]):
        ring = np.flatnonzero((atoms.residue == r) & np.isin(name, ("ND1", "NE2")))
        if len(ring) == 2 and (h_count[ring] >= 1).all():
            cation[ring] = True  # imidazolium: both ring nitrogens protonated
    anion = _carboxylate_oxygens(element, offsets, targets, degree)
    # Tethers: carbons and sulphurs bonded only to carbon, sulphur and hydrogen.
    bonded_polar = np.zeros(n, dtype=np.bool_)
    src = np.repeat(every, np.diff(offsets))
    polar = ~np.isin(element[targets], ("C", "S", "H", "D"))
    np.logical_or.at(bonded_polar, src[polar], True)
    apolar = np.isin(element, ("C", "S")) & ~bonded_polar & ~atoms.water
    radius = np.array([VDW_RADIUS.get(e, 0.0) for e in element.tolist()], dtype=np.float64)
    return _Roles(partner=partner, donor_h=donor_h, acceptor=acceptor, base=base, donor_other=donor_other,
                  base_other=base_other, donor_sp3=donor_sp3, acceptor_sp3=acceptor_sp3, cation=cation, anion=anion,
                  apolar=apolar, radius=radius)


def _carboxylate_oxygens(element: NDArray[np.str_], offsets: NDArray[np.int64], targets: NDArray[np.int64],
                         degree: NDArray[np.int64]) -> NDArray[np.bool_]:
    """Oxygens of carboxylates: two oxygens bonded to one carbon and to nothing else."""
    terminal_o = (element == "O") & (degree == 1)
    src = np.repeat(np.arange(len(element), dtype=np.int64), np.diff(offsets))
    count = np.bincount(src[terminal_o[targets]], minlength=len(element))
    carbon = (element == "C") & (count == 2)
    first = np.full(len(element), -1, dtype=np.int64)
    first[degree > 0] = targets[offsets[:-1][degree > 0]]
    return terminal_o & (first >= 0) & carbon[np.maximum(first, 0)]


def build_network(atoms: Atoms, bars: Bars | None = None, *, hydrogen_bonds: bool = True,
                  salt_bridges: bool = True, hydrophobic: bool = True, topology: Topology | None = None) -> Network:
    """The constraint network of the atoms (see the module docstring and docs/molecules.md).

    Parameters
    ----------
    atoms : Atoms
    bars : Bars, optional
        Bars per kind of constraint; ``Bars()`` when not given.
    hydrogen_bonds, salt_bridges, hydrophobic : bool, default True
        Which contacts to find besides the covalent bonds.
    topology : Topology, optional
        From covalent_topology of the same atoms, perhaps at other coordinates: its covalent bonds
        are kept and only the contacts are found at these coordinates.

    Returns
    -------
    Network

    Raises
    ------
    StructureError
        When there are no atoms, or hydrogen bonds are asked for and there are no hydrogens: they
        cannot be placed by guessing, and the hydrogen-bond network is the point of the model.
    ValueError
        When topology was found for another number of atoms.

    Examples
    --------
    >>> import numpy as np
    >>> import telvora_molecules as tm
    >>> ring = [(np.cos(a), np.sin(a), 0.0) for a in np.arange(6) * np.pi / 3]
    >>> atoms = tm.from_coordinates(["C"] * 6, np.array(ring) * 1.39)
    >>> network = tm.build_network(atoms, hydrogen_bonds=False, salt_bridges=False, hydrophobic=False)
    >>> len(network.i), network.n_fixed
    (6, 6)
    """
    bars = Bars() if bars is None else bars
    n = len(atoms)
    if n == 0:
        raise StructureError("the structure has no atoms")
    h = atoms.hydrogen
    if (hydrogen_bonds or salt_bridges) and not h.any():
        where = atoms.source or "the structure"
        raise StructureError(f"{where} has no hydrogen atoms, which hydrogen bonds need: add them first "
                             "(for example `pip install hydride` then `hydride -i IN.pdb -o OUT.pdb`, "
                             "or reduce or PDBFixer) and analyse the protonated file")
    if topology is None:
        topology = covalent_topology(atoms)
    elif len(topology.atoms) != n:
        raise ValueError(f"the topology has {len(topology.atoms)} atoms, the structure {n}")
    ci, cj = topology.i, topology.j
    rows_i, rows_j, rows_kind, rows_bars, rows_energy = [ci], [cj], [np.full(len(ci), Kind.COVALENT)], [
        topology.covalent_bars(bars)], [np.zeros(len(ci))]
    salt_pairs: set[tuple[int, int]] = set()
    if salt_bridges:
        si, sj = _salt_bridges(atoms, topology)
        salt_pairs = set(zip(si.tolist(), sj.tolist()))
        rows_i.append(si)
        rows_j.append(sj)
        rows_kind.append(np.full(len(si), Kind.SALT_BRIDGE))
        rows_bars.append(np.full(len(si), bars.salt_bridge, dtype=np.int64))
        rows_energy.append(np.zeros(len(si)))
    if hydrophobic:
        ti, tj = _tethers(atoms, topology)
        rows_i.append(ti)
        rows_j.append(tj)
        rows_kind.append(np.full(len(ti), Kind.HYDROPHOBIC))
        rows_bars.append(np.full(len(ti), bars.hydrophobic, dtype=np.int64))
        rows_energy.append(np.zeros(len(ti)))
    if hydrogen_bonds:
        hi, ha, energy = _hydrogen_bonds(atoms, topology)
        if salt_pairs:
            keep = np.array([(a, b) not in salt_pairs for a, b in zip(hi.tolist(), ha.tolist())], dtype=np.bool_)
            hi, ha, energy = hi[keep], ha[keep], energy[keep]
        order = np.lexsort((ha, hi, energy))  # strongest first; ties by atoms, so the order is reproducible
        rows_i.append(hi[order])
        rows_j.append(ha[order])
        rows_kind.append(np.full(len(hi), Kind.HYDROGEN_BOND))
        rows_bars.append(np.full(len(hi), bars.hydrogen_bond, dtype=np.int64))
        rows_energy.append(energy[order])
    return Network(atoms=atoms, i=np.concatenate(rows_i).astype(np.int64), j=np.concatenate(rows_j).astype(np.int64),
                   kind=np.concatenate(rows_kind).astype(np.int8), bars=np.concatenate(rows_bars).astype(np.int64),
                   energy=np.concatenate(rows_energy).astype(np.float64), bar_counts=bars)


def _peptide_bonds(atoms: Atoms, i: NDArray[np.int64], j: NDArray[np.int64]) -> NDArray[np.bool_]:
    """Bonds C(k)-N(k+1) between consecutive amino-acid residues: planar, so locked."""
    ni, nj = atoms.name[i], atoms.name[j]
    ri, rj = atoms.residue[i], atoms.residue[j]
    both = atoms.polymer[i] & atoms.polymer[j] & (atoms.chain_index[i] == atoms.chain_index[j])
    forward = (ni == "C") & (nj == "N") & (rj == ri + 1)
    backward = (ni == "N") & (nj == "C") & (ri == rj + 1)
    return both & (forward | backward)


def _double_bonds(atoms: Atoms, i: NDArray[np.int64], j: NDArray[np.int64],
                  degree: NDArray[np.int64]) -> NDArray[np.bool_]:
    """Double bonds, which do not turn: C=O of carbonyls, amides and carboxylates (an oxygen
    whose one bond is to a carbon; both oxygens of a carboxylate by resonance) and the C=N
    bonds of arginine's guanidinium (CZ-NH1, CZ-NH2). Bond orders are not read, so these are
    the ones recognisable from elements, bonds and arginine's atom names."""
    element, name = atoms.element, atoms.name

    def carbonyl(c: NDArray[np.int64], o: NDArray[np.int64]) -> NDArray[np.bool_]:
        return (element[c] == "C") & (element[o] == "O") & (degree[o] == 1)
    arginine = (atoms.residue_name[i] == "ARG") & (atoms.residue[i] == atoms.residue[j])
    guanidinium = (((name[i] == "CZ") & np.isin(name[j], ("NH1", "NH2")))
                   | ((name[j] == "CZ") & np.isin(name[i], ("NH1", "NH2"))))
    return carbonyl(i, j) | carbonyl(j, i) | (arginine & guanidinium)


def _salt_bridges(atoms: Atoms, topology: Topology) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """(hydrogen, oxygen) pairs of salt bridges: a cationic nitrogen within 4.0 Å of an anionic
    oxygen, the bridge placed on the nitrogen's hydrogen nearest the oxygen."""
    roles, offsets, targets = topology.roles, topology.offsets, topology.targets
    cation, anion = roles.cation, roles.anion
    a, b = close_pairs(atoms.coords, SALT_BRIDGE_MAX_NO, atoms.model, cation | anion)
    nitrogen = np.where(cation[a] & anion[b], a, np.where(cation[b] & anion[a], b, -1))
    oxygen = np.where(nitrogen == a, b, a)
    keep = nitrogen >= 0
    nitrogen, oxygen = nitrogen[keep], oxygen[keep]
    hs, os_ = [], []
    hydrogen = atoms.hydrogen
    for nn, o in zip(nitrogen.tolist(), oxygen.tolist()):
        hydrogens = [t for t in targets[offsets[nn]:offsets[nn + 1]].tolist() if hydrogen[t]]
        nearest = min(hydrogens, key=lambda t: float(np.sum((atoms.coords[t] - atoms.coords[o]) ** 2)))
        hs.append(nearest)
        os_.append(o)
    pairs = sorted(set(zip(hs, os_)))
    return (np.array([p[0] for p in pairs], dtype=np.int64), np.array([p[1] for p in pairs], dtype=np.int64))


def _tethers(atoms: Atoms, topology: Topology) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Hydrophobic tethers: carbons and sulphurs bonded only to carbon, sulphur and hydrogen, in
    residues that are not the same or consecutive in a chain, within the sum of their van der
    Waals radii plus 0.25 Å."""
    limit = 2 * max(VDW_RADIUS.values()) + TETHER_MARGIN
    i, j = close_pairs(atoms.coords, limit, atoms.model, topology.roles.apolar)
    radius = topology.roles.radius
    d = np.linalg.norm(atoms.coords[i] - atoms.coords[j], axis=1)
    near = d <= radius[i] + radius[j] + TETHER_MARGIN
    ri, rj = atoms.residue[i], atoms.residue[j]
    apart = (ri != rj) & ~((atoms.chain_index[i] == atoms.chain_index[j]) & (np.abs(ri - rj) == 1))
    keep = near & apart
    # Residues apart can still be bonded (a disulphide): a tether across a few bonds would lock a
    # torsion that the hinges leave free, so pairs within TETHER_MIN_BONDS bonds are left out.
    keep[keep] = ~topology.within(i[keep], j[keep])
    return i[keep], j[keep]


def hydrogen_bond_energies(atoms: Atoms, offsets: NDArray[np.int64], targets: NDArray[np.int64],
                           degree: NDArray[np.int64], h_count: NDArray[np.int64]) -> tuple[
        NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]:
    """Hydrogen bonds (hydrogen, acceptor, energy in kcal/mol), those with negative energy.

    E = D0 [5 (R0/R)^12 - 6 (R0/R)^10] F, R the donor-acceptor distance, D0 = 8 kcal/mol,
    R0 = 2.8 Å, and F by the hybridizations of donor and acceptor:
    sp3-sp3 cos²θ cos²(φ - 109.5°), sp3-sp2 cos²θ cos²φ, sp2-sp3 cos⁴θ, sp2-sp2 cos²θ cos²(max(φ, ψ)),
    θ the donor-hydrogen-acceptor angle, φ the hydrogen-acceptor-base angle and ψ the (acute)
    angle between the normals of the donor's and the acceptor's planes. Candidates: hydrogen to
    acceptor at most 3.0 Å, donor to acceptor at most 4.0 Å, θ and φ at least 90°.
    """
    n = len(atoms)
    src = np.repeat(np.arange(n, dtype=np.int64), np.diff(offsets))
    half = src < targets
    topology = Topology(atoms=atoms, i=src[half], j=targets[half], peptide=np.zeros(int(half.sum()), dtype=np.bool_),
                        double=np.zeros(int(half.sum()), dtype=np.bool_), offsets=offsets, targets=targets,
                        degree=degree, h_count=h_count, roles=_roles(atoms, offsets, targets, degree, h_count))
    return _hydrogen_bonds(atoms, topology)


def _hydrogen_bonds(atoms: Atoms, topology: Topology) -> tuple[NDArray[np.int64], NDArray[np.int64],
                                                               NDArray[np.float64]]:
    """hydrogen_bond_energies at the atoms' coordinates with the roles of the topology."""
    roles = topology.roles
    i, j = close_pairs(atoms.coords, HBOND_MAX_HA, atoms.model, roles.donor_h | roles.acceptor)
    hyd = np.where(roles.donor_h[i] & roles.acceptor[j], i, np.where(roles.donor_h[j] & roles.acceptor[i], j, -1))
    acc = np.where(hyd == i, j, i)
    keep = hyd >= 0
    hyd, acc = hyd[keep], acc[keep]
    don = roles.partner[hyd]
    # Within one residue, only a donor and acceptor more than three bonds apart (a side chain that
    # bonds its own backbone) make a hydrogen bond; closer pairs are geometry.
    same = (atoms.residue[don] == atoms.residue[acc]) & (don != acc)
    keep = (don != acc) & ~same
    keep[same] = ~topology.within(don[same], acc[same])
    hyd, acc, don = hyd[keep], acc[keep], don[keep]
    xyz = atoms.coords
    r = np.linalg.norm(xyz[don] - xyz[acc], axis=1)
    theta = angles(xyz[don], xyz[hyd], xyz[acc])
    base = roles.base[acc]
    has_base = base >= 0
    phi = np.where(has_base, angles(xyz[hyd], xyz[acc], xyz[np.maximum(base, 0)]), 180.0)
    ok = (r <= HBOND_MAX_DA) & (theta >= 90.0) & (phi >= 90.0)
    hyd, acc, don, r, theta, phi, base = hyd[ok], acc[ok], don[ok], r[ok], theta[ok], phi[ok], base[ok]
    donor_sp3 = roles.donor_sp3[don]
    acceptor_sp3 = roles.acceptor_sp3[acc]
    cos_t2 = np.cos(np.radians(theta)) ** 2
    # The plane of an sp2 donor: the donor, its hydrogen and another neighbour; of an sp2
    # acceptor: the acceptor, its base and another neighbour of the base.
    d_other = roles.donor_other[hyd]
    b_other = roles.base_other[acc]
    planes = (d_other >= 0) & (b_other >= 0) & (base >= 0)
    nd = plane_normals(xyz[don], xyz[hyd], xyz[np.maximum(d_other, 0)])
    na = plane_normals(xyz[acc], xyz[np.maximum(base, 0)], xyz[np.maximum(b_other, 0)])
    psi = np.degrees(np.arccos(np.clip(np.abs(np.einsum("ij,ij->i", nd, na)), 0.0, 1.0)))
    psi = np.where(planes, psi, 0.0)
    factor = np.where(
        donor_sp3 & acceptor_sp3, cos_t2 * np.cos(np.radians(phi - 109.5)) ** 2,
        np.where(donor_sp3, cos_t2 * np.cos(np.radians(phi)) ** 2,
                 np.where(acceptor_sp3, cos_t2 ** 2,
                          cos_t2 * np.cos(np.radians(np.maximum(phi, psi))) ** 2)))
    ratio = HBOND_R0 / r
    energy = HBOND_D0 * (5.0 * ratio ** 12 - 6.0 * ratio ** 10) * factor
    keep = energy < 0.0
    return hyd[keep], acc[keep], energy[keep]
