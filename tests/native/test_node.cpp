// Nodes, their checks and distances; candidate edges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "base/errors.hpp"
#include "base/node.hpp"
#include "base/traversal.hpp"

#include "support.hpp"

using namespace telvora;
using testing_support::make_nodes;

namespace {

std::string invalid_input_message(const MatrixView& view, std::uint64_t d) {
    try {
        nodes_from_coords(view, d);
    } catch (const InvalidInput& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(NodesFromCoords, ChecksRunInOrderWithTheirMessages) {
    const std::vector<double> values(30, 1.0);
    const auto view = [&](std::uint64_t rows, std::uint64_t cols) {
        return MatrixView::row_major(values.data(), rows, cols);
    };
    EXPECT_EQ(invalid_input_message(view(4, 3), 2), "coords has 3 columns but d=2 was specified");
    EXPECT_EQ(invalid_input_message(view(5, 2), 5), "coords has 2 columns but d=5 was specified");
    EXPECT_EQ(invalid_input_message(view(5, 4), 4), "d must be 2 or 3");
    EXPECT_EQ(invalid_input_message(view(3, 3), 3), "Need at least 4 nodes for d=3, got 3");
    EXPECT_EQ(invalid_input_message(view(0, 2), 2), "Need at least 3 nodes for d=2, got 0");
    EXPECT_EQ(invalid_input_message(view(3, 2), 2), "no error");
}

TEST(NodesFromCoords, ReadsThroughNegativeAndUnalignedStrides) {
    // A 3x2 matrix stored transposed and reversed by rows, at an odd byte offset.
    const double m[3][2] = {{1.5, -2.0}, {3.25, 4.0}, {-0.0, 7.0}};
    std::vector<char> storage(1 + 6 * sizeof(double));
    char* base = storage.data() + 1;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 2; ++c) std::memcpy(base + (c * 3 + (2 - r)) * sizeof(double), &m[r][c], sizeof(double));
    const MatrixView view{base + 2 * sizeof(double), 3, 2, -static_cast<std::int64_t>(sizeof(double)),
                          3 * sizeof(double)};
    const NodeList nodes = nodes_from_coords(view, 2);
    ASSERT_EQ(nodes.size(), 3u);
    for (std::uint64_t r = 0; r < 3; ++r) {
        EXPECT_EQ(nodes[r].coordinates, (std::vector<double>{m[r][0], m[r][1]}));
    }
    EXPECT_TRUE(std::signbit(nodes[2].coordinates[0]));
}

TEST(CheckNodeList, FailsInOrder) {
    const auto message = [](const NodeList& nodes, std::uint64_t d) -> std::string {
        try {
            check_node_list(nodes, d);
        } catch (const FatalError& error) {
            return error.what();
        }
        return "passed";
    };
    EXPECT_EQ(message({}, 2), "Node list must not be empty");
    EXPECT_EQ(message({}, 7), "Node list must not be empty");
    EXPECT_EQ(message(make_nodes({{0, 0}}), 4), "Only d=2 and d=3 are supported");
    EXPECT_EQ(message(make_nodes({{0, 0, 0}, {1, 1}}), 3), "All nodes must have dimension d=3");
    EXPECT_EQ(message(make_nodes({{0, 0}}), 2), "passed");
}

TEST(NodeDistance, SumsFromNegativeZeroInCoordinateOrder) {
    const NodeList nodes = make_nodes({{0, 0}, {3, 4}});
    const std::vector<double> matrix = pairwise_distances(nodes);
    EXPECT_EQ(matrix, (std::vector<double>{0, 5, 5, 0}));
    EXPECT_FALSE(std::signbit(matrix[0]));  // -0.0 + 0*0 is +0.0
    EXPECT_TRUE(std::signbit(node_distance(Node{{}}, Node{{}})));
    // Order matters in floating point: 1e16 + 1 + 1 != 1e16 + 2 in a different grouping.
    const Node a{{1e8, 1.0, 1.0}};
    const Node b{{0.0, 0.0, 0.0}};
    EXPECT_EQ(node_distance(a, b), std::sqrt(((-0.0 + 1e16) + 1.0) + 1.0));
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(std::isnan(node_distance(Node{{inf}}, Node{{inf}})));
}

TEST(PairwiseDistances, IsExactlySymmetric) {
    const NodeList nodes = make_nodes({{0.1, 0.7}, {1.3, -2.9}, {1e-300, 5e300}, {3.3, 3.3}});
    const std::vector<double> matrix = pairwise_distances(nodes);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(matrix[r * 4 + c], matrix[c * 4 + r]);
}

TEST(UpperTriangularEdges, LexicographicOrder) {
    EXPECT_TRUE(upper_triangular_edges(0).empty());
    EXPECT_TRUE(upper_triangular_edges(1).empty());
    EXPECT_EQ(upper_triangular_edges(4),
              (std::vector<Edge>{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));
    EXPECT_EQ(edge_count(100001), 100001ull * 50000ull);
    EXPECT_THROW(upper_triangular_edges(std::uint64_t{1} << 40), std::bad_alloc);
    EXPECT_THROW(edge_count(~std::uint64_t{0}), std::bad_alloc);
}
