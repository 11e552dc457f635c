"""gram_from_dist and reconstruct: double centering, Jacobi rotations, classical scaling, stress."""

import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import telvora
from conftest import fatal_error_of, layouts

KEYS = ["coords", "stress", "eigenvalues", "is_isometric"]
ONLY_2_OR_3 = "Only d=2 and d=3 are supported"
TOO_FEW = "Need at least d+1 nodes to reconstruct in d dimensions"
EQUILATERAL = [[0.0, 1.0, 1.0], [1.0, 0.0, 1.0], [1.0, 1.0, 0.0]]
NON_METRIC = [[0.0, 1.0, 5.0], [1.0, 0.0, 1.0], [5.0, 1.0, 0.0]]


# ---- plain-Python transcriptions of the arithmetic ---------------------------------------
# Python floats are IEEE doubles, math.atan/cos/sin call the C library and Python never
# fuses a multiply with an add, so following the same order gives the same bits.


def gram_oracle(rows):
    n = len(rows)
    if n == 0:
        return []
    s = [[x * x for x in row] for row in rows]
    inv_n = 1.0 / n
    means = []
    for row in s:
        total = 0.0
        for x in row:
            total = total + x
        means.append(total * inv_n)
    total = 0.0
    for r in means:
        total = total + r
    g = inv_n * total
    return [[(((s[i][j] - means[i]) - means[j]) + g) * -0.5 for j in range(n)] for i in range(n)]


def jacobi_oracle(a, limit=500):
    """Eigenvalues (descending) and eigenvectors (columns) with a fresh copy per rotation."""
    n = len(a)
    m = [list(row) for row in a]
    v = [[1.0 if i == k else 0.0 for i in range(n)] for k in range(n)]
    rotations = 0
    while True:
        best, p, q = 0.0, 0, 1
        for i in range(n):
            for j in range(i + 1, n):
                if abs(m[i][j]) > best:
                    best, p, q = abs(m[i][j]), i, j
        if best < 1e-12:
            break
        diff = m[q][q] - m[p][p]
        theta = 0.7853981633974483 if abs(diff) < 1e-15 else math.atan((m[p][q] + m[p][q]) / diff) * 0.5
        c, s = math.cos(theta), math.sin(theta)
        nxt = [list(row) for row in m]
        for k in range(n):
            if k in (p, q):
                continue
            nxt[k][p] = nxt[p][k] = m[k][p] * c - m[k][q] * s
            nxt[k][q] = nxt[q][k] = m[k][q] * c + m[k][p] * s
        nxt[p][p] = m[q][q] * (s * s) + (m[p][p] * (c * c) - m[p][q] * ((s + s) * c))
        nxt[q][q] = (c * c) * m[q][q] + (((s + s) * c) * m[p][q] + (s * s) * m[p][p])
        nxt[p][q] = nxt[q][p] = 0.0
        m = nxt
        for k in range(n):
            x, y = v[k][p], v[k][q]
            v[k][p] = c * x - s * y
            v[k][q] = y * c + x * s
        rotations += 1
        if rotations == limit:
            break
    order = sorted(range(n), key=lambda i: -m[i][i])  # stable: ties keep index order
    return [m[i][i] for i in order], [[v[r][i] for i in order] for r in range(n)], rotations


def stress_oracle(rows, coords):
    n, d = len(rows), len(coords[0]) if coords else 0
    num = den = 0.0
    for i in range(n - 1):
        for j in range(i + 1, n):
            s = (coords[i][0] - coords[j][0]) * (coords[i][0] - coords[j][0])
            for k in range(1, d):
                s = s + (coords[i][k] - coords[j][k]) * (coords[i][k] - coords[j][k])
            e = rows[i][j] - math.sqrt(s)
            num = num + e * e
            den = den + rows[i][j] * rows[i][j]
    return 0.0 if den < 1e-15 else math.sqrt(num / den)


