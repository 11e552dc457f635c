// The (k, l) game with components played edge by edge, recording after every edge what a
// percolation or dilution study plots: the largest component and how many there are.
#pragma once

#include <cstdint>
#include <vector>

#include "base/traversal.hpp"

namespace telvora {

struct SweepOutcome {
    std::vector<std::uint8_t> labels;          // per edge, 1 = accepted
    std::vector<std::int64_t> largest;         // per edge: vertices of the largest component after it
    std::vector<std::int64_t> components;      // per edge: components of two or more vertices after it
    // The components after the first snapshot_steps[s] edges, for each step asked for in the
    // order asked: rows snapshot_offsets[s] .. snapshot_offsets[s + 1] of the (component, vertex)
    // pairs, two int64 per row, components numbered from 0 within each snapshot in the order
    // play_sparsity_game gives them.
    std::vector<std::int64_t> snapshot_offsets;
    std::vector<std::int64_t> snapshot_pairs;
};

// Throws InvalidInput for k < 1, l >= 2k, an edge naming a vertex >= n or a step above the edge
// count; std::bad_alloc when the per-edge arrays cannot fit.
SweepOutcome play_rigidity_sweep(std::uint64_t n, std::uint64_t k, std::uint64_t l, const std::vector<Edge>& edges,
                                 const std::vector<std::uint64_t>& snapshot_steps);

}  // namespace telvora
