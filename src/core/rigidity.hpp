// The row of the rigidity matrix that belongs to one bar (i, j).
#pragma once

#include <cstdint>
#include <vector>

#include "node.hpp"
#include "row_entry.hpp"

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

// The same row given by its 2*dim possibly non-zero entries, in the order the
// dense row is written (node i's entries, node j's), computed the same way.
// Replaces the contents of `entries`. InternalFault if i or j is not a place
// of `nodes` or the two nodes differ in dimension.
void rigidity_row_entries(const NodeList& nodes, std::uint64_t i, std::uint64_t j,
                          std::vector<RowEntry>& entries);

}  // namespace tarvel
