"""Fuzz harness for telvora: arbitrary arguments for the six functions, and an oracle.

Every generated case knows the outcome its arguments call for: the exception a conversion or
a check must raise, or success, in which case the result is checked for types, shapes and
internal consistency, against a plain NumPy recomputation where one is cheap, and against the
same call on a C-ordered copy of every array argument. A call that takes too long, raises an
exception of the wrong type or returns a malformed result fails the case.

Used by tests/test_fuzz.py (a short run inside the test suite) and fuzz/run.py (long runs).
"""

from __future__ import annotations

import dataclasses
import decimal
import fractions
import operator
import os
import time
import warnings
from collections import Counter

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

import telvora

FUNCTIONS = ("simulate", "gram_from_dist", "generate_training_batch", "max_independent", "reconstruct", "pebble_game")
PARAMETERS = {
    "simulate": ("coords", "d", "tol"),
    "gram_from_dist": ("dist",),
    "generate_training_batch": ("n_graphs", "n_nodes", "d", "seed"),
    "max_independent": ("n", "d"),
    "reconstruct": ("distance_matrix", "d", "tol"),
    "pebble_game": ("coords", "d"),
}
REQUIRED = {name: len(params) - (1 if params[-1] == "tol" else 0) for name, params in PARAMETERS.items()}
RESULT_KEYS = ["labels", "accepted_edges", "distance_matrix", "final_rank", "max_rank", "is_rigid", "n_nodes", "d"]
U64 = 2**64

# Wall-clock limit of a single call: every case is small or must fail fast. Generous, since the
# sanitizer build is several times slower and the machine may be busy.
CALL_TIME_LIMIT = float(os.environ.get("TELVORA_FUZZ_CALL_LIMIT", "20"))

STATS = Counter()  # calls made, per function and per outcome


class Boom(Exception):
    """Raised by hostile conversion methods; it must reach the caller unchanged."""


class Fatal:
    """Stands for the module's fatal-error exception, which is not reachable by name."""


def is_fatal(error):
    return type(error).__name__ == "FatalError" and type(error).__bases__ == (BaseException,)


# ---- hostile and unusual argument objects -------------------------------------------------------


class SubInt(int):
    """An int subclass whose own conversion methods must not be consulted."""

    def __index__(self):
        raise Boom("int subclasses are read directly")

    def __repr__(self):
        return f"SubInt({int(self)})"


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Indexable({self.value!r})"


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")

    def __repr__(self):
        return "RaisingIndex()"


class IndexReturnsNonInt:
    def __index__(self):
        return 2.0

    def __repr__(self):
        return "IndexReturnsNonInt()"


class Floatable:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floatable({self.value!r})"


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")

    def __repr__(self):
        return "RaisingFloat()"


class FloatTypeErrorWithCause:
    """__float__ raises a TypeError with a cause; the renamed error must keep that cause."""

    def __float__(self):
        try:
            raise Boom("inner")
        except Boom as inner:
            raise TypeError("no float here") from inner

    def __repr__(self):
        return "FloatTypeErrorWithCause()"


class SubFloat(float):
    """A float subclass: its stored value counts, not its __float__."""

    def __float__(self):
        raise Boom("float subclasses are read directly")

    def __repr__(self):
        return f"SubFloat({float.__repr__(self)})"


class Tagged(np.ndarray):
    """An ndarray subclass that carries an attribute along."""

    def __array_finalize__(self, obj):
        self.tag = getattr(obj, "tag", "tagged")


class LooksLikeArray:
    """Converts to an array through the array protocols, but is not an ndarray."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array

    @property
    def __array_interface__(self):
        return self.array.__array_interface__

    def __repr__(self):
        return f"LooksLikeArray(shape={self.array.shape})"


class PretendsToBeArray:
    """Claims to be an ndarray through __class__; the type is what counts."""

    __class__ = np.ndarray  # type: ignore[assignment]
    ndim = 2
    shape = (3, 2)

    def __repr__(self):
        return "PretendsToBeArray()"


# ---- arguments ------------------------------------------------------------------------------------


@dataclasses.dataclass
class Arg:
    """One argument: the object passed and what converting it must give."""

    value: object
    error: object = None  # exception class the conversion raises, or None
    converted: object = None  # int or float value, or the C-ordered copy of a matrix
    shape: tuple | None = None  # matrices: (rows, cols)
    huge: bool = False  # an integer or view too large for any buffer
    label: str = ""
    cause: type | None = None  # expected __cause__ type of a renamed TypeError

    def __repr__(self):
        if self.shape is not None or isinstance(self.value, np.ndarray):
            return f"<{self.label} {describe_array(self.value)}>"
        return f"<{self.label} {self.value!r}>"


def describe_array(a):
    if not isinstance(a, np.ndarray):
        return repr(a)
    text = (f"{type(a).__name__} shape={a.shape} dtype={a.dtype.str} strides={a.strides} "
            f"flags={'C' if a.flags.c_contiguous else ''}{'F' if a.flags.f_contiguous else ''}"
            f"{'' if a.flags.writeable else 'RO'}{'' if a.flags.aligned else 'U'}")
    if a.size <= 64:
        with np.printoptions(precision=17, floatmode="unique"):
            text += " values=" + repr(np.array(a).tolist())
    return text


def expected_index(value):
    """What converting value to an unsigned 64-bit integer must give: (error, value)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            number = int.__index__(value) if isinstance(value, int) else operator.index(value)
    except BaseException as error:  # noqa: BLE001 - the type is the expectation
        return type(error), None
    if not 0 <= number < U64:
        return OverflowError, None
    return None, number


