// Times the literal (2,3) pebble game over the complete graph against the component game, in one
// build, and the component game on random sparse graphs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "pebble/component_pebble.hpp"
#include "pebble/pebble.hpp"

using namespace telvora;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The two games take turns within each repetition, so that both meet the same load on a shared
// machine; the medians of both are reported.
void complete_graph(std::uint64_t n, int repetitions) {
    std::vector<double> literal_s, engine_s;
    PebbleGameOutcome literal, engine;
    for (int r = 0; r < repetitions; ++r) {
        auto start = std::chrono::steady_clock::now();
        literal = run_pebble_game(n);
        literal_s.push_back(seconds_since(start));
        start = std::chrono::steady_clock::now();
        engine = complete_graph_pebble_game(n);
        engine_s.push_back(seconds_since(start));
    }
    if (literal.labels != engine.labels || literal.accepted_edges != engine.accepted_edges) {
        std::fprintf(stderr, "outcomes differ at n=%llu\n", static_cast<unsigned long long>(n));
        std::exit(1);
    }
    std::printf("{\"task\": \"pebble_game, complete graph (literal game / component game)\", \"n\": %llu, "
                "\"d\": 2, \"reference_s\": %.6f, \"fast_s\": %.6f, \"repetitions\": %d}\n",
                static_cast<unsigned long long>(n), median(literal_s), median(engine_s), repetitions);
    std::fflush(stdout);
}

// m edges between uniformly random distinct vertices (repeats allowed), in random order.
void random_graph(std::uint64_t n, std::uint64_t m, int repetitions) {
    std::mt19937_64 rng(n * 31 + m);
    std::vector<Edge> edges;
    edges.reserve(m);
    while (edges.size() < m) {
        const std::uint64_t a = rng() % n, b = rng() % n;
        if (a != b) edges.push_back(Edge{a, b});
    }
    std::vector<double> seconds;
    SparsityGameOutcome outcome;
    for (int r = 0; r < repetitions; ++r) {
        const auto start = std::chrono::steady_clock::now();
        outcome = play_sparsity_game(n, 2, 3, edges);
        seconds.push_back(seconds_since(start));
    }
    std::size_t largest = 0;
    for (const auto& c : outcome.components) largest = std::max(largest, c.size());
    std::printf("{\"task\": \"pebble random graph\", \"n\": %llu, \"m\": %llu, \"engine_s\": %.6f, "
                "\"components\": %zu, \"largest\": %zu, \"repetitions\": %d}\n",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(m), median(seconds),
                outcome.components.size(), largest, repetitions);
    std::fflush(stdout);
}

}  // namespace

// bench_pebble [--quick]: JSON lines on standard output.
int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int repetitions = quick ? 1 : 3;
    for (std::uint64_t n : {100, 300, 1000, 3000}) {
        if (quick && n > 1000) break;
        complete_graph(n, repetitions);
    }
    for (std::uint64_t n : {1000, 10000, 100000}) {
        if (quick && n > 10000) break;
        for (std::uint64_t per_vertex : {2, 5, 3}) random_graph(n, per_vertex == 5 ? n * 5 / 2 : n * per_vertex, repetitions);
    }
    return 0;
}
