// Generic and numeric rigidity of graphs: known graphs, the batch against single graphs, the
// relative tolerance under scaling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "graphs/graph_rigidity.hpp"
#include "base/random.hpp"
#include "graphs/rigid_components.hpp"

#include "support.hpp"

using namespace telvora;
using testing_support::double_banana;

namespace {

std::vector<Edge> complete(std::uint64_t n) { return upper_triangular_edges(n); }

std::vector<Edge> without(std::vector<Edge> edges, std::size_t k) {
    edges.erase(edges.begin() + static_cast<std::ptrdiff_t>(k));
    return edges;
}

std::vector<Edge> k33() {
    std::vector<Edge> edges;
    for (std::uint64_t a = 0; a < 3; ++a)
        for (std::uint64_t b = 3; b < 6; ++b) edges.push_back({a, b});
    return edges;
}

}  // namespace

TEST(GenericRigidity, KnownGraphs) {
    struct Case {
        const char* name;
        std::uint64_t n, d;
        std::vector<Edge> edges;
        std::uint64_t rank;
        bool redundantly_rigid, globally_rigid;
    };
    const std::vector<Case> cases{
        {"K4 in the plane", 4, 2, complete(4), 5, true, true},
        {"K4 minus an edge", 4, 2, without(complete(4), 5), 5, false, false},
        {"K33 in the plane", 6, 2, k33(), 9, false, false},
        {"double banana in space", 8, 3, double_banana(), 17, false, false},
        {"octahedron in space", 6, 3, without(without(without(complete(6), 14), 9), 4), 12, false, false},
        {"K5 in space", 5, 3, complete(5), 9, true, true},
        {"one bar in space", 2, 3, complete(2), 1, false, true},
        {"K6 in the plane", 6, 2, complete(6), 9, true, true},
        {"a path in the line", 4, 1, {{0, 1}, {1, 2}, {2, 3}}, 3, false, false},
        {"a cycle in the line", 4, 1, {{0, 1}, {1, 2}, {2, 3}, {3, 0}}, 3, true, true},
    };
    for (const Case& c : cases) {
        const GraphRigidity r = generic_rigidity(c.n, c.d, c.edges, {.seed = 42});
        EXPECT_EQ(r.rank, c.rank) << c.name;
        EXPECT_EQ(r.is_rigid, r.rank == r.max_rank) << c.name;
        EXPECT_EQ(r.is_redundantly_rigid, c.redundantly_rigid) << c.name;
        EXPECT_TRUE(r.global_rigidity_known) << c.name;
        EXPECT_EQ(r.is_globally_rigid, c.globally_rigid) << c.name;
        EXPECT_LE(r.error_bound, 1e-12) << c.name;
        // The seed never changes a verdict (but for the negligible chance the bound states).
        const GraphRigidity other = generic_rigidity(c.n, c.d, c.edges, {.seed = 7});
        EXPECT_EQ(other.labels, r.labels) << c.name;
        EXPECT_EQ(other.redundant, r.redundant) << c.name;
    }
    // The double banana's bars are all redundant (each banana is redundantly rigid) but it flexes.
    const GraphRigidity banana = generic_rigidity(8, 3, double_banana());
    EXPECT_FALSE(banana.is_rigid);
    EXPECT_EQ(std::count(banana.redundant.begin(), banana.redundant.end(), 1), 18);
    // K4 minus an edge: every bar is needed.
    const GraphRigidity k4e = generic_rigidity(4, 2, without(complete(4), 5));
    EXPECT_EQ(std::count(k4e.redundant.begin(), k4e.redundant.end(), 1), 0);
}

TEST(GenericRigidity, RepeatsLoopsAndBadVertices) {
    const GraphRigidity r = generic_rigidity(3, 2, {{0, 1}, {1, 2}, {0, 1}, {2, 2}, {0, 2}});
    EXPECT_EQ(r.labels, (std::vector<std::uint8_t>{1, 1, 0, 0, 1}));
    EXPECT_EQ(r.redundant, (std::vector<std::uint8_t>{1, 0, 1, 1, 0}));
    EXPECT_THROW(generic_rigidity(3, 2, {{0, 3}}), InvalidInput);
    EXPECT_THROW(generic_rigidity(3, 0, {{0, 1}}), InvalidInput);
    const GraphRigidity empty = generic_rigidity(0, 2, {});
    EXPECT_TRUE(empty.is_rigid);
}

