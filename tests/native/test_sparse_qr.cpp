// The row-by-row Givens factor: ranks of products of random factors, the triangle's solves, and
// that a row found dependent leaves the factor as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "elimination/sparse_qr.hpp"

using namespace telvora;

namespace {

// Rows of B * C with B (m x r) and C (r x n) random: rank r at most, exactly r for m, n >= r.
std::vector<std::vector<double>> low_rank(std::size_t m, std::size_t n, std::size_t r, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> draw(-1.0, 1.0);
    std::vector<std::vector<double>> b(m, std::vector<double>(r)), c(r, std::vector<double>(n));
    for (auto& row : b) for (double& x : row) x = draw(gen);
    for (auto& row : c) for (double& x : row) x = draw(gen);
    std::vector<std::vector<double>> a(m, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t k = 0; k < r; ++k)
            for (std::size_t j = 0; j < n; ++j) a[i][j] += b[i][k] * c[k][j];
    return a;
}

bool add_dense(SparseGivensQR& qr, const std::vector<double>& row, double tol) {
    std::vector<std::uint32_t> columns;
    std::vector<double> values;
    for (std::size_t j = 0; j < row.size(); ++j)
        if (row[j] != 0.0) columns.push_back(static_cast<std::uint32_t>(j)), values.push_back(row[j]);
    return qr.add_row(columns.data(), values.data(), columns.size(), tol, true);
}

}  // namespace

TEST(SparseGivensQR, RankOfLowRankProducts) {
    for (const auto& [m, n, r] : {std::tuple<std::size_t, std::size_t, std::size_t>{12, 10, 4}, {30, 40, 17},
                                  {60, 25, 25}, {8, 8, 1}}) {
        const auto a = low_rank(m, n, r, static_cast<unsigned>(m * n + r));
        SparseGivensQR qr(n);
        std::size_t accepted = 0;
        for (std::size_t i = 0; i < m; ++i) accepted += add_dense(qr, a[i], 1e-10);
        EXPECT_EQ(qr.rank(), r) << m << " " << n;
        EXPECT_EQ(accepted, r);
        EXPECT_FALSE(qr.saw_non_finite());
    }
}

TEST(SparseGivensQR, SolvesWithTheTriangleAtThePivots) {
    const auto a = low_rank(9, 9, 9, 3);
    SparseGivensQR qr(9);
    for (const auto& row : a) add_dense(qr, row, 0.0);
    ASSERT_EQ(qr.rank(), 9u);
    // R^T R = A^T A: for any v, |R v| = |A v|.
    std::vector<double> v(9), t(9), w;
    for (std::size_t j = 0; j < 9; ++j) v[j] = 1.0 + static_cast<double>(j);
    qr.multiply(v, t);
    double rv = 0.0, av = 0.0;
    for (std::size_t i = 0; i < 9; ++i) {
        double dot = 0.0;
        for (std::size_t j = 0; j < 9; ++j) dot += a[i][j] * v[j];
        av += dot * dot, rv += t[i] * t[i];
    }
    EXPECT_NEAR(std::sqrt(rv), std::sqrt(av), 1e-12 * std::sqrt(av));
    w = t;
    qr.solve(w);  // R w = R v
    for (std::size_t j = 0; j < 9; ++j) EXPECT_NEAR(w[j], v[j], 1e-9 * v[j]);
    // R^T z = y, then R^T z recomputed by hand.
    std::vector<double> y = v, z = v;
    qr.solve_transposed(z);
    std::vector<double> e(9, 0.0), column(9);
    for (std::size_t j = 0; j < 9; ++j) {
        std::fill(e.begin(), e.end(), 0.0);
        e[j] = 1.0;
        qr.multiply(e, column);  // column j of R
        double sum = 0.0;
        for (std::size_t i = 0; i < 9; ++i) sum += column[i] * z[i];
        EXPECT_NEAR(sum, y[j], 1e-9 * std::fabs(y[j]));
    }
}

// A dependent row enters R (R^T R stays A^T A), and a row refused growth is dropped and says so.
TEST(SparseGivensQR, KeepsTheGramMatrixOfEveryRow) {
    const auto a = low_rank(6, 8, 3, 5);
    SparseGivensQR qr(8);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(add_dense(qr, a[i], 1e-12), i < 3);
    std::vector<double> v(8), t(8);
    for (std::size_t j = 0; j < 8; ++j) v[j] = std::cos(static_cast<double>(j));
    qr.multiply(v, t);
    double rv = 0.0, av = 0.0;
    for (std::size_t c = 0; c < 8; ++c)
        if (qr.is_pivot(c)) rv += t[c] * t[c];
    for (const auto& row : a) {
        double dot = 0.0;
        for (std::size_t j = 0; j < 8; ++j) dot += row[j] * v[j];
        av += dot * dot;
    }
    EXPECT_NEAR(rv, av, 1e-12 * av);
    std::vector<std::uint32_t> columns{7};
    const double one = 1.0;
    EXPECT_FALSE(qr.add_row(columns.data(), &one, 1, 1e-12, false));
    EXPECT_TRUE(qr.refused_last());
    EXPECT_EQ(qr.rank(), 3u);
}

// Rows whose leading entries shrink geometrically: a pivot at the first entry above the tolerance
// would be a remnant many orders below its row, and rounding would pass for independence. The
// ranks of every prefix match a rank decided exactly (the rows are built from 3 directions).
TEST(SparseGivensQR, NeverPivotsOnARemnant) {
    const std::size_t n = 12;
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> draw(-1.0, 1.0);
    std::vector<std::vector<double>> basis(3, std::vector<double>(n));
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t j = 0; j < n; ++j) basis[k][j] = draw(gen) * std::ldexp(1.0, -static_cast<int>(4 * j));
    SparseGivensQR qr(n);
    std::size_t accepted = 0;
    for (int i = 0; i < 40; ++i) {
        std::vector<double> row(n, 0.0);
        for (std::size_t k = 0; k < 3; ++k) {
            const double c = draw(gen);
            for (std::size_t j = 0; j < n; ++j) row[j] += c * basis[k][j];
        }
        accepted += add_dense(qr, row, 1e-14);
    }
    EXPECT_EQ(accepted, 3u);
    EXPECT_EQ(qr.rank(), 3u);
}
