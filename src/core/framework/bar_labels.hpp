// The numeric rigidity test of the bars of any graph: each bar, in the
// given order, is labelled 1 when its row of the rigidity matrix raises the
// rank of the rows before it and 0 otherwise, by the incremental rank test
// and arithmetic of the complete-graph simulation. Once the rank reaches
// that of a rigid framework (rigid_rank) every later bar is redundant and
// is labelled 0 without a row; on the complete graph in candidate order the
// labels are those of the simulation, bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "framework/node.hpp"
#include "numeric/rank.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

struct BarLabels {
    std::vector<std::uint8_t> labels;  // per bar: 1 independent, 0 redundant
    std::uint64_t rank = 0;
    std::uint64_t max_rank = 0;  // rigid_rank(n, d)
    bool is_rigid() const { return rank == max_rank; }
};


// A checker and row storage reusable from graph to graph: the simulation
// of the complete graph and the labels of any graph run the same pass.
class BarLabeller {
public:
    // The labels of any graph. InvalidInput unless d is 2 or 3, every node
    // has d coordinates and every bar joins two distinct nodes of `nodes`.
    void label(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol, BarLabels& out);

    // The pass itself, on bars the caller has checked: appends to `labels`
    // one label per bar, in order; once the rank reaches `max_rank` the
    // remaining bars are labelled 0 without their rows being built (the rank
    // is compared only after a row has been tested). Returns the rank
    // reached. InternalFault for a bar between nodes of another dimension
    // than node 0's.
    std::uint64_t label_in_order(const NodeList& nodes, std::span<const Pair> bars, double tol,
                                 std::uint64_t max_rank, std::vector<std::uint8_t>& labels);


protected:
    // Starts a pass over rows of n*dim columns, a node's dim side by side.
    void start_pass(const NodeList& nodes, double tol, std::uint64_t expected_rank);

    // Offers the bars of [bar, end) in order, appending a label for each,
    // until a row brings the rank to `stop_rank`; returns where it stopped.
    template <class Iterator>
    Iterator label_until(const NodeList& nodes, Iterator bar, Iterator end, std::uint64_t stop_rank,
                         std::vector<std::uint8_t>& labels) {
        while (bar != end) {
            // An offer costs about rank x row length: weigh the check by the rank.
            check_interrupt(static_cast<std::uint32_t>(std::min<std::uint64_t>(checker_.rank() / 4 + 1, 1024)));
            labels.push_back(offer(nodes, *bar) ? 1 : 0);
            ++bar;
            if (checker_.rank() == stop_rank) break;
        }
        return bar;
    }

    std::uint64_t rank() const { return checker_.rank(); }

private:
    bool offer(const NodeList& nodes, const Pair& bar);

    IncrementalRankChecker checker_{0, 0.0};
    std::uint64_t dim_ = 0;
    std::vector<RowEntry> entries_;
};

BarLabels label_bars(const NodeList& nodes, std::uint64_t d, std::span<const Pair> bars, double tol);

}  // namespace tarvel
