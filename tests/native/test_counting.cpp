// Rigidity in the line and the plane by counting: the connectivity tests against removing vertices
// and edges by hand, and every generic answer against the elimination over the prime field.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/connectivity.hpp"
#include "base/errors.hpp"
#include "graphs/graph_rigidity.hpp"
#include "pebble/circuits.hpp"
#include "pebble/component_pebble.hpp"

using namespace telvora;

namespace {

// Whether the vertices not in `removed` and their edges form one connected graph (true when none).
bool connected_without(std::uint64_t n, const std::vector<Edge>& edges, const std::vector<std::uint64_t>& removed,
                       std::size_t skip_edge = SIZE_MAX) {
    std::vector<std::uint64_t> root(n);
    for (std::uint64_t v = 0; v < n; ++v) root[v] = v;
    const auto find = [&](std::uint64_t v) {
        while (root[v] != v) v = root[v] = root[root[v]];
        return v;
    };
    const auto gone = [&](std::uint64_t v) { return std::find(removed.begin(), removed.end(), v) != removed.end(); };
    for (std::size_t e = 0; e < edges.size(); ++e)
        if (e != skip_edge && !gone(edges[e].i) && !gone(edges[e].j)) root[find(edges[e].i)] = find(edges[e].j);
    std::uint64_t parts = 0;
    for (std::uint64_t v = 0; v < n; ++v) parts += !gone(v) && find(v) == v;
    return parts <= 1;
}

bool connected_without_any(std::uint64_t n, const std::vector<Edge>& edges, std::size_t k) {
    for (std::uint64_t a = 0; a < n; ++a) {
        if (k == 1 && !connected_without(n, edges, {a})) return false;
        for (std::uint64_t b = a + 1; k == 2 && b < n; ++b)
            if (!connected_without(n, edges, {a, b})) return false;
    }
    return connected_without(n, edges, {});
}

std::vector<Edge> random_graph(std::mt19937_64& rng, std::uint64_t n, std::size_t m, double repeat) {
    std::vector<Edge> edges;
    std::uniform_int_distribution<std::uint64_t> vertex(0, n - 1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    while (edges.size() < m) {
        if (!edges.empty() && unit(rng) < repeat) {  // a copy of an edge already there, or a loop
            const Edge e = edges[std::uniform_int_distribution<std::size_t>(0, edges.size() - 1)(rng)];
            edges.push_back(unit(rng) < 0.5 ? e : Edge{e.i, e.i});
            continue;
        }
        const std::uint64_t a = vertex(rng), b = vertex(rng);
        if (a == b) continue;
        bool seen = false;
        for (const Edge& e : edges) seen = seen || (e.i == a && e.j == b) || (e.i == b && e.j == a);
        if (!seen) edges.push_back({a, b});
    }
    return edges;
}

// Points in the unit square joined when closer than radius.
std::vector<Edge> geometric_graph(std::mt19937_64& rng, std::uint64_t n, double radius) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::pair<double, double>> points(n);
    for (auto& p : points) p = {unit(rng), unit(rng)};
    std::vector<Edge> edges;
    for (std::uint64_t a = 0; a < n; ++a)
        for (std::uint64_t b = a + 1; b < n; ++b) {
            const double dx = points[a].first - points[b].first, dy = points[a].second - points[b].second;
            if (dx * dx + dy * dy < radius * radius) edges.push_back({a, b});
        }
    std::shuffle(edges.begin(), edges.end(), rng);
    return edges;
}

// A patch of the triangular lattice, rows x columns, optionally wrapped into a torus.
std::vector<Edge> triangular_lattice(std::uint64_t rows, std::uint64_t columns, bool torus) {
    std::vector<Edge> edges;
    const auto at = [&](std::uint64_t r, std::uint64_t c) { return (r % rows) * columns + c % columns; };
    for (std::uint64_t r = 0; r < rows; ++r)
        for (std::uint64_t c = 0; c < columns; ++c) {
            if (torus || c + 1 < columns) edges.push_back({at(r, c), at(r, c + 1)});
            if (torus || r + 1 < rows) edges.push_back({at(r, c), at(r + 1, c)});
            if (torus || (r + 1 < rows && c + 1 < columns)) edges.push_back({at(r, c), at(r + 1, c + 1)});
        }
    return edges;
}

void expect_same(const GraphRigidity& counted, const GraphRigidity& field, const std::string& what) {
    EXPECT_EQ(counted.labels, field.labels) << what;
    EXPECT_EQ(counted.redundant, field.redundant) << what;
    EXPECT_EQ(counted.rank, field.rank) << what;
    EXPECT_EQ(counted.max_rank, field.max_rank) << what;
    EXPECT_EQ(counted.is_rigid, field.is_rigid) << what;
    EXPECT_EQ(counted.is_redundantly_rigid, field.is_redundantly_rigid) << what;
    EXPECT_EQ(counted.is_globally_rigid, field.is_globally_rigid) << what;
    EXPECT_EQ(counted.global_rigidity_known, field.global_rigidity_known) << what;
    EXPECT_EQ(counted.error_bound, 0.0) << what;
}

void compare_with_field(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges, const std::string& what) {
    const GraphRigidity counted = generic_rigidity(n, d, edges);
    const GraphRigidity field = generic_rigidity(n, d, edges, {.seed = 7, .field = true});
    expect_same(counted, field, what + " n=" + std::to_string(n) + " d=" + std::to_string(d));
}

}  // namespace

