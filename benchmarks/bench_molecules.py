"""The whole hydrogen-bond dilution of structures, timed with peak memory, against the peer.

Usage: python benchmarks/bench_molecules.py [--quick] [--no-peer] [--peer-python PATH] [--trajectory-only]

The villin headpiece of tests/data (596 atoms with hydrogens) is replicated as separate chains
on a 40 Å grid into structures of about 13,000 and 50,000 atoms; with 1VII and 1A1P themselves
each is read, turned into its network and diluted (every hydrogen bond, clusters after each
removal) in a fresh process, so the peak resident memory is that run's own.

The peer (TRAMbio, the pip-installable protein rigidity tool; never a dependency of telvora) runs
when its interpreter is found: --peer-python, $TELVORA_PEER_PYTHON or .venv-peer/bin/python
(scripts/benchmark.sh installs it there). It gets the same PDB file, its whole dilution down to
the same lowest cutoff, and the same bar counts where it has a setting for them (hydrogen bond 5,
hydrophobic 2; its cation-pi and aromatic terms, which telvora does not model, off), also in a
fresh process. Its rigid clusters are compared with telvora's atom by atom at every cutoff: the
adjusted Rand index of the two partitions and the share of atoms whose cluster is the same set.
Cases past the peer's reach (memory growing about as n^1.9) are not run. Results go to
benchmarks/results/molecules.json and molecules.md, with the machine.

Along a trajectory (needs MDAnalysis; alone with --trajectory-only): 17 copies of villin (10,132
atoms) and 100 frames of random displacements (0.1 Å per coordinate) written as DCD, analysed at
the four cutoffs in a fresh process; results in benchmarks/results/trajectory.json and .md.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
import warnings
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import machine  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
SOURCE = DATA / "1vii.pdb"
RESULTS = ROOT / "benchmarks" / "results"
CUTOFFS = [-0.5, -1.0, -2.0, -3.0]
PEER_MAX_ATOMS = 20_000  # 13,360 atoms took the peer 6.3 GB; 50,000 would need about 80 GB

# The peer's settings that match telvora's model (docs/molecules.md, "Against the peer").
PEER_ENV = {
    "TRAM_VERBOSE": "false",
    "TRAM_HYDROGEN_BAR_COUNT": "5",
    "TRAM_HYDROGEN_STRONG_ENERGY_THRESHOLD": "0.0",  # every bond of negative energy has all its bars
    "TRAM_HYDROGEN_CUTOFF_DISTANCE": "3.0",           # H...A, as telvora's filter
    "TRAM_HYDROPHOBIC_BAR_COUNT": "2",
    "TRAM_HYDROPHOBIC_MINIMAL_LENGTH": "false",      # every contact, not only each atom's nearest
    "TRAM_HYDROPHOBIC_SURFACE_CUTOFF_DISTANCE": "0.25",
    "TRAM_CATION_PI_INCLUDE": "false",
    "TRAM_AROMATIC_INCLUDE": "false",
}

WORKER = r"""
import json, resource, sys, time
import numpy as np
import telvora_molecules as tm
from telvora_molecules.network import Kind
path, cutoffs, out = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
t0 = time.perf_counter(); atoms = tm.read_structure(path)
t1 = time.perf_counter(); network = tm.build_network(atoms)
t2 = time.perf_counter(); dilution = tm.dilute(network, cutoffs)
t3 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
if out:
    cov = network.kind == Kind.COVALENT
    hb = network.kind == Kind.HYDROGEN_BOND
    np.savez(out, chain=atoms.chain, seq=atoms.seq_id, name=atoms.name, clusters=dilution.atom_clusters,
             bond_i=network.i[cov], bond_j=network.j[cov], hb_i=network.i[hb], hb_j=network.j[hb],
             hb_energy=network.energy[hb])
kinds = {k.name.lower(): network.count(k) for k in Kind}
print(json.dumps({"atoms": len(atoms), "bars": int(network.bars.sum()), "hbonds": dilution.n_hbonds,
                  "kinds": kinds, "changes": len(dilution.changes), "read_s": t1 - t0, "network_s": t2 - t1,
                  "dilution_s": t3 - t2, "total_s": t3 - t0, "peak_rss_mib": peak}))
