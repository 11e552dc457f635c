// Distance geometry: Gram matrix, Jacobi eigen-decomposition, classical scaling and stress.
#include "frameworks/reconstruct.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

namespace {

constexpr double pivot_threshold = 1e-12;
constexpr double equal_diagonal = 1e-15;
constexpr double quarter_pi = 0.7853981633974483;
constexpr std::uint64_t max_rotations = 500;
constexpr double stress_denominator_floor = 1e-15;

struct Eigenpair {
    double value;
    std::uint64_t index;
};

// Stable descending insertion sort: an element only moves ahead of one it is strictly
// greater than, so NaN values stay put instead of breaking the sort's invariants.
void sort_descending(std::vector<Eigenpair>& pairs) {
    for (std::size_t i = 1; i < pairs.size(); ++i) {
        const Eigenpair item = pairs[i];
        std::size_t j = i;
        while (j > 0 && item.value > pairs[j - 1].value) {
            pairs[j] = pairs[j - 1];
            --j;
        }
        pairs[j] = item;
    }
}

// Largest magnitude in the strict upper triangle of one row, at its first column on ties;
// col == n when the row holds only zeros and NaN (NaN never compares greater).
struct RowMax {
    double value;
    std::uint64_t col;
};

// The largest magnitude first (NaN passed over, as max(x, acc) keeps acc when x is NaN), then its
// first column: the same answer as one pass that takes each strictly greater value, without that
// pass's chain of comparisons.
RowMax scan_row(const std::vector<double>& m, std::uint64_t i, std::uint64_t n) {
    const double* row = m.data() + i * n;
    std::uint64_t j = i + 1;
    double largest = 0.0;
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0);
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    for (; j + 8 <= n; j += 8)
        for (int k = 0; k < 4; ++k) acc[k] = _mm_max_pd(_mm_andnot_pd(sign, _mm_loadu_pd(row + j + 2 * k)), acc[k]);
    alignas(16) double lanes[8];
    for (int k = 0; k < 4; ++k) _mm_store_pd(lanes + 2 * k, acc[k]);
    for (double lane : lanes) largest = std::max(largest, lane);
#endif
    for (; j < n; ++j) largest = std::max(largest, std::fabs(row[j]));
    if (!(largest > 0.0)) return RowMax{0.0, n};
    std::uint64_t col = i + 1;
#if defined(__SSE2__)
    const __m128d target = _mm_set1_pd(largest);
    for (; col + 2 <= n; col += 2) {
        const int hit = _mm_movemask_pd(_mm_cmpeq_pd(_mm_andnot_pd(sign, _mm_loadu_pd(row + col)), target));
        if (hit != 0) return RowMax{largest, col + ((hit & 1) != 0 ? 0 : 1)};
    }
#endif
    while (std::fabs(row[col]) != largest) ++col;
    return RowMax{largest, col};
}

// Merges a changed entry into a row maximum whose column did not change.
void offer(RowMax& r, double x, std::uint64_t j) {
    if (x > r.value || (x == r.value && x > 0.0 && j < r.col)) {
        r.value = x;
        r.col = j;
    }
}

}  // namespace

std::vector<double> gram_matrix(const MatrixView& dist) {
    const std::uint64_t n = dist.n_rows;
    const std::uint64_t count = checked_multiply(n, n);
    require_allocatable(count, sizeof(double));
    require_allocatable(n, sizeof(double));

    // The squares are stored in the result buffer and replaced entry by entry below:
    // each square is read only by its own Gram entry.
    std::vector<double> g(count);
    for (std::uint64_t i = 0; i < n; ++i) {
        double* squares = g.data() + i * n;
        const char* row = dist.data + static_cast<std::int64_t>(i) * dist.row_stride;
        if (dist.col_stride == sizeof(double)) {
            std::memcpy(squares, row, n * sizeof(double));
            for (std::uint64_t j = 0; j < n; ++j) squares[j] = squares[j] * squares[j];
        } else {
            for (std::uint64_t j = 0; j < n; ++j) {
                const double v = dist.at(i, j);
                squares[j] = v * v;
            }
        }
    }

    const double inv_n = 1.0 / static_cast<double>(n);
    // Each row sum runs from left to right; eight rows at a time keep eight independent chains
    // of additions in flight instead of one.
    std::vector<double> row_mean(n);
    constexpr std::uint64_t rows_at_once = 8;
    std::uint64_t i = 0;
    for (; i + rows_at_once <= n; i += rows_at_once) {
        double sums[rows_at_once] = {};
        const double* rows = g.data() + i * n;
        for (std::uint64_t j = 0; j < n; ++j)
            for (std::uint64_t k = 0; k < rows_at_once; ++k) sums[k] = sums[k] + rows[k * n + j];
        for (std::uint64_t k = 0; k < rows_at_once; ++k) row_mean[i + k] = sums[k] * inv_n;
    }
    for (; i < n; ++i) {
        double sum = 0.0;
        for (std::uint64_t j = 0; j < n; ++j) sum = sum + g[i * n + j];
        row_mean[i] = sum * inv_n;
    }
    double total = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) total = total + row_mean[i];
    const double grand_mean = inv_n * total;

    // Row means serve as column means too: for symmetric input this is -1/2 * H * S * H.
    const double* __restrict means = row_mean.data();
    for (std::uint64_t r = 0; r < n; ++r) {
        const double ri = means[r];
        double* __restrict row = g.data() + r * n;
        for (std::uint64_t j = 0; j < n; ++j) row[j] = (((row[j] - ri) - means[j]) + grand_mean) * -0.5;
    }
    return g;
}

