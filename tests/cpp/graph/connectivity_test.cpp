#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "graph/connectivity.hpp"
#include "support/fault_capture.hpp"
#include "support/reference_connectivity.hpp"

namespace tarvel {
namespace {

using Edges = std::vector<Pair>;

Edges complete(std::uint64_t n, std::uint64_t offset = 0) {
    Edges edges;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) edges.push_back({offset + i, offset + j});
    }
    return edges;
}

// A hub joined to every node of the cycle `rim`.
Edges wheel(std::uint64_t hub, const std::vector<std::uint64_t>& rim) {
    Edges edges;
    for (std::size_t k = 0; k < rim.size(); ++k) {
        edges.push_back({hub, rim[k]});
        edges.push_back({rim[k], rim[(k + 1) % rim.size()]});
    }
    return edges;
}

Edges without_first(Edges edges) {
    edges.erase(edges.begin());
    return edges;
}

// Two cycles of `rungs` nodes joined rung by rung: 3-connected for rungs >= 3.
Edges circular_ladder(std::uint64_t rungs) {
    Edges edges;
    for (std::uint64_t k = 0; k < rungs; ++k) {
        const std::uint64_t next = (k + 1) % rungs;
        edges.insert(edges.end(), {{k, next}, {rungs + k, rungs + next}, {k, rungs + k}});
    }
    return edges;
}

