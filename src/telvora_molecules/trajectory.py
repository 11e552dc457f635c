"""Rigid clusters along a molecular-dynamics trajectory, read with MDAnalysis.

The covalent bonds, which bonds are locked and the roles of atoms (donors, acceptors, charged
groups, apolar atoms) come from the first frame of the trajectory and stay fixed; hydrogen bonds,
salt bridges and hydrophobic tethers are found again in every frame, and the clusters at every
energy cutoff come from one sweep of the (6, 6) pebble game per frame.
"""

from __future__ import annotations

import dataclasses
import gc
import sys
import warnings
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import telvora_graphs as tg
from numpy.typing import ArrayLike, NDArray

from .atoms import Atoms, StructureError, import_gemmi
from .network import Bars, Kind, Network, Topology, build_network, covalent_topology
from .rigidity import _leaf_partners, _rank, _raw_labels, _rows_at


def import_mdanalysis() -> Any:
    """MDAnalysis, or an ImportError that says how to install it."""
    try:
        import MDAnalysis
    except ImportError as exc:
        raise ImportError("reading trajectories needs MDAnalysis: pip install 'telvora[trajectories]'") from exc
    return MDAnalysis


@dataclass(frozen=True, eq=False, slots=True)
class TrajectoryClusters:
    """Rigid clusters of every analysed frame.

    Cluster numbers are 0, 1, ... by decreasing size within a frame, so they name clusters only
    within one frame.

    Attributes
    ----------
    atoms : Atoms
        The atoms analysed.
    topology : Topology
        The covalent bonds of the first frame, which every frame keeps.
    frames : ndarray of int64, shape (F,)
        Frame numbers in the trajectory, from 0.
    time : ndarray of float64, shape (F,)
        Their times in ps as the trajectory gives them.
    cutoffs : ndarray of float64, shape (C,)
        The energy cutoffs in kcal/mol.
    clusters : ndarray of int32, shape (F, C, n)
        The cluster of every atom per frame and cutoff.
    largest, n_clusters, n_hbonds : ndarray of int64, shape (F, C)
        The atoms in the largest cluster, the clusters of two or more atoms, and the hydrogen bonds
        of energy <= the cutoff.
    n_salt_bridges, n_tethers : ndarray of int64, shape (F,)
        Per frame.
    """

    atoms: Atoms
    topology: Topology
    frames: NDArray[np.int64]
    time: NDArray[np.float64]
    cutoffs: NDArray[np.float64]
    clusters: NDArray[np.int32]
    largest: NDArray[np.int64]
    n_clusters: NDArray[np.int64]
    n_hbonds: NDArray[np.int64]
    n_salt_bridges: NDArray[np.int64]
    n_tethers: NDArray[np.int64]

    @property
    def largest_share(self) -> NDArray[np.float64]:
        """The largest cluster's share of the atoms, per frame and cutoff."""
        return self.largest / max(len(self.atoms), 1)


def clusters_at(network: Network, cutoffs: ArrayLike) -> NDArray[np.int64]:
    """The rigid cluster of every atom at each cutoff (rows), as rigid_clusters gives them, from
    one sweep of the game with a snapshot at every cutoff."""
    cut = np.atleast_1d(np.asarray(cutoffs, dtype=np.float64))
    n = len(network.atoms)
    rows = _rows_at(network, cut)
    offsets = network.bar_offsets()
    steps = offsets[rows]
    edges = network.edges(slice(0, int(rows.max(initial=0))))
    sweep = tg.rigidity_sweep(edges, n, k=6, l=6, snapshots=steps)
    partner = _leaf_partners(network, network.n_fixed)
    bounds = sweep.snapshot_offsets
    out = np.empty((len(cut), n), dtype=np.int64)
    for c in range(len(cut)):
        out[c] = _rank(_raw_labels(sweep.snapshot_members[bounds[c]:bounds[c + 1]], n, partner))
    return out


def _topology_atoms(atoms: Atoms) -> tuple[NDArray[np.int64], list[str]]:
    """Where each analysed atom sits among the atoms of its topology file (which a trajectory
    lists in full: waters, ions and every alternate location included), and those atoms' names.

    The analysed atoms are the file's atoms in file order with some left out (read_structure
    keeps the order), so they are matched as a subsequence on identity and coordinates.
    """
    if atoms.structure is None:  # built from coordinates: the trajectory has exactly these atoms
        return np.arange(len(atoms), dtype=np.int64), atoms.name.tolist()
    models = np.unique(atoms.model)
    if len(models) != 1:
        raise StructureError("a trajectory goes with one model of the topology, not several (use --model first)")
    gemmi = import_gemmi()
    st = gemmi.read_structure(atoms.source)
    model = next((m for m in st if int(m.num if hasattr(m, "num") else m.name) == int(models[0])), st[0])
    names: list[str] = []
    keys: list[tuple[str, int, str, str, str, float, float, float]] = []
    for chain in model:
        for res in chain:
            for atom in res:
                names.append(atom.name)
                keys.append((chain.name, res.seqid.num, res.seqid.icode.strip(), res.name, atom.name, atom.pos.x,
                             atom.pos.y, atom.pos.z))
    index = np.empty(len(atoms), dtype=np.int64)
    k = 0
    ours = zip(atoms.chain.tolist(), atoms.seq_id.tolist(), atoms.insertion.tolist(), atoms.residue_name.tolist(),
               atoms.name.tolist(), atoms.coords.tolist())
    wanted = next(ours, None)
    for position, key in enumerate(keys):
        if wanted is None:
            break
        chain, seq, icode, rname, name, xyz = wanted
        if key == (chain, seq, icode, rname, name, xyz[0], xyz[1], xyz[2]):
            index[k] = position
            k += 1
            wanted = next(ours, None)
    if k != len(atoms):  # pragma: no cover - read_structure keeps the file's order
        raise StructureError(f"{atoms.source}: its atoms could not be matched to the file's")
    return index, names


