// The numeric rigidity test of the bars of any graph: each bar, in the
// given order, is labelled 1 when its row of the rigidity matrix raises the
// rank of the rows before it and 0 otherwise, by the incremental rank test
// and arithmetic of the complete-graph simulation. Once the rank reaches
// that of a rigid framework (rigid_rank) every later bar is redundant and
// is labelled 0 without a row; on the complete graph in candidate order the
// labels are those of the simulation, bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"
#include "rank.hpp"

namespace tarvel {

struct BarLabels {
    std::vector<std::uint8_t> labels;  // per bar: 1 independent, 0 redundant
    std::uint64_t rank = 0;
    std::uint64_t max_rank = 0;  // rigid_rank(n, d)
    bool is_rigid() const { return rank == max_rank; }
};

// The nodes of `count` points given row after row by their d coordinates.
NodeList nodes_from_rows(std::span<const double> coordinates, std::uint64_t d);

// A checker and row storage reusable from graph to graph.
class BarLabeller {
public:
    // InvalidInput unless d is 2 or 3 and every bar joins two distinct
    // nodes of `nodes` (all of dimension d).
    void label(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol, BarLabels& out);

private:
    IncrementalRankChecker checker_{0, 0.0};
    std::vector<RowEntry> entries_;
};

BarLabels label_bars(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol);

}  // namespace tarvel
