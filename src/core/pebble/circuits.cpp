// The edges in circuits of the (2, 3)-sparsity matroid: the game with components says which edges
// are accepted, an orientation of those (out-degree at most two) gives each rejected edge's
// smallest tight set by a failed pebble search.
#include "pebble/circuits.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "base/errors.hpp"
#include "base/memory.hpp"
#include "pebble/component_pebble.hpp"

namespace telvora {

namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

// The accepted edges directed so that free pebbles plus out-degree is 2 at every vertex: two
// out-slots per vertex, each with its head and the edge's id.
class PlaneOrientation {
public:
    explicit PlaneOrientation(std::uint64_t n)
        : pebbles_(n, 2), head_(2 * n, none), id_(2 * n, none), mark_(n, 0) {}

    // Directs an edge independent of those placed: from u when u has a free pebble, else from v,
    // else from u after a search brings one there (one exists: every set of vertices spans at
    // most twice as many accepted edges).
    void place_independent(std::uint32_t u, std::uint32_t v, std::uint32_t id) {
        if (pebbles_[u] == 0 && pebbles_[v] > 0) std::swap(u, v);
        if (pebbles_[u] == 0 && !search(u, u, u)) throw FatalError("no free pebble for an independent edge");
        place(u, v, id);
    }
    // For an edge dependent on those placed: gathers what pebbles it can on u and v (three, the
    // most a tight set holding both allows) and returns the vertices reachable from them, the
    // smallest tight set holding u and v.
    const std::vector<std::uint32_t>& smallest_tight_set(std::uint32_t u, std::uint32_t v) {
        while (pebbles_[u] < 2 && search(u, u, v)) {
        }
        while (pebbles_[v] < 2 && search(v, u, v)) {
        }
        if (pebbles_[u] + pebbles_[v] != 3) throw FatalError("a dependent edge gathered other than three pebbles");
        reach(u, v);
        return reached_;
    }
    // The ids of x's out-edges (none for an empty slot).
    std::uint32_t out_id(std::uint32_t x, int slot) const { return id_[2 * std::size_t{x} + slot]; }

private:
    void place(std::uint32_t tail, std::uint32_t head, std::uint32_t id) {
        const std::size_t s = 2 * std::size_t{tail} + (head_[2 * std::size_t{tail}] == none ? 0 : 1);
        head_[s] = head, id_[s] = id;
        --pebbles_[tail];
    }
    void new_stamp() {
        if (++stamp_ == 0) std::fill(mark_.begin(), mark_.end(), 0), stamp_ = 1;
    }
    // Depth-first from s for a free pebble on a vertex other than u and v; found, it is moved to s
    // by turning the path around.
    bool search(std::uint32_t s, std::uint32_t u, std::uint32_t v) {
        new_stamp();
        mark_[s] = stamp_;
        visited_.assign(1, s);
        failed_ = false;
        path_.assign(1, {s, 0});
        while (!path_.empty()) {
            Step& top = path_.back();
            if (top.slot == 2) {
                path_.pop_back();
                continue;
            }
            const std::size_t slot = 2 * std::size_t{top.vertex} + top.slot++;
            const std::uint32_t w = head_[slot];
            if (w == none || mark_[w] == stamp_) continue;
            mark_[w] = stamp_;
            if (pebbles_[w] > 0 && w != u && w != v) {
                turn_path(w);
                return true;
            }
            visited_.push_back(w);
            path_.push_back({w, 0});
        }
        failed_ = true;
        return false;
    }
    // The path on the stack followed by its last slot to w, turned around from w back to s.
    void turn_path(std::uint32_t w) {
        std::uint32_t next = w;
        for (std::size_t k = path_.size(); k-- > 0;) {
            const std::uint32_t x = path_[k].vertex;
            const std::size_t slot = 2 * std::size_t{x} + path_[k].slot - 1;
            const std::uint32_t id = id_[slot];
            head_[slot] = none, id_[slot] = none;
            ++pebbles_[x];
            place(next, x, id);
            next = x;
        }
    }
    // The vertices reachable from u and v. When the last search failed, nothing moved since, and
    // what it visited (closed under out-edges: it tried every slot) is taken as it stands.
    void reach(std::uint32_t u, std::uint32_t v) {
        std::size_t done = 0;
        if (failed_) {
            reached_.swap(visited_);
            done = reached_.size();
        } else {
            new_stamp();
            reached_.clear();
        }
        for (std::uint32_t s : {u, v})
            if (mark_[s] != stamp_) mark_[s] = stamp_, reached_.push_back(s);
        for (std::size_t k = done; k < reached_.size(); ++k)
            for (int slot = 0; slot < 2; ++slot) {
                const std::uint32_t w = head_[2 * std::size_t{reached_[k]} + slot];
                if (w != none && mark_[w] != stamp_) mark_[w] = stamp_, reached_.push_back(w);
            }
    }