def _open(mda: Any, path: Path) -> Any:
    """A reader of the trajectory's coordinates (in Å) by its file suffix."""
    from MDAnalysis.core._get_readers import get_reader_for
    try:
        reader_class = get_reader_for(str(path))
    except (ValueError, TypeError) as exc:
        raise StructureError(f"{path}: not a trajectory format MDAnalysis reads ({exc})") from None
    # A reader that fails half-way complains from __del__ about the file it never opened; that
    # noise would follow the one-line error, so it is collected here with the hook silenced.
    hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    try:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # notices of MDAnalysis's changes to come
                return reader_class(str(path))
        except (OSError, ValueError, EOFError, RuntimeError, IndexError) as exc:
            message = str(exc)
        gc.collect()
    finally:
        sys.unraisablehook = hook
    raise StructureError(f"{path}: not a readable trajectory ({message})")


def _trajectory_names(mda: Any, path: Path) -> list[str] | None:
    """The atom names a trajectory file carries (multi-model PDB, GRO, ...), None when its
    format has none (DCD, XTC, TRR, ...)."""
    from MDAnalysis.core._get_readers import get_parser_for
    try:
        get_parser_for(str(path))
    except (ValueError, TypeError):
        return None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            universe = mda.Universe(str(path))
    except Exception:  # no usable topology in it: only coordinates are compared
        return None
    if not hasattr(universe.atoms, "names"):
        return None
    return [str(name) for name in universe.atoms.names]


def check_trajectory(atoms: Atoms, trajectory: str | Path) -> tuple[Any, NDArray[np.int64]]:
    """Opens the trajectory and checks it against the atoms' topology file: the same number of
    atoms and, when the trajectory names its atoms, the same names. Returns the reader and the
    index of every analysed atom among the trajectory's atoms; a mismatch is a StructureError
    naming the first difference."""
    mda = import_mdanalysis()
    path = Path(trajectory)
    if not path.is_file():
        raise StructureError(f"{path}: no such file")
    index, names = _topology_atoms(atoms)
    reader = _open(mda, path)
    topology = atoms.source or "the topology"
    if reader.n_atoms != len(names):
        reader.close()
        raise StructureError(f"{path} does not match {topology}: the trajectory has {reader.n_atoms} atoms, "
                             f"the topology {len(names)}")
    theirs = _trajectory_names(mda, path)
    if theirs is not None and len(theirs) == len(names):
        for k, (a, b) in enumerate(zip(theirs, names)):
            if a.strip() != b.strip():
                reader.close()
                raise StructureError(f"{path} does not match {topology}: atom {k + 1} is {a.strip()} in the "
                                     f"trajectory and {b.strip()} in the topology")
    if reader.n_frames == 0:
        reader.close()
        raise StructureError(f"{path}: the trajectory has no frames")
    return reader, index


def _positions(reader: Any, frame: int, index: NDArray[np.int64], trajectory: str | Path) -> NDArray[np.float64]:
    """The analysed atoms' coordinates (Å) in one frame."""
    xyz = reader[frame].positions[index].astype(np.float64)
    if not np.isfinite(xyz).all():
        raise StructureError(f"{trajectory}: frame {frame} has coordinates that are not finite")
    return xyz


def frame_numbers(n_frames: int, frames: slice | Iterable[int] | None = None, stride: int = 1) -> NDArray[np.int64]:
    """The frames to analyse: `frames` (a slice, or frame numbers; None for all) taken every
    `stride`-th. ValueError for a frame outside the trajectory or a stride below 1."""
    if isinstance(stride, bool) or not isinstance(stride, (int, np.integer)) or stride < 1:
        raise ValueError(f"stride must be a positive integer, not {stride!r}")
    if frames is None:
        chosen = np.arange(n_frames, dtype=np.int64)
    elif isinstance(frames, slice):
        chosen = np.arange(n_frames, dtype=np.int64)[frames]
    else:
        chosen = np.asarray(list(frames), dtype=np.int64)
        outside = chosen[(chosen < 0) | (chosen >= n_frames)]
        if len(outside):
            raise ValueError(f"frame {int(outside[0])} is outside the trajectory (frames 0 to {n_frames - 1})")
    chosen = chosen[::stride]
    if not len(chosen):
        raise ValueError(f"no frame chosen (the trajectory has {n_frames} frames)")
    return chosen


