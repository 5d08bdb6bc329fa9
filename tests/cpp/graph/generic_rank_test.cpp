#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "graph/generic_rank.hpp"
#include "graph/graph.hpp"
#include "numeric/rank.hpp"
#include "framework/rigidity_row.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

using Labels = std::vector<std::uint8_t>;
using Edges = std::vector<Pair>;

Labels generic_labels(std::uint64_t n, const Edges& edges, std::uint64_t d, std::uint64_t seed = 0) {
    const GenericRankResult result = generic_rigidity_labels(n, edges, d, seed);
    std::uint64_t ones = 0;
    for (std::uint8_t label : result.labels) ones += label;
    EXPECT_EQ(result.rank, ones);
    EXPECT_EQ(result.labels.size(), edges.size());
    return result.labels;
}

// m edges between random distinct nodes, repeats included.
Edges random_edges(std::uint64_t n, std::size_t m, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
    Edges edges;
    while (edges.size() < m) {
        const Pair edge{node(rng), node(rng)};
        if (edge.i != edge.j) edges.push_back(edge);
    }
    return edges;
}

Edges complete_graph(std::uint64_t n) {
    Edges edges;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) edges.push_back({i, j});
    }
    return edges;
}

// ------------------------------------------------ independent references

// Rank from scratch, an independent reference: the rigidity matrix of the
// first m edges at the positions x is brought to echelon form modulo
// 10^9 + 7 by textbook elimination (pivot search down each column).
constexpr std::int64_t kOtherPrime = 1'000'000'007;

std::vector<std::int64_t> positions_modulo_other_prime(std::uint64_t n, std::uint64_t d, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::int64_t> coordinate(0, kOtherPrime - 1);
    std::vector<std::int64_t> x(n * d);
    for (auto& value : x) value = coordinate(rng);
    return x;
}

std::size_t rank_of_prefix(const std::vector<std::int64_t>& x, const Edges& edges, std::size_t m, std::uint64_t d) {
    constexpr std::int64_t p = kOtherPrime;
    const auto mod = [](std::int64_t v) { return ((v % p) + p) % p; };
    const auto inverse = [](std::int64_t a) {
        std::int64_t result = 1;
        for (std::int64_t e = p - 2; e > 0; e >>= 1, a = a * a % p) {
            if (e & 1) result = result * a % p;
        }
        return result;
    };
    const std::size_t ncols = x.size();
    std::vector<std::int64_t> a(m * ncols, 0);  // row k at k * ncols
    const auto at = [&](std::size_t row, std::size_t col) -> std::int64_t& { return a[row * ncols + col]; };
    for (std::size_t k = 0; k < m; ++k) {
        for (std::uint64_t axis = 0; axis < d; ++axis) {
            const std::int64_t diff = mod(x[edges[k].i * d + axis] - x[edges[k].j * d + axis]);
            at(k, edges[k].i * d + axis) = diff;
            at(k, edges[k].j * d + axis) = mod(-diff);
        }
    }
    std::size_t rank = 0;
    for (std::size_t col = 0; col < ncols && rank < m; ++col) {
        std::size_t pivot = rank;
        while (pivot < m && at(pivot, col) == 0) ++pivot;
        if (pivot == m) continue;
        for (std::size_t c = 0; c < ncols; ++c) std::swap(at(pivot, c), at(rank, c));
        const std::int64_t scale = inverse(at(rank, col));
        for (std::size_t r = rank + 1; r < m; ++r) {
            const std::int64_t factor = at(r, col) * scale % p;
            for (std::size_t c = col; c < ncols; ++c) at(r, c) = mod(at(r, c) - factor * at(rank, c) % p);
        }
        ++rank;
    }
    return rank;
}