def reconstruct_oracle(rows, d, tol=1e-6, limit=500):
    values, vectors, rotations = jacobi_oracle(gram_oracle(rows), limit)
    scales = [math.sqrt(values[k] if values[k] > 0.0 else 0.0) for k in range(d)]
    coords = [[scales[k] * vectors[i][k] for k in range(d)] for i in range(len(rows))]
    stress = stress_oracle(rows, coords)
    result = {"coords": coords, "stress": stress, "eigenvalues": values[:d], "is_isometric": stress < tol}
    return result, rotations


# ---- helpers ---------------------------------------------------------------------------------


def same_bits(actual, expected):
    """Bitwise equality (so -0.0 != 0.0); any NaN matches any NaN."""
    actual = np.ascontiguousarray(actual, dtype=np.float64)
    expected = np.ascontiguousarray(expected, dtype=np.float64)
    if actual.shape != expected.shape:
        return False
    both_nan = np.isnan(actual) & np.isnan(expected)
    return bool(np.all((actual.view(np.uint64) == expected.view(np.uint64)) | both_nan))


def pairwise(points):
    diff = points[:, None, :] - points[None, :, :]
    return np.sqrt((diff * diff).sum(axis=-1))


def wide_range_matrix(n, seed, symmetric=True):
    """Magnitudes over many decades, so that the rounding depends on the order of operations."""
    rng = np.random.default_rng(seed)
    values = rng.random((n, n)) * 10.0 ** rng.integers(-4, 5, size=(n, n))
    if symmetric:
        values = np.triu(values, 1) + np.triu(values, 1).T
    return values


# ---- gram_from_dist --------------------------------------------------------------------------

THIRD, SIXTH = 0.3333333333333333, -0.16666666666666669


@pytest.mark.parametrize(
    ("dist", "expected"),
    [
        pytest.param([[0, 5], [5, 0]], [[6.25, -6.25], [-6.25, 6.25]], id="points (0,0) and (3,4)"),
        pytest.param(EQUILATERAL, [[THIRD, SIXTH, SIXTH], [SIXTH, THIRD, SIXTH], [SIXTH, SIXTH, THIRD]],
                     id="equilateral"),
        pytest.param([[0, 1], [3, 0]], [[-0.75, 0.75], [-3.25, 3.25]], id="non-symmetric, not mirrored"),
        pytest.param(np.zeros((4, 4)), np.full((4, 4), -0.0), id="zeros give negative zeros"),
        pytest.param([[7.25]], [[-0.0]], id="1x1"),
        pytest.param([[-2.0]], [[-0.0]], id="1x1 negative"),
    ],
)
def test_gram_documented_values(dist, expected):
    result = telvora.gram_from_dist(np.array(dist, dtype=np.float64))
    assert same_bits(result, expected)
    assert np.array_equal(np.signbit(result), np.signbit(np.array(expected, dtype=np.float64)))


def test_gram_of_empty_matrix():
    result = telvora.gram_from_dist(np.zeros((0, 0)))
    assert result.shape == (0, 0) and result.dtype == np.float64


@pytest.mark.parametrize("n", [1, 2, 3, 7, 8, 13, 30, 41])
@pytest.mark.parametrize("symmetric", [True, False], ids=["symmetric", "non-symmetric"])
def test_gram_matches_transcription(n, symmetric):
    dist = wide_range_matrix(n, seed=n, symmetric=symmetric)
    assert same_bits(telvora.gram_from_dist(dist), gram_oracle(dist.tolist()))


@settings(max_examples=150, deadline=None)
@given(hnp.arrays(np.float64, st.integers(0, 6).map(lambda n: (n, n)),
                  elements=st.floats(allow_nan=True, allow_infinity=True, width=64)))
def test_gram_matches_transcription_on_any_values(dist):
    expected = np.array(gram_oracle(dist.tolist()), dtype=np.float64).reshape(dist.shape)
    assert same_bits(telvora.gram_from_dist(dist), expected)


def test_gram_non_finite_values_propagate():
    dist = np.array([[0.0, 1.0, 2.0], [1.0, 0.0, np.inf], [2.0, np.inf, 0.0]])
    assert not np.isfinite(telvora.gram_from_dist(dist)).any()
    assert np.isnan(telvora.gram_from_dist(np.array([[0.0, np.nan], [1.0, 0.0]]))).all()


