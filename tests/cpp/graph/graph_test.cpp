#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "numeric/fault.hpp"
#include "graph/graph.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

// Counted directly: the largest number of bars with independent rows is that
// of a simplex on the first min(n, d + 1) nodes plus d per further node.
std::uint64_t rigid_rank_by_counting(std::uint64_t n, std::uint64_t d) {
    std::uint64_t rank = 0;
    for (std::uint64_t node = 0; node < n; ++node) rank += node < d ? node : d;
    return rank;
}

TEST(RigidRank, CountsASimplexThenDPerNode) {
    for (std::uint64_t d : {2u, 3u}) {
        for (std::uint64_t n = 0; n < 40; ++n) EXPECT_EQ(rigid_rank(n, d), rigid_rank_by_counting(n, d)) << n;
    }
    EXPECT_EQ(internal_fault_of([] { rigid_rank(std::numeric_limits<std::uint64_t>::max(), 3); }),
              "capacity overflow");
}

struct RankCase {
    std::uint64_t n, d, expected;
};

class MaxRankFor : public ::testing::TestWithParam<RankCase> {};

TEST_P(MaxRankFor, IsClampedExactFormula) {
    const RankCase c = GetParam();
    EXPECT_EQ(max_rank_for(c.n, c.d), c.expected);
}

constexpr std::uint64_t kMax = ~std::uint64_t{0};

INSTANTIATE_TEST_SUITE_P(
    Values, MaxRankFor,
    ::testing::Values(RankCase{10, 2, 17}, RankCase{10, 3, 24}, RankCase{2, 2, 1}, RankCase{2, 3, 0},
                      RankCase{3, 2, 3}, RankCase{4, 3, 6}, RankCase{5, 0, 0}, RankCase{5, 1, 4},
                      RankCase{kMax, 1, kMax - 1}, RankCase{1, 2, 0}, RankCase{1, 3, 0},
                      RankCase{0, 2, 0}, RankCase{0, 0, 0}, RankCase{kMax, 2, kMax},
                      RankCase{1, std::uint64_t{1} << 32, 0},
                      RankCase{std::uint64_t{1} << 32, std::uint64_t{1} << 32,
                               (std::uint64_t{1} << 63) - (std::uint64_t{1} << 31)}));

TEST(CheckEdges, NamesTheFirstBadEdge) {
    const std::vector<Pair> fine{{0, 1}, {1, 0}, {0, 1}, {2, 1}};
    EXPECT_NO_THROW(check_edges(3, fine));
    EXPECT_EQ(invalid_input_of([] { check_edges(3, std::vector<Pair>{{0, 1}, {1, 3}, {2, 2}}); }),
              "edge 1 (1, 3) has an end outside the 3 nodes");
    EXPECT_EQ(invalid_input_of([] { check_edges(3, std::vector<Pair>{{0, 1}, {2, 2}}); }),
              "edge 1 (2, 2) is a self-loop");
}

TEST(EdgesFromRows, ConvertsAndNamesNegativeEnds) {
    EXPECT_EQ(edges_from_rows(std::vector<std::int64_t>{0, 1, 2, 0}, 3), (std::vector<Pair>{{0, 1}, {2, 0}}));
    EXPECT_EQ(invalid_input_of([] { edges_from_rows(std::vector<std::int64_t>{0, 1, -1, 2}, 3); }),
              "edge 1 (-1, 2) has an end outside the 3 nodes");
    EXPECT_EQ(invalid_input_of([] { edges_from_rows(std::vector<std::int64_t>{1, 1}, 3); }),
              "edge 0 (1, 1) is a self-loop");
}

}  // namespace
}  // namespace tarvel
