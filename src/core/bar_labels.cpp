#include "bar_labels.hpp"

#include <algorithm>
#include <string>

#include "fault.hpp"
#include "graph.hpp"
#include "rigidity.hpp"

namespace tarvel {

NodeList nodes_from_rows(std::span<const double> coordinates, std::uint64_t d) {
    if (d == 0 || coordinates.size() % d != 0) {
        throw InvalidInput("coordinates of " + std::to_string(coordinates.size()) + " values do not form rows of " +
                           std::to_string(d));
    }
    NodeList nodes(coordinates.size() / d);
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        const auto row = coordinates.subspan(k * d, d);
        nodes[k].position.assign(row.begin(), row.end());
        nodes[k].index = k;
    }
    return nodes;
}

void BarLabeller::label(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol,
                        BarLabels& out) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3, got " + std::to_string(d));
    for (const Node& node : nodes) require_equal(node.position.size(), d, "every node has d coordinates");
    const std::uint64_t n = nodes.size();
    check_edges(n, bars);

    out.max_rank = rigid_rank(n, d);
    out.labels.assign(bars.size(), 0);
    const std::uint64_t columns = checked_product(n, d);
    checker_.reset(columns, tol);
    // No more rows can be independent than the rank of a rigid framework.
    checker_.reserve_rows(std::min<std::uint64_t>({out.max_rank, columns, bars.size()}));
    for (std::size_t b = 0; b < bars.size() && checker_.rank() < out.max_rank; ++b) {
        rigidity_row_entries(nodes, bars[b].i, bars[b].j, entries_);
        out.labels[b] = checker_.add_row_entries(entries_) ? 1 : 0;
    }
    out.rank = checker_.rank();
}

BarLabels label_bars(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol) {
    BarLabeller labeller;
    BarLabels out;
    labeller.label(nodes, d, bars, tol, out);
    return out;
}

}  // namespace tarvel
