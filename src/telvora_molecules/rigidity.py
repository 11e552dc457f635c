"""Rigid clusters of a molecule by the (6, 6) pebble game, and the hydrogen-bond dilution in one sweep.

Every atom is a body (a vertex), every constraint its bars (parallel edges). The (6, 6)
components are the rigid clusters of bodies; a body with a single hinge and nothing else has one
idle motion, its spin about that bond, and belongs to its neighbour's cluster (as a point it lies
on the hinge axis, which moves with the neighbour). The dilution plays the fixed constraints and
then the hydrogen bonds from the strongest to the weakest in ONE rigidity_sweep: since clusters
only merge as bars are added, the clusters with every bond of energy <= E present are read off
the sweep after the last such bond, for every E at once.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import telvora_graphs as tg
from numpy.typing import ArrayLike, NDArray

from .network import Kind, Network

#: Snapshot rows kept at once: components of many steps are read in sweeps of this many rows at most.
SNAPSHOT_ROW_BUDGET = 24_000_000


def _leaf_partners(network: Network, rows: int) -> NDArray[np.int64]:
    """Per atom, its one hinge partner among the first `rows` constraints when it has exactly
    one, else -1 (the partner is the XOR of all partners, exact when there is one)."""
    n = len(network.atoms)
    sel = network.hinge[:rows]
    i, j = network.i[:rows][sel], network.j[:rows][sel]
    pairs = np.unique(np.stack([np.minimum(i, j), np.maximum(i, j)], axis=1), axis=0) if len(i) else np.zeros(
        (0, 2), dtype=np.int64)
    degree = np.bincount(pairs.ravel(), minlength=n)
    xor = np.zeros(n, dtype=np.int64)
    np.bitwise_xor.at(xor, pairs[:, 0], pairs[:, 1])
    np.bitwise_xor.at(xor, pairs[:, 1], pairs[:, 0])
    return np.where(degree == 1, xor, -1)


def _raw_labels(members: NDArray[np.int64], n: int, partner: NDArray[np.int64]) -> NDArray[np.int64]:
    """Cluster labels of atoms, unranked, from the (component, vertex) rows of a snapshot (the
    (6, 6) components are disjoint): atoms in no component get labels of their own, and every
    atom with a `partner` its partner's label."""
    label = np.full(n, -1, dtype=np.int64)
    label[members[:, 1]] = members[:, 0]
    alone = np.flatnonzero(label < 0)
    label[alone] = (int(members[-1, 0]) + 1 if len(members) else 0) + np.arange(len(alone))
    leaf = np.flatnonzero(partner >= 0)
    if len(leaf):
        other = partner[leaf]
        # Two atoms bonded only to each other (a diatomic) share one cluster: the smaller label.
        label[leaf] = np.where(partner[other] >= 0, np.minimum(label[leaf], label[other]), label[other])
    return label


def _rank(label: NDArray[np.int64]) -> NDArray[np.int64]:
    """The labels renumbered 0, 1, ... by decreasing cluster size, ties by first atom."""
    n = len(label)
    sizes = np.bincount(label)
    first = np.full(len(sizes), n, dtype=np.int64)
    first[label[::-1]] = np.arange(n - 1, -1, -1)  # the last write, the smallest index, wins
    used = np.flatnonzero(sizes)
    rank = np.zeros(len(sizes), dtype=np.int64)
    rank[used[np.lexsort((first[used], -sizes[used]))]] = np.arange(len(used))
    return rank[label]


def _labels(components: NDArray[np.int64], partner: NDArray[np.int64]) -> NDArray[np.int64]:
    """Ranked cluster labels from the component of every body (-1 for none)."""
    vertices = np.flatnonzero(components >= 0)
    members = np.stack([components[vertices], vertices], axis=1)
    members = members[np.argsort(members[:, 0], kind="stable")]
    return _rank(_raw_labels(members, len(components), partner))


def rigid_clusters(network: Network, cutoff: float | None = None, *, leaves: str = "bonded") -> NDArray[np.int64]:
    """The rigid cluster of every atom with the hydrogen bonds of energy <= cutoff.

    Parameters
    ----------
    network : Network
    cutoff : float, optional
        Energy in kcal/mol; None keeps every hydrogen bond.
    leaves : {"bonded", "current"}, default "bonded"
        "bonded" (as the dilution reports) puts every atom with a single hinge among the fixed
        constraints (a hydrogen, a carbonyl oxygen) in its bonded partner's cluster: as a point it
        lies on that bond's axis, which moves with the partner. "current" does so only for atoms
        with a single hinge among all constraints present, leaving a hydrogen-bonded hydrogen that
        joins nothing a cluster of its own: the clusters K of bodies for which K plus its hinge
        neighbours are exactly the rigid components of points of the bar-joint framework.

    Returns
    -------
    ndarray of int64, shape (n,)
        Cluster labels 0, 1, ... by decreasing size.

    Raises
    ------
    ValueError
        For leaves other than "bonded" or "current".

    Examples
    --------
    >>> import numpy as np
    >>> import telvora_molecules as tm
    >>> ring = [(np.cos(a), np.sin(a), 0.0) for a in np.arange(6) * np.pi / 3]
    >>> atoms = tm.from_coordinates(["C"] * 6, np.array(ring) * 1.39)
    >>> network = tm.build_network(atoms, hydrogen_bonds=False, salt_bridges=False, hydrophobic=False)
    >>> tm.rigid_clusters(network).tolist()
    [0, 0, 0, 0, 0, 0]
    """
    if leaves not in ("bonded", "current"):
        raise ValueError(f"leaves must be 'bonded' or 'current', not {leaves!r}")
    rows = len(network) if cutoff is None else int(_rows_at(network, np.array([cutoff], dtype=np.float64))[0])
    edges = network.edges(slice(0, rows))
    pebbles = tg.pebble_game(edges, len(network.atoms), k=6, l=6)
    components = np.full(len(network.atoms), -1, dtype=np.int64)
    for c, members in enumerate(pebbles.components):
        components[members] = c
    return _labels(components, _leaf_partners(network, network.n_fixed if leaves == "bonded" else rows))


