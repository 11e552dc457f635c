"""motions and stresses: the bases against the rigidity matrix (kernel, orthonormality, the counts
rigidity reports), special frameworks whose flexes and stresses are known, scaling, and bad input."""

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


def random_framework(seed, n, d, keep):
    rng = np.random.default_rng(seed)
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n)]
    edges = [pair for pair in pairs if rng.random() < keep]
    return edges, rng.uniform(-1, 1, (n, d))


# (seed, n, d, share of the pairs kept): flexible, rigid, overbraced, in the plane and in space.
FRAMEWORKS = [(1, 8, 2, 0.3), (2, 10, 2, 0.5), (3, 12, 2, 0.9), (4, 9, 3, 0.4), (5, 12, 3, 0.7), (6, 7, 3, 1.0),
              (7, 30, 2, 0.2), (8, 25, 3, 0.35)]


def _norm(a):
    return np.linalg.norm(a, 2)


# ---- the bases against the rigidity matrix ------------------------------------------------

@pytest.mark.parametrize("seed,n,d,keep", FRAMEWORKS)
def test_bases_are_orthonormal_null_vectors_of_the_counts_rigidity_reports(seed, n, d, keep):
    edges, x = random_framework(seed, n, d, keep)
    a = rigidity_matrix(edges, x)
    r = tg.rigidity(edges, d, n=n, coords=x)
    mot, st = tg.motions(edges, x, n=n), tg.stresses(edges, x, n=n)
    assert (mot.k, st.s) == (r.dof, r.n_stresses)
    assert mot.vectors.shape == (r.dof, n, d) and st.vectors.shape == (r.n_stresses, len(edges))
    # Stated accuracy: |R u| and |w^T R| within 1e3 * max(m, n d) * eps of |R|.
    bound = 1e3 * max(a.shape) * EPS * _norm(a)
    u = mot.vectors.reshape(mot.k, n * d)
    assert np.all(np.linalg.norm(a @ u.T, axis=0) <= bound)
    assert np.all(np.linalg.norm(st.vectors @ a, axis=1) <= bound)
    np.testing.assert_allclose(u @ u.T, np.eye(mot.k), atol=1e-12)
    np.testing.assert_allclose(st.vectors @ st.vectors.T, np.eye(st.s), atol=1e-12)
    # The residuals reported are those norms, and below the tolerance that decided the rank.
    np.testing.assert_allclose(mot.residuals, np.linalg.norm(a @ u.T, axis=0), rtol=1e-6, atol=bound * 1e-3)
    assert np.all(mot.residuals <= max(mot.tol, bound)) and np.all(st.residuals <= max(st.tol, bound))
    # The span: non-trivial motions are orthogonal to the rigid ones, and with them span the kernel.
    full = tg.motions(edges, x, n=n, trivial=True)
    kernel = n * d - np.linalg.matrix_rank(a)
    assert full.k == kernel
    w = full.vectors.reshape(full.k, n * d)
    assert np.linalg.matrix_rank(np.vstack([w, u]), tol=1e-8) == full.k
    translations = np.kron(np.ones(n), np.eye(d))
    assert np.abs(u @ translations.T).max(initial=0.0) < 1e-10
    # Redundancy is the support of the stresses.
    supported = np.abs(st.vectors).max(axis=0, initial=0.0) > 1e-8
    np.testing.assert_array_equal(supported, r.redundant)


@pytest.mark.parametrize("seed,n,d,keep", FRAMEWORKS[:4])
def test_without_coords_the_generic_counts_at_a_placement_drawn_from_seed(seed, n, d, keep):
    edges, _ = random_framework(seed, n, d, keep)
    r = tg.rigidity(edges, d, n=n)
    mot, st = tg.motions(edges, d=d, n=n, seed=seed), tg.stresses(edges, d=d, n=n, seed=seed)
    assert (mot.k, st.s, mot.seed, st.seed) == (r.dof, r.n_stresses, seed, seed)
    np.testing.assert_array_equal(mot.coords, st.coords)
    assert np.abs(st.vectors @ rigidity_matrix(edges, st.coords)).max(initial=0.0) < 1e-10
    again = tg.motions(edges, d=d, n=n, seed=seed)
    np.testing.assert_array_equal(again.vectors, mot.vectors)
    assert not np.array_equal(tg.motions(edges, d=d, n=n, seed=seed + 1).coords, mot.coords)


# ---- frameworks whose flexes and stresses are known -----------------------------------------

def test_k33_on_a_conic_has_one_flex_and_one_stress_on_every_bar():
    edges = ref.complete_bipartite(3, 3)
    on_conic = np.array([[t, t * t] for t in (-3, 0, 2, -1, 1, 3)], dtype=np.float64)
    generic = np.array([[t, t * t + 0.1 * t ** 3] for t in (-3, 0, 2, -1, 1, 3)], dtype=np.float64)
    assert (tg.motions(edges, on_conic).k, tg.stresses(edges, on_conic).s) == (1, 1)
    assert (tg.motions(edges, generic).k, tg.stresses(edges, generic).s) == (0, 0)
    stress = tg.stresses(edges, on_conic).vectors[0]
    assert np.all(np.abs(stress) > 1e-3)
    flex = tg.motions(edges, on_conic).vectors[0]
    assert np.abs(rigidity_matrix(edges, on_conic) @ flex.ravel()).max() < 1e-12


