"""Numeric mode's rank decision against an SVD prefix-rank reference, the generic upper bound, power-of-two
scaling and special positions whose exact ranks are known."""

import random

import numpy as np
import pytest

import graph_reference as ref
import telvora_graphs as tg

EPS = np.finfo(np.float64).eps


def rigidity_matrix(edges, x):
    n, d = x.shape
    a = np.zeros((len(edges), n * d))
    for e, (i, j) in enumerate(edges):
        a[e, i * d:i * d + d] = x[i] - x[j]
        a[e, j * d:j * d + d] = x[j] - x[i]
    return a


def svd_prefix_labels(edges, x):
    """Labels by the rank of every prefix (NumPy's matrix_rank tolerance for the whole matrix), and
    whether some prefix has a singular value from half that tolerance to 1000 times it (ill-posed:
    rounding leaves zero singular values at a few eps times the largest)."""
    a = rigidity_matrix(edges, x)
    tol = np.linalg.svd(a, compute_uv=False).max() * max(a.shape) * EPS
    labels, ranks, ill_posed = [], [0], False
    for k in range(1, len(edges) + 1):
        s = np.linalg.svd(a[:k], compute_uv=False)
        ill_posed |= bool(np.any((s > tol / 2) & (s < tol * 1000)))
        ranks.append(int((s > tol).sum()))
        labels.append(int(ranks[-1] > ranks[-2]))
    return labels, ill_posed


def random_geometric(n, d, radius, rng):
    x = rng.random((n, d))
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n) if np.linalg.norm(x[i] - x[j]) < radius]
    order = rng.permutation(len(pairs))
    return [pairs[k] for k in order], x


