// Nodes of a framework: copies out of a matrix view, checks and distances.
#include "base/node.hpp"

#include <cmath>
#include <string>

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

void check_coords(const MatrixView& coords, std::uint64_t d) {
    const std::uint64_t n = coords.n_rows;
    if (coords.n_cols != d)
        throw InvalidInput("coords has " + std::to_string(coords.n_cols) + " columns but d=" + std::to_string(d) +
                           " was specified");
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3");
    if (n <= d)
        throw InvalidInput("Need at least " + std::to_string(d + 1) + " nodes for d=" + std::to_string(d) + ", got " +
                           std::to_string(n));
}

NodeList nodes_from_coords(const MatrixView& coords, std::uint64_t d) {
    check_coords(coords, d);
    const std::uint64_t n = coords.n_rows;
    require_allocatable(n, sizeof(Node) + d * sizeof(double));
    NodeList nodes;
    nodes.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        Node node;
        node.coordinates.resize(d);
        for (std::uint64_t k = 0; k < d; ++k) node.coordinates[k] = coords.at(i, k);
        nodes.push_back(std::move(node));
    }
    return nodes;
}

void check_framework_shape(std::uint64_t n_nodes, std::uint64_t d) {
    if (n_nodes == 0) throw FatalError("Node list must not be empty");
    if (d != 2 && d != 3) throw FatalError("Only d=2 and d=3 are supported");
}

void check_node_list(const NodeList& nodes, std::uint64_t d) {
    check_framework_shape(nodes.size(), d);
    for (const Node& node : nodes)
        if (node.coordinates.size() != d) throw FatalError("All nodes must have dimension d=" + std::to_string(d));
}

double node_distance(const Node& a, const Node& b) {
    const std::size_t m = std::min(a.coordinates.size(), b.coordinates.size());
    double s = -0.0;
    for (std::size_t k = 0; k < m; ++k) {
        const double diff = a.coordinates[k] - b.coordinates[k];
        s = s + diff * diff;
    }
    return std::sqrt(s);
}

std::vector<double> pairwise_distances(const NodeList& nodes) {
    const std::uint64_t n = nodes.size();
    require_allocatable(checked_multiply(n, n), sizeof(double));
    std::vector<double> matrix(n * n, 0.0);
    for (std::uint64_t r = 0; r < n; ++r)
        for (std::uint64_t c = 0; c < n; ++c) matrix[r * n + c] = node_distance(nodes[r], nodes[c]);
    return matrix;
}

}  // namespace telvora
