// The row of the rigidity matrix that belongs to one bar (i, j).
#pragma once

#include <cstdint>
#include <vector>

#include "framework/node.hpp"
#include "numeric/row_entry.hpp"

namespace tarvel {

// The row of the bar (i, j) by its 2*dim possibly non-zero entries, dim the
// nodes' dimension, in columns node-major (node k's are k*dim .. k*dim+dim-1):
// half the gradient of the squared bar length, position_i - position_j in
// node i's columns and the negation of the same values in node j's, axis by
// axis (node i's entry, then node j's). Not normalised, so the rank tolerance
// acts on raw values. Replaces the contents of `entries`. InternalFault if i
// or j is not a place of `nodes` or the two nodes differ in dimension.
void rigidity_row_entries(const NodeList& nodes, std::uint64_t i, std::uint64_t j,
                          std::vector<RowEntry>& entries);

}  // namespace tarvel
