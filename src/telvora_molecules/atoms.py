"""The atoms of a structure as flat arrays, read from PDB or mmCIF with gemmi or built from coordinates."""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

#: Elements whose contacts are coordination, not covalent bonds: ions stay bodies of their own.
METALS = frozenset("LI NA K RB CS MG CA SR BA MN FE CO NI CU ZN CD HG AL GA".split())


class StructureError(ValueError):
    """A structure that cannot be analysed: unreadable, empty, or without the atoms it needs.

    It is a ValueError, so code catching bad values catches it too.

    Examples
    --------
    >>> import telvora_molecules as tm
    >>> try:
    ...     tm.read_structure("/nonexistent.pdb")
    ... except tm.StructureError as error:
    ...     print(error)
    /nonexistent.pdb: no such file
    """


@dataclass(frozen=True, eq=False, slots=True)
class Atoms:
    """The atoms of a structure, one row per atom, in file order.

    Attributes
    ----------
    coords : ndarray of float64, shape (n, 3)
        Positions in Å.
    element, name, residue_name : ndarray of str, shape (n,)
        Element symbol, atom name and residue name.
    seq_id : ndarray of int64, shape (n,)
        The residue's sequence number as the file writes it, with `insertion` its insertion code.
    insertion, chain : ndarray of str, shape (n,)
        Insertion code and chain name.
    model : ndarray of int64, shape (n,)
        The model each atom comes from.
    residue, chain_index : ndarray of int64, shape (n,)
        Residues numbered 0, 1, ... over models and chains; chains numbered likewise.
    polymer : ndarray of bool, shape (n,)
        Atoms of amino- and nucleic-acid residues (the sequence of the dilution plot).
    water : ndarray of bool, shape (n,)
        Atoms of waters.
    serial : ndarray of int64, shape (n,)
        Atom serial numbers.
    structure : gemmi.Structure or None
        The structure the atoms were taken from (alternate locations and left-out residues already
        removed); None when built from coordinates.
    source : str
        The file read, or "coordinates".
    """

    coords: NDArray[np.float64]
    element: NDArray[np.str_]
    name: NDArray[np.str_]
    residue_name: NDArray[np.str_]
    seq_id: NDArray[np.int64]
    insertion: NDArray[np.str_]
    chain: NDArray[np.str_]
    model: NDArray[np.int64]
    residue: NDArray[np.int64]
    chain_index: NDArray[np.int64]
    polymer: NDArray[np.bool_]
    water: NDArray[np.bool_]
    serial: NDArray[np.int64]
    structure: Any = field(default=None, repr=False)
    source: str = ""

    def __len__(self) -> int:
        return len(self.coords)

    @property
    def hydrogen(self) -> NDArray[np.bool_]:
        """True for hydrogen and deuterium atoms."""
        return np.isin(self.element, ("H", "D"))

    @property
    def n_residues(self) -> int:
        return int(self.residue.max()) + 1 if len(self) else 0


