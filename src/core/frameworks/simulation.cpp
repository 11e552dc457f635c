// Rigidity simulation: the labelling of every candidate edge of a framework, as one result.
#include "frameworks/simulation.hpp"

#include <algorithm>

#include "base/memory.hpp"
#include "frameworks/rigidity.hpp"

namespace telvora {

void require_simulation_memory(std::uint64_t n, std::uint64_t d) {
    const std::uint64_t n_edges = edge_count(n);
    const std::uint64_t ncols = checked_multiply(n, d);
    std::uint64_t bytes = checked_multiply(checked_multiply(n, n), sizeof(double));
    bytes = checked_add(bytes, checked_multiply(n_edges, 2 * sizeof(Edge) + 1));
    bytes = checked_add(bytes, checked_multiply(checked_multiply(std::min(max_rank(n, d), n_edges), ncols), sizeof(double)));
    require_allocatable(bytes, 1);
}

SimulationResult simulate_nodes(const NodeList& nodes, std::uint64_t d, double tol, const LabellingOptions& options) {
    check_node_list(nodes, d);
    const std::uint64_t n = nodes.size();
    require_simulation_memory(n, d);

    SimulationResult result;
    result.edges = upper_triangular_edges(n);
    Labelling labelling = label_edges(nodes, result.edges, tol, options);
    result.labels = std::move(labelling.labelling.labels);
    result.accepted_edges = std::move(labelling.labelling.accepted_edges);
    result.final_rank = labelling.rank;
    result.distance_matrix = pairwise_distances(nodes);
    result.n_nodes = n;
    result.d = d;
    result.max_rank = labelling.max_rank;
    result.is_rigid = result.final_rank == result.max_rank;
    return result;
}

}  // namespace telvora