TEST(Connectivity, AgreesWithRemovingVerticesAndEdges) {
    std::mt19937_64 rng(2028);
    int triconnected = 0, separable = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const std::uint64_t n = 4 + trial % 9;
        const std::size_t most = n * (n - 1) / 2;
        const std::size_t m = std::min<std::size_t>(most, n + trial % (2 * n + 1));
        const std::vector<Edge> edges = random_graph(rng, n, m, trial % 4 == 0 ? 0.15 : 0.0);
        const bool expected = connected_without_any(n, edges, 2);
        ASSERT_EQ(is_triconnected(n, edges), expected) << "trial " << trial;
        ASSERT_EQ(is_biconnected(n, edges), connected_without_any(n, edges, 1)) << "trial " << trial;
        (expected ? triconnected : separable)++;
        const std::vector<std::uint8_t> cycle = cycle_edges(n, edges);
        for (std::size_t e = 0; e < edges.size(); ++e) {
            // On a cycle: the ends stay joined without the edge (a loop always is one).
            std::vector<Edge> rest = edges;
            rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(e));
            rest.push_back({edges[e].i, edges[e].i});
            std::vector<std::uint64_t> root(n);
            bool joined = edges[e].i == edges[e].j;
            if (!joined) {
                for (std::uint64_t v = 0; v < n; ++v) root[v] = v;
                const auto find = [&](std::uint64_t v) {
                    while (root[v] != v) v = root[v] = root[root[v]];
                    return v;
                };
                for (const Edge& r : rest) root[find(r.i)] = find(r.j);
                joined = find(edges[e].i) == find(edges[e].j);
            }
            ASSERT_EQ(cycle[e], joined ? 1 : 0) << "trial " << trial << " edge " << e;
        }
    }
    EXPECT_GT(triconnected, 300);  // both answers are exercised
    EXPECT_GT(separable, 300);
}

TEST(Connectivity, LatticesAndSmallGraphs) {
    EXPECT_TRUE(is_triconnected(4, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));
    EXPECT_FALSE(is_triconnected(4, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}}));
    EXPECT_TRUE(is_triconnected(36, triangular_lattice(6, 6, true)));
    EXPECT_FALSE(is_triconnected(36, triangular_lattice(6, 6, false)));  // corners of degree 2
    EXPECT_THROW(is_triconnected(3, {{0, 1}, {1, 2}, {0, 2}}), InvalidInput);
    EXPECT_THROW(is_biconnected(4, {{0, 5}}), InvalidInput);
}

TEST(CountingRigidity, AgreesWithTheFieldOnRandomGraphs) {
    std::mt19937_64 rng(2029);
    for (int trial = 0; trial < 2500; ++trial) {
        const std::uint64_t d = 1 + trial % 2;
        const std::uint64_t used = 1 + trial % 11;
        const std::uint64_t n = used + (trial % 7 == 0 ? 2 : 0);  // some with isolated vertices
        const std::size_t most = used * (used - 1) / 2;
        const std::size_t m = used < 2 ? 0 : std::min<std::size_t>(most, trial % (3 * used));
        const std::vector<Edge> edges = random_graph(rng, used < 2 ? 2 : used, m, trial % 5 == 0 ? 0.2 : 0.0);
        compare_with_field(std::max<std::uint64_t>(n, used < 2 ? 2 : used), d, edges, "trial " + std::to_string(trial));
    }
}