"""

PEER_WORKER = r"""
import json, resource, sys, time
t0 = time.perf_counter()
from TRAMbio.tram_pdb import main
t1 = time.perf_counter()
sys.argv = ["tram-pdb", "-p", sys.argv[1], "-o", sys.argv[2], "-n", "peer", "-e", "-t", sys.argv[3], "-l", "ERROR"]
main()
t2 = time.perf_counter()
peak = max(resource.getrusage(who).ru_maxrss for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)) / 1024
print(json.dumps({"import_s": t1 - t0, "total_s": t2 - t1, "peak_rss_mib": peak}))
"""


def replicate(copies: int, out: Path) -> None:
    """Villin as `copies` chains on a 40 Å grid; PDB (one-letter chains, which the peer reads) up
    to 26 copies, mmCIF beyond."""
    import gemmi
    st = gemmi.read_structure(str(SOURCE))
    st.setup_entities()
    model = st[0]
    base = model[0].clone()
    del model[0]
    side = int(np.ceil(copies ** (1 / 3)))
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    names = list(letters) if copies <= 26 else [a + b for a in letters for b in "abcdefghijklmnopqrstuvwxyz0123456789"]
    for c in range(copies):
        chain = base.clone()
        chain.name = names[c]
        shift = gemmi.Position(*(40.0 * np.array([c % side, (c // side) % side, c // side ** 2], dtype=float)))
        for residue in chain:
            for atom in residue:
                atom.pos = atom.pos + shift
        model.add_chain(chain)
    st.setup_entities()
    if out.suffix == ".pdb":
        st.write_pdb(str(out))
    else:
        st.make_mmcif_document().write_file(str(out))


def named_chains(path: Path, scratch: Path) -> Path:
    """The structure itself, or a copy whose unnamed chains are called A, B, ...: the peer names
    atoms by chain and refuses a blank one. Both sides then read the same file."""
    import gemmi
    st = gemmi.read_structure(str(path))
    blank = [chain for model in st for chain in model if not chain.name.strip()]
    if not blank:
        return path
    for model in st:
        for number, chain in enumerate(model):
            if not chain.name.strip():
                chain.name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"[number]
    out = scratch / f"{path.stem}_chains.pdb"
    st.write_pdb(str(out))
    return out


TRAJECTORY_WORKER = r"""
import json, resource, sys, time, warnings
import numpy as np
import telvora_molecules as tm
topology, trajectory, cutoffs = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
t0 = time.perf_counter(); atoms = tm.read_structure(topology)
t1 = time.perf_counter(); result = tm.analyze_trajectory(atoms, trajectory, cutoffs)
t2 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"atoms": len(atoms), "frames": len(result.frames), "read_s": t1 - t0, "frames_s": t2 - t1,
                  "per_frame_ms": 1000 * (t2 - t1) / len(result.frames), "peak_rss_mib": peak,
                  "hbonds_mean": float(result.n_hbonds[:, 0].mean()), "tethers_mean": float(result.n_tethers.mean()),
                  "largest_share_mean": float(result.largest_share[:, 0].mean())}))
"""
TRAJECTORY_COPIES, TRAJECTORY_FRAMES, TRAJECTORY_SIGMA = 17, 100, 0.1


def write_trajectory(topology: Path, out: Path, frames: int, sigma: float, seed: int = 2026) -> None:
    """Frame 0 the topology's coordinates, then random displacements of them (sigma Å per coordinate)."""
    import MDAnalysis as mda
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        u = mda.Universe(str(topology))
        x0 = u.atoms.positions.copy()
        rng = np.random.default_rng(seed)
        with mda.Writer(str(out), n_atoms=len(u.atoms)) as writer:
            for f in range(frames):
                u.atoms.positions = x0 + (rng.normal(0.0, sigma, x0.shape) if f else 0.0)
                writer.write(u.atoms)


