// Rigid components of a framework: maximal vertex sets whose pairwise distances the bars fix.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/node.hpp"
#include "base/traversal.hpp"

namespace telvora {

using VertexSets = std::vector<std::vector<std::uint64_t>>;

// Whether the pair {u, w} (u != w) is fixed.
using FixedPairTest = std::function<bool(std::uint32_t, std::uint32_t)>;

// The maximal sets of two or more vertices that are pairwise fixed (the maximal cliques of the
// fixed pairs), each sorted, ordered by smallest vertex. Each vertex a anchors the sets whose
// smallest vertex it is: a Bron-Kerbosch search with pivoting over the vertices fixed to a, those
// below a excluded, kept on an explicit stack. Where any `determined` pairwise fixed vertices
// decide their set (d of them, for a generic framework in dimension d: every vertex fixed to all
// of them moves with their rigid motion), a set of that size is completed by the vertices fixed to
// all of it without branching further.
VertexSets maximal_fixed_sets(std::uint64_t n, const FixedPairTest& fixed, std::uint64_t determined);

// Generic rigid components in dimension d at the realization generic_rigidity draws from seed. In
// the line and the plane they are the components of the (1, 1) and (2, 3) pebble games, exact and
// independent of the seed; in higher dimensions the fixed pairs come from one random motion.
// Worked out on the vertices that carry edges (an isolated vertex lies in no component), so n is
// only counted. Throws InvalidInput for d = 0, an edge naming a vertex >= n or beyond 2^63 - 1.
VertexSets generic_rigid_components(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges,
                                    std::uint64_t seed);

// Rigid components at the given positions, a pair fixed when its rigidity row reduces below tol
// (NaN: the tolerance of numeric_rigidity relative to the framework's size).
VertexSets numeric_rigid_components(const NodeList& nodes, const std::vector<Edge>& edges, double tol);

// The rigid components of many small graphs, laid out as for generic_rigidity_batch: graph g's
// components are rows offsets[g] .. offsets[g+1] of members, each row (component, vertex) with
// components numbered from 0 within the graph in the order above; in the line and the plane
// (d <= 2), where every bar lies in exactly one component at generic or distinct points,
// edge_component holds the first component containing each edge (-1 for none, which only a
// loop or coinciding points give).
struct BatchComponents {
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint64_t> members;  // two entries a row
    std::vector<std::int64_t> edge_component;
    bool per_edge = false;  // whether edge_component is kept: in dimension 1 or 2
};

// Graph g as generic_rigid_components with the seed batch_graph_seed(seed, g).
BatchComponents generic_components_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                         const std::vector<std::uint64_t>& n_vertices, std::uint64_t d,
                                         std::uint64_t seed);
// Graph g as numeric_rigid_components at its nodes (as numeric_rigidity_batch takes them).
BatchComponents numeric_components_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                         const std::vector<std::uint64_t>& n_vertices, const NodeList& nodes,
                                         double tol);

}  // namespace telvora
