#include "framework/rigidity_row.hpp"

#include <string>

#include "numeric/fault.hpp"

namespace tarvel {

namespace {

void require_node_index(std::uint64_t index, std::uint64_t n) {
    if (index >= n) {
        raise_fault("Node index " + std::to_string(index) + " out of range for " +
                    std::to_string(n) + " nodes");
    }
}

// The common dimension of the bar's two nodes, after checking both places.
std::uint64_t bar_dimension(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    const std::uint64_t n = nodes.size();
    require_node_index(i, n);
    require_node_index(j, n);
    const std::uint64_t dim = nodes[i].position.size();
    require_equal(dim, nodes[j].position.size(), "Nodes must all have the same dimension");
    return dim;
}

}  // namespace

void rigidity_row_entries(const NodeList& nodes, std::uint64_t i, std::uint64_t j,
                          std::vector<RowEntry>& entries) {
    const std::uint64_t dim = bar_dimension(nodes, i, j);
    const std::vector<double>& position_i = nodes[i].position;
    const std::vector<double>& position_j = nodes[j].position;
    entries.clear();
    for (std::uint64_t k = 0; k < dim; ++k) {
        const double delta = position_i[k] - position_j[k];
        entries.push_back({i * dim + k, delta});
        entries.push_back({j * dim + k, -delta});
    }
}

}  // namespace tarvel