Edges joined(Edges a, const Edges& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Random node names, random edge order and direction, and some edges twice:
// none of it may change the answer.
Edges scrambled(std::uint64_t n, Edges edges, std::mt19937_64& rng) {
    std::vector<std::uint64_t> name(n);
    std::iota(name.begin(), name.end(), std::uint64_t{0});
    std::shuffle(name.begin(), name.end(), rng);
    const std::uint64_t repeats = edges.empty() ? 0 : rng() % 3;
    for (std::uint64_t r = 0; r < repeats; ++r) edges.push_back(edges[rng() % edges.size()]);
    for (Pair& e : edges) e = rng() % 2 ? Pair{name[e.i], name[e.j]} : Pair{name[e.j], name[e.i]};
    std::shuffle(edges.begin(), edges.end(), rng);
    return edges;
}

struct Family {
    std::string name;
    std::uint64_t n;
    Edges edges;
    bool three_connected;
};

class ThreeConnectivityFamily : public testing::TestWithParam<Family> {};

// Each family answered under several namings, so the search starts and
// orders its lists differently.
TEST_P(ThreeConnectivityFamily, AnswersUnderAnyNaming) {
    const Family& family = GetParam();
    if (family.n <= 12) {
        EXPECT_EQ(reference::is_three_connected_by_pair_removal(family.n, family.edges), family.three_connected);
    }
    std::mt19937_64 rng(family.n);
    for (int naming = 0; naming < (family.n <= 1000 ? 12 : 2); ++naming) {
        EXPECT_EQ(is_three_connected(family.n, scrambled(family.n, family.edges, rng)), family.three_connected)
            << "naming " << naming;
    }
}

// Copies of K4 in a ring, each joined to the next by `bars` disjoint bars
// (from nodes 4k + 2, 4k + 3 to 4k + 4, 4k + 5): with one bar, the ends of
// any two joints separate; with two, no pair does.
Edges ring_of_complete_graphs(std::uint64_t count, std::uint64_t bars) {
    Edges edges;
    for (std::uint64_t k = 0; k < count; ++k) {
        const Edges block = complete(4, 4 * k);
        edges.insert(edges.end(), block.begin(), block.end());
        const std::uint64_t next = 4 * ((k + 1) % count);
        for (std::uint64_t bar = 0; bar < bars; ++bar) edges.push_back({4 * k + 2 + bar, next + bar});
    }
    return edges;
}

INSTANTIATE_TEST_SUITE_P(
    Families, ThreeConnectivityFamily,
    testing::Values(
        Family{"K4", 4, complete(4), true}, Family{"K4MinusAnEdge", 4, without_first(complete(4)), false},
        Family{"K33", 6, {{0, 3}, {0, 4}, {0, 5}, {1, 3}, {1, 4}, {1, 5}, {2, 3}, {2, 4}, {2, 5}}, true},
        Family{"Prism", 6, circular_ladder(3), true}, Family{"Wheel", 8, wheel(0, {1, 2, 3, 4, 5, 6, 7}), true},
        // Rims sharing the bar 1-2 (given twice): {1, 2} parts the hubs.
        Family{"WheelsGluedAtTwoNodes", 11, joined(wheel(0, {1, 2, 3, 4, 5, 6}), wheel(7, {1, 2, 8, 9, 10})), false},
        Family{"GluedWheelsBraced", 11, joined(joined(wheel(0, {1, 2, 3, 4, 5, 6}), wheel(7, {1, 2, 8, 9, 10})), {{4, 9}}), true},
        Family{"TwoK4sApart", 8, joined(complete(4), complete(4, 4)), false},
        Family{"K5SharingTwoNodesWithK5", 8, joined(complete(5), complete(5, 3)), false},
        Family{"RingOfK4sJoinedByBars", 12, ring_of_complete_graphs(3, 1), false},
        Family{"RingOfK4sJoinedByBarPairs", 12, ring_of_complete_graphs(3, 2), true},
        Family{"LongRingOfK4sJoinedByBars", 200000, ring_of_complete_graphs(50000, 1), false},
        Family{"LongRingOfK4sJoinedByBarPairs", 200000, ring_of_complete_graphs(50000, 2), true},
        Family{"LongCircularLadder", 200000, circular_ladder(100000), true}),
    [](const testing::TestParamInfo<Family>& info) { return info.param.name; });

// Random graphs near the boundary: pieces in which every node has three
// random neighbours, glued in a chain or a ring at shared pairs of nodes
// (a shared pair of a chain separates), plus a few random bars.
Edges random_glued_graph(std::uint64_t n, std::mt19937_64& rng) {
    const std::uint64_t pieces = 1 + rng() % std::max<std::uint64_t>(1, n / 4);
    const bool ring = rng() % 2 == 0;
    Edges edges;
    for (std::uint64_t p = 0; p < pieces; ++p) {
        // Piece p: its own nodes and the first two of the next piece.
        std::vector<std::uint64_t> nodes;
        for (std::uint64_t x = p * n / pieces; x < (p + 1) * n / pieces; ++x) nodes.push_back(x);
        if (p + 1 < pieces || (ring && pieces > 1)) {
            const std::uint64_t next = (p + 1) % pieces * n / pieces;
            nodes.insert(nodes.end(), {next, next + 1});
        }
        for (std::uint64_t x = 0; x < nodes.size() && nodes.size() >= 4; ++x) {
            std::vector<std::uint64_t> others;
            for (std::uint64_t y = 0; y < nodes.size(); ++y) {
                if (y != x) others.push_back(nodes[y]);
            }
            std::shuffle(others.begin(), others.end(), rng);
            for (std::uint64_t k = 0; k < 3; ++k) edges.push_back({nodes[x], others[k]});
        }
    }
    for (std::uint64_t extra = rng() % 3; extra > 0; --extra) edges.push_back({rng() % n, rng() % n});
    std::erase_if(edges, [](const Pair& e) { return e.i == e.j; });
    return edges;
}

// G(n, m) with m anywhere from a tree's count to the complete graph's.
Edges random_dense_graph(std::uint64_t n, std::mt19937_64& rng) {
    const std::uint64_t m = n - 1 + rng() % (n * (n - 1) / 2 - n + 2);
    Edges edges;
    while (edges.size() < m) {
        const std::uint64_t i = rng() % n, j = rng() % n;
        if (i != j) edges.push_back({i, j});
    }
    return edges;
}

std::uint64_t minimum_degree(std::uint64_t n, const Edges& edges) {
    const reference::SimpleAdjacency graph(n, edges);
    std::uint64_t least = n;
    for (std::uint64_t x = 0; x < n; ++x) least = std::min(least, graph.start[x + 1] - graph.start[x]);
    return least;
}

struct RandomDraw {
    std::uint64_t graphs, least_nodes, most_nodes;
};

class ThreeConnectivityRandom : public testing::TestWithParam<RandomDraw> {};

// Against brute force (every pair removed) on small graphs and the test of
// every G - v on larger ones. The hard cases are graphs of minimum degree 3
// that some pair separates; the draw must hold many of them.
TEST_P(ThreeConnectivityRandom, MatchesReference) {
    const RandomDraw draw = GetParam();
    std::mt19937_64 rng(draw.most_nodes);
    std::uint64_t yes = 0, hard_no = 0;
    for (std::uint64_t trial = 0; trial < draw.graphs; ++trial) {
        const std::uint64_t n = draw.least_nodes + trial % (draw.most_nodes - draw.least_nodes + 1);
        const Edges edges = scrambled(n, trial % 3 == 0 && n <= 12 ? random_dense_graph(n, rng) : random_glued_graph(n, rng), rng);
        const bool expected = n <= 12 ? reference::is_three_connected_by_pair_removal(n, edges)
                                      : reference::is_three_connected_by_node_removal(n, edges);
        ASSERT_EQ(is_three_connected(n, edges), expected) << "trial " << trial << ", n " << n;
        yes += expected;
        hard_no += !expected && minimum_degree(n, edges) >= 3;
    }
    EXPECT_GT(yes, draw.graphs / 10);
    EXPECT_GT(hard_no, draw.graphs / 20);
}

INSTANTIATE_TEST_SUITE_P(Draws, ThreeConnectivityRandom,
                         testing::Values(RandomDraw{8000, 2, 12}, RandomDraw{600, 13, 60}, RandomDraw{20, 1500, 2000}));

TEST(ThreeConnectivity, RandomCubicGraphsMatchReference) {
    // A Hamiltonian cycle plus a random perfect matching: 3-connected with high probability.
    std::mt19937_64 rng(11);
    const std::uint64_t n = 2000;
    int yes = 0;
    for (int trial = 0; trial < 3; ++trial) {
        std::vector<std::uint64_t> order(n);
        std::iota(order.begin(), order.end(), std::uint64_t{0});
        std::shuffle(order.begin(), order.end(), rng);
        Edges edges;
        for (std::uint64_t k = 0; k < n; ++k) edges.push_back({k, (k + 1) % n});
        for (std::uint64_t k = 0; k < n; k += 2) edges.push_back({order[k], order[k + 1]});
        const bool expected = reference::is_three_connected_by_node_removal(n, edges);
        EXPECT_EQ(is_three_connected(n, edges), expected);
        yes += expected;
    }
    EXPECT_GT(yes, 0);
    EXPECT_EQ(invalid_input_of([] { is_three_connected(4, std::vector<Pair>{{0, 4}}); }),
              "edge 0 (0, 4) has an end outside the 4 nodes");
}

}  // namespace
}  // namespace tarvel
