// The (k, l) component pebble game: labels and components against the counting definition on
// small multigraphs, the complete-graph driver against the literal game, the game's invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "pebble/component_pebble.hpp"
#include "base/errors.hpp"
#include "pebble/pebble.hpp"

using namespace telvora;

namespace {

using Components = std::vector<std::vector<std::uint64_t>>;

// Edges of `chosen` with both ends in the vertex set `mask`.
std::uint64_t spanned(const std::vector<Edge>& chosen, std::uint32_t mask) {
    std::uint64_t count = 0;
    for (const Edge& e : chosen) count += ((mask >> e.i) & 1u) && ((mask >> e.j) & 1u);
    return count;
}

// (k, l)-sparse: every vertex set spanning an edge spans at most k|X| - l of them.
bool sparse(const std::vector<Edge>& chosen, std::uint64_t n, std::int64_t k, std::int64_t l) {
    for (std::uint32_t mask = 1; mask < (1u << n); ++mask) {
        const auto e = static_cast<std::int64_t>(spanned(chosen, mask));
        if (e > 0 && e > k * std::popcount(mask) - l) return false;
    }
    return true;
}

struct Reference {
    std::vector<std::uint8_t> labels;
    Components components;
};

// The greedy labels straight from the definition, and the maximal tight sets of what they accept.
Reference reference(std::uint64_t n, std::int64_t k, std::int64_t l, const std::vector<Edge>& edges) {
    Reference ref;
    std::vector<Edge> accepted;
    for (const Edge& e : edges) {
        accepted.push_back(e);
        const bool independent = sparse(accepted, n, k, l);
        if (!independent) accepted.pop_back();
        ref.labels.push_back(independent ? 1 : 0);
    }
    std::vector<std::uint32_t> tight;
    for (std::uint32_t mask = 1; mask < (1u << n); ++mask) {
        const auto e = static_cast<std::int64_t>(spanned(accepted, mask));
        if (e > 0 && e == k * std::popcount(mask) - l) tight.push_back(mask);
    }
    for (std::uint32_t mask : tight) {
        const bool maximal = std::none_of(tight.begin(), tight.end(), [&](std::uint32_t other) {
            return other != mask && (other & mask) == mask;
        });
        if (!maximal) continue;
        std::vector<std::uint64_t> vertices;
        for (std::uint64_t v = 0; v < n; ++v)
            if ((mask >> v) & 1u) vertices.push_back(v);
        ref.components.push_back(vertices);
    }
    std::sort(ref.components.begin(), ref.components.end());
    return ref;
}

struct Counts {
    std::uint64_t k, l;
};

class AgainstDefinition : public ::testing::TestWithParam<Counts> {};

// Random multigraphs with loops on up to 8 vertices, dense enough that components form and merge.
TEST_P(AgainstDefinition, RandomMultigraphs) {
    const auto [k, l] = GetParam();
    std::mt19937_64 rng(1000 * k + l);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint64_t n = 1 + rng() % 8;
        const std::uint64_t m = rng() % (3 * k * n + 2);
        std::vector<Edge> edges;
        for (std::uint64_t e = 0; e < m; ++e) {
            const std::uint64_t a = rng() % n;
            const std::uint64_t b = rng() % 6 == 0 ? a : rng() % n;  // a loop now and then
            edges.push_back(Edge{a, b});
        }
        const Reference ref = reference(n, static_cast<std::int64_t>(k), static_cast<std::int64_t>(l), edges);
        const SparsityGameOutcome outcome = play_sparsity_game(n, k, l, edges);
        ASSERT_EQ(outcome.labels, ref.labels) << "k=" << k << " l=" << l << " trial " << trial;
        ASSERT_EQ(outcome.components, ref.components) << "k=" << k << " l=" << l << " trial " << trial;
        std::uint64_t accepted = 0;
        for (std::uint8_t label : outcome.labels) accepted += label;
        EXPECT_EQ(outcome.free_pebbles, k * n - accepted);
        EXPECT_EQ(outcome.is_tight, accepted + l == k * n);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, AgainstDefinition,
                         ::testing::Values(Counts{1, 0}, Counts{1, 1}, Counts{2, 0}, Counts{2, 1}, Counts{2, 2},
                                           Counts{2, 3}, Counts{3, 3}, Counts{3, 5}, Counts{6, 6}, Counts{3, 1}),
                         [](const auto& info) {
                             return "k" + std::to_string(info.param.k) + "l" + std::to_string(info.param.l);
                         });

// After every edge, free pebbles plus out-degree is k at every vertex.
TEST(ComponentPebbleGame, PebblesPlusOutDegreeIsK) {
    std::mt19937_64 rng(5);
    for (const Counts c : {Counts{2, 3}, Counts{3, 3}, Counts{1, 0}, Counts{3, 4}}) {
        const std::uint64_t n = 30;
        ComponentPebbleGame game(n, c.k, c.l);
        for (int e = 0; e < 200; ++e) {
            game.add_edge(rng() % n, rng() % n);
            const auto pebbles = game.pebble_counts();
            const auto lists = game.out_lists();
            for (std::uint64_t v = 0; v < n; ++v) ASSERT_EQ(pebbles[v] + lists[v].size(), c.k) << v;
        }
    }
}

TEST(ComponentPebbleGame, ForestsAndConnectedComponents) {
    // (1, 1): a spanning forest; components are the connected components with an edge.
    const std::vector<Edge> edges{{0, 1}, {1, 2}, {2, 0}, {3, 4}, {5, 5}, {6, 7}, {7, 3}};
    const SparsityGameOutcome outcome = play_sparsity_game(9, 1, 1, edges);
    EXPECT_EQ(outcome.labels, (std::vector<std::uint8_t>{1, 1, 0, 1, 0, 1, 1}));
    EXPECT_EQ(outcome.components, (Components{{0, 1, 2}, {3, 4, 6, 7}}));
    EXPECT_EQ(outcome.free_pebbles, 9u - 5u);
    EXPECT_FALSE(outcome.is_tight);
}

TEST(ComponentPebbleGame, TwoTrianglesSharingAVertexAreTwoComponents) {
    const std::vector<Edge> edges{{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 4}, {4, 2}};
    const SparsityGameOutcome outcome = play_sparsity_game(5, 2, 3, edges);
    EXPECT_EQ(outcome.components, (Components{{0, 1, 2}, {2, 3, 4}}));
    // A bar between the triangles makes everything rigid.
    std::vector<Edge> joined = edges;
    joined.push_back({0, 4});
    const SparsityGameOutcome rigid = play_sparsity_game(5, 2, 3, joined);
    EXPECT_EQ(rigid.components, (Components{{0, 1, 2, 3, 4}}));
    EXPECT_TRUE(rigid.is_tight);
}

TEST(ComponentPebbleGame, Refusals) {
    EXPECT_THROW(ComponentPebbleGame(3, 0, 0), InvalidInput);
    EXPECT_THROW(ComponentPebbleGame(3, 2, 4), InvalidInput);
    EXPECT_THROW(ComponentPebbleGame(3, 3, 6), InvalidInput);
    EXPECT_THROW(ComponentPebbleGame(3, (std::uint64_t{1} << 63) - 1, ~std::uint64_t{0}), InvalidInput);
    EXPECT_THROW(ComponentPebbleGame(std::uint64_t{1} << 32, 1, 0), std::bad_alloc);
    EXPECT_THROW(ComponentPebbleGame(std::uint64_t{1} << 20, std::uint64_t{1} << 20, 0), std::bad_alloc);
    ComponentPebbleGame game(3, 2, 3);
    EXPECT_THROW(game.add_edge(0, 3), InvalidInput);
    EXPECT_THROW(play_sparsity_game(2, 2, 3, {{0, 1}, {1, 2}}), InvalidInput);
}

// A pebble found at the far end of a directed path of 200000 vertices, and the component that
// then spans it: the searches keep their own stack, however deep.
TEST(ComponentPebbleGame, LongPathsNeedNoCallStack) {
    const std::uint64_t n = 200000;
    std::vector<Edge> edges;
    for (std::uint64_t v = 0; v + 1 < n; ++v) edges.push_back({v, v + 1});  // directed 0 -> 1 -> ...
    edges.push_back({0, 0});       // its pebble lies at n - 1: a search of depth n
    edges.push_back({0, n - 1});   // inside the component the loop closed
    const SparsityGameOutcome outcome = play_sparsity_game(n, 1, 0, edges);
    EXPECT_EQ(outcome.labels[n - 1], 1);
    EXPECT_EQ(outcome.labels[n], 0);
    ASSERT_EQ(outcome.components.size(), 1u);
    EXPECT_EQ(outcome.components[0].size(), n);
    EXPECT_TRUE(outcome.is_tight);
}

// The complete-graph driver against the literal game, for every n up to 70 and a few larger.
TEST(CompleteGraphPebbleGame, SameAsLiteralGame) {
    std::vector<std::uint64_t> sizes;
    for (std::uint64_t n = 0; n <= 70; ++n) sizes.push_back(n);
    for (std::uint64_t n : {97, 128, 250, 401}) sizes.push_back(n);
    for (std::uint64_t n : sizes) {
        const PebbleGameOutcome literal = run_pebble_game(n);
        const PebbleGameOutcome engine = complete_graph_pebble_game(n);
        ASSERT_EQ(engine.labels, literal.labels) << n;
        ASSERT_EQ(engine.accepted_edges, literal.accepted_edges) << n;
    }
}

TEST(CompleteGraphPebbleGame, GiganticSizesThrowBadAlloc) {
    for (std::uint64_t n : {std::uint64_t{1} << 40, std::uint64_t{1} << 32, std::uint64_t{100000000}})
        EXPECT_THROW(complete_graph_pebble_game(n), std::bad_alloc) << n;
}

}  // namespace

