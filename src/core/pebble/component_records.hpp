// The components of the (k, l) game with components: which are live, which vertices each holds,
// which each vertex lies in, and the counters read off them after every edge.
#pragma once

#include <cstdint>
#include <vector>

namespace telvora {

// Plain records kept by ComponentPebbleGame; the game decides when a component is made, grown,
// absorbed or dropped, and these keep the vertex lists, membership lists and counters in step.
struct ComponentRecords {
    static constexpr std::uint32_t none = 0xFFFFFFFFu;

    // Vertex lists by id (emptied when retired), and per vertex the ids of the live components
    // holding it, in increasing order, and the one it joined last.
    std::vector<std::vector<std::uint32_t>> vertices;
    std::vector<std::vector<std::uint32_t>> member_of;
    std::vector<std::uint32_t> newest;
    // The live ids, and each id's place among them, so that retiring one is O(1).
    std::vector<std::uint32_t> live_ids, live_position;
    // The live component with the most vertices (emptied lists count as none), and the number of
    // live components of two vertices or more.
    std::uint32_t largest = none;
    std::uint64_t multi_vertex = 0;

    // Whether v lies in component c.
    bool contains(std::uint32_t v, std::uint32_t c) const;
    // Whether u and v lie in a common component (u == v: whether u lies in any).
    bool share(std::uint32_t u, std::uint32_t v) const;
    // A component that grows to the size of the largest becomes the largest; one that replaces
    // the largest (absorbing it, or growing over it by one vertex) is at least as large.
    void note_size(std::uint32_t c);
    void make_live(std::uint32_t c);
    // Takes c off the live list and frees its vertex list; membership lists are the caller's.
    void retire(std::uint32_t c);
    // Takes c out of its vertices' membership lists (their newest falls back to their last).
    void leave_members(std::uint32_t c);
    // The maximal live components, sorted (see the definition for the nested ones left out).
    std::vector<std::vector<std::uint64_t>> maximal(std::uint32_t absorb_overlap) const;
};

}  // namespace telvora
