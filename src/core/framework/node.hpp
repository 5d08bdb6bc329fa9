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


// The one way a node list is filled: nodes 0 .. count-1, node k holding
// coordinate(k, c) for c = 0 .. d-1, asked in that order (k, then c), so a
// generator may draw them one after another. Reuses `nodes`' storage.
template <class Coordinate>
void assign_nodes(NodeList& nodes, std::uint64_t count, std::uint64_t d, Coordinate&& coordinate) {
    nodes.resize(count);
    for (std::uint64_t k = 0; k < count; ++k) {
        Node& node = nodes[k];
        node.position.resize(d);
        for (std::uint64_t c = 0; c < d; ++c) node.position[c] = coordinate(k, c);
        node.index = k;
    }
}

// The nodes of points given row after row by their d coordinates, into
// `nodes`' storage. InvalidInput when the values do not form rows of d.
void assign_rows(NodeList& nodes, std::span<const double> coordinates, std::uint64_t d);
NodeList nodes_from_rows(std::span<const double> coordinates, std::uint64_t d);

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