namespace {

// The plain (k, l) game without components: an edge is accepted when l + 1 pebbles can be brought
// to its ends. Its labels are the matroid's, whatever the order of its searches.
class PlainGame {
public:
    PlainGame(std::uint64_t n, std::uint64_t k, std::uint64_t l) : k_(k), l_(l), pebbles_(n, k), out_(n) {}

    bool add(const Edge& e) {
        if (!gather_for(e.i, e.j)) return false;
        const std::uint64_t tail = pebbles_[e.i] > 0 ? e.i : e.j;
        --pebbles_[tail];
        out_[tail].push_back(tail == e.i ? e.j : e.i);
        return true;
    }
    // Whether {a, b} is spanned by the edges accepted so far (the state is left as it was).
    bool spans(std::uint64_t a, std::uint64_t b) const {
        PlainGame copy = *this;
        return !copy.gather_for(a, b);
    }

private:
    bool gather_for(std::uint64_t a, std::uint64_t b) {
        auto held = [&] { return a == b ? pebbles_[a] : pebbles_[a] + pebbles_[b]; };
        while (held() < l_ + 1 && ((pebbles_[a] < k_ && gather(a, a, b)) || (a != b && pebbles_[b] < k_ && gather(b, a, b)))) {
        }
        return held() >= l_ + 1;
    }
    bool gather(std::uint64_t x, std::uint64_t a, std::uint64_t b) {
        const std::uint64_t n = pebbles_.size();
        std::vector<std::int64_t> parent(n, -1);
        std::vector<std::uint64_t> queue{x};
        parent[x] = static_cast<std::int64_t>(x);
        for (std::size_t i = 0; i < queue.size(); ++i)
            for (std::uint64_t w : out_[queue[i]]) {
                if (parent[w] >= 0) continue;
                parent[w] = static_cast<std::int64_t>(queue[i]);
                if (w != a && w != b && pebbles_[w] > 0) {
                    --pebbles_[w];
                    for (std::uint64_t z = w; z != x;) {
                        const auto p = static_cast<std::uint64_t>(parent[z]);
                        out_[p].erase(std::find(out_[p].begin(), out_[p].end(), z));
                        out_[z].push_back(p);
                        z = p;
                    }
                    ++pebbles_[x];
                    return true;
                }
                queue.push_back(w);
            }
        return false;
    }

