"""Bond graphs of lattices, for rigidity percolation."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from .inputs import integer


def triangular_lattice(L: int, *, periodic: bool = False) -> NDArray[np.int64]:
    """The bonds of an L x L triangular lattice, as an (m, 2) int64 array.

    Site (i, j) is vertex i L + j; each site is bonded to (i, j + 1), (i + 1, j) and
    (i + 1, j + 1), so every site has six neighbours inside the lattice. With `periodic` the
    bonds wrap around both ways (3 L^2 bonds, L >= 3), which keeps the boundary out of
    percolation estimates; without, bonds leaving the square are left out.

    Parameters
    ----------
    L : int
        Sites per side, at least 1 (at least 3 with `periodic`, so that no bond repeats).
    periodic : bool
        Whether bonds wrap around.

    Returns
    -------
    numpy.ndarray of int64, shape (m, 2)
        The bonds, row by row of sites.

    Examples
    --------
    >>> import telvora_graphs as tg
    >>> tg.triangular_lattice(2).tolist()
    [[0, 1], [0, 2], [0, 3], [1, 3], [2, 3]]
    >>> tg.triangular_lattice(4, periodic=True).shape
    (48, 2)
    """
    L = integer(L, "L", 1)
    if periodic and L < 3:
        raise ValueError(f"a periodic triangular lattice needs L >= 3 (got {L}): smaller ones repeat bonds")
    i, j = np.divmod(np.arange(L * L, dtype=np.int64), L)
    bonds = []
    for di, dj in ((0, 1), (1, 0), (1, 1)):
        a, b = i + di, j + dj
        keep = np.ones(L * L, dtype=bool) if periodic else (a < L) & (b < L)
        bonds.append(np.stack([(i * L + j)[keep], ((a % L) * L + b % L)[keep]], axis=1))
    order = np.argsort(np.concatenate([part[:, 0] for part in bonds]), kind="stable")
    return np.concatenate(bonds)[order]
