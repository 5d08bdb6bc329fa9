#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "graph/generic_rank.hpp"
#include "graph/graph.hpp"
#include "graph/reduction.hpp"

namespace tarvel {
namespace {

using Edges = std::vector<Pair>;

// m bars between random distinct nodes among `used` nodes spread over 0 .. n-1
// (spacing `stride`), repeats included.
Edges random_edges(std::uint64_t used, std::uint64_t stride, std::size_t m, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint64_t> node(0, used - 1);
    Edges edges;
    while (edges.size() < m) {
        const Pair edge{node(rng) * stride, node(rng) * stride};
        if (edge.i != edge.j) edges.push_back(edge);
    }
    return edges;
}

// The labels a reduction gives: peeled bars 1, each component's bars as the
// exact rank labels them on their own.
GenericRankResult labels_through(const GraphReduction& reduction, std::uint64_t d) {
    GenericRankResult result{reduction.peeled, reduction.peeled_count};
    for (std::uint64_t c = 0; c < reduction.component_count(); ++c) {
        const std::span<const std::uint64_t> bars = reduction.bars_of(c);
        const CompactGraph piece = subgraph(reduction.graph.node_count(), reduction.graph.edges, bars);
        EXPECT_EQ(piece.node_count(), reduction.component_nodes[c]);
        const GenericRankResult own = generic_rigidity_labels(piece.node_count(), piece.edges, d, 7);
        for (std::size_t k = 0; k < bars.size(); ++k) result.labels[bars[k]] = own.labels[k];
        result.rank += own.rank;
    }
    return result;
}

// The reduction against the unreduced exact rank on the same bars (with the
// nodes numbered densely, so both draw from the same kind of positions):
// labels and rank agree, whatever the spacing of the nodes.
TEST(Reduction, LabelsAgreeWithTheUnreducedRank) {
    std::mt19937_64 rng(20);
    int peeled_and_kept = 0, several_components = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint64_t d = 2 + trial % 2, used = 3 + trial % 11;
        const std::size_t m = static_cast<std::size_t>(trial % 4 == 0 ? used : (d + 0.5 * (trial % 3)) * used);
        Edges dense = random_edges(used, 1, m, rng);
        if (trial % 5 == 0) {  // and a second graph beside it
            for (const Pair& edge : random_edges(used, 1, d * used, rng)) dense.push_back({edge.i + used, edge.j + used});
        }
        const std::uint64_t nodes = trial % 5 == 0 ? 2 * used : used;
        const std::uint64_t stride = trial % 3 == 0 ? 1 : std::uint64_t{1} << 30;
        Edges spread = dense;
        for (Pair& edge : spread) edge = Pair{edge.i * stride, edge.j * stride};
        const std::uint64_t n = (nodes - 1) * stride + 1;

        const GenericRankResult truth = generic_rigidity_labels(nodes, dense, d, 7);
        const GraphReduction reduction = reduce_graph(n, spread, d);
        const GenericRankResult reduced = labels_through(reduction, d);
        ASSERT_EQ(reduced.labels, truth.labels) << "trial " << trial;
        EXPECT_EQ(reduced.rank, truth.rank);
        peeled_and_kept += reduction.peeled_count > 0 && reduction.component_count() > 0;
        several_components += reduction.component_count() > 1;
    }
    EXPECT_GT(peeled_and_kept, 50);  // the table exercises both parts of the labels
    EXPECT_GT(several_components, 5);
}

// Peeling is what the theory says: the wheel's hub has degree > d in the
// plane, the rim nodes 3, so nothing peels; a pendant path peels entirely,
// repeats of a peeled bar are labelled 0, and components are counted apart.
TEST(Reduction, PeelsComponentsAndRepeats) {
    // A K4 (stays), a path hanging off it with one bar repeated (peels), and
    // a separate K4 far away (a second component).
    const std::uint64_t far = std::uint64_t{1} << 40;
    Edges edges{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}, {3, 4}, {4, 5}, {5, 4}};
    for (std::uint64_t a = 0; a < 4; ++a) {
        for (std::uint64_t b = a + 1; b < 4; ++b) edges.push_back(Pair{far + a, far + b});
    }
    const GraphReduction reduction = reduce_graph(far + 4, edges, 2);
    EXPECT_EQ(reduction.graph.node_count(), 10u);
    EXPECT_EQ(reduction.peeled, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reduction.peeled_count, 2u);
    ASSERT_EQ(reduction.component_count(), 2u);
    EXPECT_EQ(reduction.component_nodes, (std::vector<std::uint64_t>{4, 4}));
    EXPECT_EQ(std::vector<std::uint64_t>(reduction.bars_of(1).begin(), reduction.bars_of(1).end()),
              (std::vector<std::uint64_t>{9, 10, 11, 12, 13, 14}));
    EXPECT_EQ(reduction.component[8], kPeeled);
    EXPECT_EQ(reduction.graph.nodes.back(), far + 3);
}

// A huge node count costs nothing beyond the bars.
TEST(Reduction, NodeCountBeyondMemory) {
    const std::uint64_t n = std::uint64_t{1} << 62;
    const Edges edges{{0, n - 1}, {n - 1, 5}, {5, 0}};
    const GraphReduction reduction = reduce_graph(n, edges, 2);
    EXPECT_EQ(reduction.peeled_count, 3u);  // a triangle: every node has degree d
    EXPECT_EQ(reduction.component_count(), 0u);
    EXPECT_EQ(compact_graph(n, edges).nodes, (std::vector<std::uint64_t>{0, 5, n - 1}));
}

}  // namespace
}  // namespace tarvel
