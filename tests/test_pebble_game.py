"""pebble_game: the (2,3) pebble game over the complete graph on the rows of coords."""

import threading

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import telvora

MESSAGE = "pebble_game only supports d=2"


def laman_edges(n):
    """The edges the game accepts on n nodes: every edge at node 0 or node 1."""
    return [(i, j) for i in range(min(n, 2)) for j in range(i + 1, n)]


def expected_labels(n):
    # First endpoint of every candidate edge, in candidate order.
    first = np.repeat(np.arange(n), n - 1 - np.arange(n)) if n else np.empty(0, dtype=np.int64)
    return (first < 2).astype(np.uint8)


def assert_same_result(a, b):
    assert list(a) == list(b)
    np.testing.assert_array_equal(a["labels"], b["labels"])
    assert a["labels"].dtype == b["labels"].dtype
    assert a["accepted_edges"] == b["accepted_edges"]
    assert a["n_nodes"] == b["n_nodes"]
    assert a["d"] == b["d"]


# --- results --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("n", "labels", "accepted"),
    [
        (0, [], []),
        (1, [], []),
        (2, [1], [(0, 1)]),
        (3, [1, 1, 1], [(0, 1), (0, 2), (1, 2)]),
        (4, [1, 1, 1, 1, 1, 0], [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3)]),
    ],
)
def test_small_frameworks(n, labels, accepted):
    result = telvora.pebble_game(np.zeros((n, 2)), 2)
    np.testing.assert_array_equal(result["labels"], np.array(labels, dtype=np.uint8))
    assert result["labels"].shape == (len(labels),)
    assert result["accepted_edges"] == accepted
    assert result["n_nodes"] == n
    assert result["d"] == 2


@pytest.mark.parametrize("n", [0, 3, 6])
def test_result_types_and_key_order(n):
    result = telvora.pebble_game(np.ones((n, 2)), 2)
    assert type(result) is dict
    assert list(result) == ["labels", "accepted_edges", "n_nodes", "d"]

    labels = result["labels"]
    assert type(labels) is np.ndarray
    assert labels.dtype == np.uint8
    assert labels.ndim == 1
    assert labels.flags.c_contiguous
    assert labels.flags.writeable
    labels[...] = 7  # writeable in fact, not only in name

    edges = result["accepted_edges"]
    assert type(edges) is list
    for edge in edges:
        assert type(edge) is tuple and len(edge) == 2
        assert all(type(k) is int for k in edge)
    assert type(result["n_nodes"]) is int
    assert type(result["d"]) is int


@pytest.mark.parametrize("n", [2, 5, 9, 30, 101, 257])
def test_edges_at_first_two_nodes_accepted_all_others_redundant(n):
    result = telvora.pebble_game(np.zeros((n, 2)), 2)
    np.testing.assert_array_equal(result["labels"], expected_labels(n))
    assert result["accepted_edges"] == laman_edges(n)
    assert len(result["accepted_edges"]) == 2 * n - 3
    assert len(result["accepted_edges"]) == telvora.max_independent(n, 2)
    assert int(result["labels"].sum()) == telvora.max_independent(n, 2)


@pytest.mark.parametrize("n", [3, 4, 7, 12])
def test_agrees_with_rank_labelling_on_generic_points(n):
    # For points in general position the rigidity matrix has the same independent edges.
    coords = np.random.default_rng(1000 + n).uniform(-1.0, 1.0, size=(n, 2))
    game = telvora.pebble_game(coords, 2)
    rank = telvora.simulate(coords, 2)
    np.testing.assert_array_equal(game["labels"], rank["labels"])
    assert game["accepted_edges"] == rank["accepted_edges"]


def test_calls_do_not_share_results():
    first = telvora.pebble_game(np.zeros((6, 2)), 2)
    first["labels"][:] = 9
    first["accepted_edges"].clear()
    second = telvora.pebble_game(np.zeros((6, 2)), 2)
    np.testing.assert_array_equal(second["labels"], expected_labels(6))
    assert second["accepted_edges"] == laman_edges(6)


# --- only the row count of coords matters -----------------------------------------------


def _coordinate_variants(n):
    rng = np.random.default_rng(7)
    wide = rng.normal(size=(2 * n, 5))
    return {
        "random": rng.normal(size=(n, 2)),
        "nan": np.full((n, 2), np.nan),
        "inf": np.full((n, 2), np.inf),
        "mixed_nonfinite": np.tile([[np.nan, np.inf], [-np.inf, 0.0]], (n, 1))[:n],
        "repeated_point": np.tile([[3.0, -4.0]], (n, 1)),
        "no_columns": np.empty((n, 0)),
        "three_columns": rng.normal(size=(n, 3)),
        "fortran_order": np.asfortranarray(rng.normal(size=(n, 2))),
        "strided_view": wide[::2, 1:4:2],
        "reversed_rows": rng.normal(size=(n, 2))[::-1],
        "read_only": np.frombuffer(bytes(16 * n), dtype=np.float64).reshape(n, 2),
        "zero_strides": as_strided(np.zeros(1), shape=(n, 2), strides=(0, 0)),
    }


