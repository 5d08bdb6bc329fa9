#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "graph/connectivity.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

bool connected_without(std::uint64_t n, const std::vector<Pair>& edges, std::uint64_t a, std::uint64_t b) {
    std::vector<std::uint64_t> parent(n);
    std::iota(parent.begin(), parent.end(), std::uint64_t{0});
    auto root = [&](std::uint64_t x) {
        while (parent[x] != x) x = parent[x];
        return x;
    };
    for (const Pair& e : edges) {
        if (e.i != a && e.i != b && e.j != a && e.j != b) parent[root(e.i)] = root(e.j);
    }
    std::uint64_t roots = 0;
    for (std::uint64_t x = 0; x < n; ++x) roots += x != a && x != b && root(x) == x;
    return roots == 1;
}

// 3-connected: more than three nodes and connected after removing any two.
TEST(ThreeConnectivity, MatchesRemovalOfEveryPair) {
    std::mt19937_64 rng(3);
    int connected = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const std::uint64_t n = 2 + trial % 9;
        std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
        std::vector<Pair> edges;
        while (edges.size() < n + static_cast<std::uint64_t>(trial % 3) * n) {
            const std::uint64_t i = node(rng), j = node(rng);
            if (i != j) edges.push_back({i, j});
        }
        bool expected = n > 3;
        for (std::uint64_t a = 0; a < n && expected; ++a) {
            for (std::uint64_t b = a + 1; b < n && expected; ++b) expected = connected_without(n, edges, a, b);
        }
        EXPECT_EQ(is_three_connected(n, edges), expected) << "trial " << trial;
        connected += expected;
    }
    EXPECT_GT(connected, 40);  // the draw covers both answers
}

TEST(ThreeConnectivity, LongCycleNeedsNoDeepStack) {
    // A cycle is 2-connected only; its search path runs through every node.
    const std::uint64_t n = 200000;
    std::vector<Pair> cycle, wheel;
    for (std::uint64_t x = 0; x + 1 < n; ++x) cycle.push_back({x, x + 1});
    cycle.push_back({n - 1, 0});
    EXPECT_FALSE(is_three_connected(n, cycle));
    EXPECT_EQ(invalid_input_of([] { is_three_connected(4, std::vector<Pair>{{0, 4}}); }),
              "edge 0 (0, 4) has an end outside the 4 nodes");
}

}  // namespace
}  // namespace tarvel