def test_the_double_banana_turns_about_its_poles_and_is_stressed_on_every_bar():
    edges = ref.double_banana()
    x = np.random.default_rng(11).uniform(-1, 1, (8, 3))
    r = tg.rigidity(edges, 3, coords=x)
    mot, st = tg.motions(edges, x), tg.stresses(edges, x)
    assert (mot.k, st.s, r.dof, r.n_stresses) == (1, 1, 1, 1)
    assert np.all(np.abs(st.vectors[0]) > 1e-6)
    # The flex turns one banana against the other: relative to the first half, which it moves
    # rigidly, the poles stay put and the second half turns about the line through them.
    u = mot.vectors[0]
    left, right = [0, 1, 2, 3, 4], [0, 1, 5, 6, 7]
    trivial = tg.motions([(i, j) for i in range(8) for j in range(i + 1, 8)], x, trivial=True).vectors
    basis = trivial.reshape(len(trivial), -1)

    def rigid_part(vertices):
        cols = np.concatenate([np.arange(3 * v, 3 * v + 3) for v in vertices])
        coef, *_ = np.linalg.lstsq(basis[:, cols].T, u.ravel()[cols], rcond=None)
        return coef, np.linalg.norm(basis[:, cols].T @ coef - u.ravel()[cols])

    (c_left, miss_left), (c_right, miss_right) = rigid_part(left), rigid_part(right)
    assert miss_left < 1e-10 and miss_right < 1e-10 and np.linalg.norm(c_left - c_right) > 1e-3


# ---- invariance and input ------------------------------------------------------------------

@pytest.mark.parametrize("k", [-60, -7, 0, 9, 60])
def test_scaling_by_a_power_of_two_changes_no_vector(k):
    edges, x = random_framework(3, 9, 2, 0.6)
    base_m, base_s = tg.motions(edges, x), tg.stresses(edges, x)
    m, s = tg.motions(edges, x * 2.0 ** k), tg.stresses(edges, x * 2.0 ** k)
    np.testing.assert_array_equal(m.vectors, base_m.vectors)
    np.testing.assert_array_equal(s.vectors, base_s.vectors)
    assert m.tol == base_m.tol * 2.0 ** k and s.tol == base_s.tol * 2.0 ** k
    np.testing.assert_array_equal(m.residuals, base_m.residuals * 2.0 ** k)


@pytest.mark.parametrize("call,error,words", [
    (lambda f: f([(0, 1), (1, 2)], [[0, 0], [1, np.nan], [2, 0]]), ValueError, "finite"),
    (lambda f: f([(0, 1), (1, 2)], [[0, 0], [1, 0]]), ValueError, "vertex 2"),
    (lambda f: f([(0, 1), (1, 2)], np.zeros(6)), ValueError, "coords"),
    (lambda f: f([(0, 1), (1, 2)], np.zeros((3, 2)), d=3), ValueError, "coords"),
    (lambda f: f([(0, 1, 2)], np.zeros((3, 2))), ValueError, "edges"),
    (lambda f: f([(0, 1), (1, 2)], np.zeros((3, 2)), tol=-1.0), ValueError, "tol"),
    (lambda f: f([(0, 1), (1, 2)], tol=float("inf")), ValueError, "tol"),
    (lambda f: f([(0, 1), (1, 2)], d=0), ValueError, "d"),
    (lambda f: f([(0, 1), (1, 2)], seed=-1), ValueError, "seed"),
    (lambda f: f([(0, 1), (1, 2)], tol="small"), TypeError, "tol"),
])
@pytest.mark.parametrize("function", [tg.motions, tg.stresses])
def test_bad_input_is_refused_clearly(function, call, error, words):
    with pytest.raises(error, match=words):
        call(function)


def test_results_are_read_only_and_trivial_must_be_a_bool():
    mot = tg.motions([(0, 1), (1, 2), (0, 2), (2, 3)], d=2)
    with pytest.raises(ValueError):
        mot.vectors[0, 0, 0] = 1.0
    with pytest.raises(TypeError, match="trivial"):
        tg.motions([(0, 1)], trivial=1)


def test_a_sparse_flexible_framework_in_space_keeps_rounding_level_residuals():
    # Many degree-one and degree-two vertices make the factor's pivot triangle poorly conditioned:
    # the kernel vectors by back substitution alone had residuals near 1e-8 relative here.
    rng = np.random.default_rng(1100)
    n, pairs = 300, set()
    while len(pairs) < 800:
        i, j = sorted(rng.integers(0, n, 2).tolist())
        if i != j:
            pairs.add((i, j))
    edges = sorted(pairs)
    rng.shuffle(edges)
    x = rng.uniform(-1, 1, (n, 3))
    a = rigidity_matrix(edges, x)
    mot = tg.motions(edges, x, trivial=True)
    assert mot.k == n * 3 - tg.rigidity(edges, 3, coords=x).rank
    u = mot.vectors.reshape(mot.k, n * 3)
    assert np.linalg.norm(a @ u.T, axis=0).max() <= 100 * EPS * _norm(a)
