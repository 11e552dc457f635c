"""Generic answers in the plane by counting against the prime field: every answer of rigidity()
(labels, redundancy, global rigidity) on random G(n, 2.5 n), a periodic triangular lattice and a
random geometric graph, one core. Run: .venv/bin/python benchmarks/bench_plane.py [n]."""

import sys
import time

import numpy as np

import telvora_graphs as tg


def gnm(n, m, seed):
    rng = np.random.default_rng(seed)
    pairs = rng.integers(0, n, size=(3 * m, 2))
    pairs = np.sort(pairs[pairs[:, 0] != pairs[:, 1]], axis=1)
    _, first = np.unique(pairs, axis=0, return_index=True)
    return pairs[np.sort(first)[:m]]


def timed(label, edges, n, method=None):
    start = time.perf_counter()
    r = tg.rigidity(edges, d=2, n=n, method=method)
    elapsed = time.perf_counter() - start
    print(f"{label:<40} {method or 'counting':<9} {elapsed:8.3f} s  rank {r.rank} rigid {r.is_rigid} "
          f"redundantly {r.is_redundantly_rigid} globally {r.is_globally_rigid}")
    return elapsed


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rng = np.random.default_rng(1)
    side = int(round(n ** 0.5))
    lattice = tg.triangular_lattice(side, periodic=True)
    lattice = lattice[rng.permutation(len(lattice))]
    timed(f"triangular lattice {side}x{side}, random order", lattice, side * side)
    timed(f"G({n}, {5 * n // 2})", gnm(n, 5 * n // 2, 2), n)
    small = n // 20
    edges = gnm(small, 5 * small // 2, 3)
    ratio = timed(f"G({small}, {5 * small // 2})", edges, small, "field") / timed(
        f"G({small}, {5 * small // 2})", edges, small)
    print(f"field / counting at {small} vertices: {ratio:.1f}x")


if __name__ == "__main__":
    main()
