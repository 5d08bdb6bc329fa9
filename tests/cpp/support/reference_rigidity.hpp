// Reference row of the rigidity matrix: the bar (i, j) as a dense row of
// n*dim values, node-major, written straight from its definition (half the
// gradient of the squared bar length).
#pragma once

#include <cstdint>
#include <vector>

#include "framework/node.hpp"

namespace tarvel::reference {

// Node i's columns hold position_i - position_j, node j's the negation of the
// same values, every other column 0.0. The nodes must share one dimension.
inline std::vector<double> rigidity_row(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    const std::uint64_t dim = nodes.at(i).position.size();
    std::vector<double> row(nodes.size() * dim, 0.0);
    for (std::uint64_t k = 0; k < dim; ++k) {
        const double delta = nodes[i].position[k] - nodes.at(j).position.at(k);
        row[i * dim + k] = delta;
        row[j * dim + k] = -delta;
    }
    return row;
}

}  // namespace tarvel::reference
