// The (k, l) pebble game with components, on any multigraph given edge by edge.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pebble/component_records.hpp"
#include "pebble/pebble.hpp"
#include "base/traversal.hpp"

namespace telvora {

// Plays the (k, l) pebble game, 0 <= l < 2k, one edge at a time, keeping the (k, l)-components:
// the maximal tight vertex sets X (spanning k|X| - l accepted edges, at least one). An edge with
// both ends in one component is dependent and is rejected at once, by comparing the short lists
// of components each vertex lies in; any other edge is accepted after at most l + 1 pebble
// searches, and a component is looked for only around the edge just accepted.
//
// Every vertex holds k pebbles at first; an edge played on is directed away from the vertex whose
// pebble covers it, so that free pebbles plus out-degree is k at every vertex. The graph played on
// is the accepted one with each component's inner edges replaced by edges to hubs of it (same
// span, so the same answers). Large components are passed whole by searches and merged small into
// large. Searches use explicit stacks and queues. Memory: O(k n) for the state and the edges played
// on, O(m) for the component records, plus the vertex lists of the live components.
// The members are defined by subject: pebble_search.cpp (the graph played on, gathering pebbles,
// the searches for a new component), component_bookkeeping.cpp (large components' lists,
// absorbing, recording, extending, retiring, hubs), component_records.* (live components,
// membership, counters) and component_pebble.cpp (construction, add_edge, drivers).
// The largest k of a game: a vertex that carries an edge holds k out-slots of 8 bytes, 128 MiB at
// this k, which a machine still serves for a few vertices.
constexpr std::uint64_t max_game_k = std::uint64_t{1} << 24;

// Throws InvalidInput unless 1 <= k <= max_game_k and l < 2k.
void require_game_parameters(std::uint64_t k, std::uint64_t l);

class ComponentPebbleGame {
public:
    static constexpr std::uint32_t no_component = 0xFFFFFFFFu;

    // Throws InvalidInput unless 1 <= k <= max_game_k and l < 2k; OutOfMemory when the state of n
    // vertices cannot fit (n k must stay below 2^32).
    ComponentPebbleGame(std::uint64_t n, std::uint64_t k, std::uint64_t l);

    // Plays the edge {u, v} (u == v: a loop). Returns true when it is accepted, that is
    // independent of the edges accepted before it. Throws InvalidInput for a vertex >= n.
    bool add_edge(std::uint64_t u, std::uint64_t v);

    // Whether u and v lie in a common component (u == v: whether u lies in any).
    bool share_component(std::uint32_t u, std::uint32_t v) const { return records_.share(u, v); }

    // The component v joined last, or no_component: equal values for u and v prove a shared
    // component, which lets a driver skip the call to add_edge.
    std::uint32_t newest_component(std::uint32_t v) const { return records_.newest[v]; }
    const std::uint32_t* newest_components() const { return records_.newest.data(); }

    // The number of vertices of the largest component (0 before there is one), and the number of
    // components of two vertices or more: after every edge the live components are exactly the
    // maximal tight sets, so both are read off without a pass over them.
    std::uint64_t largest_component_size() const {
        return records_.largest == no_component ? 0 : records_.vertices[records_.largest].size();
    }
    std::uint64_t multi_vertex_components() const { return records_.multi_vertex; }

    std::uint64_t vertex_count() const { return n_; }
    std::uint64_t accepted() const { return accepted_; }
    std::uint64_t free_pebbles() const { return k_ * n_ - accepted_; }
    // n >= 1 and exactly k n - l edges accepted.
    bool is_tight() const;

    // The live components, each as its vertices in increasing order, ordered by smallest vertex
    // (then lexicographically).
    std::vector<std::vector<std::uint64_t>> components() const { return records_.maximal(absorb_overlap_); }

    // The pebble counts and the out-lists (heads of the out-edges, in slot order), for tests.
    std::vector<std::uint32_t> pebble_counts() const {
        std::vector<std::uint32_t> counts;
        for (const VertexState& v : vertex_state_) counts.push_back(v.pebbles);
        return counts;
    }
    std::vector<std::vector<std::uint32_t>> out_lists() const;

private:
    struct Frame {
        std::uint32_t node;
        std::uint32_t slot;    // next out-slot (for a component: leaving edge) to try
        std::uint32_t listed;  // next of the vertex's large components to try
    };

