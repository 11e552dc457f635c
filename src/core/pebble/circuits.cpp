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
    bool holds(std::uint32_t x, std::uint32_t c) const {
        return std::find(sets_of_[x].begin(), sets_of_[x].end(), c) != sets_of_[x].end();
    }
    void join(std::uint32_t x, std::uint32_t c) {
        std::vector<std::uint32_t>& list = sets_of_[x];
        if (std::find(list.begin(), list.end(), c) != list.end()) return;
        list.push_back(c);
        members_[c].push_back(x);
    }
    std::vector<std::vector<std::uint32_t>> sets_of_, members_;
    std::vector<std::uint32_t> count_, joining_;
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
    for (std::uint32_t e : order) {
        const auto u = static_cast<std::uint32_t>(edges[e].i), v = static_cast<std::uint32_t>(edges[e].j);
        if (accepted[e]) {
            game.place_independent(u, v, e);
            note(u, v, e), note(v, u, e);
            continue;
        }
        redundant[e] = 1;
        // A loop is a circuit alone; the circuit of an edge inside a marked set lies in it.
        if (u == v || marked.share(u, v) || hangs_on_marked_set(u, v) || hangs_on_marked_set(v, u)) continue;
        const std::vector<std::uint32_t>& tight = game.smallest_tight_set(u, v);
        for (std::uint32_t x : tight)
            for (int slot = 0; slot < 2; ++slot)
                if (const std::uint32_t id = game.out_id(x, slot); id != none) redundant[id] = 1;
        marked.add(tight);
    }
    return redundant;
}

}  // namespace telvora
