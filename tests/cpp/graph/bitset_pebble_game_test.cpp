#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "graph/bitset_pebble_game.hpp"
#include "graph/kl_pebble_game.hpp"
#include "numeric/fault.hpp"
#include "support/random_edges.hpp"
#include "support/reference_sparsity.hpp"

namespace tarvel {
namespace {

using tarvel::testing::random_edges;

void expect_same_game(const PebbleGameResult& found, const PebbleGameResult& expected, const std::string& where) {
    ASSERT_EQ(found.labels, expected.labels) << where;
    EXPECT_EQ(found.components.offsets, expected.components.offsets) << where;
    EXPECT_EQ(found.components.nodes, expected.components.nodes) << where;
    EXPECT_EQ(found.components.edge_component, expected.components.edge_component) << where;
    EXPECT_EQ(found.accepted, expected.accepted) << where;
    EXPECT_EQ(found.dof, expected.dof) << where;
    EXPECT_EQ(found.is_rigid, expected.is_rigid) << where;
    EXPECT_EQ(found.is_minimally_rigid, expected.is_minimally_rigid) << where;
}

struct Sizes {
    std::uint64_t lowest_n, highest_n;
    int trials;
};

class BitsetPebbleGameSizes : public ::testing::TestWithParam<Sizes> {};

// Everything KLPebbleGame::play gives for (2, 3), in the same order, on
// random multigraphs from sparse to dense (below, at and past 2n - 3 bars,
// repeated bars included) up to the largest size taken; on small graphs the
// labels and components are also held to brute force over all node subsets.
TEST_P(BitsetPebbleGameSizes, MatchesTheGeneralGameAndBruteForce) {
    const Sizes sizes = GetParam();
    std::mt19937_64 rng(77 + sizes.highest_n);
    BitsetPebbleGame small;
    KLPebbleGame general;
    for (int trial = 0; trial < sizes.trials; ++trial) {
        const std::uint64_t n = sizes.lowest_n + static_cast<std::uint64_t>(trial) % (sizes.highest_n - sizes.lowest_n + 1);
        const double fill[] = {0.5, 0.9, 1.0, 1.1, 1.5, 3.0};
        const auto m = static_cast<std::size_t>(fill[trial % 6] * static_cast<double>(2 * n - 3));
        const std::vector<Pair> edges = random_edges(rng, n, m);
        const std::string where = "n=" + std::to_string(n) + " m=" + std::to_string(m) + " trial " + std::to_string(trial);
        PebbleGameResult found, expected;
        small.play(n, edges, found);
        general.play(n, edges, 2, 3, expected);
        expect_same_game(found, expected, where);
        if (n > 9) continue;
        ASSERT_EQ(found.labels, reference::sparsity::greedy_labels(n, edges, 2, 3)) << where;
        std::vector<Pair> basis;
        for (std::size_t e = 0; e < edges.size(); ++e) {
            if (found.labels[e] == 1) basis.push_back(edges[e]);
        }
        std::vector<std::vector<std::uint64_t>> expected_sets = reference::sparsity::components(n, basis, 2, 3), found_sets;
        for (std::uint64_t c = 0; c < found.components.count(); ++c) {
            found_sets.emplace_back(found.components.nodes.begin() + static_cast<std::ptrdiff_t>(found.components.offsets[c]),
                                    found.components.nodes.begin() + static_cast<std::ptrdiff_t>(found.components.offsets[c + 1]));
        }
        std::sort(expected_sets.begin(), expected_sets.end());
        std::sort(found_sets.begin(), found_sets.end());
        EXPECT_EQ(found_sets, expected_sets) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BitsetPebbleGameSizes,
                         ::testing::Values(Sizes{2, 9, 600}, Sizes{10, 30, 600}, Sizes{60, 64, 60}),
                         [](const ::testing::TestParamInfo<Sizes>& info) {
                             return "n" + std::to_string(info.param.lowest_n) + "to" + std::to_string(info.param.highest_n);
                         });

TEST(BitsetPebbleGame, GraphsWithoutBarsAndBadBars) {
    BitsetPebbleGame game;
    PebbleGameResult found;
    game.play(1, {}, found);
    EXPECT_TRUE(found.is_rigid);
    EXPECT_EQ(found.components.count(), 0u);
    game.play(5, {}, found);
    EXPECT_EQ(found.dof, 7u);
    const std::vector<Pair> loop{{2, 2}}, outside{{0, 5}};
    EXPECT_THROW(game.play(5, loop, found), InvalidInput);
    EXPECT_THROW(game.play(5, outside, found), InvalidInput);
}

}  // namespace
}  // namespace tarvel
