"""Fuzz harness for telvora_graphs._native: its nine compiled routines called directly, with
arguments the package would never pass (hostile offsets and counts, wrong dtypes and shapes,
negative and huge integers, non-finite coordinates), and an oracle.

The routines must be safe on their own. Each case knows its outcome: the exception the first
bad argument calls for (conversions run in parameter order, then the core checks the values),
or success, in which case the result is checked for types and shapes, against what the
arguments fix (maximum rank, free pebbles, tightness), and against the same routine on the graph
without its isolated vertices or on each graph of a batch alone. Requests meant to be refused as
too large are far beyond any machine (terabytes), so the oracle does not depend on this one.

Used by tests/test_fuzz.py and fuzz/run.py (--module graphs).
"""

from __future__ import annotations

import dataclasses
import time
import warnings
from collections import Counter

import numpy as np
from hypothesis import strategies as st

from telvora_graphs import _native

PARAMETERS = {
    "generic": ("edges", "n", "d", "seed"),
    "numeric": ("edges", "coords", "tol"),
    "generic_batch": ("edges", "offsets", "n", "d", "seed", "global_rigidity"),
    "numeric_batch": ("edges", "offsets", "n", "coords", "tol"),
    "pebble_game": ("edges", "n", "k", "l"),
    "generic_components": ("edges", "n", "d", "seed"),
    "numeric_components": ("edges", "coords", "tol"),
    "generic_components_batch": ("edges", "offsets", "n", "d", "seed"),
    "numeric_components_batch": ("edges", "offsets", "n", "coords", "tol"),
}
FUNCTIONS = tuple(PARAMETERS)
U64 = 2**64
I63 = 2**63
MAX_GAME_K = 2**24
CALL_TIME_LIMIT = 20.0
STATS = Counter()


class Mismatch(AssertionError):
    pass


@dataclasses.dataclass
class Arg:
    """One argument: what is passed, the exception its conversion raises (None: it converts), and
    what it converts to (a Python int, a list of ints, edge pairs, a float matrix, a tolerance)."""

    value: object
    error: type | None = None
    converted: object = None
    label: str = ""

    def __repr__(self):
        if isinstance(self.value, np.ndarray):
            return f"<{self.label} {self.value.dtype} {self.value.shape}: {self.value.tolist()!r:.200}>"
        return repr(self.value)


@dataclasses.dataclass
class Case:
    name: str
    params: list

    @property
    def args(self):
        return tuple(arg.value for arg in self.params)

    def __repr__(self):
        return f"_native.{self.name}{tuple(self.params)!r}"


# ---- arguments --------------------------------------------------------------------------------

SMALL = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12]
HUGE = [2**31, 2**32 - 1, 2**40, 2**62, I63 - 1, I63, U64 - 2, U64 - 1]


@st.composite
def index_scalars(draw, small=SMALL, huge=HUGE):
    """A count: mostly small, sometimes huge, sometimes out of range or not an integer at all."""
    kind = draw(st.sampled_from(["small"] * 24 + ["huge"] * 3 + ["negative", "beyond", "numpy", "bool", "float",
                                                                 "str", "none"]))
    if kind == "small":
        value = draw(st.sampled_from(small))
        return Arg(value, converted=value) if value < U64 else Arg(value, OverflowError)
    if kind == "huge":
        value = draw(st.sampled_from(huge))
        return Arg(value, converted=value)
    if kind == "negative":
        return Arg(draw(st.sampled_from([-1, -(2**63), -(2**70)])), OverflowError)
    if kind == "beyond":
        return Arg(draw(st.sampled_from([U64, 2**70, 10**30])), OverflowError)
    if kind == "numpy":
        value = draw(st.sampled_from(small))
        return Arg(np.uint64(value), converted=value) if value < U64 else Arg(value, OverflowError)
    if kind == "bool":
        value = draw(st.booleans())
        return Arg(value, converted=int(value))
    return Arg({"float": 2.0, "str": "2", "none": None}[kind], TypeError)


def _edge_array(pairs, dtype):
    return np.array(pairs, dtype=dtype).reshape(-1, 2)