namespace {

// The rotation by theta in the (p, q) plane that zeroes M[p][q], applied to M (both sides) and to
// the rows p and q of V transposed.
void rotate(std::vector<double>& m, std::vector<double>& vt, std::uint64_t p, std::uint64_t q, std::uint64_t n) {
    const double app = m[p * n + p];
    const double aqq = m[q * n + q];
    const double apq = m[p * n + q];
    const double diff = aqq - app;
    // One-argument arctangent keeps theta within [-pi/4, pi/4].
    const double theta = std::fabs(diff) < equal_diagonal ? quarter_pi : std::atan((apq + apq) / diff) * 0.5;
    const double c = std::cos(theta);
    const double s = std::sin(theta);

    // In place: step k reads only M[k][p] and M[k][q] of row k, which no other step
    // writes, and the three values of the 2x2 block were read above.
    for (std::uint64_t k = 0; k < n; ++k) {
        if (k == p || k == q) continue;
        const double mkp = m[k * n + p];
        const double mkq = m[k * n + q];
        const double new_kp = mkp * c - mkq * s;
        const double new_kq = mkq * c + mkp * s;
        m[k * n + p] = new_kp;
        m[p * n + k] = new_kp;
        m[k * n + q] = new_kq;
        m[q * n + k] = new_kq;
    }
    const double cc = c * c;
    const double ss = s * s;
    const double s2c = (s + s) * c;
    m[p * n + p] = aqq * ss + (app * cc - apq * s2c);
    m[q * n + q] = cc * aqq + (s2c * apq + ss * app);
    m[p * n + q] = 0.0;
    m[q * n + p] = 0.0;

    double* vp = vt.data() + p * n;
    double* vq = vt.data() + q * n;
    for (std::uint64_t k = 0; k < n; ++k) {
        const double x = vp[k];
        const double y = vq[k];
        vp[k] = c * x - s * y;
        vq[k] = y * c + x * s;
    }
}

// The row maxima after a rotation in the (p, q) plane, p < q. Rows above q hold column q (and,
// above p, column p) in their upper part. A row whose maximum sat in a changed column is
// rescanned only when that entry shrank.
void update_row_maxima(std::vector<RowMax>& row_max, const std::vector<double>& m, std::uint64_t p, std::uint64_t q,
                       std::uint64_t n) {
    row_max[p] = scan_row(m, p, n);
    row_max[q] = scan_row(m, q, n);
    for (std::uint64_t k = 0; k < q; ++k) {
        if (k == p) continue;
        RowMax& r = row_max[k];
        const double xp = k < p ? std::fabs(m[k * n + p]) : 0.0;
        const double xq = std::fabs(m[k * n + q]);
        if (r.col == p) {
            if (xp >= r.value) {
                r.value = xp;
                offer(r, xq, q);
            } else {
                r = scan_row(m, k, n);
            }
        } else if (r.col == q) {
            if (xq >= r.value) {
                r.value = xq;
                if (k < p) offer(r, xp, p);
            } else {
                r = scan_row(m, k, n);
            }
        } else {
            if (k < p) offer(r, xp, p);
            offer(r, xq, q);
        }
    }
}

// The eigenvalues (M's diagonal) in descending order, the eigenvectors as the columns of an n x n
// matrix in the same order; M's storage is reused for them.
EigenDecomposition sorted_eigenpairs(std::vector<double>&& m, const std::vector<double>& vt, std::uint64_t n,
                                     std::uint64_t rotations) {
    std::vector<Eigenpair> pairs(n);
    for (std::uint64_t i = 0; i < n; ++i) pairs[i] = Eigenpair{m[i * n + i], i};
    sort_descending(pairs);

    EigenDecomposition result;
    result.rotations = rotations;
    result.eigenvalues.resize(n);
    for (std::uint64_t k = 0; k < n; ++k) result.eigenvalues[k] = pairs[k].value;
    result.eigenvectors = std::move(m);
    for (std::uint64_t k = 0; k < n; ++k) {
        const double* column = vt.data() + pairs[k].index * n;
        for (std::uint64_t i = 0; i < n; ++i) result.eigenvectors[i * n + k] = column[i];
    }
    return result;
}

}  // namespace

