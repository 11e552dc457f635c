// The edges that lie in a circuit of the (2, 3)-sparsity matroid: the redundant bars of a generic
// framework in the plane.
#pragma once

#include <cstdint>
#include <vector>

#include "base/traversal.hpp"

namespace telvora {

// Per edge, 1 when it lies in some circuit of the (2, 3)-sparsity matroid on the multigraph
// (a loop is a circuit, a repeated edge lies in one). The redundant edges are the rejected ones
// and the fundamental circuit of each rejected edge uv in the accepted ones, whatever the order of
// play: uv with the accepted edges induced by the smallest tight set holding u and v, which is
// what the failed search for a fourth pebble on u and v reaches. The game is played in a maximum
// cardinality search order (circuits then stay local), and a rejected edge whose ends lie in a
// tight set already found (the union of the tight sets found, merged where they share two
// vertices) adds nothing and is not searched; nor is one whose circuit is the largest marked set
// and a few vertices around its ends, which two pebble games on those vertices find (see the .cpp).
// Throws InvalidInput for an edge naming a vertex >= n, OutOfMemory for n or m of 2^32 - 1 or more.
std::vector<std::uint8_t> plane_circuit_edges(std::uint64_t n, const std::vector<Edge>& edges);

}  // namespace telvora
