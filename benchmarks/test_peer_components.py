"""rigid_components against PyRigi's Graph.rigid_components on random graphs, in the benchmark
environment (which has PyRigi):

    .venv-bench/bin/python -m pytest -q benchmarks/test_peer_components.py

PyRigi's components are the maximal vertex sets inducing a rigid subgraph; ours are the maximal
sets whose pairwise distances the whole framework fixes. In the plane the two agree. In space a
set can be held rigid by bars outside it (two vertices of a rigid body joined to a third by two
bars: the three are pairwise fixed, but their own two bars do not make a rigid triangle), so
there every PyRigi component lies inside one of ours, and ours that induce a rigid subgraph are
exactly PyRigi's that are maximal among them.
"""

import numpy as np
import pytest

import telvora_graphs as tg

pytest.importorskip("pyrigi")

import peers  # noqa: E402  (benchmarks/ is this file's directory, first on the path under pytest)
from bench_components import random_edges  # noqa: E402


def induces_rigid(edges, vertices, d):
    index = {v: k for k, v in enumerate(vertices)}
    inside = [(index[a], index[b]) for a, b in edges if a in index and b in index]
    return tg.rigidity(np.array(inside, dtype=np.int64).reshape(-1, 2), d, n=len(vertices)).is_rigid


@pytest.mark.parametrize("d", [2, 3])
@pytest.mark.parametrize("n", [5, 7, 9])
def test_components_against_pyrigi(n, d):
    for seed in range(4):
        m = int(np.random.default_rng(seed).integers(n, d * n + 2))
        edges = random_edges(n, min(m, n * (n - 1) // 2), 1000 * seed + n)
        theirs = peers.pyrigi_rigid_components(peers.pyrigi_graph(n, edges), d)
        ours = sorted(c.tolist() for c in tg.rigid_components(edges, d, n=n))
        if d == 2:
            assert ours == theirs, (n, seed, edges)
            continue
        assert all(any(set(t) <= set(o) for o in ours) for t in theirs), (n, seed, edges)
        assert [o for o in ours if induces_rigid(edges, o, d)] == [t for t in theirs if t in ours], (n, seed, edges)
