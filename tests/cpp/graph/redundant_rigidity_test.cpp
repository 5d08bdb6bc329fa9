#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "graph/global_rigidity.hpp"
#include "graph/redundant_rigidity.hpp"
#include "support/reference_sparsity.hpp"

namespace tarvel {
namespace {

std::int64_t sparse_rank(std::uint64_t n, const std::vector<Pair>& edges, std::int64_t k, std::int64_t l) {
    const std::vector<std::uint8_t> labels = reference::sparsity::greedy_labels(n, edges, k, l);
    return std::count(labels.begin(), labels.end(), 1);
}

std::vector<Pair> without(const std::vector<Pair>& edges, std::size_t e) {
    std::vector<Pair> rest = edges;
    rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(e));
    return rest;
}

// An edge lies in a circuit exactly when removing it keeps the rank; the
// graph is redundantly rigid when every removal leaves rank 2n - 3.
TEST(EdgesInCircuits, MatchRemovalByBruteForce) {
    std::mt19937_64 rng(7);
    KLPebbleGame game;
    for (const auto& [k, l] : {std::pair{2, 3}, std::pair{1, 1}, std::pair{2, 2}}) {
        for (int trial = 0; trial < 120; ++trial) {
            const std::uint64_t n = 3 + trial % 6;
            std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
            std::vector<Pair> edges;
            while (edges.size() < static_cast<std::size_t>(k * n - l + trial % 6)) {
                const std::uint64_t i = node(rng), j = node(rng);
                if (i != j) edges.push_back({i, j});
            }
            const std::string where = "k=" + std::to_string(k) + " l=" + std::to_string(l) + " trial " + std::to_string(trial);
            const CircuitMembership found = find_edges_in_circuits(n, edges, k, l, game);
            const std::int64_t rank = sparse_rank(n, edges, k, l);
            bool every_removal_rigid = rank == k * static_cast<std::int64_t>(n) - l;
            for (std::size_t e = 0; e < edges.size(); ++e) {
                const std::int64_t rest = sparse_rank(n, without(edges, e), k, l);
                EXPECT_EQ(found.in_circuit[e], rest == rank ? 1 : 0) << where << " edge " << e;
                every_removal_rigid = every_removal_rigid && rest == k * static_cast<std::int64_t>(n) - l;
            }
            if (k == 2 && l == 3) {
                EXPECT_EQ(is_redundantly_rigid_in_plane(n, edges), every_removal_rigid) << where;
            }
        }
    }
}

struct NamedGraph {
    const char* name;
    std::uint64_t n;
    std::vector<Pair> edges;
    bool redundantly_rigid, globally_rigid;
};

class KnownGraphs : public ::testing::TestWithParam<NamedGraph> {};

TEST_P(KnownGraphs, RedundantAndGlobalRigidity) {
    const NamedGraph& g = GetParam();
    EXPECT_EQ(is_redundantly_rigid_in_plane(g.n, g.edges), g.redundantly_rigid);
    EXPECT_EQ(is_globally_rigid_in_plane(g.n, g.edges), g.globally_rigid);
}

INSTANTIATE_TEST_SUITE_P(
    Families, KnownGraphs,
    ::testing::Values(
        NamedGraph{"K1", 1, {}, true, true}, NamedGraph{"K2", 2, {{0, 1}}, false, true},
        NamedGraph{"K2Twice", 2, {{0, 1}, {1, 0}}, true, true},
        NamedGraph{"K3", 3, {{0, 1}, {1, 2}, {0, 2}}, false, true},
        NamedGraph{"Path3", 3, {{0, 1}, {1, 2}}, false, false},
        NamedGraph{"K4", 4, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}, true, true},
        // Minimally rigid and 3-connected: not redundantly, so not globally rigid.
        NamedGraph{"K33", 6, {{0, 3}, {0, 4}, {0, 5}, {1, 3}, {1, 4}, {1, 5}, {2, 3}, {2, 4}, {2, 5}}, false, false},
        // Redundantly rigid but cut by two nodes: two K4 sharing the edge 0-1.
        NamedGraph{"TwoK4OnAnEdge", 6,
                   {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}, {0, 4}, {0, 5}, {1, 4}, {1, 5}, {4, 5}},
                   true, false},
        // The wheel on a 5-cycle: 3-connected and redundantly rigid.
        NamedGraph{"Wheel5", 6,
                   {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 1}}, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel
