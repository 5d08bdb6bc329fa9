// Global rigidity, circuits and rigid components from stresses and motions,
// against theorems with known answers and the plane's combinatorial tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "graph/global_rigidity.hpp"
#include "graph/kl_pebble_game.hpp"
#include "graph/node_ordering.hpp"
#include "graph/rigidity_closure.hpp"
#include "graph/stress_rigidity.hpp"

namespace tarvel {
namespace {

using Edges = std::vector<Pair>;
using Components = std::vector<std::vector<std::uint64_t>>;

Edges complete(std::uint64_t n) {
    Edges edges;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) edges.push_back({i, j});
    }
    return edges;
}

Edges complete_bipartite(std::uint64_t a, std::uint64_t b) {
    Edges edges;
    for (std::uint64_t i = 0; i < a; ++i) {
        for (std::uint64_t j = 0; j < b; ++j) edges.push_back({i, a + j});
    }
    return edges;
}

// Two copies of K5 minus the pole bar {0, 1}, glued at the poles.
Edges double_banana() {
    Edges edges;
    for (const std::uint64_t first : {2, 5}) {
        for (std::uint64_t pole : {0, 1}) {
            for (std::uint64_t k = 0; k < 3; ++k) edges.push_back({pole, first + k});
        }
        edges.push_back({first, first + 1});
        edges.push_back({first, first + 2});
        edges.push_back({first + 1, first + 2});
    }
    return edges;
}

// The cone: node n joined to every node.
Edges cone(std::uint64_t n, Edges edges) {
    for (std::uint64_t v = 0; v < n; ++v) edges.push_back({v, n});
    return edges;
}

Edges random_graph(std::uint64_t n, std::size_t m, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
    Edges edges;
    while (edges.size() < m) {
        const Pair edge{node(rng), node(rng)};
        if (edge.i != edge.j) edges.push_back(edge);
    }
    return edges;
}

Components as_lists(const RigidComponents& found) {
    Components lists;
    for (std::uint64_t c = 0; c < found.count(); ++c) {
        lists.emplace_back(found.nodes.begin() + found.offsets[c], found.nodes.begin() + found.offsets[c + 1]);
    }
    std::sort(lists.begin(), lists.end());
    return lists;
}

Components closure_components(std::uint64_t n, const Edges& edges, std::uint64_t d) {
    return as_lists(components_of_closure(implied_pairs(n, edges, d, 0), edges));
}

TEST(StressRigidity, KnownGraphsInSpace) {
    EXPECT_TRUE(is_globally_rigid_by_stress(5, complete(5), 3, 0));
    Edges k5_minus_bar = complete(5);
    k5_minus_bar.pop_back();
    EXPECT_FALSE(is_globally_rigid_by_stress(5, k5_minus_bar, 3, 0));
    EXPECT_TRUE(is_globally_rigid_by_stress(4, complete(4), 3, 0));
    const Edges banana = double_banana();
    EXPECT_FALSE(is_globally_rigid_by_stress(8, banana, 3, 0));
    const CircuitBars circuits = generic_circuit_bars(8, banana, 3, 0);
    EXPECT_EQ(circuits.rank, 17u);  // flexible, though it has 3n - 6 bars
    EXPECT_EQ(std::count(circuits.in_circuit.begin(), circuits.in_circuit.end(), 1), 18);  // one circuit
    EXPECT_EQ(generic_fundamental_circuit(8, banana, 17, 3, 0).size(), 18u);
    EXPECT_EQ(closure_components(8, banana, 3), (Components{{0, 1, 2, 3, 4}, {0, 1, 5, 6, 7}}));
}

// K_{a,b} in space (a, b >= 2) is globally rigid iff a, b >= 4 and
// a + b >= 11 (Connelly, Gortler and Theran 2016).
TEST(StressRigidity, CompleteBipartiteGraphsFollowTheCriterion) {
    for (std::uint64_t a = 2; a <= 6; ++a) {
        for (std::uint64_t b = a; b <= 9; ++b) {
            const bool expected = a >= 4 && b >= 4 && a + b >= 11;
            EXPECT_EQ(is_globally_rigid_by_stress(a + b, complete_bipartite(a, b), 3, a * 31 + b), expected)
                << "K" << a << "," << b;
        }
    }
}

// In the plane the stress test and the combinatorial one agree, and coning a
// graph carries its global rigidity into space (Connelly and Whiteley).
TEST(StressRigidity, AgreesWithThePlaneAndWithConing) {
    std::mt19937_64 rng(2024);
    int globally_rigid = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint64_t n = 4 + trial % 6;
        const Edges edges = random_graph(n, n + trial % (2 * n + 2), rng);
        const bool plane = is_globally_rigid_in_plane(n, edges);
        globally_rigid += plane;
        ASSERT_EQ(is_globally_rigid_by_stress(n, edges, 2, trial), plane) << "trial " << trial;
        if (trial % 3 == 0) {
            ASSERT_EQ(is_globally_rigid_by_stress(n + 1, cone(n, edges), 3, trial), plane) << "trial " << trial;
        }
    }
    EXPECT_GT(globally_rigid, 30);  // both verdicts well represented
    EXPECT_LT(globally_rigid, 270);
}

TEST(RigidityClosure, PlaneComponentsEqualThePebbleGames) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        const std::uint64_t n = 3 + trial % 10;
        const Edges edges = random_graph(n, 1 + trial % (2 * n), rng);
        const PebbleGameResult game = play_kl_pebble_game(n, edges, 2, 3);
        ASSERT_EQ(closure_components(n, edges, 2), as_lists(game.components)) << "trial " << trial;
    }
}

TEST(NodeOrdering, DissectionIsAPermutationWithIsolatedNodesFirst) {
    std::mt19937_64 rng(3);
    for (const std::uint64_t n : {40u, 500u}) {
        Edges edges = random_graph(n + 1, 3 * n, rng);
        std::erase_if(edges, [&](const Pair& e) { return e.i == n || e.j == n; });  // node n stays isolated
        const std::vector<std::uint64_t> order = dissection_order(n + 1, edges);
        EXPECT_EQ(std::set<std::uint64_t>(order.begin(), order.end()).size(), n + 1);
        EXPECT_EQ(order.size(), n + 1);
        // Node n has no bars: it comes before every node that has some.
        const auto place_of_n = std::find(order.begin(), order.end(), n) - order.begin();
        for (const Pair& e : edges) {
            EXPECT_LT(place_of_n, std::find(order.begin(), order.end(), e.i) - order.begin());
        }
    }
}

}  // namespace
}  // namespace tarvel
