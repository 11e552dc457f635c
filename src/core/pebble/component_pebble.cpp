// The (k, l) pebble game with components, on any multigraph given edge by edge.
#include "pebble/component_pebble.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

namespace {

constexpr std::uint32_t none = ComponentPebbleGame::no_component;

// Above this many ids a vertex's component list is searched by bisection instead of compared
// entry by entry.
constexpr std::size_t short_list = 8;

// Vertices compared at once when the complete-graph driver skips a run of rejected edges: a
// branch-free block the compiler turns into vector compares.
constexpr std::uint64_t skip_block = 16;

}  // namespace

void require_game_parameters(std::uint64_t k, std::uint64_t l) {
    if (k == 0) throw InvalidInput("k must be at least 1");
    if (k > max_game_k)
        throw InvalidInput("k must be at most 2**24 (" + std::to_string(max_game_k) + " pebbles a vertex, " +
                           std::to_string(max_game_k * 8 / (1 << 20)) + " MiB for each vertex with an edge), not " +
                           std::to_string(k));
    if (l / 2 >= k) throw InvalidInput("l must be below 2k");  // l >= 2k, without overflow
}

ComponentPebbleGame::ComponentPebbleGame(std::uint64_t n, std::uint64_t k, std::uint64_t l) : n_(n), k_(k), l_(l) {
    require_game_parameters(k, l);
    // Vertex and edge ids are 32-bit: n k out-slots of 4 bytes each would need 16 GiB first.
    const std::uint64_t slots = checked_multiply(n, k);
    if (n >= none || slots >= none)
        throw OutOfMemory("the game needs n k = " + std::to_string(n) + " * " + std::to_string(k) +
                          " pebble slots, beyond the 2**32 - 1 its 32-bit ids can address");
    require_allocatable(slots, 2 * sizeof(std::uint32_t));
    require_allocatable(n, 16 * sizeof(std::uint32_t) + 2 * sizeof(std::vector<std::uint32_t>));
    // Two tight sets meeting in an edgeless set I form a tight union when k|I| >= l.
    absorb_overlap_ = static_cast<std::uint32_t>((l + k - 1) / k);
    if (l < k) {
        hubbed_ = true;  // one hub, with k - l loops
        to_first_hub_ = k;
    } else if (2 * l <= 3 * k) {
        hubbed_ = true;
        to_first_hub_ = std::clamp<std::uint64_t>((k + 1) / 2, l - k, 2 * k - l);
    }
    vertex_state_.assign(n, VertexState{});
    for (VertexState& v : vertex_state_) v.pebbles = static_cast<std::uint32_t>(k);
    out_count_.assign(n, 0);
    out_.assign(slots, 0);
    out_head_.assign(slots, 0);
    in_first_.assign(n, none);
    sat_first_.assign(n, none);
    member_of_.resize(n);
    large_of_.resize(n);
    newest_.assign(n, none);
    // Room for the edge and component records of a small graph up front, so that they do not
    // grow by doubling from nothing, a dozen arrays at a time.
    const std::size_t edge_room = std::min<std::uint64_t>(slots + 2 * k, 4096);
    for (std::vector<std::uint32_t>* records :
         {&tail_, &head_, &slot_, &in_next_, &in_prev_, &sat_next_, &sat_prev_, &edge_mark_})
        records->reserve(edge_room);
    sat_listed_.reserve(edge_room);
    alive_.reserve(edge_room);
    const std::size_t component_room = std::min<std::uint64_t>(slots, 1024);
    for (std::vector<std::uint32_t>* records : {&absorbed_mark_, &component_free_, &component_seen_, &component_open_,
                                                &component_index_, &component_low_, &live_position_, &overlap_,
                                                &first_hub_, &second_hub_})
        records->reserve(component_room);
    component_vertices_.reserve(component_room);
    leaving_.reserve(component_room);
    entering_.reserve(component_room);
    comp_pebbles_.reserve(component_room);
    large_.reserve(component_room);
}

