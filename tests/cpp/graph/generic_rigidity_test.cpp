#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "graph/generic_rank.hpp"
#include "graph/generic_rigidity.hpp"
#include "graph/graph.hpp"
#include "graph/kl_pebble_game.hpp"
#include "numeric/fault.hpp"

namespace tarvel {
namespace {

using Edges = std::vector<Pair>;

Edges random_edges(std::uint64_t nodes, std::size_t m, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint64_t> node(0, nodes - 1);
    Edges edges;
    while (edges.size() < m) {
        const Pair edge{node(rng), node(rng)};
        if (edge.i != edge.j) edges.push_back(edge);
    }
    return edges;
}

// Labels and verdicts against the unreduced exact rank of the same bars on
// densely numbered nodes, and in the plane against the pebble game played
// on all n nodes; the nodes are spread over a huge range, and some graphs
// come in two pieces, so that every shortcut (counts, bar-less nodes,
// peeling, components, the rank bound) is taken somewhere.
TEST(GenericRigidity, AgreesWithTheUnreducedRankAndThePebbleGame) {
    std::mt19937_64 rng(21);
    for (int trial = 0; trial < 400; ++trial) {
        const std::uint64_t d = 2 + trial % 2, used = 2 + trial % 12;
        const std::size_t m = static_cast<std::size_t>((d - 1 + 0.5 * (trial % 5)) * used);
        Edges dense = random_edges(used, m, rng);
        std::uint64_t nodes = used;
        if (trial % 7 == 0) {
            for (const Pair& edge : random_edges(used, d * used, rng)) dense.push_back({edge.i + used, edge.j + used});
            nodes = 2 * used;
        }
        const std::uint64_t stride = trial % 3 == 0 ? 1 : std::uint64_t{1} << 28;
        Edges spread = dense;
        for (Pair& edge : spread) edge = Pair{edge.i * stride, edge.j * stride};
        const std::uint64_t n = (nodes - 1) * stride + 1 + trial % 2;  // sometimes one node without bars

        const GenericRankResult truth = generic_rigidity_labels(nodes + trial % 2, dense, d, 3);
        const bool rigid = truth.rank == rigid_rank(n, d);
        const GenericRigidity reduced = generic_rigidity(n, spread, d, 3);
        ASSERT_EQ(reduced.labels, truth.labels) << "trial " << trial;
        EXPECT_EQ(reduced.rank, truth.rank);
        EXPECT_EQ(reduced.is_rigid(), rigid);
        EXPECT_EQ(is_generically_rigid(n, spread, d, 3), rigid) << "trial " << trial;
        EXPECT_EQ(is_generically_minimally_rigid(n, spread, d, 3), rigid && truth.rank == spread.size());
        if (d == 2 && stride == 1) {
            EXPECT_EQ(play_kl_pebble_game(n, spread, 2, 3).labels, truth.labels);
        }
    }
}

TEST(GenericRigidity, SmallGraphsAndBadInput) {
    EXPECT_TRUE(is_generically_rigid(0, Edges{}, 2, 0));
    EXPECT_TRUE(is_generically_rigid(1, Edges{}, 3, 0));
    EXPECT_TRUE(is_generically_minimally_rigid(2, Edges{{0, 1}}, 3, 0));
    EXPECT_FALSE(is_generically_rigid(2, Edges{}, 2, 0));
    EXPECT_TRUE(is_generically_rigid(3, Edges{{0, 1}, {1, 2}, {0, 2}, {0, 2}}, 3, 0));
    const Edges one{{0, 1}}, outside{{0, 3}};
    EXPECT_THROW(generic_rigidity(3, one, 4, 0), InvalidInput);
    EXPECT_THROW(is_generically_rigid(3, outside, 2, 0), InvalidInput);
}

}  // namespace
}  // namespace tarvel
