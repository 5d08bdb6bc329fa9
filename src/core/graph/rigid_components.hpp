// The (k, l)-components of a finished pebble game: the maximal connected
// node sets that are tight (span exactly k|X| - l accepted edges) and span
// at least one edge. In the upper range k < l < 2k two components share at
// most one node and no edge; in the lower range l <= k they share nothing.
//
// With l pebbles held on the ends a, b of an accepted edge, the largest
// tight set holding a and b is the set of elements (nodes and bodies) from
// which no other free pebble can be reached. It is grown outwards from a
// and b: a neighbour that reaches a free pebble stays out (the pebble is
// moved to it, so the next search that meets it ends at once); one that
// does not comes in with every element its search entered. The component
// is the set of nodes that came in (every node of a body is pinned to it,
// so it comes in with the body).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"
#include "graph/pebble_digraph.hpp"

namespace tarvel {

struct RigidComponents {
    // Component c holds nodes[offsets[c] .. offsets[c + 1]), in increasing
    // order; components are numbered by their first accepted edge in the
    // edge list.
    std::vector<std::uint64_t> offsets{0};
    std::vector<std::uint64_t> nodes;
    // Per edge, the component spanning it; -1 when none does (possible only
    // for accepted edges when l < 2k - 1, and for any edge when l = 0).
    std::vector<std::int64_t> edge_component;

    std::uint64_t count() const { return offsets.size() - 1; }
};

class RigidComponentFinder {
public:
    // Finds the components of the game that left `digraph` after offering
    // `edges` with the outcome `labels` (1 accepted); moves pebbles.
    void find(PebbleDigraph& digraph, std::uint64_t l, std::span<const Pair> edges,
              std::span<const std::uint8_t> labels, RigidComponents& out);

private:
    void index_elements(PebbleDigraph& digraph);
    bool inside(std::uint64_t element) const { return inside_in_[element] == stamp_; }
    bool outside(std::uint64_t element) const { return outside_in_[element] == stamp_; }
    void grow_component(PebbleDigraph& digraph, std::span<const std::uint32_t> seeds);
    bool reaches_free_pebble(PebbleDigraph& digraph, std::uint64_t element);
    void add_to_component(std::uint64_t element);
    void record_component(const PebbleDigraph& digraph, RigidComponents& out);
    void split_into_connected_pieces(std::span<const Pair> edges, std::span<const std::uint8_t> labels,
                                     RigidComponents& out);
    std::int64_t component_holding(const Pair& edge) const;

    // Elements joined by an arc either way: neighbour_[neighbour_start_[x]
    // .. neighbour_start_[x + 1]).
    std::vector<std::uint64_t> neighbour_start_, neighbour_, cursor_;
    std::vector<std::uint64_t> inside_in_;   // per element: stamp of the component it joined last
    std::vector<std::uint64_t> outside_in_;  // per element: stamp of the component it reached a pebble from
    std::uint64_t stamp_ = 0;
    std::vector<std::uint64_t> members_;
    std::vector<std::vector<std::uint64_t>> components_of_;  // per node, the components found holding it
};

}  // namespace tarvel