def test_gram_result_is_a_new_c_ordered_array():
    dist = np.asfortranarray(wide_range_matrix(5, seed=1))
    before = dist.copy()
    result = telvora.gram_from_dist(dist)
    assert result.dtype == np.float64 and result.shape == (5, 5)
    assert result.flags.c_contiguous and result.flags.writeable
    assert not np.shares_memory(result, dist)
    assert same_bits(dist, before)
    again = telvora.gram_from_dist(dist)
    assert not np.shares_memory(result, again) and same_bits(result, again)


@pytest.mark.parametrize("n", [6, 19])
@pytest.mark.parametrize("layout", list(layouts(np.zeros((1, 1)))))
def test_gram_is_independent_of_layout(layout, n):
    dist = wide_range_matrix(n, seed=8, symmetric=False)
    assert same_bits(telvora.gram_from_dist(layouts(dist)[layout]), telvora.gram_from_dist(dist))


def test_gram_reads_a_transposed_view_as_the_transpose():
    dist = wide_range_matrix(5, seed=4, symmetric=False)
    assert same_bits(telvora.gram_from_dist(dist.T), telvora.gram_from_dist(np.ascontiguousarray(dist.T)))
    assert not same_bits(telvora.gram_from_dist(dist.T), telvora.gram_from_dist(dist))


@pytest.mark.parametrize("shape", [(2, 3), (3, 2), (0, 3), (1, 0)])
def test_gram_rejects_non_square(shape):
    with pytest.raises(ValueError) as info:
        telvora.gram_from_dist(np.zeros(shape))
    assert str(info.value) == "Distance matrix must be square"


BAD_MATRICES = [
    pytest.param([[0.0, 1.0], [1.0, 0.0]], id="list"),
    pytest.param(np.zeros((3, 3), np.float32), id="float32"),
    pytest.param(np.zeros(9), id="1-D"),
    pytest.param(np.zeros((3, 3, 1)), id="3-D"),
    pytest.param(np.zeros((3, 3), np.int64), id="int64"),
    pytest.param(None, id="None"),
]


@pytest.mark.parametrize("bad", BAD_MATRICES)
def test_gram_type_errors_name_the_parameter(bad):
    with pytest.raises(TypeError, match="'dist'"):
        telvora.gram_from_dist(bad)


def test_gram_keyword_argument():
    dist = np.array(EQUILATERAL)
    assert same_bits(telvora.gram_from_dist(dist=dist), telvora.gram_from_dist(dist))


# ---- reconstruct -----------------------------------------------------------------------------


def check_result_types(result, n, d):
    assert list(result) == KEYS
    coords, eigenvalues = result["coords"], result["eigenvalues"]
    assert coords.dtype == np.float64 and coords.shape == (n, d) and coords.flags.c_contiguous
    assert eigenvalues.dtype == np.float64 and eigenvalues.shape == (d,)
    assert coords.flags.writeable and eigenvalues.flags.writeable
    assert not np.shares_memory(coords, eigenvalues)
    assert type(result["stress"]) is float
    assert type(result["is_isometric"]) is bool


def test_equilateral_triangle():
    result = telvora.reconstruct(np.array(EQUILATERAL), 2)
    check_result_types(result, 3, 2)
    assert np.allclose(result["eigenvalues"], [0.5, 0.5], rtol=0, atol=1e-15)
    # Orientation and signs follow from the rotation rules.
    expected = [[0.5, -0.28867513459481287], [-0.5, -0.28867513459481287], [0.0, 0.5773502691896258]]
    assert np.allclose(result["coords"], expected, rtol=0, atol=1e-15)
    assert result["stress"] < 1e-15
    assert result["is_isometric"] is True


