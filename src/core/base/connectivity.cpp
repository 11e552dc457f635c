// Vertex and edge connectivity of a graph by depth-first search.
#include "base/connectivity.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

void require_small(std::uint64_t n, std::size_t m) {
    if (n >= none || m >= none)  // ids are 32-bit
        throw OutOfMemory("the connectivity search numbers vertices and edges in 32 bits: " + std::to_string(n) +
                          " vertices and " + std::to_string(m) + " edges are too many");
}

// Adjacency in compressed rows: the neighbours of v at [first[v], first[v + 1]), with the id of
// the edge to each; `simple` drops loops and repeated edges.
struct Adjacency {
    std::vector<std::uint32_t> first, neighbour, edge;
};

Adjacency adjacency(std::uint64_t n, const std::vector<Edge>& edges, bool simple) {
    require_small(n, edges.size());
    require_edges_within(edges.data(), edges.size(), n);
    require_allocatable(checked_multiply(edges.size(), 2), 2 * sizeof(std::uint32_t));
    Adjacency out;
    out.first.assign(n + 1, 0);
    for (const Edge& e : edges)
        if (e.i != e.j) ++out.first[e.i + 1], ++out.first[e.j + 1];
    for (std::uint64_t v = 0; v < n; ++v) out.first[v + 1] += out.first[v];
    out.neighbour.resize(out.first[n]);
    out.edge.resize(out.first[n]);
    std::vector<std::uint32_t> next(out.first.begin(), out.first.end() - 1);
    for (std::size_t k = 0; k < edges.size(); ++k) {
        const auto a = static_cast<std::uint32_t>(edges[k].i), b = static_cast<std::uint32_t>(edges[k].j);
        if (a == b) continue;
        out.neighbour[next[a]] = b, out.edge[next[a]++] = static_cast<std::uint32_t>(k);
        out.neighbour[next[b]] = a, out.edge[next[b]++] = static_cast<std::uint32_t>(k);
    }
    if (!simple) return out;
    // Each row sorted and its repeats dropped, compacted in place.
    std::uint32_t write = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        const std::uint32_t begin = out.first[v], end = out.first[v + 1];
        std::sort(out.neighbour.begin() + begin, out.neighbour.begin() + end);
        out.first[v] = write;
        for (std::uint32_t p = begin; p < end; ++p)
            if (p == begin || out.neighbour[p] != out.neighbour[p - 1]) out.neighbour[write++] = out.neighbour[p];
    }
    out.first[n] = write;
    out.neighbour.resize(write);
    out.edge.clear();  // edge ids lose their meaning once rows are merged
    return out;
}

// The depth-first search of a simple graph from vertex 0: preorder numbers from 1 (0 for a vertex
// not reached), parents, subtree sizes, the two lowest points each subtree reaches by at most one
// back edge (by number, the vertex's own when there is none), and the back edges as (tail, head).
struct SearchTree {
    std::vector<std::uint32_t> number, parent, size, low1, low2;
    std::vector<std::uint32_t> order;  // vertices in preorder
    std::vector<std::pair<std::uint32_t, std::uint32_t>> back;
};

SearchTree search_tree(const Adjacency& graph, std::uint64_t n) {
    SearchTree t;
    t.number.assign(n, 0), t.parent.assign(n, none), t.size.assign(n, 1);
    t.low1.assign(n, 0), t.low2.assign(n, 0);
    t.order.reserve(n);
    std::vector<std::uint32_t> position(graph.first.begin(), graph.first.end() - 1);
    std::vector<std::uint32_t> stack{0};
    t.number[0] = 1;
    t.order.push_back(0);
    t.low1[0] = t.low2[0] = 1;
    const auto offer = [&](std::uint32_t v, std::uint32_t x) {
        if (x < t.low1[v]) t.low2[v] = t.low1[v], t.low1[v] = x;
        else if (x > t.low1[v] && x < t.low2[v]) t.low2[v] = x;
    };
    while (!stack.empty()) {
        const std::uint32_t v = stack.back();
        if (position[v] < graph.first[v + 1]) {
            const std::uint32_t w = graph.neighbour[position[v]++];
            if (t.number[w] == 0) {
                t.number[w] = static_cast<std::uint32_t>(t.order.size() + 1);
                t.low1[w] = t.low2[w] = t.number[w];
                t.parent[w] = v;
                t.order.push_back(w);
                stack.push_back(w);
            } else if (t.number[w] < t.number[v] && w != t.parent[v]) {
                t.back.emplace_back(v, w);
                offer(v, t.number[w]);
            }
            continue;
        }
        stack.pop_back();
        if (t.parent[v] == none) continue;
        const std::uint32_t p = t.parent[v];
        t.size[p] += t.size[v];
        offer(p, t.low1[v]);
        offer(p, t.low2[v]);
    }
    return t;
}

