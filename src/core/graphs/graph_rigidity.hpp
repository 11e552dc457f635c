// Rigidity of any graph: generic (exact, over the prime field of 2^61 - 1 at a random realization)
// or at given positions (the numeric labelling with a tolerance relative to the framework's size).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/node.hpp"
#include "base/traversal.hpp"

namespace telvora {

// What is known of a graph's rigidity in dimension d. Per-edge vectors follow the edge order.
struct GraphRigidity {
    std::vector<std::uint8_t> labels;     // 1: independent of the edges before it
    std::vector<std::uint8_t> redundant;  // 1: in some circuit (removing it keeps the rank)
    std::uint64_t rank = 0;
    std::uint64_t max_rank = 0;
    bool is_rigid = false;                // rank == max_rank
    bool is_redundantly_rigid = false;    // rigid, and rigid without any one edge
    // Generic mode only (numeric mode leaves it false and global_rigidity_known false).
    bool is_globally_rigid = false;
    bool global_rigidity_known = false;
    double tol = 0.0;                     // numeric mode: the tolerance used
    double error_bound = 0.0;             // generic mode: chance that any result above is wrong
};

struct GenericOptions {
    std::uint64_t seed = 0;
    std::uint64_t stream = 0;       // graph g of a batch draws its realization from (seed, g)
    bool redundancy = true;         // the random stress: `redundant`, redundant and global rigidity
    bool global_rigidity = true;    // the stress-matrix test (needs redundancy)
    // In the line and the plane the answers come from counting, certain and independent of the
    // seed; field forces the elimination there too, the reference the counting is tested against.
    bool field = false;
};

// Generic rigidity of the graph on n vertices with the given edges in dimension d >= 1. In the line
// and the plane (unless options.field) by counting, with error_bound 0: labels and rank by the
// (1, 1) and (2, 3) games (Laman's theorem in the plane); redundant edges are those on a cycle in
// the line and those in a circuit of the (2, 3)-sparsity matroid in the plane
// (plane_circuit_edges); global rigidity for n >= d + 2 is 2-connectivity in the line and
// 3-connectivity with redundant rigidity in the plane (Jackson and Jordan), both of the graph
// without loops and repeated edges. Otherwise (and in higher dimensions) decided on
// the vertices that carry edges (isolated ones only counted: memory O(m + (n' d)^2) at worst for n'
// of them, whatever n). Throws InvalidInput when an edge names a vertex >= n or n d reaches 2^63,
// OutOfMemory (a std::bad_alloc naming the size) when the work does not fit.
GraphRigidity generic_rigidity(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges,
                               const GenericOptions& options = {});

// The largest power of two not above the largest absolute coordinate difference along an edge;
// when no bar has a length, along any two vertices; when all vertices coincide, the largest
// absolute coordinate; 1 for a framework of zeros. So every framework has a scale that scaling
// by 2^k multiplies by 2^k. Throws InvalidInput when a coordinate is not finite.
double framework_scale(const NodeList& nodes, const std::vector<Edge>& edges);

// Rigidity at the positions of nodes (all of one dimension d >= 1), by a row-by-row sparse Givens
// QR factorization of the rigidity matrix (SparseGivensQR, the factor of every row), its columns
// in a fill-reducing order of the vertices: a row is independent of the rows before it when,
// rotated against the stored rows, what it leaves at columns without a stored row has a 2-norm
// above tol. With tol NaN the tolerance
// is relative: the coordinates are divided by framework_scale (exactly, being a power of two) and
// tol is max(m, n*d) * machine epsilon * an estimate of the largest singular value of the scaled
// matrix (power iteration), so scaling every coordinate by a power of two changes nothing, bit
// for bit; result.tol is the absolute tolerance that amounts to at the coordinates given. No row
// is stored that would lift a prefix's rank above its generic rank. Redundancy is the support of
// a random self-stress, projected off the factor. Throws InvalidInput when an edge names a
// missing vertex or a value is not finite.
GraphRigidity numeric_rigidity(const NodeList& nodes, const std::vector<Edge>& edges, double tol);

// The realization generic_rigidity draws from seed (stream 0), as residues v*d + k, and one random
// infinitesimal motion of the graph there: a random element of the right kernel of its rigidity
// matrix, drawn after the realization from the same stream. A pair {u, w} is fixed by the bars
// exactly when every motion moves u and w alike along u - w; a random motion does so for a pair
// that is not fixed with chance 1/p only.
struct GenericMotion {
    std::vector<std::uint64_t> coordinates;
    std::vector<std::uint64_t> velocities;
};
GenericMotion generic_motion(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges, std::uint64_t seed);

// The motions of a framework at given positions, from the factor numeric_rigidity builds (with
// tol NaN: on the coordinates scaled as it scales them, with its relative tolerance): basis is an
// orthonormal basis of the kernel of the rigidity matrix, free vectors, row c (v*d + k) at
// basis[c*free .. c*free + free). A row r lies in the row space when |r * basis| <= tol: a bar
// between the two vertices would be dependent. `length` is the framework's length in the units of
// `coordinates` (1 when scaled), for rows without a length of their own.
struct NumericMotions {
    std::vector<double> coordinates;  // as factored (scaled with tol NaN), v*d + k
    std::vector<double> basis;
    std::size_t free = 0;
    double tol = 0.0;
    double unit = 1.0;  // framework_scale with tol NaN, else 1: from the units of `coordinates` to the given
    double length = 1.0;
};
// With refine, each kernel vector is corrected against the rigidity matrix itself before
// Gram-Schmidt (refinement_steps steps, on the pivot columns by the factor's semi-normal
// equations): back substitution in a poorly conditioned triangle leaves residuals far above the
// rounding of the matrix, which the steps bring down.
NumericMotions numeric_motions(const NodeList& nodes, const std::vector<Edge>& edges, double tol, bool refine = false);

// An orthonormal basis of the self-stresses of a framework at given positions, from the same
// factor: for each dependent bar e (labels[e] == 0) in order, weight 1 on e and on the
// independent bars the weights that balance it (the factor's corrected semi-normal equations),
// made orthonormal to the stresses before it by Gram-Schmidt and balanced again. Stress j is at
// vectors[j*m .. (j+1)*m). tol as in NumericMotions;
// `factored` holds the positions as factored (scaled with tol NaN).
struct NumericStresses {
    std::vector<double> vectors;
    std::size_t count = 0;
    double tol = 0.0;
    double unit = 1.0;  // as in NumericMotions
    NodeList factored;
};
NumericStresses numeric_stresses(const NodeList& nodes, const std::vector<Edge>& edges, double tol);

// Many small graphs in one call: graph g owns edges[offsets[g] .. offsets[g+1]) (vertex indices
// local to the graph) and n_vertices[g] vertices; in numeric mode its nodes are
// nodes[first_vertex[g] ..] (first_vertex the running sum of n_vertices).

// Throws InvalidInput naming the graph when offsets are not non-decreasing from 0 to the edge
// count (one more entry than n_vertices), or an edge names a vertex outside its graph.
void require_batch_layout(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                          const std::vector<std::uint64_t>& n_vertices);

// Checks a batch in numeric mode (its layout, and one node per vertex of every graph: graph g's
// nodes follow those of the graphs before it) and calls visit with each graph's nodes and edges.
void for_each_framework(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                        const std::vector<std::uint64_t>& n_vertices, const NodeList& nodes,
                        const std::function<void(const NodeList&, const std::vector<Edge>&)>& visit);

// The seed from which generic_rigidity draws graph g of a batch seeded with seed, alone:
// seed XOR mix(g), mix being SplitMix64's finaliser (mix(0) = 0).
std::uint64_t batch_graph_seed(std::uint64_t seed, std::uint64_t g);
struct BatchRigidity {
    std::vector<std::uint8_t> labels;     // per edge, all graphs together
    std::vector<std::uint8_t> redundant;  // per edge
    std::vector<std::uint64_t> rank;      // per graph
    std::vector<std::uint64_t> max_rank;  // per graph
    std::vector<std::uint8_t> is_rigid;   // per graph
    std::vector<std::uint8_t> is_globally_rigid;  // per graph, when asked for (generic mode only)
};

// Throws InvalidInput naming the graph when offsets are not non-decreasing from 0 to the edge
// count, or an edge names a vertex outside its graph. With global_rigidity, each graph's generic
// global rigidity too, exactly as generic_rigidity decides it for that graph alone.
BatchRigidity generic_rigidity_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                     const std::vector<std::uint64_t>& n_vertices, std::uint64_t d,
                                     std::uint64_t seed, bool global_rigidity = false, bool field = false);
// tol NaN: each graph's relative tolerance.
BatchRigidity numeric_rigidity_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                     const std::vector<std::uint64_t>& n_vertices, const NodeList& nodes,
                                     double tol);

}  // namespace telvora
