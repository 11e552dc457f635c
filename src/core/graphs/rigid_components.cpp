// Rigid components of a framework: maximal vertex sets whose pairwise distances the bars fix.
#include "graphs/rigid_components.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "pebble/component_pebble.hpp"
#include "base/errors.hpp"
#include "graphs/graph_rigidity.hpp"
#include "base/memory.hpp"
#include "elimination/modular.hpp"

namespace telvora {

namespace {

// One level of the clique search: candidates P, excluded X, the branches still to try.
struct Level {
    std::vector<std::uint32_t> candidates, excluded, branches;
    std::size_t next = 0;
    std::size_t depth = 0;  // size of the current set when this level was entered
};

// Appends one graph's components to the batch, and where the batch keeps them the component of
// each edge: the first one in both ends' lists of components (which come out ascending).
void append_components(BatchComponents& batch, const VertexSets& sets, std::uint64_t n,
                       const std::vector<Edge>& edges) {
    for (std::size_t c = 0; c < sets.size(); ++c)
        for (std::uint64_t v : sets[c]) {
            batch.members.push_back(c);
            batch.members.push_back(v);
        }
    batch.offsets.push_back(batch.members.size() / 2);
    if (!batch.per_edge) return;
    std::vector<std::size_t> first(n + 1, 0);
    for (const std::vector<std::uint64_t>& set : sets)
        for (std::uint64_t v : set) ++first[v + 1];
    for (std::uint64_t v = 0; v < n; ++v) first[v + 1] += first[v];
    std::vector<std::uint64_t> holding(first[n]);
    std::vector<std::size_t> next(first.begin(), first.end() - 1);
    for (std::size_t c = 0; c < sets.size(); ++c)
        for (std::uint64_t v : sets[c]) holding[next[v]++] = c;
    for (const Edge& edge : edges) {
        const std::uint64_t* a = holding.data() + first[edge.i];
        const std::uint64_t* a_end = holding.data() + first[edge.i + 1];
        const std::uint64_t* b = holding.data() + first[edge.j];
        const std::uint64_t* b_end = holding.data() + first[edge.j + 1];
        std::int64_t found = -1;
        while (a != a_end && b != b_end) {
            if (*a == *b) {
                found = static_cast<std::int64_t>(*a);
                break;
            }
            if (*a < *b) ++a;
            else ++b;
        }
        batch.edge_component.push_back(found);
    }
}

void report(VertexSets& out, const std::vector<std::uint32_t>& current, const std::vector<std::uint32_t>& extra) {
    std::vector<std::uint64_t> set(current.begin(), current.end());
    set.insert(set.end(), extra.begin(), extra.end());
    std::sort(set.begin(), set.end());
    out.push_back(std::move(set));
}

// The pivot, among the excluded X then the candidates P (non-empty), fixed to most candidates;
// the first fixed to them all ends the choice.
std::uint32_t covering_pivot(const std::vector<std::uint32_t>& P, const std::vector<std::uint32_t>& X,
                             const FixedPairTest& fixed) {
    std::uint32_t pivot = P[0];
    std::size_t best = 0;
    for (const std::vector<std::uint32_t>* pool : {&X, &P}) {
        const std::size_t all = P.size() - (pool == &P ? 1 : 0);
        for (std::uint32_t u : *pool) {
            std::size_t covered = 0;
            for (std::uint32_t w : P) covered += (w != u && fixed(u, w));
            if (covered > best) pivot = u, best = covered;
            if (covered == all) return u;
        }
    }
    return pivot;
}

}  // namespace

VertexSets maximal_fixed_sets(std::uint64_t n, const FixedPairTest& fixed, std::uint64_t determined) {
    if (n >= std::numeric_limits<std::uint32_t>::max())
        throw OutOfMemory("the search numbers vertices in 32 bits: " + std::to_string(n) + " vertices with edges "
                          "are too many");
    VertexSets out;
    std::vector<std::uint32_t> current;
    std::vector<Level> stack;
    // Enters the level of `current` with candidates P and excluded X: reports a finished set, or
    // pushes the branches a pivot leaves (the candidates not fixed to it).
    auto enter = [&](std::vector<std::uint32_t>&& P, std::vector<std::uint32_t>&& X) {
        if (P.empty()) {
            if (X.empty() && current.size() >= 2) report(out, current, {});
            return;
        }
        if (current.size() >= determined) {
            if (X.empty()) report(out, current, P);  // else the set holds an excluded vertex: found before
            return;
        }
        const std::uint32_t pivot = covering_pivot(P, X, fixed);
        Level level;
        for (std::uint32_t w : P)
            if (w == pivot || !fixed(pivot, w)) level.branches.push_back(w);
        level.candidates = std::move(P);
        level.excluded = std::move(X);
        level.depth = current.size();
        stack.push_back(std::move(level));
    };
    for (std::uint32_t a = 0; a < n; ++a) {
        std::vector<std::uint32_t> P, X;
        for (std::uint32_t b = 0; b < n; ++b)
            if (b != a && fixed(a, b)) (b < a ? X : P).push_back(b);
        if (P.empty()) continue;  // every set through a has a smaller vertex, or a has none
        current.assign(1, a);
        enter(std::move(P), std::move(X));
        while (!stack.empty()) {
            Level& level = stack.back();
            if (level.next == level.branches.size()) {
                stack.pop_back();
                continue;
            }
            const std::uint32_t v = level.branches[level.next++];
            std::vector<std::uint32_t> P2, X2;
            for (std::uint32_t w : level.candidates)
                if (w != v && fixed(v, w)) P2.push_back(w);
            for (std::uint32_t w : level.excluded)
                if (fixed(v, w)) X2.push_back(w);
            // v moves from the candidates to the excluded of this level for the branches after it.
            level.candidates.erase(std::find(level.candidates.begin(), level.candidates.end(), v));
            level.excluded.push_back(v);
            current.resize(level.depth);
            current.push_back(v);
            enter(std::move(P2), std::move(X2));  // may invalidate `level`
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

// The components of a graph with no isolated vertex (as generic_rigid_components).
VertexSets components_on(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges, std::uint64_t seed) {
    // Generic rigidity in the line and the plane is the (1, 1) and (2, 3) count matroid. Its
    // components do not depend on the order of the edges, so the game takes the order it settles
    // fastest (on a random graph of 2.5 edges per vertex, several times faster than a random order).
    if (d <= 2) return play_sparsity_game(n, d, d == 1 ? 1 : 3, edges_by_cardinality_search(n, edges)).components;
    const GenericMotion motion = generic_motion(n, d, edges, seed);
    const std::uint64_t* x = motion.coordinates.data();
    const std::uint64_t* q = motion.velocities.data();
    const FixedPairTest fixed = [&](std::uint32_t u, std::uint32_t w) {
        std::uint64_t dot = 0;
        for (std::uint64_t k = 0; k < d; ++k)
            dot = modular::add(dot, modular::mul(modular::sub(x[u * d + k], x[w * d + k]),
                                                 modular::sub(q[u * d + k], q[w * d + k])));
        return dot == 0;
    };
    return maximal_fixed_sets(n, fixed, d);
}

// One graph's components in the numbering of its compact graph: a vertex without an edge lies in
// none, so the work sees only the vertices that carry edges.
VertexSets compact_components(const CompactGraph& compact, std::uint64_t n, std::uint64_t d,
                              const std::vector<Edge>& edges, std::uint64_t seed) {
    if (compact.identity) return components_on(n, d, edges, seed);
    return components_on(compact.original.size(), d, compact.edges, seed);
}

void check_components_arguments(std::uint64_t n, std::uint64_t d, const Edge* edges, std::size_t m) {
    if (d == 0) throw InvalidInput("the dimension d must be at least 1");
    require_edges_within(edges, m, n);
    require_int64_vertices(edges, m);
}

}  // namespace

VertexSets generic_rigid_components(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges,
                                    std::uint64_t seed) {
    check_components_arguments(n, d, edges.data(), edges.size());
    const CompactGraph compact = compact_graph(n, edges.data(), edges.size());
    VertexSets sets = compact_components(compact, n, d, edges, seed);
    if (!compact.identity)
        for (std::vector<std::uint64_t>& set : sets)
            for (std::uint64_t& v : set) v = compact.original[v];  // increasing, so the order stays
    return sets;
}

VertexSets numeric_rigid_components(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    const NumericMotions motions = numeric_motions(nodes, edges, tol);
    const std::size_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    const std::size_t f = motions.free;
    std::vector<double> reduced(f);
    // The kernel is known to about the rank test's tolerance times the condition number of the
    // factor, so with the relative tolerance a pair row counts as in the row space when its part
    // in the kernel is at most half the digits of its length, sqrt(eps) |p|, or tol if larger;
    // an absolute tol given is used as it is.
    const bool relative = std::isnan(tol);
    const double half_digits = std::sqrt(std::numeric_limits<double>::epsilon());
    const auto within = [&](double length) {
        double sum = 0.0;
        for (double value : reduced) sum = sum + value * value;
        const double bound = relative ? std::max(motions.tol, half_digits * length) : motions.tol;
        return std::sqrt(sum) <= bound;
    };
    // A pair is fixed when its row p lies in the row space: p * basis, its part in the kernel, is
    // within the bound. Coincident points have a zero row, which says nothing: they are fixed when
    // every motion moves them alike, each unit coordinate row (at the framework's length) lying
    // in the row space.
    const FixedPairTest fixed = [&](std::uint32_t u, std::uint32_t w) {
        bool coincident = true;
        double length = 0.0;
        std::fill(reduced.begin(), reduced.end(), 0.0);
        for (std::size_t k = 0; k < dim; ++k) {
            const double diff = motions.coordinates[u * dim + k] - motions.coordinates[w * dim + k];
            if (diff == 0.0) continue;
            coincident = false;
            length = length + 2.0 * diff * diff;
            const double* bu = motions.basis.data() + (u * dim + k) * f;
            const double* bw = motions.basis.data() + (w * dim + k) * f;
            for (std::size_t j = 0; j < f; ++j) reduced[j] = reduced[j] + diff * (bu[j] - bw[j]);
        }
        if (!coincident) return within(std::sqrt(length));
        for (std::size_t k = 0; k < dim; ++k) {
            const double* bu = motions.basis.data() + (u * dim + k) * f;
            const double* bw = motions.basis.data() + (w * dim + k) * f;
            for (std::size_t j = 0; j < f; ++j) reduced[j] = motions.length * (bu[j] - bw[j]);
            if (!within(std::sqrt(2.0) * motions.length)) return false;
        }
        return true;
    };
    // Positions need not be general, so no number of vertices is known to decide a set.
    return maximal_fixed_sets(nodes.size(), fixed, std::numeric_limits<std::uint64_t>::max());
}

BatchComponents generic_components_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                         const std::vector<std::uint64_t>& n_vertices, std::uint64_t d,
                                         std::uint64_t seed) {
    if (d == 0) throw InvalidInput("the dimension d must be at least 1");
    require_batch_layout(edges, offsets, n_vertices);
    require_int64_vertices(edges.data(), edges.size());
    BatchComponents batch;
    batch.offsets.reserve(n_vertices.size() + 1);
    batch.offsets.push_back(0);
    batch.per_edge = d <= 2;
    if (batch.per_edge) batch.edge_component.reserve(edges.size());
    for (std::size_t g = 0; g < n_vertices.size(); ++g) {
        const std::vector<Edge> graph_edges(edges.begin() + static_cast<std::ptrdiff_t>(offsets[g]),
                                            edges.begin() + static_cast<std::ptrdiff_t>(offsets[g + 1]));
        // Components and their edges are worked out in the compact numbering, so a graph of many
        // isolated vertices costs its edges; members are written back in the graph's own.
        const CompactGraph compact = compact_graph(n_vertices[g], graph_edges.data(), graph_edges.size());
        const VertexSets sets = compact_components(compact, n_vertices[g], d, graph_edges, batch_graph_seed(seed, g));
        const std::size_t first_member = batch.members.size();
        if (compact.identity) {
            append_components(batch, sets, n_vertices[g], graph_edges);
        } else {
            append_components(batch, sets, compact.original.size(), compact.edges);
            for (std::size_t row = first_member; row < batch.members.size(); row += 2)
                batch.members[row + 1] = compact.original[batch.members[row + 1]];
        }
    }
    return batch;
}

BatchComponents numeric_components_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                         const std::vector<std::uint64_t>& n_vertices, const NodeList& nodes,
                                         double tol) {
    BatchComponents batch;
    batch.per_edge = nodes.empty() || nodes[0].coordinates.size() <= 2;
    batch.offsets.reserve(n_vertices.size() + 1);
    batch.offsets.push_back(0);
    for_each_framework(edges, offsets, n_vertices, nodes,
                       [&](const NodeList& graph_nodes, const std::vector<Edge>& graph_edges) {
                           append_components(batch, numeric_rigid_components(graph_nodes, graph_edges, tol),
                                             graph_nodes.size(), graph_edges);
                       });
    return batch;
}

}  // namespace telvora
