// Native tests of the distance-geometry core: Gram matrix, Jacobi rotations, stress, scaling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "base/node.hpp"
#include "frameworks/reconstruct.hpp"

namespace {

using telvora::classical_mds;
using telvora::EigenDecomposition;
using telvora::FatalError;
using telvora::gram_matrix;
using telvora::jacobi_eig;
using telvora::kruskal_stress;
using telvora::MatrixView;

using Matrix = std::vector<std::vector<double>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Bitwise equality, so -0.0 differs from +0.0 and a NaN equals the same NaN.
::testing::AssertionResult same_bits(const std::vector<double>& actual, const std::vector<double>& expected) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "size " << actual.size() << " != " << expected.size();
    for (std::size_t i = 0; i < actual.size(); ++i)
        if (bits_of(actual[i]) != bits_of(expected[i]))
            return ::testing::AssertionFailure() << "entry " << i << ": " << actual[i] << " != " << expected[i]
                                                 << " (bits differ)";
    return ::testing::AssertionSuccess();
}

std::vector<double> flatten(const Matrix& m) {
    std::vector<double> flat;
    for (const auto& row : m) flat.insert(flat.end(), row.begin(), row.end());
    return flat;
}

MatrixView contiguous_view(const std::vector<double>& flat, std::uint64_t n) {
    return MatrixView::row_major(flat.data(), n, n);
}

std::vector<double> gram_of(const Matrix& d) { return gram_matrix(contiguous_view(flatten(d), d.size())); }

Matrix random_matrix(std::size_t n, std::uint64_t seed, bool symmetric, double lo = -1.0, double hi = 1.0) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    Matrix m(n, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) m[i][j] = dist(gen);
    if (symmetric)
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j) m[i][j] = m[j][i];
    return m;
}

// ---------------------------------------------------------------------------------------
// Independent transcriptions of the documented arithmetic, written as plainly as possible
// (nested vectors, a fresh copy of M per rotation) to check the optimised code bit for bit.

// The variants are deliberate deviations, used to show that the test data can tell them apart.
enum class GramVariant { Documented, DivideRowSums, DivideGrandSum, ReversedSums };

Matrix reference_gram(const Matrix& d, GramVariant variant = GramVariant::Documented) {
    const std::size_t n = d.size();
    Matrix s(n, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) s[i][j] = d[i][j] * d[i][j];
    const double inv_n = 1.0 / static_cast<double>(n);
    const bool reversed = variant == GramVariant::ReversedSums;
    std::vector<double> r(n);
    for (std::size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) sum += s[i][reversed ? n - 1 - j : j];
        r[i] = variant == GramVariant::DivideRowSums ? sum / static_cast<double>(n) : sum * inv_n;
    }
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += r[reversed ? n - 1 - i : i];
    const double g = variant == GramVariant::DivideGrandSum ? total / static_cast<double>(n) : inv_n * total;
    Matrix out(n, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) out[i][j] = (((s[i][j] - r[i]) - r[j]) + g) * (-0.5);
    return out;
}

enum class Ties { Earliest, Latest };

struct ReferenceJacobi {
    std::vector<double> diagonal;  // final diagonal, unsorted
    Matrix v;                      // accumulated rotations, unsorted
    std::uint64_t rotations = 0;
    // Sorted results; meaningful only when the diagonal holds no NaN.
    std::vector<double> values;
    std::vector<double> vectors;
};

ReferenceJacobi reference_jacobi(const Matrix& a, std::uint64_t limit = 500, Ties ties = Ties::Earliest) {
    const std::size_t n = a.size();
    Matrix m = a;
    Matrix v(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) v[i][i] = 1.0;
    std::uint64_t count = 0;
    while (true) {
        double best = 0.0;
        std::size_t p = 0, q = 1;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j) {
                const double x = std::fabs(m[i][j]);
                const bool take = ties == Ties::Earliest ? x > best : (x > best || (x == best && x > 0.0));
                if (take) {
                    best = x;
                    p = i;
                    q = j;
                }
            }
        if (best < 1e-12) break;
        const double diff = m[q][q] - m[p][p];
        double theta;
        if (std::fabs(diff) < 1e-15)
            theta = 0.7853981633974483;
        else
            theta = std::atan((m[p][q] + m[p][q]) / diff) * 0.5;
        const double c = std::cos(theta);
        const double s = std::sin(theta);
        Matrix next = m;
        for (std::size_t k = 0; k < n; ++k) {
            if (k == p || k == q) continue;
            next[k][p] = m[k][p] * c - m[k][q] * s;
            next[p][k] = next[k][p];
            next[k][q] = m[k][q] * c + m[k][p] * s;
            next[q][k] = next[k][q];
        }
        next[p][p] = m[q][q] * (s * s) + (m[p][p] * (c * c) - m[p][q] * ((s + s) * c));
        next[q][q] = (c * c) * m[q][q] + (((s + s) * c) * m[p][q] + (s * s) * m[p][p]);
        next[p][q] = 0.0;
        next[q][p] = 0.0;
        m = next;
        for (std::size_t k = 0; k < n; ++k) {
            const double x = v[k][p];
            const double y = v[k][q];
            v[k][p] = c * x - s * y;
            v[k][q] = y * c + x * s;
        }
        if (++count == limit) break;
    }
    ReferenceJacobi out;
    out.rotations = count;
    out.v = v;
    for (std::size_t i = 0; i < n; ++i) out.diagonal.push_back(m[i][i]);
    const bool has_nan = std::any_of(out.diagonal.begin(), out.diagonal.end(), [](double x) { return std::isnan(x); });
    if (!has_nan) {
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t x, std::size_t y) { return out.diagonal[x] > out.diagonal[y]; });
        for (std::size_t k = 0; k < n; ++k) out.values.push_back(out.diagonal[order[k]]);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < n; ++k) out.vectors.push_back(v[i][order[k]]);
    }
    return out;
}

