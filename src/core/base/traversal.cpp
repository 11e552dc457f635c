// Edges: the candidate edges of the complete graph, the check of an edge list, and the order in
// which a pebble game settles a graph's edges fastest.
#include "base/traversal.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

std::uint64_t edge_count(std::uint64_t n) {
    if (n < 2) return 0;
    // One of n and n - 1 is even: halve it first so the product cannot overflow needlessly.
    return n % 2 == 0 ? checked_multiply(n / 2, n - 1) : checked_multiply(n, (n - 1) / 2);
}

std::vector<Edge> upper_triangular_edges(std::uint64_t n) {
    const std::uint64_t count = edge_count(n);
    require_allocatable(count, sizeof(Edge));
    std::vector<Edge> edges;
    edges.reserve(count);
    for (std::uint64_t i = 0; i + 1 < n; ++i)
        for (std::uint64_t j = i + 1; j < n; ++j) edges.push_back(Edge{i, j});
    return edges;
}

std::vector<Edge> edges_by_cardinality_search(std::uint64_t n, const std::vector<Edge>& edges) {
    const std::vector<std::uint32_t> order = cardinality_search_order(n, edges);
    std::vector<Edge> ordered;
    ordered.reserve(order.size());
    for (std::uint32_t k : order) ordered.push_back(edges[k]);
    return ordered;
}

std::vector<std::uint32_t> cardinality_search_order(std::uint64_t n, const std::vector<Edge>& edges) {
    require_edges_within(edges.data(), edges.size(), n);
    const std::size_t m = edges.size();
    if (n >= 0xFFFFFFFFu || m >= 0xFFFFFFFFu)  // ids are 32-bit
        throw OutOfMemory("the search order numbers vertices and edges in 32 bits: " + std::to_string(n) +
                          " vertices and " + std::to_string(m) + " edges are too many");
    require_allocatable(checked_multiply(m, 2), sizeof(std::uint32_t));
    // Incident edge ids per vertex (a loop twice at its vertex).
    std::vector<std::size_t> first(n + 1, 0);
    for (const Edge& e : edges) {
        ++first[e.i + 1];
        ++first[e.j + 1];
    }
    for (std::uint64_t v = 0; v < n; ++v) first[v + 1] += first[v];
    std::vector<std::uint32_t> incident(2 * m);
    {
        std::vector<std::size_t> next(first.begin(), first.end() - 1);
        for (std::size_t k = 0; k < m; ++k) {
            incident[next[edges[k].i]++] = static_cast<std::uint32_t>(k);
            incident[next[edges[k].j]++] = static_cast<std::uint32_t>(k);
        }
    }
    // Buckets by count of taken neighbours, each a stack with stale entries skipped when popped:
    // every count increase pushes once, so n + 2m pushes in all.
    std::vector<std::vector<std::uint32_t>> bucket(1);
    bucket[0].reserve(n);
    for (std::uint64_t v = n; v-- > 0;) bucket[0].push_back(static_cast<std::uint32_t>(v));
    std::vector<std::uint32_t> count(n, 0);
    std::vector<std::uint8_t> taken(n, 0);
    std::vector<std::uint32_t> ordered;
    ordered.reserve(m);
    std::size_t top = 0;
    for (std::uint64_t step = 0; step < n; ++step) {
        std::uint32_t v;
        for (;;) {
            while (bucket[top].empty()) --top;
            v = bucket[top].back();
            bucket[top].pop_back();
            if (!taken[v] && count[v] == top) break;
        }
        taken[v] = 1;
        for (std::size_t p = first[v]; p < first[v + 1]; ++p) {
            const Edge& e = edges[incident[p]];
            const std::uint64_t u = e.i == v ? e.j : e.i;
            if (u == v) {
                if (p + 1 < first[v + 1] && incident[p + 1] == incident[p]) ++p;  // the loop's second entry
                ordered.push_back(incident[p]);
                continue;
            }
            if (taken[u]) {
                ordered.push_back(incident[p]);
                continue;
            }
            const std::uint32_t c = ++count[u];
            if (c == bucket.size()) bucket.emplace_back();
            bucket[c].push_back(static_cast<std::uint32_t>(u));
            top = std::max<std::size_t>(top, c);
        }
    }
    return ordered;
}

CompactGraph compact_graph(std::uint64_t n, const Edge* edges, std::size_t m) {
    CompactGraph graph;
    require_allocatable(checked_multiply(m, 2), sizeof(std::uint64_t));
    if (n / 2 <= m) {
        // At most twice as many vertices as edges: a mark per vertex costs what the edges do, and
        // a graph without isolated vertices (the usual one) is recognised without sorting.
        std::vector<std::uint64_t> index(n, 0);
        for (std::size_t e = 0; e < m; ++e) index[edges[e].i] = index[edges[e].j] = 1;
        for (std::uint64_t v = 0; v < n; ++v)
            if (index[v] != 0) index[v] = graph.original.size(), graph.original.push_back(v);
        graph.identity = graph.original.size() == n;
        if (graph.identity) return graph;
        graph.edges.resize(m);
        for (std::size_t e = 0; e < m; ++e) graph.edges[e] = Edge{index[edges[e].i], index[edges[e].j]};
        return graph;
    }
    graph.original.reserve(2 * m);
    for (std::size_t e = 0; e < m; ++e) graph.original.push_back(edges[e].i), graph.original.push_back(edges[e].j);
    std::sort(graph.original.begin(), graph.original.end());
    graph.original.erase(std::unique(graph.original.begin(), graph.original.end()), graph.original.end());
    // More than twice as many vertices as edges: some are isolated.
    auto compact = [&](std::uint64_t v) {
        return static_cast<std::uint64_t>(std::lower_bound(graph.original.begin(), graph.original.end(), v) -
                                          graph.original.begin());
    };
    graph.edges.resize(m);
    for (std::size_t e = 0; e < m; ++e) graph.edges[e] = Edge{compact(edges[e].i), compact(edges[e].j)};
    return graph;
}

void require_int64_vertices(const Edge* edges, std::size_t count) {
    constexpr std::uint64_t largest = std::uint64_t{1} << 63;
    for (std::size_t k = 0; k < count; ++k)
        if (edges[k].i >= largest || edges[k].j >= largest)
            throw InvalidInput("edge " + std::to_string(k) + " (" + std::to_string(edges[k].i) + ", " +
                               std::to_string(edges[k].j) + ") names a vertex beyond 2**63 - 1; vertices are "
                               "listed as int64");
}

void require_edges_within(const Edge* edges, std::size_t count, std::uint64_t n) {
    for (std::size_t k = 0; k < count; ++k)
        if (edges[k].i >= n || edges[k].j >= n)
            throw InvalidInput("edge " + std::to_string(k) + " (" + std::to_string(edges[k].i) + ", " +
                               std::to_string(edges[k].j) + ") names a vertex outside 0 .. " +
                               (n == 0 ? std::string("(none: the graph has no vertices)") : std::to_string(n - 1)));
}

}  // namespace telvora
