"""reconstruct and gram_from_dist: classical scaling from a distance matrix, against NumPy."""

from __future__ import annotations

import numpy as np

import peers
import telvora
from harness import Case, Contender


def describe() -> list[tuple[str, str]]:
    return [("reconstruct", "reconstruct: distance matrix of n random points in 3-D, target dimension 3; NumPy forms "
            "the Gram matrix by broadcasting and decomposes it with `numpy.linalg.eigh` (LAPACK), "
            "telvora with its own Jacobi rotations."),
            ("gram", "gram_from_dist: double centering of the distance matrix of n random points in 3-D.")]


def _compare_reconstruct(ours: dict, theirs: dict) -> str:
    return f"stress {ours['stress']:.2g} (telvora) vs {theirs['stress']:.2g}"


def _compare_gram(ours: np.ndarray, theirs: np.ndarray) -> str:
    scale = float(np.max(np.abs(theirs))) or 1.0
    return f"max |difference| / max |G| = {float(np.max(np.abs(ours - theirs))) / scale:.1e}"


def cases(quick: bool, have_pyrigi: bool) -> list[Case]:
    out = []
    sizes = [10, 50, 200]
    for n in sizes:
        out.append(Case(
            task="reconstruct", variant="random", n=n, d=3,
            make_input=lambda n=n: peers.distance_matrix(peers.random_points(n, 3, 500 + n)),
            contenders=[
                Contender("telvora", lambda dist: telvora.reconstruct(dist, 3), budgeted=False),
                Contender("numpy-eigh", lambda dist: peers.numpy_reconstruct(dist, 3), exponent=3.0),
            ],
            compare=_compare_reconstruct, largest=(n == sizes[-1])))
    sizes = [500, 2000]
    for n in sizes:
        out.append(Case(
            task="gram", variant="random", n=n, d=None,
            make_input=lambda n=n: peers.distance_matrix(peers.random_points(n, 3, 900 + n)),
            contenders=[
                Contender("telvora", telvora.gram_from_dist, budgeted=False),
                Contender("numpy-broadcast", peers.numpy_gram, exponent=2.0),
            ],
            compare=_compare_gram, largest=(n == sizes[-1])))
    return out
