#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framework/bar_labels.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

struct BarCase {
    const char* name;
    std::vector<double> rows;
    std::uint64_t d;
    std::vector<Pair> bars;
    std::vector<std::uint8_t> labels;
    std::uint64_t rank, max_rank;
};

class BarLabelCases : public ::testing::TestWithParam<BarCase> {};

TEST_P(BarLabelCases, LabelsAndRank) {
    const BarCase& c = GetParam();
    const BarLabels out = label_bars(nodes_from_rows(c.rows, c.d), c.d, c.bars, 1e-9);
    EXPECT_EQ(out.labels, c.labels);
    EXPECT_EQ(out.rank, c.rank);
    EXPECT_EQ(out.max_rank, c.max_rank);
}

INSTANTIATE_TEST_SUITE_P(
    Frameworks, BarLabelCases,
    ::testing::Values(
        // The first diagonal makes the square rigid; the second is not tested.
        BarCase{"SquareThenDiagonals", {0, 0, 1, 0, 1, 1, 0, 1}, 2, {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0, 2}, {1, 3}},
                {1, 1, 1, 1, 1, 0}, 5, 5},
        BarCase{"CollinearTriangle", {0, 0, 1, 0, 3, 0}, 2, {{0, 1}, {1, 2}, {2, 0}}, {1, 1, 0}, 2, 3},
        BarCase{"RepeatedBarReversed", {0, 0, 1, 0, 0, 1}, 2, {{0, 1}, {1, 0}, {1, 2}}, {1, 0, 1}, 2, 3},
        BarCase{"TwoNodesInSpace", {0, 0, 0, 1, 2, 3}, 3, {{1, 0}}, {1}, 1, 1},
        BarCase{"TetrahedronInSpace", {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, 3,
                {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}, {1, 1, 1, 1, 1, 1}, 6, 6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BarLabels, RefusesBadInput) {
    const NodeList plane = nodes_from_rows(std::vector<double>{0, 0, 1, 0}, 2);
    EXPECT_EQ(invalid_input_of([&] { label_bars(plane, 4, std::vector<Pair>{}, 1e-9); }), "d must be 2 or 3, got 4");
    EXPECT_EQ(invalid_input_of([&] { label_bars(plane, 2, std::vector<Pair>{{0, 2}}, 1e-9); }),
              "edge 0 (0, 2) has an end outside the 2 nodes");
    EXPECT_EQ(invalid_input_of([] { nodes_from_rows(std::vector<double>{0, 0, 1}, 2); }),
              "coordinates of 3 values do not form rows of 2");
}

}  // namespace
}  // namespace tarvel