def _rows_at(network: Network, cutoffs: NDArray[np.float64]) -> NDArray[np.int64]:
    """For each cutoff, the number of constraint rows played once every hydrogen bond of energy
    <= cutoff is in (the bonds are sorted by energy after the fixed rows)."""
    fixed = network.n_fixed
    energy = network.energy[fixed:]
    return fixed + np.searchsorted(energy, cutoffs, side="right")


@dataclass(frozen=True, eq=False, slots=True)
class Dilution:
    """The hydrogen-bond dilution of a network, from one sweep.

    Step s has the fixed constraints and the s strongest hydrogen bonds (s = 0 .. n_hbonds); the
    clusters at an energy cutoff E are those of the last step with energy <= E.

    Attributes
    ----------
    network : Network
        The network diluted.
    energy : ndarray of float64, shape (n_hbonds + 1,)
        The energy of the weakest hydrogen bond present at each step (0 at step 0, which has none).
    independent : ndarray of bool, shape (n_hbonds + 1,)
        Whether the step's hydrogen bond brought an independent bar.
    largest, n_clusters : ndarray of int64, shape (n_hbonds + 1,)
        Per step, the atoms in the largest cluster and the clusters of two or more atoms.
    changes : ndarray of int64
        The steps whose clusters differ from the step before, and step 0.
    residue_atoms : ndarray of int64
        One representative atom per residue.
    residue_clusters : ndarray of int64, shape (len(changes), len(residue_atoms))
        The cluster of every representative atom at each step of `changes`.
    cutoffs : ndarray of float64
        The cutoffs asked for.
    atom_clusters : ndarray of int64, shape (len(cutoffs), n)
        The cluster of every atom at each cutoff.
    change_sizes : list of ndarray of int64
        ``change_sizes[r][label]``: the atoms in that cluster at step ``changes[r]`` (labels there
        are not ranked: they only name clusters within a row).
    n_hbonds : int
        The hydrogen bonds of the network.
    """

    network: Network
    energy: NDArray[np.float64]
    independent: NDArray[np.bool_]
    largest: NDArray[np.int64]
    n_clusters: NDArray[np.int64]
    changes: NDArray[np.int64]
    residue_atoms: NDArray[np.int64]
    residue_clusters: NDArray[np.int64]
    cutoffs: NDArray[np.float64]
    atom_clusters: NDArray[np.int64] = field(repr=False)
    change_sizes: list[NDArray[np.int64]] = field(repr=False, default_factory=list)

    @property
    def n_hbonds(self) -> int:
        return len(self.energy) - 1


def residue_representatives(network: Network) -> NDArray[np.int64]:
    """One atom per polymer residue for the dilution plot: CA of amino acids, P or C4' of
    nucleotides, else the residue's first heavy atom."""
    atoms = network.atoms
    out: list[int] = []
    heavy = ~atoms.hydrogen
    for r in np.unique(atoms.residue[atoms.polymer]):
        members = np.flatnonzero(atoms.residue == r)
        names = atoms.name[members].tolist()
        choice = next((members[names.index(key)] for key in ("CA", "P", "C4'") if key in names), None)
        if choice is None:
            heavy_members = members[heavy[members]]
            choice = heavy_members[0] if len(heavy_members) else members[0]
        out.append(int(choice))
    return np.array(out, dtype=np.int64)


