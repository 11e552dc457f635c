// The (k, l) game with components played edge by edge, with per-edge cluster statistics.
#include "pebble/rigidity_sweep.hpp"

#include <algorithm>
#include <numeric>
#include <string>

#include "pebble/component_pebble.hpp"
#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

namespace {

// Appends the components of the game as they stand, as (component, vertex) rows in the given
// graph's numbering (`original` maps the game's vertices back, increasingly, unless empty).
void append_snapshot(const ComponentPebbleGame& game, const std::vector<std::uint64_t>& original,
                     std::vector<std::int64_t>& pairs) {
    const std::vector<std::vector<std::uint64_t>> components = game.components();
    for (std::size_t c = 0; c < components.size(); ++c) {
        for (std::uint64_t v : components[c]) {
            pairs.push_back(static_cast<std::int64_t>(c));
            pairs.push_back(static_cast<std::int64_t>(original.empty() ? v : original[v]));
        }
    }
}

}  // namespace

SweepOutcome play_rigidity_sweep(std::uint64_t n, std::uint64_t k, std::uint64_t l, const std::vector<Edge>& edges,
                                 const std::vector<std::uint64_t>& snapshot_steps) {
    const std::uint64_t m = edges.size();
    for (std::uint64_t step : snapshot_steps)
        if (step > m)
            throw InvalidInput("snapshot step " + std::to_string(step) + " is beyond the " + std::to_string(m) +
                               " edges (steps count the edges played, 0 .. " + std::to_string(m) + ")");
    require_game_parameters(k, l);
    require_edges_within(edges.data(), edges.size(), n);
    require_int64_vertices(edges.data(), edges.size());
    require_allocatable(m, sizeof(std::uint8_t) + 2 * sizeof(std::int64_t));
    // Played on the vertices that carry edges, as play_sparsity_game plays: a vertex without any
    // lies in no component, so every record is the same.
    const CompactGraph compact = compact_graph(n, edges.data(), edges.size());
    const std::vector<Edge>& played = compact.identity ? edges : compact.edges;
    const std::vector<std::uint64_t> no_map;
    const std::vector<std::uint64_t>& original = compact.identity ? no_map : compact.original;
    ComponentPebbleGame game(compact.identity ? n : compact.original.size(), k, l);
    SweepOutcome outcome;
    outcome.labels.resize(m);
    outcome.largest.resize(m);
    outcome.components.resize(m);

    // Snapshots are taken in step order and filed back in the order asked.
    std::vector<std::size_t> order(snapshot_steps.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return snapshot_steps[a] < snapshot_steps[b]; });
    std::vector<std::vector<std::int64_t>> taken(snapshot_steps.size());
    std::size_t next = 0;
    auto take_due = [&](std::uint64_t steps_played) {
        for (; next < order.size() && snapshot_steps[order[next]] == steps_played; ++next)
            append_snapshot(game, original, taken[order[next]]);
    };

    take_due(0);
    for (std::uint64_t e = 0; e < m; ++e) {
        outcome.labels[e] = game.add_edge(played[e].i, played[e].j) ? 1 : 0;
        outcome.largest[e] = static_cast<std::int64_t>(game.largest_component_size());
        outcome.components[e] = static_cast<std::int64_t>(game.multi_vertex_components());
        take_due(e + 1);
    }

    outcome.snapshot_offsets.reserve(taken.size() + 1);
    outcome.snapshot_offsets.push_back(0);
    for (const std::vector<std::int64_t>& pairs : taken) {
        outcome.snapshot_pairs.insert(outcome.snapshot_pairs.end(), pairs.begin(), pairs.end());
        outcome.snapshot_offsets.push_back(static_cast<std::int64_t>(outcome.snapshot_pairs.size() / 2));
    }
    return outcome;
}

}  // namespace telvora