def frameworks(family, d, count, seed):
    rng = np.random.default_rng([seed, d])
    for _ in range(count):
        n = int(rng.integers(4, 16 if d == 3 else 20))
        if family == "gnm":
            m = int(rng.integers(n, min(n * (n - 1) // 2, ref.max_rank(n, d) + 6) + 1))
            yield ref.random_graph(n, m, random.Random(int(rng.integers(2**32)))), rng.uniform(-1, 1, (n, d))
        else:
            yield random_geometric(n, d, 0.6 if d == 3 else 0.45, rng)


@pytest.mark.parametrize("family", ["gnm", "geometric"])
@pytest.mark.parametrize("d", [2, 3])
def test_labels_equal_the_svd_prefix_ranks(family, d):
    disagreements, ill_posed = 0, 0
    for edges, x in frameworks(family, d, 40, 11):
        if not edges:
            continue
        expected, doubtful = svd_prefix_labels(edges, x)
        got = tg.rigidity(edges, d, coords=x).labels.tolist()
        if doubtful:
            ill_posed += 1
        elif got != expected:
            disagreements += 1
    assert disagreements == 0
    assert ill_posed <= 2, "the reference's gaps were too small to test anything"


@pytest.mark.parametrize(("d", "n", "m", "count"), [(2, 300, 700, 4), (3, 300, 1000, 4), (3, 1000, 3094, 1)])
def test_prefix_rank_never_exceeds_the_generic_one(d, n, m, count):
    # No placement has a prefix of larger rank than the generic one; at random points the two agree.
    rng = np.random.default_rng([d, n, m])
    for _ in range(count):
        edges = ref.random_graph(n, m, random.Random(int(rng.integers(2**32))))
        generic = tg.rigidity(edges, d, n=n, seed=int(rng.integers(2**63)))
        numeric = tg.rigidity(edges, d, coords=rng.random((n, d)))
        excess = np.cumsum(numeric.labels, dtype=np.int64) - np.cumsum(generic.labels, dtype=np.int64)
        assert excess.max() <= 0
        assert numeric.rank == generic.rank and (numeric.redundant == generic.redundant).all()


def test_random_geometric_graph_in_space_has_the_generic_prefix_ranks():
    rng = np.random.default_rng(8)
    edges, x = random_geometric(600, 3, 0.13, rng)
    generic = tg.rigidity(edges, 3, n=600)
    numeric = tg.rigidity(edges, 3, coords=x)
    assert (np.cumsum(numeric.labels) <= np.cumsum(generic.labels)).all()
    assert numeric.rank == generic.rank


def _within(x, radius):
    distance = np.linalg.norm(x[:, None] - x[None], axis=-1)
    return [(i, j) for i in range(len(x)) for j in range(i + 1, len(x)) if distance[i, j] <= radius]


@pytest.mark.parametrize("seed", [0, 2])
def test_random_geometric_frameworks_in_space_answer_as_generic(seed):
    # At random points every answer is the generic one. A factor of the independent rows alone got
    # the redundant bars and the stresses of the first of these wrong (its basis of the rows' span
    # can be poorly conditioned while the span has a clear gap).
    rng = np.random.default_rng(seed)
    n = 300
    x = rng.random((n, 3))
    edges = _within(x, (11 / n / (4 / 3 * np.pi)) ** (1 / 3))
    generic = tg.rigidity(edges, 3, n=n)
    numeric = tg.rigidity(edges, 3, coords=x)
    assert numeric.labels.tolist() == generic.labels.tolist()
    assert numeric.redundant.tolist() == generic.redundant.tolist()
    stresses = tg.stresses(edges, x)
    assert stresses.s == numeric.n_stresses
    assert np.max(stresses.residuals) < 1e-12


@pytest.mark.parametrize("shape", ["coplanar in space", "on six lines in the plane", "on a sphere"])
def test_large_special_frameworks_have_the_svd_rank(shape):
    # Hundreds of points in special position: the generic cap does not help (the exact rank is
    # lower), so the factor alone must find the rank NumPy's SVD finds across a clear gap.
    rng = np.random.default_rng(5)
    if shape == "coplanar in space":
        x, radius = np.column_stack([rng.random((200, 2)), np.full(200, 0.5)]), 0.2
    elif shape == "on six lines in the plane":
        t, k = rng.random(200), rng.integers(0, 6, 200)
        x, radius = np.column_stack([t, 0.1 * k + 0.3 * t]), 0.15
    else:
        v = rng.normal(size=(200, 3))
        x, radius = v / np.linalg.norm(v, axis=1)[:, None], 0.5
    edges = _within(x, radius)
    s = np.linalg.svd(rigidity_matrix(edges, x), compute_uv=False)
    expected = int((s > s[0] * max(len(edges), x.size) * EPS).sum())
    assert expected < len(s) and s[expected - 1] > 1e6 * s[expected]  # a clear gap
    assert tg.rigidity(edges, coords=x).rank == expected


def special(points, d):
    return np.array(points, dtype=np.float64).reshape(-1, d)


# name: (edges, d, integer or dyadic positions at which the exact rank is below the generic one)
SPECIAL = {
    "collinear triangle": ([(0, 1), (1, 2), (0, 2)], 2, [[0, 0], [1, 0], [3, 0]]),
    "K33 on a conic": (ref.complete_bipartite(3, 3), 2, [[x, x * x] for x in (-3, 0, 2, -1, 1, 3)]),
    "K4 in a plane in space": (ref.complete_graph(4), 3, [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]]),
    "prism with concurrent rungs": ([(0, 1), (1, 2), (2, 0), (3, 4), (4, 5), (5, 3), (0, 3), (1, 4), (2, 5)], 2,
                                    [[4, 0], [-2, 4], [-2, -4], [2, 0], [-1, 2], [-1, -2]]),
    "dyadic points on a line": (ref.complete_graph(5), 2, [[0.5 * k, 0.25 * k] for k in range(5)]),
    "K5 on a twisted cubic": (ref.complete_graph(6), 3, [[t, t * t, t ** 3] for t in (-2, -1, 0, 1, 2, 3)]),
}


@pytest.mark.parametrize("name", SPECIAL)
def test_special_positions_keep_their_exact_ranks(name):
    edges, d, points = SPECIAL[name]
    exact = ref.exact_rigidity(points, edges)
    generic = tg.rigidity(edges, d, n=len(points))
    assert exact["rank"] <= generic.rank
    for k in (-60, -13, 0, 7, 60):
        got = tg.rigidity(edges, d, coords=special(points, d) * 2.0**k)
        assert got.labels.tolist() == exact["labels"], k
        assert got.redundant.tolist() == exact["redundant"], k


@pytest.mark.parametrize("name", ["K33 on a conic", "prism with concurrent rungs", "dyadic points on a line"])
def test_power_of_two_scaling_changes_no_bit(name):
    edges, d, points = SPECIAL[name]
    x = special(points, d) + np.random.default_rng(2).normal(scale=1e-3, size=(len(points), d))
    base = tg.rigidity(edges, d, coords=x)
    components = [c.tolist() for c in tg.rigid_components(edges, d, coords=x)]
    for k in range(-60, 61, 3):
        scaled = tg.rigidity(edges, d, coords=x * 2.0**k)
        assert scaled.labels.tobytes() == base.labels.tobytes() and scaled.tol == base.tol * 2.0**k
        assert scaled.redundant.tobytes() == base.redundant.tobytes()
        assert [c.tolist() for c in tg.rigid_components(edges, d, coords=x * 2.0**k)] == components


def test_tolerance_is_the_matrix_rank_convention():
    # tol: the largest singular value (estimated) times max(m, n d) times eps, in the given units.
    rng = np.random.default_rng(4)
    for d, n, m in [(2, 30, 50), (3, 20, 70), (2, 12, 11)]:
        edges = ref.random_graph(n, m, random.Random(n))
        x = rng.uniform(-5, 5, (n, d))
        expected = np.linalg.svd(rigidity_matrix(edges, x), compute_uv=False).max() * max(m, n * d) * EPS
        assert 0.85 * expected <= tg.rigidity(edges, d, coords=x).tol <= expected * (1 + 1e-12)


def test_an_absolute_tolerance_is_used_as_given():
    # Three points nearly on a line: the triangle's third bar is independent only above the gap.
    x = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 1e-6]])
    edges = [(0, 1), (1, 2), (0, 2)]
    assert tg.rigidity(edges, coords=x).labels.tolist() == [1, 1, 1]
    assert tg.rigidity(edges, coords=x, tol=1e-3).labels.tolist() == [1, 1, 0]
    assert tg.rigidity(edges, coords=x, tol=1e-3).tol == 1e-3
