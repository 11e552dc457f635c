"""What `telvora-molecules analyze` writes: the atom table, the structure with clusters as
B-factors, a PyMOL script and the dilution plot. Every file is written whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .rigidity import Dilution

#: Clusters smaller than this many atoms are drawn and coloured as flexible.
MIN_CLUSTER_ATOMS = 20
PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#17becf", "#8c564b", "#e377c2", "#bcbd22",
           "#7f7f7f", "#393b79", "#ad494a", "#637939", "#e7ba52", "#843c39", "#3182bd", "#31a354", "#756bb1"]


def cutoff_label(cutoff: float) -> str:
    return f"{cutoff:g}"


def atom_table(dilution: Dilution) -> dict[str, Any]:
    """Columns of the atom table: identity, coordinates, and the cluster at each cutoff."""
    atoms = dilution.network.atoms
    columns: dict[str, Any] = {
        "model": atoms.model, "chain": atoms.chain, "residue_name": atoms.residue_name, "seq_id": atoms.seq_id,
        "insertion": atoms.insertion, "atom_name": atoms.name, "element": atoms.element, "serial": atoms.serial,
        "x": atoms.coords[:, 0], "y": atoms.coords[:, 1], "z": atoms.coords[:, 2],
    }
    for cutoff, labels in zip(dilution.cutoffs.tolist(), dilution.atom_clusters):
        columns[f"cluster_{cutoff_label(cutoff)}"] = labels
    return columns


def _write_atomically(path: Path, write: Callable[[Path], None]) -> None:
    """Writes through a temporary file beside `path`, renamed over it only when complete."""
    fd, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent)
    os.close(fd)
    temp = Path(name)
    try:
        write(temp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)  # as an ordinary new file, not mkstemp's private one
        os.replace(temp, path)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise


def write_table(columns: dict[str, Any], path: Path) -> None:
    if path.suffix == ".parquet":
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
        table = pa.table({key: pa.array(np.asarray(value).tolist() if np.asarray(value).dtype.kind == "U"
                                        else np.asarray(value)) for key, value in columns.items()})
        _write_atomically(path, lambda temp: pq.write_table(table, temp))
    else:
        import csv

        def write(temp: Path) -> None:
            with open(temp, "w", newline="") as handle:
                out = csv.writer(handle)
                out.writerow(columns)
                rows = zip(*(np.asarray(v).tolist() for v in columns.values()))
                out.writerows(rows)
        _write_atomically(path, write)


def bfactor_labels(labels: NDArray[np.int64], min_atoms: int = MIN_CLUSTER_ATOMS) -> NDArray[np.int64]:
    """Cluster numbers for display: 1, 2, ... for clusters of at least min_atoms atoms by
    decreasing size, 0 for the atoms of smaller (flexible) ones."""
    sizes = np.bincount(labels)
    shown = sizes >= min_atoms
    number = np.where(shown, np.cumsum(shown), 0)
    return number[labels]


def write_structure(dilution: Dilution, labels: NDArray[np.int64], pdb: Path | None, cif: Path | None) -> None:
    """The analysed atoms with their display cluster number as B-factor, as PDB and mmCIF."""
    st = dilution.network.atoms.structure
    if st is None:
        raise ValueError("the atoms were not read from a structure file, so there is none to write back")
    numbers = bfactor_labels(labels)
    clone = st.clone()
    k = 0
    for model in clone:
        for chain in model:
            for res in chain:
                for atom in res:
                    atom.b_iso = float(numbers[k])
                    k += 1
    if k != len(labels):
        raise RuntimeError(f"structure has {k} atoms, the analysis {len(labels)}")
    if pdb is not None:
        _write_atomically(pdb, lambda temp: clone.write_pdb(str(temp)))
    if cif is not None:
        _write_atomically(cif, lambda temp: clone.make_mmcif_document().write_file(str(temp)))


def pymol_script(structure_file: str, labels: NDArray[np.int64], min_atoms: int = MIN_CLUSTER_ATOMS) -> str:
    """A PyMOL script that loads the annotated structure and colours each rigid cluster by its
    B-factor number (flexible atoms grey)."""
    numbers = bfactor_labels(labels, min_atoms)
    lines = [f"# rigid clusters of {structure_file}: B-factor = cluster number, 0 = flexible",
             f"load {structure_file}, clusters", "hide everything, clusters", "show cartoon, clusters",
             "show sticks, clusters and not hydro", "color grey70, clusters"]
    for c in range(1, int(numbers.max(initial=0)) + 1):
        colour = PALETTE[(c - 1) % len(PALETTE)].lstrip("#")
        lines.append(f"set_color cluster_{c}, [{int(colour[0:2], 16)}, {int(colour[2:4], 16)}, {int(colour[4:6], 16)}]")
        lines.append(f"color cluster_{c}, clusters and b > {c - 0.5} and b < {c + 0.5}")
    lines += ["set cartoon_discrete_colors, 1", "orient clusters", ""]
    return "\n".join(lines)


def write_text(text: str, path: Path) -> None:
    def write(temp: Path) -> None:
        temp.write_text(text)
    _write_atomically(path, write)


def dilution_image(dilution: Dilution, min_atoms: int = MIN_CLUSTER_ATOMS) -> tuple[NDArray[np.float64], list[str]]:
    """The dilution plot as an RGB image: one row per distinct set of clusters (all hydrogen
    bonds at the top, the fewest at the bottom), one column per polymer residue; every rigid
    cluster of at least min_atoms atoms in its own colour, flexible residues white. Returns
    the image and the energy label of each row."""
    rows = dilution.residue_clusters
    steps = dilution.changes
    # A cluster keeps the colour of the cluster above it (one more bond present) that held most
    # of its residues, unless a larger cluster of its row took that colour first.
    image = np.ones(rows.shape + (3,), dtype=np.float64)
    colours = np.array([[int(c[1:3], 16), int(c[3:5], 16), int(c[5:7], 16)] for c in PALETTE], dtype=np.float64) / 255
    order = np.argsort(-steps, kind="stable")  # from all bonds present down
    above = np.full(rows.shape[1], -1, dtype=np.int64)
    fresh = 0
    for out_row, r in enumerate(order):
        labels = rows[r]
        sizes = dilution.change_sizes[r]
        here = np.full(rows.shape[1], -1, dtype=np.int64)
        taken: set[int] = set()
        clusters = [c for c in np.unique(labels).tolist() if sizes[c] >= min_atoms]
        for c in sorted(clusters, key=lambda c: (-sizes[c], c)):
            members = np.flatnonzero(labels == c)
            if len(members) < 2:
                continue
            inherited = above[members][above[members] >= 0]
            colour = -1
            if len(inherited):
                values, counts = np.unique(inherited, return_counts=True)
                best = int(values[np.argmax(counts)])
                colour = best if best not in taken else -1
            if colour < 0:
                colour = fresh
                fresh += 1
            taken.add(colour)
            here[members] = colour
            image[out_row, members] = colours[colour % len(colours)]
        above = here
    labels_text = [f"{dilution.energy[steps[r]]:.2f}" if steps[r] else "none" for r in order]
    return image, labels_text


def plot_dilution(dilution: Dilution, path: Path, min_atoms: int = MIN_CLUSTER_ATOMS) -> None:
    """The classic dilution plot, residues along the sequence against the energy cutoff, as PNG
    or SVG by the file's suffix."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("the dilution plot needs matplotlib: pip install 'telvora[plot]'") from exc
    image, energies = dilution_image(dilution, min_atoms)
    atoms = dilution.network.atoms
    reps = dilution.residue_atoms
    height = max(3.0, min(12.0, 0.12 * len(energies) + 1.5))
    fig, ax = plt.subplots(figsize=(max(6.0, min(16.0, 0.06 * len(reps) + 3)), height))
    ax.imshow(image, aspect="auto", interpolation="nearest")
    if len(energies) <= 150:
        for row in range(len(energies)):
            ax.plot([-0.5, len(reps) - 0.5], [row, row], color="black", linewidth=0.4, zorder=0.5)
        ax.set_yticks(range(len(energies)), energies, fontsize=6)
    else:
        ticks = np.linspace(0, len(energies) - 1, 20).astype(int)
        ax.set_yticks(ticks, [energies[t] for t in ticks], fontsize=6)
    xticks: list[int] = np.linspace(0, len(reps) - 1, min(len(reps), 12)).astype(int).tolist() if len(reps) else []
    ax.set_xticks(xticks, [f"{atoms.chain[reps[t]]}{atoms.seq_id[reps[t]]}" for t in xticks], fontsize=7)
    ax.set_xlabel("residue")
    ax.set_ylabel("hydrogen-bond energy cutoff (kcal/mol)")
    ax.set_title(f"Hydrogen-bond dilution of {Path(atoms.source).name or 'the structure'}", fontsize=9)
    fig.tight_layout()

    def save(temp: Path) -> None:
        fig.savefig(temp, format=path.suffix.lstrip(".") or "png", dpi=150)
    try:
        _write_atomically(path, save)
    finally:
        plt.close(fig)


