// Vertex and edge connectivity of a graph by depth-first search: the edges on cycles, and whether
// a graph is 2- or 3-connected. All are linear in the edges but the 3-connectivity test (below).
#pragma once

#include <cstdint>
#include <vector>

#include "base/traversal.hpp"

namespace telvora {

// Per edge, 1 when it lies on a cycle: not a bridge. A loop is a cycle, and so is each copy of a
// repeated edge. O(n + m); edges must lie within 0 .. n-1.
std::vector<std::uint8_t> cycle_edges(std::uint64_t n, const std::vector<Edge>& edges);

// Whether the graph on n >= 3 vertices is connected and stays so without any one vertex. Loops
// and repeated edges change nothing. O(n + m).
bool is_biconnected(std::uint64_t n, const std::vector<Edge>& edges);

// Whether the graph on n >= 4 vertices is connected and stays so without any two vertices. Loops
// and repeated edges change nothing. One depth-first search gives low points; a separation pair
// {a, b} then shows in the search tree in one of two ways: a subtree whose back edges reach only
// a and b, or a stretch of the path of first children (the child with the lowest low point)
// hanging between a and b, which is looked for by walking that path down from each vertex while
// no back edge from the stretch passes above a. Linear but for those walks, which stop at the
// first back edge passing a: O(n + m) on every family measured (benchmarks/bench_plane.py), O(n m)
// at worst.
bool is_triconnected(std::uint64_t n, const std::vector<Edge>& edges);

}  // namespace telvora
