"""The telvora-molecules command: what analyze writes, what info prints, and one-line errors
that leave the output directory as it was."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

gemmi = pytest.importorskip("gemmi")
pytest.importorskip("matplotlib")
import pyarrow.parquet as pq  # noqa: E402
import telvora_molecules as tm  # noqa: E402
from telvora_molecules import output  # noqa: E402
from telvora_molecules.cli import main  # noqa: E402

DATA = Path(__file__).parent / "data"


@pytest.fixture(scope="module")
def analysed(tmp_path_factory):
    out = tmp_path_factory.mktemp("analysis")
    assert main(["analyze", str(DATA / "1vii.pdb"), "--out", str(out), "--cutoffs=-1,-3"]) == 0
    return out


def test_analyze_writes_consistent_outputs(analysed):
    assert sorted(p.name for p in analysed.iterdir()) == [
        "1vii_atoms.parquet", "1vii_clusters.cif", "1vii_clusters.pdb", "1vii_clusters.pml", "1vii_dilution.csv",
        "1vii_dilution.png"]
    table = pq.read_table(analysed / "1vii_atoms.parquet").to_pydict()
    network = tm.build_network(tm.read_structure(DATA / "1vii.pdb"))
    for cutoff in (-1.0, -3.0):
        np.testing.assert_array_equal(table[f"cluster_{cutoff:g}"], tm.rigid_clusters(network, cutoff))
    expected = output.bfactor_labels(tm.rigid_clusters(network, -1.0))
    for name in ("1vii_clusters.pdb", "1vii_clusters.cif"):
        st = gemmi.read_structure(str(analysed / name))
        b = np.array([a.b_iso for r in st[0][0] for a in r])
        np.testing.assert_array_equal(b, expected)
    assert expected.max() >= 2
    script = (analysed / "1vii_clusters.pml").read_text()
    assert "load 1vii_clusters.pdb" in script and f"color cluster_{expected.max()}," in script
    steps = (analysed / "1vii_dilution.csv").read_text().splitlines()
    assert len(steps) == 2 + network.count(tm.Kind.HYDROGEN_BOND)
    assert (analysed / "1vii_dilution.png").read_bytes()[:4] == b"\x89PNG"


def test_csv_table_and_svg_plot(tmp_path):
    assert main(["analyze", str(DATA / "1a1p.pdb"), "--out", str(tmp_path), "--format", "csv",
                 "--plot-format", "svg", "--cutoffs=-2"]) == 0
    header = (tmp_path / "1a1p_atoms.csv").read_text().splitlines()[0].split(",")
    assert header[-1] == "cluster_-2" and "atom_name" in header
    assert (tmp_path / "1a1p_dilution.svg").read_text().lstrip().startswith("<?xml")


def test_info_counts(capsys):
    assert main(["info", str(DATA / "1vii.pdb"), "--cutoff=-2"]) == 0
    text = capsys.readouterr().out
    network = tm.build_network(tm.read_structure(DATA / "1vii.pdb"))
    share = np.bincount(tm.rigid_clusters(network, -2.0)).max()
    assert "atoms              596 (301 hydrogens, 36 residues)" in text
    assert f"covalent bonds     {network.count(tm.Kind.COVALENT)}" in text
    assert f"largest cluster    {share} atoms" in text


def _heavy_only(tmp_path: Path) -> Path:
    st = gemmi.read_structure(str(DATA / "1vii.pdb"))
    st.remove_hydrogens()
    path = tmp_path / "heavy.pdb"
    st.write_pdb(str(path))
    return path


@pytest.mark.parametrize("make, message", [
    (lambda d: d / "missing.pdb", "no such file"),
    (lambda d: (d / "empty.pdb").write_text("REMARK nothing\nEND\n") and d / "empty.pdb", "no atoms"),
    (lambda d: (d / "junk.cif").write_text("data_x\nloop_\n_atom_site.id\n") and d / "junk.cif", "no atoms|readable"),
    (_heavy_only, "no hydrogen atoms"),
])
def test_errors_are_one_line_exit_2_and_write_nothing(tmp_path, capsys, make, message):
    import re
    structure = make(tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    (out / "keep.txt").write_text("mine")
    assert main(["analyze", str(structure), "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("telvora-molecules: error:") and re.search(message, err)
    assert sorted(p.name for p in out.iterdir()) == ["keep.txt"]


def test_unknown_residue_warns_and_goes_on(tmp_path, capsys):
    text = (DATA / "1a1p.pdb").read_text().replace("NH2    14", "XQZ    14")
    path = tmp_path / "odd.pdb"
    path.write_text(text)
    assert main(["info", str(path)]) == 0
    err = capsys.readouterr().err
    assert "warning: " in err and "XQZ" in err


def test_interrupt_is_one_line_exit_130(monkeypatch, capsys, tmp_path):
    import telvora_molecules.cli as cli

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(cli, "dilute", interrupted)
    assert main(["analyze", str(DATA / "1vii.pdb"), "--out", str(tmp_path / "o")]) == 130
    assert capsys.readouterr().err.strip() == "telvora-molecules: interrupted; nothing was written"
