// Pebble game: the depth-first pebble search, its move log, and the (2,3) game driver.
#pragma once

#include <cstdint>
#include <vector>

#include "base/traversal.hpp"

namespace telvora {

enum class MoveKind : std::uint8_t { Taken, Added, Reversed };

// One change to the game state. Taken/Added name their node in `from` (`to` is 0);
// Reversed(from, to) means the directed edge from->to was turned into to->from.
struct PebbleMove {
    MoveKind kind = MoveKind::Taken;
    std::uint64_t from = 0;
    std::uint64_t to = 0;

    static PebbleMove taken(std::uint64_t node) { return {MoveKind::Taken, node, 0}; }
    static PebbleMove added(std::uint64_t node) { return {MoveKind::Added, node, 0}; }
    static PebbleMove reversed(std::uint64_t from, std::uint64_t to) { return {MoveKind::Reversed, from, to}; }
    friend bool operator==(const PebbleMove&, const PebbleMove&) = default;
};

// The game state of one call: every node starts with 2 free pebbles and no out-edges.
// y in out_edges[x] means the accepted edge {x, y} is directed x->y.
struct PebbleState {
    std::vector<std::int32_t> pebbles;
    std::vector<std::vector<std::uint64_t>> out_edges;
    explicit PebbleState(std::uint64_t n);
};

// The set of nodes entered by one search. Emptying it is O(1): a node is a member when
// its mark equals the current stamp, and new_search() moves to a fresh stamp (64 bits,
// so it never wraps). It also keeps the search's path stack, so that repeated searches
// reuse one buffer instead of allocating.
class VisitedSet {
public:
    explicit VisitedSet(std::uint64_t n);

    // Empties the set; call before every search the driver starts.
    void new_search();
    bool contains(std::uint64_t v) const { return marks_[v] == stamp_; }
    // Adds v; returns false when it was already a member.
    bool insert(std::uint64_t v) {
        if (marks_[v] == stamp_) return false;
        marks_[v] = stamp_;
        ++size_;
        return true;
    }
    // Number of members in the current search.
    std::uint64_t size() const { return size_; }
    // Number of nodes the set can hold (indices 0 .. capacity()-1).
    std::uint64_t capacity() const { return marks_.size(); }

    // One node on the current search path: the out-list position being tried and the
    // list length noted on entry.
    struct Frame {
        std::uint64_t node;
        std::uint64_t position;
        std::uint64_t length;
    };
    std::vector<Frame>& path_stack() { return path_stack_; }

private:
    std::vector<std::uint64_t> marks_;
    std::uint64_t stamp_ = 1;
    std::uint64_t size_ = 0;
    std::vector<Frame> path_stack_;
};

// Depth-first search from v for a free pebble, with pre-order marking in `visited` and
// out-neighbours tried in list order. On success the pebble is taken, every edge on the
// path is reversed, and the log gains Taken(x) followed by Reversed records from the far
// end back to v. On failure only `visited` changes. Uses an explicit stack, so the depth
// is bounded by memory, not by the thread's stack. Throws FatalError for a node index
// outside the state.
bool find_pebble(std::uint64_t v, VisitedSet& visited, std::vector<std::int32_t>& pebbles,
                 std::vector<std::vector<std::uint64_t>>& out_edges, std::vector<PebbleMove>& moves);

// Takes back the log from its last record to its first. A turned-back edge lands at the
// end of its tail's out-list, not at its former position.
void undo_moves(const std::vector<PebbleMove>& moves, std::vector<std::int32_t>& pebbles,
                std::vector<std::vector<std::uint64_t>>& out_edges);

struct PebbleGameOutcome {
    std::vector<std::uint8_t> labels;  // one per candidate edge, 1 = accepted
    std::vector<Edge> accepted_edges;  // in acceptance (= candidate) order
};

// Plays the (2,3) pebble game over the complete graph on n nodes, walking the candidate
// edges (i < j, lexicographic) without materialising them. Throws std::bad_alloc before
// any work when the labels or the per-node state cannot fit in memory.
PebbleGameOutcome run_pebble_game(std::uint64_t n);
// The same game, also handing back the pebble counts and out-lists it ended with.
PebbleGameOutcome run_pebble_game(std::uint64_t n, PebbleState& final_state);

}  // namespace telvora