def test_right_triangle_is_recovered_up_to_isometry():
    points = np.array([[0.0, 0.0], [3.0, 0.0], [0.0, 4.0]])
    dist = pairwise(points)
    result = telvora.reconstruct(dist, 2)
    assert result["stress"] < 1e-15 and result["is_isometric"] is True
    assert np.allclose(pairwise(result["coords"]), dist, rtol=0, atol=1e-13)
    # Centred at the origin; its Gram matrix is that of the input points.
    assert np.allclose(result["coords"].sum(axis=0), 0.0, atol=1e-12)
    centred = points - points.mean(axis=0)
    assert np.allclose(result["coords"] @ result["coords"].T, centred @ centred.T, atol=1e-11)


def test_zero_matrix():
    result = telvora.reconstruct(np.zeros((3, 3)), 2)
    check_result_types(result, 3, 2)
    assert same_bits(result["coords"], np.zeros((3, 2)))
    assert not np.signbit(result["coords"]).any()
    # The Gram entries are -0.0 and no rotation happens.
    assert same_bits(result["eigenvalues"], [-0.0, -0.0])
    assert np.signbit(result["eigenvalues"]).all()
    assert math.copysign(1.0, result["stress"]) == 1.0 and result["stress"] == 0.0
    assert result["is_isometric"] is True
    assert telvora.reconstruct(np.zeros((3, 3)), 2, tol=0)["is_isometric"] is False


def test_non_metric_matrix():
    result = telvora.reconstruct(np.array(NON_METRIC), 2)
    check_result_types(result, 3, 2)
    first, second = result["eigenvalues"]
    assert first == pytest.approx(12.5, abs=1e-13)
    assert abs(second) < 1e-13 and second <= 0.0  # reported unclamped, but its column is zero
    assert np.all(result["coords"][:, 1] == 0.0)
    assert np.allclose(np.abs(result["coords"][:, 0]), [2.5, 0.0, 2.5], atol=1e-13)
    assert result["coords"][0, 0] == pytest.approx(-result["coords"][2, 0], abs=1e-13)
    assert result["stress"] == pytest.approx(math.sqrt(4.5 / 27), abs=1e-15)
    assert result["is_isometric"] is False


RECONSTRUCT_CASES = {
    "equilateral": EQUILATERAL,
    "non-metric": NON_METRIC,
    "right triangle": [[0.0, 3.0, 4.0], [3.0, 0.0, 5.0], [4.0, 5.0, 0.0]],
    "non-symmetric": [[0.0, 1.0, 2.0, 2.5], [1.5, 0.0, 1.0, 2.0], [2.0, 1.25, 0.0, 1.0], [3.0, 2.0, 1.0, 0.0]],
    "wide range 6": wide_range_matrix(6, seed=6).tolist(),
    "wide range 7 non-symmetric": wide_range_matrix(7, seed=7, symmetric=False).tolist(),
    "collinear": pairwise(np.array([[0.0], [1.0], [3.0], [7.0]])).tolist(),
}


@pytest.mark.parametrize(
    ("name", "d"), [(name, d) for name, rows in RECONSTRUCT_CASES.items() for d in (2, 3) if len(rows) > d]
)
def test_reconstruct_matches_transcription_bit_for_bit(name, d):
    rows = RECONSTRUCT_CASES[name]
    result = telvora.reconstruct(np.array(rows), d)
    expected, _ = reconstruct_oracle(rows, d)
    assert same_bits(result["coords"], expected["coords"])
    assert same_bits(result["eigenvalues"], expected["eigenvalues"])
    assert same_bits([result["stress"]], [expected["stress"]])
    assert result["is_isometric"] is expected["is_isometric"]


def test_reconstruct_uses_the_same_gram_matrix():
    dist = wide_range_matrix(6, seed=12, symmetric=False)
    values, _, _ = jacobi_oracle(telvora.gram_from_dist(dist).tolist())
    assert same_bits(telvora.reconstruct(dist, 3)["eigenvalues"], values[:3])


def test_stress_reads_only_the_upper_triangle():
    upper = np.array(NON_METRIC)
    changed = upper.copy()
    changed[2, 0] = 4.0  # changes the Gram matrix but not the pairs the stress reads
    result, other = telvora.reconstruct(upper, 2), telvora.reconstruct(changed, 2)
    assert not same_bits(result["coords"], other["coords"])
    assert other["stress"] == reconstruct_oracle(changed.tolist(), 2)[0]["stress"]


