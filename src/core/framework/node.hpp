// Joints of a framework and what every simulation derives from them: the
// node list and the Euclidean distance matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"
#include "graph/graph.hpp"  // max_rank_for, which simulations report
#include "numeric/matrix_view.hpp"

namespace tarvel {

struct Node {
    std::vector<double> position;  // d coordinates
    std::uint64_t index = 0;       // place in the node list
};

using NodeList = std::vector<Node>;


// Copies the rows of `coords` into nodes after the three input checks
// (column count, supported d, enough rows), which throw InvalidInput.
NodeList nodes_from_coords(const MatrixView& coords, std::uint64_t d);

// Guard of the simulation core: InternalFault for an empty list, an
// unsupported d, or a node whose dimension is not d.
void check_node_list(const NodeList& nodes, std::uint64_t d);

// Writes the n x n distances, row-major, into `out` (n*n doubles).
void euclidean_distance_matrix(const NodeList& nodes, std::span<double> out);
std::vector<double> euclidean_distance_matrix(const NodeList& nodes);



}  // namespace tarvel