def atom_identity(atoms: Any) -> dict[str, Any]:
    """Columns naming every analysed atom, with its coordinates in the topology file."""
    return {"model": atoms.model, "chain": atoms.chain, "residue_name": atoms.residue_name, "seq_id": atoms.seq_id,
            "insertion": atoms.insertion, "atom_name": atoms.name, "element": atoms.element, "serial": atoms.serial,
            "x": atoms.coords[:, 0], "y": atoms.coords[:, 1], "z": atoms.coords[:, 2]}


def frames_table(result: Any) -> dict[str, Any]:
    """One row per analysed frame and cutoff: the frame, its time, the constraints found in it
    and its clusters."""
    frames, cutoffs = len(result.frames), len(result.cutoffs)
    return {"frame": np.repeat(result.frames, cutoffs), "time_ps": np.repeat(np.round(result.time, 6), cutoffs),
            "cutoff": np.tile(result.cutoffs, frames), "hydrogen_bonds": result.n_hbonds.ravel(),
            "salt_bridges": np.repeat(result.n_salt_bridges, cutoffs),
            "hydrophobic_tethers": np.repeat(result.n_tethers, cutoffs), "largest_cluster": result.largest.ravel(),
            "largest_share": np.round(result.largest_share.ravel(), 6), "clusters": result.n_clusters.ravel()}