@pytest.mark.parametrize("layout", list(layouts(np.zeros((1, 1)))))
def test_reconstruct_is_independent_of_layout(layout):
    dist = wide_range_matrix(6, seed=9, symmetric=False)
    expected = telvora.reconstruct(dist, 2)
    got = telvora.reconstruct(layouts(dist)[layout], 2)
    for key in ("coords", "eigenvalues"):
        assert same_bits(got[key], expected[key])
    assert same_bits([got["stress"]], [expected["stress"]])


def test_reconstruct_does_not_touch_its_input():
    dist = wide_range_matrix(5, seed=3)
    before = dist.copy()
    result = telvora.reconstruct(dist, 2)
    assert same_bits(dist, before)
    assert not np.shares_memory(result["coords"], dist)


@pytest.mark.parametrize("d", [2, 3])
@pytest.mark.parametrize("n", [4, 5, 7, 10, 12])
@pytest.mark.parametrize("seed", range(3))
def test_round_trip_through_simulate(n, d, seed):
    points = np.random.default_rng(100 * n + 10 * d + seed).uniform(-5.0, 5.0, size=(n, d))
    dist = telvora.simulate(points, d)["distance_matrix"]
    result = telvora.reconstruct(dist, d)
    check_result_types(result, n, d)
    assert result["stress"] < 1e-6
    assert result["is_isometric"] is True
    assert np.allclose(pairwise(result["coords"]), dist, rtol=0, atol=1e-9)
    assert np.all(result["eigenvalues"] > 0.0)


def test_round_trip_matches_transcription():
    points = np.random.default_rng(77).uniform(0.0, 5.0, size=(6, 3))
    dist = telvora.simulate(points, 3)["distance_matrix"]
    result = telvora.reconstruct(dist, 3)
    expected, _ = reconstruct_oracle(dist.tolist(), 3)
    assert same_bits(result["coords"], expected["coords"])
    assert same_bits([result["stress"]], [expected["stress"]])


def test_large_input_stops_at_the_rotation_limit():
    # A noisy 40x40 matrix (full-rank Gram matrix) needs far more than 500 rotations; the
    # result is used as it stands and the stress tells how good it is.
    dist = np.random.default_rng(4).uniform(1.0, 2.0, size=(40, 40))
    dist = np.triu(dist, 1) + np.triu(dist, 1).T
    expected, rotations = reconstruct_oracle(dist.tolist(), 3)
    assert rotations == 500
    # On this input the 500th rotation still changes the leading eigenpairs.
    one_less, _ = reconstruct_oracle(dist.tolist(), 3, limit=499)
    assert not same_bits(one_less["coords"], expected["coords"])
    result = telvora.reconstruct(dist, 3)
    assert same_bits(result["coords"], expected["coords"])
    assert same_bits(result["eigenvalues"], expected["eigenvalues"])
    assert result["stress"] == expected["stress"]


@pytest.mark.parametrize(
    ("tol", "isometric"),
    [(None, False), (0.5, True), (1, True), (0.0, False), (-1.0, False), (float("nan"), False),
     (float("inf"), True)],
)
def test_tolerance(tol, isometric):
    dist = np.array(NON_METRIC)
    result = telvora.reconstruct(dist, 2, tol) if tol is not None else telvora.reconstruct(dist, 2)
    assert result["is_isometric"] is isometric
    assert telvora.reconstruct(dist, 2, tol=tol)["is_isometric"] is isometric


def test_tolerance_comparison_is_strict_and_defaults_to_1e_6():
    stress = telvora.reconstruct(np.array(NON_METRIC), 2)["stress"]
    assert telvora.reconstruct(np.array(NON_METRIC), 2, stress)["is_isometric"] is False
    assert telvora.reconstruct(np.array(NON_METRIC), 2, math.nextafter(stress, 1.0))["is_isometric"] is True
    # Unit squares with one diagonal stretched, on both sides of the default threshold.
    flags = []
    for eps in (1e-9, 1e-8, 1e-5, 1e-4):
        dist = pairwise(np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]]))
        dist[0, 2] = dist[2, 0] = dist[0, 2] + eps
        result = telvora.reconstruct(dist, 2)
        assert result["is_isometric"] is (result["stress"] < 1e-6)
        flags.append(result["is_isometric"])
    assert True in flags and False in flags


