// Pebble game: the depth-first pebble search, its move log, and the (2,3) game driver.
#include "pebble/pebble.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

PebbleState::PebbleState(std::uint64_t n) {
    require_allocatable(n, sizeof(std::int32_t) + sizeof(std::vector<std::uint64_t>));
    pebbles.assign(n, 2);
    out_edges.resize(n);
}

VisitedSet::VisitedSet(std::uint64_t n) {
    require_allocatable(n, sizeof(std::uint64_t));
    marks_.assign(n, 0);
}

void VisitedSet::new_search() {
    ++stamp_;
    size_ = 0;
}

namespace {

// Out-list of the driver's own state. Between searches a node never has more than 2
// out-edges (free pebbles + out-edges = 2), and the search's erase-then-append steps
// never push a list past that, so two inline slots hold every list the game builds
// and no node needs a heap block of its own.
class OutList {
public:
    std::size_t size() const { return count_; }
    std::uint64_t operator[](std::size_t i) const { return items_[i]; }
    void push_back(std::uint64_t x) {
        if (count_ == capacity) throw FatalError("pebble game: a node has more than 2 out-edges");
        items_[count_++] = x;
    }
    // With two slots, only removing the front entry moves anything.
    void erase_at(std::size_t i) {
        if (i == 0) items_[0] = items_[1];
        --count_;
    }

private:
    static constexpr std::uint32_t capacity = 2;
    static_assert(capacity == 2, "erase_at relies on two slots");
    std::uint64_t items_[capacity] = {0, 0};
    std::uint32_t count_ = 0;
};

void erase_at(std::vector<std::uint64_t>& list, std::size_t i) {
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
}
void erase_at(OutList& list, std::size_t i) { list.erase_at(i); }

[[noreturn]] void index_out_of_range() { throw FatalError("pebble search reached a node index out of range"); }

// The search of find_pebble, shared by the public entry point (plain vectors) and the
// driver (inline lists). The path stack holds the frames the recursive formulation would
// have on the call stack; each frame keeps the out-list length noted on entry.
template <class List>
bool search(std::uint64_t v, VisitedSet& visited, std::vector<std::int32_t>& pebbles, std::vector<List>& out_edges,
            std::vector<PebbleMove>& moves) {
    const std::uint64_t n = pebbles.size();
    if (v >= n) index_out_of_range();

    // Visited is checked before the count is read.
    if (!visited.insert(v)) return false;
    if (pebbles[v] > 0) {
        --pebbles[v];
        moves.emplace_back(MoveKind::Taken, v, std::uint64_t{0});
        return true;
    }

    auto& stack = visited.path_stack();
    stack.clear();
    stack.emplace_back(v, std::uint64_t{0}, std::uint64_t{out_edges[v].size()});
    bool found = false;
    while (!stack.empty()) {
        VisitedSet::Frame& top = stack.back();
        if (top.position == top.length) {
            // Dead end: the parent moves on to its next out-neighbour.
            stack.pop_back();
            if (!stack.empty()) ++stack.back().position;
            continue;
        }
        const std::uint64_t w = out_edges[top.node][top.position];
        if (w >= n) index_out_of_range();
        if (!visited.insert(w)) {
            ++top.position;
            continue;
        }
        if (pebbles[w] > 0) {
            --pebbles[w];
            moves.emplace_back(MoveKind::Taken, w, std::uint64_t{0});
            found = true;
            break;
        }
        stack.emplace_back(w, std::uint64_t{0}, std::uint64_t{out_edges[w].size()});  // may invalidate `top`
    }
    if (!found) return false;

    // Reverse the path from its far end back to v, as the returning calls would. Deeper
    // steps only touch the lists of nodes further along, so each frame's position still
    // names its successor.
    for (std::size_t k = stack.size(); k-- > 0;) {
        const std::uint64_t node = stack[k].node;
        const std::size_t position = static_cast<std::size_t>(stack[k].position);
        const std::uint64_t next = out_edges[node][position];
        erase_at(out_edges[node], position);
        out_edges[next].push_back(node);
        moves.emplace_back(MoveKind::Reversed, node, next);
    }
    stack.clear();
    return true;
}

template <class List>
void undo(const std::vector<PebbleMove>& moves, std::vector<std::int32_t>& pebbles, std::vector<List>& out_edges) {
    const std::uint64_t n = pebbles.size();
    for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
        const PebbleMove& move = *it;
        if (move.from >= n) index_out_of_range();
        switch (move.kind) {
            case MoveKind::Taken:
                ++pebbles[move.from];
                break;
            case MoveKind::Added:
                --pebbles[move.from];
                break;
            case MoveKind::Reversed: {
                if (move.to >= n) index_out_of_range();
                List& list = out_edges[move.to];
                for (std::size_t i = 0; i < list.size(); ++i) {
                    if (list[i] == move.from) {
                        erase_at(list, i);
                        break;
                    }
                }
                out_edges[move.from].push_back(move.to);
                break;
            }
        }
    }
}

