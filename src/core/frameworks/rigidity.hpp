// Rows of the rigidity matrix and the largest possible rank of a framework.
#pragma once

#include <cstdint>
#include <vector>

#include "base/node.hpp"

namespace telvora {

// The rigidity-matrix row of edge (i, j): dense, n*dim entries, only the blocks of
// nodes i and j non-zero. The rank checker takes ownership of entries.
struct RigidityRow {
    std::vector<double> entries;

    // Throws FatalError when the two nodes differ in dimension.
    RigidityRow(const NodeList& nodes, std::uint64_t i, std::uint64_t j);
};

// The non-zero blocks of the same row, as the constructor above writes them: column dim*i+k takes
// diff_k, then column dim*j+k takes -diff_k, for k = 0 .. dim-1 (a later write to the same column
// wins). `columns` and `values` are overwritten; their capacity is kept for the next edge.
// Throws FatalError when the two nodes differ in dimension.
void rigidity_entries(const NodeList& nodes, std::uint64_t i, std::uint64_t j, std::vector<std::uint64_t>& columns,
                      std::vector<double>& values);

// The largest rank of n points in d dimensions: n*d - d(d+1)/2 for n >= d, and n(n-1)/2 for
// n < d, where every pair of the points in general position is independent and the formula falls
// below that. Throws std::overflow_error when n*d or d*(d+1) does not fit 64 bits.
std::uint64_t max_rank(std::uint64_t n, std::uint64_t d);

}  // namespace telvora