def write_frame_clusters(result: Any, path: Path) -> None:
    """The cluster of every atom in every frame at every cutoff, as one compressed NumPy archive:
    `clusters` of shape (frames, cutoffs, atoms) in the smallest unsigned type that holds the
    labels, with `frame`, `time_ps` and `cutoff`."""
    top = int(result.clusters.max(initial=0))
    dtype = np.uint16 if top < 2 ** 16 else np.uint32

    def write(temp: Path) -> None:
        with open(temp, "wb") as handle:
            np.savez_compressed(handle, clusters=result.clusters.astype(dtype), frame=result.frames,
                                time_ps=result.time, cutoff=result.cutoffs)
    _write_atomically(path, write)


def plot_trajectory(result: Any, path: Path, title: str) -> None:
    """The largest cluster's share of the atoms (top) and the number of clusters of two or more
    atoms (bottom) along the trajectory, one line per cutoff, as PNG or SVG by the suffix."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("the trajectory plot needs matplotlib: pip install 'telvora[plot]'") from exc
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7.0, 5.0), sharex=True)
    for c, cutoff in enumerate(result.cutoffs.tolist()):
        colour = PALETTE[c % len(PALETTE)]
        top.plot(result.frames, 100 * result.largest_share[:, c], color=colour, linewidth=1.0,
                 marker="." if len(result.frames) <= 60 else None, label=f"{cutoff:g} kcal/mol")
        bottom.plot(result.frames, result.n_clusters[:, c], color=colour, linewidth=1.0,
                    marker="." if len(result.frames) <= 60 else None)
    top.set_ylabel("largest cluster (% of atoms)")
    bottom.set_ylabel("clusters (2+ atoms)")
    bottom.set_xlabel("frame")
    top.legend(fontsize=7, title="hydrogen bonds ≤", title_fontsize=7)
    top.set_title(title, fontsize=9)
    fig.tight_layout()

    def save(temp: Path) -> None:
        fig.savefig(temp, format=path.suffix.lstrip(".") or "png", dpi=150)
    try:
        _write_atomically(path, save)
    finally:
        plt.close(fig)