void check_state_sizes(const VisitedSet* visited, const std::vector<std::int32_t>& pebbles, std::size_t lists) {
    if (lists != pebbles.size() || (visited != nullptr && visited->capacity() < pebbles.size()))
        throw FatalError("pebble game state has inconsistent sizes");
}

}  // namespace

bool find_pebble(std::uint64_t v, VisitedSet& visited, std::vector<std::int32_t>& pebbles,
                 std::vector<std::vector<std::uint64_t>>& out_edges, std::vector<PebbleMove>& moves) {
    check_state_sizes(&visited, pebbles, out_edges.size());
    return search(v, visited, pebbles, out_edges, moves);
}

void undo_moves(const std::vector<PebbleMove>& moves, std::vector<std::int32_t>& pebbles,
                std::vector<std::vector<std::uint64_t>>& out_edges) {
    check_state_sizes(nullptr, pebbles, out_edges.size());
    undo(moves, pebbles, out_edges);
}

namespace {

// The driver; fills final_state when given.
PebbleGameOutcome play(std::uint64_t n, PebbleState* final_state) {
    // Size everything before touching memory, so a hopeless n fails at once.
    const std::uint64_t m = edge_count(n);
    require_allocatable(m, sizeof(std::uint8_t));
    require_allocatable(n, sizeof(std::int32_t) + sizeof(OutList) + sizeof(std::uint64_t));
    // Every accepted edge ties up one of the 2n pebbles, so fewer than 2n are accepted.
    const std::uint64_t accepted_bound = std::min(m, checked_multiply(n, 2));
    require_allocatable(accepted_bound, sizeof(Edge));

    PebbleGameOutcome outcome;
    outcome.labels.reserve(m);
    outcome.accepted_edges.reserve(accepted_bound);

    std::vector<std::int32_t> pebbles(n, 2);
    std::vector<OutList> out_edges(n);
    VisitedSet visited(n);
    std::vector<PebbleMove> moves;

    for (std::uint64_t u = 0; u + 1 < n; ++u) {
        for (std::uint64_t v = u + 1; v < n; ++v) {
            moves.clear();
            for (;;) {
                if (pebbles[u] + pebbles[v] >= 4) {
                    --pebbles[v];
                    out_edges[v].push_back(u);
                    outcome.labels.push_back(1);
                    outcome.accepted_edges.push_back(Edge{u, v});
                    break;
                }
                // Hold both endpoints at 0 so no search takes a pebble lying on them.
                const std::int32_t pu = pebbles[u];
                const std::int32_t pv = pebbles[v];
                pebbles[u] = 0;
                pebbles[v] = 0;
                if (pu <= 1) {
                    visited.new_search();
                    if (search(u, visited, pebbles, out_edges, moves)) {
                        moves.emplace_back(MoveKind::Added, u, std::uint64_t{0});
                        pebbles[u] = pu + 1;
                        pebbles[v] = pv;
                        continue;
                    }
                }
                // A node with 2 free pebbles has no out-edges, so this fails at once then.
                visited.new_search();
                if (search(v, visited, pebbles, out_edges, moves)) {
                    moves.emplace_back(MoveKind::Added, v, std::uint64_t{0});
                    pebbles[u] = pu;
                    pebbles[v] = pv + 1;
                    continue;
                }
                pebbles[u] = pu;
                pebbles[v] = pv;
                undo(moves, pebbles, out_edges);
                outcome.labels.push_back(0);
                break;
            }
        }
    }
    if (final_state != nullptr) {
        final_state->pebbles = std::move(pebbles);
        final_state->out_edges.assign(n, {});
        for (std::uint64_t x = 0; x < n; ++x)
            for (std::size_t i = 0; i < out_edges[x].size(); ++i) final_state->out_edges[x].push_back(out_edges[x][i]);
    }
    return outcome;
}

}  // namespace

PebbleGameOutcome run_pebble_game(std::uint64_t n) { return play(n, nullptr); }

PebbleGameOutcome run_pebble_game(std::uint64_t n, PebbleState& final_state) { return play(n, &final_state); }

}  // namespace telvora
