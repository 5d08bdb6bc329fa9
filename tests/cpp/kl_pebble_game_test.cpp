#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/kl_pebble_game.hpp"
#include "fault_capture.hpp"
#include "sparsity_oracle.hpp"

namespace tarvel {
namespace {

using Components = std::vector<std::vector<std::uint64_t>>;

std::vector<Pair> random_edges(std::mt19937_64& rng, std::uint64_t n, std::size_t m) {
    std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
    std::vector<Pair> edges;
    while (edges.size() < m) {
        const std::uint64_t i = node(rng), j = node(rng);
        if (i != j) edges.push_back({i, j});
    }
    return edges;
}

Components components_of(const RigidComponents& found) {
    Components list;
    for (std::uint64_t c = 0; c < found.count(); ++c) {
        list.emplace_back(found.nodes.begin() + static_cast<std::ptrdiff_t>(found.offsets[c]),
                          found.nodes.begin() + static_cast<std::ptrdiff_t>(found.offsets[c + 1]));
    }
    return list;
}

struct Range {
    std::uint64_t k, l;
};

// Labels, components and the spanning component of every edge, against
// brute force over all node subsets, on random multigraphs around k n - l
// edges, for parameters across both ranges.
TEST(KLPebbleGame, MatchesBruteForceOnSmallRandomGraphs) {
    std::mt19937_64 rng(2024);
    for (const Range range : {Range{2, 3}, Range{1, 1}, Range{2, 2}, Range{1, 0}, Range{3, 5}, Range{2, 0},
                              Range{3, 4}}) {
        for (int trial = 0; trial < 150; ++trial) {
            const std::uint64_t n = 2 + trial % 8;
            const auto k = static_cast<std::int64_t>(range.k), l = static_cast<std::int64_t>(range.l);
            const std::size_t m = static_cast<std::size_t>(std::max<std::int64_t>(1, k * n - l)) + trial % 5;
            const std::vector<Pair> edges = random_edges(rng, n, m);
            const PebbleGameResult game = play_kl_pebble_game(n, edges, range.k, range.l);
            const std::string where = "k=" + std::to_string(k) + " l=" + std::to_string(l) + " trial " +
                                      std::to_string(trial);

            const std::vector<std::uint8_t> labels = oracle::greedy_labels(n, edges, k, l);
            ASSERT_EQ(game.labels, labels) << where;
            std::vector<Pair> basis;
            for (std::size_t e = 0; e < edges.size(); ++e) {
                if (labels[e] == 1) basis.push_back(edges[e]);
            }
            Components expected = oracle::components(n, basis, k, l);
            Components found = components_of(game.components);
            std::sort(expected.begin(), expected.end());
            std::sort(found.begin(), found.end());
            ASSERT_EQ(found, expected) << where;

            for (std::size_t e = 0; e < edges.size(); ++e) {
                const std::int64_t c = game.components.edge_component[e];
                const Components all = components_of(game.components);
                const auto spans = [&](const std::vector<std::uint64_t>& nodes) {
                    return std::binary_search(nodes.begin(), nodes.end(), edges[e].i) &&
                           std::binary_search(nodes.begin(), nodes.end(), edges[e].j);
                };
                if (c >= 0) {
                    EXPECT_TRUE(spans(all[static_cast<std::size_t>(c)])) << where << " edge " << e;
                } else {
                    EXPECT_TRUE(std::none_of(all.begin(), all.end(), spans)) << where << " edge " << e;
                }
            }
            const std::int64_t free_count = k * static_cast<std::int64_t>(n) - l - static_cast<std::int64_t>(basis.size());
            EXPECT_EQ(game.dof, static_cast<std::uint64_t>(std::max<std::int64_t>(free_count, 0))) << where;
        }
    }
}

}  // namespace
}  // namespace tarvel