def from_coordinates(elements: ArrayLike, coords: ArrayLike, *, residue: ArrayLike | None = None,
                     names: ArrayLike | None = None, residue_name: str = "UNL") -> Atoms:
    """Atoms of one molecule from elements and coordinates; bonds will come from distances alone.

    Parameters
    ----------
    elements : array_like of str, shape (n,)
        Element symbols.
    coords : array_like, shape (n, 3)
        Positions in Å.
    residue : array_like of int, shape (n,), optional
        A non-negative residue number per atom; all in one residue when not given.
    names : array_like of str, shape (n,), optional
        Atom names; the element and the atom's number from 1 (C1, C2, ...) when not given.
    residue_name : str, default "UNL"
        The residues' name.

    Returns
    -------
    Atoms

    Raises
    ------
    ValueError
        For coords not of shape (n, 3) or not finite, elements or residue numbers that do not give
        one per atom, or negative residue numbers.

    Examples
    --------
    >>> import numpy as np
    >>> import telvora_molecules as tm
    >>> ring = [(np.cos(a), np.sin(a), 0.0) for a in np.arange(6) * np.pi / 3]
    >>> atoms = tm.from_coordinates(["C"] * 6, np.array(ring) * 1.39)
    >>> len(atoms), atoms.element.tolist()
    (6, ['C', 'C', 'C', 'C', 'C', 'C'])
    """
    xyz = np.asarray(coords, dtype=np.float64)
    if xyz.ndim != 2 or xyz.shape[1] != 3:
        raise ValueError(f"coords must have shape (n, 3), not {xyz.shape}")
    if not np.isfinite(xyz).all():
        raise ValueError("coords must be finite")
    el = np.char.upper(np.asarray(elements, dtype=str))
    if el.shape != (len(xyz),):
        raise ValueError(f"elements must give one element per atom: {el.shape} for {len(xyz)} atoms")
    n = len(xyz)
    res = np.zeros(n, dtype=np.int64) if residue is None else np.asarray(residue, dtype=np.int64)
    if res.shape != (n,) or (n and (res.min() < 0)):
        raise ValueError("residue must give a non-negative residue number per atom")
    atom_names = np.array([f"{e}{i + 1}" for i, e in enumerate(el)]) if names is None else np.asarray(names, dtype=str)
    return Atoms(coords=xyz, element=el, name=atom_names, residue_name=np.full(n, residue_name),
                 seq_id=res + 1, insertion=np.full(n, ""), chain=np.full(n, "A"), model=np.ones(n, dtype=np.int64),
                 residue=res, chain_index=np.zeros(n, dtype=np.int64), polymer=np.zeros(n, dtype=np.bool_),
                 water=np.zeros(n, dtype=np.bool_), serial=np.arange(1, n + 1, dtype=np.int64), source="coordinates")


def import_gemmi() -> Any:
    """gemmi, or an ImportError that says how to install it."""
    try:
        import gemmi
    except ImportError as exc:  # pragma: no cover - the test environments install gemmi
        raise ImportError("reading structures needs gemmi: pip install 'telvora[molecules]'") from exc
    return gemmi


def _best_altloc(residue: Any) -> str:
    """The alternate location of a residue with the highest mean occupancy ('' when it has none);
    one conformer per residue keeps its geometry whole."""
    occupancy: dict[str, list[float]] = {}
    for atom in residue:
        if atom.altloc != "\0":
            occupancy.setdefault(atom.altloc, []).append(atom.occ)
    if not occupancy:
        return ""
    return max(sorted(occupancy), key=lambda alt: sum(occupancy[alt]) / len(occupancy[alt]))