@st.composite
def edge_arrays(draw, vertices):
    """(m, 2) int64 or uint64 in any layout with indices mostly within `vertices`, or a hostile one."""
    m = draw(st.integers(0, 10))
    high = max(vertices, 1) + 1
    pairs = [[draw(st.integers(0, high)), draw(st.integers(0, high))] for _ in range(m)]
    kind = draw(st.sampled_from(["plain"] * 24 + ["huge-index"] * 2 + ["negative", "list", "dtype", "shape", "swapped",
                                                  "strided", "fortran"]))
    if kind == "huge-index" and m:
        pairs[draw(st.integers(0, m - 1))][draw(st.integers(0, 1))] = draw(st.sampled_from([2**40, I63 - 1, I63,
                                                                                            U64 - 1]))
        dtype = np.uint64
    else:
        dtype = draw(st.sampled_from([np.int64, np.uint64]))
    array = _edge_array(pairs, dtype)
    converted = [tuple(int(x) for x in row) for row in pairs]
    if kind == "negative" and m:
        array = array.astype(np.int64)
        array[draw(st.integers(0, m - 1)), draw(st.integers(0, 1))] = draw(st.sampled_from([-1, -(2**63)]))
        return Arg(array, ValueError, label="negative")
    if kind == "list":
        return Arg(pairs, TypeError, label="list")
    if kind == "dtype":
        dtype = draw(st.sampled_from([np.int32, np.float64, np.bool_, np.complex128, object, "U2", np.uint8]))
        return Arg(np.zeros((m, 2), dtype=dtype), TypeError, label="dtype")
    if kind == "shape":
        shape = draw(st.sampled_from([(m, 3), (2 * m,), (m, 2, 1), (m, 1)]))
        return Arg(np.zeros(shape, dtype=np.int64), TypeError, label="shape")
    if kind == "swapped" and m:
        return Arg(array.astype(array.dtype.newbyteorder()), TypeError, label="swapped")
    if kind == "strided":
        wide = np.zeros((m, 4), dtype=array.dtype)
        wide[:, ::2] = array
        return Arg(wide[:, ::2], converted=converted, label="strided")
    if kind == "fortran":
        return Arg(np.asfortranarray(array), converted=converted, label="fortran")
    return Arg(array, converted=converted, label="edges")


@st.composite
def index_vectors(draw, length, small=SMALL, huge=HUGE, name="vector"):
    """A 1-D int64/uint64 array of about `length` entries, or a hostile one."""
    size = max(0, length + draw(st.sampled_from([0] * 8 + [-1, 1])))
    values = [draw(st.sampled_from(small if draw(st.integers(0, 9)) else huge)) for _ in range(size)]
    kind = draw(st.sampled_from(["plain"] * 16 + ["negative", "dtype", "shape", "list", "reversed"]))
    if kind == "negative" and size:
        array = np.array([min(v, I63 - 1) for v in values], dtype=np.int64)
        array[draw(st.integers(0, size - 1))] = -draw(st.sampled_from([1, 2**40]))
        return Arg(array, ValueError, label=name)
    if kind == "dtype":
        return Arg(np.zeros(size, dtype=draw(st.sampled_from([np.int32, np.float64, np.bool_]))), TypeError, label=name)
    if kind == "shape":
        return Arg(np.zeros((size, 1), dtype=np.int64), TypeError, label=name)
    if kind == "list":
        return Arg(values, TypeError, label=name)
    dtype = np.uint64 if any(v >= I63 for v in values) else draw(st.sampled_from([np.int64, np.uint64]))
    array = np.array(values, dtype=dtype)
    if kind == "reversed":
        array = np.ascontiguousarray(array[::-1])[::-1]
    return Arg(array, converted=values, label=name)


@st.composite
def batch_layouts(draw, edges):
    """Offsets and counts for a batch: mostly a true layout (some graphs' counts too small or
    huge), else offsets that skip, fall, overshoot or stop short."""
    m = len(edges.converted) if edges.error is None else draw(st.integers(0, 6))
    graphs = draw(st.integers(0, 4))
    cuts = sorted(draw(st.integers(0, m)) for _ in range(max(graphs - 1, 0)))
    offsets = [0] + cuts + [m] if graphs else [0]
    kind = draw(st.sampled_from(["true"] * 10 + ["beyond", "falls", "short", "start", "huge"]))
    if kind == "beyond" and len(offsets) > 2:
        offsets[1] = m + draw(st.integers(1, 3))
    elif kind == "falls" and len(offsets) > 2 and offsets[1] > 0:
        offsets[1], offsets[2] = offsets[1], offsets[1] - 1
    elif kind == "short":
        offsets[-1] = max(0, m - 1)
    elif kind == "start":
        offsets[0] = 1
    elif kind == "huge" and len(offsets) > 2:
        offsets[1] = draw(st.sampled_from([I63 - 1, U64 - 1]))
    counts = []
    for g in range(graphs):
        own = edges.converted[offsets[g]:offsets[g + 1]] if edges.error is None and offsets[g] <= offsets[g + 1] <= m else []
        need = min(max((max(pair) + 1 for pair in own), default=0), U64 - 1)
        counts.append(min(draw(st.sampled_from([need] * 4 + [need + 3, max(need - 1, 0), 2**40, 2**62])), U64 - 1))
    offsets_arg = draw(vector_around(offsets, "offsets"))
    counts_arg = draw(vector_around(counts, "n"))
    return offsets_arg, counts_arg