// The batch gives each graph what a call on it alone gives, whatever its neighbours.
TEST(GenericRigidity, BatchEqualsSingleGraphs) {
    std::mt19937_64 gen(3);
    std::vector<Edge> edges;
    std::vector<std::uint64_t> offsets{0}, sizes;
    NodeList nodes;
    Lcg64 rng(8);
    for (int g = 0; g < 60; ++g) {
        const std::uint64_t n = 2 + gen() % 12;
        const std::size_t m = gen() % (2 * n + 2);
        for (std::size_t e = 0; e < m; ++e) {
            const std::uint64_t a = gen() % n, b = (a + 1 + gen() % (n - 1)) % n;
            edges.push_back({a, b});
        }
        offsets.push_back(edges.size());
        sizes.push_back(n);
        for (const Node& node : random_nodes(n, 2, rng)) nodes.push_back(node);
    }
    const BatchRigidity generic = generic_rigidity_batch(edges, offsets, sizes, 2, 11);
    const BatchRigidity numeric = numeric_rigidity_batch(edges, offsets, sizes, nodes, std::nan(""));
    std::size_t first = 0;
    for (std::size_t g = 0; g < sizes.size(); ++g) {
        const std::vector<Edge> own(edges.begin() + offsets[g], edges.begin() + offsets[g + 1]);
        const GraphRigidity alone =
            generic_rigidity(sizes[g], 2, own, {.seed = 11, .stream = g, .global_rigidity = false});
        EXPECT_EQ(generic.rank[g], alone.rank) << g;
        EXPECT_TRUE(std::equal(alone.labels.begin(), alone.labels.end(), generic.labels.begin() + offsets[g]));
        EXPECT_TRUE(std::equal(alone.redundant.begin(), alone.redundant.end(), generic.redundant.begin() + offsets[g]));
        // At random real positions the numeric verdicts are the generic ones.
        EXPECT_TRUE(std::equal(alone.labels.begin(), alone.labels.end(), numeric.labels.begin() + offsets[g])) << g;
        EXPECT_TRUE(std::equal(alone.redundant.begin(), alone.redundant.end(), numeric.redundant.begin() + offsets[g]))
            << g;
        first += sizes[g];
    }
    EXPECT_THROW(generic_rigidity_batch(edges, {0, 1}, sizes, 2, 0), InvalidInput);
    std::vector<std::uint64_t> bad = offsets;
    bad[3] = bad[2] - 1 + 0 * bad[3];
    if (bad[2] > 0) {
        EXPECT_THROW(generic_rigidity_batch(edges, bad, sizes, 2, 0), InvalidInput);
    }
}

// Scaling every coordinate by a power of two changes nothing under the relative tolerance: the
// coordinates are brought to one scale exactly. Points on a line (up to rounding) make the
// tolerance matter.
TEST(NumericRigidity, RelativeToleranceIsScaleFree) {
    Lcg64 rng(4);
    NodeList nodes = random_nodes(9, 2, rng);
    for (Node& node : nodes) node.coordinates[1] = node.coordinates[0] / 3.0 + 0.1;
    const std::vector<Edge> edges = complete(9);
    const GraphRigidity base = numeric_rigidity(nodes, edges, std::nan(""));
    EXPECT_EQ(base.rank, 8u);  // a line: only the lengthwise motions are constrained
    // tol is max(m, n d) eps times an estimate of the largest singular value: at most the
    // Frobenius norm, at least (nearly) the longest row.
    double frobenius = 0.0, longest = 0.0;
    for (const Edge& edge : edges) {
        double row = 0.0;
        for (int k = 0; k < 2; ++k) {
            const double diff = nodes[edge.i].coordinates[k] - nodes[edge.j].coordinates[k];
            row += 2.0 * diff * diff;
        }
        frobenius += row, longest = std::max(longest, std::sqrt(row));
    }
    const double size = static_cast<double>(edges.size()) * 0x1p-52;  // m = 36 > n d = 18
    EXPECT_LE(base.tol, std::sqrt(frobenius) * size);
    EXPECT_GE(base.tol, 0.99 * longest * size);
    for (int k : {-60, -7, 1, 33, 60}) {
        NodeList scaled = nodes;
        for (Node& node : scaled)
            for (double& x : node.coordinates) x = std::ldexp(x, k);
        EXPECT_EQ(framework_scale(scaled, edges), std::ldexp(framework_scale(nodes, edges), k));
        const GraphRigidity r = numeric_rigidity(scaled, edges, std::nan(""));
        EXPECT_EQ(r.labels, base.labels) << k;
        EXPECT_EQ(r.redundant, base.redundant) << k;
        EXPECT_EQ(r.tol, std::ldexp(base.tol, k));
    }
    NodeList infinite = nodes;
    infinite[0].coordinates[0] = INFINITY;
    EXPECT_THROW(framework_scale(infinite, edges), InvalidInput);
}

