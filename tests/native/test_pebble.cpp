// Pebble search, undo and the (2,3) game driver.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <ostream>
#include <random>
#include <stdexcept>
#include <vector>

#include "base/errors.hpp"
#include "pebble/pebble.hpp"

namespace telvora {

// Readable failure messages for move logs.
void PrintTo(const PebbleMove& move, std::ostream* os) {
    switch (move.kind) {
        case MoveKind::Taken:
            *os << "Taken(" << move.from << ")";
            break;
        case MoveKind::Added:
            *os << "Added(" << move.from << ")";
            break;
        case MoveKind::Reversed:
            *os << "Reversed(" << move.from << ", " << move.to << ")";
            break;
    }
}

}  // namespace telvora

namespace {

using telvora::Edge;
using telvora::find_pebble;
using telvora::PebbleMove;
using telvora::PebbleState;
using telvora::undo_moves;
using telvora::VisitedSet;
using Lists = std::vector<std::vector<std::uint64_t>>;
using Counts = std::vector<std::int32_t>;
using Log = std::vector<PebbleMove>;

PebbleMove taken(std::uint64_t x) { return PebbleMove::taken(x); }
PebbleMove added(std::uint64_t x) { return PebbleMove::added(x); }
PebbleMove reversed(std::uint64_t a, std::uint64_t b) { return PebbleMove::reversed(a, b); }

std::vector<std::uint64_t> members(const VisitedSet& visited, std::uint64_t n) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t x = 0; x < n; ++x)
        if (visited.contains(x)) out.push_back(x);
    return out;
}

// A hand-built state plus one fresh search.
struct Search {
    Counts pebbles;
    Lists out;
    VisitedSet visited;
    Log moves;

    Search(Counts p, Lists o) : pebbles(std::move(p)), out(std::move(o)), visited(pebbles.size()) {
        visited.new_search();
    }
    bool run(std::uint64_t v) { return find_pebble(v, visited, pebbles, out, moves); }
};

// ---------------------------------------------------------------------------------------
// Search cases on small hand-built states.

TEST(FindPebble, VisitedStartIsRefusedEvenWithFreePebbles) {
    Search s({2, 0}, {{}, {0}});
    s.visited.insert(0);
    EXPECT_FALSE(s.run(0));
    EXPECT_EQ(s.pebbles, (Counts{2, 0}));
    EXPECT_TRUE(s.moves.empty());
    EXPECT_EQ(s.visited.size(), 1u);
}

TEST(FindPebble, VisitedNeighbourIsNotEntered) {
    // 1 holds pebbles, but it was entered earlier in this search, so 0 cannot reach it.
    Search s({0, 2}, {{1}, {}});
    s.visited.insert(1);
    EXPECT_FALSE(s.run(0));
    EXPECT_EQ(s.pebbles, (Counts{0, 2}));
    EXPECT_EQ(s.out, (Lists{{1}, {}}));
    EXPECT_TRUE(s.moves.empty());
    EXPECT_EQ(members(s.visited, 2), (std::vector<std::uint64_t>{0, 1}));
}

struct EntryCase {
    std::int32_t count;
    bool found;
};

class FindPebbleOnEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(FindPebbleOnEntry, TakesOwnPebbleOnlyWhenCountIsPositive) {
    const EntryCase c = GetParam();
    // Node 0 has an out-edge to 1, which holds a pebble: it is used only when 0 has none.
    Search s({c.count, 1}, {{1}, {}});
    ASSERT_EQ(s.run(0), true);
    if (c.found) {
        EXPECT_EQ(s.pebbles, (Counts{c.count - 1, 1}));
        EXPECT_EQ(s.out, (Lists{{1}, {}}));
        EXPECT_EQ(s.moves, (Log{taken(0)}));
        EXPECT_EQ(members(s.visited, 2), (std::vector<std::uint64_t>{0}));
    } else {
        EXPECT_EQ(s.pebbles, (Counts{c.count, 0}));
        EXPECT_EQ(s.out, (Lists{{}, {0}}));
        EXPECT_EQ(s.moves, (Log{taken(1), reversed(0, 1)}));
    }
}

// Counts are signed: a negative count is not a free pebble.
INSTANTIATE_TEST_SUITE_P(Counts, FindPebbleOnEntry,
                         ::testing::Values(EntryCase{2, true}, EntryCase{1, true}, EntryCase{0, false},
                                           EntryCase{-1, false}));