def expected_float(value):
    """What converting value as the tolerance must give: (error, value)."""
    if isinstance(value, float):
        return None, float.__float__(value)
    if isinstance(value, (str, bytes, bytearray)):
        return TypeError, None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            number = float(value)
    except BaseException as error:  # noqa: BLE001
        return type(error), None
    return None, number


def index_arg(value, label="int", huge=False):
    error, number = expected_index(value)
    return Arg(value, error, number, huge=huge and error is None, label=label)


def float_arg(value, label="tol"):
    error, number = (None, None) if value is None else expected_float(value)
    cause = Boom if isinstance(value, FloatTypeErrorWithCause) else None
    return Arg(value, error, number, label=label, cause=cause)


def matrix_arg(value, label, huge=False):
    ok = issubclass(type(value), np.ndarray) and value.ndim == 2 and value.dtype == np.float64
    if not ok:
        return Arg(value, TypeError, label=label)
    shape = tuple(int(k) for k in value.shape)
    converted = None if huge else np.ascontiguousarray(value).view(np.ndarray).copy()
    return Arg(value, None, converted, shape=shape, huge=huge, label=label)


# ---- strategies: integers ---------------------------------------------------------------------------

BOUNDARIES = [0, 1, 2, 3, 4, 2**31 - 1, 2**31, 2**32, 2**53 + 1, 2**63 - 1, 2**63, U64 - 2, U64 - 1]
OUT_OF_RANGE = st.one_of(
    st.integers(max_value=-1),
    st.integers(min_value=U64),
    st.sampled_from([-1, -(2**63), -(2**64), U64, 2**100, -(2**1000), 10**400]),
)


def wrap_integer(draw, number):
    """number dressed as an int, a bool, an int subclass, a NumPy integer or an __index__ object."""
    forms = ["int", "subint", "indexable"]
    if number in (0, 1):
        forms.append("bool")
    for numpy_type in (np.int8, np.int64, np.uint64, np.uint8):
        info = np.iinfo(numpy_type)
        if info.min <= number <= info.max:
            forms.append(numpy_type.__name__)
    form = draw(st.sampled_from(forms))
    if form == "int":
        return number
    if form == "subint":
        return SubInt(number)
    if form == "indexable":
        return Indexable(draw(st.sampled_from([number, SubInt(number)])))
    if form == "bool":
        return bool(number)
    return getattr(np, form)(number)


NON_INTEGERS = st.sampled_from(
    [2.0, float("nan"), float("inf"), -0.0, "2", b"2", None, [2], (2,), 2 + 0j, decimal.Decimal(2),
     fractions.Fraction(4, 2), np.float64(2.0), np.float32(3.0), np.bool_(True), np.array(2), np.array([2]),
     RaisingIndex(), IndexReturnsNonInt(), Floatable(2.0), object()]
)


@st.composite
def integers(draw, small, huge=(), label="int"):
    """An integer argument: mostly plain small values, then boundaries, huge values,
    out-of-range values, other number types and hostile objects."""
    kind = draw(st.sampled_from(["small"] * 6 + ["boundary", "huge", "range", "wrapped", "other"]))
    if kind == "small":
        return index_arg(draw(small), label)
    if kind == "boundary":
        number = draw(st.sampled_from(BOUNDARIES))
        return index_arg(wrap_integer(draw, number), label, huge=number > 2**20)
    if kind == "huge" and huge:
        return index_arg(draw(st.sampled_from(sorted(huge))), label, huge=True)
    if kind == "range":
        return index_arg(wrap_integer(draw, draw(OUT_OF_RANGE)), label)
    if kind == "wrapped":
        number = draw(small)
        return index_arg(wrap_integer(draw, number), label)
    return index_arg(draw(NON_INTEGERS), label)


def dimensions():
    return integers(st.sampled_from([2, 2, 3, 3, 0, 1, 4, 5]), label="d")


