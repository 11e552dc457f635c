"""The telvora-molecules command: rigid clusters and hydrogen-bond dilution of a structure file."""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

import numpy as np

from .atoms import Atoms, StructureError, read_structure
from .network import Bars, Kind, Network, build_network
from .rigidity import dilute, rigid_clusters

PROG = "telvora-molecules"
DEFAULT_CUTOFFS = (-0.5, -1.0, -2.0, -3.0)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _cutoffs(text: str) -> list[float]:
    try:
        values = [float(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of energies") from None
    if not values or not all(np.isfinite(values)):
        raise argparse.ArgumentTypeError(f"{text!r} gives no finite energy")
    return values


def _bars(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 0 <= value <= 6:
        raise argparse.ArgumentTypeError(f"a bar count must be from 0 to 6 (got {value})")
    return value


def _frames(text: str) -> slice | list[int]:
    """START:STOP (either may be left out; STOP excluded) or frame numbers separated by commas."""
    try:
        if ":" in text:
            parts = text.split(":")
            if len(parts) != 2:
                raise ValueError
            start, stop = (int(p) if p.strip() else None for p in parts)
            return slice(start, stop)
        return [int(part) for part in text.split(",") if part.strip()] or _no_frames(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"--frames takes START:STOP or frame numbers separated by commas, "
                                         f"not {text!r}") from None


def _no_frames(text: str) -> list[int]:
    raise ValueError(text)


def _stride(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"--stride must be at least 1 (got {value})")
    return value


def _model(text: str) -> int | str:
    if text in ("first", "all"):
        return text
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"--model takes 'first', 'all' or a model number, not {text!r}") from None


def _common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("structure", type=Path, help="a PDB or mmCIF file (optionally gzipped), with hydrogens")
    parser.add_argument("--model", type=_model, default="first", help="'first' (default), 'all' or a model number")
    parser.add_argument("--waters", action="store_true", help="keep waters (left out by default)")
    parser.add_argument("--no-ligands", dest="ligands", action="store_false", help="leave out ligands and ions")
    parser.add_argument("--covalent-bars", type=_bars, default=5, help="bars per covalent bond (default 5: a hinge)")
    parser.add_argument("--peptide-bars", type=_bars, default=6,
                        help="bars per peptide bond (default 6: locked, the bond is planar)")
    parser.add_argument("--double-bond-bars", type=_bars, default=6,
                        help="bars per C=O and arginine C=N double bond (default 6: locked)")
    parser.add_argument("--hbond-bars", type=_bars, default=5, help="bars per hydrogen bond (default 5)")
    parser.add_argument("--salt-bridge-bars", type=_bars, default=5, help="bars per salt bridge (default 5)")
    parser.add_argument("--hydrophobic-bars", type=_bars, default=2, help="bars per hydrophobic tether (default 2)")
    parser.add_argument("--no-hydrophobic", dest="hydrophobic", action="store_false", help="no hydrophobic tethers")
    parser.add_argument("--no-salt-bridges", dest="salt_bridges", action="store_false", help="no salt bridges")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Rigid clusters of molecules by the (6, 6) pebble game on their "
                     "body-bar-hinge network, and the hydrogen-bond dilution in one sweep.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    analyze = commands.add_parser("analyze", help="clusters at energy cutoffs and the whole dilution, written to a "
                                  "directory")
    _common(analyze)
    analyze.add_argument("--out", type=Path, required=True, help="the directory to write (created if needed)")
    analyze.add_argument("--cutoffs", type=_cutoffs, default=list(DEFAULT_CUTOFFS),
                         help="hydrogen-bond energy cutoffs in kcal/mol, comma-separated (default -0.5,-1,-2,-3); "
                         "the first one colours the structure files and the PyMOL script")
    analyze.add_argument("--format", choices=("parquet", "csv"), default="parquet", help="of the atom table")
    analyze.add_argument("--plot-format", choices=("png", "svg"), default="png", help="of the plot")
    analyze.add_argument("--trajectory", type=Path, help="a trajectory of the structure's atoms (DCD, XTC, TRR, "
                         "multi-model PDB, ... read with MDAnalysis): clusters in every frame instead of the dilution")
    analyze.add_argument("--frames", type=_frames, help="with --trajectory: START:STOP (from 0, STOP excluded) or "
                         "frame numbers separated by commas (default all)")
    analyze.add_argument("--stride", type=_stride, default=1, help="with --trajectory: every N-th of those frames")
    info = commands.add_parser("info", help="counts of atoms, bodies, hinges and constraints, and the largest "
                               "cluster's share")
    _common(info)
    info.add_argument("--cutoff", type=float, default=-1.0, help="hydrogen-bond energy cutoff (default -1 kcal/mol)")
    return parser


def _read(args: argparse.Namespace) -> Atoms:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        atoms = read_structure(args.structure, model=args.model, waters=args.waters, ligands=args.ligands)
    for warning in caught:
        print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
    return atoms


def _bar_counts(args: argparse.Namespace) -> Bars:
    return Bars(covalent=args.covalent_bars, peptide=args.peptide_bars, double_bond=args.double_bond_bars,
                hydrogen_bond=args.hbond_bars, salt_bridge=args.salt_bridge_bars, hydrophobic=args.hydrophobic_bars)


def _load(args: argparse.Namespace) -> Network:
    return build_network(_read(args), _bar_counts(args), salt_bridges=args.salt_bridges, hydrophobic=args.hydrophobic)


def _info(args: argparse.Namespace) -> int:
    network = _load(args)
    atoms: Atoms = network.atoms
    labels = rigid_clusters(network, args.cutoff)
    sizes = np.bincount(labels)
    hbonds = network.kind == Kind.HYDROGEN_BOND
    present = hbonds & (network.energy <= args.cutoff)
    print(f"structure          {atoms.source}")
    print(f"atoms              {len(atoms)} ({int(atoms.hydrogen.sum())} hydrogens, {atoms.n_residues} residues)")
    print(f"bodies             {len(atoms)}")
    print(f"hinges             {int((network.hinge & ~hbonds).sum() + present.sum())} "
          f"(at {args.cutoff:g} kcal/mol)")
    print(f"bars               {int(network.bars[~hbonds].sum() + network.bars[present].sum())}")
    print(f"covalent bonds     {network.count(Kind.COVALENT)}")
    print(f"hydrogen bonds     {int(hbonds.sum())} ({int(present.sum())} at or below {args.cutoff:g} kcal/mol)")
    print(f"salt bridges       {network.count(Kind.SALT_BRIDGE)}")
    print(f"hydrophobic        {network.count(Kind.HYDROPHOBIC)}")
    print(f"rigid clusters     {int((sizes >= 2).sum())} of two or more atoms")
    print(f"largest cluster    {int(sizes.max())} atoms, {sizes.max() / len(atoms):.1%} of the structure")
    return 0


def _analyze(args: argparse.Namespace) -> int:
    from . import output

    if args.trajectory is not None:
        return _analyze_trajectory(args)
    if args.frames is not None or args.stride != 1:
        raise StructureError("--frames and --stride choose frames of a --trajectory, and none was given")
    network = _load(args)
    dilution = dilute(network, args.cutoffs)
    out = _out_dir(args.out)
    primary = dilution.atom_clusters[0]
    stem = args.structure.name.split(".")[0]
    # Everything is written into a private directory first and moved in at the end, so an error
    # or an interruption leaves DIR as it was.
    with tempfile.TemporaryDirectory(prefix=f".{PROG}-", dir=out) as scratch:
        work = Path(scratch)
        names = {"table": f"{stem}_atoms.{args.format}", "pdb": f"{stem}_clusters.pdb",
                 "cif": f"{stem}_clusters.cif", "pml": f"{stem}_clusters.pml",
                 "plot": f"{stem}_dilution.{args.plot_format}", "steps": f"{stem}_dilution.csv"}
        output.write_table(output.atom_table(dilution), work / names["table"])
        output.write_structure(dilution, primary, work / names["pdb"], work / names["cif"])
        output.write_text(output.pymol_script(names["pdb"], primary), work / names["pml"])
        output.write_table(_steps_table(dilution), work / names["steps"])
        output.plot_dilution(dilution, work / names["plot"])
        for name in names.values():
            shutil.move(work / name, out / name)
    shown = output.bfactor_labels(primary)
    print(f"{PROG}: {len(network.atoms)} atoms, {dilution.n_hbonds} hydrogen bonds, "
          f"{len(dilution.changes)} distinct cluster sets in the dilution; at {args.cutoffs[0]:g} kcal/mol "
          f"{int(shown.max(initial=0))} clusters of {output.MIN_CLUSTER_ATOMS}+ atoms, the largest "
          f"{np.bincount(primary).max() / len(primary):.1%} of the atoms; wrote {len(names)} files to {out}")
    return 0


def _out_dir(out: Path) -> Path:
    if out.exists() and not out.is_dir():
        raise StructureError(f"{out} exists and is not a directory")
    out.mkdir(parents=True, exist_ok=True)
    return out


def _analyze_trajectory(args: argparse.Namespace) -> int:
    from . import output
    from .trajectory import analyze_trajectory, import_mdanalysis

    import_mdanalysis()  # before any work: a missing extra is said at once
    atoms = _read(args)
    result = analyze_trajectory(atoms, args.trajectory, args.cutoffs, bars=_bar_counts(args), frames=args.frames,
                                stride=args.stride, salt_bridges=args.salt_bridges, hydrophobic=args.hydrophobic)
    out = _out_dir(args.out)
    stem = args.trajectory.name.split(".")[0]
    with tempfile.TemporaryDirectory(prefix=f".{PROG}-", dir=out) as scratch:
        work = Path(scratch)
        names = {"table": f"{stem}_atoms.{args.format}", "frames": f"{stem}_frames.csv",
                 "clusters": f"{stem}_frame_clusters.npz", "plot": f"{stem}_trajectory.{args.plot_format}"}
        output.write_table(output.atom_identity(atoms), work / names["table"])
        output.write_table(output.frames_table(result), work / names["frames"])
        output.write_frame_clusters(result, work / names["clusters"])
        output.plot_trajectory(result, work / names["plot"], f"Rigid clusters along {args.trajectory.name}")
        for name in names.values():
            shutil.move(work / name, out / name)
    share = result.largest_share[:, 0]
    print(f"{PROG}: {len(atoms)} atoms, {len(result.frames)} frames; at {args.cutoffs[0]:g} kcal/mol the largest "
          f"cluster holds {share.min():.1%} to {share.max():.1%} of the atoms (mean {share.mean():.1%}); "
          f"wrote {len(names)} files to {out}")
    return 0


def _steps_table(dilution: object) -> dict[str, object]:
    from .rigidity import Dilution
    assert isinstance(dilution, Dilution)
    network = dilution.network
    fixed = network.n_fixed
    hydrogen = np.concatenate([[-1], network.i[fixed:]])
    acceptor = np.concatenate([[-1], network.j[fixed:]])
    atoms = network.atoms

    def describe(index: np.ndarray) -> list[str]:
        return ["" if k < 0 else f"{atoms.chain[k]}:{atoms.residue_name[k]}{atoms.seq_id[k]}{atoms.insertion[k]}:"
                f"{atoms.name[k]}" for k in index.tolist()]
    return {"step": np.arange(len(dilution.energy)), "energy": dilution.energy, "hydrogen": describe(hydrogen),
            "acceptor": describe(acceptor), "independent": dilution.independent.astype(np.int64),
            "largest_cluster": dilution.largest, "clusters": dilution.n_clusters}


COMMANDS = {"analyze": _analyze, "info": _info}


def _describe(error: BaseException) -> str:
    if isinstance(error, StructureError):
        text = str(error)
    elif isinstance(error, OSError) and error.filename is not None:
        text = f"cannot use {error.filename}: {error.strerror or error}"
    elif isinstance(error, MemoryError):
        text = "not enough memory for this structure"
    elif isinstance(error, ImportError):
        text = str(error)
    else:
        text = f"{type(error).__name__}: {error}"
    return " ".join(text.split())


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; nothing was written", file=sys.stderr)
        return 130
    except Exception as error:  # one line on stderr, never a traceback
        print(f"{PROG}: error: {_describe(error)}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
