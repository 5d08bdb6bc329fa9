#include "rigidity.hpp"

#include <string>

#include "fault.hpp"

namespace tarvel {

namespace {

void require_node_index(std::uint64_t index, std::uint64_t n) {
    if (index >= n) {
        raise_fault("Node index " + std::to_string(index) + " out of range for " +
                    std::to_string(n) + " nodes");
    }
}

}  // namespace

RigidityRow::RigidityRow(const NodeList& nodes, std::uint64_t i, std::uint64_t j) : i(i), j(j) {
    const std::uint64_t n = nodes.size();
    require_node_index(i, n);
    require_node_index(j, n);
    const std::vector<double>& position_i = nodes[i].position;
    const std::vector<double>& position_j = nodes[j].position;
    const std::uint64_t dim = position_i.size();
    require_equal(dim, position_j.size(), "Nodes must all have the same dimension");

    entries.assign(checked_count(checked_product(n, dim), sizeof(double)), 0.0);
    for (std::uint64_t k = 0; k < dim; ++k) {
        const double delta = position_i[k] - position_j[k];
        entries[i * dim + k] = delta;
        entries[j * dim + k] = -delta;
    }
}

}  // namespace tarvel
