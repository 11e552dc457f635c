// Labelling edges by the incremental rank test: the greedy pass, the prefix shortcut and the
// breakdown retry, written once for every caller.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "elimination/blocked_rank.hpp"
#include "base/node.hpp"
#include "elimination/rank.hpp"
#include "frameworks/rigidity.hpp"
#include "base/traversal.hpp"

namespace telvora {

// Labels (1 = independent, 0 = redundant or not tested) in edge order, and the edges labelled 1
// in the same order.
struct EdgeLabelling {
    std::vector<std::uint8_t> labels;
    std::vector<Edge> accepted_edges;
};

// What a pass does once a row comes out of elimination with an infinite or NaN value: go on to
// the end, or stop there when the pass is thrown away after a breakdown anyway (both give the
// same verdict, as a non-finite value never becomes finite again).
enum class AtBreakdown { GoOn, Stop };

// A checker for the rigidity rows of a node list, of which at most max_rows will be stored.
template <RankChecker Checker>
Checker checker_for(const NodeList& nodes, double tol, PivotRule rule, std::uint64_t max_rows) {
    const std::uint64_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    return Checker(RowShape{nodes.size() * dim, dim, max_rows}, tol, rule);
}

// Hands the rigidity row of an edge to a checker as its 2d non-zero entries, which spares
// building and scanning the dense row of every edge. The buffers are kept between edges.
class EdgeRows {
public:
    template <RankChecker Checker>
    bool add(Checker& checker, const NodeList& nodes, const Edge& edge) {
        rigidity_entries(nodes, edge.i, edge.j, columns_, values_);
        return checker.add_sparse_row(columns_.data(), values_.data(), columns_.size());
    }

private:
    std::vector<std::uint64_t> columns_;
    std::vector<double> values_;
};

// Tests the edges in order, stopping once the checker's rank reaches max_rank; the remaining
// edges are labelled 0 without a test. The checker's rank is the final rank.
template <RankChecker Checker>
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

template <RankChecker Checker>
PrefixRank prefix_rank_with(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                            PivotRule rule, AtBreakdown at_breakdown = AtBreakdown::GoOn) {
    Checker checker = checker_for<Checker>(nodes, tol, rule, m);
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

template <RankChecker Checker>
GreedyOutcome greedy_labelling_with(const NodeList& nodes, const std::vector<Edge>& edges, double tol,
                                    PivotRule rule, std::uint64_t max_rank,
                                    AtBreakdown at_breakdown = AtBreakdown::GoOn) {
    Checker checker = checker_for<Checker>(nodes, tol, rule, std::min<std::uint64_t>(max_rank, edges.size()));
    GreedyOutcome outcome;
    outcome.labelling = greedy_pass(nodes, edges, checker, max_rank, at_breakdown);
    outcome.final_rank = checker.rank();
    outcome.broke_down = checker.broke_down();
    return outcome;
}

// A breakdown (an infinite or NaN value met during elimination) can only be an arithmetic
// failure when every coordinate and the tolerance are finite and tol >= 0; only then are
// the rank phases run again with the largest-magnitude pivot.
bool breakdown_retry_applies(const NodeList& nodes, double tol);

// Which checker runs the rank phases.
enum class CheckerChoice {
    Automatic,  // the blocked checker for large frameworks where the retry applies, else the literal one
    Literal,    // the reference checker throughout (tests and benchmarks compare against it)
};

struct LabellingOptions {
    // Test the first max_rank edges first and stop there when they reach full rank, which is what
    // points in general position do; otherwise, or when they fall short, the full greedy pass.
    bool prefix_shortcut = false;
    CheckerChoice checker = CheckerChoice::Automatic;
};

struct Labelling {
    EdgeLabelling labelling;   // one label per edge
    std::uint64_t rank = 0;
    std::uint64_t max_rank = 0;
    bool retried = false;      // the first-column pivot broke down and the largest magnitude decided
};

// Labels every edge, in the given order, as independent of the edges accepted before it or not,
// with the absolute tolerance tol: the prefix shortcut when asked for, then the greedy pass, and
// both again with the largest-magnitude pivot when the first-column pivot breaks down on finite
// input (see breakdown_retry_applies). Edges may repeat, loop or come in any order. The nodes
// must all have the same number of coordinates, dim (one at least); throws InvalidInput when an
// edge names a node that does not exist.
Labelling label_edges(const NodeList& nodes, const std::vector<Edge>& edges, double tol,
                      const LabellingOptions& options = {});

// The two rank phases under one pivot rule, each with the checker label_edges would choose:
// exposed for the tests of the retry.
PrefixRank prefix_rank(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                       PivotRule rule);
GreedyOutcome greedy_labelling(const NodeList& nodes, const std::vector<Edge>& edges, double tol, PivotRule rule,
                               std::uint64_t max_rank);

}  // namespace telvora
