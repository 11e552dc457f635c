// Rigidity simulation: the labelling of every candidate edge of a framework, as one result.
#pragma once

#include <cstdint>
#include <vector>

#include "frameworks/labelling.hpp"
#include "base/node.hpp"
#include "base/traversal.hpp"

namespace telvora {

// Throws std::bad_alloc when what a simulation of n nodes in d dimensions holds at once (the
// distance matrix, the edges and labels, the checker's rows at full rank) cannot fit in memory.
void require_simulation_memory(std::uint64_t n, std::uint64_t d);

struct SimulationResult {
    std::vector<Edge> edges;                // every candidate edge, tested or not
    std::vector<std::uint8_t> labels;       // one per entry of edges
    std::vector<Edge> accepted_edges;       // edges labelled 1, in order
    std::vector<double> distance_matrix;    // n*n, row-major
    std::uint64_t n_nodes = 0;
    std::uint64_t d = 0;
    std::uint64_t final_rank = 0;
    std::uint64_t max_rank = 0;
    bool is_rigid = false;
};

// The simulation of a node list: every candidate edge labelled by label_edges, with the prefix
// shortcut when asked for (the training batch runs without it). Throws FatalError when
// check_node_list fails.
SimulationResult simulate_nodes(const NodeList& nodes, std::uint64_t d, double tol,
                                const LabellingOptions& options = {});

}  // namespace telvora
