#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "numeric/fault.hpp"
#include "framework/node.hpp"
#include "support/candidate_pairs.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

using testing::make_candidate_pairs;

MatrixView view_of(const std::vector<double>& values, std::size_t rows, std::size_t cols) {
    return MatrixView::row_major(values.data(), rows, cols);
}

struct ShapeCase {
    std::size_t rows, cols;
    std::uint64_t d;
    const char* message;
};

class NodesFromCoordsRejects : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(NodesFromCoordsRejects, WithTheFirstFailingCheck) {
    const ShapeCase c = GetParam();
    std::vector<double> values(c.rows * c.cols, 1.0);
    EXPECT_EQ(invalid_input_of([&] { nodes_from_coords(view_of(values, c.rows, c.cols), c.d); }),
              c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NodesFromCoordsRejects,
    ::testing::Values(ShapeCase{5, 3, 2, "coords has 3 columns but d=2 was specified"},
                      ShapeCase{5, 4, 4, "d must be 2 or 3"}, ShapeCase{5, 1, 1, "d must be 2 or 3"},
                      ShapeCase{2, 2, 2, "Need at least 3 nodes for d=2, got 2"},
                      ShapeCase{0, 3, 3, "Need at least 4 nodes for d=3, got 0"},
                      ShapeCase{0, 5, 4, "coords has 5 columns but d=4 was specified"}));

TEST(NodesFromCoords, ReadsByLogicalIndexThroughStrides) {
    // A 2 x 5 row-major block read as its 5 x 2 transpose.
    std::vector<double> block = {0, 1, 2, 3, 4, 10, 11, 12, 13, 14};
    MatrixView transposed{reinterpret_cast<const char*>(block.data()), 5, 2, sizeof(double),
                          5 * sizeof(double)};
    NodeList nodes = nodes_from_coords(transposed, 2);
    ASSERT_EQ(nodes.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(nodes[k].index, k);
        EXPECT_EQ(nodes[k].position, (std::vector<double>{double(k), 10.0 + double(k)}));
    }
    // Negative row stride: the last row comes first.
    MatrixView reversed{reinterpret_cast<const char*>(block.data() + 5), 2, 5,
                        -static_cast<std::ptrdiff_t>(5 * sizeof(double)), sizeof(double)};
    EXPECT_EQ(reversed.at(0, 3), 13.0);
    EXPECT_EQ(reversed.at(1, 3), 3.0);
}

TEST(CheckNodeList, FaultsInOrder) {
    EXPECT_EQ(internal_fault_of([] { check_node_list({}, 5); }), "Node list must not be empty");
    NodeList two = {Node{{0.0, 0.0}, 0}, Node{{1.0, 0.0}, 1}};
    EXPECT_EQ(internal_fault_of([&] { check_node_list(two, 4); }), "Only d=2 and d=3 are supported");
    EXPECT_EQ(internal_fault_of([&] { check_node_list(two, 3); }), "All nodes must have dimension d=3");
    EXPECT_EQ(internal_fault_of([&] { check_node_list(two, 2); }), kNoFault);
}

TEST(EuclideanDistanceMatrix, ExactOnSmallTriangleAndCoincidentNodes) {
    NodeList nodes = {Node{{0, 0}, 0}, Node{{3, 0}, 1}, Node{{0, 4}, 2}, Node{{0, 4}, 3}};
    std::vector<double> m = euclidean_distance_matrix(nodes);
    EXPECT_EQ(m[1 * 4 + 2], 5.0);
    EXPECT_EQ(m[2 * 4 + 1], 5.0);
    EXPECT_EQ(m[2 * 4 + 3], 0.0);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_FALSE(std::signbit(m[i * 4 + i]));
        EXPECT_EQ(m[i * 4 + i], 0.0);
    }
    NodeList with_nan = {Node{{std::nan(""), 0}, 0}, Node{{1, 0}, 1}};
    EXPECT_TRUE(std::isnan(euclidean_distance_matrix(with_nan)[0]));
}

TEST(EuclideanDistanceMatrix, SumsAxesInIncreasingOrder) {
    // (1e16 + 1) + (-1e16) differs from 1e16 + (1 - 1e16) in doubles.
    NodeList nodes = {Node{{1e8, 1.0, 1e8}, 0}, Node{{0.0, 0.0, 0.0}, 1}};
    double expected = 0.0;
    expected += 1e16;
    expected += 1.0;
    expected += 1e16;
    EXPECT_EQ(euclidean_distance_matrix(nodes)[1], std::sqrt(expected));
}

TEST(CandidatePairs, LexicographicAndCounted) {
    EXPECT_TRUE(make_candidate_pairs(0).empty());
    EXPECT_TRUE(make_candidate_pairs(1).empty());
    EXPECT_EQ(make_candidate_pairs(4), (std::vector<Pair>{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));
    EXPECT_EQ(make_candidate_pairs(300).size(), pair_count(300));
    EXPECT_EQ(pair_count(std::uint64_t{1} << 32), (std::uint64_t{1} << 31) * ((std::uint64_t{1} << 32) - 1));
    EXPECT_EQ(internal_fault_of([] { pair_count(~std::uint64_t{0}); }), "capacity overflow");
}

TEST(Faults, UnequalMessageShowsBothValues) {
    EXPECT_EQ(internal_fault_of([] { require_equal(3, 2, "Row length 3 does not match ncols 2"); }),
              "assertion `left == right` failed: Row length 3 does not match ncols 2\n  left: 3\n right: 2");
}

}  // namespace
}  // namespace tarvel