TEST(FindPebble, DeadEndFailsAndMarksOnlyTheStart) {
    Search s({0, 2, 2}, {{}, {}, {}});
    EXPECT_FALSE(s.run(0));
    EXPECT_EQ(s.pebbles, (Counts{0, 2, 2}));
    EXPECT_TRUE(s.moves.empty());
    EXPECT_EQ(members(s.visited, 3), (std::vector<std::uint64_t>{0}));
}

TEST(FindPebble, DirectedCycleWithoutPebblesFails) {
    // 0 -> 1 -> 2 -> 0 with no free pebble; 3 holds pebbles but is unreachable.
    const Lists cycle{{1}, {2}, {0}, {}};
    Search s({0, 0, 0, 2}, cycle);
    EXPECT_FALSE(s.run(1));
    EXPECT_EQ(s.pebbles, (Counts{0, 0, 0, 2}));
    EXPECT_EQ(s.out, cycle);
    EXPECT_TRUE(s.moves.empty());
    EXPECT_EQ(members(s.visited, 4), (std::vector<std::uint64_t>{0, 1, 2}));
}

TEST(FindPebble, TwoStepPathReversesFromFarEnd) {
    // v=0 -> a=1 -> b=2; each list has a bystander entry to check the order kept.
    Search s({0, 0, 1, 0}, {{3, 1}, {2, 3}, {3}, {}});
    ASSERT_TRUE(s.run(0));
    EXPECT_EQ(s.pebbles, (Counts{0, 0, 0, 0}));
    EXPECT_EQ(s.out, (Lists{{3}, {3, 0}, {3, 1}, {}}));
    EXPECT_EQ(s.moves, (Log{taken(2), reversed(1, 2), reversed(0, 1)}));
    // 3 was tried first from 0 and failed; it stays marked.
    EXPECT_EQ(members(s.visited, 4), (std::vector<std::uint64_t>{0, 1, 2, 3}));
}

TEST(FindPebble, EarlierOutNeighbourWinsAndLaterIsUntouched) {
    // 0 -> [1, 2]: both lead to a pebble (1 via 3, 2 directly).
    Search s({0, 0, 1, 1}, {{1, 2}, {3}, {}, {}});
    ASSERT_TRUE(s.run(0));
    EXPECT_EQ(s.pebbles, (Counts{0, 0, 1, 0}));
    EXPECT_EQ(s.out, (Lists{{2}, {0}, {}, {1}}));
    EXPECT_EQ(s.moves, (Log{taken(3), reversed(1, 3), reversed(0, 1)}));
    EXPECT_FALSE(s.visited.contains(2));
}

TEST(FindPebble, SuccessInMiddleOfListKeepsOrderOfOthers) {
    // 0 -> [1, 2, 3]: 1 is a dead end, 2 has a pebble, 3 is never tried.
    Search s({0, 0, 1, 1}, {{1, 2, 3}, {}, {}, {}});
    ASSERT_TRUE(s.run(0));
    EXPECT_EQ(s.out, (Lists{{1, 3}, {}, {0}, {}}));
    EXPECT_EQ(s.pebbles, (Counts{0, 0, 0, 1}));
    EXPECT_EQ(s.moves, (Log{taken(2), reversed(0, 2)}));
    EXPECT_EQ(members(s.visited, 4), (std::vector<std::uint64_t>{0, 1, 2}));
}

TEST(FindPebble, NodeReachedTwiceIsEnteredOnce) {
    // 0 -> [1, 2], both -> 3, and 3 -> 4 with a pebble behind 2's second edge.
    // 3 fails from 1 (no pebble reachable), so 2's edge to 3 is skipped and 2 -> 4 is used.
    Search s({0, 0, 0, 0, 1}, {{1, 2}, {3}, {3, 4}, {}, {}});
    ASSERT_TRUE(s.run(0));
    EXPECT_EQ(s.moves, (Log{taken(4), reversed(2, 4), reversed(0, 2)}));
    EXPECT_EQ(s.out, (Lists{{1}, {3}, {3, 0}, {}, {2}}));
}

TEST(VisitedSet, NewSearchEmptiesWithoutTouchingCapacity) {
    VisitedSet visited(5);
    visited.new_search();
    EXPECT_TRUE(visited.insert(3));
    EXPECT_FALSE(visited.insert(3));
    EXPECT_TRUE(visited.insert(0));
    EXPECT_EQ(visited.size(), 2u);
    visited.new_search();
    EXPECT_EQ(visited.size(), 0u);
    EXPECT_EQ(members(visited, 5), (std::vector<std::uint64_t>{}));
    EXPECT_TRUE(visited.insert(3));
    EXPECT_EQ(visited.capacity(), 5u);
}