// Greedy (2, 3)-sparsity: an edge is kept when every set of n' >= 2 nodes
// still spans at most 2n' - 3 kept edges (Laman's count).
Labels laman_greedy_labels(std::uint64_t n, const Edges& edges) {
    Edges kept;
    Labels labels;
    for (const Pair& edge : edges) {
        kept.push_back(edge);
        bool sparse = true;
        for (std::uint32_t subset = 0; subset < (1u << n) && sparse; ++subset) {
            const int nodes = __builtin_popcount(subset);
            if (nodes < 2) continue;
            int spanned = 0;
            for (const Pair& e : kept) spanned += ((subset >> e.i) & 1) && ((subset >> e.j) & 1);
            sparse = spanned <= 2 * nodes - 3;
        }
        if (!sparse) kept.pop_back();
        labels.push_back(sparse ? 1 : 0);
    }
    return labels;
}

// The floating-point rank test of tarvel at generic real positions.
Labels numeric_labels(std::uint64_t n, const Edges& edges, std::uint64_t d, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> coordinate(0.0, 1.0);
    NodeList nodes(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        nodes[i].index = i;
        for (std::uint64_t axis = 0; axis < d; ++axis) nodes[i].position.push_back(coordinate(rng));
    }
    IncrementalRankChecker checker(n * d, 1e-9);
    std::vector<RowEntry> entries;
    Labels labels;
    for (const Pair& edge : edges) {
        rigidity_row_entries(nodes, edge.i, edge.j, entries);
        labels.push_back(checker.add_row_entries(entries) ? 1 : 0);
    }
    return labels;
}

// ------------------------------------------------------------ cross-checks

// Every prefix rank of small graphs; on larger ones, where stored rows fill
// in over long chains, the prefix ranks at every eighth of the edges.
TEST(GenericRank, PrefixRanksMatchModuloAnotherPrime) {
    std::mt19937_64 rng(11);
    for (std::uint64_t d : {2u, 3u}) {
        for (std::uint64_t n : {2u, 3u, 4u, 5u, 7u, 10u, 70u}) {
            const Edges edges = random_edges(n, 3 * n, rng);
            const Labels labels = generic_labels(n, edges, d, n);
            const std::vector<std::int64_t> x = positions_modulo_other_prime(n, d, rng);
            const std::size_t step = n < 20 ? 1 : edges.size() / 8;
            for (std::size_t m = step; m <= edges.size(); m += step) {
                const std::size_t rank = std::count(labels.begin(), labels.begin() + m, 1);
                EXPECT_EQ(rank, rank_of_prefix(x, edges, m, d)) << "d=" << d << " n=" << n << " first " << m << " edges";
            }
        }
    }
}

TEST(GenericRank, PlaneLabelsAreLamanGreedyLabels) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 40; ++trial) {
        const std::uint64_t n = 2 + trial % 7;
        const Edges edges = random_edges(n, 1 + trial % (3 * n), rng);
        EXPECT_EQ(generic_labels(n, edges, 2, trial), laman_greedy_labels(n, edges)) << "n=" << n;
    }
}

TEST(GenericRank, MatchesTheNumericRankTestAtGenericPositions) {
    std::mt19937_64 rng(7);
    for (std::uint64_t d : {2u, 3u}) {
        for (std::uint64_t n : {5u, 16u, 40u}) {
            const Edges edges = random_edges(n, d * n + n / 2, rng);
            EXPECT_EQ(generic_labels(n, edges, d, n), numeric_labels(n, edges, d, rng)) << "d=" << d << " n=" << n;
        }
    }
}

// --------------------------------------------------------- known families

