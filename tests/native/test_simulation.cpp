// Greedy labelling, the prefix rank of the fast path, the standard simulation and its retry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "base/errors.hpp"
#include "base/random.hpp"
#include "frameworks/rigidity.hpp"
#include "frameworks/simulation.hpp"

#include "support.hpp"

using namespace telvora;
using testing_support::make_nodes;

namespace {

std::vector<std::uint8_t> ones_then_zeros(std::size_t ones, std::size_t total) {
    std::vector<std::uint8_t> labels(total, 0);
    std::fill_n(labels.begin(), ones, 1);
    return labels;
}

}  // namespace

TEST(SimulateNodes, StopsAtFullRankButListsEveryEdge) {
    const NodeList nodes = make_nodes({{0.1, 0.2}, {1.3, 0.1}, {0.4, 1.7}, {2.2, 1.9}});
    const SimulationResult result = simulate_nodes(nodes, 2, 1e-9);
    EXPECT_EQ(result.edges, upper_triangular_edges(4));
    EXPECT_EQ(result.labels, ones_then_zeros(5, 6));
    EXPECT_EQ(result.final_rank, 5u);
    EXPECT_EQ(result.max_rank, 5u);
    EXPECT_TRUE(result.is_rigid);
    EXPECT_EQ(result.distance_matrix, pairwise_distances(nodes));
}

