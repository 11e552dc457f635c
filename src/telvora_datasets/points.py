"""Coordinates of the batch's random frameworks, regenerated from their seeds.

The module draws each framework's points from a 64-bit linear congruential generator seeded
with that framework's seed; the batch does not return them. Jumping ahead with the
generator's affine powers gives every draw of every framework in one vectorised step:
after j + 1 steps from state s the state is A^(j+1) s + C (A^j + ... + A + 1) mod 2^64.
"""

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

MULTIPLIER = 6364136223846793005
INCREMENT = 1442695040888963407
MASK = (1 << 64) - 1  # also telvora_graphs._mixing.MASK, which this module cannot import: loading stays free of the compiled module


def whole_number(value: object, what: str, lowest: int | None = None) -> int:
    """value (an int or NumPy integer, at least lowest when given) as an int; otherwise an error naming what."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    if lowest is not None and value < lowest:
        raise ValueError(f"{what} must be at least {lowest} (got {value})")
    return int(value)


def seeds_array(seeds: ArrayLike) -> NDArray[np.uint64]:
    """seeds as a flat uint64 array, each taken mod 2^64 (so the int64 seeds of to_pyg work as they are)."""
    if not isinstance(seeds, np.ndarray):
        # NumPy would make doubles of a list mixing negative ints with ints above 2^63.
        values = np.asarray(seeds, dtype=object).reshape(-1)
        if all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in values):
            return np.array([int(v) & MASK for v in values], dtype=np.uint64)
        seeds = np.asarray(seeds)
    array: NDArray[Any] = seeds
    if array.dtype.kind not in "iu":
        found = "Python objects (dtype object)" if array.dtype.kind == "O" else f"dtype {array.dtype}"
        raise TypeError(f"seeds must be integers, not {found}; pass them as ints or as an integer array, "
                        "for example np.asarray(seeds, dtype=np.uint64) once they are whole numbers")
    return array.astype(np.uint64).reshape(-1)  # a signed seed wraps mod 2^64, as intended


def _jumps(draws: int) -> tuple[NDArray[np.uint64], NDArray[np.uint64]]:
    """(multipliers, increments) taking a seed to the state of draw j, for j < draws."""
    multipliers = np.empty(draws, dtype=np.uint64)
    increments = np.empty(draws, dtype=np.uint64)
    a, c = 1, 0
    for j in range(draws):
        a = (a * MULTIPLIER) & MASK
        c = (c * MULTIPLIER + INCREMENT) & MASK
        multipliers[j] = a
        increments[j] = c
    return multipliers, increments


def framework_seeds(seed: int, start: int, count: int) -> NDArray[np.uint64]:
    """The seeds of some frameworks of a complete-graph dataset.

    Parameters
    ----------
    seed : int
        The dataset's seed (that of framework 0).
    start, count : int
        The first framework and how many, each >= 0.

    Returns
    -------
    ndarray of uint64, shape (count,)
        The seeds of frameworks start .. start + count - 1: seed + k, mod 2**64.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> td.framework_seeds(2**64 - 1, 0, 3).tolist()
    [18446744073709551615, 0, 1]
    """
    seed, start = whole_number(seed, "seed"), whole_number(start, "start", 0)
    count = whole_number(count, "count", 0)
    first = np.uint64((seed + start) & MASK)
    return first + np.arange(count, dtype=np.uint64)  # uint64 arrays wrap silently


def framework_points(seeds: ArrayLike, n_nodes: int, d: int) -> NDArray[np.float64]:
    """The points of the frameworks with the given seeds, as the compiled module draws them.

    Coordinate k of node i is draw i*d + k, the first draw coming from the state one step after
    the seed. The scaling is a division by 2^32 - 1 followed by a multiplication by 10, each
    rounded on its own, exactly as the module does it.

    Parameters
    ----------
    seeds : array_like of int
        Seeds, each taken mod 2^64.
    n_nodes : int
        Points per framework, at least 1.
    d : int
        Dimension, at least 1.

    Returns
    -------
    ndarray of float64, shape (len(seeds), n_nodes, d)

    Raises
    ------
    TypeError
        For seeds, n_nodes or d that are not integers.
    ValueError
        For n_nodes or d below 1.

    Examples
    --------
    >>> import telvora
    >>> import telvora_datasets as td
    >>> import numpy as np
    >>> batch = telvora.generate_training_batch(2, 5, 2, 7)
    >>> points = td.framework_points(td.framework_seeds(7, 0, 2), 5, 2)
    >>> lengths = np.sqrt(((points[1][:, None] - points[1][None]) ** 2).sum(axis=-1))
    >>> points.shape, bool((lengths == batch[1]["distance_matrix"]).all())
    ((2, 5, 2), True)
    """
    values = seeds_array(seeds)
    n_nodes, d = whole_number(n_nodes, "n_nodes", 1), whole_number(d, "d", 1)
    multipliers, increments = _jumps(n_nodes * d)
    states = values[:, None] * multipliers[None, :] + increments[None, :]
    quotient = (states >> np.uint64(33)).astype(np.float64) / 4294967295.0
    return (quotient * 10.0).reshape(values.size, n_nodes, d)
