#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "graph/kl_pebble_game.hpp"
#include "support/fault_capture.hpp"
#include "support/random_edges.hpp"
#include "support/reference_sparsity.hpp"

namespace tarvel {
namespace {

using tarvel::testing::random_edges;

using Components = std::vector<std::vector<std::uint64_t>>;

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

            const std::vector<std::uint8_t> labels = reference::sparsity::greedy_labels(n, edges, k, l);
            ASSERT_EQ(game.labels, labels) << where;
            std::vector<Pair> basis;
            for (std::size_t e = 0; e < edges.size(); ++e) {
                if (labels[e] == 1) basis.push_back(edges[e]);
            }
            Components expected = reference::sparsity::components(n, basis, k, l);
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

// Rigid edge by edge: each new node joins two earlier ones, in the order
// built (no edge is ever rejected, so only probes find tight sets).
std::vector<Pair> henneberg_sequence(std::mt19937_64& rng, std::uint64_t n) {
    std::vector<Pair> edges{{0, 1}};
    for (std::uint64_t node = 2; node < n; ++node) {
        std::uniform_int_distribution<std::uint64_t> earlier(0, node - 1);
        const std::uint64_t a = earlier(rng);
        std::uint64_t b = earlier(rng);
        while (b == a) b = earlier(rng);
        edges.push_back({node, a});
        edges.push_back({node, b});
    }
    return edges;
}

// Condensing tight sets into bodies (on rejections and on probes) must not
// change a label: the plain game, which condenses nothing, is the reference
// on graphs large enough for long searches.
TEST(KLPebbleGame, CondensingKeepsThePlainGamesLabels) {
    std::mt19937_64 rng(99);
    KLPebbleGame game, plain;
    PebbleGameResult result;
    std::vector<std::uint8_t> plain_labels;
    std::vector<std::vector<Pair>> graphs{henneberg_sequence(rng, 3000)};
    for (const double per_node : {1.6, 1.9, 2.0, 2.4, 3.5}) graphs.push_back(random_edges(rng, 2000, per_node * 2000));
    graphs.push_back(random_edges(rng, 10000, 1.8 * 10000));  // 10^4 nodes at the threshold: the longest searches
    for (const Range range : {Range{2, 3}, Range{1, 1}, Range{3, 5}, Range{2, 2}}) {
        for (std::size_t g = 0; g < graphs.size(); ++g) {
            const std::uint64_t n = g == 0 ? 3000 : g + 1 == graphs.size() ? 10000 : 2000;
            game.play(n, graphs[g], range.k, range.l, result);
            plain.play_uncondensed(n, graphs[g], range.k, range.l, plain_labels);
            EXPECT_EQ(result.labels, plain_labels) << "k=" << range.k << " l=" << range.l << " graph " << g;
        }
    }
    game.play(3000, graphs[0], 2, 3, result);
    EXPECT_TRUE(result.is_rigid && result.is_minimally_rigid);
    EXPECT_EQ(result.components.count(), 1u);
}

}  // namespace
}  // namespace tarvel
