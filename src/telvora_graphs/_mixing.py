"""SplitMix64's finaliser and the 64-bit mask, written once for the Python side.

The compiled module draws the generic realization of graph g of a batch from seed XOR mix(g);
telvora_graphs.graph_seed and the dataset streams of telvora_datasets need the same mix, on one
Python int or on many uint64 values at once. Both forms live here so that they cannot drift apart.

Examples
--------
>>> from telvora_graphs._mixing import GAMMA, MASK, mix, mix_array
>>> hex(mix(GAMMA))  # the first output of SplitMix64 started at 0
'0xe220a8397b1dcdaf'
>>> int(mix_array([GAMMA])[0]) == mix(GAMMA), mix(0), MASK == 2**64 - 1
(True, 0, True)
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

MASK = (1 << 64) - 1
"""2**64 - 1: Python ints are reduced mod 2**64 with ``& MASK``."""
GAMMA = 0x9E3779B97F4A7C15
"""SplitMix64's increment, 2**64 divided by the golden ratio, made odd."""

_M1 = 0xBF58476D1CE4E5B9
_M2 = 0x94D049BB133111EB
_U = np.uint64


def mix(z: int) -> int:
    """SplitMix64's finaliser on one integer, taken mod 2**64 first.

    Parameters
    ----------
    z : int
        Any integer; only its low 64 bits count.

    Returns
    -------
    int
        The mixed value, from 0 to 2**64 - 1.

    Examples
    --------
    >>> mix(0), mix(2**64) == mix(0), mix(-1) == mix(2**64 - 1)
    (0, True, True)
    """
    z &= MASK
    z = ((z ^ (z >> 30)) * _M1) & MASK
    z = ((z ^ (z >> 27)) * _M2) & MASK
    return z ^ (z >> 31)


def mix_array(z: ArrayLike) -> NDArray[np.uint64]:
    """SplitMix64's finaliser on every element of z, as uint64 (arithmetic wraps mod 2**64).

    Parameters
    ----------
    z : array_like of uint64
        Values below 2**64 (any shape).

    Returns
    -------
    numpy.ndarray of uint64
        The mixed values, of z's shape.

    Examples
    --------
    >>> mix_array([0, GAMMA]).tolist() == [mix(0), mix(GAMMA)]
    True
    """
    x = np.asarray(z, dtype=np.uint64)
    with np.errstate(over="ignore"):
        x = (x ^ (x >> _U(30))) * _U(_M1)
        x = (x ^ (x >> _U(27))) * _U(_M2)
    result: NDArray[np.uint64] = x ^ (x >> _U(31))
    return result
