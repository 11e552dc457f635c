// The components of the (k, l) game with components: live list, membership and counters.
#include "pebble/component_records.hpp"

#include <algorithm>

namespace telvora {

namespace {

// Above this many ids a vertex's component list is searched by bisection instead of compared
// entry by entry.
constexpr std::size_t short_list = 8;

}  // namespace

bool ComponentRecords::contains(std::uint32_t v, std::uint32_t c) const {
    const std::vector<std::uint32_t>& list = member_of[v];
    if (list.size() <= short_list) return std::find(list.begin(), list.end(), c) != list.end();
    return std::binary_search(list.begin(), list.end(), c);
}

bool ComponentRecords::share(std::uint32_t u, std::uint32_t v) const {
    const std::vector<std::uint32_t>* a = &member_of[u];
    const std::vector<std::uint32_t>* b = &member_of[v];
    if (a->empty() || b->empty()) return false;
    if (u == v || newest[u] == newest[v]) return true;
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

void ComponentRecords::note_size(std::uint32_t c) {
    if (largest == none || vertices[c].size() >= vertices[largest].size()) largest = c;
}

void ComponentRecords::make_live(std::uint32_t c) {
    live_position[c] = static_cast<std::uint32_t>(live_ids.size());
    live_ids.push_back(c);
}

void ComponentRecords::retire(std::uint32_t c) {
    multi_vertex -= vertices[c].size() >= 2;
    const std::uint32_t last = live_ids.back();
    live_ids[live_position[c]] = last;
    live_position[last] = live_position[c];
    live_ids.pop_back();
    std::vector<std::uint32_t>().swap(vertices[c]);
}

void ComponentRecords::leave_members(std::uint32_t c) {
    for (std::uint32_t x : vertices[c]) {
        std::vector<std::uint32_t>& list = member_of[x];
        list.erase(std::find(list.begin(), list.end(), c));
        if (newest[x] == c) newest[x] = list.empty() ? none : list.back();
    }
}

// A component found inside a later one only through the components it was taken with is kept
// until here (it is still tight, so rejecting by it is right). It shares absorb_overlap
// vertices, its first two, with a larger component, which then contains it.
std::vector<std::vector<std::uint64_t>> ComponentRecords::maximal(std::uint32_t absorb_overlap) const {
    std::vector<std::vector<std::uint64_t>> out;
    for (std::uint32_t c : live_ids) {
        const std::vector<std::uint32_t>& own = vertices[c];
        std::uint32_t first = own[0], second = own.size() > 1 ? own[1] : own[0];
        if (absorb_overlap >= 2 && member_of[second].size() < member_of[first].size()) std::swap(first, second);
        bool nested = false;
        for (std::uint32_t other : member_of[first]) {
            if (other == c || vertices[other].size() <= own.size()) continue;
            if (absorb_overlap >= 2 && !contains(second, other)) continue;
            nested = true;
            break;
        }
        if (nested) continue;
        out.emplace_back(own.begin(), own.end());
        std::sort(out.back().begin(), out.back().end());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace telvora
