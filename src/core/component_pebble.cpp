// The (k, l) pebble game with components, on any multigraph given edge by edge.
#include "component_pebble.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "errors.hpp"
#include "memory.hpp"

namespace telvora {

namespace {

constexpr std::uint32_t none = ComponentPebbleGame::no_component;

// Above this many ids a vertex's component list is searched by bisection instead of compared
// entry by entry.
constexpr std::size_t short_list = 8;

}  // namespace

ComponentPebbleGame::ComponentPebbleGame(std::uint64_t n, std::uint64_t k, std::uint64_t l) : n_(n), k_(k), l_(l) {
    if (k == 0) throw InvalidInput("k must be at least 1");
    if (l / 2 >= k) throw InvalidInput("l must be below 2k");  // l >= 2k, without overflow
    // Vertex and edge ids are 32-bit: n k out-slots of 4 bytes each would need 16 GiB first.
    const std::uint64_t slots = checked_multiply(n, k);
    if (n >= none || slots >= none) throw std::bad_alloc();
    require_allocatable(slots, sizeof(std::uint32_t));
    require_allocatable(n, 8 * sizeof(std::uint32_t) + sizeof(std::vector<std::uint32_t>));
    // Two tight sets meeting in an edgeless set I form a tight union when k|I| >= l.
    absorb_overlap_ = static_cast<std::uint32_t>((l + k - 1) / k);
    pebbles_.assign(n, static_cast<std::uint32_t>(n == 0 ? 0 : k));
    out_count_.assign(n, 0);
    out_.assign(slots, 0);
    in_first_.assign(n, none);
    sat_first_.assign(n, none);
    mark_.assign(n, 0);
    parent_edge_.assign(n, none);
    tight_mark_.assign(n, 0);
    free_mark_.assign(n, 0);
    member_of_.resize(n);
    newest_.assign(n, none);
}

void ComponentPebbleGame::new_stamp() {
    if (++stamp_ == 0) {  // wrapped: forget every old mark
        std::fill(mark_.begin(), mark_.end(), 0);
        stamp_ = 1;
    }
}

void ComponentPebbleGame::link_in(std::uint32_t e) {
    const std::uint32_t h = head_[e];
    in_prev_[e] = none;
    in_next_[e] = in_first_[h];
    if (in_first_[h] != none) in_prev_[in_first_[h]] = e;
    in_first_[h] = e;
}

void ComponentPebbleGame::unlink_in(std::uint32_t e) {
    const std::uint32_t p = in_prev_[e], q = in_next_[e];
    if (p != none) in_next_[p] = q;
    else in_first_[head_[e]] = q;
    if (q != none) in_prev_[q] = p;
}

void ComponentPebbleGame::list_saturated(std::uint32_t e) {
    const std::uint32_t h = head_[e];
    sat_listed_[e] = 1;
    sat_prev_[e] = none;
    sat_next_[e] = sat_first_[h];
    if (sat_first_[h] != none) sat_prev_[sat_first_[h]] = e;
    sat_first_[h] = e;
}

void ComponentPebbleGame::unlist_saturated(std::uint32_t e) {
    if (!sat_listed_[e]) return;
    sat_listed_[e] = 0;
    const std::uint32_t p = sat_prev_[e], q = sat_next_[e];
    if (p != none) sat_next_[p] = q;
    else sat_first_[head_[e]] = q;
    if (q != none) sat_prev_[q] = p;
}

// Changes v's free pebbles, listing or unlisting its out-edges when it runs out or gets one.
void ComponentPebbleGame::change_pebbles(std::uint32_t v, std::int32_t delta) {
    const std::uint32_t before = pebbles_[v];
    pebbles_[v] = static_cast<std::uint32_t>(static_cast<std::int64_t>(before) + delta);
    if ((before == 0) == (pebbles_[v] == 0)) return;
    const std::uint32_t* slots = out_slots(v);
    for (std::uint32_t s = 0; s < out_count_[v]; ++s) {
        if (before == 0) unlist_saturated(slots[s]);
        else list_saturated(slots[s]);
    }
}

void ComponentPebbleGame::insert_edge(std::uint32_t tail, std::uint32_t head) {
    const auto e = static_cast<std::uint32_t>(tail_.size());
    tail_.push_back(tail);
    head_.push_back(head);
    slot_.push_back(out_count_[tail]);
    in_next_.push_back(none);
    in_prev_.push_back(none);
    sat_next_.push_back(none);
    sat_prev_.push_back(none);
    sat_listed_.push_back(0);
    out_slots(tail)[out_count_[tail]++] = e;
    link_in(e);
    change_pebbles(tail, -1);
    if (pebbles_[tail] > 0) return;
    if (!sat_listed_[e]) list_saturated(e);
}

// Turns e = a -> b into b -> a. The caller has freed a slot at b first (a pebble taken there, or
// b's own out-edge turned already), so b never holds more than k out-edges.
void ComponentPebbleGame::reverse(std::uint32_t e) {
    const std::uint32_t a = tail_[e], b = head_[e];
    unlink_in(e);
    unlist_saturated(e);
    std::uint32_t* from = out_slots(a);
    const std::uint32_t last = from[--out_count_[a]];
    from[slot_[e]] = last;
    slot_[last] = slot_[e];
    slot_[e] = out_count_[b];
    out_slots(b)[out_count_[b]++] = e;
    tail_[e] = b;
    head_[e] = a;
    link_in(e);
    if (pebbles_[b] == 0) list_saturated(e);
}

// Breadth-first search from x for a free pebble; on success the pebble moves to x along the
// shortest path found, each edge of it turned around from the far end back. A shortest path keeps
// the turning cheap and the pebble graph shallow.
bool ComponentPebbleGame::gather(std::uint32_t x) {
    new_stamp();
    mark_[x] = stamp_;
    visited_.clear();
    visited_.push_back(x);
    for (std::size_t i = 0; i < visited_.size(); ++i) {
        const std::uint32_t y = visited_[i];
        const std::uint32_t* slots = out_slots(y);
        for (std::uint32_t s = 0; s < out_count_[y]; ++s) {
            const std::uint32_t e = slots[s];
            const std::uint32_t w = head_[e];
            if (mark_[w] == stamp_) continue;
            mark_[w] = stamp_;
            parent_edge_[w] = e;
            if (free_at(w)) {
                change_pebbles(w, -1);
                for (std::uint32_t z = w; z != x;) {
                    const std::uint32_t along = parent_edge_[z];
                    z = tail_[along];
                    reverse(along);
                }
                change_pebbles(x, +1);
                return true;
            }
            visited_.push_back(w);
        }
    }
    return false;
}

bool ComponentPebbleGame::share_component(std::uint32_t u, std::uint32_t v) const {
    const std::vector<std::uint32_t>* a = &member_of_[u];
    const std::vector<std::uint32_t>* b = &member_of_[v];
    if (a->empty() || b->empty()) return false;
    if (u == v || newest_[u] == newest_[v]) return true;
    if (a->size() > b->size()) std::swap(a, b);
    if (b->size() <= short_list) {
        for (std::uint32_t x : *a)
            for (std::uint32_t y : *b)
                if (x == y) return true;
        return false;
    }
    for (std::uint32_t x : *a)
        if (std::binary_search(b->begin(), b->end(), x)) return true;
    return false;
}

bool ComponentPebbleGame::add_edge(std::uint64_t u, std::uint64_t v) {
    if (u >= n_ || v >= n_)
        throw InvalidInput("edge (" + std::to_string(u) + ", " + std::to_string(v) + ") names a vertex outside 0 .. " +
                           (n_ == 0 ? std::string("(none: the graph has no vertices)") : std::to_string(n_ - 1)));
    const auto a = static_cast<std::uint32_t>(u), b = static_cast<std::uint32_t>(v);
    if (a == b && l_ >= k_) return false;  // a loop spans one vertex, which allows k - l < 1 edges
    if (share_component(a, b)) return false;
    // A tight set holding both ends would be part of a component, so l + 1 pebbles can be
    // brought to them; each search keeps the pebbles already there.
    held_a_ = a;
    held_b_ = b;
    const std::uint64_t wanted = l_ + 1;
    for (;;) {
        const std::uint64_t held = a == b ? pebbles_[a] : std::uint64_t{pebbles_[a]} + pebbles_[b];
        if (held >= wanted) break;
        if (pebbles_[a] < k_ && gather(a)) continue;
        if (a != b && pebbles_[b] < k_ && gather(b)) continue;
        held_a_ = held_b_ = none;
        throw FatalError("pebble game: an edge outside every component found too few pebbles");
    }
    held_a_ = held_b_ = none;
    if (pebbles_[a] > 0) insert_edge(a, b);
    else insert_edge(b, a);
    detect_component(a, b);
    return true;
}

// After accepting {a, b}: a tight set X containing both has pebbles(X) + out-edges leaving X
// equal to l, so it exists only when a and b keep exactly l pebbles, and the largest is every
// vertex that reaches no free pebble besides theirs. It contains Reach(a, b), and for l >= 1
// each of its vertices reaches a or b, so a search backwards from Reach(a, b) finds it.
void ComponentPebbleGame::detect_component(std::uint32_t a, std::uint32_t b) {
    if (a != b && (extend_component(a, b) || extend_component(b, a))) return;
    const std::uint64_t held = a == b ? pebbles_[a] : std::uint64_t{pebbles_[a]} + pebbles_[b];
    if (held != l_) return;
    held_a_ = a;
    held_b_ = b;
    new_stamp();
    visited_.clear();
    mark_[a] = stamp_;
    visited_.push_back(a);
    if (a != b) {
        mark_[b] = stamp_;
        visited_.push_back(b);
    }
    for (std::size_t i = 0; i < visited_.size(); ++i) {
        const std::uint32_t x = visited_[i];
        const std::uint32_t* slots = out_slots(x);
        for (std::uint32_t s = 0; s < out_count_[x]; ++s) {
            const std::uint32_t w = head_[slots[s]];
            if (mark_[w] == stamp_) continue;
            if (free_at(w)) {
                held_a_ = held_b_ = none;
                return;
            }
            mark_[w] = stamp_;
            visited_.push_back(w);
        }
    }
    held_a_ = held_b_ = none;

    if (++detection_ == 0) {
        std::fill(tight_mark_.begin(), tight_mark_.end(), 0);
        std::fill(free_mark_.begin(), free_mark_.end(), 0);
        detection_ = 1;
    }
    std::vector<std::uint32_t> tight;
    tight.swap(visited_);
    for (std::uint32_t x : tight) tight_mark_[x] = detection_;
    for (std::size_t i = 0; i < tight.size(); ++i) {
        for (std::uint32_t e = sat_first_[tight[i]]; e != none; e = sat_next_[e]) {
            const std::uint32_t w = tail_[e];
            if (tight_mark_[w] == detection_ || free_mark_[w] == detection_) continue;
            if (reaches_free_pebble(w, detection_)) continue;
            for (std::uint32_t x : visited_) tight_mark_[x] = detection_;
            tight.insert(tight.end(), visited_.begin(), visited_.end());
        }
    }
    if (l_ == 0) {
        // With l = 0 the union of two tight sets is tight even when they are disjoint: every
        // tight set found before joins the new one.
        for (const std::vector<std::uint32_t>& vertices : component_vertices_)
            for (std::uint32_t x : vertices)
                if (tight_mark_[x] != detection_) {
                    tight_mark_[x] = detection_;
                    tight.push_back(x);
                }
    }
    record_component(tight);
}

bool ComponentPebbleGame::in_component(std::uint32_t v, std::uint32_t c) const {
    const std::vector<std::uint32_t>& list = member_of_[v];
    if (list.size() <= short_list) return std::find(list.begin(), list.end(), c) != list.end();
    return std::binary_search(list.begin(), list.end(), c);
}

void ComponentPebbleGame::drop_component(std::uint32_t c) {
    for (std::uint32_t x : component_vertices_[c]) {
        std::vector<std::uint32_t>& list = member_of_[x];
        list.erase(std::find(list.begin(), list.end(), c));
        if (newest_[x] == c) newest_[x] = list.empty() ? none : list.back();
    }
    std::vector<std::uint32_t>().swap(component_vertices_[c]);
    --live_components_;
}

// The edge just accepted made y's degree k, every edge of y going into a component C that holds
// x. Then C + y spans k|C| - l + k edges: it is tight. It is also the largest tight set holding
// x and y: without y such a set N spans k|N - y| - l edges, so it was tight before and, holding
// C, was C itself. C grows by y in O(k) work instead of a search over all of it.
bool ComponentPebbleGame::extend_component(std::uint32_t x, std::uint32_t y) {
    if (member_of_[x].empty() || out_count_[y] > k_) return false;
    // y's neighbours over its out-edges and at most k - out_count in-edges (more: degree > k).
    std::uint32_t neighbours[64];
    if (k_ > 64) return false;
    std::uint32_t degree = 0;
    for (std::uint32_t s = 0; s < out_count_[y]; ++s) neighbours[degree++] = head_[out_slots(y)[s]];
    for (std::uint32_t e = in_first_[y]; e != none; e = in_next_[e]) {
        if (degree == k_) return false;
        neighbours[degree++] = tail_[e];
    }
    if (degree != k_) return false;
    for (std::uint32_t i = 0; i < degree; ++i)
        if (neighbours[i] == y) return false;  // a loop
    std::uint32_t grown = none;
    for (std::uint32_t c : member_of_[x]) {
        bool all_inside = true;
        for (std::uint32_t i = 0; i < degree && all_inside; ++i) all_inside = in_component(neighbours[i], c);
        if (all_inside) {
            grown = c;
            break;
        }
    }
    if (grown == none) return false;
    // Components through y that now lie inside C + y are dropped.
    const std::vector<std::uint32_t> through_y = member_of_[y];
    for (std::uint32_t d : through_y) {
        bool inside = true;
        for (std::uint32_t z : component_vertices_[d]) inside = inside && (z == y || in_component(z, grown));
        if (inside) drop_component(d);
    }
    component_vertices_[grown].push_back(y);
    std::vector<std::uint32_t>& list = member_of_[y];
    list.insert(std::lower_bound(list.begin(), list.end(), grown), grown);
    newest_[y] = grown;
    return true;
}

// Whether w reaches a free pebble without entering the tight set being built. On failure every
// vertex visited (in visited_) reaches none either; on success the vertices of the path do.
bool ComponentPebbleGame::reaches_free_pebble(std::uint32_t w, std::uint32_t detection) {
    new_stamp();
    visited_.clear();
    mark_[w] = stamp_;
    visited_.push_back(w);
    stack_.clear();
    stack_.push_back(Frame{w, 0, 0});
    while (!stack_.empty()) {
        Frame& top = stack_.back();
        if (top.slot == out_count_[top.node]) {
            stack_.pop_back();
            continue;
        }
        const std::uint32_t x = head_[out_slots(top.node)[top.slot++]];
        if (mark_[x] == stamp_ || tight_mark_[x] == detection) continue;
        if (free_mark_[x] == detection || pebbles_[x] > 0) {
            for (const Frame& f : stack_) free_mark_[f.node] = detection;
            return true;
        }
        mark_[x] = stamp_;
        visited_.push_back(x);
        stack_.push_back(Frame{x, 0, 0});  // may invalidate `top`
    }
    return false;
}

// Stores a new component and drops the old ones it contains: for l >= 1 exactly those meeting
// it in at least absorb_overlap_ vertices (their union with it would be tight).
void ComponentPebbleGame::record_component(std::vector<std::uint32_t>& vertices) {
    const auto id = static_cast<std::uint32_t>(component_vertices_.size());
    if (id == none) throw std::bad_alloc();
    // Components meeting the new one in two vertices or more meet it outside the vertex with the
    // longest list too, so that list (a hub's, in many components) is only bisected.
    std::size_t longest = 0;
    for (std::size_t i = 1; i < vertices.size(); ++i)
        if (member_of_[vertices[i]].size() > member_of_[vertices[longest]].size()) longest = i;
    const bool skip_longest = absorb_overlap_ >= 2 && !vertices.empty();
    std::vector<std::uint32_t> touched;
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        if (skip_longest && i == longest) continue;
        for (std::uint32_t c : member_of_[vertices[i]])
            if (overlap_[c]++ == 0) touched.push_back(c);
    }
    if (skip_longest)
        for (std::uint32_t c : touched) overlap_[c] += in_component(vertices[longest], c);
    auto absorbed = [&](std::uint32_t c) { return overlap_[c] >= absorb_overlap_; };
    for (std::uint32_t c : touched)
        if (absorbed(c) && overlap_[c] != component_vertices_[c].size())
            throw FatalError("pebble game: a component meets a new one without lying inside it");
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        const std::uint32_t x = vertices[i];
        std::vector<std::uint32_t>& list = member_of_[x];
        if (skip_longest && i == longest) {
            for (std::uint32_t c : touched)
                if (absorbed(c)) {
                    const auto at = std::lower_bound(list.begin(), list.end(), c);
                    if (at != list.end() && *at == c) list.erase(at);
                }
        } else {
            list.erase(std::remove_if(list.begin(), list.end(), absorbed), list.end());
        }
        list.push_back(id);  // ids only grow, so the list stays sorted
        newest_[x] = id;
    }
    for (std::uint32_t c : touched) {
        if (absorbed(c)) {
            std::vector<std::uint32_t>().swap(component_vertices_[c]);
            --live_components_;
        }
        overlap_[c] = 0;
    }
    component_vertices_.emplace_back();
    component_vertices_.back().swap(vertices);
    overlap_.push_back(0);
    ++live_components_;
}