# ---- strategies: tolerances -------------------------------------------------------------------------

SPECIAL_FLOATS = [0.0, -0.0, 1e-9, 1e-6, 5e-324, 2.2250738585072014e-308, 1e-300, 1.0, 1e300,
                  1.7976931348623157e308, float("inf"), float("-inf"), float("nan"), -1.0, -1e-9]


@st.composite
def tolerances(draw):
    """None, absent, floats of every kind, ints and hostile objects."""
    kind = draw(st.sampled_from(["absent", "none", "float", "float", "special", "int", "other"]))
    if kind == "absent":
        return None
    if kind == "none":
        return float_arg(None)
    if kind == "float":
        return float_arg(draw(st.floats(allow_nan=True, allow_infinity=True)))
    if kind == "special":
        return float_arg(draw(st.sampled_from(SPECIAL_FLOATS)))
    if kind == "int":
        return float_arg(draw(st.one_of(st.integers(-3, 3), st.sampled_from([True, 2**1023, 2**1024, -(10**400)]))))
    other = draw(st.sampled_from(
        ["1e-9", b"1", 1j, [1e-9], RaisingFloat(), FloatTypeErrorWithCause(), SubFloat(1e-9), Floatable(1e-6),
         Floatable("x"), Indexable(1), RaisingIndex(), np.float32(1e-3), np.float64(0.5), np.int64(1),
         decimal.Decimal("1e-9"), decimal.Decimal("sNaN"), decimal.Decimal("nan"), fractions.Fraction(1, 3),
         np.array(1e-9), object()]
    ))
    return float_arg(other)


# ---- strategies: matrices ---------------------------------------------------------------------------

FLOAT_ELEMENTS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(0.0, 5.0),
    st.integers(-2, 2).map(float),
    st.sampled_from(SPECIAL_FLOATS),
)
FINITE_ELEMENTS = st.one_of(st.floats(-10.0, 10.0), st.integers(-2, 2).map(float))


def _embed(values, draw):
    """values as a view into a larger buffer with steps, possibly reversed."""
    rows, cols = values.shape
    step_r, step_c = draw(st.integers(1, 3)), draw(st.integers(1, 3))
    big = np.full((rows * step_r + 1, cols * step_c + 1), np.nan)
    view = big[1::step_r, 1::step_c][:rows, :cols]
    view[...] = values
    return view


LAYOUTS = ["c", "fortran", "transposed", "strided", "reversed_rows", "reversed_cols", "reversed_both",
           "read_only", "packed_field", "unaligned", "subclass", "matrix_subclass", "masked", "metadata",
           "broadcast_row", "zero_strides", "noncontiguous_readonly", "byteswapped"]


def layout(draw, values):
    """The same values (as far as the layout allows) in one of many memory layouts."""
    rows, cols = values.shape
    kind = draw(st.sampled_from(LAYOUTS))
    if kind == "c":
        return kind, values.copy()
    if kind == "fortran":
        return kind, np.asfortranarray(values)
    if kind == "transposed":
        return kind, np.ascontiguousarray(values.T).T
    if kind == "strided":
        return kind, _embed(values, draw)
    if kind == "reversed_rows":
        return kind, np.ascontiguousarray(values[::-1])[::-1]
    if kind == "reversed_cols":
        return kind, np.ascontiguousarray(values[:, ::-1])[:, ::-1]
    if kind == "reversed_both":
        return kind, _embed(values[::-1, ::-1], draw)[::-1, ::-1]
    if kind == "read_only":
        copy = values.copy()
        copy.flags.writeable = False
        return kind, copy
    if kind == "packed_field":
        record = np.zeros((rows, cols), dtype=[("tag", "u1"), ("x", "<f8")])
        record["x"] = values
        return kind, record["x"]
    if kind == "unaligned":
        raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
        view = raw[1:].view(np.float64).reshape(values.shape)
        view[...] = values
        return kind, view
    if kind == "subclass":
        return kind, values.copy().view(Tagged)
    if kind == "matrix_subclass":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return kind, np.asmatrix(values.copy())
    if kind == "masked":
        return kind, np.ma.masked_array(values.copy(), mask=np.zeros(values.shape, dtype=bool))
    if kind == "metadata":
        return kind, values.copy().view(np.dtype(np.float64, metadata={"unit": "m"}))
    if kind == "broadcast_row":
        return kind, np.broadcast_to(values[:1] if rows else values, values.shape)
    if kind == "zero_strides":
        return kind, as_strided(values[:1, :1].copy() if values.size else np.zeros(1), shape=values.shape,
                                strides=(0, 0))
    if kind == "noncontiguous_readonly":
        view = _embed(values, draw)
        view.flags.writeable = False
        return kind, view
    # A byte-swapped float64 array holds the same numbers but is not native float64.
    return kind, values.astype(values.dtype.newbyteorder(">"))


