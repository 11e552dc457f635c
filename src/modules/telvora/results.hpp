// The result dictionary shared by simulate and generate_training_batch.
#pragma once

#include <cstdint>
#include <vector>

#include "frame.hpp"
#include "base/traversal.hpp"

namespace telvora::py {

// Returns a new dictionary with the eight keys in their fixed order. The labels and the
// distance matrix (n*n, row-major) are handed over to the arrays without a copy.
PyRef make_result_dict(std::uint64_t n_nodes, std::uint64_t d, std::vector<Edge>&& accepted_edges,
                       std::vector<std::uint8_t>&& labels, std::vector<double>&& distance_matrix,
                       std::uint64_t final_rank, std::uint64_t max_rank);

}  // namespace telvora::py
