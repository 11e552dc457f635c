"""simulate: labels, ranks and distances against the documented arithmetic."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import telvora
import reference

KEYS = ["labels", "accepted_edges", "distance_matrix", "final_rank", "max_rank", "is_rigid", "n_nodes", "d"]


def candidate_edges(n):
    return [(i, j) for i in range(n) for j in range(i + 1, n)]


@pytest.mark.parametrize(
    ("points", "labels", "rank", "rigid"),
    [
        ([[0, 0], [1, 0], [0, 1]], [1, 1, 1], 3, True),
        ([[0.1, 0.2], [1.3, 0.1], [0.4, 1.7], [2.2, 1.9]], [1, 1, 1, 1, 1, 0], 5, True),
        ([[0, 0], [1, 0], [2, 0]], [1, 1, 0], 2, False),
        ([[0, 0], [1, 0], [2, 0], [0, 1]], [1, 1, 1, 0, 1, 1], 5, True),
        ([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 1]], [1] * 9 + [0], 9, True),
        ([[0, 0, 0], [1, 0, 0], [2, 0, 0], [0, 1, 0], [0, 0, 1]], [1, 1, 1, 1, 0, 1, 1, 1, 1, 1], 9, True),
        ([[2, 2], [2, 2], [2, 2]], [0, 0, 0], 0, False),
    ],
)
def test_known_frameworks(points, labels, rank, rigid):
    coords = np.array(points, dtype=np.float64)
    n, d = coords.shape
    result = telvora.simulate(coords, d)
    assert list(result) == KEYS
    assert result["labels"].tolist() == labels
    assert result["accepted_edges"] == [e for e, keep in zip(candidate_edges(n), labels) if keep]
    assert result["final_rank"] == rank
    assert result["max_rank"] == telvora.max_independent(n, d)
    assert result["is_rigid"] is rigid
    assert (result["n_nodes"], result["d"]) == (n, d)


def test_result_types_and_ownership():
    coords = np.array([[0.0, 0.0], [3.0, 4.0], [0.0, 1.0]])
    result = telvora.simulate(coords, 2)
    labels, distances = result["labels"], result["distance_matrix"]
    assert labels.dtype == np.uint8 and labels.shape == (3,)
    assert distances.dtype == np.float64 and distances.shape == (3, 3)
    for array in (labels, distances):
        assert array.flags.writeable and array.flags.c_contiguous and array.base is not None
    assert all(type(edge) is tuple and all(type(x) is int for x in edge) for edge in result["accepted_edges"])
    assert distances[0, 1] == 5.0 and not np.signbit(distances[0, 0])
    again = telvora.simulate(coords, 2)
    assert not np.shares_memory(again["labels"], labels)
    assert not np.shares_memory(again["distance_matrix"], distances)
    del result, again
    labels[:] = 7
    distances[:] = -1.0
    assert labels.tolist() == [7, 7, 7] and distances.sum() == -9.0
    assert telvora.simulate(coords, 2)["labels"].tolist() == [1, 1, 1]


def test_coincident_points_have_zero_distances():
    result = telvora.simulate(np.full((3, 2), 2.0), 2)
    assert result["accepted_edges"] == []
    assert not result["distance_matrix"].any()


@pytest.mark.parametrize(
    ("shape", "d", "message"),
    [
        ((4, 3), 2, "coords has 3 columns but d=2 was specified"),
        ((5, 2), 5, "coords has 2 columns but d=5 was specified"),
        ((5, 4), 4, "d must be 2 or 3"),
        ((3, 3), 3, "Need at least 4 nodes for d=3, got 3"),
        ((0, 2), 2, "Need at least 3 nodes for d=2, got 0"),
    ],
)
def test_invalid_frameworks(shape, d, message):
    with pytest.raises(ValueError) as info:
        telvora.simulate(np.zeros(shape), d)
    assert str(info.value) == message


@pytest.mark.parametrize("tol", [math.nan, math.inf, -1.0])
def test_degenerate_tolerances(tol):
    coords = np.random.default_rng(1).random((6, 2))
    result = telvora.simulate(coords, 2, tol)
    expected_labels, expected_rank = reference.simulate(coords.tolist(), 2, tol)
    assert result["labels"].tolist() == expected_labels
    assert result["final_rank"] == expected_rank
    if tol != -1.0:
        assert result["final_rank"] == 0  # nothing exceeds NaN or infinity


def test_tolerance_zero_accepts_any_nonzero_entry():
    coords = np.array([[0.0, 0.0], [1e-200, 0.0], [0.0, 1e-200]])
    assert telvora.simulate(coords, 2, 0.0)["final_rank"] == 3
    assert telvora.simulate(coords, 2)["final_rank"] == 0


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_coordinates_flow_through(bad):
    coords = np.random.default_rng(2).random((5, 3))
    coords[2, 1] = bad
    result = telvora.simulate(coords, 3)
    labels, rank = reference.simulate(coords.tolist(), 3)
    assert result["labels"].tolist() == labels and result["final_rank"] == rank
    assert np.isnan(result["distance_matrix"][2, 2])


def test_breakdown_retry_on_a_generated_framework():
    points = reference.random_points(60, 3, 280)
    result = telvora.simulate(np.array(points), 3)
    assert result["labels"].tolist() == [1] * 174 + [0] * (60 * 59 // 2 - 174)
    assert result["is_rigid"] is True


def _large_framework(kind):
    if kind == "random 2-D":
        return np.array(reference.random_points(110, 2, 5)), 2
    if kind.startswith("breaks down"):  # generated points whose first-above-tol pass breaks down
        return np.array(reference.random_points(70, 3, int(kind.split()[-1]))), 3
    if kind == "coplanar 3-D":
        points = np.array(reference.random_points(72, 3, 9))
        points[:, 2] = 0.25
        return points, 3
    if kind == "collinear triples 2-D":  # every third point halfway between the two before it
        points = np.array(reference.random_points(111, 2, 6))
        points[2::3] = (points[0::3] + points[1::3]) / 2
        return points, 2
    if kind == "collinear 2-D":
        t = np.array(reference.random_points(101, 1, 4))
        return np.hstack([t, 2.0 * t - 1.0]), 2
    raise ValueError(kind)


@settings(max_examples=60, deadline=None)
@given(data=st.data(), d=st.sampled_from([2, 3]))
def test_columnwise_oracle_equals_the_plain_one(data, d):
    coords = data.draw(_points(d, max_n=9)).tolist()
    tol = data.draw(st.sampled_from([1e-9, 0.0, -1.0, math.nan]))
    assert reference.simulate(coords, d, tol, checker_class=reference.ColumnwiseRankChecker) == \
        reference.simulate(coords, d, tol)


# Frameworks of a few hundred columns, where the module's faster checker takes over from the plain
# one, against the oracle: fast path, retry after a breakdown, and the greedy pass over every pair.
@pytest.mark.parametrize("kind", ["random 2-D", "breaks down 166", "breaks down 436", "coplanar 3-D",
                                  "collinear 2-D", "collinear triples 2-D"])
def test_large_frameworks_match_the_oracle(kind):
    coords, d = _large_framework(kind)
    result = telvora.simulate(coords, d)
    labels, rank = reference.simulate(coords.tolist(), d, checker_class=reference.ColumnwiseRankChecker)
    assert result["labels"].tolist() == labels
    assert result["final_rank"] == rank


def _points(d, max_n=7):
    # Small integer grids make collinear, coplanar and coincident points likely.
    values = st.one_of(
        st.integers(-2, 2).map(float),
        st.floats(-10, 10, allow_nan=False, width=64),
        st.sampled_from([0.0, -0.0, 1e-10, 1e300, 1e-300]),
    )
    return hnp.arrays(np.float64, st.tuples(st.integers(d + 1, max_n), st.just(d)), elements=values)


@settings(max_examples=150, deadline=None)
@given(data=st.data(), d=st.sampled_from([2, 3]))
def test_matches_the_plain_oracle_bit_for_bit(data, d):
    coords = data.draw(_points(d))
    tol = data.draw(st.sampled_from([1e-9, 0.0, 1e-3]))
    result = telvora.simulate(coords, d, tol)
    labels, rank = reference.simulate(coords.tolist(), d, tol)
    assert result["labels"].tolist() == labels
    assert result["final_rank"] == rank
    n = coords.shape[0]
    expected = [[reference.distance(a, b) for b in coords.tolist()] for a in coords.tolist()]
    assert result["distance_matrix"].tobytes() == np.array(expected).reshape(n, n).tobytes()


@settings(max_examples=100, deadline=None)
@given(data=st.data(), d=st.sampled_from([2, 3]))
def test_invariants(data, d):
    coords = data.draw(_points(d, max_n=9))
    result = telvora.simulate(coords, d)
    n = coords.shape[0]
    labels = result["labels"]
    assert labels.size == n * (n - 1) // 2
    assert int(labels.sum()) == result["final_rank"] <= result["max_rank"]
    assert result["accepted_edges"] == [e for e, keep in zip(candidate_edges(n), labels) if keep]
    # The fast path only skips tests the greedy pass would decide the same way.
    greedy_labels, greedy_rank = reference.simulate(coords.tolist(), d, fast_path=False)
    assert labels.tolist() == greedy_labels and result["final_rank"] == greedy_rank
    assert np.array_equal(result["distance_matrix"], result["distance_matrix"].T, equal_nan=True)


@pytest.mark.parametrize("d", [2, 3])
@pytest.mark.parametrize("n", [8, 40])
def test_general_position_is_rigid(n, d):
    coords = np.random.default_rng(n * d).random((n, d))
    result = telvora.simulate(coords, d)
    assert result["is_rigid"] is True
    assert result["labels"].tolist() == [1] * result["max_rank"] + [0] * (n * (n - 1) // 2 - result["max_rank"])
