// The component bookkeeping of the component game: large components' pebble counts and edge
// lists, components absorbed, recorded, extended and retired, and the hubs they are rewired to.
#include "pebble/component_pebble.hpp"

#include <algorithm>
#include <new>

namespace telvora {

namespace {

constexpr std::uint32_t none = ComponentPebbleGame::no_component;

}  // namespace

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
        for (std::uint32_t x : records_.vertices[c])
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
        for (std::uint32_t x : records_.vertices[c])
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
    for (std::uint32_t x : records_.vertices[c]) large_of_[x].push_back(c);
    std::vector<std::uint32_t>& leaving = leaving_[c];
    leaving.clear();
    for (std::uint32_t x : records_.vertices[c])
        for (std::uint32_t s = 0; s < out_count_[x]; ++s)
            if (!in_component(head_[out_slots(x)[s]], c)) leaving.push_back(out_slots(x)[s]);
    std::vector<std::uint32_t>& entering = entering_[c];
    entering.clear();
    for (std::uint32_t x : records_.vertices[c])
        for (std::uint32_t e = sat_first_[x]; e != none; e = sat_next_[e])
            if (!in_component(tail_[e], c)) entering.push_back(e);
}

std::uint64_t ComponentPebbleGame::pebbles_of_vertices(std::uint32_t c) const {
    std::uint64_t sum = 0;
    for (std::uint32_t x : records_.vertices[c]) sum += vertex_state_[x].pebbles;
    return sum;
}

