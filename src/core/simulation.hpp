// Rigidity simulation: greedy labelling of candidate edges by the incremental rank test.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "blocked_rank.hpp"
#include "node.hpp"
#include "rank.hpp"
#include "rigidity.hpp"
#include "traversal.hpp"

namespace telvora {

// Labels (1 = independent, 0 = redundant or not tested) in candidate order, and the
// edges labelled 1 in the same order.
struct EdgeLabelling {
    std::vector<std::uint8_t> labels;
    std::vector<Edge> accepted_edges;
};

// A fresh checker for rows of the node list that will hold at most max_rows rows; the blocked
// one reserves their room up front. Taking the first column above tol as pivot fills the columns
// in order and leaves long runs of zeros in each coordinate's columns, which the blocked checker
// gathers by storing the rows coordinate by coordinate. Under the largest-magnitude rule rows stay
// sparse around the nodes they touch, whose columns lie together in the caller's order.
template <class Checker>
Checker new_checker(const NodeList& nodes, double tol, PivotRule rule, std::uint64_t max_rows) {
    const std::uint64_t dim = nodes.empty() ? 0 : nodes[0].coordinates.size();
    if constexpr (std::is_same_v<Checker, BlockedRankChecker>) {
        Checker checker(nodes.size() * dim, tol, rule, rule == PivotRule::FirstAboveTolerance ? dim : 1);
        checker.reserve(max_rows);
        return checker;
    } else {
        return Checker(nodes.size() * dim, tol, rule);
    }
}

// Hands the rigidity row of an edge to a checker: the blocked checker takes its 2d non-zero
// entries alone, which spares building and scanning the dense row of every edge.
class EdgeRows {
public:
    template <class Checker>
    bool add(Checker& checker, const NodeList& nodes, const Edge& edge) {
        if constexpr (std::is_same_v<Checker, BlockedRankChecker>) {
            rigidity_entries(nodes, edge.i, edge.j, columns_, values_);
            return checker.add_sparse_row(columns_.data(), values_.data(), columns_.size());
        } else {
            RigidityRow row(nodes, edge.i, edge.j);
            return checker.add_row(std::move(row.entries));
        }
    }

private:
    std::vector<std::uint64_t> columns_;
    std::vector<double> values_;
};

// What a pass does once a row comes out of elimination with an infinite or NaN value: go on to
// the end, or stop there when the pass is thrown away after a breakdown anyway (both give the
// same verdict, as a non-finite value never becomes finite again).
enum class AtBreakdown { GoOn, Stop };

// Tests the edges in order with the given checker, stopping once its rank reaches max_rank;
// the remaining edges are labelled 0 without a test. The checker's rank is the final rank.
template <class Checker>
EdgeLabelling greedy_pass(const NodeList& nodes, const std::vector<Edge>& edges, Checker& checker,
                          std::uint64_t max_rank, AtBreakdown at_breakdown = AtBreakdown::GoOn) {
    EdgeLabelling outcome;
    outcome.labels.reserve(edges.size());
    EdgeRows rows;
    for (const Edge& edge : edges) {
        const bool independent = rows.add(checker, nodes, edge);
        outcome.labels.push_back(independent ? 1 : 0);
        if (independent) outcome.accepted_edges.push_back(edge);
        if (checker.rank() == max_rank) break;
        if (at_breakdown == AtBreakdown::Stop && checker.saw_non_finite_row()) break;
    }
    outcome.labels.resize(edges.size(), 0);
    return outcome;
}

// The rank reached by the rows of the first m edges in a fresh checker.
struct PrefixRank {
    std::uint64_t rank = 0;
    bool broke_down = false;
};

template <class Checker>
PrefixRank prefix_rank_with(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                            PivotRule rule, AtBreakdown at_breakdown = AtBreakdown::GoOn) {
    Checker checker = new_checker<Checker>(nodes, tol, rule, m);
    EdgeRows rows;
    for (std::uint64_t k = 0; k < m; ++k) {
        rows.add(checker, nodes, edges[k]);
        if (at_breakdown == AtBreakdown::Stop && checker.saw_non_finite_row()) break;
    }
    return PrefixRank{checker.rank(), checker.broke_down()};
}

// A greedy pass over all edges in a fresh checker.
struct GreedyOutcome {
    EdgeLabelling labelling;
    std::uint64_t final_rank = 0;
    bool broke_down = false;
};

template <class Checker>
GreedyOutcome greedy_labelling_with(const NodeList& nodes, const std::vector<Edge>& edges, double tol,
                                    PivotRule rule, std::uint64_t max_rank,
                                    AtBreakdown at_breakdown = AtBreakdown::GoOn) {
    Checker checker = new_checker<Checker>(nodes, tol, rule, std::min<std::uint64_t>(max_rank, edges.size()));
    GreedyOutcome outcome;
    outcome.labelling = greedy_pass(nodes, edges, checker, max_rank, at_breakdown);
    outcome.final_rank = checker.rank();
    outcome.broke_down = checker.broke_down();
    return outcome;
}

// The two rank phases with the checker that suits the input: the blocked checker for frameworks
// of 200 columns or more with finite coordinates and a finite tol >= 0, the literal
// one otherwise. Both give the same bits; the literal one is faster on small frameworks and keeps
// odd inputs on the plainest path. Where a breakdown is retried with the largest-magnitude pivot
// (the first-above-tol rule, see breakdown_retry_applies), a pass that breaks down stops at its
// first non-finite row: its rank and labels are then those of the rows tested so far.
PrefixRank prefix_rank(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                       PivotRule rule);
GreedyOutcome greedy_labelling(const NodeList& nodes, const std::vector<Edge>& edges, double tol, PivotRule rule,
                               std::uint64_t max_rank);

// A breakdown (an infinite or NaN value met during elimination) can only be an arithmetic
// failure when every coordinate and the tolerance are finite and tol >= 0; only then are
// the rank phases run again with the largest-magnitude pivot.
bool breakdown_retry_applies(const NodeList& nodes, double tol);

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

// The standard simulation of a node list: one greedy pass from the first edge, with no
// fast path. Throws FatalError when check_node_list fails.
SimulationResult simulate_nodes(const NodeList& nodes, std::uint64_t d, double tol);

}  // namespace telvora