bool ComponentPebbleGame::is_tight() const {
    return n_ >= 1 && k_ * n_ >= l_ && accepted() == k_ * n_ - l_;
}

std::vector<std::vector<std::uint64_t>> ComponentPebbleGame::components() const {
    std::vector<std::vector<std::uint64_t>> out;
    out.reserve(live_components_);
    for (const std::vector<std::uint32_t>& vertices : component_vertices_) {
        if (vertices.empty()) continue;
        out.emplace_back(vertices.begin(), vertices.end());
        std::sort(out.back().begin(), out.back().end());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::vector<std::uint32_t>> ComponentPebbleGame::out_lists() const {
    std::vector<std::vector<std::uint32_t>> lists(n_);
    for (std::uint64_t v = 0; v < n_; ++v)
        for (std::uint32_t s = 0; s < out_count_[v]; ++s) lists[v].push_back(head_[out_slots(static_cast<std::uint32_t>(v))[s]]);
    return lists;
}

SparsityGameOutcome play_sparsity_game(std::uint64_t n, std::uint64_t k, std::uint64_t l,
                                       const std::vector<Edge>& edges) {
    require_edges_within(edges.data(), edges.size(), n);
    ComponentPebbleGame game(n, k, l);
    SparsityGameOutcome outcome;
    outcome.labels.assign(edges.size(), 0);
    for (std::size_t e = 0; e < edges.size(); ++e) outcome.labels[e] = game.add_edge(edges[e].i, edges[e].j) ? 1 : 0;
    outcome.components = game.components();
    outcome.free_pebbles = game.free_pebbles();
    outcome.is_tight = game.is_tight();
    return outcome;
}

PebbleGameOutcome complete_graph_pebble_game(std::uint64_t n) {
    const std::uint64_t m = edge_count(n);
    require_allocatable(m, sizeof(std::uint8_t));
    // Fewer than 2n edges are accepted: each ties up one of 2n pebbles.
    const std::uint64_t accepted_bound = std::min(m, checked_multiply(n, 2));
    require_allocatable(accepted_bound, sizeof(Edge));
    ComponentPebbleGame game(n, 2, 3);
    PebbleGameOutcome outcome;
    outcome.labels.assign(m, 0);
    outcome.accepted_edges.reserve(accepted_bound);
    std::uint8_t* label = outcome.labels.data();
    for (std::uint64_t u = 0; u + 1 < n; ++u) {
        const auto a = static_cast<std::uint32_t>(u);
        std::uint32_t newest = game.newest_component(a);
        for (std::uint64_t v = u + 1; v < n; ++v, ++label) {
            const auto b = static_cast<std::uint32_t>(v);
            if (newest != ComponentPebbleGame::no_component && game.newest_component(b) == newest) continue;
            if (!game.add_edge(a, b)) continue;
            *label = 1;
            outcome.accepted_edges.push_back(Edge{u, v});
            newest = game.newest_component(a);
        }
    }
    return outcome;
}

}  // namespace telvora
