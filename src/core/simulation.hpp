// Rigidity simulation: greedy labelling of candidate edges by the incremental rank test.
#pragma once

#include <cstdint>
#include <vector>

#include "node.hpp"
#include "rank.hpp"
#include "traversal.hpp"

namespace telvora {

// Labels (1 = independent, 0 = redundant or not tested) in candidate order, and the
// edges labelled 1 in the same order.
struct EdgeLabelling {
    std::vector<std::uint8_t> labels;
    std::vector<Edge> accepted_edges;
};

// Tests the edges in order with the given checker, stopping once its rank reaches max_rank;
// the remaining edges are labelled 0 without a test. The checker's rank is the final rank.
EdgeLabelling greedy_pass(const NodeList& nodes, const std::vector<Edge>& edges, IncrementalRankChecker& checker,
                          std::uint64_t max_rank);

// Adds the rows of the first m edges to a fresh checker and reports the rank it reached.
struct PrefixRank {
    std::uint64_t rank = 0;
    bool broke_down = false;
};
PrefixRank prefix_rank(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t m, double tol,
                       PivotRule rule);

// A breakdown (an infinite or NaN value met during elimination) can only be an arithmetic
// failure when every coordinate and the tolerance are finite and tol >= 0; only then are
// the rank phases run again with the largest-magnitude pivot.
bool breakdown_retry_applies(const NodeList& nodes, double tol);

// Throws std::bad_alloc when the checker's rows could not fit in memory at full rank.
void require_checker_memory(std::uint64_t max_rank, std::uint64_t ncols);

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