@st.composite
def float_matrices(draw, rows, cols, elements=FLOAT_ELEMENTS, label="matrix"):
    n, c = draw(rows), draw(cols)
    values = draw(hnp.arrays(np.float64, (n, c), elements=elements))
    kind, value = layout(draw, values)
    return matrix_arg(value, f"{label}:{kind}")


OTHER_DTYPES = ["?", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "e", "f", "g", "F", "D", "G", "S4", "U3",
                "V8", "O", "M8[ns]", "m8[s]", ">f8", ">f4", "<i8", "(2,)f8", [("a", "<f8")],
                [("a", "<f8"), ("b", "<f8")]]


@st.composite
def wrong_matrices(draw, label="matrix"):
    """Objects that are not two-dimensional native float64 arrays."""
    kind = draw(st.sampled_from(["dtype", "ndim", "object"]))
    if kind == "dtype":
        dtype = np.dtype(draw(st.sampled_from(OTHER_DTYPES)))
        shape = (draw(st.integers(0, 5)), draw(st.integers(0, 4)))
        value = np.zeros(shape, dtype=dtype)
        if dtype.kind == "O":
            value[...] = 1.5
        return matrix_arg(value, f"{label}:dtype")
    if kind == "ndim":
        ndim = draw(st.sampled_from([0, 1, 3, 4]))
        shape = tuple(draw(st.integers(0, 3)) for _ in range(ndim))
        return matrix_arg(np.zeros(shape), f"{label}:ndim{ndim}")
    good = np.zeros((4, 2))
    make = draw(st.sampled_from(
        [good.tolist, lambda: tuple(map(tuple, good.tolist())), lambda: None, lambda: 4, lambda: 2.5,
         lambda: "abc", lambda: b"\0" * 64, lambda: memoryview(good), lambda: LooksLikeArray(good),
         PretendsToBeArray, lambda: np.float64(1.0), object, lambda: {"a": 1}]
    ))
    return matrix_arg(make(), f"{label}:object")


def huge_view(shape):
    return as_strided(np.zeros(1), shape=shape, strides=(0, 0))


# Views far larger than any machine's memory, which must be refused before anything is copied.
HUGE_ROWS = [2**40, 2**45]
HUGE_SQUARE = [2**30 - 1, 2**28, 2**25]


@st.composite
def huge_matrices(draw, square, cols, label="matrix"):
    n = draw(st.sampled_from(HUGE_SQUARE if square else HUGE_ROWS))
    c = n if square else draw(cols)
    value = huge_view((n, c))
    if draw(st.booleans()):
        value = value.view(Tagged)
    return matrix_arg(value, f"{label}:huge", huge=True)


def matrices(rows, cols, square=False, label="matrix", elements=FLOAT_ELEMENTS):
    return st.one_of(
        float_matrices(rows, cols, elements, label),
        float_matrices(rows, cols, elements, label),
        float_matrices(rows, cols, elements, label),
        wrong_matrices(label),
        huge_matrices(square, cols, label),
    )


# ---- calls ------------------------------------------------------------------------------------------


@dataclasses.dataclass
class Case:
    name: str
    params: list  # one Arg, or None for an absent optional parameter, per parameter
    args: tuple = ()
    kwargs: dict = dataclasses.field(default_factory=dict)
    structure_error: str | None = None  # how the argument list itself is wrong

    def __repr__(self):
        text = f"telvora.{self.name}(args={self.args!r}, kwargs={self.kwargs!r})"
        if self.structure_error:
            text += f" [{self.structure_error}]"
        return text


@st.composite
def calls(draw, name, params):
    """Passes params by position and keyword, sometimes with a malformed argument list."""
    names = PARAMETERS[name]
    present = [k for k, p in enumerate(params) if p is not None]
    n_positional = draw(st.integers(0, len(present)))
    # Positional arguments fill a prefix; an absent optional can only be skipped by keywords.
    while n_positional and present[n_positional - 1] != n_positional - 1:
        n_positional -= 1
    args = [params[k].value for k in present[:n_positional]]
    kwargs = {names[k]: params[k].value for k in present[n_positional:]}
    case = Case(name, params, tuple(args), kwargs)
    fault = draw(st.sampled_from([None] * 20 + ["extra", "unknown", "duplicate", "missing"]))
    if fault == "extra":
        filler = tuple(params[k].value if params[k] is not None else None for k in range(len(names)))
        case.args, case.kwargs = filler + (draw(st.sampled_from([0, None, 1e-9])),), {}
        case.structure_error = "too many positional arguments"
    elif fault == "unknown":
        case.kwargs = dict(kwargs, **{draw(st.sampled_from(["x", "D", "coord", "tol_", "n_graph"])): 1})
        case.structure_error = "unexpected keyword"
    elif fault == "duplicate" and args:
        k = draw(st.integers(0, len(args) - 1))
        case.kwargs = dict(kwargs, **{names[k]: args[k]})
        case.structure_error = "multiple values"
    elif fault == "missing":
        k = draw(st.integers(0, REQUIRED[name] - 1))
        n_before = min(n_positional, k)
        case.args = tuple(params[j].value for j in range(n_before))
        case.kwargs = {names[j]: params[j].value for j in present if j >= n_before and j != k}
        case.structure_error = "missing argument"
    return case


