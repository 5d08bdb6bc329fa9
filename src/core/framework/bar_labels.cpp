#include "framework/bar_labels.hpp"

#include <algorithm>
#include <string>

#include "numeric/fault.hpp"
#include "graph/graph.hpp"
#include "framework/rigidity_row.hpp"

namespace tarvel {

void BarLabeller::label(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol,
                        BarLabels& out) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3, got " + std::to_string(d));
    for (const Node& node : nodes) require_equal(node.position.size(), d, "every node has d coordinates");
    check_edges(nodes.size(), bars);

    // A bar joins two of the nodes, so n >= 2 and max_rank >= 1 whenever
    // there is a bar: the first row is always tested.
    out.max_rank = rigid_rank(nodes.size(), d);
    out.labels.clear();
    out.rank = label_in_order(nodes, bars, tol, out.max_rank, out.labels);
}

std::uint64_t BarLabeller::label_in_order(const NodeList& nodes, std::span<const Pair> bars, double tol,
                                          std::uint64_t max_rank, std::vector<std::uint8_t>& labels) {
    const std::size_t first = labels.size();
    reserve_checked(labels, first + bars.size());
    start_pass(nodes, tol, std::min<std::uint64_t>(max_rank, bars.size()));
    label_until(nodes, bars.begin(), bars.end(), max_rank, labels);
    labels.resize(first + bars.size(), 0);  // bars after the stop are redundant
    return checker_.rank();
}

// Every node shares node 0's dimension. Nothing of the previous pass
// survives, only the storage.
void BarLabeller::start_pass(const NodeList& nodes, double tol, std::uint64_t expected_rank) {
    dim_ = nodes.empty() ? 0 : nodes.front().position.size();
    const std::uint64_t ncols = checked_product(nodes.size(), dim_);
    checker_.reset(ncols, tol, std::max<std::uint64_t>(dim_, 1));
    // No row can be independent of ncols others, so that caps the basis.
    checker_.reserve_rows(std::min(expected_rank, ncols));
}

// Offers a bar by its few non-zero entries, without building a dense row.
bool BarLabeller::offer(const NodeList& nodes, const Pair& bar) {
    rigidity_row_entries(nodes, bar.i, bar.j, entries_);
    // A dense row of another dimension would not fit the checker; a sparse
    // one might, in the wrong columns.
    require_equal(entries_.size(), 2 * dim_, "Nodes must all have the same dimension");
    return checker_.add_row_entries(entries_);
}

BarLabels label_bars(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol) {
    BarLabeller labeller;
    BarLabels out;
    labeller.label(nodes, d, bars, tol, out);
    return out;
}

}  // namespace tarvel