// Redundancy at given positions: a square with one diagonal has no redundant bar, with both every
// bar is redundant; on a line a triangle's bars form a circuit.
TEST(NumericRigidity, RedundancyFromTheSelfStresses) {
    const NodeList square = testing_support::make_nodes({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    const std::vector<Edge> one{{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0, 2}};
    std::vector<Edge> both = one;
    both.push_back({1, 3});
    EXPECT_EQ(numeric_rigidity(square, one, std::nan("")).redundant, std::vector<std::uint8_t>(5, 0));
    const GraphRigidity braced = numeric_rigidity(square, both, std::nan(""));
    EXPECT_EQ(braced.redundant, std::vector<std::uint8_t>(6, 1));
    EXPECT_TRUE(braced.is_redundantly_rigid);
    const NodeList line = testing_support::make_nodes({{0, 0}, {1, 0}, {3, 0}, {0, 1}});
    const GraphRigidity flat = numeric_rigidity(line, {{0, 1}, {1, 2}, {0, 2}, {0, 3}}, std::nan(""));
    EXPECT_EQ(flat.redundant, (std::vector<std::uint8_t>{1, 1, 1, 0}));
    EXPECT_EQ(flat.labels, (std::vector<std::uint8_t>{1, 1, 0, 1}));
}

// Sparse random graphs on random points: the rank at the points is the generic rank (the
// elimination that leaves entries below tol in place overcounts it by dozens at 300 vertices, and a
// tolerance that ignores the framework's size by one at 500).
TEST(NumericRigidity, SparseRandomGraphMatchesGenericRank) {
  for (const auto& [n, m] : {std::pair<std::uint64_t, std::size_t>{300, 627}, {500, 1996}}) {
    std::mt19937_64 gen(n);
    std::vector<Edge> edges;
    std::vector<std::vector<std::uint8_t>> seen(n, std::vector<std::uint8_t>(n, 0));
    while (edges.size() < m) {
        const std::uint64_t a = gen() % n, b = gen() % n;
        if (a == b || seen[a][b]) continue;
        seen[a][b] = seen[b][a] = 1;
        edges.push_back({std::min(a, b), std::max(a, b)});
    }
    Lcg64 rng(n);
    const NodeList nodes = random_nodes(n, 2, rng);
    const GraphRigidity numeric = numeric_rigidity(nodes, edges, std::nan(""));
    const GraphRigidity generic = generic_rigidity(n, 2, edges);
    EXPECT_LT(generic.rank, generic.max_rank) << n;
    EXPECT_EQ(numeric.rank, generic.rank) << n;
    EXPECT_EQ(numeric.labels, generic.labels) << n;
    EXPECT_EQ(numeric.redundant, generic.redundant) << n;
  }
}

// Every layout the batch routines can be handed: each is refused before an edge beyond the array
// is read (offsets checked one by one, not only the last), with a message made of the offsets.
TEST(BatchLayout, EveryOffsetIsChecked) {
    const std::vector<Edge> edges{{0, 1}, {1, 2}, {0, 2}};
    const NodeList nodes = testing_support::make_nodes({{0, 0}, {1, 0}, {0, 1}, {0, 0}, {1, 0}, {0, 1}});
    struct Case {
        std::vector<std::uint64_t> offsets, n;
        const char* says;
    };
    const std::vector<Case> cases{
        {{0, 5, 3}, {3, 3}, "offsets[1] = 5 lies beyond the 3 edges"},
        {{0, 3, 3}, {3, 3}, nullptr},
        {{0, 1, 2}, {3, 3}, "end at the number of edges (3), not 2"},
        {{1, 3}, {3}, "start at 0, not 1"},
        {{0, 2, 1, 3}, {3, 3, 0}, "offsets[1] = 2 > offsets[2] = 1"},
        {{0, ~std::uint64_t{0}, 3}, {3, 3}, "lies beyond the 3 edges"},
        {{0, 3}, {3, 3}, "one entry more than n (3), not 2"},
        {{}, {}, "one entry more than n (1), not 0"},
        {{0, 3}, {2}, "graph 0: edge 1 (1, 2) names a vertex outside 0 .. 1"},
    };
    for (const Case& c : cases) {
        auto expect = [&](const std::function<void()>& call, const char* what) {
            if (c.says == nullptr) {
                EXPECT_NO_THROW(call()) << what;
                return;
            }
            try {
                call();
                ADD_FAILURE() << what << ": accepted " << c.says;
            } catch (const InvalidInput& error) {
                EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << what << ": " << error.what();
            }
        };
        expect([&] { require_batch_layout(edges, c.offsets, c.n); }, "layout");
        expect([&] { generic_rigidity_batch(edges, c.offsets, c.n, 2, 0); }, "generic batch");
        expect([&] { generic_components_batch(edges, c.offsets, c.n, 2, 0); }, "components batch");
        expect([&] { generic_components_batch(edges, c.offsets, c.n, 3, 0); }, "components batch in space");
        if (c.n.size() == 2 && c.n[0] + c.n[1] == nodes.size()) {
            expect([&] { numeric_rigidity_batch(edges, c.offsets, c.n, nodes, std::nan("")); }, "numeric batch");
            expect([&] { numeric_components_batch(edges, c.offsets, c.n, nodes, std::nan("")); }, "numeric components");
        }
    }
    // Vertex counts that overflow when summed cannot match the rows of coords.
    EXPECT_THROW(numeric_rigidity_batch(edges, {0, 3, 3}, {~std::uint64_t{0}, 7}, nodes, 0.0), InvalidInput);
}

// A graph with isolated vertices is decided on the vertices that carry edges: labels, rank and
// redundancy are those of the framework at random points, which are worked out on every vertex;
// the most rank and rigidity are those of all n vertices.
TEST(GenericRigidity, IsolatedVerticesCostNothing) {
    std::mt19937_64 gen(17);
    Lcg64 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        const std::uint64_t d = 1 + trial % 3;
        const std::uint64_t n = 1 + gen() % 12;
        std::vector<Edge> edges;
        const std::size_t m = n < 2 ? 0 : gen() % (d * n + 3);
        const std::uint64_t used = 1 + gen() % n;  // edges among the first `used` vertices, shuffled below
        std::vector<std::uint64_t> label(n);
        for (std::uint64_t v = 0; v < n; ++v) label[v] = v;
        std::shuffle(label.begin(), label.end(), gen);
        for (std::size_t e = 0; e < m && used >= 2; ++e) {
            const std::uint64_t a = gen() % used, b = (a + 1 + gen() % (used - 1)) % used;
            edges.push_back({label[a], label[b]});
        }
        const GraphRigidity generic = generic_rigidity(n, d, edges, {.seed = 3});
        const GraphRigidity numeric = numeric_rigidity(random_nodes(n, d, rng), edges, std::nan(""));
        EXPECT_EQ(generic.labels, numeric.labels) << trial;
        EXPECT_EQ(generic.redundant, numeric.redundant) << trial;
        EXPECT_EQ(generic.rank, numeric.rank) << trial;
        EXPECT_EQ(generic.max_rank, numeric.max_rank) << trial;
        EXPECT_EQ(generic.is_rigid, numeric.is_rigid) << trial;
        EXPECT_EQ(generic.is_redundantly_rigid, numeric.is_redundantly_rigid) << trial;
        EXPECT_TRUE(generic.global_rigidity_known);
        std::vector<std::uint8_t> carries(n, 0);
        for (const Edge& edge : edges) carries[edge.i] = carries[edge.j] = 1;
        if (n >= 2 && std::count(carries.begin(), carries.end(), 0) > 0) {
            EXPECT_FALSE(generic.is_rigid || generic.is_globally_rigid) << trial;
        }
    }
    // n counts, it costs nothing: one bar among 2^40 vertices, or 2^62 vertices in the plane.
    const std::uint64_t huge = std::uint64_t{1} << 40;
    const GraphRigidity bar = generic_rigidity(huge, 2, {{1, huge - 1}});
    EXPECT_EQ(bar.rank, 1u);
    EXPECT_EQ(bar.max_rank, 2 * huge - 3);
    EXPECT_EQ(bar.labels, (std::vector<std::uint8_t>{1}));
    EXPECT_FALSE(bar.is_rigid);
    EXPECT_FALSE(bar.is_globally_rigid);
    EXPECT_EQ(generic_rigidity(std::uint64_t{1} << 61, 2, {}).max_rank, (std::uint64_t{1} << 62) - 3);
    const GraphRigidity single = generic_rigidity(1, 3, {});
    EXPECT_TRUE(single.is_rigid && single.is_globally_rigid);
    // The columns n d are counted as signed 64-bit integers.
    EXPECT_THROW(generic_rigidity(std::uint64_t{1} << 62, 2, {}), InvalidInput);
    EXPECT_THROW(generic_rigidity(3, std::uint64_t{1} << 63, {}), InvalidInput);
    EXPECT_THROW(generic_rigidity_batch({}, {0, 0}, {std::uint64_t{1} << 62}, 2, 0), InvalidInput);
    const BatchRigidity batch = generic_rigidity_batch({{0, huge - 1}}, {0, 1, 1}, {huge, 5}, 2, 0, true);
    EXPECT_EQ(batch.rank, (std::vector<std::uint64_t>{1, 0}));
    EXPECT_EQ(batch.max_rank, (std::vector<std::uint64_t>{2 * huge - 3, 7}));
    EXPECT_EQ(batch.is_globally_rigid, (std::vector<std::uint8_t>{0, 0}));
}