    std::uint32_t* out_slots(std::uint32_t v) { return out_.data() + static_cast<std::size_t>(v) * k_; }
    std::uint32_t* out_heads(std::uint32_t v) { return out_head_.data() + static_cast<std::size_t>(v) * k_; }
    const std::uint32_t* out_heads(std::uint32_t v) const { return out_head_.data() + static_cast<std::size_t>(v) * k_; }
    const std::uint32_t* out_slots(std::uint32_t v) const { return out_.data() + static_cast<std::size_t>(v) * k_; }
    void new_stamp();
    bool free_at(std::uint32_t w) const { return vertex_state_[w].pebbles > 0 && w != held_a_ && w != held_b_; }
    // The free pebbles on the ends of an edge (a loop's one end counted once).
    std::uint64_t held_pebbles(std::uint32_t a, std::uint32_t b) const {
        return std::uint64_t{vertex_state_[a].pebbles} + (a == b ? 0 : vertex_state_[b].pebbles);
    }

    // pebble_search.cpp: the graph played on and its pebbles.
    void link_in(std::uint32_t e);
    void unlink_in(std::uint32_t e);
    void list_saturated(std::uint32_t e);
    void unlist_saturated(std::uint32_t e);
    void change_pebbles(std::uint32_t v, std::int32_t delta);
    void insert_edge(std::uint32_t tail, std::uint32_t head);
    void take_slot(std::uint32_t e);
    void detach(std::uint32_t e);
    void reverse(std::uint32_t e);
    void remove_edge(std::uint32_t e);
    bool gather(std::uint32_t x);
    bool internal_out_edge(std::uint32_t x, std::uint32_t c) const;
    std::uint64_t held_in(std::uint32_t c) const;
    // pebble_search.cpp: the search for the tight set around an accepted edge.
    void detect_component(std::uint32_t a, std::uint32_t b);
    bool reach_is_tight(std::uint32_t a, std::uint32_t b);
    void grow_backwards();
    bool reaches_free_pebble(std::uint32_t w);
    // The low-link search of reaches_free_pebble over vertices and large components.
    std::uint32_t node_base() const { return static_cast<std::uint32_t>(n_); }
    bool is_component_node(std::uint32_t node) const { return node >= node_base(); }
    std::uint32_t& node_index(std::uint32_t node);
    std::uint32_t& node_low(std::uint32_t node);
    bool node_open(std::uint32_t node) const;
    void open_node(std::uint32_t node);
    std::uint32_t node_of(std::uint32_t y) const;
    bool pass_large(std::uint32_t node, std::uint32_t c);
    void finish_node(std::uint32_t node);

    // component_bookkeeping.cpp: large components' counts and edge lists.
    bool in_component(std::uint32_t v, std::uint32_t c) const { return records_.contains(v, c); }
    void note_leaving(std::uint32_t e);
    void note_entering(std::uint32_t e);
    template <class Stale>
    const std::vector<std::uint32_t>& clean(std::vector<std::uint32_t>& list, Stale stale);
    const std::vector<std::uint32_t>& leaving_edges(std::uint32_t c);
    const std::vector<std::uint32_t>& entering_edges(std::uint32_t c);
    std::uint64_t pebbles_of(std::uint32_t c) const;
    std::uint64_t pebbles_of_vertices(std::uint32_t c) const;
    void make_large(std::uint32_t c);
    void forget_large(std::uint32_t c);
    // component_bookkeeping.cpp: the detection's takings, and components recorded, grown and retired.
    bool in_new_component(std::uint32_t x) const;
    void absorb(std::uint32_t c);
    void add_tight(std::uint32_t x);
    void record_component(std::uint32_t a, std::uint32_t b);
    void take_overlapping();
    std::uint32_t new_component(std::uint32_t a, std::uint32_t b);
    const std::vector<std::uint32_t>& merge_absorbed(std::uint32_t id, std::uint32_t keeper);
    void absorb_nested(std::uint32_t hub);
    bool extend_component(std::uint32_t x, std::uint32_t y);
    void retire(std::uint32_t c);
    void drop_component(std::uint32_t c);
    void rewire(std::uint32_t c, std::span<const std::uint32_t> vertices, bool whole);

    // Components of this many vertices or more keep their pebble count and edge lists up to date
    // and are passed whole by searches; smaller ones are walked through, and their counts and
    // lists are worked out when asked, so that a vertex in many small components (a hub) costs
    // nothing per move.
    static constexpr std::size_t large_size = 16;
    // The extension rule looks at a vertex's k edges on the stack; beyond that it is left out.
    static constexpr std::uint64_t max_extension_degree = 64;

    std::uint64_t n_, k_, l_;
    std::uint32_t absorb_overlap_;  // an old component meeting a new one in this many vertices joins it
    std::uint64_t accepted_ = 0;
    // Inside a component only the span of its edges matters, so its vertices are given edges to
    // two hubs of it (one below the upper range): `to_first_hub` to the first, the rest to the
    // second, which keeps it sparse when l - k <= to_first_hub <= 2k - l. Some (k, l) with
    // 2l > 3k have no such split and keep the edges as played.
    bool hubbed_ = false;
    std::uint64_t to_first_hub_ = 0;