def dilute(network: Network, cutoffs: ArrayLike = (), *, row_budget: int = SNAPSHOT_ROW_BUDGET) -> Dilution:
    """The whole dilution: every hydrogen bond removed in order of increasing strength.

    The clusters after each removal come from rigidity_sweep played in the reverse direction
    (fixed constraints, then hydrogen bonds from the strongest to the weakest). A first sweep
    without snapshots says which hydrogen bonds brought an independent bar; only those can change
    the clusters, so components are read at those steps alone, in as many further sweeps as
    `row_budget` rows of snapshots need (one for structures of tens of thousands of atoms).

    Parameters
    ----------
    network : Network
    cutoffs : array_like of float, default ()
        Energies in kcal/mol at which to keep every atom's cluster (atom_clusters).
    row_budget : int
        The most snapshot rows one sweep keeps.

    Returns
    -------
    Dilution

    Raises
    ------
    ValueError
        For cutoffs that are not finite.

    Examples
    --------
    >>> import numpy as np
    >>> import telvora_molecules as tm
    >>> ring = [(np.cos(a), np.sin(a), 0.0) for a in np.arange(6) * np.pi / 3]
    >>> atoms = tm.from_coordinates(["C"] * 6, np.array(ring) * 1.39)
    >>> network = tm.build_network(atoms, hydrogen_bonds=False, salt_bridges=False, hydrophobic=False)
    >>> dilution = tm.dilute(network, cutoffs=[-1.0])
    >>> dilution.largest.tolist(), dilution.atom_clusters.tolist()
    ([6], [[0, 0, 0, 0, 0, 0]])
    """
    cut = np.atleast_1d(np.asarray(cutoffs, dtype=np.float64))
    if cut.ndim != 1 or not np.isfinite(cut).all():
        raise ValueError("cutoffs must be finite energies in kcal/mol")
    n = len(network.atoms)
    fixed = network.n_fixed
    n_hb = len(network) - fixed
    offsets = network.bar_offsets()
    edges = network.edges()
    # Step s ends after row fixed + s, i.e. after offsets[fixed + s] bars.
    step_bars = offsets[fixed:]
    if (n_hb + 1) * n <= row_budget:  # small enough: every step's components from the one sweep
        first = tg.rigidity_sweep(edges, n, k=6, l=6, snapshots=step_bars)
    else:  # the last step has the most atoms in components: it bounds the rows of every snapshot
        first = tg.rigidity_sweep(edges, n, k=6, l=6, snapshots=step_bars[[0, n_hb]])
    accepted = np.concatenate([[0], np.cumsum(first.labels, dtype=np.int64)])
    gained = accepted[step_bars[1:]] - accepted[step_bars[:-1]] if n_hb else np.zeros(0, dtype=np.int64)
    independent = np.concatenate([[True], gained > 0])
    candidates = np.flatnonzero(independent)  # steps whose clusters may differ from the step before
    cut_steps = _rows_at(network, cut) - fixed
    wanted = np.union1d(candidates, cut_steps)
    cut_set = set(cut_steps.tolist())
    energy = np.concatenate([[0.0], network.energy[fixed:]])
    reps = residue_representatives(network)

    partner = _leaf_partners(network, fixed)
    labels_at: dict[int, NDArray[np.int64]] = {}
    largest = np.zeros(len(wanted), dtype=np.int64)
    n_clusters = np.zeros(len(wanted), dtype=np.int64)
    previous = -1
    changes: list[int] = []
    residue_rows: list[NDArray[np.int64]] = []
    change_sizes: list[NDArray[np.int64]] = []
    every_step = len(first.steps) == n_hb + 1
    most_rows = int(first.snapshot_offsets[-1] - first.snapshot_offsets[-2]) if len(first.steps) else n
    per_sweep = len(wanted) if every_step else max(1, row_budget // max(most_rows, 1))
    position = 0
    for start in range(0, len(wanted), per_sweep):
        chunk = wanted[start:start + per_sweep]
        if every_step:
            sweep, snapshot = first, chunk
        else:
            sweep = tg.rigidity_sweep(edges, n, k=6, l=6, snapshots=step_bars[chunk])
            snapshot = np.arange(len(chunk))
        bounds = sweep.snapshot_offsets
        for s_index, step in zip(snapshot.tolist(), chunk.tolist()):
            labels = _raw_labels(sweep.snapshot_members[bounds[s_index]:bounds[s_index + 1]], n, partner)
            sizes = np.bincount(labels)
            largest[position] = sizes.max(initial=0)
            n_clusters[position] = np.count_nonzero(sizes >= 2)
            count = int(np.count_nonzero(sizes))
            position += 1
            if step in cut_set:
                labels_at[step] = _rank(labels)
            # Clusters only merge as bonds are added, so an equal count is the same partition.
            if count != previous:
                changes.append(step)
                residue_rows.append(labels[reps])
                change_sizes.append(sizes)
            previous = count
    # Steps in between are those of the candidate before them: fill the per-step summaries.
    index = np.searchsorted(wanted, np.arange(n_hb + 1), side="right") - 1
    atom_clusters = (np.stack([labels_at[int(s)] for s in cut_steps]) if len(cut_steps)
                     else np.zeros((0, n), dtype=np.int64))
    return Dilution(network=network, energy=energy, independent=independent, largest=largest[index],
                    n_clusters=n_clusters[index], changes=np.array(changes, dtype=np.int64), residue_atoms=reps,
                    residue_clusters=(np.stack(residue_rows) if residue_rows
                                      else np.zeros((0, len(reps)), dtype=np.int64)),
                    cutoffs=cut, atom_clusters=atom_clusters, change_sizes=change_sizes)


__all__ = ["Dilution", "Kind", "dilute", "residue_representatives", "rigid_clusters"]
