"""Hand-picked inputs replayed before every fuzz run: corners that random generation reaches
only rarely, and inputs that once needed attention."""

import decimal

import numpy as np
from numpy.lib.stride_tricks import as_strided

from harness import (PARAMETERS, U64, Case, FloatTypeErrorWithCause, Indexable, IndexReturnsNonInt, RaisingFloat,
                     RaisingIndex, SubFloat, SubInt, Tagged, float_arg, huge_view, index_arg, matrix_arg)

SQUARE = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])
TRIANGLE = np.array([[0.0, 1.0, 1.0], [1.0, 0.0, 1.0], [1.0, 1.0, 0.0]])


def m(value, label="corpus", huge=False):
    return matrix_arg(value, label, huge=huge)


def i(value, huge=False):
    return index_arg(value, huge=huge)


def f(value):
    return float_arg(value)


def call(name, *params, keywords=()):
    """A Case passing params by position, except the parameters named in keywords."""
    names = PARAMETERS[name]
    args = tuple(p.value for k, p in enumerate(params) if p is not None and names[k] not in keywords)
    kwargs = {names[k]: p.value for k, p in enumerate(params) if p is not None and names[k] in keywords}
    return Case(name, list(params), args, kwargs)


def packed(values):
    record = np.zeros(values.shape, dtype=[("tag", "u1"), ("x", "<f8")])
    record["x"] = values
    return record["x"]


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


def cases():
    nan, inf = float("nan"), float("inf")
    collinear = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0]])
    space = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [2.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
    same_point = np.ones((3, 2))
    return [
        # simulate: layouts, degenerate frameworks, tolerances, non-finite values
        call("simulate", m(SQUARE), i(2), None),
        call("simulate", m(np.asfortranarray(collinear)), i(2), f(None)),
        call("simulate", m(space[::-1]), i(3), f(0.0)),
        call("simulate", m(packed(space)), i(SubInt(3)), f(SubFloat(1e-9))),
        call("simulate", m(read_only(same_point)), i(Indexable(2)), f(-1.0)),
        call("simulate", m(np.full((5, 3), nan)), i(3), f(nan), keywords=("tol",)),
        call("simulate", m(np.array([[0.0, 0.0], [inf, 0.0], [0.0, -inf], [1e308, 1e308]])), i(2), f(inf)),
        call("simulate", m(np.array([[5e-324, 0.0], [0.0, 5e-324], [5e-324, 5e-324]])), i(2), f(0.0)),
        call("simulate", m(as_strided(np.zeros(1), shape=(6, 2), strides=(0, 0))), i(2), None),
        call("simulate", m(SQUARE.view(Tagged)), i(True), None),
        call("simulate", m(SQUARE), i(2), f(decimal.Decimal("sNaN"))),
        call("simulate", m(SQUARE), i(2), f(FloatTypeErrorWithCause())),
        call("simulate", m(SQUARE), i(2), f(RaisingFloat())),
        call("simulate", m(SQUARE), i(2), f(2**1024)),
        call("simulate", m(SQUARE.astype(">f8")), i(RaisingIndex()), f("x")),
        call("simulate", m(SQUARE), i(IndexReturnsNonInt()), None),
        call("simulate", m(np.zeros((0, 2))), i(2), None),
        call("simulate", m(huge_view((2**40, 2)), huge=True), i(2), None),
        call("simulate", m(huge_view((2**30 - 1, 2**30 - 1)), huge=True), i(2), None),
        # gram_from_dist
        call("gram_from_dist", m(TRIANGLE)),
        call("gram_from_dist", m(np.zeros((0, 0))), keywords=("dist",)),
        call("gram_from_dist", m(np.array([[nan]]))),
        call("gram_from_dist", m(np.array([[0.0, inf], [inf, 0.0]])[::-1, ::-1])),
        call("gram_from_dist", m(np.zeros((2, 3)))),
        call("gram_from_dist", m(huge_view((2**30 - 1, 2**30 - 1)), huge=True)),
        call("gram_from_dist", m(huge_view((2**25, 2**25)).view(Tagged), huge=True)),
        # reconstruct
        call("reconstruct", m(TRIANGLE), i(2), None),
        call("reconstruct", m(np.zeros((3, 3))), i(2), f(0)),
        call("reconstruct", m(np.array([[0.0, 1.0, 5.0], [1.0, 0.0, 1.0], [5.0, 1.0, 0.0]])), i(2), None),
        call("reconstruct", m(np.full((4, 4), nan)), i(3), f(nan)),
        call("reconstruct", m(np.zeros((3, 3))), i(3), None),
        call("reconstruct", m(np.zeros((10, 10))), i(4), None),
        call("reconstruct", m(np.zeros((0, 0))), i(2), None),
        call("reconstruct", m(np.zeros((3, 4))), i(7), None),
        call("reconstruct", m(huge_view((2**30 - 1, 2**30 - 1)), huge=True), i(2), None),
        call("reconstruct", m(huge_view((2**28, 2**28)), huge=True), i(9), None),
        # pebble_game
        call("pebble_game", m(np.zeros((0, 0))), i(2)),
        call("pebble_game", m(np.full((9, 3), nan)), i(2)),
        call("pebble_game", m(np.zeros((4, 3))), i(3)),
        call("pebble_game", m(huge_view((2**40, 2)), huge=True), i(2)),
        call("pebble_game", m(huge_view((2**45, 0)), huge=True), i(2)),
        # generate_training_batch
        call("generate_training_batch", i(0), i(0), i(7), i(0)),
        call("generate_training_batch", i(1), i(0), i(2), i(0)),
        call("generate_training_batch", i(1), i(5), i(4), i(0)),
        call("generate_training_batch", i(2), i(5), i(2), i(U64 - 1)),
        call("generate_training_batch", i(1), i(1), i(3), i(9)),
        call("generate_training_batch", i(1), i(60), i(3), i(280)),
        call("generate_training_batch", i(2**62, huge=True), i(10), i(3), i(0)),
        call("generate_training_batch", i(1), i(U64 - 1, huge=True), i(2), i(0)),
        call("generate_training_batch", i(U64 - 1, huge=True), i(U64 - 1, huge=True), i(3), i(0)),
        call("generate_training_batch", i(-1), i(None), i(2.0), i(RaisingIndex())),
        # max_independent
        call("max_independent", i(2**62), i(4)),
        call("max_independent", i(U64 - 1), i(1)),
        call("max_independent", i(1), i(U64 - 1)),
        call("max_independent", i(0), i(0)),
        call("max_independent", i(np.uint64(U64 - 1)), i(np.int8(-1))),
    ]