    struct Step {
        std::uint32_t vertex;
        std::uint32_t slot;  // next out-slot to try
    };
    std::vector<std::uint8_t> pebbles_;
    std::vector<std::uint32_t> head_, id_, mark_;
    std::uint32_t stamp_ = 0;
    std::vector<Step> path_;
    std::vector<std::uint32_t> reached_, visited_;
    bool failed_ = false;  // the last search found no pebble (and visited_ holds what it reached)
};

// Tight sets whose induced accepted edges are all marked, each vertex listing those holding it.
// Two sharing two vertices have a tight union inducing no edge beyond theirs, so a new set is
// merged into (the largest of) those it meets twice; the smaller ones are emptied into it.
class TightSets {
public:
    explicit TightSets(std::uint64_t n) : sets_of_(n) {}

    bool share(std::uint32_t u, std::uint32_t v) const {
        for (std::uint32_t a : sets_of_[u])
            for (std::uint32_t b : sets_of_[v])
                if (a == b) return true;
        return false;
    }

    // A set holding all of u, v, w and x, or none.
    std::uint32_t holding(std::uint32_t u, std::uint32_t v, std::uint32_t w, std::uint32_t x) const {
        for (std::uint32_t c : sets_of_[u])
            if (holds(v, c) && holds(w, c) && holds(x, c)) return c;
        return none;
    }
    // Adds x to the set c (which stays tight: x brings two edges into it).
    void extend(std::uint32_t c, std::uint32_t x) { join(x, c); }

    // The set with the most vertices, or none.
    std::uint32_t largest() const { return largest_; }
    bool holds(std::uint32_t x, std::uint32_t c) const {
        return std::find(sets_of_[x].begin(), sets_of_[x].end(), c) != sets_of_[x].end();
    }