EigenDecomposition jacobi_eig(const std::vector<double>& a, std::uint64_t n) {
    const std::uint64_t count = checked_multiply(n, n);
    require_allocatable(count, sizeof(double));
    std::vector<double> m(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(count));
    // V is kept transposed: a rotation then changes two contiguous rows of it, not two columns.
    require_allocatable(count, sizeof(double));
    std::vector<double> vt(count, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) vt[i * n + i] = 1.0;

    // The pivot is the first entry of largest magnitude in row-major order over the strict
    // upper triangle. Keeping each row's maximum (first column on ties) and taking the first
    // row with the largest one finds the same entry, but a rotation only changes rows p and
    // q and columns p and q, so most row maxima survive it and the search costs O(n).
    require_allocatable(n, sizeof(RowMax));
    std::vector<RowMax> row_max(n);
    for (std::uint64_t i = 0; i < n; ++i) row_max[i] = scan_row(m, i, n);

    std::uint64_t rotations = 0;
    while (rotations < max_rotations) {
        double best = 0.0;
        std::uint64_t p = 0;
        std::uint64_t q = 1;
        for (std::uint64_t i = 0; i < n; ++i) {
            if (row_max[i].value > best) {
                best = row_max[i].value;
                p = i;
                q = row_max[i].col;
            }
        }
        if (best < pivot_threshold) break;
        rotate(m, vt, p, q, n);
        ++rotations;
        update_row_maxima(row_max, m, p, q, n);
    }
    return sorted_eigenpairs(std::move(m), vt, n, rotations);
}

double kruskal_stress(const std::vector<double>& dist, std::uint64_t n, const std::vector<double>& coords,
                      std::uint64_t d) {
    double num = 0.0;
    double den = 0.0;
    for (std::uint64_t i = 0; i + 1 < n; ++i) {
        const double* xi = coords.data() + i * d;
        for (std::uint64_t j = i + 1; j < n; ++j) {
            const double* xj = coords.data() + j * d;
            // Starting from +0.0 equals starting from the first square: a square is never -0.0.
            double s = 0.0;
            for (std::uint64_t k = 0; k < d; ++k) {
                const double diff = xi[k] - xj[k];
                s = s + diff * diff;
            }
            const double dij = dist[i * n + j];
            const double e = dij - std::sqrt(s);
            num = num + e * e;
            den = den + dij * dij;
        }
    }
    return den < stress_denominator_floor ? 0.0 : std::sqrt(num / den);
}

ReconstructionResult classical_mds(const std::vector<double>& dist, std::uint64_t n, std::uint64_t d, double tol) {
    if (d != 2 && d != 3) throw FatalError("Only d=2 and d=3 are supported");
    if (n <= d) throw FatalError("Need at least d+1 nodes to reconstruct in d dimensions");

    const MatrixView view = MatrixView::row_major(dist.data(), n, n);

    ReconstructionResult result;
    {
        const EigenDecomposition eig = jacobi_eig(gram_matrix(view), n);
        require_allocatable(checked_multiply(n, d), sizeof(double));
        result.coords.resize(n * d);
        for (std::uint64_t k = 0; k < d; ++k) {
            // Non-positive and NaN eigenvalues give a zero column; sqrt never sees a negative.
            const double value = eig.eigenvalues[k];
            const double scale = std::sqrt(value > 0.0 ? value : 0.0);
            for (std::uint64_t i = 0; i < n; ++i) result.coords[i * d + k] = scale * eig.eigenvectors[i * n + k];
        }
        result.eigenvalues.assign(eig.eigenvalues.begin(), eig.eigenvalues.begin() + static_cast<std::ptrdiff_t>(d));
    }
    result.stress = kruskal_stress(dist, n, result.coords, d);
    result.is_isometric = result.stress < tol;
    return result;
}

}  // namespace telvora
