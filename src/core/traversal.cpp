// Candidate edges of the complete graph.
#include "traversal.hpp"

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

}  // namespace telvora
