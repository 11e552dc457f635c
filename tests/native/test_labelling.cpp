// label_edges: the one rank-phase sequence, on any edge list, against a plain greedy pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "base/errors.hpp"
#include "frameworks/labelling.hpp"
#include "base/random.hpp"

#include "support.hpp"

using namespace telvora;
using testing_support::make_nodes;

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The plainest reading of the labelling: each edge's dense row into one literal checker, in order,
// under the given pivot rule, with no shortcut; edges after full rank are redundant untested.
EdgeLabelling plain_labels(const NodeList& nodes, const std::vector<Edge>& edges, double tol, PivotRule rule) {
    const std::uint64_t dim = nodes[0].coordinates.size();
    IncrementalRankChecker checker(nodes.size() * dim, tol, rule);
    EdgeLabelling out;
    for (const Edge& e : edges) {
        const bool independent =
            checker.rank() < max_rank(nodes.size(), dim) && checker.add_row(RigidityRow(nodes, e.i, e.j).entries);
        out.labels.push_back(independent);
        if (independent) out.accepted_edges.push_back(e);
    }
    return out;
}

NodeList flattened(NodeList nodes) {
    for (Node& node : nodes) node.coordinates.back() = 0.5;
    return nodes;
}

}  // namespace

// The literal checker now takes the entries of a row; written over zeros they must give the dense
// row's stored values bit for bit, signs of zeros and non-finite values included.
TEST(LiteralChecker, SparseRowsStoreWhatDenseRowsStore) {
    const double inf = std::numeric_limits<double>::infinity();
    Lcg64 rng(3);
    NodeList nodes = random_nodes(9, 3, rng);
    nodes[4].coordinates[1] = nodes[2].coordinates[1];  // exact zero differences
    NodeList hostile = nodes;
    hostile[7].coordinates[0] = inf;
    hostile[8].coordinates = {1e300, -1e300, 1e-300};
    for (const NodeList& points : {nodes, hostile})
        for (PivotRule rule : {PivotRule::FirstAboveTolerance, PivotRule::LargestMagnitude}) {
            IncrementalRankChecker dense(27, 1e-9, rule), sparse(27, 1e-9, rule);
            std::vector<std::uint64_t> columns;
            std::vector<double> values;
            for (std::uint64_t i = 0; i < 9; ++i)
                for (std::uint64_t j = 0; j < 9; ++j) {  // both orders and the loops (i, i)
                    rigidity_entries(points, i, j, columns, values);
                    ASSERT_EQ(dense.add_row(RigidityRow(points, i, j).entries),
                              sparse.add_sparse_row(columns.data(), values.data(), columns.size()));
                }
            ASSERT_EQ(dense.pivot_cols(), sparse.pivot_cols());
            for (std::size_t s = 0; s < dense.rank(); ++s)
                EXPECT_TRUE(same_bits(dense.stored_rows()[s], sparse.stored_rows()[s]));
            EXPECT_EQ(dense.broke_down(), sparse.broke_down());
        }
    IncrementalRankChecker checker(4, 1e-9);
    const std::uint64_t outside = 4;
    const double one = 1.0;
    EXPECT_THROW(checker.add_sparse_row(&outside, &one, 1), FatalError);
}

// Any edge list in any order: repeated edges, loops and both orientations, on generic, flat and
// overflowing points, against the plain greedy pass; the prefix shortcut and the checker choice
// change nothing.
TEST(LabelEdges, AnyEdgeListAgreesWithThePlainPass) {
    std::mt19937_64 gen(11);
    struct Case {
        std::uint64_t n, d, seed;
        bool flat;
    };
    for (const Case c : {Case{12, 2, 1, false}, Case{12, 3, 2, true}, Case{70, 3, 166, false},
                         Case{110, 2, 5, true}, Case{60, 3, 280, false}}) {
        Lcg64 rng(c.seed);
        NodeList nodes = random_nodes(c.n, c.d, rng);
        if (c.flat) nodes = flattened(nodes);
        std::vector<Edge> edges = upper_triangular_edges(c.n);
        std::shuffle(edges.begin(), edges.end(), gen);
        for (std::size_t k = 0; k < edges.size(); k += 7) std::swap(edges[k].i, edges[k].j);
        edges.insert(edges.begin() + 3, edges[1]);  // a repeat is redundant
        edges.insert(edges.begin() + 5, Edge{2, 2});  // a loop has a zero row

        const Labelling first = label_edges(nodes, edges, 1e-9);
        const PivotRule rule = first.retried ? PivotRule::LargestMagnitude : PivotRule::FirstAboveTolerance;
        const EdgeLabelling plain = plain_labels(nodes, edges, 1e-9, rule);
        EXPECT_EQ(first.labelling.labels, plain.labels) << c.n << " " << c.d << " " << c.seed;
        EXPECT_EQ(first.labelling.accepted_edges, plain.accepted_edges);
        EXPECT_EQ(first.rank, plain.accepted_edges.size());
        EXPECT_EQ(first.labelling.labels[3], 0);
        EXPECT_EQ(first.labelling.labels[5], 0);
        for (const LabellingOptions options : {LabellingOptions{.prefix_shortcut = true},
                                               LabellingOptions{.checker = CheckerChoice::Literal},
                                               LabellingOptions{true, CheckerChoice::Literal}}) {
            const Labelling other = label_edges(nodes, edges, 1e-9, options);
            EXPECT_EQ(other.labelling.labels, first.labelling.labels);
            EXPECT_EQ(other.rank, first.rank);
            EXPECT_EQ(other.retried, first.retried);
        }
    }
}

// The complete graph of random points: the shortcut accepts the first max_rank edges; seed 280
// overflows under the first-column pivot and is decided by the retry.
TEST(LabelEdges, ShortcutAndRetryOnTheCompleteGraph) {
    for (const std::uint64_t seed : {7u, 280u}) {
        Lcg64 rng(seed);
        const NodeList nodes = random_nodes(60, 3, rng);
        const auto edges = upper_triangular_edges(60);
        const Labelling shortcut = label_edges(nodes, edges, 1e-9, {.prefix_shortcut = true});
        EXPECT_EQ(shortcut.max_rank, 174u);
        EXPECT_EQ(shortcut.rank, 174u);
        EXPECT_EQ(shortcut.retried, seed == 280);
        EXPECT_TRUE(std::equal(edges.begin(), edges.begin() + 174, shortcut.labelling.accepted_edges.begin(),
                               shortcut.labelling.accepted_edges.end()));
        EXPECT_EQ(label_edges(nodes, edges, 1e-9).labelling.labels, shortcut.labelling.labels);
    }
}

// Non-finite input keeps the plain behaviour (no retry); a missing vertex is the caller's error.
TEST(LabelEdges, NoRetryOnNonFiniteInputAndVerticesAreChecked) {
    NodeList nodes = make_nodes({{0, 0}, {1, 0}, {0, 1}, {1, 1}});
    nodes[3].coordinates[0] = std::numeric_limits<double>::quiet_NaN();
    const auto edges = upper_triangular_edges(4);
    const Labelling result = label_edges(nodes, edges, 1e-9, {.prefix_shortcut = true});
    EXPECT_FALSE(result.retried);
    EXPECT_EQ(result.labelling.labels, plain_labels(nodes, edges, 1e-9, PivotRule::FirstAboveTolerance).labels);
    EXPECT_THROW(label_edges(nodes, {{0, 4}}, 1e-9), InvalidInput);
    EXPECT_THROW(label_edges({}, {{0, 0}}, 1e-9), InvalidInput);
    EXPECT_EQ(label_edges({}, {}, 1e-9).max_rank, 0u);
}
