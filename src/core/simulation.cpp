// Rigidity simulation: greedy labelling of candidate edges by the incremental rank test.
#include "simulation.hpp"

#include <cmath>

#include "memory.hpp"
#include "rigidity.hpp"

namespace telvora {

EdgeLabelling greedy_pass(const NodeList& nodes, const std::vector<Edge>& edges, IncrementalRankChecker& checker,
                          std::uint64_t max_rank) {
    EdgeLabelling outcome;
    outcome.labels.reserve(edges.size());
    for (const Edge& edge : edges) {
        RigidityRow row(nodes, edge.i, edge.j);
        const bool independent = checker.add_row(std::move(row.entries));
        outcome.labels.push_back(independent ? 1 : 0);
        if (independent) outcome.accepted_edges.push_back(edge);
        if (checker.rank() == max_rank) break;
    }
    outcome.labels.resize(edges.size(), 0);
    return outcome;
}

PrefixRank prefix_rank(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                       PivotRule rule) {
    const std::uint64_t ncols = checked_multiply(nodes.size(), nodes.empty() ? 0 : nodes[0].coordinates.size());
    IncrementalRankChecker checker(ncols, tol, rule);
    for (std::uint64_t k = 0; k < m; ++k) {
        RigidityRow row(nodes, edges[k].i, edges[k].j);
        checker.add_row(std::move(row.entries));
    }
    return PrefixRank{checker.rank(), checker.broke_down()};
}

bool breakdown_retry_applies(const NodeList& nodes, double tol) {
    if (!std::isfinite(tol) || !(tol >= 0.0)) return false;
    for (const Node& node : nodes)
        for (double x : node.coordinates)
            if (!std::isfinite(x)) return false;
    return true;
}

void require_checker_memory(std::uint64_t max_rank, std::uint64_t ncols) {
    require_allocatable(checked_multiply(max_rank, ncols), sizeof(double));
}

SimulationResult simulate_nodes(const NodeList& nodes, std::uint64_t d, double tol) {
    check_node_list(nodes, d);
    const std::uint64_t n = nodes.size();
    const std::uint64_t mr = max_rank(n, d);
    const std::uint64_t ncols = checked_multiply(n, d);
    require_checker_memory(std::min(mr, edge_count(n)), ncols);

    SimulationResult result;
    result.edges = upper_triangular_edges(n);
    PivotRule rule = PivotRule::FirstAboveTolerance;
    const bool retry = breakdown_retry_applies(nodes, tol);
    for (;;) {
        IncrementalRankChecker checker(ncols, tol, rule);
        EdgeLabelling pass = greedy_pass(nodes, result.edges, checker, mr);
        if (retry && rule == PivotRule::FirstAboveTolerance && checker.broke_down()) {
            rule = PivotRule::LargestMagnitude;
            continue;
        }
        result.labels = std::move(pass.labels);
        result.accepted_edges = std::move(pass.accepted_edges);
        result.final_rank = checker.rank();
        break;
    }
    result.distance_matrix = pairwise_distances(nodes);
    result.n_nodes = n;
    result.d = d;
    result.max_rank = mr;
    result.is_rigid = result.final_rank == mr;
    return result;
}

}  // namespace telvora
