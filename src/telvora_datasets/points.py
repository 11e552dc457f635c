"""Coordinates of the batch's random frameworks, regenerated from their seeds.

The module draws each framework's points from a 64-bit linear congruential generator seeded
with that framework's seed; the batch does not return them. Jumping ahead with the
generator's affine powers gives every draw of every framework in one vectorised step:
after j + 1 steps from state s the state is A^(j+1) s + C (A^j + ... + A + 1) mod 2^64.
"""

import numpy as np

MULTIPLIER = 6364136223846793005
INCREMENT = 1442695040888963407
_MASK = (1 << 64) - 1


def _jumps(draws):
    """(multipliers, increments) taking a seed to the state of draw j, for j < draws."""
    multipliers = np.empty(draws, dtype=np.uint64)
    increments = np.empty(draws, dtype=np.uint64)
    a, c = 1, 0
    for j in range(draws):
        a = (a * MULTIPLIER) & _MASK
        c = (c * MULTIPLIER + INCREMENT) & _MASK
        multipliers[j] = a
        increments[j] = c
    return multipliers, increments


def framework_seeds(seed, start, count):
    """Seeds of frameworks start .. start + count - 1 of a dataset seeded with seed (mod 2^64)."""
    first = np.uint64((seed + start) & _MASK)
    return first + np.arange(count, dtype=np.uint64)  # uint64 arrays wrap silently


def framework_points(seeds, n_nodes, d):
    """Points of the frameworks with the given seeds, shape (len(seeds), n_nodes, d), float64.

    Coordinate k of node i is draw i*d + k, the first draw coming from the state one step
    after the seed. The scaling is a division by 2^32 - 1 followed by a multiplication by 10,
    each rounded on its own, exactly as the module does it.
    """
    seeds = np.asarray(seeds, dtype=np.uint64).reshape(-1)
    multipliers, increments = _jumps(n_nodes * d)
    states = seeds[:, None] * multipliers[None, :] + increments[None, :]
    quotient = (states >> np.uint64(33)).astype(np.float64) / 4294967295.0
    return (quotient * 10.0).reshape(seeds.size, n_nodes, d)
