// Labelling edges by the incremental rank test: the greedy pass, the prefix shortcut and the
// breakdown retry, written once for every caller.
#include "frameworks/labelling.hpp"

#include <cmath>

namespace telvora {

namespace {

// Below this many columns the literal checker's plain loops beat the blocked checker's
// bookkeeping, so small frameworks (the training batches among them) keep to it; from here on the
// blocked checker is as fast or faster (docs/performance.md has the measurements).
constexpr std::uint64_t blocked_min_columns = 200;

// How a rank phase runs, from one look at the coordinates: the blocked checker for large
// frameworks where the retry applies, and a pass that will be retried once it breaks down need
// not go on after that.
struct PhasePlan {
    bool blocked;
    AtBreakdown at_breakdown;
};

PhasePlan plan_phase(const NodeList& nodes, double tol, PivotRule rule, CheckerChoice choice) {
    const std::uint64_t dim = nodes.empty() ? 0 : nodes[0].coordinates.size();
    const bool retried = breakdown_retry_applies(nodes, tol);
    return {choice == CheckerChoice::Automatic && nodes.size() * dim >= blocked_min_columns && retried,
            retried && rule == PivotRule::FirstAboveTolerance ? AtBreakdown::Stop : AtBreakdown::GoOn};
}

PrefixRank prefix_phase(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                        PivotRule rule, CheckerChoice choice) {
    const PhasePlan phase = plan_phase(nodes, tol, rule, choice);
    if (phase.blocked) return prefix_rank_with<BlockedRankChecker>(nodes, edges, m, tol, rule, phase.at_breakdown);
    return prefix_rank_with<IncrementalRankChecker>(nodes, edges, m, tol, rule, phase.at_breakdown);
}

GreedyOutcome greedy_phase(const NodeList& nodes, const std::vector<Edge>& edges, double tol, PivotRule rule,
                           std::uint64_t max_rank, CheckerChoice choice) {
    const PhasePlan phase = plan_phase(nodes, tol, rule, choice);
    if (phase.blocked)
        return greedy_labelling_with<BlockedRankChecker>(nodes, edges, tol, rule, max_rank, phase.at_breakdown);
    return greedy_labelling_with<IncrementalRankChecker>(nodes, edges, tol, rule, max_rank, phase.at_breakdown);
}

}  // namespace

bool breakdown_retry_applies(const NodeList& nodes, double tol) {
    if (!std::isfinite(tol) || !(tol >= 0.0)) return false;
    for (const Node& node : nodes)
        for (double x : node.coordinates)
            if (!std::isfinite(x)) return false;
    return true;
}

PrefixRank prefix_rank(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                       PivotRule rule) {
    return prefix_phase(nodes, edges, m, tol, rule, CheckerChoice::Automatic);
}

GreedyOutcome greedy_labelling(const NodeList& nodes, const std::vector<Edge>& edges, double tol, PivotRule rule,
                               std::uint64_t max_rank) {
    return greedy_phase(nodes, edges, tol, rule, max_rank, CheckerChoice::Automatic);
}

Labelling label_edges(const NodeList& nodes, const std::vector<Edge>& edges, double tol,
                      const LabellingOptions& options) {
    require_edges_within(edges.data(), edges.size(), nodes.size());
    Labelling result;
    result.max_rank = nodes.empty() ? 0 : max_rank(nodes.size(), nodes[0].coordinates.size());
    const std::uint64_t mr = result.max_rank;
    const std::uint64_t m = std::min<std::uint64_t>(mr, edges.size());
    const bool retry_applies = breakdown_retry_applies(nodes, tol);

    PivotRule rule = PivotRule::FirstAboveTolerance;
    for (;;) {
        const bool may_retry = retry_applies && rule == PivotRule::FirstAboveTolerance;
        if (options.prefix_shortcut) {
            const PrefixRank prefix = prefix_phase(nodes, edges, m, tol, rule, options.checker);
            if (prefix.broke_down && may_retry) {
                rule = PivotRule::LargestMagnitude;
                result.retried = true;
                continue;
            }
            if (prefix.rank == mr) {
                // Full rank from the first m edges: each of them was independent, and nothing after
                // them can be.
                result.labelling.labels.assign(edges.size(), 0);
                std::fill_n(result.labelling.labels.begin(), m, std::uint8_t{1});
                result.labelling.accepted_edges.assign(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(m));
                result.rank = mr;
                return result;
            }
        }
        GreedyOutcome pass = greedy_phase(nodes, edges, tol, rule, mr, options.checker);
        if (pass.broke_down && may_retry) {
            rule = PivotRule::LargestMagnitude;
            result.retried = true;
            continue;
        }
        result.labelling = std::move(pass.labelling);
        result.rank = pass.final_rank;
        return result;
    }
}

}  // namespace telvora