// ---------------------------------------------------------------------------------------
// A direct recursive transcription of the search, undo and driver, used as the reference
// for randomised comparison (small sizes only, so recursion depth is harmless).

bool reference_find(std::uint64_t v, std::vector<char>& visited, Counts& pebbles, Lists& out, Log& moves) {
    if (visited[v]) return false;
    visited[v] = 1;
    if (pebbles[v] > 0) {
        --pebbles[v];
        moves.push_back(taken(v));
        return true;
    }
    const std::size_t length = out[v].size();
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint64_t w = out[v][i];
        if (reference_find(w, visited, pebbles, out, moves)) {
            out[v].erase(out[v].begin() + static_cast<std::ptrdiff_t>(i));
            out[w].push_back(v);
            moves.push_back(reversed(v, w));
            return true;
        }
    }
    return false;
}

void reference_undo(const Log& moves, Counts& pebbles, Lists& out) {
    for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
        switch (it->kind) {
            case telvora::MoveKind::Taken:
                ++pebbles[it->from];
                break;
            case telvora::MoveKind::Added:
                --pebbles[it->from];
                break;
            case telvora::MoveKind::Reversed: {
                auto& list = out[it->to];
                auto found = std::find(list.begin(), list.end(), it->from);
                if (found != list.end()) list.erase(found);
                out[it->from].push_back(it->to);
                break;
            }
        }
    }
}

struct ReferenceGame {
    std::vector<std::uint8_t> labels;
    std::vector<Edge> accepted;
    Counts pebbles;
    Lists out;
};

ReferenceGame reference_game(std::uint64_t n) {
    ReferenceGame g;
    g.pebbles.assign(n, 2);
    g.out.assign(n, {});
    for (std::uint64_t u = 0; u + 1 < n; ++u) {
        for (std::uint64_t v = u + 1; v < n; ++v) {
            Log moves;
            for (;;) {
                if (g.pebbles[u] + g.pebbles[v] >= 4) {
                    --g.pebbles[v];
                    g.out[v].push_back(u);
                    g.labels.push_back(1);
                    g.accepted.push_back({u, v});
                    break;
                }
                std::int32_t pu = g.pebbles[u], pv = g.pebbles[v];
                g.pebbles[u] = g.pebbles[v] = 0;
                if (pu <= 1) {
                    std::vector<char> visited(n, 0);
                    if (reference_find(u, visited, g.pebbles, g.out, moves)) {
                        moves.push_back(added(u));
                        g.pebbles[u] = pu + 1;
                        g.pebbles[v] = pv;
                        continue;
                    }
                }
                std::vector<char> visited(n, 0);
                if (reference_find(v, visited, g.pebbles, g.out, moves)) {
                    moves.push_back(added(v));
                    g.pebbles[u] = pu;
                    g.pebbles[v] = pv + 1;
                    continue;
                }
                g.pebbles[u] = pu;
                g.pebbles[v] = pv;
                reference_undo(moves, g.pebbles, g.out);
                g.labels.push_back(0);
                break;
            }
        }
    }
    return g;
}

struct RandomState {
    Counts pebbles;
    Lists out;
    std::vector<char> pre_visited;
    std::uint64_t start;
};

// Arbitrary small states, deliberately not restricted to what the driver produces:
// negative counts, long out-lists, self-loops and duplicate entries all occur.
RandomState random_state(std::mt19937_64& rng) {
    const std::uint64_t n = std::uniform_int_distribution<std::uint64_t>(1, 10)(rng);
    std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
    std::uniform_int_distribution<int> count(-1, 6);
    std::uniform_int_distribution<int> degree(0, 3);
    RandomState s;
    s.pebbles.resize(n);
    s.out.resize(n);
    s.pre_visited.resize(n);
    for (std::uint64_t x = 0; x < n; ++x) {
        const int c = count(rng);
        s.pebbles[x] = c > 2 ? 0 : c;  // mostly empty, so searches go deep
        for (int k = degree(rng); k > 0; --k) s.out[x].push_back(node(rng));
        s.pre_visited[x] = std::uniform_int_distribution<int>(0, 9)(rng) == 0;
    }
    s.start = node(rng);
    return s;
}

