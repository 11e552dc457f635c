"""simulate: rank labelling of every pair of n points, against NumPy and PyRigi."""

from __future__ import annotations

import numpy as np

import peers
import telvora
from harness import Case, Contender

TASK = "simulate"
VARIANTS = {
    # name: (point maker, description)
    "random": (peers.random_points, "random points, uniform in [0, 5)^d: the fast path"),
    "degenerate": (peers.degenerate_points,
                   "all points on a line (2-D) or in a plane (3-D): the greedy pass over every pair"),
}


def describe() -> list[tuple[str, str]]:
    return [(TASK, f"simulate `{name}`: {text}") for name, (_, text) in VARIANTS.items()]


def _compare_labels(ours: dict, theirs) -> str:
    if isinstance(theirs, dict):
        same = np.array_equal(ours["labels"], theirs["labels"])
        if same:
            return "labels identical"
        differing = int(np.count_nonzero(ours["labels"] != theirs["labels"]))
        return f"labels differ at {differing} pairs (rank {theirs['final_rank']} vs {ours['final_rank']})"
    if isinstance(theirs, (int, np.integer)):
        verdict = "=" if int(theirs) == ours["final_rank"] else "≠"
        return f"rank {int(theirs)} {verdict} final_rank {ours['final_rank']}"
    return ""


def cases(quick: bool, have_pyrigi: bool) -> list[Case]:
    sizes = [30, 100, 300] if quick else [30, 100, 300, 1000]
    out = []
    for variant, (maker, _) in VARIANTS.items():
        for d in (2, 3):
            for n in sizes:
                seed = 1000 * d + n + (0 if variant == "random" else 7)
                contenders = [
                    Contender("telvora", lambda p, d=d: telvora.simulate(p, d), budgeted=False),
                    Contender("numpy-greedy", lambda p, d=d: peers.numpy_greedy(p, d), exponent=5.0),
                    Contender("numpy-prefix", lambda p, d=d: peers.numpy_prefix(p, d),
                              exponent=3.0 if variant == "random" else 5.0),
                ]
                if have_pyrigi:
                    contenders.append(Contender("pyrigi-rank", peers.pyrigi_rank, exponent=4.0))
                mr = peers.max_rank(n, d)
                out.append(Case(
                    task=TASK, variant=variant, n=n, d=d,
                    make_input=lambda maker=maker, n=n, d=d, seed=seed: maker(n, d, seed),
                    contenders=contenders, compare=_compare_labels,
                    largest=(n == sizes[-1]),
                    memory_bound=lambda n=n, d=d, mr=mr: (
                        f"stored rows {mr}×{n * d}×8 B = {mr * n * d * 8 / 2**20:.1f} MiB, "
                        f"one n×n buffer {n * n * 8 / 2**20:.1f} MiB"),
                ))
    return out


def agreement_check(quick: bool) -> list[str]:
    """Labels of the NumPy greedy labelling against telvora's on many small inputs."""
    makers = {"random": peers.random_points, "degenerate": peers.degenerate_points,
              "partly degenerate": peers.partly_degenerate_points}
    seeds = range(5) if quick else range(20)
    lines = []
    for name, maker in makers.items():
        total = same = 0
        for d in (2, 3):
            for n in (d + 1, 6, 12, 25):
                for seed in seeds:
                    pts = maker(n, d, seed)
                    ours = telvora.simulate(pts, d)
                    theirs = peers.numpy_greedy(pts, d)
                    total += 1
                    same += int(np.array_equal(ours["labels"], theirs["labels"])
                                and ours["final_rank"] == theirs["final_rank"])
        lines.append(f"simulate, {name} points (n = d+1 … 25, d = 2 and 3): numpy-greedy labels "
                     f"identical to telvora's on {same} of {total} inputs")
    return lines