@st.composite
def vector_around(draw, values, name):
    """The given values as an index vector, or (rarely) a hostile stand-in."""
    if draw(st.integers(0, 15)):
        dtype = np.uint64 if any(v >= I63 for v in values) else draw(st.sampled_from([np.int64, np.uint64]))
        return Arg(np.array(values, dtype=dtype), converted=list(values), label=name)
    return draw(index_vectors(len(values), name=name))


@st.composite
def coordinate_matrices(draw, rows, d=None):
    """(rows, d) float64 positions, sometimes non-finite, short, wide, empty-columned or mistyped."""
    d = d if d is not None else draw(st.integers(1, 3))
    rows = max(0, rows + draw(st.sampled_from([0] * 8 + [-1, 1])))
    values = np.random.default_rng(draw(st.integers(0, 2**32))).random((rows, d))
    kind = draw(st.sampled_from(["plain"] * 16 + ["nonfinite", "coincide", "nocols", "dtype", "1d", "huge", "tiny"]))
    if kind == "nonfinite" and rows:
        values[draw(st.integers(0, rows - 1)), draw(st.integers(0, d - 1))] = draw(st.sampled_from([np.nan, np.inf]))
    elif kind == "coincide" and rows > 1:
        values[1] = values[0]
    elif kind == "huge":
        values *= 1e300
    elif kind == "tiny":
        values *= 1e-300
    elif kind == "nocols":
        return Arg(np.zeros((rows, 0)), ValueError, label="coords")
    elif kind == "dtype":
        return Arg(values.astype(np.float32), TypeError, label="coords")
    elif kind == "1d":
        return Arg(values.reshape(-1), TypeError, label="coords")
    return Arg(values, converted=values, label="coords")


@st.composite
def tolerances(draw):
    kind = draw(st.sampled_from(["none"] * 8 + ["plain"] * 6 + ["int", "negative", "nan", "inf", "str"]))
    if kind == "none":
        return Arg(None, converted=None)
    if kind == "plain":
        value = draw(st.sampled_from([0.0, 1e-12, 1e-9, 1e-3, 10.0]))
        return Arg(value, converted=value)
    if kind == "int":
        return Arg(0, converted=0.0)
    if kind == "str":
        return Arg("1e-9", TypeError)
    return Arg({"negative": -1.0, "nan": float("nan"), "inf": float("inf")}[kind], ValueError)


DIMENSIONS = [1, 2, 2, 3, 3, 4]
HUGE_DIMENSIONS = [0, 2**40, 2**62, I63 - 1, U64 - 1]


