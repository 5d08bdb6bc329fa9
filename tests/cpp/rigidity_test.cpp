#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "core/rigidity.hpp"
#include "fault_capture.hpp"

namespace tarvel {
namespace {

NodeList nodes_at(const std::vector<std::vector<double>>& positions) {
    NodeList nodes;
    for (std::size_t k = 0; k < positions.size(); ++k) nodes.push_back(Node{positions[k], k});
    return nodes;
}

std::string fault_of(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    return internal_fault_of([&] { RigidityRow row(nodes, i, j); });
}

struct RowCase {
    std::vector<std::vector<double>> positions;
    std::uint64_t i, j;
    std::vector<double> entries;
};

class RigidityRowEntries : public ::testing::TestWithParam<RowCase> {};

TEST_P(RigidityRowEntries, AreThePositionDifferenceAndItsNegation) {
    const RowCase& c = GetParam();
    const RigidityRow row(nodes_at(c.positions), c.i, c.j);
    EXPECT_EQ(row.entries, c.entries);
    EXPECT_EQ(row.i, c.i);
    EXPECT_EQ(row.j, c.j);
}

INSTANTIATE_TEST_SUITE_P(
    Bars, RigidityRowEntries,
    ::testing::Values(
        // Unnormalised: a long bar gives large entries.
        RowCase{{{0, 0}, {3, 0}, {0, 4}}, 1, 2, {0, 0, 3, -4, -3, 4}},
        RowCase{{{0, 0}, {3, 0}, {0, 4}}, 0, 1, {-3, 0, 3, 0, 0, 0}},
        RowCase{{{1, 2, 3}, {0, 0, 0}, {5, 5, 5}, {1, 1, 1}}, 1, 3,
                {0, 0, 0, -1, -1, -1, 0, 0, 0, 1, 1, 1}}));

TEST(RigidityRow, OfCoincidentNodesIsZeroWithNegatedZerosInTheSecondBlock) {
    const RigidityRow row(nodes_at({{1, 2}, {7, 7}, {1, 2}}), 0, 2);
    ASSERT_EQ(row.entries.size(), 6u);
    for (double entry : row.entries) EXPECT_EQ(entry, 0.0);
    EXPECT_FALSE(std::signbit(row.entries[0]));
    EXPECT_TRUE(std::signbit(row.entries[4]));  // -(+0.0), not a second subtraction
}

TEST(RigidityRow, IndexOutOfRangeIsAnInternalFaultCheckingIFirst) {
    const NodeList nodes = nodes_at({{0, 0}, {1, 0}, {0, 1}});
    EXPECT_EQ(fault_of(nodes, 3, 1), "Node index 3 out of range for 3 nodes");
    EXPECT_EQ(fault_of(nodes, 0, 3), "Node index 3 out of range for 3 nodes");
    EXPECT_EQ(fault_of(nodes, 7, 9), "Node index 7 out of range for 3 nodes");
    EXPECT_EQ(fault_of(NodeList{}, 0, 1), "Node index 0 out of range for 0 nodes");
}

TEST(RigidityRow, NodesOfDifferentDimensionAreAnInternalFault) {
    const NodeList nodes = nodes_at({{0, 0}, {1, 0, 0}});
    EXPECT_EQ(fault_of(nodes, 0, 1),
              "assertion `left == right` failed: Nodes must all have the same dimension\n"
              "  left: 2\n right: 3");
}

}  // namespace
}  // namespace tarvel