std::vector<std::vector<std::uint64_t>> sorted_lists(Lists lists) {
    for (auto& list : lists) std::sort(list.begin(), list.end());
    return lists;
}

TEST(FindPebble, MatchesRecursiveReferenceOnRandomStates) {
    std::mt19937_64 rng(20240611);
    VisitedSet visited(10);  // reused across trials: each search must start empty
    int successes = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        RandomState s = random_state(rng);
        const std::uint64_t n = s.pebbles.size();

        Counts ref_pebbles = s.pebbles;
        Lists ref_out = s.out;
        Log ref_moves{added(0)};  // the search must append, never clear
        std::vector<char> ref_visited = s.pre_visited;
        const bool expected = reference_find(s.start, ref_visited, ref_pebbles, ref_out, ref_moves);

        Counts pebbles = s.pebbles;
        Lists out = s.out;
        Log moves{added(0)};
        visited.new_search();
        for (std::uint64_t x = 0; x < n; ++x)
            if (s.pre_visited[x]) visited.insert(x);
        const bool got = find_pebble(s.start, visited, pebbles, out, moves);

        ASSERT_EQ(got, expected) << "trial " << trial;
        ASSERT_EQ(pebbles, ref_pebbles) << "trial " << trial;
        ASSERT_EQ(out, ref_out) << "trial " << trial;
        ASSERT_EQ(moves, ref_moves) << "trial " << trial;
        std::uint64_t marked = 0;
        for (std::uint64_t x = 0; x < n; ++x) {
            ASSERT_EQ(visited.contains(x), ref_visited[x] != 0) << "trial " << trial << " node " << x;
            marked += ref_visited[x] != 0;
        }
        for (std::uint64_t x = n; x < visited.capacity(); ++x) ASSERT_FALSE(visited.contains(x));
        ASSERT_EQ(visited.size(), marked);
        successes += got;

        // Undo takes everything back except the position of turned-back entries.
        const Log search_moves(moves.begin() + 1, moves.end());
        undo_moves(search_moves, pebbles, out);
        ASSERT_EQ(pebbles, s.pebbles) << "trial " << trial;
        ASSERT_EQ(sorted_lists(out), sorted_lists(s.out)) << "trial " << trial;
        reference_undo(search_moves, ref_pebbles, ref_out);
        ASSERT_EQ(out, ref_out) << "trial " << trial;
    }
    // Both outcomes must be well represented for the comparison to mean anything.
    EXPECT_GT(successes, 4000);
    EXPECT_LT(successes, 16000);
}

// ---------------------------------------------------------------------------------------
// Undo.

TEST(UndoMoves, RestoresCountsDirectionsAndMovesTurnedBackEdgeToEnd) {
    // 0 -> [1, 3]; 1 -> [2]; 2 holds a pebble. The search reverses 0->1 and 1->2.
    Search s({0, 0, 1, 0}, {{1, 3}, {2}, {}, {}});
    ASSERT_TRUE(s.run(0));
    ASSERT_EQ(s.out, (Lists{{3}, {0}, {1}, {}}));
    s.moves.push_back(added(0));
    s.pebbles[0] += 1;

    undo_moves(s.moves, s.pebbles, s.out);
    EXPECT_EQ(s.pebbles, (Counts{0, 0, 1, 0}));
    // Same directions as before, but 0's edge to 1 now comes after its edge to 3.
    EXPECT_EQ(s.out, (Lists{{3, 1}, {2}, {}, {}}));
}

struct UndoCase {
    const char* name;
    Counts pebbles;
    Lists out;
    Log moves;
    Counts expected_pebbles;
    Lists expected_out;
};

class UndoMovesTable : public ::testing::TestWithParam<UndoCase> {};

TEST_P(UndoMovesTable, AppliesRecordsLastToFirst) {
    UndoCase c = GetParam();
    undo_moves(c.moves, c.pebbles, c.out);
    EXPECT_EQ(c.pebbles, c.expected_pebbles);
    EXPECT_EQ(c.out, c.expected_out);
}