def analyze_trajectory(atoms: Atoms, trajectory: str | Path, cutoffs: ArrayLike = (-1.0,), *,
                       bars: Bars | None = None, frames: slice | Iterable[int] | None = None, stride: int = 1,
                       salt_bridges: bool = True, hydrophobic: bool = True,
                       progress: Callable[[int, int], None] | None = None) -> TrajectoryClusters:
    """Rigid clusters of the atoms in every chosen frame of a trajectory, at each energy cutoff.

    Covalent bonds come from the trajectory's first frame and are kept; hydrogen bonds, salt
    bridges and tethers are found in every frame.

    Parameters
    ----------
    atoms : Atoms
        From read_structure of the topology file (PDB or mmCIF with hydrogens, one model), or
        from_coordinates for a trajectory of exactly those atoms.
    trajectory : str or pathlib.Path
        Any file MDAnalysis reads (DCD, XTC, TRR, multi-model PDB, ...) with all the topology
        file's atoms in its order.
    cutoffs : array_like of float, default (-1.0,)
        Hydrogen-bond energy cutoffs in kcal/mol.
    bars : Bars, optional
        Bars per kind of constraint.
    frames : slice or iterable of int, optional
        The frames to analyse; all when not given.
    stride : int, default 1
        Every stride-th of them.
    salt_bridges, hydrophobic : bool, default True
        Which contacts to find besides covalent and hydrogen bonds.
    progress : callable, optional
        ``progress(done, total)`` is called after each frame.

    Returns
    -------
    TrajectoryClusters

    Raises
    ------
    StructureError
        When the trajectory does not match the topology.
    ImportError
        Without MDAnalysis (the message says how to install it).

    Examples
    --------
    With MDAnalysis installed (the ``trajectories`` extra) and a topology and trajectory of the
    same atoms (not run here):

    >>> import telvora_molecules as tm
    >>> atoms = tm.read_structure("top.pdb")  # doctest: +SKIP
    >>> clusters = tm.analyze_trajectory(atoms, "run.xtc", cutoffs=[-1.0], stride=10)  # doctest: +SKIP
    """
    bars = Bars() if bars is None else bars
    cut = np.atleast_1d(np.asarray(cutoffs, dtype=np.float64))
    if cut.ndim != 1 or not len(cut) or not np.isfinite(cut).all():
        raise ValueError("cutoffs must be one or more finite energies in kcal/mol")
    reader, index = check_trajectory(atoms, trajectory)
    try:
        chosen = frame_numbers(reader.n_frames, frames, stride)
        n = len(atoms)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            first = dataclasses.replace(atoms, coords=_positions(reader, 0, index, trajectory))
            topology = covalent_topology(first)
            clusters = np.empty((len(chosen), len(cut), n), dtype=np.int32)
            n_hbonds = np.zeros((len(chosen), len(cut)), dtype=np.int64)
            salt = np.zeros(len(chosen), dtype=np.int64)
            tethers = np.zeros(len(chosen), dtype=np.int64)
            time = np.zeros(len(chosen), dtype=np.float64)
            for f, frame in enumerate(chosen.tolist()):
                xyz = _positions(reader, frame, index, trajectory)
                time[f] = float(reader.ts.time)
                network = build_network(dataclasses.replace(atoms, coords=xyz), bars, salt_bridges=salt_bridges,
                                        hydrophobic=hydrophobic, topology=topology)
                clusters[f] = clusters_at(network, cut)
                hb_energy = network.energy[network.kind == Kind.HYDROGEN_BOND]  # sorted, strongest first
                n_hbonds[f] = np.searchsorted(hb_energy, cut, side="right")
                salt[f] = network.count(Kind.SALT_BRIDGE)
                tethers[f] = network.count(Kind.HYDROPHOBIC)
                if progress is not None:
                    progress(f + 1, len(chosen))
    finally:
        reader.close()
    sizes = [[np.bincount(labels) for labels in per_frame] for per_frame in clusters]
    largest = np.array([[s.max() for s in row] for row in sizes], dtype=np.int64)
    n_clusters = np.array([[np.count_nonzero(s >= 2) for s in row] for row in sizes], dtype=np.int64)
    return TrajectoryClusters(atoms=atoms, topology=topology, frames=chosen, time=time, cutoffs=cut,
                              clusters=clusters, largest=largest, n_clusters=n_clusters, n_hbonds=n_hbonds,
                              n_salt_bridges=salt, n_tethers=tethers)


__all__ = ["TrajectoryClusters", "analyze_trajectory", "check_trajectory", "clusters_at", "frame_numbers",
           "import_mdanalysis"]