def read_structure(path: str | Path, *, model: int | str = "first", waters: bool = False,
                   ligands: bool = True) -> Atoms:
    """The atoms of a PDB or mmCIF file (gzipped too), read with gemmi.

    Alternate locations: per residue, the conformer of highest mean occupancy.

    Parameters
    ----------
    path : str or pathlib.Path
        The file.
    model : "first", "all" or int, default "first"
        The first model, every model (each its own molecule, analysed side by side) or the model
        with this number as written in the file.
    waters : bool, default False
        Keep waters.
    ligands : bool, default True
        Keep hetero residues other than waters (ligands, ions).

    Returns
    -------
    Atoms

    Raises
    ------
    StructureError
        When the file is missing or unreadable, has no such model, or no atoms are left.
    ImportError
        When gemmi is not installed (the message says how to install it).

    Examples
    --------
    A glycine's backbone written as a PDB file:

    >>> import pathlib, tempfile
    >>> import telvora_molecules as tm
    >>> lines = ["ATOM      1  N   GLY A   1      -0.966   0.493   1.500  1.00  0.00           N",
    ...          "ATOM      2  CA  GLY A   1       0.257   0.418   0.692  1.00  0.00           C",
    ...          "ATOM      3  C   GLY A   1      -0.094   0.017  -0.716  1.00  0.00           C",
    ...          "ATOM      4  O   GLY A   1      -1.056  -0.682  -0.923  1.00  0.00           O"]
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "gly.pdb"
    >>> _ = path.write_text("\\n".join(lines) + "\\nEND\\n")
    >>> atoms = tm.read_structure(path)
    >>> len(atoms), atoms.name.tolist()
    (4, ['N', 'CA', 'C', 'O'])
    """
    gemmi = import_gemmi()
    path = Path(path)
    if not path.is_file():
        raise StructureError(f"{path}: no such file")
    try:
        st = gemmi.read_structure(str(path))
    except (RuntimeError, ValueError) as exc:
        raise StructureError(f"{path}: not a readable PDB or mmCIF file ({exc})") from None
    st.setup_entities()
    if len(st) == 0:
        raise StructureError(f"{path}: no atoms (the file has no models)")
    if model == "first":
        keep = [0]
    elif model == "all":
        keep = list(range(len(st)))
    else:
        numbers = [_model_number(m) for m in st]
        if int(model) not in numbers:  # type: ignore[call-overload]
            raise StructureError(f"{path}: no model {model} (the file has models {numbers[:10]})")
        keep = [numbers.index(int(model))]  # type: ignore[call-overload]
    for index in reversed(range(len(st))):
        if index not in keep:
            del st[index]
    _select(st, gemmi, waters, ligands)
    st.remove_empty_chains()
    rows: dict[str, list[Any]] = {key: [] for key in ("coords", "element", "name", "residue_name", "seq_id",
                                                      "insertion", "chain", "model", "residue", "chain_index",
                                                      "polymer", "water", "serial")}
    residue_index = chain_index = 0
    unknown: set[str] = set()
    for m in st:
        number = _model_number(m)
        for chain in m:
            for res in chain:
                info = gemmi.find_tabulated_residue(res.name)
                if info is None or not info.found():
                    unknown.add(res.name)
                is_polymer = info is not None and (info.is_amino_acid() or info.is_nucleic_acid())
                is_water = res.is_water()
                for atom in res:
                    rows["coords"].append((atom.pos.x, atom.pos.y, atom.pos.z))
                    rows["element"].append(atom.element.name.upper())
                    rows["name"].append(atom.name)
                    rows["residue_name"].append(res.name)
                    rows["seq_id"].append(res.seqid.num)
                    rows["insertion"].append(res.seqid.icode.strip())
                    rows["chain"].append(chain.name)
                    rows["model"].append(number)
                    rows["residue"].append(residue_index)
                    rows["chain_index"].append(chain_index)
                    rows["polymer"].append(is_polymer)
                    rows["water"].append(is_water)
                    rows["serial"].append(atom.serial)
                residue_index += 1
            chain_index += 1
    if not rows["coords"]:
        raise StructureError(f"{path}: no atoms left to analyse (waters {'kept' if waters else 'left out'}, "
                             f"ligands {'kept' if ligands else 'left out'})")
    if unknown:
        warnings.warn(f"{path}: unknown residue(s) {', '.join(sorted(unknown)[:10])}: their bonds come from "
                      "distances and their atoms' roles from their elements and bonds", stacklevel=2)
    return Atoms(coords=np.array(rows["coords"], dtype=np.float64), element=np.array(rows["element"]),
                 name=np.array(rows["name"]), residue_name=np.array(rows["residue_name"]),
                 seq_id=np.array(rows["seq_id"], dtype=np.int64), insertion=np.array(rows["insertion"]),
                 chain=np.array(rows["chain"]), model=np.array(rows["model"], dtype=np.int64),
                 residue=np.array(rows["residue"], dtype=np.int64),
                 chain_index=np.array(rows["chain_index"], dtype=np.int64),
                 polymer=np.array(rows["polymer"], dtype=np.bool_), water=np.array(rows["water"], dtype=np.bool_),
                 serial=np.array(rows["serial"], dtype=np.int64), structure=st, source=str(path))


def _model_number(model: Any) -> int:
    number = model.num if hasattr(model, "num") else model.name
    return int(number)


def _select(st: Any, gemmi: Any, waters: bool, ligands: bool) -> None:
    """Removes the atoms not analysed: other alternate locations, and waters or ligands as asked."""
    for m in st:
        for chain in m:
            for r in reversed(range(len(chain))):
                res = chain[r]
                if (res.is_water() and not waters) or (not ligands and not res.is_water()
                                                       and res.entity_type != gemmi.EntityType.Polymer):
                    del chain[r]
                    continue
                best = _best_altloc(res)
                for a in reversed(range(len(res))):
                    atom = res[a]
                    if atom.altloc != "\0" and atom.altloc != best:
                        del res[a]
                    elif atom.altloc != "\0":
                        atom.altloc = "\0"
