// Rigid components: known frameworks, and every vertex subset tested by exact rank on small graphs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "pebble/component_pebble.hpp"
#include "base/errors.hpp"
#include "graphs/graph_rigidity.hpp"
#include "elimination/modular.hpp"
#include "base/random.hpp"
#include "graphs/rigid_components.hpp"

#include "support.hpp"

using namespace telvora;
using testing_support::double_banana;

namespace {

// Rank over the prime field of the rows of the given pairs at integer (or residue) coordinates x,
// and for each pair in `alike` the d rows e_(i,k) - e_(j,k) (every motion moves i and j alike).
std::size_t rank_of(std::uint64_t n, std::uint64_t d, const std::vector<std::uint64_t>& x,
                    const std::vector<Edge>& pairs, const std::vector<Edge>& alike = {}) {
    modular::Echelon echelon;
    echelon.reset(n * d, false);
    for (const Edge& e : pairs) {
        for (std::uint64_t k = 0; k < d; ++k) {
            const std::uint64_t diff = modular::sub(x[e.i * d + k], x[e.j * d + k]);
            echelon.entry(e.i * d + k) = diff;
            echelon.entry(e.j * d + k) = modular::negate(diff);
        }
        echelon.reduce();
    }
    for (const Edge& e : alike)
        for (std::uint64_t k = 0; k < d; ++k) {
            echelon.entry(e.i * d + k) = 1;
            echelon.entry(e.j * d + k) = modular::negate(1);
            echelon.reduce();
        }
    return echelon.rank();
}

bool coincide(std::uint64_t d, const std::vector<std::uint64_t>& x, std::uint64_t a, std::uint64_t b) {
    for (std::uint64_t k = 0; k < d; ++k)
        if (x[a * d + k] != x[b * d + k]) return false;
    return true;
}

// Maximal vertex sets of two or more whose pair rows all lie in the span of the bars' rows.
VertexSets brute_force(std::uint64_t n, std::uint64_t d, const std::vector<std::uint64_t>& x,
                       const std::vector<Edge>& edges) {
    const std::size_t base = rank_of(n, d, x, edges);
    std::vector<std::uint32_t> rigid;
    for (std::uint32_t mask = 1; mask < (1u << n); ++mask) {
        if (__builtin_popcount(mask) < 2) continue;
        // A pair is fixed when its row lies in the bars' span; coincident points, whose row is
        // zero, when every motion moves them alike.
        std::vector<Edge> rows = edges, alike;
        for (std::uint64_t a = 0; a < n; ++a)
            for (std::uint64_t b = a + 1; b < n; ++b)
                if (((mask >> a) & 1u) && ((mask >> b) & 1u)) (coincide(d, x, a, b) ? alike : rows).push_back({a, b});
        if (rank_of(n, d, x, rows, alike) == base) rigid.push_back(mask);
    }
    VertexSets out;
    for (std::uint32_t mask : rigid) {
        if (std::any_of(rigid.begin(), rigid.end(), [&](std::uint32_t o) { return o != mask && (o & mask) == mask; }))
            continue;
        std::vector<std::uint64_t> set;
        for (std::uint64_t v = 0; v < n; ++v)
            if ((mask >> v) & 1u) set.push_back(v);
        out.push_back(set);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Edge> random_edges(std::mt19937_64& rng, std::uint64_t n, std::uint64_t m) {
    std::vector<Edge> edges;
    while (edges.size() < m) {
        const std::uint64_t a = rng() % n, b = rng() % n;
        if (a != b) edges.push_back({std::min(a, b), std::max(a, b)});
    }
    return edges;
}

}  // namespace

TEST(RigidComponents, KnownFrameworks) {
    // Two triangles sharing a vertex in the plane: two components.
    const std::vector<Edge> bowtie{{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 4}, {4, 2}};
    EXPECT_EQ(generic_rigid_components(5, 2, bowtie, 0), (VertexSets{{0, 1, 2}, {2, 3, 4}}));
    // A square with a diagonal: one.
    const std::vector<Edge> square{{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0, 2}};
    EXPECT_EQ(generic_rigid_components(4, 2, square, 0), (VertexSets{{0, 1, 2, 3}}));
    // The double banana in space: the two bananas, sharing the hinge {0, 1} that has no bar.
    EXPECT_EQ(generic_rigid_components(8, 3, double_banana(), 3), (VertexSets{{0, 1, 2, 3, 4}, {0, 1, 5, 6, 7}}));
    // A path in the line: connected components with an edge; isolated vertices form none.
    EXPECT_EQ(generic_rigid_components(6, 1, {{0, 1}, {1, 2}, {4, 5}}, 0), (VertexSets{{0, 1, 2}, {4, 5}}));
    // At positions: a square with a diagonal is rigid; three collinear points on two bars keep every
    // distance to first order (the middle one moves across the line), unlike generic points.
    const NodeList square_at = testing_support::make_nodes({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    EXPECT_EQ(numeric_rigid_components(square_at, square, std::nan("")), (VertexSets{{0, 1, 2, 3}}));
    const NodeList line = testing_support::make_nodes({{0, 0}, {1, 0}, {2, 0}});
    EXPECT_EQ(numeric_rigid_components(line, {{0, 1}, {1, 2}}, std::nan("")), (VertexSets{{0, 1, 2}}));
    EXPECT_EQ(generic_rigid_components(3, 2, {{0, 1}, {1, 2}}, 0), (VertexSets{{0, 1}, {1, 2}}));
    EXPECT_THROW(generic_rigid_components(3, 0, {{0, 1}}, 0), InvalidInput);
    EXPECT_THROW(generic_rigid_components(3, 3, {{0, 3}}, 0), InvalidInput);
}

class AgainstSubsets : public ::testing::TestWithParam<std::uint64_t> {};

// Generic mode at its own realization, for d = 2, 3, 4: every subset's pair rows tested by rank.
TEST_P(AgainstSubsets, Generic) {
    const std::uint64_t d = GetParam();
    std::mt19937_64 rng(17 + d);
    for (int trial = 0; trial < 40; ++trial) {
        const std::uint64_t n = 2 + rng() % 8;
        const std::uint64_t m = rng() % (d * n + 2);
        const std::vector<Edge> edges = random_edges(rng, n, m);
        const std::uint64_t seed = rng();
        const GenericMotion motion = generic_motion(n, d, edges, seed);
        EXPECT_EQ(generic_rigid_components(n, d, edges, seed), brute_force(n, d, motion.coordinates, edges))
            << "trial " << trial;
    }
}

// At integer positions drawn from a small range, so that points often coincide or line up; the
// exact rank is taken over the prime field of the integers themselves.
TEST_P(AgainstSubsets, Numeric) {
    const std::uint64_t d = GetParam();
    std::mt19937_64 rng(71 + d);
    for (int trial = 0; trial < 40; ++trial) {
        const std::uint64_t n = 2 + rng() % 8;
        const std::uint64_t m = rng() % (d * n + 2);
        const std::vector<Edge> edges = random_edges(rng, n, m);
        NodeList nodes(n);
        std::vector<std::uint64_t> residues(n * d);
        for (std::uint64_t v = 0; v < n; ++v)
            for (std::uint64_t k = 0; k < d; ++k) {
                const int value = static_cast<int>(rng() % 5) - 2;
                nodes[v].coordinates.push_back(value);
                residues[v * d + k] = value < 0 ? modular::prime - static_cast<std::uint64_t>(-value)
                                                : static_cast<std::uint64_t>(value);
            }
        EXPECT_EQ(numeric_rigid_components(nodes, edges, std::nan("")), brute_force(n, d, residues, edges))
            << "trial " << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(Dimensions, AgainstSubsets, ::testing::Values(2, 3, 4));

// In the plane the (2, 3) game and the random motion agree.
TEST(RigidComponents, PlaneGameAgreesWithMotion) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 60; ++trial) {
        // Up to 250 vertices and 3 bars a vertex: a large component forms and grows.
        const std::uint64_t n = 2 + rng() % (trial < 30 ? 40 : 250);
        const std::vector<Edge> edges = random_edges(rng, n, rng() % (3 * n));
        const GenericMotion motion = generic_motion(n, 2, edges, 5);
        const FixedPairTest fixed = [&](std::uint32_t u, std::uint32_t w) {
            std::uint64_t dot = 0;
            for (std::uint64_t k = 0; k < 2; ++k)
                dot = modular::add(dot, modular::mul(modular::sub(motion.coordinates[u * 2 + k], motion.coordinates[w * 2 + k]),
                                                     modular::sub(motion.velocities[u * 2 + k], motion.velocities[w * 2 + k])));
            return dot == 0;
        };
        const VertexSets expected = maximal_fixed_sets(n, fixed, 2);
        EXPECT_EQ(generic_rigid_components(n, 2, edges, 5), expected) << trial;  // in search order
        EXPECT_EQ(play_sparsity_game(n, 2, 3, edges).components, expected) << trial;  // in the given order
    }
}

// Graphs on a few of many vertices: the components are those of the whole graph (the game played
// on every vertex in the line and the plane, the framework at random points in space), in the
// graph's own numbering, alone and in a batch.
TEST(RigidComponents, IsolatedVerticesAreOnlyCounted) {
    std::mt19937_64 gen(29);
    Lcg64 rng(2);
    std::vector<Edge> all_edges;
    std::vector<std::uint64_t> offsets{0}, sizes;
    std::vector<VertexSets> expected;
    for (int trial = 0; trial < 90; ++trial) {
        const std::uint64_t d = 1 + trial % 3;
        const std::uint64_t n = 2 + gen() % 30;
        const std::uint64_t used = 2 + gen() % std::min<std::uint64_t>(n - 1, 7);
        std::vector<std::uint64_t> chosen(n);
        for (std::uint64_t v = 0; v < n; ++v) chosen[v] = v;
        std::shuffle(chosen.begin(), chosen.end(), gen);
        std::vector<Edge> edges;
        for (std::uint64_t e = gen() % (d * used + 2); e > 0; --e) {
            const std::uint64_t a = gen() % used, b = (a + 1 + gen() % (used - 1)) % used;
            edges.push_back({chosen[a], chosen[b]});
        }
        VertexSets whole;
        if (d <= 2) {
            ComponentPebbleGame game(n, d, d == 1 ? 1 : 3);
            for (const Edge& e : edges) game.add_edge(e.i, e.j);
            whole = game.components();
        } else {
            whole = numeric_rigid_components(random_nodes(n, d, rng), edges, std::nan(""));
        }
        EXPECT_EQ(generic_rigid_components(n, d, edges, 9), whole) << trial;
        if (d == 2) {
            all_edges.insert(all_edges.end(), edges.begin(), edges.end());
            offsets.push_back(all_edges.size());
            sizes.push_back(n);
            expected.push_back(whole);
        }
    }
    const BatchComponents batch = generic_components_batch(all_edges, offsets, sizes, 2, 9);
    for (std::size_t g = 0; g < sizes.size(); ++g) {
        VertexSets sets;
        for (std::uint64_t row = batch.offsets[g]; row < batch.offsets[g + 1]; ++row) {
            if (sets.size() <= batch.members[2 * row]) sets.emplace_back();
            sets[batch.members[2 * row]].push_back(batch.members[2 * row + 1]);
        }
        EXPECT_EQ(sets, expected[g]) << g;
        for (std::uint64_t e = offsets[g]; e < offsets[g + 1]; ++e) {
            const std::int64_t c = batch.edge_component[e];
            ASSERT_GE(c, 0);
            const std::vector<std::uint64_t>& set = sets[static_cast<std::size_t>(c)];
            EXPECT_TRUE(std::binary_search(set.begin(), set.end(), all_edges[e].i) &&
                        std::binary_search(set.begin(), set.end(), all_edges[e].j)) << e;
        }
    }
    // One bar among 2^31 vertices, or 10^8 in space: the vertex count is only a number.
    EXPECT_EQ(generic_rigid_components(std::uint64_t{1} << 31, 2, {{1, 4}}, 0), (VertexSets{{1, 4}}));
    EXPECT_EQ(generic_rigid_components(100000000, 3, {{7, 99999999}}, 0), (VertexSets{{7, 99999999}}));
}