def run_trajectory(scratch: Path, described: dict) -> dict | None:
    """The trajectory row: a fresh process reads the topology and analyses every frame."""
    try:
        import MDAnalysis  # noqa: F401
    except ImportError:
        print("MDAnalysis is not installed: no trajectory row (scripts/benchmark.sh installs it)")
        return None
    topology = scratch / f"villin_{TRAJECTORY_COPIES}.pdb"
    replicate(TRAJECTORY_COPIES, topology)
    trajectory = scratch / f"villin_{TRAJECTORY_COPIES}.dcd"
    write_trajectory(topology, trajectory, TRAJECTORY_FRAMES, TRAJECTORY_SIGMA)
    done = subprocess.run([sys.executable, "-c", TRAJECTORY_WORKER, str(topology), str(trajectory),
                           json.dumps(CUTOFFS)], check=True, capture_output=True, text=True)
    row = json.loads(done.stdout)
    row.update(case=f"villin x{TRAJECTORY_COPIES}, {TRAJECTORY_FRAMES} frames (DCD)", sigma=TRAJECTORY_SIGMA)
    print(f"{row['case']}: {row['atoms']} atoms, {row['frames']} frames in {row['frames_s']:.2f} s "
          f"({row['per_frame_ms']:.0f} ms a frame), peak {row['peak_rss_mib']:.0f} MiB", flush=True)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "trajectory.json").write_text(json.dumps({"machine": described, "cutoffs": CUTOFFS, "rows": [row]},
                                                        indent=2) + "\n")
    lines = ["# Rigid clusters along a trajectory", "",
             f"Machine: {described['cpu']}, {described['usable_cores']} usable of {described['cores']} cores, "
             f"{described['memory_gib']:.0f} GiB; {described['python']}, NumPy {described['numpy']}, "
             f"telvora {described['telvora']} (commit {described['commit']}); load before {described['load_before']}; "
             f"{described['date']}. A fresh process on one core: read the topology, then every frame (its "
             f"hydrogen bonds, salt bridges and tethers, and one sweep of the game for the cutoffs "
             f"{', '.join(f'{c:g}' for c in CUTOFFS)} kcal/mol); random displacements of {TRAJECTORY_SIGMA} Å per "
             "coordinate.", "",
             "| case | atoms | frames | read s | frames s | ms a frame | peak MiB | hydrogen bonds at -0.5 (mean) "
             "| tethers (mean) | largest cluster at -0.5 (mean share) |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
             f"| {row['case']} | {row['atoms']} | {row['frames']} | {row['read_s']:.2f} | {row['frames_s']:.2f} | "
             f"{row['per_frame_ms']:.0f} | {row['peak_rss_mib']:.0f} | {row['hbonds_mean']:.0f} | "
             f"{row['tethers_mean']:.0f} | {100 * row['largest_share_mean']:.1f} % |"]
    (RESULTS / "trajectory.md").write_text("\n".join(lines) + "\n")
    return row


def find_peer(explicit: str | None) -> str | None:
    """The peer's interpreter when it imports the peer, else None."""
    candidates = [explicit, os.environ.get("TELVORA_PEER_PYTHON"), str(ROOT / ".venv-peer" / "bin" / "python")]
    for candidate in candidates:
        if candidate and Path(candidate).exists():
            probe = subprocess.run([candidate, "-c", "import TRAMbio.tram_pdb"], capture_output=True)
            if probe.returncode == 0:
                return candidate
    return None


def _partner(n: int, bond_i: np.ndarray, bond_j: np.ndarray) -> np.ndarray:
    """Per atom, its one covalent partner when it has exactly one, else -1."""
    pairs = np.unique(np.stack([np.minimum(bond_i, bond_j), np.maximum(bond_i, bond_j)], axis=1), axis=0)
    degree = np.bincount(pairs.ravel(), minlength=n)
    xor = np.zeros(n, dtype=np.int64)
    np.bitwise_xor.at(xor, pairs[:, 0], pairs[:, 1])
    np.bitwise_xor.at(xor, pairs[:, 1], pairs[:, 0])
    return np.where(degree == 1, xor, -1)