// Whether the tree spans the graph and no vertex cuts it: the root has one child, and every
// other vertex's children reach above it.
bool spans_without_cut_vertex(const SearchTree& t, std::uint64_t n) {
    if (t.order.size() != n) return false;
    std::uint32_t root_children = 0;
    for (std::uint32_t w = 0; w < n; ++w) {
        const std::uint32_t p = t.parent[w];
        if (p == none) continue;
        if (t.parent[p] == none) ++root_children;
        else if (t.low1[w] >= t.number[p]) return false;
    }
    return root_children <= 1;
}

// Per non-root vertex w, the highest back edge head from w's subtree strictly above w's parent
// (0 when none), by number: back edges swept in order of their heads into a maximum tree over
// preorder positions, each query answered once every head below its bound is in.
std::vector<std::uint32_t> highest_below_parent(const SearchTree& t, std::uint64_t n) {
    std::size_t leaves = 1;
    while (leaves < n + 1) leaves *= 2;
    std::vector<std::uint32_t> tree(2 * leaves, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> back;  // (head number, tail number)
    back.reserve(t.back.size());
    for (const auto& [tail, head] : t.back) back.emplace_back(t.number[head], t.number[tail]);
    std::sort(back.begin(), back.end());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> queries;  // (bound, vertex)
    for (std::uint32_t w = 0; w < n; ++w)
        if (t.parent[w] != none) queries.emplace_back(t.number[t.parent[w]], w);
    std::sort(queries.begin(), queries.end());
    std::vector<std::uint32_t> out(n, 0);
    std::size_t next = 0;
    for (const auto& [bound, w] : queries) {
        for (; next < back.size() && back[next].first < bound; ++next) {
            std::size_t i = leaves + back[next].second;
            tree[i] = std::max(tree[i], back[next].first);
            for (i /= 2; i >= 1; i /= 2) tree[i] = std::max(tree[2 * i], tree[2 * i + 1]);
        }
        std::uint32_t best = 0;
        for (std::size_t lo = leaves + t.number[w], hi = leaves + t.number[w] + t.size[w]; lo < hi; lo /= 2, hi /= 2) {
            if (lo & 1) best = std::max(best, tree[lo++]);
            if (hi & 1) best = std::max(best, tree[--hi]);
        }
        out[w] = best;
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> cycle_edges(std::uint64_t n, const std::vector<Edge>& edges) {
    const Adjacency graph = adjacency(n, edges, false);
    std::vector<std::uint8_t> on_cycle(edges.size(), 1);
    std::vector<std::uint32_t> number(n, 0), low(n, 0), via(n, none);
    std::vector<std::uint32_t> position(graph.first.begin(), graph.first.end() - 1);
    std::vector<std::uint32_t> stack;
    std::uint32_t counter = 0;
    for (std::uint32_t root = 0; root < n; ++root) {
        if (number[root] != 0) continue;
        number[root] = low[root] = ++counter;
        stack.push_back(root);
        while (!stack.empty()) {
            const std::uint32_t v = stack.back();
            if (position[v] < graph.first[v + 1]) {
                const std::uint32_t p = position[v]++;
                const std::uint32_t w = graph.neighbour[p], e = graph.edge[p];
                if (e == via[v]) continue;  // the tree edge itself; a parallel copy is a back edge
                if (number[w] == 0) {
                    number[w] = low[w] = ++counter;
                    via[w] = e;
                    stack.push_back(w);
                } else {
                    low[v] = std::min(low[v], number[w]);
                }
                continue;
            }
            stack.pop_back();
            if (stack.empty()) continue;
            const std::uint32_t parent = stack.back();
            low[parent] = std::min(low[parent], low[v]);
            if (low[v] > number[parent]) on_cycle[via[v]] = 0;  // a bridge
        }
    }
    return on_cycle;
}

bool is_biconnected(std::uint64_t n, const std::vector<Edge>& edges) {
    if (n < 3) throw InvalidInput("is_biconnected needs at least 3 vertices");
    const Adjacency graph = adjacency(n, edges, true);
    return spans_without_cut_vertex(search_tree(graph, n), n);
}

bool is_triconnected(std::uint64_t n, const std::vector<Edge>& edges) {
    if (n < 4) throw InvalidInput("is_triconnected needs at least 4 vertices");
    const Adjacency graph = adjacency(n, edges, true);
    // Removing the at most two neighbours of a vertex of degree two or less cuts it off.
    for (std::uint64_t v = 0; v < n; ++v)
        if (graph.first[v + 1] - graph.first[v] < 3) return false;
    const SearchTree t = search_tree(graph, n);
    if (!spans_without_cut_vertex(t, n)) return false;
    // A subtree reaching only a = low1 and its parent b by back edges is cut off by {a, b}, unless
    // nothing else is left.
    for (std::uint32_t r = 0; r < n; ++r) {
        const std::uint32_t b = t.parent[r];
        if (b == none || t.parent[b] == none) continue;
        if (t.low2[r] >= t.number[b] && n - t.size[r] >= 3) return false;
    }
    // The first child of each vertex: the lowest low point, those whose second lowest lies above
    // the vertex last among equals. `stretch[x]`: the highest head (lowest number) of a back edge
    // from x or from the subtrees of its other children.
    std::vector<std::uint32_t> first_child(n, none), stretch(n, std::numeric_limits<std::uint32_t>::max());
    const auto key = [&](std::uint32_t w) {
        const std::uint32_t p = t.parent[w];
        return 3 * std::uint64_t{t.low1[w]} + (t.low2[w] < t.number[p] ? 0 : 2);
    };
    for (std::uint32_t w : t.order) {
        const std::uint32_t p = t.parent[w];
        if (p != none && (first_child[p] == none || key(w) < key(first_child[p]))) first_child[p] = w;
    }
    for (const auto& [tail, head] : t.back) stretch[tail] = std::min(stretch[tail], t.number[head]);
    for (std::uint32_t w = 0; w < n; ++w) {
        const std::uint32_t p = t.parent[w];
        if (p != none && first_child[p] != w) stretch[p] = std::min(stretch[p], t.low1[w]);
    }
    const std::vector<std::uint32_t> high = highest_below_parent(t, n);
    // Children of each vertex in compressed rows, for the check at b.
    std::vector<std::uint32_t> child_first(n + 1, 0), children(n > 0 ? n - 1 : 0);
    for (std::uint32_t w = 0; w < n; ++w)
        if (t.parent[w] != none) ++child_first[t.parent[w] + 1];
    for (std::uint64_t v = 0; v < n; ++v) child_first[v + 1] += child_first[v];
    {
        std::vector<std::uint32_t> fill(child_first.begin(), child_first.end() - 1);
        for (std::uint32_t w = 0; w < n; ++w)
            if (t.parent[w] != none) children[fill[t.parent[w]]++] = w;
    }
    // {a, b} with a the parent of r and b below r on its path of first children cuts off what
    // hangs between them (r's part of the tree above b, with b's children reaching no higher than
    // a) when no back edge from that stretch passes above a and no child of b both passes above a
    // and lands strictly between a and b.
    for (std::uint32_t r = 0; r < n; ++r) {
        const std::uint32_t a = t.parent[r];
        if (a == none || t.parent[a] == none) continue;
        const std::uint32_t na = t.number[a];
        std::uint32_t lowest = stretch[r];
        for (std::uint32_t b = first_child[r]; b != none && lowest >= na; b = first_child[b]) {
            bool separates = true;
            for (std::uint32_t p = child_first[b]; p < child_first[b + 1] && separates; ++p) {
                const std::uint32_t w = children[p];
                if (t.low1[w] < na && high[w] > na) separates = false;
            }
            if (separates) return false;
            lowest = std::min(lowest, stretch[b]);
        }
    }
    return true;
}

}  // namespace telvora