@st.composite
def plausible_points(draw, d, label):
    """A float64 matrix of d columns and enough rows, in any layout: calls that get to compute."""
    n = draw(st.integers(d + 1, 12))
    elements = draw(st.sampled_from([FLOAT_ELEMENTS, FINITE_ELEMENTS, FINITE_ELEMENTS]))
    values = draw(hnp.arrays(np.float64, (n, d), elements=elements))
    kind, value = layout(draw, values)
    return matrix_arg(value, f"{label}:{kind}")


@st.composite
def plausible_distances(draw, d, label):
    """A square float64 matrix: true distances of random points, or arbitrary values."""
    n = draw(st.integers(d + 1, 12))
    if draw(st.booleans()):
        points = draw(hnp.arrays(np.float64, (n, draw(st.integers(1, 4))), elements=FINITE_ELEMENTS))
        values = reference_distances(points)
    else:
        values = draw(hnp.arrays(np.float64, (n, n), elements=FLOAT_ELEMENTS))
    kind, value = layout(draw, values)
    return matrix_arg(value, f"{label}:{kind}")


def plain_int(value, label):
    return index_arg(value, label)


def wild(name):
    small_rows = st.integers(0, 12)
    if name == "simulate":
        return st.tuples(matrices(small_rows, st.sampled_from([2, 3, 2, 3, 0, 1, 4]), label="coords"), dimensions(),
                         tolerances())
    if name == "gram_from_dist":
        n = st.shared(st.integers(0, 12), key="gram_n")
        return st.tuples(matrices(n, st.one_of(n, n, n, st.integers(0, 12)), square=True, label="dist"))
    if name == "reconstruct":
        n = st.shared(st.integers(0, 12), key="mds_n")
        return st.tuples(matrices(n, st.one_of(n, n, n, st.integers(0, 12)), square=True, label="distance_matrix"),
                         dimensions(), tolerances())
    if name == "pebble_game":
        return st.tuples(matrices(st.integers(0, 40), st.integers(0, 4), label="coords"), dimensions())
    if name == "generate_training_batch":
        huge = {2**32, 2**40, 2**62, 2**63, U64 - 1}
        return st.tuples(
            integers(st.integers(0, 4), huge=huge, label="n_graphs"),
            integers(st.integers(0, 12), huge=huge, label="n_nodes"),
            dimensions(),
            integers(st.integers(0, U64 - 1), label="seed"),
        )
    if name == "max_independent":
        any_u64 = st.one_of(st.integers(0, 64), st.integers(0, U64 - 1), st.integers(0, 2**32))
        return st.tuples(integers(any_u64, label="n"), integers(any_u64, label="d"))
    raise ValueError(name)


def plausible(name):
    """Arguments that pass every conversion and check, so that the computation runs."""
    dim = st.sampled_from([2, 3])
    tol = st.one_of(st.none(), st.just(float_arg(None)), tolerances().filter(lambda a: a is None or a.error is None))
    if name == "simulate":
        return dim.flatmap(lambda d: st.tuples(plausible_points(d, "coords"), st.just(plain_int(d, "d")), tol))
    if name == "gram_from_dist":
        return st.tuples(dim.flatmap(lambda d: plausible_distances(d, "dist")))
    if name == "reconstruct":
        return dim.flatmap(lambda d: st.tuples(plausible_distances(d, "distance_matrix"), st.just(plain_int(d, "d")),
                                               tol))
    if name == "pebble_game":
        return st.tuples(float_matrices(st.integers(0, 60), st.integers(0, 3), label="coords"),
                         st.just(plain_int(2, "d")))
    if name == "generate_training_batch":
        return st.tuples(plain(st.integers(1, 3), "n_graphs"), plain(st.integers(1, 12), "n_nodes"),
                         plain(dim, "d"), plain(st.integers(0, U64 - 1), "seed"))
    return wild(name)


def plain(strategy, label):
    return strategy.map(lambda value: plain_int(value, label))