def peer_partitions(xml_path: Path, index: dict[tuple[str, int, str], int], partner: np.ndarray,
                    cutoffs: list[float]) -> tuple[np.ndarray, dict]:
    """The peer's clusters at each cutoff as atom labels in telvora's atom order (-2: an atom the
    peer did not report in any cluster's core). Its clusters are cores of bodies (nodes) plus
    the atoms hinged to them (halo); as in telvora, an atom with one covalent bond and no core
    of its own goes with its partner."""
    ns = {"t": "tram:components"}
    root = ET.parse(xml_path).getroot()
    base: dict[str, list[int]] = {}
    unknown = 0
    for comp in root.find("t:components", ns).findall("t:component", ns):
        members = []
        for node in comp.find("t:nodes", ns).findall("t:node", ns):
            residue, atom_name = node.text.split(":")
            key = (residue[0], int(residue[1:5]), atom_name)
            if key in index:
                members.append(index[key])
            else:
                unknown += 1
        base[comp.get("id")] = members
    states = []
    for state in root.find("t:states", ns).findall("t:state", ns):
        key = state.get("key")
        energy = -np.inf if key == "-INF" else float(key)
        groups = [[cid.get("id") for cid in comp.find("t:components", ns).findall("t:component", ns)]
                  for comp in state.findall("t:component", ns)]
        states.append((energy, groups))
    states.sort(key=lambda s: s[0])
    n = len(partner)
    out = np.zeros((len(cutoffs), n), dtype=np.int64)
    overlaps = 0
    for c, cutoff in enumerate(cutoffs):
        chosen = [s for s in states if s[0] <= cutoff]
        groups = chosen[-1][1] if chosen else []
        label = np.full(n, -1, dtype=np.int64)
        used: set[str] = set()
        for g, ids in enumerate(groups):
            for cid in ids:
                used.add(cid)
                hit = np.array(base[cid], dtype=np.int64)
                overlaps += int(np.count_nonzero(label[hit] >= 0)) if len(hit) else 0
                label[hit] = g
        nxt = len(groups)
        for cid, members in base.items():  # a core no state merges stays a cluster of its own
            if cid not in used and members:
                label[np.array(members)] = nxt
                nxt += 1
        alone = np.flatnonzero(label < 0)
        leaf = alone[partner[alone] >= 0]
        label[alone] = nxt + np.arange(len(alone))
        label[leaf] = label[partner[leaf]]
        out[c] = label
    return out, {"states": len(states), "unmatched_nodes": unknown, "overlapping_nodes": overlaps}


def adjusted_rand(a: np.ndarray, b: np.ndarray) -> float:
    """Adjusted Rand index of two partitions given as labels (1 is the same partition)."""
    def pairs(counts: np.ndarray) -> float:
        counts = counts.astype(np.float64)
        return float((counts * (counts - 1) / 2).sum())
    _, joint = np.unique(np.stack([a, b]), axis=1, return_counts=True)
    sum_ij = pairs(joint)
    sum_a, sum_b = pairs(np.unique(a, return_counts=True)[1]), pairs(np.unique(b, return_counts=True)[1])
    total = len(a) * (len(a) - 1) / 2
    expected = sum_a * sum_b / total if total else 0.0
    top = (sum_a + sum_b) / 2
    return 1.0 if top == expected else (sum_ij - expected) / (top - expected)


def same_cluster_share(a: np.ndarray, b: np.ndarray) -> float:
    """The share of atoms whose cluster is the very same set of atoms in both partitions."""
    _, joint_inverse, joint = np.unique(np.stack([a, b]), axis=1, return_inverse=True, return_counts=True)
    size_a = np.unique(a, return_inverse=True, return_counts=True)
    size_b = np.unique(b, return_inverse=True, return_counts=True)
    same = (joint[joint_inverse.ravel()] == size_a[2][size_a[1]]) & (joint[joint_inverse.ravel()] == size_b[2][size_b[1]])
    return float(same.mean())


def compare(ours_npz: Path, peer_xml: Path, cutoffs: list[float]) -> list[dict]:
    data = np.load(ours_npz)
    n = len(data["name"])
    index = {(str(c), int(s), str(m)): i for i, (c, s, m) in enumerate(zip(data["chain"], data["seq"], data["name"]))}
    partner = _partner(n, data["bond_i"], data["bond_j"])
    theirs, notes = peer_partitions(peer_xml, index, partner, cutoffs)
    rows = []
    for c, cutoff in enumerate(cutoffs):
        ours = data["clusters"][c]
        sizes_o, sizes_t = np.bincount(ours), np.bincount(np.unique(theirs[c], return_inverse=True)[1])
        rows.append({"cutoff": cutoff, "ari": adjusted_rand(ours, theirs[c]), "same_share": same_cluster_share(ours, theirs[c]),
                     "largest_ours": int(sizes_o.max()), "largest_peer": int(sizes_t.max()),
                     "clusters_ours": int(np.count_nonzero(sizes_o >= 2)), "clusters_peer": int(np.count_nonzero(sizes_t >= 2)),
                     **notes})
    return rows