TEST(CountingRigidity, AgreesWithTheFieldOnGeometricGraphsAndLattices) {
    std::mt19937_64 rng(2030);
    for (int trial = 0; trial < 400; ++trial) {
        const std::uint64_t n = 6 + trial % 25;
        compare_with_field(n, 1 + trial % 2, geometric_graph(rng, n, 0.25 + 0.02 * (trial % 10)),
                           "geometric " + std::to_string(trial));
    }
    for (std::uint64_t rows = 2; rows <= 6; ++rows)
        for (bool torus : {false, true}) {
            if (torus && rows < 3) continue;
            std::vector<Edge> edges = triangular_lattice(rows, 5, torus);
            std::shuffle(edges.begin(), edges.end(), rng);
            for (std::uint64_t d : {1, 2}) compare_with_field(rows * 5, d, edges, "lattice " + std::to_string(rows));
        }
    // Known answers: K4 is globally rigid in the plane, the bowtie is not on the line (each
    // triangle flips about the shared vertex), a doubled path is redundantly but not globally rigid.
    EXPECT_TRUE(generic_rigidity(4, 2, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}).is_globally_rigid);
    const GraphRigidity bowtie = generic_rigidity(5, 1, {{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 4}, {4, 2}});
    EXPECT_TRUE(bowtie.is_redundantly_rigid);
    EXPECT_FALSE(bowtie.is_globally_rigid);
    const GraphRigidity doubled = generic_rigidity(3, 1, {{0, 1}, {1, 2}, {0, 1}, {1, 2}});
    EXPECT_TRUE(doubled.is_redundantly_rigid);
    EXPECT_FALSE(doubled.is_globally_rigid);
}

// Thousands of vertices around the density at which rigidity percolates: large circuits, regions
// around the ends cut short, the searches and the local games all reached.
TEST(CountingRigidity, AgreesWithTheFieldOnLargeSparseGraphs) {
    std::mt19937_64 rng(47);
    for (const auto& [n, per_vertex] : {std::pair{600, 2.5}, {1500, 2.2}, {2500, 2.5}, {1200, 3.0}})
        compare_with_field(n, 2, random_graph(rng, n, static_cast<std::size_t>(n * per_vertex), 0.0),
                           "large sparse graph");
}

TEST(CountingRigidity, BatchMatchesSingleGraphsAndTheFieldBatch) {
    std::mt19937_64 rng(2031);
    std::vector<Edge> edges;
    std::vector<std::uint64_t> offsets{0}, n;
    for (int g = 0; g < 200; ++g) {
        const std::uint64_t count = 3 + g % 9;
        const std::vector<Edge> graph = random_graph(rng, count, std::min<std::size_t>(count * (count - 1) / 2, 2 * count), 0.0);
        edges.insert(edges.end(), graph.begin(), graph.end());
        offsets.push_back(edges.size());
        n.push_back(count);
    }
    const BatchRigidity counted = generic_rigidity_batch(edges, offsets, n, 2, 5, true);
    const BatchRigidity field = generic_rigidity_batch(edges, offsets, n, 2, 5, true, true);
    EXPECT_EQ(counted.labels, field.labels);
    EXPECT_EQ(counted.redundant, field.redundant);
    EXPECT_EQ(counted.rank, field.rank);
    EXPECT_EQ(counted.is_rigid, field.is_rigid);
    EXPECT_EQ(counted.is_globally_rigid, field.is_globally_rigid);
}

// An edge is redundant exactly when dropping it keeps the rank, which the component game counts
// without any search for circuits. Sparse graphs of up to 200 vertices around the density at which
// rigidity percolates (2 to 3 edges per vertex, some repeated) reach the searches and both ways a
// vertex hanging by two edges on a marked set is taken without one.
TEST(CircuitEdges, AgreeWithDroppingEachEdge) {
    std::mt19937_64 rng(31);
    const auto rank = [](std::uint64_t n, const std::vector<Edge>& edges, std::size_t skip) {
        ComponentPebbleGame game(n, 2, 3);
        std::uint64_t r = 0;
        for (std::size_t e = 0; e < edges.size(); ++e)
            if (e != skip) r += game.add_edge(edges[e].i, edges[e].j);
        return r;
    };
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint64_t n = 20 + 3 * trial;
        const auto m = static_cast<std::size_t>(n * (2.0 + 0.25 * (trial % 5)));
        const std::vector<Edge> edges = random_graph(rng, n, m, trial % 6 == 0 ? 0.05 : 0.0);
        const std::vector<std::uint8_t> redundant = plane_circuit_edges(n, edges);
        const std::uint64_t full = rank(n, edges, SIZE_MAX);
        for (std::size_t e = 0; e < m; ++e)
            ASSERT_EQ(redundant[e], rank(n, edges, e) == full ? 1 : 0) << "trial " << trial << " edge " << e;
    }
}

TEST(CircuitEdges, RejectsBadInput) {
    EXPECT_THROW(plane_circuit_edges(3, {{0, 3}}), InvalidInput);
    EXPECT_EQ(plane_circuit_edges(2, {{0, 0}, {0, 1}}), (std::vector<std::uint8_t>{1, 0}));
}