INSTANTIATE_TEST_SUITE_P(
    Records, UndoMovesTable,
    ::testing::Values(
        UndoCase{"Empty", {1, 2}, {{1}, {}}, {}, {1, 2}, {{1}, {}}},
        UndoCase{"TakenAndAdded", {0, 3}, {{}, {}}, {taken(0), added(1), added(1)}, {1, 1}, {{}, {}}},
        // Only the first matching entry goes, scanning from the front.
        UndoCase{"RemovesFirstMatchOnly", {0, 0, 0}, {{}, {2, 0, 0}, {}}, {reversed(0, 1)}, {0, 0, 0},
                 {{1}, {2, 0}, {}}},
        // Nothing to remove: the head still gains its entry.
        UndoCase{"MissingEntryStillAppends", {0, 0}, {{}, {}}, {reversed(0, 1)}, {0, 0}, {{1}, {}}},
        // The log of a two-step search: pebble back on 2, both edges turned back.
        UndoCase{"TwoStepSearch", {0, 0, 0}, {{}, {0}, {1}}, {taken(2), reversed(1, 2), reversed(0, 1)}, {0, 0, 1},
                 {{1}, {2}, {}}},
        // The last record is undone first, so 0 regains 2 before 1.
        UndoCase{"LastRecordFirst", {0, 0, 0}, {{}, {0}, {0}}, {reversed(0, 1), reversed(0, 2)}, {0, 0, 0},
                 {{2, 1}, {}, {}}}),
    [](const ::testing::TestParamInfo<UndoCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Driver.

struct SmallGame {
    std::uint64_t n;
    std::vector<std::uint8_t> labels;
    std::vector<Edge> accepted;
};

class PebbleGameSmall : public ::testing::TestWithParam<SmallGame> {};

TEST_P(PebbleGameSmall, ExactLabelsAndEdges) {
    const SmallGame& c = GetParam();
    const auto outcome = telvora::run_pebble_game(c.n);
    EXPECT_EQ(outcome.labels, c.labels);
    EXPECT_EQ(outcome.accepted_edges, c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PebbleGameSmall,
    ::testing::Values(SmallGame{0, {}, {}}, SmallGame{1, {}, {}}, SmallGame{2, {1}, {{0, 1}}},
                      SmallGame{3, {1, 1, 1}, {{0, 1}, {0, 2}, {1, 2}}},
                      SmallGame{4, {1, 1, 1, 1, 1, 0}, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}}}));

class PebbleGamePattern : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(PebbleGamePattern, AcceptsEdgesAtNodesZeroAndOneOnly) {
    const std::uint64_t n = GetParam();
    const auto outcome = telvora::run_pebble_game(n);
    ASSERT_EQ(outcome.labels.size(), n * (n - 1) / 2);
    std::vector<Edge> expected;
    std::size_t k = 0;
    for (std::uint64_t i = 0; i + 1 < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j, ++k) {
            ASSERT_EQ(outcome.labels[k], i < 2 ? 1 : 0) << "edge (" << i << ", " << j << ")";
            if (i < 2) expected.push_back({i, j});
        }
    }
    EXPECT_EQ(outcome.accepted_edges, expected);
    EXPECT_EQ(outcome.accepted_edges.size(), 2 * n - 3);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PebbleGamePattern, ::testing::Values(5, 6, 7, 11, 32, 100, 401));

class PebbleGameReference : public ::testing::TestWithParam<std::uint64_t> {};