    void add(const std::vector<std::uint32_t>& vertices) {
        joining_.clear();
        for (std::uint32_t x : vertices)
            for (std::uint32_t c : sets_of_[x])
                if (count_[c]++ == 1) joining_.push_back(c);
        for (std::uint32_t x : vertices)
            for (std::uint32_t c : sets_of_[x]) count_[c] = 0;
        std::uint32_t base = none;
        for (std::uint32_t c : joining_)
            if (base == none || members_[c].size() > members_[base].size()) base = c;
        if (base == none) {
            base = static_cast<std::uint32_t>(members_.size());
            members_.emplace_back();
            count_.push_back(0);
        }
        for (std::uint32_t c : joining_) {
            if (c == base) continue;
            for (std::uint32_t x : members_[c]) {
                std::vector<std::uint32_t>& list = sets_of_[x];
                list.erase(std::find(list.begin(), list.end(), c));
                join(x, base);
            }
            std::vector<std::uint32_t>().swap(members_[c]);
        }
        for (std::uint32_t x : vertices) join(x, base);
    }

private:
    void join(std::uint32_t x, std::uint32_t c) {
        std::vector<std::uint32_t>& list = sets_of_[x];
        if (std::find(list.begin(), list.end(), c) != list.end()) return;
        list.push_back(c);
        members_[c].push_back(x);
        if (largest_ == none || members_[c].size() > members_[largest_].size()) largest_ = c;
    }
    std::vector<std::vector<std::uint32_t>> sets_of_, members_;
    std::vector<std::uint32_t> count_, joining_;
    std::uint32_t largest_ = none;
};

// A pebble game on a few vertices (two pebbles each, or none for a pinned vertex standing for a
// rigid body), for the local tests below.
class LocalGame {
public:
    void reset(std::uint32_t vertices, std::uint32_t pinned) {
        pebbles_.assign(vertices, 2);
        if (pinned != none) pebbles_[pinned] = 0;
        head_.assign(2 * std::size_t{vertices}, none);
        mark_.assign(vertices, 0);
        stamp_ = 0;
    }
    // Directs an edge independent of those placed; false when no end can get a pebble.
    bool place(std::uint32_t a, std::uint32_t b) {
        if (pebbles_[a] == 0 && pebbles_[b] > 0) std::swap(a, b);
        if (pebbles_[a] == 0 && !search(a, a, b)) {
            std::swap(a, b);
            if (pebbles_[a] == 0 && !search(a, a, b)) return false;
        }
        head_[2 * std::size_t{a} + (head_[2 * std::size_t{a}] == none ? 0 : 1)] = b;
        --pebbles_[a];
        return true;
    }
    // The pebbles a and b hold once every one that can be is brought to them.
    std::uint32_t gather(std::uint32_t a, std::uint32_t b) {
        while (pebbles_[a] < 2 && search(a, a, b)) {
        }
        while (pebbles_[b] < 2 && search(b, a, b)) {
        }
        return pebbles_[a] + (a == b ? 0 : pebbles_[b]);
    }
    // The vertices reachable from a and b.
    void reach(std::uint32_t a, std::uint32_t b, std::vector<std::uint32_t>& out) {
        ++stamp_;
        out.clear();
        for (std::uint32_t s : {a, b})
            if (mark_[s] != stamp_) mark_[s] = stamp_, out.push_back(s);
        for (std::size_t k = 0; k < out.size(); ++k)
            for (int slot = 0; slot < 2; ++slot)
                if (const std::uint32_t w = head_[2 * std::size_t{out[k]} + slot]; w != none && mark_[w] != stamp_)
                    mark_[w] = stamp_, out.push_back(w);
    }

private:
    bool search(std::uint32_t s, std::uint32_t a, std::uint32_t b) {
        ++stamp_;
        mark_[s] = stamp_;
        parent_.assign(mark_.size(), none);
        queue_.assign(1, s);
        for (std::size_t k = 0; k < queue_.size(); ++k) {
            const std::uint32_t x = queue_[k];
            for (int slot = 0; slot < 2; ++slot) {
                const std::uint32_t w = head_[2 * std::size_t{x} + slot];
                if (w == none || mark_[w] == stamp_) continue;
                mark_[w] = stamp_, parent_[w] = 2 * x + slot;
                if (pebbles_[w] > 0 && w != a && w != b) {
                    --pebbles_[w];
                    for (std::uint32_t y = w; y != s;) {  // turn the path around
                        const std::uint32_t from = parent_[y] / 2;
                        head_[parent_[y]] = none;
                        head_[2 * std::size_t{y} + (head_[2 * std::size_t{y}] == none ? 0 : 1)] = from;
                        y = from;
                    }
                    ++pebbles_[s];
                    return true;
                }
                queue_.push_back(w);
            }
        }
        return false;
    }
    std::vector<std::uint32_t> pebbles_, head_, mark_, parent_, queue_;
    std::uint32_t stamp_ = 0;
};

}  // namespace

