// The pebble search of the component game: the directed graph played on, pebbles gathered to an
// edge, and the searches for the tight set around an accepted edge.
#include "pebble/component_pebble.hpp"

#include <algorithm>
#include <new>

namespace telvora {

namespace {

constexpr std::uint32_t none = ComponentPebbleGame::no_component;

}  // namespace

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

// Takes e out of the graph played on; its pebble returns to its tail.
void ComponentPebbleGame::remove_edge(std::uint32_t e) {
    const std::uint32_t a = tail_[e];
    detach(e);
    alive_[e] = 0;
    free_edges_.push_back(e);
    change_pebbles(a, +1);
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
        for (std::uint32_t c : records_.live_ids) {
            if (absorbed_mark_[c] == detection_) continue;
            if (large_[c]) absorb(c);
            else
                for (std::uint32_t x : records_.vertices[c])
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
            if (c == records_.largest && l_ > 0) continue;
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
    search_counter_ = 0;
    bool found = false;
    open_node(w);
    while (!stack_.empty()) {
        Frame& top = stack_.back();
        const std::uint32_t node = top.node;
        std::uint32_t target = none;
        if (is_component_node(node)) {
            const std::vector<std::uint32_t>& list = leaving_[node - node_base()];
            if (top.slot < list.size()) target = head_[list[top.slot++]];
        } else if (top.listed < large_of_[node].size()) {
            // First the large components the vertex enters by an inner edge.
            if (pass_large(node, large_of_[node][top.listed++])) {  // may invalidate `top`
                found = true;
                break;
            }
            continue;
        } else if (top.slot < out_count_[node]) {
            target = out_heads(node)[top.slot++];
        }
        if (target == none) {
            finish_node(node);
            continue;
        }
        if (in_new_component(target)) continue;  // settled, or in the tight set: no pebble there
        if (vertex_state_[target].free_mark == detection_ || vertex_state_[target].pebbles > 0) {
            found = true;
            break;
        }
        const std::uint32_t next = node_of(target);
        if (next == target && vertex_state_[target].mark != stamp_) {
            open_node(target);  // may invalidate `top`
        } else if (node_open(next)) {
            std::uint32_t& low = node_low(node);
            low = std::min(low, node_index(next));
        }
    }
    if (!found) return false;
    for (std::uint32_t x : part_) {
        if (is_component_node(x)) {
            component_open_[x - node_base()] = 0;
            component_free_[x - node_base()] = detection_;
        } else {
            vertex_state_[x].open = 0;
            vertex_state_[x].free_mark = detection_;
        }
    }
    return true;
}

// The low-link search's nodes: a vertex v is v, a large component c is n + c.
std::uint32_t& ComponentPebbleGame::node_index(std::uint32_t node) {
    return is_component_node(node) ? component_index_[node - node_base()] : vertex_state_[node].index;
}

std::uint32_t& ComponentPebbleGame::node_low(std::uint32_t node) {
    return is_component_node(node) ? component_low_[node - node_base()] : vertex_state_[node].low;
}

bool ComponentPebbleGame::node_open(std::uint32_t node) const {
    return is_component_node(node) ? component_open_[node - node_base()] == stamp_ : vertex_state_[node].open == stamp_;
}

// Marks the node seen and unsettled, gives it the next index and pushes its frame (so a caller's
// reference to the top frame is stale after it). A component's leaving edges are listed here, once.
void ComponentPebbleGame::open_node(std::uint32_t node) {
    if (is_component_node(node)) {
        component_seen_[node - node_base()] = stamp_;
        component_open_[node - node_base()] = stamp_;
        leaving_edges(node - node_base());
    } else {
        vertex_state_[node].mark = stamp_;
        vertex_state_[node].open = stamp_;
    }
    node_index(node) = node_low(node) = search_counter_++;
    part_.push_back(node);
    visited_.push_back(node);
    stack_.push_back(Frame{node, 0, 0});
}

// The node an edge into vertex y leads to: y, or the large component already passed that y
// enters by an inner edge. Only such a vertex reaches the component's pebbles; one whose
// out-edges all leave the component reaches no more than their heads, and standing in for it
// by the component would let it, and every vertex whose low link it lowers, pass for
// reaching a free pebble it cannot reach.
std::uint32_t ComponentPebbleGame::node_of(std::uint32_t y) const {
    if (vertex_state_[y].mark == stamp_) return y;
    for (std::uint32_t c : large_of_[y])
        if (component_seen_[c] == stamp_ && internal_out_edge(y, c)) return node_base() + c;
    return y;
}

// Vertex `node` of the search passes through large component c when it enters c by an inner
// edge: true when c has a free pebble to give (or is known to reach one).
bool ComponentPebbleGame::pass_large(std::uint32_t node, std::uint32_t c) {
    if (absorbed_mark_[c] == detection_ || !internal_out_edge(node, c)) return false;
    if (component_free_[c] == detection_ || pebbles_of(c) > held_in(c)) return true;
    const std::uint32_t cnode = node_base() + c;
    if (component_seen_[c] != stamp_) {
        open_node(cnode);
    } else if (node_open(cnode)) {
        std::uint32_t& low = node_low(node);
        low = std::min(low, node_index(cnode));
    }
    return false;
}

// The node is finished: settle its strongly connected part when it is the root (the part reaches
// no free pebble, so it joins the tight set), else pass its low link to its parent.
void ComponentPebbleGame::finish_node(std::uint32_t node) {
    stack_.pop_back();
    if (node_low(node) == node_index(node)) {
        for (;;) {
            const std::uint32_t x = part_.back();
            part_.pop_back();
            if (is_component_node(x)) {
                component_open_[x - node_base()] = 0;
                absorb(x - node_base());
            } else {
                vertex_state_[x].open = 0;
                add_tight(x);
            }
            if (x == node) break;
        }
    } else if (!stack_.empty()) {
        std::uint32_t& low = node_low(stack_.back().node);
        low = std::min(low, node_low(node));
    }
}

}  // namespace telvora
