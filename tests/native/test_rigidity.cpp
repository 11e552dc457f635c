// Rigidity-matrix rows and the largest possible rank.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "base/errors.hpp"
#include "frameworks/rigidity.hpp"

using namespace telvora;

TEST(RigidityRow, DenseRowWithTheTwoNodeBlocks) {
    const NodeList nodes{{{0, 0}}, {{1, 0}}, {{3, 4}}};
    const RigidityRow row(nodes, 0, 2);
    EXPECT_EQ(row.entries, (std::vector<double>{-3, -4, 0, 0, 3, 4}));
}

TEST(RigidityRow, ZeroDifferenceGivesNegativeZeroInTheSecondBlock) {
    const NodeList nodes{{{2, 5, 1}}, {{2, 1, 1}}};
    const RigidityRow row(nodes, 0, 1);
    EXPECT_EQ(row.entries, (std::vector<double>{0, 4, 0, -0.0, -4, -0.0}));
    EXPECT_FALSE(std::signbit(row.entries[0]));
    EXPECT_TRUE(std::signbit(row.entries[3]));
    EXPECT_TRUE(std::signbit(row.entries[5]));
}

TEST(RigidityRow, MismatchedDimensionsAreFatal) {
    const NodeList nodes{{{0, 0}}, {{1, 0, 0}}};
    EXPECT_THROW(RigidityRow(nodes, 0, 1), FatalError);
}

// Writing the entries in their order over zeros spells out the dense row, signs of zeros included.
TEST(RigidityRow, EntriesSpellOutTheDenseRow) {
    const double inf = std::numeric_limits<double>::infinity();
    const NodeList nodes{{{2, 5, 1}}, {{2, 1, 1}}, {{inf, -3, 0.5}}, {{inf, 1e308, -1e308}}};
    std::vector<std::uint64_t> columns;
    std::vector<double> values;
    for (std::uint64_t i = 0; i < nodes.size(); ++i)
        for (std::uint64_t j = 0; j < nodes.size(); ++j) {
            rigidity_entries(nodes, i, j, columns, values);
            ASSERT_EQ(columns.size(), 6u);
            ASSERT_EQ(values.size(), 6u);
            std::vector<double> dense(12, 0.0);
            for (std::size_t e = 0; e < columns.size(); ++e) dense[columns[e]] = values[e];
            const RigidityRow row(nodes, i, j);
            for (std::size_t k = 0; k < dense.size(); ++k)
                ASSERT_EQ(std::bit_cast<std::uint64_t>(dense[k]), std::bit_cast<std::uint64_t>(row.entries[k]))
                    << i << " " << j << " column " << k;
        }
    const NodeList mixed{{{0, 0}}, {{1, 0, 0}}};
    EXPECT_THROW(rigidity_entries(mixed, 0, 1, columns, values), FatalError);
}

TEST(MaxRank, FormulaAndChosenEdges) {
    EXPECT_EQ(max_rank(3, 2), 3u);
    EXPECT_EQ(max_rank(4, 2), 5u);
    EXPECT_EQ(max_rank(4, 3), 6u);
    EXPECT_EQ(max_rank(10, 3), 24u);
    EXPECT_EQ(max_rank(2, 3), 1u);  // one bar between two points
    EXPECT_EQ(max_rank(3, 4), 3u);
    EXPECT_EQ(max_rank(1, 3), 0u);
    EXPECT_EQ(max_rank(1, 2), 0u);
    EXPECT_EQ(max_rank(0, 0), 0u);
    EXPECT_EQ(max_rank(1, 1), 0u);
    // Fewer points than dimensions: every pair; from n = d on the formula, the two meeting at d and d + 1.
    for (std::uint64_t d = 1; d <= 8; ++d)
        for (std::uint64_t n = 0; n <= d + 3; ++n) {
            const std::uint64_t pairs = n * (n - (n > 0)) / 2;
            EXPECT_EQ(max_rank(n, d), n < d ? pairs : n * d - d * (d + 1) / 2) << n << " " << d;
            if (n <= d + 1) {
                EXPECT_EQ(max_rank(n, d), pairs) << n << " " << d;
            }
        }
    EXPECT_EQ(max_rank(std::uint64_t{1} << 62, 2), (std::uint64_t{1} << 63) - 3);
    EXPECT_THROW(max_rank(std::uint64_t{1} << 62, 4), std::overflow_error);
    EXPECT_THROW(max_rank(1, std::uint64_t{1} << 32), std::overflow_error);
    EXPECT_THROW(max_rank(0, ~std::uint64_t{0}), std::overflow_error);
}