std::vector<std::uint8_t> plane_circuit_edges(std::uint64_t n, const std::vector<Edge>& edges) {
    const std::vector<std::uint32_t> order = cardinality_search_order(n, edges);  // checks the edges
    const std::size_t m = edges.size();
    require_allocatable(checked_multiply(n, 2), 2 * sizeof(std::uint32_t) + sizeof(std::uint64_t));
    // Which edges are independent of those before them in this order: the game with components.
    std::vector<std::uint8_t> accepted(m, 0);
    if (m > 0) {
        ComponentPebbleGame components(n, 2, 3);
        for (std::uint32_t e : order) accepted[e] = components.add_edge(edges[e].i, edges[e].j) ? 1 : 0;
    }
    std::vector<std::uint8_t> redundant(m, 0);
    PlaneOrientation game(n);
    TightSets marked(n);
    // Per vertex: its accepted edges so far, counted, the first two kept (id, other end).
    std::vector<std::uint32_t> degree(n, 0), first_two(4 * std::size_t{n}, none);
    const auto note = [&](std::uint32_t x, std::uint32_t y, std::uint32_t id) {
        if (degree[x] < 2) first_two[4 * std::size_t{x} + 2 * degree[x]] = id, first_two[4 * std::size_t{x} + 2 * degree[x] + 1] = y;
        ++degree[x];
    };
    // u with just two accepted edges, both into a marked set C that holds v, neither to v: C and u
    // form a tight set holding the ends, and the circuit (not a repeated edge, so one in which
    // every vertex meets three of its edges) takes both of u's. Likewise when v is not in C but
    // hangs on it the same way: C, u and v are tight, and the circuit takes both ends' edges.
    const auto hangs = [&](std::uint32_t x, std::uint32_t other) {
        const std::size_t at = 4 * std::size_t{x};
        return degree[x] == 2 && first_two[at + 1] != other && first_two[at + 3] != other;
    };
    const auto hangs_on_marked_set = [&](std::uint32_t u, std::uint32_t v) {
        if (!hangs(u, v)) return false;
        const std::size_t at = 4 * std::size_t{u};
        std::uint32_t c = marked.holding(v, v, first_two[at + 1], first_two[at + 3]);
        const bool both = c == none && hangs(v, u);
        if (both) {
            const std::size_t bt = 4 * std::size_t{v};
            c = marked.holding(first_two[bt + 1], first_two[bt + 3], first_two[at + 1], first_two[at + 3]);
        }
        if (c == none) return false;
        redundant[first_two[at]] = redundant[first_two[at + 2]] = 1;
        marked.extend(c, u);
        if (both) {
            redundant[first_two[4 * std::size_t{v}]] = redundant[first_two[4 * std::size_t{v} + 2]] = 1;
            marked.extend(c, v);
        }
        return true;
    };
    // Near the point where rigidity percolates most circuits are the largest marked set B and a few
    // vertices more. With R the vertices outside B within reach of the ends (a few dozen at most,
    // not walking through B) and B pinned as one body: when a game on R's accepted edges (those
    // into B led to the body) finds a set Y of R with B and Y tight and holding the ends (the
    // vertices reachable from them once none can get a pebble), that is the smallest such Y if it
    // lies in R, and no smaller one exists outside R. The circuit's vertices T are then in B and Y;
    // they meet B twice or more unless the circuit is in Y and one vertex of B (the circuit has
    // three edges at each vertex, so that vertex is a neighbour of Y), which a (2, 3) game on those
    // edges rules out. Then B and T together are B and Y, and its edges are marked.
    require_allocatable(m, 5 * sizeof(std::uint32_t));
    std::vector<std::size_t> first(std::size_t{n} + 1, 0);
    for (const Edge& edge : edges) ++first[edge.i + 1], edge.i != edge.j ? ++first[edge.j + 1] : 0;
    for (std::uint64_t x = 0; x < n; ++x) first[x + 1] += first[x];
    std::vector<std::uint32_t> other(first[n]), edge_id(first[n]), position(m);
    {
        std::vector<std::size_t> fill(first.begin(), first.end() - 1);
        for (std::size_t e = 0; e < m; ++e) {
            const auto a = static_cast<std::uint32_t>(edges[e].i), b = static_cast<std::uint32_t>(edges[e].j);
            other[fill[a]] = b, edge_id[fill[a]++] = static_cast<std::uint32_t>(e);
            if (a != b) other[fill[b]] = a, edge_id[fill[b]++] = static_cast<std::uint32_t>(e);
        }
        for (std::size_t k = 0; k < m; ++k) position[order[k]] = static_cast<std::uint32_t>(k);
    }
    constexpr std::size_t region_limit = 48;
    std::vector<std::uint32_t> local(n, none), region, in_y, body_side;
    LocalGame small;
    const auto closes_on_largest = [&](std::uint32_t u, std::uint32_t v, std::uint32_t now) {
        const std::uint32_t big = marked.largest();
        if (big == none) return false;
        const auto placed = [&](std::size_t k) { return accepted[edge_id[k]] && position[edge_id[k]] < now; };
        region.clear();
        bool ok = true, full = false;
        for (std::uint32_t s : {u, v})
            if (!marked.holds(s, big) && local[s] == none) local[s] = static_cast<std::uint32_t>(region.size()), region.push_back(s);
        for (std::size_t k = 0; k < region.size() && !full; ++k)
            for (std::size_t a = first[region[k]]; a < first[region[k] + 1]; ++a) {
                const std::uint32_t y = other[a];
                if (!placed(a) || local[y] != none || marked.holds(y, big)) continue;
                if (region.size() == region_limit) {
                    full = true;  // nearest first: a tight set found among these is still the smallest
                    break;
                }
                local[y] = static_cast<std::uint32_t>(region.size()), region.push_back(y);
            }
        const auto body = static_cast<std::uint32_t>(region.size());
        const auto at = [&](std::uint32_t x) { return local[x] == none ? body : local[x]; };
        if (ok) {  // the game with B pinned
            small.reset(body + 1, body);
            for (std::uint32_t x : region)
                for (std::size_t a = first[x]; a < first[x + 1] && ok; ++a) {
                    const std::uint32_t y = other[a];
                    if (!placed(a) || (local[y] != none && local[y] < local[x]) || (local[y] == none && !marked.holds(y, big))) continue;
                    if (y == x) continue;
                    ok = small.place(local[x], at(y));
                }
            ok = ok && small.gather(at(u), at(v)) == 0;
        }
        if (ok) {
            small.reach(at(u), at(v), in_y);
            // The (2, 3) game on Y and its neighbours in B, over the edges that meet Y.
            body_side.clear();
            for (std::uint32_t& t : in_y) t = t == body ? none : region[t];
            std::erase(in_y, none);
            for (std::uint32_t x : region) local[x] = none;
            for (std::size_t k = 0; k < in_y.size(); ++k) local[in_y[k]] = static_cast<std::uint32_t>(k);
            for (std::uint32_t x : in_y)
                for (std::size_t a = first[x]; a < first[x + 1]; ++a)
                    if (const std::uint32_t y = other[a]; placed(a) && local[y] == none && marked.holds(y, big))
                        local[y] = static_cast<std::uint32_t>(in_y.size() + body_side.size()), body_side.push_back(y);
            // One vertex z of B at a time: just the end in B when there is one (an end in B with no
            // edge into Y cannot be the circuit's one vertex there), any neighbour of Y (or none)
            // otherwise.
            const auto size_y = static_cast<std::uint32_t>(in_y.size());
            const bool u_in_b = marked.holds(u, big), v_in_b = marked.holds(v, big);
            const std::uint32_t end_in_b = u_in_b ? local[u] : v_in_b ? local[v] : size_y;
            const auto z_end = static_cast<std::uint32_t>(u_in_b || v_in_b ? (end_in_b == none ? 0 : 1)
                                                                          : std::max<std::size_t>(body_side.size(), 1));
            ok = z_end <= 24;  // else a search costs less than a game per neighbour
            for (std::uint32_t k = 0; k < z_end && ok; ++k) {
                const std::uint32_t z = u_in_b || v_in_b ? end_in_b : size_y + k;
                small.reset(size_y + 1, none);
                for (std::uint32_t x : in_y)
                    for (std::size_t a = first[x]; a < first[x + 1] && ok; ++a) {
                        const std::uint32_t y = local[other[a]];
                        if (!placed(a) || y == none || (y < size_y && y < local[x]) || (y >= size_y && y != z)) continue;
                        ok = small.place(local[x], y < size_y ? y : size_y);
                    }
                const auto end = [&](std::uint32_t x) { return local[x] < size_y ? local[x] : size_y; };
                ok = ok && small.gather(end(u), end(v)) == 4;
            }
            if (ok) {
                for (std::uint32_t x : in_y) {
                    for (std::size_t a = first[x]; a < first[x + 1]; ++a)
                        if (placed(a) && (local[other[a]] != none)) redundant[edge_id[a]] = 1;
                }
                for (std::uint32_t x : in_y) marked.extend(big, x);
            }
            for (std::uint32_t x : in_y) local[x] = none;
            for (std::uint32_t x : body_side) local[x] = none;
            return ok;
        }
        for (std::uint32_t x : region) local[x] = none;
        return false;
    };
    for (std::uint32_t k = 0; k < m; ++k) {
        const std::uint32_t e = order[k];
        const auto u = static_cast<std::uint32_t>(edges[e].i), v = static_cast<std::uint32_t>(edges[e].j);
        if (accepted[e]) {
            game.place_independent(u, v, e);
            note(u, v, e), note(v, u, e);
            continue;
        }
        redundant[e] = 1;
        // A loop is a circuit alone; the circuit of an edge inside a marked set lies in it.
        if (u == v || marked.share(u, v) || hangs_on_marked_set(u, v) || hangs_on_marked_set(v, u) ||
            closes_on_largest(u, v, k))
            continue;
        const std::vector<std::uint32_t>& tight = game.smallest_tight_set(u, v);
        for (std::uint32_t x : tight)
            for (int slot = 0; slot < 2; ++slot)
                if (const std::uint32_t id = game.out_id(x, slot); id != none) redundant[id] = 1;
        marked.add(tight);
    }
    return redundant;
}

}  // namespace telvora
