// Rigidity simulation: greedy labelling of candidate edges by the incremental rank test.
#include "simulation.hpp"

#include <cmath>

#include "memory.hpp"

namespace telvora {

namespace {

// Below 200 columns the literal checker's plain loops beat the blocked checker's bookkeeping
// (measured on frameworks of 10 to 67 random points: 0.5x to 1.0x), so small frameworks, the
// training batches among them, keep to it; from 200 on the blocked checker is as fast or faster
// (100 points in 2-D: 0.9x to 1.9x on random points, 1.5x to 2.2x on a line).
constexpr std::uint64_t blocked_min_columns = 200;

// How a rank phase runs, from one look at the coordinates: the blocked checker for large
// frameworks with finite coordinates and a finite tol >= 0, and a pass that will be retried once
// it breaks down need not go on after that.
struct PhasePlan {
    bool blocked;
    AtBreakdown at_breakdown;
};

PhasePlan plan_phase(const NodeList& nodes, double tol, PivotRule rule) {
    const std::uint64_t dim = nodes.empty() ? 0 : nodes[0].coordinates.size();
    const bool retried = breakdown_retry_applies(nodes, tol);
    return {nodes.size() * dim >= blocked_min_columns && retried,
            retried && rule == PivotRule::FirstAboveTolerance ? AtBreakdown::Stop : AtBreakdown::GoOn};
}

}  // namespace

PrefixRank prefix_rank(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                       PivotRule rule) {
    const PhasePlan phase = plan_phase(nodes, tol, rule);
    if (phase.blocked) return prefix_rank_with<BlockedRankChecker>(nodes, edges, m, tol, rule, phase.at_breakdown);
    return prefix_rank_with<IncrementalRankChecker>(nodes, edges, m, tol, rule, phase.at_breakdown);
}

GreedyOutcome greedy_labelling(const NodeList& nodes, const std::vector<Edge>& edges, double tol, PivotRule rule,
                               std::uint64_t max_rank) {
    const PhasePlan phase = plan_phase(nodes, tol, rule);
    if (phase.blocked)
        return greedy_labelling_with<BlockedRankChecker>(nodes, edges, tol, rule, max_rank, phase.at_breakdown);
    return greedy_labelling_with<IncrementalRankChecker>(nodes, edges, tol, rule, max_rank, phase.at_breakdown);
}

bool breakdown_retry_applies(const NodeList& nodes, double tol) {
    if (!std::isfinite(tol) || !(tol >= 0.0)) return false;
    for (const Node& node : nodes)
        for (double x : node.coordinates)
            if (!std::isfinite(x)) return false;
    return true;
}

void require_simulation_memory(std::uint64_t n, std::uint64_t d) {
    const std::uint64_t n_edges = edge_count(n);
    const std::uint64_t ncols = checked_multiply(n, d);
    std::uint64_t bytes = checked_multiply(checked_multiply(n, n), sizeof(double));
    bytes = checked_add(bytes, checked_multiply(n_edges, 2 * sizeof(Edge) + 1));
    bytes = checked_add(bytes, checked_multiply(checked_multiply(std::min(max_rank(n, d), n_edges), ncols), sizeof(double)));
    require_allocatable(bytes, 1);
}

SimulationResult simulate_nodes(const NodeList& nodes, std::uint64_t d, double tol) {
    check_node_list(nodes, d);
    const std::uint64_t n = nodes.size();
    const std::uint64_t mr = max_rank(n, d);
    require_simulation_memory(n, d);

    SimulationResult result;
    result.edges = upper_triangular_edges(n);
    PivotRule rule = PivotRule::FirstAboveTolerance;
    const bool retry = breakdown_retry_applies(nodes, tol);
    for (;;) {
        GreedyOutcome pass = greedy_labelling(nodes, result.edges, tol, rule, mr);
        if (retry && rule == PivotRule::FirstAboveTolerance && pass.broke_down) {
            rule = PivotRule::LargestMagnitude;
            continue;
        }
        result.labels = std::move(pass.labelling.labels);
        result.accepted_edges = std::move(pass.labelling.accepted_edges);
        result.final_rank = pass.final_rank;
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
