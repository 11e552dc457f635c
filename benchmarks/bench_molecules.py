"""The whole hydrogen-bond dilution of replicated structures: time and peak memory per stage.

Usage: python benchmarks/bench_molecules.py [--quick]

The villin headpiece of tests/data (596 atoms with hydrogens) is replicated as separate chains
on a 40 Å grid into structures of about 13,000 and 50,000 atoms, written as mmCIF, and each is
read, turned into its network and diluted (every hydrogen bond, clusters after each removal) in
a fresh process, so the peak resident memory is that run's own. Results go to
benchmarks/results/molecules.json and molecules.md.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "data" / "1vii.pdb"
RESULTS = ROOT / "benchmarks" / "results"

WORKER = r"""
import json, resource, sys, time
import telvora_molecules as tm
path = sys.argv[1]
t0 = time.perf_counter(); atoms = tm.read_structure(path)
t1 = time.perf_counter(); network = tm.build_network(atoms)
t2 = time.perf_counter(); dilution = tm.dilute(network, [-0.5, -1.0, -2.0, -3.0])
t3 = time.perf_counter()
print(json.dumps({"atoms": len(atoms), "bars": int(network.bars.sum()), "hbonds": dilution.n_hbonds,
                  "changes": len(dilution.changes), "read_s": t1 - t0, "network_s": t2 - t1,
                  "dilution_s": t3 - t2, "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def replicate(copies: int, out: Path) -> None:
    import gemmi
    import numpy as np
    st = gemmi.read_structure(str(SOURCE))
    st.setup_entities()
    model = st[0]
    base = model[0].clone()
    del model[0]
    side = int(np.ceil(copies ** (1 / 3)))
    names = [a + b for a in "ABCDEFGHIJKLMNOPQRSTUVWXYZ" for b in "abcdefghijklmnopqrstuvwxyz0123456789"]
    for c in range(copies):
        chain = base.clone()
        chain.name = names[c]
        shift = gemmi.Position(*(40.0 * np.array([c % side, (c // side) % side, c // side ** 2], dtype=float)))
        for residue in chain:
            for atom in residue:
                atom.pos = atom.pos + shift
        model.add_chain(chain)
    st.setup_entities()
    st.make_mmcif_document().write_file(str(out))


def main() -> int:
    quick = "--quick" in sys.argv
    cases = [("villin x22 (13k atoms)", 22)] + ([] if quick else [("villin x84 (50k atoms)", 84)])
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for label, copies in cases:
            path = Path(scratch) / f"villin_{copies}.cif"
            replicate(copies, path)
            started = time.perf_counter()
            done = subprocess.run([sys.executable, "-c", WORKER, str(path)], check=True, capture_output=True, text=True)
            result = json.loads(done.stdout)
            result.update(case=label, copies=copies, process_s=time.perf_counter() - started)
            rows.append(result)
            print(f"{label}: {result['atoms']} atoms, {result['hbonds']} hydrogen bonds, read {result['read_s']:.2f} s, "
                  f"network {result['network_s']:.2f} s, dilution {result['dilution_s']:.2f} s, "
                  f"peak {result['peak_rss_mib']:.0f} MiB")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "molecules.json").write_text(json.dumps(rows, indent=2) + "\n")
    lines = ["# Hydrogen-bond dilution of replicated structures", "",
             "| case | atoms | bars | hydrogen bonds | distinct cluster sets | read s | network s | dilution s | peak MiB |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for r in rows:
        lines.append(f"| {r['case']} | {r['atoms']} | {r['bars']} | {r['hbonds']} | {r['changes']} | {r['read_s']:.2f} | "
                     f"{r['network_s']:.2f} | {r['dilution_s']:.2f} | {r['peak_rss_mib']:.0f} |")
    (RESULTS / "molecules.md").write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