@pytest.mark.parametrize("n", [0, 1, 6])
@pytest.mark.parametrize("variant", sorted(_coordinate_variants(1)))
def test_result_depends_on_row_count_only(n, variant):
    coords = _coordinate_variants(n)[variant]
    assert coords.shape[0] == n
    baseline = telvora.pebble_game(np.zeros((n, 2)), 2)
    assert_same_result(telvora.pebble_game(coords, 2), baseline)


def test_array_subclass_is_accepted():
    class Tagged(np.ndarray):
        pass

    coords = np.zeros((5, 2)).view(Tagged)
    assert_same_result(telvora.pebble_game(coords, 2), telvora.pebble_game(np.zeros((5, 2)), 2))


# --- arguments ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda c: telvora.pebble_game(c, 2),
        lambda c: telvora.pebble_game(c, d=2),
        lambda c: telvora.pebble_game(coords=c, d=2),
        lambda c: telvora.pebble_game(d=2, coords=c),
        lambda c: telvora.pebble_game(c, np.int64(2)),
    ],
    ids=["positional", "d_keyword", "both_keywords", "keywords_reversed", "numpy_int"],
)
def test_argument_forms(call):
    assert_same_result(call(np.zeros((5, 2))), telvora.pebble_game(np.zeros((5, 2)), 2))


@pytest.mark.parametrize("d", [0, 1, 3, 4, True, False, 2**64 - 1])
@pytest.mark.parametrize("columns", [0, 2, 3])
def test_d_other_than_two_is_refused(d, columns):
    with pytest.raises(ValueError) as excinfo:
        telvora.pebble_game(np.zeros((4, columns)), d)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == MESSAGE


def test_d_three_refused_with_gigantic_row_count():
    # The d check comes before anything is sized.
    coords = as_strided(np.zeros(1), shape=(2**40, 3), strides=(0, 0))
    with pytest.raises(ValueError, match="^pebble_game only supports d=2$"):
        telvora.pebble_game(coords, 3)


@pytest.mark.parametrize(
    "coords",
    [
        [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]],
        np.zeros(6),
        np.zeros((3, 2, 1)),
        np.zeros((3, 2), dtype=np.float32),
        np.zeros((3, 2), dtype=np.int64),
        np.zeros((3, 2), dtype=np.complex128),
        np.zeros((3, 2), dtype=object),
        np.zeros((3, 2), dtype=">f8" if np.little_endian else "<f8"),
        None,
        3,
    ],
    ids=["list", "1d", "3d", "float32", "int64", "complex", "object", "byteswapped", "none", "int"],
)
@pytest.mark.parametrize("d", [2, 3, -1, 2.5])
def test_coords_conversion_error_comes_first(coords, d):
    # coords is converted before d, so its TypeError wins over any problem with d.
    with pytest.raises(TypeError):
        telvora.pebble_game(coords, d)


@pytest.mark.parametrize(
    ("d", "error"),
    [
        (-1, OverflowError),
        (-(2**70), OverflowError),
        (2**64, OverflowError),
        (2.0, TypeError),
        ("2", TypeError),
        (None, TypeError),
    ],
)
def test_d_conversion_error_comes_before_d_check(d, error):
    with pytest.raises(error) as excinfo:
        telvora.pebble_game(np.zeros((4, 2)), d)
    assert type(excinfo.value) is error


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((np.zeros((3, 2)),), {}),
        ((np.zeros((3, 2)), 2, 1), {}),
        ((np.zeros((3, 2)), 2), {"coords": np.zeros((3, 2))}),
        ((np.zeros((3, 2)), 2), {"tol": 1e-9}),
    ],
    ids=["nothing", "missing_d", "too_many", "coords_twice", "unknown_keyword"],
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        telvora.pebble_game(*args, **kwargs)


# --- size, threads and memory -------------------------------------------------------------


def _run_in_thread(target, stack_size):
    outcome = {}

    def body():
        try:
            outcome["value"] = target()
        except BaseException as error:  # handed to the main thread for the assertion
            outcome["error"] = error

    previous = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def test_large_framework_on_small_thread_stack():
    n = 2500
    labels_and_edges = _run_in_thread(
        lambda: telvora.pebble_game(np.zeros((n, 2)), 2), stack_size=256 * 1024
    )
    labels = labels_and_edges["labels"]
    assert labels.shape == (n * (n - 1) // 2,)
    assert int(labels.sum()) == 2 * n - 3
    # Accepted edges are exactly the first 2n - 3 candidates.
    assert labels[: 2 * n - 3].all()
    assert not labels[2 * n - 3 :].any()
    assert labels_and_edges["accepted_edges"] == laman_edges(n)


def test_concurrent_calls_agree():
    sizes = [40, 120, 300, 120]
    results = [None] * len(sizes)

    def work(k):
        results[k] = telvora.pebble_game(np.zeros((sizes[k], 2)), 2)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(sizes))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for n, result in zip(sizes, results):
        np.testing.assert_array_equal(result["labels"], expected_labels(n))
        assert result["accepted_edges"] == laman_edges(n)


@pytest.mark.parametrize("rows", [2**40, 2**32, 10**8, 2**58])
def test_gigantic_row_count_raises_memory_error(rows):
    coords = as_strided(np.zeros(2), shape=(rows, 2), strides=(0, 0))
    with pytest.raises(MemoryError):
        telvora.pebble_game(coords, 2)
