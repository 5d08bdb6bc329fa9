// The backward-stable numeric test of the bars of any graph. Each bar, in
// the given order, is labelled 1 (independent) when its row of the rigidity
// matrix lies farther than tol * (its norm) from the span of the rows of
// the bars accepted before it, and 0 otherwise; a bar no longer than tol
// times the framework's size (the largest distance of a node from the
// centroid) has a zero row and is redundant. Rows depend on differences of
// positions and are compared by angle, so labels do not change when the
// positions are translated or scaled (up to the rounding of the scaling).
//
// The work follows the graph:
//  - a node with at most d bars whose directions are independent (by the
//    same test, within the node's d coordinates) holds bars that are
//    independent in every order: they are labelled 1 and the node is
//    removed, repeatedly, as its neighbours' degrees fall;
//  - the rest splits into connected components, whose rows share no
//    column: each is tested on its own columns by the Householder rank test
//    (numeric/householder_rank), which stops at the component's rigid rank;
//    a component of a few bars by its replica on the stack
//    (numeric/single_block_rank), which gives the same labels.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "framework/bar_labels.hpp"
#include "numeric/householder_rank.hpp"
#include "numeric/single_block_rank.hpp"

namespace tarvel {

// How numeric labels are computed: by the test above, or by the
// complete-graph simulation's incremental elimination (BarLabeller), kept
// for labels that must match the simulation bit for bit.
enum class LabelArithmetic : std::uint8_t { orthogonal, simulate };

class OrthogonalBarLabeller {
public:
    // InvalidInput unless d is 2 or 3, positions hold rows of d values and
    // every bar joins two distinct nodes.
    void label(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars, double tol,
               BarLabels& out);

private:
    void find_scale(std::span<const double> positions, std::uint64_t d);
    void build_adjacency(std::uint64_t n, std::span<const Pair> bars);
    void peel(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars, double tol,
              std::vector<std::uint8_t>& labels);
    bool bars_at_node_independent(std::uint64_t node, std::span<const double> positions, std::uint64_t d,
                                  std::span<const Pair> bars, double tol);
    void label_components(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars,
                          double tol, std::vector<std::uint8_t>& labels);
    void label_component(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars,
                         std::span<const std::uint64_t> members, std::uint64_t nodes, double tol,
                         std::vector<std::uint8_t>& labels);
    void label_large_component(std::uint64_t columns, std::uint64_t nodes, std::uint64_t d, double tol);

    double scale_ = 0.0;
    std::vector<std::uint8_t> alive_;          // per bar: not yet labelled
    std::vector<std::uint64_t> degree_;        // per node: alive bars
    std::vector<std::uint64_t> first_bar_;     // per node: its bars at incident_[first_bar_[v] .. first_bar_[v+1])
    std::vector<std::uint64_t> incident_;
    std::vector<std::uint64_t> stack_;
    std::vector<std::uint64_t> local_;         // per node: number within its component, or kNone
    std::vector<std::uint64_t> component_of_;  // per node
    std::vector<std::uint64_t> component_sizes_;
    std::vector<std::uint64_t> bar_offsets_;   // component c's live bars: members_[bar_offsets_[c] .. bar_offsets_[c+1])
    std::vector<std::uint64_t> members_;
    std::vector<RowEntry> rows_;
    std::vector<std::uint8_t> component_labels_;
    HouseholderRankTest test_;
};

// Numeric labels by either arithmetic (tol is relative for orthogonal,
// absolute for simulate).
BarLabels label_bars(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars, double tol,
                     LabelArithmetic arithmetic);

}  // namespace tarvel
