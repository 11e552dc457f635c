"""Counter-based random streams: every draw of graph k is a function of (seed, k) alone.

Graph families are drawn many graphs at a time in NumPy, yet any graph must come out the same
alone, in any shard, with any number of workers. So no generator carries state from one graph to
the next: draw j of purpose p of a graph with key K is mix(K + (p * 2**32 + j + 1) * GAMMA mod
2**64), mix being SplitMix64's finaliser, and the key of graph k is mix(mix(seed + (k + 1) *
GAMMA) + attempt * GAMMA) (attempt > 0 only when a balanced dataset redraws the graph). All
arithmetic is on uint64 and wraps mod 2**64; floats come from exact integer-to-double steps.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from telvora_graphs._mixing import GAMMA, MASK, mix as mix_int, mix_array as mix

_U = np.uint64

# Purposes: separate streams per use, so that changing one option leaves the other draws alone.
STRUCTURE = 1
POSITIONS = 2
ORDER = 3
RELABEL = 4
EDITS = 5
REALIZATION = 6

U64 = NDArray[np.uint64]


def graph_keys(seed: int, indices: ArrayLike, attempts: ArrayLike = 0) -> U64:
    """Keys of the graphs of these indices (uint64) of a dataset seeded with seed, at these attempts."""
    with np.errstate(over="ignore"):
        base = _U(seed & MASK) + (np.asarray(indices, dtype=np.uint64) + _U(1)) * _U(GAMMA)
        return mix(mix(base) + np.asarray(attempts, dtype=np.uint64) * _U(GAMMA))


def draws(keys: U64, purpose: int, count: int, first: int = 0) -> U64:
    """Draws first .. first + count - 1 of purpose for every key: shape (len(keys), count)."""
    steps = (np.arange(first, first + count, dtype=np.uint64) + _U((purpose << 32) + 1))
    with np.errstate(over="ignore"):
        return mix(keys[:, None] + steps[None, :] * _U(GAMMA))


def draws_at(keys: U64, purpose: int, index: ArrayLike) -> U64:
    """Draw index[g] of purpose for each key g (index an integer array of the keys' shape)."""
    steps = np.asarray(index, dtype=np.uint64) + _U((purpose << 32) + 1)
    with np.errstate(over="ignore"):
        return mix(keys + steps * _U(GAMMA))


def unit(values: U64) -> NDArray[np.float64]:
    """Doubles in [0, 1) from the top 53 bits of each draw, exactly."""
    result: NDArray[np.float64] = (values >> _U(11)).astype(np.float64) * (1.0 / 9007199254740992.0)
    return result


def below(values: U64, bound: Any) -> NDArray[np.int64]:
    """Integers in [0, bound) (bound < 2**32, an int or an array broadcasting with values): the top
    32 bits of each draw times bound, shifted down; off uniform by at most bound / 2**32."""
    with np.errstate(over="ignore"):
        result: NDArray[np.int64] = (((values >> _U(32)) * np.asarray(bound, dtype=np.uint64)) >> _U(32)).astype(np.int64)
    return result


def threshold(probability: float) -> int:
    """The integer t with (draw >> 11) < t exactly when unit(draw) < probability."""
    return int(np.ceil(probability * 9007199254740992.0)) if probability < 1.0 else 1 << 53
