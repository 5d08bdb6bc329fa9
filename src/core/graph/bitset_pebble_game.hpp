// The (2, 3) pebble game of a graph of at most 64 nodes, on fixed arrays
// and bit sets: the labels and rigid components that KLPebbleGame::play
// gives for k = 2, l = 3, without its generality (bodies, any k and l,
// graphs of any size), for the many small graphs of a model batch.
//
// Both are determined by the graph and the edge order alone: the labels
// are the greedy basis of the generic rigidity matroid in the plane, and
// the components are the maximal rigid node sets, each listed ascending and
// numbered by its first edge in the list (which is always accepted: an edge
// whose ends a rigid set of earlier edges holds lies in that set's
// component).
//
// Every node holds two pebbles; an accepted edge is an arc from the node
// whose pebble covers it. With three pebbles gathered on the ends u, v of an
// accepted edge, a node w belongs to the rigid component of uv exactly when
// no node other than u and v that w reaches along arcs has a free pebble:
// then everything w reaches spans 2 |set| - 3 accepted edges.
#pragma once

#include <cstdint>
#include <span>

#include "graph/edge.hpp"
#include "graph/kl_pebble_game.hpp"

namespace tarvel {

class BitsetPebbleGame {
public:
    static constexpr std::uint64_t kMaxNodes = 64;
    static bool fits(std::uint64_t n) { return n <= kMaxNodes; }

    // As KLPebbleGame::play(n, edges, 2, 3, result). InvalidInput for an
    // edge that is not a pair of distinct nodes < n; InternalFault for n
    // past kMaxNodes.
    void play(std::uint64_t n, std::span<const Pair> edges, PebbleGameResult& result);

private:
    using NodeSet = std::uint64_t;

    void reset(std::uint64_t n);
    std::uint64_t gather(std::uint64_t u, std::uint64_t v, std::uint64_t wanted);
    bool pull_pebble(std::uint64_t to, NodeSet pinned);
    void reverse_path(std::uint64_t from, std::uint64_t to);
    void add_arc(std::uint64_t tail, std::uint64_t head);
    void remove_arc(std::uint64_t tail, std::uint64_t head);
    void find_components(std::span<const Pair> edges, const PebbleGameResult& played, RigidComponents& out);
    NodeSet reaching_free_pebble(NodeSet excluded) const;

    std::uint64_t n_ = 0;
    std::uint8_t free_[kMaxNodes] = {};       // per node: pebbles not on an arc
    std::uint8_t arc_count_[kMaxNodes] = {};  // per node: arcs out (2 - free)
    std::uint8_t head_[kMaxNodes][2] = {};    // per node: the heads of its arcs
    std::uint8_t parent_[kMaxNodes] = {};     // a search's tree
};

}  // namespace tarvel
