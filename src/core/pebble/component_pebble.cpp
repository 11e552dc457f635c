// The (k, l) pebble game with components: its parameters, construction, the edge played, and the
// drivers over an edge list and over the complete graph.
#include "pebble/component_pebble.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

namespace {

constexpr std::uint32_t none = ComponentPebbleGame::no_component;

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
    records_.member_of.resize(n);
    large_of_.resize(n);
    records_.newest.assign(n, none);
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
                                                &component_index_, &component_low_, &records_.live_position, &overlap_,
                                                &first_hub_, &second_hub_})
        records->reserve(component_room);
    records_.vertices.reserve(component_room);
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

bool ComponentPebbleGame::is_tight() const {
    return n_ >= 1 && k_ * n_ >= l_ && accepted() == k_ * n_ - l_;
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