@st.composite
def cases(draw, name):
    vertices = draw(st.integers(0, 10))
    edges = draw(edge_arrays(vertices))
    spread = draw(st.sampled_from([vertices + 2] * 3 + [vertices, 2**40, 2**62]))
    counts = draw(index_scalars(small=[spread, spread, 0, 1, 5]))
    dims = draw(index_scalars(small=DIMENSIONS, huge=HUGE_DIMENSIONS))
    seed = draw(index_scalars(small=[0, 1, 7, 2**63], huge=[U64 - 1]))
    m = len(edges.converted) if edges.error is None else 4
    rows = max((max(pair) + 1 for pair in edges.converted), default=0) if edges.error is None else 4
    if rows > 64:
        rows = draw(st.integers(0, 12))  # far indices: coordinates that cannot reach them
    if name in ("generic", "generic_components"):
        params = [edges, counts, dims, seed]
    elif name in ("numeric", "numeric_components"):
        params = [edges, draw(coordinate_matrices(rows + draw(st.integers(0, 3)))), draw(tolerances())]
    elif name == "pebble_game":
        k = draw(index_scalars(small=[1, 1, 2, 2, 3, 6], huge=[0, MAX_GAME_K + 1, 2**32, I63, U64 - 1]))
        limit = 2 * k.converted if k.error is None else 6
        l = draw(index_scalars(small=[0, 1, 2, 3, max(limit - 1, 0), limit], huge=[U64 - 1]))
        if k.error is None and k.converted == MAX_GAME_K + 1 and not m and draw(st.booleans()):
            k = Arg(MAX_GAME_K, converted=MAX_GAME_K)  # the largest k, safe without edges
        params = [edges, counts, k, l]
    else:
        offsets, graph_counts = draw(batch_layouts(edges))
        if name in ("generic_batch", "generic_components_batch"):
            params = [edges, offsets, graph_counts, dims, seed]
            if name == "generic_batch":
                params.append(draw(index_scalars(small=[0, 1], huge=[2])))
        else:
            total = sum(graph_counts.converted) if graph_counts.error is None else 4
            params = [edges, offsets, graph_counts,
                      draw(coordinate_matrices(total if total < 64 else draw(st.integers(0, 8)))), draw(tolerances())]
    return Case(name, params)


# ---- the oracle ---------------------------------------------------------------------------------


def max_rank(n, d):
    return n * (n - 1) // 2 if n <= d else n * d - d * (d + 1) // 2


def compact(edges):
    """The edges renumbered over the vertices that carry them, in increasing order, and that order."""
    original = sorted({v for pair in edges for v in pair})
    index = {v: k for k, v in enumerate(original)}
    return [(index[a], index[b]) for a, b in edges], original


class Refused(Exception):
    """What the oracle expects instead of a result."""

    def __init__(self, *errors):
        super().__init__(errors)
        self.errors = errors


def within(edges, n):
    if any(a >= n or b >= n for a, b in edges):
        raise Refused(ValueError)


def listable(edges):
    """Routines that list vertices report them as int64."""
    if any(a >= I63 or b >= I63 for a, b in edges):
        raise Refused(ValueError)


def columns(n, d):
    if d == 0 or n * d >= I63:
        raise Refused(ValueError)


def generic_memory(used, d):
    """The generic engine holds 3 words per column of the graph without isolated vertices."""
    if used * d * 24 >= 2**40:
        raise Refused(MemoryError)


def layout(edges, offsets, counts):
    if len(offsets) != len(counts) + 1 or offsets[0] != 0:
        raise Refused(ValueError)
    for g in range(len(counts)):
        if offsets[g + 1] < offsets[g] or offsets[g + 1] > len(edges):
            raise Refused(ValueError)
        within(edges[offsets[g]:offsets[g + 1]], counts[g])
    if offsets[-1] != len(edges):
        raise Refused(ValueError)


def graphs_of(edges, offsets, counts):
    return [(edges[offsets[g]:offsets[g + 1]], counts[g]) for g in range(len(counts))]


def numeric_framework(edges, coords, tol):
    """The checks of one framework at coords: vertices within its rows, values that can be used."""
    within(edges, coords.shape[0])
    if tol is not None and coords.size and np.abs(coords).max() > 1e150:
        raise Refused(ValueError, None)  # products of unscaled coordinates may overflow the elimination
    if not np.isfinite(coords).all():
        # The relative tolerance looks at every coordinate; an absolute one only meets the
        # coordinates its elimination reads, and may never see a non-finite one elsewhere.
        if tol is None:
            raise Refused(ValueError)
        raise Refused(ValueError, None)