void ComponentPebbleGame::forget_large(std::uint32_t c) {
    if (!large_[c]) return;
    for (std::uint32_t x : records_.vertices[c]) {
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

// Retires c from the records and drops its large-component lists.
void ComponentPebbleGame::retire(std::uint32_t c) {
    forget_large(c);
    records_.retire(c);
    std::vector<std::uint32_t>().swap(leaving_[c]);
    std::vector<std::uint32_t>().swap(entering_[c]);
}

void ComponentPebbleGame::drop_component(std::uint32_t c) {
    records_.leave_members(c);
    retire(c);
}

// The edge just accepted made y's degree k, every edge of y going into a component C that holds
// x. Then C + y spans k|C| - l + k edges: it is tight. It is also the largest tight set holding
// x and y: without y such a set N spans k|N - y| - l edges, so it was tight before and, holding
// C, was C itself. C grows by y in O(k) work instead of a search over all of it.
bool ComponentPebbleGame::extend_component(std::uint32_t x, std::uint32_t y) {
    if (records_.member_of[x].empty() || k_ > max_extension_degree) return false;
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
    for (std::uint32_t c : records_.member_of[x]) {
        bool all_inside = true;
        for (std::uint32_t i = 0; i < degree && all_inside; ++i) all_inside = in_component(neighbours[i], c);
        if (all_inside && (grown == none || records_.vertices[c].size() > records_.vertices[grown].size()))
            grown = c;
    }
    if (grown == none) return false;
    // Components through y that now lie inside C + y are dropped.
    std::vector<std::uint32_t>& through_y = through_y_;  // a copy: dropping edits y's list
    through_y.assign(records_.member_of[y].begin(), records_.member_of[y].end());
    for (std::uint32_t d : through_y) {
        bool inside = true;
        for (std::uint32_t z : records_.vertices[d]) inside = inside && (z == y || in_component(z, grown));
        if (inside) drop_component(d);
    }
    records_.vertices[grown].push_back(y);
    records_.multi_vertex += records_.vertices[grown].size() == 2;
    records_.note_size(grown);
    std::vector<std::uint32_t>& list = records_.member_of[y];
    list.insert(std::lower_bound(list.begin(), list.end(), grown), grown);
    records_.newest[y] = grown;
    if (large_[grown]) {
        large_of_[y].push_back(grown);
        comp_pebbles_[grown] += vertex_state_[y].pebbles;
        for (std::uint32_t s = 0; s < out_count_[y]; ++s) note_leaving(out_slots(y)[s]);
        for (std::uint32_t e = sat_first_[y]; e != none; e = sat_next_[e])
            if (!in_component(tail_[e], grown)) entering_[grown].push_back(e);
    } else if (records_.vertices[grown].size() >= large_size) {
        make_large(grown);
    }
    rewire(grown, std::span<const std::uint32_t>(&y, 1), false);
    return true;
}

// Stores the component found: the vertices taken one by one and the components taken whole,
// plus the components that meet it in absorb_overlap_ vertices taken one by one (their union
// with it is tight, so it holds them). It keeps the id and the vertex list of the largest.
void ComponentPebbleGame::record_component(std::uint32_t a, std::uint32_t b) {
    take_overlapping();
    std::uint32_t keeper = none;
    for (std::uint32_t c : absorbed_)
        if (keeper == none || records_.vertices[c].size() > records_.vertices[keeper].size()) keeper = c;
    const std::uint32_t id = keeper == none ? new_component(a, b) : keeper;
    const std::vector<std::uint32_t>& joining = merge_absorbed(id, keeper);
    std::vector<std::uint32_t>& vertices = records_.vertices[id];
    const bool was_multi_vertex = vertices.size() >= 2;
    vertices.insert(vertices.end(), joining.begin(), joining.end());
    records_.multi_vertex += !was_multi_vertex && vertices.size() >= 2;
    records_.note_size(id);
    leaving_[id].clear();  // the new component is closed
    comp_pebbles_[id] = l_;  // all on a and b
    if (!large_[id] && vertices.size() >= large_size) make_large(id);
    if (keeper == none) rewire(id, vertices, true);
    else rewire(id, joining, false);
}

// The components meeting the vertices taken one by one in absorb_overlap_ of them are taken too,
// and then the ones nested in what is taken.
void ComponentPebbleGame::take_overlapping() {
    // Components meeting it in two vertices or more meet it outside the vertex with the longest
    // list too, so that list (a hub's, in many components) is only bisected.
    std::size_t longest = 0;
    for (std::size_t i = 1; i < tight_.size(); ++i)
        if (records_.member_of[tight_[i]].size() > records_.member_of[tight_[longest]].size()) longest = i;
    const bool skip_longest = absorb_overlap_ >= 2;
    std::vector<std::uint32_t>& touched = touched_;
    touched.clear();
    for (std::size_t i = 0; i < tight_.size(); ++i) {
        if (skip_longest && i == longest) continue;
        for (std::uint32_t c : records_.member_of[tight_[i]])
            if (absorbed_mark_[c] != detection_ && overlap_[c]++ == 0) touched.push_back(c);
    }
    for (std::uint32_t c : touched) {
        if (skip_longest) overlap_[c] += in_component(tight_[longest], c);
        if (overlap_[c] >= absorb_overlap_) absorb(c);
        overlap_[c] = 0;
    }
    absorb_nested(skip_longest ? tight_[longest] : none);
}

// A fresh live component with hubs a and b (a alone when l < k), empty and small.
std::uint32_t ComponentPebbleGame::new_component(std::uint32_t a, std::uint32_t b) {
    if (records_.vertices.size() >= none) throw std::bad_alloc();
    const auto id = static_cast<std::uint32_t>(records_.vertices.size());
    records_.vertices.emplace_back();
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
    records_.live_position.push_back(0);
    overlap_.push_back(0);
    first_hub_.push_back(a);
    second_hub_.push_back(l_ < k_ ? a : b);
    records_.make_live(id);
    return id;
}

// Moves the components taken, but the kept one, and the vertices taken one by one into id:
// membership lists, newest ids and the entering edges of a large id. Returns the vertices new to
// id's list, each once, which the caller appends.
const std::vector<std::uint32_t>& ComponentPebbleGame::merge_absorbed(std::uint32_t id, std::uint32_t keeper) {
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
            for (std::uint32_t x : records_.vertices[c]) join(x);
    for (std::uint32_t x : tight_) join(x);
    auto gone = [&](std::uint32_t c) { return c != id && absorbed_mark_[c] == detection_; };
    const bool any_gone = absorbed_.size() > (keeper == none ? 0u : 1u);
    std::vector<std::uint32_t>& entering = entering_[id];
    for (std::uint32_t c : absorbed_) {
        if (c == keeper) continue;
        for (std::uint32_t x : records_.vertices[c]) {
            std::vector<std::uint32_t>& list = records_.member_of[x];
            list.erase(std::remove_if(list.begin(), list.end(), gone), list.end());
            records_.newest[x] = id;
        }
        entering.insert(entering.end(), entering_[c].begin(), entering_[c].end());
        retire(c);
    }
    for (std::uint32_t x : joining) {
        std::vector<std::uint32_t>& list = records_.member_of[x];
        if (any_gone) list.erase(std::remove_if(list.begin(), list.end(), gone), list.end());
        list.insert(std::lower_bound(list.begin(), list.end(), id), id);
        records_.newest[x] = id;
        if (!large_[id]) continue;
        large_of_[x].push_back(id);
        for (std::uint32_t e = sat_first_[x]; e != none; e = sat_next_[e]) entering.push_back(e);
    }
    return joining;
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
        if (largest_taken == none || records_.vertices[c].size() > records_.vertices[largest_taken].size())
            largest_taken = c;
    new_stamp();
    std::vector<std::uint32_t>& touched = touched_;
    touched.clear();
    auto count = [&](std::uint32_t x) {
        if (x == hub || vertex_state_[x].mark == stamp_) return;
        vertex_state_[x].mark = stamp_;
        for (std::uint32_t d : records_.member_of[x])
            if (absorbed_mark_[d] != detection_ && overlap_[d]++ == 0) touched.push_back(d);
    };
    for (std::uint32_t x : tight_) count(x);
    // A component missed above holds at most absorb_overlap_ vertices, the hub and the rest in
    // the largest component taken: only those of the hub's components are looked at. Without a
    // component taken whole it would be the hub alone, and there is a hub only for l > k, when a
    // single vertex is never tight.
    if (hub != none && largest_taken != none)
        for (std::uint32_t d : records_.member_of[hub])
            if (absorbed_mark_[d] != detection_ && records_.vertices[d].size() <= absorb_overlap_ &&
                overlap_[d]++ == 0)
                touched.push_back(d);
    const std::size_t taken = absorbed_.size();
    for (std::size_t i = 0; i < taken; ++i)
        if (absorbed_[i] != largest_taken)
            for (std::uint32_t x : records_.vertices[absorbed_[i]]) count(x);
    for (std::uint32_t d : touched) {
        const std::vector<std::uint32_t>& vertices = records_.vertices[d];
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

}  // namespace telvora
