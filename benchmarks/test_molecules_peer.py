"""The comparison in bench_molecules.py: partition agreement measures against brute-force pair
counting, and the reading of the peer's cluster file on small hand-written files. Run in the
benchmark environment (gemmi and telvora installed):

    .venv-bench/bin/python -m pytest -q benchmarks/test_molecules_peer.py

The last test runs the peer itself and is skipped when it is not installed (.venv-peer).
"""

import itertools
import os
import subprocess

import numpy as np
import pytest

import bench_molecules as bm  # benchmarks/ is this file's directory, first on the path under pytest


def brute_ari(a, b):
    """Adjusted Rand index from its definition over every pair of items."""
    pairs = list(itertools.combinations(range(len(a)), 2))
    same_a = np.array([a[i] == a[j] for i, j in pairs])
    same_b = np.array([b[i] == b[j] for i, j in pairs])
    both, sa, sb, total = np.sum(same_a & same_b), same_a.sum(), same_b.sum(), len(pairs)
    expected = sa * sb / total
    top = (sa + sb) / 2
    return 1.0 if top == expected else (both - expected) / (top - expected)


def brute_same(a, b):
    return np.mean([set(np.flatnonzero(a == a[i])) == set(np.flatnonzero(b == b[i])) for i in range(len(a))])


@pytest.mark.parametrize("seed", range(6))
def test_agreement_measures_match_their_definitions(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 40))
    a = rng.integers(0, int(rng.integers(1, 8)), n)
    b = np.where(rng.random(n) < 0.3, rng.integers(0, 6, n), a)  # partly the same partition
    assert bm.adjusted_rand(a, b) == pytest.approx(brute_ari(a, b))
    assert bm.same_cluster_share(a, b) == pytest.approx(brute_same(a, b))


@pytest.mark.parametrize("a, b, ari, same", [
    ([0, 0, 1, 1, 2], [5, 5, 7, 7, 9], 1.0, 1.0),   # the same partition under other names
    ([0, 0, 0, 0], [1, 2, 3, 4], 0.0, 0.0),          # one cluster against singletons
    ([0, 0, 1, 1], [0, 1, 0, 1], -0.5, 0.0),         # crossed pairs: worse than chance
])
def test_agreement_measures_on_known_cases(a, b, ari, same):
    assert bm.adjusted_rand(np.array(a), np.array(b)) == pytest.approx(ari)
    assert bm.same_cluster_share(np.array(a), np.array(b)) == pytest.approx(same)


XML = """<?xml version="1.0" encoding="UTF-8"?>
<graph xmlns="tram:components">
  <components size="3">
    <component id="1" size="2"><nodes><node>A0001-GLY:C</node><node>A0001-GLY:O</node></nodes><halo/></component>
    <component id="2" size="2"><nodes><node>A0002-GLY:N</node><node>A0002-GLY:CA</node></nodes><halo/></component>
    <component id="3" size="2"><nodes><node>A0003-GLY:N</node><node>A0003-GLY:CA</node></nodes><halo/></component>
  </components>
  <states>
    <state key="-INF"><component><halo/><components><component id="1"/></components></component></state>
    <state key="-2.5"><component><halo/><components><component id="1"/><component id="2"/></components></component></state>
  </states>
</graph>
"""


def test_peer_partitions_follow_the_states_and_the_leaf_rule(tmp_path):
    path = tmp_path / "peer_components.xml"
    path.write_text(XML)
    keys = [("A", 1, "C"), ("A", 1, "O"), ("A", 2, "N"), ("A", 2, "CA"), ("A", 3, "N"), ("A", 3, "CA"),
            ("A", 2, "H"), ("A", 3, "HA")]
    index = {k: i for i, k in enumerate(keys)}
    partner = np.array([-1, -1, -1, -1, -1, -1, 2, 5])  # the two hydrogens: one bond each
    labels, notes = bm.peer_partitions(path, index, partner, [-3.0, -2.5, -1.0])
    assert notes == {"states": 2, "unmatched_nodes": 0, "overlapping_nodes": 0}
    below, at, above = labels
    # Below -2.5 only -INF holds: cores 1, 2, 3 apart; each hydrogen with its partner.
    assert len({below[0], below[2], below[4]}) == 3
    assert below[6] == below[2] and below[7] == below[4]
    # From -2.5 on, cores 1 and 2 are one cluster (with 2's hydrogen); core 3 stays its own.
    for merged in (at, above):
        assert merged[0] == merged[1] == merged[2] == merged[3] == merged[6]
        assert merged[4] == merged[5] == merged[7] != merged[0]


def test_blank_chains_are_named_and_named_ones_kept(tmp_path):
    gemmi = pytest.importorskip("gemmi")
    named = bm.named_chains(bm.DATA / "1a1p.pdb", tmp_path)
    assert named != bm.DATA / "1a1p.pdb"
    st = gemmi.read_structure(str(named))
    assert [c.name for c in st[0]] == ["A"]
    assert st[0].count_atom_sites() == gemmi.read_structure(str(bm.DATA / "1a1p.pdb"))[0].count_atom_sites()
    assert bm.named_chains(bm.DATA / "1vii.pdb", tmp_path) == bm.DATA / "1vii.pdb"


def test_peer_clusters_cover_every_atom_once(tmp_path):
    peer = bm.find_peer(None)
    if peer is None:
        pytest.skip("the peer is not installed")
    import telvora_molecules as tm
    from telvora_molecules.network import Kind
    out = tmp_path / "peer"
    out.mkdir()
    subprocess.run([peer, "-c", bm.PEER_WORKER, str(bm.SOURCE), str(out), "-0.5"], check=True, capture_output=True,
                   env={**os.environ, **bm.PEER_ENV})
    atoms = tm.read_structure(str(bm.SOURCE))
    network = tm.build_network(atoms)
    cov = network.kind == Kind.COVALENT
    index = {(str(c), int(q), str(m)): i for i, (c, q, m) in enumerate(zip(atoms.chain, atoms.seq_id, atoms.name))}
    labels, notes = bm.peer_partitions(out / "peer_components.xml", index,
                                       bm._partner(len(atoms), network.i[cov], network.j[cov]), bm.CUTOFFS)
    assert notes["unmatched_nodes"] == 0 and notes["overlapping_nodes"] == 0
    # Clusters only merge as bonds are added: each cutoff's partition refines the next weaker one's.
    for c in range(len(bm.CUTOFFS) - 1):  # cutoffs run -0.5 (most bonds) to -3 (fewest)
        more, fewer = labels[c], labels[c + 1]
        assert all(len(np.unique(more[fewer == g])) == 1 for g in np.unique(fewer))
