"""generate_training_batch: labelled random frameworks per second.

telvora draws the points itself; the peers get the very same points (framework k of the batch,
regenerated here from seed + k) ready-made, so their time does not include drawing them.
"""

from __future__ import annotations

import numpy as np

import peers
import telvora
from harness import Case, Contender

TASK = "batch"
SEED = 2026


def describe() -> list[tuple[str, str]]:
    return [(TASK, "generate_training_batch: frameworks of n_nodes random points; time per framework, "
                   "throughput = 1 / time. Peers label the first frameworks of the same batch (the same "
                   "points, handed over ready-made: their time does not include drawing them).")]


def _compare(ours: list, theirs: list) -> str:
    if not theirs:
        return ""
    if isinstance(theirs[0], dict):
        same = sum(int(np.array_equal(a["labels"], b["labels"])) for a, b in zip(ours, theirs))
        return f"labels identical on {same} of {len(theirs)} frameworks"
    same = sum(int(bool(a["is_rigid"]) == bool(b)) for a, b in zip(ours, theirs))
    return f"rigidity verdict identical on {same} of {len(theirs)} frameworks"


def cases(quick: bool, have_pyrigi: bool) -> list[Case]:
    sizes = [10, 20, 50]
    n_graphs = 100 if quick else 500
    out = []
    for d in (2, 3):
        for n in sizes:
            n_numpy = (5 if n < 50 else 2) if quick else (20 if n < 50 else 5)
            n_pyrigi = (2 if n < 20 else 1) if quick else (5 if n < 20 else (2 if n < 50 else 1))

            def make(n=n, d=d, count=max(n_numpy, n_pyrigi)):
                return [peers.lcg_points(n, d, SEED + k) for k in range(count)]

            contenders = [
                Contender("telvora", lambda _pts, n=n, d=d: telvora.generate_training_batch(n_graphs, n, d, SEED),
                          per_unit=n_graphs, budgeted=False),
                Contender("numpy-greedy", lambda pts, d=d, k=n_numpy: [peers.numpy_greedy(p, d) for p in pts[:k]],
                          per_unit=n_numpy, exponent=4.0),
            ]
            if have_pyrigi:
                contenders.append(Contender("pyrigi-inf-rigid",
                                            lambda pts, k=n_pyrigi: [peers.pyrigi_inf_rigid(p) for p in pts[:k]],
                                            per_unit=n_pyrigi, exponent=4.0))
            out.append(Case(task=TASK, variant="random", n=n, d=d, make_input=make, contenders=contenders,
                            compare=_compare, unit="framework", largest=(n == sizes[-1])))
    return out