def cases(name):
    """Strategy of calls of one function: half of them plausible, half anything at all."""
    return st.one_of(plausible(name), wild(name)).flatmap(lambda p: calls(name, list(p)))


def all_cases():
    return st.one_of([cases(name) for name in FUNCTIONS])


# ---- the oracle ---------------------------------------------------------------------------------------


def expectation(case):
    """The exception classes the call may raise (Fatal for the fatal error), or () for success."""
    if case.structure_error:
        return (TypeError,)
    for arg in case.params:
        if arg is not None and arg.error is not None:
            return (arg.error,)
    p = [arg.converted if arg is not None else None for arg in case.params]
    name = case.name
    if name == "max_independent":
        n, d = p
        return (OverflowError,) if n * d >= U64 or d * (d + 1) >= U64 else ()
    if name == "simulate":
        rows, cols = case.params[0].shape
        d = p[1]
        if cols != d or d not in (2, 3) or rows <= d:
            return (ValueError,)
        return (MemoryError,) if case.params[0].huge else ()
    if name == "gram_from_dist":
        rows, cols = case.params[0].shape
        if rows != cols:
            return (ValueError,)
        return (MemoryError,) if case.params[0].huge else ()
    if name == "reconstruct":
        rows, cols = case.params[0].shape
        d = p[1]
        if rows != cols:
            return (ValueError,)
        invalid = d not in (2, 3) or rows <= d
        if case.params[0].huge:  # the order of the copy and the two checks is open
            return (MemoryError, Fatal) if invalid else (MemoryError,)
        return (Fatal,) if invalid else ()
    if name == "pebble_game":
        if p[1] != 2:
            return (ValueError,)
        return (MemoryError,) if case.params[0].huge else ()
    if name == "generate_training_batch":
        n_graphs, n_nodes, d, _ = p
        if n_graphs == 0:
            return ()
        invalid = n_nodes == 0 or d not in (2, 3)
        huge = case.params[0].huge or case.params[1].huge
        if huge:
            return (MemoryError, Fatal) if invalid else (MemoryError,)
        return (Fatal,) if invalid else ()
    raise ValueError(name)


def matches(error, expected):
    for kind in expected:
        if kind is Fatal and is_fatal(error):
            return True
        if kind is not Fatal and type(error) is kind:
            return True
    return False


class Mismatch(AssertionError):
    pass


def run_case(case, record=None):
    """Makes the call and checks its outcome against the oracle; raises Mismatch on any fault."""
    expected = expectation(case)
    function = getattr(telvora, case.name)
    inputs = [(arg, np.array(arg.value, copy=True)) for arg in case.params
              if arg is not None and arg.error is None and arg.shape is not None and not arg.huge]
    if record is not None:
        record(case)
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result, error = function(*case.args, **case.kwargs), None
        except KeyboardInterrupt:
            raise
        except BaseException as caught:  # noqa: BLE001 - every exception is judged below
            result, error = None, caught
    elapsed = time.perf_counter() - started
    STATS[case.name] += 1
    STATS["calls"] += 1
    STATS[f"{case.name}:{type(error).__name__ if error else 'ok'}"] += 1

    if elapsed > CALL_TIME_LIMIT:
        raise Mismatch(f"{case!r} took {elapsed:.1f} s")
    for arg, before in inputs:  # the module never writes through an input view
        if not same_values(np.asarray(arg.value), before):
            raise Mismatch(f"{case!r} changed its input {arg!r}")

    if error is not None:
        if not expected:
            raise Mismatch(f"{case!r} raised {type(error).__name__}: {error}") from error
        if not matches(error, expected):
            names = [k.__name__ for k in expected]
            raise Mismatch(f"{case!r} raised {type(error).__name__}: {error}; expected {names}") from error
        check_error(case, error)
        return
    if expected:
        raise Mismatch(f"{case!r} returned {type(result).__name__}; expected {[k.__name__ for k in expected]}")
    CHECKS[case.name](case, result)


def check_error(case, error):
    """A renamed conversion TypeError names its parameter and keeps the original cause."""
    if case.structure_error or type(error) is not TypeError:
        return
    names = PARAMETERS[case.name]
    for k, arg in enumerate(case.params):
        if arg is not None and arg.error is not None:
            if f"'{names[k]}'" not in str(error):
                raise Mismatch(f"{case!r}: TypeError does not name '{names[k]}': {error}")
            if arg.cause is not None and not isinstance(error.__cause__, arg.cause):
                raise Mismatch(f"{case!r}: the cause {error.__cause__!r} was lost")
            return


# ---- checks of successful results -------------------------------------------------------------------