TEST(SimulateNodes, CollinearAndDegenerateFrameworks) {
    struct Case {
        std::vector<std::vector<double>> points;
        std::uint64_t d;
        std::vector<std::uint8_t> labels;
        std::uint64_t rank;
    };
    for (const Case& c : {
             Case{{{0, 0}, {1, 0}, {2, 0}}, 2, {1, 1, 0}, 2},
             Case{{{0, 0}, {1, 0}, {2, 0}, {0, 1}}, 2, {1, 1, 1, 0, 1, 1}, 5},
             Case{{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 3, {1, 1, 1, 1, 0, 1, 1, 1, 1, 1}, 9},
             Case{{{1, 1}, {1, 1}, {1, 1}}, 2, {0, 0, 0}, 0},
         }) {
        const SimulationResult result = simulate_nodes(make_nodes(c.points), c.d, 1e-9);
        EXPECT_EQ(result.labels, c.labels);
        EXPECT_EQ(result.final_rank, c.rank);
        std::vector<Edge> expected;
        for (std::size_t k = 0; k < result.edges.size(); ++k)
            if (c.labels[k]) expected.push_back(result.edges[k]);
        EXPECT_EQ(result.accepted_edges, expected);
    }
}

TEST(SimulateNodes, SingleNodeAndFatalChecks) {
    const SimulationResult one = simulate_nodes(make_nodes({{0.5, 0.5}}), 2, 1e-9);
    EXPECT_TRUE(one.edges.empty());
    EXPECT_TRUE(one.labels.empty());
    EXPECT_EQ(one.final_rank, 0u);
    EXPECT_EQ(one.max_rank, 0u);
    EXPECT_TRUE(one.is_rigid);
    EXPECT_EQ(one.distance_matrix, std::vector<double>{0.0});
    EXPECT_THROW(simulate_nodes({}, 2, 1e-9), FatalError);
    EXPECT_THROW(simulate_nodes(make_nodes({{0, 0}}), 4, 1e-9), FatalError);
}

TEST(GreedyPass, NeverStopsBeforeTheFirstEdge) {
    // Two nodes in 3-D: max_rank is 0, yet the single edge is still tested.
    const NodeList nodes = make_nodes({{0, 0, 0}, {1, 2, 3}});
    IncrementalRankChecker checker(6, 1e-9);
    const EdgeLabelling pass = greedy_pass(nodes, upper_triangular_edges(2), checker, 0);
    EXPECT_EQ(pass.labels, std::vector<std::uint8_t>{1});
    EXPECT_EQ(checker.rank(), 1u);
}

TEST(PrefixRank, MatchesTheGreedyPassOnItsPrefix) {
    Lcg64 rng(7);
    const NodeList nodes = random_nodes(12, 3, rng);
    const auto edges = upper_triangular_edges(12);
    const std::uint64_t mr = max_rank(12, 3);
    const PrefixRank prefix = prefix_rank(nodes, edges, mr, 1e-9, PivotRule::FirstAboveTolerance);
    EXPECT_EQ(prefix.rank, mr);
    EXPECT_FALSE(prefix.broke_down);
}

// This framework overflows under the first-column pivot: the plain arithmetic loses rank
// although the points are in general position. The retry must label it correctly.
TEST(BreakdownRetry, SeedWhosePlainEliminationOverflows) {
    Lcg64 rng(280);
    const NodeList nodes = random_nodes(60, 3, rng);
    const auto edges = upper_triangular_edges(60);
    const std::uint64_t mr = max_rank(60, 3);
    ASSERT_EQ(mr, 174u);

    const PrefixRank plain = prefix_rank(nodes, edges, mr, 1e-9, PivotRule::FirstAboveTolerance);
    EXPECT_TRUE(plain.broke_down);
    EXPECT_EQ(plain.rank, 167u);
    IncrementalRankChecker plain_checker(180, 1e-9);
    const EdgeLabelling plain_pass = greedy_pass(nodes, edges, plain_checker, mr);
    const auto correct = ones_then_zeros(174, edges.size());
    std::size_t wrong = 0;
    for (std::size_t k = 0; k < edges.size(); ++k) wrong += plain_pass.labels[k] != correct[k];
    EXPECT_EQ(wrong, 14u);

    const PrefixRank retried = prefix_rank(nodes, edges, mr, 1e-9, PivotRule::LargestMagnitude);
    EXPECT_FALSE(retried.broke_down);
    EXPECT_EQ(retried.rank, mr);
    const SimulationResult result = simulate_nodes(nodes, 3, 1e-9);
    EXPECT_EQ(result.labels, correct);
    EXPECT_EQ(result.final_rank, mr);
}

// Seed 166 of 70 points in 3-D (210 columns: the blocked checker) breaks down at the 190th row of
// its prefix. A pass that is retried anyway stops right there, with either checker; asked to go
// on, it reaches full rank with non-finite rows; the retry's answer is the same either way.
TEST(BreakdownRetry, RetriedPassStopsAtItsFirstNonFiniteRow) {
    Lcg64 rng(166);
    const NodeList nodes = random_nodes(70, 3, rng);
    const auto edges = upper_triangular_edges(70);
    const std::uint64_t mr = max_rank(70, 3);
    IncrementalRankChecker literal(210, 1e-9);
    std::size_t tested = 0;
    while (!literal.saw_non_finite_row()) {
        RigidityRow row(nodes, edges[tested].i, edges[tested].j);
        literal.add_row(std::move(row.entries));
        ++tested;
    }
    ASSERT_EQ(tested, 190u);

    const PrefixRank stopped = prefix_rank(nodes, edges, mr, 1e-9, PivotRule::FirstAboveTolerance);
    EXPECT_TRUE(stopped.broke_down);
    EXPECT_EQ(stopped.rank, literal.rank());
    for (const PrefixRank whole : {prefix_rank_with<IncrementalRankChecker>(nodes, edges, mr, 1e-9, PivotRule::FirstAboveTolerance),
                                   prefix_rank_with<BlockedRankChecker>(nodes, edges, mr, 1e-9, PivotRule::FirstAboveTolerance)}) {
        EXPECT_TRUE(whole.broke_down);
        EXPECT_EQ(whole.rank, mr);
    }

    const GreedyOutcome pass = greedy_labelling(nodes, edges, 1e-9, PivotRule::FirstAboveTolerance, mr);
    EXPECT_TRUE(pass.broke_down);
    EXPECT_EQ(pass.final_rank, literal.rank());
    const auto full = greedy_labelling_with<IncrementalRankChecker>(nodes, edges, 1e-9, PivotRule::FirstAboveTolerance, mr);
    const auto& labels = pass.labelling.labels;
    ASSERT_EQ(labels.size(), edges.size());
    EXPECT_TRUE(std::equal(labels.begin(), labels.begin() + 190, full.labelling.labels.begin()));
    EXPECT_TRUE(std::all_of(labels.begin() + 190, labels.end(), [](std::uint8_t label) { return label == 0; }));

    const PrefixRank retried = prefix_rank(nodes, edges, mr, 1e-9, PivotRule::LargestMagnitude);
    EXPECT_FALSE(retried.broke_down);
    EXPECT_EQ(retried.rank, mr);
    EXPECT_EQ(simulate_nodes(nodes, 3, 1e-9).labels, ones_then_zeros(mr, edges.size()));
}

TEST(BreakdownRetry, OnlyForFiniteInputAndSensibleTolerance) {
    const NodeList finite = make_nodes({{0, 0}, {1, 1}});
    const NodeList infinite = make_nodes({{0, std::numeric_limits<double>::infinity()}, {1, 1}});
    EXPECT_TRUE(breakdown_retry_applies(finite, 1e-9));
    EXPECT_TRUE(breakdown_retry_applies(finite, 0.0));
    EXPECT_FALSE(breakdown_retry_applies(infinite, 1e-9));
    EXPECT_FALSE(breakdown_retry_applies(finite, -1e-9));
    EXPECT_FALSE(breakdown_retry_applies(finite, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(breakdown_retry_applies(finite, std::numeric_limits<double>::quiet_NaN()));
}
