// Times the rank work of simulate with the literal checker against the blocked one, in one build.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "elimination/kernels.hpp"
#include "base/random.hpp"
#include "frameworks/labelling.hpp"

using namespace telvora;

namespace {

// Points of the generator; "plane" flattens the last coordinate so the greedy pass must test every edge.
NodeList points(std::uint64_t n, std::uint64_t d, bool plane) {
    Lcg64 rng(n * 7 + d);
    NodeList nodes = random_nodes(n, d, rng);
    if (plane)
        for (Node& node : nodes) node.coordinates[d - 1] = 0.0;
    return nodes;
}

// The rank work of one simulate call, as the module runs it: the reference keeps to the literal
// checker throughout; the shipped form lets label_edges choose.
Labelling simulate_rank_work(const NodeList& nodes, const std::vector<Edge>& edges, CheckerChoice checker) {
    return label_edges(nodes, edges, 1e-9, LabellingOptions{.prefix_shortcut = true, .checker = checker});
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The two checkers take turns within each repetition, so that both meet the same load on a
// shared machine; the medians of both are reported.
void measure(const char* task, const NodeList& nodes, int repetitions) {
    const std::uint64_t n = nodes.size(), d = nodes.empty() ? 0 : nodes[0].coordinates.size();
    const auto edges = upper_triangular_edges(n);
    std::vector<double> reference, fast;
    Labelling reference_outcome, fast_outcome;
    for (int k = 0; k < repetitions; ++k) {
        auto start = std::chrono::steady_clock::now();
        reference_outcome = simulate_rank_work(nodes, edges, CheckerChoice::Literal);
        reference.push_back(seconds_since(start));
        start = std::chrono::steady_clock::now();
        fast_outcome = simulate_rank_work(nodes, edges, CheckerChoice::Automatic);
        fast.push_back(seconds_since(start));
    }
    if (reference_outcome.labelling.labels != fast_outcome.labelling.labels || reference_outcome.rank != fast_outcome.rank ||
        reference_outcome.retried != fast_outcome.retried) {
        std::fprintf(stderr, "outcomes differ for %s n=%llu d=%llu\n", task, static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(d));
        std::exit(1);
    }
    std::printf("{\"task\": \"%s\", \"n\": %llu, \"d\": %llu, \"reference_s\": %.6f, \"fast_s\": %.6f, "
                "\"repetitions\": %d, \"note\": \"%s\", \"instruction_set\": \"%s\"}\n",
                task, static_cast<unsigned long long>(n), static_cast<unsigned long long>(d), median(reference),
                median(fast), repetitions,
                fast_outcome.retried ? "breaks down under the first pivot above tol; retried with the largest" : "",
                kernels::instruction_set());
    std::fflush(stdout);
}

// n points of d coordinates as raw little-endian doubles, row after row.
NodeList read_points(const char* path, std::uint64_t n, std::uint64_t d) {
    std::vector<double> values(n * d);
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr || std::fread(values.data(), sizeof(double), values.size(), file) != values.size()) {
        std::fprintf(stderr, "cannot read %llu x %llu doubles from %s\n", static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(d), path);
        std::exit(2);
    }
    std::fclose(file);
    NodeList nodes;
    for (std::uint64_t i = 0; i < n; ++i)
        nodes.push_back(Node{std::vector<double>(values.begin() + i * d, values.begin() + (i + 1) * d)});
    return nodes;
}

}  // namespace

// Without arguments: the module's own random points and points on a line or plane. With
// --points TASK FILE N D [REPETITIONS]: the points of a file (the Python benchmarks pass theirs).
int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "--points") == 0) {
        const NodeList nodes =
            read_points(argv[3], std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10));
        measure(argv[2], nodes, argc > 6 ? std::atoi(argv[6]) : 3);
        return 0;
    }
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::vector<std::uint64_t> sizes = quick ? std::vector<std::uint64_t>{30, 100, 300}
                                                   : std::vector<std::uint64_t>{30, 100, 300, 1000};
    for (std::uint64_t d : {2u, 3u})
        for (std::uint64_t n : sizes)
            measure("simulate, random points", points(n, d, false), n >= 1000 ? 3 : n >= 300 ? 7 : 15);
    for (std::uint64_t d : {2u, 3u})
        for (std::uint64_t n : sizes)
            if (n <= 300) measure("simulate, points on a line / plane", points(n, d, true), n >= 300 ? 3 : 7);
    return 0;
}
