#include "framework/node.hpp"

#include <cmath>
#include <string>

#include "numeric/fault.hpp"
#include "numeric/large_buffer.hpp"

namespace tarvel {

NodeList nodes_from_coords(const MatrixView& coords, std::uint64_t d) {
    if (coords.cols != d) {
        throw InvalidInput("coords has " + std::to_string(coords.cols) + " columns but d=" +
                           std::to_string(d) + " was specified");
    }
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3");
    if (coords.rows <= d) {
        throw InvalidInput("Need at least " + std::to_string(d + 1) + " nodes for d=" +
                           std::to_string(d) + ", got " + std::to_string(coords.rows));
    }
    NodeList nodes;
    assign_nodes(nodes, coords.rows, d, [&](std::uint64_t k, std::uint64_t c) { return coords.at(k, c); });
    return nodes;
}

void assign_rows(NodeList& nodes, std::span<const double> coordinates, std::uint64_t d) {
    if (d == 0 || coordinates.size() % d != 0) {
        throw InvalidInput("coordinates of " + std::to_string(coordinates.size()) + " values do not form rows of " +
                           std::to_string(d));
    }
    assign_nodes(nodes, coordinates.size() / d, d, [&](std::uint64_t k, std::uint64_t c) { return coordinates[k * d + c]; });
}

NodeList nodes_from_rows(std::span<const double> coordinates, std::uint64_t d) {
    NodeList nodes;
    assign_rows(nodes, coordinates, d);
    return nodes;
}

void check_node_list(const NodeList& nodes, std::uint64_t d) {
    if (nodes.empty()) raise_fault("Node list must not be empty");
    if (d != 2 && d != 3) raise_fault("Only d=2 and d=3 are supported");
    for (const Node& node : nodes) {
        if (node.position.size() != d) {
            raise_fault("All nodes must have dimension d=" + std::to_string(d));
        }
    }
}

static double distance(const Node& a, const Node& b) {
    double sum = 0.0;
    for (std::size_t k = 0; k < a.position.size(); ++k) {
        const double delta = a.position[k] - b.position[k];
        sum += delta * delta;
    }
    return std::sqrt(sum);
}

void euclidean_distance_matrix(const NodeList& nodes, std::span<double> out) {
    const std::size_t n = nodes.size();
    require_equal(out.size(), checked_product(n, n), "distance buffer must hold n*n values");
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) out[i * n + j] = distance(nodes[i], nodes[j]);
    }
}

std::vector<double> euclidean_distance_matrix(const NodeList& nodes) {
    const std::uint64_t n = nodes.size();
    std::vector<double> out = zeroed_large(checked_product(n, n));  // fresh pages cost more than the distances
    euclidean_distance_matrix(nodes, out);
    return out;
}

}  // namespace tarvel
