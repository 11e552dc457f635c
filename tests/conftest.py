"""Shared helpers for the Python tests."""

import numpy as np
import pytest


def fatal_error_of(call):
    """Runs call, which must raise the module's fatal-error exception; returns it."""
    with pytest.raises(BaseException) as info:
        call()
    error = info.value
    assert not isinstance(error, Exception), f"expected the fatal-error exception, got {error!r}"
    assert type(error).__bases__ == (BaseException,)
    return error


def layouts(values):
    """The same matrix in several memory layouts: C, Fortran, transposed, strided, reversed, read-only, unaligned."""
    values = np.asarray(values, dtype=np.float64)
    rows, cols = values.shape
    fortran = np.asfortranarray(values)
    transposed = np.ascontiguousarray(values.T).T
    padded = np.zeros((2 * rows, 3 * cols))
    padded[::2, ::3] = values
    reversed_rows = np.ascontiguousarray(values[::-1])[::-1]
    read_only = values.copy()
    read_only.flags.writeable = False
    packed = np.zeros((rows, cols), dtype=[("tag", "u1"), ("x", "<f8")])
    packed["x"] = values
    return {
        "c": values.copy(),
        "fortran": fortran,
        "transposed": transposed,
        "strided": padded[::2, ::3],
        "reversed": reversed_rows,
        "read_only": read_only,
        "packed_field": packed["x"],
    }