// Labels alone cannot show tie-breaks or undo positions; the final orientation can.
TEST_P(PebbleGameReference, FinalStateMatchesRecursiveReference) {
    const std::uint64_t n = GetParam();
    const ReferenceGame ref = reference_game(n);
    PebbleState final_state(n);
    const auto outcome = telvora::run_pebble_game(n, final_state);
    EXPECT_EQ(outcome.labels, ref.labels);
    EXPECT_EQ(outcome.accepted_edges, ref.accepted);
    EXPECT_EQ(final_state.pebbles, ref.pebbles);
    EXPECT_EQ(final_state.out_edges, ref.out);

    // The game's invariant: free pebbles plus out-edges is 2 everywhere, 3 pebbles left.
    std::int64_t free_pebbles = 0;
    for (std::uint64_t x = 0; x < n; ++x) {
        EXPECT_EQ(final_state.pebbles[x] + static_cast<std::int64_t>(final_state.out_edges[x].size()), 2);
        free_pebbles += final_state.pebbles[x];
    }
    if (n >= 2) {
        EXPECT_EQ(free_pebbles, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PebbleGameReference, ::testing::Values(0, 1, 2, 3, 4, 5, 8, 13, 40, 90));

TEST(PebbleState, StartsWithTwoPebblesAndNoEdges) {
    const PebbleState state(4);
    EXPECT_EQ(state.pebbles, (Counts{2, 2, 2, 2}));
    EXPECT_EQ(state.out_edges, (Lists(4)));
}

// ---------------------------------------------------------------------------------------
// Depth and size limits.

// Runs body on a thread with a small stack, where a search recursing once per node over
// thousands of nodes would overflow.
void run_on_small_stack(const std::function<void()>& body) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto trampoline = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

class DeepSearch : public ::testing::TestWithParam<bool> {};

TEST_P(DeepSearch, LongDirectedPathOnSmallStack) {
    const bool pebble_at_end = GetParam();
    constexpr std::uint64_t n = 200000;
    Counts pebbles(n, 0);
    Lists out(n);
    for (std::uint64_t k = 0; k + 1 < n; ++k) out[k].push_back(k + 1);
    if (pebble_at_end) pebbles[n - 1] = 1;
    VisitedSet visited(n);
    Log moves;
    bool found = !pebble_at_end;
    run_on_small_stack([&] {
        visited.new_search();
        found = find_pebble(0, visited, pebbles, out, moves);
    });
    EXPECT_EQ(visited.size(), n);
    if (!pebble_at_end) {
        EXPECT_FALSE(found);
        EXPECT_TRUE(moves.empty());
        EXPECT_EQ(out[n - 2], (std::vector<std::uint64_t>{n - 1}));
        return;
    }
    ASSERT_TRUE(found);
    ASSERT_EQ(moves.size(), n);
    EXPECT_EQ(moves.front(), taken(n - 1));
    for (std::uint64_t k = 1; k < n; ++k) ASSERT_EQ(moves[k], reversed(n - 1 - k, n - k)) << k;
    EXPECT_TRUE(out[0].empty());
    for (std::uint64_t k = 1; k < n; ++k) ASSERT_EQ(out[k], (std::vector<std::uint64_t>{k - 1})) << k;
    EXPECT_EQ(pebbles[n - 1], 0);

    run_on_small_stack([&] { undo_moves(moves, pebbles, out); });
    EXPECT_EQ(pebbles[n - 1], 1);
    for (std::uint64_t k = 0; k + 1 < n; ++k) ASSERT_EQ(out[k], (std::vector<std::uint64_t>{k + 1})) << k;
}

INSTANTIATE_TEST_SUITE_P(PebbleAtEnd, DeepSearch, ::testing::Bool());

class GiganticSize : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(GiganticSize, ThrowsBadAllocBeforeWorking) {
    const std::uint64_t n = GetParam();
    EXPECT_THROW(telvora::run_pebble_game(n), std::bad_alloc);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GiganticSize,
                         ::testing::Values(std::uint64_t{1} << 40, std::uint64_t{1} << 32,
                                           std::uint64_t{100000000}, std::numeric_limits<std::uint64_t>::max()));

TEST(GiganticState, PerNodeStateThrowsBadAlloc) {
    const std::uint64_t n = std::uint64_t{1} << 62;
    EXPECT_THROW(PebbleState{n}, std::bad_alloc);
    EXPECT_THROW(VisitedSet{n}, std::bad_alloc);
}

// ---------------------------------------------------------------------------------------
// Programming errors surface as FatalError, not as memory corruption.

TEST(FindPebble, OutOfRangeIndicesAreFatal) {
    {
        Search s({0, 0}, {{}, {}});
        EXPECT_THROW(s.run(2), telvora::FatalError);
    }
    {
        Search s({0, 0}, {{1}, {7}});
        EXPECT_THROW(s.run(0), telvora::FatalError);
    }
    {
        Counts pebbles{0, 0};
        Lists out(3);
        VisitedSet visited(2);
        Log moves;
        EXPECT_THROW(find_pebble(0, visited, pebbles, out, moves), telvora::FatalError);
    }
    {
        Counts pebbles{0, 0, 0};
        Lists out(3);
        VisitedSet visited(2);
        Log moves;
        EXPECT_THROW(find_pebble(0, visited, pebbles, out, moves), telvora::FatalError);
    }
    {
        Counts pebbles{0, 0};
        Lists out(2);
        EXPECT_THROW(undo_moves(Log{reversed(0, 5)}, pebbles, out), telvora::FatalError);
        EXPECT_THROW(undo_moves(Log{taken(2)}, pebbles, out), telvora::FatalError);
    }
}

}  // namespace
