// Edges: the candidate edges of the complete graph, in the order every per-edge output follows,
// and the order in which a pebble game settles a graph's edges fastest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telvora {

struct Edge {
    std::uint64_t i = 0;
    std::uint64_t j = 0;
    friend bool operator==(const Edge&, const Edge&) = default;
};

// n(n-1)/2, throwing std::bad_alloc when it does not fit 64 bits.
std::uint64_t edge_count(std::uint64_t n);

// All pairs (i, j), i < j, in lexicographic order: (0,1), (0,2), ..., (n-2,n-1).
std::vector<Edge> upper_triangular_edges(std::uint64_t n);

// The edges regrouped by a maximum cardinality search: vertices are taken one at a time, each
// time one with the most neighbours already taken (the most recently counted among equals, the
// smallest first in a new part), and each edge comes right after its later end is taken, the
// edges of one vertex in their given order. Growing a graph in this order keeps most new vertices
// attached by two or more edges to what is there, which is what a pebble game settles cheaply; a
// random order crosses the percolation point of a random graph with the whole graph in play.
// Loops and repeated edges are kept. O(n + m) time and memory. Throws InvalidInput for an end
// outside 0 .. n-1, std::bad_alloc for n or m of 2^32 - 1 or more.
std::vector<Edge> edges_by_cardinality_search(std::uint64_t n, const std::vector<Edge>& edges);
// The same order as edge indices into `edges`.
std::vector<std::uint32_t> cardinality_search_order(std::uint64_t n, const std::vector<Edge>& edges);

// A graph without its isolated vertices: the vertices that carry an edge, renumbered 0 .. n' - 1
// in increasing order, so that sorted vertex lists stay sorted. What the rank, the labels, the
// redundancy, the pebble game's acceptance and the rigid components say of a graph does not
// depend on its isolated vertices, so the work is done here and mapped back: a graph costs its
// edges, and its vertex count is only a number.
struct CompactGraph {
    std::vector<std::uint64_t> original;  // compact vertex -> vertex of the given graph, increasing
    std::vector<Edge> edges;              // the edges in their order, in compact numbering
    // Whether no vertex is isolated: the numbering is then the identity and `edges` is left empty,
    // the given edges serving as they are.
    bool identity = false;
};

// O(m) time and memory when n <= 2m (a mark per vertex), else O(m log m) time and O(m) memory
// (the ends sorted), whatever n; edges must lie within 0 .. n-1.
CompactGraph compact_graph(std::uint64_t n, const Edge* edges, std::size_t m);

// Throws InvalidInput naming the first edge with an end beyond 2^63 - 1: results that list
// vertices report them as signed 64-bit integers.
void require_int64_vertices(const Edge* edges, std::size_t count);

// Throws InvalidInput naming the first edge with an end outside 0 .. n-1.
void require_edges_within(const Edge* edges, std::size_t count, std::uint64_t n);

}  // namespace telvora
