// Edges: the candidate edges of the complete graph, in the order every per-edge output follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telvora {

struct Edge {
    std::uint64_t i = 0;
    std::uint64_t j = 0;
    friend bool operator==(const Edge&, const Edge&) = default;
};

// n(n-1)/2, throwing std::bad_alloc when it does not fit 64 bits.
std::uint64_t edge_count(std::uint64_t n);

// All pairs (i, j), i < j, in lexicographic order: (0,1), (0,2), ..., (n-2,n-1).
std::vector<Edge> upper_triangular_edges(std::uint64_t n);

// Throws InvalidInput naming the first edge with an end outside 0 .. n-1.
void require_edges_within(const Edge* edges, std::size_t count, std::uint64_t n);

}  // namespace telvora