TEST(GenericRank, KnownGraphsInSpace) {
    // Two copies of K5 without the edge between the poles 0 and 1, glued at
    // the poles: the counts allow 18 independent bars, the rank is 17.
    Edges double_banana;
    for (const std::vector<std::uint64_t>& banana : {std::vector<std::uint64_t>{0, 1, 2, 3, 4}, {0, 1, 5, 6, 7}}) {
        for (std::size_t a = 0; a < banana.size(); ++a) {
            for (std::size_t b = a + 1; b < banana.size(); ++b) {
                if (banana[a] + banana[b] != 1) double_banana.push_back({banana[a], banana[b]});
            }
        }
    }
    ASSERT_EQ(double_banana.size(), 18u);
    for (std::uint64_t seed : {0u, 1u, 2u}) EXPECT_EQ(generic_rigidity_labels(8, double_banana, 3, seed).rank, 17u);

    EXPECT_EQ(generic_labels(4, complete_graph(4), 3), Labels(6, 1));
    for (std::uint64_t n : {5u, 12u, 30u}) {
        const Labels labels = generic_labels(n, complete_graph(n), 3);
        EXPECT_EQ(generic_rigidity_labels(n, complete_graph(n), 3, 9).rank, 3 * n - 6);
        // In lexicographic order: the first three nodes' triangle, then three
        // bars to each later node from the nodes before it.
        std::size_t k = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            for (std::uint64_t j = i + 1; j < n; ++j, ++k) EXPECT_EQ(labels[k], i < 3 ? 1 : 0) << i << "-" << j;
        }
    }
}

// ------------------------------------------------------- edges and errors

TEST(GenericRank, RepeatsSmallGraphsAndEarlyStop) {
    EXPECT_EQ(generic_labels(2, {{0, 1}, {1, 0}, {0, 1}}, 3), (Labels{1, 0, 0}));
    EXPECT_EQ(generic_labels(0, {}, 2), Labels{});
    EXPECT_EQ(generic_labels(1, {}, 3), Labels{});
    EXPECT_EQ(generic_labels(3, {{0, 1}, {1, 2}, {0, 2}, {2, 0}}, 2), (Labels{1, 1, 1, 0}));
    // Rank 2n - 3 reached: everything after is dependent.
    EXPECT_EQ(generic_labels(3, {{0, 1}, {1, 2}, {0, 2}, {0, 1}, {1, 2}}, 2), (Labels{1, 1, 1, 0, 0}));
}

TEST(GenericRank, SameSeedSameLabels) {
    std::mt19937_64 rng(3);
    const Edges edges = random_edges(60, 170, rng);
    const GenericRankResult first = generic_rigidity_labels(60, edges, 3, 12345);
    EXPECT_EQ(generic_rigidity_labels(60, edges, 3, 12345).labels, first.labels);
    EXPECT_EQ(generic_rigidity_labels(60, edges, 3, 54321).labels, first.labels);  // generic labels
}

TEST(GenericRank, BadInputIsNamed) {
    const Edges fine{{0, 1}};
    EXPECT_EQ(invalid_input_of([&] { generic_rigidity_labels(3, fine, 4, 0); }), "d must be 2 or 3");
    EXPECT_EQ(invalid_input_of([&] { generic_rigidity_labels(3, fine, 1, 0); }), "d must be 2 or 3");
    EXPECT_EQ(invalid_input_of([] { generic_rigidity_labels(3, Edges{{0, 1}, {1, 3}}, 2, 0); }),
              "edge 1 (1, 3) has an end outside the 3 nodes");
    EXPECT_EQ(invalid_input_of([] { generic_rigidity_labels(3, Edges{{2, 2}}, 3, 0); }),
              "edge 0 (2, 2) is a self-loop");
    EXPECT_EQ(internal_fault_of([] { generic_rigidity_labels(std::uint64_t{1} << 63, Edges{{0, 1}}, 3, 0); }),
              "capacity overflow");
}

TEST(GenericRank, NodesWithoutEdgesCostNothing) {
    // Only the nodes that edges touch take columns: a triangle and a bar far
    // out among 2^62 nodes are as quick as on four nodes.
    const std::uint64_t far = std::uint64_t{1} << 61;
    const Edges edges{{far, far + 1}, {far + 1, 7}, {7, far}, {far, 7}, {3, far + 1}};
    EXPECT_EQ(generic_labels(std::uint64_t{1} << 62, edges, 2), (Labels{1, 1, 1, 0, 1}));
    EXPECT_EQ(generic_labels(std::uint64_t{1} << 62, edges, 3), (Labels{1, 1, 1, 0, 1}));
}

}  // namespace
}  // namespace tarvel