def same_values(a, b):
    """Equal shape, dtype and bits, every NaN counting as equal to every NaN."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind == "f":
        nan_a, nan_b = np.isnan(a), np.isnan(b)
        if not np.array_equal(nan_a, nan_b):
            return False
        a, b = np.where(nan_a, 0.0, a), np.where(nan_b, 0.0, b)
    return a.tobytes() == b.tobytes()


def check_owned_array(array, dtype, shape, *others):
    if type(array) is not np.ndarray:
        raise Mismatch(f"expected a plain ndarray, got {type(array)}")
    if array.dtype != dtype or array.shape != shape:
        raise Mismatch(f"expected {dtype} {shape}, got {array.dtype} {array.shape}")
    if not (array.flags.c_contiguous and array.flags.writeable):
        raise Mismatch(f"array not C-contiguous and writeable: {array.flags}")
    for other in others:
        if isinstance(other, np.ndarray) and np.shares_memory(array, other):
            raise Mismatch("a result array shares memory with another array")


@np.errstate(all="ignore")
def reference_distances(points):
    n = points.shape[0]
    s = np.full((n, n), -0.0)
    for k in range(points.shape[1]):
        diff = points[:, None, k] - points[None, :, k]
        s = s + diff * diff
    return np.sqrt(s)


def edge_list(n):
    return [(i, j) for i in range(n) for j in range(i + 1, n)]


def check_labelling(result, n, d, *inputs):
    """The eight-key dictionary of simulate and of each framework of a batch."""
    if type(result) is not dict or list(result) != RESULT_KEYS:
        raise Mismatch(f"unexpected result keys: {list(result) if isinstance(result, dict) else type(result)}")
    labels = result["labels"]
    check_owned_array(labels, np.uint8, (n * (n - 1) // 2,), *inputs)
    check_owned_array(result["distance_matrix"], np.float64, (n, n), labels, *inputs)
    if not np.isin(labels, (0, 1)).all():
        raise Mismatch(f"labels outside 0/1: {labels}")
    accepted = result["accepted_edges"]
    if type(accepted) is not list or any(type(e) is not tuple or list(map(type, e)) != [int, int] for e in accepted):
        raise Mismatch("accepted_edges is not a list of pairs of ints")
    if accepted != [e for e, label in zip(edge_list(n), labels.tolist()) if label]:
        raise Mismatch("accepted_edges do not match the labels")
    for key in ("final_rank", "max_rank", "n_nodes", "d"):
        if type(result[key]) is not int:
            raise Mismatch(f"{key} is not an int")
    if (result["n_nodes"], result["d"]) != (n, d):
        raise Mismatch("n_nodes or d wrong")
    expected_max = n * (n - 1) // 2 if n < d else n * d - d * (d + 1) // 2
    if result["max_rank"] != expected_max:
        raise Mismatch(f"max_rank {result['max_rank']} != {expected_max}")
    if result["final_rank"] != int(labels.sum()):
        raise Mismatch(f"final_rank {result['final_rank']} but {int(labels.sum())} edges accepted")
    if n >= d + 1 and result["final_rank"] > expected_max:
        raise Mismatch(f"final_rank {result['final_rank']} above max_rank {expected_max}")
    if result["is_rigid"] is not (result["final_rank"] == result["max_rank"]):
        raise Mismatch("is_rigid is not the bool of final_rank == max_rank")


def same_field(a, b):
    return same_values(a, b) if isinstance(a, np.ndarray) else (a == b and type(a) is type(b))


def converted_tol(case, default):
    arg = case.params[2]
    return default if arg is None or arg.converted is None else arg.converted


def check_simulate(case, result):
    arg = case.params[0]
    points, d = arg.converted, case.params[1].converted
    n = points.shape[0]
    check_labelling(result, n, d, arg.value)
    if not same_values(result["distance_matrix"], reference_distances(points)):
        raise Mismatch(f"{case!r}: distance matrix differs from the reference")
    again = telvora.simulate(points, d, converted_tol(case, None))  # C-ordered copy, plain arguments
    for key in RESULT_KEYS:
        if not same_field(result[key], again[key]):
            raise Mismatch(f"{case!r}: {key} differs from the call on a C-ordered copy")


@np.errstate(all="ignore")
def reference_gram(dist):
    n = dist.shape[0]
    if n == 0:
        return np.zeros((0, 0))
    squares = dist * dist
    inv_n = 1.0 / n
    row_mean = np.cumsum(squares, axis=1)[:, -1] * inv_n
    grand = inv_n * np.cumsum(row_mean)[-1]
    return (((squares - row_mean[:, None]) - row_mean[None, :]) + grand) * -0.5


def check_gram(case, result):
    arg = case.params[0]
    n = arg.shape[0]
    check_owned_array(result, np.float64, (n, n), arg.value)
    if not same_values(result, reference_gram(arg.converted)):
        raise Mismatch(f"{case!r}: Gram matrix differs from the reference")


def check_reconstruct(case, result):
    arg = case.params[0]
    dist, d = arg.converted, case.params[1].converted
    n = dist.shape[0]
    tol = converted_tol(case, 1e-6)
    if type(result) is not dict or list(result) != ["coords", "stress", "eigenvalues", "is_isometric"]:
        raise Mismatch(f"{case!r}: unexpected result {result!r}")
    check_owned_array(result["coords"], np.float64, (n, d), arg.value)
    check_owned_array(result["eigenvalues"], np.float64, (d,), result["coords"], arg.value)
    stress, values = result["stress"], result["eigenvalues"]
    if type(stress) is not float or result["is_isometric"] is not (stress < tol):
        raise Mismatch(f"{case!r}: stress {stress!r} / is_isometric {result['is_isometric']!r} with tol {tol!r}")
    if not np.isnan(stress) and stress < 0:
        raise Mismatch(f"{case!r}: negative stress {stress}")
    if not np.isnan(values).any() and np.any(values[:-1] < values[1:]):
        raise Mismatch(f"{case!r}: eigenvalues not in descending order: {values}")
    if np.isfinite(dist).all() and np.abs(dist).max(initial=0) < 1e100:
        if not np.isfinite(stress) or not np.isfinite(values).all() or not np.isfinite(result["coords"]).all():
            raise Mismatch(f"{case!r}: non-finite result for finite distances")
        # A column whose eigenvalue is not positive is all zeros.
        for k in range(d):
            if not values[k] > 0 and np.any(result["coords"][:, k] != 0):
                raise Mismatch(f"{case!r}: column {k} not zero for eigenvalue {values[k]}")
    again = telvora.reconstruct(dist, d, tol)
    for key in ("coords", "eigenvalues"):
        if not same_values(result[key], again[key]):
            raise Mismatch(f"{case!r}: {key} differs from the call on a C-ordered copy")
    if not same_values(stress, again["stress"]):
        raise Mismatch(f"{case!r}: stress differs from the call on a C-ordered copy")


def check_pebble_game(case, result):
    n = case.params[0].shape[0]
    if type(result) is not dict or list(result) != ["labels", "accepted_edges", "n_nodes", "d"]:
        raise Mismatch(f"{case!r}: unexpected result {result!r}")
    check_owned_array(result["labels"], np.uint8, (n * (n - 1) // 2,), case.params[0].value)
    laman = [(i, j) for (i, j) in edge_list(n) if i < 2]
    if result["accepted_edges"] != laman or result["labels"].tolist() != [int(i < 2) for i, _ in edge_list(n)]:
        raise Mismatch(f"{case!r}: the game accepted {result['accepted_edges']}")
    if (result["n_nodes"], result["d"]) != (n, 2) or type(result["n_nodes"]) is not int:
        raise Mismatch(f"{case!r}: n_nodes/d wrong")


def lcg_points(n, d, seed):
    state, values = seed, []
    for _ in range(n * d):
        state = (state * 6364136223846793005 + 1442695040888963407) % U64
        values.append((float(state >> 33) / 4294967295.0) * 10.0)
    return np.array(values, dtype=np.float64).reshape(n, d)


def check_batch(case, result):
    n_graphs, n_nodes, d, seed = (arg.converted for arg in case.params)
    if type(result) is not list or len(result) != n_graphs:
        raise Mismatch(f"{case!r}: expected a list of {n_graphs}")
    arrays = []
    for k, framework in enumerate(result):
        points = lcg_points(n_nodes, d, (seed + k) % U64)
        check_labelling(framework, n_nodes, d, *arrays)
        arrays += [framework["labels"], framework["distance_matrix"]]
        if not same_values(framework["distance_matrix"], reference_distances(points)):
            raise Mismatch(f"{case!r}: framework {k} has the wrong distances")
        if n_nodes >= d + 1:
            direct = telvora.simulate(points, d)
            same = framework["labels"].tolist() == direct["labels"].tolist()
            if not same or framework["final_rank"] != direct["final_rank"]:
                raise Mismatch(f"{case!r}: framework {k} differs from simulate on its points")


def check_max_independent(case, result):
    n, d = (arg.converted for arg in case.params)
    if type(result) is not int or result != (n * (n - 1) // 2 if n < d else n * d - d * (d + 1) // 2):
        raise Mismatch(f"{case!r} returned {result!r}")


CHECKS = {
    "simulate": check_simulate,
    "gram_from_dist": check_gram,
    "generate_training_batch": check_batch,
    "max_independent": check_max_independent,
    "reconstruct": check_reconstruct,
    "pebble_game": check_pebble_game,
}
