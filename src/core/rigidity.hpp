// The row of the rigidity matrix that belongs to one bar (i, j).
#pragma once

#include <cstdint>
#include <vector>

#include "node.hpp"

namespace tarvel {

struct RigidityRow {
    std::vector<double> entries;  // n*dim values, node-major columns
    std::uint64_t i = 0;
    std::uint64_t j = 0;

    // Half the gradient of the squared bar length: the entries of node i are
    // position_i - position_j, those of node j their negation, every other
    // entry is 0. Not normalised, so the rank tolerance acts on raw values.
    // InternalFault if i or j is not a place of `nodes` or the two nodes
    // differ in dimension.
    RigidityRow(const NodeList& nodes, std::uint64_t i, std::uint64_t j);
};

}  // namespace tarvel
