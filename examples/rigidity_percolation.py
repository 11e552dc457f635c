"""Rigidity percolation on the bond-diluted triangular lattice, one sweep per sample.

Bonds of a periodic L x L triangular lattice are added in random order; after each bond the sweep
knows the size of the largest rigid cluster. The bond fraction where that size jumps most is one
sample's estimate of the rigidity-percolation threshold (0.6603 for the infinite lattice).

    python examples/rigidity_percolation.py                      # L = 256, 32 samples
    python examples/rigidity_percolation.py --size 128 --samples 16 --plot percolation.png
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import telvora_graphs as tg

THRESHOLD = 0.6603  # the infinite triangular lattice, from the literature


def estimate(size: int, samples: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Per sample, the bond fraction of the largest jump, and the mean largest-cluster share per bond."""
    bonds = tg.triangular_lattice(size, periodic=True)
    sites = size * size
    thresholds = np.empty(samples)
    mean_share = np.zeros(len(bonds))
    for sample in range(samples):
        order = np.random.default_rng([seed, sample]).permutation(len(bonds))
        largest = tg.rigidity_sweep(bonds[order], sites).largest
        thresholds[sample] = (np.argmax(np.diff(largest, prepend=0)) + 1) / len(bonds)
        mean_share += largest / sites / samples
    return thresholds, mean_share


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256, help="sites per side (default 256)")
    parser.add_argument("--samples", type=int, default=32, help="random orders (default 32)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", metavar="FILE", help="draw the largest cluster's share against the bond fraction")
    args = parser.parse_args()
    if args.plot:
        import matplotlib  # checked before the work starts

        matplotlib.use("Agg")
    start = time.perf_counter()
    thresholds, share = estimate(args.size, args.samples, args.seed)
    elapsed = time.perf_counter() - start
    sem = thresholds.std(ddof=1) / np.sqrt(len(thresholds)) if len(thresholds) > 1 else float("nan")
    print(f"L = {args.size}: {args.samples} samples of {3 * args.size ** 2:,} bonds in {elapsed:.1f} s")
    print(f"threshold estimate {thresholds.mean():.4f} +- {sem:.4f} (infinite lattice {THRESHOLD})")
    if args.plot:
        import matplotlib.pyplot as plt

        fraction = np.arange(1, len(share) + 1) / len(share)
        figure, axes = plt.subplots(figsize=(6, 4))
        axes.plot(fraction, share, color="tab:blue")
        axes.axvline(THRESHOLD, color="tab:red", linestyle="--", label=f"threshold {THRESHOLD}")
        axes.set_xlabel("fraction of bonds present")
        axes.set_ylabel("largest rigid cluster / sites")
        axes.set_title(f"Triangular lattice, L = {args.size}, {args.samples} samples")
        axes.legend()
        figure.tight_layout()
        figure.savefig(args.plot, dpi=120)
        print(f"wrote {args.plot}")


if __name__ == "__main__":
    main()