def expectation(case):
    """Raises Refused with the exceptions the case may end in (None among them: it may succeed)."""
    for arg in case.params:
        if arg.error is not None:
            # Conversions run in order; numeric routines check the columns of coords as they take it.
            raise Refused(arg.error)
    values = [arg.converted for arg in case.params]
    name = case.name
    if name == "generic":
        edges, n, d, _ = values
        columns(n, d)
        within(edges, n)
        generic_memory(len(compact(edges)[1]), d)
    elif name == "generic_components":
        edges, n, d, _ = values
        if d == 0:
            raise Refused(ValueError)
        within(edges, n)
        listable(edges)
        if d >= 3:
            generic_memory(len(compact(edges)[1]), d)
    elif name in ("numeric", "numeric_components"):
        numeric_framework(values[0], values[1], values[2])
    elif name == "pebble_game":
        edges, n, k, l = values
        if k == 0 or k > MAX_GAME_K or l >= 2 * k or k * n >= U64:
            raise Refused(ValueError)
        within(edges, n)
        listable(edges)
    elif name in ("generic_batch", "generic_components_batch"):
        edges, offsets, counts, d = values[:4]
        if d == 0:
            raise Refused(ValueError)
        layout(edges, offsets, counts)
        if name == "generic_components_batch":
            listable(edges)
        for own, n in graphs_of(edges, offsets, counts):
            if name == "generic_batch":
                columns(n, d)
            if name == "generic_batch" or d >= 3:
                generic_memory(len(compact(own)[1]), d)
    else:  # numeric batches
        edges, offsets, counts, coords, tol = values
        layout(edges, offsets, counts)
        if sum(counts) != coords.shape[0]:
            raise Refused(ValueError)
        first = 0
        for own, n in graphs_of(edges, offsets, counts):
            numeric_framework(own, coords[first:first + n], tol)
            first += n


def run_case(case, record=None):
    """Makes the call and checks its outcome against the oracle; raises Mismatch on any fault."""
    try:
        expectation(case)
        allowed = (None,)
    except Refused as refusal:
        allowed = refusal.errors
    if record is not None:
        record(case)
    function = getattr(_native, case.name)
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            result, error = function(*case.args), None
        except KeyboardInterrupt:
            raise
        except BaseException as caught:  # noqa: BLE001 - judged below
            result, error = None, caught
    elapsed = time.perf_counter() - started
    STATS[case.name] += 1
    STATS["calls"] += 1
    STATS[f"{case.name}:{type(error).__name__ if error else 'ok'}"] += 1
    if elapsed > CALL_TIME_LIMIT:
        raise Mismatch(f"{case!r} took {elapsed:.1f} s")
    if error is not None:
        if type(error) not in allowed:
            raise Mismatch(f"{case!r} raised {type(error).__name__}: {error}; expected {allowed}") from error
        if not str(error) and type(error) in (ValueError, MemoryError):
            raise Mismatch(f"{case!r} raised {type(error).__name__} without saying why")
        if not str(error).isprintable():
            raise Mismatch(f"{case!r}: the message holds unprintable bytes: {str(error)!r}")
        return
    if None not in allowed:
        raise Mismatch(f"{case!r} returned; expected {[e.__name__ for e in allowed]}")
    CHECKS[case.name](case, [arg.converted for arg in case.params], result)


# ---- checks of results ------------------------------------------------------------------------------


def expect(condition, case, what):
    if not condition:
        raise Mismatch(f"{case!r}: {what}")


def check_array(case, array, dtype, length, what):
    expect(isinstance(array, np.ndarray) and array.dtype == dtype and array.shape == (length,), case,
           f"{what} is not a ({length},) {dtype} array: {array!r:.200}")


def check_rigidity(case, values, result, generic):
    edges = values[0]
    m = len(edges)
    check_array(case, result["labels"], np.uint8, m, "labels")
    check_array(case, result["redundant"], np.bool_, m, "redundant")
    labels, redundant = result["labels"].tolist(), result["redundant"].tolist()
    expect(set(labels) <= {0, 1}, case, "labels not 0 or 1")
    expect(all(r for label, r in zip(labels, redundant) if not label), case, "a dependent edge is not redundant")
    expect(result["rank"] == sum(labels), case, "rank is not the independent edges")
    n, d = (values[1], values[2]) if generic else (values[1].shape[0], values[1].shape[1])
    expect(result["max_rank"] == (max_rank(n, d) if n else 0), case, f"max_rank {result['max_rank']}")
    expect(result["is_rigid"] == (result["rank"] == result["max_rank"]), case, "is_rigid")
    expect(not result["is_redundantly_rigid"] or (result["is_rigid"] and all(redundant)), case,
           "is_redundantly_rigid")
    if generic:
        expect(isinstance(result["is_globally_rigid"], bool) and result["tol"] is None, case, "generic fields")
        expect(not result["is_globally_rigid"] or result["is_rigid"], case, "globally but not rigid")
        expect(0.0 <= result["error_bound"] < 1.0, case, "error_bound")
        # Isolated vertices change nothing but the counts: the graph on the vertices with edges.
        renumbered, used = compact(edges)
        if len(used) < n:
            alone = _native.generic(np.array(renumbered, dtype=np.int64).reshape(-1, 2), len(used), d, values[3])
            expect(alone["labels"].tolist() == labels and alone["redundant"].tolist() == redundant, case,
                   "isolated vertices changed the labels or the redundancy")
    else:
        expect(result["is_globally_rigid"] is None and result["error_bound"] is None, case, "numeric fields")
        expect(isinstance(result["tol"], float) and result["tol"] >= 0.0, case, "tol")


