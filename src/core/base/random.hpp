// Seeded 64-bit linear congruential generator and random frameworks drawn from it.
#pragma once

#include <cstdint>

#include "base/node.hpp"

namespace telvora {

class Lcg64 {
public:
    static constexpr std::uint64_t multiplier = 6364136223846793005ULL;
    static constexpr std::uint64_t increment = 1442695040888963407ULL;

    explicit Lcg64(std::uint64_t seed) : state(seed) {}

    // One step, then the top 31 bits of the state scaled into [0, 5): divided by
    // 2^32 - 1, then multiplied by 10, as two separately rounded operations.
    double next_coordinate() {
        state = state * multiplier + increment;  // wraps modulo 2^64
        const double u = static_cast<double>(state >> 33);
        const double quotient = u / 4294967295.0;
        return quotient * 10.0;
    }

    std::uint64_t state;
};

// n_nodes nodes of d coordinates; coordinate k of node i is draw i*d + k.
NodeList random_nodes(std::uint64_t n_nodes, std::uint64_t d, Lcg64& rng);

}  // namespace telvora
