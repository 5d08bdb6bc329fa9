// Random edge lists for tests that compare pebble games on many graphs.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel::testing {

// m edges with uniform random ends on n >= 2 nodes: repeated edges included, no self-loops.
inline std::vector<Pair> random_edges(std::mt19937_64& rng, std::uint64_t n, std::size_t m) {
    std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
    std::vector<Pair> edges;
    edges.reserve(m);
    while (edges.size() < m) {
        const std::uint64_t i = node(rng), j = node(rng);
        if (i != j) edges.push_back({i, j});
    }
    return edges;
}

}  // namespace tarvel::testing