def check_generic(case, values, result):
    check_rigidity(case, values, result, True)


def check_numeric(case, values, result):
    check_rigidity(case, values, result, False)


def check_components_list(case, sets, n, edges, generic):
    expect(isinstance(sets, list), case, "components are not a list")
    carried = {v for pair in edges for v in pair}
    for component in sets:
        expect(isinstance(component, np.ndarray) and component.dtype == np.int64 and component.ndim == 1, case,
               "a component is not an int64 vector")
        vertices = component.tolist()
        expect(vertices == sorted(set(vertices)) and all(0 <= v < n for v in vertices), case,
               f"component {vertices} is not sorted within 0 .. n-1")
        if generic:
            expect(set(vertices) <= carried, case, f"component {vertices} holds a vertex without an edge")
    expect([c.tolist() for c in sets] == sorted(c.tolist() for c in sets), case, "components out of order")


def check_pebble_game(case, values, result):
    edges, n, k, l = values
    check_array(case, result["labels"], np.uint8, len(edges), "labels")
    accepted = int(result["labels"].sum())
    expect(result["free_pebbles"] == k * n - accepted, case, "free pebbles")
    expect(result["is_tight"] == (n >= 1 and k * n >= l and accepted == k * n - l), case, "is_tight")
    check_components_list(case, result["components"], n, edges, True)
    renumbered, used = compact(edges)
    if len(used) < n:
        alone = _native.pebble_game(np.array(renumbered, dtype=np.int64).reshape(-1, 2), len(used), k, l)
        expect(alone["labels"].tolist() == result["labels"].tolist(), case, "isolated vertices changed the labels")
        expect([[used[v] for v in c.tolist()] for c in alone["components"]] ==
               [c.tolist() for c in result["components"]], case, "isolated vertices changed the components")


def check_generic_components(case, values, result):
    edges, n, d, seed = values
    check_components_list(case, result, n, edges, True)
    if d <= 2:
        renumbered, used = compact(edges)
        game = _native.pebble_game(np.array(renumbered, dtype=np.int64).reshape(-1, 2), len(used), d,
                                   1 if d == 1 else 3)
        expect([[used[v] for v in c.tolist()] for c in game["components"]] == [c.tolist() for c in result], case,
               "components in the line or the plane differ from the (1, 1) or (2, 3) game's")


def check_numeric_components(case, values, result):
    check_components_list(case, result, values[1].shape[0], values[0], False)


def graph_seed(seed, g):
    mask = U64 - 1
    z = ((g ^ (g >> 30)) * 0xBF58476D1CE4E5B9) & mask
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
    return seed ^ (z ^ (z >> 31))


def check_rigidity_batch(case, values, result):
    edges, offsets, counts = values[:3]
    generic = case.name == "generic_batch"
    graphs = len(counts)
    check_array(case, result["labels"], np.uint8, len(edges), "labels")
    check_array(case, result["redundant"], np.bool_, len(edges), "redundant")
    for key in ("rank", "max_rank"):
        check_array(case, result[key], np.int64, graphs, key)
    check_array(case, result["is_rigid"], np.bool_, graphs, "is_rigid")
    expect(("is_globally_rigid" in result) == (generic and values[5] != 0), case, "is_globally_rigid present")
    first = 0
    for g, (own, n) in enumerate(graphs_of(edges, offsets, counts)):
        piece = slice(offsets[g], offsets[g + 1])
        one_edges = np.array(own, dtype=np.int64).reshape(-1, 2)
        if generic:
            alone = _native.generic(one_edges, n, values[3], graph_seed(values[4], g))
        else:
            coords = values[3][first:first + n]
            alone = _native.numeric(one_edges, coords, values[4])
            first += n
        expect(result["labels"][piece].tolist() == alone["labels"].tolist(), case, f"graph {g}'s labels")
        expect(result["redundant"][piece].tolist() == alone["redundant"].tolist(), case, f"graph {g}'s redundancy")
        expect(int(result["rank"][g]) == alone["rank"] and int(result["max_rank"][g]) == alone["max_rank"], case,
               f"graph {g}'s ranks")


