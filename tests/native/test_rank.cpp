// The incremental rank checker under both pivot rules.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "base/errors.hpp"
#include "elimination/rank.hpp"

using namespace telvora;

namespace {
const double nan_value = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(RankChecker, EliminationAndBackSubstitution) {
    IncrementalRankChecker checker(4, 1e-9);
    EXPECT_TRUE(checker.add_row({1, 2, 0, 0}));
    EXPECT_EQ(checker.rank(), 1u);
    EXPECT_FALSE(checker.add_row({2, 4, 0, 0}));
    EXPECT_EQ(checker.rank(), 1u);
    EXPECT_TRUE(checker.add_row({0, 1, 1, 0}));
    EXPECT_EQ(checker.rank(), 2u);
    EXPECT_EQ(checker.pivot_cols(), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(checker.stored_rows()[0], (std::vector<double>{1, 0, -2, 0}));
    EXPECT_EQ(checker.stored_rows()[1], (std::vector<double>{0, 1, 1, 0}));
    EXPECT_TRUE(checker.add_row({0, 1, 1, 0.5}));
    EXPECT_FALSE(checker.broke_down());
}

TEST(RankChecker, FirstColumnAboveToleranceIsThePivot) {
    struct Case {
        std::vector<double> row;
        std::uint64_t pivot;
        std::vector<double> stored;
    };
    for (const Case& c : {Case{{0, 3, 0, 6}, 1, {0, 1, 0, 2}}, Case{{1e-9, 5, 0, 0}, 1, {1e-9 / 5, 1, 0, 0}},
                          Case{{0.5, 100, 0, 0}, 0, {1, 200, 0, 0}}}) {
        IncrementalRankChecker checker(4, 1e-9);
        EXPECT_TRUE(checker.add_row(c.row));
        EXPECT_EQ(checker.pivot_cols()[0], c.pivot);
        EXPECT_EQ(checker.stored_rows()[0], c.stored);
    }
}

TEST(RankChecker, LargestMagnitudeRuleForTheRetry) {
    IncrementalRankChecker checker(4, 1e-9, PivotRule::LargestMagnitude);
    EXPECT_TRUE(checker.add_row({0.5, -100, 100, 0}));  // ties go to the first column
    EXPECT_EQ(checker.pivot_cols()[0], 1u);
    EXPECT_EQ(checker.stored_rows()[0], (std::vector<double>{0.5 / -100, 1, -1, -0.0}));
    EXPECT_TRUE(checker.add_row({nan_value, 1, 0, 3}));  // NaN is never a pivot
    EXPECT_EQ(checker.pivot_cols()[1], 3u);
    IncrementalRankChecker tiny(3, 1e-9, PivotRule::LargestMagnitude);
    EXPECT_FALSE(tiny.add_row({1e-9, -1e-9, 0}));
}

TEST(RankChecker, DependentRowsAndTolerances) {
    IncrementalRankChecker zero(4, 1e-9);
    EXPECT_FALSE(zero.add_row({0, 0, 0, 0}));
    EXPECT_FALSE(zero.add_row({1e-9, -1e-9, 0, 1e-10}));
    EXPECT_TRUE(zero.add_row({1, 1, 1, 1}));
    EXPECT_FALSE(zero.add_row({1, 1, 1, 1}));

    IncrementalRankChecker exact(2, 0.0);
    EXPECT_TRUE(exact.add_row({1e-300, 0}));

    IncrementalRankChecker never(2, nan_value);
    EXPECT_FALSE(never.add_row({1, 0}));
    EXPECT_EQ(never.rank(), 0u);
}

TEST(RankChecker, WrongLengthIsFatalWithItsMessage) {
    IncrementalRankChecker checker(4, 1e-9);
    try {
        checker.add_row({1, 2, 3});
        FAIL();
    } catch (const FatalError& error) {
        EXPECT_STREQ(error.what(), "Row length 3 does not match ncols 4");
    }
}

TEST(RankChecker, NonFiniteValuesAreReportedAsBreakdown) {
    IncrementalRankChecker overflow(2, 1e-9);
    EXPECT_TRUE(overflow.add_row({1e-5, 1e305}));  // normalising overflows to infinity
    EXPECT_TRUE(overflow.broke_down());

    IncrementalRankChecker infinite(2, 1e-9);
    EXPECT_TRUE(infinite.add_row({inf, 1}));
    EXPECT_TRUE(infinite.broke_down());

    IncrementalRankChecker fine(2, 1e-9);
    EXPECT_TRUE(fine.add_row({1, 1}));
    EXPECT_FALSE(fine.add_row({2, 2}));
    EXPECT_FALSE(fine.broke_down());
}
