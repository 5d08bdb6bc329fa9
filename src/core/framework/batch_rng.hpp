// Seeded random node sets for training batches: a 64-bit linear
// congruential generator per graph, seeded with seed + k.
#pragma once

#include <cstdint>

#include "framework/node.hpp"

namespace tarvel {

class GraphRng {
public:
    // Knuth's MMIX constants; all state arithmetic wraps modulo 2^64.
    static constexpr std::uint64_t multiplier = 6364136223846793005ULL;
    static constexpr std::uint64_t increment = 1442695040888963407ULL;
    // A draw keeps the state's top 31 bits (the state shifted right by 33).
    static constexpr unsigned shift = 33;
    // 2^32 - 1, not 2^31 - 1: fractions fill [0, 0.5), not [0, 1).
    static constexpr double divisor = 4294967295.0;
    // Coordinates are fractions times this: they fill [0, 5).
    static constexpr double coordinate_scale = 10.0;

    GraphRng(std::uint64_t seed, std::uint64_t k) : state_(seed + k) {}

    // Advances the state, then maps its top 31 bits into [0, 0.5).
    double next_fraction();

private:
    std::uint64_t state_;
};

// Node list of graph k: n nodes of d coordinates in [0, 5), node i holding
// draws i*d + 1 .. i*d + d. "capacity overflow" when the list's storage
// cannot be addressed.
NodeList random_node_list(std::uint64_t seed, std::uint64_t k, std::uint64_t n, std::uint64_t d);

}  // namespace tarvel