EigenDecomposition eig_of(const Matrix& a) { return jacobi_eig(flatten(a), a.size()); }

::testing::AssertionResult matches_reference(const EigenDecomposition& got, const ReferenceJacobi& ref) {
    if (got.rotations != ref.rotations)
        return ::testing::AssertionFailure() << "rotations " << got.rotations << " != " << ref.rotations;
    if (auto r = same_bits(got.eigenvalues, ref.values); !r) return r << " (eigenvalues)";
    if (auto r = same_bits(got.eigenvectors, ref.vectors); !r) return r << " (eigenvectors)";
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------
// Gram matrix

struct GramCase {
    const char* name;
    Matrix dist;
    Matrix expected;
};

TEST(GramMatrix, DocumentedExamplesBitForBit) {
    const double third = 0.3333333333333333;
    const double sixth = -0.16666666666666669;
    const std::vector<GramCase> cases = {
        {"points (0,0) and (3,4)", {{0, 5}, {5, 0}}, {{6.25, -6.25}, {-6.25, 6.25}}},
        {"equilateral triangle", {{0, 1, 1}, {1, 0, 1}, {1, 1, 0}}, {{third, sixth, sixth}, {sixth, third, sixth}, {sixth, sixth, third}}},
        // Row means 0.5 and 4.5, g = 2.5; row means double as column means.
        {"non-symmetric", {{0, 1}, {3, 0}}, {{-0.75, 0.75}, {-3.25, 3.25}}},
        {"zero matrix gives negative zeros", {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
         {{-0.0, -0.0, -0.0}, {-0.0, -0.0, -0.0}, {-0.0, -0.0, -0.0}}},
        {"single point", {{7.5}}, {{-0.0}}},
        {"single negative distance", {{-3.0}}, {{-0.0}}},
    };
    for (const GramCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(same_bits(gram_of(c.dist), flatten(c.expected)));
    }
}

TEST(GramMatrix, EmptyInputGivesEmptyResult) { EXPECT_TRUE(gram_of(Matrix{}).empty()); }

TEST(GramMatrix, NonFiniteValuesPropagateWithoutError) {
    // One infinite distance makes g infinite, so no entry stays finite.
    Matrix d = {{0, 1, 2}, {1, 0, kInf}, {2, kInf, 0}};
    for (double x : gram_of(d)) EXPECT_FALSE(std::isfinite(x));
    // A 1x1 square that overflows is no longer the exact -0.0 case.
    EXPECT_TRUE(std::isnan(gram_of({{1e200}})[0]));
    Matrix with_nan = {{0, kNaN}, {1, 0}};
    for (double x : gram_of(with_nan)) EXPECT_TRUE(std::isnan(x));
}

Matrix wide_range_matrix(std::size_t n, bool symmetric) {
    // Magnitudes spanning many decades make the rounding depend on summation order.
    Matrix d = random_matrix(n, 1000 + n, false, 0.0, 1.0);
    std::mt19937_64 gen(n);
    for (auto& row : d)
        for (double& x : row) x = x * std::pow(10.0, static_cast<int>(gen() % 9) - 4);
    if (symmetric)
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j) d[i][j] = d[j][i];
    return d;
}

const std::vector<std::size_t> kGramSizes = {2, 3, 5, 7, 11, 13, 31, 49, 64, 97};

TEST(GramMatrix, MatchesWrittenOutFormula) {
    for (std::size_t n : kGramSizes) {
        for (bool symmetric : {true, false}) {
            SCOPED_TRACE("n=" + std::to_string(n) + (symmetric ? " symmetric" : " non-symmetric"));
            const Matrix d = wide_range_matrix(n, symmetric);
            EXPECT_TRUE(same_bits(gram_of(d), flatten(reference_gram(d))));
        }
    }
}

TEST(GramMatrix, TestDataDistinguishesSummationOrderAndDivision) {
    // Guards the test above: its data must be able to expose each of these deviations.
    for (GramVariant variant : {GramVariant::DivideRowSums, GramVariant::DivideGrandSum, GramVariant::ReversedSums}) {
        SCOPED_TRACE(static_cast<int>(variant));
        bool exposed = false;
        for (std::size_t n : kGramSizes) {
            const Matrix d = wide_range_matrix(n, false);
            exposed = exposed || !same_bits(flatten(reference_gram(d)), flatten(reference_gram(d, variant)));
        }
        EXPECT_TRUE(exposed);
    }
}

// Lays out the matrix e in several memory layouts and returns a view of each.
struct LayoutCase {
    std::string name;
    std::vector<char> storage;
    MatrixView view;
};

std::vector<LayoutCase> layouts_of(const Matrix& e) {
    const std::size_t n = e.size();
    const std::int64_t sn = static_cast<std::int64_t>(n);
    std::vector<LayoutCase> out;
    auto make = [&](std::string name, std::size_t bytes, std::int64_t first, std::int64_t row_stride,
                    std::int64_t col_stride) {
        LayoutCase lc{std::move(name), std::vector<char>(bytes + 16, '\x5a'), {}};
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                std::memcpy(lc.storage.data() + first + static_cast<std::int64_t>(i) * row_stride +
                                static_cast<std::int64_t>(j) * col_stride,
                            &e[i][j], sizeof(double));
        out.push_back(std::move(lc));
        out.back().view = MatrixView{out.back().storage.data() + first, n, n, row_stride, col_stride};
    };
    make("column-major", n * n * 8, 0, 8, sn * 8);
    make("reversed rows and columns", n * n * 8, (sn * sn - 1) * 8, -sn * 8, -8);
    make("every second row, every third column", 6 * n * n * 8, 0, 2 * 3 * sn * 8, 24);
    make("unaligned packed records", n * n * 13 + 5, 5, sn * 13, 13);
    make("reversed rows only", n * n * 8, (sn - 1) * sn * 8, -sn * 8, 8);
    return out;
}

TEST(GramMatrix, AnyLayoutGivesTheContiguousResult) {
    for (std::size_t n : {1u, 2u, 5u, 9u}) {
        const Matrix d = random_matrix(n, 77 + n, false, 0.0, 4.0);
        const std::vector<double> expected = gram_of(d);
        for (const LayoutCase& lc : layouts_of(d)) {
            SCOPED_TRACE(lc.name + " n=" + std::to_string(n));
            EXPECT_TRUE(same_bits(gram_matrix(lc.view), expected));
        }
    }
}

TEST(GramMatrix, TransposedViewEqualsGramOfTransposedCopy) {
    const std::size_t n = 6;
    const Matrix d = random_matrix(n, 4242, false, 0.0, 3.0);
    const std::vector<double> flat = flatten(d);
    MatrixView transposed = contiguous_view(flat, n);
    std::swap(transposed.row_stride, transposed.col_stride);
    Matrix t(n, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) t[i][j] = d[j][i];
    EXPECT_TRUE(same_bits(gram_matrix(transposed), gram_of(t)));
    EXPECT_FALSE(same_bits(gram_matrix(transposed), gram_of(d)));
}

// ---------------------------------------------------------------------------------------
// Jacobi eigen-decomposition

TEST(JacobiEig, TwoByTwoQuarterTurn) {
    const EigenDecomposition e = eig_of({{2, 1}, {1, 2}});
    // diff is 0, so theta is pi/4 and c, s come out of the C library as:
    const double c = 0.7071067811865476;
    const double s = 0.7071067811865475;
    EXPECT_EQ(e.rotations, 1u);
    EXPECT_TRUE(same_bits(e.eigenvalues, {3.0, 1.0}));
    EXPECT_TRUE(same_bits(e.eigenvectors, {s, c, c, -s}));
}

struct DiagonalCase {
    const char* name;
    Matrix a;
    std::vector<double> values;
    std::vector<double> vectors;
};

TEST(JacobiEig, DiagonalInputIsSortedWithoutRotating) {
    const std::vector<DiagonalCase> cases = {
        {"ascending 2x2", {{1, 0}, {0, 3}}, {3, 1}, {0, 1, 1, 0}},
        {"equal values keep index order", {{1, 0, 0}, {0, 3, 0}, {0, 0, 3}}, {3, 3, 1}, {0, 0, 1, 1, 0, 0, 0, 1, 0}},
        {"zero matrix", {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, {0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        {"negative zeros stay negative", {{-0.0, -0.0}, {-0.0, -0.0}}, {-0.0, -0.0}, {1, 0, 0, 1}},
        {"single entry", {{-4.5}}, {-4.5}, {1}},
        {"already descending with ties", {{5, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, -1}}, {5, 2, 2, -1},
         {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}},
        {"off-diagonal noise below threshold", {{1, 9e-13, -9e-13}, {9e-13, 2, 5e-13}, {-9e-13, 5e-13, 0}}, {2, 1, 0},
         {0, 1, 0, 1, 0, 0, 0, 0, 1}},
    };
    for (const DiagonalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const EigenDecomposition e = eig_of(c.a);
        EXPECT_EQ(e.rotations, 0u);
        EXPECT_TRUE(same_bits(e.eigenvalues, c.values));
        EXPECT_TRUE(same_bits(e.eigenvectors, c.vectors));
    }
}

TEST(JacobiEig, ThresholdIsStrict) {
    const double below = std::nextafter(1e-12, 0.0);
    struct Case {
        const char* name;
        double pivot;
        std::uint64_t rotations;
    };
    const std::vector<Case> cases = {
        {"exactly 1e-12 is rotated", 1e-12, 1},
        {"exactly -1e-12 is rotated", -1e-12, 1},
        {"just below 1e-12 is left alone", below, 0},
        {"just below, negative, is left alone", -below, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The other off-diagonal entries stay below the threshold after one rotation.
        const Matrix a = {{1, 4e-13, 0}, {4e-13, 3, c.pivot}, {0, c.pivot, 2}};
        const EigenDecomposition e = eig_of(a);
        EXPECT_EQ(e.rotations, c.rotations);
        EXPECT_TRUE(matches_reference(e, reference_jacobi(a)));
        if (c.rotations == 0) {
            EXPECT_TRUE(same_bits(e.eigenvalues, {3, 2, 1}));
        }
    }
}

TEST(JacobiEig, NearlyEqualDiagonalUsesTheQuarterTurn) {
    const double c = 0.7071067811865476;
    const double s = 0.7071067811865475;
    struct Case {
        const char* name;
        double qq;
        bool quarter_turn;
    };
    // With pivot 1e-12 the arctangent would give an angle far from pi/4 (atan(2000) / 2).
    const std::vector<Case> cases = {
        {"equal", 0.0, true},
        {"just below 1e-15", std::nextafter(1e-15, 0.0), true},
        {"just above -1e-15", -std::nextafter(1e-15, 0.0), true},
        {"exactly 1e-15", 1e-15, false},
        {"exactly -1e-15", -1e-15, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const Matrix a = {{0.0, 1e-12}, {1e-12, k.qq}};
        const EigenDecomposition e = eig_of(a);
        ASSERT_EQ(e.rotations, 1u);
        EXPECT_TRUE(matches_reference(e, reference_jacobi(a)));
        std::vector<double> magnitudes;
        for (double x : e.eigenvectors) magnitudes.push_back(std::fabs(x));
        std::sort(magnitudes.begin(), magnitudes.end());
        EXPECT_EQ(same_bits(magnitudes, {s, s, c, c}), k.quarter_turn);
    }
}

TEST(JacobiEig, EqualLargestMagnitudesPickTheEarliestEntry) {
    const std::vector<std::pair<const char*, Matrix>> cases = {
        {"tie across rows", {{1, 0.5, 0.2}, {0.5, 2, -0.5}, {0.2, -0.5, 4}}},
        {"tie within a row", {{1, -0.7, 0.7}, {-0.7, 2, 0.1}, {0.7, 0.1, 4}}},
        {"three-way tie", {{3, 0.25, 0.25, 0.0}, {0.25, 1, 0.0, 0.25}, {0.25, 0.0, 2, 0.1}, {0.0, 0.25, 0.1, 5}}},
    };
    for (const auto& [name, a] : cases) {
        SCOPED_TRACE(name);
        const EigenDecomposition e = eig_of(a);
        EXPECT_TRUE(matches_reference(e, reference_jacobi(a, 500, Ties::Earliest)));
        // The input must actually be sensitive to which tied entry goes first.
        const ReferenceJacobi later = reference_jacobi(a, 500, Ties::Latest);
        EXPECT_FALSE(same_bits(e.eigenvectors, later.vectors) && same_bits(e.eigenvalues, later.values));
    }
}

enum class Fill { Uniform, SmallIntegers, Sparse, Signs };

// Small integers produce many equal magnitudes; sparse fills leave whole rows at zero;
// signs on a constant diagonal make quarter turns that keep producing exact ties.
Matrix random_fill(std::size_t n, std::uint64_t seed, bool symmetric, Fill fill) {
    Matrix m = random_matrix(n, seed, symmetric);
    std::mt19937_64 gen(seed ^ 0x5eed);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            if (symmetric && j < i) {
                m[i][j] = m[j][i];
                continue;
            }
            if (fill == Fill::SmallIntegers) m[i][j] = static_cast<double>(static_cast<int>(gen() % 5) - 2);
            if (fill == Fill::Sparse && gen() % 4 != 0) m[i][j] = 0.0;
            if (fill == Fill::Signs) m[i][j] = i == j ? 1.0 : static_cast<double>(static_cast<int>(gen() % 3) - 1);
        }
    return m;
}

TEST(JacobiEig, TieCreatedByARotationPicksTheEarliestEntry) {
    // The first pivot (2,4) has equal diagonal entries, so it is a quarter turn; it turns
    // one of row 0's entries at columns 2 and 4 into exactly the value x already standing
    // at column 3, and x is then the largest entry of the matrix.
    const double c = std::cos(0.7853981633974483);
    const double s = std::sin(0.7853981633974483);
    const double x = 0.6 * c + 0.6 * s;
    struct Case {
        const char* name;
        double m04;
        std::size_t second_pivot_column;
        std::size_t other_tied_column;
    };
    const std::vector<Case> cases = {
        {"new tie before the old maximum wins", -0.6, 2, 3},
        {"new tie after the old maximum loses", 0.6, 3, 4},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const Matrix a = {{3, 0, 0.6, x, k.m04},
                          {0, 5, 0, 0, 0},
                          {0.6, 0, 2, 0, 1},
                          {x, 0, 0, 7, 0},
                          {k.m04, 0, 1, 0, 2}};
        // The scenario holds: after one turn row 0 has x at two columns.
        const double new_p = 0.6 * c - k.m04 * s;
        const double new_q = k.m04 * c + 0.6 * s;
        ASSERT_EQ(std::max(std::fabs(new_p), std::fabs(new_q)), x);
        // ... and the second turn is (0, second_pivot_column), not the other tied entry.
        const ReferenceJacobi two = reference_jacobi(a, 2);
        EXPECT_NE(two.v[0][k.second_pivot_column], 0.0);
        EXPECT_EQ(two.v[0][k.other_tied_column], 0.0);

        EXPECT_TRUE(matches_reference(eig_of(a), reference_jacobi(a)));
    }
}

TEST(JacobiEig, MatchesPlainTranscriptionOnRandomMatrices) {
    // Sizes from 40 up stop at the rotation limit.
    for (std::size_t n : {2u, 3u, 4u, 6u, 9u, 17u, 40u, 64u}) {
        for (std::uint64_t seed = 0; seed < (n < 40 ? 5u : 2u); ++seed) {
            for (Fill fill : {Fill::Uniform, Fill::SmallIntegers, Fill::Sparse, Fill::Signs}) {
                for (bool symmetric : {true, false}) {
                    SCOPED_TRACE("n=" + std::to_string(n) + " seed=" + std::to_string(seed) + " fill=" +
                                 std::to_string(static_cast<int>(fill)) + (symmetric ? " symmetric" : " non-symmetric"));
                    const Matrix a = random_fill(n, seed * 31 + n, symmetric, fill);
                    EXPECT_TRUE(matches_reference(eig_of(a), reference_jacobi(a)));
                }
            }
        }
    }
}

TEST(JacobiEig, InputIsNotModified) {
    const std::vector<double> a = flatten(random_matrix(5, 9, true));
    const std::vector<double> before = a;
    const EigenDecomposition e = jacobi_eig(a, 5);
    EXPECT_GT(e.rotations, 0u);
    EXPECT_TRUE(same_bits(a, before));
}

TEST(JacobiEig, ConvergedResultIsAnEigenDecomposition) {
    for (std::size_t n : {2u, 3u, 5u, 8u, 12u}) {
        for (std::uint64_t seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE("n=" + std::to_string(n) + " seed=" + std::to_string(seed));
            const Matrix a = random_matrix(n, 500 + seed * 17 + n, true, -3.0, 3.0);
            const EigenDecomposition e = eig_of(a);
            ASSERT_LT(e.rotations, 500u);
            for (std::size_t k = 0; k + 1 < n; ++k) EXPECT_GE(e.eigenvalues[k], e.eigenvalues[k + 1]);
            for (std::size_t k = 0; k < n; ++k) {
                // A v = lambda v and the columns are orthonormal.
                for (std::size_t i = 0; i < n; ++i) {
                    double av = 0.0;
                    for (std::size_t j = 0; j < n; ++j) av += a[i][j] * e.eigenvectors[j * n + k];
                    EXPECT_NEAR(av, e.eigenvalues[k] * e.eigenvectors[i * n + k], 1e-11);
                }
                for (std::size_t l = 0; l < n; ++l) {
                    double dot = 0.0;
                    for (std::size_t i = 0; i < n; ++i) dot += e.eigenvectors[i * n + k] * e.eigenvectors[i * n + l];
                    EXPECT_NEAR(dot, k == l ? 1.0 : 0.0, 1e-13);
                }
            }
        }
    }
}

TEST(JacobiEig, StopsAfterExactly500Rotations) {
    const Matrix a = random_matrix(40, 2024, true);
    // Unbounded, this matrix needs far more than 500 rotations.
    EXPECT_GT(reference_jacobi(a, 100000).rotations, 500u);
    const EigenDecomposition e = eig_of(a);
    EXPECT_EQ(e.rotations, 500u);
    EXPECT_TRUE(matches_reference(e, reference_jacobi(a, 500)));
    // The current diagonal is sorted as it stands.
    EXPECT_TRUE(std::is_sorted(e.eigenvalues.begin(), e.eigenvalues.end(), std::greater<double>()));
    // One rotation more or less would give different bits.
    EXPECT_FALSE(same_bits(e.eigenvalues, reference_jacobi(a, 499).values));
    EXPECT_FALSE(same_bits(e.eigenvalues, reference_jacobi(a, 501).values));
}

// Every output column must be the accumulated vector of the diagonal entry reported with it.
::testing::AssertionResult consistently_paired(const EigenDecomposition& e, const ReferenceJacobi& ref) {
    const std::size_t n = ref.diagonal.size();
    std::vector<bool> used(n, false);
    for (std::size_t k = 0; k < n; ++k) {
        bool found = false;
        for (std::size_t i = 0; i < n && !found; ++i) {
            if (used[i] || bits_of(ref.diagonal[i]) != bits_of(e.eigenvalues[k])) continue;
            bool column_matches = true;
            for (std::size_t r = 0; r < n; ++r)
                column_matches = column_matches && bits_of(ref.v[r][i]) == bits_of(e.eigenvectors[r * n + k]);
            if (column_matches) used[i] = found = true;
        }
        if (!found) return ::testing::AssertionFailure() << "eigenpair " << k << " matches no diagonal entry";
    }
    return ::testing::AssertionSuccess();
}

TEST(JacobiEig, NaNInputTerminates) {
    Matrix big = random_matrix(8, 99, true);
    big[2][5] = kNaN;
    big[5][2] = kNaN;
    const std::vector<std::pair<const char*, Matrix>> cases = {
        {"all NaN: never a pivot", {{kNaN, kNaN, kNaN}, {kNaN, kNaN, kNaN}, {kNaN, kNaN, kNaN}}},
        {"NaN on the diagonal", {{kNaN, 1}, {1, 2}}},
        {"NaN off the diagonal", {{1, kNaN, 0.5}, {kNaN, 2, 0.25}, {0.5, 0.25, 3}}},
        {"NaN among finite values", big},
        {"NaN among sortable values", {{1, 0, 0, 0}, {0, kNaN, 0, 0}, {0, 0, 3, 0}, {0, 0, 0, 2}}},
        {"infinite diagonal", {{kInf, 1, 0}, {1, 0, 1}, {0, 1, -kInf}}},
        {"infinite off-diagonal", {{1, kInf, 0.5, 0.1}, {kInf, 2, 0.3, 0.2}, {0.5, 0.3, 3, 0.7}, {0.1, 0.2, 0.7, 4}}},
    };
    for (const auto& [name, a] : cases) {
        SCOPED_TRACE(name);
        const EigenDecomposition e = eig_of(a);
        const ReferenceJacobi ref = reference_jacobi(a);
        EXPECT_LE(e.rotations, 500u);
        EXPECT_EQ(e.rotations, ref.rotations);
        EXPECT_EQ(e.eigenvalues.size(), a.size());
        EXPECT_TRUE(consistently_paired(e, ref));
    }
    EXPECT_EQ(eig_of(cases[0].second).rotations, 0u);
}

// A NaN in a long row must not hide the row's largest entry, wherever the two fall in the row:
// the first pivot decides the whole sequence of rotations.
TEST(JacobiEig, NaNInALongRowLeavesItsLargestEntryThePivot) {
    for (std::size_t n : {12u, 19u, 33u})
        for (std::size_t big = 1; big < n; big += 3)
            for (std::size_t gap : {2u, 8u, 16u}) {
                Matrix a = random_matrix(n, 7 * n + big, true, -0.1, 0.1);
                const std::size_t nan_col = big + gap < n ? big + gap : 1 + (big + gap) % (n - 1);
                if (nan_col == big) continue;
                a[0][big] = a[big][0] = 10.0;
                a[0][nan_col] = a[nan_col][0] = kNaN;
                SCOPED_TRACE("n " + std::to_string(n) + " largest at " + std::to_string(big) + " NaN at " +
                             std::to_string(nan_col));
                const EigenDecomposition e = eig_of(a);
                const ReferenceJacobi ref = reference_jacobi(a);
                EXPECT_EQ(e.rotations, ref.rotations);
                EXPECT_TRUE(consistently_paired(e, ref));
            }
}

// ---------------------------------------------------------------------------------------
// Stress and classical scaling

std::string fatal_message(const std::function<void()>& call) {
    try {
        call();
    } catch (const FatalError& err) {
        return err.what();
    }
    return "<no FatalError>";
}

TEST(ClassicalMds, RejectsUnsupportedDimensionsAndTooFewNodes) {
    const std::string bad_d = "Only d=2 and d=3 are supported";
    const std::string few = "Need at least d+1 nodes to reconstruct in d dimensions";
    struct Case {
        std::uint64_t n, d;
        std::string message;
    };
    const std::vector<Case> cases = {
        {10, 4, bad_d}, {10, 0, bad_d}, {10, 1, bad_d}, {0, 7, bad_d},  // d is checked first
        {3, 3, few},    {0, 2, few},    {2, 2, few},    {1, 3, few},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n) + " d=" + std::to_string(c.d));
        const std::vector<double> dist(c.n * c.n, 1.0);
        EXPECT_EQ(fatal_message([&] { classical_mds(dist, c.n, c.d, 1e-6); }), c.message);
    }
    EXPECT_NO_THROW(classical_mds(std::vector<double>(9, 1.0), 3, 2, 1e-6));
    EXPECT_NO_THROW(classical_mds(std::vector<double>(16, 1.0), 4, 3, 1e-6));
}

double distance(const std::vector<double>& coords, std::size_t d, std::size_t i, std::size_t j) {
    double s = 0.0;
    for (std::size_t k = 0; k < d; ++k) s += (coords[i * d + k] - coords[j * d + k]) * (coords[i * d + k] - coords[j * d + k]);
    return std::sqrt(s);
}

TEST(ClassicalMds, EquilateralTriangle) {
    const Matrix d = {{0, 1, 1}, {1, 0, 1}, {1, 1, 0}};
    EXPECT_EQ(eig_of(reference_gram(d)).rotations, 2u);
    const auto r = classical_mds(flatten(d), 3, 2, 1e-6);
    ASSERT_EQ(r.eigenvalues.size(), 2u);
    EXPECT_NEAR(r.eigenvalues[0], 0.5, 1e-15);
    EXPECT_NEAR(r.eigenvalues[1], 0.5, 1e-15);
    // Orientation and signs follow from the rotation rules.
    const std::vector<double> expected = {0.5, -0.28867513459481287, -0.5, -0.28867513459481287, 0.0, 0.5773502691896258};
    ASSERT_EQ(r.coords.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(r.coords[i], expected[i], 1e-15) << i;
    EXPECT_LT(r.stress, 1e-15);
    EXPECT_TRUE(r.is_isometric);
}

TEST(ClassicalMds, RightTriangleIsRecoveredUpToIsometry) {
    // Points (0,0), (3,0), (0,4).
    const Matrix d = {{0, 3, 4}, {3, 0, 5}, {4, 5, 0}};
    const auto r = classical_mds(flatten(d), 3, 2, 1e-6);
    EXPECT_LT(r.stress, 1e-15);
    EXPECT_TRUE(r.is_isometric);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(distance(r.coords, 2, i, j), d[i][j], 1e-13);
}

TEST(ClassicalMds, ZeroMatrix) {
    const std::vector<double> zero(9, 0.0);
    const auto r = classical_mds(zero, 3, 2, 1e-6);
    // Gram entries are -0.0, so the eigenvalues are too; their columns are +0.0.
    EXPECT_TRUE(same_bits(r.eigenvalues, {-0.0, -0.0}));
    EXPECT_TRUE(same_bits(r.coords, std::vector<double>(6, 0.0)));
    EXPECT_EQ(bits_of(r.stress), bits_of(0.0));
    EXPECT_TRUE(r.is_isometric);
    EXPECT_FALSE(classical_mds(zero, 3, 2, 0.0).is_isometric);
}

TEST(ClassicalMds, NonMetricInput) {
    const Matrix d = {{0, 1, 5}, {1, 0, 1}, {5, 1, 0}};
    const auto r = classical_mds(flatten(d), 3, 2, 1e-6);
    EXPECT_NEAR(r.eigenvalues[0], 12.5, 1e-13);
    EXPECT_NEAR(r.eigenvalues[1], 0.0, 1e-13);
    // The second eigenvalue is reported unclamped but contributes a zero column.
    EXPECT_LE(r.eigenvalues[1], 0.0);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(r.coords[i * 2 + 1], 0.0);
    EXPECT_NEAR(std::fabs(r.coords[0]), 2.5, 1e-13);
    EXPECT_NEAR(r.coords[2], 0.0, 1e-13);
    EXPECT_NEAR(r.coords[4], -r.coords[0], 1e-13);
    EXPECT_NEAR(r.stress, std::sqrt(4.5 / 27.0), 1e-15);
    EXPECT_FALSE(r.is_isometric);
}

TEST(ClassicalMds, IsometryFlagIsAStrictComparison) {
    const std::vector<double> d = flatten({{0, 1, 5}, {1, 0, 1}, {5, 1, 0}});
    const double stress = classical_mds(d, 3, 2, 1e-6).stress;
    EXPECT_FALSE(classical_mds(d, 3, 2, stress).is_isometric);
    EXPECT_TRUE(classical_mds(d, 3, 2, std::nextafter(stress, 1.0)).is_isometric);
    EXPECT_FALSE(classical_mds(d, 3, 2, kNaN).is_isometric);
    EXPECT_FALSE(classical_mds(d, 3, 2, -1.0).is_isometric);
}

TEST(ClassicalMds, UsesTheSharedGramAndEigenRoutines) {
    const std::size_t n = 7;
    const Matrix d = random_matrix(n, 31337, false, 0.0, 2.0);
    const std::vector<double> flat = flatten(d);
    const EigenDecomposition e = jacobi_eig(gram_matrix(contiguous_view(flat, n)), n);
    for (std::uint64_t dim : {2u, 3u}) {
        const auto r = classical_mds(flat, n, dim, 1e-6);
        EXPECT_TRUE(same_bits(r.eigenvalues, std::vector<double>(e.eigenvalues.begin(), e.eigenvalues.begin() + dim)));
        EXPECT_EQ(bits_of(r.stress), bits_of(kruskal_stress(flat, n, r.coords, dim)));
    }
}

TEST(ClassicalMds, RecoversDistancesOfRandomFrameworks) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (std::size_t dim : {2u, 3u}) {
        for (std::size_t n : {4u, 5u, 8u, 12u}) {
            SCOPED_TRACE("d=" + std::to_string(dim) + " n=" + std::to_string(n));
            std::vector<double> points(n * dim);
            for (double& x : points) x = 10.0 * unit(gen);
            std::vector<double> dist(n * n);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) dist[i * n + j] = distance(points, dim, i, j);
            const auto r = classical_mds(dist, n, dim, 1e-6);
            EXPECT_LT(r.stress, 1e-6);
            EXPECT_TRUE(r.is_isometric);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(distance(r.coords, dim, i, j), dist[i * n + j], 1e-8);
        }
    }
}

TEST(KruskalStress, FollowsTheDocumentedSum) {
    // Points on a line at 0, 1, 3 against target distances 1, 2, 4 (upper triangle).
    const std::vector<double> coords = {0, 0, 1, 0, 3, 0};
    const std::vector<double> dist = {0, 1, 2, 1, 0, 4, 2, 4, 0};
    // Errors 0, -1, 2 over squared distances 1, 4, 16.
    EXPECT_EQ(kruskal_stress(dist, 3, coords, 2), std::sqrt(5.0 / 21.0));
    // Exact reproduction gives exactly zero.
    const std::vector<double> exact = {0, 1, 3, 1, 0, 2, 3, 2, 0};
    EXPECT_EQ(bits_of(kruskal_stress(exact, 3, coords, 2)), bits_of(0.0));
}

TEST(KruskalStress, ReadsOnlyTheUpperTriangle) {
    const std::vector<double> coords = {0, 0, 3, 0, 0, 4};
    const std::vector<double> upper = {0, 3, 4, kNaN, 0, 5, kNaN, -1e300, 0};
    EXPECT_EQ(kruskal_stress(upper, 3, coords, 2), 0.0);
    const std::vector<double> bad_upper = {kNaN, 3, kNaN, 3, 0, 5, 4, 5, 0};
    EXPECT_TRUE(std::isnan(kruskal_stress(bad_upper, 3, coords, 2)));
}

TEST(KruskalStress, TinyTotalGivesExactZero) {
    // All points coincide, so every error equals its distance and unguarded stress is 1.
    const std::vector<double> coords(6, 0.0);
    const double a = 3.162277660168379e-08;
    const double b = 4.440892098500626e-16;
    ASSERT_EQ((0.0 + a * a) + b * b, 1e-15);
    ASSERT_LT(a * a, 1e-15);
    struct Case {
        const char* name;
        double d01, d02;
        double expected;
    };
    const std::vector<Case> cases = {
        {"total exactly 1e-15 is divided", a, b, 1.0},
        {"total one step below 1e-15 is guarded", a, 0.0, 0.0},
        {"all zero is guarded", 0.0, 0.0, 0.0},
        {"negative distances square to a tiny total", -3e-8, 0.0, 0.0},
        {"ordinary total", 2.0, 0.0, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> dist = {0, c.d01, c.d02, c.d01, 0, 0, c.d02, 0, 0};
        EXPECT_EQ(bits_of(kruskal_stress(dist, 3, coords, 2)), bits_of(c.expected));
    }
    EXPECT_EQ(bits_of(kruskal_stress({}, 0, {}, 2)), bits_of(0.0));
    EXPECT_EQ(bits_of(kruskal_stress({5.0}, 1, {1.0, 2.0}, 2)), bits_of(0.0));
}

}  // namespace