    // Per vertex, side by side so that a search meets one cache line where it meets the vertex:
    // free pebbles, the search mark and the edge a breadth-first search reached it by, the marks
    // of the detection under way (in the new component, reaches a free pebble), and the low-link
    // search's index, low link and mark of being in the unsettled part.
    struct VertexState {
        std::uint32_t pebbles = 0;
        std::uint32_t mark = 0;
        std::uint32_t parent_edge = 0xFFFFFFFFu;
        std::uint32_t tight_mark = 0, free_mark = 0;
        std::uint32_t index = 0, low = 0, open = 0;
    };
    std::vector<VertexState> vertex_state_;
    std::vector<std::uint32_t> out_count_;
    std::vector<std::uint32_t> out_;  // k slots per vertex: edge ids
    std::vector<std::uint32_t> out_head_;  // the same slots: each edge's head, so searches skip a lookup
    // Per edge: its current direction, its slot at the tail, and its place in the head's in-list;
    // whether it is still part of the graph played on (an edge inside a component gives way to
    // edges to the component's hubs).
    std::vector<std::uint32_t> tail_, head_, slot_, in_next_, in_prev_;
    std::vector<std::uint8_t> alive_;
    std::vector<std::uint32_t> free_edges_;  // ids of removed edges, to be used again
    std::vector<std::uint32_t> in_first_;  // per vertex
    // The in-edges whose tail holds no free pebble, the only ones a new component can grow
    // along: a vertex with a free pebble is never inside a tight set with another's pebbles.
    std::vector<std::uint32_t> sat_next_, sat_prev_, sat_first_;
    std::vector<std::uint8_t> sat_listed_;
    std::vector<std::uint32_t> edge_mark_;  // per edge: seen by the list cleaning under way
    std::uint32_t edge_stamp_ = 0;

    // Search marks: a vertex is marked when its mark equals the current stamp.
    std::uint32_t stamp_ = 0;
    std::uint32_t detection_ = 0;
    std::uint32_t held_a_ = no_component, held_b_ = no_component;  // endpoints whose pebbles stay put
    std::vector<Frame> stack_;
    // Working lists reused from edge to edge, so that small graphs do not pay an allocation each.
    std::vector<std::uint32_t> inner_, candidates_, through_y_, touched_, joining_;
    // The vertices whose pebbles or out-edges the gathers for the edge under way changed.
    std::vector<std::uint32_t> moved_;
    std::vector<std::uint32_t> visited_;

    // Components: which are live, their vertices, each vertex's, the largest and the counters.
    ComponentRecords records_;
    std::vector<std::uint32_t> overlap_;  // scratch per component id, zero between uses
    // Per component: its free pebbles; the edges leaving it and those entering it from a tail
    // without free pebbles (with stale entries, dropped when walked); marks of the current
    // detection (taken into the new component, known to reach a free pebble) and search.
    std::vector<std::uint64_t> comp_pebbles_;
    std::vector<std::vector<std::uint32_t>> leaving_, entering_;
    std::vector<std::uint32_t> absorbed_mark_, component_free_, component_seen_;
    std::vector<std::uint32_t> first_hub_, second_hub_;
    std::vector<std::uint8_t> large_;
    std::vector<std::vector<std::uint32_t>> large_of_;  // per vertex: the large components holding it
    // The detection under way: vertices taken one by one, components taken whole.
    std::vector<std::uint32_t> tight_, absorbed_;
    // The low-link search: per component (per vertex in vertex_state_) its index and low link, and
    // whether it is still in the unsettled part (marked with the search's stamp); the unsettled
    // part itself.
    std::vector<std::uint32_t> component_index_, component_low_, component_open_;
    std::vector<std::uint32_t> part_;
    std::uint32_t search_counter_ = 0;
};

struct SparsityGameOutcome {
    std::vector<std::uint8_t> labels;  // per edge, 1 = accepted
    std::vector<std::vector<std::uint64_t>> components;
    std::uint64_t free_pebbles = 0;
    bool is_tight = false;
};

// The (k, l) game on n vertices over the edges in the given order, played on the vertices that
// carry edges only (memory O(m + k m'), m' of them; n is only counted). Throws InvalidInput for
// k < 1, k > max_game_k, l >= 2k, k n beyond 64 bits or an edge naming a vertex >= n.
SparsityGameOutcome play_sparsity_game(std::uint64_t n, std::uint64_t k, std::uint64_t l,
                                       const std::vector<Edge>& edges);

// The (2, 3) game over the complete graph on n vertices in lexicographic order, by the component
// game: the same labels and accepted edges as run_pebble_game, without its per-edge searches.
// Throws std::bad_alloc before any work when the labels cannot fit.
PebbleGameOutcome complete_graph_pebble_game(std::uint64_t n);

}  // namespace telvora
