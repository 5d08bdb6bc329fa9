// What a graph reduces to before its generic rigidity in dimension d is
// computed, in time and memory that follow its bars, not its node count.
//
// Three facts make the reduction exact:
//   * a node without bars adds d zero columns to the rigidity matrix, so
//     only the nodes that carry bars are numbered (compactly);
//   * no circuit of the d-dimensional generic rigidity matroid has a node
//     of degree <= d (bars at such a node are independent of the rest: a
//     0-extension keeps independence), so the bars at a node with at most
//     d distinct neighbours are independent in every order; once they are
//     peeled off, other nodes may fall to degree <= d, and so on. Among
//     the copies of a repeated bar only the first in the given order is
//     independent (the copies form circuits of two elements);
//   * the matroid of a disconnected graph is the direct sum of those of its
//     connected components: ranks add and labels are found apart.
// So the greedy labels of every bar are: 1 for a peeled bar's first copy,
// 0 for its later copies, and, for the rest, the labels their component's
// bars get on their own, in the given order.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel {

// The nodes that carry bars, numbered 0 .. nodes.size() - 1 in ascending
// order of their own numbers, and the bars with ends so numbered.
struct CompactGraph {
    std::vector<std::uint64_t> nodes;  // the own number of each compact node, ascending
    std::vector<Pair> edges;           // the bars in the given order, ends renumbered

    std::uint64_t node_count() const { return nodes.size(); }
};

// O(m log m) time and O(m) memory whatever n is (a table of n entries only
// when n is at most a few times m). InvalidInput as check_edges.
CompactGraph compact_graph(std::uint64_t n, std::span<const Pair> edges);

inline constexpr std::uint64_t kPeeled = std::numeric_limits<std::uint64_t>::max();

struct GraphReduction {
    CompactGraph graph;
    // Per bar: 1 when it is a peeled bar's first copy (independent in every order).
    std::vector<std::uint8_t> peeled;
    std::uint64_t peeled_count = 0;  // the number of 1s in `peeled`: their share of the rank
    // Per bar: the connected component of the bars that remain, or kPeeled
    // for a peeled bar and its copies.
    std::vector<std::uint64_t> component;
    // Component c's bars, in the given order:
    // component_bars[component_offsets[c] .. component_offsets[c + 1]).
    std::vector<std::uint64_t> component_offsets;
    std::vector<std::uint64_t> component_bars;
    // Component c's node count: its rank is at most rigid_rank(component_nodes[c], d).
    std::vector<std::uint64_t> component_nodes;

    std::uint64_t component_count() const { return component_nodes.size(); }
    std::span<const std::uint64_t> bars_of(std::uint64_t c) const {
        return std::span<const std::uint64_t>(component_bars)
            .subspan(component_offsets[c], component_offsets[c + 1] - component_offsets[c]);
    }
};

// Compacts, peels (at degree <= d, counting distinct neighbours) and splits
// into components. O(m log m) time, O(m) memory. InvalidInput as
// check_edges.
GraphReduction reduce_graph(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d);
// The same for a graph compacted already.
GraphReduction reduce_graph(CompactGraph graph, std::uint64_t d);

// The bars `bars` (places in `edges`, whose ends are below n) as a graph
// of their own, compacted.
CompactGraph subgraph(std::uint64_t n, std::span<const Pair> edges, std::span<const std::uint64_t> bars);

}  // namespace tarvel
