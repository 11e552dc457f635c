// The recorded sweep against the game's own components after every edge, and its snapshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pebble/component_pebble.hpp"
#include "base/errors.hpp"
#include "pebble/rigidity_sweep.hpp"

using namespace telvora;

namespace {

struct Counts {
    std::uint64_t k, l;
};

class SweepAgainstComponents : public ::testing::TestWithParam<Counts> {};

// After every edge: the largest component and the number of components of two or more vertices
// as the full list of components gives them (which filters nothing left nested), on multigraphs
// with loops dense enough for components to merge and to be taken whole.
TEST_P(SweepAgainstComponents, EveryStep) {
    const auto [k, l] = GetParam();
    std::mt19937_64 rng(31 * k + l);
    for (int trial = 0; trial < 30; ++trial) {
        const std::uint64_t n = 2 + rng() % 120;
        const std::uint64_t m = rng() % (k * n + n);
        std::vector<Edge> edges;
        for (std::uint64_t e = 0; e < m; ++e) {
            const std::uint64_t a = rng() % n;
            edges.push_back(Edge{a, rng() % 40 == 0 ? a : rng() % n});
        }
        const std::vector<std::uint64_t> steps = {m, 0, m / 2, m / 2};
        const SweepOutcome sweep = play_rigidity_sweep(n, k, l, edges, steps);
        ComponentPebbleGame game(n, k, l);
        for (std::size_t e = 0; e < edges.size(); ++e) {
            ASSERT_EQ(sweep.labels[e], game.add_edge(edges[e].i, edges[e].j) ? 1 : 0);
            const auto components = game.components();
            std::int64_t largest = 0, multi = 0;
            for (const auto& c : components) {
                largest = std::max<std::int64_t>(largest, static_cast<std::int64_t>(c.size()));
                multi += c.size() >= 2;
            }
            ASSERT_EQ(sweep.largest[e], largest) << "trial " << trial << " edge " << e;
            ASSERT_EQ(sweep.components[e], multi) << "trial " << trial << " edge " << e;
        }
        // Snapshots in the order asked, each as play_sparsity_game gives the prefix's components.
        ASSERT_EQ(sweep.snapshot_offsets.size(), steps.size() + 1);
        for (std::size_t s = 0; s < steps.size(); ++s) {
            const std::vector<Edge> prefix(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(steps[s]));
            const auto expected = play_sparsity_game(n, k, l, prefix).components;
            std::vector<std::vector<std::uint64_t>> got;
            for (std::int64_t row = sweep.snapshot_offsets[s]; row < sweep.snapshot_offsets[s + 1]; ++row) {
                const auto c = static_cast<std::size_t>(sweep.snapshot_pairs[2 * row]);
                if (c == got.size()) got.emplace_back();
                ASSERT_EQ(c + 1, got.size());
                got.back().push_back(static_cast<std::uint64_t>(sweep.snapshot_pairs[2 * row + 1]));
            }
            ASSERT_EQ(got, expected) << "trial " << trial << " snapshot " << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, SweepAgainstComponents,
                         ::testing::Values(Counts{2, 3}, Counts{1, 1}, Counts{2, 2}, Counts{3, 3}, Counts{3, 5},
                                           Counts{6, 6}, Counts{2, 1}, Counts{2, 0}),
                         [](const auto& info) {
                             std::string name = "k";
                             name += std::to_string(info.param.k);
                             name += "l";
                             name += std::to_string(info.param.l);
                             return name;
                         });

// Vertices without edges are only counted: a graph of 2^40 vertices and three edges is swept on
// its edges' ends, and snapshots name the given vertices.
TEST(RigiditySweep, IsolatedVerticesAreOnlyCounted) {
    const std::uint64_t far = std::uint64_t{1} << 39;
    const std::vector<Edge> edges = {{5, far}, {far, 7}, {7, 5}};
    const SweepOutcome sweep = play_rigidity_sweep(std::uint64_t{1} << 40, 2, 3, edges, {3});
    EXPECT_EQ(sweep.largest, (std::vector<std::int64_t>{2, 2, 3}));
    EXPECT_EQ(sweep.components, (std::vector<std::int64_t>{1, 2, 1}));
    EXPECT_EQ(sweep.snapshot_pairs, (std::vector<std::int64_t>{0, 5, 0, 7, 0, static_cast<std::int64_t>(far)}));
}

TEST(RigiditySweep, Refusals) {
    const std::vector<Edge> edges = {{0, 1}, {1, 2}};
    EXPECT_THROW(play_rigidity_sweep(3, 2, 3, edges, {3}), InvalidInput);
    EXPECT_THROW(play_rigidity_sweep(2, 2, 3, edges, {}), InvalidInput);
    EXPECT_THROW(play_rigidity_sweep(3, 2, 4, edges, {}), InvalidInput);
    EXPECT_THROW(play_rigidity_sweep(3, std::uint64_t{1} << 30, 0, edges, {}), InvalidInput);
    EXPECT_NO_THROW(play_rigidity_sweep(3, 2, 3, edges, {0, 2, 2}));
}

}  // namespace