    std::uint64_t k_, l_;
    std::vector<std::uint64_t> pebbles_;
    std::vector<std::vector<std::uint64_t>> out_;
};

std::vector<std::uint8_t> plain_game(std::uint64_t n, std::uint64_t k, std::uint64_t l, const std::vector<Edge>& edges) {
    PlainGame game(n, k, l);
    std::vector<std::uint8_t> labels;
    for (const Edge& e : edges) labels.push_back(game.add(e) ? 1 : 0);
    return labels;
}

// Components are the maximal tight sets: two vertices share one exactly when the accepted edges
// span the pair. Checks `pairs` (all when empty) against the plain game.
void expect_components_are_maximal(std::uint64_t n, std::uint64_t k, std::uint64_t l, const std::vector<Edge>& edges,
                                   const Components& components, std::vector<Edge> pairs = {}) {
    PlainGame game(n, k, l);
    for (const Edge& e : edges) game.add(e);
    std::vector<std::vector<std::uint8_t>> inside(components.size(), std::vector<std::uint8_t>(n, 0));
    for (std::size_t c = 0; c < components.size(); ++c)
        for (std::uint64_t v : components[c]) inside[c][v] = 1;
    if (pairs.empty())
        for (std::uint64_t u = 0; u < n; ++u)
            for (std::uint64_t v = u + 1; v < n; ++v) pairs.push_back(Edge{u, v});
    for (const Edge& pair : pairs) {
        const bool shared = std::any_of(inside.begin(), inside.end(),
                                        [&](const std::vector<std::uint8_t>& in) { return in[pair.i] && in[pair.j]; });
        ASSERT_EQ(shared, game.spans(pair.i, pair.j)) << "pair (" << pair.i << ", " << pair.j << ")";
    }
}

// The bond graph of an L x L triangular lattice, with or without wrap-around bonds.
std::vector<Edge> triangular_lattice(std::uint64_t L, bool periodic) {
    std::vector<Edge> bonds;
    const std::uint64_t steps[3][2] = {{0, 1}, {1, 0}, {1, 1}};
    for (std::uint64_t i = 0; i < L; ++i)
        for (std::uint64_t j = 0; j < L; ++j)
            for (const auto& step : steps) {
                const std::uint64_t a = i + step[0], b = j + step[1];
                if (!periodic && (a >= L || b >= L)) continue;
                bonds.push_back(Edge{i * L + j, (a % L) * L + b % L});
            }
    return bonds;
}

// A vertex of a large component whose out-edges all leave it once stood for the whole component
// in the search for free pebbles, so vertices reaching only it passed for reaching the
// component's pebbles: here the rigid triangle of bodies C, {27, 28, 36, 37} and {18, 27} (C
// large, 36 also in the large component {23 .. 43}) was missed when (14, 19) closed C, and the
// next edge, inside it, found too few pebbles. From a bond-diluted triangular lattice.
TEST(ComponentPebbleGame, VertexLeavingALargeComponentDoesNotReachItsPebbles) {
    const std::vector<Edge> edges = {
        {28, 37}, {36, 37}, {27, 36}, {43, 45}, {27, 37}, {2, 3},   {40, 41}, {14, 18}, {17, 21}, {8, 9},
        {15, 20}, {32, 33}, {4, 9},   {34, 35}, {19, 28}, {6, 7},   {41, 42}, {16, 20}, {35, 41}, {34, 40},
        {4, 5},   {13, 15}, {23, 32}, {20, 29}, {23, 24}, {5, 10},  {23, 31}, {2, 4},   {25, 34}, {29, 30},
        {35, 36}, {28, 29}, {12, 13}, {4, 10},  {39, 40}, {26, 35}, {26, 36}, {24, 33}, {33, 34}, {41, 43},
        {1, 2},   {16, 17}, {21, 29}, {35, 42}, {31, 38}, {32, 38}, {14, 15}, {11, 12}, {17, 22}, {15, 19},
        {7, 12},  {7, 8},   {15, 16}, {16, 21}, {19, 20}, {43, 44}, {25, 26}, {13, 14}, {32, 39}, {3, 4},
        {3, 8},   {27, 28}, {25, 35}, {0, 1},   {40, 43}, {38, 39}, {31, 32}, {18, 27}, {33, 40}, {9, 10},
        {21, 30}, {24, 32}, {18, 19}, {6, 11},  {22, 30}, {36, 42}, {21, 22}, {44, 45}, {14, 19}, {19, 27}};
    const SparsityGameOutcome outcome = play_sparsity_game(46, 2, 3, edges);
    EXPECT_EQ(outcome.labels, plain_game(46, 2, 3, edges));
    expect_components_are_maximal(46, 2, 3, edges, outcome.components);
}

// Bond-diluted triangular lattices in random order, where large components meet other components
// in single vertices: labels against the plain game, and components maximal for pairs of
// vertices a few bonds apart (the pairs a missed component would show in).
TEST(ComponentPebbleGame, DilutedTriangularLattices) {
    std::mt19937_64 rng(2603);
    for (int trial = 0; trial < 12; ++trial) {
        const std::uint64_t L = 20 + rng() % 20;
        std::vector<Edge> bonds = triangular_lattice(L, trial % 2 == 0);
        std::shuffle(bonds.begin(), bonds.end(), rng);
        bonds.resize(bonds.size() * (60 + rng() % 30) / 100);
        const std::uint64_t n = L * L;
        const SparsityGameOutcome outcome = play_sparsity_game(n, 2, 3, bonds);
        ASSERT_EQ(outcome.labels, plain_game(n, 2, 3, bonds)) << "trial " << trial;
        std::vector<Edge> pairs;
        for (int p = 0; p < 300; ++p) {
            const std::uint64_t u = rng() % n;
            const std::uint64_t i = (u / L + rng() % 4) % L, j = (u % L + rng() % 4) % L;
            if (i * L + j != u) pairs.push_back(Edge{u, i * L + j});
        }
        expect_components_are_maximal(n, 2, 3, bonds, outcome.components, pairs);
    }
}

class LargerGraphs : public ::testing::TestWithParam<Counts> {};

// Graphs of up to 300 vertices, sparse to dense, where components grow, share vertices and are
// taken whole into later ones: the labels against the plain game; every component tight, no two
// meeting in enough vertices to form a tight union, every rejected edge inside one.
TEST_P(LargerGraphs, AgainstPlainGame) {
    const auto [k, l] = GetParam();
    std::mt19937_64 rng(77 * k + l);
    const std::uint64_t overlap = (l + k - 1) / k;
    for (int trial = 0; trial < 25; ++trial) {
        const std::uint64_t n = 20 + rng() % 280;
        const std::uint64_t m = rng() % (k * n + n);
        std::vector<Edge> edges;
        for (std::uint64_t e = 0; e < m; ++e) {
            const std::uint64_t a = rng() % n;
            edges.push_back(Edge{a, rng() % 50 == 0 ? a : rng() % n});
        }
        const SparsityGameOutcome outcome = play_sparsity_game(n, k, l, edges);
        ASSERT_EQ(outcome.labels, plain_game(n, k, l, edges)) << "trial " << trial;
        std::vector<Edge> accepted;
        for (std::size_t e = 0; e < edges.size(); ++e)
            if (outcome.labels[e]) accepted.push_back(edges[e]);
        std::vector<std::vector<std::uint8_t>> inside(outcome.components.size(), std::vector<std::uint8_t>(n, 0));
        for (std::size_t c = 0; c < outcome.components.size(); ++c) {
            for (std::uint64_t v : outcome.components[c]) inside[c][v] = 1;
            std::uint64_t spanned_edges = 0;
            for (const Edge& e : accepted) spanned_edges += inside[c][e.i] && inside[c][e.j];
            ASSERT_EQ(spanned_edges + l, k * outcome.components[c].size()) << "trial " << trial << " component " << c;
        }
        for (std::size_t c = 0; c < inside.size(); ++c)
            for (std::size_t d = c + 1; d < inside.size(); ++d) {
                std::uint64_t common = 0;
                for (std::uint64_t v = 0; v < n; ++v) common += inside[c][v] && inside[d][v];
                ASSERT_LT(common, std::max<std::uint64_t>(overlap, 1)) << "trial " << trial;
            }
        // Components belong to the graph, not the order: here they form in another order, with
        // another component largest at each step.
        ASSERT_EQ(play_sparsity_game(n, k, l, edges_by_cardinality_search(n, edges)).components, outcome.components)
            << "trial " << trial;
        for (std::size_t e = 0; e < edges.size(); ++e) {
            if (outcome.labels[e] || (edges[e].i == edges[e].j && l >= k)) continue;
            const bool covered = std::any_of(inside.begin(), inside.end(), [&](const std::vector<std::uint8_t>& in) {
                return in[edges[e].i] && in[edges[e].j];
            });
            ASSERT_TRUE(covered) << "trial " << trial << " edge " << e;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, LargerGraphs,
                         ::testing::Values(Counts{1, 1}, Counts{2, 3}, Counts{2, 2}, Counts{3, 3}, Counts{3, 5},
                                           Counts{2, 1}, Counts{1, 0}),
                         [](const auto& info) {
                             return "k" + std::to_string(info.param.k) + "l" + std::to_string(info.param.l);
                         });

// The search order is a regrouping: every edge once, loops and repeats included.
TEST(CardinalitySearch, KeepsEveryEdge) {
    std::mt19937_64 rng(9);
    for (int trial = 0; trial < 40; ++trial) {
        const std::uint64_t n = 1 + rng() % 60;
        std::vector<Edge> edges(rng() % (3 * n));
        for (Edge& e : edges) {
            e.i = rng() % n;
            e.j = rng() % 8 == 0 ? e.i : rng() % n;
        }
        const std::vector<Edge> ordered = edges_by_cardinality_search(n, edges);
        auto key = [](const Edge& e) { return std::make_pair(std::min(e.i, e.j), std::max(e.i, e.j)); };
        std::vector<std::pair<std::uint64_t, std::uint64_t>> given, got;
        for (const Edge& e : edges) given.push_back(key(e));
        for (const Edge& e : ordered) got.push_back(key(e));
        std::sort(given.begin(), given.end());
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, given) << "trial " << trial;
    }
    EXPECT_TRUE(edges_by_cardinality_search(0, {}).empty());
    EXPECT_THROW(edges_by_cardinality_search(3, {Edge{0, 3}}), InvalidInput);
}

}  // namespace

// Graphs on a few of many vertices: the driver plays only the vertices with edges; the game played
// on all of them (isolated ones holding their pebbles) gives the same labels, components, free
// pebbles and tightness.
TEST_P(AgainstDefinition, IsolatedVerticesAreOnlyCounted) {
    const auto [k, l] = GetParam();
    std::mt19937_64 rng(77 * k + l);
    for (int trial = 0; trial < 40; ++trial) {
        const std::uint64_t n = 1 + rng() % 40;
        const std::uint64_t used = 1 + rng() % std::min<std::uint64_t>(n, 6);
        std::vector<std::uint64_t> chosen(n);
        for (std::uint64_t v = 0; v < n; ++v) chosen[v] = v;
        std::shuffle(chosen.begin(), chosen.end(), rng);
        std::vector<Edge> edges;
        for (std::uint64_t e = rng() % (3 * k * used + 2); e > 0; --e) {
            const std::uint64_t a = chosen[rng() % used];
            edges.push_back(Edge{a, rng() % 6 == 0 ? a : chosen[rng() % used]});
        }
        ComponentPebbleGame whole(n, k, l);
        std::vector<std::uint8_t> labels;
        for (const Edge& e : edges) labels.push_back(whole.add_edge(e.i, e.j) ? 1 : 0);
        const SparsityGameOutcome outcome = play_sparsity_game(n, k, l, edges);
        ASSERT_EQ(outcome.labels, labels) << "k=" << k << " l=" << l << " trial " << trial;
        EXPECT_EQ(outcome.components, whole.components()) << trial;
        EXPECT_EQ(outcome.free_pebbles, whole.free_pebbles()) << trial;
        EXPECT_EQ(outcome.is_tight, whole.is_tight()) << trial;
    }
}

// k has a limit; n is only a count, so sizes that once needed gigabytes answer at once.
TEST(SparsityGame, LimitsAndHugeVertexCounts) {
    EXPECT_THROW(play_sparsity_game(1, max_game_k + 1, 0, {}), InvalidInput);
    EXPECT_THROW(ComponentPebbleGame(2, max_game_k + 1, 0), InvalidInput);
    EXPECT_THROW(play_sparsity_game(std::uint64_t{1} << 60, 1 << 8, 0, {}), InvalidInput);  // k n beyond 64 bits
    // Components list vertices as int64.
    EXPECT_THROW(play_sparsity_game(~std::uint64_t{0}, 1, 0, {{0, std::uint64_t{1} << 63}}), InvalidInput);
    const SparsityGameOutcome empty = play_sparsity_game(1, std::uint64_t{1} << 24, 0, {});
    EXPECT_EQ(empty.free_pebbles, std::uint64_t{1} << 24);
    EXPECT_FALSE(empty.is_tight);
    EXPECT_TRUE(play_sparsity_game(1, 3, 3, {}).is_tight);  // k n = l with nothing accepted
    const std::uint64_t n = std::uint64_t{1} << 31;
    const SparsityGameOutcome bar = play_sparsity_game(n, 2, 3, {{1, 4}});
    EXPECT_EQ(bar.labels, (std::vector<std::uint8_t>{1}));
    EXPECT_EQ(bar.components, (Components{{1, 4}}));
    EXPECT_EQ(bar.free_pebbles, 2 * n - 1);
    // Two vertices with edges at the largest k need 2^25 slots of 8 bytes; fine. Beyond 32-bit
    // ids, the refusal names the size.
    std::vector<Edge> matching;
    for (std::uint64_t v = 0; v < 256; v += 2) matching.push_back({v, v + 1});
    try {
        play_sparsity_game(std::uint64_t{1} << 30, std::uint64_t{1} << 24, 0, matching);
        ADD_FAILURE() << "256 vertices of 2^24 pebbles accepted";
    } catch (const OutOfMemory& error) {
        EXPECT_NE(std::string(error.what()).find("256 * 16777216"), std::string::npos) << error.what();
    }
}