def test_non_finite_distances_flow_through():
    dist = np.array(EQUILATERAL)
    dist[0, 1] = np.nan
    result = telvora.reconstruct(dist, 2)
    assert math.isnan(result["stress"])
    assert result["is_isometric"] is False
    # Every Gram entry is NaN: nothing is rotated and NaN eigenvalues give zero columns.
    assert np.isnan(result["eigenvalues"]).all()
    assert np.all(result["coords"] == 0.0)


@pytest.mark.parametrize(
    ("shape", "d"),
    [((3, 4), 2), ((3, 4), 7), ((4, 3), 3), ((0, 2), 0), ((2, 3), 1)],
)
def test_reconstruct_rejects_non_square_before_looking_at_d(shape, d):
    with pytest.raises(ValueError) as info:
        telvora.reconstruct(np.zeros(shape), d)
    assert str(info.value) == "distance_matrix must be square"


@pytest.mark.parametrize("bad", BAD_MATRICES)
def test_reconstruct_type_errors_name_the_parameter(bad):
    with pytest.raises(TypeError, match="'distance_matrix'"):
        telvora.reconstruct(bad, 2)


@pytest.mark.parametrize(
    ("d", "error", "name"),
    [(2.0, TypeError, "'d'"), ("2", TypeError, "'d'"), (None, TypeError, "'d'"), (-1, OverflowError, None),
     (2**64, OverflowError, None)],
)
def test_reconstruct_dimension_conversion_errors(d, error, name):
    with pytest.raises(error) as info:
        telvora.reconstruct(np.zeros((4, 4)), d)
    if name:
        assert name in str(info.value)


def test_reconstruct_tolerance_type_error():
    with pytest.raises(TypeError, match="'tol'"):
        telvora.reconstruct(np.zeros((4, 4)), 2, "1e-6")


@pytest.mark.parametrize(
    ("n", "d", "message"),
    [(10, 4, ONLY_2_OR_3), (10, 0, ONLY_2_OR_3), (10, 1, ONLY_2_OR_3), (0, 7, ONLY_2_OR_3), (2, 2**63, ONLY_2_OR_3),
     (3, 3, TOO_FEW), (0, 2, TOO_FEW), (2, 2, TOO_FEW), (1, 3, TOO_FEW)],
)
def test_reconstruct_fatal_errors(n, d, message):
    error = fatal_error_of(lambda: telvora.reconstruct(np.ones((n, n)), d))
    assert error.args[0] == message
    assert not isinstance(error, Exception)
    # The module stays usable.
    assert telvora.reconstruct(np.array(EQUILATERAL), 2)["is_isometric"] is True


@pytest.mark.parametrize("n,d", [(3, 2), (4, 3)])
def test_smallest_accepted_sizes(n, d):
    check_result_types(telvora.reconstruct(np.ones((n, n)) - np.eye(n), d), n, d)


def test_keyword_arguments():
    dist = np.array(NON_METRIC)
    by_keyword = telvora.reconstruct(distance_matrix=dist, d=2, tol=0.5)
    by_position = telvora.reconstruct(dist, 2, 0.5)
    assert same_bits(by_keyword["coords"], by_position["coords"])
    assert by_keyword["is_isometric"] is True


def test_concurrent_calls_give_identical_results():
    dist = pairwise(np.random.default_rng(5).uniform(0.0, 5.0, size=(30, 3)))
    expected = telvora.reconstruct(dist, 3)
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(telvora.reconstruct(dist, 3))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(results) == 20
    for result in results:
        assert same_bits(result["coords"], expected["coords"])
        assert result["stress"] == expected["stress"]