void ComponentPebbleGame::new_stamp() {
    if (++stamp_ == 0) {  // wrapped: forget every old mark
        for (VertexState& v : vertex_state_) v.mark = 0;
        std::fill(component_seen_.begin(), component_seen_.end(), 0);
        for (VertexState& v : vertex_state_) v.open = 0;
        std::fill(component_open_.begin(), component_open_.end(), 0);
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
    note_entering(e);
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
    const std::uint32_t before = vertex_state_[v].pebbles;
    vertex_state_[v].pebbles = static_cast<std::uint32_t>(static_cast<std::int64_t>(before) + delta);
    for (std::uint32_t c : large_of_[v]) comp_pebbles_[c] = comp_pebbles_[c] + static_cast<std::uint64_t>(delta);
    if ((before == 0) == (vertex_state_[v].pebbles == 0)) return;
    const std::uint32_t* slots = out_slots(v);
    for (std::uint32_t s = 0; s < out_count_[v]; ++s) {
        if (before == 0) unlist_saturated(slots[s]);
        else list_saturated(slots[s]);
    }
}

void ComponentPebbleGame::insert_edge(std::uint32_t tail, std::uint32_t head) {
    // Ids of removed edges are used again, so the records stay as many as the edges played on (at
    // most k n). A list entry naming a reused id is judged by the edge that has it now.
    std::uint32_t e;
    if (free_edges_.empty()) {
        if (tail_.size() >= none) throw std::bad_alloc();
        e = static_cast<std::uint32_t>(tail_.size());
        tail_.push_back(tail);
        head_.push_back(head);
        slot_.push_back(0);
        in_next_.push_back(none);
        in_prev_.push_back(none);
        sat_next_.push_back(none);
        sat_prev_.push_back(none);
        sat_listed_.push_back(0);
        edge_mark_.push_back(0);
        alive_.push_back(1);
    } else {
        e = free_edges_.back();
        free_edges_.pop_back();
        tail_[e] = tail;
        head_[e] = head;
        sat_listed_[e] = 0;
        alive_[e] = 1;
    }
    take_slot(e);
    link_in(e);
    note_leaving(e);
    change_pebbles(tail, -1);
    if (vertex_state_[tail].pebbles > 0) return;
    if (!sat_listed_[e]) list_saturated(e);
}

// Gives e the next out-slot of its tail.
void ComponentPebbleGame::take_slot(std::uint32_t e) {
    const std::uint32_t tail = tail_[e];
    slot_[e] = out_count_[tail];
    out_heads(tail)[out_count_[tail]] = head_[e];
    out_slots(tail)[out_count_[tail]++] = e;
}

// Takes e out of its tail's out-slots (the last one moves into its place) and out of its head's
// lists.
void ComponentPebbleGame::detach(std::uint32_t e) {
    unlink_in(e);
    unlist_saturated(e);
    const std::uint32_t a = tail_[e];
    std::uint32_t* slots = out_slots(a);
    std::uint32_t* heads = out_heads(a);
    const std::uint32_t last_slot = --out_count_[a];
    const std::uint32_t last = slots[last_slot];
    slots[slot_[e]] = last;
    heads[slot_[e]] = heads[last_slot];
    slot_[last] = slot_[e];
}

// Turns e = a -> b into b -> a. The caller has freed a slot at b first (a pebble taken there, or
// b's own out-edge turned already), so b never holds more than k out-edges.
void ComponentPebbleGame::reverse(std::uint32_t e) {
    const std::uint32_t a = tail_[e], b = head_[e];
    detach(e);
    tail_[e] = b;
    head_[e] = a;
    take_slot(e);
    link_in(e);
    note_leaving(e);
    if (vertex_state_[b].pebbles == 0) list_saturated(e);
}

// Breadth-first search from x for a free pebble; on success the pebble moves to x along the
// shortest path found, each edge of it turned around from the far end back. A shortest path keeps
// the turning cheap and the pebble graph shallow.
bool ComponentPebbleGame::gather(std::uint32_t x) {
    new_stamp();
    vertex_state_[x].mark = stamp_;
    visited_.clear();
    visited_.push_back(x);
    for (std::size_t i = 0; i < visited_.size(); ++i) {
        const std::uint32_t y = visited_[i];
        const std::uint32_t* slots = out_slots(y);
        const std::uint32_t* heads = out_heads(y);
        for (std::uint32_t s = 0; s < out_count_[y]; ++s) {
            const std::uint32_t w = heads[s];
            if (vertex_state_[w].mark == stamp_) continue;
            vertex_state_[w].mark = stamp_;
            vertex_state_[w].parent_edge = slots[s];
            if (free_at(w)) {
                change_pebbles(w, -1);
                moved_.push_back(w);
                for (std::uint32_t z = w; z != x;) {
                    const std::uint32_t along = vertex_state_[z].parent_edge;
                    z = tail_[along];
                    reverse(along);
                    moved_.push_back(z);
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
    moved_.clear();
    const std::uint64_t wanted = l_ + 1;
    for (;;) {
        const std::uint64_t held = held_pebbles(a, b);
        if (held >= wanted) break;
        if (vertex_state_[a].pebbles < k_ && gather(a)) continue;
        if (a != b && vertex_state_[b].pebbles < k_ && gather(b)) continue;
        held_a_ = held_b_ = none;
        throw FatalError("pebble game: an edge outside every component found too few pebbles");
    }
    held_a_ = held_b_ = none;
    if (vertex_state_[a].pebbles > 0) insert_edge(a, b);
    else insert_edge(b, a);
    ++accepted_;
    detect_component(a, b);
    return true;
}

// Takes e out of the graph played on; its pebble returns to its tail.
void ComponentPebbleGame::remove_edge(std::uint32_t e) {
    const std::uint32_t a = tail_[e];
    detach(e);
    alive_[e] = 0;
    free_edges_.push_back(e);
    change_pebbles(a, +1);
}

// Gives `vertices` of component c (all of it when whole) edges to c's hubs in place of their edges
// inside c. c is tight and closed, or c less the vertices is tight and the vertices' edges all go
// into c: either way the edges replaced number k per vertex (and the hubs' own when whole), so the
// pebbles on c stay as many, now on the hubs' side, and the new edges span what the old ones did.
void ComponentPebbleGame::rewire(std::uint32_t c, std::span<const std::uint32_t> vertices, bool whole) {
    if (!hubbed_) return;
    const std::uint32_t h1 = first_hub_[c], h2 = second_hub_[c];
    std::vector<std::uint32_t>& inner = inner_;
    // Every edge inside c leaves a vertex of c: when whole, the vertices' out-edges are all of them.
    for (std::uint32_t x : vertices) {
        while (out_count_[x] > 0) remove_edge(out_slots(x)[0]);
        if (whole) continue;
        inner.clear();
        for (std::uint32_t e = in_first_[x]; e != none; e = in_next_[e])
            if (in_component(tail_[e], c)) inner.push_back(e);
        for (std::uint32_t e : inner) remove_edge(e);
    }
    if (whole) {
        if (l_ < k_)
            for (std::uint64_t i = 0; i < k_ - l_; ++i) insert_edge(h1, h1);
        else
            for (std::uint64_t i = 0; i < 2 * k_ - l_; ++i) insert_edge(h2, h1);
    }
    for (std::uint32_t x : vertices) {
        if (x == h1 || x == h2) continue;
        for (std::uint64_t i = 0; i < k_; ++i) insert_edge(x, i < to_first_hub_ ? h1 : h2);
    }
}

// ---- components as units --------------------------------------------------------------------
//
// A component C is tight: pebbles(C) + out(C) = l at all times (out: edges leaving C). From any
// vertex x of C with an out-edge inside C, every free pebble of C and every edge leaving C is
// reachable: the part Y of C that x reaches spans k|Y| - pebbles(Y) - (edges leaving C from Y)
// edges, at most k|Y| - l, so Y holds all l of them. A search entering C there can therefore ask
// C's pebble count and follow C's leaving edges instead of walking through C, and when such a
// search finds no free pebble, C lies in the new component (it meets it in two vertices). So a
// component forms around a few new vertices and whole old components, the largest of which it
// keeps (small into large), and costs what is new rather than what it holds.

bool ComponentPebbleGame::in_component(std::uint32_t v, std::uint32_t c) const {
    const std::vector<std::uint32_t>& list = member_of_[v];
    if (list.size() <= short_list) return std::find(list.begin(), list.end(), c) != list.end();
    return std::binary_search(list.begin(), list.end(), c);
}

bool ComponentPebbleGame::internal_out_edge(std::uint32_t x, std::uint32_t c) const {
    const std::uint32_t* slots = out_slots(x);
    for (std::uint32_t s = 0; s < out_count_[x]; ++s)
        if (in_component(head_[slots[s]], c)) return true;
    return false;
}

std::uint64_t ComponentPebbleGame::held_in(std::uint32_t c) const {
    std::uint64_t held = 0;
    if (held_a_ != none && in_component(held_a_, c)) held += vertex_state_[held_a_].pebbles;
    if (held_b_ != none && held_b_ != held_a_ && in_component(held_b_, c)) held += vertex_state_[held_b_].pebbles;
    return held;
}

void ComponentPebbleGame::note_leaving(std::uint32_t e) {
    for (std::uint32_t c : large_of_[tail_[e]])
        if (!in_component(head_[e], c)) leaving_[c].push_back(e);
}

void ComponentPebbleGame::note_entering(std::uint32_t e) {
    for (std::uint32_t c : large_of_[head_[e]])
        if (!in_component(tail_[e], c)) entering_[c].push_back(e);
}

// Drop the stale entries of c's lists (edges that no longer leave c, or no longer enter it from a
// tail without free pebbles) and the repeats (an edge turned twice is noted twice).
template <class Stale>
const std::vector<std::uint32_t>& ComponentPebbleGame::clean(std::vector<std::uint32_t>& list, Stale stale) {
    if (++edge_stamp_ == 0) {
        std::fill(edge_mark_.begin(), edge_mark_.end(), 0);
        edge_stamp_ = 1;
    }
    std::size_t kept = 0;
    for (std::uint32_t e : list) {
        if (edge_mark_[e] == edge_stamp_ || stale(e)) continue;
        edge_mark_[e] = edge_stamp_;
        list[kept++] = e;
    }
    list.resize(kept);
    return list;
}

const std::vector<std::uint32_t>& ComponentPebbleGame::leaving_edges(std::uint32_t c) {
    if (!large_[c]) {  // small: listed afresh
        std::vector<std::uint32_t>& list = leaving_[c];
        list.clear();
        for (std::uint32_t x : component_vertices_[c])
            for (std::uint32_t s = 0; s < out_count_[x]; ++s)
                if (!in_component(head_[out_slots(x)[s]], c)) list.push_back(out_slots(x)[s]);
        return list;
    }
    return clean(leaving_[c], [&](std::uint32_t e) {
        return !alive_[e] || !in_component(tail_[e], c) || in_component(head_[e], c);
    });
}

const std::vector<std::uint32_t>& ComponentPebbleGame::entering_edges(std::uint32_t c) {
    if (!large_[c]) {
        std::vector<std::uint32_t>& list = entering_[c];
        list.clear();
        for (std::uint32_t x : component_vertices_[c])
            for (std::uint32_t e = sat_first_[x]; e != none; e = sat_next_[e])
                if (!in_component(tail_[e], c)) list.push_back(e);
        return list;
    }
    return clean(entering_[c], [&](std::uint32_t e) {
        return !sat_listed_[e] || !in_component(head_[e], c) || in_component(tail_[e], c);
    });
}

std::uint64_t ComponentPebbleGame::pebbles_of(std::uint32_t c) const {
    return large_[c] ? comp_pebbles_[c] : pebbles_of_vertices(c);
}

// Turns c into a large component, whose pebble count and edge lists are kept up to date.
void ComponentPebbleGame::make_large(std::uint32_t c) {
    large_[c] = 1;
    comp_pebbles_[c] = pebbles_of_vertices(c);
    for (std::uint32_t x : component_vertices_[c]) large_of_[x].push_back(c);
    std::vector<std::uint32_t>& leaving = leaving_[c];
    leaving.clear();
    for (std::uint32_t x : component_vertices_[c])
        for (std::uint32_t s = 0; s < out_count_[x]; ++s)
            if (!in_component(head_[out_slots(x)[s]], c)) leaving.push_back(out_slots(x)[s]);
    std::vector<std::uint32_t>& entering = entering_[c];
    entering.clear();
    for (std::uint32_t x : component_vertices_[c])
        for (std::uint32_t e = sat_first_[x]; e != none; e = sat_next_[e])
            if (!in_component(tail_[e], c)) entering.push_back(e);
}

std::uint64_t ComponentPebbleGame::pebbles_of_vertices(std::uint32_t c) const {
    std::uint64_t sum = 0;
    for (std::uint32_t x : component_vertices_[c]) sum += vertex_state_[x].pebbles;
    return sum;
}

void ComponentPebbleGame::forget_large(std::uint32_t c) {
    if (!large_[c]) return;
    for (std::uint32_t x : component_vertices_[c]) {
        std::vector<std::uint32_t>& list = large_of_[x];
        list.erase(std::find(list.begin(), list.end(), c));
    }
    large_[c] = 0;
}

bool ComponentPebbleGame::in_new_component(std::uint32_t x) const {
    if (vertex_state_[x].tight_mark == detection_) return true;
    for (std::uint32_t c : large_of_[x])
        if (absorbed_mark_[c] == detection_) return true;
    return false;
}

void ComponentPebbleGame::absorb(std::uint32_t c) {
    absorbed_mark_[c] = detection_;
    absorbed_.push_back(c);
}

void ComponentPebbleGame::add_tight(std::uint32_t x) {
    vertex_state_[x].tight_mark = detection_;
    tight_.push_back(x);
}

// After accepting {a, b}: a tight set X containing both has pebbles(X) + out-edges leaving X
// equal to l, so it exists only when a and b keep exactly l pebbles, and the largest is every
// vertex that reaches no free pebble besides theirs. It contains Reach(a, b), and for l >= 1
// each of its vertices reaches a or b, so a search backwards from Reach(a, b) finds it.
void ComponentPebbleGame::detect_component(std::uint32_t a, std::uint32_t b) {
    if (a != b && (extend_component(a, b) || extend_component(b, a))) return;
    const std::uint64_t held = held_pebbles(a, b);
    if (held != l_) return;
    if (++detection_ == 0) {
        for (VertexState& v : vertex_state_) v.tight_mark = v.free_mark = 0;
        std::fill(absorbed_mark_.begin(), absorbed_mark_.end(), 0);
        std::fill(component_free_.begin(), component_free_.end(), 0);
        detection_ = 1;
    }
    held_a_ = a;
    held_b_ = b;
    tight_.clear();
    absorbed_.clear();
    const bool found = reach_is_tight(a, b);
    if (found) grow_backwards();
    held_a_ = held_b_ = none;
    if (found) record_component(a, b);
}

// Reach(a, b), breadth first, whole components taken at once; false when it holds a free pebble.
bool ComponentPebbleGame::reach_is_tight(std::uint32_t a, std::uint32_t b) {
    add_tight(a);
    if (b != a) add_tight(b);
    std::vector<std::uint32_t>& queue = visited_;
    queue.assign(tight_.begin(), tight_.end());
    auto visit = [&](std::uint32_t w) {
        if (in_new_component(w)) return true;
        if (free_at(w)) return false;
        add_tight(w);
        queue.push_back(w);
        return true;
    };
    for (std::size_t i = 0; i < queue.size(); ++i) {
        const std::uint32_t x = queue[i];
        bool inside = false;  // x lies in a component taken whole, whose leaving edges cover x's
        for (std::size_t t = 0; t < large_of_[x].size(); ++t) {
            const std::uint32_t c = large_of_[x][t];
            if (absorbed_mark_[c] == detection_) {
                inside = true;
                continue;
            }
            if (!internal_out_edge(x, c)) continue;
            if (pebbles_of(c) > held_in(c)) return false;
            absorb(c);
            inside = true;
            for (std::uint32_t e : leaving_edges(c))
                if (!visit(head_[e])) return false;
        }
        if (inside) continue;
        const std::uint32_t* slots = out_slots(x);
        for (std::uint32_t s = 0; s < out_count_[x]; ++s)
            if (!visit(head_[slots[s]])) return false;
    }
    return true;
}

// The vertices and components that reach the tight set without reaching a free pebble: found
// among the tails of edges into it, along in-edges whose tail holds no free pebble (a vertex with
// one is never inside). Components taken whole are entered through their lists of such edges.
void ComponentPebbleGame::grow_backwards() {
    if (l_ == 0) {
        // With l = 0 the union of two tight sets is tight even when they are disjoint: every
        // component found before joins the new one.
        for (std::uint32_t c : live_ids_) {
            if (absorbed_mark_[c] == detection_) continue;
            if (large_[c]) absorb(c);
            else
                for (std::uint32_t x : component_vertices_[c])
                    if (!in_new_component(x)) add_tight(x);
        }
    }
    std::vector<std::uint32_t>& candidates = candidates_;
    auto consider = [&](std::uint32_t w) {
        if (in_new_component(w) || vertex_state_[w].free_mark == detection_) return;
        if (vertex_state_[w].pebbles > 0) {
            vertex_state_[w].free_mark = detection_;
            return;
        }
        reaches_free_pebble(w);
    };
    // The vertices the gathers for this edge changed, which may reach the new set only through
    // the largest component (see below).
    for (std::uint32_t w : moved_) consider(w);
    std::size_t next_vertex = 0, next_component = 0;
    for (;;) {
        if (next_component < absorbed_.size()) {
            const std::uint32_t c = absorbed_[next_component++];
            // No vertex joins through the largest live component C alone. Let Z be the vertices
            // of the new set outside C that cannot reach a vertex changed by this edge without
            // entering C. Z's edges lead only into Z and C, and Z's edges and pebbles (none) are
            // as they were before this edge. So before it, C + Z held at most l free pebbles and
            // leaving edges: it was tight, and larger than C unless Z is empty. No live component
            // is larger than C, so C was maximal and Z is empty: every vertex that joins is found
            // backwards from the changed vertices and the rest of the new set, without walking
            // the edges into C (on a random graph, most of the edges into the giant component).
            if (c == largest_ && l_ > 0) continue;
            candidates.clear();
            for (std::uint32_t e : entering_edges(c)) candidates.push_back(tail_[e]);
            for (std::uint32_t w : candidates) consider(w);
            continue;
        }
        if (next_vertex == tight_.size()) break;
        const std::uint32_t z = tight_[next_vertex++];
        bool inside = false;
        for (std::uint32_t c : large_of_[z]) inside = inside || absorbed_mark_[c] == detection_;
        if (inside) continue;  // its in-edges from outside are on the component's list
        candidates.clear();
        for (std::uint32_t e = sat_first_[z]; e != none; e = sat_next_[e]) candidates.push_back(tail_[e]);
        for (std::uint32_t w : candidates) consider(w);
    }
}

// Whether w reaches a free pebble without entering the tight set being built: a depth-first
// search over vertices and large components (passed through their leaving edges) that keeps
// Tarjan's low links, so that each node is settled once per detection. A node whose strongly
// connected part is finished without meeting a free pebble reaches none: it joins the tight set
// at once. When a free pebble is met, every node visited and not settled reaches the search path,
// hence the pebble, and is marked so.
bool ComponentPebbleGame::reaches_free_pebble(std::uint32_t w) {
    new_stamp();
    stack_.clear();
    part_.clear();
    visited_.clear();
    std::uint32_t counter = 0;
    // Node ids: a vertex v is v, a component c is n + c.
    const auto n32 = static_cast<std::uint32_t>(n_);
    auto is_component = [&](std::uint32_t node) { return node >= n32; };
    auto index_of = [&](std::uint32_t node) -> std::uint32_t& {
        return is_component(node) ? component_index_[node - n32] : vertex_state_[node].index;
    };
    auto low_of = [&](std::uint32_t node) -> std::uint32_t& {
        return is_component(node) ? component_low_[node - n32] : vertex_state_[node].low;
    };
    auto open = [&](std::uint32_t node) {
        if (is_component(node)) {
            component_seen_[node - n32] = stamp_;
            component_open_[node - n32] = stamp_;
            leaving_edges(node - n32);
        } else {
            vertex_state_[node].mark = stamp_;
            vertex_state_[node].open = stamp_;
        }
        index_of(node) = low_of(node) = counter++;
        part_.push_back(node);
        visited_.push_back(node);
        stack_.push_back(Frame{node, 0, 0});
    };
    auto still_open = [&](std::uint32_t node) {
        return is_component(node) ? component_open_[node - n32] == stamp_ : vertex_state_[node].open == stamp_;
    };
    // The node an edge into vertex y leads to: y, or the large component already passed that y
    // enters by an inner edge. Only such a vertex reaches the component's pebbles; one whose
    // out-edges all leave the component reaches no more than their heads, and standing in for it
    // by the component would let it, and every vertex whose low link it lowers, pass for
    // reaching a free pebble it cannot reach.
    auto node_of = [&](std::uint32_t y) {
        if (vertex_state_[y].mark == stamp_) return y;
        for (std::uint32_t c : large_of_[y])
            if (component_seen_[c] == stamp_ && internal_out_edge(y, c)) return n32 + c;
        return y;
    };
    bool found = false;
    open(w);
    while (!stack_.empty()) {
        Frame& top = stack_.back();
        const std::uint32_t node = top.node;
        std::uint32_t target = none;
        if (is_component(node)) {
            const std::vector<std::uint32_t>& list = leaving_[node - n32];
            if (top.slot < list.size()) target = head_[list[top.slot++]];
        } else if (top.listed < large_of_[node].size()) {
            // First the large components the vertex enters by an inner edge.
            const std::uint32_t c = large_of_[node][top.listed++];
            if (absorbed_mark_[c] == detection_ || !internal_out_edge(node, c)) continue;
            if (component_free_[c] == detection_ || pebbles_of(c) > held_in(c)) {
                found = true;
                break;
            }
            const std::uint32_t cnode = n32 + c;
            if (component_seen_[c] != stamp_) {
                open(cnode);  // may invalidate `top`
            } else if (still_open(cnode)) {
                std::uint32_t& low = low_of(node);
                low = std::min(low, index_of(cnode));
            }
            continue;
        } else if (top.slot < out_count_[node]) {
            target = out_heads(node)[top.slot++];
        }
        if (target == none) {
            // The node is finished: settle its strongly connected part when it is the root.
            stack_.pop_back();
            if (low_of(node) == index_of(node)) {
                for (;;) {
                    const std::uint32_t x = part_.back();
                    part_.pop_back();
                    if (is_component(x)) {
                        component_open_[x - n32] = 0;
                        absorb(x - n32);
                    } else {
                        vertex_state_[x].open = 0;
                        add_tight(x);
                    }
                    if (x == node) break;
                }
            } else if (!stack_.empty()) {
                std::uint32_t& low = low_of(stack_.back().node);
                low = std::min(low, low_of(node));
            }
            continue;
        }
        if (in_new_component(target)) continue;  // settled, or in the tight set: no pebble there
        if (vertex_state_[target].free_mark == detection_ || vertex_state_[target].pebbles > 0) {
            found = true;
            break;
        }
        const std::uint32_t next = node_of(target);
        if (next == target && vertex_state_[target].mark != stamp_) {
            open(target);  // may invalidate `top`
        } else if (still_open(next)) {
            std::uint32_t& low = low_of(node);
            low = std::min(low, index_of(next));
        }
    }
    if (!found) return false;
    for (std::uint32_t x : part_) {
        if (is_component(x)) {
            component_open_[x - n32] = 0;
            component_free_[x - n32] = detection_;
        } else {
            vertex_state_[x].open = 0;
            vertex_state_[x].free_mark = detection_;
        }
    }
    return true;
}

void ComponentPebbleGame::make_live(std::uint32_t c) {
    live_position_[c] = static_cast<std::uint32_t>(live_ids_.size());
    live_ids_.push_back(c);
}

void ComponentPebbleGame::retire(std::uint32_t c) {
    forget_large(c);
    multi_vertex_components_ -= component_vertices_[c].size() >= 2;
    const std::uint32_t last = live_ids_.back();
    live_ids_[live_position_[c]] = last;
    live_position_[last] = live_position_[c];
    live_ids_.pop_back();
    std::vector<std::uint32_t>().swap(component_vertices_[c]);
    std::vector<std::uint32_t>().swap(leaving_[c]);
    std::vector<std::uint32_t>().swap(entering_[c]);
}

void ComponentPebbleGame::drop_component(std::uint32_t c) {
    for (std::uint32_t x : component_vertices_[c]) {
        std::vector<std::uint32_t>& list = member_of_[x];
        list.erase(std::find(list.begin(), list.end(), c));
        if (newest_[x] == c) newest_[x] = list.empty() ? none : list.back();
    }
    retire(c);
}

// The edge just accepted made y's degree k, every edge of y going into a component C that holds
// x. Then C + y spans k|C| - l + k edges: it is tight. It is also the largest tight set holding
// x and y: without y such a set N spans k|N - y| - l edges, so it was tight before and, holding
// C, was C itself. C grows by y in O(k) work instead of a search over all of it.
bool ComponentPebbleGame::extend_component(std::uint32_t x, std::uint32_t y) {
    if (member_of_[x].empty() || k_ > max_extension_degree) return false;
    // y's neighbours over its out-edges and at most k - out_count in-edges (more: degree > k).
    std::uint32_t neighbours[max_extension_degree];
    std::uint32_t degree = 0;
    for (std::uint32_t s = 0; s < out_count_[y]; ++s) neighbours[degree++] = head_[out_slots(y)[s]];
    for (std::uint32_t e = in_first_[y]; e != none; e = in_next_[e]) {
        if (degree == k_) return false;
        neighbours[degree++] = tail_[e];
    }
    if (degree != k_) return false;
    for (std::uint32_t i = 0; i < degree; ++i)
        if (neighbours[i] == y) return false;  // a loop
    // The largest such C: one kept inside a larger component (see components()) is not maximal.
    std::uint32_t grown = none;
    for (std::uint32_t c : member_of_[x]) {
        bool all_inside = true;
        for (std::uint32_t i = 0; i < degree && all_inside; ++i) all_inside = in_component(neighbours[i], c);
        if (all_inside && (grown == none || component_vertices_[c].size() > component_vertices_[grown].size()))
            grown = c;
    }
    if (grown == none) return false;
    // Components through y that now lie inside C + y are dropped.
    std::vector<std::uint32_t>& through_y = through_y_;  // a copy: dropping edits y's list
    through_y.assign(member_of_[y].begin(), member_of_[y].end());
    for (std::uint32_t d : through_y) {
        bool inside = true;
        for (std::uint32_t z : component_vertices_[d]) inside = inside && (z == y || in_component(z, grown));
        if (inside) drop_component(d);
    }
    component_vertices_[grown].push_back(y);
    multi_vertex_components_ += component_vertices_[grown].size() == 2;
    note_size(grown);
    std::vector<std::uint32_t>& list = member_of_[y];
    list.insert(std::lower_bound(list.begin(), list.end(), grown), grown);
    newest_[y] = grown;
    if (large_[grown]) {
        large_of_[y].push_back(grown);
        comp_pebbles_[grown] += vertex_state_[y].pebbles;
        for (std::uint32_t s = 0; s < out_count_[y]; ++s) note_leaving(out_slots(y)[s]);
        for (std::uint32_t e = sat_first_[y]; e != none; e = sat_next_[e])
            if (!in_component(tail_[e], grown)) entering_[grown].push_back(e);
    } else if (component_vertices_[grown].size() >= large_size) {
        make_large(grown);
    }
    rewire(grown, std::span<const std::uint32_t>(&y, 1), false);
    return true;
}

// Stores the component found: the vertices taken one by one and the components taken whole,
// plus the components that meet it in absorb_overlap_ vertices taken one by one (their union
// with it is tight, so it holds them). It keeps the id and the vertex list of the largest.
void ComponentPebbleGame::record_component(std::uint32_t a, std::uint32_t b) {
    // Components meeting it in two vertices or more meet it outside the vertex with the longest
    // list too, so that list (a hub's, in many components) is only bisected.
    std::size_t longest = 0;
    for (std::size_t i = 1; i < tight_.size(); ++i)
        if (member_of_[tight_[i]].size() > member_of_[tight_[longest]].size()) longest = i;
    const bool skip_longest = absorb_overlap_ >= 2;
    std::vector<std::uint32_t>& touched = touched_;
    touched.clear();
    for (std::size_t i = 0; i < tight_.size(); ++i) {
        if (skip_longest && i == longest) continue;
        for (std::uint32_t c : member_of_[tight_[i]])
            if (absorbed_mark_[c] != detection_ && overlap_[c]++ == 0) touched.push_back(c);
    }
    for (std::uint32_t c : touched) {
        if (skip_longest) overlap_[c] += in_component(tight_[longest], c);
        if (overlap_[c] >= absorb_overlap_) absorb(c);
        overlap_[c] = 0;
    }
    absorb_nested(skip_longest ? tight_[longest] : none);
    std::uint32_t keeper = none;
    for (std::uint32_t c : absorbed_)
        if (keeper == none || component_vertices_[c].size() > component_vertices_[keeper].size()) keeper = c;
    std::uint32_t id = keeper;
    if (id == none) {
        if (component_vertices_.size() >= none) throw std::bad_alloc();
        id = static_cast<std::uint32_t>(component_vertices_.size());
        component_vertices_.emplace_back();
        leaving_.emplace_back();
        entering_.emplace_back();
        comp_pebbles_.push_back(0);
        absorbed_mark_.push_back(0);
        component_free_.push_back(0);
        component_seen_.push_back(0);
        component_open_.push_back(0);
        component_index_.push_back(0);
        component_low_.push_back(0);
        large_.push_back(0);
        live_position_.push_back(0);
        overlap_.push_back(0);
        first_hub_.push_back(a);
        second_hub_.push_back(l_ < k_ ? a : b);
        make_live(id);
    }
    // The vertices new to the kept list, each once.
    new_stamp();
    std::vector<std::uint32_t>& joining = joining_;
    joining.clear();
    auto join = [&](std::uint32_t x) {
        if (vertex_state_[x].mark == stamp_ || (keeper != none && in_component(x, keeper))) return;
        vertex_state_[x].mark = stamp_;
        joining.push_back(x);
    };
    for (std::uint32_t c : absorbed_)
        if (c != keeper)
            for (std::uint32_t x : component_vertices_[c]) join(x);
    for (std::uint32_t x : tight_) join(x);
    auto gone = [&](std::uint32_t c) { return c != id && absorbed_mark_[c] == detection_; };
    const bool any_gone = absorbed_.size() > (keeper == none ? 0u : 1u);
    std::vector<std::uint32_t>& entering = entering_[id];
    for (std::uint32_t c : absorbed_) {
        if (c == keeper) continue;
        for (std::uint32_t x : component_vertices_[c]) {
            std::vector<std::uint32_t>& list = member_of_[x];
            list.erase(std::remove_if(list.begin(), list.end(), gone), list.end());
            newest_[x] = id;
        }
        entering.insert(entering.end(), entering_[c].begin(), entering_[c].end());
        retire(c);
    }
    for (std::uint32_t x : joining) {
        std::vector<std::uint32_t>& list = member_of_[x];
        if (any_gone) list.erase(std::remove_if(list.begin(), list.end(), gone), list.end());
        list.insert(std::lower_bound(list.begin(), list.end(), id), id);
        newest_[x] = id;
        if (!large_[id]) continue;
        large_of_[x].push_back(id);
        for (std::uint32_t e = sat_first_[x]; e != none; e = sat_next_[e]) entering.push_back(e);
    }
    std::vector<std::uint32_t>& vertices = component_vertices_[id];
    const bool was_multi_vertex = vertices.size() >= 2;
    vertices.insert(vertices.end(), joining.begin(), joining.end());
    multi_vertex_components_ += !was_multi_vertex && vertices.size() >= 2;
    note_size(id);
    leaving_[id].clear();  // the new component is closed
    comp_pebbles_[id] = l_;  // all on a and b
    if (!large_[id] && vertices.size() >= large_size) make_large(id);
    if (keeper == none) rewire(id, vertices, true);
    else rewire(id, joining, false);
}

// A live component inside the new one that meets the vertices taken one by one in fewer than
// absorb_overlap_ of them was missed by the count over them: it lies in the components taken
// whole. It is no longer maximal and is taken too, so that the live components are exactly the
// maximal ones after every edge. Two maximal components share fewer than absorb_overlap_ vertices,
// so such a component has fewer than that many in the largest component taken (whose vertices are
// not walked) and is found from its others, which are walked here: the vertices taken one by one
// (but `hub`, whose list may be long) and those of the smaller components taken whole, whose lists
// the new component's bookkeeping walks anyway. One found from none of them lies in the hub and
// the largest component taken.
void ComponentPebbleGame::absorb_nested(std::uint32_t hub) {
    std::uint32_t largest_taken = none;
    for (std::uint32_t c : absorbed_)
        if (largest_taken == none || component_vertices_[c].size() > component_vertices_[largest_taken].size())
            largest_taken = c;
    new_stamp();
    std::vector<std::uint32_t>& touched = touched_;
    touched.clear();
    auto count = [&](std::uint32_t x) {
        if (x == hub || vertex_state_[x].mark == stamp_) return;
        vertex_state_[x].mark = stamp_;
        for (std::uint32_t d : member_of_[x])
            if (absorbed_mark_[d] != detection_ && overlap_[d]++ == 0) touched.push_back(d);
    };
    for (std::uint32_t x : tight_) count(x);
    // A component missed above holds at most absorb_overlap_ vertices, the hub and the rest in
    // the largest component taken: only those of the hub's components are looked at. Without a
    // component taken whole it would be the hub alone, and there is a hub only for l > k, when a
    // single vertex is never tight.
    if (hub != none && largest_taken != none)
        for (std::uint32_t d : member_of_[hub])
            if (absorbed_mark_[d] != detection_ && component_vertices_[d].size() <= absorb_overlap_ &&
                overlap_[d]++ == 0)
                touched.push_back(d);
    const std::size_t taken = absorbed_.size();
    for (std::size_t i = 0; i < taken; ++i)
        if (absorbed_[i] != largest_taken)
            for (std::uint32_t x : component_vertices_[absorbed_[i]]) count(x);
    for (std::uint32_t d : touched) {
        const std::vector<std::uint32_t>& vertices = component_vertices_[d];
        bool inside = vertices.size() <= std::size_t{overlap_[d]} + absorb_overlap_;
        for (std::size_t i = 0; inside && i < vertices.size(); ++i) {
            const std::uint32_t z = vertices[i];
            inside = vertex_state_[z].mark == stamp_ || z == hub ||
                     (largest_taken != none && in_component(z, largest_taken));
        }
        overlap_[d] = 0;
        if (inside) absorb(d);
    }
}

// A component that grows to the size of the largest becomes the largest; one that replaces the
// largest (absorbing it, or growing over it by one vertex) is at least as large.
void ComponentPebbleGame::note_size(std::uint32_t c) {
    if (largest_ == none || component_vertices_[c].size() >= component_vertices_[largest_].size()) largest_ = c;
}

bool ComponentPebbleGame::is_tight() const {
    return n_ >= 1 && k_ * n_ >= l_ && accepted() == k_ * n_ - l_;
}

// A component found inside a later one only through the components it was taken with is kept
// until here (it is still tight, so rejecting by it is right). It shares absorb_overlap_
// vertices, its first two, with a larger component, which then contains it.
std::vector<std::vector<std::uint64_t>> ComponentPebbleGame::components() const {
    std::vector<std::vector<std::uint64_t>> out;
    for (std::uint32_t c : live_ids_) {
        const std::vector<std::uint32_t>& vertices = component_vertices_[c];
        std::uint32_t first = vertices[0], second = vertices.size() > 1 ? vertices[1] : vertices[0];
        if (absorb_overlap_ >= 2 && member_of_[second].size() < member_of_[first].size()) std::swap(first, second);
        bool nested = false;
        for (std::uint32_t other : member_of_[first]) {
            if (other == c || component_vertices_[other].size() <= vertices.size()) continue;
            if (absorb_overlap_ >= 2 && !in_component(second, other)) continue;
            nested = true;
            break;
        }
        if (nested) continue;
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
    require_game_parameters(k, l);
    std::uint64_t pebbles = 0;
    if (__builtin_mul_overflow(n, k, &pebbles))
        throw InvalidInput("the game's k n pebbles must fit 64 bits, not " + std::to_string(k) + " * " +
                           std::to_string(n));
    require_edges_within(edges.data(), edges.size(), n);
    require_int64_vertices(edges.data(), edges.size());
    // The game is played on the vertices that carry edges: one without any lies in no tight set
    // with an edge (adding it adds k to the count, no edge), so acceptance and components are the
    // same; its k pebbles stay free.
    const CompactGraph compact = compact_graph(n, edges.data(), edges.size());
    const std::vector<Edge>& played = compact.identity ? edges : compact.edges;
    SparsityGameOutcome outcome;
    outcome.labels.assign(edges.size(), 0);
    std::uint64_t accepted = 0;
    if (!played.empty()) {
        ComponentPebbleGame game(compact.identity ? n : compact.original.size(), k, l);
        for (std::size_t e = 0; e < played.size(); ++e)
            outcome.labels[e] = game.add_edge(played[e].i, played[e].j) ? 1 : 0;
        outcome.components = game.components();
        accepted = game.accepted();
    }
    if (!compact.identity)
        for (std::vector<std::uint64_t>& component : outcome.components)
            for (std::uint64_t& v : component) v = compact.original[v];  // increasing: sorted still
    outcome.free_pebbles = pebbles - accepted;
    outcome.is_tight = n >= 1 && pebbles >= l && accepted == pebbles - l;  // as ComponentPebbleGame::is_tight
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
    std::uint8_t* labels = outcome.labels.data();
    const std::uint32_t* newest_of = game.newest_components();
    std::uint64_t row_start = 0;  // label index of (u, u + 1)
    for (std::uint64_t u = 0; u + 1 < n; ++u) {
        const auto a = static_cast<std::uint32_t>(u);
        std::uint32_t newest = game.newest_component(a);
        std::uint64_t v = u + 1;
        while (v < n) {
            if (newest != ComponentPebbleGame::no_component) {
                // Skip the run of vertices sharing a's newest component (their labels stay 0),
                // a block at a time: after the second row that is every vertex.
                while (v + skip_block <= n) {
                    std::uint32_t differs = 0;
                    for (std::uint64_t t = 0; t < skip_block; ++t) differs |= newest_of[v + t] ^ newest;
                    if (differs != 0) break;
                    v += skip_block;
                }
                while (v < n && newest_of[v] == newest) ++v;
                if (v == n) break;
            }
            if (game.add_edge(a, static_cast<std::uint32_t>(v))) {
                labels[row_start + (v - u - 1)] = 1;
                outcome.accepted_edges.push_back(Edge{u, v});
                newest = game.newest_component(a);
            }
            ++v;
        }
        row_start += n - 1 - u;
    }
    return outcome;
}

}  // namespace telvora