def check_components_batch(case, values, result):
    edges, offsets, counts = values[:3]
    generic = case.name == "generic_components_batch"
    graphs = len(counts)
    member_offsets, members = result["offsets"], result["members"]
    check_array(case, member_offsets, np.int64, graphs + 1, "offsets")
    expect(members.dtype == np.int64 and members.ndim == 1 and members.size % 2 == 0, case, "members")
    expect(member_offsets[0] == 0 and member_offsets[-1] * 2 == members.size and
           (np.diff(member_offsets) >= 0).all(), case, "member offsets")
    dims = values[3] if generic else (values[3].shape[1] if values[3].shape[0] else 1)
    expect(("edge_component" in result) == (dims <= 2), case, "edge_component present")
    rows = members.reshape(-1, 2).tolist()
    first = 0
    for g, (own, n) in enumerate(graphs_of(edges, offsets, counts)):
        one_edges = np.array(own, dtype=np.int64).reshape(-1, 2)
        if generic:
            alone = _native.generic_components(one_edges, n, values[3], graph_seed(values[4], g))
        else:
            alone = _native.numeric_components(one_edges, values[3][first:first + n], values[4])
            first += n
        sets = [[] for _ in alone]
        for c, v in rows[member_offsets[g]:member_offsets[g + 1]]:
            expect(0 <= c < len(sets), case, f"graph {g}: component number {c}")
            sets[c].append(v)
        expect(sets == [c.tolist() for c in alone], case, f"graph {g}'s components")
        if "edge_component" in result:
            for e, (a, b) in enumerate(own, start=offsets[g]):
                c = int(result["edge_component"][e])
                expect(c == -1 or (a in sets[c] and b in sets[c]), case, f"edge {e}'s component")


def corpus():
    """Hand-picked cases: layouts that once read past the edge array, and sizes that once took
    gigabytes."""
    triangle = np.array([[0, 1], [1, 2], [0, 2]], dtype=np.int64)
    edges = Arg(triangle, converted=[(0, 1), (1, 2), (0, 2)], label="edges")

    def vector(values, name):
        return Arg(np.array(values, dtype=np.uint64), converted=values, label=name)

    def number(value):
        return Arg(value, converted=value)

    points = np.random.default_rng(0).random((6, 2))
    coords = Arg(points, converted=points, label="coords")
    for offsets in ([0, 5, 3], [0, 2**63, 3], [0, U64 - 1, 3], [0, 3, 1], [0, 1, 2]):
        layout_args = [edges, vector(offsets, "offsets"), vector([3, 3], "n")]
        yield Case("generic_batch", layout_args + [number(2), number(0)])
        yield Case("generic_components_batch", layout_args + [number(3), number(0)])
        yield Case("numeric_batch", layout_args + [coords, Arg(None)])
        yield Case("numeric_components_batch", layout_args + [coords, Arg(None)])
    bar = Arg(np.array([[1, 4]], dtype=np.int64), converted=[(1, 4)], label="edges")
    no_edges = Arg(np.zeros((0, 2), dtype=np.int64), converted=[], label="edges")
    yield Case("generic_components", [bar, number(2**31), number(2), number(0)])
    yield Case("generic_components", [bar, number(10**8), number(3), number(0)])
    yield Case("pebble_game", [no_edges, number(1), number(2**28), number(0)])
    yield Case("pebble_game", [no_edges, number(1), number(MAX_GAME_K), number(0)])
    yield Case("generic", [bar, number(16384), number(2), number(0)])
    yield Case("generic", [bar, number(10**12), number(2), number(0)])
    yield Case("generic", [bar, number(2**62), number(2), number(0)])
    yield Case("generic", [bar, number(5), number(2**40), number(0)])


CHECKS = {
    "generic": check_generic,
    "numeric": check_numeric,
    "generic_batch": check_rigidity_batch,
    "numeric_batch": check_rigidity_batch,
    "pebble_game": check_pebble_game,
    "generic_components": check_generic_components,
    "numeric_components": check_numeric_components,
    "generic_components_batch": check_components_batch,
    "numeric_components_batch": check_components_batch,
}
