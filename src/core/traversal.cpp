// Edges: the candidate edges of the complete graph, and the check of an edge list.
#include "traversal.hpp"

#include <string>

#include "errors.hpp"
#include "memory.hpp"

namespace telvora {

std::uint64_t edge_count(std::uint64_t n) {
    if (n < 2) return 0;
    // One of n and n - 1 is even: halve it first so the product cannot overflow needlessly.
    return n % 2 == 0 ? checked_multiply(n / 2, n - 1) : checked_multiply(n, (n - 1) / 2);
}

std::vector<Edge> upper_triangular_edges(std::uint64_t n) {
    const std::uint64_t count = edge_count(n);
    require_allocatable(count, sizeof(Edge));
    std::vector<Edge> edges;
    edges.reserve(count);
    for (std::uint64_t i = 0; i + 1 < n; ++i)
        for (std::uint64_t j = i + 1; j < n; ++j) edges.push_back(Edge{i, j});
    return edges;
}

void require_edges_within(const Edge* edges, std::size_t count, std::uint64_t n) {
    for (std::size_t k = 0; k < count; ++k)
        if (edges[k].i >= n || edges[k].j >= n)
            throw InvalidInput("edge " + std::to_string(k) + " (" + std::to_string(edges[k].i) + ", " +
                               std::to_string(edges[k].j) + ") names a vertex outside 0 .. " +
                               (n == 0 ? std::string("(none: the graph has no vertices)") : std::to_string(n - 1)));
}

}  // namespace telvora