def peer_edges(bnd: Path, ours_npz: Path) -> dict:
    """Constraints of each kind in the peer's edge file, and its hydrogen bonds against telvora's:
    how many pairs (hydrogen, acceptor) both find at energy <= the lowest cutoff, and how their
    energies compare on those."""
    counts: dict[str, int] = {}
    peer_hb: dict[tuple, float] = {}
    for line in bnd.read_text().splitlines()[1:]:
        parts = line.split("\t")
        if len(parts) < 5:
            continue
        counts[parts[2]] = counts.get(parts[2], 0) + 1
        if parts[2] == "hbond" and parts[4]:
            ends = []
            for node in parts[:2]:
                residue, atom_name = node.split(":")
                ends.append((residue[0], int(residue[1:5]), atom_name))
            peer_hb[tuple(sorted(ends))] = float(parts[4])
    data = np.load(ours_npz)
    key = [(str(c), int(s), str(m)) for c, s, m in zip(data["chain"], data["seq"], data["name"])]
    ours_hb = {tuple(sorted((key[i], key[j]))): float(e) for i, j, e in zip(data["hb_i"], data["hb_j"], data["hb_energy"])
               if e <= max(CUTOFFS)}
    common = sorted(set(ours_hb) & set(peer_hb))
    diff = np.array([ours_hb[k] - peer_hb[k] for k in common]) if common else np.zeros(0)
    return {"kinds": counts, "hbonds_ours": len(ours_hb), "hbonds_peer": len(peer_hb), "hbonds_common": len(common),
            "energy_diff_median": float(np.median(diff)) if len(diff) else None,
            "energy_diff_max_abs": float(np.abs(diff).max()) if len(diff) else None}


def _double_bonds_locked(network):
    """The network with the double bonds the peer locks given six bars here too: C=O of a
    carbonyl or carboxylate (an oxygen with one bond to a carbon) and arginine's CZ-NH bonds."""
    import dataclasses
    from telvora_molecules.network import Kind
    atoms = network.atoms
    cov = network.kind == Kind.COVALENT
    degree = np.bincount(np.concatenate([network.i[cov], network.j[cov]]), minlength=len(atoms))

    def carbonyl(x, y):
        return (atoms.element[x] == "C") & (atoms.element[y] == "O") & (degree[y] == 1)
    guanidinium = ["CZ", "NH1", "NH2"]
    arginine = ((atoms.residue_name[network.i] == "ARG") & np.isin(atoms.name[network.i], guanidinium)
                & np.isin(atoms.name[network.j], guanidinium))
    bars = network.bars.copy()
    bars[cov & (carbonyl(network.i, network.j) | carbonyl(network.j, network.i) | arginine)] = 6
    return dataclasses.replace(network, bars=bars)


def controls(path: Path, peer: str, scratch: Path) -> list[dict]:
    """Agreement once the models are brought together (small structures only, untimed): both
    without hydrophobic tethers, then also with telvora's double bonds locked as the peer locks
    them. What still differs then comes from the hydrogen bonds."""
    import telvora_molecules as tm
    from telvora_molecules.network import Kind
    out = scratch / f"{path.stem}_peer_notethers"
    out.mkdir()
    subprocess.run([peer, "-c", PEER_WORKER, str(path), str(out), str(max(CUTOFFS))], check=True, capture_output=True,
                   env={**os.environ, **PEER_ENV, "TRAM_HYDROPHOBIC_INCLUDE": "false"})
    atoms = tm.read_structure(str(path))
    network = tm.build_network(atoms, hydrophobic=False)
    cov = network.kind == Kind.COVALENT
    index = {(str(c), int(q), str(m)): i for i, (c, q, m) in enumerate(zip(atoms.chain, atoms.seq_id, atoms.name))}
    theirs, _ = peer_partitions(out / "peer_components.xml", index, _partner(len(atoms), network.i[cov], network.j[cov]),
                                CUTOFFS)
    rows = []
    for label, net in (("no tethers", network), ("no tethers, double bonds locked", _double_bonds_locked(network))):
        ours = tm.dilute(net, CUTOFFS).atom_clusters
        for c, cutoff in enumerate(CUTOFFS):
            rows.append({"control": label, "cutoff": cutoff, "ari": adjusted_rand(ours[c], theirs[c]),
                         "same_share": same_cluster_share(ours[c], theirs[c])})
    return rows


