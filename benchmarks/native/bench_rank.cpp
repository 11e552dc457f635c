// Times the literal rank checker against the blocked one on the same rank phases, in one build.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels.hpp"
#include "random.hpp"
#include "simulation.hpp"

using namespace telvora;

namespace {

template <class F>
double median_seconds(F&& run, int repetitions) {
    std::vector<double> times;
    for (int k = 0; k < repetitions; ++k) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Points of the generator; "plane" flattens the last coordinate so the greedy pass must test every edge.
NodeList points(std::uint64_t n, std::uint64_t d, bool plane) {
    Lcg64 rng(n * 7 + d);
    NodeList nodes = random_nodes(n, d, rng);
    if (plane)
        for (Node& node : nodes) node.coordinates[d - 1] = 0.0;
    return nodes;
}

template <class Checker>
std::uint64_t run_phase(const NodeList& nodes, const std::vector<Edge>& edges, std::uint64_t mr, bool greedy) {
    if (greedy)
        return greedy_labelling_with<Checker>(nodes, edges, 1e-9, PivotRule::FirstAboveTolerance, mr).final_rank;
    return prefix_rank_with<Checker>(nodes, edges, mr, 1e-9, PivotRule::FirstAboveTolerance).rank;
}

void measure(const char* task, std::uint64_t n, std::uint64_t d, bool plane, int repetitions) {
    const NodeList nodes = points(n, d, plane);
    const auto edges = upper_triangular_edges(n);
    const std::uint64_t mr = max_rank(n, d);
    std::uint64_t reference_rank = 0;
    std::uint64_t fast_rank = 0;
    const double reference = median_seconds(
        [&] { reference_rank = run_phase<IncrementalRankChecker>(nodes, edges, mr, plane); }, repetitions);
    const double fast =
        median_seconds([&] { fast_rank = run_phase<BlockedRankChecker>(nodes, edges, mr, plane); }, repetitions);
    if (reference_rank != fast_rank) {
        std::fprintf(stderr, "rank mismatch for %s n=%llu d=%llu\n", task, static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(d));
        std::exit(1);
    }
    std::printf("{\"task\": \"%s\", \"n\": %llu, \"d\": %llu, \"reference_s\": %.6f, \"fast_s\": %.6f, "
                "\"instruction_set\": \"%s\"}\n",
                task, static_cast<unsigned long long>(n), static_cast<unsigned long long>(d), reference, fast,
                kernels::instruction_set());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::vector<std::uint64_t> sizes = quick ? std::vector<std::uint64_t>{30, 100, 300}
                                                   : std::vector<std::uint64_t>{30, 100, 300, 1000};
    for (std::uint64_t d : {2u, 3u})
        for (std::uint64_t n : sizes) measure("rank-phase random", n, d, false, n >= 1000 ? 1 : 3);
    for (std::uint64_t d : {2u, 3u})
        for (std::uint64_t n : sizes)
            if (n <= 300) measure("greedy pass plane", n, d, true, 1);
    return 0;
}
