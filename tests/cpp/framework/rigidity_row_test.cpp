#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "numeric/fault.hpp"
#include "framework/rigidity_row.hpp"
#include "support/fault_capture.hpp"
#include "support/reference_rigidity.hpp"

namespace tarvel {
namespace {

NodeList nodes_at(const std::vector<std::vector<double>>& positions) {
    NodeList nodes;
    for (std::size_t k = 0; k < positions.size(); ++k) nodes.push_back(Node{positions[k], k});
    return nodes;
}

// The entries written into a dense row of n*dim zeros, in order.
std::vector<double> dense(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    std::vector<RowEntry> entries;
    rigidity_row_entries(nodes, i, j, entries);
    std::vector<double> row(nodes.size() * nodes.front().position.size(), 0.0);
    for (const RowEntry& entry : entries) row.at(entry.column) = entry.value;
    return row;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::bit_cast<std::uint64_t>(a[k]) != std::bit_cast<std::uint64_t>(b[k])) return false;
    }
    return true;
}

struct RowCase {
    std::vector<std::vector<double>> positions;
    std::uint64_t i, j;
    std::vector<double> row;
};

class RigidityRowEntries : public ::testing::TestWithParam<RowCase> {};

TEST_P(RigidityRowEntries, AreThePositionDifferenceAndItsNegation) {
    const RowCase& c = GetParam();
    EXPECT_EQ(dense(nodes_at(c.positions), c.i, c.j), c.row);
}

INSTANTIATE_TEST_SUITE_P(
    Bars, RigidityRowEntries,
    ::testing::Values(
        // Unnormalised: a long bar gives large entries.
        RowCase{{{0, 0}, {3, 0}, {0, 4}}, 1, 2, {0, 0, 3, -4, -3, 4}},
        RowCase{{{0, 0}, {3, 0}, {0, 4}}, 0, 1, {-3, 0, 3, 0, 0, 0}},
        RowCase{{{1, 2, 3}, {0, 0, 0}, {5, 5, 5}, {1, 1, 1}}, 1, 3, {0, 0, 0, -1, -1, -1, 0, 0, 0, 1, 1, 1}}));

// Squared length of the bar (i, j), summed axis by axis.
double squared_length(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    double sum = 0.0;
    for (std::size_t k = 0; k < nodes[i].position.size(); ++k) {
        const double delta = nodes[i].position[k] - nodes[j].position[k];
        sum += delta * delta;
    }
    return sum;
}

// Every column of the row is half the derivative of the squared bar length
// by that coordinate. On small integer coordinates a central difference of
// step 1 is exact for a quadratic, so the comparison is exact: a wrong sign,
// column or node shows.
TEST(RigidityRowEntries, AreHalfTheGradientOfTheSquaredLength) {
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<int> coordinate(-6, 6);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t dim = 2 + trial % 2, n = 2 + rng() % 6;
        std::vector<std::vector<double>> positions(n, std::vector<double>(dim));
        for (auto& p : positions)
            for (double& x : p) x = coordinate(rng);
        NodeList nodes = nodes_at(positions);
        for (std::uint64_t i = 0; i < n; ++i) {
            for (std::uint64_t j = i + 1; j < n; ++j) {
                const std::vector<double> row = dense(nodes, i, j);
                for (std::size_t column = 0; column < n * dim; ++column) {
                    double& x = nodes[column / dim].position[column % dim];
                    x += 1.0;
                    const double ahead = squared_length(nodes, i, j);
                    x -= 2.0;
                    const double behind = squared_length(nodes, i, j);
                    x += 1.0;
                    ASSERT_EQ(row[column], (ahead - behind) / 4.0) << "bar (" << i << ", " << j << ") column " << column;
                }
            }
        }
    }
}

TEST(RigidityRowEntries, EqualTheReferenceRowBitForBit) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t dim = 2 + trial % 2, n = 2 + rng() % 9;
        std::vector<std::vector<double>> positions(n, std::vector<double>(dim));
        for (auto& p : positions)
            for (double& x : p) x = normal(rng);
        positions[rng() % n] = positions[0];  // a coincident pair now and then
        const NodeList nodes = nodes_at(positions);
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = i + 1; j < n; ++j)
                ASSERT_TRUE(same_bits(dense(nodes, i, j), reference::rigidity_row(nodes, i, j))) << i << " " << j;
    }
}

TEST(RigidityRowEntries, OfCoincidentNodesAreZerosNegatedInTheSecondNode) {
    const std::vector<double> row = dense(nodes_at({{1, 2}, {7, 7}, {1, 2}}), 0, 2);
    EXPECT_TRUE(same_bits(row, {0.0, 0.0, 0.0, 0.0, -0.0, -0.0}));  // -(+0.0), not a second subtraction
}

std::string fault_of(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    std::vector<RowEntry> entries;
    return internal_fault_of([&] { rigidity_row_entries(nodes, i, j, entries); });
}

TEST(RigidityRowEntries, IndexOutOfRangeIsAnInternalFaultCheckingIFirst) {
    const NodeList nodes = nodes_at({{0, 0}, {1, 0}, {0, 1}});
    EXPECT_EQ(fault_of(nodes, 3, 1), "Node index 3 out of range for 3 nodes");
    EXPECT_EQ(fault_of(nodes, 0, 3), "Node index 3 out of range for 3 nodes");
    EXPECT_EQ(fault_of(nodes, 7, 9), "Node index 7 out of range for 3 nodes");
    EXPECT_EQ(fault_of(NodeList{}, 0, 1), "Node index 0 out of range for 0 nodes");
}

TEST(RigidityRowEntries, NodesOfDifferentDimensionAreAnInternalFault) {
    EXPECT_EQ(fault_of(nodes_at({{0, 0}, {1, 0, 0}}), 0, 1),
              "assertion `left == right` failed: Nodes must all have the same dimension\n"
              "  left: 2\n right: 3");
}

}  // namespace
}  // namespace tarvel