def run_case(label: str, path: Path, peer: str | None, scratch: Path) -> dict:
    npz = scratch / f"{path.stem}_ours.npz"
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", WORKER, str(path), json.dumps(CUTOFFS), str(npz) if peer else ""],
                          check=True, capture_output=True, text=True)
    row = json.loads(done.stdout)
    row.update(case=label, process_s=time.perf_counter() - started)
    print(f"{label}: {row['atoms']} atoms, {row['hbonds']} hydrogen bonds, read {row['read_s']:.2f} s, "
          f"network {row['network_s']:.2f} s, dilution {row['dilution_s']:.2f} s, peak {row['peak_rss_mib']:.0f} MiB",
          flush=True)
    if peer is None:
        return row
    if row["atoms"] > PEER_MAX_ATOMS:
        row["peer"] = {"skipped": f"over {PEER_MAX_ATOMS} atoms: the peer's memory (about n^1.9) would pass 24 GB"}
        return row
    out = scratch / f"{path.stem}_peer"
    out.mkdir()
    env = {**os.environ, **PEER_ENV}
    started = time.perf_counter()
    done = subprocess.run([peer, "-c", PEER_WORKER, str(path), str(out), str(max(CUTOFFS))], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0 or not (out / "peer_components.xml").exists():
        said = [line for line in (done.stderr + done.stdout).splitlines() if line.strip()]
        row["peer"] = {"failed": said[-1] if said else "no output"}
        print(f"  peer failed: {row['peer']['failed']}", flush=True)
        return row
    peer_row = json.loads(done.stdout.strip().splitlines()[-1])
    peer_row["process_s"] = time.perf_counter() - started
    peer_row["edges"] = peer_edges(out / "peer_edges.bnd", npz)
    peer_row["agreement"] = compare(npz, out / "peer_components.xml", CUTOFFS)
    if row["atoms"] <= 2000:
        peer_row["controls"] = controls(path, peer, scratch)
    row["peer"] = peer_row
    row["time_ratio"] = peer_row["total_s"] / row["total_s"]
    row["memory_ratio"] = peer_row["peak_rss_mib"] / row["peak_rss_mib"]
    print(f"  peer: {peer_row['total_s']:.1f} s, peak {peer_row['peak_rss_mib']:.0f} MiB; "
          f"{row['time_ratio']:.0f}x the time, {row['memory_ratio']:.1f}x the memory; adjusted Rand "
          + ", ".join(f"{a['cutoff']}: {a['ari']:.3f}" for a in peer_row["agreement"]), flush=True)
    return row


def write_results(rows: list[dict], described: dict, peer: str | None) -> None:
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "molecules.json").write_text(json.dumps({"machine": described, "cutoffs": CUTOFFS, "rows": rows},
                                                       indent=2) + "\n")
    lines = ["# Hydrogen-bond dilution of structures, against the peer", "",
             f"Machine: {described['cpu']}, {described['usable_cores']} usable of {described['cores']} cores, "
             f"{described['memory_gib']:.0f} GiB; {described['python']}, NumPy {described['numpy']}, "
             f"telvora {described['telvora']} (commit {described['commit']}); load before {described['load_before']}; "
             f"{described['date']}. Every run is a fresh process on one core.", "",
             "## telvora", "",
             "| case | atoms | bars | hydrogen bonds | distinct cluster sets | read s | network s | dilution s | total s | peak MiB |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for r in rows:
        lines.append(f"| {r['case']} | {r['atoms']} | {r['bars']} | {r['hbonds']} | {r['changes']} | {r['read_s']:.2f} | "
                     f"{r['network_s']:.2f} | {r['dilution_s']:.2f} | {r['total_s']:.2f} | {r['peak_rss_mib']:.0f} |")
    lines += ["", "## Against the peer", ""]
    if peer is None:
        lines.append("The peer was not installed: no comparison (scripts/benchmark.sh installs it).")
    else:
        lines += [f"The peer: TRAMbio {described.get('peer_version')} (`tram-pdb`, its whole dilution down to "
                  f"{max(CUTOFFS)} kcal/mol, settings {', '.join(f'{k}={v}' for k, v in PEER_ENV.items())}). "
                  "Time is the whole run after imports (read, network, dilution; the peer also writes its XML); "
                  "ratios are the peer's over telvora's.", "",
                  "| case | atoms | telvora s | peer s | time ratio | telvora MiB | peer MiB | memory ratio |",
                  "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
        for r in rows:
            p = r.get("peer", {})
            if "total_s" in p:
                lines.append(f"| {r['case']} | {r['atoms']} | {r['total_s']:.2f} | {p['total_s']:.1f} | "
                             f"{r['time_ratio']:.0f}x | {r['peak_rss_mib']:.0f} | {p['peak_rss_mib']:.0f} | "
                             f"{r['memory_ratio']:.1f}x |")
            else:
                lines.append(f"| {r['case']} | {r['atoms']} | {r['total_s']:.2f} | {p.get('skipped') or p.get('failed')} "
                             "| | | | |")
        lines += ["", "Rigid clusters atom by atom (clusters of two or more atoms; an atom with one covalent bond "
                  "and no core of its own counted with its partner in both):", "",
                  "| case | cutoff kcal/mol | adjusted Rand | atoms in the same cluster | largest telvora | largest peer "
                  "| clusters telvora | clusters peer |",
                  "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
        for r in rows:
            for a in r.get("peer", {}).get("agreement", []):
                lines.append(f"| {r['case']} | {a['cutoff']} | {a['ari']:.3f} | {100 * a['same_share']:.1f} % | "
                             f"{a['largest_ours']} | {a['largest_peer']} | {a['clusters_ours']} | {a['clusters_peer']} |")
        lines += ["", "The same, once the models are brought together (untimed; docs/molecules.md): both without "
                  "hydrophobic tethers, then also with telvora's carbonyl C=O and arginine CZ-NH bonds locked "
                  "(six bars), as the peer locks them:", "",
                  "| case | control | cutoff kcal/mol | adjusted Rand | atoms in the same cluster |",
                  "| --- | --- | ---: | ---: | ---: |"]
        for r in rows:
            for a in r.get("peer", {}).get("controls", []):
                lines.append(f"| {r['case']} | {a['control']} | {a['cutoff']} | {a['ari']:.3f} | "
                             f"{100 * a['same_share']:.1f} % |")
        lines += ["", f"Constraints of each kind (telvora's network, every hydrogen bond; the peer's edge file, hydrogen "
                  f"bonds of energy <= {max(CUTOFFS)}), and the hydrogen bonds of energy <= {max(CUTOFFS)} that both "
                  "find (same hydrogen and acceptor) with telvora's energy minus the peer's:", ""]
        for r in rows:
            e = r.get("peer", {}).get("edges")
            if e:
                energy = (f"median difference {e['energy_diff_median']:+.2f}, largest {e['energy_diff_max_abs']:.2f} kcal/mol"
                          if e["energy_diff_median"] is not None else "no common bond")
                lines.append(f"- {r['case']}: telvora {r['kinds']}; peer {e['kinds']}; hydrogen bonds telvora "
                             f"{e['hbonds_ours']}, peer {e['hbonds_peer']}, both {e['hbonds_common']} ({energy})")
        lines += ["", "docs/molecules.md (\"Against the peer\") explains the differences."]
    (RESULTS / "molecules.md").write_text("\n".join(lines) + "\n")


def main() -> int:
    args = sys.argv[1:]
    quick = "--quick" in args
    explicit = args[args.index("--peer-python") + 1] if "--peer-python" in args else None
    peer = None if "--no-peer" in args else find_peer(explicit)
    if peer is None and "--no-peer" not in args:
        print("the peer is not installed: telvora alone (scripts/benchmark.sh installs it in .venv-peer)")
    described = machine.describe()
    if "--trajectory-only" in args:
        with tempfile.TemporaryDirectory() as scratch_name:
            run_trajectory(Path(scratch_name), described)
        return 0
    if peer:
        described["peer_version"] = subprocess.run(
            [peer, "-c", "from importlib.metadata import version; print(version('trambio'))"],
            capture_output=True, text=True).stdout.strip()
    rows = []
    with tempfile.TemporaryDirectory() as scratch_name:
        scratch = Path(scratch_name)
        cases = [("villin 1VII", named_chains(DATA / "1vii.pdb", scratch)),
                 ("1A1P", named_chains(DATA / "1a1p.pdb", scratch))]
        for label, copies in [("villin x22 (13k atoms)", 22)] + ([] if quick else [("villin x84 (50k atoms)", 84)]):
            path = scratch / f"villin_{copies}.{'pdb' if copies <= 26 else 'cif'}"
            replicate(copies, path)
            cases.append((label, path))
        rows = [run_case(label, path, peer, scratch) for label, path in cases]
        run_trajectory(scratch, described)
    write_results(rows, described, peer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
