// The seeded generator and random frameworks.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "base/random.hpp"

using namespace telvora;

TEST(Lcg64, TableOfDrawsIsBitExact) {
    struct Case {
        std::uint64_t seed;
        std::vector<double> draws;
    };
    for (const Case& c : {Case{0,
                               {0.3910432733574517, 0.5084937998346272, 3.026616613619639, 2.0060810172013195,
                                1.918128983098578, 2.8042981663728828}},
                          Case{1, {2.116045854547072, 2.5470372132368007}},
                          Case{42, {2.841151632098749, 1.1273171429353108}}}) {
        Lcg64 rng(c.seed);
        for (double expected : c.draws) EXPECT_EQ(std::bit_cast<std::uint64_t>(rng.next_coordinate()),
                                                  std::bit_cast<std::uint64_t>(expected));
    }
}

TEST(Lcg64, StateWrapsAndStaysInRange) {
    Lcg64 last(~std::uint64_t{0});
    last.next_coordinate();
    EXPECT_EQ(last.state, Lcg64::increment - Lcg64::multiplier);
    Lcg64 rng(12345);
    for (int k = 0; k < 100000; ++k) {
        const double x = rng.next_coordinate();
        ASSERT_GE(x, 0.0);
        ASSERT_LT(x, 5.0);
    }
}

TEST(RandomNodes, DrawOrderIsNodeMajor) {
    for (std::uint64_t d : {2u, 3u}) {
        Lcg64 stream(0);
        std::vector<double> draws;
        for (int k = 0; k < 16; ++k) draws.push_back(stream.next_coordinate());
        Lcg64 rng(0);
        const NodeList nodes = random_nodes(4, d, rng);
        ASSERT_EQ(nodes.size(), 4u);
        for (std::uint64_t i = 0; i < 4; ++i) {
            for (std::uint64_t k = 0; k < d; ++k) EXPECT_EQ(nodes[i].coordinates[k], draws[i * d + k]);
        }
        EXPECT_EQ(rng.next_coordinate(), draws[4 * d]);
    }
    Lcg64 rng(0);
    EXPECT_TRUE(random_nodes(0, 2, rng).empty());
    EXPECT_TRUE(random_nodes(3, 0, rng)[2].coordinates.empty());
    EXPECT_EQ(rng.state, 0u);
}
