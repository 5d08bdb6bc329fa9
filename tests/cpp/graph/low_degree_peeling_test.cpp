#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "graph/kl_pebble_game.hpp"
#include "graph/low_degree_peeling.hpp"
#include "support/random_edges.hpp"

namespace tarvel {
namespace {

using tarvel::testing::random_edges;

struct Family {
    std::string name;
    std::uint64_t n;
    std::vector<Pair> edges;
};

std::vector<Family> families(std::mt19937_64& rng) {
    std::vector<Family> all;
    for (int seed = 0; seed < 40; ++seed) {  // around the rigidity threshold (m = 1.79 n) and above
        const std::uint64_t n = 20 + 37 * static_cast<std::uint64_t>(seed);
        const double per_node = 1.0 + 0.05 * seed;
        all.push_back({"random " + std::to_string(seed), n, random_edges(rng, n, static_cast<std::size_t>(per_node * n))});
    }
    for (const double per_node : {1.8, 2.0}) all.push_back({"random 1e4", 10000, random_edges(rng, 10000, per_node * 10000)});
    Family tree{"tree", 500, {}}, fan{"fan", 300, {}}, grid{"braced grid", 900, {}}, complete{"complete", 25, {}};
    for (std::uint64_t v = 1; v < tree.n; ++v) tree.edges.push_back({v, std::uniform_int_distribution<std::uint64_t>(0, v - 1)(rng)});
    for (std::uint64_t v = 1; v < fan.n; ++v) {  // a hub in every component as the path is put back
        fan.edges.push_back({0, v});
        if (v > 1) fan.edges.push_back({v - 1, v});
    }
    for (std::uint64_t r = 0; r < 30; ++r) {  // squares, a random third of them braced: flexible and rigid parts
        for (std::uint64_t c = 0; c < 30; ++c) {
            const std::uint64_t v = 30 * r + c;
            if (c + 1 < 30) grid.edges.push_back({v, v + 1});
            if (r + 1 < 30) grid.edges.push_back({v, v + 30});
            if (r + 1 < 30 && c + 1 < 30 && rng() % 3 == 0) grid.edges.push_back({v, v + 31});
        }
    }
    for (std::uint64_t i = 0; i < complete.n; ++i) {
        for (std::uint64_t j = i + 1; j < complete.n; ++j) complete.edges.push_back({j, i});
    }
    Family apart{"disconnected, repeats, isolated nodes", 3000, random_edges(rng, 1000, 1900)};
    for (const Pair& e : random_edges(rng, 1000, 2100)) apart.edges.push_back({e.i + 1500, e.j + 1500});
    for (std::size_t e = 0; e < 400; ++e) apart.edges.push_back(apart.edges[(e * 7919) % apart.edges.size()]);
    for (Family* family : {&tree, &fan, &grid, &complete, &apart}) all.push_back(std::move(*family));
    return all;
}

// The game with low-degree nodes peeled off and the components put back
// must give what the game on the whole graph gives: labels, the
// components in their order, and every edge's component.
TEST(LowDegreePeeling, LeavesTheWholeGamesLabelsAndComponents) {
    std::mt19937_64 rng(7);
    std::uint64_t peeled_somewhere = 0;
    for (const Family& family : families(rng)) {
        for (const std::uint64_t k : {2, 3}) {
            const std::uint64_t l = 2 * k - 1;
            const std::string where = family.name + " k=" + std::to_string(k);
            ASSERT_TRUE(peeling_suits(k, l));
            peeled_somewhere += peel_low_degree(family.n, family.edges, k).order.size();
            const PebbleGameResult peeled = play_kl_pebble_game(family.n, family.edges, k, l);
            KLPebbleGame whole_game;
            PebbleGameResult whole;
            whole_game.play(family.n, family.edges, k, l, whole);
            ASSERT_EQ(peeled.labels, whole.labels) << where;
            EXPECT_EQ(peeled.components.offsets, whole.components.offsets) << where;
            EXPECT_EQ(peeled.components.nodes, whole.components.nodes) << where;
            EXPECT_EQ(peeled.components.edge_component, whole.components.edge_component) << where;
            EXPECT_EQ(peeled.dof, whole.dof) << where;
        }
    }
    EXPECT_GT(peeled_somewhere, 0u);
}

// What is peeled follows from degrees alone: a tree goes entirely, a
// complete graph on k + 2 nodes or more not at all.
TEST(LowDegreePeeling, PeelsTreesAndKeepsCompleteGraphs) {
    std::mt19937_64 rng(3);
    const std::vector<Family> all = families(rng);
    for (const Family& family : all) {
        if (family.name == "tree") {
            const LowDegreePeeling peeling = peel_low_degree(family.n, family.edges, 2);
            EXPECT_TRUE(peeling.core_nodes.empty() && peeling.core_edges.empty());
            EXPECT_EQ(peeling.order.size(), family.n);
        }
        if (family.name == "complete") {
            EXPECT_TRUE(peel_low_degree(family.n, family.edges, 2).order.empty());
            EXPECT_TRUE(peel_low_degree(family.n, family.edges, 3).order.empty());
        }
    }
}

}  // namespace
}  // namespace tarvel
